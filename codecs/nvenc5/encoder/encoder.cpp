// The Encoder record and its reporting.
#include "encoder.h"

#include <cmath>
#include <deque>
#include <string>
#include <utility>

#include "guid.h"
#include "policy.h"

namespace tevu::nvenc {
namespace {

using py::text;

struct FrameTime {
    double start;
    double end;
};

class Encoder {
public:
    Encoder() = default;
    ~Encoder() {
        py::PendingError outer;  // destruction must not disturb an exception being propagated
        if (py::guarded_status([&] { clean(); }) < 0) py::report_unraisable("Encoder.__dealloc__");
        if (outer) outer.restore();
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    void clean();
    Ref info() const;
    Ref repr() const;
    bool closed() const { return context_ == nullptr; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const std::string& src_format() const { return src_format_; }

private:
    bool scaled() const { return !(scale_num_ == 1 && scale_den_ == 1); }
    void reset_fields();
    void add_frame_rate(PyObject* d) const;

    uint32_t width_ = 0, height_ = 0, input_width_ = 0, input_height_ = 0, encoder_width_ = 0,
             encoder_height_ = 0;
    std::string src_format_;
    Ref dst_formats_;
    Ref scaling_;
    int scale_num_ = 1, scale_den_ = 1;
    int speed_ = 0, quality_ = 0;
    uint32_t target_bitrate_ = 0, max_bitrate_ = 0;
    int device_id_ = 0;
    Ref cuda_info_, pycuda_info_, cuda_device_info_, cuda_device_;
    void* context_ = nullptr;
    Guid codec_{};
    uint32_t buffer_format_ = 0;
    std::string codec_name_, preset_name_, pixel_format_;
    bool lossless_ = false;
    double time_ = 0;
    uint64_t first_frame_timestamp_ = 0;
    uint32_t frames_ = 0;
    uint64_t bytes_in_ = 0, bytes_out_ = 0, free_memory_ = 0, total_memory_ = 0;
    std::deque<FrameTime> last_frame_times_;
};

void Encoder::reset_fields() {
    width_ = height_ = input_width_ = input_height_ = encoder_width_ = encoder_height_ = 0;
    src_format_.clear();
    dst_formats_ = py::new_list();
    scaling_ = Ref();
    scale_num_ = scale_den_ = 1;
    speed_ = quality_ = 0;
    device_id_ = -1;
    cuda_info_ = cuda_device_info_ = pycuda_info_ = cuda_device_ = Ref();
    free_memory_ = total_memory_ = 0;
    buffer_format_ = 0;
    codec_name_.clear();
    preset_name_.clear();
    pixel_format_.clear();
    time_ = 0;
    first_frame_timestamp_ = 0;
    frames_ = 0;
    last_frame_times_.clear();
    bytes_in_ = bytes_out_ = 0;
}

void Encoder::clean() {
    log_debug("clean() cuda_context=%s, encoder context=%#x", py::none(), context_);
    reset_fields();
}

// "fps" and "ms_per_frame" over the frames that ended in the last 10 seconds.
void Encoder::add_frame_rate(PyObject* d) const {
    const double t = now();
    std::size_t n = 0;
    double earliest = t, busy = 0;
    for (const FrameTime& f : last_frame_times_) {
        if (f.end <= t - 10) continue;
        ++n;
        earliest = std::min(earliest, f.end);
        busy += f.end - f.start;
    }
    if (n >= 1 && t > earliest) {
        py::dict_set(d, "fps", value(static_cast<long long>(n / (t - earliest) + 0.5)));
        py::dict_set(d, "ms_per_frame", value(static_cast<long long>(1000 * busy / n)));
    }
}

Ref Encoder::info() const {
    Ref d = module_info();
    PyObject* p = d.get();
    py::dict_set(p, "width", value(width_));
    py::dict_set(p, "height", value(height_));
    py::dict_set(p, "frames", value(frames_));
    py::dict_set(p, "codec", text(codec_name_));
    py::dict_set(p, "encoder_width", value(encoder_width_));
    py::dict_set(p, "encoder_height", value(encoder_height_));
    py::dict_set(p, "bitrate", value(target_bitrate_));
    py::dict_set(p, "quality", value(quality_));
    py::dict_set(p, "speed", value(speed_));
    py::dict_set(p, "lossless", value(lossless_ ? 1 : 0));
    py::dict_set(p, "lossless.supported", module_attr("LOSSLESS_ENABLED"));
    py::dict_set(p, "lossless.threshold", value(state().config.lossless_threshold));
    py::dict_set(p, "yuv444.supported", module_attr("YUV444_ENABLED"));
    py::dict_set(p, "yuv444.threshold", value(state().config.yuv444_threshold));
    if (scaled()) {
        py::dict_set(p, "input_width", value(input_width_));
        py::dict_set(p, "input_height", value(input_height_));
        py::dict_set(p, "scaling", value(scaling_));
    }
    PyObject* updict = state().host.updict.get();
    py::call(updict, d, text("cuda"), value(cuda_device_info_));
    py::call(updict, d, text("cuda"), value(cuda_info_));
    py::call(updict, d, text("pycuda"), value(pycuda_info_));
    if (!src_format_.empty()) py::dict_set(p, "src_format", text(src_format_));
    if (!pixel_format_.empty()) py::dict_set(p, "pixel_format", text(pixel_format_));
    if (bytes_in_ && bytes_out_) {
        py::dict_set(p, "bytes_in", value(bytes_in_));
        py::dict_set(p, "bytes_out", value(bytes_out_));
        py::dict_set(p, "ratio_pct", value(static_cast<long long>(100.0 * bytes_out_ / bytes_in_)));
    }
    if (!preset_name_.empty()) py::dict_set(p, "preset", text(preset_name_));
    py::dict_set(p, "total_time_ms", value(static_cast<long long>(time_ * 1000)));
    if (frames_ && time_ > 0)
        py::dict_set(p, "pixels_per_second",
                     value(static_cast<long long>(static_cast<double>(width_) * height_ * frames_ / time_)));
    py::dict_set(p, "free_memory", value(free_memory_));
    py::dict_set(p, "total_memory", value(total_memory_));
    if (total_memory_)
        py::dict_set(p, "free_memory_pct", value(static_cast<long long>(100.0 * free_memory_ / total_memory_)));
    add_frame_rate(p);
    return d;
}

Ref Encoder::repr() const {
    return text(format("nvenc(%s/%s - %s - %sx%s)", src_format_, pixel_format_, preset_name_, width_, height_));
}

// --- Python binding -----------------------------------------------------------------------------------
using Type = py::ExtType<Encoder>;

template <Ref (*F)(Encoder&, PyObject*)>
PyObject* method(PyObject* self, PyObject* args) {
    return py::guarded([&] { return F(Type::self(self), args); });
}

Ref m_clean(Encoder& e, PyObject*) {
    e.clean();
    return py::none();
}
Ref m_get_info(Encoder& e, PyObject*) { return e.info(); }
Ref m_is_closed(Encoder& e, PyObject*) { return py::boolean(e.closed()); }
Ref m_get_width(Encoder& e, PyObject*) { return value(e.width()); }
Ref m_get_height(Encoder& e, PyObject*) { return value(e.height()); }
Ref m_get_type(Encoder&, PyObject*) { return text("nvenc"); }
Ref m_get_encoding(Encoder&, PyObject*) { return text("h264"); }
Ref m_get_src_format(Encoder& e, PyObject*) { return text(e.src_format()); }

PyObject* encoder_repr(PyObject* self) {
    return py::guarded([&] { return Type::self(self).repr(); });
}

#define TEVU_METHOD(name, fn, flags) {name, py::cfunction(&method<fn>), flags, nullptr}
PyMethodDef encoder_methods[] = {
    TEVU_METHOD("clean", m_clean, METH_NOARGS),
    TEVU_METHOD("get_info", m_get_info, METH_NOARGS),
    TEVU_METHOD("is_closed", m_is_closed, METH_NOARGS),
    TEVU_METHOD("get_width", m_get_width, METH_NOARGS),
    TEVU_METHOD("get_height", m_get_height, METH_NOARGS),
    TEVU_METHOD("get_type", m_get_type, METH_NOARGS),
    TEVU_METHOD("get_encoding", m_get_encoding, METH_NOARGS),
    TEVU_METHOD("get_src_format", m_get_src_format, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_encoder_type(PyObject* module) {
    static const std::string name = std::string(kModuleName) + ".Encoder";
    PyTypeObject* t = Type::define(name.c_str(), encoder_methods, &encoder_repr, "an NVENC H.264 encoding context");
    py::add_object(module, "Encoder", Ref::borrow(reinterpret_cast<PyObject*>(t)));
}

}  // namespace tevu::nvenc
