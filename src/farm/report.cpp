// Running the check, and its findings as a table, text and JSON.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/text_table.hpp"

#include <algorithm>

namespace farm {

using host::utf8;

bool FarmCheck::failed() const {
    for (const Finding &f : findings_)
        if (row_of(f.rule).severity == Severity::error)
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
    nb::object found[role_count];
    for (size_t k = 0; k < role_count; ++k)
        found[k] = find_file(Role(k));
    check_parameters(found[size_t(Role::parameters)]);
    check_management(found[size_t(Role::management)]);
    check_weather(found[size_t(Role::weather)]);
    check_inventory(found[size_t(Role::inventory)]);
    check_production(found[size_t(Role::production)]);
    check_selection(found[size_t(Role::selection)]);
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
    nb::list file, line, column, value, rule, severity, message;
    for (size_t i : order) {
        const Finding &f = findings_[i];
        const RuleRow &row = row_of(f.rule);
        file.append(f.file);
        line.append(f.line);
        column.append(f.column);
        value.append(f.value);
        rule.append(nb::str(row.name));
        severity.append(nb::str(row.severity == Severity::error ? "error" : "warning"));
        message.append(f.message);
    }
    nb::dict columns;
    columns["file"] = pd.attr("array")(file, nb::arg("dtype") = "object");
    columns["line"] = pd.attr("array")(line, nb::arg("dtype") = "Int64");
    columns["column"] = pd.attr("array")(column, nb::arg("dtype") = "object");
    columns["value"] = pd.attr("array")(value, nb::arg("dtype") = "object");
    columns["rule"] = pd.attr("array")(rule, nb::arg("dtype") = "object");
    columns["severity"] = pd.attr("array")(severity, nb::arg("dtype") = "object");
    columns["message"] = pd.attr("array")(message, nb::arg("dtype") = "object");
    nb::object findings = pd.attr("DataFrame")(columns);
    return s_.report_cls.get()(host::str(folder_), findings, notices_);
}

nb::object FarmCheck::farm(nb::handle report) const {
    return s_.farm_cls.get()(host::str(folder_), parameters_, schedule_, weather_, provider_,
                             inventory_, production_, selection_, notices_, report);
}

}  // namespace farm
