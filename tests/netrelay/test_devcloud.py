#!/usr/bin/env python3
"""Tests of tools/devcloud: the stand-in cloud service the other tests rely on.

Each test starts its own server on a free loopback port with its own data
folder; every wait is bounded.
"""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

SOURCE = os.environ.get("KX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(SOURCE, "tools", "devcloud", "devcloud.py")


class DevCloud:
    def __init__(self, *extra):
        self.tmp = tempfile.TemporaryDirectory(prefix="kx-devcloud-py-")
        self.data = os.path.join(self.tmp.name, "data")
        self.proc = subprocess.Popen([sys.executable, SCRIPT, "--port", "0", "--data", self.data] + list(extra),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stderr = b""
        line = self._readline(10.0)
        if not line.startswith(b"http://127.0.0.1:"):
            self.close()
            raise RuntimeError("devcloud did not print its URL: %r" % line)
        self.url = line.strip().decode()
        self.port = int(urllib.parse.urlsplit(self.url).port)

    def _readline(self, timeout):
        out = []
        t = threading.Thread(target=lambda: out.append(self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(timeout)
        return out[0] if out else b""

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if self.proc.stderr:
            self.stderr = self.proc.stderr.read()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if f:
                f.close()
        self.tmp.cleanup()

    def request(self, method, path, body=None, headers=None, timeout=5.0):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp.read(), dict(resp.getheaders())
        finally:
            conn.close()

    def json(self, method, path, body=None, headers=None):
        status, data, _ = self.request(method, path, body, headers)
        return status, json.loads(data.decode())

    def form(self, path, fields):
        return self.json("POST", path, urllib.parse.urlencode(fields),
                         {"Content-Type": "application/x-www-form-urlencoded"})

    def admin(self, what, **params):
        return self.json("GET", "/_admin/%s?%s" % (what, urllib.parse.urlencode(params)))[1]

    def raw(self, data, timeout=5.0):
        """Sends bytes as they are (no client-side normalisation)."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    piece = s.recv(65536)
                except socket.timeout:
                    break
                if not piece:
                    break
                chunks.append(piece)
        return b"".join(chunks)


class DevCloudTest(unittest.TestCase):
    def setUp(self):
        self.cloud = DevCloud()

    def tearDown(self):
        self.cloud.close()

    def test_exchanges_of_a_recording(self):
        c = self.cloud
        self.assertEqual(c.json("GET", "/api/bucket/bucket?type=merioclass")[1], {"success": True, "data": "merio-bucket"})
        st, first = c.form("/api/merioclass/merioclassroom",
                           {"type": "1", "filetype": "m3u8", "id": "", "path": "/MerioClass/a-k/k-1.m3u8",
                            "size": "0", "name": "x.mp4", "length": "1", "code": "0"})
        self.assertTrue(first["success"])
        self.assertTrue(first["data"].startswith(c.url + "watch?id="))
        self.assertTrue(first["data"].endswith("&code=0"))
        cid = first["data"].split("id=")[1].split("&")[0]
        # The next record of the same classroom keeps its id; a new empty id makes a new one.
        second = c.form("/api/merioclass/merioclassroom", {"type": "2", "id": cid, "path": "/MerioClass/a-k/p.jpg",
                                                          "code": "1"})[1]
        self.assertEqual(second["data"], c.url + "watch?id=%s&code=1" % cid)
        other = c.form("/api/merioclass/merioclassroom", {"type": "1", "id": "", "code": "2"})[1]
        self.assertNotIn("id=%s&" % cid, other["data"])
        # An unknown classroom is refused, as is a completion notice for one.
        self.assertFalse(c.form("/api/merioclass/merioclassroom", {"type": "1", "id": "999999", "code": "3"})[1]["success"])
        self.assertFalse(c.form("/api/merioclass/sendsure", {"id": "999999"})[1]["success"])
        self.assertTrue(c.form("/api/merioclass/sendsure", {"id": cid})[1]["success"])
        stats = c.admin("stats")
        self.assertTrue(stats["classrooms"][cid]["done"])
        self.assertEqual(stats["classrooms"][cid]["records"], 2)

        # The watch page names the latest playlist and the snapshots.
        c.form("/api/merioclass/merioclassroom", {"type": "1", "id": cid, "path": "/MerioClass/b-k/k-2.m3u8", "code": "4"})
        st, page, headers = c.request("GET", "/watch?id=" + cid)
        self.assertEqual(st, 200)
        page = page.decode()
        self.assertIn("storage/merio-bucket/MerioClass/b-k/k-2.m3u8", page)
        self.assertNotIn("k-1.m3u8", page)
        self.assertIn("storage/merio-bucket/MerioClass/a-k/p.jpg", page)
        self.assertEqual(c.request("GET", "/watch?id=424242")[0], 404)

    def test_journal_records_every_service_request_with_its_parameters(self):
        c = self.cloud
        c.request("GET", "/api/bucket/bucket?type=merioclass")
        c.form("/api/merioclass/merioclassroom", {"type": "1", "id": "", "code": "5", "name": "a b+c"})
        c.json("POST", "/api/action/report", json.dumps({"actions": [{"action": "id_x"}]}),
               {"Content-Type": "application/json"})
        c.request("PUT", "/storage/merio-bucket/MerioClass/x/k.001.ts", b"abc", {"Content-Type": "video/mp2t"})
        c.admin("stats")  # not journaled
        journal = c.admin("journal")
        self.assertEqual([e["path"] for e in journal],
                         ["api/bucket/bucket", "api/merioclass/merioclassroom", "api/action/report",
                          "storage/merio-bucket/MerioClass/x/k.001.ts"])
        self.assertEqual([e["method"] for e in journal], ["GET", "POST", "POST", "PUT"])
        self.assertEqual(journal[0]["query"], {"type": "merioclass"})
        self.assertEqual(journal[1]["form"]["name"], "a b+c")
        self.assertEqual(journal[1]["params"]["code"], "5")
        self.assertEqual(journal[2]["json"], {"actions": [{"action": "id_x"}]})
        self.assertEqual(journal[3]["bytes"], 3)
        self.assertEqual(journal[3]["contentType"], "video/mp2t")
        self.assertEqual([e["status"] for e in journal], [200, 200, 200, 200])
        self.assertEqual([e["seq"] for e in journal], [1, 2, 3, 4])
        self.assertEqual(len(c.admin("journal", clear="1")), 4)
        self.assertEqual(c.admin("journal"), [])
        self.assertEqual(len(c.admin("actions")), 1)

    def test_storage_refuses_paths_outside_the_data_folder(self):
        c = self.cloud
        outside = os.path.join(c.tmp.name, "escape.ts")
        os.makedirs(os.path.join(c.data, "merio-bucket"), exist_ok=True)
        os.symlink(c.tmp.name, os.path.join(c.data, "merio-bucket", "link"))
        for path in ["/storage/merio-bucket/../../escape.ts",
                     "/storage/merio-bucket/%2e%2e/%2e%2e/escape.ts",
                     "/storage/merio-bucket/..%2f..%2fescape.ts",
                     "/storage/../escape.ts",
                     "/storage/merio-bucket/link/escape.ts",
                     "/storage/merio-bucket",
                     "/storage/merio-bucket/a\\..\\..\\escape.ts"]:
            answer = c.raw(("PUT %s HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nConnection: close\r\n\r\nEVIL"
                            % path).encode())
            self.assertTrue(answer.startswith(b"HTTP/1.1 403"), (path, answer[:40]))
            self.assertFalse(os.path.exists(outside), path)
            answer = c.raw(("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % path).encode())
            self.assertTrue(answer.startswith(b"HTTP/1.1 403"), (path, answer[:40]))
        # A good path round-trips, also chunked, and is stored where expected.
        self.assertEqual(c.request("PUT", "/storage/merio-bucket/MerioClass/d/k.ts", b"0123456789")[0], 200)
        chunked = c.raw(b"PUT /storage/merio-bucket/MerioClass/d/c.ts HTTP/1.1\r\nHost: x\r\n"
                        b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                        b"4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\n")
        self.assertTrue(chunked.startswith(b"HTTP/1.1 200"), chunked[:40])
        with open(os.path.join(c.data, "merio-bucket", "MerioClass", "d", "c.ts"), "rb") as f:
            self.assertEqual(f.read(), b"abcdefg")
        st, body, headers = c.request("GET", "/storage/merio-bucket/MerioClass/d/k.ts")
        self.assertEqual((st, body, headers["Content-Type"]), (200, b"0123456789", "video/mp2t"))
        self.assertEqual(c.request("GET", "/storage/merio-bucket/MerioClass/d/none.ts")[0], 404)
        # The bucket is also served at the root, where playlists name their
        # segments; the same refusals hold there.
        st, body, headers = c.request("GET", "/MerioClass/d/k.ts")
        self.assertEqual((st, body, headers["Content-Type"]), (200, b"0123456789", "video/mp2t"))
        for path in ["/MerioClass/../../escape.ts", "/MerioClass/%2e%2e/%2e%2e/escape.ts"]:
            answer = c.raw(("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % path).encode())
            self.assertTrue(answer.startswith(b"HTTP/1.1 403") or answer.startswith(b"HTTP/1.1 404"),
                            (path, answer[:40]))

    def test_fault_rules(self):
        c = self.cloud
        c.admin("fault", path="api/bucket", kind="malformed")
        c.admin("fault", path="api/bucket", kind="nonobject")
        c.admin("fault", path="api/bucket", kind="fail")
        c.admin("fault", path="storage/", kind="status", status="500", count="2", method="PUT")
        st, body, _ = c.request("GET", "/api/bucket/bucket")
        self.assertEqual(st, 200)
        with self.assertRaises(ValueError):
            json.loads(body.decode())
        self.assertEqual(c.json("GET", "/api/bucket/bucket")[1], [1, 2, 3])
        self.assertFalse(c.json("GET", "/api/bucket/bucket")[1]["success"])
        self.assertTrue(c.json("GET", "/api/bucket/bucket")[1]["success"])
        # Method filter: a GET of storage is not taken by the PUT rule.
        self.assertEqual(c.request("GET", "/storage/merio-bucket/none.ts")[0], 404)
        self.assertEqual(c.request("PUT", "/storage/merio-bucket/a.ts", b"x")[0], 500)
        self.assertEqual(c.request("PUT", "/storage/merio-bucket/a.ts", b"x")[0], 500)
        self.assertFalse(os.path.exists(os.path.join(c.data, "merio-bucket", "a.ts")))
        self.assertEqual(c.request("PUT", "/storage/merio-bucket/a.ts", b"x")[0], 200)
        faults = [e["fault"] for e in c.admin("journal")]
        self.assertEqual(faults, ["malformed", "nonobject", "fail", None, None, "status", "status", None])

        # Delay: the answer comes, later; drop: no answer at all.
        c.admin("fault", path="api/version", kind="delay", ms="400")
        t0 = time.monotonic()
        self.assertTrue(c.json("GET", "/api/version/check")[1]["success"])
        self.assertGreaterEqual(time.monotonic() - t0, 0.35)
        c.admin("fault", path="api/version", kind="drop")
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            c.request("GET", "/api/version/check")

    def test_offline_and_back(self):
        c = self.cloud
        c.admin("offline", on="1")
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            c.request("GET", "/")
        self.assertEqual(c.admin("stats")["requests"], 1)  # the admin side still answers
        c.admin("offline", on="0")
        self.assertEqual(c.request("GET", "/")[0], 200)
        c.admin("offline", on="1", ms="300")
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            c.request("GET", "/api/bucket/bucket")
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                if c.request("GET", "/api/bucket/bucket")[0] == 200:
                    break
            except (http.client.HTTPException, ConnectionError):
                time.sleep(0.1)
        else:
            self.fail("did not come back")

    def _record_requests_in_parallel(self, codes):
        finished = []
        lock = threading.Lock()

        def send(code):
            st, body = self.cloud.form("/api/merioclass/merioclassroom", {"type": "1", "id": "", "code": code})
            with lock:
                finished.append(body["data"].split("code=")[1])

        threads = []
        for code in codes:
            t = threading.Thread(target=send, args=(code,))
            t.start()
            threads.append(t)
            time.sleep(0.15)  # a known arrival order
        for t in threads:
            t.join(20)
        return finished

    def test_reverse_order_of_answers(self):
        self.cloud.admin("reverse", count="3")
        self.assertEqual(self._record_requests_in_parallel(["a", "b", "c"]), ["c", "b", "a"])
        # Afterwards the order is normal again.
        self.assertEqual(self._record_requests_in_parallel(["d"]), ["d"])
        # Fewer than announced: those held are answered in reverse after the wait.
        self.cloud.admin("reverse", count="5", wait_ms="600")
        self.assertEqual(self._record_requests_in_parallel(["e", "f"]), ["f", "e"])

    def test_ends_on_sigterm_sigint_and_closed_stdin(self):
        for how in ("term", "int", "stdin"):
            extra = ("--exit-with-stdin",) if how == "stdin" else ()
            c = DevCloud(*extra)
            try:
                # A request in flight (held by a delay) does not keep it alive.
                c.admin("fault", path="", kind="delay", ms="30000")
                threading.Thread(target=lambda: self._swallow(c), daemon=True).start()
                time.sleep(0.2)
                if how == "term":
                    c.proc.send_signal(signal.SIGTERM)
                elif how == "int":
                    c.proc.send_signal(signal.SIGINT)
                else:
                    c.proc.stdin.close()
                    c.proc.stdin = None
                c.proc.wait(5)
                self.assertIsNotNone(c.proc.returncode, how)
            finally:
                c.close()

    def test_bad_requests_are_answered_and_bounded(self):
        c = DevCloud("--idle-timeout", "1", "--body-limit-mib", "1", "--journal-limit", "5")
        try:
            self.assertEqual(c.request("PUT", "/storage/merio-bucket/M/a.ts", b"x")[0], 200)
            head = "Host: x\r\nConnection: close\r\n"
            rows = [
                (b"GET / HTTP/1.1\r\n" + head.encode() + b"Content-Length: 12x\r\n\r\n", 400),
                (b"GET / HTTP/1.1\r\n" + head.encode() + b"Content-Length: -1\r\n\r\n", 400),
                (b"NOT-HTTP\r\n\r\n", 400),
                (("PUT /storage/merio-bucket/M/a.ts/b.ts HTTP/1.1\r\n%sContent-Length: 1\r\n\r\nx" % head).encode(),
                 409),
                (("PUT /storage/merio-bucket/M HTTP/1.1\r\n%sContent-Length: 1\r\n\r\nx" % head).encode(), 409),
                (("PUT /storage/merio-bucket/M/big.ts HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n"
                  % (head, (1 << 20) + 1)).encode(), 413),
                (("POST /api/action/report HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n" % (head, 2 << 20)).encode(),
                 413),
                # Half a request: let go after the idle time, unanswered.
                (b"GET /api/bucket/bucket HTTP/1.1\r\nHost: x\r\n", None),
                # A body that stalls: 408, nothing stored.
                (("PUT /storage/merio-bucket/M/c.ts HTTP/1.1\r\n%sContent-Length: 9\r\n\r\nabc" % head).encode(),
                 408),
            ]
            for data, status in rows:
                answer = c.raw(data, timeout=8.0)
                if status is None:
                    self.assertEqual(answer, b"", data)
                else:
                    self.assertRegex(answer[:12].decode(), r"^HTTP/1\.[01] %d" % status, data)
                self.assertNotIn(b"Traceback", answer)
            self.assertEqual(os.listdir(os.path.join(c.data, "merio-bucket", "M")), ["a.ts"])
            self.assertEqual(c.request("GET", "/storage/merio-bucket/M/a.ts")[1], b"x")
            # The journal keeps the newest entries only.
            for n in range(8):
                c.request("GET", "/api/bucket/bucket?n=%d" % n)
            self.assertEqual([e["query"].get("n") for e in c.admin("journal")], ["3", "4", "5", "6", "7"])
        finally:
            c.close()
        self.assertNotIn(b"Traceback", c.stderr)

    def test_the_playlist_listing_the_most_segments_wins(self):
        c = self.cloud
        record = "/api/merioclass/merioclassroom"

        def playlist(name, segments):
            text = "#EXTM3U\n" + "".join("#EXTINF:5.0,\n/MerioClass/s/k.%03d.ts\n" % n for n in range(segments))
            self.assertEqual(c.request("PUT", "/storage/merio-bucket/MerioClass/s/" + name, text.encode())[0], 200)
            return "/MerioClass/s/" + name

        cid = c.form(record, {"type": "1", "id": "", "path": playlist("k-1.m3u8", 1)})[1]["data"].split("id=")[1]
        rows = [  # the record that arrives, then the playlist the class sees
            ({"path": playlist("k-3.m3u8", 3)}, "k-3.m3u8"),
            ({"path": playlist("k-2.m3u8", 2)}, "k-3.m3u8"),   # an older record arriving late
            ({"path": "/MerioClass/s/k-9.m3u8", "segments": "2"}, "k-3.m3u8"),  # its own count says older
            ({"path": "/MerioClass/s/k-4.m3u8", "segments": "4"}, "k-4.m3u8"),
            ({"path": playlist("k-4b.m3u8", 4)}, "k-4b.m3u8"),  # as long: the later one
        ]
        for fields, seen in rows:
            self.assertTrue(c.form(record, dict(fields, type="1", id=cid))[1]["success"])
            state = c.json("GET", "/watch/state?id=" + cid)[1]
            self.assertTrue(state["playlist"].endswith("/MerioClass/s/" + seen), (fields, state))

    @staticmethod
    def _swallow(c):
        try:
            c.request("GET", "/api/bucket/bucket", timeout=10)
        except Exception:
            pass


if __name__ == "__main__":
    unittest.main(verbosity=2)
