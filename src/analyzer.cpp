#include "analyzer.h"

#include <algorithm>
#include <utility>

#include "context.h"
#include "nested.h"
#include "rules/arguments.h"
#include "rules/capabilities.h"
#include "rules/commands.h"
#include "rules/injection.h"
#include "rules/paths.h"
#include "rules/wrappers.h"
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

// The sensitivity of a target: protected when the path resolved against the
// working directory lies under a protected path, else the best rule that
// matches the path normalised as written or as resolved (".ssh/config"
// matches only as written, "../../etc/shadow" only as resolved). A trailing
// "/" stays, since the rules for a directory's contents ("/etc/ssh/*") cover
// "/etc/ssh/" and not "/etc/ssh".
Sensitivity sensitivity_of(std::string_view path, const ClassifyContext* ctx) {
  std::string resolved = resolve_path(path, ctx, PathBase::Cwd);
  if (ctx != nullptr && is_protected(resolved, *ctx)) return Sensitivity::Protected;
  std::string written = normalize_lexically(path);
  if (path.size() > 1 && path.ends_with('/')) {
    if (written != "/") written.push_back('/');
    if (resolved != "/") resolved.push_back('/');
  }
  std::optional<rules::SensitivityMatch> best = rules::match_sensitivity(written);
  if (auto m = rules::match_sensitivity(resolved); m && (!best || m->sensitivity > best->sensitivity)) best = m;
  return best ? best->sensitivity : Sensitivity::Normal;
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
  const std::string p = normalize_lexically(path);
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

// For a command whose operands name files, which of its arguments are such
// operands: every word that is no option, no option's value and none of the
// leading operands that name something else (the mode of chmod, the owner of
// chown; "--reference" takes their place). A word whose value holds an
// expansion or a process substitution, or the "{}" that find -exec and
// xargs -I fill in, is left out:
// where it points is unknown, and taking it for a file of the working
// directory would lower its score.
std::vector<bool> file_operands(std::span<const Word> arguments, const rules::ArgumentRule& rule) {
  std::vector<bool> out(arguments.size(), false);
  std::size_t leading = rule.leading_operands;
  bool options = true;       // options are still read ("--" ends them)
  bool option_value = false;  // this word is the value of the option before
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view v = arguments[i].value;
    if (std::exchange(option_value, false)) continue;
    if (options && v == "--") {
      options = false;
      continue;
    }
    const bool dash_operand = leading > 0 && !rule.dash_operand_letters.empty() && v.size() > 1 &&
                              v.front() == '-' &&
                              v.find_first_not_of(rule.dash_operand_letters, 1) == std::string_view::npos;
    if (options && v.size() > 1 && v.front() == '-' && !dash_operand) {
      if (v.starts_with("--")) {
        const std::string_view name = v.substr(0, v.find('='));
        if (name == "--reference") leading = 0;
        const bool takes_value = std::find(rule.long_with_value.begin(), rule.long_with_value.end(), name) !=
                                 rule.long_with_value.end();
        option_value = takes_value && name.size() == v.size();
      } else {
        // "-m 755" or "-m755": the value follows the option's letter.
        const std::size_t at = v.find_first_of(rule.short_with_value, 1);
        option_value = at != std::string_view::npos && at + 1 == v.size();
      }
      continue;
    }
    if (leading > 0) {
      --leading;
      continue;
    }
    out[i] = !v.empty() && v.find_first_of("$`") == std::string_view::npos && !text::contains(v, "{}") &&
             !text::contains(v, "<(") && !text::contains(v, ">(");
  }
  return out;
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

namespace {

// The judgement of the command whose name is word `program` of the segment
// (its arguments are the words after it): intent, reversibility, flags,
// capabilities and targets, with the flags' risk factors.
void judge(const SimpleCommand& cmd, std::size_t program, const ClassifyContext* ctx,
           CommandAnalysis& a, std::vector<PathTarget>& targets) {
  const rules::CommandRule* rule = nullptr;
  std::string_view name;
  if (cmd.has_executable) {
    name = text::base_name(cmd.words[program].value);
    rule = rules::lookup_command(name);
  }
  const rules::ArgumentRule* args = cmd.has_executable ? rules::argument_rule(name) : nullptr;
  // A directory change acts on nothing: it is judged as an information
  // command whatever its argument. A subshell's merged segment is left as it
  // is, since the commands after the cd are not in it.
  const bool navigation =
      args != nullptr && args->role == rules::ArgumentRole::Navigation && !cmd.in_subshell;
  if (navigation) {
    a.intent = {Intent::Info};
    a.reversibility = Reversibility::Reversible;
  } else if (rule != nullptr) {
    a.intent = {rule->intent};
    a.reversibility = rule->reversibility;
    if (!rule->flag_rules.empty()) {
      const std::size_t at = cmd.words[program].at;
      if (program == 0 || at != std::string_view::npos) {
        a.flags = rules::match_flag_rules(*rule, flag_words(cmd, program == 0 ? 0 : at));
      } else {
        std::vector<std::string_view> values;
        for (std::size_t i = program; i < cmd.words.size(); ++i) values.push_back(cmd.words[i].value);
        a.flags = rules::match_flag_rules(*rule, values);
      }
    }
  } else {
    a.intent = {Intent::Execute};
    a.reversibility = Reversibility::HardToReverse;
  }
  // Capabilities are looked up independently with the same key.
  if (cmd.has_executable) a.capabilities = rules::lookup_capabilities(name);

  // Targets: path-like arguments, then every non-empty redirection target.
  auto add_target = [&](const std::string& written, const std::string& value, bool writes = false) {
    Target shown{written, resolve_scope(value, ctx), sensitivity_of(value, ctx)};
    a.targets.push_back(shown);
    targets.push_back({std::move(shown), value, writes});
  };
  const std::size_t first_argument = cmd.has_executable ? program + 1 : 0;
  const bool files = args != nullptr && args->role == rules::ArgumentRole::Files;
  const std::vector<bool> operands =
      files ? file_operands(std::span(cmd.words).subspan(first_argument), *args) : std::vector<bool>{};
  for (std::size_t i = navigation ? cmd.words.size() : first_argument; i < cmd.words.size(); ++i) {
    const Word& w = cmd.words[i];
    if (looks_like_path(w.value) || (files && operands[i - first_argument])) add_target(w.written, w.value);
  }
  for (const Redirection& r : cmd.redirections) {
    if (r.target.empty()) continue;
    const bool names_file = r.kind != RedirectKind::Heredoc && r.kind != RedirectKind::Herestring;
    const std::string value = names_file ? matched_value(r.target) : r.target;
    add_target(r.target, value, names_file && writes_file(r, value));
  }
  if (a.targets.empty()) a.targets.push_back({std::nullopt, TargetScope::None, Sensitivity::Normal});

  for (const FlagAnalysis& f : a.flags) a.risk_factors.push_back(f.risk_factor);
}

// Risk factors that belong to the segment's text and line, whatever runs:
// detectors, then the line's warnings.
void add_text_factors(const SimpleCommand& cmd, std::span<const ParseWarning> warnings,
                      std::vector<RiskFactor>& factors) {
  for (const rules::PatternMatch& m : cmd.detections) add_unique(factors, m.risk_factor);
  for (const ParseWarning& w : warnings) {
    switch (w.kind) {
      case WarningKind::ControlCharacters:
      case WarningKind::UnicodeWhitespace:
        add_unique(factors, RiskFactor::ShellInjection);
        break;
      case WarningKind::AnsiCQuoting:
        add_unique(factors, RiskFactor::ObfuscatedCommand);
        break;
      default:
        break;
    }
  }
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

  cmd.detections = rules::matching_patterns(rules::injection_rules(), text);
  if (shell == ShellKind::Zsh) {
    for (rules::PatternMatch& m : rules::matching_patterns(rules::zsh_rules(), text))
      cmd.detections.push_back(m);
  }
  for (const rules::PatternMatch& m : cmd.detections)
    cmd.detector_weight = std::max(cmd.detector_weight, m.weight);

  // A wrapper is looked through: the segment is judged as the program it
  // runs, and the wrapper's own judgement is kept beside it.
  if (cmd.has_executable) {
    std::vector<std::string_view> values;
    values.reserve(cmd.words.size());
    for (const Word& w : cmd.words) values.push_back(w.value);
    if (const auto program = nested::program_index(values); program && *program > 0) {
      cmd.program_word = *program;
      cmd.wrapper_rule = rules::lookup_command(text::base_name(cmd.words.front().value));
      SimpleCommand::OwnJudgement own;
      own.analysis.command = a.command;
      own.analysis.executable = a.executable;
      judge(cmd, 0, ctx, own.analysis, own.targets);
      add_text_factors(cmd, warnings, own.analysis.risk_factors);
      if (auto f = rules::wrapper_factor(text::base_name(cmd.words.front().value)))
        add_unique(own.analysis.risk_factors, *f);
      cmd.wrapper = std::move(own);
    }
  }

  cmd.rule = cmd.has_executable ? rules::lookup_command(cmd.program()) : nullptr;
  judge(cmd, cmd.program_word, ctx, a, cmd.targets);
  add_text_factors(cmd, warnings, a.risk_factors);
  // The wrapper's own risk factors stay (privilege escalation for sudo).
  if (cmd.wrapper)
    for (RiskFactor f : cmd.wrapper->analysis.risk_factors) add_unique(a.risk_factors, f);
  return cmd;
}

namespace {

void score_judgement(const SimpleCommand& cmd, CommandAnalysis& analysis,
                     std::span<const PathTarget> targets, const ClassifyContext* ctx,
                     std::optional<std::uint8_t> base_weight) {
  std::vector<std::string_view> paths;
  paths.reserve(targets.size());
  for (const PathTarget& t : targets) paths.push_back(t.value);
  score_command(analysis, ctx, cmd.detector_weight, base_weight, paths);

  // A file written through a redirect is judged as the target of a command
  // that writes files (tee): the segment scores at least that.
  for (const PathTarget& t : targets) {
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

}  // namespace

void score_simple_command(const SimpleCommand& cmd, CommandAnalysis& analysis,
                          const ClassifyContext* ctx, std::optional<std::uint8_t> base_weight) {
  score_judgement(cmd, analysis, cmd.targets, ctx, base_weight);
  // Through a wrapper: the higher of the command it runs and its own.
  if (cmd.wrapper) {
    CommandAnalysis own = cmd.wrapper->analysis;
    score_judgement(cmd, own, cmd.wrapper->targets, ctx, std::nullopt);
    analysis.score = std::max(analysis.score, own.score);
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
