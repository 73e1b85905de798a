"""Makes the quality benchmark's subtitles from the lecture text in text/:
reference/<name>.srt holds the text as written, source/<name>.srt the same
cues with the errors speech recognition makes, and errors.json lists every
error put in. The output is committed, so the benchmark itself needs
neither pypinyin nor this script; run it again after editing text/.

    .venv/bin/pip install pypinyin        # or the package's dev extra
    .venv/bin/python bench/quality/generate.py

Errors, drawn with a fixed seed per file:
- homophone: characters replaced by others read the same (pypinyin, tone
  included), among the most common simplified characters;
- near-homophone: the same toneless reading, or one a southern ear merges
  (z/zh, c/ch, s/sh, n/l, an/ang, en/eng, in/ing);
- known: a term replaced by the wrong form the packaged glossary lists for
  it, where pypinyin confirms the two sound alike;
- number: 十五 heard as 五十 and the reverse, 四 as 十;
- unit: the unit after a number dropped;
- split: a comma put inside a term (a pause mid-word);
- joined: the comma between two clauses dropped.
"""
from __future__ import annotations

import json
import os
import pathlib
import random
import re

import jieba
import pypinyin
from pypinyin import Style
from rapidfuzz.distance import Levenshtein

HERE = pathlib.Path(__file__).resolve().parent
LIBRARY = HERE.parent.parent / "brivane" / "error_terms_library.json"
SEED = 27
CLEAN_SHARE = 0.38  # cues left without error: they measure false corrections
POOL_SIZE = 3000
# kind -> weight; a kind that does not apply to a cue is drawn again.
KINDS = {"known": 2, "homophone": 3, "near-homophone": 2, "number": 2, "unit": 2,
         "split": 1, "joined": 1}
UNITS = ("纳克每毫升", "毫摩尔每升", "微摩尔每升", "毫克每升", "毫米汞柱", "克每升", "每微升",
         "毫克", "毫升", "小时", "分钟", "克")
DIGITS = "二三四五六七八九"
NUMERALS = "零一二三四五六七八九十百千万点"


def is_cjk(ch):
    return "\u4e00" <= ch <= "\u9fff"


def simplified(ch):
    """In GB 2312: simplified and common, as a Mainland recogniser writes."""
    try:
        ch.encode("gb2312")
    except UnicodeEncodeError:
        return False
    return True


def fuzzy(reading):
    """A reading as a southern ear hears it: toneless, merged initials and finals."""
    syllable = reading.rstrip("012345")
    for merged, plain in (("zh", "z"), ("ch", "c"), ("sh", "s")):
        if syllable.startswith(merged):
            syllable = plain + syllable[2:]
    if syllable.startswith("n"):
        syllable = "l" + syllable[1:]
    for merged, plain in (("ang", "an"), ("eng", "en"), ("ing", "in")):
        if syllable.endswith(merged):
            syllable = syllable[:-len(merged)] + plain
    return syllable


def readings(ch):
    return set(pypinyin.pinyin(ch, style=Style.TONE3, heteronym=True, neutral_tone_with_five=True)[0])


def context_readings(text):
    """Each character's reading in its phrase (None outside Chinese)."""
    out = [None] * len(text)
    for run in re.finditer(r"[\u4e00-\u9fff]+", text):
        said = pypinyin.lazy_pinyin(run.group(), style=Style.TONE3, neutral_tone_with_five=True)
        if len(said) != len(run.group()):
            said = [pypinyin.lazy_pinyin(ch, style=Style.TONE3, neutral_tone_with_five=True)[0]
                    for ch in run.group()]
        out[run.start():run.end()] = said
    return out


class Pool:
    """Common characters by reading. A character's frequency is that of the
    jieba words holding it: jieba's own counts for single characters rank
    rare and traditional ones high."""

    def __init__(self):
        path = os.path.join(os.path.dirname(jieba.__file__), "dict.txt")
        counts = {}
        with open(path, encoding="utf-8") as stream:
            for line in stream:
                word, frequency = line.split()[:2]
                for ch in word:
                    if is_cjk(ch) and simplified(ch):
                        counts[ch] = counts.get(ch, 0) + int(frequency)
        chars = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:POOL_SIZE]
        self.frequency = dict(chars)
        self.exact, self.near = {}, {}
        for ch, _ in chars:
            # Its usual reading only: rare and archaic ones would make
            # substitutions no recogniser makes.
            reading = context_readings(ch)[0]
            self.exact.setdefault(reading, []).append(ch)
            self.near.setdefault(fuzzy(reading), []).append(ch)

    def alike(self, ch, reading, exact):
        same = set(self.exact.get(reading, ()))
        found = same if exact else set(self.near.get(fuzzy(reading), ())) - same
        return sorted(found - {ch})

    def pick(self, rng, candidates):
        # Recognition prefers frequent characters, but not only the most frequent.
        return rng.choices(candidates, weights=[self.frequency[c] ** 0.5 for c in candidates])[0]


def glossary():
    with open(LIBRARY, encoding="utf-8") as stream:
        library = json.load(stream)
    return [tuple(entry.split("→")) for entries in library.values() for entry in entries]


def sounds_alike(wrong, right):
    if len(wrong) != len(right) or not all(map(is_cjk, wrong + right)):
        return False
    said = context_readings(right)
    return all(any(fuzzy(r) == fuzzy(s) for r in readings(w)) for w, s in zip(wrong, said))


class Errors:
    def __init__(self, pool, entries):
        self.pool = pool
        self.alike_pairs = [(w, r) for w, r in entries if sounds_alike(w, r)]
        self.terms = sorted({r for _, r in entries}, key=len, reverse=True)

    def term_spans(self, text):
        spans, taken = [], set()
        for term in self.terms:
            for found in re.finditer(re.escape(term), text):
                if not taken & set(range(*found.span())):
                    spans.append(found.span())
                    taken |= set(range(*found.span()))
        return sorted(spans)

    # Each kind: (new text, record), or None where it does not apply.

    def known(self, text, rng):
        found = [(w, r) for w, r in self.alike_pairs if r in text]
        if not found:
            return None
        wrong, right = rng.choice(sorted(found))
        at = rng.choice([m.start() for m in re.finditer(re.escape(right), text)])
        return text[:at] + wrong + text[at + len(right):], {"from": right, "to": wrong}

    def sound(self, text, rng, exact):
        said = context_readings(text)
        spans = self.term_spans(text)
        inside = [k for a, b in spans for k in range(a, b) if said[k]]
        anywhere = [k for k, reading in enumerate(said) if reading]
        # Recognition garbles domain words most.
        positions = list(inside if inside and rng.random() < 0.6 else anywhere)
        rng.shuffle(positions)
        for start in positions:
            width = 2 if rng.random() < 0.25 and start + 1 < len(text) and said[start + 1] else 1
            new = list(text)
            for k in range(start, start + width):
                candidates = self.pool.alike(text[k], said[k], exact)
                if not candidates:
                    break
                new[k] = self.pool.pick(rng, candidates)
            else:
                return "".join(new), {"from": text[start:start + width],
                                      "to": "".join(new[start:start + width])}
        return None

    def homophone(self, text, rng):
        return self.sound(text, rng, exact=True)

    def near_homophone(self, text, rng):
        return self.sound(text, rng, exact=False)

    def number(self, text, rng):
        # 十五 / 五十, and 四 / 十 (si and shi merge).
        plain = rf"(?<![{NUMERALS}])(十[{DIGITS}]|[{DIGITS}]十)(?![{NUMERALS}])"
        heard = [(m.start(), m.group(), m.group()[::-1]) for m in re.finditer(plain, text)]
        heard += [(m.start(), m.group(), "十" if m.group() == "四" else "四")
                  for m in re.finditer(rf"(?<![{NUMERALS}])[四十](?![{NUMERALS}])", text)]
        if not heard:
            return None
        at, was, now = rng.choice(heard)
        return text[:at] + now + text[at + len(was):], {"from": was, "to": now}

    def unit(self, text, rng):
        units = "|".join(UNITS)
        found = list(re.finditer(rf"(?<=[{NUMERALS}\d])({units})", text))
        if not found:
            return None
        m = rng.choice(found)
        return text[:m.start()] + text[m.end():], {"from": m.group(), "to": ""}

    def split(self, text, rng):
        spans = [(a, b) for a, b in self.term_spans(text) if b - a >= 3]
        if not spans:
            return None
        a, b = rng.choice(spans)
        at = rng.randrange(a + 1, b)
        return text[:at] + "，" + text[at:], {"from": text[a:b], "to": text[a:at] + "，" + text[at:b]}

    def joined(self, text, rng):
        commas = [k for k, ch in enumerate(text[:-1]) if ch in "，、"]
        if not commas:
            return None
        at = rng.choice(commas)
        return text[:at] + text[at + 1:], {"from": text[at - 1:at + 2], "to": text[at - 1] + text[at + 1]}


def garble(errors, text, rng):
    """The text with one to three errors, and what they were. A draw whose
    errors overlap (one undoing or hiding another) is drawn again."""
    for _ in range(50):
        count = rng.choices((1, 2, 3), weights=(70, 25, 5))[0]
        new, made = text, []
        for _ in range(50):
            if len(made) == count:
                break
            kind = rng.choices(list(KINDS), weights=list(KINDS.values()))[0]
            result = getattr(errors, kind.replace("-", "_"))(new, rng)
            if result is not None and result[0] != new:
                new, record = result
                made.append({"kind": kind, **record})
        if made and Levenshtein.distance(new, text) == sum(
                Levenshtein.distance(e["from"], e["to"]) for e in made):
            return new, made
    raise SystemExit(f"no error fits: {text}")


def stamp(milliseconds):
    seconds, ms = divmod(milliseconds, 1000)
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d},{ms:03d}"


def srt(texts):
    return "".join(f"{k}\n{stamp((k - 1) * 4000)} --> {stamp((k - 1) * 4000 + 3500)}\n{text}\n\n"
                   for k, text in enumerate(texts, 1))


def manifest_text(manifest):
    """JSON with one line per cue, so a reader sees each cue's errors at once."""
    def dumps(value):
        return json.dumps(value, ensure_ascii=False)

    files = ",\n".join(f"  {dumps(name)}: [\n" + ",\n".join(f"   {dumps(r)}" for r in records) + "\n  ]"
                       for name, records in manifest["files"].items())
    head = ",\n".join(f" {dumps(k)}: {dumps(v)}" for k, v in manifest.items() if k != "files")
    return f"{{\n{head},\n \"files\": {{\n{files}\n }}\n}}\n"


def main():
    pool = Pool()
    entries = glossary()
    errors = Errors(pool, entries)
    manifest = {"generator": "bench/quality/generate.py", "seed": SEED,
                "pypinyin": pypinyin.__version__, "jieba": jieba.__version__, "files": {}}
    counts = {"cues": 0, "clean": 0, **dict.fromkeys(KINDS, 0)}
    for folder in ("reference", "source"):
        (HERE / folder).mkdir(exist_ok=True)
    for path in sorted((HERE / "text").glob("*.txt")):
        lines = [line.strip() for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
        for line in lines:
            wrong = [w for w, _ in entries if w in line]
            if wrong:  # the glossary would "correct" the reference itself
                raise SystemExit(f"{path.name}: the reference holds glossary errors {wrong}: {line}")
        rng = random.Random(f"{SEED}:{path.stem}")
        clean = set(rng.sample(range(len(lines)), round(len(lines) * CLEAN_SHARE)))
        sources, records = [], []
        for k, line in enumerate(lines):
            text, made = (line, []) if k in clean else garble(errors, line, rng)
            sources.append(text)
            records.append({"index": k + 1, "errors": made})
            counts["cues"] += 1
            counts["clean"] += not made
            for error in made:
                counts[error["kind"]] += 1
        name = f"{path.stem}.srt"
        (HERE / "reference" / name).write_text(srt(lines), encoding="utf-8")
        (HERE / "source" / name).write_text(srt(sources), encoding="utf-8")
        manifest["files"][name] = records
    manifest["counts"] = counts
    (HERE / "errors.json").write_text(manifest_text(manifest), encoding="utf-8")
    print(json.dumps(counts, ensure_ascii=False))


if __name__ == "__main__":
    main()
