"""`python -m py_zelka` is the zelka command; importing its module runs nothing."""

from __future__ import annotations

import subprocess
import sys

from py_zelka.cli import main


def python(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120)


def test_importing_the_main_module_runs_nothing():
    result = python("-c", "import py_zelka.__main__ as m; print(m.main.__module__)")
    assert (result.returncode, result.stdout, result.stderr) == (0, "py_zelka.cli\n", "")


def test_python_m_py_zelka_is_the_command(capsys):
    status = main(["--help"])
    expected = capsys.readouterr().out
    result = python("-m", "py_zelka", "--help")
    assert status == 0 and expected.startswith("usage: zelka ")
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")
