// Wrappers: programs that run the command given in their arguments (sudo,
// env, timeout, ...). Which words they take is known to the nested-command
// unit (nested::program_index); this table holds what a wrapper adds of its
// own to the command it runs.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "types.h"

namespace corvane::rules {

struct WrapperFactor {
  std::string_view name;
  RiskFactor factor;
};

// Wrappers that run the command as another (usually the super) user.
inline constexpr std::array<WrapperFactor, 2> kWrapperFactors = {{
    {"sudo", RiskFactor::PrivilegeEscalation},
    {"doas", RiskFactor::PrivilegeEscalation},
}};

inline std::optional<RiskFactor> wrapper_factor(std::string_view name) noexcept {
  for (const WrapperFactor& w : kWrapperFactors)
    if (w.name == name) return w.factor;
  return std::nullopt;
}

}  // namespace corvane::rules
