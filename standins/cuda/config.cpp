#include "config.h"

#include "errors.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace tevu::standin::cuda {

namespace {

template <class T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

template <class T>
T numeric_setting(const char* variable, T fallback, T lowest, T highest) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return fallback;
    auto value = parse_number<T>(text);
    if (value && *value >= lowest && *value <= highest) return *value;
    diagnose(std::string("ignoring ") + variable + "=" + text + " (expected " + std::to_string(lowest) + " to " +
             std::to_string(highest) + ")");
    return fallback;
}

bool known_entry(std::string_view name) {
    static const char* const names[] = {
#define TEVU_CUDA_ENTRY_NAME(name, symbol, params) #name,
        TEVU_CUDA_DRIVER_ENTRY_POINTS(TEVU_CUDA_ENTRY_NAME)
#undef TEVU_CUDA_ENTRY_NAME
    };
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

std::optional<CUresult> parse_result(std::string_view text) {
    auto code = parse_number<CUresult>(text);
    if (!code) code = result_by_name(text);
    if (code && *code == CUDA_SUCCESS) return std::nullopt;
    return code;
}

constexpr RuleListSyntax failure_syntax{"cuda stand-in", "CUDA_EMU_FAIL", known_entry, true,
                                        "result must be a non-zero code or a CUDA_ERROR_ name"};

class FailureInjector {
public:
    std::optional<CUresult> check(std::string_view entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        const char* text = std::getenv("CUDA_EMU_FAIL");
        std::string current = text ? text : "";
        if (current != source_) reload(std::move(current));
        if (rules_.empty()) return std::nullopt;
        unsigned long call = ++calls_[std::string(entry)];
        if (const FailureRule* rule = rule_for(rules_, entry, call)) return rule->code;
        return std::nullopt;
    }

private:
    void reload(std::string source) {
        source_ = std::move(source);
        std::vector<std::string> problems;
        rules_ = parse_failure_rules(source_, problems);
        report_once(failure_syntax, source_, problems);
        calls_.clear();
    }

    std::mutex mutex_;
    std::string source_;
    std::vector<FailureRule> rules_;
    std::map<std::string, unsigned long, std::less<>> calls_;
};

}  // namespace

int configured_device_count() { return numeric_setting<int>("CUDA_EMU_DEVICES", 1, 0, 16); }

std::size_t configured_device_memory() {
    return numeric_setting<std::size_t>("CUDA_EMU_MEMORY_MB", 4096, 1, std::size_t(1) << 20) << 20;
}

std::vector<FailureRule> parse_failure_rules(std::string_view text, std::vector<std::string>& problems) {
    return parse_rule_list<CUresult>(text, failure_syntax, parse_result, problems);
}

std::optional<CUresult> injected_failure(std::string_view entry) {
    static FailureInjector* injector = new FailureInjector;  // never destroyed: calls may come at exit
    return injector->check(entry);
}

void diagnose(const std::string& line) { std::fprintf(stderr, "cuda stand-in: %s\n", line.c_str()); }

}  // namespace tevu::standin::cuda
