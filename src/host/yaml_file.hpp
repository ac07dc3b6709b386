// Reading a YAML document from a file, as
//
//     with path.open("r", encoding="utf-8") as stream:
//         document = yaml.safe_load(stream)
//
// does: the file is closed before the document is used, and when loading
// fails; the errors of opening, decoding and parsing propagate unchanged.
#pragma once

#include <nanobind/nanobind.h>

namespace host {

namespace nb = nanobind;

// `path` is a path object; `yaml` the yaml module (its safe_load is looked up
// at each call).  None when the context manager suppresses a loading error.
nb::object load_yaml_file(nb::handle path, nb::handle yaml);

}  // namespace host
