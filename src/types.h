// The result model (public, corvane/result.h) plus what the engine's own
// units share about it.
#pragma once

#include <corvane/result.h>

#include "enum_table.h"

namespace corvane {

inline constexpr std::size_t kRiskFactorCount = kEnumSize<RiskFactor>;

// The shell a step should assume: bash unless a context says zsh.
inline ShellKind shell_of(const ClassifyContext* ctx) noexcept {
  return ctx != nullptr ? ctx->shell : ShellKind::Bash;
}

}  // namespace corvane
