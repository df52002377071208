// Path prefixes that place a target: the operating system's directories and
// a project's build-output folders.
#pragma once

#include <array>
#include <string_view>

namespace corvane::rules {

// Operating-system directories, as plain text prefixes: "/usr" and
// "/variable" both count, since no "/" boundary is required.
inline constexpr std::array<std::string_view, 10> kSystemPrefixes = {
    "/etc", "/usr", "/bin", "/lib", "/var", "/opt", "/sys", "/sbin", "/proc", "/boot"};

// Build-output and cache folders of a project, also plain prefixes of the
// path below the project root ("output" and "distribution" count).
inline constexpr std::array<std::string_view, 10> kBuildOutputPrefixes = {
    "build", "dist", "target", "out", "tmp", ".cache", "node_modules", "__pycache__", ".next",
    ".nuxt"};

}  // namespace corvane::rules
