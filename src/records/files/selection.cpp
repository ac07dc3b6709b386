#include "records/files/selection.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
#include "records/rows.hpp"

namespace records {

nb::object run_selection(ReaderState &s, nb::handle path, Checks &checks, Options *options,
                         nb::object &loaded) {
    nb::object error_cls = s.global("SuckerSelectionError");

    // 1-2. Load and check the required columns.
    nb::object table = load_for(checks, options, s.global("_read_table"), path,
                                         nb::handle());
    loaded = table;
    nb::list present = require_columns_rule(
        checks, s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"),
        host::text("sucker-selection file ", host::Repr{path}), error_cls);
    auto has = [&](const char *label) {
        return !checks.collecting() || host::contains(present, nb::str(label));
    };

    // 3. Dates (the loaded table keeps its cells).
    nb::object dates;
    if (has("date")) {
        dates = date_rule(s, checks, options, table, path, error_cls, "");

        // 4. One record per date, compared as loaded.
        Rows duplicated = duplicate_rows(s.pd, table, {"date"});
        if (!duplicated.empty())
            checks.fail({Rule::duplicate_date, nb::str("date"), duplicated,
                         host::text("duplicate 'date' rows at index ",
                                    row_list(table, duplicated), " in ",
                                    host::Repr{path},
                                    "; expected at most one farm-wide record per date"),
                         error_cls, nb::object()});
    }

    // 5-6. Counts, both converted before either is checked.
    const char *const names[2] = {"parous_count", "nulliparous_count"};
    nb::object counts[2];
    for (size_t k = 0; k < 2; ++k)
        if (has(names[k]))
            counts[k] = to_numeric(s.pd, column(s.pd, table, nb::str(names[k])));
    for (size_t k = 0; k < 2; ++k)
        if (counts[k].is_valid())
            counts_rule(checks, error_cls, table, nb::str(names[k]),
                                 Float64Values(s.pd, counts[k]), path);
    if (!dates.is_valid() || checks.count() > 0)
        return nb::object();

    // 7-8. The result: a missing side of the total counts as 0.
    nb::object total = counts[0].attr("add")(counts[1], nb::arg("fill_value") = 0.0);
    return frame(s.pd, {{"date", calendar_dates(s.pd, dates)},
                                 {"parous", counts[0]},
                                 {"nulliparous", counts[1]},
                                 {"total", total}});
}

void publish_selection_names(const Publish &put) {
    publish_common_names(put, "SuckerSelectionError", false);
    put("_REQUIRED_COLUMNS", nb::make_tuple("date", "parous_count", "nulliparous_count"));
}

CheckedFile check_selection_file(ReaderState &s, nb::handle path, nb::handle columns,
                                 bool dayfirst, const Declarations &declared) {
    Checks checks = Checks::every_failure();
    Options options = options_of(columns, nb::bool_(dayfirst));
    options.declared = declared;
    nb::object loaded;
    nb::object data = run_selection(s, path, checks, &options, loaded);
    return checked_file(s, checks, data, loaded, options);
}

}  // namespace records
