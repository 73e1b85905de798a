"""What tokens cost in money, from the configuration's ``pricing``.

``pricing`` maps a model name to its prices per million tokens at the
standard (peak) rate, in one currency, with an optional off-peak discount:

    {"deepseek-flash": {"currency": "CNY", "cache_hit": 0.04, "cache_miss": 2, "output": 8,
                        "off_peak": {"factor": 0.5, "utc_offset": "+08:00",
                                     "peak_days": [1, 2, 3, 4, 5],
                                     "peak_hours": ["09:00-12:00", "14:00-18:00"]}}}

Without ``pricing``, or without an entry for the model, no cost is shown.
"""
from __future__ import annotations

import datetime
import math
import re

PRICES = ("cache_hit", "cache_miss", "output")
OFF_PEAK = ("factor", "utc_offset", "peak_days", "peak_hours")
_OFFSET = re.compile(r"([+-])(\d\d):(\d\d)")
_HOURS = re.compile(r"(\d\d):(\d\d)-(\d\d):(\d\d)")


class PricingError(ValueError):
    """A `pricing` entry of the wrong shape; the message names the key."""


def now():
    """The current moment, with its time zone."""
    return datetime.datetime.now().astimezone()


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) \
        and value >= 0


def _problem(path, rule, value):
    return f"配置项 pricing.{path} 必须是{rule}，当前值: {value!r}"


def _minutes(hours, minutes):
    return int(hours) * 60 + int(minutes)


def _entry_problems(model, entry):
    if not isinstance(entry, dict):
        return [_problem(model, "JSON对象", entry)]
    problems = [f"配置项 pricing.{model} 有未知的成员: {name}"
                for name in entry if name not in (*PRICES, "currency", "off_peak")]
    currency = entry.get("currency")
    if not (isinstance(currency, str) and currency.strip()):
        problems.append(_problem(f"{model}.currency", "货币代码（如 \"CNY\"）", currency))
    for name in PRICES:
        if not _number(entry.get(name)):
            problems.append(_problem(f"{model}.{name}", "非负数（每百万 tokens 的价格）", entry.get(name)))
    if "off_peak" in entry:
        problems += _off_peak_problems(f"{model}.off_peak", entry["off_peak"])
    return problems


def _off_peak_problems(path, off_peak):
    if not isinstance(off_peak, dict):
        return [_problem(path, "JSON对象", off_peak)]
    problems = [f"配置项 pricing.{path} 有未知的成员: {name}" for name in off_peak if name not in OFF_PEAK]
    if not _number(off_peak.get("factor")):
        problems.append(_problem(f"{path}.factor", "非负数", off_peak.get("factor")))
    offset = off_peak.get("utc_offset")
    match = _OFFSET.fullmatch(offset) if isinstance(offset, str) else None
    if not match or _minutes(*match.groups()[1:]) > 14 * 60 or int(match.group(3)) > 59:
        problems.append(_problem(f"{path}.utc_offset", "UTC 时差（如 \"+08:00\"）", offset))
    days = off_peak.get("peak_days")
    if not (isinstance(days, list)
            and all(isinstance(d, int) and not isinstance(d, bool) and 1 <= d <= 7 for d in days)):
        problems.append(_problem(f"{path}.peak_days", "1 到 7 的数组（ISO 星期，1 为星期一）", days))
    hours = off_peak.get("peak_hours")
    if not (isinstance(hours, list) and all(_span(h) for h in hours)):
        problems.append(_problem(f"{path}.peak_hours", "\"HH:MM-HH:MM\" 的数组", hours))
    return problems


def _span(text):
    """(start, end) in minutes of the day, or None."""
    match = _HOURS.fullmatch(text) if isinstance(text, str) else None
    if not match:
        return None
    h1, m1, h2, m2 = match.groups()
    start, end = _minutes(h1, m1), _minutes(h2, m2)
    if int(m1) > 59 or int(m2) > 59 or not 0 <= start < end <= 24 * 60:
        return None
    return start, end


def pricing_problems(config):
    """One message per malformed `pricing` entry, each naming the model."""
    pricing = config.get("pricing")
    if pricing is None:
        return []
    if not isinstance(pricing, dict):
        return [f"配置项 pricing 必须是JSON对象，当前值: {pricing!r}"]
    return [problem for model, entry in pricing.items() for problem in _entry_problems(model, entry)]


def model_prices(config, model=None):
    """The prices of `model` (default: the configured one), or None when
    `pricing` does not list it. Raises PricingError for a malformed entry."""
    pricing = config.get("pricing")
    if pricing is None:
        return None
    if not isinstance(pricing, dict):
        raise PricingError(f"配置项 pricing 必须是JSON对象，当前值: {pricing!r}")
    model = config.get("model") if model is None else model
    if not isinstance(model, str) or model not in pricing:
        return None
    problems = _entry_problems(model, pricing[model])
    if problems:
        raise PricingError(problems[0])
    return pricing[model]


def is_off_peak(prices, moment):
    """Whether `moment` (an aware datetime) falls outside the peak hours of
    the peak days, in the prices' own time zone. Without `off_peak`, never."""
    off_peak = prices.get("off_peak")
    if not off_peak:
        return False
    sign, hours, minutes = _OFFSET.fullmatch(off_peak["utc_offset"]).groups()
    offset = datetime.timedelta(minutes=_minutes(hours, minutes)) * (-1 if sign == "-" else 1)
    local = moment.astimezone(datetime.timezone(offset))
    if local.isoweekday() not in off_peak["peak_days"]:
        return True
    minute = local.hour * 60 + local.minute + local.second / 60
    return not any(start <= minute < end for start, end in map(_span, off_peak["peak_hours"]))


def cost(usage, prices, moment):
    """The money a usage dict (the service's counts, or their sums) costs at
    `moment`. Prompt tokens not reported as cache hits count as misses, so a
    reply that reports only `prompt_tokens` pays them all at the miss price."""
    def count(key):
        value = usage.get(key)
        return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None

    hit = count("prompt_cache_hit_tokens") or 0
    prompt = count("prompt_tokens")
    # prompt = hit + miss, also across replies of which only some reported
    # the split.
    miss = max(prompt - hit, 0) if prompt is not None else count("prompt_cache_miss_tokens") or 0
    output = count("completion_tokens") or 0
    amount = (hit * prices["cache_hit"] + miss * prices["cache_miss"]
              + output * prices["output"]) / 1e6
    if is_off_peak(prices, moment):
        amount *= prices["off_peak"]["factor"]
    return amount


def estimated_usage(prompt_tokens, window_tokens, first_of_run):
    """Estimated counts of one file's requests: the fixed prompt plus each
    window in, about the window again out. The service caches the prompt
    once a request has carried it, so only the run's very first request
    pays it as a miss."""
    requests = len(window_tokens)
    hits = prompt_tokens * (requests - 1 if first_of_run and requests else requests)
    total_in = prompt_tokens * requests + sum(window_tokens)
    return {"requests": requests, "prompt_tokens": total_in, "prompt_cache_hit_tokens": hits,
            "prompt_cache_miss_tokens": total_in - hits, "completion_tokens": sum(window_tokens)}


SYMBOLS = {"CNY": "¥", "USD": "$"}


def money(amount, currency):
    """`¥0.0123`, `$1.50`, `EUR 0.0100`: four decimals below 1, else two."""
    prefix = SYMBOLS.get(currency, f"{currency} ")
    return f"{prefix}{amount:.4f}" if round(amount, 4) < 1 else f"{prefix}{amount:.2f}"
