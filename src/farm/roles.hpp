// The files of a farm, one row each: what farm.yaml calls it and the stem
// of its file, the reader that checks it and the columns farm.yaml may map,
// the data class built from it, what the model goes without when it is
// absent, the chart that draws it.  Adding a record file is its checked-file
// function, its bindings and one row here.
#pragma once

#include "records/catalogue.hpp"
#include "records/files/checked.hpp"
#include "records/files/inventory.hpp"
#include "records/files/production.hpp"
#include "records/files/selection.hpp"
#include "records/files/weather.hpp"
#include "records/rules.hpp"

#include <cstddef>
#include <cstdint>

namespace farm {

namespace nb = nanobind;

using records::Rule;
using records::RuleRow;
using records::Severity;
using records::catalogue;
using records::row_of;
using records::rule_named;
using records::title_of;

// The files of a farm, in the order they are read and reported.
enum class Role : uint8_t { parameters, management, weather, inventory, production, selection };
constexpr size_t role_count = 6;

struct State;
class FarmCheck;

// A record file through its reader's rules: the check's state, the path as
// text, the farm's labels of the reader's columns (what the reader takes),
// whether its dates are written day first, and what farm.yaml declares.
using CheckFile = records::CheckedFile (*)(State &s, nb::handle path, nb::handle columns,
                                           bool dayfirst, const records::Declarations &declared);

records::CheckedFile check_weather_role(State &, nb::handle, nb::handle, bool,
                                        const records::Declarations &);
records::CheckedFile check_inventory_role(State &, nb::handle, nb::handle, bool,
                                          const records::Declarations &);
records::CheckedFile check_production_role(State &, nb::handle, nb::handle, bool,
                                           const records::Declarations &);
records::CheckedFile check_selection_role(State &, nb::handle, nb::handle, bool,
                                          const records::Declarations &);

// The names a record file's reader steps look up, published into a
// namespace of the check's own (the reader module publishes the same).
using PublishNames = void (*)(const records::Publish &);

struct RoleRow {
    Role role;
    const char *name;          // farm.yaml's key and the stem of the file
    uint16_t bit;              // the file among a rule's files (records::files)
    const char *suffix;        // of the file in farm.yaml's examples
    // A record file (a table); the YAML files have none of what follows.
    CheckFile check;
    PublishNames publish;
    const char *columns[9];    // the reader's columns: what columns: may map
    const char *reader;        // the reader's module
    const char *data_class;    // the data class built from it with the weather, or none
    bool by_tag;               // its rows are keyed by tag as well as by week
    const char *week_rows;     // what rows of one model week are, in messages
    bool required;             // an absent file is an error, not a notice
    const char *absent;        // what the model goes without when it is absent
    const char *chart;         // the report's chart that draws it, or none
    bool record() const { return check != nullptr; }
};

namespace role_table {
using namespace records::files;
using records::publish_inventory_names;
using records::publish_production_names;
using records::publish_selection_names;
using records::publish_weather_names;

inline constexpr RoleRow roles[] = {
    {Role::parameters, "parameters", parameters, ".yaml", nullptr, nullptr, {}, nullptr, nullptr,
     false, nullptr, false, "; the parameter set shipped with py_zelka is used", "parameters"},
    {Role::management, "management", management, ".yaml", nullptr, nullptr, {}, nullptr, nullptr,
     false, nullptr, false, "; no replacement suckers are scheduled", nullptr},
    {Role::weather, "weather", weather, ".csv", &check_weather_role, &publish_weather_names,
     {"date", "tmean", "heat_units", "tmin", "tmax"}, "py_zelka.readers.climate_reader", nullptr,
     false, nullptr, true, nullptr, "weather"},
    {Role::inventory, "inventory", inventory, ".csv", &check_inventory_role, &publish_inventory_names,
     {"chain", "population", "age_weeks", "tag"}, "py_zelka.readers.inventory_reader", nullptr,
     false, nullptr, false, "; the model starts without a population inventory", nullptr},
    {Role::production, "production", production, ".csv", &check_production_role,
     &publish_production_names,
     {"tag", "date", "bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"},
     "py_zelka.readers.harvest_tag_reader", "RibbonProductionData", true, "rows of one tag", false,
     "; no harvest records are compared with the model", "production"},
    {Role::selection, "selection", selection, ".csv", &check_selection_role, &publish_selection_names,
     {"date", "parous_count", "nulliparous_count"}, "py_zelka.readers.follower_choice_reader",
     "SuckerSelectionData", false, "selection dates", false,
     "; no sucker selection records are compared with the model", nullptr},
};

constexpr bool in_order() {
    for (size_t k = 0; k < sizeof(roles) / sizeof(roles[0]); ++k)
        if (size_t(roles[k].role) != k || roles[k].bit != (1u << k))
            return false;
    return true;
}
static_assert(sizeof(roles) / sizeof(roles[0]) == role_count, "one row per file of a farm");
static_assert(in_order(), "the rows in the order of the roles, each with its own bit");
}  // namespace role_table

using role_table::roles;

inline const RoleRow &row_of(Role role) { return roles[size_t(role)]; }
inline const char *role_name(Role role) { return row_of(role).name; }

}  // namespace farm
