#include "words.h"

namespace corvane {
namespace {

bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// What follows a "$" that makes it an expansion rather than a literal
// dollar: a name, a positional or special parameter, "{" or "(".
bool starts_expansion(char c) {
  if (is_name_start(c) || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '{': case '(': case '?': case '#': case '@': case '*': case '!': case '-': case '$':
      return true;
    default:
      return false;
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Unquoter {
 public:
  explicit Unquoter(std::string_view w) : w_(w) {}

  std::optional<std::string> run() {
    out_.reserve(w_.size());
    while (i_ < w_.size()) {
      const char c = w_[i_];
      bool ok = true;
      switch (c) {
        case '\\': backslash(); break;
        case '\'': ok = single(); break;
        case '"': ++i_; ok = double_quoted(); break;
        case '`': return std::nullopt;
        case '$': ok = dollar(); break;
        default: out_.push_back(c); ++i_; break;
      }
      if (!ok) return std::nullopt;
    }
    return std::move(out_);
  }

 private:
  // Outside quotes a backslash keeps the next character literally; before a
  // newline it joins the lines.
  void backslash() {
    if (i_ + 1 >= w_.size()) {
      out_.push_back('\\');
      ++i_;
      return;
    }
    if (w_[i_ + 1] != '\n') out_.push_back(w_[i_ + 1]);
    i_ += 2;
  }

  bool single() {
    const auto close = w_.find('\'', i_ + 1);
    if (close == std::string_view::npos) return false;
    out_.append(w_.substr(i_ + 1, close - i_ - 1));
    i_ = close + 1;
    return true;
  }

  // Inside double quotes a backslash escapes only "$", "`", '"', "\" and a
  // newline; "$" and "`" start expansions.
  bool double_quoted() {
    while (i_ < w_.size()) {
      const char c = w_[i_];
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c == '`') return false;
      if (c == '$' && i_ + 1 < w_.size() && starts_expansion(w_[i_ + 1])) return false;
      if (c == '\\' && i_ + 1 < w_.size()) {
        const char n = w_[i_ + 1];
        if (n == '$' || n == '`' || n == '"' || n == '\\' || n == '\n') {
          if (n != '\n') out_.push_back(n);
          i_ += 2;
          continue;
        }
      }
      out_.push_back(c);
      ++i_;
    }
    return false;  // left open
  }

  bool dollar() {
    const char n = i_ + 1 < w_.size() ? w_[i_ + 1] : '\0';
    if (n == '\'') {
      i_ += 2;
      return ansi_c();
    }
    if (n == '"') {  // $"..." translates like "..." when no catalogue applies
      i_ += 2;
      return double_quoted();
    }
    if (i_ + 1 < w_.size() && starts_expansion(n)) return false;
    out_.push_back('$');
    ++i_;
    return true;
  }

  // $'...': backslash escapes decoded as bash does; \u, \U and \c are rare
  // enough to be left undecoded (the word is then not taken apart).
  bool ansi_c() {
    while (i_ < w_.size()) {
      const char c = w_[i_];
      if (c == '\'') {
        ++i_;
        return true;
      }
      if (c != '\\') {
        out_.push_back(c);
        ++i_;
        continue;
      }
      if (i_ + 1 >= w_.size()) return false;
      const char e = w_[i_ + 1];
      i_ += 2;
      switch (e) {
        case 'a': out_.push_back('\a'); break;
        case 'b': out_.push_back('\b'); break;
        case 'e': case 'E': out_.push_back('\x1B'); break;
        case 'f': out_.push_back('\f'); break;
        case 'n': out_.push_back('\n'); break;
        case 'r': out_.push_back('\r'); break;
        case 't': out_.push_back('\t'); break;
        case 'v': out_.push_back('\v'); break;
        case '\\': case '\'': case '"': case '?': out_.push_back(e); break;
        case 'x': {
          int v = 0, digits = 0;
          while (digits < 2 && i_ < w_.size() && hex_value(w_[i_]) >= 0) {
            v = v * 16 + hex_value(w_[i_++]);
            ++digits;
          }
          if (digits == 0) {
            out_.append("\\x");
            break;
          }
          if (v == 0) return false;
          out_.push_back(static_cast<char>(v));
          break;
        }
        case 'u': case 'U': case 'c':
          return false;
        default:
          if (e >= '0' && e <= '7') {
            int v = e - '0', digits = 1;
            while (digits < 3 && i_ < w_.size() && w_[i_] >= '0' && w_[i_] <= '7') {
              v = v * 8 + (w_[i_++] - '0');
              ++digits;
            }
            if ((v & 0xFF) == 0) return false;
            out_.push_back(static_cast<char>(v & 0xFF));
          } else {
            out_.push_back('\\');
            out_.push_back(e);
          }
          break;
      }
    }
    return false;  // left open
  }

  std::string_view w_;
  std::size_t i_ = 0;
  std::string out_;
};

}  // namespace

std::optional<std::string> remove_quotes(std::string_view word) { return Unquoter(word).run(); }

bool has_quoting(std::string_view word) noexcept {
  return word.find_first_of("'\"\\") != std::string_view::npos;
}

}  // namespace corvane
