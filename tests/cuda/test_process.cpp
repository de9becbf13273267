// The stand-in's environment: CUDA_EMU_DEVICES, initialisation, and the leak report at exit (each run
// in a client process of its own).
#include "../common/process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tevu::cuda::testing {
namespace {

using tevu::testing::RunOptions;
using tevu::testing::RunResult;
using Environment = std::vector<std::pair<std::string, std::string>>;

RunResult client(const std::string& scenario, const Environment& environment = {}) {
    RunOptions options;
    options.inherit_environment = true;
    for (const auto& [name, value] : environment) options.environment.push_back(name + "=" + value);
    return tevu::testing::run_program(TEVU_CUDA_CLIENT, {scenario}, options);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A report file that is removed at the end of the test.
struct ReportFile {
    std::string path = ::testing::TempDir() + "cuda_report_" + std::to_string(getpid()) + "_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ReportFile() { std::remove(path.c_str()); }
    ~ReportFile() { std::remove(path.c_str()); }
    std::vector<std::string> lines() const {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return lines_of(text.str());
    }
};

TEST(Environment, DeviceCountComesFromCudaEmuDevices) {
    RunResult three = client("devices", {{"CUDA_EMU_DEVICES", "3"}});
    ASSERT_EQ(three.exit_status, 0) << three.output << three.error;
    std::vector<std::string> lines = lines_of(three.output);
    ASSERT_EQ(lines.size(), 4u) << three.output;
    EXPECT_EQ(lines[0], "3");
    EXPECT_EQ(lines[3].substr(lines[3].find('|') + 1), "0000:03:00.0");
    EXPECT_NE(lines[1], lines[2]);

    RunResult none = client("devices", {{"CUDA_EMU_DEVICES", "0"}});
    EXPECT_EQ(none.exit_status, 1);
    EXPECT_EQ(none.output, "error: cuInit failed: no CUDA-capable device is detected\n");

    const char* invalid[] = {"many", "-1", "17", "2x"};
    for (const char* value : invalid) {
        RunResult r = client("devices", {{"CUDA_EMU_DEVICES", value}});
        EXPECT_EQ(r.exit_status, 0) << value;
        EXPECT_EQ(lines_of(r.output).at(0), "1") << value;
        EXPECT_NE(r.error.find(std::string("ignoring CUDA_EMU_DEVICES=") + value), std::string::npos) << r.error;
    }
}

TEST(Environment, CallsBeforeInitAreRefused) {
    RunResult r = client("before-init");
    ASSERT_EQ(r.exit_status, 0) << r.error;
    EXPECT_EQ(r.output, "cuDeviceGetCount=3 cuDriverGetVersion=0\ncuInit(1)=1 cuInit(0)=0 cuDeviceGetCount=0\n");
}

TEST(Environment, MalformedFailureRulesAreReported) {
    RunResult r = client("clean", {{"CUDA_EMU_FAIL", "cuMemAlloc"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.error.find("cuda stand-in: CUDA_EMU_FAIL: ignoring 'cuMemAlloc': missing '='"), std::string::npos)
        << r.error;
}

// Each value holds a rule that fails the device count; the item reported would have failed cuInit first.
TEST(Environment, FailureItemsNamingNoEntryPointAreReportedOnceAndTheOthersAct) {
    const char stray_space[] = "stray space (items are separated by ',' alone)";
    const struct {
        const char* value;
        const char* item;  // null: nothing is reported
        const char* problem;
    } cases[] = {
        {"cuInitt=100,cuDeviceGetCount=3", "cuInitt=100", "unknown entry point"},
        {"cuinit=100,cuDeviceGetCount=3", "cuinit=100", "unknown entry point"},
        {"cuInit_v2=100,cuDeviceGetCount=3", "cuInit_v2=100", "unknown entry point"},
        {" cuInit=100,cuDeviceGetCount=3", " cuInit=100", stray_space},
        {"cuDeviceGetCount=3, cuInit=100", " cuInit=100", stray_space},
        {"cuInit=100 ,cuDeviceGetCount=3", "cuInit=100 ", stray_space},
        {"cuInit =100,cuDeviceGetCount=3", "cuInit =100", stray_space},
        {"cuInit=100 @1,cuDeviceGetCount=3", "cuInit=100 @1", stray_space},
        {"cuDeviceGetCount=3", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        RunResult r = client("devices", {{"CUDA_EMU_FAIL", c.value}});
        EXPECT_EQ(r.exit_status, 1) << c.value;
        EXPECT_EQ(r.output.rfind("error: cuDeviceGetCount failed: ", 0), 0u) << c.value << ": " << r.output;
        EXPECT_EQ(r.error, c.item ? std::string("cuda stand-in: CUDA_EMU_FAIL: ignoring '") + c.item + "': " +
                                        c.problem + "\n"
                                  : "")
            << c.value;
    }
}

TEST(LeakReport, IsEmptyWhenEverythingWasReleased) {
    ReportFile report;
    RunResult r = client("clean", {{"CUDA_EMU_REPORT_FILE", report.path}});
    ASSERT_EQ(r.exit_status, 0) << r.output << r.error;
    EXPECT_EQ(report.lines(),
              std::vector<std::string>{"CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0"});
}

TEST(LeakReport, CountsNothingThatWentWithItsContext) {
    ReportFile report;
    RunResult r = client("with-context", {{"CUDA_EMU_REPORT_FILE", report.path}});
    ASSERT_EQ(r.exit_status, 0) << r.output << r.error;
    EXPECT_EQ(report.lines(),
              std::vector<std::string>{"CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0"});
}

TEST(LeakReport, ListsEveryObjectStillHeld) {
    ReportFile report;
    RunResult r = client("leak", {{"CUDA_EMU_REPORT_FILE", report.path}, {"CUDA_EMU_REPORT", "1"}});
    ASSERT_EQ(r.exit_status, 0) << r.output << r.error;
    std::vector<std::string> lines = report.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "CUDA_EMU_REPORT: leaks=4 contexts=1 allocations=1 host_buffers=1 modules=1");
    const char* kinds[] = {"CUDA_EMU_LEAK: context ", "CUDA_EMU_LEAK: device allocation ",
                           "CUDA_EMU_LEAK: page-locked buffer ", "CUDA_EMU_LEAK: module "};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i + 1].rfind(kinds[i], 0), 0u) << lines[i + 1];
    EXPECT_NE(lines[1].find("flags 0x8"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("of 5120 bytes (pitch 512)"), std::string::npos) << lines[2];
    EXPECT_NE(lines[4].find("(BGRA_to_NV12)"), std::string::npos) << lines[4];
    // CUDA_EMU_REPORT=1 writes the same lines to standard error.
    std::vector<std::string> err = lines_of(r.error);
    EXPECT_EQ(err, lines);
}

TEST(LeakReport, IsWrittenOnlyWhenAsked) {
    RunResult quiet = client("leak", {{"CUDA_EMU_REPORT", "0"}});
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(quiet.error, "");
    RunResult loud = client("clean", {{"CUDA_EMU_REPORT", "1"}});
    EXPECT_EQ(loud.error, "CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0\n");
}

}  // namespace
}  // namespace tevu::cuda::testing
