// Floors measured in C++.  The floor of building a dispersion profile: one
// log and one exp per evaluated week, and one float object per entry of the
// two tuples (the tuples made and dropped again).  The floor of keying
// production rows: one (tag, week) tuple, one record and one dict entry per
// row, then the dict dropped.  run.py compiles this file
// into a small shared library of its own and calls it through ctypes with
// the interpreter lock held; it is never part of the package.
//
// The clock is CLOCK_MONOTONIC, the clock of time.perf_counter_ns.
#include <Python.h>

#include <structmember.h>

#include <cmath>
#include <ctime>

namespace {

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long) t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The weeks the weight pass evaluates, with their log + exp: the pass of the
// builder, tail stop included.  Returns the total of the weights.
double weight_pass(double amplitude, double peak, double spread, long *weeks) {
    double total = 0.0;
    long week = 1;
    for (; week < 5000; ++week) {
        double z = std::log((double) week / peak) / spread;
        double w = amplitude * std::exp(-0.5 * z * z);
        total += w;
        if ((double) week > peak && w <= 1e-15 * (1e-300 > total ? 1e-300 : total))
            break;
    }
    *weeks = week < 5000 ? week : 4999;
    return total;
}

}  // namespace

extern "C" {

// The least time, in nanoseconds, of `repeats` runs of: the weight pass of
// (amplitude, peak, spread), then two tuples of `entries` floats each.
// `*weeks` receives the number of weeks evaluated.  -1 when the host fails.
double profile_floor_ns(double amplitude, double peak, double spread, long entries,
                        long repeats, long *weeks) {
    long long best = -1;
    volatile double sink = 0.0;
    for (long r = 0; r < repeats; ++r) {
        long long t0 = now_ns();
        double total = weight_pass(amplitude, peak, spread, weeks);
        PyObject *shares = PyTuple_New(entries);
        PyObject *cumulative = PyTuple_New(entries);
        if (!shares || !cumulative)
            return -1.0;
        for (long k = 0; k < entries; ++k) {
            PyObject *a = PyFloat_FromDouble(total / (double) (k + 1));
            PyObject *b = PyFloat_FromDouble((double) k / total);
            if (!a || !b)
                return -1.0;
            PyTuple_SET_ITEM(shares, k, a);
            PyTuple_SET_ITEM(cumulative, k, b);
        }
        Py_DECREF(shares);
        Py_DECREF(cumulative);
        long long t = now_ns() - t0;
        sink = sink + total;
        if (best < 0 || t < best)
            best = t;
    }
    return (double) best;
}

// The least time, in nanoseconds, of `repeats` runs of: a fresh dict
// holding, for each row i, the key (tags[i], weeks[i]) and a new instance of
// `cls` whose slots `fields` hold counts[i] -- the objects every keyed row
// needs, made with nothing else: no provider, no check, no column read --
// then the dict dropped.  Keys and records are kept out of the collector as
// the package keeps them.  The lists are of equal length; counts[i] is a
// tuple of len(fields) values.  -1 when the host fails.
double observations_floor_ns(PyObject *cls, PyObject *fields, PyObject *tags, PyObject *weeks,
                             PyObject *counts, long repeats) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    Py_ssize_t n_fields = PyTuple_GET_SIZE(fields);
    Py_ssize_t offsets[16];
    if (n_fields > 16)
        return -1.0;
    for (Py_ssize_t k = 0; k < n_fields; ++k) {
        PyObject *descriptor = PyObject_GetAttr(cls, PyTuple_GET_ITEM(fields, k));
        if (!descriptor || Py_TYPE(descriptor) != &PyMemberDescr_Type)
            return -1.0;
        offsets[k] = reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member->offset;
        Py_DECREF(descriptor);
    }
    Py_ssize_t n = PyList_GET_SIZE(tags);
    long long best = -1;
    for (long r = 0; r < repeats; ++r) {
        long long t0 = now_ns();
        PyObject *dict = PyDict_New();
        if (!dict)
            return -1.0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *key = PyTuple_Pack(2, PyList_GET_ITEM(tags, i), PyList_GET_ITEM(weeks, i));
            PyObject *record = key ? type->tp_alloc(type, 0) : nullptr;
            if (!record)
                return -1.0;
            PyObject_GC_UnTrack(key);
            PyObject *values = PyList_GET_ITEM(counts, i);
            for (Py_ssize_t k = 0; k < n_fields; ++k)
                *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record) + offsets[k]) =
                    Py_NewRef(PyTuple_GET_ITEM(values, k));
            PyObject_GC_UnTrack(record);
            int failed = PyDict_SetItem(dict, key, record);
            Py_DECREF(key);
            Py_DECREF(record);
            if (failed)
                return -1.0;
        }
        PyObject_GC_UnTrack(dict);
        Py_DECREF(dict);
        long long t = now_ns() - t0;
        if (best < 0 || t < best)
            best = t;
    }
    return (double) best;
}

}  // extern "C"
