"""The whole command set against a real router daemon (miniupnpd) in a lab of network
namespaces, cross-checked with an independent UPnP client (upnpc)."""

import os
import re
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import (ADD_REFUSED, ADDED, BANNER, BAR, CLOSING, ENUMERATE_FAILED,  # noqa: E402
                     LIST_HEAD, MISS_HEAD, NO_RESULT, NO_ROUTER, NOT_ADDED, PROGRAM, REMOVED,
                     REMOVED_ID, SEARCH_WAIT, entry_block, entry_lines, information, mapping,
                     outcome, port_box, refused_as_duplicate, search_box)

LAB = os.path.join(os.path.dirname(__file__), "lab.sh")
CLIENT = "192.168.77.2"
EXTERNAL = "80.81.82.2"


class LabClient:
    """What a test does on a lab's client host: run the program or upnpc there, and read
    the daemon's table, rules and description. A subclass sets `name` (the lab's)."""
    port = 2869
    program = [PROGRAM]  # the command that runs the program; the Windows build's runs Wine
    crlf = False         # the program ends its lines with CR LF (made LF before comparing)

    def run_program(self, *args, timeout=30):
        """(exit status, output, error output, seconds) of one run, asserting nothing."""
        start = time.monotonic()
        done = subprocess.run([LAB, "client", self.name] + self.program + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=timeout)
        out = done.stdout.decode("latin-1")
        if self.crlf:
            out = out.replace("\r\n", "\n")
        return done.returncode, out, done.stderr, time.monotonic() - start

    def run_pw(self, *args, timeout=30):
        code, out, err, seconds = self.run_program(*args, timeout=timeout)
        self.assertEqual(code, 1)
        self.assertEqual(err, b"")
        return out, seconds

    def expect(self, args, body):
        out, _ = self.run_pw(*args)
        self.assertEqual(out, BANNER + body + CLOSING, args)

    def location(self):
        return "http://192.168.77.1:%d/rootDesc.xml" % self.port

    def upnpc(self, *args, discover=False):
        """upnpc's output; it is pointed at the description unless `discover` asks for its
        own search, which waits 2 s for replies."""
        where = [] if discover else ["-u", self.location()]
        return subprocess.run([LAB, "client", self.name, "upnpc"] + where + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              encoding="latin-1", timeout=30).stdout  # it prints bytes raw

    def upnpc_table(self):
        """The table as upnpc lists it, in index order, as entries of the fake gateway's form.
        A description may hold a line break (bytes from past the daemon's buffer)."""
        return upnpc_rows(self.upnpc("-l"))

    def ruleset(self):
        return subprocess.run([LAB, "gateway", self.name, "nft", "list", "ruleset"],
                              stdout=subprocess.PIPE, text=True, check=True).stdout

    def description(self):
        """The daemon's device description."""
        return subprocess.run([LAB, "client", self.name, "/usr/bin/python3", "-c",
                               "import sys, urllib.request; sys.stdout.write(urllib.request."
                               "urlopen(sys.argv[1], timeout=5).read().decode())",
                               self.location()],
                              stdout=subprocess.PIPE, text=True, check=True).stdout

    def identity(self):
        """The identity texts as the daemon's description gives them: the last element of
        each name in document order."""
        texts = {}
        for element in ElementTree.fromstring(self.description()).iter():
            name = element.tag.split("}")[-1]
            if element.text and element.text.strip():
                texts[name] = element.text.strip()
        return texts


def upnpc_rows(listed):
    """The entries in the output of `upnpc -l`, as entries of the fake gateway's form."""
    rows = re.findall(r"^ *\d+ (TCP|UDP) +(\d+)->([\d.]+):(\d+) +'(.*?)' '", listed,
                      re.M | re.S)
    return [mapping(d, p, c, int(i), int(e), 1) for p, e, c, i, d in rows]


class Lab(LabClient, unittest.TestCase):
    igd = 1

    def setUp(self):
        self.name = "pwl%d" % os.getpid()
        subprocess.run([LAB, "up", self.name, str(self.port), str(self.igd)], check=True)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])

    def test_add_list_search_stats_remove(self):
        self.expect(["-list"], ENUMERATE_FAILED)
        self.expect(["-add", "TCP", "80", "8080", "web server"],
                    outcome(ADDED, False) + entry_block("web server", "TCP", CLIENT, 80, 8080))
        self.assertIn("dnat ip to 192.168.77.2:80", self.ruleset())
        self.expect(["-add", "udp", "-ip", "192.168.77.9", "53", "5353"],
                    outcome(ADDED, False) + entry_block("", "udp", "192.168.77.9", 53, 5353))
        self.expect(["-add", "-q", "TCP", "-ip", "192.168.77.9", "22", "2222", "ssh"],
                    outcome(ADDED, False) + entry_block("ssh", "TCP", "192.168.77.9", 22, 2222))
        self.expect(["-add", "UDP", "5000", "5000"],
                    outcome(ADDED, False) + entry_block("", "UDP", CLIENT, 5000, 5000))

        table = self.upnpc_table()
        self.assertEqual(len(table), 4)
        by_port = {e["NewExternalPort"]: e for e in table}
        self.assertEqual(by_port[8080]["NewPortMappingDescription"], "web server")
        self.assertEqual(by_port[8080]["NewInternalClient"], CLIENT)
        self.assertEqual(by_port[5353]["NewProtocol"], "UDP")
        self.assertEqual(by_port[5353]["NewInternalClient"], "192.168.77.9")
        self.assertEqual(by_port[2222]["NewInternalPort"], 22)

        listing = "".join(entry_lines(i + 1, e) for i, e in enumerate(table))
        self.expect(["-list"], LIST_HEAD + listing)

        def matching(test):
            return [(i + 1, e) for i, e in enumerate(table) if test(e)]

        searches = [
            (["-p", "tcp"], [("Protocol", "tcp")], lambda e: e["NewProtocol"] == "TCP"),
            (["-ip", "192.168.77.9"], [("IP Address", "192.168.77.9")],
             lambda e: e["NewInternalClient"] == "192.168.77.9"),
            (["-iport", "22"], [("Internal Port", "22")], lambda e: e["NewInternalPort"] == 22),
            (["-eport", "5353"], [("External Port", "5353")],
             lambda e: e["NewExternalPort"] == 5353),
            (["-s", "Enabled"], [("Status", "Enabled")], lambda e: True),
            (["-s", "disabled"], [("Status", "Disabled")], lambda e: False),
            (["-p", "UDP", "-ip", CLIENT], [("Protocol", "UDP"), ("IP Address", CLIENT)],
             lambda e: e["NewProtocol"] == "UDP" and e["NewInternalClient"] == CLIENT),
        ]
        for args, rows, test in searches:
            with self.subTest(search=args):
                hits = matching(test)
                body = "".join(entry_lines(i, e) for i, e in hits) or NO_RESULT
                self.expect(["-list"] + args, LIST_HEAD + body + search_box(rows, len(hits)))

        self.expect(["-list", "-id", "3"], LIST_HEAD + entry_lines(3, table[2]) +
                    search_box([("ID #", "003")], 1))
        self.expect(["-list", "-id", "5"], MISS_HEAD + NO_RESULT + search_box([("ID #", "005")], 0))

        counts = (2, 2, 2, 2)
        stats = information(self.identity(), CLIENT, EXTERNAL, counts)
        self.expect(["-stats"], stats)
        self.expect(["-list", "-stats"], LIST_HEAD + listing + BAR + stats)

        # Clash by external port and protocol: refused before the daemon is asked.
        clash_id = table.index(by_port[8080]) + 1
        self.expect(["-add", "tcp", "81", "8080"],
                    refused_as_duplicate(("tcp", CLIENT, 81, 8080), clash_id,
                                         ("web server", "TCP", CLIENT, 80, 8080)))

        # Remove: found (with its ID), quick, not found.
        found_id = table.index(by_port[5353]) + 1
        self.expect(["-remove", "UDP", "5353"],
                    outcome(REMOVED_ID % found_id, False) +
                    entry_block("N/A", "UDP", "192.168.77.9", 53, 5353))
        self.assertNotIn("192.168.77.9:53", self.ruleset())
        self.expect(["-remove", "-q", "TCP", "2222"],
                    outcome(REMOVED, False) + port_box(2222))
        self.assertNotIn("192.168.77.9:22", self.ruleset())
        # This daemon answers the removal of an entry it does not have with success.
        self.expect(["-remove", "TCP", "4444"],
                    outcome(REMOVED, False) + port_box(4444))
        self.assertEqual(sorted(e["NewExternalPort"] for e in self.upnpc_table()), [5000, 8080])

    def test_quick_add_of_a_clash_is_refused_by_the_daemon(self):
        self.upnpc("-e", "first", "-a", "192.168.77.5", "25", "2525", "TCP")
        self.expect(["-add", "-q", "TCP", "-ip", "192.168.77.6", "26", "2525"],
                    ADD_REFUSED +
                    outcome(NOT_ADDED, True) + entry_block("", "TCP", "192.168.77.6", 26, 2525))

    def test_entry_added_by_upnpc_is_listed(self):
        self.upnpc("-e", "added by upnpc", "-a", "192.168.77.5", "25", "2525", "UDP")
        entry = mapping("added by upnpc", "UDP", "192.168.77.5", 25, 2525, 1)
        self.expect(["-list"], LIST_HEAD + entry_lines(1, entry))
        self.expect(["-remove", "udp", "2525"],
                    outcome(REMOVED_ID % 1, False) +
                    entry_block("added by upnpc", "UDP", "192.168.77.5", 25, 2525))
        self.assertEqual(self.upnpc_table(), [])

    def test_description_with_markup_round_trips(self):
        text = "AT&T <web> & more"
        self.expect(["-add", "TCP", "80", "8080", text],
                    outcome(ADDED, False) + entry_block(text, "TCP", CLIENT, 80, 8080))
        entry = mapping(text, "TCP", CLIENT, 80, 8080, 1)
        self.expect(["-list"], LIST_HEAD + entry_lines(1, entry))

    def stored_text_between_two_entries(self, text):
        """An entry stored by upnpc with the description `text` between two others: the
        listing, the statistics and the walk before an add read past it, and a removal
        finds it. This daemon lists the newest entry first."""
        self.upnpc("-e", "first", "-a", "192.168.77.5", "25", "2525", "UDP")
        self.upnpc("-e", text, "-a", "192.168.77.6", "26", "2626", "TCP")
        self.upnpc("-e", "last", "-a", "192.168.77.7", "27", "2727", "TCP")
        table = self.upnpc_table()
        self.assertEqual([e["NewPortMappingDescription"] for e in table], ["last", text, "first"])
        self.expect(["-list"],
                    LIST_HEAD + "".join(entry_lines(i + 1, e) for i, e in enumerate(table)))
        self.expect(["-stats"], information(self.identity(), CLIENT, EXTERNAL, (2, 1, 2, 1)))
        self.expect(["-add", "udp", "-ip", "192.168.77.8", "28", "2525"],
                    refused_as_duplicate(("udp", "192.168.77.8", 28, 2525), 3,
                                         ("first", "UDP", "192.168.77.5", 25, 2525)))
        self.expect(["-remove", "TCP", "2626"],
                    outcome(REMOVED_ID % 2, False) +
                    entry_block(text, "TCP", "192.168.77.6", 26, 2626))

    def test_bare_ampersand_from_the_daemon_keeps_the_table_whole(self):
        # upnpc sends the description unescaped and the daemon answers with it as stored,
        # a bare '&' inside its XML.
        self.stored_text_between_two_entries("a&b")

    def test_character_reference_xml_cannot_carry_keeps_the_table_whole(self):
        # The daemon hands a stored "&#27;" back raw, a reference to ESC that XML refuses;
        # it is read as the five characters it is.
        self.stored_text_between_two_entries("&#27;")

    def test_description_stored_raw_with_markup_keeps_the_table_whole(self):
        # Any host can store markup raw by wrapping it in CDATA: the daemon keeps "a<?b"
        # and hands it back unescaped. It is listed as text, the entries after it too,
        # and the walk before an add reads past it.
        self.upnpc("-e", "first", "-a", "192.168.77.5", "25", "2525", "UDP")
        self.upnpc("-e", "<![CDATA[a<?b]]>", "-a", "192.168.77.6", "26", "2626", "TCP")
        self.upnpc("-e", "last", "-a", "192.168.77.7", "27", "2727", "TCP")
        table = [mapping("last", "TCP", "192.168.77.7", 27, 2727),
                 mapping("a<?b", "TCP", "192.168.77.6", 26, 2626),
                 mapping("first", "UDP", "192.168.77.5", 25, 2525)]
        self.expect(["-list"],
                    LIST_HEAD + "".join(entry_lines(i + 1, e) for i, e in enumerate(table)))
        self.expect(["-add", "udp", "-ip", "192.168.77.8", "28", "2525"],
                    refused_as_duplicate(("udp", "192.168.77.8", 28, 2525), 3,
                                         ("first", "UDP", "192.168.77.5", 25, 2525)))

    def test_bytes_xml_cannot_carry_keep_the_table_whole(self):
        # The daemon keeps 64 bytes of a description and hands back what follows its
        # buffer; other clients store Latin-1 and control characters as they come. This
        # program sends UTF-8 with blanks for controls. The daemon lists newest first.
        def utf8(text):
            return text.encode("utf-8").decode("latin-1")

        self.expect(["-add", "TCP", "7000", "17000", "D" * 70],
                    outcome(ADDED, False) + entry_block("D" * 47 + "...", "TCP", CLIENT, 7000,
                                                        17000))
        self.upnpc("-e", "peer\x01", "-a", "192.168.77.5", "25", "2525", "TCP")
        self.upnpc("-e", b"caf\xe9", "-a", "192.168.77.5", "26", "2626", "UDP")
        for args, shown in (([b"UDP", b"80", b"7004", b"caf\xe9"], "caf\u00e9"),
                            ([b"TCP", b"81", b"7002", b"ctl\x01char"], "ctl char")):
            self.expect([b"-add"] + args, utf8(outcome(ADDED, False) + entry_block(
                shown, args[0].decode(), CLIENT, int(args[1]), int(args[2]))))
        stored = {e["NewExternalPort"]: e["NewPortMappingDescription"]
                  for e in self.upnpc_table()}
        self.assertEqual((stored[7004], stored[7002]), (utf8("caf\u00e9"), "ctl char"))
        self.assertEqual(stored[2626], "caf\xe9")

        table = [mapping("ctl char", "TCP", CLIENT, 81, 7002),
                 mapping("caf\u00e9", "UDP", CLIENT, 80, 7004),
                 mapping("caf\u00e9", "UDP", "192.168.77.5", 26, 2626),
                 mapping("peer ", "TCP", "192.168.77.5", 25, 2525),
                 mapping("D" * 70, "TCP", CLIENT, 7000, 17000)]
        self.assertEqual(sorted(stored), sorted(e["NewExternalPort"] for e in table))
        self.expect(["-list"],
                    utf8(LIST_HEAD + "".join(entry_lines(i + 1, e) for i, e in enumerate(table))))
        self.expect(["-stats"], information(self.identity(), CLIENT, EXTERNAL, (3, 2, 3, 2)))
        # The walk before an add reads past every one of them to the last entry.
        self.expect(["-add", "TCP", "82", "17000"],
                    refused_as_duplicate(("TCP", CLIENT, 82, 17000), 5,
                                         ("D" * 47 + "...", "TCP", CLIENT, 7000, 17000)))

    def test_no_gateway_gives_48(self):
        subprocess.run([LAB, "stop", self.name], check=True)
        out, seconds = self.run_pw("-list")
        self.assertEqual(out, BANNER + NO_ROUTER + CLOSING)
        # One search of about 5 s, both services at once (a second would pass the bound).
        self.assertGreater(seconds, SEARCH_WAIT[0])
        self.assertLess(seconds, SEARCH_WAIT[1])


class HighPortLab(Lab):
    """The same daemon serving its description and control URL from a port above 49151."""
    port = 49200

    def test_add_list_search_stats_remove(self):
        self.expect(["-add", "TCP", "80", "8080", "high"],
                    outcome(ADDED, False) + entry_block("high", "TCP", CLIENT, 80, 8080))
        self.expect(["-list"], LIST_HEAD + entry_lines(1, mapping("high", "TCP", CLIENT, 80, 8080)))
        self.assertIn("desc: %s\n" % self.location(), self.upnpc("-s", discover=True))

    test_quick_add_of_a_clash_is_refused_by_the_daemon = None
    test_entry_added_by_upnpc_is_listed = None
    test_bytes_xml_cannot_carry_keep_the_table_whole = None
    test_description_with_markup_round_trips = None
    test_bare_ampersand_from_the_daemon_keeps_the_table_whole = None
    test_no_gateway_gives_48 = None


class IgdVersion2Lab(Lab):
    """The daemon in its default configuration: it describes a WANIPConnection:2 service
    and still answers the version-1 search and actions."""
    igd = 2

    def test_description_names_version_2(self):
        xml = self.description()
        self.assertIn("urn:schemas-upnp-org:service:WANIPConnection:2", xml)
        self.assertNotIn("urn:schemas-upnp-org:service:WANIPConnection:1", xml)

    test_quick_add_of_a_clash_is_refused_by_the_daemon = None
    test_description_with_markup_round_trips = None
    test_no_gateway_gives_48 = None


if __name__ == "__main__":
    unittest.main()
