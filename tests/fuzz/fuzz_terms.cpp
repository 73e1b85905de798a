// TermReplacer against a plain find-and-replace (the presence filter must
// never hide an occurrence), plus the properties of counting and details.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "text/terms.h"

using namespace brivane::text;

namespace {

std::string replace_all(const std::string &text, const std::string &from, const std::string &to) {
  std::string out;
  std::size_t pos = 0, hit;
  while ((hit = text.find(from, pos)) != std::string::npos) {
    out.append(text, pos, hit - pos).append(to);
    pos = hit + from.size();
  }
  return out.append(text, pos, std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  FuzzedDataProvider in(data, size);
  std::string text = in.ConsumeRandomLengthString(4096);
  TermReplacer replacer(text);
  std::string plain = text;
  std::size_t counted = 0;
  while (in.remaining_bytes() > 0) {
    // An entry whose correct term holds its wrong term ("a→aa") doubles the
    // text each time; a few dozen of them would exhaust any memory.
    if (replacer.text().size() > (std::size_t{1} << 20)) break;
    std::string entry = in.ConsumeRandomLengthString(64);
    if (in.ConsumeBool()) {
      // An entry whose two terms are equal never counts.
      auto parsed = parse_term_entry(entry);
      if (parsed && !parsed->error_term.empty()) {
        std::string same = parsed->error_term + "→" + parsed->error_term;
        std::string before = replacer.text();
        FUZZ_CHECK(!replacer.apply(same));
        FUZZ_CHECK(replacer.text() == before);
        continue;
      }
    }
    bool changed = replacer.apply(entry);
    auto parsed = parse_term_entry(entry);
    bool expect_change = false;
    if (parsed && !parsed->error_term.empty() &&
        plain.find(parsed->error_term) != std::string::npos) {
      std::string next = replace_all(plain, parsed->error_term, parsed->correct_term);
      expect_change = next != plain;
      plain = std::move(next);
    }
    FUZZ_CHECK(changed == expect_change);
    FUZZ_CHECK(replacer.text() == plain);
    if (changed) {
      ++counted;
      // The detail is the entry's two terms.
      FUZZ_CHECK(replacer.details().back() == *parsed);
    }
  }
  FUZZ_CHECK(replacer.details().size() == counted);
  return 0;
}
