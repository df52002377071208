// Pieces of the command-line program build/corvane shared by its units:
// exit statuses, the context options, bounded input, output and rendering.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace corvane::cli {

// Exit statuses. 0, 1 and 2 are verdicts (safe, risky, blocked); the others
// follow sysexits.h so that scripts can tell a verdict from a failure.
inline constexpr int kExitSafe = 0;
inline constexpr int kExitRisky = 1;
inline constexpr int kExitBlocked = 2;
inline constexpr int kExitUsage = 64;     // EX_USAGE
inline constexpr int kExitNoInput = 66;   // EX_NOINPUT: nothing to read (audit)
inline constexpr int kExitSoftware = 70;  // EX_SOFTWARE: the engine reported a fault
inline constexpr int kExitIo = 74;        // EX_IOERR: standard input or output failed

// Standard input is read whole, so a hostile or runaway producer must not be
// able to make us hold more than this.
inline constexpr std::size_t kMaxInputBytes = std::size_t{16} << 20;

// What the caller said about where the commands would run. Nothing set means
// "no context", which the engine treats differently from an empty context.
struct ContextOptions {
  std::optional<std::string> cwd;
  std::optional<std::string> project_root;
  std::optional<std::string> home_dir;
  std::vector<std::string> protected_paths;
  std::optional<ShellKind> shell;

  bool any() const noexcept {
    return cwd || project_root || home_dir || !protected_paths.empty() || shell;
  }
  ClassifyContext to_context() const;
};

// What the hook answers for a risky command: ask where the agent can ask
// (deny where it cannot), deny everywhere, or let it through.
enum class RiskyAnswer : unsigned char { Ask, Deny, Allow };

// Result of parsing one subcommand's arguments.
struct Options {
  ContextOptions context;
  bool json = false;
  bool from_stdin = false;
  bool help = false;
  // hook
  std::optional<std::string> agent;
  RiskyAnswer risky = RiskyAnswer::Ask;
  bool allow_safe = false;
  bool fail_open = false;
  std::optional<std::string> log;
  bool log_redact = false;
  // guard
  std::optional<std::string> ask_at;
  bool fish = false;  // --shell fish: classified with the bash rules
  bool fresh_line = false;
  // init
  bool force = false;
  // audit
  std::optional<std::string> audit_format;
  std::optional<std::string> min_level;
  std::optional<std::string> since, until, session, under;
  std::optional<std::string> html;
  std::optional<std::string> jobs;
  bool quiet = false;
  bool show_secrets = false;
  std::vector<std::string> commands;  // the words that are not options
};

// The program's forms. Each has a row in the subcommand table (names, usage
// lines, help) and the options it accepts are marked in the option table.
enum class Subcommand : unsigned char { Check, Hook, Mcp, Init, Rules, Guard, Audit, Plain };

// The whole help of the program, and the help of one subcommand, both
// generated from the option and subcommand tables.
std::string help_text();
std::string help_text(Subcommand sub);

// The subcommand of that name; nothing for a word that names none.
std::optional<Subcommand> find_subcommand(std::string_view name) noexcept;

// The agent dialects of `corvane hook`, for --agent.
bool is_agent_name(std::string_view name) noexcept;
std::string_view agent_names() noexcept;  // "claude, codex, ..."

// Reports a usage error of a subcommand on standard error, with a pointer to
// its help, and returns the usage exit status.
int usage_error(Subcommand sub, std::string_view message);

// The start every subcommand shares: parses `args` into `options` and
// answers a usage error or --help itself. Returns the exit status when that
// already finished the subcommand, nothing when it should go on.
std::optional<int> parse_or_answer(Subcommand sub, std::span<const std::string_view> args, Options& options);

// Parses `args` (the words after the subcommand). Returns false and sets
// `error` to a one-line message on a usage error.
bool parse_options(Subcommand sub, std::span<const std::string_view> args, Options& out,
                   std::string& error);

// Reads all of standard input. Returns nothing and sets `error` when reading
// fails or the input exceeds kMaxInputBytes.
std::optional<std::string> read_stdin(std::string& error);

// Writes text to standard output; false when the stream has failed.
bool write_stdout(std::string_view text);
bool flush_stdout();

// Prints "corvane: MESSAGE" (or "corvane SUB: MESSAGE") on standard error.
void report(std::string_view message, std::string_view sub = {});

// The verdict of a whole batch as an exit status: the worst decision wins.
int exit_status(std::span<const AnalysisResult> results) noexcept;

// Text safe to show on a terminal: control characters, invalid UTF-8 and the
// invisible or direction-changing code points a command could use to hide
// what it does are shown as escapes (\n, \x1b, \u{202e}).
std::string printable(std::string_view text);

// Whether the readable summary should carry ANSI colours: only when standard
// output is a terminal and NO_COLOR is unset or empty.
bool use_colour();

// The readable summary of one result, ending with a newline.
std::string render_summary(const AnalysisResult& result, bool colour);

// The summary's first line ("BLOCKED  score 100 (critical)  rm -rf /") and
// one of its labelled lines ("  reason      ..."), each ending with a newline.
// `text` is shown as given: pass it through printable() first.
std::string render_verdict_line(const AnalysisResult& result, bool colour);
std::string render_labelled_line(std::string_view label, std::string_view text, bool colour);

// Text that is valid UTF-8: every invalid sequence becomes U+FFFD. Used on
// JSON lines, whose strings quote commands that may hold any bytes.
std::string valid_utf8(std::string_view text);

// At most `limit` bytes of `text`, cut at a character boundary and marked
// with "..." when shortened.
std::string shortened(std::string_view text, std::size_t limit);

// `corvane hook`: the pre-tool-use hook of coding agents.
int run_hook(std::span<const std::string_view> args);

// `corvane mcp`: a Model Context Protocol server on standard input and output.
int run_mcp(std::span<const std::string_view> args);

// `corvane init [--force]`: installs the default rule pack as the user's rule
// file; `corvane init bash|zsh|fish`: prints the snippet for that shell.
int run_init(std::span<const std::string_view> args);

// The snippet for an interactive shell (bash, zsh or fish), printed; a usage
// error for any other name.
int print_shell_snippet(std::string_view shell);

// The curated rule pack, rules/default.toml, as built into the program.
std::string_view default_rule_pack() noexcept;

// `corvane rules check [FILE]`: the rule-file lint.
int run_rules(std::span<const std::string_view> args);

// `corvane audit [FILE...]`: histories, transcripts and logs looked back on.
int run_audit(std::span<const std::string_view> args);

// `corvane guard`: what the shell snippets run for each interactive line.
int run_guard(std::span<const std::string_view> args);

}  // namespace corvane::cli
