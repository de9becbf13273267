// The names under which the driver libraries are opened, and opening the first of them that loads.
#include "../common/process.h"
#include "dynamic_library.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace tevu::cuda::testing {
namespace {

TEST(LibraryNames, ArePerPlatformWithTheUnversionedNameFirst) {
    struct Case {
        const char* what;
        LibraryNames names;
        const char* name;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {"cuda linux", cuda_driver_library(false), "libcuda.so", {"libcuda.so", "libcuda.so.1"}},
        {"nvenc linux", nvenc_library(false), "libnvidia-encode.so", {"libnvidia-encode.so", "libnvidia-encode.so.1"}},
        {"cuda windows", cuda_driver_library(true), "nvcuda.dll", {"nvcuda.dll"}},
        {"nvenc windows 64", nvenc_library(true, 8), "nvEncodeAPI64.dll", {"nvEncodeAPI64.dll"}},
        {"nvenc windows 32", nvenc_library(true, 4), "nvencodeapi.dll", {"nvencodeapi.dll"}},
        {"nvenc linux 32", nvenc_library(false, 4), "libnvidia-encode.so", {"libnvidia-encode.so", "libnvidia-encode.so.1"}},
        {"nvenc this build", nvenc_library(true), "nvEncodeAPI64.dll", {"nvEncodeAPI64.dll"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.names.name, c.name) << c.what;
        EXPECT_EQ(c.names.files, c.files) << c.what;
    }
}

TEST(OpenFirst, FallsBackToTheNextNameAndTellsTheFile) {
    // The tests run with the stand-ins' folder on LD_LIBRARY_PATH.
    auto library = DynamicLibrary::open_first({"libtevu-none.so", {"libtevu-none.so", "libcuda.so.1"}});
    EXPECT_EQ(library->name(), "libcuda.so.1");
    const std::string file = library->file();
    ASSERT_GE(file.size(), 22u);
    EXPECT_EQ(file.substr(file.size() - 22), "/platform/libcuda.so.1");
    EXPECT_NE(library->symbol("cuInit"), nullptr);
}

TEST(OpenFirst, ReportsEveryLoaderErrorInOrder) {
    try {
        DynamicLibrary::open_first({"libtevu-none.so", {"libtevu-none.so", "libtevu-none.so.1"}});
        ADD_FAILURE() << "opened a missing library";
    } catch (const LibraryError& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("libtevu-none.so: ", 0), 0u) << text;
        const auto second = text.find("; libtevu-none.so.1: ");
        EXPECT_NE(second, std::string::npos) << text;
    }
    EXPECT_THROW(DynamicLibrary::open_first({"libtevu-none.so", {}}), LibraryError);
}

TEST(LoadedFile, IsEmptyForNoHandle) { EXPECT_EQ(DynamicLibrary::loaded_file(nullptr), ""); }

// A folder holding only the soname, as a driver installation without development links has it: the
// layer's default load finds the driver there.
TEST(DriverLoad, FindsTheSonameAlone) {
    char pattern[] = "/tmp/tevu-soname.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    const std::string link = folder + "/libcuda.so.1";
    ASSERT_EQ(symlink(TEVU_PLATFORM_DIR "/libcuda.so.1", link.c_str()), 0);
    tevu::testing::RunOptions options;
    options.inherit_environment = true;
    options.environment.push_back("LD_LIBRARY_PATH=" + folder);
    const tevu::testing::RunResult r = tevu::testing::run_program(TEVU_CUDA_CLIENT, {"devices"}, options);
    unlink(link.c_str());
    rmdir(folder.c_str());
    EXPECT_EQ(r.exit_status, 0) << r.output << r.error;
    EXPECT_EQ(r.output.substr(0, 2), "1\n") << r.output;
}

}  // namespace
}  // namespace tevu::cuda::testing
