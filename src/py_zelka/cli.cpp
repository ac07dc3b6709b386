// py_zelka.cli -- the zelka command.
//
//   zelka check PATH... [--format text|json] [--workers N]
//                       [--dask | --dask-address ADDRESS] [--dask-timeout SECONDS]
//   zelka tour [FOLDER | --data FOLDER] [--plot FILE.png]
//
// Many farms: checked in this process while that is quick; a pool of worker
// processes joins in once the farms still to check would take long enough to
// pay for starting it.  The workers start once, with the package imported;
// this process hands each of them a farm or two at a time over a pipe of its
// own and goes on checking farms too.  A worker that dies has the farm it was
// checking checked again by another; a farm that stops two workers is that
// farm's error.
//
// Ctrl-C, at any moment of a check (a pool's or a Dask cluster's start, the
// farms, their stop), is noted and ends the run: the farms checked by then
// are printed, then one line, and the status is 130.  The processes the
// command starts never see it.
#include "host/capi.hpp"
#include "host/function.hpp"
#include "host/host.hpp"
#include "py_zelka/tour.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

struct State : host::State {
    // In a worker process: the farms of the run and its end of the pipe by
    // which the command counts them out.
    host::Ref share_paths{this};
    host::Ref share_shown{this};
    host::Ref share_output{this};
    host::Ref share_next{this};
    // Set by Ctrl-C during a run in this process.
    bool stop = false;
    // Ctrl-C also raises KeyboardInterrupt: a wait that may be cut short.
    bool raise_on_stop = false;
};

// Start a pool only when the farms left would take longer than this in this
// process: starting the workers (an interpreter, pandas imported) costs about
// half a second of one core.
constexpr double pool_pays_seconds = 1.0;
// A worker's last farm and its answer, once stopped.
constexpr double stop_grace_seconds = 1.0;
constexpr long max_workers = 1024;
// Farms handed to a worker ahead of its answers: the one it checks and the
// next, so that it never waits for this process.
constexpr size_t handed_ahead = 2;
// How often a wait looks whether Ctrl-C came.
constexpr double poll_seconds = 0.05;

void write(const nb::str &text) {
    nb::object stdout_ = host::from_import("sys", "stdout");
    stdout_.attr("write")(text);
    stdout_.attr("flush")();
}

void write_error(const nb::str &text) {
    nb::object stderr_ = host::from_import("sys", "stderr");
    stderr_.attr("write")(text);
    stderr_.attr("flush")();
}

double now() {
    return nb::cast<double>(host::from_import("time", "perf_counter")());
}

bool is_interrupt(const nb::python_error &error) {
    return host::error_is(error, PyExc_KeyboardInterrupt);
}

// A farm whose check gave no report: `message` as its one error.
nb::dict failed_farm(nb::handle path, const nb::str &message) {
    nb::dict finding;
    for (const char *key : {"file", "line", "column", "value"})
        finding[key] = nb::none();
    finding["rule"] = "check_failed";
    finding["severity"] = "error";
    finding["message"] = message;
    nb::dict out;
    out["path"] = host::str(path);
    out["ok"] = false;
    nb::list findings;
    findings.append(finding);
    out["findings"] = findings;
    out["notices"] = nb::list();
    out["text"] = host::text("farm ", host::Str{path}, ": ", message, "\n");
    return out;
}

nb::dict failed_check(nb::handle path, nb::handle error) {
    return failed_farm(
        path, host::text("the check itself failed: ",
                         host::Str{nb::handle((PyObject *) Py_TYPE(error.ptr())).attr("__name__")},
                         ": ", host::Str{error}));
}

// The check of one farm as plain data, for any process: the report's
// findings and text, or the check's own failure as the farm's one error.
// `shown` is the path the report names (the folder as the user wrote it,
// when `path` is that folder made absolute for another process).
//
// `output` says what the run prints, as words: "text" (each rule's first
// rows), "all" (every row), "json" (the findings as data, no text),
// "report" (the farm's charts drawn for the HTML report, under "charts",
// with the findings): "text", "all", "json", "report", "all report" or
// "json report".  Only what the run prints is made: a text run's farm is
// its path, verdict and text.
nb::object check_for_cli(State &, nb::handle path, nb::handle shown, nb::handle output) {
    nb::handle name = shown.is_none() ? path : shown;
    std::string mode = " " + (output.is_none() ? "text" : host::utf8(output)) + " ";
    bool html = mode.find(" report ") != std::string::npos;
    bool all = mode.find(" all ") != std::string::npos;
    bool json = mode.find(" json ") != std::string::npos;
    try {
        nb::object report = host::from_import("py_zelka.farm", "check_farm")(path);
        if (!shown.is_none())
            report = host::from_import("dataclasses", "replace")(report, nb::arg("folder") = host::str(shown));
        nb::dict out;
        if (html || json) {
            out = nb::borrow<nb::dict>(report.attr("_as_dict")(nb::arg("html") = nb::bool_(html)));
        } else {
            out["path"] = report.attr("folder");
            out["ok"] = report.attr("ok");
        }
        if (!json)
            out["text"] = report.attr("to_text")(nb::arg("all") = nb::bool_(all));
        return out;
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))
            throw;
        return failed_check(name, error.value());
    }
}

// ---------------------------------------------------------------------------
// Ctrl-C

// SIGINT's handler during a run: the stop is noted, and the run ends after
// the farm in hand (an exception raised inside a farm's check would be taken
// for that farm's failure) -- or at once, in a wait that may be cut short.
nb::object on_interrupt(State &s, nb::handle, nb::handle) {
    s.stop = true;
    if (s.raise_on_stop) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw nb::python_error();
    }
    return nb::none();
}

// Ctrl-C noted in `stop` while it lives, where this thread can handle
// signals and Ctrl-C is not ignored.
class StopOnInterrupt {
  public:
    explicit StopOnInterrupt(State &s) {
        s.stop = false;
        s.raise_on_stop = false;
        nb::object threading = host::import("threading");
        signal_ = host::import("signal");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")()))
            return;
        nb::object previous = signal_.attr("getsignal")(signal_.attr("SIGINT"));
        if (previous.is(signal_.attr("SIG_IGN")) || previous.is_none())
            return;
        signal_.attr("signal")(signal_.attr("SIGINT"), s.global("_on_interrupt"));
        previous_ = previous;
    }
    ~StopOnInterrupt() {
        if (!previous_.is_valid())
            return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        nb::object restored = nb::steal(PyObject_CallMethod(
            signal_.ptr(), "signal", "OO", signal_.attr("SIGINT").ptr(), previous_.ptr()));
        if (!restored.is_valid())
            PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }

  private:
    nb::object signal_, previous_;
};

// Runs `wait`, which Ctrl-C cuts short (a wait on another machine, as long
// as --dask-timeout says): false when Ctrl-C came first.
template <typename Wait>
bool unless_stopped(State &s, Wait &&wait) {
    if (s.stop)
        return false;
    struct Raising {
        State &s;
        explicit Raising(State &s) : s(s) { s.raise_on_stop = true; }
        ~Raising() { s.raise_on_stop = false; }
    };
    try {
        Raising raising(s);
        wait();
    } catch (nb::python_error &error) {
        if (!is_interrupt(error))
            throw;
        s.stop = true;
    }
    return !s.stop;
}

// While it lives, SIGINT is held back in this thread, so that the processes
// started meanwhile -- and those started later by the threads started
// meanwhile, as a Dask nanny's restarts -- hold it back for good: Ctrl-C
// reaches every process of the terminal's foreground group, and a worker
// would answer it with a traceback before it could ignore it.  Ctrl-C is
// this process's to answer: what came meanwhile is answered when it ends.
class QuietChildren {
  public:
    QuietChildren() {
        nb::object signal = host::import("signal");
        if (!nb::hasattr(signal, "pthread_sigmask"))
            return;
        // multiprocessing's resource tracker, launched on the first start of
        // a process, unblocks SIGINT in the thread that launches it (a Dask
        // nanny's too): launched now, it leaves the mask alone.
        host::from_import("multiprocessing.resource_tracker", "ensure_running")();
        nb::set held;
        held.add(signal.attr("SIGINT"));
        nb::object mask = signal.attr("pthread_sigmask");
        before_ = mask(signal.attr("SIG_BLOCK"), held);
        mask_ = mask;
        set_ = signal.attr("SIG_SETMASK");
    }
    ~QuietChildren() {
        if (!mask_.is_valid())
            return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        nb::object done = nb::steal(
            PyObject_CallFunctionObjArgs(mask_.ptr(), set_.ptr(), before_.ptr(), nullptr));
        if (!done.is_valid())
            PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }

  private:
    nb::object mask_, set_, before_;
};

// ---------------------------------------------------------------------------
// A pool worker

// A pool worker's share: farm after farm as the command counts them out
// over the pipe, until it says stop.  The worker says it is ready once the
// package is imported, names each farm as it begins it, and answers each
// farm as soon as it is checked, as (index, result).
nb::object check_share(State &s) {
    nb::handle pipe = s.share_next.get();
    nb::object abspath = host::from_import("os.path", "abspath");
    host::import("py_zelka.farm");
    try {
        pipe.attr("send")(nb::none());
        for (;;) {
            nb::object message = pipe.attr("recv")();
            if (message.is_none())
                break;
            long i = nb::cast<long>(message);
            pipe.attr("send")(message);
            nb::object path = s.share_paths.get()[nb::int_(i)];
            nb::object shown = s.share_shown.get()[nb::int_(i)];
            // The folder as the user wrote it where it is the same folder
            // from here (a worker starts in the command's directory): the
            // report then reads as the command's own would.
            nb::object result = abspath(shown).equal(path)
                                    ? check_for_cli(s, shown, nb::none(), s.share_output.get())
                                    : check_for_cli(s, path, shown, s.share_output.get());
            pipe.attr("send")(nb::make_tuple(message, result));
        }
    } catch (nb::python_error &error) {
        // the command has gone
        if (!host::error_is(error, PyExc_EOFError) && !host::error_is(error, PyExc_OSError))
            throw;
    }
    return nb::none();
}

// A pool worker's process: Ctrl-C is the command's to answer (it stops the
// run), not the worker's; then its share of the run.
void start_worker(State &s, nb::handle paths, nb::handle shown, nb::handle counter,
                  nb::handle output) {
    nb::object signal = host::import("signal");
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
    s.share_paths = paths;
    s.share_shown = shown;
    s.share_next = counter;
    s.share_output = output;
    check_share(s);
}

// ---------------------------------------------------------------------------
// The run of many farms

struct Run {
    nb::list shown;                  // the paths as given
    nb::list absolute;               // the same made absolute, for other processes
    std::vector<nb::object> results; // per farm, empty until checked
    nb::object output = nb::str("text");  // check_for_cli's output: what the run prints
    bool interrupted = false;

    size_t checked() const {
        size_t k = 0;
        for (const nb::object &r : results)
            k += r.is_valid();
        return k;
    }
};

// Why a worker process ended, from its exit code.
std::string ending(nb::handle process) {
    nb::object code = process.attr("exitcode");
    if (code.is_none())
        return "ended";
    long status = nb::cast<long>(code);
    return status < 0 ? "killed by signal " + std::to_string(-status)
                      : "exited with status " + std::to_string(status);
}

// A pool of worker processes checking the farms this process hands them.
// No lock is shared that a killed worker could take with it: each worker
// has a pipe of its own.
class Pool {
  public:
    Pool(State &s, Run &run, long workers, long first)
        : s_(s), run_(run), size_(workers), stopped_(run.results.size(), 0),
          causes_(run.results.size()) {
        for (long i = first; i < (long) run.results.size(); ++i)
            todo_.push_back(i);
        // Workers started afresh ("spawn"), not forked from this process,
        // which may run threads of its own; this process goes on checking
        // farms while they start.
        context_ = host::import("multiprocessing").attr("get_context")("spawn");
        wait_ = host::from_import("multiprocessing.connection", "wait");
        for (long w = 0; w < workers; ++w)
            start();
    }

    ~Pool() {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            end(true);
        } catch (...) {
        }
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }

    // Answers the workers within `timeout` seconds: their answers kept, a
    // worker that died replaced, farms handed out.
    void serve(double timeout) {
        nb::list pipes;
        for (const Worker &w : workers_) {
            pipes.append(w.pipe);
            pipes.append(w.process.attr("sentinel"));
        }
        if (nb::len(pipes) > 0)
            wait_(pipes, timeout);
        for (size_t k = 0; k < workers_.size();) {
            bool open = read(workers_[k]);
            if (open && workers_[k].process.attr("exitcode").is_none()) {
                ++k;
                continue;
            }
            Worker gone = std::move(workers_[k]);
            workers_.erase(workers_.begin() + (long) k);
            died(gone);
        }
        if (stopping_)
            return;
        if (workers_.empty())
            orphans();
        for (Worker &w : workers_)
            hand(w);
    }

    // A farm for this process to check, -1 when none is left: never one
    // that stopped a worker (it could stop this process too).
    long take_here() {
        for (auto it = todo_.begin(); it != todo_.end(); ++it)
            if (stopped_[*it] == 0) {
                long i = *it;
                todo_.erase(it);
                return i;
            }
        return -1;
    }

    // True once every farm handed to the pool has its answer.
    bool finished() const {
        if (!todo_.empty())
            return false;
        for (const Worker &w : workers_)
            if (!w.handed.empty())
                return false;
        return true;
    }

    // Ctrl-C: no farm is handed out any more; the farms being checked are
    // answered within the grace, then the workers are ended.
    void stop() {
        stopping_ = true;
        double until = now() + stop_grace_seconds;
        auto checking = [&] {
            for (const Worker &w : workers_)
                if (w.checking >= 0)
                    return true;
            return false;
        };
        while (checking() && now() < until)
            serve(poll_seconds);
        end(true);
    }

    // The run done: every worker told to end, and waited for.
    void close() { end(false); }

  private:
    struct Worker {
        nb::object process, pipe;
        std::deque<long> handed;  // handed out, not yet answered, in order
        long checking = -1;       // the farm it said it began
        bool ready = false;
    };

    void start() {
        nb::object ends = context_.attr("Pipe")();
        nb::object here = ends[0], there = ends[1];
        nb::object process = context_.attr("Process")(
            nb::arg("target") = s_.global("_start_worker"),
            nb::arg("args") = nb::make_tuple(run_.absolute, run_.shown, there, run_.output),
            nb::arg("daemon") = true);
        {
            QuietChildren quiet;
            process.attr("start")();
        }
        there.attr("close")();
        workers_.push_back(Worker{process, here});
    }

    // The worker's messages so far; false once its pipe has closed.
    bool read(Worker &w) {
        try {
            while (host::truth(w.pipe.attr("poll")())) {
                nb::object message = w.pipe.attr("recv")();
                if (message.is_none()) {
                    w.ready = true;
                } else if (PyLong_Check(message.ptr())) {
                    w.checking = nb::cast<long>(message);
                } else {
                    long i = nb::cast<long>(message[0]);
                    run_.results[i] = message[1];
                    auto it = std::find(w.handed.begin(), w.handed.end(), i);
                    if (it != w.handed.end())
                        w.handed.erase(it);
                    w.checking = -1;
                }
            }
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_EOFError) && !host::error_is(error, PyExc_OSError))
                throw;
            return false;
        }
        return true;
    }

    // A worker has died: the farm it was checking is checked again by
    // another worker, started in its place, or is the farm's error once it
    // stopped two workers; the farms it had not begun go back first in line.
    void died(Worker &w) {
        w.process.attr("join")(stop_grace_seconds);
        if (w.process.attr("exitcode").is_none())
            w.process.attr("kill")();
        w.pipe.attr("close")();
        long farm = w.checking;
        if (farm >= 0) {
            causes_[farm] = ending(w.process);
            if (++stopped_[farm] >= 2)
                run_.results[farm] = failed_farm(
                    run_.shown[farm],
                    host::text("the check of this farm stopped its worker twice (",
                               causes_[farm], ")"));
        } else {
            ++unexplained_;
        }
        for (auto it = w.handed.rbegin(); it != w.handed.rend(); ++it)
            if (!run_.results[*it].is_valid())
                todo_.push_front(*it);
        // A worker that died of no farm is replaced a few times only: one
        // that cannot start would otherwise be started for ever.
        if (!stopping_ && !todo_.empty() && (farm >= 0 || unexplained_ <= size_))
            start();
    }

    // No worker is left: a farm that stopped one is not checked here, where
    // it could stop the command; it is its own error.
    void orphans() {
        for (auto it = todo_.begin(); it != todo_.end();) {
            if (stopped_[*it] == 0) {
                ++it;
                continue;
            }
            run_.results[*it] = failed_farm(
                run_.shown[*it],
                host::text("the check of this farm stopped its worker (", causes_[*it],
                           "), and no worker was left to check it again"));
            it = todo_.erase(it);
        }
    }

    void hand(Worker &w) {
        while (w.ready && w.handed.size() < handed_ahead && !todo_.empty()) {
            long i = todo_.front();
            todo_.pop_front();
            w.handed.push_back(i);  // back in line if the worker has died
            try {
                w.pipe.attr("send")(nb::int_(i));
            } catch (nb::python_error &error) {
                if (!host::error_is(error, PyExc_OSError))
                    throw;
                return;
            }
        }
    }

    // At once (`now`: workers still busy are ended), or after telling each
    // worker the run is done.
    void end(bool now) {
        for (Worker &w : workers_) {
            if (now || !w.ready) {  // a worker still starting has nothing to finish
                if (host::truth(w.process.attr("is_alive")()))
                    w.process.attr("terminate")();
                continue;
            }
            try {
                w.pipe.attr("send")(nb::none());
            } catch (nb::python_error &error) {
                if (!host::error_is(error, PyExc_OSError))
                    throw;
            }
        }
        for (Worker &w : workers_) {
            w.process.attr("join")(stop_grace_seconds);
            if (w.process.attr("exitcode").is_none()) {
                w.process.attr("kill")();
                w.process.attr("join")();
            }
            w.pipe.attr("close")();
        }
        workers_.clear();
    }

    State &s_;
    Run &run_;
    long size_;
    nb::object context_, wait_;
    std::vector<Worker> workers_;
    std::deque<long> todo_;        // farms not handed out yet
    std::vector<int> stopped_;     // per farm, the workers its check stopped
    std::vector<std::string> causes_;  // and how the last one ended
    long unexplained_ = 0;         // workers that died checking no farm
    bool stopping_ = false;
};

// The cores a pool may use: the cores less the load of the last minute
// (others' processes: a busy machine gains nothing from more of ours), at
// least 1.
long idle_cores() {
    nb::object cores = host::from_import("os", "cpu_count")();
    long n = cores.is_none() ? 1 : nb::cast<long>(cores);
    double load = 0;
    try {
        load = nb::cast<double>(host::from_import("os", "getloadavg")()[0]);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))
            throw;
    }
    return std::max(1L, std::min(n, 1 + (long) std::floor(std::max(0.0, n - load) + 0.5)));
}

// The farms in this process, a pool joining in where it pays (`workers`:
// processes checking farms, this one included; None: one per core).
void check_locally(State &s, Run &run, nb::handle workers) {
    long n = (long) run.results.size();
    bool chosen = !workers.is_none();
    long processes = chosen ? nb::cast<long>(workers) : idle_cores();
    long i = 0;
    double rest = 0;  // seconds of the farms after the first (whose time holds the imports)
    auto pays = [&]() {
        if (processes < 2 || n - i < 2)
            return false;
        if (chosen)
            return true;
        // the first farm's time holds the imports: judge by the others
        return i >= 2 && (n - i) * rest / (i - 1) > pool_pays_seconds;
    };
    std::unique_ptr<Pool> pool;
    for (; i < n && !s.stop; ++i) {
        if (pays()) {
            pool = std::make_unique<Pool>(s, run, std::min(processes - 1, n - i - 1), i);
            break;
        }
        double t0 = now();
        run.results[i] = check_for_cli(s, run.shown[i], nb::none(), run.output);
        if (i > 0)
            rest += now() - t0;
    }
    if (!pool)
        return;
    while (!s.stop) {
        pool->serve(0);
        long j = pool->take_here();
        if (j >= 0) {
            run.results[j] = check_for_cli(s, run.shown[j], nb::none(), run.output);
            continue;
        }
        if (pool->finished())
            break;
        pool->serve(poll_seconds);
    }
    if (s.stop)
        pool->stop();
    else
        pool->close();
}

// The farms on a Dask cluster: the scheduler at `address`, or a local
// cluster of `workers` processes when it is empty.  Ctrl-C is noted while a
// local cluster starts and while any cluster stops (cut short, either would
// leave processes behind), ends the wait for the farms, and cuts short the
// waits for a scheduler elsewhere.
int check_on_dask(State &s, Run &run, nb::handle address, nb::handle timeout, nb::handle workers) {
    nb::object client_cls, cluster_cls;
    try {
        client_cls = host::from_import("distributed", "Client");
        cluster_cls = host::from_import("distributed", "LocalCluster");
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ImportError))
            throw;
        write_error(nb::str("zelka check: --dask needs Dask distributed, which is not installed: "
                            "pip install 'py_zelka[dask]'\n"));
        return 2;
    }
    nb::object cluster, client;
    auto close = [&]() {
        if (client.is_valid() && !client.is_none())
            client.attr("close")();
        if (cluster.is_valid())
            cluster.attr("close")();
    };
    if (s.stop) {
        // Ctrl-C while Dask was imported
    } else if (address.is_none()) {
        // No dashboard, and no port of its own either: a port taken by
        // another cluster's dashboard is no warning of ours.
        // Its logs below errors are its own business (a worker stopped by
        // Ctrl-C in the middle of a farm says so).
        nb::dict scheduler;
        scheduler["dashboard_address"] = ":0";
        QuietChildren quiet;
        cluster = cluster_cls(nb::arg("n_workers") = workers, nb::arg("threads_per_worker") = 1,
                              nb::arg("dashboard_address") = nb::none(),
                              nb::arg("scheduler_kwargs") = scheduler,
                              nb::arg("silence_logs") = host::from_import("logging", "ERROR"));
    } else {
        // Dask bounds the connection by the timeout but not its greeting,
        // which a server of another kind may never answer: the greeting is
        // tried first, in a loop of its own, cancelled after the timeout.
        client = nb::none();
        try {
            unless_stopped(s, [&] {
                nb::object asyncio = host::import("asyncio");
                nb::object greeting = host::from_import("distributed.comm", "connect")(
                    address, nb::arg("timeout") = timeout);
                asyncio.attr("run")(asyncio.attr("wait_for")(greeting, timeout)).attr("abort")();
                client = client_cls(address, nb::arg("timeout") = timeout);
            });
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))
                throw;
        }
        if (!s.stop && client.is_none()) {
            write_error(host::text("zelka check: no Dask scheduler answered at ", host::Repr{address},
                                   " within ", host::Str{timeout},
                                   " s: start one there, or give another --dask-address or a longer "
                                   "--dask-timeout\n"));
            return 2;
        }
        // A scheduler without workers would hold the futures for ever.
        bool staffed = true;
        try {
            unless_stopped(s, [&] { client.attr("wait_for_workers")(1, nb::arg("timeout") = timeout); });
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))
                throw;
            staffed = false;
        }
        if (!staffed && !s.stop) {
            close();
            write_error(host::text("zelka check: the Dask scheduler at ", host::Repr{address},
                                   " has no worker (none joined within ", host::Str{timeout},
                                   " s): start one with: dask worker ", host::Str{address},
                                   " -- or give a longer --dask-timeout\n"));
            return 2;
        }
    }
    try {
        if (!s.stop && !client.is_valid())
            client = client_cls(cluster);
        if (!s.stop) {
            nb::object check = host::from_import("py_zelka.cli", "_check_for_cli");
            nb::object sleep = host::from_import("time", "sleep");
            nb::list futures = host::as_list(client.attr("map")(
                check, run.absolute, run.shown,
                nb::list(nb::make_tuple(run.output) * nb::int_(run.results.size())),
                nb::arg("pure") = false));
            auto done = [&](size_t i) { return host::truth(futures[i].attr("done")()); };
            for (size_t i = 0; i < run.results.size() && !s.stop; ++i)
                while (!s.stop && !done(i))
                    sleep(poll_seconds);
            // the farms answered by then, in any order; the others cancelled
            nb::list others;
            for (size_t i = 0; i < run.results.size(); ++i) {
                if (!done(i) || host::truth(futures[i].attr("cancelled")())) {
                    others.append(futures[i]);
                    continue;
                }
                try {
                    run.results[i] = futures[i].attr("result")();
                } catch (nb::python_error &error) {
                    if (!host::error_is(error, PyExc_Exception))
                        throw;
                    run.results[i] = failed_check(run.shown[i], error.value());
                }
            }
            if (nb::len(others) > 0)
                client.attr("cancel")(others);
        }
    } catch (...) {
        close();
        throw;
    }
    close();
    run.interrupted = s.stop;
    return 0;
}

void print_results(const Run &run, bool json) {
    if (json) {
        nb::list farms;
        for (const nb::object &result : run.results) {
            if (!result.is_valid())
                continue;
            nb::dict farm;
            for (auto [key, value] : nb::borrow<nb::dict>(result))
                if (!key.equal(nb::str("text")) && !key.equal(nb::str("charts")))
                    farm[key] = value;
            farms.append(farm);
        }
        nb::dict out;
        out["farms"] = farms;
        write(nb::borrow<nb::str>(host::from_import("json", "dumps")(
            out, nb::arg("indent") = 2, nb::arg("ensure_ascii") = false)));
        write(nb::str("\n"));
        return;
    }
    bool first = true;
    for (const nb::object &result : run.results) {
        if (!result.is_valid())
            continue;
        if (!first)
            write(nb::str("\n"));
        write(nb::borrow<nb::str>(result["text"]));
        first = false;
    }
}

// The HTML page of the farms checked, written before any text is printed (a
// reader of the text that goes away early cannot stop it); false when it
// cannot be written, as said on stderr.
bool write_report(const Run &run, nb::handle report_path) {
    nb::list checked;
    for (const nb::object &result : run.results)
        if (result.is_valid())
            checked.append(result);
    if (nb::len(checked) == 0)
        return true;
    try {
        nb::object page = host::from_import("py_zelka.farm", "html_report")(checked);
        host::from_import("pathlib", "Path")(report_path)
            .attr("write_text")(page, nb::arg("encoding") = "utf-8");
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_OSError))
            throw;
        write_error(host::text("zelka check: cannot write the report ", host::Repr{report_path},
                               ": ", host::Str{error.value()}, "\n"));
        return false;
    }
    if (host::from_import("importlib.util", "find_spec")("matplotlib").is_none())
        write_error(nb::str("zelka check: the report has no charts: matplotlib is not "
                            "installed (pip install 'py_zelka[plot]')\n"));
    return true;
}

int run_check(State &s, nb::handle args) {
    // Ctrl-C is noted from here to the end: the farms checked by then are
    // printed, and the status says it.
    StopOnInterrupt noted(s);
    Run run;
    nb::object abspath = host::from_import("os.path", "abspath");
    for (nb::handle path : args.attr("paths")) {
        run.shown.append(path);
        run.absolute.append(abspath(path));
    }
    run.results.resize(nb::len(run.shown));
    nb::object report_path = args.attr("report");
    bool all = host::truth(args.attr("all"));
    bool json = std::string(nb::str(args.attr("format")).c_str()) == "json";
    std::string output = json ? "json" : all ? "all" : "text";
    run.output = nb::str((report_path.is_none() ? output : output + " report").c_str());
    nb::object address = args.attr("dask_address");
    if (host::truth(args.attr("dask")) || !address.is_none()) {
        int status = check_on_dask(s, run, address, args.attr("dask_timeout"), args.attr("workers"));
        if (status != 0)
            return status;
    } else {
        check_locally(s, run, args.attr("workers"));
    }
    run.interrupted = run.interrupted || s.stop;
    bool written = report_path.is_none() || write_report(run, report_path);
    print_results(run, json);
    if (run.interrupted || s.stop) {
        write_error(host::text("zelka check: interrupted; ", std::to_string(run.checked()), " of ",
                               std::to_string(run.results.size()), " farm(s) checked\n"));
        return 130;
    }
    bool failed = !written;
    for (const nb::object &result : run.results)
        failed = failed || !host::truth(result["ok"]);
    return failed ? 1 : 0;
}

int run_tour(nb::handle args) {
    nb::object folder = args.attr("folder");
    if (folder.is_none())
        folder = args.attr("data");
    if (folder.is_none())
        folder = host::from_import("py_zelka.farm", "EXAMPLE_FARM");
    return tour::run(folder, args.attr("plot"));
}

// ---------------------------------------------------------------------------
// The command line

[[noreturn]] void bad_value(const char *expected, nb::handle text) {
    host::raise(host::from_import("argparse", "ArgumentTypeError"),
                host::text("expected ", expected, ", not ", host::Repr{text}));
}

// `type=` of --workers: a whole number from 1 to max_workers.
nb::object positive(State &, nb::handle text) {
    static const std::string expected =
        "a whole number of processes from 1 to " + std::to_string(max_workers);
    nb::object value;
    try {
        value = host::call((PyObject *) &PyLong_Type, text);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ValueError))
            throw;
        bad_value(expected.c_str(), text);
    }
    if (!(value >= nb::int_(1) && value <= nb::int_(max_workers)))
        bad_value(expected.c_str(), text);
    return value;
}

// `type=` of --dask-timeout: seconds, more than 0 and at most an hour.
nb::object seconds(State &, nb::handle text) {
    const char *expected = "a number of seconds above 0 and at most 3600";
    double value;
    try {
        value = nb::cast<double>(host::call((PyObject *) &PyFloat_Type, text));
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ValueError))
            throw;
        bad_value(expected, text);
    }
    if (!(value > 0 && value <= 3600))
        bad_value(expected, text);
    return nb::float_(value);
}

bool host_name(const std::string &host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (!(std::isalnum((unsigned char) c) || c == '-' || c == '.' || c == '_'))
            return false;
    return host.front() != '-' && host.front() != '.';
}

// `type=` of --dask-address: a scheduler's address, [PROTOCOL://]HOST:PORT.
nb::object scheduler_address(State &, nb::handle text) {
    std::string address = host::utf8(text), rest = address;
    size_t scheme = rest.find("://");
    bool good = true;
    if (scheme != std::string::npos) {
        std::string protocol = rest.substr(0, scheme);
        good = protocol == "tcp" || protocol == "tls" || protocol == "ws" || protocol == "wss" ||
               protocol == "ucx";
        rest = rest.substr(scheme + 3);
    }
    size_t colon = rest.rfind(':');
    std::string host, port;
    if (colon == std::string::npos) {
        good = false;
    } else {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (good && host.size() > 2 && host.front() == '[' && host.back() == ']') {
        for (char c : host.substr(1, host.size() - 2))
            good = good && (std::isxdigit((unsigned char) c) || c == ':' || c == '.');
    } else {
        good = good && host_name(host);
    }
    good = good && !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos &&
           std::stol(port) >= 1 && std::stol(port) <= 65535;
    if (!good)
        bad_value("a scheduler's address, HOST:PORT or tcp://HOST:PORT (as tcp://10.0.0.5:8786)",
                  text);
    return nb::str(address.c_str());
}

// The `error` of the command's parsers: the usage error in one line, exit
// status 2.
nb::object usage_error(State &, nb::handle prog, nb::handle message) {
    write_error(host::text(host::Str{prog}, ": error: ", host::Str{message}, " (see ",
                           host::Str{prog}, " --help)\n"));
    host::raise(PyExc_SystemExit, nb::int_(2));
}

nb::object parser(State &s) {
    nb::object argparse = host::import("argparse");
    nb::object partial = host::from_import("functools", "partial");
    nb::object error = s.global("_usage_error");
    nb::object parser = argparse.attr("ArgumentParser")(
        nb::arg("prog") = "zelka",
        nb::arg("description") = "Check farms' files and tour what the simulation is given.");
    parser.attr("error") = partial(error, "zelka");
    nb::object commands = parser.attr("add_subparsers")(nb::arg("dest") = "command",
                                                       nb::arg("required") = true);
    nb::object check = commands.attr("add_parser")(
        "check", nb::arg("help") = "check every file of one or more farm folders",
        nb::arg("description") =
            "Run every check of every file of each farm folder and print the findings: one per "
            "failing row and check, with its file, line, column, value, rule, severity and "
            "message.  Exit status 0 when no farm has an error, 1 when one has, 2 for a wrong "
            "command line or an unreachable Dask scheduler, 130 when stopped (Ctrl-C).");
    check.attr("error") = partial(error, "zelka check");
    check.attr("add_argument")("paths", nb::arg("nargs") = "+", nb::arg("metavar") = "PATH",
                               nb::arg("help") = "a farm folder");
    nb::list formats;
    formats.append("text");
    formats.append("json");
    check.attr("add_argument")("--format", nb::arg("choices") = formats,
                               nb::arg("default") = "text",
                               nb::arg("help") = "text (a table per farm) or json");
    check.attr("add_argument")("--all", nb::arg("action") = "store_true",
                               nb::arg("help") = "print every finding (default: the first "
                                                 "rows of each rule, the rest counted)");
    check.attr("add_argument")(
        "--report", nb::arg("metavar") = "FILE.html", nb::arg("default") = nb::none(),
        nb::arg("help") = "also write one self-contained HTML page of the farms' findings and "
                          "charts (charts need pip install 'py_zelka[plot]')");
    check.attr("add_argument")(
        "--workers", nb::arg("type") = s.global("_positive"), nb::arg("default") = nb::none(),
        nb::arg("metavar") = "N",
        nb::arg("help") = "processes checking farms, this one included (1 to 1024; default: one "
                          "per idle core, a pool started only when the farms are many enough to "
                          "pay for it; 1: this process only); with --dask, the local cluster's "
                          "workers");
    check.attr("add_argument")(
        "--dask", nb::arg("action") = "store_true",
        nb::arg("help") = "check the farms on a local Dask cluster started for the run; needs pip "
                          "install 'py_zelka[dask]'");
    check.attr("add_argument")(
        "--dask-address", nb::arg("type") = s.global("_scheduler_address"),
        nb::arg("default") = nb::none(), nb::arg("metavar") = "ADDRESS",
        nb::arg("help") = "check the farms on the Dask cluster whose scheduler is at ADDRESS "
                          "(HOST:PORT or tcp://HOST:PORT; --dask=ADDRESS says the same)");
    check.attr("add_argument")(
        "--dask-timeout", nb::arg("type") = s.global("_seconds"), nb::arg("default") = nb::none(),
        nb::arg("metavar") = "SECONDS",
        nb::arg("help") = "how long to wait for the scheduler at ADDRESS to answer, and for a "
                          "worker to join it (default 10)");
    nb::object tour = commands.attr("add_parser")(
        "tour", nb::arg("help") = "show what the simulation is given for a farm",
        nb::arg("description") =
            "Read a farm's folder and show what the simulation would be given: the parameter "
            "set, the dispersion of flowering, sucker selection and harvest, the weather "
            "period, the inventory, the production, the sucker selection, the replacement "
            "schedule and the notices of the reads.  Exit status 0; 1 when the farm's files "
            "hold errors or the plot cannot be written; 2 for a wrong command line.");
    tour.attr("error") = partial(error, "zelka tour");
    nb::object folder = tour.attr("add_mutually_exclusive_group")();
    folder.attr("add_argument")("folder", nb::arg("nargs") = "?", nb::arg("default") = nb::none(),
                                nb::arg("help") = "the farm's folder (default: the example farm "
                                                  "shipped with py_zelka)");
    folder.attr("add_argument")("--data", nb::arg("metavar") = "FOLDER",
                                nb::arg("default") = nb::none(),
                                nb::arg("help") = "the farm's folder, as FOLDER");
    tour.attr("add_argument")("--plot", nb::arg("metavar") = "FILE.png",
                              nb::arg("default") = nb::none(),
                              nb::arg("help") = "also draw the profiles and the production "
                                                "(needs matplotlib: pip install 'py_zelka[plot]')");
    return parser;
}

// --dask=ADDRESS is --dask-address=ADDRESS (up to a "--"); a path object
// (main(["check", folder]) from Python) is its path as text, as a shell
// would have given it.
nb::list arguments(nb::handle argv) {
    nb::object path_like = host::from_import("os", "PathLike");
    nb::object fsdecode = host::from_import("os", "fsdecode");
    nb::list out;
    bool options = true;
    for (nb::handle item : argv) {
        nb::object arg = nb::borrow(item);
        if (!PyUnicode_Check(item.ptr()) && nb::isinstance(item, path_like))
            arg = fsdecode(item);
        if (options && PyUnicode_Check(arg.ptr())) {
            std::string text = host::utf8(arg);
            if (text == "--")
                options = false;
            else if (text.rfind("--dask=", 0) == 0)
                arg = host::text("--dask-address=", nb::str(text.substr(7).c_str()));
        }
        out.append(arg);
    }
    return out;
}

// The command line parsed and run; `prog` names what runs, for the line of
// an interruption.
nb::object command_line(State &s, nb::handle argv, std::string &prog) {
    nb::object args;
    nb::object given = nb::borrow(argv);
    if (argv.is_none()) {
        nb::list all = host::as_list(host::from_import("sys", "argv"));
        given = nb::steal(PyList_GetSlice(all.ptr(), 1, PY_SSIZE_T_MAX));
    }
    try {
        args = parser(s).attr("parse_args")(arguments(given));
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_SystemExit))
            throw;
        nb::object code = error.value().attr("code");  // 2 (0 for --help)
        return code.is_none() ? nb::object(nb::int_(0)) : code;
    }
    std::string command = nb::str(args.attr("command")).c_str();
    prog = "zelka " + command;
    if (command == "check") {
        if (args.attr("dask_address").is_none() && !args.attr("dask_timeout").is_none()) {
            try {
                usage_error(s, nb::str("zelka check"),
                            nb::str("argument --dask-timeout: only with --dask-address"));
            } catch (nb::python_error &) {
                return nb::int_(2);
            }
        }
        if (args.attr("dask_timeout").is_none())
            args.attr("dask_timeout") = nb::float_(10.0);
    }
    return nb::int_(command == "check" ? run_check(s, args) : run_tour(args));
}

nb::object main_(State &s, nb::handle argv) {
    std::string prog = "zelka";
    try {
        return command_line(s, argv, prog);
    } catch (nb::python_error &error) {
        if (is_interrupt(error)) {
            // Ctrl-C outside a check's run (which notes it): before it
            // began, or in a tour
            write_error(host::text(prog, ": interrupted\n"));
            return nb::int_(130);
        }
        if (!host::error_is(error, PyExc_BrokenPipeError))
            throw;
        // Whoever read the output has gone (zelka check ... | head): what is
        // left of it goes nowhere, and the status is a broken pipe's, as the
        // shell's own tools end.
        nb::object os = host::import("os");
        nb::object devnull = os.attr("open")(os.attr("devnull"), os.attr("O_WRONLY"));
        os.attr("dup2")(devnull, host::from_import("sys", "stdout").attr("fileno")());
        os.attr("close")(devnull);
        return nb::int_(141);
    }
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The zelka command: zelka check PATH... checks farm folders, zelka tour [FOLDER]\n"
        "shows what the simulation is given for a farm.  main(argv) runs it and returns\n"
        "the exit status (python -m py_zelka runs it too).";
    host::def<&main_>(m, s, "main", "(argv: list[str] | None = None) -> int",
                      "Run the zelka command line (argv: its arguments; None: sys.argv[1:]).\n\n"
                      "Returns the exit status: 0 when no farm checked has an error, 1 when\n"
                      "one has, 2 for a wrong command line or an unreachable Dask scheduler,\n"
                      "130 when stopped by Ctrl-C (the farms checked by then are printed).");
    host::def<&check_for_cli>(m, s, "_check_for_cli",
                              "(path: str | os.PathLike, shown: str | None = None, "
                              "output: str = 'text') -> dict",
                              "The check of one farm as plain data, or the check's own failure\n"
                              "as the farm's one error; the report names the folder `shown`\n"
                              "when given.  output says what is printed: 'text' (the path, 'ok'\n"
                              "and the text of each rule's first rows), 'all' (the text of every\n"
                              "row) or 'json' (the report as data, no text); ' report' after\n"
                              "any of them adds the report as data and the farm's charts, under\n"
                              "'charts'.");
    host::def<&start_worker>(m, s, "_start_worker",
                             "(paths: list, shown: list, counter: object, output: str) -> None",
                             "A pool worker's process: Ctrl-C left to the command, then its\n"
                             "share of the farms (paths as this process reaches them, shown as\n"
                             "the report names them), counted out over `counter`, its end of a\n"
                             "pipe from the command.");
    host::def<&check_share>(m, s, "_check_share", "() -> None",
                            "A pool worker's share: farm after farm as the command counts them\n"
                            "out, each answered as (index, result) as soon as checked, until\n"
                            "the command says stop.");
    host::def<&positive>(m, s, "_positive", "(text: str) -> int",
                         "A whole number from 1 to 1024, for --workers.");
    host::def<&seconds>(m, s, "_seconds", "(text: str) -> float",
                        "Seconds above 0 and at most 3600, for --dask-timeout.");
    host::def<&scheduler_address>(m, s, "_scheduler_address", "(text: str) -> str",
                                  "A Dask scheduler's address, [PROTOCOL://]HOST:PORT, for\n"
                                  "--dask-address.");
    host::def<&on_interrupt>(m, s, "_on_interrupt", "(signum: int, frame: object) -> None",
                             "SIGINT's handler during a run: the run stops after the farm in\n"
                             "hand.");
    host::def<&usage_error>(m, s, "_usage_error", "(prog: str, message: str) -> NoReturn",
                            "Print a usage error in one line and exit with status 2.");
}

}  // namespace

ZELKA_MODULE(cli, State, init)
