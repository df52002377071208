#include "rules/capabilities.h"

#include "text.h"

namespace corvane::rules {

// Stand-in until the table lands.
std::span<const CapabilityEntry> capability_table() noexcept { return {}; }

std::vector<BinaryCapability> lookup_capabilities(std::string_view executable) {
  const std::string_view key = text::base_name(executable);
  for (const CapabilityEntry& e : capability_table())
    if (e.binary == key) return {e.capabilities.begin(), e.capabilities.end()};
  return {};
}

}  // namespace corvane::rules
