// `corvane audit`: reads the sources as one stream, classifies it in
// batches on a pool of threads (results are taken back in the order they
// were read), and sums it up as it goes, so that memory stays flat however
// long the history.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "audit.h"
#include "audit_report.h"
#include "cli.h"
#include "corvane.h"

namespace corvane::cli {
namespace {

using namespace audit;

constexpr std::string_view kSub = "audit";
// Commands per batch: enough that handing a batch over costs nothing next
// to classifying it, few enough that every thread gets work on a short file.
constexpr std::size_t kBatchSize = 256;
// Batches read ahead of the oldest unfinished one, per thread: this bounds
// the memory the stream holds in flight.
constexpr std::size_t kBatchesInFlightPerThread = 4;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

// A fixed set of threads taking tasks from one queue.
class ThreadPool {
 public:
  explicit ThreadPool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this](std::stop_token stop) { work(stop); });
  }
  ~ThreadPool() {
    for (std::jthread& w : workers_) w.request_stop();
    wake_.notify_all();
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  template <typename F>
  auto submit(F&& fn) -> std::future<decltype(fn())> {
    auto task = std::make_shared<std::packaged_task<decltype(fn())()>>(std::forward<F>(fn));
    auto result = task->get_future();
    {
      std::lock_guard lock(mutex_);
      queue_.emplace_back([task] { (*task)(); });
    }
    wake_.notify_one();
    return result;
  }

 private:
  void work(std::stop_token stop) {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, stop, [&] { return !queue_.empty(); });
        if (queue_.empty()) return;  // stopping
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::jthread> workers_;  // last: joined before the queue goes
};

struct AuditSettings {
  Format format = Format::Auto;
  RiskLevel min_level = RiskLevel::Safe;
  bool json = false;
  bool show_secrets = false;
  bool quiet = false;
  std::optional<std::string> html;
  std::size_t jobs = 0;  // 0: one per core
  // Which commands are audited at all; unset: every one.
  std::optional<std::int64_t> since, until;  // seconds, until exclusive
  std::optional<std::string> session, under;

  bool selects() const noexcept { return since || until || session || under; }
  bool selected(const Entry& e) const {
    if ((since || until) && !e.time) return false;
    if (since && *e.time < *since) return false;
    if (until && *e.time >= *until) return false;
    if (session && e.session != *session) return false;
    if (under) {
      const std::string_view cwd = e.cwd;
      if (!cwd.starts_with(*under)) return false;
      if (cwd.size() > under->size() && cwd[under->size()] != '/' && !under->ends_with('/')) return false;
    }
    return true;
  }
};

// "2026-12-01" (the day's start, or with `end` the next day's) or an ISO time.
std::optional<std::int64_t> parse_when(std::string_view text, bool end) {
  if (text.size() == 10) {
    const auto day = parse_iso_time(std::string(text) + "T00:00:00Z");
    if (day && end) return *day + 86400;
    return day;
  }
  return parse_iso_time(text);
}

// A batch of commands and, once classified, their verdicts and JSON lines.
struct Batch {
  std::vector<Entry> entries;
  std::vector<AnalysisResult> results;
  std::string json;  // the lines of --json for the batch
  std::optional<Fault> fault;
};

std::string optional_json(const std::string& s) {
  return s.empty() ? "null" : nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The --json line of one verdict: where the command came from, then the
// verdict as `corvane check --json` writes it.
void append_json_line(std::string& out, const Entry& e, const AnalysisResult& r, const std::string& source) {
  out += "{\"source\":" + optional_json(source) + ",\"line\":" + std::to_string(e.line) + ",\"time\":";
  out += e.time ? "\"" + iso_time(*e.time) + "\"" : std::string("null");
  out += ",\"session\":" + optional_json(e.session) + ",\"cwd\":" + optional_json(e.cwd) +
         ",\"agent\":" + optional_json(e.agent);
  if (!e.hook_decision.empty()) out += ",\"hook_decision\":" + optional_json(e.hook_decision);
  out += ",\"verdict\":" + valid_utf8(to_json(r)) + "}\n";
}

// What a worker does with a batch. Runs on any thread: it reads only what
// the audit fixed before the first batch.
struct Classifier {
  const RuleSet& rules;
  const AuditSettings& settings;
  const std::vector<std::string>& source_names;
  RiskLevel json_from;

  void operator()(Batch& b) const {
    std::vector<std::string> commands;
    commands.reserve(b.entries.size());
    for (Entry& e : b.entries) commands.push_back(std::move(e.command));
    auto outcome = classify_batch_inner(commands, nullptr, rules);
    if (!outcome) {
      b.fault = outcome.fault();
      return;
    }
    b.results = std::move(outcome).value();
    for (std::size_t i = 0; i < b.results.size(); ++i) {
      AnalysisResult& r = b.results[i];
      if (!settings.show_secrets) mask_result(r);
      if (settings.json && r.level >= json_from) append_json_line(b.json, b.entries[i], r, source_names[b.entries[i].source]);
    }
  }
};

// "\r12,345 commands, 20,000/s  ~/.zsh_history" on a terminal's standard error.
class Progress {
 public:
  explicit Progress(bool on) : on_(on), start_(Clock::now()), last_(start_ - kProgressInterval) {}
  ~Progress() { clear(); }
  void update(std::uint64_t commands, std::string_view source) {
    if (!on_) return;
    const auto now = Clock::now();
    if (now - last_ < kProgressInterval) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const auto rate = secs > 0.05 ? static_cast<std::uint64_t>(static_cast<double>(commands) / secs) : 0;
    std::string line = "\r\x1b[Kcorvane audit: " + with_commas(commands) + " commands";
    if (rate > 0) line += ", " + with_commas(rate) + "/s";
    line += "  " + printable(shortened(source, 60));
    std::fwrite(line.data(), 1, line.size(), stderr);
    shown_ = true;
  }
  void clear() {
    if (!shown_) return;
    std::fputs("\r\x1b[K", stderr);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool on_;
  Clock::time_point start_, last_;
  bool shown_ = false;
};

std::string home_dir() {
  // $HOME only: the program is linked statically, where the password
  // database cannot be asked.
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') return h;
  return {};
}

struct SourcePath {
  std::string path, name;
};

// The user's shell histories that exist, each once.
std::vector<SourcePath> default_sources() {
  const std::string home = home_dir();
  const auto tilde = [&](const std::string& p) {
    return !home.empty() && p.starts_with(home + "/") ? "~" + p.substr(home.size()) : p;
  };
  std::vector<std::string> candidates;
  if (const char* h = std::getenv("HISTFILE"); h != nullptr && *h != '\0') candidates.emplace_back(h);
  if (!home.empty()) {
    candidates.push_back(home + "/.bash_history");
    candidates.push_back(home + "/.zsh_history");
  }
  const char* data = std::getenv("XDG_DATA_HOME");
  const std::string data_home = data != nullptr && *data != '\0' ? data : home.empty() ? "" : home + "/.local/share";
  if (!data_home.empty()) candidates.push_back(data_home + "/fish/fish_history");
  std::vector<SourcePath> out;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& c : candidates) {
    struct stat st{};
    if (::stat(c.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (std::find(seen.begin(), seen.end(), std::pair{st.st_dev, st.st_ino}) != seen.end()) continue;
    seen.emplace_back(st.st_dev, st.st_ino);
    out.push_back({c, tilde(c)});
  }
  return out;
}

// A file as it is; a directory (agents keep a file per session in a tree of
// them) as every regular file under it, in name order. Hidden entries are
// skipped inside a tree: they are editors' and tools' own files, not logs.
void add_path(const std::string& path, std::vector<SourcePath>& out) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    out.push_back({path, path});
    return;
  }
  std::vector<std::string> files;
  fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with('.')) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec)) files.push_back(it->path().string());
  }
  if (ec && files.empty()) {
    out.push_back({path, path});  // reported as unreadable when it is read
    return;
  }
  std::sort(files.begin(), files.end());
  for (std::string& f : files) out.push_back({f, f});
}

bool parse_settings(const Options& options, AuditSettings& s, std::string& error) {
  if (options.audit_format) {
    const auto f = format_named(*options.audit_format);
    if (!f) {
      std::string names;
      for (const FormatRow& row : kFormatTable) names += (names.empty() ? "" : ", ") + std::string(row.name);
      error = "option --format takes " + names + ", not '" + printable(*options.audit_format) + "'";
      return false;
    }
    s.format = *f;
  }
  if (options.min_level) {
    bool found = false;
    for (RiskLevel l : {RiskLevel::Safe, RiskLevel::Caution, RiskLevel::Danger, RiskLevel::Critical}) {
      if (to_string(l) == *options.min_level) {
        s.min_level = l;
        found = true;
      }
    }
    if (!found) {
      error = "option --min-level takes safe, caution, danger or critical, not '" + printable(*options.min_level) + "'";
      return false;
    }
  }
  if (options.jobs) {
    const std::string& j = *options.jobs;
    if (j.empty() || j.size() > 4 || j.find_first_not_of("0123456789") != std::string::npos || std::stoul(j) == 0) {
      error = "option --jobs takes a number of threads from 1, not '" + printable(j) + "'";
      return false;
    }
    s.jobs = std::stoul(j);
  }
  for (auto [value, slot, end] : {std::tuple{&options.since, &s.since, false}, std::tuple{&options.until, &s.until, true}}) {
    if (!*value) continue;
    *slot = parse_when(**value, end);
    if (!*slot) {
      error = "option --" + std::string(end ? "until" : "since") + " takes a date (2026-12-01) or a time (2026-12-01T09:00:00Z), not '" +
              printable(**value) + "'";
      return false;
    }
  }
  s.session = options.session;
  if (options.under) {
    std::string dir = *options.under;
    while (dir.size() > 1 && dir.ends_with('/')) dir.pop_back();
    s.under = dir;
  }
  s.json = options.json;
  s.show_secrets = options.show_secrets;
  s.quiet = options.quiet;
  s.html = options.html;
  return true;
}

bool write_file(const std::string& path, std::string_view text, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write " + printable(path) + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    error = "cannot write " + printable(path);
    return false;
  }
  return true;
}

}  // namespace

int run_audit(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Audit, args, options)) return *done;
  AuditSettings settings;
  std::string error;
  if (!parse_settings(options, settings, error)) return usage_error(Subcommand::Audit, error);

  std::vector<SourcePath> paths;
  for (const std::string& c : options.commands) {
    if (c == "-") {
      paths.push_back({c, "(standard input)"});
    } else {
      add_path(c, paths);
    }
  }
  if (paths.empty() && !options.commands.empty()) {
    report("no files to read in " + printable(options.commands.front()), kSub);
    return kExitNoInput;
  }
  if (paths.empty()) {
    paths = default_sources();
    if (paths.empty()) {
      report("no shell history found (looked for $HISTFILE, ~/.bash_history, ~/.zsh_history and fish's)", kSub);
      return kExitNoInput;
    }
    if (!settings.quiet) {
      std::string names;
      for (const SourcePath& p : paths) names += (names.empty() ? "" : ", ") + p.name;
      report("reading " + printable(names), kSub);
    }
  }
  std::vector<std::string> names;
  for (const SourcePath& p : paths) names.push_back(p.name);

  // The rule files are read (and their errors told) once for the audit.
  const RuleSet rules = discover_rules(nullptr);
  report_rule_errors(rules);

  const std::size_t threads =
      settings.jobs != 0 ? settings.jobs : std::max<std::size_t>(1, std::thread::hardware_concurrency());
  const RiskLevel json_from = settings.min_level;
  const Classifier classify{rules, settings, names, json_from};
  Report summary(settings.min_level);
  Progress progress(!settings.quiet && ::isatty(STDERR_FILENO) == 1);
  std::uint64_t done = 0, skipped = 0;
  bool output_failed = false;
  std::optional<Fault> fault;

  const auto take = [&](Batch& b) {
    if (b.fault) {
      if (!fault) fault = b.fault;
      return;
    }
    if (!b.json.empty() && !output_failed && !write_stdout(b.json)) output_failed = true;
    for (std::size_t i = 0; i < b.results.size(); ++i) summary.add(std::move(b.entries[i]), std::move(b.results[i]));
    done += b.results.size();
  };

  std::vector<SourceStats> stats;
  {
    std::optional<ThreadPool> pool;
    if (threads > 1) pool.emplace(threads);
    std::deque<std::future<Batch>> in_flight;
    const std::size_t max_in_flight = threads * kBatchesInFlightPerThread;
    const auto submit = [&](Batch&& b) {
      if (!pool) {
        classify(b);
        take(b);
        return;
      }
      while (in_flight.size() >= max_in_flight) {
        Batch ready = in_flight.front().get();
        in_flight.pop_front();
        take(ready);
      }
      in_flight.push_back(pool->submit([&classify, b = std::move(b)]() mutable {
        classify(b);
        return std::move(b);
      }));
    };

    for (std::uint32_t i = 0; i < paths.size() && !fault && !output_failed; ++i) {
      SourceReader reader(paths[i].path, paths[i].name, settings.format, i);
      Batch batch;
      Entry entry;
      while (!fault && !output_failed && reader.next(entry)) {
        if (settings.selects() && !settings.selected(entry)) {
          ++skipped;
          continue;
        }
        batch.entries.push_back(std::move(entry));
        entry = Entry{};
        if (batch.entries.size() == kBatchSize) {
          submit(std::move(batch));
          batch = Batch{};
          progress.update(done, paths[i].name);
        }
      }
      if (!batch.entries.empty()) submit(std::move(batch));
      stats.push_back(std::move(reader.stats()));
    }
    while (!in_flight.empty()) {
      Batch ready = in_flight.front().get();
      in_flight.pop_front();
      take(ready);
      progress.update(done, paths.back().name);
    }
  }
  progress.clear();
  if (settings.selects()) {
    std::string what;
    const auto add = [&](std::string_view part) { what.append(what.empty() ? "" : ", ").append(part); };
    if (options.since) add("since " + *options.since);
    if (options.until) add("until " + *options.until);
    if (settings.session) add("session " + *settings.session);
    if (settings.under) add("under " + *settings.under);
    summary.set_selection(printable(what), skipped);
  }
  if (fault) {
    report(fault->message, kSub);
    return kExitSoftware;
  }
  if (output_failed) {
    report("cannot write standard output", kSub);
    return kExitIo;
  }

  // Problems go to standard error whatever the output, one line per source.
  bool any_read = false;
  for (const SourceStats& s : stats) {
    if (s.lines > 0 || s.error.empty()) any_read = true;
    if (s.problem_count() == 0 || settings.quiet) continue;
    std::string line = printable(s.name) + ": ";
    if (!s.error.empty() && s.lines == 0) {
      line += "cannot read: " + s.error;
    } else {
      std::string parts;
      for (const ProblemRow& p : kProblemTable) {
        const std::uint64_t n = s.problems[static_cast<std::size_t>(p.problem)];
        if (n == 0 || p.problem == Problem::Redacted) continue;
        if (!parts.empty()) parts += ", ";
        parts += p.problem == Problem::Unreadable
                     ? "read failed: " + s.error
                     : with_commas(n) + " " + std::string(n == 1 ? p.one : p.many) + " (first at line " +
                           std::to_string(s.first_line[static_cast<std::size_t>(p.problem)]) + ")";
      }
      line += parts + "; the rest was audited";
    }
    report(line, kSub);
  }

  if (settings.html) {
    if (!write_file(*settings.html, summary.html(stats, !settings.show_secrets), error)) {
      report(error, kSub);
      return kExitIo;
    }
  }
  if (!settings.json && !write_stdout(summary.terminal(stats, use_colour()))) {
    report("cannot write standard output", kSub);
    return kExitIo;
  }
  if (!flush_stdout()) {
    report("cannot write standard output", kSub);
    return kExitIo;
  }
  return any_read ? 0 : kExitNoInput;
}

}  // namespace corvane::cli
