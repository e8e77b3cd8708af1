"""The two database engines behind one small interface: SQLite (default, one
process) and PostgreSQL (several processes and machines share it)."""

import asyncio
import concurrent.futures
import os
import re
import sqlite3

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

    async def close(self):
        pass


class SqliteDatabase(Database):
    """sqlite3 on one worker thread: SQLite serialises writes anyway."""

    def __init__(self, path):
        self.path = path
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="sqlite")
        self.conn = None

    def _open(self):
        if self.path != ":memory:":
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
        conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False)
        if self.path != ":memory:":
            conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("PRAGMA synchronous=FULL")
        conn.execute("PRAGMA busy_timeout=5000")
        return conn

    async def _run(self, fn):
        try:
            return await asyncio.get_running_loop().run_in_executor(self.pool, fn)
        except sqlite3.OperationalError as exc:
            raise DatabaseUnavailable(str(exc)) from exc

    async def migrate(self):
        def run():
            if self.conn is None:
                self.conn = self._open()
            c = self.conn
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
        await self._run(run)

    async def execute(self, statement, *args):
        await self._run(lambda: self.conn.execute(statement, args).rowcount)

    async def fetch(self, statement, *args):
        return await self._run(lambda: self.conn.execute(statement, args).fetchall())

    async def close(self):
        def run():
            if self.conn is not None:
                self.conn.close()
                self.conn = None
        await self._run(run)
        self.pool.shutdown(wait=True)


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
                self.pool = await asyncpg.create_pool(self.url, min_size=1, max_size=10, timeout=5,
                                                      command_timeout=10)
            except (OSError, asyncio.TimeoutError, asyncpg.PostgresError) as exc:
                raise DatabaseUnavailable(str(exc)) from exc
        return self.pool

    async def _run(self, fn):
        import asyncpg
        pool = await self._pool()
        try:
            async with pool.acquire(timeout=5) as conn:
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
        await self._run(lambda conn: conn.execute(self._sql(statement), *args))

    async def fetch(self, statement, *args):
        rows = await self._run(lambda conn: conn.fetch(self._sql(statement), *args))
        return [tuple(r) for r in rows]

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
