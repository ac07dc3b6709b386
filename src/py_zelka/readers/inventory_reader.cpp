// py_zelka.readers.inventory_reader -- the farm's population inventory: one
// row per cohort with its chain kind, its population and its age in whole
// weeks, optionally with its ribbon tag.
#include "host/frames.hpp"
#include "host/host.hpp"

#include <cmath>

namespace nb = nanobind;

namespace {

// Host objects cached once at module initialisation (never released).
PyObject *module = nullptr;          // this module: its globals are read at call time
PyObject *is_float_dtype = nullptr;  // pd.api.types.is_float_dtype

nb::object global(const char *name) { return nb::handle(module).attr(name); }

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
    nb::list cells = frames::cells(chain_column.attr("drop_duplicates")());
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
bool has_fraction(nb::handle age, const frames::Float64Column &values) {
    if (!frames::truth(nb::handle(is_float_dtype)(age.attr("dtype")))) {
        nb::object whole = age.attr("astype")(nb::handle((PyObject *) &PyLong_Type));
        nb::object differs = nb::steal(PyObject_RichCompare(age.ptr(), whole.ptr(), Py_NE));
        if (!differs.is_valid())
            throw nb::python_error();
        return frames::truth(differs.attr("any")());
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

bool any_missing(const frames::Float64Column &values) {
    for (size_t i = 0; i < values.size(); ++i)
        if (std::isnan(values[i]))
            return true;
    return false;
}

nb::object read_inventory(nb::handle path) {
    nb::object error_cls = global("CohortChainError");

    // 1-2. Load and check the required columns.
    nb::object table = global("_read_table")(path, nb::arg("text_columns") = global("_TEXT_COLUMNS"));
    frames::require_columns(global("_require_columns"), table, global("_REQUIRED_COLUMNS"),
                            host::text("population inventory file ", host::Repr{path}),
                            error_cls);

    // 3. Chains.
    nb::object valid = global("_VALID_CHAINS");
    nb::object invalid = invalid_chains(table["chain"], valid);
    if (nb::len(invalid) > 0)
        host::raise(error_cls, host::text("population inventory file ", host::Repr{path},
                                          " has invalid chain value(s) ", host::Str{invalid},
                                          "; expected exactly one of ",
                                          host::Str{call_builtin("sorted", valid)}));

    // 4. Population: present and not negative.
    nb::object population = frames::to_numeric(table["population"]);
    {
        frames::Float64Column values(population);
        if (any_missing(values) || !frames::negative_rows(values).empty())
            inventory_error(error_cls, path, " has a non-numeric or negative 'population' value");
    }

    // 5. Age: present, not negative, whole.
    nb::object age = frames::to_numeric(table["age_weeks"]);
    {
        frames::Float64Column values(age);
        if (any_missing(values) || !frames::negative_rows(values).empty() ||
            has_fraction(age, values))
            inventory_error(error_cls, path, " has a non-integer or negative 'age_weeks' value");
    }

    // 6-7. The result, the tag last when the file has one.
    nb::object result = frames::frame(
        {{"chain", table["chain"]},
         {"population", population.attr("astype")(nb::handle((PyObject *) &PyFloat_Type))},
         {"age_weeks", age.attr("astype")(nb::handle((PyObject *) &PyLong_Type))}});
    if (frames::has_column(table, nb::str("tag")))
        result = result.attr("assign")(
            nb::arg("tag").none() = frames::map_tags(table["tag"], global("_normalize_tag")));
    return global("ReadResult")(nb::arg("data").none() = result,
                                nb::arg("notices") = global("NoticeLog")());
}

}  // namespace

NB_MODULE(inventory_reader, m) {
    m.doc() =
        "The population inventory file: per cohort its chain kind (vegetative or\n"
        "reproductive), its population and its age in whole weeks, and optionally\n"
        "its ribbon tag.\n\n"
        "PopulationInventoryReader.read(path) checks every value and returns the\n"
        "table.";
    frames::init();
    module = host::leak(m);
    is_float_dtype = host::leak(frames::pandas().attr("api").attr("types").attr("is_float_dtype"));

    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "pd", frames::pandas());
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
        frames::reader_class(
            m, "PopulationInventoryReader", "Reader of a farm's population inventory file.",
            &read_inventory, nb::arg("path").none(),
            nb::sig("def read(path: str | os.PathLike) -> ReadResult"),
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
