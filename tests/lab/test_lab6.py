"""IPv6 pinholes against the real daemon (lab.sh up6): a TCP connect from the WAN host to
the client's global address gets through while a pinhole for it exists, and only then.
upnpc makes and removes the pinholes; what the daemon answers is checked byte for byte
where tests/lab/recorded-pinholes.md records it."""

import json
import os
import queue
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import jsonschema

from pinholes import (CLIENT6, DEVICE6, GATEWAY, GATEWAY6, LAB, PYTHON, Lab6,
                      pinhole_arguments, unique_id)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import (BANNER, CLOSING, NO_FIREWALL, NO_SUCH_PINHOLE,  # noqa: E402
                     PINHOLE_NOT_AUTHORIZED, PROGRAM, RULE, UNKNOWN, firewall_status,
                     pinhole_box,
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

    def test_auto_takes_the_igd_firewall_first(self):
        port = PORT + 50
        document, code = self.document("--protocol", "auto", "-pinhole", "-add", "TCP",
                                       str(port))
        hole = document["pinhole"]["id"]
        self.assertEqual((code, document["added"], document["protocol_used"], type(hole)),
                         (0, True, "upnp", int))  # the router's ID: the UPnP firewall's
        self.assertEqual(self.document("-pinhole", "-remove", str(hole))[1], 0)

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

    def test_a_held_set_tells_a_moved_pinholes_new_address(self):
        held_set_follows_a_move(self, "-pinhole -add TCP %d 4" % (PORT + 48), "2001:db8:77::23")

    def until(self, condition, seconds):
        """Whether `condition()` holds within `seconds` (tried every 0.2 s)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.2)
        return bool(condition())


def held_set_follows_a_move(test, line, new, *options):
    """A held set of the pinhole `line`, with a status file and a hook, on the client of
    `test.lab`: once this host's address moves to `new` (as temporary addresses rotate),
    both name the new address where they named the old one before (the control)."""
    lab = test.lab
    test.addCleanup(lab.on, "client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev",
                    "lan0", "preferred_lft", "forever", "nodad")
    test.addCleanup(lab.on, "client", "ip", "-6", "addr", "del", new + "/64", "dev", "lan0")
    folder = tempfile.mkdtemp(prefix="pw-moved-")
    test.addCleanup(shutil.rmtree, folder)
    paths = {name: os.path.join(folder, name) for name in ("set", "hook.py", "calls", "status")}
    with open(paths["set"], "w") as f:
        f.write(line + "\n")
    with open(paths["hook.py"], "w") as f:
        f.write("import json, os, sys\n"
                "said = [os.environ[n] for n in ('PORTWRANGLER_EVENT',\n"
                "                                'PORTWRANGLER_INTERNAL_CLIENT')]\n"
                "with open(sys.argv[1], 'a') as out:\n"
                "    out.write(json.dumps(said) + '\\n')\n")

    def told(seconds, address):
        """Whether the status file names `address` alone within `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                with open(paths["status"]) as f:
                    if [e["internal_client"] for e in json.load(f)["entries"]] == [address]:
                        return True
            except (OSError, ValueError):
                pass
            time.sleep(0.2)
        return False
    holder = subprocess.Popen([LAB, "client", lab.name, PROGRAM, "--hold", paths["set"],
                               "--status-file", paths["status"], "--on-change",
                               "%s %s %s" % (PYTHON, paths["hook.py"], paths["calls"])] +
                              list(options), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, text=True)
    test.addCleanup(holder.kill)  # the run this test started, by its pid
    try:
        test.assertTrue(told(20, CLIENT6))
        lab.on("client", "ip", "-6", "addr", "add", new + "/64", "dev", "lan0", "nodad")
        lab.on("client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev", "lan0",
               "preferred_lft", "0", "nodad")
        test.assertTrue(told(10, new))
    finally:
        holder.send_signal(signal.SIGTERM)
        _, err = holder.communicate(timeout=30)
        # The old address's pinhole may outlive the run: its lease ends it.
        end = time.monotonic() + 15
        while lab.pinholes() and time.monotonic() < end:
            time.sleep(0.2)
    test.assertEqual(holder.returncode, 0, err)
    with open(paths["calls"]) as f:
        calls = [json.loads(line) for line in f]
    test.assertEqual(calls, [["added", CLIENT6], ["changed", new], ["removed", new]], err)


def lab_run(lab, host, *command):
    """The exit status of `command` on `host`, bounded."""
    return subprocess.run([LAB, host, lab.name] + list(command), timeout=30).returncode


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


# One PCP ANNOUNCE answer (version 2, opcode 128, success) sent to ff02::1 port 5350 on
# the interface named, from the address and port given; its epoch the system's uptime, as
# the daemon's (no loss shown). The socket goes at once: bound beside the daemon's
# [::]:5351, it would take the daemon's requests.
ANNOUNCE = r"""
import socket, struct, sys
address, port, interface = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open("/proc/uptime") as f:
    epoch = int(float(f.read().split()[0]))
index = socket.if_nametoindex(interface)
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((address, port, 0, 0))
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
s.sendto(struct.pack("!BBBBII", 2, 128, 0, 0, 0, epoch) + bytes(12), ("ff02::1", 5350, 0, index))
s.close()
"""

# PCP's least lifetime in this lab: a held pinhole is renewed every 3 to 3.75 s.
MIN_LIFETIME = 6


class PcpPinholeLab(unittest.TestCase):
    """The daemon with UPnP off and PCP on: a PCP MAP for the client's IPv6 address opens
    its firewall for the port, as a UPnP pinhole does, and a packet from the WAN proves it;
    auto takes PCP where no IGD v2 firewall answers."""

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab6("pc6%d" % os.getpid(), portmap="only", min_lifetime=MIN_LIFETIME)
        cls.lab.up()
        cls.state = tempfile.mkdtemp(prefix="pw-state6-")

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()
        shutil.rmtree(cls.state, ignore_errors=True)

    def tearDown(self):
        self.assertEqual(self.lab.pinholes(), [])

    def run_program(self, *args):
        done = subprocess.run([LAB, "client", self.lab.name, "env",
                               "PORTWRANGLER_STATE_DIR=" + self.state, PROGRAM] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=60)
        return done.stdout, done.stderr, done.returncode

    def document(self, *args):
        out, _, code = self.run_program("--json", *args)
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        return document, code

    def test_pcp_pinhole_lets_the_wan_in_until_removed(self):
        lab, port = self.lab, PORT + 40
        for via in ("pcp", "auto"):
            with self.subTest(via), lab.listener(port):
                self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")
                out, err, code = self.run_program("--exit-status", "--protocol", via,
                                                  "-pinhole", "-add", "TCP", str(port), "600")
                self.assertEqual((out, err, code), (BANNER + pinhole_box(
                    "Pinhole Added", False, ("Protocol:", "TCP"), ("Internal Client:", CLIENT6),
                    ("Port:", str(port)), ("Lease:", "600 s granted of 600 s asked"),
                    device="PCP Gateway") + CLOSING, "", 0))
                self.assertEqual(lab.pinholes(), [{"protocol": "TCP", "internal": CLIENT6,
                                                   "port": port, "remote": None}])
                self.assertEqual(lab.probe(port), "answered")
                self.assertEqual(lab.probe(port + 1, DROPPED_WAIT), "dropped")  # control
                document, code = self.document("--protocol", via, "-pinhole", "-remove", "TCP",
                                               str(port))
                self.assertEqual((document, code), ({
                    "command": "pinhole_remove", "protocol_used": "pcp", "removed": True,
                    "pinhole": {"id": None, "protocol": "TCP", "port": port,
                                "internal_client": CLIENT6}}, 0))
                self.assertEqual(lab.pinholes(), [])
                self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")

    def test_pcp_pinhole_json_and_what_pcp_cannot_take(self):
        port = PORT + 41
        document, code = self.document("--protocol", "pcp", "--gateway", GATEWAY6, "-pinhole",
                                       "-add", "UDP", str(port), "3")
        # The daemon clamps the lifetime to its least (this lab's).
        self.assertEqual((document, code), ({
            "command": "pinhole_add", "protocol_used": "pcp", "added": True, "lease_asked": 3,
            "pinhole": {"id": None, "protocol": "UDP", "port": port, "internal_client": CLIENT6,
                        "lease_seconds": MIN_LIFETIME}}, 0))
        document, code = self.document("--protocol", "pcp", "-pinhole", "-remove", "UDP",
                                       str(port))
        self.assertEqual((document["removed"], code), (True, 0))
        for args in (["--protocol", "pcp", "-pinhole", "-remove", "4242"],  # an ID is UPnP's
                     ["-pinhole", "-remove", "TCP", str(port)],  # protocol and port are PCP's
                     ["--protocol", "pcp", "--gateway", "192.168.77.1", "-pinhole", "-add",
                      "TCP", str(port)],
                     ["--protocol", "pcp", "--keep", "-pinhole", "-add", "TCP", str(port), "1"]):
            with self.subTest(args):
                document, code = self.document(*args)
                self.assertEqual((document["error"]["name"], code), ("syntax_error", 2))

    def keeper(self, *args, keep=True):
        """A traced --json --keep run on the client (--hold without `keep`): its events as
        they come (a queue), its traced standard error (`errors`, a list of lines)."""
        process = subprocess.Popen([LAB, "client", self.lab.name, "env",
                                    "PORTWRANGLER_STATE_DIR=" + self.state, "PORTWRANGLER_TRACE=1",
                                    PROGRAM, "--json"] + (["--keep"] if keep else [])
                                   + list(args),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, text=True)
        self.addCleanup(process.stderr.close)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)  # the run this test started, by its pid
        events, errors = queue.Queue(), []

        def read():
            for line in process.stdout:
                events.put(json.loads(line))
            events.put(None)
        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=lambda: errors.extend(process.stderr), daemon=True).start()
        process.events, process.seen, process.errors = events, [], errors
        return process

    def next_event(self, keeper, name, timeout):
        """The next event `name` within `timeout` s (each checked against the schema), or
        None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                event = keeper.events.get(timeout=end - time.monotonic())
            except queue.Empty:
                return None
            if event is None:
                return None
            jsonschema.validate(event, SCHEMA)
            keeper.seen.append(event["event"])
            keeper.last = event
            if event["event"] == name:
                return event
        return None

    def stop(self, keeper, port, renewed):
        """SIGTERM to the held run: the pinhole deleted (exit 0). Once renewed, the daemon
        refuses the delete (as though it lost the nonce when it made the rule anew), and
        the run cuts its lifetime to the least instead (exit 1): gone within twice that."""
        keeper.send_signal(signal.SIGTERM)
        name = "not removed" if renewed else "removed"
        ended = self.next_event(keeper, name, 20)
        self.assertIsNotNone(ended, keeper.seen)
        self.assertEqual(keeper.wait(timeout=20), 1 if renewed else 0)
        if renewed:
            self.assertEqual(ended["text"], "the gateway answered NOT_AUTHORIZED (2); its "
                             "lifetime cut to %d s" % MIN_LIFETIME)
            end = time.monotonic() + 2 * MIN_LIFETIME
            while self.lab.pinholes() and time.monotonic() < end:
                time.sleep(0.2)
        self.assertEqual(self.lab.pinholes(), [])
        self.assertEqual(self.lab.probe(port, DROPPED_WAIT), "dropped")
        return ended

    def test_keep_stopped_before_a_renewal_deletes_the_pinhole(self):
        # Through auto (no IGD firewall here): the pinhole is PCP's.
        lab, port = self.lab, PORT + 44
        with lab.listener(port):
            keeper = self.keeper("--protocol", "auto", "-pinhole", "-add", "TCP", str(port),
                                 "600")
            added = self.next_event(keeper, "added", 30)
            self.assertEqual(added and added["protocol_used"], "pcp", keeper.seen)
            self.assertEqual(lab.probe(port), "answered")
            self.assertEqual(self.stop(keeper, port, renewed=False)["pinhole"], {
                "id": None, "protocol": "TCP", "port": port, "internal_client": CLIENT6,
                "lease_seconds": 600})
        self.assertEqual(keeper.seen, ["added", "removed"])

    def test_keep_events_on_standard_error(self):
        # The whole transcript: the banner and the closing lines on standard output, one
        # line per event on standard error, as a held UPnP pinhole's with PCP named.
        port = PORT + 47
        keeper = subprocess.Popen([LAB, "client", self.lab.name, "env",
                                   "PORTWRANGLER_STATE_DIR=" + self.state, PROGRAM, "--keep",
                                   "--protocol", "pcp", "-pinhole", "-add", "UDP", str(port),
                                   "600"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)
        self.addCleanup(keeper.kill)  # the run this test started, by its pid
        added = keeper.stderr.readline()  # bounded by the one-shot exchange
        keeper.send_signal(signal.SIGTERM)
        out, err = keeper.communicate(timeout=20)
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
        self.assertRegex(added + err, r"^%s added: PCP pinhole, UDP \[%s\]:%d, 600 s granted\n"
                         r"%s removed: PCP pinhole, UDP \[%s\]:%d\n$"
                         % (stamp, CLIENT6, port, stamp, CLIENT6, port))
        self.assertEqual((out, keeper.returncode), (BANNER + CLOSING, 0))

    def test_a_held_set_holds_a_pcp_pinhole_line(self):
        # The line's words are -pinhole -add's, with --protocol pcp: held as --keep holds it,
        # through the IPv6 gateway --gateway names, or the IPv6 default route's when it
        # names an IPv4 one (the IPv4 lines').
        lab, port = self.lab, PORT + 45
        with open(os.path.join(self.state, "set.conf"), "w") as f:
            f.write("--protocol pcp -pinhole -add TCP %d 600\n" % port)
        for gateway in (GATEWAY6, GATEWAY):
            with self.subTest(gateway), lab.listener(port):
                keeper = self.keeper("--gateway", gateway, "--hold",
                                     os.path.join(self.state, "set.conf"), keep=False)
                added = self.next_event(keeper, "added", 20)
                self.assertEqual(added and (added["protocol_used"], added["pinhole"]["port"]),
                                 ("pcp", port), keeper.seen)
                self.assertEqual(lab.probe(port), "answered")
                self.stop(keeper, port, renewed=False)

    def test_keep_has_the_pinhole_back_after_a_restart_and_removes_it(self):
        # The daemon sends its one ANNOUNCE to ff02::1 through the bridge's other port, from
        # that port's link-local address: the client never hears it. The renewals (every
        # 3 to 3.75 s here) bring the pinhole back: designed within 3.75 s of the restart,
        # or one PCP retransmission (3.3 s) more when a renewal fell in it.
        lab, port = self.lab, PORT + 42
        with lab.listener(port):
            self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")  # control
            keeper = self.keeper("--protocol", "pcp", "-pinhole", "-add", "TCP", str(port),
                                 str(MIN_LIFETIME))
            added = self.next_event(keeper, "added", 20)
            self.assertEqual(added and (added["protocol_used"], added["pinhole"]), (
                "pcp", {"id": None, "protocol": "TCP", "port": port, "internal_client": CLIENT6,
                        "lease_seconds": MIN_LIFETIME}), keeper.seen)
            self.assertEqual(lab.probe(port), "answered")
            back = lab.restart_until_answered(port, 2 * 7)
            self.assertIsNotNone(back, keeper.seen)
            print("back %.1f s after the restart" % back, file=sys.stderr)
            # The renewal that made it again has been told; the next one is the daemon's
            # update of it.
            while not keeper.events.empty():
                self.next_event(keeper, "", 0.1)
            self.assertIsNotNone(self.next_event(keeper, "renewed", 2 * 3.75), keeper.seen)
            self.stop(keeper, port, renewed=True)
        self.assertEqual(keeper.seen[0], "added")

    def test_a_held_pcp_pinhole_follows_the_host_to_a_new_address(self):
        # As the UPnP pinhole's case: a new address takes over, the next renewal (every 3
        # to 3.75 s here) opens the pinhole for it; the old one ends with its lifetime.
        lab, port, new = self.lab, PORT + 46, "2001:db8:77::21"
        self.addCleanup(lab.on, "client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev",
                        "lan0", "preferred_lft", "forever", "nodad")
        self.addCleanup(lab.on, "client", "ip", "-6", "addr", "del", new + "/64", "dev", "lan0")
        with lab.listener(port):
            keeper = self.keeper("--protocol", "pcp", "-pinhole", "-add", "TCP", str(port),
                                 str(MIN_LIFETIME))
            self.assertIsNotNone(self.next_event(keeper, "added", 20), keeper.seen)
            self.assertEqual(lab.probe(port, address=new), "dropped")  # control
            lab.on("client", "ip", "-6", "addr", "add", new + "/64", "dev", "lan0", "nodad")
            lab.on("client", "ip", "-6", "addr", "change", CLIENT6 + "/64", "dev", "lan0",
                   "preferred_lft", "0", "nodad")
            moved = self.next_event(keeper, "moved", 2 * 3.75)
            self.assertEqual(moved and (moved["pinhole"]["internal_client"], moved["text"]), (
                new, "this host's address was %s: opened for the new one; the old one ends "
                "with its lifetime; %d s granted" % (CLIENT6, MIN_LIFETIME)), keeper.seen)
            self.assertEqual(lab.probe(port, address=new), "answered")
            # The new address's pinhole, made and not renewed yet, is deleted; the old one
            # ends with its lifetime.
            keeper.send_signal(signal.SIGTERM)
            self.assertIsNotNone(self.next_event(keeper, "removed", 20), keeper.seen)
            self.assertEqual(keeper.wait(timeout=20), 0)
            self.assertEqual(lab.probe(port, DROPPED_WAIT, address=new), "dropped")
            end = time.monotonic() + 2 * MIN_LIFETIME
            while lab.pinholes() and time.monotonic() < end:
                time.sleep(0.2)

    def test_a_held_set_tells_a_moved_pcp_pinholes_new_address(self):
        held_set_follows_a_move(self, "--protocol pcp -pinhole -add TCP %d %d" % (
            PORT + 47, MIN_LIFETIME), "2001:db8:77::22", "--gateway", GATEWAY6)

    def via_link_local(self):
        """The client's IPv6 default route via the router's link-local address, for the
        case (its link-local address)."""
        lab, router = self.lab, self.lab.link_local("gateway", "br0")
        self.addCleanup(lab.on, "client", "ip", "-6", "route", "replace", "default", "via",
                        GATEWAY6, "dev", "lan0")
        lab.on("client", "ip", "-6", "route", "replace", "default", "via", router, "dev", "lan0")
        return router

    def test_a_link_local_gateway_maps_the_global_address(self):
        # As on a home LAN, the IPv6 default route goes via the router's link-local
        # address, from its advertisements: the system sends from the client's link-local
        # address toward it (control), which no packet from the internet reaches. The
        # pinhole is for the client's global address, and the requests are sent from it;
        # held (through auto too), it names it as well.
        lab, port = self.lab, PORT + 48
        router, own = self.via_link_local(), lab.link_local()
        self.assertIn(" src %s " % own, lab.on("client", "ip", "-6", "route", "get", router,
                                               "dev", "lan0").decode())
        with lab.listener(port):
            self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")  # control
            done = subprocess.run([LAB, "client", lab.name, "env", "PORTWRANGLER_TRACE=1",
                                   "PORTWRANGLER_STATE_DIR=" + self.state, PROGRAM,
                                   "--exit-status", "--protocol", "pcp", "-pinhole", "-add",
                                   "TCP", str(port), "600"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, timeout=60)
            self.assertEqual((done.stdout, done.returncode), (BANNER + pinhole_box(
                "Pinhole Added", False, ("Protocol:", "TCP"), ("Internal Client:", CLIENT6),
                ("Port:", str(port)), ("Lease:", "600 s granted of 600 s asked"),
                device="PCP Gateway") + CLOSING, 0), done.stderr)
            self.assertIn("route: the default gateway is %s%%" % router, done.stderr)
            self.assertIn("route: %s is link-local: the mapping names %s, sent from it"
                          % (own, CLIENT6), done.stderr)
            # The daemon's rule names the global address, and the WAN host gets through.
            self.assertEqual(lab.pinholes(), [{"protocol": "TCP", "internal": CLIENT6,
                                               "port": port, "remote": None}])
            self.assertEqual(lab.probe(port), "answered")
            document, code = self.document("--protocol", "pcp", "-pinhole", "-remove", "TCP",
                                           str(port))
            self.assertEqual((document["pinhole"]["internal_client"], document["removed"],
                              code), (CLIENT6, True, 0))
            self.assertEqual(lab.pinholes(), [])
            self.assertEqual(lab.probe(port, DROPPED_WAIT), "dropped")
            # Held, through auto (no IGD firewall here): the same address.
            keeper = self.keeper("--protocol", "auto", "-pinhole", "-add", "TCP", str(port),
                                 "600")
            added = self.next_event(keeper, "added", 20)
            self.assertEqual(added and (added["protocol_used"],
                                        added["pinhole"]["internal_client"]),
                             ("pcp", CLIENT6), keeper.seen)
            self.assertEqual(lab.probe(port), "answered")
            self.stop(keeper, port, renewed=False)

    def test_a_held_pinhole_through_a_link_local_gateway_renews_the_global_address(self):
        # Each renewal (every 3 to 3.75 s here) names this host's address anew: the global
        # one again, not the link-local source (no `moved`).
        lab, port = self.lab, PORT + 50
        self.via_link_local()
        with lab.listener(port):
            keeper = self.keeper("--protocol", "pcp", "-pinhole", "-add", "TCP", str(port),
                                 str(MIN_LIFETIME))
            self.assertIsNotNone(self.next_event(keeper, "added", 20), keeper.seen)
            renewed = self.next_event(keeper, "renewed", 2 * 3.75)
            self.assertEqual(renewed and renewed["pinhole"]["internal_client"], CLIENT6,
                             keeper.seen)
            self.assertEqual(keeper.seen, ["added", "renewed"])
            self.assertEqual(lab.pinholes(), [{"protocol": "TCP", "internal": CLIENT6,
                                               "port": port, "remote": None}])
            self.assertEqual(lab.probe(port), "answered")
            self.stop(keeper, port, renewed=True)

    def test_a_link_local_gateway_without_a_global_address_says_so(self):
        # The client's global address gone from its link: nothing a pinhole could be for.
        lab = self.lab
        self.via_link_local()
        self.addCleanup(lab.on, "client", "ip", "-6", "addr", "add", CLIENT6 + "/64", "dev",
                        "lan0", "nodad")
        lab.on("client", "ip", "-6", "addr", "del", CLIENT6 + "/64", "dev", "lan0")
        out, _, code = self.run_program("--exit-status", "--protocol", "pcp", "-pinhole",
                                        "-add", "TCP", str(PORT + 49))
        self.assertEqual((out, code), (BANNER + RULE +
                         "| Status: [071] - (UPnP Router Error)                                |\n"
                         + RULE + "| Internal IP Address Failure -> No Global IPv6 Address On "
                         "The Link. |\n" + RULE + CLOSING, 3))
        document, code = self.document("--protocol", "pcp", "-pinhole", "-add", "TCP",
                                       str(PORT + 49))
        self.assertEqual((document["error"]["name"], document["error"]["status"], code),
                         ("no_global_ipv6", 71, 3))

    def announce(self, host, address, port):
        self.assertEqual(lab_run(self.lab, host, PYTHON, "-c", ANNOUNCE, address, str(port),
                                 "br0" if host == "gateway" else "dev0"), 0)

    def test_an_announcement_on_ff02_1_is_taken_from_the_gateway_alone(self):
        # A lifetime of 600 s: no renewal of its own within the test. Announcements from
        # another address and from another port are passed over; the gateway's one has the
        # pinhole renewed within a random wait of up to 5 s.
        port = PORT + 43
        keeper = self.keeper("--protocol", "pcp", "-pinhole", "-add", "UDP", str(port), "600")
        self.assertIsNotNone(self.next_event(keeper, "added", 30), keeper.seen)
        self.announce("device", DEVICE6, 5351)
        self.announce("gateway", GATEWAY6, 5352)
        self.assertIsNone(self.next_event(keeper, "renewed", 1), keeper.seen)  # control
        self.announce("gateway", GATEWAY6, 5351)
        sent = time.monotonic()
        renewed = self.next_event(keeper, "renewed", 2 * 5)
        self.assertIsNotNone(renewed, keeper.seen)
        self.assertLess(time.monotonic() - sent, 2 * 5)
        self.assertEqual((renewed["protocol_used"], renewed["text"]),
                         ("pcp", "after the gateway's announcement; 600 s granted"))
        self.stop(keeper, port, renewed=True)
        traced = "".join(keeper.errors)
        self.assertIn("an announcement from %s port 5351 passed over: not the gateway's"
                      % DEVICE6, traced)
        self.assertIn("an announcement from %s port 5352 passed over: not the gateway's"
                      % GATEWAY6, traced)
        self.assertEqual(traced.count("%s announced itself (PCP, epoch" % GATEWAY6), 1, traced)

    def test_no_answer_ends_in_its_bound(self):
        start = time.monotonic()
        out, _, code = self.run_program("--exit-status", "--protocol", "pcp", "--gateway",
                                        DEVICE6, "-pinhole", "-add", "TCP", str(PORT))
        seconds = time.monotonic() - start
        self.assertEqual((out, code), (BANNER + RULE +
                         "| Status: [063] - (PCP Gateway Error)                                |\n"
                         + RULE + ("| PCP Failure -> No Answer From %s." % DEVICE6).ljust(69)
                         + "|\n" + RULE + pinhole_box(
                             "Pinhole Not Added", True, ("Protocol:", "TCP"),
                             ("Internal Client:", CLIENT6), ("Port:", str(PORT)),
                             ("Lease:", "3600 s asked"), device="PCP Gateway") + CLOSING, 3))
        self.assertLess(seconds, 10 * 2)  # designed under 10 s; twice that on a loaded box


if __name__ == "__main__":
    unittest.main()
