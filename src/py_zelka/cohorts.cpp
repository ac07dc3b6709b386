// py_zelka.cohorts -- the cohort chains of a mat.
#include "host/classes.hpp"
#include "host/host.hpp"

namespace nb = nanobind;

namespace {

void init(nb::module_ &m, host::State &) {
    m.doc() = "Cohort vocabulary of the plantation population model.";
    host::publish(m, "ChainKind",
                  host::str_enum(m, "ChainKind",
                                 "The chain a cohort belongs to: plants still growing "
                                 "(vegetative) or plants past flowering (reproductive).",
                                 {{"VEGETATIVE", "vegetative"}, {"REPRODUCTIVE", "reproductive"}}));
}

}  // namespace

ZELKA_MODULE(cohorts, host::State, init)
