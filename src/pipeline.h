// Pipeline taint analysis: data flowing from taint sources (secrets, the
// environment, downloads, reads) into sinks (the network, execution, files)
// across the segments of a line.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "parser.h"
#include "simple_command.h"
#include "types.h"

namespace corvane {

// Most taint flows recorded for one line. Every source is paired with every
// later sink it is piped into, so a long pasted line of alternating sources
// and sinks would otherwise produce a number of flows quadratic in its
// length. The first flows in scan order are kept; the composite score is
// still computed over all of them.
inline constexpr std::size_t kMaxTaintFlows = 1000;

// Nothing for fewer than two segments. `operators[i]` joins segment i and
// segment i+1; a missing entry counts as a pipe.
std::optional<PipelineFlow> analyze_pipeline(std::span<const CommandAnalysis> analyses,
                                             std::span<const Operator> operators);

// The same over the segments' working models, which name the program each
// segment runs.
std::optional<PipelineFlow> analyze_pipeline(std::span<const SimpleCommand> commands,
                                             std::span<const Operator> operators);

}  // namespace corvane
