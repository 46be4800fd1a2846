"""Discovery on LANs as they are: routers that answer with their device types, a root
device or a uuid, routers that answer only a root-device search, and devices beside them
that answer every search and then hang or trickle their description. Each case is a
whole run with its time bounds: at least its wait, and where the router is found, from the
first search it heard to the first action asked of it within the bound (the program's
start-up under load left out); where none is, the whole run within it. The cases run side
by side, each in a namespace of its own."""

import concurrent.futures
import json
import subprocess
import sys
import time
import unittest

from harness import (BANNER, CLOSING, GAME, LIST_HEAD, LONG, NO_ROUTER, THREE, WEB, FakeGateway,
                     Namespace, entry_lines, run)

LISTED = LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) + entry_lines(3, LONG)
DEVICE = "urn:schemas-upnp-org:device:"
UUID = "uuid:2fac1234-31f8-11b4-a222-08002b34c003"
# A device beside the router, on an address of its own: it answers every search, each time
# with a LOCATION it never named before, and then serves its description badly.
HANGS = {"address": "127.0.0.2", "answer": ["*"], "fresh_location": True,
         "raw": {"GET": {"head": "", "body": "", "hold": 30}}}
TRICKLES = {"address": "127.0.0.2", "answer": ["*"], "fresh_location": True,
            "raw": {"GET": {"drip": 5000, "gap": 0.5, "hold": 30}}}
ROUTER = {"http_port": 5000, "entries": THREE}
SILENT_ROUTER = dict(ROUTER, answer=[])
# A device that answers every search naming a description on this host's own loopback,
# from another host of the LAN, or (the control) from loopback itself.
AIMS_AT_LOOPBACK = {"answer": ["*"], "ssdp_reply":
                    "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n"
                    "LOCATION: http://127.0.0.1:5000/rootDesc.xml\r\n\r\n"}
# A router that answers 1.5 s after a search, well within the MX of 2 s.
LATE_ROUTER = dict(ROUTER, reply_delay=1.5)
RENDERER = ("<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
            "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType><serviceList>"
            "<service><serviceType>urn:schemas-upnp-org:service:RenderingControl:1</serviceType>"
            "<controlURL>/ctl/rc</controlURL></service></serviceList></device></root>")
# Twelve media renderers that answer a root-device search within 0.6 s, each on an
# address of its own; their descriptions are read in milliseconds.
RENDERERS = {"address": "127.0.1.1", "crowd": ["127.0.1.%d" % n for n in range(2, 13)],
             "answer": ["upnp:rootdevice"], "reply_delay": 0.2, "description": RENDERER}
# Forty devices that answer every search, each time with a LOCATION never named before,
# and refuse every read of it.
HOSTILE = {"address": "127.0.2.1", "crowd": ["127.0.2.%d" % n for n in range(2, 41)],
           "answer": ["*"], "fresh_location": True, "description_status": 404}


def crowd(first, count, **config):
    """`count` devices from 127.0.`first`.1 on that answer every search at once, each time
    with a LOCATION never named before."""
    addresses = ["127.0.%d.%d" % (first, n) for n in range(1, count + 1)]
    return dict(config, address=addresses[0], crowd=addresses[1:], answer=["*"],
                fresh_location=True)


# Forty such devices, 24 of which hang or trickle every read of their descriptions: a
# place a stalled read holds goes to the next in the queue, so the router's description
# is not left behind theirs until the search's end.
STALLING = [crowd(3, 16, description_status=404), crowd(4, 12, raw=HANGS["raw"]),
            crowd(5, 12, raw=TRICKLES["raw"])]
# How much later than alone the router among them may be found.
CROWD_SLACK = 2.0
ALONE = "a router answering at 1.5 s"
AMONG_STALLING = "a router answering at 1.5 s beside 40 devices, 24 of them hanging or trickling"

# (name, the router's config or None, the other device's config or None, the transcript's
#  body, lower and upper bound in seconds, most descriptions the other device may serve)
CASES = [
    ("ST: upnp:rootdevice", dict(ROUTER, reply_st=["upnp:rootdevice"]), None, LISTED, 0, 2, 0),
    ("ST: a uuid", dict(ROUTER, reply_st=[UUID]), None, LISTED, 0, 2, 0),
    ("ST: the gateway device type", dict(ROUTER, reply_st=[DEVICE + "InternetGatewayDevice:1"]),
     None, LISTED, 0, 2, 0),
    ("ST: the WAN connection device type",
     dict(ROUTER, reply_st=[DEVICE + "WANConnectionDevice:1"]), None, LISTED, 0, 2, 0),
    ("a datagram per type, the description read once",
     dict(ROUTER, reply_st=["upnp:rootdevice", UUID, DEVICE + "InternetGatewayDevice:1",
                            DEVICE + "WANDevice:1", DEVICE + "WANConnectionDevice:1"]),
     None, LISTED, 0, 2, 0),
    ("a router that answers only a root-device search",
     dict(ROUTER, answer=["upnp:rootdevice"]), None, LISTED, 0.25, 2, 0),
    ("a router beside a device that hangs its description", ROUTER, HANGS, LISTED, 0, 2, 3),
    ("a router beside a device that trickles its description", ROUTER, TRICKLES, LISTED, 0, 2, 3),
    # A finished read makes room for the next, and a sender's first LOCATION goes first:
    # the router is found as fast as without the devices beside it.
    (ALONE, LATE_ROUTER, None, LISTED, 1.5, 3.5, 0),
    ("a router answering at 1.5 s beside 12 renderers", LATE_ROUTER, RENDERERS, LISTED, 1.5, 3.5,
     12),
    ("a router answering at 1.5 s beside 40 devices with fresh LOCATIONs", LATE_ROUTER, HOSTILE,
     LISTED, 1.5, 3.5, 120),
    (AMONG_STALLING, LATE_ROUTER, STALLING, LISTED, 1.5, 3.5 + CROWD_SLACK, 128),
    ("a LAN host naming a LOCATION on this host's loopback", SILENT_ROUTER,
     dict(AIMS_AT_LOOPBACK, address="10.58.0.5"), NO_ROUTER, 4.5, 10.5, 0),
    ("the same LOCATION from loopback itself", SILENT_ROUTER,
     dict(AIMS_AT_LOOPBACK, address="127.0.0.2"), LISTED, 0, 2, 0),
    ("only a device that hangs: 048 within the search's bound", None, HANGS, NO_ROUTER, 4.5, 10.5, 3),
    ("only a device that trickles: 048 within the search's bound", None, TRICKLES, NO_ROUTER,
     4.5, 10.5, 3),
]


def run_case(case):
    _, router, other, _, _, _, _ = case
    others = other if isinstance(other, list) else [other]
    with Namespace() as ns:
        for config in [router] + others:
            address = (config or {}).get("address", "127.0.0.1")
            if not address.startswith("127."):
                subprocess.run(["ip", "netns", "exec", ns.name, "ip", "addr", "add",
                                address + "/32", "dev", "lo"], check=True)
        gateways = [FakeGateway(ns, **config) for config in [router] + others if config]
        try:
            result = run(["-list"], ns.name)
            reads = [len([r for r in gw.requests("http") if r["request"].startswith("GET")])
                     for gw in gateways]
            taken_after = gateways[0].taken_after_search() if router else None
        finally:
            for gw in gateways:
                gw.close()
    return result, reads, taken_after


class Discovery(unittest.TestCase):
    def test_lans(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=5) as pool:
            outcomes = list(pool.map(run_case, CASES))
        taken = {case[0]: taken_after for case, (_, _, taken_after) in zip(CASES, outcomes)}
        alone, among = taken[ALONE], taken[AMONG_STALLING]
        print("\n  router found after the first search: alone %s, among the stalling crowd %s"
              % tuple("not at all" if t is None else "%.2f s" % t for t in (alone, among)),
              file=sys.stderr)
        with self.subTest("the crowd costs the router at most %.1f s" % CROWD_SLACK):
            self.assertIsNotNone(among)
            self.assertLess(among, alone + CROWD_SLACK)
        for case, (result, reads, taken_after) in zip(CASES, outcomes):
            name, router, other, body, low, high, other_reads = case
            with self.subTest(name):
                self.assertEqual(result.out, BANNER + body + CLOSING)
                self.assertEqual((result.code, result.err), (1, ""))
                # The whole run is at least the wait; where a router is found, the wait
                # ended within its bound (the fake may hear a search late under load).
                self.assertGreaterEqual(result.seconds, low)
                self.assertLess(taken_after if body == LISTED else result.seconds, high)
                if router:
                    # One LOCATION, read once; none when no usable reply named it.
                    self.assertEqual(reads[0], 1 if body == LISTED else 0)
                for count in reads[1:]:
                    self.assertLessEqual(count, other_reads)


# A LAN of two routers: this host's default gateway, and another (an old router now an
# access point) that answers every search at once; the default gateway answers 0.3 s later.
HOST, DEFAULT_GATEWAY, OTHER = "10.58.7.2", "10.58.7.1", "10.58.7.9"
OTHER_ROUTER = {"address": OTHER, "http_port": 5000, "entries": [GAME]}
BESIDE_LINE = ("portwrangler: using the router at %s; the default gateway %s gave no usable "
               "UPnP answer\n" % (OTHER, DEFAULT_GATEWAY))
# (name, the default gateway's config, the listing, standard error, chosen_because, the
#  least seconds a run takes: the search's window where the default gateway is waited for)
CHOICES = [
    ("the default gateway, though another router answered first",
     dict(ROUTER, address=DEFAULT_GATEWAY, reply_delay=0.3), LISTED, "", "default_gateway", 0.3),
    ("no UPnP at the default gateway: the other router, told on standard error",
     dict(ROUTER, address=DEFAULT_GATEWAY, answer=[]),
     LIST_HEAD + entry_lines(1, GAME), BESIDE_LINE, "default_gateway_not_upnp", 2.5),
]


class Link:
    """This host's namespace and a LAN host's, joined by a veth pair: this host has its
    default route through DEFAULT_GATEWAY; the LAN host holds that address and OTHER."""

    def __enter__(self):
        self.host, self.lan = Namespace(), Namespace()
        try:
            self.connect()
        except BaseException:
            self.__exit__()
            raise
        return self

    def connect(self):
        for ns in (self.host, self.lan):
            subprocess.run(["ip", "netns", "add", ns.name], check=True)
        subprocess.run(["ip", "-n", self.host.name, "-batch", "-"], check=True, text=True,
                       input="link set lo up\nlink add v0 type veth peer name v1 netns %s\n"
                             "addr add %s/24 dev v0\nlink set v0 up\n" % (self.lan.name, HOST))
        subprocess.run(["ip", "-n", self.lan.name, "-batch", "-"], check=True, text=True,
                       input="link set lo up\naddr add %s/24 dev v1\naddr add %s/24 dev v1\n"
                             "link set v1 up\n" % (DEFAULT_GATEWAY, OTHER))
        for _ in range(50):  # its carrier comes up a moment later (bounded: 5 s)
            state = subprocess.run(["ip", "netns", "exec", self.host.name, "cat",
                                    "/sys/class/net/v0/operstate"], stdout=subprocess.PIPE,
                                   text=True).stdout.strip()
            if state == "up":
                break
            time.sleep(0.1)
        subprocess.run(["ip", "-n", self.host.name, "route", "add", "default", "via",
                        DEFAULT_GATEWAY], check=True)

    def __exit__(self, *_):
        self.host.__exit__()
        self.lan.__exit__()


def run_choice(choice):
    """The plain listing and the JSON one, and what the other router was asked."""
    _, gateway, _, _, _, _ = choice
    with Link() as link:
        routers = [FakeGateway(link.lan, **gateway), FakeGateway(link.lan, **OTHER_ROUTER)]
        try:
            plain = run(["-list"], link.host.name)
            as_json = run(["--json", "-list"], link.host.name)
            asked = routers[1].actions()
        finally:
            for router in routers:
                router.close()
    return plain, as_json, asked


class DefaultGateway(unittest.TestCase):
    def test_the_router_that_routes_this_host(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(CHOICES)) as pool:
            outcomes = list(pool.map(run_choice, CHOICES))
        for choice, (plain, as_json, asked) in zip(CHOICES, outcomes):
            name, _, body, err, because, low = choice
            with self.subTest(name):
                print("\n  %s: %.2f s" % (name, plain.seconds), file=sys.stderr)
                self.assertEqual((plain.out, plain.err, plain.code),
                                 (BANNER + body + CLOSING, err, 1))
                self.assertGreaterEqual(plain.seconds, low)
                self.assertEqual((as_json.err, as_json.code), (err, 0))
                self.assertEqual(json.loads(as_json.out)["router"]["chosen_because"], because)
                # A listing reads: the other router is asked only when it is the one used.
                self.assertEqual(bool(asked), because != "default_gateway", asked)


if __name__ == "__main__":
    unittest.main()
