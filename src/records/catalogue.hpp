// Every rule of the checks, declared once: its enumerator and its name (the
// same word), the files it is about (and whether it is about the folder and
// farm.yaml), its severity, whether farm.yaml's checks: may set its severity,
// what it finds, and what to do about it.  The records layer fails with a
// Rule and the farm check reports one; nothing else names a rule, so a rule
// that is not here cannot be written.
//
// A title may name a threshold of the weather's checks as {name}; the text
// the catalogue gives has it filled from `limits` (the defaults farm.yaml's
// checks: may change).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace records {

// The files of a farm as bits (the farm's role table keeps their order).
namespace files {
enum Files : uint16_t {
    none = 0,
    parameters = 1u << 0,
    management = 1u << 1,
    weather = 1u << 2,
    inventory = 1u << 3,
    production = 1u << 4,
    selection = 1u << 5,
    dated = weather | production | selection,
    records = weather | inventory | production | selection,
};
}  // namespace files

enum class Severity : uint8_t { error, warning };

// The defaults of the weather's checks.
struct Limits {
    double low = -60.0, high = 60.0;  // a daily mean in degrees Celsius
    long streak_days = 15;            // identical values in a row
    double spike_c = 20.0;            // a day away from both neighbours
    double step_c = 20.0;             // a change that holds
    long step_days = 7;               // for so many days
    double outlier_sd = 6.0;          // from the mean of its calendar month
    long outlier_values = 100;        // that month's values in the file, at least
    long copied_days = 28;            // a run repeating another
};
inline constexpr Limits limits{};

#define ZELKA_RULES(X) \
    X(not_a_folder, none, true, E, false, \
      "the path is not a farm folder", \
      "give the folder that holds the farm's files") \
    X(farm_yaml, none, true, E, false, \
      "farm.yaml cannot be read", \
      "write farm.yaml as a YAML mapping of the farm's files, e.g. weather: {file: weather.csv}") \
    X(farm_yaml_key, none, true, E, false, \
      "an unknown key in farm.yaml", \
      "use the keys the message lists, e.g. inventory: {columns: {population: Anzahl}}") \
    X(farm_yaml_value, none, true, E, false, \
      "a value of farm.yaml that means nothing", \
      "give the kind of value the message asks for, e.g. production: {dayfirst: true}") \
    X(outside_folder, parameters | management | records, true, E, false, \
      "a file outside the farm folder (named there, or linked to)", \
      "copy the file into the farm folder and name it there, e.g. weather: {file: weather.csv}") \
    X(not_a_file, parameters | management | records, true, E, false, \
      "a file of the farm that is no regular file (a folder, a pipe, a broken link)", \
      "put the file itself in the farm folder under that name") \
    X(missing_file, weather, true, E, false, \
      "a file the farm needs is missing", \
      "put the file in the folder or name it in farm.yaml, e.g. weather: {file: station.csv}") \
    X(several_files, records, true, E, false, \
      "several files could be the one to read", \
      "name the one to read in farm.yaml, e.g. production: {file: production.csv}") \
    X(unmapped_column, records, true, E, false, \
      "farm.yaml names a column the file does not have", \
      "name a label of the file's header, e.g. inventory: {columns: {population: Anzahl}}") \
    X(column_mapped_twice, records, true, E, false, \
      "one column of the file given two meanings", \
      "map each column of the file to one of the reader's columns") \
    X(parameters, parameters, false, E, false, \
      "the parameter file is refused", \
      "correct the parameter file as the message says") \
    X(parameter_range, parameters, false, W, false, \
      "a parameter value outside what it means", \
      "check the value") \
    X(management, management, false, E, false, \
      "the management file is refused", \
      "correct the management file as the message says") \
    X(unknown_key, management, false, W, false, \
      "a key of the management file is ignored", \
      "spell it replacement_schedule") \
    X(signal_column, weather, false, E, false, \
      "the weather's column map names no temperature (neither tmean nor heat_units)", \
      "name the temperature column in farm.yaml, e.g. weather: {columns: {tmean: Tmittel}}") \
    X(load, records, false, E, false, \
      "the file cannot be loaded as a table", \
      "correct the file at the line the message names") \
    X(skipped_lines, records, false, W, false, \
      "lines above or below the table are not read as rows", \
      "check that the lines skipped hold no rows of the table") \
    X(encoding, records, false, W, false, \
      "a text file read as Windows-1252, not UTF-8", \
      "check the text the report shows; if it reads wrongly, save the file as UTF-8") \
    X(required_columns, records, false, E, false, \
      "a column the model needs is missing", \
      "name the file's label in farm.yaml, e.g. production: {columns: {date: Datum}}") \
    X(date_parse, dated, false, E, false, \
      "a date that is not a calendar date, or none", \
      "write a calendar date (YYYY-MM-DD reads one way only)") \
    X(mixed_day_month, weather, false, E, false, \
      "dates read one way beside dates only the other way reads", \
      "say in the file's section of farm.yaml how it writes its dates: dayfirst: true or false") \
    X(ambiguous_dates, dated, false, E, false, \
      "every date reads both day first and month first", \
      "say in the file's section of farm.yaml how it writes its dates: dayfirst: true or false") \
    X(weather_period, dated, false, E, false, \
      "a date the weather does not cover", \
      "give weather for every date of the farm's records") \
    X(empty_signal, weather, false, E, false, \
      "the temperature column holds no number", \
      "fill the column, or name the right one, e.g. weather: {columns: {tmean: Tmittel}}") \
    X(non_numeric_signal, weather, false, E, false, \
      "a temperature that is not a number", \
      "write the number with a decimal point, or leave the cell empty") \
    X(missing_marker, weather, false, E, false, \
      "a missing-value marker such as -999 read as a temperature", \
      "leave the cells empty") \
    X(implausible_value, weather, false, E, false, \
      "a daily mean outside the site's bounds (checks: temperature_range, {low} to {high} degrees Celsius unless farm.yaml says otherwise)", \
      "correct the value or leave the cell empty") \
    X(temperature_units, weather, false, E, false, \
      "temperatures in degrees Fahrenheit, kelvin or tenths of a degree", \
      "convert the column to degrees Celsius") \
    X(not_a_temperature, weather, false, E, false, \
      "the temperature column holds no temperatures (a pressure in hPa?)", \
      "name the temperature column in farm.yaml (columns: {tmean: LABEL})") \
    X(negative_heat_units, weather, false, E, false, \
      "negative heat units", \
      "correct the value: heat units are 0 or more") \
    X(min_max, weather, false, E, false, \
      "a mean temperature below the day's minimum or above its maximum", \
      "check that tmin, tmean and tmax name the right columns, and correct the values") \
    X(stacked_rows, weather, false, E, false, \
      "one date with different values: several stations in one file", \
      "keep one station's rows in the file") \
    X(duplicate_row, weather, false, W, false, \
      "one date twice with the same value", \
      "remove the repeated row") \
    X(sub_daily, weather, false, E, false, \
      "several rows a day: hourly or sub-daily data", \
      "export one row a day (the daily mean)") \
    X(unsorted_dates, weather, false, W, false, \
      "dates out of order", \
      "sort the rows by date") \
    X(not_daily, weather, false, E, false, \
      "one row every few days, not one a day", \
      "export daily weather") \
    X(missing_week, weather, false, E, false, \
      "a model week missing more than two of its days: its degree-days fall short", \
      "fill in the missing days") \
    X(missing_days, weather, false, W, false, \
      "one or two days missing in a model week", \
      "fill in the missing days") \
    X(streak, weather, false, W, true, \
      "the same value on many days in a row (checks: streak_days, {streak_days}): a stuck sensor or a filled block", \
      "check the values against the station's own records") \
    X(spike, weather, false, E, true, \
      "a day far from both its neighbours on the same side (checks: spike_c, {spike_c} degrees Celsius): a typo or a lost sign", \
      "correct the value or leave the cell empty") \
    X(outlier, weather, false, W, true, \
      "a value far from its calendar month's mean over the file (checks: outlier_sd, {outlier_sd} standard deviations, where the month has {outlier_values} values)", \
      "check the value") \
    X(copied_block, weather, false, E, false, \
      "days that repeat another run of the file exactly (checks: copied_days, {copied_days}): a block pasted twice", \
      "put the station's own values in place of the repeated block") \
    X(step, weather, false, E, false, \
      "a jump that holds for a week or more (checks: step_c, {step_c} degrees Celsius): a unit or a sensor changed mid-file", \
      "convert the values after the jump, or keep the part of the file before it") \
    X(chain_values, inventory, false, E, false, \
      "a chain that is not a chain", \
      "write vegetative or reproductive") \
    X(population, inventory, false, E, false, \
      "a population missing, not a number or negative", \
      "write a count of 0 or more") \
    X(age_weeks, inventory, false, E, false, \
      "an age missing, not whole weeks or negative", \
      "write a whole number of weeks") \
    X(duplicate_tag_date, production, false, E, false, \
      "two rows of one tag and date", \
      "keep one row per tag and date") \
    X(duplicate_date, selection, false, E, false, \
      "two rows of one date", \
      "keep one row per date") \
    X(negative_count, production | selection, false, E, false, \
      "a negative count", \
      "write a count of 0 or more") \
    X(incomplete_harvest, production, false, E, false, \
      "a cut without an age at cut", \
      "write the age at cut") \
    X(cut_balance, production, false, E, false, \
      "a cut that is not processed + rejected", \
      "correct the counts") \
    X(same_week, production | selection, false, W, false, \
      "the same counts again in one model week: the later row is kept", \
      "delete the repeated row") \
    X(weekly_rows, production | selection, false, E, false, \
      "rows of one model week with different counts: the model keeps the later row only", \
      "keep one row a week, its counts added up") \
    X(empty_counts, production | selection, false, E, false, \
      "a row with no count at all", \
      "write the row's counts, or delete the row")

enum class Rule : uint8_t {
#define ZELKA_RULE_ENUMERATOR(name, ...) name,
    ZELKA_RULES(ZELKA_RULE_ENUMERATOR)
#undef ZELKA_RULE_ENUMERATOR
    count
};

struct RuleRow {
    Rule rule;
    const char *name;
    uint16_t files;       // bits of Files
    bool folder;          // about the folder and farm.yaml
    Severity severity;
    bool adjustable;      // farm.yaml's checks: may set its severity, or turn it off
    const char *title;    // what the rule finds, in a few words ({name}: a limit)
    const char *hint;     // what to do about it
};

namespace rule_table {
using namespace files;
constexpr Severity E = Severity::error;
constexpr Severity W = Severity::warning;

inline constexpr RuleRow catalogue[] = {
#define ZELKA_RULE_ROW(name, bits, folder, severity, adjustable, title, hint) \
    {Rule::name, #name, uint16_t(bits), folder, severity, adjustable, title, hint},
    ZELKA_RULES(ZELKA_RULE_ROW)
#undef ZELKA_RULE_ROW
};
}  // namespace rule_table

using rule_table::catalogue;

static_assert(sizeof(catalogue) / sizeof(catalogue[0]) == size_t(Rule::count),
              "one catalogue row per rule");

inline const RuleRow &row_of(Rule rule) { return catalogue[size_t(rule)]; }

// The rule of a name (a report read back from JSON); false when there is none.
bool rule_named(const std::string &name, Rule &rule);

// What the rule finds, its limits filled in.
std::string title_of(Rule rule);

}  // namespace records
