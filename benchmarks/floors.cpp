// The floor of building a dispersion profile, measured in C++: one log and
// one exp per evaluated week, and one float object per entry of the two
// tuples (the tuples made and dropped again).  run.py compiles this file
// into a small shared library of its own and calls it through ctypes with
// the interpreter lock held; it is never part of the package.
//
// The clock is CLOCK_MONOTONIC, the clock of time.perf_counter_ns.
#include <Python.h>

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

}  // extern "C"
