// Reading a YAML document from a file, as
//
//     with path.open("r", encoding="utf-8") as stream:
//         document = yaml.safe_load(stream)
//
// does -- the file is closed before the document is used, and when loading
// fails; the errors of opening, decoding and parsing propagate unchanged --
// but within bounds: a document too large, too deep, or whose aliases repeat
// its values too often (an alias bomb of a few hundred bytes takes minutes
// and gigabytes to build) is refused from the parser's events, before
// anything is built.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace host {

namespace nb = nanobind;

struct YamlBounds {
    size_t max_bytes;   // of the file
    size_t max_nodes;   // values (scalars and collections), an alias counting the values it repeats
    size_t max_depth;   // collections inside collections
    bool aliases;       // false: an anchor or alias is refused at once
};

// The bounds of the parameter and management files: far above any real
// file, far below what hurts.
constexpr YamlBounds document_bounds{1u << 20, 100000, 32, true};

struct YamlRefusal {
    enum Kind { none, size, alias, depth, nodes } kind = none;
    long line = 0;     // 1-based, of the event that crossed the bound (0 for size)
    size_t bytes = 0;  // the file's size, for `size`
    nb::object mark;   // the parser's mark of that event
    explicit operator bool() const { return kind != none; }
};

// A YAML file's text, read in a with-block as safe_load(stream) reads it,
// and the name its marks give; `refusal` is set (and the text left empty)
// when the file is larger than the bounds allow.
struct YamlText {
    nb::object text, name;
};
YamlText read_yaml_text(nb::handle path, const YamlBounds &bounds, YamlRefusal &refusal);

// The parser's events of the text against the bounds (the parser's own
// errors propagate, with the marks safe_load would give).
YamlRefusal check_yaml(nb::handle yaml, const YamlText &text, const YamlBounds &bounds);
YamlRefusal check_yaml_stream(nb::handle yaml, nb::handle stream, const YamlBounds &bounds);

// A stream of the text whose marks name the file, as the file's own stream
// would.
nb::object yaml_stream(const YamlText &text);

// yaml.safe_load of the text, its marks naming the file.
nb::object load_yaml_text(nb::handle yaml, const YamlText &text);

// `path` is a path object; `yaml` the yaml module (its safe_load is looked up
// at each call).  A refusal is raised as the YAML library's ComposerError
// (a YAMLError) marking where the bound was crossed.
nb::object load_yaml_file(nb::handle path, nb::handle yaml);

// What a refusal says, e.g. "nests more than 32 levels deep".
nb::str refusal_text(const YamlRefusal &refusal, const YamlBounds &bounds);

}  // namespace host
