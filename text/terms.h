// Exact term replacement from the error-terms library.
//
// Cost: parsing an entry is O(|entry|). Applying one is O(|entry|) when a
// byte-bigram presence test of the current text rules it out (the usual
// case), else one linear search, plus one linear rewrite when it occurs.
// A library of m entries over a text of n bytes costs
// O(sum |entry| + n * (entries that pass the filter)); the filter is rebuilt,
// O(n), only after a replacement changed the text.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane::text {

struct TermEntry {
  std::string error_term;
  std::string correct_term;
  bool operator==(const TermEntry &o) const {
    return error_term == o.error_term && correct_term == o.correct_term;
  }
};

// "wrong→right" or "wrong->right" with white space around either term.
// nullopt for an entry with no arrow or more than one.
std::optional<TermEntry> parse_term_entry(std::string_view entry);

// Why an entry of a user glossary could not be applied; a packaged entry with
// such a fault is skipped silently, a user's is refused at load.
enum class EntryFault { none, no_arrow, many_arrows, empty_error_term };
EntryFault entry_fault(std::string_view entry);

// Which entries survive merging glossaries in which a later entry with the
// same wrong term replaces the earlier one. `error_terms` holds each entry's
// wrong term in merge order, nullopt for an entry that is never applied
// (kept as it is).
std::vector<bool> latest_per_error_term(
    const std::vector<std::optional<std::string>> &error_terms);

// Applies entries one after another to a text, each on the result of the
// ones before, counting the entries that changed it.
class TermReplacer {
 public:
  explicit TermReplacer(std::string text);

  // Applies one entry already split and trimmed into its two terms. An
  // empty wrong term is skipped. Returns true when the entry changed the
  // text (it is then listed in details()).
  bool apply_terms(std::string_view error_term, std::string_view correct_term);
  // parse_term_entry, then apply_terms; entries without exactly one arrow
  // are skipped.
  bool apply(std::string_view entry);

  const std::string &text() const { return text_; }
  // The entries that changed the text, in order.
  const std::vector<TermEntry> &details() const { return details_; }

 private:
  std::string text_;
  std::vector<TermEntry> details_;
  // False only when `needle` certainly does not occur in text_.
  bool may_contain(std::string_view needle);
  void index_text();

  // Presence bitmaps of text_: every byte (256 bits) and every pair of
  // adjacent bytes (65536 bits). Rebuilt lazily after text_ changes.
  std::vector<std::uint64_t> pairs_;
  std::uint64_t bytes_[4] = {};
  bool indexed_ = false;
};

}  // namespace brivane::text
