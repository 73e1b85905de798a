#include "text/terms.h"

#include <cstring>
#include <unordered_set>

#include "text/matchers.h"
#include "text/unicode.h"

namespace brivane::text {

namespace {

constexpr std::string_view kArrow = "→";
constexpr std::string_view kAsciiArrow = "->";

struct EntryView {
  std::string_view error_term;
  std::string_view correct_term;
};

// entry.replace("->", "→").split("→") gives exactly two parts iff the entry
// holds exactly one arrow of either kind (neither can overlap itself or the
// other), so the parts are the text on either side of that one arrow.
std::optional<EntryView> split_entry(std::string_view entry) {
  std::size_t arrow = match::find(entry, kArrow);
  std::size_t ascii = match::find(entry, kAsciiArrow);
  std::size_t at, len;
  if (arrow != match::npos) {
    if (ascii != match::npos || match::find(entry, kArrow, arrow + kArrow.size()) != match::npos) {
      return std::nullopt;
    }
    at = arrow;
    len = kArrow.size();
  } else if (ascii != match::npos) {
    if (match::find(entry, kAsciiArrow, ascii + kAsciiArrow.size()) != match::npos) {
      return std::nullopt;
    }
    at = ascii;
    len = kAsciiArrow.size();
  } else {
    return std::nullopt;
  }
  return EntryView{unicode::strip(entry.substr(0, at)), unicode::strip(entry.substr(at + len))};
}

}  // namespace

std::optional<TermEntry> parse_term_entry(std::string_view entry) {
  auto parts = split_entry(entry);
  if (!parts) return std::nullopt;
  return TermEntry{std::string(parts->error_term), std::string(parts->correct_term)};
}

EntryFault entry_fault(std::string_view entry) {
  auto parts = split_entry(entry);
  if (parts) return parts->error_term.empty() ? EntryFault::empty_error_term : EntryFault::none;
  bool arrow = match::find(entry, kArrow) != match::npos ||
               match::find(entry, kAsciiArrow) != match::npos;
  return arrow ? EntryFault::many_arrows : EntryFault::no_arrow;
}

std::vector<bool> latest_per_error_term(
    const std::vector<std::optional<std::string>> &error_terms) {
  std::vector<bool> kept(error_terms.size(), true);
  std::unordered_set<std::string_view> seen;
  for (std::size_t i = error_terms.size(); i-- > 0;) {
    if (error_terms[i] && !seen.insert(*error_terms[i]).second) kept[i] = false;
  }
  return kept;
}

TermReplacer::TermReplacer(std::string text) : text_(std::move(text)) {}

bool TermReplacer::apply(std::string_view entry) {
  auto parts = split_entry(entry);
  if (!parts) return false;
  return apply_terms(parts->error_term, parts->correct_term);
}

bool TermReplacer::apply_terms(std::string_view error_term, std::string_view correct_term) {
  // An empty wrong term "occurs" everywhere; replacing it would put the
  // correct term between every two characters. Such entries are skipped.
  if (error_term.empty()) return false;
  if (!may_contain(error_term)) return false;
  std::size_t hit = match::find(text_, error_term);
  if (hit == match::npos) return false;
  // With at least one occurrence, str.replace changes the text exactly when
  // the two terms differ.
  if (error_term == correct_term) return false;
  std::string out;
  out.reserve(text_.size() + (correct_term.size() > error_term.size() ? text_.size() / 4 : 0));
  std::size_t pos = 0;
  while (hit != match::npos) {
    out.append(text_, pos, hit - pos);
    out.append(correct_term);
    pos = hit + error_term.size();
    hit = match::find(text_, error_term, pos);
  }
  out.append(text_, pos, std::string::npos);
  text_ = std::move(out);
  indexed_ = false;
  details_.push_back(TermEntry{std::string(error_term), std::string(correct_term)});
  return true;
}

void TermReplacer::index_text() {
  pairs_.assign(65536 / 64, 0);
  std::memset(bytes_, 0, sizeof bytes_);
  const auto *p = reinterpret_cast<const unsigned char *>(text_.data());
  std::size_t n = text_.size();
  for (std::size_t i = 0; i < n; ++i) {
    bytes_[p[i] >> 6] |= std::uint64_t{1} << (p[i] & 63);
    if (i + 1 < n) {
      unsigned pair = unsigned(p[i]) << 8 | p[i + 1];
      pairs_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
    }
  }
  indexed_ = true;
}

bool TermReplacer::may_contain(std::string_view needle) {
  if (needle.size() > text_.size()) return false;
  if (!indexed_) index_text();
  const auto *p = reinterpret_cast<const unsigned char *>(needle.data());
  if (needle.size() == 1) return bytes_[p[0] >> 6] >> (p[0] & 63) & 1;
  for (std::size_t i = 0; i + 1 < needle.size(); ++i) {
    unsigned pair = unsigned(p[i]) << 8 | p[i + 1];
    if (!(pairs_[pair >> 6] >> (pair & 63) & 1)) return false;
  }
  return true;
}

}  // namespace brivane::text
