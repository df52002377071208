// Zsh detectors: constructs zsh has and Bash lacks (modules, glob qualifiers
// that run code, =cmd expansion, ...). Consulted only when the caller's
// context says the shell is zsh.
#pragma once

#include <span>

#include "rules/injection.h"

namespace corvane::rules {

std::span<const PatternRule> zsh_rules() noexcept;

}  // namespace corvane::rules
