// Project and user rule files (TOML).
//
// Looked for, in order, at <project_root>/.corvane.toml, <cwd>/.corvane.toml
// and $HOME/.config/corvane/rules.toml; the first that exists is the only one
// read, even when it is broken. Of what is read, classification only uses the
// score overrides, and those can only raise a score: a project's rule file
// comes with a cloned repository and is untrusted input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace corvane {

struct AllowRule {
  std::string pattern;
  std::string reason;
};

struct BlockRule {
  std::string pattern;
  std::string reason;
  std::optional<std::string> mitre;
};

struct CustomFlagRule {
  std::vector<std::string> flags;
  std::int8_t modifier = 10;
  std::string description;
};

struct CustomCommandRule {
  std::string name;
  std::string intent;
  std::uint8_t base_weight = 50;
  std::string reversibility;
  std::optional<std::string> mitre;
  std::vector<CustomFlagRule> dangerous_flags;
};

struct CustomPathRule {
  std::string pattern;
  std::string sensitivity;
  std::string description;
};

struct ScoreOverride {
  std::string command;
  std::uint8_t score = 0;
  std::optional<std::string> reason;
};

struct RuleConfig {
  std::vector<AllowRule> allow;
  std::vector<BlockRule> block;
  std::vector<CustomCommandRule> commands;
  std::vector<CustomPathRule> paths;
  std::vector<ScoreOverride> overrides;

  // Finds and loads the rule file for a context (or none); nothing when no
  // candidate exists or the first existing one cannot be loaded.
  static std::optional<RuleConfig> discover(const ClassifyContext* ctx);

  // Reads and parses one file; failures are reported on standard error.
  static std::optional<RuleConfig> from_file(const std::string& path);

  // Parses TOML text; nothing exactly when the text is not valid TOML.
  static std::optional<RuleConfig> from_toml(std::string_view text);
};

// Largest rule file read; anything bigger is a read failure, so that a hostile
// file cannot exhaust the caller's memory.
inline constexpr std::size_t kMaxRuleFileBytes = 1 << 20;

}  // namespace corvane
