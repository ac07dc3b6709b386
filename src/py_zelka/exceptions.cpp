// py_zelka.exceptions -- the package's exception classes.  Each is raised with
// one message string.
#include "host/classes.hpp"
#include "host/host.hpp"

namespace nb = nanobind;

namespace {

void init(nb::module_ &m, host::State &s) {
    m.doc() = "Exception classes of py_zelka; every one derives from ZelkaError.";

    nb::object base = host::publish(
        m, "ZelkaError",
        host::empty_class(s, "ZelkaError", "Base class of every error py_zelka raises.",
                          nb::make_tuple(nb::handle(PyExc_Exception))));
    nb::object bases = nb::make_tuple(base);

    const std::pair<const char *, const char *> derived[] = {
        {"ParameterError", "A parameter file or parameter set is malformed or out of range."},
        {"WeatherError",
         "A weather file cannot be read, or a date lies outside the weather period."},
        {"CohortChainError", "A population inventory file holds invalid cohort data."},
        {"RibbonDataError", "A ribbon production file holds invalid harvest records."},
        {"SuckerSelectionError", "A sucker selection file holds invalid counts."},
    };
    for (const auto &[name, doc] : derived)
        host::publish(m, name, host::empty_class(s, name, doc, bases));
}

}  // namespace

ZELKA_MODULE(exceptions, host::State, init)
