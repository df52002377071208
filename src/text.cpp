#include "text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <cstring>

namespace corvane::text {

Utf8Char decode_utf8(std::string_view s, std::size_t pos) noexcept {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else return {b0, 1, false};
  if (pos + len > s.size()) return {b0, 1, false};
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return {b0, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {b0, 1, false};
  return {cp, len, true};
}

namespace {

// Whether the eight bytes at `i` (there must be that many) are all ASCII: a
// word at a time, as most text is.
bool ascii_word_at(std::string_view s, std::size_t i) noexcept {
  std::uint64_t word;
  std::memcpy(&word, s.data() + i, sizeof word);
  return (word & 0x8080808080808080) == 0;
}

}  // namespace

bool is_ascii(std::string_view s) noexcept {
  std::size_t i = 0;
  while (s.size() - i >= 8 && ascii_word_at(s, i)) i += 8;
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  return true;
}

bool is_valid_utf8(std::string_view s) noexcept {
  for (std::size_t i = 0; i < s.size();) {
    if (s.size() - i >= 8 && ascii_word_at(s, i)) { i += 8; continue; }
    if (static_cast<unsigned char>(s[i]) < 0x80) { ++i; continue; }
    Utf8Char c = decode_utf8(s, i);
    if (!c.valid) return false;
    i += c.len;
  }
  return true;
}

bool is_white_space(char32_t cp) noexcept {
  if (cp < 0x80) return cp == ' ' || (cp >= '\t' && cp <= '\r');
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE) != 0;
}

bool is_alphabetic(char32_t cp) noexcept {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return u_isUAlphabetic(static_cast<UChar32>(cp)) != 0;
}

namespace {

void append_ascii_lower(std::string& out, std::string_view s) {
  for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lower-cases a run of valid UTF-8 through ICU's UTF-16 API with the root
// locale (no Turkish or Lithuanian tailoring). Should ICU fail, the run is
// appended with only its ASCII letters lowered.
void append_icu_lower(std::string& out, std::string_view run) {
  if (is_ascii(run)) return append_ascii_lower(out, run);
  const auto n = static_cast<int32_t>(run.size());
  UErrorCode err = U_ZERO_ERROR;
  int32_t wide_len = 0;
  u_strFromUTF8(nullptr, 0, &wide_len, run.data(), n, &err);
  std::u16string wide(static_cast<std::size_t>(wide_len), u'\0');
  err = U_ZERO_ERROR;
  u_strFromUTF8(wide.data(), wide_len, nullptr, run.data(), n, &err);
  if (U_FAILURE(err)) return append_ascii_lower(out, run);

  // Full lower-casing can grow the text (U+0130 becomes two code units), so
  // retry once with the size ICU asks for.
  std::u16string lower(wide.size() + 8, u'\0');
  err = U_ZERO_ERROR;
  int32_t lower_len = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), wide.data(),
                                   wide_len, "", &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    lower.assign(static_cast<std::size_t>(lower_len), u'\0');
    err = U_ZERO_ERROR;
    lower_len = u_strToLower(lower.data(), lower_len, wide.data(), wide_len, "", &err);
  }
  if (U_FAILURE(err)) return append_ascii_lower(out, run);

  int32_t utf8_len = 0;
  err = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &utf8_len, lower.data(), lower_len, &err);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(utf8_len));
  err = U_ZERO_ERROR;
  u_strToUTF8(out.data() + at, utf8_len, nullptr, lower.data(), lower_len, &err);
  if (U_FAILURE(err)) {
    out.resize(at);
    append_ascii_lower(out, run);
  }
}

}  // namespace

std::string to_lower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  if (is_ascii(s)) {
    append_ascii_lower(out, s);
    return out;
  }
  // ICU's sizes are 32-bit; a text too long for them keeps its non-ASCII
  // characters as they are.
  if (s.size() > static_cast<std::size_t>(INT32_MAX / 4)) {
    append_ascii_lower(out, s);
    return out;
  }
  // Valid stretches go to ICU whole, so final sigma sees its neighbours; an
  // invalid byte ends the stretch and is copied unchanged.
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) { ++i; continue; }
    const Utf8Char c = decode_utf8(s, i);
    if (c.valid) { i += c.len; continue; }
    append_icu_lower(out, s.substr(run, i - run));
    out += s[i];
    run = ++i;
  }
  append_icu_lower(out, s.substr(run));
  return out;
}

namespace {

// The byte length of the character at `i` and whether it is White_Space.
struct CharAt {
  std::size_t len;
  bool space;
};
constexpr std::uint64_t kAsciiWhiteSpace = (std::uint64_t{1} << ' ') | (std::uint64_t{1} << '\t') |
                                            (std::uint64_t{1} << '\n') | (std::uint64_t{1} << '\v') |
                                            (std::uint64_t{1} << '\f') | (std::uint64_t{1} << '\r');

CharAt char_at(std::string_view s, std::size_t i) noexcept {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b <= ' ') return {1, ((kAsciiWhiteSpace >> b) & 1) != 0};
  if (b < 0x80) return {1, false};
  const Utf8Char c = decode_utf8(s, i);
  return {c.len, c.valid && is_white_space(c.cp)};
}

}  // namespace

std::vector<std::string_view> split_words(std::string_view s) {
  std::vector<std::string_view> words;
  // Most texts have a handful of words: one allocation instead of several.
  if (!s.empty()) words.reserve(std::min<std::size_t>(s.size() / 2 + 1, 16));
  std::size_t i = 0;
  while (true) {
    CharAt c{};
    while (i < s.size() && (c = char_at(s, i)).space) i += c.len;
    if (i == s.size()) break;
    const std::size_t start = i;
    while (i < s.size() && !(c = char_at(s, i)).space) i += c.len;
    words.push_back(s.substr(start, i - start));
  }
  return words;
}

}  // namespace corvane::text
