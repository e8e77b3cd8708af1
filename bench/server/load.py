#!/usr/bin/python3
"""Load on norvimerio-server over loopback: PROGRAMS kx-record processes
upload a lesson each at once (virtual camera, the unit's microphone from a
private PulseAudio daemon) while STUDENTS simulated phones fetch the live
playlist of a lesson every 2 s and each segment new in it. Once with SQLite
and, when a PostgreSQL cluster can be started here (root), once with
PostgreSQL.

    bench/server/load.py [--build build] [--out build/bench] [--seconds 30]
                         [--programs 5] [--students 40] [--quick]

Reports per database: errors (any failed request of a student or a
program; must be 0), p50/p99 latency of segment GETs (as the students
measure them) and of registrations (the server's own time per record
request, from its access log), and the server's CPU time per uploaded media
second. Writes OUT/server-load.json, and adds its figures to
OUT/summary.json and OUT/summary.md when they exist.
"""

import argparse
import asyncio
import json
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "server"))
sys.path.insert(0, os.path.join(ROOT, "server"))
import aiohttp  # noqa: E402
import pgcluster  # noqa: E402
from serverproc import ServerProcess  # noqa: E402
from norvimerio_server import sql  # noqa: E402
from norvimerio_server.database import open_database  # noqa: E402


def percentile(values, p):
    if not values:
        return None
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


async def fetch(session, url):
    """GET as a browser does it: a reused connection that the server closed
    meanwhile (its idle time-out) is tried once more on a new one."""
    for attempt in (1, 2):
        try:
            async with session.get(url) as r:
                return r.status, await r.read()
        except (aiohttp.ServerDisconnectedError, aiohttp.ClientOSError):
            if attempt == 2:
                raise


class Students:
    """Phones watching the lessons as they upload."""

    def __init__(self, base, count):
        self.base = base
        self.count = count
        self.segment_ms = []
        self.errors = []
        self.segments = 0
        self.done = False

    async def watch(self, session, lesson_ids, n):
        seen = set()
        ended = False
        while not (ended or (self.done and not seen)):
            if not lesson_ids:
                await asyncio.sleep(0.5)
                continue
            cid = lesson_ids[n % len(lesson_ids)]
            t0 = time.monotonic()
            try:
                status, body = await fetch(session, self.base + "watch/live.m3u8?id=" + cid)
                text = body.decode("utf-8", "replace")
            except (aiohttp.ClientError, asyncio.TimeoutError) as exc:
                self.errors.append("playlist: %r" % exc)
                status, text = None, ""
            if status == 200:
                ended = "#EXT-X-ENDLIST" in text
                for uri in re.findall(r"^(/\S+\.ts)$", text, re.M):
                    if uri in seen:
                        continue
                    seen.add(uri)
                    s0 = time.monotonic()
                    try:
                        status, _ = await fetch(session, self.base + uri.lstrip("/"))
                        if status != 200:
                            self.errors.append("segment %s: %d" % (uri, status))
                    except (aiohttp.ClientError, asyncio.TimeoutError) as exc:
                        self.errors.append("segment %s: %r" % (uri, exc))
                    self.segment_ms.append((time.monotonic() - s0) * 1000)
                    self.segments += 1
            elif status is not None and status != 404:  # 404: no playlist registered yet
                self.errors.append("playlist: %d" % status)
            if self.done and not ended:
                ended = True  # the uploads are over; one last look was taken
            await asyncio.sleep(max(0.0, 2.0 - (time.monotonic() - t0)))

    async def run(self, lesson_ids):
        timeout = aiohttp.ClientTimeout(total=30)
        async with aiohttp.ClientSession(timeout=timeout) as session:
            await asyncio.gather(*(self.watch(session, lesson_ids, n) for n in range(self.count)))


async def lesson_ids_of(database_url, ids, stop):
    """The classrooms as they open (the bench reads the server's database:
    the service lists no lessons to anyone)."""
    db = open_database(database_url)
    try:
        await db.migrate()  # opens it; the server has made the schema already
        while not stop.is_set():
            rows = await db.fetch(sql.ALL_CLASSROOMS)
            for cid, _, _ in rows:
                if cid not in ids:
                    ids.append(cid)
            try:
                await asyncio.wait_for(stop.wait(), 0.5)
            except asyncio.TimeoutError:
                pass
    finally:
        await db.close()


def start_recorders(args, srv, work):
    bin_dir = os.path.join(args.build, "bin")
    pulse_dir = os.path.join(work, "pulse")
    pulse = subprocess.Popen([os.path.join(ROOT, "scripts", "unit-mic"), pulse_dir],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(pulse_dir, "native"), KX_VIRTUAL_CAMERA="default")
    deadline = time.monotonic() + 20
    while subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL).returncode != 0:
        if time.monotonic() > deadline:
            raise RuntimeError("the private PulseAudio daemon did not start")
        time.sleep(0.3)
    procs = []
    for n in range(args.programs):
        home = os.path.join(work, "program%d" % n)
        os.makedirs(home)
        ini = os.path.join(home, "version.ini")
        with open(ini, "w") as f:
            f.write("[Cloud]\nServerUrl=%s\nUploadToken=%s\n" % (srv.url, srv.token))
        procs.append(subprocess.Popen(
            [os.path.join(bin_dir, "kx-record"), "--seconds", str(args.seconds), "--snapshots", "2", "--json",
             "--out", os.path.join(home, "out"), "--upload-wait", "120"],
            env=dict(env, HOME=home, TMPDIR=home, KX_VERSION_INI=ini),
            # Files, not pipes: nothing reads them before the end.
            stdout=open(os.path.join(home, "kx-record.out"), "w"),
            stderr=open(os.path.join(home, "kx-record.log"), "w")))
    return pulse, procs


def run_round(args, label, database_url, extra):
    with tempfile.TemporaryDirectory(prefix="kx-server-load-") as work:
        data = os.path.join(work, "data")
        srv = ServerProcess(data, "--access-log", *extra)
        cpu0 = cpu_seconds(srv.proc.pid)
        pulse, procs = start_recorders(args, srv, work)
        students = Students(srv.url, args.students)
        ids = []

        async def main():
            stop = asyncio.Event()
            watcher = asyncio.ensure_future(lesson_ids_of(database_url or "sqlite:///" + data + "/server.db",
                                                          ids, stop))
            watching = asyncio.ensure_future(students.run(ids))
            while any(p.poll() is None for p in procs):
                await asyncio.sleep(0.5)
            students.done = True
            try:
                await asyncio.wait_for(watching, 90)
            except asyncio.TimeoutError:
                students.errors.append("students still fetching 90 s after the uploads ended")
            stop.set()
            await watcher
        try:
            asyncio.run(main())
            cpu = cpu_seconds(srv.proc.pid) - cpu0
        finally:
            log = srv.stop()
            with open(os.path.join(args.out, "server-load-%s.log" % label), "w") as f:
                f.write(log)
            for n in range(args.programs):
                src = os.path.join(work, "program%d" % n, "kx-record.log")
                if os.path.exists(src):
                    with open(src) as f, open(os.path.join(args.out, "server-load-%s-program%d.log"
                                                                  % (label, n)), "w") as g:
                        g.write(f.read())
            pulse.terminate()
            pulse.wait(10)
        program_errors, media_s = [], 0.0
        for n, p in enumerate(procs):
            with open(os.path.join(work, "program%d" % n, "kx-record.out")) as f:
                out = f.read()
            try:  # the summary is the line that is a JSON object
                rec = [json.loads(ln) for ln in out.splitlines() if ln.startswith("{")][-1]["recordings"][0]
            except (ValueError, IndexError, KeyError):
                program_errors.append("program %d ended with %s and no summary" % (n, p.returncode))
                continue
            media_s += rec["duration_s"] if rec["upload_done"] and not rec["upload_failed"] else 0
            if p.returncode != 0 or not rec["upload_done"] or rec["upload_failed"]:
                program_errors.append("program %d: exit %s, upload_done %s, failed %s"
                                      % (n, p.returncode, rec["upload_done"], rec["upload_failed"]))
        record_ms = [float(m.group(1)) * 1000 for m in
                     re.finditer(r"POST /api/merioclass/merioclassroom HTTP/1.1 200 \d+ ([\d.]+)", log)]
        server_errors = re.findall(r"^.*\" (5\d\d) .*$|Traceback", log, re.M)
        errors = students.errors + program_errors + ["server: %s" % e for e in server_errors if e]
        return {
            "database": label,
            "programs": args.programs, "students": args.students, "lesson_s": args.seconds,
            "errors": len(errors), "error_samples": errors[:10],
            "segment_gets": students.segments,
            "segment_get_p50_ms": percentile(students.segment_ms, 50),
            "segment_get_p99_ms": percentile(students.segment_ms, 99),
            "registrations": len(record_ms),
            "registration_p50_ms": percentile(record_ms, 50),
            "registration_p99_ms": percentile(record_ms, 99),
            "uploaded_media_s": round(media_s, 1),
            "server_cpu_s": round(cpu, 2),
            "server_cpu_ms_per_media_s": round(cpu * 1000 / media_s, 2) if media_s else None,
        }


def report(rows, out):
    lines = ["| database | errors | segment GET p50 / p99 ms | registration p50 / p99 ms | server CPU ms per media s |",
             "|---|---|---|---|---|"]
    fmt = lambda v: "-" if v is None else "%.1f" % v  # noqa: E731
    for r in rows:
        lines.append("| %s | %d | %s / %s (%d GETs) | %s / %s (%d) | %s (%.1f s of media) |" % (
            r["database"], r["errors"], fmt(r["segment_get_p50_ms"]), fmt(r["segment_get_p99_ms"]),
            r["segment_gets"], fmt(r["registration_p50_ms"]), fmt(r["registration_p99_ms"]), r["registrations"],
            fmt(r["server_cpu_ms_per_media_s"]), r["uploaded_media_s"]))
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(out, "server-load.json"), "w") as f:
        json.dump(rows, f, indent=1)
    summary = os.path.join(out, "summary.json")
    if os.path.exists(summary):
        with open(summary) as f:
            data = json.load(f)
        data["server_load"] = rows
        with open(summary, "w") as f:
            json.dump(data, f, indent=1)
    md = os.path.join(out, "summary.md")
    if os.path.exists(md):
        with open(md, "a") as f:
            f.write("\n## Share server under load (bench/server/load.py)\n\n%s\n" % text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--seconds", type=int, default=30)
    ap.add_argument("--programs", type=int, default=5)
    ap.add_argument("--students", type=int, default=40)
    ap.add_argument("--quick", action="store_true", help="12 s lessons")
    args = ap.parse_args()
    if args.quick or os.environ.get("KX_BENCH_QUICK") == "1":
        args.seconds = min(args.seconds, 12)
    os.makedirs(args.out, exist_ok=True)
    rows = [run_round(args, "SQLite", None, [])]
    why = pgcluster.available()
    if why:
        print("PostgreSQL round skipped: " + why)
    else:
        cluster = pgcluster.Cluster()
        try:
            rows.append(run_round(args, "PostgreSQL", cluster.url, ["--database", cluster.url]))
        finally:
            cluster.close()
    report(rows, args.out)
    return 0 if all(r["errors"] == 0 for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
