// Verdicts that quoting, a redirect, a wrapper or a relative path cannot
// fool: for each case its score, and a twin spelling (unquoted, unwrapped,
// absolute) that must get the same verdict.
#include <gtest/gtest.h>

#include <span>

#include "corvane.h"
#include "words.h"
#include "test_support.h"

namespace corvane {
namespace {

using testing_support::run;

struct Case {
  std::string_view command;
  int score;
  std::string_view twin;  // must get the same score, decision and factors
  bool same_factors = true;  // false where the command adds factors of its own
};

void expect_cases(std::span<const Case> cases, const ClassifyContext* ctx = nullptr) {
  for (const Case& c : cases) {
    const AnalysisResult r = run(c.command, ctx);
    EXPECT_EQ(int{r.score}, c.score) << c.command << " (" << r.reason << ")";
    if (c.twin.empty()) continue;
    const AnalysisResult t = run(c.twin, ctx);
    EXPECT_EQ(int{t.score}, int{r.score}) << c.command << " / " << c.twin;
    EXPECT_EQ(t.quick_decision, r.quick_decision) << c.command << " / " << c.twin;
    if (c.same_factors) {
      EXPECT_EQ(t.risk_factors, r.risk_factors) << c.command << " / " << c.twin;
    }
  }
}

ClassifyContext app_context() {
  ClassifyContext ctx;
  ctx.cwd = "/srv/app";
  ctx.project_root = "/srv/app";
  return ctx;
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
  const ClassifyContext ctx = app_context();
  // A quoted absolute path outside the project is outside it.
  const Case cases[] = {{"cp a \"/srv/other/x\"", 40, "cp a /srv/other/x"}};
  expect_cases(cases, &ctx);
}

TEST(Verdicts, OutputRedirectsWriteFiles) {
  // A file written through a redirect scores what tee writing it scores.
  const Case cases[] = {
      {"echo x >> ~/.ssh/authorized_keys", 25, "tee -a ~/.ssh/authorized_keys"},
      {"echo x > ~/.bashrc", 35, "tee ~/.bashrc"},
      {"echo hi > /dev/sda", 25, "tee /dev/sda"},
      {"echo x > /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      {"echo x 2> /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      {"echo x &> /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      {"echo x &>> /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      {"echo x >| /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      {"echo x > \"/etc/cron.d/x\"", 50, "tee /etc/cron.d/x"},
      // The segment's own judgement still counts when it is higher.
      {"rm -rf / > log", 100, "rm -rf /"},
  };
  expect_cases(cases);
  const ClassifyContext ctx = app_context();
  const Case in_context[] = {
      {"echo x > /srv/other/f", 40, "tee /srv/other/f"},
      {"echo x > /etc/cron.d/x", 65, "tee /etc/cron.d/x"},
  };
  expect_cases(in_context, &ctx);
}

TEST(Verdicts, HarmlessRedirectsAndReadsStayAsTheyWere) {
  const Case cases[] = {
      {"ls 2>/dev/null", 0, "ls"},
      {"ls > \"/dev/null\"", 0, "ls"},
      {"ls > /dev/./null 2>//dev/stderr", 0, "ls"},
      {"ls >/dev/stdout 2>/dev/stderr", 0, "ls"},
      {"ls >/dev/fd/3", 0, "ls"},
      {"ls 2>&1", 0, "ls"},
      {"ls >&2", 0, "ls"},
      {"ls 3<&0", 0, "ls"},
      {"wc -l < /etc/hosts", 40, ""},
  };
  expect_cases(cases);
}

TEST(Verdicts, WrappersAreLookedThrough) {
  const Case cases[] = {
      {"nice rm -rf /", 100, "rm -rf /"},
      {"timeout 5 rm -rf /", 100, "rm -rf /"},
      {"timeout -s KILL 5s rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"nice -n 19 rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"ionice -c 3 rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"nohup rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"stdbuf -oL rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"chrt -f 99 rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"taskset -c 0 rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"time rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"exec rm -rf /tmp/x", 95, "rm -rf /tmp/x"},
      {"command git push --force", 75, "git push --force"},
      {"env git reset --hard", 70, "git reset --hard"},
      {"env -i FOO=1 git push -f", 75, "git push -f"},
      {"nice timeout 5 env A=b git reset --hard", 70, "git reset --hard"},
      // sudo and doas add privilege escalation of their own.
      {"sudo git reset --hard", 70, "git reset --hard", false},
      {"sudo -u root -- rm -rf /tmp/x", 95, "rm -rf /tmp/x", false},
      {"doas rm -rf /tmp/x", 95, "rm -rf /tmp/x", false},
      // The wrapper's own verdict stays the floor.
      {"sudo ls", 65, ""},
      {"nice ls", 35, ""},
      // Wrappers given nothing to run, or only asked about a name, are
      // judged as themselves.
      {"command -v rm", 60, ""},
      {"sudo -l", 65, ""},
  };
  expect_cases(cases);
}

TEST(Verdicts, WrappedCommandsShowTheCommandTheyRun) {
  const AnalysisResult r = run("sudo rm -rf /");
  ASSERT_EQ(r.sub_commands.size(), 1u);
  const CommandAnalysis& a = r.sub_commands[0];
  EXPECT_EQ(a.executable, "sudo");
  EXPECT_EQ(a.intent, std::vector<Intent>{Intent::Delete});
  EXPECT_EQ(a.risk_factors, (std::vector<RiskFactor>{RiskFactor::RecursiveDelete, RiskFactor::PrivilegeEscalation}));
  EXPECT_EQ(r.reason, "File deletion: targeting filesystem root, recursive deletion, privilege escalation");
  ASSERT_EQ(r.mitre_mappings.size(), 2u);
  EXPECT_EQ(r.mitre_mappings[0].technique_id, "T1548.003");
  EXPECT_EQ(r.mitre_mappings[1].technique_id, "T1485");
  EXPECT_EQ(run("nice vim x").sub_commands[0].capabilities,
            (std::vector<BinaryCapability>{BinaryCapability::Shell, BinaryCapability::FileRead,
                                           BinaryCapability::FileWrite}));
}

TEST(Verdicts, DirectoryChangesAreNavigation) {
  // Wherever it goes, a directory change scores as an information command.
  const Case cases[] = {
      {"cd /", 0, "cd src"},
      {"cd ~", 0, "cd src"},
      {"cd \"~\"", 0, "cd src"},
      {"pushd /", 0, "pushd src"},
      {"popd", 0, "pwd"},
      {"cd /etc && rm -rf x", 95, "rm -rf x"},
      // What it writes through a redirect still counts.
      {"cd / > /etc/cron.d/x", 50, "tee /etc/cron.d/x"},
      // A subshell segment holds only the cd of "(cd / && rm -rf x)": it is
      // judged as before, not as navigation.
      {"(cd / && rm -rf x)", 100, ""},
  };
  expect_cases(cases);
  const ClassifyContext ctx = app_context();
  const Case in_context[] = {{"cd /", 0, "cd src"}, {"cd ../../..", 0, "cd src"}};
  expect_cases(in_context, &ctx);
  EXPECT_EQ(run("cd /").sub_commands[0].targets,
            (std::vector<Target>{{std::nullopt, TargetScope::None, Sensitivity::Normal}}));
}

ClassifyContext guarded_context() {
  ClassifyContext ctx = app_context();
  ctx.home_dir = "/home/u";
  ctx.protected_paths = {"/home/u/.ssh"};
  return ctx;
}

TEST(Verdicts, PathsAreNormalisedBeforeEveryCheck) {
  const ClassifyContext ctx = guarded_context();
  const Case in_context[] = {
      // ".." is resolved against the working directory: climbing out of the
      // project is outside it, and climbing to the top is the root.
      {"rm -rf ../../..", 100, "rm -rf /"},
      {"rm ../x", 80, "rm /srv/x"},
      {"rm ..", 80, "rm /srv"},
      {"rm src/../../app/src/x", 50, "rm src/x"},
      {"rm -rf /srv/app/../app/src", 80, "rm -rf /srv/app/src"},
      {"cat ../../etc/shadow", 45, "cat /etc/shadow"},
      // "~" is the context's home directory, for protected paths and home.
      {"cat ~/.ssh/config", 65, "cat /home/u/.ssh/config"},
      {"cat ~/../u/.ssh/config", 65, "cat /home/u/.ssh/config"},
      {"cat ../../home/u/.ssh/config", 65, "cat /home/u/.ssh/config"},
      {"ls ~/.ssh", 55, "ls /home/u/.ssh"},
      {"echo x >> ~/.ssh/authorized_keys", 100, "tee -a /home/u/.ssh/authorized_keys"},
      {"touch ~/x", 55, "touch /home/u/x"},
      {"rm ~/../u", 100, "rm /home/u"},
      // The project root covers whole components: /srv/app2 is outside.
      {"rm ../app2/x", 80, "rm /srv/app2/x"},
      {"rm -rf /srv/app2", 100, "rm -rf /srv/other"},
  };
  expect_cases(in_context, &ctx);
  const Case plain[] = {
      // Without a context a path is resolved on its own.
      {"rm -rf /tmp/../etc", 100, "rm -rf /etc"},
      {"cat /etc/./shadow", 50, "cat /etc/shadow"},
      {"rm -rf /.", 100, "rm -rf /"},
      {"touch /etc/../tmp/x", 25, "touch /tmp/x"},
      // System directories cover whole components only.
      {"ls /etcetera", 0, "ls /tmp/x"},
      {"rm -rf /etcetera", 95, "rm -rf /tmp/x"},
      {"rm -rf /lib64", 100, "rm -rf /lib"},
      {"ls /usr/lib64", 20, "ls /usr"},
  };
  expect_cases(plain);
}

TEST(Verdicts, NormalisedPathsShowAsWritten) {
  const ClassifyContext ctx = guarded_context();
  const AnalysisResult up = run("rm -rf ../../..", &ctx);
  EXPECT_EQ(up.sub_commands[0].targets, (std::vector<Target>{{"../../..", TargetScope::Root, Sensitivity::Normal}}));
  EXPECT_EQ(up.reason, "File deletion: targeting filesystem root, recursive deletion");
  const AnalysisResult key = run("cat ~/.ssh/config", &ctx);
  EXPECT_EQ(key.sub_commands[0].targets,
            (std::vector<Target>{{"~/.ssh/config", TargetScope::SingleFile, Sensitivity::Protected}}));
  EXPECT_EQ(key.reason, "File read: accessing protected path (~/.ssh/config)");
  EXPECT_EQ(run("ls /etcetera").sub_commands[0].targets,
            (std::vector<Target>{{"/etcetera", TargetScope::SingleFile, Sensitivity::Normal}}));
}

TEST(Verdicts, OperandsOfFileCommandsArePaths) {
  const ClassifyContext ctx = app_context();
  const Case in_context[] = {
      {"rm -rf dist", 65, "rm -rf dist/"},
      {"rm -rf dist", 65, "rm -rf /srv/app/dist"},
      {"rm -rf src", 80, "rm -rf ./src"},
      {"rm -r build", 35, "rm -r ./build"},
      {"mv x /srv/other", 55, "mv ./x /srv/other"},
      {"cp a b", 10, "cp ./a ./b"},
      {"ln -s a b", 10, "ln -s ./a ./b"},
      {"install -m 755 a b", 10, "install -m 755 ./a ./b"},
      {"mkdir -m 700 out", 0, "mkdir -m 700 ./out"},
      {"touch -d tomorrow x", 10, "touch -d tomorrow ./x"},
      {"chmod 755 run.sh", 60, "chmod 755 ./run.sh"},
      {"chmod -x run.sh", 60, "chmod -x ./run.sh"},
      {"chown -R www:www site", 60, "chown -R www:www ./site"},
      {"chown --reference=ref data", 60, "chown --reference=ref ./data"},
      {"chgrp staff file", 60, "chgrp staff ./file"},
      // A word holding an expansion, or the "{}" of find -exec, names no
      // known file: it stays no target.
      {"rm -rf $D", 90, ""},
      {"find . -name .svn -exec rm -rf {} \\;", 90, ""},
  };
  expect_cases(in_context, &ctx);
  const Case plain[] = {
      {"shred id_rsa", 90, "shred ./id_rsa"},
      {"tee Makefile", 35, "tee ./Makefile"},
      {"cp server.key /tmp", 50, "cp ./server.key /tmp"},
      {"rm x", 65, "rm ./x"},
      {"chmod 755 run.sh", 65, "chmod 755 ./run.sh"},
  };
  expect_cases(plain);

  // The mode, the owner and option values are not paths.
  using V = std::vector<Target>;
  auto file = [](const char* p) { return Target{p, TargetScope::SingleFile, Sensitivity::Normal}; };
  const std::pair<std::string_view, V> shown[] = {
      {"rm -rf dist", V{file("dist")}},
      {"chmod 755 run.sh", V{file("run.sh")}},
      {"chmod -x run.sh", V{file("run.sh")}},
      {"chmod -R u+x bin lib", V{file("bin"), file("lib")}},
      {"chown -R www:www site", V{file("site")}},
      {"chown --reference ref data", V{file("ref"), file("data")}},
      {"install -m755 -o root a b", V{file("a"), file("b")}},
      {"mkdir -pm 700 out", V{file("out")}},
      {"shred -n 3 -u key", V{file("key")}},
      {"mv --suffix bak a b", V{file("a"), file("b")}},
      {"rm -- -rf", V{file("-rf")}},
      {"tee >(sha1sum) log", V{file("log")}},
      {"cp \"my file\" b", V{file("\"my file\""), file("b")}},
  };
  for (const auto& [line, targets] : shown) EXPECT_EQ(run(line).sub_commands[0].targets, targets) << line;
  // Other commands still take only words shaped like paths.
  EXPECT_EQ(run("cat README.md").sub_commands[0].targets,
            (V{{std::nullopt, TargetScope::None, Sensitivity::Normal}}));
}

}  // namespace
}  // namespace corvane
