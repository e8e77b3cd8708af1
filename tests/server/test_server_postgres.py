#!/usr/bin/env python3
"""norvimerio-server on PostgreSQL: two server processes share one database
and one storage folder; uploads go to one, students watch through the other;
the database gone for a moment is a 503 the program's retries carry."""

import json
import os
import tempfile
import time
import unittest

import pgcluster
from serverproc import ServerProcess, upload_lesson


@unittest.skipIf(pgcluster.available(), pgcluster.available())
class PostgresServerTest(unittest.TestCase):
    def setUp(self):
        self.cluster = pgcluster.Cluster()
        self.tmp = tempfile.TemporaryDirectory(prefix="kx-server-pg-")
        self.data = os.path.join(self.tmp.name, "shared")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.stop()
        self.cluster.close()
        self.tmp.cleanup()

    def start(self, port=None):
        srv = ServerProcess(self.data, "--database", self.cluster.url, port=port)
        self.servers.append(srv)
        return srv

    def test_two_servers_share_lessons_and_outlive_restarts(self):
        uploads, watching = self.start(), self.start()
        self.assertEqual(uploads.token, watching.token)
        self.assertFalse(os.path.exists(os.path.join(self.data, "server.db")))
        lessons = [upload_lesson(uploads, "P%d" % n) for n in range(3)]
        for n, cid in enumerate(lessons):
            st, body, _ = watching.request("GET", "/watch/state?id=" + cid, token=False)
            state = json.loads(body)
            self.assertEqual((st, state["done"], len(state["snapshots"])), (200, True, 1))
            self.assertTrue(state["playlist"].startswith(watching.url), state)  # its own public URL
            st, text, _ = watching.request("GET", "/watch/live.m3u8?id=" + cid, token=False)
            self.assertIn("/MerioClass/P%d/k.002.ts" % n, text.decode())
            self.assertEqual(watching.request("GET", "/MerioClass/P%d/k.002.ts" % n, token=False)[1], b"TS2" * 100)
        # Records of one classroom arrive at either server.
        watching.record(lessons[0], "/MerioClass/P0/q.jpg", kind="2")
        st, body, _ = uploads.request("GET", "/watch/state?id=" + lessons[0], token=False)
        self.assertEqual(len(json.loads(body)["snapshots"]), 2)

        # The database goes away for a moment: refused with 503, then back.
        self.cluster.stop()
        st, body, headers = uploads.request("POST", "/api/merioclass/sendsure", "id=" + lessons[1],
                                            {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual((st, json.loads(body)["success"]), (503, False))
        self.assertEqual(watching.request("GET", "/watch/state?id=" + lessons[1], token=False)[0], 503)
        self.cluster.start()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if watching.request("GET", "/watch/state?id=" + lessons[1], token=False)[0] == 200:
                break
            time.sleep(0.3)
        self.assertEqual(uploads.form("/api/merioclass/sendsure", {"id": lessons[1]})[1]["success"], True)

        for s in self.servers:
            s.stop()
        again = self.start()
        for cid in lessons:
            self.assertEqual(again.request("GET", "/watch?id=" + cid, token=False)[0], 200)
        self.assertNotIn(upload_lesson(again, "P9"), lessons)


if __name__ == "__main__":
    unittest.main(verbosity=2)
