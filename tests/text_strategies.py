"""Hypothesis strategies and settings shared by the text-step tests.

Inputs are built from fragments chosen to hit every rule of the text steps:
digits of several scripts, every kind of white space, line ends, arrows,
time-stamp pieces, each bracket form, each note keyword and cut marker.
"""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# 1,500 examples per property in the test command; derandomised so a failure
# reproduces on every run and machine. BRIVANE_HYPOTHESIS_EXAMPLES scales it.
EXAMPLES = int(os.environ.get("BRIVANE_HYPOTHESIS_EXAMPLES", "1500"))
DIFFERENTIAL = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.function_scoped_fixture,
        HealthCheck.data_too_large,
    ],
)

DIGITS = ["0", "1", "2", "5", "9", "０", "１", "٣", "७", "߀"]
NON_DIGITS = ["²", "①", "五", "Ⅻ"]
SPACES = [
    " ", "\t", "\x0b", "\x0c", "\r", "\x1c", "\x1d", "\x1e", "\x1f",
    "\x85", "\xa0", "\u1680", "\u2003", "\u2028", "\u2029", "\u202f", "\u3000",
]
LINE_ENDS = ["\n", "\n", "\n", "\r\n", "\r", "\n\n", "\n\n\n", "\n \n", "\n\u3000\n"]
ARROWS = ["-->", " --> ", "  -->  ", "->", "→", "-", ">", " ", "-- >"]
STAMP_PIECES = ["00:00:01,000", "00:00:02,500", "0:0:1,5", "00:00:01.000", ":", ",", "."]
BRACKETS = list("(（)）[【]】{「}」")
KEYWORDS = [
    "注释：", "说明：", "备注：", "修改列表：", "修改内容：", "注：", "注:",
    "修改:", "修改：", "校正:", "校正：", "修正", "维持原始", "保持", "不变",
    "严格保留", "禁止", "输出保持", "最终块", "此处保留", "修改说明：", "说明",
    "注", "：", ":", "修改", "保持不变",
]
CUT_MARKERS = ["修正说明：", "修改说明（符合规则要求）：", "主要修改内容："]
WORDS = ["a", "x", "血", "案", "字幕", "\ufeff", "Ab", "```", "srt", "`"]
SURROGATES = ["\ud800", "\udbff", "\udc00", "\udfff"]

FRAGMENTS = (
    DIGITS + NON_DIGITS + SPACES + LINE_ENDS + ARROWS + STAMP_PIECES + BRACKETS
    + KEYWORDS + CUT_MARKERS + WORDS
)


def fragments(extra=(), max_size=40):
    return st.lists(st.sampled_from(FRAGMENTS + list(extra)), max_size=max_size).map("".join)


# Whole pieces rather than single characters keep the number of choices per
# example small, which keeps thousands of examples fast.
STAMPS = [
    "00:00:01,000", "00:00:02,500", "01:02:03,456", "12:34:56,789",
    "０１:００:００,０００", "٠٠:٠٠:٠١,٠٠٠", "00:0١:02,345", "१२:३४:५६,७८९",
    "0:0:1,5", "00:00:1,000", "000:00:01,000", "00:00:01,0000",
    "00:00:01.000", ":00:01,000", "00:00,000", "00:00:01,",
]
INDEXES = ["1", "2", "12", "٣", "１", "1 ", "1\u3000", "1\t", " 1", "a", "1a", "\ufeff1", "99999", "第1"]
STAMP_TAILS = ["", "", "", "", " X1:100", "  ", " --> 1", "\u3000", "x", "\n", " \n ", "\n\u3000\n", "\n\n"]
STAMP_HEADS = ["", "", "", "", " ", "x", "\u3000"]
TIME_ARROWS = ["-->", " --> ", " -->  ", "  -->  ", "\u3000-->\u3000", "\t-->", "->", " --> --> "]
INDEX_ENDS = ["\n", "\n", "\n", " \n", "\n\n", "\n \n", "\u3000\n"]


def time_lines():
    return st.tuples(
        st.sampled_from(STAMP_HEADS),
        st.sampled_from(STAMPS),
        st.sampled_from(TIME_ARROWS),
        st.sampled_from(STAMPS),
        st.sampled_from(STAMP_TAILS),
    ).map("".join)


# Subtitle lines, notes and commentary as a model writes them, plus their
# broken variants (unclosed, closed on the next line, mixed bracket forms).
TEXT_LINES = [
    "", " ", "a", " a", "2 处修改", "3", "10. 结束", "\u3000缩进", "血案升高", "x\ty", "a ", "1. 第一条", "2", "00:00:01,000",
    "（注：原文为血案）", "血（注：原文为血案）氨", "(注：x）", "（注:x)", "(注：未闭合",
    "（注：跨行", "）", "(修改:a)", "（修改：a）", "(校正:b）", "（校正：b)", "【修正a]", "[修正b】",
    "{修正c」", "「修正d}", "(维持原始x)", "（保持x）不变）", "(保持不变)", "（保持a)b不变）",
    "(严格保留)", "（禁止x）", "(输出保持)", "（最终块）", "(此处保留)", "说明：见下", "修改说明：a",
    "注释：x", "备注：y", "修改列表：1", "修改内容：z", "主要修改内容：z", "修正说明：w",
    "修改说明（符合规则要求）：v", "(注(注：x)：y)", "说(注：x)明：尾", "a --> b", "\ufeff",
    "```", " ```srt\t", "```c++", "``` x", "a```",
]


def srt_blocks(extra=()):
    line = st.one_of(st.sampled_from(TEXT_LINES), st.sampled_from(TEXT_LINES), fragments(extra, 3))
    text_lines = st.lists(line, max_size=3).map(lambda ls: "".join("\n" + l for l in ls))
    index = st.one_of(st.sampled_from(INDEXES), fragments(extra, 2))
    return st.tuples(index, st.sampled_from(INDEX_ENDS), time_lines(), text_lines).map("".join)


@st.composite
def srt_texts(draw, extra=()):
    """Text shaped like SRT content or a model reply: blocks, separators,
    commentary and arbitrary fragments."""
    part = st.one_of(
        srt_blocks(extra),
        srt_blocks(extra),
        fragments(extra, 10),
        st.tuples(st.sampled_from(CUT_MARKERS + KEYWORDS), fragments(extra, 5)).map("".join),
    )
    separator = st.sampled_from(LINE_ENDS + ["\n\n", "\n\n", " \n\n"])
    parts = [p + sep for p, sep in draw(st.lists(st.tuples(part, separator), max_size=5))]
    head = ["", "", " ", "\ufeff", "\n", "前言\n\n", "```srt\n"]
    return draw(st.sampled_from(head)) + "".join(parts)


def texts(extra=()):
    return st.one_of(srt_texts(extra), fragments(extra))


TERM_PIECES = ["a", "b", "ab", "aa", "血", "案", "血案", "X", " ", "\u3000", "\t", "->", "→", "-", ">", "1"]
TERMS = [
    "", "a", "b", "ab", "aa", "aaa", "ba", "血", "案", "血案", "血氨", "X", "XY", "1",
    " a", "a ", "\u3000血案", "a\tb", "\ud800", "a\udfff", "-", ">", "A",
]
ARROW_FORMS = ["→", "->", " -> ", " → ", "\u3000→\u3000", "\t->"]


def term_entries():
    """Mostly well-formed entries; some without an arrow, some with two."""
    well_formed = st.tuples(
        st.sampled_from(TERMS), st.sampled_from(ARROW_FORMS), st.sampled_from(TERMS)
    ).map("".join)
    loose = st.lists(st.sampled_from(TERM_PIECES + SURROGATES[:1]), max_size=5).map("".join)
    return st.one_of(well_formed, well_formed, well_formed, loose)
