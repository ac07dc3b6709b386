"""The README's snippets, the tour and the many-farms example run as documented."""

from __future__ import annotations

import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from py_zelka.notices import ZelkaDataNotice

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def readme_snippets() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def test_readme_snippets_run(monkeypatch):
    snippets = readme_snippets()
    assert len(snippets) >= 5
    monkeypatch.chdir(ROOT)
    namespace: dict = {}
    with pytest.warns(ZelkaDataNotice) as caught:
        for snippet in snippets:
            exec(compile(snippet, "README.md", "exec"), namespace)  # noqa: S102
    assert [str(w.message).split(":")[0] for w in caught] == ["[HarvestTagReader] rejected"]
    # the values the README's comments promise
    assert namespace["params"].source == ("parameters",)
    assert namespace["later"].source == ("parameters", "late-harvest")
    assert namespace["flowering"].cumulative[-1] == 1.0
    assert namespace["care"].replacement_suckers_for_week(19) == 150.0
    assert namespace["provider"].week_index_for_date(__import__("datetime").date(2024, 1, 15)) == 2
    assert namespace["production"].data.tags()[:3] == ("black", "blue", "brown")
    assert namespace["selection"].data.total(1) == 272.0
    assert namespace["inventory"].data.columns.tolist() == ["chain", "population", "age_weeks", "tag"]


def run(*args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *map(str, args)], capture_output=True, text=True, cwd=ROOT, timeout=300
    )


def test_tour_runs_on_the_shipped_farm():
    result = run(EXAMPLES / "tour.py")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for heading in (
        "Parameter set",
        "Dispersion after each threshold",
        "Weather",
        "Population inventory",
        "Ribbon production",
        "Sucker selection",
        "Replacement suckers",
        "Data-quality notices",
    ):
        assert f"\n{heading}\n{'-' * len(heading)}\n" in out
    assert "provenance ('parameters', 'trial-late-harvest')" in out
    assert "ZelkaDataNotice: [HarvestTagReader] rejected: 'rejected' column not present in" in out


def test_tour_runs_on_another_folder_and_plots(tmp_path):
    farm = tmp_path / "farm b"
    shutil.copytree(EXAMPLES / "data", farm)
    plot = tmp_path / "tour.png"
    result = run(EXAMPLES / "tour.py", "--data", farm, "--plot", plot)
    assert result.returncode == 0, result.stderr
    assert str(farm) in result.stdout
    if importlib.util.find_spec("matplotlib"):
        assert plot.stat().st_size > 10_000
    else:
        assert "--plot needs matplotlib" in result.stderr


@pytest.fixture
def many_farms(monkeypatch):
    # imported by name, as the worker processes will import it
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module("many_farms")


@pytest.fixture
def farms(tmp_path) -> list[Path]:
    folders = []
    for i, name in enumerate(["ceiba", "guanacaste", "ojoche"]):
        folder = tmp_path / name
        shutil.copytree(EXAMPLES / "data", folder)
        schedule = folder / "management.yaml"
        schedule.write_text(schedule.read_text().replace("6: 120", f"6: {120 + 10 * i}"))
        folders.append(folder)
    return folders


def check_farms(many_farms, results, folders) -> None:
    expected = [many_farms.read_farm(folder) for folder in folders]
    assert [r["farm"] for r in results] == [f.name for f in folders]
    for got, want in zip(results, expected):
        assert got["parameters"] == want["parameters"]
        assert got["schedule"] == want["schedule"]
        assert repr(got["weather"]) == repr(want["weather"])
        assert got["inventory"].data.equals(want["inventory"].data)
        assert got["production"].notices == want["production"].notices
        production, reference = got["production"].data, want["production"].data
        assert production.tags() == reference.tags()
        assert production.observation("red", 35) == reference.observation("red", 35)
        assert got["selection"].data.total(1) == want["selection"].data.total(1)
    assert [r["schedule"].replacement_suckers_for_week(6) for r in results] == [120.0, 130.0, 140.0]


def test_many_farms_in_a_process_pool(many_farms, farms):
    check_farms(many_farms, many_farms.read_farms_with_processes(farms, workers=2), farms)


def test_many_farms_on_a_dask_cluster(many_farms, farms):
    distributed = pytest.importorskip("dask.distributed", reason="Dask distributed is not installed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            check_farms(many_farms, many_farms.read_farms_with_dask(farms, client), farms)


def test_many_farms_command_line(farms):
    result = run(EXAMPLES / "many_farms.py", *farms, "--workers", "2")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].split() == ["farm", "weather", "period", "plants", "ribbon", "tags", "replacements", "notices"]
    assert [line.split()[0] for line in lines[2:]] == ["ceiba", "guanacaste", "ojoche"]
