// py_zelka.readers.inventory_reader -- the farm's population inventory: one
// row per cohort with its chain kind, its population and its age in whole
// weeks, optionally with its ribbon tag.
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/duplicates.hpp"
#include "records/reader.hpp"
#include "records/rules.hpp"
#include "records/rows.hpp"
#include "records/tags.hpp"

#include <cmath>

namespace nb = nanobind;

namespace {

using State = records::ReaderState;

nb::object call_builtin(const char *name, nb::handle arg) {
    return host::from_import("builtins", name)(arg);
}

// The chain values of the file that are no ChainKind value: the text (and
// other) values sorted, each once, and one NaN last when cells are missing.
nb::object invalid_chains(const records::Pandas &pd, nb::handle chain_column, nb::handle valid) {
    // Each distinct cell once (pandas' hashing counts equal values as one,
    // as a set does); missing cells are set apart below.
    nb::list cells = records::distinct_cells(pd, chain_column);
    nb::object present = nb::steal(PySet_New(nullptr));
    if (!present.is_valid())
        throw nb::python_error();
    bool missing = false;
    for (nb::handle cell : cells) {
        if (host::is_missing(cell))
            missing = true;
        else if (PySet_Add(present.ptr(), cell.ptr()) != 0)
            throw nb::python_error();
    }
    nb::object rest = nb::steal(PyNumber_Subtract(present.ptr(), valid.ptr()));
    if (!rest.is_valid())
        throw nb::python_error();
    nb::list invalid = nb::borrow<nb::list>(call_builtin("sorted", rest));
    if (missing)
        invalid.append(nb::float_(std::nan("")));
    return invalid;
}

// The rows whose chain is no ChainKind value (missing cells included).
records::Rows invalid_chain_rows(nb::handle chain_column, nb::handle valid) {
    nb::list cells = records::cells(chain_column);
    return records::rows_where(nb::len(cells), [&](size_t i) {
        nb::handle cell = cells[i];
        if (host::is_missing(cell))
            return true;
        int r = PySet_Contains(valid.ptr(), cell.ptr());
        if (r < 0)
            throw nb::python_error();
        return r == 0;
    });
}

// The rows of a missing or negative population.
records::Rows population_rows(const records::Float64Values &values) {
    return records::rows_where(values.size(), [&](size_t i) {
        double v = values[i];
        return std::isnan(v) || v < 0.0;
    });
}

// The rows of a missing, negative or not whole age: `age.isna()`, `age < 0`,
// `age != age.astype(int)` -- the last the C++ way for float columns, where
// an infinite age is no whole number of weeks either (pandas would refuse to
// cast it), and pandas' own for the other numeric columns once no age is
// missing.
records::Rows age_rows(const State &s, nb::handle age, const records::Float64Values &values) {
    bool is_float = host::truth(s.pd.is_float_dtype.get()(age.attr("dtype")));
    size_t n = values.size();
    std::vector<bool> bad(n, false);
    bool any_missing = false;
    for (size_t i = 0; i < n; ++i) {
        double v = values[i];
        if (std::isnan(v))
            bad[i] = any_missing = true;
        else if (v < 0.0)
            bad[i] = true;
        else if (is_float)  // a finite value converts to int64 unchanged when whole and below 2**63
            bad[i] = !std::isfinite(v) || std::floor(v) != v || v >= 9223372036854775808.0;
    }
    if (!is_float && !any_missing) {
        nb::object whole = age.attr("astype")(nb::handle((PyObject *) &PyLong_Type));
        nb::object differs = nb::steal(PyObject_RichCompare(age.ptr(), whole.ptr(), Py_NE));
        if (!differs.is_valid())
            throw nb::python_error();
        for (size_t i : records::true_rows(s.pd, differs))
            bad[i] = true;
    }
    return records::rows_where(n, [&](size_t i) { return bad[i]; });
}

// The steps of PopulationInventoryReader.read, each check a rule of
// `checks`: reading stops at the first failure; a farm check runs every rule
// whose columns the file has.  The data, or empty when a rule failed in a
// check.
nb::object run_inventory(State &s, nb::handle path, records::Checks &checks,
                         records::Options *options, nb::object &loaded) {
    nb::object error_cls = s.global("CohortChainError");
    nb::str prefix = host::text("population inventory file ", host::Repr{path});

    // 1-2. Load and check the required columns.
    nb::object table = records::load_for(checks, options, s.global("_read_table"), path,
                                         s.global("_TEXT_COLUMNS"));
    loaded = table;
    nb::list present = records::require_columns_rule(
        checks, s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"), prefix,
        error_cls);
    auto has = [&](const char *label) {
        return !checks.collecting() || host::contains(present, nb::str(label));
    };

    // 3. Chains.
    nb::object chains;
    if (has("chain")) {
        nb::object valid = s.global("_VALID_CHAINS");
        chains = records::column(s.pd, table, nb::str("chain"));
        nb::object invalid = invalid_chains(s.pd, chains, valid);
        if (nb::len(invalid) > 0)
            checks.fail({"chain_values", nb::str("chain"), invalid_chain_rows(chains, valid),
                         host::text(prefix, " has invalid chain value(s) ", host::Str{invalid},
                                    "; expected exactly one of ",
                                    host::Str{call_builtin("sorted", valid)}),
                         error_cls, nb::object()});
    }

    // 4. Population: present and not negative.
    nb::object population;
    if (has("population")) {
        population =
            records::to_numeric(s.pd, records::column(s.pd, table, nb::str("population")));
        records::Rows rows = population_rows(records::Float64Values(s.pd, population));
        if (!rows.empty())
            checks.fail({"population", nb::str("population"), rows,
                         host::text(prefix, " has a non-numeric or negative 'population' value"),
                         error_cls, nb::object()});
    }

    // 5. Age: present, not negative, whole.
    nb::object age;
    if (has("age_weeks")) {
        age = records::to_numeric(s.pd, records::column(s.pd, table, nb::str("age_weeks")));
        records::Rows rows = age_rows(s, age, records::Float64Values(s.pd, age));
        if (!rows.empty())
            checks.fail({"age_weeks", nb::str("age_weeks"), rows,
                         host::text(prefix, " has a non-integer or negative 'age_weeks' value"),
                         error_cls, nb::object()});
    }
    if (checks.count() > 0)
        return nb::object();

    // 6-7. The result, the tag last when the file has one.
    nb::object result = records::frame(
        s.pd,
        {{"chain", chains},
         {"population", population.attr("astype")(nb::handle((PyObject *) &PyFloat_Type))},
         {"age_weeks", age.attr("astype")(nb::handle((PyObject *) &PyLong_Type))}});
    if (records::has_column(table, nb::str("tag")))
        result = result.attr("assign")(
            nb::arg("tag").none() =
                records::map_tags(s.pd, records::column(s.pd, table, nb::str("tag")),
                                  s.global("_normalize_tag"), s.own_normalize_tag));
    return result;
}

nb::object read_inventory(State &s, nb::handle path) {
    records::Checks checks = records::Checks::first_failure();
    nb::object loaded;
    nb::object data = run_inventory(s, path, checks, nullptr, loaded);
    return records::read_result(s, data);
}

// The farm check of an inventory file: every rule, with the farm's labels.
nb::object check_inventory(State &s, nb::handle path, nb::handle columns) {
    records::Checks checks = records::Checks::every_failure();
    records::Options options = records::options_of(columns, nb::bool_(false));
    nb::object loaded;
    nb::object data = run_inventory(s, path, checks, &options, loaded);
    return records::checked_file(checks, data, s.global("NoticeLog")(), loaded, options);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The population inventory file: per cohort its chain kind (vegetative or\n"
        "reproductive), its population and its age in whole weeks, and optionally\n"
        "its ribbon tag.\n\n"
        "PopulationInventoryReader.read(path) checks every value and returns the\n"
        "table.";
    s.load();

    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "pd", s.pd.module);
    nb::object chain_kind = host::publish(m, "ChainKind", host::from_import("py_zelka.cohorts", "ChainKind"));
    host::publish(m, "CohortChainError", host::from_import("py_zelka.exceptions", "CohortChainError"));
    for (const char *name : {"NoticeLog", "ReadResult"})
        host::publish(m, name, host::from_import("py_zelka.notices", name));
    nb::object common = host::import("py_zelka.readers._common");
    for (const char *name : {"_normalize_tag", "_read_table", "_require_columns"})
        host::publish(m, name, common.attr(name));
    host::publish(m, "_REQUIRED_COLUMNS", nb::make_tuple("chain", "population", "age_weeks"));
    host::publish(m, "_TEXT_COLUMNS", nb::make_tuple("tag"));
    nb::set valid;
    for (nb::handle member : chain_kind)
        valid.add(member.attr("value"));
    host::publish(m, "_VALID_CHAINS", valid);

    host::publish(
        m, "PopulationInventoryReader",
        records::reader_class<&read_inventory>(
            s, "PopulationInventoryReader", "Reader of a farm's population inventory file.",
            "(path: str | os.PathLike) -> ReadResult",
            "Load and check a population inventory file.\n\n"
            "The file needs the columns chain, population and age_weeks; a tag column\n"
            "is optional and its labels are normalised (stripped, lower case).  Every\n"
            "chain must be a ChainKind value exactly as written ('vegetative',\n"
            "'reproductive'); every population a number not below zero; every age a\n"
            "whole number of weeks not below zero.\n\n"
            "Raises CohortChainError for a missing column, invalid chain values\n"
            "(each named once; missing cells as nan), or a missing, non-numeric or\n"
            "negative population or age, or an age that is not whole.\n\n"
            "Returns ReadResult(data, notices) with an empty notice log: data has the\n"
            "columns chain, population (float), age_weeks (int) and, when the file has\n"
            "one, tag, one row per file row, with the file's row index."));
    host::def<&check_inventory>(
        m, s, "_check_file",
        "(path: str | os.PathLike, *, columns: Mapping[str, str] | None = None) -> dict",
        "Every check of PopulationInventoryReader.read on an inventory file, for the\n"
        "farm check.\n\n"
        "columns maps the reader's column labels to the file's.  Returns a dict: data\n"
        "(the table read returns, or None when a check failed), notices, failures\n"
        "((rule, column, rows, message) tuples, rows as positions of the loaded\n"
        "table), table (as loaded), kind, header_line, separator and encoding.");
}

}  // namespace

ZELKA_MODULE(inventory_reader, State, init)
