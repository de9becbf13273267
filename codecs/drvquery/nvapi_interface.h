// The binary interface of the driver's "nvapi.dll": its types, status values, interface IDs, the single
// export through which every entry is reached, and the signatures of the entries and call hooks.
#pragma once

#include <cstddef>
#include <cstdint>

using NvU32 = std::uint32_t;
using NvAPI_Status = std::int32_t;

constexpr NvAPI_Status NVAPI_OK = 0;
constexpr NvAPI_Status NVAPI_ERROR = -1;
constexpr NvAPI_Status NVAPI_LIBRARY_NOT_FOUND = -2;
constexpr NvAPI_Status NVAPI_NO_IMPLEMENTATION = -3;
constexpr NvAPI_Status NVAPI_API_NOT_INITIALIZED = -4;
constexpr NvAPI_Status NVAPI_INVALID_ARGUMENT = -5;

constexpr std::size_t NVAPI_SHORT_STRING_MAX = 64;
typedef char NvAPI_ShortString[NVAPI_SHORT_STRING_MAX];

namespace tevu::nvapi {

constexpr char kLibraryFileName[] = "nvapi.dll";
constexpr char kQueryInterfaceExport[] = "nvapi_QueryInterface";

// Interface IDs of the driver's own lifecycle entries and of the two call hooks.
constexpr NvU32 kInitializeId = 0x0150E828u;
constexpr NvU32 kUnloadId = 0xD22BDD7Eu;
constexpr NvU32 kPreCallHookId = 0x33C7358Cu;
constexpr NvU32 kPostCallHookId = 0x593E8644u;

using QueryInterfaceFn = void* (*)(NvU32 interface_id);
using LifecycleEntryFn = NvAPI_Status (*)();

// Two words that the driver's hooks carry from before a call to after it.
struct HookContext {
    std::uintptr_t words[2];
};
using PreCallHookFn = void (*)(NvU32 interface_id, HookContext* context);
using PostCallHookFn = void (*)(NvU32 interface_id, std::uintptr_t first_word, std::uintptr_t second_word,
                                NvAPI_Status status);

}  // namespace tevu::nvapi
