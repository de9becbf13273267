#include "test_host.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "api_traits.h"
#include "picture_tools.h"

namespace tevu::nvenc::testing {
namespace {

// The names of the test's host objects, as the module's host would render its own.
std::string host_object_text(const HostRef& object, bool) {
    const HostObject* o = object.get();
    if (auto* n = dynamic_cast<const Named*>(o)) return n->name;
    if (auto* f = dynamic_cast<const Formats*>(o)) {
        std::string out = "[";
        for (const std::string& name : f->names) out += (out.size() > 1 ? ", '" : "'") + name + "'";
        return out + "]";
    }
    return "<host object>";
}

}  // namespace

std::string percent_format(const std::string& format, const std::vector<Value>& args) {
    return nvenc::percent_format(format, args, &host_object_text);
}

TestHost::TestHost() {
    std::ifstream image(TEVU_KERNELS_IMAGE, std::ios::binary);
    std::ostringstream text;
    text << image.rdbuf();
    kernel_image_ = text.str();
}

TestHost::~TestHost() = default;

bool TestHost::logged(const std::string& text) const {
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

void TestHost::maybe_fail(const char* call) {
    if (fail_call != call) return;
    if (calls_[call]++ >= fail_after) throw InjectedHostFailure(call);
}

void TestHost::log(LogLevel level, const char* format, std::vector<Value> args) {
    maybe_fail("log");
    const char* prefix = level == LogLevel::Debug ? "debug: " : level == LogLevel::Info ? "info: " : "warning: ";
    lines.push_back(prefix + percent_format(format, args));
}
void TestHost::log_failure(const char* message) { lines.push_back(std::string("failure: ") + message); }
std::string TestHost::text_of(const HostRef& object, bool repr) { return host_object_text(object, repr); }
void TestHost::report_unraisable(const char* where, std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        unraisable.push_back(std::string(where) + ": " + e.what());
    } catch (...) {
        unraisable.push_back(where);
    }
}
bool TestHost::accepts(const HostRef& formats, const char* name) {
    maybe_fail("accepts");
    auto* f = dynamic_cast<const Formats*>(formats.get());
    if (!f) return false;
    for (const std::string& n : f->names)
        if (n == name) return true;
    return false;
}
double TestHost::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
SelectedDevice TestHost::select_device(int) {
    maybe_fail("select_device");
    if (no_device) return {-1, nullptr};
    return {0, std::make_shared<Named>("device 0")};
}
CUdevice TestHost::device_handle(const HostRef&) {
    maybe_fail("device_handle");
    return cuda::Device::get(cuda_driver(), 0).handle();
}
void TestHost::record_device(int device, DeviceEvent event) {
    if (event == DeviceEvent::OutOfResources) {
        ++context_failures;
        return;
    }
    const bool success = event == DeviceEvent::Success;
    if (success) maybe_fail("record_device_success");
    device_records.push_back((success ? "success " : "failure ") + std::to_string(device));
}
CurrentContext TestHost::current_context() {
    maybe_fail("current_context");
    return {0, cuda::Context::current(*cuda_driver())};
}
HostKernel TestHost::kernel(int, const char* name) {
    maybe_fail("kernel");
    const cuda::Driver& driver = *cuda_driver();
    CUcontext context = cuda::Context::current(driver);
    CUmodule& module = modules_[context];
    if (!module) driver.check(driver.cuModuleLoadData(&module, kernel_image_.c_str()), "cuModuleLoadData");
    CUfunction function = nullptr;
    if (driver.cuModuleGetFunction(&function, module, name) != CUDA_SUCCESS) return {};
    return {std::make_shared<Named>(std::string("kernel ") + name), function};
}
void TestHost::acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) {
    maybe_fail("acquire_function_list");
    static const auto library = cuda::DynamicLibrary::open_first(cuda::nvenc_library(cuda::native_windows));
    using Create = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);
    const auto create = reinterpret_cast<Create>(library->symbol("NvEncodeAPICreateInstance"));
    *table = NV_ENCODE_API_FUNCTION_LIST{};
    table->version = api::version_word<NV_ENCODE_API_FUNCTION_LIST>();
    check_nvenc(create(table), "getting API function list");
}
void TestHost::session_opened() {
    maybe_fail("session_opened");
    ++sessions;
    ++sessions_opened;
}
Value TestHost::describe(HostText what, const Value& subject) {
    if (what != HostText::CudaInfo && what != HostText::BindingInfo) ++descriptions;
    switch (what) {
    case HostText::Version: return value("5.0.0");
    case HostText::CudaInfo: {
        maybe_fail("cuda_info");
        Value d = Value::dict();
        d.set(value("device_count"), value(1));
        return d;
    }
    case HostText::BindingInfo: return Value::dict();
    case HostText::SessionsInUse: return value(sessions);
    case HostText::DeviceInfo: return subject.as_host() ? value("Tevu CPU Device 0") : Value();
    case HostText::CudaResult: return subject;
    case HostText::Plural: return value(percent_format("%i", {subject}) == "1" ? "" : "s");
    case HostText::Keys: {
        std::string out;
        for (std::size_t i = 0; i < subject.items().size(); i += 2)
            out += (i ? ", " : "") + percent_format("%s", {subject.items()[i]});
        return value(out);
    }
    }
    return Value();
}

void TestFrame::picture(int index, int stride, long long timestamp) {
    const std::vector<uint8_t> packed_rows = nvenc_test::desktop_bgrx(static_cast<int>(width_), static_cast<int>(height_), index);
    stride_ = stride ? stride : width_ * 4;
    pixels.assign(static_cast<std::size_t>(stride_ * height_), 0);
    for (long long y = 0; y < height_; ++y)
        std::memcpy(&pixels[static_cast<std::size_t>(y * stride_)], &packed_rows[static_cast<std::size_t>(y * width_ * 4)],
                    static_cast<std::size_t>(width_ * 4));
    timestamp_ = timestamp >= 0 ? timestamp : 1000 + index * 33;
}

FramePicture TestFrame::read() {
    ++reads;
    FramePicture p;
    p.width = width_;
    p.height = height_;
    p.stride = stride_;
    p.timestamp = timestamp_;
    p.packed = packed;
    p.planes = value(packed ? 1 : 3);
    p.has_pixels = has_pixels;
    if (pinned) {
        p.pixels = {pixels.data(), pixels.size()};
    } else {
        moved_from.assign(pixels.size(), 0);
        p.pixels = {moved_from.data(), moved_from.size()};
    }
    p.pinned = pinned;
    p.pixel_type = value("bytes");
    return p;
}

void TestFrame::keep(const EncodedFrame& encoded) {
    stream.insert(stream.end(), encoded.bitstream.begin(), encoded.bitstream.end());
    results.push_back(encoded.result);
}

}  // namespace tevu::nvenc::testing
