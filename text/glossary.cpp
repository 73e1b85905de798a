#include "text/glossary.h"

#include <algorithm>

#include "text/terms.h"

namespace brivane::text {
namespace {

std::string categories_listed() {
  std::string listed;
  for (std::string_view name : kGlossaryCategories) {
    if (!listed.empty()) listed += "、";
    listed += name;
  }
  return listed;
}

}  // namespace

CheckedGlossary check_glossary(const GlossaryInput &input) {
  CheckedGlossary checked;
  auto refuse = [&](std::optional<std::string> category, std::optional<std::string> entry,
                    std::string rule, std::string detail) {
    if (!checked.refusal) checked.refusal = detail;
    checked.problems.push_back({std::move(category), std::move(entry), std::move(rule),
                                std::move(detail), true});
  };
  if (!input.is_object) {
    refuse(std::nullopt, std::nullopt, "shape", "顶层必须是对象（类别 → 条目列表）");
    return checked;
  }
  for (const GlossaryInput::Category &category : input.categories) {
    std::string label = "类别 \"" + category.name + "\"";
    if (!category.is_list) {
      refuse(category.name, std::nullopt, "shape", label + " 必须是条目列表");
      continue;
    }
    bool standardisations = category.name == kStandardisations;
    if (!standardisations &&
        std::find(kGlossaryCategories.begin(), kGlossaryCategories.end(), category.name) ==
            kGlossaryCategories.end()) {
      checked.problems.push_back(
          {category.name, std::nullopt, "category",
           "不是引擎应用的类别，其中的条目不会被应用；请用这些类别之一: " + categories_listed(),
           false});
    }
    std::size_t position = 0;
    for (const std::optional<std::string> &entry : category.entries) {
      ++position;
      if (!entry) {
        refuse(category.name, std::nullopt, "shape",
               label + " 的第" + std::to_string(position) + "个条目不是字符串");
        continue;
      }
      const char *why = nullptr;
      const char *rule = "arrow";
      switch (entry_fault(*entry)) {
        case EntryFault::none: break;
        case EntryFault::no_arrow: why = "没有箭头（应写作 错误→正确）"; break;
        case EntryFault::many_arrows: why = "多于一个箭头"; break;
        case EntryFault::empty_error_term: why = "错误术语为空"; rule = "empty"; break;
      }
      if (why) {
        refuse(category.name, *entry, rule, label + " 的条目 \"" + *entry + "\": " + why);
        continue;
      }
      TermEntry terms = *parse_term_entry(*entry);
      if (standardisations) {
        checked.marks.emplace_back(terms.error_term, terms.correct_term);
      } else {
        checked.entries.push_back({category.name, *entry, terms.error_term, terms.correct_term});
      }
    }
  }
  return checked;
}

}  // namespace brivane::text
