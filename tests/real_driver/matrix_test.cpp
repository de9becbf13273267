// The driver matrix: what each fetched series of NVIDIA's real user-space libraries (340 to 555, no GPU)
// answers to the version words of the modules' APIs (4.0, 5.0, 12.0) and of 12.1 and 12.2, compared with
// the table below, the outcomes measured once and written down. Each series runs in a child process of
// this program (--probe) with only its own folder of sonames on LD_LIBRARY_PATH. The series' folders lie
// in TEVU_REAL_DRIVER_MATRIX (build/nvidia-userspace/SERIES, made by the real_driver.fetch.SERIES tests); a
// series that could not be fetched is skipped with the fetch's reason, and with none at all the program
// exits with status 77. TEVU_REAL_DRIVER_SERIES, where set, lists the matrix's series: a table of others
// fails.
#include "dynamic_library.h"
#include "nvenc_api.h"
#include "process.h"
#include "tables.h"
#include "tevu_nvenc_apis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

namespace tevu::real_driver {
namespace {

constexpr int skip_status = 77;
constexpr uint32_t NVENC_API_V12_1 = 0xC1;
constexpr uint32_t NVENC_API_V12_2 = 0xC2;
// The APIs asked, in the table's column order.
constexpr uint32_t probed_apis[] = {NVENC_API_V4, NVENC_API_V5, NVENC_API_V12, NVENC_API_V12_1, NVENC_API_V12_2};
constexpr std::size_t api_count = sizeof(probed_apis) / sizeof(probed_apis[0]);
// The modules' APIs, oldest first as the table lists them.
std::vector<uint32_t> module_api_words() {
    std::vector<uint32_t> words;
    for (const nvenc::ApiBuild& build : nvenc::kApiBuilds) words.push_back(build.word);
    std::sort(words.begin(), words.end());
    return words;
}
const std::vector<uint32_t> module_apis = module_api_words();

// An open status of -1: not reached (the function list was refused).
constexpr int not_reached = -1;
constexpr int ok = NV_ENC_SUCCESS;
constexpr int null_device = NV_ENC_ERR_INVALID_PTR;  // the version accepted, the missing device refused
constexpr int refused = NV_ENC_ERR_INVALID_VERSION;

struct Outcome {
    int create;  // NvEncodeAPICreateInstance with the API's function-list word
    int open;    // nvEncOpenEncodeSessionEx on a null CUDA device with the API's session word and apiVersion
    bool operator==(const Outcome& o) const { return create == o.create && open == o.open; }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    out << o.create << " / ";
    return o.open == not_reached ? out << "-" : out << o.open;
}

struct Driver {
    const char* series;
    const char* measured;  // the driver version the table was measured with
    uint32_t newest;       // NvEncodeAPIGetMaxSupportedVersion's answer; 0: the library has no such entry point
    Outcome outcomes[api_count];
    std::vector<uint32_t> modules;  // the modules' APIs the driver serves
};

const Driver drivers[] = {
    {"340", "340.108", 0,
     {{ok, null_device}, {refused, not_reached}, {refused, not_reached}, {refused, not_reached},
      {refused, not_reached}},
     {NVENC_API_V4}},
    {"390", "390.157", 0x81,
     {{ok, null_device}, {ok, null_device}, {refused, not_reached}, {refused, not_reached}, {refused, not_reached}},
     {NVENC_API_V4, NVENC_API_V5}},
    {"418", "418.226.00", 0x90,
     {{ok, null_device}, {ok, null_device}, {ok, refused}, {ok, refused}, {ok, refused}},
     {NVENC_API_V4, NVENC_API_V5}},
    {"470", "470.256.02", 0xB1,
     {{ok, null_device}, {ok, null_device}, {ok, refused}, {ok, refused}, {ok, refused}},
     {NVENC_API_V4, NVENC_API_V5}},
    {"535", "535.261.03", 0xC1,
     {{ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, refused}},
     {NVENC_API_V4, NVENC_API_V5, NVENC_API_V12}},
    {"550", "550.163.01", 0xC2,
     {{ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, null_device}},
     {NVENC_API_V4, NVENC_API_V5, NVENC_API_V12}},
    {"555", "555.58.02", 0xC2,
     {{ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, null_device}, {ok, null_device}},
     {NVENC_API_V4, NVENC_API_V5, NVENC_API_V12}},
};

// gtest names a failing case by its driver.
void PrintTo(const Driver& d, std::ostream* out) { *out << d.series; }

// ---------------------------------------------------------------------------------------------------------
// The child: one series' libraries, found through LD_LIBRARY_PATH. Prints
//   file SONAME PATH             for the CUDA and NVENC libraries the loader took
//   newest STATUS API | newest missing
//   api API CREATE OPEN          for each probed API (OPEN -1 where not reached)

int probe() {
    std::shared_ptr<cuda::DynamicLibrary> cuda_library, encode_library;
    try {
        cuda_library = cuda::DynamicLibrary::open("libcuda.so.1");
        encode_library = cuda::DynamicLibrary::open("libnvidia-encode.so.1");
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
    for (const auto& library : {cuda_library, encode_library})
        std::printf("file %s %s\n", library->name().c_str(), library->file().c_str());

    if (void* entry = dlsym(encode_library->native_handle(), "NvEncodeAPIGetMaxSupportedVersion")) {
        const nvenc::NewestApi newest = nvenc::query_newest_api(entry);
        std::printf("newest %d %u\n", newest.status, newest.version);
    } else {
        std::printf("newest missing\n");
    }

    auto create = reinterpret_cast<PNVENCODEAPICREATEINSTANCE>(
        dlsym(encode_library->native_handle(), "NvEncodeAPICreateInstance"));
    if (!create) {
        std::printf("error no NvEncodeAPICreateInstance\n");
        return 1;
    }
    for (uint32_t api : probed_apis) {
        // Room past the list, should a library fill more of it than this header declares.
        struct {
            NV_ENCODE_API_FUNCTION_LIST list;
            unsigned char spare[8192];
        } table{};
        table.list.version = nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(api);
        const int created = create(&table.list);
        int opened = not_reached;
        if (created == NV_ENC_SUCCESS && table.list.nvEncOpenEncodeSessionEx) {
            NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
            params.version = nvenc_struct_version<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(api);
            params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
            params.device = nullptr;
            params.apiVersion = nvenc_api_word(api);
            void* encoder = nullptr;
            opened = table.list.nvEncOpenEncodeSessionEx(&params, &encoder);
            if (encoder && table.list.nvEncDestroyEncoder) table.list.nvEncDestroyEncoder(encoder);
        }
        std::printf("api %u %d %d\n", api, created, opened);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// The parent.

std::string matrix_folder() {
    const char* folder = std::getenv("TEVU_REAL_DRIVER_MATRIX");
    return folder ? folder : "";
}

std::string series_folder(const Driver& d) { return matrix_folder() + "/" + d.series; }

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

std::string real_path(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    std::string s = resolved ? resolved : "";
    std::free(resolved);
    return s;
}

// Why a series cannot be probed; empty when its libraries are there.
std::string why_unavailable(const Driver& d) {
    if (matrix_folder().empty()) return "TEVU_REAL_DRIVER_MATRIX is not set";
    const std::string folder = series_folder(d);
    if (access((folder + "/sonames/libcuda.so.1").c_str(), F_OK) == 0) return "";
    const std::string reason = read_text(folder + "/unavailable");
    return "no libraries in " + folder + "/sonames: " +
           (reason.empty() ? "run the real_driver.fetch." + std::string(d.series) + " test first" : reason);
}

struct Measured {
    std::map<std::string, std::string> files;  // soname -> the file loaded
    bool has_newest = false;
    int newest_status = 0;
    uint32_t newest = 0;
    std::map<uint32_t, Outcome> outcomes;
};

Measured parse_probe(const std::string& output) {
    Measured m;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "file") {
            std::string soname, file;
            words >> soname >> file;
            m.files[soname] = file;
        } else if (key == "newest") {
            std::string status;
            words >> status;
            m.has_newest = status != "missing";
            if (m.has_newest) {
                m.newest_status = std::stoi(status);
                words >> m.newest;
            }
        } else if (key == "api") {
            uint32_t api = 0;
            Outcome o{};
            words >> api >> o.create >> o.open;
            m.outcomes[api] = o;
        }
    }
    return m;
}

// The modules' APIs whose function list and session words a driver took (the session refused for the
// missing device only).
std::vector<uint32_t> served_modules(const std::map<uint32_t, Outcome>& outcomes) {
    std::vector<uint32_t> served;
    for (uint32_t api : module_apis) {
        auto it = outcomes.find(api);
        if (it != outcomes.end() && it->second == Outcome{ok, null_device}) served.push_back(api);
    }
    return served;
}

std::string apis_text(const std::vector<uint32_t>& apis) {
    std::string text;
    for (uint32_t api : apis) text += (text.empty() ? "" : ", ") + nvenc::api_version_text(api);
    return text.empty() ? "none" : text;
}

std::string self_path() { return real_path("/proc/self/exe"); }

class Matrix : public ::testing::TestWithParam<Driver> {};

TEST_P(Matrix, LibrariesAnswerAsTheTableSays) {
    const Driver& d = GetParam();
    const std::string why = why_unavailable(d);
    if (!why.empty()) GTEST_SKIP() << d.series << ": " << why;
    const std::string folder = series_folder(d);
    const std::string fetched = read_text(folder + "/ready");

    testing::RunOptions options;
    options.environment = {"LD_LIBRARY_PATH=" + folder + "/sonames"};
    const testing::RunResult run = testing::run_program(self_path(), {"--probe"}, options);
    ASSERT_EQ(run.exit_status, 0) << "probe of " << d.series << " (signal " << run.signal << "): " << run.output
                                  << run.error;
    const Measured m = parse_probe(run.output);

    // The loader took this series' own files, under the folder's sonames.
    for (const char* soname : {"libcuda.so.1", "libnvidia-encode.so.1"}) {
        const auto it = m.files.find(soname);
        ASSERT_NE(it, m.files.end()) << soname << "\n" << run.output;
        EXPECT_EQ(it->second, real_path(folder + "/sonames/" + soname)) << soname;
        EXPECT_NE(it->second.find(".so." + std::string(d.series) + "."), std::string::npos) << it->second;
    }

    std::ostringstream row;
    row << d.series << " (" << fetched << "): newest "
        << (m.has_newest ? nvenc::api_version_text(m.newest) : std::string("(no entry point)"));
    if (!m.has_newest) {
        EXPECT_EQ(d.newest, 0u) << d.series << ": no NvEncodeAPIGetMaxSupportedVersion";
    } else {
        EXPECT_EQ(m.newest_status, NV_ENC_SUCCESS) << d.series;
        EXPECT_EQ(nvenc::api_version_text(m.newest),
                  d.newest ? nvenc::api_version_text(d.newest) : std::string("(no entry point)"))
            << d.series << ": NvEncodeAPIGetMaxSupportedVersion";
    }
    for (std::size_t i = 0; i < api_count; ++i) {
        const uint32_t api = probed_apis[i];
        const auto it = m.outcomes.find(api);
        ASSERT_NE(it, m.outcomes.end()) << d.series << ": API " << nvenc::api_version_text(api) << " not probed\n"
                                        << run.output;
        row << "; " << nvenc::api_version_text(api) << " " << it->second;
        EXPECT_EQ(it->second, d.outcomes[i])
            << d.series << ": API " << nvenc::api_version_text(api) << " create / open (function-list word 0x"
            << std::hex << nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(api) << ", session word 0x"
            << nvenc_struct_version<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(api) << ", apiVersion 0x"
            << nvenc_api_word(api) << ")";
    }
    const std::vector<uint32_t> served = served_modules(m.outcomes);
    row << "; serves the modules of API " << apis_text(served);
    EXPECT_EQ(apis_text(served), apis_text(d.modules)) << d.series << ": the modules served";
    std::cout << row.str() << "\n";
    if (fetched.find(" " + std::string(d.measured) + "-") == std::string::npos)
        std::cout << "  (the table was measured with " << d.measured << ")\n";
}

std::string driver_name(const ::testing::TestParamInfo<Driver>& info) {
    return std::string("Driver") + info.param.series;
}

INSTANTIATE_TEST_SUITE_P(Drivers, Matrix, ::testing::ValuesIn(drivers), driver_name);

}  // namespace
}  // namespace tevu::real_driver

int main(int argc, char** argv) {
    using namespace tevu::real_driver;
    if (argc == 2 && std::string(argv[1]) == "--probe") return probe();
    if (const char* listed = std::getenv("TEVU_REAL_DRIVER_SERIES")) {
        std::istringstream words(listed);
        std::vector<std::string> series{std::istream_iterator<std::string>(words), {}}, table;
        for (const Driver& d : drivers) table.emplace_back(d.series);
        std::sort(series.begin(), series.end());
        if (series != table) {  // the table's rows are in order
            std::cout << "real_driver.matrix: the matrix's series are " << listed << ", the table has";
            for (const std::string& s : table) std::cout << " " << s;
            std::cout << "\n";
            return 1;
        }
    }
    std::string reasons;
    bool any = false;
    for (const Driver& d : drivers) {
        const std::string why = why_unavailable(d);
        if (why.empty()) any = true;
        else reasons += std::string("  ") + d.series + ": " + why + "\n";
    }
    if (!reasons.empty()) std::cout << "real_driver.matrix: drivers skipped:\n" << reasons;
    if (!any) {
        std::cout << "real_driver.matrix: skipped: no driver series could be had\n";
        return skip_status;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
