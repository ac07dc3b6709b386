#include "records/load/encoding.hpp"

#include <cstdint>
#include <cstring>

namespace records::load {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at i (its first byte beyond
// ASCII), 0 when there is none.
size_t sequence(std::string_view s, size_t i) {
    size_t n = s.size();
    auto at = [&](size_t k) { return i + k < n ? (unsigned char) s[i + k] : 0; };
    unsigned char c = at(0);
    if (c >= 0xC2 && c <= 0xDF)
        return continuation(at(1)) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return at(1) >= lo && at(1) <= hi && continuation(at(2)) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return at(1) >= lo && at(1) <= hi && continuation(at(2)) && continuation(at(3)) ? 4 : 0;
    }
    return 0;
}

}  // namespace

Survey survey(std::string_view s) {
    Survey out;
    size_t n = s.size(), i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned char c = (unsigned char) s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (out.high == Survey::none)
            out.high = i;
        size_t length = sequence(s, i);
        if (length > 0) {
            if (out.multibyte == Survey::none)
                out.multibyte = i;
            i += length;
        } else {
            if (out.bad == Survey::none)
                out.bad = i;
            if (out.undefined == Survey::none && out.multibyte == Survey::none &&
                undefined_in_1252.find((char) c) != std::string_view::npos)
                out.undefined = i;
            ++i;
        }
        if (out.bad != Survey::none && out.multibyte != Survey::none)
            break;  // neither all UTF-8 nor free of it: nothing more to learn
    }
    return out;
}

}  // namespace records::load
