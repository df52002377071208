#include "rule_patterns.h"

#include <algorithm>

namespace corvane::patterns {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters a quote or a backslash turns into themselves.
bool is_glob_special(char c) { return c == '*' || c == '?' || c == '[' || c == ']' || c == '\\'; }

void put_literal(std::string& word, char c) {
  if (is_glob_special(c)) word.push_back('\\');
  word.push_back(c);
}

// Length of the set `[...]` starting at `glob[i]`, or 0 when it is not closed
// (the "[" is then a literal).
std::size_t class_length(std::string_view glob, std::size_t i) noexcept {
  std::size_t j = i + 1;
  if (j < glob.size() && (glob[j] == '!' || glob[j] == '^')) ++j;
  if (j < glob.size() && glob[j] == ']') ++j;  // a "]" first is a member
  while (j < glob.size() && glob[j] != ']') {
    if (glob[j] == '\\') ++j;
    ++j;
  }
  return j < glob.size() ? j - i + 1 : 0;
}

bool class_contains(std::string_view set, char c) noexcept {
  // `set` is the text between "[" and "]".
  bool negate = false;
  std::size_t j = 0;
  if (j < set.size() && (set[j] == '!' || set[j] == '^')) {
    negate = true;
    ++j;
  }
  bool found = false;
  bool first = true;
  while (j < set.size()) {
    char lo = set[j];
    if (lo == '\\' && j + 1 < set.size()) lo = set[++j];
    else if (lo == ']' && !first) break;
    ++j;
    first = false;
    char hi = lo;
    if (j + 1 < set.size() && set[j] == '-') {
      hi = set[j + 1];
      if (hi == '\\' && j + 2 < set.size()) {
        hi = set[j + 2];
        ++j;
      }
      j += 2;
    }
    const auto u = static_cast<unsigned char>(c);
    if (static_cast<unsigned char>(lo) <= u && u <= static_cast<unsigned char>(hi)) found = true;
  }
  return found != negate;
}

// Matches one non-star element of `glob` at `gi` against `c`; returns the
// element's length, or 0 when it does not match.
std::size_t match_one(std::string_view glob, std::size_t gi, char c, bool stop_at_slash) noexcept {
  const char g = glob[gi];
  if (g == '?') return (stop_at_slash && c == '/') ? 0 : 1;
  if (g == '[') {
    if (const std::size_t len = class_length(glob, gi)) {
      if (stop_at_slash && c == '/') return 0;
      return class_contains(glob.substr(gi + 1, len - 2), c) ? len : 0;
    }
    return c == '[' ? 1 : 0;
  }
  if (g == '\\' && gi + 1 < glob.size()) return glob[gi + 1] == c ? 2 : 0;
  return g == c ? 1 : 0;
}

// Component lists of a path, empty components dropped.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t slash = path.find('/', i);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > i) out.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return out;
}

// Prefix match of `pattern` items against `subject` items, where an item
// that `is_any` matches any number of subject items and the others are
// matched one to one by `one`. `anchored` false lets the match start at any
// subject item. One pass per pattern item over a reachability row, so the
// cost is bounded by pattern length times subject length whatever the stars.
template <typename P, typename S, typename IsAny, typename One>
bool prefix_match(std::span<const P> pattern, std::span<const S> subject, bool anchored, IsAny is_any,
                  One one) {
  if (pattern.empty()) return false;
  std::vector<char> reach(subject.size() + 1, 0);
  if (anchored) reach[0] = 1;
  else std::fill(reach.begin(), reach.end(), 1);
  std::vector<char> next(reach.size());
  for (const P& p : pattern) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    if (is_any(p)) {
      bool on = false;
      for (std::size_t j = 0; j < reach.size(); ++j) {
        on = on || reach[j];
        next[j] = on;
        any = any || on;
      }
    } else {
      for (std::size_t j = 0; j < subject.size(); ++j) {
        if (reach[j] && one(p, subject[j])) {
          next[j + 1] = 1;
          any = true;
        }
      }
    }
    if (!any) return false;
    reach.swap(next);
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> split_words(std::string_view text, std::string* error) {
  std::vector<std::string> words;
  words.reserve(4);  // most patterns are one to four words: one allocation
  std::string word;
  bool in_word = false;
  auto fail = [&](const char* why) -> std::optional<std::vector<std::string>> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (is_blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (i + 1 == text.size()) return fail("a backslash ends the pattern");
      put_literal(word, text[++i]);
    } else if (c == '\'') {
      const std::size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) return fail("a single quote is not closed");
      for (char q : text.substr(i + 1, end - i - 1)) put_literal(word, q);
      i = end;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        char q = text[j];
        // Inside double quotes a backslash only escapes these.
        if (q == '\\' && j + 1 < text.size() &&
            (text[j + 1] == '"' || text[j + 1] == '\\' || text[j + 1] == '$' || text[j + 1] == '`'))
          q = text[++j];
        put_literal(word, q);
      }
      if (j == text.size()) return fail("a double quote is not closed");
      i = j;
    } else {
      word.push_back(c);
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

bool glob_match(std::string_view glob, std::string_view text, bool stop_at_slash) noexcept {
  // Greedy with one backtrack point, the last star: linear in practice and
  // at worst glob length times text length.
  std::size_t gi = 0, ti = 0;
  std::size_t star = std::string_view::npos, star_text = 0;
  while (ti < text.size()) {
    if (gi < glob.size() && glob[gi] == '*') {
      while (gi < glob.size() && glob[gi] == '*') ++gi;
      star = gi;
      star_text = ti;
      continue;
    }
    if (gi < glob.size()) {
      if (const std::size_t len = match_one(glob, gi, text[ti], stop_at_slash)) {
        gi += len;
        ++ti;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    if (stop_at_slash && text[star_text] == '/') return false;
    gi = star;
    ti = ++star_text;
  }
  while (gi < glob.size() && glob[gi] == '*') ++gi;
  return gi == glob.size();
}

bool command_matches(std::span<const std::string> pattern, std::span<const std::string_view> words) noexcept {
  return prefix_match<std::string, std::string_view>(
      pattern, words, true, [](const std::string& p) { return p == "**"; },
      [](const std::string& p, std::string_view w) { return glob_match(p, w); });
}

bool command_matches(std::span<const std::string_view> pattern, std::span<const std::string_view> words) noexcept {
  return prefix_match<std::string_view, std::string_view>(
      pattern, words, true, [](std::string_view p) { return p == "**"; },
      [](std::string_view p, std::string_view w) { return glob_match(p, w); });
}

bool path_matches(std::string_view pattern, std::string_view path,
                  std::optional<std::string_view> home) noexcept {
  std::string expanded;
  if (pattern.starts_with('~')) {
    if (pattern.size() > 1 && pattern[1] != '/') return false;  // ~user is not known here
    if (!home || home->empty()) return false;
    expanded.assign(*home);
    expanded.append("/");
    expanded.append(pattern.substr(1));
    pattern = expanded;
  }
  const bool anchored = pattern.starts_with('/');
  if (anchored && !path.starts_with('/')) return false;
  const std::vector<std::string_view> want = components(pattern);
  const std::vector<std::string_view> have = components(path);
  return prefix_match<std::string_view, std::string_view>(
      want, have, anchored, [](std::string_view p) { return p == "**"; },
      [](std::string_view p, std::string_view c) { return glob_match(p, c, true); });
}

std::string normalize(std::string_view path) {
  const bool absolute = path.starts_with('/');
  std::vector<std::string_view> kept;
  for (std::string_view c : components(path)) {
    if (c == ".") continue;
    if (c == "..") {
      if (!kept.empty() && kept.back() != "..") kept.pop_back();
      else if (!absolute) kept.push_back(c);
      continue;
    }
    kept.push_back(c);
  }
  if (!absolute && kept.empty()) return std::string(1, '.');
  std::string out;
  if (absolute) out.push_back('/');
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i != 0) out.push_back('/');
    out.append(kept[i]);
  }
  return out;
}

}  // namespace corvane::patterns
