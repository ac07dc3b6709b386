#include "records/duplicates.hpp"

#include "host/capi.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace records {

namespace {

uint64_t mix(uint64_t x) {  // a 64-bit finaliser (splitmix64)
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

uint64_t hash_text(std::string_view s) {  // FNV-1a, eight bytes at a time
    uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        h = (h ^ word) * 0x100000001b3ULL;
    }
    uint64_t tail = 0;  // the last bytes, one by one (no call for a short copy)
    for (size_t k = 0; i + k < s.size(); ++k)
        tail |= (uint64_t) (unsigned char) s[i + k] << (8 * k);
    return mix((h ^ tail) * 0x100000001b3ULL);
}

// Codes of one column's cells: equal cells, equal codes, from 1 in order of
// first appearance; a missing cell code 0.  Open addressing with linear
// probing over the first row of each code, the table grown as codes come
// (a column of few distinct cells keeps a small one).
template <typename Hash, typename Equal, typename Missing>
std::vector<uint32_t> factorize(size_t n, Hash &&hash, Equal &&equal, Missing &&missing,
                                uint32_t &count) {
    std::vector<uint32_t> codes(n, 0);
    std::vector<uint32_t> slots(1024, UINT32_MAX);
    size_t mask = slots.size() - 1;
    auto place = [&](uint32_t row) -> uint32_t & {
        size_t at = hash(row) & mask;
        while (slots[at] != UINT32_MAX && !equal(slots[at], row))
            at = (at + 1) & mask;
        return slots[at];
    };
    count = 1;
    size_t previous = SIZE_MAX;  // sorted files repeat a cell row after row
    for (size_t i = 0; i < n; ++i) {
        if (missing(i))
            continue;
        if (previous != SIZE_MAX && equal(previous, i)) {
            codes[i] = codes[previous];
            previous = i;
            continue;
        }
        previous = i;
        uint32_t &slot = place((uint32_t) i);
        if (slot != UINT32_MAX) {
            codes[i] = codes[slot];
            continue;
        }
        slot = (uint32_t) i;
        codes[i] = count++;
        if (2 * (size_t) count > slots.size()) {  // half full: twice the size
            std::vector<uint32_t> rows;
            for (uint32_t row : slots)
                if (row != UINT32_MAX)
                    rows.push_back(row);
            slots.assign(2 * slots.size(), UINT32_MAX);
            mask = slots.size() - 1;
            for (uint32_t row : rows)
                place(row) = row;
        }
    }
    return codes;
}

// The codes of factorize, without hashing when the present cells come in
// ascending order (as the dates of most record files do): equal cells are
// then neighbours.
template <typename Hash, typename Equal, typename Less, typename Missing>
std::vector<uint32_t> codes_of(size_t n, Hash &&hash, Equal &&equal, Less &&less,
                               Missing &&missing, uint32_t &count) {
    std::vector<uint32_t> codes(n, 0);
    count = 1;
    size_t previous = SIZE_MAX;
    for (size_t i = 0; i < n; ++i) {
        if (missing(i))
            continue;
        if (previous == SIZE_MAX || less(previous, i)) {
            codes[i] = count++;
        } else if (equal(previous, i)) {
            codes[i] = codes[previous];
        } else {
            return factorize(n, hash, equal, missing, count);
        }
        previous = i;
    }
    return codes;
}

// `alone`: the column is the whole key (pandas then compares its cells as
// they are, not as factorized codes).
bool column_codes(const Pandas &pd, nb::handle series, bool alone, std::vector<uint32_t> &codes,
                  uint32_t &count) {
    std::string dtype = dtype_name(series);
    size_t n = length(series);
    if (dtype == "int64") {
        Int64Values v(series);
        codes = codes_of(
            n, [&](size_t i) { return mix((uint64_t) v[i]); },
            [&](size_t a, size_t b) { return v[a] == v[b]; },
            [&](size_t a, size_t b) { return v[a] < v[b]; }, [](size_t) { return false; }, count);
        return true;
    }
    if (dtype == "float64") {
        Float64Values v(pd, series);
        auto bits = [&](size_t i) {  // -0.0 is 0.0
            double d = v[i] == 0.0 ? 0.0 : v[i];
            uint64_t u;
            std::memcpy(&u, &d, 8);
            return u;
        };
        codes = codes_of(
            n, [&](size_t i) { return mix(bits(i)); },
            [&](size_t a, size_t b) { return v[a] == v[b]; },
            [&](size_t a, size_t b) { return v[a] < v[b]; },
            [&](size_t i) { return std::isnan(v[i]); }, count);
        return true;
    }
    TextColumn text;
    if (is_real_numeric(pd, series) || !text.open(pd, series) || (alone && text.mixed_missing()))
        return false;
    codes = text_codes(text, count);
    return true;
}

}  // namespace

namespace {

// A text of at most 16 bytes as two words read in bounds that together cover
// every byte (the first and last eight, four, or the first, middle and last
// byte): two texts of one length are equal exactly when their words are.
struct Short {
    uint64_t a = 0, b = 0;

    static constexpr size_t max = 16;
    explicit Short(std::string_view s) {
        const char *p = s.data();
        size_t n = s.size();
        if (n >= 8) {
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + n - 8, 8);
        } else if (n >= 4) {
            uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else if (n > 0) {
            a = (uint64_t) (unsigned char) p[0] | (uint64_t) (unsigned char) p[n / 2] << 8 |
                (uint64_t) (unsigned char) p[n - 1] << 16;
        }
    }
    bool operator==(const Short &o) const { return a == o.a && b == o.b; }
};

// A cell as the coding compares it: its text, and its words when short.
struct Cell {
    std::string_view text;
    Short words;

    explicit Cell(std::string_view t) : text(t), words(t.size() <= Short::max ? t : std::string_view()) {}
    bool operator==(const Cell &o) const {
        if (text.size() != o.text.size())
            return false;
        return text.size() <= Short::max ? words == o.words : text == o.text;
    }
    uint64_t hash() const {
        if (text.size() > Short::max)
            return hash_text(text);
        return mix(words.a ^ mix(words.b ^ (uint64_t) text.size()));
    }
};

}  // namespace

std::vector<uint32_t> text_codes(const TextColumn &text, uint32_t &count) {
    // Each cell's text is read once.  While the cells come in ascending
    // order, a cell either repeats the one before or starts a code; from the
    // first that does not, codes are looked up by hash (each code's cell and
    // hash kept, so that a probe compares cells only when the hashes agree;
    // cells of up to 16 bytes compare as two words).
    size_t n = text.size();
    std::vector<uint32_t> codes(n, 0);
    std::vector<Cell> cells(1, Cell(std::string_view()));  // by code; code 0 is missing
    std::vector<uint64_t> hashes;                          // by code, once hashing
    std::vector<uint32_t> slots;                           // codes by hash; 0 is empty
    size_t mask = 0;
    auto place = [&](uint32_t code) {
        size_t at = hashes[code] & mask;
        while (slots[at] != 0)
            at = (at + 1) & mask;
        slots[at] = code;
    };
    auto grow = [&] {
        size_t size = 1024;
        while (size < 4 * cells.size())
            size <<= 1;
        slots.assign(size, 0);
        mask = size - 1;
        for (uint32_t code = 1; code < cells.size(); ++code)
            place(code);
    };
    auto add = [&](const Cell &cell, uint64_t hash) {
        cells.push_back(cell);
        if (!slots.empty())
            hashes.push_back(hash);
        return (uint32_t) (cells.size() - 1);
    };
    bool ascending = true;
    Cell previous(std::string_view{});
    uint32_t previous_code = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text.missing(i))
            continue;
        Cell cell(text[i]);
        uint32_t code;
        if (previous_code != 0 && cell == previous) {
            code = previous_code;
        } else if (ascending && (previous_code == 0 || previous.text < cell.text)) {
            code = add(cell, 0);
        } else {
            if (ascending) {  // out of order: hash every code so far
                ascending = false;
                hashes.assign(1, 0);
                for (size_t c = 1; c < cells.size(); ++c)
                    hashes.push_back(cells[c].hash());
                grow();
            }
            uint64_t hash = cell.hash();
            size_t at = hash & mask;
            while (slots[at] != 0 && !(hashes[slots[at]] == hash && cells[slots[at]] == cell))
                at = (at + 1) & mask;
            if (slots[at] != 0) {
                code = slots[at];
            } else {
                code = add(cell, hash);
                slots[at] = code;
                if (4 * cells.size() > 2 * slots.size())  // half full: larger
                    grow();
            }
        }
        codes[i] = code;
        previous = cell;
        previous_code = code;
    }
    count = (uint32_t) cells.size();
    return codes;
}

std::optional<Rows> duplicate_rows(const Pandas &pd, const std::vector<nb::object> &columns) {
    if (columns.empty())
        return std::nullopt;
    size_t n = length(columns[0]);
    // The key of a row: its codes, one column after another, as one number
    // (mixed radix), re-coded after each column so that it stays below n + 1.
    std::vector<uint32_t> key, codes;
    uint32_t keys = 0, count = 0;
    for (const nb::object &series : columns) {
        if (length(series) != n || !column_codes(pd, series, columns.size() == 1, codes, count))
            return std::nullopt;
        if (key.empty()) {
            key = std::move(codes);
            keys = count;
            continue;
        }
        uint64_t combinations = (uint64_t) keys * count;
        if (combinations <= 8 * (uint64_t) n + (1u << 20) && combinations < UINT32_MAX) {
            // Few: the pair of codes is the key.
            for (size_t i = 0; i < n; ++i)
                key[i] = (uint32_t) (key[i] * count + codes[i]);
            keys = (uint32_t) combinations;
            continue;
        }
        std::vector<uint64_t> joined(n);
        for (size_t i = 0; i < n; ++i)
            joined[i] = (uint64_t) key[i] * count + codes[i];
        key = factorize(
            n, [&](size_t i) { return mix(joined[i]); },
            [&](size_t a, size_t b) { return joined[a] == joined[b]; },
            [](size_t) { return false; }, keys);
        for (uint32_t &k : key)
            --k;  // no key is missing: codes from 1
        --keys;
    }
    std::vector<uint8_t> seen(keys + 1, 0);
    for (uint32_t k : key)
        seen[k] += seen[k] < 2;
    return rows_where(n, [&](size_t i) { return seen[key[i]] > 1; });
}

nb::list distinct_cells(const Pandas &pd, nb::handle series) {
    TextColumn text;
    if (!text.open(pd, series, true))
        return cells(series.attr("drop_duplicates")());
    uint32_t count = 0;
    std::vector<uint32_t> codes = text_codes(text, count);
    std::vector<bool> seen(count, false);
    nb::list out;
    for (size_t i = 0; i < codes.size(); ++i) {
        if (seen[codes[i]])
            continue;
        seen[codes[i]] = true;
        if (codes[i] == 0) {  // the column's own missing value
            out.append(cells(series.attr("iloc")[nb::slice(nb::int_(i), nb::int_(i + 1), nb::none())])[0]);
        } else {
            std::string_view cell = text[i];
            out.append(nb::steal(host::checked(
                PyUnicode_DecodeUTF8(cell.data(), (Py_ssize_t) cell.size(), nullptr))));
        }
    }
    return out;
}

Rows duplicate_rows(const Pandas &pd, nb::handle table,
                    std::initializer_list<const char *> labels) {
    std::vector<nb::object> columns;
    nb::list subset;
    for (const char *label : labels) {
        columns.push_back(column(pd, table, nb::str(label)));
        subset.append(label);
    }
    if (std::optional<Rows> rows = duplicate_rows(pd, columns))
        return *rows;
    return true_rows(pd, table.attr("duplicated")(nb::arg("subset") = subset,
                                                  nb::arg("keep") = false));
}

}  // namespace records
