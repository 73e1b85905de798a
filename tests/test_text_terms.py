"""Term-library replacement, against the plain-Python steps."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import text_reference as ref
import text_strategies as S

LAB = "实验室检查术语"


def run_both(engine, records, caplog, library, text):
    engine.error_terms = library
    caplog.clear()
    try:
        native = ("ok", engine.apply_term_corrections(text))
    except Exception as e:
        native = ("raised", type(e), str(e))
    log = ref.Records()
    try:
        plain = ("ok", ref.apply_term_corrections(text, library, log))
    except Exception as e:
        plain = ("raised", type(e), str(e))
    return (native, records()), (plain, log.records)


CASES = {
    "arrow forms": ({LAB: ["A->B"], "微生物术语": ["A→C", "B -> D", " D\u3000→\tE "]}, "A A"),
    "two arrows or none": ({LAB: ["A→B→C", "A->B→C", "A->->B", "AB", "-->"]}, "A AB -"),
    "chained across categories": ({"特殊品牌替换": ["Y→Z"], "解剖与组织术语": ["X→Y"], "其他": ["Z→Q"]}, "X Y"),
    "correct term contains wrong term": ({LAB: ["X→XY", "X→XY", "A→A"]}, "X XY A"),
    "empty wrong term is skipped": ({LAB: ["→X", " ->Y", "\u3000→Z", "A→B"]}, "AAA"),
    "lone surrogates": ({LAB: ["\ud800→a", "b→\udfff"]}, "\ud800b"),
    "not text: int": ({LAB: ["A→B", 5]}, "A"),
    "not text: list without arrow": ({LAB: [["A"], "A→B"]}, "A"),
    "not text: list with arrow": ({LAB: [["→"]]}, "A"),
    "not text: bytes": ({LAB: [b"A->B"]}, "A"),
    "category value not iterable": ({LAB: 3}, "A"),
    "category value a string": ({LAB: "A→B"}, "A"),
    "text not a str": ({LAB: ["A→B"]}, None),
    "text not a str, nothing applies": ({LAB: ["AB"]}, None),
}


@pytest.mark.parametrize("library, text", CASES.values(), ids=CASES.keys())
def test_matches_plain_steps(engine, records, caplog, library, text):
    native, plain = run_both(engine, records, caplog, library, text)
    assert native == plain


def test_counts_entries_and_logs_details(engine, records):
    engine.error_terms = {LAB: ["血案 -> 血氨", "aa→b", "无→有"], "微生物术语": ["b→c"]}
    text, details = engine.apply_term_corrections("血案 aaa 血案")
    assert (text, details) == ("血氨 ca 血氨", ["血案 → 血氨", "aa → b", "b → c"])
    assert records() == [
        ("INFO", "术语库精确替换完成，共替换了3个术语"),
        ("DEBUG", "替换详情: 血案 → 血氨, aa → b, b → c"),
    ]


def test_reads_the_library_at_call_time(engine):
    engine.error_terms = {LAB: ["A→B"]}
    assert engine.apply_term_corrections("A")[0] == "B"
    engine.error_terms[LAB].append("B→C")
    assert engine.apply_term_corrections("A")[0] == "C"
    engine.error_terms = {}
    assert engine.apply_term_corrections("A") == ("A", [])


def test_unchanged_text_is_the_same_object(engine):
    engine.error_terms = {LAB: ["X→Y"]}
    text = "没有要替换的" * 3
    assert engine.apply_term_corrections(text)[0] is text


def test_entries_are_iterated_as_the_host_does(engine):
    class Entries:
        def __iter__(self):
            yield "A→B"
            raise LookupError("entries broke")

    engine.error_terms = {LAB: Entries()}
    with pytest.raises(LookupError, match="entries broke"):
        engine.apply_term_corrections("A")


many_entries = st.lists(S.term_entries(), max_size=8)
libraries = st.dictionaries(
    st.sampled_from(ref.CATEGORIES[:4] + ref.CATEGORIES[-2:] + ("其他",)), many_entries, max_size=4
)
term_texts = st.one_of(
    st.lists(st.sampled_from(S.TERM_PIECES + S.SURROGATES), max_size=12).map("".join),
    S.fragments(S.TERM_PIECES, 20),
)


@S.DIFFERENTIAL
@given(library=libraries, text=term_texts)
def test_differential(engine, records, caplog, library, text):
    native, plain = run_both(engine, records, caplog, library, text)
    assert native == plain
