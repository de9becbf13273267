"""The encode step of gpu-check: each encoder module's init_module, then for each encoding the module offers on
this device (get_encodings()) an encode at 4:2:0, 4:4:4 and lossless, decoded with ffmpeg as that encoding's
stream and compared with the source (PSNR; lossless must give back the kernels' own 4:4:4 bytes). The lines of
a module that offers a choice of encodings name the encoding; those of the H.264-only modules do not."""

from __future__ import print_function

import argparse
import importlib
import os
import shutil
import sys
import tempfile
import time

import tevu_nvenc_apis
from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.streams import decode, kernel_yuv444, psnr
from tevu.log import capture

STEP = "4 encode"
# The lowest average PSNR (dB) accepted from a lossy encode of the desktop pictures.
MIN_PSNR = 30.0
# What the API-5.0 and 4.0 modules log when the driver offers only the newer presets.
NEWER_MODULE_HINT = "use tevu.codecs.nvenc12"
# The exit status counts failures up to this; anything higher means the script itself broke.
MAX_FAILURES = 100


class Mode(object):
    def __init__(self, name, quality, dst_formats, pixel_format, lossless, pix_fmt):
        self.name, self.quality, self.dst_formats = name, quality, dst_formats
        self.pixel_format, self.lossless, self.pix_fmt = pixel_format, lossless, pix_fmt


MODES = [Mode("4:2:0", 50, ["YUV420P"], "NV12", False, "yuv420p"),
         Mode("4:4:4", 90, ["YUV420P", "YUV444P"], "YUV444P", False, "yuv444p"),
         Mode("lossless", 100, ["YUV420P", "YUV444P"], "YUV444P", True, "yuv444p")]


class Report(object):
    def __init__(self):
        self.failures = 0

    def line(self, tag, text):
        if tag == "FAIL":
            self.failures += 1
        print("%-4s %s: %s" % (tag, STEP, text))
        sys.stdout.flush()


def support(m, encoding):
    """(yuv444, lossless) of an encoding, as init_module found them."""
    if hasattr(m, "ENCODING_SUPPORT"):
        return m.ENCODING_SUPPORT[encoding]
    return m.YUV444_ENABLED, m.LOSSLESS_ENABLED


def unavailable(m, encoding, mode):
    """Why init_module left this mode of the encoding off, or None."""
    yuv444, lossless = support(m, encoding)
    if mode.pixel_format == "YUV444P" and not yuv444:
        return "init_module found no YUV444 support"
    if mode.lossless and not lossless:
        return "init_module found no lossless support"
    return None


def encode(m, encoding, mode, frames, width, height, stream_path):
    """Encodes the frames to stream_path; returns the frame rate of compress_image alone."""
    e = m.Encoder()
    try:
        e.init_context(width, height, "BGRX", mode.dst_formats, encoding, mode.quality, 50, (1, 1), {})
        info = e.get_info()
        if info["pixel_format"] != mode.pixel_format or bool(info.get("lossless")) != mode.lossless:
            raise AssertionError("the encoder chose %s, lossless %s" % (info["pixel_format"], info.get("lossless")))
        spent = 0.0
        with open(stream_path, "wb") as out:
            for i, pixels in enumerate(frames):
                started = time.time()
                data, options = e.compress_image(Image(width, height, pixels, timestamp=1000 + 33 * i),
                                                 mode.quality, 50)
                spent += time.time() - started
                if bool(options.get("lossless")) != mode.lossless:
                    raise AssertionError("frame %d came back with lossless=%s" % (i, options.get("lossless")))
                out.write(data)
        return len(frames) / max(spent, 1e-9)
    finally:
        e.clean()


def compare(encoding, mode, stream_path, source_path, reference_tool, count, width, height):
    """The verdict on a stream decoded as the encoding's: (passed, text)."""
    frames, w, h, planes = decode(stream_path, mode.pix_fmt, encoding=encoding)
    if (frames, w, h) != (count, width, height):
        return False, "decoded %d frames of %dx%d, expected %d of %dx%d" % (frames, w, h, count, width, height)
    if not mode.lossless:
        value = psnr(stream_path, source_path, width, height, mode.pix_fmt, encoding)
        return value >= MIN_PSNR, "PSNR %.2f dB (at least %.0f needed)" % (value, MIN_PSNR)
    with open(source_path, "rb") as source:
        reference = kernel_yuv444(reference_tool, source.read(), width, height)
    if planes == reference:
        return True, "decoded planes identical to the kernels' 4:4:4 conversion"
    differing = sum(1 for a, b in zip(planes, reference) if a != b) + abs(len(planes) - len(reference))
    return False, "%d of %d decoded bytes differ from the kernels' 4:4:4 conversion" % (differing, len(reference))


def check_module(report, api, frames, source_path, work, reference_tool, width, height):
    name = "tevu.codecs.nvenc%s.encoder" % api.split(".")[0]
    with capture() as records:
        try:
            m = importlib.import_module(name)
            m.init_module()
        except Exception as e:  # every failure of the module is a finding, but one
            if any(NEWER_MODULE_HINT in line for line in capture.messages(records, "warn")):
                # A driver from 590 on offers none of the older modules' presets, and says which module serves it.
                report.line("skip", "API %s: init_module: %s: the driver has none of this module's presets "
                                    "(drivers from 590 on), the API-12.0 module serves it" % (api, e))
            else:
                report.line("FAIL", "API %s: init_module: %s" % (api, e))
            return
    choice = hasattr(m, "ENCODING_SUPPORT")
    text = "YUV444 %s, lossless %s" % (m.YUV444_ENABLED, m.LOSSLESS_ENABLED)
    if choice:
        text = ", ".join("%s (YUV444 %s, lossless %s)" % ((e,) + tuple(support(m, e))) for e in m.get_encodings())
    report.line("ok", "API %s: init_module: %s" % (api, text))
    for encoding in tevu_nvenc_apis.by_number(api.split(".")[0]).encodings:
        label = "API %s %s" % (api, encoding) if choice else "API %s" % api
        if encoding not in m.get_encodings():
            report.line("skip", "%s: init_module: not offered by this device" % label)
            continue
        for mode in MODES:
            check_mode(report, m, encoding, mode, label, frames, source_path, work, reference_tool, width, height)


def check_mode(report, m, encoding, mode, label, frames, source_path, work, reference_tool, width, height):
    """Encodes the frames in one mode of an encoding and checks the stream, in one line of the report."""
    what = "%s %s (quality %d), %d frames of %dx%d" % (label, mode.name, mode.quality, len(frames), width, height)
    why = unavailable(m, encoding, mode)
    if why:
        report.line("skip", "%s: %s" % (what, why))
        return
    stream = os.path.join(work, "%s-%s.%s" % (label.replace(" ", "-"), mode.name.replace(":", ""), encoding))
    try:
        rate = encode(m, encoding, mode, frames, width, height, stream)
        passed, text = compare(encoding, mode, stream, source_path, reference_tool, len(frames), width, height)
    except Exception as e:
        report.line("FAIL", "%s: %s" % (what, e))
        return
    report.line("ok" if passed else "FAIL", "%s: %.1f fps, %s" % (what, rate, text))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--apis", default="12.0,5.0,4.0", help="module API versions, comma-separated")
    parser.add_argument("--frames", type=int, default=60)
    parser.add_argument("--size", default="640x480")
    parser.add_argument("--reference-tool", required=True, help="gpu-check, for its --reference-yuv444")
    a = parser.parse_args()
    width, height = [int(v) for v in a.size.split("x")]
    report = Report()
    frames = [desktop_frame(width, height, i) for i in range(a.frames)]
    work = tempfile.mkdtemp(prefix="gpu-check-encode.")
    try:
        source_path = os.path.join(work, "source.bgrx")
        with open(source_path, "wb") as source:
            for pixels in frames:
                source.write(pixels)
        for api in a.apis.split(","):
            check_module(report, api, frames, source_path, work, a.reference_tool, width, height)
    finally:
        shutil.rmtree(work)
    # The exit status is the number of failed checks (gpu-check adds them to its own count).
    sys.exit(min(report.failures, MAX_FAILURES))


if __name__ == "__main__":
    main()
