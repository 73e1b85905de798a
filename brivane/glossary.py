"""User glossaries on the command line: reading them (with the engine's own
messages), checking them for entries that would damage correct text, and
learning entries from the model's own edits.

``brivane glossary check FILE...`` and ``brivane glossary suggest REVIEW...``.
"""
from __future__ import annotations

import argparse
import dataclasses
import difflib
import heapq
import importlib.util
import json
import os
import re
import sys
import unicodedata
from collections import defaultdict
from importlib import resources

from brivane import _native
from brivane.cjk import is_cjk

# The categories the engine applies, in its order of application, and the
# top-level key listing entries that deliberately standardise a variant
# spelling (心肌梗塞→心肌梗死): a dictionary hit is then expected. Not a
# category: the engine neither merges nor applies it.
CATEGORIES, STANDARDISATIONS = _native.CATEGORIES, _native.STANDARDISATIONS
# The packaged library's standardisations; the library itself keeps exactly
# its twelve categories, so its marks live beside it.
PACKAGED_MARKS = "error_terms_standardisations.json"
PACKAGED = "error_terms_library.json"
# Suggestions go to a category the engine applies.
SUGGESTION_CATEGORY = "通用听写误差"
ARROW = "→"
DICTIONARY_WORDS_SHOWN = 3

# Exit statuses.
CLEAN, PROBLEMS, USAGE = 0, 1, 2


class GlossaryError(ValueError):
    """A glossary or review file that cannot be used; the message names it."""


@dataclasses.dataclass(frozen=True)
class Entry:
    file: str
    category: str
    text: str
    wrong: str
    right: str

    @property
    def pair(self):
        return self.wrong, self.right


@dataclasses.dataclass(frozen=True)
class Problem:
    file: str
    category: str | None
    entry: str | None
    rule: str
    detail: str
    other: Entry | None = None  # the second entry of a rule about two entries

    def __str__(self):
        where = f"[{self.category}] " if self.category is not None else ""
        entry = f"{self.entry}: " if self.entry is not None else ""
        return f"{self.file}: {where}{entry}{self.rule}: {self.detail}"


@dataclasses.dataclass
class Glossary:
    file: str
    entries: list  # usable entries, in file order
    marks: set  # (wrong, right) pairs marked as standardisations
    problems: list  # of reading it; the first of a refusing kind is the engine's message
    load_error: str | None = None  # the engine's message when it would refuse the file


def read_glossary(path, shown=None):
    """Reads one glossary file with the engine's own reader, collecting every
    problem of shape and entry syntax; `load_error` is the engine's message
    when it would refuse the file."""
    shown = str(path) if shown is None else shown
    read = _native.read_glossary(path)
    glossary = Glossary(shown, [Entry(shown, *entry) for entry in read["entries"]],
                        set(read["marks"]), [Problem(shown, *problem) for problem in read["problems"]])
    if read["refusal"] is not None:
        glossary.load_error = f"用户术语库 {shown}: {read['refusal']}"
    return glossary


def packaged_glossary():
    """The packaged library, with the standardisations marked beside it."""
    folder = resources.files("brivane")
    library = read_glossary(folder / PACKAGED, f"brivane/{PACKAGED}")
    library.marks |= read_glossary(folder / PACKAGED_MARKS, f"brivane/{PACKAGED_MARKS}").marks
    return library


def packaged_marks():
    return read_glossary(resources.files("brivane") / PACKAGED_MARKS).marks


def effective_entries(glossaries):
    """The merged glossary as the engine applies it: a later entry with the
    same wrong term replaces the earlier one."""
    entries = [entry for glossary in glossaries for entry in glossary.entries]
    kept = _native.latest_per_error_term([entry.wrong for entry in entries])
    return [entry for entry, survives in zip(entries, kept) if survives]


def applied(entries):
    """The entries the engine applies, in its order: category, then entry."""
    return [entry for category in CATEGORIES for entry in entries if entry.category == category]


def apply_entries(entries, text):
    """The engine's replacement, for entries already in `applied` order."""
    return _native.apply_entries([entry.text for entry in entries], text)


# --- the dictionary -------------------------------------------------------

def dictionary_path():
    """jieba's word list (word, frequency, tag per line), found without
    importing jieba, whose import is slow and warns."""
    found = importlib.util.find_spec("jieba")
    if found is None or not found.submodule_search_locations:
        raise GlossaryError("找不到 jieba 的词典: 请安装 jieba (pip install jieba)")
    return os.path.join(list(found.submodule_search_locations)[0], "dict.txt")


class Dictionary:
    """A general Chinese word list with frequencies."""

    def __init__(self, words):
        self.words = words  # word -> frequency

    @classmethod
    def load(cls, path=None):
        path = path or dictionary_path()
        words = {}
        try:
            with open(path, encoding="utf-8") as stream:
                for line in stream:
                    parts = line.split()
                    if len(parts) >= 2 and parts[1].isdigit():
                        words[parts[0]] = int(parts[1])
        except OSError as error:
            raise GlossaryError(f"无法读取词典 {path}: {error}") from error
        return cls(words)

    def containing(self, terms):
        """For each term, the (frequency, word) of the words that are it or
        hold it. One pass over the words: each word's substrings that start
        with a term's first character, up to the longest term's length, are
        looked up in a set (well under a second for the jieba list)."""
        terms = {term for term in terms if term}
        hits = defaultdict(list)
        if not terms:
            return hits
        longest = max(map(len, terms))
        initials = {term[0] for term in terms}
        for word, frequency in self.words.items():
            found = set()
            for start, initial in enumerate(word):
                if initial not in initials:
                    continue
                for end in range(start + 1, min(len(word), start + longest) + 1):
                    if word[start:end] in terms:
                        found.add(word[start:end])
            for term in found:
                hits[term].append((frequency, word))
        return hits


# --- the checker ----------------------------------------------------------

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


# --- suggestions from the model's edits -----------------------------------

@dataclasses.dataclass
class Suggestion:
    wrong: str
    right: str
    count: int
    examples: list  # (file, index, before, after), up to three
    reasons: list = dataclasses.field(default_factory=list)  # why it is unsafe

    @property
    def text(self):
        return f"{self.wrong}{ARROW}{self.right}"


def load_changes(path):
    """A review's changes.json, given as the file or an output folder, with
    the reviewer's decisions of that batch when there are any."""
    if os.path.isdir(path):
        output, path = path, os.path.join(path, "review", "changes.json")
    else:
        folder = os.path.dirname(os.path.abspath(path))
        output = os.path.dirname(folder) if os.path.basename(folder) == "review" else None
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
    except (OSError, ValueError) as error:
        raise GlossaryError(f"无法读取审阅数据 {path}: {error}") from error
    if not (isinstance(document, dict) and document.get("format") == "brivane-changes"
            and isinstance(document.get("files"), list)):
        raise GlossaryError(f"{path}: 不是 brivane 的审阅数据 (changes.json)")
    document["decisions"] = load_decisions(output, document)
    return document


def load_decisions(output, document):
    """{input: {position: decision}} from the workbench's store, or {}."""
    if output is None or not os.path.isfile(os.path.join(output, ".brivane", "review.sqlite3")):
        return {}
    import sqlite3

    from brivane.workbench import Decisions

    try:
        store = Decisions(output)
        try:
            return {file.get("input"): store.for_file(file)[0] for file in document["files"]
                    if isinstance(file, dict) and isinstance(file.get("blocks"), list)}
        finally:
            store.close()
    except (OSError, sqlite3.Error) as error:
        raise GlossaryError(f"无法读取审阅决定 {output}: {error}") from error


def jieba_words():
    """jieba's segmentation as a function: text -> [(start, end)] of words."""
    import logging
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import jieba
    jieba.setLogLevel(logging.WARNING)
    tokenizer = jieba.Tokenizer()
    return lambda text: [(start, end) for _, start, end in tokenizer.tokenize(text)]


def _word_bounds(text, words):
    """For each position cut through a CJK word: the word's start and end."""
    starts, ends = {}, {}
    for start, end in words(text):
        if any(is_cjk(ch) for ch in text[start:end]):
            for inner in range(start + 1, end):
                starts[inner], ends[inner] = start, end
    return starts, ends


def is_punctuation(text):
    return all(unicodedata.category(ch)[0] in "PZ" or ch.isspace() for ch in text)


def strip_punctuation(text):
    start, end = 0, len(text)
    while start < end and is_punctuation(text[start]):
        start += 1
    while end > start and is_punctuation(text[end - 1]):
        end -= 1
    return text[start:end]


def edited_spans(sent, returned, words):
    """The model's edit as minimal replaced spans (sent side, returned side),
    each widened to whole CJK words where the diff cuts one in half, on
    either side. Pure insertions and deletions (added words, dropped
    fillers), punctuation changes and rewrites of most of a line are not
    glossary material."""
    opcodes = difflib.SequenceMatcher(None, sent, returned, autojunk=False).get_opcodes()
    groups = []  # [i1, i2, j1, j2, whether something was replaced]
    for tag, i1, i2, j1, j2 in opcodes:
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
    sent_starts, sent_ends = _word_bounds(sent, words)
    returned_starts, returned_ends = _word_bounds(returned, words)
    changed = True
    while changed:  # each pass widens or merges; both are bounded
        changed = False
        for k, (i1, i2, j1, j2, replaced) in enumerate(groups):
            left = max(i1 - sent_starts.get(i1, i1), j1 - returned_starts.get(j1, j1))
            right = max(sent_ends.get(i2, i2) - i2, returned_ends.get(j2, j2) - j2)
            # Widening runs over unchanged text, which is the same on both
            # sides; reaching the neighbouring edit merges the two.
            gap_left = i1 - (groups[k - 1][1] if k else 0)
            gap_right = (groups[k + 1][0] if k + 1 < len(groups) else len(sent)) - i2
            if left > gap_left or right > gap_right:
                n = k - 1 if left > gap_left else k
                first, second = groups[n], groups.pop(n + 1)
                groups[n] = [first[0], second[1], first[2], second[3], first[4] or second[4]]
                changed = True
                break
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
# The model's notes, as the cleanup removes them (also in older review data).
NOTE = re.compile(r"[(（](?:注|修改|校正|说明|备注)[:：][^()（）]*[)）]|[\[【]修正[^\]】]*[\]】]")


def without_notes(text, removed=()):
    for note in removed or ():
        text = text.replace(note, "")
    return NOTE.sub("", text).strip()


def evidence(document):
    """(file, block, text after, weight) per block to learn from. Where the
    reviewer decided a file's blocks, only accepted and edited blocks count
    (an edit twice); rejected ones and rewrites never do."""
    from brivane.review import is_big_change

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
    make, most frequent first, each with up to three example blocks."""
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
    suggestions = []
    for (wrong, right), seen in found.items():
        count = sum(weight for _, weight in seen)
        if count >= min_count and apply_entries(glossary, wrong) != right:
            suggestions.append(Suggestion(wrong, right, count, [example for example, _ in seen[:3]]))
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


# --- the command line -----------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="brivane glossary", description="检查用户术语库，或从模型的修改中学习术语 "
        "(check user glossaries, or learn entries from the model's edits).")
    commands = parser.add_subparsers(dest="command", required=True)
    check_parser = commands.add_parser(
        "check", help="report entries that would damage text (exit 0 clean, 1 problems, 2 usage)")
    check_parser.add_argument("files", nargs="*", metavar="FILE", help="glossary files")
    check_parser.add_argument("--with-packaged", action="store_true",
                              help="check them merged after the packaged library")
    suggest_parser = commands.add_parser(
        "suggest", help="wrong→right pairs the model keeps fixing, as a glossary file")
    suggest_parser.add_argument("reviews", nargs="+", metavar="REVIEW",
                                help="changes.json files, or output folders holding review/changes.json")
    suggest_parser.add_argument("--min-count", type=int, default=3, metavar="N",
                                help="blocks a pair must recur in (default: 3)")
    suggest_parser.add_argument("--config", default=None, metavar="FILE",
                                help="configuration whose glossary_files count as the current glossary")
    suggest_parser.add_argument("--glossary", action="append", default=[], metavar="FILE",
                                help="a further glossary file in use (repeatable)")
    suggest_parser.add_argument("--output", default=None, metavar="FILE",
                                help="write the safe suggestions as a glossary file")
    suggest_parser.add_argument("--force", action="store_true", help="replace an existing --output")
    args = parser.parse_args(argv)
    if args.command == "check" and not args.files and not args.with_packaged:
        parser.error("check: give glossary files, or --with-packaged")
    if args.command == "suggest" and args.min_count < 1:
        parser.error("--min-count must be a positive integer")
    return args


def configured_glossary_files(config, config_file):
    """The configuration's glossary files, relative to its folder (the
    package folder for the packaged configuration)."""
    files = config.get("glossary_files")
    if files is None:
        return []
    problem = _native.setting_problem("glossary_files", files)
    if problem:
        raise GlossaryError(problem)
    folder = (os.path.dirname(os.path.abspath(config_file)) if config_file is not None
              else os.path.dirname(os.path.abspath(__file__)))
    return [os.path.join(folder, f) for f in files]


def load_error(path):
    """The engine's message for a glossary file it would refuse, else None."""
    return read_glossary(path).load_error


def run_check(args):
    for path in args.files:
        if not os.path.isfile(path):
            raise GlossaryError(f"找不到术语库文件: {path}")
    glossaries = [packaged_glossary()] if args.with_packaged else []
    glossaries += [read_glossary(path) for path in args.files]
    report = check(glossaries, Dictionary.load(), packaged_marks())
    for problem in report.problems:
        print(problem)
    for entry, words in report.standardisations:
        shown = ", ".join(f"{word}({frequency})" for frequency, word in words)
        print(f"{entry.file}: [{entry.category}] {entry.text}: 规范写法 (不算问题): 词典词 {shown}")
    print(f"共检查 {report.entries} 个条目: {len(report.problems)} 个问题, "
          f"{len(report.standardisations)} 个规范写法")
    return PROBLEMS if report.problems else CLEAN


def run_suggest(args):
    from brivane.configuration import load_configuration

    config, problems = load_configuration(args.config)
    if problems:
        raise GlossaryError(problems[0])
    paths = configured_glossary_files(config, args.config) + args.glossary
    glossaries = [packaged_glossary()] + [read_glossary(path) for path in paths]
    for glossary in glossaries:
        if glossary.load_error:
            raise GlossaryError(glossary.load_error)
    if args.output and os.path.exists(args.output) and not args.force:
        raise GlossaryError(f"--output: {args.output} 已存在；换个名字，或加 --force 覆盖")
    documents = [load_changes(path) for path in args.reviews]
    safe, unsafe = suggest(documents, glossaries, args.min_count)
    print(f"建议 {len(safe)} 条 (至少出现在 {args.min_count} 个块中，且当前术语库尚未覆盖):")
    for s in safe:
        print(f"{s.count:5}  {s.text}")
        for file, index, before, after in s.examples:
            print(f"       {os.path.basename(str(file))} #{index}: {_one_line(before)} → {_one_line(after)}")
    if unsafe:
        print(f"不安全，未写入 {len(unsafe)} 条:")
        for s in unsafe:
            print(f"{s.count:5}  {s.text}")
            for reason in s.reasons:
                print(f"       {reason}")
    if args.output:
        with open(args.output, "w", encoding="utf-8") as stream:
            json.dump({SUGGESTION_CATEGORY: [s.text for s in safe]}, stream,
                      ensure_ascii=False, indent=2)
            stream.write("\n")
        print(f"已写入 {args.output}: 检查后用 --glossary {args.output} 或配置项 glossary_files 使用")
    return CLEAN


def _one_line(text):
    return text.replace("\n", " / ")


def main(argv):
    args = parse_args(argv)
    try:
        return run_check(args) if args.command == "check" else run_suggest(args)
    except GlossaryError as error:
        print(f"brivane glossary: {error}", file=sys.stderr)
        return USAGE
