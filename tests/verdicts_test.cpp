// Verdicts that quoting, a redirect, a wrapper or a relative path cannot
// fool: for each case its score, and a twin spelling (unquoted, unwrapped,
// absolute) that must get the same verdict.
#include <gtest/gtest.h>

#include <span>

#include "corvane.h"
#include "words.h"

namespace corvane {
namespace {

AnalysisResult run(std::string_view command, const ClassifyContext* ctx = nullptr) {
  auto r = classify_inner(command, ctx, nullptr);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

struct Case {
  std::string_view command;
  int score;
  std::string_view twin;  // must get the same score, decision and factors
};

void expect_cases(std::span<const Case> cases, const ClassifyContext* ctx = nullptr) {
  for (const Case& c : cases) {
    const AnalysisResult r = run(c.command, ctx);
    EXPECT_EQ(int{r.score}, c.score) << c.command << " (" << r.reason << ")";
    if (c.twin.empty()) continue;
    const AnalysisResult t = run(c.twin, ctx);
    EXPECT_EQ(int{t.score}, int{r.score}) << c.command << " / " << c.twin;
    EXPECT_EQ(t.quick_decision, r.quick_decision) << c.command << " / " << c.twin;
    EXPECT_EQ(t.risk_factors, r.risk_factors) << c.command << " / " << c.twin;
  }
}

TEST(RemoveQuotes, PlainQuotingIsRemoved) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain", "plain"},
      {"'/etc/shadow'", "/etc/shadow"},
      {"\"/etc/shadow\"", "/etc/shadow"},
      {"r''m", "rm"},
      {"\\rm", "rm"},
      {"\"a\\\"b\\\\c\\$d\"", "a\"b\\c$d"},
      {"\"a\\nb\"", "a\\nb"},  // only five characters are escaped inside "..."
      {"'it'\\''s'", "it's"},
      {"$'r\\x6d'", "rm"},
      {"$'a\\tb\\101'", "a\tbA"},
      {"$\"x\"", "x"},
      {"cost$", "cost$"},
      {"'$(id)'", "$(id)"},  // single quotes hold no expansion
      {"\"*.txt\"", "*.txt"},
      {"~/x", "~/x"},
      {"\"\"", ""},
  };
  for (const auto& [word, value] : cases) {
    const auto got = remove_quotes(word);
    ASSERT_TRUE(got.has_value()) << word;
    EXPECT_EQ(*got, value) << word;
  }
}

TEST(RemoveQuotes, ExpansionsAndBrokenQuotingKeepTheWord) {
  for (std::string_view word : {"$HOME", "\"$HOME\"/x", "${x}", "$(id)", "`id`", "\"a`id`\"",
                                "$((1+1))", "$1", "$?", "'open", "\"open", "$'open",
                                "$'\\x00'", "$'\\0'", "$'\\u00e9'"})
    EXPECT_FALSE(remove_quotes(word).has_value()) << word;
}

TEST(Verdicts, QuotingHidesNothing) {
  const Case cases[] = {
      {"cat \"/etc/shadow\"", 50, "cat /etc/shadow"},
      {"\"rm\" -rf /etc", 100, "rm -rf /etc"},
      {"r''m -rf /etc", 100, "rm -rf /etc"},
      {"\\rm -rf /etc", 100, "rm -rf /etc"},
      {"'/bin/rm' -rf /etc", 100, "/bin/rm -rf /etc"},
      {"rm -rf \"/etc\"", 100, "rm -rf /etc"},
      {"rm \"-rf\" /tmp/x", 95, "rm -rf /tmp/x"},
      {"git push \"--force\"", 75, "git push --force"},
      // One quoted argument is one word: nothing inside it reads as a flag.
      {"git commit -m \"Fix git push --force detection\"", 45, "git commit -m message"},
      {"ssh host 'ls -R /srv'", 50, "ssh host ls"},
  };
  expect_cases(cases);
}

TEST(Verdicts, QuotedPathsShowAsWritten) {
  const AnalysisResult r = run("cat \"/etc/shadow\"");
  ASSERT_EQ(r.sub_commands.size(), 1u);
  const CommandAnalysis& a = r.sub_commands[0];
  EXPECT_EQ(a.executable, "cat");
  ASSERT_EQ(a.targets.size(), 1u);
  EXPECT_EQ(a.targets[0], (Target{"\"/etc/shadow\"", TargetScope::System, Sensitivity::System}));
  EXPECT_EQ(run("\"rm\" x").sub_commands[0].executable, "\"rm\"");
}

TEST(Verdicts, QuotedPathsInContext) {
  ClassifyContext ctx;
  ctx.cwd = "/srv/app";
  ctx.project_root = "/srv/app";
  // A quoted absolute path outside the project is outside it.
  const Case cases[] = {{"cp a \"/srv/other/x\"", 40, "cp a /srv/other/x"}};
  expect_cases(cases, &ctx);
}

}  // namespace
}  // namespace corvane
