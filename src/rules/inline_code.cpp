// A lexical scan, not a parser: the code is cut into identifiers, string
// literals and punctuation, and a call is recognised by its name followed by
// its argument list. What it cannot see, by design:
//   - computed strings: a command built from variables, format operations,
//     decoding (base64, rot13) or string methods; only the literal parts of
//     an argument are read ("rm -rf " + path yields "rm -rf ");
//   - calls made through an alias of the function itself (f = os.system;
//     f("...")), getattr, reflection, or code the program loads from a file;
//   - deletions whose path is not a literal argument (Path("/x").unlink()).
// What it finds can only raise the verdict: the interpreter's own verdict is
// the floor.
#include "rules/inline_code.h"

#include <algorithm>
#include <array>
#include <span>

#include "nested.h"

namespace corvane::rules {
namespace {

// What a recognised call does with its arguments.
enum class Action : std::uint8_t {
  Shell,          // the first argument is a command line (a list: its words)
  Argv,           // every literal argument is one word of a command
  ArgvAfterFirst, // os.execl(path, arg0, ...): the words start at the second
  Remove,         // deletes the file named by the first argument
  RemoveForced,   // ... without asking (rm -f)
  RemoveTree,     // deletes the whole tree below it (rm -rf)
  RemoveDir,      // deletes an empty directory
  RemoveMaybeTree,// deletes a file, or a tree when asked to be recursive
  PipeOpen,       // open("cmd |"), open(F, "-|", "cmd")
  Code,           // the language's own eval: the argument is more code
};

// A call name, matched against the end of the dotted name written before
// "(": "system" matches os.system and system; "File.delete" needs the File.
struct CallRule {
  std::string_view name;
  Action action;
};

using A = Action;

constexpr std::array<CallRule, 29> kPythonCalls = {{
    {"system", A::Shell},
    {"popen", A::Shell},
    {"getoutput", A::Shell},
    {"getstatusoutput", A::Shell},
    {"subprocess.run", A::Shell},
    {"subprocess.call", A::Shell},
    {"check_call", A::Shell},
    {"check_output", A::Shell},
    {"Popen", A::Shell},
    {"pty.spawn", A::Shell},
    {"execl", A::ArgvAfterFirst},
    {"execle", A::ArgvAfterFirst},
    {"execlp", A::ArgvAfterFirst},
    {"execlpe", A::ArgvAfterFirst},
    {"execv", A::ArgvAfterFirst},
    {"execve", A::ArgvAfterFirst},
    {"execvp", A::ArgvAfterFirst},
    {"execvpe", A::ArgvAfterFirst},
    {"spawnl", A::ArgvAfterFirst},
    {"spawnlp", A::ArgvAfterFirst},
    {"spawnv", A::ArgvAfterFirst},
    {"spawnvp", A::ArgvAfterFirst},
    {"os.remove", A::Remove},
    {"os.unlink", A::Remove},
    {"os.rmdir", A::RemoveDir},
    {"os.removedirs", A::RemoveDir},
    {"rmtree", A::RemoveTree},
    {"exec", A::Code},
    {"eval", A::Code},
}};

constexpr std::array<CallRule, 9> kPerlCalls = {{
    {"system", A::Shell},
    {"exec", A::Shell},
    {"readpipe", A::Shell},
    {"open", A::PipeOpen},
    {"unlink", A::Remove},
    {"rmdir", A::RemoveDir},
    {"rmtree", A::RemoveTree},
    {"remove_tree", A::RemoveTree},
    {"eval", A::Code},
}};

constexpr std::array<CallRule, 27> kRubyCalls = {{
    {"system", A::Shell},
    {"exec", A::Shell},
    {"spawn", A::Shell},
    {"popen", A::Shell},
    {"popen2", A::Shell},
    {"popen2e", A::Shell},
    {"popen3", A::Shell},
    {"capture2", A::Shell},
    {"capture2e", A::Shell},
    {"capture3", A::Shell},
    {"Open3.pipeline", A::Shell},
    {"open", A::PipeOpen},
    {"File.delete", A::Remove},
    {"File.unlink", A::Remove},
    {"FileUtils.rm", A::Remove},
    {"FileUtils.remove", A::Remove},
    {"FileUtils.rm_f", A::RemoveForced},
    {"FileUtils.rm_r", A::RemoveTree},
    {"FileUtils.rm_rf", A::RemoveTree},
    {"FileUtils.rmtree", A::RemoveTree},
    {"FileUtils.remove_dir", A::RemoveTree},
    {"FileUtils.remove_entry", A::RemoveTree},
    {"FileUtils.remove_entry_secure", A::RemoveTree},
    {"FileUtils.rmdir", A::RemoveDir},
    {"Dir.rmdir", A::RemoveDir},
    {"Dir.delete", A::RemoveDir},
    {"eval", A::Code},
}};

constexpr std::array<CallRule, 15> kNodeCalls = {{
    {"exec", A::Shell},
    {"execSync", A::Shell},
    {"spawn", A::Argv},
    {"spawnSync", A::Argv},
    {"execFile", A::Argv},
    {"execFileSync", A::Argv},
    {"unlink", A::Remove},
    {"unlinkSync", A::Remove},
    {"fs.rm", A::RemoveMaybeTree},
    {"rmSync", A::RemoveMaybeTree},
    {"fs.rmdir", A::RemoveMaybeTree},
    {"rmdirSync", A::RemoveMaybeTree},
    {"promises.rm", A::RemoveMaybeTree},
    {"remove", A::RemoveTree},  // fs-extra
    {"eval", A::Code},
}};

constexpr std::array<CallRule, 9> kPhpCalls = {{
    {"system", A::Shell},
    {"exec", A::Shell},
    {"shell_exec", A::Shell},
    {"passthru", A::Shell},
    {"popen", A::Shell},
    {"proc_open", A::Shell},
    {"unlink", A::Remove},
    {"rmdir", A::RemoveDir},
    {"eval", A::Code},
}};

constexpr std::array<CallRule, 1> kAwkCalls = {{
    {"system", A::Shell},
}};

std::span<const CallRule> calls_of(CodeLanguage l) {
  switch (l) {
    case CodeLanguage::Python: return kPythonCalls;
    case CodeLanguage::Perl: return kPerlCalls;
    case CodeLanguage::Ruby: return kRubyCalls;
    case CodeLanguage::Node: return kNodeCalls;
    case CodeLanguage::Php: return kPhpCalls;
    case CodeLanguage::Awk: return kAwkCalls;
  }
  return {};
}

// How the language's own eval is spelt on a command line.
std::string_view code_runner(CodeLanguage l) {
  switch (l) {
    case CodeLanguage::Python: return "python3 -c";
    case CodeLanguage::Perl: return "perl -e";
    case CodeLanguage::Ruby: return "ruby -e";
    case CodeLanguage::Node: return "node -e";
    case CodeLanguage::Php: return "php -r";
    case CodeLanguage::Awk: return "awk";
  }
  return {};
}

// ---------------------------------------------------------------------------
// Lexer

struct Token {
  enum class Kind : std::uint8_t { Name, String, Command, Punct, Newline };
  Kind kind;
  std::string text;  // dotted name, decoded literal, or the punctuation byte
};

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

enum class Escapes : std::uint8_t { None, QuoteOnly, Full };

std::string decode(std::string_view body, Escapes esc, char quote) {
  if (esc == Escapes::None) return std::string(body);
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      out.push_back(body[i]);
      continue;
    }
    const char e = body[++i];
    if (esc == Escapes::QuoteOnly) {
      if (e != '\\' && e != quote) out.push_back('\\');
      out.push_back(e);
      continue;
    }
    switch (e) {
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case '0': out.push_back('\0'); break;
      default: out.push_back(e); break;
    }
  }
  return out;
}

char closing_of(char open) {
  switch (open) {
    case '(': return ')';
    case '[': return ']';
    case '{': return '}';
    case '<': return '>';
    default: return open;
  }
}

class Lexer {
 public:
  Lexer(CodeLanguage lang, std::string_view code) : lang_(lang), s_(code) {}

  std::vector<Token> run() {
    std::vector<Token> out;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '\n') {
        out.push_back({Token::Kind::Newline, "\n"});
        ++i_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++i_;
      } else if (starts_comment()) {
        skip_comment();
      } else if (name_start(c)) {
        lex_name(out);
      } else if (c == '\'' || c == '"') {
        lex_quoted(out, c, std::string_view());
      } else if (c == '`' && lang_ != CodeLanguage::Python && lang_ != CodeLanguage::Awk) {
        // Backquotes run a command, except in JavaScript, where they quote.
        const std::string body = delimited('`', '`', Escapes::Full);
        out.push_back({lang_ == CodeLanguage::Node ? Token::Kind::String : Token::Kind::Command, body});
      } else if (c == '%' && lang_ == CodeLanguage::Ruby && lex_ruby_percent(out)) {
        // %x(...) and friends
      } else {
        out.push_back({Token::Kind::Punct, std::string(1, c)});
        ++i_;
      }
    }
    return out;
  }

 private:
  bool starts_comment() const {
    const char c = s_[i_];
    const char n = i_ + 1 < s_.size() ? s_[i_ + 1] : '\0';
    switch (lang_) {
      case CodeLanguage::Python:
      case CodeLanguage::Ruby:
      case CodeLanguage::Awk:
        return c == '#';
      case CodeLanguage::Perl:
        return c == '#' && (i_ == 0 || s_[i_ - 1] != '$');  // $#array is not a comment
      case CodeLanguage::Node:
        return c == '/' && (n == '/' || n == '*');
      case CodeLanguage::Php:
        return c == '#' || (c == '/' && (n == '/' || n == '*'));
    }
    return false;
  }

  void skip_comment() {
    if (s_[i_] == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '*') {
      const std::size_t e = s_.find("*/", i_ + 2);
      i_ = e == std::string_view::npos ? s_.size() : e + 2;
      return;
    }
    const std::size_t e = s_.find('\n', i_);
    i_ = e == std::string_view::npos ? s_.size() : e;
  }

  // The text between `open` at i_ and its `close`, nesting bracket pairs;
  // i_ ends past the close.
  std::string delimited(char open, char close, Escapes esc) {
    const std::size_t start = ++i_;
    int depth = 0;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '\\' && esc != Escapes::None) {
        i_ += 2;
        continue;
      }
      if (c == close && depth == 0) break;
      if (open != close && c == open) ++depth;
      if (open != close && c == close) --depth;
      ++i_;
    }
    const std::size_t end = std::min(i_, s_.size());
    if (i_ < s_.size()) ++i_;
    return decode(s_.substr(start, end - start), esc, close);
  }

  void lex_quoted(std::vector<Token>& out, char q, std::string_view prefix) {
    Escapes esc = Escapes::Full;
    const bool raw = prefix.find_first_of("rR") != std::string_view::npos;
    if (lang_ == CodeLanguage::Python) {
      esc = raw ? Escapes::None : Escapes::Full;
      const std::string triple(3, q);
      if (s_.substr(i_).starts_with(triple)) {
        const std::size_t start = i_ + 3;
        std::size_t e = s_.find(triple, start);
        if (e == std::string_view::npos) e = s_.size();
        out.push_back({Token::Kind::String, decode(s_.substr(start, e - start), esc, q)});
        i_ = std::min(e + 3, s_.size());
        return;
      }
    } else if (q == '\'' && lang_ != CodeLanguage::Node) {
      esc = Escapes::QuoteOnly;  // single quotes interpolate nothing
    }
    out.push_back({Token::Kind::String, delimited(q, q, esc)});
  }

  void lex_name(std::vector<Token>& out) {
    const std::size_t start = i_;
    while (i_ < s_.size() && name_char(s_[i_])) ++i_;
    std::string_view word = s_.substr(start, i_ - start);
    const char next = i_ < s_.size() ? s_[i_] : '\0';

    // Python string prefixes: r"...", f'...', rb"...".
    if (lang_ == CodeLanguage::Python && (next == '\'' || next == '"') && word.size() <= 2 &&
        word.find_first_not_of("rRbBfFuU") == std::string_view::npos) {
      lex_quoted(out, next, word);
      return;
    }
    // Perl quote-like operators.
    if (lang_ == CodeLanguage::Perl && lex_perl_quote(out, word)) return;

    // A dotted name: os.path.join, File::Path::rmtree, $obj->method.
    std::string name(word);
    for (;;) {
      std::size_t sep = 0;
      if (s_.substr(i_).starts_with("::") || s_.substr(i_).starts_with("->")) sep = 2;
      else if (i_ < s_.size() && s_[i_] == '.') sep = 1;
      if (sep == 0 || i_ + sep >= s_.size() || !name_start(s_[i_ + sep])) break;
      i_ += sep;
      const std::size_t part = i_;
      while (i_ < s_.size() && name_char(s_[i_])) ++i_;
      name += '.';
      name += s_.substr(part, i_ - part);
    }
    out.push_back({Token::Kind::Name, std::move(name)});
  }

  static bool perl_delimiter(char c) {
    return c != '\0' && !name_char(c) && c != ' ' && c != '\t' && c != '\n' && c != '=' &&
           c != ',' && c != ';' && c != ')' && c != '-' && c != '>';
  }

  bool lex_perl_quote(std::vector<Token>& out, std::string_view word) {
    const char d = i_ < s_.size() ? s_[i_] : '\0';
    if (!perl_delimiter(d)) return false;
    if (word == "q" || word == "qq" || word == "qw") {
      out.push_back({Token::Kind::String, delimited(d, closing_of(d), word == "q" ? Escapes::QuoteOnly : Escapes::Full)});
      return true;
    }
    if (word == "qx") {
      out.push_back({Token::Kind::Command, delimited(d, closing_of(d), Escapes::Full)});
      return true;
    }
    // Patterns may hold quotes of their own: skip them whole.
    if (word == "m" || word == "qr") {
      delimited(d, closing_of(d), Escapes::Full);
      return true;
    }
    if (word == "s" || word == "tr" || word == "y") {
      delimited(d, closing_of(d), Escapes::Full);
      if (closing_of(d) != d) {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
        if (i_ < s_.size()) delimited(s_[i_], closing_of(s_[i_]), Escapes::Full);
      } else {
        --i_;  // the closing delimiter opens the replacement
        delimited(d, d, Escapes::Full);
      }
      return true;
    }
    return false;
  }

  bool lex_ruby_percent(std::vector<Token>& out) {
    if (i_ + 2 >= s_.size()) return false;
    const char kind = s_[i_ + 1];
    const char d = s_[i_ + 2];
    if (std::string_view("xqQwWiI").find(kind) == std::string_view::npos || name_char(d) || d == ' ')
      return false;
    i_ += 2;
    const std::string body = delimited(d, closing_of(d), kind == 'q' ? Escapes::QuoteOnly : Escapes::Full);
    out.push_back({kind == 'x' ? Token::Kind::Command : Token::Kind::String, body});
    return true;
  }

  CodeLanguage lang_;
  std::string_view s_;
  std::size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// Calls

bool name_matches(std::string_view written, std::string_view rule) {
  if (!written.ends_with(rule)) return false;
  return written.size() == rule.size() || written[written.size() - rule.size() - 1] == '.';
}

const CallRule* find_call(CodeLanguage lang, std::string_view name) {
  for (const CallRule& r : calls_of(lang))
    if (name_matches(name, r.name)) return &r;
  return nullptr;
}

bool concatenates(CodeLanguage lang, const Token& t) {
  if (t.kind != Token::Kind::Punct) return false;
  if (lang == CodeLanguage::Perl || lang == CodeLanguage::Php) return t.text == ".";
  return t.text == "+";
}

// One argument of a call: its string literals (adjacent or joined with the
// concatenation operator merge into one), and whether it is a list.
struct CallArgument {
  std::vector<std::string> literals;
  bool list = false;
  bool keyword = false;
  bool mentions_recursive = false;
};

// The arguments of the call whose name is token `k`; `end` receives the
// index past them. Arguments are read for at most a bounded number of
// tokens, so that nested calls cannot make the scan quadratic.
std::vector<CallArgument> call_arguments(CodeLanguage lang, const std::vector<Token>& t, std::size_t k,
                                         std::size_t& end) {
  constexpr std::size_t kMaxTokens = 256;
  std::vector<CallArgument> args;
  std::size_t i = k + 1;
  const bool paren = i < t.size() && t[i].kind == Token::Kind::Punct && t[i].text == "(";
  const bool bare_allowed = lang == CodeLanguage::Perl || lang == CodeLanguage::Ruby;
  if (!paren && !bare_allowed) {
    end = i;
    return args;
  }
  if (paren) ++i;
  args.emplace_back();
  int depth = 0;
  bool after_literal = false, joining = false;
  const std::size_t limit = std::min(t.size(), i + kMaxTokens);
  for (; i < limit; ++i) {
    const Token& tok = t[i];
    if (tok.kind == Token::Kind::Newline) {
      if (!paren && depth == 0) break;
      continue;
    }
    if (tok.kind == Token::Kind::Punct) {
      const char c = tok.text[0];
      if (depth == 0 && (c == ')' || (!paren && (c == ';' || c == '}')))) break;
      if (depth == 0 && c == ',') {
        args.emplace_back();
        after_literal = joining = false;
        continue;
      }
      if (c == '(' || c == '[' || c == '{') {
        if (c == '[' && depth == 0 && args.back().literals.empty()) args.back().list = true;
        ++depth;
      } else if (c == ')' || c == ']' || c == '}') {
        --depth;
      } else if (c == '=' && depth == 0 && !after_literal) {
        args.back().keyword = true;
      }
      joining = after_literal && concatenates(lang, tok);
      if (!joining) after_literal = false;
      continue;
    }
    if (tok.kind == Token::Kind::Name) {
      if (tok.text.ends_with("recursive")) args.back().mentions_recursive = true;
      after_literal = joining = false;
      continue;
    }
    // A string literal (a command string inside an argument is a literal too).
    CallArgument& a = args.back();
    const bool merge = (joining || (after_literal && lang == CodeLanguage::Awk) ||
                        (after_literal && lang == CodeLanguage::Python)) && !a.literals.empty() && !a.list;
    if (merge) a.literals.back() += tok.text;
    else a.literals.push_back(tok.text);
    after_literal = true;
    joining = false;
  }
  end = i;
  return args;
}

std::string path_command(std::string_view verb, const std::string& path) {
  return std::string(verb) + " " + nested::join_as_command({path});
}

void apply(CodeLanguage lang, Action action, const std::vector<CallArgument>& args, std::vector<std::string>& out) {
  std::vector<const CallArgument*> positional;
  for (const CallArgument& a : args)
    if (!a.keyword) positional.push_back(&a);
  const CallArgument* first = positional.empty() ? nullptr : positional.front();
  auto first_literal = [&]() -> const std::string* {
    return first != nullptr && !first->literals.empty() && !first->list ? &first->literals.front() : nullptr;
  };
  std::vector<std::string> words;
  switch (action) {
    case Action::Shell:
      if (first == nullptr || first->literals.empty()) return;
      if (first->list) out.push_back(nested::join_as_command(first->literals));
      else out.push_back(first->literals.front());
      return;
    case Action::Argv:
    case Action::ArgvAfterFirst:
      for (const CallArgument* a : positional)
        for (const std::string& l : a->literals) words.push_back(l);
      if (action == Action::ArgvAfterFirst && !words.empty()) words.erase(words.begin());
      if (!words.empty()) out.push_back(nested::join_as_command(words));
      return;
    case Action::Remove:
      if (auto* p = first_literal()) out.push_back(path_command("rm", *p));
      return;
    case Action::RemoveForced:
      if (auto* p = first_literal()) out.push_back(path_command("rm -f", *p));
      return;
    case Action::RemoveTree:
      if (auto* p = first_literal()) out.push_back(path_command("rm -rf", *p));
      return;
    case Action::RemoveDir:
      if (auto* p = first_literal()) out.push_back(path_command("rmdir", *p));
      return;
    case Action::RemoveMaybeTree: {
      const bool recursive = std::any_of(args.begin(), args.end(), [](const CallArgument& a) { return a.mentions_recursive; });
      if (auto* p = first_literal()) out.push_back(path_command(recursive ? "rm -rf" : "rm", *p));
      return;
    }
    case Action::PipeOpen: {
      // open(F, "cmd |"), open(F, "| cmd"), open(F, "-|", "cmd", args...)
      std::vector<std::string> lits;
      for (const CallArgument* a : positional)
        for (const std::string& l : a->literals) lits.push_back(l);
      for (std::size_t i = 0; i < lits.size(); ++i) {
        std::string_view l = lits[i];
        if ((l == "-|" || l == "|-") && i + 1 < lits.size()) {
          out.push_back(nested::join_as_command({lits.begin() + static_cast<std::ptrdiff_t>(i) + 1, lits.end()}));
          return;
        }
        auto trim = [](std::string_view v) {
          while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
          while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
          return v;
        };
        l = trim(l);
        if (l.size() > 1 && l.front() == '|') { out.emplace_back(trim(l.substr(1))); return; }
        if (l.size() > 1 && l.back() == '|') { out.emplace_back(trim(l.substr(0, l.size() - 1))); return; }
      }
      return;
    }
    case Action::Code:
      if (auto* p = first_literal()) out.push_back(std::string(code_runner(lang)) + " " + nested::join_as_command({*p}));
      return;
  }
}

bool punct_is(const std::vector<Token>& t, std::size_t i, char c) {
  return i < t.size() && t[i].kind == Token::Kind::Punct && t[i].text[0] == c;
}

// Whether the ">" at `gt` redirects the output of a print or printf: the
// statement it is in (back to the last ";", "{", "}" or line end) starts with
// one, and no "(" is open between them.
bool prints_to_file(const std::vector<Token>& t, std::size_t gt) {
  int depth = 0;
  for (std::size_t k = gt; k-- > 0;) {
    const Token& x = t[k];
    if (x.kind == Token::Kind::Newline) return false;
    if (x.kind == Token::Kind::Punct) {
      const char c = x.text[0];
      if (c == ';' || c == '{' || c == '}') return false;
      if (c == ')') ++depth;
      if (c == '(' && --depth < 0) return false;
      continue;
    }
    if (x.kind == Token::Kind::Name && (x.text == "print" || x.text == "printf")) {
      if (depth != 0) return false;
      const bool statement_start = k == 0 || t[k - 1].kind == Token::Kind::Newline ||
                                   (t[k - 1].kind == Token::Kind::Punct && std::string_view(";{}").find(t[k - 1].text[0]) != std::string_view::npos);
      return statement_start;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> inline_code_command_lines(CodeLanguage lang, std::string_view code) {
  const std::vector<Token> t = Lexer(lang, code).run();
  std::vector<std::string> out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const Token& tok = t[i];
    if (tok.kind == Token::Kind::Command) {
      out.push_back(tok.text);
      continue;
    }
    if (lang == CodeLanguage::Awk && tok.kind == Token::Kind::String) {
      // print ... | "cmd" and "cmd" | getline: a single bar, not "||".
      const bool piped_to = i >= 1 && punct_is(t, i - 1, '|') && !(i >= 2 && punct_is(t, i - 2, '|'));
      const bool piped_from = punct_is(t, i + 1, '|') && !punct_is(t, i + 2, '|') && i + 2 < t.size() &&
                              (t[i + 2].text == "getline" || (punct_is(t, i + 2, '&') && i + 3 < t.size() && t[i + 3].text == "getline"));
      if (piped_to || piped_from) {
        out.push_back(tok.text);
        continue;
      }
      // print > "file" and print >> "file" write it; ">" elsewhere in the
      // statement is a comparison.
      if (i >= 1 && punct_is(t, i - 1, '>') && prints_to_file(t, i - 1))
        out.push_back(path_command("tee", tok.text));
      continue;
    }
    if (tok.kind != Token::Kind::Name) continue;
    const CallRule* rule = find_call(lang, tok.text);
    if (rule == nullptr) continue;
    // "def system(" or "function exec(" define, they do not call.
    if (i >= 1 && t[i - 1].kind == Token::Kind::Name &&
        (t[i - 1].text == "def" || t[i - 1].text == "function" || t[i - 1].text == "sub"))
      continue;
    std::size_t end = i + 1;
    const std::vector<CallArgument> args = call_arguments(lang, t, i, end);
    apply(lang, rule->action, args, out);
  }
  return out;
}

}  // namespace corvane::rules

namespace corvane::rules {

// GNU sed's grammar, read just far enough to find the commands that reach
// outside the text: addresses are skipped, `s` and `y` are read delimiter by
// delimiter, and the commands whose argument runs to the end of the line
// (a, i, c, e, r, R, w, W, labels, comments) are taken whole. It cannot see
// scripts read from a file (-f), and a command built by an earlier `s` from
// the input is reported only as running input.
SedEffects sed_script_effects(std::string_view s) {
  SedEffects fx;
  std::size_t i = 0;
  auto rest_of_line = [&]() {
    const std::size_t nl = s.find('\n', i);
    std::string_view r = s.substr(i, nl == std::string_view::npos ? std::string_view::npos : nl - i);
    i = nl == std::string_view::npos ? s.size() : nl + 1;
    while (!r.empty() && (r.front() == ' ' || r.front() == '\t')) r.remove_prefix(1);
    return r;
  };
  auto write_to = [&](std::string_view file) {
    if (file.empty() || file == "/dev/stdout" || file == "/dev/stderr") return;
    fx.lines.push_back(path_command("tee", std::string(file)));
  };
  // One delimited part of s or y: the text up to the next unescaped `delim`.
  auto part = [&](char delim) {
    std::string out;
    while (i < s.size() && s[i] != delim) {
      if (s[i] == '\\' && i + 1 < s.size()) {
        if (s[i + 1] != delim) out.push_back('\\');
        ++i;
      }
      out.push_back(s[i++]);
    }
    if (i < s.size()) ++i;
    return out;
  };
  auto skip_address = [&]() {
    for (int n = 0; n < 2 && i < s.size(); ++n) {
      if (s[i] == '/' || s[i] == '\\') {
        const char d = s[i] == '\\' && i + 1 < s.size() ? s[++i] : '/';
        ++i;
        (void)part(d);
        while (i < s.size() && (s[i] == 'I' || s[i] == 'M')) ++i;
      } else {
        while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '$' || s[i] == '~' || s[i] == '+')) ++i;
      }
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      if (n == 0 && i < s.size() && s[i] == ',') {
        ++i;
        continue;
      }
      break;
    }
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '!')) ++i;
  };
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '{' || c == '}') {
      ++i;
      continue;
    }
    skip_address();
    if (i >= s.size()) break;
    const char cmd = s[i++];
    switch (cmd) {
      case 'e': {
        const std::string_view line = rest_of_line();
        if (line.empty()) fx.runs_input = true;
        else fx.lines.emplace_back(line);
        break;
      }
      case 'w': case 'W': write_to(rest_of_line()); break;
      case 'r': case 'R': {
        const std::string_view file = rest_of_line();
        if (!file.empty() && file != "/dev/stdin") fx.lines.push_back(path_command("cat", std::string(file)));
        break;
      }
      case 'a': case 'i': case 'c': case ':': case '#': case 'b': case 't': case 'T':
        (void)rest_of_line();  // text, a label or a comment: nothing runs
        break;
      case 's': case 'y': {
        if (i >= s.size() || s[i] == '\n' || s[i] == '\\') break;
        const char d = s[i++];
        (void)part(d);
        std::string replacement = part(d);
        if (cmd == 'y') break;
        // The flags up to the end of the command; anything but a flag makes
        // the script one sed refuses, and nothing of it runs.
        std::size_t f = i;
        while (f < s.size() && std::string_view("gpiImMe0123456789").find(s[f]) != std::string_view::npos) ++f;
        const std::string_view flags = s.substr(i, f - i);
        const bool writes = f < s.size() && s[f] == 'w';
        if (!writes && f < s.size() && std::string_view(" \t\n;}").find(s[f]) == std::string_view::npos) return fx;
        i = writes ? f + 1 : f;
        if (flags.find('e') != std::string_view::npos) {
          fx.runs_input = true;
          // The pattern space runs after the substitution: when the
          // replacement is plain text, that is the command it spells.
          if (!replacement.empty() && replacement.find_first_of("\\&") == std::string::npos)
            fx.lines.push_back(replacement);
        }
        if (writes) write_to(rest_of_line());
        break;
      }
      default: break;  // p, d, q, n, h, g, x, l, = ... stay inside the text
    }
  }
  return fx;
}

}  // namespace corvane::rules
