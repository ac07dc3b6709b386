#include "records/files/inventory.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/duplicates.hpp"
#include "records/rows.hpp"
#include "records/tags.hpp"

#include <cmath>

namespace records {

namespace {

nb::object call_builtin(const char *name, nb::handle arg) {
    return host::from_import("builtins", name)(arg);
}

// The chain values of the file that are no ChainKind value: the text (and
// other) values sorted, each once, and one NaN last when cells are missing.
nb::object invalid_chains(const Pandas &pd, nb::handle chain_column, nb::handle valid) {
    // Each distinct cell once (pandas' hashing counts equal values as one,
    // as a set does); missing cells are set apart below.
    nb::list cells = distinct_cells(pd, chain_column);
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
Rows invalid_chain_rows(nb::handle chain_column, nb::handle valid) {
    nb::list values = cells(chain_column);
    return rows_where(nb::len(values), [&](size_t i) {
        nb::handle cell = values[i];
        if (host::is_missing(cell))
            return true;
        int r = PySet_Contains(valid.ptr(), cell.ptr());
        if (r < 0)
            throw nb::python_error();
        return r == 0;
    });
}

// The rows of a missing or negative population.
Rows population_rows(const Float64Values &values) {
    return rows_where(values.size(), [&](size_t i) {
        double v = values[i];
        return std::isnan(v) || v < 0.0;
    });
}

// The rows of a negative age in an int64 column, which holds no missing and
// no fractional value (`age != age.astype(int)` is nowhere true there).
Rows negative_rows(const Int64Values &values) {
    return rows_where(values.size(), [&](size_t i) { return values[i] < 0; });
}

// The rows of a missing, negative or not whole age: `age.isna()`, `age < 0`,
// `age != age.astype(int)` -- the last the C++ way for float columns, where
// an infinite age is no whole number of weeks either (pandas would refuse to
// cast it), and pandas' own for the other numeric columns once no age is
// missing.
Rows age_rows(const ReaderState &s, nb::handle age, const Float64Values &values) {
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
        for (size_t i : true_rows(s.pd, differs))
            bad[i] = true;
    }
    return rows_where(n, [&](size_t i) { return bad[i]; });
}

}  // namespace

nb::object run_inventory(ReaderState &s, nb::handle path, Checks &checks, Options *options,
                         nb::object &loaded) {
    nb::object error_cls = s.global("CohortChainError");
    nb::str prefix = host::text("population inventory file ", host::Repr{path});

    // 1-2. Load and check the required columns.
    nb::object table = load_for(checks, options, s.global("_read_table"), path,
                                         s.global("_TEXT_COLUMNS"));
    loaded = table;
    nb::list present = require_columns_rule(
        checks, s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"), prefix,
        error_cls);
    auto has = [&](const char *label) {
        return !checks.collecting() || host::contains(present, nb::str(label));
    };

    // 3. Chains.
    nb::object chains;
    if (has("chain")) {
        nb::object valid = s.global("_VALID_CHAINS");
        chains = column(s.pd, table, nb::str("chain"));
        nb::object invalid = invalid_chains(s.pd, chains, valid);
        if (nb::len(invalid) > 0)
            checks.fail({Rule::chain_values, nb::str("chain"), invalid_chain_rows(chains, valid),
                         host::text(prefix, " has invalid chain value(s) ", host::Str{invalid},
                                    "; expected exactly one of ",
                                    host::Str{call_builtin("sorted", valid)}),
                         error_cls, nb::object()});
    }

    // 4. Population: present and not negative.
    nb::object population;
    if (has("population")) {
        population =
            to_numeric(s.pd, column(s.pd, table, nb::str("population")));
        Rows rows = population_rows(Float64Values(s.pd, population));
        if (!rows.empty())
            checks.fail({Rule::population, nb::str("population"), rows,
                         host::text(prefix, " has a non-numeric or negative 'population' value"),
                         error_cls, nb::object()});
    }

    // 5. Age: present, not negative, whole.
    nb::object age;
    if (has("age_weeks")) {
        age = to_numeric(s.pd, column(s.pd, table, nb::str("age_weeks")));
        Rows rows = dtype_name(age) == "int64" ? negative_rows(Int64Values(age))
                                               : age_rows(s, age, Float64Values(s.pd, age));
        if (!rows.empty())
            checks.fail({Rule::age_weeks, nb::str("age_weeks"), rows,
                         host::text(prefix, " has a non-integer or negative 'age_weeks' value"),
                         error_cls, nb::object()});
    }
    if (checks.count() > 0)
        return nb::object();

    // 6-7. The result, the tag last when the file has one.  Reading, the
    // loaded table is dropped: the result takes its columns as they are (a
    // check hands out both, each with columns of its own).
    nb::object result = frame(
        s.pd,
        {{"chain", chains},
         {"population", population.attr("astype")(nb::handle((PyObject *) &PyFloat_Type))},
         {"age_weeks", age.attr("astype")(nb::handle((PyObject *) &PyLong_Type))}},
        options != nullptr);
    if (has_column(table, nb::str("tag")))
        result = result.attr("assign")(
            nb::arg("tag").none() =
                map_tags(s.pd, column(s.pd, table, nb::str("tag")),
                                  s.global("_normalize_tag"), s.own_normalize_tag));
    return result;
}

void publish_inventory_names(const Publish &put) {
    publish_common_names(put, "CohortChainError", true);
    nb::object chain_kind = host::from_import("py_zelka.cohorts", "ChainKind");
    put("_REQUIRED_COLUMNS", nb::make_tuple("chain", "population", "age_weeks"));
    put("_TEXT_COLUMNS", nb::make_tuple("tag"));
    nb::set valid;
    for (nb::handle member : chain_kind)
        valid.add(member.attr("value"));
    put("_VALID_CHAINS", valid);
}

CheckedFile check_inventory_file(ReaderState &s, nb::handle path, nb::handle columns,
                                 const Declarations &declared) {
    Checks checks = Checks::every_failure();
    Options options = options_of(columns, nb::bool_(false));
    options.declared = declared;
    nb::object loaded;
    nb::object data = run_inventory(s, path, checks, &options, loaded);
    return checked_file(s, checks, data, loaded, options);
}

}  // namespace records
