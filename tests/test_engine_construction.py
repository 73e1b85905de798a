"""Construction: configuration loaders, the library, directories, the prompt."""
import io
import json
import pathlib
import types

import pytest

PACKAGED_SEQUENCE = ["内置配置加载成功", "目录创建成功", "字幕校对提示词生成成功"]
METHODS = ["__init__", "load_config_from_package", "load_config", "load_error_terms", "create_directories", "generate_prompt", "backup_files", "parse_srt", "write_srt", "call_deepseek_api_with_subtitle_prompt", "remove_annotations", "extract_blocks_from_text", "get_output_path", "process_subtitle_file", "apply_term_corrections", "process_all_files"]
DEFAULTS = {
    "api_url": None, "model": None, "backup_dir": "backup",
    "error_terms_file": "error_terms_library.json", "window_size": 50,
    "file_pattern": "*.srt", "preserve_original_index": True,
}


def messages(records):
    return [message for _, message in records()]


def test_packaged_construction(engine, records, workdir, package_root):
    packaged = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    assert engine.config == packaged
    assert engine.api_url == "https://api.deepseek.com/chat/completions"
    assert engine.model == "deepseek-flash"
    assert engine.api_key == "test-key"
    for name in ("input", "output", "backup"):
        assert (workdir / name).is_dir()


def test_construction_order_and_messages(brivane_module, workdir, records):
    brivane_module.Brivane("k", "in", "out")
    logged = messages(records)
    assert logged[0] == "内置配置加载成功"
    assert logged[1].startswith("错误术语库加载成功，共") and logged[1].endswith("个术语")
    assert logged[2:] == PACKAGED_SEQUENCE[1:]


@pytest.mark.parametrize(
    "content, expected",
    [
        ({}, DEFAULTS),
        ({"window_size": None, "backup_dir": "b2"}, {**DEFAULTS, "window_size": None, "backup_dir": "b2"}),
        ({"api_key": "other", "input_dir": "x", "output_dir": "y", "model": "m"},
         {**DEFAULTS, "model": "m"}),
        ({"window_size": "50", "preserve_original_index": False, "extra": [1]},
         {**DEFAULTS, "window_size": "50", "preserve_original_index": False}),
    ],
)
def test_named_configuration(brivane_module, make_config, records, content, expected):
    engine = brivane_module.Brivane("k", "in", "out", make_config(content))
    assert {name: getattr(engine, name) for name in expected} == expected
    assert engine.config == content
    assert (engine.api_key, engine.input_dir, engine.output_dir) == ("k", "in", "out")
    assert messages(records)[0] == "配置加载成功"


@pytest.mark.parametrize(
    "content, error_type, text",
    [
        ("[1, 2]", AttributeError, "'list' object has no attribute 'get'"),
        ("{not json", json.JSONDecodeError, "Expecting property name enclosed in double quotes"),
        (b"\xff\xfe{}", UnicodeDecodeError, "'utf-8' codec can't decode byte 0xff"),
    ],
)
def test_named_configuration_failures(brivane_module, workdir, records, content, error_type, text):
    path = workdir / "bad.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(error_type) as caught:
        brivane_module.Brivane("k", "in", "out", str(path))
    assert records() == [("ERROR", f"加载配置文件失败: {caught.value}")]
    assert text in str(caught.value)
    assert not (workdir / "in").exists()


@pytest.mark.parametrize("config_file", ["", "missing.json"])
def test_named_path_is_never_replaced_by_the_packaged_one(brivane_module, workdir, records, config_file):
    with pytest.raises(FileNotFoundError) as caught:
        brivane_module.Brivane("k", "in", "out", config_file)
    assert records() == [("ERROR", f"加载配置文件失败: {caught.value}")]


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "patched, message",
    [("json", "加载内置配置文件失败: boom"), ("importlib", "加载内置配置文件失败: boom")],
)
def test_failure_is_reraised_as_the_same_object(brivane_module, workdir, records, monkeypatch,
                                                patched, message):
    failure = Boom("boom")

    def fail(*args, **kwargs):
        raise failure

    if patched == "json":
        monkeypatch.setattr(brivane_module, "json", types.SimpleNamespace(load=fail))
    else:
        fake = types.SimpleNamespace(resources=types.SimpleNamespace(open_text=fail))
        monkeypatch.setattr(brivane_module, "importlib", fake)
    with pytest.raises(Boom) as caught:
        brivane_module.Brivane("k", "in", "out")
    assert caught.value is failure
    assert records() == [("ERROR", message)]


def fake_resources(monkeypatch, module, library):
    """Serves config.json from the package and `library` as the error-terms resource."""
    real_open_text = module.importlib.resources.open_text

    def open_text(package, resource):
        if resource == "error_terms_library.json":
            return io.StringIO(library)
        return real_open_text(package, resource)

    fake = types.SimpleNamespace(resources=types.SimpleNamespace(open_text=open_text))
    monkeypatch.setattr(module, "importlib", fake)


@pytest.mark.parametrize(
    "library, total",
    [
        ({"解剖与组织术语": ["a→b", "c->d"], "其他分类": ["x→y"]}, 3),
        ({}, 0),
        ({"药物名称术语": [], "综合医学术语": ["a→b→c", "none", 5]}, 3),
        ({"字典": {"k": 1, "j": 2}, "文本": "三个字"}, 5),
    ],
)
def test_library_total(brivane_module, workdir, records, monkeypatch, library, total):
    fake_resources(monkeypatch, brivane_module, json.dumps(library, ensure_ascii=False))
    engine = brivane_module.Brivane("k", "in", "out")
    assert engine.error_terms == library
    assert f"错误术语库加载成功，共{total}个术语" in messages(records)


@pytest.mark.parametrize(
    "library, error_type",
    [('{"a": 5}', TypeError), ('{"a": null}', TypeError), ('["a→b"]', AttributeError),
     ('{"a": [', json.JSONDecodeError)],
)
def test_library_failures(brivane_module, workdir, records, monkeypatch, library, error_type):
    fake_resources(monkeypatch, brivane_module, library)
    with pytest.raises(error_type) as caught:
        brivane_module.Brivane("k", "in", "out")
    assert records()[-1] == ("ERROR", f"加载错误术语库失败: {caught.value}")
    assert not (workdir / "in").exists()


def test_directory_failures(brivane_module, workdir, records):
    (workdir / "taken").write_text("a file")
    with pytest.raises(FileExistsError):
        brivane_module.Brivane("k", "in", "taken")
    assert (workdir / "in").is_dir() and not (workdir / "backup").exists()
    assert "目录创建成功" not in messages(records)
    assert "字幕校对提示词生成成功" not in messages(records)
    with pytest.raises(TypeError):
        brivane_module.Brivane("k", None, "out")


def test_same_directory_twice_and_nested(brivane_module, workdir, records):
    engine = brivane_module.Brivane("k", "a/b/c", "a/b/c")
    assert (workdir / "a" / "b" / "c").is_dir()
    engine.create_directories()
    assert messages(records).count("目录创建成功") == 2


def test_prompt_is_byte_exact_and_shared(brivane_module, make_config, engine):
    prompt_file = pathlib.Path(__file__).resolve().parents[1] / "prompt" / "correction_prompt.txt"
    assert engine.system_prompt.encode("utf-8") == prompt_file.read_bytes()
    other = brivane_module.Brivane("k", "i2", "o2", make_config({"model": "x"}))
    assert other.system_prompt == engine.system_prompt


def test_reloading_replaces_only_configuration(engine, make_config):
    terms, prompt = engine.error_terms, engine.system_prompt
    engine.load_config(make_config({"window_size": 7}))
    assert (engine.window_size, engine.api_url, engine.backup_dir) == (7, None, "backup")
    assert engine.error_terms is terms and engine.system_prompt is prompt


def test_class_behaves_like_a_python_class(brivane_module, workdir):
    cls = brivane_module.Brivane
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__doc__ == "医学字幕校对器类" and cls.__module__ == "brivane.brivane"
    methods = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert methods == METHODS

    calls = []

    class Recording(cls):
        def load_error_terms(self):
            calls.append("terms")
            super().load_error_terms()

    engine = Recording("k", "in", "out")
    assert calls == ["terms"] and isinstance(engine.error_terms, dict)
    engine.note = 1
    assert vars(engine)["note"] == 1
    engine.input_dir = "elsewhere"
    engine.create_directories()
    assert (workdir / "elsewhere").is_dir()
