#include "guid.h"

#include <cctype>
#include <cstring>

namespace tevu::nvenc {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kGuidLength = 36;

// Big-endian bytes of the low `count` bytes of v.
void append_be(std::string& out, uint64_t v, int count) {
    for (int i = count - 1; i >= 0; --i) {
        const unsigned byte = static_cast<unsigned>((v >> (8 * i)) & 0xFF);
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0xF];
    }
}

int hex_value(char c) {
    const char* p = std::strchr(kHexDigits, std::toupper(static_cast<unsigned char>(c)));
    return (p && *p) ? static_cast<int>(p - kHexDigits) : -1;
}

// The value of the hexadecimal digits text[first, last).
uint64_t fold_hex(const std::string& text, std::size_t first, std::size_t last) {
    uint64_t v = 0;
    for (std::size_t i = first; i < last; ++i) v = (v << 4) | static_cast<uint64_t>(hex_value(text[i]));
    return v;
}

void check_characters(const std::string& text) {
    for (std::size_t i = 0; i < kGuidLength; ++i) {
        if (kGuidTemplate[i] == '-') {
            if (text[i] != '-')
                throw GuidFormatError("invalid GUID format: character at position " + std::to_string(i) +
                                      " is not '-'");
        } else if (hex_value(text[i]) < 0) {
            throw GuidFormatError("invalid GUID format: character at position " + std::to_string(i) +
                                  " is not in hex");
        }
    }
}

}  // namespace

std::string guid_text(const Guid& guid) {
    std::string out;
    out.reserve(kGuidLength);
    append_be(out, guid.Data1, 4);
    out += '-';
    append_be(out, guid.Data2, 2);
    out += '-';
    append_be(out, guid.Data3, 2);
    out += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) out += '-';
        append_be(out, guid.Data4[i], 1);
    }
    return out;
}

Guid parse_guid(const std::string& text) {
    if (text.size() != kGuidLength)
        throw GuidFormatError("invalid GUID format: expected " + std::to_string(kGuidLength) +
                              " characters but got " + std::to_string(text.size()));
    check_characters(text);
    Guid guid{};
    guid.Data1 = static_cast<uint32_t>(fold_hex(text, 0, 8));
    guid.Data2 = static_cast<uint16_t>(fold_hex(text, 9, 13));
    guid.Data3 = static_cast<uint16_t>(fold_hex(text, 14, 18));
    const uint64_t tail = (fold_hex(text, 19, 23) << 48) + fold_hex(text, 24, 36);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(tail >> ((7 - i) * 8));
    return guid;
}

}  // namespace tevu::nvenc
