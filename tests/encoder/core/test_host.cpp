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

std::string render(const Value& v, bool quoted);

std::string join(const std::vector<Value>& items, std::size_t step, const char* separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); i += step) {
        if (i) out += ", ";
        out += render(items[i], true);
        if (step == 2 && i + 1 < items.size()) out += separator + render(items[i + 1], true);
    }
    return out;
}

std::string render(const Value& v, bool quoted) {
    switch (v.kind()) {
    case Value::Kind::None:
        return "None";
    case Value::Kind::Bool:
        return v.as_bool() ? "True" : "False";
    case Value::Kind::Int:
        return std::to_string(v.as_int());
    case Value::Kind::Unsigned:
        return std::to_string(v.as_unsigned());
    case Value::Kind::Float: {
        std::ostringstream s;
        s << v.as_float();
        return s.str();
    }
    case Value::Kind::Text:
        return quoted ? "'" + v.as_text() + "'" : v.as_text();
    case Value::Kind::Host: {
        const HostObject* o = v.as_host().get();
        if (auto* n = dynamic_cast<const Named*>(o)) return n->name;
        if (auto* f = dynamic_cast<const Formats*>(o)) {
            std::string out = "[";
            for (const std::string& name : f->names) out += (out.size() > 1 ? ", '" : "'") + name + "'";
            return out + "]";
        }
        return "<host object>";
    }
    case Value::Kind::Tuple:
        return "(" + join(v.items(), 1, "") + (v.items().size() == 1 ? ",)" : ")");
    case Value::Kind::List:
        return "[" + join(v.items(), 1, "") + "]";
    case Value::Kind::Dict:
        return "{" + join(v.items(), 2, ": ") + "}";
    }
    return "?";
}

long long as_integer(const Value& v) {
    return v.kind() == Value::Kind::Unsigned ? static_cast<long long>(v.as_unsigned())
           : v.kind() == Value::Kind::Float  ? static_cast<long long>(v.as_float())
                                             : v.as_int();
}

template <class T>
std::string printf_text(const std::string& spec, T argument) {
    std::vector<char> buffer(512);
    int n = std::snprintf(buffer.data(), buffer.size(), spec.c_str(), argument);
    if (n >= static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(n) + 1);
        n = std::snprintf(buffer.data(), buffer.size(), spec.c_str(), argument);
    }
    return std::string(buffer.data(), static_cast<std::size_t>(std::max(n, 0)));
}

}  // namespace

std::string percent_format(const std::string& format, const std::vector<Value>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        std::string spec = "%";
        ++i;
        while (i < format.size() && std::strchr("-#0 +.0123456789", format[i])) spec += format[i++];
        if (i >= format.size()) break;
        const char conversion = format[i];
        if (conversion == '%') {
            out += '%';
            continue;
        }
        const Value argument = next < args.size() ? args[next++] : Value();
        switch (conversion) {
        case 'i':
        case 'd':
            out += printf_text(spec + "lld", as_integer(argument));
            break;
        case 'x':
            out += printf_text(spec + "llx", as_integer(argument));
            break;
        case 'f':
            out += printf_text(spec + "f", argument.kind() == Value::Kind::Float ? argument.as_float()
                                                                                  : static_cast<double>(as_integer(argument)));
            break;
        default:
            out += printf_text(spec + "s", render(argument, conversion == 'r').c_str());
        }
    }
    return out;
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
std::string TestHost::format(const char* format, const std::vector<Value>& args) {
    return percent_format(format, args);
}
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
Value TestHost::device_info(const HostRef& device) {
    return device ? value("Tevu CPU Device 0") : Value();
}
CUdevice TestHost::device_handle(const HostRef&) {
    maybe_fail("device_handle");
    return cuda::Device::get(cuda_driver(), 0).handle();
}
void TestHost::record_device_success(int device) {
    maybe_fail("record_device_success");
    device_records.push_back("success " + std::to_string(device));
}
void TestHost::record_device_failure(int device) { device_records.push_back("failure " + std::to_string(device)); }
Value TestHost::cuda_info() {
    maybe_fail("cuda_info");
    Value d = Value::dict();
    d.set(value("device_count"), value(1));
    return d;
}
Value TestHost::binding_info() { return Value::dict(); }
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
Value TestHost::plural(const Value& count) { return value(as_integer(count) == 1 ? "" : "s"); }
Value TestHost::keys_text(const Value& dict) {
    std::string out;
    for (std::size_t i = 0; i < dict.items().size(); i += 2)
        out += (i ? ", " : "") + render(dict.items()[i], false);
    return value(out);
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

void TestFrame::bitstream(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    stream.insert(stream.end(), bytes, bytes + size);
}

}  // namespace tevu::nvenc::testing
