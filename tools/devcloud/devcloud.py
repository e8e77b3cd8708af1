#!/usr/bin/env python3
"""Stand-in for the cloud service, for tests and demos: norvimerio-server's
own API (server/norvimerio_server) with test controls and faults around it.

    python3 tools/devcloud/devcloud.py --port P --data DIR [--bucket NAME]
                                       [--tls-cert PEM --tls-key PEM]
                                       [--upload-token T] [--body-limit-mib N]
                                       [--idle-timeout S] [--journal-limit N]

Binds 127.0.0.1 only. Port 0 picks a free port. When the server is ready it
prints its base URL ("http://127.0.0.1:PORT/") as the first line of standard
output. It ends on SIGTERM or SIGINT, and with --exit-with-stdin also when its
standard input reaches end of file (so a test that dies does not leave it
behind). With --tls-cert and --tls-key it serves HTTPS with that certificate
and prints "https://127.0.0.1:PORT/". Classrooms live in memory; files are
stored under DATA/<bucket>/<path>, for any bucket. With --upload-token the
service asks for "Authorization: Bearer T" as norvimerio-server does (401
without); without it, anyone may upload. Every connection is closed after
--idle-timeout seconds (default 10) of silence inside a request; bodies above
--body-limit-mib (default 64) are refused with 413, a malformed request with
400, a PUT below an existing file with 409.

Service paths (relative to the base URL):
  GET  api/bucket/bucket             {"success": true, "data": bucket}
  POST api/merioclass/merioclassroom record a playlist (type 1) or snapshot
                                     (type 2); "data" is base + "watch?id=" +
                                     classroom id + "&code=" + code. Classroom
                                     ids are random digits. Of the playlist
                                     records, the one listing the most
                                     segments (its "segments" field, else the
                                     stored file's count) is the classroom's.
  POST api/merioclass/sendsure       completion notice of a classroom
  POST api/action/report             JSON body {"actions": [...]}
  GET  api/version/check             {"success": true, "data": {...}}
  PUT  storage/<bucket>/<path>       store a file under DATA/<bucket>/<path>
  GET  storage/<bucket>/<path>       fetch it back (ranges, cache headers)
  GET  watch?id=N                    page with the latest playlist and snapshots
                                     (server/norvimerio_server/watch.html),
                                     played with hls.js
  GET  watch/state?id=N              the page's state: playlist, snapshots, done
  GET  watch/live.m3u8?id=N          the latest playlist, open-ended (an event
                                     playlist) until the completion notice
  GET  watch/hls.min.js              hls.js (npm, installed by scripts/install-deps
                                     into tools/devcloud/node_modules;
                                     KX_HLS_JS names another copy)
  GET  MerioClass/<path>             the current bucket's file, as the storage
                                     host serves the bucket at its root (the
                                     playlist names segments by such paths)

Test control (never journaled), all GET with query parameters:
  _admin/journal[?clear=1]   JSON array of the last 10 000 (--journal-limit)
                             requests received,
                             in arrival order: seq, time, end, method, path,
                             rawPath, query, form, json, params, contentType,
                             bytes, status, fault
  _admin/fault?path=P&kind=K[&count=N][&status=S][&ms=D][&method=M]
        adds a rule for requests whose path starts with P (count -1 =
        unlimited, default 1). Kinds: status (answer S with a JSON error
        body), fail ("success": false), malformed (broken JSON), nonobject
        (a JSON array), delay (wait D ms, then answer normally), drop
        (close the connection without an answer), huge (a 200 answer whose
        JSON body is larger than 1 MiB), trickle (a 200 answer announcing
        1000 bytes and sending one of them every D ms, default 200). The
        first live rule that matches a request is used.
  _admin/reverse?count=N[&path=P][&wait_ms=W]
        holds the next N requests under P (default the record path) and
        answers them in reverse order of arrival; if fewer than N arrive
        within W ms (default 10000) those held are answered in reverse.
  _admin/offline?on=1[&ms=T] | on=0
        drops every service request (as if the host went away) until on=0
        or for T ms.
  _admin/bucket?name=X       _admin/version?json=OBJECT
  _admin/stats               counters: uploads in flight and their maximum,
                             requests, actions, classrooms (in the order
                             they were opened: records, done)
  _admin/actions             every reported action
  _admin/classroom?id=N      the records of a classroom
  _admin/reset               clears faults, reverse, offline and the journal
"""

import asyncio
import collections
import json
import os
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "server"))

try:
    from aiohttp import web
except ImportError:
    # Another python3 first on PATH (pyenv, a virtualenv): Debian's has aiohttp.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

from norvimerio_server import app as server_app, sql  # noqa: E402
from norvimerio_server.database import SqliteDatabase  # noqa: E402
from norvimerio_server.routes import RECORD_PATH, Refusal, Service, answer, flat_query  # noqa: E402
from norvimerio_server.settings import Settings  # noqa: E402
from norvimerio_server.storage import Storage  # noqa: E402

if not os.environ.get("KX_HLS_JS"):
    os.environ["KX_HLS_JS"] = os.path.join(HERE, "node_modules", "hls.js", "dist", "hls.min.js")

JOURNAL_LIMIT = 10000


class Reverser:
    """Holds a number of requests and releases them in reverse order."""

    def __init__(self, count, path, wait_ms):
        self.remaining = count
        self.path = path
        self.wait_s = wait_ms / 1000.0
        self.held = []  # (release event, done event)
        self.released = False

    def hold(self, path):
        """Returns (release, done) events when the request is held, else None."""
        if self.released or self.remaining <= 0 or not path.startswith(self.path):
            return None
        item = (asyncio.Event(), asyncio.Event())
        self.held.append(item)
        self.remaining -= 1
        if self.remaining == 0:
            self.release()
        elif len(self.held) == 1:
            asyncio.get_running_loop().call_later(self.wait_s, self.release)
        return item

    def release(self):
        if self.released:
            return
        self.released = True
        items = list(reversed(self.held))

        async def run():
            for release, done in items:
                release.set()
                try:
                    await asyncio.wait_for(done.wait(), 5.0)  # the reply is out before the next is released
                except asyncio.TimeoutError:
                    pass
                await asyncio.sleep(0.1)  # and has time to reach the client first
        asyncio.get_running_loop().create_task(run())


class TestControls:
    """What tests steer and read; the service itself is norvimerio-server's."""

    def __init__(self, service, journal_limit=JOURNAL_LIMIT):
        self.service = service
        self.journal = collections.deque(maxlen=journal_limit)
        self.seq = 0
        self.faults = []
        self.reverser = None
        self.offline = False
        self.offline_until = None
        self.started = time.time()

    def is_offline(self):
        if self.offline and self.offline_until is not None and time.time() >= self.offline_until:
            self.offline = False
            self.offline_until = None
        return self.offline

    def take_fault(self, method, path):
        for rule in self.faults:
            if rule["count"] == 0 or not path.startswith(rule["path"]):
                continue
            if rule["method"] and rule["method"] != method:
                continue
            if rule["count"] > 0:
                rule["count"] -= 1
            return dict(rule)
        return None

    # ---- the journaled path of every service request ----------------------
    async def serve(self, request):
        svc = self.service
        path, query = svc.split(request)
        if path == "_admin" or path.startswith("_admin/"):
            return await self.admin(request, path[len("_admin/"):], query)
        self.seq += 1
        entry = {"seq": self.seq, "time": time.time() - self.started, "method": request.method, "path": path,
                 "rawPath": request.raw_path.partition("?")[0], "query": query, "form": {}, "json": None,
                 "params": dict(query), "contentType": request.headers.get("Content-Type", ""), "bytes": 0,
                 "status": None, "fault": None}
        self.journal.append(entry)
        try:
            response = await self.serve_entry(request, path, query, entry)
            entry["status"] = response.status if response is not None else None
            return response
        finally:
            entry["end"] = time.time() - self.started

    async def serve_entry(self, request, path, query, entry):
        svc = self.service
        if self.is_offline():
            entry["fault"] = "offline"
            return self.drop(request)
        is_upload = request.method == "PUT" and path.startswith("storage/")
        body = None
        if not is_upload:
            try:
                body = await svc.read_body(request)
            except Refusal as exc:
                return await answer_refusal(exc)
            except (ConnectionError, asyncio.IncompleteReadError):
                return self.drop(request)
            entry["bytes"] = len(body)
            try:
                params, form, parsed, _ = svc.decode(request, query, body)
            except Refusal:
                form = flat_query(body.decode("utf-8", "replace"))
                params, parsed = dict(query, **form), None
            entry.update(params=params, form=form, json=None if parsed is ValueError else parsed)

        fault = self.take_fault(request.method, path)
        if fault:
            entry["fault"] = kind = fault["kind"]
            if kind == "delay":
                await asyncio.sleep(max(0, fault["ms"]) / 1000.0)
            elif kind == "drop":
                return self.drop(request)
            else:
                if is_upload:
                    try:
                        async for _ in svc.body_pieces(request):
                            pass
                    except (Refusal, ConnectionError):
                        return self.drop(request)
                if kind == "status":
                    return json_answer({"success": False, "message": "injected status"}, fault["status"])
                if kind == "fail":
                    return json_answer({"success": False, "message": "injected failure"})
                if kind == "malformed":
                    return web.Response(body=b'{"success": true, "data": "unterminated',
                                        content_type="application/json")
                if kind == "nonobject":
                    return json_answer([1, 2, 3])
                if kind == "huge":
                    return json_answer({"success": True, "data": "x" * (1536 * 1024)})
                if kind == "trickle":
                    return await self.trickle(request, fault["ms"] or 200)
                return json_answer({"success": False, "message": "unknown fault " + kind}, 500)

        reverser = self.reverser
        held = reverser.hold(path) if reverser else None
        if held:
            entry["fault"] = "reverse"
            try:
                await asyncio.wait_for(held[0].wait(), reverser.wait_s + 10.0)
            except asyncio.TimeoutError:
                pass
            try:
                return await answer(svc, request, path, query, entry, body)
            finally:
                # Released once the answer is on its way.
                asyncio.get_running_loop().call_soon(held[1].set)
        return await answer(svc, request, path, query, entry, body)

    @staticmethod
    def drop(request):
        """Closes the connection without an answer."""
        request.protocol.force_close()
        if request.transport is not None:
            request.transport.abort()
        return None

    @staticmethod
    async def trickle(request, pause_ms):
        """Answers 200 with a body that never seems to end: one byte at a time."""
        resp = web.StreamResponse(status=200, headers={"Content-Type": "application/json"})
        resp.content_length = 1000
        resp.force_close()
        try:
            await resp.prepare(request)
            for _ in range(1000):
                await resp.write(b" ")
                await asyncio.sleep(pause_ms / 1000.0)
        except (ConnectionError, RuntimeError):
            pass  # the client gave up, as it should
        return resp

    # ---- test control -------------------------------------------------------
    async def admin(self, request, what, q):
        svc = self.service
        try:
            await svc.read_body(request)
        except Refusal as exc:
            return await answer_refusal(exc)
        if what == "journal":
            out = json.loads(json.dumps(list(self.journal)))
            if q.get("clear") == "1":
                self.journal.clear()
            return json_answer(out)
        if what == "fault":
            try:
                rule = {"path": q.get("path", ""), "kind": q["kind"], "count": int(q.get("count", "1")),
                        "status": int(q.get("status", "500")), "ms": int(q.get("ms", "0")),
                        "method": q.get("method", "")}
            except (KeyError, ValueError):
                return json_answer({"success": False, "message": "bad fault"}, 400)
            self.faults.append(rule)
            return json_answer({"success": True, "data": rule})
        if what == "reverse":
            try:
                self.reverser = Reverser(int(q.get("count", "2")), q.get("path", RECORD_PATH),
                                         int(q.get("wait_ms", "10000")))
            except ValueError:
                return json_answer({"success": False, "message": "bad reverse"}, 400)
            return json_answer({"success": True})
        if what == "offline":
            self.offline = q.get("on", "1") == "1"
            try:
                ms = int(q.get("ms", "0") or 0)
            except ValueError:
                return json_answer({"success": False, "message": "bad ms"}, 400)
            self.offline_until = time.time() + ms / 1000.0 if self.offline and ms > 0 else None
            return json_answer({"success": True, "data": self.offline})
        if what == "bucket":
            svc.bucket = q.get("name", svc.bucket)
            return json_answer({"success": True, "data": svc.bucket})
        if what == "version":
            try:
                svc.version_answer = json.loads(q.get("json", "{}"))
            except ValueError:
                return json_answer({"success": False, "message": "bad json"}, 400)
            return json_answer({"success": True})
        if what == "stats":
            rooms = await svc.db.fetch(sql.ALL_CLASSROOMS)
            actions = await self.actions()
            return json_answer({
                "uploadsInFlight": svc.uploads_in_flight,
                "maxUploadsInFlight": svc.max_uploads_in_flight,
                "requests": self.seq,
                "actions": len(actions),
                "classrooms": {cid: {"records": n, "done": bool(done)} for cid, done, n in rooms},
            })
        if what == "actions":
            return json_answer(await self.actions())
        if what == "classroom":
            cid = q.get("id", "")
            room = await svc.db.fetch(sql.GET_CLASSROOM, cid)
            if not room:
                return json_answer({"success": False, "message": "no such classroom"}, 404)
            records = [json.loads(p) for _, _, _, p in await svc.db.fetch(sql.RECORDS_OF, cid)]
            return json_answer({"records": records, "done": bool(room[0][1])})
        if what == "reset":
            self.faults = []
            self.reverser = None
            self.offline = False
            self.offline_until = None
            self.journal.clear()
            svc.max_uploads_in_flight = svc.uploads_in_flight
            return json_answer({"success": True})
        return json_answer({"success": False, "message": "unknown admin path"}, 404)

    async def actions(self):
        out = []
        for (body,) in await self.service.db.fetch(sql.ALL_ACTIONS):
            out.extend(json.loads(body))
        return out


def json_answer(obj, status=200):
    return web.Response(status=status, body=json.dumps(obj).encode("utf-8"), content_type="application/json")


async def answer_refusal(exc):
    resp = json_answer({"success": False, "message": exc.message}, exc.status)
    resp.force_close()
    return resp


def main():
    import argparse
    ap = argparse.ArgumentParser(description="Stand-in cloud service (loopback only)")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--data", required=True, help="folder of the stored files")
    ap.add_argument("--bucket", default="merio-bucket")
    ap.add_argument("--exit-with-stdin", action="store_true", help="exit when standard input is closed")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--tls-cert", help="PEM certificate: serve HTTPS")
    ap.add_argument("--tls-key", help="PEM private key of --tls-cert")
    ap.add_argument("--upload-token", default="", help="ask for this bearer token, as the real service does")
    ap.add_argument("--body-limit-mib", type=int, default=64)
    ap.add_argument("--idle-timeout", type=float, default=10.0)
    ap.add_argument("--journal-limit", type=int, default=JOURNAL_LIMIT)
    args = ap.parse_args()

    os.makedirs(args.data, exist_ok=True)
    settings = Settings(data=args.data, host="127.0.0.1", port=args.port, bucket=args.bucket,
                        storage_root=args.data, body_limit=args.body_limit_mib * 1024 * 1024,
                        idle_timeout=args.idle_timeout, token=args.upload_token,
                        retention_days=36500)
    service = Service(settings, SqliteDatabase(":memory:"), Storage(args.data, file_mode=0o644, dir_mode=0o755),
                      args.upload_token)
    service.any_bucket = service.any_type = True
    controls = TestControls(service, max(1, args.journal_limit))

    @web.middleware
    async def journaled(request, handler):
        return await controls.serve(request)

    if args.verbose:
        import logging
        logging.basicConfig(level=logging.INFO, format="devcloud: %(message)s", stream=sys.stderr)
        logging.getLogger("aiohttp.access").setLevel(logging.INFO)

    ssl_context = None
    if args.tls_cert:
        import ssl
        ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ssl_context.load_cert_chain(args.tls_cert, args.tls_key)

    async def run():
        app = server_app.create_app(settings, service=service, middlewares=[journaled])
        loop = asyncio.get_running_loop()
        # A client that does not trust the certificate, or one that gives up,
        # is routine here.
        loop.set_exception_handler(lambda _loop, ctx: None if not args.verbose else
                                   sys.stderr.write("devcloud: %s\n" % ctx.get("message")))
        stop = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        if args.exit_with_stdin:
            def watch_stdin():
                try:
                    while os.read(0, 4096):
                        pass
                except OSError:
                    pass
                loop.call_soon_threadsafe(stop.set)
            threading.Thread(target=watch_stdin, daemon=True).start()
        runner, port = await server_app.start(app, "127.0.0.1", args.port, ssl_context=ssl_context,
                                              idle_timeout=args.idle_timeout)
        settings.public_url = "%s://127.0.0.1:%d/" % ("https" if ssl_context else "http", port)
        print(settings.public_url, flush=True)
        await stop.wait()

    try:
        asyncio.run(run())
    finally:
        # Requests still held (delays, trickles) must not keep it alive.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)


if __name__ == "__main__":
    main()
