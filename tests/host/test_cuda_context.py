"""CUDA device enumeration and kernel loading through the CUDA driver library found on the search path."""

import ctypes
import json
import os
import numbers
import subprocess
import sys
import unittest

from tevu.codecs.cuda_common import cuda_context as cc
from tevu.log import capture

KERNELS = ("BGRA_to_NV12", "BGRA_to_YUV444")


def driver_library():
    """The CUDA driver library the host package will use, or None when there is none."""
    for name in cc.library_names():
        try:
            return ctypes.CDLL(name)
        except OSError:
            continue
    return None


LIBCUDA = driver_library()
needs_driver = unittest.skipIf(LIBCUDA is None, "no CUDA driver library on the library path")


class Context(object):
    """A CUDA context made current on this thread for the duration of a with-block."""

    def __init__(self, device_handle):
        self.device_handle = device_handle
        self.handle = ctypes.c_void_p()

    def __enter__(self):
        result = LIBCUDA.cuCtxCreate_v2(ctypes.byref(self.handle), 0, ctypes.c_int(self.device_handle))
        if result != 0:
            raise AssertionError("cuCtxCreate_v2 returned %s" % cc.cuda_error_text(result))
        return self

    def __exit__(self, *exc):
        LIBCUDA.cuCtxDestroy_v2(self.handle)
        return False


def run_child(code, **env_changes):
    """Run Python code against the build tree in a child with the given environment; its JSON output."""
    env = dict(os.environ)
    for name in ("CUDA_EMU_DEVICES", "CUDA_EMU_FAIL"):
        env.pop(name, None)
    env.update(env_changes)
    child = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True)
    out, err = child.communicate()
    if child.returncode != 0:
        raise AssertionError("child failed (%s):\n%s" % (child.returncode, err))
    return json.loads(out.splitlines()[-1]), err


ENUMERATE = """
import json
from tevu.codecs.cuda_common import cuda_context as cc
before = cc.get_devices()
devices = cc.init_all_devices()
chosen = cc.select_device(-1, 0x30)
cc.record_device_failure(chosen[0])
after_failure = cc.select_device(-1, 0x30)[0]
preferred_last = cc.select_device(len(devices) - 1, 0x30)[0] if devices else None
info = cc.get_cuda_info()
print(json.dumps({"before": before, "devices": devices, "get_devices": cc.get_devices(),
                  "chosen": chosen[0], "has_object": chosen[1] is not None,
                  "after_failure": after_failure, "preferred_last": preferred_last,
                  "device_count": info["device_count"], "driver_version": info.get("driver.version")}))
"""


@needs_driver
class EnumerationTest(unittest.TestCase):
    # (environment, expected devices, first choice, choice after its failure)
    CASES = [
        ({"CUDA_EMU_DEVICES": "0"}, [], -1, -1),
        ({"CUDA_EMU_DEVICES": "1"}, [0], 0, 0),
        ({"CUDA_EMU_DEVICES": "2"}, [0, 1], 0, 1),
        ({"CUDA_EMU_DEVICES": "4"}, [0, 1, 2, 3], 0, 1),
        ({"CUDA_EMU_DEVICES": "3", "CUDA_EMU_FAIL": "cuDeviceGet=101@2"}, [0, 2], 0, 2),
        ({"CUDA_EMU_DEVICES": "2", "CUDA_EMU_FAIL": "cuInit=100"}, [], -1, -1),
        ({"CUDA_EMU_DEVICES": "2", "CUDA_EMU_FAIL": "cuDeviceGetCount=3"}, [], -1, -1),
    ]

    def test_device_counts_and_choices(self):
        for env, devices, chosen, after_failure in self.CASES:
            result, err = run_child(ENUMERATE, **env)
            label = repr(env)
            self.assertIsNone(result["before"], label)
            self.assertEqual(result["devices"], devices, label)
            self.assertEqual(result["get_devices"], devices, label)
            self.assertEqual(result["chosen"], chosen, label)
            self.assertEqual(result["has_object"], chosen >= 0, label)
            self.assertEqual(result["after_failure"], after_failure, label)
            self.assertEqual(result["device_count"], len(devices), label)
            if devices:
                self.assertEqual(result["preferred_last"], devices[-1], label)
            if "CUDA_EMU_FAIL" in env:
                self.assertIn("Warning", err, label)

    # A reset forced in between each snapshot of the device list and its use. The module's lock is wrapped:
    # whenever the chooser (this main thread) leaves its outermost locked section, a second thread resets
    # the state, has the devices enumerated afresh (with the count failing, so that the new list differs:
    # empty) and resets again, all before the chooser goes on with what it took under the lock. So every
    # call meets a reset at the worst point, as often as asked, and the counts tell that it did.
    RACE = """
import json, os, threading
from tevu.codecs.cuda_common import cuda_context as cc

class ResetOnLeaving(object):
    def __init__(self, lock, chooser):
        self.lock, self.chooser, self.depth = lock, chooser, 0
        self.go, self.done = threading.Event(), threading.Event()
        self.forced = 0
    def acquire(self, *args):
        got = self.lock.acquire(*args)
        if got and threading.current_thread() is self.chooser:
            self.depth += 1
        return got
    def release(self):
        mine = threading.current_thread() is self.chooser
        if mine:
            self.depth -= 1
        self.lock.release()
        if mine and self.depth == 0:
            self.forced += 1
            self.go.set()
            self.done.wait()
            self.done.clear()
    def __enter__(self):
        self.acquire()
        return self
    def __exit__(self, *exc):
        self.release()
        return False

cc.init_all_devices()
lock = ResetOnLeaving(cc._lock, threading.current_thread())
resets, refills, stop, errors, calls = [0], [], [], [], 0

def resetter():
    while True:
        lock.go.wait()
        lock.go.clear()
        if stop:
            return
        try:
            cc.reset_state()
            os.environ["CUDA_EMU_FAIL"] = "cuDeviceGetCount=CUDA_ERROR_NO_DEVICE"
            refills.append(cc.init_all_devices())
            del os.environ["CUDA_EMU_FAIL"]
            cc.reset_state()
            resets[0] += 1
        except Exception as x:
            errors.append("reset: %%s: %%s" %% (type(x).__name__, x))
        finally:
            lock.done.set()

thread = threading.Thread(target=resetter)
thread.start()
cc._lock = lock
try:
    for _ in range(%(rounds)d):
        for name, call, expected in [("select_device", lambda: cc.select_device(-1, 0)[0], 0),
                                     ("select_device object", lambda: cc.select_device(0, 0)[1].ordinal, 0),
                                     ("get_device", lambda: getattr(cc.get_device(0), "ordinal", None), 0),
                                     ("init_all_devices", cc.init_all_devices, [0]),
                                     ("get_cuda_info", lambda: cc.get_cuda_info()["device_count"], 1)]:
            calls += 1
            try:
                got = call()
            except Exception as x:
                got = "%%s: %%s" %% (type(x).__name__, x)
            if got != expected:
                errors.append("%%s: %%r" %% (name, got))
finally:
    cc._lock = lock.lock
    stop.append(True)
    lock.go.set()
    thread.join()
print(json.dumps({"errors": errors[:5], "calls": calls, "forced": lock.forced, "resets": resets[0],
                  "refills": sorted(set(map(repr, refills))), "devices": cc.init_all_devices()}))
"""

    def test_device_list_survives_a_concurrent_reset(self):
        rounds = 20
        result, err = run_child(self.RACE % {"rounds": rounds}, CUDA_EMU_DEVICES="1")
        self.assertEqual(result["errors"], [])
        # every call left the lock at least once, and each time a whole reset ran before it went on
        self.assertGreaterEqual(result["forced"], result["calls"])
        self.assertEqual(result["calls"], 5 * rounds)
        self.assertEqual(result["resets"], result["forced"])
        self.assertEqual(result["refills"], ["[]"])
        self.assertEqual(result["devices"], [0])

    def test_device_objects_carry_driver_handles(self):
        cc.reset_state()
        devices = cc.init_all_devices()
        self.assertTrue(devices)
        device_id, device = cc.select_device(-1, 0x30)
        self.assertEqual(device.ordinal, device_id)
        handle = ctypes.c_int()
        self.assertEqual(LIBCUDA.cuDeviceGet(ctypes.byref(handle), device_id), 0)
        self.assertEqual(device.handle, handle.value)
        self.assertIsInstance(device.handle, int)
        self.assertTrue(device.name)
        self.assertGreaterEqual(device.compute, 0x30)
        self.assertGreater(device.total_memory, 0)
        self.assertIn(device.name, cc.device_info(device))
        self.assertGreater(device.get_attribute(cc.CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK), 0)
        info = cc.get_cuda_info()
        self.assertEqual(info["device_count"], len(devices))
        self.assertEqual(len(info["driver.version"]), 2)
        self.assertGreater(info["driver.version"][0], 0)
        self.assertIn(cc.get_pycuda_info()["library"], cc.library_names())


class MissingLibraryTest(unittest.TestCase):
    def setUp(self):
        self.saved = cc.library_names, cc._driver
        cc.library_names = lambda platform=None: ["libcuda-that-is-not-there.so"]
        cc._driver = None  # forget a library opened by an earlier test
        cc.reset_state()

    def tearDown(self):
        cc.library_names, cc._driver = self.saved
        cc.reset_state()

    def test_no_library_means_no_devices(self):
        with capture() as records:
            self.assertEqual(cc.init_all_devices(), [])
            self.assertEqual(cc.select_device(-1, 0x30), (-1, None))
            self.assertIsNone(cc.get_CUDA_function(0, "BGRA_to_NV12"))
        warnings = capture.messages(records, "warn")
        self.assertTrue(any("cannot be loaded" in m for m in warnings), warnings)
        self.assertEqual(cc.get_pycuda_info()["library"], None)


@needs_driver
@unittest.skipUnless(os.path.exists(cc.KERNEL_IMAGE_PATH), "the kernel image was not built")
class KernelTest(unittest.TestCase):
    def setUp(self):
        cc.reset_state()
        self.saved_image = cc.KERNEL_IMAGE_PATH
        self.device_id, self.device = cc.select_device(-1, 0x30)
        self.assertIsNotNone(self.device)

    def tearDown(self):
        cc.KERNEL_IMAGE_PATH = self.saved_image
        cc.reset_state()

    def test_kernels_load_into_the_current_context(self):
        with Context(self.device.handle) as context:
            kernels = [cc.get_CUDA_function(self.device_id, name) for name in KERNELS]
            for name, kernel in zip(KERNELS, kernels):
                self.assertIsNotNone(kernel, name)
                self.assertEqual(kernel.name, name)
                self.assertIsInstance(kernel.handle, numbers.Integral)
                self.assertNotEqual(kernel.handle, 0)
                self.assertEqual(kernel.context_handle, context.handle.value)
            self.assertNotEqual(kernels[0].handle, kernels[1].handle)
            self.assertEqual(kernels[0].module_handle, kernels[1].module_handle)
            again = cc.get_CUDA_function(self.device, KERNELS[0])
            self.assertEqual((again.handle, again.module_handle), (kernels[0].handle, kernels[0].module_handle))
            attributes = ctypes.c_int()
            # the handle is a real CUfunction of the current context
            self.assertEqual(LIBCUDA.cuFuncGetAttribute(ctypes.byref(attributes), 0,
                                                        ctypes.c_void_p(kernels[0].handle)), 0)
            self.assertGreater(attributes.value, 0)

    def test_each_context_gets_its_own_module(self):
        # Contexts made one after another may reuse an address: the kernel must be valid in each.
        for _ in range(3):
            with Context(self.device.handle):
                kernel = cc.get_CUDA_function(self.device_id, KERNELS[1])
                self.assertIsNotNone(kernel)
                threads = ctypes.c_int()
                self.assertEqual(LIBCUDA.cuFuncGetAttribute(ctypes.byref(threads), 0,
                                                            ctypes.c_void_p(kernel.handle)), 0)
        with Context(self.device.handle) as first:
            with Context(self.device.handle) as second:
                inner = cc.get_CUDA_function(self.device_id, KERNELS[0])
            self.assertEqual(inner.context_handle, second.handle.value)
            outer = cc.get_CUDA_function(self.device_id, KERNELS[0])
            self.assertEqual(outer.context_handle, first.handle.value)
            self.assertNotEqual(outer.module_handle, inner.module_handle)

    def test_module_of_a_destroyed_context_is_reloaded(self):
        with Context(self.device.handle):
            stale = cc.get_CUDA_function(self.device_id, KERNELS[0])
        with Context(self.device.handle) as context:
            # as if the new context had been given the old one's address
            cc._modules[context.handle.value] = stale.module
            kernel = cc.get_CUDA_function(self.device_id, KERNELS[0])
            self.assertIsNotNone(kernel)
            self.assertNotEqual(kernel.module_handle, stale.module_handle)
            threads = ctypes.c_int()
            self.assertEqual(LIBCUDA.cuFuncGetAttribute(ctypes.byref(threads), 0,
                                                        ctypes.c_void_p(kernel.handle)), 0)

    def test_unavailable_kernels(self):
        with capture() as records:
            self.assertIsNone(cc.get_CUDA_function(self.device_id, KERNELS[0]))
        self.assertTrue(any("no current CUDA context" in m for m in capture.messages(records, "warn")))
        with Context(self.device.handle):
            with capture() as records:
                self.assertIsNone(cc.get_CUDA_function(self.device_id, "BGRA_to_RGB"))
            self.assertTrue(any("BGRA_to_RGB" in m for m in capture.messages(records, "error")))
            cc.reset_state()
            cc.KERNEL_IMAGE_PATH = os.path.join(os.path.dirname(self.saved_image), "missing.ptx")
            with capture() as records:
                self.assertIsNone(cc.get_CUDA_function(self.device_id, KERNELS[0]))
            self.assertTrue(any("missing.ptx" in m for m in capture.messages(records, "warn")))

    def test_load_failure_is_reported(self):
        code = """
import ctypes, json
from tevu.log import capture
from tevu.codecs.cuda_common import cuda_context as cc
lib = ctypes.CDLL(cc.library_names()[0])
device_id, device = cc.select_device(-1, 0x30)
ctx = ctypes.c_void_p()
assert lib.cuCtxCreate_v2(ctypes.byref(ctx), 0, device.handle) == 0
with capture() as records:
    kernel = cc.get_CUDA_function(device_id, "BGRA_to_NV12")
lib.cuCtxDestroy_v2(ctx)
print(json.dumps({"kernel": repr(kernel), "errors": capture.messages(records, "error")}))
"""
        result, _ = run_child(code, CUDA_EMU_FAIL="cuModuleLoadData=218")
        self.assertEqual(result["kernel"], "None")
        self.assertTrue(any("CUDA_ERROR_INVALID_PTX" in m for m in result["errors"]), result["errors"])


if __name__ == "__main__":
    unittest.main()
