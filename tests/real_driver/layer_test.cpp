// NVIDIA's real user-space libraries, without a GPU, through the modules' own C++ layer: the libraries
// are found under their sonames alone, the CUDA driver says there is no device, and the NVENC library
// takes this build's version words (its function list, and a session refused for the missing device).
// The test runs with LD_LIBRARY_PATH holding only the folder of sonames (TEVU_REAL_DRIVER_SONAMES).
#include "cuda_layer.h"
#include "nvenc_api.h"
#include "tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

namespace tevu::real_driver {
namespace {

std::string sonames_folder() {
    const char* folder = std::getenv("TEVU_REAL_DRIVER_SONAMES");
    return folder ? folder : "";
}

// Why the libraries are not there: the fetch stage's reason, when it left one.
std::string why_unavailable() {
    const std::string folder = sonames_folder();
    if (folder.empty()) return "TEVU_REAL_DRIVER_SONAMES is not set";
    if (access((folder + "/libcuda.so.1").c_str(), F_OK) == 0) return "";
    std::ifstream reason(folder + "/../unavailable");
    std::stringstream text;
    text << reason.rdbuf();
    return "no NVIDIA user-space libraries in " + folder + (text.str().empty() ? "" : ": " + text.str());
}

bool is_stand_in(const cuda::DynamicLibrary& library) {
    return dlsym(library.native_handle(), "tevu_platform_standin") != nullptr;
}

class RealLibraries : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = why_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    // The real file behind a library, which must be the one its soname's link in the folder names (the
    // fetched one), not a stand-in.
    void expect_fetched(const cuda::DynamicLibrary& library, const std::string& file_prefix) {
        const std::string file = library.file();
        char* linked = realpath((sonames_folder() + "/" + library.name()).c_str(), nullptr);
        ASSERT_NE(linked, nullptr) << library.name();
        EXPECT_EQ(file, linked);
        std::free(linked);
        EXPECT_NE(file.find("/" + file_prefix + ".535."), std::string::npos) << file;
        EXPECT_FALSE(is_stand_in(library)) << file;
    }
};

TEST_F(RealLibraries, CudaDriverIsFoundUnderItsSonameAndHasNoDevice) {
    cuda::DriverPtr driver = cuda::Driver::load();
    EXPECT_EQ(driver->library().name(), "libcuda.so.1");
    expect_fetched(driver->library(), "libcuda.so");
    EXPECT_GE(driver->version(), 12000);
    try {
        driver->init();
        ADD_FAILURE() << "cuInit succeeded without a GPU";
    } catch (const cuda::LogicError& e) {
        EXPECT_EQ(e.code(), CUDA_ERROR_NO_DEVICE);
        EXPECT_STREQ(e.what(), "cuInit failed: no CUDA-capable device is detected");
    }
    EXPECT_EQ(driver->error_name(CUDA_ERROR_NO_DEVICE), "CUDA_ERROR_NO_DEVICE");
}

TEST_F(RealLibraries, NvencLibraryIsFoundUnderItsSonameAndTellsItsNewestApi) {
    auto library = cuda::DynamicLibrary::open_first(cuda::nvenc_library(false));
    EXPECT_EQ(library->name(), "libnvidia-encode.so.1");
    expect_fetched(*library, "libnvidia-encode.so");
    const nvenc::NewestApi newest = nvenc::query_newest_api(library->symbol("NvEncodeAPIGetMaxSupportedVersion"));
    EXPECT_EQ(newest.status, NV_ENC_SUCCESS);
    EXPECT_EQ(nvenc::api_version_text(newest.version), "12.1");  // the 535 series
}

TEST_F(RealLibraries, SessionsAreRefusedForTheMissingDeviceWithThisBuildsWords) {
    auto library = cuda::DynamicLibrary::open_first(cuda::nvenc_library(false));
    auto create = reinterpret_cast<PNVENCODEAPICREATEINSTANCE>(library->symbol("NvEncodeAPICreateInstance"));
    NV_ENCODE_API_FUNCTION_LIST table;
    nvenc_reset(table);
    ASSERT_EQ(create(&table), NV_ENC_SUCCESS) << "API " << nvenc::api_version_text(NVENCAPI_VERSION);
    ASSERT_NE(table.nvEncOpenEncodeSessionEx, nullptr);
    ASSERT_NE(table.nvEncDestroyEncoder, nullptr);

    int not_a_context = 0;
    struct Case {
        const char* what;
        void* device;
        uint32_t version;
        uint32_t api;
        int status;
        const char* exception;  // the module's NVENCException message for it
    };
    const Case cases[] = {
        {"null device", nullptr, NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER, NVENCAPI_VERSION, NV_ENC_ERR_INVALID_PTR,
         "opening session - returned 6: This indicates that one or more of the pointers passed to the API call "
         "is invalid."},
        {"bogus device", &not_a_context, NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER, NVENCAPI_VERSION,
         NV_ENC_ERR_UNSUPPORTED_DEVICE,
         "opening session - returned 2: This indicates that devices pass by the client is not supported."},
        // A word the library does not know is refused before the device is looked at.
        {"word of another API", nullptr, nvenc_struct_version<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(0x70),
         NVENCAPI_VERSION, NV_ENC_ERR_INVALID_VERSION,
         "opening session - returned 15: This indicates that an invalid struct version was used by the client."},
        {"no word", &not_a_context, 0, NVENCAPI_VERSION, NV_ENC_ERR_INVALID_VERSION,
         "opening session - returned 15: This indicates that an invalid struct version was used by the client."},
    };
    for (const Case& c : cases) {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
        nvenc_reset(params);
        params.version = c.version;
        params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        params.device = c.device;
        params.apiVersion = c.api;
        void* encoder = nullptr;
        const NVENCSTATUS status = table.nvEncOpenEncodeSessionEx(&params, &encoder);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(encoder, nullptr) << c.what;
        EXPECT_EQ(nvenc::nvenc_exception_text("opening session", status), c.exception) << c.what;
    }
}

}  // namespace
}  // namespace tevu::real_driver
