// The driver's names and descriptions of its result codes.
#pragma once

#include "cuda_driver_api.h"

#include <optional>
#include <string_view>

namespace tevu::standin::cuda {

struct ResultText {
    CUresult code;
    const char* name;
    const char* description;
};

// The entry for a known result code, or null.
const ResultText* find_result(CUresult code);
// The code of a result name such as "CUDA_ERROR_OUT_OF_MEMORY".
std::optional<CUresult> result_by_name(std::string_view name);

}  // namespace tevu::standin::cuda
