// py_zelka.farm -- a farm's folder of files in one call, and every problem of
// its files in one pass.
//
// A farm folder holds parameters.yaml, management.yaml, weather.*,
// inventory.*, production.*, selection.* (any suffix _read_table reads), and
// optionally farm.yaml naming other files, the farm's own column labels,
// day-first dates and the week length.  check_farm runs every check of every
// file -- the specified readers' rules, run to the end, and warnings of data
// that would mislead the model -- and reports each finding with its file,
// line, column, value, rule, severity and message; Farm.load reads the farm
// when no check fails.
#include "host/capi.hpp"
#include "host/classes.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/load.hpp"
#include "records/parameter_schema.hpp"
#include "records/text_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

using host::checked;

struct State : host::State {
    host::Ref error_cls{this};   // FarmCheckError
    host::Ref report_cls{this};  // FarmReport
    host::Ref farm_cls{this};    // Farm
};

// The files of a farm, in the order they are read and reported.
struct Role {
    const char *name;
    bool yaml;
    bool required;
    const char *keys[6];  // what farm.yaml may say of it
};

const Role roles[] = {
    {"parameters", true, false, {"file"}},
    {"management", true, false, {"file"}},
    {"weather", false, true, {"file", "date", "tmean", "heat_units", "dayfirst"}},
    {"inventory", false, false, {"file", "columns"}},
    {"production", false, false, {"file", "columns", "dayfirst"}},
    {"selection", false, false, {"file", "columns", "dayfirst"}},
};

const char *const farm_file = "farm.yaml";

using host::utf8;

// `None if pd.isna(cell) else str(cell)`.
nb::object cell_text(nb::handle cell) {
    if (host::is_missing(cell))
        return nb::none();
    return host::str(cell);
}

// The line a loading error names ("... in line 9, saw 22"), or None.
nb::object error_line(nb::python_error &error) {
    nb::object value = nb::borrow(error.value());
    if (nb::hasattr(value, "problem_mark")) {  // a YAML error
        nb::object mark = value.attr("problem_mark");
        if (!mark.is_none())
            return nb::int_(nb::cast<long>(mark.attr("line")) + 1);
    }
    std::string text = utf8(value);
    size_t at = text.find("line ");
    if (at != std::string::npos && at + 5 < text.size() && std::isdigit((unsigned char) text[at + 5])) {
        size_t end = at + 5;
        while (end < text.size() && std::isdigit((unsigned char) text[end]))
            ++end;
        return nb::int_(std::stol(text.substr(at + 5, end - at - 5)));
    }
    return nb::none();
}

// The text of an error with its notes.
nb::str error_text(nb::python_error &error) {
    nb::object value = nb::borrow(error.value());
    nb::str text = host::text(host::Str{nb::handle(nb::handle((PyObject *) Py_TYPE(value.ptr())).attr("__name__"))},
                              ": ", host::Str{value});
    return text;
}

// The line (1-based) of every key of a YAML mapping document, as
// "key" and "key.subkey"; empty when the file does not compose.
std::map<std::string, long> yaml_lines(nb::handle path) {
    std::map<std::string, long> lines;
    try {
        nb::object yaml = host::import("yaml");
        nb::object text = host::from_import("pathlib", "Path")(path).attr("read_text")(
            nb::arg("encoding") = "utf-8");
        nb::object node = yaml.attr("compose")(text, nb::arg("Loader") = yaml.attr("SafeLoader"));
        if (node.is_none() || !nb::isinstance(node, yaml.attr("MappingNode")))
            return lines;
        for (nb::handle pair : node.attr("value")) {
            nb::object key = pair[0], value = pair[1];
            std::string name = utf8(key.attr("value"));
            lines[name] = nb::cast<long>(key.attr("start_mark").attr("line")) + 1;
            if (nb::isinstance(value, yaml.attr("MappingNode")))
                for (nb::handle inner : value.attr("value"))
                    lines[name + "." + utf8(nb::handle(inner[0]).attr("value"))] =
                        nb::cast<long>(nb::handle(inner[0]).attr("start_mark").attr("line")) + 1;
        }
    } catch (nb::python_error &) {
        lines.clear();
    }
    return lines;
}

nb::object line_or_none(const std::map<std::string, long> &lines, const std::string &key) {
    auto it = lines.find(key);
    return it == lines.end() ? nb::object(nb::none()) : nb::object(nb::int_(it->second));
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

// ---------------------------------------------------------------------------
// The check of one farm

struct Finding {
    nb::object file, line, column, value;
    std::string rule;
    bool error;
    nb::object message;
};

class FarmCheck {
  public:
    FarmCheck(State &s, nb::handle folder)
        : s_(s), folder_(host::from_import("pathlib", "Path")(folder)),
          notices_(host::from_import("py_zelka.notices", "NoticeLog")()) {}

    void run();
    nb::object report() const;
    bool failed() const {
        for (const Finding &f : findings_)
            if (f.error)
                return true;
        return false;
    }
    // Farm(...) of what the check read.
    nb::object farm(nb::handle report) const;

  private:
    void add(nb::handle file, nb::handle line, nb::handle column, nb::handle value,
             const std::string &rule, bool error, nb::handle message) {
        findings_.push_back({nb::borrow(file), nb::borrow(line), nb::borrow(column),
                             nb::borrow(value), rule, error, nb::borrow(message)});
    }
    void notice(const char *subject, nb::handle message);
    nb::object name_of(nb::handle path) const;

    void read_farm_yaml();
    nb::object find_file(const Role &role);
    void check_parameters(nb::handle path);
    void check_management(nb::handle path);
    // A reader's farm check of one file: its failures as findings (under
    // the file's own column labels), its notices kept; the check's result,
    // or empty when the file does not load.
    nb::dict check_records(const Role &role, nb::handle path, nb::handle module,
                           nb::handle column_map, nb::dict kwargs, std::vector<size_t> &lines);
    // The file's label of one of our columns (farm.yaml's columns).
    nb::object file_column(const char *role, nb::handle ours) const {
        nb::dict config = section(role);
        if (config.contains("columns")) {
            nb::object given = config["columns"];
            if (nb::isinstance<nb::dict>(given) && nb::borrow<nb::dict>(given).contains(ours))
                return host::str(given[ours]);
        }
        return nb::borrow(ours);
    }
    void check_weather(nb::handle path);
    void check_inventory(nb::handle path);
    void check_production(nb::handle path);
    void check_selection(nb::handle path);
    // The model week of each row's date; rows the provider refuses are
    // findings.  False when one was refused.
    bool weeks_of(nb::handle dates, nb::handle label, nb::handle file,
                  const std::vector<size_t> &lines, std::vector<nb::object> &weeks);
    // check_records of a record file with farm.yaml's options of its section
    // (its columns; dayfirst where the reader takes one).
    nb::dict check_record_file(size_t role, const char *module, nb::handle path, bool dayfirst,
                               std::vector<size_t> &lines);
    // The weeks of a dated file's rows and the warnings of rows whose key
    // -- (tag, week) for each row's tag, (role, week) without tags -- falls
    // twice in one week; then the data object `cls` of module, when every
    // row has its week.  Empty when the file gave no dates or no provider.
    nb::object dated_records(const char *role, const char *module, const char *cls,
                             nb::dict result, nb::handle path, const std::vector<size_t> &lines,
                             bool by_tag, const char *what);
    void same_week_warnings(nb::handle file, nb::handle label, const std::vector<size_t> &lines,
                            const std::vector<std::pair<nb::object, nb::object>> &keys,
                            nb::handle dates, const char *what);
    nb::object line_at(const std::vector<size_t> &lines, size_t row) const {
        return row < lines.size() ? nb::object(nb::int_(lines[row])) : nb::object(nb::none());
    }
    nb::dict section(const char *role) const {
        nb::object value = config_.is_valid() ? nb::object(config_.attr("get")(role)) : nb::object();
        if (value.is_valid() && nb::isinstance<nb::dict>(value))
            return nb::borrow<nb::dict>(value);
        return nb::dict();
    }

    State &s_;
    nb::object folder_;
    nb::object notices_;
    nb::object config_;  // farm.yaml's mapping, when it has one
    std::vector<Finding> findings_;

    nb::object parameters_ = nb::none(), schedule_ = nb::none(), weather_ = nb::none(),
               provider_ = nb::none(), inventory_ = nb::none(), production_ = nb::none(),
               selection_ = nb::none();
};

nb::object FarmCheck::name_of(nb::handle path) const {
    nb::object p = host::from_import("pathlib", "Path")(path);
    try {
        return host::str(p.attr("relative_to")(folder_));
    } catch (nb::python_error &) {
        return host::str(p);
    }
}

void FarmCheck::notice(const char *subject, nb::handle message) {
    nb::object notices = host::import("py_zelka.notices");
    notices_.attr("append")(notices.attr("Notice")(
        nb::arg("kind") = notices.attr("NoticeKind").attr("FEATURE_DISABLED"),
        nb::arg("subject") = subject, nb::arg("message") = message, nb::arg("source") = "Farm"));
}

void FarmCheck::read_farm_yaml() {
    nb::object path = folder_ / nb::str(farm_file);
    if (!host::truth(path.attr("is_file")()))
        return;
    nb::str file(farm_file);
    std::map<std::string, long> lines = yaml_lines(path);
    nb::object document;
    try {
        nb::object text = path.attr("read_text")(nb::arg("encoding") = "utf-8");
        document = host::import("yaml").attr("safe_load")(text);
    } catch (nb::python_error &error) {
        add(file, error_line(error), nb::none(), nb::none(), "farm_yaml", true, error_text(error));
        return;
    }
    if (document.is_none())
        return;
    if (!nb::isinstance<nb::dict>(document)) {
        add(file, nb::none(), nb::none(), nb::none(), "farm_yaml", true,
            nb::str("farm.yaml must be a mapping of the farm's files to what they hold"));
        return;
    }
    config_ = document;
    nb::list known;
    for (const Role &role : roles)
        known.append(nb::str(role.name));
    known.append(nb::str("week_length_days"));
    for (auto [key, value] : nb::borrow<nb::dict>(document)) {
        std::string name = utf8(key);
        const Role *role = nullptr;
        for (const Role &r : roles)
            if (name == r.name)
                role = &r;
        if (name == "week_length_days") {
            if (!PyLong_CheckExact(value.ptr()) || nb::cast<long>(value) < 1)
                add(file, line_or_none(lines, name), nb::none(), cell_text(value), "farm_yaml", true,
                    nb::str("week_length_days must be a whole number of days, at least 1"));
            continue;
        }
        if (!role) {
            add(file, line_or_none(lines, name), nb::none(), nb::none(), "farm_yaml", true,
                host::text("unknown key ", host::Repr{key}, " in farm.yaml; expected one of ",
                           host::Str{known}));
            continue;
        }
        if (!nb::isinstance<nb::dict>(value)) {
            add(file, line_or_none(lines, name), nb::none(), nb::none(), "farm_yaml", true,
                host::text("farm.yaml's ", host::Repr{key}, " must be a mapping (for example ",
                           "file: ", name.c_str(), ".csv)"));
            continue;
        }
        nb::list allowed;
        for (const char *k : role->keys)
            if (k)
                allowed.append(nb::str(k));
        for (auto [inner, inner_value] : nb::borrow<nb::dict>(value)) {
            std::string inner_name = utf8(inner);
            nb::object where = line_or_none(lines, name + "." + inner_name);
            if (!host::contains(allowed, inner)) {
                add(file, where, nb::none(), nb::none(), "farm_yaml", true,
                    host::text("unknown key ", host::Repr{inner}, " under ", host::Repr{key},
                               " in farm.yaml; expected one of ", host::Str{allowed}));
            } else if (inner_name == "columns" && !nb::isinstance<nb::dict>(inner_value)) {
                add(file, where, nb::none(), nb::none(), "farm_yaml", true,
                    host::text(host::Repr{key},
                               ".columns must map the reader's column labels to the file's"));
            } else if (inner_name == "dayfirst" && !PyBool_Check(inner_value.ptr())) {
                add(file, where, nb::none(), cell_text(inner_value), "farm_yaml", true,
                    host::text(host::Repr{key}, ".dayfirst must be true or false"));
            }
        }
    }
}

nb::object FarmCheck::find_file(const Role &role) {
    nb::dict config = section(role.name);
    if (config.contains("file")) {
        nb::object path = folder_ / host::str(config["file"]);
        if (host::truth(path.attr("is_file")()))
            return path;
        add(nb::str(farm_file), nb::none(), nb::none(), host::str(config["file"]), "missing_file",
            true, host::text("the ", role.name, " file ", host::Repr{host::str(config["file"])},
                             " that farm.yaml names is not in the folder"));
        return nb::none();
    }
    nb::list found;
    nb::object files = host::from_import("builtins", "sorted")(
        folder_.attr("glob")(host::text(role.name, ".*")));
    for (nb::handle path : files) {
        if (!host::truth(path.attr("is_file")()))
            continue;
        std::string suffix = utf8(path.attr("suffix").attr("lower")());
        if (role.yaml && suffix != ".yaml" && suffix != ".yml")
            continue;
        found.append(path);
    }
    if (nb::len(found) == 1)
        return found[0];
    if (nb::len(found) > 1) {
        nb::list names;
        for (nb::handle path : found)
            names.append(name_of(path));
        add(names[0], nb::none(), nb::none(), nb::none(), "several_files", true,
            host::text("several ", role.name, " files: ", host::Str{names},
                       "; name the one to read in farm.yaml (", role.name, ": {file: ...})"));
        return nb::none();
    }
    nb::str expected = role.yaml ? host::text(role.name, ".yaml") : host::text(role.name, ".*");
    if (role.required)
        add(expected, nb::none(), nb::none(), nb::none(), "missing_file", true,
            host::text("no ", role.name, " file (", expected, ") in ", host::Repr{host::str(folder_)}));
    return nb::none();
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
    try {
        parameters_ = parameters_cls.attr("from_yaml")(path);
    } catch (nb::python_error &error) {
        nb::object line = error_line(error);
        if (line.is_none()) {  // a check names its section ("section 'harvest': ...")
            std::string text = utf8(error.value());
            for (const schema::Section &section : schema::sections)
                if (text.find(std::string("'") + section.name + "'") != std::string::npos) {
                    line = line_or_none(lines, section.name);
                    break;
                }
        }
        add(file, line, nb::none(), nb::none(), "parameters", true, error_text(error));
        parameters_ = nb::none();
        return;
    }
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
            if (total > 1.0 + 1e-9) {
                add(file, line, nb::str(where.c_str()), host::str(value), "parameter_range", false,
                    host::text(where.c_str(), " sums to ", host::Repr{nb::float_(total)},
                               ": under rate_basis 'cohort' its entries are shares of the cohort "
                               "and sum to at most 1"));
            }
            break;
        }
        case schema::Meaning::any:
            break;
        }
        if (problem)
            add(file, line, nb::str(where.c_str()), host::str(value), "parameter_range", false,
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
    try {
        schedule_ = crop_care.attr("from_yaml")(path);
    } catch (nb::python_error &error) {
        add(file, error_line(error), nb::none(), nb::none(), "management", true,
            error_text(error));
        schedule_ = nb::none();
        return;
    }
    for (const auto &[key, line] : lines) {
        if (key.find('.') != std::string::npos || key == "replacement_schedule")
            continue;
        add(file, nb::int_(line), nb::none(), nb::none(), "unknown_key", false,
            host::text("unknown key ", host::Repr{nb::str(key.c_str())},
                       " is ignored: only replacement_schedule is read",
                       lines.count("replacement_schedule") ? ""
                                                           : " (so no suckers are scheduled)"));
    }
}

// The per-row message of a rule of the readers.
nb::str row_message(const std::string &rule, nb::handle column, nb::handle value,
                    nb::handle message) {
    if (rule == "date_parse")
        return host::text(host::Repr{value}, " is not a calendar date");
    if (rule == "mixed_day_month") {
        bool day_first = utf8(message).find("dayfirst=False") != std::string::npos;
        return day_first ? host::text(host::Repr{value},
                                      " can only be read month first, beside dates read day "
                                      "first; is the file written month first (dayfirst: false)?")
                         : host::text(host::Repr{value},
                                      " can only be read day first, beside dates read month "
                                      "first; set dayfirst: true for the file in farm.yaml");
    }
    if (rule == "duplicate_tag_date")
        return nb::str("another row has the same tag and date");
    if (rule == "duplicate_date")
        return nb::str("another row has the same date");
    if (rule == "negative_count")
        return host::text(host::Repr{column}, " is negative");
    if (rule == "incomplete_harvest")
        return nb::str("a cut (> 0) without an age at cut");
    if (rule == "cut_balance")
        return nb::str("'cut' differs from 'processed' + 'rejected'");
    if (rule == "chain_values")
        return host::text(host::Repr{value}, " is not a chain: expected 'reproductive' or "
                                             "'vegetative'");
    if (rule == "population")
        return nb::str("the population is missing, not a number or negative");
    if (rule == "age_weeks")
        return nb::str("the age is missing, not a whole number of weeks or negative");
    return nb::borrow<nb::str>(host::str(message));
}

nb::dict FarmCheck::check_records(const Role &role, nb::handle path, nb::handle module,
                                  nb::handle column_map, nb::dict kwargs,
                                  std::vector<size_t> &lines) {
    nb::object file = name_of(path);
    nb::str text_path = host::str(path);
    nb::dict result;
    try {
        nb::object check = host::import(utf8(module).c_str()).attr("_check_file");
        result = nb::borrow<nb::dict>(column_map.is_valid() ? check(text_path, column_map, **kwargs)
                                                            : check(text_path, **kwargs));
    } catch (nb::python_error &error) {
        add(file, error_line(error), nb::none(), nb::none(), "load", true, error_text(error));
        return nb::dict();
    }
    nb::object table = result["table"];
    records::TableSource source;
    std::string kind = utf8(result["kind"]);
    source.kind = kind == "excel" ? records::TableSource::excel
                  : kind == "parquet" ? records::TableSource::parquet
                                      : records::TableSource::delimited;
    source.header_line = nb::cast<size_t>(result["header_line"]);
    source.separator = utf8(result["separator"])[0];
    source.encoding = utf8(result["encoding"]);
    if (!table.is_none())
        lines = records::row_lines(path, source, nb::len(table));
    for (nb::handle failure : result["failures"]) {
        std::string rule = utf8(failure[0]);
        nb::object column = failure[1], rows = failure[2], message = failure[3];
        nb::object label = column.is_none() ? nb::object(nb::none()) : file_column(role.name, column);
        if (nb::len(rows) == 0) {
            nb::str text = rule == "required_columns"
                               ? host::text("required column ", host::Repr{label},
                                            " is missing; if the file labels it otherwise, name "
                                            "that label in farm.yaml (",
                                            role.name, ": {columns: {", host::Str{column},
                                            ": ...}})")
                               : host::str(message);
            add(file, nb::none(), label, nb::none(), rule, true, text);
            continue;
        }
        nb::object cells = records::has_column(table, column)
                               ? nb::object(table[column].attr("tolist")())
                               : nb::object();
        for (nb::handle row : rows) {
            size_t i = nb::cast<size_t>(row);
            nb::object value = cells.is_valid() ? cell_text(cells[i]) : nb::object(nb::none());
            add(file, line_at(lines, i), label, value, rule, true,
                row_message(rule, label, value, message));
        }
    }
    for (nb::handle n : result["notices"])
        notices_.attr("append")(n);
    return result;
}

void FarmCheck::check_weather(nb::handle path) {
    if (path.is_none())
        return;
    nb::object file = name_of(path);
    nb::dict config = section("weather");
    nb::dict fields;
    for (const char *key : {"date", "tmean", "heat_units", "dayfirst"})
        if (config.contains(key))
            fields[key] = config[key];
    nb::object column_map;
    try {
        column_map = host::from_import("py_zelka.weather", "ColumnMap")(**fields);
    } catch (nb::python_error &error) {
        add(nb::str(farm_file), nb::none(), nb::none(), nb::none(), "farm_yaml", true,
            error_text(error));
        return;
    }
    std::vector<size_t> lines;
    nb::dict result = check_records(roles[2], path, nb::str("py_zelka.readers.climate_reader"),
                                    column_map, nb::dict(), lines);
    if (!result.contains("data") || result["data"].is_none())
        return;
    nb::object data = result["data"];
    weather_ = data;
    nb::object date_label = column_map.attr("date");
    nb::list written = nb::list(result["table"][date_label].attr("tolist")());

    // Warnings of a signal and of dates that would mislead the model.
    nb::object pd = host::import("pandas");
    nb::object signal_label = nb::str(data.attr("columns")[1]);
    nb::object source_label = column_map.attr("heat_units").is_none()
                                  ? nb::object(column_map.attr("tmean"))
                                  : nb::object(column_map.attr("heat_units"));
    nb::object signal = data[signal_label];
    nb::list raw = nb::list(signal.attr("tolist")());
    nb::object numbers = pd.attr("to_numeric")(signal, nb::arg("errors") = "coerce");
    nb::list converted = nb::list(numbers.attr("tolist")());
    size_t n = nb::len(raw);
    if (n > 0 && host::truth(numbers.attr("isna")().attr("all")())) {
        add(file, nb::none(), source_label, nb::none(), "empty_signal", false,
            host::text("every value of ", host::Repr{source_label},
                       " is missing or not a number: the weather gives the model no ",
                       host::Str{signal_label}));
    } else {
        for (size_t i = 0; i < n; ++i) {
            if (host::is_missing(raw[i]) || !host::is_missing(converted[i]))
                continue;
            // "23,5": a number once its comma is a point.
            std::string text = utf8(raw[i]);
            std::string probe = text;
            for (char &c : probe)
                if (c == ',')
                    c = '.';
            char *end = nullptr;
            std::strtod(probe.c_str(), &end);
            bool decimal_comma = text.find(',') != std::string::npos && !probe.empty() && end &&
                                 *end == '\0';
            add(file, line_at(lines, i), source_label, raw[i], "non_numeric_signal", false,
                decimal_comma
                    ? host::text(host::Repr{raw[i]},
                                 " is not a number: a decimal comma? Write the decimal point "
                                 "(", probe.c_str(), ") or export the file with one")
                    : host::text(host::Repr{raw[i]}, " is not a number; the model reads it as "
                                                     "missing"));
        }
    }
    nb::object dates = data["date"];
    nb::list stamps = nb::list(dates.attr("tolist")());
    std::map<long long, size_t> first_of_stamp;
    std::map<long long, size_t> first_of_day;
    nb::object previous;
    size_t previous_row = 0;
    for (size_t i = 0; i < n; ++i) {
        nb::handle stamp = stamps[i];
        if (host::is_missing(stamp))
            continue;
        long long value = nb::cast<long long>(stamp.attr("value"));  // ns since 1970
        long long day = (long long) std::floor((double) value / 86400e9);
        auto seen = first_of_stamp.find(value);
        if (seen != first_of_stamp.end()) {
            add(file, line_at(lines, i), date_label, cell_text(written[i]), "duplicate_date", false,
                host::text("the same date as line ", host::Str{line_at(lines, seen->second)},
                           ": are several stations stacked in the file? The model reads one "
                           "row a day"));
        } else {
            first_of_stamp[value] = i;
            auto same_day = first_of_day.find(day);
            if (same_day != first_of_day.end())
                add(file, line_at(lines, i), date_label, cell_text(written[i]), "sub_daily", false,
                    host::text("a second row for the day of line ",
                               host::Str{line_at(lines, same_day->second)},
                               ": hourly rows? The model reads one row a day"));
            else
                first_of_day[day] = i;
        }
        if (previous.is_valid() && host::truth(nb::steal(checked(PyObject_RichCompare(
                                       stamp.ptr(), previous.ptr(), Py_LT)))))
            add(file, line_at(lines, i), date_label, cell_text(written[i]), "unsorted_dates", false,
                host::text("earlier than the date of line ", host::Str{line_at(lines, previous_row)},
                           ": the dates are not in order"));
        previous = nb::borrow(stamp);
        previous_row = i;
    }

    nb::object week_length = config_.is_valid() ? nb::object(config_.attr("get")("week_length_days"))
                                                : nb::object(nb::none());
    if (week_length.is_none() || !PyLong_CheckExact(week_length.ptr()) ||
        nb::cast<long>(week_length) < 1) {
        week_length = nb::int_(7);
        if (!parameters_.is_none()) {
            nb::object days = parameters_.attr("general").attr("get")("week_length_days");
            if (PyLong_CheckExact(days.ptr()) && nb::cast<long>(days) >= 1)
                week_length = days;
        }
    }
    try {
        provider_ = host::from_import("py_zelka.weather", "WeatherProvider")
                        .attr("from_table")(data, nb::arg("week_length_days") = week_length);
    } catch (nb::python_error &error) {
        add(file, nb::none(), date_label, nb::none(), "weather_period", true, error_text(error));
    }
}

void FarmCheck::check_inventory(nb::handle path) {
    if (path.is_none()) {
        notice("inventory", host::text("no inventory file in ", host::Repr{host::str(folder_)},
                                       "; the model starts without a population inventory"));
        return;
    }
    std::vector<size_t> lines;
    nb::dict result =
        check_record_file(3, "py_zelka.readers.inventory_reader", path, false, lines);
    if (result.contains("data") && !result["data"].is_none())
        inventory_ = result["data"];
}

bool FarmCheck::weeks_of(nb::handle dates, nb::handle label, nb::handle file,
                         const std::vector<size_t> &lines, std::vector<nb::object> &weeks) {
    bool all = true;
    bool unread = false;  // dates the parser could not read are findings already
    for (const Finding &f : findings_)
        unread = unread || (f.rule == "date_parse" && f.file.equal(file));
    nb::list cells = nb::list(dates.attr("tolist")());
    for (size_t i = 0; i < nb::len(cells); ++i) {
        if (unread && host::is_missing(cells[i])) {
            weeks.push_back(nb::none());
            all = false;
            continue;
        }
        try {
            weeks.push_back(provider_.attr("week_index_for_date")(cells[i]));
        } catch (nb::python_error &error) {
            add(file, line_at(lines, i), label, cell_text(cells[i]), "weather_period", true,
                host::str(error.value()));
            weeks.push_back(nb::none());
            all = false;
        }
    }
    return all;
}

void FarmCheck::same_week_warnings(nb::handle file, nb::handle label,
                                   const std::vector<size_t> &lines,
                                   const std::vector<std::pair<nb::object, nb::object>> &keys,
                                   nb::handle date_cells, const char *what) {
    nb::list dates = nb::list(date_cells.attr("tolist")());
    // Rows in file order, grouped by key: every row but the last of a group
    // is replaced by a later one.
    nb::dict groups;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].second.is_none())
            continue;
        nb::object key = nb::make_tuple(keys[i].first, keys[i].second);
        if (!groups.contains(key))
            groups[key] = nb::list();
        nb::borrow<nb::list>(groups[key]).append(nb::int_(i));
    }
    for (auto [key, rows] : groups) {
        size_t count = nb::len(rows);
        if (count < 2)
            continue;
        // Rows of one date are the duplicate rule's: only rows of several
        // dates are news here.
        std::vector<std::string> days;
        std::string where;
        for (size_t k = 0; k < count; ++k) {
            size_t row = nb::cast<size_t>(rows[k]);
            days.push_back(utf8(dates[row]));
            where += (k == 0 ? "" : k + 1 == count ? " and " : ", ") + utf8(line_at(lines, row));
        }
        if (std::all_of(days.begin(), days.end(), [&](const std::string &d) { return d == days[0]; }))
            continue;
        nb::object last = line_at(lines, nb::cast<size_t>(rows[count - 1]));
        for (size_t k = 0; k + 1 < count; ++k) {
            size_t row = nb::cast<size_t>(rows[k]);
            add(file, line_at(lines, row), label, cell_text(dates[row]), "same_week", false,
                host::text(what, " fall in model week ", host::Str{nb::handle(key)[1]},
                           " (lines ", where.c_str(), "); the later row (line ", host::Str{last},
                           ") wins"));
        }
    }
}

nb::dict FarmCheck::check_record_file(size_t role, const char *module, nb::handle path,
                                     bool dayfirst, std::vector<size_t> &lines) {
    nb::dict kwargs;
    nb::dict config = section(roles[role].name);
    if (config.contains("columns"))
        kwargs["columns"] = config["columns"];
    if (dayfirst && config.contains("dayfirst"))
        kwargs["dayfirst"] = config["dayfirst"];
    return check_records(roles[role], path, nb::str(module), nb::handle(), kwargs, lines);
}

nb::object FarmCheck::dated_records(const char *role, const char *module, const char *cls,
                                    nb::dict result, nb::handle path,
                                    const std::vector<size_t> &lines, bool by_tag,
                                    const char *what) {
    if (!result.contains("dates") || provider_.is_none())
        return nb::object();
    nb::object file = name_of(path);
    nb::object label = file_column(role, nb::str("date"));
    std::vector<nb::object> weeks;
    bool placed = weeks_of(result["dates"], label, file, lines, weeks);
    nb::list tags = by_tag ? nb::list(result["tags"].attr("tolist")()) : nb::list();
    std::vector<std::pair<nb::object, nb::object>> keys;
    for (size_t i = 0; i < weeks.size(); ++i)
        keys.emplace_back(by_tag ? nb::borrow(tags[i]) : nb::object(nb::str(role)), weeks[i]);
    same_week_warnings(file, label, lines, keys, result["table"]["date"], what);
    if (!placed || result["data"].is_none())
        return nb::object();
    return host::from_import(module, cls)(result["data"], provider_);
}

void FarmCheck::check_production(nb::handle path) {
    if (path.is_none()) {
        notice("production", host::text("no production file in ", host::Repr{host::str(folder_)},
                                        "; no harvest records are compared with the model"));
        return;
    }
    std::vector<size_t> lines;
    nb::dict result =
        check_record_file(4, "py_zelka.readers.harvest_tag_reader", path, true, lines);
    nb::object data = dated_records("production", "py_zelka.readers.harvest_tag_reader",
                                    "RibbonProductionData", result, path, lines, true,
                                    "rows of one tag");
    if (data.is_valid())
        production_ = data;
}

void FarmCheck::check_selection(nb::handle path) {
    if (path.is_none()) {
        notice("selection", host::text("no selection file in ", host::Repr{host::str(folder_)},
                                       "; no sucker selection records are compared with the "
                                       "model"));
        return;
    }
    std::vector<size_t> lines;
    nb::dict result =
        check_record_file(5, "py_zelka.readers.follower_choice_reader", path, true, lines);
    nb::object data = dated_records("selection", "py_zelka.readers.follower_choice_reader",
                                    "SuckerSelectionData", result, path, lines, false,
                                    "selection dates");
    if (data.is_valid())
        selection_ = data;
}

void FarmCheck::run() {
    if (!host::truth(folder_.attr("is_dir")())) {
        add(host::str(folder_), nb::none(), nb::none(), nb::none(), "not_a_folder", true,
            host::text(host::Repr{host::str(folder_)}, " is not a farm folder"));
        return;
    }
    read_farm_yaml();
    nb::object found[6];
    for (size_t k = 0; k < 6; ++k)
        found[k] = find_file(roles[k]);
    check_parameters(found[0]);
    check_management(found[1]);
    check_weather(found[2]);
    check_inventory(found[3]);
    check_production(found[4]);
    check_selection(found[5]);
}

nb::object FarmCheck::report() const {
    nb::object pd = host::import("pandas");
    // File by file in the order of the check; within a file, by line (what
    // is about no line first), then in the order found.
    std::vector<size_t> order(findings_.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::vector<std::string> files;
    auto rank = [&](const Finding &f) {
        std::string name = utf8(f.file);
        auto at = std::find(files.begin(), files.end(), name);
        if (at == files.end())
            at = files.insert(files.end(), name);
        return (size_t) (at - files.begin());
    };
    std::vector<size_t> file_rank(findings_.size());
    for (size_t i = 0; i < findings_.size(); ++i)
        file_rank[i] = rank(findings_[i]);
    auto line_key = [&](size_t i) {
        return findings_[i].line.is_none() ? -1L : nb::cast<long>(findings_[i].line);
    };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (file_rank[a] != file_rank[b])
            return file_rank[a] < file_rank[b];
        return line_key(a) < line_key(b);
    });
    nb::list file, line, column, value, rule, severity, message;
    for (size_t i : order) {
        const Finding &f = findings_[i];
        file.append(f.file);
        line.append(f.line);
        column.append(f.column);
        value.append(f.value);
        rule.append(nb::str(f.rule.c_str()));
        severity.append(nb::str(f.error ? "error" : "warning"));
        message.append(f.message);
    }
    nb::dict columns;
    columns["file"] = pd.attr("array")(file, nb::arg("dtype") = "object");
    columns["line"] = pd.attr("array")(line, nb::arg("dtype") = "Int64");
    columns["column"] = pd.attr("array")(column, nb::arg("dtype") = "object");
    columns["value"] = pd.attr("array")(value, nb::arg("dtype") = "object");
    columns["rule"] = pd.attr("array")(rule, nb::arg("dtype") = "object");
    columns["severity"] = pd.attr("array")(severity, nb::arg("dtype") = "object");
    columns["message"] = pd.attr("array")(message, nb::arg("dtype") = "object");
    nb::object findings = pd.attr("DataFrame")(columns);
    return s_.report_cls.get()(host::str(folder_), findings, notices_);
}

nb::object FarmCheck::farm(nb::handle report) const {
    return s_.farm_cls.get()(host::str(folder_), parameters_, schedule_, weather_, provider_,
                             inventory_, production_, selection_, notices_, report);
}

// ---------------------------------------------------------------------------
// The module's functions

nb::object check_farm(State &s, nb::handle folder) {
    FarmCheck check(s, folder);
    check.run();
    return check.report();
}

// The lines of a report's text: a summary, then the findings grouped by file.
std::string report_text(nb::handle report) {
    nb::object findings = report.attr("findings");
    size_t n = nb::len(findings);
    size_t errors = 0;
    nb::list severities = nb::list(findings["severity"].attr("tolist")());
    for (nb::handle severity : severities)
        if (utf8(severity) == "error")
            ++errors;
    std::string out = "farm " + utf8(report.attr("folder")) + ": " + std::to_string(errors) +
                      " error(s), " + std::to_string(n - errors) + " warning(s)\n";
    nb::list files = nb::list(findings["file"].attr("tolist")());
    nb::list lines = nb::list(findings["line"].attr("tolist")());
    nb::list columns = nb::list(findings["column"].attr("tolist")());
    nb::list values = nb::list(findings["value"].attr("tolist")());
    nb::list rules = nb::list(findings["rule"].attr("tolist")());
    nb::list messages = nb::list(findings["message"].attr("tolist")());
    std::vector<std::string> order;
    std::map<std::string, records::TextTable> tables;
    for (size_t i = 0; i < n; ++i) {
        std::string file = utf8(files[i]);
        if (!tables.count(file)) {
            order.push_back(file);
            tables.emplace(file, records::TextTable({"line", "column", "value", "rule", "severity",
                                                     "message"},
                                                    {true, false, false, false, false, false}));
        }
        auto text = [](nb::handle v) { return host::is_missing(v) ? std::string() : utf8(v); };
        std::string value = text(values[i]);
        if (records::text_width(value) > 24)
            value = value.substr(0, 21) + "...";
        tables.at(file).add({text(lines[i]), text(columns[i]), value, utf8(rules[i]),
                             utf8(severities[i]), utf8(messages[i])});
    }
    for (const std::string &file : order)
        out += "\n" + file + "\n" + tables.at(file).str("  ");
    nb::object notices = report.attr("notices");
    if (nb::len(notices) > 0) {
        out += "\nnotices\n";
        for (nb::handle notice : notices)
            out += "  " + utf8(notice.attr("subject")) + ": " + utf8(notice.attr("message")) + "\n";
    }
    return out;
}

nb::object report_str(State &, nb::handle self) {
    std::string text = report_text(self);
    return nb::str(text.data(), text.size());
}

nb::object report_ok(State &, nb::handle self) {
    nb::object severity = self.attr("findings")["severity"];
    return nb::bool_(!host::truth(severity.attr("eq")("error").attr("any")()));
}

// The report as plain data: {"path", "ok", "findings": [{file, line, ...}],
// "notices": [{subject, message}]}.
nb::object report_dict(State &s, nb::handle self) {
    nb::dict out;
    out["path"] = self.attr("folder");
    out["ok"] = report_ok(s, self);
    nb::object findings = self.attr("findings");
    nb::list records;
    nb::list columns = host::as_list(findings.attr("columns"));
    size_t n = nb::len(findings);
    std::vector<nb::list> cells;
    for (nb::handle column : columns)
        cells.push_back(nb::list(findings[column].attr("tolist")()));
    for (size_t i = 0; i < n; ++i) {
        nb::dict record;
        for (size_t k = 0; k < cells.size(); ++k) {
            nb::object cell = cells[k][i];
            record[columns[k]] = host::is_missing(cell) ? nb::object(nb::none()) : cell;
        }
        records.append(record);
    }
    out["findings"] = records;
    nb::list notices;
    for (nb::handle notice : self.attr("notices")) {
        nb::dict entry;
        entry["subject"] = notice.attr("subject");
        entry["message"] = notice.attr("message");
        notices.append(entry);
    }
    out["notices"] = notices;
    return out;
}

nb::object report_json(State &s, nb::handle self) {
    return host::from_import("json", "dumps")(report_dict(s, self),
                                              nb::arg("ensure_ascii") = false);
}

nb::object farm_load(State &s, nb::handle cls, nb::handle folder) {
    FarmCheck check(s, folder);
    check.run();
    nb::object report = check.report();
    if (check.failed()) {
        nb::object findings = report.attr("findings");
        nb::object errors = findings[findings["severity"].attr("eq")("error")];
        std::string text = "farm " + utf8(report.attr("folder")) + " has " +
                           std::to_string(nb::len(errors)) + " error(s):";
        nb::list files = nb::list(errors["file"].attr("tolist")());
        nb::list lines = nb::list(errors["line"].attr("tolist")());
        nb::list columns = nb::list(errors["column"].attr("tolist")());
        nb::list messages = nb::list(errors["message"].attr("tolist")());
        for (size_t i = 0; i < nb::len(files); ++i) {
            text += "\n  " + utf8(files[i]);
            if (!host::is_missing(lines[i]))
                text += ", line " + utf8(lines[i]);
            if (!host::is_missing(columns[i]))
                text += ", column " + utf8(host::repr(columns[i]));
            text += ": " + utf8(messages[i]);
        }
        nb::object error = s.error_cls.get()(nb::str(text.data(), text.size()));
        error.attr("report") = report;
        PyErr_SetObject((PyObject *) Py_TYPE(error.ptr()), error.ptr());
        throw nb::python_error();
    }
    nb::object farm = check.farm(report);
    if (!cls.is(s.farm_cls.get()))
        farm = cls(**host::from_import("dataclasses", "asdict")(farm));
    return farm;
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "A farm's folder of files in one call, and every problem of its files in one pass.\n\n"
        "check_farm(folder) runs every check of every file of a farm folder and returns a\n"
        "FarmReport: one finding per failing row and check, with its file, line, column,\n"
        "value, rule, severity (error or warning) and message.  Farm.load(folder) reads\n"
        "the farm, or raises FarmCheckError listing every error.\n\n"
        "The folder holds parameters.yaml, management.yaml, weather.*, inventory.*,\n"
        "production.* and selection.* (any suffix the readers read).  An optional\n"
        "farm.yaml names other files and says how to read them:\n\n"
        "    weather: {file: station.csv, date: Datum, tmean: Tmittel, dayfirst: true}\n"
        "    production: {file: Ernte.xlsx, columns: {tag: Band, date: Datum}, dayfirst: true}\n"
        "    inventory: {columns: {population: Anzahl}}\n"
        "    selection: {columns: {date: Datum}}\n"
        "    parameters: {file: params.yaml}\n"
        "    management: {file: plan.yaml}\n"
        "    week_length_days: 7\n\n"
        "Without parameters.yaml the parameter set shipped with the package is used;\n"
        "missing management, inventory, production and selection files are notices.\n"
        "EXAMPLE_FARM is the folder of the example farm that ships with the package.";

    nb::object here = host::from_import("pathlib", "Path")(m.attr("__file__")).attr("parent");
    host::publish(m, "EXAMPLE_FARM", here / nb::str("example_farm"));

    nb::object base = host::from_import("py_zelka.exceptions", "ZelkaError");
    s.error_cls = host::publish(
        m, "FarmCheckError",
        host::empty_class(s, "FarmCheckError",
                          "A farm's files hold errors.  The message lists every one; the\n"
                          "attribute report holds the FarmReport of the check.",
                          nb::make_tuple(base)));

    s.report_cls = host::publish(
        m, "FarmReport",
        host::ClassBuilder(s, "FarmReport",
                           "What check_farm found in a farm's files.\n\n"
                           "folder    the farm's folder\n"
                           "findings  a pandas.DataFrame, one row per finding: file (relative to\n"
                           "          the folder), line (the 1-based line an editor shows, the\n"
                           "          sheet row for Excel; missing when the finding is not about\n"
                           "          a row), column, value (the cell as written), rule, severity\n"
                           "          ('error' or 'warning') and message\n"
                           "notices   the notices of the reads (absent optional files and\n"
                           "          columns)\n\n"
                           "str(report) is the findings as a table grouped by file.")
            .field("folder", "str")
            .field("findings", "pandas.DataFrame")
            .field("notices", "NoticeLog")
            .property<&report_ok>("ok", "bool", "True when no finding is an error.")
            .method<&report_json>("to_json", "(self, /) -> str",
                                  "The report as JSON: {\"path\", \"ok\", \"findings\": [{file, line,\n"
                                  "column, value, rule, severity, message}], \"notices\": [...]}.")
            .method<&report_dict>("_as_dict", "(self, /) -> dict",
                                  "The report as plain data, as to_json writes it.")
            .method<&report_str>("__str__", "(self, /) -> str",
                                 "The findings as a table grouped by file.")
            .record(nb::handle(), true, true, false));

    s.farm_cls = host::publish(
        m, "Farm",
        host::ClassBuilder(s, "Farm",
                           "A farm's files, read and checked.\n\n"
                           "folder       the farm's folder\n"
                           "parameters   the ParameterSet\n"
                           "schedule     the CropCare replacement schedule\n"
                           "weather      the weather table (date and tmean or heat_units)\n"
                           "provider     the WeatherProvider of the weather's period\n"
                           "inventory    the population inventory table, or None\n"
                           "production   the RibbonProductionData, or None\n"
                           "selection    the SuckerSelectionData, or None\n"
                           "notices      one NoticeLog of all the reads\n"
                           "report       the FarmReport of the check (its warnings)")
            .field("folder", "str")
            .field("parameters", "ParameterSet")
            .field("schedule", "CropCare")
            .field("weather", "pandas.DataFrame")
            .field("provider", "WeatherProvider")
            .field("inventory", "pandas.DataFrame | None")
            .field("production", "RibbonProductionData | None")
            .field("selection", "SuckerSelectionData | None")
            .field("notices", "NoticeLog")
            .field("report", "FarmReport")
            .class_method<&farm_load>(
                "load", "(cls, /, folder: str | os.PathLike) -> Farm",
                "Read a farm's folder: every file checked, then read.\n\n"
                "Raises FarmCheckError listing every error of every file (its report\n"
                "attribute holds the FarmReport); warnings do not stop the load and stay\n"
                "in the farm's report.")
            .record(nb::handle(), true, true, false));

    host::def<&check_farm>(m, s, "check_farm", "(folder: str | os.PathLike) -> FarmReport",
                           "Run every check of every file of a farm folder.\n\n"
                           "Returns a FarmReport; nothing is raised for the farm's data.");
}

}  // namespace

ZELKA_MODULE(farm, State, init)
