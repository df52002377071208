#include "rules/injection.h"

#include <algorithm>
#include <array>

#include "text.h"

namespace corvane::rules {
namespace {

using text::contains;
using text::contains_all;
using text::contains_any;
using text::starts_or_follows_space;

// White space other than the four a shell user types: vertical tab, form
// feed, NEL, NBSP, the U+2000 block, U+3000 and the like. Invalid UTF-8 bytes
// are no character at all and never match.
bool unusual_white_space(std::string_view t) {
  for (std::size_t i = 0; i < t.size();) {
    const auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) {
      if (b == '\v' || b == '\f') return true;
      ++i;
      continue;
    }
    const text::Utf8Char c = text::decode_utf8(t, i);
    if (c.valid && text::is_white_space(c.cp)) return true;
    i += c.len;
  }
  return false;
}

// A byte test: tab through carriage return are ordinary, bytes of 0x80 and
// above belong to UTF-8, NUL counts.
bool control_byte(std::string_view t) {
  for (char ch : t) {
    const auto b = static_cast<unsigned char>(ch);
    if (b <= 0x08 || (b >= 0x0E && b <= 0x1F) || b == 0x7F) return true;
  }
  return false;
}

bool nul_byte(std::string_view t) { return contains(t, '\0'); }

// Only the first "{" and the first "}" after it are looked at: a comma
// between them is a list expansion, a range ("{1..5}") has none.
bool brace_list(std::string_view t) {
  const auto open = t.find('{');
  if (open == std::string_view::npos) return false;
  const auto close = t.find('}', open);
  if (close == std::string_view::npos) return false;
  return contains(t.substr(open, close - open), ',');
}

bool proc_environ(std::string_view t) {
  return contains(t, "/proc/self/environ") || contains_all<"/proc/", "/environ">(t);
}

bool base64_in_pipeline(std::string_view t) {
  return contains_any<"base64", "b64">(t) && contains_any<"|", ">">(t);
}

bool eval_or_source(std::string_view t) {
  return starts_or_follows_space<"eval ">(t) || starts_or_follows_space<"source ">(t);
}

// Any NAME ending in PATH being assigned, unless the old value is kept
// ("PATH=$PATH:/opt/bin"); a world-writable directory is suspect even then.
bool path_override(std::string_view t) {
  if (!contains(t, "PATH=")) return false;
  return !contains(t, "$PATH") || contains_any<"PATH=/tmp", "PATH=/var">(t);
}

constexpr std::array<std::string_view, 28> kPipeTargets = {
    "| bash", "| sh", "| zsh", "| fish", "| ksh", "| csh", "| tcsh", "| dash", "| python",
    "| python3", "| perl", "| ruby", "| node", "| nodejs",
    "|bash", "|sh", "|zsh", "|fish", "|ksh", "|csh", "|tcsh", "|dash", "|python",
    "|python3", "|perl", "|ruby", "|node", "|nodejs"};

constexpr std::size_t kLongestPipeTarget = [] {
  std::size_t longest = 0;
  for (std::string_view target : kPipeTargets) longest = std::max(longest, target.size());
  return longest;
}();

// Case-insensitive with full Unicode lower-casing, so "| \u212Ash" (Kelvin
// sign) is "| ksh". Lower-casing never makes or removes a bar, so text
// without one is done at once. ASCII text lowers byte for byte, so there the
// few bytes from each bar on are lowered and compared with the targets
// instead of lowering a copy of the whole text.
bool pipe_to_shell(std::string_view t) {
  auto bar = t.find('|');
  if (bar == std::string_view::npos) return false;
  if (text::is_ascii(t)) {
    for (; bar != std::string_view::npos; bar = t.find('|', bar + 1)) {
      std::array<char, kLongestPipeTarget> window;
      const std::size_t n = std::min(window.size(), t.size() - bar);
      for (std::size_t i = 0; i < n; ++i) {
        const char c = t[bar + i];
        window[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      }
      for (std::string_view target : kPipeTargets) {
        if (target.size() > n) continue;
        std::size_t i = 0;
        while (i < target.size() && target[i] == window[i]) ++i;
        if (i == target.size()) return true;
      }
    }
    return false;
  }
  const std::string lower = text::to_lower(t);
  for (std::string_view target : kPipeTargets)
    if (contains(lower, target)) return true;
  return false;
}

// Trigger sets for the table's last column: bytes of which every text the
// row matches holds at least one. Pick a rare one; any byte of a needle will do.
using text::ByteSet;
consteval ByteSet on(std::string_view bytes) { return ByteSet(bytes); }
constexpr ByteSet kNul = ByteSet::range(0x00, 0x00);
constexpr ByteSet kNonAscii = ByteSet::non_ascii();
constexpr ByteSet kControlBytes =
    ByteSet::range(0x00, 0x08) | ByteSet::range(0x0E, 0x1F) | ByteSet::range(0x7F, 0x7F);

using RF = RiskFactor;

constexpr std::array<PatternRule, 26> kInjectionRules = {{
    {"command_substitution_dollar", "$() command substitution", contains_any<"$(">, 40, RF::CommandSubstitution, on("$")},
    {"command_substitution_backtick", "Backtick command substitution", contains_any<"`">, 40, RF::CommandSubstitution, on("`")},
    {"process_substitution_in", "<() process substitution", contains_any<"<(">, 45, RF::ProcessSubstitution, on("<")},
    {"process_substitution_out", ">() process substitution", contains_any<">(">, 45, RF::ProcessSubstitution, on(">")},
    {"parameter_expansion", "${} parameter expansion", contains_any<"${">, 35, RF::ShellInjection, on("$")},
    {"ifs_injection", "IFS variable manipulation", contains_any<"$IFS", "${IFS">, 50, RF::ShellInjection, on("F")},
    {"arithmetic_expansion", "Arithmetic expansion", contains_any<"$((">, 30, RF::ShellInjection, on("$")},
    {"unicode_whitespace", "Non-ASCII whitespace (obfuscation)", unusual_white_space, 45, RF::ShellInjection, on("\v\f") | kNonAscii},
    {"control_characters", "Control characters in command", control_byte, 45, RF::ShellInjection, kControlBytes},
    {"carriage_return", "Carriage return (misparsing risk)", contains_any<"\r">, 40, RF::ShellInjection, on("\r")},
    {"ansi_c_quoting", "ANSI-C quoting (can encode arbitrary bytes)", contains_any<"$'", "$\"">, 35, RF::ObfuscatedCommand, on("$")},
    {"escaped_semicolon", "Escaped semicolon", contains_any<"\\;">, 25, RF::ShellInjection, on(";")},
    {"escaped_pipe", "Escaped pipe", contains_any<"\\|">, 25, RF::ShellInjection, on("\\")},
    {"escaped_ampersand", "Escaped ampersand", contains_any<"\\&">, 25, RF::ShellInjection, on("&")},
    {"brace_expansion", "Brace expansion", brace_list, 20, RF::ShellInjection, on(",")},
    {"proc_environ_access", "Process environment access", proc_environ, 50, RF::SecretsExposure, on("v")},
    {"dev_tcp_udp", "Bash /dev/tcp or /dev/udp network access", contains_any<"/dev/tcp/", "/dev/udp/">, 55, RF::NetworkExfiltration, on("v")},
    {"base64_pipe", "Base64 encoding in pipeline (potential obfuscation)", base64_in_pipeline, 30, RF::ObfuscatedCommand, on("6")},
    {"eval_usage", "eval/source command usage", eval_or_source, 50, RF::CommandExecution, on("vu")},
    {"dot_sourcing", "Dot-sourcing a script (. /path)", starts_or_follows_space<". /">, 50, RF::CommandExecution, on(".")},
    {"hex_escape_sequences", "Hex/unicode escape sequences (obfuscation)", contains_any<"\\x", "\\u">, 35, RF::ObfuscatedCommand, on("\\")},
    {"ld_preload", "LD_PRELOAD/LD_LIBRARY_PATH injection", contains_any<"LD_PRELOAD", "LD_LIBRARY_PATH">, 55, RF::PathInjection, on("L")},
    {"path_injection", "PATH environment variable override", path_override, 50, RF::PathInjection, on("H")},
    {"history_manipulation", "Shell history manipulation", contains_any<"HISTFILE", ".bash_history", "HISTSIZE=0">, 40, RF::ShellInjection, on("H_")},
    {"null_byte", "Null byte injection", nul_byte, 50, RF::ShellInjection, kNul},
    {"pipe_to_shell", "Output piped to shell or interpreter execution", pipe_to_shell, 55, RF::PipeToExecution, on("|")},
}};

}  // namespace

std::vector<PatternMatch> matching_patterns(std::span<const PatternRule> table, std::string_view text) {
  // The empty text holds no byte to go by, so there every row runs.
  const ByteSet present = text.empty() ? ByteSet::all() : ByteSet(text);
  std::vector<PatternMatch> matches;
  for (const PatternRule& row : table) {
    if (!row.triggers.intersects(present)) continue;
    if (row.check(text)) matches.push_back({row.id, row.risk_factor, row.weight, row.description});
  }
  return matches;
}

std::span<const PatternRule> injection_rules() noexcept { return kInjectionRules; }

}  // namespace corvane::rules
