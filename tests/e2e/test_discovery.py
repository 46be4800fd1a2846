"""Discovery on LANs as they are: routers that answer with their device types, a root
device or a uuid, routers that answer only a root-device search, and devices beside them
that answer every search and then hang or trickle their description. Each case is a
whole run with its time bounds: at least its wait, and where the router is found, from the
first search it heard to the first action asked of it within the bound (the program's
start-up under load left out); where none is, the whole run within it. The cases run side
by side, each in a namespace of its own."""

import concurrent.futures
import subprocess
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
    ("a router answering at 1.5 s", LATE_ROUTER, None, LISTED, 1.5, 3.5, 0),
    ("a router answering at 1.5 s beside 12 renderers", LATE_ROUTER, RENDERERS, LISTED, 1.5, 3.5,
     12),
    ("a router answering at 1.5 s beside 40 devices with fresh LOCATIONs", LATE_ROUTER, HOSTILE,
     LISTED, 1.5, 3.5, 120),
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
    with Namespace() as ns:
        for config in (router, other):
            address = (config or {}).get("address", "127.0.0.1")
            if not address.startswith("127."):
                subprocess.run(["ip", "netns", "exec", ns.name, "ip", "addr", "add",
                                address + "/32", "dev", "lo"], check=True)
        gateways = [FakeGateway(ns, **config) for config in (router, other) if config]
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
                if other:
                    self.assertLessEqual(reads[-1], other_reads)


if __name__ == "__main__":
    unittest.main()
