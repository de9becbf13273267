#include "report.h"

namespace tevu::gpu_check {

namespace {

const char* tag(Outcome outcome) {
    switch (outcome) {
    case Outcome::ok: return "ok  ";
    case Outcome::fail: return "FAIL";
    case Outcome::skip: return "skip";
    case Outcome::info: return "info";
    }
    return "?   ";
}

}  // namespace

void Report::line(Outcome outcome, const std::string& step, const std::string& text) {
    if (outcome == Outcome::fail) ++failures_;
    out_ << tag(outcome) << ' ' << step << ": " << text << std::endl;
}

}  // namespace tevu::gpu_check
