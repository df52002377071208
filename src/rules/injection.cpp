#include "rules/injection.h"

namespace corvane::rules {

std::vector<PatternMatch> matching_patterns(std::span<const PatternRule> table, std::string_view text) {
  std::vector<PatternMatch> matches;
  for (const PatternRule& row : table)
    if (row.check(text)) matches.push_back({row.id, row.risk_factor, row.weight, row.description});
  return matches;
}

// Stand-in until the table lands.
std::span<const PatternRule> injection_rules() noexcept { return {}; }

}  // namespace corvane::rules
