// Scoring and reason text of one analysed segment.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "types.h"

namespace corvane {

// Computes the segment's score (0..100) from intent, targets, flags, context,
// reversibility and the detectors, and stores it in `analysis.score`.
void score_command(CommandAnalysis& analysis, const ClassifyContext* ctx);

// The same with the detector term already known: the highest weight of the
// injection rows (and, for zsh, the zsh rows) matching `analysis.command`.
// `base_weight`, when given, takes the place of the intent's weight (a custom
// command rule's own).
void score_command(CommandAnalysis& analysis, const ClassifyContext* ctx, std::uint8_t detector_term,
                   std::optional<std::uint8_t> base_weight = std::nullopt);

// The same, with the context term taken from `matched_paths[i]` for target i
// (the path as matched, after quote removal) instead of its shown path.
void score_command(CommandAnalysis& analysis, const ClassifyContext* ctx, std::uint8_t detector_term,
                   std::optional<std::uint8_t> base_weight,
                   std::span<const std::string_view> matched_paths);

// One-line human-readable reason, e.g. "File deletion: targeting filesystem
// root, recursive deletion". Does not read the score.
std::string generate_reason(const CommandAnalysis& analysis);

}  // namespace corvane
