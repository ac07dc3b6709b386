#include "host/speed.hpp"

#include "host/host.hpp"

#include <cmath>
#include <stdexcept>

namespace host {

namespace {

PyObject *host_new_dict() {
    PyObject *dict = PyDict_New();
    if (!dict)
        throw nb::python_error();
    return dict;
}

// The place of the slot `name` in instances of `cls`: a sentinel stored
// through the slot's own descriptor into a bare instance, looked for among
// the instance's pointer-sized words; -1 when it is not found exactly once.
Py_ssize_t find_slot(nb::handle cls, const char *name) {
    nb::object ns = cls.attr("__dict__");
    nb::str key(name);
    if (!host::contains(ns, key))  // no slot of the class's own
        return -1;
    nb::object descriptor = ns[key];
    nb::object instance = nb::handle((PyObject *) &PyBaseObject_Type).attr("__new__")(cls);
    nb::object sentinel = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));
    if (!sentinel.is_valid())
        throw nb::python_error();
    Py_ssize_t size = nb::cast<Py_ssize_t>(cls.attr("__basicsize__"));
    descriptor.attr("__set__")(instance, sentinel);
    Py_ssize_t found = -1;
    for (Py_ssize_t offset = (Py_ssize_t) (2 * sizeof(PyObject *));
         offset + (Py_ssize_t) sizeof(PyObject *) <= size; offset += sizeof(PyObject *)) {
        PyObject *word = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(instance.ptr()) + offset);
        if (word == sentinel.ptr())
            found = found < 0 ? offset : -2;  // a second match: do not guess
    }
    descriptor.attr("__delete__")(instance);
    return found >= 0 ? found : -1;
}

}  // namespace

void SlotField::find(nb::handle cls, const char *name) {
    clear();
    offset_ = find_slot(cls, name);
    cls_ = Py_NewRef(cls.ptr());
}

namespace {

// `getattr(cls, name)`: what the class's own lookup finds (through the
// interpreter's type attribute cache), or null when it finds nothing.
nb::object class_attribute(nb::handle cls, PyObject *name) {
    PyObject *value = PyObject_GetAttr(cls.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(value);
}

}  // namespace

void RecordMaker::prepare(nb::handle cls, std::initializer_list<const char *> fields) {
    clear();
    if (fields.size() > max_fields)
        throw std::invalid_argument("RecordMaker: too many fields");
    // The generated __init__ runs __post_init__ when the class had one when
    // it was decorated (a later one is never called).
    if (nb::hasattr(cls, "__post_init__"))
        return;
    cls_ = Py_NewRef(cls.ptr());
    nb::str init_name("__init__");
    init_ = class_attribute(cls, init_name.ptr()).release().ptr();
    new_ = reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject *>(cls.ptr()), Py_tp_new));
    for (const char *field : fields) {
        PyObject *name = PyUnicode_InternFromString(field);
        if (!name)
            throw nb::python_error();
        names_[count_] = name;
        descriptors_[count_] = nullptr;
        offsets_[count_] = -1;
        ++count_;  // held from here on: clear() releases what is set
        descriptors_[count_ - 1] = class_attribute(cls, name).release().ptr();
        offsets_[count_ - 1] = find_slot(cls, field);
    }
    all_slots_ = true;
    for (size_t i = 0; i < count_; ++i)
        all_slots_ = all_slots_ && offsets_[i] >= 0;
}

bool RecordMaker::unchanged() const {
    auto *type = reinterpret_cast<PyTypeObject *>(cls_);
    return reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new)) == new_ &&
           PyType_GetSlot(type, Py_tp_finalize) == nullptr &&
           class_attribute(nb::handle(cls_), init_name_.ptr()).is(nb::handle(init_));
}

bool RecordMaker::usable(nb::handle cls) const {
    if (!cls_ || cls.ptr() != cls_ || !init_ || !new_ || !unchanged())
        return false;
    for (size_t i = 0; i < count_; ++i)
        if (!descriptors_[i] || !class_attribute(cls, names_[i]).is(nb::handle(descriptors_[i])))
            return false;
    return true;
}

nb::object RecordMaker::make(PyObject *const *values) const {
    nb::object obj = nb::steal(new_(reinterpret_cast<PyTypeObject *>(cls_), no_args_.ptr(), nullptr));
    if (!obj.is_valid())
        throw nb::python_error();
    for (size_t i = 0; i < count_; ++i) {
        if (offsets_[i] >= 0) {
            // A new instance's slots are empty: the slot takes the reference.
            PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj.ptr()) + offsets_[i]);
            *slot = Py_NewRef(values[i]);
        } else if (PyObject_GenericSetAttr(obj.ptr(), names_[i], values[i]) != 0) {
            throw nb::python_error();
        }
    }
    return obj;
}

nb::object RecordMaker::make_atomic(PyObject *const *values) const {
    nb::object obj = make(values);
    for (size_t i = 0; i < count_; ++i)
        if (!is_atomic(values[i]))
            return obj;
    if (PyObject_GC_IsTracked(obj.ptr()))
        PyObject_GC_UnTrack(obj.ptr());
    return obj;
}

nb::object RecordMaker::make_atomic_owned(PyObject *const *values) const {
    if (!all_slots_) {  // a field without a slot of its own: stored the plain way
        struct Release {
            PyObject *const *values;
            size_t count;
            ~Release() {
                for (size_t i = 0; i < count; ++i)
                    Py_DECREF(values[i]);
            }
        } release{values, count_};
        return make_atomic(values);
    }
    PyObject *obj = new_(reinterpret_cast<PyTypeObject *>(cls_), no_args_.ptr(), nullptr);
    if (!obj) {
        for (size_t i = 0; i < count_; ++i)
            Py_DECREF(values[i]);
        throw nb::python_error();
    }
    // A new instance's slots are empty: each takes its value's reference.
    char *base = reinterpret_cast<char *>(obj);
    bool atomic = true;
    for (size_t i = 0; i < count_; ++i) {
        *reinterpret_cast<PyObject **>(base + offsets_[i]) = values[i];
        atomic = atomic && is_atomic(values[i]);
    }
    if (atomic && PyObject_GC_IsTracked(obj))
        PyObject_GC_UnTrack(obj);
    return nb::steal(obj);
}

nb::object RecordMaker::make_by_call(nb::handle cls, PyObject *const *values) const {
    nb::tuple names = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t) count_));
    if (!names.is_valid())
        throw nb::python_error();
    for (size_t i = 0; i < count_; ++i)
        PyTuple_SetItem(names.ptr(), (Py_ssize_t) i, Py_NewRef(names_[i]));
    PyObject *obj = PyObject_Vectorcall(cls.ptr(), values, 0, names.ptr());
    if (!obj)
        throw nb::python_error();
    return nb::steal(obj);
}

int RecordMaker::visit(visitproc visit, void *arg) {
    Py_VISIT(cls_);
    Py_VISIT(init_);
    for (size_t i = 0; i < count_; ++i)
        Py_VISIT(descriptors_[i]);
    return 0;
}

void RecordMaker::clear() {
    Py_CLEAR(cls_);
    Py_CLEAR(init_);
    for (size_t i = 0; i < count_; ++i) {
        Py_CLEAR(names_[i]);
        Py_CLEAR(descriptors_[i]);
    }
    count_ = 0;
    all_slots_ = false;
    new_ = nullptr;
}

PyObject *SharedFloats::make(double value) {
    if (value >= 0.0 && value < (double) size && !std::signbit(value)) {
        int whole = (int) value;
        if ((double) whole == value) {
            PyObject *&shared = floats_[(size_t) whole];
            if (!shared && !(shared = PyFloat_FromDouble(value)))
                throw nb::python_error();
            return Py_NewRef(shared);
        }
    }
    PyObject *result = PyFloat_FromDouble(value);
    if (!result)
        throw nb::python_error();
    return result;
}

void SharedFloats::clear() {
    for (PyObject *&shared : floats_)
        Py_CLEAR(shared);
}

void untrack_atomic(PyObject *tuple) {
    if (!PyTuple_CheckExact(tuple) || !PyObject_GC_IsTracked(tuple))
        return;
    Py_ssize_t n = PyTuple_Size(tuple);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!is_atomic(PyTuple_GetItem(tuple, i)))
            return;
    PyObject_GC_UnTrack(tuple);
}

nb::object atomic_pair(PyObject *first, PyObject *second) {
    PyObject *pair = PyTuple_Pack(2, first, second);
    if (!pair)
        throw nb::python_error();
    if (is_atomic(first) && is_atomic(second))
        PyObject_GC_UnTrack(pair);  // a new tuple is tracked
    return nb::steal(pair);
}

FilledDict::FilledDict() : dict_(nb::steal<nb::dict>(host_new_dict())) {}

nb::dict FilledDict::done() {
    if (untracked_ && PyObject_GC_IsTracked(dict_.ptr()))
        PyObject_GC_UnTrack(dict_.ptr());
    return dict_;
}

}  // namespace host
