// Shared set-up of the stand-in tests: the built driver library, loaded once through the layer.
#pragma once

#include "cuda_layer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tevu::cuda::testing {

// The stand-in, opened by its platform name (the tests run with the platform directory on the
// library path) and initialised.
inline const DriverPtr& driver() {
    static const DriverPtr loaded = [] {
        DriverPtr d = Driver::load();
        d->init();
        return d;
    }();
    return loaded;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// A test with a fresh context of device 0 current on the test's thread.
class ContextTest : public ::testing::Test {
protected:
    void SetUp() override { context = Device::get(driver(), 0).make_context(); }
    void TearDown() override {
        if (context && Context::current(*driver()) == context.handle()) context.pop();
        context.detach();
        EXPECT_EQ(Context::current(*driver()), nullptr) << "a test left a context on the stack";
    }

    const Driver& api() const { return *driver(); }

    Context context;
};

// Expects `statement` to throw the layer's exception of family E with this code.
#define EXPECT_CUDA_ERROR(E, expected_code, statement)                       \
    do {                                                                     \
        try {                                                                \
            statement;                                                       \
            ADD_FAILURE() << #statement " did not throw";                    \
        } catch (const E& error) {                                           \
            EXPECT_EQ(error.code(), (expected_code)) << error.what();        \
        }                                                                    \
    } while (0)

}  // namespace tevu::cuda::testing
