// Segment analysis: what one simple command does, to what, with which
// dangerous flags and abilities, and which risk factors it raises.
#pragma once

#include <span>

#include "parser.h"
#include "types.h"

namespace corvane {

// Every field filled in except the score, which is left at 0 for the scorer.
// `warnings` are those of the whole line; the same list goes to every segment.
// The segment is taken by value so that a caller done with it can move its
// texts into the analysis.
// When `detector_weight` is given, it receives the highest weight among the
// detector rows that matched (0 for none): the scorer's detector term, so
// that the driver need not run the detectors a second time.
CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings,
                                std::uint8_t* detector_weight = nullptr);

}  // namespace corvane
