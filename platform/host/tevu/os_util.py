"""Operating-system and buffer helpers of the host."""

from __future__ import absolute_import


def _memoryview(data):
    """A read-only memory view over pixel data.

    Text (``str``) is viewed directly; writable objects that expose the buffer interface (``bytearray``,
    ``array.array``, ctypes arrays, mmap objects) are viewed through a read-only ``buffer``, without a
    copy. A writable memory view, which ``buffer`` cannot wrap, is copied.
    """
    if data is None:
        raise TypeError("no pixel data to view")
    if isinstance(data, memoryview):
        if data.readonly:
            return data
        return memoryview(data.tobytes())
    if isinstance(data, str):
        return memoryview(data)
    try:
        return memoryview(buffer(data))
    except TypeError:
        raise TypeError("cannot view pixel data of type %s" % type(data).__name__)
