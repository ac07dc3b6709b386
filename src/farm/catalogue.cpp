#include "farm/catalogue.hpp"

#include <cstring>
#include <iterator>

namespace farm {

namespace {
constexpr Severity E = Severity::error;
constexpr Severity W = Severity::warning;
}  // namespace

// One row per rule, in the enumerators' order.
constexpr RuleRow catalogue[] = {
    {Rule::not_a_folder, "not_a_folder", of_folder, E, "the path is not a farm folder",
     "give the folder that holds the farm's files"},
    {Rule::farm_yaml, "farm_yaml", of_folder, E, "farm.yaml cannot be read",
     "write farm.yaml as a YAML mapping of the farm's files, e.g. weather: {file: weather.csv}"},
    {Rule::farm_yaml_key, "farm_yaml_key", of_folder, E, "an unknown key in farm.yaml",
     "use the keys the message lists, e.g. inventory: {columns: {population: Anzahl}}"},
    {Rule::farm_yaml_value, "farm_yaml_value", of_folder, E, "a value of farm.yaml that means nothing",
     "give the kind of value the message asks for, e.g. production: {dayfirst: true}"},
    {Rule::outside_folder, "outside_folder", of_folder | of_parameters | of_management | of_records, E,
     "a file outside the farm folder (named there, or linked to)",
     "copy the file into the farm folder and name it there, e.g. weather: {file: weather.csv}"},
    {Rule::not_a_file, "not_a_file", of_folder | of_parameters | of_management | of_records, E,
     "a file of the farm that is no regular file (a folder, a pipe, a broken link)",
     "put the file itself in the farm folder under that name"},
    {Rule::missing_file, "missing_file", of_folder | of_weather, E, "a file the farm needs is missing",
     "put the file in the folder or name it in farm.yaml, e.g. weather: {file: station.csv}"},
    {Rule::several_files, "several_files", of_folder | of_records, E,
     "several files could be the one to read",
     "name the one to read in farm.yaml, e.g. production: {file: production.csv}"},
    {Rule::unmapped_column, "unmapped_column", of_folder | of_records, E,
     "farm.yaml names a column the file does not have",
     "name a label of the file's header, e.g. inventory: {columns: {population: Anzahl}}"},
    {Rule::column_mapped_twice, "column_mapped_twice", of_folder | of_records, E,
     "one column of the file given two meanings",
     "map each column of the file to one of the reader's columns"},
    {Rule::parameters, "parameters", of_parameters, E, "the parameter file is refused",
     "correct the parameter file as the message says"},
    {Rule::parameter_range, "parameter_range", of_parameters, W,
     "a parameter value outside what it means", "check the value"},
    {Rule::management, "management", of_management, E, "the management file is refused",
     "correct the management file as the message says"},
    {Rule::unknown_key, "unknown_key", of_management, W, "a key of the management file is ignored",
     "spell it replacement_schedule"},
    {Rule::load, "load", of_records, E, "the file cannot be loaded as a table",
     "correct the file at the line the message names"},
    {Rule::skipped_lines, "skipped_lines", of_records, W,
     "lines above or below the table are not read as rows",
     "check that the lines skipped hold no rows of the table"},
    {Rule::encoding, "encoding", of_records, W, "a text file read as Windows-1252, not UTF-8",
     "check the text the report shows; if it reads wrongly, save the file as UTF-8"},
    {Rule::required_columns, "required_columns", of_records, E, "a column the model needs is missing",
     "name the file's label in farm.yaml, e.g. production: {columns: {date: Datum}}"},
    {Rule::date_parse, "date_parse", of_dated, E, "a date that is not a calendar date, or none",
     "write a calendar date (YYYY-MM-DD reads one way only)"},
    {Rule::mixed_day_month, "mixed_day_month", of_weather, E,
     "dates read one way beside dates only the other way reads",
     "say in the file's section of farm.yaml how it writes its dates: dayfirst: true or false"},
    {Rule::ambiguous_dates, "ambiguous_dates", of_dated, E,
     "every date reads both day first and month first",
     "say in the file's section of farm.yaml how it writes its dates: dayfirst: true or false"},
    {Rule::weather_period, "weather_period", of_dated, E, "a date the weather does not cover",
     "give weather for every date of the farm's records"},
    {Rule::empty_signal, "empty_signal", of_weather, E, "the temperature column holds no number",
     "fill the column, or name the right one, e.g. weather: {columns: {tmean: Tmittel}}"},
    {Rule::non_numeric_signal, "non_numeric_signal", of_weather, E,
     "a temperature that is not a number", "write the number with a decimal point, or leave the cell empty"},
    {Rule::missing_marker, "missing_marker", of_weather, E,
     "a missing-value marker such as -999 read as a temperature",
     "leave the cells empty"},
    {Rule::implausible_value, "implausible_value", of_weather, E,
     "a daily mean outside the site's bounds (checks: temperature_range, -60 to 60 degrees "
     "Celsius unless farm.yaml says otherwise)",
     "correct the value or leave the cell empty"},
    {Rule::temperature_units, "temperature_units", of_weather, E,
     "temperatures in degrees Fahrenheit, kelvin or tenths of a degree",
     "convert the column to degrees Celsius"},
    {Rule::not_a_temperature, "not_a_temperature", of_weather, E,
     "the temperature column holds no temperatures (a pressure in hPa?)",
     "name the temperature column in farm.yaml (columns: {tmean: LABEL})"},
    {Rule::negative_heat_units, "negative_heat_units", of_weather, E, "negative heat units",
     "correct the value: heat units are 0 or more"},
    {Rule::min_max, "min_max", of_weather, E,
     "a mean temperature below the day's minimum or above its maximum",
     "check that tmin, tmean and tmax name the right columns, and correct the values"},
    {Rule::stacked_rows, "stacked_rows", of_weather, E,
     "one date with different values: several stations in one file",
     "keep one station's rows in the file"},
    {Rule::duplicate_row, "duplicate_row", of_weather, W, "one date twice with the same value",
     "remove the repeated row"},
    {Rule::sub_daily, "sub_daily", of_weather, E, "several rows a day: hourly or sub-daily data",
     "export one row a day (the daily mean)"},
    {Rule::unsorted_dates, "unsorted_dates", of_weather, W, "dates out of order",
     "sort the rows by date"},
    {Rule::not_daily, "not_daily", of_weather, E, "one row every few days, not one a day",
     "export daily weather"},
    {Rule::missing_week, "missing_week", of_weather, E,
     "a model week missing more than two of its days: its degree-days fall short",
     "fill in the missing days"},
    {Rule::missing_days, "missing_days", of_weather, W, "one or two days missing in a model week",
     "fill in the missing days"},
    {Rule::streak, "streak", of_weather, W,
     "the same value on many days in a row (checks: streak_days, 15): a stuck sensor or a "
     "filled block",
     "check the values against the station's own records", true},
    {Rule::spike, "spike", of_weather, E,
     "a day far from both its neighbours on the same side (checks: spike_c, 20 degrees "
     "Celsius): a typo or a lost sign",
     "correct the value or leave the cell empty", true},
    {Rule::outlier, "outlier", of_weather, W,
     "a value far from its calendar month's mean over the file (checks: outlier_sd, 6 "
     "standard deviations, where the month has 100 values)",
     "check the value", true},
    {Rule::copied_block, "copied_block", of_weather, E,
     "days that repeat another run of the file exactly (checks: copied_days, 28): a block "
     "pasted twice",
     "put the station's own values in place of the repeated block"},
    {Rule::step, "step", of_weather, E,
     "a jump that holds for a week or more (checks: step_c, 20 degrees Celsius): a unit or a "
     "sensor changed mid-file",
     "convert the values after the jump, or keep the part of the file before it"},
    {Rule::chain_values, "chain_values", of_inventory, E, "a chain that is not a chain",
     "write vegetative or reproductive"},
    {Rule::population, "population", of_inventory, E,
     "a population missing, not a number or negative", "write a count of 0 or more"},
    {Rule::age_weeks, "age_weeks", of_inventory, E,
     "an age missing, not whole weeks or negative", "write a whole number of weeks"},
    {Rule::duplicate_tag_date, "duplicate_tag_date", of_production, E, "two rows of one tag and date",
     "keep one row per tag and date"},
    {Rule::duplicate_date, "duplicate_date", of_selection, E, "two rows of one date",
     "keep one row per date"},
    {Rule::negative_count, "negative_count", of_production | of_selection, E, "a negative count",
     "write a count of 0 or more"},
    {Rule::incomplete_harvest, "incomplete_harvest", of_production, E, "a cut without an age at cut",
     "write the age at cut"},
    {Rule::cut_balance, "cut_balance", of_production, E, "a cut that is not processed + rejected",
     "correct the counts"},
    {Rule::same_week, "same_week", of_production | of_selection, W,
     "the same counts again in one model week: the later row is kept",
     "delete the repeated row"},
    {Rule::weekly_rows, "weekly_rows", of_production | of_selection, E,
     "rows of one model week with different counts: the model keeps the later row only",
     "keep one row a week, its counts added up"},
    {Rule::empty_counts, "empty_counts", of_production | of_selection, E,
     "a row with no count at all", "write the row's counts, or delete the row"},
};

static_assert(std::size(catalogue) == size_t(Rule::count), "one catalogue row per rule");

constexpr bool in_order() {
    for (size_t i = 0; i < std::size(catalogue); ++i)
        if (size_t(catalogue[i].rule) != i)
            return false;
    return true;
}
static_assert(in_order(), "the catalogue's rows in the order of their rules");

const RuleRow &row_of(Rule rule) { return catalogue[size_t(rule)]; }

bool rule_named(const char *name, Rule &rule) {
    for (const RuleRow &row : catalogue)
        if (std::strcmp(row.name, name) == 0) {
            rule = row.rule;
            return true;
        }
    return false;
}

const char *role_name(Role role) {
    static const char *const names[] = {"parameters", "management", "weather",
                                        "inventory",  "production", "selection"};
    return names[size_t(role)];
}

}  // namespace farm
