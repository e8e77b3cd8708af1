#!/usr/bin/env python3
"""What a student sees: a lesson recorded by kx-record (virtual camera, the
unit's microphone from a private PulseAudio daemon) into a private devcloud,
watched in headless Chromium while it is "still uploading" (no completion
notice; the test registers first a one-segment playlist, then the whole one).
It must play through hls.js past 2 s, take up the grown playlist, show the
snapshots and turn complete on the notice. Screenshots go to KX_TEST_OUT.
"""

import base64
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

SOURCE = os.environ.get("KX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BIN = os.environ.get("KX_BIN_DIR") or os.path.join(SOURCE, "build", "bin")
OUT = os.environ.get("KX_TEST_OUT") or tempfile.mkdtemp(prefix="kx-watch-out-")
sys.path.insert(0, os.path.join(SOURCE, "tests", "netrelay"))
from test_devcloud import DevCloud  # noqa: E402


def wait_for(what, check, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.3)
    raise AssertionError("timed out after %d s waiting for %s" % (timeout, what))


class Chromium:
    """Headless Chromium on the DevTools protocol over a pipe (requests on
    its fd 3, answers on its fd 4, each message ended by a NUL byte)."""

    def __init__(self, profile):
        to_child, self.w = os.pipe()
        self.r, from_child = os.pipe()
        hi = [os.dup(fd) for fd in (to_child, from_child)]  # out of the way of 3 and 4
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync", "--mute-audio",
             "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile,
             "--remote-debugging-pipe", "about:blank"],
            close_fds=False, preexec_fn=lambda: (os.dup2(hi[0], 3), os.dup2(hi[1], 4)),
            stdout=subprocess.DEVNULL, stderr=open(profile + ".log", "wb"))
        for fd in hi + [to_child, from_child]:
            os.close(fd)
        self.buf, self.next_id, self.session = b"", 0, None
        page = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=page, flatten=True)["sessionId"]

    def call(self, method, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            msg["sessionId"] = self.session
        os.write(self.w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            while b"\0" in self.buf:
                m, self.buf = self.buf.split(b"\0", 1)
                answer = json.loads(m)
                if answer.get("id") == self.next_id:  # events and the rest pass by
                    assert "error" not in answer, "%s: %s" % (method, answer)
                    return answer["result"]
            if select.select([self.r], [], [], 1)[0]:
                chunk = os.read(self.r, 65536)
                assert chunk, "chromium ended"
                self.buf += chunk
        raise AssertionError("no answer to " + method)

    def eval(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def close(self):
        self.proc.kill()
        self.proc.wait(10)
        os.close(self.w)
        os.close(self.r)


PAGE_STATE = ("(b => JSON.stringify({state: b.dataset.state, player: b.dataset.player, played: +b.dataset.played,"
              " error: b.dataset.lastError, duration: document.getElementById('lesson').duration, snapshots:"
              " [...document.querySelectorAll('#snapshots img')].filter(i => i.naturalWidth > 0).length}))"
              "(document.body)")


class WatchPage(unittest.TestCase):
    def test_student_watches_a_lesson_while_it_uploads(self):
        for tool in ("chromium", "pulseaudio", "pactl", SOURCE + "/tools/devcloud/node_modules/hls.js/dist/hls.min.js"):
            self.assertTrue(shutil.which(tool) or os.path.isfile(tool), tool + " is missing (scripts/install-deps)")
        os.makedirs(OUT, exist_ok=True)
        work = tempfile.TemporaryDirectory(prefix="kx-watch-")
        self.addCleanup(work.cleanup)
        cloud = DevCloud()
        self.addCleanup(cloud.close)
        # No completion notice gets through, so the lesson stays "uploading"
        # for as long as the test needs; the test sends it itself at the end.
        cloud.admin("fault", path="api/merioclass/sendsure", kind="fail", count=-1)

        pulse = subprocess.Popen([os.path.join(SOURCE, "scripts", "unit-mic"), os.path.join(work.name, "pulse")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pulse.terminate(), pulse.wait(10)))
        env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(work.name, "pulse", "native"),
                   KX_VIRTUAL_CAMERA="default", HOME=work.name,
                   KX_VERSION_INI=os.path.join(work.name, "version.ini"))
        with open(env["KX_VERSION_INI"], "w") as f:
            f.write("[Cloud]\nServerUrl=%s\n" % cloud.url)
        wait_for("the private PulseAudio daemon", lambda: subprocess.run(
            ["pactl", "info"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0, 20)

        recorder = subprocess.run([os.path.join(BIN, "kx-record"), "--seconds", "16", "--snapshots", "2",
                                   "--out", os.path.join(work.name, "out"), "--upload-wait", "60"],
                                  env=env, capture_output=True, timeout=200)
        self.assertEqual(0, recorder.returncode, recorder.stderr.decode(errors="replace")[-3000:])
        self.assertIn(b"uploads: all done", recorder.stdout)
        cid = list(cloud.admin("stats")["classrooms"])[-1]
        full = cloud.json("GET", "/watch/state?id=" + cid)[1]
        self.assertFalse(full["done"])
        snapshots = sum(r["type"] == "2" for r in cloud.admin("classroom", id=cid)["records"])
        # A camera that delivers no frame for 900 ms counts as failed and ends
        # the recording early: on a machine starved of CPU, that is the cause.
        self.assertGreaterEqual(snapshots, 2, recorder.stdout.decode(errors="replace") + "".join(
            ln + "\n" for ln in recorder.stderr.decode(errors="replace").splitlines() if "kx-record:" in ln))

        # The upload as the page meets it: first a playlist of the first
        # segment only, then (while it plays) the whole one.
        playlist_path = urllib.parse.unquote(full["playlist"].split("/storage/merio-bucket", 1)[1])
        text = cloud.request("GET", "/storage/merio-bucket" + playlist_path)[1].decode()
        segments = re.findall(r"^#EXTINF:([\d.]+),\n(\S+)$", text, re.M)
        lengths = [float(d) for d, _ in segments]
        self.assertGreaterEqual(len(lengths), 3, text)
        partial = text.split("#EXTINF:")[0] + "#EXTINF:%s,\n%s\n#EXT-X-ENDLIST\n" % segments[0]
        self.assertEqual(200, cloud.request("PUT", "/storage/merio-bucket/MerioClass/part/part.m3u8", partial)[0])

        def register(path, kind="1"):
            answer = cloud.form("/api/merioclass/merioclassroom", {"type": kind, "id": cid, "path": path,
                                                                   "code": "9"})[1]
            self.assertTrue(answer["success"])
            return re.search(r"id=(\d+)", answer["data"]).group(1)
        # The service keeps the longest playlist a classroom was given: the
        # growing upload is played in a classroom of its own, with the
        # recording's snapshots.
        recorded = cloud.admin("classroom", id=cid)["records"]
        cid = ""
        cid = register("/MerioClass/part/part.m3u8")
        for r in recorded:
            if r["type"] == "2":
                register(r["path"], "2")
        full["live"] = "watch/live.m3u8?id=" + cid
        live = cloud.request("GET", "/" + full["live"])[1]
        self.assertIn(b"#EXT-X-PLAYLIST-TYPE:EVENT", live)
        self.assertNotIn(b"#EXT-X-ENDLIST", live)
        self.assertEqual(1, live.count(b"#EXTINF"))

        browser = Chromium(os.path.join(work.name, "profile"))
        self.addCleanup(browser.close)
        browser.call("Page.navigate", url=cloud.url + "watch?id=" + cid)
        last = []
        self.addCleanup(lambda: print("last page state:", last, "\nthe page's requests:", *(
            "%.1f-%s %s %s" % (e["time"], e.get("end"), e["path"], e["status"]) for e in cloud.admin("journal")
            if e["path"].startswith("watch/")), sep="\n", file=sys.stderr))

        def page(accept):
            view = json.loads(browser.eval(PAGE_STATE) or "{}")
            last[:] = [view]
            return view.get("played") is not None and accept(view) and view
        seen = wait_for("playback past 2 s", lambda: page(lambda s: s["played"] >= 2), 90)
        self.assertEqual("hls.js", seen["player"])
        self.assertEqual("live", seen["state"])
        self.assertLess(seen["duration"], sum(lengths) - 2.0)  # the first segment's worth

        register(playlist_path)
        wait_for("the grown playlist on the page", lambda: page(lambda s: s["duration"] > sum(lengths) - 1.0), 60)
        cloud.admin("reset")
        self.assertTrue(cloud.form("/api/merioclass/sendsure", {"id": cid})[1]["success"])
        wait_for("the complete lesson on the page",
                 lambda: page(lambda s: s["state"] == "complete" and s["snapshots"] == snapshots), 60)
        self.assertIn(b"#EXT-X-ENDLIST", cloud.request("GET", "/" + full["live"])[1])

        for name, width, height, mobile in (("desktop", 1280, 900, False), ("phone", 390, 844, True)):
            browser.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                         mobile=mobile)
            with open(os.path.join(OUT, "watch-%s.png" % name), "wb") as f:
                f.write(base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"]))


if __name__ == "__main__":
    unittest.main()
