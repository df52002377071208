// Interactive shells: `corvane init bash|zsh|fish` prints a snippet for the
// rc file, and the snippet runs `corvane guard` on every command line the
// user enters, before it runs.
//
// guard decides by level: a safe line runs; a caution one runs with the
// one-line verdict as a note on standard error; from the question threshold
// up (danger by default, CORVANE_ASK_AT or --ask-at move it) the verdict is
// shown and the line runs only after "y"; a blocked line runs only after
// "yes" typed in full. The question is asked on the terminal itself, so it
// works from inside a line editor's key binding as well as from a trap.
// Exit status 0 means run it, anything else means do not.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "corvane.h"

namespace corvane::cli {
namespace {

constexpr std::string_view kSub = "guard";
constexpr int kRun = 0;
constexpr int kDoNotRun = 1;
constexpr std::size_t kVerdictBytes = 300;
constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// bash: a DEBUG trap with extdebug, where a trap that fails skips the
// command. It sees what actually runs, whichever way it was entered (typed,
// pasted, continued over several lines, recalled with !!), with history
// expansion done. A key binding on Enter would see only the edit buffer:
// `!!` unexpanded and one line of a multi-line command at a time. The trap
// fires for each simple command, so the whole line is taken once from the
// history at its first command (PS0 marks that moment) and a refusal skips
// every later command of the line too. A line that did not reach the history
// (HISTIGNORE, ignoredups, history off) is checked one command at a time.
constexpr std::string_view kBash = R"BASH(# corvane: checks each interactive command line before it runs.
# In ~/.bashrc, after anything else that sets a DEBUG trap or PS0:
#   eval "$(corvane init bash)"
# CORVANE_DISABLE=1 (exported) turns it off; as a prefix it lets one line through.
if [[ $- == *i* && -z ${__corvane_hooked-} ]]; then
  __corvane_hooked=1
  __corvane_bin=${CORVANE_BIN:-@BIN@}
  __corvane_ready=0 __corvane_skip=0 __corvane_strict=0 __corvane_hist=
  # Every line must reach the history to be read back; ignorespace is
  # honoured after the check instead.
  __corvane_ignorespace=0
  [[ :${HISTCONTROL-}: == *:ignorespace:* || :${HISTCONTROL-}: == *:ignoreboth:* ]] && __corvane_ignorespace=1
  HISTCONTROL=${HISTCONTROL//ignoreboth/ignoredups}
  HISTCONTROL=${HISTCONTROL//ignorespace/}
  __corvane_check() {
    "$__corvane_bin" guard --shell bash -- "$1"
    case $? in
      0) return 0 ;;
      126 | 127) printf 'corvane: cannot run %s: line not checked\n' "$__corvane_bin" >&2; return 0 ;;
      *) return 1 ;;
    esac
  }
  __corvane_debug() {
    [[ $BASH_COMMAND == __corvane_done ]] && return 0
    [[ $__corvane_skip == 1 ]] && return 1
    if [[ $__corvane_ready == 1 ]]; then
      __corvane_ready=0
      [[ ${CORVANE_DISABLE-} == 1 ]] && return 0
      local entry
      entry=$(HISTTIMEFORMAT= builtin history 1)
      if [[ -o history && $entry =~ ^[[:space:]]*([0-9]+)[*]?[[:space:]][[:space:]]?(.*)$ &&
            ${BASH_REMATCH[1]} != "$__corvane_hist" ]]; then
        __corvane_hist=${BASH_REMATCH[1]}
        local line=${BASH_REMATCH[2]}
        if [[ $__corvane_ignorespace == 1 && $line == [[:space:]]* ]]; then
          builtin history -d "$__corvane_hist"
          __corvane_hist=$((__corvane_hist - 1))  # the next line gets this number again
        fi
        __corvane_check "$line" || { __corvane_skip=1; return 1; }
        return 0
      fi
      __corvane_strict=1
    fi
    if [[ $__corvane_strict == 1 && ${CORVANE_DISABLE-} != 1 ]]; then
      __corvane_check "$BASH_COMMAND" || { __corvane_skip=1; return 1; }
    fi
    return 0
  }
  __corvane_done() { __corvane_skip=0 __corvane_strict=0; }
  PS0=${PS0-}'${__corvane_none[__corvane_ready=1,__corvane_skip=0,__corvane_strict=0]}'
  if [[ $(declare -p PROMPT_COMMAND 2>/dev/null) == "declare -a"* ]]; then
    PROMPT_COMMAND=(__corvane_done "${PROMPT_COMMAND[@]}")
  else
    PROMPT_COMMAND=__corvane_done${PROMPT_COMMAND:+$'\n'$PROMPT_COMMAND}
  fi
  shopt -s extdebug
  trap __corvane_debug DEBUG
fi
)BASH";

// zsh: the accept-line widget. A refused line stays in the buffer, to be
// edited or cleared.
constexpr std::string_view kZsh = R"ZSH(# corvane: checks each interactive command line before it runs.
# In ~/.zshrc:  eval "$(corvane init zsh)"
# CORVANE_DISABLE=1 (exported) turns it off; as a prefix it lets one line through.
if [[ -o interactive ]] && (( ! ${+__corvane_hooked} )); then
  typeset -g __corvane_hooked=1
  typeset -g __corvane_bin=${CORVANE_BIN:-@BIN@}
  __corvane_accept_line() {
    if [[ -n ${BUFFER//[[:space:]]/} && ${CORVANE_DISABLE-} != 1 ]]; then
      zle -I
      "$__corvane_bin" guard --shell zsh -- "$BUFFER"
      local st=$?
      if (( st == 126 || st == 127 )); then
        print -u2 -r -- "corvane: cannot run $__corvane_bin: line not checked"
      elif (( st != 0 )); then
        zle reset-prompt
        return 0
      fi
    fi
    zle .accept-line
  }
  zle -N accept-line __corvane_accept_line
fi
)ZSH";

// fish: Enter (and ^J) bound to a function that checks the buffer first. A
// refused line stays in the buffer.
constexpr std::string_view kFish = R"FISH(# corvane: checks each interactive command line before it runs.
# In ~/.config/fish/config.fish:  corvane init fish | source
# CORVANE_DISABLE=1 (exported) turns it off; as a prefix it lets one line through.
if status is-interactive; and not set -q __corvane_hooked
  set -g __corvane_hooked 1
  if set -q CORVANE_BIN
    set -g __corvane_bin $CORVANE_BIN
  else
    set -g __corvane_bin @BIN@
  end
  function __corvane_enter
    set -l line (commandline | string collect)
    if test -n (string trim -- "$line" | string collect); and test "$CORVANE_DISABLE" != 1
      $__corvane_bin guard --shell fish --fresh-line -- "$line"
      set -l st $status
      if test $st -eq 126; or test $st -eq 127
        echo "corvane: cannot run $__corvane_bin: line not checked" >&2
      else if test $st -ne 0
        commandline -f repaint
        return
      end
    end
    commandline -f execute
  end
  bind \r __corvane_enter
  bind \n __corvane_enter
  bind -M insert \r __corvane_enter
  bind -M insert \n __corvane_enter
end
)FISH";

// The path of this program, for the snippet to call without a PATH lookup.
std::string own_path() {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n > 0) return std::string(buffer.data(), static_cast<std::size_t>(n));
  return "corvane";
}

// Single-quoted for bash and zsh: ' becomes '\''.
std::string sh_quote(std::string_view s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q.append("'\\''");
    } else {
      q.push_back(c);
    }
  }
  q.push_back('\'');
  return q;
}

// Single-quoted for fish, where \ and ' are escaped inside the quotes.
std::string fish_quote(std::string_view s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') q.push_back('\\');
    q.push_back(c);
  }
  q.push_back('\'');
  return q;
}

std::string with_binary(std::string_view snippet, const std::string& bin) {
  std::string out(snippet);
  const std::size_t at = out.find("@BIN@");
  if (at != std::string::npos) out.replace(at, 5, bin);
  return out;
}

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::optional<std::string> current_directory() {
  std::array<char, 4096> buffer{};
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return env("PWD");
  return std::string(buffer.data());
}

// The nearest directory at or above `dir` that holds a .git.
std::optional<std::string> git_root(std::string dir) {
  for (int depth = 0; depth < 64 && !dir.empty(); ++depth) {
    struct stat st {};
    if (::stat((dir + "/.git").c_str(), &st) == 0) return dir;
    const std::size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || dir == "/") break;
    dir.resize(slash == 0 ? 1 : slash);
  }
  return std::nullopt;
}

// "CORVANE_DISABLE=1 cmd ...": the user's way of letting one line through.
bool disabled_by_prefix(std::string_view line) {
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return false;
  line.remove_prefix(start);
  constexpr std::string_view kPrefix = "CORVANE_DISABLE=1";
  return line.starts_with(kPrefix) && line.size() > kPrefix.size() &&
         (line[kPrefix.size()] == ' ' || line[kPrefix.size()] == '\t');
}

std::optional<RiskLevel> level_named(std::string_view name) {
  if (name == "caution") return RiskLevel::Caution;
  if (name == "danger") return RiskLevel::Danger;
  if (name == "critical") return RiskLevel::Critical;
  return std::nullopt;
}

// With --fresh-line the first thing printed starts a new line: the line
// editor (fish) still has the cursor at the end of the typed line.
std::string_view fresh(bool wanted) { return wanted ? "\n" : ""; }

std::string verdict_line(const AnalysisResult& r) {
  std::string decision(to_string(r.quick_decision));
  std::string line = "corvane: " + decision + " (score " + std::to_string(r.score) + ", " +
                     std::string(to_string(r.level)) + "): " + printable(r.reason);
  return shortened(line, kVerdictBytes);
}

// The terminal, in line mode with echo while we ask, as it was afterwards.
class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ >= 0 && ::tcgetattr(fd_, &saved_) == 0) {
      have_saved_ = true;
      termios line_mode = saved_;
      line_mode.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG;
      line_mode.c_iflag |= ICRNL;
      line_mode.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR);
      line_mode.c_oflag |= OPOST | ONLCR;
      ::tcsetattr(fd_, TCSANOW, &line_mode);
    }
  }
  ~Terminal() {
    if (have_saved_) ::tcsetattr(fd_, TCSANOW, &saved_);
    if (fd_ >= 0) ::close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool open() const noexcept { return fd_ >= 0; }

  void say(std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // One answer line, without its newline; nothing at end of input.
  std::optional<std::string> answer() {
    std::string line;
    char c;
    for (;;) {
      const ssize_t n = ::read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
      if (c == '\n' || c == '\r') return line;
      if (line.size() < 64) line.push_back(c);
    }
  }

 private:
  int fd_;
  termios saved_{};
  bool have_saved_ = false;
};

std::string trimmed(std::string_view s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string_view::npos) return {};
  const std::size_t b = s.find_last_not_of(" \t");
  return std::string(s.substr(a, b - a + 1));
}

int ask(const AnalysisResult& r, bool blocked, bool fresh_line) {
  Terminal tty;
  if (!tty.open()) {
    std::fwrite("\n", 1, fresh_line ? 1 : 0, stderr);
    report(verdict_line(r) + "\nno terminal to ask on: not running it", kSub);
    return kDoNotRun;
  }
  tty.say(std::string(fresh(fresh_line)) + verdict_line(r) + "\n");
  tty.say(blocked ? "Type yes to run it anyway: " : "Run it? [y/N] ");
  const std::optional<std::string> reply = tty.answer();
  const std::string a = reply ? trimmed(*reply) : std::string();
  const bool yes = blocked ? a == "yes" : (a == "y" || a == "Y" || a == "yes" || a == "Yes");
  if (!yes) tty.say("corvane: not run\n");
  return yes ? kRun : kDoNotRun;
}

}  // namespace

int print_shell_snippet(std::string_view shell) {
  const std::string bin = own_path();
  std::string text;
  if (shell == "bash") {
    text = with_binary(kBash, sh_quote(bin));
  } else if (shell == "zsh") {
    text = with_binary(kZsh, sh_quote(bin));
  } else if (shell == "fish") {
    text = with_binary(kFish, fish_quote(bin));
  } else {
    return usage_error(Subcommand::Init, "takes one shell: bash, zsh or fish, or none to install the rule pack");
  }
  return write_stdout(text) && flush_stdout() ? 0 : kExitIo;
}

int run_guard(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Guard, args, options)) return *done;
  if (options.commands.size() != 1) return usage_error(Subcommand::Guard, "takes exactly one command line");
  const std::string& line = options.commands.front();
  if (env("CORVANE_DISABLE") == "1" || disabled_by_prefix(line)) return kRun;
  if (line.find_first_not_of(" \t\r\n") == std::string::npos) return kRun;

  RiskLevel ask_at = RiskLevel::Danger;
  if (options.ask_at) {
    ask_at = *level_named(*options.ask_at);
  } else if (const std::optional<std::string> wanted = env("CORVANE_ASK_AT")) {
    if (const std::optional<RiskLevel> level = level_named(*wanted)) {
      ask_at = *level;
    } else {
      report("CORVANE_ASK_AT takes caution, danger or critical, not '" + printable(*wanted) + "': asking at danger",
             kSub);
    }
  }

  ContextOptions ctx = options.context;
  if (!ctx.cwd) ctx.cwd = current_directory();
  if (!ctx.home_dir) ctx.home_dir = env("HOME");
  if (!ctx.project_root && ctx.cwd) ctx.project_root = git_root(*ctx.cwd);

  if (line.size() > kMaxLineBytes) {
    report("a line over 1 MiB is not judged: not running it", kSub);
    return kDoNotRun;
  }
  const ClassifyContext context = ctx.to_context();
  const Outcome<AnalysisResult> outcome = corvane::classify(line, &context);
  if (!outcome) {
    report(outcome.fault().message + ": not running it", kSub);
    return kDoNotRun;
  }
  const AnalysisResult& r = outcome.value();
  if (r.quick_decision == QuickDecision::Blocked) return ask(r, true, options.fresh_line);
  if (r.quick_decision == QuickDecision::Safe || r.level == RiskLevel::Safe) return kRun;
  if (r.level >= ask_at) return ask(r, false, options.fresh_line);
  const std::string note = std::string(fresh(options.fresh_line)) + verdict_line(r) + "\n";
  std::fwrite(note.data(), 1, note.size(), stderr);
  return kRun;
}

}  // namespace corvane::cli
