"""The replacement-sucker schedule read from a management file."""

from __future__ import annotations

import dataclasses
import pickle
from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType

import pytest
import yaml

from py_zelka import cropcare
from py_zelka.cropcare import CropCare


def host_error(call):
    with pytest.raises(Exception) as excinfo:
        call()
    return type(excinfo.value), str(excinfo.value)


def test_namespaces():
    assert [n for n in vars(cropcare) if not n.startswith("__")] == [
        "Mapping", "dataclass", "field", "Path", "yaml", "CropCare"]
    assert (cropcare.Mapping, cropcare.Path, cropcare.yaml) == (Mapping, Path, yaml)
    assert cropcare.field is dataclasses.field
    members = [n for n in vars(CropCare) if n in ("from_yaml", "replacement_suckers_for_week")]
    assert members == ["from_yaml", "replacement_suckers_for_week"]
    assert CropCare.__annotations__ == {"replacement_schedule": "Mapping[int, float]"}
    assert CropCare.from_yaml.__doc__ and CropCare.replacement_suckers_for_week.__doc__


def test_instances():
    a, b = CropCare(), CropCare()
    assert a.replacement_schedule == {} and a.replacement_schedule is not b.replacement_schedule
    assert a.replacement_suckers_for_week(3) == 0.0
    plan = {12: 150.0}
    c = CropCare(plan)
    assert c.replacement_schedule is plan
    assert c == CropCare(replacement_schedule={12: 150.0}) and c != a
    assert not hasattr(c, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        c.replacement_schedule = {}
    with pytest.raises(TypeError):
        hash(c)
    restored = pickle.loads(pickle.dumps(c))
    assert restored == c and type(restored.replacement_schedule) is dict


@pytest.mark.parametrize("content", [
    "", "~\n", "null\n", "false\n", "0\n", "[]\n", "''\n", "{}\n", "other: 5\n",
    "replacement_schedule:\n", "replacement_schedule: ~\n", "replacement_schedule: {}\n",
    "replacement_schedule: []\n", "replacement_schedule: 0\n", "replacement_schedule: ''\n",
])
def test_empty_plans(write_file, content):
    plan = CropCare.from_yaml(write_file("plan.yaml", content))
    assert plan.replacement_schedule == {} and type(plan.replacement_schedule) is dict


def test_keys_and_values_are_converted(write_file):
    path = write_file("plan.yaml", """\
        notes: ignored
        replacement_schedule:
          "12": 150
          13: 80.5
          3: 1
          "3": 2
          7.9: "1e2"
          true: 4
        """)
    for given in (path, str(path)):
        plan = CropCare.from_yaml(given)
        assert plan.replacement_schedule == {12: 150.0, 13: 80.5, 3: 2.0, 7: 100.0, 1: 4.0}
        assert list(plan.replacement_schedule) == [12, 13, 3, 7, 1]
        assert all(type(k) is int and type(v) is float
                   for k, v in plan.replacement_schedule.items())
    assert CropCare.from_yaml(path=path) == plan


def test_from_yaml_builds_the_class_it_is_called_on(write_file):
    class Sub(CropCare):
        __slots__ = ()

    plan = Sub.from_yaml(write_file("plan.yaml", "replacement_schedule: {4: 2}\n"))
    assert type(plan) is Sub and plan.replacement_schedule == {4: 2.0}


@pytest.mark.parametrize("content, hosts", [
    ("- 1\n- 2\n", lambda: [1, 2].get("replacement_schedule")),
    ("7\n", lambda: (7).get("replacement_schedule")),
    ("true\n", lambda: True.get("replacement_schedule")),
    ("replacement_schedule: [1, 2]\n", lambda: [1, 2].items()),
    ("replacement_schedule: 5\n", lambda: (5).items()),
    ("replacement_schedule: {'1.5': 3}\n", lambda: int("1.5")),
    ("replacement_schedule: {~: 3}\n", lambda: int(None)),
    ("replacement_schedule: {'x': '?'}\n", lambda: int("x")),
    ("replacement_schedule: {1: many}\n", lambda: float("many")),
    ("replacement_schedule: {1: ~}\n", lambda: float(None)),
    ("replacement_schedule: {1: [2]}\n", lambda: float([2])),
])
def test_host_errors_pass_through(write_file, content, hosts):
    path = write_file("plan.yaml", content)
    assert host_error(lambda: CropCare.from_yaml(path)) == host_error(hosts)


def test_reading_errors_pass_through(write_file, tmp_path):
    with pytest.raises(FileNotFoundError):
        CropCare.from_yaml(tmp_path / "missing.yaml")
    with pytest.raises(UnicodeDecodeError):
        CropCare.from_yaml(write_file("latin.yaml", b"replacement_schedule: {1: 2}\n# \xe9\n"))
    with pytest.raises(yaml.YAMLError):
        CropCare.from_yaml(write_file("broken.yaml", "replacement_schedule: {1: 2\n"))
    assert host_error(lambda: CropCare.from_yaml(None)) == host_error(lambda: Path(None))


def test_a_failed_load_closes_the_file(write_file, monkeypatch):
    bad_key = write_file("plan.yaml", "replacement_schedule: {x: 1}\n")
    broken = write_file("broken.yaml", "a: [\n")
    good = write_file("good.yaml", "replacement_schedule: {1: 1}\n")
    opened = []
    real_open = Path.open

    def tracking_open(self, *args, **kwargs):
        opened.append(real_open(self, *args, **kwargs))
        return opened[-1]

    monkeypatch.setattr(Path, "open", tracking_open)
    with pytest.raises(ValueError):
        CropCare.from_yaml(bad_key)
    with pytest.raises(yaml.YAMLError):
        CropCare.from_yaml(broken)
    CropCare.from_yaml(good)
    assert len(opened) == 3 and all(f.closed for f in opened)
    assert all(f.encoding == "utf-8" and f.mode == "r" for f in opened)


class _Manager:
    """A file's context manager whose exit suppresses, passes on or replaces the error."""

    def __init__(self, stream, verdict, seen):
        self.stream, self.verdict, self.seen = stream, verdict, seen

    def __enter__(self):
        return self.stream

    def __exit__(self, kind, value, traceback):
        self.stream.close()
        if kind is None:
            return False
        self.seen.append((kind, traceback is not None))
        if self.verdict == "raise":
            raise OSError("exit failed")
        return self.verdict


@pytest.mark.parametrize("verdict", [False, True, "raise"])
def test_the_file_is_left_as_with_leaves_it(write_file, monkeypatch, verdict):
    from py_zelka.farm import check_farm

    broken = write_file("farm/management.yaml", "replacement_schedule: {1: 2}\n# \xe9\n",
                        encoding="latin-1")
    seen = []
    real_open = Path.open
    monkeypatch.setattr(Path, "open", lambda self, *args, **kwargs: _Manager(
        real_open(self, *args, **kwargs), verdict, seen))
    raised = {False: UnicodeDecodeError, "raise": OSError}.get(verdict)
    if raised:
        with pytest.raises(raised):
            CropCare.from_yaml(broken)
    else:  # suppressed: nothing was read
        assert CropCare.from_yaml(broken) == CropCare({})
    findings = check_farm(broken.parent).findings
    # suppressed, the farm's check reads on: the reader opens the file again
    assert seen == [(UnicodeDecodeError, True)] * (3 if verdict is True else 2)
    assert findings[findings.file == "management.yaml"].rule.tolist() == (
        [] if verdict is True else ["management"])


@pytest.mark.parametrize("schedule", [{12: 150.0, 13: 80.5}, MappingProxyType({12: 150.0, 13: 80.5})])
def test_replacement_suckers_for_week(schedule):
    plan = CropCare(schedule)
    assert plan.replacement_suckers_for_week(12) == 150.0
    assert plan.replacement_suckers_for_week(week_index=12.0) == 150.0
    assert plan.replacement_suckers_for_week(True) == 0.0
    assert [plan.replacement_suckers_for_week(w) for w in ("12", 14, None, 13.5)] == [0.0] * 4
    assert host_error(lambda: plan.replacement_suckers_for_week([12])) == host_error(
        lambda: {}.get([12]))
