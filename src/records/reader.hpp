// What every reader module holds and shares: its state with the pandas entry
// points, the reader class, and the required-column check.
#pragma once

#include "host/classes.hpp"
#include "host/speed.hpp"
#include "records/pandas.hpp"

namespace records {

namespace nb = nanobind;

struct ReaderState : host::State {
    Pandas pd{this};
    // _common's `_normalize_tag` as this module imported it: the C++ one.
    host::Ref own_normalize_tag{this};

    // Loads pandas and the names of _common that the reader compares with.
    void load();
};

// What a reader's `read` returns: `ReadResult(data=data,
// notices=notices)`, a new `NoticeLog()` when no notices are given, both
// classes as the module names them now.
nb::object read_result(ReaderState &s, nb::handle data, nb::handle notices = nb::handle());

// What a data class's `from_file(path, weather)` gives: the module's reader
// `reader` (as the module names it now) reads the file, and
// data_from_read makes the result.
nb::object data_from_file(ReaderState &s, const char *reader, nb::handle cls, nb::handle path,
                          nb::handle weather);

// A plain class `name` whose only member is the static method `read`.
template <auto Read>
nb::object reader_class(ReaderState &s, const char *name, const char *doc,
                        const char *signature, const char *read_doc) {
    return host::ClassBuilder(s, name, doc).static_method<Read>("read", signature, read_doc).make();
}

}  // namespace records
