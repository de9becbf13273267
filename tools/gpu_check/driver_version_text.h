// The NVIDIA driver's version as the machine writes it: in the kernel module's line of
// /proc/driver/nvidia/version, and in the file names of the driver's libraries.
#pragma once

#include <string>

namespace tevu::gpu_check {

// The first word after "Kernel Module" that is a version (digits, a dot, then digits and dots), as the
// kernel module's line names it ("NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.104.05  Sat Aug 19
// ..." and "NVRM version: NVIDIA UNIX Open Kernel Module for x86_64  550.54.14  Release Build ..." give
// 535.104.05 and 550.54.14). Empty when the line has none.
std::string kernel_module_version(const std::string& line);

// The version that ends a library's file name after its last ".so." usable one: digits, a dot, then digits
// and dots to the end (libcuda.so.535.104.05 gives 535.104.05; libcuda.so.1 gives nothing).
std::string file_name_version(const std::string& library_path);

}  // namespace tevu::gpu_check
