// Path prefixes that place a target: the operating system's directories and
// a project's build-output folders.
#pragma once

#include <array>
#include <string_view>

namespace corvane::rules {

// Operating-system directories, matched by whole components: "/etc" covers
// "/etc" and "/etc/x", not "/etcetera". Directories below one of them
// ("/usr/lib64", "/var/lib") need no row of their own; the library
// directories beside "/lib", Android's "/system" and the "/sysroot" of
// image-based systems do.
inline constexpr std::array<std::string_view, 15> kSystemDirectories = {
    "/etc", "/usr", "/bin", "/lib", "/lib32", "/lib64", "/libx32", "/var",
    "/opt", "/sys", "/system", "/sysroot", "/sbin", "/proc", "/boot"};

// Build-output and cache folders of a project, plain text prefixes of the
// path below the project root ("output" and "distribution" count).
inline constexpr std::array<std::string_view, 10> kBuildOutputPrefixes = {
    "build", "dist", "target", "out", "tmp", ".cache", "node_modules", "__pycache__", ".next",
    ".nuxt"};

}  // namespace corvane::rules
