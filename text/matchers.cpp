#include "text/matchers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "text/scan.h"
#include "text/unicode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brivane::text::match {

using unicode::digit_at;
using unicode::skip_digits;
using unicode::skip_spaces;

namespace {

std::size_t find_lf(std::string_view s, std::size_t from) {
  if (from >= s.size()) return npos;
  const void *hit = std::memchr(s.data() + from, '\n', s.size() - from);
  return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - s.data()) : npos;
}

// Last LF in s[from, to), or npos.
std::size_t last_lf(std::string_view s, std::size_t from, std::size_t to) {
  while (to > from) {
    if (s[--to] == '\n') return to;
  }
  return npos;
}

bool starts_with_at(std::string_view s, std::size_t pos, std::string_view lit) {
  return pos <= s.size() && s.size() - pos >= lit.size() &&
         std::memcmp(s.data() + pos, lit.data(), lit.size()) == 0;
}

// Exactly `count` digits ("\d{count}") at pos; returns the end or npos.
std::size_t digits_exact(std::string_view s, std::size_t pos, int count) {
  for (int i = 0; i < count; ++i) {
    std::size_t n = digit_at(s, pos);
    if (!n) return npos;
    pos += n;
  }
  return pos;
}

// "\d{2}:\d{2}:\d{2},\d{3}" at pos; returns the end or npos.
std::size_t stamp_fixed(std::string_view s, std::size_t pos) {
  static constexpr int kWidths[] = {2, 2, 2, 3};
  static constexpr char kSeps[] = {':', ':', ','};
  for (int field = 0; field < 4; ++field) {
    pos = digits_exact(s, pos, kWidths[field]);
    if (pos == npos) return npos;
    if (field < 3) {
      if (pos >= s.size() || s[pos] != kSeps[field]) return npos;
      ++pos;
    }
  }
  return pos;
}

}  // namespace

std::vector<std::string_view> split_blocks(std::string_view text) {
  std::vector<std::string_view> pieces;
  scan::Text<scan::Utf8> t(text.data(), text.size());
  scan::split_blocks(t, Span{0, text.size()}, [&](Span piece) {
    pieces.push_back(text.substr(piece.begin, piece.end - piece.begin));
  });
  return pieces;
}

std::optional<TimeSpan> match_time_line(std::string_view line) {
  scan::Text<scan::Utf8> t(line.data(), line.size());
  auto stamps = scan::match_time_line(t, Span{0, line.size()});
  if (!stamps) return std::nullopt;
  auto view = [&](Span s) { return line.substr(s.begin, s.end - s.begin); };
  return TimeSpan{view(stamps->first), view(stamps->second)};
}

namespace {
bool fence_language_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '+' || c == '-';
}
bool blank(char c) { return c == ' ' || c == '\t'; }

bool is_fence_line(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && blank(line[i])) ++i;
  if (line.substr(i, 3) != "```") return false;
  i += 3;
  // The two classes are disjoint, so greedy runs need no backtracking.
  while (i < line.size() && fence_language_char(line[i])) ++i;
  while (i < line.size() && blank(line[i])) ++i;
  return i == line.size();
}
}  // namespace

bool remove_fence_lines(std::string_view text, std::string &out) {
  if (find(text, "```") == npos) return false;
  std::string kept;
  kept.reserve(text.size());
  bool removed = false;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t lf = text.find('\n', begin);
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    if (is_fence_line(text.substr(begin, end - begin))) {
      removed = true;
    } else {
      kept.append(text.substr(begin, next - begin));
    }
    begin = next;
  }
  if (!removed) return false;
  out = std::move(kept);
  return true;
}

namespace {
// [begin of the first fence line, end of the last fence line], when the text
// has at least two.
std::optional<std::pair<std::size_t, std::size_t>> fence_bounds(std::string_view text) {
  if (find(text, "```") == npos) return std::nullopt;
  std::size_t first = npos, last_end = npos, count = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t lf = text.find('\n', begin);
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    if (is_fence_line(text.substr(begin, end - begin))) {
      if (first == npos) first = begin;
      last_end = end;
      ++count;
    }
    begin = lf == std::string_view::npos ? text.size() : lf + 1;
  }
  if (count < 2) return std::nullopt;
  return std::make_pair(first, last_end);
}
}  // namespace

std::string_view fenced_part(std::string_view text) {
  auto bounds = fence_bounds(text);
  return bounds ? text.substr(bounds->first, bounds->second - bounds->first) : text;
}

std::string unfenced_prose(std::string_view text) {
  auto bounds = fence_bounds(text);
  if (!bounds) return {};
  std::string_view before = unicode::strip(text.substr(0, bounds->first));
  std::string_view after = unicode::strip(text.substr(bounds->second));
  std::string prose(before);
  if (!before.empty() && !after.empty()) prose += "\n";
  prose.append(after);
  return prose;
}

std::string_view cut_at_markers(std::string_view text) {
  // Cutting at each marker in turn keeps the text before the earliest
  // occurrence of any of them (they cannot overlap one another). All end in
  // "：", so one scan over the colons finds it: the first colon that closes
  // a marker closes the earliest one.
  static constexpr std::string_view kColon = "：";
  for (std::size_t at = find(text, kColon); at != npos;
       at = find(text, kColon, at + kColon.size())) {
    std::size_t end = at + kColon.size();
    for (std::string_view marker : kCutMarkers) {
      if (marker.size() <= end && text.substr(end - marker.size(), marker.size()) == marker) {
        return unicode::rstrip(text.substr(0, end - marker.size()));
      }
    }
  }
  return text;
}

const std::array<NotePattern, 24> &annotation_patterns() {
  using K = NotePattern::Kind;
  static constexpr std::array<std::string_view, 2> kParens = {"(", "（"};
  static constexpr std::array<std::string_view, 2> kCloseParens = {")", "）"};
  static const std::array<NotePattern, 24> patterns = {{
      {"注释：.*?(?=\\n|$)", K::kLineTail, "注释：", {}, {}},
      {"说明：.*?(?=\\n|$)", K::kLineTail, "说明：", {}, {}},
      {"备注：.*?(?=\\n|$)", K::kLineTail, "备注：", {}, {}},
      {"修改列表：.*?(?=\\n|$)", K::kLineTail, "修改列表：", {}, {}},
      {"修改内容：.*?(?=\\n|$)", K::kLineTail, "修改内容：", {}, {}},
      {"[\\(（]注：.*?[\\)）]", K::kBracketed, "注：", kParens, kCloseParens},
      {"[\\(（]注:.*?[\\)）]", K::kBracketed, "注:", kParens, kCloseParens},
      {"[\\(（]修改:.*?[\\)）]", K::kBracketed, "修改:", kParens, kCloseParens},
      {"[\\(（]修改：.*?[\\)）]", K::kBracketed, "修改：", kParens, kCloseParens},
      {"[\\(（]校正:.*?[\\)）]", K::kBracketed, "校正:", kParens, kCloseParens},
      {"[\\(（]校正：.*?[\\)）]", K::kBracketed, "校正：", kParens, kCloseParens},
      {"[\\[【]修正.*?[\\]】]", K::kBracketed, "修正", {"[", "【"}, {"]", "】"}},
      {"[\\{「]修正.*?[\\}」]", K::kBracketed, "修正", {"{", "「"}, {"}", "」"}},
      {"（注：.*?）", K::kBracketed, "注：", {"（", ""}, {"）", ""}},
      {"\\(注：.*?\\)", K::kBracketed, "注：", {"(", ""}, {")", ""}},
      {"（注:.*?）", K::kBracketed, "注:", {"（", ""}, {"）", ""}},
      {"\\(注:.*?\\)", K::kBracketed, "注:", {"(", ""}, {")", ""}},
      {"[\\(（]维持原始.*?[\\)）]", K::kBracketed, "维持原始", kParens, kCloseParens},
      {"[\\(（]保持.*?不变[\\)）]", K::kBracketed, "保持", kParens, {"不变)", "不变）"}},
      {"[\\(（]严格保留.*?[\\)）]", K::kBracketed, "严格保留", kParens, kCloseParens},
      {"[\\(（]禁止.*?[\\)）]", K::kBracketed, "禁止", kParens, kCloseParens},
      {"[\\(（]输出保持.*?[\\)）]", K::kBracketed, "输出保持", kParens, kCloseParens},
      {"[\\(（]最终块.*?[\\)）]", K::kBracketed, "最终块", kParens, kCloseParens},
      {"[\\(（]此处保留.*?[\\)）]", K::kBracketed, "此处保留", kParens, kCloseParens},
  }};
  return patterns;
}

namespace {

// Where the lazy run of a bracketed note starting at `from` stops: the first
// LF (no match) or the first closer. Returns {position, closer length}; a
// length of 0 means the line ended first.
std::pair<std::size_t, std::size_t> note_stop(const NotePattern &p, std::string_view s,
                                              std::size_t from) {
  unsigned char first0 = p.closers[0].empty() ? 0 : static_cast<unsigned char>(p.closers[0][0]);
  unsigned char first1 = p.closers[1].empty() ? 0 : static_cast<unsigned char>(p.closers[1][0]);
  for (std::size_t i = from; i < s.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b == '\n') return {i, 0};
    if (b == first0 && starts_with_at(s, i, p.closers[0])) return {i, p.closers[0].size()};
    if (b == first1 && first1 && starts_with_at(s, i, p.closers[1])) {
      return {i, p.closers[1].size()};
    }
  }
  return {s.size(), 0};
}

}  // namespace

bool remove_matches(const NotePattern &p, std::string_view s, std::string &out) {
  std::string result;
  bool matched = false;
  std::size_t copied = 0;  // s[0, copied) is already in result (or removed)
  std::size_t scan = 0;    // matches may not begin before this
  std::size_t from = 0;    // where the next keyword search starts
  auto take = [&](std::size_t begin, std::size_t end) {
    if (!matched) {
      result.reserve(s.size());
      matched = true;
    }
    result.append(s.data() + copied, begin - copied);
    copied = scan = from = end;
  };
  while (true) {
    std::size_t kw = find(s, p.keyword, from);
    if (kw == npos) break;
    if (p.kind == NotePattern::Kind::kLineTail) {
      std::size_t eol = find_lf(s, kw + p.keyword.size());
      take(kw, eol == npos ? s.size() : eol);
      continue;
    }
    std::size_t begin = npos;
    for (std::string_view open : p.opens) {
      if (!open.empty() && kw >= scan + open.size() &&
          std::memcmp(s.data() + kw - open.size(), open.data(), open.size()) == 0) {
        begin = kw - open.size();
      }
    }
    if (begin == npos) {
      from = kw + 1;
      continue;
    }
    auto [stop, closer] = note_stop(p, s, kw + p.keyword.size());
    if (closer == 0) {
      // No closer before the end of this line: every later start on the same
      // line meets the same LF, so resume on the next line.
      if (stop >= s.size()) break;
      from = stop + 1;
      continue;
    }
    take(begin, stop + closer);
  }
  if (!matched) return false;
  result.append(s.data() + copied, s.size() - copied);
  out = std::move(result);
  return true;
}

namespace {

// No pattern reaches across an LF and no removal deletes one, so the notes
// can be removed line by line. A pattern needs an opening bracket followed
// by its keyword, or (line tails) a keyword ending in "："; lines without
// such a character are left alone, and for the others the characters next
// to each bracket or colon tell which patterns to try.
constexpr std::string_view kFullColon = "：";

struct Anchors {
  struct Entry {
    std::string_view bracket_or_before;  // opening form, or the char before "："
    std::string_view next;               // first char of the keyword ("" for colons)
    std::uint32_t bits;
  };
  std::vector<Entry> after_open;
  std::vector<Entry> before_colon;
};

std::string_view first_char(std::string_view s) { return s.substr(0, unicode::decode(s, 0).len); }

const Anchors &anchors() {
  static const Anchors table = [] {
    Anchors t;
    const auto &patterns = annotation_patterns();
    for (std::size_t k = 0; k < patterns.size(); ++k) {
      const NotePattern &p = patterns[k];
      std::uint32_t bit = std::uint32_t{1} << k;
      if (p.kind == NotePattern::Kind::kBracketed) {
        for (std::string_view open : p.opens) {
          if (!open.empty()) t.after_open.push_back({open, first_char(p.keyword), bit});
        }
      } else {
        // Line-tail keywords end in the full-width colon.
        std::string_view head = p.keyword.substr(0, p.keyword.size() - kFullColon.size());
        std::size_t last = unicode::char_start_before(head, head.size());
        t.before_colon.push_back({head.substr(last), {}, bit});
      }
    }
    return t;
  }();
  return table;
}

// Length of the opening form or full-width colon at s[i], else 0; `colon`
// tells which.
std::size_t anchor_at(std::string_view s, std::size_t i, bool &colon) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  colon = false;
  if (b == '(' || b == '[' || b == '{') return 1;
  if ((b != 0xEF && b != 0xE3) || s.size() - i < 3) return 0;
  unsigned char b1 = static_cast<unsigned char>(s[i + 1]);
  unsigned char b2 = static_cast<unsigned char>(s[i + 2]);
  if (b == 0xEF && b1 == 0xBC && b2 == 0x88) return 3;                  // （
  if (b == 0xEF && b1 == 0xBC && b2 == 0x9A) return colon = true, 3;    // ：
  if (b == 0xE3 && b1 == 0x80 && (b2 == 0x90 || b2 == 0x8C)) return 3;  // 【 「
  return 0;
}

// Patterns that may match somewhere in `line` (a superset).
std::uint32_t candidate_patterns(std::string_view line) {
  const Anchors &t = anchors();
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < line.size();) {
    bool colon;
    std::size_t len = anchor_at(line, i, colon);
    if (!len) {
      ++i;
      continue;
    }
    std::string_view mark = line.substr(i, len);
    if (colon) {
      if (i > 0) {
        std::size_t prev = unicode::char_start_before(line, i);
        std::string_view before = line.substr(prev, i - prev);
        for (const auto &e : t.before_colon) {
          if (e.bracket_or_before == before) bits |= e.bits;
        }
      }
    } else if (i + len < line.size()) {
      std::string_view next = first_char(line.substr(i + len));
      for (const auto &e : t.after_open) {
        if (e.bracket_or_before == mark && e.next == next) bits |= e.bits;
      }
    }
    i += len;
  }
  return bits;
}

// All patterns, in order, on one line. False when nothing matched.
bool clean_line(std::string_view line, std::string &out) {
  std::uint32_t bits = candidate_patterns(line);
  if (!bits) return false;
  const auto &patterns = annotation_patterns();
  std::string current(line), next;
  bool changed = false;
  for (std::size_t k = 0; k < patterns.size(); ++k) {
    if (!(bits >> k & 1)) continue;
    if (!remove_matches(patterns[k], current, next)) continue;
    current.swap(next);
    changed = true;
    // A removal may join a new note together; look again for the rest.
    bits = candidate_patterns(current) & ~((std::uint32_t{2} << k) - 1);
  }
  if (changed) out = std::move(current);
  return changed;
}

// Bytes the line scan stops at: LF, and the first byte of every opening
// bracket form and of "：".
constexpr std::array<std::uint8_t, 256> make_scan_table() {
  std::array<std::uint8_t, 256> t{};
  t['\n'] = 1;
  t['('] = t['['] = t['{'] = t[0xEF] = t[0xE3] = 2;
  return t;
}
constexpr std::array<std::uint8_t, 256> kScan = make_scan_table();

// First byte in [p, end) that the scan stops at, or end. Most text has
// none of these bytes for long stretches, so it is skipped 16 at a time
// where SSE2 is available.
const unsigned char *next_stop(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n'), paren = _mm_set1_epi8('('), square = _mm_set1_epi8('[');
  const __m128i brace = _mm_set1_epi8('{'), ef = _mm_set1_epi8(char(0xEF)),
                e3 = _mm_set1_epi8(char(0xE3));
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, paren)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, square), _mm_cmpeq_epi8(v, brace))),
        _mm_or_si128(_mm_cmpeq_epi8(v, ef), _mm_cmpeq_epi8(v, e3)));
    int mask = _mm_movemask_epi8(hit);
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && !kScan[*p]) ++p;
  return p;
}

// The notes step, optionally with the "\n{3,}" collapse done on the way:
// the notes never touch LFs, so dropping every empty line (other than the
// last piece) that follows an empty line which itself follows an LF is the
// same as collapsing the LF runs afterwards.
std::string clean_text_lines(std::string_view text, bool collapse) {
  std::string out;
  std::string line_out;
  std::size_t flushed = 0;  // text[flushed, start) still to be copied verbatim
  bool building = false;
  bool prev_empty_inner = false;  // previous line empty and preceded by an LF
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  const std::size_t n = text.size();
  std::size_t start = 0;
  bool anchored = false;
  for (std::size_t i = 0;; ++i) {
    i = static_cast<std::size_t>(next_stop(bytes + i, bytes + n) - bytes);
    if (i < n && bytes[i] != '\n') {
      bool colon;
      if (!anchored && anchor_at(text, i, colon)) anchored = true;
      continue;
    }
    // End of a line: LF at i, or the end of the text.
    bool last = i >= n;
    std::string_view line = text.substr(start, i - start);
    bool changed = anchored && clean_line(line, line_out);
    bool empty = changed ? line_out.empty() : line.empty();
    bool drop = collapse && !last && start > 0 && empty && prev_empty_inner;
    if (changed || drop) {
      if (!building) {
        out.reserve(n);
        building = true;
      }
      out.append(text.data() + flushed, start - flushed);
      if (changed && !drop) {
        out.append(line_out);
        if (!last) out.push_back('\n');
      }
      flushed = last ? n : i + 1;
    }
    prev_empty_inner = empty && start > 0;
    if (last) break;
    start = i + 1;
    anchored = false;
  }
  if (!building) return std::string(text);
  out.append(text.data() + flushed, n - flushed);
  return out;
}

}  // namespace

std::string remove_notes(std::string_view text) { return clean_text_lines(text, false); }

std::string remove_notes_and_collapse(std::string_view text) {
  return clean_text_lines(text, true);
}

std::string collapse_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t lf = find(text, "\n\n\n", pos);
    if (lf == npos) break;
    std::size_t end = lf + 3;
    while (end < text.size() && text[end] == '\n') ++end;
    out.append(text.data() + pos, lf - pos);
    out.append("\n\n");
    pos = end;
  }
  out.append(text.data() + pos, text.size() - pos);
  return out;
}

namespace {

// "^\d+\s*\n" then the time-line part of the pattern, at line start p.
// Returns where the block text begins, or npos.
std::size_t block_header(std::string_view s, std::size_t p, BlockShape shape) {
  std::size_t digits_end = skip_digits(s, p);
  if (digits_end == p) return npos;
  // The index line's "\s*\n" must end right before the time line, which
  // begins with a digit; white space never is one, so only a run that ends
  // in LF can work, and then only by taking the whole run.
  std::size_t run_end = skip_spaces(s, digits_end);
  if (run_end == digits_end || s[run_end - 1] != '\n') return npos;
  std::size_t t = run_end;

  if (shape == BlockShape::kStrict) {
    std::size_t pos = stamp_fixed(s, t);
    if (pos == npos) return npos;
    pos = skip_spaces(s, pos);
    if (!starts_with_at(s, pos, "-->")) return npos;
    pos = stamp_fixed(s, skip_spaces(s, pos + 3));
    if (pos == npos) return npos;
    // "\s*\n" before a tail that always matches: greedy, so the last LF of
    // the run.
    std::size_t lf = last_lf(s, pos, skip_spaces(s, pos));
    return lf == npos ? npos : lf + 1;
  }

  // Loose: \d+.*?-->\s*\d+.*?\n. The lazy run reaches only "-->" on the time
  // line's first line; after the arrow "\s*" may cross lines, then a digit
  // and the first LF after it end the part.
  std::size_t d_end = skip_digits(s, t);
  if (d_end == t) return npos;
  std::size_t eol = find_lf(s, d_end);
  std::size_t line_end = eol == npos ? s.size() : eol;
  std::size_t arrow = find(s.substr(0, line_end), "-->", d_end);
  while (arrow != npos) {
    std::size_t after = skip_spaces(s, arrow + 3);
    if (digit_at(s, after)) {
      std::size_t lf = find_lf(s, after);
      return lf == npos ? npos : lf + 1;
    }
    arrow = find(s.substr(0, line_end), "-->", arrow + 3);
  }
  return npos;
}

// (?=\n\n\d+|\Z): the first position at or after `from` where LF LF digit
// follows, or the end.
std::size_t block_end(std::string_view s, std::size_t from) {
  while (true) {
    std::size_t at = find(s, "\n\n", from);
    if (at == npos) return s.size();
    if (digit_at(s, at + 2)) return at;
    from = at + 1;
  }
}

}  // namespace

std::vector<std::string_view> find_blocks(std::string_view s, BlockShape shape) {
  std::vector<std::string_view> blocks;
  std::size_t pos = 0;
  while (pos <= s.size()) {
    // MULTILINE "^": the start of the text or right after an LF.
    std::size_t p = pos;
    if (p > 0 && s[p - 1] != '\n') {
      std::size_t lf = find_lf(s, p);
      if (lf == npos) break;
      p = lf + 1;
    }
    std::size_t body = block_header(s, p, shape);
    if (body == npos) {
      pos = p + 1;
      continue;
    }
    std::size_t end = block_end(s, body);
    blocks.push_back(s.substr(p, end - p));
    pos = end;
  }
  return blocks;
}

}  // namespace brivane::text::match
