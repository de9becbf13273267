"""A host script using the encoder module: encodes moving colour bars to an H.264 file.

    python encode_h264.py OUTPUT.h264 [WIDTH HEIGHT FRAMES]

Runs under Python 2.7 and 3 wherever the host package `tevu` and the modules are importable (for an
install: the prefix's package folder on PYTHONPATH, the NVIDIA driver or the stand-ins on
LD_LIBRARY_PATH). Play the result with: ffplay -f h264 OUTPUT.h264
"""

from __future__ import print_function

import sys

from tevu.codecs.image_wrapper import ImageWrapper
from tevu.codecs.nvenc5 import encoder


def bars(width, height, index):
    """BGRX pixels of one frame: eight vertical colour bars moving one column to the right per frame."""
    colours = [bytearray((b, g, r, 0)) for b, g, r in ((235, 235, 235), (16, 235, 235), (235, 235, 16),
                                                       (16, 235, 16), (235, 16, 235), (16, 16, 235),
                                                       (235, 16, 16), (16, 16, 16))]
    row = bytearray()
    for x in range(width):
        row += colours[((x - index) % width) * 8 // width]
    return bytes(row) * height


def main(argv):
    output = argv[1]
    width, height, frames = [int(v) for v in argv[2:5]] if len(argv) >= 5 else (640, 480, 30)
    encoder.init_module()  # once per process: driver check, libraries, capabilities
    e = encoder.Encoder()
    # width, height, input colourspace, accepted output colourspaces, encoding, quality, speed, scaling
    e.init_context(width, height, "BGRX", ["YUV420P"], "h264", 60, 50, (1, 1), {})
    try:
        with open(output, "wb") as out:
            for i in range(frames):
                image = ImageWrapper(width, height, bars(width, height, i), width * 4, timestamp=i * 40)
                # the quality and speed on every call: left out, they would be -1, stored as the new values
                data, client_options = e.compress_image(image, quality=60, speed=50)
                out.write(data)
        print("%s: %d frames, %s" % (output, frames, repr(e)))
    finally:
        e.clean()  # releases the session at once rather than when the object goes
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
