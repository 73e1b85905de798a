"""The general Chinese dictionary the glossary tools hold entries against:
jieba's word list with its frequencies, and jieba's segmentation.
"""
from __future__ import annotations

import importlib.util
import os
from collections import defaultdict

from brivane.glossary_files import GlossaryError


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
