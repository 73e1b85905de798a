#include "text/find.h"

#include <algorithm>
#include <cstring>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brivane::text::match {

std::size_t find(std::string_view hay, std::string_view needle, std::size_t from) {
  if (from > hay.size()) return npos;
  if (needle.empty()) return from;
  std::size_t left = hay.size() - from;
  if (needle.size() > left) return npos;
  const char *base = hay.data() + from;
  auto at = [&](const char *hit) { return static_cast<std::size_t>(hit - hay.data()); };
  if (needle.size() == 1) {
    const void *hit = std::memchr(base, needle[0], left);
    return hit ? at(static_cast<const char *>(hit)) : npos;
  }
#if defined(__SSE2__)
  // Compare the needle's first and last bytes at 16 positions at once and
  // check the rest only where both agree (few places in real text). Each
  // check costs up to the needle's length, so long needles (library terms
  // can be any length) go to the library's linear-time search instead.
  if (needle.size() <= 16) {
    const std::size_t k = needle.size();
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[k - 1]);
    const char *p = base;
    const char *stop = base + left - k + 1;  // one past the last start
    while (stop - p >= 16) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k - 1));
      unsigned mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
      while (mask) {
        unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
        if (k <= 2 || std::memcmp(p + bit + 1, needle.data() + 1, k - 2) == 0) return at(p + bit);
        mask &= mask - 1;
      }
      p += 16;
    }
    for (; p < stop; ++p) {
      if (*p == needle[0] && std::memcmp(p + 1, needle.data() + 1, k - 1) == 0) return at(p);
    }
    return npos;
  }
#endif
#if defined(__GLIBC__) || defined(__APPLE__) || defined(__FreeBSD__)
  const void *hit = ::memmem(base, left, needle.data(), needle.size());
  return hit ? at(static_cast<const char *>(hit)) : npos;
#else
  auto it = std::search(base, base + left,
                        std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
  return it == base + left ? npos : at(it);
#endif
}

}  // namespace brivane::text::match
