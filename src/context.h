// Path context: where a path named on a command line lies relative to the
// caller's context (root, home, system directories, the project and its
// build-output folders, protected paths). Pure text operations: nothing is
// looked up on disk. Every check compares the path as the shell would reach
// it: "~" expanded with the context's home directory, a relative path joined
// to its base, "." and ".." resolved, and directories matched by whole path
// components, so that "../.." cannot climb out of a check and "/srv/app"
// does not cover "/srv/app2".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "types.h"

namespace corvane {

// Drops trailing "/" (never the first character), then collapses "//".
std::string normalize_path(std::string_view path);

// The lexical normal form: runs of "/" collapsed, "." components dropped,
// each ".." taking back the component before it, no trailing "/". "/.." is
// "/"; a relative path keeps the ".." that climb above its start, and "."
// stands for an empty relative path. A component whose place is not known
// from the text ("$d", "`d`", "~user", an unexpanded "~") is never taken
// back. Linear in the length of the path.
std::string normalize_lexically(std::string_view path);

// Whether `path` is the directory `dir` or lies below it, by whole
// components; both in lexical normal form. An empty `dir` covers every path.
bool within(std::string_view path, std::string_view dir) noexcept;

// The directory a relative path is joined to.
enum class PathBase : std::uint8_t {
  None,              // none: a relative path stays relative
  Cwd,               // the working directory
  CwdOrProjectRoot,  // the working directory, else the project root
};

// The path the checks compare, in lexical normal form: "~" and a leading
// "~/" expanded with the context's home directory (when it has one), then a
// relative path joined to `base` (when the context has that directory and it
// is not empty). Any other path starting with "~" is never joined.
std::string resolve_path(std::string_view path, const ClassifyContext* ctx, PathBase base);

// Whether a path resolved by resolve_path lies under one of the context's
// protected paths: an entry (itself expanded and normalised the same way,
// but never joined) names whole components anywhere in the path, so that
// "/srv/data" covers "/srv/data/x" and "data" covers "a/data/b" but not
// "data.txt".
bool is_protected(std::string_view resolved, const ClassifyContext& ctx);

// root, home, system or single_file, for the path resolved against the
// working directory.
TargetScope resolve_scope(std::string_view path, const ClassifyContext* ctx);

// Score adjustment for one target path given the segment's primary intent;
// +5 without a context.
std::int16_t context_adjustment(std::string_view path, Intent intent, const ClassifyContext* ctx);

}  // namespace corvane
