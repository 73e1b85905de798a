// A glossary file's rules: the categories the engine applies, and the check
// of a parsed file that both the engine (refusing at the first fault) and
// `brivane glossary check` (listing every problem) read it with.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivane::text {

// The categories the engine applies, in its order of application.
inline constexpr std::array<std::string_view, 12> kGlossaryCategories = {
    "解剖与组织术语",     "影像与检查术语", "实验室检查术语", "微生物术语",
    "临床症状与体征术语", "疾病名称规范",   "药物名称术语",   "医学专业缩写",
    "音译医学术语",       "通用听写误差",   "综合医学术语",   "特殊品牌替换",
};

// A top-level key listing entries that deliberately standardise a variant
// spelling; not a category: never merged or applied.
inline constexpr std::string_view kStandardisations = "规范写法";

// A glossary file as parsed, before any check.
struct GlossaryInput {
  struct Category {
    std::string name;
    bool is_list = true;
    std::vector<std::optional<std::string>> entries;  // nullopt: not a string
  };
  bool is_object = true;
  std::vector<Category> categories;  // in file order
};

struct GlossaryEntry {
  std::string category, text, wrong, right;
};

struct GlossaryProblem {
  std::optional<std::string> category, entry;
  std::string rule;  // "shape", "category", "arrow" or "empty"
  std::string detail;
  bool refuses = true;  // the engine refuses the file for it
};

struct CheckedGlossary {
  std::vector<GlossaryEntry> entries;                     // usable, in file order
  std::vector<std::pair<std::string, std::string>> marks;  // standardisations
  std::vector<GlossaryProblem> problems;
  // The first refusing problem's detail: why the engine refuses the file.
  std::optional<std::string> refusal;
};

CheckedGlossary check_glossary(const GlossaryInput &input);

}  // namespace brivane::text
