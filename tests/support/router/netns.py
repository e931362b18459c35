"""A home network made of network namespaces, for tests and benchmarks.

    LAN namespace            router namespace                  WAN namespace
    192.0.2.10  --- lan ---  192.0.2.1 | <wan address>  --- wan ---  203.0.113.100 (viewer, echo, website)

The router forwards between its sides, masquerades what leaves on the WAN
side and sends what arrives there through the DNAT map "portmap" (filled by
whoever plays the router's port mapping). With `carrier=True` the router's
WAN side is 100.64.12.7 in a carrier namespace that masquerades once more to
203.0.113.7: a home router behind a carrier-grade NAT. Nothing routes out of
these namespaces; everything is removed by close().

With `ipv6=True` the LAN and the WAN side also have IPv6 (2001:db8:1::/64 and
2001:db8:3::/64; the carrier, when there is one, routes 2001:db8:2::/64 to the
router), routed without translation. With `ipv6_firewall` (the default) the
router's IPv6 firewall lets nothing in from the WAN side but answers and what
the set "pinholes" (address . port, filled by whoever plays the router's
pinholes) names; without it the router's own firewall software makes its
rules.
"""
import os
import subprocess

LAN_HOST = "192.0.2.10"
LAN_ROUTER = "192.0.2.1"
WAN_HOST = "203.0.113.100"
ROUTER_WAN = "203.0.113.1"
CGN_ROUTER_WAN = "100.64.12.7"
CGN_CARRIER_INSIDE = "100.64.0.1"
CGN_PUBLIC = "203.0.113.7"
LAN6_HOST = "2001:db8:1::10"
LAN6_ROUTER = "2001:db8:1::1"
WAN6_HOST = "2001:db8:3::100"


def run(*cmd, check=True, **kw):
    return subprocess.run(list(cmd), check=check, capture_output=True, text=True, **kw)


def why_namespaces_cannot_be_made():
    """'' when this process may make namespaces, else the reason."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    for tool in ("ip", "nft"):
        if run("sh", "-c", f"command -v {tool}", check=False).returncode != 0:
            return f"{tool} is not installed"
    name = f"lmprobe{os.getpid()}"
    r = run("ip", "netns", "add", name, check=False)
    if r.returncode != 0:
        return "ip netns add failed: " + r.stderr.strip()
    run("ip", "netns", "del", name, check=False)
    return ""


class HomeNetwork:
    def __init__(self, carrier=False, ipv6=False, ipv6_firewall=True):
        tag = str(os.getpid())
        self.lan, self.router, self.wan = f"lm{tag}lan", f"lm{tag}rtr", f"lm{tag}wan"
        self.carrier = f"lm{tag}cgn" if carrier else None
        self.router_wan = CGN_ROUTER_WAN if carrier else ROUTER_WAN
        self.public = CGN_PUBLIC if carrier else ROUTER_WAN
        self._made = []
        try:
            self._build()
            if ipv6:
                self._build_ipv6(ipv6_firewall)
        except Exception:
            self.close()
            raise

    def ns(self, name, *cmd, check=True):
        return run("ip", "netns", "exec", name, *cmd, check=check)

    def _add(self, name):
        run("ip", "netns", "add", name)
        self._made.append(name)
        self.ns(name, "ip", "link", "set", "lo", "up")

    def _link(self, a, a_if, a_addr, b, b_if, b_addr):
        run("ip", "link", "add", a_if, "netns", a, "type", "veth", "peer", "name", b_if, "netns", b)
        self.ns(a, "ip", "addr", "add", a_addr, "dev", a_if)
        self.ns(b, "ip", "addr", "add", b_addr, "dev", b_if)
        self.ns(a, "ip", "link", "set", a_if, "up")
        self.ns(b, "ip", "link", "set", b_if, "up")

    def _build(self):
        for name in (self.lan, self.router, self.wan) + ((self.carrier,) if self.carrier else ()):
            self._add(name)
        self._link(self.lan, "eth0", LAN_HOST + "/24", self.router, "lan0", LAN_ROUTER + "/24")
        self.ns(self.lan, "ip", "route", "add", "default", "via", LAN_ROUTER)
        if self.carrier:
            self._link(self.router, "wan0", CGN_ROUTER_WAN + "/10", self.carrier, "in0", CGN_CARRIER_INSIDE + "/10")
            self.ns(self.router, "ip", "route", "add", "default", "via", CGN_CARRIER_INSIDE)
            self._link(self.carrier, "out0", CGN_PUBLIC + "/24", self.wan, "eth0", WAN_HOST + "/24")
            self.ns(self.carrier, "sysctl", "-qw", "net.ipv4.ip_forward=1")
            self._nft(self.carrier, 'table ip carrier {\n chain post { type nat hook postrouting priority srcnat; '
                                    'oifname "out0" masquerade; }\n}\n')
        else:
            self._link(self.router, "wan0", ROUTER_WAN + "/24", self.wan, "eth0", WAN_HOST + "/24")
        self.ns(self.router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        self._nft(self.router,
                  'table ip router {\n'
                  ' map portmap { type inet_service : ipv4_addr . inet_service; }\n'
                  ' chain pre { type nat hook prerouting priority dstnat;\n'
                  '   iifname "wan0" dnat ip to tcp dport map @portmap; }\n'
                  ' chain post { type nat hook postrouting priority srcnat; oifname "wan0" masquerade; }\n'
                  '}\n')

    def _build_ipv6(self, firewall):
        # nodad: usable at once, not "tentative" for a second.
        def address(name, dev, addr):
            self.ns(name, "ip", "-6", "addr", "add", addr + "/64", "dev", dev, "nodad")
        address(self.lan, "eth0", LAN6_HOST)
        address(self.router, "lan0", LAN6_ROUTER)
        address(self.wan, "eth0", WAN6_HOST)
        self.ns(self.lan, "ip", "-6", "route", "add", "default", "via", LAN6_ROUTER)
        if self.carrier:
            address(self.router, "wan0", "2001:db8:2::1")
            address(self.carrier, "in0", "2001:db8:2::2")
            address(self.carrier, "out0", "2001:db8:3::1")
            self.ns(self.router, "ip", "-6", "route", "add", "default", "via", "2001:db8:2::2")
            self.ns(self.carrier, "ip", "-6", "route", "add", "2001:db8:1::/64", "via", "2001:db8:2::1")
            self.ns(self.carrier, "sysctl", "-qw", "net.ipv6.conf.all.forwarding=1")
        else:
            address(self.router, "wan0", "2001:db8:3::1")
        self.ns(self.wan, "ip", "-6", "route", "add", "2001:db8:1::/64", "via", "2001:db8:3::1")
        self.ns(self.router, "sysctl", "-qw", "net.ipv6.conf.all.forwarding=1")
        if firewall:
            self._nft(self.router,
                      'table ip6 firewall {\n'
                      ' set pinholes { type ipv6_addr . inet_service; }\n'
                      ' chain forward { type filter hook forward priority filter; policy accept;\n'
                      '   iifname "wan0" ct state established,related accept\n'
                      '   iifname "wan0" ip6 daddr . tcp dport @pinholes accept\n'
                      '   iifname "wan0" drop; }\n'
                      '}\n')

    def pinholes(self):
        """The router's IPv6 pinholes as nft lists them."""
        return self.ns(self.router, "nft", "list", "set", "ip6", "firewall", "pinholes").stdout

    def _nft(self, name, ruleset):
        subprocess.run(["ip", "netns", "exec", name, "nft", "-f", "-"], input=ruleset, text=True, check=True,
                       capture_output=True)

    def portmap(self):
        """The router's DNAT map as nft lists it."""
        return self.ns(self.router, "nft", "list", "map", "ip", "router", "portmap").stdout

    def exec_argv(self, name, argv):
        return ["ip", "netns", "exec", name] + list(argv)

    def close(self):
        for name in reversed(self._made):
            run("ip", "netns", "del", name, check=False)
        self._made = []
