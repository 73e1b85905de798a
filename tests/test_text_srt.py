"""SRT reading, writing and output naming, against the plain-Python steps."""

import ntpath
import os
import posixpath

import pytest
from hypothesis import given
from hypothesis import strategies as st

import text_reference as ref
import text_strategies as S


def run_ref(fn, *args):
    log = ref.Records()
    try:
        return ("ok", fn(*args, log)), log.records
    except Exception as e:  # the outcome, failure included, is what is compared
        return ("raised", type(e), str(e)), log.records


def run_native(method, records, caplog, *args):
    caplog.clear()
    try:
        result = ("ok", method(*args))
    except Exception as e:
        result = ("raised", type(e), str(e))
    return result, records()


# --- parse_srt ---------------------------------------------------------------

# Shapes the generated inputs reach only rarely.
PARSE_CASES = {
    "only white space": " \n\t\u3000\n\r\n",
    "no text line": "1\n00:00:01,000 --> 00:00:02,000\n\n2\n00:00:02,000 --> 00:00:03,000\nb",
    "position data, full-width digits": "1\n００:00:01,000-->٠٠:٠٠:٠٢,٠٠٠ X1:100\na",
    "blocks without separating line": "1\n00:00:01,000 --> 00:00:02,000\na\n2\n00:00:02,000 --> 00:00:03,000\nb",
    "separators holding U+0085 and U+001C": "1\n0:0:1,0 --> 0:0:2,0\na\n\x85\x1c\n2\n0:0:2,0 --> 0:0:3,0\nb",
    "CR LF and lone CR line ends": "1\r\n0:0:1,0 --> 0:0:2,0\r\na\r\r2\r0:0:2,0 --> 0:0:3,0\rb\r\n",
    "line separator is not a line end": "1\u202800:00:01,000 --> 00:00:02,000\na\nb",
}


@pytest.mark.parametrize("content", PARSE_CASES.values(), ids=PARSE_CASES.keys())
def test_parse_srt_matches_plain_steps(engine, records, caplog, tmp_path, content):
    path = tmp_path / "in.srt"
    path.write_bytes(content.encode("utf-8"))
    assert run_native(engine.parse_srt, records, caplog, str(path)) == run_ref(ref.parse_srt, str(path))


def test_parse_srt_reports_each_skipped_block(engine, records, tmp_path):
    path = tmp_path / "in.srt"
    path.write_text(
        "1\n00:00:01,000 --> 00:00:02,000\na\n\n2 \nbad time\nb\n\n3\n00:00:03,000 --> 00:00:04,000\n",
        encoding="utf-8",
    )
    subtitles = engine.parse_srt(str(path))
    assert [s["index"] for s in subtitles] == ["1"]
    assert list(subtitles[0]) == ["index", "start_time", "end_time", "text"]
    assert records() == [
        ("WARNING", "跳过无法解析的字幕块: 2 "),
        ("WARNING", "跳过无法解析的字幕块: 3"),
        ("INFO", "成功解析字幕文件，共1个字幕块"),
    ]


@pytest.mark.parametrize(
    "make_path, error",
    [
        (lambda d: d / "missing.srt", FileNotFoundError),
        (lambda d: d, IsADirectoryError),
        (lambda d: (d / "bad.srt").write_bytes(b"1\n\xff\xfe") and d / "bad.srt", UnicodeDecodeError),
    ],
    ids=["missing", "directory", "not utf-8"],
)
def test_parse_srt_logs_then_raises_the_host_error(engine, records, tmp_path, make_path, error):
    # Plain UTF-8 reading, as without the packaged `input_encoding`.
    engine.config = {k: v for k, v in engine.config.items() if k != "input_encoding"}
    path = str(make_path(tmp_path))
    with pytest.raises(error) as native:
        engine.parse_srt(path)
    with pytest.raises(error) as plain:
        ref.parse_srt(path, ref.Records())
    assert str(native.value) == str(plain.value)
    assert records() == [("ERROR", f"解析字幕文件失败: {native.value}")]


def test_parse_srt_raises_the_very_same_exception(brivane_module, engine, monkeypatch):
    failure = PermissionError(13, "refused")

    def refusing_open(*args, **kwargs):
        raise failure

    monkeypatch.setattr(brivane_module, "open", refusing_open, raising=False)
    with pytest.raises(PermissionError) as caught:
        engine.parse_srt("any.srt")
    assert caught.value is failure


def test_parse_srt_lets_interrupts_through(brivane_module, engine, records, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(brivane_module, "open", interrupted, raising=False)
    with pytest.raises(KeyboardInterrupt):
        engine.parse_srt("any.srt")
    assert records() == []


def _line_ends(text, style):
    return text.replace("\n", style)


@S.DIFFERENTIAL
@given(content=S.texts(), style=st.sampled_from(["\n", "\r\n", "\r"]))
def test_parse_srt_differential_and_round_trip(engine, records, caplog, tmp_path, content, style):
    path = tmp_path / "in.srt"
    path.write_bytes(_line_ends(content, style).encode("utf-8"))
    native = run_native(engine.parse_srt, records, caplog, str(path))
    assert native == run_ref(ref.parse_srt, str(path))
    # Writing what was read and reading it again gives the same blocks.
    subtitles = native[0][1]
    out = tmp_path / "out.srt"
    assert engine.write_srt(subtitles, str(out)) is True
    if not (subtitles and subtitles[0]["index"].startswith("\ufeff")):  # written without the mark
        assert engine.parse_srt(str(out)) == subtitles


# --- write_srt ---------------------------------------------------------------

def _contents(path):
    return path.read_bytes() if path.exists() else None


def _subtitle(index="1", start="00:00:01,000", end="00:00:02,000", text="a"):
    return {"index": index, "start_time": start, "end_time": end, "text": text}


WRITE_CASES = {
    "empty list": [],
    "missing key after a good block": [_subtitle(), {"index": "2", "start_time": "s", "end_time": "e"}],
    "not a mapping": [_subtitle(), ["index"]],
    "lone surrogate in a later block": [_subtitle(), _subtitle("2", text="a\ud800b")],
    "not iterable": 5,
    "generator": (s for s in [_subtitle(), _subtitle("2")]),
}


@pytest.mark.parametrize("name", WRITE_CASES)
def test_write_srt_matches_plain_steps(engine, records, caplog, tmp_path, name):
    native_path, plain_path = tmp_path / "native.srt", tmp_path / "plain.srt"
    subtitles = WRITE_CASES[name]
    if name == "generator":
        items = list(subtitles)
        native_args, plain_args = iter(items), iter(items)
    else:
        native_args = plain_args = subtitles
    native = run_native(engine.write_srt, records, caplog, native_args, str(native_path))
    plain = run_ref(ref.write_srt, plain_args, str(plain_path))
    assert native[0][0] == "ok"  # never raises
    assert (native[0], [(lvl, msg.replace("native", "plain")) for lvl, msg in native[1]]) == plain
    assert _contents(native_path) == _contents(plain_path)


def test_write_srt_into_missing_directory(engine, records, tmp_path):
    path = tmp_path / "no" / "such" / "out.srt"
    assert engine.write_srt([_subtitle()], str(path)) is False
    ((level, message),) = records()
    assert level == "ERROR" and message.startswith("保存字幕文件失败: [Errno 2]")


@pytest.mark.parametrize("subtitles", [
    [_subtitle(), {"index": "2"}],
    [_subtitle(), _subtitle("2", text="a\ud800")],
    [_subtitle()],  # the target is a directory: the final rename fails
], ids=["missing key", "lone surrogate", "rename fails"])
def test_failed_write_keeps_the_earlier_file(engine, records, tmp_path, subtitles):
    folder = tmp_path / "written"
    folder.mkdir()
    target = folder / "out.srt"
    if len(subtitles) == 1:
        target.mkdir()
    else:
        target.write_text("earlier", encoding="utf-8")
    assert engine.write_srt(subtitles, str(target)) is False
    assert records()[-1][0] == "ERROR" and records()[-1][1].startswith("保存字幕文件失败: ")
    assert target.is_dir() or target.read_text(encoding="utf-8") == "earlier"
    assert os.listdir(folder) == ["out.srt"]  # no temporary file left


def test_write_srt_permissions_and_mark(engine, tmp_path):
    fresh, existing = tmp_path / "fresh.srt", tmp_path / "existing.srt"
    existing.write_text("old")
    existing.chmod(0o640)
    umask = os.umask(0o022)
    os.umask(umask)
    subtitles = [_subtitle(index="\ufeff1")]
    assert engine.write_srt(subtitles, str(fresh)) and engine.write_srt(subtitles, str(existing))
    assert fresh.stat().st_mode & 0o777 == 0o666 & ~umask
    assert existing.stat().st_mode & 0o777 == 0o640
    assert fresh.read_bytes() == existing.read_bytes() == b"1\n00:00:01,000 --> 00:00:02,000\na\n\n"


def test_write_srt_uses_platform_line_ends_of_the_host(brivane_module, engine, monkeypatch, tmp_path):
    monkeypatch.setattr(brivane_module.os, "linesep", "\r\n")
    path = tmp_path / "out.srt"
    assert engine.write_srt([_subtitle(text="a\nb")], str(path)) is True
    assert path.read_bytes() == b"1\r\n00:00:01,000 --> 00:00:02,000\r\na\r\nb\r\n\r\n"


subtitle_values = st.one_of(
    S.fragments(S.SURROGATES, 8), st.integers(-5, 20), st.sampled_from(["", "1", "00:00:01,000"])
)
subtitle_dicts = st.fixed_dictionaries(
    {"index": subtitle_values, "start_time": subtitle_values, "end_time": subtitle_values,
     "text": subtitle_values}
)
subtitle_items = st.one_of(
    subtitle_dicts, subtitle_dicts, subtitle_dicts,
    subtitle_dicts.flatmap(lambda d: st.sampled_from(list(d)).map(lambda k: {x: d[x] for x in d if x != k})),
    st.just([]),
)


@S.DIFFERENTIAL
@given(subtitles=st.lists(subtitle_items, max_size=5))
def test_write_srt_differential(engine, records, caplog, tmp_path, subtitles):
    native_path, plain_path = tmp_path / "native.srt", tmp_path / "plain.srt"
    native = run_native(engine.write_srt, records, caplog, subtitles, str(native_path))
    plain = run_ref(ref.write_srt, subtitles, str(plain_path))
    assert native[0] == plain[0]
    assert [(lvl, msg.replace("native.srt", "plain.srt")) for lvl, msg in native[1]] == plain[1]
    assert _contents(native_path) == _contents(plain_path)


# --- get_output_path ---------------------------------------------------------

def test_output_name_examples(engine):
    for name, expected in [("lecture 01.srt", "lecture 01_corrected.srt"),
                           ("part.2.SRT", "part.2_corrected.SRT"), ("notes", "notes_corrected"),
                           (".srt", ".srt_corrected")]:
        assert engine.get_output_path(os.path.join("some", "dir", name)) == os.path.join(
            engine.output_dir, expected)


def test_output_path_follows_output_dir_set_later(engine, tmp_path):
    engine.output_dir = str(tmp_path / "elsewhere")
    assert engine.get_output_path("x/y.srt") == str(tmp_path / "elsewhere" / "y_corrected.srt")


@pytest.mark.parametrize("flavour", [posixpath, ntpath], ids=["posix", "windows"])
def test_output_path_uses_the_hosts_os_path(brivane_module, engine, monkeypatch, flavour):
    import types

    monkeypatch.setattr(brivane_module, "os", types.SimpleNamespace(path=flavour))
    engine.output_dir = "out"
    for path in [r"C:\videos\lecture.srt", "C:lecture.part.srt", "/videos/a\\b.srt"]:
        assert engine.get_output_path(path) == ref.get_output_path(path, "out", flavour)


@S.DIFFERENTIAL
@given(path=st.lists(st.sampled_from(["a", ".", "..", "/", "\\", "C:", " ", "srt", "血", ".SRT"]),
                     max_size=8).map("".join))
def test_output_path_differential(engine, path):
    assert engine.get_output_path(path) == ref.get_output_path(path, engine.output_dir)


@pytest.mark.parametrize("path", [b"dir/a.srt", 3, None])
def test_output_path_non_text_fails_as_host(engine, path):
    try:
        expected = ("ok", ref.get_output_path(path, engine.output_dir))
    except Exception as e:
        expected = ("raised", type(e), str(e))
    try:
        got = ("ok", engine.get_output_path(path))
    except Exception as e:
        got = ("raised", type(e), str(e))
    assert got == expected
