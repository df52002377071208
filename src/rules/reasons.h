// Reason phrases: the words a segment's one-line reason is made of.
#pragma once

#include <array>
#include <string_view>

#include "types.h"

namespace corvane::rules {

// The reason's opening, by the segment's primary intent.
inline constexpr auto kIntentPhrase = by_enum<Intent, std::string_view>({
    {Intent::Read, "File read"},
    {Intent::Write, "File write"},
    {Intent::Delete, "File deletion"},
    {Intent::Execute, "Code execution"},
    {Intent::Network, "Network operation"},
    {Intent::ProcessControl, "Process control"},
    {Intent::Privilege, "Privilege operation"},
    {Intent::PackageInstall, "Package installation"},
    {Intent::GitMutation, "Git mutation"},
    {Intent::EnvModify, "Environment modification"},
    {Intent::Search, "Search operation"},
    {Intent::Info, "Information command"},
});

// Reason phrases by risk factor; empty for factors that never show in reasons.
inline constexpr auto kRiskFactorPhrase = by_enum<RiskFactor, std::string_view>({
    {RiskFactor::RecursiveDelete, "recursive deletion"},
    {RiskFactor::ForceFlag, "force flag"},
    {RiskFactor::BroadScope, "broad scope"},
    {RiskFactor::SecretsExposure, ""},
    {RiskFactor::NetworkExfiltration, "potential data exfiltration"},
    {RiskFactor::PipeToExecution, "output piped to execution"},
    {RiskFactor::CommandSubstitution, ""},
    {RiskFactor::ProcessSubstitution, ""},
    {RiskFactor::UntrustedExecution, "execution of untrusted content"},
    {RiskFactor::PrivilegeEscalation, "privilege escalation"},
    {RiskFactor::PathInjection, ""},
    {RiskFactor::GitHistoryDestruction, "git history destruction"},
    {RiskFactor::EscapesProjectBoundary, "escapes project boundary"},
    {RiskFactor::ShellInjection, "shell injection pattern"},
    {RiskFactor::ZshModuleLoading, "zsh module loading"},
    {RiskFactor::ZshGlobExecution, ""},
    {RiskFactor::ObfuscatedCommand, "obfuscated command"},
    {RiskFactor::ObfuscatedExfiltration, ""},
    {RiskFactor::CommandExecution, ""},
    {RiskFactor::Write, ""},
    {RiskFactor::NestingLimit, ""},  // the driver names it with the nested commands
});

}  // namespace corvane::rules
