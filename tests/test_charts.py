"""The report's charts: the weather at any length, several values a day, many
ribbon tags, tags named after colours, and SVG that is the same every time."""

from __future__ import annotations

import base64
import datetime as dt
import math
import random
import re
import shutil
from collections import Counter
from pathlib import Path

import pytest

from py_zelka.farm import EXAMPLE_FARM, check_farm, html_report

pytest.importorskip("matplotlib")
from matplotlib.colors import to_hex  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.path import Path as MplPath  # noqa: E402

MESSY = Path(__file__).parent / "data" / "farms" / "messy"
DAY0 = dt.date(2024, 1, 1)


@pytest.fixture
def drawn(monkeypatch) -> dict:
    """The axes of every chart drawn, by title."""
    axes = {}
    savefig = Figure.savefig

    def recording(figure, *args, **kwargs):
        axes.update({a.get_title("left"): a for a in figure.axes})
        return savefig(figure, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", recording)
    return axes


def farm(tmp_path, weather=None, production=None) -> Path:
    """The example farm with its weather rows (when, value) -- when a day
    counted from 2024-01-01 or a datetime -- or its production rows (tag,
    week, cut) in place of its own."""
    folder = Path(shutil.copytree(EXAMPLE_FARM, tmp_path / "farm"))
    if weather is not None:
        (folder / "weather.csv").write_text("date,tmean\n" + "".join(
            f"{DAY0 + dt.timedelta(days=when) if isinstance(when, int) else when},{value}\n"
            for when, value in weather), encoding="utf-8")
    if production is not None:
        (folder / "production.csv").write_text(
            "tag,date,bagged,cut,age_at_cut,field_losses,processed\n" + "".join(
                f"{t},{DAY0 + dt.timedelta(weeks=w)},{c},{c},11,1,{c - 1}\n" for t, w, c in production),
            encoding="utf-8")
    return folder


def daily(days: int, missing=()):
    """A season and the weather's noise, one value a day."""
    noise = random.Random(days)
    return [(d, f"{24 + 2.5 * math.sin(d / 58.1) + noise.gauss(0, 0.9):.1f}")
            for d in range(days) if d not in missing]


def weather_axes(drawn, folder):
    page = check_farm(folder).to_html()
    return drawn["Weather: mean temperature"], page


def by_label(axes) -> dict:
    return {artist.get_label(): artist for artist in [*axes.lines, *axes.patches, *axes.collections]}


def spans(patch) -> list[tuple[float, float]]:
    """The (from, to) of each closed rectangle of a patch, in date numbers."""
    path = patch.get_path()
    starts = [i for i, code in enumerate(path.codes) if code == MplPath.MOVETO]
    return [(path.vertices[i][0], path.vertices[i + 1][0]) for i in starts]


def runs(values) -> list[list]:
    """The runs of a sequence between its NaNs."""
    out = [[]]
    for v in values:
        out.append([]) if v != v else out[-1].append(v)
    return [r for r in out if r]


@pytest.mark.parametrize(("missing", "alone"), [
    ((), 0), ({10}, 0), ({10, 11, 12, 50, 80}, 0),
    ({10, 12, 13, 15}, 2),  # days 11 and 14 have no neighbour: dots
])
def test_the_line_breaks_at_every_missing_day(drawn, tmp_path, missing, alone):
    axes, _ = weather_axes(drawn, farm(tmp_path, weather=daily(120, missing)))
    line = by_label(axes)["mean temperature"]
    day0 = line.get_xdata()[0]
    y_nan = [x if y == y else y for x, y in zip(line.get_xdata() - day0, line.get_ydata())]
    expected = runs([float("nan") if d in missing else d for d in range(120)])
    assert runs(y_nan) == expected
    gaps = [(r[-1] + 1, n[0]) for r, n in zip(expected, expected[1:])]
    shade = by_label(axes).get("days without a value")
    assert (spans(shade) if shade else []) == [(day0 + a, day0 + b) for a, b in gaps]
    dots = by_label(axes).get("_days alone")
    assert list(dots.get_xdata() - day0 if dots else []) == [r[0] for r in expected if len(r) == 1]
    assert len(dots.get_xdata() if dots else []) == alone


@pytest.mark.parametrize(("days", "label", "lines"), [
    (120, "model weeks (7 days)", 18),  # weeks 0 to 17 and the end of the last
    (456, "_months", 14),               # February 2024 to March 2025
    (24_000, "_years", 65),             # 2025 to 2089 (the series ends on 2089-09-16)
])
def test_guide_lines_only_as_many_as_can_be_seen(drawn, tmp_path, days, label, lines):
    axes, _ = weather_axes(drawn, farm(tmp_path, weather=daily(days)))
    guides = [line for line in axes.lines if line.get_label() in ("model weeks (7 days)", "_months", "_years")]
    assert [g.get_label() for g in guides] == [label]
    assert len(guides[0].get_xdata()) == 3 * lines


@pytest.mark.parametrize(("days", "missing", "line", "points", "gaps"), [
    # 24,000 days without a whole year and one more day: monthly means
    (24_000, set(range(2000, 2365)) | {12345}, "monthly mean temperature", 789, 2),
    (2000, {700}, "weekly mean temperature", 286, 1),
])
def test_a_long_series_stays_light_and_its_gaps_in_sight(drawn, tmp_path, days, missing, line, points,
                                                          gaps):
    axes, page = weather_axes(drawn, farm(tmp_path, weather=daily(days, missing)))
    assert len(page.encode()) < 300_000
    mean = by_label(axes)[line]
    assert len(mean.get_xdata()) == points
    shaded = spans(by_label(axes)["days without a value"])
    assert len(shaded) == gaps and min(b - a for a, b in shaded) >= 0.004 * days
    assert len(charts_of(page)["weather"]) < 120_000


def stacked(days):  # two stations in one file, the second 3 degrees cooler
    return [row for d, v in daily(days) for row in ((d, v), (d, f"{float(v) - 3:.2f}"))]


def hourly(days):
    return [(dt.datetime(2024, 1, 1) + dt.timedelta(hours=h), f"{20 + h % 24 / 4:.2f}")
            for h in range(24 * days)]


@pytest.mark.parametrize(("rows", "label", "marks"), [
    (stacked(60), "every value (60 of 60 days have several)", 120),
    (hourly(456), "lowest to highest value of a day (456 of 456 days have several)", 3 * 456),
    (daily(3000) + [(d, "19.0") for d in range(1000, 1365)], "days with several values (365)", 1),
])
def test_several_values_on_a_day_are_drawn_as_such(drawn, tmp_path, rows, label, marks):
    axes, _ = weather_axes(drawn, farm(tmp_path, weather=rows))
    found = by_label(axes)
    assert "mean temperature" not in found
    artist = found[label]
    assert (len(artist.get_xdata()) if hasattr(artist, "get_xdata") else len(spans(artist))) == marks


def harvest(tags: list[str]):
    """Each tag cuts i + 1 bunches a week in weeks 40 to 43 (the later, the more)."""
    return [(tag, week, i + 1) for i, tag in enumerate(tags) for week in range(40, 44)]


@pytest.mark.parametrize(("tags", "legend"), [
    ([f"t{i:02d}" for i in range(8)], [f"t{i:02d}" for i in range(8)]),
    ([f"t{i:02d}" for i in range(13)], [f"t{i:02d}" for i in range(13)]),
    ([f"t{i:02d}" for i in range(30)], [f"t{i:02d}" for i in range(18, 30)] + ["other (18 tags)"]),
])
def test_many_tags_show_the_largest_and_one_other_band(drawn, tmp_path, tags, legend):
    check_farm(farm(tmp_path, production=harvest(tags))).to_html()
    axes = drawn["Bunches cut per week, by ribbon tag"]
    assert [t.get_text() for t in axes.get_legend().get_texts()] == legend
    heights = sum(v[2][1] - v[0][1] for p in axes.patches for v in
                  (p.get_path().vertices[i:i + 5] for i in range(0, len(p.get_path().vertices), 5)))
    assert heights == sum(cut for _, _, cut in harvest(tags))


@pytest.mark.parametrize(("tag", "colour"), [
    ("Dark Green", "darkgreen"), ("dark-green", "darkgreen"), ("Light Blue", "lightblue"),
    ("LightBlue", "lightblue"), ("sky_blue", "skyblue"), ("Dusty Rose", "xkcd:dusty rose"),
    ("tab:olive", "tab:olive"), ("#1F77B4", "#1f77b4"), ("navy", "navy"),
])
def test_tags_named_after_colours_are_drawn_in_them(drawn, tmp_path, tag, colour):
    check_farm(farm(tmp_path, production=harvest([tag, "north", "south"]))).to_html()
    axes = drawn["Bunches cut per week, by ribbon tag"]
    drawn_colour = {p.get_label(): to_hex(p.get_facecolor()) for p in axes.patches}
    assert drawn_colour[tag] == to_hex(colour)  # the legend writes the tag as the file does
    assert to_hex(colour) not in (drawn_colour["north"], drawn_colour["south"])


@pytest.mark.parametrize("label", ["tag", "Band"])
def test_the_legend_spells_each_tag_as_the_file_first_does(tmp_path, label):
    folder = farm(tmp_path, production=harvest(["Red", "red ", "Dark Green", "DARK GREEN"]))
    table = folder / "production.csv"
    table.write_text(table.read_text().replace("tag", label, 1))
    if label != "tag":
        (folder / "farm.yaml").write_text(f"production: {{columns: {{tag: {label}}}}}\n")
    assert check_farm(folder).tag_spellings == {"red": "Red", "dark green": "Dark Green"}


def charts_of(page: str) -> dict[str, str]:
    """The SVG of each chart of a one-farm page (an image, as a data: URI)."""
    return {kind: base64.b64decode(data).decode() for kind, data in re.findall(
        r'data-chart="(\w+)"><img src="data:image/svg\+xml;base64,([^"]+)"', page)}


def svgs(page: str) -> list[str]:
    return [base64.b64decode(data).decode()
            for data in re.findall(r'src="data:image/svg\+xml;base64,([^"]+)"', page)]


@pytest.mark.parametrize(("farms", "charts"), [([EXAMPLE_FARM], 3), ([EXAMPLE_FARM, MESSY], 5)])
def test_svg_is_the_same_every_time_and_its_ids_unique(farms, charts):
    page = html_report([check_farm(f) for f in farms])
    assert html_report([check_farm(f) for f in farms]) == page
    ids = Counter()
    for svg in set(svgs(page)):  # (a chart drawn twice the same is one)
        declared = re.findall(r' id="([^"]+)"', svg)
        referred = re.findall(r'href="#([^"]+)"', svg) + re.findall(r"url\(#([^)]+)\)", svg)
        assert len(declared) == len(set(declared)) and set(referred) <= set(declared)
        ids.update(declared)
    assert len(svgs(page)) == charts and [i for i, n in ids.items() if n > 1] == []
