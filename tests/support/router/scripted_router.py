#!/usr/bin/env python3
"""A home router's port-mapping side, for tests run inside network namespaces.

Runs in the router namespace. Answers UPnP IGD discovery (SSDP), serves a
device description and the WANIPConnection actions GetStatusInfo,
GetExternalIPAddress, AddPortMapping, DeletePortMapping,
GetSpecificPortMappingEntry and GetGenericPortMappingEntry, and answers
NAT-PMP (RFC 6886) public-address and TCP mapping requests. Every mapping
becomes an element of the nftables map that the router's DNAT rule reads, so
a granted mapping really lets the WAN side in, and a removed or expired one
really shuts it out.

With --pinholes the IGD also offers the IPv6 firewall (WANIPv6FirewallControl:
GetFirewallStatus, AddPinhole, UpdatePinhole, DeletePinhole); every pinhole
becomes an element of the set that the router's IPv6 forward accept rule
reads (see netns.py), and leaves it when deleted or expired.

Each request is logged as one JSON line to --log, so a test can see what a
client asked for and when.
"""
import argparse
import json
import re
import socket
import struct
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SSDP_GROUP = "239.255.255.250"
WANIP = "urn:schemas-upnp-org:service:WANIPConnection:1"
WANIP6FC = "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1"
IGD = "urn:schemas-upnp-org:device:InternetGatewayDevice:1"
UUID = "uuid:4d696e69-0000-4000-8000-0000c0000201"


class Mappings:
    """External port -> (client, internal port, expiry or None), mirrored in nftables."""

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.table = {}
        self.log_lock = threading.Lock()
        threading.Thread(target=self._expire, daemon=True).start()

    def log(self, **entry):
        entry["t"] = time.monotonic()
        with self.log_lock, open(self.args.log, "a") as f:
            f.write(json.dumps(entry) + "\n")

    def _nft(self, verb, port, client=None, inport=None):
        element = f"{port} : {client} . {inport}" if verb == "add" else f"{port}"
        subprocess.run(["nft", verb, "element", "ip", "router", "portmap", "{ " + element + " }"], check=True)

    def get(self, port):
        with self.lock:
            return self.table.get(port)

    def add(self, port, client, inport, lease, desc=""):
        with self.lock:
            if port in self.table:
                self._nft("delete", port)
            self.table[port] = (client, inport, time.monotonic() + lease if lease else None, desc, lease)
            self._nft("add", port, client, inport)

    def delete(self, port):
        with self.lock:
            if port not in self.table:
                return False
            del self.table[port]
            self._nft("delete", port)
            return True

    def free_port_from(self, port, client, inport):
        with self.lock:
            while port in self.table and self.table[port][:2] != (client, inport):
                port += 1
            return port

    def _expire(self):
        while True:
            time.sleep(0.2)
            now = time.monotonic()
            with self.lock:
                gone = [p for p, m in self.table.items() if m[2] is not None and m[2] <= now]
                for p in gone:
                    del self.table[p]
                    self._nft("delete", p)
            for p in gone:
                self.log(proto="router", action="expired", port=p)


class Pinholes:
    """Unique ID -> (address, port, expiry), mirrored in the nftables set "pinholes"."""

    def __init__(self, mappings):
        self.mappings = mappings
        self.lock = threading.Lock()
        self.table = {}
        self.next_id = 1
        threading.Thread(target=self._expire, daemon=True).start()

    def _nft(self, verb, address, port):
        subprocess.run(["nft", verb, "element", "ip6", "firewall", "pinholes", f"{{ {address} . {port} }}"],
                       check=True)

    def add(self, address, port, lease):
        with self.lock:
            uid = self.next_id
            self.next_id += 1
            if (address, port) not in [(a, p) for a, p, _ in self.table.values()]:
                self._nft("add", address, port)
            self.table[uid] = (address, port, time.monotonic() + lease)
            return uid

    def get(self, uid):
        with self.lock:
            return self.table.get(uid)

    def update(self, uid, lease):
        with self.lock:
            if uid not in self.table:
                return False
            address, port, _ = self.table[uid]
            self.table[uid] = (address, port, time.monotonic() + lease)
            return True

    def _remove(self, uid):
        address, port, _ = self.table.pop(uid)
        if (address, port) not in [(a, p) for a, p, _ in self.table.values()]:
            self._nft("delete", address, port)

    def delete(self, uid):
        with self.lock:
            if uid not in self.table:
                return False
            self._remove(uid)
            return True

    def _expire(self):
        while True:
            time.sleep(0.2)
            now = time.monotonic()
            with self.lock:
                gone = [u for u, p in self.table.items() if p[2] <= now]
                for u in gone:
                    self._remove(u)
            for u in gone:
                self.mappings.log(proto="router", action="pinhole expired", id=u)


def device_description(args):
    base = f"http://{args.lan_address}:{args.http_port}"
    return f"""<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<URLBase>{base}/</URLBase>
<device>
<deviceType>{IGD}</deviceType>
<friendlyName>Scripted test router</friendlyName>
<manufacturer>Test</manufacturer><modelName>Scripted router</modelName>
<UDN>{UUID}</UDN>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<friendlyName>WAN device</friendlyName><UDN>{UUID}1</UDN>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>
<SCPDURL>/WANCfg.xml</SCPDURL><controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>
</service></serviceList>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<friendlyName>WAN connection</friendlyName><UDN>{UUID}2</UDN>
<serviceList><service>
<serviceType>{WANIP}</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<SCPDURL>/WANIPCn.xml</SCPDURL><controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>
</service>{firewall_service(args)}</serviceList>
</device></deviceList>
</device></deviceList>
</device>
</root>
"""


def firewall_service(args):
    if not args.pinholes:
        return ""
    return (f"<service><serviceType>{WANIP6FC}</serviceType>"
            "<serviceId>urn:upnp-org:serviceId:WANIPv6Firewall1</serviceId>"
            "<SCPDURL>/WANIP6FC.xml</SCPDURL><controlURL>/ctl/IP6FCtl</controlURL>"
            "<eventSubURL>/evt/IP6FCtl</eventSubURL></service>")


def soap_ok(action, service, values):
    body = "".join(f"<{k}>{v}</{k}>" for k, v in values.items())
    return (f'<?xml version="1.0"?>\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            f's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:{action}Response xmlns:u="{service}">{body}</u:{action}Response></s:Body></s:Envelope>')


def soap_fault(code, text):
    return ('<?xml version="1.0"?>\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><s:Fault>'
            '<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>'
            '<UPnPError xmlns="urn:schemas-upnp-org:control-1-0">'
            f'<errorCode>{code}</errorCode><errorDescription>{text}</errorDescription>'
            '</UPnPError></detail></s:Fault></s:Body></s:Envelope>')


def make_http_handler(args, mappings, pinholes):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def reply(self, status, body, ctype='text/xml; charset="utf-8"'):
            data = body.encode()
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True

        def do_GET(self):
            if self.path == "/rootDesc.xml":
                self.reply(200, device_description(args))
            else:
                self.reply(404, "not here", "text/plain")

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length).decode(errors="replace")
            soap_action = self.headers.get("SOAPAction", "").strip('"')
            service, _, action = soap_action.partition("#")
            arg = lambda name: (re.search(rf"<{name}>(.*?)</{name}>", body, re.S) or [None, ""])[1].strip()
            client = self.client_address[0]
            if service == WANIP6FC and args.pinholes:
                return self.firewall(action, service, arg, client)
            mappings.log(proto="upnp", action=action, client=client,
                         external=arg("NewExternalPort"), internal=arg("NewInternalPort"),
                         lease=arg("NewLeaseDuration"), internal_client=arg("NewInternalClient"))
            if action == "GetStatusInfo":
                return self.reply(200, soap_ok(action, service, {
                    "NewConnectionStatus": "Connected", "NewLastConnectionError": "ERROR_NONE", "NewUptime": "100"}))
            if action == "GetExternalIPAddress":
                return self.reply(200, soap_ok(action, service, {"NewExternalIPAddress": args.external_address}))
            if action == "GetCommonLinkProperties":
                return self.reply(200, soap_ok(action, service, {
                    "NewWANAccessType": "Ethernet", "NewLayer1UpstreamMaxBitRate": "1000000",
                    "NewLayer1DownstreamMaxBitRate": "1000000", "NewPhysicalLinkStatus": "Up"}))
            if action == "GetGenericPortMappingEntry":
                return self.reply(500, soap_fault(713, "SpecifiedArrayIndexInvalid"))
            if action not in ("AddPortMapping", "DeletePortMapping", "GetSpecificPortMappingEntry"):
                return self.reply(500, soap_fault(401, "Invalid Action"))
            if arg("NewProtocol").upper() != "TCP" or not arg("NewExternalPort").isdigit():
                return self.reply(500, soap_fault(402, "Invalid Args"))
            port = int(arg("NewExternalPort"))
            if action == "GetSpecificPortMappingEntry":
                m = mappings.get(port)
                if not m:
                    return self.reply(500, soap_fault(714, "NoSuchEntryInArray"))
                return self.reply(200, soap_ok(action, service, {
                    "NewInternalPort": m[1], "NewInternalClient": m[0], "NewEnabled": "1",
                    "NewPortMappingDescription": m[3], "NewLeaseDuration": m[4]}))
            if action == "DeletePortMapping":
                if not mappings.delete(port):
                    return self.reply(500, soap_fault(714, "NoSuchEntryInArray"))
                return self.reply(200, soap_ok(action, service, {}))
            # AddPortMapping
            inclient, inport = arg("NewInternalClient"), arg("NewInternalPort")
            lease = int(arg("NewLeaseDuration") or "0")
            if inclient != client or not inport.isdigit():
                return self.reply(500, soap_fault(606, "Action not authorized"))
            if args.permanent_only and lease != 0:
                return self.reply(500, soap_fault(725, "OnlyPermanentLeasesSupported"))
            m = mappings.get(port)
            if m and (m[0], m[1]) != (inclient, int(inport)):
                return self.reply(500, soap_fault(718, "ConflictInMappingEntry"))
            mappings.add(port, inclient, int(inport), lease, arg("NewPortMappingDescription"))
            return self.reply(200, soap_ok(action, service, {}))

        def firewall(self, action, service, arg, client):
            """The IPv6 firewall's actions (WANIPv6FirewallControl:1)."""
            mappings.log(proto="upnp6", action=action, client=client, remote_host=arg("RemoteHost"),
                         remote_port=arg("RemotePort"), internal_client=arg("InternalClient"),
                         internal_port=arg("InternalPort"), protocol=arg("Protocol"),
                         lease=arg("LeaseTime") or arg("NewLeaseTime"), id=arg("UniqueID"))
            if action == "GetFirewallStatus":
                return self.reply(200, soap_ok(action, service, {
                    "FirewallEnabled": "1", "InboundPinholeAllowed": "1"}))
            if action == "AddPinhole":
                address, port, lease = arg("InternalClient"), arg("InternalPort"), arg("LeaseTime")
                try:
                    socket.inet_pton(socket.AF_INET6, address)
                except OSError:
                    return self.reply(500, soap_fault(402, "Invalid Args"))
                if arg("Protocol") != "6":
                    return self.reply(500, soap_fault(705, "ProtocolNotSupported"))
                if not port.isdigit() or not 0 < int(port) < 65536 or not lease.isdigit() or \
                        not 0 < int(lease) <= 86400:
                    return self.reply(500, soap_fault(402, "Invalid Args"))
                uid = pinholes.add(address, int(port), int(lease))
                return self.reply(200, soap_ok(action, service, {"UniqueID": uid}))
            if action == "CheckPinholeWorking":
                uid = arg("UniqueID")
                if not uid.isdigit() or pinholes.get(int(uid)) is None:
                    return self.reply(500, soap_fault(704, "NoSuchEntry"))
                return self.reply(200, soap_ok(action, service, {"IsWorking": "1"}))
            if action in ("UpdatePinhole", "DeletePinhole"):
                uid = arg("UniqueID")
                lease = arg("NewLeaseTime")
                if not uid.isdigit():
                    return self.reply(500, soap_fault(402, "Invalid Args"))
                if action == "UpdatePinhole":
                    if not lease.isdigit() or not 0 < int(lease) <= 86400:
                        return self.reply(500, soap_fault(402, "Invalid Args"))
                    done = pinholes.update(int(uid), int(lease))
                else:
                    done = pinholes.delete(int(uid))
                if not done:
                    return self.reply(500, soap_fault(704, "NoSuchEntry"))
                return self.reply(200, soap_ok(action, service, {}))
            return self.reply(500, soap_fault(401, "Invalid Action"))

    return Handler


def ssdp_socket(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", 1900))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(SSDP_GROUP) + socket.inet_aton(args.lan_address))
    return s


def serve_ssdp(s, args, mappings):
    known = (IGD, WANIP, "upnp:rootdevice", "ssdp:all", "urn:schemas-upnp-org:device:WANDevice:1",
             "urn:schemas-upnp-org:device:WANConnectionDevice:1")
    while True:
        data, peer = s.recvfrom(4096)
        text = data.decode(errors="replace")
        if not text.startswith("M-SEARCH"):
            continue
        st = (re.search(r"(?im)^ST:\s*(.+?)\s*$", text) or [None, ""])[1]
        if st not in known:
            continue
        mappings.log(proto="ssdp", action="M-SEARCH", client=peer[0], st=st)
        answer = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
                  f"ST: {st}\r\nUSN: {UUID}::{st}\r\nEXT:\r\nSERVER: Linux UPnP/1.1 ScriptedRouter/1.0\r\n"
                  f"LOCATION: http://{args.lan_address}:{args.http_port}/rootDesc.xml\r\n\r\n")
        s.sendto(answer.encode(), peer)


def serve_natpmp(s, args, mappings):
    started = time.monotonic()
    while True:
        data, peer = s.recvfrom(64)
        epoch = int(time.monotonic() - started)
        if len(data) < 2 or data[0] != 0:
            s.sendto(struct.pack("!BBHI", 0, 128 + (data[1] if len(data) > 1 else 0), 1, epoch), peer)
            continue
        op = data[1]
        if op == 0 and len(data) == 2:
            mappings.log(proto="natpmp", action="PublicAddress", client=peer[0])
            s.sendto(struct.pack("!BBHI4s", 0, 128, 0, epoch, socket.inet_aton(args.external_address)), peer)
        elif op in (1, 2) and len(data) == 12:
            _, _, _, inport, wanted, lifetime = struct.unpack("!BBHHHI", data)
            mappings.log(proto="natpmp", action="Map", client=peer[0], internal=inport, external=wanted,
                         lease=lifetime)
            if op == 1:  # UDP: not offered
                s.sendto(struct.pack("!BBHIHHI", 0, 129, 5, epoch, inport, 0, 0), peer)
                continue
            if lifetime == 0:
                for port, m in list(mappings.table.items()):
                    if (m[0], m[1]) == (peer[0], inport):
                        mappings.delete(port)
                s.sendto(struct.pack("!BBHIHHI", 0, 130, 0, epoch, inport, 0, 0), peer)
                continue
            port = mappings.free_port_from(wanted or inport, peer[0], inport)
            mappings.add(port, peer[0], inport, lifetime)
            s.sendto(struct.pack("!BBHIHHI", 0, 130, 0, epoch, inport, port, lifetime), peer)
        else:
            s.sendto(struct.pack("!BBHI", 0, 128 + op, 5, epoch), peer)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--lan-address", required=True)
    p.add_argument("--external-address", required=True)
    p.add_argument("--http-port", type=int, default=5000)
    p.add_argument("--upnp", action="store_true")
    p.add_argument("--natpmp", action="store_true")
    p.add_argument("--pinholes", action="store_true", help="offer the IPv6 firewall's pinholes (IGD:2)")
    p.add_argument("--permanent-only", action="store_true", help="refuse leases (error 725)")
    p.add_argument("--taken", action="append", default=[], help="PORT=CLIENT:PORT held by another machine")
    p.add_argument("--log", required=True)
    p.add_argument("--ready", required=True, help="file written once every service listens")
    args = p.parse_args()
    mappings = Mappings(args)
    pinholes = Pinholes(mappings) if args.pinholes else None
    for t in args.taken:
        port, target = t.split("=")
        client, inport = target.split(":")
        mappings.add(int(port), client, int(inport), 0, "another machine")
    if args.upnp:
        server = ThreadingHTTPServer((args.lan_address, args.http_port), make_http_handler(args, mappings, pinholes))
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        threading.Thread(target=serve_ssdp, args=(ssdp_socket(args), args, mappings), daemon=True).start()
    if args.natpmp:
        pmp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        pmp.bind((args.lan_address, 5351))
        threading.Thread(target=serve_natpmp, args=(pmp, args, mappings), daemon=True).start()
    with open(args.ready, "w") as f:
        f.write("ready\n")
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
