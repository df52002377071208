#include "types.h"

#include <array>

#include "enum_table.h"

namespace corvane {
namespace {

// Looks a spelling up by ordinal. Every table below has one row per value
// (by_enum), so only a value cast from outside the enumeration falls off.
template <typename E, std::size_t N>
std::string_view spell(const std::array<std::string_view, N>& table, E v) noexcept {
  const std::size_t i = ordinal(v);
  return i < N ? table[i] : std::string_view{};
}

constexpr auto kIntent = by_enum<Intent, std::string_view>({
    {Intent::Read, "read"},
    {Intent::Write, "write"},
    {Intent::Delete, "delete"},
    {Intent::Execute, "execute"},
    {Intent::Network, "network"},
    {Intent::ProcessControl, "process_control"},
    {Intent::Privilege, "privilege"},
    {Intent::PackageInstall, "package_install"},
    {Intent::GitMutation, "git_mutation"},
    {Intent::EnvModify, "env_modify"},
    {Intent::Search, "search"},
    {Intent::Info, "info"},
});
constexpr auto kScope = by_enum<TargetScope, std::string_view>({
    {TargetScope::None, "none"},
    {TargetScope::SingleFile, "single_file"},
    {TargetScope::Directory, "directory"},
    {TargetScope::DirectoryRecursive, "directory_recursive"},
    {TargetScope::System, "system"},
    {TargetScope::Home, "home"},
    {TargetScope::Root, "root"},
});
constexpr auto kSensitivity = by_enum<Sensitivity, std::string_view>({
    {Sensitivity::Normal, "normal"},
    {Sensitivity::Config, "config"},
    {Sensitivity::System, "system"},
    {Sensitivity::Secrets, "secrets"},
    {Sensitivity::Protected, "protected"},
});
constexpr auto kRiskFactor = by_enum<RiskFactor, std::string_view>({
    {RiskFactor::RecursiveDelete, "recursive_delete"},
    {RiskFactor::ForceFlag, "force_flag"},
    {RiskFactor::BroadScope, "broad_scope"},
    {RiskFactor::SecretsExposure, "secrets_exposure"},
    {RiskFactor::NetworkExfiltration, "network_exfiltration"},
    {RiskFactor::PipeToExecution, "pipe_to_execution"},
    {RiskFactor::CommandSubstitution, "command_substitution"},
    {RiskFactor::ProcessSubstitution, "process_substitution"},
    {RiskFactor::UntrustedExecution, "untrusted_execution"},
    {RiskFactor::PrivilegeEscalation, "privilege_escalation"},
    {RiskFactor::PathInjection, "path_injection"},
    {RiskFactor::GitHistoryDestruction, "git_history_destruction"},
    {RiskFactor::EscapesProjectBoundary, "escapes_project_boundary"},
    {RiskFactor::ShellInjection, "shell_injection"},
    {RiskFactor::ZshModuleLoading, "zsh_module_loading"},
    {RiskFactor::ZshGlobExecution, "zsh_glob_execution"},
    {RiskFactor::ObfuscatedCommand, "obfuscated_command"},
    {RiskFactor::ObfuscatedExfiltration, "obfuscated_exfiltration"},
    {RiskFactor::CommandExecution, "command_execution"},
    {RiskFactor::Write, "write"},
    {RiskFactor::NestingLimit, "nesting_limit"},
});
constexpr auto kCapability = by_enum<BinaryCapability, std::string_view>({
    {BinaryCapability::Shell, "shell"},
    {BinaryCapability::Command, "command"},
    {BinaryCapability::ReverseShell, "reverse_shell"},
    {BinaryCapability::BindShell, "bind_shell"},
    {BinaryCapability::FileRead, "file_read"},
    {BinaryCapability::FileWrite, "file_write"},
    {BinaryCapability::Upload, "upload"},
    {BinaryCapability::Download, "download"},
    {BinaryCapability::LibraryLoad, "library_load"},
    {BinaryCapability::PrivilegeEscalation, "privilege_escalation"},
});
constexpr auto kFlowType = by_enum<FlowType, std::string_view>({
    {FlowType::Pipe, "pipe"},
    {FlowType::And, "and"},
    {FlowType::Or, "or"},
    {FlowType::Sequence, "sequence"},
    {FlowType::Mixed, "mixed"},
});
constexpr auto kLevel = by_enum<RiskLevel, std::string_view>({
    {RiskLevel::Safe, "safe"},
    {RiskLevel::Caution, "caution"},
    {RiskLevel::Danger, "danger"},
    {RiskLevel::Critical, "critical"},
});
constexpr auto kDecision = by_enum<QuickDecision, std::string_view>({
    {QuickDecision::Safe, "safe"},
    {QuickDecision::Risky, "risky"},
    {QuickDecision::Blocked, "blocked"},
});
constexpr auto kReversibility = by_enum<Reversibility, std::string_view>({
    {Reversibility::Reversible, "reversible"},
    {Reversibility::HardToReverse, "hard_to_reverse"},
    {Reversibility::Irreversible, "irreversible"},
});
constexpr auto kConfidence = by_enum<ParseConfidence, std::string_view>({
    {ParseConfidence::Full, "full"},
    {ParseConfidence::Partial, "partial"},
    {ParseConfidence::Fallback, "fallback"},
});
constexpr auto kSource = by_enum<TaintSourceType, std::string_view>({
    {TaintSourceType::SensitiveFile, "sensitive_file"},
    {TaintSourceType::EnvironmentVar, "environment_var"},
    {TaintSourceType::CommandOutput, "command_output"},
    {TaintSourceType::Stdin, "stdin"},
});
constexpr auto kProp = by_enum<TaintPropType, std::string_view>({
    {TaintPropType::Passthrough, "passthrough"},
    {TaintPropType::Encoding, "encoding"},
    {TaintPropType::Filtering, "filtering"},
    {TaintPropType::Aggregation, "aggregation"},
});
constexpr auto kSink = by_enum<TaintSinkType, std::string_view>({
    {TaintSinkType::NetworkSend, "network_send"},
    {TaintSinkType::FileWrite, "file_write"},
    {TaintSinkType::Execution, "execution"},
    {TaintSinkType::Display, "display"},
});

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
