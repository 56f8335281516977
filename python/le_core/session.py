"""Session: one opened bundle, frames rendered into numpy arrays."""
import ctypes
import os
import re
import stat

import numpy as np

from . import _native as n
from ._native import Error

KP_FLOATS = 63  # 21 keypoints of (x, y, z)


# Keys of directors that serve other roads, never the default: the whole-clip
# stream's "render" and the live pipeline's batch-24 chunk directors.
def _role_key(key):
    return key == "render" or key.startswith("b24_")


def only_model_key(bundle_dir):
    """The key of the one model_<key>.onnx of a bundle directory that is not a
    role key (render, b24_*), as le-render and le-live choose it."""
    try:
        names = os.listdir(bundle_dir)
    except OSError as e:
        # The key is only read at the first render: opening with none lets the
        # library say what is wrong with the bundle.
        ptr = n.lib.le_create(n.fspath(bundle_dir), b"", 0, None)
        if not ptr:
            raise Error(n.last_error()) from None
        n.lib.le_destroy(ptr)
        raise Error("cannot list %s: %s" % (bundle_dir, e.strerror)) from None
    keys = sorted(m.group(1) for m in (re.fullmatch(r"model_(.+)\.onnx", f) for f in names)
                  if m and not _role_key(m.group(1)))
    if len(keys) == 1:
        return keys[0]
    if not keys:
        raise Error("no director model_<key>.onnx in %s: name one with model=" % bundle_dir)
    raise Error("several director models in %s (%s): choose one with model=" % (bundle_dir, ", ".join(keys)))


def keypoint_row(rows, what):
    """63 finite float32 values from a 21 x 3 (or flat 63) keypoint set."""
    a = np.ascontiguousarray(rows, dtype=np.float32)
    if a.size != KP_FLOATS or a.shape not in ((KP_FLOATS,), (21, 3), (1, KP_FLOATS)):
        raise ValueError("%s: a keypoint set is 21 x 3 floats, got shape %s" % (what, a.shape))
    if not np.isfinite(a).all():
        raise ValueError("%s: keypoints must be finite" % what)
    return a.reshape(KP_FLOATS)


class Session(n.Owner):
    """One bundle (a directory or an IMX container) opened for a director model.

    model=None takes the bundle's only model_<key>.onnx; threads > 0 fixes the
    director's thread count (0: the library chooses). Frames come back as new
    numpy arrays that outlive the next call. One call runs at a time per
    session; sessions in different threads render concurrently.
    """

    def __init__(self, bundle, model=None, threads=0, ep=None):
        self.bundle_dir = n.resolve_bundle(bundle)
        self.model = only_model_key(self.bundle_dir) if model is None else str(model)
        ptr = n.lib.le_create(n.fspath(self.bundle_dir), self.model.encode(), n.c_index(threads),
                              ep.encode() if ep else None)
        if not ptr:
            raise Error(n.last_error())
        self._h = n.Handle(ptr, n.lib.le_destroy, "session")
        self._lives = []
        self._targets = None
        lib = n.lib
        self._nt, self._w, self._hgt = lib.le_nt(ptr), lib.le_width(ptr), lib.le_height(ptr)
        self._crop, self._frames = lib.le_crop(ptr), lib.le_drive_frames(ptr)

    def close(self):
        """Closes the live pipelines on this session, then the session itself."""
        with self._h.lock:  # no pipeline is created on it meanwhile
            for live in list(self._lives):
                live.close()
            self._h.close()

    def _get(self, value):
        with self._h.lock:
            self._h.get()
            return value

    nt = property(lambda self: self._get(self._nt), doc="driver frame count")
    width = property(lambda self: self._get(self._w), doc="frame width")
    height = property(lambda self: self._get(self._hgt), doc="frame height")
    crop = property(lambda self: self._get(self._crop), doc="side of the director's crop")
    drive_frames = property(lambda self: self._get(self._frames), doc="drive-table entries")

    def render_drive(self, i):
        """Drive-table entry i rendered and pasted: height x width x 4 uint8 (RGBA, alpha 255)."""
        out = np.empty((self._hgt, self._w, 4), np.uint8)
        with self._h.lock:
            if not n.lib.le_render_drive_rgba(self._h.get(), n.c_index(i), out.ctypes.data, out.nbytes):
                raise Error(n.last_error())
        return out

    def render_keypoints(self, rows, frame=0, source=None):
        """Driving keypoints rows (21 x 3) rendered on driver frame `frame`, RGBA as render_drive.

        source: the source keypoints; by default the bundle's target row of that frame.
        """
        kd = keypoint_row(rows, "rows")
        si = n.c_index(frame)
        ks = self._target_row(si) if source is None else keypoint_row(source, "source")
        out = np.empty((self._hgt, self._w, 4), np.uint8)
        with self._h.lock:
            if not n.lib.le_render_kp_rgba(self._h.get(), si, ks.ctypes.data, kd.ctypes.data,
                                           out.ctypes.data, out.nbytes):
                raise Error(n.last_error())
        return out

    def crop_drive(self, i):
        """The director's crop of drive-table entry i: crop x crop x 3 float32 (R, G, B)."""
        c = self._crop
        with self._h.lock:
            p = n.lib.le_render_drive_crop(self._h.get(), n.c_index(i))
            if not p:
                raise Error(n.last_error())
            planes = np.frombuffer((ctypes.c_float * (3 * c * c)).from_address(p), np.float32)
            return planes.reshape(3, c, c).transpose(1, 2, 0).copy()

    def target_frame(self, i):
        """Driver frame i as it is: height x width x 3 uint8 (RGB)."""
        out = np.empty((self._hgt, self._w, 3), np.uint8)
        with self._h.lock:
            p = n.lib.le_target_frame(self._h.get(), n.c_index(i))
            if not p:
                raise Error(n.last_error())
            ctypes.memmove(out.ctypes.data, p, out.nbytes)
        return out

    def _target_row(self, si):
        if self._targets is None:
            with self._h.lock:
                self._h.get()
            path = n.resolve_member(self.bundle_dir, "xs_target.bin")
            if path is None:
                raise Error("%s has no xs_target.bin: pass source= keypoints" % self.bundle_dir)
            want = self._nt * KP_FLOATS * 4
            st = os.stat(path)
            if not stat.S_ISREG(st.st_mode) or st.st_size != want:
                raise Error("%s is not a file of NT x 63 float32 (%d bytes)" % (path, want))
            t = np.fromfile(path, dtype="<f4", count=self._nt * KP_FLOATS)
            self._targets = t.astype(np.float32).reshape(self._nt, KP_FLOATS)
        if not 0 <= si < self._nt:
            return self._targets[0]  # the library refuses the frame index with its own message
        return self._targets[si]
