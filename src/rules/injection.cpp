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

// The two rows that test classes of bytes rather than strings name their
// trigger bytes as those classes.
using text::ByteSet;
constexpr ByteSet kUnusualWhiteSpace = ByteSet("\v\f") | ByteSet::non_ascii();
constexpr ByteSet kControlBytes =
    ByteSet::range(0x00, 0x08) | ByteSet::range(0x0E, 0x1F) | ByteSet::range(0x7F, 0x7F);

using RF = RiskFactor;

constexpr std::array<PatternRule, 26> kInjectionRules = {{
    {"command_substitution_dollar", "$() command substitution", any_of<"$(">, 40, RF::CommandSubstitution},
    {"command_substitution_backtick", "Backtick command substitution", any_of<"`">, 40, RF::CommandSubstitution},
    {"process_substitution_in", "<() process substitution", any_of<"<(">, 45, RF::ProcessSubstitution},
    {"process_substitution_out", ">() process substitution", any_of<">(">, 45, RF::ProcessSubstitution},
    {"parameter_expansion", "${} parameter expansion", any_of<"${">, 35, RF::ShellInjection},
    {"ifs_injection", "IFS variable manipulation", any_of<"$IFS", "${IFS">, 50, RF::ShellInjection},
    {"arithmetic_expansion", "Arithmetic expansion", any_of<"$((">, 30, RF::ShellInjection},
    {"unicode_whitespace", "Non-ASCII whitespace (obfuscation)", PatternTest{unusual_white_space, kUnusualWhiteSpace}, 45, RF::ShellInjection},
    {"control_characters", "Control characters in command", PatternTest{control_byte, kControlBytes}, 45, RF::ShellInjection},
    {"carriage_return", "Carriage return (misparsing risk)", any_of<"\r">, 40, RF::ShellInjection},
    {"ansi_c_quoting", "ANSI-C quoting (can encode arbitrary bytes)", any_of<"$'", "$\"">, 35, RF::ObfuscatedCommand},
    {"escaped_semicolon", "Escaped semicolon", any_of<"\\;">, 25, RF::ShellInjection},
    {"escaped_pipe", "Escaped pipe", any_of<"\\|">, 25, RF::ShellInjection},
    {"escaped_ampersand", "Escaped ampersand", any_of<"\\&">, 25, RF::ShellInjection},
    {"brace_expansion", "Brace expansion", needs_all_of<brace_list, "{", ",", "}">, 20, RF::ShellInjection},
    {"proc_environ_access", "Process environment access", needs_one_of<proc_environ, "/environ">, 50, RF::SecretsExposure},
    {"dev_tcp_udp", "Bash /dev/tcp or /dev/udp network access", any_of<"/dev/tcp/", "/dev/udp/">, 55, RF::NetworkExfiltration},
    {"base64_pipe", "Base64 encoding in pipeline (potential obfuscation)", needs_one_of<base64_in_pipeline, "base64", "b64">, 30, RF::ObfuscatedCommand},
    {"eval_usage", "eval/source command usage", needs_one_of<eval_or_source, "eval ", "source ">, 50, RF::CommandExecution},
    {"dot_sourcing", "Dot-sourcing a script (. /path)", command_word<". /">, 50, RF::CommandExecution},
    {"hex_escape_sequences", "Hex/unicode escape sequences (obfuscation)", any_of<"\\x", "\\u">, 35, RF::ObfuscatedCommand},
    {"ld_preload", "LD_PRELOAD/LD_LIBRARY_PATH injection", any_of<"LD_PRELOAD", "LD_LIBRARY_PATH">, 55, RF::PathInjection},
    {"path_injection", "PATH environment variable override", needs_one_of<path_override, "PATH=">, 50, RF::PathInjection},
    {"history_manipulation", "Shell history manipulation", any_of<"HISTFILE", ".bash_history", "HISTSIZE=0">, 40, RF::ShellInjection},
    {"null_byte", "Null byte injection", any_of<"\0">, 50, RF::ShellInjection},
    {"pipe_to_shell", "Output piped to shell or interpreter execution", needs_one_of<pipe_to_shell, "|">, 55, RF::PipeToExecution},
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
