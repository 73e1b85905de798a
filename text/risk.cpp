#include "text/risk.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <unordered_map>
#include <utility>

#include "text/unicode.h"
#include "text/unicode_tables.h"  // generated at build time

namespace brivane::text {

namespace {

namespace uni = unicode;
using u32 = std::u32string_view;

// ---------------------------------------------------------------------------
// Decoded text: code points with full-width ASCII folded ("５ｍｇ" reads as
// "5mg"), and where each starts, so items are shown as written.

char32_t fold(char32_t cp) {
  if (cp >= 0xFF01 && cp <= 0xFF5E) return cp - 0xFEE0;
  switch (cp) {
    case 0x00B5: return 0x03BC;  // micro sign: the Greek letter
    case 0x2212: return U'-';
    case 0x301C: return U'~';
    case 0x2014: return 0x2013;  // em dash: en dash
    default: return cp;
  }
}

struct Doc {
  std::string_view src;
  std::vector<char32_t> c;
  std::vector<std::size_t> off;  // one more than c
  std::size_t size() const { return c.size(); }
  char32_t at(std::size_t i) const { return i < c.size() ? c[i] : 0; }
  std::string_view text(std::size_t b, std::size_t e) const {
    return src.substr(off[b], off[e] - off[b]);
  }
};

Doc read(std::string_view s) {
  Doc d;
  d.src = s;
  d.c.reserve(s.size());
  d.off.reserve(s.size() + 1);
  for (std::size_t pos = 0; pos < s.size();) {
    uni::Decoded dc = uni::decode(s, pos);
    d.c.push_back(fold(dc.cp));
    d.off.push_back(pos);
    pos += dc.len;
  }
  d.off.push_back(s.size());
  return d;
}

bool ascii_letter(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }

// Value of a decimal digit ("\d", any script), -1 for anything else. Every
// Nd range runs 0..9 in order, some several times over.
int arabic_digit(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c < 0x80 || !uni::is_decimal(c)) return -1;
  const auto &t = uni::tables::kDecimal;
  const auto *r = std::upper_bound(std::begin(t), std::end(t), c,
                                   [](char32_t v, const auto &range) { return v < range.lo; });
  return static_cast<int>((c - (r - 1)->lo) % 10);
}

int superscript_digit(char32_t c) {
  switch (c) {
    case 0x2070: return 0;
    case 0x00B9: return 1;
    case 0x00B2: return 2;
    case 0x00B3: return 3;
    default: return c >= 0x2074 && c <= 0x2079 ? static_cast<int>(c - 0x2070) : -1;
  }
}

int cn_digit(char32_t c) {
  switch (c) {
    case U'零': case U'〇': return 0;
    case U'一': return 1;
    case U'二': case U'两': return 2;
    case U'三': return 3;
    case U'四': return 4;
    case U'五': return 5;
    case U'六': return 6;
    case U'七': return 7;
    case U'八': return 8;
    case U'九': return 9;
    default: return -1;
  }
}

std::uint64_t cn_mult(char32_t c) {
  switch (c) {
    case U'十': return 10;
    case U'百': return 100;
    case U'千': return 1000;
    case U'万': return 10000;
    case U'亿': return 100000000;
    default: return 0;
  }
}

bool numeral(char32_t c) { return arabic_digit(c) >= 0 || cn_digit(c) >= 0 || c == U'十'; }

bool is_space(char32_t c) { return uni::space_code(c); }

// Where a clause ends, for the context shown around a negation.
bool is_break(char32_t c) {
  if (is_space(c)) return true;
  static constexpr u32 kBreaks = U",;:!?\"'()[]，。；：！？、“”‘’（）【】《》「」…";
  return kBreaks.find(c) != u32::npos;
}

std::size_t skip_spaces(const Doc &d, std::size_t i) {
  while (i < d.size() && is_space(d.c[i])) ++i;
  return i;
}

// ---------------------------------------------------------------------------
// Small fixed word lists, looked up by first character, longest word first.

enum : unsigned {
  kLatin = 1,          // not followed by an ASCII letter
  kUnlessNumeral = 2,  // not followed by a numeral
  kLateral = 4,        // side word: left, right, both, one (not up or down)
  kWithSide = 8,       // side word holding 侧: a side without an organ
  kLateralOnly = 16,   // organ: a side only after a lateral word ("左手", not "下手")
  kDenominator = 32,   // unit: only after "/" ("次/分")
};

struct Word {
  u32 w;
  std::string_view canon;
  u32 not_before;
  unsigned flags;
};

class Lexicon {
 public:
  template <std::size_t N>
  explicit Lexicon(const Word (&words)[N]) {
    for (const Word &w : words) sorted_.push_back(&w);
    std::sort(sorted_.begin(), sorted_.end(), [](const Word *a, const Word *b) {
      if (a->w[0] != b->w[0]) return a->w[0] < b->w[0];
      return a->w.size() > b->w.size();
    });
  }

  // The longest word at d[i] whose conditions on the next character hold.
  const Word *at(const Doc &d, std::size_t i, unsigned exclude = 0) const {
    if (i >= d.size()) return nullptr;
    char32_t first = d.c[i];
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), first,
                               [](const Word *w, char32_t c) { return w->w[0] < c; });
    for (; it != sorted_.end() && (*it)->w[0] == first; ++it) {
      const Word &w = **it;
      if (w.flags & exclude) continue;
      if (d.size() - i < w.w.size()) continue;
      if (!std::equal(w.w.begin(), w.w.end(), d.c.begin() + static_cast<std::ptrdiff_t>(i)))
        continue;
      char32_t next = d.at(i + w.w.size());
      if ((w.flags & kLatin) && ascii_letter(next)) continue;
      if ((w.flags & kUnlessNumeral) && numeral(next)) continue;
      if (next && w.not_before.find(next) != u32::npos) continue;
      return &w;
    }
    return nullptr;
  }

 private:
  std::vector<const Word *> sorted_;
};

// Words whose numerals are no quantity.
const Word kNumberMasks[] = {
    {U"一些", "", U"", 0}, {U"一般", "", U"", 0}, {U"一样", "", U"", 0},
    {U"一直", "", U"", 0}, {U"一定", "", U"", 0}, {U"一旦", "", U"", 0},
    {U"一起", "", U"", 0}, {U"一下", "", U"", 0}, {U"一切", "", U"", 0},
    {U"一致", "", U"", 0}, {U"一律", "", U"", 0}, {U"一同", "", U"", 0},
    {U"一再", "", U"", 0}, {U"一向", "", U"", 0}, {U"一边", "", U"", 0},
    {U"一面", "", U"", 0}, {U"一方面", "", U"", 0}, {U"一时", "", U"", 0},
    {U"一会", "", U"", 0}, {U"一共", "", U"", 0}, {U"一概", "", U"", 0},
    {U"一贯", "", U"", 0}, {U"一番", "", U"", 0}, {U"一阵", "", U"", 0},
    {U"一连", "", U"", 0}, {U"一经", "", U"", 0}, {U"一齐", "", U"", 0},
    {U"一并", "", U"", 0}, {U"一旁", "", U"", 0}, {U"一开始", "", U"", 0},
    {U"一部分", "", U"", 0}, {U"一系列", "", U"", 0}, {U"一体", "", U"", 0},
    {U"一味", "", U"", 0}, {U"一心", "", U"", 0}, {U"一过性", "", U"", 0},
    {U"一次性", "", U"", 0}, {U"一目了然", "", U"", 0}, {U"一模一样", "", U"", 0},
    {U"一种", "", U"", 0}, {U"一点", "", U"半", kUnlessNumeral},
    // The indefinite "a": still a quantity before a duration or a half.
    {U"一个", "", U"半月小星周疗单", 0},
    {U"统一", "", U"", 0}, {U"唯一", "", U"", 0}, {U"万一", "", U"", 0},
    {U"同一", "", U"", 0}, {U"单一", "", U"", 0}, {U"专一", "", U"", 0},
    {U"之一", "", U"", 0}, {U"不一", "", U"", 0}, {U"逐一", "", U"", 0},
    {U"一一", "", U"", 0}, {U"划一", "", U"", 0}, {U"这一", "", U"", 0},
    {U"那一", "", U"", 0}, {U"每一", "", U"", 0}, {U"哪一", "", U"", 0},
    {U"差一点", "", U"", 0}, {U"下一", "", U"", 0}, {U"上一", "", U"", 0}, {U"千万", "", U"", 0}, {U"万万", "", U"", 0},
    {U"十分", "", U"钟之", 0}, {U"十足", "", U"", 0}, {U"十字", "", U"", 0},
    {U"十全大补", "", U"", 0}, {U"十二指肠", "", U"", 0}, {U"二尖瓣", "", U"", 0},
    {U"三尖瓣", "", U"", 0}, {U"二头肌", "", U"", 0}, {U"三头肌", "", U"", 0},
    {U"四头肌", "", U"", 0}, {U"三叉神经", "", U"", 0}, {U"三角", "", U"", 0},
    {U"四肢", "", U"", 0}, {U"五官", "", U"", 0}, {U"五脏", "", U"", 0},
    {U"六腑", "", U"", 0}, {U"二便", "", U"", 0}, {U"二甲双胍", "", U"", 0},
    {U"二聚体", "", U"", 0}, {U"甘油三酯", "", U"", 0}, {U"三酰甘油", "", U"", 0},
    {U"三焦", "", U"", 0}, {U"八纲", "", U"", 0}, {U"七情", "", U"", 0},
    {U"六淫", "", U"", 0}, {U"五行", "", U"", 0}, {U"足三里", "", U"", 0},
    {U"三阴交", "", U"", 0}, {U"四君子", "", U"", 0}, {U"四物汤", "", U"", 0},
    {U"二陈汤", "", U"", 0}, {U"八珍汤", "", U"", 0}, {U"六味地黄", "", U"", 0},
    {U"五苓散", "", U"", 0}, {U"零星", "", U"", 0}, {U"零散", "", U"", 0},
    {U"零食", "", U"", 0}, {U"半月板", "", U"", 0}, {U"半规管", "", U"", 0},
    {U"半衰期", "", U"", 0}, {U"半胱氨酸", "", U"", 0}, {U"半乳糖", "", U"", 0},
    {U"半抗原", "", U"", 0}, {U"半身", "", U"", 0}, {U"半边", "", U"", 0},
    {U"半夜", "", U"", 0}, {U"半透", "", U"", 0}, {U"半卧", "", U"", 0},
    {U"半坐", "", U"", 0}, {U"半径", "", U"", 0}, {U"半岛", "", U"", 0},
    {U"半导体", "", U"", 0}, {U"大半", "", U"", 0}, {U"多半", "", U"", 0},
    {U"百分比", "", U"", 0},
};

// Units after a number, with one canonical spelling per unit.
const Word kUnits[] = {
    {U"mg", "mg", U"", kLatin}, {U"g", "g", U"", kLatin}, {U"kg", "kg", U"", kLatin},
    {U"Kg", "kg", U"", kLatin}, {U"KG", "kg", U"", kLatin}, {U"μg", "μg", U"", kLatin},
    {U"ug", "μg", U"", kLatin}, {U"mcg", "μg", U"", kLatin}, {U"ng", "ng", U"", kLatin},
    {U"ml", "ml", U"", kLatin}, {U"mL", "ml", U"", kLatin}, {U"ML", "ml", U"", kLatin},
    {U"Ml", "ml", U"", kLatin}, {U"cc", "ml", U"", kLatin}, {U"L", "L", U"", kLatin},
    {U"dL", "dL", U"", kLatin}, {U"dl", "dL", U"", kLatin}, {U"mmol", "mmol", U"", kLatin},
    {U"μmol", "μmol", U"", kLatin}, {U"umol", "μmol", U"", kLatin},
    {U"mol", "mol", U"", kLatin}, {U"mEq", "mEq", U"", kLatin}, {U"IU", "IU", U"", kLatin},
    {U"U", "U", U"", kLatin}, {U"mmHg", "mmHg", U"", kLatin}, {U"mmhg", "mmHg", U"", kLatin},
    {U"kPa", "kPa", U"", kLatin}, {U"cmH2O", "cmH2O", U"", kLatin},
    {U"bpm", "次/min", U"", kLatin}, {U"cm", "cm", U"", kLatin}, {U"mm", "mm", U"", kLatin},
    {U"kcal", "kcal", U"", kLatin}, {U"min", "min", U"", kLatin}, {U"h", "h", U"", kLatin},
    {U"d", "d", U"", kLatin}, {U"%", "%", U"", 0}, {U"‰", "‰", U"", 0},
    {U"℃", "℃", U"", 0}, {U"°C", "℃", U"", kLatin}, {U"°", "℃", U"", 0},
    {U"毫克", "mg", U"", 0}, {U"克", "g", U"服隆", 0}, {U"千克", "kg", U"", 0},
    {U"公斤", "kg", U"", 0}, {U"微克", "μg", U"", 0}, {U"纳克", "ng", U"", 0},
    {U"毫升", "ml", U"", 0}, {U"升", "L", U"高至到为级压糖", 0}, {U"分升", "dL", U"", 0},
    {U"毫摩尔", "mmol", U"", 0}, {U"微摩尔", "μmol", U"", 0}, {U"摩尔", "mol", U"", 0},
    {U"国际单位", "IU", U"", 0}, {U"单位", "U", U"", 0}, {U"毫米汞柱", "mmHg", U"", 0},
    {U"千帕", "kPa", U"", 0}, {U"厘米水柱", "cmH2O", U"", 0},
    // A lecture's "39度" is the "39℃" a corrected line writes.
    {U"度", "℃", U"过", 0}, {U"摄氏度", "℃", U"", 0},
    {U"次", "次", U"要序数级", 0}, {U"片", "片", U"子刻", 0}, {U"粒", "粒", U"细子", 0},
    {U"支", "支", U"气持架配原", 0}, {U"厘米", "cm", U"", 0}, {U"公分", "cm", U"", 0},
    {U"毫米", "mm", U"", 0}, {U"千卡", "kcal", U"", 0}, {U"大卡", "kcal", U"", 0},
    {U"秒", "s", U"", 0}, {U"分钟", "min", U"", 0}, {U"小时", "h", U"", 0},
    {U"天", "d", U"", 0}, {U"日", "d", U"", 0}, {U"周", "周", U"围期", 0},
    {U"星期", "周", U"", 0}, {U"个月", "月", U"", 0}, {U"月", "月", U"经", 0},
    {U"年", "年", U"龄级", 0}, {U"岁", "岁", U"", 0},
    {U"分", "min", U"", kDenominator},
};

const Word kNegationMasks[] = {
    {U"非常", "", U"", 0},   {U"是否", "", U"", 0},   {U"能否", "", U"", 0},
    {U"可否", "", U"", 0},   {U"与否", "", U"", 0},   {U"否则", "", U"", 0},
    {U"无论", "", U"", 0},   {U"不论", "", U"", 0},   {U"不管", "", U"", 0},
    {U"不仅", "", U"", 0},   {U"不但", "", U"", 0},   {U"不过", "", U"", 0},
    {U"不断", "", U"", 0},   {U"不久", "", U"", 0},   {U"未来", "", U"", 0},
    {U"不同", "", U"", 0},   {U"不少", "", U"", 0},   {U"不得不", "", U"", 0},
    {U"无不", "", U"", 0},   {U"非得", "", U"", 0},   {U"除非", "", U"", 0},
    {U"无非", "", U"", 0},   {U"莫非", "", U"", 0},   {U"不禁", "", U"", 0},
    {U"不免", "", U"", 0},   {U"未免", "", U"", 0},   {U"不然", "", U"", 0},
    {U"不如", "", U"", 0},   {U"不止", "", U"", 0},   {U"不停", "", U"", 0},
    {U"不光", "", U"", 0},   {U"不只", "", U"", 0},   {U"有无", "", U"", 0},
    {U"差不多", "", U"", 0}, {U"非甾体", "", U"", 0}, {U"忍不住", "", U"", 0},
    {U"禁不住", "", U"", 0}, {U"了不起", "", U"", 0}, {U"不得了", "", U"", 0},
    {U"不一会", "", U"", 0},
    // A-not-A questions ask; they deny nothing.
    {U"是不是", "", U"", 0}, {U"有没有", "", U"", 0}, {U"能不能", "", U"", 0},
    {U"会不会", "", U"", 0}, {U"对不对", "", U"", 0}, {U"好不好", "", U"", 0},
    {U"要不要", "", U"", 0}, {U"可不可以", "", U"", 0}, {U"用不用", "", U"", 0},
};

constexpr u32 kNegators = U"不无未非没否勿禁";

const Word kSideWords[] = {
    {U"左侧", "左", U"", kLateral | kWithSide}, {U"右侧", "右", U"", kLateral | kWithSide},
    {U"双侧", "双", U"", kLateral | kWithSide}, {U"两侧", "双", U"", kLateral | kWithSide},
    {U"单侧", "单", U"", kLateral | kWithSide}, {U"一侧", "单", U"", kLateral | kWithSide},
    {U"患侧", "患", U"", kLateral | kWithSide}, {U"健侧", "健", U"", kLateral | kWithSide},
    {U"对侧", "对", U"", kLateral | kWithSide}, {U"同侧", "同", U"", kLateral | kWithSide},
    {U"左", "左", U"", kLateral},  {U"右", "右", U"", kLateral},
    {U"双", "双", U"", kLateral},  {U"两", "双", U"", kLateral},
    {U"单", "单", U"", kLateral},  {U"上", "上", U"", 0},
    {U"下", "下", U"", 0},
};

// "上"/"下" here are no side: "以下", "下一".
const Word kSideMasks[] = {
    {U"一下", "", U"", 0}, {U"以下", "", U"", 0}, {U"以上", "", U"", 0},
    {U"之下", "", U"", 0}, {U"之上", "", U"", 0}, {U"下一", "", U"", 0},
    {U"上一", "", U"", 0},
};

const Word kOrgans[] = {
    {U"肺", "肺", U"", 0},           {U"肺部", "肺", U"", 0},
    {U"叶", "叶", U"", 0},           {U"肢", "肢", U"", 0},
    {U"肢体", "肢", U"", 0},         {U"肾", "肾", U"", 0},
    {U"肾脏", "肾", U"", 0},         {U"肾上腺", "肾上腺", U"", 0},
    {U"腹", "腹", U"", 0},           {U"腹部", "腹", U"", 0},
    {U"腹股沟", "腹股沟", U"", 0},   {U"肝", "肝", U"", 0},
    {U"肝脏", "肝", U"", 0},         {U"心室", "心室", U"", 0},
    {U"心房", "心房", U"", 0},       {U"眼", "眼", U"", 0},
    {U"眼睛", "眼", U"", 0},         {U"眼睑", "眼睑", U"", 0},
    {U"睑", "眼睑", U"", 0},         {U"耳", "耳", U"", 0},
    {U"臂", "臂", U"", 0},           {U"腿", "腿", U"", 0},
    {U"乳", "乳", U"", 0},           {U"乳房", "乳", U"", 0},
    {U"乳腺", "乳", U"", 0},         {U"颌", "颌", U"", 0},
    {U"唇", "唇", U"", 0},           {U"胸", "胸", U"", 0},
    {U"胸部", "胸", U"", 0},         {U"胸腔", "胸", U"", 0},
    {U"肩", "肩", U"", 0},           {U"肩部", "肩", U"", 0},
    {U"肩胛", "肩胛", U"", 0},       {U"膝", "膝", U"", 0},
    {U"膝关节", "膝", U"", 0},       {U"髋", "髋", U"", 0},
    {U"髋关节", "髋", U"", 0},       {U"踝", "踝", U"", 0},
    {U"腕", "腕", U"", 0},           {U"肘", "肘", U"", 0},
    {U"颈", "颈", U"", 0},           {U"颈部", "颈", U"", 0},
    {U"颈动脉", "颈动脉", U"", 0},   {U"腰", "腰", U"", 0},
    {U"腰部", "腰", U"", 0},         {U"肋", "肋", U"", 0},
    {U"极", "极", U"", 0},           {U"段", "段", U"", 0},
    {U"缘", "缘", U"", 0},           {U"壁", "壁", U"", 0},
    {U"腔静脉", "腔静脉", U"", 0},   {U"消化道", "消化道", U"", 0},
    {U"呼吸道", "呼吸道", U"", 0},   {U"尿路", "尿路", U"", 0},
    {U"输尿管", "输尿管", U"", 0},   {U"卵巢", "卵巢", U"", 0},
    {U"附件", "附件", U"", 0},       {U"睾丸", "睾丸", U"", 0},
    {U"束支", "束支", U"", 0},       {U"冠状动脉", "冠状动脉", U"", 0},
    {U"冠脉", "冠状动脉", U"", 0},   {U"支气管", "支气管", U"", 0},
    {U"主支气管", "主支气管", U"", 0}, {U"锁骨", "锁骨", U"", 0},
    {U"髂", "髂", U"", 0},           {U"象限", "象限", U"", 0},
    {U"牙", "牙", U"", 0},           {U"瞳孔", "瞳孔", U"", 0},
    {U"扁桃体", "扁桃体", U"", 0},   {U"半球", "半球", U"", 0},
    {U"半身", "半身", U"", 0},
    {U"心", "心", U"", kLateralOnly}, {U"室", "心室", U"", kLateralOnly},
    {U"房", "心房", U"", kLateralOnly}, {U"手", "手", U"术段法续册机", kLateralOnly},
    {U"足", "足", U"够", kLateralOnly}, {U"脚", "足", U"", kLateralOnly},
    {U"脑", "脑", U"", kLateralOnly},
};

const Lexicon &number_masks() {
  static const Lexicon lex(kNumberMasks);
  return lex;
}
const Lexicon &units() {
  static const Lexicon lex(kUnits);
  return lex;
}
const Lexicon &negation_masks() {
  static const Lexicon lex(kNegationMasks);
  return lex;
}
const Lexicon &side_words() {
  static const Lexicon lex(kSideWords);
  return lex;
}
const Lexicon &side_masks() {
  static const Lexicon lex(kSideMasks);
  return lex;
}
const Lexicon &organs() {
  static const Lexicon lex(kOrgans);
  return lex;
}

bool at_word(const Doc &d, std::size_t i, u32 w) {
  if (d.size() - std::min(i, d.size()) < w.size()) return false;
  return std::equal(w.begin(), w.end(), d.c.begin() + static_cast<std::ptrdiff_t>(i));
}

// ---------------------------------------------------------------------------
// Items: spans of the text with a comparison key.

struct Found {
  std::size_t b, e;
  std::string key;
};

// A side (or run of sides) with the organ it qualifies: "右上腹", "双侧".
std::size_t side_at(const Doc &d, std::size_t i, std::string *key) {
  std::size_t j = i;
  std::string sides;
  bool lateral = false, with_side = false;
  for (int n = 0; n < 4; ++n) {
    const Word *w = side_words().at(d, j);
    if (!w) break;
    sides += w->canon;
    lateral |= (w->flags & kLateral) != 0;
    with_side |= (w->flags & kWithSide) != 0;
    j += w->w.size();
  }
  if (j == i) return 0;
  const Word *organ = organs().at(d, j, lateral ? 0u : unsigned{kLateralOnly});
  if (!organ && !with_side) return 0;
  if (key) {
    *key = sides + "|";
    if (organ) *key += organ->canon;
  }
  return j + (organ ? organ->w.size() : 0) - i;
}

std::vector<Found> sides(const Doc &d) {
  std::vector<Found> out;
  for (std::size_t i = 0; i < d.size();) {
    if (const Word *m = side_masks().at(d, i)) {
      i += m->w.size();
      continue;
    }
    std::string key;
    if (std::size_t len = side_at(d, i, &key)) {
      out.push_back({i, i + len, std::move(key)});
      i += len;
      continue;
    }
    ++i;
  }
  return out;
}

std::vector<Found> negations(const Doc &d) {
  std::vector<Found> out;
  for (std::size_t i = 0; i < d.size();) {
    if (const Word *m = negation_masks().at(d, i)) {
      i += m->w.size();
      continue;
    }
    if (kNegators.find(d.c[i]) != u32::npos) {
      out.push_back({i, i + 1, ""});
    } else if (at_word(d, i, U"阴性")) {
      out.push_back({i, i + 2, ""});
      i += 2;
      continue;
    }
    ++i;
  }
  return out;
}

// --- numbers ---------------------------------------------------------------

// A decimal as compared: no leading zeros, no trailing fraction zeros, no
// sign on zero ("0.50" = "0.5", "05" = "5").
std::string decimal(bool neg, std::string_view ip, std::string_view fp) {
  while (ip.size() > 1 && ip[0] == '0') ip.remove_prefix(1);
  while (!fp.empty() && fp.back() == '0') fp.remove_suffix(1);
  if (ip.empty()) ip = "0";
  std::string out;
  if (neg && !(ip == "0" && fp.empty())) out += '-';
  out.append(ip);
  if (!fp.empty()) out.append(".").append(fp);
  return out;
}

struct Atom {
  std::size_t b = 0, e = 0;
  std::string key;
  bool plain = false;       // one value: may start or end a range
  bool whole = false;       // a non-negative integer: may take "半"
  bool arabic_int = false;  // Arabic digits only: may be a "p/q" part
};

std::optional<Atom> arabic_at(const Doc &d, std::size_t i) {
  Atom a;
  a.b = i;
  std::size_t j = i;
  std::string ip, fp, ex;
  for (int v; (v = arabic_digit(d.at(j))) >= 0; ++j) ip += static_cast<char>('0' + v);
  if (ip.empty()) return std::nullopt;
  // Thousands: "10,000".
  if (ip.size() <= 3) {
    while (d.at(j) == U',' && arabic_digit(d.at(j + 1)) >= 0 && arabic_digit(d.at(j + 2)) >= 0 &&
           arabic_digit(d.at(j + 3)) >= 0 && arabic_digit(d.at(j + 4)) < 0) {
      for (std::size_t k = 1; k <= 3; ++k) ip += static_cast<char>('0' + arabic_digit(d.at(j + k)));
      j += 4;
    }
  }
  bool sep = false;
  if ((d.at(j) == U'.' || d.at(j) == U'点') && arabic_digit(d.at(j + 1)) >= 0) {
    for (++j; arabic_digit(d.at(j)) >= 0; ++j) fp += static_cast<char>('0' + arabic_digit(d.at(j)));
    sep = true;
  }
  if (d.at(j) == U'^' && arabic_digit(d.at(j + 1)) >= 0) {
    for (++j; arabic_digit(d.at(j)) >= 0; ++j) ex += static_cast<char>('0' + arabic_digit(d.at(j)));
  } else {
    for (int v; (v = superscript_digit(d.at(j))) >= 0; ++j) ex += static_cast<char>('0' + v);
  }
  std::size_t shift = 0;
  if (ex.empty()) {
    char32_t m = d.at(j), next = d.at(j + 1);
    if (m == U'万') shift = 4;
    if (m == U'亿') shift = 8;
    if (m == U'千' && u32(U"克米卡帕").find(next) == u32::npos) shift = 3;
    if (m == U'百' && next != U'分') shift = 2;
    if (shift) ++j;
  }
  if (shift) {
    std::string digits = ip + fp;
    std::size_t point = ip.size() + shift;
    if (digits.size() < point) digits.append(point - digits.size(), '0');
    ip = digits.substr(0, point);
    fp = digits.substr(point);
  }
  a.e = j;
  a.key = decimal(false, ip, fp);
  if (!ex.empty()) a.key += "^" + decimal(false, ex, "");
  a.plain = true;
  a.whole = fp.find_first_not_of('0') == std::string::npos && ex.empty();
  a.arabic_int = !sep && !shift && ex.empty();
  return a;
}

bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t &out) {
  return !__builtin_mul_overflow(a, b, &out);
}
bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t &out) {
  return !__builtin_add_overflow(a, b, &out);
}

struct CnToken {
  bool mult;
  std::uint64_t v;
};

// Value of a Chinese numeral with multipliers: "二十五", "一百零五",
// "三亿五千万"; the spoken "一百五" is 150 and "三万五" 35000.
bool cn_value(const CnToken *t, std::size_t n, std::uint64_t &out) {
  std::uint64_t result = 0, section = 0, number = 0, lead_mult = 0;
  bool prev_digit = false, zero = false;
  for (std::size_t k = 0; k < n; ++k) {
    if (!t[k].mult) {
      if (prev_digit) {
        if (!checked_mul(number, 10, number) || !checked_add(number, t[k].v, number)) return false;
      } else {
        number = t[k].v;
        lead_mult = k > 0 && t[k - 1].mult ? t[k - 1].v : 0;
      }
      zero |= t[k].v == 0;
      prev_digit = true;
      continue;
    }
    std::uint64_t m = t[k].v, unit = prev_digit ? number : 1, part;
    if (m < 10000) {
      if (!checked_mul(unit, m, part) || !checked_add(section, part, section)) return false;
    } else if (m == 10000) {
      if (!checked_add(section, prev_digit ? number : 0, part)) return false;
      if (part == 0) part = 1;
      if (!checked_mul(part, m, part) || !checked_add(result, part, result)) return false;
      section = 0;
    } else {
      if (!checked_add(result, section, part) || !checked_add(part, prev_digit ? number : 0, part))
        return false;
      if (part == 0) part = 1;
      if (!checked_mul(part, m, result)) return false;
      section = 0;
    }
    number = 0;
    prev_digit = false;
  }
  if (prev_digit && lead_mult >= 100 && !zero) {
    if (!checked_mul(number, lead_mult / 10, number)) return false;
  }
  return checked_add(result, section, out) && checked_add(out, number, out);
}

std::optional<Atom> chinese_at(const Doc &d, std::size_t i) {
  if (cn_digit(d.at(i)) < 0 && d.at(i) != U'十') return std::nullopt;
  std::vector<CnToken> t;
  std::size_t j = i;
  bool any_mult = false;
  for (;; ++j) {
    char32_t c = d.at(j);
    if (int v = cn_digit(c); v >= 0) {
      t.push_back({false, static_cast<std::uint64_t>(v)});
    } else if (std::uint64_t m = cn_mult(c)) {
      if (c == U'千' && u32(U"克米卡帕").find(d.at(j + 1)) != u32::npos) break;
      t.push_back({true, m});
      any_mult = true;
    } else {
      break;
    }
  }
  Atom a;
  a.b = i;
  a.e = j;
  auto consecutive = [&](std::size_t k) {
    return !t[k].mult && !t[k + 1].mult && t[k].v >= 1 && t[k + 1].v == t[k].v + 1;
  };
  std::size_t n = t.size();
  if (!any_mult) {
    if (n == 2 && consecutive(0)) {
      a.key = std::to_string(t[0].v) + "~" + std::to_string(t[1].v);  // "两三天"
      return a;
    }
    std::string digits;
    for (const CnToken &k : t) digits += static_cast<char>('0' + k.v);  // "二零二三"
    a.key = decimal(false, digits, "");
  } else if (n == 3 && consecutive(0) && t[2].mult && t[2].v <= 10000) {
    // "三四十": 30 to 40.
    a.key = std::to_string(t[0].v * t[2].v) + "~" + std::to_string(t[1].v * t[2].v);
    return a;
  } else if (n >= 3 && consecutive(n - 2) && t[n - 3].mult) {
    // "二十三四": 23 to 24.
    std::vector<CnToken> low(t.begin(), t.end() - 1), high(t.begin(), t.end() - 2);
    high.push_back(t[n - 1]);
    std::uint64_t lo, hi;
    if (!cn_value(low.data(), low.size(), lo) || !cn_value(high.data(), high.size(), hi)) {
      a.key = "=" + std::string(d.text(i, j));
    } else {
      a.key = std::to_string(lo) + "~" + std::to_string(hi);
    }
    return a;
  } else {
    std::uint64_t v;
    // Beyond 2^64 only the words themselves can be compared.
    a.key = cn_value(t.data(), n, v) ? std::to_string(v) : "=" + std::string(d.text(i, j));
  }
  a.plain = true;
  a.whole = true;
  // "三点五": a decimal read digit by digit.
  if (d.at(j) == U'点' && cn_digit(d.at(j + 1)) >= 0 && a.key[0] != '=') {
    std::string fp;
    for (++j; cn_digit(d.at(j)) >= 0; ++j) fp += static_cast<char>('0' + cn_digit(d.at(j)));
    a.e = j;
    a.key = decimal(false, a.key, fp);
    a.whole = false;
  }
  return a;
}

int roman_value(char32_t c) {
  if (c == U'I') return 1;
  if (c == U'V') return 5;
  if (c == U'X') return 10;
  return 0;
}

// "Ⅱ型", and the ASCII "II型" before a grade or type word only.
std::optional<Atom> roman_at(const Doc &d, std::size_t i) {
  char32_t c = d.at(i);
  Atom a;
  a.b = i;
  a.plain = a.whole = true;
  if ((c >= 0x2160 && c <= 0x216B) || (c >= 0x2170 && c <= 0x217B)) {
    a.e = i + 1;
    a.key = std::to_string((c & 0xF) + 1);
    return a;
  }
  if (!roman_value(c) || (i > 0 && ascii_letter(d.at(i - 1)))) return std::nullopt;
  std::size_t j = i;
  while (j - i < 4 && roman_value(d.at(j))) ++j;
  if (u32(U"型度期级类").find(d.at(j)) == u32::npos) return std::nullopt;
  int v = 0;
  for (std::size_t k = i; k < j; ++k) {
    int x = roman_value(d.at(k));
    v += (k + 1 < j && x < roman_value(d.at(k + 1))) ? -x : x;
  }
  if (v <= 0) return std::nullopt;
  a.e = j;
  a.key = std::to_string(v);
  return a;
}

std::optional<Atom> atom_at(const Doc &d, std::size_t i) {
  char32_t c = d.at(i);
  if (arabic_digit(c) >= 0) return arabic_at(d, i);
  if (cn_digit(c) >= 0 || c == U'十') return chinese_at(d, i);
  if (c == U'半') {
    Atom a;
    a.b = i;
    a.e = i + 1;
    a.key = "0.5";
    a.plain = true;
    return a;
  }
  return roman_at(d, i);
}

bool is_one_of(std::string_view s, std::initializer_list<std::string_view> set) {
  return std::find(set.begin(), set.end(), s) != set.end();
}

struct Unit {
  std::size_t b, e;
  std::string canon;
};

// A unit right after a number: "mg", "毫克", "mg/kg/d", "次/分", "个小时".
std::optional<Unit> unit_at(const Doc &d, std::size_t i) {
  std::size_t j = skip_spaces(d, i);
  Unit u{j, j, ""};
  const Word *w = units().at(d, j, kDenominator);
  if (!w && d.at(j) == U'个') {
    w = units().at(d, j + 1, kDenominator | kLatin);
    if (w) ++j;
  }
  if (w) {
    u.canon = std::string(w->canon);
    u.e = j + w->w.size();
  } else if (d.at(j) != U'/') {
    return std::nullopt;  // "10^9/L" has a unit of "/L" only
  }
  for (;;) {
    char32_t c = d.at(u.e);
    if (c != U'/' && c != U'每') break;
    const Word *den = units().at(d, u.e + 1);
    if (!den) break;
    // "毫克每千克", "纳克每毫升", "次每分钟"; not "毫克每日", the schedule
    // that follows.
    if (c == U'每' && !is_one_of(den->canon, {"kg", "g", "L", "ml", "dL", "min", "h", "s"})) break;
    u.canon += "/" + std::string(den->canon);
    u.e += 1 + den->w.size();
  }
  if (u.e == u.b) return std::nullopt;
  return u;
}

struct Item {
  std::size_t b, e;
  std::string key;
  std::optional<Unit> unit;
};

bool connector_at(const Doc &d, std::size_t i, std::size_t &len) {
  char32_t c = d.at(i);
  if (c == U'-' || c == U'~' || c == U'至' || c == U'到') {
    len = 1;
    return true;
  }
  if (c == 0x2013) {
    len = d.at(i + 1) == 0x2013 ? 2 : 1;  // "——"
    return true;
  }
  return false;
}

// A quantity starting at d[i]: ordinal, sign, percent words, value, range or
// fraction, unit, and a trailing half ("一片半").
std::optional<Item> item_at(const Doc &d, std::size_t i, bool after_item) {
  std::size_t j = i;
  bool ordinal = false, neg = false;
  std::optional<Unit> pre;
  char32_t c = d.at(i);
  if (c == U'第') {
    ordinal = true;
    ++j;
  } else if (c == U'负' && numeral(d.at(i + 1))) {
    neg = true;
    ++j;
  } else if (c == U'-' && arabic_digit(d.at(i + 1)) >= 0 && !after_item &&
             !(i > 0 && (ascii_letter(d.at(i - 1)) || arabic_digit(d.at(i - 1)) >= 0 ||
                         d.at(i - 1) == U'.'))) {
    neg = true;
    ++j;
  } else if (at_word(d, i, U"百分之") || at_word(d, i, U"千分之")) {
    pre = Unit{i, i + 3, c == U'百' ? "%" : "‰"};
    j += 3;
  }
  std::optional<Atom> a = atom_at(d, j);
  if (!a) return std::nullopt;
  if (neg && a->plain && a->key != "0") {
    a->key = "-" + a->key;
    a->whole = false;
  }
  Item it{i, a->e, a->key, pre};
  bool single = a->plain;
  std::size_t k = a->e;
  // Fractions: "三分之一" is 1/3; "120/80" stays two numbers in one.
  if (at_word(d, k, U"分之")) {
    if (std::optional<Atom> num = atom_at(d, k + 2)) {
      it.key = num->key + "/" + a->key;
      it.e = k = num->e;
      single = false;
    }
  } else if (a->arabic_int && d.at(k) == U'/' && arabic_digit(d.at(k + 1)) >= 0) {
    std::optional<Atom> den = arabic_at(d, k + 1);
    if (den && den->arabic_int) {
      it.key = a->key + "/" + den->key;
      it.e = k = den->e;
      single = false;
    }
  }
  if (!it.unit) it.unit = unit_at(d, k);
  std::size_t after = it.unit ? std::max(it.unit->e, k) : k;
  // Ranges: "4-6", "4～6 mg", "4mg至6mg", "一到两次".
  std::size_t clen = 0;
  std::size_t cpos = skip_spaces(d, after);
  if (single && connector_at(d, cpos, clen)) {
    std::size_t b2 = skip_spaces(d, cpos + clen);
    bool neg2 = false;
    if (ordinal && d.at(b2) == U'第') ++b2;
    if ((d.at(b2) == U'-' && d.at(cpos) != U'-' && arabic_digit(d.at(b2 + 1)) >= 0) ||
        (d.at(b2) == U'负' && numeral(d.at(b2 + 1)))) {
      neg2 = true;
      ++b2;
    }
    std::optional<Atom> a2 = atom_at(d, b2);
    if (a2 && a2->plain && !at_word(d, a2->e, U"分之") && d.at(a2->e) != U'/') {
      std::optional<Unit> u2 = unit_at(d, a2->e);
      if (!(it.unit && u2 && it.unit->canon != u2->canon)) {
        std::string k2 = neg2 && a2->key != "0" ? "-" + a2->key : a2->key;
        it.key += "~" + k2;
        if (u2) it.unit = u2;
        k = a2->e;
        after = u2 ? u2->e : k;
        single = false;
      }
    }
  }
  // A half after a whole number: "一个半小时", "一片半", "三点半"; "一半" is 0.5.
  if (single && a->whole && !ordinal && !neg) {
    auto half_at = [&](std::size_t p) {
      return d.at(p) == U'半' && !number_masks().at(d, p);
    };
    if (!it.unit && half_at(k)) {
      if (a->e == a->b + 1 && d.at(a->b) == U'一') {
        it.key = "0.5";
        after = k + 1;
        it.unit = unit_at(d, after);
        if (it.unit) after = it.unit->e;
      }
    } else if (!it.unit && (d.at(k) == U'个' || d.at(k) == U'点') && half_at(k + 1)) {
      it.key += ".5";
      after = k + 2;
      it.unit = unit_at(d, after);
      if (it.unit) after = it.unit->e;
    } else if (it.unit && half_at(after)) {
      it.key += ".5";
      ++after;
    }
  }
  if (ordinal) it.key = "#" + it.key;
  it.e = after;
  return it;
}

// "每日", "每次", "每一天": one of that unit, as "一天三次" = "每日3次".
std::optional<Item> each_at(const Doc &d, std::size_t i) {
  if (d.at(i) != U'每') return std::nullopt;
  std::size_t j = i + 1;
  if (d.at(j) == U'一') ++j;
  if (d.at(j) == U'个') ++j;
  const Word *w = units().at(d, j, kDenominator | kLatin);
  if (!w || !is_one_of(w->canon, {"d", "周", "月", "年", "h", "min", "s", "次"})) return std::nullopt;
  std::size_t e = j + w->w.size();
  return Item{i, e, "1", Unit{j, e, std::string(w->canon)}};
}

// The mask words a text holds.
std::vector<const Word *> masks_in(const Doc &d) {
  std::vector<const Word *> found;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (const Word *m = number_masks().at(d, i)) {
      if (std::find(found.begin(), found.end(), m) == found.end()) found.push_back(m);
      i += m->w.size() - 1;
    }
  }
  return found;
}

// A mask word of the other text, garbled here in one character that is no
// numeral ("二尖辨" beside "二尖瓣"): its numerals are no quantity either.
const Word *garbled_mask_at(const Doc &d, std::size_t i, const std::vector<const Word *> &others) {
  for (const Word *m : others) {
    if (m->w.size() < 3 || d.size() - i < m->w.size() || d.c[i] != m->w[0]) continue;
    std::size_t differ = 0;
    for (std::size_t k = 0; k < m->w.size() && differ < 2; ++k) {
      char32_t c = d.c[i + k];
      if (c != m->w[k]) differ += numeral(c) || numeral(m->w[k]) ? 2 : 1;
    }
    if (differ == 1) return m;
  }
  return nullptr;
}

// `other_masks`: the mask words of the text this one is compared with.
std::vector<Item> items(const Doc &d, const std::vector<const Word *> &other_masks = {}) {
  std::vector<Item> out;
  bool after_item = false;
  for (std::size_t i = 0; i < d.size();) {
    if (std::optional<Item> it = each_at(d, i)) {
      i = it->e;
      out.push_back(std::move(*it));
      after_item = true;
      continue;
    }
    const Word *m = number_masks().at(d, i);
    if (!m) m = garbled_mask_at(d, i, other_masks);
    if (m) {
      i += m->w.size();
      after_item = false;
      continue;
    }
    // "两侧", "两肺", "一侧" are sides, not counts.
    if (d.c[i] == U'两' || d.c[i] == U'一') {
      if (std::size_t len = side_at(d, i, nullptr)) {
        i += len;
        after_item = false;
        continue;
      }
    }
    if (std::optional<Item> it = item_at(d, i, after_item)) {
      i = std::max(it->e, i + 1);
      out.push_back(std::move(*it));
      after_item = true;
      continue;
    }
    if (!is_space(d.c[i])) after_item = false;
    ++i;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Comparison.

// Which items of `a` are beyond `b`'s count of the same key (the first ones
// of a key are the matched ones, in either text alike).
std::vector<bool> unmatched(const std::vector<Found> &a, const std::vector<Found> &b) {
  std::unordered_map<std::string_view, std::size_t> left;
  for (const Found &f : b) ++left[f.key];
  std::vector<bool> out(a.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    auto it = left.find(a[k].key);
    if (it != left.end() && it->second > 0) {
      --it->second;
    } else {
      out[k] = true;
    }
  }
  return out;
}

constexpr std::string_view kJoin = "、";

void append_item(std::string &out, std::string_view s) {
  if (s.empty()) return;
  if (!out.empty()) out.append(kJoin);
  out.append(s);
}

// Shown as written, at most this many characters.
constexpr std::size_t kShownMax = 20;

std::string shown(const Doc &d, std::size_t b, std::size_t e) {
  if (e - b <= kShownMax) return std::string(d.text(b, e));
  return std::string(d.text(b, b + kShownMax)) + "…";
}

std::optional<Risk> compare(RiskKind kind, const Doc &da, const std::vector<Found> &a,
                            const Doc &db, const std::vector<Found> &b) {
  std::vector<bool> ua = unmatched(a, b), ub = unmatched(b, a);
  Risk r{kind, "", ""};
  bool any = false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (!ua[k]) continue;
    append_item(r.before, shown(da, a[k].b, a[k].e));
    any = true;
  }
  for (std::size_t k = 0; k < b.size(); ++k) {
    if (!ub[k]) continue;
    append_item(r.after, shown(db, b[k].b, b[k].e));
    any = true;
  }
  if (!any) return std::nullopt;
  return r;
}

struct Span {
  std::size_t b, e;
};

std::vector<Span> clauses(const Doc &d) {
  std::vector<Span> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= d.size(); ++i) {
    if (i == d.size() || is_break(d.c[i])) {
      if (i > start) out.push_back({start, i});
      start = i + 1;
    }
  }
  return out;
}

// Negation: only the count is compared ("不能" → "无法" is no change). What
// is shown is the changed stretch of each clause whose count differs,
// widened to the negating words it touches and a few characters after:
// "无明显压痛 → 有明显压痛".
std::optional<Risk> compare_negation(const Doc &da, const std::vector<Found> &a, const Doc &db,
                                     const std::vector<Found> &b) {
  if (a.size() == b.size()) return std::nullopt;
  std::vector<Span> ca = clauses(da), cb = clauses(db);
  std::vector<std::pair<Span, Span>> pairs;
  if (ca.size() == cb.size()) {
    for (std::size_t k = 0; k < ca.size(); ++k) pairs.push_back({ca[k], cb[k]});
  } else {
    pairs.push_back({{0, da.size()}, {0, db.size()}});
  }
  // Tokens in clause order, so each clause pair looks at its own.
  std::size_t ta = 0, tb = 0;
  Risk r{RiskKind::negation, "", ""};
  for (const auto &[sa, sb] : pairs) {
    std::size_t na = 0, nb = 0;
    std::size_t la = sa.e - sa.b, lb = sb.e - sb.b, p = 0, s = 0;
    while (p < la && p < lb && da.c[sa.b + p] == db.c[sb.b + p]) ++p;
    while (s < la - p && s < lb - p && da.c[sa.e - 1 - s] == db.c[sb.e - 1 - s]) ++s;
    Span ma{sa.b + p, sa.e - s}, mb{sb.b + p, sb.e - s};
    std::size_t left = 0, right = 0;
    auto widen = [&](const std::vector<Found> &t, std::size_t &ti, Span clause, Span mid,
                     std::size_t &count) {
      while (ti < t.size() && t[ti].b < clause.b) ++ti;
      for (; ti < t.size() && t[ti].e <= clause.e; ++ti) {
        ++count;
        const Found &f = t[ti];
        bool touches = mid.b < mid.e ? (f.b < mid.e && f.e > mid.b) : (f.b < mid.b && f.e > mid.b);
        if (!touches) continue;
        if (f.b < mid.b) left = std::max(left, mid.b - f.b);
        if (f.e > mid.e) right = std::max(right, f.e - mid.e);
      }
    };
    widen(a, ta, sa, ma, na);
    widen(b, tb, sb, mb, nb);
    if (na == nb) continue;
    std::size_t ctx = 0;
    while (ctx < 4 && right + ctx < s && !is_break(da.c[ma.e + right + ctx])) ++ctx;
    append_item(r.before, shown(da, ma.b - left, ma.e + right + ctx));
    append_item(r.after, shown(db, mb.b - left, mb.e + right + ctx));
  }
  if (r.before.empty() && r.after.empty()) {
    for (const Found &f : a) append_item(r.before, da.text(f.b, f.e));
    for (const Found &f : b) append_item(r.after, db.text(f.b, f.e));
  }
  return r;
}

// With `paired`, a number's key holds its unit too.
std::vector<Found> number_found(const std::vector<Item> &its, bool paired) {
  std::vector<Found> out;
  for (const Item &it : its) {
    out.push_back({it.b, it.e, it.key});
    if (paired && it.unit) out.back().key.append("\x1f").append(it.unit->canon);
  }
  return out;
}

std::vector<Found> unit_found(const std::vector<Item> &its) {
  std::vector<Found> out;
  for (const Item &it : its) {
    if (it.unit) out.push_back({it.unit->b, it.unit->e, it.unit->canon});
  }
  return out;
}

}  // namespace

std::vector<Risk> medical_risks(std::string_view sent, std::string_view written) {
  std::vector<Risk> out;
  Doc da = read(sent), db = read(written);
  std::vector<Item> ia = items(da, masks_in(db)), ib = items(db, masks_in(da));
  std::optional<Risk> number =
      compare(RiskKind::number, da, number_found(ia, false), db, number_found(ib, false));
  std::optional<Risk> unit = compare(RiskKind::unit, da, unit_found(ia), db, unit_found(ib));
  // The same numbers and units, matched up differently: "2片 3次" → "3片 2次".
  if (!number && !unit) {
    number = compare(RiskKind::number, da, number_found(ia, true), db, number_found(ib, true));
  }
  if (number) out.push_back(std::move(*number));
  if (unit) out.push_back(std::move(*unit));
  if (auto r = compare_negation(da, negations(da), db, negations(db))) out.push_back(std::move(*r));
  if (auto r = compare(RiskKind::side, da, sides(da), db, sides(db))) out.push_back(std::move(*r));
  return out;
}

std::vector<Quantity> quantities(std::string_view text) {
  Doc d = read(text);
  std::vector<Quantity> out;
  for (const Item &it : items(d)) {
    out.push_back({it.key, it.unit ? it.unit->canon : "", std::string(d.text(it.b, it.e))});
  }
  return out;
}

std::string_view risk_badge(RiskKind kind) {
  switch (kind) {
    case RiskKind::number: return "数值改动";
    case RiskKind::unit: return "单位改动";
    case RiskKind::negation: return "否定改动";
    case RiskKind::side: return "左右改动";
  }
  return "";
}

std::string_view risk_kind_name(RiskKind kind) {
  switch (kind) {
    case RiskKind::number: return "number";
    case RiskKind::unit: return "unit";
    case RiskKind::negation: return "negation";
    case RiskKind::side: return "side";
  }
  return "";
}

std::string risk_label(const Risk &risk) {
  constexpr std::string_view kNone = "（无）";
  std::string out(risk_badge(risk.kind));
  out.append(" ").append(risk.before.empty() ? kNone : std::string_view(risk.before));
  out.append(" → ").append(risk.after.empty() ? kNone : std::string_view(risk.after));
  return out;
}

}  // namespace brivane::text
