"""Loading lible_core.so and the C prototypes of the entry points the package calls.

The library is looked for in three places, in this order: the file named by
LE_CORE_LIBRARY, a lible_core.so beside this package, the system's library
path. A variable that is set but names nothing loadable is an error of its own:
another library is never substituted for the one asked for.
"""
import ctypes
import ctypes.util
import glob
import os
import threading

ENV = "LE_CORE_LIBRARY"
_SONAME = "lible_core.so"

c_int, c_size_t, c_void_p, c_char_p = ctypes.c_int, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_char_p
c_float, c_double = ctypes.c_float, ctypes.c_double


class Error(RuntimeError):
    """A failure reported by le_core; str(error) is the library's own message."""


class UttOpts(ctypes.Structure):
    _fields_ = [("motion_dir", c_char_p), ("threads", ctypes.c_int32), ("ep", c_char_p),
                ("steady_model", c_char_p), ("eager", ctypes.c_int32), ("gap_s", c_double),
                ("ramp_frames", ctypes.c_int32), ("interrupt_ramp_frames", ctypes.c_int32)]


class UttFrameInfo(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_uint64), ("kind", ctypes.c_int32),
                ("driver_index", ctypes.c_int32), ("speech_number", ctypes.c_int32)]


class UttStats(ctypes.Structure):
    _fields_ = [("frames_delivered", ctypes.c_uint64), ("speech_frames_delivered", ctypes.c_uint64),
                ("first_frames", ctypes.c_uint64), ("first_frame_latency_ms", c_double),
                ("render_ms", c_double), ("state", ctypes.c_int32)]


P = ctypes.POINTER
# name: (result, arguments). Handles travel as void pointers; null is None.
_PROTOTYPES = {
    "le_last_error": (c_char_p, []),
    "le_bundle_resolve_handle": (c_int, [c_char_p, c_char_p, c_size_t]),
    "le_bundle_resolve_member": (c_int, [c_char_p, c_char_p, c_char_p, c_size_t]),
    "le_create": (c_void_p, [c_char_p, c_char_p, c_int, c_char_p]),
    "le_destroy": (None, [c_void_p]),
    "le_nt": (c_int, [c_void_p]),
    "le_width": (c_int, [c_void_p]),
    "le_height": (c_int, [c_void_p]),
    "le_crop": (c_int, [c_void_p]),
    "le_drive_frames": (c_int, [c_void_p]),
    "le_target_frame": (c_void_p, [c_void_p, c_int]),
    "le_render_drive_crop": (c_void_p, [c_void_p, c_int]),
    "le_render_kp_rgba": (c_int, [c_void_p, c_int, c_void_p, c_void_p, c_void_p, c_size_t]),
    "le_render_drive_rgba": (c_int, [c_void_p, c_int, c_void_p, c_size_t]),
    "le_a2x_preload_w2v": (c_int, [c_char_p]),
    "le_a2x_last_error": (c_char_p, []),
    "le_utt_create": (c_void_p, [c_void_p, P(UttOpts)]),
    "le_utt_ready": (c_int, [c_void_p]),
    "le_utt_push_audio": (c_int, [c_void_p, c_void_p, c_int]),
    "le_utt_end_utterance": (None, [c_void_p]),
    "le_utt_interrupt": (None, [c_void_p]),
    "le_utt_frames_available": (c_int, [c_void_p]),
    "le_utt_pull_frame": (c_int, [c_void_p, c_void_p, c_size_t, P(UttFrameInfo)]),
    "le_utt_get_stats": (None, [c_void_p, P(UttStats)]),
    "le_utt_render_status": (c_int, [c_void_p, c_char_p, c_int, P(c_int)]),
    "le_utt_last_error": (c_char_p, []),
    "le_utt_destroy": (None, [c_void_p]),
}


def _bind(cdll, where):
    for name, (res, args) in _PROTOTYPES.items():
        try:
            fn = getattr(cdll, name)
        except AttributeError:
            raise ImportError("le_core: %s has no %s (a library older than this package?)"
                              % (where, name)) from None
        fn.restype, fn.argtypes = res, args
    return cdll


def _try(path, tried):
    try:
        return ctypes.CDLL(path)
    except OSError as e:
        tried.append("%s: %s" % (path, e))
        return None


def _load():
    """(CDLL, path it came from); ImportError naming every place looked at."""
    chosen = os.environ.get(ENV)
    if chosen:
        tried = []
        lib = _try(chosen, tried)
        if lib is None:
            raise ImportError("le_core: cannot load the library %s names (%s); unset it to look "
                              "beside the package and on the system's library path" % (ENV, tried[0]))
        return _bind(lib, chosen), chosen
    tried = ["%s: not set" % ENV]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = sorted(glob.glob(os.path.join(here, _SONAME + "*")), key=len)
    for path in beside:
        lib = _try(path, tried)
        if lib is not None:
            return _bind(lib, path), path
    if not beside:
        tried.append("beside the package: no %s in %s" % (_SONAME, here))
    name = ctypes.util.find_library("le_core") or _SONAME
    lib = _try(name, tried)
    if lib is not None:
        return _bind(lib, name), name
    raise ImportError("le_core: lible_core.so not found. Looked at\n  " + "\n  ".join(tried) +
                      "\n(set %s to the library, e.g. build/lible_core.so, or run `make python`)" % ENV)


lib, path = _load()


def last_error():
    return (lib.le_last_error() or b"").decode("utf-8", "replace")


def utt_last_error():
    return (lib.le_utt_last_error() or b"").decode("utf-8", "replace")


def fspath(p):
    """A path argument as bytes for the C interface."""
    b = os.fsencode(p)
    if b"\0" in b:
        raise ValueError("path holds a NUL byte: %r" % (p,))
    return b


def resolve_bundle(bundle):
    """The bundle directory of a path (a directory, or a container unwrapped on first use)."""
    out = ctypes.create_string_buffer(4096)
    if lib.le_bundle_resolve_handle(fspath(bundle), out, len(out)) != 1:
        raise Error(last_error() or "cannot resolve bundle %s" % os.fsdecode(bundle))
    return os.fsdecode(out.value)


def resolve_member(bundle_dir, member):
    """Path of a member the way the library finds it (older names included), or None."""
    out = ctypes.create_string_buffer(4096)
    r = lib.le_bundle_resolve_member(fspath(bundle_dir), member.encode(), out, len(out))
    if r < 0:
        raise Error(last_error())
    return os.fsdecode(out.value) if r == 1 else None


C_INT_MIN, C_INT_MAX = -(1 << 31), (1 << 31) - 1


def c_index(i):
    """An index for a C int argument. Past the int range it is out of range either
    way: -1 lets the library refuse it with its own message."""
    import operator
    i = operator.index(i)
    return i if C_INT_MIN <= i <= C_INT_MAX else -1


class Handle:
    """An owned native handle: calls run under one lock and never see a closed one."""

    def __init__(self, ptr, free, what):
        self._ptr, self._free, self._what = ptr, free, what
        self.lock = threading.RLock()

    def get(self):
        if self._ptr is None:
            raise Error("%s is closed" % self._what)
        return self._ptr

    @property
    def closed(self):
        return self._ptr is None

    def close(self):
        with self.lock:
            ptr, self._ptr = self._ptr, None
            if ptr is not None:
                self._free(ptr)


class Owner:
    """Context manager over an owned Handle in self._h; subclasses define close()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if hasattr(self, "_h"):
            self.close()

    @property
    def closed(self):
        return self._h.closed
