#include "records/files/production.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
#include "records/rows.hpp"
#include "records/tags.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace records {

namespace {

const char *const date_hint =
    "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label";

const char *const extension_tail =
    "; this is a non-paper extension with no Kessot equation to estimate it from, so it "
    "will simply not be modeled (treated as absent, not zero).";

// The converted count columns of a read, by name, as the reader's `numeric`
// dict holds them.
class Counts {
  public:
    struct Column {
        nb::object name;
        nb::object series;
        std::unique_ptr<Float64Values> values;
    };

    void add(const Pandas &pd, nb::handle name, nb::object series) {
        columns_.push_back({nb::borrow(name), series,
                            std::make_unique<Float64Values>(pd, series)});
    }
    // `numeric[name]`: KeyError when the name was not among the columns.
    const Column &operator[](const char *name) const {
        nb::str key(name);
        for (const Column &column : columns_)
            if (column.name.equal(key))
                return column;
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    const std::vector<Column> &all() const { return columns_; }

  private:
    std::vector<Column> columns_;
};

// One value of the cut balance, in the type the column holds: numpy's int64
// or float64 arithmetic, as pandas computes `cut - (processed + rejected)`.
struct Exact {
    bool whole;
    long long i;
    double d;

    double as_double() const { return whole ? (double) i : d; }
    // int64 with int64 stays int64 (wrapping, as numpy does); anything with a
    // float64 is float64.
    friend Exact operator+(const Exact &a, const Exact &b) {
        if (a.whole && b.whole)
            return {true, (long long) ((unsigned long long) a.i + (unsigned long long) b.i), 0.0};
        return {false, 0, a.as_double() + b.as_double()};
    }
    friend Exact operator-(const Exact &a, const Exact &b) {
        if (a.whole && b.whole)
            return {true, (long long) ((unsigned long long) a.i - (unsigned long long) b.i), 0.0};
        return {false, 0, a.as_double() - b.as_double()};
    }
    Exact abs() const {
        if (whole)  // numpy's absolute of the least int64 is itself
            return {true, i == LLONG_MIN ? i : (i < 0 ? -i : i), 0.0};
        return {false, 0, std::fabs(d)};
    }
};

// A count column read in its own type, when that is int64 or float64.
class ExactColumn {
  public:
    bool open(const Pandas &pd, nb::handle series) {
        std::string dtype = dtype_name(series);
        if (dtype == "int64")
            ints_ = std::make_unique<Int64Values>(series);
        else if (dtype == "float64")
            floats_ = std::make_unique<Float64Values>(pd, series);
        else
            return false;
        return true;
    }
    size_t size() const { return ints_ ? ints_->size() : floats_->size(); }
    bool missing(size_t row) const { return !ints_ && std::isnan((*floats_)[row]); }
    Exact operator[](size_t row) const {
        if (ints_)
            return {true, (*ints_)[row], 0.0};
        return {false, 0, (*floats_)[row]};
    }

  private:
    std::unique_ptr<Int64Values> ints_;
    std::unique_ptr<Float64Values> floats_;
};

// The rows where processed and rejected are present and
// `(cut.fillna(0.0) - (processed + rejected)).abs() > 1e-06`, computed in the
// columns' own types.
Rows unbalanced_rows(const Pandas &pd, const Counts::Column &cut,
                              const Counts::Column &processed, const Counts::Column &rejected) {
    ExactColumn c, p, r;
    if (c.open(pd, cut.series) && p.open(pd, processed.series) && r.open(pd, rejected.series)) {
        size_t n = c.size();
        require_rows("processed", p.size(), "cut", n);
        require_rows("rejected", r.size(), "cut", n);
        return rows_where(n, [&](size_t i) {
            if (p.missing(i) || r.missing(i))
                return false;
            Exact filled = c.missing(i) ? Exact{false, 0, 0.0} : c[i];
            Exact difference = (filled - (p[i] + r[i])).abs();
            return difference.as_double() > 1e-06;
        });
    }
    // Other dtypes (float32, nullable, unsigned, ...): pandas' own expression.
    nb::object filled = cut.series.attr("fillna")(0.0);
    nb::object total = processed.series + rejected.series;
    nb::object difference = (filled - total).attr("abs")();
    nb::object mask = processed.series.attr("notna")() & rejected.series.attr("notna")() &
                      difference.attr("__gt__")(1e-06);
    return true_rows(pd, mask);
}

}  // namespace

ProductionRead run_production(ReaderState &s, nb::handle path, Checks &checks,
                              Options *options) {
    ProductionRead out;
    nb::object error_cls = s.global("RibbonDataError");

    // 1-2. Load and check the required columns.
    nb::object table = load_for(checks, options, s.global("_read_table"), path,
                                         nb::make_tuple("tag"));
    out.table = table;
    nb::list present = require_columns_rule(
        checks, s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"),
        host::text("production file ", host::Repr{path}), error_cls);
    // What a rule needs is there: always when reading (a missing column is
    // the host's KeyError there), when the file has it when checking.
    auto has = [&](const char *label) {
        return !checks.collecting() || host::contains(present, nb::str(label));
    };

    // 3. Canonical tags.
    if (has("tag")) {
        nb::object loaded_tags = column(s.pd, table, nb::str("tag"));
        nb::object tags = map_tags(s.pd, loaded_tags, s.global("_normalize_tag"),
                                            s.own_normalize_tag);
        if (!tags.is(loaded_tags))
            table = table.attr("assign")(nb::arg("tag").none() = tags);
    }

    // 4-5. One notice per absent extension column.
    out.notices = s.global("NoticeLog")();
    nb::object notice_cls = s.global("Notice");
    nb::object feature_disabled = s.global("NoticeKind").attr("FEATURE_DISABLED");
    for (nb::handle label : s.global("_EXTENSION_COLUMNS")) {
        if (has_column(table, label))
            continue;
        nb::str message = host::text(host::Repr{label}, " column not present in ",
                                     host::Repr{path}, extension_tail);
        out.notices.attr("append")(notice_cls(nb::arg("kind") = feature_disabled,
                                              nb::arg("subject") = label,
                                              nb::arg("message") = message,
                                              nb::arg("source") = "HarvestTagReader"));
    }

    // 6. Dates.
    nb::object dates;
    if (has("date")) {
        dates = date_rule(s, checks, options, table, path, error_cls, date_hint);
        if (options && has("tag"))  // for the farm's checks of weeks
            options->tags = column(s.pd, table, nb::str("tag"));
    }

    // 7. Duplicate (tag, date) rows, on the date cells as loaded.
    if (has("tag") && has("date")) {
        Rows duplicated = duplicate_rows(s.pd, table, {"tag", "date"});
        if (!duplicated.empty())
            checks.fail({Rule::duplicate_tag_date, nb::str("date"), duplicated,
                         host::text("duplicate (tag, date) rows at index ",
                                    row_list(table, duplicated), " in ", host::Repr{path},
                                    "; expected at most one row per ribbon tag per date"),
                         error_cls, nb::object()});
    }

    // 8. Counts, checked for negative values column by column; an absent
    // column is all missing.
    Counts numeric;
    for (nb::handle label : s.global("_NUMERIC_COLUMNS")) {
        if (!has_column(table, label)) {
            numeric.add(s.pd, label, nan_column(s.pd, table.attr("index")));
            continue;
        }
        numeric.add(s.pd, label, to_numeric(s.pd, column(s.pd, table, label)));
        counts_rule(checks, error_cls, table, label, *numeric.all().back().values, path);
    }

    // 9. A missing cut counts as 0.
    const Float64Values &cut_values = *numeric["cut"].values;
    auto cut = [&](size_t i) {
        double c = cut_values[i];
        return std::isnan(c) ? 0.0 : c;
    };
    size_t n = cut_values.size();

    // 10. Incomplete harvest records.
    if (has("cut") && has("age_at_cut")) {
        const Float64Values &age = *numeric["age_at_cut"].values;
        require_rows("age_at_cut", age.size(), "cut", n);
        Rows incomplete =
            rows_where(n, [&](size_t i) { return cut(i) > 0.0 && std::isnan(age[i]); });
        if (!incomplete.empty())
            checks.fail({Rule::incomplete_harvest, nb::str("age_at_cut"), incomplete,
                         host::text("'age_at_cut' is missing on row(s) ",
                                    row_list(table, incomplete), " where 'cut' > 0 in ",
                                    host::Repr{path}, " -- an incomplete harvest record"),
                         error_cls, nb::object()});
    }

    // 11. Cut balance, when the file has both halves of it.
    if (has("cut") && has_column(table, nb::str("processed")) &&
        has_column(table, nb::str("rejected"))) {
        Rows unbalanced = unbalanced_rows(s.pd, numeric["cut"], numeric["processed"],
                                                   numeric["rejected"]);
        if (!unbalanced.empty())
            checks.fail({Rule::cut_balance, nb::str("cut"), unbalanced,
                         host::text("'cut' != 'processed' + 'rejected' on row(s) ",
                                    row_list(table, unbalanced), " in ",
                                    host::Repr{path}),
                         error_cls, nb::object()});
    }

    // 12-13. The result (in a check, only of a file that passed).
    if (!dates.is_valid() || checks.count() > 0)
        return out;
    nb::dict columns;
    columns["tag"] = column(s.pd, table, nb::str("tag"));
    columns["date"] = calendar_dates(s.pd, dates);
    for (const Counts::Column &column : numeric.all())
        columns[column.name] = column.series;
    // Reading, the loaded table is dropped: the data takes its columns as
    // they are (a check hands out both, each with columns of its own).
    out.data = options ? s.pd.data_frame.get()(columns)
                       : s.pd.data_frame.get()(columns, nb::arg("copy") = false);
    return out;
}

void publish_production_names(const Publish &put) {
    publish_common_names(put, "RibbonDataError", true, true);
    put("_REQUIRED_COLUMNS", nb::make_tuple("tag", "date", "bagged", "cut", "age_at_cut"));
    put("_EXTENSION_COLUMNS", nb::make_tuple("field_losses", "rejected", "processed"));
    put("_NUMERIC_COLUMNS", nb::make_tuple("bagged", "cut", "age_at_cut", "field_losses",
                                           "rejected", "processed"));
}

CheckedFile check_production_file(ReaderState &s, nb::handle path, nb::handle columns,
                                  bool dayfirst, const Declarations &declared) {
    Checks checks = Checks::every_failure();
    Options options = options_of(columns, nb::bool_(dayfirst));
    options.declared = declared;
    ProductionRead read = run_production(s, path, checks, &options);
    return checked_file(s, checks, read.data, read.table, options, read.notices);
}

}  // namespace records
