"""Checks the DLLs and modules of a Windows build the way Windows' loader sees them (their export and
import tables, read with the target's objdump): what a 32-bit build cannot show by running here.
    python3 check_binaries.py BUILD-DIR TRIPLET
- the stand-ins export the driver's entry points under their plain names (a 32-bit __stdcall export
  left decorated, cuInit@4, would not be found by GetProcAddress("cuInit"));
- each extension module that was built exports its interpreter's init function and nothing else, and
  imports that interpreter's DLL;
- every file imports only Windows' own DLLs besides (the C and C++ runtimes are linked in).
Prints "ok FILE: ..." or "FAIL FILE: ..." per file; exit status 1 when any failed."""

import glob
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "shell32.dll"}


def tables(objdump, path):
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    imports = {m.lower() for m in re.findall(r"^\s*DLL Name: (\S+)", text, re.M)}
    exports = set()
    if "[Ordinal/Name Pointer] Table" in text:
        table = text.split("[Ordinal/Name Pointer] Table", 1)[1]
        for line in table.splitlines()[1:]:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            exports.add(m.group(1))
    return imports, exports


def expectations(build, bits):
    nvenc = "nvEncodeAPI64.dll" if bits == 64 else "nvencodeapi.dll"
    yield (os.path.join(build, "platform", "nvcuda.dll"),
           {"cuInit", "cuCtxGetCurrent", "cuCtxPushCurrent_v2", "cuMemcpyDtoH_v2", "cuLaunchKernel"}, None, set())
    yield (os.path.join(build, "platform", nvenc),
           {"NvEncodeAPICreateInstance", "NvEncodeAPIGetMaxSupportedVersion"}, None, set())
    yield os.path.join(build, "platform", "nvapi.dll"), {"nvapi_QueryInterface"}, {"nvapi_QueryInterface"}, set()
    for module in sorted(glob.glob(os.path.join(build, "python", "**", "*.pyd"), recursive=True)):
        name = os.path.basename(module).split(".")[0]
        m = re.search(r"\.cp(\d)(\d+)-win", module)
        if m:
            init, dll = "PyInit_" + name, "python%s%s.dll" % m.groups()
        else:
            init, dll = "init" + name, "python27.dll"
        yield module, {init}, {init}, {dll}


def main():
    build, triplet = sys.argv[1], sys.argv[2]
    objdump = triplet + "-objdump"
    bits = 64 if triplet.startswith("x86_64") else 32
    failed = 0
    for path, needed, only, needed_imports in expectations(build, bits):
        shown = os.path.relpath(path, build)
        if not os.path.exists(path):
            print("FAIL %s: not built" % shown)
            failed += 1
            continue
        imports, exports = tables(objdump, path)
        problems = []
        if needed - exports:
            decorated = sorted(e for e in exports if "@" in e)
            problems.append("does not export %s%s" % (", ".join(sorted(needed - exports)),
                                                      " (exports %s)" % ", ".join(decorated[:3]) if decorated else ""))
        if only is not None and exports != only:
            problems.append("exports %s besides" % ", ".join(sorted(exports - only)))
        if needed_imports - imports:
            problems.append("does not import %s" % ", ".join(sorted(needed_imports - imports)))
        foreign = imports - SYSTEM_DLLS - needed_imports
        if foreign:
            problems.append("needs %s" % ", ".join(sorted(foreign)))
        if problems:
            failed += 1
            print("FAIL %s: %s" % (shown, "; ".join(problems)))
        else:
            print("ok %s: exports %s; imports %s" % (shown, ", ".join(sorted(needed)), ", ".join(sorted(imports))))
    # The API-12.0 module is built for 64-bit targets only, for each interpreter there.
    twelve = glob.glob(os.path.join(build, "python", "tevu", "codecs", "nvenc12", "*.pyd"))
    if bits == 64 and len(twelve) < 2:
        print("FAIL the API-12.0 module: built for %d interpreters, expected 2" % len(twelve))
        failed += 1
    if bits == 32 and twelve:
        print("FAIL the API-12.0 module is built for a 32-bit target: %s" % ", ".join(sorted(twelve)))
        failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
