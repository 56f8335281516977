#!/usr/bin/python3
"""The live page in a real browser: le-live --serve on a free loopback port
with the demo identity, Debian's chromium headless through chromedriver.

Checks: the stream shows frames that are not blank and keep changing; Speak
gives speech frames in the figures and a mouth unlike any idle one; Interrupt
brings the kind back to ramp or idle well before the sentence would end; a
WAV chosen in the page plays; the page asks nothing of any other host;
refused bodies get a 4xx with a reason, shell text is spoken, not run; a
viewer that stops reading holds nothing up; SIGINT ends the server (130).

Exit 77 (skipped) only when chromium cannot start here.
"""
import argparse
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
# Coarse gray grids sampled from the live image, in the page: the whole
# frame, and the mouth of the demo face (fractions of the frame).
WHOLE = (0.0, 0.0, 1.0, 1.0, 32, 18)
MOUTH = (0.46, 0.53, 0.09, 0.10, 24, 16)

SAMPLE_JS = """
const img = document.getElementById('stream');
if (!img || !img.complete || !img.naturalWidth) return null;
const W = img.naturalWidth, H = img.naturalHeight;
const out = [];
for (const [x, y, w, h, gw, gh] of arguments[0]) {
  const c = document.createElement('canvas');
  c.width = gw; c.height = gh;
  const g = c.getContext('2d');
  g.drawImage(img, x * W, y * H, w * W, h * H, 0, 0, gw, gh);
  const d = g.getImageData(0, 0, gw, gh).data;
  const grid = [];
  for (let i = 0; i < d.length; i += 4) grid.push((d[i] + d[i + 1] + d[i + 2]) / 3);
  out.push(grid);
}
return out;
"""


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def wait_for(what, fn, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = fn()
        if v:
            return v
        time.sleep(0.05)
    raise Failure(f"{what}: not within {timeout} s")


def mean_abs(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def spread(a):
    m = sum(a) / len(a)
    return (sum((x - m) ** 2 for x in a) / len(a)) ** 0.5


class Server:
    """le-live --serve on a free port; stop() sends SIGINT and wants 130."""

    def __init__(self, exe, bundle, workdir):
        self.err = open(os.path.join(workdir, "server.err"), "w+")
        self.proc = subprocess.Popen([os.path.abspath(exe), "--serve", "127.0.0.1:0", bundle], stdout=subprocess.PIPE,
                                     stderr=self.err, cwd=workdir)
        self.wait_for_address()

    def wait_for_address(self):
        line = b""
        end = time.monotonic() + 90
        while not line.endswith(b"\n"):
            left = end - time.monotonic()
            check(left > 0 and self.proc.poll() is None, "le-live --serve did not print its address: " + self.log())
            if select.select([self.proc.stdout], [], [], left)[0]:
                b = os.read(self.proc.stdout.fileno(), 1)
                check(b, "le-live --serve ended before listening: " + self.log())
                line += b
        text = line.decode()
        check(text.startswith("serving http://127.0.0.1:") and text.endswith("/\n"), "start line: " + text)
        self.url = text.split()[1]
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def log(self):
        self.err.seek(0)
        return self.err.read()[-2000:]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure("le-live --serve still ran 20 s after SIGINT")
        return self.proc.returncode


def post(url, body, timeout=30):
    """(status, text) of a POST."""
    req = urllib.request.Request(url, data=body, method="POST")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def start_browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        raise Failure(f"python3-selenium is missing ({e}): scripts/install-deps.sh installs it")
    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
              "--window-size=1180,700", "--disable-background-networking", "--disable-component-update",
              "--disable-default-apps", "--disable-sync", "--mute-audio"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    try:
        return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                options=opts)
    except Exception as e:  # noqa: BLE001 - any failure to start is a skip
        print(f"SKIP: chromium cannot start here: {str(e).splitlines()[0] if str(e) else type(e).__name__}")
        sys.exit(SKIP)


class Page:
    def __init__(self, driver, url):
        self.d = driver
        self.d.get(url)

    def text(self, id_):
        return self.d.find_element("id", id_).text

    def click(self, id_):
        self.d.find_element("id", id_).click()

    def number(self, id_):
        t = self.text(id_)
        return int(t) if t.isdigit() else -1

    def sample(self):
        """(whole grid, mouth grid, kind shown) or None before the first frame."""
        grids = self.d.execute_script(SAMPLE_JS, [WHOLE, MOUTH])
        return None if grids is None else (grids[0], grids[1], self.text("kind"))

    def set_text(self, text):
        box = self.d.find_element("id", "text")
        box.clear()
        self.d.execute_script("arguments[0].value = arguments[1];", box, text)


def stream_shows_frames(page):
    first = wait_for("the first frame", page.sample, 20)
    check(spread(first[0]) > 5, f"the image is blank (spread {spread(first[0]):.2f})")
    changes = []
    for _ in range(12):
        time.sleep(0.15)
        s = page.sample()
        changes.append(mean_abs(first[0], s[0]))
    check(max(changes) > 0.3, f"the image does not change (largest change {max(changes):.3f})")
    wait_for("frames per second in the figures", lambda: page.number("fps") > 2, 20)
    # Paced at 25 a second (a little more while catching up), not as fast as
    # the pipeline can go.
    check(page.number("fps") <= 32, "frames per second: " + page.text("fps"))


def idle_mouths(page, seconds, least=11, limit=30.0):
    """Idle mouth samples over at least `seconds`, longer on a busy machine
    until `least` of them are in (at most `limit` seconds)."""
    mouths = []
    start = time.monotonic()
    while True:
        elapsed = time.monotonic() - start
        if (elapsed >= seconds and len(mouths) >= least) or elapsed >= limit:
            break
        s = page.sample()
        if s[2] == "idle":
            mouths.append(s[1])
        time.sleep(0.02)
    check(len(mouths) >= least, f"only {len(mouths)} idle samples in {limit:.0f} s")
    return mouths


def novelty(mouth, idle):
    return min(mean_abs(mouth, m) for m in idle)


def speaking_moves_the_mouth(page, idle):
    before = page.number("speech-frames")
    page.set_text("Hello there! How are you today? I am a drawn face, speaking.")
    page.click("speak")
    wait_for("the kind 'speech'", lambda: page.text("kind") == "speech", 15)
    check(page.text("status").startswith("speaking "), "status after Speak: " + page.text("status"))
    novel = []
    end = time.monotonic() + 2.0
    while time.monotonic() < end:
        s = page.sample()
        if s[2] == "speech":
            novel.append(novelty(s[1], idle))
        time.sleep(0.02)
    wait_for("speech frames in the figures", lambda: page.number("speech-frames") > before, 10)
    wait_for("a first-frame latency", lambda: page.text("latency").endswith("utterances)"), 5)
    wait_for("the kind back to idle after the sentence", lambda: page.text("kind") == "idle", 20)
    # The rendered speaking mouth is unlike every idle one, by far more than
    # idle frames seen later differ from the first ones.
    later = [novelty(m, idle) for m in idle_mouths(page, 1.0)]
    print(f"mouth difference from idle: speaking {max(novel, default=0):.2f}, idle later {max(later):.2f}")
    check(novel and max(novel) > max(3.0, 2 * max(later)),
          f"the mouth does not change while speaking (largest difference {max(novel, default=0):.2f}, "
          f"idle frames later {max(later):.2f})")


def interrupt_cuts_the_speech(page):
    page.set_text("This is a long sentence that goes on and on, so that there is plenty of time to cut it off "
                  "before it ends, and then some more words, and even more words after those, and a few more to "
                  "make quite sure that it lasts a good while longer than the interrupt takes.")
    page.click("speak")
    wait_for("the kind 'speech'", lambda: page.text("kind") == "speech", 15)
    status = page.text("status")
    check(status.startswith("speaking "), "status after Speak: " + status)
    seconds = float(status.split()[1])
    check(seconds > 12, f"the long sentence lasts only {seconds} s")
    t = time.monotonic()
    page.click("interrupt")
    wait_for("'interrupted'", lambda: page.text("status") == "interrupted", 5)
    # The frames in flight when it came (a chunk of the director's batch, on a
    # busy machine) still go; then the ramp.
    wait_for("the kind back to ramp or idle", lambda: page.text("kind") in ("ramp", "idle"), 10)
    check(time.monotonic() - t < seconds - 3, "the interrupt did not cut the sentence short")
    wait_for("the kind back to idle", lambda: page.text("kind") == "idle", 10)
    frames = page.number("speech-frames")
    time.sleep(1.5)
    check(page.number("speech-frames") == frames, "speech frames kept coming after the interrupt")


def wav_from_the_page(page, workdir):
    wav = os.path.join(workdir, "hello.wav")  # espeak-ng's own rate: the server resamples
    subprocess.run(["espeak-ng", "-w", wav, "Hello from a file."], check=True)
    before = page.number("speech-frames")
    page.d.find_element("id", "wav").send_keys(wav)
    page.click("send-wav")
    wait_for("status 'speaking' after Play WAV", lambda: page.text("status").startswith("speaking "), 10)
    wait_for("speech frames of the WAV", lambda: page.number("speech-frames") > before, 20)
    wait_for("the kind back to idle", lambda: page.text("kind") == "idle", 20)


def refusals(base, workdir):
    """Each bad request gets its status and a reason in text."""
    wav = os.path.join(workdir, "hello.wav")
    good = open(wav, "rb").read()
    marker = os.path.join(workdir, "made-by-a-shell")
    cases = [
        ("/audio", b"\0" * (10 * 1024 * 1024 + 1), 413, "larger than 10 MB"),
        ("/speak", b"a" * (10 * 1024 * 1024 + 1), 413, "larger than 10 MB"),
        ("/audio", b"plain text, not audio", 415, "not a WAV"),
        ("/audio", b"", 415, "not a WAV"),
        ("/audio", good[:12] + b"\x01" * 200, 400, ""),
        ("/speak", b"", 400, "no text"),
        ("/speak", b" \n\t ", 400, "no text"),
        ("/speak", b"a" * 501, 400, "at most 500"),
        ("/speak", "é".encode() * 500, 200, "speaking"),
        ("/speak", b"\xff\xfe bad", 400, "not UTF-8"),
        ("/speak", b"bell \x07", 400, "control characters"),
        ("/speak", f"$(touch {marker}); rm -rf x `touch {marker}` | touch {marker}".encode(), 200, "speaking"),
        ("/speak", f"-w {marker}".encode(), 200, "speaking"),
    ]
    for path, body, want, reason in cases:
        status, text = post(base + path.lstrip("/"), body)
        check(status == want, f"POST {path} ({len(body)} bytes): {status} {text.strip()!r}, wanted {want}")
        check(reason in text and text.strip(), f"POST {path}: no reason in {text!r}")
    check(not os.path.exists(marker), "the spoken text ran as a command")
    status, text = post(base + "interrupt", b"")
    check(status == 200, "interrupt after the refusals")
    try:
        urllib.request.urlopen(base + "no-such-page", timeout=10)
        raise Failure("an unknown page answered 200")
    except urllib.error.HTTPError as e:
        check(e.code == 404 and "no such page" in e.read().decode(), "an unknown page")


def stalled_viewer(port):
    """A viewer that asks for the stream and never reads it."""
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
    return s


def only_the_server(driver, base):
    """Every request the page made went to the server."""
    import json
    urls = driver.execute_script("return performance.getEntriesByType('navigation').concat("
                                 "performance.getEntriesByType('resource')).map(e => e.name);")
    for entry in driver.get_log("performance"):
        msg = json.loads(entry["message"])["message"]
        if msg.get("method") == "Network.requestWillBeSent":
            urls.append(msg["params"]["request"]["url"])
    check(len(urls) >= 3, f"too few requests seen: {urls}")
    strangers = [u for u in urls if not u.startswith(base)]
    check(not strangers, f"the page asked other hosts: {strangers}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--le-live", required=True)
    ap.add_argument("--fixtures", required=True)
    ap.add_argument("--screenshot", help="where to save a screenshot of the page while it speaks")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="le-live-page-") as work:
        bundle = os.path.join(work, "demo.imx")
        subprocess.run([sys.executable, "-m", "lefix", "demo", "--out", bundle, "--seconds", "1.6"], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=a.fixtures))
        driver = start_browser()
        server = second = None
        try:
            server = Server(a.le_live, bundle, work)
            stalled = stalled_viewer(server.port)
            # The port is taken: a second server must say so, not share it.
            second = subprocess.Popen([os.path.abspath(a.le_live), "--serve", f"127.0.0.1:{server.port}", bundle],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            page = Page(driver, server.url)
            stream_shows_frames(page)
            idle = idle_mouths(page, 2.5)
            speaking_moves_the_mouth(page, idle)
            interrupt_cuts_the_speech(page)
            wav_from_the_page(page, work)
            before = int(page.text("frames").split()[0])
            refusals(server.url, work)
            # Still streaming: the figures advance and the image changes.
            wait_for("the frame count advancing after the refusals",
                     lambda: int(page.text("frames").split()[0]) > before + 25, 10)
            stream_shows_frames(page)
            # The viewer that stopped reading was let go; the page still streams.
            wait_for("the stalled viewer let go", lambda: page.number("viewers") == 1, 20)
            second.wait(60)
            check(second.returncode == 1 and f"cannot listen on 127.0.0.1:{server.port}" in second.stderr.read(),
                  "a second server on the same port did not fail")
            only_the_server(driver, server.url)
            if a.screenshot:
                page.set_text("Hello! This face is drawn by le_core, live in your browser.")
                page.click("speak")
                wait_for("speech for the screenshot", lambda: page.text("kind") == "speech", 15)
                time.sleep(0.6)
                driver.save_screenshot(a.screenshot)
            stalled.close()
            rc = server.stop()
            check(rc == 130, f"le-live --serve exit status {rc} after SIGINT, wanted 130: {server.log()}")
            check("stopped serving" in server.log(), "no closing line: " + server.log())
        except Failure as e:
            print("FAIL:", e)
            if server:
                print("server log:", server.log())
            return 1
        finally:
            driver.quit()
            if second and second.poll() is None:
                second.kill()
                second.wait()
            if server:
                try:
                    server.stop()
                except Failure:
                    pass
    print("ok: the live page streams, speaks, interrupts and refuses bad input")
    return 0


if __name__ == "__main__":
    sys.exit(main())
