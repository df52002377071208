// Argument parsing and the plain input/output helpers of build/corvane.
#include <algorithm>
#include <array>
#include <cstdio>

#include "cli.h"

namespace corvane::cli {
namespace {

enum class OptionKind : unsigned char { Json, Stdin, Help, Cwd, ProjectRoot, Home, Protect, Shell };

struct OptionRow {
  std::string_view name;
  OptionKind kind;
  bool takes_value;
  bool check;  // accepted by `corvane check`
  bool hook;   // accepted by `corvane hook`
};

// clang-format off
constexpr std::array<OptionRow, 9> kOptionTable{{
  {"--json",         OptionKind::Json,        false, true, false},
  {"--stdin",        OptionKind::Stdin,       false, true, false},
  {"--help",         OptionKind::Help,        false, true, true },
  {"-h",             OptionKind::Help,        false, true, true },
  {"--cwd",          OptionKind::Cwd,         true,  true, true },
  {"--project-root", OptionKind::ProjectRoot, true,  true, true },
  {"--home",         OptionKind::Home,        true,  true, true },
  {"--protect",      OptionKind::Protect,     true,  true, true },
  {"--shell",        OptionKind::Shell,       true,  true, true },
}};
// clang-format on

const OptionRow* find_option(std::string_view name, Subcommand sub) noexcept {
  for (const OptionRow& row : kOptionTable) {
    if (row.name == name && (sub == Subcommand::Check ? row.check : row.hook)) return &row;
  }
  return nullptr;
}

std::string quoted(std::string_view s) {
  std::string q(1, '\'');
  q.append(printable(s)).push_back('\'');
  return q;
}

// Stores one option's value. Returns false with `error` set when the value is
// not acceptable.
bool apply(const OptionRow& row, std::string_view value, Options& out, std::string& error) {
  if (row.takes_value && value.empty()) {
    error = "option " + std::string(row.name) + " needs a non-empty value";
    return false;
  }
  ContextOptions& ctx = out.context;
  switch (row.kind) {
    case OptionKind::Json: out.json = true; break;
    case OptionKind::Stdin: out.from_stdin = true; break;
    case OptionKind::Help: out.help = true; break;
    case OptionKind::Cwd: ctx.cwd = std::string(value); break;
    case OptionKind::ProjectRoot: ctx.project_root = std::string(value); break;
    case OptionKind::Home: ctx.home_dir = std::string(value); break;
    case OptionKind::Protect: ctx.protected_paths.emplace_back(value); break;
    case OptionKind::Shell:
      if (value == "bash") {
        ctx.shell = ShellKind::Bash;
      } else if (value == "zsh") {
        ctx.shell = ShellKind::Zsh;
      } else {
        error = "option --shell takes bash or zsh, not " + quoted(value);
        return false;
      }
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
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const std::size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    const std::string_view name = arg.substr(0, eq);
    const OptionRow* row = find_option(name, sub);
    if (row == nullptr) {
      error = "unknown option " + quoted(name);
      return false;
    }
    std::string_view value;
    if (eq != std::string_view::npos) {
      if (!row->takes_value) {
        error = "option " + std::string(row->name) + " takes no value";
        return false;
      }
      value = arg.substr(eq + 1);
    } else if (row->takes_value) {
      if (i + 1 == args.size()) {
        error = "option " + std::string(row->name) + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!apply(*row, value, out, error)) return false;
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

}  // namespace corvane::cli
