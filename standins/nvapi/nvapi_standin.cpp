// Stand-in for the display driver's interface library: a shared object named "nvapi.dll" exporting
// nvapi_QueryInterface. It answers the driver's initialise and unload entries, the driver version query,
// the error message query and the two call hooks, and is steered by the environment, read when the
// library is loaded:
//   NVAPI_EMU_VERSION   driver version (decimal, default 36180)
//   NVAPI_EMU_BRANCH    build branch (default r361_00)
//   NVAPI_EMU_FAIL      function=status[@n],...: the entry returns that status (on its n-th call only)
//   NVAPI_EMU_MISSING   function[@n],...: the query for that entry (or hook) answers null (n-th query only)
//   NVAPI_EMU_HOLD      function=path[@n],...: the entry waits until the file exists before it returns
//   NVAPI_EMU_EVENTS    path of a file to which every event is appended as one line (see record())
// Malformed items of the three lists are ignored, each reported on standard error once per load.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "nvapi_entries.h"
#include "rule_list.h"
#include "standin_export.h"

namespace {

using namespace tevu::nvapi;

constexpr NvU32 kDefaultVersion = 36180;
constexpr char kDefaultBranch[] = "r361_00";
constexpr std::uintptr_t kContextMark = 0x5eed0000u;
// A held entry goes on by itself only after this long, longer than any test runs: a gate that a slow
// machine opens late must still find the call held, and a gate never opened ends the wait at last.
constexpr auto kHoldLimit = std::chrono::minutes(15);

enum class Function { Initialize, Unload, GetDriverAndBranchVersion, GetErrorMessage, PreCallHook, PostCallHook };

struct FunctionInfo {
    Function function;
    const char* name;
    NvU32 interface_id;
};
constexpr FunctionInfo kFunctions[] = {
    {Function::Initialize, "NvAPI_Initialize", kInitializeId},
    {Function::Unload, "NvAPI_Unload", kUnloadId},
    {Function::GetDriverAndBranchVersion, "NvAPI_SYS_GetDriverAndBranchVersion",
     NvAPI_SYS_GetDriverAndBranchVersion_Id},
    {Function::GetErrorMessage, "NvAPI_GetErrorMessage", NvAPI_GetErrorMessage_Id},
    {Function::PreCallHook, "pre_call_hook", kPreCallHookId},
    {Function::PostCallHook, "post_call_hook", kPostCallHookId},
};
constexpr std::size_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

const FunctionInfo* find_function(const std::string& name) {
    for (const FunctionInfo& info : kFunctions)
        if (name == info.name) return &info;
    return nullptr;
}
std::size_t index_of(Function function) { return static_cast<std::size_t>(function); }

bool known_function(std::string_view name) { return find_function(std::string(name)) != nullptr; }

// The steering lists: "function=status[@n]", "function[@n]" and "function=path[@n]".
constexpr tevu::standin::RuleListSyntax kFailSyntax{"nvapi stand-in", "NVAPI_EMU_FAIL", known_function, true,
                                                    "status must be an integer"};
constexpr tevu::standin::RuleListSyntax kMissingSyntax{"nvapi stand-in", "NVAPI_EMU_MISSING", known_function, false,
                                                       ""};
constexpr tevu::standin::RuleListSyntax kHoldSyntax{"nvapi stand-in", "NVAPI_EMU_HOLD", known_function, true,
                                                    "path must not be empty"};

std::optional<NvAPI_Status> parse_status(std::string_view text) {
    const std::string digits(text);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(digits.c_str(), &end, 0);
    if (digits.empty() || *end || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<NvAPI_Status>(value);
}

std::optional<std::string> parse_path(std::string_view text) {
    if (text.empty()) return std::nullopt;
    return std::string(text);
}

template <class Code>
const tevu::standin::Rule<Code>* rule_for(const std::vector<tevu::standin::Rule<Code>>& rules, Function function,
                                          long call_number) {
    return tevu::standin::rule_for(rules, kFunctions[index_of(function)].name,
                                   static_cast<unsigned long>(call_number));
}

struct Settings {
    bool version_valid = true;
    NvU32 version = kDefaultVersion;
    std::string branch = kDefaultBranch;
    std::vector<tevu::standin::Rule<NvAPI_Status>> failures =
        tevu::standin::rules_from_environment<NvAPI_Status>(kFailSyntax, parse_status);
    std::vector<tevu::standin::Rule<bool>> missing = tevu::standin::rules_from_environment<bool>(kMissingSyntax, nullptr);
    std::vector<tevu::standin::Rule<std::string>> holds =
        tevu::standin::rules_from_environment<std::string>(kHoldSyntax, parse_path);
    std::string events_path;

    Settings() {
        if (const char* events = std::getenv("NVAPI_EMU_EVENTS")) events_path = events;
        if (const char* branch_text = std::getenv("NVAPI_EMU_BRANCH")) branch = branch_text;
        const char* version_text = std::getenv("NVAPI_EMU_VERSION");
        if (version_text && *version_text) {  // empty counts as unset, as for every control
            char* end = nullptr;
            const unsigned long long value = std::strtoull(version_text, &end, 10);
            version_valid = !*end && value <= 0xFFFFFFFFull && version_text[0] != '-';
            version = static_cast<NvU32>(value);
        }
    }
};

// The library's whole state; it lives from load to release, so every load starts afresh.
struct Library {
    Settings settings;
    std::atomic<long> calls[kFunctionCount] = {};
    std::atomic<long> queries[kFunctionCount] = {};
    std::atomic<int> driver_users{0};
    std::atomic<std::uintptr_t> hook_sequence{0};

    Library();
    ~Library();
};

// Appends one line to the events file: a single write, so lines of concurrent callers do not mix.
void record(const Settings& settings, const char* format, ...) {
    if (settings.events_path.empty()) return;
    char line[256];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    const int fd = open(settings.events_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<std::size_t>(length)) != length)
        std::fprintf(stderr, "nvapi stand-in: cannot write %s\n", settings.events_path.c_str());
    close(fd);
}

Library::Library() { record(settings, "loaded"); }
Library::~Library() { record(settings, "released"); }

Library library;

const char* name_of(Function function) { return kFunctions[index_of(function)].name; }

void hold_if_asked(Function function, long call_number) {
    const auto* hold = rule_for(library.settings.holds, function, call_number);
    if (!hold) return;
    record(library.settings, "enter %s", name_of(function));
    const auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
    struct stat info;
    while (stat(hold->code.c_str(), &info) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            record(library.settings, "hold timeout %s", name_of(function));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Counts the call, waits when held, and gives the status a steering rule imposes (or NVAPI_OK).
NvAPI_Status begin_call(Function function) {
    const long call_number = ++library.calls[index_of(function)];
    hold_if_asked(function, call_number);
    const auto* failure = rule_for(library.settings.failures, function, call_number);
    return failure ? failure->code : NVAPI_OK;
}

NvAPI_Status finish_call(Function function, NvAPI_Status status) {
    record(library.settings, "call %s %" PRId32, name_of(function), status);
    return status;
}

NvAPI_Status driver_initialize() {
    NvAPI_Status status = begin_call(Function::Initialize);
    if (status == NVAPI_OK) ++library.driver_users;
    return finish_call(Function::Initialize, status);
}

NvAPI_Status driver_unload() {
    NvAPI_Status status = begin_call(Function::Unload);
    if (status == NVAPI_OK && library.driver_users.load() == 0) status = NVAPI_API_NOT_INITIALIZED;
    if (status == NVAPI_OK) library.driver_users = 0;
    return finish_call(Function::Unload, status);
}

void copy_short_string(NvAPI_ShortString target, const std::string& text) {
    const std::size_t length = text.size() < NVAPI_SHORT_STRING_MAX ? text.size() : NVAPI_SHORT_STRING_MAX - 1;
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

NvAPI_Status get_driver_and_branch_version(NvU32* version, NvAPI_ShortString branch) {
    NvAPI_Status status = begin_call(Function::GetDriverAndBranchVersion);
    if (status == NVAPI_OK && library.driver_users.load() == 0) status = NVAPI_API_NOT_INITIALIZED;
    if (status == NVAPI_OK && (!version || !branch)) status = NVAPI_INVALID_ARGUMENT;
    if (status == NVAPI_OK && !library.settings.version_valid) status = NVAPI_ERROR;
    if (status == NVAPI_OK) {
        *version = library.settings.version;
        copy_short_string(branch, library.settings.branch);
    }
    return finish_call(Function::GetDriverAndBranchVersion, status);
}

std::string status_text(NvAPI_Status status) {
    switch (status) {
    case NVAPI_OK: return "Success";
    case NVAPI_ERROR: return "Generic error";
    case NVAPI_LIBRARY_NOT_FOUND: return "Driver interface library not found";
    case NVAPI_NO_IMPLEMENTATION: return "Not implemented by this driver";
    case NVAPI_API_NOT_INITIALIZED: return "Interface not initialized";
    case NVAPI_INVALID_ARGUMENT: return "Invalid argument";
    default: return "Unknown status " + std::to_string(status);
    }
}

NvAPI_Status get_error_message(NvAPI_Status of_status, NvAPI_ShortString text) {
    NvAPI_Status status = begin_call(Function::GetErrorMessage);
    if (status == NVAPI_OK && library.driver_users.load() == 0) status = NVAPI_API_NOT_INITIALIZED;
    if (status == NVAPI_OK && !text) status = NVAPI_INVALID_ARGUMENT;
    if (status == NVAPI_OK) copy_short_string(text, status_text(of_status));
    return finish_call(Function::GetErrorMessage, status);
}

// The hooks mark the context before a call and check the mark after it.
void pre_call_hook(NvU32 interface_id, HookContext* context) {
    ++library.calls[index_of(Function::PreCallHook)];
    context->words[0] = kContextMark ^ interface_id;
    context->words[1] = ++library.hook_sequence;
    record(library.settings, "pre 0x%08" PRIX32, interface_id);
}

void post_call_hook(NvU32 interface_id, std::uintptr_t first_word, std::uintptr_t second_word, NvAPI_Status status) {
    ++library.calls[index_of(Function::PostCallHook)];
    const bool marked = first_word == (kContextMark ^ interface_id) && second_word != 0;
    record(library.settings, "post 0x%08" PRIX32 " %" PRId32 " %s", interface_id, status,
           marked ? "context-kept" : "context-lost");
}

void* address_of(Function function) {
    switch (function) {
    case Function::Initialize: return reinterpret_cast<void*>(static_cast<LifecycleEntryFn>(driver_initialize));
    case Function::Unload: return reinterpret_cast<void*>(static_cast<LifecycleEntryFn>(driver_unload));
    case Function::GetDriverAndBranchVersion:
        return reinterpret_cast<void*>(static_cast<NvAPI_SYS_GetDriverAndBranchVersion_Fn>(get_driver_and_branch_version));
    case Function::GetErrorMessage:
        return reinterpret_cast<void*>(static_cast<NvAPI_GetErrorMessage_Fn>(get_error_message));
    case Function::PreCallHook: return reinterpret_cast<void*>(static_cast<PreCallHookFn>(pre_call_hook));
    case Function::PostCallHook: return reinterpret_cast<void*>(static_cast<PostCallHookFn>(post_call_hook));
    }
    return nullptr;
}

}  // namespace

TEVU_STANDIN_EXPORT void* nvapi_QueryInterface(NvU32 interface_id) {
    for (const FunctionInfo& info : kFunctions) {
        if (info.interface_id != interface_id) continue;
        const long query_number = ++library.queries[index_of(info.function)];
        record(library.settings, "query %s", info.name);
        if (rule_for(library.settings.missing, info.function, query_number)) return nullptr;
        return address_of(info.function);
    }
    record(library.settings, "query unknown 0x%08" PRIX32, interface_id);
    return nullptr;
}
