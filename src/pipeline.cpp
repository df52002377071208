#include "pipeline.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "rules/escalations.h"
#include "rules/flow_roles.h"
#include "text.h"

namespace corvane {
namespace {

using rules::EscalationRule;
using rules::TaintSinkKind;
using rules::TaintSourceKind;

using rules::kDownloaders;
using rules::kEncoders;
using rules::kEncodingMethod;
using rules::kSocketTools;

constexpr std::size_t kSourceKinds = kEnumSize<rules::TaintSourceKind>;

template <std::size_t N>
bool is_one_of(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool has_intent(const CommandAnalysis& a, Intent intent) {
  return std::find(a.intent.begin(), a.intent.end(), intent) != a.intent.end();
}

// What the flow analysis reads of one segment: its analysis, and the lookup
// key of the program it runs (empty when it runs none), taken from the
// segment's working model when there is one.
struct Stage {
  const CommandAnalysis& a;
  std::string_view program;
};

bool runs_one_of(const Stage& s, auto const& names) {
  return !s.program.empty() && is_one_of(names, s.program);
}

// Path of the first target that names one, or "" when none does.
std::string first_path(const CommandAnalysis& a) {
  for (const Target& t : a.targets)
    if (t.path) return *t.path;
  return {};
}

FlowType flow_type_of(std::span<const Operator> operators) {
  if (operators.empty()) return FlowType::Pipe;
  bool pipe = false, and_ = false, or_ = false, sequence = false;
  for (Operator op : operators) {
    switch (op) {
      case Operator::Pipe: pipe = true; break;
      case Operator::And: and_ = true; break;
      case Operator::Or: or_ = true; break;
      case Operator::Sequence: sequence = true; break;
      case Operator::Background: break;  // does not say how data moves
    }
  }
  if (int{pipe} + int{and_} + int{or_} + int{sequence} >= 2) return FlowType::Mixed;
  if (pipe) return FlowType::Pipe;
  if (and_) return FlowType::And;
  if (or_) return FlowType::Or;
  return FlowType::Sequence;  // also a line joined by "&" only
}

std::optional<TaintSourceKind> classify_source(const Stage& s) {
  const CommandAnalysis& a = s.a;
  // Only the first sensitive target decides; without a read it falls through.
  auto sensitive = std::find_if(a.targets.begin(), a.targets.end(), [](const Target& t) {
    return t.sensitivity == Sensitivity::System || t.sensitivity == Sensitivity::Secrets ||
           t.sensitivity == Sensitivity::Protected;
  });
  if (sensitive != a.targets.end() && has_intent(a, Intent::Read))
    return TaintSourceKind::SensitiveFile;
  if (has_intent(a, Intent::EnvModify) || text::contains(a.command, "printenv") ||
      text::contains(a.command, '$'))
    return TaintSourceKind::EnvironmentVar;
  // A download tool that is itself sending data out is no download.
  if (has_intent(a, Intent::Network) && runs_one_of(s, kDownloaders) &&
      std::find(a.risk_factors.begin(), a.risk_factors.end(), RiskFactor::NetworkExfiltration) ==
          a.risk_factors.end())
    return TaintSourceKind::NetworkDownload;
  if (has_intent(a, Intent::Read) || has_intent(a, Intent::Search) || has_intent(a, Intent::Info))
    return TaintSourceKind::AnyRead;
  return std::nullopt;
}

std::optional<TaintSinkKind> classify_sink(const Stage& s) {
  const CommandAnalysis& a = s.a;
  if (has_intent(a, Intent::Execute)) return TaintSinkKind::Execution;
  if (has_intent(a, Intent::Network)) {
    const bool exfiltrating_flag =
        std::any_of(a.flags.begin(), a.flags.end(), [](const FlagAnalysis& f) {
          return f.risk_factor == RiskFactor::NetworkExfiltration;
        });
    if (exfiltrating_flag || runs_one_of(s, kSocketTools)) return TaintSinkKind::NetworkSend;
  }
  if (has_intent(a, Intent::Write)) return TaintSinkKind::FileWrite;
  return std::nullopt;
}

// What one segment can be in a flow, worked out once per segment.
struct SegmentRole {
  std::optional<TaintSourceKind> source;
  // Sink kind, only when the segment's input is piped from the one before.
  std::optional<TaintSinkKind> sink;
};

// The segments of a line with their roles, and the encoder count of every
// prefix so that "is there an encoder between i and j" costs O(1).
class Roles {
 public:
  Roles(std::span<const Stage> stages, std::span<const Operator> operators)
      : roles_(stages.size()), encoders_before_(stages.size() + 1, 0) {
    for (std::size_t i = 0; i < stages.size(); ++i) {
      const Stage& a = stages[i];
      roles_[i].source = classify_source(a);
      // Only the operator directly before a segment says whether it reads the
      // pipe; segments with no operator recorded before them count as piped.
      const bool piped = i == 0 || i - 1 >= operators.size() || operators[i - 1] == Operator::Pipe;
      if (i > 0 && piped) roles_[i].sink = classify_sink(a);
      encoders_before_[i + 1] = encoders_before_[i] + (runs_one_of(a, kEncoders) ? 1 : 0);
    }
  }

  std::size_t size() const { return roles_.size(); }
  const SegmentRole& operator[](std::size_t i) const { return roles_[i]; }

  // An encoder among the segments strictly between i and j (i < j).
  bool encoded_between(std::size_t i, std::size_t j) const {
    return encoders_before_[j] > encoders_before_[i + 1];
  }

 private:
  std::vector<SegmentRole> roles_;
  std::vector<std::size_t> encoders_before_;  // [k]: encoders among segments 0..k-1
};

TaintFlow make_flow(const CommandAnalysis& from, TaintSourceKind source_kind,
                    const CommandAnalysis& to, TaintSinkKind sink_kind, bool has_encoding,
                    bool has_between, const EscalationRule& rule) {
  TaintFlow flow;
  switch (source_kind) {
    case TaintSourceKind::SensitiveFile:
      flow.source = {TaintSourceType::SensitiveFile, first_path(from)};
      break;
    case TaintSourceKind::EnvironmentVar: flow.source = {TaintSourceType::EnvironmentVar, {}}; break;
    case TaintSourceKind::NetworkDownload: flow.source = {TaintSourceType::CommandOutput, {}}; break;
    case TaintSourceKind::AnyRead: flow.source = {TaintSourceType::Stdin, {}}; break;
  }
  if (has_encoding)
    flow.propagators.push_back({TaintPropType::Encoding, std::string(kEncodingMethod)});
  else if (has_between)
    flow.propagators.push_back({TaintPropType::Passthrough, {}});
  switch (sink_kind) {
    case TaintSinkKind::NetworkSend: flow.sink = {TaintSinkType::NetworkSend, {}}; break;
    case TaintSinkKind::Execution: flow.sink = {TaintSinkType::Execution, {}}; break;
    case TaintSinkKind::FileWrite: flow.sink = {TaintSinkType::FileWrite, first_path(to)}; break;
  }
  flow.escalation = rule.bonus;
  flow.escalation_reason = std::string(rule.description);
  return flow;
}

// The flows in scan order (each source, then each later sink it is piped
// into), stopping at kMaxTaintFlows.
std::vector<TaintFlow> collect_flows(std::span<const Stage> stages, const Roles& roles) {
  std::vector<std::size_t> sinks;  // ascending
  for (std::size_t j = 0; j < roles.size(); ++j)
    if (roles[j].sink) sinks.push_back(j);

  std::vector<TaintFlow> flows;
  for (std::size_t i = 0; i + 1 < roles.size(); ++i) {
    const auto source = roles[i].source;
    if (!source) continue;
    for (auto it = std::upper_bound(sinks.begin(), sinks.end(), i); it != sinks.end(); ++it) {
      const std::size_t j = *it;
      const TaintSinkKind sink = *roles[j].sink;
      const bool has_encoding = roles.encoded_between(i, j);
      const EscalationRule* rule = rules::find_taint_escalation(*source, sink, has_encoding);
      if (rule == nullptr) continue;
      flows.push_back(make_flow(stages[i].a, *source, stages[j].a, sink, has_encoding, j > i + 1,
                                *rule));
      if (flows.size() == kMaxTaintFlows) return flows;
    }
  }
  return flows;
}

// Highest bonus over every source-to-sink pair of the line, recorded or not,
// in one pass. For a sink j and a source kind, has_encoding can only grow as
// the source moves further back, so two pairs settle which encodings occur:
// the nearest source of that kind before j (an unencoded pair exists iff this
// one is unencoded) and the farthest one (an encoded pair exists iff this one
// is encoded). Nothing when no pair has an escalation rule.
std::optional<std::uint8_t> highest_escalation(const Roles& roles) {
  std::array<std::optional<std::size_t>, kSourceKinds> first{}, last{};
  std::optional<std::uint8_t> best;
  auto consider = [&](const EscalationRule* rule) {
    if (rule != nullptr && (!best || rule->bonus > *best)) best = rule->bonus;
  };
  for (std::size_t j = 0; j < roles.size(); ++j) {
    if (const auto sink = roles[j].sink) {
      for (std::size_t k = 0; k < kSourceKinds; ++k) {
        if (!first[k]) continue;
        const auto kind = static_cast<TaintSourceKind>(k);
        consider(rules::find_taint_escalation(kind, *sink, roles.encoded_between(*last[k], j)));
        consider(rules::find_taint_escalation(kind, *sink, roles.encoded_between(*first[k], j)));
      }
    }
    if (const auto source = roles[j].source) {
      const std::size_t k = ordinal(*source);
      if (!first[k]) first[k] = j;
      last[k] = j;
    }
  }
  return best;
}

std::optional<PipelineFlow> analyze_stages(std::span<const Stage> stages,
                                           std::span<const Operator> operators) {
  if (stages.size() < 2) return std::nullopt;

  PipelineFlow result;
  result.flow_type = flow_type_of(operators);

  const Roles roles(stages, operators);
  result.taint_flows = collect_flows(stages, roles);

  int composite = 0;
  for (const Stage& s : stages) composite = std::max<int>(composite, s.a.score);
  if (const auto bonus = highest_escalation(roles))
    composite = std::min(100, composite + int{*bonus});
  result.composite_score = static_cast<std::uint8_t>(composite);
  return result;
}

}  // namespace

std::optional<PipelineFlow> analyze_pipeline(std::span<const CommandAnalysis> analyses,
                                             std::span<const Operator> operators) {
  if (analyses.size() < 2) return std::nullopt;
  std::vector<Stage> stages;
  stages.reserve(analyses.size());
  for (const CommandAnalysis& a : analyses)
    stages.push_back({a, a.executable ? text::base_name(*a.executable) : std::string_view{}});
  return analyze_stages(stages, operators);
}

std::optional<PipelineFlow> analyze_pipeline(std::span<const SimpleCommand> commands,
                                             std::span<const Operator> operators) {
  if (commands.size() < 2) return std::nullopt;
  std::vector<Stage> stages;
  stages.reserve(commands.size());
  for (const SimpleCommand& c : commands) stages.push_back({c.analysis, c.program()});
  return analyze_stages(stages, operators);
}

}  // namespace corvane
