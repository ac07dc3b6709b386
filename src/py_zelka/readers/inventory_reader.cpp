// py_zelka.readers.inventory_reader -- the farm's population inventory: one
// row per cohort with its chain kind, its population and its age in whole
// weeks, optionally with its ribbon tag.
#include "host/host.hpp"
#include "records/files/inventory.hpp"
#include "records/reader.hpp"

namespace nb = nanobind;

namespace {

using State = records::ReaderState;

nb::object read_inventory(State &s, nb::handle path) {
    records::Checks checks = records::Checks::first_failure();
    nb::object loaded;
    nb::object data = records::run_inventory(s, path, checks, nullptr, loaded);
    return records::read_result(s, data);
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
    host::publish(m, "ChainKind", host::from_import("py_zelka.cohorts", "ChainKind"));
    records::publish_inventory_names([&](const char *name, nb::handle value) {
        host::publish(m, name, value);
    });

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
