"""The farm check's report: text that fits a screen, JSON with every finding,
the notices and the counts, and one self-contained HTML page with the charts,
rendered in a real browser."""

from __future__ import annotations

import base64
import dataclasses
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
from xml.etree import ElementTree

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
        self.svgs += tag == "img" and attrs.get("src", "").startswith("data:image/svg+xml;base64,")

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


@pytest.mark.parametrize(("bad", "shown", "more"), [
    (4, 4, None),  # "... and 1 more" would take the line the row needs
    (5, 3, "    ... and 2 more (lines 11-13)"),
])
def test_text_shows_cells_escaped_and_clipped(tmp_path, bad, shown, more):
    # an escape sequence that would clear the screen, a text direction
    # override, and a cell too wide for any terminal
    cell = "\x1b[2J\u202ehot" + "x" * 500
    rows = [f"2024-01-{k:02d},{20 + k % 5}" for k in range(1, 29)]
    for k in range(3, 3 + 2 * bad, 2):
        rows[k] = f"{rows[k][:10]},{cell}"
    (tmp_path / "weather.csv").write_text("date,tmean\n" + "\n".join(rows) + "\nNotes: none\nfree\n")
    report = check_farm(tmp_path)
    text = str(report)
    assert not any(c < " " and c != "\n" or c == "\u202e" for c in text)
    block = text[text.index("  error non_numeric_signal"):].splitlines()
    message = repr(cell)  # repr writes the escape and the override visibly too
    assert block[1:4] == [
        "    line  column  value                     message",
        "    ----  ------  ------------------------  " + "-" * 400,
        "       5  tmean   \\x1b[2J\\u202ehotxxxxx...  " + message[:397] + "..."]
    assert [line[:11] for line in block[3:3 + shown]] == [f"{n:>8}  t" for n in range(5, 5 + 2 * shown, 2)]
    assert block[3 + shown] == (more or "    to fix: write the number with a decimal point, or leave the "
                                        "cell empty")
    # the JSON keeps the cell and the message whole
    assert report.findings.value.iloc[0] == cell and len(report.findings.message.iloc[0]) > 500
    # lines after the table are a finding at the first of them
    skipped = report.findings[report.findings.rule == "skipped_lines"]
    assert skipped[["line", "message"]].values.tolist() == [
        [30, "the table's header is line 1; lines 30-31 after the table are not rows of it"]]


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
    charts = report._as_dict(html=True)["charts"]
    assert [(c["kind"], c["svg"] and c["svg"][:5]) for c in charts] == [("weather", "<svg "), ("production", None),
                                                          ("parameters", "<svg ")]


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


class Broken:
    """Records whose every attribute fails, as a chart that raises meets them."""

    def __getattr__(self, name):
        raise RuntimeError(f"no {name} here")


@pytest.mark.parametrize(("files", "broken", "missing"), [
    ({"weather.csv": None}, None, {
        "weather": "No weather chart: the weather file is missing or could not be read (see its "
                   "findings).",
        "production": "No production chart: its model weeks are counted from the weather's first "
                      "day, and the farm has no weather read."}),
    ({"production.csv": None}, None, {
        "production": "No production chart: the farm has no production file, or its errors keep "
                      "it from being read."}),
    ({"parameters.yaml": "general: [\n"}, None, {
        "parameters": "No dispersion chart: the parameter file is refused."}),
    ({}, "production", {"production": "The chart could not be drawn: no tags here"}),
])
def test_a_chart_without_its_data_says_why(tmp_path, files, broken, missing):
    pytest.importorskip("matplotlib")
    farm = Path(shutil.copytree(EXAMPLE_FARM, tmp_path / "farm"))
    for name, content in files.items():
        (farm / name).unlink() if content is None else (farm / name).write_text(content)
    report = check_farm(farm)
    if broken:
        report = dataclasses.replace(report, **{broken: Broken()})
    charts = {chart["kind"]: chart for chart in report._as_dict(html=True)["charts"]}
    assert sorted(charts) == ["parameters", "production", "weather"]
    assert {k: chart["caption"] for k, chart in charts.items() if chart["svg"] is None} == missing
    found = parse(report.to_html())
    assert found.missing == list(missing) and len(found.charts) == found.svgs == 3 - len(missing)


def test_a_farm_of_warnings_only_is_ready(tmp_path):
    farm = Path(shutil.copytree(EXAMPLE_FARM, tmp_path / "farm"))
    (farm / "management.yaml").write_text("replacement_schedul: {6: 120}\n")
    report = check_farm(farm)
    assert str(report).splitlines()[0] == (f"farm {farm}: 0 error(s), 1 warning(s) -- ready for the "
                                           "model; the warnings are worth a look")
    page = elements(report.to_html())
    assert [attrs["class"] for tag, attrs in page.tags if tag == "section"] == ["farm warning"]
    assert report.ok and report._as_dict()["ok"]


def test_the_page_without_matplotlib(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # its import fails
    report = check_farm(MESSY)
    found = parse(page := report.to_html())
    assert (found.charts, found.missing, found.svgs) == ([], ["matplotlib"], 0)
    assert set(found.rows) == expected_rows(report)
    assert ("The charts need matplotlib, which is not installed: pip install "
            "&#39;py_zelka[plot]&#39; and write the report again.") in page


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


def browser_env() -> dict:
    """The environment without the sanitizers' runtime that a sanitized test
    run preloads: the browser is no part of the package."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


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
    env = browser_env()
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
    # every chart is an image the browser draws (an image it cannot read
    # shows its alternative text, and a width of 0)
    sources = [attrs["src"] for tag, attrs in elements(page.read_text("utf-8")).tags if tag == "img"]
    probe = tmp_path / "probe.html"
    probe.write_text("".join(f'<img src="{src}">' for src in sources) + (
        "<script>window.onload = () => { document.title = [...document.images].map("
        "i => i.naturalWidth).join(' ') }</script>"), encoding="utf-8")
    dom = subprocess.run([*browser, "--virtual-time-budget=5000", "--dump-dom", probe.as_uri()],
                         capture_output=True, text=True, timeout=120, check=True, env=env).stdout
    widths = dom[dom.index("<title>") + 7:dom.index("</title>")].split()
    assert len(widths) == len(found.charts) and all(int(w) > 300 for w in widths)


# ---------------------------------------------------------------------------
# Hostile text: every value that reaches the page is text on it, whatever its
# source, and the page is valid HTML that is the same for the same farms.

PAYLOADS = {
    "script": "<script>document.body.dataset.pwned='script'</script>",
    "img": "\"><img src=x onerror=\"document.body.dataset.pwned='img'\">",
    "details": "</details></section><b>bold</b>",
    "jinja": "{{ 777*777 }}{% if true %}",
}
FOLDER = "\"><img src=x onerror=document.title=1>{{ 777*777 }}"  # a folder name holds no '/'


def hostile_farm(tmp_path) -> Path:
    farm = Path(shutil.copytree(EXAMPLE_FARM, tmp_path / FOLDER))
    production = pd.read_csv(farm / "production.csv", dtype=str)
    production["tag"] = [PAYLOADS["script" if tag == "red" else "img"] + tag for tag in production.tag]
    (farm / "production.csv").unlink()
    production.to_csv(farm / f"{PAYLOADS['jinja']}.csv", index=False)
    inventory = pd.read_csv(farm / "inventory.csv", dtype=str)
    inventory.rename(columns={"population": PAYLOADS["img"]}).to_csv(farm / "inventory.csv", index=False)
    weather = (farm / "weather.csv").read_text("utf-8").splitlines()
    weather[5] = weather[5].split(";")[0] + ";" + PAYLOADS["details"] + ";0.0"
    weather[6] = weather[6].split(";")[0] + ";" + PAYLOADS["jinja"] + ";0.0"
    (farm / "weather.csv").write_text("\n".join(weather) + "\n", "utf-8")
    (farm / "farm.yaml").write_text(json.dumps({
        "production": {"file": f"{PAYLOADS['jinja']}.csv"},
        "inventory": {"columns": {"population": PAYLOADS["details"]}},
        "week_length_days": PAYLOADS["script"]}), "utf-8")
    return farm


def hostile_dict(report) -> dict:
    """A report's data as another program might hand it over: every text hostile."""
    farm = report._as_dict(html=True)
    farm["path"] = PAYLOADS["details"]
    for finding in farm["findings"]:
        finding.update(message=PAYLOADS["script"], hint=PAYLOADS["details"])
    farm["counts"] = [dict(count, rule=PAYLOADS["img"]) for count in farm["counts"]]
    farm["notices"] = [{"subject": PAYLOADS["img"], "message": PAYLOADS["jinja"],
                        "source": PAYLOADS["details"]}]
    farm["charts"] = [{"kind": PAYLOADS["img"], "caption": PAYLOADS["script"],
                       "svg": "<svg xmlns='http://www.w3.org/2000/svg'><script>alert(1)</script></svg>"},
                      {"kind": PAYLOADS["details"], "caption": PAYLOADS["jinja"], "svg": None}]
    return farm


class Elements(HTMLParser):
    """Every element of a page, its ids, its text, and whether it nests right."""

    VOID = {"meta", "img", "br", "hr", "input", "link", "col", "wbr", "source"}

    def __init__(self):
        super().__init__()
        self.tags, self.ids, self.text, self.open, self.misnested = [], [], [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        self.ids += [value for name, value in attrs if name == "id"]
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        if not self.open or self.open.pop() != tag:
            self.misnested.append(tag)

    def handle_data(self, data):
        self.text.append(data)


def elements(page: str) -> Elements:
    parser = Elements()
    parser.feed(page)
    parser.close()
    return parser


def test_the_page_is_valid_html_the_same_for_the_same_farms(tmp_path):
    reports = [check_farm(EXAMPLE_FARM), check_farm(MESSY), check_farm(EXAMPLE_FARM)]
    page = html_report(reports)
    found = elements(page)
    assert (found.open, found.misnested) == ([], [])
    assert len(found.ids) == len(set(found.ids)) == 3 and page.count("<svg") == 0
    # each chart an SVG document of its own: well-formed, in the SVG namespace
    charts = [base64.b64decode(attrs["src"].split(",", 1)[1]) for tag, attrs in found.tags
              if tag == "img"]
    assert len(charts) == 8 and all(
        ElementTree.fromstring(chart).tag == "{http://www.w3.org/2000/svg}svg" for chart in charts)
    # the same farms give the same page, byte for byte, in another process too
    again = subprocess.run([sys.executable, "-c", (
        "import sys; from py_zelka.farm import EXAMPLE_FARM, check_farm, html_report; "
        f"sys.stdout.buffer.write(html_report([check_farm(f) for f in (EXAMPLE_FARM, {str(MESSY)!r}, "
        "EXAMPLE_FARM)]).encode())")], capture_output=True, check=True).stdout.decode()
    assert html_report(reports) == page == again


def assert_inert(found: Elements) -> None:
    """No element or attribute of a payload made it into the page."""
    assert found.misnested == [] and len(found.ids) == len(set(found.ids))
    assert not {"script", "b", "svg"} & {tag for tag, _ in found.tags}
    assert not [(tag, name) for tag, attrs in found.tags for name in attrs if name.startswith("on")]
    assert all(attrs["src"].startswith("data:image/svg+xml;base64,") for tag, attrs in found.tags
               if tag == "img")
    text = "".join(found.text)
    assert all(payload in text for payload in [*PAYLOADS.values(), FOLDER]) and "603729" not in text


def test_hostile_text_is_text_on_the_page(tmp_path):
    report = check_farm(hostile_farm(tmp_path))
    assert set(report.findings.rule) == {"farm_yaml_value", "unmapped_column", "non_numeric_signal",
                                         "missing_days"}
    page = html_report([report, hostile_dict(report)])
    assert_inert(elements(page))
    if CHROMIUM is None:
        pytest.skip("the page as a browser runs it needs chromium (apt-get install chromium)")
    path = tmp_path / "report.html"
    path.write_text(page, encoding="utf-8")
    dom = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                          "--virtual-time-budget=3000", "--dump-dom", path.as_uri()],
                         capture_output=True, text=True, timeout=120, check=True, env=browser_env()).stdout
    found = elements(dom)
    assert_inert(found)
    body, = (attrs for tag, attrs in found.tags if tag == "body")
    assert body == {"class": "zelka-report"}  # no script set data-pwned
    title = dom[dom.index("<title>") + 7:dom.index("</title>")]
    assert html.unescape(title) == "Farm check of 2 farms"  # no script renamed the page
