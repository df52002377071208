#include "analyzer.h"

#include <algorithm>

#include "context.h"
#include "rules/capabilities.h"
#include "rules/commands.h"
#include "rules/injection.h"
#include "rules/paths.h"
#include "rules/zsh.h"
#include "text.h"

namespace corvane {
namespace {

// Paths are recognised by shape only: "./x", "/x", "~/x", anything with a "/"
// that is not an option, and the bare glob "*". Plain words such as
// "README.md" are not targets.
bool looks_like_path(std::string_view arg) {
  if (arg.empty()) return false;
  const char first = arg.front();
  if (first == '.' || first == '/' || first == '~') return true;
  if (first != '-' && text::contains(arg, '/')) return true;
  return arg == "*";
}

Sensitivity sensitivity_of(std::string_view path, const ClassifyContext* ctx) {
  if (ctx != nullptr) {
    for (const std::string& p : ctx->protected_paths)
      if (text::contains(path, p)) return Sensitivity::Protected;
  }
  if (auto m = rules::match_sensitivity(path)) return m->sensitivity;
  return Sensitivity::Normal;
}

void add_unique(std::vector<RiskFactor>& factors, RiskFactor f) {
  if (std::find(factors.begin(), factors.end(), f) == factors.end()) factors.push_back(f);
}

}  // namespace

CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings,
                                std::uint8_t* detector_weight) {
  CommandAnalysis a;
  a.command = std::move(segment.text);
  a.executable = std::move(segment.executable);
  const std::string_view text = a.command;

  // Command rule, and capabilities looked up independently with the same key.
  const rules::CommandRule* rule = a.executable ? rules::lookup_command(*a.executable) : nullptr;
  if (rule != nullptr) {
    a.intent = {rule->intent};
    a.reversibility = rule->reversibility;
    a.flags = rules::match_flag_rules(*rule, text);
  } else {
    a.intent = {Intent::Execute};
    a.reversibility = Reversibility::HardToReverse;
  }
  if (a.executable) a.capabilities = rules::lookup_capabilities(*a.executable);

  // Targets: path-like arguments, then every non-empty redirection target.
  auto add_target = [&](const std::string& path) {
    a.targets.push_back({path, resolve_scope(path, ctx), sensitivity_of(path, ctx)});
  };
  for (const Argument& arg : segment.arguments)
    if (looks_like_path(arg.text)) add_target(arg.text);
  for (const Redirection& r : segment.redirections)
    if (!r.target.empty()) add_target(r.target);
  if (a.targets.empty()) a.targets.push_back({std::nullopt, TargetScope::None, Sensitivity::Normal});

  // Risk factors: flags (repeats kept), detectors, then the line's warnings.
  for (const FlagAnalysis& f : a.flags) a.risk_factors.push_back(f.risk_factor);
  std::uint8_t weight = 0;
  for (const auto& m : rules::matching_patterns(rules::injection_rules(), text)) {
    add_unique(a.risk_factors, m.risk_factor);
    weight = std::max(weight, m.weight);
  }
  if (shell == ShellKind::Zsh) {
    for (const auto& m : rules::matching_patterns(rules::zsh_rules(), text)) {
      add_unique(a.risk_factors, m.risk_factor);
      weight = std::max(weight, m.weight);
    }
  }
  if (detector_weight != nullptr) *detector_weight = weight;
  for (const ParseWarning& w : warnings) {
    switch (w.kind) {
      case WarningKind::ControlCharacters:
      case WarningKind::UnicodeWhitespace:
        add_unique(a.risk_factors, RiskFactor::ShellInjection);
        break;
      case WarningKind::AnsiCQuoting:
        add_unique(a.risk_factors, RiskFactor::ObfuscatedCommand);
        break;
      default:
        break;
    }
  }
  return a;
}

}  // namespace corvane
