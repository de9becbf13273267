#include "standin_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <dlfcn.h>
#endif

#include "nvapi_loader.h"

namespace tevu::nvapi::testing {

#if defined(_WIN32)
namespace {

// Windows loads the library from the system directory only, so the library a test asks for through
// TEVU_NVAPI_SYSTEM_DIR (a folder, empty or unset for none) is put there in place of the one before.
void place_system_library(const char* folder) {
    wchar_t system[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
    ASSERT_TRUE(length > 0 && length <= MAX_PATH);
    const std::filesystem::path target = std::filesystem::path(system) / "nvapi.dll";
    std::error_code error;
    std::filesystem::remove(target, error);
    ASSERT_FALSE(error) << "cannot remove " << target.string() << ": " << error.message();
    if (!folder || !*folder) return;
    const std::filesystem::path source = std::filesystem::path(folder) / "nvapi.dll";
    if (!std::filesystem::exists(source)) return;
    std::filesystem::copy_file(source, target, error);
    ASSERT_FALSE(error) << "cannot copy " << source.string() << ": " << error.message();
}

}  // namespace

void StandinTest::set(const char* variable, const std::string& value) {
    if (std::strcmp(variable, "TEVU_NVAPI_SYSTEM_DIR") == 0) place_system_library(value.c_str());
    setenv(variable, value.c_str(), 1);
}
void StandinTest::unset(const char* variable) {
    if (std::strcmp(variable, "TEVU_NVAPI_SYSTEM_DIR") == 0) place_system_library(nullptr);
    unsetenv(variable);
}

bool StandinTest::library_mapped() { return GetModuleHandleW(L"nvapi.dll") != nullptr; }
#else
void StandinTest::set(const char* variable, const std::string& value) { setenv(variable, value.c_str(), 1); }
void StandinTest::unset(const char* variable) { unsetenv(variable); }

bool StandinTest::library_mapped() {
    void* handle = dlopen(platform_library_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}
#endif

void StandinTest::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test_name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : test_name)
        if (c == '/') c = '_';
    scratch_ = std::string(TEVU_TEST_SCRATCH_DIR) + "/" + test_name;
    std::remove((scratch_ + ".events").c_str());
    std::remove(gate_path().c_str());
    set("TEVU_NVAPI_SYSTEM_DIR", TEVU_TEST_PLATFORM_DIR);
    set("NVAPI_EMU_EVENTS", scratch_ + ".events");
    for (const char* variable : {"NVAPI_EMU_VERSION", "NVAPI_EMU_BRANCH", "NVAPI_EMU_FAIL", "NVAPI_EMU_MISSING",
                                 "NVAPI_EMU_HOLD"})
        unset(variable);
    ASSERT_FALSE(loader_state().library_loaded) << "an earlier test left the library loaded";
}

void StandinTest::TearDown() {
    open_gate();
    EXPECT_FALSE(loader_state().library_loaded) << "the test left the library loaded";
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(loader_state().in_flight, 0);
}

std::vector<std::string> StandinTest::events() const {
    std::vector<std::string> lines;
    std::ifstream in(scratch_ + ".events");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

long StandinTest::count(const std::string& event) const {
    long n = 0;
    for (const std::string& line : events()) n += line == event;
    return n;
}

bool StandinTest::wait_until(const std::function<bool()>& condition, const std::function<bool()>& hopeless) {
    while (!condition()) {
        if (hopeless()) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool StandinTest::wait_for(const std::string& event, long times, const std::function<bool()>& hopeless) const {
    return wait_until([&] { return count(event) >= times; }, hopeless);
}

std::string StandinTest::platform_library_path() { return std::string(TEVU_TEST_PLATFORM_DIR) + "/nvapi.dll"; }

void StandinTest::open_gate() const { std::ofstream(gate_path()).put('\n'); }

}  // namespace tevu::nvapi::testing
