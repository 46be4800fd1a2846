"""The program as scripts and services use it, against the real daemon: --json for each
command checked against the schema and against the table upnpc sees, the exit status of
each class, a router behind carrier-grade NAT, and --keep with a short lease through a
daemon restarted with an empty table, a stop signal, another host taking the port, and a
lossy link."""

import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import jsonschema

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import mapping  # noqa: E402
from test_lab import CLIENT, EXTERNAL, LAB, LabClient  # noqa: E402

with open(os.path.join(os.path.dirname(__file__), "..", "e2e", "schema.json")) as f:
    SCHEMA = json.load(f)


# Answers each TCP connection or UDP datagram on a port with its name, for a bounded time.
LISTENER = r"""
import socket, sys, time
udp = sys.argv[1] == "UDP"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if udp else socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", int(sys.argv[2])))
udp or s.listen(8)
print("ready", flush=True)
end = time.monotonic() + float(sys.argv[3])
while time.monotonic() < end:
    s.settimeout(max(0.1, end - time.monotonic()))
    try:
        if udp:
            _, sender = s.recvfrom(64)
            s.sendto(b"client\n", sender)
        else:
            c, _ = s.accept()
            c.sendall(b"client\n")
            c.close()
    except socket.timeout:
        break
"""

# One try from the WAN host: the name that answered, "refused", or "dropped".
PROBE = r"""
import socket, sys
udp = sys.argv[1] == "UDP"
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if udp else socket.SOCK_STREAM)
s.settimeout(3)
try:
    s.connect((sys.argv[2], int(sys.argv[3])))
    udp and s.send(b"hello")
    print(s.recv(64).decode().strip() or "empty")
except ConnectionRefusedError:
    print("refused")
except OSError:
    print("dropped")
"""


def listed(entry):
    """An entry of a document as an entry of the fake gateway's form (upnpc_table's)."""
    return mapping(entry["description"], entry["protocol"], entry["internal_client"],
                   entry["internal_port"], entry["external_port"], 1)


class Keeper:
    """A `--keep --json` run on the lab's client: its events as they come."""

    def __init__(self, lab, args, mode=("--keep",)):
        self.process = subprocess.Popen([LAB, "client", lab.name] + lab.program +
                                        ["--json"] + list(mode) + args,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        self.events = queue.Queue()
        self.seen = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            self.events.put((time.monotonic(), line))
        self.events.put((time.monotonic(), None))

    def next(self, timeout):
        """The next event (schema-checked), or None when the run ended or `timeout` passed;
        `arrived` is when its line was read."""
        try:
            self.arrived, line = self.events.get(timeout=timeout)
        except queue.Empty:
            return None
        if line is None:
            return None
        event = json.loads(line)
        jsonschema.validate(event, SCHEMA)
        self.seen.append(event["event"])
        return event

    def wait_for(self, name, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            event = self.next(end - time.monotonic())
            if event is None:
                return None
            if event["event"] == name:
                return event
        return None

    def wait_for_all(self, name, ports, timeout):
        """The events `name` of each port of `ports`, or None when one did not come."""
        end, got = time.monotonic() + timeout, {}
        while set(got) != set(ports) and time.monotonic() < end:
            event = self.next(end - time.monotonic())
            if event is None:
                return None
            if event["event"] == name and "external_port" in event:
                got[event["external_port"]] = event
        return got if set(got) == set(ports) else None

    def end(self, timeout=15):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()  # the run this test started, by its pid
            self.process.wait()
            return "still running after %d s" % timeout

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


class Scripts(LabClient, unittest.TestCase):
    igd = 2

    def setUp(self):
        self.name = "pws%d" % os.getpid()
        subprocess.run([LAB, "up", self.name, str(self.port), str(self.igd)], check=True)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])

    def answer(self, *args, code=0):
        status, out, err, _ = self.run_program("--json", *args)
        self.assertEqual((status, err), (code, b""), args)
        self.assertEqual(out.count("\n"), 1)
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        return document

    def keeper(self, *args):
        keeper = Keeper(self, list(args))
        self.addCleanup(keeper.close)
        return keeper

    def holder(self, lines, *args):
        """A `--hold --json` run of a file holding `lines`; the file's path is its `file`."""
        folder = tempfile.mkdtemp(prefix="pwhold")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "hold.conf")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        holder = Keeper(self, list(args), mode=("--hold", path))
        self.addCleanup(holder.close)
        holder.file, holder.folder = path, folder
        return holder

    def listen(self, protocol, port, seconds=60):
        """A listener on the client for `seconds`, ready when this returns."""
        listener = subprocess.Popen([LAB, "client", self.name, sys.executable, "-c", LISTENER,
                                     protocol, str(port), str(seconds)], stdout=subprocess.PIPE)
        self.addCleanup(listener.stdout.close)
        self.addCleanup(listener.wait)
        self.addCleanup(listener.kill)  # the listener this test started, by its pid
        self.assertEqual(listener.stdout.readline(), b"ready\n")

    def probe(self, protocol, port):
        """What a packet from the WAN host to the router's WAN address and `port` meets."""
        return subprocess.run([LAB, "wan", self.name, sys.executable, "-c", PROBE, protocol,
                               EXTERNAL, str(port)], stdout=subprocess.PIPE, text=True,
                              timeout=30).stdout.strip()

    def ports(self):
        return sorted(e["NewExternalPort"] for e in self.upnpc_table())

    def recording_hook(self):
        """An --on-change command that writes each call's environment as a JSON line, and
        the paths of that record and of a status file beside it."""
        hook = os.path.join(tempfile.mkdtemp(prefix="pwhook"), "hook.py")
        self.addCleanup(shutil.rmtree, os.path.dirname(hook))
        record = hook + ".out"
        with open(hook, "w") as f:
            f.write("import json, os, sys\n"
                    "with open(sys.argv[1], 'a') as out:\n"
                    "    out.write(json.dumps({k: v for k, v in os.environ.items()\n"
                    "                          if k.startswith('PORTWRANGLER_')}) + '\\n')\n"
                    "print('seen', os.environ['PORTWRANGLER_EVENT'])\n")
        return "/usr/bin/python3 '%s' %s" % (hook, record), record, hook + ".status"

    def test_hold_a_set_with_its_hook_and_status_file(self):
        hook, record, status = self.recording_hook()
        odd = "game; $(touch x) `y` \"z\" 'w'"
        holder = self.holder(["# a game server and SSH", "",
                              "-add TCP 22 2222 ssh",
                              "-add UDP 27015 27015 '%s'" % odd.replace("'", "'\\''"),
                              "--lease 4 -add TCP 8080 8080 web  # short: it renews often"],
                             "--on-change", hook, "--status-file", status)
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015, 8080}, 15),
                             holder.seen)
        self.assertEqual(self.ports(), [2222, 8080, 27015])
        # A packet from the internet reaches the client through each.
        subprocess.run([LAB, "gateway", self.name, "sysctl", "-qw", "net.ipv4.ip_forward=1"],
                       check=True)
        self.listen("TCP", 22)
        self.listen("UDP", 27015)
        self.assertEqual((self.probe("TCP", 2222), self.probe("UDP", 27015)),
                         ("client", "client"))
        # The status file, read while the set is held.
        with open(status) as f:
            document = json.load(f)
        jsonschema.validate(document, SCHEMA)
        held = {e["external_port"]: e for e in document["entries"]}
        self.assertEqual(sorted(held), [2222, 8080, 27015])
        self.assertEqual({e["state"] for e in held.values()}, {"held"})
        # The lease the daemon tells, read back: a second may have gone.
        self.assertIn(held[2222]["lease_seconds"], (3598, 3599, 3600))
        self.assertEqual(held[8080]["lease_seconds"], 4)
        self.assertEqual((held[27015]["description"], held[27015]["via"],
                          held[27015]["external_address"]), (odd, "upnp", EXTERNAL))
        # Another host takes one port: that one alone is dropped. A renewal of 8080 that
        # comes between upnpc's removal and its add finds the port free and adds ours
        # again first (upnpc's add is then refused): the other host tries again.
        theirs = mapping("theirs", "TCP", "192.168.77.5", 8080, 8080)
        for tries in range(1, 4):
            self.upnpc("-d", "8080", "TCP")
            self.upnpc("-e", "theirs", "-a", "192.168.77.5", "8080", "8080", "TCP")
            if theirs in self.upnpc_table():
                break
        taken = holder.wait_for("taken", 10)
        self.assertEqual(taken["external_port"], 8080, holder.seen)
        with open(status) as f:
            states = {e["external_port"]: e["state"] for e in json.load(f)["entries"]}
        self.assertEqual(states, {2222: "held", 27015: "held", 8080: "taken"})
        holder.process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(holder.wait_for_all("removed", {2222, 27015}, 10), holder.seen)
        self.assertEqual(holder.end(), 0)
        self.assertEqual(self.upnpc_table(), [mapping("theirs", "TCP", "192.168.77.5", 8080, 8080)])
        # Removed: nothing passes to the client any more.
        self.assertEqual((self.probe("TCP", 2222), self.probe("UDP", 27015)),
                         ("refused", "refused"))
        with open(record) as f:
            calls = [json.loads(line) for line in f]
        # A renewal of 8080 between upnpc's removal and its add sees the port free first,
        # at most once a try, and adds it again at most as often.
        seen = [(c["PORTWRANGLER_EVENT"], int(c["PORTWRANGLER_EXTERNAL_PORT"])) for c in calls]
        lost = seen.count(("lost", 8080))
        self.assertLessEqual(lost, tries)
        self.assertLessEqual(seen.count(("added", 8080)), 1 + lost)
        self.assertEqual(sorted(set(call for call in seen if call != ("lost", 8080))),
                         [("added", 2222), ("added", 8080), ("added", 27015), ("removed", 2222),
                          ("removed", 27015), ("taken", 8080)])
        self.assertEqual(len([call for call in seen if call[1] != 8080]), 4)
        self.assertEqual(seen.count(("taken", 8080)), 1)
        game = [c for c in calls if c["PORTWRANGLER_EXTERNAL_PORT"] == "27015"][0]
        self.assertEqual(game, {"PORTWRANGLER_EVENT": "added", "PORTWRANGLER_PROTOCOL": "UDP",
                                "PORTWRANGLER_EXTERNAL_ADDRESS": EXTERNAL,
                                "PORTWRANGLER_EXTERNAL_PORT": "27015",
                                "PORTWRANGLER_INTERNAL_CLIENT": CLIENT,
                                "PORTWRANGLER_INTERNAL_PORT": "27015",
                                "PORTWRANGLER_DESCRIPTION": odd, "PORTWRANGLER_VIA": "upnp"})
        self.assertFalse(os.path.exists("x"))
        self.assertIn("hook: seen added\n", holder.process.stderr.read())

    def test_hold_tells_a_new_external_address(self):
        hook, record, status = self.recording_hook()
        holder = self.holder(["--lease 4 -add TCP 22 2222 ssh", "-add UDP 27015 27015 game"],
                             "--on-change", hook, "--status-file", status)
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015}, 15), holder.seen)
        self.assertIsNone(holder.wait_for("changed", 3))  # renewed at 2 s: the control
        # The router's WAN address changes (its ISP gave it another).
        moved = "80.81.82.7"
        for step in (["addr", "flush", "dev", "wan0"], ["addr", "add", moved + "/24", "dev", "wan0"],
                     ["route", "add", "default", "via", "80.81.82.1"]):
            subprocess.run([LAB, "gateway", self.name, "ip"] + step, check=True)
        # Seen at ssh's next renewal; the game's lease of an hour is looked at at once.
        changed = holder.wait_for_all("changed", {2222, 27015}, 10)
        self.assertIsNotNone(changed, holder.seen)
        self.assertEqual({e["external_address"] for e in changed.values()}, {moved})
        with open(status) as f:
            document = json.load(f)
        jsonschema.validate(document, SCHEMA)
        self.assertEqual({e["external_address"] for e in document["entries"]}, {moved})
        holder.process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(holder.wait_for_all("removed", {2222, 27015}, 10), holder.seen)
        self.assertEqual(holder.end(), 0)
        with open(record) as f:
            calls = [json.loads(line) for line in f]
        self.assertEqual(sorted((c["PORTWRANGLER_EVENT"], c["PORTWRANGLER_EXTERNAL_PORT"],
                                 c["PORTWRANGLER_EXTERNAL_ADDRESS"]) for c in calls),
                         [("added", "2222", EXTERNAL), ("added", "27015", EXTERNAL),
                          ("changed", "2222", moved), ("changed", "27015", moved),
                          ("removed", "2222", moved), ("removed", "27015", moved)])

    def test_hold_through_a_restart_and_reloads(self):
        holder = self.holder(["-add TCP 22 2222 ssh", "-add UDP 27015 27015 game"])
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015}, 15), holder.seen)
        # The daemon restarts with an empty table: with leases of an hour, the entries
        # are back from its announcements, not from a renewal.
        subprocess.run([LAB, "stop", self.name], check=True)
        subprocess.run([LAB, "start", self.name], check=True)
        restarted = time.monotonic()
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015}, 10), holder.seen)
        self.assertLess(time.monotonic() - restarted, 10)
        self.assertEqual(self.ports(), [2222, 27015])
        # One line gone, one new, one untouched: only the first two change.
        with open(holder.file, "w") as f:
            f.write("-add UDP 27015 27015 game\n-add TCP 8080 8080 web\n")
        holder.seen.clear()
        holder.process.send_signal(signal.SIGHUP)
        self.assertIsNotNone(holder.wait_for_all("added", {8080}, 10), holder.seen)
        self.assertEqual(self.ports(), [8080, 27015])
        # A file that no longer parses: the set stays as it is.
        with open(holder.file, "w") as f:
            f.write("-add UDP 27015 27015 game\n-add TCP 8080\n")
        holder.process.send_signal(signal.SIGHUP)
        failed = holder.wait_for("reload-failed", 10)
        self.assertTrue(failed["text"].startswith(holder.file + ":2: "), failed)
        # The restarted daemon may announce itself again meanwhile, and each announcement
        # has the untouched entry checked and renewed: renewals aside, only the two changed
        # lines moved.
        self.assertEqual([e for e in holder.seen if e != "renewed"],
                         ["reloaded", "removed", "added", "reload-failed"])
        self.assertEqual(self.ports(), [8080, 27015])
        holder.process.send_signal(signal.SIGINT)
        self.assertIsNotNone(holder.wait_for_all("removed", {8080, 27015}, 10), holder.seen)
        self.assertEqual(holder.end(), 0)
        self.assertEqual(self.upnpc_table(), [])

    def test_hold_64_entries_at_a_flat_cost(self):
        lines = ["-add %s %d %d %s%d" % (protocol, 10000 + i, 20000 + i, protocol, i)
                 for i in range(32) for protocol in ("TCP", "UDP")]
        ports = {(protocol, 20000 + i) for i in range(32) for protocol in ("TCP", "UDP")}
        status = tempfile.mkdtemp(prefix="pw64")
        self.addCleanup(shutil.rmtree, status)
        started = time.monotonic()
        holder = self.holder(lines, "--status-file", os.path.join(status, "status.json"))
        self.assertEqual(self.count(holder, "added", 64, 30), 64, holder.seen)
        added = time.monotonic() - started
        self.assertLess(added, 15)
        self.assertEqual({(e["NewProtocol"], e["NewExternalPort"]) for e in self.upnpc_table()},
                         ports)
        # Nothing due for half an hour: the wait takes no processor time.
        quiet = process_cost(holder.process.pid)
        time.sleep(5)
        idle = process_cost(holder.process.pid)
        self.assertLessEqual(idle["ticks"] - quiet["ticks"], 2)
        # Every line renewed each 5 s (a reload: all 64 lines are new ones), over 192
        # renewals: descriptors and memory stay where they were after the first 64.
        with open(holder.file, "w") as f:
            f.write("".join("--lease 10 %s\n" % line for line in lines))
        holder.process.send_signal(signal.SIGHUP)
        self.assertEqual(self.count(holder, "added", 64, 60), 64, holder.seen)
        self.assertEqual(self.count(holder, "renewed", 64, 60), 64, holder.seen)
        early = settled_cost(holder.process.pid)
        self.assertEqual(self.count(holder, "renewed", 192, 60), 192, holder.seen)
        late = settled_cost(holder.process.pid)
        self.assertEqual(late["descriptors"], early["descriptors"])
        self.assertLess(late["rss_kb"] - early["rss_kb"], 128, (early, late))
        stopping = time.monotonic()
        holder.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.count(holder, "removed", 64, 30), 64, holder.seen)
        self.assertEqual(holder.end(), 0)
        removed = time.monotonic() - stopping
        self.assertEqual(self.upnpc_table(), [])
        print("\n64 entries: added in %.1f s; %d ticks idle over 5 s; %d descriptors and "
              "%d kB resident after 64 renewals, %d and %d kB after 256; removed in %.1f s"
              % (added, idle["ticks"] - quiet["ticks"], early["descriptors"], early["rss_kb"],
                 late["descriptors"], late["rss_kb"], removed), file=sys.stderr)

    def count(self, holder, name, wanted, timeout):
        """How many events `name` came (up to `wanted`) within `timeout` seconds."""
        end, got = time.monotonic() + timeout, 0
        while got < wanted and time.monotonic() < end:
            event = holder.next(end - time.monotonic())
            if event is None:
                break
            got += event["event"] == name
        return got

    def test_json_against_upnpc_and_exit_statuses(self):
        empty = self.answer("-list")
        self.assertEqual((empty["entries"], empty["complete"]), ([], True))
        self.upnpc("-e", "by upnpc", "-a", "192.168.77.5", "25", "2525", "UDP")
        added = self.answer("--lease", "3600", "-add", "TCP", "22", "2222", "ssh")
        self.assertTrue(added["added"])
        self.assertEqual(added["router"]["external_address"], EXTERNAL)
        # The lease the daemon holds, as upnpc lists it: what is left, a second later perhaps.
        held = re.search(r"'ssh' '' (\d+)\n", self.upnpc("-l"))
        self.assertIsNotNone(held)
        self.assertIn(added["entry"]["lease_seconds"] - int(held.group(1)), (0, 1, 2))
        self.assertGreater(added["entry"]["lease_seconds"], 3590)
        listing = self.answer("-list")
        self.assertEqual([listed(e) for e in listing["entries"]], self.upnpc_table())
        self.assertEqual([e["id"] for e in listing["entries"]], [1, 2])
        stats = self.answer("-stats")["statistics"]
        self.assertEqual((stats["entries"], stats["tcp"], stats["udp"]), (2, 1, 1))
        clash = self.answer("-add", "udp", "26", "2525", code=4)
        self.assertEqual(clash["clash"]["internal_client"], "192.168.77.5")
        self.answer("-add", "-q", "udp", "-ip", "192.168.77.6", "26", "2525", code=1)
        self.answer("-list", "-id", "0", code=2)
        removed = self.answer("-remove", "TCP", "2222")
        self.assertEqual(removed["entry"]["description"], "ssh")
        self.assertEqual([e["NewExternalPort"] for e in self.upnpc_table()], [2525])
        # The search on one interface: the LAN's, or one the host lacks (a command-line
        # error, told at once).
        self.assertEqual(self.answer("--interface", "lan0", "-stats")["statistics"]["entries"], 1)
        status, _, _, seconds = self.run_program("--exit-status", "--interface=wlan7", "-list")
        self.assertEqual(status, 2)
        self.assertLess(seconds, 4.5)  # well under the search's 5 s it would have made
        subprocess.run([LAB, "stop", self.name], check=True)
        self.assertEqual(self.answer("-list", code=3)["error"]["status"], 48)

    def test_the_readme_recipe_prints_one_line_per_entry(self):
        # Any LAN host may store a description with a line break in it: the recipe must
        # still print one line per entry (the plain entry is the control).
        self.upnpc("-e", "web\n2 22 -> 10.58.0.66 evil", "-a", "192.168.77.5", "80", "8080",
                   "TCP")
        self.upnpc("-e", "plain", "-a", "192.168.77.5", "53", "5353", "UDP")
        self.assertIn("web\n2 22", self.upnpc("-l"))  # the daemon holds it as it was sent
        _, out, _, _ = self.run_program("--json", "-list")
        recipe = subprocess.run(
            ["jq", "-r", '.entries[] | "\\(.id) \\(.external_port) \\(.description)"'],
            input=out.encode("latin-1"), stdout=subprocess.PIPE, check=True, timeout=10).stdout.decode()
        lines = recipe.splitlines()
        # In the daemon's order, numbered as -list numbers them.
        self.assertEqual([line.split(" ", 1)[0] for line in lines], ["1", "2"])
        self.assertEqual(sorted(line.split(" ", 1)[1] for line in lines),
                         ["5353 plain", "8080 web 2 22 -> 10.58.0.66 evil"])

    def test_keep_through_a_restart_and_a_stop(self):
        keeper = self.keeper("--lease", "4", "-add", "TCP", "22", "2222", "ssh")
        added = keeper.wait_for("added", 10)
        self.assertIsNotNone(added, keeper.seen)
        self.assertEqual(added["lease_seconds"], 4)
        self.assertIsNotNone(keeper.wait_for("renewed", 5), keeper.seen)
        # The router reboots: it comes back with an empty table, and the entry is back
        # within one renewal (2 s) and the search for the router.
        subprocess.run([LAB, "stop", self.name], check=True)
        subprocess.run([LAB, "start", self.name], check=True)
        self.assertIsNotNone(keeper.wait_for("added", 12), keeper.seen)
        self.assertEqual([e["NewExternalPort"] for e in self.upnpc_table()], [2222])
        start = time.monotonic()
        keeper.process.send_signal(signal.SIGTERM)
        self.assertEqual(keeper.wait_for("removed", 10)["event"], "removed")
        self.assertEqual(keeper.end(), 0)
        self.assertLess(time.monotonic() - start, 3)
        self.assertEqual(self.upnpc_table(), [])

    def test_keep_adopts_its_own_leftover_after_a_kill(self):
        # A run killed outright leaves its entry; the same command started again (as the
        # unit's Restart= does) renews it as its own. Another host's entry is the control
        # (below: status 4).
        args = ("--lease", "60", "-add", "TCP", "22", "2222", "ssh")
        killed = self.keeper(*args)
        self.assertIsNotNone(killed.wait_for("added", 10), killed.seen)
        killed.process.kill()  # the run this test started, by its pid: SIGKILL
        killed.process.wait()
        self.assertEqual([e["NewExternalPort"] for e in self.upnpc_table()], [2222])
        again = self.keeper(*args)
        adopted = again.wait_for("adopted", 10)
        self.assertIsNotNone(adopted, again.seen)
        self.assertEqual((adopted["internal_client"], adopted["lease_seconds"]),
                         ("192.168.77.2", 60))
        self.assertEqual([e["NewExternalPort"] for e in self.upnpc_table()], [2222])
        again.process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(again.wait_for("removed", 10), again.seen)
        self.assertEqual(again.end(), 0)
        self.assertEqual(again.seen, ["adopted", "removed"])
        self.assertEqual(self.upnpc_table(), [])

    def test_keep_never_overwrites_another_host(self):
        self.upnpc("-e", "theirs", "-a", "192.168.77.5", "22", "2222", "TCP")
        refused = self.keeper("--lease", "4", "-add", "TCP", "22", "2222", "ssh")
        self.assertEqual(refused.end(), 4)
        self.assertEqual(refused.seen, [])
        self.upnpc("-d", "2222", "TCP")
        keeper = self.keeper("--lease", "4", "-add", "TCP", "22", "2222", "ssh")
        self.assertIsNotNone(keeper.wait_for("added", 10), keeper.seen)
        # Another host takes the port between two renewals.
        self.upnpc("-d", "2222", "TCP")
        self.upnpc("-e", "theirs", "-a", "192.168.77.5", "22", "2222", "TCP")
        self.assertIsNotNone(keeper.wait_for("taken", 5), keeper.seen)
        self.assertEqual(keeper.end(), 4)
        self.assertEqual(self.upnpc_table(), [mapping("theirs", "TCP", "192.168.77.5", 22, 2222)])

    def test_keep_holds_through_loss(self):
        keeper = self.keeper("--lease", "4", "-add", "UDP", "5000", "5000", "game")
        self.assertIsNotNone(keeper.wait_for("added", 10), keeper.seen)
        subprocess.run([LAB, "loss", self.name, "30", "30"], check=True)
        time.sleep(8)
        subprocess.run([LAB, "loss", self.name, "0", "0"], check=True)
        self.assertIsNotNone(keeper.wait_for("renewed", 70), keeper.seen)
        # A 4 s lease may have run out at the daemon during the loss: the keeper adds the
        # entry again at its next step, within a renewal and a backoff's wait.
        table, deadline = [], time.monotonic() + 20
        while time.monotonic() < deadline:
            table = [e["NewExternalPort"] for e in self.upnpc_table()]
            if table == [5000]:
                break
            time.sleep(1)
        self.assertEqual(table, [5000], keeper.seen)
        keeper.process.send_signal(signal.SIGINT)
        self.assertEqual(keeper.end(), 0)
        self.assertEqual(self.upnpc_table(), [])


class CarrierGradeNat(LabClient, unittest.TestCase):
    """The daemon with its WAN address in 100.64.0.0/10: it answers GetExternalIPAddress
    with an empty address, and refuses to map."""

    def setUp(self):
        self.name = "pwn%d" % os.getpid()
        subprocess.run([LAB, "up", self.name, str(self.port), "1", "100.64.0.2"], check=True)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])

    def test_list_works_and_says_why_nothing_is_reachable(self):
        self.assertIn("ExternalIPAddress failed. (empty string)", self.upnpc("-s"))
        code, out, err, _ = self.run_program("--json", "-list")
        document = json.loads(out)
        jsonschema.validate(document, SCHEMA)
        self.assertEqual(code, 0)
        self.assertEqual(document["entries"], upnpc_entries(self))
        self.assertFalse(document["router"]["reachable_from_internet"])
        self.assertIn(b"cannot be reached from the internet", err)
        self.assertIn(b"carrier-grade NAT", err)
        code, out, err, _ = self.run_program("-list")
        self.assertEqual(code, 1)
        self.assertIn("Enumerate Failure", out)  # the table is empty, as upnpc sees it
        self.assertEqual(err.count(b"\n"), 1)


def exchanging(pid):
    """The socket inodes of the process's TCP connections still open both ways or being
    made: an exchange under way. A leaked one is past them (the router closes each
    exchange's connection)."""
    inodes = set()
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                rows = [line.split() for line in f.readlines()[1:]]
        except OSError:
            continue
        inodes |= {row[9] for row in rows if len(row) > 9 and row[3] in ("01", "02")}
    return inodes


def process_cost(pid):
    """The processor ticks a process has used, its open descriptors (an exchange's
    connection under way left out) and its resident memory in kB."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    with open("/proc/%d/status" % pid) as f:
        rss = [line.split()[1] for line in f if line.startswith("VmRSS:")][0]
    busy = exchanging(pid)
    held = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue  # closed since the listing
        held += not (target.startswith("socket:[") and target[8:-1] in busy)
    return {"ticks": int(fields[11]) + int(fields[12]), "descriptors": held, "rss_kb": int(rss)}


def settled_cost(pid):
    """process_cost with the fewest descriptors and least memory of thirty looks over three
    seconds: a renewal may be under way at any one look (on a loaded machine at many), a
    leak shows at all."""
    looks = []
    for _ in range(30):
        looks.append(process_cost(pid))
        time.sleep(0.1)
    return {name: min(look[name] for look in looks) for name in looks[0]}


def upnpc_entries(lab):
    return [dict(e) for e in lab.upnpc_table()]


if __name__ == "__main__":
    unittest.main()
