"""Encodes a desktop-like sequence or a raw BGRX file with the NVENC encoder module (see encoder-demo)."""

from __future__ import print_function

import importlib
import os
import tempfile
import time

import tevu_nvenc_apis
import tool_cli
from tevu_testsupport.frames import Image, desktop_frame
from tevu_testsupport.streams import psnr


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


def main():
    parser = tool_cli.parser("encoder-demo", __doc__)
    parser.add_argument("--size", default="1280x720", type=tool_cli.pair("x", "WxH", 4096), help="picture size")
    parser.add_argument("--frames", type=tool_cli.number_in(1, 1000000), default=60, help="frames to encode")
    parser.add_argument("--quality", type=tool_cli.number_in(0, 100), default=50, help="quality, 0 to 100")
    parser.add_argument("--speed", type=tool_cli.number_in(0, 100), default=50, help="speed, 0 to 100")
    parser.add_argument("--scaling", default="1/1", type=tool_cli.pair("/", "num/den", 1000),
                        help="scaling num/den, for example 2/3")
    parser.add_argument("--input", type=tool_cli.readable_file, help="raw BGRX frames of --size (default: a "
                        "synthetic desktop)")
    parser.add_argument("--output", type=tool_cli.output_file,
                        help="the H.264 stream (default: demo/encoder-demo.h264 in the build tree)")
    parser.add_argument("--psnr", action="store_true", help="decode with ffmpeg and compare with the source")
    numbers = [str(api.number) for api in tevu_nvenc_apis.APIS]
    parser.add_argument("--api", default="auto", choices=["auto"] + numbers,
                        help="NVENC API of the module (default: the first of %s whose init_module() "
                        "succeeds)" % ", ".join(numbers))
    a = parser.parse_args()
    width, height = a.size
    scaling = a.scaling
    if a.output is None:
        a.output = os.path.join(a.build, "demo", "encoder-demo.h264")
        if not os.path.isdir(os.path.dirname(a.output)):
            os.makedirs(os.path.dirname(a.output))

    encoder = initialised_module(numbers if a.api == "auto" else [a.api])
    print("NVENC API %s, YUV444 %s, lossless %s" % (encoder.get_version(), encoder.YUV444_ENABLED,
                                                    encoder.LOSSLESS_ENABLED))
    e = encoder.Encoder()
    e.init_context(width, height, "BGRX", ["YUV420P"], "h264", a.quality, a.speed, scaling, {})
    print(repr(e))
    source_path = None
    source = None
    if a.psnr and scaling == (1, 1):
        source_path = tempfile.mktemp(suffix=".bgrx")
        source = open(source_path, "wb")
    raw = open(a.input, "rb") if a.input else None
    frame_bytes = width * height * 4
    total_bytes, encode_time, count = 0, 0.0, 0
    started = time.time()
    try:
        with open(a.output, "wb") as out:
            for i in range(a.frames):
                if raw:
                    pixels = raw.read(frame_bytes)
                    if len(pixels) < frame_bytes:
                        break
                else:
                    pixels = desktop_frame(width, height, i)
                t0 = time.time()
                data, options = e.compress_image(Image(width, height, pixels, timestamp=i * 33), a.quality,
                                                  a.speed)
                encode_time += time.time() - t0
                out.write(data)
                total_bytes += len(data)
                count += 1
                if source:
                    source.write(pixels)
                tool_cli.progress(count, a.frames, count / max(1e-9, time.time() - started))
    finally:
        tool_cli.progress_done()
        e.clean()
        if source:
            source.close()
    elapsed = time.time() - started
    seconds = count / 30.0
    print("frames: %d, size: %d bytes, bitrate at 30 fps: %.0f kbit/s" % (
        count, total_bytes, total_bytes * 8 / max(1e-9, seconds) / 1000))
    print("encode alone: %.1f fps (%.2f ms/frame); with making the pictures: %.1f fps" % (
        count / max(1e-9, encode_time), 1000 * encode_time / max(1, count), count / max(1e-9, elapsed)))
    if source_path:
        if width % 32 or height % 32:
            print("PSNR: skipped (the encoded size is rounded up to a multiple of 32)")
        else:
            print("PSNR: %.2f dB" % psnr(a.output, source_path, width, height))
        os.remove(source_path)
    print("output: %s (play it with: ffplay -f h264 %s)" % (a.output, a.output))


if __name__ == "__main__":
    main()
