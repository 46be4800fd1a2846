#!/usr/bin/python3
"""Records what the lab's daemon says over IPv6 (searches, its description, every action
of its firewall service, its refusals) and writes it as markdown, for fakes built from
it. Usage: record_pinholes.py OUT.md (runs a lab of its own, about 15 s)."""

import ast
import os
import re
import subprocess
import sys

from pinholes import (CLIENT6, DEVICE6, GATEWAY, GATEWAY6, LAB, PYTHON, Lab6,
                      pinhole_arguments, soap_request, unique_id)

TARGETS = ("urn:schemas-upnp-org:service:WANIPConnection:1",
           "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1")
HOLE_PORT = 5000

# What the recordings below come to, and what was seen in the lab besides (by hand: the
# cases that stall the daemon or leave rules of garbage are not made again here).
NOTES = """## In short

- Search: the daemon answers an M-SEARCH to [ff02::c]:1900 from the address the search
  came from: its link-local address (with the LAN interface's scope) to a search from
  the client's link-local address, its global 2001:db8:77::1 to one from the client's global address.
  LOCATION is always the bracketed global address, no zone:
  `http://[2001:db8:77::1]:2869/rootDesc.xml`. It answers ST WANIPConnection:1 with ST
  WANIPConnection:1 although its description names WANIPConnection:2; USN is the
  WANConnectionDevice's UDN (...d07d) with the searched ST.
- Description: IGD 2 (InternetGatewayDevice:2 > WANDevice:2 > WANConnectionDevice:2). The
  WANConnectionDevice:2 holds two services: WANIPConnection:2 (controlURL /ctl/IPConn)
  and WANIPv6FirewallControl:1 (serviceId urn:upnp-org:serviceId:WANIPv6Firewall1,
  SCPDURL /WANIP6FC.xml, controlURL /ctl/IP6FCtl, eventSubURL /evt/IP6FCtl). No URLBase.
  The same bytes are served over IPv4 and IPv6; presentationURL stays IPv4.
- AddPinhole: RemoteHost, RemotePort, InternalClient, InternalPort, Protocol (6, 17),
  LeaseTime; answer UniqueID (1, 2, ... in order of making). Adding what an existing
  pinhole already is (same remote, internal client and port, protocol) answers that
  pinhole's UniqueID and takes the new lease. RemoteHost empty: any; RemotePort 0: any.
  The rule (inet filter, chain miniupnpd): `iif "wan0" th dport PORT @nh,192,128
  <internal> [@nh,64,128 <remote>] @nh,48,8 <protocol> accept`; no counter, no comment.
- The daemon takes the arguments in any order: upnpc sends AddPinhole's as RemoteHost,
  RemotePort, Protocol, InternalPort, InternalClient, LeaseTime (see its requests below).
  `upnpc -U` asks CheckPinholeWorking first: after 709 it sent UpdatePinhole, after 402
  (an ID the daemon does not hold) it sent nothing more.
- Leases 1..86400 s (0, 86401: 402, also on UpdatePinhole); a pinhole of lease 1 was gone
  about 1 s later. InternalPort below 1024: 606; 0: 706. InternalClient not the
  requester's own address (another host, or its own link-local address when it asks
  from its global one): 606; empty: 708. Protocol 99: 705; 65535: 707; Protocol "TCP"
  (text) was taken as TCP. An argument missing: 402.
- UpdatePinhole (UniqueID, NewLeaseTime), DeletePinhole (UniqueID): empty responses.
  CheckPinholeWorking: 709 NoPacketSent, also after a connect went through the pinhole;
  GetPinholePackets: 0 likewise (the rules count nothing).
- A UniqueID the daemon does not hold (deleted, never made, 0, text): 402 Invalid Args on
  every action; this daemon never answered 704. A pinhole of another host: 606.
- Over IPv4 (to 192.168.77.1): GetFirewallStatus answers as over IPv6; AddPinhole is
  606 (IPv6 InternalClient) or 402 (IPv4 InternalClient); Update/Delete/Check/
  GetPinholePackets are 606. Pinholes are made only over IPv6 by the host they are for.
- GetOutboundPinholeTimeout: 501 ActionFailed. An action the service lacks: 401.
- Faults: `HTTP/1.1 500 Internal Server Error`, SOAP Fault with faultcode s:Client,
  faultstring UPnPError, detail/UPnPError (xmlns urn:schemas-upnp-org:control-1-0)
  errorCode, errorDescription. A fault's body has no XML declaration and no CR LF at
  its end; a success's body starts `<?xml version="1.0"?>` CR LF and ends in CR LF.
  Every answer has Content-Length and `Connection: close`; the daemon closes after it.
- Seen by hand, not recorded below: a RemoteHost that is no IPv6 address ("nonsense") held
  the daemon more than 5 s (a name lookup in a lab with no resolver) and then stored a
  rule whose remote address is 16 bytes of ASCII text; an IPv4 RemoteHost (80.81.82.1)
  was accepted at once with such a garbage remote too. Send RemoteHost empty or IPv6.

"""

RELAY_PORT = 8000

# A relay on the client between upnpc and the daemon: the daemon sees the client's own
# address, as a pinhole needs. Each exchange's request goes to stdout, repr'd on a line.
RELAY = r"""
import re, socket, sys
listening = socket.socket(socket.AF_INET6)
listening.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listening.bind((sys.argv[1], int(sys.argv[2])))
listening.listen(5)
listening.settimeout(10)
print("ready", flush=True)
for _ in range(40):
    try:
        peer, _ = listening.accept()
    except socket.timeout:
        break
    peer.settimeout(5)
    request = b""
    while b"\r\n\r\n" not in request:
        request += peer.recv(65536)
    head, body = request.split(b"\r\n\r\n", 1)
    length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
    while length and len(body) < int(length.group(1)):
        body += peer.recv(65536)
    request = head + b"\r\n\r\n" + body
    daemon = socket.create_connection((sys.argv[3], int(sys.argv[4])), timeout=5)
    daemon.sendall(request)
    while True:
        chunk = daemon.recv(65536)
        if not chunk:
            break
        peer.sendall(chunk)
    peer.close()
    print(repr(request), flush=True)
"""


def shown(data):
    """Bytes as text, one line a line: CR and LF written out where they end a line,
    anything else outside printable ASCII as \\xNN."""
    text = "".join(chr(b) if 32 <= b < 127 else {13: "\\r", 10: "\\n\n", 9: "\\t"}.get(
        b, "\\x%02x" % b) for b in data)
    return "```\n" + text + ("" if text.endswith("\n") else "\n") + "```\n"


def fault(answer):
    found = re.search(rb"<errorCode>(\d+)</errorCode>\s*<errorDescription>(.*?)<", answer)
    return (int(found.group(1)), found.group(2).decode()) if found else None


def record(lab, out):
    w = out.append
    w("## Search over IPv6\n\nM-SEARCH from the client's lan0 to [ff02::c]:1900, sent once "
      "from its link-local address, once from its global one; every reply within 3 s, "
      "with the address it came from (scope: interface index, 0 for a global address).\n")
    for target in TARGETS:
        for source in (lab.link_local(), CLIENT6):
            request, replies = lab.search(target, source)
            w("\n### ST %s, from %s\n\nRequest:\n%s" % (target, source, shown(request)))
            for sender, scope, data in replies:
                w("\nReply from [%s] (scope %d):\n%s" % (sender, scope, data and shown(data)))
            if not replies:
                w("\nNo reply.\n")

    w("\n## The description (IGD 2)\n\nGET %s from the client:\n" % lab.location())
    request = ("GET /rootDesc.xml HTTP/1.1\r\nHOST: [%s]:%d\r\nConnection: close\r\n\r\n"
               % (GATEWAY6, lab.port)).encode()
    w(shown(request) + "\nAnswer:\n" + shown(lab.exchange(request)))

    w("\n## Actions of WANIPv6FirewallControl:1 over IPv6, from the client (%s)\n" % CLIENT6)
    request, answer = lab.soap("AddPinhole", pinhole_arguments(CLIENT6, HOLE_PORT))
    w("\n### AddPinhole\n\nRequest:\n%s\nAnswer:\n%s" % (shown(request), shown(answer)))
    hole = unique_id(answer)
    exchanges = [
        ("GetFirewallStatus", [], None),
        ("AddPinhole (a second pinhole, UDP, one remote host)",
         pinhole_arguments(CLIENT6, HOLE_PORT + 1, "UDP", 600, "2001:db8:82::1", 0), None),
        ("AddPinhole (the same as the first pinhole, another lease: the same UniqueID)",
         pinhole_arguments(CLIENT6, HOLE_PORT, lease=1800), None),
        ("UpdatePinhole", [("UniqueID", hole), ("NewLeaseTime", 7200)], None),
        ("CheckPinholeWorking", [("UniqueID", hole)], None),
        ("GetPinholePackets", [("UniqueID", hole)], None),
        ("DeletePinhole", [("UniqueID", hole)], None),
        ("DeletePinhole (the same ID again)", [("UniqueID", hole)], None),
        ("GetOutboundPinholeTimeout",
         [("RemoteHost", ""), ("RemotePort", 0), ("InternalClient", CLIENT6),
          ("InternalPort", HOLE_PORT), ("Protocol", 6)], None),
        ("GetFirewallStatus over IPv4 (to %s)" % GATEWAY, [], GATEWAY),
        ("AddPinhole over IPv4 (to %s)" % GATEWAY, pinhole_arguments(CLIENT6, HOLE_PORT + 2),
         GATEWAY),
    ]
    for title, arguments, host in exchanges:
        action = title.split()[0]
        request, answer = lab.soap(action, arguments, host)
        w("\n### %s\n\nRequest:\n%s\nAnswer:\n%s" % (title, shown(request), shown(answer)))
    w("\nThe rules the daemon holds now (`nft -a list chain inet filter miniupnpd` on the "
      "gateway):\n" + shown(lab.on("gateway", "nft", "-a", "list", "chain", "inet", "filter",
                                   "miniupnpd")))

    upnpc_requests(lab, w)

    w("\n## Refusals\n\nEvery refusal is `HTTP/1.1 500 Internal Server Error` with a body of "
      "the form shown under DeletePinhole above. Each row: the request (AddPinhole "
      "arguments, or an action on a UniqueID), the code and description.\n\n"
      "| request | errorCode | errorDescription |\n|---|---|---|\n")
    # A pinhole of the LAN's third host, made from there.
    theirs = unique_id(lab.exchange(soap_request(
        "AddPinhole", pinhole_arguments(DEVICE6, HOLE_PORT + 4), GATEWAY6, lab.port),
        GATEWAY6, "device"))
    _, answer = lab.soap("AddPinhole", pinhole_arguments(CLIENT6, HOLE_PORT + 5))
    mine = unique_id(answer)
    refusals = [
        ("AddPinhole LeaseTime 0", "AddPinhole", pinhole_arguments(CLIENT6, 6000, lease=0), None),
        ("AddPinhole LeaseTime 86401", "AddPinhole",
         pinhole_arguments(CLIENT6, 6000, lease=86401), None),
        ("AddPinhole InternalPort 1023", "AddPinhole", pinhole_arguments(CLIENT6, 1023), None),
        ("AddPinhole InternalPort 0", "AddPinhole", pinhole_arguments(CLIENT6, 0), None),
        ("AddPinhole InternalClient another host (%s)" % DEVICE6, "AddPinhole",
         pinhole_arguments(DEVICE6, 6000), None),
        ("AddPinhole InternalClient the client's link-local address", "AddPinhole",
         pinhole_arguments(lab.link_local(), 6000), None),
        ("AddPinhole InternalClient empty", "AddPinhole", pinhole_arguments("", 6000), None),
        ("AddPinhole Protocol 99", "AddPinhole", pinhole_arguments(CLIENT6, 6000, 99), None),
        ("AddPinhole Protocol 65535", "AddPinhole", pinhole_arguments(CLIENT6, 6000, 65535),
         None),
        ("AddPinhole without LeaseTime", "AddPinhole", pinhole_arguments(CLIENT6, 6000)[:5],
         None),
        ("AddPinhole over IPv4, InternalClient the client's IPv6", "AddPinhole",
         pinhole_arguments(CLIENT6, 6000), GATEWAY),
        ("AddPinhole over IPv4, InternalClient the client's IPv4", "AddPinhole",
         pinhole_arguments("192.168.77.2", 6000), GATEWAY),
        ("UpdatePinhole NewLeaseTime 0", "UpdatePinhole",
         [("UniqueID", mine), ("NewLeaseTime", 0)], None),
        ("UpdatePinhole NewLeaseTime 86401", "UpdatePinhole",
         [("UniqueID", mine), ("NewLeaseTime", 86401)], None),
        ("UpdatePinhole unknown UniqueID 999", "UpdatePinhole",
         [("UniqueID", 999), ("NewLeaseTime", 100)], None),
        ("DeletePinhole unknown UniqueID 999", "DeletePinhole", [("UniqueID", 999)], None),
        ("DeletePinhole UniqueID 0", "DeletePinhole", [("UniqueID", 0)], None),
        ("DeletePinhole UniqueID abc", "DeletePinhole", [("UniqueID", "abc")], None),
        ("CheckPinholeWorking unknown UniqueID 999", "CheckPinholeWorking",
         [("UniqueID", 999)], None),
        ("GetPinholePackets unknown UniqueID 999", "GetPinholePackets", [("UniqueID", 999)],
         None),
        ("UpdatePinhole of another host's pinhole", "UpdatePinhole",
         [("UniqueID", theirs), ("NewLeaseTime", 100)], None),
        ("DeletePinhole of another host's pinhole", "DeletePinhole", [("UniqueID", theirs)],
         None),
        ("CheckPinholeWorking of another host's pinhole", "CheckPinholeWorking",
         [("UniqueID", theirs)], None),
        ("GetPinholePackets of another host's pinhole", "GetPinholePackets",
         [("UniqueID", theirs)], None),
        ("UpdatePinhole over IPv4", "UpdatePinhole", [("UniqueID", theirs),
                                                      ("NewLeaseTime", 100)], GATEWAY),
        ("DeletePinhole over IPv4", "DeletePinhole", [("UniqueID", theirs)], GATEWAY),
        ("CheckPinholeWorking over IPv4", "CheckPinholeWorking", [("UniqueID", theirs)],
         GATEWAY),
        ("GetPinholePackets over IPv4", "GetPinholePackets", [("UniqueID", theirs)], GATEWAY),
        ("an action the service lacks (GetPinholeList)", "GetPinholeList", [], None),
    ]
    for title, action, arguments, host in refusals:
        _, answer = lab.soap(action, arguments, host)
        code = fault(answer)
        w("| %s | %s | %s |\n" % (title, *(code or ("none: " + answer.split(b"\r\n")[0]
                                                     .decode(), ""))))


def upnpc_requests(lab, w):
    """What upnpc sends for each pinhole action, through a relay on the client (one for
    each command: all it passed is printed once upnpc has ended)."""
    where = ["-6", "-u", "http://[%s]:%d/rootDesc.xml" % (CLIENT6, RELAY_PORT)]
    commands = [["-A", "", "0", CLIENT6, str(HOLE_PORT), "TCP", "3600"], ["-U", "ID", "7200"],
                ["-C", "ID"], ["-K", "ID"], ["-D", "ID"], ["-S"]]
    hole = None
    w("\n## What upnpc 2.2.4 sends\n\nEach command run on the client as `upnpc %s ...` "
      "through a relay on the client (the daemon still sees the client's address): its "
      "last line of output, then the firewall requests it sent, byte for byte. upnpc also "
      "reads the description and the WAN byte counters each time (not shown).\n"
      % " ".join(where))
    for command in commands:
        command = [hole if c == "ID" else c for c in command]
        relay = subprocess.Popen([LAB, "client", lab.name, PYTHON, "-c", RELAY, CLIENT6,
                                  str(RELAY_PORT), GATEWAY6, str(lab.port)],
                                 stdout=subprocess.PIPE, text=True)
        try:
            if relay.stdout.readline() != "ready\n":
                raise RuntimeError("the relay did not start")
            out = lab.on("client", "upnpc", *where, *command).decode("latin-1")
        finally:
            relay.terminate()
            passed, _ = relay.communicate(timeout=5)
        hole = hole or re.search(r"Pinhole ID = (\d+)", out).group(1)
        w("\n### `upnpc %s %s`\n\n```\n%s\n```\n" % (
            " ".join(where), " ".join(c or "''" for c in command),
            out.rstrip("\n").split("\n")[-1]))
        for line in passed.splitlines():
            request = ast.literal_eval(line)
            if b"WANIPv6FirewallControl" in request.split(b"\r\n\r\n")[0]:
                w("\n" + shown(request))


def main():
    lab = Lab6("pw6r%d" % os.getpid())
    lab.up()
    out = ["# What miniupnpd 2.3.1 (Debian, nftables) says over IPv6\n\n"
           "Recorded in the lab (`tests/lab/lab.sh up6`) by `tests/lab/record_pinholes.py`; "
           "messages shown byte for byte, `\\r` and `\\n` written out where they end a line. "
           "The SERVER header names the kernel of the machine that recorded them.\n\n" +
           NOTES]
    try:
        record(lab, out)
    finally:
        lab.down()
    with open(sys.argv[1], "w") as f:
        f.write("".join(out))


if __name__ == "__main__":
    main()
