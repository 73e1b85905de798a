"""User glossaries: read after the packaged library, later entries win, bad files refused."""
import json

import pytest

from brivane import __main__ as cli
from brivane import glossary_files

PACKAGED_TOTAL = 177


def write(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    text = content if isinstance(content, str) else json.dumps(content, ensure_ascii=False)
    path.write_text(text, encoding="utf-8")
    return path


def test_merge_order_precedence_and_records(brivane_module, workdir, make_config, records):
    # Relative to the configuration's folder, not the working directory.
    first = write(workdir / "conf" / "team" / "cardio.json", {
        "药物名称术语": ["阿托发他汀→阿托伐他汀钙", "心房扑洞→心房扑动"],
        "心内科": ["房颤→心房颤动"]})
    second = write(workdir / "conf" / "infect.json", {
        "综合医学术语": ["心房扑洞 -> 心房扑动（重写）"], glossary_files.STANDARDISATIONS: ["心房扑洞→心房扑动"]})
    (workdir / "conf" / "config.json").write_text(
        json.dumps({"glossary_files": ["team/cardio.json", "infect.json"]}), encoding="utf-8")
    engine = brivane_module.Brivane("k", "in", "out", str(workdir / "conf" / "config.json"))

    logged = [message for _, message in records()]
    assert logged[:4] == ["配置加载成功", f"已加载用户术语库: {first}，3个术语",
                          f"已加载用户术语库: {second}，1个术语",
                          f"错误术语库加载成功，共{PACKAGED_TOTAL + 4 - 2}个术语"]
    terms = engine.error_terms
    assert list(terms)[-1] == "心内科" and glossary_files.STANDARDISATIONS not in terms
    entries = [e for values in terms.values() for e in values]
    assert [e for e in entries if "阿托发他汀" in e] == ["阿托发他汀→阿托伐他汀钙"]
    assert terms["药物名称术语"][-1] == "阿托发他汀→阿托伐他汀钙"
    assert [e for e in entries if "心房扑洞" in e] == ["心房扑洞 -> 心房扑动（重写）"]
    assert engine.apply_term_corrections("阿托发他汀，心房扑洞")[0] == "阿托伐他汀钙，心房扑动（重写）"


def test_empty_list_is_the_packaged_library(brivane_module, make_config, records, engine):
    packaged = engine.error_terms
    other = brivane_module.Brivane("k", "in", "out", make_config({"glossary_files": []}))
    assert other.error_terms == packaged
    assert f"错误术语库加载成功，共{PACKAGED_TOTAL}个术语" in [m for _, m in records()]
    assert not any(m.startswith("已加载用户术语库") for _, m in records())


@pytest.mark.parametrize("content, problem", [
    (None, "无法读取: [Errno 2] No such file or directory"),
    ('{"药物名称术语": [', "不是有效的JSON: Expecting value"),
    (["房颤→心房颤动"], "顶层必须是对象（类别 → 条目列表）"),
    ({"药物名称术语": "房颤→心房颤动"}, '类别 "药物名称术语" 必须是条目列表'),
    ({"药物名称术语": ["房颤→心房颤动", 5]}, '类别 "药物名称术语" 的第2个条目不是字符串'),
    ({"药物名称术语": ["房颤：心房颤动"]}, '类别 "药物名称术语" 的条目 "房颤：心房颤动": 没有箭头'),
    ({"药物名称术语": ["房颤→心房->颤动"]}, '类别 "药物名称术语" 的条目 "房颤→心房->颤动": 多于一个箭头'),
    ({"规范写法": [" →心房颤动"]}, '类别 "规范写法" 的条目 " →心房颤动": 错误术语为空'),
])
def test_bad_file_is_refused_with_one_message(brivane_module, workdir, make_config, records,
                                              capsys, content, problem):
    path = workdir / "team.json"
    if content is not None:
        write(path, content)
    config = make_config({"api_url": "http://127.0.0.1:9", "model": "m",
                          "glossary_files": ["team.json"]})
    with pytest.raises(ValueError) as caught:
        brivane_module.Brivane("k", "in", "out", config)
    message = str(caught.value)
    assert message.startswith(f"用户术语库 {path}: {problem}")
    assert records()[-1] == ("ERROR", f"加载错误术语库失败: {message}")
    assert not (workdir / "in").exists()
    # The command line refuses the same file before starting, with the same words.
    (workdir / "lectures").mkdir()
    assert cli.run(["--input", "lectures", "--config", config]) == cli.USAGE
    assert capsys.readouterr().err == f"brivane: {message}\n"


def test_setting_must_be_a_list_of_paths(brivane_module, make_config, capsys, workdir):
    config = make_config({"api_url": "u", "model": "m", "glossary_files": "team.json"})
    with pytest.raises(TypeError, match="glossary_files 必须是路径列表，当前值: 'team.json'"):
        brivane_module.Brivane("k", "in", "out", config)
    (workdir / "lectures").mkdir()
    assert cli.run(["--input", "lectures", "--config", config, "--dry-run"]) == cli.USAGE
    assert "glossary_files 必须是路径列表" in capsys.readouterr().err


def test_category_never_applied_is_warned_about(workdir, capsys):
    write(workdir / "team.json", {"心内科": ["房颤→心房颤动"]})
    (workdir / "lectures").mkdir()
    assert cli.run(["--input", "lectures", "--glossary", "team.json", "--dry-run"]) == cli.OK
    assert capsys.readouterr().err.startswith(
        f"brivane: 警告: {workdir / 'team.json'}: [心内科] category: 不是引擎应用的类别")


def test_glossary_flag_reaches_the_engine_after_configured_files(
        brivane_module, workdir, make_config, records, monkeypatch):
    write(workdir / "a.json", {"药物名称术语": ["房颤→心房颤动"]})
    write(workdir / "run" / "b.json", {"药物名称术语": ["房颤→房性颤动"]})
    config = make_config({"glossary_files": ["a.json"]})
    monkeypatch.chdir(workdir / "run")  # --glossary is relative to the working directory
    engine = brivane_module.Brivane("k", "in", "out", config,
                                    glossary_files=[str((workdir / "run" / "b.json").resolve())])
    assert engine.apply_term_corrections("房颤")[0] == "房性颤动"
    loaded = [m for _, m in records() if m.startswith("已加载用户术语库")]
    assert loaded == [f"已加载用户术语库: {workdir / 'a.json'}，1个术语",
                      f"已加载用户术语库: {workdir / 'run' / 'b.json'}，1个术语"]


def test_rerun_with_a_new_glossary_is_free_and_applies_it(run_python, tmp_path, service, package_root):
    from conftest import make_srt

    (tmp_path / "lectures").mkdir()
    (tmp_path / "lectures" / "l0.srt").write_text(make_srt(3, text="心房扑洞{i}"), encoding="utf-8")
    config = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    config["api_url"] = service.url
    write(tmp_path / "config.json", config)
    write(tmp_path / "learned.json", {"通用听写误差": ["心房扑洞→心房扑动"]})
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    args = ["--input", "lectures", "--output", "out", "--config", "config.json"]
    env = {"DEEPSEEK_API_KEY": "sk-test"}
    run_python(code, cwd=tmp_path, env=env, args=args)
    sent = len(service.requests)
    run_python(code, cwd=tmp_path, env=env, args=[*args, "--glossary", "learned.json"])
    assert len(service.requests) == sent == 1
    corrected = (tmp_path / "out" / "l0_corrected.srt").read_text(encoding="utf-8")
    assert "心房扑动1" in corrected and "心房扑洞" not in corrected
