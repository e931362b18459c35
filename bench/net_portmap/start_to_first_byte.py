#!/usr/bin/env python3
"""Start to the first stream byte, with the router asked to open the port and
without: Lumora is started with --start in the LAN namespace of a home
network made of namespaces (tests/support/router/netns.py) and a viewer on
the router polls the stream port until the first byte of the stream arrives.

    sudo bench/net_portmap/start_to_first_byte.py --build build [--runs 5]

Cases: mapping off; mapping on with the scripted UPnP router; mapping on with
no router at all (discovery runs its whole 2 s and NAT-PMP its 2 s). Prints
the median and the spread per case and the ratio to "off".
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support", "router"))
import netns  # noqa: E402

# Polls host:port until a GET returns a byte; prints CLOCK_MONOTONIC then.
VIEWER = r"""
import socket, sys, time
host, port = sys.argv[1], int(sys.argv[2])
end = time.monotonic() + 60
while time.monotonic() < end:
    try:
        s = socket.create_connection((host, port), timeout=1)
        s.sendall(b"GET / HTTP/1.1\r\nHost: lumora\r\nUser-Agent: bench\r\nAccept: */*\r\n\r\n")
        s.settimeout(10)
        if s.recv(1):
            print(time.monotonic()); sys.exit(0)
    except OSError:
        time.sleep(0.005)
sys.exit(1)
"""


def one_run(net, build, mapping, workdir):
    ini = os.path.join(workdir, "lumora.ini")
    with open(ini, "w") as f:
        f.write(f"[Network]\nPort=8080\nProfile=4\nPortMapping={1 if mapping else 0}\n")
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LUMORA_PORT_MAPPING")}
    viewer = subprocess.Popen(net.exec_argv(net.router, ["/usr/bin/python3", "-c", VIEWER, netns.LAN_HOST, "8080"]),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    started = time.monotonic()
    lumora = subprocess.Popen(net.exec_argv(net.lan, [os.path.join(build, "lumora"), "--start", "--settings", ini,
                                                      "--echo-url", f"http://{netns.WAN_HOST}:8000/"]),
                              stdout=open(os.path.join(workdir, "lumora.out"), "w"), stderr=subprocess.STDOUT, env=env, cwd=workdir)
    out, err = viewer.communicate(timeout=90)
    lumora.terminate()
    lumora.wait(timeout=30)
    if viewer.returncode != 0:
        raise RuntimeError("the viewer got no byte; Lumora said: " + open(os.path.join(workdir, "lumora.out")).read())
    return float(out) - started


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(SOURCE, "build"))
    p.add_argument("--runs", type=int, default=5)
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    why = netns.why_namespaces_cannot_be_made()
    if why:
        print("cannot run: " + why)
        return 1
    results = {}
    for case in ("off", "on, UPnP router", "on, no router"):
        net = netns.HomeNetwork()
        router = None
        try:
            with tempfile.TemporaryDirectory() as workdir:
                if case == "on, UPnP router":
                    ready = os.path.join(workdir, "router.ready")
                    router = subprocess.Popen(net.exec_argv(net.router, [
                        "/usr/bin/python3", os.path.join(SOURCE, "tests/support/router/scripted_router.py"),
                        "--lan-address", netns.LAN_ROUTER, "--external-address", netns.ROUTER_WAN, "--upnp",
                        "--log", os.path.join(workdir, "router.log"), "--ready", ready]))
                    while not os.path.exists(ready):
                        time.sleep(0.01)
                results[case] = [one_run(net, args.build, case != "off", workdir) for _ in range(args.runs)]
        finally:
            if router:
                router.kill()
                router.wait()
            net.close()
    base = statistics.median(results["off"])
    for case, times in results.items():
        med = statistics.median(times)
        print(f"{case:18s} median {med * 1000:7.1f} ms  min {min(times) * 1000:7.1f}  max {max(times) * 1000:7.1f}"
              f"  ratio to off {med / base:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
