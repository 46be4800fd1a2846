"""Discovery on LANs as they are: routers that answer with their device types, a root
device or a uuid, routers that answer only a root-device search, and devices beside them
that answer every search and then hang or trickle their description. Each case is a
whole run with its time bound; the cases run side by side, each in a namespace of its own."""

import concurrent.futures
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
    ("only a device that hangs: 048 within the search's bound", None, HANGS, NO_ROUTER, 4.5, 10.5, 3),
    ("only a device that trickles: 048 within the search's bound", None, TRICKLES, NO_ROUTER,
     4.5, 10.5, 3),
]


def run_case(case):
    _, router, other, _, _, _, _ = case
    with Namespace() as ns:
        gateways = [FakeGateway(ns, **config) for config in (router, other) if config]
        try:
            result = run(["-list"], ns.name)
            reads = [len([r for r in gw.requests("http") if r["request"].startswith("GET")])
                     for gw in gateways]
        finally:
            for gw in gateways:
                gw.close()
    return result, reads


class Discovery(unittest.TestCase):
    def test_lans(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=5) as pool:
            outcomes = list(pool.map(run_case, CASES))
        for case, (result, reads) in zip(CASES, outcomes):
            name, router, other, body, low, high, other_reads = case
            with self.subTest(name):
                self.assertEqual(result.out, BANNER + body + CLOSING)
                self.assertEqual((result.code, result.err), (1, ""))
                self.assertGreaterEqual(result.seconds, low)
                self.assertLess(result.seconds, high)
                if router:
                    self.assertEqual(reads[0], 1)  # one LOCATION, read once
                if other:
                    self.assertLessEqual(reads[-1], other_reads)


if __name__ == "__main__":
    unittest.main()
