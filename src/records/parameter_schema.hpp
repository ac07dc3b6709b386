// The schema of a parameter file, as one table: its sections in order (with
// the annotation of the ParameterSet field that holds each), and every key
// with its section and what its value means.  The parameters module derives
// _SECTIONS, _KNOWN_KEYS and the fields of ParameterSet from it; the farm
// check derives its value warnings from the meanings.
#pragma once

#include <cstddef>
#include <cstring>

namespace schema {

struct Section {
    const char *name;
    const char *annotation;  // of the ParameterSet field
};

// What a value must be to mean something to the model (the farm check warns
// about values outside it; loading a set does not check it).
enum class Meaning {
    any,           // no range of its own
    non_negative,  // a dispersion amplitude or spread: >= 0
    positive,      // a peak week: > 0
    rate,          // a rate: in [0, 1]
    shares,        // a table of shares of a cohort: summing to at most 1 (under rate_basis cohort)
};

struct Key {
    const char *section;
    const char *name;
    Meaning meaning;
};

inline constexpr Section sections[] = {
    {"general", "Mapping[str, Any]"},
    {"flowering", "Mapping[str, float]"},
    {"sucker_selection", "Mapping[str, float]"},
    {"harvest", "Mapping[str, Any]"},
    {"mortality_replacement", "Mapping[str, float]"},
};

inline constexpr Key keys[] = {
    {"general", "base_temperature_c", Meaning::any},
    {"general", "week_length_days", Meaning::any},
    {"general", "population_epsilon", Meaning::any},
    {"general", "max_age_weeks_vegetative", Meaning::any},
    {"general", "max_age_weeks_reproductive", Meaning::any},
    {"general", "rate_basis", Meaning::any},
    {"flowering", "threshold_dd", Meaning::any},
    {"flowering", "amplitude", Meaning::non_negative},
    {"flowering", "peak_weeks", Meaning::positive},
    {"flowering", "spread", Meaning::non_negative},
    {"sucker_selection", "threshold_dd", Meaning::any},
    {"sucker_selection", "amplitude", Meaning::non_negative},
    {"sucker_selection", "peak_weeks", Meaning::positive},
    {"sucker_selection", "spread", Meaning::non_negative},
    {"sucker_selection", "carrying_capacity", Meaning::any},
    {"harvest", "threshold_dd", Meaning::any},
    {"harvest", "hazard_weeks", Meaning::shares},
    {"mortality_replacement", "death_rate_vegetative", Meaning::rate},
    {"mortality_replacement", "death_rate_reproductive", Meaning::rate},
    {"mortality_replacement", "replacement_rate", Meaning::rate},
};

// The allowed values of general.rate_basis, in order.
inline constexpr const char *rate_bases[] = {"cohort", "current_pool"};

constexpr bool same(const char *a, const char *b) {
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

constexpr bool every_key_in_a_section() {
    for (const Key &key : keys) {
        bool found = false;
        for (const Section &section : sections)
            found = found || same(key.section, section.name);
        if (!found)
            return false;
    }
    return true;
}
static_assert(every_key_in_a_section(), "a key of the schema names no section of it");

}  // namespace schema
