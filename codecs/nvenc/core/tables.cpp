#include "tables.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "api_traits.h"
#include "nvenc_api.h"

namespace tevu::nvenc {
namespace {

// The capability names that API 4.0, 5.0 and 12.0 share; each API adds its own (api::own_caps_names()).
const NumberName kSharedCapsNames[] = {
    {0, "NUM_MAX_BFRAMES"},
    {1, "SUPPORTED_RATECONTROL_MODES"},
    {2, "SUPPORT_FIELD_ENCODING"},
    {3, "SUPPORT_MONOCHROME"},
    {4, "SUPPORT_FMO"},
    {5, "SUPPORT_QPELMV"},
    {6, "SUPPORT_BDIRECT_MODE"},
    {7, "SUPPORT_CABAC"},
    {8, "SUPPORT_ADAPTIVE_TRANSFORM"},
    {10, "NUM_MAX_TEMPORAL_LAYERS"},
    {11, "SUPPORT_HIERARCHICAL_PFRAMES"},
    {12, "SUPPORT_HIERARCHICAL_BFRAMES"},
    {13, "LEVEL_MAX"},
    {14, "LEVEL_MIN"},
    {15, "SEPARATE_COLOUR_PLANE"},
    {16, "WIDTH_MAX"},
    {17, "HEIGHT_MAX"},
    {18, "SUPPORT_TEMPORAL_SVC"},
    {19, "SUPPORT_DYN_RES_CHANGE"},
    {20, "SUPPORT_DYN_BITRATE_CHANGE"},
    {21, "SUPPORT_DYN_FORCE_CONSTQP"},
    {22, "SUPPORT_DYN_RCMODE_CHANGE"},
    {23, "SUPPORT_SUBFRAME_READBACK"},
    {24, "SUPPORT_CONSTRAINED_ENCODING"},
    {25, "SUPPORT_INTRA_REFRESH"},
    {26, "SUPPORT_CUSTOM_VBV_BUF_SIZE"},
    {27, "SUPPORT_DYNAMIC_SLICE_MODE"},
    {28, "SUPPORT_REF_PIC_INVALIDATION"},
    {29, "PREPROC_SUPPORT"},
    {30, "ASYNC_ENCODE_SUPPORT"},
    {31, "MB_NUM_MAX"},
    {33, "SUPPORT_YUV444_ENCODE"},
    {34, "SUPPORT_LOSSLESS_ENCODE"},
};

template <class T>
const T* find_number(Table<T> items, uint32_t value) {
    for (const T& item : items)
        if (item.value == value) return &item;
    return nullptr;
}

// Two tables ordered by value as one.
std::vector<NumberName> merged_by_value(Table<NumberName> a, Table<NumberName> b) {
    std::vector<NumberName> merged;
    std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged),
               [](const NumberName& x, const NumberName& y) { return x.value < y.value; });
    return merged;
}

const char* find_guid_name(Table<GuidName> items, const std::string& text) {
    for (const GuidName& item : items)
        if (key_text(item) == text) return item.name;
    return nullptr;
}

}  // namespace

Table<NumberName> caps_names() {
    static const std::vector<NumberName> names = merged_by_value(table_of(kSharedCapsNames), api::own_caps_names());
    return {names.data(), names.size()};
}

std::string key_text(const GuidName& entry) { return entry.guid ? guid_text(*entry.guid) : entry.text; }

const char* codec_name(const std::string& text) { return find_guid_name(codec_guids(), text); }
const char* preset_name(const std::string& text) { return find_guid_name(preset_guids(), text); }

const char* caps_name(uint32_t cap) {
    const NumberName* item = find_number(caps_names(), cap);
    return item ? item->name : nullptr;
}
const char* buffer_format_name(uint32_t value) {
    const NumberName* item = find_number(buffer_formats(), value);
    return item ? item->name : nullptr;
}

const PresetRank* preset_rank(const std::string& name) {
    for (const PresetRank& rank : preset_ranks())
        if (name == rank.name) return &rank;
    return nullptr;
}

bool is_lossless_preset(const std::string& name) {
    for (const char* preset : lossless_presets())
        if (name == preset) return true;
    return false;
}

}  // namespace tevu::nvenc
