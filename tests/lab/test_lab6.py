"""IPv6 pinholes against the real daemon (lab.sh up6): a TCP connect from the WAN host to
the client's global address gets through while a pinhole for it exists, and only then.
upnpc makes and removes the pinholes; what the daemon answers is checked byte for byte
where tests/lab/recorded-pinholes.md records it."""

import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

import jsonschema

from pinholes import (CLIENT6, DEVICE6, GATEWAY, LAB, Lab6, pinhole_arguments, unique_id)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import (BANNER, CLOSING, NO_FIREWALL, NO_SUCH_PINHOLE,  # noqa: E402
                     PINHOLE_NOT_AUTHORIZED, PROGRAM, UNKNOWN, firewall_status, pinhole_box,
                     pinhole_rows)

with open(os.path.join(os.path.dirname(__file__), "..", "e2e", "schema.json")) as f:
    SCHEMA = json.load(f)

PORT = 5000        # the client's listener
CLIENT = "192.168.77.2"  # the client's IPv4 address on the same link
DROPPED_WAIT = 1.0  # seconds a probe waits for an answer the firewall drops


class PinholeLab(unittest.TestCase):
    """One lab for the class: each case leaves the daemon without pinholes."""

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab6("pw6%d" % os.getpid())
        cls.lab.up()

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def tearDown(self):
        self.assertEqual(self.lab.pinholes(), [])

    def test_upnpc_discovers_the_firewall_over_ipv6(self):
        out = self.lab.upnpc("-S", discover=True)
        self.assertIn(" desc: %s\n" % self.lab.location(), out)
        self.assertIn("Local LAN ip address : %s\n" % CLIENT6, out)
        self.assertIn("   Firewall Enabled: Yes\n   Inbound Pinhole Allowed: Yes\n", out)

    def test_upnpc_pinhole_lets_the_wan_in_until_deleted(self):
        lab = self.lab
        with lab.listener(PORT):
            self.assertEqual(lab.probe(PORT, DROPPED_WAIT), "dropped")
            out = lab.upnpc("-A", "", "0", CLIENT6, str(PORT), "TCP", "3600")
            added = re.search(r"AddPinhole: \(\[\]:0 -> \[%s\]:%d\) / Pinhole ID = (\d+)\n"
                              % (CLIENT6, PORT), out)
            self.assertIsNotNone(added, out)
            self.assertEqual(lab.pinholes(), [{"protocol": "TCP", "internal": CLIENT6,
                                               "port": PORT, "remote": None}])
            self.assertEqual(lab.probe(PORT), "answered")
            # Another port of the same host stays shut.
            self.assertEqual(lab.probe(PORT + 1, DROPPED_WAIT), "dropped")
            out = lab.upnpc("-D", added.group(1))
            self.assertIn("UPNP_DeletePinhole() returned : 0\n", out)
            self.assertEqual(lab.pinholes(), [])
            self.assertEqual(lab.probe(PORT, DROPPED_WAIT), "dropped")

    def test_refusals(self):
        """What the daemon answers to requests it refuses: its fault code, and no rule."""
        cases = [
            ("lease 0", pinhole_arguments(CLIENT6, PORT, lease=0), None, 402),
            ("lease past a day", pinhole_arguments(CLIENT6, PORT, lease=86401), None, 402),
            ("port below 1024", pinhole_arguments(CLIENT6, 1023), None, 606),
            ("port 0", pinhole_arguments(CLIENT6, 0), None, 706),
            ("another host", pinhole_arguments(DEVICE6, PORT), None, 606),
            ("no internal client", pinhole_arguments("", PORT), None, 708),
            ("protocol 99", pinhole_arguments(CLIENT6, PORT, protocol=99), None, 705),
            ("any protocol", pinhole_arguments(CLIENT6, PORT, protocol=65535), None, 707),
            ("over IPv4", pinhole_arguments(CLIENT6, PORT), GATEWAY, 606),
        ]
        for name, arguments, host, code in cases:
            with self.subTest(name):
                _, answer = self.lab.soap("AddPinhole", arguments, host)
                self.assertTrue(answer.startswith(b"HTTP/1.1 500 Internal Server Error\r\n"),
                                answer)
                self.assertIn(b"<errorCode>%d</errorCode>" % code, answer)
                self.assertEqual(self.lab.pinholes(), [])

    def test_actions_on_a_pinhole(self):
        """Update, check, packets and delete of one pinhole, each also refused over IPv4
        and for an ID the daemon does not hold (402, not 704, from this daemon)."""
        # A port no other case uses: the daemon's lease handling may take the rule of
        # another pinhole to the same address and port with it.
        port = PORT + 10
        _, answer = self.lab.soap("AddPinhole", pinhole_arguments(CLIENT6, port, "UDP"))
        hole = unique_id(answer)
        self.assertIsNotNone(hole, answer)
        self.assertEqual(self.lab.pinholes(), [{"protocol": "UDP", "internal": CLIENT6,
                                                "port": port, "remote": None}])
        actions = [
            ("UpdatePinhole", [("NewLeaseTime", 7200)], b"<u:UpdatePinholeResponse "),
            ("CheckPinholeWorking", [], b"<errorCode>709</errorCode>"),
            ("GetPinholePackets", [], b"<PinholePackets>0</PinholePackets>"),
            ("DeletePinhole", [], b"<u:DeletePinholeResponse "),
        ]
        for action, rest, expected in actions:
            with self.subTest(action):
                for host, held, code in ((GATEWAY, hole, 606), (None, hole + 100, 402)):
                    _, refused = self.lab.soap(action, [("UniqueID", held)] + rest, host)
                    self.assertIn(b"<errorCode>%d</errorCode>" % code, refused)
                _, answer = self.lab.soap(action, [("UniqueID", hole)] + rest)
                self.assertIn(expected, answer)

    def run_program(self, *args):
        """The program's run on the client: standard output, standard error, exit status."""
        done = subprocess.run([LAB, "client", self.lab.name, PROGRAM] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=60)
        return done.stdout, done.stderr, done.returncode

    def test_program_pinhole_lets_the_wan_in_until_removed(self):
        lab, port = self.lab, PORT + 20
        with lab.listener(port):
            self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")
            out, _, code = self.run_program("-pinhole", "-add", "tcp", str(port), "600")
            hole = re.search(r"\| Pinhole ID:\s+(\d+) ", out)
            self.assertIsNotNone(hole, out)
            hole = hole.group(1)
            self.assertEqual((out, code), (BANNER + pinhole_box(
                "Pinhole Added", False, ("Pinhole ID:", hole),
                *pinhole_rows("TCP", CLIENT6, port, 600)) + CLOSING, 1))
            self.assertEqual(lab.pinholes(), [{"protocol": "TCP", "internal": CLIENT6,
                                               "port": port, "remote": None}])
            self.assertEqual(lab.probe(port), "answered")
            out, _, _ = self.run_program("-pinhole", "-check", hole)
            self.assertEqual(out, BANNER + pinhole_box(
                "Pinhole Check", False, ("Pinhole ID:", hole), ("Working:", UNKNOWN),
                ("Packets Through:", "0")) + CLOSING)
            out, _, _ = self.run_program("-pinhole", "-remove", hole)
            self.assertEqual(out, BANNER + pinhole_box(
                "Pinhole Removed", False, ("Pinhole ID:", hole)) + CLOSING)
            self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")

    def test_program_screens_of_status_and_refusals(self):
        cases = [
            (["-pinhole", "-status"], firewall_status(True, True)),
            # The daemon opens no port below 1024: its 606 says so.
            (["-pinhole", "-add", "TCP", "1023"], PINHOLE_NOT_AUTHORIZED + pinhole_box(
                "Pinhole Not Added", True, *pinhole_rows("TCP", CLIENT6, 1023, 3600))),
            # An ID it does not hold: this daemon answers 402.
            (["-pinhole", "-remove", "4242"], NO_SUCH_PINHOLE + pinhole_box(
                "Pinhole Not Removed", True, ("Pinhole ID:", "4242"))),
            (["-pinhole", "-check", "4242"], NO_SUCH_PINHOLE),
        ]
        for args, body in cases:
            with self.subTest(" ".join(args)):
                out, err, code = self.run_program(*args)
                self.assertEqual((out, err, code), (BANNER + body + CLOSING, "", 1))

    def document(self, *args):
        """The program's document, checked against the schema, and its exit status."""
        out, _, code = self.run_program("--json", *args)
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        return document, code

    def test_program_json_and_exit_statuses(self):
        port = PORT + 30
        # Found by the search, and at the description named outright.
        for where in ([], ["--url", self.lab.location()]):
            self.assertEqual(self.document(*where, "-pinhole", "-status"),
                             ({"command": "pinhole_status", "protocol_used": "upnp", "firewall": {
                                 "enabled": True, "inbound_pinholes_allowed": True}}, 0))
        document, code = self.document("-pinhole", "-add", "UDP", str(port))
        self.assertEqual(code, 0)
        hole = document["pinhole"].pop("id")
        self.assertEqual(document, {"command": "pinhole_add", "protocol_used": "upnp", "added": True,
                                    "pinhole": {
            "protocol": "UDP", "port": port, "internal_client": CLIENT6, "lease_seconds": 3600}})
        self.assertEqual(self.lab.pinholes(), [{"protocol": "UDP", "internal": CLIENT6,
                                                "port": port, "remote": None}])
        self.assertEqual(self.document("-pinhole", "-remove", str(hole)),
                         ({"command": "pinhole_remove", "protocol_used": "upnp", "removed": True,
                           "pinhole": {"id": hole}},
                          0))
        document, code = self.document("-pinhole", "-check", str(hole))
        self.assertEqual((document["error"]["status"], document["error"]["upnp_error"], code),
                         (61, 402, 1))  # gone: this daemon's 402 for an ID it does not hold
        out, _, code = self.run_program("--exit-status", "-pinhole", "-add", "TCP", "1023")
        self.assertEqual(code, 1)  # the router refused

    def test_an_ipv4_forwarding_reached_over_ipv6_names_the_ipv4_client(self):
        # An IPv4 forwarding names this host's IPv4 address on the link toward the router,
        # however the router was reached; the control: reached over IPv4.
        over_ipv4 = "http://%s:%d/rootDesc.xml" % (GATEWAY, self.lab.port)
        for url in (self.lab.location(), over_ipv4):
            with self.subTest(url):
                document, code = self.document("--url", url, "-add", "-q", "TCP", "22", "2222")
                self.assertEqual((code, document["added"], document["entry"]["internal_client"]),
                                 (0, True, CLIENT))
                listed, _ = self.document("--url", over_ipv4, "-list")
                self.assertEqual([(e["external_port"], e["internal_client"])
                                  for e in listed["entries"]], [(2222, CLIENT)])
                document, code = self.document("--url", url, "-remove", "TCP", "2222")
                self.assertEqual((code, document["removed"]), (0, True))

    def test_program_keeps_a_pinhole_until_told_to_stop(self):
        lab, port = self.lab, PORT + 40
        # A lease of 4 s: renewed every 2 s; the run holds it past two leases.
        keeper = subprocess.Popen([LAB, "client", lab.name, PROGRAM, "--keep", "-pinhole",
                                   "-add", "TCP", str(port), "4"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            with lab.listener(port):
                deadline = time.monotonic() + 10
                while not lab.pinholes() and time.monotonic() < deadline:
                    time.sleep(0.2)
                time.sleep(9)
                self.assertEqual(lab.probe(port), "answered")
        finally:
            keeper.send_signal(signal.SIGTERM)
            _, err = keeper.communicate(timeout=20)
        self.assertEqual(keeper.returncode, 0, err)
        events = [line.split(" ")[1] for line in err.splitlines()]
        self.assertEqual(events[0], "added:")
        self.assertGreaterEqual(events.count("renewed:"), 3)
        self.assertEqual(events[-1], "removed:")
        self.assertEqual(lab.pinholes(), [])
        self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")

    def test_a_held_pinhole_follows_the_host_to_a_new_address(self):
        # A new address takes over from the old one, as temporary addresses rotate: the
        # next renewal opens the pinhole for it. The control: the old address answered.
        lab, port, new = self.lab, PORT + 41, "2001:db8:77::20"
        keeper = subprocess.Popen([LAB, "client", lab.name, PROGRAM, "--keep", "-pinhole",
                                   "-add", "TCP", str(port), "4"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lab.on, "client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev",
                        "lan0", "preferred_lft", "forever", "nodad")
        self.addCleanup(lab.on, "client", "ip", "-6", "addr", "del", new + "/64", "dev", "lan0")
        try:
            with lab.listener(port):
                self.assertTrue(self.until(lambda: lab.pinholes(), 10))
                self.assertEqual(lab.probe(port), "answered")
                lab.on("client", "ip", "-6", "addr", "add", new + "/64", "dev", "lan0", "nodad")
                lab.on("client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev", "lan0",
                       "preferred_lft", "0", "nodad")
                # Renewed every 2 s: moved at the next renewal.
                self.assertTrue(self.until(
                    lambda: new in [hole["internal"] for hole in lab.pinholes()], 10))
                self.assertEqual(lab.probe(port, address=new), "answered")
        finally:
            keeper.send_signal(signal.SIGTERM)  # the run this test started
            _, err = keeper.communicate(timeout=20)
        self.assertEqual(keeper.returncode, 0, err)
        events = [line.split(" ")[1] for line in err.splitlines()]
        self.assertEqual(events.count("moved:"), 1, err)
        self.assertIn("this host's address was %s: opened for the new one" % CLIENT6, err)
        self.assertEqual(events[-1], "removed:")
        # The old address may not delete its pinhole (606: another host's); its 4 s lease
        # ends it.
        self.assertTrue(self.until(lambda: not lab.pinholes(), 10), lab.pinholes())

    def until(self, condition, seconds):
        """Whether `condition()` holds within `seconds` (tried every 0.2 s)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.2)
        return bool(condition())


class NoFirewall(unittest.TestCase):
    def test_a_router_without_the_service_says_so(self):
        """The daemon describing itself as IGD version 1 has no IPv6 firewall control: its
        answer over IPv6 is told apart from no router at all."""
        lab = Lab6("pw6v%d" % os.getpid(), igd=1)
        lab.up()
        try:
            done = subprocess.run([LAB, "client", lab.name, PROGRAM, "-pinhole", "-status"],
                                  stdout=subprocess.PIPE, text=True, timeout=60)
        finally:
            lab.down()
        self.assertEqual(done.stdout, BANNER + NO_FIREWALL + CLOSING)


if __name__ == "__main__":
    unittest.main()
