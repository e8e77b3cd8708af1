#!/usr/bin/env python3
"""The program against the real share server: kx-record (virtual camera, the
unit's microphone from a private PulseAudio daemon) records and uploads a
lesson with its upload token, on SQLite and on PostgreSQL (a cluster the test
starts); what a student's phone then fetches from the server is checked. A
wrong token shares nothing."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import pgcluster
from serverproc import SOURCE, ServerProcess

BIN = os.environ.get("KX_BIN_DIR") or os.path.join(SOURCE, "build", "bin")


class ProgramAgainstServer(unittest.TestCase):
    def setUp(self):
        for tool in ("pulseaudio", "pactl", os.path.join(BIN, "kx-record")):
            self.assertTrue(shutil.which(tool) or os.path.isfile(tool), tool + " is missing")
        self.work = tempfile.TemporaryDirectory(prefix="kx-server-e2e-")
        self.addCleanup(self.work.cleanup)
        pulse_dir = os.path.join(self.work.name, "pulse")
        pulse = subprocess.Popen([os.path.join(SOURCE, "scripts", "unit-mic"), pulse_dir],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pulse.terminate(), pulse.wait(10)))
        self.env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(pulse_dir, "native"),
                        KX_VIRTUAL_CAMERA="default", HOME=self.work.name, TMPDIR=self.work.name,
                        KX_VERSION_INI=os.path.join(self.work.name, "version.ini"))
        deadline = time.monotonic() + 20
        while subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            self.assertLess(time.monotonic(), deadline, "the private PulseAudio daemon did not start")
            time.sleep(0.3)

    def record(self, srv, token):
        with open(self.env["KX_VERSION_INI"], "w") as f:
            f.write("[Cloud]\nServerUrl=%s\nUploadToken=%s\nRetryLimitMs=20000\n" % (srv.url, token))
        done = subprocess.run([os.path.join(BIN, "kx-record"), "--seconds", "8", "--snapshots", "1", "--json",
                               "--out", os.path.join(self.work.name, "out"), "--upload-wait", "60"],
                              env=self.env, capture_output=True, timeout=200)
        self.stderr = done.stderr.decode(errors="replace")
        self.assertEqual(0, done.returncode, self.stderr[-3000:])
        return json.loads(done.stdout)["recordings"][0]

    def check_lesson(self, srv):
        lesson = self.record(srv, srv.token)
        self.assertTrue(lesson["upload_done"], lesson)
        if lesson["upload_failed"]:
            self.fail("%s\n%s\n%s" % (lesson, "\n".join(ln for ln in self.stderr.splitlines()
                                                      if "fail" in ln.lower() or "error" in ln.lower()),
                                      srv.stop()[-3000:]))
        match = re.search(r"%swatch\?id=(\d{30,})" % re.escape(srv.url), lesson["share_text"])
        self.assertTrue(match, lesson["share_text"])
        state = json.loads(srv.request("GET", "/watch/state?id=" + match.group(1), token=False)[1])
        self.assertGreaterEqual(len(state["snapshots"]), 1, state)
        # The stored playlist, as a player that follows the share fetches it
        # (whether the completion notice got out before kx-record ended is
        # the program's business, not the server's).
        st, text, headers = srv.request("GET", state["playlist"][len(srv.url) - 1:], token=False)
        segments = re.findall(r"^(/\S+\.ts)$", text.decode(), re.M)
        self.assertEqual((st, len(segments), headers["Cache-Control"]), (200, lesson["segments"], "no-cache"), text)
        self.assertTrue(text.decode().rstrip().endswith("#EXT-X-ENDLIST"), text)
        self.assertEqual(srv.request("GET", "/watch/live.m3u8?id=" + match.group(1), token=False)[0], 200)
        for seg in segments:
            st, body, headers = srv.request("GET", seg, token=False)
            self.assertEqual((st, headers["Content-Type"], body[:1]), (200, "video/mp2t", b"G"), seg)
        for url in state["snapshots"]:
            self.assertEqual(srv.request("GET", url[len(srv.url) - 1:], token=False)[0], 200, url)

    def test_sqlite(self):
        srv = ServerProcess(os.path.join(self.work.name, "data"))
        self.addCleanup(srv.stop)
        self.check_lesson(srv)
        # With a wrong token nothing is shared.
        lesson = self.record(srv, "not-" + srv.token)
        self.assertNotIn("watch?id=", lesson["share_text"])
        self.assertEqual(lesson["segments"], 0, lesson)

    @unittest.skipIf(pgcluster.available(), pgcluster.available())
    def test_postgresql(self):
        cluster = pgcluster.Cluster()
        self.addCleanup(cluster.close)
        srv = ServerProcess(os.path.join(self.work.name, "data"), "--database", cluster.url)
        self.addCleanup(srv.stop)
        self.check_lesson(srv)


if __name__ == "__main__":
    unittest.main(verbosity=2)
