"""The batch over the input directory and the daily backup archive."""
import hashlib
import os
import zipfile

import pytest
from conftest import make_srt

from standin_service import behaviours as b


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def infos(records):
    return [m for _, m in records("INFO")]


def test_empty_input_directory(batch_engine, workdir, records):
    assert batch_engine.process_all_files() is True
    logged = infos(records)
    assert logged[0].startswith("文件备份成功: backup")
    assert logged[1:] == ["开始处理字幕文件，共0个文件", "字幕文件处理完成，成功: 0，失败: 0"]


def test_counts_with_a_failed_file(batch_engine, service, workdir, records):
    (workdir / "input" / "good.srt").write_text(make_srt(3), encoding="utf-8")
    (workdir / "input" / "broken.srt").write_bytes(b"\xff\xfe")
    (workdir / "input" / "notes.txt").write_text("not a subtitle")
    before = {p.name: digest(p) for p in (workdir / "input").iterdir()}
    assert batch_engine.process_all_files() is True
    logged = infos(records)
    assert [m for m in logged if m.startswith("文件处理进度")] == [
        "文件处理进度: 50.00% (1/2)", "文件处理进度: 100.00% (2/2)"]
    assert sorted(m for m in logged if m.startswith("正在处理字幕文件")) == [
        "正在处理字幕文件: broken.srt", "正在处理字幕文件: good.srt"]
    assert logged[-1] == "字幕文件处理完成，成功: 1，失败: 1"
    assert {p.name: digest(p) for p in (workdir / "input").iterdir()} == before
    assert os.listdir(workdir / "output") == ["good_corrected.srt"]


def test_files_go_in_sorted_order(batch_engine, service, workdir, records, brivane_module,
                                  monkeypatch):
    import glob
    import types

    for name in ("a.srt", "c.srt", "b.srt"):
        (workdir / "input" / name).write_text(make_srt(1), encoding="utf-8")
    monkeypatch.setattr(brivane_module, "glob",
                        types.SimpleNamespace(glob=lambda p: sorted(glob.glob(p), reverse=True)))
    assert batch_engine.process_all_files() is True
    assert [m for m in infos(records) if m.startswith("正在处理字幕文件")] == [
        "正在处理字幕文件: a.srt", "正在处理字幕文件: b.srt", "正在处理字幕文件: c.srt"]


def test_run_stopping_failure_ends_the_batch(batch_engine, service, workdir, records, pauses):
    for name in ("a.srt", "b.srt", "c.srt"):
        (workdir / "input" / name).write_text(make_srt(2), encoding="utf-8")
    service.default = b.http_error(500)
    assert batch_engine.process_all_files() is False
    logged = infos(records)
    assert len([m for m in logged if m.startswith("正在处理字幕文件")]) == 1
    assert not any(m.startswith(("文件处理进度", "字幕文件处理完成")) for m in logged)
    assert records("ERROR")[-1] == (
        "ERROR", "处理字幕文件时发生错误: API调用失败，程序终止执行！错误信息: "
                 "API在 5 次尝试后仍然失败: API多次调用失败: HTTP 500")
    assert len(service.requests) == 5 and os.listdir(workdir / "output") == []


def test_backup_members(batch_engine, workdir, records, brivane_module, monkeypatch):
    import datetime as real

    class Frozen(real.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2026, 3, 4, 5, 6, 7)

    monkeypatch.setattr(brivane_module, "datetime", Frozen)
    (workdir / "input" / "part2").mkdir()
    (workdir / "input" / "a.srt").write_text("x", encoding="utf-8")
    (workdir / "input" / "B.SRT").write_text("y", encoding="utf-8")
    (workdir / "input" / "skip.txt").write_text("z", encoding="utf-8")
    (workdir / "input" / "part2" / "c.Srt").write_text("w", encoding="utf-8")
    assert batch_engine.backup_files() is True
    archive_path = workdir / "backup" / "brivane_backup_2026-03-04.zip"
    assert records("INFO")[-1] == ("INFO", f"文件备份成功: {os.path.join('backup', archive_path.name)}")
    with zipfile.ZipFile(archive_path) as archive:
        names = archive.namelist()
        assert {i.compress_type for i in archive.infolist()} == {zipfile.ZIP_STORED}
    srt_names = [n for n in names if n.lower().endswith(".srt")]
    assert srt_names == ["input/B.SRT", "input/a.srt", "input/part2/c.Srt"]
    assert names[-2:] == ["error_terms_library.json", "config.json"]
    # Input given with a trailing separator: names carry no directory part.
    batch_engine.input_dir = str(workdir / "input") + os.sep
    # A second run of the day keeps the first archive and writes the next name.
    first_archive = archive_path.read_bytes()
    assert batch_engine.backup_files() is True
    second_path = workdir / "backup" / "brivane_backup_2026-03-04_2.zip"
    assert records("INFO")[-1] == ("INFO", f"文件备份成功: {os.path.join('backup', second_path.name)}")
    assert archive_path.read_bytes() == first_archive
    with zipfile.ZipFile(second_path) as archive:
        assert "a.srt" in archive.namelist() and os.path.join("part2", "c.Srt") in archive.namelist()


@pytest.mark.parametrize("present", ["error_terms_library.json", "config.json"])
def test_backup_takes_the_files_read_unless_the_working_folder_has_both(
        pipeline_engine, workdir, package_root, present):
    (workdir / present).write_text("{}", encoding="utf-8")  # not what the run read
    assert pipeline_engine.backup_files() is True
    (archive_path,) = (workdir / "backup").iterdir()
    with zipfile.ZipFile(archive_path) as archive:
        for name in ("error_terms_library.json", "config.json"):
            assert archive.read(name) == (package_root / "brivane" / name).read_bytes(), name


def test_backup_failure_is_logged_and_ignored(pipeline_engine, workdir, records, service):
    (workdir / "input" / "a.srt").write_text(make_srt(1), encoding="utf-8")
    pipeline_engine.backup_dir = str(workdir / "input" / "a.srt")  # a file, not a folder
    assert pipeline_engine.backup_files() is False
    assert records("ERROR")[-1][1].startswith("文件备份失败: [Errno 20] Not a directory")
    assert pipeline_engine.process_all_files() is True
    assert (workdir / "output" / "a_corrected.srt").exists()
