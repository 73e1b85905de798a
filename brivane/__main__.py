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

from brivane import __version__, cost
from brivane.preflight import (CJK_TOKENS, OTHER_TOKENS, batch_estimate, configuration_problems,
                               folder_problems, thinking_warning)
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
    glossaries_read = {}  # each glossary file is read once, here, and handed to the engine
    if config is not None:
        problems = configuration_problems(args, config, glossaries_read)
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
            glossary_files=[os.path.abspath(path) for path in args.glossary],
            glossaries_read=glossaries_read)
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
