// The driver interface as its clients call it. These functions are stubs of our own: the first call
// loads "nvapi.dll" from the system directory, every entry is resolved once through the library's
// query export and cached, and NvAPI_Initialize / NvAPI_Unload count the library's users.
#pragma once

#include <cstdint>

#include "nvapi_entries.h"

extern "C" {
NvAPI_Status NvAPI_Initialize();
NvAPI_Status NvAPI_Unload();

#define TEVU_NVAPI_ENTRY_DECLARATION(name, id, params, args) NvAPI_Status name params;
TEVU_NVAPI_ENTRIES(TEVU_NVAPI_ENTRY_DECLARATION)
#undef TEVU_NVAPI_ENTRY_DECLARATION
}

namespace tevu::nvapi {

// A moment's view of the loader, for diagnostics and tests.
struct LoaderState {
    bool library_loaded;
    bool lock_exists;
    std::int32_t init_count;
    std::int32_t in_flight;
};
LoaderState loader_state();

}  // namespace tevu::nvapi
