"""Program context of the host application.

``init(prgname, appname)`` names the running program and the application before a tool does its work;
``clean()`` ends that context again. Only one context is active at a time: a second ``init`` replaces the
names, and ``clean`` without an active context does nothing.
"""

import threading

try:
    _STRING_TYPES = basestring
except NameError:  # Python 3: str only
    _STRING_TYPES = str

_lock = threading.Lock()
_context = {"prgname": None, "appname": None}


def _check_name(kind, value):
    if not isinstance(value, _STRING_TYPES):
        raise TypeError("%s must be a string, not %s" % (kind, type(value).__name__))
    if not value:
        raise ValueError("%s must not be empty" % kind)


def init(prgname, appname):
    _check_name("program name", prgname)
    _check_name("application name", appname)
    with _lock:
        _context["prgname"] = prgname
        _context["appname"] = appname


def clean():
    with _lock:
        _context["prgname"] = None
        _context["appname"] = None


def get_prgname():
    """The program name given to init(), None outside a context."""
    with _lock:
        return _context["prgname"]


def get_application_name():
    """The application name given to init(), None outside a context."""
    with _lock:
        return _context["appname"]
