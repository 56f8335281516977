"""Session against the demo identity and the stream bundle: frames byte for byte
equal to le-render's, the library's messages unchanged, closed sessions refused."""
import os
import threading

import numpy as np
import pytest

import le_core
from le_core.clip import find_le_render

from bundles import decode_rgb, run

N = 6  # frames compared with le-render


@pytest.fixture(scope="module")
def session(demo):
    with le_core.Session(demo) as s:
        yield s


def le_render_stills(bundle, tmp_path, *args):
    """Frames 0 .. N-1 of le-render as its PNG stills decode (RGB24)."""
    stills = str(tmp_path / "stills")
    r = run([find_le_render(), bundle, "-o", str(tmp_path / "x.mp4"), "--frames", str(N), "--png-every", "1",
             stills, "-q", *args])
    assert r.returncode == 0, r.stderr
    return [decode_rgb(os.path.join(stills, "frame_%06d.png" % k), 1280, 720)[0] for k in range(N)]


def test_drive_frames_equal_le_render(session, demo, tmp_path):
    assert (session.nt, session.width, session.height, session.crop, session.drive_frames) == (40, 1280, 720, 256, 40)
    want = le_render_stills(demo, tmp_path)
    # Out of order, so a frame is not just the cursor's next one.
    for k in (3, 0, 5, 1, 4, 2):
        got = session.render_drive(k)
        assert got.shape == (720, 1280, 4) and got.dtype == np.uint8
        assert np.array_equal(got[..., :3], want[k]), "frame %d" % k
        assert (got[..., 3] == 255).all()


def test_keypoint_renders_equal_le_render(session, demo, tmp_path):
    targets = np.fromfile(os.path.join(session.bundle_dir, "xs_target.bin"), "<f4").reshape(-1, 21, 3)
    rng = np.random.default_rng(7)
    rows = targets[:N].copy()
    rows[:, 17:21, :2] += rng.uniform(-0.05, 0.05, (N, 4, 2)).astype(np.float32)  # the lips move
    (tmp_path / "rows.f32").write_bytes(rows.astype("<f4").tobytes())
    want = le_render_stills(demo, tmp_path, "--keypoints", str(tmp_path / "rows.f32"))
    for k in (4, 0, 2):
        got = session.render_keypoints(rows[k], frame=k)
        assert np.array_equal(got[..., :3], want[k]), "frame %d" % k
    # The default source row is the frame's target row; the flat form is the same set.
    assert np.array_equal(session.render_keypoints(rows[2].reshape(63), frame=2, source=targets[2]), got)


def test_crop_is_the_renderers_planes_as_rows_columns_channels(session):
    prior = np.fromfile(os.path.join(session.bundle_dir, "P.f16"), "<f2").reshape(40, 3, 256, 256)
    for i in (0, 22):  # mouth shut: the director hands back the source crop
        crop = session.crop_drive(i)
        assert crop.shape == (256, 256, 3) and crop.dtype == np.float32
        assert np.abs(crop - prior[i].transpose(1, 2, 0)).mean() < 0.01
        assert np.abs(crop - prior[i].transpose(2, 1, 0)).mean() > 0.05  # rows and columns swapped


def test_results_are_copies_that_outlive_the_next_calls(session):
    results = session.render_drive(9), session.target_frame(9), session.crop_drive(9)
    kept = [r.copy() for r in results]
    for k in range(10, 40):  # past every buffer the library keeps
        session.target_frame(k)
    session.render_drive(30), session.crop_drive(30)
    assert all(np.array_equal(r, k) for r, k in zip(results, kept))
    assert np.array_equal(results[0], session.render_drive(9))
    # The mouth opens at frame 9: the render differs from the driver frame there.
    assert (results[0][..., :3] != results[1]).any()


@pytest.mark.parametrize("call, message", [
    (lambda s: s.render_drive(40), "le_render_drive_crop: bad frame index"),
    (lambda s: s.render_drive(1 << 40), "le_render_drive_crop: bad frame index"),
    (lambda s: s.crop_drive(40), "le_render_drive_crop: bad frame index"),
    (lambda s: s.target_frame(-1), "le_target_frame: bad args"),
    (lambda s: s.render_keypoints(np.zeros((21, 3)), frame=40, source=np.zeros(63)), "le_render_kp_crop: bad args"),
])
def test_library_messages_pass_through_unchanged(session, call, message):
    with pytest.raises(le_core.Error) as e:
        call(session)
    assert str(e.value) == message


@pytest.mark.parametrize("bundle, message", [
    ("two keys", "several director models in {dir} (a, b): choose one with model="),
    ("missing", None),
])
def test_opening_fails_with_a_message(tmp_path, bundle, message):
    path = str(tmp_path / "nowhere")
    if bundle == "two keys":
        # The roads' own directors (render, b24_*) never count as a choice.
        path = str(tmp_path / "two")
        os.mkdir(path)
        for key in ("a", "b", "render", "b24_fp32"):
            open(os.path.join(path, "model_%s.onnx" % key), "wb").close()
    with pytest.raises(le_core.Error) as e:
        le_core.Session(path)
    if message:
        assert str(e.value) == message.format(dir=path)
    else:
        assert str(e.value).startswith("le_create: ") and "nowhere" in str(e.value)


@pytest.mark.parametrize("call, error", [
    (lambda s: s.render_keypoints(np.zeros((20, 3))), ValueError),
    (lambda s: s.render_keypoints(np.full((21, 3), np.nan)), ValueError),
    (lambda s: s.render_keypoints(np.zeros(63), source=np.full(63, np.inf)), ValueError),
    (lambda s: s.render_drive(1.0), TypeError),
])
def test_arguments_are_checked_before_the_call(session, call, error):
    with pytest.raises(error):
        call(session)


USES = [lambda s: s.nt, lambda s: s.width, lambda s: s.height, lambda s: s.crop, lambda s: s.drive_frames,
        lambda s: s.render_drive(0), lambda s: s.crop_drive(0), lambda s: s.target_frame(0),
        lambda s: s.render_keypoints(np.zeros(63)), lambda s: le_core.Live(s)]


def test_a_closed_session_raises_instead_of_crashing(demo):
    s = le_core.Session(demo)
    s.render_drive(0)
    s.close()
    s.close()  # twice is harmless
    for use in USES:
        with pytest.raises(le_core.Error, match="^session is closed$"):
            use(s)


def test_two_sessions_in_two_threads_render_what_one_does_alone(demo):
    with le_core.Session(demo) as s:
        alone = [s.render_drive(k) for k in range(8)]
    got, errors = {}, []

    def work(name, order):
        try:
            with le_core.Session(demo, threads=1) as s:
                got[name] = {k: s.render_drive(k) for k in order}
        except Exception as e:  # reported below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=("a", range(8))),
               threading.Thread(target=work, args=("b", reversed(range(8))))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for name in "ab":
        for k in range(8):
            assert np.array_equal(got[name][k], alone[k]), (name, k)
