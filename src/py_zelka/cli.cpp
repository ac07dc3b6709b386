// py_zelka.cli -- the zelka command.
//
//   zelka check PATH... [--format text|json] [--workers N] [--dask [ADDRESS]]
//   zelka tour [FOLDER] [--plot FILE.png]
#include "host/capi.hpp"
#include "host/function.hpp"
#include "host/host.hpp"
#include "py_zelka/tour.hpp"

#include <string>

namespace nb = nanobind;

namespace {

using State = host::State;

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

nb::dict failed_check(nb::handle path, nb::handle error) {
    nb::str message = host::text("the check itself failed: ",
                                 host::Str{nb::handle((PyObject *) Py_TYPE(error.ptr())).attr("__name__")},
                                 ": ", host::Str{error});
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

// The check of one farm as plain data, for any process: the report's
// findings and text, or the check's own failure as the farm's one error.
nb::object check_for_cli(State &, nb::handle path) {
    try {
        nb::object report = host::from_import("py_zelka.farm", "check_farm")(path);
        nb::dict out = nb::borrow<nb::dict>(report.attr("_as_dict")());
        out["text"] = host::str(report);
        return out;
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))
            throw;
        return failed_check(path, error.value());
    }
}

// The checks of many farms: in this process, in a process pool, or on a
// Dask cluster; a farm whose check fails in its worker is that farm's error.
nb::list check_farms(nb::handle paths, nb::handle workers, nb::handle dask) {
    nb::object check = host::from_import("py_zelka.cli", "_check_for_cli");
    nb::list results;
    size_t n = nb::len(paths);
    if (!dask.is_none()) {
        nb::object client_cls = host::from_import("distributed", "Client");
        nb::object client = nb::len(dask) > 0 ? client_cls(dask) : client_cls();
        try {
            nb::list futures = host::as_list(client.attr("map")(check, paths, nb::arg("pure") = false));
            for (size_t i = 0; i < n; ++i) {
                try {
                    results.append(futures[i].attr("result")());
                } catch (nb::python_error &error) {
                    results.append(failed_check(paths[i], error.value()));
                }
            }
        } catch (...) {
            client.attr("close")();
            throw;
        }
        client.attr("close")();
        return results;
    }
    bool pool = n > 1 && !(PyLong_Check(workers.ptr()) && nb::cast<long>(workers) == 1);
    if (!pool) {
        for (nb::handle path : paths)
            results.append(check(path));
        return results;
    }
    // Workers started afresh ("spawn"): this process may run threads of its
    // own, which forking would copy half-way.
    nb::object context = host::from_import("multiprocessing", "get_context")("spawn");
    nb::object executor = host::from_import("concurrent.futures", "ProcessPoolExecutor")(
        nb::arg("max_workers") = workers, nb::arg("mp_context") = context);
    nb::list futures;
    for (nb::handle path : paths)
        futures.append(executor.attr("submit")(check, path));
    for (size_t i = 0; i < n; ++i) {
        try {
            results.append(futures[i].attr("result")());
        } catch (nb::python_error &error) {
            results.append(failed_check(paths[i], error.value()));
        }
    }
    executor.attr("shutdown")();
    return results;
}

int run_check(nb::handle args) {
    nb::object paths = args.attr("paths");
    nb::object workers = args.attr("workers");
    nb::list results;
    try {
        results = check_farms(paths, workers, args.attr("dask"));
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ImportError))
            throw;
        write_error(host::text("zelka check --dask needs Dask: pip install 'py_zelka[dask]' (",
                               host::Str{error.value()}, ")\n"));
        return 2;
    }
    bool failed = false;
    for (nb::handle result : results)
        failed = failed || !host::truth(result["ok"]);
    if (std::string(nb::str(args.attr("format")).c_str()) == "json") {
        nb::list farms;
        for (nb::handle result : results) {
            nb::dict farm;
            for (const char *key : {"path", "ok", "findings"})
                farm[key] = result[key];
            farms.append(farm);
        }
        nb::dict out;
        out["farms"] = farms;
        write(nb::borrow<nb::str>(host::from_import("json", "dumps")(
            out, nb::arg("indent") = 2, nb::arg("ensure_ascii") = false)));
        write(nb::str("\n"));
    } else {
        bool first = true;
        for (nb::handle result : results) {
            if (!first)
                write(nb::str("\n"));
            write(nb::borrow<nb::str>(result["text"]));
            first = false;
        }
    }
    return failed ? 1 : 0;
}

int run_tour(nb::handle args) {
    nb::object folder = args.attr("folder");
    if (folder.is_none())
        folder = host::from_import("py_zelka.farm", "EXAMPLE_FARM");
    return tour::run(folder, args.attr("plot"));
}

// `type=` of --workers: a whole number of at least 1.
nb::object positive(State &, nb::handle text) {
    nb::object value;
    try {
        value = host::call((PyObject *) &PyLong_Type, text);
    } catch (nb::python_error &) {
        value = nb::int_(0);
    }
    if (nb::cast<long>(value) < 1)
        host::raise(host::from_import("argparse", "ArgumentTypeError"),
                    host::text("expected a whole number of workers, at least 1, not ",
                               host::Repr{text}));
    return value;
}

nb::object parser() {
    nb::object argparse = host::import("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        nb::arg("prog") = "zelka",
        nb::arg("description") = "Check farms' files and tour what the simulation is given.");
    nb::object commands = parser.attr("add_subparsers")(nb::arg("dest") = "command",
                                                       nb::arg("required") = true);
    nb::object check = commands.attr("add_parser")(
        "check", nb::arg("help") = "check every file of one or more farm folders",
        nb::arg("description") =
            "Run every check of every file of each farm folder and print the findings: one per "
            "failing row and check, with its file, line, column, value, rule, severity and "
            "message.  Exit status 0 when no farm has an error, 1 when one has, 2 for a wrong "
            "command line.");
    check.attr("add_argument")("paths", nb::arg("nargs") = "+", nb::arg("metavar") = "PATH",
                               nb::arg("help") = "a farm folder");
    nb::list formats;
    formats.append("text");
    formats.append("json");
    check.attr("add_argument")("--format", nb::arg("choices") = formats,
                               nb::arg("default") = "text",
                               nb::arg("help") = "text (a table per farm) or json");
    check.attr("add_argument")("--workers", nb::arg("type") = host::from_import("py_zelka.cli", "_positive"),
                               nb::arg("default") = nb::none(), nb::arg("metavar") = "N",
                               nb::arg("help") = "worker processes for many farms (default: one "
                                                 "per core; 1: in this process)");
    check.attr("add_argument")(
        "--dask", nb::arg("nargs") = "?", nb::arg("const") = "", nb::arg("default") = nb::none(),
        nb::arg("metavar") = "ADDRESS",
        nb::arg("help") = "check the farms on a Dask cluster (its scheduler's address; none: a "
                          "local cluster); needs pip install 'py_zelka[dask]'");
    nb::object tour = commands.attr("add_parser")(
        "tour", nb::arg("help") = "show what the simulation is given for a farm",
        nb::arg("description") =
            "Read a farm's folder and show what the simulation would be given: the parameter "
            "set, the dispersion of flowering, sucker selection and harvest, the weather "
            "period, the inventory, the production, the sucker selection, the replacement "
            "schedule and the notices of the reads.");
    tour.attr("add_argument")("folder", nb::arg("nargs") = "?", nb::arg("default") = nb::none(),
                              nb::arg("help") = "the farm's folder (default: the example farm "
                                                "shipped with py_zelka)");
    tour.attr("add_argument")("--plot", nb::arg("metavar") = "FILE.png",
                              nb::arg("default") = nb::none(),
                              nb::arg("help") = "also draw the profiles and the production "
                                                "(needs matplotlib: the plot extra)");
    return parser;
}

nb::object main_(State &, nb::handle argv) {
    nb::object args;
    try {
        args = parser().attr("parse_args")(argv);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_SystemExit))
            throw;
        nb::object code = error.value().attr("code");  // argparse's 2 (0 for --help)
        return code.is_none() ? nb::object(nb::int_(0)) : code;
    }
    std::string command = nb::str(args.attr("command")).c_str();
    return nb::int_(command == "check" ? run_check(args) : run_tour(args));
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The zelka command: zelka check PATH... checks farm folders, zelka tour [FOLDER]\n"
        "shows what the simulation is given for a farm.  main(argv) runs it and returns\n"
        "the exit status (python -m py_zelka runs it too).";
    host::def<&main_>(m, s, "main", "(argv: list[str] | None = None) -> int",
                      "Run the zelka command line (argv: its arguments; None: sys.argv[1:]).\n\n"
                      "Returns the exit status: 0 when no farm checked has an error, 1 when\n"
                      "one has, 2 for a wrong command line.");
    host::def<&check_for_cli>(m, s, "_check_for_cli", "(path: str | os.PathLike) -> dict",
                              "The check of one farm as plain data (its report, its text), or\n"
                              "the check's own failure as the farm's one error.");
    host::def<&positive>(m, s, "_positive", "(text: str) -> int",
                         "A whole number of at least 1, for --workers.");
}

}  // namespace

ZELKA_MODULE(cli, State, init)
