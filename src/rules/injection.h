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

// A row's test: what it accepts, and bytes of which every text it accepts
// holds at least one (a text with none of them skips the check).
struct PatternTest {
  bool (*check)(std::string_view text);
  text::ByteSet triggers;
};

// Tests over the row's own strings, their trigger bytes derived from them.
template <text::Literal... Needles>
inline constexpr PatternTest any_of{text::contains_any<Needles...>, text::triggers_of_any<Needles...>()};
template <text::Literal... Needles>
inline constexpr PatternTest all_of{text::contains_all<Needles...>, text::triggers_of_all<Needles...>()};
template <text::Literal Word>
inline constexpr PatternTest command_word{text::starts_or_follows_space<Word>, text::triggers_of_any<Word>()};
// A hand-written check that accepts only texts holding one of `Needles`, or
// all of them.
template <bool (*Check)(std::string_view), text::Literal... Needles>
inline constexpr PatternTest needs_one_of{Check, text::triggers_of_any<Needles...>()};
template <bool (*Check)(std::string_view), text::Literal... Needles>
inline constexpr PatternTest needs_all_of{Check, text::triggers_of_all<Needles...>()};

struct PatternRule {
  constexpr PatternRule(std::string_view id_, std::string_view description_, PatternTest test,
                        std::uint8_t weight_, RiskFactor risk_factor_) noexcept
      : id(id_), description(description_), check(test.check), weight(weight_),
        risk_factor(risk_factor_), triggers(test.triggers) {}

  std::string_view id;
  std::string_view description;
  bool (*check)(std::string_view text);
  std::uint8_t weight;
  RiskFactor risk_factor;
  text::ByteSet triggers;
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
