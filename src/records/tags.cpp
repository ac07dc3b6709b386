#include "records/tags.hpp"

#include "host/capi.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/duplicates.hpp"
#include "records/text_column.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace records {

nb::object normalize_tag(nb::handle raw) {
    if (host::is_missing(raw))
        return nb::str("");
    nb::object text =
        PyUnicode_CheckExact(raw.ptr()) ? nb::borrow(raw) : nb::object(host::str(raw));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text.attr("strip")().attr("lower")();
    }
    bool has_upper = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = (unsigned char) utf8[i];
        if (c >= 0x80)  // beyond ASCII: the host's own strip and lower
            return text.attr("strip")().attr("lower")();
        if (c >= 'A' && c <= 'Z')
            has_upper = true;
    }
    Py_ssize_t begin = 0, end = size;
    while (begin < end && ascii_space((unsigned char) utf8[begin]))
        ++begin;
    while (end > begin && ascii_space((unsigned char) utf8[end - 1]))
        --end;
    if (!has_upper && begin == 0 && end == size)
        return text;
    std::string out(utf8 + begin, (size_t) (end - begin));
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    return nb::str(out.data(), out.size());
}

nb::object tag_column(const Pandas &pd, nb::handle series) {
    if (nb::isinstance(series.attr("dtype"), pd.string_dtype.get())) {
        // Text cells (or missing ones): equal cells give equal labels, so each
        // distinct cell is normalised once and the labels are laid out by the
        // cells' codes (pd.factorize's, found in C++ for a column of Arrow
        // buffers) -- no host object per cell.  A missing cell has code -1,
        // which takes the last label: the one of a missing cell.
        nb::object codes;
        nb::list labels;
        TextColumn text;
        std::vector<uint32_t> own;  // when coded in C++
        if (text.open(pd, series, true)) {
            uint32_t count = 0;
            own = text_codes(text, count);
            uint32_t next = 1;  // codes come in order of first appearance
            for (size_t i = 0; i < own.size() && next < count; ++i) {
                if (own[i] == next) {  // a label's first row
                    ++next;
                    std::string_view cell = text[i];
                    labels.append(nb::steal(host::checked(PyUnicode_DecodeUTF8(
                        cell.data(), (Py_ssize_t) cell.size(), nullptr))));
                }
            }
        } else {
            nb::object factors = pd.factorize.get()(series);
            codes = factors[0];
            labels = cells(factors[1]);
        }
        size_t distinct = nb::len(labels);
        bool unchanged = true;
        for (size_t i = 0; i < distinct; ++i) {
            nb::object label = normalize_tag(labels[i]);
            unchanged = unchanged && label.is(labels[i]);
            labels[i] = label;
        }
        // Canonical already, none missing, and of the dtype pandas gives text:
        // the column is its own result.
        if (unchanged && !host::truth(series.attr("hasnans")) &&
            series.attr("dtype").equal(pd.series.get()(labels).attr("dtype")))
            return nb::borrow(series);
        if (!codes.is_valid()) {  // pandas' codes: a missing cell -1
            std::vector<int64_t> shifted(own.size());
            for (size_t i = 0; i < own.size(); ++i)
                shifted[i] = (int64_t) own[i] - 1;
            codes = numpy_array(shifted, "int64");
        }
        labels.append(normalize_tag(nb::none()));
        nb::object table = pd.np_array.get()(labels, nb::arg("dtype") = "object");
        return pd.series.get()(table.attr("take")(codes),
                               nb::arg("index") = series.attr("index"),
                               nb::arg("name") = series.attr("name"), nb::arg("copy") = false);
    }
    nb::list raw = cells(series);
    size_t n = nb::len(raw);
    nb::list labels;
    for (size_t i = 0; i < n; ++i)
        labels.append(normalize_tag(raw[i]));
    return pd.series.get()(labels, nb::arg("index") = series.attr("index"),
                           nb::arg("name") = series.attr("name"));
}

nb::object map_tags(const Pandas &pd, nb::handle series, nb::handle normalize, nb::handle own) {
    // An empty column has no cell to normalise: pandas' map gives its dtype.
    if (normalize.is(own) && length(series) > 0)
        return tag_column(pd, series);
    return series.attr("map")(normalize);
}

}  // namespace records
