// Pipeline taint analysis: data flowing from taint sources (secrets, the
// environment, downloads, reads) into sinks (the network, execution, files)
// across the segments of a line.
#pragma once

#include <optional>
#include <span>

#include "parser.h"
#include "types.h"

namespace corvane {

// Nothing for fewer than two segments. At most kMaxTaintFlows flows are
// recorded; the composite score always reflects every flow.
std::optional<PipelineFlow> analyze_pipeline(std::span<const CommandAnalysis> analyses,
                                             std::span<const Operator> operators);

inline constexpr std::size_t kMaxTaintFlows = 1000;

}  // namespace corvane
