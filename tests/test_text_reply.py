"""Annotation stripping and block extraction from model replies, against the
plain-Python steps."""

import sys
import unicodedata

import pytest
from hypothesis import given

import text_reference as ref
import text_strategies as S

WARN_NO_BLOCKS = ("WARNING", "无法从API响应中提取SRT格式字幕块，返回处理后的文本")


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as e:
        return ("raised", type(e), str(e))


def compare(engine, records, caplog, name, value):
    """Runs the method and its plain rendering on `value`; returns both
    (outcome, records) pairs."""
    caplog.clear()
    native = (outcome(getattr(engine, name), value), records())
    log = ref.Records()
    plain = (outcome(getattr(ref, name), value, log), log.records)
    return native, plain


def block(index, text, stamps="00:00:01,000 --> 00:00:02,000"):
    return f"{index}\n{stamps}\n{text}"


# --- remove_annotations ------------------------------------------------------

# Shapes the generated inputs reach only rarely.
REMOVE_CASES = {
    "second and third cut markers": block(1, "a") + "\n修改说明（符合规则要求）：x\n主要修改内容：y",
    "notes joined into a new note": block(1, "((注：x)注：y)z说(注：x)明：w"),
    "keep-unchanged note passes inner closers": block(1, "a（保持x)y不变）b(保持不变)"),
    "blank lines after time line, numbered note": block(1, "\n\u3000\n\n2 处修改"),
    "loose stamps only": "1\n0:00:01.5 --> 0:00:02.0\na\n\n2\n0:00:02.0-->0:00:03\nb",
    "lone surrogates": block(1, "a\ud800（注：\udfff）"),
}


@pytest.mark.parametrize("text", REMOVE_CASES.values(), ids=REMOVE_CASES.keys())
def test_remove_annotations_matches_plain_steps(engine, records, caplog, text):
    native, plain = compare(engine, records, caplog, "remove_annotations", text)
    assert native == plain


@pytest.mark.parametrize(
    "text, expected",
    [
        (block(1, "血（注：原文为血案）氨"), block(1, "血氨")),
        (block(1, "a(注：x）b"), block(1, "ab")),
        (block(1, "a（注：x\nb）"), block(1, "a（注：x\nb）")),
        (block(1, "字幕说明：解释"), block(1, "字幕")),
        (block(1, "a") + "\n\n1. 改动", block(1, "a")),
        (block(1, "a") + "\n\n改动", block(1, "a") + "\n\n改动"),
        (block(1, "a") + "\n\n主要修改内容：\n" + block(2, "b"), block(1, "a")),
        ("```srt\n" + block(1, "a") + "\n\n" + block(2, "b") + "\n```\n", block(1, "a") + "\n\n" + block(2, "b")),
        (" ```c++\t\n" + block(1, "a") + "\n\t```", block(1, "a")),
        (block(1, "a ```b``` c\n```x y"), block(1, "a ```b``` c\n```x y")),
    ],
    ids=["note", "mixed forms", "unclosed", "line tail", "numbered tail", "plain tail", "cut",
         "fenced", "fence with blanks", "backticks inside lines"],
)
def test_remove_annotations_examples(engine, records, text, expected):
    assert engine.remove_annotations(text) == expected
    assert records() == []


def test_remove_annotations_fallback_returns_received_text(engine, records):
    text = "  修正说明：（注：x）没有字幕\n"
    assert engine.remove_annotations(text) == text.strip()
    assert records() == [WARN_NO_BLOCKS]


@pytest.mark.parametrize(
    "value", [None, 5, b"1\n00:00:01,000 --> 00:00:02,000\na", ["修正说明："], ["x"], {"主要修改内容：": 1}]
)
def test_remove_annotations_non_text_fails_as_host(engine, records, caplog, value):
    native, plain = compare(engine, records, caplog, "remove_annotations", value)
    assert native == plain
    assert native[0][0] == "raised"


# --- extract_blocks_from_text ------------------------------------------------

EXTRACT_CASES = {
    "only white space": "\u3000 \n\n\x1c",
    "stamps: words, empty, tail kept, two blanks": "\n\n".join(
        block(i, "a", line) for i, line in
        enumerate(["开始 --> 结束", " --> ", "0 --> 1 X1:100", "0 -->  1"])),
    "index with blanks, text with leading blanks": block(" \u30007 ", "  a\n\tb"),
    "arrow overlap": block(1, "a", "x --> --> y"),
    "lone surrogate": block("\ud800", "\udfff", "\udc00 --> b"),
}


@pytest.mark.parametrize("text", EXTRACT_CASES.values(), ids=EXTRACT_CASES.keys())
def test_extract_blocks_matches_plain_steps(engine, records, caplog, text):
    native, plain = compare(engine, records, caplog, "extract_blocks_from_text", text)
    assert native == plain


def test_extract_blocks_warns_per_unreadable_time_line(engine, records):
    text = "\n\n".join(
        [block(1, "a", "1-->2"), block(2, "b"), block(3, "c", "x --> y --> z"), "4\nno text"]
    )
    result = engine.extract_blocks_from_text(text)
    assert result == [
        {"index": "2", "start_time": "00:00:01,000", "end_time": "00:00:02,000", "text": "b"}
    ]
    assert list(result[0]) == ["index", "start_time", "end_time", "text"]
    assert records() == [
        ("WARNING", "无效的时间戳格式: 1-->2"),
        ("WARNING", "无效的时间戳格式: x --> y --> z"),
    ]


@pytest.mark.parametrize("value", [None, 3, b"1\nx --> y\nz", ["a"]])
def test_extract_blocks_non_text_fails_as_host(engine, records, caplog, value):
    native, plain = compare(engine, records, caplog, "extract_blocks_from_text", value)
    assert native == plain
    assert native[0][0] == "raised"


# --- both, on generated replies ----------------------------------------------

@S.DIFFERENTIAL
@given(text=S.texts(S.SURROGATES))
def test_reply_steps_differential(engine, records, caplog, text):
    native, plain = compare(engine, records, caplog, "remove_annotations", text)
    assert native == plain
    native, plain = compare(engine, records, caplog, "extract_blocks_from_text", text)
    assert native == plain
    # The client's order: strip annotations, then extract blocks.
    cleaned = ref.remove_annotations(text, ref.Records())
    native, plain = compare(engine, records, caplog, "extract_blocks_from_text", cleaned)
    assert native == plain


# --- the character classes, end to end ---------------------------------------

def _candidates():
    """Every white-space and digit character of the host, and every other
    character of the categories they could be confused with."""
    near = {"Zs", "Zl", "Zp", "Cc", "Cf", "Nd", "Nl", "No"}
    return [
        c for c in map(chr, range(sys.maxunicode + 1))
        if not 0xD800 <= ord(c) <= 0xDFFF
        and (c.isspace() or c.isdecimal() or unicodedata.category(c) in near)
    ]


def test_white_space_is_the_hosts(engine):
    wrong = [
        hex(ord(c)) for c in _candidates()
        if c != "\n"
        and engine.extract_blocks_from_text(f"1\n{c}a{c} --> {c}b{c}\nx")[0]["start_time"]
        != f"{c}a{c}".strip()
    ]
    assert wrong == []


def test_digits_are_the_hosts(engine):
    wrong = []
    for c in _candidates():
        if c.isspace():
            continue
        text = f"前言\n\n{c}\n{c}{c}:00:00,000 --> 00:00:01,00{c}\nx"
        strict = engine.remove_annotations(text) == text.split("\n\n", 1)[1]
        if strict != c.isdecimal():
            wrong.append(hex(ord(c)))
    assert wrong == []
