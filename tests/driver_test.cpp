#include <gtest/gtest.h>

#include "corvane.h"
#include "rules/techniques.h"
#include "parser.h"
#include "scorer.h"

namespace corvane {
namespace {

AnalysisResult run(std::string_view command, const ClassifyContext* ctx = nullptr,
                   const RuleConfig* config = nullptr) {
  auto r = classify_inner(command, ctx, config);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

TEST(Driver, ScoreBands) {
  struct Band {
    std::uint8_t score;
    RiskLevel level;
    QuickDecision decision;
  };
  const Band bands[] = {
      {0, RiskLevel::Safe, QuickDecision::Safe},        {20, RiskLevel::Safe, QuickDecision::Safe},
      {21, RiskLevel::Caution, QuickDecision::Risky},   {50, RiskLevel::Caution, QuickDecision::Risky},
      {51, RiskLevel::Danger, QuickDecision::Risky},    {80, RiskLevel::Danger, QuickDecision::Risky},
      {81, RiskLevel::Critical, QuickDecision::Blocked}, {100, RiskLevel::Critical, QuickDecision::Blocked},
  };
  for (const Band& b : bands) {
    EXPECT_EQ(level_for_score(b.score), b.level) << int(b.score);
    EXPECT_EQ(decision_for_score(b.score), b.decision) << int(b.score);
  }
}

TEST(Driver, LsSerialisesExactly) {
  EXPECT_EQ(to_json(run("ls")),
            "{\"command\":\"ls\",\"score\":0,\"level\":\"safe\",\"quick_decision\":\"safe\","
            "\"reason\":\"Information command\",\"risk_factors\":[],\"sub_commands\":[{\"command\":"
            "\"ls\",\"executable\":\"ls\",\"intent\":[\"info\"],\"targets\":[{\"path\":null,"
            "\"scope\":\"none\",\"sensitivity\":\"normal\"}],\"flags\":[],\"score\":0,"
            "\"risk_factors\":[],\"reversibility\":\"reversible\",\"capabilities\":[]}],"
            "\"pipeline_flow\":null,\"mitre_mappings\":[],\"parse_confidence\":\"full\"}");
}

TEST(Driver, RmRfRoot) {
  AnalysisResult r = run("rm -rf /");
  EXPECT_EQ(r.score, 100);
  EXPECT_EQ(r.level, RiskLevel::Critical);
  EXPECT_EQ(r.quick_decision, QuickDecision::Blocked);
  EXPECT_EQ(r.reason, "File deletion: targeting filesystem root, recursive deletion");
  EXPECT_EQ(r.risk_factors, std::vector<RiskFactor>{RiskFactor::RecursiveDelete});
  ASSERT_EQ(r.mitre_mappings.size(), 1u);
  EXPECT_EQ(r.mitre_mappings[0], (MitreMapping{"T1485", "MITRE ATT&CK T1485", "Unknown"}));
}

TEST(Driver, EmptyCommand) {
  AnalysisResult r = run("");
  ASSERT_EQ(r.sub_commands.size(), 1u);
  const CommandAnalysis& a = r.sub_commands[0];
  EXPECT_FALSE(a.executable);
  EXPECT_EQ(a.intent, std::vector<Intent>{Intent::Execute});
  EXPECT_EQ(a.reversibility, Reversibility::HardToReverse);
  EXPECT_EQ(a.targets, (std::vector<Target>{{std::nullopt, TargetScope::None, Sensitivity::Normal}}));
  EXPECT_EQ(r.score, 60);
  EXPECT_EQ(r.level, RiskLevel::Danger);
  EXPECT_EQ(r.quick_decision, QuickDecision::Risky);
  EXPECT_EQ(r.parse_confidence, ParseConfidence::Full);
  EXPECT_EQ(r.reason, "Code execution");
}

TEST(Driver, ParseConfidenceRaisesScore) {
  // A syntax error with a command left in the tree: partial, +5.
  AnalysisResult partial = run("ls -la )");
  EXPECT_EQ(partial.parse_confidence, ParseConfidence::Partial);
  int highest = 0;
  for (const auto& a : partial.sub_commands) highest = std::max<int>(highest, a.score);
  EXPECT_EQ(partial.score, std::min(highest + 5, 100));

  // Nothing but an error and no executable: fallback, +10.
  AnalysisResult fallback = run(")");
  EXPECT_EQ(fallback.parse_confidence, ParseConfidence::Fallback);
  ASSERT_EQ(fallback.sub_commands.size(), 1u);
  EXPECT_EQ(fallback.score, std::min(fallback.sub_commands[0].score + 10, 100));
}

TEST(Driver, RiskFactorsSortedWithoutRepeats) {
  AnalysisResult r = run("rm -rf --no-preserve-root / ; git push --force; echo $(id)");
  ASSERT_EQ(r.sub_commands.size(), 3u);
  EXPECT_EQ(r.sub_commands[0].risk_factors,
            (std::vector<RiskFactor>{RiskFactor::RecursiveDelete, RiskFactor::RecursiveDelete}));
  EXPECT_EQ(r.risk_factors,
            (std::vector<RiskFactor>{RiskFactor::CommandSubstitution, RiskFactor::GitHistoryDestruction,
                                     RiskFactor::RecursiveDelete}));
}

TEST(Driver, MitreMappingsFirstAppearanceWithoutRepeats) {
  AnalysisResult r = run("bash x; sh y; curl a; wget b; rm c");
  std::vector<std::string> ids;
  for (const auto& m : r.mitre_mappings) ids.push_back(m.technique_id);
  EXPECT_EQ(ids, (std::vector<std::string>{"T1059.004", "T1071", "T1485"}));
  EXPECT_EQ(r.mitre_mappings[0].technique_name, "Command and Scripting Interpreter: Unix Shell");
  EXPECT_EQ(r.mitre_mappings[0].tactic, "Execution");
}

TEST(Driver, ReasonJoinsSegmentsAndNamesThePipeline) {
  EXPECT_EQ(run("ls && pwd").reason, "Information command | Information command");
  AnalysisResult piped = run("curl -s h | bash");
  ASSERT_TRUE(piped.pipeline_flow);
  ASSERT_FALSE(piped.pipeline_flow->taint_flows.empty());
  EXPECT_EQ(piped.reason.rfind("Pipeline: Network operation | Code execution", 0), 0u) << piped.reason;
  EXPECT_TRUE(piped.reason.ends_with("; Remote content piped to execution (curl|bash pattern)"))
      << piped.reason;
}

TEST(Driver, OverridesOnlyRaise) {
  RuleConfig config;
  config.overrides = {{"curl", 90, std::nullopt}, {"curl", 5, std::nullopt}, {"ls", 10, std::nullopt}};
  AnalysisResult r = run("/usr/bin/curl x; curl2 x; ls", nullptr, &config);
  ASSERT_EQ(r.sub_commands.size(), 3u);
  EXPECT_EQ(r.sub_commands[0].score, 90);  // first matching override wins
  EXPECT_NE(r.sub_commands[1].score, 90);  // curl2 is another command
  EXPECT_EQ(r.sub_commands[2].score, 10);  // ls scores 0 and is raised

  RuleConfig low;
  low.overrides = {{"rm", 10, std::nullopt}};
  EXPECT_EQ(run("rm -rf /", nullptr, &low).score, 100);
}

TEST(Driver, BatchKeepsOrder) {
  auto batch = classify_batch({"ls", "rm -rf /", "ls"}, nullptr);
  ASSERT_TRUE(batch.ok());
  ASSERT_EQ(batch.value().size(), 3u);
  EXPECT_EQ(batch.value()[0], batch.value()[2]);
  EXPECT_EQ(batch.value()[1].score, 100);
  EXPECT_TRUE(classify_batch({}, nullptr).value().empty());
}

// The driver passes the analyzer's detector weights to the scorer instead of
// running the detectors twice; scoring each analysis afresh must agree.
TEST(Driver, SegmentScoresMatchAFreshScore) {
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  zsh.cwd = "/w";
  const ClassifyContext* contexts[] = {nullptr, &zsh};
  for (const ClassifyContext* ctx : contexts) {
    for (const char* line : {"zmodload zsh/system; echo $(id) | bash", "ls ${X} && cat /etc/passwd",
                             "echo {a,b} `ls`", "PATH=/tmp/x LD_PRELOAD=y z", "emulate sh -c 'eval x'"}) {
      for (CommandAnalysis a : run(line, ctx).sub_commands) {
        const std::uint8_t reported = a.score;
        score_command(a, ctx);
        EXPECT_EQ(a.score, reported) << line;
      }
    }
  }
}

TEST(Mitre, Catalogue) {
  EXPECT_EQ(get_mitre_name("T1105"), "Ingress Tool Transfer");
  EXPECT_EQ(get_mitre_tactic("T1105"), "Command and Control");
  EXPECT_EQ(get_mitre_name("T1195"), "Supply Chain Compromise");
  EXPECT_EQ(get_mitre_tactic("T1195"), "Supply Chain Compromise");
  EXPECT_EQ(get_mitre_name("T1543.002"), "MITRE ATT&CK T1543.002");
  EXPECT_EQ(get_mitre_tactic("T1543.002"), "Unknown");
  EXPECT_EQ(get_mitre_name("T1059"), "MITRE ATT&CK T1059");
  EXPECT_EQ(get_mitre_name(""), "MITRE ATT&CK ");
  EXPECT_EQ(get_mitre_tactic("t1105"), "Unknown");
}

}  // namespace
}  // namespace corvane
