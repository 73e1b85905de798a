// read_srt_parts_content and render_srt_parts: nothing of the input is lost
// (the written form holds every character of the input but white space, in
// order), and reading the written form again finds the same parts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text/srt.h"
#include "text/unicode.h"

using namespace brivane::text;

namespace {
std::string without_spaces(std::string_view s) {
  std::string out;
  for (std::size_t at = 0; at < s.size();) {
    if (std::size_t n = unicode::space_at(s, at)) {
      at += n;
    } else {
      out.push_back(s[at++]);
    }
  }
  return out;
}

std::string shape(const SrtPartText &p) {
  if (!p.is_cue) return "v:" + std::string(unicode::strip(p.verbatim));
  return "c:" + std::string(p.has_index ? "i" : "-") + std::string(unicode::strip(p.index)) + "|" +
         p.start_time + "|" + p.end_time + "|" + std::string(unicode::rstrip(p.text));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<SrtPartText> first = read_srt_parts_content(input);
  std::string written = render_srt_parts(first);
  std::string_view unmarked = input.substr(0, 3) == "\xef\xbb\xbf" ? input.substr(3) : input;
  FUZZ_CHECK(without_spaces(written) == without_spaces(unmarked));
  for (const SrtPartText &p : first) {
    if (p.is_cue) FUZZ_CHECK(!p.start_time.empty() && !p.end_time.empty());
  }
  if (written.substr(0, 3) == "\xef\xbb\xbf") return 0;  // a second mark reads as the file's own
  std::vector<SrtPartText> again = read_srt_parts_content(written);
  FUZZ_CHECK(again.size() == first.size());
  for (std::size_t k = 0; k < first.size(); ++k) FUZZ_CHECK(shape(again[k]) == shape(first[k]));
  return 0;
}
