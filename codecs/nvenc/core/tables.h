// The module's vocabulary: codec, profile and preset GUIDs with their names, preset ranks, buffer
// formats, capability names and status texts. The Python tables are built from these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "guid.h"

namespace tevu::nvenc {

struct GuidName {
    const Guid* guid;  // null: the text below is stored as it is
    const char* text;  // literal GUID text when guid is null
    const char* name;
};

struct PresetRank {
    const char* name;
    int speed;
    int quality;
};

struct NumberName {
    uint32_t value;
    const char* name;
};

template <class T>
struct Table {
    const T* items;
    std::size_t size;
    const T* begin() const { return items; }
    const T* end() const { return items + size; }
};

template <class T, std::size_t N>
Table<T> table_of(const T (&items)[N]) {
    return {items, N};
}

// The vocabulary of the build's API (legacy_tables.cpp for API 4.0 and 5.0, api12_traits.cpp for 12.0).
Table<GuidName> codec_guids();
Table<GuidName> profile_guids(const std::string& codec);  // by the codec's name; empty when it has none
Table<GuidName> preset_guids();
Table<PresetRank> preset_ranks();
Table<const char*> yuv444_presets();
Table<const char*> lossless_presets();
Table<NumberName> buffer_formats();
Table<NumberName> tuning_names();  // empty for an API without tunings
Table<NumberName> caps_names();  // the shared names and the API's own (api_traits.h), in value order
Table<NumberName> status_texts();

// The text key of a table entry.
std::string key_text(const GuidName& entry);

// Lookups; null when absent.
const char* codec_name(const std::string& guid_text);
const char* preset_name(const std::string& guid_text);
const char* caps_name(uint32_t cap);
const char* status_text(int code);
const char* buffer_format_name(uint32_t value);
const PresetRank* preset_rank(const std::string& name);
bool is_lossless_preset(const std::string& name);

// "%s: %s" of a known status code and its text, else the decimal code.
std::string status_info(int code);

// An NVENC API version (major << 4 | minor) as text: "5.0", "12.1".
std::string api_version_text(uint32_t api);

// What NvEncodeAPIGetMaxSupportedVersion at `entry` reported: its status, and when that is 0 the newest
// API version the library speaks.
struct NewestApi {
    int status;
    uint32_t version;
};
NewestApi query_newest_api(void* entry);

// The message of an NVENCException for a call's status: "<operation> - returned <status_info>".
std::string nvenc_exception_text(const std::string& operation, int code);

}  // namespace tevu::nvenc
