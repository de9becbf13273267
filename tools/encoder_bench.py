"""Benchmarks of each module given (default: every module that can offer an encoding asked for):
get_runtime_factor() against the host calls it makes; then for each encoding asked for (--encoding, default
h264) at 1920x1080 and 4:2:0: compress_image against the unavoidable work of a frame (staging copy, upload,
colour conversion), the cost of a speed change, which the API-12.0 module brings into its session as a new
bitrate, against a frame and on its own, and one encoder against two on two threads. Each line starts with
the module's API, and the encoding for the lines of an encoding.
Run through encoder-bench (NVENC_EMU_NULL=1: the stand-in skips the real encode)."""

from __future__ import print_function

import ctypes
import importlib
import threading
import time

import tevu_nvenc_apis
import tool_cli
from tevu_testsupport.frames import Image

W, H = 1920, 1080


def per_call(fn, seconds=0.5):
    n, start = 0, time.time()
    while time.time() - start < seconds:
        for _ in range(200):
            fn()
        n += 200
    return (time.time() - start) / n


def open_cuda_driver(names):
    """The CUDA driver library under the first of its names that loads (the unversioned one, then the soname)."""
    for name in names[:-1]:
        try:
            return ctypes.CDLL(name)
        except OSError:
            pass
    return ctypes.CDLL(names[-1])


def unavoidable_frame_work(cuda_context, pixels):
    """Seconds per frame of: copying the pixels into page-locked memory, uploading it, converting it."""
    cuda = open_cuda_driver(cuda_context.library_names())
    dev = ctypes.c_int()
    cuda.cuDeviceGet(ctypes.byref(dev), 0)
    ctx = ctypes.c_void_p()
    assert cuda.cuCtxCreate_v2(ctypes.byref(ctx), 8, dev) == 0
    pitch_in, pitch_out = ctypes.c_size_t(), ctypes.c_size_t()
    src, dst = ctypes.c_uint64(), ctypes.c_uint64()
    assert cuda.cuMemAllocPitch_v2(ctypes.byref(src), ctypes.byref(pitch_in), ctypes.c_size_t(W * 4),
                                   ctypes.c_size_t(1088), 16) == 0
    assert cuda.cuMemAllocPitch_v2(ctypes.byref(dst), ctypes.byref(pitch_out), ctypes.c_size_t(W),
                                   ctypes.c_size_t(1088 * 3 // 2), 16) == 0
    size = pitch_in.value * 1088
    host = ctypes.c_void_p()
    assert cuda.cuMemHostAlloc(ctypes.byref(host), ctypes.c_size_t(size), 0) == 0
    kernel = cuda_context.get_CUDA_function(0, "BGRA_to_NV12")
    values = [ctypes.c_uint64(src.value), ctypes.c_int(1920), ctypes.c_int(1088), ctypes.c_int(W * 4),
              ctypes.c_uint64(dst.value), ctypes.c_int(1920), ctypes.c_int(1088), ctypes.c_int(pitch_out.value),
              ctypes.c_int(W), ctypes.c_int(H)]
    params = (ctypes.c_void_p * len(values))(*[ctypes.cast(ctypes.byref(v), ctypes.c_void_p) for v in values])
    cuda.cuMemcpyHtoD_v2.argtypes = [ctypes.c_uint64, ctypes.c_void_p, ctypes.c_size_t]
    cuda.cuLaunchKernel.argtypes = [ctypes.c_void_p] + [ctypes.c_uint] * 7 + [ctypes.c_void_p] * 3

    def frame():
        ctypes.memmove(host, pixels, len(pixels))
        assert cuda.cuMemcpyHtoD_v2(src.value, host, size) == 0
        assert cuda.cuLaunchKernel(kernel.handle, 60, 34, 1, 16, 16, 1, 0, None, params, None) == 0
    t = per_call(frame, 2.0)
    cuda.cuMemFreeHost(host)
    cuda.cuMemFree_v2(ctypes.c_uint64(src.value))
    cuda.cuMemFree_v2(ctypes.c_uint64(dst.value))
    cuda.cuCtxDestroy_v2(ctx)
    return t


def bench(api, encodings, frames, fail):
    """Prints the figures of one module and of each of the encodings given (all it offers for None), each
    line starting with its API. `fail(message)` ends the tool when the module does not offer one."""
    m = importlib.import_module(tevu_nvenc_apis.by_number(api).module)
    from tevu.codecs.cuda_common import cuda_context
    m.init_module()
    for encoding in encodings or []:
        if encoding not in m.get_encodings():
            fail(tool_cli.not_offered(m, encoding))
    label = "API %s.%s" % tuple(m.PRETTY_VERSION[:2])

    counter = m.context_counter
    host = per_call(lambda: (cuda_context.init_all_devices(), counter.get()))
    factor = per_call(m.get_runtime_factor)
    print("%s get_runtime_factor: %.2f us per call; the two host calls: %.2f us; ratio %.2f" % (
        label, factor * 1e6, host * 1e6, factor / host))

    pixels = bytes(bytearray(i % 251 for i in range(W * 4))) * H
    work = unavoidable_frame_work(cuda_context, pixels)
    for encoding in encodings or m.get_encodings():
        bench_encoding(m, "%s %s" % (label, encoding), encoding, pixels, work, frames)


def bench_encoding(m, label, encoding, pixels, work, frames):
    """The figures of one encoding of a module, against `work`, the unavoidable work of a frame."""
    encoders = [m.Encoder(), m.Encoder()]
    for e in encoders:
        e.init_context(W, H, "BGRX", ["YUV420P"], encoding, 50, 50, (1, 1), {})
    image = Image(W, H, pixels)
    encoders[0].compress_image(image, 50, 50)
    frame = per_call(lambda: encoders[0].compress_image(image, 50, 50), 3.0)
    print("%s compress_image 1920x1080: %.2f ms per frame; unavoidable work: %.2f ms; ratio %.2f" % (
        label, frame * 1e3, work * 1e3, frame / work))

    speeds = [40, 60]
    flips = [0]

    def changing_speed():
        flips[0] += 1
        encoders[0].compress_image(image, 50, speeds[flips[0] % 2])
    changing = per_call(changing_speed, 3.0)
    print("%s speed change on every frame: %.2f ms per frame, %.2f ms more than a frame (%.0f%% of one)" % (
        label, changing * 1e3, (changing - frame) * 1e3, 100.0 * (changing - frame) / frame))

    def speed_change():
        flips[0] += 1
        encoders[0].set_encoding_speed(speeds[flips[0] % 2])
    print("%s speed change alone (set_encoding_speed): %.1f us per change" % (label, per_call(speed_change, 2.0) * 1e6))

    def run(e, n):
        for _ in range(n):
            e.compress_image(image, 50, 50)
    start = time.time()
    run(encoders[0], frames)
    one = frames / (time.time() - start)
    threads = [threading.Thread(target=run, args=(e, frames)) for e in encoders]
    start = time.time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = 2 * frames / (time.time() - start)
    print("%s frame rate: one encoder %.1f fps, two encoders on two threads %.1f fps; ratio %.2f" % (
        label, one, two, two / one))
    for e in encoders:
        e.clean()


def main():
    parser = tool_cli.parser("encoder-bench", __doc__)
    numbers = [str(api.number) for api in tevu_nvenc_apis.APIS]
    parser.add_argument("--api", action="append", choices=numbers,
                        help="NVENC API of a module to measure, once per module (default: every module)")
    parser.add_argument("--frames", type=tool_cli.number_in(1, 1000000), default=60,
                        help="frames per encoder in the one-against-two comparison")
    parser.add_argument("--encoding", action="append", choices=tool_cli.known_encodings(tevu_nvenc_apis.APIS) +
                        ["all"], help="an encoding to measure, once per encoding, or all for every one each "
                        "module offers on this device (default: h264); an encoding that a module measured "
                        "does not offer ends the tool with status 2")
    a = parser.parse_args()
    encodings = None if "all" in (a.encoding or []) else (a.encoding or ["h264"])
    apis = a.api or numbers
    if encodings:
        # Left to its default, the set of modules is those whose API can offer an encoding asked for.
        can_offer = [n for n in apis if set(encodings) & set(tevu_nvenc_apis.by_number(n).encodings)]
        apis = apis if a.api else can_offer
        for n in apis:
            left_out = [e for e in encodings if e not in tevu_nvenc_apis.by_number(n).encodings]
            if a.api and left_out:
                parser.error(tool_cli.not_in_api(tevu_nvenc_apis.by_number(n), left_out[0]))
    for api in apis:
        wanted = encodings and [e for e in encodings if e in tevu_nvenc_apis.by_number(api).encodings]
        bench(api, wanted, a.frames, parser.error)


if __name__ == "__main__":
    main()
