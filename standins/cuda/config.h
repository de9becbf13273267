// The stand-in's control variables: CUDA_EMU_DEVICES, CUDA_EMU_MEMORY_MB, CUDA_EMU_FAIL.
#pragma once

#include "cuda_driver_api.h"
#include "rule_list.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tevu::standin::cuda {

// CUDA_EMU_DEVICES: 0 to 16 devices, 1 when unset; an invalid value is reported and the default used.
int configured_device_count();
// CUDA_EMU_MEMORY_MB: each device's memory, 4096 MiB when unset.
std::size_t configured_device_memory();

// One rule of CUDA_EMU_FAIL: `entry=code[@n]`, the entry being a public entry point name without the
// ABI suffix and the code a non-zero number or a CUDA_ERROR_ name.
using FailureRule = Rule<CUresult>;

// Parses a CUDA_EMU_FAIL value; each malformed item is described in `problems` and skipped.
std::vector<FailureRule> parse_failure_rules(std::string_view text, std::vector<std::string>& problems);

// The result CUDA_EMU_FAIL makes this call of `entry` return, if any. Every call is counted; the
// counts restart whenever the variable's value changes.
std::optional<CUresult> injected_failure(std::string_view entry);

// Writes a line of the stand-in's own diagnostics to standard error.
void diagnose(const std::string& line);

}  // namespace tevu::standin::cuda
