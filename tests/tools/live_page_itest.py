#!/usr/bin/python3
"""The live page in a real browser: le-live --serve on a free loopback port with
the demo identity, Debian's chromium headless through chromedriver. The stream
shows changing frames; Speak draws a mouth unlike any idle one; Interrupt cuts
a long sentence; bad bodies get their 4xx, shell text is spoken, not run; a
viewer that stops reading holds nothing up; a taken port is refused; the page
asks no other host; SIGINT ends the server with 130. Exit 77 only when
chromium cannot start here."""
import argparse, json, os, select, shutil, signal, socket, subprocess, sys, tempfile, time
import urllib.error, urllib.request

# Gray grids drawn from the live image in the page: whole frame, demo mouth.
SAMPLE_JS = """
const img = document.getElementById('stream');
if (!img || !img.complete || !img.naturalWidth) return null;
return arguments[0].map(([x, y, w, h, gw, gh]) => {
  const c = document.createElement('canvas'); c.width = gw; c.height = gh;
  const g = c.getContext('2d');
  g.drawImage(img, x * img.naturalWidth, y * img.naturalHeight, w * img.naturalWidth, h * img.naturalHeight, 0, 0, gw, gh);
  const d = g.getImageData(0, 0, gw, gh).data, out = [];
  for (let i = 0; i < d.length; i += 4) out.push((d[i] + d[i + 1] + d[i + 2]) / 3);
  return out;
});"""
GRIDS = [(0.0, 0.0, 1.0, 1.0, 32, 18), (0.46, 0.53, 0.09, 0.10, 24, 16)]


class Failure(Exception):
    pass


def check(cond, what):
    if not cond: raise Failure(what)


def wait_for(what, fn, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if v := fn():
            return v
        time.sleep(0.05)
    raise Failure(f"{what}: not within {timeout} s")


def diff(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def post(url, body):
    """(status, text) of a POST with the content type the page sends."""
    kind = "audio/wav" if url.endswith("/audio") else "text/plain; charset=utf-8"
    req = urllib.request.Request(url, data=body, method="POST", headers={"Content-Type": kind})
    try:
        with urllib.request.urlopen(req, timeout=30) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def start_server(exe, bundle, work):
    err = open(os.path.join(work, "server.err"), "w+")
    proc = subprocess.Popen([exe, "--serve", "127.0.0.1:0", bundle], stdout=subprocess.PIPE, stderr=err, cwd=work)
    line, end = b"", time.monotonic() + 90
    while not line.endswith(b"\n") and time.monotonic() < end and proc.poll() is None:
        if select.select([proc.stdout], [], [], 1)[0]:
            line += os.read(proc.stdout.fileno(), 1) or b"\n"
    check(line.startswith(b"serving http://127.0.0.1:") and line.endswith(b"/\n"), f"start line {line!r}")
    return proc, err, line.decode().split()[1]


def start_browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--window-size=1180,700",
              "--disable-background-networking", "--disable-component-update", "--mute-audio"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    try:
        return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=opts)
    except Exception as e:  # noqa: BLE001 - any failure to start is a skip
        print(f"SKIP: chromium cannot start here: {str(e).splitlines()[0] if str(e) else type(e).__name__}")
        sys.exit(77)


def run(d, base, port, exe, bundle, work, screenshot):
    text = lambda i: d.find_element("id", i).text
    number = lambda i: int(text(i).split()[0]) if text(i).split() and text(i).split()[0].isdigit() else -1
    sample = lambda: (lambda g: g and (g[0], g[1], text("kind")))(d.execute_script(SAMPLE_JS, GRIDS))

    def speak(words):
        d.execute_script("arguments[0].value = arguments[1];", d.find_element("id", "text"), words)
        d.find_element("id", "speak").click()
        wait_for("the kind 'speech'", lambda: text("kind") == "speech", 15)
        check(text("status").startswith("speaking "), "status after Speak: " + text("status"))
        return float(text("status").split()[1])

    stalled = socket.create_connection(("127.0.0.1", port))  # asks for the stream, never reads it
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.sendall(b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n")
    d.get(base)
    first = wait_for("the first frame", sample, 20)
    wait_for("the image changing", lambda: diff(first[0], sample()[0]) > 0.3, 5)
    wait_for("frames per second", lambda: number("fps") > 2, 20)
    check(number("fps") <= 32, "not paced at 25 a second: " + text("fps"))
    idle, t0 = [], time.monotonic()
    while (len(idle) < 11 or time.monotonic() - t0 < 2.5) and time.monotonic() - t0 < 30:
        if (s := sample())[2] == "idle":
            idle.append(s[1])
        time.sleep(0.02)
    check(len(idle) >= 11, "too few idle frames")
    novelty = lambda m: min(diff(m, i) for i in idle)
    before = number("speech-frames")
    speak("Hello there! How are you today? I am a drawn face, speaking.")
    novel, end = [], time.monotonic() + 2
    while time.monotonic() < end:
        if (s := sample())[2] == "speech":
            novel.append(novelty(s[1]))
        time.sleep(0.02)
    wait_for("speech frames in the figures", lambda: number("speech-frames") > before, 10)
    wait_for("the kind back to idle", lambda: text("kind") == "idle", 20)
    later = []
    for _ in range(10):
        later.append(novelty(sample()[1]))
        time.sleep(0.1)
    check(novel and max(novel) > max(3.0, 2 * max(later)), f"mouth: speaking {max(novel, default=0):.2f}, idle {max(later):.2f}")
    seconds = speak("This is a long sentence that goes on and on, so that there is plenty of time to cut it off "
                    "before it ends, and then more words, and even more words after those, to make sure it lasts.")
    t = time.monotonic()
    d.find_element("id", "interrupt").click()
    wait_for("the kind back to idle", lambda: text("kind") == "idle", 10)
    check(time.monotonic() - t < seconds - 3, "the interrupt did not cut the sentence short")
    frames = number("speech-frames")
    time.sleep(1.5)
    check(number("speech-frames") == frames, "speech frames kept coming after the interrupt")
    marker = os.path.join(work, "made-by-a-shell")
    wav = os.path.join(work, "hello.wav")
    subprocess.run(["espeak-ng", "-w", wav, "Hi."], check=True)
    big = b"a" * (10 * 1024 * 1024 + 1)
    for path, body, want, reason in [("audio", big, 413, "larger than 10 MB"), ("speak", big, 413, "larger than 10 MB"),
                                     ("audio", b"plain text", 415, "not a WAV"), ("speak", b"", 400, "no text"),
                                     ("audio", open(wav, "rb").read(), 200, "speaking"),
                                     ("speak", f"$(touch {marker}) `touch {marker}`".encode(), 200, "speaking"),
                                     ("interrupt", b"", 200, "")]:
        status, answer = post(base + path, body)
        check(status == want and reason in answer, f"POST /{path}: {status} {answer.strip()!r}, wanted {want}")
    check(not os.path.exists(marker), "the spoken text ran as a command")
    check(post(base + "no-such-page", b"")[0] == 404, "an unknown page answered")
    wait_for("the stalled viewer let go", lambda: number("viewers") == 1, 20)
    second = subprocess.run([exe, "--serve", base.split("//")[1].rstrip("/"), bundle], capture_output=True, text=True,
                            timeout=60)
    check(second.returncode == 1 and "cannot listen on" in second.stderr, "a second server on the same port")
    messages = [json.loads(e["message"])["message"] for e in d.get_log("performance")]
    urls = [m["params"]["request"]["url"] for m in messages if m.get("method") == "Network.requestWillBeSent"]
    check(len(urls) >= 3 and all(u.startswith(base) for u in urls), f"the page asked other hosts: {urls}")
    if screenshot:
        speak("Hello! This face is drawn by le_core, live in your browser.")
        time.sleep(0.6)
        d.save_screenshot(screenshot)
    stalled.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--le-live", required=True)
    ap.add_argument("--fixtures", required=True)
    ap.add_argument("--screenshot")
    a = ap.parse_args()
    exe = os.path.abspath(a.le_live)
    with tempfile.TemporaryDirectory(prefix="le-live-page-") as work:
        bundle = os.path.join(work, "demo.imx")
        subprocess.run([sys.executable, "-m", "lefix", "demo", "--out", bundle, "--seconds", "1.6"], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=a.fixtures))
        driver, proc, err = start_browser(), None, None
        try:
            proc, err, base = start_server(exe, bundle, work)
            run(driver, base, int(base.rsplit(":", 1)[1].strip("/")), exe, bundle, work, a.screenshot)
            proc.send_signal(signal.SIGINT)
            check(proc.wait(20) == 130, f"exit status {proc.returncode} after SIGINT, wanted 130")
            err.seek(0)
            check("stopped serving" in err.read(), "no closing line")
        except (Failure, subprocess.TimeoutExpired) as e:
            print("FAIL:", e)
            if err:
                err.seek(0)
                print("server log:", err.read()[-2000:])
            return 1
        finally:
            driver.quit()
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
    print("ok: the live page streams, speaks, interrupts and refuses bad input")
    return 0


if __name__ == "__main__":
    sys.exit(main())
