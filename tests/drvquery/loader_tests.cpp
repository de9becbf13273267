#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "nvapi_loader.h"
#include "standin_fixture.h"

namespace tevu::nvapi::testing {
namespace {

struct DriverVersion {
    NvAPI_Status status;
    NvU32 version;
    std::string branch;
};

DriverVersion query_driver_version() {
    DriverVersion result{NVAPI_OK, 0, ""};
    NvAPI_ShortString branch;
    std::memset(branch, 'x', sizeof branch);
    result.status = NvAPI_SYS_GetDriverAndBranchVersion(&result.version, branch);
    if (result.status == NVAPI_OK) result.branch.assign(branch, strnlen(branch, sizeof branch));
    return result;
}

NvAPI_Status query_error_message() {
    NvAPI_ShortString text = {};
    return NvAPI_GetErrorMessage(NVAPI_ERROR, text);
}

// Starts the threads together, so that their first calls race.
template <class Body>
void run_together(int thread_count, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < thread_count) std::this_thread::yield();
            body(i);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

const std::string kVersionEntry = "NvAPI_SYS_GetDriverAndBranchVersion";

// --- no library ------------------------------------------------------------------------------------

struct MissingLibraryCase {
    const char* name;
    const char* system_dir;  // null: unset
};
void PrintTo(const MissingLibraryCase& c, std::ostream* out) { *out << c.name; }


class NoLibrary : public StandinTest, public ::testing::WithParamInterface<MissingLibraryCase> {};

TEST_P(NoLibrary, EveryEntryReportsItAndUnloadHasNothingToDo) {
    if (GetParam().system_dir)
        set("TEVU_NVAPI_SYSTEM_DIR", GetParam().system_dir);
    else
        unset("TEVU_NVAPI_SYSTEM_DIR");
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_LIBRARY_NOT_FOUND);
    EXPECT_EQ(query_driver_version().status, NVAPI_LIBRARY_NOT_FOUND);
    EXPECT_EQ(query_error_message(), NVAPI_LIBRARY_NOT_FOUND);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED);
    EXPECT_EQ(loader_state().init_count, 0);
    EXPECT_TRUE(events().empty());
}

INSTANTIATE_TEST_SUITE_P(Loader, NoLibrary,
                         ::testing::Values(MissingLibraryCase{"unset", nullptr}, MissingLibraryCase{"empty", ""},
                                           MissingLibraryCase{"without_library", TEVU_TEST_EMPTY_DIR},
                                           MissingLibraryCase{"nonexistent", TEVU_TEST_EMPTY_DIR "/absent/"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- binding failures ------------------------------------------------------------------------------

struct BindFailureCase {
    const char* name;
    const char* variable;  // steering of the stand-in, or TEVU_NVAPI_SYSTEM_DIR for another library
    const char* value;
    NvAPI_Status expected;
};
void PrintTo(const BindFailureCase& c, std::ostream* out) { *out << c.name; }


class BindFailure : public StandinTest, public ::testing::WithParamInterface<BindFailureCase> {};

TEST_P(BindFailure, FreesTheLibraryAgainAndLeavesNoState) {
    set(GetParam().variable, GetParam().value);
    EXPECT_EQ(NvAPI_Initialize(), GetParam().expected);
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(query_driver_version().status, GetParam().expected);  // a stub binds the same way
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(count("loaded"), count("released"));
    EXPECT_EQ(count("call NvAPI_Unload 0"), 0);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED);
    EXPECT_EQ(loader_state().init_count, 0);

    // Nothing of the failure lingers: with a sound library the next load works.
    set("TEVU_NVAPI_SYSTEM_DIR", TEVU_TEST_PLATFORM_DIR);
    unset("NVAPI_EMU_FAIL");
    unset("NVAPI_EMU_MISSING");
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, BindFailure,
    ::testing::Values(BindFailureCase{"no_query_export", "TEVU_NVAPI_SYSTEM_DIR", TEVU_TEST_NO_QUERY_DIR, NVAPI_ERROR},
                      BindFailureCase{"no_initialise_entry", "NVAPI_EMU_MISSING", "NvAPI_Initialize", NVAPI_ERROR},
                      BindFailureCase{"initialise_fails", "NVAPI_EMU_FAIL", "NvAPI_Initialize=-6", -6},
                      BindFailureCase{"initialise_fails_positive", "NVAPI_EMU_FAIL", "NvAPI_Initialize=7", 7}),
    [](const auto& info) { return std::string(info.param.name); });

// --- counting --------------------------------------------------------------------------------------

class NestedUsers : public StandinTest, public ::testing::WithParamInterface<int> {};

TEST_P(NestedUsers, OnlyTheLastUnloadReleases) {
    const int users = GetParam();
    for (int i = 1; i <= users; ++i) {
        ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_EQ(loader_state().init_count, i);
    }
    EXPECT_EQ(count("loaded"), 1);
    EXPECT_EQ(count("call NvAPI_Initialize 0"), 1);  // the driver is initialised once per load
    for (int left = users - 1; left > 0; --left) {
        EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
        EXPECT_EQ(loader_state().init_count, left);
        EXPECT_TRUE(library_mapped());
        EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    }
    EXPECT_EQ(count("query NvAPI_Unload"), 0);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(count("call NvAPI_Unload 0"), 1);
    EXPECT_EQ(count("released"), 1);
    EXPECT_FALSE(loader_state().lock_exists);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED);
}

INSTANTIATE_TEST_SUITE_P(Loader, NestedUsers, ::testing::Values(1, 2, 4));

using Lifecycle = StandinTest;

TEST_F(Lifecycle, StubLoadsByItselfAndOneUnloadReleases) {
    const DriverVersion result = query_driver_version();
    EXPECT_EQ(result.status, NVAPI_OK);
    EXPECT_EQ(result.version, 36180u);
    EXPECT_EQ(result.branch, "r361_00");
    EXPECT_EQ(loader_state().init_count, 1);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_FALSE(library_mapped());
}

TEST_F(Lifecycle, LockComesAndGoesWithEachCycle) {
    for (int cycle = 1; cycle <= 3; ++cycle) {
        EXPECT_FALSE(loader_state().lock_exists);
        ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_TRUE(loader_state().lock_exists);
        EXPECT_EQ(query_driver_version().status, NVAPI_OK);
        ASSERT_EQ(NvAPI_Unload(), NVAPI_OK);
        EXPECT_EQ(count("released"), cycle);
    }
}

TEST_F(Lifecycle, EntryIsResolvedOncePerLoad) {
    for (int cycle = 1; cycle <= 2; ++cycle) {
        ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
        for (int call = 0; call < 3; ++call) EXPECT_EQ(query_driver_version().status, NVAPI_OK);
        EXPECT_EQ(query_error_message(), NVAPI_OK);
        EXPECT_EQ(count("query " + kVersionEntry), cycle);
        EXPECT_EQ(count("query NvAPI_GetErrorMessage"), cycle);
        ASSERT_EQ(NvAPI_Unload(), NVAPI_OK);
    }
}

TEST_F(Lifecycle, UnresolvedEntryIsAskedForAgainNextCall) {
    set("NVAPI_EMU_MISSING", kVersionEntry + "@1");
    EXPECT_EQ(query_driver_version().status, NVAPI_NO_IMPLEMENTATION);
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    EXPECT_EQ(count("query " + kVersionEntry), 2);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
}

TEST_F(Lifecycle, MalformedSteeringItemsAreIgnoredAndReported) {
    set("NVAPI_EMU_FAIL", "NvAPI_Initialize=5x,NvAPI_Nothing=-5," + kVersionEntry + "=-4@2");
    set("NVAPI_EMU_MISSING", "NvAPI_Initialize=1");
    set("NVAPI_EMU_HOLD", "NvAPI_Unload=");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    EXPECT_EQ(query_driver_version().status, -4) << "the well-formed item still counts";
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_EQ(messages,
              "nvapi stand-in: NVAPI_EMU_FAIL: ignoring 'NvAPI_Initialize=5x': status must be an integer\n"
              "nvapi stand-in: NVAPI_EMU_FAIL: ignoring 'NvAPI_Nothing=-5': unknown entry point\n"
              "nvapi stand-in: NVAPI_EMU_MISSING: ignoring 'NvAPI_Initialize=1': takes no '=' value\n"
              "nvapi stand-in: NVAPI_EMU_HOLD: ignoring 'NvAPI_Unload=': path must not be empty\n");
}

// A value with one item the stand-in cannot take, which would have made NvAPI_Initialize fail or go
// missing, beside a rule for the version query that still acts.
struct SteeringItemCase {
    const char* name;
    const char* variable;
    std::string value;
    std::string item;  // the item reported; empty: nothing is
    const char* problem;
    NvAPI_Status version_status;  // what the version query then answers
};
void PrintTo(const SteeringItemCase& c, std::ostream* out) { *out << c.name; }

class SteeringItem : public StandinTest, public ::testing::WithParamInterface<SteeringItemCase> {};

TEST_P(SteeringItem, IsReportedOnceAndTheOtherRulesAct) {
    const SteeringItemCase& c = GetParam();
    set(c.variable, c.value);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(query_driver_version().status, c.version_status);
    EXPECT_EQ(query_driver_version().status, c.version_status);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              c.item.empty() ? ""
                             : std::string("nvapi stand-in: ") + c.variable + ": ignoring '" + c.item + "': " +
                                   c.problem + "\n");
}

constexpr char kStraySpace[] = "stray space (items are separated by ',' alone)";

INSTANTIATE_TEST_SUITE_P(
    Loader, SteeringItem,
    ::testing::Values(
        SteeringItemCase{"misspelt_failure", "NVAPI_EMU_FAIL", "NvAPI_Initialise=-6," + kVersionEntry + "=-4",
                         "NvAPI_Initialise=-6", "unknown entry point", -4},
        SteeringItemCase{"leading_space_failure", "NVAPI_EMU_FAIL", " NvAPI_Initialize=-6," + kVersionEntry + "=-4",
                         " NvAPI_Initialize=-6", kStraySpace, -4},
        SteeringItemCase{"space_after_comma_failure", "NVAPI_EMU_FAIL", kVersionEntry + "=-4, NvAPI_Initialize=-6",
                         " NvAPI_Initialize=-6", kStraySpace, -4},
        SteeringItemCase{"trailing_space_failure", "NVAPI_EMU_FAIL", "NvAPI_Initialize=-6 ," + kVersionEntry + "=-4",
                         "NvAPI_Initialize=-6 ", kStraySpace, -4},
        SteeringItemCase{"spaced_status_failure", "NVAPI_EMU_FAIL", "NvAPI_Initialize= -6," + kVersionEntry + "=-4",
                         "NvAPI_Initialize= -6", kStraySpace, -4},
        SteeringItemCase{"valid_failure", "NVAPI_EMU_FAIL", kVersionEntry + "=-4", "", "", -4},
        SteeringItemCase{"misspelt_missing", "NVAPI_EMU_MISSING", "NvAPI_initialize," + kVersionEntry,
                         "NvAPI_initialize", "unknown entry point", NVAPI_NO_IMPLEMENTATION},
        SteeringItemCase{"leading_space_missing", "NVAPI_EMU_MISSING", " NvAPI_Initialize," + kVersionEntry,
                         " NvAPI_Initialize", kStraySpace, NVAPI_NO_IMPLEMENTATION},
        SteeringItemCase{"trailing_space_missing", "NVAPI_EMU_MISSING", kVersionEntry + ",NvAPI_Initialize\t",
                         "NvAPI_Initialize\t", kStraySpace, NVAPI_NO_IMPLEMENTATION},
        SteeringItemCase{"valid_missing", "NVAPI_EMU_MISSING", kVersionEntry, "", "", NVAPI_NO_IMPLEMENTATION}),
    [](const auto& info) { return std::string(info.param.name); });

// --- what the stubs pass through -------------------------------------------------------------------

struct StatusCase {
    const char* failure;
    NvAPI_Status expected;
};
void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.failure; }


class PassedThroughStatus : public StandinTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(PassedThroughStatus, ReachesCallerAndPostHook) {
    set("NVAPI_EMU_FAIL", GetParam().failure);
    EXPECT_EQ(query_driver_version().status, GetParam().expected);
    EXPECT_EQ(count("post 0x2926AAAD " + std::to_string(GetParam().expected) + " context-kept"), 1);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
}

INSTANTIATE_TEST_SUITE_P(Loader, PassedThroughStatus,
                         ::testing::Values(StatusCase{"NvAPI_SYS_GetDriverAndBranchVersion=-5", -5},
                                           StatusCase{"NvAPI_SYS_GetDriverAndBranchVersion=-180", -180},
                                           StatusCase{"NvAPI_SYS_GetDriverAndBranchVersion=3", 3}),
                         [](const auto& info) { return "status" + std::to_string(info.index); });

struct HookCase {
    const char* name;
    const char* missing;
    long pre_calls;
    const char* post_event;  // null: no post hook call
};
void PrintTo(const HookCase& c, std::ostream* out) { *out << c.name; }


class Hooks : public StandinTest, public ::testing::WithParamInterface<HookCase> {};

TEST_P(Hooks, AreCalledAroundEachEntryWhenOffered) {
    set("NVAPI_EMU_MISSING", GetParam().missing);
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    EXPECT_EQ(count("pre 0x2926AAAD"), 2 * GetParam().pre_calls);
    if (GetParam().post_event) {
        EXPECT_EQ(count(GetParam().post_event), 2);
    }
    long post_calls = 0;
    for (const std::string& event : events()) post_calls += event.rfind("post ", 0) == 0;
    EXPECT_EQ(post_calls, GetParam().post_event ? 2 : 0);
    ASSERT_EQ(NvAPI_Unload(), NVAPI_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, Hooks,
    ::testing::Values(HookCase{"both", "", 1, "post 0x2926AAAD 0 context-kept"},
                      // without a pre hook the post hook sees the zeroed context
                      HookCase{"no_pre", "pre_call_hook", 0, "post 0x2926AAAD 0 context-lost"},
                      HookCase{"no_post", "post_call_hook", 1, nullptr},
                      HookCase{"none", "pre_call_hook,post_call_hook", 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- unload refusals -------------------------------------------------------------------------------

struct UnloadFailureCase {
    const char* name;
    const char* variable;
    const char* value;
    NvAPI_Status expected;
};
void PrintTo(const UnloadFailureCase& c, std::ostream* out) { *out << c.name; }


class UnloadFailure : public StandinTest, public ::testing::WithParamInterface<UnloadFailureCase> {};

TEST_P(UnloadFailure, KeepsTheLibraryAndItsUser) {
    set(GetParam().variable, GetParam().value);
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(NvAPI_Unload(), GetParam().expected);
    EXPECT_TRUE(library_mapped());
    EXPECT_EQ(loader_state().init_count, 1);
    EXPECT_EQ(query_driver_version().status, NVAPI_OK);
    // The user kept its count: one more user and two unloads, of which only the second releases.
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_TRUE(library_mapped());
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_FALSE(library_mapped());
}

INSTANTIATE_TEST_SUITE_P(
    Loader, UnloadFailure,
    ::testing::Values(UnloadFailureCase{"unload_entry_missing", "NVAPI_EMU_MISSING", "NvAPI_Unload@1",
                                        NVAPI_NO_IMPLEMENTATION},
                      UnloadFailureCase{"unload_entry_fails", "NVAPI_EMU_FAIL", "NvAPI_Unload=-7@1", NVAPI_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

// --- threads ---------------------------------------------------------------------------------------

using Concurrency = StandinTest;

TEST_F(Concurrency, UnloadRefusesWhileCallsAreInside) {
    constexpr int kCallers = 3;
    set("NVAPI_EMU_HOLD", kVersionEntry + "=" + gate_path());
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    std::vector<DriverVersion> results(kCallers);
    std::atomic<int> returned{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
        callers.emplace_back([&, i] {
            results[i] = query_driver_version();
            ++returned;
        });
    // Every caller is held inside the driver until the gate opens; one that returns before has not been.
    EXPECT_TRUE(wait_for("enter " + kVersionEntry, kCallers, [&] { return returned.load() > 0; }));
    EXPECT_EQ(returned.load(), 0);
    EXPECT_EQ(loader_state().in_flight, kCallers);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_ERROR);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_ERROR);
    EXPECT_TRUE(library_mapped());
    EXPECT_EQ(loader_state().init_count, 1);
    EXPECT_EQ(count("query NvAPI_Unload"), 0);
    open_gate();
    for (std::thread& caller : callers) caller.join();
    for (const DriverVersion& result : results) {
        EXPECT_EQ(result.status, NVAPI_OK);
        EXPECT_EQ(result.version, 36180u);
    }
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
}

TEST_F(Concurrency, FirstInitializeCallsLoadOnce) {
    constexpr int kThreads = 8;
    std::vector<NvAPI_Status> statuses(kThreads, 99);
    run_together(kThreads, [&](int i) { statuses[i] = NvAPI_Initialize(); });
    for (NvAPI_Status status : statuses) EXPECT_EQ(status, NVAPI_OK);
    EXPECT_EQ(count("loaded"), 1);
    EXPECT_EQ(count("call NvAPI_Initialize 0"), 1);
    EXPECT_EQ(loader_state().init_count, kThreads);
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_EQ(count("released"), 1);
}

TEST_F(Concurrency, FirstStubCallsLoadOnce) {
    constexpr int kThreads = 8;
    std::vector<DriverVersion> results(kThreads);
    run_together(kThreads, [&](int i) {
        results[i] = query_driver_version();
        EXPECT_EQ(query_error_message(), NVAPI_OK);
    });
    for (const DriverVersion& result : results) EXPECT_EQ(result.branch, "r361_00");
    EXPECT_EQ(count("loaded"), 1);
    EXPECT_EQ(loader_state().init_count, 1);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
}

TEST_F(Concurrency, ConcurrentUnloadsReleaseOnceAndKeepTheCountSound) {
    constexpr int kUsers = 4;
    constexpr int kUnloads = 8;
    for (int i = 0; i < kUsers; ++i) ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    std::vector<NvAPI_Status> statuses(kUnloads, 99);
    run_together(kUnloads, [&](int i) { statuses[i] = NvAPI_Unload(); });
    int released_users = 0;
    int refused = 0;
    for (NvAPI_Status status : statuses) {
        released_users += status == NVAPI_OK;
        refused += status == NVAPI_API_NOT_INITIALIZED;
    }
    EXPECT_EQ(released_users, kUsers);
    EXPECT_EQ(refused, kUnloads - kUsers);
    EXPECT_EQ(count("call NvAPI_Unload 0"), 1);
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(loader_state().init_count, 0);
    // A later cycle counts from a sound state.
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(loader_state().init_count, 1);
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_FALSE(library_mapped());
}

// Callers that arrive while the library is being released wait for it and then load it afresh.
TEST_F(Concurrency, CallersArrivingDuringReleaseLoadAfresh) {
    set("NVAPI_EMU_HOLD", "NvAPI_Unload=" + gate_path());
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    NvAPI_Status unload_status = 99;
    std::atomic<bool> unload_returned{false};
    std::thread unloader([&] {
        unload_status = NvAPI_Unload();
        unload_returned = true;
    });
    EXPECT_TRUE(wait_for("enter NvAPI_Unload", 1, [&] { return unload_returned.load(); }));
    NvAPI_Status initialize_status = 99;
    DriverVersion stub_result{99, 0, ""};
    std::atomic<bool> initializing{false}, called{false};
    std::thread initializer([&] {
        initializing = true;
        initialize_status = NvAPI_Initialize();
    });
    // The initializer queues for the lock that the held unload keeps (it does so unseen: the outcome below
    // is the same when it comes only after the release).
    wait_until([&] { return initializing.load(); }, [] { return false; });
    std::thread caller([&] {
        stub_result = query_driver_version();
        called = true;
    });
    // The caller is counted in flight from its first step on, which waits for the unload to end.
    EXPECT_TRUE(wait_until([] { return loader_state().in_flight == 1; }, [&] { return called.load(); }));
    EXPECT_FALSE(called.load());
    EXPECT_FALSE(unload_returned.load());
    EXPECT_TRUE(library_mapped());
    open_gate();
    unloader.join();
    initializer.join();
    caller.join();
    EXPECT_EQ(unload_status, NVAPI_OK);
    EXPECT_EQ(initialize_status, NVAPI_OK);
    EXPECT_EQ(stub_result.status, NVAPI_OK);
    EXPECT_EQ(stub_result.version, 36180u);
    EXPECT_EQ(count("released"), 1);
    EXPECT_EQ(count("loaded"), 2);
    EXPECT_EQ(loader_state().in_flight, 0);
    // The fresh load has one or two users, depending on which of the two loaded it.
    const std::int32_t users = loader_state().init_count;
    EXPECT_GE(users, 1);
    EXPECT_LE(users, 2);
    for (std::int32_t i = 0; i < users; ++i) EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
    EXPECT_FALSE(library_mapped());
}

}  // namespace
}  // namespace tevu::nvapi::testing
