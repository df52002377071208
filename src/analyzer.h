// Segment analysis: what one simple command does, to what, with which
// dangerous flags and abilities, and which risk factors it raises.
#pragma once

#include <span>

#include "parser.h"
#include "simple_command.h"
#include "types.h"

namespace corvane {

// Builds the working model of one segment: every field of its analysis
// filled in except the score, which is left at 0 for the scorer.
// `warnings` are those of the whole line; the same list goes to every
// segment. The segment is taken by value so that its texts can be moved in.
SimpleCommand build_simple_command(CommandSegment segment, const ClassifyContext* ctx,
                                   ShellKind shell, std::span<const ParseWarning> warnings);

// The projection alone, for callers that need no more than the result.
CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings);

}  // namespace corvane
