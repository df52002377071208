// Text helpers shared by the parser, the rule tables and the detectors.
//
// The engine's text tests are byte-wise and case-sensitive. Three places need
// Unicode properties (White_Space, Alphabetic, full lower-casing); they come
// from ICU, behind an ASCII fast path. Text that is not valid UTF-8 never
// makes these helpers misbehave: an invalid byte is one character that has no
// property and lower-cases to itself.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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

// A set of bytes in which the ASCII bytes are told apart and every other
// byte counts as one and the same member. A rule row names the bytes of which
// any text it can match holds at least one; a text's own set is collected in
// one pass, and a row none of whose bytes the text holds is passed over
// without running its test.
namespace detail {
// Table loads instead of shifts and tests in a per-byte loop: a byte from
// `first` to `first` + 63 maps to its own bit, every other byte to none.
constexpr std::array<std::uint64_t, 256> byte_bits_from(unsigned first) noexcept {
  std::array<std::uint64_t, 256> table{};
  for (unsigned b = first; b < first + 64; ++b) table[b] = std::uint64_t{1} << (b - first);
  return table;
}
inline constexpr std::array<std::uint64_t, 256> kByteBitFrom00 = byte_bits_from(0x00);
inline constexpr std::array<std::uint64_t, 256> kByteBitFrom40 = byte_bits_from(0x40);
}  // namespace detail

class ByteSet {
 public:
  constexpr ByteSet() = default;
  // The bytes that occur in `s`.
  constexpr explicit ByteSet(std::string_view s) noexcept {
    std::uint64_t low = 0, high = 0, other = 0;
    for (char c : s) {
      const auto b = static_cast<unsigned char>(c);
      low |= kLowBit[b];
      high |= kHighBit[b];
      other |= b;
    }
    low_ = low;
    high_ = high;
    non_ascii_ = other >> 7;
  }
  // Every byte from `first` to `last`, both included.
  static constexpr ByteSet range(unsigned char first, unsigned char last) noexcept {
    ByteSet set;
    for (unsigned b = first; b <= last; ++b) set.insert(static_cast<unsigned char>(b));
    return set;
  }
  static constexpr ByteSet non_ascii() noexcept { return range(0x80, 0xFF); }
  static constexpr ByteSet all() noexcept { return range(0x00, 0xFF); }

  constexpr void insert(unsigned char b) noexcept {
    low_ |= kLowBit[b];
    high_ |= kHighBit[b];
    non_ascii_ |= b >> 7;
  }
  constexpr bool contains(unsigned char b) const noexcept {
    return ((low_ & kLowBit[b]) | (high_ & kHighBit[b]) | (non_ascii_ & (b >> 7))) != 0;
  }
  constexpr bool empty() const noexcept { return (low_ | high_ | non_ascii_) == 0; }
  constexpr bool intersects(const ByteSet& other) const noexcept {
    return ((low_ & other.low_) | (high_ & other.high_) | (non_ascii_ & other.non_ascii_)) != 0;
  }
  friend constexpr ByteSet operator|(ByteSet a, const ByteSet& b) noexcept {
    a.low_ |= b.low_;
    a.high_ |= b.high_;
    a.non_ascii_ |= b.non_ascii_;
    return a;
  }
  friend constexpr bool operator==(const ByteSet&, const ByteSet&) = default;

 private:
  static constexpr const auto& kLowBit = detail::kByteBitFrom00;
  static constexpr const auto& kHighBit = detail::kByteBitFrom40;

  std::uint64_t low_ = 0;
  std::uint64_t high_ = 0;
  std::uint64_t non_ascii_ = 0;  // 1 when any byte from 0x80 up is a member
};

// Printable ASCII bytes in the order of how often they occur in command lines,
// the most common first (counted over a corpus of real-world lines). Bytes
// not listed (control bytes, 0x80 and up) are rarer than any listed one.
inline constexpr std::string_view kBytesByFrequency =
    " e-ntirdapfsmo/.cl\"'hx|guy0\\*1${}w;bv2()k_+=zE%[:]`53ISR,T4jFNAMD>O7PL96q<^!C&H~U8X@?BGY#WVZJKQ";

// Rank of a byte in kBytesByFrequency: higher is rarer.
constexpr std::size_t rarity(unsigned char b) noexcept {
  const std::size_t at = kBytesByFrequency.find(static_cast<char>(b));
  return at == std::string_view::npos ? kBytesByFrequency.size() : at;
}

// The rarest byte of a non-empty needle: the one that lets a prefilter pass
// over the most texts that cannot hold the needle.
constexpr unsigned char rarest_byte(std::string_view needle) {
  if (needle.empty()) throw "a needle needs a byte";
  auto rarest = static_cast<unsigned char>(needle.front());
  for (char c : needle)
    if (rarity(static_cast<unsigned char>(c)) > rarity(rarest)) rarest = static_cast<unsigned char>(c);
  return rarest;
}

// Trigger bytes of a test that accepts only texts holding one of `needles`:
// the rarest byte of each.
template <Literal... Needles>
consteval ByteSet triggers_of_any() {
  ByteSet set;
  (set.insert(rarest_byte(Needles.view())), ...);
  return set;
}

// Trigger bytes of a test that accepts only texts holding all of `needles`:
// the rarest byte of them all.
template <Literal... Needles>
consteval ByteSet triggers_of_all() {
  unsigned char best = 0;
  bool first = true;
  for (std::string_view needle : {Needles.view()...}) {
    const unsigned char b = rarest_byte(needle);
    if (first || rarity(b) > rarity(best)) best = b;
    first = false;
  }
  ByteSet set;
  set.insert(best);
  return set;
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
