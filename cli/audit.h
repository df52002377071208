// `corvane audit`: the pieces shared by its units. Sources (shell histories,
// agent transcripts, the hook's decision log, plain text) are read as a
// stream of entries, classified in batches, and summed up into a report
// whose size does not grow with the input.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace corvane::cli::audit {

// The formats a source can be in; `Auto` asks for detection by content.
enum class Format : unsigned char { Auto, Bash, Zsh, Fish, Claude, Codex, HookLog, Plain };

struct FormatRow {
  Format format;
  std::string_view name;
};

// One spelling per format, as --format takes it and the report shows it.
// clang-format off
inline constexpr std::array<FormatRow, 8> kFormatTable{{
  {Format::Auto,    "auto"},
  {Format::Bash,    "bash"},
  {Format::Zsh,     "zsh"},
  {Format::Fish,    "fish"},
  {Format::Claude,  "claude"},
  {Format::Codex,   "codex"},
  {Format::HookLog, "hook-log"},
  {Format::Plain,   "plain"},
}};
// clang-format on

std::string_view to_string(Format f) noexcept;
std::optional<Format> format_named(std::string_view name) noexcept;

// What can be wrong with a source without stopping the audit.
enum class Problem : unsigned char {
  Unreadable,     // the file could not be opened or read
  CorruptLine,    // a line that is not in the file's format (or holds NUL bytes)
  TruncatedLine,  // the last line of a JSON Lines file, cut off mid-object
  LineTooLong,    // longer than kMaxLineBytes: skipped
  InvalidUtf8,    // a command that is not UTF-8 (audited as bytes all the same)
  Redacted,       // a decision-log entry with only the command's digest
};
inline constexpr std::size_t kProblemCount = 6;

// How the report names each problem, singular and plural.
struct ProblemRow {
  Problem problem;
  std::string_view one, many;
};
// clang-format off
inline constexpr std::array<ProblemRow, kProblemCount> kProblemTable{{
  {Problem::Unreadable,    "unreadable",                        "unreadable"},
  {Problem::CorruptLine,   "corrupt line",                      "corrupt lines"},
  {Problem::TruncatedLine, "truncated JSON line",               "truncated JSON lines"},
  {Problem::LineTooLong,   "line too long",                     "lines too long"},
  {Problem::InvalidUtf8,   "command not UTF-8",                 "commands not UTF-8"},
  {Problem::Redacted,      "redacted log entry (not audited)",  "redacted log entries (not audited)"},
}};
// clang-format on

// A line longer than this is skipped: a history line never comes near it,
// and a transcript line that does holds tool output, not commands to judge.
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// One command found in a source.
struct Entry {
  std::string command;
  std::uint64_t line = 0;            // first line of the entry in its file, from 1
  std::optional<std::int64_t> time;  // seconds since the epoch, UTC
  std::string session;               // agent session; empty when none
  std::string cwd;                   // where it ran, when the source says
  std::string agent;                 // agent that ran it, when the source says
  std::string hook_decision;         // decision log: what the hook answered
  std::uint32_t source = 0;          // index into the audit's sources
};

// What reading one source found.
struct SourceStats {
  std::string name;  // as given, or with ~ for the user's own histories
  Format format = Format::Plain;
  std::uint64_t lines = 0;
  std::uint64_t commands = 0;
  std::array<std::uint64_t, kProblemCount> problems{};
  std::array<std::uint64_t, kProblemCount> first_line{};  // where each problem was first seen
  std::string error;  // why the file could not be read

  void note(Problem p, std::uint64_t line) {
    auto i = static_cast<std::size_t>(p);
    if (problems[i]++ == 0) first_line[i] = line;
  }
  std::uint64_t problem_count() const noexcept;
};

// Splits a stream into lines without holding more than the longest line.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}
  // The first bytes of the stream, read ahead for detection.
  std::string_view peek(std::size_t bytes);
  // The next line without its LF (a CR before it stays); false at the end.
  // `too_long` is set for a line past kMaxLineBytes, which comes back empty.
  // The view is valid until the next call.
  bool next(std::string_view& line, bool& too_long, bool& ended_with_newline);
  bool failed() const noexcept { return failed_; }
  std::uint64_t bytes_read() const noexcept { return bytes_; }

 private:
  bool fill();
  std::FILE* file_;
  std::string buf_;
  std::size_t pos_ = 0;
  bool eof_ = false;
  bool failed_ = false;
  std::uint64_t bytes_ = 0;
};

// Reads the entries of one source in order, in the format it was given or
// detected from its first bytes.
class SourceReader {
 public:
  // `path` "-" is standard input. A file that cannot be opened gives a
  // reader whose stats carry the error and which yields nothing.
  SourceReader(std::string path, std::string name, Format forced, std::uint32_t index);
  // Reads an open stream, which stays the caller's.
  SourceReader(std::FILE* file, std::string name, Format forced, std::uint32_t index);
  ~SourceReader();
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;

  bool next(Entry& out);
  SourceStats& stats() noexcept { return stats_; }
  std::uint64_t bytes_read() const noexcept { return lines_ ? lines_->bytes_read() : 0; }

 private:
  bool next_line(std::string_view& line);
  void unread(std::string_view line);
  bool read_plain(Entry& out);
  bool line_entry(std::string_view line, Entry& out);
  bool read_bash(Entry& out);
  bool read_zsh(Entry& out);
  bool read_fish(Entry& out);
  bool read_json(Entry& out);
  void start(const std::string& path, Format forced);
  void parse_json_line(std::string_view line, bool last);
  Entry make_entry(std::string command, std::uint64_t line);

  std::FILE* file_ = nullptr;
  bool owns_file_ = false;
  std::unique_ptr<LineReader> lines_;
  SourceStats stats_;
  std::uint32_t index_;
  std::uint64_t line_no_ = 0;
  std::optional<std::string> pending_;  // a line read ahead and given back
  std::uint64_t pending_no_ = 0;
  std::string held_;  // the line given back, while the caller looks at it
  bool last_had_newline_ = true;
  std::deque<Entry> queued_;  // commands of a JSON line not yet handed out
  std::string session_, cwd_;  // codex: from the session's own lines
};

// Chooses a format from the first bytes of a source and its file name.
Format detect_format(std::string_view head, std::string_view file_name);

// Decoders of the shells' history encodings.
std::string unmetafy_zsh(std::string_view bytes);
std::string unescape_fish(std::string_view text);

// Parses RFC 3339 / ISO 8601 UTC times ("2026-12-10T10:30:00.123Z",
// "+02:00" offsets); nothing for anything else.
std::optional<std::int64_t> parse_iso_time(std::string_view text) noexcept;
// "2026-12-10T10:30:00Z".
std::string iso_time(std::int64_t seconds);

// Secrets in `text` replaced by "****" (a token's well-known prefix kept).
std::string mask_secrets(std::string_view text);
// Every string of a result that comes from the command, masked.
void mask_result(AnalysisResult& result);

}  // namespace corvane::cli::audit
