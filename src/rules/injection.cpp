#include "rules/injection.h"

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

// Case-insensitive with full Unicode lower-casing, so "| \u212Ash" (Kelvin
// sign) is "| ksh". Lower-casing never makes or removes a bar, so text
// without one is done at once; ASCII text is lowered byte-wise.
bool pipe_to_shell(std::string_view t) {
  if (!contains(t, '|')) return false;
  const std::string lower = text::to_lower(t);
  for (std::string_view target : kPipeTargets)
    if (contains(lower, target)) return true;
  return false;
}

using RF = RiskFactor;

constexpr std::array<PatternRule, 26> kInjectionRules = {{
    {"command_substitution_dollar", "$() command substitution", contains_any<"$(">, 40, RF::CommandSubstitution},
    {"command_substitution_backtick", "Backtick command substitution", contains_any<"`">, 40, RF::CommandSubstitution},
    {"process_substitution_in", "<() process substitution", contains_any<"<(">, 45, RF::ProcessSubstitution},
    {"process_substitution_out", ">() process substitution", contains_any<">(">, 45, RF::ProcessSubstitution},
    {"parameter_expansion", "${} parameter expansion", contains_any<"${">, 35, RF::ShellInjection},
    {"ifs_injection", "IFS variable manipulation", contains_any<"$IFS", "${IFS">, 50, RF::ShellInjection},
    {"arithmetic_expansion", "Arithmetic expansion", contains_any<"$((">, 30, RF::ShellInjection},
    {"unicode_whitespace", "Non-ASCII whitespace (obfuscation)", unusual_white_space, 45, RF::ShellInjection},
    {"control_characters", "Control characters in command", control_byte, 45, RF::ShellInjection},
    {"carriage_return", "Carriage return (misparsing risk)", contains_any<"\r">, 40, RF::ShellInjection},
    {"ansi_c_quoting", "ANSI-C quoting (can encode arbitrary bytes)", contains_any<"$'", "$\"">, 35, RF::ObfuscatedCommand},
    {"escaped_semicolon", "Escaped semicolon", contains_any<"\\;">, 25, RF::ShellInjection},
    {"escaped_pipe", "Escaped pipe", contains_any<"\\|">, 25, RF::ShellInjection},
    {"escaped_ampersand", "Escaped ampersand", contains_any<"\\&">, 25, RF::ShellInjection},
    {"brace_expansion", "Brace expansion", brace_list, 20, RF::ShellInjection},
    {"proc_environ_access", "Process environment access", proc_environ, 50, RF::SecretsExposure},
    {"dev_tcp_udp", "Bash /dev/tcp or /dev/udp network access", contains_any<"/dev/tcp/", "/dev/udp/">, 55, RF::NetworkExfiltration},
    {"base64_pipe", "Base64 encoding in pipeline (potential obfuscation)", base64_in_pipeline, 30, RF::ObfuscatedCommand},
    {"eval_usage", "eval/source command usage", eval_or_source, 50, RF::CommandExecution},
    {"dot_sourcing", "Dot-sourcing a script (. /path)", starts_or_follows_space<". /">, 50, RF::CommandExecution},
    {"hex_escape_sequences", "Hex/unicode escape sequences (obfuscation)", contains_any<"\\x", "\\u">, 35, RF::ObfuscatedCommand},
    {"ld_preload", "LD_PRELOAD/LD_LIBRARY_PATH injection", contains_any<"LD_PRELOAD", "LD_LIBRARY_PATH">, 55, RF::PathInjection},
    {"path_injection", "PATH environment variable override", path_override, 50, RF::PathInjection},
    {"history_manipulation", "Shell history manipulation", contains_any<"HISTFILE", ".bash_history", "HISTSIZE=0">, 40, RF::ShellInjection},
    {"null_byte", "Null byte injection", nul_byte, 50, RF::ShellInjection},
    {"pipe_to_shell", "Output piped to shell or interpreter execution", pipe_to_shell, 55, RF::PipeToExecution},
}};

}  // namespace

std::vector<PatternMatch> matching_patterns(std::span<const PatternRule> table, std::string_view text) {
  std::vector<PatternMatch> matches;
  for (const PatternRule& row : table)
    if (row.check(text)) matches.push_back({row.id, row.risk_factor, row.weight, row.description});
  return matches;
}

std::span<const PatternRule> injection_rules() noexcept { return kInjectionRules; }

}  // namespace corvane::rules
