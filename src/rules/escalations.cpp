#include "rules/escalations.h"

#include <array>

namespace corvane::rules {
namespace {

using enum TaintSourceKind;
using enum TaintSinkKind;
using enum EncodingRequirement;

// Row order matters: on equal bonus the later row wins, which lets a specific
// rule (a download, a secret) take precedence over the catch-all AnyRead rule
// listed before it.
constexpr std::array<EscalationRule, 15> kEscalationRules = {{
    {"sensitive_file_to_network", "Sensitive file content sent to network", 30, SensitiveFile, NetworkSend, Any},
    {"any_to_execution", "Data piped to shell execution", 35, AnyRead, Execution, Any},
    {"network_download_to_execution", "Remote content piped to execution (curl|bash pattern)", 35, NetworkDownload, Execution, Any},
    {"sensitive_file_encoded_to_network", "Sensitive data encoded then exfiltrated", 40, SensitiveFile, NetworkSend, Required},
    {"sensitive_file_to_file_write", "Sensitive data copied to new location", 20, SensitiveFile, FileWrite, Any},
    {"env_var_to_network", "Environment variables exfiltrated to network", 30, EnvironmentVar, NetworkSend, Any},
    {"network_download_to_file_write", "Remote content written to file", 15, NetworkDownload, FileWrite, Any},
    {"any_read_to_network", "Local data sent to network", 20, AnyRead, NetworkSend, Any},
    {"env_var_to_execution", "Environment variable content executed", 30, EnvironmentVar, Execution, Any},
    {"sensitive_file_encoded_to_file_write", "Sensitive data encoded and written to file", 25, SensitiveFile, FileWrite, Required},
    {"any_read_encoded_to_network", "Data encoded then exfiltrated", 30, AnyRead, NetworkSend, Required},
    {"env_var_encoded_to_network", "Environment variables encoded then exfiltrated", 35, EnvironmentVar, NetworkSend, Required},
    {"network_download_encoded_to_execution", "Remote content decoded then executed", 40, NetworkDownload, Execution, Required},
    {"any_read_to_file_write", "Data read and written to new location", 10, AnyRead, FileWrite, Any},
    {"sensitive_file_to_execution", "Sensitive file content executed as commands", 35, SensitiveFile, Execution, Any},
}};

constexpr bool matches(const EscalationRule& rule, TaintSourceKind source, TaintSinkKind sink,
                       bool has_encoding) noexcept {
  // A rule written for AnyRead covers data from any source at all.
  return (rule.source == source || rule.source == AnyRead) && rule.sink == sink &&
         (rule.encoding == Any || has_encoding);
}

constexpr const EscalationRule* search(TaintSourceKind source, TaintSinkKind sink,
                                       bool has_encoding) noexcept {
  const EscalationRule* best = nullptr;
  for (const EscalationRule& rule : kEscalationRules) {
    if (!matches(rule, source, sink, has_encoding)) continue;
    if (best == nullptr || rule.bonus >= best->bonus) best = &rule;  // ">=": later row wins ties
  }
  return best;
}

// The search's answer for every source, sink and encoding, worked out when
// the table is compiled: pipelines ask for it once per pair of segments.
constexpr std::size_t kSourceKinds = kEnumSize<TaintSourceKind>;
constexpr std::size_t kSinkKinds = kEnumSize<TaintSinkKind>;

constexpr std::size_t answer_index(std::size_t source, std::size_t sink, bool has_encoding) noexcept {
  return (source * kSinkKinds + sink) * 2 + (has_encoding ? 1 : 0);
}

constexpr auto kAnswers = [] {
  std::array<const EscalationRule*, kSourceKinds * kSinkKinds * 2> answers{};
  for (std::size_t source = 0; source < kSourceKinds; ++source)
    for (std::size_t sink = 0; sink < kSinkKinds; ++sink)
      for (const bool encoded : {false, true})
        answers[answer_index(source, sink, encoded)] =
            search(static_cast<TaintSourceKind>(source), static_cast<TaintSinkKind>(sink), encoded);
  return answers;
}();

}  // namespace

std::span<const EscalationRule> escalation_rules() noexcept { return kEscalationRules; }

const EscalationRule* find_taint_escalation(TaintSourceKind source, TaintSinkKind sink,
                                            bool has_encoding) noexcept {
  const auto s = static_cast<std::size_t>(source);
  const auto k = static_cast<std::size_t>(sink);
  if (s >= kSourceKinds || k >= kSinkKinds) return search(source, sink, has_encoding);
  return kAnswers[answer_index(s, k, has_encoding)];
}

}  // namespace corvane::rules
