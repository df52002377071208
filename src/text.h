// Text helpers shared by the parser, the rule tables and the detectors.
//
// The engine's text tests are byte-wise and case-sensitive. Three places need
// Unicode properties (White_Space, Alphabetic, full lower-casing); they come
// from ICU, behind an ASCII fast path. Text that is not valid UTF-8 never
// makes these helpers misbehave: an invalid byte is one character that has no
// property and lower-cases to itself.
#pragma once

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

// Full Unicode lower-casing (context-free mappings plus final sigma).
std::string to_lower(std::string_view s);

// Splits at runs of White_Space characters; empty words are dropped. The
// words are views into `s`.
std::vector<std::string_view> split_words(std::string_view s);

}  // namespace corvane::text
