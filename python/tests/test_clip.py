"""render_clip on the stream bundle: an MP4 with one frame per 640 samples and
the speech as AAC, progress reported, le-render's failures raised unchanged."""
import json
import os
import sys
import types

import pytest

import le_core
from le_core.clip import find_le_render

from bundles import run, wav_samples


def probe(path):
    r = run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
             "stream=codec_type,codec_name,nb_read_frames,sample_rate,duration", "-of", "json", path])
    assert r.returncode == 0, r.stderr
    return {s["codec_type"]: s for s in json.loads(r.stdout)["streams"]}


def test_a_clip_is_written_with_its_speech(stream, speech, tmp_path, capsys):
    samples = wav_samples(speech).size
    frames = -(-samples // 640)
    out = str(tmp_path / "clip.mp4")
    assert le_core.render_clip(stream, speech, out, frontend=os.path.join(stream, "frontend.onnx")) == frames
    s = probe(out)
    assert int(s["video"]["nb_read_frames"]) == frames
    assert s["audio"]["codec_name"] == "aac" and int(s["audio"]["sample_rate"]) == 16000
    assert abs(float(s["audio"]["duration"]) - samples / 16000) < 0.07
    # Without tqdm the progress is a plain line, the last one complete.
    lines = [l for l in capsys.readouterr().err.splitlines() if l.startswith("render_clip: ")]
    assert lines and lines[-1].startswith("render_clip: %d/%d frames" % (frames, frames))


@pytest.mark.parametrize("case", ["not audio", "no bundle"])
def test_le_renders_failure_is_raised_unchanged_and_nothing_is_left(stream, speech, tmp_path, case):
    bundle, wav = stream, speech
    if case == "not audio":
        wav = str(tmp_path / "notes.wav")
        with open(wav, "w") as f:
            f.write("not audio at all")
    else:
        bundle = str(tmp_path / "nowhere")
    out = str(tmp_path / "x.mp4")
    r = run([find_le_render(), bundle, "-o", out, "--audio", wav, "-q"])
    assert r.returncode == 1
    want = r.stderr.strip().splitlines()[-1][len("le-render: "):]
    with pytest.raises(le_core.Error) as e:
        le_core.render_clip(bundle, wav, out, progress=False)
    assert str(e.value) == want
    assert not os.path.exists(out)


def test_progress_goes_to_tqdm_when_it_is_installed(stream, speech, tmp_path, monkeypatch):
    class Bar:
        def __init__(self, total, **kw):
            self.total, self.n, self.closed = total, 0, False
            bars.append(self)

        def update(self, k):
            self.n += k

        def close(self):
            self.closed = True

    bars = []
    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=Bar))
    monkeypatch.chdir(tmp_path)  # an output named like an option is still a file
    frames = le_core.render_clip(stream, speech, "-a.mp4", skip=3)
    assert [(b.total, b.n, b.closed) for b in bars] == [(frames, frames, True)]
    assert (tmp_path / "-a.mp4").stat().st_size > 0
