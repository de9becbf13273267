// A thread that its runtime ends while it is inside our code (the interpreter ending a daemon thread as
// it exits) unwinds through our frames with a foreign exception that has no C++ object. Our catch (...)
// blocks must let it through untouched, and the frames that stop it park the thread instead.
#pragma once

#include <chrono>
#include <exception>
#include <thread>

namespace tevu {

// Inside a catch (...): true when what was caught is no C++ exception but the unwind of a thread being
// ended (the only foreign exception that reaches our code). It has no object to bind a catch clause's
// reference to, so it is told apart this way.
inline bool caught_thread_exit() noexcept { return !std::current_exception(); }

// Blocks the calling thread for good.
[[noreturn]] inline void park_thread() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace tevu
