"""The HTTP API the program speaks, and what students open."""

import asyncio
import concurrent.futures
import hmac
import html
import json
import logging
import os
import re
import secrets
import time
import urllib.parse

from aiohttp import ClientPayloadError, web
from aiohttp.streams import EofStream

from . import sql
from .database import DatabaseUnavailable
from .storage import StorageError, content_type

log = logging.getLogger("norvimerio-server")

RECORD_PATH = "api/merioclass/merioclassroom"
NOTICE_PATH = "api/merioclass/sendsure"
BUCKET_ROOT_PREFIX = "MerioClass/"
HERE = os.path.dirname(os.path.abspath(__file__))
WATCH_PAGE = os.path.join(HERE, "watch.html")
HLS_JS_PLACES = [
    os.path.join(HERE, "hls.min.js"),
    "/usr/share/norvimerio-server/hls.min.js",
    os.path.join(HERE, "..", "..", "tools", "devcloud", "node_modules", "hls.js", "dist", "hls.min.js"),
]
CLASSROOM_ID = re.compile(r"^[0-9]{1,40}$")
SEGMENT_CACHE = "public, max-age=31536000, immutable"


class Refusal(Exception):
    """An answer other than success: one JSON line with the reason."""

    def __init__(self, status, message, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers


def json_answer(obj, status=200, headers=None):
    return web.Response(status=status, body=json.dumps(obj).encode("utf-8"),
                        content_type="application/json", headers=headers)


def refusal_answer(status, message, headers=None):
    return json_answer({"success": False, "message": message}, status, headers)


def flat_query(text):
    parsed = urllib.parse.parse_qs(text, keep_blank_values=True)
    return {k: v[-1] for k, v in parsed.items()}


def new_classroom_id():
    # 100 random bits, in digits: the program reads the id as "id=<digits>".
    return str(secrets.randbits(100)).rjust(31, "0")


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def count_segments(text):
    return sum(1 for ln in text.splitlines() if ln.startswith("#EXTINF"))


class Service:
    """The service's requests; devcloud adds its test controls around it."""

    def __init__(self, settings, db, storage, token):
        self.settings = settings
        self.db = db
        self.storage = storage
        self.token = token.encode("utf-8") if token else b""
        self.bucket = settings.bucket
        self.any_bucket = False  # devcloud stores under whatever bucket it is given
        self.any_type = False    # and records whatever type a test sends
        self.version_answer = {"hasNewVersion": False, "version": "1.0.0", "url": ""}
        self.uploads_in_flight = 0
        self.max_uploads_in_flight = 0
        # Writes and syncs wait for the disk on threads of their own: the
        # loop's default threads open the files that students fetch.
        self.disk = concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="disk")

    @property
    def public_url(self):
        return self.settings.public_url

    # ---- request plumbing ------------------------------------------------
    @staticmethod
    def split(request):
        """(path without the leading "/", decoded; query) from the request
        line as sent: no normalisation may hide a ".." from the checks."""
        raw = request.raw_path
        if raw.startswith(("http://", "https://")):
            # The absolute form a client sends through a proxy.
            parts = urllib.parse.urlsplit(raw)
            raw = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        path, _, query = raw.partition("?")
        return urllib.parse.unquote(path).lstrip("/"), flat_query(query)

    async def read_body(self, request, limit=None):
        """The whole body; 413 above the limit, 408 when the client stalls."""
        limit = self.settings.body_limit if limit is None else limit
        if request.content_length is not None and request.content_length > limit:
            raise Refusal(413, "body too large")
        data = bytearray()
        async for piece in self.body_pieces(request):
            data += piece
            if len(data) > limit:
                raise Refusal(413, "body too large")
        return bytes(data)

    async def body_pieces(self, request):
        while True:
            try:
                piece = await asyncio.wait_for(request.content.readany(), self.settings.idle_timeout)
            except asyncio.TimeoutError:
                raise Refusal(408, "request body stalled") from None
            if not piece:
                if not request.content.is_eof():
                    raise ConnectionResetError("body cut short")
                return
            yield piece

    @staticmethod
    def decode(request, query, body):
        """Query plus form fields (and the JSON body, when there is one):
        (params, form, json or ValueError when it is no JSON, size)."""
        params = dict(query)
        parsed_json = None
        ctype = (request.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if ctype == "application/x-www-form-urlencoded":
            try:
                form = flat_query(body.decode("utf-8"))
            except UnicodeDecodeError:
                raise Refusal(400, "form is not UTF-8") from None
            params.update(form)
            return params, form, None, len(body)
        if ctype == "application/json" and body:
            try:
                parsed_json = json.loads(body.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                parsed_json = ValueError  # refused by the handlers that take JSON
        return params, {}, parsed_json, len(body)

    def authorised(self, request):
        if not self.token:
            return True
        header = request.headers.get("Authorization", "")
        scheme, _, given = header.partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode("utf-8"), self.token)

    @staticmethod
    def needs_token(method, path):
        return path.startswith("api/") or (method in ("PUT", "POST", "DELETE") and path.startswith("storage/"))

    # ---- dispatch --------------------------------------------------------
    async def handle(self, request, path, query, entry=None, body=None):
        """Answers one service request. entry, when given, collects what the
        request carried (devcloud's journal); body is the request's body when
        it was read already."""
        method = request.method
        if self.needs_token(method, path) and not self.authorised(request):
            raise Refusal(401, "upload token required", {"WWW-Authenticate": "Bearer"})
        if method == "PUT" and path.startswith("storage/"):
            return await self.put(request, path[len("storage/"):], entry)
        if method in ("GET", "HEAD"):
            if path == "":
                return web.Response(text="norvimerio-server\n")
            if path.startswith("storage/"):
                return self.fetch(path[len("storage/"):])
            if path.startswith(BUCKET_ROOT_PREFIX):
                # Playlists name their segments by root paths ("/MerioClass/..."),
                # as the storage host serves the bucket at its root.
                return self.fetch(self.bucket + "/" + path)
            if path == "watch":
                return await self.watch_page(query.get("id", ""))
            if path.startswith("watch/"):
                return await self.watch_part(path[len("watch/"):], query.get("id", ""))
        if path.startswith("storage/"):
            raise Refusal(405, "method not allowed")

        if body is None:
            body = await self.read_body(request)
        params, form, body_json, size = self.decode(request, query, body)
        if path == "api/bucket/bucket":
            return json_answer({"success": True, "data": self.bucket})
        if path == RECORD_PATH and method == "POST":
            return await self.record(params)
        if path == NOTICE_PATH and method == "POST":
            return await self.notice(params)
        if path == "api/action/report" and method == "POST":
            return await self.actions(body_json)
        if path == "api/version/check":
            return json_answer({"success": True, "data": dict(self.version_answer)})
        raise Refusal(404, "not found")

    # ---- the program's requests ------------------------------------------
    async def record(self, params):
        kind = params.get("type", "")
        if kind not in ("1", "2") and not self.any_type:
            raise Refusal(400, "type must be 1 (playlist) or 2 (snapshot)")
        cid = params.get("id", "")
        path = params.get("path", "")
        code = params.get("code")
        now = time.time()
        opening = []
        if cid == "":
            cid = new_classroom_id()
            opening = [(sql.ADD_CLASSROOM, (cid, now, now))]
        elif not CLASSROOM_ID.match(cid) or not await self.db.fetch(sql.GET_CLASSROOM, cid):
            return json_answer({"success": False, "message": "no such classroom"})
        segments = -1
        if kind == "1":
            segments = await asyncio.get_running_loop().run_in_executor(None, self.listed_segments, params)
        await self.db.write(*opening, (sql.ADD_RECORD, (cid, kind, path, segments, json.dumps(params), now)),
                            (sql.TOUCH_CLASSROOM, (now, cid)))
        data = self.public_url + "watch?id=" + cid
        if code is not None:
            data += "&code=" + urllib.parse.quote(code, safe="")
        return json_answer({"success": True, "data": data})

    def listed_segments(self, params):
        """How many segments the recorded playlist lists: the record's own
        count when it gives one, else the stored file's."""
        given = params.get("segments", "")
        if given.isdigit():
            return int(given)
        target = self.storage.locate(self.bucket + "/" + params.get("path", "").lstrip("/"))
        if target is None:
            return 0
        try:
            with open(target, encoding="utf-8", errors="replace") as f:
                return count_segments(f.read())
        except OSError:
            return 0

    async def notice(self, params):
        cid = params.get("id", "")
        if not CLASSROOM_ID.match(cid) or not await self.db.fetch(sql.GET_CLASSROOM, cid):
            return json_answer({"success": False, "message": "no such classroom"})
        await self.db.execute(sql.FINISH_CLASSROOM, time.time(), cid)
        return json_answer({"success": True, "data": ""})

    async def actions(self, body):
        if not isinstance(body, dict) or not isinstance(body.get("actions"), list):
            raise Refusal(400, "expected {\"actions\": [...]}")
        await self.db.execute(sql.ADD_ACTIONS, json.dumps(body["actions"]), time.time())
        return json_answer({"success": True, "data": len(body["actions"])})

    async def put(self, request, rel, entry):
        if not self.any_bucket and rel.split("/", 1)[0] != self.bucket:
            raise Refusal(403, "unknown bucket")
        limit = self.settings.body_limit
        if request.content_length is not None and request.content_length > limit:
            raise Refusal(413, "body too large")
        loop = asyncio.get_running_loop()
        try:
            target, tmp, out = await loop.run_in_executor(self.disk, self.storage.begin, rel)
        except StorageError as exc:
            raise Refusal(exc.status, exc.message) from None
        self.uploads_in_flight += 1
        self.max_uploads_in_flight = max(self.max_uploads_in_flight, self.uploads_in_flight)
        size = 0
        try:
            try:
                async for piece in self.body_pieces(request):
                    size += len(piece)
                    if size > limit:
                        raise Refusal(413, "body too large")
                    # Disk writes and the final sync wait for the disk,
                    # never holding up the other clients.
                    await loop.run_in_executor(self.disk, self.storage.write_piece, tmp, out, piece)
                await loop.run_in_executor(self.disk, self.storage.commit, target, tmp, out)
            except BaseException:
                self.storage.abort(tmp, out)
                raise
        except StorageError as exc:
            raise Refusal(exc.status, exc.message) from None
        finally:
            self.uploads_in_flight -= 1
            if entry is not None:
                entry["bytes"] = size
        return json_answer({"success": True, "data": rel})

    def fetch(self, rel):
        try:
            target = self.storage.readable(rel)
        except StorageError as exc:
            raise Refusal(exc.status, exc.message) from None
        ctype = content_type(target)
        cache = "no-cache" if ctype == "application/vnd.apple.mpegurl" else (
            SEGMENT_CACHE if ctype == "video/mp2t" else "public, max-age=3600")
        return web.FileResponse(target, headers={"Content-Type": ctype, "Cache-Control": cache})

    # ---- what students see -----------------------------------------------
    async def watch_view(self, cid):
        """The latest playlist (the one listing the most segments: a record
        that arrives late never shortens the lesson), the snapshots, done."""
        if not CLASSROOM_ID.match(cid):
            return None
        room, records = await self.db.read((sql.GET_CLASSROOM, (cid,)), (sql.RECORDS_OF, (cid,)))
        if not room:
            return None
        view = {"bucket": self.bucket, "done": bool(room[0][1]), "playlist": None, "segments": -1,
                "snapshots": [], "created": float(room[0][2])}
        for kind, path, segments, _ in records:
            if kind == "1" and segments >= view["segments"]:
                view["playlist"], view["segments"] = path, segments
            elif kind == "2":
                view["snapshots"].append(path)
        return view

    def storage_url(self, bucket, path):
        return self.public_url + "storage/" + urllib.parse.quote(bucket + "/" + path.lstrip("/"))

    def watch_state(self, cid, view):
        return {
            "id": cid,
            "done": view["done"],
            "playlist": self.storage_url(view["bucket"], view["playlist"]) if view["playlist"] else "",
            # Relative, so that the page works under whatever host name it was opened.
            "live": "watch/live.m3u8?id=" + urllib.parse.quote(cid),
            "snapshots": [self.storage_url(view["bucket"], p) for p in view["snapshots"]],
        }

    async def watch_page(self, cid):
        view = await self.watch_view(cid)
        if view is None:
            return web.Response(status=404, content_type="text/html", charset="utf-8", text=(
                "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
                "content=\"width=device-width, initial-scale=1\"><title>Lesson not found</title></head>"
                "<body style=\"font-family: sans-serif; margin: 2em\"><h1>This lesson is not here</h1>"
                "<p>The link may be incomplete: scan the code again or ask your teacher for it. "
                "Lessons are kept for %d days; an older one has been removed.</p></body></html>"
                % round(self.settings.retention_days)))
        state = self.watch_state(cid, view)
        link = ""
        if view["playlist"]:
            link = "Stream for other players: <a id=\"playlist\" href=\"%s\">%s</a>" % (
                (html.escape(state["playlist"]),) * 2)
        snapshots = "".join("<img class=\"snapshot\" alt=\"Snapshot\" src=\"%s\">" % html.escape(u)
                            for u in state["snapshots"])
        # "<" never appears raw inside the script element that carries the state.
        state_json = json.dumps(state).replace("<", "\\u003c")
        page = await asyncio.get_running_loop().run_in_executor(None, read_text, WATCH_PAGE)
        # Students know a lesson by when it was given, not by its code.
        title = time.strftime("%d %b %Y, %H:%M", time.localtime(view["created"])).lstrip("0")
        for key, value in (("{{TITLE}}", html.escape(title)), ("{{SNAPSHOTS}}", snapshots),
                           ("{{PLAYLIST_LINK}}", link), ("{{STATE_JSON}}", state_json)):
            page = page.replace(key, value)
        return web.Response(text=page, content_type="text/html", charset="utf-8",
                            headers={"Cache-Control": "no-cache"})

    async def watch_part(self, what, cid):
        if what == "hls.min.js":
            for place in [os.environ.get("KX_HLS_JS", "")] + HLS_JS_PLACES:
                if place and os.path.isfile(place):
                    return web.FileResponse(place, headers={"Content-Type": "text/javascript",
                                                            "Cache-Control": "public, max-age=86400"})
            raise Refusal(404, "hls.js is not installed (scripts/install-deps)")
        if what not in ("state", "live.m3u8"):
            raise Refusal(404, "not found")
        view = await self.watch_view(cid)
        if view is None:
            raise Refusal(404, "not found")
        if what == "state":
            return json_answer(self.watch_state(cid, view), headers={"Cache-Control": "no-cache"})
        if not view["playlist"]:
            raise Refusal(404, "no playlist yet")
        # File reads too stay off the loop: on a busy disk an open() can wait.
        return await asyncio.get_running_loop().run_in_executor(None, self.live_playlist, view)

    def live_playlist(self, view):
        """The latest stored playlist. The program ends every version of it
        with EXT-X-ENDLIST; until the completion notice the end mark is taken
        out and the playlist declared an event, so that players keep
        reloading it as it grows instead of stopping at what is there."""
        target = self.storage.locate(view["bucket"] + "/" + view["playlist"].lstrip("/"))
        if target is None or not os.path.isfile(target):
            raise Refusal(404, "playlist not stored")
        with open(target, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        if not view["done"]:
            lines = [ln for ln in lines
                     if ln.strip() != "#EXT-X-ENDLIST" and not ln.startswith("#EXT-X-PLAYLIST-TYPE")]
            lines.insert(1 if lines and lines[0].startswith("#EXTM3U") else 0, "#EXT-X-PLAYLIST-TYPE:EVENT")
        return web.Response(body=("\n".join(lines) + "\n").encode("utf-8"),
                            content_type="application/vnd.apple.mpegurl", headers={"Cache-Control": "no-cache"})

    # ---- retention --------------------------------------------------------
    async def sweep(self):
        """Removes the lessons untouched for longer than the retention, with
        their files. Returns how many lessons went."""
        cutoff = time.time() - self.settings.retention_days * 86400
        removed = 0
        while True:
            old = await self.db.fetch(sql.OLD_CLASSROOMS, cutoff)
            if not old:
                return removed
            for (cid,) in old:
                paths = [p for _, p, _, _ in await self.db.fetch(sql.RECORDS_OF, cid) if p]
                files = self.storage.lesson_files(self.bucket, paths)
                count = self.storage.remove(files)
                await self.db.write((sql.DROP_RECORDS, (cid,)), (sql.DROP_CLASSROOM, (cid,)))
                log.info("retention: removed lesson %s and %d of its files", cid, count)
                removed += 1


async def answer(service, request, path, query, entry=None, body=None):
    """service.handle with every failure turned into its one-line answer."""
    try:
        return await service.handle(request, path, query, entry, body)
    except Refusal as exc:
        resp = refusal_answer(exc.status, exc.message, exc.headers)
        if exc.status in (408, 413):
            resp.force_close()  # the rest of the body is not read
        return resp
    except (ConnectionResetError, EofStream, ClientPayloadError) as exc:
        # The client went away or cut its body short: nothing to answer.
        log.info("request %s %s cut short: %s", request.method, path, exc)
        resp = refusal_answer(400, "request cut short")
        resp.force_close()
        return resp
    except DatabaseUnavailable as exc:
        log.warning("database unavailable: %s", exc)
        return refusal_answer(503, "database unavailable, try again", {"Retry-After": "2"})
