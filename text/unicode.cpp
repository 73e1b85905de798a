#include "text/unicode.h"

#include <array>

#include "text/unicode_tables.h"  // generated at build time

namespace brivane::text::unicode {

namespace {

using tables::CodeRange;

constexpr std::uint8_t lead_byte(char32_t cp) {
  if (cp < 0x80) return static_cast<std::uint8_t>(cp);
  if (cp < 0x800) return static_cast<std::uint8_t>(0xC0 | (cp >> 6));
  if (cp < 0x10000) return static_cast<std::uint8_t>(0xE0 | (cp >> 12));
  return static_cast<std::uint8_t>(0xF0 | (cp >> 18));
}

template <std::size_t N>
constexpr void mark(std::array<std::uint8_t, 256> &out, const CodeRange (&table)[N],
                    std::uint8_t ascii_bit, std::uint8_t lead_bit) {
  for (const CodeRange &r : table) {
    for (char32_t cp = r.lo; cp <= r.hi; ++cp) {
      std::uint8_t b = lead_byte(cp);
      out[b] |= cp < 0x80 ? ascii_bit : lead_bit;
    }
  }
}

constexpr std::array<std::uint8_t, 256> make_byte_class() {
  std::array<std::uint8_t, 256> out{};
  mark(out, tables::kSpace, detail::kAsciiSpace, detail::kLeadSpace);
  mark(out, tables::kDecimal, detail::kAsciiDigit, detail::kLeadDigit);
  return out;
}

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t cp) {
  if (cp > table[N - 1].hi) return false;  // most of CJK, for white space
  std::size_t lo = 0, hi = N;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (table[mid].hi < cp) {
      lo = mid + 1;
    } else if (table[mid].lo > cp) {
      hi = mid;
    } else {
      return true;
    }
  }
  return false;
}

inline bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

namespace detail {
// Constant-initialised (make_byte_class is constexpr), so usable from any
// static initialiser.
const std::array<std::uint8_t, 256> kByteClass = make_byte_class();

std::size_t space_at_slow(std::string_view s, std::size_t pos) {
  Decoded d = decode(s, pos);
  return is_space(d.cp) ? d.len : 0;
}

std::size_t digit_at_slow(std::string_view s, std::size_t pos) {
  Decoded d = decode(s, pos);
  return is_decimal(d.cp) ? d.len : 0;
}
}  // namespace detail

Decoded decode(std::string_view s, std::size_t pos) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data()) + pos;
  std::size_t avail = s.size() - pos;
  unsigned char b0 = p[0];
  if (b0 < 0x80) return {b0, 1};
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (avail >= 2 && is_cont(p[1])) return {char32_t((b0 & 0x1F) << 6 | (p[1] & 0x3F)), 2};
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    // Surrogates (ED A0..BF) are accepted: the host encodes them this way.
    if (avail >= 3 && is_cont(p[1]) && is_cont(p[2]) && (b0 != 0xE0 || p[1] >= 0xA0)) {
      return {char32_t((b0 & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F)), 3};
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (avail >= 4 && is_cont(p[1]) && is_cont(p[2]) && is_cont(p[3]) &&
        (b0 != 0xF0 || p[1] >= 0x90) && (b0 != 0xF4 || p[1] <= 0x8F)) {
      return {
          char32_t((b0 & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F)),
          4};
    }
  }
  return {kInvalid, 1};
}

std::size_t char_start_before(std::string_view s, std::size_t end) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  if (p[end - 1] < 0x80) return end - 1;
  // Walk back over at most three continuation bytes to a lead byte whose
  // sequence ends exactly here; anything else is a stray byte.
  for (std::size_t k = 2; k <= 4 && k <= end; ++k) {
    unsigned char b = p[end - k];
    if (!is_cont(b)) {
      if (decode(s, end - k).len == k) return end - k;
      break;
    }
  }
  return end - 1;
}

bool is_space(char32_t cp) { return in_table(tables::kSpace, cp); }
bool is_decimal(char32_t cp) { return in_table(tables::kDecimal, cp); }

std::string_view lstrip(std::string_view s) {
  std::size_t pos = skip_spaces(s, 0);
  return s.substr(pos);
}

std::string_view rstrip(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    unsigned char last = static_cast<unsigned char>(s[end - 1]);
    if (last < 0x80) {
      if (!(detail::kByteClass[last] & detail::kAsciiSpace)) break;
      --end;
      continue;
    }
    std::size_t start = char_start_before(s, end);
    if (space_at(s, start) != end - start) break;
    end = start;
  }
  return s.substr(0, end);
}

}  // namespace brivane::text::unicode
