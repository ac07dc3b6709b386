// The check of one farm folder, split by concern:
//   layout.cpp    the folder, farm.yaml (bounded, strict) and which file is which
//   settings.cpp  the parameter and management files
//   records.cpp   loading a record file through its reader's checks, the
//                 inventory, and the dated records (production, selection)
//   weather.cpp   the weather file: signal, units, dates, gaps, the provider
//   report.cpp    the findings as a table, text and JSON
#pragma once

#include "farm/roles.hpp"
#include "host/module.hpp"
#include "host/yaml_file.hpp"
#include "records/files/checked.hpp"
#include "records/load.hpp"

#include <nanobind/nanobind.h>

#include <climits>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace farm {

namespace nb = nanobind;

// The readers' steps as the farm check runs them: a reader state whose
// module is a namespace of the names the steps look up (the same names the
// reader module publishes).
class ReaderNames : public host::Holder {
  public:
    ReaderNames(host::State *owner) : Holder(owner) {}  // NOLINT: an array's elements
    ~ReaderNames() override { Py_CLEAR(state.module); }
    // Fills the namespace with `publish` and loads what the steps use.
    void load(void (*publish)(const records::Publish &));
    int visit(visitproc visit, void *arg) override {
        Py_VISIT(state.module);
        return state.traverse(visit, arg);
    }
    void clear() override {
        state.clear();
        Py_CLEAR(state.module);
    }
    records::ReaderState state;
};

struct State : host::State {
    host::Ref error_cls{this};   // FarmCheckError
    host::Ref report_cls{this};  // FarmReport
    host::Ref farm_cls{this};    // Farm
    host::Ref templates{this};   // the report page's Jinja2 environment, once loaded
    // The reader steps of each record file (none for the YAML files).
    ReaderNames readers[role_count]{{this}, {this}, {this}, {this}, {this}, {this}};
    ReaderNames &reader(Role role) { return readers[size_t(role)]; }
};

// What farm.yaml declares of one record file: only the sound values (a bad
// one is a finding of farm.yaml and declares nothing).
struct Declared {
    long header = 0;         // the header's line, 0 when not declared
    nb::object sheet;        // the sheet's name or position; empty when not declared
    std::string encoding;    // "" when not declared
    int dayfirst = -1;       // -1 when not declared, else 0 or 1
    nb::list missing;        // the cells that mean "no value"
    double scale = 1.0;
    bool scaled = false;
    char units = 0;          // 0 when not declared, else 'C', 'F' or 'K'
    nb::dict where;          // the file's label -> the value of the rows to keep
    bool daily = false;      // several rows a day: their mean
    bool weekly = false;     // rows of one model week: their sum
    nb::list mean_of;        // the weather's tmean as the mean of these two columns
};

// The weather's quality checks: their thresholds (farm.yaml checks: sets
// them; the catalogue's limits are their defaults).
using Thresholds = records::Limits;

// A YAML file as composed (its node, for the lines of its keys) and built.
struct YamlDocument {
    nb::object document, node;
};

struct Finding {
    nb::object file, line, column, value;  // line, column, value: None when not about one
    Rule rule;
    Severity severity;
    nb::object message;
    nb::object hint;  // farm.yaml's section as it must read, or None
};

// farm.yaml's name.
extern const char *const farm_file;

// `None if pd.isna(cell) else str(cell)`.
nb::object cell_text(nb::handle cell);

// A number as people write it: 60, -10, 0.5.
std::string number_text(double v);

// The value of an int or a float (not a bool) in `out`, or false.
bool number_of(nb::handle value, double &out);

// A day's ordinal as datetime.date writes it: "2024-01-31".
nb::str day_text(long long ordinal);

// `pd.to_numeric(series, errors="coerce")` as float64 values, NaN where a
// cell holds no number: read from the array, not cell by cell.
std::vector<double> numbers_of(nb::handle series);

// A whole number (an int, not a bool) within [low, high], in `out`; or false.
bool whole_number(nb::handle value, long low, long high, long &out);

// The text of a caught error: "TypeName: message".
nb::str error_text(nb::python_error &error);

// The line (1-based) of every key of a composed YAML mapping node (and of
// the mappings under it, one level down), as "key" and "key.subkey"; keys
// written twice in one mapping go to `twice` as (key, first line, second
// line).
void node_lines(nb::handle yaml, nb::handle node, std::map<std::string, long> &lines,
                std::vector<std::tuple<std::string, long, long>> *twice);
// The line a YAML error marks, or None.
nb::object yaml_error_line(nb::python_error &error);
// Whether something is there at the path (a broken link too); OSError
// when that cannot be told.
bool lexists(nb::handle path);
nb::object line_or_none(const std::map<std::string, long> &lines, const std::string &key);

// A record file as its reader's rules left it.
struct RecordFile {
    nb::object path, file;           // the path, and its name in the folder
    bool loaded = false;             // false when loading the file failed
    records::CheckedFile checked;    // what the reader's rules found
    bool has_table() const { return checked.table.is_valid(); }
    bool has_data() const { return checked.data.is_valid() && !checked.data.is_none(); }
    // The line of a row of the loaded table (its source keeps them in step).
    nb::object line_at(size_t row) const {
        const std::vector<size_t> &lines = checked.source.lines;
        return row < lines.size() ? nb::object(nb::int_(lines[row])) : nb::object(nb::none());
    }
};

// The weather as the model reads it, row by row: a row of the file, or a
// day of them (farm.yaml's daily: mean).
// A date the weather series holds none of.
constexpr long long no_stamp = INT64_MIN;

struct WeatherSeries {
    std::vector<size_t> rows;        // the table's row it stands for (the first of its day)
    std::vector<long long> days;     // its calendar day (an ordinal), 0 when it has no date
    nb::list stamps;                 // its date as parsed
    std::vector<long long> nanos;    // that date in nanoseconds since 1970, no_stamp where none
    std::vector<double> values;      // in degrees Celsius (or heat units), NaN where none
    std::vector<bool> usable;        // a value the model takes
    std::vector<bool> flagged;       // a value outside the site's bounds (a finding already)
    nb::list cells;                  // the cells of the file's rows (none for days' means)
    // The value as the file writes it (None for a day's mean).
    nb::object shown(size_t i) const {
        return i < nb::len(cells) ? cell_text(cells[i]) : nb::object(nb::none());
    }
};

class FarmCheck {
  public:
    FarmCheck(State &s, nb::handle folder);

    void run();
    // The FarmReport of the findings.
    nb::object report() const;
    bool failed() const;
    // Farm(...) of what the check read.
    nb::object farm(nb::handle report) const;

  private:
    void add(nb::handle file, nb::handle line, nb::handle column, nb::handle value, Rule rule,
             nb::handle message, nb::handle hint = nb::none()) {
        if (silenced_.count(rule))
            return;
        findings_.push_back({nb::borrow(file), nb::borrow(line), nb::borrow(column),
                             nb::borrow(value), rule, severity_of(rule), nb::borrow(message),
                             nb::borrow(hint)});
    }
    void notice(const char *subject, nb::handle message);
    nb::object name_of(nb::handle path) const;
    bool has_finding(nb::handle file, Rule rule) const;

    // layout.cpp
    // A YAML file of the farm read within bounds, its marks naming it as
    // `file`; false when it cannot be read: `refusal` says so when the
    // bounds refused it, otherwise a finding of `rule` does.
    bool read_yaml(nb::handle file, nb::handle path, Rule rule, const host::YamlBounds &bounds,
                   YamlDocument &out, host::YamlRefusal &refusal);
    // Whether `path` is a regular file inside the folder (a link to one
    // inside it counts); an outside_folder or not_a_file finding naming it
    // as `what` when it is not.
    bool admit(nb::handle path, nb::handle what);
    void read_farm_yaml();

    // declared.cpp
    void check_section(Role role, nb::handle key, nb::handle value,
                       const std::map<std::string, long> &lines);
    void check_columns(Role role, nb::handle key, nb::handle value,
                       const std::map<std::string, long> &lines);
    void check_checks(nb::handle value, const std::map<std::string, long> &lines);
    void check_severities(nb::handle value, const std::map<std::string, long> &lines);
    const Declared &declared(Role role) const { return declared_[size_t(role)]; }
    Severity severity_of(Rule rule) const;
    // farm.yaml's section of a file as it must read with `updates` (a
    // mapping; a mapping in it, such as columns:, updates the section's key
    // by key): one line, e.g. "weather: {file: station.csv, units: degF}".
    nb::str declaration(Role role, nb::handle updates) const;
    nb::str declaration(Role role, const char *key, nb::handle value) const;
    nb::str declaration(const char *key, nb::handle current, nb::handle updates) const;
    // The file of a role: its path, None when there is none, empty when a
    // finding refused it.
    nb::object find_file(Role role);

    // declared.cpp
    // farm.yaml's mapping of one file, or an empty dict.
    nb::dict section(Role role) const;
    // farm.yaml's `columns:` of one file (ours -> the file's label), only
    // when every entry is sound; empty otherwise.
    nb::dict columns_of(Role role) const;
    // The file's label of one of our columns.
    nb::object file_column(Role role, nb::handle ours) const;
    bool dayfirst_given(Role role) const;
    int week_length() const;

    // settings.cpp
    // `loader(path)` of a YAML file; None, and the loader's error a finding
    // of `rule` at the line it names, when it refuses the file.
    nb::object load_yaml(nb::handle file, nb::handle path, nb::handle loader, Rule rule);
    // A parameter or management file read within their bounds; false with
    // a finding of `rule` when it cannot be read.
    bool read_setting(nb::handle path, Rule rule, YamlDocument &read);
    // The shapes the parameter set and the schedule take, each fault a
    // finding at its line; false when there is one.
    bool parameters_shape(nb::handle file, const YamlDocument &read);
    bool schedule_shape(nb::handle file, const YamlDocument &read);
    void check_parameters(nb::handle path);
    void check_management(nb::handle path);

    // prepare.cpp
    // What farm.yaml declares of a file as the records layer takes it: the
    // load options, and the steps before the rules (prepare_table).
    records::Declarations declarations(Role role, nb::handle date_label = nb::none(),
                                       nb::handle mean_label = nb::none());
    nb::object prepare_table(Role role, nb::handle table, records::TableSource &source,
                             nb::handle date_label, nb::handle mean_label);
    nb::object local_times(Role role, nb::handle table, nb::handle label);
    // One step of what was done to read a file, for its reads.
    void read_step(Role role, const char *step, nb::handle text,
                   nb::handle figures = nb::handle());

    // records.cpp
    // The file through its reader's rules, as farm.yaml declares it.
    RecordFile check_records(Role role, nb::handle path, nb::handle columns,
                             const records::Declarations &declared);
    void report_loading(Role role, const RecordFile &records);
    void mapped_columns(Role role, const RecordFile &records, nb::handle mapping);
    void ambiguous_dates(Role role, const RecordFile &records, nb::handle cells,
                         nb::handle label);
    // The inventory, production or selection file (a notice when absent).
    void check_optional(Role role, nb::handle path);
    RecordFile check_record_file(Role role, nb::handle path);
    nb::object dated_records(Role role, const char *cls, const RecordFile &records,
                             bool by_tag, const char *what);
    // The provider's week of each row's date (None where there is none):
    // false, with findings, when a row has no date or the weather does not
    // cover it.
    bool weeks_of(const RecordFile &records, nb::handle dates, nb::handle written,
                  nb::handle label, std::vector<nb::object> &weeks);
    // A row with no count at all (`counts`: each count column's values).
    void empty_counts(Role role, const RecordFile &records,
                      const std::vector<std::vector<double>> &counts);
    // Rows of one tag (production) or of the farm (selection) in one model
    // week: the same counts again a warning, other counts an error.
    void week_rows(Role role, const RecordFile &records, nb::handle label,
                   const std::vector<std::pair<nb::object, nb::object>> &keys, nb::handle dates,
                   const char *what, const std::vector<std::vector<double>> &counts);
    // The data of farm.yaml's weekly: sum: the rows of one week added up.
    nb::object weekly_sum(Role role, const RecordFile &records,
                          const std::vector<std::pair<nb::object, nb::object>> &keys);

    // weather.cpp
    void check_weather(nb::handle path);
    // The reader's rows of the weather: each value as written, checked, in
    // the model's units (as farm.yaml declares them).
    WeatherSeries weather_values(const RecordFile &records, nb::handle data,
                                 nb::handle source_label, bool heat_units);
    // The unit the label or the median says ('C', or 0 with a finding).
    char units_of(const RecordFile &records, nb::handle label, double median);
    // Dates of the rows: stacked stations, repeated rows, hourly rows, order.
    void weather_rows(const RecordFile &records, const WeatherSeries &rows,
                      nb::handle date_label);
    // One row a day, the mean of the day's values (farm.yaml's daily: mean).
    WeatherSeries daily_means(const RecordFile &records, const WeatherSeries &rows);
    // The days of each model week, as the model sums them.
    void weather_gaps(const RecordFile &records, const WeatherSeries &days,
                      nb::handle date_label);
    // quality.cpp: the climate archives' checks of the daily values.
    void weather_quality(const RecordFile &records, const WeatherSeries &days,
                         nb::handle date_label);

    State &s_;
    nb::object folder_;
    nb::object notices_;
    nb::object config_;  // farm.yaml's mapping, when it is one
    bool config_sound_ = true;
    Declared declared_[role_count];
    std::map<std::string, long> yaml_lines_;  // farm.yaml's keys, "weather.where.STATION"
    nb::list steps_[role_count];              // what reading each file did
    nb::object read_files_[role_count];       // the name of each file read
    nb::list twice_[role_count];         // our columns farm.yaml maps to a column taken
    Thresholds thresholds_;
    std::map<Rule, Severity> severities_;  // set by farm.yaml's checks: severity
    std::set<Rule> silenced_;              // turned off there
    bool units_refused_ = false;           // the weather's unit is not known
    std::vector<Finding> findings_;

    nb::object parameters_ = nb::none(), schedule_ = nb::none(), weather_ = nb::none(),
               provider_ = nb::none();
    // What the check could read of the inventory, production and selection
    // (None where it could not).
    nb::object data_[role_count] = {nb::none(), nb::none(), nb::none(),
                                    nb::none(), nb::none(), nb::none()};
    nb::dict spellings_;  // each tag of the production file as it first writes it
};

}  // namespace farm
