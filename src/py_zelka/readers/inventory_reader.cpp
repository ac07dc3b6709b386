// py_zelka.readers.inventory_reader -- the farm's population inventory: one
// row per cohort with its chain kind, its population and its age in whole
// weeks, optionally with its ribbon tag.
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/reader.hpp"
#include "records/rows.hpp"
#include "records/tags.hpp"

#include <cmath>

namespace nb = nanobind;

namespace {

using State = records::ReaderState;

nb::object call_builtin(const char *name, nb::handle arg) {
    return host::from_import("builtins", name)(arg);
}

[[noreturn]] void inventory_error(nb::handle error_cls, nb::handle path, const char *what) {
    host::raise(error_cls, host::text("population inventory file ", host::Repr{path}, what));
}

// The chain values of the file that are no ChainKind value: the text (and
// other) values sorted, each once, and one NaN last when cells are missing.
nb::object invalid_chains(nb::handle chain_column, nb::handle valid) {
    // Each distinct cell once (pandas' hashing counts equal values as one,
    // as a set does); missing cells are set apart below.
    nb::list cells = records::cells(chain_column.attr("drop_duplicates")());
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

// `(age != age.astype(int)).any()`, the C++ way for float columns, where an
// infinite age is no whole number of weeks either (pandas would refuse to
// cast it).
bool has_fraction(const State &s, nb::handle age, const records::Float64Values &values) {
    if (!host::truth(s.pd.is_float_dtype.get()(age.attr("dtype")))) {
        nb::object whole = age.attr("astype")(nb::handle((PyObject *) &PyLong_Type));
        nb::object differs = nb::steal(PyObject_RichCompare(age.ptr(), whole.ptr(), Py_NE));
        if (!differs.is_valid())
            throw nb::python_error();
        return host::truth(differs.attr("any")());
    }
    // A finite value converts to int64 unchanged when it is whole and below
    // 2**63 (no value here is negative).
    for (size_t i = 0; i < values.size(); ++i) {
        double v = values[i];
        if (!std::isfinite(v) || std::floor(v) != v || v >= 9223372036854775808.0)
            return true;
    }
    return false;
}

bool any_missing(const records::Float64Values &values) {
    for (size_t i = 0; i < values.size(); ++i)
        if (std::isnan(values[i]))
            return true;
    return false;
}

nb::object read_inventory(State &s, nb::handle path) {
    nb::object error_cls = s.global("CohortChainError");

    // 1-2. Load and check the required columns.
    nb::object table = s.global("_read_table")(path, nb::arg("text_columns") = s.global("_TEXT_COLUMNS"));
    records::require_columns(s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"),
                            host::text("population inventory file ", host::Repr{path}),
                            error_cls);

    // 3. Chains.
    nb::object valid = s.global("_VALID_CHAINS");
    nb::object chains = records::column(s.pd, table, nb::str("chain"));
    nb::object invalid = invalid_chains(chains, valid);
    if (nb::len(invalid) > 0)
        host::raise(error_cls, host::text("population inventory file ", host::Repr{path},
                                          " has invalid chain value(s) ", host::Str{invalid},
                                          "; expected exactly one of ",
                                          host::Str{call_builtin("sorted", valid)}));

    // 4. Population: present and not negative.
    nb::object population =
        records::to_numeric(s.pd, records::column(s.pd, table, nb::str("population")));
    {
        records::Float64Values values(s.pd, population);
        if (any_missing(values) || !records::negative_rows(values).empty())
            inventory_error(error_cls, path, " has a non-numeric or negative 'population' value");
    }

    // 5. Age: present, not negative, whole.
    nb::object age = records::to_numeric(s.pd, records::column(s.pd, table, nb::str("age_weeks")));
    {
        records::Float64Values values(s.pd, age);
        if (any_missing(values) || !records::negative_rows(values).empty() ||
            has_fraction(s, age, values))
            inventory_error(error_cls, path, " has a non-integer or negative 'age_weeks' value");
    }

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
    return s.global("ReadResult")(nb::arg("data").none() = result,
                                nb::arg("notices") = s.global("NoticeLog")());
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
}

}  // namespace

ZELKA_MODULE(inventory_reader, State, init)
