// Fuzzes the rule-file reader on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "custom_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto config = corvane::RuleConfig::from_toml(text)) {
    for (const auto& o : config->overrides)
      if (o.score > 100 || o.command.empty()) __builtin_trap();
    for (const auto& c : config->commands) {
      if (c.base_weight > 100) __builtin_trap();
      for (const auto& f : c.dangerous_flags)
        if (f.modifier < -100 || f.modifier > 100 || f.flags.empty()) __builtin_trap();
    }
  }
  return 0;
}
