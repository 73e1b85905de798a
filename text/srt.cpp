#include "text/srt.h"

#include "text/scan.h"

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
