// Argument parsing and the plain input/output helpers of build/corvane.
#include <algorithm>
#include <array>
#include <cstdio>

#include "cli.h"

namespace corvane::cli {
namespace {

enum class OptionKind : unsigned char {
  Json, Stdin, Help, EndOfOptions, Cwd, ProjectRoot, Home, Protect, Shell,
  Agent, Risky, AllowSafe, FailOpen, Log, LogRedact, AskAt, FreshLine, Force,
  Format, MinLevel, Html, Quiet, ShowSecrets, Jobs, Since, Until, Session, Under,
};

// Which subcommands accept an option, one bit per Subcommand.
using SubcommandSet = unsigned;
constexpr SubcommandSet only(Subcommand sub) noexcept { return 1u << static_cast<unsigned>(sub); }
constexpr SubcommandSet kCheck = only(Subcommand::Check);
constexpr SubcommandSet kHook = only(Subcommand::Hook);
constexpr SubcommandSet kMcp = only(Subcommand::Mcp);
constexpr SubcommandSet kInit = only(Subcommand::Init);
constexpr SubcommandSet kRules = only(Subcommand::Rules);
constexpr SubcommandSet kGuard = only(Subcommand::Guard);
constexpr SubcommandSet kAudit = only(Subcommand::Audit);
constexpr SubcommandSet kContext = kCheck | kHook | kGuard;

// Options that say where the commands would run; the help lists them in a
// section of their own, shared by every subcommand that takes them.
enum class OptionGroup : unsigned char { Own, Context };

struct OptionRow {
  std::string_view name;
  OptionKind kind;
  std::string_view value;  // the value's placeholder in the help; empty: takes none
  SubcommandSet accepted_by;
  OptionGroup group;
  std::string_view help;  // empty: an alias or a form the usage lines already show
};

// Every option of every subcommand: parsing and the help text both read it.
// clang-format off
constexpr std::array<OptionRow, 31> kOptionTable{{
  {"--json",         OptionKind::Json,         "",              kCheck | kAudit,  OptionGroup::Own,     "one JSON line per command instead of the summary"},
  {"--stdin",        OptionKind::Stdin,        "",              kCheck,           OptionGroup::Own,     "read one command per line from standard input as one\nbatch; blank lines are skipped, CRLF ends a line too"},
  {"--agent",        OptionKind::Agent,        "NAME",          kHook,            OptionGroup::Own,     "answer as this agent: claude, codex, gemini, copilot,\ncursor, windsurf, cline, factory or amp (default: told\nfrom the payload's shape)"},
  {"--risky",        OptionKind::Risky,        "ask|deny|allow", kHook,           OptionGroup::Own,     "answer for a risky command: ask (default; deny where\nthe agent cannot ask), deny, or allow (no objection)"},
  {"--allow-safe",   OptionKind::AllowSafe,    "",              kHook,            OptionGroup::Own,     "answer allow for a safe command where the agent has a\nplain allow (default: no decision)"},
  {"--fail-open",    OptionKind::FailOpen,     "",              kHook,            OptionGroup::Own,     "on a payload that cannot be read, exit 1 without a\ndecision instead of denying"},
  {"--log",          OptionKind::Log,          "FILE",          kHook,            OptionGroup::Own,     "append one JSON line per decision to FILE (default:\n$CORVANE_LOG when set)"},
  {"--log-redact",   OptionKind::LogRedact,    "",              kHook,            OptionGroup::Own,     "log the command's SHA-256 and first word, not the command"},
  {"--shell",        OptionKind::Shell,        "bash|zsh|fish", kGuard,           OptionGroup::Own,     "the shell the line was typed in (fish lines are judged\nwith the bash rules)"},
  {"--ask-at",       OptionKind::AskAt,        "LEVEL",         kGuard,           OptionGroup::Own,     "ask from this level up: caution, danger (default) or\ncritical (default: $CORVANE_ASK_AT when set)"},
  {"--force",        OptionKind::Force,        "",              kInit,            OptionGroup::Own,     "replace a rule file that already exists"},
  {"--fresh-line",   OptionKind::FreshLine,    "",              kGuard,           OptionGroup::Own,     "start a new line before the first note or question"},
  {"--format",       OptionKind::Format,       "FORMAT",        kAudit,           OptionGroup::Own,     "read every FILE as bash, zsh, fish, claude, codex,\nhook-log or plain (default auto: told by content)"},
  {"--min-level",    OptionKind::MinLevel,     "LEVEL",         kAudit,           OptionGroup::Own,     "list only commands of this level and up: safe, caution,\ndanger or critical (counts still cover every command)"},
  {"--since",        OptionKind::Since,        "WHEN",          kAudit,           OptionGroup::Own,     "audit only commands from WHEN on (2026-12-01 or\n2026-12-01T09:00:00Z, UTC); undated ones are left out"},
  {"--until",        OptionKind::Until,        "WHEN",          kAudit,           OptionGroup::Own,     "audit only commands up to WHEN (a date: to its end)"},
  {"--session",      OptionKind::Session,      "ID",            kAudit,           OptionGroup::Own,     "audit only the commands of this agent session"},
  {"--under",        OptionKind::Under,        "DIR",           kAudit,           OptionGroup::Own,     "audit only commands that ran in DIR or below it"},
  {"--html",         OptionKind::Html,         "FILE",          kAudit,           OptionGroup::Own,     "also write the report as one self-contained HTML page"},
  {"--show-secrets", OptionKind::ShowSecrets,  "",              kAudit,           OptionGroup::Own,     "show tokens, passwords and keys as they are (default:\nmasked as ****)"},
  {"--jobs",         OptionKind::Jobs,         "N",             kAudit,           OptionGroup::Own,     "classify on N threads (default: one per core)"},
  {"--quiet",        OptionKind::Quiet,        "",              kAudit,           OptionGroup::Own,     "no progress line and no notes on standard error"},
  {"--",             OptionKind::EndOfOptions, "",              kCheck | kHook | kGuard | kRules, OptionGroup::Own, "end of options: what follows are commands"},
  {"--",             OptionKind::EndOfOptions, "",              kAudit,           OptionGroup::Own,     "end of options: what follows are files"},
  {"--help",         OptionKind::Help,         "",              kContext | kMcp | kInit | kRules | kAudit, OptionGroup::Own, ""},
  {"-h",             OptionKind::Help,         "",              kContext | kMcp | kInit | kRules | kAudit, OptionGroup::Own, ""},
  {"--cwd",          OptionKind::Cwd,          "DIR",           kContext,         OptionGroup::Context, "directory the commands would run in"},
  {"--project-root", OptionKind::ProjectRoot,  "DIR",           kContext,         OptionGroup::Context, "root of the project they belong to"},
  {"--home",         OptionKind::Home,         "DIR",           kContext,         OptionGroup::Context, "the user's home directory"},
  {"--protect",      OptionKind::Protect,      "PATH",          kContext,         OptionGroup::Context, "a path that is off limits (repeatable)"},
  {"--shell",        OptionKind::Shell,        "bash|zsh",      kCheck | kHook,   OptionGroup::Context, "dialect of the commands (default bash)"},
}};
// clang-format on

struct SubcommandRow {
  std::string_view name;  // empty for the plain form, `corvane COMMAND...`
  Subcommand sub;
  std::array<std::string_view, 2> synopses;  // what follows the name, one usage line each
  std::string_view summary;
  std::string_view notes;  // closing paragraph of the subcommand's own help
};

// clang-format off
constexpr std::array<SubcommandRow, 8> kSubcommandTable{{
  {"check", Subcommand::Check, {"[options] COMMAND...", "[options] --stdin"},
   "classify each COMMAND (or each line of standard input) and print\n"
   "a readable summary, or JSON lines with --json",
   "Without context options a command is judged without a context, which\n"
   "scores targets slightly higher. Colour is used only when standard output\n"
   "is a terminal and NO_COLOR is unset or empty.\n"
   "\n"
   "Exit status of check: 0 every command is safe, 1 the worst is risky,\n"
   "2 one is blocked, 64 usage error, 70 internal error, 74 input/output error."},
  {"hook", Subcommand::Hook, {"[options] [context options] < payload.json", ""},
   "read a coding agent's pre-execution call (JSON) on standard input\n"
   "and answer in that agent's form: deny, ask, allow or nothing",
   "hook answers blocked commands with a deny, risky ones with ask (deny where\n"
   "the agent cannot ask) and safe ones with no decision. Other tools and events\n"
   "get no answer. A payload it cannot read is denied in the agent's form, or\n"
   "with exit status 2 and the reason on standard error."},
  {"mcp", Subcommand::Mcp, {"", ""},
   "serve the Model Context Protocol on standard input and output,\n"
   "with one tool, classify_command",
   ""},
  {"init", Subcommand::Init, {"[--force]", "bash|zsh|fish"},
   "install the default rule pack as the user's rule file\n"
   "(~/.config/corvane/rules.toml); with a shell's name, print the snippet\n"
   "that makes it check each line before it runs: eval \"$(corvane init bash)\"",
   "init refuses to replace an existing rule file unless --force is given;\n"
   "it prints the path it wrote.\n"
   "\n"
   "The snippet lets safe lines run, shows a note for caution, asks y/N from\n"
   "danger up (CORVANE_ASK_AT=caution|danger|critical moves that) and wants\n"
   "\"yes\" typed for a blocked line. CORVANE_DISABLE=1 exported turns it off;\n"
   "as the prefix of one line it lets that line through."},
  {"rules", Subcommand::Rules, {"check [FILE]", ""},
   "check a rule file (default: the files read from this directory)\n"
   "and list every problem as FILE:LINE:COLUMN: message",
   "rules check exits 0 when every file is clean and 1 when it reported\n"
   "anything (a file that cannot be read included)."},
  {"guard", Subcommand::Guard, {"[options] [context options] -- LINE", ""},
   "what the shell snippets run for each line: exit 0 to run it,\n"
   "1 not to, after a note or a question on the terminal",
   ""},
  {"audit", Subcommand::Audit, {"[options] [FILE...]", ""},
   "look back on what ran: shell histories, agent transcripts and the\n"
   "hook's log (default: the user's shell histories), summed up with\n"
   "the riskiest commands, or one JSON line per command with --json",
   "audit tells each FILE's format by its content (\"-\" is standard input;\n"
   "a directory is every file under it).\n"
   "Lines it cannot read are counted and reported per file; the rest is\n"
   "audited. Exit status of audit: 0 done, 64 usage error, 66 nothing could\n"
   "be read, 70 internal error, 74 output error."},
  {"", Subcommand::Plain, {"COMMAND...", ""},
   "without a subcommand: one JSON line per command, exit status 0",
   ""},
}};
// clang-format on

constexpr std::string_view kAbout = "Tells how dangerous a shell command line is, without running it.";
constexpr std::size_t kOptionColumn = 22;      // where option descriptions start
constexpr std::size_t kSubcommandColumn = 12;  // where subcommand descriptions start

const OptionRow* find_option(std::string_view name, Subcommand sub) noexcept {
  for (const OptionRow& row : kOptionTable) {
    if (row.name == name && (row.accepted_by & only(sub)) != 0) return &row;
  }
  return nullptr;
}

}  // namespace

std::optional<Subcommand> find_subcommand(std::string_view name) noexcept {
  for (const SubcommandRow& row : kSubcommandTable)
    if (!row.name.empty() && row.name == name) return row.sub;
  return std::nullopt;
}

namespace {

const SubcommandRow& row_of(Subcommand sub) noexcept {
  for (const SubcommandRow& row : kSubcommandTable)
    if (row.sub == sub) return row;
  return kSubcommandTable.back();
}

// `label` padded to the description column (or on a line of its own when it
// is too long), then `text` with its continuation lines indented as far.
void append_item(std::string& out, std::size_t column, std::string_view indent,
                 std::string_view label, std::string_view text) {
  std::string head(indent);
  head += label;
  out += head;
  if (head.size() + 2 > column) {
    out += '\n';
    head.clear();
  }
  out.append(column - head.size(), ' ');
  for (std::size_t nl; (nl = text.find('\n')) != std::string_view::npos; text.remove_prefix(nl + 1)) {
    out.append(text.substr(0, nl)).push_back('\n');
    out.append(column, ' ');
  }
  out.append(text).push_back('\n');
}

void append_usage_lines(std::string& out, const SubcommandRow& row, bool& first) {
  const bool bare = row.synopses[0].empty();  // a subcommand that takes nothing
  for (std::size_t i = 0; i < row.synopses.size(); ++i) {
    const std::string_view synopsis = row.synopses[i];
    if (synopsis.empty() && !(bare && i == 0)) continue;
    out += first ? "usage: corvane " : "       corvane ";
    first = false;
    out.append(row.name);
    if (!row.name.empty() && !synopsis.empty()) out.push_back(' ');
    out.append(synopsis).push_back('\n');
  }
}

// The options of `group` that `sub` accepts and the help lists.
void append_options(std::string& out, OptionGroup group, SubcommandSet subs) {
  for (const OptionRow& row : kOptionTable) {
    if (row.group != group || (row.accepted_by & subs) == 0 || row.help.empty()) continue;
    std::string label(row.name);
    if (!row.value.empty()) label.append(" ").append(row.value);
    append_item(out, kOptionColumn, "  ", label, row.help);
  }
}

bool has_options(OptionGroup group, SubcommandSet subs) noexcept {
  for (const OptionRow& row : kOptionTable)
    if (row.group == group && (row.accepted_by & subs) != 0 && !row.help.empty()) return true;
  return false;
}

// "context options (check and hook):": the subcommands that take the group.
std::string context_heading(SubcommandSet subs) {
  std::vector<std::string_view> names;
  for (const SubcommandRow& row : kSubcommandTable)
    if ((subs & only(row.sub)) != 0 && has_options(OptionGroup::Context, only(row.sub)))
      names.push_back(row.name);
  std::string heading = "context options";
  if (names.size() > 1) {
    heading += " (";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) heading += i + 1 == names.size() ? " and " : ", ";
      heading += names[i];
    }
    heading += ")";
  }
  return heading + ":\n";
}

std::string quoted(std::string_view s) {
  std::string q(1, '\'');
  q.append(printable(s)).push_back('\'');
  return q;
}

// Stores one option's value. Returns false with `error` set when the value is
// not acceptable.
bool apply(const OptionRow& row, std::string_view value, Subcommand sub, Options& out,
           std::string& error) {
  if (!row.value.empty() && value.empty()) {
    error = "option " + std::string(row.name) + " needs a non-empty value";
    return false;
  }
  ContextOptions& ctx = out.context;
  switch (row.kind) {
    case OptionKind::Json: out.json = true; break;
    case OptionKind::Stdin: out.from_stdin = true; break;
    case OptionKind::Help: out.help = true; break;
    case OptionKind::Force: out.force = true; break;
    case OptionKind::EndOfOptions: break;
    case OptionKind::Cwd: ctx.cwd = std::string(value); break;
    case OptionKind::ProjectRoot: ctx.project_root = std::string(value); break;
    case OptionKind::Home: ctx.home_dir = std::string(value); break;
    case OptionKind::Protect: ctx.protected_paths.emplace_back(value); break;
    case OptionKind::Shell:
      if (value == "bash") {
        ctx.shell = ShellKind::Bash;
      } else if (value == "zsh") {
        ctx.shell = ShellKind::Zsh;
      } else if (value == "fish" && sub == Subcommand::Guard) {
        // fish lines are judged as text with the bash rules.
        ctx.shell = ShellKind::Bash;
        out.fish = true;
      } else {
        error = std::string("option --shell takes ") +
                (sub == Subcommand::Guard ? "bash, zsh or fish" : "bash or zsh") + ", not " + quoted(value);
        return false;
      }
      break;
    case OptionKind::Agent:
      if (!is_agent_name(value)) {
        error = "option --agent takes " + std::string(agent_names()) + ", not " + quoted(value);
        return false;
      }
      out.agent = std::string(value);
      break;
    case OptionKind::Risky:
      if (value == "ask") {
        out.risky = RiskyAnswer::Ask;
      } else if (value == "deny") {
        out.risky = RiskyAnswer::Deny;
      } else if (value == "allow") {
        out.risky = RiskyAnswer::Allow;
      } else {
        error = "option --risky takes ask, deny or allow, not " + quoted(value);
        return false;
      }
      break;
    case OptionKind::AllowSafe: out.allow_safe = true; break;
    case OptionKind::FailOpen: out.fail_open = true; break;
    case OptionKind::Log: out.log = std::string(value); break;
    case OptionKind::LogRedact: out.log_redact = true; break;
    case OptionKind::FreshLine: out.fresh_line = true; break;
    case OptionKind::Format: out.audit_format = std::string(value); break;
    case OptionKind::MinLevel: out.min_level = std::string(value); break;
    case OptionKind::Since: out.since = std::string(value); break;
    case OptionKind::Until: out.until = std::string(value); break;
    case OptionKind::Session: out.session = std::string(value); break;
    case OptionKind::Under: out.under = std::string(value); break;
    case OptionKind::Html: out.html = std::string(value); break;
    case OptionKind::Jobs: out.jobs = std::string(value); break;
    case OptionKind::Quiet: out.quiet = true; break;
    case OptionKind::ShowSecrets: out.show_secrets = true; break;
    case OptionKind::AskAt:
      if (value != "caution" && value != "danger" && value != "critical") {
        error = "option --ask-at takes caution, danger or critical, not " + quoted(value);
        return false;
      }
      out.ask_at = std::string(value);
      break;
  }
  return true;
}

}  // namespace

ClassifyContext ContextOptions::to_context() const {
  ClassifyContext ctx;
  ctx.cwd = cwd;
  ctx.project_root = project_root;
  ctx.home_dir = home_dir;
  ctx.protected_paths = protected_paths;
  ctx.shell = shell.value_or(ShellKind::Bash);
  return ctx;
}

std::string help_text() {
  std::string out;
  bool first = true;
  for (const SubcommandRow& row : kSubcommandTable) append_usage_lines(out, row, first);
  out += "       corvane --help | --version\n\n";
  out.append(kAbout).append("\n\n");
  SubcommandSet all = 0;
  for (const SubcommandRow& row : kSubcommandTable) {
    append_item(out, kSubcommandColumn, "", row.name.empty() ? row.synopses[0] : row.name, row.summary);
    all |= only(row.sub);
  }
  for (const SubcommandRow& row : kSubcommandTable) {
    if (!has_options(OptionGroup::Own, only(row.sub))) continue;
    out.append("\n").append(row.name).append(" options:\n");
    append_options(out, OptionGroup::Own, only(row.sub));
  }
  if (has_options(OptionGroup::Context, all)) {
    out.append("\n").append(context_heading(all));
    append_options(out, OptionGroup::Context, all);
  }
  for (const SubcommandRow& row : kSubcommandTable)
    if (!row.notes.empty()) out.append("\n").append(row.notes).append("\n");
  return out;
}

std::string help_text(Subcommand sub) {
  const SubcommandRow& row = row_of(sub);
  std::string out;
  bool first = true;
  append_usage_lines(out, row, first);
  out.append("\n").append(row.summary).append("\n");
  if (has_options(OptionGroup::Own, only(sub))) {
    out.append("\noptions:\n");
    append_options(out, OptionGroup::Own, only(sub));
  }
  if (has_options(OptionGroup::Context, only(sub))) {
    out.append("\ncontext options:\n");
    append_options(out, OptionGroup::Context, only(sub));
  }
  if (!row.notes.empty()) out.append("\n").append(row.notes).append("\n");
  return out;
}

// Options may come before or after the commands; "--" ends them, so that a
// command starting with "-" can still be classified. "--name=value" and
// "--name value" are both accepted.
bool parse_options(Subcommand sub, std::span<const std::string_view> args, Options& out,
                   std::string& error) {
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      out.commands.emplace_back(arg);
      continue;
    }
    const std::size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    const std::string_view name = arg.substr(0, eq);
    const OptionRow* row = find_option(name, sub);
    if (row == nullptr) {
      error = "unknown option " + quoted(name);
      return false;
    }
    if (row->kind == OptionKind::EndOfOptions && eq == std::string_view::npos) {
      options_done = true;
      continue;
    }
    std::string_view value;
    if (eq != std::string_view::npos) {
      if (row->value.empty()) {
        error = "option " + std::string(row->name) + " takes no value";
        return false;
      }
      value = arg.substr(eq + 1);
    } else if (!row->value.empty()) {
      if (i + 1 == args.size()) {
        error = "option " + std::string(row->name) + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!apply(*row, value, sub, out, error)) return false;
  }
  return true;
}

std::optional<std::string> read_stdin(std::string& error) {
  std::string text;
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stdin);
    if (n > kMaxInputBytes - text.size()) {
      error = "standard input is larger than " + std::to_string(kMaxInputBytes >> 20) + " MiB";
      return std::nullopt;
    }
    text.append(chunk.data(), n);
    if (n < chunk.size()) break;
  }
  if (std::ferror(stdin)) {
    error = "cannot read standard input";
    return std::nullopt;
  }
  return text;
}

bool write_stdout(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

bool flush_stdout() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

void report(std::string_view message, std::string_view sub) {
  std::string line = "corvane";
  if (!sub.empty()) line.append(" ").append(sub);
  line.append(": ").append(message).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int exit_status(std::span<const AnalysisResult> results) noexcept {
  QuickDecision worst = QuickDecision::Safe;
  for (const AnalysisResult& r : results) worst = std::max(worst, r.quick_decision);
  switch (worst) {
    case QuickDecision::Safe: return kExitSafe;
    case QuickDecision::Risky: return kExitRisky;
    case QuickDecision::Blocked: return kExitBlocked;
  }
  return kExitBlocked;
}

int usage_error(Subcommand sub, std::string_view message) {
  const std::string_view name = row_of(sub).name;
  const std::string help = name.empty() ? "corvane --help" : "corvane " + std::string(name) + " --help";
  report(std::string(message) + " (try '" + help + "')", name);
  return kExitUsage;
}

std::optional<int> parse_or_answer(Subcommand sub, std::span<const std::string_view> args, Options& options) {
  std::string error;
  if (!parse_options(sub, args, options, error)) return usage_error(sub, error);
  if (options.help) return write_stdout(help_text(sub)) ? 0 : kExitIo;
  return std::nullopt;
}

}  // namespace corvane::cli
