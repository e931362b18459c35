#!/usr/bin/env python3
"""The program as a user installs it.

Installs the build into a scratch prefix with DESTDIR and checks the layout
and the freedesktop files with their own validators; builds the Debian package
with cpack from the binary already built, unpacks it into a scratch root and
runs the installed program offscreen with --start from "/": ffprobe must read
the stream, the settings and the sample template must land in the scratch
XDG folders, and nothing may be written into the unpacked root.
"""
import argparse
import http.server
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
WORK = None  # scratch folder of this run

APP_ID = "org.lumora.Lumora"
ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
EXPECTED_FILES = sorted(
    [
        "usr/bin/lumora",
        f"usr/share/applications/{APP_ID}.desktop",
        f"usr/share/metainfo/{APP_ID}.metainfo.xml",
        "usr/share/icons/hicolor/scalable/apps/lumora.svg",
        "usr/share/man/man1/lumora.1.gz",
        "usr/share/doc/lumora/README.md",
        "usr/share/doc/lumora/help.htm",
        "usr/share/doc/lumora/manual.html",
        "usr/share/doc/lumora/copyright",
        "usr/share/doc/lumora/changelog.gz",
        "usr/lib/systemd/user/lumora.service",
    ]
    + [f"usr/share/icons/hicolor/{s}x{s}/apps/lumora.png" for s in ICON_SIZES]
)


def run(cmd, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 300)
    return subprocess.run(cmd, **kw)


def files_under(root):
    out = []
    for dirpath, _, names in os.walk(root):
        for n in names:
            out.append(os.path.relpath(os.path.join(dirpath, n), root))
    return sorted(out)


def snapshot(root):
    """Every path under root with its size and modification time."""
    snap = {}
    for dirpath, dirs, names in os.walk(root):
        for n in dirs + names:
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            snap[os.path.relpath(p, root)] = (st.st_size, st.st_mtime_ns)
    return snap


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def desktop_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if "=" in line and not line.startswith("#"):
                k, v = line.split("=", 1)
                entry[k] = v
    return entry


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="lumora-install-")


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


class InstallTree(unittest.TestCase):
    """cmake --install with DESTDIR into a scratch prefix."""

    @classmethod
    def setUpClass(cls):
        cls.destdir = os.path.join(WORK, "destdir")
        env = dict(os.environ, DESTDIR=cls.destdir)
        r = run(["cmake", "--install", ARGS.build, "--prefix", "/usr"], env=env)
        if r.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)
        cls.usr = os.path.join(cls.destdir, "usr")

    def test_layout(self):
        self.assertEqual(files_under(self.destdir), EXPECTED_FILES)
        self.assertTrue(os.access(os.path.join(self.usr, "bin/lumora"), os.X_OK))
        for s in ICON_SIZES:
            with self.subTest(icon=s):
                self.assertEqual(png_size(os.path.join(self.usr, f"share/icons/hicolor/{s}x{s}/apps/lumora.png")), (s, s))
        with open(os.path.join(self.usr, "share/icons/hicolor/scalable/apps/lumora.svg"), encoding="utf-8") as f:
            self.assertIn("<svg", f.read())
        # The documents are the project's own, byte for byte.
        for installed, source in [("share/doc/lumora/README.md", "README.md"),
                                  ("share/doc/lumora/help.htm", "app/resources/help.htm")]:
            with open(os.path.join(self.usr, installed), "rb") as a, open(os.path.join(ARGS.source, source), "rb") as b:
                self.assertEqual(a.read(), b.read(), installed)
        # The manual is README.md rendered for the program's help viewer.
        with open(os.path.join(self.usr, "share/doc/lumora/manual.html"), encoding="utf-8") as f:
            manual = f.read()
        self.assertIn("<title>Lumora manual</title>", manual)
        self.assertIn('<a name="website-publishing"></a>', manual)
        self.assertIn("<table", manual)

    def test_desktop_entry(self):
        path = os.path.join(self.usr, f"share/applications/{APP_ID}.desktop")
        r = run(["desktop-file-validate", path])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("error", (r.stdout + r.stderr).lower())
        e = desktop_entry(path)
        self.assertEqual(e.get("Exec"), "lumora")
        self.assertEqual(e.get("GenericName"), "Webcam streaming")
        self.assertEqual(e.get("Categories"), "AudioVideo;Video;Network;")
        self.assertEqual(e.get("Icon"), "lumora", "the icon name of the hicolor files")

    def test_appstream(self):
        path = os.path.join(self.usr, f"share/metainfo/{APP_ID}.metainfo.xml")
        r = run(["appstreamcli", "validate", "--no-net", path])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(f'<launchable type="desktop-id">{APP_ID}.desktop</launchable>', text)

    def test_manual_page(self):
        path = os.path.join(self.usr, "share/man/man1/lumora.1.gz")
        r = run(["man", "--warnings", "-l", path], env=dict(os.environ, MANWIDTH="100"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.strip(), "", "groff warnings")
        page = re.sub(r".\x08", "", r.stdout)
        for heading in ["NAME", "SYNOPSIS", "OPTIONS", "WATCHING IN A BROWSER", "RELAY", "ENVIRONMENT", "FILES",
                        "EXAMPLES"]:
            self.assertRegex(page, rf"(?m)^{heading}$")
        # Every option the program itself accepts is documented.
        usage = run([os.path.join(ARGS.build, "lumora"), "--help"]).stdout
        for option in sorted(set(re.findall(r"--[a-z][a-z-]+", usage))):
            with self.subTest(option=option):
                self.assertIn(option, page)
        for name in ["XDG_CONFIG_HOME", "XDG_DATA_HOME", "LUMORA_ECHO_URL", "lumora.ini", "template.htm",
                     "/usr/share/doc/lumora/", "/usr/lib/systemd/user/lumora.service"]:
            self.assertIn(name, page)


class EchoHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html><body>Current IP Address: 198.51.100.7</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class DebianPackage(unittest.TestCase):
    """cpack's .deb, unpacked into a scratch root and run from there."""

    @classmethod
    def setUpClass(cls):
        out = os.path.join(WORK, "package")
        r = run(["cpack", "--config", os.path.join(ARGS.build, "CPackConfig.cmake"), "-B", out])
        if r.returncode != 0:
            raise AssertionError("cpack failed:\n" + r.stdout + r.stderr)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError(f"expected one .deb in {out}, found {debs}")
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(WORK, "root")
        r = run(["dpkg", "-x", cls.deb, cls.root])
        if r.returncode != 0:
            raise AssertionError("dpkg -x failed:\n" + r.stderr)

    def test_contents(self):
        r = run(["dpkg-deb", "-c", self.deb])
        self.assertEqual(r.returncode, 0, r.stderr)
        listed = sorted(line.split()[-1].removeprefix("./") for line in r.stdout.splitlines()
                        if not line.startswith("d"))
        self.assertEqual(listed, EXPECTED_FILES)

    def test_lintian_finds_no_error(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        r = run(["lintian", "--fail-on", "error", self.deb])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotRegex(r.stdout, r"(?m)^E: ", r.stdout)

    def test_control(self):
        r = run(["dpkg-deb", "-I", self.deb])
        self.assertEqual(r.returncode, 0, r.stderr)
        fields = dict(re.findall(r"(?m)^ ([A-Z][A-Za-z-]+): (.*)$", r.stdout))
        self.assertEqual(fields.get("Package"), "lumora")
        self.assertEqual(fields.get("Architecture"), run(["dpkg", "--print-architecture"]).stdout.strip())
        depends = fields.get("Depends", "")
        # Computed from the binary's libraries, with versions.
        for lib in ["libc6", "libstdc++6", "libqt6core6", "libqt6widgets6", "libavcodec", "libavformat",
                    "libswscale", "libpugixml", "libjpeg62-turbo"]:
            with self.subTest(lib=lib):
                self.assertRegex(depends, rf"(^|, ){re.escape(lib)}[0-9a-z]* \(>= [^)]+\)")

    def test_installed_program_streams_and_writes_only_per_user_files(self):
        lumora = os.path.join(self.root, "usr/bin/lumora")
        home = os.path.join(WORK, "home")
        config = os.path.join(home, "config")
        data = os.path.join(home, "data")
        os.makedirs(os.path.join(config, "lumora"))
        port = free_port()
        settings = os.path.join(config, "lumora", "lumora.ini")
        with open(settings, "w") as f:
            f.write(f"[Video]\nSource=0\n[Network]\nPort={port}\n")

        echo = http.server.HTTPServer(("127.0.0.1", 0), EchoHandler)
        threading.Thread(target=echo.serve_forever, daemon=True).start()
        before = snapshot(self.root)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH")}
        env.update(HOME=home, XDG_CONFIG_HOME=config, XDG_DATA_HOME=data, QT_QPA_PLATFORM="offscreen",
                   LUMORA_ECHO_URL=f"http://127.0.0.1:{echo.server_address[1]}/")
        log = open(os.path.join(WORK, "lumora.log"), "w+")
        proc = subprocess.Popen([lumora, "--start"], cwd="/", env=env, stdout=log, stderr=subprocess.STDOUT)
        try:
            probe = None
            deadline = time.monotonic() + 90
            while time.monotonic() < deadline and proc.poll() is None:
                r = run(["ffprobe", "-v", "error", "-rw_timeout", "10000000", "-show_streams", "-of", "json",
                         f"http://127.0.0.1:{port}/"], timeout=60)
                if r.returncode == 0:
                    probe = json.loads(r.stdout)
                    break
                time.sleep(0.5)
            self.assertIsNone(proc.poll(), "the program ended early")
            self.assertIsNotNone(probe, "ffprobe never read the stream")
            codecs = [s.get("codec_name") for s in probe.get("streams", [])]
            self.assertIn("wmv2", codecs)
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            try:
                code = proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                code = proc.wait()
            echo.shutdown()
            echo.server_close()
            log.seek(0)
            output = log.read()
            log.close()
        self.assertEqual(code, 0, "SIGTERM closes the program cleanly:\n" + output)

        with open(settings) as f:
            saved = f.read()
        self.assertIn(f"Port={port}", saved)
        self.assertIn("[IP]", saved, "the settings were written back at close")
        self.assertEqual(oct(os.stat(settings).st_mode & 0o777), oct(0o600))
        self.assertTrue(os.path.isfile(os.path.join(data, "lumora", "template.htm")),
                        "from / the sample template goes to $XDG_DATA_HOME/lumora")
        self.assertFalse(os.path.exists(os.path.join(data, "lumora", "help.htm")), "the help page is removed again")
        self.assertFalse(os.path.exists("/template.htm"))
        self.assertEqual(snapshot(self.root), before, "nothing is written into the installation")

    def test_user_unit(self):
        unit = os.path.join(self.root, "usr/lib/systemd/user/lumora.service")
        with open(unit) as f:
            text = f.read()
        self.assertRegex(text, r"(?m)^ExecStart=/usr/bin/lumora --start$")
        self.assertRegex(text, r"(?m)^Restart=on-failure$")
        self.assertRegex(text, r"(?m)^Environment=QT_QPA_PLATFORM=offscreen$")
        self.assertRegex(text, r"(?m)^WantedBy=default.target$")
        if not shutil.which("systemd-analyze"):
            print("SKIP systemd-analyze verify: systemd-analyze is not installed here", file=sys.stderr)
            return
        # verify checks that the command exists, so it is pointed at the
        # unpacked binary; its man: documentation is found through MANPATH.
        scratch = os.path.join(WORK, "unit")
        os.makedirs(scratch, exist_ok=True)
        copy = os.path.join(scratch, "lumora.service")
        with open(copy, "w") as f:
            f.write(text.replace("ExecStart=/usr/bin/lumora", "ExecStart=" + os.path.join(self.root, "usr/bin/lumora")))
        env = dict(os.environ, MANPATH=os.path.join(self.root, "usr/share/man"), SYSTEMD_LOG_LEVEL="notice")
        r = run(["systemd-analyze", "verify", copy], env=env, cwd=scratch)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual((r.stdout + r.stderr).strip(), "", "verify has remarks")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    ARGS.source = os.path.abspath(ARGS.source)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
