"""Live: the utterance pipeline (le_utt) of a session; speech in, frames out."""
import ctypes
import dataclasses
import enum
import math
import os
import time

import numpy as np

from . import _native as n
from ._native import Error

_PUSH_CHUNK = 1 << 24  # samples per native push; the C count is an int
_POLL_S = 0.001


class FrameKind(enum.IntEnum):
    IDLE = 0    # the driver frame as it is
    SPEECH = 1  # rendered from the speech
    RAMP = 2    # easing back to the driver pose


@dataclasses.dataclass(eq=False)
class LiveFrame:
    """A delivered frame: height x width x 3 uint8 (RGB) and its record."""
    image: np.ndarray
    sequence: int
    kind: FrameKind
    driver_index: int
    speech_number: int  # within its utterance; -1 for idle and ramp frames


def to_pcm16(samples):
    """Mono samples as int16: int16 as they are, floats in [-1, 1] scaled by 32768
    (rounded, clipped), other integers when they fit."""
    a = np.asarray(samples)
    if a.ndim != 1:
        raise ValueError("push wants mono samples in a 1-D array, got shape %s" % (a.shape,))
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if a.dtype.kind == "f":
        if not np.isfinite(a).all():
            raise ValueError("push: samples must be finite")
        return np.clip(np.rint(a.astype(np.float64) * 32768.0), -32768, 32767).astype(np.int16)
    if a.dtype.kind in "iu":
        if a.size and (a.min() < -32768 or a.max() > 32767):
            raise ValueError("push: integer samples must fit in 16 bits")
        return a.astype(np.int16)
    raise TypeError("push wants int16 or float samples, got %s" % a.dtype)


def _load_frontend(motion_dir, w2v):
    """Loads the streaming engine's frontend; nothing for a motion directory without one."""
    if n.resolve_member(motion_dir, "a2x_enc_stream.onnx") is None:
        return
    if w2v is None and not os.environ.get("W2V_ONNX"):
        local = os.path.join(motion_dir, "w2v", "w2v.onnx")
        w2v = local if os.path.isfile(local) else None
    if w2v is not None and n.lib.le_a2x_preload_w2v(n.fspath(w2v)) != 1:
        raise Error((n.lib.le_a2x_last_error() or b"").decode("utf-8", "replace"))


class Live(n.Owner):
    """The live pipeline on a session: push speech at any pace, iterate over frames.

    Frames keep coming while nobody speaks (the driver video), so iteration
    does not end by itself; take what you need (itertools.islice) or pull().
    Options are those of le_utt_opts; motion_dir defaults to the bundle. The
    streaming engine's audio frontend is w2v, else $W2V_ONNX, else
    w2v/w2v.onnx of the motion directory (the first one loaded stays for the
    process). While a Live is open the session's own render calls are refused.
    """

    def __init__(self, session, *, motion_dir=None, threads=0, ep=None, steady_model=None, eager=0,
                 gap_s=0.0, ramp_frames=0, interrupt_ramp_frames=0, w2v=None):
        if not math.isfinite(gap_s):
            raise ValueError("gap_s must be finite")
        motion_dir = session.bundle_dir if motion_dir is None else os.fsdecode(motion_dir)
        _load_frontend(motion_dir, w2v)
        keep = [n.fspath(motion_dir),
                ep.encode() if ep else None, steady_model.encode() if steady_model else None]
        opts = n.UttOpts(keep[0], n.c_index(threads), keep[1], keep[2], n.c_index(eager), float(gap_s),
                         n.c_index(ramp_frames), n.c_index(interrupt_ramp_frames))
        self._session = session
        self._shape = (session.height, session.width, 3)
        with session._h.lock:
            ptr = n.lib.le_utt_create(session._h.get(), ctypes.byref(opts))
            if not ptr:
                raise Error(n.utt_last_error())
            self._h = n.Handle(ptr, n.lib.le_utt_destroy, "live pipeline")
            session._lives.append(self)

    def close(self):
        """Stops the pipeline; the session can render again afterwards."""
        self._h.close()
        if self in self._session._lives:
            self._session._lives.remove(self)

    def _call(self, fn, *args):
        with self._h.lock:
            return fn(self._h.get(), *args)

    @property
    def ready(self):
        """True once the audio engine is warm; Error when its warm-up failed."""
        r = self._call(n.lib.le_utt_ready)
        if r < 0:
            raise Error(n.utt_last_error())
        return r == 1

    def wait_ready(self, timeout=None):
        """Waits for the audio engine; False when timeout seconds passed first."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self.ready:
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(_POLL_S)
        return True

    def push(self, samples):
        """Appends mono 16 kHz speech (int16, or floats in [-1, 1]) of any length."""
        pcm = to_pcm16(samples)
        for start in range(0, max(pcm.size, 1), _PUSH_CHUNK):
            part = pcm[start:start + _PUSH_CHUNK]
            if not self._call(n.lib.le_utt_push_audio, part.ctypes.data, part.size):
                raise Error(n.utt_last_error())

    def end(self):
        """Marks the end of the current utterance: the face eases back to the driver."""
        self._call(n.lib.le_utt_end_utterance)

    def interrupt(self):
        """Drops waiting speech and undelivered frames and eases back from the last frame pulled."""
        self._call(n.lib.le_utt_interrupt)

    @property
    def frames_available(self):
        return self._call(n.lib.le_utt_frames_available)

    def pull(self, timeout=None):
        """The next frame, waiting up to timeout seconds (None: for ever); None on timeout."""
        out = np.empty(self._shape, np.uint8)
        info = n.UttFrameInfo()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self._call(n.lib.le_utt_pull_frame, out.ctypes.data, out.nbytes, ctypes.byref(info)):
                return LiveFrame(out, int(info.sequence), FrameKind(info.kind), int(info.driver_index),
                                 int(info.speech_number))
            err = n.utt_last_error()
            if err:
                raise Error(err)
            if deadline is not None and time.monotonic() >= deadline:
                return None
            time.sleep(_POLL_S)

    def __iter__(self):
        while True:
            yield self.pull()

    def stats(self):
        """Delivery counts, latency and render time, pipeline state and render failures."""
        s = n.UttStats()
        msg = ctypes.create_string_buffer(1024)
        failures = ctypes.c_int(0)
        with self._h.lock:
            p = self._h.get()
            n.lib.le_utt_get_stats(p, ctypes.byref(s))
            status = n.lib.le_utt_render_status(p, msg, len(msg), ctypes.byref(failures))
        d = {name: getattr(s, name) for name, _ in n.UttStats._fields_}
        d.update(render_failures=failures.value, render_failed=status < 0,
                 render_message=msg.value.decode("utf-8", "replace"))
        return d
