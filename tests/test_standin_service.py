import json
import os
import select
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests

TOOLS = Path(__file__).resolve().parents[1] / "tools"
sys.path.insert(0, str(TOOLS))
from standin_service import StandinService, behaviours as B  # noqa: E402

SRT = ("1\n00:00:01,000 --> 00:00:03,200\n肝性脑病患者血案升高\n\n"
       "2\n00:00:03,200 --> 00:00:05,000\n可以加用头皮脂\n\n"
       "3\n00:00:05,000 --> 00:00:07,500\n注意复查肝功能\n")


def post(service, key="test-key", extra=None, **kw):
    payload = {"model": "deepseek-flash", "temperature": 0.1,
               "messages": [{"role": "system", "content": "校对字幕"}, {"role": "user", "content": SRT}],
               **(extra or {})}
    return requests.post(service.url, json=payload, headers={"Authorization": f"Bearer {key}"}, **kw)


def content(resp):
    assert resp.status_code == 200
    return resp.json()["choices"][0]["message"]["content"]


@pytest.fixture
def service():
    with StandinService() as svc:
        yield svc


def test_request_is_recorded_and_echoed(service):
    resp = post(service, key="sk-abc")
    assert content(resp) == SRT and resp.json()["choices"][0]["finish_reason"] == "stop"
    [rec] = service.requests
    assert (rec.method, rec.path) == ("POST", "/chat/completions")
    assert rec.headers["Authorization"] == "Bearer sk-abc" and rec.headers["Content-Type"] == "application/json"
    assert rec.body["temperature"] == 0.1 and rec.user_text == SRT and json.loads(rec.raw) == rec.body


def test_script_is_consumed_in_order_then_default():
    with StandinService(default=B.echo({"头皮脂": "托吡酯"})) as svc:
        svc.script(B.http_error(503), B.echo({"血案": "血氨"}))
        first, second, third = (post(svc) for _ in range(3))
        assert first.status_code == 503
        assert "血氨升高" in content(second) and "头皮脂" in content(second)
        assert "托吡酯" in content(third) and "血案" in content(third)
        assert svc.pending == 0 and len(svc.requests) == 3
        svc.script(B.http_error(500))
        svc.reset()
        assert svc.requests == [] and post(svc).status_code == 200


O1, O2, O3 = (b.split("\n") for b in SRT.strip().split("\n\n"))


@pytest.mark.parametrize("behaviour, expected", [
    (B.drop_blocks([2]), [O1, O3]),
    (B.duplicate_block(1, "重复的一行"), [O1, O1[:2] + ["重复的一行"], O2, O3]),
    (B.change_timestamp("3", "00:00:06,000 --> 00:00:08,000"), [O1, O2, ["3", "00:00:06,000 --> 00:00:08,000", O3[2]]]),
    (B.extra_block(), [O1, O2, O3, ["999", "00:59:58,000 --> 00:59:59,000", "这一行在原文中并不存在"]]),
])
def test_block_edits(service, behaviour, expected):
    service.script(behaviour)
    assert [b.split("\n") for b in content(post(service)).strip().split("\n\n")] == expected


@pytest.mark.parametrize("behaviour, check", [
    (B.combine(B.echo({"血案": "血氨"}), B.preamble(), B.markdown_fence()),
     lambda t: t.startswith("```srt\n以下是") and t.rstrip().endswith("```") and "血氨升高" in t),
    (B.trailing_summary(), lambda t: t.startswith(SRT.rstrip("\n")) and "修改说明" in t[len(SRT):]),
    (B.inline_note(2, "（注：原文为头皮脂）"), lambda t: "可以加用头皮脂（注：原文为头皮脂）\n" in t),
    (B.finish_length(20), lambda t: t == SRT[:20]),
])
def test_commentary_and_truncation(service, behaviour, check):
    service.script(behaviour)
    assert check(content(post(service)))


@pytest.mark.parametrize("behaviour, status, parse", [
    (B.http_error(429, {"error": {"type": "rate_limit", "message": "slow down"}}), 429,
     lambda r: r.json()["error"]["type"] == "rate_limit"),
    (B.http_error(502, "Bad Gateway"), 502, lambda r: r.text == "Bad Gateway"),
    (B.http_error(500), 500, lambda r: r.content == b""),
    (B.error_member(None), 200, lambda r: "error" in r.json() and "choices" not in r.json()),
    (B.content_null(), 200, lambda r: r.json()["choices"][0]["message"]["content"] is None),
    (B.no_usage(), 200, lambda r: "usage" not in r.json() and r.json()["choices"]),
    (B.invalid_json(), 200, lambda r: pytest.raises(ValueError, r.json)),
])
def test_error_replies(service, behaviour, status, parse):
    service.script(behaviour)
    resp = post(service)
    assert resp.status_code == status and parse(resp)


def test_dropped_connection_gets_no_response(service):
    service.script(B.drop_connection())
    with pytest.raises(requests.ConnectionError):
        post(service)


def test_delay_times_out_client_and_stop_is_prompt(capfd):
    # Several instances side by side on port 0.
    with StandinService(default=B.delay(30)) as svc, StandinService() as other:
        assert svc.port != other.port and content(post(other)) == SRT
        with pytest.raises(requests.Timeout):
            post(svc, timeout=0.3)
        started = time.monotonic()
        svc.stop()
        assert time.monotonic() - started < 2
    assert capfd.readouterr().err == ""  # no per-request log lines


def real_error(message, type, code="invalid_request_error"):
    return {"error": {"message": message, "type": type, "param": None, "code": code}}


@pytest.mark.parametrize("behaviour, status, expected", [
    (B.insufficient_balance(), 402, real_error("Insufficient Balance", "unknown_error")),
    (B.concurrency_exceeded(), 429, real_error(
        "Your current concurrency is 41, which exceeds your concurrency limit of 40 based on your remaining balance.",
        "rate_limit_error")),
    (B.overloaded(), 503, real_error("Server overloaded", "server_error", "server_error")),
    (B.interrupted(10), 200, (SRT[:10], "insufficient_system_resource")),
    (B.filtered(), 200, ("", "content_filter")),
    (B.filtered(7), 200, (SRT[:7], "content_filter")),
])
def test_real_errors_and_finish_reasons(service, behaviour, status, expected):
    service.script(behaviour)
    resp = post(service)
    assert resp.status_code == status
    if status == 200:
        choice = resp.json()["choices"][0]
        assert (choice["message"]["content"], choice["finish_reason"]) == expected
    else:
        assert resp.json() == expected


MODEL_LIST = {"object": "list", "data": [{"id": "deepseek-flash", "object": "model", "owned_by": "deepseek"},
                                         {"id": "deepseek-v4-pro", "object": "model", "owned_by": "deepseek"}]}
BALANCE = {"is_available": True, "balance_infos": [{"currency": "CNY", "total_balance": "110.00",
                                                     "granted_balance": "10.00", "topped_up_balance": "100.00"}]}


@pytest.mark.parametrize("settings, method, path, key, status, expected", [
    ({}, "GET", "/models", "sk-1", 200, MODEL_LIST),
    ({"models": ["deepseek-flash"]}, "GET", "/models", "sk-1", 200, {"object": "list", "data": MODEL_LIST["data"][:1]}),
    ({}, "GET", "/user/balance", "sk-1", 200, BALANCE),
    ({"balance": {"is_available": False, "balance_infos": []}}, "GET", "/user/balance", "sk-1", 200,
     {"is_available": False, "balance_infos": []}),
    ({}, "GET", "/models", "", 401, None),
    ({"setup_paths": False}, "GET", "/models", "sk-1", 404, None),
    ({"setup_paths": False}, "GET", "/user/balance", "sk-1", 404, None),
    ({"models": ["deepseek-flash", "deepseek-v4-pro"]}, "POST", "/chat/completions", "sk-1", 400, real_error(
        "The supported API model names are deepseek-flash, deepseek-v4-pro, but you passed deepseek-chat",
        "invalid_request_error")),
    ({"models": ["deepseek-chat"]}, "POST", "/chat/completions", "sk-1", 200, None),
])
def test_models_and_setup_checks(service, settings, method, path, key, status, expected):
    for name, value in settings.items():
        setattr(service, name, value)
    service.script(B.http_error(500))  # only a chat request that reaches the model takes it
    resp = requests.request(method, service.base_url + path, headers={"Authorization": f"Bearer {key}"},
                            json={"model": "deepseek-chat", "messages": [{"role": "user", "content": SRT}]}
                            if method == "POST" else None)
    assert resp.status_code == (500 if status == 200 and method == "POST" else status)
    if expected is not None:
        assert resp.json() == expected
    assert [(r.method, r.path) for r in service.requests] == [(method, path)]
    assert service.pending == (0 if resp.status_code == 500 else 1)
    service.reset()
    assert (service.models, service.setup_paths, service.balance) == (None, True, BALANCE)


@pytest.mark.parametrize("settings, extra, behaviour, content, finish, reasoning", [
    ({}, {}, B.echo(), SRT, "stop", 0),
    ({"thinking": True}, {}, B.echo(), SRT, "stop", 200),
    ({"thinking": True}, {"thinking": {"type": "disabled"}}, B.echo(), SRT, "stop", 0),
    ({"thinking": True, "reasoning_tokens": 50}, {"max_tokens": 80}, B.echo(), SRT[:30], "length", 50),
    ({"thinking": True}, {"max_tokens": 150}, B.echo(), "", "length", 150),
    ({}, {"max_tokens": 100}, B.thinking_exhausts_budget(), "", "length", 100),
])
def test_thinking_spends_the_token_budget(service, settings, extra, behaviour, content, finish, reasoning):
    for name, value in settings.items():
        setattr(service, name, value)
    service.script(behaviour)
    body = post(service, extra=extra).json()
    message, usage = body["choices"][0]["message"], body["usage"]
    assert (message["content"], body["choices"][0]["finish_reason"]) == (content, finish)
    if reasoning:
        assert message["reasoning_content"]
    else:
        assert "reasoning_content" not in message
    assert usage["completion_tokens_details"] == {"reasoning_tokens": reasoning}
    assert usage["completion_tokens"] == len(content) + reasoning
    assert usage["prompt_tokens_details"] == {"cached_tokens": usage["prompt_cache_hit_tokens"]} == {"cached_tokens": 4}


def test_keep_alive_lines_precede_the_body(capfd):
    with StandinService() as svc:
        svc.script(B.keep_alive(1.2, interval=0.2, then=B.echo({"血案": "血氨"})),
                   B.keep_alive(30, interval=0.05), B.keep_alive(30, interval=0.05))
        started = time.monotonic()
        resp = post(svc, timeout=(2, 0.5))  # the read timeout is shorter than the wait
        assert 1.2 <= time.monotonic() - started < 2.5
        assert resp.text.startswith("\n" * 5) and content(resp) == SRT.replace("血案", "血氨")
        # A client hanging up mid-wait frees its place in flight.
        with socket.create_connection((svc.host, svc.port)) as sock:
            sock.sendall(b"POST /chat/completions HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}")
            assert sock.recv(64).startswith(b"HTTP/1.0 200")
        time.sleep(0.3)
        svc.concurrency_limit = 1
        with ThreadPoolExecutor(1) as pool:
            waiting = pool.submit(post, svc, timeout=5)
            while len(svc.requests) < 3:
                time.sleep(0.01)
            time.sleep(0.1)
            stopped = time.monotonic()
            svc.stop()  # ends the wait early; the body still follows
            assert content(waiting.result(timeout=2)) == SRT and time.monotonic() - stopped < 1
        assert svc.refused == 0
    assert capfd.readouterr().err == ""


def test_concurrency_limit_refuses_the_excess(service):
    service.concurrency_limit, service.latency = 2, 0.5
    with ThreadPoolExecutor(3) as pool:
        replies = list(pool.map(lambda _: post(service), range(3)))
    refused = [r for r in replies if r.status_code == 429]
    assert [r.status_code for r in replies].count(200) == 2 and len(refused) == 1
    assert refused[0].json() == real_error("Your current concurrency is 3, which exceeds your concurrency limit of 2 "
                                           "based on your remaining balance.", "rate_limit_error")
    assert (service.peak_in_flight, service.refused, len(service.requests)) == (2, 1, 3)
    service.latency = 0
    assert post(service).status_code == 200  # the places are free again
    service.reset()
    assert (service.concurrency_limit, service.refused) == (None, 0)
    assert service.peak_in_flight <= 1  # the last reply's handler may still be closing


def test_cli_prints_url_and_applies_fixes(tmp_path):
    fixes = tmp_path / "fixes.json"
    fixes.write_text(json.dumps({"肝功能": "肝肾功能"}), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}  # the URL line must be flushed
    proc = subprocess.Popen([sys.executable, str(TOOLS / "standin_service.py"), "--substitutions-file", str(fixes)],
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert select.select([proc.stdout], [], [], 10)[0], "no line printed"
        line = proc.stdout.readline().strip()
        assert line.startswith("stand-in chat-completions service listening on http://127.0.0.1:")
        url = line.rsplit(" ", 1)[1]
        reply = requests.post(url, json={"messages": [{"role": "user", "content": SRT}]}, timeout=5)
        assert content(reply) == SRT.replace("肝功能", "肝肾功能")
    finally:
        proc.terminate()
        assert proc.wait(timeout=5) == 0
        proc.stdout.close()
