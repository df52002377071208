#include "custom_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "text.h"

namespace corvane {
namespace {

// ---------------------------------------------------------------------------
// Values of element keys that are missing or hold another type

constexpr std::string_view kAllowReason = "Allowed by project rules";
constexpr std::string_view kBlockReason = "Blocked by project rules";
constexpr std::string_view kCommandIntent = "execute";
constexpr std::int64_t kCommandBaseWeight = 50;
constexpr std::string_view kCommandReversibility = "hard_to_reverse";
constexpr std::int64_t kFlagModifier = 10;
constexpr std::string_view kPathSensitivity = "normal";
constexpr std::string_view kPathDescription = "Custom path rule";
constexpr std::int64_t kOverrideScore = 0;

constexpr std::string_view kProjectFile = ".corvane.toml";
constexpr std::string_view kUserFile = ".config/corvane/rules.toml";

// Deepest nesting of tables and arrays a rule file may have. The TOML parser
// refuses values nested deeper than 256 on its own, but not long dotted keys
// ("a.a.a...") or table headers ("[a.a.a...]"), and it walks the finished
// tree recursively: a megabyte of dots would overflow the caller's stack. No
// rule file needs a fraction of this.
constexpr std::size_t kMaxNesting = 256;

// ---------------------------------------------------------------------------
// Depth guard

// Index just past the string literal that starts at `i` (a quote character),
// or of the line feed that ends an unterminated one-line string.
std::size_t skip_string(std::string_view s, std::size_t i) {
  const char quote = s[i];
  const bool basic = quote == '"';
  const std::string_view triple = basic ? "\"\"\"" : "'''";
  if (s.substr(i, 3) == triple) {
    std::size_t j = i + 3;
    while (j < s.size()) {
      if (basic && s[j] == '\\') { j += 2; continue; }
      if (s.substr(j, 3) == triple) {
        j += 3;
        // Up to two more quotes belong to the content: """a""""" is a"".
        for (int extra = 0; extra < 2 && j < s.size() && s[j] == quote; ++extra) ++j;
        return j;
      }
      ++j;
    }
    return s.size();
  }
  std::size_t j = i + 1;
  while (j < s.size() && s[j] != '\n') {
    if (basic && s[j] == '\\') { j += 2; continue; }
    if (s[j] == quote) return j + 1;
    ++j;
  }
  return std::min(j, s.size());
}

// An upper bound of how deep the tree parsed from `s` can be, found without
// parsing. Strings and comments are skipped. A table header ([a.b] or
// [[a.b]]) puts every line below it as many levels down as its key has parts;
// within a line, every '.' deepens the key being written and every '[' or '{'
// opens a level below the key before it.
std::size_t nesting_bound(std::string_view s) {
  std::vector<std::size_t> open;  // depth of each enclosing array or table
  std::size_t header = 0;         // parts of the latest table header's key
  std::size_t base = 0;           // depth of the innermost array or table
  std::size_t dots = 0;           // dots since the current key began
  std::size_t deepest = 0;
  bool line_start = true;         // only white space so far on this line
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == '[' && line_start && open.empty()) {
      std::size_t j = i;
      while (j < s.size() && s[j] == '[') ++j;
      std::size_t parts = 1;
      while (j < s.size() && s[j] != ']' && s[j] != '\n') {
        if (s[j] == '"' || s[j] == '\'') {
          j = skip_string(s, j);
          continue;
        }
        if (s[j] == '.') ++parts;
        ++j;
      }
      header = parts;
      deepest = std::max(deepest, header);
      while (j < s.size() && s[j] == ']') ++j;
      i = j;
      line_start = false;
      continue;
    }
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') line_start = false;
    switch (c) {
      case '"':
      case '\'':
        i = skip_string(s, i);
        continue;
      case '#':
        i = std::min(s.find('\n', i), s.size());
        continue;
      case '.':
        ++dots;
        deepest = std::max(deepest, header + base + dots + 1);
        break;
      case '[':
      case '{':
        open.push_back(base);
        base += dots + 1;
        dots = 0;
        deepest = std::max(deepest, header + base + 1);
        break;
      case ']':
      case '}':
        if (!open.empty()) {
          base = open.back();
          open.pop_back();
        }
        dots = 0;
        break;
      case '\n':
        line_start = true;
        dots = 0;
        break;
      case ',':
        dots = 0;
        break;
      default:
        break;
    }
    ++i;
  }
  return deepest + 1;
}

// ---------------------------------------------------------------------------
// Element readers: one line per key, each with its fallback

std::string string_or(const toml::table& t, std::string_view key, std::string_view fallback) {
  const auto* v = t.get_as<std::string>(key);
  return v != nullptr ? v->get() : std::string(fallback);
}

std::optional<std::string> optional_string(const toml::table& t, std::string_view key) {
  const auto* v = t.get_as<std::string>(key);
  if (v == nullptr) return std::nullopt;
  return v->get();
}

// The key an element is skipped without.
std::optional<std::string> required_string(const toml::table& t, std::string_view key) {
  const auto* v = t.get_as<std::string>(key);
  if (v == nullptr || v->get().empty()) return std::nullopt;
  return v->get();
}

// Clamped on the parsed 64-bit value, so that 1000 reads as the maximum rather
// than wrapping when narrowed. Floats, booleans and dates are not integers.
template <typename Int>
Int clamped_integer(const toml::table& t, std::string_view key, std::int64_t lo, std::int64_t hi,
                    std::int64_t fallback) {
  const auto* v = t.get_as<std::int64_t>(key);
  return static_cast<Int>(v != nullptr ? std::clamp(v->get(), lo, hi) : fallback);
}

std::optional<AllowRule> read_allow(const toml::node& n) {
  if (const auto* s = n.as_string()) return AllowRule{s->get(), std::string(kAllowReason)};
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  std::optional<std::string> pattern = required_string(*t, "pattern");
  if (!pattern) return std::nullopt;
  return AllowRule{std::move(*pattern), string_or(*t, "reason", kAllowReason)};
}

std::optional<BlockRule> read_block(const toml::node& n) {
  if (const auto* s = n.as_string())
    return BlockRule{s->get(), std::string(kBlockReason), std::nullopt};
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  std::optional<std::string> pattern = required_string(*t, "pattern");
  if (!pattern) return std::nullopt;
  return BlockRule{std::move(*pattern),
                   string_or(*t, "reason", kBlockReason),
                   optional_string(*t, "mitre")};
}

std::optional<CustomFlagRule> read_flag(const toml::node& n) {
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  CustomFlagRule rule;
  if (const toml::array* flags = t->get_as<toml::array>("flags"))
    for (const toml::node& f : *flags)
      if (const auto* s = f.as_string()) rule.flags.push_back(s->get());
  if (rule.flags.empty()) return std::nullopt;
  rule.modifier = clamped_integer<std::int8_t>(*t, "modifier", -100, 100, kFlagModifier);
  rule.description = string_or(*t, "description", "");
  return rule;
}

template <typename Rule, typename Read>
std::vector<Rule> read_array(const toml::table& t, std::string_view key, Read read) {
  std::vector<Rule> out;
  const toml::array* elements = t.get_as<toml::array>(key);
  if (elements == nullptr) return out;
  for (const toml::node& n : *elements)
    if (std::optional<Rule> rule = read(n)) out.push_back(std::move(*rule));
  return out;
}

std::optional<CustomCommandRule> read_command(const toml::node& n) {
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  std::optional<std::string> name = required_string(*t, "name");
  if (!name) return std::nullopt;
  return CustomCommandRule{std::move(*name),
                           string_or(*t, "intent", kCommandIntent),
                           clamped_integer<std::uint8_t>(*t, "base_weight", 0, 100, kCommandBaseWeight),
                           string_or(*t, "reversibility", kCommandReversibility),
                           optional_string(*t, "mitre"),
                           read_array<CustomFlagRule>(*t, "dangerous_flags", read_flag)};
}

std::optional<CustomPathRule> read_path(const toml::node& n) {
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  std::optional<std::string> pattern = required_string(*t, "pattern");
  if (!pattern) return std::nullopt;
  return CustomPathRule{std::move(*pattern),
                        string_or(*t, "sensitivity", kPathSensitivity),
                        string_or(*t, "description", kPathDescription)};
}

std::optional<ScoreOverride> read_override(const toml::node& n) {
  const toml::table* t = n.as_table();
  if (t == nullptr) return std::nullopt;
  std::optional<std::string> command = required_string(*t, "command");
  if (!command) return std::nullopt;
  return ScoreOverride{std::move(*command),
                       clamped_integer<std::uint8_t>(*t, "score", 0, 100, kOverrideScore),
                       optional_string(*t, "reason")};
}

// ---------------------------------------------------------------------------
// File access

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

std::string os_error(int err) { return std::system_category().message(err); }

// Why an entry of this type is not read, or nothing for a regular file.
std::optional<std::string> refusal(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  return std::string("not a regular file");
}

std::string too_large() { return "file is larger than 1 MiB"; }

// Reads a rule file whole, or says why it could not. Only a regular file of
// at most kMaxRuleFileBytes is read: a FIFO would block, a device such as
// /dev/zero never ends, and a huge file would all be copied into memory. The
// type is checked before opening, so that a device is not even opened, and
// again on the open descriptor, which is what counts if the entry is replaced
// in between; O_NONBLOCK keeps that open from waiting for a FIFO's writer.
std::optional<std::string> read_rule_file(const std::string& path, std::string& error) {
  if (path.find('\0') != std::string::npos) {
    error = "path contains a NUL byte";
    return std::nullopt;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = os_error(errno);
    return std::nullopt;
  }
  if (std::optional<std::string> why = refusal(st)) {
    error = std::move(*why);
    return std::nullopt;
  }
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    error = os_error(errno);
    return std::nullopt;
  }
  if (std::optional<std::string> why = refusal(st)) {
    error = std::move(*why);
    return std::nullopt;
  }
  if (st.st_size > static_cast<off_t>(kMaxRuleFileBytes)) {
    error = too_large();
    return std::nullopt;
  }
  // The size may change while reading; one byte past the limit is enough to
  // tell a file that is too large.
  std::string text;
  text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  while (text.size() <= kMaxRuleFileBytes) {
    const std::size_t have = text.size();
    const std::size_t want = std::min<std::size_t>(1 << 16, kMaxRuleFileBytes + 1 - have);
    text.resize(have + want);
    const ssize_t n = ::read(fd.get(), text.data() + have, want);
    if (n < 0) {
      const int err = errno;
      text.resize(have);
      if (err == EINTR) continue;
      error = os_error(err);
      return std::nullopt;
    }
    text.resize(have + static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  if (text.size() > kMaxRuleFileBytes) {
    error = too_large();
    return std::nullopt;
  }
  if (!text::is_valid_utf8(text)) {
    error = "stream did not contain valid UTF-8";
    return std::nullopt;
  }
  return text;
}

// Writes one diagnostic line with a single write where the system allows, so
// that the lines of concurrent calls do not interleave.
void report(std::string_view message) noexcept {
  while (!message.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, message.data(), message.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    message.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Whether the file system has an entry of any kind at `path`. A symbolic link
// counts even when it dangles (lstat, not stat): a project that ships a broken
// link still shadows the user's file and gets the read message, instead of
// falling through silently. A path that cannot be examined (a NUL byte, a
// component that is not a directory, a parent we may not search) shows no
// entry.
bool has_entry(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// One separator between the parts; an empty directory leaves a relative path.
std::string join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace

std::optional<RuleConfig> RuleConfig::discover(const ClassifyContext* ctx) {
  std::vector<std::string> candidates;
  if (ctx != nullptr && ctx->project_root) candidates.push_back(join(*ctx->project_root, kProjectFile));
  if (ctx != nullptr && ctx->cwd) candidates.push_back(join(*ctx->cwd, kProjectFile));
  if (const char* home = std::getenv("HOME"); home != nullptr && text::is_valid_utf8(home))
    candidates.push_back(join(home, kUserFile));
  // Only the first file found counts, even when it is broken: files are never
  // merged, and a broken project file does not let the user's file through.
  for (const std::string& path : candidates)
    if (has_entry(path)) return from_file(path);
  return std::nullopt;
}

std::optional<RuleConfig> RuleConfig::from_file(const std::string& path) {
  std::string error;
  const std::optional<std::string> text = read_rule_file(path, error);
  if (!text) {
    report("corvane: failed to read " + path + ": " + error + "\n");
    return std::nullopt;
  }
  std::optional<RuleConfig> config = from_toml(*text);
  if (!config) report("corvane: failed to parse " + path + ": invalid TOML or rule format\n");
  return config;
}

std::optional<RuleConfig> RuleConfig::from_toml(std::string_view text) {
  if (nesting_bound(text) > kMaxNesting) return std::nullopt;
  toml::table doc;
#if TOML_EXCEPTIONS
  try {
    doc = toml::parse(text);
  } catch (const toml::parse_error&) {
    return std::nullopt;
  }
#else
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) return std::nullopt;
  doc = std::move(parsed).table();
#endif
  RuleConfig config;
  config.allow = read_array<AllowRule>(doc, "allow", read_allow);
  config.block = read_array<BlockRule>(doc, "block", read_block);
  config.commands = read_array<CustomCommandRule>(doc, "commands", read_command);
  config.paths = read_array<CustomPathRule>(doc, "paths", read_path);
  config.overrides = read_array<ScoreOverride>(doc, "overrides", read_override);
  return config;
}

}  // namespace corvane
