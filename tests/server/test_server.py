#!/usr/bin/env python3
"""norvimerio-server as a school runs it: a real process on loopback with
SQLite; restarts, the upload token, bad input, retention."""

import json
import os
import socket
import sqlite3
import stat
import subprocess
import tempfile
import time
import unittest

from serverproc import ServerProcess, upload_lesson


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kx-server-")
        self.data = os.path.join(self.tmp.name, "data")
        self.servers = []
        self.mounted = None

    def tearDown(self):
        for s in self.servers:
            s.stop()
        if self.mounted:
            subprocess.run(["umount", self.mounted], timeout=30)
        self.tmp.cleanup()

    def start(self, *extra, port=None):
        srv = ServerProcess(self.data, *extra, port=port)
        self.servers.append(srv)
        return srv

    def test_lessons_outlive_restarts_and_ids_are_unguessable(self):
        srv = self.start()
        self.assertIn("[Cloud] UploadToken=" + srv.token, "".join(srv.printed))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.data, "upload-token")).st_mode), 0o600)
        lessons = [upload_lesson(srv, "L%d" % n) for n in range(3)]
        self.assertEqual(len(set(lessons)), 3)
        for cid in lessons:
            self.assertGreaterEqual(int(cid).bit_length(), 80)  # random: 100 bits, rarely below 80
        seg = os.path.join(self.data, "storage", "merio-bucket", "MerioClass", "L0", "k.001.ts")
        self.assertEqual(stat.S_IMODE(os.stat(seg).st_mode), 0o640)
        before = [json.loads(srv.request("GET", "/watch/state?id=" + c, token=False)[1]) for c in lessons]
        srv.stop(kill=True)  # what was acknowledged survives even a kill

        again = self.start(port=srv.port)
        self.assertEqual(again.token, srv.token)
        self.assertNotIn("UploadToken", "".join(again.printed))
        for cid, old in zip(lessons, before):
            st, body, headers = again.request("GET", "/watch/state?id=" + cid, token=False)
            self.assertEqual((st, json.loads(body)), (200, old))
            self.assertTrue(old["done"])
            self.assertIn("/MerioClass/%s/k.m3u8" % ("L%d" % lessons.index(cid)), old["playlist"])
            self.assertEqual(len(old["snapshots"]), 1)
            page = again.request("GET", "/watch?id=" + cid, token=False)[1].decode()
            self.assertIn(old["playlist"].replace("&", "&amp;"), page)
        # Segments are immutable and served in ranges; playlists never cached.
        st, body, headers = again.request("GET", "/MerioClass/L1/k.002.ts", headers={"Range": "bytes=2-4"},
                                          token=False)
        self.assertEqual((st, body), (206, b"2TS"))
        self.assertIn("immutable", headers["Cache-Control"])
        st, body, headers = again.request("GET", "/watch/live.m3u8?id=" + lessons[1], token=False)
        self.assertEqual((st, headers["Cache-Control"]), (200, "no-cache"))
        self.assertIn("#EXT-X-ENDLIST", body.decode())
        # A new lesson after the restart gets an id of its own.
        self.assertNotIn(upload_lesson(again, "L9"), lessons)

    def test_refusals(self):
        srv = self.start("--body-limit-mib", "1")
        cid = upload_lesson(srv)
        os.makedirs(os.path.join(self.data, "storage", "merio-bucket", "M"))
        os.symlink(self.tmp.name, os.path.join(self.data, "storage", "merio-bucket", "M", "link"))
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        bearer = "Bearer " + srv.token
        rows = [
            # method, path, body, headers, token, status
            ("GET", "/api/bucket/bucket?type=merioclass", None, {}, False, 401),
            ("GET", "/api/bucket/bucket?type=merioclass", None, {}, "Bearer x" + srv.token, 401),
            ("GET", "/api/bucket/bucket?type=merioclass", None, {}, bearer.lower(), 401),
            ("GET", "/api/bucket/bucket?type=merioclass", None, {}, "Basic " + srv.token, 401),
            ("PUT", "/storage/merio-bucket/MerioClass/X/a.ts", b"x", {}, False, 401),
            ("POST", "/api/merioclass/sendsure", "id=" + cid, form, False, 401),
            ("GET", "/api/bucket/bucket?type=merioclass", None, {}, True, 200),
            ("HEAD", "/", None, {}, False, 200),
            ("POST", "/api/merioclass/merioclassroom", "type=9&id=", form, True, 400),
            ("POST", "/api/merioclass/merioclassroom", b"type=1&id=\xff", form, True, 400),
            ("POST", "/api/action/report", "{\"actions\": [", {"Content-Type": "application/json"}, True, 400),
            ("POST", "/api/action/report", "{\"actions\": 3}", {"Content-Type": "application/json"}, True, 400),
            ("POST", "/api/action/report", "[1]", {"Content-Type": "application/json"}, True, 400),
            ("POST", "/api/action/report", "x" * (2 << 20), {"Content-Type": "application/json"}, True, 413),
            ("PUT", "/storage/merio-bucket/MerioClass/X/big.ts", b"x" * ((1 << 20) + 1), {}, True, 413),
            ("PUT", "/storage/other-bucket/MerioClass/X/a.ts", b"x", {}, True, 403),
            ("PUT", "/storage/merio-bucket/../../escape.ts", b"x", {}, True, 403),
            ("PUT", "/storage/merio-bucket/%2e%2e/%2e%2e/escape.ts", b"x", {}, True, 403),
            ("PUT", "/storage/merio-bucket/M/link/escape.ts", b"x", {}, True, 403),
            ("GET", "/storage/merio-bucket/M/link/" + os.path.basename(self.data) + "/upload-token",
             None, {}, False, 403),
            ("PUT", "/storage/merio-bucket/MerioClass/L/k.001.ts/below.ts", b"x", {}, True, 409),
            ("PUT", "/storage/merio-bucket/MerioClass/L", b"x", {}, True, 409),
            ("GET", "/storage/merio-bucket/MerioClass/L/none.ts", None, {}, False, 404),
            ("GET", "/watch/state?id=123", None, {}, False, 404),
            ("GET", "/watch/state?id=../../x", None, {}, False, 404),
            ("GET", "/no/such/thing", None, {}, False, 404),
        ]
        for method, path, body, headers, token, status in rows:
            st, answer, got = srv.request(method, path, body, headers, token=token)
            self.assertEqual(st, status, (method, path, answer[:100]))
            if st >= 400 and method != "HEAD":
                self.assertEqual(answer.count(b"\n"), 0, path)
                self.assertFalse(json.loads(answer)["success"], path)
        self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "escape.ts")))
        # Unknown classrooms: refused in the program's terms, a readable page for students.
        for path in ("/api/merioclass/merioclassroom", "/api/merioclass/sendsure"):
            self.assertEqual(srv.form(path, {"type": "1", "id": "4242"}), (200, {"success": False,
                                                                              "message": "no such classroom"}))
        st, page, headers = srv.request("GET", "/watch?id=4242", token=False)
        self.assertEqual(st, 404)
        self.assertIn(b"This lesson is not here", page)
        # A truncated upload leaves nothing behind, not even a temporary file.
        folder = os.path.join(self.data, "storage", "merio-bucket", "MerioClass", "L")
        listing = sorted(os.listdir(folder))
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as s:
            s.sendall(("PUT /storage/merio-bucket/MerioClass/L/cut.ts HTTP/1.1\r\nHost: x\r\n"
                       "Authorization: %s\r\nContent-Length: 1000\r\n\r\nonly part" % bearer).encode())
        # A client that stops in the middle of its request is let go.
        with socket.create_connection(("127.0.0.1", srv.port), timeout=30) as s:
            s.sendall(b"GET /watch/state?id=1 HTTP/1.1\r\nHost: x\r\nX-Half")
            self.assertEqual(s.recv(100), b"")  # closed after the idle time, never answered
        deadline = time.monotonic() + 10
        while sorted(os.listdir(folder)) != listing and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(sorted(os.listdir(folder)), listing)
        # Malformed requests get an answer, and the server lives on.
        for bad in (b"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", b"GARBAGE\r\n\r\n"):
            self.assertRegex(srv.raw(bad)[:12], rb"^HTTP/1\.[01] 400")
        self.assertEqual(srv.request("GET", "/watch/state?id=" + cid, token=False)[0], 200)
        log = srv.stop()
        self.assertNotIn(srv.token, log)
        self.assertNotIn("Traceback", log)

    def test_a_full_disk_refuses_and_leaves_nothing_half_written(self):
        os.makedirs(self.data)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.data],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a small file system here (needs root)")
        self.mounted = self.data
        srv = self.start("--database", "sqlite:///" + os.path.join(self.tmp.name, "server.db"))
        folder = os.path.join(self.data, "storage", "merio-bucket", "MerioClass", "F")
        self.assertEqual(srv.request("PUT", "/storage/merio-bucket/MerioClass/F/a.ts", b"a" * 1000)[0], 200)
        st, body, _ = srv.request("PUT", "/storage/merio-bucket/MerioClass/F/b.ts", os.urandom(2 << 20))
        self.assertEqual((st, json.loads(body)["message"]), (507, "storage full"))
        self.assertEqual(os.listdir(folder), ["a.ts"])
        self.assertEqual(srv.request("PUT", "/storage/merio-bucket/MerioClass/F/c.ts", b"c" * 1000)[0], 200)

    def test_retention_removes_old_lessons_with_their_files(self):
        srv = self.start()
        old, kept = upload_lesson(srv, "Old"), upload_lesson(srv, "Kept")
        srv.stop()
        # Untouched for 3 days (as the database says) against a retention of 2.
        with sqlite3.connect(os.path.join(self.data, "server.db")) as db:
            db.execute("UPDATE classrooms SET updated = updated - 3 * 86400 WHERE id = ?", (old,))
        srv = self.start("--retention-days", "2")
        self.assertEqual(srv.request("GET", "/watch?id=" + old, token=False)[0], 404)
        bucket = os.path.join(self.data, "storage", "merio-bucket", "MerioClass")
        self.assertEqual(os.listdir(bucket), ["Kept"])
        self.assertEqual(sorted(os.listdir(os.path.join(bucket, "Kept"))), ["k.001.ts", "k.002.ts", "k.m3u8", "p.jpg"])
        self.assertEqual(srv.request("GET", "/watch/state?id=" + kept, token=False)[0], 200)
        self.assertIn("retention: removed lesson %s and 4 of its files" % old, srv.stop())


if __name__ == "__main__":
    unittest.main(verbosity=2)
