#include "host/yaml_file.hpp"

#include "host/host.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace host {

nb::object yaml_stream(const YamlText &text) {
    nb::object stream = from_import("io", "StringIO")(text.text);
    stream.attr("name") = text.name;
    return stream;
}

namespace {

size_t capped(size_t a, size_t b, size_t cap) { return a + b > cap ? cap : a + b; }

}  // namespace

YamlText read_yaml_text(nb::handle path, const YamlBounds &bounds, YamlRefusal &refusal) {
    YamlText out;
    nb::object manager = path.attr("open")("r", nb::arg("encoding") = "utf-8");
    nb::object exit = manager.attr("__exit__");
    nb::object stream = manager.attr("__enter__")();
    try {
        nb::object size = from_import("os", "fstat")(stream.attr("fileno")()).attr("st_size");
        size_t bytes = nb::cast<size_t>(size);
        if (bytes > bounds.max_bytes) {
            refusal.kind = YamlRefusal::size;
            refusal.bytes = bytes;
        } else {
            out.text = stream.attr("read")();
            out.name = nb::getattr(stream, "name", nb::str("<file>"));
        }
    } catch (nb::python_error &error) {
        if (!exit_suppresses(exit, error))
            throw;
        out.text = nb::str("");  // the context manager swallowed it: an empty document
        out.name = nb::str("<file>");
        return out;
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return out;
}

YamlRefusal check_yaml(nb::handle yaml, const YamlText &text, const YamlBounds &bounds) {
    return check_yaml_stream(yaml, yaml_stream(text), bounds);
}

YamlRefusal check_yaml_stream(nb::handle yaml, nb::handle stream, const YamlBounds &bounds) {
    YamlRefusal refusal;
    nb::object loader = yaml.attr("SafeLoader")(stream);
    nb::object alias_event = yaml.attr("AliasEvent");
    nb::object starts = nb::make_tuple(yaml.attr("MappingStartEvent"),
                                       yaml.attr("SequenceStartEvent"));
    nb::object ends = nb::make_tuple(yaml.attr("MappingEndEvent"), yaml.attr("SequenceEndEvent"));
    nb::object scalar_event = yaml.attr("ScalarEvent");
    // The values of each open collection (itself included), and of each
    // anchored value, capped above the bound.
    const size_t cap = bounds.max_nodes + 1;
    std::vector<std::pair<size_t, std::string>> open;  // values so far, anchor
    std::unordered_map<std::string, size_t> anchored;
    size_t total = 0;
    auto finish = [&](size_t values, const std::string &anchor) {
        if (!anchor.empty())
            anchored[anchor] = values;
        if (!open.empty())
            open.back().first = capped(open.back().first, values, cap);
    };
    try {
        while (truth(loader.attr("check_event")())) {
            nb::object event = loader.attr("get_event")();
            nb::object mark = event.attr("start_mark");
            long line = nb::cast<long>(mark.attr("line")) + 1;
            nb::object anchor_obj = nb::getattr(event, "anchor", nb::none());
            std::string anchor = anchor_obj.is_none() ? std::string() : utf8(anchor_obj);
            bool alias = nb::isinstance(event, alias_event);
            if (!bounds.aliases && (alias || !anchor.empty())) {
                refusal = {YamlRefusal::alias, line, 0, mark};
                break;
            }
            size_t added = 0;
            if (alias) {
                auto it = anchored.find(anchor);
                added = it == anchored.end() ? 0 : it->second;  // unknown: the composer's error
                finish(added, std::string());
            } else if (PyObject_IsInstance(event.ptr(), starts.ptr()) == 1) {
                added = 1;
                open.emplace_back(1, anchor);
                if (open.size() > bounds.max_depth) {
                    refusal = {YamlRefusal::depth, line, 0, mark};
                    break;
                }
            } else if (PyObject_IsInstance(event.ptr(), ends.ptr()) == 1) {
                if (!open.empty()) {
                    auto [values, own] = open.back();
                    open.pop_back();
                    finish(values, own);
                }
            } else if (nb::isinstance(event, scalar_event)) {
                added = 1;
                finish(1, anchor);
            }
            total = capped(total, added, cap);
            if (total > bounds.max_nodes) {
                refusal = {alias ? YamlRefusal::alias : YamlRefusal::nodes, line, 0, mark};
                break;
            }
        }
    } catch (...) {
        loader.attr("dispose")();
        throw;
    }
    loader.attr("dispose")();
    return refusal;
}

nb::object load_yaml_text(nb::handle yaml, const YamlText &text) {
    return yaml.attr("safe_load")(yaml_stream(text));
}

nb::str refusal_text(const YamlRefusal &refusal, const YamlBounds &bounds) {
    switch (refusal.kind) {
    case YamlRefusal::size:
        return text("is ", std::to_string(refusal.bytes), " bytes, more than the ",
                    std::to_string(bounds.max_bytes), " bytes such a file may have");
    case YamlRefusal::alias:
        return bounds.aliases
                   ? text("repeats its values through aliases (*name) to more than ",
                          std::to_string(bounds.max_nodes), " values")
                   : nb::str("uses a YAML anchor or alias (&name, *name)");
    case YamlRefusal::depth:
        return text("nests more than ", std::to_string(bounds.max_depth), " levels deep");
    case YamlRefusal::nodes:
        return text("holds more than ", std::to_string(bounds.max_nodes), " values");
    case YamlRefusal::none:
        break;
    }
    return nb::str("");
}

nb::object load_yaml_file(nb::handle path, nb::handle yaml) {
    // The file's own stream is given to safe_load, as the plain reading
    // does; the bounds are checked on it first (then it is read again from
    // its start), or on its text where it cannot go back.
    YamlRefusal refusal;
    nb::object manager = path.attr("open")("r", nb::arg("encoding") = "utf-8");
    nb::object exit = manager.attr("__exit__");
    nb::object stream = manager.attr("__enter__")();
    nb::object document = nb::none();
    try {
        size_t bytes = nb::cast<size_t>(
            from_import("os", "fstat")(stream.attr("fileno")()).attr("st_size"));
        if (bytes > document_bounds.max_bytes) {
            refusal.kind = YamlRefusal::size;
            refusal.bytes = bytes;
        } else if (truth(stream.attr("seekable")())) {
            try {
                refusal = check_yaml_stream(yaml, stream, document_bounds);
            } catch (nb::python_error &error) {
                // Text the parser or the decoder refuses: safe_load's own
                // error, raised by safe_load from the start of the stream.
                if (!error_is(error, PyExc_Exception))
                    throw;
            }
            if (!refusal) {
                stream.attr("seek")(0);
                document = yaml.attr("safe_load")(stream);
            }
        } else {
            YamlText text{stream.attr("read")(), nb::getattr(stream, "name", nb::str("<file>"))};
            refusal = check_yaml(yaml, text, document_bounds);
            if (!refusal)
                document = load_yaml_text(yaml, text);
        }
    } catch (nb::python_error &error) {
        if (!exit_suppresses(exit, error))
            throw;
        return nb::none();
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    if (refusal) {
        nb::object mark = refusal.mark.is_valid()
                              ? refusal.mark
                              : nb::object(yaml.attr("Mark")(str(path), 0, 0, 0, nb::none(),
                                                             nb::none()));
        nb::object error = from_import("yaml.composer", "ComposerError")(
            nb::none(), nb::none(),
            nb::str(text("the document ", refusal_text(refusal, document_bounds),
                          ": refused before it is built")),
            mark);
        PyErr_SetObject((PyObject *) Py_TYPE(error.ptr()), error.ptr());
        throw nb::python_error();
    }
    return document;
}

}  // namespace host
