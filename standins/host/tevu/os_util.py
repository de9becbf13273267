"""Operating-system and buffer helpers of the host."""

from __future__ import absolute_import


try:
    _read_only_buffer = buffer
except NameError:  # Python 3
    _read_only_buffer = None


def _memoryview(data):
    """A read-only memory view over pixel data.

    Byte strings (``str`` in Python 2, ``bytes`` in Python 3) are viewed directly; writable objects that
    expose the buffer interface (``bytearray``, ``array.array``, ctypes arrays, mmap objects) are viewed
    read-only as bytes without a copy (through ``buffer`` in Python 2, a cast in Python 3). In Python 2 a
    writable memory view, which ``buffer`` cannot wrap, is copied. Text is not pixel data in Python 3.
    """
    if data is None:
        raise TypeError("no pixel data to view")
    if isinstance(data, memoryview):
        if data.readonly:
            return data
        if _read_only_buffer is None:
            return data.cast("B").toreadonly()
        return memoryview(data.tobytes())
    if isinstance(data, bytes):
        return memoryview(data)
    try:
        if _read_only_buffer is None:
            return memoryview(data).cast("B").toreadonly()
        return memoryview(_read_only_buffer(data))
    except TypeError:
        raise TypeError("cannot view pixel data of type %s" % type(data).__name__)
