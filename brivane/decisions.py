"""The reviewer's decisions, kept in ``<output>/.brivane/review.sqlite3``
beside the reply cache, keyed by file and block position and tied to the
written text they were made on, so a rerun of the batch does not apply them
to other text.
"""
from __future__ import annotations

import datetime
import os
import sqlite3
import threading


def timestamp():
    """The time recorded with a decision or an export."""
    return datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")


def store_path(output_dir):
    return os.path.join(output_dir, ".brivane", "review.sqlite3")


def file_key(file):
    # The input path as the batch named it: stable across reruns of the batch.
    return file["input"]


class Decisions:
    """The reviewer's decisions in SQLite; every change is also appended to a
    history, so nothing a reviewer did is lost."""

    def __init__(self, output_dir):
        self.path = store_path(output_dir)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self._lock = threading.Lock()
        self._db = sqlite3.connect(self.path, check_same_thread=False, isolation_level=None)
        self._db.execute("PRAGMA busy_timeout = 5000")
        # One reviewer's keystrokes: a write-ahead log without a sync per decision.
        self._db.execute("PRAGMA journal_mode = WAL")
        self._db.execute("PRAGMA synchronous = NORMAL")
        with self._lock:
            self._db.executescript("""
                CREATE TABLE IF NOT EXISTS decisions (
                    file TEXT NOT NULL, position INTEGER NOT NULL, block_index TEXT NOT NULL,
                    basis TEXT NOT NULL,
                    decision TEXT CHECK (decision IN ('accept', 'reject', 'edit')),
                    text TEXT, reviewed INTEGER NOT NULL, reviewer TEXT NOT NULL, at TEXT NOT NULL,
                    PRIMARY KEY (file, position));
                CREATE TABLE IF NOT EXISTS history (
                    id INTEGER PRIMARY KEY, file TEXT NOT NULL, position INTEGER NOT NULL,
                    block_index TEXT NOT NULL, action TEXT NOT NULL, text TEXT,
                    reviewer TEXT NOT NULL, at TEXT NOT NULL);
            """)

    def close(self):
        self._db.close()

    def _rows(self, file, position=None):
        query = ("SELECT position, block_index, basis, decision, text, reviewed, reviewer, at "
                 "FROM decisions WHERE file = ?")
        params = (file_key(file),)
        if position is not None:
            query, params = query + " AND position = ?", params + (position,)
        with self._lock:
            return self._db.execute(query, params).fetchall()

    def for_file(self, file, position=None):
        """{position: record} of the decisions still made on this text;
        (those, stale count)."""
        blocks = file.get("blocks") or []
        found, stale = {}, 0
        for position, index, basis, decision, text, reviewed, reviewer, at in self._rows(file, position):
            if (position < len(blocks) and blocks[position]["index"] == index
                    and blocks[position]["final"] == basis):
                found[position] = {"decision": decision, "text": text, "reviewed": bool(reviewed),
                                   "reviewer": reviewer, "at": at}
            else:
                stale += 1
        return found, stale

    def set(self, file, position, action, text, reviewer, now=None):
        """Applies one action to a block; returns its record, or None when
        the block is back to not reviewed."""
        block = file["blocks"][position]
        at = now or timestamp()
        current = self.for_file(file, position)[0].get(position)
        if action == "unreviewed":
            new = None
        elif action == "reviewed":
            new = {"decision": current and current["decision"], "text": current and current["text"],
                   "reviewed": True}
        else:
            new = {"decision": action, "text": text if action == "edit" else None, "reviewed": True}
        key = (file_key(file), position)
        with self._lock, self._db:
            self._db.execute("BEGIN IMMEDIATE")
            self._db.execute(
                "INSERT INTO history (file, position, block_index, action, text, reviewer, at) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)", (*key, block["index"], action, text, reviewer, at))
            if new is None:
                self._db.execute("DELETE FROM decisions WHERE file = ? AND position = ?", key)
            else:
                self._db.execute(
                    "INSERT OR REPLACE INTO decisions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (*key, block["index"], block["final"], new["decision"], new["text"],
                     int(new["reviewed"]), reviewer, at))
        return None if new is None else {**new, "reviewer": reviewer, "at": at}
