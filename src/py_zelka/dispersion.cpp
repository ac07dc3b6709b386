// py_zelka.dispersion -- spreading an event of a plant cohort (flowering,
// sucker selection, harvest) over the weeks after the week in which the
// cohort crossed its degree-day threshold.
//
// Every kernel is written once, as a template over the arithmetic it runs
// on, and instantiated twice:
//
// - Doubles: exact floats, and exact ints a double holds without loss
//   (|n| <= 2**53), worked on in C++ with the operations the interpreter
//   itself performs on them -- the same operation order, the C library's log
//   and exp, no contraction; tables that are exact tuples or lists, read
//   without a host call per item; profile fields read from their slots.
//   Its operations have no side effects, and at any step where the host
//   would raise (a division by zero, the logarithm of a non-positive number,
//   an index out of range) or would run code of its own (an item that is no
//   plain number, a field of a subclass), it gives up (Fallback) and the call
//   is run again on the host's objects.
// - Objects: the host's own comparisons, arithmetic, indexing and attribute
//   reads on whatever the caller passed -- numpy scalars, bool, Fraction,
//   Decimal, other sequences -- so that results keep the host's types and
//   errors arise where the host raises them.
//
// So "the same operations in the same order" holds by construction.
#include "host/capi.hpp"
#include "host/classes.hpp"
#include "host/host.hpp"
#include "host/speed.hpp"

#include <climits>
#include <cmath>
#include <vector>

namespace nb = nanobind;

namespace {

using host::checked;

constexpr double remaining_floor = 1e-12;
constexpr double tail_ratio = 1e-15;
constexpr double total_floor = 1e-300;

// The running sums of the last few share tables asked about (see
// Doubles::shares_done).
struct SharesTable {
    PyObject *tuple = nullptr;  // strong reference
    std::vector<double> values;
    std::vector<double> done;   // done[k]: the capped sum of the first k entries
};

class SharesCache : public host::Holder {
  public:
    static constexpr size_t size = 4;
    explicit SharesCache(host::State *owner) : Holder(owner) {}
    ~SharesCache() override { SharesCache::clear(); }
    int visit(visitproc visit, void *arg) override {
        for (const SharesTable &entry : entries)
            Py_VISIT(entry.tuple);
        return 0;
    }
    void clear() override {
        for (SharesTable &entry : entries) {
            Py_CLEAR(entry.tuple);
            entry.values.clear();
            entry.done.clear();
        }
    }
    SharesTable entries[size];
    size_t next = 0;
};

struct State : host::State {
    host::Ref math_log{this};
    host::Ref math_exp{this};
    host::Ref builtin_round{this};
    host::Ref empty_tuple{this};
    host::Ref zero_tuple{this};  // (0.0,)
    host::Ref one_tuple{this};   // (1.0,)
    // The literals of the algorithms, as the host objects they are.
    host::Ref int_0{this};
    host::Ref int_1{this};
    host::Ref float_0{this};
    host::Ref float_1{this};
    host::Ref float_minus_half{this};
    host::Ref float_remaining_floor{this};
    host::Ref float_tail_ratio{this};
    host::Ref float_total_floor{this};
    host::Ref s_shares{this};
    host::Ref s_cumulative{this};
    host::Ref s_week_limit{this};
    host::Ref s_tolerance{this};
    host::Ref s_profile{this};
    host::SlotField shares_field{this};
    host::SlotField cumulative_field{this};
    host::RecordMaker profile_maker{this};
    SharesCache shares_cache{this};
};

// A module constant, looked up as the functions' global name.
nb::object module_constant(const State &s, const host::Ref &name) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(s.module), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// Doubles

// The double path gives up: the host path takes the call.
struct Fallback {};

constexpr long long exact_limit = 1LL << 53;

// An exact float, or an exact int that a double holds without loss.
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

// An exact int as a week count, saturated at the ends of long long: a week
// is only compared with 0 and with table lengths, and used as an index where
// it is below a length, so a saturated (or rounded) huge value answers as
// the int itself.
inline bool fast_week(PyObject *o, double &week) {
    if (!Py_IS_TYPE(o, &PyLong_Type))
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    week = overflow > 0 ? (double) LLONG_MAX : overflow < 0 ? (double) LLONG_MIN : (double) v;
    return true;
}

// A number of the double path; an item of a table keeps the object stored
// there (borrowed), which is handed back unchanged when it is the result.
struct Num {
    double v = 0.0;
    PyObject *stored = nullptr;
};

// An exact tuple or list.
struct Table {
    PyObject *seq = nullptr;
    bool is_tuple = false;
    Py_ssize_t size = 0;
    PyObject *at(Py_ssize_t i) const {
        return is_tuple ? PyTuple_GetItem(seq, i) : PyList_GetItem(seq, i);
    }
};

inline bool open_table(PyObject *o, Table &t) {
    if (Py_IS_TYPE(o, &PyTuple_Type)) {
        t = {o, true, PyTuple_Size(o)};
        return true;
    }
    if (Py_IS_TYPE(o, &PyList_Type)) {
        t = {o, false, PyList_Size(o)};
        return true;
    }
    return false;
}

struct Doubles {
    using Val = Num;
    using Seq = Table;
    using Store = double;  // computed values, kept in long vectors
    State &s;

    static Store store(const Val &v) { return v.v; }
    static Val load(Store v) { return {v}; }

    Val int0() const { return {0.0}; }
    Val int1() const { return {1.0}; }
    Val float0() const { return {0.0, s.float_0.ptr()}; }
    Val float1() const { return {1.0, s.float_1.ptr()}; }
    Val minus_half() const { return {-0.5}; }
    Val remaining_floor() const { return {::remaining_floor}; }
    Val tail_ratio() const { return {::tail_ratio}; }
    Val total_floor() const { return {::total_floor}; }
    Val tolerance() const {
        double t;
        if (!fast_number(module_constant(s, s.s_tolerance).ptr(), t))
            throw Fallback();
        return {t};
    }
    Val week_number(long long k) const { return {(double) k}; }

    static double num(const Val &a) { return a.v; }
    bool le(const Val &a, const Val &b) const { return num(a) <= num(b); }
    bool lt(const Val &a, const Val &b) const { return num(a) < num(b); }
    bool gt(const Val &a, const Val &b) const { return num(a) > num(b); }
    bool ge(const Val &a, const Val &b) const { return num(a) >= num(b); }
    Val add(const Val &a, const Val &b) const { return {num(a) + num(b)}; }
    Val sub(const Val &a, const Val &b) const { return {num(a) - num(b)}; }
    Val mul(const Val &a, const Val &b) const { return {num(a) * num(b)}; }
    Val div(const Val &a, const Val &b) const {
        if (num(b) == 0.0)  // the host's ZeroDivisionError
            throw Fallback();
        return {num(a) / num(b)};
    }
    // math.log: a value where the host gives one.
    Val log(const Val &a) const {
        double x = num(a);
        if (std::isnan(x) || x == HUGE_VAL)
            return {x};
        if (!(x > 0.0) || !std::isfinite(x))  // the math domain error
            throw Fallback();
        return {std::log(x)};
    }
    // math.exp: a value where the host gives one (overflow raises there).
    Val exp(const Val &a) const {
        double x = num(a);
        double r = std::exp(x);
        if (std::isinf(r) && std::isfinite(x))
            throw Fallback();
        return {r};
    }

    bool truth(const Seq &t) const { return t.size != 0; }
    Val len(const Seq &t) const { return {(double) t.size}; }
    // seq[index] as a number (an item that is no plain number is the
    // host's); indices are whole numbers here, made from exact ints.
    Val item(const Seq &t, const Val &index) const { return stored(at(t, index)); }
    // seq[index] as stored, whatever it is, to be handed back unchanged.
    Val stored_item(const Seq &t, const Val &index) const { return {0.0, at(t, index)}; }
    static PyObject *at(const Seq &t, const Val &index) {
        double i = num(index);
        if (!(i >= 0.0) || i >= (double) t.size)
            throw Fallback();
        return t.at((Py_ssize_t) i);
    }
    static Val stored(PyObject *o) {
        Val v;
        if (!fast_number(o, v.v))
            throw Fallback();
        v.stored = o;
        return v;
    }

    // The capped running sum of seq[:end] (see capped_step).
    template <typename Step>
    Val shares_done(const Seq &t, const Val &end, Step step) const;

    Seq shares(nb::handle self) const { return field(s.shares_field, self); }
    Seq cumulative(nb::handle self) const { return field(s.cumulative_field, self); }
    static Seq field(const host::SlotField &f, nb::handle self) {
        PyObject *value = f.read(self.ptr());
        Table t;
        if (!value || !open_table(value, t))
            throw Fallback();
        return t;
    }

    nb::object result(const Val &v) const {
        if (v.stored)
            return nb::borrow(v.stored);
        return nb::steal(checked(PyFloat_FromDouble(v.v)));
    }
    nb::object tuple(const std::vector<Store> &values) const {
        nb::object t = nb::steal(checked(PyTuple_New((Py_ssize_t) values.size())));
        for (size_t i = 0; i < values.size(); ++i)
            PyTuple_SetItem(t.ptr(), (Py_ssize_t) i, checked(PyFloat_FromDouble(values[i])));
        return t;
    }
};

// ---------------------------------------------------------------------------
// Objects

struct Objects {
    using Val = nb::object;
    using Seq = nb::object;
    using Store = nb::object;
    State &s;

    static const Store &store(const Val &v) { return v; }
    static const Val &load(const Store &v) { return v; }

    Val int0() const { return s.int_0.object(); }
    Val int1() const { return s.int_1.object(); }
    Val float0() const { return s.float_0.object(); }
    Val float1() const { return s.float_1.object(); }
    Val minus_half() const { return s.float_minus_half.object(); }
    Val remaining_floor() const { return s.float_remaining_floor.object(); }
    Val tail_ratio() const { return s.float_tail_ratio.object(); }
    Val total_floor() const { return s.float_total_floor.object(); }
    Val tolerance() const { return module_constant(s, s.s_tolerance); }
    Val week_number(long long k) const { return nb::steal(checked(PyLong_FromLongLong(k))); }

    static bool compare(const Val &a, const Val &b, int op) {
        int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
        if (r < 0)
            throw nb::python_error();
        return r == 1;
    }
    bool le(const Val &a, const Val &b) const { return compare(a, b, Py_LE); }
    bool lt(const Val &a, const Val &b) const { return compare(a, b, Py_LT); }
    bool gt(const Val &a, const Val &b) const { return compare(a, b, Py_GT); }
    bool ge(const Val &a, const Val &b) const { return compare(a, b, Py_GE); }
    Val add(const Val &a, const Val &b) const { return nb::steal(checked(PyNumber_Add(a.ptr(), b.ptr()))); }
    Val sub(const Val &a, const Val &b) const {
        return nb::steal(checked(PyNumber_Subtract(a.ptr(), b.ptr())));
    }
    Val mul(const Val &a, const Val &b) const {
        return nb::steal(checked(PyNumber_Multiply(a.ptr(), b.ptr())));
    }
    Val div(const Val &a, const Val &b) const {
        return nb::steal(checked(PyNumber_TrueDivide(a.ptr(), b.ptr())));
    }
    Val log(const Val &a) const { return host::call(s.math_log, a); }
    Val exp(const Val &a) const { return host::call(s.math_exp, a); }

    bool truth(const Seq &t) const { return host::truth(t); }
    Val len(const Seq &t) const {
        Py_ssize_t n = PyObject_Size(t.ptr());
        if (n < 0)
            throw nb::python_error();
        return nb::steal(checked(PyLong_FromSsize_t(n)));
    }
    Val item(const Seq &t, const Val &index) const {
        return nb::steal(checked(PyObject_GetItem(t.ptr(), index.ptr())));
    }
    Val stored_item(const Seq &t, const Val &index) const { return item(t, index); }

    template <typename Step>
    Val shares_done(const Seq &t, const Val &end, Step step) const {
        Val head = item(t, nb::steal(checked(PySlice_New(nullptr, end.ptr(), nullptr))));
        Val done = float0();
        for (nb::handle x : head)
            done = step(*this, done, nb::borrow(x));
        return done;
    }

    Seq shares(nb::handle self) const { return nb::steal(checked(PyObject_GetAttr(self.ptr(), s.s_shares.ptr()))); }
    Seq cumulative(nb::handle self) const {
        return nb::steal(checked(PyObject_GetAttr(self.ptr(), s.s_cumulative.ptr())));
    }

    nb::object result(const Val &v) const { return v; }
    nb::object tuple(const std::vector<Store> &values) const {
        nb::object t = nb::steal(checked(PyTuple_New((Py_ssize_t) values.size())));
        for (size_t i = 0; i < values.size(); ++i)
            PyTuple_SetItem(t.ptr(), (Py_ssize_t) i, values[i].inc_ref().ptr());
        return t;
    }
};

// ---------------------------------------------------------------------------
// The kernels

// One step of the capped running sum of shares: x' = x if x > 0.0 else 0.0;
// h = done + x'; the new done is h if h < 1.0 else 1.0.
template <class O>
typename O::Val capped_step(const O &o, const typename O::Val &done, const typename O::Val &x) {
    typename O::Val h = o.add(done, o.gt(x, o.float0()) ? x : o.float0());
    return o.lt(h, o.float1()) ? h : o.float1();
}

template <typename Step>
Num Doubles::shares_done(const Table &t, const Num &end, Step step) const {
    Py_ssize_t n = (Py_ssize_t) num(end);
    if (t.is_tuple) {
        // The simulation asks about one table week after week: the running
        // sums of the last few tuples of plain numbers are kept (a tuple and
        // its numbers cannot change, and the cache holds the tuple).
        SharesCache &cache = s.shares_cache;
        for (const SharesTable &entry : cache.entries)
            if (entry.tuple == t.seq)
                return {entry.done[(size_t) n]};
        SharesTable fresh;
        Num done = float0();
        fresh.done.push_back(done.v);
        for (Py_ssize_t i = 0; i < t.size; ++i) {
            Num x;
            if (!fast_number(t.at(i), x.v))
                break;
            done = step(*this, done, x);
            fresh.done.push_back(done.v);
        }
        if ((Py_ssize_t) fresh.done.size() == t.size + 1) {
            SharesTable &slot = cache.entries[cache.next];
            cache.next = (cache.next + 1) % SharesCache::size;
            PyObject *replaced = slot.tuple;
            slot = std::move(fresh);
            slot.tuple = Py_NewRef(t.seq);
            Py_XDECREF(replaced);  // a tuple of plain numbers: freeing it runs no code
            return {slot.done[(size_t) n]};
        }
    }
    Num done = float0();
    for (Py_ssize_t i = 0; i < n; ++i)
        done = step(*this, done, stored(t.at(i)));
    return done;
}

// dispersion_weight: 0.0 up to the threshold week, else
// amplitude * exp(-0.5 * z * z) with z = log(week / peak_weeks) / spread.
template <class O>
inline __attribute__((always_inline)) typename O::Val weight(const O &o, const typename O::Val &week, const typename O::Val &amplitude,
                       const typename O::Val &peak_weeks, const typename O::Val &spread) {
    if (o.le(week, o.int0()))
        return o.float0();
    typename O::Val z = o.div(o.log(o.div(week, peak_weeks)), spread);
    return o.mul(amplitude, o.exp(o.mul(o.mul(o.minus_half(), z), z)));
}

// hazard_from_table: the entry of week w (the last entry past the end), as
// stored.
template <class O>
typename O::Val table_hazard(const O &o, const typename O::Val &w, const typename O::Seq &table) {
    if (o.le(w, o.int0()))
        return o.float0();
    if (!o.truth(table))
        return o.float0();
    typename O::Val n = o.len(table);
    return o.stored_item(table, o.sub(o.lt(n, w) ? n : w, o.int1()));
}

// hazard_from_shares: the share of week w over what is left at its start.
template <class O>
typename O::Val shares_hazard(const O &o, const typename O::Val &w, const typename O::Seq &shares) {
    if (o.le(w, o.int0()) || !o.truth(shares))
        return o.float0();
    if (o.gt(w, o.len(shares)))
        return o.float1();
    typename O::Val before = o.sub(w, o.int1());
    typename O::Val done = o.shares_done(shares, before, capped_step<O>);
    typename O::Val remaining = o.sub(o.float1(), done);
    if (o.le(remaining, o.remaining_floor()))
        return o.float1();
    typename O::Val x = o.item(shares, before);
    typename O::Val p = o.div(o.gt(x, o.float0()) ? x : o.float0(), remaining);
    return o.lt(p, o.float1()) ? p : o.float1();
}

template <class O>
typename O::Val profile_share(const O &o, nb::handle self, const typename O::Val &w) {
    if (o.le(w, o.int0()))
        return o.float0();
    typename O::Seq shares = o.shares(self);
    if (o.ge(w, o.len(shares)))
        return o.float0();
    return o.stored_item(shares, w);
}

template <class O>
typename O::Val profile_fraction_done(const O &o, nb::handle self, const typename O::Val &w) {
    if (o.le(w, o.int0()))
        return o.float0();
    typename O::Seq cumulative = o.cumulative(self);
    if (!o.truth(cumulative))
        return o.float0();
    if (o.ge(w, o.len(cumulative)))
        return o.float1();
    return o.stored_item(cumulative, w);
}

template <class O>
typename O::Val profile_hazard(const O &o, nb::handle self, const typename O::Val &w) {
    if (o.le(w, o.int0()))
        return o.float0();
    typename O::Seq shares = o.shares(self);
    if (!o.truth(shares))
        return o.float0();
    if (o.ge(w, o.sub(o.len(shares), o.int1())))
        return o.float1();
    typename O::Val done = o.item(o.cumulative(self), o.sub(w, o.int1()));
    typename O::Val remaining = o.sub(o.float1(), done);
    if (o.le(remaining, o.remaining_floor()))
        return o.float1();
    typename O::Val p = o.div(o.item(shares, w), remaining);
    return o.lt(p, o.float1()) ? p : o.float1();
}

// The upper bound of the weight pass, as `range` takes it; a bound beyond
// long long is never reached (the tail stop or the memory ends the pass first).
long long week_limit(const State &s) {
    nb::object limit = nb::steal(checked(PyNumber_Index(module_constant(s, s.s_week_limit).ptr())));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (overflow > 0)
        return LLONG_MAX;
    if (overflow < 0)
        return LLONG_MIN;
    return v;
}

// `DispersionProfile(shares=shares, cumulative=cumulative)`, the class as
// the module names it now.
nb::object make_profile(State &s, nb::handle shares, nb::handle cumulative) {
    nb::object cls = module_constant(s, s.s_profile);
    PyObject *values[] = {shares.ptr(), cumulative.ptr()};
    if (s.profile_maker.usable(cls))
        return s.profile_maker.make(values);
    return s.profile_maker.make_by_call(cls, values);
}

// Every weight underflowed: the whole cohort falls in week round(peak_weeks)
// (at least week 1).  On the host's objects in both paths.
nb::object point_mass(State &s, nb::handle peak_weeks) {
    Objects o{s};
    nb::object n = host::call(s.builtin_round, peak_weeks);
    if (!o.gt(n, o.int1()))
        n = o.int1();
    nb::object t = o.add(o.mul(s.zero_tuple.object(), n), s.one_tuple.object());
    return make_profile(s, t, t);
}

template <class O>
nb::object build(const O &o, nb::handle peak_weeks_object, const typename O::Val &amplitude,
                 const typename O::Val &peak_weeks, const typename O::Val &spread) {
    using Val = typename O::Val;
    State &s = o.s;
    if (o.le(amplitude, o.float0()))
        return make_profile(s, s.empty_tuple, s.empty_tuple);

    // Weight pass.
    std::vector<typename O::Store> raw{o.store(o.float0())};
    raw.reserve(512);
    Val total = o.float0();
    long long limit = week_limit(s);
    for (long long k = 1; k < limit; ++k) {
        Val week = o.week_number(k);
        Val w = weight(o, week, amplitude, peak_weeks, spread);
        raw.push_back(o.store(w));
        total = o.add(total, w);
        if (o.gt(week, peak_weeks) &&
            o.le(w, o.mul(o.tail_ratio(), o.gt(o.total_floor(), total) ? o.total_floor() : total)))
            break;
    }
    if (o.le(total, o.float0()))
        return point_mass(s, peak_weeks_object);

    // Normalisation pass.
    Val closing = o.sub(o.float1(), o.tolerance());
    std::vector<typename O::Store> shares{o.store(o.float0())}, cumulative{o.store(o.float0())};
    shares.reserve(raw.size());
    cumulative.reserve(raw.size());
    Val running = o.float0();
    for (size_t k = 1; k < raw.size(); ++k) {
        Val share = o.div(o.load(raw[k]), total);
        if (o.ge(o.add(running, share), closing)) {
            shares.push_back(o.store(o.sub(o.float1(), running)));
            cumulative.push_back(o.store(o.float1()));
            break;
        }
        running = o.add(running, share);
        shares.push_back(o.store(share));
        cumulative.push_back(o.store(running));
    }
    return make_profile(s, o.tuple(shares), o.tuple(cumulative));
}

// ---------------------------------------------------------------------------
// Entry points: the double path when the arguments are plain numbers and it
// does not give up, the host path otherwise.

nb::object dispersion_weight(State &s, nb::handle week, nb::handle amplitude,
                             nb::handle peak_weeks, nb::handle spread) {
    Num w, a, p, sp;
    if (fast_number(week.ptr(), w.v) && fast_number(amplitude.ptr(), a.v) &&
        fast_number(peak_weeks.ptr(), p.v) && fast_number(spread.ptr(), sp.v)) {
        try {
            Doubles o{s};
            return o.result(weight(o, w, a, p, sp));
        } catch (Fallback &) {
        }
    }
    Objects o{s};
    return weight(o, nb::borrow(week), nb::borrow(amplitude), nb::borrow(peak_weeks),
                  nb::borrow(spread));
}

nb::object hazard_from_table(State &s, nb::handle week, nb::handle hazard_weeks) {
    Num w;
    Table t;
    if (fast_week(week.ptr(), w.v) && open_table(hazard_weeks.ptr(), t)) {
        try {
            Doubles o{s};
            return o.result(table_hazard(o, w, t));
        } catch (Fallback &) {
        }
    }
    Objects o{s};
    return table_hazard(o, nb::borrow(week), nb::borrow(hazard_weeks));
}

nb::object hazard_from_shares(State &s, nb::handle week, nb::handle shares) {
    Num w;
    Table t;
    if (fast_week(week.ptr(), w.v) && open_table(shares.ptr(), t)) {
        try {
            Doubles o{s};
            return o.result(shares_hazard(o, w, t));
        } catch (Fallback &) {
        }
    }
    Objects o{s};
    return shares_hazard(o, nb::borrow(week), nb::borrow(shares));
}

nb::object build_dispersion_profile(State &s, nb::handle amplitude, nb::handle peak_weeks,
                                    nb::handle spread) {
    Num a, p, sp;
    if (fast_number(amplitude.ptr(), a.v) && fast_number(peak_weeks.ptr(), p.v) &&
        fast_number(spread.ptr(), sp.v)) {
        try {
            return build(Doubles{s}, peak_weeks, a, p, sp);
        } catch (Fallback &) {
        }
    }
    return build(Objects{s}, peak_weeks, nb::borrow(amplitude), nb::borrow(peak_weeks),
                 nb::borrow(spread));
}

// A profile method: the double path for an exact int week.
template <Num (*Fast)(const Doubles &, nb::handle, const Num &),
          nb::object (*Host)(const Objects &, nb::handle, const nb::object &)>
nb::object profile_query(State &s, nb::handle self, nb::handle week) {
    Num w;
    if (fast_week(week.ptr(), w.v)) {
        try {
            Doubles o{s};
            return o.result(Fast(o, self, w));
        } catch (Fallback &) {
        }
    }
    return Host(Objects{s}, self, nb::borrow(week));
}

nb::object share(State &s, nb::handle self, nb::handle week) {
    return profile_query<profile_share<Doubles>, profile_share<Objects>>(s, self, week);
}
nb::object fraction_done(State &s, nb::handle self, nb::handle week) {
    return profile_query<profile_fraction_done<Doubles>, profile_fraction_done<Objects>>(s, self, week);
}
nb::object hazard(State &s, nb::handle self, nb::handle week) {
    return profile_query<profile_hazard<Doubles>, profile_hazard<Objects>>(s, self, week);
}

nb::object interned(const char *text) { return nb::steal(host::interned(text)); }

nb::object new_float(double v) { return nb::steal(checked(PyFloat_FromDouble(v))); }

void init(nb::module_ &m, State &s) {
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

    s.math_log = host::from_import("math", "log");
    s.math_exp = host::from_import("math", "exp");
    s.builtin_round = host::from_import("builtins", "round");
    s.s_shares = interned("shares");
    s.s_cumulative = interned("cumulative");
    s.s_week_limit = interned("PROFILE_WEEK_LIMIT");
    s.s_tolerance = interned("COMPLETION_TOLERANCE");
    s.s_profile = interned("DispersionProfile");
    s.int_0 = nb::int_(0);
    s.int_1 = nb::int_(1);
    s.float_0 = new_float(0.0);
    s.float_1 = new_float(1.0);
    s.float_minus_half = new_float(-0.5);
    s.float_remaining_floor = new_float(remaining_floor);
    s.float_tail_ratio = new_float(tail_ratio);
    s.float_total_floor = new_float(total_floor);
    s.empty_tuple = nb::tuple();
    s.zero_tuple = nb::make_tuple(s.float_0.get());
    s.one_tuple = nb::make_tuple(s.float_1.get());

    host::publish(m, "math", host::import("math"));
    host::publish(m, "Sequence", host::from_import("collections.abc", "Sequence"));
    host::publish(m, "dataclass", host::from_import("dataclasses", "dataclass"));
    nb::object lru_cache = host::publish(m, "lru_cache", host::from_import("functools", "lru_cache"));
    host::def<&dispersion_weight>(
        m, s, "dispersion_weight",
        "(weeks_since_threshold: float, *, amplitude: float, peak_weeks: float, spread: float)"
        " -> float",
        "The unnormalised log-normal weight of one week after the threshold.\n\n"
        "0.0 for the threshold week and the weeks before it; otherwise\n"
        "amplitude * exp(-0.5 * z * z) with z = log(weeks_since_threshold / peak_weeks)\n"
        "/ spread.  The weight is amplitude in the week equal to peak_weeks and falls\n"
        "off symmetrically in the logarithm of time, spread being the width.  A zero\n"
        "peak_weeks or spread raises ZeroDivisionError, a negative ratio of week to\n"
        "peak_weeks the math domain ValueError.");
    host::def<&hazard_from_table>(
        m, s, "hazard_from_table", "(weeks_since_threshold: int, hazard_weeks: Sequence[Any]) -> Any",
        "The harvest hazard of a week under the 'current_pool' rate basis.\n\n"
        "Entry k of hazard_weeks is the weekly hazard of week k + 1 after the harvest\n"
        "threshold.  Weeks past the end of the table repeat its last entry; the\n"
        "threshold week, the weeks before it and an empty table give 0.0.  The entry\n"
        "is returned as stored, without conversion or clamping.");
    host::publish(m, "COMPLETION_TOLERANCE", new_float(1e-06));
    host::publish(m, "PROFILE_WEEK_LIMIT", nb::int_(5000));

    nb::object profile = host::publish(
        m, "DispersionProfile",
        host::ClassBuilder(s, "DispersionProfile",
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
            .method<&share>("share", "(self, /, weeks_since_threshold: int) -> float",
                            "The fraction of the cohort that falls in the given week.\n\n"
                            "0.0 for the threshold week, the weeks before it and the weeks past\n"
                            "the end of the profile.")
            .method<&fraction_done>("fraction_done", "(self, /, weeks_since_threshold: int) -> float",
                                    "The fraction of the cohort done by the end of the given week.\n\n"
                                    "0.0 up to the threshold week and for an empty profile; 1.0 past the\n"
                                    "end of the profile.")
            .method<&hazard>("hazard", "(self, /, weeks_since_threshold: int) -> float",
                             "The fraction of what is left at the start of the week that falls in it.\n\n"
                             "0.0 up to the threshold week and for an empty profile; 1.0 in the\n"
                             "closing week and every later one, and whenever no more than 1e-12\n"
                             "of the cohort is left; never above 1.0.")
            .record());
    s.shares_field.find(profile, "shares");
    s.cumulative_field.find(profile, "cumulative");
    s.profile_maker.prepare(profile, {"shares", "cumulative"});

    host::publish(
        m, "build_dispersion_profile",
        lru_cache(nb::arg("maxsize") = 128)(host::function<&build_dispersion_profile>(
            s, "build_dispersion_profile",
            "(amplitude: float, peak_weeks: float, spread: float) -> DispersionProfile",
            "The log-normal weekly profile of a section's amplitude, peak_weeks and spread.\n\n"
            "The weights of weeks 1 to PROFILE_WEEK_LIMIT - 1 (see dispersion_weight) are\n"
            "evaluated until the first week after the peak whose weight is at most 1e-15\n"
            "of the total so far, then normalised into shares; the profile closes at the\n"
            "first week whose cumulative fraction reaches 1 - COMPLETION_TOLERANCE, that\n"
            "week taking the rest so that the last cumulative fraction is exactly 1.0.\n"
            "An amplitude <= 0 gives the empty profile; when every weight underflows, the\n"
            "whole cohort falls in week round(peak_weeks) (at least week 1).\n\n"
            "Profiles are cached (functools.lru_cache, 128 entries): equal arguments give\n"
            "the same profile object.")));
    host::def<&hazard_from_shares>(
        m, s, "hazard_from_shares", "(weeks_since_threshold: int, shares: Sequence[float]) -> float",
        "The harvest hazard of a week under the 'cohort' rate basis.\n\n"
        "Entry k of shares is the share of the cohort at the harvest threshold that is\n"
        "harvested in week k + 1.  The hazard is that week's share over what is left\n"
        "of the cohort at its start.  Negative entries count as 0, the cumulative\n"
        "share is capped at 1.0 and so is the hazard; the week after the table, and\n"
        "any week in which no more than 1e-12 is left, gives 1.0; the threshold week,\n"
        "the weeks before it and an empty table give 0.0.");
}

}  // namespace

ZELKA_MODULE(dispersion, State, init)
