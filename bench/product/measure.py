#!/usr/bin/env python3
"""The whole product measured, side by side with the ffmpeg command line.

    python3 bench/product/measure.py --build build --out build/bench [--quick]
                                     [--camera-log FILE]

Everything runs on private services: a PulseAudio daemon with the unit's
microphone (scripts/unit-mic, a 440 Hz tone), the stand-in cloud service on
loopback (tools/devcloud), the virtual camera looping an MJPEG file made by
kx-camgen (1280x720 at 15 fps) and, for the program, its own Xvfb.

  recording   kx-record --seconds 60 --json and, started at the same moment,
              ffmpeg doing the same job: the same MJPEG file at 15 fps and
              the same PulseAudio source, libx264 at the camera encoder's
              settings, AAC 64 kbit/s 44.1 kHz, one MP4 plus 5-second TS
              segments through the tee muxer. CPU from each process's
              rusage; kx-record's per thread from /proc/PID/task/*/stat over
              the recording (kx-h264 = libx264, kx-capture = capture and
              JPEG decoding, kx-voxtap = AAC encoder: the rest is the
              product's own share); resident memory at 10 s and at the end.
              Both processes' CPU per recorded second by thread name
              (cpu_per_thread, ffmpeg_cpu_per_thread) and, where perf can
              sample them, by library (cpu_per_library,
              ffmpeg_cpu_per_library; perf-*.data kept with the run).
  apart       the same two jobs again, each alone on the machine, one
              after the other (the order swapped every round). Side by side
              they need more than the machine's 2 cores: kx-record drops
              what it cannot take live, which flatters its CPU per recorded
              second, and spreads its fixed costs over fewer pictures, which
              weighs on its CPU per picture. Alone, neither drops nor falls
              behind: CPU per encoded picture of each, split by perf into
              libx264 and everything else (cpu_ratio_vs_ffmpeg_apart_per_frame,
              x264_... and rest_ratio_vs_ffmpeg_apart_per_frame).
  program     build/bin/NorviMerioShare under its own Xvfb: start-up to the
              first mapped window and to the idle icon (log line
              "KxMainWidgetCtrller::onAnimateExit"); then a recording
              started by a click on the icon and ended by the program's
              3-minute limit: peak resident memory (VmHWM) until the uploads
              end, and the dropped frames and audio blocks it logs at the
              stop (the product alone on the machine), the countdown's
              end to the first frame written into the lesson's files (log
              lines "onCountDownExit" and "KxMuxer::write first video
              frame"), and the resident memory once the lesson's uploads
              have ended.
  idle        the program up and idle in the tray before any lesson:
              resident memory, CPU seconds per second and each thread's
              wake-ups over 60 s (15 s with --quick).
  segments    every recording's segments: the close (log line
              "KxTsCreater::close") to the devcloud journal's registration
              of the first playlist uploaded after the segment itself.
  avsync      bench/capture/avsync.sh (flash picture and clicks) at the
              unit's 15 frames per second; the offsets are kx-avsync's
              played view (the sound as one run of samples from its first
              stamp, as players play it), the stamped view beside it.
  1080p       kx-record of a camera offering only 1920x1080 MJPEG at 30
              fps (the pictures are scaled to the configured size before
              encoding): CPU per recorded second and dropped frames.
  camera      max_sustained_fps is read from the camera benchmark's log
              (bench/capture/run.sh, unthrottled part) when --camera-log
              names it.

Writes OUT/summary.json and OUT/summary.md, and each run's files under
OUT/product/. KX_BENCH_QUICK=1 or --quick shortens every duration.
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CLK_TCK = os.sysconf("SC_CLK_TCK")
CODEC_THREADS = ("kx-h264", "kx-capture", "kx-voxtap")
PROGRAM_ICON_LINE = "KxMainWidgetCtrller::onAnimateExit"
FPS = 15


def log(*args):
    print(*args, flush=True)


# ---------------------------------------------------------------- /proc

def proc_cpu(pid):
    """utime + stime of the whole process in seconds (dead threads included)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError, ValueError):
        return None


def per_thread(pid, part, figure):
    """figure(text of /proc/PID/task/TID/PART) -> (thread name, value) for
    the live threads, the values summed by thread name."""
    out = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return out
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/%s" % (pid, tid, part)) as f:
                name, value = figure(f.read())
        except OSError:
            continue
        out[name] = out.get(name, 0) + value
    return out


def thread_cpu(pid):
    """CPU seconds of the live threads, summed by thread name."""
    def figure(stat):
        fields = stat[stat.rindex(")") + 2:].split()
        return stat[stat.index("(") + 1:stat.rindex(")")], (int(fields[11]) + int(fields[12])) / CLK_TCK
    return per_thread(pid, "stat", figure)


def per_second(before, after, seconds):
    """CPU seconds per recorded second of each thread name between two
    thread_cpu readings (names whose threads all ended are left out)."""
    if seconds <= 0:
        return {}
    out = {}
    for name, cpu in after.items():
        used = cpu - before.get(name, 0.0)
        if used >= 0.01:
            out[name] = round(used / seconds, 4)
    return out


class PerfSampler:
    """perf sampling one process over a window, for its CPU by library.
    Inert where perf is missing or may not sample the process: the
    benchmark runs the same without it."""

    def __init__(self, pid, path, seconds):
        self.path = path
        self.proc = None
        if not shutil.which("perf") or seconds <= 1:
            return
        try:
            self.proc = subprocess.Popen(["perf", "record", "-q", "-F", "199", "-o", path, "-p", str(pid),
                                          "--", "sleep", "%.1f" % seconds],
                                         stdout=subprocess.DEVNULL, stderr=open(path + ".log", "w"))
        except OSError:
            self.proc = None

    def shares(self, timeout=30):
        """{library: share of the samples}, or None without samples."""
        if self.proc is None:
            return None
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        if self.proc.returncode != 0 or not os.path.exists(self.path):
            return None
        try:
            report = subprocess.run(["perf", "report", "-i", self.path, "--no-children", "-g", "none",
                                     "--sort", "dso", "--stdio", "-q"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        except (OSError, subprocess.TimeoutExpired):
            return None
        out = {}
        for line in report.stdout.decode(errors="replace").splitlines():
            m = re.match(r"\s*([0-9.]+)%\s+(.+?)\s*$", line)
            if m:
                name = library_name(m.group(2))
                out[name] = out.get(name, 0.0) + float(m.group(1)) / 100
        return out or None


def library_name(dso):
    """"libx264.so.164" -> "libx264", "[kernel.kallsyms]" -> "kernel"."""
    if dso.startswith("[kernel"):
        return "kernel"
    return re.sub(r"(-[0-9.]+)?\.so(\.[0-9]+)*$", "", dso)


def per_library(shares, cpu_s, seconds):
    """Sample shares as CPU seconds per recorded second; libraries under a
    thousandth of a CPU second per second are summed as "other"."""
    if not shares or seconds <= 0 or not cpu_s:
        return None
    out = {}
    for name, share in shares.items():
        value = share * cpu_s / seconds
        key = name if value >= 0.001 else "other"
        out[key] = out.get(key, 0.0) + value
    return {k: round(v, 4) for k, v in sorted(out.items(), key=lambda kv: -kv[1])}


def end_process(proc):
    """SIGTERM, then SIGKILL after 10 s."""
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def status_kib(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Reaped:
    """A child's end as os.wait4 reports it, with the CPU time it used
    (Popen.poll would reap the child and lose its rusage)."""

    def __init__(self, proc):
        self.proc = proc
        self.status = None
        self.cpu = None
        self.max_rss_kib = None
        self.ended = None  # time.monotonic() when first seen ended

    def alive(self, block=False):
        if self.cpu is not None:
            return False
        pid, status, ru = os.wait4(self.proc.pid, 0 if block else os.WNOHANG)
        if pid != self.proc.pid:
            return True
        self.status = os.waitstatus_to_exitcode(status)
        self.proc.returncode = self.status
        self.cpu = ru.ru_utime + ru.ru_stime
        self.max_rss_kib = ru.ru_maxrss
        self.ended = time.monotonic()
        return False

    def wait(self, timeout):
        """Waits (bounded) for the end; returns (status, CPU seconds), the
        status None when the child had to be killed."""
        deadline = time.monotonic() + timeout
        while self.alive():
            if time.monotonic() > deadline:
                self.proc.kill()
                self.alive(block=True)
                return None, self.cpu
            time.sleep(0.05)
        return self.status, self.cpu


class LineClock:
    """Reads a pipe line by line on its own thread, keeping each line's
    arrival time (time.monotonic) and copying it to a log file."""

    def __init__(self, pipe, path):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, args=(pipe, path), daemon=True)
        self.thread.start()

    def _run(self, pipe, path):
        # Line-buffered: the log is read while the program still runs.
        with open(path, "w", buffering=1) as out:
            for raw in iter(pipe.readline, b""):
                line = raw.decode(errors="replace").rstrip("\n")
                out.write(line + "\n")
                with self.cond:
                    self.lines.append((time.monotonic(), line))
                    self.cond.notify_all()

    def wait_for(self, pattern, timeout):
        """Arrival time of the first line matching pattern, or None."""
        deadline = time.monotonic() + timeout
        rx = re.compile(pattern)
        with self.cond:
            while True:
                for t, line in self.lines:
                    if rx.search(line):
                        return t
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


# ---------------------------------------------------------------- services

class Services:
    """PulseAudio with the unit's microphone, devcloud, the MJPEG file and
    the virtual camera's description, in one scratch folder."""

    def __init__(self, build, work):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.work = work
        self.procs = []
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)
        # The product's working folder (TMPDIR/NorviMerioShare-UID) apart
        # from other runs of it on the machine.
        self.env["TMPDIR"] = os.path.join(work, "tmp")
        os.makedirs(self.env["TMPDIR"])

    def start(self):
        pulse = os.path.join(self.work, "pulse")
        self.procs.append(subprocess.Popen([os.path.join(ROOT, "scripts", "unit-mic"), pulse],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.env["PULSE_SERVER"] = "unix:" + os.path.join(pulse, "native")
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("the private PulseAudio daemon did not start")

        data = os.path.join(self.work, "cloud")
        os.makedirs(data)
        cloud = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "devcloud", "devcloud.py"),
                                  "--port", "0", "--data", data, "--exit-with-stdin"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=open(os.path.join(self.work, "devcloud.log"), "w"))
        self.procs.append(cloud)
        self.url = cloud.stdout.readline().decode().strip()
        if not self.url.startswith("http"):
            raise RuntimeError("devcloud did not start")
        if not self.url.endswith("/"):
            self.url += "/"
        ini = os.path.join(self.work, "version.ini")
        with open(ini, "w") as f:
            f.write("[Cloud]\nServerUrl=%s\n" % self.url)
        self.env["KX_VERSION_INI"] = ini
        # The journal's times count from devcloud's own start: one journaled
        # request at a known wall-clock time gives the offset.
        self.journal(clear=True)
        before = time.time()
        urllib.request.urlopen(self.url + "api/bucket/bucket", timeout=10).read()
        after = time.time()
        entry = self.journal(clear=True)[-1]
        self.cloud_epoch = (before + after) / 2 - (entry["time"] + entry["end"]) / 2

        self.mjpeg = os.path.join(self.work, "frames.mjpeg")
        subprocess.run([os.path.join(self.bin, "kx-camgen"), "mjpeg", self.mjpeg, "1280x720", "150"],
                       check=True, stdout=subprocess.DEVNULL)
        camera = os.path.join(self.work, "camera.json")
        with open(camera, "w") as f:
            json.dump({"devices": [{"name": "VANTRI Multimedia Unit HD", "mjpegFile": "frames.mjpeg",
                                    "capabilities": [{"format": "MJPG", "width": 1280, "height": 720,
                                                      "fps": FPS}]}]}, f)
        self.env["KX_VIRTUAL_CAMERA"] = camera

    def full_hd_camera(self):
        """A camera offering only 1920x1080 MJPEG at 30 fps; its description."""
        mjpeg = os.path.join(self.work, "frames1080.mjpeg")
        subprocess.run([os.path.join(self.bin, "kx-camgen"), "mjpeg", mjpeg, "1920x1080", "60"],
                       check=True, stdout=subprocess.DEVNULL)
        camera = os.path.join(self.work, "camera1080.json")
        with open(camera, "w") as f:
            json.dump({"devices": [{"name": "VANTRI Multimedia Unit HD: VANT", "mjpegFile": mjpeg,
                                    "capabilities": [{"format": "MJPG", "width": 1920, "height": 1080,
                                                      "fps": 30}]}]}, f)
        return camera

    def journal(self, clear=False):
        with urllib.request.urlopen(self.url + "_admin/journal" + ("?clear=1" if clear else ""), timeout=10) as r:
            return json.load(r)

    def stop(self):
        for p in reversed(self.procs):
            end_process(p)


# ---------------------------------------------------------------- kx-record

def ffmpeg_args(mjpeg, seconds, out):
    """The same job as a recording, on the ffmpeg command line."""
    return ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
            "-re", "-stream_loop", "-1", "-f", "mjpeg", "-framerate", str(FPS), "-i", mjpeg,
            "-f", "pulse", "-i", "unit_mic",
            "-map", "0:v", "-map", "1:a",
            "-c:v", "libx264", "-b:v", "2000k", "-g", "12", "-threads", "4", "-thread_type", "slice",
            "-c:a", "aac", "-b:a", "64k", "-ar", "44100", "-t", str(seconds),
            "-f", "tee", "[f=mp4]%s/ffmpeg.mp4|[f=segment:segment_time=5:segment_format=mpegts]%s/ffmpeg.%%03d.ts"
            % (out, out)]


def wait_for_x264_threads(pid, alive=lambda: True, timeout=5):
    """perf follows the threads a process has when it attaches, and ffmpeg
    starts libx264's threads at its first picture: waits (bounded) until
    ffmpeg has them."""
    until = time.monotonic() + timeout
    while time.monotonic() < until and alive() and len(thread_cpu(pid)) < 5:
        time.sleep(0.1)


class CpuWindow:
    """Where the CPU of the recording window goes, for kx-record and the
    ffmpeg beside it: per thread name (/proc) and per library (perf)."""

    def __init__(self, proc, ff, out, seconds):
        self.t0 = time.monotonic()
        self.t1 = None
        self.ff = ff
        self.ff_threads0 = thread_cpu(ff.pid) if ff else {}
        self.ff_cpu0 = proc_cpu(ff.pid) if ff else None
        self.ff_threads1, self.ff_cpu1 = {}, None
        self.samplers = {}
        self.starter = threading.Thread(target=self._sample, args=(proc, ff, out, seconds), daemon=True)
        self.starter.start()

    def _sample(self, proc, ff, out, seconds):
        if ff:
            wait_for_x264_threads(ff.pid)
        seconds -= time.monotonic() - self.t0
        self.samplers["kx-record"] = PerfSampler(proc.pid, os.path.join(out, "perf-kx-record.data"), seconds)
        if ff:
            self.samplers["ffmpeg"] = PerfSampler(ff.pid, os.path.join(out, "perf-ffmpeg.data"), seconds)

    def close(self):
        self.t1 = time.monotonic()
        if self.ff:
            self.ff_threads1, self.ff_cpu1 = thread_cpu(self.ff.pid), proc_cpu(self.ff.pid)

    def shares(self, name):
        self.starter.join(10)
        sampler = self.samplers.get(name)
        return sampler.shares() if sampler else None

    def figures(self, threads0, threads1, cpu_s):
        seconds = (self.t1 or time.monotonic()) - self.t0
        r = {"window_s": round(seconds, 2), "cpu_per_thread": per_second(threads0, threads1, seconds),
             "cpu_per_library": per_library(self.shares("kx-record"), cpu_s, seconds)}
        if self.ff:
            ff_cpu = self.ff_cpu1 - self.ff_cpu0 if self.ff_cpu0 is not None and self.ff_cpu1 is not None else None
            r["ffmpeg_cpu_per_thread"] = per_second(self.ff_threads0, self.ff_threads1, seconds)
            r["ffmpeg_cpu_per_library"] = per_library(self.shares("ffmpeg"), ff_cpu, seconds)
        return r


def median_by_name(tables):
    """{name: median over the rounds} of per-round {name: value} tables (a
    name missing from a round counts as 0 there)."""
    tables = [t for t in tables if t]
    if not tables:
        return None
    names = sorted({k for t in tables for k in t})
    out = {k: round(statistics.median([t.get(k, 0.0) for t in tables]), 4) for k in names}
    return dict(sorted(out.items(), key=lambda kv: -kv[1]))


def cpu_breakdown(rounds):
    """The summary's per-thread and per-library keys (medians of the rounds)."""
    return {key: median_by_name([r.get(key) for r in rounds])
            for key in ("cpu_per_thread", "ffmpeg_cpu_per_thread", "cpu_per_library", "ffmpeg_cpu_per_library")}


def cpu_breakdown_markdown(s):
    """Tables of CPU s per recorded second by thread and by library, kx-record beside ffmpeg."""
    out = []
    for title, mine, theirs in (("thread", "cpu_per_thread", "ffmpeg_cpu_per_thread"),
                                ("library (perf)", "cpu_per_library", "ffmpeg_cpu_per_library")):
        a, b = s.get(mine) or {}, s.get(theirs) or {}
        if not a and not b:
            continue
        names = sorted(set(a) | set(b), key=lambda k: -max(a.get(k, 0.0), b.get(k, 0.0)))
        cell = lambda t, k: "%.4f" % t[k] if k in t else ""
        out += ["", "CPU s per recorded second by %s, kx-record beside ffmpeg (`%s`, `%s`):" % (title, mine, theirs),
                "", "| %s | kx-record | ffmpeg |" % title, "|---|---|---|"]
        out += ["| %s | %s | %s |" % (k, cell(a, k), cell(b, k)) for k in names]
    return out


def record(svc, seconds, out, with_ffmpeg=False):
    """One kx-record run (and ffmpeg beside it); returns its figures. A
    failed run leaves neither process behind."""
    started = []
    try:
        return record_run(svc, seconds, out, with_ffmpeg, started)
    except Exception:
        for p in started:
            if p.returncode is None:
                p.kill()
        raise


def record_run(svc, seconds, out, with_ffmpeg, started_procs):
    os.makedirs(out)
    cmd = [os.path.join(svc.bin, "kx-record"), "--seconds", str(seconds), "--snapshots", "0",
           "--upload-wait", "120", "--json", "--out", out]
    svc.journal(clear=True)
    ff = None
    ffr = None
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, env=svc.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    started_procs.append(proc)
    if with_ffmpeg:
        ffout = os.path.join(out, "ffmpeg")
        os.makedirs(ffout)
        ff = subprocess.Popen(ffmpeg_args(svc.mjpeg, seconds, ffout), env=svc.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=open(os.path.join(out, "ffmpeg.log"), "w"))
        ffr = Reaped(ff)
        started_procs.append(ff)
    stderr = LineClock(proc.stderr, os.path.join(out, "kx-record.log"))
    stdout_data = []
    reader = threading.Thread(target=lambda: stdout_data.append(proc.stdout.read()), daemon=True)
    reader.start()

    child = Reaped(proc)
    started = stderr.wait_for(r'^recording "', 60)
    if started is None:
        proc.kill()
        raise RuntimeError("kx-record did not start recording (see %s/kx-record.log)" % out)
    r = {"start_s": started - t0}
    threads0, cpu0 = thread_cpu(proc.pid), proc_cpu(proc.pid)
    window = CpuWindow(proc, ff, out, started + seconds - 0.4 - time.monotonic())
    peak = 0
    end = started + seconds - 0.4
    rss10_at = started + 10
    while time.monotonic() < end and child.alive():
        now = time.monotonic()
        if "rss_kib_10s" not in r and now >= rss10_at:
            r["rss_kib_10s"] = status_kib(proc.pid, "VmRSS")
        time.sleep(min(0.2, max(0.01, end - now)))
    threads1, cpu1 = thread_cpu(proc.pid), proc_cpu(proc.pid)
    window.close()
    with open(os.path.join(out, "threads.json"), "w") as f:
        json.dump(threads1, f, indent=1)
    r["rss_kib_end"] = status_kib(proc.pid, "VmRSS")
    # The peak over the whole run, read as long as the process is there.
    while child.alive():
        if ffr:
            ffr.alive()
        peak = max(peak, status_kib(proc.pid, "VmHWM") or 0)
        time.sleep(0.2)
        if time.monotonic() - t0 > seconds + 200:
            break
    status, cpu = child.wait(30)
    reader.join(10)
    if status != 0:
        raise RuntimeError("kx-record ended with %s (see %s/kx-record.log)" % (status, out))
    summary = json.loads(stdout_data[0].decode().strip().splitlines()[-1])
    rec = summary["recordings"][0]
    r.update(cpu_s=cpu, recorded_s=rec["duration_s"], share_text_ms=rec.get("share_text_ms", -1),
             segments=rec["segments"], upload_done=rec["upload_done"], rss_kib_peak=peak,
             video_frames_dropped=summary["video_frames_dropped"],
             audio_blocks_dropped=summary["audio_blocks_dropped"])
    r["threads_cpu_s"] = {k: round(v - threads0.get(k, 0.0), 2) for k, v in threads1.items()
                          if v - threads0.get(k, 0.0) >= 0.01}
    r["window_cpu_s"] = cpu1 - cpu0
    codec = sum(r["threads_cpu_s"].get(name, 0.0) for name in CODEC_THREADS)
    r["non_codec_cpu_share"] = (r["window_cpu_s"] - codec) / r["window_cpu_s"] if r["window_cpu_s"] > 0 else None
    r["segment_registered_ms"] = segment_latencies(svc, out, stderr)
    r.update(window.figures(threads0, threads1, cpu1 - cpu0))
    if ff is not None:
        ffstatus, ffcpu = ffr.wait(60)
        r["ffmpeg_wall_s"] = round(ffr.ended - t0, 2)
        r["ffmpeg_rss_kib_peak"] = ffr.max_rss_kib
        if ffstatus != 0:
            raise RuntimeError("ffmpeg ended with %s (see %s/ffmpeg.log)" % (ffstatus, out))
        r["ffmpeg_cpu_s"] = ffcpu
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                os.path.join(ffout, "ffmpeg.mp4")], stdout=subprocess.PIPE, timeout=60)
        r["ffmpeg_recorded_s"] = float(probe.stdout.decode().strip() or seconds)
        # kx-record stays live and drops what it cannot take in time, while
        # ffmpeg reads its file late: per encoded picture the two do the
        # same work.
        r["ffmpeg_video_frames"] = video_frames(os.path.join(ffout, "ffmpeg.mp4"))
    r["video_frames"] = video_frames(rec.get("mp4"))
    return r


def ffmpeg_alone(svc, seconds, out):
    """The ffmpeg job alone on the machine: CPU seconds, pictures encoded
    and its CPU by library (perf, over the middle of the run)."""
    os.makedirs(out)
    ff = subprocess.Popen(ffmpeg_args(svc.mjpeg, seconds, out), env=svc.env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=open(os.path.join(out, "ffmpeg.log"), "w"))
    reaped = Reaped(ff)
    try:
        wait_for_x264_threads(ff.pid, reaped.alive)
        sampler = PerfSampler(ff.pid, os.path.join(out, "perf-ffmpeg.data"), seconds - 6)
        status, cpu = reaped.wait(seconds + 60)
    finally:
        if reaped.alive():
            ff.kill()
            reaped.alive(block=True)
    if status != 0:
        raise RuntimeError("ffmpeg ended with %s (see %s/ffmpeg.log)" % (status, out))
    return {"cpu_s": cpu, "video_frames": video_frames(os.path.join(out, "ffmpeg.mp4")),
            "shares": sampler.shares()}


def x264_share(shares):
    """libx264's share of a process's CPU samples, or None."""
    if not shares:
        return None
    return sum(v for k, v in shares.items() if k.startswith("libx264")) / sum(shares.values())


def apart(svc, seconds, out, ffmpeg_first):
    """kx-record and ffmpeg each alone on the machine, one after the other:
    side by side the two need more than 2 cores, kx-record drops what it
    cannot take live and ffmpeg falls behind its file, and neither figure
    is the cost of the job. Returns the CPU per encoded picture of each,
    split into libx264 and the rest by libx264's share of perf's samples
    over the run (libx264 works on after the last picture, draining its
    look-ahead, so a window's own CPU per picture would miss part of it)."""
    r = {}
    for who in (("ffmpeg", "kx-record") if ffmpeg_first else ("kx-record", "ffmpeg")):
        if who == "ffmpeg":
            f = ffmpeg_alone(svc, seconds, os.path.join(out, "ffmpeg"))
            cpu, frames, share = f["cpu_s"], f["video_frames"], x264_share(f["shares"])
        else:
            k = record(svc, seconds, os.path.join(out, "kx-record"))
            cpu, frames = k["cpu_s"], k["video_frames"]
            share = x264_share(k.get("cpu_per_library"))
            r["video_frames_dropped"] = k["video_frames_dropped"]
        if not frames:
            raise RuntimeError("%s wrote no pictures (see %s)" % (who, out))
        key = "ffmpeg_" if who == "ffmpeg" else ""
        r[key + "ms_per_frame"] = 1000 * cpu / frames
        r[key + "video_frames"] = frames
        if share is not None:
            r[key + "x264_ms_per_frame"] = r[key + "ms_per_frame"] * share
            r[key + "rest_ms_per_frame"] = r[key + "ms_per_frame"] * (1 - share)
    return r


def video_frames(path):
    """Pictures in a file's first video stream, or None."""
    if not path or not os.path.exists(path):
        return None
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                            "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                           stdout=subprocess.PIPE, timeout=60)
    text = probe.stdout.decode().strip()
    return int(text) if text.isdigit() else None


def segment_latencies(svc, out, lines):
    """Per segment: its close (kx-record's log line "KxTsCreater::close
    PATH", at its arrival) to the registration (journal answer) of the first
    playlist that was uploaded after the segment itself."""
    journal = svc.journal(clear=True)
    with open(os.path.join(out, "journal.json"), "w") as f:
        json.dump(journal, f, indent=1)
    wall = time.time() - time.monotonic()
    closed = {}
    for t, line in lines.lines:
        m = re.search(r'KxTsCreater::close "([^"]+\.ts)"', line)
        if m:
            closed.setdefault(os.path.basename(m.group(1)), wall + t)
    puts = {}
    playlists = []   # answer times of playlist uploads
    registered = []  # answer times of playlist registrations
    for e in journal:
        if e["status"] is None or e["status"] >= 300:
            continue
        end = svc.cloud_epoch + e["end"]
        if e["method"] == "PUT" and e["path"].endswith(".ts"):
            puts.setdefault(os.path.basename(e["path"]), end)
        elif e["method"] == "PUT" and e["path"].endswith(".m3u8"):
            playlists.append(end)
        elif e["method"] == "POST" and e["path"].endswith("merioclassroom"):
            kind = str((e.get("form") or {}).get("type") or (e.get("json") or {}).get("type") or "")
            if kind in ("", "1"):
                registered.append(end)
    out_ms = []
    for seg, at in sorted(closed.items()):
        uploaded = puts.get(seg)
        after = [p for p in playlists if uploaded is not None and p >= uploaded]
        reg = [t for t in registered if after and t >= after[0]]
        if reg:
            out_ms.append(round((reg[0] - at) * 1000, 1))
    return out_ms


# ---------------------------------------------------------------- avsync

def avsync(build, seconds, logdir):
    env = dict(os.environ, BUILD_DIR=build)
    p = subprocess.run([os.path.join(ROOT, "bench", "capture", "avsync.sh"), str(seconds), str(FPS)], env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=seconds + 240)
    with open(os.path.join(logdir, "avsync.log"), "a") as f:
        f.write(p.stdout.decode() + p.stderr.decode())
    if p.returncode != 0:
        raise RuntimeError("avsync.sh failed: " + p.stdout.decode()[-500:] + p.stderr.decode()[-500:])
    s = json.loads([l for l in p.stdout.decode().splitlines() if l.startswith("{")][-1])
    # What a student hears; each frame at its own stamp is kept beside it.
    played = s.get("played", s)
    return dict(played, stamped=s.get("stamped"))


# ---------------------------------------------------------------- program

def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    display = b""
    deadline = time.monotonic() + 30
    while not display.endswith(b"\n") and time.monotonic() < deadline:
        chunk = os.read(r, 16)
        if not chunk:
            break
        display += chunk
    os.close(r)
    if not display.strip():
        xvfb.kill()
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + display.decode().strip()


def mapped_program_window(env):
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=10).stdout.decode(errors="replace")
    for wid in re.findall(r'^\s*(0x[0-9a-f]+) .*\(".*norvimerioshare.*"\)', tree, re.M | re.I):
        info = subprocess.run(["xwininfo", "-id", wid], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=10).stdout.decode(errors="replace")
        if "IsViewable" in info:
            return wid
    return None


def start_program(svc, display, logpath):
    home = tempfile.mkdtemp(prefix="home-", dir=svc.work)
    env = dict(svc.env, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home, XDG_DATA_HOME=home + "/data",
               XDG_CONFIG_HOME=home + "/config", QT_QPA_PLATFORM="xcb", KX_UI_LANG="en")
    t0 = time.monotonic()
    proc = subprocess.Popen([os.path.join(svc.bin, "NorviMerioShare")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return t0, proc, env, LineClock(proc.stderr, logpath)


def startup(svc, display, rounds, logdir):
    """Milliseconds from exec to the first mapped window and to the idle icon."""
    results = []
    for n in range(rounds):
        logpath = os.path.join(logdir, "program-start-%d.log" % (n + 1))
        t0, proc, env, lines = start_program(svc, display, logpath)
        window = None
        try:
            while window is None and time.monotonic() - t0 < 30 and proc.poll() is None:
                if mapped_program_window(env):
                    window = time.monotonic()
                else:
                    time.sleep(0.02)
            icon = lines.wait_for(re.escape(PROGRAM_ICON_LINE), 30)
        finally:
            end_process(proc)
        if window is None or icon is None:
            raise RuntimeError("the program showed no %s (see %s)" % ("window" if window is None else "icon", logpath))
        results.append({"window_ms": round((window - t0) * 1000), "icon_ms": round((icon - t0) * 1000)})
    return results


def program_recording(svc, display, limit_s, logdir):
    """A recording through the program: a click on the idle icon (the middle
    of the screen) starts it after the countdown; the program stops it
    itself at its three-minute limit, or, with limit_s, a click on the stop
    button of the recording bar (bottom right) after that many seconds.
    Returns the peak resident memory (VmHWM) until the uploads end, the
    dropped frames and audio blocks the program logs at the stop, and the
    segment figures."""
    logpath = os.path.join(logdir, "program-record.log")
    svc.journal(clear=True)
    t0, proc, env, lines = start_program(svc, display, logpath)
    r = {}
    peak = 0

    def sample_until(pattern, timeout):
        nonlocal peak
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and proc.poll() is None:
            peak = max(peak, status_kib(proc.pid, "VmHWM") or 0)
            if pattern and lines.wait_for(pattern, 0) is not None:
                return True
            time.sleep(0.5)
        return False

    try:
        if lines.wait_for(re.escape(PROGRAM_ICON_LINE), 30) is None:
            raise RuntimeError("the program showed no icon (see %s)" % logpath)
        time.sleep(0.5)
        subprocess.run(["xdotool", "mousemove", "960", "543", "click", "1"], env=env, check=True, timeout=10)
        started = lines.wait_for(r"KxMasterCommander::startToRecord", 30)
        if started is None:
            raise RuntimeError("a click on the icon started no recording (see %s)" % logpath)
        if limit_s:
            sample_until(None, limit_s)
            subprocess.run(["xdotool", "mousemove", "1526", "1036", "click", "1"], env=env, check=True, timeout=10)
        if not sample_until(r"KxMainWidgetCtrller::onLocalFileStopped", 60 if limit_s else 180 + 60):
            raise RuntimeError("the recording did not stop (see %s)" % logpath)
        stopped = lines.wait_for(r"KxMainWidgetCtrller::onLocalFileStopped", 0)
        # Memory while the last segments upload, until the completion notice.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not any(e["path"].endswith("sendsure") for e in svc.journal()):
            sample_until(None, 1)
        r["rss_kib_peak"] = peak
        time.sleep(5)  # what a lesson held is given back once its uploads end
        r["rss_kib_after"] = status_kib(proc.pid, "VmRSS")
        r["recorded_s"] = round(stopped - started, 1)
        with open(logpath, errors="replace") as f:
            m = re.findall(r"dropped since start-up: video frames (\d+) audio blocks (\d+)", f.read())
        if not m:
            raise RuntimeError("the program logged no drop counts at the stop (see %s)" % logpath)
        r["video_frames_dropped"], r["audio_blocks_dropped"] = int(m[-1][0]), int(m[-1][1])
        r["segment_registered_ms"] = segment_latencies(svc, logdir, lines)
    finally:
        end_process(proc)
    return r


def thread_wakeups(pid):
    """Context switches of the live threads, summed by thread name: how
    often each kind of thread woke."""
    def figure(status):
        return (re.search(r"^Name:\s*(.*)$", status, re.M).group(1),
                sum(int(n) for n in re.findall(r"^(?:non)?voluntary_ctxt_switches:\s*(\d+)$", status, re.M)))
    return per_thread(pid, "status", figure)


def idle_in_tray(svc, display, seconds, logdir):
    """The program up and idle in the tray before any lesson: its resident
    memory once the start-up animation has given way to the icon (and a
    settling moment), then its CPU share and each thread's wake-ups over
    seconds of idling."""
    logpath = os.path.join(logdir, "program-idle.log")
    t0, proc, env, lines = start_program(svc, display, logpath)
    try:
        if lines.wait_for(re.escape(PROGRAM_ICON_LINE), 30) is None:
            raise RuntimeError("the program showed no icon (see %s)" % logpath)
        time.sleep(5)
        r = {"rss_kib_start": status_kib(proc.pid, "VmRSS")}
        wake0, cpu0, at0 = thread_wakeups(proc.pid), proc_cpu(proc.pid), time.monotonic()
        rss = []
        while time.monotonic() - at0 < seconds and proc.poll() is None:
            time.sleep(1)
            rss.append(status_kib(proc.pid, "VmRSS") or 0)
        wake1, cpu1, at1 = thread_wakeups(proc.pid), proc_cpu(proc.pid), time.monotonic()
        if proc.poll() is not None:
            raise RuntimeError("the program ended while idle (see %s)" % logpath)
        r.update(rss_kib=max(rss), seconds=round(at1 - at0, 1), cpu_s=round(cpu1 - cpu0, 3),
                 cpu_share=round((cpu1 - cpu0) / (at1 - at0), 5),
                 wakeups={k: v - wake0.get(k, 0) for k, v in sorted(wake1.items()) if v - wake0.get(k, 0)})
        with open("/proc/%d/smaps_rollup" % proc.pid) as f:
            r["smaps_rollup_kib"] = {m.group(1): int(m.group(2)) for m in re.finditer(r"^(\w+):\s+(\d+) kB", f.read(), re.M)}
    finally:
        end_process(proc)
    return r


def log_ms(line):
    """Milliseconds of the day of a program log line ("[hh:mm:ss.zzz] ...")."""
    m = re.match(r"\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\]", line)
    return None if not m else ((int(m.group(1)) * 60 + int(m.group(2))) * 60 + int(m.group(3))) * 1000 + int(m.group(4))


def countdown_to_first_frame(logpath):
    """From the countdown's end (the controller's "onCountDownExit") to the
    first video frame written into the lesson's files, by the program's own
    log stamps; None without both lines."""
    end = None
    with open(logpath, errors="replace") as f:
        for line in f:
            if end is None and "KxMainWidgetCtrller::onCountDownExit" in line:
                end = log_ms(line)
            elif end is not None and "KxMuxer::write first video frame" in line:
                first = log_ms(line)
                if first is None:
                    return None
                return (first - end) % (24 * 3600 * 1000)
    return None


def countdown_to_first_picture(logpath):
    """From the countdown's end to the lesson's first camera picture handed
    to the encoder ("Video_encode:  0 "): the part of the figure above that
    is not the encoder's own delay."""
    end = None
    with open(logpath, errors="replace") as f:
        for line in f:
            if end is None and "KxMainWidgetCtrller::onCountDownExit" in line:
                end = log_ms(line)
            elif end is not None and re.search(r'"Video_encode:\s+0\s', line):
                first = log_ms(line)
                return None if first is None else (first - end) % (24 * 3600 * 1000)
    return None


# ---------------------------------------------------------------- summary

def spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": round(statistics.median(values), 3), "min": round(min(values), 3),
            "max": round(max(values), 3), "n": len(values)}


def camera_fps(path):
    if not path or not os.path.exists(path):
        return None
    m = re.findall(r"pipeline: ([0-9.]+) frames per second sustained", open(path).read())
    return float(m[-1]) if m else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--out", default="build/bench")
    ap.add_argument("--quick", action="store_true", default=os.environ.get("KX_BENCH_QUICK") == "1")
    ap.add_argument("--camera-log")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    outdir = os.path.abspath(args.out)
    q = args.quick
    rec_seconds, rec_rounds = (12, 1) if q else (60, 2)
    long_seconds = 20 if q else 180
    sync_seconds, sync_rounds = (10, 1) if q else (40, 2)
    start_rounds = 2 if q else 5
    full_hd_seconds = 12 if q else 30
    idle_seconds = 15 if q else 60

    product = os.path.join(outdir, "product")
    shutil.rmtree(product, ignore_errors=True)
    os.makedirs(product)
    work = tempfile.mkdtemp(prefix="kx-bench-")
    svc = Services(build, work)
    details = {"quick": q, "errors": []}
    rounds, syncs, starts, longrun, full_hd = [], [], [], {}, {}
    idles = []
    aparts = []
    fmt_ms = lambda v: "%.2f ms" % v if v is not None else "n/a"

    def section(title, body):
        """Runs one part; a failure is logged and kept, and the parts after
        it still run, so that one run gives every figure it can."""
        log("== product: " + title)
        try:
            body()
        except Exception as e:  # noqa: BLE001 - any failure of a part
            log("  FAILED: %s" % e)
            details["errors"].append("%s: %s" % (title, e))

    def recording_rounds():
        for n in range(rec_rounds):
            r = record(svc, rec_seconds, os.path.join(product, "record-%d" % (n + 1)), with_ffmpeg=True)
            rounds.append(r)
            log("  round %d: kx-record %.2f CPU s for %.1f s, ffmpeg %.2f CPU s for %.1f s (done after %.1f s,"
                " peak %d KiB); pictures %s and %s; dropped %d frames, %d audio blocks; RSS %s/%s KiB;"
                " own share %.3f; threads %s"
                % (n + 1, r["cpu_s"], r["recorded_s"], r["ffmpeg_cpu_s"], r["ffmpeg_recorded_s"],
                   r["ffmpeg_wall_s"], r["ffmpeg_rss_kib_peak"], r.get("video_frames"), r.get("ffmpeg_video_frames"),
                   r["video_frames_dropped"], r["audio_blocks_dropped"], r.get("rss_kib_10s"), r["rss_kib_end"],
                   r["non_codec_cpu_share"], r["threads_cpu_s"]))

    def apart_rounds():
        for n in range(rec_rounds):
            a = apart(svc, rec_seconds, os.path.join(product, "apart-%d" % (n + 1)), ffmpeg_first=n % 2 == 1)
            aparts.append(a)
            log("  round %d: per picture kx-record %.2f ms (libx264 %s, the rest %s) over %d pictures,"
                " ffmpeg %.2f ms (libx264 %s, the rest %s) over %d; kx-record dropped %d"
                % (n + 1, a["ms_per_frame"], fmt_ms(a.get("x264_ms_per_frame")), fmt_ms(a.get("rest_ms_per_frame")),
                   a["video_frames"], a["ffmpeg_ms_per_frame"], fmt_ms(a.get("ffmpeg_x264_ms_per_frame")),
                   fmt_ms(a.get("ffmpeg_rest_ms_per_frame")), a["ffmpeg_video_frames"], a["video_frames_dropped"]))

    def full_hd_round():
        normal = svc.env["KX_VIRTUAL_CAMERA"]
        svc.env["KX_VIRTUAL_CAMERA"] = svc.full_hd_camera()
        try:
            full_hd.update(record(svc, full_hd_seconds, os.path.join(product, "record-1080p30")))
        finally:
            svc.env["KX_VIRTUAL_CAMERA"] = normal
        log("  %.3f CPU s per recorded second over %.1f s; dropped %d frames; threads %s"
            % (full_hd["cpu_s"] / full_hd["recorded_s"], full_hd["recorded_s"], full_hd["video_frames_dropped"],
               full_hd["threads_cpu_s"]))

    def sync_rounds_():
        for _ in range(sync_rounds):
            s = avsync(build, sync_seconds, product)
            syncs.append(s)
            log("  played: median %.1f ms, worst %.1f ms over %d s" % (s["median_ms"], s["worst_ms"], len(s["offsets_ms"])))
            if s.get("stamped"):
                log("  stamped: median %.1f ms, worst %.1f ms" % (s["stamped"]["median_ms"], s["stamped"]["worst_ms"]))

    def program(display):
        section("program start-up under Xvfb, %d round(s)" % start_rounds,
                lambda: starts.extend(startup(svc, display, start_rounds, product)))
        log("  " + ", ".join("window %d ms, icon %d ms" % (s["window_ms"], s["icon_ms"]) for s in starts))

        def recording():
            longrun.update(program_recording(svc, display, long_seconds if q else None, product))
            log("  peak %d KiB over %.0f s; dropped %d frames, %d audio blocks; segments registered %s ms"
                % (longrun["rss_kib_peak"], longrun["recorded_s"], longrun["video_frames_dropped"],
                   longrun["audio_blocks_dropped"], longrun["segment_registered_ms"]))
        section("a recording through the program under Xvfb (%s)"
                % ("ended after %d s" % long_seconds if q else "to its 3-minute limit"), recording)

        def idle():
            idles.append(idle_in_tray(svc, display, idle_seconds, product))
            log("  resident %d KiB, %.3f CPU s over %.0f s idle; wake-ups %s"
                % (idles[-1]["rss_kib"], idles[-1]["cpu_s"], idles[-1]["seconds"], idles[-1]["wakeups"]))
        section("the program idle in the tray for %d s" % idle_seconds, idle)
        first_frame = countdown_to_first_frame(os.path.join(product, "program-record.log"))
        first_picture = countdown_to_first_picture(os.path.join(product, "program-record.log"))
        if first_frame is not None:
            longrun["countdown_to_first_frame_ms"] = first_frame
            longrun["countdown_to_first_picture_ms"] = first_picture
            log("  countdown's end to the first recorded frame: %d ms (its picture taken after %s ms)"
                % (first_frame, first_picture))

    try:
        svc.start()
        section("kx-record %d s beside ffmpeg, %d round(s)" % (rec_seconds, rec_rounds), recording_rounds)
        section("kx-record and ffmpeg %d s each alone, %d round(s)" % (rec_seconds, rec_rounds), apart_rounds)
        section("kx-record %d s of a 1920x1080@30-only camera" % full_hd_seconds, full_hd_round)
        section("audio/video offset, %d round(s) of %d s" % (sync_rounds, sync_seconds), sync_rounds_)
        xvfb, display = start_xvfb()
        try:
            program(display)
        finally:
            end_process(xvfb)
    except Exception as e:  # noqa: BLE001 - the services themselves
        log("  FAILED: %s" % e)
        details["errors"].append("services: %s" % e)
    finally:
        svc.stop()
        shutil.rmtree(work, ignore_errors=True)
    details.update(recording_rounds=rounds, full_hd_recording=full_hd, avsync_rounds=syncs, startup_rounds=starts, program_recording=longrun,
                   idle_rounds=idles, apart_rounds=aparts)

    per_s = [r["cpu_s"] / r["recorded_s"] for r in rounds]
    ff_per_s = [r["ffmpeg_cpu_s"] / r["ffmpeg_recorded_s"] for r in rounds]
    ratios = [a / b for a, b in zip(per_s, ff_per_s)]
    frame_ratios = [(r["cpu_s"] / r["video_frames"]) / (r["ffmpeg_cpu_s"] / r["ffmpeg_video_frames"])
                    for r in rounds if r.get("video_frames") and r.get("ffmpeg_video_frames")]
    def apart_ratio(key):
        return [a[key] / a["ffmpeg_" + key] for a in aparts if a.get(key) and a.get("ffmpeg_" + key)]
    seg = [ms for r in rounds + [longrun] for ms in r.get("segment_registered_ms", [])]
    share = [r["share_text_ms"] for r in rounds if r["share_text_ms"] >= 0]
    worst = max((s["worst_ms"] for s in syncs), key=abs) if syncs else None
    mib = lambda kib: round(kib / 1024, 1) if kib else None
    spreads = {
        "cpu_per_recorded_second": spread(per_s),
        "ffmpeg_cpu_per_recorded_second": spread(ff_per_s),
        "cpu_ratio_vs_ffmpeg": spread(ratios),
        "cpu_ratio_vs_ffmpeg_per_frame": spread(frame_ratios),
        "cpu_ratio_vs_ffmpeg_apart_per_frame": spread(apart_ratio("ms_per_frame")),
        "x264_ratio_vs_ffmpeg_apart_per_frame": spread(apart_ratio("x264_ms_per_frame")),
        "rest_ratio_vs_ffmpeg_apart_per_frame": spread(apart_ratio("rest_ms_per_frame")),
        "rss_mib_10s": spread([mib(r.get("rss_kib_10s")) for r in rounds]),
        "rss_mib_60s": spread([mib(r["rss_kib_end"]) for r in rounds]),
        "av_offset_ms_median": spread([s["median_ms"] for s in syncs]),
        "av_offset_ms_stamped_median": spread([s["stamped"]["median_ms"] for s in syncs if s.get("stamped")]),
        "segment_registered_ms": spread(seg),
        "share_text_ms": spread(share),
        "non_codec_cpu_share": spread([r["non_codec_cpu_share"] for r in rounds]),
        "startup_ms": spread([s["icon_ms"] for s in starts]),
        "startup_window_ms": spread([s["window_ms"] for s in starts]),
    }
    med = lambda key: spreads[key]["median"] if spreads[key] else None
    worst_of = lambda key: max(r[key] for r in rounds) if rounds else None
    summary = {
        "cpu_per_recorded_second": med("cpu_per_recorded_second"),
        "ffmpeg_cpu_per_recorded_second": med("ffmpeg_cpu_per_recorded_second"),
        "cpu_ratio_vs_ffmpeg": med("cpu_ratio_vs_ffmpeg"),
        "cpu_ratio_vs_ffmpeg_per_frame": med("cpu_ratio_vs_ffmpeg_per_frame"),
        "cpu_ratio_vs_ffmpeg_apart_per_frame": med("cpu_ratio_vs_ffmpeg_apart_per_frame"),
        "x264_ratio_vs_ffmpeg_apart_per_frame": med("x264_ratio_vs_ffmpeg_apart_per_frame"),
        "rest_ratio_vs_ffmpeg_apart_per_frame": med("rest_ratio_vs_ffmpeg_apart_per_frame"),
        "video_frames_dropped_apart": max((a["video_frames_dropped"] for a in aparts), default=None),
        "video_frames_dropped": longrun.get("video_frames_dropped"),
        "audio_blocks_dropped": longrun.get("audio_blocks_dropped"),
        "video_frames_dropped_beside_ffmpeg": worst_of("video_frames_dropped"),
        "audio_blocks_dropped_beside_ffmpeg": worst_of("audio_blocks_dropped"),
        "max_sustained_fps": camera_fps(args.camera_log),
        "cpu_per_recorded_second_1080p30": (full_hd["cpu_s"] / full_hd["recorded_s"]) if full_hd else None,
        "video_frames_dropped_1080p30": full_hd.get("video_frames_dropped"),
        "rss_mib_10s": med("rss_mib_10s"),
        "rss_mib_60s": med("rss_mib_60s"),
        "av_offset_ms_median": med("av_offset_ms_median"),
        "av_offset_ms_worst": worst,
        "av_offset_ms_stamped_median": med("av_offset_ms_stamped_median"),
        "segment_registered_ms_median": med("segment_registered_ms"),
        "segment_registered_ms_worst": max(seg) if seg else None,
        "share_text_ms": med("share_text_ms"),
        "non_codec_cpu_share": med("non_codec_cpu_share"),
        "startup_ms": med("startup_ms"),
        "startup_window_ms": med("startup_window_ms"),
        "rss_mib_peak_3min": mib(longrun.get("rss_kib_peak")),
        "idle_rss_mib": mib(idles[0]["rss_kib"]) if idles else None,
        "idle_cpu_share": idles[0]["cpu_share"] if idles else None,
        "countdown_to_first_frame_ms": longrun.get("countdown_to_first_frame_ms"),
        "countdown_to_first_picture_ms": longrun.get("countdown_to_first_picture_ms"),
        "rss_mib_after_lesson": mib(longrun.get("rss_kib_after")),
        "spread": spreads,
        "details": details,
    }
    summary.update(cpu_breakdown(rounds))
    with open(os.path.join(outdir, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    with open(os.path.join(outdir, "summary.md"), "w") as f:
        f.write(markdown(summary, rec_seconds, long_seconds, sync_seconds))
    log(open(os.path.join(outdir, "summary.md")).read())
    return 1 if details["errors"] else 0


def markdown(s, rec_seconds, long_seconds, sync_seconds):
    sp = s["spread"]

    def fig(key, spread_key=None, fmt="%.3f"):
        v = s[key]
        if v is None:
            return "n/a"
        text = fmt % v
        d = sp.get(spread_key or key)
        if d and d["n"] > 1:
            text += " (%s–%s, n=%d)" % (fmt % d["min"], fmt % d["max"], d["n"])
        return text

    rows = [
        ("CPU s per recorded second, kx-record (uploads included)", "cpu_per_recorded_second",
         fig("cpu_per_recorded_second"), "≤ ffmpeg's"),
        ("CPU s per recorded second, ffmpeg, same job side by side", "ffmpeg_cpu_per_recorded_second",
         fig("ffmpeg_cpu_per_recorded_second"), ""),
        ("ratio kx-record / ffmpeg", "cpu_ratio_vs_ffmpeg", fig("cpu_ratio_vs_ffmpeg"), "≤ 0.98"),
        ("the same ratio per encoded picture", "cpu_ratio_vs_ffmpeg_per_frame",
         fig("cpu_ratio_vs_ffmpeg_per_frame"), ""),
        ("ratio per encoded picture, each alone on the machine", "cpu_ratio_vs_ffmpeg_apart_per_frame",
         fig("cpu_ratio_vs_ffmpeg_apart_per_frame"), ""),
        ("… of libx264's part (perf)", "x264_ratio_vs_ffmpeg_apart_per_frame",
         fig("x264_ratio_vs_ffmpeg_apart_per_frame"), ""),
        ("… of everything outside libx264 (perf)", "rest_ratio_vs_ffmpeg_apart_per_frame",
         fig("rest_ratio_vs_ffmpeg_apart_per_frame"), ""),
        ("video frames dropped, kx-record alone (worst round)", "video_frames_dropped_apart",
         fig("video_frames_dropped_apart", fmt="%d"), "0"),
        ("video frames dropped, recording through the program", "video_frames_dropped",
         fig("video_frames_dropped", fmt="%d"), "0"),
        ("audio blocks dropped, recording through the program", "audio_blocks_dropped",
         fig("audio_blocks_dropped", fmt="%d"), "0"),
        ("video frames dropped, kx-record beside ffmpeg (worst round)", "video_frames_dropped_beside_ffmpeg",
         fig("video_frames_dropped_beside_ffmpeg", fmt="%d"), ""),
        ("audio blocks dropped, kx-record beside ffmpeg (worst round)", "audio_blocks_dropped_beside_ffmpeg",
         fig("audio_blocks_dropped_beside_ffmpeg", fmt="%d"), ""),
        ("CPU s per recorded second, 1920x1080@30-only camera", "cpu_per_recorded_second_1080p30",
         fig("cpu_per_recorded_second_1080p30"), ""),
        ("video frames dropped, 1920x1080@30-only camera", "video_frames_dropped_1080p30",
         fig("video_frames_dropped_1080p30", fmt="%d"), "0"),
        ("highest sustained frame rate (unthrottled)", "max_sustained_fps", fig("max_sustained_fps", fmt="%.1f"), ""),
        ("resident memory at 10 s, MiB", "rss_mib_10s", fig("rss_mib_10s", fmt="%.1f"), ""),
        ("resident memory at %d s, MiB" % rec_seconds, "rss_mib_60s", fig("rss_mib_60s", fmt="%.1f"),
         "no growth"),
        ("A/V offset as played at %d fps, median, ms (%d s rounds)" % (FPS, sync_seconds), "av_offset_ms_median",
         fig("av_offset_ms_median", fmt="%.1f"), "±10"),
        ("A/V offset as played, worst second, ms", "av_offset_ms_worst", fig("av_offset_ms_worst", fmt="%.1f"), "±20"),
        ("A/V offset by frame stamps, median, ms", "av_offset_ms_stamped_median",
         fig("av_offset_ms_stamped_median", fmt="%.1f"), ""),
        ("segment closed → playlist registered, median ms", "segment_registered_ms_median",
         fig("segment_registered_ms_median", "segment_registered_ms", fmt="%.0f"), ""),
        ("segment closed → playlist registered, worst ms", "segment_registered_ms_worst",
         fig("segment_registered_ms_worst", fmt="%.0f"), ""),
        ("share text after start, ms", "share_text_ms", fig("share_text_ms", fmt="%.0f"), ""),
        ("share of CPU outside libx264, JPEG decoding, AAC", "non_codec_cpu_share",
         fig("non_codec_cpu_share"), "< 0.03"),
        ("program start-up to the idle icon, ms", "startup_ms", fig("startup_ms", fmt="%.0f"), ""),
        ("program start-up to its first window, ms", "startup_window_ms", fig("startup_window_ms", fmt="%.0f"), ""),
        ("peak resident memory, %s recording through the program, MiB"
         % ("%d s" % long_seconds if s["details"]["quick"] else "3-minute"), "rss_mib_peak_3min",
         fig("rss_mib_peak_3min", fmt="%.1f"), "≤ 200"),
        ("resident memory idle in the tray before any lesson, MiB", "idle_rss_mib",
         fig("idle_rss_mib", fmt="%.1f"), "≤ 80"),
        ("CPU s per second idle in the tray (%s)" % ("15 s" if s["details"]["quick"] else "60 s"), "idle_cpu_share",
         fig("idle_cpu_share", fmt="%.4f"), "≤ 0.002"),
        ("resident memory idle after the recording through the program, MiB", "rss_mib_after_lesson",
         fig("rss_mib_after_lesson", fmt="%.1f"), ""),
        ("countdown's end → first recorded frame, ms", "countdown_to_first_frame_ms",
         fig("countdown_to_first_frame_ms", fmt="%.0f"), ""),
        ("countdown's end → its first picture taken into the lesson, ms", "countdown_to_first_picture_ms",
         fig("countdown_to_first_picture_ms", fmt="%.0f"), ""),
    ]
    out = ["# Benchmark summary%s" % (" (KX_BENCH_QUICK: short runs)" if s["details"]["quick"] else ""), "",
           "Median of the rounds, (min–max, n) where there are several.", "",
           "| figure | key | value | target |", "|---|---|---|---|"]
    out += ["| %s | `%s` | %s | %s |" % row for row in rows]
    out += cpu_breakdown_markdown(s)
    if s["details"]["errors"]:
        out += ["", "Parts that failed (their figures are n/a):", ""]
        out += ["- " + e for e in s["details"]["errors"]]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
