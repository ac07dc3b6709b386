// Running the check, and its findings as a table, text and JSON.
#include "farm/report.hpp"

#include "farm/check.hpp"
#include "host/host.hpp"
#include "records/text_table.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>

namespace farm {

using host::utf8;

bool FarmCheck::failed() const {
    for (const Finding &f : findings_)
        if (f.severity == Severity::error)
            return true;
    return false;
}

void FarmCheck::run() {
    if (!host::truth(folder_.attr("is_dir")())) {
        add(host::str(folder_), nb::none(), nb::none(), nb::none(), Rule::not_a_folder,
            host::text(host::Repr{host::str(folder_)},
                       " is not a farm folder: give the folder that holds the farm's files"));
        return;
    }
    read_farm_yaml();
    // A file refused where it stands (a finding says why) is not read, and
    // not taken for absent either.
    nb::object found[role_count];
    for (size_t k = 0; k < role_count; ++k)
        found[k] = find_file(Role(k));
    if (found[size_t(Role::parameters)].is_valid())
        check_parameters(found[size_t(Role::parameters)]);
    if (found[size_t(Role::management)].is_valid())
        check_management(found[size_t(Role::management)]);
    if (found[size_t(Role::weather)].is_valid())
        check_weather(found[size_t(Role::weather)]);
    // The weather numbers the weeks of the dated files read after it.
    for (const RoleRow &row : roles)
        if (row.record() && !row.required && found[size_t(row.role)].is_valid())
            check_optional(row.role, found[size_t(row.role)]);
}

nb::object FarmCheck::report() const {
    nb::object pd = host::import("pandas");
    // File by file in the order of the check; within a file, by line (what
    // is about no line first), then in the order found.
    std::vector<std::string> files;
    std::vector<size_t> file_rank(findings_.size());
    for (size_t i = 0; i < findings_.size(); ++i) {
        std::string name = utf8(findings_[i].file);
        auto at = std::find(files.begin(), files.end(), name);
        if (at == files.end())
            at = files.insert(files.end(), name);
        file_rank[i] = (size_t) (at - files.begin());
    }
    auto line_key = [&](size_t i) {
        return findings_[i].line.is_none() ? -1L : nb::cast<long>(findings_[i].line);
    };
    std::vector<size_t> order(findings_.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (file_rank[a] != file_rank[b])
            return file_rank[a] < file_rank[b];
        return line_key(a) < line_key(b);
    });
    nb::list file, line, column, value, rule, severity, message, hint;
    for (size_t i : order) {
        const Finding &f = findings_[i];
        const RuleRow &row = row_of(f.rule);
        file.append(f.file);
        line.append(f.line);
        column.append(f.column);
        value.append(f.value);
        rule.append(nb::str(row.name));
        severity.append(nb::str(f.severity == Severity::error ? "error" : "warning"));
        message.append(f.message);
        hint.append(f.hint);
    }
    nb::dict columns;
    columns["file"] = pd.attr("array")(file, nb::arg("dtype") = "object");
    columns["line"] = pd.attr("array")(line, nb::arg("dtype") = "Int64");
    columns["column"] = pd.attr("array")(column, nb::arg("dtype") = "object");
    columns["value"] = pd.attr("array")(value, nb::arg("dtype") = "object");
    columns["rule"] = pd.attr("array")(rule, nb::arg("dtype") = "object");
    columns["severity"] = pd.attr("array")(severity, nb::arg("dtype") = "object");
    columns["message"] = pd.attr("array")(message, nb::arg("dtype") = "object");
    columns["hint"] = pd.attr("array")(hint, nb::arg("dtype") = "object");
    nb::object findings = pd.attr("DataFrame")(columns);
    // What reading each file did, in the order of the check.
    nb::list reads;
    for (size_t k = 0; k < role_count; ++k) {
        if (nb::len(steps_[k]) == 0 || !read_files_[k].is_valid())
            continue;
        nb::dict entry;
        entry["file"] = read_files_[k];
        entry["steps"] = steps_[k];
        reads.append(entry);
    }
    // What the report's charts draw.
    nb::dict drawn;
    drawn["weather"] = weather_;
    drawn["provider"] = provider_;
    drawn["production"] = data_[size_t(Role::production)];
    drawn["tag_spellings"] = spellings_;
    drawn["parameters"] = parameters_;
    drawn["reads"] = reads;
    return s_.report_cls.get()(host::str(folder_), findings, notices_, **drawn);
}

nb::object FarmCheck::farm(nb::handle report) const {
    return s_.farm_cls.get()(host::str(folder_), parameters_, schedule_, weather_, provider_,
                             data_[size_t(Role::inventory)], data_[size_t(Role::production)],
                             data_[size_t(Role::selection)], notices_, report);
}

// ---------------------------------------------------------------------------
// The report for people and tools

namespace {

nb::list column_list(nb::handle findings, const char *column) {
    return nb::list(findings[column].attr("tolist")());
}

nb::object plain(nb::handle cell) {
    return host::is_missing(cell) ? nb::object(nb::none()) : nb::borrow(cell);
}

nb::dict notice_dict(nb::handle notice) {
    nb::dict entry;
    entry["subject"] = notice.attr("subject");
    entry["message"] = notice.attr("message");
    entry["source"] = notice.attr("source");
    entry["kind"] = notice.attr("kind").attr("value");
    return entry;
}

// The catalogue's position of a rule (rules outside it last).
size_t rule_rank(const std::string &name) {
    Rule rule;
    return rule_named(name, rule) ? size_t(rule) : size_t(Rule::count);
}

// The first `width` characters of UTF-8 text.
std::string clipped(const std::string &text, size_t width) {
    size_t at = 0, n = 0;
    while (at < text.size() && n < width) {
        ++at;
        while (at < text.size() && (((unsigned char) text[at]) & 0xC0) == 0x80)
            ++at;
        ++n;
    }
    return text.substr(0, at);
}

// Text as the terminal may show it: control characters (a cell's escape
// sequence, a line break, a text direction override) written as escapes, the
// way repr() writes them, never sent raw.
std::string visible(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char lead = (unsigned char) text[at];
        size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        len = std::min(len, text.size() - at);
        uint32_t cp = len == 1 ? lead : lead & (0x3F >> (len - 1));
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | ((unsigned char) text[at + k] & 0x3F);
        bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x061C ||
                       cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
                       (cp >= 0x2066 && cp <= 0x2069);
        if (!control) {
            out.append(text, at, len);
        } else if (cp == '\t' || cp == '\n' || cp == '\r') {
            out += cp == '\t' ? "\\t" : cp == '\n' ? "\\n" : "\\r";
        } else {
            char buffer[12];
            std::snprintf(buffer, sizeof buffer, cp < 0x100 ? "\\x%02x" : "\\u%04x", unsigned(cp));
            out += buffer;
        }
        at += len;
    }
    return out;
}

// A text made visible and clipped to `width` characters for the terminal (the
// JSON and the page keep it whole).
std::string for_terminal(const std::string &text, size_t width) {
    std::string out = visible(text);
    return records::text_width(out) > width ? clipped(out, width - 3) + "..." : out;
}

std::string cell(nb::handle value) { return value.is_none() ? std::string() : utf8(value); }

}  // namespace

std::string line_span(const FarmRows &farm, const std::vector<size_t> &rows, size_t from) {
    long low = -1, high = -1;
    for (size_t k = from; k < rows.size(); ++k) {
        nb::handle line = farm.rows[rows[k]].line;
        if (line.is_none())
            continue;
        long n = nb::cast<long>(line);
        low = low < 0 ? n : std::min(low, n);
        high = std::max(high, n);
    }
    if (low < 0)
        return "";
    return low == high ? "line " + std::to_string(low)
                       : "lines " + std::to_string(low) + "-" + std::to_string(high);
}


std::string rule_title(const std::string &name) {
    Rule rule;
    return rule_named(name, rule) ? title_of(rule) : "";
}

std::string rule_hint(const std::string &name) {
    Rule rule;
    return rule_named(name, rule) ? row_of(rule).hint : "";
}

FarmRows farm_rows(nb::handle farm) {
    FarmRows out;
    bool data = PyDict_Check(farm.ptr());
    out.report = data ? nb::object(nb::none()) : nb::borrow(farm);
    out.path = data ? nb::object(farm["path"]) : nb::object(farm.attr("folder"));
    const char *keys[] = {"file", "line", "column", "value", "rule", "severity", "message"};
    auto hint_of = [](nb::handle value) {
        return host::is_missing(value) ? nb::object(nb::none()) : nb::borrow(value);
    };
    if (data) {
        nb::str hint_key("hint");
        for (nb::handle finding : farm["findings"]) {
            Row row;
            row.file = finding["file"];
            row.line = plain(finding["line"]);
            row.column = plain(finding["column"]);
            row.value = plain(finding["value"]);
            row.rule = utf8(finding["rule"]);
            row.severity = utf8(finding["severity"]);
            row.message = finding["message"];
            row.hint = hint_of(finding.attr("get")(hint_key));
            out.rows.push_back(std::move(row));
        }
        if (host::contains(farm, nb::str("notices")))
            for (nb::handle notice : farm["notices"])
                out.notices.append(notice);
        if (host::contains(farm, nb::str("reads")))
            for (nb::handle read : farm["reads"])
                out.reads.append(read);
    } else {
        nb::object findings = farm.attr("findings");
        std::vector<nb::list> columns;
        for (const char *key : keys)
            columns.push_back(column_list(findings, key));
        bool hinted = host::contains(findings.attr("columns"), nb::str("hint"));
        nb::list hints = hinted ? column_list(findings, "hint") : nb::list();
        for (size_t i = 0; i < nb::len(findings); ++i) {
            Row row;
            row.file = columns[0][i];
            row.line = plain(columns[1][i]);
            row.column = plain(columns[2][i]);
            row.value = plain(columns[3][i]);
            row.rule = utf8(columns[4][i]);
            row.severity = utf8(columns[5][i]);
            row.message = columns[6][i];
            row.hint = hinted ? hint_of(hints[i]) : nb::object(nb::none());
            out.rows.push_back(std::move(row));
        }
        for (nb::handle notice : farm.attr("notices"))
            out.notices.append(notice_dict(notice));
        nb::object reads = nb::getattr(farm, "reads", nb::none());
        if (!reads.is_none())
            for (nb::handle read : reads)
                out.reads.append(read);
    }
    // Files in the report's order; in a file, errors before warnings, each
    // rule where its first row stands.
    std::map<std::pair<std::string, std::string>, size_t> count_of;
    for (size_t i = 0; i < out.rows.size(); ++i) {
        const Row &row = out.rows[i];
        (row.error() ? out.errors : out.warnings) += 1;
        ++count_of[{row.rule, row.severity}];
        auto file = std::find_if(out.files.begin(), out.files.end(),
                                 [&](const FileGroups &f) { return f.file.equal(row.file); });
        if (file == out.files.end())
            file = out.files.insert(out.files.end(), FileGroups{row.file, {}});
        auto group = std::find_if(file->groups.begin(), file->groups.end(), [&](const Group &g) {
            return g.rule == row.rule && g.severity == row.severity;
        });
        if (group == file->groups.end())
            group = file->groups.insert(file->groups.end(), Group{row.rule, row.severity, {}});
        group->rows.push_back(i);
    }
    for (FileGroups &file : out.files)
        std::stable_sort(file.groups.begin(), file.groups.end(),
                         [](const Group &a, const Group &b) {
                             return a.severity == "error" && b.severity != "error";
                         });
    for (const auto &[key, n] : count_of)
        out.counts.push_back({key.first, key.second, n});
    std::stable_sort(out.counts.begin(), out.counts.end(), [](const Count &a, const Count &b) {
        bool ea = a.severity == "error", eb = b.severity == "error";
        if (ea != eb)
            return ea;
        return rule_rank(a.rule) < rule_rank(b.rule);
    });
    return out;
}

std::string group_advice(const FarmRows &farm, const Group &group) {
    std::string advice = rule_hint(group.rule);
    nb::object shared;
    bool mixed = false, some = false;
    for (size_t i : group.rows) {
        nb::handle hint = farm.rows[i].hint;
        if (hint.is_none()) {
            mixed = mixed || some;
            continue;
        }
        if (!shared.is_valid())
            shared = nb::borrow(hint);
        else if (!shared.equal(hint))
            mixed = true;
        some = true;
    }
    if (!some)
        return advice;
    if (mixed || shared.is_valid() == false)
        return "as each row says (the declaration in farm.yaml that reads the file as it is)";
    return "in farm.yaml, " + utf8(shared) + (advice.empty() ? "" : "; or " + advice);
}

Verdict verdict_of(const FarmRows &farm) {
    Verdict out;
    out.counts = std::to_string(farm.errors) + " error(s), " + std::to_string(farm.warnings) +
                 " warning(s)";
    out.advice = farm.errors     ? "not ready for the model: fix the errors"
                 : farm.warnings ? "ready for the model; the warnings are worth a look"
                                 : "ready for the model";
    return out;
}

std::string verdict(const FarmRows &farm) {
    Verdict v = verdict_of(farm);
    return v.counts + " -- " + v.advice;
}

std::string report_text(nb::handle report, bool all) {
    FarmRows farm = farm_rows(report);
    std::string out = "farm " + visible(utf8(farm.path)) + ": " + verdict(farm) + "\n";
    for (const FileGroups &file : farm.files) {
        out += "\n" + visible(utf8(file.file)) + "\n";
        for (const Group &group : file.groups) {
            size_t n = group.rows.size();
            std::string title = rule_title(group.rule);
            out += "  " + group.severity + " " + group.rule + " (" + std::to_string(n) + ")" +
                   (title.empty() ? "" : ": " + title) + "\n";
            // "... and 1 more" would take the line the row itself needs.
            size_t shown = all || n <= rows_shown + 1 ? n : rows_shown;
            // The columns some shown row fills, and the message.
            const char *headers[] = {"line", "column", "value", "message"};
            bool used[4] = {false, false, false, true};
            std::vector<std::vector<std::string>> cells;
            for (size_t k = 0; k < shown; ++k) {
                const Row &row = farm.rows[group.rows[k]];
                cells.push_back({cell(row.line), for_terminal(cell(row.column), column_width),
                                 for_terminal(cell(row.value), cell_width),
                                 for_terminal(utf8(row.message), message_width)});
                for (size_t c = 0; c < 3; ++c)
                    used[c] = used[c] || !cells.back()[c].empty();
            }
            std::vector<std::string> names;
            std::vector<bool> numeric;
            for (size_t c = 0; c < 4; ++c)
                if (used[c]) {
                    names.push_back(headers[c]);
                    numeric.push_back(c == 0);
                }
            records::TextTable table(names, numeric);
            for (const auto &row : cells) {
                std::vector<std::string> kept;
                for (size_t c = 0; c < 4; ++c)
                    if (used[c])
                        kept.push_back(row[c]);
                table.add(std::move(kept));
            }
            out += table.str("    ");
            if (shown < n) {
                std::string span = line_span(farm, group.rows, shown);
                out += "    ... and " + std::to_string(n - shown) + " more" +
                       (span.empty() ? "" : " (" + span + ")") + "\n";
            }
            std::string hint = group_advice(farm, group);
            if (!hint.empty())
                out += "    to fix: " + visible(hint) + "\n";
        }
    }
    if (nb::len(farm.reads) > 0) {
        out += "\nread as\n";
        for (nb::handle read : farm.reads) {
            out += "  " + visible(utf8(read["file"])) + "\n";
            for (nb::handle step : read["steps"])
                out += "    " + visible(utf8(step["text"])) + "\n";
        }
    }
    if (nb::len(farm.notices) > 0) {
        out += "\nnotices\n";
        for (nb::handle notice : farm.notices)
            out += "  " + visible(utf8(notice["subject"])) + ": " + visible(utf8(notice["message"])) + "\n";
    }
    out += "\nsummary of farm " + visible(utf8(farm.path)) + "\n";
    if (farm.counts.empty()) {
        out += "  no findings\n";
    } else {
        records::TextTable table({"rule", "severity", "count"}, {false, false, true});
        for (const Count &count : farm.counts)
            table.add({count.rule, count.severity, std::to_string(count.count)});
        out += table.str("  ");
    }
    return out;
}

nb::dict report_dict(nb::handle report) {
    FarmRows farm = farm_rows(report);
    nb::dict out;
    out["path"] = farm.path;
    out["ok"] = nb::bool_(farm.errors == 0);
    out["errors"] = nb::int_(farm.errors);
    out["warnings"] = nb::int_(farm.warnings);
    nb::list counts;
    for (const Count &count : farm.counts) {
        nb::dict entry;
        entry["rule"] = nb::str(count.rule.c_str());
        entry["severity"] = nb::str(count.severity.c_str());
        entry["count"] = nb::int_(count.count);
        counts.append(entry);
    }
    out["counts"] = counts;
    nb::list findings;
    for (const Row &row : farm.rows) {
        nb::dict entry;
        entry["file"] = row.file;
        entry["line"] = row.line;
        entry["column"] = row.column;
        entry["value"] = row.value;
        entry["rule"] = nb::str(row.rule.c_str());
        entry["severity"] = nb::str(row.severity.c_str());
        entry["message"] = row.message;
        entry["hint"] = row.hint;
        findings.append(entry);
    }
    out["findings"] = findings;
    out["notices"] = farm.notices;
    out["reads"] = farm.reads;
    return out;
}

}  // namespace farm
