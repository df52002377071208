#include "corvane.h"

#include <algorithm>
#include <new>

#include "analyzer.h"
#include "nested.h"
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
// `extra`: factors the line takes from elsewhere (its unwrapped form).
std::vector<RiskFactor> merged_risk_factors(const std::vector<SimpleCommand>& cmds,
                                            const std::vector<RiskFactor>& extra) {
  std::array<bool, kEnumSize<RiskFactor>> seen{};
  for (const SimpleCommand& cmd : cmds)
    for (RiskFactor f : cmd.analysis.risk_factors) seen[ordinal(f)] = true;
  for (RiskFactor f : extra) seen[ordinal(f)] = true;
  std::vector<RiskFactor> out;
  for (std::size_t i = 0; i < seen.size(); ++i)
    if (seen[i]) out.push_back(static_cast<RiskFactor>(i));
  std::sort(out.begin(), out.end(),
            [](RiskFactor a, RiskFactor b) { return to_string(a) < to_string(b); });
  return out;
}

// What the command lines nested in one segment added to it.
struct NestedFindings {
  std::optional<std::string> own_reason;  // the segment's reason before they joined
  std::string reason;                     // appended to it
  std::vector<MitreMapping> techniques;   // of the nested lines, after the segment's own
};

// How deep the classification is inside nested command text, and how many
// bytes of nested text it may still classify.
struct Nesting {
  std::size_t depth = 0;
  std::size_t budget = 0;
};

// Past the nesting limits a line is never taken for safe.
constexpr std::uint8_t kNestingLimitFloor = 70;

void add_mapping(std::vector<MitreMapping>& out, const MitreMapping& m) {
  const bool known = std::any_of(out.begin(), out.end(), [&](const MitreMapping& o) {
    return o.technique_id == m.technique_id;
  });
  if (!known) out.push_back(m);
}

// Techniques of every segment in order, each once: the command row's, or a
// custom command rule's in its place, then a block rule's, then those of the
// command lines nested in it.
std::vector<MitreMapping> mitre_mappings(const std::vector<SimpleCommand>& cmds,
                                         const std::vector<RuleEffect>& effects,
                                         const std::vector<NestedFindings>& nested) {
  std::vector<MitreMapping> out;
  auto add = [&](std::string_view id) {
    if (id.empty()) return;
    add_mapping(out, {std::string(id), get_mitre_name(id), get_mitre_tactic(id)});
  };
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    const RuleEffect* effect = i < effects.size() ? &effects[i] : nullptr;
    // A wrapper's own technique (sudo's) comes before the command it runs.
    if (cmds[i].wrapper_rule != nullptr) add(cmds[i].wrapper_rule->technique);
    if (effect != nullptr && effect->techniques) {
      for (const std::string& id : *effect->techniques) add(id);
    } else if (cmds[i].rule != nullptr) {
      add(cmds[i].rule->technique);
    }
    if (effect != nullptr)
      for (const std::string& id : effect->extra_techniques) add(id);
    for (const MitreMapping& m : nested[i].techniques) add_mapping(out, m);
  }
  return out;
}

// The segment's own reason: a rule's, or the generated one.
std::string own_reason(const std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects,
                       std::size_t i) {
  if (i < effects.size() && effects[i].reason) return *effects[i].reason;
  return generate_reason(cmds[i].analysis);
}

std::string segment_reason(const std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects,
                           const std::vector<NestedFindings>& nested, std::size_t i) {
  const NestedFindings& n = nested[i];
  return (n.own_reason ? *n.own_reason : own_reason(cmds, effects, i)) + n.reason;
}

std::string line_reason(const std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects,
                        const std::vector<NestedFindings>& nested, const std::optional<PipelineFlow>& flow) {
  if (cmds.size() == 1) return segment_reason(cmds, effects, nested, 0);
  std::string joined;
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    if (i != 0) joined += " | ";
    joined += segment_reason(cmds, effects, nested, i);
  }
  if (flow && !flow->taint_flows.empty())
    return "Pipeline: " + joined + "; " + flow->taint_flows.front().escalation_reason;
  return joined;
}

// A nested command line as the reason shows it: white space runs made one
// space, and long text cut at a character boundary.
std::string shown_command(std::string_view line) {
  constexpr std::size_t kShown = 60;
  std::string out;
  for (char c : line) {
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out.push_back(space ? ' ' : c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() <= kShown) return out;
  std::size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
  out.resize(cut);
  return out + "...";
}

bool has_factor(const std::vector<RiskFactor>& factors, RiskFactor f) {
  return std::find(factors.begin(), factors.end(), f) != factors.end();
}

AnalysisResult classify_line(std::string_view command, const ClassifyContext* ctx,
                             const CompiledRules* rules, Nesting& nesting);

// Classifies each command line nested in a segment as a line of its own.
// Its risk factors and techniques join the segment's; one that scores higher
// than the segment also raises it to that score and names itself in the
// reason: running a command is at least as risky as the command. Past the depth or size limit a line is not
// classified; the segment is then held at a floor and says why.
void look_inside(std::vector<SimpleCommand>& cmds, const std::vector<RuleEffect>& effects, std::size_t i,
                 NestedFindings& found, const std::vector<std::string>& lines, const ClassifyContext* ctx,
                 const CompiledRules* rules, Nesting& nesting) {
  CommandAnalysis& seg = cmds[i].analysis;
  // The reason keeps the segment's own words; what the nested lines add to
  // it follows as "; runs ...".
  if (!found.own_reason) found.own_reason = own_reason(cmds, effects, i);
  bool limit = false;
  for (const std::string& line : lines) {
    if (nesting.depth >= nested::kMaxDepth || line.size() > nesting.budget) {
      limit = true;
      continue;
    }
    nesting.budget -= line.size();
    ++nesting.depth;
    const AnalysisResult inner = classify_line(line, ctx, rules, nesting);
    --nesting.depth;
    if (has_factor(inner.risk_factors, RiskFactor::NestingLimit)) limit = true;
    // What the nested line does is part of what the segment does, whatever
    // the scores: `find ~ -exec sudo chown ...` escalates privileges.
    for (RiskFactor f : inner.risk_factors)
      if (f != RiskFactor::NestingLimit && !has_factor(seg.risk_factors, f)) seg.risk_factors.push_back(f);
    for (const MitreMapping& m : inner.mitre_mappings) add_mapping(found.techniques, m);
    if (inner.score <= seg.score) continue;
    seg.score = inner.score;
    found.reason += "; runs \"" + shown_command(line) + "\": " + inner.reason;
  }
  if (limit) {
    found.reason += "; nested commands beyond the inspection limit";
    seg.score = std::max(seg.score, kNestingLimitFloor);
    if (!has_factor(seg.risk_factors, RiskFactor::NestingLimit)) seg.risk_factors.push_back(RiskFactor::NestingLimit);
  }
}

AnalysisResult classify_line(std::string_view command, const ClassifyContext* ctx,
                             const CompiledRules* rules, Nesting& nesting) {
  ParsedCommand parsed = parse(command);
  const ParseConfidence confidence = confidence_of(parsed);
  const ShellKind shell = shell_of(ctx);

  // Command text the segments run, found before the analyzer takes them over.
  std::vector<std::vector<std::string>> nested_lines(parsed.segments.size());
  for (std::size_t i = 0; i < parsed.segments.size(); ++i)
    nested_lines[i] = nested::command_lines(parsed.segments[i]);
  // Data piped into a wrapper reaches the command it runs.
  const bool piped = std::find(parsed.operators.begin(), parsed.operators.end(), Operator::Pipe) !=
                     parsed.operators.end();
  const std::optional<std::string> unwrapped =
      piped ? nested::without_wrappers(command, parsed.segments) : std::nullopt;

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
  std::vector<NestedFindings> nested(cmds.size());
  for (std::size_t i = 0; i < cmds.size(); ++i)
    if (!nested_lines[i].empty()) look_inside(cmds, effects, i, nested[i], nested_lines[i], ctx, rules, nesting);

  std::optional<PipelineFlow> flow = analyze_pipeline(std::span<const SimpleCommand>(cmds), parsed.operators);

  int score = 0;
  for (const SimpleCommand& cmd : cmds) score = std::max<int>(score, cmd.analysis.score);
  if (flow) score = std::max<int>(score, flow->composite_score);
  if (confidence == ParseConfidence::Partial) score = std::min(score + 5, 100);
  if (confidence == ParseConfidence::Fallback) score = std::min(score + 10, 100);

  // The line with its wrappers taken out, when it scores higher, lends the
  // line its flow: the escalation of what was piped into the wrapped command.
  std::vector<RiskFactor> unwrapped_factors;
  std::vector<MitreMapping> unwrapped_techniques;
  if (unwrapped && nesting.depth < nested::kMaxDepth && unwrapped->size() <= nesting.budget) {
    nesting.budget -= unwrapped->size();
    ++nesting.depth;
    AnalysisResult plain = classify_line(*unwrapped, ctx, rules, nesting);
    --nesting.depth;
    if (plain.score > score && plain.pipeline_flow) {
      score = plain.score;
      flow = std::move(plain.pipeline_flow);
      unwrapped_factors = std::move(plain.risk_factors);
      unwrapped_techniques = std::move(plain.mitre_mappings);
    }
  }

  AnalysisResult r;
  r.command = std::string(command);
  r.score = static_cast<std::uint8_t>(score);
  r.level = level_for_score(r.score);
  r.quick_decision = decision_for_score(r.score);
  r.risk_factors = merged_risk_factors(cmds, unwrapped_factors);
  r.mitre_mappings = mitre_mappings(cmds, effects, nested);
  for (const MitreMapping& m : unwrapped_techniques) add_mapping(r.mitre_mappings, m);
  r.reason = line_reason(cmds, effects, nested, flow);
  r.sub_commands.reserve(cmds.size());
  for (SimpleCommand& cmd : cmds) r.sub_commands.push_back(std::move(cmd.analysis));
  r.pipeline_flow = std::move(flow);
  r.parse_confidence = confidence;
  return r;
}

AnalysisResult classify_unchecked(std::string_view command, const ClassifyContext* ctx,
                                  const CompiledRules* rules) {
  // All nested text together may be as long as the line itself, plus some
  // room so that short lines can nest a few levels (every level repeats
  // most of the one around it): re-reading stays linear in the line, with
  // a small factor, whatever it nests.
  constexpr std::size_t kNestingRoom = 4096;
  Nesting nesting{0, command.size() + kNestingRoom};
  return classify_line(command, ctx, rules, nesting);
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

Outcome<std::vector<AnalysisResult>> classify_batch_inner(const std::vector<std::string>& commands,
                                                          const ClassifyContext* ctx,
                                                          const RuleSet& set) noexcept {
  return guarded([&] {
    const CompiledRules rules(set, ctx);
    std::vector<AnalysisResult> results;
    results.reserve(commands.size());
    for (const std::string& c : commands)
      results.push_back(classify_unchecked(c, ctx, rules.empty() ? nullptr : &rules));
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
