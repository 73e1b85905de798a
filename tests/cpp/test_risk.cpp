#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing.h"
#include "text/risk.h"

using brivane::text::medical_risks;
using brivane::text::quantities;
using brivane::text::Quantity;
using brivane::text::Risk;
using brivane::text::risk_label;
using brivane::text::RiskKind;

namespace {

std::vector<std::string> labels(const std::string &sent, const std::string &written) {
  std::vector<std::string> out;
  for (const Risk &r : medical_risks(sent, written)) out.push_back(risk_label(r));
  return out;
}

using Labels = std::vector<std::string>;

struct LineCase {
  std::string sent, written;
  Labels expected;
};
BRIVANE_PRINT_CASE(LineCase, sent)

}  // namespace

class RiskLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(RiskLines, LabelsBothWays) {
  const LineCase &c = GetParam();
  EXPECT_EQ(labels(c.sent, c.written), c.expected) << c.sent << " → " << c.written;
  // The same kinds the other way round, before and after swapped.
  std::vector<Risk> there = medical_risks(c.sent, c.written);
  std::vector<Risk> back = medical_risks(c.written, c.sent);
  ASSERT_EQ(back.size(), there.size());
  for (std::size_t k = 0; k < there.size(); ++k) {
    EXPECT_EQ(back[k], (Risk{there[k].kind, there[k].after, there[k].before}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, RiskLines,
    ::testing::Values(
        LineCase{"每次口服5 mg，每日两次", "每次口服50 mg，每日两次", {"数值改动 5 mg → 50 mg"}},
        LineCase{"每日两次，饭后服用", "每日一次，饭后服用", {"数值改动 两次 → 一次"}},
        LineCase{"疗程一般为二十五天", "疗程一般为25天", {}},
        LineCase{"维持剂量是0.5毫克", "维持剂量是0.50毫克", {}},
        LineCase{"成人每次4-6片", "成人每次4～6片", {}},
        LineCase{"成人每次4至6片", "成人每次４－６片", {}},
        LineCase{"每次四到六片，连用两三天", "每次4-6片，连用2~3天", {}},
        LineCase{"每次服用1/2片", "每次服用1/4片", {"数值改动 1/2片 → 1/4片"}},
        LineCase{"约有三分之一的患者会复发", "约有1/3的患者会复发", {}},
        LineCase{"病死率约为百分之五十", "病死率约为50%", {}},
        // A garbled word whose numeral is no quantity, corrected.
        LineCase{"二尖辨狭窄的患者", "二尖瓣狭窄的患者", {}},
        LineCase{"甘油三脂偏高", "甘油三酯偏高", {}},
        LineCase{"二尖辨给药三次", "二尖瓣给药两次", {"数值改动 三次 → 两次"}},
        LineCase{"病死率约为5%", "病死率约为50%", {"数值改动 5% → 50%"}},
        LineCase{"这是一些比较一般的表现", "这是一些比较常见的表现", {}},
        LineCase{"处理原则一样，统一补液，万一出血再说", "处理原则相同，补液，如果出血再说", {}},
        LineCase{"第一次发作多在夜间", "第二次发作多在夜间", {"数值改动 第一次 → 第二次"}},
        LineCase{"溃疡多见于十二指肠球部", "溃疡多见于胃窦部", {}},
        LineCase{"血压160/100mmHg", "血压150/100mmHg",
                 {"数值改动 160/100mmHg → 150/100mmHg"}},
        LineCase{"空腹血糖7.0 mmol/L以上", "空腹血糖7 mmol/L以上", {}},
        LineCase{"青霉素80万单位肌注", "青霉素八十万单位肌注", {}},
        LineCase{"一般持续一个半小时", "一般持续1.5小时", {}},
        LineCase{"Ⅱ型糖尿病的一线用药", "2型糖尿病的一线用药", {}},
        LineCase{"先给半量，一周后加到全量", "先给一半剂量，7天后加到全量",
                 {"数值改动 一周 → 7天", "单位改动 周 → 天"}},
        LineCase{"白细胞10×10⁹/L", "白细胞10×10^9/L", {}},
        LineCase{"三十多岁的女性", "四十多岁的女性", {"数值改动 三十 → 四十"}},
        LineCase{"一天三次，一次两粒", "每日3次，每次2粒", {}},
        LineCase{"下一步怎么处理", "接下来怎么处理", {}}));

INSTANTIATE_TEST_SUITE_P(
    Units, RiskLines,
    ::testing::Values(
        LineCase{"每次5 mg静推", "每次5 g静推", {"单位改动 mg → g"}},
        LineCase{"肾上腺素1 μg每分钟", "肾上腺素1微克每分钟", {}},
        LineCase{"静推10ug", "静推10 mcg", {}},
        LineCase{"先补液500 ml", "先补液500毫升", {}},
        LineCase{"先补液500毫升", "先补液500升", {"单位改动 毫升 → 升"}},
        LineCase{"血钾3.5 mmol/L", "血钾3.5 mg/dL", {"单位改动 mmol/L → mg/dL"}},
        LineCase{"胰岛素10 IU皮下注射", "胰岛素10 U皮下注射", {"单位改动 IU → U"}},
        LineCase{"每次两片，每日三次", "每次两粒，每日三次", {"单位改动 片 → 粒"}},
        LineCase{"每次3片", "每次3", {"单位改动 片 → （无）"}},
        LineCase{"体温39度", "体温39℃", {}},
        LineCase{"心率一百二十次每分钟", "心率120次/分", {}},
        LineCase{"心率80次/分", "心率80 bpm", {}},
        LineCase{"肌钙蛋白0.8纳克每毫升", "肌钙蛋白0.8 ng/ml", {}},
        LineCase{"血压从120升高到160", "血压从120增高到160", {}}));

INSTANTIATE_TEST_SUITE_P(
    Negation, RiskLines,
    ::testing::Values(
        LineCase{"腹部无明显压痛", "腹部有明显压痛", {"否定改动 无明显压痛 → 有明显压痛"}},
        LineCase{"患者不能平卧", "患者能平卧", {"否定改动 不能平卧 → 能平卧"}},
        LineCase{"胸片未见异常", "胸片可见异常", {"否定改动 未见异常 → 可见异常"}},
        LineCase{"乙肝表面抗原阴性", "乙肝表面抗原阳性", {"否定改动 阴性 → 阳性"}},
        LineCase{"孕妇禁用", "孕妇慎用", {"否定改动 禁用 → 慎用"}},
        LineCase{"否认高血压病史", "有高血压病史", {"否定改动 否认高血压病 → 有高血压病"}},
        LineCase{"这一点非常重要", "这一点很重要", {}},
        LineCase{"看一下是否有压痛", "看一下有没有压痛", {}},
        LineCase{"这个药不能用", "这个药无法使用", {}},
        LineCase{"没有发热，咳嗽明显", "未发热，咳嗽不明显", {"否定改动 明显 → 不明显"}}));

INSTANTIATE_TEST_SUITE_P(
    Sides, RiskLines,
    ::testing::Values(
        LineCase{"左肺下叶可见阴影", "右肺下叶可见阴影", {"左右改动 左肺 → 右肺"}},
        LineCase{"右上腹压痛", "右下腹压痛", {"左右改动 右上腹 → 右下腹"}},
        LineCase{"双下肢水肿", "双侧下肢水肿", {}},
        LineCase{"左侧肢体无力", "右侧肢体无力", {"左右改动 左侧肢体 → 右侧肢体"}},
        LineCase{"上肢肌力正常", "下肢肌力正常", {"左右改动 上肢 → 下肢"}},
        LineCase{"右肾结石伴右侧输尿管扩张", "右肾结石伴左侧输尿管扩张",
                 {"左右改动 右侧输尿管 → 左侧输尿管"}},
        LineCase{"他手上有个伤口", "他左手上有个伤口", {"左右改动 （无） → 左手"}},
        LineCase{"两肺呼吸音清", "双肺呼吸音清", {}},
        LineCase{"上午查房，下午手术", "下午查房，上午手术", {}},
        LineCase{"高血压患者", "低血压患者", {}},
        LineCase{"每次5毫克左右", "每次5毫克上下", {}},
        LineCase{"下面我们看一下", "接下来我们看一下", {}}));

INSTANTIATE_TEST_SUITE_P(
    Several, RiskLines,
    ::testing::Values(LineCase{"左肺可见5 mm结节 未见钙化", "右肺可见5 cm结节 可见钙化",
                               {"单位改动 mm → cm", "否定改动 未见钙化 → 可见钙化",
                                "左右改动 左肺 → 右肺"}},
                      LineCase{"每次2片 每日3次", "每次3片 每日2次", {"数值改动 2片、3次 → 3片、2次"}},
                      LineCase{"5 mg和10 mg", "50 mg和100 mg",
                               {"数值改动 5 mg、10 mg → 50 mg、100 mg"}}));

// The value and unit each spelling stands for.
struct QuantityCase {
  std::string text;
  std::vector<Quantity> expected;
};
BRIVANE_PRINT_CASE(QuantityCase, text)

class RiskQuantities : public ::testing::TestWithParam<QuantityCase> {};

TEST_P(RiskQuantities, ValueUnitAndText) {
  EXPECT_EQ(quantities(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Chinese, RiskQuantities,
    ::testing::Values(
        QuantityCase{"一百零五", {{"105", "", "一百零五"}}},
        QuantityCase{"一百五", {{"150", "", "一百五"}}},
        QuantityCase{"三万五", {{"35000", "", "三万五"}}},
        QuantityCase{"三亿五千万", {{"350000000", "", "三亿五千万"}}},
        QuantityCase{"十五岁", {{"15", "岁", "十五岁"}}},
        QuantityCase{"二零二三年", {{"2023", "年", "二零二三年"}}},
        QuantityCase{"二三十", {{"20~30", "", "二三十"}}},
        QuantityCase{"五千克", {{"5", "kg", "五千克"}}},
        QuantityCase{"零点五毫克", {{"0.5", "mg", "零点五毫克"}}},
        QuantityCase{"一片半", {{"1.5", "片", "一片半"}}},
        QuantityCase{"三点半", {{"3.5", "", "三点半"}}},
        QuantityCase{"半衰期是半小时", {{"0.5", "h", "半小时"}}},
        QuantityCase{"第三", {{"#3", "", "第三"}}},
        QuantityCase{"千分之五", {{"5", "‰", "千分之五"}}},
        QuantityCase{"IV期 Ⅲ度", {{"4", "", "IV"}, {"3", "℃", "Ⅲ度"}}},
        QuantityCase{"每日一次", {{"1", "d", "每日"}, {"1", "次", "一次"}}},
        QuantityCase{"九亿亿亿", {{"=九亿亿亿", "", "九亿亿亿"}}},
        // Not quantities: set words, organs, sides.
        QuantityCase{"一些一般统一万一不一定十二指肠二尖瓣两侧一侧十分重要", {}}));

INSTANTIATE_TEST_SUITE_P(
    Arabic, RiskQuantities,
    ::testing::Values(
        QuantityCase{"0.50", {{"0.5", "", "0.50"}}},
        QuantityCase{"007", {{"7", "", "007"}}},
        QuantityCase{"10,000 U", {{"10000", "U", "10,000 U"}}},
        QuantityCase{"1.5万", {{"15000", "", "1.5万"}}},
        QuantityCase{"-5℃", {{"-5", "℃", "-5℃"}}},
        QuantityCase{"COVID-19", {{"19", "", "19"}}},
        QuantityCase{"4mg-6mg", {{"4~6", "mg", "4mg-6mg"}}},
        QuantityCase{"5mg-10g", {{"5", "mg", "5mg"}, {"10", "g", "10g"}}},
        QuantityCase{"５ｍｇ ٣μg", {{"5", "mg", "５ｍｇ"}, {"3", "μg", "٣μg"}}},
        QuantityCase{"2 mg/kg/d", {{"2", "mg/kg/d", "2 mg/kg/d"}}},
        QuantityCase{"10⁹/L", {{"10^9", "/L", "10⁹/L"}}},
        QuantityCase{"CD4 T2 5G", {{"4", "", "4"}, {"2", "", "2"}, {"5", "", "5"}}},
        QuantityCase{"5LDL 3 Gy", {{"5", "", "5"}, {"3", "", "3"}}}));

TEST(RiskLabel, NamesEachKindAndAnEmptySide) {
  EXPECT_EQ(risk_label({RiskKind::number, "5 mg", "50 mg"}), "数值改动 5 mg → 50 mg");
  EXPECT_EQ(risk_label({RiskKind::unit, "", "g"}), "单位改动 （无） → g");
  EXPECT_EQ(risk_label({RiskKind::negation, "不", ""}), "否定改动 不 → （无）");
  EXPECT_EQ(risk_label({RiskKind::side, "左肺", "右肺"}), "左右改动 左肺 → 右肺");
}

TEST(RiskShown, LongStretchesAreCut) {
  std::string tail(40, 'x');
  std::vector<Risk> r = medical_risks("不" + tail, tail);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].before, "不xxxx");
  std::string clause(30, 'y');
  r = medical_risks("a，" + clause + "不", "a，b");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].before, clause.substr(0, 20) + "…");
  EXPECT_EQ(r[0].after, "b");
}
