"""How each fix was made across a whole course (all files of a batch).

    course_flags(document, decisions=None, words=None)
        -> {(file_no, position): [flag, ...]}

`document` is a batch's changes.json (``changes.load_batch``); `file_no` is
the file's place in ``document["files"]``, `position` the block's place in
its ``"blocks"``. A flag is ``{"kind": "inconsistent" | "maybe_missed",
"badge": "不一致" | "可能漏改", "sent": the span as sent, "written": what
this block has there (the span itself when left), "majority": the form most blocks have, "evidence":
[[file_no, position], ...] of the other blocks with that form}``.
`flag_label(flag)` is its text for a page or a report.

The written text is the decided one: `decisions` (``{input: {position:
record}}``, as ``glossary_suggest.load_changes`` attaches them to the
document) puts a reviewer's edit in place of the model's, and the sent text
in place of a rejected one. The spans are the glossary suggestions' own
(``glossary_suggest.edited_spans``), so a fix reads the same in both tools.
"""
from __future__ import annotations

import functools
from collections import defaultdict

from brivane.export import decided_text
from brivane.glossary_files import ARROW
from brivane.glossary_suggest import WordBounds, edited_spans
from brivane.review import is_big_change

BADGES = {"inconsistent": "不一致", "maybe_missed": "可能漏改"}


@functools.lru_cache(maxsize=1)
def _jieba_words():
    # The tokenizer takes a second to load: once per process.
    from brivane.dictionary import jieba_words

    return jieba_words()


@functools.lru_cache(maxsize=1 << 17)
def _spans(sent, written, words):
    # Segmenting is most of the time taken: a course asked again (after a
    # decision) cuts only the texts it has not seen.
    return tuple(dict.fromkeys(edited_spans(sent, written, words)))


def _written_texts(document, decisions=None):
    """((file_no, position), block, sent, written) per block with both texts."""
    decided = (document.get("decisions") if decisions is None else decisions) or {}
    for file_no, file in enumerate(document.get("files") or ()):
        records = decided.get(file.get("input")) or {}
        for position, block in enumerate(file.get("blocks") or ()):
            sent, written = block.get("sent"), None
            if isinstance(sent, str) and isinstance(block.get("final"), str):
                written = decided_text(block, records.get(position))
            if isinstance(written, str):
                yield (file_no, position), block, sent, written


def course_flags(document, decisions=None, words=None):
    """The blocks whose fix of a span goes against the course's majority
    (see the module's docstring). A span's outcomes are counted per block:
    each form it was fixed to, and "left" where the written text still
    holds it. The majority is the form made in more blocks than any other
    form and than the span was left in; without one (a tie) nothing is
    flagged."""
    words = words or _jieba_words()
    texts, fixes = [], defaultdict(lambda: defaultdict(list))  # wrong -> right -> [key]
    for key, block, sent, written in _written_texts(document, decisions):
        texts.append((key, sent, written))
        if written != sent and not is_big_change(sent, written, block.get("glossary_entries") or ()):
            for wrong, right in _spans(sent, written, words):
                fixes[wrong][right].append(key)
    leads = {}  # wrong -> its majority form, where one form outnumbers each other
    for wrong, forms in fixes.items():
        ranked = sorted(((len(keys), right) for right, keys in forms.items()), reverse=True)
        # A form fixed in one block alone leads nothing: there is no other to flag.
        if ranked[0][0] > 1 and (len(ranked) == 1 or ranked[1][0] < ranked[0][0]):
            leads[wrong] = ranked[0][1]
    left = _left_unchanged(texts, fixes, leads, words)
    flags = defaultdict(list)
    for wrong, majority in leads.items():
        forms, kept = fixes[wrong], left.get(wrong, ())
        if len(forms[majority]) <= len(kept):
            continue
        shown = [list(key) for key in forms[majority]]  # the flags of this span share these pairs
        for right, keys in forms.items():
            if right != majority:
                for key in keys:
                    flags[key].append(_flag("inconsistent", wrong, right, majority, shown, key))
        for key in kept:
            flags[key].append(_flag("maybe_missed", wrong, wrong, majority, shown, key))
    return dict(flags)


def _left_unchanged(texts, fixes, leads, words):
    """wrong -> [key] of the blocks whose sent and written texts both still
    hold a span that `leads` has as a whole: the written text's words do not
    run across either end (as the spans were widened to whole words), and
    it is not part of a form it was fixed to (方颤 in 房颤 would be). A span
    left as often as its majority fixed it flags nothing: it is looked for
    no further (a common word is, in most of a course)."""
    spans = {wrong: len(fixes[wrong][majority]) for wrong, majority in leads.items()}
    sizes = defaultdict(set)  # first character -> lengths of the spans it starts
    for wrong in spans:
        sizes[wrong[0]].add(len(wrong))
    holding = {wrong: [right for right in fixes[wrong] if wrong in right] for wrong in spans}
    left = defaultdict(list)
    for key, sent, written in texts:
        if not spans:
            break
        bounds = None
        for start, first in enumerate(written):
            for size in sizes.get(first, ()):
                wrong, end = written[start:start + size], start + size
                if wrong not in spans or wrong not in sent or (left[wrong] and left[wrong][-1] == key):
                    continue
                # Only the parts of the text around a span found are cut into words.
                bounds = bounds or WordBounds(written, words)
                if bounds.inside(start) or bounds.inside(end) or any(
                        _covered(written, start, end, right) for right in holding[wrong]):
                    continue
                left[wrong].append(key)
                if len(left[wrong]) >= spans[wrong]:
                    del spans[wrong]
    return left


def _covered(text, start, end, form):
    return any(text.startswith(form, at) for at in range(max(0, end - len(form)), start + 1))


def _flag(kind, sent, written, majority, shown, key):
    own = list(key)
    return {"kind": kind, "badge": BADGES[kind], "sent": sent, "written": written,
            "majority": majority, "evidence": [pair for pair in shown if pair != own]}


def flag_label(flag):
    """The flag as one line: 不一致 方颤→房扑，多数改为 房颤 (12 块)."""
    count = len(flag["evidence"])
    if flag["kind"] == "inconsistent":
        return f"{flag['badge']} {flag['sent']}{ARROW}{flag['written']}，多数改为 {flag['majority']} ({count} 块)"
    return f"{flag['badge']} {flag['sent']}，别处改为 {flag['majority']} ({count} 块)"
