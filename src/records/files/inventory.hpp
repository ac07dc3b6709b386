// The population inventory file: the steps of PopulationInventoryReader.read.
#pragma once

#include "records/files/checked.hpp"

namespace records {

// The names the inventory steps look up in their module: CohortChainError,
// _normalize_tag, _REQUIRED_COLUMNS, _TEXT_COLUMNS, _VALID_CHAINS and the
// common ones.
void publish_inventory_names(const Publish &put);

// The steps of PopulationInventoryReader.read, each check a rule of
// `checks`: reading stops at the first failure; a farm check runs every rule
// whose columns the file has.  The data, or empty when a rule failed in a
// check; `loaded` receives the table as loaded.
nb::object run_inventory(ReaderState &s, nb::handle path, Checks &checks, Options *options,
                         nb::object &loaded);

// Every rule of an inventory file; `columns` maps our labels to the file's
// (None: the file uses ours).
CheckedFile check_inventory_file(ReaderState &s, nb::handle path, nb::handle columns,
                                 const Declarations &declared = {});

}  // namespace records
