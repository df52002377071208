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

#include "json.h"
#include "result.h"

namespace corvane {

// Why a call produced no value. Never caused by the command text itself.
struct Fault {
  enum class Kind : std::uint8_t { OutOfMemory, Internal };
  Kind kind;
  std::string message;
};

// A value, or the fault that prevented it.
template <typename T>
class [[nodiscard]] Outcome {
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
[[nodiscard]] Outcome<AnalysisResult> classify(std::string_view command, const ClassifyContext* ctx) noexcept;

// Reads the rule files once, then classifies each command in order.
[[nodiscard]] Outcome<std::vector<AnalysisResult>> classify_batch(const std::vector<std::string>& commands,
                                                    const ClassifyContext* ctx) noexcept;

// As classify without a context, returning one field.
[[nodiscard]] Outcome<std::uint8_t> risk_score(std::string_view command) noexcept;
[[nodiscard]] Outcome<RiskLevel> risk_level(std::string_view command) noexcept;

// Band of a final score.
[[nodiscard]] RiskLevel level_for_score(std::uint8_t score) noexcept;
[[nodiscard]] QuickDecision decision_for_score(std::uint8_t score) noexcept;

// The engine's version, e.g. "0.1.0".
[[nodiscard]] std::string_view version() noexcept;

}  // namespace corvane
