// The tour of a farm: what the simulation is given, read from the farm's
// folder and printed.
#pragma once

#include <nanobind/nanobind.h>

namespace tour {

namespace nb = nanobind;

// Prints the tour of the farm in `folder` to sys.stdout (the farm read with
// py_zelka.farm.Farm.load); draws the weather, the production, the dispersion
// profiles and the harvest hazard with the farm report's charts to the file
// `plot` unless it is None, in the format its suffix names (".png", ".svg",
// ".pdf", ... in any case), at exactly that path.  Returns the exit status:
// 0; 1 when the farm's files hold errors (FarmCheckError's message on
// sys.stderr, nothing toured) or the plot cannot be written (without
// matplotlib: the line that installs it on sys.stderr, no file); 2, before
// any farm is read, when the suffix names no format matplotlib writes (the
// usage error, one line on sys.stderr, naming the suffixes it takes).
int run(nb::handle folder, nb::handle plot);

}  // namespace tour
