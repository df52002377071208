// Text helpers shared by the parser, the rule tables and the detectors.
//
// The engine's text tests are byte-wise and case-sensitive. Three places need
// Unicode properties (White_Space, Alphabetic, full lower-casing); they come
// from ICU, behind an ASCII fast path. Text that is not valid UTF-8 never
// makes these helpers misbehave: an invalid byte is one character that has no
// property and lower-cases to itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::text {

inline bool contains(std::string_view hay, std::string_view needle) noexcept {
  return hay.find(needle) != std::string_view::npos;
}
inline bool contains(std::string_view hay, char c) noexcept {
  return hay.find(c) != std::string_view::npos;
}

// A string literal usable as a template argument, so that a rule table can
// spell its needles in the row itself: `contains_any<"$IFS", "${IFS">`.
template <std::size_t N>
struct Literal {
  char chars[N]{};
  consteval Literal(const char (&s)[N]) { std::copy_n(s, N, chars); }
  constexpr std::string_view view() const noexcept { return {chars, N - 1}; }
};

// Text predicates over literal needles; their addresses fit a rule row's
// `bool (*)(std::string_view)`.
template <Literal... Needles>
bool contains_any(std::string_view s) noexcept {
  return (contains(s, Needles.view()) || ...);
}
template <Literal... Needles>
bool contains_all(std::string_view s) noexcept {
  return (contains(s, Needles.view()) && ...);
}
// The text starts with `Word`, or `Word` occurs right after a space: how the
// detectors spot a command word without a parse ("eval ", ". /").
template <Literal Word>
bool starts_or_follows_space(std::string_view s) noexcept {
  constexpr std::string_view word = Word.view();
  if (s.starts_with(word)) return true;
  for (auto at = s.find(word, 1); at != std::string_view::npos; at = s.find(word, at + 1))
    if (s[at - 1] == ' ') return true;
  return false;
}

// The text after the last "/", or the whole text when it has none.
inline std::string_view base_name(std::string_view path) noexcept {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One decoded character: its code point and its length in bytes. An invalid
// or truncated sequence decodes as one byte with `valid` false.
struct Utf8Char {
  char32_t cp;
  std::size_t len;
  bool valid;
};
Utf8Char decode_utf8(std::string_view s, std::size_t pos) noexcept;

bool is_valid_utf8(std::string_view s) noexcept;

bool is_ascii(std::string_view s) noexcept;

// Unicode properties of a code point.
bool is_white_space(char32_t cp) noexcept;  // White_Space
bool is_alphabetic(char32_t cp) noexcept;   // Alphabetic

// Full Unicode lower-casing (context-free mappings plus final sigma). Bytes
// that are not part of valid UTF-8 are copied unchanged.
std::string to_lower(std::string_view s);

// Splits at runs of White_Space characters; empty words are dropped. The
// words are views into `s`.
std::vector<std::string_view> split_words(std::string_view s);

}  // namespace corvane::text
