"""The server's settings, from its command line."""

import argparse
import dataclasses
import os
import socket


@dataclasses.dataclass
class Settings:
    data: str
    host: str = "0.0.0.0"
    port: int = 8080
    public_url: str = ""          # ends with "/"; filled in at start when empty
    database: str = ""            # "" = SQLite in data/server.db
    retention_days: float = 30.0
    bucket: str = "merio-bucket"
    storage_root: str = ""        # "" = data/storage
    body_limit: int = 64 * 1024 * 1024
    idle_timeout: float = 10.0    # seconds without a byte from a client
    request_timeout: float = 600.0
    token: str = ""               # "" = read or create data/upload-token
    require_token: bool = True
    access_log: bool = False      # one line per request with its time (load tests, diagnosis)

    @property
    def database_url(self):
        return self.database or "sqlite:///" + os.path.join(self.data, "server.db")

    @property
    def storage_dir(self):
        return self.storage_root or os.path.join(self.data, "storage")


def parse_listen(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host.strip("[]") or "0.0.0.0", int(port)


def public_url_for(host, port):
    """The address students' phones reach: the host's name unless it listens
    on one address only."""
    if host in ("0.0.0.0", "::", ""):
        host = socket.getfqdn()
    if ":" in host:
        host = "[%s]" % host
    return "http://%s:%d/" % (host, port)


def normalise_url(url):
    if not url.startswith(("http://", "https://")):
        raise argparse.ArgumentTypeError("the public URL must start with http:// or https://")
    return url if url.endswith("/") else url + "/"


def positive(kind):
    def parse(text):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be above 0")
        return value
    return parse


def from_args(argv=None):
    ap = argparse.ArgumentParser(prog="norvimerio-server",
                                 description="Share service for NorviMerioShare lessons on a school's network")
    ap.add_argument("--data", required=True, help="folder of the database, the token and the stored files")
    ap.add_argument("--listen", default="0.0.0.0:8080", type=parse_listen, help="HOST:PORT (default 0.0.0.0:8080)")
    ap.add_argument("--public-url", type=normalise_url,
                    help="base URL the students' phones open (default http://<host name>:<port>/)")
    ap.add_argument("--database", default="",
                    help="postgresql://user@host/db (default: SQLite in DATA/server.db)")
    ap.add_argument("--retention-days", type=positive(float), default=30.0,
                    help="lessons older than this are removed with their files (default 30)")
    ap.add_argument("--bucket", default="merio-bucket", help=argparse.SUPPRESS)
    ap.add_argument("--body-limit-mib", type=positive(int), default=64, help="largest upload (default 64)")
    ap.add_argument("--idle-timeout", type=positive(float), default=10.0,
                    help="seconds a client may stay silent inside a request (default 10)")
    ap.add_argument("--access-log", action="store_true", help="log every request with its duration")
    args = ap.parse_args(argv)
    if args.database and not args.database.startswith(("postgresql://", "postgres://", "sqlite:///")):
        ap.error("--database takes a postgresql:// (or sqlite:///) URL")
    host, port = args.listen
    return Settings(data=os.path.abspath(args.data), host=host, port=port, public_url=args.public_url or "",
                    database=args.database, retention_days=args.retention_days, bucket=args.bucket,
                    body_limit=args.body_limit_mib * 1024 * 1024, idle_timeout=args.idle_timeout, access_log=args.access_log)
