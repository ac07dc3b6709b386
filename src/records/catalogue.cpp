#include "records/catalogue.hpp"

#include <cmath>
#include <cstdio>

namespace records {

namespace {

constexpr bool in_order() {
    for (size_t i = 0; i < size_t(Rule::count); ++i)
        if (size_t(catalogue[i].rule) != i)
            return false;
    return true;
}
static_assert(in_order(), "the catalogue's rows in the order of their rules");

std::string number(double v) {
    char out[32];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(out, sizeof out, "%lld", (long long) v);
    else
        std::snprintf(out, sizeof out, "%g", v);
    return out;
}

// A limit of the weather's checks by its name in a title.
bool limit(const std::string &name, std::string &out) {
    const struct {
        const char *name;
        double value;
    } named[] = {
        {"low", limits.low},
        {"high", limits.high},
        {"streak_days", (double) limits.streak_days},
        {"spike_c", limits.spike_c},
        {"step_c", limits.step_c},
        {"step_days", (double) limits.step_days},
        {"outlier_sd", limits.outlier_sd},
        {"outlier_values", (double) limits.outlier_values},
        {"copied_days", (double) limits.copied_days},
    };
    for (const auto &entry : named)
        if (name == entry.name) {
            out = number(entry.value);
            return true;
        }
    return false;
}

}  // namespace

bool rule_named(const std::string &name, Rule &rule) {
    for (const RuleRow &row : catalogue)
        if (name == row.name) {
            rule = row.rule;
            return true;
        }
    return false;
}

std::string title_of(Rule rule) {
    std::string title = row_of(rule).title, out;
    for (size_t at = 0; at < title.size();) {
        size_t open = title.find('{', at), close = title.find('}', open);
        std::string value;
        if (open == std::string::npos || close == std::string::npos ||
            !limit(title.substr(open + 1, close - open - 1), value)) {
            out += title.substr(at);
            break;
        }
        out += title.substr(at, open - at) + value;
        at = close + 1;
    }
    return out;
}

}  // namespace records
