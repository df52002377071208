// The counters of an audit and its terminal summary.
#include "audit_report.h"

#include <algorithm>

#include "cli.h"

namespace corvane::cli::audit {
namespace {

constexpr std::size_t kShownFactors = 10;
constexpr std::size_t kShownTechniques = 10;
constexpr std::size_t kShownDays = 7;
constexpr std::size_t kShownSources = 20;  // those with problems first, then the largest
constexpr std::size_t kCommandWidth = 200;  // of a listed command, on a terminal

// Riskier first; among equals the one seen first.
bool riskier(const Kept& a, const Kept& b) noexcept {
  if (a.result.score != b.result.score) return a.result.score > b.result.score;
  return a.seq < b.seq;
}

std::int64_t day_of(std::int64_t t) noexcept { return t >= 0 ? t / 86400 : (t - 86399) / 86400; }

std::string day_text(std::int64_t day) { return iso_time(day * 86400).substr(0, 10); }

// "2026-12-10 10:30 UTC"
std::string minute_text(std::int64_t t) {
  std::string s = iso_time(t);  // 2026-12-10T10:30:00Z
  s[10] = ' ';
  s.resize(16);
  return s.append(" UTC");
}

std::size_t level_slot(RiskLevel level) noexcept { return static_cast<std::size_t>(level) - 1; }

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return with_commas(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

std::string with_commas(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

void Report::add(Entry&& entry, AnalysisResult&& result) {
  ++total_;
  const std::uint64_t seq = seq_++;
  ++levels_[static_cast<std::size_t>(result.level)];
  ++decisions_[static_cast<std::size_t>(result.quick_decision)];
  for (RiskFactor f : result.risk_factors) ++factors_[static_cast<std::size_t>(f)];
  for (const MitreMapping& m : result.mitre_mappings) {
    Technique& t = techniques_[m.technique_id];
    if (t.count++ == 0) {
      t.name = m.technique_name;
      t.tactic = m.tactic;
    }
  }
  if (!listed(result.level)) return;
  ++listed_;
  const std::size_t slot = level_slot(result.level);
  if (per_source_.size() <= entry.source) per_source_.resize(entry.source + 1);
  ++per_source_[entry.source][slot];
  if (!entry.session.empty()) {
    auto it = per_session_.find(entry.session);
    if (it != per_session_.end()) {
      ++it->second[slot];
    } else if (per_session_.size() < kMaxSessions) {
      ++per_session_[entry.session][slot];
    } else {
      ++other_sessions_;
    }
  }
  if (entry.time) {
    const std::int64_t t = *entry.time;
    ++listed_timed_;
    first_time_ = first_time_ ? std::min(*first_time_, t) : t;
    last_time_ = last_time_ ? std::max(*last_time_, t) : t;
    if (auto it = per_day_.find(day_of(t)); it != per_day_.end()) {
      ++it->second[slot];
    } else if (per_day_.size() < kMaxDays) {
      ++per_day_[day_of(t)][slot];
    }
    ++per_hour_[static_cast<std::size_t>((t - day_of(t) * 86400) / 3600)];
  }

  // The top list holds each command once. A command's score does not change
  // between sightings, and once pushed out it can never come back (the
  // least score kept only grows), so the counts of those kept are exact.
  auto same = std::find_if(top_.begin(), top_.end(), [&](const Kept& k) { return k.result.command == result.command; });
  if (same != top_.end()) {
    ++same->count;
  } else if (top_.size() < kTopCommands) {
    top_.push_back(Kept{entry, result, seq, 1});
  } else {
    // Only a higher score beats the least kept: among equals the first stays.
    auto least = std::min_element(top_.begin(), top_.end(), [](const Kept& a, const Kept& b) { return riskier(b, a); });
    if (result.score > least->result.score) *least = Kept{entry, result, seq, 1};
  }

  if (rows_.size() < kMaxTableRows) {
    rows_.push_back(Kept{std::move(entry), std::move(result), seq, 1});
    std::push_heap(rows_.begin(), rows_.end(), riskier);
  } else if (result.score > rows_.front().result.score) {
    std::pop_heap(rows_.begin(), rows_.end(), riskier);
    rows_.back() = Kept{std::move(entry), std::move(result), seq, 1};
    std::push_heap(rows_.begin(), rows_.end(), riskier);
  }
}

std::string Report::terminal(std::span<const SourceStats> sources, bool colour) const {
  std::string out = "corvane audit: " + plural(total_, "command", "commands") + " from " +
                    plural(sources.size(), "source", "sources");
  if (!selection_.empty()) out += " (" + selection_ + "; " + with_commas(skipped_) + " others left out)";
  out += "\n\nsources\n";
  // A directory of transcripts can be thousands of files: the summary names
  // the ones with problems and then the largest, in their reading order.
  std::vector<std::size_t> order(sources.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (order.size() > kShownSources) {
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      const bool pa = sources[a].problem_count() > 0, pb = sources[b].problem_count() > 0;
      if (pa != pb) return pa;
      return sources[a].commands > sources[b].commands;
    });
    order.resize(kShownSources);
    std::sort(order.begin(), order.end());
  }
  std::size_t width = 0;
  for (std::size_t i : order) width = std::max(width, printable(sources[i].name).size());
  for (std::size_t i : order) {
    const SourceStats& s = sources[i];
    std::string name = printable(s.name);
    name.append(width + 2 - name.size(), ' ');
    out += "  " + name;
    if (!s.error.empty() && s.lines == 0) {
      out += "unreadable: " + s.error + "\n";
      continue;
    }
    std::string format(to_string(s.format));
    format.resize(10, ' ');
    out += format + plural(s.commands, "command", "commands");
    std::string problems;
    for (const ProblemRow& p : kProblemTable) {
      const std::uint64_t n = s.problems[static_cast<std::size_t>(p.problem)];
      if (n == 0) continue;
      problems += problems.empty() ? "; " : ", ";
      if (p.problem == Problem::Unreadable) {
        problems += "read failed: " + s.error;
        continue;
      }
      problems += plural(n, p.one, p.many) + " (first at line " +
                  std::to_string(s.first_line[static_cast<std::size_t>(p.problem)]) + ")";
    }
    out += problems + "\n";
  }
  if (order.size() < sources.size()) {
    std::uint64_t rest = 0;
    for (const SourceStats& s : sources) rest += s.commands;
    for (std::size_t i : order) rest -= sources[i].commands;
    out += "  and " + plural(sources.size() - order.size(), "more source", "more sources") + " with " +
           plural(rest, "command", "commands") + "\n";
  }

  out += "\ndecisions  " + with_commas(decisions_[0]) + " safe, " + with_commas(decisions_[1]) + " risky, " +
         with_commas(decisions_[2]) + " blocked\n";
  out += "levels     " + with_commas(levels_[0]) + " safe, " + with_commas(levels_[1]) + " caution, " +
         with_commas(levels_[2]) + " danger, " + with_commas(levels_[3]) + " critical\n";

  const std::string which = min_level_ > RiskLevel::Caution
                                ? std::string(to_string(min_level_)) + " and above"
                                : std::string("risky");
  std::vector<const Kept*> top;
  for (const Kept& k : top_) top.push_back(&k);
  std::sort(top.begin(), top.end(), [](const Kept* a, const Kept* b) { return riskier(*a, *b); });
  out += "\nriskiest commands (" + with_commas(top.size()) + " shown of " + with_commas(listed_) + " " + which +
         ", each command once)\n";
  if (top.empty()) out += "  none\n";
  for (const Kept* k : top) {
    AnalysisResult shown = k->result;
    shown.command = shortened(k->result.command, kCommandWidth);
    out.push_back('\n');
    out += render_verdict_line(shown, colour);
    std::string where = printable(sources[k->entry.source].name) + ":" + std::to_string(k->entry.line);
    if (k->entry.time) where.append(", ").append(minute_text(*k->entry.time));
    if (!k->entry.session.empty()) where.append(", session ").append(printable(k->entry.session));
    if (k->count > 1) where += " (seen " + with_commas(k->count) + " times)";
    out += render_labelled_line("where", where, colour);
    out += render_labelled_line("reason", printable(k->result.reason), colour);
  }

  std::vector<std::pair<std::uint64_t, std::size_t>> factors;
  for (std::size_t i = 0; i < factors_.size(); ++i)
    if (factors_[i] > 0) factors.emplace_back(factors_[i], i);
  std::stable_sort(factors.begin(), factors.end(), [](auto a, auto b) { return a.first > b.first; });
  out += "\nrisk factors (commands with each)\n";
  if (factors.empty()) out += "  none\n";
  for (std::size_t i = 0; i < std::min(factors.size(), kShownFactors); ++i) {
    out += "  " + with_commas(factors[i].first) + "  " +
           std::string(to_string(static_cast<RiskFactor>(factors[i].second))) + "\n";
  }

  std::vector<std::pair<std::uint64_t, const std::string*>> techniques;
  for (const auto& [id, t] : techniques_) techniques.emplace_back(t.count, &id);
  std::stable_sort(techniques.begin(), techniques.end(), [](auto a, auto b) { return a.first > b.first; });
  out += "\nATT&CK techniques (commands with each)\n";
  if (techniques.empty()) out += "  none\n";
  for (std::size_t i = 0; i < std::min(techniques.size(), kShownTechniques); ++i) {
    const Technique& t = techniques_.at(*techniques[i].second);
    out += "  " + with_commas(techniques[i].first) + "  " + *techniques[i].second + " " + printable(t.name) + " (" +
           printable(t.tactic) + ")\n";
  }

  if (listed_timed_ > 0) {
    out += "\nwhen (" + which + " commands with a time, UTC)\n";
    out += "  " + with_commas(listed_timed_) + " of " + with_commas(listed_) + ", from " + minute_text(*first_time_) +
           " to " + minute_text(*last_time_) + "\n";
    std::vector<std::pair<std::uint64_t, std::int64_t>> days;
    for (const auto& [day, counts] : per_day_) days.emplace_back(counts[0] + counts[1] + counts[2], day);
    std::stable_sort(days.begin(), days.end(), [](auto a, auto b) { return a.first > b.first; });
    const std::uint64_t most = days.front().first;
    out += "  busiest days\n";
    for (std::size_t i = 0; i < std::min(days.size(), kShownDays); ++i) {
      const std::size_t bar = static_cast<std::size_t>((days[i].first * 30 + most - 1) / most);
      std::string bars;
      for (std::size_t b = 0; b < bar; ++b) bars += "\u2588";
      out += "    " + day_text(days[i].second) + "  " + bars + " " + with_commas(days[i].first) + "\n";
    }
    const std::uint64_t peak = *std::max_element(per_hour_.begin(), per_hour_.end());
    static constexpr std::array<std::string_view, 9> kTicks{" ", "\u2581", "\u2582", "\u2583", "\u2584",
                                                            "\u2585", "\u2586", "\u2587", "\u2588"};
    std::string hours;
    for (std::uint64_t n : per_hour_) hours += kTicks[n == 0 ? 0 : 1 + (n * 7) / peak];
    out += "  by hour   00 " + hours + " 23\n";
  }
  return out;
}

}  // namespace corvane::cli::audit
