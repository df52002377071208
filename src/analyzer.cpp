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

SimpleCommand build_simple_command(CommandSegment segment, const ClassifyContext* ctx,
                                   ShellKind shell, std::span<const ParseWarning> warnings) {
  SimpleCommand cmd;
  CommandAnalysis& a = cmd.analysis;
  a.command = std::move(segment.text);
  cmd.redirections = std::move(segment.redirections);
  cmd.assignments = std::move(segment.assignments);
  cmd.in_subshell = segment.in_subshell;

  cmd.words.reserve(segment.arguments.size() + 1);
  if (segment.executable) {
    cmd.has_executable = true;
    cmd.words.push_back({*segment.executable, *segment.executable});
    a.executable = std::move(segment.executable);
  }
  for (Argument& arg : segment.arguments) cmd.words.push_back({arg.text, std::move(arg.text)});
  const std::string_view text = a.command;

  // Command rule, and capabilities looked up independently with the same key.
  cmd.rule = cmd.has_executable ? rules::lookup_command(cmd.program()) : nullptr;
  if (cmd.rule != nullptr) {
    a.intent = {cmd.rule->intent};
    a.reversibility = cmd.rule->reversibility;
    a.flags = rules::match_flag_rules(*cmd.rule, text);
  } else {
    a.intent = {Intent::Execute};
    a.reversibility = Reversibility::HardToReverse;
  }
  if (cmd.has_executable) a.capabilities = rules::lookup_capabilities(cmd.program());

  // Targets: path-like arguments, then every non-empty redirection target.
  auto add_target = [&](const std::string& written, const std::string& value) {
    Target shown{written, resolve_scope(value, ctx), sensitivity_of(value, ctx)};
    a.targets.push_back(shown);
    cmd.targets.push_back({std::move(shown), value, false});
  };
  for (const Word& w : cmd.arguments())
    if (looks_like_path(w.value)) add_target(w.written, w.value);
  for (const Redirection& r : cmd.redirections)
    if (!r.target.empty()) add_target(r.target, r.target);
  if (a.targets.empty()) a.targets.push_back({std::nullopt, TargetScope::None, Sensitivity::Normal});

  // Risk factors: flags (repeats kept), detectors, then the line's warnings.
  for (const FlagAnalysis& f : a.flags) a.risk_factors.push_back(f.risk_factor);
  cmd.detections = rules::matching_patterns(rules::injection_rules(), text);
  if (shell == ShellKind::Zsh) {
    for (rules::PatternMatch& m : rules::matching_patterns(rules::zsh_rules(), text))
      cmd.detections.push_back(m);
  }
  for (const rules::PatternMatch& m : cmd.detections) {
    add_unique(a.risk_factors, m.risk_factor);
    cmd.detector_weight = std::max(cmd.detector_weight, m.weight);
  }
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
  return cmd;
}

CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings) {
  return build_simple_command(std::move(segment), ctx, shell, warnings).analysis;
}

}  // namespace corvane
