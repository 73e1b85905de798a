"""The cost of tokens at peak and off-peak prices, and `brivane doctor`
against the stand-in's set-up paths."""
import datetime

import pytest
from conftest import make_srt
from standin_service import KNOWN_MODELS

from brivane import cost, doctor

UTC = datetime.timezone.utc
BEIJING_PEAKS = {"factor": 0.5, "utc_offset": "+08:00", "peak_days": [1, 2, 3, 4, 5],
                 "peak_hours": ["09:00-12:00", "14:00-18:00"]}
PRICES = {"currency": "CNY", "cache_hit": 1, "cache_miss": 10, "output": 100, "off_peak": BEIJING_PEAKS}
SPLIT = {"prompt_tokens": 300, "prompt_cache_hit_tokens": 200, "prompt_cache_miss_tokens": 100,
         "completion_tokens": 10}
FULL = (200 * 1 + 100 * 10 + 10 * 100) / 1e6


def at(day, hour, minute=0, second=0):
    return datetime.datetime(2026, 12, day, hour, minute, second, tzinfo=UTC)


@pytest.mark.parametrize("prices, usage, moment, expected", [
    (PRICES, SPLIT, at(7, 1), FULL),  # Monday 09:00 in Beijing: the peak starts
    (PRICES, SPLIT, at(7, 0, 59, 59), FULL / 2),
    (PRICES, SPLIT, at(7, 3, 59), FULL),
    (PRICES, SPLIT, at(7, 4), FULL / 2),  # 12:00: the peak is over
    (PRICES, SPLIT, at(7, 6, 30), FULL),  # 14:30
    (PRICES, SPLIT, at(12, 2), FULL / 2),  # Saturday
    # Friday 17:00 in UTC is Saturday 01:00 in Beijing.
    (PRICES, SPLIT, at(11, 17), FULL / 2),
    ({k: v for k, v in PRICES.items() if k != "off_peak"}, SPLIT, at(12, 2), FULL),
    # Only prompt_tokens reported: all of them are misses.
    (PRICES, {"prompt_tokens": 300, "completion_tokens": 10}, at(7, 1), (300 * 10 + 10 * 100) / 1e6),
    (PRICES, {"completion_tokens": 10}, at(7, 1), 10 * 100 / 1e6),
])
def test_cost_of_a_usage(prices, usage, moment, expected):
    assert cost.cost(usage, prices, moment) == pytest.approx(expected)


KEY = "sk-doctor-5e1b7d-never-shown"
PRICED = {"deepseek-flash": {"currency": "CNY", "cache_hit": 0.04, "cache_miss": 2, "output": 8}}
CHECKS = ["配置", "目录", "API密钥", "模型", "余额", "费用估算"]


def refuse_key(monkeypatch, service):
    # The real service quotes the key it refused.
    monkeypatch.setattr(doctor, "get", lambda url, key: (
        401, {"error": {"message": f"Authentication Fails, Your api key: {key} is invalid"}}, ""))


@pytest.mark.parametrize("case, statuses, status", [
    ("ready", ["OK"] * 6, 0),
    ("unknown model", ["OK", "OK", "OK", "FAIL", "OK", "SKIP"], 1),
    ("no set-up paths", ["OK", "OK", "OK", "SKIP", "SKIP", "SKIP"], 0),
    ("no key", ["OK", "OK", "FAIL", "SKIP", "SKIP", "SKIP"], 1),
    ("over balance", ["OK"] * 5 + ["FAIL"], 1),
    ("key refused", ["OK", "OK", "OK", "FAIL", "FAIL", "SKIP"], 1),
])
def test_doctor(service, workdir, make_config, monkeypatch, capsys, case, statuses, status):
    (workdir / "lectures").mkdir()
    (workdir / "lectures" / "a.srt").write_text(make_srt(3), encoding="utf-8")
    config = {"api_url": service.url, "model": "deepseek-flash", "pricing": PRICED}
    monkeypatch.setenv("DEEPSEEK_API_KEY", KEY)
    if case == "unknown model":
        config["model"] = "deepseek-chat"
    elif case == "no set-up paths":
        service.setup_paths = False
    elif case == "no key":
        monkeypatch.delenv("DEEPSEEK_API_KEY")
    elif case == "over balance":
        service.balance = {"is_available": True,
                           "balance_infos": [{"currency": "CNY", "total_balance": "0.00"}]}
    elif case == "key refused":
        refuse_key(monkeypatch, service)
    args = ["--config", make_config(config), "--input", "lectures", "--output", "out"]
    assert doctor.main(args) == status
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert [line.split()[:2] for line in lines] == [[s, f"{name}:"] for s, name in zip(statuses, CHECKS)]
    assert KEY not in out + err
    # Nothing paid for, nothing made.
    assert {(r.method, r.path) for r in service.requests} <= {("GET", "/models"), ("GET", "/user/balance")}
    assert not (workdir / "out").exists()
    if case == "unknown model":
        assert all(model in lines[3] for model in KNOWN_MODELS)
    if case == "key refused":
        assert "401" in lines[3] and "401" in lines[4]
