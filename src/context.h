// Path context: where a path named on a command line lies relative to the
// caller's context (root, home, system directories, the project and its
// build-output folders, protected paths). Pure text operations: nothing is
// looked up on disk and nothing is expanded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "types.h"

namespace corvane {

// Drops trailing "/" (never the first character), then collapses "//".
std::string normalize_path(std::string_view path);

// root, home, system or single_file.
TargetScope resolve_scope(std::string_view path, const ClassifyContext* ctx);

// Score adjustment for one target path given the segment's primary intent;
// +5 without a context.
std::int16_t context_adjustment(std::string_view path, Intent intent, const ClassifyContext* ctx);

}  // namespace corvane
