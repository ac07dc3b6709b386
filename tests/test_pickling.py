"""Every record and data object travels between processes: it pickles and
unpickles to an equal, working object."""

from __future__ import annotations

import datetime as dt
import pickle
from pathlib import Path

import pytest

from py_zelka.cropcare import CropCare
from py_zelka.dispersion import build_dispersion_profile
from py_zelka.farm import EXAMPLE_FARM
from py_zelka.notices import NoticeLog
from py_zelka.parameters import ParameterSet
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from py_zelka.weather import ColumnMap, WeatherProvider

DATA = Path(EXAMPLE_FARM)
PROVIDER = WeatherProvider(dt.date(2024, 1, 1), end=dt.date(2025, 3, 31))


def roundtrip(value):
    copy = pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(copy) is type(value)
    return copy


@pytest.mark.parametrize(
    "make",
    [
        lambda: ParameterSet.from_yaml(DATA / "parameters.yaml").override("harvest", {}),
        lambda: build_dispersion_profile(1.0, 8, 0.4),
        lambda: build_dispersion_profile(1.0, 10.5, 0.001),
        lambda: CropCare.from_yaml(DATA / "management.yaml"),
        lambda: ColumnMap(tmean=None, heat_units="gdd", dayfirst=True),
        lambda: RibbonProductionData.from_file(DATA / "production.csv", PROVIDER).notices,
        lambda: RibbonProductionData.from_file(DATA / "production.csv", PROVIDER).data.observation("red", 35),
    ],
    ids=["parameters", "profile", "point-mass", "schedule", "column-map", "notice-log", "observation"],
)
def test_records_roundtrip_equal(make):
    value = make()
    assert roundtrip(value) == value


def test_profile_keeps_working():
    profile = roundtrip(build_dispersion_profile(1.0, 40, 0.9))
    reference = build_dispersion_profile(1.0, 40, 0.9)
    assert [profile.hazard(w) for w in range(60)] == [reference.hazard(w) for w in range(60)]


def test_weather_provider_and_read_results():
    provider = roundtrip(PROVIDER)
    assert provider.week_index_for_date(dt.date(2024, 3, 1)) == PROVIDER.week_index_for_date(dt.date(2024, 3, 1))
    weather = roundtrip(WeatherFileReader.read(DATA / "weather.csv"))
    assert type(weather.notices) is NoticeLog and weather.notices == NoticeLog()
    assert weather.data.equals(WeatherFileReader.read(DATA / "weather.csv").data)


def test_data_objects_keep_answering():
    production = RibbonProductionData.from_file(DATA / "production.csv", PROVIDER).data
    copy = roundtrip(production)
    assert copy.tags() == production.tags()
    weeks = range(30, 60)
    assert [copy.observation(t, w) for t in copy.tags() for w in weeks] == [
        production.observation(t, w) for t in production.tags() for w in weeks
    ]
    assert [copy.week_is_covered(w) for w in weeks] == [production.week_is_covered(w) for w in weeks]

    selection = SuckerSelectionData.from_file(DATA / "selection.csv", PROVIDER).data
    copy = roundtrip(selection)
    assert [copy.total(w) for w in range(60)] == [selection.total(w) for w in range(60)]
    assert [copy.week_is_covered(w) for w in range(60)] == [selection.week_is_covered(w) for w in range(60)]
