// How some commands' arguments are read: which name paths, and which do not.
//
// A plain word is a path target only when it looks like one ("./x", "/x",
// "~/x", "a/b", "*"). Two kinds of command read their arguments otherwise:
// directory changes, whose argument is where the shell goes next and not
// something acted on, and commands that act on files, every operand of which
// names a file even without a "/".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::rules {

enum class ArgumentRole : std::uint8_t {
  Navigation,  // the arguments are places to go: no targets
  Files,       // every operand is a path
};

struct ArgumentRule {
  std::string_view name;
  ArgumentRole role;
  // Operands before the files that name no file (the mode of chmod, the
  // owner of chown).
  std::size_t leading_operands = 0;
  // Short options whose value, in the next word, is no file ("-m 755").
  std::string_view short_with_value = {};
  // Long options whose value, in the next word, is no file.
  std::array<std::string_view, 4> long_with_value = {};
  // Letters of a leading operand that may begin with "-" ("chmod -x f":
  // the mode, not an option).
  std::string_view dash_operand_letters = {};
};

inline constexpr std::array<ArgumentRule, 17> kArgumentRules = {{
    {"cd", ArgumentRole::Navigation},
    {"pushd", ArgumentRole::Navigation},
    {"popd", ArgumentRole::Navigation},
    {"rm", ArgumentRole::Files},
    {"rmdir", ArgumentRole::Files},
    {"unlink", ArgumentRole::Files},
    {"shred", ArgumentRole::Files, 0, "ns", {"--iterations", "--size"}},
    {"cp", ArgumentRole::Files, 0, "S", {"--suffix"}},
    {"mv", ArgumentRole::Files, 0, "S", {"--suffix"}},
    {"install", ArgumentRole::Files, 0, "mogS", {"--mode", "--owner", "--group", "--suffix"}},
    {"ln", ArgumentRole::Files, 0, "S", {"--suffix"}},
    {"tee", ArgumentRole::Files},
    {"touch", ArgumentRole::Files, 0, "dt", {"--date"}},
    {"mkdir", ArgumentRole::Files, 0, "m", {"--mode"}},
    {"chmod", ArgumentRole::Files, 1, "", {}, "rwxXst"},
    {"chown", ArgumentRole::Files, 1},
    {"chgrp", ArgumentRole::Files, 1},
}};

inline const ArgumentRule* argument_rule(std::string_view name) noexcept {
  for (const ArgumentRule& r : kArgumentRules)
    if (r.name == name) return &r;
  return nullptr;
}

}  // namespace corvane::rules
