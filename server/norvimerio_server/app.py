"""The application factory and the server's start."""

import asyncio
import logging
import os
import secrets
import signal
import sys
import time

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError
from aiohttp.web_protocol import RequestHandler

from . import settings as settings_mod
from .database import open_database
from .routes import Service, answer, log, refusal_answer
from .storage import Storage

SERVICE = web.AppKey("service", Service) if hasattr(web, "AppKey") else "service"


def load_token(data_dir):
    """The upload token: read from DATA/upload-token, created (mode 0600) at
    the first start. Returns (token, created)."""
    path = os.path.join(data_dir, "upload-token")
    os.makedirs(data_dir, exist_ok=True)
    token = secrets.token_urlsafe(32)
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        with open(path, encoding="ascii") as f:
            existing = f.read().strip()
        if not existing:
            raise SystemExit("norvimerio-server: %s is empty; remove it to make a new token" % path)
        return existing, False
    with os.fdopen(fd, "w", encoding="ascii") as f:
        f.write(token + "\n")
        f.flush()
        os.fsync(f.fileno())
    return token, True


def create_app(settings, *, service=None, middlewares=()):
    """The web application over one Service. devcloud passes its own
    middlewares (journal, faults) and routes (_admin) around the same API."""
    if service is None:
        db = open_database(settings.database_url)
        service = Service(settings, db, Storage(settings.storage_dir), settings.token)
    app = web.Application(middlewares=list(middlewares), client_max_size=settings.body_limit)
    app[SERVICE] = service

    async def dispatch(request):
        path, query = service.split(request)
        try:
            return await asyncio.wait_for(answer(service, request, path, query), settings.request_timeout)
        except asyncio.TimeoutError:
            # However slowly bytes keep coming, a request has an end.
            response = refusal_answer(408, "request took too long")
            response.force_close()
            return response

    async def startup(app_):
        await service.db.migrate()
        await service.sweep()
        app_["sweeper"] = asyncio.get_running_loop().create_task(sweep_forever(service))

    async def cleanup(app_):
        task = app_.get("sweeper")
        if task:
            task.cancel()
        await service.db.close()

    app.on_startup.append(startup)
    app.on_cleanup.append(cleanup)
    app["dispatch"] = dispatch
    app.router.add_route("*", "/{tail:.*}", dispatch)
    return app


async def sweep_forever(service):
    interval = max(0.2, min(3600.0, service.settings.retention_days * 86400 / 4))
    while True:
        await asyncio.sleep(interval)
        try:
            await service.sweep()
        except Exception as exc:  # the next round tries again
            log.warning("retention sweep failed: %s", exc)


class WatchedHandler(RequestHandler):
    """A connection that is closed when its client sends nothing for the idle
    time while no request of it is being answered: a half-sent request line
    or header never holds a connection for good."""

    __slots__ = ("_kx_last", "_kx_timer", "_kx_idle")

    def connection_made(self, transport):
        super().connection_made(transport)
        self._kx_last = time.monotonic()
        self._kx_idle = self._keepalive_timeout
        self._kx_timer = self._loop.call_later(self._kx_idle, self._kx_check)

    def data_received(self, data):
        self._kx_last = time.monotonic()
        super().data_received(data)

    def connection_lost(self, exc):
        if getattr(self, "_kx_timer", None) is not None:
            self._kx_timer.cancel()
            self._kx_timer = None
        super().connection_lost(exc)

    def log_exception(self, *args, **kw):
        # A malformed request is the client's fault: one line, no traceback.
        exc = kw.get("exc_info")
        if isinstance(exc, HttpProcessingError):
            log.info("refused a malformed request: %s", getattr(exc, "message", exc))
            return
        super().log_exception(*args, **kw)

    def _kx_check(self):
        self._kx_timer = None
        if self.transport is None:
            return
        quiet = time.monotonic() - self._kx_last
        if self._current_request is None and quiet >= self._kx_idle:
            self.force_close()
            return
        self._kx_timer = self._loop.call_later(max(0.5, self._kx_idle - quiet), self._kx_check)


class WatchedServer(web.Server):
    def __call__(self):
        return WatchedHandler(self, loop=self._loop, **self._kwargs)


class WatchedRunner(web.AppRunner):
    async def _make_server(self):
        server = await super()._make_server()
        server.__class__ = WatchedServer
        return server


async def start(app, host, port, ssl_context=None, idle_timeout=10.0, access_log=False):
    """Starts serving; returns (runner, bound port)."""
    logging_args = {"access_log": None}
    if access_log:
        logging_args = {"access_log": logging.getLogger("norvimerio-server.access"),
                        "access_log_format": "%r %s %b %Tf"}
    runner = WatchedRunner(app, keepalive_timeout=idle_timeout, handle_signals=False, **logging_args)
    await runner.setup()
    site = web.TCPSite(runner, host, port, ssl_context=ssl_context, reuse_address=True)
    await site.start()
    sockets = site._server.sockets if site._server else []
    bound = sockets[0].getsockname()[1] if sockets else port
    return runner, bound


def main(argv=None):
    settings = settings_mod.from_args(argv)
    logging.basicConfig(level=logging.INFO, format="norvimerio-server: %(message)s", stream=sys.stderr)
    token, created = load_token(settings.data)
    settings.token = token
    if created:
        print("New upload token; put this line in the program's version.ini, group [Cloud]:", flush=True)
        print("[Cloud] UploadToken=" + token, flush=True)

    async def run():
        app = create_app(settings)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        runner, port = await start(app, settings.host, settings.port, idle_timeout=settings.idle_timeout,
                                   access_log=settings.access_log)
        if not settings.public_url:
            settings.public_url = settings_mod.public_url_for(settings.host, port)
        print("norvimerio-server: serving on %s:%d, watch pages at %swatch?id=…"
              % (settings.host, port, settings.public_url), flush=True)
        try:
            await stop.wait()
        finally:
            await runner.cleanup()

    asyncio.run(run())
