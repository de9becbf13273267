"""gpu-check against each driver series of the matrix (NVIDIA's real user-space libraries from Debian's
packages, without a GPU): what each library says of its newest API, which modules' function lists it makes,
and that a library older than a module's API makes that module a skip, not a failure. Exits with status 77
(a skip) when no series could be had."""

import re
import unittest

from tevu_testsupport.driver_matrix import available, main, sonames
from tevu_testsupport.nvenc import GPU_CHECK
from tevu_testsupport.processes import run

WORDS = {"12.0": "0x7002000c", "5.0": "0x500209f8", "4.0": "0x400209f8"}

# series -> (the newest API the library tells, or None; the module APIs whose function list it makes)
EXPECTED = {
    "340": (None, ["4.0"]),
    "390": ("8.1", ["5.0", "4.0"]),  # not reached: see DRIVER_FAILS
    "418": ("9.0", ["12.0", "5.0", "4.0"]),
    "470": ("11.1", ["12.0", "5.0", "4.0"]),
    "535": ("12.1", ["12.0", "5.0", "4.0"]),
    "550": ("12.2", ["12.0", "5.0", "4.0"]),
    "555": ("12.2", ["12.0", "5.0", "4.0"]),
}

# Series whose CUDA library fails its initialisation without the kernel's driver (where the others report no
# device): the check ends in step 1 with this failure.
DRIVER_FAILS = {"390": "cuInit failed: unknown error"}


if not hasattr(unittest.TestCase, "assertRegex"):  # Python 2.7's name of it
    unittest.TestCase.assertRegex = unittest.TestCase.assertRegexpMatches


class GpuCheckOnEachDriver(unittest.TestCase):
    def test_each_series(self):
        for series in available(EXPECTED):
            newest, made = EXPECTED[series]
            rc, out, err = run([GPU_CHECK], {"LD_LIBRARY_PATH": sonames(series), "TEVU_GPU_CHECK_CUDA_LIBRARY": None,
                                             "TEVU_GPU_CHECK_NVENC_LIBRARY": None, "TEVU_NV_DRIVER_VERSION": None})
            if series in DRIVER_FAILS:
                self.assertEqual(rc, 1, (series, out, err))
                self.assertRegex(out, r"^FAIL 1 driver: .*: %s\ngpu-check: 1 check\(s\) failed\n$"
                                 % re.escape(DRIVER_FAILS[series]))
                continue
            self.assertEqual(rc, 0, (series, out, err))
            lines = [l for l in out.splitlines() if l.startswith(("ok   3", "skip 3", "FAIL 3", "info 3"))]
            told = ("info 3 nvenc: newest API the library speaks: %s" % newest if newest else
                    "info 3 nvenc: the library does not tell its newest API (no NvEncodeAPIGetMaxSupportedVersion)")
            expected = [told]
            for api in ("12.0", "5.0", "4.0"):
                if api in made:
                    expected.append("ok   3 nvenc: API %s: function list made (version word %s)" % (api, WORDS[api]))
                else:
                    expected.append("skip 3 nvenc: API %s: NvEncodeAPICreateInstance returned 15: This indicates "
                                    "that an invalid struct version was used by the client. (the library is older "
                                    "than this API): the module of API %s needs a newer driver" % (api, api))
            self.assertEqual(lines[1:], expected, (series, out))
            self.assertIn("skip 4 encode: no device to encode on", out, series)
            self.assertTrue(out.endswith("gpu-check: everything that could run passed\n"), (series, out))


if __name__ == "__main__":
    main(EXPECTED)
