#include "host/yaml_file.hpp"

namespace host {

nb::object load_yaml_file(nb::handle path, nb::handle yaml) {
    nb::object manager = path.attr("open")("r", nb::arg("encoding") = "utf-8");
    nb::object exit = manager.attr("__exit__");
    nb::object stream = manager.attr("__enter__")();
    nb::object document;
    try {
        document = yaml.attr("safe_load")(stream);
    } catch (nb::python_error &error) {
        nb::object traceback = error.traceback();
        nb::object suppress = exit(error.type(), error.value(),
                                   traceback.is_valid() ? traceback : nb::none());
        int truth = PyObject_IsTrue(suppress.ptr());
        if (truth < 0)
            throw nb::python_error();
        if (!truth)
            throw;
        return nb::none();
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return document;
}

}  // namespace host
