// The medical invariants on any two texts: no crash, nothing found between a
// text and itself, and the same kinds with before and after swapped when the
// texts change places.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "text/risk.h"

using namespace brivane::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  FuzzedDataProvider in(data, size);
  std::string a = in.ConsumeRandomLengthString(4096);
  std::string b = in.ConsumeRemainingBytesAsString();
  FUZZ_CHECK(medical_risks(a, a).empty());
  FUZZ_CHECK(medical_risks(b, b).empty());
  std::vector<Risk> there = medical_risks(a, b), back = medical_risks(b, a);
  FUZZ_CHECK(there.size() == back.size());
  for (std::size_t k = 0; k < there.size(); ++k) {
    FUZZ_CHECK(back[k].kind == there[k].kind);
    FUZZ_CHECK(back[k].before == there[k].after && back[k].after == there[k].before);
    // One per kind, in order, each showing something.
    FUZZ_CHECK(k == 0 || there[k - 1].kind < there[k].kind);
    FUZZ_CHECK(!there[k].before.empty() || !there[k].after.empty());
    FUZZ_CHECK(!risk_label(there[k]).empty());
  }
  // Each quantity is shown as the text writes it.
  for (const Quantity &q : quantities(a)) {
    FUZZ_CHECK(!q.text.empty() && a.find(q.text) != std::string::npos);
  }
  return 0;
}
