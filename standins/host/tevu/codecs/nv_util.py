"""The NVIDIA kernel driver version and the verdict on whether it works with the hardware encoder."""

from __future__ import absolute_import

import os
import re
import threading

from tevu.log import Logger

log = Logger("encoder", "nvenc")

# Where the kernel module reports its version; tests point this elsewhere.
NVIDIA_VERSION_FILE = "/proc/driver/nvidia/version"
# Overrides the probe with a version such as "346.59" (an empty value counts as unset).
VERSION_OVERRIDE_ENV = "TEVU_NV_DRIVER_VERSION"

# Verdict thresholds on the major version: older than this is known to fail...
BLACKLIST_BELOW = 340
# ... and up to and including this one is known to work; newer ones are untested.
KNOWN_GOOD_UP_TO = 350

_VERSION_TEXT = re.compile(r"^\s*(\d+(?:\.\d+)*)\s*$")
_MODULE_LINE = re.compile(r"Kernel Module\s+(\d+(?:\.\d+)*)(?![\w.])")
_ANY_VERSION = re.compile(r"(?<![\w.])(\d+\.\d+(?:\.\d+)*)(?![\w.])")

_lock = threading.Lock()
_cached_file_version = None
_file_probed = False


def parse_version(text):
    """[346, 59] for "346.59"; None when the text is not a dotted version."""
    match = _VERSION_TEXT.match(text or "")
    if not match:
        return None
    return [int(part) for part in match.group(1).split(".")]


def parse_version_file(content):
    """The module version from the text of the driver's version file, or None.

    The file starts with a line such as
    "NVRM version: NVIDIA UNIX x86_64 Kernel Module  346.59  Tue Mar 31 14:10:31 PDT 2015".
    """
    for line in content.splitlines():
        if not line.startswith("NVRM version:"):
            continue
        match = _MODULE_LINE.search(line) or _ANY_VERSION.search(line)
        if match:
            return parse_version(match.group(1))
    return None


def _read_version_file(path):
    try:
        with open(path, "r") as f:
            content = f.read()
    except (IOError, OSError) as e:
        log("cannot read the NVIDIA driver version from %s: %s", path, e)
        return None
    version = parse_version_file(content)
    if version is None:
        log.warn("Warning: no NVIDIA kernel module version found in %s", path)
    return version


def get_nvidia_module_version(probe=False):
    """The kernel driver version as a list of integers ([346, 59]), or None when unknown.

    ``TEVU_NV_DRIVER_VERSION``, when set and not empty, decides (an unparsable value means unknown).
    Otherwise the version file is read once and remembered; ``probe`` True reads it again.
    """
    global _cached_file_version, _file_probed
    override = os.environ.get(VERSION_OVERRIDE_ENV, "")
    if override.strip():
        version = parse_version(override)
        if version is None:
            log.warn("Warning: invalid %s value %r, the driver version is unknown",
                     VERSION_OVERRIDE_ENV, override)
        return version
    with _lock:
        if probe or not _file_probed:
            _cached_file_version = _read_version_file(NVIDIA_VERSION_FILE)
            _file_probed = True
            if _cached_file_version:
                log("NVIDIA kernel module version %s", ".".join(str(v) for v in _cached_file_version))
        version = _cached_file_version
    return list(version) if version else None


def verdict_for(version):
    """True (known bad), False (known good) or None (unknown) for a driver version."""
    if not version:
        return None
    major = version[0]
    if major < BLACKLIST_BELOW:
        return True
    if major <= KNOWN_GOOD_UP_TO:
        return False
    return None


def is_blacklisted():
    """The verdict on the installed driver: True (known bad), False (known good) or None (unknown)."""
    version = get_nvidia_module_version()
    verdict = verdict_for(version)
    log("NVIDIA driver version %s: blacklisted=%s", version, verdict)
    return verdict


def reset_cache():
    """Forget the version read from the version file (the next call reads it again)."""
    global _cached_file_version, _file_probed
    with _lock:
        _cached_file_version = None
        _file_probed = False
