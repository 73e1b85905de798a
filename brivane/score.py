"""``brivane score REFERENCE HYPOTHESIS``: how close corrected subtitles come
to human-corrected ones.

Files pair by lecture name, cues by timing as written. Per file and in
total: the character error rate (CER) against the reference; with the
source, its CER, the relative reduction, and the characters the correction
fixed, missed and made wrong (false corrections), from aligning source and
hypothesis each to the reference; the term error rate over the known terms;
and, where the hypothesis's batch holds review decisions, the share of the
model's edits the reviewer accepted.
"""
from __future__ import annotations

import argparse
import datetime
import functools
import glob
import heapq
import json
import os
import re
import sys
import unicodedata

from rapidfuzz.distance import Levenshtein

from brivane import _native

FORMAT, VERSION = "brivane-score", 1
# Exit statuses, as the other subcommands'.
CLEAN, USAGE = 0, 2
ROLES = ("reference", "hypothesis", "source")
# The names one lecture goes by: x.srt, x_corrected.srt, x_reviewed.srt, x_reference.srt.
SUFFIXES = ("_corrected", "_reviewed", "_reference")
# The file a role takes when a folder holds several names of one lecture
# (an output folder holds x_corrected.srt and, after review, x_reviewed.srt).
PREFERENCE = {"reference": ("_reference", "_reviewed", "", "_corrected"),
              "hypothesis": ("_corrected", "", "_reviewed", "_reference"),
              "source": ("", "_reference", "_reviewed", "_corrected")}
WORST = 10
COUNTS = ("cues", "chars", "edits", "source_edits", "fixed", "missed", "false_corrections",
          "terms", "term_errors", "source_term_errors", "decided", "accepted", "edited",
          "rejected", "unpaired")


class ScoreError(ValueError):
    """Files or options the score cannot use; the message names them."""


# --- reading ----------------------------------------------------------------

def lecture_name(path):
    stem = os.path.splitext(os.path.basename(path))[0]
    for suffix in SUFFIXES:
        if stem.endswith(suffix) and len(stem) > len(suffix):
            return stem[:-len(suffix)], suffix
    return stem, ""


def lectures(path, role):
    """{lecture name: file} of a file, or of a folder's .srt files."""
    if os.path.isdir(path):
        files = sorted(f for f in glob.glob(os.path.join(glob.escape(path), "*"))
                       if f.lower().endswith(".srt") and os.path.isfile(f))
        if not files:
            raise ScoreError(f"{path}: 文件夹中没有 .srt 文件")
    elif os.path.isfile(path):
        files = [path]
    else:
        raise ScoreError(f"{path}: 找不到文件或文件夹")
    chosen = {}
    for file in files:
        name, suffix = lecture_name(file)
        rank = PREFERENCE[role].index(suffix)
        if name not in chosen or rank < chosen[name][0]:
            chosen[name] = (rank, file)
    return {name: file for name, (_, file) in chosen.items()}


def read_text(path):
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    from charset_normalizer import from_bytes

    guess = from_bytes(data).best()
    if guess is None:
        raise ScoreError(f"{path}: 无法识别文件编码")
    return str(guess)


def read_cues(path):
    """The file's cues as (start, end, index, text), read with the engine's
    own reader: every timing form it corrects is read here too."""
    try:
        content = read_text(path)
    except OSError as error:
        raise ScoreError(f"{path}: 无法读取: {error.strerror or error}") from error
    return [(part["start_time"], part["end_time"], part["index"], part["text"])
            for part in _native.srt_parts(content) if part["is_cue"]]


def pair_cues(sides):
    """Cues of the reference paired with the other sides' cues of the same
    timing, in order where a timing repeats. Returns (triples, unpaired),
    a triple per reference cue every side has, a (side, cue) per other cue."""
    waiting = []
    for cues in sides[1:]:
        queue = {}
        for position, cue in enumerate(cues):
            queue.setdefault(cue[:2], []).append((position, cue))
        for stack in queue.values():
            stack.reverse()
        waiting.append(queue)
    paired, unpaired = [], []
    for cue in sides[0]:
        partners = [queue[cue[:2]].pop()[1] if queue.get(cue[:2]) else None for queue in waiting]
        if None in partners:
            unpaired += [(ROLES[k], c) for k, c in enumerate([cue, *partners]) if c is not None]
        else:
            paired.append((cue, *partners))
    for k, queue in enumerate(waiting, 1):
        left = sorted(item for stack in queue.values() for item in stack)
        unpaired += [(ROLES[k], cue) for _, cue in left]
    return paired, unpaired


# --- the figures ------------------------------------------------------------

@functools.cache
def _punctuation():
    return dict.fromkeys(c for c in range(sys.maxunicode + 1)
                         if unicodedata.category(chr(c)).startswith("P"))


def normaliser(punctuation=True):
    """What is compared: white space never counts, punctuation unless left out."""
    if punctuation:
        return lambda text: "".join(text.split())
    table = _punctuation()
    return lambda text: "".join(text.split()).translate(table)


NO_MARKS = (frozenset(), {})


def marks(text, reference):
    """Where `text` is wrong against the reference: the reference positions
    it replaces or lacks, and per gap (before position g) the characters it
    has in excess. Their count is the edit distance."""
    if text == reference:
        return NO_MARKS
    wrong, extra = set(), {}
    for tag, _, at in Levenshtein.editops(text, reference):
        if tag == "delete":
            extra[at] = extra.get(at, 0) + 1
        else:
            wrong.add(at)
    return wrong, extra


def errors(found):
    return len(found[0]) + sum(found[1].values())


def missed(source, hypothesis):
    """The errors of the source the hypothesis still has, on reference positions."""
    (wrong_s, extra_s), (wrong_h, extra_h) = source, hypothesis
    return len(wrong_s & wrong_h) + sum(min(n, extra_h.get(g, 0)) for g, n in extra_s.items())


def term_misses(spans, found):
    """Term occurrences [a, b) not kept as they are: a position replaced or
    lacking, or a character put in between."""
    wrong, extra = found
    return sum(1 for a, b in spans
               if any(k in wrong for k in range(a, b)) or any(g in extra for g in range(a + 1, b)))


def terms_pattern(terms, normalise):
    terms = sorted({normalise(term) for term in terms} - {""}, key=lambda t: (-len(t), t))
    return re.compile("|".join(map(re.escape, terms))) if terms else None


class Tally:
    """The counts of a file or of the batch, and the rates made from them."""

    def __init__(self):
        self.counts = dict.fromkeys(COUNTS, 0)

    def add(self, other):
        for key, value in other.counts.items():
            self.counts[key] += value

    def figures(self, with_source, with_decisions):
        c = dict(self.counts)

        def rate(part, whole):
            return part / whole if whole else None

        out = {"cues": c["cues"], "chars": c["chars"], "edits": c["edits"],
               "cer": rate(c["edits"], c["chars"])}
        if with_source:
            source_cer = rate(c["source_edits"], c["chars"])
            out.update(source_edits=c["source_edits"], source_cer=source_cer,
                       reduction=(source_cer - out["cer"]) / source_cer if source_cer else None,
                       fixed=c["fixed"], missed=c["missed"], false_corrections=c["false_corrections"])
        out.update(terms=c["terms"], term_errors=c["term_errors"],
                   term_error_rate=rate(c["term_errors"], c["terms"]))
        if with_source:
            out.update(source_term_errors=c["source_term_errors"],
                       source_term_error_rate=rate(c["source_term_errors"], c["terms"]))
        if with_decisions:
            out.update(decided=c["decided"], accepted=c["accepted"], edited=c["edited"],
                       rejected=c["rejected"],
                       acceptance=rate(c["accepted"] + c["edited"], c["decided"]))
        out["unpaired"] = c["unpaired"]
        return out


class Scorer:
    def __init__(self, terms=(), punctuation=True):
        self.normalise = normaliser(punctuation)
        self.pattern = terms_pattern(terms, self.normalise)
        self.worst = []  # heap of the cues furthest from the reference
        self._seen = 0

    def file(self, name, triples):
        """The tally of one file's paired cues (reference, hypothesis[, source])."""
        tally = Tally()
        c = tally.counts
        normalise, pattern = self.normalise, self.pattern
        for triple in triples:
            ref, hyp = normalise(triple[0][3]), normalise(triple[1][3])
            hyp_marks = marks(hyp, ref)
            edits = errors(hyp_marks)
            spans = [m.span() for m in pattern.finditer(ref)] if pattern is not None else []
            c["cues"] += 1
            c["chars"] += len(ref)
            c["edits"] += edits
            c["terms"] += len(spans)
            if spans and edits:
                c["term_errors"] += term_misses(spans, hyp_marks)
            source_edits = None
            if len(triple) == 3:
                src_marks = marks(normalise(triple[2][3]), ref)
                source_edits = errors(src_marks)
                both = missed(src_marks, hyp_marks) if source_edits and edits else 0
                c["source_edits"] += source_edits
                c["missed"] += both
                c["fixed"] += source_edits - both
                c["false_corrections"] += edits - both
                if spans and source_edits:
                    c["source_term_errors"] += term_misses(spans, src_marks)
            if edits:
                self._rank(name, triple, edits, source_edits, len(ref))
        return tally

    def _rank(self, name, triple, edits, source_edits, chars):
        self._seen += 1
        # Most edits first; among equals the higher rate, then the earlier cue.
        key = (edits, edits / chars if chars else float(edits), -self._seen)
        if len(self.worst) < WORST:
            heapq.heappush(self.worst, (key, name, triple, source_edits))
        elif key > self.worst[0][0]:
            heapq.heapreplace(self.worst, (key, name, triple, source_edits))

    def worst_cues(self):
        rows = []
        for key, name, triple, source_edits in sorted(self.worst, reverse=True):
            ref, hyp = triple[0], triple[1]
            row = {"file": name, "index": ref[2], "start": ref[0], "end": ref[1],
                   "reference": ref[3], "hypothesis": hyp[3], "edits": key[0], "cer": key[1]}
            if len(triple) == 3:
                row.update(source=triple[2][3], source_edits=source_edits)
            rows.append(row)
        return rows


# --- decisions ----------------------------------------------------------------

def review_decisions(folder):
    """{lecture name: Tally} of the reviewer's decisions on the model's edits
    in the batch written to `folder`; {} where it holds no review store."""
    from brivane.changes import ChangesError, load_batch
    from brivane.decisions import Decisions, store_path

    if folder is None or not os.path.isfile(store_path(folder)):
        return {}
    try:
        document = load_batch(folder)
    except ChangesError:
        return {}
    found = {}
    store = Decisions(folder)
    try:
        for file in document["files"]:
            if not file.get("output"):
                continue
            records, _ = store.for_file(file)
            tally = Tally()
            for position, block in enumerate(file.get("blocks") or []):
                record = records.get(position)
                if record is None or "model" not in block["flags"]:
                    continue
                tally.counts["decided"] += 1
                tally.counts[{"reject": "rejected", "edit": "edited"}.get(record["decision"], "accepted")] += 1
            found[lecture_name(file["output"])[0]] = tally
    finally:
        store.close()
    return found


# --- terms --------------------------------------------------------------------

def known_terms(config_file=None, glossaries=(), terms_files=()):
    """The right sides of the packaged glossary, the configuration's and
    the given glossary files, and the terms of each terms file (a glossary
    .json, or one term a line)."""
    from brivane.configuration import load_configuration
    from brivane.glossary_files import (GlossaryError, configured_glossary_files,
                                        packaged_glossary, read_glossary)

    config, problems = load_configuration(config_file)
    if problems:
        raise ScoreError(problems[0])
    try:
        paths = configured_glossary_files(config, config_file) + list(glossaries)
    except GlossaryError as error:
        raise ScoreError(str(error)) from error
    read = [packaged_glossary()] + [read_glossary(path) for path in paths]
    terms = set()
    for path in terms_files:
        if path.lower().endswith(".json"):
            read.append(read_glossary(path))
            continue
        try:
            with open(path, encoding="utf-8-sig") as stream:
                terms |= {line.strip() for line in stream if line.strip() and not line.startswith("#")}
        except OSError as error:
            raise ScoreError(f"--terms: 无法读取 {path}: {error.strerror or error}") from error
    for glossary in read:
        if glossary.load_error:
            raise ScoreError(glossary.load_error)
    return terms | {entry.right for glossary in read for entry in glossary.entries}


# --- the score ------------------------------------------------------------------

def _cue_row(name, side, cue):
    return {"file": name, "side": side, "index": cue[2], "start": cue[0], "end": cue[1], "text": cue[3]}


def score(reference, hypothesis, source=None, terms=(), punctuation=True):
    """The figures of a hypothesis (file or folder) against a reference, as
    ``--json`` writes them."""
    given = {"reference": reference, "hypothesis": hypothesis, "source": source}
    roles = [role for role in ROLES if given[role] is not None]
    if all(os.path.isfile(given[role]) for role in roles):
        # Files named one by one pair whatever their names.
        name = lecture_name(reference)[0]
        found = {role: {name: given[role]} for role in roles}
    else:
        found = {role: lectures(given[role], role) for role in roles}
    decisions = review_decisions(_batch_folder(hypothesis))
    scorer = Scorer(terms, punctuation)
    total, files, unpaired, unpaired_files = Tally(), [], [], []
    with_source = source is not None
    for name in sorted(set().union(*found.values())):
        paths = {role: found[role].get(name) for role in roles}
        if None in paths.values():
            present = {role: path for role, path in paths.items() if path}
            cues = sum(len(read_cues(path)) for path in present.values())
            unpaired_files.append({"file": name, "missing": [r for r in roles if not paths[r]],
                                   "present": present, "cues": cues})
            total.counts["unpaired"] += cues
            continue
        triples, left = pair_cues([read_cues(paths[role]) for role in roles])
        tally = scorer.file(name, triples)
        tally.counts["unpaired"] = len(left)
        unpaired += [_cue_row(name, side, cue) for side, cue in left]
        if name in decisions:
            tally.add(decisions[name])
        total.add(tally)
        files.append({"file": name, **paths, "_tally": tally})
    with_decisions = bool(decisions)
    for entry in files:
        entry.update(entry.pop("_tally").figures(with_source, with_decisions))
    return {"format": FORMAT, "version": VERSION,
            "generated": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "reference": reference, "hypothesis": hypothesis, "source": source,
            "punctuation": punctuation, "known_terms": len(set(terms)),
            "files": files, "total": total.figures(with_source, with_decisions),
            "unpaired": unpaired, "unpaired_files": unpaired_files,
            "worst": scorer.worst_cues()}


def _batch_folder(hypothesis):
    return hypothesis if os.path.isdir(hypothesis) else os.path.dirname(os.path.abspath(hypothesis))


# --- showing it --------------------------------------------------------------------

def percent(value):
    return "—" if value is None else f"{value * 100:.2f}%"


def _width(text):
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _pad(text, width, right):
    space = " " * max(0, width - _width(text))
    return space + text if right else text + space


def table(document):
    """The terminal's table: a row per file, the totals last."""
    total = document["total"]
    columns = [("文件", None), ("字幕块", "cues"), ("参考字数", "chars"), ("CER", "cer")]
    if "source_cer" in total:
        columns += [("原文CER", "source_cer"), ("相对降低", "reduction"), ("修正", "fixed"),
                    ("漏改", "missed"), ("误改", "false_corrections")]
    columns += [("术语", "terms"), ("术语错误率", "term_error_rate")]
    if "source_term_error_rate" in total:
        columns.append(("原文术语错误率", "source_term_error_rate"))
    if "acceptance" in total:
        columns.append(("采纳率", "acceptance"))
    columns.append(("未配对", "unpaired"))
    rates = {"cer", "source_cer", "reduction", "term_error_rate", "source_term_error_rate", "acceptance"}

    def cells(name, figures):
        return [name] + [percent(figures[key]) if key in rates else str(figures[key])
                         for _, key in columns[1:]]

    rows = [[title for title, _ in columns]]
    rows += [cells(entry["file"], entry) for entry in document["files"]]
    rows.append(cells("合计", total))
    widths = [max(_width(row[k]) for row in rows) for k in range(len(columns))]
    lines = ["  ".join(_pad(cell, widths[k], k > 0) for k, cell in enumerate(row)) for row in rows]
    lines.insert(1, "-" * _width(lines[0]))
    lines.insert(len(lines) - 1, "-" * _width(lines[0]))
    return "\n".join(lines)


SIDES = {"reference": "参考", "hypothesis": "校正", "source": "原文"}


def unpaired_lines(document, most=10):
    lines = []
    for entry in document["unpaired_files"]:
        missing = "、".join(SIDES[role] for role in entry["missing"])
        lines.append(f"未配对的文件: {entry['file']} (缺少{missing}，{entry['cues']} 个字幕块未计分)")
    rows = document["unpaired"]
    if rows:
        lines.append(f"未配对的字幕块: {len(rows)} 个 (时间轴在另一方找不到)")
        for row in rows[:most]:
            lines.append(f"  {row['file']} [{SIDES[row['side']]}] #{row['index']} "
                         f"{row['start']} --> {row['end']}: {row['text']}")
        if len(rows) > most:
            lines.append(f"  … 另有 {len(rows) - most} 个 (见 --json)")
    return lines


def html(document):
    import jinja2

    from brivane.review import side_by_side

    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("brivane", "templates"),
        autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined)
    environment.filters["percent"] = percent
    worst = []
    for row in document["worst"]:
        shown = {"row": row, "hypothesis": side_by_side(row["hypothesis"], row["reference"])}
        if "source" in row:
            shown["source"] = side_by_side(row["source"], row["reference"])
        worst.append(shown)
    rates = [entry[key] or 0 for entry in document["files"] for key in ("cer", "source_cer") if key in entry]
    return environment.get_template("score.html.j2").render(
        document=document, worst=worst, scale=max(rates, default=0) or 1, sides=SIDES)


# --- the command line ---------------------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="brivane score",
        description="按人工校对的字幕给校正结果打分 (score corrected subtitles against "
                    "human-corrected ones): CER, 修正/漏改/误改, 术语错误率, 采纳率.")
    parser.add_argument("reference", metavar="REFERENCE", help="the human-corrected SRT file or folder")
    parser.add_argument("hypothesis", metavar="HYPOTHESIS", help="the corrected SRT file or folder")
    parser.add_argument("--source", default=None, metavar="SOURCE",
                        help="the SRT file or folder that was corrected (the recogniser's text)")
    parser.add_argument("--terms", action="append", default=[], metavar="FILE",
                        help="more known terms: one a line, or a glossary .json (repeatable)")
    parser.add_argument("--config", default=None, metavar="FILE",
                        help="configuration whose glossary_files give known terms")
    parser.add_argument("--glossary", action="append", default=[], metavar="FILE",
                        help="a further glossary whose terms count (repeatable)")
    parser.add_argument("--no-punct", action="store_true", help="leave punctuation out of every figure")
    parser.add_argument("--json", default=None, metavar="FILE", help="write the figures as JSON")
    parser.add_argument("--html", default=None, metavar="FILE",
                        help="write a page: CER per file and the worst cues side by side")
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        terms = known_terms(args.config, args.glossary, args.terms)
        document = score(args.reference, args.hypothesis, args.source, terms, not args.no_punct)
        if args.json:
            _native.replace_file(args.json, json.dumps(document, ensure_ascii=False, indent=1) + "\n")
        if args.html:
            _native.replace_file(args.html, html(document))
    except (ScoreError, OSError) as error:
        print(f"brivane score: {error}", file=sys.stderr)
        return USAGE
    print(table(document))
    for line in unpaired_lines(document):
        print(line)
    return CLEAN
