// Sensitive path rules: glob-like patterns for secrets, system files and
// configuration files, and the two operations that test a path against them.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "types.h"

namespace corvane::rules {

struct SensitivePathRule {
  std::string_view pattern;
  Sensitivity sensitivity;
  std::string_view description;
};

std::span<const SensitivePathRule> sensitive_path_rules() noexcept;

// Pattern test: exact or "/"-suffix match without wildcards, per-character
// "?" without "*", and ordered parts between "*" otherwise.
bool path_matches(std::string_view subject, std::string_view pattern) noexcept;

struct SensitivityMatch {
  Sensitivity sensitivity;
  std::string_view description;
};

// The best-ranked matching rule (secrets > system > config; earliest row on
// ties), or nothing when no rule matches.
std::optional<SensitivityMatch> match_sensitivity(std::string_view path) noexcept;

}  // namespace corvane::rules
