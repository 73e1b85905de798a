"""User glossary files as the engine reads them: each file's entries,
standardisation marks and problems, with the engine's own messages; the
packaged library; the configured files; and the merged glossary the engine
applies.
"""
from __future__ import annotations

import dataclasses
import os
from importlib import resources

from brivane import _native

# The categories the engine applies, in its order of application, and the
# top-level key listing entries that deliberately standardise a variant
# spelling (心肌梗塞→心肌梗死): a dictionary hit is then expected. Not a
# category: the engine neither merges nor applies it.
CATEGORIES, STANDARDISATIONS = _native.CATEGORIES, _native.STANDARDISATIONS
# The packaged library's standardisations; the library itself keeps exactly
# its twelve categories, so its marks live beside it.
PACKAGED_MARKS = "error_terms_standardisations.json"
PACKAGED = "error_terms_library.json"
ARROW = "→"


class GlossaryError(ValueError):
    """A glossary, the dictionary or a batch's decisions the glossary tools
    cannot use; the message names it."""


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
    data: object = None  # the file's parsed JSON, which an engine can take instead of reading it


def read_glossary(path, shown=None):
    """Reads one glossary file with the engine's own reader, collecting every
    problem of shape and entry syntax; `load_error` is the engine's message
    when it would refuse the file."""
    shown = str(path) if shown is None else shown
    read = _native.read_glossary(path)
    glossary = Glossary(shown, [Entry(shown, *entry) for entry in read["entries"]],
                        set(read["marks"]), [Problem(shown, *problem) for problem in read["problems"]],
                        data=read["data"])
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


def configured_glossary_files(config, config_file):
    """The configuration's glossary files, relative to its folder (the
    package folder for the packaged configuration)."""
    files = config.get("glossary_files")
    if files is None:
        return []
    problem = _native.setting_problem("glossary_files", files)
    if problem:
        raise GlossaryError(problem)
    if config_file is None:
        config_file = os.path.join(os.path.dirname(os.path.abspath(__file__)), "config.json")
    return _native.glossary_paths(config_file, files)


def load_error(path):
    """The engine's message for a glossary file it would refuse, else None."""
    return read_glossary(path).load_error

