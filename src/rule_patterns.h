// Patterns of rule files: command patterns (allow, block and the names of
// custom commands) and path patterns (custom paths).
//
// A command pattern is written as shell words. Its first word is matched
// against the program's base name, the following words against the
// arguments in order, and a pattern that runs out of words has matched: it is
// a prefix of the command (`git push` matches `git push origin main`). Inside
// a word `*`, `?` and `[...]` glob as in a shell `case` pattern (`*` also
// matches "/"); quoting or a backslash makes them literal. A word that is
// exactly `**` matches any number of words, none included
// (`git push ** --force`). A pattern of no words matches nothing.
//
// A path pattern is a glob over the normalised absolute path of a target,
// component by component: `*`, `?` and `[...]` stay within one component and
// a `**` component matches any number of them. A leading `~` stands for the
// home directory. Like a command pattern it is a prefix: a pattern that names
// a directory covers everything below it. A pattern that does not start with
// "/" or "~" may match at any depth (`*.pem`, `secrets/*.json`).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::patterns {

// The words of a pattern after quote removal, with the glob characters that
// were quoted or escaped kept literal by a backslash in front. Nothing when
// the text cannot be split (an unterminated quote, a trailing backslash);
// `error` then says why.
std::optional<std::vector<std::string>> split_words(std::string_view text, std::string* error = nullptr);

// A word-sized glob: `*` any text, `?` one byte, `[...]` one byte of a set
// (`!` or `^` first negates, `a-z` ranges, `]` first is literal), `\x` the
// byte x. An unclosed `[` is literal. When `stop_at_slash` is set, no
// wildcard matches "/".
bool glob_match(std::string_view glob, std::string_view text, bool stop_at_slash = false) noexcept;

// Whether a split pattern matches a command's words: the program's base name
// first, then its arguments, all after quote removal.
bool command_matches(std::span<const std::string> pattern, std::span<const std::string_view> words) noexcept;
bool command_matches(std::span<const std::string_view> pattern, std::span<const std::string_view> words) noexcept;

// Whether a path pattern matches `path`, which should be absolute and
// normalised; `home` replaces a leading `~` of the pattern (nothing: a
// pattern starting with `~` matches nothing).
bool path_matches(std::string_view pattern, std::string_view path,
                  std::optional<std::string_view> home) noexcept;

// The lexical normal form of a path: repeated and trailing slashes dropped,
// "." removed and ".." taken back (never above "/"). A relative path stays
// relative; leading ".." of a relative path are kept.
std::string normalize(std::string_view path);

}  // namespace corvane::patterns
