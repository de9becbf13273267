// The Python Encoder type over the encoder core: argument parsing and checks, the picture read from the
// caller's image and the result handed back, get_info() and the printable form, the method table, and
// one call at a time per encoder. The core releases the interpreter's lock around its driver calls
// (module_host.cpp installs the hooks).
#include "encoder.h"

#include <climits>
#include <optional>
#include <string>

#include "api_traits.h"
#include "encoder_core.h"
#include "module_host.h"

namespace tevu::nvenc {
namespace {

using py::text;

constexpr long long kMaxDimension = 16384;

struct Encoder {
    Encoder() : core(module_host()) {}
    ~Encoder() {
        const LoggerAnswerScope one_answer;
        py::PendingError outer;  // destruction must not disturb an exception being propagated
        if (py::guarded_status([&] { translated([&] { core.clean(); }); }) < 0)
            py::report_unraisable((std::string(api::kModuleName) + ".Encoder.__dealloc__").c_str());
        if (outer) outer.restore();
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    EncoderCore core;
    const char* call_in_progress = nullptr;  // the host-visible method running, if any
};

// One call at a time: a call on an encoder that is inside another one (made on another thread while
// that one waits for the driver, or from a method of the image it compresses) is refused before it
// touches anything, so that nothing is freed or resized under the call in progress.
class Call {
public:
    Call(Encoder& encoder, const char* name) : encoder_(encoder) {
        if (encoder.call_in_progress)
            py_fail(format("%s: this encoder is busy in %s, an encoder takes one call at a time", name,
                           encoder.call_in_progress));
        encoder.call_in_progress = name;
    }
    ~Call() { encoder_.call_in_progress = nullptr; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    Encoder& encoder_;
};

// --- get_info() and the printable form -----------------------------------------------------------
// The encoding of an encoder: its last set-up's (kept after clean()), else the first.
const char* encoding_of(const EncoderCore& core) {
    const Codec* codec = core.set_up_codec();
    return (codec ? codec : all_codecs().front())->encoding();
}

Ref info(const EncoderCore& core) {
    Ref d = module_info();
    PyObject* p = d.get();
    const StreamConfig& c = core.config();
    py::dict_set(p, "width", py_value(c.width));
    py::dict_set(p, "height", py_value(c.height));
    py::dict_set(p, "frames", py_value(core.frames()));
    py::dict_set(p, "codec", text(core.codec_name()));
    if (offers_encoding_choice()) py::dict_set(p, "encoding", text(encoding_of(core)));
    py::dict_set(p, "encoder_width", py_value(c.encoder_width()));
    py::dict_set(p, "encoder_height", py_value(c.encoder_height()));
    py::dict_set(p, "bitrate", py_value(core.target_bitrate()));
    py::dict_set(p, "quality", py_value(c.quality));
    py::dict_set(p, "speed", py_value(c.speed));
    py::dict_set(p, "lossless", py_value(c.lossless ? 1 : 0));
    py::dict_set(p, "lossless.supported", encoding_flag(encoding_of(core), HostFlag::Lossless));
    py::dict_set(p, "lossless.threshold", py_value(state().config.lossless_threshold));
    py::dict_set(p, "yuv444.supported", encoding_flag(encoding_of(core), HostFlag::Yuv444));
    py::dict_set(p, "yuv444.threshold", py_value(state().config.yuv444_threshold));
    if (c.scaled()) {
        py::dict_set(p, "input_width", py_value(c.input_width()));
        py::dict_set(p, "input_height", py_value(c.input_height()));
        py::dict_set(p, "scaling", python_object(c.scaling));
    }
    PyObject* updict = state().host.updict.get();
    py::call(updict, d, text("cuda"), to_python(core.cuda_device_info()));
    py::call(updict, d, text("cuda"), to_python(core.cuda_info()));
    py::call(updict, d, text("pycuda"), to_python(core.binding_info()));
    if (!c.src_format.empty()) py::dict_set(p, "src_format", text(c.src_format));
    if (!c.pixel_format.empty()) py::dict_set(p, "pixel_format", text(c.pixel_format));
    const uint64_t bytes_in = core.bytes_in(), bytes_out = core.bytes_out();
    if (bytes_in && bytes_out) {
        py::dict_set(p, "bytes_in", py_value(bytes_in));
        py::dict_set(p, "bytes_out", py_value(bytes_out));
        py::dict_set(p, "ratio_pct", py_value(static_cast<long long>(100.0 * bytes_out / bytes_in)));
    }
    if (!core.preset_name().empty()) py::dict_set(p, "preset", text(core.preset_name()));
    if (!core.tuning_name().empty()) py::dict_set(p, "tuning", text(core.tuning_name()));
    const double busy = core.busy_seconds();
    py::dict_set(p, "total_time_ms", py_value(static_cast<long long>(busy * 1000)));
    if (core.frames() && busy > 0)
        py::dict_set(p, "pixels_per_second",
                     py_value(static_cast<long long>(static_cast<double>(c.width) * c.height * core.frames() / busy)));
    py::dict_set(p, "free_memory", py_value(core.free_memory()));
    py::dict_set(p, "total_memory", py_value(core.total_memory()));
    if (core.total_memory())
        py::dict_set(p, "free_memory_pct",
                     py_value(static_cast<long long>(100.0 * core.free_memory() / core.total_memory())));
    if (const std::optional<FrameRate> rate = core.frame_rate(now())) {
        py::dict_set(p, "fps", py_value(rate->fps));
        py::dict_set(p, "ms_per_frame", py_value(rate->ms_per_frame));
    }
    return d;
}

Ref repr(const EncoderCore& core) {
    const StreamConfig& c = core.config();
    return text(format("nvenc(%s/%s - %s - %sx%s)", c.src_format, c.pixel_format, core.preset_name(), c.width,
                       c.height));
}

// --- init_context ------------------------------------------------------------------------------------
// init_context's source format: one of the module's input colourspaces for the encoding.
void check_source_format(PyObject* src_format, PyObject* encoding) {
    Ref accepted = py::call(module_attr("get_input_colorspaces").get(), encoding);
    if (!py::is_text(src_format))
        py::raise(PyExc_TypeError, format("init_context: src_format must be one of %s, not %s", accepted,
                                          Py_TYPE(src_format)->tp_name));
    if (!py::contains(accepted.get(), src_format))
        py::raise(PyExc_ValueError,
                  format("init_context: invalid src_format %r, it must be one of %s", src_format, accepted));
}

// The "cuda_device" option of init_context: -1 for any device, or a device number (a C int, as the
// driver numbers devices). A number no device has is the host's to handle: it chooses another device.
int preferred_cuda_device(PyObject* options) {
    static const char* const expected = "-1 (any device) or a device number from 0 to 2147483647";
    Ref preferred = py::call_method(options, "get", text("cuda_device"), py_value(-1));
    if (!py::is_integer(preferred.get()))
        py::raise(PyExc_TypeError, format("init_context: the cuda_device option must be %s, not %s", expected,
                                          Py_TYPE(preferred.get())->tp_name));
    int overflow = 0;
    const long long device = PyLong_AsLongLongAndOverflow(preferred.get(), &overflow);
    if (device == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet();
    if (overflow || device < -1 || device > INT_MAX)
        py::raise(PyExc_ValueError,
                  format("init_context: invalid cuda_device %s, it must be %s", preferred, expected));
    return static_cast<int>(device);
}

void init_context(EncoderCore& core, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {"width", "height", "src_format", "dst_formats", "encoding",
                                         "quality", "speed", "scaling", "options", nullptr};
    static PyObject* shared_options = py::new_dict().release();
    int width = 0, height = 0, quality = 0, speed = 0;
    PyObject *src_format = nullptr, *dst_formats = nullptr, *encoding = nullptr, *scaling = nullptr;
    PyObject* options = shared_options;
    py::parse_args(args, kwargs, "iiOOOiiO|O:init_context", kwlist, &width, &height, &src_format, &dst_formats,
                   &encoding, &quality, &speed, &scaling, &options);
    Ref encodings = py::call(module_attr("get_encodings").get());
    if (offers_encoding_choice()) {
        if (!py::is_text(encoding) || !is_encoding(encoding))
            py::raise(PyExc_ValueError,
                      format("init_context: invalid encoding %r, it must be one of %s", encoding, encodings));
    } else {
        check_assert(py::contains(encodings.get(), encoding), "invalid encoding %s", encoding);
    }
    check_assert(!py::is_none(module_attr("NvEncodeAPICreateInstance").get()), "encoder module is not initialized");
    core.check_not_set_up();
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension)
        py::raise(PyExc_ValueError, format("invalid dimensions: %sx%s", width, height));
    check_source_format(src_format, encoding);
    const int preferred_device = preferred_cuda_device(options);
    log_debug("init_context%s", py::tuple(py_value(width), py_value(height), src_format, dst_formats, encoding,
                                          py_value(quality), py_value(speed), scaling, options));
    Ref scaling_object = py::truth(scaling) ? Ref::borrow(scaling) : py::tuple(py_value(1), py_value(1));
    const auto [num, den] = py::integer_pair(scaling_object.get(), "scaling");
    auto fits = [num = num, den = den](long long v) { return v * num / den >= 1 && v * num / den <= kMaxDimension; };
    if (num <= 0 || den <= 0 || num > INT_MAX || den > INT_MAX || !fits(width) || !fits(height))
        py::raise(PyExc_ValueError, format("invalid scaling: %s", scaling_object));
    StreamRequest r;
    r.width = static_cast<uint32_t>(width);
    r.height = static_cast<uint32_t>(height);
    r.src_format = py::str(src_format);
    r.dst_formats = std::make_shared<PythonObject>(Ref::borrow(dst_formats));
    r.encoding = std::make_shared<PythonObject>(Ref::borrow(encoding));
    // With the checks off an encoding outside the module's list gets this far: it is encoded as the first one.
    const Ref listed = is_encoding(encoding) ? Ref::borrow(encoding) : py::item(encodings.get(), 0);
    r.encoding_name = py::str(listed.get());
    r.scaling = std::make_shared<PythonObject>(scaling_object);
    r.scale_num = static_cast<int>(num);
    r.scale_den = static_cast<int>(den);
    r.speed = speed;
    r.quality = quality;
    r.preferred_device = preferred_device;
    const double start = now();
    core.init_context(r);
    const StreamConfig& c = core.config();
    log_debug("init_context%s took %1.fms",
              py::tuple(py_value(c.width), py_value(c.height), src_format, py_value(c.quality), py_value(c.speed),
                        options),
              (now() - start) * 1000.0);
}

// --- compress_image ----------------------------------------------------------------------------------
// The caller's image: its methods are called as the core reads it, the pixels held (their object, and
// its buffer where it exports one) until it has staged them.
class PythonFrame final : public FrameIo {
public:
    PythonFrame(const EncoderCore& core, PyObject* image, PyObject* options)
        : core_(core), image_(host_ref(Ref::borrow(image))), options_(host_ref(Ref::borrow(options))) {}

    Value image() override { return Value::host(image_); }
    Value options() override { return Value::host(options_); }
    FramePicture read() override {
        return host_call([&] {
            PyObject* image = python_object(image_).get();
            FramePicture p;
            p.width = py::as_long_long(py::call_method(image, "get_width").get());
            p.height = py::as_long_long(py::call_method(image, "get_height").get());
            Ref pixels = py::call_method(image, "get_pixels");
            p.stride = py::as_long_long(py::call_method(image, "get_rowstride").get());
            Ref planes = py::call_method(image, "get_planes");
            p.packed = py::equal(planes.get(), state().host.packed.get());
            p.planes = Value::host(std::make_shared<PythonObject>(planes));
            p.timestamp = py::as_long_long(py::call_method(image, "get_timestamp").get());
            view_.reset();
            if (!py::is_none(pixels.get())) view_.emplace(pixels.get());
            p.has_pixels = view_.has_value();
            if (view_) {
                p.pixels = bytes_of(*view_);
                p.pinned = view_->pinned();
                p.pixel_type = Value::host(std::make_shared<PythonObject>(py::type_of(pixels.get())));
            }
            return p;
        });
    }
    PixelBytes current_pixels() override {
        return host_call([&] {
            view_.value().refresh();
            return bytes_of(*view_);
        });
    }
    void release_pixels() noexcept override { view_.reset(); }
    Value report() override {
        return host_call([&] { return Value::host(std::make_shared<PythonObject>(info(core_))); });
    }

private:
    static PixelBytes bytes_of(const py::BufferView& view) {
        return {static_cast<const uint8_t*>(view.data()), view.size()};
    }

    const EncoderCore& core_;
    HostRef image_, options_;
    std::optional<py::BufferView> view_;
};

// compress_image's answer: the bitstream, and the client's options of the picture.
Ref encoded_picture(const EncodedFrame& encoded) {
    const FrameResult& r = encoded.result;
    Ref o = py::new_dict();
    py::dict_set(o.get(), "frame", py_value(r.frame));
    py::dict_set(o.get(), "pts", py_value(r.pts));
    py::dict_set(o.get(), "speed", py_value(r.speed));
    py::dict_set(o.get(), "quality", py_value(r.quality));
    if (r.lossless) py::dict_set(o.get(), "lossless", py::boolean(true));
    if (r.scaled) py::dict_set(o.get(), "scaled_size", py::tuple(py_value(r.scaled_width), py_value(r.scaled_height)));
    return py::tuple(py::bytes(encoded.bitstream.data(), encoded.bitstream.size()), o);
}

// --- Python binding -----------------------------------------------------------------------------------
using Type = py::ExtType<Encoder>;

void no_arguments(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const none[] = {nullptr};
    py::parse_args(args, kwargs, format, none);
}
int one_integer(PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    const char* const kwlist[] = {name, nullptr};
    int v = 0;
    py::parse_args(args, kwargs, format, kwlist, &v);
    return v;
}

template <Ref (*F)(EncoderCore&, PyObject*, PyObject*), const char* Name>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        Encoder& encoder = Type::cast(self);
        const Call call(encoder, Name);
        const LoggerAnswerScope one_answer;
        return translated([&] { return F(encoder.core, args, kwargs); });
    });
}

Ref m_init_context(EncoderCore& e, PyObject* a, PyObject* k) {
    init_context(e, a, k);
    return py::none();
}
Ref m_init_buffers(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":init_buffers");
    e.init_buffers();
    return py::none();
}
Ref m_compress_image(EncoderCore& e, PyObject* a, PyObject* k) {
    static const char* const kwlist[] = {"image", "quality", "speed", "options", "retry", nullptr};
    static PyObject* shared_options = py::new_dict().release();
    PyObject* image = nullptr;
    PyObject* options = shared_options;
    int quality = -1, speed = -1, retry = 0;
    py::parse_args(a, k, "O|iiOi:compress_image", kwlist, &image, &quality, &speed, &options, &retry);
    PythonFrame frame(e, image, options);
    return encoded_picture(e.compress(quality, speed, frame, retry));
}
Ref m_set_encoding_speed(EncoderCore& e, PyObject* a, PyObject* k) {
    e.set_encoding_speed(one_integer(a, k, "i:set_encoding_speed", "speed"));
    return py::none();
}
Ref m_set_encoding_quality(EncoderCore& e, PyObject* a, PyObject* k) {
    e.set_encoding_quality(one_integer(a, k, "i:set_encoding_quality", "quality"));
    return py::none();
}
Ref m_update_bitrate(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":update_bitrate");
    e.update_bitrate();
    return py::none();
}
Ref m_get_target_pixel_format(EncoderCore& e, PyObject* a, PyObject* k) {
    return text(e.target_pixel_format(one_integer(a, k, "i:get_target_pixel_format", "quality")));
}
Ref m_get_target_lossless(EncoderCore& e, PyObject* a, PyObject* k) {
    static const char* const kwlist[] = {"pixel_format", "quality", nullptr};
    PyObject* pixel_format = nullptr;
    int quality = 0;
    py::parse_args(a, k, "Oi:get_target_lossless", kwlist, &pixel_format, &quality);
    return py::boolean(e.target_lossless(py::str(pixel_format), quality));
}
Ref m_clean(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":clean");
    e.clean();
    return py::none();
}
Ref m_get_info(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_info");
    return info(e);
}
Ref m_is_closed(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":is_closed");
    return py::boolean(e.closed());
}
Ref m_get_width(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_width");
    return py_value(e.config().width);
}
Ref m_get_height(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_height");
    return py_value(e.config().height);
}
Ref m_get_type(EncoderCore&, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_type");
    return text("nvenc");
}
Ref m_get_encoding(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_encoding");
    return text(encoding_of(e));
}
Ref m_get_src_format(EncoderCore& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_src_format");
    return text(e.config().src_format);
}

PyObject* encoder_repr(PyObject* self) {
    return py::guarded([&] { return repr(Type::cast(self).core); });
}

// The host-visible methods, each bound as m_<name>.
#define TEVU_ENCODER_METHODS(X)                                                                                \
    X(init_context) X(init_buffers) X(compress_image) X(set_encoding_speed) X(set_encoding_quality)            \
    X(update_bitrate) X(get_target_pixel_format) X(get_target_lossless) X(clean) X(get_info) X(is_closed)     \
    X(get_width) X(get_height) X(get_type) X(get_encoding) X(get_src_format)
#define TEVU_METHOD_NAME(name) constexpr char name##_name[] = #name;
TEVU_ENCODER_METHODS(TEVU_METHOD_NAME)
#define TEVU_METHOD(name) \
    {#name, py::cfunction(&method<m_##name, name##_name>), METH_VARARGS | METH_KEYWORDS, nullptr},
PyMethodDef encoder_methods[] = {
    TEVU_ENCODER_METHODS(TEVU_METHOD)
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool encoder_lists_codec(PyObject* encoder, const Codec& codec) { return Type::cast(encoder).core.lists_codec(codec); }

int encoder_capability(PyObject* encoder, int cap) {
    EncoderCore& core = Type::cast(encoder).core;
    return core.query_encoder_caps(core.codec(), cap);
}

void register_encoder_type(PyObject* module) {
    static const std::string name = std::string(api::kModuleName) + ".Encoder";
    PyTypeObject* t = Type::define(name.c_str(), encoder_methods, &encoder_repr, offers_encoding_choice() ? "an NVENC encoding context" : "an NVENC H.264 encoding context");
    py::add_object(module, "Encoder", Ref::borrow(reinterpret_cast<PyObject*>(t)));
}

}  // namespace tevu::nvenc
