"""The README's snippets, the tour and the many-farms example run as documented."""

from __future__ import annotations

import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from py_zelka.farm import EXAMPLE_FARM, Farm, FarmCheckError
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
    assert namespace["farm"].production.tags()[:3] == ("black", "blue", "brown")
    assert namespace["report"].ok and len(namespace["report"].findings) == 0


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
    shutil.copytree(EXAMPLE_FARM, farm)
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
        shutil.copytree(EXAMPLE_FARM, folder)
        schedule = folder / "management.yaml"
        schedule.write_text(schedule.read_text().replace("6: 120", f"6: {120 + 10 * i}"))
        folders.append(folder)
    return folders


def check_farms(many_farms, results, folders) -> None:
    expected = [Farm.load(folder) for folder in folders]
    assert [r.folder for r in results] == [str(f) for f in folders]
    for got, want in zip(results, expected):
        assert got.parameters == want.parameters
        assert got.schedule == want.schedule
        assert repr(got.provider) == repr(want.provider)
        assert got.inventory.equals(want.inventory)
        assert got.notices == want.notices
        production, reference = got.production, want.production
        assert production.tags() == reference.tags()
        assert production.observation("red", 35) == reference.observation("red", 35)
        assert got.selection.total(1) == want.selection.total(1)
    assert [r.schedule.replacement_suckers_for_week(6) for r in results] == [120.0, 130.0, 140.0]


def test_many_farms_in_a_process_pool(many_farms, farms):
    check_farms(many_farms, many_farms.read_farms_with_processes(farms, workers=2), farms)


def test_many_farms_on_a_dask_cluster(many_farms, farms):
    distributed = pytest.importorskip("dask.distributed", reason="Dask distributed is not installed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            check_farms(many_farms, many_farms.read_farms_with_dask(farms, client), farms)


def test_many_farms_command_line(farms):
    (farms[1] / "inventory.csv").write_text("chain,population,age_weeks\nwoody,1,1\n")
    result = run(EXAMPLES / "many_farms.py", *farms, "--workers", "2")
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert lines[0].split() == ["farm", "weather", "period", "plants", "ribbon", "tags", "replacements", "notices"]
    assert [line.split()[0] for line in lines[2:]] == ["ceiba", "ojoche"]
    assert f"farm {farms[1]} was not read: farm {farms[1]} has 1 error(s):" in result.stderr
    assert "inventory.csv, line 2, column 'chain': 'woody' is not a chain" in result.stderr


def test_a_farm_with_errors_is_its_error(many_farms, tmp_path):
    shutil.copytree(EXAMPLE_FARM, tmp_path / "farm")
    (tmp_path / "farm" / "selection.csv").write_text("date,parous_count,nulliparous_count\n"
                                                     "2024-01-08,-1,2\n")
    outcome = many_farms.read_farm(tmp_path / "farm")
    assert isinstance(outcome, FarmCheckError)
    assert [tuple(r) for r in outcome.report.findings[["file", "line", "rule"]].itertuples(
        index=False)] == [("selection.csv", 2, "negative_count")]
