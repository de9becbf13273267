// The stand-in's entry points under the names clients know them by: the library's two exports, then the
// slots of the function table that NvEncodeAPICreateInstance fills, in the table's order (the last two
// for API 12.0 clients only). Each entry
// point counts, traces and looks up its steering rules under its Entry, so this list is the one place
// the names are written; NVENC_EMU_FAIL, NVENC_EMU_OVERCOUNT and NVENC_EMU_EMPTY_SLOTS accept these names and no
// others.
#pragma once

#include <optional>
#include <string_view>

#define TEVU_NVENC_STANDIN_ENTRY_POINTS(X) \
    X(NvEncodeAPICreateInstance)           \
    X(NvEncodeAPIGetMaxSupportedVersion)   \
    X(nvEncOpenEncodeSession)              \
    X(nvEncGetEncodeGUIDCount)             \
    X(nvEncGetEncodeProfileGUIDCount)      \
    X(nvEncGetEncodeProfileGUIDs)          \
    X(nvEncGetEncodeGUIDs)                 \
    X(nvEncGetInputFormatCount)            \
    X(nvEncGetInputFormats)                \
    X(nvEncGetEncodeCaps)                  \
    X(nvEncGetEncodePresetCount)           \
    X(nvEncGetEncodePresetGUIDs)           \
    X(nvEncGetEncodePresetConfig)          \
    X(nvEncInitializeEncoder)              \
    X(nvEncCreateInputBuffer)              \
    X(nvEncDestroyInputBuffer)             \
    X(nvEncCreateBitstreamBuffer)          \
    X(nvEncDestroyBitstreamBuffer)         \
    X(nvEncEncodePicture)                  \
    X(nvEncLockBitstream)                  \
    X(nvEncUnlockBitstream)                \
    X(nvEncLockInputBuffer)                \
    X(nvEncUnlockInputBuffer)              \
    X(nvEncGetEncodeStats)                 \
    X(nvEncGetSequenceParams)              \
    X(nvEncRegisterAsyncEvent)             \
    X(nvEncUnregisterAsyncEvent)           \
    X(nvEncMapInputResource)               \
    X(nvEncUnmapInputResource)             \
    X(nvEncDestroyEncoder)                 \
    X(nvEncInvalidateRefFrames)            \
    X(nvEncOpenEncodeSessionEx)            \
    X(nvEncRegisterResource)               \
    X(nvEncUnregisterResource)             \
    X(nvEncReconfigureEncoder)             \
    X(nvEncGetLastErrorString)             \
    X(nvEncGetEncodePresetConfigEx)

namespace tevu::standin::nvenc {

enum class Entry {
#define TEVU_NVENC_STANDIN_ENTRY_ENUMERATOR(name) name,
    TEVU_NVENC_STANDIN_ENTRY_POINTS(TEVU_NVENC_STANDIN_ENTRY_ENUMERATOR)
#undef TEVU_NVENC_STANDIN_ENTRY_ENUMERATOR
};

const char* entry_name(Entry entry);
// The entry point of that name (exactly: no other case, no spaces), if any.
std::optional<Entry> find_entry(std::string_view name);
// The queries that answer the length of a list, which NVENC_EMU_OVERCOUNT can make one too many.
bool is_count_query(Entry entry);
// The slots of the function table: every entry point but the library's two exports.
bool is_table_slot(Entry entry);

}  // namespace tevu::standin::nvenc
