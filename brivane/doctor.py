"""``brivane doctor``: checks a set-up without spending anything.

One line per check, ``OK`` / ``FAIL`` / ``SKIP``, its name and what was
found or what to do. Only the service's free ``GET`` paths are asked
(``/models``, ``/user/balance``); no chat request is ever sent, and the API
key appears in no output.
"""
from __future__ import annotations

import argparse
import logging
import os
import re
import sys
import types

OK, FAIL, SKIP = "OK", "FAIL", "SKIP"
KEY_VARIABLE = "DEEPSEEK_API_KEY"
# The set-up paths answer at once; a service that does not is itself a finding.
TIMEOUT = 10


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="brivane doctor",
        description="检查配置、目录、API密钥、模型和余额，不发送校对请求 "
                    "(check a set-up; sends no chat request).")
    parser.add_argument("--config", default=None, metavar="FILE",
                        help="configuration file (default: the packaged config.json)")
    parser.add_argument("--input", default=os.environ.get("BRIVANE_INPUT_DIR") or None, metavar="DIR",
                        help="directory of the .srt files: checked, and the batch's cost estimated")
    parser.add_argument("--output", default=os.environ.get("BRIVANE_OUTPUT_DIR") or "output",
                        metavar="DIR", help="directory for the corrected files (default: output)")
    return parser.parse_args(argv)


def redactor(key):
    """Shows a key the way the engine's records do: `sk-…` and its last four."""
    if not key:
        return lambda text: text
    shown = "sk-…" + (key[-4:] if len(key) >= 12 else "")
    return lambda text: text.replace(key, shown)


def service_base(api_url):
    """The service's address without `/chat/completions`."""
    base = api_url.rstrip("/")
    suffix = "/chat/completions"
    return base[: -len(suffix)] if base.endswith(suffix) else base


def get(url, key):
    """(status, JSON body or None, text) of a GET with the bearer key; raises
    requests' own errors for a connection that failed."""
    import requests

    response = requests.get(url, headers={"Authorization": f"Bearer {key}"}, timeout=TIMEOUT)
    try:
        body = response.json()
    except ValueError:
        body = None
    return response.status_code, body, response.text


def _service_message(body, text):
    if isinstance(body, dict) and isinstance(body.get("error"), dict):
        message = body["error"].get("message")
        if isinstance(message, str) and message:
            return message
    return " ".join(text.split())[:200]


def ask(url, key):
    """(status, body) for a usable answer, else the finished (status, text)
    check for a refusal, a missing path or a failed connection."""
    import requests

    try:
        status, body, text = get(url, key)
    except requests.Timeout:
        return None, (FAIL, f"无法连接 {url}: {TIMEOUT} 秒内没有回答")
    except requests.RequestException as error:
        # requests wraps the socket's reason in layers of pool messages.
        reason = re.search(r"\[Errno -?\d+\][^\"')]*", str(error))
        return None, (FAIL, f"无法连接 {url}: {reason.group(0) if reason else error}")
    if status == 200 and body is not None:
        return body, None
    if status == 404:
        return None, (SKIP, f"服务没有 {url} (HTTP 404)，非 DeepSeek 的兼容服务常见")
    if status == 401:
        return None, (FAIL, f"服务拒绝了密钥 (HTTP 401): {_service_message(body, text)}；"
                            f"检查 {KEY_VARIABLE}")
    return None, (FAIL, f"{url}: HTTP {status}: {_service_message(body, text)}")


class Doctor:
    def __init__(self, args):
        self.args = args
        self.key = os.environ.get(KEY_VARIABLE) or None
        self.config = None
        self.balances = None  # {currency: amount} once the balance is known

    def checks(self):
        yield "配置", self.configuration
        yield "目录", self.folders
        yield "API密钥", self.api_key
        yield "模型", self.model
        yield "余额", self.balance
        yield "费用估算", self.estimate

    def configuration(self):
        from brivane.preflight import settings_problems
        from brivane.configuration import load_configuration

        config, problems = load_configuration(self.args.config)
        if config is None:
            return FAIL, problems[0]
        problems = settings_problems(self._run_args(), config)
        if problems:
            return FAIL, "; ".join(problems)
        self.config = config
        source = self.args.config or "内置 config.json"
        return OK, f"{source} (模型 {config['model']}, {config['api_url']})"

    def _run_args(self):
        """The namespace the command's own checks read."""
        return types.SimpleNamespace(input=self.args.input, output=self.args.output,
                                     config=self.args.config, log_dir=None, glossary=[])

    def folders(self):
        from brivane.preflight import folder_problems, input_problems

        if self.config is None:
            return SKIP, "配置无法使用"
        args = self._run_args()
        problems = (input_problems(args) if args.input is not None else [])
        problems += folder_problems(args, self.config, make=False)
        if problems:
            return FAIL, "; ".join(problems)
        found = f"输出 {args.output}"
        if args.input is None:
            return OK, f"{found} (未给出 --input，输入目录未检查)"
        return OK, f"输入 {args.input}, {found}"

    def api_key(self):
        if not self.key:
            return FAIL, f"未设置 {KEY_VARIABLE}：export {KEY_VARIABLE}=sk-..."
        return OK, f"{KEY_VARIABLE} 已设置 ({redactor(self.key)(self.key)})"

    def _unasked(self):
        if self.config is None:
            return SKIP, "配置无法使用"
        if not self.key:
            return SKIP, f"没有 {KEY_VARIABLE}"
        return None

    def _ask(self, path):
        """The service's answer at `path`, or the check's result when it cannot be asked."""
        skipped = self._unasked()
        if skipped:
            return None, None, skipped
        url = f"{service_base(self.config['api_url'])}{path}"
        body, finished = ask(url, self.key)
        return url, body, finished

    def model(self):
        url, body, finished = self._ask("/models")
        if finished:
            return finished
        data = body.get("data") if isinstance(body, dict) else None
        listed = [entry.get("id") for entry in data if isinstance(entry, dict)] \
            if isinstance(data, list) else None
        if listed is None:
            return FAIL, f"{url}: 回复中没有模型列表"
        model = self.config["model"]
        if model not in listed:
            return FAIL, f"模型 {model} 不在服务列出的模型中: {', '.join(map(str, listed))}"
        return OK, f"{model} 在 {url} 列出的 {len(listed)} 个模型中"

    def balance(self):
        url, body, finished = self._ask("/user/balance")
        if finished:
            return finished
        infos = body.get("balance_infos") if isinstance(body, dict) else None
        if not isinstance(infos, list):
            return FAIL, f"{url}: 回复中没有余额"
        balances = {}
        for info in infos:
            try:
                balances[str(info["currency"])] = float(info["total_balance"])
            except (TypeError, KeyError, ValueError):
                continue
        shown = ", ".join(f"{info.get('total_balance')} {info.get('currency')}"
                          for info in infos if isinstance(info, dict)) or "无"
        if body.get("is_available") is not True:
            return FAIL, f"账户不可用 (is_available: {body.get('is_available')!r})，余额 {shown}：请充值"
        self.balances = balances
        return OK, f"可用，余额 {shown}"

    def estimate(self):
        from brivane import cost
        from brivane.preflight import batch_estimate

        if self.config is None:
            return SKIP, "配置无法使用"
        if self.args.input is None:
            return SKIP, "给出 --input 以估算这批文件的费用"
        if not os.path.isdir(self.args.input):
            return SKIP, f"输入目录不存在: {self.args.input}"
        prices = cost.model_prices(self.config)
        if prices is None:
            return SKIP, f"pricing 中没有模型 {self.config['model']} 的价格"
        rows = quietly(lambda: list(batch_estimate(self.args.input, self.config, prices, cost.now())))
        read = [row for row in rows if len(row) == 4]
        amount = sum(row[3] for row in read)
        requests = sum(row[2]["requests"] for row in read)
        currency = prices["currency"]
        found = f"约 {cost.money(amount, currency)} ({len(read)} 个文件, {requests} 个请求"
        found += f", {len(rows) - len(read)} 个文件无法读取)" if len(rows) > len(read) else ")"
        if self.balances is None:
            return SKIP, f"{found}；余额未知"
        if currency not in self.balances:
            return SKIP, f"{found}；余额不是 {currency} ({', '.join(self.balances) or '无'})"
        balance = self.balances[currency]
        if amount > balance:
            return FAIL, f"{found}，超过余额 {balance:.2f} {currency}"
        return OK, f"{found}，余额 {balance:.2f} {currency}"


def quietly(read):
    """`read()` without the engine's records: the files' own problems are the
    run's to report."""
    from brivane import brivane as engine_module

    logger = engine_module.logger
    level = logger.level
    logger.setLevel(logging.CRITICAL + 1)
    try:
        return read()
    finally:
        logger.setLevel(level)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    doctor = Doctor(args)
    redact = redactor(doctor.key)
    failed = False
    for name, check in doctor.checks():
        status, found = check()
        failed = failed or status == FAIL
        print(redact(f"{status:<4} {name}: {found}"), flush=True)
    return 1 if failed else 0
