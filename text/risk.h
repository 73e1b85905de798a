// Medical invariants of a block: the numbers, units, negations and sides a
// correction must not change unseen. Each check compares what the two texts
// say, not how they write it: `25` = `二十五`, `4-6` = `4至6`, `μg` = `微克`.
//
// Cost: O(n) in the two texts (one decoding pass, one pass per check, each
// position tried against a few fixed words); allocation is per item found.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace brivane::text {

enum class RiskKind { number, unit, negation, side };

struct Risk {
  RiskKind kind;
  // The items of that kind that differ, as each text writes them ("5 mg",
  // "无明显压痛"), joined by "、"; empty when that text has none of them.
  std::string before, after;
  bool operator==(const Risk &o) const {
    return kind == o.kind && before == o.before && after == o.after;
  }
};

// At most one Risk per kind, in RiskKind order; none when the texts agree.
std::vector<Risk> medical_risks(std::string_view sent, std::string_view written);

// "数值改动", "单位改动", "否定改动", "左右改动".
std::string_view risk_badge(RiskKind kind);
// "number", "unit", "negation", "side": stable names for files.
std::string_view risk_kind_name(RiskKind kind);
// Badge, before, " → ", after; an empty side reads "（无）".
std::string risk_label(const Risk &risk);

// A quantity as the number and unit checks see it.
struct Quantity {
  // Value as compared: "25", "0.5", "-3", "4~6" (a range), "1/3" (a
  // fraction, denominator last), "#1" (an ordinal), "10^9"; a Chinese
  // numeral beyond 2^64 is its own words after "=".
  std::string value;
  // Canonical unit ("mg", "μg", "ml", "次/min", "%"), empty when none.
  std::string unit;
  // The quantity with its unit, as written.
  std::string text;
  bool operator==(const Quantity &o) const {
    return value == o.value && unit == o.unit && text == o.text;
  }
};

// The quantities of a text in order of appearance.
std::vector<Quantity> quantities(std::string_view text);

}  // namespace brivane::text
