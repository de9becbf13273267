#include "driver_version_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tevu::gpu_check {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(KernelModuleVersion, ReadsTheFirstVersionAfterTheLabel) {
    const Cases cases = {
        {"NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.104.05  Sat Aug 19 01:15:15 UTC 2023", "535.104.05"},
        {"NVRM version: NVIDIA UNIX Open Kernel Module for x86_64  550.54.14  Release Build  "
         "(dvs-builder@U16-I3-B03-4-3)  Thu Feb 22 01:25:25 UTC 2024", "550.54.14"},
        {"Kernel Module\t535.1\n", "535.1"},
        {"Kernel Module 1 2.5", "2.5"},          // a word without a dot is no version
        {"Kernel Module 470. 2.x 3.4", "3.4"},   // nor one that ends in a dot, nor one with letters
        {"Kernel Module", ""},
        {"Kernel Module ", ""},
        {"535.104.05 Kernel Module", ""},         // only what follows the label
        {"NVRM version: 535.104.05", ""},         // no label
        {"", ""},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(kernel_module_version(line), expected) << line;
}

TEST(FileNameVersion, ReadsTheVersionThatEndsTheName) {
    const Cases cases = {
        {"/usr/lib/x86_64-linux-gnu/libcuda.so.535.104.05", "535.104.05"},
        {"libnvidia-encode.so.535.261.03", "535.261.03"},
        {"libcuda.so.1.2", "1.2"},
        {"libcuda.so.1", ""},                   // a soname, not a version
        {"libcuda.so", ""},
        {"libcuda.so.", ""},
        {"libcuda.so.535.", ""},                // nothing after the dot
        {"libcuda.so.535.1x", ""},
        {"libcuda.so..1", ""},
        {"/opt/a.so.1.2/libcuda.so.1", ""},     // the name's end decides
        {"libx.so.9.9.so.1.2", "1.2"},          // the last usable marker
        {"libx.so.1.2.so.1", ""},
        {".so.3.4", "3.4"},
        {"", ""},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(file_name_version(path), expected) << path;
}

}  // namespace
}  // namespace tevu::gpu_check
