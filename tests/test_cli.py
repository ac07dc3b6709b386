"""The zelka command: its options, exit statuses, Dask, Ctrl-C, and every
command line the README shows."""

from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from py_zelka.cli import _check_for_cli, main as zelka
from py_zelka.farm import EXAMPLE_FARM

ROOT = Path(__file__).resolve().parent.parent
MESSY = Path("tests") / "data" / "farms" / "messy"  # relative to ROOT


def command(*args: str | Path, cwd: Path = ROOT, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=300, **kwargs)


@pytest.fixture
def farms(tmp_path) -> list[str]:
    """Three farms as relative paths from tmp_path: sound, with errors, no farm."""
    shutil.copytree(EXAMPLE_FARM, tmp_path / "good")
    shutil.copytree(ROOT / MESSY, tmp_path / "messy")
    return ["good", "messy", "nowhere"]


@pytest.fixture
def scheduler():
    """The address of a Dask scheduler with one thread worker in this process."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None, protocol="tcp", host="127.0.0.1") as cluster:
        yield cluster.scheduler_address


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_check_text_json_and_exit_status(capsys, monkeypatch, farms, tmp_path):
    assert zelka(["check", str(EXAMPLE_FARM)]) == 0
    assert capsys.readouterr().out.startswith(f"farm {EXAMPLE_FARM}: 0 error(s), 0 warning(s)")
    monkeypatch.chdir(tmp_path)
    for workers in ["1", "2"]:  # in this process; with a pool from the start
        assert zelka(["check", *farms, "--format", "json", "--workers", workers]) == 1
        out = json.loads(capsys.readouterr().out)["farms"]
        assert [(f["path"], f["ok"]) for f in out] == [("good", True), ("messy", False),
                                                       ("nowhere", False)]
        assert out[1]["findings"][0]["file"] == "farm.yaml"
        assert [f["rule"] for f in out[2]["findings"]] == ["not_a_folder"]


def test_python_dash_m_runs_the_command():
    out = command("-m", "py_zelka", "check", EXAMPLE_FARM)
    assert out.returncode == 0 and out.stdout.startswith(f"farm {EXAMPLE_FARM}: 0 error(s)")


@pytest.mark.parametrize(("args", "error"), [
    (["check"], "zelka check: error: the following arguments are required: PATH"),
    (["check", "--workers", "0", "x"], "zelka check: error: argument --workers: expected a whole "
     "number of processes from 1 to 1024, not '0'"),
    (["check", "--workers", "99999999999999999999999", "x"], "zelka check: error: argument "
     "--workers: expected a whole number of processes from 1 to 1024, not '99999999999999999999999'"),
    (["check", "--workers", "two", "x"], "zelka check: error: argument --workers: expected a whole "
     "number of processes from 1 to 1024, not 'two'"),
    (["check", "--dask-address", "example", "x"], "zelka check: error: argument --dask-address: "
     "expected a scheduler's address, HOST:PORT or tcp://HOST:PORT (as tcp://10.0.0.5:8786), not "
     "'example'"),
    (["check", "--dask=tcp://host:99999", "x"], "zelka check: error: argument --dask-address: "
     "expected a scheduler's address, HOST:PORT or tcp://HOST:PORT (as tcp://10.0.0.5:8786), not "
     "'tcp://host:99999'"),
    (["check", "--dask-address", "h:1", "--dask-timeout", "0", "x"], "zelka check: error: argument "
     "--dask-timeout: expected a number of seconds above 0 and at most 3600, not '0'"),
    (["check", "--dask-timeout", "5", "x"],
     "zelka check: error: argument --dask-timeout: only with --dask-address"),
    (["tour", "a", "--data", "b"], "zelka tour: error: argument --data: not allowed with argument "
     "folder"),
])
def test_usage_errors_exit_2_with_one_line(capsys, args, error):
    assert zelka(args) == 2
    assert capsys.readouterr() == ("", f"{error} (see {error.split(': error')[0]} --help)\n")


def test_dask_address_and_relative_paths(farms, tmp_path, scheduler):
    # the worker runs in this process, whose directory is not tmp_path
    for dask in [["--dask-address", scheduler], [f"--dask={scheduler}"]]:
        out = command("-m", "py_zelka", "check", *dask, "--format", "json", *farms, cwd=tmp_path)
        assert out.returncode == 1, out.stderr
        assert [(f["path"], f["ok"]) for f in json.loads(out.stdout)["farms"]] == [
            ("good", True), ("messy", False), ("nowhere", False)]


def test_dask_flag_takes_no_address(farms, tmp_path):
    pytest.importorskip("distributed")
    out = command("-m", "py_zelka", "check", "--dask", "--workers", "1", "good", "messy",
                  cwd=tmp_path)
    assert out.returncode == 1, out.stderr
    assert re.findall(r"^farm (\S+):", out.stdout, flags=re.M) == ["good", "messy"]


@contextlib.contextmanager
def scheduler_address(kind: str):
    """An address where nothing listens, where a server never answers, or
    where a Dask scheduler has no worker."""
    if kind == "no workers":
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=None,
                                      protocol="tcp", host="127.0.0.1") as cluster:
            yield cluster.scheduler_address
        return
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        if kind == "silent":
            server.listen()
        yield f"127.0.0.1:{server.getsockname()[1] if kind == 'silent' else closed_port()}"


UNANSWERED = ("zelka check: no Dask scheduler answered at '{address}' within 0.5 s: start one "
              "there, or give another --dask-address or a longer --dask-timeout\n")


@pytest.mark.parametrize("kind, message", [
    ("closed", UNANSWERED),
    ("silent", UNANSWERED),
    ("no workers", "zelka check: the Dask scheduler at '{address}' has no worker (none joined "
                   "within 0.5 s): start one with: dask worker {address} -- or give a longer "
                   "--dask-timeout\n"),
])
def test_a_scheduler_that_cannot_check_is_one_line_in_bounded_time(kind, message):
    pytest.importorskip("distributed")
    with scheduler_address(kind) as address:
        start = time.monotonic()
        out = command("-m", "py_zelka", "check", "--dask-address", address, "--dask-timeout",
                      "0.5", EXAMPLE_FARM)
        assert time.monotonic() - start < 60
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr == message.format(address=address)


def as_from_a_terminal() -> None:
    # Ctrl-C reaches a process started by a terminal; a shell's background job ignores it
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def test_ctrl_c_stops_the_run_and_its_workers():
    psutil = pytest.importorskip("psutil")
    n = 400
    process = subprocess.Popen(
        [sys.executable, "-m", "py_zelka", "check", "--workers", "2", *[str(EXAMPLE_FARM)] * n],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        preexec_fn=as_from_a_terminal)
    try:
        children: list = []
        deadline = time.monotonic() + 60
        while not children and time.monotonic() < deadline:
            children = psutil.Process(process.pid).children(recursive=True)
            time.sleep(0.05)
        assert children, "no worker started"
        time.sleep(1.5)  # the worker at work
        os.killpg(process.pid, signal.SIGINT)  # Ctrl-C: the whole process group
        start = time.monotonic()
        out, err = process.communicate(timeout=30)
        stopped = time.monotonic() - start
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 130 and stopped < 3, (stopped, err)
    checked = out.count(f"farm {EXAMPLE_FARM}: 0 error(s)")
    assert err.splitlines()[-1] == f"zelka check: interrupted; {checked} of {n} farm(s) checked"
    assert 0 < checked < n
    time.sleep(0.5)
    assert [c.pid for c in children if c.is_running() and c.status() != psutil.STATUS_ZOMBIE] == []


@pytest.mark.parametrize("moment", [
    "cluster start",
    "cluster run",   # its worker at work
    "cluster stop",  # its worker gone
    "pool start",
])
def test_ctrl_c_at_any_moment_is_status_130_and_one_line(moment):
    psutil = pytest.importorskip("psutil")
    kind, moment = moment.split()
    if kind == "cluster":
        pytest.importorskip("distributed")
    options = ["--dask", "--workers", "1"] if kind == "cluster" else ["--workers", "2"]
    n = 3 if moment == "stop" else 300
    process = subprocess.Popen(
        [sys.executable, "-m", "py_zelka", "check", *options, *[str(EXAMPLE_FARM)] * n],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        preexec_fn=as_from_a_terminal)
    try:
        workers: list = []
        while not workers and process.poll() is None:
            workers = [c for c in psutil.Process(process.pid).children(recursive=True)
                       if "spawn_main" in " ".join(c.cmdline())]
        if moment == "run":  # past its start's second of imports
            while process.poll() is None and sum(workers[0].cpu_times()[:2]) < 2:
                time.sleep(0.05)
        if moment == "stop":
            psutil.wait_procs(workers, timeout=120)
        os.killpg(process.pid, signal.SIGINT)
        out, err = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
    checked = len(re.findall(rf"^farm {re.escape(str(EXAMPLE_FARM))}: ", out, flags=re.M))
    assert (process.returncode, err) == (130, f"zelka check: interrupted; {checked} of {n} farm(s) "
                                              "checked\n")
    assert [c.pid for c in workers if c.is_running() and c.status() != psutil.STATUS_ZOMBIE] == []


# A pool worker starts with the command's main file imported: here, what a
# farm named "deadly" does to the worker checking it (and "flaky" once).
STOPS_ITS_WORKER = """
import os, signal, time
import py_zelka.farm
from py_zelka.cli import main

check = py_zelka.farm.check_farm
if __name__ == "__mp_main__":
    open("worker started", "w").close()
    def check_farm(folder):
        name = os.path.basename(folder)
        if name == "deadly" or (name == "flaky" and not os.path.exists("flaky stopped")):
            open("flaky stopped", "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return check(folder)
    py_zelka.farm.check_farm = check_farm
if __name__ == "__main__":
    def check_farm(folder):  # the command's own farm, once a worker has started
        while not os.path.exists("worker started"):
            time.sleep(0.01)
        return check(folder)
    py_zelka.farm.check_farm = check_farm
    raise SystemExit(main())
"""


@pytest.mark.parametrize("farm", ["flaky", "deadly"])
def test_a_farm_whose_check_stops_its_worker_is_checked_again(monkeypatch, tmp_path, farm):
    for name in ["good", farm]:
        shutil.copytree(EXAMPLE_FARM, tmp_path / name)
    (tmp_path / "zelka_stops.py").write_text(STOPS_ITS_WORKER, encoding="utf-8")
    out = command(tmp_path / "zelka_stops.py", "check", "--workers", "2", "--format", "json",
                  "good", farm, cwd=tmp_path)
    monkeypatch.chdir(tmp_path)
    expected = {"path": "deadly", "ok": False, "findings": [{
        "file": None, "line": None, "column": None, "value": None, "rule": "check_failed",
        "severity": "error", "message": "the check of this farm stopped its worker twice (killed "
                                        "by signal 9)"}], "notices": []}
    if farm == "flaky":  # as this process checks it
        expected = _check_for_cli(farm, output="json")
    assert (out.returncode, out.stderr) == (int(farm == "deadly"), "")
    assert json.loads(out.stdout)["farms"][1] == json.loads(json.dumps(expected))


BLOCK_MATPLOTLIB = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name.split('.')[0] == 'matplotlib':
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Block())
from py_zelka.cli import main
raise SystemExit(main(sys.argv[1:]))
"""


def test_plot_without_matplotlib_gives_the_install_line_and_status_1(tmp_path):
    plot = tmp_path / "x.png"
    out = command("-c", BLOCK_MATPLOTLIB, "tour", "--plot", plot)
    assert (out.returncode, plot.exists()) == (1, False)
    assert "\nData-quality notices\n" in out.stdout
    assert out.stderr == ("--plot needs matplotlib, which is not installed (pip install "
                          f"'py_zelka[plot]'); {plot} not written\n")


def readme_command_lines() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = []
    for block in re.findall(r"```[a-z]*\n(.*?)```", text, flags=re.S):
        lines += [line.removeprefix("$ ") for line in block.splitlines()
                  if re.match(r"(\$ )?zelka ", line)]
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    lines += [" ".join(span.split()) for span in re.findall(r"`(zelka\s[^`]*)`", prose)]
    return list(dict.fromkeys(lines))


def test_every_readme_command_line_is_accepted(capsys, monkeypatch, tmp_path, scheduler):
    lines = readme_command_lines()
    assert "zelka tour DIR" in lines and "zelka check tests/data/farms/hourly" in lines
    monkeypatch.chdir(ROOT)
    words = {"FOLDER...": str(EXAMPLE_FARM), "FOLDER": str(EXAMPLE_FARM), "DIR": str(EXAMPLE_FARM),
             "FILE": str(tmp_path / "tour.png"), "FILE.png": str(tmp_path / "tour.png"),
             "report.html": str(tmp_path / "report.html"),
             "N": "2", "SECONDS": "5",
             "HOST:PORT": scheduler.removeprefix("tcp://")}
    for line in lines:
        args = [words.get(w, w) for w in line.split()[1:]]
        args = [re.sub(r"(?<==)HOST:PORT$", words["HOST:PORT"], a) for a in args]
        if len(args) == 1:  # the subcommand named
            args.append("--help")
        if "--dask" in args:  # a local cluster of one worker
            args += ["--workers", "1"]
        status = zelka(args)
        err = capsys.readouterr().err
        assert status in (0, 1), (line, err)
    # the picture drawn where the test said, none in the checkout
    assert (tmp_path / "tour.png").stat().st_size > 0 and not list(ROOT.glob("FILE*"))


@pytest.mark.parametrize("workers", ["1", "2"])
def test_all_rows_json_and_the_report_page_from_any_process(capsys, monkeypatch, tmp_path, workers):
    monkeypatch.chdir(ROOT)
    hourly = str(Path("tests") / "data" / "farms" / "hourly")
    assert zelka(["check", "--all", "--workers", workers, hourly]) == 1
    assert capsys.readouterr().out.count("hourly rows?") == 230
    assert zelka(["check", "--format", "json", "--workers", workers, str(MESSY)]) == 1
    farm, = json.loads(capsys.readouterr().out)["farms"]
    assert (farm["errors"], farm["warnings"], len(farm["findings"])) == (21, 6, 27)
    assert [n["subject"] for n in farm["notices"]] == ["field_losses"]
    page = tmp_path / "report.html"
    assert zelka(["check", "--all", "--report", str(page), "--workers", workers, str(MESSY),
                  hourly]) == 1
    assert capsys.readouterr().out.count("hourly rows?") == 1 + 230  # every row with a report too
    html = page.read_text(encoding="utf-8")
    # the page shows a rule's first 200 rows and counts the rest; the JSON keeps them all
    assert html.count('<tr class="finding">') == 27 + 200 and "data:image/svg+xml;base64," in html
    assert "&hellip; and 30 more (lines " in html
    assert zelka(["check", "--report", str(tmp_path / "no" / "r.html"), str(MESSY)]) == 1
    assert capsys.readouterr().err.endswith("No such file or directory: "
                                            f"'{tmp_path / 'no' / 'r.html'}'\n")


@pytest.mark.parametrize("report", [False, True])
def test_output_cut_short_by_its_reader_ends_quietly(tmp_path, report):
    hourly = ROOT / "tests" / "data" / "farms" / "hourly"
    page = tmp_path / "r.html"
    # Eight farms of 230 findings each: more text than a pipe holds.
    process = subprocess.Popen([sys.executable, "-m", "py_zelka", "check", "--all", "--workers",
                                "1", *["--report", str(page)] * report, *[str(hourly)] * 8],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = process.stdout.readline()
    process.stdout.close()
    err = process.stderr.read()
    assert process.wait(timeout=120) == 141 and err == b""
    assert first.startswith(b"farm ")
    # the page written all the same, before the text (each farm's 230 rows of one rule: 200 shown)
    assert page.exists() == report
    assert not report or page.read_text(encoding="utf-8").count('<tr class="finding">') == 8 * 200


@pytest.mark.parametrize("given", [str, Path])
def test_paths_given_as_objects_are_shown_as_text(capsys, monkeypatch, given):
    monkeypatch.chdir(ROOT)
    page = Path("no") / "r.html"
    assert zelka(["check", "--report", given(page), given(MESSY)]) == 1
    out, err = capsys.readouterr()
    assert out.startswith(f"farm {MESSY}: 21 error(s)")
    assert (f"  field_losses: 'field_losses' column not present in '{MESSY / 'ernte.csv'}'; "
            in out)
    assert err == (f"zelka check: cannot write the report '{page}': [Errno 2] No such file or "
                   f"directory: '{page}'\n")
