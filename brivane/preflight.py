"""What a run checks and estimates before it starts: the command line's
set-up problems (flags, keys, prices, glossary files, folders), the warning
of a DeepSeek model left thinking, and a batch's estimated usage. The
command line and `brivane doctor` share them.
"""
from __future__ import annotations

import os
import sys

from brivane import _native, cost
from brivane.cjk import is_cjk

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


def configuration_problems(args, config, read=None):
    """One message per problem that would make the run fail or misbehave,
    each naming the flag or key; found before anything starts. `read`: see
    glossary_problems."""
    return input_problems(args) + settings_problems(args, config, read)


def input_problems(args):
    if not os.path.isdir(args.input):
        return [f"--input: 输入目录不存在: {args.input}"]
    if os.path.exists(args.output) and os.path.samefile(args.input, args.output):
        return [f"--output: 输出目录不能与输入目录相同: {args.output}"]
    return []


def settings_problems(args, config, read=None):
    """Every key's rule, the prices and the glossary files."""
    problems = _native.setting_problems(config)
    # A module whose settings table knows `pricing` reports a non-object itself.
    problems += [problem for problem in cost.pricing_problems(config) if problem not in problems]
    return problems + glossary_problems(args, config, read)


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


def glossary_problems(args, config, read=None):
    """The engine's own message for each glossary file it would refuse. A
    category the engine never applies is only warned about: the file loads.
    `read` (a dict) receives each file's parsed JSON by absolute path, for
    the engine to take instead of reading the file again."""
    from brivane import glossary

    try:
        paths = glossary.configured_glossary_files(config, args.config)
    except glossary.GlossaryError as error:
        return [str(error)]
    paths += [os.path.abspath(path) for path in args.glossary]
    problems = []
    for path in paths:
        checked = glossary.read_glossary(path)
        if checked.load_error:
            problems.append(checked.load_error)
        elif read is not None:
            read[os.path.abspath(path)] = checked.data
        for problem in checked.problems:
            if problem.rule == "category":
                print(f"brivane: 警告: {problem}", file=sys.stderr)
    return problems
