// The default rule pack, rules/default.toml, as built into the engine.
//
// `corvane init` installs this text as the user's rule file, and most users
// then keep it as it is. Parsing its 23 KB of TOML would cost about a
// millisecond on every call, more than starting the program, so the build
// reads it once (corvane_pack_codegen) and compiles the configuration in: a
// rule file whose bytes are exactly the pack's takes that configuration
// instead of being parsed. Any other file is parsed as usual.
#pragma once

#include <span>
#include <string_view>

#include "custom_rules.h"

namespace corvane {

// The pack's text, byte for byte as in rules/default.toml.
std::string_view builtin_pack_text() noexcept;

// What reading builtin_pack_text() gives, with `source` left empty.
RuleConfig builtin_pack_config();

// The words of the pack's allow, block and command-name patterns, in list
// order, as patterns::split_words splits them: what matching needs, without
// splitting some 330 patterns again on every call.
struct BuiltinPackWords {
  std::span<const std::span<const std::string_view>> allow;
  std::span<const std::span<const std::string_view>> block;
  std::span<const std::span<const std::string_view>> commands;
};
BuiltinPackWords builtin_pack_words() noexcept;

}  // namespace corvane
