#include "entry_names.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace tevu::standin::nvenc {
namespace {

constexpr const char* kNames[] = {
#define TEVU_NVENC_STANDIN_ENTRY_NAME(name) #name,
    TEVU_NVENC_STANDIN_ENTRY_POINTS(TEVU_NVENC_STANDIN_ENTRY_NAME)
#undef TEVU_NVENC_STANDIN_ENTRY_NAME
};

constexpr Entry kCountQueries[] = {Entry::nvEncGetEncodeGUIDCount, Entry::nvEncGetEncodeProfileGUIDCount,
                                   Entry::nvEncGetInputFormatCount, Entry::nvEncGetEncodePresetCount};

}  // namespace

const char* entry_name(Entry entry) { return kNames[static_cast<std::size_t>(entry)]; }

std::optional<Entry> find_entry(std::string_view name) {
    const auto it = std::find(std::begin(kNames), std::end(kNames), name);
    if (it == std::end(kNames))
        return std::nullopt;
    return static_cast<Entry>(it - std::begin(kNames));
}

bool is_count_query(Entry entry) {
    return std::find(std::begin(kCountQueries), std::end(kCountQueries), entry) != std::end(kCountQueries);
}

bool is_table_slot(Entry entry) {
    return entry != Entry::NvEncodeAPICreateInstance && entry != Entry::NvEncodeAPIGetMaxSupportedVersion;
}

}  // namespace tevu::standin::nvenc
