#include "text/srt.h"

#include "text/scan.h"
#include "text/unicode.h"

namespace brivane::text {

ParsedSrt parse_srt_content(std::string_view content) {
  ParsedSrt result;
  scan::srt_blocks(
      scan::Text<scan::Utf8>(content.data(), content.size()),
      [&](const SubtitleSpans &b) { result.subtitles.push_back(copy_of(content, b)); },
      [&](Span first_line) { result.skipped_first_lines.push_back(copy_of(content, first_line)); });
  return result;
}

SrtSpans parse_srt_spans(CodePoints content) {
  SrtSpans result;
  scan::with_code_points(content, [&](const auto &text) {
    scan::srt_blocks(
        text, [&](const SubtitleSpans &b) { result.subtitles.push_back(b); },
        [&](Span first_line) { result.skipped_first_lines.push_back(first_line); });
  });
  return result;
}

std::vector<SrtPart> read_srt_parts(CodePoints content) {
  std::vector<SrtPart> parts;
  scan::with_code_points(content, [&](const auto &text) {
    scan::srt_parts(
        text, [&](const CueSpans &cue) { parts.push_back({true, cue, {}}); },
        [&](Span lines) { parts.push_back({false, {}, lines}); });
  });
  return parts;
}

std::vector<SrtPartText> read_srt_parts_content(std::string_view content) {
  std::vector<SrtPartText> parts;
  scan::srt_parts(
      scan::Text<scan::Utf8>(content.data(), content.size()),
      [&](const CueSpans &cue) {
        SrtPartText part;
        part.is_cue = true;
        part.has_index = cue.has_index;
        part.index = copy_of(content, cue.index);
        part.time_line = copy_of(content, cue.time_line);
        part.start_time = copy_of(content, cue.start_time);
        part.end_time = copy_of(content, cue.end_time);
        part.text = copy_of(content, cue.text);
        parts.push_back(std::move(part));
      },
      [&](Span lines) {
        SrtPartText part;
        part.verbatim = copy_of(content, lines);
        parts.push_back(std::move(part));
      });
  return parts;
}

std::string sendable_stamp(std::string_view stamp) {
  // Runs of digits and the one character after each; a stamp of the loose
  // reader has three or four runs.
  std::vector<std::string_view> runs;
  std::string separators;
  std::size_t at = 0;
  while (at < stamp.size()) {
    std::size_t end = unicode::skip_digits(stamp, at);
    runs.push_back(stamp.substr(at, end - at));
    if (end >= stamp.size()) break;
    separators.push_back(stamp[end]);
    at = end + 1;
  }
  if (runs.size() < 3 || runs.size() > 4) return std::string(stamp);  // not a stamp of the reader
  static constexpr std::size_t kWidths[] = {2, 2, 2, 3};
  auto digit_count = [](std::string_view run) {
    std::size_t count = 0;
    for (std::size_t p = 0; p < run.size(); p += unicode::digit_at(run, p)) ++count;
    return count;
  };
  bool canonical = runs.size() == 4 && separators.substr(0, 3) == "::,";
  for (std::size_t k = 0; canonical && k < 4; ++k) canonical = digit_count(runs[k]) == kWidths[k];
  if (canonical) return std::string(stamp);  // the cleanup's blocks read it as it is
  // The cleanup reads blocks in "HH:MM:SS,mmm" only: two-digit fields and
  // three-digit milliseconds, which the value must fit.
  std::string out;
  for (std::size_t k = 0; k < 4; ++k) {
    std::string_view run = k < runs.size() ? runs[k] : std::string_view("000");
    while (digit_count(run) > kWidths[k] && run.front() == '0') run.remove_prefix(1);
    if (digit_count(run) > kWidths[k]) return std::string(stamp);
    if (k) out.push_back(k == 3 ? ',' : ':');
    for (std::size_t n = digit_count(run); n < kWidths[k]; ++n) out.push_back('0');
    out.append(run);
  }
  return out;
}

std::string render_srt_parts(const std::vector<SrtPartText> &parts) {
  std::string out;
  for (const SrtPartText &part : parts) {
    srt_part_writes(part.is_cue, part.has_index, !part.text.empty(),
                    [&](std::initializer_list<SrtPiece> pieces) {
                      for (SrtPiece piece : pieces) {
                        switch (piece) {
                          case SrtPiece::verbatim: out += part.verbatim; break;
                          case SrtPiece::index: out += part.index; break;
                          case SrtPiece::time_line: out += part.time_line; break;
                          case SrtPiece::text: out += part.text; break;
                          case SrtPiece::line_end: out += "\n"; break;
                          case SrtPiece::block_end: out += "\n\n"; break;
                        }
                      }
                    });
  }
  return out;
}

namespace {
template <class T>
char *write_utf8_of(char *p, const T *s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c >= 0x800 && c < 0xD800) {  // most of Chinese text
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *p++ = static_cast<char>(0xC0 | (c >> 6));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *p++ = static_cast<char>(0xF0 | (c >> 18));
      *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return p;
}
}  // namespace

char *write_utf8(char *out, CodePoints text) {
  switch (text.width) {
    case 1:
      return write_utf8_of(out, static_cast<const unsigned char *>(text.data), text.size);
    case 2:
      return write_utf8_of(out, static_cast<const char16_t *>(text.data), text.size);
    default:
      return write_utf8_of(out, static_cast<const char32_t *>(text.data), text.size);
  }
}

void append_srt_block(std::string &out, std::string_view index, std::string_view start_time,
                      std::string_view end_time, std::string_view text) {
  out.reserve(out.size() + index.size() + start_time.size() + end_time.size() + text.size() + 9);
  out.append(index);
  out.push_back('\n');
  out.append(start_time);
  out.append(" --> ");
  out.append(end_time);
  out.push_back('\n');
  out.append(text);
  out.append("\n\n");
}

std::string render_srt(const std::vector<Subtitle> &subtitles) {
  std::size_t total = 0;
  for (const Subtitle &s : subtitles) {
    total += s.index.size() + s.start_time.size() + s.end_time.size() + s.text.size() + 9;
  }
  std::string out;
  out.reserve(total);
  for (const Subtitle &s : subtitles)
    append_srt_block(out, s.index, s.start_time, s.end_time, s.text);
  return out;
}

}  // namespace brivane::text
