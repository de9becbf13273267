// Helpers shared by the native and the 32-bit layout checks of the NVENC header. They observe a layout
// from the outside: a member is located by writing 1 into an otherwise zero structure and finding the bit
// that changed, which also works for bit-fields and members of nested structures and unions.
#pragma once

#include "nvenc_api.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace nvenc_probe {

// Index (byte * 8 + bit, little-endian) of the single bit that `set` turns on in a zeroed T; -1 when no
// bit or more than one bit changed.
template <typename T, typename Set>
long bit_of(Set set) {
    unsigned char bytes[sizeof(T)];
    T value{};
    set(value);
    std::memcpy(bytes, &value, sizeof(T));
    long found = -1;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            if (!(bytes[i] & (1u << bit))) continue;
            if (found != -1) return -1;
            found = static_cast<long>(i * 8 + bit);
        }
    }
    return found;
}

// Bit index of a scalar member (integer, enumeration, pointer or bit-field) of T holding the value 1: for a
// bit-field its first bit, for any other member 8 times its byte offset.
#define NVENC_PROBE_BIT(T, member) \
    nvenc_probe::bit_of<T>([](T& s) { s.member = std::remove_reference_t<decltype(s.member)>(1); })
// Byte offset of a scalar member of T; -1 when the probe did not find exactly one bit.
#define NVENC_PROBE_OFFSET(T, member) nvenc_probe::byte_of(NVENC_PROBE_BIT(T, member))

inline long byte_of(long bit) { return bit < 0 || bit % 8 != 0 ? -1 : bit / 8; }

// The canonical upper-case text of a GUID: 8-4-4-4-12 hexadecimal digits.
inline std::string guid_text(const GUID& g) {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// A layout fact and what the header gives for it.
struct Fact {
    const char* what;
    long long actual;
    long long expected;
};

}  // namespace nvenc_probe
