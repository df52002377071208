// `corvane rules check [FILE]`: the rule-file lint.
//
// Classification reads rule files quietly: an element that is skipped, a
// key that falls back to its default, a clamped value or an unknown section
// change nothing but the verdict. The lint shows each of them with its place
// in the file, in the FILE:LINE:COLUMN: form editors understand.
#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "custom_rules.h"
#include "text.h"

namespace corvane::cli {
namespace {

constexpr std::string_view kSub = "rules";

std::string at(const std::string& path, SourcePosition where) {
  std::string out = printable(path);
  if (where.line != 0) {
    out.push_back(':');
    out.append(std::to_string(where.line));
    out.push_back(':');
    out.append(std::to_string(where.column));
  }
  out.append(": ");
  return out;
}

// Lints one file and prints what it found; returns whether there was anything.
bool lint(const std::string& path, bool project, std::string& out) {
  const RuleFile file = read_rule_file(path, project);
  if (file.error) {
    if (file.error->kind == RuleFileError::Kind::Read) {
      out += at(path, {}) + "cannot read: " + printable(file.error->description) + "\n";
    } else {
      const SourcePosition where = file.error->where.line != 0 ? file.error->where : SourcePosition{1, 1};
      out += at(path, where) + "invalid TOML: " + printable(file.error->description) + "\n";
    }
    return true;
  }
  std::vector<RuleNote> notes = file.notes;
  std::stable_sort(notes.begin(), notes.end(), [](const RuleNote& a, const RuleNote& b) {
    return a.where.line != b.where.line ? a.where.line < b.where.line : a.where.column < b.where.column;
  });
  for (const RuleNote& n : notes) out += at(path, n.where) + printable(n.message) + "\n";
  return !notes.empty();
}

}  // namespace

int run_rules(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Rules, args, options)) return *done;
  auto usage = [](const std::string& why) { return usage_error(Subcommand::Rules, why); };
  if (options.commands.empty() || options.commands.front() != "check")
    return usage(options.commands.empty() ? "no action given" : "unknown action '" + printable(options.commands.front()) + "'");
  if (options.commands.size() > 2) return usage("check takes at most one FILE");

  std::string out;
  bool found = false;
  if (options.commands.size() == 2) {
    const std::string& path = options.commands[1];
    found = lint(path, text::base_name(path) == ".corvane.toml", out);
  } else {
    // What classification would read for a command run here.
    ClassifyContext here;
    here.cwd = ".";
    const RulePaths paths = rule_paths(&here);
    bool any = false;
    if (paths.project) {
      any = true;
      found = lint(*paths.project, true, out) || found;
    }
    if (paths.user && rule_file_exists(*paths.user)) {
      any = true;
      found = lint(*paths.user, false, out) || found;
    }
    if (!any) report("no rule file here (looked for ./.corvane.toml and ~/.config/corvane/rules.toml)", kSub);
  }
  if (!write_stdout(out) || !flush_stdout()) return kExitIo;
  return found ? 1 : 0;
}

}  // namespace corvane::cli
