// What `corvane audit` keeps of a stream of verdicts: counters, the riskiest
// few, and the rows of the page's table, each with a fixed bound; and the
// two ways of showing it, on a terminal and as one HTML page.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

#include "audit.h"

namespace corvane::cli::audit {

// The riskiest commands the terminal summary lists.
inline constexpr std::size_t kTopCommands = 20;
// Rows of the page's table: the riskiest this many, so that a page for a
// huge history still opens; the page says when it shows fewer than all.
inline constexpr std::size_t kMaxTableRows = 5000;
// Sessions counted one by one; the rest are summed as "other sessions".
inline constexpr std::size_t kMaxSessions = 1000;
// Days counted one by one (55 years): a file of random stamps must not grow
// the counters without end.
inline constexpr std::size_t kMaxDays = 20000;

// A command the report keeps in full.
struct Kept {
  Entry entry;
  AnalysisResult result;
  std::uint64_t seq = 0;    // position in the whole audit
  std::uint64_t count = 1;  // times the same command was seen (top list)
};

// Risky commands per level, caution to critical.
using LevelCounts = std::array<std::uint64_t, 3>;

class Report {
 public:
  // Commands below `min_level` (and safe ones in any case) are counted but
  // not listed.
  explicit Report(RiskLevel min_level) : min_level_(min_level) {}

  // Takes the next verdict, in the order of the sources.
  void add(Entry&& entry, AnalysisResult&& result);

  // Whether a command of this level is listed.
  bool listed(RiskLevel level) const noexcept {
    return level >= min_level_ && level != RiskLevel::Safe;
  }

  // What --since, --until, --session and --under left out, for the header.
  void set_selection(std::string description, std::uint64_t skipped) {
    selection_ = std::move(description);
    skipped_ = skipped;
  }

  std::string terminal(std::span<const SourceStats> sources, bool colour) const;
  std::string html(std::span<const SourceStats> sources, bool secrets_masked) const;

 private:
  RiskLevel min_level_;
  std::uint64_t total_ = 0, listed_ = 0, listed_timed_ = 0;
  std::array<std::uint64_t, kEnumSize<RiskLevel>> levels_{};
  std::array<std::uint64_t, kEnumSize<QuickDecision>> decisions_{};
  std::array<std::uint64_t, kRiskFactorCount> factors_{};
  struct Technique {
    std::string name, tactic;
    std::uint64_t count = 0;
  };
  std::map<std::string, Technique> techniques_;
  std::optional<std::int64_t> first_time_, last_time_;
  std::map<std::int64_t, LevelCounts> per_day_;  // listed commands per UTC day
  std::array<std::uint64_t, 24> per_hour_{};
  std::vector<LevelCounts> per_source_;
  std::map<std::string, LevelCounts> per_session_;
  std::uint64_t other_sessions_ = 0;
  std::vector<Kept> top_;
  std::vector<Kept> rows_;  // a heap, the least risky on top
  std::uint64_t seq_ = 0;
  std::string selection_;
  std::uint64_t skipped_ = 0;
};

// "12,345"
std::string with_commas(std::uint64_t n);

}  // namespace corvane::cli::audit
