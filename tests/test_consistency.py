"""Consistency across a course: a span fixed one way in most blocks flags the
blocks that fixed it otherwise or left it, over every file of the batch."""
import json

import pytest
from test_glossary_suggest import block, changes

from brivane import glossary_suggest
from brivane.consistency import course_flags
from brivane.decisions import Decisions

COURSE = {
    "a": [block(1, "患者出现方颤", "患者出现房颤"), block(2, "既往方颤病史", "既往房颤病史"),
          block(3, "方颤复发", "房颤复发"), block(4, "测心率", "测心律"),
          # One span fixed two ways as often: no majority to flag either by.
          block(5, "二尖瓣返流", "二尖瓣回流"), block(6, "主动脉瓣返流", "主动脉瓣反流")],
    "b": [block(1, "方颤合并心衰", "房扑合并心衰"), block(2, "方颤的治疗", "方颤的治疗"),
          block(3, "心率很快", "心率很快"),  # fixed once, left once: no majority
          block(4, "地方颤抖", "地方颤抖")],  # 方颤 across two words is not the span
    "c": [block(1, "术后方颤", "术后房颤"), block(2, "方颤消融", "房颤消融"), block(3, "房颤患者", None)],
}


def inconsistent(written, evidence):
    return {"kind": "inconsistent", "badge": "不一致", "sent": "方颤", "written": written,
            "majority": "房颤", "evidence": evidence}


def missed(evidence):
    return {"kind": "maybe_missed", "badge": "可能漏改", "sent": "方颤", "written": "方颤",
            "majority": "房颤", "evidence": evidence}


@pytest.mark.parametrize("decide, flags, suggested", [
    (None,
     {(1, 0): [inconsistent("房扑", [[0, 0], [0, 1], [0, 2], [2, 0], [2, 1]])],
      (1, 1): [missed([[0, 0], [0, 1], [0, 2], [2, 0], [2, 1]])]},
     [("方颤→房颤", 5, [("房扑", 1)]), ("心率→心律", 1, []), ("返流→回流", 1, []), ("返流→反流", 1, [])]),
    # The reviewer's text counts: an edit to the majority clears its flag, a
    # rejected fix leaves the span as sent.
    ([("b", 0, "edit", "房颤合并心衰"), ("c", 0, "reject", None)],
     {(1, 1): [missed([[0, 0], [0, 1], [0, 2], [1, 0], [2, 1]])],
      (2, 0): [missed([[0, 0], [0, 1], [0, 2], [1, 0], [2, 1]])]},
     # Decided files teach only their decided blocks, an edit twice.
     [("方颤→房颤", 5, []), ("心率→心律", 1, []), ("返流→回流", 1, []), ("返流→反流", 1, [])]),
])
def test_flags_across_three_files_and_the_majority_suggestion(tmp_path, decide, flags, suggested):
    document = changes(**COURSE)
    (tmp_path / "review").mkdir()
    (tmp_path / "review" / "changes.json").write_text(json.dumps(document), encoding="utf-8")
    store = Decisions(str(tmp_path))
    names = list(COURSE)
    for name, position, action, text in decide or ():
        store.set(document["files"][names.index(name)], position, action, text, "审阅人")
    store.close()
    loaded = glossary_suggest.load_changes(str(tmp_path))
    assert course_flags(loaded) == flags
    mined = glossary_suggest.mine([loaded], [], min_count=1)
    assert [(s.text, s.count, s.others) for s in mined] == suggested
