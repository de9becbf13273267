// The structure version check: the word must be the one the client's API gives the structure.
#pragma once

#include "nvenc_api.h"

namespace tevu::standin::nvenc {

template <typename T>
bool has_version(const T& s, uint32_t api) {
    return s.version == nvenc_struct_version<T>(api);
}

}  // namespace tevu::standin::nvenc
