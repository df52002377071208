#include "nested.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "rules/inline_code.h"
#include "text.h"

namespace corvane::nested {
namespace {

// ---------------------------------------------------------------------------
// Words

struct Word {
  std::string_view written;  // as in the source, quotes included
  std::string value;         // as the program receives it
};

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the body of $'...' from `i` (just past the opening quote) up to the
// closing quote; returns the index past it.
std::size_t decode_ansi_c(std::string_view w, std::size_t i, std::string& out) {
  while (i < w.size() && w[i] != '\'') {
    if (w[i] != '\\' || i + 1 >= w.size()) {
      out.push_back(w[i++]);
      continue;
    }
    const char e = w[i + 1];
    i += 2;
    switch (e) {
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'e': case 'E': out.push_back('\x1b'); break;
      case 'f': out.push_back('\f'); break;
      case 'v': out.push_back('\v'); break;
      case 'x': case 'u': case 'U': {
        const std::size_t max = e == 'x' ? 2 : e == 'u' ? 4 : 8;
        std::uint32_t v = 0;
        std::size_t n = 0;
        while (n < max && i < w.size() && hex_digit(w[i]) >= 0) {
          v = v * 16 + static_cast<std::uint32_t>(hex_digit(w[i++]));
          ++n;
        }
        if (n == 0) {
          out.push_back('\\');
          out.push_back(e);
        } else if (e == 'x') {
          out.push_back(static_cast<char>(v));
        } else {
          append_utf8(out, v);
        }
        break;
      }
      case 'c':
        if (i < w.size()) out.push_back(static_cast<char>(w[i++] & 0x1F));
        break;
      default:
        if (e >= '0' && e <= '7') {
          std::uint32_t v = static_cast<std::uint32_t>(e - '0');
          for (int n = 1; n < 3 && i < w.size() && w[i] >= '0' && w[i] <= '7'; ++n)
            v = v * 8 + static_cast<std::uint32_t>(w[i++] - '0');
          out.push_back(static_cast<char>(v & 0xFF));
        } else {
          out.push_back(e);  // \\ \' \" \? and unknown escapes
        }
        break;
    }
  }
  return i < w.size() ? i + 1 : i;
}

// The index just past the construct opened at `open` ("$(" or "<(" or
// ">(", `open` pointing at the "("), honouring quotes and nested
// parentheses; the text's end when it is never closed. Double-quoted text
// inside may hold substitutions of its own, which may hold quotes again: an
// explicit stack of the open contexts, so that no input can exhaust the
// native stack.
std::size_t skip_parenthesized(std::string_view t, std::size_t open) {
  struct Context {
    bool quoted;    // inside "..." (else inside parentheses)
    int depth = 0;  // parentheses open inside this context
  };
  std::vector<Context> stack{{false}};
  for (std::size_t i = open + 1; i < t.size(); ++i) {
    const char c = t[i];
    Context& top = stack.back();
    if (c == '\\') {
      ++i;
    } else if (top.quoted) {
      if (c == '"') stack.pop_back();
      else if (c == '$' && i + 1 < t.size() && t[i + 1] == '(') {
        stack.push_back({false});
        ++i;
      }
    } else if (c == '\'') {
      const std::size_t e = t.find('\'', i + 1);
      if (e == std::string_view::npos) return t.size();
      i = e;
    } else if (c == '"') {
      stack.push_back({true});
    } else if (c == '(') {
      ++top.depth;
    } else if (c == ')') {
      if (top.depth > 0) {
        --top.depth;
      } else {
        stack.pop_back();
        if (stack.empty()) return i + 1;
      }
    }
  }
  return t.size();
}

// A word that is a single substitution and nothing else ("$(x)", `x`,
// <(x), with or without double quotes): its body.
std::optional<std::string> sole_substitution(std::string_view written) {
  std::string_view w = written;
  if (w.size() >= 2 && w.front() == '"' && w.back() == '"') w = w.substr(1, w.size() - 2);
  if (w.size() >= 3 && (w.starts_with("$(") || w.starts_with("<(")) && !w.starts_with("$((")) {
    if (skip_parenthesized(w, 1) != w.size() || w.back() != ')') return std::nullopt;
    return std::string(w.substr(2, w.size() - 3));
  }
  if (w.size() >= 2 && w.front() == '`' && w.back() == '`' &&
      w.substr(1, w.size() - 2).find('`') == std::string_view::npos)
    return std::string(w.substr(1, w.size() - 2));
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Looking through wrappers that run their arguments as a command

struct Wrapper {
  std::string_view name;
  std::string_view short_with_argument;  // option letters that take a value
  std::array<std::string_view, 6> long_with_argument;
  std::size_t operands;  // words between the options and the command
};

// sudo, doas, env and the rest: options, sometimes a fixed operand (the
// duration of timeout, the directory of chroot), then the command's words.
constexpr std::array<Wrapper, 19> kWrappers = {{
    {"sudo", "ughpCDrtTU", {"--user", "--group", "--host", "--prompt", "--chdir", "--close-from"}, 0},
    {"doas", "uC", {}, 0},
    {"env", "uCS", {"--unset", "--chdir", "--split-string"}, 0},
    {"nice", "n", {"--adjustment"}, 0},
    {"ionice", "cnp", {"--class", "--classdata", "--pid"}, 0},
    {"nohup", "", {}, 0},
    {"stdbuf", "ioe", {"--input", "--output", "--error"}, 0},
    {"timeout", "sk", {"--signal", "--kill-after"}, 1},
    {"chrt", "T", {"--sched-runtime", "--sched-period", "--sched-deadline"}, 1},
    {"taskset", "", {}, 1},
    {"time", "fo", {"--format", "--output"}, 0},
    {"command", "", {}, 0},
    {"exec", "a", {}, 0},
    {"setsid", "", {}, 0},
    {"chroot", "", {"--userspec", "--groups"}, 1},
    {"busybox", "", {}, 0},
    {"unbuffer", "", {}, 0},
    {"caffeinate", "tw", {}, 0},
    {"systemd-run", "pEu", {"--property", "--setenv", "--unit", "--uid", "--gid", "--working-directory"}, 0},
}};

const Wrapper* find_wrapper(std::string_view name) {
  for (const Wrapper& w : kWrappers)
    if (w.name == name) return &w;
  return nullptr;
}

bool long_takes_argument(const Wrapper& w, std::string_view opt) {
  return std::find(w.long_with_argument.begin(), w.long_with_argument.end(), opt) !=
         w.long_with_argument.end();
}

// Where the options of a program end, given the letters of its short
// options that take a value and a test for long options that do; also
// reports the short option letters seen.
template <typename LongTakes>
std::size_t skip_options(const std::vector<Word>& w, std::size_t i, std::string_view short_with_argument,
                         LongTakes&& long_takes, std::string* letters = nullptr) {
  while (i < w.size()) {
    const std::string& v = w[i].value;
    if (v == "--") return i + 1;
    if (v.size() < 2 || v[0] != '-') return i;
    if (v[1] == '-') {
      i += (v.find('=') == std::string::npos && long_takes(std::string_view(v))) ? 2 : 1;
      continue;
    }
    bool takes_next = false;
    for (std::size_t k = 1; k < v.size(); ++k) {
      if (letters != nullptr) letters->push_back(v[k]);
      if (short_with_argument.find(v[k]) != std::string_view::npos) {
        takes_next = k + 1 == v.size();  // otherwise the value is attached
        break;
      }
    }
    i += takes_next ? 2 : 1;
  }
  return i;
}

struct Program {
  std::size_t index;          // word of the program that runs
  bool shell_string = false;  // sudo -s / -i: the rest runs through a shell
};

// The word of the program that actually runs, past every wrapper; none when
// a wrapper is given no command.
std::optional<Program> program_word(const std::vector<Word>& w) {
  Program p{0};
  // Each round consumes at least the wrapper's own word, so this ends.
  while (p.index < w.size()) {
    const Wrapper* wr = find_wrapper(text::base_name(w[p.index].value));
    if (wr == nullptr) return p;
    std::string letters;
    std::size_t j = p.index + 1;
    for (;;) {
      j = skip_options(w, j, wr->short_with_argument,
                       [&](std::string_view o) { return long_takes_argument(*wr, o); }, &letters);
      // env takes assignments among its options.
      if (wr->name == "env" && j < w.size() && w[j].value.find('=') != std::string::npos &&
          !w[j].value.starts_with('=')) {
        ++j;
        continue;
      }
      break;
    }
    if (wr->name == "sudo" && (letters.find('s') != std::string::npos || letters.find('i') != std::string::npos))
      p.shell_string = true;
    if (wr->name == "command" && (letters.find('v') != std::string::npos || letters.find('V') != std::string::npos))
      return std::nullopt;  // looks the name up, runs nothing
    j += wr->operands;
    if (j >= w.size()) return std::nullopt;
    p.index = j;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Programs that run command text

bool is_shell(std::string_view name) {
  static constexpr std::array<std::string_view, 11> kShells = {
      "sh", "bash", "zsh", "dash", "ksh", "ash", "mksh", "yash", "rbash", "fish", "pdksh"};
  return std::find(kShells.begin(), kShells.end(), name) != kShells.end();
}

// "python", "python3", "python3.12", "pypy3".
bool is_python(std::string_view name) {
  if (name.starts_with("python")) name.remove_prefix(6);
  else if (name.starts_with("pypy")) name.remove_prefix(4);
  else return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool is_awk(std::string_view name) {
  return name == "awk" || name == "gawk" || name == "mawk" || name == "nawk";
}

std::string joined_values(const std::vector<Word>& w, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to && i < w.size(); ++i) {
    if (i != from) out.push_back(' ');
    out += w[i].value;
  }
  return out;
}

std::string joined_written(const std::vector<Word>& w, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to && i < w.size(); ++i) {
    if (i != from) out.push_back(' ');
    out += w[i].written;
  }
  return out;
}

// What a here-document or here-string feeds to the program's input.
std::optional<std::string> redirected_input(const Redirection& r) {
  std::string_view t = r.target;
  if (r.kind == RedirectKind::Herestring) {
    if (!t.starts_with("<<<")) return std::nullopt;
    t.remove_prefix(3);
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    return remove_quotes(t);
  }
  if (r.kind != RedirectKind::Heredoc || !t.starts_with("<<")) return std::nullopt;
  t.remove_prefix(2);
  const bool strip_tabs = t.starts_with('-');
  if (strip_tabs) t.remove_prefix(1);
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  std::size_t end = 0;
  while (end < t.size() && t[end] != ' ' && t[end] != '\t' && t[end] != '\n' && t[end] != '|' &&
         t[end] != ';' && t[end] != '&' && t[end] != '>' && t[end] != '<')
    ++end;
  const std::string delimiter = remove_quotes(t.substr(0, end));
  const std::size_t nl = t.find('\n');
  if (nl == std::string_view::npos) return std::nullopt;
  std::string_view rest = t.substr(nl + 1);
  std::string body;
  while (!rest.empty()) {
    const std::size_t e = rest.find('\n');
    std::string_view line = rest.substr(0, e);
    rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 1);
    if (strip_tabs) while (line.starts_with('\t')) line.remove_prefix(1);
    if (line == delimiter) break;
    body.append(line);
    body.push_back('\n');
  }
  return body;
}

// A heredoc whose delimiter is unquoted expands its body: substitutions in
// it run.
bool heredoc_expands(const Redirection& r) {
  if (r.kind != RedirectKind::Heredoc) return false;
  const std::string_view t = r.target;
  const std::size_t nl = t.find('\n');
  const std::string_view head = t.substr(0, nl);
  return head.find('\'') == std::string_view::npos && head.find('"') == std::string_view::npos &&
         head.find('\\') == std::string_view::npos;
}

struct Extraction {
  std::vector<std::string> lines;
  std::vector<bool> consumed;  // words whose text went into a nested line
  bool reads_input = false;    // the program runs what it reads on stdin
  std::optional<rules::CodeLanguage> input_language;  // ... as code in this language
};

void consume(Extraction& x, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to && i < x.consumed.size(); ++i) x.consumed[i] = true;
}

// The downloaded-and-run pattern spelt with a substitution (`bash <(curl x)`,
// `sh -c "$(curl x)"`, `eval "$(curl x)"`): the same as piping the inner
// command into the shell.
void add_piped_into(Extraction& x, std::string_view written, std::string_view shell) {
  if (auto body = sole_substitution(written)) x.lines.push_back(*body + " | " + std::string(shell));
}

void shell_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  std::string letters;
  const std::size_t i = skip_options(
      w, p + 1, "oO",
      [](std::string_view o) { return o == "--rcfile" || o == "--init-file"; }, &letters);
  // Options given with "+" (set +e) are options too.
  std::size_t j = i;
  while (j < w.size() && w[j].value.size() > 1 && w[j].value[0] == '+') ++j;
  const bool dash_c = letters.find('c') != std::string::npos;
  const std::string shell(text::base_name(w[p].value));
  if (dash_c) {
    if (j < w.size()) {
      x.lines.push_back(w[j].value);
      add_piped_into(x, w[j].written, shell);
      consume(x, j, j + 1);
    }
    return;
  }
  if (j < w.size()) {
    add_piped_into(x, w[j].written, shell);  // the script is the output of a command
    if (w[j].value != "-") return;           // otherwise a script file
  }
  x.reads_input = true;
}

void interpreter_program(const std::vector<Word>& w, std::size_t p, rules::CodeLanguage lang,
                         Extraction& x) {
  using rules::CodeLanguage;
  std::string code;
  bool operand_seen = false;
  auto add_code = [&](std::size_t i) {
    if (i >= w.size()) return;
    if (!code.empty()) code.push_back('\n');
    code += w[i].value;
    consume(x, i, i + 1);
  };
  for (std::size_t i = p + 1; i < w.size(); ++i) {
    const std::string& v = w[i].value;
    if (v == "--") { operand_seen = true; break; }
    if (v.size() < 2 || v[0] != '-') { operand_seen = v != "-"; break; }
    if (lang == CodeLanguage::Node) {
      if (v == "-e" || v == "--eval" || v == "-p" || v == "--print") { add_code(++i); continue; }
      if (v.starts_with("--eval=") || v.starts_with("--print=")) {
        code += v.substr(v.find('=') + 1);
        consume(x, i, i + 1);
        continue;
      }
      if (v == "-r" || v == "--require" || v == "--import" || v == "--input-type") ++i;
      continue;
    }
    if (lang == CodeLanguage::Php) {
      if (v == "-r") { add_code(++i); continue; }
      if (v == "-f" || v == "-F" || v == "-B" || v == "-E" || v == "-R") return;  // a file or per-line code
      if (v == "-d" || v == "-c" || v == "-z" || v == "-t") ++i;
      continue;
    }
    // Short option clusters: python -Ic, perl -lne, ruby -pe.
    const std::string_view code_letters = lang == CodeLanguage::Python ? "c" : lang == CodeLanguage::Perl ? "eE" : "e";
    const std::string_view rest_letters = lang == CodeLanguage::Python ? "WXm"
                                          : lang == CodeLanguage::Perl ? "iIMmlFCdDx0V"
                                                                       : "rICEFKWTx0";
    for (std::size_t k = 1; k < v.size(); ++k) {
      if (code_letters.find(v[k]) != std::string_view::npos) {
        if (k + 1 < v.size()) {
          if (!code.empty()) code.push_back('\n');
          code += v.substr(k + 1);
          consume(x, i, i + 1);
        } else {
          add_code(++i);
        }
        break;
      }
      if (rest_letters.find(v[k]) != std::string_view::npos) {
        if (lang == CodeLanguage::Python && v[k] == 'm') return;  // runs a module
        if (lang == CodeLanguage::Python && k + 1 == v.size()) ++i;  // -W arg, -X arg
        break;
      }
    }
    if (lang == CodeLanguage::Python && !code.empty()) break;  // the rest is sys.argv
  }
  if (!code.empty()) {
    for (std::string& line : rules::inline_code_command_lines(lang, code)) x.lines.push_back(std::move(line));
    return;
  }
  if (!operand_seen) x.input_language = lang;
}

void awk_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  std::size_t i = p + 1;
  while (i < w.size()) {
    const std::string& v = w[i].value;
    if (v == "--") { ++i; break; }
    if (v.size() < 2 || v[0] != '-') break;
    if (v == "-f" || v == "--file" || v.starts_with("-f")) return;  // the program is in a file
    if (v == "-e" || v == "--source") {
      if (i + 1 < w.size()) {
        for (std::string& l : rules::inline_code_command_lines(rules::CodeLanguage::Awk, w[i + 1].value))
          x.lines.push_back(std::move(l));
        consume(x, i + 1, i + 2);
      }
      i += 2;
      continue;
    }
    i += (v == "-F" || v == "-v" || v == "--field-separator" || v == "--assign") ? 2 : 1;
  }
  if (i >= w.size()) return;
  for (std::string& l : rules::inline_code_command_lines(rules::CodeLanguage::Awk, w[i].value))
    x.lines.push_back(std::move(l));
  consume(x, i, i + 1);
}

// sed: the scripts given with -e (or the first operand), for what they run,
// write and read outside the text. --sandbox refuses all of it.
void sed_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  std::vector<std::string_view> scripts;
  bool script_option = false;  // -e or -f given: no operand is a script
  std::size_t i = p + 1;
  for (; i < w.size(); ++i) {
    const std::string_view v = w[i].value;
    const std::string_view next = i + 1 < w.size() ? std::string_view(w[i + 1].value) : std::string_view();
    if (v == "--") { ++i; break; }
    if (v == "--sandbox") return;
    if (v.starts_with("--expression=")) { script_option = true; scripts.push_back(v.substr(13)); continue; }
    if (v == "--expression") { script_option = true; scripts.push_back(next); ++i; continue; }
    if (v.starts_with("--file")) { script_option = true; i += v == "--file"; continue; }
    if (v == "--line-length") { ++i; continue; }
    if (v.starts_with("--")) continue;
    if (v.size() < 2 || v[0] != '-') break;
    // Bundled short options; e, f and l take the rest of the word or the
    // next word, i takes only an attached suffix.
    for (std::size_t k = 1; k < v.size(); ++k) {
      const char o = v[k];
      if (o == 'i') break;
      if (o != 'e' && o != 'f' && o != 'l') continue;
      const bool attached = k + 1 < v.size();
      if (o != 'l') script_option = true;
      if (o == 'e') scripts.push_back(attached ? v.substr(k + 1) : next);
      if (!attached) ++i;
      break;
    }
  }
  if (!script_option && i < w.size()) scripts.push_back(w[i].value);
  for (std::string_view script : scripts) {
    rules::SedEffects fx = rules::sed_script_effects(script);
    for (std::string& l : fx.lines) x.lines.push_back(std::move(l));
    x.reads_input = x.reads_input || fx.runs_input;
  }
}

// su, runuser, script, flock: "-c COMMAND", "--command=COMMAND".
void dash_c_anywhere(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  for (std::size_t i = p + 1; i < w.size(); ++i) {
    const std::string& v = w[i].value;
    for (std::string_view opt : {"--command=", "--session-command="}) {
      if (v.starts_with(opt)) {
        x.lines.push_back(v.substr(opt.size()));
        consume(x, i, i + 1);
      }
    }
    const bool cluster_c = v.size() >= 2 && v[0] == '-' && v[1] != '-' && v.back() == 'c';
    if ((cluster_c || v == "--command" || v == "--session-command") && i + 1 < w.size()) {
      x.lines.push_back(w[i + 1].value);
      consume(x, i + 1, i + 2);
      ++i;
    }
  }
}

void watch_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  std::string letters;
  const std::size_t i = skip_options(
      w, p + 1, "nq", [](std::string_view o) { return o == "--interval" || o == "--equexit"; }, &letters);
  if (i >= w.size()) return;
  const bool exec = letters.find('x') != std::string::npos ||
                    std::any_of(w.begin() + static_cast<std::ptrdiff_t>(p), w.begin() + static_cast<std::ptrdiff_t>(i),
                                [](const Word& word) { return word.value == "--exec"; });
  // Without --exec, watch hands its words, joined, to "sh -c".
  x.lines.push_back(exec ? joined_written(w, i, w.size()) : joined_values(w, i, w.size()));
  consume(x, i, w.size());
}

void ssh_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  constexpr std::string_view kWithArgument = "BbcDEeFIiJLlmOopQRSWw";
  auto no_long = [](std::string_view) { return false; };
  std::size_t i = skip_options(w, p + 1, kWithArgument, no_long);
  if (i >= w.size()) return;
  // Options may also follow the host; "--" ends them.
  const bool ended = i > p + 1 && w[i - 1].value == "--";
  ++i;
  if (!ended) i = skip_options(w, i, kWithArgument, no_long);
  if (i >= w.size()) return;
  // The remote shell runs the remaining words joined by spaces.
  x.lines.push_back(joined_values(w, i, w.size()));
  consume(x, i, w.size());
}

void xargs_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  const std::size_t i = skip_options(w, p + 1, "adEILnPs", [](std::string_view o) {
    return o == "--arg-file" || o == "--delimiter" || o == "--max-lines" || o == "--max-args" ||
           o == "--max-procs" || o == "--max-chars" || o == "--process-slot-var";
  });
  if (i >= w.size()) return;  // echo
  x.lines.push_back(joined_written(w, i, w.size()));
  consume(x, i, w.size());
}

void parallel_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  const std::size_t i = skip_options(w, p + 1, "jSadEIInNPLsX", [](std::string_view o) {
    return o == "--jobs" || o == "--sshlogin" || o == "--arg-file" || o == "--colsep" ||
           o == "--delimiter" || o == "--joblog" || o == "--max-args" || o == "--results";
  });
  std::size_t end = i;
  while (end < w.size() && !w[end].value.starts_with(":::")) ++end;
  if (end == i) return;  // commands come on stdin
  // parallel runs its command through a shell, like eval.
  x.lines.push_back(joined_values(w, i, end));
  consume(x, i, end);
}

void find_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  for (std::size_t i = p + 1; i < w.size(); ++i) {
    const std::string& v = w[i].value;
    if (v != "-exec" && v != "-execdir" && v != "-ok" && v != "-okdir") continue;
    std::size_t end = i + 1;
    while (end < w.size() && w[end].value != ";" && !(w[end].value == "+" && w[end - 1].value == "{}")) ++end;
    if (end > i + 1) {
      x.lines.push_back(joined_written(w, i + 1, end));
      consume(x, i + 1, end);
    }
    i = end;
  }
}

void source_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  if (p + 1 < w.size()) add_piped_into(x, w[p + 1].written, "sh");
}

void eval_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  if (p + 1 >= w.size()) return;
  x.lines.push_back(joined_values(w, p + 1, w.size()));
  if (p + 2 == w.size()) add_piped_into(x, w[p + 1].written, "sh");
  consume(x, p + 1, w.size());
}

void sg_program(const std::vector<Word>& w, std::size_t p, Extraction& x) {
  const std::size_t before = x.lines.size();
  dash_c_anywhere(w, p, x);
  if (x.lines.size() != before || p + 2 >= w.size()) return;
  x.lines.push_back(joined_values(w, p + 2, w.size()));  // sg GROUP COMMAND...
  consume(x, p + 2, w.size());
}

std::optional<rules::CodeLanguage> interpreter_language(std::string_view name) {
  using rules::CodeLanguage;
  if (is_python(name)) return CodeLanguage::Python;
  if (name == "perl" || name.starts_with("perl5")) return CodeLanguage::Perl;
  if (name == "ruby" || name == "jruby") return CodeLanguage::Ruby;
  if (name == "node" || name == "nodejs" || name == "bun") return CodeLanguage::Node;
  if (name == "php" || name.starts_with("php7") || name.starts_with("php8")) return CodeLanguage::Php;
  return std::nullopt;
}

void program_lines(const std::vector<Word>& w, const Program& prog, Extraction& x) {
  const std::size_t p = prog.index;
  if (prog.shell_string) {  // sudo -s CMD: CMD runs through the user's shell
    if (p < w.size()) x.lines.push_back(joined_values(w, p, w.size()));
    consume(x, p, w.size());
    return;
  }
  const std::string_view name = text::base_name(w[p].value);
  if (is_shell(name)) return shell_program(w, p, x);
  if (auto lang = interpreter_language(name)) return interpreter_program(w, p, *lang, x);
  if (is_awk(name)) return awk_program(w, p, x);
  if (name == "sed" || name == "gsed") return sed_program(w, p, x);
  if (name == "eval") return eval_program(w, p, x);
  if (name == "source" || name == ".") return source_program(w, p, x);
  if (name == "su" || name == "runuser" || name == "script" || name == "flock") return dash_c_anywhere(w, p, x);
  if (name == "sg") return sg_program(w, p, x);
  if (name == "watch") return watch_program(w, p, x);
  if (name == "ssh") return ssh_program(w, p, x);
  if (name == "xargs") return xargs_program(w, p, x);
  if (name == "parallel") return parallel_program(w, p, x);
  if (name == "find") return find_program(w, p, x);
}

bool needs_quoting(std::string_view s) {
  if (s.empty()) return true;
  return std::any_of(s.begin(), s.end(), [](char c) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '/' || c == '=' || c == ':' || c == ',' ||
                      c == '+' || c == '@' || c == '%';
    return !safe;
  });
}

}  // namespace

std::string remove_quotes(std::string_view w) {
  std::string out;
  out.reserve(w.size());
  for (std::size_t i = 0; i < w.size();) {
    const char c = w[i];
    if (c == '\\') {
      if (i + 1 < w.size() && w[i + 1] != '\n') out.push_back(w[i + 1]);
      i += 2;
    } else if (c == '\'') {
      const std::size_t e = w.find('\'', i + 1);
      const std::size_t stop = e == std::string_view::npos ? w.size() : e;
      out.append(w.substr(i + 1, stop - i - 1));
      i = stop + 1;
    } else if (c == '$' && i + 1 < w.size() && w[i + 1] == '\'') {
      i = decode_ansi_c(w, i + 2, out);
    } else if (c == '"' || (c == '$' && i + 1 < w.size() && w[i + 1] == '"')) {
      i += c == '$' ? 2 : 1;
      while (i < w.size() && w[i] != '"') {
        if (w[i] == '\\' && i + 1 < w.size()) {
          const char n = w[i + 1];
          if (n == '$' || n == '`' || n == '"' || n == '\\') out.push_back(n);
          else if (n != '\n') { out.push_back('\\'); out.push_back(n); }
          i += 2;
        } else if (w[i] == '$' && i + 1 < w.size() && w[i + 1] == '(') {
          // A substitution inside double quotes keeps its own quotes.
          const std::size_t e = skip_parenthesized(w, i + 1);
          out.append(w.substr(i, e - i));
          i = e;
        } else {
          out.push_back(w[i++]);
        }
      }
      ++i;
    } else if (c == '$' && i + 1 < w.size() && w[i + 1] == '(') {
      const std::size_t e = skip_parenthesized(w, i + 1);
      out.append(w.substr(i, e - i));
      i = e;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

namespace {

// `quotes_literal`: the text of a here-document body, where quotes are
// plain characters but substitutions still run.
void scan_substitutions(std::string_view t, bool quotes_literal, std::vector<std::string>& out) {
  bool in_double = quotes_literal;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    const char next = i + 1 < t.size() ? t[i + 1] : '\0';
    if (c == '\\') {
      ++i;
    } else if (quotes_literal && (c == '\'' || c == '"')) {
      continue;
    } else if (c == '\'' && !in_double) {
      const std::size_t e = t.find('\'', i + 1);
      if (e == std::string_view::npos) return;
      i = e;
    } else if (c == '"') {
      in_double = !in_double;
    } else if (c == '$' && next == '(') {
      if (i + 2 < t.size() && t[i + 2] == '(') {
        ++i;  // arithmetic: look inside it
        continue;
      }
      const std::size_t e = skip_parenthesized(t, i + 1);
      const std::size_t body_end = e > i + 2 && t[e - 1] == ')' ? e - 1 : e;
      out.emplace_back(t.substr(i + 2, body_end - (i + 2)));
      i = e - 1;
    } else if ((c == '<' || c == '>') && next == '(' && !in_double) {
      const std::size_t e = skip_parenthesized(t, i + 1);
      const std::size_t body_end = e > i + 2 && t[e - 1] == ')' ? e - 1 : e;
      out.emplace_back(t.substr(i + 2, body_end - (i + 2)));
      i = e - 1;
    } else if (c == '`') {
      std::string body;
      std::size_t j = i + 1;
      for (; j < t.size() && t[j] != '`'; ++j) {
        if (t[j] == '\\' && j + 1 < t.size() && (t[j + 1] == '`' || t[j + 1] == '\\' || t[j + 1] == '$')) ++j;
        body.push_back(t[j]);
      }
      out.push_back(std::move(body));
      i = j;
    }
  }
}

}  // namespace

void find_substitutions(std::string_view t, std::vector<std::string>& out) {
  scan_substitutions(t, false, out);
}

std::string join_as_command(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out.push_back(' ');
    if (!needs_quoting(word)) {
      out += word;
      continue;
    }
    out.push_back('\'');
    for (char c : word) {
      if (c == '\'') out += "'\\''";
      else out.push_back(c);
    }
    out.push_back('\'');
  }
  return out;
}

namespace {

std::vector<Word> words_of(const CommandSegment& segment) {
  std::vector<Word> words;
  words.reserve(segment.arguments.size() + 1);
  if (segment.executable) words.push_back({*segment.executable, remove_quotes(*segment.executable)});
  for (const Argument& a : segment.arguments) words.push_back({a.text, remove_quotes(a.text)});
  return words;
}

}  // namespace

std::optional<std::size_t> program_index(std::span<const std::string_view> values) {
  std::vector<Word> words;
  words.reserve(values.size());
  for (std::string_view v : values) words.push_back({v, std::string(v)});
  const std::optional<Program> prog = program_word(words);
  if (!prog) return std::nullopt;
  return prog->index;
}

std::optional<std::string> without_wrappers(std::string_view line, const std::vector<CommandSegment>& segments) {
  struct Cut {
    std::size_t from, to;
  };
  std::vector<Cut> cuts;
  std::size_t pos = 0;
  for (const CommandSegment& segment : segments) {
    const std::size_t at = line.find(segment.text, pos);
    if (segment.text.empty() || at == std::string_view::npos) return std::nullopt;
    pos = at + segment.text.size();
    if (!segment.executable) continue;
    const std::vector<Word> words = words_of(segment);
    const std::optional<Program> prog = program_word(words);
    if (!prog || prog->index == 0 || prog->shell_string) continue;
    // Where the program's word starts in the segment's text.
    std::size_t offset = 0;
    for (std::size_t i = 0; i <= prog->index; ++i) {
      const std::size_t found = std::string_view(segment.text).find(words[i].written, offset);
      if (found == std::string_view::npos) return std::nullopt;
      offset = i == prog->index ? found : found + words[i].written.size();
    }
    cuts.push_back({at, at + offset});
  }
  if (cuts.empty()) return std::nullopt;
  std::string out;
  std::size_t from = 0;
  for (const Cut& c : cuts) {
    out.append(line.substr(from, c.from - from));
    from = c.to;
  }
  out.append(line.substr(from));
  return out;
}

std::vector<std::string> command_lines(const CommandSegment& segment) {
  const std::vector<Word> words = words_of(segment);

  Extraction x;
  x.consumed.assign(words.size(), false);
  if (segment.executable) {
    if (auto prog = program_word(words)) program_lines(words, *prog, x);
  }

  // What a heredoc or here-string feeds to a shell or an interpreter.
  for (const Redirection& r : segment.redirections) {
    if (!x.reads_input && !x.input_language) break;
    auto input = redirected_input(r);
    if (!input) continue;
    if (x.input_language) {
      for (std::string& l : rules::inline_code_command_lines(*x.input_language, *input)) x.lines.push_back(std::move(l));
    } else {
      x.lines.push_back(std::move(*input));
    }
  }

  // Substitutions the outer shell runs, in every word not already handed on
  // (a handed-on word's substitutions are found when its line is classified).
  if (!segment.executable && segment.arguments.empty() && segment.assignments.empty()) {
    find_substitutions(segment.text, x.lines);  // an opaque statement
  } else {
    for (std::size_t i = 0; i < words.size(); ++i)
      if (!x.consumed[i]) find_substitutions(words[i].written, x.lines);
    for (const Assignment& a : segment.assignments) find_substitutions(a.value, x.lines);
    for (const Redirection& r : segment.redirections) {
      if (r.kind == RedirectKind::Heredoc) {
        if (!heredoc_expands(r)) continue;
        // The body expands like double-quoted text.
        if (auto body = redirected_input(r)) scan_substitutions(*body, true, x.lines);
      } else if (r.kind != RedirectKind::Herestring || !x.reads_input) {
        find_substitutions(r.target, x.lines);
      }
    }
  }

  std::erase_if(x.lines, [](const std::string& l) {
    return std::all_of(l.begin(), l.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
  });
  return x.lines;
}

}  // namespace corvane::nested
