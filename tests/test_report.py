"""The farm check's report: text that fits a screen, JSON with every finding,
the notices and the counts, and one self-contained HTML page with the charts,
rendered in a real browser."""

from __future__ import annotations

import datetime as dt
import html
import json
import os
import pickle
import shutil
import struct
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pandas as pd
import pytest

from py_zelka.farm import EXAMPLE_FARM, check_farm, html_report

DATA = Path(__file__).parent / "data"
MESSY = DATA / "farms" / "messy"
SCHEMA = json.loads((Path(EXAMPLE_FARM).parent / "report" / "check.schema.json").read_text("utf-8"))


@pytest.fixture
def hourly(tmp_path) -> Path:
    """The example farm with its weather as hourly rows (10,944 of them)."""
    farm = Path(shutil.copytree(EXAMPLE_FARM, tmp_path / "hourly"))
    start = dt.datetime(2024, 1, 1)
    rows = [f"{start + dt.timedelta(hours=h):%Y-%m-%d %H:%M},{20 + h % 24 / 4:.2f}"
            for h in range(456 * 24)]
    (farm / "weather.csv").write_text("date,tmean\n" + "\n".join(rows) + "\n", encoding="utf-8")
    return farm


class Findings(HTMLParser):
    """The rows of the findings tables and the charts of a report page."""

    def __init__(self):
        super().__init__()
        self.rows, self.charts, self.missing, self.svgs = [], [], [], 0
        self._row = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr" and attrs.get("class") == "finding":
            self._row = []
        elif tag == "td" and self._row is not None:
            self._row.append("")
        elif tag == "figure":
            self.charts.append(attrs["data-chart"])
        elif "data-chart-missing" in attrs:
            self.missing.append(attrs["data-chart-missing"])
        self.svgs += tag == "svg"

    def handle_endtag(self, tag):
        if tag == "tr" and self._row is not None:
            self.rows.append(tuple(self._row))
            self._row = None

    def handle_data(self, data):
        if self._row:
            self._row[-1] += data


def parse(page: str) -> Findings:
    parser = Findings()
    parser.feed(page)
    return parser


def expected_rows(report) -> set:
    return {tuple("" if pd.isna(cell) else str(cell) for cell in row)
            for row in report.findings[["line", "column", "value", "message"]].itertuples(index=False)}


# ---------------------------------------------------------------------------
# Text


def test_text_of_an_hourly_export_fits_a_screen(hourly):
    report = check_farm(hourly)
    text, full = str(report), report.to_text(all=True)
    lines = text.splitlines()
    assert len(report.findings) == 10488 and len(lines) < 60
    assert lines[0] == (f"farm {hourly}: 10488 error(s), 0 warning(s) -- not ready for the model: "
                        "fix the errors")
    message = ("a second row for the day of line 2: hourly rows? The model reads one row a day; say so "
               "in farm.yaml to read the day's mean, weather: {daily: mean}")
    assert "\n".join(lines[2:10]) == "\n".join([
        "weather.csv",
        "  error sub_daily (10488): several rows a day: hourly or sub-daily data",
        "    line  column  value             message",
        "    ----  ------  ----------------  " + "-" * len(message),
        f"       3  date    2024-01-01 01:00  {message}",
        f"       4  date    2024-01-01 02:00  {message}",
        f"       5  date    2024-01-01 03:00  {message}",
        "    ... and 10485 more (lines 6-10945)",
    ])
    assert text.endswith(f"\nsummary of farm {hourly}\n  rule       severity  count\n"
                         "  ---------  --------  -----\n  sub_daily  error     10488\n")
    # --all: every row, nothing counted away
    assert len(full.splitlines()) == len(lines) - 1 + 10488 - 3 and "more (lines" not in full
    assert "    10945  date    2025-03-31 23:00  a second row for the day of line 10922" in full


def test_text_groups_each_file_by_rule_errors_first():
    report = check_farm(MESSY)
    text = str(report)
    headings = [line.split()[:2] for line in text.splitlines() if line.startswith("  error ")
                or line.startswith("  warning ")]
    files = list(dict.fromkeys(report.findings.file))
    by_file = [[h for h in block.splitlines() if h.startswith(("  error ", "  warning "))]
               for block in text.split("\n\n")[1:1 + len(files)]]
    assert [block.split("\n", 1)[0] for block in text.split("\n\n")[1:1 + len(files)]] == files
    for block in by_file:  # errors before warnings in each file
        severities = [line.split()[0] for line in block]
        assert severities == sorted(severities)
    counted = report.findings.groupby(["file", "severity", "rule"]).size()
    assert sum(int(line.rsplit("(", 1)[1].split(")")[0]) for line in sum(by_file, [])) == len(
        report.findings) == counted.sum()
    assert len(headings) == len(counted)
    assert "\nnotices\n  field_losses: 'field_losses' column not present in" in text
    summary = text[text.index(f"\nsummary of farm {MESSY}\n"):].splitlines()[4:]
    totals = report.findings.groupby(["rule", "severity"]).size()
    assert sorted((r, s, int(n)) for r, s, n in map(str.split, summary)) == sorted(
        (r, s, int(n)) for (r, s), n in totals.items())
    assert [s for _, s, _ in map(str.split, summary)] == sorted(s for _, s, _ in map(str.split, summary))


# ---------------------------------------------------------------------------
# JSON


def test_json_holds_every_finding_the_notices_and_the_counts(tmp_path):
    report = check_farm(MESSY)
    data = json.loads(report.to_json())
    farm_schema = SCHEMA["$defs"]["farm"]
    assert sorted(data) == sorted(farm_schema["required"]) and data == report._as_dict()
    assert (data["ok"], data["errors"], data["warnings"]) == (False, 21, 6)
    assert [sorted(f) for f in data["findings"]] == [
        sorted(farm_schema["properties"]["findings"]["items"]["required"])] * 27
    assert [(f["file"], f["line"], f["rule"]) for f in data["findings"]] == list(
        report.findings[["file", "line", "rule"]].astype(object).where(
            report.findings[["file", "line", "rule"]].notna(), None).itertuples(index=False, name=None))
    totals = report.findings.groupby(["rule", "severity"]).size()
    assert {(c["rule"], c["severity"]): c["count"] for c in data["counts"]} == dict(totals)
    assert [n["subject"] for n in data["notices"]] == ["field_losses"]
    assert data["notices"][0]["source"] == "HarvestTagReader"
    # a farm of a weather file alone: the defaults' notice and the missing files'
    shutil.copy(EXAMPLE_FARM / "weather.csv", tmp_path)
    notices = json.loads(check_farm(tmp_path).to_json())["notices"]
    assert [n["subject"] for n in notices] == ["parameters", "management", "inventory",
                                               "production", "selection"]
    assert report._as_dict(html=True)["html"].startswith('<section class="farm error" id="farm-')


# ---------------------------------------------------------------------------
# HTML


@pytest.mark.parametrize(("farm", "charts", "missing"), [
    (EXAMPLE_FARM, ["weather", "production", "parameters"], []),
    (MESSY, ["weather", "parameters"], ["production"]),
])
def test_the_page_holds_every_finding_and_the_charts(farm, charts, missing):
    pytest.importorskip("matplotlib")
    report = check_farm(farm)
    page = report.to_html()
    found = parse(page)
    assert len(found.rows) == len(report.findings)
    assert set(found.rows) == expected_rows(report)
    assert (found.charts, found.missing, found.svgs) == (charts, missing, len(charts))
    assert "http://" not in page and "https://" not in page
    assert page.startswith("<!DOCTYPE html>") and f"<title>Farm check: {html.escape(str(farm))}</title>" in page
    fragment = report._repr_html_()
    assert fragment.startswith('<div class="zelka-report"><style>') and set(parse(fragment).rows) == set(found.rows)


def test_the_page_without_matplotlib(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # its import fails
    report = check_farm(MESSY)
    found = parse(page := report.to_html())
    assert (found.charts, found.missing, found.svgs) == ([], ["matplotlib"], 0)
    assert set(found.rows) == expected_rows(report)
    assert ("The charts need matplotlib, which is not installed: <code>pip install "
            "'py_zelka[plot]'</code> and write the report again.") in page


def test_one_page_of_many_farms(tmp_path):
    pytest.importorskip("matplotlib")
    reports = [check_farm(EXAMPLE_FARM), check_farm(MESSY), check_farm(tmp_path / "nowhere")]
    farms = [reports[0], reports[1]._as_dict(html=True), reports[2]._as_dict()]
    found = parse(page := html_report(farms))
    assert len(found.rows) == sum(len(r.findings) for r in reports)
    assert found.charts == ["weather", "production", "parameters", "weather", "parameters"]
    assert found.missing == ["production", "all"]
    assert page.count('<section class="farm') == 3 and "<title>Farm check of 3 farms</title>" in page
    assert pickle.loads(pickle.dumps(reports[1])).to_html().count('<tr class="finding">') == 27
    with pytest.raises(TypeError) as excinfo:
        html_report([reports[0], "farm"])
    assert str(excinfo.value) == ("html_report() takes FarmReports (or what their _as_dict() "
                                  "gives), not 'farm'")
    with pytest.raises(ValueError) as excinfo:
        html_report([])
    assert str(excinfo.value) == ("html_report() needs at least one FarmReport; check a farm "
                                  "with check_farm(folder) first")


# ---------------------------------------------------------------------------
# In a browser

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def png_size(path: Path) -> tuple[int, int]:
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.skipif(CHROMIUM is None, reason="needs chromium (apt-get install chromium)")
@pytest.mark.parametrize("farm", [EXAMPLE_FARM, MESSY], ids=["example", "messy"])
def test_the_page_renders_in_chromium(tmp_path, farm):
    pytest.importorskip("matplotlib")
    image = pytest.importorskip("matplotlib.image")
    report = check_farm(farm)
    page = tmp_path / "report.html"
    page.write_text(report.to_html(), encoding="utf-8")
    browser = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--window-size=1280,2000"]
    # The browser is no part of the package: it runs without the sanitizers'
    # runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    dom = subprocess.run([*browser, "--dump-dom", page.as_uri()], capture_output=True,
                         text=True, timeout=120, check=True, env=env).stdout
    found = parse(dom)
    assert set(found.rows) == expected_rows(report) and len(found.rows) == len(report.findings)
    assert found.svgs == len(found.charts) and "weather" in found.charts
    shot = tmp_path / "report.png"
    subprocess.run([*browser, f"--screenshot={shot}", page.as_uri()], capture_output=True,
                   timeout=120, check=True, env=env)
    assert png_size(shot) == (1280, 2000)
    pixels = image.imread(shot)
    assert len({tuple(p) for p in pixels[::8, ::8].reshape(-1, pixels.shape[-1])}) > 100
