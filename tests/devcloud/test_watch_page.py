#!/usr/bin/env python3
"""What a student sees: a 60 s lesson recorded by kx-record (virtual camera,
the unit's microphone from a private PulseAudio daemon) into a private
devcloud, watched at phone size in Debian's Chromium and Firefox ESR with
their default autoplay policy (tests/devcloud/watch_in_browsers.js).

The recording runs once, alone (a camera starved of CPU for 900 ms counts as
failed). The browsers then watch it as the class meets it:
  complete  the lesson as recorded and uploaded (both browsers);
  hole      a segment given up, marked by #EXT-X-DISCONTINUITY (Chromium);
  stopped   an upload that ended without its end mark (Chromium);
  growing   the upload replayed through the service at the pace the
            segments were recorded, the page opened 30 s in (both browsers).
Screenshots at 360x740 go to KX_SCREENSHOTS.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE = os.environ.get("KX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BIN = os.environ.get("KX_BIN_DIR") or os.path.join(SOURCE, "build", "bin")
SHOTS = os.environ.get("KX_SCREENSHOTS") or os.path.join(SOURCE, "build", "screenshots")
MODULES = os.path.join(SOURCE, "tools", "devcloud", "node_modules")
sys.path.insert(0, os.path.join(SOURCE, "tests", "netrelay"))
from test_devcloud import DevCloud  # noqa: E402

LESSON_S = 60
OPEN_AT_S = 30
BUCKET = "/storage/merio-bucket"


def wait_for(what, check, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.3)
    raise AssertionError("timed out after %d s waiting for %s" % (timeout, what))


def playlist(entries, end=True):
    """A playlist in the program's own form; None in entries marks a segment
    given up."""
    out = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:11\n#EXT-X-MEDIA-SEQUENCE:0\n"
    hole = False
    for entry in entries:
        if entry is None:
            hole = True
            continue
        out += ("#EXT-X-DISCONTINUITY\n" if hole else "") + "#EXTINF:%s,\n%s\n" % entry
        hole = False
    return out + ("#EXT-X-ENDLIST\n" if end else "")


class Classroom:
    """A classroom of the service, filled the way the program fills it."""

    def __init__(self, test, cloud, name, entries, end=True):
        self.test, self.cloud, self.name, self.versions, self.id = test, cloud, name, 0, ""
        self.upload(entries, end)
        self.url = cloud.url + "watch?id=" + self.id

    def record(self, kind, path):
        answer = self.cloud.form("/api/merioclass/merioclassroom", {"type": kind, "id": self.id, "path": path,
                                                                    "code": str(self.versions)})[1]
        self.test.assertTrue(answer["success"], answer)
        self.id = self.id or answer["data"].split("id=")[1].split("&")[0]

    def upload(self, entries, end=True):
        self.versions += 1
        path = "/MerioClass/%s/%d.m3u8" % (self.name, self.versions)
        self.test.assertEqual(200, self.cloud.request("PUT", BUCKET + path, playlist(entries, end))[0])
        self.record("1", path)

    def finish(self):
        self.test.assertTrue(self.cloud.form("/api/merioclass/sendsure", {"id": self.id})[1]["success"])


class WatchPage(unittest.TestCase):
    def test_students_watch_a_lesson_in_two_browsers(self):
        for tool in ("/usr/bin/chromium", "/usr/bin/firefox-esr", "node", "pulseaudio", "pactl",
                     MODULES + "/hls.js/dist/hls.min.js", MODULES + "/puppeteer-core/package.json"):
            self.assertTrue(shutil.which(tool) or os.path.isfile(tool), tool + " is missing (scripts/install-deps)")
        os.makedirs(SHOTS, exist_ok=True)
        for old in os.listdir(SHOTS):
            if old.startswith(("watch-", "failed-")):
                os.remove(os.path.join(SHOTS, old))
        work = tempfile.TemporaryDirectory(prefix="kx-watch-")
        self.addCleanup(work.cleanup)
        cloud = DevCloud()
        self.addCleanup(cloud.close)

        pulse = subprocess.Popen([os.path.join(SOURCE, "scripts", "unit-mic"), os.path.join(work.name, "pulse")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pulse.terminate(), pulse.wait(10)))
        env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(work.name, "pulse", "native"),
                   KX_VIRTUAL_CAMERA="default", HOME=work.name,
                   KX_VERSION_INI=os.path.join(work.name, "version.ini"))
        with open(env["KX_VERSION_INI"], "w") as f:
            f.write("[Cloud]\nServerUrl=%s\nRetryLimitMs=30000\n" % cloud.url)
        wait_for("the private PulseAudio daemon", lambda: subprocess.run(
            ["pactl", "info"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0, 20)

        recorder = subprocess.run([os.path.join(BIN, "kx-record"), "--seconds", str(LESSON_S), "--snapshots", "3",
                                   "--out", os.path.join(work.name, "out"), "--upload-wait", "90"],
                                  env=env, capture_output=True, timeout=300)
        self.assertEqual(0, recorder.returncode, recorder.stderr.decode(errors="replace")[-3000:])
        self.assertIn(b"uploads: all done", recorder.stdout)
        cid = list(cloud.admin("stats")["classrooms"])[-1]
        state = cloud.json("GET", "/watch/state?id=" + cid)[1]
        self.assertTrue(state["done"])
        snapshots = [r["path"] for r in cloud.admin("classroom", id=cid)["records"] if r["type"] == "2"]
        text = cloud.request("GET", BUCKET + state["playlist"].split(BUCKET, 1)[1])[1].decode()
        segments = re.findall(r"^#EXTINF:([\d.]+),\n(\S+)$", text, re.M)
        lengths = [float(d) for d, _ in segments]
        # A camera that delivers no frame for 900 ms counts as failed and ends
        # the recording early: on a machine starved of CPU, that is the cause.
        self.assertGreater(sum(lengths), LESSON_S - 2, recorder.stdout.decode(errors="replace") + "".join(
            ln + "\n" for ln in recorder.stderr.decode(errors="replace").splitlines() if "kx-record:" in ln))
        self.assertEqual(3, len(snapshots))

        # The fourth of six segments given up and marked.
        hole = Classroom(self, cloud, "hole", segments[:3] + [None] + segments[4:6])
        hole.finish()
        # Five segments, then nothing more: no end mark, no notice.
        stopped = Classroom(self, cloud, "stopped", segments[:5], end=False)

        plan = {"browsers": ["chromium", "firefox"], "screenshots": SHOTS,
                "profiles": os.path.join(work.name, "profiles"), "snapshots": len(snapshots),
                "before": {"chromium": ["complete", "hole", "stopped"], "firefox": ["complete"]},
                "complete": cloud.url + "watch?id=" + cid, "hole": hole.url,
                "holeAt": sum(lengths[:3]), "holeEnd": sum(lengths[:3]) + sum(lengths[4:6]),
                "stopped": stopped.url + "&quiet=8", "stoppedLength": sum(lengths[:5])}
        with open(os.path.join(work.name, "plan.json"), "w") as f:
            json.dump(plan, f)
        started = time.monotonic()
        driver = subprocess.Popen(["node", os.path.join(SOURCE, "tests", "devcloud", "watch_in_browsers.js"),
                                   os.path.join(work.name, "plan.json")],
                                  env=dict(env, NODE_PATH=MODULES), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        self.addCleanup(lambda: driver.poll() is None and (driver.kill(), driver.wait(10)))
        reports = []
        self.addCleanup(lambda: print("browser checks (%.0f s):" % (time.monotonic() - started), *reports,
                                      sep="\n", file=sys.stderr))
        lines = iter(driver.stdout.readline, "")
        watchdog = threading.Timer(400, driver.kill)
        watchdog.start()
        self.addCleanup(watchdog.cancel)

        def read_until(key):
            for line in lines:
                reports.append(line.rstrip())
                report = json.loads(line)
                self.assertNotEqual(False, report.get("ok"), report.get("error"))
                if report.get(key):
                    return report
            self.fail("the browsers' driver ended early (code %s)" % driver.wait(10))

        read_until("ready")
        # The upload again, at the pace its segments were recorded: each one
        # is listed once its recording time has passed.
        replay = time.monotonic()
        for n in range(1, len(segments) + 1):
            time.sleep(max(0.0, replay + sum(lengths[:n]) - time.monotonic()))
            if n == 1:
                growing = Classroom(self, cloud, "growing", segments[:1])
                for path in snapshots:
                    growing.record("2", path)
            else:
                growing.upload(segments[:n])
            if sum(lengths[:n]) <= OPEN_AT_S < sum(lengths[:n + 1]):
                time.sleep(max(0.0, replay + OPEN_AT_S - time.monotonic()))
                driver.stdin.write(growing.url + "\n")
                driver.stdin.flush()
        growing.finish()
        for line in lines:
            reports.append(line.rstrip())
            self.assertNotEqual(False, json.loads(line).get("ok"), line)
        self.assertEqual(0, driver.wait(30))
        done = {(r["browser"], r["scenario"]) for r in map(json.loads, reports) if r.get("ok")}
        self.assertEqual({("chromium", "complete"), ("chromium", "hole"), ("chromium", "stopped"),
                          ("chromium", "growing"), ("firefox", "complete"), ("firefox", "growing")}, done)


if __name__ == "__main__":
    unittest.main()
