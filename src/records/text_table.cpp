#include "records/text_table.hpp"

#include <algorithm>

namespace records {

size_t text_width(const std::string &text) {
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)  // not a continuation byte
            ++width;
    return width;
}

TextTable::TextTable(std::vector<std::string> headers, std::vector<bool> numeric)
    : headers_(std::move(headers)), numeric_(std::move(numeric)) {
    numeric_.resize(headers_.size(), false);
}

void TextTable::add(std::vector<std::string> row) {
    row.resize(headers_.size());
    rows_.push_back(std::move(row));
}

std::string TextTable::str(const std::string &indent) const {
    std::vector<size_t> widths;
    for (const std::string &header : headers_)
        widths.push_back(text_width(header));
    for (const auto &row : rows_)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], text_width(row[i]));
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out = indent;
        for (size_t i = 0; i < cells.size(); ++i) {
            std::string pad(widths[i] - text_width(cells[i]), ' ');
            if (i > 0)
                out += "  ";
            out += numeric_[i] ? pad + cells[i] : cells[i] + pad;
        }
        out.erase(out.find_last_not_of(' ') + 1);
        return out + "\n";
    };
    std::vector<std::string> rule;
    for (size_t w : widths)
        rule.push_back(std::string(w, '-'));
    std::string out = line(headers_) + line(rule);
    for (const auto &row : rows_)
        out += line(row);
    return out;
}

}  // namespace records
