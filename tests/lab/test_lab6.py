"""IPv6 pinholes against the real daemon (lab.sh up6): a TCP connect from the WAN host to
the client's global address gets through while a pinhole for it exists, and only then.
upnpc makes and removes the pinholes; what the daemon answers is checked byte for byte
where tests/lab/recorded-pinholes.md records it."""

import os
import re
import unittest

from pinholes import (CLIENT6, DEVICE6, GATEWAY, Lab6, pinhole_arguments, unique_id)

PORT = 5000        # the client's listener
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


if __name__ == "__main__":
    unittest.main()
