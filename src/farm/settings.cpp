// The parameter and management files.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/parameter_schema.hpp"

namespace farm {

using host::utf8;

namespace {

// The line a YAML error names, or None.
nb::object yaml_error_line(nb::python_error &error) {
    nb::object value = nb::borrow(error.value());
    if (nb::hasattr(value, "problem_mark")) {
        nb::object mark = value.attr("problem_mark");
        if (!mark.is_none())
            return nb::int_(nb::cast<long>(mark.attr("line")) + 1);
    }
    return nb::none();
}

// A number of a parameter value (an int or a float, not a bool), or false.
bool number_of(nb::handle value, double &out) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
        return false;
    out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

nb::object FarmCheck::load_yaml(nb::handle file, nb::handle path, nb::handle loader, Rule rule) {
    try {
        return loader(path);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        add(file, yaml_error_line(error), nb::none(), nb::none(), rule, error_text(error));
        return nb::none();
    }
}

void FarmCheck::check_parameters(nb::handle path) {
    nb::object parameters_cls = host::from_import("py_zelka.parameters", "ParameterSet");
    if (path.is_none()) {
        parameters_ = parameters_cls.attr("from_kessot_defaults")();
        notice("parameters",
               host::text("no parameters.yaml in ", host::Repr{host::str(folder_)},
                          "; the parameter set shipped with py_zelka is used"));
        return;
    }
    nb::object file = name_of(path);
    std::map<std::string, long> lines = yaml_lines(path);
    parameters_ = load_yaml(file, path, parameters_cls.attr("from_yaml"), Rule::parameters);
    if (parameters_.is_none())
        return;
    // Values outside what they mean to the model (warnings: the set loads).
    nb::object basis = parameters_.attr("general").attr("get")("rate_basis");
    for (const schema::Key &key : schema::keys) {
        if (key.meaning == schema::Meaning::any)
            continue;
        nb::object value = parameters_.attr(key.section).attr("get")(key.name);
        std::string where = std::string(key.section) + "." + key.name;
        nb::object line = line_or_none(lines, where);
        double v = 0.0;
        const char *problem = nullptr;
        switch (key.meaning) {
        case schema::Meaning::non_negative:
            if (number_of(value, v) && v < 0.0)
                problem = " is negative; it must be 0 or more";
            break;
        case schema::Meaning::positive:
            if (number_of(value, v) && v <= 0.0)
                problem = " must be above 0 (a week after the threshold)";
            break;
        case schema::Meaning::rate:
            if (number_of(value, v) && (v < 0.0 || v > 1.0))
                problem = " is a rate: it must lie in [0, 1]";
            break;
        case schema::Meaning::shares: {
            if (!basis.equal(nb::str("cohort")) || !nb::isinstance<nb::list>(value))
                break;
            double total = 0.0, x = 0.0;
            for (nb::handle entry : value)
                if (number_of(entry, x) && x > 0.0)
                    total += x;
            if (total > 1.0 + 1e-9)
                add(file, line, nb::str(where.c_str()), host::str(value), Rule::parameter_range,
                    host::text(where.c_str(), " sums to ", host::Repr{nb::float_(total)},
                               ": under rate_basis 'cohort' its entries are shares of the cohort "
                               "and sum to at most 1"));
            break;
        }
        case schema::Meaning::any:
            break;
        }
        if (problem)
            add(file, line, nb::str(where.c_str()), host::str(value), Rule::parameter_range,
                host::text(where.c_str(), " = ", host::Repr{value}, problem));
    }
}

void FarmCheck::check_management(nb::handle path) {
    nb::object crop_care = host::from_import("py_zelka.cropcare", "CropCare");
    if (path.is_none()) {
        schedule_ = crop_care();
        notice("management", host::text("no management.yaml in ", host::Repr{host::str(folder_)},
                                         "; no replacement suckers are scheduled"));
        return;
    }
    nb::object file = name_of(path);
    std::map<std::string, long> lines = yaml_lines(path);
    schedule_ = load_yaml(file, path, crop_care.attr("from_yaml"), Rule::management);
    if (schedule_.is_none())
        return;
    for (const auto &[key, line] : lines) {
        if (key.find('.') != std::string::npos || key == "replacement_schedule")
            continue;
        add(file, nb::int_(line), nb::none(), nb::none(), Rule::unknown_key,
            host::text("unknown key ", host::Repr{nb::str(key.c_str())},
                       " is ignored: only replacement_schedule is read",
                       lines.count("replacement_schedule") ? ""
                                                           : " (so no suckers are scheduled)"));
    }
}

}  // namespace farm
