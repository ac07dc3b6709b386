"""A farm's record files through the whole of py_zelka.

    python examples/tour.py                 # the farm shipped in examples/data
    python examples/tour.py --data DIR      # another farm's folder, same file names
    python examples/tour.py --plot out.png  # also draw the profiles and the production

The folder holds parameters.yaml, management.yaml, weather.csv,
inventory.csv, production.csv and selection.csv.  The script shows what the
simulation would be given: the parameter set, the dispersion of flowering,
sucker selection and harvest, the weather period and its week numbering, the
population inventory, the ribbon production, the sucker selection totals and
the replacement schedule; the data-quality notices of the reads come last, as
warnings.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, cast

from py_zelka.cropcare import CropCare
from py_zelka.dispersion import (
    DispersionProfile,
    build_dispersion_profile,
    hazard_from_shares,
    hazard_from_table,
)
from py_zelka.notices import NoticeLog, ZelkaDataNotice
from py_zelka.parameters import ParameterSet
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from py_zelka.readers.inventory_reader import PopulationInventoryReader
from py_zelka.weather import ColumnMap, WeatherProvider

DEFAULT_DATA = Path(__file__).resolve().parent / "data"
PROFILE_WEEKS = 12


def heading(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    """Print rows as an aligned table: text left, numbers right."""

    def cell(value: Any) -> str:
        if value is None:
            return "-"
        if isinstance(value, float):
            return f"{value:.4f}" if abs(value) < 10 else f"{value:.1f}"
        return str(value)

    cells = [[cell(v) for v in row] for row in rows]
    numeric = [all(isinstance(row[i], (int, float)) or row[i] is None for row in rows) for i in range(len(headers))]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]

    def line(values: Sequence[str]) -> str:
        return "  ".join(v.rjust(w) if num else v.ljust(w) for v, w, num in zip(values, widths, numeric)).rstrip()

    print(line(headers))
    print(line(["-" * w for w in widths]))
    for row in cells:
        print(line(row))


def show_parameters(data: Path) -> ParameterSet:
    heading("Parameter set")
    params = ParameterSet.from_yaml(data / "parameters.yaml")
    defaults = ParameterSet.from_kessot_defaults()
    print(f"loaded from {data / 'parameters.yaml'}; provenance {params.source}")
    changed = [
        (section, key, getattr(defaults, section)[key], value)
        for section in ("general", "flowering", "sucker_selection", "harvest", "mortality_replacement")
        for key, value in getattr(params, section).items()
        if getattr(defaults, section).get(key) != value
    ]
    print("differences from the Kessot defaults:")
    table(["section", "key", "default", "farm"], [(s, k, str(d), str(v)) for s, k, d, v in changed])
    params = params.override("harvest", {"threshold_dd": params.harvest["threshold_dd"] + 50.0}, source="trial-late-harvest")
    print(f"after one override of harvest.threshold_dd: {params.harvest['threshold_dd']} degree-days, "
          f"provenance {params.source}")
    return params


def show_dispersion(params: ParameterSet) -> dict[str, DispersionProfile]:
    heading("Dispersion after each threshold")
    profiles = {
        section: build_dispersion_profile(
            getattr(params, section)["amplitude"],
            getattr(params, section)["peak_weeks"],
            getattr(params, section)["spread"],
        )
        for section in ("flowering", "sucker_selection")
    }
    for section, profile in profiles.items():
        print(f"{section}: peak week {getattr(params, section)['peak_weeks']}, "
              f"{len(profile.shares)} weeks until the whole cohort is done")
    basis = params.general["rate_basis"]
    hazard_weeks = params.harvest["hazard_weeks"]
    harvest: Callable[[int], float]
    if basis == "cohort":
        harvest = lambda week: hazard_from_shares(week, hazard_weeks)  # noqa: E731
    else:
        harvest = lambda week: hazard_from_table(week, hazard_weeks)  # noqa: E731
    print(f"harvest: hazard_weeks {hazard_weeks} read under rate_basis {basis!r}")
    rows = []
    for week in range(PROFILE_WEEKS + 1):
        row: list[Any] = [week]
        for profile in profiles.values():
            row += [profile.share(week), profile.fraction_done(week), profile.hazard(week)]
        row.append(harvest(week))
        rows.append(row)
    table(
        ["week", "flower share", "done", "hazard", "select share", "done", "hazard", "harvest hazard"],
        rows,
    )
    return profiles


def show_weather(data: Path, params: ParameterSet) -> WeatherProvider:
    heading("Weather")
    read = WeatherFileReader.read(data / "weather.csv", ColumnMap(date="date", tmean="tmean"))
    weather = read.data
    provider = WeatherProvider.from_table(weather, week_length_days=params.general["week_length_days"])
    base = params.general["base_temperature_c"]
    days = len(weather)
    degree_days = (weather["tmean"] - base).clip(lower=0).sum()
    end = provider.end
    assert end is not None  # a provider made from a table spans its dates
    last_week = provider.week_index_for_date(end)
    print(f"{days} days from {provider.start} to {provider.end}: model weeks 0 to {last_week} "
          f"of {provider.week_length_days} days")
    print(f"mean temperature {weather['tmean'].mean():.1f} °C; {degree_days:.0f} degree-days above {base} °C, "
          f"{degree_days / (last_week + 1):.1f} a week")
    return provider


def show_inventory(data: Path) -> NoticeLog:
    heading("Population inventory")
    read = PopulationInventoryReader.read(data / "inventory.csv")
    inventory = read.data
    by = inventory.groupby(["chain", "tag"], sort=True).agg(
        cohorts=("population", "size"), plants=("population", "sum"), oldest=("age_weeks", "max")
    )
    rows = []
    for key, r in by.iterrows():
        chain, tag = cast(tuple[str, str], key)  # a two-level group key
        rows.append((chain, tag or "(untagged)", int(r.cohorts), float(r.plants), int(r.oldest)))
    table(["chain", "tag", "cohorts", "plants", "oldest (weeks)"], rows)
    totals = inventory.groupby("chain")["population"].sum()
    print("plants by chain: " + ", ".join(f"{chain} {total:.0f}" for chain, total in totals.items()))
    return read.notices


def show_production(data: Path, provider: WeatherProvider) -> tuple[RibbonProductionData, NoticeLog]:
    heading("Ribbon production")
    read = RibbonProductionData.from_file(data / "production.csv", provider)
    production = read.data
    weeks = sorted({week for tag in production.tags() for week in range(60) if production.observation(tag, week)})
    print(f"tags {', '.join(production.tags())}; harvest weeks {weeks[0]} to {weeks[-1]}")
    rows = []
    for week in weeks:
        cut = [production.observation(tag, week) for tag in production.tags()]
        rows.append([week] + [None if o is None else o.cut for o in cut])
    print("bunches cut per tag and model week:")
    table(["week", *production.tags()], rows)
    return production, read.notices


def show_selection(data: Path, provider: WeatherProvider) -> NoticeLog:
    heading("Sucker selection")
    read = SuckerSelectionData.from_file(data / "selection.csv", provider)
    selection = read.data
    covered = [week for week in range(200) if selection.week_is_covered(week)]
    surveys = [(week, selection.total(week)) for week in covered if selection.total(week) is not None]
    print(f"weeks {covered[0]} to {covered[-1]} covered, {len(surveys)} of them with a survey; "
          "suckers selected per week:")
    per_line = 4
    rows = [sum(surveys[i:i + per_line], ()) for i in range(0, len(surveys), per_line)]
    table(["week", "selected"] * per_line, [row + (None,) * (2 * per_line - len(row)) for row in rows])
    return read.notices


def show_schedule(data: Path) -> CropCare:
    heading("Replacement suckers")
    care = CropCare.from_yaml(data / "management.yaml")
    weeks = sorted(care.replacement_schedule)
    table(["week", "suckers"], [(week, care.replacement_suckers_for_week(week)) for week in weeks])
    total = sum(care.replacement_suckers_for_week(week) for week in range(weeks[-1] + 1))
    print(f"{total:.1f} replacement suckers over weeks 0 to {weeks[-1]}; a week without an entry gets "
          f"{care.replacement_suckers_for_week(weeks[-1] + 1)}")
    return care


def plot(path: Path, profiles: dict[str, DispersionProfile], production: RibbonProductionData) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"--plot needs matplotlib, which is not installed (pip install matplotlib); {path} not written",
              file=sys.stderr)
        return
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
    for name, profile in profiles.items():
        left.plot(range(len(profile.shares)), profile.shares, marker="o", label=name)
    left.set(xlabel="weeks since threshold", ylabel="share of the cohort", title="Dispersion profiles")
    left.legend()
    weeks = range(60)
    for tag in production.tags():
        cut = [getattr(production.observation(tag, w), "cut", None) for w in weeks]
        points = [(w, c) for w, c in zip(weeks, cut) if c is not None]
        if points:
            right.plot(*zip(*points), marker=".", label=tag)
    right.set(xlabel="model week", ylabel="bunches cut", title="Production by ribbon tag")
    right.legend(fontsize="small", ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="the farm's folder (default: %(default)s)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the profiles and the production")
    args = parser.parse_args(argv)

    print(f"py_zelka tour of the farm in {args.data}")
    params = show_parameters(args.data)
    profiles = show_dispersion(params)
    provider = show_weather(args.data, params)
    logs = [show_inventory(args.data)]
    production, notices = show_production(args.data, provider)
    logs.append(notices)
    logs.append(show_selection(args.data, provider))
    show_schedule(args.data)

    heading("Data-quality notices")
    count = sum(len(log) for log in logs)
    print(f"{count} notice(s) from the reads, shown as {ZelkaDataNotice.__name__} warnings:")
    with warnings.catch_warnings():
        warnings.simplefilter("always", ZelkaDataNotice)
        warnings.showwarning = lambda message, category, *rest: print(f"  {category.__name__}: {message}")
        for log in logs:
            log.emit_warnings()

    if args.plot:
        plot(args.plot, profiles, production)
    return 0


if __name__ == "__main__":
    sys.exit(main())
