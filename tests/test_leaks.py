"""Reference leaks: every operation, on its successful path and on each of its
error paths, repeated thousands of times, leaves the number of allocated
memory blocks and of live objects where it was (within a small bound)."""

from __future__ import annotations

import datetime
import gc
import sys
import warnings

import pandas as pd
import pytest

from py_zelka import cropcare, dispersion, notices, parameters, weather
from py_zelka.readers import _common
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import FollowerChoiceReader, SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import (HarvestTagReader, RibbonProductionData,
                                                 _optional_float)
from py_zelka.readers.inventory_reader import PopulationInventoryReader

# Repetitions of one operation, and how much may remain after them: a leak of
# one block or object per call leaves thousands behind, far above the bound.
CHEAP = 5000
COSTLY = 800  # operations that read a file
BLOCK_BOUND = 200
OBJECT_BOUND = 50


def counts() -> tuple[int, int]:
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


def assert_no_growth(operation, repeats: int, warm_up: int = 50, rounds: int = 3,
                     block_bound: int = BLOCK_BOUND) -> None:
    """Growth over `repeats` calls within the bounds, in one of `rounds`
    successive rounds: caches that fill while warming up settle, while a
    leak of even one block or object per call fails every round."""

    def once():
        try:
            operation()
        except Exception:
            pass

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(warm_up):  # caches, interned texts, lazily imported modules
            once()
        for _ in range(rounds):
            blocks, objects = counts()
            for _ in range(repeats):
                once()
            blocks_after, objects_after = counts()
            if blocks_after - blocks < block_bound and objects_after - objects < OBJECT_BOUND:
                return
    pytest.fail(f"{repeats} calls: {blocks_after - blocks} more blocks, "
                f"{objects_after - objects} more objects")


PROFILE = dispersion.build_dispersion_profile(1.0, 3.0, 0.5)
PROVIDER = weather.WeatherProvider(datetime.date(2024, 1, 1), end=datetime.date(2024, 12, 31))
PARAMS = parameters.ParameterSet.from_kessot_defaults()
PLAN = cropcare.CropCare({1: 2.0})
NOTICE = notices.Notice(notices.NoticeKind.FEATURE_DISABLED, "rejected", "absent", "Reader",
                        week_index=3, tag="red")


class Fraction2(float):
    """A float subclass: the dispersion functions take the host's path."""


CHEAP_OPERATIONS = {
    # dispersion: C++ path, host path, every error
    "weight": lambda: dispersion.dispersion_weight(3, amplitude=1.0, peak_weeks=2.5, spread=0.4),
    "weight by host": lambda: dispersion.dispersion_weight(
        Fraction2(3), amplitude=1.0, peak_weeks=2.5, spread=0.4),
    "weight zero peak": lambda: dispersion.dispersion_weight(3, amplitude=1.0, peak_weeks=0,
                                                             spread=0.4),
    "weight domain": lambda: dispersion.dispersion_weight(3, amplitude=1.0, peak_weeks=-2.0,
                                                          spread=0.4),
    "weight missing argument": lambda: dispersion.dispersion_weight(3, amplitude=1.0),
    "weight unknown keyword": lambda: dispersion.dispersion_weight(3, amplitude=1.0,
                                                                   peak_weeks=2.0, spread=0.4,
                                                                   width=1),
    "weight text": lambda: dispersion.dispersion_weight("3", amplitude=1.0, peak_weeks=2.0,
                                                        spread=0.4),
    "table": lambda: dispersion.hazard_from_table(7, (0.1, 0.2)),
    "table host": lambda: dispersion.hazard_from_table(2.0, (0.1, 0.2)),
    "table error": lambda: dispersion.hazard_from_table("x", (0.1, 0.2)),
    "shares": lambda: dispersion.hazard_from_shares(2, [0.3, 0.5, 0.2]),
    "shares host": lambda: dispersion.hazard_from_shares(2, (Fraction2(0.3), 0.5)),
    "shares error": lambda: dispersion.hazard_from_shares(2, None),
    "profile cached": lambda: dispersion.build_dispersion_profile(1.0, 3.0, 0.5),
    "profile unhashable": lambda: dispersion.build_dispersion_profile([1.0], 3.0, 0.5),
    "share": lambda: (PROFILE.share(2), PROFILE.fraction_done(2), PROFILE.hazard(2)),
    "share host": lambda: (PROFILE.share(2.0), PROFILE.fraction_done(True), PROFILE.hazard(2.0)),
    "share error": lambda: PROFILE.share(None),
    "share wrong self": lambda: dispersion.DispersionProfile.share(5, 1),
    # notices
    "emit": lambda: notices.NoticeLog([NOTICE, NOTICE]).emit_warnings(),
    "emit error": lambda: notices.NoticeLog([5]).emit_warnings(),
    # weather
    "week index": lambda: PROVIDER.week_index_for_date(datetime.date(2024, 3, 1)),
    "week index outside": lambda: PROVIDER.week_index_for_date(datetime.date(2025, 3, 1)),
    "week index missing": lambda: PROVIDER.week_index_for_date(None),
    "week index type": lambda: PROVIDER.week_index_for_date("2024-03-01"),
    "provider": lambda: weather.WeatherProvider(datetime.date(2024, 1, 1), week_length_days=7),
    "provider errors": lambda: weather.WeatherProvider(datetime.date(2024, 1, 1),
                                                       week_length_days=0),
    "provider end": lambda: weather.WeatherProvider(datetime.date(2024, 1, 1),
                                                    end=datetime.date(2023, 1, 1)),
    "provider repr": lambda: repr(PROVIDER),
    # parameters
    "override": lambda: PARAMS.override("flowering", {"amplitude": 2.0}),
    "override unknown key": lambda: PARAMS.override("flowering", {"nope": 2.0}),
    "override unknown section": lambda: PARAMS.override("nope", {}),
    "override rate basis": lambda: PARAMS.override("general", {"rate_basis": "x"}),
    "from mapping missing": lambda: parameters.ParameterSet._from_mapping({}, source_tag="x"),
    # cropcare
    "suckers": lambda: (PLAN.replacement_suckers_for_week(1),
                        PLAN.replacement_suckers_for_week(2)),
    "suckers unhashable": lambda: PLAN.replacement_suckers_for_week([]),
    # readers' support
    "normalize": lambda: (_common._normalize_tag(" Red "), _common._normalize_tag(None),
                          _common._normalize_tag("Ünï")),
    "optional float": lambda: (_optional_float(2), _optional_float("x")),
    "require": lambda: _common._require_columns(pd.DataFrame({"a": [1]}), ["a", "b"],
                                                context="file", error_cls=ValueError),
}


@pytest.mark.parametrize("name", CHEAP_OPERATIONS)
def test_no_growth(name):
    assert_no_growth(CHEAP_OPERATIONS[name], CHEAP)


FILES = {
    "weather.csv": "date,tmean\n2024-01-01,25.0\n2024-01-09,26.5\n",
    "weather-bad-date.csv": "date,tmean\nsomeday,25.0\n",
    "weather-mixed.csv": "date,tmean\n13/01/2024,25.0\n01/02/2024,25.0\n",
    "inventory.csv": "chain,population,age_weeks,tag\nvegetative,100,3,Red\n",
    "inventory-chain.csv": "chain,population,age_weeks\nwoody,100,3\n",
    "inventory-age.csv": "chain,population,age_weeks\nvegetative,100,2.5\n",
    "production.csv": ("tag,date,bagged,cut,age_at_cut,field_losses,rejected,processed\n"
                       "red,2024-01-01,10,5,30,0,1,4\nblue,2024-01-09,10,0,,0,0,0\n"),
    "production-ext.csv": "tag,date,bagged,cut,age_at_cut\nred,2024-01-01,10,5,30\n",
    "production-dup.csv": ("tag,date,bagged,cut,age_at_cut\nred,2024-01-01,10,5,30\n"
                           "red,2024-01-01,10,5,30\n"),
    "production-neg.csv": "tag,date,bagged,cut,age_at_cut\nred,2024-01-01,-1,5,30\n",
    "production-age.csv": "tag,date,bagged,cut,age_at_cut\nred,2024-01-01,1,5,\n",
    "production-balance.csv": ("tag,date,bagged,cut,age_at_cut,rejected,processed\n"
                               "red,2024-01-01,1,5,30,1,1\n"),
    "selection.csv": "date,parous_count,nulliparous_count\n2024-01-01,3,4\n2024-01-09,1,\n",
    "selection-dup.csv": "date,parous_count,nulliparous_count\n2024-01-01,3,4\n2024-01-01,3,4\n",
    "selection-neg.csv": "date,parous_count,nulliparous_count\n2024-01-01,-3,4\n",
    "selection-missing.csv": "date,parous_count\n2024-01-01,3\n",
    "plan.yaml": "replacement_schedule:\n  1: 2\n  3: 4.5\n",
    "plan-bad.yaml": "replacement_schedule:\n  x: 2\n",
    "params-bad.yaml": "general: {}\n",
}


@pytest.fixture
def files(write_file, tmp_path):
    """The directory holding FILES."""
    for name, text in FILES.items():
        write_file(name, text)
    return tmp_path


FILE_OPERATIONS = {
    "weather": lambda d: WeatherFileReader.read(d / "weather.csv"),
    "weather errors": lambda d: (_try(WeatherFileReader.read, d / "weather-bad-date.csv"),
                                 _try(WeatherFileReader.read, d / "weather-mixed.csv"),
                                 _try(WeatherFileReader.read, d / "inventory.csv"),
                                 _try(WeatherFileReader.read, d / "absent.csv")),
    "provider from table": lambda d: weather.WeatherProvider.from_table(
        WeatherFileReader.read(d / "weather.csv").data),
    "inventory": lambda d: PopulationInventoryReader.read(d / "inventory.csv"),
    "inventory errors": lambda d: (_try(PopulationInventoryReader.read, d / "inventory-chain.csv"),
                                   _try(PopulationInventoryReader.read, d / "inventory-age.csv"),
                                   _try(PopulationInventoryReader.read, d / "weather.csv")),
    "production": lambda d: RibbonProductionData.from_file(d / "production.csv", PROVIDER),
    "production notices": lambda d: HarvestTagReader.read(d / "production-ext.csv"),
    "production errors": lambda d: tuple(
        _try(HarvestTagReader.read, d / f"production-{kind}.csv")
        for kind in ("dup", "neg", "age", "balance")),
    "production outside the weather": lambda d: _try(
        RibbonProductionData.from_file, d / "production.csv",
        weather.WeatherProvider(datetime.date(2024, 1, 5))),
    "selection": lambda d: SuckerSelectionData.from_file(d / "selection.csv", PROVIDER),
    "selection errors": lambda d: tuple(
        _try(FollowerChoiceReader.read, d / f"selection-{kind}.csv")
        for kind in ("dup", "neg", "missing")),
    "plan": lambda d: cropcare.CropCare.from_yaml(d / "plan.yaml"),
    "plan error": lambda d: _try(cropcare.CropCare.from_yaml, d / "plan-bad.yaml"),
    "parameters": lambda d: parameters.ParameterSet.from_kessot_defaults(),
    "parameters error": lambda d: _try(parameters.ParameterSet.from_yaml, d / "params-bad.yaml"),
}


def reads_of_one_operation(name: str) -> int:
    return {"weather errors": 3, "inventory errors": 3, "production errors": 4,
            "selection errors": 3}.get(name, 1)


@pytest.fixture(scope="module")
def pandas_floor(tmp_path_factory) -> int:
    """Blocks that pandas' own read_csv keeps per COSTLY reads of a small file
    (some older pandas versions keep one or more per read)."""
    path = tmp_path_factory.mktemp("floor") / "floor.csv"
    path.write_text(FILES["inventory.csv"])
    for _ in range(200):
        pd.read_csv(path)
    growth = []
    for _ in range(2):
        blocks, _ = counts()
        for _ in range(COSTLY):
            pd.read_csv(path)
        growth.append(counts()[0] - blocks)
    return max(min(growth), 0)


def _try(f, *args):
    try:
        return f(*args)
    except Exception as error:
        return type(error)


@pytest.mark.parametrize("name", FILE_OPERATIONS)
def test_no_growth_reading_files(files, name, pandas_floor):
    operation = FILE_OPERATIONS[name]
    # pandas fills caches of its own over the first few hundred reads, and
    # what its own reader keeps is not ours.
    assert_no_growth(lambda: operation(files), COSTLY, warm_up=200,
                     block_bound=BLOCK_BOUND + pandas_floor * reads_of_one_operation(name))


def test_the_bound_catches_a_leak():
    kept = []  # lists are objects that the collector tracks (object() is not)
    with pytest.raises(pytest.fail.Exception):
        assert_no_growth(lambda: kept.append([]), CHEAP)
