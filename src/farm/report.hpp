// A farm check's report for people and tools: text (grouped by file and rule,
// capped), plain data for JSON (every finding, the notices, the counts) and
// one self-contained HTML page (html.cpp, with the charts of charts.cpp).
//
// Every function takes a FarmReport or the plain data its _as_dict() gives
// (what the command sends between processes); only a FarmReport has the
// weather, production and parameters that the charts draw.  The page is
// rendered from templates (html.cpp), which escape every value.
#pragma once


#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace farm {

namespace nb = nanobind;

struct Row {
    nb::object file, line, column, value;  // line, column, value: None when not about one
    std::string rule, severity;
    nb::object message;
    nb::object hint;  // farm.yaml's section as it must read, or None
    bool error() const { return severity == "error"; }
};

struct Count {
    std::string rule, severity;
    size_t count;
};

// The rows of one rule in one file.
struct Group {
    std::string rule, severity;
    std::vector<size_t> rows;  // indexes into Farm::rows, in the report's order
};

struct FileGroups {
    nb::object file;
    std::vector<Group> groups;  // errors first, then warnings; each by its first row
};

// One farm's report as the report functions read it.
struct FarmRows {
    nb::object path;
    nb::object report;  // the FarmReport, or None for plain data
    std::vector<Row> rows;
    nb::list notices;   // [{"subject", "message", "source", "kind"}]
    nb::list reads;     // [{"file", "steps": [{"step", "text", ...}]}]
    size_t errors = 0, warnings = 0;
    std::vector<FileGroups> files;
    std::vector<Count> counts;  // errors first, then warnings; each in the catalogue's order
};

FarmRows farm_rows(nb::handle farm);

// The verdict on a farm: its counts ("18 error(s), 11 warning(s)") and what
// they mean ("not ready for the model: fix the errors").
struct Verdict {
    std::string counts, advice;
};
Verdict verdict_of(const FarmRows &farm);
// "18 error(s), 11 warning(s) -- not ready for the model: fix the errors"
std::string verdict(const FarmRows &farm);

// "lines 12-80", "line 12", or "" when none of the rows from `from` on is
// about a line.
std::string line_span(const FarmRows &farm, const std::vector<size_t> &rows, size_t from);

// The title and the advice of a rule ("" for a rule outside the catalogue).
std::string rule_title(const std::string &rule);
std::string rule_hint(const std::string &rule);

// What to do about the rows of a group: the declaration they share, with the
// rule's advice; "as each row says" where their declarations differ; the
// rule's advice where they have none.
std::string group_advice(const FarmRows &farm, const Group &group);

// How many rows of a rule the capped text shows.
constexpr size_t rows_shown = 3;
// The widest column label, cell and message a text row shows (in characters).
constexpr size_t column_width = 48, cell_width = 24, message_width = 400;

// The report as text: the verdict, per file the findings grouped by rule (the
// first rows_shown of each, unless `all`), the notices, the counts.
std::string report_text(nb::handle farm, bool all);

// {"path", "ok", "errors", "warnings", "counts", "findings", "notices",
// "reads"}.
nb::dict report_dict(nb::handle report);

struct State;

// The charts of a FarmReport: [{"kind", "caption", "svg"}], "svg" None (and
// the caption saying why) where one cannot be drawn.
nb::list farm_charts(nb::handle report);
// One page of many farms (FarmReports, or the plain data _as_dict() gives,
// which may carry the farm's charts as another process drew them).
nb::str html_page(State &s, nb::handle farms);
// The style and the part of one farm, for a notebook.
nb::str html_fragment(State &s, nb::handle farm);

}  // namespace farm
