#include "text/matchers.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "text/unicode.h"

namespace brivane::text::match {

using unicode::digit_at;
using unicode::skip_digits;
using unicode::skip_spaces;

std::size_t find(std::string_view hay, std::string_view needle, std::size_t from) {
  if (from > hay.size()) return npos;
  if (needle.empty()) return from;
  std::size_t left = hay.size() - from;
  if (needle.size() > left) return npos;
  const char *base = hay.data() + from;
  if (needle.size() == 1) {
    const void *hit = std::memchr(base, needle[0], left);
    return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - hay.data()) : npos;
  }
#if defined(__GLIBC__) || defined(__APPLE__) || defined(__FreeBSD__)
  const void *hit = ::memmem(base, left, needle.data(), needle.size());
  return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - hay.data()) : npos;
#else
  auto it = std::search(base, base + left,
                        std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
  return it == base + left ? npos : static_cast<std::size_t>(it - hay.data());
#endif
}

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

// "\d+:\d+:\d+,\d+" at pos; returns the end or npos.
std::size_t stamp_any_width(std::string_view s, std::size_t pos) {
  static constexpr char kSeps[] = {':', ':', ','};
  for (int field = 0; field < 4; ++field) {
    std::size_t end = skip_digits(s, pos);
    if (end == pos) return npos;
    pos = end;
    if (field < 3) {
      if (pos >= s.size() || s[pos] != kSeps[field]) return npos;
      ++pos;
    }
  }
  return pos;
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
  std::size_t start = 0, pos = 0;
  while (true) {
    std::size_t lf = find_lf(text, pos);
    if (lf == npos) break;
    // "\s*" is greedy and gives back characters until an LF follows, so the
    // match ends at the last LF of the white-space run after this LF.
    std::size_t run_end = skip_spaces(text, lf + 1);
    std::size_t second = last_lf(text, lf + 1, run_end);
    if (second == npos) {
      pos = std::max(run_end, lf + 1);
      continue;
    }
    pieces.push_back(text.substr(start, lf - start));
    start = pos = second + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::optional<TimeSpan> match_time_line(std::string_view line) {
  std::size_t first_end = stamp_any_width(line, 0);
  if (first_end == npos) return std::nullopt;
  std::size_t arrow = skip_spaces(line, first_end);
  if (!starts_with_at(line, arrow, "-->")) return std::nullopt;
  std::size_t second = skip_spaces(line, arrow + 3);
  std::size_t second_end = stamp_any_width(line, second);
  if (second_end == npos) return std::nullopt;
  return TimeSpan{line.substr(0, first_end), line.substr(second, second_end - second)};
}

std::string_view cut_at_markers(std::string_view text) {
  for (std::string_view marker : kCutMarkers) {
    std::size_t at = find(text, marker);
    if (at != npos) text = unicode::rstrip(text.substr(0, at));
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

std::string remove_notes(std::string_view text) {
  std::string current(text);
  std::string next;
  for (const NotePattern &p : annotation_patterns()) {
    if (remove_matches(p, current, next)) current.swap(next);
  }
  return current;
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
