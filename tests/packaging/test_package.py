#!/usr/bin/env python3
"""The .deb package: built with CPack from the build tree into a scratch
folder, unpacked with dpkg-deb -x into a scratch root, its layout and control
data checked, lintian run on it; then the program is started from the
scratch root under a private Xvfb until its floating icon is on screen.

Exits 77 (skipped) after the package checks when the package has no program
yet. Every wait is bounded.
"""

import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.environ.get("KX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("KX_BUILD_DIR") or os.path.join(SOURCE, "build")
APP = "opt/norvimerioshare"


def run(*cmd, timeout=300, **kw):
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kw)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(cmd), done.returncode, done.stdout, done.stderr))
    return done.stdout


def check_package(scratch):
    run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", os.path.join(scratch, "out"))
    debs = sorted(f for f in os.listdir(os.path.join(scratch, "out")) if f.endswith(".deb"))
    assert [d.split("_")[0] for d in debs] == ["norvimerio-server", "norvimerioshare"], debs
    check_server_package(scratch, os.path.join(scratch, "out", debs[0]))
    debs = debs[1:]
    deb = os.path.join(scratch, "out", debs[0])
    root = os.path.join(scratch, "root")
    run("dpkg-deb", "-x", deb, root)
    files = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
    allowed = (APP + "/", "etc/opt/norvimerioshare/", "etc/xdg/autostart/", "usr/share/applications/",
               "usr/share/icons/hicolor/", "usr/share/doc/norvimerioshare/", "usr/share/lintian/overrides/")
    strays = [f for f in files if not f.startswith(allowed)]
    assert not strays, "files outside the package's places: %s" % strays

    # Program folder layout: library, settings (a link to the conffile in
    # /etc/opt), the translations the build made.
    assert os.path.isfile(os.path.join(root, APP, "libVoxtap.so")), files
    link = os.readlink(os.path.join(root, APP, "version.ini"))
    assert link == "/etc/opt/norvimerioshare/version.ini", link
    version = run("dpkg-deb", "-f", deb, "Version").strip()
    settings = open(root + link).read()
    assert "\nversion=%s\n" % version in settings and "\n[Cloud]\n" in settings, settings
    built = os.path.join(BUILD, "bin", "Environment", "translations")
    if os.path.isdir(built):
        assert sorted(os.listdir(built)) == sorted(os.listdir(os.path.join(root, APP, "Environment/translations")))
    if os.path.exists(os.path.join(SOURCE, "ui/images/appicon.svg")):
        assert "usr/share/icons/hicolor/scalable/apps/norvimerioshare.svg" in files, files

    # Menu and login entries start the installed program.
    for entry in ("usr/share/applications/norvimerioshare.desktop", "etc/xdg/autostart/norvimerioshare.desktop"):
        text = open(os.path.join(root, entry)).read()
        assert re.search(r"^Exec=/%s/NorviMerioShare$" % APP, text, re.M), entry
        assert re.search(r"^Icon=norvimerioshare$", text, re.M), entry
    control = os.path.join(scratch, "control")
    run("dpkg-deb", "-e", deb, control)
    conffiles = open(os.path.join(control, "conffiles")).read().split()
    assert sorted(conffiles) == ["/etc/opt/norvimerioshare/version.ini",
                                 "/etc/xdg/autostart/norvimerioshare.desktop"], conffiles
    depends = run("dpkg-deb", "-f", deb, "Depends")
    for lib in ("libc6", "libpulse0", "libavcodec", "libswresample"):
        assert lib in depends, "Depends lacks %s: %s" % (lib, depends)

    lint = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True, text=True, timeout=600)
    errors = [ln for ln in lint.stdout.splitlines() if ln.startswith("E:")]
    assert lint.returncode == 0 and not errors, "lintian:\n" + lint.stdout + lint.stderr
    print("package %s: %d files, Depends: %s" % (debs[0], len(files), depends.strip()))
    return root


def check_server_package(scratch, deb):
    """The share server's package: its places, its control data, lintian,
    and the unpacked command serving a watch page on loopback."""
    root = os.path.join(scratch, "server-root")
    run("dpkg-deb", "-x", deb, root)
    files = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
    allowed = ("usr/bin/norvimerio-server", "usr/share/norvimerio-server/", "usr/share/doc/norvimerio-server/",
               "lib/systemd/system/norvimerio-server.service", "etc/default/norvimerio-server",
               "usr/share/man/man1/norvimerio-server.1.gz")
    assert not [f for f in files if not f.startswith(allowed)], files
    for doc in ("copyright", "changelog.gz", "nginx-site.example", "README.admin"):
        assert "usr/share/doc/norvimerio-server/" + doc in files, files
    unit = open(os.path.join(root, "lib/systemd/system/norvimerio-server.service")).read()
    assert re.search(r"^User=norvimerio-server$", unit, re.M) and "--data /var/lib/norvimerio-server" in unit, unit
    control = os.path.join(scratch, "server-control")
    run("dpkg-deb", "-e", deb, control)
    assert open(os.path.join(control, "conffiles")).read().split() == ["/etc/default/norvimerio-server"]
    assert "adduser --system" in open(os.path.join(control, "postinst")).read()
    assert "python3-aiohttp" in run("dpkg-deb", "-f", deb, "Depends")
    lint = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True, text=True, timeout=600)
    assert lint.returncode == 0 and not [ln for ln in lint.stdout.splitlines() if ln.startswith("E:")], \
        "lintian:\n" + lint.stdout + lint.stderr
    # The unpacked command finds its modules and serves.
    data = os.path.join(scratch, "server-data")
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(root, "usr/bin/norvimerio-server"), "--data", data,
                               "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 30)
        first = server.stdout.readline().decode() if ready else ""
        assert "UploadToken" in first + server.stdout.readline().decode(), first
    finally:
        server.kill()
        server.wait(10)
    assert os.path.isfile(os.path.join(data, "upload-token"))
    print("package %s: %d files" % (os.path.basename(deb), len(files)))


def start_program(root, scratch):
    """The program from the unpacked package under a private Xvfb, until one
    of its windows (the floating icon) is mapped."""
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    procs = [xvfb]
    try:
        assert select.select([r], [], [], 30)[0], "Xvfb did not start"
        home = os.path.join(scratch, "home")
        env = dict(os.environ, DISPLAY=":" + os.read(r, 16).decode().strip(), HOME=home, XDG_RUNTIME_DIR=home,
                   XDG_DATA_HOME=home + "/data", XDG_CONFIG_HOME=home + "/config", KX_VIRTUAL_CAMERA="default",
                   QT_QPA_PLATFORM="xcb", PULSE_SERVER="unix:" + home + "/no-audio")
        os.makedirs(home)
        log = open(os.path.join(scratch, "program.log"), "w+")
        procs.append(subprocess.Popen([os.path.join(root, APP, "NorviMerioShare")], env=env, stdout=log, stderr=log))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            assert procs[1].poll() is None, "the program ended (%s):\n%s" % (procs[1].returncode, open(log.name).read())
            tree = run("xwininfo", "-root", "-tree", env=env, timeout=30)
            for wid in re.findall(r'^\s*(0x[0-9a-f]+) .*\(".*norvimerioshare.*"\)', tree, re.M | re.I):
                if "IsViewable" in run("xwininfo", "-id", wid, env=env, timeout=30):
                    print("the program shows its window %s" % wid)
                    return second_start(procs[1], env, log)
            time.sleep(0.5)
        raise AssertionError("no window of the program was mapped within 60 s")
    finally:
        for proc in reversed(procs):
            proc.kill()
            proc.wait(10)
        os.close(r)


def wait_for_log(log, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        log.seek(0)
        if text in log.read():
            return True
        time.sleep(0.2)
    return False


def second_start(first, env, log):
    """A second start while the first sits idle: it wakes the first, which
    plays its start animation again, and ends with 0 itself."""
    assert wait_for_log(log, "KxMainWidgetCtrller::onAnimateExit", 30), "the program never reached its idle icon"
    second = subprocess.run([first.args[0]], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    assert second.returncode == 0, "the second start ended with %d:\n%s" % (second.returncode, second.stdout.decode())
    assert wait_for_log(log, "KxMainWidgetCtrller::reStartAnimation", 10), "the first program was not woken"
    assert first.poll() is None, "the first program ended"
    print("a second start woke the running program and ended with 0")


def main():
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "lintian", "Xvfb", "xwininfo"):
        assert shutil.which(tool), tool + " is missing (scripts/install-deps)"
    with tempfile.TemporaryDirectory(prefix="kx-package-") as scratch:
        root = check_package(scratch)
        if not os.path.exists(os.path.join(root, APP, "NorviMerioShare")):
            print("SKIPPED: the package has no program yet (no NorviMerioShare target in this build); "
                  "only its layout and lintian were checked")
            return 77
        start_program(root, scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
