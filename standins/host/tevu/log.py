"""Category loggers of the host application.

``Logger("encoder", "nvenc")`` gives a logger whose call logs at debug level; ``info``, ``warn`` and
``error`` log at higher levels. Messages are %-formats with separate arguments. Debug output is off until
``enable_debug()``; ``is_debug_enabled()`` tells whether a debug line would be kept, so that a caller can
skip making one. Tests use ``capture()`` to collect the formatted lines.
"""

import logging
import sys
import threading

_root = logging.getLogger("tevu")
if not _root.handlers:
    _handler = logging.StreamHandler(sys.stderr)
    _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s"))
    _root.addHandler(_handler)
    _root.setLevel(logging.INFO)
    _root.propagate = False

_capture_lock = threading.Lock()
_captures = []


class Record(object):
    """One captured log line."""

    def __init__(self, level, categories, message, exc_info):
        self.level = level
        self.categories = categories
        self.message = message
        self.exc_info = exc_info

    def __repr__(self):
        return "Record(%r, %r)" % (self.level, self.message)


class capture(object):
    """Context manager collecting every line logged (debug included) while it is active."""

    def __init__(self):
        self.records = []

    def __enter__(self):
        with _capture_lock:
            _captures.append(self.records)
        return self.records

    def __exit__(self, *exc):
        with _capture_lock:
            _captures.remove(self.records)
        return False

    @staticmethod
    def messages(records, level=None):
        return [r.message for r in records if level is None or r.level == level]


def _format(fmt, args):
    if args:
        try:
            return fmt % args
        except (TypeError, ValueError):
            return "%s %s" % (fmt, args)
    return "%s" % (fmt,)


class Logger(object):
    def __init__(self, *categories):
        self.categories = tuple(categories)
        self.debug_enabled = False
        self.logger = logging.getLogger("tevu." + ".".join(categories) if categories else "tevu")

    def enable_debug(self):
        self.debug_enabled = True

    def is_debug_enabled(self):
        """True when a debug line is kept: debug output is on, or a capture is active."""
        return self._keeps_debug()

    def _keeps_debug(self):
        return self.debug_enabled or bool(_captures)

    def _log(self, level, fmt, args, kwargs):
        # Disabled debug lines are the common case on per-frame paths: skip the formatting entirely
        # unless a test is capturing.
        if level == "debug" and not self._keeps_debug():
            return
        exc_info = bool(kwargs.get("exc_info", False))
        message = _format(fmt, args)
        with _capture_lock:
            sinks = list(_captures)
        for sink in sinks:
            sink.append(Record(level, self.categories, message, exc_info and sys.exc_info() or None))
        if level == "debug" and not self.debug_enabled:
            return
        pylevel = {"debug": logging.INFO, "info": logging.INFO, "warn": logging.WARNING,
                   "error": logging.ERROR}[level]
        self.logger.log(pylevel, "%s", message, exc_info=exc_info)

    def __call__(self, fmt, *args, **kwargs):
        self._log("debug", fmt, args, kwargs)

    def debug(self, fmt, *args, **kwargs):
        self._log("debug", fmt, args, kwargs)

    def info(self, fmt, *args, **kwargs):
        self._log("info", fmt, args, kwargs)

    def warn(self, fmt, *args, **kwargs):
        self._log("warn", fmt, args, kwargs)

    warning = warn

    def error(self, fmt, *args, **kwargs):
        self._log("error", fmt, args, kwargs)
