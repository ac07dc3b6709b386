// What the bytes of a text file say of its encoding.
#pragma once

#include <cstddef>
#include <string_view>

namespace records::load {

struct Survey {
    static constexpr size_t none = (size_t) -1;
    size_t bad = none;        // the first byte that is no part of valid UTF-8
    size_t multibyte = none;  // the first valid UTF-8 sequence of more than one byte
    size_t high = none;       // the first byte beyond ASCII
    size_t undefined = none;  // the first byte Windows-1252 does not define (when no
                              // valid multi-byte sequence comes before it)
    bool utf8() const { return bad == none; }
};

// The five bytes Windows-1252 leaves undefined.
inline constexpr std::string_view undefined_in_1252{"\x81\x8d\x8f\x90\x9d", 5};

// One pass over the bytes (eight at a time while they are ASCII).  UTF-8 is
// what the host's strict decoder takes: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
Survey survey(std::string_view bytes);

}  // namespace records::load
