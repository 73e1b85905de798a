"""``brivane glossary suggest``'s mining: the wrong→right pairs the model
(or the reviewer) keeps making in a batch's review data, checked as
entries would be.
"""
from __future__ import annotations

import bisect
import dataclasses
import os
import re
import sqlite3
import unicodedata
from collections import defaultdict

from brivane import _native
from brivane.changes import changes_path, read_changes
from brivane.cjk import IDEOGRAPHS
from brivane.decisions import Decisions, store_path
from brivane.dictionary import Dictionary, jieba_words
from brivane.diff import opcodes
from brivane.glossary_files import (ARROW, Entry, Glossary, GlossaryError, applied,
                                    apply_entries, effective_entries, packaged_marks)
from brivane.glossary_check import check
from brivane.review import is_big_change

# Suggestions go to a category the engine applies.
SUGGESTION_CATEGORY = "通用听写误差"


@dataclasses.dataclass
class Suggestion:
    wrong: str
    right: str
    count: int
    examples: list  # (file, index, before, after), up to three
    reasons: list = dataclasses.field(default_factory=list)  # why it is unsafe
    # (right, count) of the same span's other fixes, each outweighed by this one.
    others: list = dataclasses.field(default_factory=list)

    @property
    def text(self):
        return f"{self.wrong}{ARROW}{self.right}"


def load_changes(path):
    """A review's changes.json, given as the file or an output folder, with
    the reviewer's decisions of that batch when there are any."""
    if os.path.isdir(path):
        output, path = path, changes_path(path)
    else:
        folder = os.path.dirname(os.path.abspath(path))
        output = os.path.dirname(folder) if os.path.basename(folder) == "review" else None
    document = read_changes(path)
    document["decisions"] = load_decisions(output, document)
    return document


def load_decisions(output, document):
    """{input: {position: decision}} from the workbench's store, or {}."""
    if output is None or not os.path.isfile(store_path(output)):
        return {}
    try:
        store = Decisions(output)
        try:
            return {file.get("input"): store.for_file(file)[0] for file in document["files"]
                    if isinstance(file, dict) and isinstance(file.get("blocks"), list)}
        finally:
            store.close()
    except (OSError, sqlite3.Error) as error:
        raise GlossaryError(f"无法读取审阅决定 {output}: {error}") from error


# jieba segments a text part by part, split at each character outside its
# class (CJK, ASCII letters and digits, +#&._%-). These runs hold that class
# whole, so each one segmented alone is cut as within the line.
PART = re.compile(r"[\w+#&.%\-]+")
IDEOGRAPH = re.compile("[%s]" % "".join(f"{chr(low)}-{chr(high)}" for low, high in IDEOGRAPHS))


class WordBounds:
    """The CJK words of a text that run across a position, the text's parts
    cut into words (`words`, jieba's) only when asked about: the segmenter
    sees no more of a line than the edits in it reach."""

    def __init__(self, text, words):
        self.text, self.words = text, words
        self.parts = None  # [start, end, whether cut] per part
        self.starts, self.ends = {}, {}

    def _cut(self, at):
        if self.parts is None:
            self.parts = [[m.start(), m.end(), False] for m in PART.finditer(self.text)]
            self.firsts = [part[0] for part in self.parts]
        k = bisect.bisect_right(self.firsts, at - 1) - 1
        if k < 0 or self.parts[k][2] or not at < self.parts[k][1]:
            return
        start, end, _ = part = self.parts[k]
        part[2] = True
        for first, last in self.words(self.text[start:end]):
            if IDEOGRAPH.search(self.text, start + first, start + last):
                for inner in range(start + first + 1, start + last):
                    self.starts[inner], self.ends[inner] = start + first, start + last

    def start(self, at):
        """Where the word that `at` cuts starts (`at` when it cuts none)."""
        self._cut(at)
        return self.starts.get(at, at)

    def end(self, at):
        self._cut(at)
        return self.ends.get(at, at)

    def inside(self, at):
        """Whether `at` lies inside a CJK word."""
        self._cut(at)
        return at in self.starts


def is_punctuation(text):
    return all(unicodedata.category(ch)[0] in "PZ" or ch.isspace() for ch in text)


def strip_punctuation(text):
    start, end = 0, len(text)
    while start < end and is_punctuation(text[start]):
        start += 1
    while end > start and is_punctuation(text[end - 1]):
        end -= 1
    return text[start:end]


def _anchored(sent, returned):
    """The character diff, each run of changes split again where its sides
    share characters, the longest shared run first. The minimal edit can
    pair a fix with a particle added beside it (艾克斯线→X线的 as 艾克斯→X线的,
    线 dropped: as cheap as keeping 线); split, the fix stands alone."""
    runs, changed = [], None
    for tag, i1, i2, j1, j2 in opcodes(sent, returned):
        if tag != "equal":
            changed = (changed[0], i2, changed[2], j2) if changed else (i1, i2, j1, j2)
            continue
        if changed:
            _split_at_shared(sent, returned, *changed, runs)
            changed = None
        runs.append((tag, i1, i2, j1, j2))
    if changed:
        _split_at_shared(sent, returned, *changed, runs)
    return runs


def _split_at_shared(sent, returned, i1, i2, j1, j2, runs):
    if i1 == i2 and j1 == j2:
        return
    size, at, to = 0, i1, j1
    for i in range(i1, i2):
        for j in range(j1, j2):
            k = 0
            while i + k < i2 and j + k < j2 and sent[i + k] == returned[j + k]:
                k += 1
            if k > size:
                size, at, to = k, i, j
    if not size:
        tag = "replace" if i1 < i2 and j1 < j2 else "delete" if i1 < i2 else "insert"
        runs.append((tag, i1, i2, j1, j2))
        return
    _split_at_shared(sent, returned, i1, at, j1, to, runs)
    runs.append(("equal", at, at + size, to, to + size))
    _split_at_shared(sent, returned, at + size, i2, to + size, j2, runs)


def edited_spans(sent, returned, words):
    """The model's edit as minimal replaced spans (sent side, returned side),
    each widened to whole CJK words where the diff cuts one in half, on
    either side. Pure insertions and deletions (added words, dropped
    fillers), punctuation changes and rewrites of most of a line are not
    glossary material."""
    groups = []  # [i1, i2, j1, j2, whether something was replaced]
    for tag, i1, i2, j1, j2 in _anchored(sent, returned):
        # A changed comma beside a fixed term would make a second, longer
        # pair of the same fix: one correction read as a conflict with itself.
        if tag == "equal" or is_punctuation(sent[i1:i2] + returned[j1:j2]):
            continue
        if groups and groups[-1][1] == i1 and groups[-1][3] == j1:
            last = groups[-1]
            last[1], last[3] = i2, j2
            last[4] = last[4] or tag == "replace" or last[0] < last[1] and last[2] < j2
        else:
            groups.append([i1, i2, j1, j2, tag == "replace"])
    sent_words, returned_words = WordBounds(sent, words), WordBounds(returned, words)
    changed = True
    while changed:  # each pass widens or merges; both are bounded
        changed = False
        for k, (i1, i2, j1, j2, replaced) in enumerate(groups):
            left = max(i1 - sent_words.start(i1), j1 - returned_words.start(j1))
            right = max(sent_words.end(i2) - i2, returned_words.end(j2) - j2)
            # Widening runs over unchanged text, which is the same on both
            # sides; reaching the neighbouring edit merges the two.
            gap_left = i1 - (groups[k - 1][1] if k else 0)
            gap_right = (groups[k + 1][0] if k + 1 < len(groups) else len(sent)) - i2
            merge_left = left > gap_left and k > 0
            merge_right = right > gap_right and k + 1 < len(groups)
            if merge_left or merge_right:
                n = k - 1 if merge_left else k
                first, second = groups[n], groups.pop(n + 1)
                groups[n] = [first[0], second[1], first[2], second[3], first[4] or second[4]]
                changed = True
                break
            # No neighbour to reach at either end of the text: widen up to it.
            left, right = min(left, gap_left), min(right, gap_right)
            if left or right:
                groups[k] = [i1 - left, i2 + right, j1 - left, j2 + right, replaced]
                changed = True
    spans = []
    line = len(sent.strip())
    for i1, i2, j1, j2, replaced in groups:
        wrong, right = strip_punctuation(sent[i1:i2]), strip_punctuation(returned[j1:j2])
        rewrite = len(wrong) > REWRITE_CHARS and 2 * len(wrong) > line
        if (replaced and wrong and right and wrong != right and "\n" not in wrong + right
                and any(ch.isalnum() for ch in wrong) and not rewrite):
            spans.append((wrong, right))
    return spans


# A span longer than this that covers more than half its line is a rewrite.
REWRITE_CHARS = 4
# A reviewer's own edit outweighs the model's edit that was merely accepted.
EDIT_WEIGHT = 2
def without_notes(text, removed=()):
    """The text without the notes the cleanup removed from it (`removed`),
    nor any it would remove (older review data lists none)."""
    for note in removed or ():
        text = text.replace(note, "")
    return _native.remove_notes(text).strip()


def evidence(document):
    """(file, block, text after, weight) per block to learn from. Where the
    reviewer decided a file's blocks, only accepted and edited blocks count
    (an edit twice); rejected ones and rewrites never do."""
    decided = document.get("decisions") or {}
    for file in document["files"]:
        records = decided.get(file.get("input"))
        for position, block in enumerate(file.get("blocks") or ()):
            sent = block.get("sent")
            if not isinstance(sent, str):
                continue
            after, weight = block.get("returned"), 1
            if records:
                record = records.get(position)
                if record is None or record["decision"] == "reject":
                    continue
                if record["decision"] == "edit":
                    after, weight = record["text"], EDIT_WEIGHT
            if not isinstance(after, str):
                continue
            after = without_notes(after, block.get("removed"))
            if after != sent and not is_big_change(sent, after):
                yield file, block, after, weight


def mine(documents, glossary, min_count=3, words=None):
    """Wrong→right pairs made in blocks weighing at least `min_count` (see
    evidence: a reviewer's edit weighs two) and that `glossary` (usable entries, merged) does not already
    make, most frequent first, each with up to three example blocks. Of a
    span fixed several ways, only the fix that outweighs each other one."""
    words = words or jieba_words()
    glossary = applied(glossary)
    found = defaultdict(list)
    for document in documents:
        for file, block, after, weight in evidence(document):
            sent = block["sent"]
            example = (file.get("input"), block.get("index"), sent, after)
            fixed = apply_entries(glossary, sent)
            for wrong, right in dict.fromkeys(edited_spans(sent, after, words)):
                # Covered when the glossary already makes this edit here.
                if wrong not in fixed and right in fixed:
                    continue
                found[wrong, right].append((example, weight))
    counts = {pair: sum(weight for _, weight in seen) for pair, seen in found.items()}
    fixes = defaultdict(list)  # wrong -> [(count, right)]
    for (wrong, right), count in counts.items():
        fixes[wrong].append((count, right))
    suggestions = []
    for (wrong, right), seen in found.items():
        # A span fixed several ways offers the one fix that outweighs each
        # other, with the others as its evidence; a tie is left to the
        # checker as a conflict.
        ranked = sorted(fixes[wrong], key=lambda fix: -fix[0])
        majority = len(ranked) == 1 or ranked[0][0] > ranked[1][0]
        if majority and ranked[0][1] != right:
            continue
        count = counts[wrong, right]
        if count >= min_count and apply_entries(glossary, wrong) != right:
            others = [(other, n) for n, other in ranked if other != right] if majority else []
            suggestions.append(Suggestion(wrong, right, count, [example for example, _ in seen[:3]],
                                          others=others))
    suggestions.sort(key=lambda s: -s.count)  # ties: first seen first
    return suggestions


def suggest(documents, glossaries, min_count=3, dictionary=None):
    """Suggestions from loaded changes.json documents against the glossaries
    in use (packaged first): (safe, unsafe), each most frequent first."""
    suggestions = mine(documents, effective_entries(glossaries), min_count)
    check_suggestions(suggestions, glossaries, dictionary or Dictionary.load(), packaged_marks())
    return ([s for s in suggestions if not s.reasons], [s for s in suggestions if s.reasons])


def check_suggestions(suggestions, glossaries, dictionary, extra_marks=()):
    """Sets each suggestion's reasons to the checker's problems that involve
    it, merged after the current glossary."""
    proposed = Glossary("建议", [Entry("建议", SUGGESTION_CATEGORY, s.text, s.wrong, s.right)
                                     for s in suggestions], set(), [])
    report = check([*glossaries, proposed], dictionary, extra_marks)
    for suggestion in suggestions:
        suggestion.reasons = [
            f"{problem.rule}: {problem.detail}" for problem in report.problems
            if (problem.file == "建议" and problem.entry == suggestion.text)
            or (problem.other is not None and problem.other.file == "建议"
                and problem.other.text == suggestion.text)]
    return suggestions
