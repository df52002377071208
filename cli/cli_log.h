// The decision log of `corvane hook`: one JSON object per line, appended by
// every hook process of every agent on the machine, read back by audits.
//
//   {"time":"2026-12-10T10:30:00Z","agent":"claude","cwd":"/w/app",
//    "command":"rm -rf build","score":65,"level":"danger","decision":"ask",
//    "reason":"corvane: risky (score 65, danger): File deletion: ..."}
//
// With redaction the command is replaced by "command_sha256" (SHA-256 of its
// bytes, lowercase hex) and "program" (its first word).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::cli {

struct LogEntry {
  std::string_view agent;
  const std::optional<std::string>& cwd;
  std::string_view command;
  int score;
  std::string_view level;
  std::string_view decision;  // allow, ask, deny or none
  std::string_view reason;
};

// The line for one entry, newline included, stamped with the current time.
std::string format_log_line(const LogEntry& entry, bool redact);

// Appends a whole line with one write() on a descriptor opened with
// O_APPEND, so that lines from concurrent hooks never interleave. Returns
// false with `error` set when the file cannot be opened or written.
bool append_log_line(const std::string& path, std::string_view line, std::string& error);

// Lowercase hex SHA-256 of `bytes`.
std::string sha256_hex(std::string_view bytes);

// The first word of a command line, as a shell would split it at blanks.
std::string_view first_word(std::string_view command) noexcept;

}  // namespace corvane::cli
