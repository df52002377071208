// The audit as one HTML page that needs nothing else: styles and script
// inline, charts drawn here as SVG, the table's rows written out (the
// script only sorts, filters and counts them), so that the page reads the
// same in a browser without scripts and in a mail attachment.
//
// Every string from a source goes through printable() (the text audited is
// hostile by assumption) and then through the HTML escapes.
#include <algorithm>

#include "audit_report.h"
#include "cli.h"

namespace corvane::cli::audit {
namespace {

constexpr std::size_t kCellCommandBytes = 300;  // the rest is in the row's verdict
constexpr std::size_t kChartBars = 15;          // techniques, sources, sessions
constexpr std::size_t kMaxTimeBuckets = 90;
constexpr int kChartWidth = 560;

struct Colour {
  std::string_view name, value;
};
// clang-format off
constexpr std::array<Colour, kEnumSize<RiskLevel>> kLevelColours{{
  {"safe",     "#3b8e5a"},
  {"caution",  "#d9a520"},
  {"danger",   "#e0702a"},
  {"critical", "#c0262d"},
}};
// clang-format on
constexpr auto kDecisionColours = by_enum<QuickDecision, std::string_view>({
    {QuickDecision::Safe, "#3b8e5a"},
    {QuickDecision::Risky, "#d9a520"},
    {QuickDecision::Blocked, "#c0262d"},
});
constexpr std::string_view kBarColour = "#4a6fa5";

std::string escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 16);
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// Text from a source, fit for the page.
std::string shown(std::string_view s) { return escape(printable(s)); }

struct Bar {
  std::string label;
  std::uint64_t value;
  std::string_view colour;
};

// Horizontal bars with their labels and values.
std::string bar_chart(std::string_view id, std::string_view title, const std::vector<Bar>& bars) {
  constexpr int kRow = 22, kLabel = 230, kTop = 8;
  const int height = kTop * 2 + static_cast<int>(std::max<std::size_t>(bars.size(), 1)) * kRow;
  std::uint64_t most = 1;
  for (const Bar& b : bars) most = std::max(most, b.value);
  std::string svg = "<figure><figcaption>" + escape(title) + "</figcaption><svg class=\"chart\" id=\"" +
                    std::string(id) + "\" role=\"img\" width=\"" + std::to_string(kChartWidth) + "\" height=\"" +
                    std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(kChartWidth) + " " +
                    std::to_string(height) + "\">";
  if (bars.empty()) svg += "<text x=\"8\" y=\"24\" class=\"none\">none</text>";
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const Bar& b = bars[i];
    const int y = kTop + static_cast<int>(i) * kRow;
    const int span = kChartWidth - kLabel - 70;
    const int w = b.value == 0 ? 0 : std::max(2, static_cast<int>(static_cast<double>(b.value) / static_cast<double>(most) * span));
    svg += "<text x=\"" + std::to_string(kLabel - 6) + "\" y=\"" + std::to_string(y + 15) +
           "\" text-anchor=\"end\">" + escape(shortened(b.label, 32)) + "</text>";
    svg += "<rect class=\"bar\" x=\"" + std::to_string(kLabel) + "\" y=\"" + std::to_string(y + 3) + "\" width=\"" +
           std::to_string(w) + "\" height=\"16\" fill=\"" + std::string(b.colour) + "\"><title>" + escape(b.label) +
           ": " + with_commas(b.value) + "</title></rect>";
    svg += "<text x=\"" + std::to_string(kLabel + w + 6) + "\" y=\"" + std::to_string(y + 15) + "\">" +
           with_commas(b.value) + "</text>";
  }
  return svg + "</svg></figure>\n";
}

// Listed commands over time: one stacked column per bucket of days.
std::string time_chart(const std::map<std::int64_t, LevelCounts>& per_day) {
  std::string fig = "<figure><figcaption>Risky commands over time (UTC)</figcaption>";
  if (per_day.empty()) return fig + "<p class=\"none\">No source gave times.</p></figure>\n";
  const std::int64_t first = per_day.begin()->first, last = per_day.rbegin()->first;
  const std::int64_t days = last - first + 1;
  const std::int64_t width_days = (days + kMaxTimeBuckets - 1) / kMaxTimeBuckets;
  const std::size_t buckets = static_cast<std::size_t>((days + width_days - 1) / width_days);
  std::vector<LevelCounts> counts(buckets);
  for (const auto& [day, c] : per_day) {
    LevelCounts& b = counts[static_cast<std::size_t>((day - first) / width_days)];
    for (std::size_t l = 0; l < 3; ++l) b[l] += c[l];
  }
  std::uint64_t most = 1;
  for (const LevelCounts& c : counts) most = std::max(most, c[0] + c[1] + c[2]);
  constexpr int kHeight = 180, kBottom = 24, kLeft = 40;
  const int plot = kChartWidth - kLeft - 10;
  const double col = static_cast<double>(plot) / static_cast<double>(buckets);
  std::string svg = "<svg class=\"chart\" id=\"chart-time\" role=\"img\" width=\"" + std::to_string(kChartWidth) +
                    "\" height=\"" + std::to_string(kHeight + kBottom) + "\" viewBox=\"0 0 " +
                    std::to_string(kChartWidth) + " " + std::to_string(kHeight + kBottom) + "\">";
  svg += "<text x=\"4\" y=\"14\">" + with_commas(most) + "</text><text x=\"4\" y=\"" + std::to_string(kHeight) +
         "\">0</text>";
  for (std::size_t i = 0; i < buckets; ++i) {
    double y = kHeight;
    const std::int64_t day = first + static_cast<std::int64_t>(i) * width_days;
    const std::string when = iso_time(day * 86400).substr(0, 10) + (width_days > 1 ? " (" + std::to_string(width_days) + " days)" : "");
    for (std::size_t l = 0; l < 3; ++l) {
      if (counts[i][l] == 0) continue;
      const double h = static_cast<double>(counts[i][l]) / static_cast<double>(most) * (kHeight - 10);
      y -= h;
      char rect[200];
      std::snprintf(rect, sizeof rect, "<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"",
                    kLeft + col * static_cast<double>(i), y, std::max(1.0, col - 1), std::max(1.0, h));
      svg += rect + std::string(kLevelColours[l + 1].value) + "\"><title>" + when + ": " + with_commas(counts[i][l]) +
             " " + std::string(kLevelColours[l + 1].name) + "</title></rect>";
    }
  }
  svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kHeight + 18) + "\">" +
         iso_time(first * 86400).substr(0, 10) + "</text><text x=\"" + std::to_string(kChartWidth - 10) + "\" y=\"" +
         std::to_string(kHeight + 18) + "\" text-anchor=\"end\">" + iso_time(last * 86400).substr(0, 10) + "</text>";
  return fig + svg + "</svg></figure>\n";
}

constexpr std::string_view kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}
.cards{display:flex;gap:12px;flex-wrap:wrap}.card{border:1px solid #ddd;border-radius:6px;padding:8px 14px}
.card b{display:block;font-size:20px}.charts{display:flex;flex-wrap:wrap;gap:8px 28px}
figure{margin:0}figcaption{font-weight:600;margin:6px 0}svg text{font-size:12px;fill:#333}
table{border-collapse:collapse;width:100%}th,td{border-bottom:1px solid #e4e4e4;padding:4px 6px;text-align:left;vertical-align:top}
th[data-key]{cursor:pointer;user-select:none;background:#f4f4f4}th[data-dir=asc]::after{content:" \25B2"}th[data-dir=desc]::after{content:" \25BC"}
td.cmd{font-family:ui-monospace,monospace;word-break:break-all}pre{white-space:pre-wrap;margin:4px 0}
.lv{border-radius:4px;padding:0 6px;color:#fff}.lv-caution{background:#d9a520}.lv-danger{background:#e0702a}.lv-critical{background:#c0262d}
.controls{display:flex;gap:10px;margin:8px 0;flex-wrap:wrap}.note{color:#555}.none{color:#777}
)";

constexpr std::string_view kScript = R"(
(function () {
  var table = document.getElementById('commands');
  if (!table) return;
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var text = document.getElementById('filter'), level = document.getElementById('level'),
      decision = document.getElementById('decision'), source = document.getElementById('source');
  var shown = document.getElementById('shown');
  function apply() {
    var t = text.value.toLowerCase(), n = 0;
    rows.forEach(function (r) {
      var ok = (!t || r.cells[7].textContent.toLowerCase().indexOf(t) >= 0 ||
                r.cells[6].textContent.toLowerCase().indexOf(t) >= 0) &&
               (!level.value || r.dataset.level === level.value) &&
               (!decision.value || r.dataset.decision === decision.value) &&
               (!source.value || r.dataset.source === source.value);
      r.hidden = !ok;
      if (ok) n++;
    });
    shown.textContent = n.toLocaleString('en-US');
  }
  [text, level, decision, source].forEach(function (e) { e.addEventListener('input', apply); });
  table.tHead.addEventListener('click', function (e) {
    var th = e.target.closest('th');
    if (!th || !th.dataset.key) return;
    var key = th.dataset.key, dir = th.dataset.dir === 'desc' ? 'asc' : 'desc';
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (c) { delete c.dataset.dir; });
    th.dataset.dir = dir;
    var numeric = th.dataset.type === 'number', sign = dir === 'asc' ? 1 : -1;
    rows.sort(function (a, b) {
      var x = a.dataset[key], y = b.dataset[key];
      var c = numeric ? Number(x) - Number(y) : x < y ? -1 : x > y ? 1 : 0;
      return c * sign || Number(a.dataset.seq) - Number(b.dataset.seq);
    });
    rows.forEach(function (r) { body.appendChild(r); });
  });
  // A link can carry a view: #q=TEXT&level=danger&decision=blocked&source=0&sort=score:asc
  var view = {};
  location.hash.replace(/^#/, '').split('&').forEach(function (kv) {
    var i = kv.indexOf('=');
    if (i > 0) view[kv.slice(0, i)] = decodeURIComponent(kv.slice(i + 1));
  });
  if (view.q) text.value = view.q;
  if (view.level) level.value = view.level;
  if (view.decision) decision.value = view.decision;
  if (view.source) source.value = view.source;
  if (view.sort) {
    var parts = view.sort.split(':');
    var th = table.tHead.querySelector('th[data-key="' + parts[0] + '"]');
    if (th) {
      th.dataset.dir = parts[1] === 'asc' ? 'desc' : 'asc';  // the click turns it round
      th.click();
    }
  }
  apply();
  document.body.dataset.ready = 'yes';
})();
)";

}  // namespace

std::string Report::html(std::span<const SourceStats> sources, bool secrets_masked) const {
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                     "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">"
                     "<title>corvane audit</title><style>";
  page.append(kStyle).append("</style></head><body>\n");
  page += "<h1>corvane audit</h1><p class=\"note\">" + with_commas(total_) + " commands from " +
          with_commas(sources.size()) + (sources.size() == 1 ? " source" : " sources") +
          (selection_.empty() ? std::string() : " (" + escape(printable(selection_)) + "; " + with_commas(skipped_) + " others left out)") +
          ". " +
          (secrets_masked ? "Tokens, passwords and keys are masked as ****."
                          : "Secrets are shown as they are (--show-secrets).") +
          "</p>\n";

  page += "<div class=\"cards\">";
  const auto card = [&](std::string_view label, std::uint64_t n) {
    page += "<div class=\"card\"><b>" + with_commas(n) + "</b>" + std::string(label) + "</div>";
  };
  card("commands", total_);
  card("risky", decisions_[1]);
  card("blocked", decisions_[2]);
  card(min_level_ > RiskLevel::Caution ? std::string(to_string(min_level_)) + " and above" : "listed", listed_);
  page += "</div>\n<h2>Charts</h2><div class=\"charts\">\n";

  std::vector<Bar> bars;
  for (std::size_t i = 0; i < 3; ++i)
    bars.push_back({std::string(to_string(static_cast<QuickDecision>(i))), decisions_[i], kDecisionColours[i]});
  page += bar_chart("chart-decisions", "Decisions", bars);
  bars.clear();
  for (std::size_t i = 0; i < 4; ++i) bars.push_back({std::string(kLevelColours[i].name), levels_[i], kLevelColours[i].value});
  page += bar_chart("chart-levels", "Levels", bars);

  std::vector<std::pair<std::uint64_t, const std::string*>> techniques;
  for (const auto& [id, t] : techniques_) techniques.emplace_back(t.count, &id);
  std::stable_sort(techniques.begin(), techniques.end(), [](auto a, auto b) { return a.first > b.first; });
  bars.clear();
  for (std::size_t i = 0; i < std::min(techniques.size(), kChartBars); ++i)
    bars.push_back({*techniques[i].second + " " + printable(techniques_.at(*techniques[i].second).name),
                    techniques[i].first, kBarColour});
  page += bar_chart("chart-techniques", "ATT&CK techniques", bars);
  page += time_chart(per_day_);

  const auto total_of = [](const LevelCounts& c) { return c[0] + c[1] + c[2]; };
  bars.clear();
  std::vector<std::pair<std::uint64_t, std::size_t>> per_source;
  for (std::size_t i = 0; i < sources.size(); ++i)
    per_source.emplace_back(i < per_source_.size() ? total_of(per_source_[i]) : 0, i);
  if (per_source.size() > kChartBars)
    std::stable_sort(per_source.begin(), per_source.end(), [](auto a, auto b) { return a.first > b.first; });
  for (std::size_t i = 0; i < std::min(per_source.size(), kChartBars); ++i)
    bars.push_back({printable(sources[per_source[i].second].name), per_source[i].first, kBarColour});
  page += bar_chart("chart-sources",
                    sources.size() > kChartBars ? "Risky commands per source (the busiest " +
                                                      std::to_string(kChartBars) + ")"
                                                : std::string("Risky commands per source"),
                    bars);
  if (!per_session_.empty()) {
    std::vector<std::pair<std::uint64_t, const std::string*>> sessions;
    for (const auto& [id, c] : per_session_) sessions.emplace_back(total_of(c), &id);
    std::stable_sort(sessions.begin(), sessions.end(), [](auto a, auto b) { return a.first > b.first; });
    bars.clear();
    for (std::size_t i = 0; i < std::min(sessions.size(), kChartBars); ++i)
      bars.push_back({printable(*sessions[i].second), sessions[i].first, kBarColour});
    if (other_sessions_ > 0)
      bars.push_back({"sessions past the first " + with_commas(kMaxSessions), other_sessions_, kBarColour});
    page += bar_chart("chart-sessions", "Risky commands per session (the busiest " +
                                            std::to_string(bars.size()) + ")", bars);
  }
  page += "</div>\n";

  page += "<h2>Sources</h2><table id=\"sources\"><thead><tr><th>source</th><th>format</th><th>lines</th>"
          "<th>commands</th><th>problems</th></tr></thead><tbody>\n";
  for (const SourceStats& s : sources) {
    std::string problems;
    for (const ProblemRow& p : kProblemTable) {
      const std::uint64_t n = s.problems[static_cast<std::size_t>(p.problem)];
      if (n == 0) continue;
      if (!problems.empty()) problems += ", ";
      problems += p.problem == Problem::Unreadable
                      ? "unreadable: " + s.error
                      : with_commas(n) + " " + std::string(n == 1 ? p.one : p.many) + " (first at line " +
                            std::to_string(s.first_line[static_cast<std::size_t>(p.problem)]) + ")";
    }
    page += "<tr><td>" + shown(s.name) + "</td><td>" + std::string(to_string(s.format)) + "</td><td>" +
            with_commas(s.lines) + "</td><td>" + with_commas(s.commands) + "</td><td>" + escape(problems) +
            "</td></tr>\n";
  }
  page += "</tbody></table>\n";

  std::vector<const Kept*> rows;
  for (const Kept& k : rows_) rows.push_back(&k);
  std::sort(rows.begin(), rows.end(), [](const Kept* a, const Kept* b) {
    if (a->result.score != b->result.score) return a->result.score > b->result.score;
    return a->seq < b->seq;
  });
  page += "<h2>Risky commands</h2><p class=\"note\">Showing <span id=\"shown\">" + with_commas(rows.size()) +
          "</span> of " + with_commas(rows.size()) + " rows; ";
  page += rows.size() < listed_ ? "the table keeps the riskiest " + with_commas(kMaxTableRows) + " of the " +
                                      with_commas(listed_) + " listed commands."
                                : "every listed command is here.";
  page += " Click a heading to sort; open a row's verdict for the full analysis.</p>\n";
  page += "<div class=\"controls\"><input id=\"filter\" type=\"search\" placeholder=\"filter text\">"
          "<select id=\"level\"><option value=\"\">every level</option><option>caution</option>"
          "<option>danger</option><option>critical</option></select>"
          "<select id=\"decision\"><option value=\"\">every decision</option><option>risky</option>"
          "<option>blocked</option></select><select id=\"source\"><option value=\"\">every source</option>";
  for (std::size_t i = 0; i < sources.size(); ++i)
    page += "<option value=\"" + std::to_string(i) + "\">" + shown(sources[i].name) + "</option>";
  page += "</select></div>\n";
  page += "<table id=\"commands\"><thead><tr><th data-key=\"score\" data-type=\"number\">score</th>"
          "<th data-key=\"level\">level</th><th data-key=\"decision\">decision</th>"
          "<th data-key=\"time\" data-type=\"number\">time (UTC)</th><th data-key=\"where\">source:line</th>"
          "<th data-key=\"seq\" data-type=\"number\">#</th><th data-key=\"session\">session</th>"
          "<th>command</th><th>verdict</th></tr></thead><tbody>\n";
  for (const Kept* k : rows) {
    const Entry& e = k->entry;
    const AnalysisResult& r = k->result;
    const std::string level(to_string(r.level));
    const std::string where = printable(sources[e.source].name) + ":" + std::to_string(e.line);
    std::string time_text = e.time ? iso_time(*e.time) : std::string();
    if (!time_text.empty()) time_text = time_text.substr(0, 10) + " " + time_text.substr(11, 8);
    page += "<tr class=\"row\" data-seq=\"" + std::to_string(k->seq) + "\" data-score=\"" + std::to_string(r.score) +
            "\" data-level=\"" + level + "\" data-decision=\"" + std::string(to_string(r.quick_decision)) +
            "\" data-time=\"" + (e.time ? std::to_string(*e.time) : "-1") + "\" data-where=\"" + escape(where) +
            "\" data-session=\"" + shown(e.session) + "\" data-source=\"" + std::to_string(e.source) + "\">";
    page += "<td>" + std::to_string(r.score) + "</td><td><span class=\"lv lv-" + level + "\">" + level +
            "</span></td><td>" + std::string(to_string(r.quick_decision)) + "</td><td>" + time_text + "</td><td>" +
            escape(where) + "</td><td>" + std::to_string(k->seq + 1) + "</td><td>" + shown(e.session) +
            "</td><td class=\"cmd\">" + shown(shortened(r.command, kCellCommandBytes)) + "</td>";
    std::string verdict = render_summary(r, false);
    if (!e.cwd.empty()) verdict += "  cwd         " + printable(e.cwd) + "\n";
    if (!e.hook_decision.empty()) verdict += "  hook said   " + printable(e.hook_decision) + "\n";
    page += "<td><details><summary>verdict</summary><pre>" + escape(verdict) + "</pre></details></td></tr>\n";
  }
  page += "</tbody></table>\n<script>";
  page.append(kScript).append("</script>\n</body></html>\n");
  return page;
}

}  // namespace corvane::cli::audit
