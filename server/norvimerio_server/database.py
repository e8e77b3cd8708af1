"""The two database engines behind one small interface: SQLite (default, one
process) and PostgreSQL (several processes and machines share it)."""

import asyncio
import concurrent.futures
import os
import re
import sqlite3
import threading

from . import sql


class DatabaseUnavailable(Exception):
    """The database cannot be reached right now; the request may be retried."""


class Database:
    async def migrate(self):
        """Creates or updates the schema to the newest migration."""
        raise NotImplementedError

    async def execute(self, statement, *args):
        raise NotImplementedError

    async def fetch(self, statement, *args):
        raise NotImplementedError

    async def read(self, *queries):
        """Runs (statement, args) queries together; their rows, in order."""
        raise NotImplementedError

    async def write(self, *statements):
        """Runs (statement, args) statements in one transaction."""
        raise NotImplementedError

    async def close(self):
        pass


class SqliteDatabase(Database):
    """sqlite3 on worker threads: one writer (SQLite serialises writes
    anyway) and readers with connections of their own, so that a commit
    waiting for the disk never holds up the students' pages (WAL)."""

    READERS = 2

    def __init__(self, path):
        self.path = path
        self.writer = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="sqlite-w")
        shared = path == ":memory:"  # one connection only: nothing else would see the data
        self.readers = self.writer if shared else concurrent.futures.ThreadPoolExecutor(
            max_workers=self.READERS, thread_name_prefix="sqlite-r")
        self.local = threading.local()
        self.conns = []
        self.lock = threading.Lock()

    def _conn(self):
        conn = getattr(self.local, "conn", None)
        if conn is None:
            if self.path != ":memory:":
                os.makedirs(os.path.dirname(self.path) or ".", exist_ok=True)
            conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False)
            if self.path != ":memory:":
                conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=FULL")
            conn.execute("PRAGMA busy_timeout=5000")
            self.local.conn = conn
            with self.lock:
                self.conns.append(conn)
        return conn

    async def _run(self, pool, fn):
        try:
            return await asyncio.get_running_loop().run_in_executor(pool, fn)
        except sqlite3.OperationalError as exc:
            raise DatabaseUnavailable(str(exc)) from exc

    async def migrate(self):
        def run():
            c = self._conn()
            c.execute(sql.CREATE_VERSION_TABLE)
            current = c.execute(sql.GET_VERSION).fetchone()[0] or 0
            for version, statements in sql.MIGRATIONS:
                if version <= current:
                    continue
                c.execute("BEGIN IMMEDIATE")
                try:
                    for s in statements:
                        c.execute(s.format(id="INTEGER PRIMARY KEY AUTOINCREMENT"))
                    c.execute(sql.SET_VERSION, (version,))
                    c.execute("COMMIT")
                except BaseException:
                    c.execute("ROLLBACK")
                    raise
        await self._run(self.writer, run)

    async def execute(self, statement, *args):
        await self.write((statement, args))

    async def fetch(self, statement, *args):
        return (await self.read((statement, args)))[0]

    async def read(self, *queries):
        def run():
            c = self._conn()
            c.execute("BEGIN")  # one snapshot for all of them
            try:
                return [c.execute(q, a).fetchall() for q, a in queries]
            finally:
                c.execute("COMMIT")
        return await self._run(self.readers, run)

    async def write(self, *statements):
        def run():
            c = self._conn()
            c.execute("BEGIN IMMEDIATE")
            try:
                for q, a in statements:
                    c.execute(q, a)
                c.execute("COMMIT")
            except BaseException:
                c.execute("ROLLBACK")
                raise
        await self._run(self.writer, run)

    async def close(self):
        for pool in {self.writer, self.readers}:
            pool.shutdown(wait=True)
        with self.lock:
            for conn in self.conns:
                conn.close()
            self.conns = []


def _numbered(statement):
    count = [0]

    def next_number(_):
        count[0] += 1
        return "$%d" % count[0]
    return re.sub(r"\?", next_number, statement)


class PostgresDatabase(Database):
    # Any key shared by every server process: migrations run one at a time.
    MIGRATION_LOCK = 0x4E4D5331

    def __init__(self, url):
        self.url = url
        self.pool = None
        self.statements = {}

    def _sql(self, statement):
        text = self.statements.get(statement)
        if text is None:
            text = self.statements[statement] = _numbered(statement)
        return text

    async def _pool(self):
        import asyncpg
        if self.pool is None:
            try:
                self.pool = await asyncpg.create_pool(self.url, min_size=1, max_size=20, timeout=10,
                                                      command_timeout=20)
            except (OSError, asyncio.TimeoutError, asyncpg.PostgresError) as exc:
                raise DatabaseUnavailable(str(exc)) from exc
        return self.pool

    async def _run(self, fn):
        import asyncpg
        pool = await self._pool()
        try:
            async with pool.acquire(timeout=10) as conn:
                return await fn(conn)
        except (OSError, asyncio.TimeoutError, asyncpg.exceptions.ConnectionDoesNotExistError,
                asyncpg.exceptions.CannotConnectNowError, asyncpg.exceptions.AdminShutdownError,
                asyncpg.exceptions.InterfaceError, asyncpg.exceptions.TooManyConnectionsError) as exc:
            raise DatabaseUnavailable(str(exc)) from exc

    async def migrate(self):
        async def run(conn):
            async with conn.transaction():
                await conn.execute("SELECT pg_advisory_xact_lock(%d)" % self.MIGRATION_LOCK)
                await conn.execute(sql.CREATE_VERSION_TABLE)
                current = await conn.fetchval(sql.GET_VERSION) or 0
                for version, statements in sql.MIGRATIONS:
                    if version <= current:
                        continue
                    for s in statements:
                        await conn.execute(s.format(id="BIGSERIAL PRIMARY KEY"))
                    await conn.execute(self._sql(sql.SET_VERSION), version)
        await self._run(run)

    async def execute(self, statement, *args):
        await self.write((statement, args))

    async def fetch(self, statement, *args):
        return (await self.read((statement, args)))[0]

    async def read(self, *queries):
        async def run(conn):
            return [[tuple(r) for r in await conn.fetch(self._sql(q), *a)] for q, a in queries]
        return await self._run(run)

    async def write(self, *statements):
        async def run(conn):
            async with conn.transaction():
                for q, a in statements:
                    await conn.execute(self._sql(q), *a)
        await self._run(run)

    async def close(self):
        if self.pool is not None:
            await self.pool.close()
            self.pool = None


def open_database(url):
    if url.startswith("sqlite:///"):
        return SqliteDatabase(url[len("sqlite:///"):])
    if url.startswith(("postgresql://", "postgres://")):
        return PostgresDatabase(url)
    raise ValueError("unknown database URL: " + url)
