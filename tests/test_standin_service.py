import json
import os
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

TOOLS = Path(__file__).resolve().parents[1] / "tools"
sys.path.insert(0, str(TOOLS))
from standin_service import StandinService, behaviours as B  # noqa: E402

SRT = ("1\n00:00:01,000 --> 00:00:03,200\n肝性脑病患者血案升高\n\n"
       "2\n00:00:03,200 --> 00:00:05,000\n可以加用头皮脂\n\n"
       "3\n00:00:05,000 --> 00:00:07,500\n注意复查肝功能\n")


def post(service, key="test-key", **kw):
    payload = {"model": "deepseek-chat", "temperature": 0.1,
               "messages": [{"role": "system", "content": "校对字幕"}, {"role": "user", "content": SRT}]}
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
