#include "emu_config.h"

#include "emu_errors.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace tevu::cuda_emu {

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
    if (auto number = parse_number<CUresult>(text)) return number;
    return result_by_name(text);
}

std::optional<FailureRule> parse_rule(std::string_view item, std::string& problem) {
    auto equals = item.find('=');
    if (equals == std::string_view::npos) {
        problem = "missing '='";
        return std::nullopt;
    }
    FailureRule rule{std::string(item.substr(0, equals)), CUDA_SUCCESS, 0};
    std::string_view value = item.substr(equals + 1);
    if (auto at = value.find('@'); at != std::string_view::npos) {
        auto nth = parse_number<unsigned long>(value.substr(at + 1));
        if (!nth || *nth == 0) {
            problem = "call number must be a positive integer";
            return std::nullopt;
        }
        rule.nth = *nth;
        value = value.substr(0, at);
    }
    if (!known_entry(rule.entry)) {
        problem = "unknown entry point";
        return std::nullopt;
    }
    auto code = parse_result(value);
    if (!code || *code == CUDA_SUCCESS) {
        problem = "result must be a non-zero code or a CUDA_ERROR_ name";
        return std::nullopt;
    }
    rule.code = *code;
    return rule;
}

class FailureInjector {
public:
    std::optional<CUresult> check(std::string_view entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        const char* text = std::getenv("CUDA_EMU_FAIL");
        std::string current = text ? text : "";
        if (current != source_) reload(std::move(current));
        if (rules_.empty()) return std::nullopt;
        unsigned long call = ++calls_[std::string(entry)];
        for (const FailureRule& rule : rules_)
            if (rule.entry == entry && (rule.nth == 0 || rule.nth == call)) return rule.code;
        return std::nullopt;
    }

private:
    void reload(std::string source) {
        source_ = std::move(source);
        std::vector<std::string> problems;
        rules_ = parse_failure_rules(source_, problems);
        for (const std::string& problem : problems) diagnose("CUDA_EMU_FAIL: " + problem);
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
    std::vector<FailureRule> rules;
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;
        std::string problem;
        if (auto rule = parse_rule(item, problem))
            rules.push_back(std::move(*rule));
        else
            problems.push_back("ignoring '" + std::string(item) + "': " + problem);
    }
    return rules;
}

std::optional<CUresult> injected_failure(std::string_view entry) {
    static FailureInjector* injector = new FailureInjector;  // never destroyed: calls may come at exit
    return injector->check(entry);
}

void diagnose(const std::string& line) { std::fprintf(stderr, "cuda stand-in: %s\n", line.c_str()); }

}  // namespace tevu::cuda_emu
