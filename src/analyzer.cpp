#include "analyzer.h"

#include <algorithm>

#include "context.h"
#include "rules/capabilities.h"
#include "rules/commands.h"
#include "rules/injection.h"
#include "rules/paths.h"
#include "rules/zsh.h"
#include "scorer.h"
#include "text.h"
#include "words.h"

namespace corvane {
namespace {

// Paths are recognised by shape only: "./x", "/x", "~/x", anything with a "/"
// that is not an option, and the bare glob "*". Plain words such as
// "README.md" are not targets.
bool looks_like_path(std::string_view arg) {
  if (arg.empty()) return false;
  const char first = arg.front();
  if (first == '.' || first == '/' || first == '~') return true;
  if (first != '-' && text::contains(arg, '/')) return true;
  return arg == "*";
}

Sensitivity sensitivity_of(std::string_view path, const ClassifyContext* ctx) {
  if (ctx != nullptr) {
    for (const std::string& p : ctx->protected_paths)
      if (text::contains(path, p)) return Sensitivity::Protected;
  }
  if (auto m = rules::match_sensitivity(path)) return m->sensitivity;
  return Sensitivity::Normal;
}

void add_unique(std::vector<RiskFactor>& factors, RiskFactor f) {
  if (std::find(factors.begin(), factors.end(), f) == factors.end()) factors.push_back(f);
}

// How a file written through a redirect is judged: as tee judges the file it
// writes.
struct WriteJudgement {
  Intent intent;
  Reversibility reversibility;
};
constexpr WriteJudgement kRedirectWrite{Intent::Write, Reversibility::Reversible};

// Redirect targets where output goes without changing a file: the null
// device, the process's own streams and descriptors.
bool harmless_sink(std::string_view path) {
  const std::string p = normalize_path(path);
  if (p == "/dev/null" || p == "/dev/stdout" || p == "/dev/stderr") return true;
  std::string_view fd = p;
  if (!fd.starts_with("/dev/fd/")) return false;
  fd.remove_prefix(8);
  return !fd.empty() && std::all_of(fd.begin(), fd.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ">&2", "2>&1", "<&0", ">&-": the target is a descriptor.
bool duplicates_descriptor(const Redirection& r, std::string_view value) {
  if (!r.ampersand) return false;
  return value == "-" || (!value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '-';
  }));
}

// Whether the redirect writes the file it names.
bool writes_file(const Redirection& r, std::string_view value) {
  if (r.kind != RedirectKind::Output && r.kind != RedirectKind::Append) return false;
  return !duplicates_descriptor(r, value) && !harmless_sink(value);
}

// A word as matching sees it: quotes removed when nothing in it expands.
std::string matched_value(const std::string& written) {
  if (!has_quoting(written)) return written;
  std::optional<std::string> value = remove_quotes(written);
  return value ? std::move(*value) : written;
}

// The word's offset in the segment's text, when the parser's offsets place
// it there.
std::size_t offset_in(std::string_view text, std::size_t text_start, std::size_t word_start,
                      std::string_view written) {
  if (word_start < text_start) return std::string_view::npos;
  const std::size_t at = word_start - text_start;
  if (at > text.size() || text.substr(at, written.size()) != written) return std::string_view::npos;
  return at;
}

// The words the flag rules look at, from offset `from` of the text on: the
// text split at white space as typed, except that a quoted word stays one
// word and is seen after quote removal, so that text inside one quoted
// argument never reads as a flag.
std::vector<std::string_view> flag_words(const SimpleCommand& cmd, std::size_t from) {
  const std::string_view text = cmd.text();
  std::vector<std::string_view> out;
  std::size_t pos = std::min(from, text.size());
  auto split_until = [&](std::size_t end) {
    for (std::string_view w : text::split_words(text.substr(pos, end - pos))) out.push_back(w);
  };
  for (const Word& w : cmd.words) {
    if (w.at == std::string_view::npos || w.at < pos || !has_quoting(w.written)) continue;
    split_until(w.at);
    if (!w.value.empty()) out.push_back(w.value);
    pos = w.at + w.written.size();
  }
  split_until(text.size());
  return out;
}

}  // namespace

SimpleCommand build_simple_command(CommandSegment segment, const ClassifyContext* ctx,
                                   ShellKind shell, std::span<const ParseWarning> warnings) {
  SimpleCommand cmd;
  CommandAnalysis& a = cmd.analysis;
  a.command = std::move(segment.text);
  cmd.redirections = std::move(segment.redirections);
  cmd.assignments = std::move(segment.assignments);
  cmd.in_subshell = segment.in_subshell;

  const std::string_view text = a.command;
  cmd.words.reserve(segment.arguments.size() + 1);
  if (segment.executable) {
    cmd.has_executable = true;
    const std::string& exe = *segment.executable;
    cmd.words.push_back(
        {exe, matched_value(exe), offset_in(text, segment.start, segment.executable_start, exe)});
    a.executable = std::move(segment.executable);
  }
  for (Argument& arg : segment.arguments) {
    const std::size_t at = offset_in(text, segment.start, arg.start, arg.text);
    std::string value = matched_value(arg.text);
    cmd.words.push_back({std::move(arg.text), std::move(value), at});
  }

  // Command rule, and capabilities looked up independently with the same key.
  cmd.rule = cmd.has_executable ? rules::lookup_command(cmd.program()) : nullptr;
  if (cmd.rule != nullptr) {
    a.intent = {cmd.rule->intent};
    a.reversibility = cmd.rule->reversibility;
    if (!cmd.rule->flag_rules.empty()) a.flags = rules::match_flag_rules(*cmd.rule, flag_words(cmd, 0));
  } else {
    a.intent = {Intent::Execute};
    a.reversibility = Reversibility::HardToReverse;
  }
  if (cmd.has_executable) a.capabilities = rules::lookup_capabilities(cmd.program());

  // Targets: path-like arguments, then every non-empty redirection target.
  auto add_target = [&](const std::string& written, const std::string& value, bool writes = false) {
    Target shown{written, resolve_scope(value, ctx), sensitivity_of(value, ctx)};
    a.targets.push_back(shown);
    cmd.targets.push_back({std::move(shown), value, writes});
  };
  for (const Word& w : cmd.arguments())
    if (looks_like_path(w.value)) add_target(w.written, w.value);
  for (const Redirection& r : cmd.redirections) {
    if (r.target.empty()) continue;
    const bool names_file = r.kind != RedirectKind::Heredoc && r.kind != RedirectKind::Herestring;
    const std::string value = names_file ? matched_value(r.target) : r.target;
    add_target(r.target, value, names_file && writes_file(r, value));
  }
  if (a.targets.empty()) a.targets.push_back({std::nullopt, TargetScope::None, Sensitivity::Normal});

  // Risk factors: flags (repeats kept), detectors, then the line's warnings.
  for (const FlagAnalysis& f : a.flags) a.risk_factors.push_back(f.risk_factor);
  cmd.detections = rules::matching_patterns(rules::injection_rules(), text);
  if (shell == ShellKind::Zsh) {
    for (rules::PatternMatch& m : rules::matching_patterns(rules::zsh_rules(), text))
      cmd.detections.push_back(m);
  }
  for (const rules::PatternMatch& m : cmd.detections) {
    add_unique(a.risk_factors, m.risk_factor);
    cmd.detector_weight = std::max(cmd.detector_weight, m.weight);
  }
  for (const ParseWarning& w : warnings) {
    switch (w.kind) {
      case WarningKind::ControlCharacters:
      case WarningKind::UnicodeWhitespace:
        add_unique(a.risk_factors, RiskFactor::ShellInjection);
        break;
      case WarningKind::AnsiCQuoting:
        add_unique(a.risk_factors, RiskFactor::ObfuscatedCommand);
        break;
      default:
        break;
    }
  }
  return cmd;
}

void score_simple_command(const SimpleCommand& cmd, CommandAnalysis& analysis,
                          const ClassifyContext* ctx, std::optional<std::uint8_t> base_weight) {
  std::vector<std::string_view> paths;
  paths.reserve(cmd.targets.size());
  for (const PathTarget& t : cmd.targets) paths.push_back(t.value);
  score_command(analysis, ctx, cmd.detector_weight, base_weight, paths);

  // A file written through a redirect is judged as the target of a command
  // that writes files (tee): the segment scores at least that.
  for (const PathTarget& t : cmd.targets) {
    if (!t.written) continue;
    CommandAnalysis write;
    write.command = analysis.command;
    write.intent = {kRedirectWrite.intent};
    write.reversibility = kRedirectWrite.reversibility;
    write.targets = {t.shown};
    const std::string_view path = t.value;
    score_command(write, ctx, cmd.detector_weight, std::nullopt, std::span(&path, 1));
    analysis.score = std::max(analysis.score, write.score);
  }
}

void score_simple_command(SimpleCommand& cmd, const ClassifyContext* ctx) {
  score_simple_command(cmd, cmd.analysis, ctx);
}

CommandAnalysis analyze_segment(CommandSegment segment, const ClassifyContext* ctx,
                                ShellKind shell, std::span<const ParseWarning> warnings) {
  return build_simple_command(std::move(segment), ctx, shell, warnings).analysis;
}

}  // namespace corvane
