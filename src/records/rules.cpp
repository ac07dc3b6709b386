#include "records/rules.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"

#include <cmath>

namespace records {

void Checks::fail(Failure failure) {
    if (!collect_) {
        if (failure.cause.is_valid())
            host::raise_from(failure.error_cls, failure.message, failure.cause);
        host::raise(failure.error_cls, failure.message);
    }
    failures_.push_back(std::move(failure));
}

namespace {

// The file's label of one of our columns, under the farm's renames.
nb::object file_label(const Options &options, nb::handle ours) {
    if (options.renames.is_valid())
        for (auto [file, mine] : nb::borrow<nb::dict>(options.renames))
            if (mine.equal(ours))
                return nb::borrow(file);
    return nb::borrow(ours);
}

}  // namespace

nb::object load_for(Checks &checks, Options *options, nb::handle read_table, nb::handle path,
                    nb::handle text_columns) {
    if (!checks.collecting() || !options) {
        if (text_columns.is_valid())
            return read_table(path, nb::arg("text_columns") = text_columns);
        return read_table(path);
    }
    nb::list texts;
    if (text_columns.is_valid())
        for (nb::handle label : text_columns)
            texts.append(file_label(*options, label));
    nb::object table =
        records::read_table(path, nb::tuple(texts), &options->source, &options->declared.load);
    // The header's labels as the file writes them, before the farm's renames.
    options->labels = host::as_list(table.attr("columns"));
    if (options->renames.is_valid() && nb::len(options->renames) > 0)
        table = table.attr("rename")(nb::arg("columns") = options->renames);
    if (options->declared.prepare)
        table = options->declared.prepare(table, options->source);
    return table;
}

nb::list require_columns_rule(Checks &checks, nb::handle require, nb::handle table,
                              nb::handle labels, nb::handle context, nb::handle error_cls) {
    nb::object list = nb::steal(PySequence_List(labels.ptr()));
    if (!list.is_valid())
        throw nb::python_error();
    if (!checks.collecting()) {
        require(table, list, nb::arg("context") = context, nb::arg("error_cls") = error_cls);
        return nb::borrow<nb::list>(list);
    }
    try {
        require(table, list, nb::arg("context") = context, nb::arg("error_cls") = error_cls);
        return nb::borrow<nb::list>(list);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, error_cls))
            throw;
        nb::list present;
        nb::object message = host::str(error.value());
        for (nb::handle label : list) {
            if (has_column(table, label))
                present.append(label);
            else
                checks.fail({Rule::required_columns, nb::borrow(label), {}, message,
                             nb::borrow(error_cls), nb::object()});
        }
        return present;
    }
}

namespace {

nb::str date_message(nb::handle label, nb::handle path, nb::handle caught, const char *hint) {
    return host::text("could not parse ", host::Repr{label}, " column in ", host::Repr{path},
                      " as calendar dates: ", host::Str{caught}, hint);
}

}  // namespace

nb::object dates_rule(Checks &checks, const Pandas &pd, nb::handle series, nb::handle label,
                      nb::handle path, nb::handle error_cls, const char *hint,
                      nb::handle options) {
    try {
        return parse_dates(pd, series, options);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ValueError) && !host::error_is(error, PyExc_TypeError))
            throw;
        Rows rows = checks.collecting() ? unparsed_rows(pd, series, options) : Rows();
        checks.fail({Rule::date_parse, nb::borrow(label), std::move(rows),
                     date_message(label, path, error.value(), hint), nb::borrow(error_cls),
                     nb::borrow(error.value())});
        return nb::object();
    }
}

nb::object coerced_dates(const Pandas &pd, nb::handle series, nb::handle options) {
    nb::object dtype = series.attr("dtype");
    if (is_real_numeric(pd, series) && !host::truth(pd.is_bool_dtype.get()(dtype))) {
        // Numbers are dates written as YYYYMMDD: a whole number of eight
        // digits that makes a day.
        Float64Values values(pd, series);
        nb::list fit;
        for (size_t i = 0; i < values.size(); ++i) {
            double v = values[i];
            fit.append(nb::bool_(std::isnan(v) ||
                                 (v == std::floor(v) && v >= 10000000.0 && v <= 99999999.0)));
        }
        nb::object whole = series.attr("where")(fit);
        nb::object text = whole.attr("astype")("Int64").attr("astype")("string");
        return pd.to_datetime.get()(text, nb::arg("format") = "%Y%m%d",
                                    nb::arg("errors") = "coerce");
    }
    nb::dict kwargs;
    if (options.is_valid() && !options.is_none())
        kwargs = nb::borrow<nb::dict>(options.attr("copy")());
    kwargs["errors"] = "coerce";
    return pd.to_datetime.get()(series, **kwargs);
}

Rows unparsed_rows(const Pandas &pd, nb::handle series, nb::handle options) {
    nb::object failing = series.attr("notna")() & coerced_dates(pd, series, options).attr("isna")();
    return true_rows(pd, failing);
}

void counts_rule(Checks &checks, nb::handle error_cls, nb::handle table, nb::handle column,
                 const Float64Values &values, nb::handle path) {
    Rows negative = negative_rows(values);
    if (negative.empty())
        return;
    nb::str message = host::text("column ", host::Repr{column},
                                 " contains negative value(s) at row(s) ",
                                 row_list(table, negative), " in ", host::Repr{path},
                                 "; expected non-negative counts");
    checks.fail({Rule::negative_count, nb::borrow(column), std::move(negative), message,
                 nb::borrow(error_cls), nb::object()});
}

Options options_of(nb::handle columns, nb::handle dayfirst) {
    Options options;
    if (columns.is_valid() && !columns.is_none()) {
        // columns maps our labels to the file's: renamed file -> ours.
        nb::dict renames;
        nb::dict given = nb::borrow<nb::dict>(host::from_import("builtins", "dict")(columns));
        for (auto [ours, file] : given)
            renames[file] = ours;
        options.renames = renames;
    }
    options.dayfirst = dayfirst.is_valid() && host::truth(dayfirst);
    return options;
}

}  // namespace records
