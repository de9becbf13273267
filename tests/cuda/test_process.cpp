// The stand-in's environment: CUDA_EMU_DEVICES, initialisation, and the leak report at exit (each run
// in a client process of its own).
#include "process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tevu::cuda::testing {
namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

ProcessResult client(const std::string& scenario, const Environment& environment = {}) {
    return run_process(TEVU_CUDA_CLIENT, {scenario}, environment);
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
    ProcessResult three = client("devices", {{"CUDA_EMU_DEVICES", "3"}});
    ASSERT_EQ(three.status, 0) << three.out << three.err;
    std::vector<std::string> lines = lines_of(three.out);
    ASSERT_EQ(lines.size(), 4u) << three.out;
    EXPECT_EQ(lines[0], "3");
    EXPECT_EQ(lines[3].substr(lines[3].find('|') + 1), "0000:03:00.0");
    EXPECT_NE(lines[1], lines[2]);

    ProcessResult none = client("devices", {{"CUDA_EMU_DEVICES", "0"}});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "error: cuInit failed: no CUDA-capable device is detected\n");

    const char* invalid[] = {"many", "-1", "17", "2x"};
    for (const char* value : invalid) {
        ProcessResult r = client("devices", {{"CUDA_EMU_DEVICES", value}});
        EXPECT_EQ(r.status, 0) << value;
        EXPECT_EQ(lines_of(r.out).at(0), "1") << value;
        EXPECT_NE(r.err.find(std::string("ignoring CUDA_EMU_DEVICES=") + value), std::string::npos) << r.err;
    }
}

TEST(Environment, CallsBeforeInitAreRefused) {
    ProcessResult r = client("before-init");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "cuDeviceGetCount=3 cuDriverGetVersion=0\ncuInit(1)=1 cuInit(0)=0 cuDeviceGetCount=0\n");
}

TEST(Environment, MalformedFailureRulesAreReported) {
    ProcessResult r = client("clean", {{"CUDA_EMU_FAIL", "cuMemAlloc"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("cuda stand-in: CUDA_EMU_FAIL: ignoring 'cuMemAlloc': missing '='"), std::string::npos)
        << r.err;
}

TEST(LeakReport, IsEmptyWhenEverythingWasReleased) {
    ReportFile report;
    ProcessResult r = client("clean", {{"CUDA_EMU_REPORT_FILE", report.path}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(report.lines(),
              std::vector<std::string>{"CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0"});
}

TEST(LeakReport, CountsNothingThatWentWithItsContext) {
    ReportFile report;
    ProcessResult r = client("with-context", {{"CUDA_EMU_REPORT_FILE", report.path}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(report.lines(),
              std::vector<std::string>{"CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0"});
}

TEST(LeakReport, ListsEveryObjectStillHeld) {
    ReportFile report;
    ProcessResult r = client("leak", {{"CUDA_EMU_REPORT_FILE", report.path}, {"CUDA_EMU_REPORT", "1"}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
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
    std::vector<std::string> err = lines_of(r.err);
    EXPECT_EQ(err, lines);
}

TEST(LeakReport, IsWrittenOnlyWhenAsked) {
    ProcessResult quiet = client("leak", {{"CUDA_EMU_REPORT", "0"}});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    ProcessResult loud = client("clean", {{"CUDA_EMU_REPORT", "1"}});
    EXPECT_EQ(loud.err, "CUDA_EMU_REPORT: leaks=0 contexts=0 allocations=0 host_buffers=0 modules=0\n");
}

}  // namespace
}  // namespace tevu::cuda::testing
