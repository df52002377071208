#include "scorer.h"

#include <algorithm>
#include <array>

#include "context.h"
#include "rules/injection.h"
#include "rules/zsh.h"

namespace corvane {
namespace {

// Weight tables, indexed by the enumerations' declaration order.
constexpr std::array<int, 12> kIntentWeight = {
    /*read*/ 10, /*write*/ 30, /*delete*/ 45, /*execute*/ 50, /*network*/ 40,
    /*process_control*/ 40, /*privilege*/ 55, /*package_install*/ 35,
    /*git_mutation*/ 35, /*env_modify*/ 40, /*search*/ 5, /*info*/ 0};
constexpr std::array<int, 7> kScopeWeight = {
    /*none*/ 0, /*single_file*/ 0, /*directory*/ 5, /*directory_recursive*/ 15,
    /*system*/ 25, /*home*/ 30, /*root*/ 40};
constexpr std::array<int, 5> kSensitivityWeight = {
    /*normal*/ 0, /*config*/ 10, /*system*/ 20, /*secrets*/ 25, /*protected*/ 25};
constexpr std::array<int, 3> kReversibilityModifier = {
    /*reversible*/ -10, /*hard_to_reverse*/ 5, /*irreversible*/ 15};

constexpr std::array<std::string_view, 12> kIntentPhrase = {
    "File read", "File write", "File deletion", "Code execution", "Network operation",
    "Process control", "Privilege operation", "Package installation", "Git mutation",
    "Environment modification", "Search operation", "Information command"};

// Reason phrases by risk factor; empty for factors that never show in reasons.
constexpr std::array<std::string_view, kRiskFactorCount> kRiskFactorPhrase = {
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
    /*write*/ ""};

template <typename E, std::size_t N>
int weight(const std::array<int, N>& table, E v) {
  return table[static_cast<std::size_t>(v)];
}

// Highest detector weight over the injection table and, for zsh, the zsh table.
int detector_term(std::string_view command, const ClassifyContext* ctx) {
  int best = 0;
  for (const auto& m : rules::matching_patterns(rules::injection_rules(), command))
    best = std::max<int>(best, m.weight);
  if (shell_of(ctx) == ShellKind::Zsh) {
    for (const auto& m : rules::matching_patterns(rules::zsh_rules(), command))
      best = std::max<int>(best, m.weight);
  }
  return best;
}

}  // namespace

void score_command(CommandAnalysis& a, const ClassifyContext* ctx) {
  score_command(a, ctx, static_cast<std::uint8_t>(detector_term(a.command, ctx)));
}

void score_command(CommandAnalysis& a, const ClassifyContext* ctx, std::uint8_t detector_weight) {
  const int detector = detector_weight;
  int intent = 0;
  for (Intent i : a.intent) intent = std::max(intent, weight(kIntentWeight, i));

  int scope = 0, sensitivity = 0;
  for (const Target& t : a.targets) {
    scope = std::max(scope, weight(kScopeWeight, t.scope));
    sensitivity = std::max(sensitivity, weight(kSensitivityWeight, t.sensitivity));
  }

  int flags = 0;
  for (const FlagAnalysis& f : a.flags) flags += f.modifier;

  const Intent primary = a.intent.empty() ? Intent::Info : a.intent.front();
  bool any_path = false;
  int context = 0;
  for (const Target& t : a.targets) {
    if (!t.path) continue;
    const int adj = context_adjustment(*t.path, primary, ctx);
    context = any_path ? std::max(context, adj) : adj;
    any_path = true;
  }
  if (!any_path) context = ctx == nullptr ? 5 : 0;

  const int base = intent + scope + sensitivity + flags + context +
                   weight(kReversibilityModifier, a.reversibility);

  // A strong detector match on top of a strong base adds a quarter of the
  // weaker of the two; weak signals do not stack.
  int combined = std::max(base, detector);
  if (base > 20 && detector > 20) combined += std::min(base, detector) / 4;
  a.score = static_cast<std::uint8_t>(std::clamp(combined, 0, 100));
}

std::string generate_reason(const CommandAnalysis& a) {
  // The first part, then ": ", then the other parts joined by ", ".
  std::string reason(a.intent.empty() ? std::string_view("Unknown operation")
                                      : kIntentPhrase[static_cast<std::size_t>(a.intent.front())]);
  bool first = true;
  auto add = [&](std::string_view part, std::string_view path = {}, std::string_view close = {}) {
    reason += first ? ": " : ", ";
    first = false;
    reason += part;
    reason += path;
    reason += close;
  };
  for (const Target& t : a.targets) {
    if (!t.path) continue;
    const std::string& path = *t.path;
    switch (t.scope) {
      case TargetScope::System: add("targeting system path ", path); break;
      case TargetScope::Home: add("targeting home directory"); break;
      case TargetScope::Root: add("targeting filesystem root"); break;
      default: break;
    }
    switch (t.sensitivity) {
      case Sensitivity::System: add("accessing system file (", path, ")"); break;
      case Sensitivity::Secrets: add("accessing secrets (", path, ")"); break;
      case Sensitivity::Protected: add("accessing protected path (", path, ")"); break;
      default: break;
    }
  }
  for (RiskFactor f : a.risk_factors) {
    const std::string_view phrase = kRiskFactorPhrase[static_cast<std::size_t>(f)];
    if (!phrase.empty()) add(phrase);
  }
  return reason;
}

}  // namespace corvane
