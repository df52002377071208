#include "types.h"

#include <array>

namespace corvane {
namespace {

// Looks a spelling up by ordinal. Every table below has one entry per
// enumerator, so the index is always in range for a valid value.
template <typename E, std::size_t N>
std::string_view spell(const std::array<std::string_view, N>& table, E v) noexcept {
  auto i = static_cast<std::size_t>(v);
  return i < N ? table[i] : std::string_view{};
}

constexpr std::array<std::string_view, 12> kIntent = {
    "read", "write", "delete", "execute", "network", "process_control", "privilege",
    "package_install", "git_mutation", "env_modify", "search", "info"};
constexpr std::array<std::string_view, 7> kScope = {
    "none", "single_file", "directory", "directory_recursive", "system", "home", "root"};
constexpr std::array<std::string_view, 5> kSensitivity = {
    "normal", "config", "system", "secrets", "protected"};
constexpr std::array<std::string_view, kRiskFactorCount> kRiskFactor = {
    "recursive_delete", "force_flag", "broad_scope", "secrets_exposure",
    "network_exfiltration", "pipe_to_execution", "command_substitution",
    "process_substitution", "untrusted_execution", "privilege_escalation",
    "path_injection", "git_history_destruction", "escapes_project_boundary",
    "shell_injection", "zsh_module_loading", "zsh_glob_execution",
    "obfuscated_command", "obfuscated_exfiltration", "command_execution", "write",
    "nesting_limit"};
constexpr std::array<std::string_view, 10> kCapability = {
    "shell", "command", "reverse_shell", "bind_shell", "file_read", "file_write",
    "upload", "download", "library_load", "privilege_escalation"};
constexpr std::array<std::string_view, 5> kFlowType = {"pipe", "and", "or", "sequence", "mixed"};
constexpr std::array<std::string_view, 4> kLevel = {"safe", "caution", "danger", "critical"};
constexpr std::array<std::string_view, 3> kDecision = {"safe", "risky", "blocked"};
constexpr std::array<std::string_view, 3> kReversibility = {
    "reversible", "hard_to_reverse", "irreversible"};
constexpr std::array<std::string_view, 3> kConfidence = {"full", "partial", "fallback"};
constexpr std::array<std::string_view, 4> kSource = {
    "sensitive_file", "environment_var", "command_output", "stdin"};
constexpr std::array<std::string_view, 4> kProp = {
    "passthrough", "encoding", "filtering", "aggregation"};
constexpr std::array<std::string_view, 4> kSink = {
    "network_send", "file_write", "execution", "display"};

}  // namespace

std::string_view to_string(Intent v) noexcept { return spell(kIntent, v); }
std::string_view to_string(TargetScope v) noexcept { return spell(kScope, v); }
std::string_view to_string(Sensitivity v) noexcept { return spell(kSensitivity, v); }
std::string_view to_string(RiskFactor v) noexcept { return spell(kRiskFactor, v); }
std::string_view to_string(BinaryCapability v) noexcept { return spell(kCapability, v); }
std::string_view to_string(FlowType v) noexcept { return spell(kFlowType, v); }
std::string_view to_string(RiskLevel v) noexcept { return spell(kLevel, v); }
std::string_view to_string(QuickDecision v) noexcept { return spell(kDecision, v); }
std::string_view to_string(Reversibility v) noexcept { return spell(kReversibility, v); }
std::string_view to_string(ParseConfidence v) noexcept { return spell(kConfidence, v); }
std::string_view to_string(TaintSourceType v) noexcept { return spell(kSource, v); }
std::string_view to_string(TaintPropType v) noexcept { return spell(kProp, v); }
std::string_view to_string(TaintSinkType v) noexcept { return spell(kSink, v); }

}  // namespace corvane
