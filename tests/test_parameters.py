"""Parameter sets: schema, loading, structural and value checks, overrides."""

from __future__ import annotations

import copy
import dataclasses
import gc
import math
import pickle
import types
import typing
import warnings
from pathlib import Path

import pytest
import yaml

import py_zelka.exceptions
from py_zelka import parameters
from py_zelka.parameters import ParameterError, ParameterSet

HINT = (
    ". general.rate_basis is new in 0.3: add 'rate_basis: current_pool' to keep the pre-0.3 "
    "reading (harvest.hazard_weeks as weekly hazards), or 'rate_basis: cohort' (the new "
    "default; hazard_weeks are then shares of the cohort at the harvest threshold)"
)
CAPACITY = (
    "sucker_selection.carrying_capacity only applies under general.rate_basis 'current_pool': "
    "under 'cohort' every mother keeps exactly one follower, so the number of mats is already "
    "constant, and damping the followers would shrink the farm every generation. Set "
    "carrying_capacity to null, or switch rate_basis first."
)
SECTIONS_TEXT = "('general', 'flowering', 'sucker_selection', 'harvest', 'mortality_replacement')"
GENERAL_KEYS = (
    "['base_temperature_c', 'max_age_weeks_reproductive', 'max_age_weeks_vegetative', "
    "'population_epsilon', 'rate_basis', 'week_length_days']"
)


def valid_data(basis="current_pool", capacity=None):
    return {
        "general": {"base_temperature_c": 14.0, "week_length_days": 7, "population_epsilon": 1e-6,
                    "max_age_weeks_vegetative": 60, "max_age_weeks_reproductive": 20,
                    "rate_basis": basis},
        "flowering": {"threshold_dd": 2500.0, "amplitude": 1.0, "peak_weeks": 5.0, "spread": 0.3},
        "sucker_selection": {"threshold_dd": 1000.0, "amplitude": 1.0, "peak_weeks": 2.0,
                             "spread": 0.5, "carrying_capacity": capacity},
        "harvest": {"threshold_dd": 850.0, "hazard_weeks": [0.2, 0.5, 1.0]},
        "mortality_replacement": {"death_rate_vegetative": 0.01, "death_rate_reproductive": 0.02,
                                  "replacement_rate": 0.5},
    }


def load(raw, tag="t"):
    return ParameterSet._from_mapping(raw, source_tag=tag)


def raises(call, *args, **kwargs):
    with pytest.raises(ParameterError) as excinfo:
        call(*args, **kwargs)
    return str(excinfo.value)


def sections_of(ps):
    return {name: getattr(ps, name) for name in parameters._SECTIONS}


# --- module and class -------------------------------------------------------

def test_module_constants_and_import():
    constants = ["_DEFAULTS_PATH", "_SECTIONS", "_RATE_BASES", "_KNOWN_KEYS"]
    assert [name for name in vars(parameters) if name in constants] == constants
    assert parameters._DEFAULTS_PATH == (
        Path(parameters.__file__).parent / "defaults" / "kessot_defaults.yaml")
    assert isinstance(parameters._DEFAULTS_PATH, Path)
    assert str(parameters._SECTIONS) == SECTIONS_TEXT
    assert parameters._RATE_BASES == ("cohort", "current_pool")
    assert list(parameters._KNOWN_KEYS) == list(parameters._SECTIONS)
    assert all(type(keys) is frozenset for keys in parameters._KNOWN_KEYS.values())
    assert str(sorted(parameters._KNOWN_KEYS["general"])) == GENERAL_KEYS
    assert {n: set(k) for n, k in parameters._KNOWN_KEYS.items()} == {
        n: set(s) for n, s in valid_data().items()}
    assert ParameterError is py_zelka.exceptions.ParameterError


def test_record_class_facts():
    fields = dataclasses.fields(ParameterSet)
    assert [(f.name, f.type) for f in fields] == [
        ("general", "Mapping[str, Any]"), ("flowering", "Mapping[str, float]"),
        ("sucker_selection", "Mapping[str, float]"), ("harvest", "Mapping[str, Any]"),
        ("mortality_replacement", "Mapping[str, float]"), ("source", "tuple[str, ...]")]
    assert [f.default for f in fields][-1] == ()
    assert typing.get_type_hints(ParameterSet)["source"] == tuple[str, ...]
    assert (ParameterSet.__module__, ParameterSet.__qualname__) == (
        "py_zelka.parameters", "ParameterSet")
    ps = load(valid_data())
    assert not hasattr(ps, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        ps.source = ()
    assert ParameterSet(*sections_of(ps).values()).source == ()
    for name in ("from_kessot_defaults", "from_yaml", "_from_mapping", "_section_copy",
                 "override", "__post_init__"):
        assert getattr(ParameterSet, name).__doc__


def test_equality_hash_pickle_and_copy():
    a, b = load(valid_data(), "x"), load(valid_data(), "x")
    assert a == b and a != load(valid_data(), "y")
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    for clone in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a)):
        assert clone == a and type(clone) is ParameterSet and clone.general is not a.general


# --- loading ----------------------------------------------------------------

def test_defaults_load_from_installed_package():
    path = parameters._DEFAULTS_PATH
    assert path.is_file() and "site-packages" in path.parts
    ps = ParameterSet.from_kessot_defaults()
    assert ps.source == ("kessot_defaults",)
    assert {n: set(getattr(ps, n)) for n in parameters._SECTIONS} == {
        n: set(k) for n, k in parameters._KNOWN_KEYS.items()}
    assert ps.general["rate_basis"] == "cohort" and ps.sucker_selection["carrying_capacity"] is None
    numbers = [v for name in parameters._SECTIONS for k, v in getattr(ps, name).items()
               if k not in ("rate_basis", "carrying_capacity", "hazard_weeks")]
    assert all(type(v) in (int, float) and v > 0 for v in numbers)
    assert math.isclose(math.fsum(ps.harvest["hazard_weeks"]), 1.0)
    assert ParameterSet.from_kessot_defaults() is not ps  # read afresh


def test_defaults_missing_file(monkeypatch, tmp_path):
    monkeypatch.setattr(parameters, "_DEFAULTS_PATH", tmp_path / "gone.yaml")
    with pytest.raises(FileNotFoundError):
        ParameterSet.from_kessot_defaults()


@pytest.mark.parametrize("name, tag, expected", [
    ("farm_a.yaml", None, "farm_a"), ("farm_a.yaml", "trial", "trial"),
    ("farm_a.yaml", "", "farm_a"), ("farm.b.yml", None, "farm.b")])
def test_source_tag(write_file, name, tag, expected):
    path = write_file(name, yaml.safe_dump(valid_data()))
    for p in (path, str(path)):
        assert ParameterSet.from_yaml(p, source_tag=tag).source == (expected,)
    with pytest.raises(TypeError):
        ParameterSet.from_yaml(path, tag)


def test_yaml_is_read_as_utf8_with_safe_load_and_closed(write_file, monkeypatch):
    text = "# base temperature in °C\n" + yaml.safe_dump(valid_data())
    streams = []
    real = yaml.safe_load
    monkeypatch.setattr(yaml, "safe_load", lambda s: streams.append(s) or real(s))
    assert ParameterSet.from_yaml(write_file("a.yaml", text)) == load(valid_data(), "a")
    assert streams[0].encoding == "utf-8" and streams[0].closed
    with pytest.raises(UnicodeDecodeError):
        ParameterSet.from_yaml(write_file("b.yaml", text, encoding="latin-1"))
    assert streams[1].closed


def test_python_tags_are_refused_not_executed(write_file, tmp_path):
    marker = tmp_path / "executed"
    path = write_file("evil.yaml", f"general: !!python/object/apply:os.mkdir ['{marker}']\n")
    with pytest.raises(yaml.constructor.ConstructorError):
        ParameterSet.from_yaml(path)
    assert not marker.exists()


def host_error(expression, path):
    with pytest.raises(Exception) as excinfo:
        expression(path)
    return excinfo.type, str(excinfo.value)


def parse_file(path):
    with open(path, encoding="utf-8") as stream:
        return yaml.safe_load(stream)


@pytest.mark.parametrize("content, expected", [
    ("", lambda path: "general" in None),
    ("general:\nflowering:\nsucker_selection:\nharvest:\nmortality_replacement:\n",
     lambda path: dict(None)),
    ("- general\n- flowering\n- sucker_selection\n- harvest\n- mortality_replacement\n",
     lambda path: parse_file(path)[parameters._SECTIONS[0]]),
    ("general: [unclosed\n", parse_file),
])
def test_host_errors_pass_through(write_file, content, expected):
    path = write_file("bad.yaml", content)
    error = host_error(expected, path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(Exception) as excinfo:
            ParameterSet.from_yaml(path)
        assert (excinfo.type, str(excinfo.value)) == error
        assert excinfo.value.__cause__ is None
        del excinfo
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_copies_are_plain_and_independent():
    raw = valid_data()
    raw["flowering"] = types.MappingProxyType(raw["flowering"])
    raw["harvest"] = [["threshold_dd", 850.0], ["hazard_weeks", [0.2, 0.5, 1.0]]]
    raw["irrigation"] = {"mm": 3}
    ps = load(raw)
    assert ps == load(valid_data())
    assert all(type(s) is dict for s in sections_of(ps).values())
    assert not hasattr(ps, "irrigation")
    raw["general"]["rate_basis"] = "cohort"
    assert ps.general["rate_basis"] == "current_pool"
    with pytest.raises(TypeError):
        ParameterSet._from_mapping(valid_data())


def test_subclass_loads_as_subclass(write_file):
    class Farm(ParameterSet):
        __slots__ = ()

    path = write_file("f.yaml", yaml.safe_dump(valid_data()))
    assert type(Farm.from_yaml(path)) is Farm and type(Farm.from_kessot_defaults()) is Farm
    assert type(Farm._from_mapping(valid_data(), source_tag="x").override("harvest", {})) \
        is ParameterSet


# --- structural checks --------------------------------------------------------

def broken(**changes):
    raw = valid_data()
    for path, value in changes.items():
        section, _, key = path.partition("__")
        if key:
            if value is None:
                del raw[section][key]
            else:
                raw[section][key] = value
        else:
            del raw[section]
    return raw


@pytest.mark.parametrize("raw, message", [
    (broken(harvest=0, mortality_replacement=0, flowering__spread=None),
     "parameter data is missing section(s): ['harvest', 'mortality_replacement']"),
    (["general", "harvest"], "parameter data is missing section(s): "
     "['flowering', 'sucker_selection', 'mortality_replacement']"),
    (broken(general__rate_basis=None),
     "section 'general': missing key(s) ['rate_basis']; unknown key(s) [] (expected exactly "
     + GENERAL_KEYS + ")" + HINT),
    (broken(general__rate_basis=None, general__week_length=7, general__population_epsilon=None),
     "section 'general': missing key(s) ['population_epsilon', 'rate_basis']; unknown key(s) "
     "['week_length'] (expected exactly " + GENERAL_KEYS + ")" + HINT),
    (broken(general__base_temp=14, harvest__hazard_weeks=None),
     "section 'general': missing key(s) []; unknown key(s) ['base_temp'] (expected exactly "
     + GENERAL_KEYS + ")"),
    (broken(harvest__hazard_weeks=None, harvest__hazard_week=[1.0], general__rate_basis="x"),
     "section 'harvest': missing key(s) ['hazard_weeks']; unknown key(s) ['hazard_week'] "
     "(expected exactly ['hazard_weeks', 'threshold_dd'])"),
    (broken(sucker_selection__rate_basis="cohort", sucker_selection__spread=None),
     "section 'sucker_selection': missing key(s) ['spread']; unknown key(s) ['rate_basis'] "
     "(expected exactly ['amplitude', 'carrying_capacity', 'peak_weeks', 'spread', "
     "'threshold_dd'])"),
    (broken(general__rate_basis="pool"),
     "general.rate_basis must be one of ['cohort', 'current_pool']; got 'pool'"),
    (valid_data("cohort", 500), CAPACITY),
])
def test_load_failures(raw, message):
    assert raises(load, raw) == message


# --- value checks -----------------------------------------------------------------

@pytest.mark.parametrize("basis, capacity, message", [
    ("cohort", None, None), ("cohort", 0, None), ("cohort", 0.0, None),
    ("cohort", 500, CAPACITY), ("cohort", 0.5, CAPACITY),
    ("current_pool", 500, None), ("current_pool", None, None),
    ("pool", None, "general.rate_basis must be one of ['cohort', 'current_pool']; got 'pool'"),
    (3, 500, "general.rate_basis must be one of ['cohort', 'current_pool']; got 3"),
])
def test_value_checks(basis, capacity, message):
    raw = valid_data(basis, capacity)
    if message is None:
        assert load(raw).sucker_selection["carrying_capacity"] == capacity
    else:
        assert raises(load, raw) == message
        assert raises(ParameterSet, **raw) == message


def test_direct_construction_checks_values_only():
    assert raises(ParameterSet, {}, {}, {}, {}, {}) == (
        "general.rate_basis must be one of ['cohort', 'current_pool']; got None")
    ps = ParameterSet(types.MappingProxyType({"rate_basis": "cohort"}), {}, {}, {"x": 1}, {})
    assert ps.harvest == {"x": 1}


# --- overrides ------------------------------------------------------------------------

def test_override_derives_a_new_set():
    old = ParameterSet.from_kessot_defaults()
    before = copy.deepcopy(old)
    same = old.override("harvest", {})
    assert sections_of(same) == sections_of(old) and same != old
    assert same.source == ("kessot_defaults", "override")
    new = same.override("harvest", {"threshold_dd": 950.0}, source="hot_year")
    assert new.source == ("kessot_defaults", "override", "hot_year")
    assert new.harvest["threshold_dd"] == 950.0 and set(new.harvest) == set(old.harvest)
    assert old == before
    assert all(getattr(new, n) is not getattr(same, n) for n in parameters._SECTIONS)
    new.flowering["amplitude"] = 7.0
    assert same.flowering["amplitude"] == old.flowering["amplitude"]
    with pytest.raises(TypeError):
        old.override("harvest", {}, "label")


def test_switch_to_cohort_takes_two_steps():
    pool = load(valid_data("current_pool", 500))
    assert raises(pool.override, "general", {"rate_basis": "cohort"}) == CAPACITY
    cohort = pool.override("sucker_selection", {"carrying_capacity": None}).override(
        "general", {"rate_basis": "cohort"})
    assert cohort.general["rate_basis"] == "cohort"
    assert cohort.source == ("t", "override", "override")


@pytest.mark.parametrize("section, updates, message", [
    ("harvests", {}, "unknown parameter section 'harvests'; expected one of " + SECTIONS_TEXT),
    (None, {}, "unknown parameter section None; expected one of " + SECTIONS_TEXT),
    ("harvest", {"treshold_dd": 1, "threshold_dd": 2, "hazard": 3},
     "unknown key(s) ['treshold_dd', 'hazard'] for section 'harvest'; "
     "known keys are ['hazard_weeks', 'threshold_dd']"),
    ("general", {"rate_basis": "pool"},
     "general.rate_basis must be one of ['cohort', 'current_pool']; got 'pool'"),
])
def test_override_failures(section, updates, message):
    ps = load(valid_data())
    assert raises(ps.override, section, updates) == message
    if message.startswith("unknown parameter"):
        assert raises(ps._section_copy, section) == message


def test_section_copy_is_a_new_plain_dict():
    ps = ParameterSet(types.MappingProxyType({"rate_basis": "cohort"}), {}, {}, {}, {})
    copy_ = ps._section_copy("general")
    assert type(copy_) is dict and copy_ == {"rate_basis": "cohort"}
    assert ps._section_copy("harvest") is not ps.harvest
