"""The shipped type stubs agree with the modules, and the examples type-check."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import py_zelka

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=600
    )


def test_every_extension_module_has_a_stub_and_the_package_is_typed():
    package = Path(py_zelka.__file__).parent
    modules = sorted(p.name.split(".")[0] for p in package.rglob("*.so"))
    stubs = sorted(p.stem for p in package.rglob("*.pyi"))
    assert modules == stubs
    assert (package / "py.typed").exists()


def test_stubtest():
    result = mypy("mypy.stubtest", "py_zelka", "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_mypy_strict():
    result = mypy("mypy", "--strict", "--no-incremental", "examples")
    assert result.returncode == 0, result.stdout + result.stderr
