"""A private PostgreSQL cluster for a test: its own folder, a unix socket in a
private folder, no TCP port, run as the postgres user."""

import os
import shutil
import subprocess
import tempfile

BIN = "/usr/lib/postgresql/15/bin"


def available():
    """None when a cluster can be started here, else the reason."""
    if os.geteuid() != 0:
        return "needs root to run the cluster as the postgres user"
    if not os.path.exists(os.path.join(BIN, "initdb")):
        return "postgresql-15 is not installed (scripts/install-deps)"
    return None


class Cluster:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kx-pg-")
        os.chmod(self.root, 0o711)
        self.dir = os.path.join(self.root, "cluster")
        self.sock = os.path.join(self.root, "sock")
        for d in (self.dir, self.sock):
            os.mkdir(d, 0o700)
            shutil.chown(d, "postgres", "postgres")
        self.run("initdb", "-D", self.dir, "-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8")
        self.start()
        self.run("createdb", "-h", self.sock, "-U", "postgres", "lessons")
        self.url = "postgresql://postgres@/lessons?host=" + self.sock

    def run(self, tool, *args):
        subprocess.run(["runuser", "-u", "postgres", "--", os.path.join(BIN, tool)] + list(args),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)

    def start(self):
        self.run("pg_ctl", "-D", self.dir, "-l", os.path.join(self.dir, "log"), "-w", "-t", "60", "-o",
                 "-k %s -c listen_addresses='' -c fsync=off" % self.sock, "start")

    def stop(self):
        self.run("pg_ctl", "-D", self.dir, "-m", "fast", "-w", "-t", "60", "stop")

    def close(self):
        try:
            self.stop()
        except subprocess.SubprocessError:
            pass
        shutil.rmtree(self.root, ignore_errors=True)
