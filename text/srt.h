// Reading and rendering SRT text. Input is UTF-8 already decoded by the host
// in text mode (universal newlines applied); lone surrogates may appear as
// their 3-byte encodings and are ordinary characters here.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "text/spans.h"
#include "text/subtitle.h"

namespace brivane::text {

// Drop one leading byte-order mark, strip, split on "\n\s*\n", keep blocks
// with >= 3 lines whose second line matches
// "(\d+:\d+:\d+,\d+)\s*-->\s*(\d+:\d+:\d+,\d+)" at its start; as positions
// in `content`. O(n).
struct SrtSpans {
  std::vector<SubtitleSpans> subtitles;
  std::vector<Span> skipped_first_lines;
};
SrtSpans parse_srt_spans(CodePoints content);

// The lossless reading a file correction works from: every part of the
// file in order, a cue (any timing form, text possibly empty) or a stretch
// of lines with no timing line, kept as written. O(n).
struct SrtPart {
  bool is_cue = false;
  CueSpans cue;    // when is_cue
  Span verbatim;   // otherwise
};
std::vector<SrtPart> read_srt_parts(CodePoints content);

// The most bytes the UTF-8 form of `text` can take.
inline std::size_t max_utf8_size(CodePoints text) {
  return text.size * (text.width == 1 ? 2 : text.width == 2 ? 3 : 4);
}
// Writes the strict UTF-8 form of `text` at `out`, which has room for
// max_utf8_size(text) bytes. Returns the end of what was written, or null at
// a lone surrogate (which strict UTF-8 cannot hold). O(n).
char *write_utf8(char *out, CodePoints text);

// ---------------------------------------------------------------------------
// For tests, fuzzers and benchmarks only. The module reads the host's code
// points in place through the forms above; these read UTF-8 and return copies
// or views, so native tests can drive each step directly.

struct ParsedSrt {
  std::vector<Subtitle> subtitles;
  // First line of every non-blank candidate block that was skipped (fewer
  // than three lines, or a time line that does not match), in file order.
  std::vector<std::string> skipped_first_lines;
};

struct SrtPartText {
  bool is_cue = false;
  bool has_index = false;
  std::string index, time_line, start_time, end_time, text;  // a cue
  std::string verbatim;                                       // otherwise
};

// read_srt_parts on UTF-8 text, as copies.
std::vector<SrtPartText> read_srt_parts_content(std::string_view content);

// A timing stamp as a request carries it. A stamp already in the form the
// cleanup's block patterns read ("\d{2}:\d{2}:\d{2},\d{3}") goes as written;
// any other (dot before the milliseconds, short or no milliseconds, one-digit
// fields) as "HH:MM:SS,mmm", the milliseconds counted as SRT counts them, so
// the reply's block for it survives the cleanup. A stamp whose value cannot
// fit that form goes as written. O(n).
std::string sendable_stamp(std::string_view stamp);

// The written form of one part, as the writes that make it: a cue as its
// index line (when it has one), its timing line as read and its text;
// verbatim lines as read; each part followed by one empty line. `write` is
// called once per write with its pieces in order; the engine (pieces from
// the text read) and the export (pieces as texts) both lay files out so.
enum class SrtPiece { verbatim, index, time_line, text, line_end, block_end };
template <class Write>
void srt_part_writes(bool is_cue, bool has_index, bool has_text, Write &&write) {
  using P = SrtPiece;
  if (!is_cue) {
    write({P::verbatim, P::block_end});
    return;
  }
  if (has_index) write({P::index, P::line_end});
  if (!has_text) {
    write({P::time_line, P::block_end});
    return;
  }
  write({P::time_line, P::line_end, P::text, P::block_end});
}

// The written form of parts, by srt_part_writes.
std::string render_srt_parts(const std::vector<SrtPartText> &parts);

// parse_srt_spans on UTF-8 text.
ParsedSrt parse_srt_content(std::string_view content);

// "{index}\n{start} --> {end}\n{text}\n\n" per block. O(total size).
std::string render_srt(const std::vector<Subtitle> &subtitles);
void append_srt_block(std::string &out, std::string_view index, std::string_view start_time,
                      std::string_view end_time, std::string_view text);

}  // namespace brivane::text
