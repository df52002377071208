#include <gtest/gtest.h>

#include "scorer.h"

namespace corvane {
namespace {

CommandAnalysis analysis(std::vector<Intent> intent, std::vector<Target> targets,
                         Reversibility rev, std::string command = "x") {
  CommandAnalysis a;
  a.command = std::move(command);
  a.intent = std::move(intent);
  a.targets = std::move(targets);
  a.reversibility = rev;
  return a;
}

std::uint8_t score(CommandAnalysis a, const ClassifyContext* ctx) {
  score_command(a, ctx);
  return a.score;
}

TEST(Scorer, EmptyAnalysisAndTheNoContextBonus) {
  const ClassifyContext ctx;
  EXPECT_EQ(score(analysis({}, {}, Reversibility::Reversible), nullptr), 0);   // -10 + 5
  EXPECT_EQ(score(analysis({}, {}, Reversibility::Reversible), &ctx), 0);      // -10
  EXPECT_EQ(score(analysis({}, {}, Reversibility::HardToReverse), nullptr), 10);  // 5 + 5
  EXPECT_EQ(score(analysis({}, {}, Reversibility::HardToReverse), &ctx), 5);
}

TEST(Scorer, HighestWeightsPlusFlagsAndClamping) {
  // Highest intent (55) + highest scope (root 40) + highest sensitivity
  // (secrets 25) + flags (30 - 10) + context (none: +5 per path) + 15.
  CommandAnalysis a = analysis({Intent::Read, Intent::Privilege},
                               {{"/", TargetScope::Root, Sensitivity::Normal},
                                {std::nullopt, TargetScope::Home, Sensitivity::Secrets}},
                               Reversibility::Irreversible);
  a.flags = {{"-a", 30, RiskFactor::Write, ""}, {"-b", -10, RiskFactor::Write, ""}};
  EXPECT_EQ(score(a, nullptr), 100);

  CommandAnalysis low = analysis({Intent::Search}, {{std::nullopt, TargetScope::SingleFile, Sensitivity::Config}},
                                 Reversibility::Reversible);
  low.flags = {{"-z", -50, RiskFactor::Write, ""}};
  EXPECT_EQ(score(low, nullptr), 0);  // negative sums clamp to 0
}

TEST(Scorer, PathlessTargetsGiveNoContextAdjustment) {
  const ClassifyContext ctx;
  // system scope 25 + system sensitivity 20 + info 0 + reversible -10.
  CommandAnalysis a = analysis({Intent::Info}, {{std::nullopt, TargetScope::System, Sensitivity::System}},
                               Reversibility::Reversible);
  EXPECT_EQ(score(a, &ctx), 35);
  EXPECT_EQ(score(a, nullptr), 40);
}

TEST(Scorer, DetectorCombination) {
  const ClassifyContext ctx;
  // write 30 + hard 5 = 35 base; "$(" weighs 40: 40 + 35/4.
  EXPECT_EQ(score(analysis({Intent::Write}, {}, Reversibility::HardToReverse, "echo $(id)"), &ctx), 48);
  // Base 20 or less: no bonus, the detector alone.
  EXPECT_EQ(score(analysis({Intent::Read}, {}, Reversibility::HardToReverse, "echo $(id)"), &ctx), 40);
  // A detector of 20 (brace expansion) never adds the bonus.
  EXPECT_EQ(score(analysis({Intent::Execute}, {}, Reversibility::HardToReverse, "echo {a,b}"), &ctx), 55);
  // Bonus over the top is clamped.
  EXPECT_EQ(score(analysis({Intent::Privilege}, {{"/", TargetScope::Root, Sensitivity::Normal}},
                           Reversibility::Irreversible, "x $(y)"), &ctx), 100);
}

TEST(Scorer, ZshRowsNeedAZshContext) {
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  const ClassifyContext bash;
  const auto a = analysis({Intent::Info}, {}, Reversibility::Reversible, "zmodload zsh/system");
  EXPECT_EQ(score(a, nullptr), 0);
  EXPECT_EQ(score(a, &bash), 0);
  EXPECT_EQ(score(a, &zsh), 60);
}

TEST(Reason, Texts) {
  struct Case {
    CommandAnalysis a;
    const char* reason;
  };
  CommandAnalysis del = analysis({Intent::Delete}, {{"/", TargetScope::Root, Sensitivity::Normal}},
                                 Reversibility::Irreversible);
  del.risk_factors = {RiskFactor::RecursiveDelete, RiskFactor::ForceFlag};
  CommandAnalysis read = analysis({Intent::Read}, {{"/etc/shadow", TargetScope::SingleFile, Sensitivity::Secrets}},
                                  Reversibility::Reversible);
  read.risk_factors = {RiskFactor::SecretsExposure};
  CommandAnalysis sys = analysis({Intent::Write},
                                 {{"/etc/hosts", TargetScope::System, Sensitivity::System},
                                  {"~", TargetScope::Home, Sensitivity::Protected},
                                  {std::nullopt, TargetScope::Root, Sensitivity::Secrets}},
                                 Reversibility::Reversible);
  sys.risk_factors = {RiskFactor::CommandSubstitution, RiskFactor::ShellInjection, RiskFactor::ShellInjection};
  const Case cases[] = {
      {del, "File deletion: targeting filesystem root, recursive deletion, force flag"},
      {read, "File read: accessing secrets (/etc/shadow)"},
      {analysis({Intent::Search}, {}, Reversibility::Reversible), "Search operation"},
      {analysis({}, {}, Reversibility::Reversible), "Unknown operation"},
      {sys, "File write: targeting system path /etc/hosts, accessing system file (/etc/hosts), "
            "targeting home directory, accessing protected path (~), shell injection pattern, "
            "shell injection pattern"},
  };
  for (const Case& c : cases) EXPECT_EQ(generate_reason(c.a), c.reason);
}

}  // namespace
}  // namespace corvane
