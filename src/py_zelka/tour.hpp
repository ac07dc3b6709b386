// The tour of a farm: what the simulation is given, read from the farm's
// folder and printed.
#pragma once

#include <nanobind/nanobind.h>

namespace tour {

namespace nb = nanobind;

// Prints the tour of the farm in `folder` to sys.stdout (the farm read with
// py_zelka.farm.Farm.load); draws the weather, the production, the dispersion
// profiles and the harvest hazard with the farm report's charts to the file
// `plot` (PNG, SVG, ... by its suffix) unless it is None.  Returns the exit
// status: 0, or 1 when the farm's files hold errors (FarmCheckError's message
// on sys.stderr, nothing toured) or the plot cannot be written (without
// matplotlib: the line that installs it on sys.stderr, no file).
int run(nb::handle folder, nb::handle plot);

}  // namespace tour
