"""The IPv6 lab (lab.sh up6): miniupnpd as an IGD 2 with its IPv6 firewall, the client
holding a global address, the WAN host standing for the internet. What a pinhole test
needs: a listener on the client, a TCP probe from the WAN host to the client's global
address, the daemon's rules as the gateway holds them, upnpc pointed at the description,
and SOAP exchanges as raw bytes (for the recordings and for what upnpc cannot send)."""

import ast
import contextlib
import ipaddress
import os
import re
import subprocess
import sys
import time

from test_lab import LAB

CLIENT6 = "2001:db8:77::2"
DEVICE6 = "2001:db8:77::3"
GATEWAY6 = "2001:db8:77::1"
WAN6 = "2001:db8:82::1"
GATEWAY = "192.168.77.1"
PYTHON = "/usr/bin/python3"
SERVICE = "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1"
CONTROL = "/ctl/IP6FCtl"
PROTOCOLS = {"TCP": 6, "UDP": 17}

# Accepts connections for a bounded time and says which port it is, so that a probe tells
# this listener from anything else; "ready" once it listens.
LISTENER = r"""
import socket, sys, time
port, lifetime = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("::", port))
s.listen(8)
print("ready", flush=True)
end = time.monotonic() + lifetime
while time.monotonic() < end:
    s.settimeout(max(0.1, end - time.monotonic()))
    try:
        c, _ = s.accept()
    except socket.timeout:
        break
    c.sendall(b"pw6 %d\n" % port)
    c.close()
"""

# One connect from the WAN host: "answered" (the listener's greeting), "refused" (an RST
# came back: the client's through the gateway, or the router's own for a port it does not
# forward), or "dropped" (nothing within the timeout). The listener is on the port
# connected to unless a fourth argument names another (the internal port of an IPv4
# forwarding, reached through the router's external address).
PROBE = r"""
import socket, sys
address, port = sys.argv[1], sys.argv[2]
listener = sys.argv[4] if len(sys.argv) > 4 else port
s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
s.settimeout(float(sys.argv[3]))
try:
    s.connect((address, int(port)))
    print("answered" if s.recv(64) == b"pw6 %s\n" % listener.encode() else "other")
except ConnectionRefusedError:
    print("refused")
except OSError:
    print("dropped")
"""

# One HTTP exchange, raw: the request on stdin, the answer's bytes on stdout (the daemon
# closes the connection after each answer).
EXCHANGE = r"""
import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)
s.sendall(sys.stdin.buffer.read())
answer = b""
while len(answer) < 1 << 20:
    chunk = s.recv(65536)
    if not chunk:
        break
    answer += chunk
sys.stdout.buffer.write(answer)
"""

# One M-SEARCH to ff02::c from the client's lan0, sent from `source` (its link-local or
# global address); every reply within 3 s, as "FROM\n" + its bytes, repr'd one a line.
SEARCH = r"""
import socket, sys, time
source, target = sys.argv[1], sys.argv[2]
index = socket.if_nametoindex("lan0")
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.bind((source, 0, 0, index if source.startswith("fe80") else 0))
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
request = ("M-SEARCH * HTTP/1.1\r\nHOST: [FF02::C]:1900\r\nST: %s\r\n"
           "MAN: \"ssdp:discover\"\r\nMX: 2\r\n\r\n" % target).encode()
s.sendto(request, ("ff02::c", 1900, 0, index))
print(repr(request))
end = time.monotonic() + 3
while time.monotonic() < end:
    s.settimeout(end - time.monotonic())
    try:
        data, sender = s.recvfrom(2048)
    except socket.timeout:
        break
    print(repr((sender[0], sender[3], data)))
"""


class Lab6:
    """One IPv6 lab; `name` is short (interface names are per namespace, but the lab's
    namespaces and scratch directory carry it)."""

    def __init__(self, name, port=2869, igd=2, portmap="", min_lifetime=""):
        self.name = name
        self.port = port
        self.igd = igd
        self.portmap = portmap  # LAB_PORTMAP: "yes" with NAT-PMP/PCP, "only" without UPnP
        self.min_lifetime = min_lifetime  # PCP's least lifetime, where not its 120 s

    def up(self):
        env = dict(os.environ, LAB_PORTMAP=self.portmap, LAB_MIN_LIFETIME=str(self.min_lifetime))
        subprocess.run([LAB, "up6", self.name, str(self.port), str(self.igd)], check=True,
                       env=env)

    def down(self):
        subprocess.run([LAB, "down", self.name])

    def on(self, host, *command, stdin=None, timeout=30):
        """The output of `command` run on `host` (client, gateway, wan, device)."""
        return subprocess.run([LAB, host, self.name] + list(command), input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, check=False).stdout

    def location(self):
        return "http://[%s]:%d/rootDesc.xml" % (GATEWAY6, self.port)

    def upnpc(self, *args, discover=False):
        """upnpc's output, over IPv6; pointed at the description unless `discover` asks
        for its own search (2 s)."""
        where = ["-6"] + ([] if discover else ["-u", self.location()])
        return self.on("client", "upnpc", *where, *args).decode("latin-1")

    @contextlib.contextmanager
    def listener(self, port, lifetime=60):
        """A listener on the client's port `port` for the block (and at most `lifetime` s)."""
        process = subprocess.Popen([LAB, "client", self.name, PYTHON, "-c", LISTENER,
                                    str(port), str(lifetime)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            line = process.stdout.readline()
            if line != "ready\n":
                raise RuntimeError("the listener did not start: " + line +
                                   process.stderr.read())
            yield
        finally:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()

    def probe(self, port, timeout=1.0, address=CLIENT6, listener=None):
        """"answered", "refused" or "dropped": a TCP connect from the WAN host (to the
        client's listener on `listener`, when it is not `port`)."""
        more = [str(listener)] if listener else []
        return self.on("wan", PYTHON, "-c", PROBE, address, str(port), str(timeout), *more,
                       timeout=timeout + 10).decode().strip()

    def restart_until_answered(self, port, bound):
        """Restarts the daemon (its table empty) and probes `port` until it is answered
        again: the seconds that took, or None once `bound` seconds have passed."""
        subprocess.run([LAB, "stop", self.name], check=True)
        subprocess.run([LAB, "start", self.name], check=True)
        restarted = time.monotonic()
        while time.monotonic() - restarted < bound:
            if self.probe(port, 0.5) == "answered":
                return time.monotonic() - restarted
        return None

    def pinholes(self):
        """The daemon's pinhole rules as the gateway holds them, in chain order: dicts of
        protocol ("TCP"/"UDP"), internal (address), port, remote (address or None)."""
        chain = self.on("gateway", "nft", "list", "chain", "inet", "filter",
                        "miniupnpd").decode()
        names = {number: name for name, number in PROTOCOLS.items()}
        holes = []
        for rule in re.findall(r"^\s*(iif .*accept)$", chain, re.M):
            internal = re.search(r"@nh,192,128 0x([0-9a-f]{32})", rule)
            if not internal:
                continue  # an IPv4 forwarding's rule
            remote = re.search(r"@nh,64,128 0x([0-9a-f]{32})", rule)
            holes.append({
                "protocol": names.get(int(re.search(r"@nh,48,8 0x([0-9a-f]+)", rule).group(1),
                                          16)),
                "internal": hex_address(internal.group(1)),
                "port": int(re.search(r"th dport (\d+)", rule).group(1)),
                "remote": hex_address(remote.group(1)) if remote else None,
            })
        return holes

    def exchange(self, request, host=GATEWAY6, host_side="client"):
        """The raw answer to the raw HTTP `request`, sent from `host_side` to the daemon."""
        return self.on(host_side, PYTHON, "-c", EXCHANGE, host, str(self.port),
                       stdin=request)

    def soap(self, action, arguments=(), host=None):
        """(request, answer) of one action of the firewall service, raw bytes; the
        request is sent to `host` (the gateway's IPv4 address, or by default its IPv6)."""
        host = host or GATEWAY6
        request = soap_request(action, arguments, host, self.port)
        return request, self.exchange(request, host)

    def search(self, target, source):
        """The M-SEARCH sent from `source` on the client and the replies: (request,
        [(sender, scope, bytes)])."""
        lines = self.on("client", PYTHON, "-c", SEARCH, source, target).decode().splitlines()
        return ast.literal_eval(lines[0]), [ast.literal_eval(line) for line in lines[1:]]

    def link_local(self, host="client", device="lan0"):
        text = self.on(host, "ip", "-6", "addr", "show", "dev", device, "scope", "link").decode()
        return re.search(r"inet6 (fe80::[0-9a-f:]+)/", text).group(1)


def reachable(lab, port, timeout=1.0):
    """Whether a TCP connect from the WAN host to the client's `port` gets through the
    gateway: answered by a listener, or refused by the client itself."""
    return lab.probe(port, timeout) != "dropped"


def hex_address(digits):
    return str(ipaddress.IPv6Address(int(digits, 16)))


def soap_request(action, arguments, host, port):
    """The bytes of a SOAP request of the firewall service: arguments in the given order."""
    body = ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
            "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
            "<s:Body>\r\n<u:%s xmlns:u=\"%s\">\r\n" % (action, SERVICE) +
            "".join("<%s>%s</%s>\r\n" % (name, value, name) for name, value in arguments) +
            "</u:%s>\r\n</s:Body>\r\n</s:Envelope>\r\n" % action).encode()
    where = "[%s]" % host if ":" in host else host
    head = ("POST %s HTTP/1.1\r\nHOST: %s:%d\r\nSOAPACTION: \"%s#%s\"\r\n"
            "CONTENT-TYPE: text/xml ; charset=\"utf-8\"\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % (CONTROL, where, port, SERVICE, action, len(body)))
    return head.encode() + body


def pinhole_arguments(internal, port, protocol="TCP", lease=3600, remote="", remote_port=0):
    """AddPinhole's arguments in their order."""
    return [("RemoteHost", remote), ("RemotePort", remote_port), ("InternalClient", internal),
            ("InternalPort", port), ("Protocol", PROTOCOLS.get(protocol, protocol)),
            ("LeaseTime", lease)]


def unique_id(answer):
    """The UniqueID of an AddPinhole answer, or None."""
    found = re.search(rb"<UniqueID>(\d+)</UniqueID>", answer)
    return int(found.group(1)) if found else None


if __name__ == "__main__":
    # For ./demo.sh: `pinholes.py listen LAB PORT SECONDS` holds a listener on the client
    # (it says "ready"; IPv4 reaches it too), `pinholes.py probe LAB PORT` says what a
    # connect from the WAN host to it meets, `pinholes.py probe LAB PORT ADDRESS LISTENER`
    # the same through a forwarding: to ADDRESS:PORT, the listener on port LISTENER.
    verb, name, port = sys.argv[1], sys.argv[2], sys.argv[3]
    if verb == "listen":
        os.execv(LAB, [LAB, "client", name, PYTHON, "-c", LISTENER, port, sys.argv[4]])
    through = {"address": sys.argv[4], "listener": sys.argv[5]} if len(sys.argv) > 5 else {}
    print(Lab6(name).probe(int(port), **through))
