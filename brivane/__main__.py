"""Command line: ``brivane`` / ``python -m brivane``.

Runs the same flow as ``brivane.brivane.main`` (start message, one engine,
one batch, end message), with the directories and an optional configuration
file taken from the command line, and an exit status a shell can test.
"""
from __future__ import annotations

import argparse
import os
import sys

from brivane import __version__

EPILOG = """\
environment:
  DEEPSEEK_API_KEY     the service's API key (required; never logged)
  BRIVANE_INPUT_DIR    default of --input
  BRIVANE_OUTPUT_DIR   default of --output

outputs:
  <output>/<name>_corrected.srt           the corrected subtitles
  <output>/.brivane/replies.sqlite3       the reply cache (packaged configuration)
  subtitle_logs/subtitle_comparison_*.log comparison logs (logging.log_dir)
  logs/brivane.log                        the process log, also on standard error
  backup/brivane_backup_<date>.zip        the inputs as they were before the run
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
    return parser.parse_args(argv)


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return value


def run(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    from brivane import brivane as engine_module  # imported late: the import sets up logging

    logger = engine_module.logger
    logger.info("医学视频字幕校对系统启动")
    try:
        api_key = os.environ.get("DEEPSEEK_API_KEY")
        if not api_key:
            raise ValueError("未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY")
        engine = engine_module.Brivane(api_key, args.input, args.output, args.config)
        if args.jobs is not None:
            engine.config = {**engine.config, "max_concurrent_requests": args.jobs}
        if args.no_cache:
            engine.config = {**engine.config, "reply_cache": None}
        succeeded = engine.process_all_files()
    except Exception as error:
        logger.error(f"程序运行异常: {error}")
        return 1
    except KeyboardInterrupt:
        # Written files are complete or absent; requests still in flight are
        # abandoned (their threads do not hold up the exit).
        print("已中断 (interrupted): 未完成的文件没有写出", file=sys.stderr)
        return 130
    logger.info("医学视频字幕校对系统结束")
    return 0 if succeeded else 1


if __name__ == "__main__":
    sys.exit(run())
