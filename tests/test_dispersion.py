"""The dispersion kernel: weights, cached profiles and the three weekly hazards."""

from __future__ import annotations

import dataclasses
import math
import random
import pickle
import struct
from collections import deque
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from py_zelka import dispersion
from py_zelka.dispersion import (
    DispersionProfile,
    build_dispersion_profile,
    dispersion_weight,
    hazard_from_shares,
    hazard_from_table,
)

build = build_dispersion_profile.__wrapped__


class Table:
    """A sequence that is neither a tuple nor a list: measured, tested and
    indexed (and sliced) only through its special methods."""

    def __init__(self, *items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def step_by_step(amplitude, peak_weeks, spread):
    """The profile's two tuples, evaluated step by step in the interpreter."""
    if amplitude <= 0.0:
        return (), ()
    raw, total = [0.0], 0.0
    for week in range(1, dispersion.PROFILE_WEEK_LIMIT):
        z = math.log(week / peak_weeks) / spread
        w = amplitude * math.exp(-0.5 * z * z)
        raw.append(w)
        total += w
        if week > peak_weeks and w <= 1e-15 * (1e-300 if 1e-300 > total else total):
            break
    if total <= 0.0:
        n = round(peak_weeks)
        t = (0.0,) * (n if n > 1 else 1) + (1.0,)
        return t, t
    shares, cumulative, running = [0.0], [0.0], 0.0
    for w in raw[1:]:
        s = w / total
        if running + s >= 1.0 - dispersion.COMPLETION_TOLERANCE:
            shares.append(1.0 - running)
            cumulative.append(1.0)
            break
        running += s
        shares.append(s)
        cumulative.append(running)
    return tuple(shares), tuple(cumulative)


def bits(values):
    return [(type(v), struct.pack("<d", v) if isinstance(v, float) else v) for v in values]


def outcome(call):
    """What a call gives: its result (floats by their bits, a profile by its
    two fields), or the type and message of the error it raises."""
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - the error is the outcome
        return type(error), str(error)
    if isinstance(result, tuple):
        return [bits(part) for part in result]
    if isinstance(result, DispersionProfile):
        return [bits(result.shares), bits(result.cumulative)]
    return bits([result])


def test_module_namespace():
    names = [n for n in vars(dispersion) if not n.startswith("__")]
    assert names == ["math", "Sequence", "dataclass", "lru_cache", "dispersion_weight",
                     "hazard_from_table", "COMPLETION_TOLERANCE", "PROFILE_WEEK_LIMIT",
                     "DispersionProfile", "build_dispersion_profile", "hazard_from_shares"]
    assert dispersion.math is math and dispersion.lru_cache.__module__ == "functools"
    assert (type(dispersion.COMPLETION_TOLERANCE), dispersion.COMPLETION_TOLERANCE) == (float, 1e-06)
    assert (type(dispersion.PROFILE_WEEK_LIMIT), dispersion.PROFILE_WEEK_LIMIT) == (int, 5000)


def test_profile_class():
    p = DispersionProfile((0.0, 1.0), (0.0, 1.0))
    assert DispersionProfile.__annotations__ == {"shares": "tuple[float, ...]",
                                                 "cumulative": "tuple[float, ...]"}
    assert [f.name for f in dataclasses.fields(p)] == ["shares", "cumulative"]
    members = [n for n in vars(DispersionProfile) if n in ("share", "fraction_done", "hazard")]
    assert members == ["share", "fraction_done", "hazard"]
    assert not hasattr(p, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.shares = ()
    assert p == DispersionProfile(shares=(0.0, 1.0), cumulative=(0.0, 1.0))
    assert hash(p) == hash(DispersionProfile((0.0, 1.0), (0.0, 1.0)))
    built = build_dispersion_profile(1.0, 8, 0.4)
    assert pickle.loads(pickle.dumps(built)) == built
    for method in (DispersionProfile.share, DispersionProfile.hazard, build_dispersion_profile):
        assert method.__doc__


SWEEP = [(a, p, s) for a in (1.0, 0.37, 250, 1e-200) for p in (0.3, 1, 2.5, 8, 13.7, 52, 400.25)
         for s in (0.02, 0.1, 0.4, 1.0, 3.0)]
OTHER_NUMBERS = [
    (Fraction(3, 2), Fraction(17, 2), Fraction(2, 5)), (np.float64(1.0), np.float64(8.0), 0.4),
    (np.float32(2.0), 8, np.float32(0.4)), (True, 8, 0.4), (1.0, 2**60, 50.0), (1.0, 8, 2**60),
    (1.0, 1000.0, 0.001), (1e-300, 8, 0.0001), (-1.0, "never read", None), (float("nan"), 3, 0.2),
]
FAILING = [
    (1.0, 0, 0.4), (1.0, 8, 0), (1.0, 0.0, 0.4), (1.0, -8, 0.4), (1.0, float("inf"), 0.4),
    (Decimal("1.5"), 8, 0.4), (1.0, "8", 0.4), (np.float64(1.0), 0.0, 0.4),
]


@pytest.mark.parametrize("args", SWEEP + OTHER_NUMBERS + FAILING)
def test_profile_is_bit_identical_to_step_by_step(args):
    assert outcome(lambda: build(*args)) == outcome(lambda: step_by_step(*args))


def test_regular_profile():
    p = build_dispersion_profile(1.0, 8, 0.4)
    n = len(p.shares)
    assert n == len(p.cumulative) and 2 <= n <= 5000
    assert p.cumulative[-1] == 1.0 and p.shares[-1] == 1.0 - p.cumulative[-2]
    assert all(c < 1.0 - dispersion.COMPLETION_TOLERANCE for c in p.cumulative[:-1])
    assert [p.share(w) for w in (-3, 0, n, n + 5)] == [0.0] * 4
    assert [p.fraction_done(w) for w in (-3, 0, n, n + 5)] == [0.0, 0.0, 1.0, 1.0]
    assert [p.hazard(w) for w in (-3, 0, n - 1, n, 2**70)] == [0.0, 0.0, 1.0, 1.0, 1.0]
    assert p.share(8) is p.shares[8] and p.fraction_done(9) is p.cumulative[9]
    assert p.hazard(5) == p.shares[5] / (1.0 - p.cumulative[4])
    assert (p.share(2**70), p.fraction_done(2**70), p.share(-(2**70))) == (0.0, 1.0, 0.0)


def test_empty_profile():
    p = build_dispersion_profile(0.0, 8, 0.4)
    assert p == DispersionProfile(shares=(), cumulative=())
    for week in (-1, 0, 1, 5, 10**6):
        assert (p.share(week), p.hazard(week), p.fraction_done(week)) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("peak_weeks, week", [(10.5, 10), (11.5, 12), (0.4, 1), (9.5, 10)])
def test_point_mass_falls_in_the_rounded_week(peak_weeks, week):
    p = build(1.0, peak_weeks, 0.001)
    assert p.shares is p.cumulative
    assert p.shares == (0.0,) * week + (1.0,)
    assert [p.hazard(w) for w in range(week + 3)] == [0.0] * week + [1.0] * 3
    assert p.share(week) == 1.0 and p.fraction_done(week - 1) == 0.0


def test_constants_are_read_when_building(monkeypatch):
    monkeypatch.setattr(dispersion, "PROFILE_WEEK_LIMIT", 6)
    monkeypatch.setattr(dispersion, "COMPLETION_TOLERANCE", 0.25)
    assert outcome(lambda: build(1.0, 8, 0.4)) == outcome(lambda: step_by_step(1.0, 8, 0.4))
    assert len(build(1.0, 8, 0.4).shares) <= 6
    monkeypatch.setattr(dispersion, "PROFILE_WEEK_LIMIT", 6.5)
    assert outcome(lambda: build(1.0, 8, 0.4)) == outcome(lambda: range(1, 6.5))
    monkeypatch.delattr(dispersion, "COMPLETION_TOLERANCE")
    monkeypatch.setattr(dispersion, "PROFILE_WEEK_LIMIT", 6)
    with pytest.raises(NameError) as excinfo:
        build(1.0, 8, 0.4)
    assert str(excinfo.value) == "name 'COMPLETION_TOLERANCE' is not defined"


def test_cache():
    build_dispersion_profile.cache_clear()
    first = build_dispersion_profile(1.0, 5, 0.3)
    assert build_dispersion_profile(1.0, 5, 0.3) is first
    assert build_dispersion_profile(1, 5.0, 0.3) is first  # equal numbers share an entry
    by_keyword = build_dispersion_profile(amplitude=1.0, peak_weeks=5, spread=0.3)
    assert by_keyword == first and by_keyword is not first
    with pytest.raises(ZeroDivisionError):
        build_dispersion_profile(1.0, 0, 0.3)
    info = build_dispersion_profile.cache_info()
    assert (info.hits, info.misses, info.maxsize, info.currsize) == (2, 3, 128, 2)
    for k in range(130):
        build_dispersion_profile(1.0, 5, 0.3 + k)
    assert build_dispersion_profile(1.0, 5, 0.3) is not first  # the oldest was dropped
    assert build_dispersion_profile.cache_info().currsize == 128


def test_dispersion_weight():
    assert dispersion_weight(8, amplitude=2.5, peak_weeks=8, spread=0.4) == 2.5
    assert dispersion_weight(0, amplitude=1.0, peak_weeks=0, spread=0) == 0.0
    assert dispersion_weight(weeks_since_threshold=-2, amplitude=1.0, peak_weeks=8, spread=0.4) == 0.0
    z = math.log(3 / 8) / 0.4
    assert dispersion_weight(3, amplitude=1.5, peak_weeks=8, spread=0.4) == 1.5 * math.exp(-0.5 * z * z)
    result = dispersion_weight(3, amplitude=np.float32(2.0), peak_weeks=8, spread=0.4)
    # The type numpy's own arithmetic gives (float32 under numpy 2, float64 under numpy 1).
    assert type(result) is type(np.float32(2.0) * math.exp(-0.5 * z * z))
    with pytest.raises(TypeError) as excinfo:
        dispersion_weight(3, 1.0, 8, 0.4)
    assert str(excinfo.value) == "dispersion_weight() takes 1 positional argument but 4 were given"
    with pytest.raises(TypeError) as excinfo:
        dispersion_weight(3, amplitude=1.0, peak_weeks=8)
    assert str(excinfo.value) == (
        "dispersion_weight() missing 1 required keyword-only argument: 'spread'")


@pytest.mark.parametrize("week, peak_weeks, spread", [
    (1, 0, 0.4), (1, 0.0, 0.4), (2, 8, 0), (2, 8, 0.0), (1, -8, 0.4), (1.5, -8.0, 0.4),
    (1, Fraction(0), 0.4), (1, float("-inf"), 1.0),
])
def test_dispersion_weight_errors_are_the_hosts(week, peak_weeks, spread):
    def step_by_step_weight():
        z = math.log(week / peak_weeks) / spread
        return 1.0 * math.exp(-0.5 * z * z)

    ours = outcome(lambda: dispersion_weight(week, amplitude=1.0, peak_weeks=peak_weeks,
                                             spread=spread))
    assert ours == outcome(step_by_step_weight)


@pytest.mark.parametrize("week, table, expected", [
    (1, (0.1, 0.2), 0.1), (2, (0.1, 0.2), 0.2), (7, (0.1, 0.2), 0.2), (2**80, [0.1, 0.3], 0.3),
    (0, (0.1, 0.2), 0.0), (-5, (0.1,), 0.0), (3, (), 0.0), (3, [], 0.0), (3, None, 0.0),
    (7.5, (0.1, 0.2), 0.2), (3, Table(0.1, 0.2, 0.4), 0.4), (9, deque([0.5, 0.7]), 0.7),
    (np.int64(2), (0.1, 0.2), 0.2), (True, (0.1, 0.2), 0.1),
])
def test_hazard_from_table(week, table, expected):
    assert hazard_from_table(week, table) == expected


def test_hazard_from_table_returns_the_stored_entry():
    entry = Fraction(1, 3)
    assert hazard_from_table(4, (0.5, entry)) is entry
    assert hazard_from_table(1, ["not a number"]) == "not a number"


INDEX, WEEK = 0.5, 1.0
SHORT = DispersionProfile(shares=(0.0, 0.5, 0.2, 0.3), cumulative=(0.0,))
ARRAY = np.array([0.1, 0.2])


@pytest.mark.parametrize("ours, hosts", [
    # A non-integer week passes the comparisons and fails at the first index.
    (lambda: hazard_from_table(1.5, (0.1, 0.2)), lambda: (0.1, 0.2)[INDEX]),
    (lambda: hazard_from_shares(1.5, (0.1, 0.2, 0.3)), lambda: (0.1, 0.2, 0.3)[:INDEX]),
    (lambda: hazard_from_shares(2.0, Table(0.1, 0.2)), lambda: [0.1, 0.2][:WEEK]),
    (lambda: SHORT.share(1.0), lambda: (0.0,)[WEEK]),
    (lambda: SHORT.fraction_done(0.5), lambda: (0.0,)[INDEX]),
    (lambda: DispersionProfile((0.0, 0.5, 0.2, 0.3), (0.0, 0.5)).hazard(2.0), lambda: (0,)[WEEK]),
    # Tables that cannot be measured, tested or sliced.
    (lambda: hazard_from_shares(2, deque([0.1, 0.2])), lambda: deque([0.1, 0.2])[:1]),
    (lambda: hazard_from_shares(2, ARRAY), lambda: not ARRAY),
    (lambda: hazard_from_table(1, 0.5), lambda: len(0.5)),
    (lambda: SHORT.hazard(2), lambda: (0.0,)[1]),
])
def test_errors_are_the_hosts_at_the_hosts_step(ours, hosts):
    assert outcome(ours) == outcome(hosts)


@pytest.mark.parametrize("week, shares, expected", [
    (1, (0.25, 0.25), 0.25), (2, (0.25, 0.25), 0.25 / 0.75), (3, (0.25, 0.25), 1.0),
    (2, (0.5, 0.5), 1.0), (2, (-0.2, 0.5), 0.5), (2, (1.0, 0.3), 1.0), (1, (-0.3,), 0.0),
    (3, (0.6, 0.6, 0.2), 1.0), (0, (0.5,), 0.0), (2, (), 0.0), (2, [0.5, 1], 1.0),
    (2, [1, 0.5], 1.0), (2, (0.25, float("nan")), 0.0), (2, Table(0.25, 0.25), 0.25 / 0.75),
])
def test_hazard_from_shares(week, shares, expected):
    assert hazard_from_shares(week, shares) == expected


def shares_step_by_step(week, shares):
    if week <= 0 or not shares:
        return 0.0
    if week > len(shares):
        return 1.0
    done = 0.0
    for x in shares[: week - 1]:
        h = done + (x if x > 0.0 else 0.0)
        done = h if h < 1.0 else 1.0
    remaining = 1.0 - done
    if remaining <= 1e-12:
        return 1.0
    x = shares[week - 1]
    p = (x if x > 0.0 else 0.0) / remaining
    return p if p < 1.0 else 1.0


def test_hazard_from_shares_over_many_tables_asked_in_turn():
    # tables asked about week after week, in turn, more of them than are kept
    # at once: every answer is the step-by-step one, to the bit
    rng = random.Random(5)
    tables = [tuple(rng.choice([rng.random() / n, -0.01, 0, 1]) for _ in range(n)) for n in (1, 3, 40, 500, 7, 9)]
    tables.append(tuple([0.3, 0.3, 0.3, 0.3]))
    for _ in range(3):
        for table in tables:
            for week in range(-1, len(table) + 3):
                assert bits([hazard_from_shares(week, table)]) == bits([shares_step_by_step(week, table)])
                assert hazard_from_shares(week, list(table)) == shares_step_by_step(week, table)


def test_hazard_from_shares_keeps_host_types():
    assert type(hazard_from_shares(2, (np.float64(0.25), np.float64(0.25)))) is np.float64
    assert hazard_from_shares(2, (Fraction(1, 4), Fraction(1, 4))) == 0.25 / 0.75


def test_three_hazards_side_by_side():
    table = (0.0, 0.2, 0.3, 0.5)
    profile = DispersionProfile(shares=table, cumulative=(0.0, 0.2, 0.5, 1.0))
    weeks = range(-1, 7)
    assert [profile.hazard(w) for w in weeks] == [0.0, 0.0, 0.2 / 1.0, 0.3 / 0.8, 1.0, 1.0, 1.0, 1.0]
    assert [hazard_from_shares(w, table) for w in weeks] == [
        0.0, 0.0, 0.0, 0.2, 0.3 / 0.8, 1.0, 1.0, 1.0]
    assert [hazard_from_table(w, table) for w in weeks] == [0.0, 0.0, 0.0, 0.2, 0.3, 0.5, 0.5, 0.5]


@pytest.mark.parametrize("profile", [
    build_dispersion_profile(1.0, 6, 0.5),
    build_dispersion_profile(1.0, 3.5, 0.001),
    DispersionProfile((0.0, 0.3, -0.1, 2, 0.8), (0.0, 0.3, 0.2, 1 - 1e-13, 1.0)),
])
def test_profile_queries_agree_on_every_kind_of_table(profile):
    """Tuples, lists and other sequences answer alike, week by week."""
    as_lists = DispersionProfile(list(profile.shares), list(profile.cumulative))
    as_tables = DispersionProfile(Table(*profile.shares), Table(*profile.cumulative))
    for week in range(-2, len(profile.shares) + 3):
        for query in ("share", "fraction_done", "hazard"):
            answers = {repr(getattr(p, query)(w))
                       for p in (profile, as_lists, as_tables) for w in (week, np.int64(week))}
            assert len(answers) == 1, (query, week, answers)
        shares = profile.shares
        assert bits([hazard_from_shares(week, shares)]) == bits(
            [hazard_from_shares(np.int64(week), Table(*shares))])
        assert hazard_from_table(week, shares) == hazard_from_table(week, Table(*shares))


def test_method_arguments():
    p = build_dispersion_profile(1.0, 8, 0.4)
    assert p.share(weeks_since_threshold=8) == p.shares[8]
    with pytest.raises(TypeError) as excinfo:
        p.hazard()
    assert str(excinfo.value) == (
        "DispersionProfile.hazard() missing 1 required positional argument: 'weeks_since_threshold'")
    with pytest.raises(TypeError) as excinfo:
        p.fraction_done(1, week=2)
    assert str(excinfo.value) == (
        "DispersionProfile.fraction_done() got an unexpected keyword argument 'week'")
