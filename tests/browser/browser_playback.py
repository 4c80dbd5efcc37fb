#!/usr/bin/env python3
"""Plays converted MP4 files in headless Chromium: a --for-web file shows its true picture size and its
currentTime advances; a pass-through MP4 (MPEG-4 Part 2 video) shows no picture, which is why --help says
browsers do not play it.

Usage: browser_playback.py GEN CLI WORKDIR. Exit 0 pass, 1 fail, 77 skipped (no chromium).
Chromium is driven over --remote-debugging-pipe, so the page is read when the video has played, on the
real clock (media playback does not follow headless virtual time)."""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
PLAY_SECONDS = 1.0  # currentTime must pass this
WAIT_SECONDS = 12  # for the page to report, in real time

PAGE = """<!DOCTYPE html><html><body><video id="v" muted playsinline></video></body></html>"""

# Resolves when the video has played PLAY_SECONDS, failed, or given up; never rejects.
PROBE = """new Promise(resolve => {
  const v = document.getElementById('v');
  const done = why => resolve({why, width: v.videoWidth, height: v.videoHeight, time: v.currentTime,
                               duration: v.duration, error: v.error ? v.error.code : 0});
  v.addEventListener('error', () => done('error'));
  v.addEventListener('timeupdate', () => { if (v.currentTime > %s) done('played'); });
  setTimeout(() => done('timeout'), %d);
  v.src = %s;
  v.play().catch(e => done('play refused: ' + e.name));
})"""


class Pipe:
    """Chromium's DevTools protocol over fds 3 (to it) and 4 (from it), messages ending in NUL."""

    def __init__(self, chromium, profile):
        to_read, self.to_write = os.pipe()
        self.from_read, from_write = os.pipe()
        # The child finds them at 3 and 4. dup2 makes its copy inheritable, except onto itself: so the ends
        # are first moved clear of 3 and 4.
        def arrange():
            read_end, write_end = os.dup(to_read), os.dup(from_write)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)
        self.proc = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--autoplay-policy=no-user-gesture-required", "--allow-file-access-from-files",
             "--user-data-dir=" + profile, "about:blank"],
            close_fds=False, preexec_fn=arrange,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_read)
        os.close(from_write)
        self.buffer = b""
        self.next_id = 0

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_write, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                # A browser that hangs fails the test instead of holding it until ctest's timeout.
                if not select.select([self.from_read], [], [], WAIT_SECONDS * 2)[0]:
                    raise RuntimeError("chromium did not answer " + method)
                chunk = os.read(self.from_read, 65536)
                if not chunk:
                    raise RuntimeError("chromium closed the pipe during " + method)
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(method + ": " + reply["error"].get("message", "?"))
                return reply["result"]

    def close(self):
        try:
            self.call("Browser.close")
        except RuntimeError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def play(pipe, page_url, video_name):
    target = pipe.call("Target.createTarget", {"url": page_url})["targetId"]
    session = pipe.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    # The page is probed once it is the document shown, fully loaded.
    loaded = "location.href === %s && document.readyState === 'complete'" % json.dumps(page_url)
    deadline = time.monotonic() + WAIT_SECONDS
    while not pipe.call("Runtime.evaluate", {"expression": loaded, "returnByValue": True},
                        session=session)["result"].get("value"):
        if time.monotonic() > deadline:
            raise RuntimeError("the page did not load: " + page_url)
        time.sleep(0.1)
    expression = PROBE % (PLAY_SECONDS, WAIT_SECONDS * 1000, json.dumps(video_name))
    result = pipe.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                            "returnByValue": True}, session=session)
    pipe.call("Target.closeTarget", {"targetId": target})
    return result["result"]["value"]


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(command), done.returncode, done.stderr))


def main():
    gen, cli, work = sys.argv[1:4]
    # The binary itself: Debian's wrapper script only adds flags from /etc/chromium.d.
    chromium = next((p for p in ("/usr/lib/chromium/chromium",) if os.access(p, os.X_OK)), None) or shutil.which("chromium")
    if not chromium:
        print("SKIPPED: no chromium on PATH (scripts/install-deps installs Debian's chromium)")
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # CH-01 at 352x288 and 10 fps with audio, CH-02 at 704x576 (5 fps) without: 4 s each.
    run([gen, "plan", "rec.qmv", "--channels", "0:2:40:0,1:4:20", "--seconds", "4", "--name", "WEB"], work)
    os.makedirs(os.path.join(work, "web"))
    os.makedirs(os.path.join(work, "plain"))
    run([cli, "convert", "rec.qmv", "--for-web", "--no-timestamps", "-o", "web"], work)
    run([cli, "convert", "rec.qmv", "--format", "mp4", "--no-timestamps", "-o", "plain"], work)
    with open(os.path.join(work, "page.html"), "w") as page:
        page.write(PAGE)
    cases = [  # file, expected size (None: no picture), must advance
        ("web/rec_00.mp4", (352, 288), True),
        ("web/rec_01.mp4", (704, 576), True),
        ("plain/rec_00.mp4", None, False),
    ]
    failures = []
    with tempfile.TemporaryDirectory(dir=work) as profile:
        pipe = Pipe(chromium, profile)
        try:
            for name, size, advances in cases:
                if not os.path.isfile(os.path.join(work, name)):
                    failures.append(name + ": not written")
                    continue
                seen = play(pipe, "file://" + os.path.join(work, "page.html"), "file://" + os.path.join(work, name))
                print("%s: %s" % (name, json.dumps(seen, sort_keys=True)))
                shown = (seen["width"], seen["height"]) if seen["width"] else None
                if shown != size:
                    failures.append("%s: picture %s, expected %s" % (name, shown, size))
                if advances and seen["why"] != "played":
                    failures.append("%s: did not play past %.1f s (%s)" % (name, PLAY_SECONDS, seen["why"]))
        finally:
            pipe.close()
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
