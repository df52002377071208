#include "custom_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <span>
#include <utility>

#include "builtin_pack.h"
#include "rule_patterns.h"
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

// Every value of the enumerations a rule file names by their spelling.
constexpr std::array kIntents = {
    Intent::Read, Intent::Write, Intent::Delete, Intent::Execute, Intent::Network, Intent::ProcessControl,
    Intent::Privilege, Intent::PackageInstall, Intent::GitMutation, Intent::EnvModify, Intent::Search,
    Intent::Info,
};
constexpr std::array kReversibilities = {Reversibility::Reversible, Reversibility::HardToReverse,
                                         Reversibility::Irreversible};
constexpr std::array kSensitivities = {Sensitivity::Normal, Sensitivity::Config, Sensitivity::System,
                                       Sensitivity::Secrets, Sensitivity::Protected};

template <typename E, std::size_t N>
std::optional<E> parse_spelling(const std::array<E, N>& values, std::string_view s) noexcept {
  for (E v : values)
    if (to_string(v) == s) return v;
  return std::nullopt;
}

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
// Element readers
//
// One reader walks the document for classification and for the lint alike:
// each key is read with its fallback, and whatever made the reader fall back,
// skip or clamp is noted with its position when the caller collects notes.

SourcePosition position_of(const toml::source_region& r) {
  return {static_cast<std::uint32_t>(r.begin.line), static_cast<std::uint32_t>(r.begin.column)};
}

std::string quote(std::string_view s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q.push_back('\\');
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      q += "\\x";
      q.push_back(kHex[(c >> 4) & 0xf]);
      q.push_back(kHex[c & 0xf]);
      continue;
    }
    q.push_back(c);
  }
  q.push_back('"');
  return q;
}

std::string_view type_name(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a float";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date-time";
    default: return "a value";
  }
}

// Edit distance of two short keys, for "did you mean" hints.
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

std::string suggestion(std::string_view key, std::span<const std::string_view> known) {
  for (std::string_view k : known)
    if (key.size() < 64 && distance(key, k) <= 2) return " (did you mean " + quote(k) + "?)";
  return {};
}

template <typename E, std::size_t N>
std::string spellings(const std::array<E, N>& values) {
  std::string out;
  for (std::size_t i = 0; i < N; ++i) out += (i ? ", " : "") + std::string(to_string(values[i]));
  return out;
}

constexpr std::array<std::string_view, 5> kSections = {"allow", "block", "commands", "paths", "overrides"};
constexpr std::array<std::string_view, 2> kAllowKeys = {"pattern", "reason"};
constexpr std::array<std::string_view, 3> kBlockKeys = {"pattern", "reason", "mitre"};
constexpr std::array<std::string_view, 6> kCommandKeys = {"name", "intent", "base_weight",
                                                          "reversibility", "mitre", "dangerous_flags"};
constexpr std::array<std::string_view, 3> kFlagKeys = {"flags", "modifier", "description"};
constexpr std::array<std::string_view, 3> kPathKeys = {"pattern", "sensitivity", "description"};
constexpr std::array<std::string_view, 3> kOverrideKeys = {"command", "score", "reason"};

class Reader {
 public:
  explicit Reader(std::vector<RuleNote>* notes, bool project) : notes_(notes), project_(project) {}

  RuleConfig read(const toml::table& doc) {
    if (notes_ != nullptr) {
      for (auto&& [key, value] : doc)
        if (std::find(kSections.begin(), kSections.end(), key.str()) == kSections.end())
          note(key.source(), "unknown section " + quote(key.str()) + suggestion(key.str(), kSections) + "; ignored");
    }
    RuleConfig config;
    config.allow = section<AllowRule>(doc, "allow", &Reader::allow);
    config.block = section<BlockRule>(doc, "block", &Reader::block);
    config.commands = section<CustomCommandRule>(doc, "commands", &Reader::command);
    config.paths = section<CustomPathRule>(doc, "paths", &Reader::path);
    config.overrides = section<ScoreOverride>(doc, "overrides", &Reader::override_rule);
    return config;
  }

 private:
  bool noting() const { return notes_ != nullptr; }

  void note(const toml::source_region& where, std::string message) {
    if (notes_ != nullptr) notes_->push_back({position_of(where), std::move(message)});
  }

  void unknown_keys(const toml::table& t, std::span<const std::string_view> known, std::string_view what) {
    if (!noting()) return;
    for (auto&& [key, value] : t)
      if (std::find(known.begin(), known.end(), key.str()) == known.end())
        note(key.source(), "unknown key " + quote(key.str()) + " in " + std::string(what) +
                               suggestion(key.str(), known) + "; ignored");
  }

  std::string string_or(const toml::table& t, std::string_view key, std::string_view fallback) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::string(fallback);
    if (const auto* v = n->as_string()) return v->get();
    note(n->source(), quote(key) + " must be a string, not " + std::string(type_name(*n)) + "; using " +
                          (fallback.empty() ? std::string("an empty text") : quote(fallback)));
    return std::string(fallback);
  }

  std::optional<std::string> optional_string(const toml::table& t, std::string_view key) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::nullopt;
    if (const auto* v = n->as_string()) return v->get();
    note(n->source(), quote(key) + " must be a string, not " + std::string(type_name(*n)) + "; ignored");
    return std::nullopt;
  }

  // The key an element is skipped without.
  std::optional<std::string> required_string(const toml::table& t, std::string_view key, std::string_view what) {
    const toml::node* n = t.get(key);
    if (n == nullptr) {
      note(t.source(), std::string(what) + " has no " + quote(key) + "; skipped");
      return std::nullopt;
    }
    const auto* v = n->as_string();
    if (v == nullptr || v->get().empty()) {
      note(n->source(), quote(key) + " must be a non-empty string" +
                            (v == nullptr ? ", not " + std::string(type_name(*n)) : std::string()) + "; " +
                            std::string(what) + " skipped");
      return std::nullopt;
    }
    return v->get();
  }

  // Clamped on the parsed 64-bit value, so that 1000 reads as the maximum
  // rather than wrapping when narrowed. Floats, booleans and dates are not
  // integers.
  template <typename Int>
  Int clamped_integer(const toml::table& t, std::string_view key, std::int64_t lo, std::int64_t hi,
                      std::int64_t fallback) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return static_cast<Int>(fallback);
    const auto* v = n->as_integer();
    if (v == nullptr) {
      note(n->source(), quote(key) + " must be an integer, not " + std::string(type_name(*n)) + "; using " +
                            std::to_string(fallback));
      return static_cast<Int>(fallback);
    }
    const std::int64_t clamped = std::clamp(v->get(), lo, hi);
    if (clamped != v->get())
      note(n->source(), quote(key) + " = " + std::to_string(v->get()) + " is outside " + std::to_string(lo) +
                            ".." + std::to_string(hi) + "; using " + std::to_string(clamped));
    return static_cast<Int>(clamped);
  }

  // Checks that a command pattern can be used; the rule is kept either way,
  // and matching passes over a pattern that cannot be split.
  void check_pattern(const toml::node& where, std::string_view pattern, std::string_view what) {
    if (!noting()) return;
    std::string why;
    const auto words = patterns::split_words(pattern, &why);
    if (!words) note(where.source(), std::string(what) + " " + quote(pattern) + " cannot be read: " + why +
                                         "; it matches nothing");
    else if (words->empty()) note(where.source(), "empty " + std::string(what) + " matches nothing");
    else if (text::contains(words->front(), '/'))
      note(where.source(), "the first word of " + quote(pattern) +
                               " is matched against a program's base name and never holds \"/\"");
  }

  template <typename Rule>
  using ReadFn = std::optional<Rule> (Reader::*)(const toml::node&);

  template <typename Rule>
  std::vector<Rule> section(const toml::table& t, std::string_view key, ReadFn<Rule> read) {
    std::vector<Rule> out;
    const toml::node* n = t.get(key);
    if (n == nullptr) return out;
    const toml::array* elements = n->as_array();
    if (elements == nullptr) {
      note(n->source(), quote(key) + " must be an array (" + std::string(key) + " = [...] or [[" +
                            std::string(key) + "]]), not " + std::string(type_name(*n)) + "; ignored");
      return out;
    }
    for (const toml::node& e : *elements)
      if (std::optional<Rule> rule = (this->*read)(e)) out.push_back(std::move(*rule));
    return out;
  }

  std::optional<AllowRule> allow(const toml::node& n) {
    if (project_) note(n.source(), "a project file cannot allow anything; ignored");
    if (const auto* s = n.as_string()) {
      if (!project_) check_pattern(n, s->get(), "pattern");
      return AllowRule{s->get(), std::string(kAllowReason)};
    }
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "allow entry must be a string or a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kAllowKeys, "an allow entry");
    std::optional<std::string> pattern = required_string(*t, "pattern", "allow entry");
    if (!pattern) return std::nullopt;
    if (!project_) check_pattern(*t->get("pattern"), *pattern, "pattern");
    return AllowRule{std::move(*pattern), string_or(*t, "reason", kAllowReason)};
  }

  std::optional<BlockRule> block(const toml::node& n) {
    if (const auto* s = n.as_string()) {
      check_pattern(n, s->get(), "pattern");
      return BlockRule{s->get(), std::string(kBlockReason), std::nullopt};
    }
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "block entry must be a string or a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kBlockKeys, "a block entry");
    std::optional<std::string> pattern = required_string(*t, "pattern", "block entry");
    if (!pattern) return std::nullopt;
    check_pattern(*t->get("pattern"), *pattern, "pattern");
    return BlockRule{std::move(*pattern), string_or(*t, "reason", kBlockReason), optional_string(*t, "mitre")};
  }

  std::optional<CustomFlagRule> flag(const toml::node& n) {
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "dangerous flag entry must be a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kFlagKeys, "a dangerous flag entry");
    CustomFlagRule rule;
    if (const toml::node* flags = t->get("flags")) {
      if (const toml::array* list = flags->as_array()) {
        for (const toml::node& f : *list) {
          if (const auto* s = f.as_string()) rule.flags.push_back(s->get());
          else note(f.source(), "a flag must be a string, not " + std::string(type_name(f)) + "; dropped");
        }
      } else {
        note(flags->source(), "\"flags\" must be an array, not " + std::string(type_name(*flags)));
      }
    }
    if (rule.flags.empty()) {
      note(n.source(), "dangerous flag entry has no flags; skipped");
      return std::nullopt;
    }
    rule.modifier = clamped_integer<std::int8_t>(*t, "modifier", -100, 100, kFlagModifier);
    rule.description = string_or(*t, "description", "");
    return rule;
  }

  std::optional<CustomCommandRule> command(const toml::node& n) {
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "commands entry must be a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kCommandKeys, "a commands entry");
    std::optional<std::string> name = required_string(*t, "name", "commands entry");
    if (!name) return std::nullopt;
    check_pattern(*t->get("name"), *name, "name");
    CustomCommandRule rule{std::move(*name),
                           string_or(*t, "intent", kCommandIntent),
                           clamped_integer<std::uint8_t>(*t, "base_weight", 0, 100, kCommandBaseWeight),
                           string_or(*t, "reversibility", kCommandReversibility),
                           optional_string(*t, "mitre"),
                           {}};
    if (const toml::node* flags = t->get("dangerous_flags")) {
      if (flags->is_array()) rule.dangerous_flags = section<CustomFlagRule>(*t, "dangerous_flags", &Reader::flag);
      else note(flags->source(), "\"dangerous_flags\" must be an array, not " + std::string(type_name(*flags)) +
                                     "; using none");
    }
    if (noting()) {
      if (!parse_intent(rule.intent))
        note(t->get("intent")->source(), "intent " + quote(rule.intent) + " is not one of " +
                                             spellings(kIntents) + "; the command rule is not used");
      if (!parse_reversibility(rule.reversibility))
        note(t->get("reversibility")->source(), "reversibility " + quote(rule.reversibility) + " is not one of " +
                                                    spellings(kReversibilities) + "; the command rule is not used");
    }
    return rule;
  }

  std::optional<CustomPathRule> path(const toml::node& n) {
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "paths entry must be a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kPathKeys, "a paths entry");
    std::optional<std::string> pattern = required_string(*t, "pattern", "paths entry");
    if (!pattern) return std::nullopt;
    CustomPathRule rule{std::move(*pattern), string_or(*t, "sensitivity", kPathSensitivity),
                        string_or(*t, "description", kPathDescription)};
    if (noting() && !parse_sensitivity(rule.sensitivity))
      note(t->get("sensitivity")->source(), "sensitivity " + quote(rule.sensitivity) + " is not one of " +
                                                spellings(kSensitivities) + "; the path rule is not used");
    if (noting() && rule.pattern.starts_with('~') && rule.pattern.size() > 1 && rule.pattern[1] != '/')
      note(t->get("pattern")->source(), "only \"~\" and \"~/\" stand for the home directory; " +
                                            quote(rule.pattern) + " matches nothing");
    return rule;
  }

  std::optional<ScoreOverride> override_rule(const toml::node& n) {
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      note(n.source(), "overrides entry must be a table, not " + std::string(type_name(n)) + "; skipped");
      return std::nullopt;
    }
    unknown_keys(*t, kOverrideKeys, "an overrides entry");
    std::optional<std::string> command = required_string(*t, "command", "overrides entry");
    if (!command) return std::nullopt;
    if (noting() && (text::contains(*command, '/') || text::contains(*command, ' ')))
      note(t->get("command")->source(), "\"command\" is compared with a program's base name, so " +
                                            quote(*command) + " never matches");
    if (noting() && t->get("score") == nullptr)
      note(t->source(), "overrides entry has no \"score\"; it scores 0 and never raises anything");
    return ScoreOverride{std::move(*command), clamped_integer<std::uint8_t>(*t, "score", 0, 100, kOverrideScore),
                         optional_string(*t, "reason")};
  }

  std::vector<RuleNote>* notes_;
  bool project_;
};

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
std::optional<std::string> read_text_file(const std::string& path, std::string& error) {
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
  // Read through a buffer on the stack: growing the string for each read
  // would zero-fill what the read then overwrites, on every call.
  std::string text;
  text.reserve(static_cast<std::size_t>(st.st_size) + 1);
  std::array<char, 1 << 14> chunk;
  while (text.size() <= kMaxRuleFileBytes) {
    const std::size_t want = std::min<std::size_t>(chunk.size(), kMaxRuleFileBytes + 1 - text.size());
    const ssize_t n = ::read(fd.get(), chunk.data(), want);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      error = os_error(err);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
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

std::optional<Intent> parse_intent(std::string_view s) noexcept { return parse_spelling(kIntents, s); }
std::optional<Reversibility> parse_reversibility(std::string_view s) noexcept {
  return parse_spelling(kReversibilities, s);
}
std::optional<Sensitivity> parse_sensitivity(std::string_view s) noexcept {
  return parse_spelling(kSensitivities, s);
}

std::string RuleFileError::message() const {
  if (kind == Kind::Read) return "corvane: failed to read " + path + ": " + description + "\n";
  return "corvane: failed to parse " + path + ": invalid TOML or rule format\n";
}

namespace {

// The TOML document in `text`, or nothing with the parser's description of
// the first error and where it is.
std::optional<toml::table> parse_document(std::string_view text, std::string& description, SourcePosition& where) {
  if (nesting_bound(text) > kMaxNesting) {
    description = "tables or keys nested deeper than " + std::to_string(kMaxNesting) + " levels";
    where = {1, 1};
    return std::nullopt;
  }
#if TOML_EXCEPTIONS
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& e) {
    description = e.description();
    where = position_of(e.source());
    return std::nullopt;
  }
#else
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    description = parsed.error().description();
    where = position_of(parsed.error().source());
    return std::nullopt;
  }
  return std::move(parsed).table();
#endif
}

RuleFile read_text(std::string_view text, const std::string& path, bool project, bool with_notes) {
  RuleFile out;
  // The default pack as installed: what reading it gives is built in. The
  // lint (with notes) always reads, so that it checks what is really there.
  if (!with_notes && text == builtin_pack_text()) {
    out.config = builtin_pack_config();
    out.config->source = path;
    out.builtin_pack = true;
    return out;
  }
  std::string description;
  SourcePosition where;
  std::optional<toml::table> doc = parse_document(text, description, where);
  if (!doc) {
    out.error = RuleFileError{RuleFileError::Kind::Parse, path, std::move(description), where};
    return out;
  }
  out.config = Reader(with_notes ? &out.notes : nullptr, project).read(*doc);
  out.config->source = path;
  return out;
}

RuleFile read_file(const std::string& path, bool project, bool with_notes) {
  std::string error;
  const std::optional<std::string> text = read_text_file(path, error);
  if (!text) {
    RuleFile out;
    out.error = RuleFileError{RuleFileError::Kind::Read, path, std::move(error), {}};
    return out;
  }
  return read_text(*text, path, project, with_notes);
}

}  // namespace

RuleFile read_rule_text(std::string_view text, const std::string& path, bool project) {
  return read_text(text, path, project, true);
}

RuleFile read_rule_file(const std::string& path, bool project) { return read_file(path, project, true); }

RulePaths rule_paths(const ClassifyContext* ctx) {
  RulePaths out;
  std::vector<std::string> candidates;
  if (ctx != nullptr && ctx->project_root) candidates.push_back(join(*ctx->project_root, kProjectFile));
  if (ctx != nullptr && ctx->cwd) candidates.push_back(join(*ctx->cwd, kProjectFile));
  // The first project candidate that exists shadows the other, even when it
  // turns out to be broken.
  for (std::string& path : candidates) {
    if (has_entry(path)) {
      out.project = std::move(path);
      break;
    }
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && text::is_valid_utf8(home))
    out.user = join(home, kUserFile);
  return out;
}

bool rule_file_exists(const std::string& path) { return has_entry(path); }

RuleSet discover_rules(const ClassifyContext* ctx) {
  RuleSet set;
  const RulePaths paths = rule_paths(ctx);
  // Each file stands on its own: a broken project file costs only itself.
  auto load = [&](const std::string& path, std::optional<RuleConfig>& slot, bool& builtin) {
    RuleFile file = read_file(path, false, false);
    if (file.error) set.errors.push_back(std::move(*file.error));
    slot = std::move(file.config);
    builtin = file.builtin_pack;
  };
  if (paths.project) load(*paths.project, set.project, set.project_is_builtin_pack);
  if (paths.user && has_entry(*paths.user)) load(*paths.user, set.user, set.user_is_builtin_pack);
  return set;
}

std::optional<RuleConfig> RuleConfig::from_file(const std::string& path) {
  RuleFile file = read_rule_file(path);
  if (file.error) report(file.error->message());
  return std::move(file.config);
}

std::optional<RuleConfig> RuleConfig::from_toml(std::string_view text) {
  std::string description;
  SourcePosition where;
  const std::optional<toml::table> doc = parse_document(text, description, where);
  if (!doc) return std::nullopt;
  return Reader(nullptr, false).read(*doc);
}

void report_rule_errors(const RuleSet& set) noexcept {
  for (const RuleFileError& e : set.errors) {
    try {
      report(e.message());
    } catch (...) {
      // Out of memory while building one line: the verdict matters more.
    }
  }
}

}  // namespace corvane
