"""The review report: ``<output>/review/index.html``, one page per file and
``changes.json``, made from the block records the engine hands over as it
corrects each file.

Every block record holds the text sent, the block in the reply as returned,
after the glossary and after the cleanup (the text written), so the page can
say which step made each edit. Pages are self-contained (inline CSS and
JavaScript, no network) and render their rows from JSON embedded with
Jinja2's HTML-safe ``tojson``; subtitle text only ever reaches the page as
text, never as markup.
"""
from __future__ import annotations

import collections
import datetime
import functools
import json
import os

import jinja2
from markupsafe import Markup

from brivane import _native, cost
from brivane.changes import FORMAT, VERSION
from brivane.diff import opcodes as _opcodes

# A block is flagged as a big change when more than a third of its
# characters (sent and written together) lie outside the diff's kept runs,
# counted after the glossary's own replacements, and the edit is more than
# one replaced word (see is_big_change).
BIG_CHANGE = 1 / 3
# The longest replaced run (each side) that still counts as a one-word fix.
ONE_WORD = 4

USAGE_KEYS = ("prompt_tokens", "completion_tokens", "prompt_cache_hit_tokens",
              "prompt_cache_miss_tokens", "reasoning_tokens")

# Page names the report itself uses.
RESERVED_PAGES = {"index", "changes", "queue"}
QUEUE_PAGE = "queue.html"


def differs_by_much(sent, final, opcodes=None):
    """More than a third of the characters (of both texts) lie outside the
    runs the character diff keeps."""
    if sent == final:
        return False
    kept = sum(i2 - i1 for tag, i1, i2, _, _ in opcodes or _opcodes(sent, final) if tag == "equal")
    total = len(sent) + len(final)
    return (total - 2 * kept) / total > BIG_CHANGE


def apply_entries(text, entries):
    """The glossary's (wrong, right) replacements on a text, as the engine
    applies them."""
    return _native.apply_entries([f"{wrong}→{right}" for wrong, right in entries], text)


def is_one_word_fix(a, b):
    """The texts differ in one run of at most ONE_WORD characters each side
    (what is left after their common start and end)."""
    start = 0
    while start < min(len(a), len(b)) and a[start] == b[start]:
        start += 1
    end = 0
    while end < min(len(a), len(b)) - start and a[-1 - end] == b[-1 - end]:
        end += 1
    return len(a) - start - end <= ONE_WORD and len(b) - start - end <= ONE_WORD


def is_big_change(sent, final, glossary_entries=()):
    """Much differs once the glossary's replacements are taken as given, and
    the rest is not a one-word fix: a corrected term on a short line is not
    a rewrite."""
    base = apply_entries(sent, glossary_entries)
    return differs_by_much(base, final) and not is_one_word_fix(base, final)


def removed_commentary(block):
    """The runs the cleanup took out of the text after the glossary: the
    model's notes, where it doubted the text."""
    before, after = block.get("glossary"), block["final"]
    if before is None or before == after:
        return []
    removed = []
    for tag, i1, i2, _, _ in _opcodes(before, after):
        if tag != "equal" and i2 > i1 and before[i1:i2].strip():
            removed.append(before[i1:i2].strip())
    return removed


def annotate(blocks):
    """Adds what the engine's records leave implicit: the removed commentary."""
    for block in blocks:
        block["removed"] = removed_commentary(block)
    return blocks


def side_by_side(a, b, opcodes=None):
    """The two texts as runs: ``[changed, text]`` pairs for each side, where
    changed marks a deleted run on the left and an inserted one on the right."""
    left, right = [], []
    for tag, i1, i2, j1, j2 in opcodes or _opcodes(a, b):
        if i2 > i1:
            left.append([int(tag != "equal"), a[i1:i2]])
        if j2 > j1:
            right.append([int(tag != "equal"), b[j1:j2]])
    return left, right


def inline_diff(a, b):
    """One edit step as runs ``[op, text]``: 0 kept, -1 deleted, 1 inserted."""
    runs = []
    for tag, i1, i2, j1, j2 in _opcodes(a, b):
        if tag == "equal":
            runs.append([0, a[i1:i2]])
            continue
        if i2 > i1:
            runs.append([-1, a[i1:i2]])
        if j2 > j1:
            runs.append([1, b[j1:j2]])
    return runs


STEPS = ("model", "glossary", "commentary")


def page_diffs(blocks):
    """The character diffs the page shows, for the changed blocks only, by
    position: sent against written, and each step on its own where more than
    one step edited the block (with one step, that step's diff is the whole
    diff). Also adds the big-change flag."""
    diffs = {}
    for position, block in enumerate(blocks):
        sent, final = block["sent"], block["final"]
        if sent == final:
            continue
        opcodes = _opcodes(sent, final)
        if "big" not in block["flags"] and is_big_change(sent, final, block["glossary_entries"]):
            block["flags"].append("big")
        diff = {"sides": side_by_side(sent, final, opcodes)}
        steps = [step for step in STEPS if step in block["flags"]]
        if len(steps) > 1:
            texts = {"model": (sent, block["returned"]),
                     "glossary": (block["returned"], block["glossary"]),
                     "commentary": (block["glossary"], final)}
            diff["steps"] = [[step, inline_diff(*texts[step])] for step in steps]
        diffs[position] = diff
    return diffs


def sum_usage(usages):
    """Token sums over the replies' `usage` objects; a count the service did
    not report stays None."""
    sums = dict.fromkeys(USAGE_KEYS)
    requests = 0
    for usage in usages:
        if not isinstance(usage, dict):
            continue
        requests += 1
        for key in USAGE_KEYS:
            value = _usage_count(usage, key)
            if isinstance(value, int) and not isinstance(value, bool):
                sums[key] = (sums[key] or 0) + value
    return {"requests": requests, **sums}


def _usage_count(usage, key):
    if key == "reasoning_tokens":  # part of completion_tokens, reported apart
        details = usage.get("completion_tokens_details")
        return details.get(key) if isinstance(details, dict) else None
    return usage.get(key)


def add_usage(total, part):
    merged = {"requests": total["requests"] + part["requests"]}
    for key in USAGE_KEYS:
        values = [v for v in (total[key], part[key]) if v is not None]
        merged[key] = sum(values) if values else None
    return merged


# The edits a reviewer should look at first.
FLAGGED = frozenset(("risk", "missing", "filtered", "timing", "big", "commentary"))


def block_totals(blocks, changed):
    # One pass: a long lecture has tens of thousands of blocks.
    flags = collections.Counter(flag for block in blocks for flag in block["flags"])
    return {
        "blocks": len(blocks),
        "changed": changed,
        "model": flags["model"],
        "glossary": sum(len(block["glossary_entries"]) for block in blocks),
        "commentary": flags["commentary"],
        "missing": flags["missing"],
        "timing": flags["timing"],
        "big": flags["big"],
        "risk": flags["risk"],
        "follow_up": flags["follow_up"],
        "flagged": sum(not FLAGGED.isdisjoint(block["flags"]) for block in blocks),
    }


# Review order, most urgent first: a change that may alter what students
# learn (a number, unit, negation or side, or a course-wide inconsistency),
# then timing, a block kept as sent, a rewrite, a removed note, a glossary
# term, any other edit, nothing changed.
RANKS = ("risk", "timing", "missing", "big", "commentary", "glossary", "model", "unchanged")
UNCHANGED = len(RANKS) - 1
EDITED = RANKS.index("model")
FLAG_RANKS = {**{flag: rank for rank, flag in enumerate(RANKS[:UNCHANGED])}, "filtered": RANKS.index("missing")}


def risk_rank(block, course=()):
    """The block's place in review order (an index into RANKS); `course` are
    its course-wide flags."""
    if course:
        return 0
    ranks = [FLAG_RANKS[flag] for flag in block["flags"] if flag in FLAG_RANKS]
    if ranks:
        return min(ranks)
    return EDITED if block["sent"] != block["final"] else UNCHANGED


def file_risk_key(ranks, failed=False):
    """Sort key of a file in review order: a failed file first, then the
    file with more blocks of the first rank, then of the next, ..."""
    counts = collections.Counter(ranks)
    return (not failed, *(-counts[rank] for rank in range(UNCHANGED)))


def _dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _write_atomically(path, text):
    """Whole or not at all: a reader never sees half a page."""
    _native.replace_file(path, text)


class Report:
    """Collects the files of a batch, then writes the report's files."""

    def __init__(self, engine):
        from brivane import brivane as engine_module

        self.engine = engine
        self._engine_module = engine_module
        self.files = []
        self.diffs = []  # per file, what its page shows of each changed block

    def redact(self, text):
        """No API key in what is written, as in the engine's records."""
        return self._engine_module._redact(text)

    def now(self):
        # The engine's clock ("YYYY-MM-DD HH:MM:SS"), so a caller that fixes
        # it fixes the report too.
        return self._engine_module.datetime.now().strftime("%Y-%m-%d %H:%M:%S")

    def add_file(self, *, input, output, corrected, started, window_size, blocks, usages,
                 encoding=None, reason=None):
        self.diffs.append(page_diffs(annotate(blocks)))
        reason = None if corrected else (reason or "未知原因（见进程日志）")
        self.files.append({
            "input": os.fspath(input),
            "output": None if output is None else os.fspath(output),
            "status": "corrected" if corrected else "failed",
            "started": started,
            "window_size": window_size,
            "encoding": encoding,  # when read in a guessed encoding other than UTF-8
            "reason": reason,  # why it failed, as the engine's error record said it
            "totals": block_totals(blocks, len(self.diffs[-1])),
            "usage": sum_usage(usages),
            "blocks": blocks,
        })
        self._price(self.files[-1])

    def _price(self, file):
        """The file's cost at its start, where `pricing` lists the model (the
        field is left out otherwise, as before pricing existed)."""
        prices = self._prices()
        if prices is None:
            return
        try:
            moment = datetime.datetime.strptime(file["started"], "%Y-%m-%d %H:%M:%S").astimezone()
        except (TypeError, ValueError):
            moment = cost.now()
        file["cost"] = {"amount": cost.cost(file["usage"], prices, moment),
                        "currency": prices["currency"]}

    def _prices(self):
        try:
            return cost.model_prices(self.engine.config, self.engine.model)
        except cost.PricingError:
            return None  # the command refuses it before the run; a caller's own engine shows none

    def usage(self):
        total = sum_usage(())
        for file in self.files:
            total = add_usage(total, file["usage"])
        return total

    def cost(self):
        """The batch's cost, {"amount", "currency"}, or None when unpriced."""
        priced = [file["cost"] for file in self.files if "cost" in file]
        if not priced:
            return None
        return {"amount": sum(part["amount"] for part in priced), "currency": priced[0]["currency"]}

    def usage_record(self):
        usage = self.usage()
        record = (f"本批次用量: 输入 {usage['prompt_tokens'] or 0} tokens"
                  f"（缓存命中 {usage['prompt_cache_hit_tokens'] or 0}），"
                  f"输出 {usage['completion_tokens'] or 0} tokens，"
                  f"推理 {usage['reasoning_tokens'] or 0} tokens")
        total = self.cost()
        if total is not None:
            record += f"，费用约 {cost.money(total['amount'], total['currency'])}"
        return record

    def _name_pages(self):
        taken = set(RESERVED_PAGES)
        for file in self.files:
            stem = os.path.splitext(os.path.basename(file["input"]))[0] or "file"
            name, n = stem, 1
            while name.lower() in taken:
                n += 1
                name = f"{stem}_{n}"
            taken.add(name.lower())
            file["page"] = f"{name}.html"

    def document(self, generated):
        """The report as changes.json holds it."""
        document = {"format": FORMAT, "version": VERSION, "generated": generated,
                    "model": self.engine.model, "usage": self.usage()}
        total = self.cost()
        if total is not None:
            document["cost"] = total
        return {**document, "files": self.files}

    def write(self):
        """Writes the pages, the course queue and changes.json; returns the
        index's path."""
        folder = os.path.join(self.engine.output_dir, "review")
        os.makedirs(folder, exist_ok=True)
        self._name_pages()
        templates = _templates()
        document = self.document(self.now())
        names = [{"page": file["page"], "name": _file_name(file)} for file in self.files]
        names_json = _dumps(names)
        # Each file's blocks are serialised once, for its page, the queue
        # and changes.json alike.
        files_json, parts, ranks_of = [], [], []
        for file_no, (file, diffs) in enumerate(zip(self.files, self.diffs)):
            blocks_json = _dumps(file["blocks"])
            head = _dumps({key: value for key, value in file.items() if key != "blocks"})
            files_json.append(f'{head[:-1]},"blocks":{blocks_json}}}')
            # The course-wide flags follow the reviewer's decisions: the
            # workbench adds them (and the ranks they give) to what is here.
            ranks = [risk_rank(block) for block in file["blocks"]]
            ranks_of.append(ranks)
            # Made safe once for the file's page and the queue (the escape
            # is character by character, so the parts join as they are).
            part = _safe_json(f'{{"blocks":{blocks_json},"diffs":{_dumps(diffs)},"ranks":{_dumps(ranks)}}}')
            del blocks_json  # a long lecture's text is held a few times over at most
            parts.append(part)
            data = part[:-1] + _safe_json(f',"files":{names_json},"file_no":{file_no}}}')
            page = templates.get_template("file.html.j2").render(
                file=file, model=document["model"], labels=LABELS, unchanged=UNCHANGED,
                data=Markup(data))
            del data
            _write_atomically(os.path.join(folder, file["page"]), self.redact(page))
            del page
        queue_data = f'{{"files":{_safe_json(names_json)},"parts":[{",".join(parts)}]}}'
        del parts[:]
        queue = templates.get_template("queue.html.j2").render(
            document=document, labels=LABELS, unchanged=UNCHANGED,
            blocks=sum(len(file["blocks"]) for file in self.files), data=Markup(queue_data))
        del queue_data
        _write_atomically(os.path.join(folder, QUEUE_PAGE), self.redact(queue))
        del queue
        by_risk = sorted(range(len(self.files)), key=lambda n: file_risk_key(
            ranks_of[n], self.files[n]["status"] == "failed"))
        index = templates.get_template("index.html.j2").render(
            document=document, labels=LABELS, by_risk=[(n, self.files[n]) for n in by_risk])
        index_path = os.path.join(folder, "index.html")
        _write_atomically(index_path, self.redact(index))
        head = _dumps({key: value for key, value in document.items() if key != "files"})
        _write_atomically(os.path.join(folder, "changes.json"),
                          self.redact(f'{head[:-1]},"files":[{",".join(files_json)}]}}\n'))
        return index_path


def _file_name(file):
    return file["input"].replace("\\", "/").split("/")[-1]


def _safe_json(text):
    """Already-serialised JSON made safe inside a <script> element, as
    Jinja's htmlsafe_json_dumps makes it, but a plain string: the pieces are
    joined before they reach a template."""
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026").replace("'", "\\u0027")


@functools.cache
def _templates():
    # Made and compiled once per process, not per batch.
    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("brivane", "templates"),
        autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined)
    environment.filters["money"] = lambda part: cost.money(part["amount"], part["currency"])
    # Compact, and Chinese as itself: the rows of a long lecture weigh less.
    environment.policies["json.dumps_kwargs"] = {"ensure_ascii": False, "separators": (",", ":")}
    return environment


# Badge texts and what each means (shown as the badge's tooltip).
LABELS = {
    "risk": ("风险", "a number, unit, negation or side differs from the text sent: check it against the lecture"),
    "model": ("模型修改", "the model changed the text (beyond a note it added)"),
    "glossary": ("术语库", "the glossary replaced a term"),
    "commentary": ("删除注释", "commentary the model added was removed"),
    "missing": ("回复缺失", "the reply lacked this block; kept as sent"),
    "filtered": ("审核拦截", "the service's content filter stopped the reply; kept as sent"),
    "timing": ("时间轴被改", "the reply changed the timing; the original was kept"),
    "big": ("大幅改动", "more than a third of the characters differ, beyond the glossary's terms and a one-word fix"),
    "follow_up": ("补充请求", "taken from the follow-up request"),
    "inconsistent": ("不一致", "the same text was corrected differently elsewhere in the course; the majority's form is shown"),
    "maybe_missed": ("可能漏改", "the same text was corrected elsewhere in the course and left unchanged here"),
}
