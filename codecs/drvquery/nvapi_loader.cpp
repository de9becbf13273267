#include "nvapi_loader.h"

#include <array>
#include <atomic>
#include <optional>
#include <utility>

#include "lazy_lock.h"
#include "nvapi_platform.h"

namespace tevu::nvapi {
namespace {

constexpr std::size_t kEntryCacheSlots = 261;
constexpr int kUnloadWaitSleeps = 10;
constexpr unsigned kUnloadWaitMilliseconds = 100;

enum EntrySlot : std::size_t {
#define TEVU_NVAPI_ENTRY_SLOT(name, id, params, args) name##_Slot,
    TEVU_NVAPI_ENTRIES(TEVU_NVAPI_ENTRY_SLOT)
#undef TEVU_NVAPI_ENTRY_SLOT
        kEntriesWithSlots
};
static_assert(kEntriesWithSlots <= kEntryCacheSlots, "every stub needs a cache slot of its own");

// The loader's per-process state. Loading, binding, counting and the release happen under the lock;
// stubs read the state without it, hence atomics throughout.
struct NvapiLibraryState {
    std::atomic<platform::LibraryHandle> library{nullptr};
    std::atomic<QueryInterfaceFn> query_interface{nullptr};
    std::atomic<PreCallHookFn> pre_call_hook{nullptr};
    std::atomic<PostCallHookFn> post_call_hook{nullptr};
    std::atomic<std::int32_t> init_count{0};  // changed only under the lock
    std::atomic<std::int32_t> in_flight{0};
    // The number of NvAPI_Unload calls deciding at this moment (a count, so that concurrent unloads
    // cannot clear each other's mark).
    std::atomic<std::int32_t> unloading{0};
    std::array<std::atomic<void*>, kEntryCacheSlots> entry_cache{};
};

NvapiLibraryState state;
LazyLock lock;

// Adds one to a counter for its lifetime: a running entry call (in_flight) or a deciding unload.
class CountedScope {
public:
    explicit CountedScope(std::atomic<std::int32_t>& counter) noexcept : counter_(counter) { counter_.fetch_add(1); }
    ~CountedScope() { counter_.fetch_sub(1); }
    CountedScope(const CountedScope&) = delete;
    CountedScope& operator=(const CountedScope&) = delete;

private:
    std::atomic<std::int32_t>& counter_;
};

// A library opened during loading; freed again unless it is kept.
class OpenedLibrary {
public:
    explicit OpenedLibrary(platform::LibraryHandle handle) noexcept : handle_(handle) {}
    ~OpenedLibrary() {
        if (handle_) platform::free_library(handle_);
    }
    OpenedLibrary(const OpenedLibrary&) = delete;
    OpenedLibrary& operator=(const OpenedLibrary&) = delete;
    platform::LibraryHandle get() const noexcept { return handle_; }
    platform::LibraryHandle keep() noexcept { return std::exchange(handle_, nullptr); }

private:
    platform::LibraryHandle handle_;
};

void clear_entry_cache() {
    for (auto& slot : state.entry_cache) slot.store(nullptr);
}

template <class Fn>
Fn resolve(QueryInterfaceFn query_interface, NvU32 interface_id) {
    return reinterpret_cast<Fn>(query_interface(interface_id));
}

std::optional<platform::PathString> library_path() {
    std::optional<platform::PathString> path = platform::system_directory();
    if (!path) return std::nullopt;
    if (path->empty() || path->back() != platform::path_separator()) path->push_back(platform::path_separator());
    *path += platform::widen(kLibraryFileName);
    return path;
}

NvAPI_Status bind_query_interface(platform::LibraryHandle library) {
    auto query_interface = reinterpret_cast<QueryInterfaceFn>(platform::find_symbol(library, kQueryInterfaceExport));
    if (!query_interface) return NVAPI_ERROR;
    state.query_interface.store(query_interface);
    auto driver_initialize = resolve<LifecycleEntryFn>(query_interface, kInitializeId);
    if (!driver_initialize) {
        state.query_interface.store(nullptr);
        return NVAPI_ERROR;
    }
    if (const NvAPI_Status status = driver_initialize(); status != NVAPI_OK) {
        state.query_interface.store(nullptr);
        return status;
    }
    // Both hooks stay active when the driver offers them.
    state.pre_call_hook.store(resolve<PreCallHookFn>(query_interface, kPreCallHookId));
    state.post_call_hook.store(resolve<PostCallHookFn>(query_interface, kPostCallHookId));
    clear_entry_cache();
    return NVAPI_OK;
}

NvAPI_Status load_nvapi_library() {
    LazyLock::Guard held = lock.acquire();
    if (state.library.load()) return NVAPI_OK;
    const std::optional<platform::PathString> path = library_path();
    if (!path) return NVAPI_LIBRARY_NOT_FOUND;
    OpenedLibrary library(platform::load_library(*path));
    if (!library.get()) return NVAPI_LIBRARY_NOT_FOUND;
    if (const NvAPI_Status status = bind_query_interface(library.get()); status != NVAPI_OK) return status;
    state.init_count.store(1);
    state.library.store(library.keep());
    return NVAPI_OK;
}

// First step of every entry: waits a bounded time for a running unload, then loads when needed.
NvAPI_Status ensure_nvapi_loaded() {
    for (int sleeps = 0; state.unloading.load() > 0; ++sleeps) {
        if (sleeps == kUnloadWaitSleeps) return NVAPI_ERROR;
        platform::sleep_milliseconds(kUnloadWaitMilliseconds);
    }
    if (state.library.load()) return NVAPI_OK;
    return load_nvapi_library();
}

bool library_bound() { return state.library.load() && state.query_interface.load(); }

// Called under the lock once the driver has released its resources.
void release_library() {
    state.query_interface.store(nullptr);
    platform::free_library(state.library.exchange(nullptr));
    state.pre_call_hook.store(nullptr);
    state.post_call_hook.store(nullptr);
    state.init_count.store(0);
    clear_entry_cache();
}

void* cached_entry(std::size_t slot, NvU32 interface_id) {
    void* entry = state.entry_cache[slot].load();
    if (entry) return entry;
    if (QueryInterfaceFn query_interface = state.query_interface.load()) {
        // Two threads resolving the same slot at once store the same address.
        entry = query_interface(interface_id);
        state.entry_cache[slot].store(entry);
    }
    return entry;
}

// The body of every stub: load on demand, resolve through the cache, call between the driver's hooks.
template <class EntryFn, class... Args>
NvAPI_Status call_entry(NvU32 interface_id, std::size_t slot, Args... args) {
    CountedScope call(state.in_flight);
    if (const NvAPI_Status status = ensure_nvapi_loaded(); status != NVAPI_OK) return status;
    void* entry = cached_entry(slot, interface_id);
    if (!entry) return NVAPI_NO_IMPLEMENTATION;
    HookContext context{};
    if (PreCallHookFn pre_call_hook = state.pre_call_hook.load()) pre_call_hook(interface_id, &context);
    const NvAPI_Status status = reinterpret_cast<EntryFn>(entry)(args...);
    if (PostCallHookFn post_call_hook = state.post_call_hook.load())
        post_call_hook(interface_id, context.words[0], context.words[1], status);
    return status;
}

}  // namespace

LoaderState loader_state() {
    return LoaderState{state.library.load() != nullptr, lock.exists(), state.init_count.load(),
                       state.in_flight.load()};
}

}  // namespace tevu::nvapi

using namespace tevu::nvapi;

extern "C" NvAPI_Status NvAPI_Initialize() {
    LazyLock::Guard held = lock.acquire();
    CountedScope call(state.in_flight);
    const std::int32_t count = state.init_count.load();
    const NvAPI_Status status = ensure_nvapi_loaded();
    if (status == NVAPI_OK) state.init_count.store(count + 1);
    return status;
}

extern "C" NvAPI_Status NvAPI_Unload() {
    lock.ensure_created();
    std::optional<LazyLock::Guard> held;  // released after the mark below is cleared
    CountedScope deciding(state.unloading);
    if (!library_bound()) return NVAPI_API_NOT_INITIALIZED;
    if (state.in_flight.load() != 0) return NVAPI_ERROR;
    held.emplace(lock.acquire());
    // A concurrent unload may have released the library while this one waited for the lock.
    if (!library_bound()) return NVAPI_API_NOT_INITIALIZED;
    const std::int32_t remaining = state.init_count.load() - 1;
    state.init_count.store(remaining);
    if (remaining != 0) return NVAPI_OK;
    auto driver_unload = resolve<LifecycleEntryFn>(state.query_interface.load(), kUnloadId);
    if (!driver_unload || driver_unload() != NVAPI_OK) {
        // The library stays loaded, so it keeps its user.
        state.init_count.store(remaining + 1);
        return driver_unload ? NVAPI_ERROR : NVAPI_NO_IMPLEMENTATION;
    }
    release_library();
    lock.retire(*held);
    return NVAPI_OK;
}

#define TEVU_NVAPI_ENTRY_DEFINITION(name, id, params, args)                                 \
    extern "C" NvAPI_Status name params {                                                   \
        return call_entry<name##_Fn>(name##_Id, name##_Slot, TEVU_NVAPI_UNPAREN args);      \
    }
#define TEVU_NVAPI_UNPAREN(...) __VA_ARGS__
TEVU_NVAPI_ENTRIES(TEVU_NVAPI_ENTRY_DEFINITION)
#undef TEVU_NVAPI_ENTRY_DEFINITION
