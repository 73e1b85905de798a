"""What the real service does that a kind one never would: replies that did
not finish, filtered replies, an empty account, keep-alive lines past the
time-out, and reasoning that eats the token budget."""
import json
import sqlite3
import time
from contextlib import closing

import pytest
from conftest import make_srt

from standin_service import StandinService
from standin_service import behaviours as b

CACHE = "cache/replies.sqlite3"
SOURCE = make_srt(3)
CORRECTED = SOURCE.replace("血案", "血氨") + "\n"


def correct(engine, workdir, content=SOURCE):
    path = workdir / "input" / "lecture.srt"
    path.write_text(content, encoding="utf-8")
    assert engine.process_subtitle_file(str(path)) is True
    return (workdir / "output" / "lecture_corrected.srt").read_text(encoding="utf-8")


def warnings(records):
    return [m for _, m in records("WARNING")]


@pytest.mark.parametrize("unfinished", [b.interrupted, b.finish_length])
def test_an_unfinished_reply_is_not_trusted_nor_cached(pipeline_engine, service, workdir, records,
                                                       unfinished):
    pipeline_engine.config = {**pipeline_engine.config, "reply_cache": CACHE}
    service.default = unfinished(len(SOURCE) - 4)  # stops inside the last block
    for run in (1, 2):
        assert correct(pipeline_engine, workdir) == CORRECTED.replace("血氨升高3", "血案升高3")
        assert "API返回结果中缺少以下字幕块，已使用原始内容: ['3']" in warnings(records)
        assert len(service.requests) == run  # the rerun asks again
    # A finished reply is kept; one an earlier version stored unfinished is not used.
    service.default = b.echo()
    assert correct(pipeline_engine, workdir) == CORRECTED
    with closing(sqlite3.connect(workdir / "output" / CACHE)) as db, db:
        assert db.execute("SELECT finish_reason FROM replies").fetchall() == [("stop",)]
        db.execute("UPDATE replies SET finish_reason = 'insufficient_system_resource'")
    assert correct(pipeline_engine, workdir) == CORRECTED
    assert len(service.requests) == 4


@pytest.mark.parametrize("kept_chars, kept", [(0, 3), (len(SOURCE) - 4, 1)])
def test_a_filtered_window_is_kept_as_sent_once(review_engine, service, workdir, records,
                                                kept_chars, kept):
    service.default = b.filtered(kept_chars)
    written = correct(review_engine, workdir)
    assert written.count("血案") == kept and written.count("血氨") == 3 - kept
    assert f"内容审核拦截 (content_filter)：窗口 1 的 {kept} 个字幕块保留原文" in warnings(records)
    assert len(service.requests) == 1  # the filter would stop a follow-up too
    changes = json.loads((workdir / "output" / "review" / "changes.json").read_text(encoding="utf-8"))
    flagged = ["filtered" in block["flags"] for block in changes["files"][0]["blocks"]]
    assert flagged == [k >= 3 - kept for k in range(3)]


@pytest.mark.parametrize("jobs", [1, 4])
def test_an_empty_account_stops_the_batch_at_once(batch_engine, service, workdir, records, pauses,
                                                  jobs):
    batch_engine.config = {**batch_engine.config, "stop_on_client_errors": True,
                           "max_concurrent_requests": jobs}
    batch_engine.window_size = 1
    for name in ("a", "b"):
        (workdir / "input" / f"{name}.srt").write_text(make_srt(6), encoding="utf-8")
    service.default = b.insufficient_balance()
    assert batch_engine.process_all_files() is False
    assert len(service.requests) <= jobs and pauses == []
    assert ("ERROR", "账户余额不足 (HTTP 402)，不再重试: Insufficient Balance") in records()
    assert records("CRITICAL") == [("CRITICAL", "API调用失败，程序终止执行！错误信息: "
                                                "账户余额不足 (HTTP 402)，不再重试: Insufficient Balance")]


def test_request_timeout_bounds_the_whole_request(pipeline_engine, records, pauses):
    # A stand-in of its own: no request another test left in flight takes the script.
    with StandinService() as service:
        pipeline_engine.api_url = service.url
        pipeline_engine.config = {**pipeline_engine.config, "request_timeout": 1}
        service.script(b.keep_alive(30, interval=0.2))  # an empty line every 0.2 s
        started = time.monotonic()
        text, _ = pipeline_engine.call_deepseek_api_with_subtitle_prompt(SOURCE, timeout=1)
        assert time.monotonic() - started < 5 and text == CORRECTED.rstrip("\n")
        assert [m for _, m in records("ERROR")] == [
            "API请求异常: 请求在 1 秒内未完成，已放弃 (request_timeout)"]
        assert len(service.requests) == 2 and pauses == [5]


def test_reasoning_that_used_the_budget_is_named(pipeline_engine, service, workdir, records):
    pipeline_engine.config = {k: v for k, v in pipeline_engine.config.items() if k != "extra_body"}
    service.default = b.thinking_exhausts_budget()
    assert correct(pipeline_engine, workdir) == SOURCE + "\n"
    assert ('模型推理用去 2048 个输出 tokens，回复为空；在配置中设置 "extra_body": '
            '{"thinking": {"type": "disabled"}} 可关闭推理') in warnings(records)
