#include "corvane.h"

#include <algorithm>
#include <new>

#include "analyzer.h"
#include "rules/techniques.h"
#include "parser.h"
#include "pipeline.h"
#include "rules/commands.h"
#include "scorer.h"
#include "text.h"

namespace corvane {
namespace {

ParseConfidence confidence_of(const ParsedCommand& parsed) {
  const bool error = std::any_of(parsed.warnings.begin(), parsed.warnings.end(),
                                 [](const ParseWarning& w) { return w.kind == WarningKind::ParseError; });
  if (!error) return ParseConfidence::Full;
  if (parsed.segments.size() >= 2 || parsed.segments.front().executable)
    return ParseConfidence::Partial;
  return ParseConfidence::Fallback;
}

void apply_overrides(std::vector<SimpleCommand>& cmds, const RuleConfig& config) {
  if (config.overrides.empty()) return;
  for (SimpleCommand& cmd : cmds) {
    CommandAnalysis& a = cmd.analysis;
    if (!a.executable) continue;
    const std::string_view name = text::base_name(*a.executable);
    for (const ScoreOverride& o : config.overrides) {
      if (o.command != name) continue;
      a.score = std::max(a.score, o.score);  // an override never lowers a score
      break;
    }
  }
}

// Risk factors of all segments, sorted by spelling, without repeats.
std::vector<RiskFactor> merged_risk_factors(const std::vector<SimpleCommand>& cmds) {
  std::array<bool, kRiskFactorCount> seen{};
  for (const SimpleCommand& cmd : cmds)
    for (RiskFactor f : cmd.analysis.risk_factors) seen[static_cast<std::size_t>(f)] = true;
  std::vector<RiskFactor> out;
  for (std::size_t i = 0; i < seen.size(); ++i)
    if (seen[i]) out.push_back(static_cast<RiskFactor>(i));
  std::sort(out.begin(), out.end(),
            [](RiskFactor a, RiskFactor b) { return to_string(a) < to_string(b); });
  return out;
}

std::vector<MitreMapping> mitre_mappings(const std::vector<SimpleCommand>& cmds) {
  std::vector<MitreMapping> out;
  for (const SimpleCommand& cmd : cmds) {
    const rules::CommandRule* rule = cmd.rule;
    if (rule == nullptr || rule->technique.empty()) continue;
    const bool known = std::any_of(out.begin(), out.end(), [&](const MitreMapping& m) {
      return m.technique_id == rule->technique;
    });
    if (known) continue;
    out.push_back({std::string(rule->technique), get_mitre_name(rule->technique),
                   get_mitre_tactic(rule->technique)});
  }
  return out;
}

std::string line_reason(const std::vector<SimpleCommand>& cmds,
                        const std::optional<PipelineFlow>& flow) {
  if (cmds.size() == 1) return generate_reason(cmds.front().analysis);
  std::string joined;
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    if (i != 0) joined += " | ";
    joined += generate_reason(cmds[i].analysis);
  }
  if (flow && !flow->taint_flows.empty())
    return "Pipeline: " + joined + "; " + flow->taint_flows.front().escalation_reason;
  return joined;
}

AnalysisResult classify_unchecked(std::string_view command, const ClassifyContext* ctx,
                                  const RuleConfig* config) {
  ParsedCommand parsed = parse(command);
  const ParseConfidence confidence = confidence_of(parsed);
  const ShellKind shell = shell_of(ctx);

  // One working model per segment, built once; every step below reads it.
  std::vector<SimpleCommand> cmds;
  cmds.reserve(parsed.segments.size());
  for (CommandSegment& segment : parsed.segments)
    cmds.push_back(build_simple_command(std::move(segment), ctx, shell, parsed.warnings));
  for (SimpleCommand& cmd : cmds) score_command(cmd.analysis, ctx, cmd.detector_weight);
  if (config != nullptr) apply_overrides(cmds, *config);

  std::optional<PipelineFlow> flow = analyze_pipeline(std::span<const SimpleCommand>(cmds), parsed.operators);

  int score = 0;
  for (const SimpleCommand& cmd : cmds) score = std::max<int>(score, cmd.analysis.score);
  if (flow) score = std::max<int>(score, flow->composite_score);
  if (confidence == ParseConfidence::Partial) score = std::min(score + 5, 100);
  if (confidence == ParseConfidence::Fallback) score = std::min(score + 10, 100);

  AnalysisResult r;
  r.command = std::string(command);
  r.score = static_cast<std::uint8_t>(score);
  r.level = level_for_score(r.score);
  r.quick_decision = decision_for_score(r.score);
  r.risk_factors = merged_risk_factors(cmds);
  r.mitre_mappings = mitre_mappings(cmds);
  r.reason = line_reason(cmds, flow);
  r.sub_commands.reserve(cmds.size());
  for (SimpleCommand& cmd : cmds) r.sub_commands.push_back(std::move(cmd.analysis));
  r.pipeline_flow = std::move(flow);
  r.parse_confidence = confidence;
  return r;
}

// Runs `body`, turning every failure into a Fault so that nothing escapes.
template <typename F>
auto guarded(F&& body) noexcept -> Outcome<decltype(body())> {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fault{Fault::Kind::OutOfMemory, "out of memory"};
  } catch (const GrammarError& e) {
    return Fault{Fault::Kind::Internal, e.message};
  } catch (const std::exception& e) {
    return Fault{Fault::Kind::Internal, e.what()};
  } catch (...) {
    return Fault{Fault::Kind::Internal, "internal error"};
  }
}

}  // namespace

RiskLevel level_for_score(std::uint8_t score) noexcept {
  if (score <= 20) return RiskLevel::Safe;
  if (score <= 50) return RiskLevel::Caution;
  if (score <= 80) return RiskLevel::Danger;
  return RiskLevel::Critical;
}

QuickDecision decision_for_score(std::uint8_t score) noexcept {
  if (score <= 20) return QuickDecision::Safe;
  if (score <= 80) return QuickDecision::Risky;
  return QuickDecision::Blocked;
}

Outcome<AnalysisResult> classify_inner(std::string_view command, const ClassifyContext* ctx,
                                       const RuleConfig* config) noexcept {
  return guarded([&] { return classify_unchecked(command, ctx, config); });
}

Outcome<AnalysisResult> classify(std::string_view command, const ClassifyContext* ctx) noexcept {
  return guarded([&] {
    const std::optional<RuleConfig> config = RuleConfig::discover(ctx);
    return classify_unchecked(command, ctx, config ? &*config : nullptr);
  });
}

Outcome<std::vector<AnalysisResult>> classify_batch(const std::vector<std::string>& commands,
                                                    const ClassifyContext* ctx) noexcept {
  return guarded([&] {
    const std::optional<RuleConfig> config = RuleConfig::discover(ctx);
    std::vector<AnalysisResult> results;
    results.reserve(commands.size());
    for (const std::string& c : commands)
      results.push_back(classify_unchecked(c, ctx, config ? &*config : nullptr));
    return results;
  });
}

Outcome<std::uint8_t> risk_score(std::string_view command) noexcept {
  return guarded([&] {
    const std::optional<RuleConfig> config = RuleConfig::discover(nullptr);
    return classify_unchecked(command, nullptr, config ? &*config : nullptr).score;
  });
}

Outcome<RiskLevel> risk_level(std::string_view command) noexcept {
  return guarded([&] {
    const std::optional<RuleConfig> config = RuleConfig::discover(nullptr);
    return classify_unchecked(command, nullptr, config ? &*config : nullptr).level;
  });
}

std::string_view version() noexcept { return "0.1.0"; }

}  // namespace corvane
