"""The chat-completions client against the stand-in service over real HTTP."""
import json
import re

import pytest

from standin_service import behaviours as b

WINDOW = "1\n00:00:01,000 --> 00:00:02,000\n血案升高\n\n2\n00:00:02,000 --> 00:00:03,000\n需要治疗\n\n"
CORRECTED = WINDOW.replace("血案", "血氨").strip()
RETRY = ("INFO", "将在 5 秒后重试...")


def attempt(n, total=5):
    return ("INFO", f"正在调用API校正字幕（尝试 {n}/{total}）...")


def status(code):
    return [("INFO", f"API响应状态码: {code}"), ("DEBUG", re.compile(r"API响应头: .*"))]


def matches(actual, expected):
    assert len(actual) == len(expected), "\n".join(map(str, actual))
    for (level, message), (want_level, want) in zip(actual, expected):
        assert level == want_level, (level, message)
        if isinstance(want, re.Pattern):
            assert want.fullmatch(message), message
        else:
            assert message == want


SUCCESS_TAIL = [
    ("INFO", re.compile(r"API使用情况 - 输入tokens: \d+, 输出tokens: \d+, 总tokens: \d+")),
    ("INFO", "API完成原因: stop"),
    ("INFO", "正在应用错误术语库精确替换..."),
    ("INFO", "术语库精确替换完成，共替换了1个术语"),
    ("DEBUG", "替换详情: 血案 → 血氨"),
]


def success(n=1, total=5):
    return [attempt(n, total), *status(200), ("DEBUG", re.compile(r"API完整响应: \{\n.*", re.S)),
            *SUCCESS_TAIL]


def final_three(message, total=5):
    return [("ERROR", message), ("ERROR", f"调用API时发生未知错误: {message}"),
            ("ERROR", f"API在 {total} 次尝试后仍然失败: {message}")]


def test_success_sends_one_exact_request(online_engine, service, records, pauses, capsys):
    text, details = online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW)
    assert (text, details) == (CORRECTED, ["血案 → 血氨"])
    matches(records(), success())
    assert pauses == []
    [request] = service.requests
    names = [name.lower() for name in request.headers]
    assert names.index("content-type") < names.index("authorization")
    assert request.headers["Authorization"] == "Bearer test-key"
    assert request.headers["Content-Type"] == "application/json"
    body = json.loads(request.raw)
    assert list(body) == ["model", "messages", "max_tokens", "temperature", "top_p",
                          "frequency_penalty", "presence_penalty", "thinking"]
    assert body["messages"] == [
        {"role": "system", "content": online_engine.system_prompt},
        {"role": "user", "content": WINDOW},
    ]
    assert [list(m) for m in body["messages"]] == [["role", "content"]] * 2
    assert (body["model"], body["max_tokens"], body["top_p"]) == ("deepseek-flash", 2048, 0.7)
    assert b'"temperature": 0,' in request.raw and b"\\u" in request.raw  # json.dumps defaults
    assert body["thinking"] == {"type": "disabled"}
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1 and printed[0].startswith("{'id': ")


@pytest.mark.parametrize(
    "extra, expected_tail",
    [
        (None, ["presence_penalty"]),
        ({"temperature": 1, "stream": False}, ["presence_penalty", "stream"]),
    ],
)
def test_extra_body_members(online_engine, service, extra, expected_tail):
    config = dict(online_engine.config)
    if extra is None:
        config.pop("extra_body")
    else:
        config["extra_body"] = extra
    online_engine.config = config
    online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW)
    body = json.loads(service.requests[0].raw)
    assert list(body)[-len(expected_tail):] == expected_tail
    assert body["temperature"] == (0 if extra is None else 1)


HTTP_500_TYPE_ONLY = b.http_error(500, {"error": {"type": "server_error"}})
FAILURE_CASES = {
    "http-500-type-only": (
        HTTP_500_TYPE_ONLY,
        [*status(500), ("ERROR", "API调用失败: HTTP 500"),
         ("ERROR", 'API错误响应内容: {"error": {"type": "server_error"}}'),
         ("ERROR", "API错误类型: server_error"), ("ERROR", "API错误消息: no message")],
        "API多次调用失败: HTTP 500",
    ),
    "http-401-not-json": (
        b.http_error(401, "denied"),
        [*status(401), ("ERROR", "API调用失败: HTTP 401"), ("ERROR", "API错误响应内容: denied"),
         ("ERROR", "无法解析API错误响应为JSON格式")],
        "API多次调用失败: HTTP 401",
    ),
    "error-member-without-message": (
        b.error_member({"code": 1}),
        [*status(200), ("DEBUG", re.compile("API完整响应: .*", re.S)),
         ("ERROR", "API返回错误: 未知错误")],
        "API多次调用失败: 未知错误",
    ),
    "empty-choices": (
        b.empty_choices(),
        [*status(200), ("DEBUG", re.compile("API完整响应: .*", re.S)),
         ("ERROR", "API响应格式不正确，缺少choices字段")],
        "API多次返回格式不正确的响应",
    ),
    "missing-content": (
        b.missing_content(),
        [*status(200), ("DEBUG", re.compile("API完整响应: .*", re.S)),
         ("ERROR", "API响应解析错误: 'content'"), ("ERROR", re.compile("API原始响应内容: .*"))],
        "API多次响应解析失败: 'content'",
    ),
    "invalid-json": (
        b.invalid_json(b"not json"),
        [*status(200), ("ERROR", "API响应解析错误: Expecting value: line 1 column 1 (char 0)"),
         ("ERROR", "API原始响应内容: not json")],
        "API多次响应解析失败: Expecting value: line 1 column 1 (char 0)",
    ),
}


@pytest.mark.parametrize("case", list(FAILURE_CASES))
def test_failure_on_every_attempt(online_engine, service, records, pauses, case):
    behaviour, per_attempt, final = FAILURE_CASES[case]
    service.default = behaviour
    with pytest.raises(Exception) as caught:
        online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, max_retries=3)
    assert type(caught.value) is Exception
    assert str(caught.value) == f"API在 3 次尝试后仍然失败: {final}"
    expected = []
    for n in (1, 2, 3):
        expected += [attempt(n, 3), *per_attempt]
        expected += [RETRY] if n < 3 else final_three(final, 3)
    matches(records(), expected)
    assert len(service.requests) == 3 and pauses == [5, 5]


@pytest.mark.parametrize(
    "behaviour, message",
    [
        (b.error_member("quota"), "调用API时发生未知错误: 'str' object has no attribute 'get'"),
        (b.drop_connection(), re.compile(r"API请求异常: .*(Connection aborted|RemoteDisconnected).*")),
        (b.content_null(), "调用API时发生未知错误: API响应内容为空或不是文本: None"),
        (b.content_value([{"type": "text"}]),
         "调用API时发生未知错误: API响应内容为空或不是文本: [{'type': 'text'}]"),
    ],
)
def test_other_failures_are_recorded_as_last_exception(online_engine, service, records, pauses,
                                                       behaviour, message):
    service.default = behaviour
    with pytest.raises(Exception) as caught:
        online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, max_retries=2, retry_delay=0.5)
    errors = records("ERROR")
    assert len(errors) == 3 and pauses == [0.5]
    assert not any(m.startswith("API使用情况") for _, m in records())
    matches(errors[:2], [("ERROR", message)] * 2)
    last = errors[1][1].split(": ", 1)[1]
    assert errors[2] == ("ERROR", f"API在 2 次尝试后仍然失败: {last}") and str(caught.value) == errors[2][1]


def test_timeouts_on_every_attempt(online_engine, service, records, pauses):
    service.default = b.delay(2.0)
    with pytest.raises(Exception, match=r"^API在 5 次尝试后仍然失败: .*Read timed out"):
        online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, timeout=0.2)
    transport = [m for level, m in records("ERROR") if m.startswith("API请求异常: ")]
    assert len(transport) == 5 and pauses == [5] * 4
    assert records("INFO").count(RETRY) == 4


def test_failure_then_success(online_engine, service, records, pauses):
    service.script(b.http_error(503))
    text, _ = online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW)
    assert text == CORRECTED and pauses == [5] and len(service.requests) == 2
    matches(records()[-len(success(2)):], success(2))


def test_truncated_reply_is_still_used(online_engine, service, records):
    service.default = b.finish_length()
    text, _ = online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW)
    assert text == CORRECTED
    assert ("INFO", "API完成原因: length") in records()
    assert ("WARNING", "警告: API响应因达到最大长度限制而被截断") in records()


def test_zero_attempts(online_engine, service, records):
    with pytest.raises(Exception, match=r"^API在 0 次尝试后仍然失败: None$"):
        online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, max_retries=0)
    assert service.requests == [] and records() == [("ERROR", "API在 0 次尝试后仍然失败: None")]


def test_detailed_logs_switch_is_read_at_use(online_engine, service, records):
    online_engine.config = {**online_engine.config, "logging": {"enable_detailed_logs": False}}
    service.default = b.http_error(500, "oops")
    with pytest.raises(Exception):
        online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, max_retries=1)
    assert not any(m.startswith("API错误响应内容") for _, m in records())
    service.default = b.echo()
    online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW)
    assert not any(m.startswith("API完整响应") for _, m in records())


def test_replaced_transport_is_used(online_engine, brivane_module, monkeypatch, records):
    """`requests.post` is looked up through the module global at call time."""
    class Response:
        status_code = 200
        headers = {}
        text = "{}"

        def json(self):
            return {"choices": [{"message": {"content": WINDOW}}]}

    calls = []
    fake = type("R", (), {"post": staticmethod(lambda *a, **k: calls.append((a, k)) or Response()),
                          "RequestException": brivane_module.requests.RequestException})
    monkeypatch.setattr(brivane_module, "requests", fake)
    # A configured request_timeout streams the body to bound it; without it
    # the call is exactly the plain post.
    online_engine.config = {k: v for k, v in online_engine.config.items() if k != "request_timeout"}
    text, _ = online_engine.call_deepseek_api_with_subtitle_prompt(WINDOW, timeout=7)
    assert text == CORRECTED
    (args, kwargs), = calls
    assert args == (online_engine.api_url,) and kwargs["timeout"] == 7
    assert list(kwargs) == ["headers", "json", "timeout"]
    assert list(kwargs["headers"]) == ["Content-Type", "Authorization"]
