// The daily mean temperature checked as the large climate archives check
// theirs (GHCN-Daily, ECA&D), with the tests one station's daily mean
// supports: a value stuck for weeks (streak), a day far from both its
// neighbours (spike), a value far from its calendar month (outlier), a run
// that repeats another run of the file (copied_block), a jump that holds
// (step).  Thresholds from farm.yaml's checks:; days without a value break
// every run.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/dates.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

namespace farm {

using host::utf8;

namespace {

nb::str days_text(long long first, long long last) {
    return host::text(day_text(first), " to ", day_text(last));
}

// A value as the report shows it: one decimal.
nb::object shown(double v) { return host::repr(nb::float_(std::round(v * 10.0) / 10.0)); }

uint64_t bits(double v) {
    uint64_t out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

const char *const month_names[] = {"January", "February", "March",     "April",
                                   "May",     "June",     "July",      "August",
                                   "September", "October", "November", "December"};

}  // namespace

void FarmCheck::weather_quality(const RecordFile &records, const WeatherSeries &series,
                                nb::handle date_label) {
    // The days with a value, in date order: day, value, row.
    struct Day {
        long long day;
        double value;
        size_t row;
    };
    std::map<long long, Day> by_day;
    for (size_t k = 0; k < series.days.size(); ++k)
        if (series.days[k] != 0 && series.usable[k] && !std::isnan(series.values[k]) &&
            !(k < series.flagged.size() && series.flagged[k]))
            by_day.emplace(series.days[k], Day{series.days[k], series.values[k], series.rows[k]});
    std::vector<Day> days;
    for (const auto &[day, entry] : by_day)
        days.push_back(entry);
    size_t n = days.size();
    if (n < 3)
        return;
    nb::object file = records.file;
    auto line = [&](size_t k) { return records.line_at(days[k].row); };
    auto next_day = [&](size_t k) { return k + 1 < n && days[k + 1].day == days[k].day + 1; };
    const Thresholds &t = thresholds_;

    // Streaks: the same value on streak_days days in a row or more.
    for (size_t k = 0; k < n;) {
        size_t j = k;
        while (next_day(j) && days[j + 1].value == days[k].value)
            ++j;
        size_t length = j - k + 1;
        if ((long) length >= t.streak_days)
            add(file, line(k), date_label, shown(days[k].value), Rule::streak,
                host::text(std::to_string(length), " days in a row hold ",
                           host::Str{shown(days[k].value)}, " (", days_text(days[k].day, days[j].day),
                           ", lines ", host::Str{line(k)}, "-", host::Str{line(j)},
                           "): a stuck sensor, or a block filled with one value?"));
        k = j + 1;
    }

    // Spikes: a day more than spike_c from both its neighbours, on one side.
    for (size_t k = 1; k + 1 < n; ++k) {
        if (days[k - 1].day + 1 != days[k].day || !next_day(k))
            continue;
        double before = days[k].value - days[k - 1].value, after = days[k].value - days[k + 1].value;
        bool up = before > t.spike_c && after > t.spike_c;
        bool down = before < -t.spike_c && after < -t.spike_c;
        if (!up && !down)
            continue;
        add(file, line(k), date_label, shown(days[k].value), Rule::spike,
            host::text(host::Str{shown(days[k].value)}, " on ", day_text(days[k].day), " is ",
                       host::Str{shown(std::fabs(before))}, up ? " degrees above" : " degrees below",
                       " the day before (", host::Str{shown(days[k - 1].value)}, ") and ",
                       host::Str{shown(std::fabs(after))}, up ? " above" : " below",
                       " the day after (", host::Str{shown(days[k + 1].value)},
                       "): a typo, or a lost sign?"));
    }

    // Outliers: far from the mean of the calendar month over the whole file,
    // the value itself left out of the mean and the spread it is measured by.
    std::vector<int> month(n);
    double sum[12] = {0}, squares[12] = {0};
    size_t count[12] = {0};
    for (size_t k = 0; k < n; ++k) {
        month[k] = (int) records::civil_from_days(days[k].day - records::epoch_ordinal).month - 1;
        sum[month[k]] += days[k].value;
        squares[month[k]] += days[k].value * days[k].value;
        ++count[month[k]];
    }
    for (size_t k = 0; k < n; ++k) {
        int m = month[k];
        if ((long) count[m] < t.outlier_values)
            continue;
        double v = days[k].value, others = (double) (count[m] - 1);
        double mean = (sum[m] - v) / others;
        double variance = (squares[m] - v * v - others * mean * mean) / (others - 1.0);
        if (!(variance > 0.0))
            continue;
        double z = (v - mean) / std::sqrt(variance);
        if (std::fabs(z) <= t.outlier_sd)
            continue;
        add(file, line(k), date_label, shown(v), Rule::outlier,
            host::text(host::Str{shown(v)}, " on ", day_text(days[k].day), " is ",
                       host::Str{shown(std::fabs(z))}, " standard deviations ",
                       z > 0 ? "above" : "below", " the mean of ", month_names[m],
                       " in the file (", host::Str{shown(mean)}, " over the other ",
                       std::to_string(count[m] - 1), " days)"));
    }

    // Copied blocks: copied_days days in a row whose values repeat another
    // run of the file exactly, one value for one (not one value throughout:
    // that is a streak).
    size_t width = (size_t) t.copied_days;
    if (n >= 2 * width) {
        // Where each run of consecutive days with a window of `width` starts.
        std::vector<size_t> run(n, 0);  // the length of consecutive days ending at k
        for (size_t k = 0; k < n; ++k)
            run[k] = k > 0 && days[k - 1].day + 1 == days[k].day ? run[k - 1] + 1 : 1;
        const uint64_t base = 1099511628211ull;
        uint64_t power = 1;
        for (size_t i = 0; i < width; ++i)
            power *= base;
        std::unordered_multimap<uint64_t, size_t> seen;  // hash -> window end
        uint64_t hash = 0;
        size_t skip_to = 0;
        for (size_t k = 0; k < n; ++k) {
            hash = hash * base + bits(days[k].value);
            if (k >= width)
                hash -= power * bits(days[k - width].value);
            if (run[k] < width)
                continue;
            size_t first = k + 1 - width;
            bool constant = true;
            for (size_t i = first + 1; i <= k && constant; ++i)
                constant = days[i].value == days[first].value;
            if (constant)
                continue;
            bool reported = false;
            auto range = seen.equal_range(hash);
            for (auto it = range.first; it != range.second && !reported && k >= skip_to; ++it) {
                size_t other_end = it->second, other = other_end + 1 - width;
                if (other_end >= first)
                    continue;  // overlapping: no other run
                bool equal = true;
                for (size_t i = 0; i < width && equal; ++i)
                    equal = days[other + i].value == days[first + i].value;
                if (!equal)
                    continue;
                // As far as the two runs go on alike.
                size_t length = width;
                while (k + (length - width) + 1 < n && other_end + (length - width) + 1 < first &&
                       next_day(k + (length - width)) && next_day(other_end + (length - width)) &&
                       days[k + length - width + 1].value == days[other_end + length - width + 1].value)
                    ++length;
                size_t last = first + length - 1, other_last = other + length - 1;
                add(file, line(first), date_label, nb::none(), Rule::copied_block,
                    host::text(std::to_string(length), " days (", days_text(days[first].day, days[last].day),
                               ", lines ", host::Str{line(first)}, "-", host::Str{line(last)},
                               ") repeat ", days_text(days[other].day, days[other_last].day),
                               " (lines ", host::Str{line(other)}, "-", host::Str{line(other_last)},
                               ") value for value: a block pasted twice?"));
                skip_to = last + 1;
                reported = true;
            }
            seen.emplace(hash, k);
        }
    }

    // Steps: a change of more than step_c from one day to the next that
    // holds: the step_days after it differ from the step_days before it by
    // more than step_c on average.
    size_t span = (size_t) t.step_days;
    for (size_t k = span; k + span <= n; ++k) {
        if (days[k - span].day + (long long) (2 * span) - 1 != days[k + span - 1].day)
            continue;  // not 2 * span days in a row
        double jump = days[k].value - days[k - 1].value;
        if (std::fabs(jump) <= t.step_c)
            continue;
        double before = 0.0, after = 0.0;
        for (size_t i = 0; i < span; ++i) {
            before += days[k - span + i].value;
            after += days[k + i].value;
        }
        before /= (double) span;
        after /= (double) span;
        if (std::fabs(after - before) <= t.step_c || (after - before) * jump < 0)
            continue;
        add(file, line(k), date_label, shown(days[k].value), Rule::step,
            host::text("from ", day_text(days[k].day), " on the values are ",
                       host::Str{shown(std::fabs(after - before))}, " degrees ",
                       after > before ? "above" : "below", " the week before (its mean ",
                       host::Str{shown(before)}, ", then ", host::Str{shown(after)},
                       "): a unit or a sensor changed mid-file?"));
        k += span - 1;
    }
}

}  // namespace farm
