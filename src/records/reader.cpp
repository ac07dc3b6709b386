#include "records/reader.hpp"

#include "host/host.hpp"
#include "records/weeks.hpp"

namespace records {

void ReaderState::load() {
    pd.load();
    own_normalize_tag = host::from_import("py_zelka.readers._common", "_normalize_tag");
}

nb::object read_result(ReaderState &s, nb::handle data, nb::handle notices) {
    return s.global("ReadResult")(nb::arg("data").none() = data,
                                  nb::arg("notices") = notices.is_valid()
                                                           ? nb::borrow(notices)
                                                           : s.global("NoticeLog")());
}

nb::object data_from_file(ReaderState &s, const char *reader, nb::handle cls, nb::handle path,
                          nb::handle weather) {
    nb::object result = s.global(reader).attr("read")(path);
    return data_from_read(s.global("ReadResult"), cls, result, weather);
}

}  // namespace records
