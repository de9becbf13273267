"""Images as the host hands them to codecs: dimensions, row stride, plane layout and pixel data."""

from __future__ import absolute_import

import numbers


class ImageWrapper(object):
    """One picture of ``width`` x ``height`` pixels whose rows are ``rowstride`` bytes apart.

    ``planes`` is the layout of the pixel data: ``PACKED`` for one interleaved plane (BGRX and the like),
    or the number of separate planes. ``timestamp`` is the capture time in milliseconds. Pixel data may be
    any object exposing the buffer interface; after ``free()`` it is gone and ``get_pixels()`` returns
    None.
    """

    PACKED = 0
    PLANAR_2 = 2
    PLANAR_3 = 3
    PLANAR_4 = 4
    PLANE_OPTIONS = (PACKED, PLANAR_2, PLANAR_3, PLANAR_4)
    PLANE_NAMES = {PACKED: "PACKED", PLANAR_2: "2_PLANES", PLANAR_3: "3_PLANES", PLANAR_4: "4_PLANES"}

    def __init__(self, width, height, pixels, rowstride, timestamp=0, planes=PACKED,
                 pixel_format="BGRX", bytesperpixel=4, x=0, y=0):
        for name, value in (("width", width), ("height", height), ("rowstride", rowstride),
                            ("bytesperpixel", bytesperpixel), ("x", x), ("y", y)):
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError("image %s must be an integer, not %r" % (name, value))
            if value < 0:
                raise ValueError("image %s must not be negative: %s" % (name, value))
        if isinstance(timestamp, bool) or not isinstance(timestamp, numbers.Integral):
            raise TypeError("image timestamp must be an integer, not %r" % (timestamp,))
        self.width = int(width)
        self.height = int(height)
        self.pixels = pixels
        self.rowstride = int(rowstride)
        self.timestamp = int(timestamp)
        self.planes = planes
        self.pixel_format = pixel_format
        self.bytesperpixel = int(bytesperpixel)
        self.x = int(x)
        self.y = int(y)

    def get_width(self):
        return self.width

    def get_height(self):
        return self.height

    def get_rowstride(self):
        return self.rowstride

    def get_pixels(self):
        return self.pixels

    def get_planes(self):
        return self.planes

    def get_timestamp(self):
        return self.timestamp

    def get_pixel_format(self):
        return self.pixel_format

    def get_bytesperpixel(self):
        return self.bytesperpixel

    def get_geometry(self):
        return self.x, self.y, self.width, self.height

    def get_size(self):
        """Bytes that the rows of one packed plane span."""
        return self.rowstride * self.height

    def is_freed(self):
        return self.pixels is None

    def set_pixels(self, pixels):
        self.pixels = pixels

    def set_timestamp(self, timestamp):
        self.timestamp = int(timestamp)

    def free(self):
        self.pixels = None

    def __repr__(self):
        planes = self.PLANE_NAMES.get(self.planes, self.planes)
        return "ImageWrapper(%s:%s:%ix%i)" % (self.pixel_format, planes, self.width, self.height)
