"""CUDA devices for the codecs: enumeration, selection with failure bookkeeping, and the kernels.

The CUDA driver library is reached through ctypes, by its usual name ("libcuda.so", else "libcuda.so.1";
"nvcuda.dll" on Windows), so whichever driver library the loader finds first is used. Nothing is loaded
at import: the library is opened on first use, and a missing library simply means no devices.

Device objects carry the driver's raw handles (``handle`` is the ``CUdevice`` value) so that native
modules can build their own contexts on them; kernel objects carry the ``CUfunction`` and ``CUmodule``
addresses.
"""

from __future__ import absolute_import

import collections
import ctypes
import os
import sys
import threading
import time

from tevu.log import Logger

log = Logger("cuda")

CUresult = ctypes.c_int
CUdevice = ctypes.c_int
CUcontext = ctypes.c_void_p
CUmodule = ctypes.c_void_p
CUfunction = ctypes.c_void_p


def _text(value):
    """A C string the driver returned (bytes) as the interpreter's str."""
    return value if isinstance(value, str) else value.decode("utf-8", "replace")


def _c_string(value):
    """The interpreter's str as a C string argument (bytes)."""
    return value if isinstance(value, bytes) else value.encode("utf-8")

CUDA_SUCCESS = 0
CUDA_ERROR_NOT_FOUND = 500

# CUDA driver result codes and their names.
CUDA_ERRORS_INFO = {
    0: "CUDA_SUCCESS",
    1: "CUDA_ERROR_INVALID_VALUE",
    2: "CUDA_ERROR_OUT_OF_MEMORY",
    3: "CUDA_ERROR_NOT_INITIALIZED",
    4: "CUDA_ERROR_DEINITIALIZED",
    5: "CUDA_ERROR_PROFILER_DISABLED",
    6: "CUDA_ERROR_PROFILER_NOT_INITIALIZED",
    7: "CUDA_ERROR_PROFILER_ALREADY_STARTED",
    8: "CUDA_ERROR_PROFILER_ALREADY_STOPPED",
    100: "CUDA_ERROR_NO_DEVICE",
    101: "CUDA_ERROR_INVALID_DEVICE",
    200: "CUDA_ERROR_INVALID_IMAGE",
    201: "CUDA_ERROR_INVALID_CONTEXT",
    202: "CUDA_ERROR_CONTEXT_ALREADY_CURRENT",
    205: "CUDA_ERROR_MAP_FAILED",
    206: "CUDA_ERROR_UNMAP_FAILED",
    207: "CUDA_ERROR_ARRAY_IS_MAPPED",
    208: "CUDA_ERROR_ALREADY_MAPPED",
    209: "CUDA_ERROR_NO_BINARY_FOR_GPU",
    210: "CUDA_ERROR_ALREADY_ACQUIRED",
    211: "CUDA_ERROR_NOT_MAPPED",
    212: "CUDA_ERROR_NOT_MAPPED_AS_ARRAY",
    213: "CUDA_ERROR_NOT_MAPPED_AS_POINTER",
    214: "CUDA_ERROR_ECC_UNCORRECTABLE",
    215: "CUDA_ERROR_UNSUPPORTED_LIMIT",
    216: "CUDA_ERROR_CONTEXT_ALREADY_IN_USE",
    217: "CUDA_ERROR_PEER_ACCESS_UNSUPPORTED",
    218: "CUDA_ERROR_INVALID_PTX",
    219: "CUDA_ERROR_INVALID_GRAPHICS_CONTEXT",
    220: "CUDA_ERROR_NVLINK_UNCORRECTABLE",
    221: "CUDA_ERROR_JIT_COMPILER_NOT_FOUND",
    300: "CUDA_ERROR_INVALID_SOURCE",
    301: "CUDA_ERROR_FILE_NOT_FOUND",
    302: "CUDA_ERROR_SHARED_OBJECT_SYMBOL_NOT_FOUND",
    303: "CUDA_ERROR_SHARED_OBJECT_INIT_FAILED",
    304: "CUDA_ERROR_OPERATING_SYSTEM",
    400: "CUDA_ERROR_INVALID_HANDLE",
    401: "CUDA_ERROR_ILLEGAL_STATE",
    500: "CUDA_ERROR_NOT_FOUND",
    600: "CUDA_ERROR_NOT_READY",
    700: "CUDA_ERROR_ILLEGAL_ADDRESS",
    701: "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES",
    702: "CUDA_ERROR_LAUNCH_TIMEOUT",
    703: "CUDA_ERROR_LAUNCH_INCOMPATIBLE_TEXTURING",
    704: "CUDA_ERROR_PEER_ACCESS_ALREADY_ENABLED",
    705: "CUDA_ERROR_PEER_ACCESS_NOT_ENABLED",
    708: "CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE",
    709: "CUDA_ERROR_CONTEXT_IS_DESTROYED",
    710: "CUDA_ERROR_ASSERT",
    711: "CUDA_ERROR_TOO_MANY_PEERS",
    712: "CUDA_ERROR_HOST_MEMORY_ALREADY_REGISTERED",
    713: "CUDA_ERROR_HOST_MEMORY_NOT_REGISTERED",
    714: "CUDA_ERROR_HARDWARE_STACK_ERROR",
    715: "CUDA_ERROR_ILLEGAL_INSTRUCTION",
    716: "CUDA_ERROR_MISALIGNED_ADDRESS",
    717: "CUDA_ERROR_INVALID_ADDRESS_SPACE",
    718: "CUDA_ERROR_INVALID_PC",
    719: "CUDA_ERROR_LAUNCH_FAILED",
    720: "CUDA_ERROR_COOPERATIVE_LAUNCH_TOO_LARGE",
    800: "CUDA_ERROR_NOT_PERMITTED",
    801: "CUDA_ERROR_NOT_SUPPORTED",
    999: "CUDA_ERROR_UNKNOWN",
}

# Device attributes (CUdevice_attribute) read here.
CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK = 1
CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT = 16
CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75
CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76

# The compiled colour-conversion kernels, built beside this file.
KERNEL_IMAGE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kernels.ptx")

# Failures older than this many seconds no longer count against a device.
DEVICE_FAILURE_WINDOW = 60.0
# At most this many CUDA contexts keep a cached kernel module here.
MAX_CACHED_MODULES = 64


def library_names(platform=None):
    """The names under which the CUDA driver library is looked for, in order."""
    platform = platform or sys.platform
    if platform.startswith("win"):
        return ["nvcuda.dll"]
    if platform == "darwin":
        return ["libcuda.dylib", "/usr/local/cuda/lib/libcuda.dylib"]
    return ["libcuda.so", "libcuda.so.1"]


def cuda_error_text(code):
    """The name of a CUDA result code, or its number when it has none."""
    return CUDA_ERRORS_INFO.get(code, str(code))


class CudaError(Exception):
    """A CUDA driver call returned a result other than CUDA_SUCCESS."""

    def __init__(self, call, code):
        Exception.__init__(self, "%s failed: %s" % (call, cuda_error_text(code)))
        self.call = call
        self.code = code


# Signatures of the driver entry points used here: name -> argument types.
_SIGNATURES = {
    "cuInit": (ctypes.c_uint,),
    "cuDriverGetVersion": (ctypes.POINTER(ctypes.c_int),),
    "cuDeviceGetCount": (ctypes.POINTER(ctypes.c_int),),
    "cuDeviceGet": (ctypes.POINTER(CUdevice), ctypes.c_int),
    "cuDeviceGetName": (ctypes.c_char_p, ctypes.c_int, CUdevice),
    "cuDeviceGetPCIBusId": (ctypes.c_char_p, ctypes.c_int, CUdevice),
    "cuDeviceComputeCapability": (ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), CUdevice),
    "cuDeviceGetAttribute": (ctypes.POINTER(ctypes.c_int), ctypes.c_int, CUdevice),
    "cuDeviceTotalMem_v2": (ctypes.POINTER(ctypes.c_size_t), CUdevice),
    "cuCtxGetCurrent": (ctypes.POINTER(CUcontext),),
    "cuCtxGetDevice": (ctypes.POINTER(CUdevice),),
    "cuModuleLoadData": (ctypes.POINTER(CUmodule), ctypes.c_void_p),
    "cuModuleGetFunction": (ctypes.POINTER(CUfunction), CUmodule, ctypes.c_char_p),
    "cuGetErrorName": (CUresult, ctypes.POINTER(ctypes.c_char_p)),
}


class _Driver(object):
    """The opened CUDA driver library with the entry points used here (None where it lacks one)."""

    def __init__(self, library, name):
        self.library = library
        self.name = name
        self.initialised = False
        for entry, argtypes in _SIGNATURES.items():
            try:
                function = getattr(library, entry)
            except AttributeError:
                function = None
            if function is not None:
                function.restype = CUresult
                function.argtypes = list(argtypes)
            setattr(self, entry, function)

    def call(self, entry, *args):
        """Call an entry point; raises CudaError for a failure or a missing entry point."""
        function = getattr(self, entry)
        if function is None:
            raise CudaError(entry, CUDA_ERROR_NOT_FOUND)
        result = function(*args)
        if result != CUDA_SUCCESS:
            raise CudaError(entry, result)

    def error_name(self, code):
        if self.cuGetErrorName is not None:
            text = ctypes.c_char_p()
            if self.cuGetErrorName(code, ctypes.byref(text)) == CUDA_SUCCESS and text.value:
                return _text(text.value)
        return cuda_error_text(code)


_lock = threading.RLock()
_driver = None
_driver_failed = False


def _open_driver():
    """The CUDA driver library, opened and initialised once; None when it cannot be used."""
    global _driver, _driver_failed
    with _lock:
        if _driver is not None or _driver_failed:
            return _driver
        loader = getattr(ctypes, "WinDLL", ctypes.CDLL) if sys.platform.startswith("win") else ctypes.CDLL
        errors = []
        for name in library_names():
            try:
                library = loader(name)
            except OSError as e:
                errors.append("%s: %s" % (name, e))
                continue
            _driver = _Driver(library, name)
            log("loaded the CUDA driver library %s", name)
            break
        else:
            _driver_failed = True
            log.warn("Warning: the CUDA driver library cannot be loaded (%s)", "; ".join(errors))
            return None
        return _driver


def _initialised_driver():
    """The driver after a successful cuInit, or None (the failure is logged once per state reset)."""
    driver = _open_driver()
    if driver is None:
        return None
    with _lock:
        if not driver.initialised:
            try:
                driver.call("cuInit", 0)
            except CudaError as e:
                log.warn("Warning: CUDA initialisation failed: %s", e)
                return None
            driver.initialised = True
    return driver


class CudaDevice(object):
    """One CUDA device: its number (``ordinal``), the driver's ``CUdevice`` value (``handle``) and facts."""

    def __init__(self, ordinal, handle, name, compute_capability, pci_bus_id, total_memory):
        self.ordinal = ordinal
        self.handle = handle
        self.name = name
        self.compute_capability = compute_capability
        self.pci_bus_id = pci_bus_id
        self.total_memory = total_memory

    @property
    def compute(self):
        """The compute capability as one number, major * 16 + minor (0x30 for 3.0)."""
        major, minor = self.compute_capability
        return major * 16 + minor

    def get_attribute(self, attribute):
        """A device attribute (CUdevice_attribute number) read from the driver."""
        driver = _initialised_driver()
        if driver is None:
            raise CudaError("cuDeviceGetAttribute", 3)
        value = ctypes.c_int()
        driver.call("cuDeviceGetAttribute", ctypes.byref(value), attribute, self.handle)
        return value.value

    def __repr__(self):
        return "CudaDevice(%i: %s)" % (self.ordinal, self.name)


def _query_device(driver, ordinal):
    handle = CUdevice()
    driver.call("cuDeviceGet", ctypes.byref(handle), ordinal)
    name = ctypes.create_string_buffer(256)
    driver.call("cuDeviceGetName", name, len(name), handle)
    major, minor = ctypes.c_int(), ctypes.c_int()
    try:
        driver.call("cuDeviceComputeCapability", ctypes.byref(major), ctypes.byref(minor), handle)
    except CudaError:
        driver.call("cuDeviceGetAttribute", ctypes.byref(major),
                    CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, handle)
        driver.call("cuDeviceGetAttribute", ctypes.byref(minor),
                    CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, handle)
    pci = ctypes.create_string_buffer(64)
    try:
        driver.call("cuDeviceGetPCIBusId", pci, len(pci), handle)
        pci_bus_id = _text(pci.value)
    except CudaError as e:
        log("no PCI bus id for CUDA device %i: %s", ordinal, e)
        pci_bus_id = ""
    memory = ctypes.c_size_t()
    try:
        driver.call("cuDeviceTotalMem_v2", ctypes.byref(memory), handle)
    except CudaError as e:
        log("no memory size for CUDA device %i: %s", ordinal, e)
    return CudaDevice(ordinal, handle.value, _text(name.value), (major.value, minor.value), pci_bus_id,
                      memory.value)


# Device state, guarded by _lock: the enumeration (None until done) and the failure bookkeeping.
_devices = None
_device_failures = {}
_device_successes = {}


def _enumerated_devices():
    """The usable device objects, enumerated once (until ``reset_state``); the caller holds ``_lock``.

    The list returned is never changed afterwards (``reset_state`` drops it for a new one), so that a
    caller may go on using it after releasing the lock."""
    global _devices
    if _devices is None:
        _devices = _enumerate_devices()
    return _devices


def _enumerate_devices():
    devices = []
    driver = _initialised_driver()
    if driver is None:
        return devices
    count = ctypes.c_int()
    try:
        driver.call("cuDeviceGetCount", ctypes.byref(count))
    except CudaError as e:
        log.warn("Warning: cannot count the CUDA devices: %s", e)
        return devices
    for ordinal in range(count.value):
        try:
            device = _query_device(driver, ordinal)
        except CudaError as e:
            log.warn("Warning: CUDA device %i is not usable: %s", ordinal, e)
            continue
        log("CUDA device %i: %s, compute capability %i.%i, %iMB", ordinal, device.name,
            device.compute_capability[0], device.compute_capability[1], device.total_memory // 1024 // 1024)
        devices.append(device)
    log.info("%i CUDA device%s found", len(devices), "" if len(devices) == 1 else "s")
    return devices


def init_all_devices():
    """The numbers of the usable CUDA devices, enumerated once (until ``reset_state``)."""
    with _lock:
        return [device.ordinal for device in _enumerated_devices()]


def get_devices():
    """The device numbers found by the last enumeration, or None before ``init_all_devices``."""
    with _lock:
        if _devices is None:
            return None
        return [device.ordinal for device in _devices]


def get_device(device_id):
    """The device object of an enumerated device number, or None."""
    with _lock:
        devices = _enumerated_devices()
    for device in devices:
        if device.ordinal == device_id:
            return device
    return None


def _recent_failures(device_id, now):
    failures = [t for t in _device_failures.get(device_id, ()) if now - t < DEVICE_FAILURE_WINDOW]
    if failures:
        _device_failures[device_id] = failures
    else:
        _device_failures.pop(device_id, None)
    return len(failures)


def record_device_failure(device_id):
    """Count a failed set-up on a device: it is avoided while it has more recent failures than others."""
    if device_id is None or device_id < 0:
        log("device failure without a device (%s) not recorded", device_id)
        return
    with _lock:
        _device_failures.setdefault(device_id, []).append(time.time())
        count = _recent_failures(device_id, time.time())
    log("CUDA device %i: %i recent failure%s", device_id, count, "" if count == 1 else "s")


def record_device_success(device_id):
    """Count a successful set-up on a device: its failures are forgotten and its use count grows."""
    if device_id is None or device_id < 0:
        return
    with _lock:
        _device_failures.pop(device_id, None)
        _device_successes[device_id] = _device_successes.get(device_id, 0) + 1


def device_ranking(device_id):
    """The sort key of a device for selection: recent failures, then use count, then its number."""
    with _lock:
        return (_recent_failures(device_id, time.time()), _device_successes.get(device_id, 0), device_id)


class preserved_device_state(object):
    """Context manager restoring the failure bookkeeping on exit (for probes whose failures mean nothing)."""

    def __enter__(self):
        with _lock:
            self._saved = (dict((k, list(v)) for k, v in _device_failures.items()),
                           dict(_device_successes))
        return self

    def __exit__(self, *exc):
        with _lock:
            _device_failures.clear()
            _device_failures.update(self._saved[0])
            _device_successes.clear()
            _device_successes.update(self._saved[1])
        return False


def select_device(preferred_device_id=-1, min_compute=0):
    """Choose a device: (device number, device object), or (-1, None) when none qualifies.

    Devices below ``min_compute`` (major * 16 + minor) do not qualify. A qualifying preferred device is
    taken as asked; otherwise the device with the fewest recent failures, then the least used, wins.
    """
    with _lock:
        qualified = [device for device in _enumerated_devices() if device.compute >= min_compute]
    if not qualified:
        log.warn("Warning: no CUDA device with compute capability %#x or later", min_compute)
        return -1, None
    if preferred_device_id is not None and preferred_device_id >= 0:
        for device in qualified:
            if device.ordinal == preferred_device_id:
                log("using the preferred CUDA device %i", preferred_device_id)
                return device.ordinal, device
        log.warn("Warning: the preferred CUDA device %s is not usable, choosing another", preferred_device_id)
    device = min(qualified, key=lambda d: device_ranking(d.ordinal))
    log("selected CUDA device %i (%s)", device.ordinal, device_info(device))
    return device.ordinal, device


def device_info(device):
    """Short text naming a device for log lines."""
    if device is None:
        return "None"
    if isinstance(device, CudaDevice):
        if device.pci_bus_id:
            return "%s @ %s" % (device.name, device.pci_bus_id)
        return device.name
    return str(device)


def get_cuda_info():
    """The CUDA driver's facts: its version and the number of devices."""
    info = {"device_count": len(init_all_devices())}
    driver = _open_driver()
    if driver is not None:
        version = ctypes.c_int()
        try:
            driver.call("cuDriverGetVersion", ctypes.byref(version))
            info["driver.version"] = [version.value // 1000, (version.value % 1000) // 10]
        except CudaError as e:
            log("no CUDA driver version: %s", e)
    return info


def get_pycuda_info():
    """Facts about the binding through which the driver is reached here."""
    driver = _open_driver()
    return {
        "binding": "ctypes",
        "version": ctypes.__version__,
        "library": driver.name if driver is not None else None,
    }


class CudaKernel(object):
    """A kernel loaded into one CUDA context: ``handle`` is the CUfunction, ``module_handle`` the CUmodule.

    It is valid while the context it was loaded into exists (the module is owned by that context).
    """

    def __init__(self, name, handle, module, device_id):
        self.name = name
        self.handle = handle
        self.module = module
        self.module_handle = module.handle
        self.context_handle = module.context_handle
        self.device_id = device_id

    def __repr__(self):
        return "CudaKernel(%s @ %#x)" % (self.name, self.handle)


class _LoadedModule(object):
    """The kernel image loaded into one context."""

    def __init__(self, handle, context_handle):
        self.handle = handle
        self.context_handle = context_handle


_kernel_image = None
_modules = collections.OrderedDict()


def _load_kernel_image():
    """The kernel image text (NUL-terminated for the driver), read once; None when missing."""
    global _kernel_image
    with _lock:
        if _kernel_image is None:
            try:
                with open(KERNEL_IMAGE_PATH, "rb") as f:
                    _kernel_image = ctypes.create_string_buffer(f.read())
            except (IOError, OSError) as e:
                log.warn("Warning: cannot read the CUDA kernels from %s: %s", KERNEL_IMAGE_PATH, e)
                return None
        return _kernel_image


def _current_context(driver):
    context = CUcontext()
    try:
        driver.call("cuCtxGetCurrent", ctypes.byref(context))
    except CudaError as e:
        log.warn("Warning: cannot get the current CUDA context: %s", e)
        return None
    return context.value


def _check_context_device(driver, device_id):
    if driver.cuCtxGetDevice is None or device_id is None or device_id < 0:
        return
    device = get_device(device_id)
    current = CUdevice()
    if device is not None and driver.cuCtxGetDevice(ctypes.byref(current)) == CUDA_SUCCESS \
            and current.value != device.handle:
        log.warn("Warning: the current CUDA context is on device handle %i, not on device %i",
                 current.value, device_id)


def _module_for(driver, context_handle, image):
    """The kernel module loaded into a context, loading it when needed."""
    with _lock:
        module = _modules.get(context_handle)
        if module is not None:
            return module
        handle = CUmodule()
        driver.call("cuModuleLoadData", ctypes.byref(handle), ctypes.cast(image, ctypes.c_void_p))
        module = _LoadedModule(handle.value, context_handle)
        _modules[context_handle] = module
        while len(_modules) > MAX_CACHED_MODULES:
            _modules.popitem(last=False)
        log("loaded the CUDA kernels %s into context %#x: module %#x", KERNEL_IMAGE_PATH,
            context_handle, module.handle)
        return module


def _lookup(driver, module, name):
    function = CUfunction()
    driver.call("cuModuleGetFunction", ctypes.byref(function), module.handle, _c_string(name))
    return function.value


def get_CUDA_function(device_id, function_name):
    """The named kernel loaded into the CUDA context current on this thread, or None when unavailable.

    ``device_id`` is the device number (or device object) the context was made on; the kernel image is
    loaded once per context.
    """
    if isinstance(device_id, CudaDevice):
        device_id = device_id.ordinal
    driver = _initialised_driver()
    if driver is None:
        log.warn("Warning: no CUDA driver, kernel %s is unavailable", function_name)
        return None
    image = _load_kernel_image()
    if image is None:
        return None
    context_handle = _current_context(driver)
    if not context_handle:
        log.warn("Warning: no current CUDA context to load kernel %s into", function_name)
        return None
    _check_context_device(driver, device_id)
    for attempt in (1, 2):
        try:
            module = _module_for(driver, context_handle, image)
        except CudaError as e:
            log.error("Error: cannot load the CUDA kernels from %s: %s", KERNEL_IMAGE_PATH, e)
            return None
        try:
            handle = _lookup(driver, module, function_name)
        except CudaError as e:
            if e.code == CUDA_ERROR_NOT_FOUND:
                log.error("Error: no CUDA kernel named %s in %s", function_name, KERNEL_IMAGE_PATH)
                return None
            # A module cached for a context that has since been destroyed (its handle was reused by a
            # new context): load the image again once.
            with _lock:
                if _modules.get(context_handle) is module:
                    del _modules[context_handle]
            if attempt == 2:
                log.error("Error: cannot find CUDA kernel %s: %s", function_name, e)
                return None
            continue
        if not handle:
            log.error("Error: CUDA kernel %s has a null handle", function_name)
            return None
        kernel = CudaKernel(function_name, handle, module, device_id)
        log("%s for device %s: %s", function_name, device_id, kernel)
        return kernel
    return None


def reset_state():
    """Forget the device enumeration, the failure bookkeeping and the cached kernel modules.

    The modules themselves belong to their contexts, which free them when they are destroyed.
    """
    global _devices, _kernel_image, _driver_failed
    with _lock:
        _devices = None
        _device_failures.clear()
        _device_successes.clear()
        _modules.clear()
        _kernel_image = None
        _driver_failed = False
        if _driver is not None:
            _driver.initialised = False
    log("CUDA device state reset")
