#!/usr/bin/env python3
"""Opening the stream port on a home router, in a home network made of
network namespaces (tests/support/router/netns.py): Lumora in the LAN
namespace, a router between the LAN and the WAN, a viewer, the address echo
service and the website in the WAN namespace.

The router is either the scripted one (tests/support/router/scripted_router.py,
checked first against Debian's own clients upnpc and natpmpc) whose mappings
become real DNAT rules, or the real miniupnpd behind a carrier-grade NAT.

Lumora runs as a user runs it without a display; its console lines are what
is checked, with ffprobe in the WAN namespace as the outside viewer.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support", "router"))
import netns  # noqa: E402

BUILD = os.environ.get("LUMORA_BUILD_DIR", os.path.join(SOURCE, "build"))
ROUTER_SCRIPT = os.path.join(SOURCE, "tests", "support", "router", "scripted_router.py")
PYTHON = "/usr/bin/python3"  # Debian's, with pyftpdlib
ECHO_URL = f"http://{netns.WAN_HOST}:8000/"
PORT = 8080
DOUBLE_NAT_TAIL = "viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload below"

# What the address echo service answers: the address the request came from.
ECHO_SCRIPT = r"""
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer
class H(BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def do_GET(self):
        body = ("<html><body>Current IP Address: %s</body></html>" % self.client_address[0]).encode()
        self.send_response(200); self.send_header("Content-Length", str(len(body))); self.end_headers()
        self.wfile.write(body)
server = HTTPServer((sys.argv[1], 8000), H)
open(sys.argv[2], "w").close()
server.serve_forever()
"""

FTP_SCRIPT = r"""
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user("lumora", "secret", sys.argv[2], perm="elradfmwMT")
FTPHandler.authorizer = authorizer
server = FTPServer((sys.argv[1], 21), FTPHandler)
open(sys.argv[3], "w").close()
server.serve_forever()
"""


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.05)
    if not predicate():
        raise AssertionError("timed out waiting for " + what)


class Network:
    """One home network and the processes started in it; all gone at close()."""

    def __init__(self, test, carrier=False, ipv6=False, ipv6_firewall=True):
        self.test = test
        self.net = netns.HomeNetwork(carrier=carrier, ipv6=ipv6, ipv6_firewall=ipv6_firewall)
        self.dir = tempfile.mkdtemp(prefix="lumora-portmap-")
        self.procs = []
        self.files = []
        test.addCleanup(self.close)
        self.start_in(self.net.wan, [PYTHON, "-c", ECHO_SCRIPT, netns.WAN_HOST], "echo")

    def path(self, name):
        return os.path.join(self.dir, name)

    def start_in(self, ns, argv, name, ready=True, **kw):
        """Starts argv in namespace ns; with `ready` it passes a file to write
        once it listens (its last argument) and waits for it."""
        ready_file = self.path(name + ".ready")
        argv = list(argv) + ([ready_file] if ready else [])
        out = open(self.path(name + ".out"), "w")
        self.files.append(out)
        proc = subprocess.Popen(self.net.exec_argv(ns, argv), stdout=out, stderr=subprocess.STDOUT, **kw)
        self.procs.append(proc)
        if ready:
            wait_for(lambda: os.path.exists(ready_file) or proc.poll() is not None, 20, name + " to listen")
            self.test.assertIsNone(proc.poll(), name + " ended: " + self.text(name + ".out"))
        return proc

    def scripted_router(self, *options):
        self.router_log = self.path("router.log")
        argv = [PYTHON, ROUTER_SCRIPT, "--lan-address", netns.LAN_ROUTER, "--external-address",
                self.net.router_wan, "--log", self.router_log] + list(options) + ["--ready"]
        return self.start_in(self.net.router, argv, "router")

    def router_requests(self, proto=None, action=None):
        if not os.path.exists(self.router_log):
            return []
        with open(self.router_log) as f:
            entries = [json.loads(line) for line in f if line.strip()]
        return [e for e in entries if (proto is None or e["proto"] == proto) and
                (action is None or e["action"] == action)]

    def mapped_ports(self):
        listing = self.net.portmap()
        m = re.search(r"elements = \{([^}]*)\}", listing)
        return sorted(int(p) for p in re.findall(r"(\d+) :", m.group(1))) if m else []

    def lumora(self, settings="", env=None, echo_url=ECHO_URL):
        """Lumora streaming the test pattern on PORT in the LAN namespace."""
        ini = self.path("lumora.ini")
        with open(ini, "w") as f:
            f.write(f"[Network]\nPort={PORT}\nProfile=4\n" + settings)
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                                    "LUMORA_PORT_MAPPING")}
        environment.update(env or {})
        self.lumora_out = self.path("lumora.out")
        self.lumora_proc = self.start_in(
            self.net.lan, [os.path.join(BUILD, "lumora"), "--start", "--settings", ini, "--echo-url", echo_url],
            "lumora", ready=False, env=environment, cwd=self.dir)
        return self.lumora_proc

    def window(self, settings=""):
        """The window itself, offscreen, streaming the test pattern on PORT in
        the LAN namespace, pressed through press()."""
        ini = self.path("lumora.ini")
        with open(ini, "w") as f:
            f.write(f"[Network]\nPort={PORT}\nProfile=4\n" + settings)
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "LUMORA_PORT_MAPPING")}
        environment["QT_QPA_PLATFORM"] = "offscreen"
        self.lumora_out = self.path("lumora.out")
        self.lumora_proc = self.start_in(
            self.net.lan, [os.path.join(BUILD, "window_driver"), ini, ECHO_URL], "lumora", ready=False,
            env=environment, cwd=self.dir, stdin=subprocess.PIPE, text=True)
        return self.lumora_proc

    def press(self, command):
        """Has the window handle `command` (see tests/e2e/window_driver.cpp) and
        waits until it has."""
        done = "done " + command + "\n"
        before = self.output().count(done)
        self.lumora_proc.stdin.write(command + "\n")
        self.lumora_proc.stdin.flush()
        wait_for(lambda: self.output().count(done) > before or self.lumora_proc.poll() is not None, 30,
                 repr(command))
        self.test.assertGreater(self.output().count(done), before, self.output())

    def text(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def output(self):
        return self.text("lumora.out")

    def wait_for_line(self, text, timeout=30):
        wait_for(lambda: text in self.output() or self.lumora_proc.poll() is not None, timeout, repr(text))
        self.test.assertIn(text, self.output())

    def end_lumora(self, sig=signal.SIGTERM):
        self.lumora_proc.send_signal(sig)
        self.test.assertEqual(self.lumora_proc.wait(timeout=15), 0, self.output())

    def pinholes(self):
        listing = self.net.pinholes()
        m = re.search(r"elements = \{([^}]*)\}", listing)
        return sorted(re.findall(r"([0-9a-f:]+) \. (\d+)", m.group(1))) if m else []

    def probe(self, ns, url, limit_us=5000000):
        """What ffprobe finds at url: the codec names, or its error (within
        `limit_us` when nothing answers)."""
        r = self.net.ns(ns, "timeout", "20", "ffprobe", "-v", "error", "-rw_timeout", str(limit_us), "-show_entries",
                        "stream=codec_name", "-of", "csv=p=0", url, check=False)
        return (r.stdout + r.stderr).strip()

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            if proc.stdin:
                proc.stdin.close()
        self.net.close()
        for f in self.files:
            f.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class PortMappingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = netns.why_namespaces_cannot_be_made()
        if not why:
            for tool in ("upnpc", "natpmpc", "miniupnpd", "ffprobe"):
                if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
                    why = tool + " is not installed"
        if why:
            raise unittest.SkipTest("no home network of namespaces here: " + why)

    def wan_url(self, port):
        return f"http://{netns.ROUTER_WAN}:{port}/"

    def test_scripted_router_speaks_as_debians_own_clients_expect(self):
        n = Network(self)
        n.scripted_router("--upnp", "--natpmp")
        # UPnP: the test address range is "reserved" to upnpc, hence -i.
        r = n.net.ns(n.net.lan, "upnpc", "-i", "-e", "check", "-a", netns.LAN_HOST, "9000", "9001", "TCP", "60")
        self.assertIn(f"external {netns.ROUTER_WAN}:9001 TCP is redirected to internal {netns.LAN_HOST}:9000",
                      r.stdout)
        self.assertEqual(n.mapped_ports(), [9001])
        r = n.net.ns(n.net.lan, "upnpc", "-i", "-d", "9001", "TCP")
        self.assertIn("UPNP_DeletePortMapping() returned : 0", r.stdout)
        self.assertEqual(n.mapped_ports(), [])
        # NAT-PMP: the public address, a mapping, its removal.
        r = n.net.ns(n.net.lan, "natpmpc", "-a", "9002", "9000", "tcp", "60")
        self.assertIn(f"Public IP address : {netns.ROUTER_WAN}", r.stdout)
        self.assertIn("Mapped public port 9002 protocol TCP to local port 9000", r.stdout)
        self.assertEqual(n.mapped_ports(), [9002])
        n.net.ns(n.net.lan, "natpmpc", "-a", "9002", "9000", "tcp", "0")
        self.assertEqual(n.mapped_ports(), [])

    def test_scripted_pinholes_speak_as_upnpc_expects(self):
        n = Network(self, ipv6=True)
        n.scripted_router("--upnp", "--pinholes")
        upnpc = lambda *a: n.net.ns(n.net.lan, "upnpc", "-i", *a).stdout
        self.assertIn("Inbound Pinhole Allowed: Yes", upnpc("-S"))
        self.assertIn(f"AddPinhole: ([]:0 -> [{netns.LAN6_HOST}]:9000) / Pinhole ID = 1",
                      upnpc("-A", "", "0", netns.LAN6_HOST, "9000", "TCP", "60"))
        self.assertEqual(n.pinholes(), [(netns.LAN6_HOST, "9000")])
        self.assertIn("UpdatePinhole: Pinhole ID = 1 with Lease Time: 120", upnpc("-U", "1", "120"))
        self.assertIn("UPNP_DeletePinhole() returned : 0", upnpc("-D", "1"))
        self.assertEqual(n.pinholes(), [])
        self.assertIn("UPNP_DeletePinhole() returned : 704", upnpc("-D", "1"))

    def test_an_ipv6_pinhole_lets_the_outside_viewer_in_only_while_it_exists(self):
        n = Network(self, ipv6=True)
        n.scripted_router("--upnp", "--pinholes")
        url = f"http://[{netns.LAN6_HOST}]:{PORT}/"
        opened = f"IPv6: router opened [{netns.LAN6_HOST}]:{PORT} (UPnP pinhole)\n"
        n.window()
        for started in (1, 2):
            wait_for(lambda: n.output().count(opened) == started or n.lumora_proc.poll() is not None, 30,
                     "the pinhole")
            self.assertEqual(n.pinholes(), [(netns.LAN6_HOST, str(PORT))])
            self.assertIn("wmv2", n.probe(n.net.wan, url))
            if started == 1:
                n.press("stop")
                self.assertEqual(len(n.router_requests("upnp6", "DeletePinhole")), 1)
                self.assertEqual(n.pinholes(), [])
                self.assertNotIn("refused", n.probe(n.net.wan, url, 1000000), "the firewall drops it")
                n.press("start")
        adds = n.router_requests("upnp6", "AddPinhole")
        self.assertEqual([(a["remote_host"], a["remote_port"], a["internal_client"], a["internal_port"],
                           a["protocol"], a["lease"]) for a in adds],
                         [("", "0", netns.LAN6_HOST, str(PORT), "6", "3600")] * 2)
        self.assertEqual([d["id"] for d in n.router_requests("upnp6", "DeletePinhole")], ["1"])
        # The stream runs, yet without the pinhole the firewall keeps the
        # outside viewer out; the LAN side still plays.
        n.net.ns(n.net.router, "nft", "flush", "set", "ip6", "firewall", "pinholes")
        self.assertNotIn("wmv2", n.probe(n.net.wan, url, 1000000))
        self.assertIn("wmv2", n.probe(n.net.router, url))
        n.press("close")
        self.assertEqual(n.lumora_proc.wait(timeout=15), 0, n.output())
        self.assertEqual([d["id"] for d in n.router_requests("upnp6", "DeletePinhole")], ["1", "2"])

    def test_upnp_mapping_lets_the_outside_viewer_in_until_the_program_ends(self):
        n = Network(self)
        n.scripted_router("--upnp", "--natpmp")
        self.assertNotIn("wmv", n.probe(n.net.wan, self.wan_url(PORT)), "no way in before the mapping")
        n.lumora()
        n.wait_for_line(f"Reachable: router opened port {PORT} (UPnP)")
        self.assertEqual(n.mapped_ports(), [PORT])
        adds = n.router_requests("upnp", "AddPortMapping")
        self.assertEqual([(a["external"], a["internal"], a["internal_client"], a["lease"]) for a in adds],
                         [(str(PORT), str(PORT), netns.LAN_HOST, "3600")])
        self.assertEqual(n.router_requests("natpmp"), [], "NAT-PMP is not asked when an IGD answers")
        self.assertIn("wmv2", n.probe(n.net.wan, self.wan_url(PORT)))
        # SIGTERM closes the window, which stops the stream and removes the mapping.
        n.end_lumora(signal.SIGTERM)
        self.assertEqual(len(n.router_requests("upnp", "DeletePortMapping")), 1)
        self.assertEqual(n.mapped_ports(), [])
        self.assertIn("Connection refused", n.probe(n.net.wan, self.wan_url(PORT)))

    def test_stop_and_a_source_change_remove_the_mapping(self):
        n = Network(self)
        n.scripted_router("--upnp")
        n.window()
        reachable = f"Reachable: router opened port {PORT} (UPnP)\n"
        for ended, press in enumerate(("stop", "source"), 1):
            wait_for(lambda: n.output().count(reachable) == ended or n.lumora_proc.poll() is not None, 30,
                     "the mapping before " + press)
            self.assertEqual(n.mapped_ports(), [PORT], n.output())
            self.assertIn("wmv2", n.probe(n.net.wan, self.wan_url(PORT)))
            n.press(press)
            # Removed before the window went on: nothing is left open.
            self.assertEqual(len(n.router_requests("upnp", "DeletePortMapping")), ended, press)
            self.assertEqual(n.mapped_ports(), [], press)
            self.assertIn("Connection refused", n.probe(n.net.wan, self.wan_url(PORT)), press)
            n.press("start")
        wait_for(lambda: n.output().count(reachable) == 3 or n.lumora_proc.poll() is not None, 30,
                 "the mapping before close")
        self.assertEqual(n.mapped_ports(), [PORT], n.output())
        self.assertNotIn("error: ", n.output())
        n.press("close")
        self.assertEqual(n.lumora_proc.wait(timeout=15), 0, n.output())
        self.assertEqual(len(n.router_requests("upnp", "DeletePortMapping")), 3, "and at close")
        self.assertEqual(n.mapped_ports(), [])

    def test_natpmp_when_no_igd_answers(self):
        n = Network(self, ipv6=True)
        n.scripted_router("--natpmp")
        n.lumora()
        n.wait_for_line(f"Reachable: router opened port {PORT} (NAT-PMP)")
        n.wait_for_line(f"IPv6: the router offers no pinholes; [{netns.LAN6_HOST}]:{PORT} is reachable only if "
                        "its firewall lets viewers in")
        self.assertEqual(n.mapped_ports(), [PORT])
        self.assertIn("wmv2", n.probe(n.net.wan, self.wan_url(PORT)))
        n.end_lumora(signal.SIGINT)
        self.assertEqual([m["lease"] for m in n.router_requests("natpmp", "Map")], [3600, 0])
        self.assertEqual(n.mapped_ports(), [])
        self.assertIn("Connection refused", n.probe(n.net.wan, self.wan_url(PORT)))

    def test_the_routers_public_address_stands_in_for_a_failed_echo(self):
        n = Network(self)
        n.scripted_router("--upnp")
        n.lumora(echo_url=f"http://{netns.WAN_HOST}:8001/")  # nothing listens there
        n.wait_for_line("The public address is unknown")
        n.wait_for_line(f"Reachable: router opened port {PORT} (UPnP)")
        n.wait_for_line(f"(WAN http://{netns.ROUTER_WAN}:{PORT}/)")
        n.end_lumora()

    def test_no_router_is_said_and_the_stream_does_not_wait_for_it(self):
        n = Network(self)
        n.lumora()
        n.wait_for_line(f"No router answered: forward TCP port {PORT} by hand, or use the relay")
        out = n.output()
        # The stream was announced (and served) before the router search ended.
        self.assertLess(out.index("Lumora is streaming"), out.index("No router answered"))
        self.assertIn("wmv2", n.probe(n.net.router, f"http://{netns.LAN_HOST}:{PORT}/"))
        n.end_lumora()

    def test_a_taken_port_gives_the_next_one_and_the_website_page_names_it(self):
        n = Network(self)
        n.scripted_router("--upnp", "--taken", f"{PORT}=192.0.2.99:{PORT}")
        site = n.path("site")
        os.mkdir(site)
        n.start_in(n.net.wan, [PYTHON, "-c", FTP_SCRIPT, netns.WAN_HOST, site], "ftp")
        template = n.path("template.htm")
        with open(template, "w") as f:
            f.write('<a href="http://{IP}/">watch</a>\n')
        local = n.path("local.htm")
        n.lumora(f"[Web]\nUpdate=1\nHost={netns.WAN_HOST}\nUsername=lumora\nPassword=secret\nSecurity=None\n"
                 f"Template={template}\nLocal={local}\nFile=page.htm\n")
        n.wait_for_line(f"Router opened port {PORT + 1} instead of {PORT}")
        self.assertEqual(n.mapped_ports(), [PORT, PORT + 1])
        self.assertIn("wmv2", n.probe(n.net.wan, self.wan_url(PORT + 1)))
        # The first upload comes 10 seconds after Start.
        page = os.path.join(site, "page.htm")
        wait_for(lambda: os.path.exists(page) and "watch" in n.text(page), 40, "the website page")
        self.assertIn(f"http://{netns.ROUTER_WAN}:{PORT + 1}/", n.text(page))
        self.assertIn(f"http://{netns.LAN_HOST}:{PORT}/", n.text(local))
        n.end_lumora()
        self.assertEqual(n.mapped_ports(), [PORT], "the other machine's mapping stays")

    def test_a_short_lease_is_renewed_before_it_ends(self):
        n = Network(self, ipv6=True)
        n.scripted_router("--upnp", "--pinholes")
        n.lumora(env={"LUMORA_PORTMAP_LEASE": "4"})
        n.wait_for_line(f"Reachable: router opened port {PORT} (UPnP)")
        n.wait_for_line(f"IPv6: router opened [{netns.LAN6_HOST}]:{PORT} (UPnP pinhole)")
        wait_for(lambda: len(n.router_requests("upnp", "AddPortMapping")) >= 3 and
                 len(n.router_requests("upnp6", "UpdatePinhole")) >= 2, 20, "two renewals")
        adds = n.router_requests("upnp", "AddPortMapping")
        self.assertTrue(all(a["lease"] == "4" for a in adds), adds)
        updates = n.router_requests("upnp6", "UpdatePinhole")
        self.assertTrue(all((u["id"], u["lease"]) == ("1", "4") for u in updates), updates)
        self.assertEqual(n.router_requests("router", "expired"), [], "a lease ran out")
        self.assertEqual(n.router_requests("router", "pinhole expired"), [], "a pinhole's lease ran out")
        self.assertEqual(n.mapped_ports(), [PORT])
        self.assertEqual(n.pinholes(), [(netns.LAN6_HOST, str(PORT))])
        n.end_lumora()
        self.assertEqual(n.mapped_ports(), [])
        self.assertEqual(n.pinholes(), [])

    def test_a_router_without_leases_gets_a_permanent_mapping_removed_at_the_end(self):
        n = Network(self)
        n.scripted_router("--upnp", "--permanent-only")
        n.lumora()
        n.wait_for_line(f"Reachable: router opened port {PORT} (UPnP)")
        self.assertEqual([a["lease"] for a in n.router_requests("upnp", "AddPortMapping")], ["3600", "0"])
        self.assertEqual(n.mapped_ports(), [PORT])
        n.end_lumora()
        self.assertEqual(n.mapped_ports(), [])

    def test_miniupnpd_behind_a_carrier_grade_nat_refuses_and_the_double_nat_is_said(self):
        n = Network(self, carrier=True, ipv6=True, ipv6_firewall=False)
        conf = n.path("miniupnpd.conf")
        with open(conf, "w") as f:
            f.write("ext_ifname=wan0\nlistening_ip=lan0\nport=0\nenable_natpmp=yes\nenable_upnp=yes\n"
                    "secure_mode=yes\nsystem_uptime=yes\nuuid=4d696e69-0000-4000-8000-00000000cafe\n"
                    "upnp_table_name=miniupnpd\nupnp_nat_table_name=miniupnpd\nupnp_forward_chain=forward_mu\n"
                    "upnp_nat_chain=prerouting_mu\nupnp_nat_postrouting_chain=postrouting_mu\n"
                    "allow 1024-65535 192.0.2.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n")
        # The chains miniupnpd fills, as a router's own start-up makes them;
        # nothing comes in over IPv6 but what miniupnpd lets in.
        n.net._nft(n.net.router, "table inet miniupnpd {\n"
                   " chain forward { type filter hook forward priority 0; policy accept;\n"
                   "   ct state established,related accept; jump forward_mu;\n"
                   '   iifname "wan0" meta nfproto ipv6 drop; }\n'
                   " chain forward_mu { }\n"
                   " chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_mu; }\n"
                   " chain prerouting_mu { }\n"
                   " chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_mu; }\n"
                   " chain postrouting_mu { }\n}\n")
        daemon = n.start_in(n.net.router, ["miniupnpd", "-d", "-f", conf, "-P", n.path("miniupnpd.pid")],
                            "miniupnpd", ready=False)
        # It answers discovery once it runs.
        wait_for(lambda: "Found" in n.net.ns(n.net.lan, "upnpc", "-i", "-s", check=False).stdout
                 or daemon.poll() is not None, 20, "miniupnpd to answer")
        n.lumora()
        n.wait_for_line("Behind a second NAT (the router has no public address of its own; the internet sees "
                        f"{netns.CGN_PUBLIC}): " + DOUBLE_NAT_TAIL)
        self.assertNotIn("Reachable", n.output())
        self.assertIn("AddPortMapping", n.text("miniupnpd.out"), "Lumora asked the real router")
        # IPv6 is the way in: miniupnpd opens its firewall for the stream
        # port (asked over IPv6, the only way it grants a pinhole to an
        # address), and only while the stream runs.
        n.wait_for_line(f"IPv6: router opened [{netns.LAN6_HOST}]:{PORT} (UPnP pinhole)")
        url = f"http://[{netns.LAN6_HOST}]:{PORT}/"
        self.assertIn("wmv2", n.probe(n.net.wan, url))
        n.end_lumora()
        self.assertNotIn("accept", n.net.ns(n.net.router, "nft", "list", "chain", "inet", "miniupnpd",
                                            "forward_mu").stdout)
        self.assertNotIn("refused", n.probe(n.net.wan, url, 1000000), "the firewall drops it again")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build")
    known, rest = parser.parse_known_args()
    if known.build:
        BUILD = known.build
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
