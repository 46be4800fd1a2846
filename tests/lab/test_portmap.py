"""NAT-PMP and PCP against the real daemon (miniupnpd with enable_natpmp, lab.sh's
LAB_PORTMAP), each point proved by a packet: a TCP connect from the WAN host to the
router's WAN address and the external port reaches a listener on the client while the
mapping exists, and not after it is removed. natpmpc is the independent NAT-PMP peer; a
small fake server in the gateway's namespace sends what the daemon never would."""

import json
import re
import os
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema

from test_lab import CLIENT, EXTERNAL, LAB, PROGRAM
from harness import BANNER, BAR, CLOSING, RULE  # noqa: E402 (test_lab put e2e on the path)

GATEWAY = "192.168.77.1"
DEVICE = "192.168.77.3"
PYTHON = "/usr/bin/python3"
CHATTY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "chatty.py")
# auto's wait for a UPnP router once a NAT-PMP/PCP server answered (base/limits.h), and
# what a run that takes the server may add to it: the exchange, the program's start.
AUTO_WAIT = 2.0
AUTO_BOUND = 4.5
# What a one-shot may take with no server at the gateway, and auto on a chatty LAN.
ONE_SHOT_BOUND = 10
AUTO_CHATTY_BOUND = 15
with open(os.path.join(os.path.dirname(__file__), "..", "e2e", "schema.json")) as schema_file:
    SCHEMA = json.load(schema_file)

# Accepts connections on a port for a bounded time, greeting each with its name.
LISTENER = r"""
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", int(sys.argv[1])))
s.listen(8)
print("ready", flush=True)
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    s.settimeout(max(0.1, end - time.monotonic()))
    try:
        c, _ = s.accept()
    except socket.timeout:
        break
    c.sendall(sys.argv[3].encode() + b"\n")
    c.close()
"""

# One connect from the WAN host: the greeting, "refused", or "dropped".
PROBE = r"""
import socket, sys
s = socket.socket()
s.settimeout(3)
try:
    s.connect((sys.argv[1], int(sys.argv[2])))
    print(s.recv(64).decode().strip() or "empty")
except ConnectionRefusedError:
    print("refused")
except OSError:
    print("dropped")
"""

# A fake NAT-PMP/PCP server on the gateway's 5351: for each request it sends the
# datagrams its script names (hex, "port:" first for another source port), in order.
FAKE = r"""
import socket, sys, time
script = [line.split() for line in open(sys.argv[1]).read().splitlines() if line.strip()]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("192.168.77.1", 5351))
other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
other.bind(("192.168.77.1", 5399))
print("ready", flush=True)
end = time.monotonic() + float(sys.argv[2])
step = 0
while time.monotonic() < end:
    s.settimeout(max(0.1, end - time.monotonic()))
    try:
        request, sender = s.recvfrom(2048)
    except socket.timeout:
        break
    print("got", request.hex(), flush=True)
    if step >= len(script):
        continue
    for datagram in script[step]:
        if datagram.startswith("port:"):
            other.sendto(bytes.fromhex(datagram[5:].replace("NONCE", request[24:36].hex())), sender)
        elif datagram != "-":
            s.sendto(bytes.fromhex(datagram.replace("NONCE", request[24:36].hex())), sender)
    step += 1
"""


class PortmapLab(unittest.TestCase):
    mode = "yes"  # LAB_PORTMAP: "yes" beside UPnP, "only" without it

    def setUp(self):
        self.name = "pwp%d" % os.getpid()
        env = dict(os.environ, LAB_PORTMAP=self.mode)
        subprocess.run([LAB, "up", self.name], check=True, env=env)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])
        self.state = tempfile.mkdtemp(prefix="pw-state-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.state])

    def on(self, host, *command, timeout=30, env=None):
        return subprocess.run([LAB, host, self.name] + list(command), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, env=env)

    def pw(self, *args, host="client", state=None):
        """(exit status, output, error output, seconds) of one run on `host`."""
        start = time.monotonic()
        done = self.on(host, "env", "PORTWRANGLER_STATE_DIR=" + (state or self.state),
                       PROGRAM, *args)
        return (done.returncode, done.stdout.decode(), done.stderr.decode(),
                time.monotonic() - start)

    def listen(self, host, port, name, seconds=20):
        """A listener on `host` for `seconds`, ready when this returns."""
        listener = subprocess.Popen([LAB, host, self.name, PYTHON, "-c", LISTENER, str(port),
                                     str(seconds), name], stdout=subprocess.PIPE)
        self.addCleanup(listener.stdout.close)
        self.addCleanup(listener.wait)
        self.addCleanup(listener.kill)
        self.assertEqual(listener.stdout.readline(), b"ready\n")

    def probe(self, port):
        return self.on("wan", PYTHON, "-c", PROBE, EXTERNAL, str(port)).stdout.decode().strip()

    def document(self, *args, host="client", state=None):
        code, out, _, _ = self.pw("--json", *args, host=host, state=state)
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        return code, document

    def timed_document(self, *args):
        """(exit status, document, seconds) of one --json run on the client."""
        code, out, _, seconds = self.pw("--json", *args)
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        return code, document, seconds

    def chatty(self, mode="echo-st"):
        """The lab's chatty device (tests/lab/chatty.py) on the third host, answering every
        search at once, until the test ends."""
        log = os.path.join(self.state, "device.jsonl")
        device = subprocess.Popen([LAB, "device", self.name, PYTHON, CHATTY, mode, log],
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(device.stdout.close)
        self.addCleanup(device.wait)
        self.addCleanup(device.terminate)
        self.assertTrue(device.stdout.readline().startswith("ready"))

        def answered():
            with open(log) as f:
                return [row for row in map(json.loads, f) if row["kind"] == "ssdp"]
        return answered


class Beside(PortmapLab):
    def test_pcp_add_reaches_the_client_and_remove_ends_it(self):
        self.listen("client", 22, "client")
        code, out, err, _ = self.pw("--exit-status", "--protocol", "pcp", "-add", "TCP", "22",
                                    "2222", "ssh")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out, BANNER + RULE +
                         "| [Entry Added]   -   PCP Gateway - Port Mapping                     |\n"
                         + RULE +
                         "| Description |  N/A: PCP carries no description                     |\n"
                         + RULE +
                         "| Protocol |   Private IP     | Internal  Port |  External  Port     |\n"
                         + RULE +
                         "|   TCP         192.168.77.2           22               2222         |\n"
                         + RULE +
                         "| Lifetime    |  7200 s granted of 7200 s asked                      |\n"
                         + RULE +
                         "| Ends        |  in 7200 s unless renewed (-add again)               |\n"
                         + RULE + CLOSING)
        self.assertEqual(self.probe(2222), "client")
        with open(os.path.join(self.state, "mappings")) as table:
            self.assertEqual(table.read(), "pcp 192.168.77.1 TCP 2222 22 192.168.77.2\n")
        self.assertEqual(os.stat(os.path.join(self.state, "secret")).st_mode & 0o777, 0o600)
        # Another host cannot remove it: its nonce is not ours (the daemon refuses).
        forged = tempfile.mkdtemp(prefix="pw-forged-")
        self.addCleanup(subprocess.run, ["rm", "-rf", forged])
        with open(os.path.join(forged, "mappings"), "w") as table:
            table.write("pcp 192.168.77.1 TCP 2222 22 192.168.77.2\n")
        code, document = self.document("--protocol", "pcp", "-remove", "TCP", "2222",
                                       host="device", state=forged)
        self.assertEqual((code, document["removed"]), (1, False))
        self.assertEqual(self.probe(2222), "client")
        # A later run of this host can.
        code, document = self.document("--protocol", "pcp", "-remove", "TCP", "2222")
        self.assertEqual((code, document["removed"], document["protocol_used"]),
                         (0, True, "pcp"))
        self.assertEqual(document["entry"]["internal_port"], 22)
        self.assertNotEqual(self.probe(2222), "client")
        with open(os.path.join(self.state, "mappings")) as table:
            self.assertEqual(table.read(), "")

    def test_keep_holds_a_pcp_mapping_and_deletes_it_on_stop(self):
        self.listen("client", 22, "client", seconds=40)
        keeper = subprocess.Popen([LAB, "client", self.name, "env",
                                   "PORTWRANGLER_STATE_DIR=" + self.state, PROGRAM, "--keep",
                                   "--protocol", "pcp", "--lease", "120", "-add", "TCP", "22",
                                   "2222"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(keeper.stderr.close)
        added = keeper.stderr.readline().decode()  # bounded by the one-shot exchange
        self.assertRegex(added, r"added: PCP TCP 2222 -> 192\.168\.77\.2:22, 120 s granted\n$")
        self.assertEqual(self.probe(2222), "client")
        keeper.terminate()
        self.assertEqual(keeper.wait(timeout=30), 0)
        self.assertRegex(keeper.stderr.read().decode(),
                         r"removed: PCP TCP 2222 -> 192\.168\.77\.2:22\n$")
        self.assertNotEqual(self.probe(2222), "client")

    def test_auto_takes_upnp_where_a_router_answers(self):
        code, document = self.document("--protocol", "auto", "-add", "TCP", "22", "2226")
        self.assertEqual((code, document["protocol_used"], document["added"]), (0, "upnp", True))
        # The screens of UPnP name it in their titles already, with auto as without.
        code, out, err, _ = self.pw("--exit-status", "--protocol", "auto", "-remove", "TCP",
                                    "2226")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("| [Entry (001) Removed]   -   UPnP Router - Port Forwarding          |\n",
                      out)

    def test_natpmp_add_stats_remove_against_natpmpc(self):
        self.listen("client", 8022, "client")
        code, document = self.document("--protocol", "natpmp", "--lease", "300", "-add", "TCP",
                                       "8022", "8080")
        self.assertEqual(code, 0)
        self.assertEqual((document["entry"]["external_port"], document["entry"]["lease_seconds"],
                          document["entry"]["description"]), (8080, 300, None))
        self.assertEqual(self.probe(8080), "client")
        code, stats = self.document("--protocol", "natpmp", "-stats")
        self.assertEqual((code, stats["router"]["external_address"]), (0, EXTERNAL))
        natpmpc = self.on("client", "natpmpc", "-g", GATEWAY).stdout.decode()
        self.assertIn("Public IP address : " + EXTERNAL, natpmpc)
        code, document = self.document("--protocol", "natpmp", "-remove", "TCP", "8080")
        self.assertEqual((code, document["removed"], document["confirmed"]), (0, True, False))
        self.assertNotEqual(self.probe(8080), "client")

    def test_a_port_granted_elsewhere_is_deleted_and_reported_taken(self):
        self.listen("device", 22, "device")
        self.listen("client", 22, "client")
        held = self.on("device", "natpmpc", "-g", GATEWAY, "-a", "2222", "22", "tcp", "600")
        self.assertEqual(held.returncode, 0, held.stdout)
        for protocol in ("pcp", "natpmp"):
            code, document = self.document("--protocol", protocol, "-add", "TCP", "22", "2222")
            self.assertEqual((code, document["added"]), (4, False), protocol)
            self.assertEqual(document["error"]["name"], "duplicate_entry", protocol)
            self.assertEqual(self.probe(2222), "device")
            # What the gateway offered instead went at once.
            offered = document["entry"]["external_port"]
            self.assertNotEqual(offered, 2222)
            self.assertNotEqual(self.probe(offered), "client", protocol)
        # --any-port takes it.
        code, document = self.document("--protocol", "pcp", "--any-port", "-add", "TCP", "22",
                                       "2222")
        self.assertEqual(code, 0)
        self.assertEqual(self.probe(document["entry"]["external_port"]), "client")

    def test_another_host_through_third_party_is_refused_by_the_daemon(self):
        # miniupnpd 2.3.1 does not take THIRD_PARTY: the outcome says so.
        code, document = self.document("--protocol", "pcp", "-add", "TCP", "-ip", DEVICE, "22",
                                       "2223")
        self.assertEqual((code, document["added"]), (1, False))
        self.assertEqual(document["error"]["cause"], "UNSUPP_OPTION (5)")
        self.assertEqual(document["entry"]["internal_client"], DEVICE)

    def test_what_these_protocols_cannot_do_is_said(self):
        for args, exit_status, name in (
                (["--protocol", "pcp", "-list"], 2, "needs_upnp"),
                (["--protocol", "natpmp", "-list", "-id", "1"], 2, "needs_upnp"),
                (["--protocol", "natpmp", "-add", "TCP", "-ip", DEVICE, "22", "2222"], 2,
                 "no_third_party"),
                (["--protocol", "pcp", "--lease", "60", "-add", "TCP", "22", "2222"], 2,
                 "syntax_error"),
                (["--protocol", "pcp", "--url", "http://192.168.77.1:2869/rootDesc.xml",
                  "-stats"], 2, "syntax_error")):
            code, document = self.document(*args)
            self.assertEqual((code, document["error"]["name"]), (exit_status, name), args)


class Alone(PortmapLab):
    mode = "only"

    def test_hint_with_upnp_and_auto_takes_pcp(self):
        self.listen("client", 22, "client")
        code, out, err, _ = self.pw("--exit-status", "-add", "TCP", "22", "2222")
        self.assertEqual(code, 3)
        self.assertIn("Unable To Locate UPnP Router", out)
        self.assertEqual(err, "portwrangler: no UPnP router answered, but 192.168.77.1 answers "
                              "PCP: try --protocol auto\n")
        self.assertNotEqual(self.probe(2222), "client")
        code, document, seconds = self.timed_document("--protocol", "auto", "-add", "TCP", "22",
                                                      "2222")
        self.assertEqual((code, document["protocol_used"]), (0, "pcp"))
        self.assertEqual(self.probe(2222), "client")
        # Taken once the search's first 2 s brought no router, not at the end of its 5 s.
        print("\n  auto took PCP in %.2f s" % seconds, file=sys.stderr)
        self.assertGreater(seconds, AUTO_WAIT)
        self.assertLess(seconds, AUTO_BOUND)

    def test_the_hint_costs_no_time(self):
        # The same run with the server, and without it (the plain 048 run): the same
        # screen, the hint alone on standard error, and no more time.
        code, hinted, err, with_server = self.pw("--exit-status", "-add", "TCP", "22", "2222")
        self.assertEqual((code, err), (3, "portwrangler: no UPnP router answered, but "
                                          "192.168.77.1 answers PCP: try --protocol auto\n"))
        subprocess.run([LAB, "stop", self.name], check=True)
        code, plain, err, without = self.pw("--exit-status", "-add", "TCP", "22", "2222")
        self.assertEqual((code, err), (3, ""))  # no server, no line
        self.assertEqual(hinted, plain)
        self.assertIn("Unable To Locate UPnP Router", plain)
        print("\n  048 with the hint %.2f s, without a server %.2f s" % (with_server, without),
              file=sys.stderr)
        self.assertLess(with_server, without + max(1.0, 0.2 * without))

    def test_auto_on_a_chatty_lan_takes_pcp_in_its_time(self):
        # A device answering every search at once: its descriptions are read (the replies
        # came within the first 2 s) and passed over; then PCP.
        answered = self.chatty()
        code, document, seconds = self.timed_document("--protocol", "auto", "-add", "TCP",
                                                      "22", "2222")
        self.assertEqual((code, document["protocol_used"]), (0, "pcp"), document)
        self.assertTrue(answered(), "the device heard no search")
        print("\n  auto took PCP in %.2f s beside the chatty device" % seconds, file=sys.stderr)
        self.assertLess(seconds, AUTO_BOUND)


class Fake(PortmapLab):
    """No daemon: a fake server takes the gateway's port 5351."""
    mode = "only"

    def setUp(self):
        super().setUp()
        subprocess.run([LAB, "stop", self.name], check=True)

    def fake(self, script, seconds=15):
        path = os.path.join(self.state, "script")
        with open(path, "w") as out:
            out.write(script)
        server = subprocess.Popen([LAB, "gateway", self.name, PYTHON, "-c", FAKE, path,
                                   str(seconds)], stdout=subprocess.PIPE)
        self.addCleanup(server.stdout.close)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        self.assertEqual(server.stdout.readline(), b"ready\n")
        return server

    def test_bad_answers_are_passed_over_and_no_answer_ends_in_bound(self):
        head = "0281 0000 00001c20 00000010 000000000000000000000000".replace(" ", "")
        body = "06000000 0016 08ae 00000000000000000000ffff50515202".replace(" ", "")
        self.fake(" ".join([
            "port:" + head + "NONCE" + body,            # from another port
            head + "ff" * 12 + body,                    # another nonce
            head + "NONCE" + body.replace("0016", "0017", 1),  # another internal port
            "0201" + head[4:] + "NONCE" + body,         # a request
            head + "NONCE" + body[:-2],                 # cut
        ]) + "\n")
        code, out, err, seconds = self.pw("--exit-status", "--protocol", "pcp", "-add", "TCP",
                                          "22", "2222")
        self.assertEqual(code, 3, out)
        self.assertEqual(out, BANNER + RULE +
                         "| Status: [063] - (PCP Gateway Error)                                |\n"
                         + RULE +
                         "| PCP Failure -> No Answer From 192.168.77.1.                        |\n"
                         + RULE + BAR + RULE +
                         "| [Entry Not Added]   -   PCP Gateway - Port Mapping                 |\n"
                         + RULE +
                         "| Description |  N/A: PCP carries no description                     |\n"
                         + RULE +
                         "| Protocol |   Private IP     | Internal  Port |  External  Port     |\n"
                         + RULE +
                         "|   TCP         192.168.77.2           22               2222         |\n"
                         + RULE + CLOSING)
        self.assertLess(seconds, 10 * 2)  # designed under 10 s; twice that on a loaded box

    def test_one_shot_without_an_answer_ends_in_its_bound(self):
        # A server that hears and never answers: each protocol's schedule, counted, and
        # the run within the bound a one-shot command has.
        for via, sends in (("pcp", 2), ("natpmp", 5)):
            with self.subTest(via=via):
                server = self.fake("\n", seconds=2 * ONE_SHOT_BOUND)
                code, out, _, seconds = self.pw("--exit-status", "--protocol", via, "-add",
                                                "TCP", "22", "2222")
                server.kill()
                heard = [line for line in server.stdout.read().decode().splitlines()
                         if line.startswith("got ")]
                self.assertEqual((code, len(heard)), (3, sends), out)
                print("\n  %s gave up in %.2f s" % (via, seconds), file=sys.stderr)
                self.assertLess(seconds, ONE_SHOT_BOUND)

    def test_auto_with_a_server_gone_silent_on_a_chatty_lan_ends_in_its_bound(self):
        # The ANNOUNCE is answered, the MAP never is: auto waits out the search's first
        # 2 s, reads what the chatty device named, then PCP's whole schedule; counted.
        answered = self.chatty()
        announce = "0280" "0000" "00000000" "00000010" + "00" * 12
        server = self.fake(announce + "\n", seconds=AUTO_CHATTY_BOUND + 5)
        code, out, _, seconds = self.pw("--exit-status", "--protocol", "auto", "-add", "TCP",
                                        "22", "2222")
        server.kill()
        heard = [line.split()[1][:4] for line in server.stdout.read().decode().splitlines()
                 if line.startswith("got ")]
        self.assertEqual(code, 3, out)
        self.assertIn("PCP Failure -> No Answer From 192.168.77.1.", out)
        self.assertEqual(heard, ["0200", "0201", "0201"])  # one ANNOUNCE, two MAPs
        self.assertTrue(answered(), "the device heard no search")
        print("\n  auto gave up in %.2f s" % seconds, file=sys.stderr)
        self.assertLess(seconds, AUTO_CHATTY_BOUND)

    def test_natpmp_only_server_makes_auto_fall_back(self):
        # A PCP request gets version 0, result 1 (opcode 128); the NAT-PMP map its grant.
        # First the default run: its probe finds NAT-PMP, which the hint names.
        self.fake("0080" "0001" "00000010\n" * 2 +
                  "0082" "0000" "00000011" "0016" "08ae" "00001c20\n")
        code, out, err, _ = self.pw("--exit-status", "-add", "TCP", "22", "2222")
        self.assertEqual((code, err), (3, "portwrangler: no UPnP router answered, but "
                                          "192.168.77.1 answers NAT-PMP: try --protocol auto\n"))
        self.assertIn("Unable To Locate UPnP Router", out)
        code, document = self.document("--protocol", "auto", "-add", "TCP", "22", "2222")
        self.assertEqual((code, document["protocol_used"]), (0, "natpmp"), document)
        self.assertEqual(document["entry"]["external_port"], 2222)


if __name__ == "__main__":
    unittest.main()


class Diagnosis(PortmapLab):
    maxDiff = None
    """-diagnose on a LAN with two routers: the default gateway with UPnP off, PCP and
    NAT-PMP on, behind a second NAT (its WAN address in 100.64/10), and an old router
    beside it (the fake gateway on the device's address) that answers UPnP; the entry
    asked for is this host's, and nothing listens on its internal port."""
    mode = "only"

    def setUp(self):
        self.name = "pwd%d" % os.getpid()
        env = dict(os.environ, LAB_PORTMAP=self.mode)
        subprocess.run([LAB, "up", self.name, "2869", "1", "100.64.9.2"], check=True, env=env)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])

    def test_each_finding_once(self):
        import types
        from harness import FakeGateway
        old = FakeGateway(types.SimpleNamespace(name=self.name + "-dev"), address=DEVICE,
                          http_port=5000, external_ip=DEVICE,
                          identity={"friendlyName": "Old router"},
                          entries=[{"NewRemoteHost": "", "NewExternalPort": 2222,
                                    "NewProtocol": "TCP", "NewInternalPort": 22,
                                    "NewEnabled": 1, "NewPortMappingDescription": "ssh",
                                    "NewLeaseDuration": 0, "NewInternalClient": CLIENT}])
        self.addCleanup(old.close)
        start = time.monotonic()
        done = self.on("client", PROGRAM, "-diagnose", "TCP", "2222")
        seconds = time.monotonic() - start
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertLess(seconds, 14)
        out = re.sub(r"\| Answered in:   \d+ ms +\|\n", row("Answered in:   N ms"),
                     done.stdout.decode())
        out = re.sub(r"\| Version:       (\d), epoch \d+ s([^|]*?) *\|\n",
                     lambda m: row("Version:       %s, epoch N s%s" % m.groups()), out)
        self.assertEqual(out, BANNER + RULE +
                         "| --------------------  UPnP Router - Diagnosis  "
                         "-------------------- |\n" + RULE +
                         row("Interface:     lan0 (%s), default gateway %s" % (CLIENT, GATEWAY)) +
                         RULE +
                         row("Device:        UPnP at %s on lan0" % DEVICE) +
                         row("Name:          Old router") +
                         row("Services:      WANIPConnection:1") +
                         row("Kind:          IGD v1, IPv6 firewall: No") +
                         row("External IP:   " + DEVICE) + row("Answered in:   N ms") +
                         row("Marks:         used by commands") + RULE +
                         row("Device:        PCP at %s on lan0" % GATEWAY) +
                         row("Version:       2, epoch N s") + row("External IP:   N/A") +
                         row("Answered in:   N ms") + row("Marks:         default gateway") + RULE +
                         row("Device:        NAT-PMP at %s on lan0" % GATEWAY) +
                         row("Version:       0, epoch N s, refused with result 3") +
                         row("External IP:   N/A") + row("Answered in:   N ms") +
                         row("Marks:         default gateway") + RULE + RULE +
                         "| --------------------  Findings And Next Steps  "
                         "-------------------- |\n" + RULE +
                         row("The device at %s answered first; your default gateway is"
                             % DEVICE) + row("%s." % GATEWAY) +
                         row("-> Use --protocol pcp to reach it, or turn UPnP off on") +
                         row("   %s." % DEVICE) + RULE +
                         row("Double NAT: router %s (external %s): its" % (DEVICE, DEVICE)) +
                         row("external address is private (RFC 1918): another router stands in") +
                         row("front of it; NAT-PMP at %s: result 3, network failure" % GATEWAY) +
                         row("(no external address).") +
                         row("-> Forward the port on the outer router too, or ask your provider") +
                         row("   for a public address.") + RULE +
                         row("TCP 2222 goes to %s:22 (this host), enabled, permanent." % CLIENT) +
                         row("-> Nothing to change in the table.") + RULE +
                         row("Nothing listens on TCP port 22 of this host.") +
                         row("-> Start the service, or forward to the port it listens on.") +
                         RULE + CLOSING)
        # Reads alone: the old router got no change, the daemon's table stays empty.
        self.assertLessEqual(set(old.actions()),
                             {"GetExternalIPAddress", "GetSpecificPortMappingEntry"})


def row(text):
    return "| %-66s |\n" % text
