"""Facts of the installed package that users rely on."""

from __future__ import annotations

import ctypes
import importlib
import importlib.machinery
import subprocess
import sys
import types
from pathlib import Path

import pytest

import py_zelka

MODULES = [
    "py_zelka.notices",
    "py_zelka.parameters",
    "py_zelka.exceptions",
    "py_zelka.cohorts",
    "py_zelka.weather",
    "py_zelka.readers._common",
    "py_zelka.dispersion",
    "py_zelka.cropcare",
    "py_zelka.readers.harvest_tag_reader",
    "py_zelka.readers.follower_choice_reader",
    "py_zelka.readers.inventory_reader",
    "py_zelka.readers.climate_reader",
    "py_zelka.farm",
    "py_zelka.cli",
]


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_extension_modules(name):
    module = importlib.import_module(name)
    assert isinstance(module.__spec__.loader, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(".abi3.so") or module.__file__.endswith(".pyd")


@pytest.mark.parametrize("name", MODULES)
def test_modules_use_multi_phase_initialisation(name):
    # The init function of a multi-phase module returns its definition, not a
    # module: the module is then in sys.modules while its body runs.
    module = importlib.import_module(name)
    library = ctypes.PyDLL(module.__file__)
    init = getattr(library, "PyInit_" + name.rsplit(".", 1)[1])
    init.restype = ctypes.c_void_p
    address = init()
    # the definition is the module's own: keep the reference it was given
    ctypes.pythonapi.Py_IncRef(ctypes.c_void_p(address))
    definition = ctypes.cast(address, ctypes.py_object).value
    assert type(definition).__name__ == "moduledef"


@pytest.mark.parametrize(
    ("name", "attribute"),
    [
        ("py_zelka.notices", "Notice"),
        ("py_zelka.notices", "NoticeLog"),
        ("py_zelka.notices", "ReadResult"),
        ("py_zelka.notices", "NoticeKind"),
        ("py_zelka.notices", "ZelkaDataNotice"),
        ("py_zelka.parameters", "ParameterSet"),
        ("py_zelka.weather", "ColumnMap"),
        ("py_zelka.weather", "WeatherProvider"),
        ("py_zelka.cohorts", "ChainKind"),
        ("py_zelka.dispersion", "DispersionProfile"),
        ("py_zelka.cropcare", "CropCare"),
        ("py_zelka.readers.harvest_tag_reader", "HarvestTagReader"),
        ("py_zelka.readers.harvest_tag_reader", "RibbonProductionData"),
        ("py_zelka.readers.harvest_tag_reader", "ProductionObservation"),
        ("py_zelka.readers.follower_choice_reader", "FollowerChoiceReader"),
        ("py_zelka.readers.follower_choice_reader", "SuckerSelectionData"),
        ("py_zelka.readers.inventory_reader", "PopulationInventoryReader"),
        ("py_zelka.readers.climate_reader", "WeatherFileReader"),
        ("py_zelka.farm", "Farm"),
        ("py_zelka.farm", "FarmReport"),
        ("py_zelka.farm", "FarmCheckError"),
    ],
)
def test_classes_report_their_import_path(name, attribute):
    cls = getattr(importlib.import_module(name), attribute)
    assert cls.__module__ == name and cls.__qualname__ == attribute


def test_methods_are_cpp_functions_with_docstrings():
    from py_zelka.notices import NoticeLog
    from py_zelka.weather import WeatherProvider

    for function in (NoticeLog.emit_warnings, WeatherProvider.week_index_for_date):
        assert type(function).__qualname__ == "function"
        assert function.__module__ in ("py_zelka.notices", "py_zelka.weather")
        assert function.__doc__ and len(function.__doc__) > 40
    assert NoticeLog.emit_warnings.__qualname__ == "NoticeLog.emit_warnings"


@pytest.mark.parametrize("name", ["py_zelka", "py_zelka.notices", "py_zelka.parameters", "py_zelka.weather", "py_zelka.readers._common", "py_zelka.dispersion", "py_zelka.cropcare"])
def test_importing_does_not_import_pandas(name):
    code = f"import sys, {name}; print('pandas' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_installed_package_holds_no_cpp_sources_and_python_only_as_markers():
    root = Path(py_zelka.__file__).parent
    assert not [p for p in root.rglob("*") if p.suffix in (".cpp", ".hpp", ".h")]
    python = sorted(str(p.relative_to(root)) for p in root.rglob("*.py"))
    assert python == ["__init__.py", "__main__.py", "readers/__init__.py"]
    assert len((root / "__main__.py").read_text().splitlines()) == 2


def public_members(module):
    """(qualified name, object) of the public classes, functions and methods a
    module defines itself."""
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        yield f"{module.__name__}.{name}", value
        if isinstance(value, type):
            for attr, member in vars(value).items():
                if attr.startswith("_") and attr != "__init__":
                    continue
                if callable(member) or isinstance(member, (staticmethod, classmethod, property)):
                    yield f"{module.__name__}.{name}.{attr}", member


@pytest.mark.parametrize("name", MODULES)
def test_public_api_has_docstrings(name):
    module = importlib.import_module(name)
    assert module.__doc__
    undocumented = []
    for qualname, member in public_members(module):
        target = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
        doc = getattr(target, "__doc__", None) or ""
        # the __init__ that dataclasses generates is documented by its class
        if qualname.endswith(".__init__") and isinstance(member, types.FunctionType):
            continue
        if len(doc.strip()) < 10:
            undocumented.append(qualname)
    assert undocumented == []
