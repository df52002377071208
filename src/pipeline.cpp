#include "pipeline.h"

#include <algorithm>

namespace corvane {

// Stand-in until flow analysis lands: no flows, composite = highest score.
std::optional<PipelineFlow> analyze_pipeline(std::span<const CommandAnalysis> analyses,
                                             std::span<const Operator>) {
  if (analyses.size() < 2) return std::nullopt;
  PipelineFlow flow;
  for (const auto& a : analyses) flow.composite_score = std::max(flow.composite_score, a.score);
  return flow;
}

}  // namespace corvane
