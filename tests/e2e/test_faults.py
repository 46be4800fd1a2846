"""The fault matrix: a gateway that misbehaves in one way per case. Every case must end
in its status with its whole transcript, within a time bound: a case that waits is given
twice its designed wait (a busy machine must not fail it), and where that would leave room
for a wait too many, what the gateway heard is counted. The cases run side by side, each in
a namespace of its own, and are judged one by one afterwards."""

import concurrent.futures
import json
import os
import subprocess
import tempfile
import time
import unittest

from harness import (PROGRAM, FakeGateway, Namespace, ADD_REFUSED, ADD_UNKNOWN, ADDED, BANNER, CLOSING, ENUMERATE_FAILED, EXTERNAL,
                     GAME, IDENTITY, LIST_HEAD, LOCAL, LONG, NO_EXTERNAL, NO_LOCAL, NO_ROUTER,
                     NOT_ADDED, NOT_REMOVED, NOT_REMOVED_ID, REMOVE_DENIED, REMOVE_INVALID,
                     REMOVE_UNKNOWN, REMOVED_ID, RULE, SEARCH_WAIT, THREE, UNCONFIRMED, WEB,
                     entry_block, entry_lines, information, mapping, outcome, port_box, run_isolated,
                     status_box)

LOST = {"head": "", "body": ""}  # the connection closes without an answer
BASE = "http://127.0.0.1:5000"  # every case's gateway listens here, inside its namespace

REFUSED_ADD = ADD_REFUSED + outcome(NOT_ADDED, True)
V2 = {"service": "WANIPConnection:2"}  # a router that takes AddAnyPortMapping


def ours(description):
    """Two entries of this host's (TCP 80), on 3000 and 3001."""
    return [mapping(description, "TCP", LOCAL, 80, port) for port in (3000, 3001)]
REFUSED_REMOVAL = status_box(53, REMOVE_INVALID) + outcome(NOT_REMOVED, True)
LISTED = LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) + entry_lines(3, LONG)


def reply(*lines):
    return "".join(line + "\r\n" for line in lines) + "\r\n"


ST = "ST: urn:schemas-upnp-org:service:WANIPConnection:1"

# A run that finds the gateway searches for both services once, at once; a run whose
# every reply is passed over sends both searches three times, the gateway device's two
# versions and the root device twice, and waits out the search.
FOUND = 2
PASSED_OVER = 12


# A run that waits on nothing: it must end well before the 10 s of the shortest wait it
# could fall into; half that leaves a busy machine room.
AT_ONCE = (0, 5)


def waits(seconds):
    """The bounds of a run designed to wait `seconds`: from just under it to twice it."""
    return seconds - 0.5, 2 * seconds



def head_of(size, tail="\r\n\r\n"):
    """A 200 head of exactly `size` bytes, its blank line included, with no length."""
    start = "HTTP/1.1 200 OK\r\nX-Padding: "
    return start + "p" * (size - len(start) - len(tail)) + tail


def only_description(control_url):
    return ("<root><device><serviceList><service><serviceType>urn:schemas-upnp-org:service:"
            "WANIPConnection:1</serviceType><controlURL>%s</controlURL></service></serviceList>"
            "</device></root>" % control_url)


# (name, command, gateway config or None for no gateway at all, body of the transcript,
#  lower and upper bound in seconds, how many searches it must have sent or None)
CASES = [
    ("no SSDP reply at all", ["-list"], None, NO_ROUTER, *SEARCH_WAIT, None),
    ("reply without 200 OK", ["-stats"],
     {"ssdp_reply": reply("HTTP/1.1 404 Not Found", "LOCATION: $BASE/rootDesc.xml")},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("reply without LOCATION", ["-stats"], {"ssdp_reply": reply("HTTP/1.1 200 OK", "ST: x")},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("reply without ST", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", "LOCATION: $BASE/rootDesc.xml")},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("reply whose ST names another device", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", "ST: urn:schemas-upnp-org:device:MediaRenderer:1",
                          "LOCATION: $BASE/rootDesc.xml")},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("reply whose ST names a later version of the service", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", "ST: urn:schemas-upnp-org:service:WANIPConnection:2",
                          "LOCATION: $BASE/rootDesc.xml")},
     LISTED, *AT_ONCE, FOUND),
    ("reply with LF-only lines", ["-list"],
     {"ssdp_reply": "HTTP/1.1 200 OK\n" + ST + "\nLOCATION: $BASE/rootDesc.xml\n\n"},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("LOCATION of 512 characters", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", ST, "LOCATION: " + BASE + "/" + "a" * 490)},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("LOCATION of 511 characters", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", ST, "LOCATION: " + BASE + "/" + "a" * 489)},
     LISTED, *AT_ONCE, FOUND),
    ("datagram of 1500 bytes, LOCATION in its first 1024", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", ST, "LOCATION: $BASE/rootDesc.xml",
                          "X-Padding: " + "p" * 1426)},
     LISTED, *AT_ONCE, FOUND),
    ("datagram of 1500 bytes, LOCATION after byte 1024", ["-list"],
     {"ssdp_reply": reply("HTTP/1.1 200 OK", ST, "X-Padding: " + "p" * 1426,
                          "LOCATION: $BASE/rootDesc.xml")},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("description 404", ["-stats"], {"description_status": 404}, NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("description malformed", ["-stats"], {"description": "<root><device>"}, NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("description without the wanted service", ["-stats"],
     {"service": "WANIPv6FirewallControl:1"},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("description sent chunked", ["-list"], {"raw": {"GET": {"chunked": True}}},
     LISTED, *AT_ONCE, FOUND),
    ("description head of exactly 4096 bytes", ["-list"], {"raw": {"GET": {"head": head_of(4096)}}},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("description head of 4095 bytes, body up to the close", ["-list"],
     {"raw": {"GET": {"head": head_of(4095)}}}, LISTED, *AT_ONCE, FOUND),
    ("control port refusing connections", ["-list"],
     {"description": only_description("http://127.0.0.1:5001/ctl")}, NO_LOCAL, *AT_ONCE, FOUND),
    ("GetExternalIPAddress 500", ["-list"], {"status": {"GetExternalIPAddress": 500}},
     NO_EXTERNAL, *AT_ONCE, FOUND),
    ("GetExternalIPAddress without its element", ["-list"], {"external_ip": None},
     NO_EXTERNAL, *AT_ONCE, FOUND),
    ("Content-Length negative, peer closes", ["-list"],
     {"raw": {"GetExternalIPAddress": {"head": "HTTP/1.1 200 OK\r\nContent-Length: -20\r\n\r\n"}}},
     LISTED, *AT_ONCE, FOUND),
    ("Content-Length huge, peer closes", ["-list"],
     {"raw": {"GetExternalIPAddress": {"head": "HTTP/1.1 200 OK\r\nCONTENT-length: "
                                               "99999999999999999999999\r\n\r\n"}}},
     LISTED, *AT_ONCE, FOUND),
    ("Content-Length absent, peer closes", ["-list"],
     {"raw": {"GetExternalIPAddress": {"head": "HTTP/1.0 200 OK\r\n\r\n"}}}, LISTED, *AT_ONCE, FOUND),
    ("Content-Length past the body, peer stays: one 10-second wait", ["-list"],
     {"raw": {"GetExternalIPAddress": {"head": "HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n",
                                       "hold": 25}}},
     LISTED, *waits(10), FOUND),
    # Two bytes 2 s apart: twice those 4 s still ends before the exchange's 10 s would.
    ("peer drips the last bytes 2 s apart: read ends at the length, not the close", ["-list"],
     {"raw": {"GetExternalIPAddress": {"drip": 2, "gap": 2, "hold": 25}}}, LISTED, *waits(4), FOUND),
    # No answer holds an exchange past its 10 s, nor a decoder past its byte budget.
    ("peer trickles a byte a second: each try ends at the exchange's 10 s", ["-list"],
     {"raw": {"GetExternalIPAddress": {"drip": 60, "gap": 1, "hold": 25}}},
     NO_EXTERNAL, *waits(30), FOUND),
    ("chunked answer with endless trailer lines", ["-list"],
     {"raw": {"GetExternalIPAddress": {
         "head": "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
         "body": "1\r\nx\r\n0\r\n" + "X: y\r\n" * 60000, "hold": 25}}},
     NO_EXTERNAL, *AT_ONCE, FOUND),
    ("GetExternalIPAddress never answered: three tries of one 10-second wait", ["-list"],
     {"raw": {"GetExternalIPAddress": {"head": "", "body": "", "hold": 25}}},
     NO_EXTERNAL, *waits(30), FOUND),
    ("connection reset in the middle of the body", ["-list"],
     {"raw": {"GetExternalIPAddress": {"reset": 40}}}, NO_EXTERNAL, *AT_ONCE, FOUND),
    ("description of 70000 bytes: cut at 65536, so malformed", ["-list"],
     {"description": "<root>" + "<x/>" * 17500 + "</root>"}, NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("datagram of binary noise", ["-list"], {"ssdp_reply": "\x00\xff200 OK\x00\r\n" * 40},
     NO_ROUTER, *SEARCH_WAIT, PASSED_OVER),
    ("entry answer chunked", ["-list"], {"raw": {"GetGenericPortMappingEntry": {"chunked": True}}},
     LISTED, *AT_ONCE, FOUND),
    ("gateway dies after two entry reads of a listing", ["-list"],
     {"die_after": {"GetGenericPortMappingEntry": 2}},
     LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) + ENUMERATE_FAILED, *AT_ONCE, FOUND),
    ("gateway dies after two entry reads of the statistics", ["-stats"],
     {"die_after": {"GetGenericPortMappingEntry": 2}},
     ENUMERATE_FAILED, *AT_ONCE, FOUND),
    ("gateway dies during the clash walk of an add", ["-add", "TCP", "80", "9090"],
     {"die_after": {"GetGenericPortMappingEntry": 1}},
     REFUSED_ADD + entry_block("", "TCP", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    ("gateway dies during the walk of a removal", ["-remove", "TCP", "2222"],
     {"die_after": {"GetGenericPortMappingEntry": 1}}, REFUSED_REMOVAL + port_box(2222), *AT_ONCE, FOUND),
    ("control URL on a host this one has no route to: refused at once", ["-list"],
     {"description": only_description("http://10.99.99.99:5000/ctl")}, NO_LOCAL, *AT_ONCE, FOUND),
    ("status code that overflows on a 718 refusal", ["-add", "-q", "TCP", "80", "9090"],
     {"faults": {"AddPortMapping": 718},
      "raw": {"AddPortMapping": {"head": "HTTP/1.1 4294967496 OK\r\nContent-Length: $LENGTH"
                                         "\r\n\r\n"}}},
     REFUSED_ADD + entry_block("", "TCP", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    # Routers that do not honour the index: the walk ends at the first entry met again.
    ("router repeating its first entry: -list", ["-list"], {"index_mode": "repeat"},
     LIST_HEAD + entry_lines(1, WEB), *AT_ONCE, FOUND),
    ("router cycling through its table: -list", ["-list"], {"index_mode": "cycle"},
     LISTED, *AT_ONCE, FOUND),
    ("router cycling through its table: -stats", ["-stats"], {"index_mode": "cycle"},
     information(IDENTITY, LOCAL, EXTERNAL, (2, 1, 2, 0)), *AT_ONCE, FOUND),
    ("router cycling through its table: the clash walk of an add",
     ["-add", "TCP", "80", "9090"], {"index_mode": "cycle"},
     outcome(ADDED, False) +
     entry_block("", "TCP", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    ("router repeating its first entry: the walk of a removal", ["-remove", "TCP", "9999"],
     {"index_mode": "repeat"}, REFUSED_REMOVAL + port_box(9999), *AT_ONCE, FOUND),
    # A router that takes UPnP's protocol words exactly as written: typed in small
    # letters, sent in capitals, shown as typed.
    ("router taking the protocol in capitals alone: an add typed small",
     ["-add", "udp", "80", "9090", "game"], {"exact_protocol": True},
     outcome(ADDED, False) + entry_block("game", "udp", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    ("router taking the protocol in capitals alone: a removal typed small",
     ["-remove", "udp", "5000"], {"exact_protocol": True},
     outcome(REMOVED_ID % 2, False) + entry_block("", "UDP", "192.168.1.21", 5000, 5000),
     *AT_ONCE, FOUND),
    # An answer lost after the request went out: the entry is read back to tell.
    ("add answer lost, the entry made: added", ["-add", "TCP", "80", "9090"],
     {"raw": {"AddPortMapping": LOST}},
     outcome(ADDED, False) + entry_block("", "TCP", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    ("add answer lost, the entry not made: not added", ["-add", "TCP", "80", "9090"],
     {"raw": {"AddPortMapping": LOST}, "unmade": ["AddPortMapping"]},
     REFUSED_ADD + entry_block("", "TCP", LOCAL, 80, 9090), *AT_ONCE, FOUND),
    ("add answer lost, the table unreadable: unknown", ["-add", "-q", "TCP", "80", "9090"],
     {"raw": {"AddPortMapping": LOST, "GetSpecificPortMappingEntry": LOST}},
     ADD_UNKNOWN + outcome(UNCONFIRMED, True) + entry_block("", "TCP", LOCAL, 80, 9090),
     *AT_ONCE, FOUND),
    # With --any-port the router chooses: 8080 is another host's, so it takes 8081. A
    # lost answer is read back as our entry on any port; the control's answer is not lost.
    ("any-port add answered: added on the port chosen", ["--any-port", "-add", "TCP", "80", "8080"],
     V2, outcome(ADDED, False) + entry_block("", "TCP", LOCAL, 80, 8081), *AT_ONCE, FOUND),
    # A router that names a port another host's entry holds: what the table says wins.
    ("any-port add answered with another host's port: not added",
     ["--any-port", "-add", "TCP", "80", "8080"], dict(V2, any_port_answers=8080),
     REFUSED_ADD + entry_block("", "TCP", LOCAL, 80, 8080), *AT_ONCE, FOUND),
    ("any-port add answer lost, the entry made: added on the port chosen",
     ["--any-port", "-add", "TCP", "80", "8080"], dict(V2, raw={"AddAnyPortMapping": LOST}),
     outcome(ADDED, False) + entry_block("", "TCP", LOCAL, 80, 8081), *AT_ONCE, FOUND),
    ("any-port add answer lost, the entry not made: not added",
     ["--any-port", "-add", "TCP", "80", "8080"],
     dict(V2, raw={"AddAnyPortMapping": LOST}, unmade=["AddAnyPortMapping"]),
     REFUSED_ADD + entry_block("", "TCP", LOCAL, 80, 8080), *AT_ONCE, FOUND),
    ("any-port add answer lost, the table unreadable: unknown",
     ["--any-port", "-add", "-q", "TCP", "80", "8080"],
     dict(V2, raw={"AddAnyPortMapping": LOST, "GetGenericPortMappingEntry": LOST}),
     ADD_UNKNOWN + outcome(UNCONFIRMED, True) + entry_block("", "TCP", LOCAL, 80, 8080),
     *AT_ONCE, FOUND),
    # Two entries of ours were there before (3000, 3001): the check saw them, so the new
    # one is the router's choice. Without the check, their description tells it apart
    # when it differs, and nothing does when it is the same.
    ("any-port add answer lost beside two older entries of ours: added on the new one",
     ["--any-port", "-add", "TCP", "80", "8080", "ssh"],
     dict(V2, raw={"AddAnyPortMapping": LOST}, entries=THREE + ours("ssh")),
     outcome(ADDED, False) + entry_block("ssh", "TCP", LOCAL, 80, 8081), *AT_ONCE, FOUND),
    ("any-port add answer lost beside older ours, unchecked, described apart: added",
     ["--any-port", "-add", "-q", "TCP", "80", "8080", "ssh"],
     dict(V2, raw={"AddAnyPortMapping": LOST}, entries=THREE + ours("old")),
     outcome(ADDED, False) + entry_block("ssh", "TCP", LOCAL, 80, 8081), *AT_ONCE, FOUND),
    ("any-port add answer lost beside older ours, unchecked, described alike: unknown",
     ["--any-port", "-add", "-q", "TCP", "80", "8080", "ssh"],
     dict(V2, raw={"AddAnyPortMapping": LOST}, entries=THREE + ours("ssh")),
     ADD_UNKNOWN + outcome(UNCONFIRMED, True) + entry_block("ssh", "TCP", LOCAL, 80, 8080),
     *AT_ONCE, FOUND),
    ("removal answer lost, the entry gone: removed", ["-remove", "UDP", "5000"],
     {"raw": {"DeletePortMapping": LOST}},
     outcome(REMOVED_ID % 2, False) + entry_block("", "UDP", "192.168.1.21", 5000, 5000),
     *AT_ONCE, FOUND),
    ("removal answer lost, the entry still there: not removed", ["-remove", "UDP", "5000"],
     {"raw": {"DeletePortMapping": LOST}, "unmade": ["DeletePortMapping"]},
     status_box(53, REMOVE_DENIED) + outcome(NOT_REMOVED_ID % 2, True) +
     entry_block("", "UDP", "192.168.1.21", 5000, 5000), *AT_ONCE, FOUND),
    ("removal answer lost, the table unreadable: unknown", ["-remove", "-q", "UDP", "5000"],
     {"raw": {"DeletePortMapping": LOST, "GetSpecificPortMappingEntry": LOST}},
     REMOVE_UNKNOWN + outcome(UNCONFIRMED, True) + port_box(5000), *AT_ONCE, FOUND),
    # Odd numbers and words of an entry: shown as the router wrote them, never as another
    # number; NewEnabled 7 is enabled, as any number but 0.
    ("entries with odd numbers and words", ["-list"],
     {"entries": [mapping("a", "TCP", "10.0.0.1", 1, 2, "7"),
                  mapping("b", "TCP", "10.0.0.1", "99999", 3, "maybe")]},
     LIST_HEAD + entry_lines(1, mapping("a", "TCP", "10.0.0.1", 1, 2, 1)) +
     "|   [002]: %-55s %3s\n" % ("b", "|") +
     "|   TCP             10.0.0.1      99999 - 3                   maybe  |\n" + RULE,
     *AT_ONCE, FOUND),
]


# The cases whose doubled bound would let a try too many pass: the tries the gateway
# heard of that action.
TRIES = {
    "peer trickles a byte a second: each try ends at the exchange's 10 s":
        ("GetExternalIPAddress", 3),
    "GetExternalIPAddress never answered: three tries of one 10-second wait":
        ("GetExternalIPAddress", 3),
}


def run_case(case):
    _, args, config, _, _, _, _ = case
    return run_isolated(args, config, actions=True)


class Faults(unittest.TestCase):
    def test_matrix(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            outcomes = list(pool.map(run_case, CASES))
        self.assertTrue(set(TRIES) <= {case[0] for case in CASES})
        for case, (result, searches, actions) in zip(CASES, outcomes):
            name, args, _, body, low, high, want_searches = case
            with self.subTest(name):
                self.assertEqual(result.out, BANNER + body + CLOSING)
                self.assertEqual((result.code, result.err), (1, ""))
                self.assertGreaterEqual(result.seconds, low)
                self.assertLess(result.seconds, high)
                if want_searches is not None:
                    self.assertEqual(searches, want_searches)
                if name in TRIES:
                    action, tries = TRIES[name]
                    self.assertEqual(actions.count(action), tries, actions)


# A table of 30 entries whose every read is answered after 9 s: the run's end (60 s, and a
# second for each entry read) cuts the walk off, and the run reports the table unread
# rather than showing the entries read as all of it. The control answers at once.
SLOW_TABLE = [mapping("e%02d" % i, "TCP", "127.0.0.1", 1000 + i, 3000 + i) for i in range(30)]
SLOW_READS = {"raw": {"GetGenericPortMappingEntry": {"drip": 1, "gap": 9}}}
SLOW_CASES = [
    # name, arguments, config, exit status, complete, CPU seconds at most
    ("listing of a slow table", ["--json", "-list"], SLOW_READS, 5, False),
    ("clashing add over a slow table", ["--json", "-add", "TCP", "80", "3029"], SLOW_READS, 5,
     None),
    ("listing of the same table answered at once", ["--json", "-list"], {}, 0, True),
]
CPU_MAX = 3.0


def timed_run(case):
    """The run with its wall time and the CPU time it used (user and system)."""
    _, args, config, _, _ = case
    with Namespace() as ns, \
            FakeGateway(ns, http_port=5000, entries=SLOW_TABLE, lifetime=150, **config) as gw, \
            tempfile.TemporaryFile() as out:
        start = time.monotonic()
        # `ip netns exec` becomes the program: its resource usage is the program's.
        child = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM] + args, stdout=out,
                                 stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 150
        while time.monotonic() < deadline:
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid == child.pid:
                break
            time.sleep(0.2)
        else:
            child.kill()
            pid, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.monotonic() - start
        out.seek(0)
        document = json.loads(out.read().decode())
        reads = gw.actions().count("GetGenericPortMappingEntry")
        return child.returncode, document, seconds, usage.ru_utime + usage.ru_stime, reads


class RunBound(unittest.TestCase):
    def test_a_slow_table_ends_within_the_run_bound(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
            outcomes = list(pool.map(timed_run, SLOW_CASES))
        for case, (code, document, seconds, cpu, reads) in zip(SLOW_CASES, outcomes):
            name, _, _, want_code, complete = case
            with self.subTest(name):
                self.assertEqual(code, want_code, document)
                if complete is not None:
                    self.assertEqual(document["complete"], complete)
                if want_code == 5:
                    self.assertEqual(document["error"]["status"], 54 if complete is False else 51)
                    # 60 s and a second for each entry read (the last read was cut off),
                    # and 2 s for the program's start and end on a busy machine.
                    self.assertLess(seconds, 60 + (reads - 1) + 2, (reads, seconds))
                    self.assertGreater(seconds, 60)
                    if complete is False:
                        self.assertEqual(len(document["entries"]), reads - 1)
                else:
                    self.assertEqual(len(document["entries"]), 30)
                    self.assertLess(seconds, 10)
                self.assertLess(cpu, CPU_MAX, (seconds, cpu))


if __name__ == "__main__":
    unittest.main()
