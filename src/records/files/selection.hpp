// The sucker selection file: the steps of FollowerChoiceReader.read.
#pragma once

#include "records/files/checked.hpp"

namespace records {

// The names the selection steps look up in their module, in the module's
// order: SuckerSelectionError, the common ones and _REQUIRED_COLUMNS.
void publish_selection_names(const Publish &put);

// The steps of FollowerChoiceReader.read, each check a rule of `checks`:
// reading stops at the first failure; a farm check runs every rule whose
// columns the file has.  The data, or empty when a rule failed in a check;
// `loaded` receives the table as loaded.
nb::object run_selection(ReaderState &s, nb::handle path, Checks &checks, Options *options,
                         nb::object &loaded);

// Every rule of a selection file; `columns` maps our labels to the file's
// (None: the file uses ours), `dayfirst` reads its dates day first.
CheckedFile check_selection_file(ReaderState &s, nb::handle path, nb::handle columns,
                                 bool dayfirst, const Declarations &declared = {});

}  // namespace records
