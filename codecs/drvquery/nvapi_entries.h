// The driver entries that the loader offers as stubs, one cache slot each:
// X(name, interface ID, parameter list, argument list).
#pragma once

#include "nvapi_interface.h"

#define TEVU_NVAPI_ENTRIES(X)                                                                              \
    X(NvAPI_SYS_GetDriverAndBranchVersion, 0x2926AAADu,                                                    \
      (NvU32 * pDriverVersion, NvAPI_ShortString szBuildBranchString), (pDriverVersion, szBuildBranchString)) \
    X(NvAPI_GetErrorMessage, 0x6C2D048Cu, (NvAPI_Status nr, NvAPI_ShortString szDesc), (nr, szDesc))

namespace tevu::nvapi {

#define TEVU_NVAPI_ENTRY_ID(name, id, params, args) constexpr NvU32 name##_Id = id;
TEVU_NVAPI_ENTRIES(TEVU_NVAPI_ENTRY_ID)
#undef TEVU_NVAPI_ENTRY_ID

#define TEVU_NVAPI_ENTRY_TYPE(name, id, params, args) using name##_Fn = NvAPI_Status(*) params;
TEVU_NVAPI_ENTRIES(TEVU_NVAPI_ENTRY_TYPE)
#undef TEVU_NVAPI_ENTRY_TYPE

}  // namespace tevu::nvapi
