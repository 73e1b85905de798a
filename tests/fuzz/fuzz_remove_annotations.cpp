// remove_annotations and its steps: only the fenced part of a fenced reply
// is read; cuts leave no marker; the line-wise note
// removal equals running each pattern over the whole text, keeps every line
// end, and fused with the LF collapse equals the two done apart; the result
// is blocks only, and cleaning a clean result again changes nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text/matchers.h"
#include "text/reply.h"
#include "text/unicode.h"

using namespace brivane::text;

namespace {

bool has_marker(std::string_view s) {
  for (std::string_view m : match::kCutMarkers) {
    if (s.find(m) != std::string_view::npos) return true;
  }
  return false;
}

// Each pattern over the whole text, one after another: the plain rendering
// of the notes step.
std::string notes_whole_text(std::string_view text) {
  std::string current(text), next;
  for (const match::NotePattern &p : match::annotation_patterns()) {
    if (match::remove_matches(p, current, next)) current.swap(next);
  }
  return current;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string_view raw(reinterpret_cast<const char *>(data), size);

  // Only the fenced part counts, then fence lines go; what is left has none,
  // so a second pass finds none.
  std::string_view fenced = match::fenced_part(raw);
  FUZZ_CHECK(fenced.data() >= raw.data() && fenced.data() + fenced.size() <= raw.data() + raw.size());
  std::string unfenced, again;
  std::string_view input = match::remove_fence_lines(fenced, unfenced) ? unfenced : fenced;
  FUZZ_CHECK(input.size() <= raw.size());
  FUZZ_CHECK(!match::remove_fence_lines(input, again));

  std::string_view cut = match::cut_at_markers(input);
  FUZZ_CHECK(input.substr(0, cut.size()) == cut);
  FUZZ_CHECK(!has_marker(cut));
  std::string notes = match::remove_notes(cut);
  FUZZ_CHECK(notes == notes_whole_text(cut));
  FUZZ_CHECK(match::remove_notes_and_collapse(cut) == match::collapse_newlines(notes));
  FUZZ_CHECK(notes.size() <= cut.size());
  FUZZ_CHECK(std::count(notes.begin(), notes.end(), '\n') ==
             std::count(cut.begin(), cut.end(), '\n'));

  CleanedReply cleaned = remove_annotations(raw);
  if (cleaned.fell_back) {
    FUZZ_CHECK(cleaned.text == unicode::strip(input));
    return 0;
  }
  const std::string &out = cleaned.text;
  FUZZ_CHECK(!out.empty() && unicode::digit_at(out, 0) > 0);
  FUZZ_CHECK(unicode::strip(out) == out);
  FUZZ_CHECK(out.find("\n\n\n") == std::string::npos);
  // A marker can only reappear where a note removal joined its pieces.
  if (!has_marker(notes)) FUZZ_CHECK(!has_marker(out));
  // Strict blocks with nothing left to remove come through a second
  // cleaning unchanged. (The final trim may have taken the LF that ends the
  // last block's time line; one LF gives it back. For loose blocks that LF
  // can turn a later part into a strict block, so they are not checked.)
  bool strict =
      !match::find_blocks(match::collapse_newlines(notes), match::BlockShape::kStrict).empty();
  if (strict && !has_marker(out) && match::remove_notes(out) == out &&
      !match::remove_fence_lines(out, again)) {
    FUZZ_CHECK(remove_annotations(out + "\n").text == out);
  }
  return 0;
}
