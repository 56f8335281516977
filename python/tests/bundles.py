"""Bundles and speech for the binding's tests, written by the fixture package
(tests/fixtures/lefix) into a directory once and reused while they are there.

    /usr/bin/python3 python/tests/bundles.py DIR   writes them all afresh (ctest's set-up step)
"""
import os
import shutil
import subprocess
import sys
import wave

import numpy as np

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
PYTHON = "/usr/bin/python3"


def _lefix(*args):
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tests", "fixtures"))
    subprocess.run([PYTHON, "-m", "lefix", *args], check=True, env=env, stdout=subprocess.DEVNULL)


def _once(path, write):
    if not os.path.exists(path):
        tmp = path + ".part"
        write(tmp)
        os.rename(tmp, path)
    return path


def demo(d):
    """The demo identity (1280 x 720, crop 256, 40 frames, speech models) as an IMX container."""
    return _once(os.path.join(d, "demo.imx"), lambda p: _lefix("demo", "--out", p, "--seconds", "1.6"))


def stream(d):
    """The demo identity with the whole-clip models (20 frames, two director keys)."""
    return _once(os.path.join(d, "stream"), lambda p: _lefix("stream", "--out", p, "--seconds", "0.8"))


def speech(d):
    """About 1.2 s of espeak-ng speech, 16 kHz mono 16-bit WAV."""
    return _once(os.path.join(d, "speech.wav"),
                 lambda p: _lefix("speech", "--out", p, "--text", "hello from python", "--lead", "0.1"))


def wav_samples(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), np.int16)


def decode_rgb(path, width, height):
    """Every frame of an image or video file as RGB24, N x H x W x 3."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                          "rgb24", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, height, width, 3)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


if __name__ == "__main__":
    # Written afresh each run, so a changed fixture writer is never served stale.
    shutil.rmtree(sys.argv[1], ignore_errors=True)
    os.makedirs(sys.argv[1])
    for write in (demo, stream, speech):
        write(sys.argv[1])
