"""The review workbench: ``brivane review OUTPUT_DIR`` serves a finished
batch's review pages on 127.0.0.1, with the lectures' media, and records the
reviewer's decisions; ``brivane review export OUTPUT_DIR`` writes
``<name>_reviewed.srt`` per file.

Nothing here re-runs the batch: the workbench reads ``review/changes.json``,
the review pages and the corrected files.
"""
from __future__ import annotations

import argparse
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

from brivane import _native
from brivane.changes import ChangesError, load_batch
from brivane.consistency import course_flags, flag_label
from brivane.decisions import Decisions
from brivane.export import ReviewError, clean_edit, export, summary_message
from brivane.review import QUEUE_PAGE, risk_rank

AUDIO = {".wav", ".mp3", ".m4a", ".aac", ".ogg", ".oga", ".opus", ".flac"}
VIDEO = {".mp4", ".m4v", ".webm", ".mkv", ".mov", ".ogv"}
ACTIONS = ("accept", "reject", "edit", "reviewed", "unreviewed")
MAX_BODY = 1 << 20
# The workbench page may talk to its own server and play its media; nothing else.
CSP = ("default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
       "img-src data:; connect-src 'self'; media-src 'self'")
CSP_META = re.compile(r'<meta http-equiv="Content-Security-Policy" content="[^"]*">')

# Exit statuses, as the glossary tool's.
CLEAN, USAGE = 0, 2


def with_edit_risks(file, decisions):
    """A reviewer's edit is checked like the model's: its numbers, units,
    negations and sides against the text sent."""
    blocks = file.get("blocks") or []
    for position, record in decisions.items():
        if record and record.get("decision") == "edit" and isinstance(record.get("text"), str):
            record["risks"] = _native.medical_risks(blocks[position]["sent"], record["text"])
    return decisions


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
        self._course, self._course_lock, self._decided = None, threading.Lock(), 0
        # The course's flags take a second the first time (the word list
        # loads): found while the browser starts, not when it asks.
        threading.Thread(target=self._warm, daemon=True).start()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self.server.daemon_threads = True
        self.server.workbench = self
        self.port = self.server.server_address[1]
        self.hosts = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}

    @property
    def landing(self):
        """The course queue; the index for a report made before there was one."""
        queue = QUEUE_PAGE not in self.files and os.path.exists(os.path.join(self.folder, QUEUE_PAGE))
        return QUEUE_PAGE if queue else "index.html"

    @property
    def url(self):
        return self.page_url(self.landing)

    def page_url(self, name):
        return f"http://127.0.0.1:{self.port}/{self.token}/{urllib.parse.quote(name)}"

    def start(self):
        """Serves in a background thread (tests, benchmarks)."""
        thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        thread.start()
        return self

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.store.close()

    def _warm(self):
        try:
            self.course()
        except Exception:  # closed before it was done; else a page's request raises it again
            pass

    def course(self, wait=True):
        """The course-wide flags by the decided texts, {page: {position:
        [flag, ...]}}, each flag with its label; kept until the next decision.
        None, unless `wait`, while another request is finding them."""
        if not self._course_lock.acquire(blocking=wait):
            return None
        try:
            decided = self._decided
            if self._course is not None and self._course[0] == decided:
                return self._course[1]
            files = self.document["files"]
            decisions = {file["input"]: self.store.for_file(file)[0] for file in files
                         if isinstance(file.get("blocks"), list)}
            by_page = {}
            for (file_no, position), flags in course_flags(self.document, decisions).items():
                by_page.setdefault(files[file_no].get("page"), {})[position] = [
                    {**flag, "label": flag_label(flag)} for flag in flags]
            self._course = (decided, by_page)
            return by_page
        finally:
            self._course_lock.release()

    def course_state(self, name, wait=True):
        """A page's course-wide flags and the ranks they give its blocks
        ({"course", "ranks"}, by page for the queue); None as `course`."""
        course = self.course(wait)
        if course is None:
            return None

        def one(page):
            found, blocks = course.get(page, {}), self.files[page]["blocks"]
            return found, {position: risk_rank(blocks[position], flags) for position, flags in found.items()}

        if name in self.files:
            found, ranks = one(name)
            return {"course": found, "ranks": ranks}
        pages = {page: one(page) for page in self.files}
        return {"course": {page: found for page, (found, _) in pages.items()},
                "ranks": {page: ranks for page, (_, ranks) in pages.items()}}

    def page(self, name):
        """A review page (or the index) with the workbench's state in it."""
        with open(os.path.join(self.folder, name), encoding="utf-8") as stream:
            html = stream.read()
        if name == "index.html":
            state = {"progress": {page: sum(1 for r in self.store.for_file(file)[0].values())
                                  for page, file in self.files.items()}}
        elif name not in self.files:  # the queue
            decisions, stale = {}, 0
            for page, file in self.files.items():
                found, file_stale = self.store.for_file(file)
                decisions[page] = with_edit_risks(file, found)
                stale += file_stale
            state = {"page": name, "reviewer": self.reviewer, "stale": stale, "decisions": decisions}
        else:
            file = self.files[name]
            decisions, stale = self.store.for_file(file)
            with_edit_risks(file, decisions)
            media = self.media.get(name)
            state = {"page": name, "reviewer": self.reviewer, "stale": stale,
                     "decisions": decisions,
                     "media": media and {"url": "media/" + urllib.parse.quote(name),
                                         "name": os.path.basename(media),
                                         "kind": "audio" if os.path.splitext(media)[1].lower() in AUDIO
                                         else "video"}}
        if name != "index.html":
            # While the flags are being found the page asks for them (api/course).
            state.update(self.course_state(name, wait=False) or {"course_pending": True})
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
        record = self.store.set(file, position, action, text, self.reviewer)
        self._decided += 1  # the decided text may change the course's flags
        if record:
            with_edit_risks(file, {position: record})
        return record

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
        if rest in ("", "index.html", QUEUE_PAGE) or rest in self.bench.files:
            try:
                page = self.bench.page(rest or self.bench.landing)
            except OSError as error:
                return self._send(404, f"review page missing: {error.strerror}")
            return self._send(200, page, "text/html; charset=utf-8")
        if rest.startswith("media/") and self.bench.media.get(rest[6:]):
            return self._media(self.bench.media[rest[6:]])
        if rest == "api/course":
            name = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("page", [""])[0]
            if name == QUEUE_PAGE or name in self.bench.files:
                return self._json(200, self.bench.course_state(name))
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
        parser.add_argument("--gold", default=None, metavar="DIR",
                            help="also write the decided blocks as a benchmark: the text sent to "
                                 "DIR/source/, the decided text to DIR/reference/ (for brivane score)")
        parser.add_argument("--report", default=None, metavar="FILE",
                            help="also write the sign-off report, one row per block that changed or "
                                 "needs attention: FILE.xlsx or FILE.csv")
        args = parser.parse_args(argv[1:])
        args.command = "export"
        if args.report:
            from brivane.signoff import report_format

            try:
                report_format(args.report)
            except ReviewError as error:
                parser.error(f"--report: {error}")
            if not os.path.isdir(os.path.dirname(os.path.abspath(args.report))):
                parser.error(f"--report: 文件夹不存在: {os.path.dirname(os.path.abspath(args.report))}")
            if os.path.isdir(args.report):
                parser.error(f"--report: 是文件夹: {args.report}")
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
            summary = export(os.path.abspath(args.output), gold=args.gold and os.path.abspath(args.gold))
            for file in summary["files"]:
                print(f"{file['reviewed'] or file['input']}: 接受 {file['accepted']}，拒绝 {file['rejected']}，"
                      f"编辑 {file['edited']}，未审阅 {file['not_reviewed']}"
                      + (f"；未导出: {file['error']}" if file["error"] else ""))
            print(summary_message(summary))
            if args.report:
                from brivane.signoff import write_report

                rows = write_report(os.path.abspath(args.output), os.path.abspath(args.report))
                print(f"审阅报告: {rows} 行 → {os.path.abspath(args.report)}")
            return CLEAN
        bench = Workbench(args.output, args.reviewer, args.media, args.port)
    except (ChangesError, ReviewError, OSError, sqlite3.Error) as error:
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
