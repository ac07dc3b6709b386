// py_zelka.cropcare -- the farm's management plan for replacement suckers:
// how many are scheduled for each simulation week.
#include "host/capi.hpp"
#include "host/classes.hpp"
#include "host/host.hpp"
#include "host/yaml_file.hpp"

namespace nb = nanobind;

namespace {

using host::checked;

struct State : host::State {
    host::Ref path_cls{this};     // pathlib.Path
    host::Ref yaml_module{this};  // yaml (safe_load is looked up per call)
    host::Ref float_0{this};
    host::Ref s_replacement_schedule{this};
};

// `value or {}`
nb::object or_empty_dict(nb::object value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth ? value : nb::object(nb::dict());
}

// One (key, value) pair of `items()`, unpacked as `for key, value in ...` does.
void unpack_pair(nb::handle pair, nb::object &key, nb::object &value) {
    if (Py_IS_TYPE(pair.ptr(), &PyTuple_Type) && PyTuple_Size(pair.ptr()) == 2) {
        key = nb::borrow(PyTuple_GetItem(pair.ptr(), 0));
        value = nb::borrow(PyTuple_GetItem(pair.ptr(), 1));
        return;
    }
    nb::object items = nb::steal(checked(PySequence_Tuple(pair.ptr())));
    Py_ssize_t n = PyTuple_Size(items.ptr());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    key = nb::borrow(PyTuple_GetItem(items.ptr(), 0));
    value = nb::borrow(PyTuple_GetItem(items.ptr(), 1));
}

nb::object from_yaml(State &s, nb::handle cls, nb::handle path) {
    nb::object file = s.path_cls.get()(path);
    nb::object document = or_empty_dict(host::load_yaml_file(file, s.yaml_module));
    nb::object raw = or_empty_dict(document.attr("get")("replacement_schedule"));
    nb::dict schedule;
    for (nb::handle pair : raw.attr("items")()) {
        nb::object key, value;
        unpack_pair(pair, key, value);
        nb::object week = host::call((PyObject *) &PyLong_Type, key);
        nb::object count =
            host::call((PyObject *) &PyFloat_Type, value);
        if (PyDict_SetItem(schedule.ptr(), week.ptr(), count.ptr()) != 0)
            throw nb::python_error();
    }
    return cls(nb::arg("replacement_schedule") = schedule);
}

nb::object replacement_suckers_for_week(State &s, nb::handle self, nb::handle week_index) {
    nb::object schedule =
        nb::steal(checked(PyObject_GetAttr(self.ptr(), s.s_replacement_schedule.ptr())));
    if (Py_IS_TYPE(schedule.ptr(), &PyDict_Type)) {
        PyObject *found = PyDict_GetItemWithError(schedule.ptr(), week_index.ptr());
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            throw nb::python_error();
        return s.float_0.object();
    }
    return schedule.attr("get")(week_index, s.float_0.get());
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The farm's schedule of replacement suckers.\n\n"
        "CropCare.from_yaml reads the replacement_schedule mapping of a management\n"
        "file (week index -> number of replacement suckers planted that week);\n"
        "replacement_suckers_for_week answers for one week, 0.0 where the plan has\n"
        "no entry.";

    s.path_cls = host::from_import("pathlib", "Path");
    nb::object yaml = host::import("yaml");
    s.yaml_module = yaml;
    s.float_0 = nb::float_(0.0);
    s.s_replacement_schedule = nb::steal(host::interned("replacement_schedule"));

    host::publish(m, "Mapping", host::from_import("collections.abc", "Mapping"));
    host::publish(m, "dataclass", host::from_import("dataclasses", "dataclass"));
    nb::object dict_type = nb::borrow((PyObject *) &PyDict_Type);
    host::publish(m, "field", host::from_import("dataclasses", "field"));
    host::publish(m, "Path", s.path_cls);
    host::publish(m, "yaml", yaml);

    host::publish(
        m, "CropCare",
        host::ClassBuilder(s, "CropCare",
                           "The farm's management plan for replacement suckers.\n\n"
                           "replacement_schedule  week index -> number of replacement suckers\n"
                           "                      scheduled for that week (the mapping is\n"
                           "                      stored as given, not copied)")
            .field_default_factory("replacement_schedule", "Mapping[int, float]", dict_type)
            .class_method<&from_yaml>("from_yaml", "(cls, /, path: str | os.PathLike) -> CropCare",
                          "Read the plan from a YAML management file.\n\n"
                          "path is a path as text or a path object.  The file's top-level\n"
                          "replacement_schedule mapping gives the plan: every key is turned\n"
                          "into a week index with int(), every value into a number with\n"
                          "float(); a later key for the same week wins.  An empty file, or\n"
                          "one without a replacement_schedule, gives an empty plan.  Errors of\n"
                          "reading, parsing and conversion propagate unchanged.")
            .method<&replacement_suckers_for_week>(
                    "replacement_suckers_for_week", "(self, /, week_index: int) -> float",
                    "The number of replacement suckers scheduled for the week, 0.0 when\n"
                    "the plan has none.  The week index is looked up as given: 12.0 finds\n"
                    "the entry of week 12.")
            .record());
}

}  // namespace

ZELKA_MODULE(cropcare, State, init)
