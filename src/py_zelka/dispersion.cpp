// py_zelka.dispersion -- spreading an event of a plant cohort (flowering,
// sucker selection, harvest) over the weeks after the week in which the
// cohort crossed its degree-day threshold.
//
// Every function takes its arguments as host objects.  Exact floats and exact
// ints small enough to be held in a double without loss (|n| <= 2**53) are
// worked on in C++ with the operations the interpreter itself performs on
// them: the same operation order, the C library's log and exp, no
// contraction.  Anything else -- numpy scalars, bool, Fraction, Decimal, other
// sequences -- goes through the host's own comparisons, arithmetic and
// indexing, so results keep the host's types and errors arise where the host
// raises them.  Whenever the C++ path meets a step at which the host would
// raise (a division by zero, the logarithm of a non-positive number, an index
// that is not an int), it hands the whole call to the host path, which then
// raises that error at that step: the C++ path has no side effects to undo.
#include "host/fastpath.hpp"
#include "host/capi.hpp"
#include "host/host.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nb = nanobind;

namespace {

using host::checked;
using host::interned;

// ---------------------------------------------------------------------------
// Host objects cached once at module initialisation (never released).

PyObject *profile_cls = nullptr;    // DispersionProfile
PyObject *module_dict = nullptr;    // the module's namespace: its constants are read from it
PyObject *math_log = nullptr;       // math.log
PyObject *math_exp = nullptr;       // math.exp
PyObject *builtin_round = nullptr;  // round
PyObject *empty_tuple = nullptr;    // ()
PyObject *zero_tuple = nullptr;     // (0.0,)
PyObject *one_tuple = nullptr;      // (1.0,)
PyObject *s_shares = nullptr;
PyObject *s_cumulative = nullptr;
PyObject *s_week_limit = nullptr;
PyObject *s_tolerance = nullptr;
newfunc profile_new = nullptr;      // DispersionProfile's tp_new (object's), when it has no __post_init__
Py_ssize_t shares_offset = -1;      // where a DispersionProfile holds its fields
Py_ssize_t cumulative_offset = -1;

// The literals of the algorithms, as the host objects they are.
PyObject *int_0 = nullptr;
PyObject *int_1 = nullptr;
PyObject *float_0 = nullptr;
PyObject *float_1 = nullptr;
PyObject *float_minus_half = nullptr;
PyObject *float_remaining_floor = nullptr;  // 1e-12
PyObject *float_tail_ratio = nullptr;       // 1e-15
PyObject *float_total_floor = nullptr;      // 1e-300

constexpr double remaining_floor = 1e-12;
constexpr double tail_ratio = 1e-15;
constexpr double total_floor = 1e-300;

PyObject *leaked_float(double v) { return checked(PyFloat_FromDouble(v)); }

nb::object new_float(double v) { return nb::steal(checked(PyFloat_FromDouble(v))); }

nb::object ref(PyObject *o) { return nb::borrow(o); }

// ---------------------------------------------------------------------------
// Numbers the C++ path works on.

constexpr long long exact_limit = 1LL << 53;

// An exact float, or an exact int that a double holds without loss: its
// value.  False for anything else.
inline bool fast_number(PyObject *o, double &value) {
    if (Py_IS_TYPE(o, &PyFloat_Type)) {
        value = PyFloat_AsDouble(o);
        return true;
    }
    if (Py_IS_TYPE(o, &PyLong_Type)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || v > exact_limit || v < -exact_limit)
            return false;
        value = (double) v;
        return true;
    }
    return false;
}

// An exact int as a week count, saturated at the ends of long long: a
// saturated value compares with any table length as the int itself does.
inline bool fast_week(PyObject *o, long long &week) {
    if (!Py_IS_TYPE(o, &PyLong_Type))
        return false;
    int overflow = 0;
    week = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow > 0)
        week = LLONG_MAX;
    else if (overflow < 0)
        week = LLONG_MIN;
    return true;
}

// The items of an exact tuple or list, read without a host call per item.
struct FastTable {
    PyObject *seq = nullptr;
    bool is_tuple = false;
    Py_ssize_t size = 0;

    bool open(PyObject *o) {
        if (Py_IS_TYPE(o, &PyTuple_Type)) {
            is_tuple = true;
            size = PyTuple_Size(o);
        } else if (Py_IS_TYPE(o, &PyList_Type)) {
            is_tuple = false;
            size = PyList_Size(o);
        } else {
            return false;
        }
        seq = o;
        return true;
    }
    // Borrowed; the index lies in [0, size).
    PyObject *item(Py_ssize_t i) const {
        return is_tuple ? PyTuple_GetItem(seq, i) : PyList_GetItem(seq, i);
    }
};

// `math.log(x)` of the host for a float x, when the host returns a value
// (false where it raises the math domain error).
inline bool host_log(double x, double &r) {
    if (std::isfinite(x)) {
        if (!(x > 0.0))
            return false;
        r = std::log(x);
        return true;
    }
    if (std::isnan(x) || x > 0.0) {
        r = x;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The host's operations on host objects.

bool host_compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}
bool le(nb::handle a, nb::handle b) { return host_compare(a, b, Py_LE); }
bool lt(nb::handle a, nb::handle b) { return host_compare(a, b, Py_LT); }
bool gt(nb::handle a, nb::handle b) { return host_compare(a, b, Py_GT); }
bool ge(nb::handle a, nb::handle b) { return host_compare(a, b, Py_GE); }

bool truth(nb::handle a) {
    int r = PyObject_IsTrue(a.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object add(nb::handle a, nb::handle b) { return nb::steal(checked(PyNumber_Add(a.ptr(), b.ptr()))); }
nb::object sub(nb::handle a, nb::handle b) { return nb::steal(checked(PyNumber_Subtract(a.ptr(), b.ptr()))); }
nb::object mul(nb::handle a, nb::handle b) { return nb::steal(checked(PyNumber_Multiply(a.ptr(), b.ptr()))); }
nb::object div(nb::handle a, nb::handle b) {
    return nb::steal(checked(PyNumber_TrueDivide(a.ptr(), b.ptr())));
}
nb::object length(nb::handle a) {
    Py_ssize_t n = PyObject_Size(a.ptr());
    if (n < 0)
        throw nb::python_error();
    return nb::steal(checked(PyLong_FromSsize_t(n)));
}
nb::object item(nb::handle seq, nb::handle index) {
    return nb::steal(checked(PyObject_GetItem(seq.ptr(), index.ptr())));
}
nb::object attr(nb::handle o, PyObject *name) { return nb::steal(checked(PyObject_GetAttr(o.ptr(), name))); }

// A module constant, looked up as the functions' global name.
nb::object module_constant(PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(module_dict, name);
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// dispersion_weight

// The weight of a week after the threshold (week > 0) in doubles; false where
// the host would raise (zero divisor, logarithm of a non-positive ratio).
inline bool weight_in_doubles(double week, double amplitude, double peak_weeks, double spread,
                              double &w) {
    if (peak_weeks == 0.0)
        return false;
    double log_ratio;
    if (!host_log(week / peak_weeks, log_ratio))
        return false;
    if (spread == 0.0)
        return false;
    double z = log_ratio / spread;
    // exp of a non-positive number or of NaN: never an error of the host's.
    w = amplitude * std::exp(-0.5 * z * z);
    return true;
}

nb::object weight_by_host(nb::handle week, nb::handle amplitude, nb::handle peak_weeks,
                          nb::handle spread) {
    if (le(week, int_0))
        return ref(float_0);
    nb::object z = div(host::call(math_log, div(week, peak_weeks)), spread);
    return mul(amplitude, host::call(math_exp, mul(mul(float_minus_half, z), z)));
}

nb::object dispersion_weight(nb::handle week, nb::handle amplitude, nb::handle peak_weeks,
                             nb::handle spread) {
    double wk, amp, peak, spr;
    if (fast_number(week.ptr(), wk) && fast_number(amplitude.ptr(), amp) &&
        fast_number(peak_weeks.ptr(), peak) && fast_number(spread.ptr(), spr)) {
        if (wk <= 0.0)
            return ref(float_0);
        double w;
        if (weight_in_doubles(wk, amp, peak, spr, w))
            return new_float(w);
    }
    return weight_by_host(week, amplitude, peak_weeks, spread);
}

// ---------------------------------------------------------------------------
// hazard_from_table

nb::object hazard_from_table(nb::handle weeks_since_threshold, nb::handle hazard_weeks) {
    long long week;
    FastTable table;
    if (fast_week(weeks_since_threshold.ptr(), week) && table.open(hazard_weeks.ptr())) {
        if (week <= 0 || table.size == 0)
            return ref(float_0);
        long long n = (long long) table.size;
        return nb::borrow(table.item((Py_ssize_t) ((n < week ? n : week) - 1)));
    }
    if (le(weeks_since_threshold, int_0))
        return ref(float_0);
    if (!truth(hazard_weeks))
        return ref(float_0);
    nb::object n = length(hazard_weeks);
    nb::handle last = lt(n, weeks_since_threshold) ? nb::handle(n) : weeks_since_threshold;
    return item(hazard_weeks, sub(last, int_1));
}

// ---------------------------------------------------------------------------
// hazard_from_shares

nb::object hazard_from_shares_by_host(nb::handle weeks_since_threshold, nb::handle shares) {
    if (le(weeks_since_threshold, int_0) || !truth(shares))
        return ref(float_0);
    if (gt(weeks_since_threshold, length(shares)))
        return ref(float_1);
    nb::object done = ref(float_0);
    nb::object before = sub(weeks_since_threshold, int_1);
    nb::object head = item(shares, nb::steal(checked(PySlice_New(nullptr, before.ptr(), nullptr))));
    for (nb::handle x : head) {
        nb::object h = add(done, gt(x, float_0) ? x : nb::handle(float_0));
        done = lt(h, float_1) ? h : ref(float_1);
    }
    nb::object remaining = sub(float_1, done);
    if (le(remaining, float_remaining_floor))
        return ref(float_1);
    nb::object x = item(shares, before);
    nb::object p = div(gt(x, float_0) ? nb::handle(x) : nb::handle(float_0), remaining);
    return lt(p, float_1) ? p : ref(float_1);
}

// The simulation asks hazard_from_shares week after week about one table (the
// harvest section's hazard_weeks).  For a tuple of plain numbers the capped
// running sums are therefore kept for the last few tables seen: a tuple and
// its numbers cannot change, and the cache holds a reference to each tuple it
// describes, so an entry stays true for as long as it is kept.  The sums are
// the same additions, in the same order, as the loop below makes.
struct SharesTable {
    PyObject *tuple = nullptr;    // strong reference (never released at exit)
    std::vector<double> values;   // the entries
    std::vector<double> done;     // done[k]: the capped sum of the first k entries
};

constexpr size_t shares_cache_size = 4;
SharesTable shares_cache[shares_cache_size];
size_t shares_cache_next = 0;

const SharesTable *cached_shares(PyObject *tuple, Py_ssize_t size) {
    for (const SharesTable &entry : shares_cache)
        if (entry.tuple == tuple)
            return &entry;
    SharesTable fresh;
    fresh.values.reserve((size_t) size);
    fresh.done.reserve((size_t) size + 1);
    double done = 0.0, x;
    fresh.done.push_back(done);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!fast_number(PyTuple_GetItem(tuple, i), x))
            return nullptr;
        fresh.values.push_back(x);
        double h = done + (x > 0.0 ? x : 0.0);
        done = h < 1.0 ? h : 1.0;
        fresh.done.push_back(done);
    }
    SharesTable &slot = shares_cache[shares_cache_next];
    shares_cache_next = (shares_cache_next + 1) % shares_cache_size;
    PyObject *replaced = slot.tuple;
    slot = std::move(fresh);
    slot.tuple = Py_NewRef(tuple);
    Py_XDECREF(replaced);  // a tuple of plain numbers: freeing it runs no code
    return &slot;
}

nb::object hazard_from_shares(nb::handle weeks_since_threshold, nb::handle shares) {
    long long week;
    FastTable table;
    if (fast_week(weeks_since_threshold.ptr(), week) && table.open(shares.ptr())) {
        if (week <= 0 || table.size == 0)
            return ref(float_0);
        if (week > (long long) table.size)
            return ref(float_1);
        if (table.is_tuple) {
            if (const SharesTable *cached = cached_shares(shares.ptr(), table.size)) {
                double remaining = 1.0 - cached->done[(size_t) week - 1];
                if (remaining <= remaining_floor)
                    return ref(float_1);
                double x = cached->values[(size_t) week - 1];
                double p = (x > 0.0 ? x : 0.0) / remaining;
                return p < 1.0 ? new_float(p) : ref(float_1);
            }
        }
        double done = 0.0, x;
        bool fast = true;
        for (Py_ssize_t i = 0; i < (Py_ssize_t) week - 1; ++i) {
            if (!fast_number(table.item(i), x)) {
                fast = false;
                break;
            }
            double h = done + (x > 0.0 ? x : 0.0);
            done = h < 1.0 ? h : 1.0;
        }
        if (fast) {
            double remaining = 1.0 - done;
            if (remaining <= remaining_floor)
                return ref(float_1);
            if (fast_number(table.item((Py_ssize_t) week - 1), x)) {
                double p = (x > 0.0 ? x : 0.0) / remaining;
                return p < 1.0 ? new_float(p) : ref(float_1);
            }
        }
    }
    return hazard_from_shares_by_host(weeks_since_threshold, shares);
}

// ---------------------------------------------------------------------------
// DispersionProfile methods

// `self.shares` / `self.cumulative`: read straight from the slot of a
// DispersionProfile itself, through the attribute for anything else.
inline nb::object profile_field(nb::handle self, Py_ssize_t offset, PyObject *name) {
    if (offset >= 0 && Py_IS_TYPE(self.ptr(), (PyTypeObject *) profile_cls)) {
        if (PyObject *value = host::read_slot(self.ptr(), offset))
            return nb::borrow(value);
    }
    return attr(self, name);
}

nb::object share(nb::handle self, nb::handle weeks_since_threshold) {
    long long week;
    if (fast_week(weeks_since_threshold.ptr(), week)) {
        if (week <= 0)
            return ref(float_0);
        nb::object shares = profile_field(self, shares_offset, s_shares);
        FastTable table;
        if (table.open(shares.ptr())) {
            if (week >= (long long) table.size)
                return ref(float_0);
            return nb::borrow(table.item((Py_ssize_t) week));
        }
    }
    if (le(weeks_since_threshold, int_0))
        return ref(float_0);
    nb::object shares = profile_field(self, shares_offset, s_shares);
    if (ge(weeks_since_threshold, length(shares)))
        return ref(float_0);
    return item(shares, weeks_since_threshold);
}

nb::object fraction_done(nb::handle self, nb::handle weeks_since_threshold) {
    long long week;
    if (fast_week(weeks_since_threshold.ptr(), week)) {
        if (week <= 0)
            return ref(float_0);
        nb::object cumulative = profile_field(self, cumulative_offset, s_cumulative);
        FastTable table;
        if (table.open(cumulative.ptr())) {
            if (table.size == 0)
                return ref(float_0);
            if (week >= (long long) table.size)
                return ref(float_1);
            return nb::borrow(table.item((Py_ssize_t) week));
        }
    }
    if (le(weeks_since_threshold, int_0))
        return ref(float_0);
    nb::object cumulative = profile_field(self, cumulative_offset, s_cumulative);
    if (!truth(cumulative))
        return ref(float_0);
    if (ge(weeks_since_threshold, length(cumulative)))
        return ref(float_1);
    return item(cumulative, weeks_since_threshold);
}

nb::object hazard_by_host(nb::handle self, nb::handle weeks_since_threshold) {
    if (le(weeks_since_threshold, int_0))
        return ref(float_0);
    nb::object shares = profile_field(self, shares_offset, s_shares);
    if (!truth(shares))
        return ref(float_0);
    if (ge(weeks_since_threshold, sub(length(shares), int_1)))
        return ref(float_1);
    nb::object done = item(profile_field(self, cumulative_offset, s_cumulative), sub(weeks_since_threshold, int_1));
    nb::object remaining = sub(float_1, done);
    if (le(remaining, float_remaining_floor))
        return ref(float_1);
    nb::object p = div(item(shares, weeks_since_threshold), remaining);
    return lt(p, float_1) ? p : ref(float_1);
}

nb::object hazard(nb::handle self, nb::handle weeks_since_threshold) {
    long long week;
    if (fast_week(weeks_since_threshold.ptr(), week)) {
        if (week <= 0)
            return ref(float_0);
        nb::object shares = profile_field(self, shares_offset, s_shares);
        FastTable s;
        if (s.open(shares.ptr())) {
            if (s.size == 0)
                return ref(float_0);
            if (week >= (long long) s.size - 1)
                return ref(float_1);
            nb::object cumulative = profile_field(self, cumulative_offset, s_cumulative);
            FastTable c;
            double done, x;
            if (c.open(cumulative.ptr()) && week - 1 < (long long) c.size &&
                fast_number(c.item((Py_ssize_t) week - 1), done)) {
                double remaining = 1.0 - done;
                if (remaining <= remaining_floor)
                    return ref(float_1);
                if (fast_number(s.item((Py_ssize_t) week), x)) {
                    double p = x / remaining;
                    return p < 1.0 ? new_float(p) : ref(float_1);
                }
            }
        }
    }
    return hazard_by_host(self, weeks_since_threshold);
}

// ---------------------------------------------------------------------------
// build_dispersion_profile

// `DispersionProfile(shares, cumulative)`: the fields in their order.
// Where both slots were found, the instance is made as the generated
// __init__ makes it, without running it: a bare instance whose two slots
// take the fields in order (what its `object.__setattr__` calls store).
nb::object make_profile(nb::handle shares, nb::handle cumulative) {
    if (profile_new && shares_offset >= 0 && cumulative_offset >= 0) {
        PyObject *o = checked(profile_new((PyTypeObject *) profile_cls, empty_tuple, nullptr));
        *(PyObject **) ((char *) o + shares_offset) = shares.inc_ref().ptr();
        *(PyObject **) ((char *) o + cumulative_offset) = cumulative.inc_ref().ptr();
        return nb::steal(o);
    }
    PyObject *args[] = {shares.ptr(), cumulative.ptr()};
    return nb::steal(checked(PyObject_Vectorcall(profile_cls, args, 2, nullptr)));
}

// The upper bound of the weight pass, as `range` takes it; a bound beyond
// long long is never reached (the tail stop or the memory ends the pass first).
long long week_limit() {
    nb::object limit = nb::steal(checked(PyNumber_Index(module_constant(s_week_limit).ptr())));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (overflow > 0)
        return LLONG_MAX;
    if (overflow < 0)
        return LLONG_MIN;
    return v;
}

// Every weight underflowed: the whole cohort falls in week round(peak_weeks)
// (at least week 1).
nb::object point_mass(nb::handle peak_weeks) {
    nb::object n = host::call(builtin_round, peak_weeks);
    if (!gt(n, int_1))
        n = ref(int_1);
    nb::object t = add(mul(zero_tuple, n), one_tuple);
    return make_profile(t, t);
}

nb::object tuple_of(const std::vector<double> &values) {
    nb::object t = nb::steal(checked(PyTuple_New((Py_ssize_t) values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        if (PyTuple_SetItem(t.ptr(), (Py_ssize_t) i, leaked_float(values[i])) != 0)
            throw nb::python_error();
    return t;
}

nb::object tuple_of(const std::vector<nb::object> &values) {
    nb::object t = nb::steal(checked(PyTuple_New((Py_ssize_t) values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        if (PyTuple_SetItem(t.ptr(), (Py_ssize_t) i, values[i].inc_ref().ptr()) != 0)
            throw nb::python_error();
    return t;
}

nb::object build_by_host(nb::handle amplitude, nb::handle peak_weeks, nb::handle spread) {
    if (le(amplitude, float_0))
        return make_profile(empty_tuple, empty_tuple);
    std::vector<nb::object> raw{ref(float_0)};
    nb::object total = ref(float_0);
    long long limit = week_limit();
    for (long long k = 1; k < limit; ++k) {
        nb::object week = nb::steal(checked(PyLong_FromLongLong(k)));
        nb::object w = weight_by_host(week, amplitude, peak_weeks, spread);
        raw.push_back(w);
        total = add(total, w);
        if (gt(week, peak_weeks) &&
            le(w, mul(float_tail_ratio, gt(float_total_floor, total) ? nb::handle(float_total_floor)
                                                                     : nb::handle(total))))
            break;
    }
    if (le(total, float_0))
        return point_mass(peak_weeks);
    nb::object closing = sub(float_1, module_constant(s_tolerance));
    std::vector<nb::object> shares{ref(float_0)}, cumulative{ref(float_0)};
    nb::object running = ref(float_0);
    for (size_t k = 1; k < raw.size(); ++k) {
        nb::object s = div(raw[k], total);
        if (ge(add(running, s), closing)) {
            shares.push_back(sub(float_1, running));
            cumulative.push_back(ref(float_1));
            break;
        }
        running = add(running, s);
        shares.push_back(s);
        cumulative.push_back(running);
    }
    return make_profile(tuple_of(shares), tuple_of(cumulative));
}

nb::object build_dispersion_profile(nb::handle amplitude, nb::handle peak_weeks, nb::handle spread) {
    double amp, peak, spr;
    if (!(fast_number(amplitude.ptr(), amp) && fast_number(peak_weeks.ptr(), peak) &&
          fast_number(spread.ptr(), spr)))
        return build_by_host(amplitude, peak_weeks, spread);
    if (amp <= 0.0)
        return make_profile(empty_tuple, empty_tuple);

    // Weight pass.
    std::vector<double> raw{0.0};
    raw.reserve(128);
    double total = 0.0;
    long long limit = week_limit();
    for (long long week = 1; week < limit; ++week) {
        double w;
        if (!weight_in_doubles((double) week, amp, peak, spr, w))
            return build_by_host(amplitude, peak_weeks, spread);
        raw.push_back(w);
        total += w;
        if ((double) week > peak && w <= tail_ratio * (total_floor > total ? total_floor : total))
            break;
    }
    if (total <= 0.0)
        return point_mass(peak_weeks);

    // Normalisation pass.
    double tolerance;
    if (!fast_number(module_constant(s_tolerance).ptr(), tolerance))
        return build_by_host(amplitude, peak_weeks, spread);
    const double closing = 1.0 - tolerance;
    std::vector<double> shares{0.0}, cumulative{0.0};
    shares.reserve(raw.size());
    cumulative.reserve(raw.size());
    double running = 0.0;
    for (size_t k = 1; k < raw.size(); ++k) {
        double s = raw[k] / total;
        if (running + s >= closing) {
            shares.push_back(1.0 - running);
            cumulative.push_back(1.0);
            break;
        }
        running = running + s;
        shares.push_back(s);
        cumulative.push_back(running);
    }
    return make_profile(tuple_of(shares), tuple_of(cumulative));
}

// ---------------------------------------------------------------------------
// Entry points, called with the interpreter's fast calling convention.

constexpr const char *week_only[] = {"weeks_since_threshold"};
constexpr const char *weight_names[] = {"weeks_since_threshold", "amplitude", "peak_weeks",
                                        "spread"};
constexpr const char *table_names[] = {"weeks_since_threshold", "hazard_weeks"};
constexpr const char *shares_names[] = {"weeks_since_threshold", "shares"};
constexpr const char *build_names[] = {"amplitude", "peak_weeks", "spread"};

constexpr host::Signature weight_sig{"dispersion_weight", weight_names, 1, 4, 0};
constexpr host::Signature table_sig{"hazard_from_table", table_names, 2, 2, 0};
constexpr host::Signature shares_sig{"hazard_from_shares", shares_names, 2, 2, 0};
constexpr host::Signature build_sig{"build_dispersion_profile", build_names, 3, 3, 0};
constexpr host::Signature share_sig{"DispersionProfile.share", week_only, 1, 1, 1};
constexpr host::Signature fraction_done_sig{"DispersionProfile.fraction_done", week_only, 1, 1, 1};
constexpr host::Signature hazard_sig{"DispersionProfile.hazard", week_only, 1, 1, 1};

nb::object weight_body(PyObject *, PyObject **a) { return dispersion_weight(a[0], a[1], a[2], a[3]); }
nb::object table_body(PyObject *, PyObject **a) { return hazard_from_table(a[0], a[1]); }
nb::object shares_body(PyObject *, PyObject **a) { return hazard_from_shares(a[0], a[1]); }
nb::object build_body(PyObject *, PyObject **a) { return build_dispersion_profile(a[0], a[1], a[2]); }
nb::object share_body(PyObject *self, PyObject **a) { return share(self, a[0]); }
nb::object fraction_done_body(PyObject *self, PyObject **a) { return fraction_done(self, a[0]); }
nb::object hazard_body(PyObject *self, PyObject **a) { return hazard(self, a[0]); }

PyMethodDef weight_def = host::fast_def(
    "dispersion_weight", &host::fast_entry<weight_sig, weight_body>,
    "dispersion_weight(weeks_since_threshold, *, amplitude, peak_weeks, spread)\n--\n\n"
    "The unnormalised log-normal weight of one week after the threshold.\n\n"
    "0.0 for the threshold week and the weeks before it; otherwise\n"
    "amplitude * exp(-0.5 * z * z) with z = log(weeks_since_threshold / peak_weeks)\n"
    "/ spread.  The weight is amplitude in the week equal to peak_weeks and falls\n"
    "off symmetrically in the logarithm of time, spread being the width.  A zero\n"
    "peak_weeks or spread raises ZeroDivisionError, a negative ratio of week to\n"
    "peak_weeks the math domain ValueError.");

PyMethodDef table_def = host::fast_def(
    "hazard_from_table", &host::fast_entry<table_sig, table_body>,
    "hazard_from_table(weeks_since_threshold, hazard_weeks)\n--\n\n"
    "The harvest hazard of a week under the 'current_pool' rate basis.\n\n"
    "Entry k of hazard_weeks is the weekly hazard of week k + 1 after the harvest\n"
    "threshold.  Weeks past the end of the table repeat its last entry; the\n"
    "threshold week, the weeks before it and an empty table give 0.0.  The entry\n"
    "is returned as stored, without conversion or clamping.");

PyMethodDef build_def = host::fast_def(
    "build_dispersion_profile", &host::fast_entry<build_sig, build_body>,
    "build_dispersion_profile(amplitude, peak_weeks, spread)\n--\n\n"
    "The log-normal weekly profile of a section's amplitude, peak_weeks and spread.\n\n"
    "The weights of weeks 1 to PROFILE_WEEK_LIMIT - 1 (see dispersion_weight) are\n"
    "evaluated until the first week after the peak whose weight is at most 1e-15\n"
    "of the total so far, then normalised into shares; the profile closes at the\n"
    "first week whose cumulative fraction reaches 1 - COMPLETION_TOLERANCE, that\n"
    "week taking the rest so that the last cumulative fraction is exactly 1.0.\n"
    "An amplitude <= 0 gives the empty profile; when every weight underflows, the\n"
    "whole cohort falls in week round(peak_weeks) (at least week 1).\n\n"
    "Profiles are cached (functools.lru_cache, 128 entries): equal arguments give\n"
    "the same profile object.");

PyMethodDef shares_def = host::fast_def(
    "hazard_from_shares", &host::fast_entry<shares_sig, shares_body>,
    "hazard_from_shares(weeks_since_threshold, shares)\n--\n\n"
    "The harvest hazard of a week under the 'cohort' rate basis.\n\n"
    "Entry k of shares is the share of the cohort at the harvest threshold that is\n"
    "harvested in week k + 1.  The hazard is that week's share over what is left\n"
    "of the cohort at its start.  Negative entries count as 0, the cumulative\n"
    "share is capped at 1.0 and so is the hazard; the week after the table, and\n"
    "any week in which no more than 1e-12 is left, gives 1.0; the threshold week,\n"
    "the weeks before it and an empty table give 0.0.");

PyMethodDef share_def = host::fast_def(
    "share", &host::fast_entry<share_sig, share_body>,
    "share($self, /, weeks_since_threshold)\n--\n\n"
    "The fraction of the cohort that falls in the given week.\n\n"
    "0.0 for the threshold week, the weeks before it and the weeks past\n"
    "the end of the profile.");

PyMethodDef fraction_done_def = host::fast_def(
    "fraction_done", &host::fast_entry<fraction_done_sig, fraction_done_body>,
    "fraction_done($self, /, weeks_since_threshold)\n--\n\n"
    "The fraction of the cohort done by the end of the given week.\n\n"
    "0.0 up to the threshold week and for an empty profile; 1.0 past the\n"
    "end of the profile.");

PyMethodDef hazard_def = host::fast_def(
    "hazard", &host::fast_entry<hazard_sig, hazard_body>,
    "hazard($self, /, weeks_since_threshold)\n--\n\n"
    "The fraction of what is left at the start of the week that falls in it.\n\n"
    "0.0 up to the threshold week and for an empty profile; 1.0 in the\n"
    "closing week and every later one, and whenever no more than 1e-12\n"
    "of the cohort is left; never above 1.0.");

}  // namespace

NB_MODULE(dispersion, m) {
    m.doc() =
        "Dispersion of a cohort's events over the weeks after its threshold week.\n\n"
        "When a cohort of plants crosses the degree-day threshold of a phase, the event\n"
        "(flowering, sucker selection, harvest) does not befall every plant in that\n"
        "week: it is spread over the weeks that follow.  Weeks are counted as\n"
        "weeks_since_threshold, 0 being the threshold week itself.\n\n"
        "build_dispersion_profile gives the cached log-normal profile of a section's\n"
        "amplitude, peak_weeks and spread (weekly shares, cumulative fractions and\n"
        "hazards); hazard_from_table and hazard_from_shares read the harvest section's\n"
        "hazard_weeks table under the 'current_pool' and the 'cohort' rate basis.";

    math_log = host::leak(host::from_import("math", "log"));
    math_exp = host::leak(host::from_import("math", "exp"));
    builtin_round = host::leak(host::from_import("builtins", "round"));
    s_shares = interned("shares");
    s_cumulative = interned("cumulative");
    s_week_limit = interned("PROFILE_WEEK_LIMIT");
    s_tolerance = interned("COMPLETION_TOLERANCE");
    int_0 = checked(PyLong_FromLong(0));
    int_1 = checked(PyLong_FromLong(1));
    float_0 = leaked_float(0.0);
    float_1 = leaked_float(1.0);
    float_minus_half = leaked_float(-0.5);
    float_remaining_floor = leaked_float(remaining_floor);
    float_tail_ratio = leaked_float(tail_ratio);
    float_total_floor = leaked_float(total_floor);
    empty_tuple = host::leak(nb::tuple());
    zero_tuple = host::leak(nb::make_tuple(nb::handle(float_0)));
    one_tuple = host::leak(nb::make_tuple(nb::handle(float_1)));
    module_dict = host::leak(nb::borrow(PyModule_GetDict(m.ptr())));

    host::publish(m, "math", host::import("math"));
    host::publish(m, "Sequence", host::from_import("collections.abc", "Sequence"));
    host::publish(m, "dataclass", host::from_import("dataclasses", "dataclass"));
    nb::object lru_cache = host::publish(m, "lru_cache", host::from_import("functools", "lru_cache"));
    host::publish(m, "dispersion_weight", host::builtin_function(m, &weight_def));
    host::publish(m, "hazard_from_table", host::builtin_function(m, &table_def));
    host::publish(m, "COMPLETION_TOLERANCE", new_float(1e-06));
    host::publish(m, "PROFILE_WEEK_LIMIT", nb::int_(5000));

    // The methods are method descriptors of the finished class (the one the
    // slots-making decorator returns); their namespace entries are held by
    // placeholders until then, so that they stand in definition order.
    nb::object profile = host::publish(
        m, "DispersionProfile",
        host::ClassBuilder(m, "DispersionProfile",
                           "The weekly spread of a cohort's event after its threshold week.\n\n"
                           "shares      shares[k] is the fraction of the cohort that falls in\n"
                           "            week k after the threshold (index 0 is the threshold\n"
                           "            week itself)\n"
                           "cumulative  cumulative[k] is the fraction done by the end of week k\n\n"
                           "A built profile is empty (amplitude <= 0), a point mass (every\n"
                           "weight underflowed: the whole cohort in one week) or regular, its\n"
                           "cumulative fractions ending at exactly 1.0.")
            .field("shares", "tuple[float, ...]")
            .field("cumulative", "tuple[float, ...]")
            .attr("share", nb::none())
            .attr("fraction_done", nb::none())
            .attr("hazard", nb::none())
            .record());
    host::install_method(profile, &share_def);
    host::install_method(profile, &fraction_done_def);
    host::install_method(profile, &hazard_def);
    profile_cls = host::leak(profile);
    shares_offset = host::slot_offset(profile, "shares");
    cumulative_offset = host::slot_offset(profile, "cumulative");
    if (!nb::hasattr(profile, "__post_init__"))
        profile_new = (newfunc) PyType_GetSlot((PyTypeObject *) profile_cls, Py_tp_new);

    host::publish(m, "build_dispersion_profile",
                  lru_cache(nb::arg("maxsize") = 128)(host::builtin_function(m, &build_def)));
    host::publish(m, "hazard_from_shares", host::builtin_function(m, &shares_def));
}
