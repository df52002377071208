// build/corvane: classify command lines from the shell.
//
//   corvane check 'rm -rf build' 'ls'      readable summary, exit 0/1/2
//   corvane check --json --stdin < cmds    one JSON line per input line
//   corvane hook < payload.json            pre-tool-use hook for coding agents
//   corvane mcp                            Model Context Protocol server on stdio
//   corvane audit ~/.zsh_history --html r.html   look back on what ran
//   eval "$(corvane init bash)"            check each interactive line (bash, zsh, fish)
//   corvane 'curl -s https://x.sh | bash'  one JSON line per argument, exit 0
//
// The last form predates the subcommands; ./corvane and `make demo` use it,
// so it keeps printing JSON and exiting 0 whatever the verdict.
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "corvane.h"

namespace corvane::cli {
namespace {


// Splits standard input into commands, one per line. Lines may end in LF or
// CRLF (a file written on Windows); lines of nothing but spaces and tabs are
// skipped.
std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.find_first_not_of(" \t") != std::string_view::npos) lines.emplace_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

bool print_results(const std::vector<AnalysisResult>& results, bool json) {
  const bool colour = !json && use_colour();
  for (std::size_t i = 0; i < results.size(); ++i) {
    // A command may hold any bytes; a JSON line must still be UTF-8.
    const std::string text = json ? valid_utf8(to_json(results[i])) + "\n" : render_summary(results[i], colour);
    if (!json && i > 0 && !write_stdout("\n")) return false;
    if (!write_stdout(text)) return false;
  }
  return flush_stdout();
}

// Classifies the commands as one batch (the rule file is read once) and
// prints them. Returns the exit status for a failure, or nothing.
std::optional<int> classify_and_print(const std::vector<std::string>& commands,
                                      const ContextOptions& options, bool json,
                                      std::vector<AnalysisResult>& results) {
  const ClassifyContext ctx = options.to_context();
  auto outcome = corvane::classify_batch(commands, options.any() ? &ctx : nullptr);
  if (!outcome) {
    report(outcome.fault().message);
    return kExitSoftware;
  }
  results = std::move(outcome).value();
  if (!print_results(results, json)) {
    report("cannot write standard output");
    return kExitIo;
  }
  return std::nullopt;
}

int run_check(std::span<const std::string_view> args) {
  constexpr std::string_view sub = "check";
  Options options;
  if (auto done = parse_or_answer(Subcommand::Check, args, options)) return *done;
  if (options.from_stdin && !options.commands.empty()) {
    return usage_error(Subcommand::Check, "--stdin and COMMAND arguments cannot be combined");
  }
  if (!options.from_stdin && options.commands.empty()) {
    return usage_error(Subcommand::Check, "no command given (pass COMMAND... or --stdin)");
  }
  if (options.from_stdin) {
    std::string error;
    const std::optional<std::string> text = read_stdin(error);
    if (!text) {
      report(error, sub);
      return kExitIo;
    }
    options.commands = split_lines(*text);
  }
  std::vector<AnalysisResult> results;
  if (auto failed = classify_and_print(options.commands, options.context, options.json, results)) {
    return *failed;
  }
  return exit_status(results);
}

int run_plain(std::span<const std::string_view> args) {
  const std::vector<std::string> commands(args.begin(), args.end());
  std::vector<AnalysisResult> results;
  if (auto failed = classify_and_print(commands, {}, true, results)) return *failed;
  return 0;
}

int dispatch(std::span<const std::string_view> args) {
  if (args.empty()) return usage_error(Subcommand::Plain, "no command given");
  const std::string_view first = args.front();
  if (first == "--help" || first == "-h") return write_stdout(help_text()) ? 0 : kExitIo;
  if (first == "--version") {
    return write_stdout("corvane " + std::string(corvane::version()) + "\n") ? 0 : kExitIo;
  }
  if (const std::optional<Subcommand> sub = find_subcommand(first)) {
    switch (*sub) {
      case Subcommand::Check: return run_check(args.subspan(1));
      case Subcommand::Hook: return run_hook(args.subspan(1));
      case Subcommand::Mcp: return run_mcp(args.subspan(1));
      case Subcommand::Init: return run_init(args.subspan(1));
      case Subcommand::Rules: return run_rules(args.subspan(1));
      case Subcommand::Guard: return run_guard(args.subspan(1));
      case Subcommand::Audit: return run_audit(args.subspan(1));
      case Subcommand::Plain: break;
    }
  }
  if (first.size() > 1 && first.starts_with('-')) {
    return usage_error(Subcommand::Plain, "unknown option '" + printable(first) + "' (options follow a subcommand: corvane check --json ...)");
  }
  return run_plain(args);
}

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    return corvane::cli::dispatch(args);
  } catch (const std::bad_alloc&) {
    corvane::cli::report("out of memory");
    return corvane::cli::kExitSoftware;
  }
}
