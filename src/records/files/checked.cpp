#include "records/files/checked.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"

namespace records {

void publish_common_names(const Publish &put, const char *error, bool normalize_tag,
                          bool notices) {
    put(error, host::from_import("py_zelka.exceptions", error));
    if (notices)
        for (const char *name : {"Notice", "NoticeKind"})
            put(name, host::from_import("py_zelka.notices", name));
    for (const char *name : {"NoticeLog", "ReadResult"})
        put(name, host::from_import("py_zelka.notices", name));
    nb::object common = host::import("py_zelka.readers._common");
    if (normalize_tag)
        put("_normalize_tag", common.attr("_normalize_tag"));
    for (const char *name : {"_read_table", "_require_columns"})
        put(name, common.attr(name));
}

nb::object date_rule(ReaderState &s, Checks &checks, Options *options, nb::handle table,
                     nb::handle path, nb::handle error_cls, const char *hint) {
    nb::object options_dict;
    if (options && options->dayfirst) {
        nb::dict dayfirst;
        dayfirst["dayfirst"] = true;
        options_dict = dayfirst;
    }
    nb::object cells = column(s.pd, table, nb::str("date"));
    nb::object dates =
        dates_rule(checks, s.pd, cells, nb::str("date"), path, error_cls, hint, options_dict);
    if (options)  // each row's date, those the parser cannot read missing
        options->dates = calendar_dates(
            s.pd, dates.is_valid() ? dates : coerced_dates(s.pd, cells, options_dict));
    return dates;
}

CheckedFile checked_file(ReaderState &s, Checks &checks, nb::handle data, nb::handle table,
                         Options &options, nb::handle notices) {
    CheckedFile out;
    out.data = data.is_valid() ? nb::borrow(data) : nb::object();
    out.notices = notices.is_valid() ? nb::borrow(notices) : s.global("NoticeLog")();
    out.table = table.is_valid() && !table.is_none() ? nb::borrow(table) : nb::object();
    out.source = options.source;
    out.labels = options.labels;
    out.failures = checks.failures();
    out.dates = options.dates;
    out.tags = options.tags;
    return out;
}

}  // namespace records
