// Reading the sources of `corvane audit`: line splitting, format detection
// and one reader per format. Every reader keeps going past what it cannot
// read and counts it in the source's stats.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "audit.h"
#include "nested.h"
#include "text.h"

namespace corvane::cli::audit {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kDetectBytes = 64 * 1024;

bool is_digits(std::string_view s) noexcept {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_blank(std::string_view s) noexcept { return s.find_first_not_of(" \t\r") == std::string_view::npos; }

std::optional<std::int64_t> to_int(std::string_view s) noexcept {
  if (!is_digits(s) || s.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// A stamp from a history file, when it is one: from 1970 up to the year
// 10000 (anything else is corruption, and could not be shown as a date).
std::optional<std::int64_t> plausible_time(std::optional<std::int64_t> t) noexcept {
  constexpr std::int64_t kYear10000 = 253402300800;
  if (t && *t >= 0 && *t < kYear10000) return t;
  return std::nullopt;
}

std::string_view strip_cr(std::string_view line) noexcept {
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// bash's HISTTIMEFORMAT stamp line: "#1700000000".
std::optional<std::int64_t> bash_stamp(std::string_view line) noexcept {
  line = strip_cr(line);
  if (line.size() < 2 || line[0] != '#') return std::nullopt;
  return to_int(line.substr(1));
}

// zsh's extended history header: ": 1700000000:0;" Returns the time and the
// offset of the command after it.
struct ZshHeader {
  std::int64_t time;
  std::size_t command_at;
};
std::optional<ZshHeader> zsh_header(std::string_view line) noexcept {
  if (!line.starts_with(": ")) return std::nullopt;
  const std::size_t colon = line.find(':', 2);
  const std::size_t semi = line.find(';', 2);
  if (colon == std::string_view::npos || semi == std::string_view::npos || colon > semi) return std::nullopt;
  const auto time = to_int(line.substr(2, colon - 2));
  if (!time || !is_digits(line.substr(colon + 1, semi - colon - 1))) return std::nullopt;
  return ZshHeader{*time, semi + 1};
}

std::string_view base_name(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

const Json* member(const Json& j, const char* key) {
  if (!j.is_object()) return nullptr;
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

std::string string_member(const Json& j, const char* key) {
  const Json* m = member(j, key);
  return m != nullptr && m->is_string() ? m->get<std::string>() : std::string();
}

// A JSON object's kind, for detection.
Format json_kind(const Json& j) {
  if (!j.is_object()) return Format::Auto;
  if (j.contains("decision") && (j.contains("command") || j.contains("command_sha256"))) return Format::HookLog;
  if (j.contains("payload") && j.contains("type")) return Format::Codex;
  // The first line of an early rollout file: the session's own record.
  if (j.contains("instructions") && j.contains("id") && j.contains("timestamp")) return Format::Codex;
  if (j.contains("type") || j.contains("sessionId")) return Format::Claude;
  return Format::Auto;
}

// A command given as argv words: the script of `bash -lc SCRIPT`, otherwise
// the words joined, each quoted where a shell would split or expand it.
std::string command_from_words(const Json& words) {
  std::vector<std::string> argv;
  for (const Json& w : words) {
    if (!w.is_string()) return {};
    argv.push_back(w.get<std::string>());
  }
  if (argv.size() == 3) {
    const std::string_view shell = base_name(argv[0]);
    if ((shell == "bash" || shell == "sh" || shell == "zsh") && (argv[1] == "-lc" || argv[1] == "-c"))
      return argv[2];
  }
  return nested::join_as_command(argv);
}

}  // namespace

std::string_view to_string(Format f) noexcept {
  for (const FormatRow& row : kFormatTable)
    if (row.format == f) return row.name;
  return "plain";
}

std::optional<Format> format_named(std::string_view name) noexcept {
  for (const FormatRow& row : kFormatTable)
    if (row.name == name) return row.format;
  return std::nullopt;
}

std::uint64_t SourceStats::problem_count() const noexcept {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < kProblemCount; ++i)
    if (static_cast<Problem>(i) != Problem::Redacted) n += problems[i];
  return n;
}

// ---------------------------------------------------------------------------
// Lines

bool LineReader::fill() {
  if (eof_) return false;
  if (pos_ > 0 && pos_ >= buf_.size() / 2) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const std::size_t old = buf_.size();
  buf_.resize(old + kReadChunk);
  const std::size_t n = std::fread(buf_.data() + old, 1, kReadChunk, file_);
  buf_.resize(old + n);
  bytes_ += n;
  if (n < kReadChunk) {
    eof_ = true;
    if (std::ferror(file_)) failed_ = true;
  }
  return n > 0;
}

std::string_view LineReader::peek(std::size_t bytes) {
  while (buf_.size() - pos_ < bytes && fill()) {
  }
  return std::string_view(buf_).substr(pos_, bytes);
}

bool LineReader::next(std::string_view& line, bool& too_long, bool& ended_with_newline) {
  too_long = false;
  std::size_t searched = 0;  // bytes after pos_ known to hold no newline
  for (;;) {
    const std::size_t nl = buf_.find('\n', pos_ + searched);
    if (nl != std::string::npos) {
      line = std::string_view(buf_).substr(pos_, nl - pos_);
      pos_ = nl + 1;
      ended_with_newline = true;
      if (too_long) line = {};
      return true;
    }
    if (buf_.size() - pos_ > kMaxLineBytes) {
      // Keep reading to the end of the line, holding none of it.
      too_long = true;
      buf_.clear();
      pos_ = 0;
    }
    searched = buf_.size() - pos_;  // fill() may move the line to the front
    if (!fill()) {
      if (pos_ >= buf_.size() && !too_long) return false;
      line = too_long ? std::string_view() : std::string_view(buf_).substr(pos_);
      pos_ = buf_.size();
      ended_with_newline = false;
      return true;
    }
  }
}

// ---------------------------------------------------------------------------
// Detection

Format detect_format(std::string_view head, std::string_view file_name) {
  std::size_t seen = 0;
  bool first = true;
  std::string_view rest = head;
  while (!rest.empty() && seen < 200) {
    const std::size_t nl = rest.find('\n');
    const bool complete = nl != std::string_view::npos;
    const std::string_view line = rest.substr(0, nl);
    rest = complete ? rest.substr(nl + 1) : std::string_view();
    if (is_blank(line)) continue;
    ++seen;
    if (first) {
      first = false;
      if (line.starts_with('{')) {
        const Json j = Json::parse(line, nullptr, false);
        if (!j.is_discarded()) {
          if (const Format f = json_kind(j); f != Format::Auto) return f;
        } else if (!complete) {
          // A first line longer than the look-ahead: judge by its keys.
          if (line.find("\"sessionId\"") != std::string_view::npos) return Format::Claude;
          if (line.find("\"payload\"") != std::string_view::npos) return Format::Codex;
        }
      }
      if (line.starts_with("- cmd: ")) return Format::Fish;
    }
    if (zsh_header(line)) return Format::Zsh;
    if (bash_stamp(line)) return Format::Bash;
  }
  const std::string_view base = base_name(file_name);
  if (base.find("zsh_history") != std::string_view::npos || base == ".zhistory") return Format::Zsh;
  if (base.find("bash_history") != std::string_view::npos) return Format::Bash;
  if (base.find("fish_history") != std::string_view::npos) return Format::Fish;
  return Format::Plain;
}

// ---------------------------------------------------------------------------
// Decoders

// zsh stores bytes that collide with its internal tokens (0x83..0x9f and NUL)
// as the Meta byte 0x83 followed by the byte XOR 0x20.
std::string unmetafy_zsh(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) == 0x83 && i + 1 < bytes.size()) {
      out.push_back(static_cast<char>(bytes[++i] ^ 0x20));
    } else {
      out.push_back(bytes[i]);
    }
  }
  return out;
}

// fish writes a backslash as "\\" and a newline as "\n"; nothing else.
std::string unescape_fish(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == 'n')) {
      out.push_back(text[++i] == 'n' ? '\n' : '\\');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<std::int64_t> parse_iso_time(std::string_view t) noexcept {
  // YYYY-MM-DDTHH:MM:SS
  if (t.size() < 19 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != ' ') || t[13] != ':' ||
      t[16] != ':')
    return std::nullopt;
  const auto num = [&](std::size_t at, std::size_t len) { return to_int(t.substr(at, len)); };
  const auto y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(*y)),
                                        std::chrono::month(static_cast<unsigned>(*mo)),
                                        std::chrono::day(static_cast<unsigned>(*d))};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 60) return std::nullopt;
  std::int64_t secs = std::chrono::sys_days(ymd).time_since_epoch().count() * 86400 + *h * 3600 + *mi * 60 + *s;
  std::string_view zone = t.substr(19);
  if (zone.starts_with('.')) {
    const std::size_t end = zone.find_first_not_of("0123456789", 1);
    zone = end == std::string_view::npos ? std::string_view() : zone.substr(end);
  }
  if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    const auto oh = to_int(zone.substr(1, 2)), om = to_int(zone.substr(4, 2));
    if (!oh || !om) return std::nullopt;
    const std::int64_t offset = *oh * 3600 + *om * 60;
    secs += zone[0] == '+' ? -offset : offset;
  } else if (!zone.empty() && zone != "Z" && zone != "z") {
    return std::nullopt;
  }
  return secs;
}

std::string iso_time(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds tp{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(tp);
  const year_month_day ymd{day};
  const hh_mm_ss hms{tp - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
                static_cast<long>(hms.seconds().count()));
  return buf;
}

// ---------------------------------------------------------------------------
// Sources

SourceReader::SourceReader(std::string path, std::string name, Format forced, std::uint32_t index)
    : index_(index) {
  stats_.name = std::move(name);
  if (path == "-") {
    file_ = stdin;
  } else {
    file_ = std::fopen(path.c_str(), "rb");
    owns_file_ = file_ != nullptr;
  }
  start(path, forced);
}

SourceReader::SourceReader(std::FILE* file, std::string name, Format forced, std::uint32_t index)
    : file_(file), index_(index) {
  stats_.name = std::move(name);
  start(stats_.name, forced);
}

void SourceReader::start(const std::string& path, Format forced) {
  if (file_ == nullptr) {
    stats_.error = std::strerror(errno);
    stats_.note(Problem::Unreadable, 0);
    return;
  }
  lines_ = std::make_unique<LineReader>(file_);
  const std::string_view head = lines_->peek(kDetectBytes);
  stats_.format = forced != Format::Auto ? forced : detect_format(head, path);
  if (lines_->failed()) {
    stats_.error = std::strerror(errno);
    stats_.note(Problem::Unreadable, 0);
  }
}

SourceReader::~SourceReader() {
  if (owns_file_) std::fclose(file_);
}

bool SourceReader::next_line(std::string_view& line) {
  if (pending_) {
    held_ = std::move(*pending_);
    pending_.reset();
    line = held_;
    line_no_ = pending_no_;
    return true;
  }
  if (!lines_) return false;
  for (;;) {
    bool too_long = false;
    if (!lines_->next(line, too_long, last_had_newline_)) {
      if (lines_->failed() && stats_.error.empty()) {
        stats_.error = "read error";
        stats_.note(Problem::Unreadable, line_no_);
      }
      return false;
    }
    ++line_no_;
    ++stats_.lines;
    if (!too_long) return true;
    stats_.note(Problem::LineTooLong, line_no_);
  }
}

void SourceReader::unread(std::string_view line) {
  pending_ = std::string(line);
  pending_no_ = line_no_;
}

Entry SourceReader::make_entry(std::string command, std::uint64_t line) {
  Entry e;
  if (!text::is_valid_utf8(command)) stats_.note(Problem::InvalidUtf8, line);
  e.command = std::move(command);
  e.line = line;
  e.source = index_;
  ++stats_.commands;
  return e;
}

bool SourceReader::next(Entry& out) {
  if (!queued_.empty()) {
    out = std::move(queued_.front());
    queued_.pop_front();
    return true;
  }
  switch (stats_.format) {
    case Format::Bash: return read_bash(out);
    case Format::Zsh: return read_zsh(out);
    case Format::Fish: return read_fish(out);
    case Format::Claude:
    case Format::Codex:
    case Format::HookLog: return read_json(out);
    case Format::Auto:
    case Format::Plain: return read_plain(out);
  }
  return false;
}

// One line as a command of its own: a blank line is none, and one holding a
// NUL byte is counted as corrupt.
bool SourceReader::line_entry(std::string_view line, Entry& out) {
  line = strip_cr(line);
  if (is_blank(line)) return false;
  if (line.find('\0') != std::string_view::npos) {
    stats_.note(Problem::CorruptLine, line_no_);
    return false;
  }
  out = make_entry(std::string(line), line_no_);
  return true;
}

bool SourceReader::read_plain(Entry& out) {
  std::string_view line;
  while (next_line(line))
    if (line_entry(line, out)) return true;
  return false;
}

// With HISTTIMEFORMAT each entry follows its stamp line and runs to the next
// stamp, so a command saved with its newlines (lithist) stays one entry.
// Before the first stamp every line is an entry.
bool SourceReader::read_bash(Entry& out) {
  std::string_view line;
  while (next_line(line)) {
    if (const auto stamp = bash_stamp(line)) {
      std::string command;
      std::uint64_t first = 0;
      while (next_line(line)) {
        if (bash_stamp(line)) {
          unread(line);
          break;
        }
        line = strip_cr(line);
        if (line.find('\0') != std::string_view::npos) {
          stats_.note(Problem::CorruptLine, line_no_);
          continue;
        }
        if (first == 0) {
          if (is_blank(line)) continue;
          first = line_no_;
        } else {
          command.push_back('\n');
        }
        command.append(line);
      }
      while (command.ends_with('\n')) command.pop_back();
      if (first == 0) continue;  // a stamp with nothing after it
      out = make_entry(std::move(command), first);
      out.time = plausible_time(stamp);
      return true;
    }
    if (line_entry(line, out)) return true;
  }
  return false;
}

// zsh writes a newline inside a command as backslash-newline; the extended
// format puts ": START:ELAPSED;" in front of each entry.
bool SourceReader::read_zsh(Entry& out) {
  std::string_view line;
  while (next_line(line)) {
    line = strip_cr(line);
    if (is_blank(line)) continue;
    const std::uint64_t first = line_no_;
    std::optional<std::int64_t> time;
    if (const auto header = zsh_header(line)) {
      time = plausible_time(header->time);
      line.remove_prefix(header->command_at);
    }
    std::string raw(line);
    while (raw.ends_with('\\') && next_line(line)) {
      raw.back() = '\n';
      raw.append(strip_cr(line));
    }
    if (raw.find('\0') != std::string::npos) {
      stats_.note(Problem::CorruptLine, first);
      continue;
    }
    std::string command = unmetafy_zsh(raw);
    if (is_blank(command)) continue;
    out = make_entry(std::move(command), first);
    out.time = time;
    return true;
  }
  return false;
}

// fish: "- cmd: TEXT" opens an entry; indented lines under it ("  when:
// 1700000000", "  paths:" and its items) belong to it.
bool SourceReader::read_fish(Entry& out) {
  std::string_view line;
  while (next_line(line)) {
    line = strip_cr(line);
    if (is_blank(line)) continue;
    if (!line.starts_with("- cmd:")) {
      stats_.note(Problem::CorruptLine, line_no_);
      continue;
    }
    std::string_view text = line.substr(6);
    if (text.starts_with(' ')) text.remove_prefix(1);
    std::string command = unescape_fish(text);
    const std::uint64_t first = line_no_;
    std::optional<std::int64_t> time;
    while (next_line(line)) {
      const std::string_view l = strip_cr(line);
      if (!l.starts_with(' ') && !is_blank(l)) {
        unread(line);
        break;
      }
      const std::size_t at = l.find_first_not_of(' ');
      if (at != std::string_view::npos && l.substr(at).starts_with("when:")) {
        std::string_view v = l.substr(at + 5);
        v.remove_prefix(std::min(v.find_first_not_of(' '), v.size()));
        time = plausible_time(to_int(v));
      }
    }
    if (command.find('\0') != std::string::npos) {
      stats_.note(Problem::CorruptLine, first);
      continue;
    }
    if (is_blank(command)) continue;
    out = make_entry(std::move(command), first);
    out.time = time;
    return true;
  }
  return false;
}

bool SourceReader::read_json(Entry& out) {
  std::string_view line;
  while (queued_.empty() && next_line(line)) {
    if (is_blank(line)) continue;
    parse_json_line(line, !last_had_newline_);
  }
  if (queued_.empty()) return false;
  out = std::move(queued_.front());
  queued_.pop_front();
  return true;
}

void SourceReader::parse_json_line(std::string_view line, bool last) {
  const Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    stats_.note(last && j.is_discarded() ? Problem::TruncatedLine : Problem::CorruptLine, line_no_);
    return;
  }
  const auto time_of = [&](const Json& o, const char* key) { return plausible_time(parse_iso_time(string_member(o, key))); };
  switch (stats_.format) {
    case Format::HookLog: {
      const Json* cmd = member(j, "command");
      if (cmd == nullptr || !cmd->is_string()) {
        stats_.note(j.contains("command_sha256") ? Problem::Redacted : Problem::CorruptLine, line_no_);
        return;
      }
      Entry e = make_entry(cmd->get<std::string>(), line_no_);
      e.time = time_of(j, "time");
      e.cwd = string_member(j, "cwd");
      e.agent = string_member(j, "agent");
      e.hook_decision = string_member(j, "decision");
      queued_.push_back(std::move(e));
      return;
    }
    case Format::Codex: {
      const Json* payload = member(j, "payload");
      const Json& item = payload != nullptr && payload->is_object() ? *payload : j;
      const std::string type = string_member(payload != nullptr ? j : item, "type");
      if (type == "session_meta") {
        session_ = string_member(item, "id");
        if (const std::string cwd = string_member(item, "cwd"); !cwd.empty()) cwd_ = cwd;
        return;
      }
      if (type == "turn_context") {
        if (const std::string cwd = string_member(item, "cwd"); !cwd.empty()) cwd_ = cwd;
        return;
      }
      if (payload == nullptr && j.contains("instructions") && j.contains("id")) {
        session_ = string_member(j, "id");
        return;
      }
      const std::string item_type = string_member(item, "type");
      std::string command;
      if (item_type == "function_call") {
        const std::string name = string_member(item, "name");
        if (name != "shell" && name != "container.exec" && name != "shell_command" && name != "exec_command" &&
            name != "local_shell")
          return;
        const Json args = Json::parse(string_member(item, "arguments"), nullptr, false);
        if (const Json* c = member(args, "command")) {
          command = c->is_array() ? command_from_words(*c) : c->is_string() ? c->get<std::string>() : "";
        } else if (const Json* c = member(args, "cmd"); c != nullptr && c->is_string()) {
          command = c->get<std::string>();
        }
        if (command.empty()) {
          stats_.note(Problem::CorruptLine, line_no_);
          return;
        }
      } else if (item_type == "local_shell_call") {
        const Json* action = member(item, "action");
        const Json* c = action != nullptr ? member(*action, "command") : nullptr;
        if (c == nullptr || !c->is_array()) return;
        command = command_from_words(*c);
      } else {
        return;
      }
      Entry e = make_entry(std::move(command), line_no_);
      e.time = time_of(j, "timestamp");
      e.session = session_;
      e.cwd = cwd_;
      e.agent = "codex";
      queued_.push_back(std::move(e));
      return;
    }
    default: break;
  }
  // Claude Code: an assistant message whose content holds Bash tool calls.
  if (string_member(j, "type") != "assistant") return;
  const Json* message = member(j, "message");
  const Json* content = message != nullptr ? member(*message, "content") : nullptr;
  if (content == nullptr || !content->is_array()) return;
  for (const Json& block : *content) {
    if (string_member(block, "type") != "tool_use" || string_member(block, "name") != "Bash") continue;
    const Json* input = member(block, "input");
    const Json* cmd = input != nullptr ? member(*input, "command") : nullptr;
    if (cmd == nullptr || !cmd->is_string()) {
      stats_.note(Problem::CorruptLine, line_no_);
      continue;
    }
    Entry e = make_entry(cmd->get<std::string>(), line_no_);
    e.time = time_of(j, "timestamp");
    e.session = string_member(j, "sessionId");
    e.cwd = string_member(j, "cwd");
    e.agent = "claude";
    queued_.push_back(std::move(e));
  }
}

}  // namespace corvane::cli::audit
