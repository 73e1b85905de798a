// Hand-written matchers for the fixed regular expressions of the text steps.
// Each reproduces what the host's `re` finds for its one pattern on str
// (Unicode "\s" and "\d", "." not matching LF, MULTILINE "^"), working on
// UTF-8 bytes: every literal is matched whole, so positions always fall on
// character boundaries. All scans are linear in the input.
#pragma once
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/find.h"

namespace brivane::text::match {


// re.sub(r"^[ \t]*```[A-Za-z0-9_.+-]*[ \t]*(?:\n|$)", "", text, flags=re.M):
// every line that is only a markdown fence, with its line break. Returns
// false (and leaves `out` alone) when there is none. O(n).
bool remove_fence_lines(std::string_view text, std::string &out);

// A reply that fences its blocks (two fence lines or more) holds subtitle
// text only between its first and last fence line; what stands before and
// after is the model talking. `fenced_part` is that stretch, fence lines
// included (the whole text when there is no such pair); `unfenced_prose` the
// rest, each side stripped and the two joined by "\n" (empty when none).
std::string_view fenced_part(std::string_view text);
std::string unfenced_prose(std::string_view text);

// Step 2 of the cleaning: for each marker in order, keep what precedes its
// first occurrence, right-trimmed. The result is a prefix of `text`. O(n).
inline constexpr std::array<std::string_view, 3> kCutMarkers = {
    "修正说明：", "修改说明（符合规则要求）：", "主要修改内容："};
std::string_view cut_at_markers(std::string_view text);

// One annotation pattern. Two shapes cover all 24:
//  - line tail  "KW.*?(?=\n|$)": the keyword up to the end of its line;
//  - bracketed  "[OPEN]KW.*?CLOSE": an opening form, the keyword, then the
//    shortest run without LF up to and including the first closer.
// Pattern 19 is bracketed with the two-character closers "不变)"/"不变）".
struct NotePattern {
  enum class Kind { kLineTail, kBracketed };
  std::string_view source;  // the host regex this stands for
  Kind kind;
  std::string_view keyword;
  std::array<std::string_view, 2> opens;    // empty entries unused
  std::array<std::string_view, 2> closers;  // empty entries unused
};
// The 24 patterns in order of application.
const std::array<NotePattern, 24> &annotation_patterns();

// re.sub(pattern, "", text, flags=re.MULTILINE). Returns false (and leaves
// `out` alone) when nothing matched, else writes the result to `out`. O(n).
bool remove_matches(const NotePattern &pattern, std::string_view text, std::string &out);

// Steps 3 and 4 of the cleaning in one pass: every annotation pattern in
// order, each on the previous result, then re.sub(r"\n{3,}", "\n\n", ...).
// Worked line by line (no pattern crosses an LF); only lines holding an
// opening bracket or "：" next to a keyword are rewritten. O(n), with at
// most 24 short passes over each such line.
std::string remove_notes_and_collapse(std::string_view text);

// re.findall with re.MULTILINE of the block patterns. O(n).
//  strict: ^\d+\s*\n\d{2}:\d{2}:\d{2},\d{3}\s*-->\s*\d{2}:\d{2}:\d{2},\d{3}\s*\n
//          [\s\S]*?(?=\n\n\d+|\Z)
//  loose:  ^\d+\s*\n\d+.*?-->\s*\d+.*?\n[\s\S]*?(?=\n\n\d+|\Z)
enum class BlockShape { kStrict, kLoose };
std::vector<std::string_view> find_blocks(std::string_view text, BlockShape shape);

// ---------------------------------------------------------------------------
// For tests and fuzzers only: single steps that the cleaning and the
// readers above run fused or on code points, exposed to be checked alone.

// re.split(r"\n\s*\n", text). O(n).
std::vector<std::string_view> split_blocks(std::string_view text);

// re.match(r"(\d+:\d+:\d+,\d+)\s*-->\s*(\d+:\d+:\d+,\d+)", line): anchored at
// the start only; whatever follows the second stamp is ignored. O(n).
struct TimeSpan {
  std::string_view start;
  std::string_view end;
};
std::optional<TimeSpan> match_time_line(std::string_view line);

// Step 3 alone: every annotation pattern in order.
std::string remove_notes(std::string_view text);

// Step 4 alone: re.sub(r"\n{3,}", "\n\n", text).
std::string collapse_newlines(std::string_view text);

}  // namespace brivane::text::match
