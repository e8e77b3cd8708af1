#!/usr/bin/env python3
"""Stand-in for the cloud service, for tests and demos.

    python3 tools/devcloud/devcloud.py --port P --data DIR [--bucket NAME]
                                       [--tls-cert PEM --tls-key PEM]

Binds 127.0.0.1 only. Port 0 picks a free port. When the server is ready it
prints its base URL ("http://127.0.0.1:PORT/") as the first line of standard
output. It ends on SIGTERM or SIGINT, and with --exit-with-stdin also when its
standard input reaches end of file (so a test that dies does not leave it
behind). With --tls-cert and --tls-key it serves HTTPS with that certificate
and prints "https://127.0.0.1:PORT/".

Service paths (relative to the base URL):
  GET  api/bucket/bucket             {"success": true, "data": bucket}
  POST api/merioclass/merioclassroom record a playlist (type 1) or snapshot
                                     (type 2); "data" is base + "watch?id=" +
                                     classroom id + "&code=" + code
  POST api/merioclass/sendsure       completion notice of a classroom
  POST api/action/report             JSON body {"actions": [...]}
  GET  api/version/check             {"success": true, "data": {...}}
  PUT  storage/<bucket>/<path>       store a file under DATA/<bucket>/<path>
  GET  storage/<bucket>/<path>       fetch it back
  GET  watch?id=N                    page with the latest playlist and snapshots
                                     (tools/devcloud/watch.html), played with hls.js
  GET  watch/state?id=N              the page's state: playlist, snapshots, done
  GET  watch/live.m3u8?id=N          the latest playlist, open-ended (an event
                                     playlist) until the completion notice
  GET  watch/hls.min.js              hls.js (npm, installed by scripts/install-deps;
                                     KX_HLS_JS names another copy)
  GET  MerioClass/<path>             the current bucket's file, as the storage
                                     host serves the bucket at its root (the
                                     playlist names segments by such paths)

Test control (never journaled), all GET with query parameters:
  _admin/journal[?clear=1]   JSON array of every request received, in
                             arrival order: seq, time, end, method, path,
                             query, form, json, params, contentType, bytes,
                             status, fault
  _admin/fault?path=P&kind=K[&count=N][&status=S][&ms=D][&method=M]
        adds a rule for requests whose path starts with P (count -1 =
        unlimited, default 1). Kinds: status (answer S with a JSON error
        body), fail ("success": false), malformed (broken JSON), nonobject
        (a JSON array), delay (wait D ms, then answer normally), drop
        (close the connection without an answer), huge (a 200 answer whose
        JSON body is larger than 1 MiB), trickle (a 200 answer announcing
        1000 bytes and sending one of them every D ms, default 200). The
        first live rule that
        matches a request is used.
  _admin/reverse?count=N[&path=P][&wait_ms=W]
        holds the next N requests under P (default the record path) and
        answers them in reverse order of arrival; if fewer than N arrive
        within W ms (default 10000) those held are answered in reverse.
  _admin/offline?on=1[&ms=T] | on=0
        drops every service request (as if the host went away) until on=0
        or for T ms.
  _admin/bucket?name=X       _admin/version?json=OBJECT
  _admin/stats               counters: uploads in flight and their maximum
  _admin/classroom?id=N      the records of a classroom
  _admin/reset               clears faults, reverse, offline and the journal
"""

import argparse
import html
import json
import os
import signal
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BUCKET_ROOT_PREFIX = "MerioClass/"
RECORD_PATH = "api/merioclass/merioclassroom"
WATCH_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "norvimerio_server", "watch.html")
# The watch page's player; scripts/install-deps installs it (npm) beside this file.
HLS_JS = os.environ.get("KX_HLS_JS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "node_modules", "hls.js", "dist", "hls.min.js")

CONTENT_TYPES = {
    ".ts": "video/mp2t",
    ".m3u8": "application/vnd.apple.mpegurl",
    ".jpg": "image/jpeg",
    ".jpeg": "image/jpeg",
    ".png": "image/png",
    ".mp4": "video/mp4",
    ".json": "application/json",
    ".txt": "text/plain",
}


class Reverser:
    """Holds a number of requests and releases them in reverse order."""

    def __init__(self, count, path, wait_ms):
        self.remaining = count
        self.path = path
        self.wait_s = wait_ms / 1000.0
        self.held = []  # (release event, done event)
        self.released = False
        self.lock = threading.Lock()

    def hold(self, path):
        """Returns (release, done) events when the request is held, else None."""
        with self.lock:
            if self.released or self.remaining <= 0 or not path.startswith(self.path):
                return None
            item = (threading.Event(), threading.Event())
            self.held.append(item)
            self.remaining -= 1
            if self.remaining == 0:
                self._release_locked()
            elif len(self.held) == 1:
                timer = threading.Timer(self.wait_s, self.release)
                timer.daemon = True
                timer.start()
            return item

    def release(self):
        with self.lock:
            self._release_locked()

    def _release_locked(self):
        if self.released:
            return
        self.released = True
        items = list(reversed(self.held))

        def run():
            for release, done in items:
                release.set()
                done.wait(5.0)  # the reply is out before the next is released
                time.sleep(0.1)  # and has time to reach the client first
        threading.Thread(target=run, daemon=True).start()


class State:
    def __init__(self, data_dir, bucket):
        self.lock = threading.Lock()
        self.data_dir = os.path.realpath(data_dir)
        self.bucket = bucket
        self.journal = []
        self.seq = 0
        self.faults = []
        self.reverser = None
        self.offline = False
        self.offline_until = None
        self.classrooms = {}
        self.next_classroom = 1000
        self.actions = []
        self.version_answer = {"hasNewVersion": False, "version": "1.0.0", "url": ""}
        self.uploads_in_flight = 0
        self.max_uploads_in_flight = 0
        self.started = time.time()

    def is_offline(self):
        with self.lock:
            if self.offline and self.offline_until is not None and time.time() >= self.offline_until:
                self.offline = False
                self.offline_until = None
            return self.offline

    def take_fault(self, method, path):
        with self.lock:
            for rule in self.faults:
                if rule["count"] == 0:
                    continue
                if not path.startswith(rule["path"]):
                    continue
                if rule["method"] and rule["method"] != method:
                    continue
                if rule["count"] > 0:
                    rule["count"] -= 1
                return dict(rule)
        return None


def flat_query(text):
    parsed = urllib.parse.parse_qs(text, keep_blank_values=True)
    return {k: v[-1] for k, v in parsed.items()}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; with Nagle's algorithm the
    # body waits for the client's delayed acknowledgement (about 40 ms).
    disable_nagle_algorithm = True
    server_version = "devcloud/1.0"

    # Quiet: tests read the journal, not the console.
    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("devcloud: " + (fmt % args) + "\n")

    @property
    def state(self):
        return self.server.state

    def base_url(self):
        scheme = "https" if self.server.tls else "http"
        return "%s://127.0.0.1:%d/" % (scheme, self.server.server_address[1])

    # ---- helpers ---------------------------------------------------------
    def send_bytes(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()
        self.answered = status

    def send_json(self, status, obj):
        self.send_bytes(status, json.dumps(obj).encode("utf-8"))

    def read_body_chunks(self):
        """Yields the request body in pieces (Content-Length or chunked)."""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            while True:
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return
                remaining = size
                while remaining > 0:
                    piece = self.rfile.read(min(remaining, 65536))
                    if not piece:
                        raise ConnectionError("body cut short")
                    remaining -= len(piece)
                    yield piece
                self.rfile.readline(16)
        else:
            remaining = int(self.headers.get("Content-Length") or 0)
            while remaining > 0:
                piece = self.rfile.read(min(remaining, 65536))
                if not piece:
                    raise ConnectionError("body cut short")
                remaining -= len(piece)
                yield piece

    def read_body(self, limit=16 * 1024 * 1024):
        data = bytearray()
        for piece in self.read_body_chunks():
            data += piece
            if len(data) > limit:
                raise ValueError("body too large")
        return bytes(data)

    # ---- dispatch --------------------------------------------------------
    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_PUT(self):
        self.dispatch()

    def dispatch(self):
        self.answered = None
        split = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(split.path).lstrip("/")
        query = flat_query(split.query)
        if path.startswith("_admin/") or path == "_admin":
            self.handle_admin(path[len("_admin/"):], query)
            return

        entry = {
            "method": self.command,
            "path": path,
            "rawPath": split.path,
            "query": query,
            "form": {},
            "json": None,
            "params": dict(query),
            "contentType": self.headers.get("Content-Type", ""),
            "bytes": 0,
            "status": None,
            "fault": None,
        }
        with self.state.lock:
            self.state.seq += 1
            entry["seq"] = self.state.seq
            entry["time"] = time.time() - self.state.started
            self.state.journal.append(entry)

        try:
            self.serve(path, query, entry)
        finally:
            entry["status"] = self.answered
            entry["end"] = time.time() - self.state.started

    def drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(2)
        except OSError:
            pass

    def serve(self, path, query, entry):
        if self.state.is_offline():
            entry["fault"] = "offline"
            self.drop()
            return

        is_upload = self.command == "PUT" and path.startswith("storage/")
        body = b""
        if is_upload:
            pass  # streamed to disk below
        else:
            try:
                body = self.read_body()
            except (ValueError, ConnectionError):
                self.close_connection = True
                self.send_json(413, {"success": False, "message": "body too large"})
                return
            entry["bytes"] = len(body)
            ctype = entry["contentType"].split(";")[0].strip().lower()
            if ctype == "application/x-www-form-urlencoded":
                entry["form"] = flat_query(body.decode("utf-8", "replace"))
                entry["params"].update(entry["form"])
            elif ctype == "application/json" and body:
                try:
                    entry["json"] = json.loads(body.decode("utf-8"))
                except ValueError:
                    entry["json"] = None

        fault = self.state.take_fault(self.command, path)
        if fault:
            entry["fault"] = fault["kind"]
            kind = fault["kind"]
            if kind == "delay":
                time.sleep(max(0, fault["ms"]) / 1000.0)
            elif kind == "drop":
                self.drop()
                return
            else:
                if is_upload:
                    self.discard_body()
                if kind == "status":
                    self.send_json(fault["status"], {"success": False, "message": "injected status"})
                elif kind == "fail":
                    self.send_json(200, {"success": False, "message": "injected failure"})
                elif kind == "malformed":
                    self.send_bytes(200, b'{"success": true, "data": "unterminated')
                elif kind == "nonobject":
                    self.send_json(200, [1, 2, 3])
                elif kind == "huge":
                    self.send_json(200, {"success": True, "data": "x" * (1536 * 1024)})
                elif kind == "trickle":
                    self.trickle(fault["ms"] or 200)
                else:
                    self.send_json(500, {"success": False, "message": "unknown fault " + kind})
                return

        reverser = self.state.reverser
        held = reverser.hold(path) if reverser else None
        if held:
            entry["fault"] = "reverse"
            held[0].wait(reverser.wait_s + 10.0)
            try:
                self.route(path, entry, is_upload)
            finally:
                held[1].set()
            return
        self.route(path, entry, is_upload)

    def trickle(self, pause_ms):
        """Answers 200 with a body that never seems to end: one byte at a time."""
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", "1000")
        self.end_headers()
        self.answered = 200
        self.close_connection = True
        try:
            for _ in range(1000):
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(pause_ms / 1000.0)
        except OSError:
            pass  # the client gave up, as it should

    def discard_body(self):
        try:
            for _ in self.read_body_chunks():
                pass
        except (ValueError, ConnectionError):
            self.close_connection = True

    def route(self, path, entry, is_upload):
        params = entry["params"]
        if path == "" and self.command in ("GET", "HEAD"):
            self.send_bytes(200, b"devcloud\n", "text/plain")
        elif path == "api/bucket/bucket":
            self.send_json(200, {"success": True, "data": self.state.bucket})
        elif path == RECORD_PATH:
            self.handle_record(params)
        elif path == "api/merioclass/sendsure":
            self.handle_sendsure(params)
        elif path == "api/action/report":
            self.handle_actions(entry)
        elif path == "api/version/check":
            with self.state.lock:
                answer = dict(self.state.version_answer)
            self.send_json(200, {"success": True, "data": answer})
        elif path.startswith("storage/"):
            if is_upload:
                self.handle_put(path[len("storage/"):], entry)
            elif self.command in ("GET", "HEAD"):
                self.handle_fetch(path[len("storage/"):])
            else:
                self.send_json(405, {"success": False, "message": "method not allowed"})
        elif path == "watch" and self.command in ("GET", "HEAD"):
            self.handle_watch(params.get("id", ""))
        elif path.startswith("watch/") and self.command in ("GET", "HEAD"):
            self.handle_watch_part(path[len("watch/"):], params.get("id", ""))
        elif self.command in ("GET", "HEAD") and path.startswith(BUCKET_ROOT_PREFIX):
            # Playlists name their segments by root paths ("/MerioClass/..."),
            # as the storage host serves the bucket at its root.
            with self.state.lock:
                bucket = self.state.bucket
            self.handle_fetch(bucket + "/" + path)
        else:
            self.send_json(404, {"success": False, "message": "not found"})

    # ---- service ---------------------------------------------------------
    def handle_record(self, params):
        cid = params.get("id", "")
        code = params.get("code")
        with self.state.lock:
            if cid == "":
                cid = str(self.state.next_classroom)
                self.state.next_classroom += 1
                self.state.classrooms[cid] = {"records": [], "done": False}
            room = self.state.classrooms.get(cid)
            if room is None:
                room = None
            else:
                room["records"].append(dict(params))
        if room is None:
            self.send_json(200, {"success": False, "message": "no such classroom"})
            return
        data = self.base_url() + "watch?id=" + cid
        if code is not None:
            data += "&code=" + code
        self.send_json(200, {"success": True, "data": data})

    def handle_sendsure(self, params):
        cid = params.get("id", "")
        with self.state.lock:
            room = self.state.classrooms.get(cid)
            if room is not None:
                room["done"] = True
        if room is None:
            self.send_json(200, {"success": False, "message": "no such classroom"})
        else:
            self.send_json(200, {"success": True, "data": ""})

    def handle_actions(self, entry):
        body = entry["json"]
        if not isinstance(body, dict) or not isinstance(body.get("actions"), list):
            self.send_json(400, {"success": False, "message": "expected {\"actions\": [...]}"})
            return
        with self.state.lock:
            self.state.actions.extend(body["actions"])
        self.send_json(200, {"success": True, "data": len(body["actions"])})

    def storage_file(self, rel):
        """Maps bucket/path to a file under the data folder, or None."""
        parts = [p for p in rel.split("/") if p != ""]
        if len(parts) < 2:
            return None
        for p in parts:
            if p in (".", "..") or "\\" in p or "\0" in p:
                return None
        target = os.path.realpath(os.path.join(self.state.data_dir, *parts))
        if not target.startswith(self.state.data_dir + os.sep):
            return None
        return target

    def handle_put(self, rel, entry):
        target = self.storage_file(rel)
        if target is None:
            self.discard_body()
            self.send_json(403, {"success": False, "message": "path refused"})
            return
        with self.state.lock:
            self.state.uploads_in_flight += 1
            self.state.max_uploads_in_flight = max(self.state.max_uploads_in_flight,
                                                   self.state.uploads_in_flight)
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".part-")
            size = 0
            try:
                with os.fdopen(fd, "wb") as out:
                    for piece in self.read_body_chunks():
                        out.write(piece)
                        size += len(piece)
                os.replace(tmp, target)
            except BaseException:
                try:
                    os.unlink(tmp)
                except OSError:
                    pass
                raise
        except ConnectionError:
            self.close_connection = True
            return
        finally:
            with self.state.lock:
                self.state.uploads_in_flight -= 1
        entry["bytes"] = size
        self.send_json(200, {"success": True, "data": rel})

    def handle_fetch(self, rel):
        target = self.storage_file(rel)
        if target is None:
            self.send_json(403, {"success": False, "message": "path refused"})
            return
        if not os.path.isfile(target):
            self.send_json(404, {"success": False, "message": "not found"})
            return
        with open(target, "rb") as f:
            data = f.read()
        ext = os.path.splitext(target)[1].lower()
        self.send_bytes(200, data, CONTENT_TYPES.get(ext, "application/octet-stream"))

    def watch_view(self, cid):
        """What a student sees of a classroom, or None when there is none:
        the latest playlist, the snapshots and whether the upload is done."""
        with self.state.lock:
            room = self.state.classrooms.get(cid)
            if room is None:
                return None
            records = list(room["records"])
            view = {"bucket": self.state.bucket, "done": room["done"], "playlist": None, "snapshots": []}
        for rec in records:
            if rec.get("type") == "1":
                view["playlist"] = rec.get("path", "")
            elif rec.get("type") == "2":
                view["snapshots"].append(rec.get("path", ""))
        return view

    def storage_url(self, bucket, path):
        return self.base_url() + "storage/" + urllib.parse.quote(bucket + "/" + path.lstrip("/"))

    def handle_watch(self, cid):
        view = self.watch_view(cid)
        if view is None:
            self.send_bytes(404, b"<html><body>no such classroom</body></html>", "text/html")
            return
        state = self.watch_state(cid, view)
        link = ""
        if view["playlist"]:
            link = "Stream for other players: <a id=\"playlist\" href=\"%s\">%s</a>" % (
                (html.escape(state["playlist"]),) * 2)
        snapshots = "".join("<img class=\"snapshot\" alt=\"Snapshot\" src=\"%s\">" % html.escape(u)
                            for u in state["snapshots"])
        # "<" never appears raw inside the script element that carries the state.
        state_json = json.dumps(state).replace("<", "\\u003c")
        with open(WATCH_PAGE, encoding="utf-8") as f:
            page = f.read()
        for key, value in (("{{ID}}", html.escape(cid)), ("{{SNAPSHOTS}}", snapshots),
                           ("{{PLAYLIST_LINK}}", link), ("{{STATE_JSON}}", state_json)):
            page = page.replace(key, value)
        self.send_bytes(200, page.encode("utf-8"), "text/html; charset=utf-8")

    def watch_state(self, cid, view):
        return {
            "id": cid,
            "done": view["done"],
            "playlist": self.storage_url(view["bucket"], view["playlist"]) if view["playlist"] else "",
            # Relative, so that the page works under whatever host name it was opened.
            "live": "watch/live.m3u8?id=" + urllib.parse.quote(cid),
            "snapshots": [self.storage_url(view["bucket"], p) for p in view["snapshots"]],
        }

    def handle_watch_part(self, what, cid):
        """The watch page's state, its playlist and its player script."""
        if what == "hls.min.js":
            if not os.path.isfile(HLS_JS):
                self.send_json(404, {"success": False, "message": "hls.js is not installed (scripts/install-deps)"})
                return
            with open(HLS_JS, "rb") as f:
                self.send_bytes(200, f.read(), "text/javascript")
            return
        view = self.watch_view(cid)
        if view is None or what not in ("state", "live.m3u8"):
            self.send_json(404, {"success": False, "message": "not found"})
        elif what == "state":
            self.send_json(200, self.watch_state(cid, view))
        elif not view["playlist"]:
            self.send_json(404, {"success": False, "message": "no playlist yet"})
        else:
            self.handle_live_playlist(view)

    def handle_live_playlist(self, view):
        """The latest stored playlist. The program ends every version of it
        with EXT-X-ENDLIST; until the completion notice the end mark is taken
        out and the playlist declared an event, so that players keep
        reloading it as it grows instead of stopping at what is there."""
        target = self.storage_file(view["bucket"] + "/" + view["playlist"].lstrip("/"))
        if target is None or not os.path.isfile(target):
            self.send_json(404, {"success": False, "message": "playlist not stored"})
            return
        with open(target, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        if not view["done"]:
            lines = [ln for ln in lines if ln.strip() != "#EXT-X-ENDLIST" and not ln.startswith("#EXT-X-PLAYLIST-TYPE")]
            lines.insert(1 if lines and lines[0].startswith("#EXTM3U") else 0, "#EXT-X-PLAYLIST-TYPE:EVENT")
        self.send_bytes(200, ("\n".join(lines) + "\n").encode("utf-8"), CONTENT_TYPES[".m3u8"])

    # ---- test control ----------------------------------------------------
    def handle_admin(self, what, q):
        self.read_body()
        st = self.state
        if what == "journal":
            with st.lock:
                out = json.loads(json.dumps(st.journal))
                if q.get("clear") == "1":
                    st.journal = []
            self.send_json(200, out)
        elif what == "fault":
            try:
                rule = {
                    "path": q.get("path", ""),
                    "kind": q["kind"],
                    "count": int(q.get("count", "1")),
                    "status": int(q.get("status", "500")),
                    "ms": int(q.get("ms", "0")),
                    "method": q.get("method", ""),
                }
            except (KeyError, ValueError):
                self.send_json(400, {"success": False, "message": "bad fault"})
                return
            with st.lock:
                st.faults.append(rule)
            self.send_json(200, {"success": True, "data": rule})
        elif what == "reverse":
            st.reverser = Reverser(int(q.get("count", "2")), q.get("path", RECORD_PATH),
                                   int(q.get("wait_ms", "10000")))
            self.send_json(200, {"success": True})
        elif what == "offline":
            with st.lock:
                st.offline = q.get("on", "1") == "1"
                ms = int(q.get("ms", "0") or 0)
                st.offline_until = time.time() + ms / 1000.0 if st.offline and ms > 0 else None
            self.send_json(200, {"success": True, "data": st.offline})
        elif what == "bucket":
            with st.lock:
                st.bucket = q.get("name", st.bucket)
            self.send_json(200, {"success": True, "data": st.bucket})
        elif what == "version":
            try:
                answer = json.loads(q.get("json", "{}"))
            except ValueError:
                self.send_json(400, {"success": False, "message": "bad json"})
                return
            with st.lock:
                st.version_answer = answer
            self.send_json(200, {"success": True})
        elif what == "stats":
            with st.lock:
                out = {
                    "uploadsInFlight": st.uploads_in_flight,
                    "maxUploadsInFlight": st.max_uploads_in_flight,
                    "requests": st.seq,
                    "actions": len(st.actions),
                    "classrooms": {k: {"records": len(v["records"]), "done": v["done"]}
                                   for k, v in st.classrooms.items()},
                }
            self.send_json(200, out)
        elif what == "actions":
            with st.lock:
                out = list(st.actions)
            self.send_json(200, out)
        elif what == "classroom":
            with st.lock:
                room = st.classrooms.get(q.get("id", ""))
                out = json.loads(json.dumps(room)) if room else None
            if out is None:
                self.send_json(404, {"success": False, "message": "no such classroom"})
            else:
                self.send_json(200, out)
        elif what == "reset":
            with st.lock:
                st.faults = []
                st.reverser = None
                st.offline = False
                st.offline_until = None
                st.journal = []
                st.max_uploads_in_flight = st.uploads_in_flight
            self.send_json(200, {"success": True})
        else:
            self.send_json(404, {"success": False, "message": "unknown admin path"})


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that give up (time-outs, cancelled uploads) are routine.
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, TimeoutError)):
            return
        if self.tls and isinstance(exc, OSError) and type(exc).__name__.startswith("SSL"):
            return  # a client that does not trust the certificate
        super().handle_error(request, client_address)


def main():
    ap = argparse.ArgumentParser(description="Stand-in cloud service (loopback only)")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--data", required=True, help="folder of the stored files")
    ap.add_argument("--bucket", default="merio-bucket")
    ap.add_argument("--exit-with-stdin", action="store_true",
                    help="exit when standard input is closed")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--tls-cert", help="PEM certificate: serve HTTPS")
    ap.add_argument("--tls-key", help="PEM private key of --tls-cert")
    args = ap.parse_args()

    os.makedirs(args.data, exist_ok=True)
    server = Server(("127.0.0.1", args.port), Handler)
    server.tls = bool(args.tls_cert)
    if server.tls:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        # The handshake runs in the handler's thread (on its first read): a
        # client that refuses the certificate must not hold up accepting.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    server.state = State(args.data, args.bucket)
    server.verbose = args.verbose

    def on_signal(signum, frame):
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    if args.exit_with_stdin:
        def watch_stdin():
            # Raw reads: a buffered reader's lock held at interpreter exit
            # makes Python abort noisily.
            try:
                while os.read(0, 4096):
                    pass
            except OSError:
                pass
            os.kill(os.getpid(), signal.SIGTERM)
        threading.Thread(target=watch_stdin, daemon=True).start()

    print("%s://127.0.0.1:%d/" % ("https" if server.tls else "http", server.server_address[1]), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        # Handler threads may still be writing their log lines; leaving
        # without the interpreter's teardown keeps that from aborting noisily.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)


if __name__ == "__main__":
    main()
