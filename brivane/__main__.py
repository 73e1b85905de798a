"""Command line: ``brivane`` / ``python -m brivane``.

Runs the same flow as ``brivane.brivane.main`` (start message, one engine,
one batch, end message), with the directories and an optional configuration
file taken from the command line, and an exit status a shell can test.
"""
from __future__ import annotations

import argparse
import contextlib
import logging
import os
import sys

from brivane import __version__, _native
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
    parser.add_argument("--jobs", type=_positive_int, default=None, metavar="N",
                        help="requests in flight at once (default: the configuration's "
                             "max_concurrent_requests, else 1); outputs do not depend on it")
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


def dry_run(args, config):
    """Per file: blocks, windows, requests and estimated tokens; then totals.
    Input per request is the prompt plus the window; output about the window."""
    import glob
    import math
    import types

    from brivane import brivane as engine_module

    # The engine's own reader and prompt, on a stand-in for the engine that
    # holds only the configuration: no key, no folders, no request.
    settings = types.SimpleNamespace(config=config, window_size=_native.setting(config, "window_size"))
    engine_module.Brivane.generate_prompt(settings)
    prompt_tokens = estimated_tokens(settings.system_prompt)
    pattern = os.path.join(args.input, _native.setting(config, "file_pattern"))
    totals = [0, 0, 0, 0.0, 0.0]
    for path in sorted(glob.glob(pattern)):
        try:
            blocks, texts = engine_module._dry_run_requests(settings, path)
        except Exception as error:
            print(f"{os.path.basename(path)}: 无法读取 ({error})")
            continue
        windows = len(texts)
        tokens_in = sum(prompt_tokens + estimated_tokens(t) for t in texts)
        tokens_out = sum(estimated_tokens(t) for t in texts)
        print(f"{os.path.basename(path)}: {blocks} 块, {windows} 个窗口, {windows} 个请求, "
              f"约 {math.ceil(tokens_in)} 输入 tokens, {math.ceil(tokens_out)} 输出 tokens")
        for k, value in enumerate((1, blocks, windows, tokens_in, tokens_out)):
            totals[k] += value
    print(f"合计: {totals[0]} 个文件, {totals[1]} 块, {totals[2]} 个请求, "
          f"约 {math.ceil(totals[3])} 输入 tokens, {math.ceil(totals[4])} 输出 tokens "
          f"(估算: 汉字 {CJK_TOKENS} token/字, 其他 {OTHER_TOKENS} token/字符, 含提示词)")
    return 0


def configuration_problems(args, config):
    """One message per problem that would make the run fail or misbehave,
    each naming the flag or key; found before anything starts."""
    problems = []
    if not os.path.isdir(args.input):
        problems.append(f"--input: 输入目录不存在: {args.input}")
    elif os.path.exists(args.output) and os.path.samefile(args.input, args.output):
        problems.append(f"--output: 输出目录不能与输入目录相同: {args.output}")
    problems += _native.setting_problems(config)
    problems += glossary_problems(args, config)
    return problems


def folder_problems(args, config):
    """The output, comparison-log and backup folders, made now: one that is a
    file or cannot be made would otherwise fail the run after requests were
    paid for."""
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
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            problems.append(f"{name}: 无法创建目录 {folder}: {error.strerror or error}")
    return problems


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


def engine_class(engine_module, glossaries):
    """The engine, reading `glossaries` (absolute paths) after the configured
    glossary files, for this run."""
    if not glossaries:
        return engine_module.Brivane

    class Brivane(engine_module.Brivane):
        def load_error_terms(self):
            configured = self.config.get("glossary_files") or []
            added = [path for path in glossaries if path not in configured]
            self.config = {**self.config, "glossary_files": [*configured, *added]}
            super().load_error_terms()

    return Brivane


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
    from brivane import brivane as engine_module  # imported late: the import sets up logging

    logger = engine_module.logger
    logger.info("医学视频字幕校对系统启动")
    try:
        api_key = os.environ.get("DEEPSEEK_API_KEY")
        if not api_key:
            raise ValueError("未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY")
        engine = engine_class(engine_module, [os.path.abspath(path) for path in args.glossary])(
            api_key, args.input, args.output, args.config)
        overrides = {"logging": {**engine.config.get("logging", {}), "log_dir": os.path.abspath(
            args.log_dir or os.path.join(args.output, "subtitle_logs"))}}
        if args.jobs is not None:
            overrides["max_concurrent_requests"] = args.jobs
        if args.no_cache:
            overrides["reply_cache"] = None
        if args.report is not None:
            overrides["review_report"] = args.report
        engine.config = {**engine.config, **overrides}
        failed = track_failures(engine)
        with progress_line(engine, engine_module.logger):
            completed = engine.process_all_files()
    except Exception as error:
        logger.error(f"程序运行异常: {error}")
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


class _Progress(logging.Filter):
    """Moves the live line on the engine's own records of finished windows
    and files; lets every record through."""

    def __init__(self, bar, files):
        super().__init__()
        self.bar, self.files, self.done = bar, files, 0

    def filter(self, record):
        step = getattr(record, "brivane_progress", None)
        if step == "window":
            self.bar.update(1)
        elif step == "file":
            self.done += 1
            self.bar.set_description(f"文件 {self.done}/{self.files}")
        return True


@contextlib.contextmanager
def progress_line(engine, logger):
    """On a terminal: one live line (files and windows done, elapsed, ETA)
    under the scrolling records. Elsewhere: the records alone."""
    if not sys.stderr.isatty():
        yield
        return
    from tqdm import tqdm
    from tqdm.contrib.logging import logging_redirect_tqdm

    files, windows = _batch_size(engine, logger)
    columns, lines = _terminal_size()
    with tqdm(total=windows, unit="窗口", desc=f"文件 0/{files}", file=sys.stderr,
              ncols=columns, nrows=lines) as bar, logging_redirect_tqdm(loggers=[logging.root]):
        progress = _Progress(bar, files)
        logger.addFilter(progress)
        try:
            yield
        finally:
            logger.removeFilter(progress)


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


def _batch_size(engine, logger):
    """Files and windows of the batch, read quietly."""
    import glob

    from brivane import brivane as engine_module

    paths = sorted(glob.glob(os.path.join(engine.input_dir, engine.file_pattern)))
    windows = 0
    level = logger.level
    logger.setLevel(logging.CRITICAL + 1)
    try:
        for path in paths:
            try:
                windows += len(engine_module._dry_run_requests(engine, path)[1])
            except Exception:
                pass  # the batch itself reports the file
    finally:
        logger.setLevel(level)
    return len(paths), windows


def track_failures(engine):
    """The names of the files the batch reports as failed, as it goes (the
    batch reaches the file correction through the instance)."""
    failed = []
    correct = engine.process_subtitle_file

    def process_subtitle_file(file_path, *args, **kwargs):
        result = correct(file_path, *args, **kwargs)
        if not result:
            failed.append(os.path.basename(file_path))
        return result

    engine.process_subtitle_file = process_subtitle_file
    return failed


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
