"""The driver series that tools/fetch-nvidia-userspace unpacked for the matrix (TEVU_REAL_DRIVER_MATRIX):
each series' folder of sonames, which of them could be had, and the suites' entry point that skips (status
77) when none could. TEVU_REAL_DRIVER_SERIES (set by ctest) lists the matrix's series; a suite whose table
names others fails."""

import os
import sys
import unittest

MATRIX = os.environ.get("TEVU_REAL_DRIVER_MATRIX", "")
SERIES = os.environ.get("TEVU_REAL_DRIVER_SERIES", "").split()
SKIP_STATUS = 77


def sonames(series):
    """The folder holding the series' libcuda.so.1 and libnvidia-encode.so.1."""
    return os.path.join(MATRIX, series, "sonames")


def available(series_list):
    """Those of the series that were fetched, in order."""
    return sorted(s for s in series_list if os.path.exists(os.path.join(sonames(s), "libnvidia-encode.so.1")))


def main(series_list):
    """Runs the suite, or exits with the skip status when no series could be had."""
    if SERIES and sorted(SERIES) != sorted(series_list):
        print("real_driver: the matrix's series are %s, this suite's table has %s"
              % (" ".join(sorted(SERIES)), " ".join(sorted(series_list))))
        sys.exit(1)
    found = available(series_list)
    if not found:
        print("real_driver: skipped: no driver series in %s" % (MATRIX or "(TEVU_REAL_DRIVER_MATRIX unset)"))
        sys.exit(SKIP_STATUS)
    print("real_driver: series %s" % ", ".join(found))
    unittest.main(module="__main__")
