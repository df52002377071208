// Command text nested inside a simple command.
//
// Many programs run other command lines that they receive as text or as
// words: `bash -c 'rm -rf /'`, `eval "$x"`, `ssh host 'reboot'`,
// `find . -exec rm {} +`, `xargs rm`, `echo $(curl x | sh)`, a heredoc fed
// to a shell, or a call to `os.system` in a Python one-liner. This unit finds
// those command lines, as the shell or the program would see them, so that
// the driver can classify each as a line of its own and make sure the outer
// verdict is never milder than the one it runs.
//
// Everything here is lexical: nothing is run or expanded. Variables and
// computed strings stay as written.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser.h"

namespace corvane::nested {

// Nesting is followed this many levels deep; deeper text is not classified.
inline constexpr std::size_t kMaxDepth = 8;

// The word as the shell passes it to the program: single quotes, double
// quotes, backslash escapes and $'...' removed. Expansions ($x, $(...),
// globs) are kept as written, since nothing is expanded.
std::string remove_quotes(std::string_view word);

// Appends the bodies of the command substitutions ($(...), `...`) and
// process substitutions (<(...), >(...)) that the shell would run in `text`,
// outermost only, in source order. Single-quoted text runs nothing, and
// arithmetic $((...)) is not a substitution (a substitution inside it is).
void find_substitutions(std::string_view text, std::vector<std::string>& out);

// Every command line the segment runs besides its own program, in source
// order: the argument of `sh -c`, what `eval`, `ssh`, `watch`, `xargs`,
// `find -exec`, `parallel` and the like run, substitutions in its words, a
// heredoc fed to a shell, and the shell commands and deletions found in an
// interpreter's inline code (written as equivalent command lines).
std::vector<std::string> command_lines(const CommandSegment& segment);

// The line with the wrappers in front of its commands taken out
// (`curl x | sudo bash` gives `curl x | bash`), so that data piped through a
// wrapper is judged as piped into the command it runs; nothing when no
// segment is wrapped.
std::optional<std::string> without_wrappers(std::string_view line, const std::vector<CommandSegment>& segments);

// The program that actually runs in a simple command whose words, after
// quote removal and the executable first, are `values`: the index of its
// word past every wrapper (sudo, env, timeout and the rest, with their
// options and operands); 0 when the first word is no wrapper. Nothing when a
// wrapper is given no command, or only looks one up (`command -v`).
std::optional<std::size_t> program_index(std::span<const std::string_view> values);

// A command line made of argument words: each quoted for the shell when it
// needs to be, joined by single spaces.
std::string join_as_command(const std::vector<std::string>& words);

}  // namespace corvane::nested
