// The check's report: one line per finding, "<tag> <step>: <text>", with the tags ok, FAIL, skip and info.
// The encode step's script prints the same format.
#pragma once

#include <ostream>
#include <string>

namespace tevu::gpu_check {

enum class Outcome { ok, fail, skip, info };

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    void line(Outcome outcome, const std::string& step, const std::string& text);
    void ok(const std::string& step, const std::string& text) { line(Outcome::ok, step, text); }
    void fail(const std::string& step, const std::string& text) { line(Outcome::fail, step, text); }
    void skip(const std::string& step, const std::string& text) { line(Outcome::skip, step, text); }
    void info(const std::string& step, const std::string& text) { line(Outcome::info, step, text); }
    // Failures found by a child process that printed its own lines.
    void count_failures(int count) { failures_ += count; }

    int failures() const noexcept { return failures_; }

private:
    std::ostream& out_;
    int failures_ = 0;
};

// The step names.
inline constexpr const char* step_driver = "1 driver";
inline constexpr const char* step_kernels = "2 kernels";
inline constexpr const char* step_nvenc = "3 nvenc";
inline constexpr const char* step_encode = "4 encode";

}  // namespace tevu::gpu_check
