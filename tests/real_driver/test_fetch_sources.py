"""The private sources list of tools/fetch-nvidia-userspace, made from one-line and deb822 sources files."""

import os
import shutil
import tempfile
import unittest

from tevu_testsupport.processes import run

FETCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "fetch-nvidia-userspace")
KEY = "/usr/share/keyrings/debian-archive-keyring.gpg"

DEB822 = """Types: deb
# a comment inside the paragraph
URIs: http://deb.debian.org/debian http://mirror.example.org/debian/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: %s

Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Enabled: no

Types: deb deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main non-free
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb
URIs: https://deb.nodesource.com/node_20.x
Suites: bookworm
Components: main
""" % KEY

ONE_LINE = """# the release's archive, already listed above, and others
deb [arch=amd64 signed-by=%s] http://deb.debian.org/debian bookworm main contrib
deb http://deb.debian.org/debian bookworm main contrib
deb-src http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian trixie main
deb https://packages.cloud.google.com/apt cloud-sdk-bookworm main
deb http://deb.debian.org/debian bookworm-proposed-updates main non-free non-free-firmware
""" % KEY


class PrivateSources(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def sources(self, files, codename="bookworm", suite=None):
        paths = []
        for name, text in files:
            paths.append(os.path.join(self.dir, name))
            with open(paths[-1], "w") as f:
                f.write(text)
        # a shell script: a sanitizer build's runtime is for the interpreter alone
        rc, out, err = run([FETCH, "--sources", codename] + (["--suite", suite] if suite else []) + paths +
                           [os.path.join(self.dir, "missing.list")], {"LD_PRELOAD": None})
        self.assertEqual((rc, err), (0, ""))
        return out.splitlines()

    def test_debian_entries_of_the_release_with_non_free(self):
        self.assertEqual(self.sources([("debian.sources", DEB822), ("extra.list", ONE_LINE)]), [
            "deb [signed-by=%s] http://deb.debian.org/debian bookworm main contrib non-free" % KEY,
            "deb [signed-by=%s] http://deb.debian.org/debian bookworm-updates main contrib non-free" % KEY,
            "deb [signed-by=%s] http://mirror.example.org/debian/ bookworm main contrib non-free" % KEY,
            "deb [signed-by=%s] http://mirror.example.org/debian/ bookworm-updates main contrib non-free" % KEY,
            "deb http://deb.debian.org/debian-security bookworm-security main non-free",
            "deb [arch=amd64 signed-by=%s] http://deb.debian.org/debian bookworm main contrib non-free" % KEY,
            "deb http://deb.debian.org/debian bookworm main contrib non-free",
            "deb http://deb.debian.org/debian bookworm-proposed-updates main non-free non-free-firmware",
        ])

    def test_other_release_or_none(self):
        self.assertEqual(self.sources([("extra.list", ONE_LINE)], codename="trixie"),
                         ["deb http://deb.debian.org/debian trixie main non-free"])
        self.assertEqual(self.sources([("debian.sources", DEB822)], codename="sid"), [])

    def test_another_suite_takes_the_release_archive_entries_alone(self):
        # A driver series of another suite: the release's own archive entries with the suite in place of
        # the release; its -updates, -security and other suites are left out.
        files = [("debian.sources", DEB822), ("extra.list", ONE_LINE)]
        self.assertEqual(self.sources(files, suite="sid"), [
            "deb [signed-by=%s] http://deb.debian.org/debian sid main contrib non-free" % KEY,
            "deb [signed-by=%s] http://mirror.example.org/debian/ sid main contrib non-free" % KEY,
            "deb [arch=amd64 signed-by=%s] http://deb.debian.org/debian sid main contrib non-free" % KEY,
            "deb http://deb.debian.org/debian sid main contrib non-free",
        ])
        self.assertEqual(self.sources(files, suite="bookworm"), self.sources(files))
        self.assertEqual(self.sources([("debian.sources", DEB822)], codename="sid", suite="trixie"), [])


if __name__ == "__main__":
    unittest.main()
