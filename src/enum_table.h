// Tables indexed by an enumeration: the size comes from the enumeration
// itself, and every value must have its row, in order, or the table does not
// compile. Adding a value then cannot turn into an empty spelling or a read
// past the end of a table.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace corvane {
namespace enum_detail {

// Whether V names an enumerator. Hazard: read from the compiler's spelling
// of the function's name, which shows a named value by its name
// ("[with auto V = corvane::Intent::Read]", clang "[V = corvane::Intent::Read]")
// and any other value as a cast or a number ("(corvane::Intent)12").
// Checked below on an enumeration of known size, for gcc and clang alike.
template <auto V>
constexpr bool names_enumerator() noexcept {
  constexpr std::string_view f = __PRETTY_FUNCTION__;
  constexpr std::size_t at = f.rfind("= ");
  if constexpr (at == std::string_view::npos) return false;
  const char c = f[at + 2];
  return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

template <typename E, std::size_t N = 0>
constexpr std::size_t count() noexcept {
  if constexpr (N < 256 && names_enumerator<static_cast<E>(N)>()) return count<E, N + 1>();
  else return N;
}

enum class Probe : unsigned char { A, B, C };
static_assert(count<Probe>() == 3, "enumerator names are not read as expected on this compiler");

}  // namespace enum_detail

// The number of values of an enumeration numbered from 0 without gaps.
template <typename E>
  requires std::is_enum_v<E>
inline constexpr std::size_t kEnumSize = enum_detail::count<E>();

// The ordinal of a value, for indexing a table made by by_enum.
template <typename E>
  requires std::is_enum_v<E>
constexpr std::size_t ordinal(E v) noexcept {
  return static_cast<std::size_t>(v);
}

// One row of a table indexed by E.
template <typename E, typename T>
struct EnumRow {
  E key;
  T value;
};

// The values of `rows` as an array indexed by E. Compiles only when there is
// exactly one row per value of E, in the enumeration's order.
template <typename E, typename T, std::size_t N>
consteval std::array<T, N> by_enum(const EnumRow<E, T> (&rows)[N]) {
  static_assert(N == kEnumSize<E>, "one row per value of the enumeration");
  std::array<T, N> out{};
  for (std::size_t i = 0; i < N; ++i) {
    if (ordinal(rows[i].key) != i) throw "row out of the enumeration's order";
    out[i] = rows[i].value;
  }
  return out;
}

}  // namespace corvane
