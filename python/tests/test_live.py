"""Live on the demo identity: speech pushed in comes back as speech frames in
sequence, then the ramp and idle frames; interrupts, closing and the sample
conversion."""
import itertools
import re

import numpy as np
import pytest

import le_core
from le_core.live import to_pcm16

from bundles import wav_samples

K = {le_core.FrameKind.IDLE: "i", le_core.FrameKind.SPEECH: "s", le_core.FrameKind.RAMP: "r"}


@pytest.fixture
def session(demo):
    with le_core.Session(demo) as s:
        yield s


def until_idle_after(live, kind, limit=400):
    """Frames up to and including the first idle frame after one of `kind`."""
    frames, seen = [], False
    while len(frames) < limit:
        f = live.pull(timeout=30)
        assert f is not None, "no frame within 30 s"
        frames.append(f)
        seen = seen or f.kind == kind
        if seen and f.kind == le_core.FrameKind.IDLE:
            return frames
    pytest.fail("no idle frame after %s within %d frames" % (kind, limit))


def test_speech_comes_back_in_sequence_then_ramp_then_idle(session, speech):
    pcm = wav_samples(speech)
    with le_core.Live(session, steady_model="-") as live:
        assert live.wait_ready(60)
        live.push(pcm[:5000])
        live.push(pcm[5000:].astype(np.float32) / 32768)  # floats continue the same speech
        live.end()
        frames = until_idle_after(live, le_core.FrameKind.RAMP)
        stats = live.stats()
    kinds = "".join(K[f.kind] for f in frames)
    assert re.fullmatch(r"i*s+r{6}i", kinds), kinds
    assert [f.sequence for f in frames] == list(range(len(frames)))
    # The face follows the driver video without a jump, through speech and ramp.
    assert all((b.driver_index - a.driver_index) % 40 == 1 for a, b in zip(frames, frames[1:]))
    speech_frames = [f for f in frames if f.kind == le_core.FrameKind.SPEECH]
    assert [f.speech_number for f in speech_frames] == list(range(-(-pcm.size // 640)))
    assert all(f.speech_number == -1 for f in frames if f.kind != le_core.FrameKind.SPEECH)
    assert all(f.image.shape == (720, 1280, 3) and f.image.dtype == np.uint8 for f in frames)
    assert stats["frames_delivered"] == len(frames)
    assert stats["speech_frames_delivered"] == len(speech_frames)
    assert stats["first_frames"] == 1 and stats["state"] == 0
    assert stats["render_failures"] == 0 and not stats["render_failed"]


def test_a_live_holds_the_session_until_it_or_the_session_closes(session):
    live = le_core.Live(session, steady_model="-")
    for call, message in ((lambda: session.render_drive(0), "le_render_drive_rgba: context in use by le_utt"),
                          (lambda: le_core.Live(session), "le_utt_create: context already drives a pipeline")):
        with pytest.raises(le_core.Error) as e:
            call()
        assert str(e.value) == message
    # Idle frames flow without any speech.
    assert [f.kind for f in itertools.islice(live, 3)] == [le_core.FrameKind.IDLE] * 3
    live.close()
    assert session.render_drive(0).shape == (720, 1280, 4)
    live = le_core.Live(session, steady_model="-")
    session.close()  # closes the live first
    for use in (lambda: live.push(np.zeros(10, np.int16)), lambda: live.pull(0), live.end, live.interrupt,
                live.stats, lambda: live.ready):
        with pytest.raises(le_core.Error, match="^live pipeline is closed$"):
            use()


def test_a_warm_up_failure_is_raised_with_the_engines_message(session, tmp_path):
    with le_core.Live(session, motion_dir=str(tmp_path)) as live:
        with pytest.raises(le_core.Error) as e:
            live.wait_ready(60)
    assert str(e.value) == "le_motion_create: cannot open %s/meta.json" % tmp_path


@pytest.mark.parametrize("samples, want", [
    (np.array([1.0, -1.0, 0.5, 1 / 32768, -0.75 / 32768, 2.0, -3.0]), [32767, -32768, 16384, 1, -1, 32767, -32768]),
    (np.array([0.0, 0.25], np.float32), [0, 8192]),
    (np.array([-32768, 32767, 5], np.int16), [-32768, 32767, 5]),
    ([3, -4], [3, -4]),
    ([], []),
])
def test_samples_become_int16(samples, want):
    got = to_pcm16(samples)
    assert got.dtype == np.int16 and got.tolist() == want


@pytest.mark.parametrize("samples, error", [
    (np.array([0.0, np.nan]), ValueError),
    (np.array([np.inf]), ValueError),
    (np.zeros((2, 640)), ValueError),
    (np.array([40000]), ValueError),
    (np.array(["a"]), TypeError),
])
def test_samples_that_cannot_be_speech_are_refused(samples, error):
    with pytest.raises(error):
        to_pcm16(samples)
