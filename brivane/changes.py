"""A batch's review data, ``<output>/review/changes.json``: its format and
its one reader, for the workbench, its export and the glossary suggestions.
"""
from __future__ import annotations

import json
import os

FORMAT, VERSION = "brivane-changes", 1


class ChangesError(ValueError):
    """Review data that cannot be read or is not brivane's; the message names it."""


def changes_path(output_dir):
    return os.path.join(output_dir, "review", "changes.json")


def read_changes(path):
    """The review data in the file at `path`."""
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
    except (OSError, ValueError) as error:
        raise ChangesError(f"无法读取审阅数据 {path}: {error}") from error
    if not (isinstance(document, dict) and document.get("format") == FORMAT
            and isinstance(document.get("files"), list)):
        raise ChangesError(f"{path}: 不是 brivane 的审阅数据 (changes.json)")
    return document


def load_batch(output_dir):
    """The review data of the batch written to `output_dir`."""
    path = changes_path(output_dir)
    try:
        return read_changes(path)
    except ChangesError as error:
        if isinstance(error.__cause__, FileNotFoundError):  # no report made: say how to get one
            raise ChangesError(f"{output_dir} 中没有审阅数据 ({path})；先用 --report 运行批次") from None
        raise
