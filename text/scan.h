// Block splitting and reading shared by the SRT reader and the reply
// extraction, written once for both kinds of text they meet: UTF-8 bytes
// (the public string API) and code-point arrays (the host's str layouts).
// Internal to text/. Every function is linear in the text it reads.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "text/find.h"
#include "text/spans.h"
#include "text/unicode.h"

namespace brivane::text::scan {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// UTF-8 bytes: characters have 1 to 4 units.
struct Utf8 {
  using Unit = char;
  static std::size_t space_at(const Unit *s, std::size_t n, std::size_t i) {
    return unicode::space_at(std::string_view(s, n), i);
  }
  static std::size_t digit_at(const Unit *s, std::size_t n, std::size_t i) {
    return unicode::digit_at(std::string_view(s, n), i);
  }
  static std::size_t char_before(const Unit *s, std::size_t n, std::size_t end) {
    return unicode::char_start_before(std::string_view(s, n), end);
  }
  static std::size_t find(const Unit *s, std::size_t from, std::size_t to, std::string_view lit) {
    std::size_t at = match::find(std::string_view(s, to), lit, from);
    return at == match::npos ? npos : at;
  }
  static std::size_t bom_at_start(const Unit *s, std::size_t n) {
    return std::string_view(s, n).substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0;
  }
};

// Code points, one unit each.
template <class T>
struct Wide {
  using Unit = T;
  static std::size_t space_at(const Unit *s, std::size_t n, std::size_t i) {
    return i < n && unicode::space_code(s[i]) ? 1 : 0;
  }
  static std::size_t digit_at(const Unit *s, std::size_t n, std::size_t i) {
    return i < n && unicode::digit_code(s[i]) ? 1 : 0;
  }
  static std::size_t char_before(const Unit *, std::size_t, std::size_t end) { return end - 1; }
  static std::size_t bom_at_start(const Unit *s, std::size_t n) {
    return n > 0 && static_cast<char32_t>(s[0]) == 0xFEFF ? 1 : 0;
  }
  // An ASCII literal.
  static std::size_t find(const Unit *s, std::size_t from, std::size_t to, std::string_view lit) {
    const Unit first = static_cast<unsigned char>(lit[0]);
    for (std::size_t i = from; i + lit.size() <= to; ++i) {
      if (s[i] != first) continue;
      std::size_t k = 1;
      while (k < lit.size() && s[i + k] == static_cast<Unit>(static_cast<unsigned char>(lit[k])))
        ++k;
      if (k == lit.size()) return i;
    }
    return npos;
  }
};

template <class P>
class Text {
 public:
  using Unit = typename P::Unit;
  Text(const Unit *s, std::size_t n) : s_(s), n_(n) {}

  std::size_t size() const { return n_; }
  // Units of a byte-order mark at the very start (0 when there is none).
  std::size_t bom_at_start() const { return P::bom_at_start(s_, n_); }
  bool unit_is(std::size_t i, char c) const {
    return i < n_ && s_[i] == static_cast<Unit>(static_cast<unsigned char>(c));
  }
  std::size_t space_at(std::size_t i) const { return P::space_at(s_, n_, i); }
  std::size_t skip_spaces(std::size_t i) const {
    while (std::size_t k = P::space_at(s_, n_, i)) i += k;
    return i;
  }
  std::size_t skip_digits(std::size_t i) const {
    while (std::size_t k = P::digit_at(s_, n_, i)) i += k;
    return i;
  }
  // `str.strip()` of a span.
  Span strip(Span span) const {
    std::size_t b = span.begin, e = span.end;
    while (b < e) {
      std::size_t k = P::space_at(s_, e, b);
      if (!k) break;
      b += k;
    }
    while (e > b) {
      std::size_t c = P::char_before(s_, e, e);
      if (c < b || P::space_at(s_, e, c) != e - c) break;
      e = c;
    }
    return {b, e};
  }
  std::size_t find(std::size_t from, std::size_t to, std::string_view ascii) const {
    return P::find(s_, from, to, ascii);
  }
  std::size_t find_lf(std::size_t from, std::size_t to) const { return find(from, to, "\n"); }
  // Last LF in [from, to), or npos.
  std::size_t last_lf(std::size_t from, std::size_t to) const {
    while (to > from) {
      if (unit_is(--to, '\n')) return to;
    }
    return npos;
  }

 private:
  const Unit *s_;
  std::size_t n_;
};

// re.split(r"\n\s*\n", text[span]): `each(piece)` in order.
template <class P, class F>
void split_blocks(const Text<P> &t, Span span, F &&each) {
  std::size_t start = span.begin, pos = span.begin;
  while (true) {
    std::size_t lf = t.find_lf(pos, span.end);
    if (lf == npos) break;
    // "\s*" is greedy and gives back characters until an LF follows, so the
    // match ends at the last LF of the white-space run after this LF.
    std::size_t run_end = std::min(t.skip_spaces(lf + 1), span.end);
    std::size_t second = t.last_lf(lf + 1, run_end);
    if (second == npos) {
      pos = run_end > lf + 1 ? run_end : lf + 1;
      continue;
    }
    each(Span{start, lf});
    start = pos = second + 1;
  }
  each(Span{start, span.end});
}

// "\d+:\d+:\d+,\d+" at i; the end, or npos.
template <class P>
std::size_t stamp(const Text<P> &t, std::size_t i, std::size_t end) {
  static constexpr char kSeps[] = {':', ':', ','};
  for (int field = 0; field < 4; ++field) {
    std::size_t after = std::min(t.skip_digits(i), end);
    if (after == i) return npos;
    i = after;
    if (field < 3) {
      if (i >= end || !t.unit_is(i, kSeps[field])) return npos;
      ++i;
    }
  }
  return i;
}

// Two stamps read by `stamp_at` (the end, or npos) with "\s*-->\s*" between
// them, the first at `first`.
template <class P, class Stamp>
std::optional<std::pair<Span, Span>> stamps_around_arrow(const Text<P> &t, std::size_t first,
                                                         std::size_t end, Stamp &&stamp_at) {
  std::size_t first_end = stamp_at(first);
  if (first_end == npos) return std::nullopt;
  std::size_t arrow = std::min(t.skip_spaces(first_end), end);
  if (arrow + 3 > end || !t.unit_is(arrow, '-') || !t.unit_is(arrow + 1, '-') ||
      !t.unit_is(arrow + 2, '>')) {
    return std::nullopt;
  }
  std::size_t second = std::min(t.skip_spaces(arrow + 3), end);
  std::size_t second_end = stamp_at(second);
  if (second_end == npos) return std::nullopt;
  return std::make_pair(Span{first, first_end}, Span{second, second_end});
}

// re.match(r"(\d+:\d+:\d+,\d+)\s*-->\s*(\d+:\d+:\d+,\d+)", text[line]).
template <class P>
std::optional<std::pair<Span, Span>> match_time_line(const Text<P> &t, Span line) {
  return stamps_around_arrow(t, line.begin, line.end,
                             [&](std::size_t i) { return stamp(t, i, line.end); });
}

// The SRT reader's blocks: `on_block(SubtitleSpans)` for each block read,
// `on_skip(first line)` for each non-blank candidate it skips. One leading
// byte-order mark (as Windows editors write) is not part of the text.
template <class P, class Block, class Skip>
void srt_blocks(const Text<P> &t, Block &&on_block, Skip &&on_skip) {
  split_blocks(t, t.strip({t.bom_at_start(), t.size()}), [&](Span candidate) {
    Span block = t.strip(candidate);
    std::size_t lf1 = t.find_lf(block.begin, block.end);
    if (lf1 == npos) {
      if (block.begin < block.end) on_skip(block);
      return;
    }
    Span index{block.begin, lf1};
    std::size_t lf2 = t.find_lf(lf1 + 1, block.end);
    if (lf2 == npos) {
      on_skip(index);
      return;
    }
    auto stamps = match_time_line(t, Span{lf1 + 1, lf2});
    if (!stamps) {
      on_skip(index);
      return;
    }
    on_block(SubtitleSpans{index, stamps->first, stamps->second, Span{lf2 + 1, block.end}});
  });
}

// The reply reader's blocks: `on_block(SubtitleSpans)` for each block read,
// `on_invalid(time line)` for each time line that does not split into
// exactly two parts at " --> ".
template <class P, class Block, class Invalid>
void reply_blocks(const Text<P> &t, Block &&on_block, Invalid &&on_invalid) {
  static constexpr std::string_view kArrow = " --> ";
  split_blocks(t, t.strip({0, t.size()}), [&](Span candidate) {
    Span block = t.strip(candidate);
    std::size_t lf1 = t.find_lf(block.begin, block.end);
    if (lf1 == npos) return;
    std::size_t lf2 = t.find_lf(lf1 + 1, block.end);
    if (lf2 == npos) return;
    Span time_line{lf1 + 1, lf2};
    // str.split(" --> ") gives two parts iff there is exactly one
    // occurrence, counting non-overlapping occurrences from the left.
    std::size_t arrow = t.find(time_line.begin, time_line.end, kArrow);
    if (arrow == npos || t.find(arrow + kArrow.size(), time_line.end, kArrow) != npos) {
      on_invalid(time_line);
      return;
    }
    on_block(SubtitleSpans{t.strip({block.begin, lf1}), t.strip({time_line.begin, arrow}),
                           t.strip({arrow + kArrow.size(), time_line.end}),
                           Span{lf2 + 1, block.end}});
  });
}

// "\d+:\d+:\d+(?:[,.]\d+)?" at i, the forms players accept besides the
// strict one (dot before the milliseconds, short or missing milliseconds);
// the end, or npos.
template <class P>
std::size_t loose_stamp(const Text<P> &t, std::size_t i, std::size_t end) {
  for (int field = 0; field < 3; ++field) {
    std::size_t after = std::min(t.skip_digits(i), end);
    if (after == i) return npos;
    i = after;
    if (field < 2) {
      if (i >= end || !t.unit_is(i, ':')) return npos;
      ++i;
    }
  }
  if (i < end && (t.unit_is(i, ',') || t.unit_is(i, '.'))) {
    std::size_t after = std::min(t.skip_digits(i + 1), end);
    if (after > i + 1) i = after;
  }
  return i;
}

// A timing line in any of those forms, after optional leading white space;
// whatever follows the second stamp (player positions) is allowed.
template <class P>
std::optional<std::pair<Span, Span>> match_loose_time_line(const Text<P> &t, Span line) {
  return stamps_around_arrow(t, std::min(t.skip_spaces(line.begin), line.end), line.end,
                             [&](std::size_t i) { return loose_stamp(t, i, line.end); });
}

// A line of decimal digits only (surrounding white space aside).
template <class P>
bool digits_only(const Text<P> &t, Span line) {
  Span s = t.strip(line);
  return s.begin < s.end && std::min(t.skip_digits(s.begin), s.end) == s.end;
}

// The lossless reading: every non-blank part of the file, in order, either a
// cue or a stretch of lines kept as written. A timing line starts a cue
// wherever it stands, so cues with missing blank lines between them stay
// apart; the line before it is the cue's index line when it opens its block
// or holds only digits. Lines of a block before its first cue are kept as
// written. `on_cue(CueSpans)`, `on_verbatim(Span)`.
template <class P, class Cue, class Verbatim>
void srt_parts(const Text<P> &t, Cue &&on_cue, Verbatim &&on_verbatim) {
  std::vector<Span> lines;
  std::vector<std::size_t> timing_at;  // line numbers within the block
  std::vector<std::pair<Span, Span>> stamps;
  split_blocks(t, t.strip({t.bom_at_start(), t.size()}), [&](Span candidate) {
    Span block = t.strip(candidate);
    if (block.begin == block.end) return;
    lines.clear();
    timing_at.clear();
    stamps.clear();
    for (std::size_t at = block.begin;;) {
      std::size_t lf = t.find_lf(at, block.end);
      Span line{at, lf == npos ? block.end : lf};
      if (auto found = match_loose_time_line(t, line)) {
        timing_at.push_back(lines.size());
        stamps.push_back(*found);
      }
      lines.push_back(line);
      if (lf == npos) break;
      at = lf + 1;
    }
    if (timing_at.empty()) {
      on_verbatim(block);
      return;
    }
    // First line of each cue: its index line, or its timing line.
    std::vector<std::size_t> cue_first(timing_at.size());
    for (std::size_t c = 0; c < timing_at.size(); ++c) {
      std::size_t k = timing_at[c];
      std::size_t free_from = c == 0 ? 0 : timing_at[c - 1] + 1;
      bool index_before = k > free_from && ((c == 0 && k == 1) || digits_only(t, lines[k - 1]));
      cue_first[c] = index_before ? k - 1 : k;
    }
    if (cue_first[0] > 0) on_verbatim(Span{block.begin, lines[cue_first[0] - 1].end});
    for (std::size_t c = 0; c < timing_at.size(); ++c) {
      std::size_t k = timing_at[c];
      std::size_t text_end = c + 1 < timing_at.size() ? cue_first[c + 1] : lines.size();
      CueSpans cue;
      cue.has_index = cue_first[c] < k;
      cue.index = cue.has_index ? lines[k - 1] : Span{lines[k].begin, lines[k].begin};
      cue.time_line = lines[k];
      cue.start_time = stamps[c].first;
      cue.end_time = stamps[c].second;
      cue.text = k + 1 < text_end ? Span{lines[k + 1].begin, lines[text_end - 1].end}
                                  : Span{lines[k].end, lines[k].end};
      on_cue(cue);
    }
  });
}

// Runs `fn(Text<...>)` on code points of any width.
template <class F>
void with_code_points(CodePoints cp, F &&fn) {
  switch (cp.width) {
    case 1:
      fn(Text<Wide<std::uint8_t>>(static_cast<const std::uint8_t *>(cp.data), cp.size));
      break;
    case 2:
      fn(Text<Wide<std::uint16_t>>(static_cast<const std::uint16_t *>(cp.data), cp.size));
      break;
    default:
      fn(Text<Wide<std::uint32_t>>(static_cast<const std::uint32_t *>(cp.data), cp.size));
      break;
  }
}

}  // namespace brivane::text::scan
