// Scoring and reason text of one analysed segment.
#pragma once

#include <string>

#include "types.h"

namespace corvane {

// Computes the segment's score (0..100) from intent, targets, flags, context,
// reversibility and the detectors, and stores it in `analysis.score`.
void score_command(CommandAnalysis& analysis, const ClassifyContext* ctx);

// The same with the detector term already known: the highest weight of the
// injection rows (and, for zsh, the zsh rows) matching `analysis.command`.
void score_command(CommandAnalysis& analysis, const ClassifyContext* ctx, std::uint8_t detector_term);

// One-line human-readable reason, e.g. "File deletion: targeting filesystem
// root, recursive deletion". Does not read the score.
std::string generate_reason(const CommandAnalysis& analysis);

}  // namespace corvane
