"""Pictures to encode: the host-like image object, and synthetic BGRX pictures."""

import binascii
import random


class Image(object):
    """A host-like image object over BGRX pixels: it answers the image methods through the host's
    ImageWrapper without being one, as a host's own image class would. Tests replace single methods on it
    (`image.get_width = ...`) or subclass it; `wrapper` is the ImageWrapper behind it."""

    def __init__(self, width, height, pixels, stride=None, timestamp=0):
        from tevu.codecs.image_wrapper import ImageWrapper
        self.wrapper = ImageWrapper(width, height, pixels, stride or width * 4, timestamp)

    def __getattr__(self, name):
        return getattr(self.wrapper, name)


def desktop_frame(width, height, index):
    """Picture `index` of a desktop-like sequence: a gradient desktop with a fixed window of text that
    scrolls and a second window that moves; BGRX bytes."""
    row = bytearray()
    for x in range(width):
        row += bytearray((90 + x * 60 // width, 60 + x * 40 // width, 40, 0))
    picture = bytearray(row * height)

    def fill(x0, y0, w, h, bgrx):
        x0, y0 = max(0, x0), max(0, y0)
        w, h = min(w, width - x0), min(h, height - y0)
        if w <= 0 or h <= 0:
            return
        line = bytearray(bgrx) * w
        for y in range(y0, y0 + h):
            picture[(y * width + x0) * 4:(y * width + x0 + w) * 4] = line

    def window(x0, y0, w, h, scroll):
        fill(x0, y0, w, h, (235, 235, 235, 0))
        fill(x0, y0, w, 14, (160, 90, 40, 0))
        for line in range(max(0, (h - 20) // 8)):
            y, seed, x = y0 + 20 + line * 8, line + scroll, x0 + 6
            while x < x0 + w - 12:
                word = 4 + (seed * 7 + x) % 9
                fill(x, y, min(word, x0 + w - 6 - x), 4, (30, 30, 30, 0))
                x += word + 4
                seed += 3

    window(width // 10, height // 8, width // 2, height // 2, index)
    span = max(1, width // 3)
    window(width // 3 + (index * 8) % span, height // 3, width // 2, height // 2, 0)
    return bytes(picture)


# Grain of a video panel: a mid grey with a little noise (0 to 15 above it) in every byte.
_GRAIN = bytes(bytearray(96 + (b & 15) for b in range(256)))


def busy_desktop_frame(width, height, index):
    """desktop_frame with a video panel in its lower right quarter whose fine grain changes with every
    picture: content whose bitrate follows the quantiser over a wide range, as moving video on a desktop
    does; BGRX bytes."""
    picture = bytearray(desktop_frame(width, height, index))
    rng = random.Random(index)
    panel_width, panel_height = width // 2, height // 2
    for y in range(height - panel_height, height):
        start = (y * width + width - panel_width) * 4
        picture[start:start + panel_width * 4] = noise(rng, panel_width * 4).translate(_GRAIN)
    return bytes(picture)


def noise(rng, size):
    """`size` random bytes from a random.Random, the same for the same generator state: pictures no
    encoder can compress."""
    return binascii.unhexlify("%0*x" % (2 * size, rng.getrandbits(8 * size)))
