#include "rules/paths.h"

#include <array>
#include <bit>
#include <cstdint>

#include "text.h"

namespace corvane::rules {
namespace {

using S = Sensitivity;

// Glob-like patterns; `compile` below says what each is tested against.
constexpr SensitivePathRule kSensitivePaths[] = {
    {".env", S::Secrets, "Environment secrets"},
    {".env.*", S::Secrets, "Environment secrets variant"},
    {".ssh", S::Secrets, "SSH directory"},
    {".ssh/*", S::Secrets, "SSH keys and config"},
    {".aws/credentials", S::Secrets, "AWS credentials"},
    {".aws/config", S::Config, "AWS config"},
    {".gnupg/*", S::Secrets, "GPG keys"},
    {"credentials.json", S::Secrets, "Service credentials"},
    {"*.pem", S::Secrets, "TLS/SSH private key"},
    {"*.key", S::Secrets, "Private key file"},
    {"*.p12", S::Secrets, "PKCS12 certificate store"},
    {"*.pfx", S::Secrets, "PKCS12 certificate"},
    {".netrc", S::Secrets, "FTP/HTTP credentials"},
    {".npmrc", S::Secrets, "npm auth tokens"},
    {".pypirc", S::Secrets, "PyPI credentials"},
    {".docker/config.json", S::Secrets, "Docker registry credentials"},
    {".kube/config", S::Secrets, "Kubernetes credentials"},
    {".gcloud/*", S::Secrets, "GCloud credentials"},
    {"id_rsa", S::Secrets, "RSA private key"},
    {"id_ed25519", S::Secrets, "Ed25519 private key"},
    {"id_ecdsa", S::Secrets, "ECDSA private key"},
    {"*.secret", S::Secrets, "Secret file"},
    {"*.secrets", S::Secrets, "Secrets file"},
    {".htpasswd", S::Secrets, "HTTP Basic auth passwords"},
    {"token.json", S::Secrets, "OAuth token"},
    {"/etc/passwd", S::System, "User accounts"},
    {"/etc/shadow", S::System, "Password hashes"},
    {"/etc/sudoers", S::System, "Sudo configuration"},
    {"/etc/hosts", S::System, "Host resolution"},
    {"/etc/resolv.conf", S::System, "DNS configuration"},
    {"/etc/crontab", S::System, "System cron jobs"},
    {"/etc/ssh/*", S::System, "SSH server config"},
    {"/proc/*/environ", S::System, "Process environment"},
    {"/proc/self/environ", S::System, "Current process environment"},
    {".gitconfig", S::Config, "Git config"},
    {".git/config", S::Config, "Repo git config"},
    {".bashrc", S::Config, "Bash startup"},
    {".bash_profile", S::Config, "Bash login"},
    {".zshrc", S::Config, "Zsh startup"},
    {".zprofile", S::Config, "Zsh login"},
    {".profile", S::Config, "Shell profile"},
    {".vimrc", S::Config, "Vim config"},
    {".claude/*", S::Config, "Claude Code config"},
    {".cursor/*", S::Config, "Cursor config"},
    {".vscode/*", S::Config, "VS Code config"},
    {".config/*", S::Config, "XDG config"},
    {"Makefile", S::Config, "Build configuration"},
    {"Dockerfile", S::Config, "Container build"},
    {"docker-compose.yml", S::Config, "Container orchestration"},
    {".terraform/*", S::Secrets, "Terraform state (may contain secrets)"},
    {"terraform.tfstate", S::Secrets, "Terraform state file"},
};

static_assert(std::size(kSensitivePaths) == 51);

// Rank for choosing among matching rules, indexed by Sensitivity. Secrets
// outrank system files, which outrank configuration.
constexpr auto kRank = by_enum<Sensitivity, int>({
    {Sensitivity::Normal, 0},
    {Sensitivity::Config, 10},
    {Sensitivity::System, 20},
    {Sensitivity::Secrets, 25},
    {Sensitivity::Protected, 25},
});

int rank(Sensitivity s) { return kRank[ordinal(s)]; }

// No wildcards: the subject is the pattern, or ends in "/" + pattern.
bool literal_matches(std::string_view subject, std::string_view pattern) {
  if (subject == pattern) return true;
  return subject.size() > pattern.size() && subject.ends_with(pattern) &&
         subject[subject.size() - pattern.size() - 1] == '/';
}

// "?" without "*": equal byte lengths, and equal character by character with
// "?" standing for any one character. Invalid UTF-8 bytes are one character
// each, so a "?" never swallows part of a broken sequence.
bool single_char_matches(std::string_view subject, std::string_view pattern) {
  if (subject.size() != pattern.size()) return false;
  std::size_t i = 0, j = 0;
  while (i < pattern.size() && j < subject.size()) {
    const std::size_t plen = text::decode_utf8(pattern, i).len;
    const std::size_t slen = text::decode_utf8(subject, j).len;
    if (pattern[i] != '?' && pattern.substr(i, plen) != subject.substr(j, slen)) return false;
    i += plen;
    j += slen;
  }
  return i == pattern.size() && j == subject.size();
}

// "*" present: the parts between stars must appear in order, the first
// anchored at the start and the last at the end, without overlapping. "?" is
// an ordinary character here.
bool star_matches(std::string_view subject, std::string_view pattern) {
  const std::size_t first_star = pattern.find('*');
  const std::size_t last_star = pattern.rfind('*');
  const std::string_view head = pattern.substr(0, first_star);
  const std::string_view tail = pattern.substr(last_star + 1);
  std::string_view rest = subject;
  if (!rest.starts_with(head)) return false;
  rest.remove_prefix(head.size());
  if (!rest.ends_with(tail)) return false;
  rest.remove_suffix(tail.size());
  for (std::size_t pos = first_star + 1; pos <= last_star;) {
    const std::size_t next = pattern.find('*', pos);
    const std::string_view part = pattern.substr(pos, next - pos);
    if (!part.empty()) {
      const std::size_t at = rest.find(part);
      if (at == std::string_view::npos) return false;
      rest.remove_prefix(at + part.size());
    }
    pos = next + 1;
  }
  return true;
}

// What a rule's pattern is tested against, and how; worked out from the
// pattern when the table is compiled, so that a path is held against 51
// patterns without scanning each of them for "/", "*" and "?" every time.
enum class Scope : std::uint8_t { Whole, WholeOrSuffix, FinalComponent };
enum class Shape : std::uint8_t {
  Literal,       // no wildcard
  HeadAndTail,   // "*" with nothing but stars between the first and the last
  AnyWildcard,   // anything else: the general test
};

struct CompiledPattern {
  Scope scope;
  Shape shape;
  std::string_view head;  // HeadAndTail: the text before the first "*"
  std::string_view tail;  // HeadAndTail: the text after the last "*"
};

// A pattern starting with "/" is tested against the whole path, one with a
// "/" elsewhere against the whole path (or as a plain suffix of it), and any
// other pattern against the path's final component only.
constexpr CompiledPattern compile(std::string_view pattern) {
  const Scope scope = pattern.starts_with('/')                  ? Scope::Whole
                      : pattern.find('/') != std::string_view::npos ? Scope::WholeOrSuffix
                                                                    : Scope::FinalComponent;
  const std::size_t first_star = pattern.find('*');
  if (first_star == std::string_view::npos) {
    const Shape shape = pattern.find('?') == std::string_view::npos ? Shape::Literal : Shape::AnyWildcard;
    return {scope, shape, {}, {}};
  }
  const std::size_t last_star = pattern.rfind('*');
  for (std::size_t i = first_star; i <= last_star; ++i)
    if (pattern[i] != '*') return {scope, Shape::AnyWildcard, {}, {}};
  return {scope, Shape::HeadAndTail, pattern.substr(0, first_star), pattern.substr(last_star + 1)};
}

constexpr auto kCompiledPaths = [] {
  std::array<CompiledPattern, std::size(kSensitivePaths)> compiled{};
  for (std::size_t i = 0; i < compiled.size(); ++i) compiled[i] = compile(kSensitivePaths[i].pattern);
  return compiled;
}();

// A pattern whose last byte is not a wildcard only matches a subject ending
// in that same byte, and the final component ends where the whole path does;
// so a path is held only against the rows ending in its last byte and the
// rows ending in a wildcard. Bit N stands for row N.
static_assert(std::size(kSensitivePaths) <= 64);
constexpr std::uint64_t kRowsEndingInWildcard = [] {
  std::uint64_t rows = 0;
  for (std::size_t row = 0; row < std::size(kSensitivePaths); ++row) {
    const char last = kSensitivePaths[row].pattern.back();
    if (last == '*' || last == '?') rows |= std::uint64_t{1} << row;
  }
  return rows;
}();
constexpr auto kRowsByLastByte = [] {
  std::array<std::uint64_t, 256> rows;
  rows.fill(kRowsEndingInWildcard);
  for (std::size_t row = 0; row < std::size(kSensitivePaths); ++row) {
    const char last = kSensitivePaths[row].pattern.back();
    if (last != '*' && last != '?') rows[static_cast<unsigned char>(last)] |= std::uint64_t{1} << row;
  }
  return rows;
}();

// Prefix and suffix tests that look at one byte before comparing the rest:
// most paths start and end differently from most patterns.
bool starts_with(std::string_view s, std::string_view prefix) {
  if (prefix.empty()) return true;
  return s.size() >= prefix.size() && s.front() == prefix.front() && s.starts_with(prefix);
}
bool ends_with(std::string_view s, std::string_view suffix) {
  if (suffix.empty()) return true;
  return s.size() >= suffix.size() && s.back() == suffix.back() && s.ends_with(suffix);
}

// The same answers as testing the row's pattern with path_matches against the
// subject its scope names.
bool rule_matches(std::string_view whole, std::string_view final_component, std::size_t row) {
  const std::string_view pattern = kSensitivePaths[row].pattern;
  const CompiledPattern& c = kCompiledPaths[row];
  if (c.scope == Scope::WholeOrSuffix && ends_with(whole, pattern)) return true;
  const std::string_view subject = c.scope == Scope::FinalComponent ? final_component : whole;
  switch (c.shape) {
    case Shape::Literal:
      // The pattern itself, or "/" + the pattern at the end.
      return ends_with(subject, pattern) &&
             (subject.size() == pattern.size() || subject[subject.size() - pattern.size() - 1] == '/');
    case Shape::HeadAndTail:
      return subject.size() >= c.head.size() + c.tail.size() && starts_with(subject, c.head) &&
             ends_with(subject, c.tail);
    case Shape::AnyWildcard:
      break;
  }
  return path_matches(subject, pattern);
}

}  // namespace

std::span<const SensitivePathRule> sensitive_path_rules() noexcept { return kSensitivePaths; }

bool path_matches(std::string_view subject, std::string_view pattern) noexcept {
  if (text::contains(pattern, '*')) return star_matches(subject, pattern);
  if (text::contains(pattern, '?')) return single_char_matches(subject, pattern);
  return literal_matches(subject, pattern);
}

std::optional<SensitivityMatch> match_sensitivity(std::string_view path) noexcept {
  std::string_view whole = path;
  while (whole.starts_with("./")) whole.remove_prefix(2);
  const std::string_view final_component = text::base_name(whole);

  // The first matching row stands unless a later one outranks it strictly.
  std::optional<SensitivityMatch> best;
  std::uint64_t candidates = whole.empty() ? kRowsEndingInWildcard
                                           : kRowsByLastByte[static_cast<unsigned char>(whole.back())];
  for (; candidates != 0; candidates &= candidates - 1) {  // in row order
    const auto row = static_cast<std::size_t>(std::countr_zero(candidates));
    const SensitivePathRule& rule = kSensitivePaths[row];
    if (best && rank(rule.sensitivity) <= rank(best->sensitivity)) continue;
    if (rule_matches(whole, final_component, row))
      best = SensitivityMatch{rule.sensitivity, rule.description};
  }
  return best;
}

}  // namespace corvane::rules
