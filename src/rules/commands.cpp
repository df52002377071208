#include "rules/commands.h"

#include "text.h"

namespace corvane::rules {

// Stand-in until the table lands.
std::span<const CommandRule> command_rules() noexcept { return {}; }

const CommandRule* lookup_command(std::string_view executable) noexcept {
  const std::string_view key = text::base_name(executable);
  for (const CommandRule& rule : command_rules())
    if (rule.name == key) return &rule;
  return nullptr;
}

std::vector<FlagAnalysis> match_flag_rules(const CommandRule&, std::string_view) { return {}; }

}  // namespace corvane::rules
