#include "records/rows.hpp"

#include "host/host.hpp"

namespace records {

Rows negative_rows(const Float64Values &column) {
    return rows_where(column.size(), [&](size_t i) { return column[i] < 0.0; });
}

Rows true_rows(const Pandas &pd, nb::handle mask) {
    Float64Values marks(pd, mask);
    return rows_where(marks.size(), [&](size_t i) { return marks[i] != 0.0; });
}

nb::str row_list(nb::handle table, const Rows &rows) {
    nb::list positions;
    for (size_t row : rows)
        positions.append(nb::int_(row));
    nb::object labels = table.attr("index").attr("take")(positions);
    nb::object list = nb::steal(PySequence_List(labels.ptr()));
    if (!list.is_valid())
        throw nb::python_error();
    return host::str(list);
}

}  // namespace records
