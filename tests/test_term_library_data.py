"""The packaged error-terms library is applied blindly to whole replies, so its data must be safe."""
import json
from pathlib import Path

import pytest

LIBRARY = Path(__file__).resolve().parents[1] / "brivane" / "error_terms_library.json"
CATEGORIES = ("解剖与组织术语", "影像与检查术语", "实验室检查术语", "微生物术语", "临床症状与体征术语",
              "疾病名称规范", "药物名称术语", "医学专业缩写", "音译医学术语", "通用听写误差",
              "综合医学术语", "特殊品牌替换")
# Words the proof-reading prompt tells the model to leave alone.
PROTECTED = ("心包压塞",)
ARROW = "→"


def _pairs():
    return json.loads(LIBRARY.read_text(encoding="utf-8"), object_pairs_hook=list)


def _entries():
    try:
        return [e for _, entries in _pairs() for e in entries]
    except (OSError, ValueError, TypeError):
        return []  # reported by test_categories_in_order


def _apply(text):
    for entry in _entries():
        wrong, correct = entry.split(ARROW)
        text = text.replace(wrong, correct)
    return text


def test_categories_in_order():
    pairs = _pairs()
    assert [name for name, _ in pairs] == list(CATEGORIES)
    assert all(isinstance(v, list) and all(isinstance(e, str) for e in v) for _, v in pairs)


def test_no_entry_undoes_or_shadows_another():
    terms = [e.split(ARROW) for e in _entries()]
    clashes = [(a[0], b) for i, a in enumerate(terms) for j, b in enumerate(terms)
               if i != j and (a[0] in b[1] or a[0] in b[0])]
    assert clashes == []


@pytest.mark.parametrize("text", [
    "心包压塞", "伤口表面结了血痂", "一起血案", "头皮脂溢性皮炎", "生活俭朴", "当地高新技术企业",
    "羡慕上海", "慕尚", "室间隔肌部", "苏格兰", "长颈锥形瓶", "替代尝试", "精细包装", "要求菌种",
    "越发甘甜", "背脊随着呼吸起伏", "考虑过率先开展", "血清纳入分析", "异常心电途径", "克隆病毒",
    "仓库新综合楼", "出现不适应症状", "心脏病发症状", "十毫克", "纵隔", "革兰氏阳性", "卡托普利",
    "00:01:02,500 --> 00:01:04,000", "适应证与禁忌证", "pH值", "ST段抬高",
])
def test_correct_text_is_left_alone(text):
    assert _apply(text) == text
