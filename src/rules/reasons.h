// Reason phrases: the words a segment's one-line reason is made of.
#pragma once

#include <array>
#include <string_view>

#include "types.h"

namespace corvane::rules {

// The reason's opening, by the segment's primary intent.
inline constexpr std::array<std::string_view, 12> kIntentPhrase = {
    "File read", "File write", "File deletion", "Code execution", "Network operation",
    "Process control", "Privilege operation", "Package installation", "Git mutation",
    "Environment modification", "Search operation", "Information command"};

// Reason phrases by risk factor; empty for factors that never show in reasons.
inline constexpr std::array<std::string_view, kRiskFactorCount> kRiskFactorPhrase = {
    /*recursive_delete*/ "recursive deletion",
    /*force_flag*/ "force flag",
    /*broad_scope*/ "broad scope",
    /*secrets_exposure*/ "",
    /*network_exfiltration*/ "potential data exfiltration",
    /*pipe_to_execution*/ "output piped to execution",
    /*command_substitution*/ "",
    /*process_substitution*/ "",
    /*untrusted_execution*/ "execution of untrusted content",
    /*privilege_escalation*/ "privilege escalation",
    /*path_injection*/ "",
    /*git_history_destruction*/ "git history destruction",
    /*escapes_project_boundary*/ "escapes project boundary",
    /*shell_injection*/ "shell injection pattern",
    /*zsh_module_loading*/ "zsh module loading",
    /*zsh_glob_execution*/ "",
    /*obfuscated_command*/ "obfuscated command",
    /*obfuscated_exfiltration*/ "",
    /*command_execution*/ "",
    /*write*/ "",
    /*nesting_limit*/ ""};  // the driver names it with the nested commands

}  // namespace corvane::rules
