"""`brivane glossary check`: each rule tripped by a real entry; the packaged library passes."""
import json

import pytest

from brivane import glossary, glossary_files
from brivane.dictionary import Dictionary
from brivane.glossary_check import check


@pytest.fixture(scope="module")
def dictionary():
    return Dictionary.load()


def problems_of(tmp_path, dictionary, content, with_packaged=False):
    path = tmp_path / "team.json"
    path.write_text(content if isinstance(content, str) else json.dumps(content, ensure_ascii=False),
                    encoding="utf-8")
    glossaries = [glossary_files.packaged_glossary()] if with_packaged else []
    report = check([*glossaries, glossary_files.read_glossary(path)], dictionary)
    return report, {(p.entry, p.rule) for p in report.problems}


D = "药物名称术语"


@pytest.mark.parametrize("content, entry, rule", [
    ("[]", None, "shape"),
    ({D: {"房颤": "心房颤动"}}, None, "shape"),
    ({D: ["房颤 心房颤动"]}, "房颤 心房颤动", "arrow"),
    ({D: ["房颤→心房→颤动"]}, "房颤→心房→颤动", "arrow"),
    ({D: ["→心房颤动"]}, "→心房颤动", "empty"),
    ({D: ["心包积液量→"]}, "心包积液量→", "empty"),
    ({D: ["二尖辨→二尖办", "二尖办→二尖瓣"]}, "二尖辨→二尖办", "chain"),
    ({D: ["室颤→室性颤动", "室性颤动→室颤"]}, "室性颤动→室颤", "undo"),
    ({D: ["福塞米→呋塞米", "福塞米→速尿"]}, "福塞米→速尿", "conflict"),
    ({D: ["阿尔兹海默→阿尔兹海默病"]}, "阿尔兹海默→阿尔兹海默病", "inside-right"),
    ({D: ["库欣综合症→库欣综合征", "综合征→综合症状"]}, "综合征→综合症状", "inside-right"),
    ({D: ["心率→心律"]}, "心率→心律", "dictionary"),
    ({D: ["辨→瓣"]}, "辨→瓣", "short"),
    ({D: ["120→一百二十"]}, "120→一百二十", "short"),
    ({"心内科术语": ["房扑动→心房扑动"]}, None, "category"),
    ({glossary_files.STANDARDISATIONS: ["综合症→综合征"]}, "综合症→综合征", "mark"),
])
def test_each_rule(tmp_path, dictionary, content, entry, rule):
    report, found = problems_of(tmp_path, dictionary, content)
    assert (entry, rule) in found
    assert all(str(problem).startswith(f"{tmp_path / 'team.json'}: ") for problem in report.problems)


def test_marked_standardisation_is_reported_as_such(tmp_path, dictionary):
    content = {D: ["综合症→综合征"], glossary_files.STANDARDISATIONS: ["综合症→综合征"]}
    report, found = problems_of(tmp_path, dictionary, content)
    assert found == set()
    [(entry, words)] = report.standardisations
    assert entry.text == "综合症→综合征" and (78, "综合症") in words  # jieba's frequency
    unmarked, found = problems_of(tmp_path, dictionary, {D: ["综合症→综合征"]})
    assert found == {("综合症→综合征", "dictionary")}


def test_rules_across_files_use_the_merged_glossary(tmp_path, dictionary):
    # Overriding a packaged entry is reported; a chain into a packaged entry too.
    _, found = problems_of(tmp_path, dictionary, {D: ["螺内脂→螺内脂片", "安体舒通→螺内脂"]},
                           with_packaged=True)
    assert {("螺内脂→螺内脂片", "conflict"), ("安体舒通→螺内脂", "chain")} <= found


def test_packaged_library_passes(capsys):
    assert glossary.main(["check", "--with-packaged"]) == glossary.CLEAN
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "共检查 177 个条目: 0 个问题, 8 个规范写法"
    assert "[疾病名称规范] 心肌梗塞→心肌梗死: 规范写法 (不算问题): 词典词 心肌梗塞(57)" in out[3]


def test_exit_statuses(tmp_path, capsys):
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({D: ["心率→心律"]}, ensure_ascii=False), encoding="utf-8")
    assert glossary.main(["check", str(bad)]) == glossary.PROBLEMS
    assert f"{bad}: [{D}] 心率→心律: dictionary: " in capsys.readouterr().out
    assert glossary.main(["check", str(tmp_path / "missing.json")]) == glossary.USAGE
    with pytest.raises(SystemExit) as usage:
        glossary.main(["check"])
    assert usage.value.code == glossary.USAGE
