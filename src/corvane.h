// corvane: a shell-command risk classifier.
//
// Hand it a command line that is about to run; it parses the line (never runs
// it), analyses every simple command against built-in rule tables, follows
// data through pipes, adjusts for the caller's context and returns a verdict:
// score 0..100, level, quick decision, reason, risk factors, per-segment
// breakdown, pipeline flows and ATT&CK techniques.
//
// Every entry point takes the context as optional (null for none). None of
// them fails for any command text; the only faults are resource exhaustion and
// a broken build, reported through Outcome instead of exceptions.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "custom_rules.h"
#include "types.h"

namespace corvane {

// Why a call produced no value. Never caused by the command text itself.
struct Fault {
  enum class Kind : std::uint8_t { OutOfMemory, Internal };
  Kind kind;
  std::string message;
};

// A value, or the fault that prevented it.
template <typename T>
class Outcome {
 public:
  Outcome(T value) : v_(std::move(value)) {}
  Outcome(Fault fault) : v_(std::move(fault)) {}
  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Fault& fault() const { return std::get<1>(v_); }

 private:
  std::variant<T, Fault> v_;
};

// Reads the rule files for the context, then classifies.
Outcome<AnalysisResult> classify(std::string_view command, const ClassifyContext* ctx) noexcept;

// Classifies with an already loaded rule configuration (or none), trusted
// as the user's own.
Outcome<AnalysisResult> classify_inner(std::string_view command, const ClassifyContext* ctx,
                                       const RuleConfig* config) noexcept;

// Classifies with the rule files of a call already read (user and project).
Outcome<AnalysisResult> classify_inner(std::string_view command, const ClassifyContext* ctx,
                                       const RuleSet& rules) noexcept;

// Reads the rule files once, then classifies each command in order.
Outcome<std::vector<AnalysisResult>> classify_batch(const std::vector<std::string>& commands,
                                                    const ClassifyContext* ctx) noexcept;

// As classify without a context, returning one field.
Outcome<std::uint8_t> risk_score(std::string_view command) noexcept;
Outcome<RiskLevel> risk_level(std::string_view command) noexcept;

// Band of a final score.
RiskLevel level_for_score(std::uint8_t score) noexcept;
QuickDecision decision_for_score(std::uint8_t score) noexcept;

// The engine's version, e.g. "0.1.0".
std::string_view version() noexcept;

}  // namespace corvane
