// The engine's entry points (public, corvane/corvane.h) plus the ones its own
// tools, tests and benchmarks use with rule configurations they loaded.
#pragma once

#include <corvane/corvane.h>

#include "custom_rules.h"
#include "types.h"

namespace corvane {

// Classifies with an already loaded rule configuration (or none), trusted
// as the user's own.
[[nodiscard]] Outcome<AnalysisResult> classify_inner(std::string_view command,
                                                     const ClassifyContext* ctx,
                                                     const RuleConfig* config) noexcept;

// Classifies with the rule files of a call already read (user and project).
[[nodiscard]] Outcome<AnalysisResult> classify_inner(std::string_view command,
                                                     const ClassifyContext* ctx,
                                                     const RuleSet& rules) noexcept;

// Classifies each command in order with rule files the caller read once (and
// reported); the rules are compiled once for the whole batch. Callers that
// split a long stream into batches, perhaps on several threads, use it so
// that the files are not read again for each batch.
[[nodiscard]] Outcome<std::vector<AnalysisResult>> classify_batch_inner(
    const std::vector<std::string>& commands, const ClassifyContext* ctx, const RuleSet& rules) noexcept;

}  // namespace corvane
