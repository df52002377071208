#include "custom_rules.h"

namespace corvane {

// Stand-ins until rule files land.
std::optional<RuleConfig> RuleConfig::discover(const ClassifyContext*) { return std::nullopt; }
std::optional<RuleConfig> RuleConfig::from_file(const std::string&) { return std::nullopt; }
std::optional<RuleConfig> RuleConfig::from_toml(std::string_view) { return std::nullopt; }

}  // namespace corvane
