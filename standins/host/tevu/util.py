"""Small helpers shared by the host and the codec modules: a thread-safe counter and text formatting."""

from __future__ import absolute_import

import threading

try:
    _INTEGER_TYPES = (int, long)
except NameError:  # Python 3: one integer type
    _INTEGER_TYPES = (int,)


class AtomicInteger(object):
    """An integer counter that several threads may change at once.

    ``increase`` and ``decrease`` return the new value. The text form is the value itself, so the
    counter can be logged directly with ``%s``.
    """

    def __init__(self, integer=0):
        self._value = int(integer)
        self._lock = threading.Lock()

    def increase(self, inc=1):
        with self._lock:
            self._value += inc
            return self._value

    def decrease(self, dec=1):
        with self._lock:
            self._value -= dec
            return self._value

    def get(self):
        with self._lock:
            return self._value

    def set(self, value):
        with self._lock:
            self._value = int(value)

    def __int__(self):
        return self.get()

    __long__ = __int__
    __index__ = __int__

    def __str__(self):
        return str(self.get())

    __repr__ = __str__


def _count_of(value):
    """The number a plural suffix is chosen for: a counter's value, a collection's length or a number."""
    if isinstance(value, AtomicInteger):
        return value.get()
    if isinstance(value, (list, tuple, dict, set, frozenset)):
        return len(value)
    return value


def engs(value):
    """Plural suffix for a count, a counter or a collection: "s" unless there is exactly one."""
    return "" if _count_of(value) == 1 else "s"


def csv(values):
    """Comma-separated text of the items of a sequence (or of any iterable, such as dictionary keys)."""
    if values is None:
        return ""
    if isinstance(values, (str, bytes)):
        return values
    try:
        items = list(values)
    except TypeError:
        return str(values)
    return ", ".join(str(item) for item in items)


def pver(version, numsep=".", strsep=", "):
    """Printable text of a version.

    A sequence of numbers is joined with dots ([346, 59] gives "346.59"); a sequence containing text is
    joined with commas; text is returned as it is. An unknown version (None or empty) prints as
    "unknown".
    """
    if version is None:
        return "unknown"
    if isinstance(version, (str, bytes)):
        return version if version else "unknown"
    if isinstance(version, (list, tuple)):
        if not version:
            return "unknown"
        if all(isinstance(item, _INTEGER_TYPES) for item in version):
            return numsep.join(str(item) for item in version)
        return strsep.join(str(item) for item in version)
    return str(version)


def updict(todict, prefix, d, suffix=None):
    """Copy the items of ``d`` into ``todict`` under ``prefix`` (keys become "prefix.key").

    ``d`` may be None, which copies nothing. An empty prefix copies the keys unchanged; a suffix, when
    given, is appended the same way ("prefix.key.suffix"). Returns ``todict``.
    """
    if not d:
        return todict
    for key, value in d.items():
        parts = [str(key)]
        if prefix:
            parts.insert(0, str(prefix))
        if suffix:
            parts.append(str(suffix))
        todict[".".join(parts)] = value
    return todict
