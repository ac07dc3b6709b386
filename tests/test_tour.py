"""zelka tour: a farm's folder read and shown section by section."""

import shutil
import sys
from pathlib import Path

import pytest

import py_zelka
from py_zelka.cli import main

EXAMPLE = Path(py_zelka.__file__).parent / "example_farm"
HEADINGS = ("Parameter set", "Dispersion after each threshold", "Weather", "Population inventory",
            "Ribbon production", "Sucker selection", "Replacement suckers", "Data-quality notices")


def tour(capsys, *args) -> tuple[int, str, str]:
    status = main(["tour", *map(str, args)])
    return (status, *capsys.readouterr())


@pytest.fixture
def farm(tmp_path) -> Path:
    return Path(shutil.copytree(EXAMPLE, tmp_path / "farm b"))


def test_the_example_farm_by_default(capsys):
    status, out, err = tour(capsys)
    assert (status, err) == (0, "")
    assert out.startswith(f"py_zelka tour of the farm in {EXAMPLE}\n")
    assert [h for h in HEADINGS if f"\n{h}\n{'-' * len(h)}\n" not in out] == []
    for line in ("provenance ('parameters', 'trial-late-harvest')",
                 "  30        0.0000  1.0000  1.0000        0.0000  1.0000  1.0000          1.0000",
                 "456 days from 2024-01-01 to 2025-03-31: model weeks 0 to 65 of 7 days",
                 "plants by chain: reproductive 7209, vegetative 8444",
                 "tags black, blue, brown, green, orange, red, white, yellow; harvest weeks 35 to 54",
                 "640.5 replacement suckers over weeks 0 to 46; a week without an entry gets 0.0",
                 "  ZelkaDataNotice: [HarvestTagReader] rejected: 'rejected' column not present in"):
        assert line in out


@pytest.mark.parametrize(("name", "row", "shown"), [
    ("production", "red,2025-03-10,50,45,14,1,44",
     ["harvest weeks 35 to 62", "\n  62      -     -      -      -       -  45.0      -       -\n"]),
    ("selection", "2025-03-17,200,60", ["weeks 1 to 63 covered, 27 of them", "  63     260.0"]),
])
def test_weeks_after_59_are_shown(capsys, farm, name, row, shown):
    # 2025-03-10 and 2025-03-17 fall in model weeks 62 and 63 of the weather's period
    (farm / f"{name}.csv").write_text((farm / f"{name}.csv").read_text(encoding="utf-8") + row + "\n")
    status, out, err = tour(capsys, farm)
    assert (status, err) == (0, "")
    assert [text for text in shown if text not in out] == []


def test_many_tags_show_the_largest_and_the_others_together(capsys, farm):
    # tag i cuts i + 1 bunches in each of weeks 40 to 42: t02 to t13 cut the most
    (farm / "production.csv").write_text("tag,date,bagged,cut,age_at_cut,field_losses,processed\n" + "".join(
        f"t{i:02d},{date},{i + 1},{i + 1},11,1,{i}\n" for i in range(14)
        for date in ("2024-10-07", "2024-10-14", "2024-10-21")), encoding="utf-8")
    status, out, err = tour(capsys, farm)
    assert (status, err) == (0, "")
    assert ("\n14 tags; harvest weeks 40 to 42\n"
            "bunches cut per model week by the 12 tags that cut the most and by the 2 others:\n"
            "week  t02  t03  t04  t05  t06  t07  t08   t09   t10   t11   t12   t13  other\n"
            "----  ---  ---  ---  ---  ---  ---  ---  ----  ----  ----  ----  ----  -----\n"
            + "".join(f"  {w}  3.0  4.0  5.0  6.0  7.0  8.0  9.0  10.0  11.0  12.0  13.0  14.0    3.0\n"
                      for w in (40, 41, 42))) in out


@pytest.mark.parametrize("missing", [["inventory"], ["production"], ["selection"],
                                     ["inventory", "production", "selection"]])
def test_optional_files_may_be_missing(capsys, farm, missing):
    for name in missing:
        (farm / f"{name}.csv").unlink()
    status, out, err = tour(capsys, farm)
    assert (status, err) == (0, "")
    assert [h for h in HEADINGS if f"\n{h}\n" not in out] == []
    for name in missing:
        assert f"\nno {name} file\n" in out
        assert f"  ZelkaDataNotice: [Farm] {name}: no {name} file in " in out


@pytest.mark.parametrize(("name", "old", "new", "error"), [
    ("production.csv", "red,2024-09-02,40,40,", "red,2024-09-02,40,-40,", "line 2, column 'cut': 'cut' is negative"),
    ("inventory.csv", "vegetative,1154,", "vegetative,-1154,", "line 2, column 'population': the population is"),
])
def test_a_farm_with_an_error_is_not_toured(capsys, farm, name, old, new, error):
    path = farm / name
    path.write_text(path.read_text(encoding="utf-8").replace(old, new, 1), encoding="utf-8")
    status, out, err = tour(capsys, farm)
    assert (status, out) == (1, "")
    assert err.startswith(f"farm {farm} has 1 error(s):\n  {name}, {error}")


@pytest.mark.parametrize("missing", [[], ["production"]])
def test_plot(capsys, farm, missing):
    pytest.importorskip("matplotlib")
    for name in missing:
        (farm / f"{name}.csv").unlink()
    status, out, err = tour(capsys, farm, "--plot", farm / "tour.png")
    assert (status, err) == (0, "") and out.endswith(f"\nplot written to {farm / 'tour.png'}\n")
    assert (farm / "tour.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(("renamed", "named"), [
    ({}, {"black", "blue", "brown", "green", "orange", "red", "white", "yellow"}),
    # a letter and a grey level are no colour names; "grey" after "gray" is taken
    ({"black": "b", "white": "0.5", "brown": "gray", "green": "grey", "orange": "north"},
     {"blue", "gray", "red", "yellow"}),
])
def test_plot_draws_tags_named_after_colours_in_them(capsys, farm, monkeypatch, renamed, named):
    colors = pytest.importorskip("matplotlib.colors")
    from matplotlib.figure import Figure
    drawn = []
    savefig = Figure.savefig
    monkeypatch.setattr(Figure, "savefig", lambda self, *a, **k: (drawn.append(self),
                                                                  savefig(self, *a, **k)))
    production = farm / "production.csv"
    lines = production.read_text(encoding="utf-8").splitlines(keepends=True)
    production.write_text("".join(
        renamed.get(line.split(",")[0], line.split(",")[0]) + line[line.index(","):]
        for line in lines), encoding="utf-8")
    status, out, err = tour(capsys, farm, "--plot", farm / "tour.svg")
    assert (status, err) == (0, "")
    [figure] = drawn
    # the farm report's charts, one axes each
    assert [axes.get_title("left") for axes in figure.axes] == [
        "Weather: mean temperature", "Bunches cut per week, by ribbon tag",
        "Dispersion after each threshold", "Harvest hazard"]
    bars = figure.axes[1].patches  # one patch of bars per tag
    colour = {bar.get_label(): colors.to_hex(bar.get_facecolor()) for bar in bars}
    edged = {bar.get_label() for bar in bars if bar.get_linewidth() > 0}
    others = [colour[tag] for tag in colour if tag not in named]
    assert sorted(colour) == sorted(renamed.get(t, t) for t in
                                    ("black", "blue", "brown", "green", "orange", "red", "white", "yellow"))
    assert {tag: colour[tag] for tag in named} == {tag: colors.to_hex(tag) for tag in named}
    assert len(set(colour.values())) == len(colour) and "#ffffff" not in others
    assert edged == named & {"white"}
    svg = (farm / "tour.svg").read_text(encoding="utf-8")
    # (black is SVG's default fill: matplotlib does not write it)
    assert [c for c in colour.values() if c != "#000000" and f"fill: {c}" not in svg] == []


@pytest.mark.parametrize(("name", "start"), [
    ("tour.png", b"\x89PNG\r\n\x1a\n"), ("TOUR.PNG", b"\x89PNG\r\n\x1a\n"), ("tour.pdf", b"%PDF-"),
    ("tour.svg", b"<?xml"), ("tour.x.eps", b"%!PS-Adobe"),
])
def test_plot_writes_the_path_it_names_in_the_format_it_names(capsys, tmp_path, name, start):
    pytest.importorskip("matplotlib")
    written = []
    for run in range(2):
        status, out, err = tour(capsys, "--plot", tmp_path / name)
        assert (status, err) == (0, "") and out.endswith(f"\nplot written to {tmp_path / name}\n")
        assert [p.name for p in tmp_path.iterdir()] == [name]
        written.append((tmp_path / name).read_bytes())
    assert written[0].startswith(start)
    if name.endswith(".svg"):  # the same farm, the same file
        assert written[0] == written[1]


@pytest.mark.parametrize("name", ["tour.txt", "tour", "tour.", ".png", "tour.png.bak"])
def test_plot_in_a_format_it_cannot_write_is_a_usage_error(capsys, tmp_path, name):
    canvas = pytest.importorskip("matplotlib.backend_bases").FigureCanvasBase
    suffixes = [f".{s}" for s in sorted(canvas.get_supported_filetypes())]
    status, out, err = tour(capsys, "--plot", tmp_path / name)
    assert (status, out, list(tmp_path.iterdir())) == (2, "", [])
    assert err == (f"zelka tour: error: argument --plot: {str(tmp_path / name)!r} names no format the "
                   f"plot can be written in; end the file name in {', '.join(suffixes[:-1])} or "
                   f"{suffixes[-1]} (see zelka tour --help)\n")


def test_plot_without_matplotlib(capsys, farm, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # its import fails
    status, out, err = tour(capsys, farm, "--plot", farm / "tour.png")
    assert (status, (farm / "tour.png").exists()) == (1, False) and "\nData-quality notices\n" in out
    assert err.startswith("--plot needs matplotlib, which is not installed")
