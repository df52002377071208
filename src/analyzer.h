// Segment analysis: what one simple command does, to what, with which
// dangerous flags and abilities, and which risk factors it raises.
#pragma once

#include <cstdint>
#include <optional>
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

// Scores the segment: sets cmd.analysis.score, with every path check on the
// targets as matched.
void score_simple_command(SimpleCommand& cmd, const ClassifyContext* ctx);

// The same for `analysis`, the command's projection or a variant of it (a
// rule file's custom command in place of the built-in row, whose
// `base_weight` then replaces the intent's weight).
void score_simple_command(const SimpleCommand& cmd, CommandAnalysis& analysis,
                          const ClassifyContext* ctx,
                          std::optional<std::uint8_t> base_weight = std::nullopt);

// The projection alone, for callers that need no more than the result.
CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings);

}  // namespace corvane
