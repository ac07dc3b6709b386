// The parameter and management files.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/parameter_schema.hpp"

#include <cmath>

namespace farm {

using host::utf8;

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

bool FarmCheck::read_setting(nb::handle path, Rule rule, YamlDocument &read) {
    nb::object file = name_of(path);
    host::YamlRefusal refusal;
    if (read_yaml(file, path, rule, host::document_bounds, read, refusal))
        return true;
    if (refusal)
        add(file, refusal.line > 0 ? nb::object(nb::int_(refusal.line)) : nb::object(nb::none()),
            nb::none(), nb::none(), rule,
            host::text(host::Str{file}, " ", host::refusal_text(refusal, host::document_bounds),
                       ": refused before it is built (a parameter or management file holds a "
                       "few dozen values)"));
    return false;
}

namespace {

// What a node is, in words: "a list", "a mapping", "the text 'abc'".
nb::str node_kind(nb::handle yaml, nb::handle node) {
    if (nb::isinstance(node, yaml.attr("MappingNode")))
        return nb::str("a mapping");
    if (nb::isinstance(node, yaml.attr("SequenceNode")))
        return nb::str("a list");
    return host::text("the value ", host::Repr{node.attr("value")});
}

nb::object node_line(nb::handle node) {
    return nb::int_(nb::cast<long>(node.attr("start_mark").attr("line")) + 1);
}

bool null_node(nb::handle node) {
    return host::utf8(node.attr("tag")) == "tag:yaml.org,2002:null";
}

// `convert(value)` (the host's int or float) of a YAML value: false when
// it refuses it, or when the value is a bool or no scalar.
bool converted(nb::handle value, PyObject *(*convert)(PyObject *), nb::object &out) {
    if (PyBool_Check(value.ptr()) || value.is_none() ||
        !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) || PyUnicode_Check(value.ptr())))
        return false;
    PyObject *result = convert(value.ptr());
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    out = nb::steal(result);
    return true;
}

}  // namespace

bool FarmCheck::schedule_shape(nb::handle file, const YamlDocument &read) {
    nb::object yaml = host::import("yaml");
    nb::object node = read.node;
    if (node.is_none() || null_node(node))
        return true;  // an empty file: no suckers scheduled
    const char *example = ", like replacement_schedule: {12: 150, 13: 80.5}";
    if (!nb::isinstance(node, yaml.attr("MappingNode"))) {
        add(file, node_line(node), nb::none(), nb::none(), Rule::management,
            host::text(host::Str{file}, " must be a mapping that holds replacement_schedule: "
                       "{week: suckers}", example, "; it is ", node_kind(yaml, node)));
        return false;
    }
    nb::object schedule;
    for (nb::handle pair : node.attr("value")) {
        nb::handle key = nb::handle(pair)[0];
        if (nb::isinstance(key, yaml.attr("ScalarNode")) &&
            host::utf8(key.attr("value")) == "replacement_schedule")
            schedule = nb::borrow(nb::handle(pair)[1]);
    }
    if (!schedule.is_valid() || null_node(schedule))
        return true;
    if (!nb::isinstance(schedule, yaml.attr("MappingNode"))) {
        add(file, node_line(schedule), nb::str("replacement_schedule"), nb::none(),
            Rule::management,
            host::text("replacement_schedule must map model weeks to numbers of suckers",
                       example, "; it is ", node_kind(yaml, schedule)));
        return false;
    }
    // Each week and number as the schedule's reader converts it (int and
    // float), held to what they mean: a whole week of 0 or more, a finite
    // number of 0 or more.
    nb::object builder = yaml.attr("SafeLoader")("");
    bool sound = true;
    for (nb::handle pair : schedule.attr("value")) {
        nb::handle key = nb::handle(pair)[0], value = nb::handle(pair)[1];
        nb::object written_key = nb::isinstance(key, yaml.attr("ScalarNode"))
                                     ? nb::object(key.attr("value"))
                                     : nb::object(node_kind(yaml, key));
        nb::object week_value = builder.attr("construct_object")(key, nb::arg("deep") = true);
        nb::object week, whole;
        bool week_ok = converted(week_value, PyNumber_Long, week) &&
                       (!PyFloat_Check(week_value.ptr()) ||
                        (converted(week_value, PyNumber_Float, whole) &&
                         nb::cast<double>(whole) == nb::cast<double>(nb::float_(week)))) &&
                       !(week < nb::int_(0));
        if (!week_ok) {
            add(file, node_line(key), nb::str("replacement_schedule"), host::str(written_key),
                Rule::management,
                host::text("the week ", host::Repr{written_key}, " of replacement_schedule is no "
                           "whole week number of 0 or more: the schedule maps model weeks (0, 1, "
                           "2, ...) to numbers of suckers", example));
            sound = false;
        }
        nb::object written_value = nb::isinstance(value, yaml.attr("ScalarNode"))
                                       ? nb::object(value.attr("value"))
                                       : nb::object(node_kind(yaml, value));
        nb::object count_value = builder.attr("construct_object")(value, nb::arg("deep") = true);
        nb::object count;
        bool count_ok = converted(count_value, PyNumber_Float, count) &&
                        std::isfinite(nb::cast<double>(count)) && nb::cast<double>(count) >= 0.0;
        if (!count_ok) {
            add(file, node_line(value), nb::str("replacement_schedule"), host::str(written_value),
                Rule::management,
                host::text("replacement_schedule gives ", host::Repr{written_value},
                           " suckers for week ", host::Repr{written_key},
                           ": a number of suckers is a finite number of 0 or more", example));
            sound = false;
        }
    }
    return sound;
}

bool FarmCheck::parameters_shape(nb::handle file, const YamlDocument &read) {
    nb::object yaml = host::import("yaml");
    nb::object node = read.node;
    std::string names;
    for (const schema::Section &section : schema::sections)
        names += std::string(names.empty() ? "" : ", ") + section.name;
    if (node.is_none() || null_node(node) || !nb::isinstance(node, yaml.attr("MappingNode"))) {
        add(file, node.is_none() ? nb::object(nb::none()) : node_line(node), nb::none(),
            nb::none(), Rule::parameters,
            host::text(host::Str{file}, " must map the sections of the parameter set (",
                       names.c_str(), ") to their keys, as the parameter set shipped with "
                       "py_zelka does; it is ",
                       node.is_none() ? nb::str("empty") : node_kind(yaml, node)));
        return false;
    }
    bool sound = true;
    for (nb::handle pair : node.attr("value")) {
        nb::handle key = nb::handle(pair)[0], value = nb::handle(pair)[1];
        if (!nb::isinstance(key, yaml.attr("ScalarNode")))
            continue;
        std::string name = host::utf8(key.attr("value"));
        bool section = false;
        for (const schema::Section &s : schema::sections)
            section = section || name == s.name;
        if (!section || nb::isinstance(value, yaml.attr("MappingNode")))
            continue;
        // A list of [key, value] pairs is a mapping too.
        bool pairs = nb::isinstance(value, yaml.attr("SequenceNode"));
        if (pairs)
            for (nb::handle item : value.attr("value"))
                pairs = pairs && nb::isinstance(item, yaml.attr("SequenceNode")) &&
                        nb::len(nb::object(item.attr("value"))) == 2;
        if (pairs)
            continue;
        add(file, node_line(value), nb::str(name.c_str()), nb::none(), Rule::parameters,
            host::text("the section ", host::Repr{nb::str(name.c_str())}, " of ",
                       host::Str{file}, " must map its keys to their values, as in the "
                       "parameter set shipped with py_zelka; it is ", node_kind(yaml, value)));
        sound = false;
    }
    return sound;
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
    YamlDocument read;
    if (!read_setting(path, Rule::parameters, read) || !parameters_shape(file, read))
        return;
    std::map<std::string, long> lines;
    node_lines(host::import("yaml"), read.node, lines, nullptr);
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
            if (number_of(value, v) && !std::isfinite(v))
                problem = " is not a finite number";
            else if (number_of(value, v) && v < 0.0)
                problem = " is negative; it must be 0 or more";
            break;
        case schema::Meaning::positive:
            if (number_of(value, v) && !std::isfinite(v))
                problem = " is not a finite number";
            else if (number_of(value, v) && v <= 0.0)
                problem = " must be above 0 (a week after the threshold)";
            break;
        case schema::Meaning::rate:
            if (number_of(value, v) && !(v >= 0.0 && v <= 1.0))
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
    YamlDocument read;
    if (!read_setting(path, Rule::management, read) || !schedule_shape(file, read))
        return;
    std::map<std::string, long> lines;
    if (!read.node.is_none())
        node_lines(host::import("yaml"), read.node, lines, nullptr);
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
