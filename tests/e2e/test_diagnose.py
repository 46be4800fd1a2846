"""-diagnose against fake gateways: every device the search heard, the one commands use,
double NAT from the external address, one forwarding (in the table or not, whose, a
listener on this host or none, UDP), and a LAN where nothing answers. Whole transcripts
(the milliseconds a reply took written as N), the JSON document against the schema, the
time bound, and that nothing but searches, descriptions and read actions reached a router."""

import json
import os
import re
import unittest

import jsonschema

from harness import BANNER, CLOSING, RULE, FakeGateway, Namespace, mapping, run

with open(os.path.join(os.path.dirname(__file__), "schema.json")) as f:
    SCHEMA = json.load(f)

READS = {"GetExternalIPAddress", "GetSpecificPortMappingEntry"}
TITLE = RULE + "| --------------------  UPnP Router - Diagnosis  -------------------- |\n" + RULE
FINDINGS = (RULE + "| --------------------  Findings And Next Steps  -------------------- |\n"
            + RULE)
# The router commands use: behind the provider's NAT. Its table: this host's TCP 2222 to
# the fake gateway's own HTTP port (a listener), TCP 2223 to a port nobody listens on,
# UDP 27015 to this host, and TCP 8080 of another host.
MAIN = {"http_port": 5000, "external_ip": "100.64.0.7", "identity": {"friendlyName": "Main"},
        "entries": [mapping("ssh", "TCP", "127.0.0.1", 5000, 2222),
                    mapping("none", "TCP", "127.0.0.1", 5009, 2223),
                    mapping("game", "UDP", "127.0.0.1", 27015, 27015),
                    mapping("web", "TCP", "192.168.1.20", 80, 8080, 0)]}
# An old router beside it, answering later, with a WAN PPP connection and a public address,
# and a name too long for one row.
OLD_NAME = ["Old router in the hall cupboard, the one the", "provider sent years ago"]
OLD = {"address": "127.0.0.2", "http_port": 5000, "reply_delay": 0.3,
       "service": "WANPPPConnection:1", "identity": {"friendlyName": " ".join(OLD_NAME)}}


def row(text):
    return "| %-66s |\n" % text


def device(address, name, service, external, marks):
    """A device's rows; `name` is the rows of its name, the further ones under the first."""
    return (row("Device:        UPnP at " + address) + row("Name:          " + name[0]) +
            "".join(row("               " + more) for more in name[1:]) +
            row("Services:      " + service) + row("Kind:          IGD v1, IPv6 firewall: No") +
            row("External IP:   " + external) + row("Answered in:   N ms") +
            row("Marks:         " + marks) + RULE)


def finding(*lines):
    return "".join(row(line) for line in lines) + RULE


DEVICES = (device("127.0.0.1", ["Main"], "WANIPConnection:1", "100.64.0.7", "used by commands") +
           device("127.0.0.2", OLD_NAME, "WANPPPConnection:1", "203.0.113.9", "-"))
USED = finding("Commands use the router at 127.0.0.1.", "-> Nothing to change.")
DOUBLE_NAT = finding(
    "Double NAT: router 127.0.0.1 (external 100.64.0.7): its external",
    "address is shared (RFC 6598): the provider's carrier-grade NAT",
    "stands in front of it.",
    "-> Forward the port on the outer router too, or ask your provider",
    "   for a public address.")

# (name, arguments, the findings after the two common ones)
CASES = [
    ("the report alone", [], ""),
    ("a forwarding to a listener of this host", ["TCP", "2222"],
     finding("TCP 2222 goes to 127.0.0.1:5000 (this host), enabled, permanent.",
             "-> Nothing to change in the table.") +
     finding("A service listens on TCP port 5000 of this host.",
             "-> Nothing to change here; test from outside the LAN.")),
    ("a forwarding to a port nobody listens on", ["tcp", "2223"],
     finding("TCP 2223 goes to 127.0.0.1:5009 (this host), enabled, permanent.",
             "-> Nothing to change in the table.") +
     finding("Nothing listens on TCP port 5009 of this host.",
             "-> Start the service, or forward to the port it listens on.")),
    ("a UDP forwarding", ["UDP", "27015"],
     finding("UDP 27015 goes to 127.0.0.1:27015 (this host), enabled, permanent.",
             "-> Nothing to change in the table.") +
     finding("Whether anything listens on UDP port 27015 cannot be told from",
             "here.",
             "-> Check that the service runs; a datagram from outside proves the",
             "   path.")),
    ("another host's disabled forwarding", ["TCP", "8080"],
     finding("TCP 8080 goes to 192.168.1.20:80 (another host), disabled,", "permanent.",
             "-> Enable it on the router, or remove it and add it again.")),
    ("a forwarding not in the table", ["TCP", "2224"],
     finding("TCP 2224 is not in the table of the router at 127.0.0.1.",
             "-> Add it: portwrangler -add TCP IPORT 2224.")),
]


def shown(out):
    return re.sub(r"\| Answered in:   \d+ ms +\|\n", row("Answered in:   N ms"), out)


class Diagnose(unittest.TestCase):
    maxDiff = None

    def test_findings_with_two_routers(self):
        with Namespace() as ns, FakeGateway(ns, **MAIN) as main, FakeGateway(ns, **OLD) as old:
            for name, args, rest in CASES:
                with self.subTest(name):
                    result = run(["-diagnose"] + args, ns.name)
                    self.assertEqual(result.code, 0, result.err)
                    # The search listens out its window (5 s); the bound is 14 s.
                    self.assertLess(result.seconds, 14)
                    self.assertEqual(shown(result.out), BANNER + TITLE + DEVICES + FINDINGS +
                                     USED + DOUBLE_NAT + rest + CLOSING)
            with self.subTest("--json"):
                result = run(["--json", "-diagnose", "TCP", "2223"], ns.name)
                self.assertEqual(result.code, 0, result.err)
                document = json.loads(result.out)
                jsonschema.validate(document, SCHEMA)
                self.assertEqual([(g["address"], g["chosen"], g["external_address"],
                                   g["services"]) for g in document["gateways"]],
                                 [("127.0.0.1", True, "100.64.0.7", ["WANIPConnection:1"]),
                                  ("127.0.0.2", False, "203.0.113.9", ["WANPPPConnection:1"])])
                self.assertTrue(document["double_nat"]["detected"])
                self.assertEqual(document["forwarding"]["listening"], False)
                self.assertEqual(document["forwarding"]["entry"]["internal_port"], 5009)
                self.assertEqual(len(document["advice"]), 4)
            # It reads alone: no router got anything but searches, descriptions and reads.
            for gateway in (main, old):
                self.assertLessEqual(set(gateway.actions()), READS)
            self.assertIn("GetSpecificPortMappingEntry", main.actions())
            self.assertNotIn("GetSpecificPortMappingEntry", old.actions())

    def test_nothing_answers(self):
        with Namespace() as ns:
            result = run(["-diagnose", "TCP", "2222"], ns.name)
        self.assertEqual(result.code, 0, result.err)
        self.assertGreater(result.seconds, 4.5)
        self.assertLess(result.seconds, 14)
        self.assertEqual(result.out, BANNER + TITLE + FINDINGS + finding(
            "No UPnP router answered the search.",
            "-> Turn UPnP IGD on in the router's settings, or name its",
            "   description with --url.") + finding(
            "Whether TCP 2222 is forwarded cannot be told: no router's table",
            "could be read.", "-> Make a router answer first (see above).") + CLOSING)


if __name__ == "__main__":
    unittest.main()
