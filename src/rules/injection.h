// Pattern detectors: tests on the raw text of a segment for injection and
// obfuscation constructs. The zsh table (rules/zsh.h) has the same shape.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "text.h"
#include "types.h"

namespace corvane::rules {

struct PatternRule {
  std::string_view id;
  std::string_view description;
  bool (*check)(std::string_view text);
  std::uint8_t weight;
  RiskFactor risk_factor;
  // Bytes of which every text that `check` accepts holds at least one; a text
  // with none of them skips the check.
  text::ByteSet triggers = text::ByteSet::all();
};

struct PatternMatch {
  std::string_view id;
  RiskFactor risk_factor;
  std::uint8_t weight;
  std::string_view description;
};

// Runs every row of `table` over `text` and returns the matching rows, in
// table order.
std::vector<PatternMatch> matching_patterns(std::span<const PatternRule> table, std::string_view text);

std::span<const PatternRule> injection_rules() noexcept;

}  // namespace corvane::rules
