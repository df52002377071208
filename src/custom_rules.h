// Project and user rule files (TOML).
//
// The user's file, $HOME/.config/corvane/rules.toml, is always read. On top of
// it comes the project's file: the first of <project_root>/.corvane.toml and
// <cwd>/.corvane.toml that exists (it shadows the other even when broken). The
// user's file is trusted. The project's file arrives with a cloned repository
// and is not: its allow entries are ignored and everything else in it may only
// raise a verdict. A broken file of either kind is left out on its own.
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
  bool operator==(const AllowRule&) const = default;
};

struct BlockRule {
  std::string pattern;
  std::string reason;
  std::optional<std::string> mitre;
  bool operator==(const BlockRule&) const = default;
};

struct CustomFlagRule {
  std::vector<std::string> flags;
  std::int8_t modifier = 10;
  std::string description;
  bool operator==(const CustomFlagRule&) const = default;
};

struct CustomCommandRule {
  std::string name;
  std::string intent;
  std::uint8_t base_weight = 50;
  std::string reversibility;
  std::optional<std::string> mitre;
  std::vector<CustomFlagRule> dangerous_flags;
  bool operator==(const CustomCommandRule&) const = default;
};

struct CustomPathRule {
  std::string pattern;
  std::string sensitivity;
  std::string description;
  bool operator==(const CustomPathRule&) const = default;
};

struct ScoreOverride {
  std::string command;
  std::uint8_t score = 0;
  std::optional<std::string> reason;
  bool operator==(const ScoreOverride&) const = default;
};

// A place in a rule file: line and column from 1, both 0 when not known.
struct SourcePosition {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  bool operator==(const SourcePosition&) const = default;
};

// Something the reader let pass quietly: an element skipped, a key that fell
// back to its default, a value clamped, a key or section it does not know, a
// value that makes a rule unusable. Classification ignores these; the rules
// lint shows them.
struct RuleNote {
  SourcePosition where;
  std::string message;
};

// Why a rule file yielded no configuration.
struct RuleFileError {
  enum class Kind : std::uint8_t { Read, Parse };
  Kind kind = Kind::Read;
  std::string path;
  std::string description;  // the system's words (read) or the TOML parser's (parse)
  SourcePosition where;     // of a parse error

  // The one-line message classification writes on standard error, with its
  // line feed: "corvane: failed to read PATH: WHY" or "corvane: failed to
  // parse PATH: invalid TOML or rule format".
  std::string message() const;
};

struct RuleConfig {
  std::vector<AllowRule> allow;
  std::vector<BlockRule> block;
  std::vector<CustomCommandRule> commands;
  std::vector<CustomPathRule> paths;
  std::vector<ScoreOverride> overrides;
  std::string source;  // the file read, for reasons; empty when read from text

  bool operator==(const RuleConfig&) const = default;

  // Reads and parses one file; failures are reported on standard error.
  static std::optional<RuleConfig> from_file(const std::string& path);

  // Parses TOML text; nothing exactly when the text is not valid TOML.
  static std::optional<RuleConfig> from_toml(std::string_view text);
};

// The outcome of reading one rule file: a configuration, or the error that
// prevented it; notes in file order either way (a parse error has none).
struct RuleFile {
  std::optional<RuleConfig> config;
  std::optional<RuleFileError> error;
  std::vector<RuleNote> notes;
  bool builtin_pack = false;  // the file is the built-in pack, byte for byte
};

// Reads one file without reporting anything. `project` marks a project file,
// whose allow entries the notes then say are ignored.
RuleFile read_rule_file(const std::string& path, bool project = false);

// Parses TOML text as `read_rule_file` does; `path` only labels the result.
RuleFile read_rule_text(std::string_view text, const std::string& path = {}, bool project = false);

// The files that apply to a call, each read once.
struct RuleSet {
  std::optional<RuleConfig> user;     // trusted
  std::optional<RuleConfig> project;  // untrusted: allows ignored, raises only
  std::vector<RuleFileError> errors;  // in discovery order: project, then user
  // Which configurations are the built-in pack's, whose pattern words are
  // built in too (builtin_pack_words).
  bool user_is_builtin_pack = false;
  bool project_is_builtin_pack = false;

  bool empty() const noexcept { return !user && !project; }
};

// The paths discovery would read for a context: the project candidate that
// exists (if any) and the user file (if HOME is usable), without reading them.
struct RulePaths {
  std::optional<std::string> project;
  std::optional<std::string> user;
};
RulePaths rule_paths(const ClassifyContext* ctx);

// Whether the file system has an entry of any kind at `path` (a dangling
// symbolic link included): what makes discovery read a candidate.
bool rule_file_exists(const std::string& path);

// Finds and reads the rule files for a context. Reports nothing: the caller
// decides what to do with the errors.
RuleSet discover_rules(const ClassifyContext* ctx);

// Writes the one-line message of each error on standard error, in order.
void report_rule_errors(const RuleSet& set) noexcept;

// The engine's values for the spellings a rule file uses (the JSON
// spellings: "delete", "hard_to_reverse", "secrets"); nothing for any other.
std::optional<Intent> parse_intent(std::string_view s) noexcept;
std::optional<Reversibility> parse_reversibility(std::string_view s) noexcept;
std::optional<Sensitivity> parse_sensitivity(std::string_view s) noexcept;

// Largest rule file read; anything bigger is a read failure, so that a hostile
// file cannot exhaust the caller's memory.
inline constexpr std::size_t kMaxRuleFileBytes = 1 << 20;

}  // namespace corvane
