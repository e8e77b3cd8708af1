"""Runs a norvimerio-server (or devcloud) process for a test: own folder, free
loopback port, every wait bounded."""

import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.parse

SOURCE = os.environ.get("KX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = os.path.join(SOURCE, "server", "norvimerio-server")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerProcess:
    def __init__(self, data, *extra, port=None):
        self.data = data
        self.port = port or free_port()
        self.url = "http://127.0.0.1:%d/" % self.port
        # The log goes to a file: a pipe nobody reads until the end fills
        # up under a long run, and the server would stop in its next write.
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [PYTHON, SERVER, "--data", data, "--listen", "127.0.0.1:%d" % self.port,
             "--public-url", self.url] + list(extra),
            stdout=subprocess.PIPE, stderr=self.stderr)
        self.printed = []
        while True:
            line = self._readline(20.0)
            if not line:
                self.stop()
                raise RuntimeError("the server did not start: %r %s" % (self.printed, self.stderr_text()))
            self.printed.append(line.decode())
            if "serving on" in self.printed[-1]:
                break
        with open(os.path.join(data, "upload-token")) as f:
            self.token = f.read().strip()

    def _readline(self, timeout):
        out = []
        t = threading.Thread(target=lambda: out.append(self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(timeout)
        return out[0] if out else b""

    def stderr_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def stop(self, kill=False):
        if self.proc.stdout.closed:
            return self.log
        if kill:
            self.proc.kill()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log = self.stderr_text()
        self.proc.stdout.close()
        self.stderr.close()
        return self.log

    def request(self, method, path, body=None, headers=None, token=True, timeout=10.0):
        h = dict(headers or {})
        if token is True:
            h["Authorization"] = "Bearer " + self.token
        elif token:
            h["Authorization"] = token
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=h)
            resp = conn.getresponse()
            return resp.status, resp.read(), dict(resp.getheaders())
        finally:
            conn.close()

    def form(self, path, fields, **kw):
        st, body, _ = self.request("POST", path, urllib.parse.urlencode(fields),
                                   {"Content-Type": "application/x-www-form-urlencoded"}, **kw)
        return st, json.loads(body)

    def record(self, cid, path, kind="1", **more):
        fields = dict(type=kind, id=cid, path=path, code="7", **more)
        st, answer = self.form("/api/merioclass/merioclassroom", fields)
        assert st == 200 and answer["success"], answer
        return re.search(r"id=(\d+)", answer["data"]).group(1)

    def raw(self, data, timeout=10.0):
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


PLAYLIST = ("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:5\n"
            "#EXTINF:5.0,\n/MerioClass/L/k.001.ts\n#EXTINF:5.0,\n/MerioClass/L/k.002.ts\n#EXT-X-ENDLIST\n")


def upload_lesson(srv, folder="L", segments=2):
    """A lesson as the program sends it; returns its classroom id."""
    for n in range(1, segments + 1):
        st = srv.request("PUT", "/storage/merio-bucket/MerioClass/%s/k.%03d.ts" % (folder, n), b"TS%d" % n * 100,
                         {"Content-Type": "video/mp2t"})[0]
        assert st == 200, st
    text = PLAYLIST.replace("/L/", "/%s/" % folder)
    assert srv.request("PUT", "/storage/merio-bucket/MerioClass/%s/k.m3u8" % folder, text.encode())[0] == 200
    cid = srv.record("", "/MerioClass/%s/k.m3u8" % folder)
    assert srv.request("PUT", "/storage/merio-bucket/MerioClass/%s/p.jpg" % folder, b"JPEG")[0] == 200
    srv.record(cid, "/MerioClass/%s/p.jpg" % folder, kind="2")
    assert srv.form("/api/merioclass/sendsure", {"id": cid})[1]["success"]
    return cid
