// Shell parsing: one command line in, a ParsedCommand out.
//
// The line is parsed with tree-sitter's Bash grammar and walked into segments
// (simple commands, plus a few statements kept whole as opaque pieces), the
// operators between them and the warnings raised by the raw text. Nothing is
// executed, unquoted or expanded: every text in the model is a slice of the
// input exactly as written, owned by the model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class Operator : std::uint8_t {
  Pipe,        // "|" and "|&"
  And,         // "&&"
  Or,          // "||"
  Sequence,    // ";" in a list, and the boundary between top-level statements
  Background,  // "&" in a list
};

enum class QuoteKind : std::uint8_t { Single, Double, AnsiC, Heredoc, Unquoted };

enum class ExpansionKind : std::uint8_t {
  Variable, CommandSubstitution, Arithmetic, ProcessSubstitution, Brace, Tilde, Glob,
};

enum class RedirectKind : std::uint8_t { Input, Output, Append, Heredoc, Herestring };

struct Argument {
  std::string text;  // quotes included
  bool quoted = false;
  bool has_expansion = false;
  QuoteKind quote = QuoteKind::Unquoted;
  std::optional<ExpansionKind> expansion;
  std::size_t start = 0;  // byte offset of the word in the command line
  bool operator==(const Argument&) const = default;
};

struct Redirection {
  std::string target;  // for here-documents and here-strings: the whole redirect
  std::optional<std::uint32_t> fd;
  RedirectKind kind = RedirectKind::Output;
  // Written with ">&" or "<&": a numeric target (or "-") then names a
  // descriptor to duplicate or close, not a file.
  bool ampersand = false;
  bool operator==(const Redirection&) const = default;
};

struct Assignment {
  std::string name;
  std::string value;
  bool operator==(const Assignment&) const = default;
};

struct CommandSegment {
  std::string text;
  std::optional<std::string> executable;
  std::vector<Argument> arguments;
  std::vector<Redirection> redirections;
  std::vector<Assignment> assignments;
  bool in_subshell = false;
  // Byte offsets in the command line of `text` and of the executable word,
  // so that a word can be found again in the segment's text.
  std::size_t start = 0;
  std::size_t executable_start = 0;
  bool operator==(const CommandSegment&) const = default;
};

enum class WarningKind : std::uint8_t {
  ControlCharacters,  // payload: the offending bytes
  UnicodeWhitespace,  // payload: the offending characters (UTF-8)
  AnsiCQuoting,
  EscapedOperator,
  CarriageReturn,
  ParseError,  // payload: a message
};

struct ParseWarning {
  WarningKind kind;
  // ControlCharacters: the bytes in input order; UnicodeWhitespace: the
  // characters in input order, UTF-8 encoded; ParseError: the message.
  std::string payload;
  bool operator==(const ParseWarning&) const = default;
};

struct ParsedCommand {
  std::vector<CommandSegment> segments;  // never empty
  std::vector<Operator> operators;       // entry i joins segment i and i+1
  std::vector<ParseWarning> warnings;
};

// Thrown only when the Bash grammar cannot be installed into a parser, which
// is a fault of the build (a grammar for an unsupported ABI), never of input.
struct GrammarError {
  const char* message;
};

// Parses one line. Never fails for any text, the empty one included; each
// call creates and releases its own parser and tree. Throws std::bad_alloc
// when the parse runs out of memory (tree_sitter_memory.h).
ParsedCommand parse(std::string_view command);

}  // namespace corvane
