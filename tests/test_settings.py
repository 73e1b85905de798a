"""The configuration keys' one table: the README documents it, the packaged
file obeys it, and the engine reads an invalid flag as its default."""
import json
import pathlib
import re

import pytest
from conftest import make_srt

from brivane import _native

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def readme_rows():
    rows = re.findall(r"^  \| `([a-z_.]+)` \| ([^|]+) \|", README.read_text(encoding="utf-8"), re.M)
    return {key: default.strip() for key, default in rows}


def test_readme_table_is_the_settings_table():
    assert readme_rows() == {row["key"]: row["shown"] for row in _native.SETTINGS}


def test_packaged_configuration_obeys_every_rule(package_root):
    packaged = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    keys = {row["key"] for row in _native.SETTINGS}
    assert set(packaged) <= keys and {f"logging.{k}" for k in packaged["logging"]} <= keys
    assert _native.setting_problems(packaged) == []


@pytest.mark.parametrize("value", ["false", 0])
def test_an_invalid_flag_is_warned_of_and_reads_as_its_default(
        brivane_module, make_config, records, pipeline_engine, workdir, value):
    brivane_module.Brivane("k", str(workdir / "in"), str(workdir / "out"),
                           make_config({"review_report": value}))
    assert ("WARNING", f"配置项 review_report 必须是 true 或 false，当前值: {value!r}") in records()
    pipeline_engine.config = {**pipeline_engine.config, "review_report": value}
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "talk.srt").write_text(make_srt(2), encoding="utf-8")
    assert pipeline_engine.process_subtitle_file(str(workdir / "input" / "talk.srt")) is True
    assert not (workdir / "output" / "review").exists()
