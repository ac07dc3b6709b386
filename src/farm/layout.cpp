// The folder, farm.yaml and which file is which.
//
// farm.yaml is read strictly and within bounds: at most 64 KiB, no aliases,
// a bounded number of nodes and depth, no key twice; every key and value is
// checked, and every problem is a finding (never an exception).  No `file:`
// leaves the folder.
#include "farm/check.hpp"

#include "host/host.hpp"
#include "host/yaml_file.hpp"
#include "records/columns.hpp"

#include <climits>

namespace farm {

using host::utf8;

const char *const farm_file = "farm.yaml";

namespace {

// farm.yaml names a few files and columns: small, shallow, without aliases.
constexpr host::YamlBounds farm_yaml_bounds{64 * 1024, 10000, 32, false};
constexpr long max_week_length = 366;

// The suffixes of the record files the loader reads by name.
bool known_suffix(const std::string &suffix) {
    for (const char *known : {".csv", ".txt", ".tsv", ".dat", ".xlsx", ".xlsm", ".xls", ".parquet"})
        if (suffix == known)
            return true;
    return false;
}

bool is_role(const std::string &name, Role &role) {
    for (const RoleRow &row : roles)
        if (name == row.name) {
            role = row.role;
            return true;
        }
    return false;
}

}  // namespace

nb::object cell_text(nb::handle cell) {
    if (host::is_missing(cell))
        return nb::none();
    return host::str(cell);
}

nb::str day_text(long long ordinal) {
    return host::str(host::from_import("datetime", "date").attr("fromordinal")(ordinal));
}

bool number_of(nb::handle value, double &out) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
        return false;
    out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

std::vector<double> numbers_of(nb::handle series) {
    nb::object array = host::import("pandas")
                           .attr("to_numeric")(series, nb::arg("errors") = "coerce")
                           .attr("to_numpy")(nb::arg("dtype") = "float64",
                                             nb::arg("na_value") = std::nan(""));
    records::BufferValues values;
    if (!values.open(array, "d"))
        host::raise(PyExc_TypeError, nb::str("a column of numbers is no float64 array"));
    std::vector<double> out(values.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = values.at<double>(i);
    return out;
}

bool whole_number(nb::handle value, long low, long high, long &out) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        return false;
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    return !overflow && out >= low && out <= high;
}

nb::str error_text(nb::python_error &error) {
    // pandas' tokenizer ends its messages with a line end: the line the
    // message goes on is the notice's, so trailing white space is dropped.
    nb::object value = nb::borrow(error.value());
    return host::text(host::Str{nb::handle((PyObject *) Py_TYPE(value.ptr())).attr("__name__")},
                      ": ", nb::borrow<nb::str>(host::str(value).attr("rstrip")()));
}

// Every key of a composed mapping node (and of the mappings under it, at
// any depth) with its line, as "key", "key.subkey", ...; keys written twice
// in one mapping go to `twice` as (key, first line, second line).
void node_lines(nb::handle yaml, nb::handle node, std::map<std::string, long> &lines,
                std::vector<std::tuple<std::string, long, long>> *twice) {
    nb::object mapping_node = yaml.attr("MappingNode"), scalar_node = yaml.attr("ScalarNode");
    std::vector<std::pair<nb::object, std::string>> todo{{nb::borrow(node), std::string()}};
    while (!todo.empty()) {
        auto [mapping, prefix] = std::move(todo.back());
        todo.pop_back();
        if (!nb::isinstance(mapping, mapping_node))
            continue;
        std::map<std::string, long> here;  // the keys of this mapping
        for (nb::handle pair : mapping.attr("value")) {
            nb::handle key = nb::handle(pair)[0];
            if (!nb::isinstance(key, scalar_node))
                continue;
            std::string name = prefix + utf8(key.attr("value"));
            long line = nb::cast<long>(key.attr("start_mark").attr("line")) + 1;
            lines.emplace(name, line);
            auto [at, fresh] = here.emplace(name, line);
            if (!fresh && twice)
                twice->emplace_back(name, at->second, line);
            todo.emplace_back(nb::borrow(nb::handle(pair)[1]), name + ".");
        }
    }
}

nb::object yaml_error_line(nb::python_error &error) {
    nb::object value = nb::borrow(error.value());
    if (nb::hasattr(value, "problem_mark")) {
        nb::object mark = value.attr("problem_mark");
        if (!mark.is_none())
            return nb::int_(nb::cast<long>(mark.attr("line")) + 1);
    }
    return nb::none();
}

bool lexists(nb::handle path) {
    try {
        host::from_import("os", "lstat")(path);
        return true;
    } catch (nb::python_error &error) {
        if (host::error_is(error, PyExc_FileNotFoundError) ||
            host::error_is(error, PyExc_NotADirectoryError))
            return false;
        throw;  // a name too long, a folder out of reach: the caller's to say
    }
}

nb::object line_or_none(const std::map<std::string, long> &lines, const std::string &key) {
    auto it = lines.find(key);
    return it == lines.end() ? nb::object(nb::none()) : nb::object(nb::int_(it->second));
}

void ReaderNames::load(void (*publish)(const records::Publish &)) {
    nb::object names = host::from_import("types", "SimpleNamespace")();
    publish([&](const char *name, nb::handle value) { nb::setattr(names, name, value); });
    PyObject *old = state.module;
    state.module = names.release().ptr();
    Py_XDECREF(old);
    state.load();
}

FarmCheck::FarmCheck(State &s, nb::handle folder)
    : s_(s), folder_(host::from_import("pathlib", "Path")(folder)),
      notices_(host::from_import("py_zelka.notices", "NoticeLog")()) {}

nb::object FarmCheck::name_of(nb::handle path) const {
    nb::object p = host::from_import("pathlib", "Path")(path);
    try {
        return host::str(p.attr("relative_to")(folder_));
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        return host::str(p);
    }
}

void FarmCheck::notice(const char *subject, nb::handle message) {
    nb::object notices = host::import("py_zelka.notices");
    notices_.attr("append")(notices.attr("Notice")(
        nb::arg("kind") = notices.attr("NoticeKind").attr("FEATURE_DISABLED"),
        nb::arg("subject") = subject, nb::arg("message") = message, nb::arg("source") = "Farm"));
}

bool FarmCheck::has_finding(nb::handle file, Rule rule) const {
    for (const Finding &f : findings_)
        if (f.rule == rule && f.file.equal(file))
            return true;
    return false;
}

bool FarmCheck::read_yaml(nb::handle file, nb::handle path, Rule rule,
                         const host::YamlBounds &bounds, YamlDocument &out,
                         host::YamlRefusal &refusal) {
    nb::object yaml = host::import("yaml");
    try {
        host::YamlText text = host::read_yaml_text(path, bounds, refusal);
        if (refusal)
            return false;
        text.name = nb::borrow(file);  // marks name the file as the farm names it
        refusal = host::check_yaml(yaml, text, bounds);
        if (refusal)
            return false;
        // safe_load's steps, keeping the node for the lines of its keys.
        nb::object loader = yaml.attr("SafeLoader")(host::yaml_stream(text));
        try {
            out.node = loader.attr("get_single_node")();
            out.document = out.node.is_none() ? nb::object(nb::none())
                                              : nb::object(loader.attr("construct_document")(out.node));
        } catch (...) {
            loader.attr("dispose")();
            throw;
        }
        loader.attr("dispose")();
        return true;
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        add(file, yaml_error_line(error), nb::none(), nb::none(), rule, error_text(error));
        return false;
    }
}

void FarmCheck::read_farm_yaml() {
    nb::object path = folder_ / nb::str(farm_file);
    if (!lexists(path))
        return;
    if (!admit(path, nb::str("farm.yaml"))) {
        config_sound_ = false;
        return;
    }
    nb::str file(farm_file);
    YamlDocument read;
    host::YamlRefusal refusal;
    if (!read_yaml(file, path, Rule::farm_yaml, farm_yaml_bounds, read, refusal)) {
        config_sound_ = false;
        if (!refusal)
            return;
        nb::object line = refusal.line > 0 ? nb::object(nb::int_(refusal.line)) : nb::object(nb::none());
        nb::str message =
            refusal.kind == host::YamlRefusal::size
                ? host::text("farm.yaml is ", std::to_string(refusal.bytes),
                             " bytes: a farm.yaml of more than ",
                             std::to_string(farm_yaml_bounds.max_bytes),
                             " bytes is refused (it names a few files and columns)")
            : refusal.kind == host::YamlRefusal::alias
                ? nb::str("farm.yaml uses a YAML anchor or alias (&name, *name): write each "
                          "value out in full")
            : refusal.kind == host::YamlRefusal::depth
                ? nb::str("farm.yaml nests too deeply: it maps each file to a few keys")
                : host::text("farm.yaml holds more than ",
                             std::to_string(farm_yaml_bounds.max_nodes),
                             " values: it maps each file to a few keys");
        add(file, line, nb::none(), nb::none(), Rule::farm_yaml, message);
        return;
    }
    std::map<std::string, long> lines;
    std::vector<std::tuple<std::string, long, long>> twice;
    nb::object yaml = host::import("yaml");
    if (!read.node.is_none())
        node_lines(yaml, read.node, lines, &twice);
    yaml_lines_ = lines;
    for (const auto &[key, first, second] : twice)
        add(file, nb::int_(second), nb::none(), nb::none(), Rule::farm_yaml,
            host::text("key ", host::Repr{nb::str(key.c_str())}, " is written twice (lines ",
                       host::Str{nb::int_(first)}, " and ", host::Str{nb::int_(second)},
                       "): write it once"));
    nb::object document = read.document;
    if (document.is_none())
        return;
    if (!nb::isinstance<nb::dict>(document)) {
        add(file, nb::none(), nb::none(), nb::none(), Rule::farm_yaml,
            nb::str("farm.yaml must be a mapping of the farm's files to what they hold, "
                    "e.g. weather: {file: weather.csv}"));
        config_sound_ = false;
        return;
    }
    config_ = document;
    nb::list known;
    for (const RoleRow &row : roles)
        known.append(nb::str(row.name));
    known.append(nb::str("week_length_days"));
    known.append(nb::str("checks"));
    for (auto [key, value] : nb::borrow<nb::dict>(document)) {
        std::string name = PyUnicode_Check(key.ptr()) ? utf8(key) : std::string();
        nb::object where = line_or_none(lines, name);
        Role role;
        if (name == "week_length_days") {
            long days = 0;
            if (!whole_number(value, 1, max_week_length, days))
                add(file, where, nb::none(), cell_text(value), Rule::farm_yaml_value,
                    host::text("week_length_days must be a whole number of days from 1 to ",
                               host::Str{nb::int_(max_week_length)},
                               ", e.g. week_length_days: 7"));
            continue;
        }
        if (name == "checks") {
            check_checks(value, lines);
            continue;
        }
        if (!is_role(name, role)) {
            add(file, where, nb::none(), nb::none(), Rule::farm_yaml_key,
                host::text("unknown key ", host::Repr{key}, " in farm.yaml; expected one of ",
                           host::Str{known}));
            continue;
        }
        check_section(role, key, value, lines);
    }
}

int FarmCheck::week_length() const {
    nb::object given = config_.is_valid() ? nb::object(config_.attr("get")("week_length_days"))
                                          : nb::object(nb::none());
    long days = 0;
    if (whole_number(given, 1, max_week_length, days))
        return (int) days;
    if (!parameters_.is_none() &&
        whole_number(parameters_.attr("general").attr("get")("week_length_days"), 1,
                     max_week_length, days))
        return (int) days;
    return 7;
}

bool FarmCheck::admit(nb::handle path, nb::handle what) {
    nb::object os = host::import("os");
    nb::object p = host::from_import("pathlib", "Path")(path);
    nb::object file = name_of(p);
    nb::object root = folder_.attr("resolve")();
    nb::object resolved = p.attr("resolve")();
    bool link = host::truth(p.attr("is_symlink")());
    if (!(resolved.equal(root) || host::contains(resolved.attr("parents"), root))) {
        add(file, nb::none(), nb::none(), host::str(resolved), Rule::outside_folder,
            host::text(host::Str{what}, " ", host::Repr{file}, " is a link to ",
                       host::Repr{host::str(resolved)},
                       ", outside the farm folder: the check reads the farm's files inside "
                       "it only; copy the file into the folder in place of the link"));
        return false;
    }
    nb::object status;
    try {
        status = os.attr("stat")(p);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_OSError))
            throw;
        nb::str problem = link && !host::truth(resolved.attr("exists")())
                              ? host::text("a link to ", host::Repr{host::str(resolved)},
                                           ", which does not exist")
                              : host::text("out of reach (", error_text(error), ")");
        add(file, nb::none(), nb::none(), nb::none(), Rule::not_a_file,
            host::text(host::Str{what}, " ", host::Repr{file}, " is ", problem,
                       ": put the file itself in the farm folder"));
        return false;
    }
    nb::object stat = host::import("stat");
    nb::object mode = status.attr("st_mode");
    if (host::truth(stat.attr("S_ISREG")(mode)))
        return true;
    const char *kind = host::truth(stat.attr("S_ISDIR")(mode))    ? "a folder"
                       : host::truth(stat.attr("S_ISFIFO")(mode)) ? "a named pipe (FIFO)"
                       : host::truth(stat.attr("S_ISSOCK")(mode)) ? "a socket"
                                                                  : "a device";
    add(file, nb::none(), nb::none(), nb::none(), Rule::not_a_file,
        host::text(host::Str{what}, " ", host::Repr{file}, " is ", kind,
                   ", not a file: put the file itself in the farm folder"));
    return false;
}

nb::object FarmCheck::find_file(Role role) {
    const char *name = role_name(role);
    bool yaml = !row_of(role).record();
    nb::dict config = section(role);
    nb::str file(farm_file);
    if (config.contains("file")) {
        nb::object given = config["file"];
        if (!PyUnicode_Check(given.ptr()))
            return nb::object();  // a finding of farm.yaml already
        nb::object path_cls = host::from_import("pathlib", "Path");
        try {
            nb::object relative = path_cls(given);
            nb::object path = folder_ / relative;
            nb::object root = folder_.attr("resolve")();
            nb::object resolved = path.attr("resolve")();
            bool inside = !host::truth(relative.attr("is_absolute")()) &&
                          (resolved.equal(root) ||
                           host::contains(resolved.attr("parents"), root));
            if (!inside) {
                add(file, nb::none(), nb::none(), given, Rule::outside_folder,
                    host::text("the ", name, " file ", host::Repr{given},
                               " is outside the farm folder: farm.yaml names files inside it; "
                               "copy the file into the folder and name it there, e.g. ",
                               name, ": {file: ", name, yaml ? ".yaml}" : ".csv}"));
                return nb::object();
            }
            if (lexists(path))
                return admit(path, host::text("the ", name, " file")) ? path : nb::object();
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_OSError) && !host::error_is(error, PyExc_ValueError))
                throw;
            add(file, nb::none(), nb::none(), given, Rule::farm_yaml_value,
                host::text("the ", name, " file ", host::Repr{given}, " cannot be opened (",
                           error_text(error), "): name a file of the farm folder"));
            return nb::object();
        }
        add(file, nb::none(), nb::none(), given, Rule::missing_file,
            host::text("the ", name, " file ", host::Repr{given},
                       " that farm.yaml names is not in the folder"));
        return nb::object();
    }
    nb::list found;
    bool refused = false;
    nb::object files = host::from_import("builtins", "sorted")(
        folder_.attr("glob")(host::text(name, ".*")));
    for (nb::handle path : files) {
        std::string suffix = utf8(path.attr("suffix").attr("lower")());
        if (yaml && suffix != ".yaml" && suffix != ".yml")
            continue;
        // A folder beside the files ("weather.2023") is not one of them,
        // unless its name says it is one.
        if (!yaml && !host::truth(path.attr("is_symlink")()) &&
            host::truth(path.attr("is_dir")()) && !known_suffix(suffix))
            continue;
        if (admit(path, host::text("the ", name, " file")))
            found.append(path);
        else
            refused = true;
    }
    if (refused && nb::len(found) == 0)
        return nb::object();
    if (nb::len(found) == 1)
        return found[0];
    if (nb::len(found) > 1) {
        nb::list names;
        for (nb::handle path : found)
            names.append(name_of(path));
        add(names[0], nb::none(), nb::none(), nb::none(), Rule::several_files,
            host::text("several ", name, " files: ", host::Str{names},
                       "; name the one to read in farm.yaml, e.g. ", name, ": {file: ",
                       host::Str{names[0]}, "}"));
        return nb::object();
    }
    if (role == Role::weather) {
        nb::str expected = host::text(name, ".*");
        add(expected, nb::none(), nb::none(), nb::none(), Rule::missing_file,
            host::text("no ", name, " file (", expected, ") in ", host::Repr{host::str(folder_)},
                       "; put it there or name it in farm.yaml, e.g. weather: {file: station.csv}"));
    }
    return nb::none();
}

}  // namespace farm
