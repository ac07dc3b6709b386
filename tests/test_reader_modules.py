"""The reader modules' namespaces and classes, as declared (one test per rule,
every reader module a case)."""

from __future__ import annotations

import dataclasses
import importlib
import pathlib
import subprocess
import sys

import pandas as pd
import pytest

from py_zelka import exceptions, notices
from py_zelka.cohorts import ChainKind

READERS = {
    "climate_reader": {
        "names": ["Path", "TYPE_CHECKING", "pd", "WeatherError", "NoticeLog", "ReadResult",
                  "_read_table", "_require_columns", "WeatherFileReader"],
        "objects": {"pd": pd, "WeatherError": exceptions.WeatherError},
        "constants": {},
        "reader": "WeatherFileReader",
        "data": None,
    },
    "inventory_reader": {
        "names": ["Path", "pd", "ChainKind", "CohortChainError", "NoticeLog", "ReadResult",
                  "_normalize_tag", "_read_table", "_require_columns", "_REQUIRED_COLUMNS",
                  "_TEXT_COLUMNS", "_VALID_CHAINS", "PopulationInventoryReader"],
        "objects": {"Path": pathlib.Path, "pd": pd, "ChainKind": ChainKind},
        "constants": {"_REQUIRED_COLUMNS": ("chain", "population", "age_weeks"),
                      "_TEXT_COLUMNS": ("tag",),
                      "_VALID_CHAINS": {member.value for member in ChainKind}},
        "reader": "PopulationInventoryReader",
        "data": None,
    },
    "harvest_tag_reader": {
        "names": ["dataclass", "Path", "TYPE_CHECKING", "pd", "RibbonDataError", "Notice",
                  "NoticeKind", "NoticeLog", "ReadResult", "_normalize_tag", "_read_table",
                  "_require_columns", "_REQUIRED_COLUMNS", "_EXTENSION_COLUMNS",
                  "_NUMERIC_COLUMNS", "HarvestTagReader", "ProductionObservation",
                  "_optional_float", "RibbonProductionData"],
        "objects": {"dataclass": dataclasses.dataclass, "pd": pd,
                    "RibbonDataError": exceptions.RibbonDataError,
                    "NoticeLog": notices.NoticeLog},
        "constants": {"_REQUIRED_COLUMNS": ("tag", "date", "bagged", "cut", "age_at_cut"),
                      "_EXTENSION_COLUMNS": ("field_losses", "rejected", "processed"),
                      "_NUMERIC_COLUMNS": ("bagged", "cut", "age_at_cut", "field_losses",
                                           "rejected", "processed")},
        "reader": "HarvestTagReader",
        "data": ("RibbonProductionData",
                 ["__init__", "from_file", "tags", "week_is_covered", "observation"]),
    },
    "follower_choice_reader": {
        "names": ["Path", "TYPE_CHECKING", "pd", "SuckerSelectionError", "NoticeLog",
                  "ReadResult", "_read_table", "_require_columns", "_REQUIRED_COLUMNS",
                  "FollowerChoiceReader", "SuckerSelectionData"],
        "objects": {"pd": pd, "SuckerSelectionError": exceptions.SuckerSelectionError},
        "constants": {"_REQUIRED_COLUMNS": ("date", "parous_count", "nulliparous_count")},
        "reader": "FollowerChoiceReader",
        "data": ("SuckerSelectionData", ["__init__", "from_file", "week_is_covered", "total"]),
    },
}


def module(name):
    return importlib.import_module("py_zelka.readers." + name)


@pytest.mark.parametrize("name", READERS)
def test_module_names_are_bound_in_order(name):
    shape, mod = READERS[name], module(name)
    assert [n for n in vars(mod) if n in shape["names"]] == shape["names"]
    for attr, expected in shape["objects"].items():
        assert getattr(mod, attr) is expected
    for attr, expected in shape["constants"].items():
        value = getattr(mod, attr)
        assert value == expected and type(value) is type(expected)
    assert "ColumnMap" not in vars(mod) and "WeatherProvider" not in vars(mod)


@pytest.mark.parametrize("name", READERS)
def test_importing_the_module_does_not_import_weather(name):
    code = f"import sys, py_zelka.readers.{name}; print('py_zelka.weather' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize("name", READERS)
def test_classes_are_shaped_as_declared(name):
    shape, mod = READERS[name], module(name)
    reader = getattr(mod, shape["reader"])
    assert reader.__bases__ == (object,)
    assert [k for k in vars(reader) if not k.startswith("__")] == ["read"]
    assert isinstance(vars(reader)["read"], staticmethod) and reader.read.__doc__
    if shape["data"]:
        cls_name, members = shape["data"]
        cls = getattr(mod, cls_name)
        assert cls.__bases__ == (object,) and not dataclasses.is_dataclass(cls)
        assert "__slots__" not in vars(cls)
        assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == members
        assert isinstance(vars(cls)["from_file"], classmethod)
        assert all(getattr(cls, member).__doc__ for member in members)
