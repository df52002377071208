#include "corvane.h"

#include <algorithm>
#include <new>

#include "analyzer.h"
#include "rules/techniques.h"
#include "parser.h"
#include "pipeline.h"
#include "rule_effects.h"
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

// Techniques of every segment in order, each once: the command row's, or a
// custom command rule's in its place, then a block rule's.
std::vector<MitreMapping> mitre_mappings(const std::vector<SimpleCommand>& cmds,
                                         const std::vector<RuleEffect>& effects) {
  std::vector<MitreMapping> out;
  auto add = [&](std::string_view id) {
    if (id.empty()) return;
    const bool known = std::any_of(out.begin(), out.end(), [&](const MitreMapping& m) { return m.technique_id == id; });
    if (!known) out.push_back({std::string(id), get_mitre_name(id), get_mitre_tactic(id)});
  };
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    const RuleEffect* effect = i < effects.size() ? &effects[i] : nullptr;
    if (effect != nullptr && effect->techniques) {
      for (const std::string& id : *effect->techniques) add(id);
    } else if (cmds[i].rule != nullptr) {
      add(cmds[i].rule->technique);
    }
    if (effect != nullptr)
      for (const std::string& id : effect->extra_techniques) add(id);
  }
  return out;
}

std::string segment_reason(const std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects,
                           std::size_t i) {
  if (i < effects.size() && effects[i].reason) return *effects[i].reason;
  return generate_reason(cmds[i].analysis);
}

std::string line_reason(const std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects,
                        const std::optional<PipelineFlow>& flow) {
  if (cmds.size() == 1) return segment_reason(cmds, effects, 0);
  std::string joined;
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    if (i != 0) joined += " | ";
    joined += segment_reason(cmds, effects, i);
  }
  if (flow && !flow->taint_flows.empty())
    return "Pipeline: " + joined + "; " + flow->taint_flows.front().escalation_reason;
  return joined;
}

AnalysisResult classify_unchecked(std::string_view command, const ClassifyContext* ctx,
                                  const CompiledRules* rules) {
  ParsedCommand parsed = parse(command);
  const ParseConfidence confidence = confidence_of(parsed);
  const ShellKind shell = shell_of(ctx);

  // One working model per segment, built once; every step below reads it.
  std::vector<SimpleCommand> cmds;
  cmds.reserve(parsed.segments.size());
  for (CommandSegment& segment : parsed.segments)
    cmds.push_back(build_simple_command(std::move(segment), ctx, shell, parsed.warnings));
  std::vector<RuleEffect> effects;
  if (rules == nullptr) {
    for (SimpleCommand& cmd : cmds) score_simple_command(cmd, ctx);
  } else {
    effects.reserve(cmds.size());
    for (SimpleCommand& cmd : cmds) effects.push_back(rules->apply(cmd, ctx));
  }

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
  r.mitre_mappings = mitre_mappings(cmds, effects);
  r.reason = line_reason(cmds, effects, flow);
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

// The rule files of a call, read and reported, ready for matching.
class CallRules {
 public:
  explicit CallRules(const ClassifyContext* ctx) : set_(discover_rules(ctx)), compiled_(set_, ctx) {
    report_rule_errors(set_);
  }
  CallRules(RuleSet set, const ClassifyContext* ctx) : set_(std::move(set)), compiled_(set_, ctx) {}
  CallRules(const CallRules&) = delete;
  CallRules& operator=(const CallRules&) = delete;
  const CompiledRules* get() const noexcept { return compiled_.empty() ? nullptr : &compiled_; }

 private:
  RuleSet set_;
  CompiledRules compiled_;
};

Outcome<AnalysisResult> classify_inner(std::string_view command, const ClassifyContext* ctx,
                                       const RuleConfig* config) noexcept {
  return guarded([&] {
    // A configuration handed over directly is the caller's own: trusted.
    RuleSet set;
    if (config != nullptr) set.user = *config;
    const CallRules rules(std::move(set), ctx);
    return classify_unchecked(command, ctx, rules.get());
  });
}

Outcome<AnalysisResult> classify_inner(std::string_view command, const ClassifyContext* ctx,
                                       const RuleSet& set) noexcept {
  return guarded([&] {
    const CompiledRules rules(set, ctx);
    return classify_unchecked(command, ctx, rules.empty() ? nullptr : &rules);
  });
}

Outcome<AnalysisResult> classify(std::string_view command, const ClassifyContext* ctx) noexcept {
  return guarded([&] {
    const CallRules rules(ctx);
    return classify_unchecked(command, ctx, rules.get());
  });
}

Outcome<std::vector<AnalysisResult>> classify_batch(const std::vector<std::string>& commands,
                                                    const ClassifyContext* ctx) noexcept {
  return guarded([&] {
    const CallRules rules(ctx);
    std::vector<AnalysisResult> results;
    results.reserve(commands.size());
    for (const std::string& c : commands) results.push_back(classify_unchecked(c, ctx, rules.get()));
    return results;
  });
}

Outcome<std::uint8_t> risk_score(std::string_view command) noexcept {
  return guarded([&] {
    const CallRules rules(nullptr);
    return classify_unchecked(command, nullptr, rules.get()).score;
  });
}

Outcome<RiskLevel> risk_level(std::string_view command) noexcept {
  return guarded([&] {
    const CallRules rules(nullptr);
    return classify_unchecked(command, nullptr, rules.get()).level;
  });
}

std::string_view version() noexcept { return "0.1.0"; }

}  // namespace corvane
