"""Command line: ``brivane`` / ``python -m brivane``.

Runs the same flow as ``brivane.brivane.main`` (start message, one engine,
one batch, end message), with the directories and an optional configuration
file taken from the command line, and an exit status a shell can test.
"""
from __future__ import annotations

import argparse
import logging
import os
import sys

from brivane import __version__, _native, cost
from brivane.cjk import is_cjk
from brivane.configuration import load_configuration

EPILOG = """\
environment:
  DEEPSEEK_API_KEY     the service's API key (required; never logged)
  BRIVANE_INPUT_DIR    default of --input
  BRIVANE_OUTPUT_DIR   default of --output

outputs:
  <output>/<name>_corrected.srt           the corrected subtitles
  <output>/.brivane/replies.sqlite3       the reply cache (packaged configuration)
  <output>/review/index.html              the review report (--report; packaged configuration)
  <output>/subtitle_logs/subtitle_comparison_*.log  comparison logs (--log-dir)
  logs/brivane.log                        the process log, also on standard error
  backup/brivane_backup_<date>.zip        the inputs as they were before the run

glossaries:
  brivane glossary check FILE... [--with-packaged]   report entries that would damage text
  brivane glossary suggest REVIEW... [--output FILE] entries learned from the model's edits

review:
  brivane review OUTPUT_DIR [--reviewer NAME] [--media DIR]  the review workbench, in the browser
  brivane review export OUTPUT_DIR                          <name>_reviewed.srt from the decisions
    [--report FILE.xlsx|FILE.csv]                            and the sign-off report of changed and flagged blocks
  brivane score REFERENCE HYPOTHESIS [--source SOURCE]      CER and false corrections against reviewed text

set-up:
  brivane doctor [--config FILE] [--input DIR] [--output DIR]  check configuration, folders, key,
                                                              model, balance; sends no chat request
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="brivane",
        description="校正医学视频SRT字幕中的术语错误 (proof-read the SRT subtitles of medical lectures).",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=EPILOG,
    )
    parser.add_argument("--version", action="version", version=f"brivane {__version__}")
    parser.add_argument("--input", default=os.environ.get("BRIVANE_INPUT_DIR") or "input",
                        help="directory of the .srt files to correct (default: input)")
    parser.add_argument("--output", default=os.environ.get("BRIVANE_OUTPUT_DIR") or "output",
                        help="directory for the corrected files (default: output)")
    parser.add_argument("--config", default=None,
                        help="configuration file (default: the packaged config.json)")
    parser.add_argument("--jobs", type=_jobs, default=None, metavar="N|auto",
                        help="requests in flight at once, or auto: find the account's limit "
                             "(default: the configuration's max_concurrent_requests, else 1); "
                             "outputs do not depend on it")
    parser.add_argument("--no-cache", action="store_true",
                        help="neither read nor write the reply cache for this run")
    parser.add_argument("--log-dir", default=None, metavar="DIR",
                        help="directory of the comparison logs (default: <output>/subtitle_logs)")
    parser.add_argument("--report", action=argparse.BooleanOptionalAction, default=None,
                        help="write the review report to <output>/review (default: the "
                             "configuration's review_report, else off)")
    parser.add_argument("--glossary", action="append", default=[], metavar="FILE",
                        help="a further glossary file for this run, read after the configured "
                             "ones (repeatable)")
    parser.add_argument("--dry-run", action="store_true",
                        help="read the batch and print its blocks, windows, requests and an "
                             "estimate of the tokens; send nothing, write no output (only the "
                             "process log), need no key")
    return parser.parse_args(argv)


# DeepSeek's published rule of thumb: a Chinese character is about 0.6 token,
# any other character about 0.3.
CJK_TOKENS, OTHER_TOKENS = 0.6, 0.3


def estimated_tokens(text):
    cjk = sum(1 for character in text if is_cjk(character, marks=True))
    return CJK_TOKENS * cjk + OTHER_TOKENS * (len(text) - cjk)


def batch_estimate(input_dir, config, prices=None, moment=None):
    """Per file of the batch: (name, blocks, estimated usage, cost or None),
    or (name, error) for a file that cannot be read. Input per request is
    the prompt plus the window; output about the window. Cost with `prices`,
    at `moment`."""
    import glob
    import types

    from brivane import brivane as engine_module

    # The engine's own reader and prompt, on a stand-in for the engine that
    # holds only the configuration: no key, no folders, no request.
    settings = types.SimpleNamespace(config=config, window_size=_native.setting(config, "window_size"))
    engine_module.Brivane.generate_prompt(settings)
    prompt_tokens = estimated_tokens(settings.system_prompt)
    pattern = os.path.join(input_dir, _native.setting(config, "file_pattern"))
    first_of_run = True
    for path in sorted(glob.glob(pattern)):
        name = os.path.basename(path)
        try:
            blocks, texts = engine_module._dry_run_requests(settings, path)
        except Exception as error:
            yield name, error
            continue
        usage = cost.estimated_usage(prompt_tokens, [estimated_tokens(t) for t in texts],
                                     first_of_run)
        first_of_run = first_of_run and not texts
        yield name, blocks, usage, None if prices is None else cost.cost(usage, prices, moment)


def dry_run(args, config):
    """Per file: blocks, windows, requests, estimated tokens and, where the
    model is priced, cost; then totals."""
    import math

    prices = cost.model_prices(config)  # the pre-checks refused a malformed one
    moment = cost.now()
    money = (lambda amount: f", 费用约 {cost.money(amount, prices['currency'])}") if prices else None
    totals = [0, 0, 0, 0.0, 0.0, 0.0]
    for name, *row in batch_estimate(args.input, config, prices, moment):
        if len(row) == 1:
            print(f"{name}: 无法读取 ({row[0]})")
            continue
        blocks, usage, amount = row
        windows, tokens_in, tokens_out = (usage["requests"], usage["prompt_tokens"],
                                          usage["completion_tokens"])
        print(f"{name}: {blocks} 块, {windows} 个窗口, {windows} 个请求, "
              f"约 {math.ceil(tokens_in)} 输入 tokens, {math.ceil(tokens_out)} 输出 tokens"
              + (money(amount) if money else ""))
        for k, value in enumerate((1, blocks, windows, tokens_in, tokens_out, amount or 0.0)):
            totals[k] += value
    rule = f"估算: 汉字 {CJK_TOKENS} token/字, 其他 {OTHER_TOKENS} token/字符, 含提示词"
    if money:
        rate = "错峰" if cost.is_off_peak(prices, moment) else "标准"
        rule += f"; 首个请求之后提示词按缓存命中计, 按当前{rate}价格"
    print(f"合计: {totals[0]} 个文件, {totals[1]} 块, {totals[2]} 个请求, "
          f"约 {math.ceil(totals[3])} 输入 tokens, {math.ceil(totals[4])} 输出 tokens"
          f"{money(totals[5]) if money else ''} ({rule})")
    return 0


# DeepSeek's current models reason before they answer unless told not to.
THINKING_HOST = "api.deepseek.com"


def thinking_warning(config):
    """The warning for a DeepSeek configuration that leaves thinking at the
    service's default, else None."""
    import urllib.parse

    url = config.get("api_url")
    extra = config.get("extra_body")
    if not isinstance(url, str) or urllib.parse.urlsplit(url).hostname != THINKING_HOST:
        return None
    if isinstance(extra, dict) and "thinking" in extra:
        return None
    return ("警告: DeepSeek 的模型默认先推理 (thinking)，"
            "推理 tokens 计入每个请求 2048 tokens 的输出上限，回复可能为空或被截断；在配置中设置 "
            '"extra_body": {"thinking": {"type": "disabled"}} 可关闭推理')


def configuration_problems(args, config):
    """One message per problem that would make the run fail or misbehave,
    each naming the flag or key; found before anything starts."""
    return input_problems(args) + settings_problems(args, config)


def input_problems(args):
    if not os.path.isdir(args.input):
        return [f"--input: 输入目录不存在: {args.input}"]
    if os.path.exists(args.output) and os.path.samefile(args.input, args.output):
        return [f"--output: 输出目录不能与输入目录相同: {args.output}"]
    return []


def settings_problems(args, config):
    """Every key's rule, the prices and the glossary files."""
    problems = _native.setting_problems(config)
    # A module whose settings table knows `pricing` reports a non-object itself.
    problems += [problem for problem in cost.pricing_problems(config) if problem not in problems]
    return problems + glossary_problems(args, config)


def folder_problems(args, config, make=True):
    """The output, comparison-log and backup folders, made now: one that is a
    file or cannot be made would otherwise fail the run after requests were
    paid for. With `make` false, only whether they could be made."""
    folders = [("--output", args.output),
               ("--log-dir", args.log_dir or os.path.join(args.output, "subtitle_logs")),
               ("配置项 backup_dir", _native.setting(config, "backup_dir"))]
    problems = []
    for name, folder in folders:
        if not isinstance(folder, str):
            continue  # reported with the configuration's types
        if os.path.exists(folder) and not os.path.isdir(folder):
            problems.append(f"{name}: 不是目录: {folder}")
            continue
        try:
            if make:
                os.makedirs(folder, exist_ok=True)
            else:
                _could_make(folder)
        except OSError as error:
            problems.append(f"{name}: 无法创建目录 {folder}: {error.strerror or error}")
    return problems


def _could_make(folder):
    """Raises the OSError that making `folder` would meet, without making it."""
    import errno

    parent = os.path.abspath(folder)
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise OSError(errno.ENOTDIR, os.strerror(errno.ENOTDIR))
    if os.path.abspath(folder) != parent and not os.access(parent, os.W_OK | os.X_OK):
        raise OSError(errno.EACCES, os.strerror(errno.EACCES))


def glossary_problems(args, config):
    """The engine's own message for each glossary file it would refuse. A
    category the engine never applies is only warned about: the file loads."""
    from brivane import glossary

    try:
        paths = glossary.configured_glossary_files(config, args.config)
    except glossary.GlossaryError as error:
        return [str(error)]
    paths += [os.path.abspath(path) for path in args.glossary]
    problems = []
    for read in map(glossary.read_glossary, paths):
        if read.load_error:
            problems.append(read.load_error)
        for problem in read.problems:
            if problem.rule == "category":
                print(f"brivane: 警告: {problem}", file=sys.stderr)
    return problems


def _jobs(text):
    return "auto" if text == "auto" else _positive_int(text)


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return value


# Exit statuses.
OK, STOPPED, USAGE, SOME_FAILED, INTERRUPTED = 0, 1, 2, 3, 130


def run(argv=None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["glossary"]:
        from brivane import glossary

        return glossary.main(argv[1:])
    if argv[:1] == ["review"]:
        from brivane import workbench

        return workbench.main(argv[1:])
    if argv[:1] == ["doctor"]:
        from brivane import doctor

        return doctor.main(argv[1:])
    if argv[:1] == ["score"]:
        from brivane import score

        return score.main(argv[1:])
    args = parse_args(argv)
    config, problems = load_configuration(args.config)
    if config is not None:
        problems = configuration_problems(args, config)
    if config is not None and not problems and not args.dry_run:
        problems = folder_problems(args, config)
    if problems:
        for problem in problems:
            print(f"brivane: {problem}", file=sys.stderr)
        return USAGE
    if args.dry_run:
        return dry_run(args, config)
    warning = thinking_warning(config)
    if warning:
        print(f"brivane: {warning}", file=sys.stderr)
    from brivane import brivane as engine_module  # imported late: the import sets up logging

    logger = engine_module.logger
    logger.info("医学视频字幕校对系统启动")
    try:
        api_key = os.environ.get("DEEPSEEK_API_KEY")
        if not api_key:
            raise ValueError("未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY")
        settings = {"logging": {"log_dir": os.path.abspath(
            args.log_dir or os.path.join(args.output, "subtitle_logs"))}}
        if args.jobs is not None:
            settings["max_concurrent_requests"] = args.jobs
        if args.no_cache:
            settings["reply_cache"] = None
        if args.report is not None:
            settings["review_report"] = args.report
        # The configuration as read and checked above, with this run's flags
        # over it and its extra glossaries after the configured ones.
        engine = engine_module.Brivane(
            api_key, args.input, args.output, args.config, config=config, settings=settings,
            glossary_files=[os.path.abspath(path) for path in args.glossary])
        with BatchProgress() as progress:
            completed = engine.process_all_files(progress=progress)
        failed = progress.failed
    except Exception as error:
        logger.error(engine_module._redact(f"程序运行异常: {error}"))
        return STOPPED
    except KeyboardInterrupt:
        # Written files are complete or absent; requests still in flight are
        # abandoned (their threads do not hold up the exit).
        print("已中断 (interrupted): 未完成的文件没有写出", file=sys.stderr)
        return INTERRUPTED
    if completed and failed:
        logger.error(f"失败的文件: {', '.join(failed)}")
    logger.info("医学视频字幕校对系统结束")
    if not completed:
        return STOPPED
    return SOME_FAILED if failed else OK


class BatchProgress:
    """What the batch tells of itself: the files that failed, and on a
    terminal one live line (files and windows done, elapsed, ETA) under the
    scrolling records. Elsewhere the records alone."""

    def __init__(self):
        self.failed = []
        self.bar = None
        self.files = self.done = 0
        self._redirect = None

    def __enter__(self):
        if sys.stderr.isatty():
            from tqdm.contrib.logging import logging_redirect_tqdm

            self._redirect = logging_redirect_tqdm(loggers=[logging.root])
            self._redirect.__enter__()
        return self

    def __exit__(self, *failure):
        if self.bar is not None:
            self.bar.close()
        if self._redirect is not None:
            self._redirect.__exit__(*failure)

    def __call__(self, event, data):
        if event == "file":
            if not data["corrected"]:
                self.failed.append(os.path.basename(data["file"]))
            self.done += 1
        if self._redirect is None:
            return
        if event == "batch":
            from tqdm import tqdm

            self.files = data["files"]
            columns, lines = _terminal_size()
            self.bar = tqdm(total=data["windows"], unit="窗口", desc=f"文件 0/{self.files}",
                            file=sys.stderr, ncols=columns, nrows=lines)
        elif self.bar is not None and event == "window":
            self.bar.update(1)
        elif self.bar is not None and event == "file":
            self.bar.set_description(f"文件 {self.done}/{self.files}")


def _terminal_size():
    """The terminal's width and height. A terminal that reports no size (some
    emulators and pseudo-terminals) gets COLUMNS and LINES, else 100 x 24;
    with a height of 0 the line would not be shown at all."""
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
        columns, lines = size.columns, size.lines
    except OSError:
        columns = lines = 0
    return (columns or int(os.environ.get("COLUMNS") or 100),
            lines or int(os.environ.get("LINES") or 24))


def entry():
    """The `brivane` command: `run`, then the process ends with its status.
    Requests a stopped batch left in flight are not waited for: every file
    is written or absent already, so the process ends without them (the
    interpreter, finalising, would otherwise wait for or trip over them)."""
    status = run()
    engine_module = sys.modules.get("brivane.brivane")
    if engine_module is not None and engine_module._fetches_in_flight():
        logging.shutdown()
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    sys.exit(status)


if __name__ == "__main__":
    entry()
