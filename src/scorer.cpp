#include "scorer.h"

#include <algorithm>
#include <array>

#include "context.h"
#include "rules/injection.h"
#include "rules/reasons.h"
#include "rules/weights.h"
#include "rules/zsh.h"

namespace corvane {
namespace {

using rules::kIntentPhrase;
using rules::kIntentWeight;
using rules::kReversibilityModifier;
using rules::kRiskFactorPhrase;
using rules::kScopeWeight;
using rules::kSensitivityWeight;

template <typename E>
int weight(const std::array<int, kEnumSize<E>>& table, E v) {
  return table[ordinal(v)];
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

void score_command(CommandAnalysis& a, const ClassifyContext* ctx, std::uint8_t detector_weight,
                   std::optional<std::uint8_t> base_weight) {
  score_command(a, ctx, detector_weight, base_weight, {});
}

void score_command(CommandAnalysis& a, const ClassifyContext* ctx, std::uint8_t detector_weight,
                   std::optional<std::uint8_t> base_weight,
                   std::span<const std::string_view> matched_paths) {
  const int detector = detector_weight;
  int intent = 0;
  for (Intent i : a.intent) intent = std::max(intent, weight(kIntentWeight, i));
  if (base_weight) intent = *base_weight;

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
  for (std::size_t i = 0; i < a.targets.size(); ++i) {
    const Target& t = a.targets[i];
    if (!t.path) continue;
    const std::string_view path = i < matched_paths.size() ? matched_paths[i] : *t.path;
    const int adj = context_adjustment(path, primary, ctx);
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
                                      : kIntentPhrase[ordinal(a.intent.front())]);
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
    const std::string_view phrase = kRiskFactorPhrase[ordinal(f)];
    if (!phrase.empty()) add(phrase);
  }
  return reason;
}

}  // namespace corvane
