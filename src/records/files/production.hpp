// The ribbon production file: the steps of HarvestTagReader.read.
#pragma once

#include "records/files/checked.hpp"

namespace records {

// The count columns of the file, which are also the fields of an
// observation.
constexpr size_t n_counts = 6;
constexpr const char *count_names[n_counts] = {"bagged",       "cut",      "age_at_cut",
                                               "field_losses", "rejected", "processed"};

// The names the production steps look up in their module, in the module's
// order: RibbonDataError, the notices' names, the common ones and
// _REQUIRED_COLUMNS, _EXTENSION_COLUMNS, _NUMERIC_COLUMNS.
void publish_production_names(const Publish &put);

// What a read gives: the data (empty when a rule failed in a check), the
// notices, and the table as loaded.
struct ProductionRead {
    nb::object data, notices, table;
};

// The steps of HarvestTagReader.read, each check a rule of `checks`: reading
// stops at the first failure; a farm check runs every rule whose columns the
// file has.
ProductionRead run_production(ReaderState &s, nb::handle path, Checks &checks,
                              Options *options);

// Every rule of a production file; `columns` maps our labels to the file's
// (None: the file uses ours), `dayfirst` reads its dates day first.
CheckedFile check_production_file(ReaderState &s, nb::handle path, nb::handle columns,
                                  bool dayfirst, const Declarations &declared = {});

}  // namespace records
