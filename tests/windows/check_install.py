"""Installs a Windows build (cmake --install) into temporary prefixes and checks what lands where:
    python3 check_install.py BUILD-DIR TRIPLET
- by default and with --component modules: the extension modules, stripped, and the driver query
  package's Python files under Lib/site-packages, and nothing else (no stand-in DLL: beside a program or
  on PATH one would hide the driver's own);
- with --component standins: the three stand-in DLLs in lib/tevu/standins alone (no import libraries), and
  the host stand-in package with its kernels under Lib/site-packages.
Prints "ok CASE: ..." or "FAIL CASE: ..." per case; exit status 1 when any failed."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

SITE = "Lib/site-packages"
PACKAGE_FILES = ["tevu/codecs/drvquery/__init__.py", "tevu/codecs/drvquery/__main__.py"]
STANDINS = "lib/tevu/standins"


def installed(build, component, objdump):
    prefix = tempfile.mkdtemp(prefix="tevu-windows-install-")
    try:
        command = ["cmake", "--install", build, "--prefix", prefix] + (["--component", component] if component else [])
        run = subprocess.run(command, capture_output=True, text=True)
        if run.returncode != 0:
            return None, run.stdout + run.stderr, {}
        files = {}
        for folder, _, names in os.walk(prefix):
            for name in names:
                path = os.path.join(folder, name)
                files[os.path.relpath(path, prefix).replace(os.sep, "/")] = section_names(objdump, path)
        return sorted(files), "", files
    finally:
        shutil.rmtree(prefix)


def section_names(objdump, path):
    """The section names of a PE file (None for other files)."""
    if not path.endswith((".pyd", ".dll")):
        return None
    text = subprocess.run([objdump, "-h", path], capture_output=True, text=True).stdout
    return {line.split()[1] for line in text.splitlines() if line.strip()[:1].isdigit()}


def built_modules(build):
    python = os.path.join(build, "python")
    return sorted(os.path.relpath(p, python).replace(os.sep, "/")
                  for p in glob.glob(os.path.join(python, "**", "*.pyd"), recursive=True))


def check_modules(build, component, objdump):
    files, error, sections = installed(build, component, objdump)
    if files is None:
        return "install failed: " + error.strip()[-300:]
    expected = sorted(SITE + "/" + f for f in built_modules(build) + PACKAGE_FILES)
    if files != expected:
        return "installed %s, expected %s" % (sorted(set(files) - set(expected)) or "nothing more",
                                             sorted(set(expected) - set(files)) or "nothing less")
    unstripped = [f for f in files if sections[f] and any(s.startswith(".debug") for s in sections[f])]
    if unstripped:
        return "not stripped: %s" % ", ".join(unstripped)
    return None


def check_standins(build, bits, objdump):
    files, error, _ = installed(build, "standins", objdump)
    if files is None:
        return "install failed: " + error.strip()[-300:]
    nvenc = "nvEncodeAPI64.dll" if bits == 64 else "nvencodeapi.dll"
    libraries = sorted(f for f in files if not f.startswith(SITE + "/"))
    expected = sorted(STANDINS + "/" + name for name in ("nvcuda.dll", nvenc, "nvapi.dll"))
    if libraries != expected:
        return "outside the package folder: %s, expected %s" % (libraries, expected)
    for needed in ("tevu/__init__.py", "tevu/platform.py", "tevu/codecs/cuda_common/kernels.ptx"):
        if SITE + "/" + needed not in files:
            return "no %s/%s" % (SITE, needed)
    return None


def main():
    build, triplet = sys.argv[1], sys.argv[2]
    objdump = triplet + "-objdump"
    bits = 64 if triplet.startswith("x86_64") else 32
    failed = 0
    for case, problem in [("install", check_modules(build, None, objdump)),
                          ("install --component modules", check_modules(build, "modules", objdump)),
                          ("install --component standins", check_standins(build, bits, objdump))]:
        if problem:
            failed += 1
            print("FAIL %s: %s" % (case, problem))
        else:
            print("ok %s" % case)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
