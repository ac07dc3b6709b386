// Aligned text tables for the command line: text left, numbers right.
#pragma once

#include <string>
#include <vector>

namespace records {

class TextTable {
  public:
    // `numeric[i]`: column i is right-aligned.
    TextTable(std::vector<std::string> headers, std::vector<bool> numeric);
    void add(std::vector<std::string> row);
    bool empty() const { return rows_.empty(); }
    // The header, a rule of dashes, the rows; each line indented by `indent`
    // and ended by a newline, trailing blanks removed.
    std::string str(const std::string &indent = "") const;

  private:
    std::vector<std::string> headers_;
    std::vector<bool> numeric_;
    std::vector<std::vector<std::string>> rows_;
};

// The number of characters (code points) of UTF-8 text, as a terminal
// aligns it.
size_t text_width(const std::string &text);

}  // namespace records
