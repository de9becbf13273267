"""Platform facts that the host reports in its configuration and information dictionaries."""

from __future__ import absolute_import

import platform as python_platform
import sys

__all__ = ["python_platform", "get_platform_info"]


def get_platform_info():
    """The operating system name, kernel release and machine type of the running host."""
    uname = python_platform.uname()
    return {
        "platform": sys.platform,
        "system": uname[0],
        "release": uname[2],
        "machine": uname[4],
    }
