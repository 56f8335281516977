"""render_clip: a whole WAV spoken by a bundle into an MP4 with the speech muxed in.

The clip goes through le-render (the library's own tool: le_stream for the
frames, libavformat for the MP4), so nothing native is added here. le-render is
looked for beside the loaded library (its directory, tools/ under it, ../bin)
and then on PATH.
"""
import os
import re
import shutil
import subprocess
import sys

from . import _native as n
from ._native import Error

_PROGRESS = re.compile(r"le-render: (\d+)/(\d+) frames +([0-9.]+) fps")
_WROTE = re.compile(r"le-render: wrote .*: (\d+) frames of")
_PREFIX = "le-render: "


def find_le_render():
    here = os.path.dirname(os.path.abspath(n.path)) if os.sep in n.path else None
    places = [] if here is None else [here, os.path.join(here, "tools"), os.path.join(here, os.pardir, "bin")]
    for d in places:
        exe = os.path.join(d, "le-render")
        if os.path.isfile(exe) and os.access(exe, os.X_OK):
            return os.path.normpath(exe)
    exe = shutil.which("le-render")
    if exe:
        return exe
    raise Error("le-render not found beside %s or on PATH: it writes the clip's MP4" % n.path)


class _Bar:
    """tqdm when it is installed, otherwise a plain line at each update."""

    def __init__(self, enabled):
        self.enabled, self.bar, self.total = enabled, None, None

    def update(self, done, total, fps):
        if not self.enabled:
            return
        if self.total is None:
            self.total = total
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit="frame", desc="render_clip")
            except ImportError:
                pass
        if self.bar is not None:
            self.bar.update(done - self.bar.n)
            return
        print("render_clip: %d/%d frames  %.1f frames/s" % (done, total, fps), file=sys.stderr, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _arg(path):
    """A path as le-render's argument: one starting with '-' would read as an option."""
    p = os.fsdecode(n.fspath(path))
    return os.path.join(".", p) if p.startswith("-") else p


def _command(exe, bundle, wav_path, out_path, frontend, gain, skip, threads):
    cmd = [exe, _arg(bundle), "-o", _arg(out_path), "--audio", _arg(wav_path)]
    if frontend is not None:
        cmd += ["--frontend", _arg(frontend)]
    if gain != 1.0:
        cmd += ["--gain", repr(float(gain))]
    if skip:
        cmd += ["--skip", str(int(skip))]
    if threads:
        cmd += ["--threads", str(int(threads))]
    return cmd


def render_clip(bundle, wav_path, out_path, progress=True, *, frontend=None, gain=1.0, skip=0, threads=0):
    """Speaks wav_path (any audio file FFmpeg reads) with the bundle into out_path (H.264 + AAC).

    The bundle holds model_render.onnx, fca_stream.onnx and frontend.onnx (or
    frontend= names the speech frontend model). Returns the frames written.
    A failure raises Error with le-render's message and leaves no half-written
    MP4 behind.
    """
    cmd = _command(find_le_render(), bundle, wav_path, out_path, frontend, gain, skip, threads)
    existed = os.path.exists(out_path)
    bar, lines, frames = _Bar(progress), [], None
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, errors="replace")
    try:
        for line in proc.stderr:
            line = line.rstrip("\n")
            m = _PROGRESS.match(line)
            if m:
                bar.update(int(m.group(1)), int(m.group(2)), float(m.group(3)))
                continue
            m = _WROTE.match(line)
            if m:
                frames = int(m.group(1))
            lines.append(line)
        rc = proc.wait()
    except BaseException:
        proc.kill()
        proc.wait()
        if not existed and os.path.exists(out_path):
            os.remove(out_path)
        raise
    finally:
        proc.stderr.close()
        bar.close()
    if rc != 0:
        failure = [l for l in lines if l.startswith(_PREFIX)]
        msg = failure[-1][len(_PREFIX):] if failure else "le-render exited with status %d" % rc
        raise Error(msg)
    if frames is None:
        raise Error("le-render reported no frames written")
    return frames
