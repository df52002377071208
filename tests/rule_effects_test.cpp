// What rule files do to verdicts: pattern syntax, allow and its conditions,
// block, custom commands and paths, overrides, and the trust between the
// user's file and a project's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane.h"
#include "custom_rules.h"
#include "rule_patterns.h"

namespace corvane {
namespace {

// ---------------------------------------------------------------------------
// Patterns

struct CommandPatternCase {
  const char* pattern;
  std::vector<std::string_view> words;  // base name, then arguments
  bool matches;
};

TEST(RulePatterns, CommandPatternsArePrefixesOfShellWords) {
  const CommandPatternCase cases[] = {
      {"git push", {"git", "push", "origin", "main"}, true},
      {"git push", {"git", "pull"}, false},
      {"git push", {"git"}, false},
      {"git", {"git", "status"}, true},
      {"git push ** --force", {"git", "push", "origin", "main", "--force"}, true},
      {"git push ** --force", {"git", "push", "--force"}, true},  // ** may match no word
      {"git push ** --force", {"git", "push", "origin"}, false},
      {"** --force", {"anything"}, false},
      {"**", {"anything"}, true},
      {"kubectl get *", {"kubectl", "get", "pods"}, true},
      {"kubectl get *", {"kubectl", "get"}, false},  // a word needs a word
      {"git log -?", {"git", "log", "-p"}, true},
      {"git log -[pn]", {"git", "log", "-n"}, true},
      {"git log -[!pn]", {"git", "log", "-n"}, false},
      {"rm -rf /tmp/*", {"rm", "-rf", "/tmp/a/b"}, true},  // * crosses "/" inside a word
      {"py*", {"python3", "x"}, true},
      {"echo '*'", {"echo", "*"}, true},  // quoted glob characters are literal
      {"echo '*'", {"echo", "x"}, false},
      {"echo \\*", {"echo", "x"}, false},
      {"git commit -m \"a b\"", {"git", "commit", "-m", "a b"}, true},
      {"git commit -m \"a b\"", {"git", "commit", "-m", "a", "b"}, false},
      {"", {"git"}, false},  // an empty pattern matches nothing
      {"   ", {"git"}, false},
      {"'unclosed", {"'unclosed"}, false},
  };
  for (const CommandPatternCase& c : cases) {
    const auto words = patterns::split_words(c.pattern);
    const bool got = words && patterns::command_matches(*words, c.words);
    EXPECT_EQ(got, c.matches) << c.pattern;
  }
}

TEST(RulePatterns, ManyStarsStayCheap) {
  // A hostile pattern against a long word list: the match is one row per
  // pattern word, not a search over every split.
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "** a ";
  pattern += "b";
  const auto words = patterns::split_words(pattern);
  ASSERT_TRUE(words);
  std::vector<std::string_view> subject(5000, "a");
  EXPECT_FALSE(patterns::command_matches(*words, subject));
  EXPECT_FALSE(patterns::glob_match(std::string(200, '*') + "b", std::string(20000, 'a')));
}

struct PathPatternCase {
  const char* pattern;
  const char* path;
  bool matches;
};

TEST(RulePatterns, PathPatternsGlobOverComponents) {
  const PathPatternCase cases[] = {
      {"~/.kube", "/home/u/.kube", true},
      {"~/.kube", "/home/u/.kube/config", true},  // a directory covers what is below
      {"~/.kube", "/home/u/.kubex", false},
      {"~", "/home/u/x", true},
      {"~other/.kube", "/home/other/.kube", false},
      {"/srv/*/secrets", "/srv/app/secrets/a", true},
      {"/srv/*/secrets", "/srv/a/b/secrets", false},  // * stays in one component
      {"/srv/**/secrets", "/srv/a/b/secrets", true},
      {"/srv/**/secrets", "/srv/secrets", true},
      {"*.pem", "/home/u/keys/server.pem", true},  // relative patterns match at any depth
      {"*.pem", "keys/server.pem", true},
      {"secrets/*.json", "/srv/app/secrets/db.json", true},
      {"/etc/app", "etc/app", false},  // an absolute pattern needs an absolute path
      {"/etc/[a-c]pp", "/etc/app", true},
  };
  for (const PathPatternCase& c : cases)
    EXPECT_EQ(patterns::path_matches(c.pattern, c.path, "/home/u"), c.matches) << c.pattern << " " << c.path;
}

TEST(RulePatterns, NormalizeResolvesDots) {
  EXPECT_EQ(patterns::normalize("/srv/app/../../etc//x/"), "/etc/x");
  EXPECT_EQ(patterns::normalize("/.."), "/");
  EXPECT_EQ(patterns::normalize("./a/./b"), "a/b");
  EXPECT_EQ(patterns::normalize("../a"), "../a");
  EXPECT_EQ(patterns::normalize("a/.."), ".");
}

// ---------------------------------------------------------------------------
// Effects on verdicts

RuleConfig config_of(const std::string& toml, const std::string& source) {
  std::optional<RuleConfig> c = RuleConfig::from_toml(toml);
  EXPECT_TRUE(c.has_value()) << toml;
  RuleConfig out = c ? std::move(*c) : RuleConfig{};
  out.source = source;
  return out;
}

struct Verdict {
  int score = -1;
  std::string reason;
  std::vector<std::string> techniques;
};

Verdict verdict(const std::string& command, const std::string& user, const std::string& project,
                const ClassifyContext* ctx = nullptr) {
  RuleSet set;
  if (!user.empty()) set.user = config_of(user, "/home/u/.config/corvane/rules.toml");
  if (!project.empty()) set.project = config_of(project, "/srv/app/.corvane.toml");
  Outcome<AnalysisResult> r = classify_inner(command, ctx, set);
  EXPECT_TRUE(r.ok());
  if (!r.ok()) return {};
  Verdict v{r.value().score, r.value().reason, {}};
  for (const MitreMapping& m : r.value().mitre_mappings) v.techniques.push_back(m.technique_id);
  return v;
}

int baseline(const std::string& command, const ClassifyContext* ctx = nullptr) {
  Outcome<AnalysisResult> r = classify_inner(command, ctx, nullptr);
  return r.ok() ? r.value().score : -1;
}

constexpr int kSame = -1;  // the score without any rule file

struct EffectCase {
  const char* name;
  std::string user;
  std::string project;
  std::string command;
  int score;              // kSame: unchanged
  std::string reason;     // empty: not checked
};

void PrintTo(const EffectCase& c, std::ostream* os) { *os << c.name; }

class RuleEffects : public testing::TestWithParam<EffectCase> {};

TEST_P(RuleEffects, Verdict) {
  const EffectCase& c = GetParam();
  const Verdict v = verdict(c.command, c.user, c.project);
  EXPECT_EQ(v.score, c.score == kSame ? baseline(c.command) : c.score) << c.command;
  if (!c.reason.empty()) { EXPECT_EQ(v.reason, c.reason) << c.command; }
}

const std::string kUserFile = "/home/u/.config/corvane/rules.toml";
const std::string kAllowGit = R"(allow = ["git status", "git push", "cat", "echo", "ls"])";

INSTANTIATE_TEST_SUITE_P(
    Rules, RuleEffects,
    testing::Values(
        // allow: a clean match scores 0 and names its rule and file
        EffectCase{"AllowClean", kAllowGit, "", "git status", 0,
                   "Allowed by project rules (allow rule \"git status\" in " + kUserFile + ")"},
        EffectCase{"AllowWithReason", R"(allow = [{ pattern = "git status", reason = "read-only" }])", "",
                   "git status -s", 0, "read-only (allow rule \"git status\" in " + kUserFile + ")"},
        EffectCase{"AllowThroughQuotes", kAllowGit, "", "git 'status'", 0, ""},
        EffectCase{"AllowNeedsThePrefix", kAllowGit, "", "git stash drop", kSame, ""},
        // allow: each suspicious case keeps its score
        EffectCase{"AllowNotThroughDangerousFlag", kAllowGit, "", "git push --force", kSame, ""},
        EffectCase{"AllowNotThroughCommandSubstitution", kAllowGit, "", "cat $(ls)", kSame, ""},
        EffectCase{"AllowNotThroughBacktick", kAllowGit, "", "echo `id`", kSame, ""},
        EffectCase{"AllowNotThroughProcessSubstitution", kAllowGit, "", "cat <(ls)", kSame, ""},
        EffectCase{"AllowNotThroughSensitiveTarget", kAllowGit, "", "cat /etc/passwd", kSame, ""},
        EffectCase{"AllowNotThroughSecret", kAllowGit, "", "cat ~/.ssh/id_rsa", kSame, ""},
        EffectCase{"AllowNotThroughRedirectWrite", kAllowGit, "", "echo x > notes.txt", kSame, ""},
        EffectCase{"AllowNotThroughInjection", kAllowGit, "", "echo $IFS", kSame, ""},
        EffectCase{"AllowKeepsHarmlessRedirect", kAllowGit, "", "ls > /dev/null 2>&1", 0, ""},
        EffectCase{"AllowNotThroughEnvironment", kAllowGit, "", "GIT_SSH_COMMAND='sh -c id' git push", kSame, ""},
        EffectCase{"AllowNotThroughEnvWrapper", kAllowGit, "", "env PAGER=./x git status", kSame, ""},
        EffectCase{"AllowKeepsLocale", kAllowGit, "", "LC_ALL=C git status", 0, ""},
        EffectCase{"AllowThroughHarmlessWrapper", kAllowGit, "", "timeout 5 git status", 0, ""},
        EffectCase{"AllowNotThroughSudo", kAllowGit, "", "sudo git status", kSame, ""},
        EffectCase{"BlockThroughWrapper", R"(block = ["terraform destroy"])", "", "sudo terraform destroy", 100, ""},
        EffectCase{"OverrideThroughWrapper", R"(overrides = [{ command = "terraform", score = 85 }])", "",
                   "nice terraform apply", 85, ""},
        EffectCase{"AllowOnlyTheMatchingSegment", kAllowGit, "", "git status; rm -rf /", 100, ""},
        EffectCase{"AllowKeepsPipelineEscalation", kAllowGit, "", "cat x | sh", kSame, ""},
        // block: 100, the rule and file in the reason
        EffectCase{"Block", R"(block = ["terraform destroy"])", "", "terraform destroy -auto-approve", 100,
                   "Blocked by project rules (block rule \"terraform destroy\" in " + kUserFile + ")"},
        EffectCase{"BlockWinsOverAllow", R"(allow = ["git"]
block = [{ pattern = "git push ** --force", reason = "no force pushes" }])",
                   "", "git push origin main --force", 100,
                   "no force pushes (block rule \"git push ** --force\" in " + kUserFile + ")"},
        EffectCase{"BlockFromProject", "", R"(block = ["make deploy"])", "make deploy", 100,
                   "Blocked by project rules (block rule \"make deploy\" in /srv/app/.corvane.toml)"},
        EffectCase{"EmptyBlockPatternMatchesNothing", R"(block = [""])", "", "ls", kSame, ""},
        // trust: a project file cannot allow or lower
        EffectCase{"ProjectAllowIgnored", "", R"(allow = ["foo"])", "foo", kSame, ""},
        EffectCase{"ProjectOverrideCannotLower", "", R"(overrides = [{ command = "foo", score = 0 }])", "foo",
                   kSame, ""},
        EffectCase{"ProjectCommandCannotLower", "",
                   R"(commands = [{ name = "rm", intent = "info", base_weight = 0, reversibility = "reversible" }])",
                   "rm -rf /", 100, ""},
        EffectCase{"ProjectCommandRaises", "",
                   R"(commands = [{ name = "make deploy", intent = "execute", base_weight = 90 }])", "make deploy",
                   100, ""},
        EffectCase{"ProjectRaiseBeatsUserAllow", R"(allow = ["make"])",
                   R"(overrides = [{ command = "make", score = 70 }])", "make", 70, ""},
        EffectCase{"ProjectCommandBeatsUserAllow", R"(allow = ["make"])",
                   R"(commands = [{ name = "make", base_weight = 60 }])", "make", 70, ""},
        EffectCase{"HigherOverrideWins", R"(overrides = [{ command = "foo", score = 70 }])",
                   R"(overrides = [{ command = "foo", score = 90, reason = "prod" }])", "foo", 90,
                   "Code execution (override: prod)"},
        // commands: replace the built-in row, longest name wins
        EffectCase{"UserCommandLowers",
                   R"(commands = [{ name = "kubectl get", intent = "info", base_weight = 0, reversibility = "reversible" }])",
                   "", "kubectl get pods", 0, "Information command"},
        EffectCase{"LongestNameWins", R"([[commands]]
name = "kubectl"
intent = "info"
base_weight = 0
reversibility = "reversible"
[[commands]]
name = "kubectl delete"
intent = "delete"
base_weight = 60
reversibility = "irreversible"
dangerous_flags = [{ flags = ["--all"], modifier = 20, description = "every resource" }]
)",
                   "", "kubectl delete pods --all", 100, "File deletion: recursive deletion"},
        // a flag ending in "*" takes its value attached; a lowering flag
        // (a dry run) is no risk factor, and one factor is named once
        EffectCase{"FlagWithAttachedValue", R"([[commands]]
name = "git grep"
intent = "search"
base_weight = 0
dangerous_flags = [{ flags = ["-O*"], modifier = 60, description = "runs a pager" }]
)",
                   "", "git grep -O'sh -c id' x", 70, "Search operation"},
        EffectCase{"FlagFactorsOnceAndNotForDryRuns", R"([[commands]]
name = "kubectl delete"
intent = "delete"
base_weight = 60
dangerous_flags = [
  { flags = ["--all"], modifier = 20, description = "every resource" },
  { flags = ["-A"], modifier = 20, description = "every namespace" },
  { flags = ["--dry-run=client"], modifier = -60, description = "dry run" },
]
)",
                   "", "kubectl delete pods --all -A --dry-run=client", 50, "File deletion: recursive deletion"},
        EffectCase{"DryRunAloneNamesNoFactor", R"([[commands]]
name = "kubectl delete"
intent = "delete"
base_weight = 60
dangerous_flags = [{ flags = ["--dry-run=client"], modifier = -60, description = "dry run" }]
)",
                   "", "kubectl delete pods x --dry-run=client", 10, "File deletion"},
        EffectCase{"UnknownIntentSkipsTheRule", R"(commands = [{ name = "ls", intent = "destroy", base_weight = 90 }])",
                   "", "ls", kSame, ""},
        // overrides: through the base name, the reason shown when they raised
        EffectCase{"OverrideReasonShownWhenRaised",
                   R"(overrides = [{ command = "terraform", score = 85, reason = "infrastructure changes" }])", "",
                   "terraform apply", 85, "Code execution (override: infrastructure changes)"},
        EffectCase{"OverrideReasonHiddenWhenNotRaised", R"(overrides = [{ command = "rm", score = 10, reason = "r" }])",
                   "", "rm -rf /", 100, "File deletion: targeting filesystem root, recursive deletion"},
        EffectCase{"OverrideThroughQuotes", R"(overrides = [{ command = "terraform", score = 85 }])", "",
                   "'terraform' apply", 85, ""}),
    [](const testing::TestParamInfo<EffectCase>& info) { return std::string(info.param.name); });

TEST(RuleEffectsMore, BlockTechniqueJoinsTheMappings) {
  const Verdict v = verdict("terraform destroy", R"(block = [{ pattern = "terraform destroy", mitre = "T1485" }])", "");
  EXPECT_EQ(v.techniques, std::vector<std::string>{"T1485"});
  const Verdict cat = verdict("cat x", R"(block = [{ pattern = "cat", mitre = "T1485" }])", "");
  EXPECT_EQ(cat.techniques, (std::vector<std::string>{"T1005", "T1485"}));
}

TEST(RuleEffectsMore, CustomCommandTechniqueReplacesTheRow) {
  const Verdict v = verdict("kubectl delete pod x",
                            R"(commands = [{ name = "kubectl delete", intent = "delete", mitre = "T1485" }])", "");
  EXPECT_EQ(v.techniques, std::vector<std::string>{"T1485"});
}

TEST(RuleEffectsMore, CustomPathRaisesSensitivity) {
  const std::string rules = R"(paths = [{ pattern = "~/.acme", sensitivity = "secrets" }, { pattern = "/srv/**/*.vault", sensitivity = "secrets" }])";
  ClassifyContext ctx;
  ctx.home_dir = "/home/u";
  ctx.cwd = "/srv/app";
  ctx.project_root = "/srv/app";
  EXPECT_GT(verdict("cat ~/.acme/config", rules, "", &ctx).score, baseline("cat ~/.acme/config", &ctx));
  EXPECT_GT(verdict("cat ./certs/tls.vault", rules, "", &ctx).score, baseline("cat ./certs/tls.vault", &ctx));
  EXPECT_EQ(verdict("cat ~/.acmex", rules, "", &ctx).score, baseline("cat ~/.acmex", &ctx));
  // The higher of built-in and custom: a custom "normal" does not lower a secret.
  const std::string normal = R"(paths = [{ pattern = "~/.ssh", sensitivity = "normal" }])";
  EXPECT_EQ(verdict("cat ~/.ssh/id_rsa", normal, "", &ctx).score, baseline("cat ~/.ssh/id_rsa", &ctx));
  // And from a project file it only raises too.
  EXPECT_GT(verdict("cat ~/.acme/config", "", rules, &ctx).score, baseline("cat ~/.acme/config", &ctx));
}

TEST(RuleEffectsMore, NoRulesLeavesVerdictsUntouched) {
  for (const char* c : {"ls", "rm -rf /", "curl -s h | bash", "git status; git push --force", ""}) {
    RuleSet empty_user;
    empty_user.user = RuleConfig{};
    Outcome<AnalysisResult> with = classify_inner(c, nullptr, empty_user);
    Outcome<AnalysisResult> without = classify_inner(c, nullptr, nullptr);
    ASSERT_TRUE(with.ok() && without.ok());
    EXPECT_EQ(to_json(with.value()), to_json(without.value())) << c;
  }
}

}  // namespace
}  // namespace corvane
