"""Faults a real batch meets: links at output paths, a key quoted back, damaged
encodings, a fresh reply cache under load, backups from anywhere, refusals,
full disks and the operator's mistakes."""
import errno
import json
import os
import zipfile

import pytest
from conftest import make_srt

from standin_service import behaviours as b

KEY = "sk-0123456789abcdefwxyz"


def lecture(workdir, name="a.srt", count=3):
    path = workdir / "input" / name
    path.write_text(make_srt(count), encoding="utf-8")
    return path


def test_a_link_at_the_output_is_replaced_not_written_through(pipeline_engine, service, workdir):
    source = lecture(workdir)
    before = source.read_bytes()
    (workdir / "output" / "a_corrected.srt").symlink_to(source)
    assert pipeline_engine.process_subtitle_file(str(source)) is True
    output = workdir / "output" / "a_corrected.srt"
    assert source.read_bytes() == before
    assert not output.is_symlink() and "血氨" in output.read_text(encoding="utf-8")


def test_the_key_is_in_no_output(pipeline_engine, service, workdir, records, comparison_dir, capsys):
    pipeline_engine.api_key = KEY
    pipeline_engine.config = {**pipeline_engine.config, "review_report": True,
                              "stop_on_client_errors": True}
    path = lecture(workdir, count=2)
    # A reply that quotes the key back, then a proxy refusing it.
    service.script(b.combine(b.echo(), b.inline_note(1, f"（{KEY}）")),
                   b.http_error(401, {"error": {"message": f"Incorrect API key provided: {KEY}"}}))
    with pytest.raises(RuntimeError):
        pipeline_engine.process_subtitle_file(str(path), custom_window_size=1)
    shown = "sk-…wxyz"
    logged = "\n".join(m for _, m in records())
    assert KEY not in logged and f"服务拒绝了请求 (HTTP 401)，不再重试: Incorrect API key provided: {shown}" in logged
    assert len(service.requests) == 2  # refused once, not retried
    written = [p.read_text(encoding="utf-8") for p in comparison_dir.glob("*.log")]
    written += [p.read_text(encoding="utf-8") for p in (workdir / "output" / "review").iterdir()]
    written.append(capsys.readouterr().out)
    assert all(KEY not in text for text in written) and any(shown in text for text in written)


def test_damaged_utf8_is_not_guessed(pipeline_engine, service, workdir, records):
    pipeline_engine.config = {**pipeline_engine.config, "input_encoding": "auto"}
    path = workdir / "input" / "a.srt"
    data = make_srt(3).encode("utf-8")
    at = data.index(b"\n\n")
    path.write_bytes(data[:at] + b"\xed\xa0\x80" + data[at:])
    assert pipeline_engine.process_subtitle_file(str(path)) is False
    [error] = [m for _, m in records("ERROR") if m.startswith("字幕文件处理失败")]
    assert f"字节偏移 {at} " in error and "input_encoding" in error and service.requests == []


def test_a_guessed_encoding_shows_on_the_review(pipeline_engine, service, workdir, records):
    pipeline_engine.config = {**pipeline_engine.config, "input_encoding": "auto", "review_report": True}
    path = workdir / "input" / "gbk.srt"
    path.write_bytes(make_srt(10).encode("gb18030"))
    assert pipeline_engine.process_subtitle_file(str(path)) is True
    assert ("WARNING", f"字幕文件不是UTF-8编码，已按 gb18030 读取: {path}") in records()
    review = workdir / "output" / "review"
    assert json.loads((review / "changes.json").read_text(encoding="utf-8"))["files"][0]["encoding"] == "gb18030"
    assert "gb18030（自动识别，不是UTF-8）" in (review / "gbk.html").read_text(encoding="utf-8")


def test_a_fresh_cache_opens_once_under_load(batch_engine, service, workdir, records):
    lecture(workdir, count=16)
    batch_engine.window_size = 2
    for run in range(200):
        batch_engine.output_dir = str(workdir / f"out{run}")
        batch_engine.config = {**batch_engine.config, "max_concurrent_requests": 8,
                               "reply_cache": ".brivane/replies.sqlite3"}
        assert batch_engine.process_all_files() is True
    assert not [m for _, m in records("WARNING") if "回复缓存不可用" in m]


def test_backup_from_another_folder_holds_the_files_read(brivane_module, service, workdir, tmp_path,
                                                          monkeypatch, records):
    (workdir / "team.json").write_text(json.dumps({"药物名称术语": ["头皮脂→托吡酯"]}, ensure_ascii=False),
                                       encoding="utf-8")
    config = workdir / "my.json"
    config.write_text(json.dumps({"api_url": service.url, "model": "m", "glossary_files": ["team.json"]}),
                      encoding="utf-8")
    (workdir / "input").mkdir()
    lecture(workdir)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    engine = brivane_module.Brivane("k", str(workdir / "input"), str(workdir / "output"), str(config))
    assert engine.backup_files() is True
    [archive] = (elsewhere / "backup").iterdir()
    with zipfile.ZipFile(archive) as backup:
        assert backup.namelist() == ["input/a.srt", "error_terms_library.json", "my.json", "team.json"]


def test_unknown_keys_are_named_with_the_closest_known_one(brivane_module, make_config, records):
    brivane_module.Brivane("k", "in", "out", make_config({"windw_size": 5, "logging": {"log_dri": "x"}}))
    assert [m for _, m in records("WARNING")] == [
        "未知的配置项: windw_size (是否为 window_size?)",
        "未知的配置项: logging.log_dri (是否为 logging.log_dir?)"]


def test_error_records_quote_the_start_of_a_reply(online_engine, service, records):
    service.default = b.http_error(500, "x" * 1000)
    with pytest.raises(Exception, match="API在 1 次尝试后仍然失败"):  # the client's plain failure
        online_engine.call_deepseek_api_with_subtitle_prompt("1\n00:00:01,000 --> 00:00:02,000\n文\n",
                                                             max_retries=1)
    assert ("ERROR", "API错误响应内容: " + "x" * 200 + "…（共 1000 个字符）") in records()


def test_a_full_disk_is_not_blamed_on_the_service(pipeline_engine, service, workdir, records,
                                                  brivane_module, monkeypatch):
    path = lecture(workdir)

    def full_disk_on_append(file, mode="r", *args, **kwargs):
        if mode == "a":
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), file)
        return open(file, mode, *args, **kwargs)

    monkeypatch.setattr(brivane_module, "open", full_disk_on_append, raising=False)
    assert pipeline_engine.process_subtitle_file(str(path)) is False
    errors = [m for _, m in records("ERROR")]
    assert errors[-1].startswith("写入失败: ") and errors[-1].endswith(".log: 磁盘空间不足")
    assert not any(m.startswith("API调用失败") for m in errors)


@pytest.mark.parametrize("flag", ["--output", "--log-dir"])
def test_output_folders_are_checked_before_anything_starts(workdir, flag, capsys, service):
    from brivane.__main__ import run

    (workdir / "input").mkdir()
    (workdir / "taken").write_text("a file", encoding="utf-8")
    args = ["--input", "input", flag, "taken"]
    assert run(args) == 2
    assert f"brivane: {flag}: 不是目录: taken" in capsys.readouterr().err
    assert service.requests == []


def test_review_links_are_url_encoded(review_engine, service, workdir):
    path = lecture(workdir, name="lecture #3?.srt")
    assert review_engine.process_subtitle_file(str(path)) is True
    index = (workdir / "output" / "review" / "index.html").read_text(encoding="utf-8")
    # The link opens the page on what needs a look first (#filter=...).
    assert 'href="lecture%20%233%3F.html#filter=' in index
