// What farm.yaml declares of the farm's files: the keys each file's section
// may hold and what each must be (every bad value a finding at its line),
// the sound values as one Declared per file, the thresholds and severities
// of `checks:`, and the hints -- a file's section as it must read with one
// declaration more.
#include "farm/check.hpp"

#include "host/host.hpp"

#include <cmath>

namespace farm {

using host::utf8;

namespace {

// The roles a key of a section applies to, as bits.
constexpr unsigned bit(Role role) { return roles[size_t(role)].bit; }
constexpr unsigned yaml_files = records::files::parameters | records::files::management;
constexpr unsigned record_files = records::files::records;
constexpr unsigned dated_files = records::files::dated;
constexpr unsigned counted_files = records::files::production | records::files::selection;

struct SectionKey {
    const char *name;
    unsigned roles;
};

// What farm.yaml may say of each file, in the order messages list them.
const SectionKey section_keys[] = {
    {"file", yaml_files | record_files},
    {"header", record_files},
    {"sheet", record_files},
    {"encoding", record_files},
    {"dayfirst", dated_files},
    {"columns", record_files},
    {"date", bit(Role::weather)},
    {"tmean", bit(Role::weather)},
    {"heat_units", bit(Role::weather)},
    {"missing", record_files},
    {"where", record_files},
    {"scale", bit(Role::weather)},
    {"units", bit(Role::weather)},
    {"daily", bit(Role::weather)},
    {"weekly", counted_files},
};

const char *const encodings[] = {"utf-8", "cp1252", "latin-1"};

// The names of `checks:` and what each holds.
const char *const check_keys[] = {"temperature_range", "streak_days", "spike_c", "step_c",
                                  "outlier_sd", "copied_days", "severity"};

nb::list names_list(const char *const *names, size_t n) {
    nb::list out;
    for (size_t k = 0; k < n && names[k]; ++k)
        out.append(nb::str(names[k]));
    return out;
}

nb::list keys_of(Role role) {
    nb::list out;
    for (const SectionKey &key : section_keys)
        if (key.roles & bit(role))
            out.append(nb::str(key.name));
    return out;
}

bool is_text(nb::handle value) { return PyUnicode_Check(value.ptr()); }

// An int or a float, not a bool, finite: its value in `out`.
bool finite_number(nb::handle value, double &out) {
    return number_of(value, out) && std::isfinite(out);
}

// A cell value farm.yaml may name: text or a number.
bool scalar(nb::handle value) {
    return is_text(value) ||
           ((PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr()));
}

std::string example_file(Role role) { return std::string(row_of(role).suffix) + "}"; }

}  // namespace

void FarmCheck::check_section(Role role, nb::handle key, nb::handle value,
                              const std::map<std::string, long> &lines) {
    nb::str file(farm_file);
    std::string name = role_name(role);
    const char *r = name.c_str();
    if (!nb::isinstance<nb::dict>(value)) {
        add(file, line_or_none(lines, name), nb::none(), nb::none(), Rule::farm_yaml_value,
            host::text("farm.yaml's ", host::Repr{key}, " must be a mapping, e.g. ", r,
                       ": {file: ", r, example_file(role).c_str()));
        return;
    }
    Declared &declared = declared_[size_t(role)];
    nb::list allowed = keys_of(role);
    for (auto [inner, inner_value] : nb::borrow<nb::dict>(value)) {
        std::string inner_name = is_text(inner) ? utf8(inner) : std::string();
        std::string path = name + "." + inner_name;
        const char *p = path.c_str();
        nb::object where = line_or_none(lines, path);
        auto refuse = [&](nb::str message) {
            add(file, where, nb::none(), cell_text(inner_value), Rule::farm_yaml_value, message);
        };
        if (!host::contains(allowed, inner)) {
            add(file, where, nb::none(), nb::none(), Rule::farm_yaml_key,
                host::text("unknown key ", host::Repr{inner}, " under ", host::Repr{key},
                           " in farm.yaml; expected one of ", host::Str{allowed}));
        } else if (inner_name == "file") {
            if (!is_text(inner_value))
                refuse(host::text(p, " must be the name of a file in the farm folder, e.g. ", r,
                                  ": {file: ", r, example_file(role).c_str()));
        } else if (inner_name == "header") {
            long line = 0;
            if (whole_number(inner_value, 1, 1L << 30, line))
                declared.header = line;
            else
                refuse(host::text(p, " must be the line (as an editor shows it, from 1) that "
                                  "holds the labels, e.g. ", r, ": {header: 3}"));
        } else if (inner_name == "sheet") {
            long position = 0;
            if (is_text(inner_value) || whole_number(inner_value, 0, 1L << 20, position))
                declared.sheet = nb::borrow(inner_value);
            else
                refuse(host::text(p, " must be the sheet's name or its position from 0, e.g. ",
                                  r, ": {file: ", r, ".xlsx, sheet: Daily}"));
        } else if (inner_name == "encoding") {
            std::string given = is_text(inner_value) ? utf8(inner_value.attr("lower")()) : "";
            bool known = false;
            for (const char *e : encodings)
                known = known || given == e;
            if (known)
                declared.encoding = given;
            else
                refuse(host::text(p, " must be one of ", host::Str{names_list(encodings, 3)},
                                  " (cp1252 and latin-1 for text files not in UTF-8), e.g. ", r,
                                  ": {encoding: cp1252}"));
        } else if (inner_name == "dayfirst") {
            if (PyBool_Check(inner_value.ptr()))
                declared.dayfirst = inner_value.is(Py_True) ? 1 : 0;
            else
                refuse(host::text(p, " must be true or false, e.g. ", r, ": {dayfirst: true}"));
        } else if (inner_name == "columns") {
            check_columns(role, key, inner_value, lines);
        } else if (inner_name == "missing") {
            bool sound = nb::isinstance<nb::list>(inner_value) && nb::len(inner_value) > 0;
            if (sound)
                for (nb::handle marker : inner_value)
                    sound = sound && scalar(marker);
            if (sound)
                declared.missing = nb::borrow<nb::list>(inner_value);
            else
                refuse(host::text(p, " must list the cells that mean \"no value\", e.g. ", r,
                                  ": {missing: [-999, M]}"));
        } else if (inner_name == "where") {
            bool sound = nb::isinstance<nb::dict>(inner_value) && nb::len(inner_value) > 0;
            if (sound)
                for (auto [label, wanted] : nb::borrow<nb::dict>(inner_value))
                    sound = sound && is_text(label) && scalar(wanted);
            if (sound)
                declared.where = nb::borrow<nb::dict>(inner_value);
            else
                refuse(host::text(p, " must map a column's label to the value of the rows to "
                                  "keep, e.g. ", r, ": {where: {STATION: USW00025333}}"));
        } else if (inner_name == "scale") {
            double factor = 0.0;
            if (finite_number(inner_value, factor) && factor > 0.0) {
                declared.scale = factor;
                declared.scaled = true;
            } else {
                refuse(host::text(p, " must be the number the values are multiplied by, above "
                                  "0, e.g. ", r, ": {scale: 0.1} for tenths of a degree"));
            }
        } else if (inner_name == "units") {
            std::string given = is_text(inner_value) ? utf8(inner_value) : "";
            if (given == "degC" || given == "degF" || given == "K")
                declared.units = given == "degC" ? 'C' : given == "degF" ? 'F' : 'K';
            else
                refuse(host::text(p, " must be degC, degF or K (heat units: degC or degF), e.g. ",
                                  r, ": {units: degF}"));
        } else if (inner_name == "daily") {
            if (is_text(inner_value) && utf8(inner_value) == "mean")
                declared.daily = true;
            else
                refuse(host::text(p, " must be mean (one row a day, the mean of the day's "
                                  "values), e.g. ", r, ": {daily: mean}"));
        } else if (inner_name == "weekly") {
            if (is_text(inner_value) && utf8(inner_value) == "sum")
                declared.weekly = true;
            else
                refuse(host::text(p, " must be sum (the rows of one model week added up), e.g. ",
                                  r, ": {weekly: sum}"));
        } else {  // the weather's shorthands date, tmean, heat_units
            bool optional = inner_name == "heat_units";
            if (!(is_text(inner_value) || (optional && inner_value.is_none())))
                refuse(host::text(p, " must be the file's column label as text, e.g. ",
                                  "weather: {", inner_name.c_str(), ": Tmittel}"));
        }
    }
    if (role != Role::weather)
        return;
    nb::dict config = nb::borrow<nb::dict>(value);
    // The weather's shorthands and its columns must agree.
    if (config.contains("columns") && nb::isinstance<nb::dict>(config["columns"])) {
        nb::dict given = nb::borrow<nb::dict>(config["columns"]);
        for (const char *field : {"date", "tmean", "heat_units"})
            if (config.contains(field) && given.contains(field) &&
                !nb::handle(config[field]).equal(given[field]))
                add(file, line_or_none(lines, name + "." + field), nb::none(), nb::none(),
                    Rule::farm_yaml_value,
                    host::text("weather.", field, " and weather.columns.", field,
                               " name different columns: give the label once, e.g. "
                               "weather: {columns: {",
                               field, ": ", host::Str{given[field]}, "}}"));
    }
    // Kelvin are no heat units.
    nb::dict mapped = columns_of(Role::weather);
    if (declared.units == 'K' && mapped.contains("heat_units") &&
        !nb::handle(mapped["heat_units"]).is_none())
        add(file, line_or_none(lines, "weather.units"), nb::none(), nb::str("K"),
            Rule::farm_yaml_value,
            nb::str("weather.units of heat units must be degC or degF (degree-days), e.g. "
                    "weather: {units: degF}"));
}

void FarmCheck::check_columns(Role role, nb::handle key, nb::handle value,
                              const std::map<std::string, long> &lines) {
    nb::str file(farm_file);
    std::string name = role_name(role);
    std::string path = name + ".columns";
    nb::list columns = names_list(row_of(role).columns, 9);
    if (!nb::isinstance<nb::dict>(value)) {
        add(file, line_or_none(lines, path), nb::none(), nb::none(), Rule::farm_yaml_value,
            host::text(path.c_str(), " must map the reader's column labels to the file's, e.g. ",
                       name.c_str(), ": {columns: {", row_of(role).columns[0], ": Datum}}"));
        return;
    }
    nb::dict seen;  // the file's label -> the first of our columns mapped to it
    for (auto [ours, theirs] : nb::borrow<nb::dict>(value)) {
        std::string ours_name = is_text(ours) ? utf8(ours) : std::string();
        nb::object at = line_or_none(lines, path + "." + ours_name);
        if (at.is_none())
            at = line_or_none(lines, path);
        if (!host::contains(columns, ours)) {
            add(file, at, nb::none(), nb::none(), Rule::farm_yaml_key,
                host::text("unknown column ", host::Repr{ours}, " under ", host::Repr{key},
                           " columns in farm.yaml; the ", name.c_str(), " reader's columns are ",
                           host::Str{columns}));
            continue;
        }
        // The weather's mean temperature as the mean of two columns.
        if (role == Role::weather && ours_name == "tmean" && nb::isinstance<nb::dict>(theirs)) {
            nb::dict mean = nb::borrow<nb::dict>(theirs);
            nb::object pair = mean.contains("mean_of") ? nb::object(mean["mean_of"]) : nb::object();
            bool sound = nb::len(mean) == 1 && pair.is_valid() && nb::isinstance<nb::list>(pair) &&
                         nb::len(pair) == 2 && is_text(nb::handle(pair[0])) &&
                         is_text(nb::handle(pair[1])) && !nb::handle(pair[0]).equal(pair[1]);
            if (sound)
                declared_[size_t(role)].mean_of = nb::borrow<nb::list>(pair);
            else
                add(file, at, nb::none(), nb::none(), Rule::farm_yaml_value,
                    nb::str("weather.columns.tmean must be the file's label of the mean "
                            "temperature, or the mean of two columns, e.g. weather: {columns: "
                            "{tmean: {mean_of: [TMAX, TMIN]}}}"));
            continue;
        }
        if (!is_text(theirs)) {
            add(file, at, nb::none(), cell_text(theirs), Rule::farm_yaml_value,
                host::text(path.c_str(), ".", ours_name.c_str(),
                           " must be the file's column label as text, e.g. ", name.c_str(),
                           ": {columns: {", ours_name.c_str(), ": '", host::Str{theirs}, "'}}"));
        } else if (seen.contains(theirs)) {
            add(file, at, theirs, nb::none(), Rule::column_mapped_twice,
                host::text("farm.yaml maps the file's column ", host::Repr{theirs}, " of ",
                           host::Repr{key}, " to both ", host::Repr{seen[theirs]}, " and ",
                           host::Repr{ours}, ": a column holds one thing"));
            twice_[size_t(role)].append(ours);
        } else {
            seen[theirs] = ours;
        }
    }
}

void FarmCheck::check_checks(nb::handle value, const std::map<std::string, long> &lines) {
    nb::str file(farm_file);
    nb::list known = names_list(check_keys, std::size(check_keys));
    if (!nb::isinstance<nb::dict>(value)) {
        add(file, line_or_none(lines, "checks"), nb::none(), nb::none(), Rule::farm_yaml_value,
            nb::str("farm.yaml's 'checks' must be a mapping of the weather checks' settings, "
                    "e.g. checks: {temperature_range: [-10, 45]}"));
        return;
    }
    for (auto [key, setting] : nb::borrow<nb::dict>(value)) {
        std::string name = is_text(key) ? utf8(key) : std::string();
        std::string path = "checks." + name;
        nb::object where = line_or_none(lines, path);
        auto refuse = [&](nb::str message) {
            add(file, where, nb::none(), cell_text(setting), Rule::farm_yaml_value, message);
        };
        double number = 0.0, low = 0.0, high = 0.0;
        long whole = 0;
        if (!host::contains(known, key)) {
            add(file, where, nb::none(), nb::none(), Rule::farm_yaml_key,
                host::text("unknown key ", host::Repr{key}, " under 'checks' in farm.yaml; "
                           "expected one of ", host::Str{known}));
        } else if (name == "temperature_range") {
            bool sound = nb::isinstance<nb::list>(setting) && nb::len(setting) == 2 &&
                         finite_number(nb::handle(setting[0]), low) &&
                         finite_number(nb::handle(setting[1]), high) && low < high;
            if (sound) {
                thresholds_.low = low;
                thresholds_.high = high;
            } else {
                refuse(nb::str("checks.temperature_range must be the lowest and the highest "
                               "daily mean in degrees Celsius, lowest first, e.g. checks: "
                               "{temperature_range: [-10, 45]}"));
            }
        } else if (name == "streak_days" || name == "copied_days") {
            if (whole_number(setting, 2, 100000, whole))
                (name == "streak_days" ? thresholds_.streak_days : thresholds_.copied_days) = whole;
            else
                refuse(host::text(path.c_str(), " must be a whole number of days of 2 or more, "
                                  "e.g. checks: {", name.c_str(), ": 20}"));
        } else if (name == "severity") {
            check_severities(setting, lines);
        } else {  // spike_c, step_c, outlier_sd
            if (finite_number(setting, number) && number > 0.0)
                (name == "spike_c"  ? thresholds_.spike_c
                 : name == "step_c" ? thresholds_.step_c
                                    : thresholds_.outlier_sd) = number;
            else
                refuse(host::text(path.c_str(), " must be a number above 0, e.g. checks: {",
                                  name.c_str(), name == "outlier_sd" ? ": 5}" : ": 15}"));
        }
    }
}

void FarmCheck::check_severities(nb::handle value, const std::map<std::string, long> &lines) {
    nb::str file(farm_file);
    nb::list adjustable;
    for (size_t k = 0; k < size_t(Rule::count); ++k)
        if (catalogue[k].adjustable)
            adjustable.append(nb::str(catalogue[k].name));
    if (!nb::isinstance<nb::dict>(value)) {
        add(file, line_or_none(lines, "checks.severity"), nb::none(), nb::none(),
            Rule::farm_yaml_value,
            host::text("checks.severity must map rules to error, warning or off, e.g. checks: "
                       "{severity: {streak: error}}; the rules it may set are ",
                       host::Str{adjustable}));
        return;
    }
    for (auto [rule_name, level] : nb::borrow<nb::dict>(value)) {
        std::string name = is_text(rule_name) ? utf8(rule_name) : std::string();
        nb::object where = line_or_none(lines, "checks.severity." + name);
        Rule rule;
        if (!rule_named(name.c_str(), rule) || !row_of(rule).adjustable) {
            add(file, where, nb::none(), nb::none(), Rule::farm_yaml_key,
                host::text(host::Repr{rule_name}, " is not a rule whose severity farm.yaml may "
                           "set: a rule whose finding would give the model a wrong input stays "
                           "an error; the rules it may set are ",
                           host::Str{adjustable}));
            continue;
        }
        std::string given = is_text(level) ? utf8(level) : "";
        if (given == "error")
            severities_[rule] = Severity::error;
        else if (given == "warning")
            severities_[rule] = Severity::warning;
        else if (given == "off")
            silenced_.insert(rule);
        else
            add(file, where, nb::none(), cell_text(level), Rule::farm_yaml_value,
                host::text("checks.severity.", name.c_str(), " must be error, warning or off, "
                           "e.g. checks: {severity: {", name.c_str(), ": off}}"));
    }
}

nb::dict FarmCheck::section(Role role) const {
    nb::object value =
        config_.is_valid() ? nb::object(config_.attr("get")(role_name(role))) : nb::object();
    if (value.is_valid() && nb::isinstance<nb::dict>(value))
        return nb::borrow<nb::dict>(value);
    return nb::dict();
}

nb::dict FarmCheck::columns_of(Role role) const {
    nb::dict config = section(role);
    nb::dict out;
    nb::list columns = names_list(row_of(role).columns, 9);
    const nb::list &twice = twice_[size_t(role)];
    if (config.contains("columns") && nb::isinstance<nb::dict>(config["columns"]))
        for (auto [ours, theirs] : nb::borrow<nb::dict>(config["columns"]))
            if (host::contains(columns, ours) && is_text(theirs) && !host::contains(twice, ours))
                out[ours] = theirs;
    if (role == Role::weather)
        for (const char *field : {"date", "tmean", "heat_units"})
            if (config.contains(field) && !out.contains(field) &&
                (is_text(nb::handle(config[field])) || nb::handle(config[field]).is_none()))
                out[field] = config[field];
    return out;
}

nb::object FarmCheck::file_column(Role role, nb::handle ours) const {
    nb::dict columns = columns_of(role);
    if (columns.contains(ours) && !nb::handle(columns[ours]).is_none())
        return nb::borrow(columns[ours]);
    return nb::borrow(ours);
}

bool FarmCheck::dayfirst_given(Role role) const { return declared_[size_t(role)].dayfirst >= 0; }

Severity FarmCheck::severity_of(Rule rule) const {
    auto it = severities_.find(rule);
    return it == severities_.end() ? row_of(rule).severity : it->second;
}

nb::str FarmCheck::declaration(Role role, nb::handle updates) const {
    return declaration(role_name(role), section(role), updates);
}

nb::str FarmCheck::declaration(const char *key, nb::handle current, nb::handle updates) const {
    // The section as farm.yaml holds it, with the updates (a mapping inside
    // it, such as columns:, updated key by key).
    nb::dict merged;
    if (current.is_valid() && nb::isinstance<nb::dict>(current))
        for (auto [k, v] : nb::borrow<nb::dict>(current))
            merged[k] = v;
    for (auto [k, v] : nb::borrow<nb::dict>(updates)) {
        if (nb::isinstance<nb::dict>(v) && merged.contains(k) &&
            nb::isinstance<nb::dict>(merged[k])) {
            nb::dict inner;
            for (auto [ik, iv] : nb::borrow<nb::dict>(merged[k]))
                inner[ik] = iv;
            for (auto [ik, iv] : nb::borrow<nb::dict>(v))
                inner[ik] = iv;
            merged[k] = inner;
        } else {
            merged[k] = v;
        }
    }
    nb::object dumped = host::import("yaml").attr("safe_dump")(
        merged, nb::arg("default_flow_style") = true, nb::arg("sort_keys") = false,
        nb::arg("width") = 1 << 20, nb::arg("allow_unicode") = true);
    return host::text(key, ": ", host::Str{dumped.attr("strip")()});
}

nb::str FarmCheck::declaration(Role role, const char *key, nb::handle value) const {
    nb::dict updates;
    updates[key] = value;
    return declaration(role, updates);
}

}  // namespace farm
