"""``brivane glossary check``'s rules: entries that would damage correct
text, alone or merged with the glossaries before them.
"""
from __future__ import annotations

import dataclasses
import heapq
from collections import defaultdict

from brivane.glossary_files import ARROW, STANDARDISATIONS, Problem, effective_entries

DICTIONARY_WORDS_SHOWN = 3


@dataclasses.dataclass
class Report:
    entries: int
    problems: list
    standardisations: list  # (entry, dictionary words) of marked entries


def check(glossaries, dictionary, extra_marks=()):
    """Every problem of the glossaries, read alone and merged in order."""
    problems = [problem for glossary in glossaries for problem in glossary.problems]
    marks = set(extra_marks).union(*(glossary.marks for glossary in glossaries))
    everything = [entry for glossary in glossaries for entry in glossary.entries]
    merged = effective_entries(glossaries)
    by_wrong = {entry.wrong: entry for entry in merged}

    def report(entry, rule, detail, other=None):
        problems.append(Problem(entry.file, entry.category, entry.text, rule, detail, other))

    first = {}
    for entry in everything:
        earlier = first.setdefault(entry.wrong, entry)
        if earlier.right != entry.right:
            report(entry, "conflict", f"同一错误术语已有不同的更正 {earlier.text} "
                   f"({earlier.file} [{earlier.category}])；合并后以后者为准", earlier)
    for entry in merged:
        if not entry.right:
            report(entry, "empty", "正确术语为空：会删除文本中的错误术语")
        if len(entry.wrong) == 1 or (entry.wrong.isascii() and entry.wrong.isdigit()):
            report(entry, "short", "错误术语只有一个字符或只有数字：会改坏序号、时间和普通文字")
        following = by_wrong.get(entry.right)
        if following is not None and following is not entry:
            if following.right == entry.wrong:
                if everything.index(entry) > everything.index(following):
                    report(entry, "undo", f"撤销了条目 {following.text} ({following.file})",
                           following)
            else:
                report(entry, "chain", f"更正结果又是条目 {following.text} 的错误术语 "
                       f"({following.file})：替换会连锁", following)
    # A wrong term inside a right term (its own included) rewrites text that
    # is already correct; equality is the chain above.
    longest = max((len(entry.wrong) for entry in merged), default=0)
    inside = defaultdict(list)
    for entry in merged:
        right = entry.right
        for start in range(len(right)):
            for end in range(start + 1, min(len(right), start + longest) + 1):
                if (start, end) != (0, len(right)):
                    inside[right[start:end]].append(entry)
    for entry in merged:
        for other in dict.fromkeys(inside.get(entry.wrong, ())):
            whose = "本条目" if other is entry else f"条目 {other.text} ({other.file})"
            report(entry, "inside-right", f"错误术语出现在{whose}的正确术语中：会改坏已校正的"
                   f"“{other.right}”", other)
    standardisations = []
    if dictionary is not None:
        hits = dictionary.containing(entry.wrong for entry in merged)
        for entry in merged:
            words = heapq.nlargest(DICTIONARY_WORDS_SHOWN, (
                hit for hit in hits.get(entry.wrong, ()) if entry.right not in hit[1]))
            if not words:
                continue
            if entry.pair in marks:
                standardisations.append((entry, words))
            else:
                shown = ", ".join(f"{word}({frequency})" for frequency, word in words)
                report(entry, "dictionary", f"错误术语是或出现在普通词语中，会改坏正确的文字: {shown}"
                       f"；若是有意统一写法，请列入 \"{STANDARDISATIONS}\"")
    pairs = {entry.pair for entry in everything}
    for glossary in glossaries:
        for wrong, right in sorted(glossary.marks - pairs):
            problems.append(Problem(glossary.file, STANDARDISATIONS, f"{wrong}{ARROW}{right}",
                                    "mark", "标为规范写法的条目不在术语库中"))
    return Report(len(everything), problems, standardisations)
