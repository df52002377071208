// The command rule table: what well-known commands do, how hard their effect
// is to undo, their ATT&CK technique, and the flags or sub-commands that make
// them more dangerous. Static, read-only, searched in table order.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "types.h"

namespace corvane::rules {

// One dangerous-flag rule. Every token must be present among the segment's
// words; the first token becomes the reported flag text.
struct FlagRule {
  std::array<std::string_view, 3> tokens;  // unused slots are empty
  std::int8_t modifier;
  RiskFactor risk_factor;
  std::string_view description;

  constexpr std::size_t token_count() const {
    std::size_t n = 0;
    while (n < tokens.size() && !tokens[n].empty()) ++n;
    return n;
  }
};

struct CommandRule {
  std::string_view name;
  Intent intent;
  Reversibility reversibility;
  std::string_view technique;  // empty when the command has no technique
  std::span<const FlagRule> flag_rules;
};

// The whole table, in table order.
std::span<const CommandRule> command_rules() noexcept;

// Looks a segment's executable up by the text after its last "/", exactly
// and case-sensitively. Wrappers such as sudo are not unwrapped.
const CommandRule* lookup_command(std::string_view executable) noexcept;

// The rule's flag rules that match the segment's source text, in rule order.
std::vector<FlagAnalysis> match_flag_rules(const CommandRule& rule, std::string_view segment_text);

// The same over words already split (and unquoted) by the caller.
std::vector<FlagAnalysis> match_flag_rules(const CommandRule& rule,
                                           std::span<const std::string_view> words);

}  // namespace corvane::rules
