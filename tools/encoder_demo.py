"""Encodes a desktop-like sequence or a raw BGRX file with the NVENC encoder module (see encoder-demo), in
one encoding (--encoding), or in each encoding side by side (--compare): the same frames of --size at
quality 90 (4:4:4 where the encoding offers it, lossy), speed 50, no scaling, the same for every encoding,
each decoded with ffmpeg and measured against the source by its PSNR over the full-resolution 4:4:4
planes (BT.601, limited range)."""

from __future__ import print_function

import importlib
import os
import tempfile
import time

import tevu_nvenc_apis
import tool_cli
from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.streams import DEMUXERS, psnr

# --compare's settings, the same for every encoding: a quality at which H.264 and HEVC encode 4:4:4 (at
# least YUV444_THRESHOLD, below lossless), the middle speed.
COMPARE_QUALITY = 90
COMPARE_SPEED = 50
# The file suffix of each encoding's stream.
SUFFIXES = {"h264": ".h264", "h265": ".h265", "av1": ".obu"}


def encoding_support(module, encoding):
    """(yuv444, lossless) of an encoding of an initialised module."""
    support = getattr(module, "ENCODING_SUPPORT", None)
    if support is not None:
        return support[encoding]
    return module.YUV444_ENABLED, module.LOSSLESS_ENABLED


def initialised_module(apis):
    """The first encoder module of the APIs given whose import and init_module() succeed; says which it
    used and why it skipped the others. Raises the last failure when none can be used."""
    failure = None
    for api in apis:
        name = tevu_nvenc_apis.by_number(api).module
        try:
            module = importlib.import_module(name)
            module.init_module()
        except Exception as e:  # any failure of the module's set-up makes it one to skip
            print("encoder-demo: skipping %s: %s" % (name, e))
            failure = e
            continue
        print("encoder-demo: using %s" % name)
        return module
    raise failure


def pictures(a, width, height):
    """The BGRX pictures to encode, one at a time: --frames of --input, or of the synthetic desktop."""
    raw = open(a.input, "rb") if a.input else None
    try:
        for i in range(a.frames):
            if not raw:
                yield desktop_frame(width, height, i)
                continue
            pixels = raw.read(width * height * 4)
            if len(pixels) < width * height * 4:
                return
            yield pixels
    finally:
        if raw:
            raw.close()


def encode(e, frames, width, height, quality, speed, output, total, source=None):
    """Encodes the pictures into the file `output`, writing each also to `source` when given; returns (frames,
    bytes, seconds spent in compress_image)."""
    total_bytes, encode_time, count = 0, 0.0, 0
    started = time.time()
    try:
        with open(output, "wb") as out:
            for i, pixels in enumerate(frames):
                t0 = time.time()
                data, options = e.compress_image(Image(width, height, pixels, timestamp=i * 33), quality, speed)
                encode_time += time.time() - t0
                out.write(data)
                total_bytes += len(data)
                count += 1
                if source:
                    source.write(pixels)
                tool_cli.progress(count, total, count / max(1e-9, time.time() - started))
    finally:
        tool_cli.progress_done()
        e.clean()
    return count, total_bytes, encode_time


def stream_path(output, encoding):
    """The file of an encoding's stream: `output` with the encoding's suffix in place of its own."""
    return os.path.splitext(output)[0] + SUFFIXES[encoding]


def compare(encoder, a, width, height):
    """Encodes the same pictures in every encoding the build knows and prints the table of the results."""
    source_path = tempfile.mktemp(suffix=".bgrx")
    with open(source_path, "wb") as source:
        for pixels in pictures(a, width, height):
            source.write(pixels)
    count = os.path.getsize(source_path) // (width * height * 4)
    print("compare: %d frames of %dx%d, quality %d, speed %d" % (count, width, height, a.quality, a.speed))
    rows = []
    try:
        for encoding in tool_cli.known_encodings(tevu_nvenc_apis.APIS):
            if encoding not in encoder.get_encodings():
                rows.append((encoding, "not offered", "", ""))
                continue
            e = encoder.Encoder()
            e.init_context(width, height, "BGRX", ["YUV420P", "YUV444P"], encoding, a.quality, a.speed, (1, 1), {})
            pixel_format = e.get_info()["pixel_format"]
            output = stream_path(a.output, encoding)
            with open(source_path, "rb") as source:
                frames = iter(lambda: source.read(width * height * 4), b"")
                _, size, _ = encode(e, frames, width, height, a.quality, a.speed, output, count)
            value = psnr(output, source_path, width, height, "yuv444p", encoding)
            rows.append((encoding, pixel_format, str(size), "%.2f" % value))
    finally:
        os.remove(source_path)
    line = "%-10s %-14s %14s %10s"
    print(line % ("encoding", "pixel format", "size (bytes)", "PSNR (dB)"))
    for row in rows:
        print((line % row).rstrip())
    print("streams: %s" % ", ".join(stream_path(a.output, r[0]) for r in rows if r[2]))


def main():
    parser = tool_cli.parser("encoder-demo", __doc__)
    parser.add_argument("--size", default="1280x720", type=tool_cli.pair("x", "WxH", 4096), help="picture size")
    parser.add_argument("--frames", type=tool_cli.number_in(1, 1000000), default=60, help="frames to encode")
    parser.add_argument("--quality", type=tool_cli.number_in(0, 100),
                        help="quality, 0 to 100 (default: 50; with --compare %d)" % COMPARE_QUALITY)
    parser.add_argument("--speed", type=tool_cli.number_in(0, 100),
                        help="speed, 0 to 100 (default: 50; with --compare %d)" % COMPARE_SPEED)
    parser.add_argument("--scaling", default="1/1", type=tool_cli.pair("/", "num/den", 1000),
                        help="scaling num/den, for example 2/3")
    parser.add_argument("--input", type=tool_cli.readable_file, help="raw BGRX frames of --size (default: a "
                        "synthetic desktop)")
    encodings = tool_cli.known_encodings(tevu_nvenc_apis.APIS)
    parser.add_argument("--encoding", default=encodings[0], choices=encodings,
                        help="the encoding, one the module offers on this device")
    parser.add_argument("--output", type=tool_cli.output_file,
                        help="the stream (default: demo/encoder-demo.<suffix> in the build tree, the suffix of "
                        "the encoding: .h264, .h265 for HEVC, .obu for AV1); with --compare, each encoding's "
                        "stream is written there with its own suffix in place of the output's")
    parser.add_argument("--psnr", action="store_true", help="decode with ffmpeg and compare with the source")
    parser.add_argument("--compare", action="store_true",
                        help="encode the same frames in each encoding (h264 and h265 at 4:4:4 where offered, "
                        "av1 at 4:2:0) at the same quality and speed, and print a table of their pixel "
                        "formats, stream sizes and PSNR (on the 4:4:4 planes); encodings the module does not "
                        "offer are listed as such")
    numbers = [str(api.number) for api in tevu_nvenc_apis.APIS]
    parser.add_argument("--api", default="auto", choices=["auto"] + numbers,
                        help="NVENC API of the module (default: the first of %s whose init_module() "
                        "succeeds, among those that can offer --encoding)" % ", ".join(numbers))
    a = parser.parse_args()
    width, height = a.size
    scaling = a.scaling
    if a.compare and scaling != (1, 1):
        parser.error("--compare encodes at --scaling 1/1 only, not %d/%d" % scaling)
    if a.quality is None:
        a.quality = COMPARE_QUALITY if a.compare else 50
    if a.speed is None:
        a.speed = COMPARE_SPEED if a.compare else 50
    if a.output is None:
        a.output = os.path.join(a.build, "demo", "encoder-demo" + SUFFIXES[a.encoding])
        if not os.path.isdir(os.path.dirname(a.output)):
            os.makedirs(os.path.dirname(a.output))
    apis = numbers if a.api == "auto" else [a.api]
    if not a.compare:
        apis = [n for n in apis if a.encoding in tevu_nvenc_apis.by_number(n).encodings]
        if not apis:
            parser.error(tool_cli.not_in_api(tevu_nvenc_apis.by_number(a.api), a.encoding))

    encoder = initialised_module(apis)
    if a.compare:
        return compare(encoder, a, width, height)
    if a.encoding not in encoder.get_encodings():
        parser.error(tool_cli.not_offered(encoder, a.encoding))
    print("NVENC API %s, %s: YUV444 %s, lossless %s" % ((encoder.get_version(), a.encoding) +
                                                         tuple(encoding_support(encoder, a.encoding))))
    e = encoder.Encoder()
    e.init_context(width, height, "BGRX", ["YUV420P"], a.encoding, a.quality, a.speed, scaling, {})
    print(repr(e))
    source_path = None
    source = None
    if a.psnr and scaling == (1, 1):
        source_path = tempfile.mktemp(suffix=".bgrx")
        source = open(source_path, "wb")
    started = time.time()
    try:
        count, total_bytes, encode_time = encode(e, pictures(a, width, height), width, height, a.quality, a.speed,
                                                 a.output, a.frames, source)
    finally:
        if source:
            source.close()
    elapsed = time.time() - started
    seconds = count / 30.0
    print("%s: frames: %d, size: %d bytes, bitrate at 30 fps: %.0f kbit/s" % (
        a.encoding, count, total_bytes, total_bytes * 8 / max(1e-9, seconds) / 1000))
    print("encode alone: %.1f fps (%.2f ms/frame); with making the pictures: %.1f fps" % (
        count / max(1e-9, encode_time), 1000 * encode_time / max(1, count), count / max(1e-9, elapsed)))
    if source_path:
        print("PSNR: %.2f dB" % psnr(a.output, source_path, width, height, encoding=a.encoding))
        os.remove(source_path)
    print("output: %s (play it with: ffplay -f %s %s)" % (a.output, DEMUXERS[a.encoding], a.output))


if __name__ == "__main__":
    main()
