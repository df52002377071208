// What the rule files do to one simple command: custom paths raise the
// sensitivity of targets, custom commands take the place of the built-in
// command row, allow rules clear a clean command, score overrides raise it and
// block rules block it.
//
// The user's file is trusted and the project's is not. From a project file
// allow rules are ignored and everything else only ever raises a verdict.
// Where the files disagree about one command the stricter wins: the higher
// override, a block over an allow, a project rule that raised over a user's
// allow.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "custom_rules.h"
#include "simple_command.h"
#include "types.h"

namespace corvane {

// How the rules changed one segment.
struct RuleEffect {
  // Replaces the segment's generated reason when set.
  std::optional<std::string> reason;
  // Replace the technique of the built-in command row when set (a custom
  // command rule applied); block rules append theirs.
  std::optional<std::vector<std::string>> techniques;
  std::vector<std::string> extra_techniques;
};

// The rule files of one call, prepared for matching many segments.
class CompiledRules {
 public:
  CompiledRules(const RuleSet& set, const ClassifyContext* ctx);

  bool empty() const noexcept { return layers_.empty(); }

  // Scores the command (which the analyzer left unscored) with the rules
  // applied.
  RuleEffect apply(SimpleCommand& cmd, const ClassifyContext* ctx) const;

 private:
  using Words = std::span<const std::string_view>;
  struct Pattern {
    Words words;
    std::size_t index;  // of the rule in its list
  };
  struct Command {
    Words words;
    const CustomCommandRule* rule;
    Intent intent;
    Reversibility reversibility;
  };
  struct Path {
    const CustomPathRule* rule;
    Sensitivity sensitivity;
  };
  struct Layer {
    const RuleConfig* config;
    bool trusted;
    std::vector<Pattern> allow;
    std::vector<Pattern> block;
    std::vector<Command> commands;
    std::vector<Path> paths;
  };

  const Command* longest_command(std::span<const std::string_view> words, bool trusted) const;

  std::vector<Layer> layers_;  // the user's file first
  // The words split from a file's patterns, which Words point into (the
  // built-in pack's point into its own tables instead).
  struct Split {
    std::vector<std::string> words;
    std::vector<std::string_view> views;
  };
  std::vector<std::unique_ptr<Split>> splits_;
  std::optional<std::string> home_;
};

}  // namespace corvane
