// Test fixture around the driver interface stand-in: steers it through the environment, reads the
// events it records and tells whether the library is mapped into the process.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tevu::nvapi::testing {

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets a stand-in (or loader) variable; it takes effect at the next load.
    static void set(const char* variable, const std::string& value);
    static void unset(const char* variable);

    std::vector<std::string> events() const;
    long count(const std::string& event) const;
    // Waits until condition() holds: true; false when hopeless() held first (what was awaited can no
    // longer come, say the thread that would have brought it has ended). There is no time limit here: a
    // slow machine only makes the wait longer, and a wait that never ends is ended by the test's limit.
    static bool wait_until(const std::function<bool()>& condition, const std::function<bool()>& hopeless);
    // Waits, as wait_until, until the event has been recorded `times` times.
    bool wait_for(const std::string& event, long times, const std::function<bool()>& hopeless) const;

    static std::string platform_library_path();
    static bool library_mapped();

    // A file whose creation lets a held stand-in entry return.
    std::string gate_path() const { return scratch_ + ".gate"; }
    void open_gate() const;

private:
    std::string scratch_;
};

}  // namespace tevu::nvapi::testing
