#!/usr/bin/env python3
"""Local stand-in for an OpenAI/DeepSeek-style chat-completions endpoint.

Tests, benchmarks and the offline demo point the proof-reader at it instead of
the real service.  Every request is recorded, then answered by a *behaviour*:
a callable ``(RecordedRequest) -> Reply`` (or ``DROP`` to hang up without any
HTTP response).  Behaviours are built with the factories in ``behaviours``.

    with StandinService() as svc:
        svc.script(behaviours.http_error(503), behaviours.drop_blocks([2]))
        ...  # client posts to svc.url
        svc.requests[0].headers["Authorization"]

Besides the chat path it answers the service's free set-up checks
(``GET /models``, ``GET /user/balance``) and can refuse what the real service
refuses: unknown models (``models``), too many requests in flight
(``concurrency_limit``); with ``thinking`` set it replies as a thinking model.

Stdlib only, so it runs wherever the tests run.
"""

from __future__ import annotations

import argparse
import copy
import itertools
import json
import re
import signal
import sys
import threading
import time
from collections import deque
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Iterable

DEFAULT_MODEL = "deepseek-flash"
KNOWN_MODELS = ["deepseek-flash", "deepseek-v4-pro"]
DEFAULT_MAX_TOKENS = 2048  # what the service assumes when a request names none
DEFAULT_BALANCE = {"is_available": True, "balance_infos": [{
    "currency": "CNY", "total_balance": "110.00", "granted_balance": "10.00", "topped_up_balance": "100.00"}]}
REASONING_TEXT = "先逐条核对字幕中的医学术语，再确认时间轴和编号没有改动。"

# Fixes a real model would make.  Kept apart from the packaged term library on
# purpose: the demo should show the model's own contribution.
MODEL_FIXES = {
    "头皮脂": "托吡酯",
    "血案": "血氨",
    "血痂": "血钾",
    "心肌梗塞": "心肌梗死",
    "格兰氏": "革兰氏",
    "卡特普林": "卡托普利",
    "包装不动杆菌": "鲍曼不动杆菌",
    "骨柄转氨酶": "谷丙转氨酶",
    "浔江机": "胸腔积液",
}


@dataclass(frozen=True)
class Reply:
    status: int
    body: bytes = b""
    headers: dict[str, str] = field(default_factory=dict)
    # Written one by one as produced, then the connection closes; replaces `body`.
    # For answers whose length is not known when the headers go out.
    chunks: Iterable[bytes] | None = field(default=None, compare=False)


class _Drop:
    def __repr__(self) -> str:
        return "DROP"


DROP = _Drop()  # a behaviour returning this makes the server hang up silently


@dataclass(frozen=True)
class RecordedRequest:
    """One request as received; header names are in Title-Case."""

    method: str
    path: str
    headers: dict[str, str]
    body: Any  # parsed JSON, or None when absent or not JSON
    raw: bytes
    # Set when the service stops, so slow behaviours can give up early.
    stopping: threading.Event = field(default_factory=threading.Event, repr=False, compare=False)
    # Tokens the model thinks before answering this request (0: it does not think).
    reasoning_tokens: int = 0

    def message(self, role: str) -> str:
        """Content of the last message with this role, or ''."""
        messages = self.body.get("messages") if isinstance(self.body, dict) else None
        for msg in reversed(messages if isinstance(messages, list) else []):
            if isinstance(msg, dict) and msg.get("role") == role and isinstance(msg.get("content"), str):
                return msg["content"]
        return ""

    @property
    def user_text(self) -> str:
        return self.message("user")

    @property
    def system_text(self) -> str:
        return self.message("system")

    @property
    def max_tokens(self) -> int:
        value = self.body.get("max_tokens") if isinstance(self.body, dict) else None
        if isinstance(value, int) and not isinstance(value, bool) and value > 0:
            return value
        return DEFAULT_MAX_TOKENS


Behaviour = Callable[[RecordedRequest], "Reply | _Drop"]

# ---------------------------------------------------------------- SRT helpers


def split_blocks(text: str) -> list[str]:
    """SRT text -> blocks (no surrounding blank lines)."""
    text = text.replace("\r\n", "\n").strip("\n")
    return [b for b in re.split(r"\n\s*\n", text) if b.strip()]


def block_index(block: str) -> str:
    return block.strip().split("\n", 1)[0].strip()


def join_blocks(blocks: list[str]) -> str:
    return "\n\n".join(blocks) + "\n"


# ------------------------------------------------------------- reply builders

_ids = itertools.count(1)


def json_reply(status: int, obj: Any) -> Reply:
    body = json.dumps(obj, ensure_ascii=False).encode("utf-8")
    return Reply(status, body, {"Content-Type": "application/json; charset=utf-8"})


def completion_body(request: RecordedRequest, content: str | None, finish_reason: str = "stop",
                    reasoning_tokens: int | None = None) -> dict[str, Any]:
    """A completion; reasoning_tokens (default: the request's) are spent before
    the content and out of the same max_tokens, which may cut the content."""
    model = request.body.get("model") if isinstance(request.body, dict) else None
    reasoning = request.reasoning_tokens if reasoning_tokens is None else reasoning_tokens
    message: dict[str, Any] = {"role": "assistant", "content": content}
    if reasoning > 0:
        reasoning = min(reasoning, request.max_tokens)
        room = request.max_tokens - reasoning
        if isinstance(content, str) and len(content) > room:
            content, finish_reason = content[:room], "length"
        message = {"role": "assistant", "content": content, "reasoning_content": REASONING_TEXT}
    else:
        reasoning = 0
    # Character counts stand in for tokens. The fixed system prompt counts as
    # served from the service's prompt cache, as DeepSeek reports it.
    hit, miss = len(request.system_text), len(request.user_text)
    completion_tokens = len(content or "") + reasoning
    return {
        "id": f"chatcmpl-standin-{next(_ids)}",
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model or DEFAULT_MODEL,
        "choices": [{"index": 0, "message": message, "finish_reason": finish_reason}],
        "usage": {
            "prompt_tokens": hit + miss,
            "completion_tokens": completion_tokens,
            "total_tokens": hit + miss + completion_tokens,
            "prompt_tokens_details": {"cached_tokens": hit},
            "completion_tokens_details": {"reasoning_tokens": reasoning},
            "prompt_cache_hit_tokens": hit,
            "prompt_cache_miss_tokens": miss,
        },
    }


def error_body(message: str = "stand-in error", type: str = "server_error") -> dict[str, Any]:
    return {"error": {"type": type, "message": message}}


def api_error(message: str, type: str, code: str = "invalid_request_error") -> dict[str, Any]:
    """An error body shaped like the real service's."""
    return {"error": {"message": message, "type": type, "param": None, "code": code}}


def unknown_model_error(model: Any, supported: list[str]) -> dict[str, Any]:
    passed = "" if model is None else str(model)
    return api_error(f"The supported API model names are {', '.join(supported)}, but you passed {passed}",
                     "invalid_request_error")


def concurrency_error(current: int, limit: int) -> dict[str, Any]:
    return api_error(f"Your current concurrency is {current}, which exceeds your concurrency limit of "
                     f"{limit} based on your remaining balance.", "rate_limit_error")


# ----------------------------------------------------------------- behaviours

Edit = Callable[[str], str]


class TextReply:
    """A normal completion whose content is the user's SRT text run through edits."""

    def __init__(self, *edits: Edit, finish_reason: str = "stop", usage: bool = True):
        self.edits = edits
        self.finish_reason = finish_reason
        self.usage = usage

    def __call__(self, request: RecordedRequest) -> Reply:
        text = request.user_text
        for edit in self.edits:
            text = edit(text)
        body = completion_body(request, text, self.finish_reason)
        if not self.usage:
            del body["usage"]
        return json_reply(200, body)


def combine(*parts: TextReply) -> TextReply:
    """Chain the edits of several text behaviours, e.g. echo + preamble + fence."""
    finish = next((p.finish_reason for p in reversed(parts) if p.finish_reason != "stop"), "stop")
    return TextReply(*(e for p in parts for e in p.edits),
                     finish_reason=finish, usage=all(p.usage for p in parts))


def echo(substitutions: dict[str, str] | None = None) -> TextReply:
    def substitute(text: str) -> str:
        for wrong, right in (substitutions or {}).items():
            text = text.replace(wrong, right)
        return text
    return TextReply(substitute)


def _on_blocks(fn: Callable[[list[str]], list[str]]) -> TextReply:
    return TextReply(lambda text: join_blocks(fn(split_blocks(text))))


def _on_block(index: int | str | None, fn: Callable[[list[str]], list[str]]) -> TextReply:
    """Apply fn to the lines of the block with this index (first block if None)."""
    def edit(blocks: list[str]) -> list[str]:
        out, done = [], False
        for b in blocks:
            if not done and (index is None or block_index(b) == str(index)):
                b, done = "\n".join(fn(b.split("\n"))), True
            out.append(b)
        return out
    return _on_blocks(edit)


def drop_blocks(indices) -> TextReply:
    gone = {str(i) for i in indices}
    return _on_blocks(lambda blocks: [b for b in blocks if block_index(b) not in gone])


def add_blocks(raw_blocks: list[str]) -> TextReply:
    return _on_blocks(lambda blocks: blocks + [b.strip("\n") for b in raw_blocks])


def extra_block(index: int = 999, time_line: str = "00:59:58,000 --> 00:59:59,000",
                text: str = "这一行在原文中并不存在") -> TextReply:
    return add_blocks([f"{index}\n{time_line}\n{text}"])


def duplicate_block(index: int | str, new_text: str) -> TextReply:
    """Repeat block `index` right after itself, the copy carrying new_text."""
    def edit(blocks: list[str]) -> list[str]:
        out = []
        for b in blocks:
            out.append(b)
            if block_index(b) == str(index):
                out.append("\n".join(b.split("\n")[:2] + [new_text]))
        return out
    return _on_blocks(edit)


def change_timestamp(index: int | str, new_time_line: str) -> TextReply:
    return _on_block(index, lambda lines: lines[:1] + [new_time_line] + lines[2:])


def preamble(text: str = "以下是校正后的字幕：\n\n") -> TextReply:
    return TextReply(lambda s: text + s)


def trailing_summary(text: str = "\n\n修改说明：\n1. 将“血案”改为“血氨”。\n2. 将“头皮脂”改为“托吡酯”。\n") -> TextReply:
    return TextReply(lambda s: s.rstrip("\n") + text)


def numbered_summary(text: str = '\n\n1. "血案"→"血氨"\n2. "心肌梗塞"→"心肌梗死"\n') -> TextReply:
    return trailing_summary(text)


def inline_note(index: int | str | None = None, note: str = "（注：原文为血案）") -> TextReply:
    return _on_block(index, lambda lines: lines[:-1] + [lines[-1] + note])


def markdown_fence(lang: str = "srt") -> TextReply:
    return TextReply(lambda s: f"```{lang}\n{s.strip(chr(10))}\n```\n")


def finish_length(keep_chars: int | None = None) -> TextReply:
    """finish_reason "length", content cut after keep_chars characters if given."""
    return TextReply(lambda s: s if keep_chars is None else s[:keep_chars], finish_reason="length")


def no_usage() -> TextReply:
    return TextReply(usage=False)


def interrupted(keep_chars: int) -> TextReply:
    """Generation stopped for lack of inference resources: content cut after keep_chars."""
    return TextReply(lambda s: s[:keep_chars], finish_reason="insufficient_system_resource")


def filtered(keep_chars: int = 0) -> TextReply:
    """Stopped by the service's content filter: content cut after keep_chars (empty by default)."""
    return TextReply(lambda s: s[:keep_chars], finish_reason="content_filter")


def thinking_exhausts_budget() -> Behaviour:
    """A thinking model that spent the whole max_tokens on reasoning: empty content."""
    def behaviour(request: RecordedRequest) -> Reply:
        return json_reply(200, completion_body(request, request.user_text, "length",
                                               reasoning_tokens=request.max_tokens))
    return behaviour


def _mutated(mutate: Callable[[dict], None]) -> Behaviour:
    """Echo completion with one structural defect applied."""
    def behaviour(request: RecordedRequest) -> Reply:
        body = completion_body(request, request.user_text)
        mutate(body)
        return json_reply(200, body)
    return behaviour


def no_choices() -> Behaviour:
    return _mutated(lambda b: b.pop("choices"))


def empty_choices() -> Behaviour:
    return _mutated(lambda b: b.update(choices=[]))


def missing_message() -> Behaviour:
    return _mutated(lambda b: b["choices"][0].pop("message"))


def missing_content() -> Behaviour:
    return _mutated(lambda b: b["choices"][0]["message"].pop("content"))


def content_null() -> Behaviour:
    return content_value(None)


def content_value(value: Any) -> Behaviour:
    """A completion whose message content is `value` (e.g. a list of parts)."""
    return _mutated(lambda b: b["choices"][0]["message"].update(content=value))


def error_member(error: Any = None, with_choices: bool = False) -> Behaviour:
    """HTTP 200 carrying a top-level "error" member (object, string or null)."""
    def mutate(body: dict) -> None:
        if not with_choices:
            del body["choices"]
        body["error"] = error
    return _mutated(mutate)


def http_error(status: int, body: Any = None) -> Behaviour:
    """Non-200 reply; body None = empty, dict/list = JSON, str/bytes = plain text."""
    if body is None:
        reply = Reply(status)
    elif isinstance(body, (dict, list)):
        reply = json_reply(status, body)
    else:
        data = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        reply = Reply(status, data, {"Content-Type": "text/plain; charset=utf-8"})
    return lambda request: reply


def insufficient_balance() -> Behaviour:
    return http_error(402, api_error("Insufficient Balance", "unknown_error"))


def concurrency_exceeded(current: int = 41, limit: int = 40) -> Behaviour:
    return http_error(429, concurrency_error(current, limit))


def overloaded() -> Behaviour:
    return http_error(503, api_error("Server overloaded", "server_error", "server_error"))


def invalid_json(body: bytes = b'{"id": "chatcmpl-standin", "choices": [{"message": ') -> Behaviour:
    return raw(200, body, {"Content-Type": "application/json"})


def raw(status: int, body: bytes = b"", headers: dict[str, str] | None = None) -> Behaviour:
    reply = Reply(status, body, dict(headers or {}))
    return lambda request: reply


def delay(seconds: float, then: Behaviour | None = None) -> Behaviour:
    def behaviour(request: RecordedRequest):
        request.stopping.wait(seconds)  # returns early when the service stops
        return (then or echo())(request)
    return behaviour


def keep_alive(seconds: float, interval: float = 1.0, then: Behaviour | None = None) -> Behaviour:
    """A 200 whose headers go out at once, then an empty line every `interval`
    seconds for `seconds`, then the body of `then` (a 200 JSON reply; default
    echo), as the real service keeps a waiting non-streaming request alive."""
    def behaviour(request: RecordedRequest) -> Reply:
        def chunks():
            started = time.monotonic()
            beats = 0
            while (beats + 1) * interval <= seconds + 1e-9:
                beats += 1
                if request.stopping.wait(max(0.0, started + beats * interval - time.monotonic())):
                    break
                yield b"\n"
            else:
                request.stopping.wait(max(0.0, started + seconds - time.monotonic()))
            reply = (then or echo())(request)
            if isinstance(reply, Reply):  # DROP: the body just ends
                yield reply.body
        # The body's length is unknown up front: it ends when the connection closes.
        return Reply(200, headers={"Content-Type": "application/json; charset=utf-8",
                                   "Connection": "close"}, chunks=chunks())
    return behaviour


def drop_connection() -> Behaviour:
    return lambda request: DROP


def by_content(choose: Callable[[RecordedRequest], Behaviour]) -> Behaviour:
    """The behaviour `choose` picks for each request from its content, so
    concurrent requests get the same answers whatever order they arrive in."""
    return lambda request: choose(request)(request)


behaviours = SimpleNamespace(
    echo=echo, combine=combine, drop_blocks=drop_blocks, add_blocks=add_blocks,
    extra_block=extra_block, duplicate_block=duplicate_block, change_timestamp=change_timestamp,
    preamble=preamble, trailing_summary=trailing_summary, numbered_summary=numbered_summary,
    inline_note=inline_note, markdown_fence=markdown_fence, finish_length=finish_length,
    no_usage=no_usage, interrupted=interrupted, filtered=filtered,
    thinking_exhausts_budget=thinking_exhausts_budget, no_choices=no_choices, empty_choices=empty_choices,
    missing_message=missing_message, missing_content=missing_content, content_null=content_null,
    content_value=content_value, edit=lambda fn: TextReply(fn),
    error_member=error_member, http_error=http_error, invalid_json=invalid_json, raw=raw,
    insufficient_balance=insufficient_balance, concurrency_exceeded=concurrency_exceeded,
    overloaded=overloaded, delay=delay, keep_alive=keep_alive, drop_connection=drop_connection,
    by_content=by_content,
)

# --------------------------------------------------------------------- server


class _Handler(BaseHTTPRequestHandler):
    server_version = "standin/1"

    def log_message(self, format: str, *args: Any) -> None:
        pass  # tests and benchmarks want a silent server

    def _serve(self) -> None:
        service: StandinService = self.server.service  # type: ignore[attr-defined]
        if self.path == "/stats":  # for a benchmark driving the service in another process
            self._stats(service)
            return
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = 0
        raw_body = self.rfile.read(length) if length > 0 else b""
        try:
            body = json.loads(raw_body) if raw_body else None
        except ValueError:
            body = None
        record = RecordedRequest(self.command, self.path,
                                 {k.title(): v for k, v in self.headers.items()},
                                 body, raw_body, service._stopping,
                                 reasoning_tokens=service._reasoning_for(body))
        setup = service._setup_reply(record)
        if setup is not None:
            self._send(setup)
            return
        with service._in_flight():
            service._answer(record, self._send)

    def _send(self, reply: "Reply | _Drop") -> None:
        if reply is DROP:
            self.close_connection = True
            return
        assert isinstance(reply, Reply)
        self.send_response(reply.status)
        headers = dict(reply.headers)
        if reply.chunks is None:
            headers.setdefault("Content-Length", str(len(reply.body)))
        else:
            headers["Connection"] = "close"
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command == "HEAD":
            return
        if reply.chunks is None:
            self.wfile.write(reply.body)
            return
        chunks = iter(reply.chunks)
        try:
            for chunk in chunks:
                self.wfile.write(chunk)  # unbuffered: the client sees each chunk now
        except OSError:
            pass  # the client hung up while waiting
        finally:
            close = getattr(chunks, "close", None)
            if close:
                close()

    def _stats(self, service: "StandinService") -> None:
        """GET: the requests answered and the most in flight; DELETE: reset."""
        if self.command == "DELETE":
            service.reset_counts()
        body = json.dumps({"requests": len(service.requests),
                           "most_in_flight": service.most_in_flight,
                           "peak_in_flight": service.peak_in_flight,
                           "refused": service.refused}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_POST = do_GET = do_PUT = do_PATCH = do_DELETE = do_HEAD = _serve


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address) -> None:
        pass  # clients hanging up mid-reply is expected (time-out tests)


class StandinService:
    """The stand-in server; a context manager that starts and stops it."""

    def __init__(self, port: int = 0, default: Behaviour | None = None, host: str = "127.0.0.1"):
        self.host = host
        self.default = default or echo()
        self._wanted_port = port
        self._lock = threading.Lock()
        self._queue: deque[Behaviour] = deque()
        self._requests: list[RecordedRequest] = []
        # Per-request latency in seconds: a number, or a function of the request.
        self.latency: float | Callable[[RecordedRequest], float] = 0.0
        # Above this many requests in flight, answer 429 (None: never).
        self.throttle_above: int | None = None
        self._set_defaults()
        self._now_in_flight = 0
        self._most_in_flight = 0
        self._chat_in_flight = 0  # admitted chat requests being answered
        self._peak_in_flight = 0
        self._refused = 0
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._stopping = threading.Event()

    def start(self) -> "StandinService":
        if self._server is None:
            self._stopping = threading.Event()
            server = _Server((self.host, self._wanted_port), _Handler)
            server.service = self  # type: ignore[attr-defined]
            self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                                            name=f"standin-{server.server_address[1]}", daemon=True)
            self._server = server
            self._thread.start()
        return self

    def stop(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        self._stopping.set()
        server.shutdown()
        server.server_close()
        assert self._thread is not None
        self._thread.join()

    def __enter__(self) -> "StandinService":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("stand-in service is not running")
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def url(self) -> str:
        return f"{self.base_url}/chat/completions"

    def script(self, *behaviours: Behaviour) -> "StandinService":
        """Queue behaviours for the next requests, one each, in order."""
        with self._lock:
            self._queue.extend(behaviours)
        return self

    @property
    def pending(self) -> int:
        """Scripted behaviours not yet consumed."""
        with self._lock:
            return len(self._queue)

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._requests)

    def _set_defaults(self) -> None:
        # Model names a chat request may name (None: any).
        self.models: list[str] | None = None
        # False: GET /models and /user/balance answer 404, as on a service without them.
        self.setup_paths = True
        self.balance: dict[str, Any] = copy.deepcopy(DEFAULT_BALANCE)
        # A thinking model thinks unless the request disables it.
        self.thinking = False
        self.reasoning_tokens = 200
        # More chat requests than this in flight: 429, as the account's limit (None: no limit).
        self.concurrency_limit: int | None = None

    def reset(self) -> None:
        self.reset_counts()
        with self._lock:
            self._queue.clear()
        self.latency = 0.0
        self.throttle_above = None
        self._set_defaults()

    def reset_counts(self) -> None:
        """Forget the requests seen, the most in flight and the refusals."""
        with self._lock:
            self._requests.clear()
            self._most_in_flight = self._now_in_flight
            self._peak_in_flight = self._chat_in_flight
            self._refused = 0

    @property
    def most_in_flight(self) -> int:
        """The most requests that were being answered at one time."""
        with self._lock:
            return self._most_in_flight

    @property
    def peak_in_flight(self) -> int:
        """The most chat requests being answered at one time; refused ones do not count."""
        with self._lock:
            return self._peak_in_flight

    @property
    def refused(self) -> int:
        """Chat requests refused for exceeding concurrency_limit."""
        with self._lock:
            return self._refused

    @contextmanager
    def _in_flight(self):
        with self._lock:
            self._now_in_flight += 1
            self._most_in_flight = max(self._most_in_flight, self._now_in_flight)
        try:
            yield
        finally:
            with self._lock:
                self._now_in_flight -= 1

    def _reasoning_for(self, body: Any) -> int:
        if not self.thinking:
            return 0
        switch = body.get("thinking") if isinstance(body, dict) else None
        return 0 if isinstance(switch, dict) and switch.get("type") == "disabled" else self.reasoning_tokens

    def _setup_reply(self, record: RecordedRequest) -> Reply | None:
        """The answer to a set-up check, or None for anything else."""
        path = record.path.split("?", 1)[0]
        if record.method != "GET" or path not in ("/models", "/user/balance"):
            return None
        with self._lock:
            self._requests.append(record)  # recorded, but takes no scripted behaviour
        if not self.setup_paths:
            return json_reply(404, api_error("Not Found", "invalid_request_error", "not_found"))
        if not re.fullmatch(r"Bearer +\S+", record.headers.get("Authorization", "").strip()):
            return json_reply(401, api_error("Authentication Fails (auth header format should be Bearer sk-...)",
                                             "authentication_error"))
        if path == "/user/balance":
            return json_reply(200, self.balance)
        names = KNOWN_MODELS if self.models is None else self.models
        return json_reply(200, {"object": "list",
                                "data": [{"id": m, "object": "model", "owned_by": "deepseek"} for m in names]})

    def _refusal(self, record: RecordedRequest) -> Reply | None:
        """What the service refuses before any model sees the request; call holding the lock."""
        limit = self.concurrency_limit
        if limit is not None and self._chat_in_flight >= limit:
            self._refused += 1
            return json_reply(429, concurrency_error(self._chat_in_flight + 1, limit))
        if self.models is not None:
            model = record.body.get("model") if isinstance(record.body, dict) else None
            if model not in self.models:
                return json_reply(400, unknown_model_error(model, self.models))
        return None

    def _answer(self, record: RecordedRequest, send: Callable[["Reply | _Drop"], None]) -> None:
        # Recording and dequeuing under one lock keeps request i paired with behaviour i;
        # a refused request takes no behaviour, as no model answered it.
        with self._lock:
            self._requests.append(record)
            refusal = self._refusal(record)
            if refusal is None:
                behaviour = self._queue.popleft() if self._queue else self.default
                throttled = self.throttle_above is not None and self._now_in_flight > self.throttle_above
                self._chat_in_flight += 1
                self._peak_in_flight = max(self._peak_in_flight, self._chat_in_flight)
        if refusal is not None:
            send(refusal)
            return
        try:
            latency = self.latency(record) if callable(self.latency) else self.latency
            if latency:
                record.stopping.wait(latency)
            if throttled:
                reply: Reply | _Drop = json_reply(429, error_body("rate limited", "rate_limit_exceeded"))
            else:
                try:
                    reply = behaviour(record)
                except Exception as exc:  # a broken behaviour should show up in the client, not kill the thread
                    reply = Reply(500, f"stand-in behaviour failed: {exc!r}".encode("utf-8"),
                                  {"Content-Type": "text/plain; charset=utf-8"})
            send(reply)  # still in flight while a slow body is written
        finally:
            with self._lock:
                self._chat_in_flight -= 1


# ------------------------------------------------------------------------ CLI


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Run the stand-in chat-completions service (echo with fixes).")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds before each answer")
    parser.add_argument("--concurrency-limit", type=int, default=None,
                        help="refuse chat requests beyond this many in flight with the real 429")
    parser.add_argument("--substitutions-file", type=Path,
                        help="JSON object {wrong: correct} used instead of the built-in fixes")
    args = parser.parse_args(argv)

    fixes = MODEL_FIXES
    if args.substitutions_file:
        try:
            fixes = json.loads(args.substitutions_file.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            parser.error(f"cannot read {args.substitutions_file}: {exc}")
        if not isinstance(fixes, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                  for k, v in fixes.items()):
            parser.error("substitutions file must hold a JSON object of strings")

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    with StandinService(port=args.port, default=echo(fixes)) as service:
        service.latency = args.latency
        service.concurrency_limit = args.concurrency_limit
        print(f"stand-in chat-completions service listening on {service.url}", flush=True)
        try:
            while not done.wait(0.5):  # short waits keep Ctrl-C responsive
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
