"""The review workbench: ``brivane review OUTPUT_DIR`` serves a finished
batch's review pages on 127.0.0.1 and records the reviewer's decisions;
``brivane review export OUTPUT_DIR`` writes ``<name>_reviewed.srt`` per file.

Decisions live in ``<output>/.brivane/review.sqlite3`` beside the reply
cache, keyed by file and block position and tied to the written text they
were made on, so a rerun of the batch does not apply them to other text.
Nothing here re-runs the batch: the workbench reads ``review/changes.json``,
the review pages and the corrected files.
"""
from __future__ import annotations

import argparse
import datetime
import getpass
import hmac
import http.server
import json
import mimetypes
import os
import re
import secrets
import sqlite3
import sys
import threading
import urllib.parse

import jinja2

from brivane import _native, review

AUDIO = {".wav", ".mp3", ".m4a", ".aac", ".ogg", ".oga", ".opus", ".flac"}
VIDEO = {".mp4", ".m4v", ".webm", ".mkv", ".mov", ".ogv"}
ACTIONS = ("accept", "reject", "edit", "reviewed", "unreviewed")
MAX_BODY = 1 << 20
# The workbench page may talk to its own server and play its media; nothing else.
CSP = ("default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
       "img-src data:; connect-src 'self'; media-src 'self'")
CSP_META = re.compile(r'<meta http-equiv="Content-Security-Policy" content="[^"]*">')
SUMMARY = "reviewed.json"

# Exit statuses, as the glossary tool's.
CLEAN, USAGE = 0, 2


class ReviewError(ValueError):
    """A batch, decision or file the workbench cannot use; the message says which."""


def _now():
    return datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")


def load_batch(output_dir):
    path = os.path.join(output_dir, "review", "changes.json")
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
    except FileNotFoundError:
        raise ReviewError(f"{output_dir} 中没有审阅数据 ({path})；先用 --report 运行批次") from None
    except (OSError, ValueError) as error:
        raise ReviewError(f"无法读取审阅数据 {path}: {error}") from error
    if not (isinstance(document, dict) and document.get("format") == review.FORMAT
            and isinstance(document.get("files"), list)):
        raise ReviewError(f"{path}: 不是 brivane 的审阅数据 (changes.json)")
    return document


def file_key(file):
    # The input path as the batch named it: stable across reruns of the batch.
    return file["input"]


# --- decisions ------------------------------------------------------------

class Decisions:
    """The reviewer's decisions in SQLite; every change is also appended to a
    history, so nothing a reviewer did is lost."""

    def __init__(self, output_dir):
        folder = os.path.join(output_dir, ".brivane")
        os.makedirs(folder, exist_ok=True)
        self.path = os.path.join(folder, "review.sqlite3")
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
        at = now or _now()
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


def clean_edit(text):
    """The reviewer's text as a cue can hold it: lines without trailing
    blanks, no blank line (it would split the cue), no timing arrow."""
    if not isinstance(text, str):
        raise ReviewError("编辑的文本必须是字符串")
    lines = [line.rstrip() for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    if not lines:
        raise ReviewError("编辑的文本为空；要使用原文请选“拒绝”")
    if "" in lines:
        raise ReviewError("编辑的文本不能有空行：空行会把字幕块拆开")
    if any("-->" in line for line in lines):
        raise ReviewError("编辑的文本不能含有 -->：播放器会把它当作时间轴")
    return "\n".join(lines)


def decided_text(block, record):
    if record is None or record["decision"] in (None, "accept"):
        return block["final"]
    return block["sent"] if record["decision"] == "reject" else record["text"]


# --- export ---------------------------------------------------------------

def reviewed_content(content, blocks, texts, name):
    """The corrected file's content with each block's text replaced by the
    decided one, read and written with the engine's own reading rules:
    every other part of the file stays as written."""
    parts = _native.srt_parts(content)
    cues = [part for part in parts if part["is_cue"] and part["text"]]
    for k, block in enumerate(blocks):
        cue = cues[k] if k < len(cues) else None
        stamps = (block["start"], block["end"])
        # Reports of earlier versions hold some short stamps as written.
        if cue is None or cue["text"] != block["final"] or stamps not in (
                (_native.sendable_stamp(cue["start_time"]), _native.sendable_stamp(cue["end_time"])),
                (cue["start_time"], cue["end_time"])):
            raise ReviewError(f"{name}: 找不到第 {block['index']} 块（{block['start']}）；"
                              "校正文件在审阅报告之后被改动过？")
        cue["text"] = texts[k]
    return _native.render_srt_parts(parts)


def corrected_path(output_dir, file):
    # Where the corrected file is now: the batch's output folder may have moved.
    written = file.get("output")
    if not written:
        return None
    here = os.path.join(output_dir, os.path.basename(written))
    return here if os.path.exists(here) else written


def reviewed_path(corrected):
    stem, ext = os.path.splitext(corrected)
    stem = stem[:-len("_corrected")] if stem.endswith("_corrected") else stem
    return f"{stem}_reviewed{ext}"


def export(output_dir, store=None, document=None, now=None):
    """Writes `<name>_reviewed.srt` per corrected file and the summary
    `review/reviewed.json`; returns the summary."""
    document = document or load_batch(output_dir)
    own = store is None
    store = store or Decisions(output_dir)
    files, totals = [], dict.fromkeys(("accepted", "rejected", "edited", "not_reviewed", "stale"), 0)
    try:
        for file in document["files"]:
            entry = {"input": file["input"], "reviewed": None, "error": None}
            blocks = file.get("blocks") or []
            records, stale = store.for_file(file)
            counts = {"accepted": 0, "rejected": 0, "edited": 0, "not_reviewed": 0, "stale": stale}
            for position in range(len(blocks)):
                record = records.get(position)
                if record is None:
                    counts["not_reviewed"] += 1
                else:
                    counts[{"reject": "rejected", "edit": "edited"}.get(record["decision"], "accepted")] += 1
            entry.update(counts)
            source = corrected_path(output_dir, file) if file.get("status") == "corrected" else None
            if source is None:
                entry["error"] = "没有校正文件（该文件处理失败）"
            else:
                try:
                    with open(source, encoding="utf-8", newline="") as stream:
                        content = stream.read()
                    texts = [decided_text(block, records.get(k)) for k, block in enumerate(blocks)]
                    result = reviewed_content(content, blocks, texts, os.path.basename(source))
                    target = reviewed_path(source)
                    _native.replace_file(target, result)
                    entry["reviewed"] = target
                except (OSError, UnicodeError, ReviewError) as error:
                    entry["error"] = str(error)
            for key in totals:
                totals[key] += counts[key]
            files.append(entry)
    finally:
        if own:
            store.close()
    summary = {"format": "brivane-reviewed", "version": 1, "exported": now or _now(),
               "totals": totals, "files": files}
    _native.replace_file(os.path.join(output_dir, "review", SUMMARY),
                             json.dumps(summary, ensure_ascii=False, indent=1) + "\n")
    return summary


def summary_message(summary):
    t = summary["totals"]
    written = sum(1 for f in summary["files"] if f["reviewed"])
    failed = sum(1 for f in summary["files"] if f["error"])
    text = (f"已导出 {written} 个文件: 接受 {t['accepted']}，拒绝 {t['rejected']}，"
            f"编辑 {t['edited']}，未审阅 {t['not_reviewed']}")
    if t["stale"]:
        text += f"，{t['stale']} 个决定已过期（文本已变）"
    return text + (f"；{failed} 个文件未导出" if failed else "")


# --- media ----------------------------------------------------------------

def find_media(media_dir, file):
    """The file in media_dir with the subtitle file's stem and a video or
    audio extension (audio first: it loads faster)."""
    if not media_dir:
        return None
    stem = os.path.splitext(os.path.basename(file["input"].replace("\\", "/")))[0]
    try:
        names = os.listdir(media_dir)
    except OSError:
        return None
    found = [name for name in names if os.path.splitext(name)[0] == stem
             and os.path.splitext(name)[1].lower() in AUDIO | VIDEO]
    found.sort(key=lambda name: (os.path.splitext(name)[1].lower() not in AUDIO, name))
    return os.path.join(media_dir, found[0]) if found else None


# --- the server -----------------------------------------------------------

class Workbench:
    """One batch served on 127.0.0.1; the URL carries a random token that
    every request must repeat."""

    def __init__(self, output_dir, reviewer=None, media_dir=None, port=0):
        self.output_dir = os.path.abspath(output_dir)
        self.document = load_batch(self.output_dir)
        self.folder = os.path.join(self.output_dir, "review")
        self.files = {file.get("page"): file for file in self.document["files"] if file.get("page")}
        self.reviewer = reviewer or _login_name()
        self.media_dir = media_dir
        self.media = {page: find_media(media_dir, file) for page, file in self.files.items()}
        self.store = Decisions(self.output_dir)
        self.token = secrets.token_urlsafe(24)
        self._export_lock = threading.Lock()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self.server.daemon_threads = True
        self.server.workbench = self
        self.port = self.server.server_address[1]
        self.hosts = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/{self.token}/index.html"

    def start(self):
        """Serves in a background thread (tests, benchmarks)."""
        thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        thread.start()
        return self

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.store.close()

    def page(self, name):
        """A review page (or the index) with the workbench's state in it."""
        with open(os.path.join(self.folder, name), encoding="utf-8") as stream:
            html = stream.read()
        if name == "index.html":
            state = {"progress": {page: sum(1 for r in self.store.for_file(file)[0].values())
                                  for page, file in self.files.items()}}
        else:
            file = self.files[name]
            decisions, stale = self.store.for_file(file)
            media = self.media.get(name)
            state = {"page": name, "reviewer": self.reviewer, "stale": stale,
                     "decisions": decisions,
                     "media": media and {"url": "media/" + urllib.parse.quote(name),
                                         "name": os.path.basename(media),
                                         "kind": "audio" if os.path.splitext(media)[1].lower() in AUDIO
                                         else "video"}}
        script = ('<script type="application/json" id="workbench">'
                  f"{jinja2.utils.htmlsafe_json_dumps(state)}</script>\n")
        html = CSP_META.sub(f'<meta http-equiv="Content-Security-Policy" content="{CSP}">', html, 1)
        return html.replace("</head>", script + "</head>", 1)

    def decide(self, payload):
        if not isinstance(payload, dict):
            raise ReviewError("请求必须是 JSON 对象")
        file = self.files.get(payload.get("page"))
        if file is None:
            raise ReviewError(f"没有这个文件: {payload.get('page')!r}")
        position, blocks = payload.get("position"), file.get("blocks") or []
        if not (isinstance(position, int) and not isinstance(position, bool) and 0 <= position < len(blocks)):
            raise ReviewError(f"没有这个字幕块: {position!r}")
        if payload.get("index") != blocks[position]["index"]:
            raise ReviewError("字幕块序号不符；请重新载入页面")
        action = payload.get("action")
        if action not in ACTIONS:
            raise ReviewError(f"未知的操作: {action!r}")
        text = clean_edit(payload.get("text")) if action == "edit" else None
        return self.store.set(file, position, action, text, self.reviewer)

    def export(self):
        with self._export_lock:
            return export(self.output_dir, self.store, self.document)


def _login_name():
    try:
        return getpass.getuser()
    except Exception:  # no login name in this environment
        return "reviewer"


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "brivane-review"
    sys_version = ""

    def log_message(self, format, *args):  # the terminal shows what matters, not each request
        pass

    @property
    def bench(self) -> Workbench:
        return self.server.workbench

    def _send(self, status, body, content_type="text/plain; charset=utf-8", headers=()):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Security-Policy", CSP)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def _json(self, status, value):
        self._send(status, json.dumps(value, ensure_ascii=False), "application/json; charset=utf-8")

    def _route(self):
        """The path below the token, or None once refused."""
        if self.headers.get("Host") not in self.bench.hosts:
            self._send(403, "refused: unexpected Host header")
            return None
        path = urllib.parse.urlsplit(self.path).path
        prefix, _, rest = path.lstrip("/").partition("/")
        if not hmac.compare_digest(prefix.encode(), self.bench.token.encode()):
            self._send(403, "refused: missing or wrong token")
            return None
        return urllib.parse.unquote(rest)

    def do_GET(self):
        rest = self._route()
        if rest is None:
            return
        if rest in ("", "index.html") or rest in self.bench.files:
            try:
                page = self.bench.page(rest or "index.html")
            except OSError as error:
                return self._send(404, f"review page missing: {error.strerror}")
            return self._send(200, page, "text/html; charset=utf-8")
        if rest.startswith("media/") and self.bench.media.get(rest[6:]):
            return self._media(self.bench.media[rest[6:]])
        self._send(404, "not found")

    do_HEAD = do_GET

    def do_POST(self):
        rest = self._route()
        if rest is None:
            return
        origin = self.headers.get("Origin")
        if origin is not None and urllib.parse.urlsplit(origin).netloc not in self.bench.hosts:
            return self._send(403, "refused: foreign origin")
        if not (self.headers.get("Content-Type") or "").startswith("application/json"):
            return self._json(415, {"error": "Content-Type must be application/json"})
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY:
            return self._json(413, {"error": "request too large"})
        try:
            payload = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return self._json(400, {"error": "请求不是有效的 JSON"})
        try:
            if rest == "api/decision":
                return self._json(200, {"decision": self.bench.decide(payload)})
            if rest == "api/export":
                summary = self.bench.export()
                print(summary_message(summary), flush=True)
                return self._json(200, {"message": summary_message(summary), "summary": summary})
        except ReviewError as error:
            return self._json(400, {"error": str(error)})
        except Exception as error:  # the page shows it; the server keeps serving
            return self._json(500, {"error": f"{type(error).__name__}: {error}"})
        self._json(404, {"error": "not found"})

    def _media(self, path):
        # Ranges: the player seeks to a cue by asking for the bytes there.
        try:
            size = os.path.getsize(path)
            stream = open(path, "rb")
        except OSError:
            return self._send(404, "media missing")
        with stream:
            start, end, status = 0, size - 1, 200
            match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range") or "")
            if match and (match.group(1) or match.group(2)):
                if match.group(1):
                    start = int(match.group(1))
                    end = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
                else:
                    start = max(0, size - int(match.group(2)))
                if start > end or start >= size:
                    return self._send(416, b"", headers=[("Content-Range", f"bytes */{size}")])
                status = 206
            stream.seek(start)
            data = stream.read(end - start + 1)
        kind = mimetypes.guess_type(path)[0] or "application/octet-stream"
        headers = [("Accept-Ranges", "bytes")]
        if status == 206:
            headers.append(("Content-Range", f"bytes {start}-{end}/{size}"))
        self._send(status, data, kind, headers)


# --- the command line -----------------------------------------------------

def parse_args(argv):
    if argv[:1] == ["export"] and len(argv) > 1:
        parser = argparse.ArgumentParser(
            prog="brivane review export",
            description="按审阅决定写出 <name>_reviewed.srt (write the reviewed files).")
        parser.add_argument("output", metavar="OUTPUT_DIR", help="the batch's output folder")
        args = parser.parse_args(argv[1:])
        args.command = "export"
        return args
    parser = argparse.ArgumentParser(
        prog="brivane review",
        description="打开审阅工作台：逐块接受、拒绝或编辑，标记已审阅，导出 (review workbench). "
                    "Also: brivane review export OUTPUT_DIR.")
    parser.add_argument("output", metavar="OUTPUT_DIR", help="the batch's output folder")
    parser.add_argument("--reviewer", default=None, metavar="NAME",
                        help="name recorded with each decision (default: the login name)")
    parser.add_argument("--media", default=None, metavar="DIR",
                        help="folder of the lectures' video or audio, named as the subtitle files")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--no-browser", action="store_true", help="print the address, open no browser")
    args = parser.parse_args(argv)
    args.command = "serve"
    if args.media and not os.path.isdir(args.media):
        parser.error(f"--media: 不是文件夹: {args.media}")
    if args.reviewer is not None and not args.reviewer.strip():
        parser.error("--reviewer: 名字不能为空")
    return args


def main(argv):
    args = parse_args(argv)
    try:
        if args.command == "export":
            summary = export(os.path.abspath(args.output))
            for file in summary["files"]:
                print(f"{file['reviewed'] or file['input']}: 接受 {file['accepted']}，拒绝 {file['rejected']}，"
                      f"编辑 {file['edited']}，未审阅 {file['not_reviewed']}"
                      + (f"；未导出: {file['error']}" if file["error"] else ""))
            print(summary_message(summary))
            return CLEAN
        bench = Workbench(args.output, args.reviewer, args.media, args.port)
    except (ReviewError, OSError, sqlite3.Error) as error:
        print(f"brivane review: {error}", file=sys.stderr)
        return USAGE
    print(f"审阅工作台: {bench.url}", flush=True)
    print(f"审阅人: {bench.reviewer}；决定保存在 {bench.store.path}；按 Ctrl+C 结束", flush=True)
    if not args.no_browser:
        import webbrowser

        webbrowser.open(bench.url)
    try:
        bench.server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        bench.server.server_close()
        bench.store.close()
    return CLEAN
