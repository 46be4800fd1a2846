"""--json, --exit-status and --lease against the fake gateway: each command's one document,
checked against the schema (schema.json) and against the gateway's table; the exit status
of each class; an empty external address; the screens unchanged by --exit-status."""

import concurrent.futures
import json
import os
import queue
import signal
import subprocess
import threading
import time
import unittest

import jsonschema

from harness import (ADDED, BANNER, CLOSING, DUPLICATE_ID, EXTERNAL, GAME, IDENTITY, LOCAL,
                     LONG, PROGRAM, RULE, SEARCH_WAIT, THREE, WEB, FakeGateway, Namespace, entry_block,
                     information, mapping, outcome, run, run_isolated)

with open(os.path.join(os.path.dirname(__file__), "schema.json")) as f:
    SCHEMA = json.load(f)

LOST = {"head": "", "body": ""}  # the connection closes without an answer

# An add of TCP 80 on 8080 with --any-port and a lease of 600 s, granted on 8081.
ANY_PORT = {"added": True, "external_port_asked": 8080, "lease_asked": 600,
            "lease_read_back": 600, "permanent": False,
            "entry": {"protocol": "TCP", "external_port": 8081, "internal_client": LOCAL,
                      "internal_port": 80, "description": "", "enabled": True,
                      "remote_host": "", "lease_seconds": 600}}

NOTE = ("portwrangler: entries on this router cannot be reached from the internet: %s\n")


def as_json(entry, ident=None):
    """A fake gateway's entry as a document shows it."""
    shown = {"protocol": entry["NewProtocol"], "external_port": entry["NewExternalPort"],
             "internal_client": entry.get("NewInternalClient", ""),
             "internal_port": entry["NewInternalPort"],
             "description": entry["NewPortMappingDescription"],
             "enabled": bool(int(entry["NewEnabled"])), "remote_host": entry["NewRemoteHost"],
             "lease_seconds": entry["NewLeaseDuration"]}
    if ident is not None:
        shown["id"] = ident
    return shown


def document(result):
    """The one document of a run: standard output parses as exactly one JSON value that
    the schema takes, and holds nothing else (no banner, no colour)."""
    text = result.out.encode("latin-1").decode("utf-8")
    assert text.endswith("}\n") and text.count("\n") == 1, repr(text)
    value = json.loads(text)
    jsonschema.validate(value, SCHEMA)
    return value


class Json(unittest.TestCase):
    def runs(self, cases):
        """Each case (args, config) against a fresh gateway, several at once."""
        def one(case):
            args, config = case
            return run_isolated(args, config)[0]
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            return list(pool.map(one, cases))

    def test_each_command_and_its_exit_status(self):
        cases = [
            # args, config, exit status, what the document must hold
            (["--json", "-list"], {}, 0,
             {"command": "list", "protocol_used": "upnp", "complete": True,
              "entries": [as_json(WEB, 1), as_json(GAME, 2), as_json(LONG, 3)]}),
            (["--json", "-list", "-id", "2"], {}, 0,
             {"command": "list_id", "protocol_used": "upnp", "entries": [as_json(GAME, 2)], "matches": 1,
              "search": {"id": 2}}),
            (["--json", "-list", "-id", "9"], {}, 0, {"entries": [], "matches": 0}),
            (["--json", "-list", "-p", "tcp", "-s", "enabled"], {}, 0,
             {"command": "search", "protocol_used": "upnp", "entries": [as_json(WEB, 1), as_json(LONG, 3)],
              "search": {"protocol": "tcp", "enabled": True}}),
            (["--json", "-stats"], {}, 0,
             {"command": "stats", "protocol_used": "upnp", "statistics": {"entries": 3, "enabled": 2, "disabled": 1,
                                                  "tcp": 2, "tcp_enabled": 2, "tcp_disabled": 0,
                                                  "udp": 1, "udp_enabled": 0,
                                                  "udp_disabled": 1}}),
            (["--json", "-list", "-stats"], {"entries": []}, 0,
             {"command": "list_stats", "protocol_used": "upnp", "entries": [], "complete": True,
              "statistics": {"entries": 0, "enabled": 0, "disabled": 0, "tcp": 0,
                             "tcp_enabled": 0, "tcp_disabled": 0, "udp": 0, "udp_enabled": 0,
                             "udp_disabled": 0}}),
            (["--json", "-list"], {"die_after": {"GetGenericPortMappingEntry": 2}}, 5,
             {"entries": [as_json(WEB, 1), as_json(GAME, 2)], "complete": False,
              "error": {"status": 54, "name": "enumerate_failed",
                        "message": "Enumerate Failure -> Invalid Response From UPnP Router."}}),
            (["--json", "-add", "UDP", "53", "5353", "dns"], {}, 0,
             {"command": "add", "protocol_used": "upnp", "added": True, "permanent": True, "lease_asked": 0,
              "lease_read_back": 0,
              "entry": {"protocol": "UDP", "external_port": 5353, "internal_client": LOCAL,
                        "internal_port": 53, "description": "dns", "enabled": True,
                        "remote_host": "", "lease_seconds": 0}}),
            (["--json", "-add", "tcp", "22", "8080"], {}, 4,
             {"added": False, "clash": as_json(WEB, 1),
              "error": {"status": 50, "name": "duplicate_entry", "message":
                        "Add Entry Failure -> Duplicate Entry Found On UPnP Router."}}),
            (["--json", "-add", "-q", "TCP", "22", "8080"], {}, 1,
             {"added": False, "error": {"status": 51, "name": "add_refused", "message":
                                        "Add Entry Failure -> Invalid Response From UPnP Router.",
                                        "cause": "the router refused: a conflicting or missing"
                                                 " entry"}}),
            (["--json", "-add", "TCP", "22", "9090"],
             {"die_after": {"GetGenericPortMappingEntry": 1}}, 5, {"added": False}),
            (["--json", "-remove", "udp", "5000"], {}, 0,
             {"command": "remove", "protocol_used": "upnp", "removed": True, "entry": as_json(GAME, 2)}),
            (["--json", "-remove", "-q", "TCP", "9999"], {}, 1,
             {"removed": False, "entry": None, "external_port": 9999,
              "error": {"status": 52, "name": "remove_refused", "message":
                        "Remove Entry Failure -> Invalid Response From UPnP Router.",
                        "cause": "the router refused: a conflicting or missing entry"}}),
            (["--json", "--lease=7200", "-add", "TCP", "80", "9090"], {"only_permanent": True}, 0,
             {"added": True, "lease_asked": 7200, "permanent": True, "lease_read_back": 0}),
            # 402 to a lease: taken as 725, the add made again without one; 402 to an add
            # without a lease is a refusal.
            (["--json", "--lease=7200", "-add", "TCP", "80", "9090"], {"only_permanent": 402}, 0,
             {"added": True, "lease_asked": 7200, "permanent": True, "lease_read_back": 0}),
            (["--json", "-add", "-q", "TCP", "80", "9090"], {"faults": {"AddPortMapping": 402}},
             1, {"added": False, "permanent": None}),
            # An IGD v2 router holds a "permanent" entry for a week: read back, it is not.
            (["--json", "-add", "TCP", "80", "9090"], {"zero_lease_as": 604800}, 0,
             {"added": True, "permanent": False, "lease_read_back": 604800}),
            # A lost answer is read back: made, not made, or unknown when the table cannot
            # be read (a router without GetSpecificPortMappingEntry is walked instead).
            (["--json", "-add", "TCP", "80", "9090"], {"raw": {"AddPortMapping": LOST}}, 0,
             {"added": True, "permanent": True}),
            (["--json", "-add", "-q", "TCP", "80", "9090"],
             {"raw": {"AddPortMapping": LOST}, "faults": {"GetSpecificPortMappingEntry": 401}}, 0,
             {"added": True}),
            (["--json", "-add", "TCP", "80", "9090"],
             {"raw": {"AddPortMapping": LOST}, "unmade": ["AddPortMapping"]}, 1,
             {"added": False, "error": {"name": "add_refused", "cause":
                                        "no answer came back after the request went out; read "
                                        "back, the entry is not there"}}),
            (["--json", "-add", "TCP", "80", "9090"],
             {"raw": {"AddPortMapping": LOST, "GetSpecificPortMappingEntry": LOST}}, 5,
             {"added": None, "permanent": None,
              "error": {"status": 66, "name": "add_unknown", "cause":
                        "no answer came back after the request went out, and the table "
                        "could not be read back"}}),
            # The router chose 8081 (8080 is another host's): the port granted whether
            # its answer came or was lost, and read back from the table when lost.
            (["--json", "--any-port", "--lease", "600", "-add", "TCP", "80", "8080"],
             {"service": "WANIPConnection:2"}, 0, ANY_PORT),
            (["--json", "--any-port", "--lease", "600", "-add", "TCP", "80", "8080"],
             {"service": "WANIPConnection:2", "raw": {"AddAnyPortMapping": LOST}}, 0, ANY_PORT),
            (["--json", "-remove", "udp", "5000"], {"raw": {"DeletePortMapping": LOST}}, 0,
             {"removed": True}),
            (["--json", "-remove", "udp", "5000"],
             {"raw": {"DeletePortMapping": LOST}, "unmade": ["DeletePortMapping"]}, 1,
             {"removed": False, "error": {"status": 53, "name": "remove_refused"}}),
            (["--json", "-remove", "-q", "udp", "5000"],
             {"raw": {"DeletePortMapping": LOST, "GetSpecificPortMappingEntry": LOST}}, 5,
             {"removed": None, "error": {"status": 67, "name": "remove_unknown"}}),
            (["--json", "-list"], {"external_ip": None}, 3,
             {"error": {"status": 49, "name": "no_external_address", "message":
                        "External IP Address Failure -> Invalid Response From UPnP Router."}}),
            (["--json", "-list", "-x"], {}, 2,
             {"error": {"status": 0, "name": "syntax_error",
                        "message": "Portwrangler - Syntax Information"}}),
            (["--bogus", "--json", "-list"], {}, 2,
             {"error": {"status": 0, "name": "syntax_error", "cause": "unknown option --bogus",
                        "message": "Portwrangler - Syntax Information"}}),
            (["--json", "--keep", "-list"], {}, 2,
             {"error": {"status": 0, "name": "syntax_error", "cause": "--keep goes with -add and -pinhole -add alone",
                        "message": "Portwrangler - Syntax Information"}}),
            (["--json", "--keep", "-pinhole", "-add", "TCP", "5000", "1"], {}, 2,
             {"error": {"status": 0, "name": "syntax_error",
                        "cause": "--keep needs a lease of at least 2 seconds",
                        "message": "Portwrangler - Syntax Information"}}),
            (["--json", "-help"], {}, 0, {"command": "help"}),
        ]
        results = self.runs([(c[0], c[1]) for c in cases])
        for (args, _, code, expected), result in zip(cases, results):
            with self.subTest(args=args):
                self.assertEqual(result.code, code, result.err)
                self.assertEqual(result.err, "")
                value = document(result)
                for key, want in expected.items():
                    if isinstance(want, dict) and key not in ("entry", "clash"):
                        for inner, inner_want in want.items():
                            self.assertEqual(value[key][inner], inner_want, key)
                    else:
                        self.assertEqual(value[key], want, key)
                if "router" in value:
                    router = value["router"]
                    self.assertEqual((router["friendly_name"], router["local_address"],
                                      router["external_address"],
                                      router["reachable_from_internet"]),
                                     ("Fake Gateway", LOCAL, EXTERNAL, True))

    def test_a_lease_the_router_shortens_is_read_back(self):
        with Namespace() as ns, FakeGateway(ns, http_port=5000, entries=[], max_lease=600) as gw:
            result = run(["--json", "--lease", "7200", "-add", "TCP", "80", "9090"], ns.name)
            self.assertEqual(document(result)["entry"]["lease_seconds"], 600)
            self.assertEqual(gw.actions(), ["GetExternalIPAddress", "GetGenericPortMappingEntry",
                                            "AddPortMapping", "GetSpecificPortMappingEntry"])
            self.assertIn("<NewLeaseDuration>7200</NewLeaseDuration>",
                          gw.requests("http")[-2]["body"])

    def test_a_router_without_leases_gets_the_add_again_without_one(self):
        with Namespace() as ns, FakeGateway(ns, entries=[], only_permanent=True) as gw:
            result = run(["--exit-status", "--lease", "60", "-add", "-q", "TCP", "80", "9090"],
                         ns.name)
            self.assertEqual(result.code, 0)
            self.assertIn("| Lease       |  permanent: the router takes no lease", result.out)
            adds = [r["body"] for r in gw.requests("http") if r["action"] == "AddPortMapping"]
            self.assertEqual(len(adds), 2)
            self.assertIn("<NewLeaseDuration>60</NewLeaseDuration>", adds[0])
            self.assertIn("<NewLeaseDuration>0</NewLeaseDuration>", adds[1])

    def test_exit_status_leaves_the_screens_as_they_are(self):
        for args, config, code in ((["-list"], {}, 0), (["-add", "tcp", "22", "8080"], {}, 4),
                                   (["-remove", "-q", "TCP", "9999"], {}, 1),
                                   (["-list"], {"entries": []}, 0),
                                   (["-list", "-x"], {}, 2)):
            with self.subTest(args=args):
                plain, with_status = self.runs([(args, config), (["--exit-status"] + args, config)])
                self.assertEqual(with_status.out, plain.out)
                self.assertEqual((plain.code, with_status.code), (1, code))

    def test_no_router_is_status_3(self):
        result, _ = run_isolated(["--json", "-list"], None)
        self.assertEqual(result.code, 3)
        self.assertEqual(document(result)["error"]["status"], 48)

    def test_an_empty_external_address_is_an_answer(self):
        reason = ("it gives no external address: it has no public one (carrier-grade NAT, or "
                  "another router in front of it) or is not connected")
        screen, answer, shared = self.runs([(["-stats"], {"external_ip": ""}),
                                            (["--json", "-list"], {"external_ip": ""}),
                                            (["--json", "-list"], {"external_ip": "100.64.3.4"})])
        self.assertEqual(screen.out, BANNER + information(IDENTITY, LOCAL, "", (2, 1, 2, 0)) +
                         CLOSING)
        self.assertEqual((screen.code, screen.err), (1, NOTE % reason))
        self.assertEqual(answer.err, NOTE % reason)
        router = document(answer)["router"]
        self.assertEqual((router["external_address"], router["reachable_from_internet"],
                          router["unreachable_reason"]), ("", False, reason))
        self.assertEqual(len(document(answer)["entries"]), 3)
        self.assertIn("carrier-grade NAT", shared.err)
        self.assertFalse(document(shared)["router"]["reachable_from_internet"])

    def test_texts_from_the_router_are_json_strings(self):
        odd = mapping("caf\udce9 \"q\" \\ \x01 <b>", "TCP", "192.168.1.5", 1, 2)
        # A line break, carriage return, tab, DEL and a C1 control: each a blank, so that
        # a script printing a line per entry cannot be handed a forged one.
        forged = mapping("web\n2 22 -> 10.58.0.66 evil\r\tx\x7fy\u0085z", "TCP",
                         "192.168.1.6", 3, 4)
        plain = mapping("plain", "UDP", "192.168.1.7", 5, 6)  # the control: left as it is
        result, _ = run_isolated(["--json", "-list"], {"entries": [odd, forged, plain]})
        self.assertEqual(result.code, 0)
        # Mended as on screen: the stray byte is its Latin-1 character, the control
        # character a blank; quotes and the backslash travel escaped.
        entries = document(result)["entries"]
        self.assertEqual([e["description"] for e in entries],
                         ["caf\u00e9 \"q\" \\   <b>", "web 2 22 -> 10.58.0.66 evil  x y z",
                          "plain"])
        # The README's recipe prints one line per entry.
        recipe = subprocess.run(["jq", "-r", '.entries[] | "\\(.id) \\(.external_port) '
                                 '\\(.description)"'], input=result.out.encode("latin-1"),
                                stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertEqual(recipe.splitlines(), ["1 2 caf\u00e9 \"q\" \\   <b>",
                                               "2 4 web 2 22 -> 10.58.0.66 evil  x y z",
                                               "3 6 plain"])

    def test_numbers_and_booleans_from_the_router(self):
        # Each odd field beside its control: a number past its bound or no number at all
        # is unknown (null), never another number; NewEnabled as a number is enabled
        # unless 0, as a word a UPnP boolean.
        odd = [dict(mapping("a", "TCP", "192.168.1.5", 1, 2, "7"), NewLeaseDuration="4294967296"),
               dict(mapping("b", "TCP", "192.168.1.5", "99999", 3, "maybe"),
                    NewLeaseDuration="abc"),
               dict(mapping("c", "TCP", "192.168.1.5", 4, 5, "0"), NewLeaseDuration="4294967295"),
               mapping("d", "TCP", "192.168.1.5", 6, 7, "yes"),
               mapping("e", "TCP", "192.168.1.5", 8, 9, "no")]
        result, _ = run_isolated(["--json", "-list"], {"entries": odd})
        self.assertEqual(result.code, 0)
        entries = document(result)["entries"]
        self.assertEqual([(e["enabled"], e["internal_port"], e["lease_seconds"]) for e in entries],
                         [(True, 1, None), (None, None, None), (False, 4, 4294967295),
                          (True, 6, 0), (False, 8, 0)])

    def test_url_skips_the_search(self):
        with Namespace() as ns, FakeGateway(ns, http_port=5000, entries=THREE) as gw:
            found = run(["--json", "--url", "http://127.0.0.1:5000/rootDesc.xml", "-stats"],
                        ns.name)
            missed = run(["--json", "--url=http://127.0.0.1:5001/rootDesc.xml", "-stats"],
                         ns.name)
            self.assertEqual(gw.requests("ssdp"), [])
        self.assertEqual((found.code, document(found)["statistics"]["entries"]), (0, 3))
        self.assertEqual((missed.code, document(missed)["error"]["status"]), (3, 48))
        self.assertLess(missed.seconds, SEARCH_WAIT[0])  # refused at once, never searched

    def test_a_bad_url_or_interface_is_a_command_line_error(self):
        # Each told before any search, with its cause; the syntax screen without --json.
        bad = [
            (["--url", "http://127.0.0.1:99999/rootDesc.xml"], "--url: its port is not from 1 to 65535"),
            (["--url", "http://127.0.0.1:0/rootDesc.xml"], "--url: its port is not from 1 to 65535"),
            (["--url", "http://127.0.0.1:abc/rootDesc.xml"], "--url: its port is not a number"),
            (["--url", "http://[2001:db8::5:5000/rootDesc.xml"], "--url: its '[' is not closed"),
            (["--url", "http://[127.0.0.1]:5000/rootDesc.xml"],
             "--url: its brackets hold no IPv6 address alone"),
            (["--url", "http://127.0.0.1:5000"], "--url: it has no '/' after the host"),
            (["--interface", "e" * 200], "--interface takes an interface's name of 1 to 15 bytes"),
            (["--interface", "wlan7"], "--interface: no interface named \"wlan7\" can carry the search"),
        ]
        with Namespace() as ns, FakeGateway(ns, http_port=5000, entries=THREE) as gw:
            subprocess.run(["ip", "netns", "exec", ns.name, "ip", "link", "add", "d0", "type",
                            "veth", "peer", "name", "d1"], check=True)
            subprocess.run(["ip", "netns", "exec", ns.name, "ip", "link", "set", "d1", "up"],
                           check=True)
            subprocess.run(["ip", "netns", "exec", ns.name, "ip", "link", "set", "d0", "up",
                            "multicast", "on"], check=True)
            subprocess.run(["ip", "netns", "exec", ns.name, "ip", "addr", "add", "10.77.0.1/24",
                            "dev", "d0"], check=True)
            results = [run(["--json"] + options + ["-list"], ns.name) for options, _ in bad]
            screen = run(["--exit-status", "--url", "http://127.0.0.1:99999/x", "-list"], ns.name)
            searches = len(gw.requests("ssdp"))
            # The controls: a URL and an interface that are right are taken.
            good_url = run(["--json", "--url", "http://127.0.0.1:5000/rootDesc.xml",
                            "-list"], ns.name)
            good_interface = run(["--json", "--interface", "d0", "-list"], ns.name)
        for (options, cause), result in zip(bad, results):
            with self.subTest(options=options[0] + " " + options[1][:40]):
                self.assertEqual(result.code, 2, result.err)
                self.assertEqual(document(result)["error"],
                                 {"status": 0, "name": "syntax_error", "cause": cause,
                                  "message": "Portwrangler - Syntax Information"})
        self.assertEqual(screen.out, run(["-list", "-x"]).out)
        self.assertEqual(screen.code, 2)
        self.assertEqual(searches, 0)
        self.assertEqual((good_url.code, len(document(good_url)["entries"])), (0, 3))
        # Searched on d0, where no router answers: a missing router, not a typo.
        self.assertEqual((good_interface.code, document(good_interface)["error"]["status"]),
                         (3, 48))

    def test_help_and_version(self):
        usage = run(["--help"])
        self.assertEqual(usage.code, 0)
        for option in ("--json", "--exit-status", "--lease", "--keep", "--url", "--interface",
                       "--help", "--version"):
            self.assertIn(option, usage.out)
        version = run(["--version"])
        self.assertEqual((version.code, version.out[:13]), (0, "portwrangler "))
        # -help keeps its screen; so does a bad long option without --json.
        self.assertEqual(run(["--bogus", "-list"]).out, run(["-list", "-x"]).out)


class JsonKeep(unittest.TestCase):
    """--keep with --json: its events, its stop, its refusals (a test of their own: they
    mostly wait on short leases, beside the rest)."""

    def test_keep_on_the_screens(self):
        # The first add's report, one line per event on standard error, and the closing
        # frame once a signal ended the holding and removed the entry.
        with Namespace() as ns, FakeGateway(ns, entries=[]) as gw:
            keeper = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM, "--keep",
                                       "--lease", "2", "-add", "TCP", "22", "2222", "ssh"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(2.5)  # the add, and a renewal after 1 s
            keeper.send_signal(signal.SIGTERM)
            out, err = keeper.communicate(timeout=10)
            actions = gw.actions()
        self.assertEqual(keeper.returncode, 0)
        self.assertEqual(out.decode(), BANNER + outcome(ADDED, False) +
                         entry_block("ssh", "TCP", LOCAL, 22, 2222) +
                         "| Lease       |  %-50s  |\n" % "2 s granted of 2 s asked" + RULE +
                         CLOSING)
        lines = err.decode().splitlines()
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ added: TCP 2222 -> "
                                   r"127\.0\.0\.1:22, lease 2 s$")
        self.assertIn(" renewed: TCP 2222 -> 127.0.0.1:22, lease 2 s", lines[1])
        self.assertIn(" removed: TCP 2222 -> 127.0.0.1:22", lines[-1])
        self.assertEqual(actions[-2:], ["GetSpecificPortMappingEntry", "DeletePortMapping"])

    def test_a_stop_before_anything_is_held_ends_the_run_at_once(self):
        # The description takes 10 s to come; a stop at 0.5 s ends the read under way and the
        # run, with status 0 and nothing added. test_keep_on_the_screens is the control: a
        # stop once the entry is held removes it.
        for stop, json_out in ((signal.SIGINT, True), (signal.SIGTERM, True),
                               (signal.SIGHUP, False)):
            with self.subTest(signal.Signals(stop).name), Namespace() as ns, \
                    FakeGateway(ns, entries=[], raw={"GET": {"drip": 1, "gap": 10}}) as gw:
                keeper = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM] +
                                          (["--json"] if json_out else []) +
                                          ["--keep", "-add", "TCP", "22", "2222", "ssh"],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(0.5)
                keeper.send_signal(stop)
                stopped = time.monotonic()
                out, err = keeper.communicate(timeout=10)
                waited = time.monotonic() - stopped
                actions = gw.actions()
                self.assertEqual(keeper.returncode, 0)
                self.assertLess(waited, 5)  # half what the read would still take
                self.assertEqual(actions, [])
                self.assertEqual(len(gw.requests("http")), 1)  # the description, cut off
                if not json_out:
                    # The banner, then the closing frame; the event on standard error.
                    self.assertEqual(out.decode(), BANNER + CLOSING)
                    self.assertRegex(err.decode(), r"^\S+Z stopped: TCP 2222 -> :22, before "
                                                   r"anything was added\n$")
                    continue
                events = [json.loads(line) for line in out.decode().splitlines()]
                self.assertEqual([(e["event"], e["text"]) for e in events],
                                 [("stopped", "before anything was added")])
                jsonschema.validate(events[0], SCHEMA)

    def test_a_stop_during_a_silent_renewal_ends_within_its_bound(self):
        # The router takes the renewal's add and answers nothing from then on: the stop
        # ends the exchange under way, and the removal gets its own 15 s, not a run's
        # 60 s. The control answers everything: the entry is removed at once.
        silent = {"head": "", "body": "", "hold": 40}
        cases = [
            ("silent from the renewal on", {"AddPortMapping": dict(silent, after=1),
                                            "GetSpecificPortMappingEntry": dict(silent, after=2),
                                            "DeletePortMapping": silent},
             3, "remove failed", 14, 18),
            ("answering", {}, 0, "removed", 0, 3),
        ]
        for name, raw, code, last, low, high in cases:
            with self.subTest(name), Namespace() as ns, FakeGateway(ns, entries=[], raw=raw) as gw:
                keeper = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM, "--json",
                                           "--keep", "--lease", "2", "-add", "TCP", "22", "2222",
                                           "ssh"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(100):  # the renewal's add has arrived (within 10 s)
                    if gw.actions().count("AddPortMapping") >= 2:
                        break
                    time.sleep(0.1)
                time.sleep(0.3)
                keeper.send_signal(signal.SIGTERM)
                stopped = time.monotonic()
                out, _ = keeper.communicate(timeout=40)
                waited = time.monotonic() - stopped
                self.assertEqual(keeper.returncode, code)
                self.assertGreaterEqual(waited, low)
                self.assertLess(waited, high)
                events = [json.loads(line)["event"] for line in out.decode().splitlines()]
                self.assertEqual(events[-1], last)
                self.assertEqual(gw.actions()[-1], "DeletePortMapping")

    def hold(self, config, until=None, limit=20, options=()):
        """A --keep --json run holding TCP 2222 (lease 2 s; with `options` too) against a
        fake gateway of `config`, stopped by SIGTERM once its `until` (event, count) came:
        its events (schema-checked), its exit status, and the gateway's table after its
        last answer."""
        with Namespace() as ns, FakeGateway(ns, **dict({"entries": []}, **config)) as gw:
            keeper = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM, "--json",
                                       "--keep", "--lease", "2"] + list(options) +
                                      ["-add", "TCP", "22", "2222"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      text=True)
            lines = queue.Queue()
            threading.Thread(target=lambda: [lines.put(line) for line in keeper.stdout] +
                             [lines.put(None)], daemon=True).start()
            events, end = [], time.monotonic() + limit
            while time.monotonic() < end:
                try:
                    line = lines.get(timeout=end - time.monotonic())
                except queue.Empty:
                    break
                if line is None:
                    break
                event = json.loads(line)
                jsonschema.validate(event, SCHEMA)
                events.append(event)
                if until and [e["event"] for e in events].count(until[0]) == until[1]:
                    keeper.send_signal(signal.SIGTERM)  # the run this test started
            try:
                code = keeper.wait(timeout=10)
            except subprocess.TimeoutExpired:
                keeper.kill()
                code = "still running"
            keeper.stdout.close()
            table = [r["table"] for r in gw.requests("answer")][-1]
        return events, code, table

    def test_keep_through_refusals(self):
        # Each way a router refuses while the forwarding is held; the control is the plain
        # holding above (renewed, removed).
        ours = mapping("ssh", "TCP", LOCAL, 22, 2222)
        theirs = mapping("theirs", "TCP", "127.0.0.9", 22, 2222)
        cases = [
            # config, stop after, the events, exit status, the table at the end
            ({"fault_calls": {"AddPortMapping": {"2": 501}}}, ("renewed", 1),
             ["added", "refused", "renewed", "removed"], 0, []),
            ({"fault_calls": {"AddPortMapping": {"2": 501, "3": 501, "4": 501}}}, None,
             ["added", "refused", "refused", "refused", "removed"], 1, []),
            ({"readd_conflict": True}, ("added", 2),
             ["added", "conflict", "removed", "added", "removed"], 0, []),
            ({"faults": {"GetSpecificPortMappingEntry": 401}}, ("renewed", 2),
             ["added", "renewed", "renewed", "removed"], 0, []),
            # Our own leftover adopted (here by a router that will not add over it), and
            # the control: another host's entry, never touched.
            ({"entries": [ours], "readd_conflict": True}, ("adopted", 1),
             ["adopted", "removed"], 0, []),
            ({"entries": [theirs]}, None, ["taken"], 4, [["TCP", "2222", "127.0.0.9"]]),
            # A table that names internal port 0 for our entry: ours all the same.
            ({"zero_internal_port": True}, ("renewed", 1), ["added", "renewed", "removed"], 0,
             []),
        ]
        for config, until, expected, status, left in cases:
            with self.subTest(config=config):
                events, code, table = self.hold(config, until)
                self.assertEqual([e["event"] for e in events], expected)
                self.assertEqual(code, status)
                self.assertEqual(table, left)  # ours removed, whatever ended the holding
                texts = [e["text"] for e in events]
                if expected[1:2] == ["refused"]:
                    self.assertIn("HttpNotOk", events[1]["error"])
                    self.assertTrue(texts[1].endswith("; next try in 1 s"), texts[1])
                if status == 1:
                    self.assertTrue(texts[3].endswith("refused 3 times in a row: no longer held"))
        # A one-shot add keeps its clash screen for an entry of ours: 050, status 4.
        result, _ = run_isolated(["--exit-status", "-add", "TCP", "22", "2222"],
                                 {"entries": [ours]})
        self.assertEqual(result.code, 4)
        self.assertIn(DUPLICATE_ID % 1, result.out)

    def test_keep_says_what_the_router_granted(self):
        # A router that takes permanent entries alone: lease 0 and permanent in every
        # held event, the renewals still every second (the lease asked). The control
        # grants the 2 s asked.
        for config, lease, permanent in (({"only_permanent": True}, 0, True), ({}, 2, None)):
            with self.subTest(config=config):
                events, code, _ = self.hold(config, ("renewed", 2))
                self.assertEqual([(e["event"], e["lease_seconds"], e.get("permanent"))
                                  for e in events],
                                 [("added", lease, permanent), ("renewed", lease, permanent),
                                  ("renewed", lease, permanent), ("removed", None, None)])
                self.assertEqual(code, 0)

    def test_keep_any_port_holds_the_port_the_router_chose(self):
        # 2222 is another host's: the router chooses 2223, and every event names it,
        # whether the answer to the first add came (the control) or was lost.
        theirs = mapping("theirs", "TCP", "127.0.0.9", 22, 2222)
        for raw in ({}, {"AddAnyPortMapping": LOST}):
            with self.subTest(raw=raw):
                events, code, table = self.hold(
                    {"service": "WANIPConnection:2", "entries": [theirs], "raw": raw},
                    ("renewed", 1), options=["--any-port"])
                self.assertEqual([(e["event"], e["external_port"]) for e in events],
                                 [("added", 2223), ("renewed", 2223), ("removed", 2223)])
                self.assertEqual(code, 0)
                self.assertEqual(table, [["TCP", "2222", "127.0.0.9"]])


if __name__ == "__main__":
    unittest.main()
