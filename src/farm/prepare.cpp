// What farm.yaml declares, applied to a loaded table before the readers'
// rules run: cells that mean "no value" made empty, the rows of one station
// kept, the weather's mean temperature as the mean of two columns, times with
// a changing UTC offset read as the local times they write.  Rows keep their
// lines, so that every rule still points at the file as written; each step
// is told in the file's reads.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"

#include <cctype>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace farm {

using host::utf8;

namespace {

// A number written as text ("-999", " -99.9 "), or false.
bool number_in(nb::handle cell, double &out) {
    if (number_of(cell, out))
        return !std::isnan(out);
    if (!PyUnicode_Check(cell.ptr()))
        return false;
    std::string text = utf8(cell);
    const char *begin = text.c_str();
    char *end = nullptr;
    out = std::strtod(begin, &end);
    if (end == begin)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    return *end == '\0' && std::isfinite(out);
}

std::string stripped(const std::string &text) {
    size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

// The text of a value as a marker or a `where:` compares it.
std::string compared_text(nb::handle value) {
    return PyUnicode_Check(value.ptr()) ? stripped(utf8(value)) : utf8(host::str(value));
}

// A cell read once for every value it is compared with: missing or not, its
// number, and its text (made at the first comparison that needs it).
class Cell {
  public:
    explicit Cell(nb::handle cell)
        : cell_(cell), missing_(host::is_missing(cell)),
          numeric_(!missing_ && number_in(cell, number_)) {}
    bool missing() const { return missing_; }
    bool numeric() const { return numeric_; }
    double number() const { return number_; }
    const std::string &text() const {
        if (!read_) {
            text_ = compared_text(cell_);
            read_ = true;
        }
        return text_;
    }

  private:
    nb::handle cell_;
    bool missing_;
    double number_ = 0.0;
    bool numeric_;
    mutable bool read_ = false;
    mutable std::string text_;
};

// Whether a cell is the value farm.yaml names: the same text, or the same
// number however it is written (-999, -999.0).
class Matcher {
  public:
    explicit Matcher(nb::handle value)
        : numeric_(number_in(value, number_)), text_(compared_text(value)) {}
    bool operator()(const Cell &cell) const {
        if (cell.missing())
            return false;
        if (numeric_ && cell.numeric())
            return cell.number() == number_;
        return cell.text() == text_;
    }
    bool operator()(nb::handle cell) const { return (*this)(Cell(cell)); }

  private:
    double number_ = 0.0;
    bool numeric_ = false;
    std::string text_;
};

// The UTC offset a timestamp ends with ("Z", "+02:00", "-0500", "+01"),
// after its time of day; empty when it ends with none.
std::string_view utc_offset(std::string_view cell) {
    while (!cell.empty() && cell.back() == ' ')
        cell.remove_suffix(1);
    size_t n = cell.size();
    auto time_before = [&](size_t at) {
        return at > 0 && std::isdigit((unsigned char) cell[at - 1]) &&
               cell.substr(0, at).find(':') != std::string_view::npos;
    };
    if (n > 0 && cell[n - 1] == 'Z' && time_before(n - 1))
        return cell.substr(n - 1);
    for (size_t length : {6, 5, 3}) {  // +HH:MM, +HHMM, +HH
        if (n < length)
            continue;
        std::string_view tail = cell.substr(n - length);
        bool shape = (tail[0] == '+' || tail[0] == '-') && std::isdigit((unsigned char) tail[1]) &&
                     std::isdigit((unsigned char) tail[2]);
        if (length == 6)
            shape = shape && tail[3] == ':' && std::isdigit((unsigned char) tail[4]) &&
                    std::isdigit((unsigned char) tail[5]);
        if (length == 5)
            shape = shape && std::isdigit((unsigned char) tail[3]) &&
                    std::isdigit((unsigned char) tail[4]);
        if (shape && time_before(n - length))
            return tail;
    }
    return std::string_view();
}

// `values` (a list) as a column of `table`: of its index, and of objects.
nb::object object_column(nb::handle table, const nb::list &values) {
    return host::import("pandas").attr("Series")(values, nb::arg("index") = table.attr("index"),
                                                 nb::arg("dtype") = "object");
}

// `table` with column `label` replaced by `values` (a list).
nb::object with_column(nb::handle table, nb::handle label, const nb::list &values) {
    nb::object copy = table.attr("copy")();
    copy[label] = object_column(copy, values);
    return copy;
}

}  // namespace

nb::object FarmCheck::local_times(Role role, nb::handle table, nb::handle label) {
    if (!records::has_column(table, label))
        return nb::borrow(table);
    nb::list cells = nb::list(table[label].attr("tolist")());
    std::string first;
    bool changes = false;
    for (nb::handle cell : cells) {
        if (!PyUnicode_Check(cell.ptr()))
            continue;
        std::string offset(utc_offset(utf8(cell)));
        if (offset.empty())
            continue;
        if (first.empty())
            first = offset;
        else if (offset != first)
            changes = true;
    }
    if (!changes)
        return nb::borrow(table);
    nb::list local;
    size_t read = 0;
    for (nb::handle cell : cells) {
        if (!PyUnicode_Check(cell.ptr())) {
            local.append(cell);
            continue;
        }
        std::string text = utf8(cell);
        std::string_view offset = utc_offset(text);
        std::string_view kept = std::string_view(text).substr(0, text.size() - offset.size());
        while (!offset.empty() && !kept.empty() && kept.back() == ' ')
            kept.remove_suffix(1);
        read += !offset.empty();
        local.append(nb::str(kept.data(), kept.size()));
    }
    nb::dict figures;
    figures["cells"] = nb::int_(read);
    read_step(role, "local_times",
              host::text(std::to_string(read), " times with a UTC offset that changes within the "
                         "file (daylight saving) read as the local times they write"),
              figures);
    return with_column(table, label, local);
}

nb::object FarmCheck::prepare_table(Role role, nb::handle table, records::TableSource &source,
                                    nb::handle date_label, nb::handle mean_label) {
    const Declared &declared = this->declared(role);
    nb::object out = nb::borrow(table);
    if (role == Role::weather)
        out = local_times(role, out, date_label);
    // The file's labels of our columns: where and mean_of name the file's.
    auto label_of = [&](nb::handle theirs) -> nb::object {
        if (records::has_column(out, theirs))
            return nb::borrow(theirs);
        for (auto [ours, label] : columns_of(role))
            if (nb::handle(label).equal(theirs) && records::has_column(out, ours))
                return nb::borrow(ours);
        return nb::object();
    };

    if (nb::len(declared.missing) > 0) {
        std::vector<Matcher> markers;
        for (nb::handle marker : declared.missing)
            markers.emplace_back(marker);
        std::vector<size_t> counts(markers.size(), 0);
        nb::object date = role == Role::weather ? nb::borrow(date_label) : nb::object(nb::str("date"));
        nb::object copy;  // the table with its markers emptied, copied at the first
        for (nb::handle label : host::as_list(out.attr("columns"))) {
            if (label.equal(date) || label.equal(nb::str("tag")))
                continue;  // a marker is no date, and a tag may be anything
            nb::list cells = nb::list(out[label].attr("tolist")());
            bool changed = false;
            for (size_t i = 0; i < nb::len(cells); ++i) {
                Cell cell(cells[i]);
                size_t k = 0;
                while (k < markers.size() && !markers[k](cell))
                    ++k;
                if (k < markers.size()) {
                    ++counts[k];
                    changed = true;
                    cells[i] = nb::none();  // the list is the column's copy
                }
            }
            if (changed) {
                if (!copy.is_valid())
                    copy = out.attr("copy")();
                copy[label] = object_column(copy, cells);
            }
        }
        if (copy.is_valid())
            out = copy;
        size_t total = 0;
        nb::dict by_marker;
        std::string parts;
        for (size_t k = 0; k < markers.size(); ++k) {
            total += counts[k];
            by_marker[host::str(declared.missing[k])] = nb::int_(counts[k]);
            parts += (k == 0 ? "" : ", ") + utf8(host::repr(declared.missing[k])) + ": " +
                     std::to_string(counts[k]);
        }
        nb::dict figures;
        figures["cells"] = nb::int_(total);
        figures["markers"] = by_marker;
        read_step(role, "missing",
                  host::text(std::to_string(total), total == 1 ? " cell" : " cells",
                             " that mean \"no value\" made empty (", parts.c_str(), ")"),
                  figures);
    }

    if (nb::len(declared.where) > 0) {
        size_t rows = nb::len(out);
        std::vector<bool> keep(rows, true);
        std::string said;
        bool sound = true;
        for (auto [theirs, wanted] : declared.where) {
            nb::object label = label_of(theirs);
            nb::object line = line_or_none(yaml_lines_, std::string(role_name(role)) + ".where." +
                                                            utf8(theirs));
            if (!label.is_valid()) {
                add(nb::str(farm_file), line, theirs, nb::none(), Rule::unmapped_column,
                    host::text("farm.yaml's ", role_name(role), ".where names the column ",
                               host::Repr{theirs}, ", which the file does not have: its header "
                               "has ",
                               host::Str{host::as_list(table.attr("columns"))}));
                sound = false;
                continue;
            }
            Matcher match(wanted);
            nb::list cells = nb::list(out[label].attr("tolist")());
            for (size_t i = 0; i < rows; ++i)
                keep[i] = keep[i] && match(cells[i]);
            said += (said.empty() ? "" : " and ") + utf8(host::str(theirs)) + " is " +
                    utf8(host::str(wanted));
        }
        if (sound) {
            std::vector<uint8_t> mask(rows);
            std::vector<size_t> lines;
            size_t kept = 0;
            for (size_t i = 0; i < rows; ++i) {
                mask[i] = keep[i];
                kept += keep[i];
                if (keep[i] && i < source.lines.size())
                    lines.push_back(source.lines[i]);
            }
            nb::object rows_kept = records::numpy_array(mask, "bool");
            out = out.attr("loc")[rows_kept].attr("reset_index")(nb::arg("drop") = true);
            source.lines = std::move(lines);
            nb::dict figures;
            figures["kept"] = nb::int_(kept);
            figures["rows"] = nb::int_(rows);
            read_step(role, "where",
                      host::text("rows kept where ", said.c_str(), ": ", std::to_string(kept),
                                 " of ", std::to_string(rows)),
                      figures);
            if (kept == 0 && rows > 0)
                add(nb::str(farm_file),
                    line_or_none(yaml_lines_, std::string(role_name(role)) + ".where"), nb::none(),
                    nb::none(), Rule::farm_yaml_value,
                    host::text(role_name(role), ".where keeps no row of the file: is the value "
                               "written as the file writes it?"));
        }
    }

    if (role == Role::weather && nb::len(declared.mean_of) == 2) {
        nb::object a = label_of(declared.mean_of[0]), b = label_of(declared.mean_of[1]);
        for (size_t k = 0; k < 2; ++k)
            if (!(k == 0 ? a : b).is_valid())
                add(nb::str(farm_file), line_or_none(yaml_lines_, "weather.columns.tmean"),
                    declared.mean_of[k], nb::none(), Rule::unmapped_column,
                    host::text("farm.yaml's weather.columns.tmean takes the mean of ",
                               host::Repr{declared.mean_of[k]},
                               ", a column the file does not have: its header has ",
                               host::Str{host::as_list(table.attr("columns"))}));
        if (a.is_valid() && b.is_valid()) {
            nb::list first = nb::list(out[a].attr("tolist")()),
                     second = nb::list(out[b].attr("tolist")());
            nb::list means;
            for (size_t i = 0; i < nb::len(first); ++i) {
                double x = 0.0, y = 0.0;
                if (number_in(first[i], x) && number_in(second[i], y))
                    means.append(nb::float_((x + y) / 2.0));
                else
                    means.append(nb::none());
            }
            out = with_column(out, mean_label, means);
            nb::dict figures;
            figures["columns"] = declared.mean_of;
            read_step(role, "mean_of",
                      host::text("the mean temperature is the mean of ",
                                 host::Repr{declared.mean_of[0]}, " and ",
                                 host::Repr{declared.mean_of[1]}),
                      figures);
        }
    }
    return out;
}

records::Declarations FarmCheck::declarations(Role role, nb::handle date_label,
                                              nb::handle mean_label) {
    const Declared &declared = this->declared(role);
    records::Declarations out;
    out.load.header_line = (size_t) declared.header;
    out.load.sheet = declared.sheet;
    out.load.encoding = declared.encoding;
    nb::object date = nb::borrow(date_label), mean = nb::borrow(mean_label);
    out.prepare = [this, role, date, mean](nb::handle table, records::TableSource &source) {
        return prepare_table(role, table, source, date, mean);
    };
    return out;
}

void FarmCheck::read_step(Role role, const char *step, nb::handle text, nb::handle figures) {
    nb::dict entry;
    entry["step"] = step;
    entry["text"] = text;
    if (figures.is_valid())
        for (auto [key, value] : nb::borrow<nb::dict>(figures))
            entry[key] = value;
    steps_[size_t(role)].append(entry);
}

}  // namespace farm
