"""What every module shares: functions that tools can read, state per module
object (a purge of sys.modules and a re-import, a sub-interpreter), and no
memory kept by re-imports."""

from __future__ import annotations

import importlib
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap

import pytest

from test_build import MODULES

def is_cxx_function(obj) -> bool:
    return type(obj).__module__ == "py_zelka" and type(obj).__qualname__ == "function"


def cxx_functions():
    """Qualified name -> (function as its class or module holds it, as a caller
    reaches it) of every C++ function the modules define, found by walking
    their namespaces."""
    found = {}
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            value = getattr(value, "__wrapped__", value)  # lru_cache
            if is_cxx_function(value) and value.__module__ == name:
                found[f"{name}.{attr}"] = (value, getattr(module, attr))
            if isinstance(value, type) and value.__module__ == name:
                for member, raw in vars(value).items():
                    inner = raw.fget if isinstance(raw, property) else getattr(raw, "__func__", raw)
                    if is_cxx_function(inner):
                        reached = inner if isinstance(raw, property) else getattr(value, member)
                        found[f"{name}.{attr}.{member}"] = (inner, reached)
    return found


FUNCTIONS = cxx_functions()


def test_every_cxx_function_is_found():
    # The signatures themselves are the stubs' (tests/test_typing.py runs
    # mypy.stubtest over every module); this walk reaches what the stubs
    # leave out, the private functions too.
    assert len(FUNCTIONS) > 50
    assert {"py_zelka.readers._common._read_table", "py_zelka.farm.check_farm",
            "py_zelka.cli.main"} <= set(FUNCTIONS)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_functions_describe_themselves(name):
    function, _ = FUNCTIONS[name]
    module = function.__module__
    assert name == f"{module}.{function.__qualname__}"
    assert function.__name__ == function.__qualname__.rsplit(".", 1)[-1]
    assert len(function.__doc__ or "") > 10
    signature = inspect.signature(function)
    annotations = dict(function.__annotations__)
    assert all(type(text) is str for text in annotations.values())
    assert annotations.pop("return", inspect.Parameter.empty) == signature.return_annotation
    assert annotations == {p.name: p.annotation for p in signature.parameters.values()
                           if p.annotation is not inspect.Parameter.empty}
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    # (pydoc of 3.13 writes a long signature over several lines)
    assert "".join((function.__name__ + str(signature)).split()) in "".join(text.split())
    assert function.__doc__.splitlines()[0] in text
    assert not any(noise in text for noise in ("nb_func", "nanobind", "nb::"))
    # What its qualified name reaches as the function itself pickles by name.
    reached = importlib.import_module(module)
    for part in function.__qualname__.split("."):
        reached = getattr(reached, part)
    if reached is function:
        assert pickle.loads(pickle.dumps(function)) is function


def test_annotations_written_as_text_stay_text():
    from py_zelka.readers import harvest_tag_reader as htr

    assert htr._optional_float.__annotations__["return"] == "float | None"
    assert inspect.signature(htr._optional_float).return_annotation == "float | None"


def run_python(*parts: str) -> str:
    code = "\n".join(textwrap.dedent(part) for part in parts)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    return out.stdout


PURGE = """
import gc, sys
def purge():
    for name in [n for n in sys.modules if n.startswith("py_zelka")]:
        del sys.modules[name]
    gc.collect()
"""


def test_objects_made_before_a_purge_and_reimport_keep_their_module():
    out = run_python(PURGE, """
        import datetime, pandas as pd
        from py_zelka.exceptions import WeatherError
        from py_zelka.weather import WeatherProvider
        from py_zelka.readers.harvest_tag_reader import ProductionObservation, RibbonProductionData
        from py_zelka.dispersion import build_dispersion_profile
        provider = WeatherProvider(datetime.date(2024, 1, 1), end=datetime.date(2024, 2, 1))
        profile = build_dispersion_profile(1.0, 8, 0.4)
        purge()
        import py_zelka.exceptions, py_zelka.readers.harvest_tag_reader, py_zelka.dispersion
        assert py_zelka.exceptions.WeatherError is not WeatherError
        try:
            provider.week_index_for_date(datetime.date(2025, 1, 1))
        except WeatherError:
            print("caught")
        table = pd.DataFrame({"tag": ["a"], "date": [datetime.date(2024, 1, 9)],
                              **{c: [1.0] for c in ProductionObservation.__dataclass_fields__}})
        data = RibbonProductionData(table, provider)
        print(type(data.observation("a", 1)) is ProductionObservation, profile.hazard(8) > 0)
        purge()
        print(provider.week_index_for_date(datetime.date(2024, 1, 30)), profile.share(1) >= 0)
    """)
    assert out.split() == ["caught", "True", "True", "4", "True"]


def test_a_sub_interpreter_cannot_import_a_module_and_leaves_the_main_one_working():
    out = run_python(r"""
        import datetime, _testcapi
        from py_zelka.weather import WeatherProvider
        provider = WeatherProvider(datetime.date(2024, 1, 1))
        code = ("import sys\n"
                "try:\n"
                "    import py_zelka.weather\n"
                "except ImportError as error:\n"
                "    sys.stdout.write(str(error) + chr(10))\n")
        print(_testcapi.run_in_subinterp(code))
        print(provider.week_index_for_date(datetime.date(2024, 1, 15)))
    """)
    assert out.splitlines() == [
        "py_zelka.weather cannot be imported in a sub-interpreter; import it in the main "
        "interpreter", "0", "2"]


def test_reimporting_keeps_no_memory():
    out = run_python(PURGE, f"""
        import importlib
        names = {MODULES!r}
        def reimport():
            purge()
            for name in names:
                importlib.import_module(name)
            gc.collect()
        for _ in range(150):  # the interpreter's own caches (typing, abc) fill first
            reimport()
        before = sys.getallocatedblocks()
        for _ in range(40):
            reimport()
        print(sys.getallocatedblocks() - before)
    """)
    # A module that kept its objects would keep thousands of blocks per import.
    assert int(out) < 40 * 10


def _mirror(qualname, function):
    function.__qualname__ = qualname
    return function


# Python functions of the same signatures: their TypeErrors are the contract.
def _weight(weeks_since_threshold, *, amplitude, peak_weeks, spread): ...
def _table(weeks_since_threshold, hazard_weeks): ...
def _override(self, /, section, updates, *, source="override"): ...
def _read(path, columns=None): ...


BINDINGS = [
    ("py_zelka.dispersion", "dispersion_weight", _weight),
    ("py_zelka.dispersion", "hazard_from_table", _table),
    ("py_zelka.parameters", "ParameterSet.override", _override),
    ("py_zelka.readers.climate_reader", "WeatherFileReader.read", _read),
]
WRONG_CALLS = [
    ((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2, 3, 4), {}), ((1, 2, 3), {"bogus": 1}),
    ((1, 2), {"amplitude": 1}), ((1,), {"weeks_since_threshold": 2}), ((1,), {"self": 1}),
    ((1, 2, 3), {"self": 1, "section": 2}), ((), {"bogus": 1, "other": 2}),
    ((1, 2, 3, 4, 5), {"source": "x", "amplitude": 1}), ((), {"spread": 1}),
]


@pytest.mark.parametrize(("module", "qualname", "mirror"), BINDINGS)
def test_wrong_calls_fail_as_a_python_function_of_the_signature_fails(module, qualname, mirror):
    function = importlib.import_module(module)
    for part in qualname.split("."):
        function = getattr(function, part)
    mirror = _mirror(qualname, mirror)
    wrong = 0
    for args, kwargs in WRONG_CALLS:
        try:
            mirror(*args, **kwargs)
        except TypeError as error:
            expected = str(error)
        else:
            continue  # a right call of this signature
        wrong += 1
        with pytest.raises(TypeError) as got:
            function(*args, **kwargs)
        assert str(got.value) == expected, (args, kwargs)
    assert wrong >= 9
