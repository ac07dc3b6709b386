"""Eight threads at once through the profile cache, the readers, the data
objects and emit_warnings: the same results as one thread, and no crash."""

from __future__ import annotations

import datetime
from collections import Counter
import sys
import threading
import warnings

import pytest

from py_zelka import dispersion, notices, weather
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from py_zelka.readers.inventory_reader import PopulationInventoryReader

THREADS = 8
ROUNDS = 25


def run_together(work, threads: int = THREADS):
    """work(i) in `threads` threads released at one moment; their results."""
    start = threading.Barrier(threads)
    results: list = [None] * threads
    errors: list = []

    def body(i):
        try:
            start.wait()
            results[i] = work(i)
        except BaseException as error:  # reported below
            errors.append(error)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        pool = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    return results


def test_profile_cache_gives_each_thread_the_same_profiles():
    arguments = [(1.0, 2.0 + k / 4, 0.3 + k / 50) for k in range(200)]  # more than the cache

    def work(i):
        out = []
        for _ in range(3):
            for args in arguments[i::2] + arguments:
                p = dispersion.build_dispersion_profile(*args)
                out.append((args, p.shares, p.cumulative, p.hazard(3), p.share(2)))
        return out

    expected = {}
    for args in arguments:
        p = dispersion.build_dispersion_profile(*args)
        expected[args] = (p.shares, p.cumulative, p.hazard(3), p.share(2))
    for result in run_together(work):
        for args, *values in result:
            assert tuple(values) == expected[args]


FILES = {
    "weather.csv": "date,tmean\n" + "".join(
        f"2024-{m:02d}-{d:02d},{20 + d / 10}\n" for m in range(1, 13) for d in range(1, 29)),
    "inventory.csv": "chain,population,age_weeks,tag\n" + "".join(
        f"{'vegetative' if i % 2 else 'reproductive'},{i * 10},{i},T{i}\n" for i in range(200)),
    "production.csv": "tag,date,bagged,cut,age_at_cut,field_losses,rejected,processed\n" + "".join(
        f"t{i % 7},{datetime.date(2024, 1, 1) + datetime.timedelta(days=i)},{i},{i % 5},"
        f"{30 + i % 3},0,"
        f"{i % 5 - (i % 5) // 2},{(i % 5) // 2}\n" for i in range(300)),
    "selection.csv": "date,parous_count,nulliparous_count\n" + "".join(
        f"2024-{m:02d}-{d:02d},{d},{m}\n" for m in range(1, 13) for d in (1, 15)),
}


@pytest.fixture
def files(write_file, tmp_path):
    """The directory holding FILES."""
    for name, text in FILES.items():
        write_file(name, text)
    return tmp_path


PROVIDER = weather.WeatherProvider(datetime.date(2024, 1, 1), end=datetime.date(2024, 12, 31))


def read_everything(root):
    climate = WeatherFileReader.read(root / "weather.csv").data
    inventory = PopulationInventoryReader.read(root / "inventory.csv").data
    production = RibbonProductionData.from_file(root / "production.csv", PROVIDER)
    selection = SuckerSelectionData.from_file(root / "selection.csv", PROVIDER).data
    provider = weather.WeatherProvider.from_table(climate)
    data = production.data
    return (
        climate.to_dict("list"),
        inventory.to_dict("list"),
        data.tags(),
        [data.observation(tag, week) for tag in data.tags() for week in range(53)],
        [data.week_is_covered(week) for week in range(-1, 54)],
        [str(n) for n in production.notices],
        [selection.total(week) for week in range(53)],
        repr(provider),
    )


def test_readers_and_data_objects_from_eight_threads(files):
    expected = read_everything(files)
    for result in run_together(lambda i: [read_everything(files) for _ in range(3)]):
        for one in result:
            assert one == expected


def test_emit_warnings_from_eight_threads():
    log = notices.NoticeLog(
        notices.Notice(notices.NoticeKind.FEATURE_DISABLED, f"column{k}", "absent", "Reader",
                       week_index=k, tag=f"t{k}") for k in range(20))

    def messages():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            log.emit_warnings()
        return caught

    expected = [str(w.message) for w in messages()]
    assert len(expected) == 20

    # One recording filter for the whole run, set up before the threads
    # start (catch_warnings itself is not thread-safe).
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run_together(lambda i: [log.emit_warnings() for _ in range(ROUNDS)])
    assert all(w.category is notices.ZelkaDataNotice for w in caught)
    assert Counter(str(w.message) for w in caught) == Counter(expected * THREADS * ROUNDS)


def test_dispersion_queries_from_eight_threads():
    profile = dispersion.build_dispersion_profile(1.0, 4.0, 0.5)
    weeks = list(range(-2, len(profile.shares) + 3))
    table = tuple(k / 20 for k in range(10))
    expected = [(profile.share(w), profile.fraction_done(w), profile.hazard(w),
                 dispersion.hazard_from_table(w, table), dispersion.hazard_from_shares(w, table),
                 dispersion.dispersion_weight(w, amplitude=1.0, peak_weeks=4.0, spread=0.5))
                for w in weeks]

    def work(i):
        return [[(profile.share(w), profile.fraction_done(w), profile.hazard(w),
                  dispersion.hazard_from_table(w, table),
                  dispersion.hazard_from_shares(w, table),
                  dispersion.dispersion_weight(w, amplitude=1.0, peak_weeks=4.0, spread=0.5))
                 for w in weeks] for _ in range(ROUNDS)]

    for result in run_together(work):
        assert all(r == expected for r in result)
