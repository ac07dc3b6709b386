#include "py_zelka/tour.hpp"

#include "host/host.hpp"

namespace tour {

int run(nb::handle folder, nb::handle) {
    nb::object farm = host::from_import("py_zelka.farm", "Farm").attr("load")(folder);
    host::from_import("sys", "stdout").attr("write")(
        host::text("py_zelka tour of the farm in ", host::Str{farm.attr("folder")}, "\n"));
    return 0;
}

}  // namespace tour
