"""The character diff the review report shows and the glossary suggestions
learn from: one alignment, so both read an edit the same way."""
from __future__ import annotations

from rapidfuzz.distance import Levenshtein


def opcodes(a, b):
    """(tag, i1, i2, j1, j2) runs turning `a` into `b`, as difflib names them."""
    return Levenshtein.opcodes(a, b).as_list()
