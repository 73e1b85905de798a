#include <gtest/gtest.h>

#include "text/glossary.h"

using namespace brivane::text;

namespace {
GlossaryInput::Category category(std::string name, std::vector<std::optional<std::string>> entries) {
  return {std::move(name), true, std::move(entries)};
}
}  // namespace

TEST(CheckGlossary, ListsEveryProblemAndRefusesOnTheFirst) {
  GlossaryInput input;
  input.categories = {
      category("药物名称术语", {"阿斯匹林→阿司匹林", "无箭头", std::nullopt}),
      category("自创类别", {"甲->乙"}),
      {"通用听写误差", false, {}},
      category("规范写法", {"心肌梗塞→心肌梗死", " →空"}),
  };
  CheckedGlossary checked = check_glossary(input);
  ASSERT_EQ(checked.entries.size(), 2u);
  EXPECT_EQ(checked.entries[1].category, "自创类别");
  EXPECT_EQ(checked.entries[1].wrong, "甲");
  EXPECT_EQ(checked.marks, (std::vector<std::pair<std::string, std::string>>{{"心肌梗塞", "心肌梗死"}}));
  std::vector<std::string> rules;
  for (const GlossaryProblem &problem : checked.problems) rules.push_back(problem.rule);
  EXPECT_EQ(rules, (std::vector<std::string>{"arrow", "shape", "category", "shape", "empty"}));
  EXPECT_FALSE(checked.problems[2].refuses);  // an unknown category only warns
  EXPECT_EQ(checked.refusal, "类别 \"药物名称术语\" 的条目 \"无箭头\": 没有箭头（应写作 错误→正确）");
}

TEST(CheckGlossary, ATopLevelThatIsNoObjectIsRefused) {
  GlossaryInput input;
  input.is_object = false;
  EXPECT_EQ(check_glossary(input).refusal, "顶层必须是对象（类别 → 条目列表）");
}
