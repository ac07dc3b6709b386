// The speed tricks, in one place.  Each stands for a plain host path and is
// used only behind the guard that makes it give exactly what that path gives;
// where the guard says no, the caller takes the plain path.  None of them
// spans a call into code of the user's: user code always runs with the
// interpreter as the user left it.
//
//   trick                    plain path                     guard
//   SlotField::read          getattr(obj, field)            exact class, filled slot
//   RecordMaker::make        cls(**fields)                  the prepared class, unchanged
//   RecordMaker::make_atomic cls(**fields), tracked         as make; fields of atomic types
//   SharedFloats::get        float(value)                   whole value in [0, 1024), not -0.0
//   untrack_atomic,          (left to the collector)        items of atomic types only
//   atomic_pair
//   FilledDict::done         (left to the collector)        all keys and values untracked
//   CollectorPause           (collector left alone)         encloses no user code
#pragma once

#include "host/module.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace host {

namespace nb = nanobind;

// A field of a frozen, slotted data class, read straight from its slot.  The
// slot's place in an instance is found once, by storing a sentinel through
// the field's own descriptor into a bare instance and looking for it (not
// found: every read takes the plain path).  Guard: the instance's class is
// exactly the class the place was found for (a subclass may lay the slot out
// elsewhere) and the slot is filled.  A read does not look the field up on
// the class again: a class whose field descriptor was replaced after the
// place was found (`DispersionProfile.shares = property(...)`) still has its
// instances' own slot read.
class SlotField : public Holder {
  public:
    explicit SlotField(State *owner) : Holder(owner) {}
    ~SlotField() override { SlotField::clear(); }

    void find(nb::handle cls, const char *name);
    // Borrowed; null when the caller must read the attribute the plain way.
    PyObject *read(PyObject *instance) const {
        if (offset_ < 0 || reinterpret_cast<PyObject *>(Py_TYPE(instance)) != cls_)
            return nullptr;
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(instance) + offset_);
    }

    int visit(visitproc visit, void *arg) override {
        Py_VISIT(cls_);
        return 0;
    }
    void clear() override {
        offset_ = -1;
        Py_CLEAR(cls_);
    }

  private:
    PyObject *cls_ = nullptr;
    Py_ssize_t offset_ = -1;
};

// Instances of a frozen, slotted data class made without running its
// __init__: `object.__new__(cls)`, then each field stored in field order as
// the generated __init__ stores it (through `object.__setattr__`, here
// straight into the field's slot) -- so the instances equal, hash and print
// exactly like `cls(**fields)`.  Guard (usable): `cls` is the prepared class,
// which had no __post_init__ when prepared (its generated __init__ then calls
// none), and is still as it was prepared -- the same __new__ and __init__, the
// fields' own slot descriptors, no finalizer.  Check it once per batch of
// records, and unchanged() per record where user code runs between them;
// make_by_call is the plain path.
class RecordMaker : public Holder {
  public:
    static constexpr size_t max_fields = 8;

    explicit RecordMaker(State *owner) : Holder(owner) {}
    ~RecordMaker() override { RecordMaker::clear(); }

    void prepare(nb::handle cls, std::initializer_list<const char *> fields);
    bool usable(nb::handle cls) const;
    // The part of usable() that code of the user's run since may have
    // changed cheaply enough to check per record: the same __new__ and
    // __init__, no finalizer (the class being the one usable() accepted).
    bool unchanged() const;
    // New instance; values[i] (borrowed) is the value of the i-th field.
    // Only after usable() said yes for the class.
    nb::object make(PyObject *const *values) const;
    // make(), then the instance taken out of the collector's care when every
    // value is atomic (exact str, int, float or None): a record of a frozen
    // class can then only be part of a reference cycle if code stores into
    // its slots through object.__setattr__, past the class's own refusal --
    // what no caller of a frozen record does (such a cycle would be kept, not
    // collected).  The collector then never walks the table's records.
    nb::object make_atomic(PyObject *const *values) const;
    // make_atomic() from new references, which the instance's slots take
    // (they are released when the instance cannot be made).
    nb::object make_atomic_owned(PyObject *const *values) const;
    // The plain path: `cls(**{field: value, ...})` with the prepared names.
    nb::object make_by_call(nb::handle cls, PyObject *const *values) const;
    size_t size() const { return count_; }

    int visit(visitproc visit, void *arg) override;
    void clear() override;

  private:
    PyObject *cls_ = nullptr;
    PyObject *init_ = nullptr;
    nb::str init_name_{"__init__"};
    nb::tuple no_args_;
    newfunc new_ = nullptr;
    size_t count_ = 0;
    std::array<PyObject *, max_fields> names_{};
    std::array<PyObject *, max_fields> descriptors_{};
    std::array<Py_ssize_t, max_fields> offsets_{};
    bool all_slots_ = false;  // every field has a slot of its own
};

// Float objects of whole counts shared across a table: the floats 0.0 to
// 1023.0 are made once and handed out again, so a large table of counts does
// not box every cell anew.  Guard: the value is a whole number in [0, 1024)
// and not -0.0; any other value gets a new float.  Floats are immutable: only
// an identity test tells a shared one from a new one.
class SharedFloats : public Holder {
  public:
    static constexpr int size = 1024;

    explicit SharedFloats(State *owner) : Holder(owner) {}
    ~SharedFloats() override { SharedFloats::clear(); }

    nb::object get(double value) { return nb::steal(new_ref(value)); }
    // The same as a new reference.
    PyObject *new_ref(double value) {
        if (value >= 0.0 && value < (double) size) {
            int whole = (int) value;
            if ((double) whole == value && !std::signbit(value) && floats_[(size_t) whole])
                return Py_NewRef(floats_[(size_t) whole]);
        }
        return make(value);
    }

    int visit(visitproc, void *) override { return 0; }  // floats hold nothing
    void clear() override;

  private:
    // new_ref() of a value whose float is not shared yet, or never is.
    PyObject *make(double value);

    std::array<PyObject *, size> floats_{};
};

// The cyclic collector paused while C++ makes objects of its own, row by
// row between the calls of a user's code.  A collection only starts where the
// interpreter evaluates Python code (since CPython 3.12), but the objects made
// while it runs count towards the next one: paused, they do not, and a user's
// code that runs between two pauses -- a weather provider -- runs with the
// collector as the user left it (and as it leaves it: a provider that switches
// it off finds it off).  Contract: the scope runs no code of the user's (no
// provider, no warning, no __hash__ or __eq__ of a user's object, no
// finalizer), so nothing else can switch the collector meanwhile; at its end
// it is switched back on if, and only if, this pause switched it off.
class CollectorPause {
  public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

  private:
    bool was_enabled_;
};

// Takes a tuple out of the collector's care when its items are all exact
// str, int, float or None: such a tuple can never be part of a reference
// cycle (the collector itself would untrack it at its first pass).
void untrack_atomic(PyObject *tuple);

// True for the objects untrack_atomic accepts as items: exact str, int,
// float, or None.
inline bool is_atomic(PyObject *item) {
    return item == Py_None || PyUnicode_CheckExact(item) || PyLong_CheckExact(item) ||
           PyFloat_CheckExact(item);
}

// `(first, second)`: a new tuple, untracked as untrack_atomic would leave it.
nb::object atomic_pair(PyObject *first, PyObject *second);

// A new dict that C++ fills with no code of the user's running between its
// making and done(): when every key and value stored in it is out of the
// collector's care (atomic tuples, records of make_atomic), so is the dict,
// and a collection never walks its entries.  The dict takes itself back into
// the collector's care as soon as anything that can be tracked is stored in
// it (the interpreter's own rule for dicts).
class FilledDict {
  public:
    FilledDict();
    // `dict[key] = value`.
    void set(PyObject *key, PyObject *value) {
        if (PyDict_SetItem(dict_.ptr(), key, value) != 0)
            throw nb::python_error();
        untracked_ = untracked_ && !PyObject_GC_IsTracked(key) && !PyObject_GC_IsTracked(value);
    }
    // The dict, untracked when every entry stored was.
    nb::dict done();

  private:
    nb::dict dict_;
    bool untracked_ = true;
};

}  // namespace host
