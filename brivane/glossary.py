"""``brivane glossary``, the glossary tools' command line:
``brivane glossary check FILE...`` and ``brivane glossary suggest REVIEW...``.
"""
from __future__ import annotations

import argparse
import json
import os
import sys

from brivane.changes import ChangesError
from brivane.dictionary import Dictionary
from brivane.glossary_files import (GlossaryError, configured_glossary_files, packaged_glossary,
                                    packaged_marks, read_glossary)
from brivane.glossary_check import check
from brivane.glossary_suggest import SUGGESTION_CATEGORY, load_changes, suggest

# Exit statuses.
CLEAN, PROBLEMS, USAGE = 0, 1, 2


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="brivane glossary", description="检查用户术语库，或从模型的修改中学习术语 "
        "(check user glossaries, or learn entries from the model's edits).")
    commands = parser.add_subparsers(dest="command", required=True)
    check_parser = commands.add_parser(
        "check", help="report entries that would damage text (exit 0 clean, 1 problems, 2 usage)")
    check_parser.add_argument("files", nargs="*", metavar="FILE", help="glossary files")
    check_parser.add_argument("--with-packaged", action="store_true",
                              help="check them merged after the packaged library")
    suggest_parser = commands.add_parser(
        "suggest", help="wrong→right pairs the model keeps fixing, as a glossary file")
    suggest_parser.add_argument("reviews", nargs="+", metavar="REVIEW",
                                help="changes.json files, or output folders holding review/changes.json")
    suggest_parser.add_argument("--min-count", type=int, default=3, metavar="N",
                                help="blocks a pair must recur in (default: 3)")
    suggest_parser.add_argument("--config", default=None, metavar="FILE",
                                help="configuration whose glossary_files count as the current glossary")
    suggest_parser.add_argument("--glossary", action="append", default=[], metavar="FILE",
                                help="a further glossary file in use (repeatable)")
    suggest_parser.add_argument("--output", default=None, metavar="FILE",
                                help="write the safe suggestions as a glossary file")
    suggest_parser.add_argument("--force", action="store_true", help="replace an existing --output")
    args = parser.parse_args(argv)
    if args.command == "check" and not args.files and not args.with_packaged:
        parser.error("check: give glossary files, or --with-packaged")
    if args.command == "suggest" and args.min_count < 1:
        parser.error("--min-count must be a positive integer")
    return args


def run_check(args):
    for path in args.files:
        if not os.path.isfile(path):
            raise GlossaryError(f"找不到术语库文件: {path}")
    glossaries = [packaged_glossary()] if args.with_packaged else []
    glossaries += [read_glossary(path) for path in args.files]
    report = check(glossaries, Dictionary.load(), packaged_marks())
    for problem in report.problems:
        print(problem)
    for entry, words in report.standardisations:
        shown = ", ".join(f"{word}({frequency})" for frequency, word in words)
        print(f"{entry.file}: [{entry.category}] {entry.text}: 规范写法 (不算问题): 词典词 {shown}")
    print(f"共检查 {report.entries} 个条目: {len(report.problems)} 个问题, "
          f"{len(report.standardisations)} 个规范写法")
    return PROBLEMS if report.problems else CLEAN


def run_suggest(args):
    from brivane.configuration import load_configuration

    config, problems = load_configuration(args.config)
    if problems:
        raise GlossaryError(problems[0])
    paths = configured_glossary_files(config, args.config) + args.glossary
    glossaries = [packaged_glossary()] + [read_glossary(path) for path in paths]
    for glossary in glossaries:
        if glossary.load_error:
            raise GlossaryError(glossary.load_error)
    if args.output and os.path.exists(args.output) and not args.force:
        raise GlossaryError(f"--output: {args.output} 已存在；换个名字，或加 --force 覆盖")
    documents = [load_changes(path) for path in args.reviews]
    safe, unsafe = suggest(documents, glossaries, args.min_count)
    print(f"建议 {len(safe)} 条 (至少出现在 {args.min_count} 个块中，且当前术语库尚未覆盖):")
    for s in safe:
        print(f"{s.count:5}  {s.text}")
        for file, index, before, after in s.examples:
            print(f"       {os.path.basename(str(file))} #{index}: {_one_line(before)} → {_one_line(after)}")
        if s.others:
            print(f"       不一致，取多数: 另有 " + "，".join(f"{s.wrong}→{right} ({count})" for right, count in s.others))
    if unsafe:
        print(f"不安全，未写入 {len(unsafe)} 条:")
        for s in unsafe:
            print(f"{s.count:5}  {s.text}")
            for reason in s.reasons:
                print(f"       {reason}")
    if args.output:
        with open(args.output, "w", encoding="utf-8") as stream:
            json.dump({SUGGESTION_CATEGORY: [s.text for s in safe]}, stream,
                      ensure_ascii=False, indent=2)
            stream.write("\n")
        print(f"已写入 {args.output}: 检查后用 --glossary {args.output} 或配置项 glossary_files 使用")
    return CLEAN


def _one_line(text):
    return text.replace("\n", " / ")


def main(argv):
    args = parse_args(argv)
    try:
        return run_check(args) if args.command == "check" else run_suggest(args)
    except (GlossaryError, ChangesError) as error:
        print(f"brivane glossary: {error}", file=sys.stderr)
        return USAGE
