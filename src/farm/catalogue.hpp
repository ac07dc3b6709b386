// The farm check's rules: one enumerator and one catalogue row each.
//
// A finding carries its rule; its name, the files it is about, its severity
// and the general advice come from the rule's row, never from the text of a
// message.  Errors are what would give the model a wrong input (a wrong or
// ambiguous date reading, missing weeks of weather, impossible values and
// units, stacked or sub-daily rows, a farm.yaml that does not say what the
// files hold); warnings are what the model survives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace farm {

// The files of a farm, in the order they are read and reported.
enum class Role : uint8_t { parameters, management, weather, inventory, production, selection };
constexpr size_t role_count = 6;

// What a rule is about: bits of the roles, and the folder itself.
enum Kinds : uint16_t {
    of_parameters = 1u << 0,
    of_management = 1u << 1,
    of_weather = 1u << 2,
    of_inventory = 1u << 3,
    of_production = 1u << 4,
    of_selection = 1u << 5,
    of_folder = 1u << 6,  // the folder and farm.yaml
    of_dated = of_weather | of_production | of_selection,
    of_records = of_weather | of_inventory | of_production | of_selection,
};

enum class Severity : uint8_t { error, warning };

enum class Rule : uint8_t {
    // the folder and farm.yaml
    not_a_folder, farm_yaml, farm_yaml_key, farm_yaml_value, outside_folder, not_a_file,
    missing_file,
    several_files, unmapped_column, column_mapped_twice,
    // parameters and management
    parameters, parameter_range, management, unknown_key,
    // loading a record file
    load, skipped_lines, encoding, required_columns,
    // dates
    date_parse, mixed_day_month, ambiguous_dates, weather_period,
    // the weather
    empty_signal, non_numeric_signal, missing_marker, implausible_value, temperature_units,
    not_a_temperature, negative_heat_units, min_max, stacked_rows, duplicate_row, sub_daily,
    unsorted_dates, not_daily, missing_week, missing_days,
    // the weather's quality, as the climate archives check it
    streak, spike, outlier, copied_block, step,
    // inventory
    chain_values, population, age_weeks,
    // production and selection
    duplicate_tag_date, duplicate_date, negative_count, incomplete_harvest, cut_balance,
    same_week, weekly_rows, empty_counts,
    count
};

struct RuleRow {
    Rule rule;
    const char *name;
    uint16_t kinds;
    Severity severity;
    const char *title;  // what the rule finds, in a few words
    const char *hint;   // what to do about it
    // Whether farm.yaml's checks: severity may set its severity (or turn it
    // off): never for a rule whose finding would give the model a wrong input.
    bool adjustable = false;
};

extern const RuleRow catalogue[];

const RuleRow &row_of(Rule rule);
// The rule of a name (a reader's failure); false when there is none.
bool rule_named(const char *name, Rule &rule);

const char *role_name(Role role);

}  // namespace farm
