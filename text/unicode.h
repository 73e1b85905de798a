// UTF-8 decoding and the host's character classes: white space as
// `str.isspace()` / `re` "\s" on str, digits as `re` "\d" on str (Nd).
// Text arrives as the host's UTF-8 with `surrogatepass`, so the 3-byte forms
// of lone surrogates are ordinary characters. Malformed bytes (only ever seen
// from fuzzers) decode one byte at a time to kInvalid, which is in no class.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brivane::text::unicode {

inline constexpr char32_t kInvalid = 0x110000;

struct Decoded {
  char32_t cp;
  std::size_t len;  // bytes, >= 1
};

// The character starting at s[pos]; pos < s.size().
Decoded decode(std::string_view s, std::size_t pos);
// Start of the character that ends right before s[end]; 0 < end <= s.size().
std::size_t char_start_before(std::string_view s, std::size_t end);

bool is_space(char32_t cp);
bool is_decimal(char32_t cp);

namespace detail {
enum : std::uint8_t {
  kAsciiSpace = 1,
  kAsciiDigit = 2,
  kLeadSpace = 4,  // lead byte of some non-ASCII white-space character
  kLeadDigit = 8,  // lead byte of some non-ASCII digit
};
extern const std::array<std::uint8_t, 256> kByteClass;
std::size_t space_at_slow(std::string_view s, std::size_t pos);
std::size_t digit_at_slow(std::string_view s, std::size_t pos);
}  // namespace detail

// Byte length of the white-space character at s[pos], 0 when there is none
// (or pos is at the end).
inline std::size_t space_at(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return 0;
  std::uint8_t c = detail::kByteClass[static_cast<unsigned char>(s[pos])];
  if (c & detail::kAsciiSpace) return 1;
  if (c & detail::kLeadSpace) return detail::space_at_slow(s, pos);
  return 0;
}

// Byte length of the decimal digit at s[pos], 0 when there is none.
inline std::size_t digit_at(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return 0;
  std::uint8_t c = detail::kByteClass[static_cast<unsigned char>(s[pos])];
  if (c & detail::kAsciiDigit) return 1;
  if (c & detail::kLeadDigit) return detail::digit_at_slow(s, pos);
  return 0;
}

// The same tests on a code point, with the ASCII range answered by table.
inline bool space_code(char32_t cp) {
  return cp < 0x80 ? (detail::kByteClass[cp] & detail::kAsciiSpace) != 0 : is_space(cp);
}
inline bool digit_code(char32_t cp) {
  return cp < 0x80 ? (detail::kByteClass[cp] & detail::kAsciiDigit) != 0 : is_decimal(cp);
}

// End of the white-space run starting at pos ("\s*", greedy).
inline std::size_t skip_spaces(std::string_view s, std::size_t pos) {
  while (std::size_t n = space_at(s, pos)) pos += n;
  return pos;
}

// End of the digit run starting at pos ("\d*", greedy).
inline std::size_t skip_digits(std::string_view s, std::size_t pos) {
  while (std::size_t n = digit_at(s, pos)) pos += n;
  return pos;
}

// `str.lstrip()`, `str.rstrip()`, `str.strip()` without arguments.
std::string_view lstrip(std::string_view s);
std::string_view rstrip(std::string_view s);
inline std::string_view strip(std::string_view s) { return rstrip(lstrip(s)); }

}  // namespace brivane::text::unicode
