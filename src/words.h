// Shell words as the shell would pass them: quote removal without expansion.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The word after removing plain quoting: single quotes, double quotes that
// hold no expansion, backslash escapes, and $'...' strings with their
// escapes decoded. Nothing when the word holds an expansion ($name, ${...},
// $(...), $((...)), backquotes) whose value is unknown, when a quote is left
// open, or when decoding would yield a NUL byte (which ends the word in the
// shell). Globs, braces and a leading "~" are kept as they are.
std::optional<std::string> remove_quotes(std::string_view word);

// Whether the word has anything quote removal would take away.
bool has_quoting(std::string_view word) noexcept;

}  // namespace corvane
