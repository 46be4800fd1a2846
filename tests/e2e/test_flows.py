"""Every command's whole transcript against the fake gateway, piped, byte for byte."""

import unicodedata
import unittest

from harness import (ADD_REFUSED, ADDED, BANNER, BAR, CLOSING, DUPLICATE, DUPLICATE_ID,
                     ENUMERATE_FAILED, EXTERNAL, GAME, IDENTITY, LIST_HEAD, LOCAL, LONG, MISS_HEAD,
                     NO_RESULT, NOT_ADDED, NOT_REMOVED, NOT_REMOVED_ID, REMOVE_DENIED,
                     REMOVE_INVALID, REMOVED, REMOVED_ID, RULE, THREE, WEB, entry_block,
                     entry_lines, FakeGateway, information, mapping, Namespace, outcome, port_box,
                     run, search_box, status_box)


def columns(text):
    """Display columns of `text`: East Asian wide characters take two, marks none."""
    return sum(0 if unicodedata.combining(c) else
               2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def wpad(text, width, right=False):
    """`text` padded with blanks to `width` display columns, like %-Ns (or %Ns) for ASCII."""
    blanks = " " * max(0, width - columns(text))
    return blanks + text if right else text + blanks


class Flows(unittest.TestCase):
    def transcript(self, args, body, timeout=30, **config):
        """Runs `args` against a fresh fake gateway; returns it for further checks."""
        with Namespace() as ns, FakeGateway(ns, **config) as gw:
            result = run(args, ns.name, timeout=timeout)
            self.assertEqual(result.out, BANNER + body + CLOSING, args)
            self.assertEqual(result.code, 1)
            self.assertLess(result.seconds, 5, "a gateway that answers at once is not waited for")
            return gw.requests("http")

    def test_listings(self):
        cases = [
            (["-list"], LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) +
             entry_lines(3, LONG)),
            (["-list", "-id", "2"], LIST_HEAD + entry_lines(2, GAME) +
             search_box([("ID #", "002")], 1)),
            (["-list", "-q", "-id", "002"], LIST_HEAD + entry_lines(2, GAME) +
             search_box([("ID #", "002")], 1)),
            (["-list", "-id", "9"], MISS_HEAD + NO_RESULT + search_box([("ID #", "009")], 0)),
            (["-list", "-p", "tcp"], LIST_HEAD + entry_lines(1, WEB) + entry_lines(3, LONG) +
             search_box([("Protocol", "tcp")], 2)),
            (["-list", "-s", "DISABLED"], LIST_HEAD + entry_lines(2, GAME) +
             search_box([("Status", "Disabled")], 1)),
            (["-list", "-ip", "0.0.0.0"], LIST_HEAD + entry_lines(3, LONG) +
             search_box([("IP Address", "0.0.0.0")], 1)),
            (["-list", "-iport", "0080", "-s", "Enabled"], LIST_HEAD + entry_lines(1, WEB) +
             search_box([("Internal Port", "80"), ("Status", "Enabled")], 1)),
            (["-list", "-p", "UDP", "-eport", "9999"], LIST_HEAD + NO_RESULT +
             search_box([("Protocol", "UDP"), ("External Port", "9999")], 0)),
            (["-list", "-p", "Tcp", "-ip", "192.168.1.20", "-iport", "80", "-eport", "8080",
              "-s", "enabled"], LIST_HEAD + entry_lines(1, WEB) +
             search_box([("Protocol", "Tcp"), ("IP Address", "192.168.1.20"),
                         ("Internal Port", "80"), ("External Port", "8080"),
                         ("Status", "Enabled")], 1)),
            (["-list", "-stats"], LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) +
             entry_lines(3, LONG) + BAR + information(IDENTITY, LOCAL, EXTERNAL, (2, 1, 2, 0))),
            (["-stats"], information(IDENTITY, LOCAL, EXTERNAL, (2, 1, 2, 0))),
        ]
        for args, body in cases:
            with self.subTest(args=args):
                self.transcript(args, body, entries=THREE)

    def test_entry_id_reads_one_index(self):
        requests = self.transcript(["-list", "-id", "2"], LIST_HEAD + entry_lines(2, GAME) +
                                   search_box([("ID #", "002")], 1), entries=THREE)
        reads = [r["body"] for r in requests if r["action"] == "GetGenericPortMappingEntry"]
        self.assertEqual(len(reads), 1)
        self.assertIn("<NewPortMappingIndex>1</NewPortMappingIndex>", reads[0])

    def test_statistics_counts(self):
        five = [mapping("a", "TCP", "10.0.0.1", 1, 1, 1), mapping("b", "TCP", "10.0.0.1", 2, 2, 1),
                mapping("c", "TCP", "10.0.0.1", 3, 3, 0), mapping("d", "UDP", "10.0.0.1", 4, 4, 1),
                mapping("e", "GRE", "10.0.0.1", 5, 5, 0)]  # neither TCP nor UDP: counted as UDP
        self.transcript(["-stats"], information(IDENTITY, LOCAL, EXTERNAL, (3, 2, 2, 1)),
                        entries=five)
        body = "".join(entry_lines(i + 1, e) for i, e in enumerate(five))
        self.transcript(["-list", "-stats"], LIST_HEAD + body + BAR +
                        information(IDENTITY, LOCAL, EXTERNAL, (3, 2, 2, 1)), entries=five)

    def test_long_texts_are_shortened_for_display(self):
        fifty = mapping("F" * 50, "TCP", "10.0.0.1", 1, 1, 1)
        fifty_one = mapping("G" * 47 + "HIJK", "TCP", "10.0.0.1", 2, 2, 1)
        self.transcript(["-list"], LIST_HEAD +
                        "|   [001]: %-55s %3s\n" % ("F" * 50, "|") +
                        "|   TCP             10.0.0.1          1 - 1                 Enabled  |\n" + RULE +
                        "|   [002]: %-55s %3s\n" % ("G" * 47 + "...", "|") +
                        "|   TCP             10.0.0.1          2 - 2                 Enabled  |\n" + RULE,
                        entries=[fifty, fifty_one])
        identity = dict(IDENTITY, friendlyName="N" * 43, manufacturer="M" * 40 + "XYZW",
                        UPC=None, modelNumber="  padded on both sides  ")
        expected = dict(identity, modelNumber="padded on both sides")
        self.transcript(["-stats"], information(expected, LOCAL, EXTERNAL, (1, 0, 1, 0)),
                        entries=[fifty], identity=identity)

    def test_line_breaks_from_the_router_print_as_blanks(self):
        raw = ("<NewRemoteHost></NewRemoteHost><NewExternalPort>8080</NewExternalPort>"
               "<NewProtocol>TCP</NewProtocol><NewInternalPort>80</NewInternalPort>"
               "<NewInternalClient>10.0.0.5</NewInternalClient><NewEnabled>1</NewEnabled>"
               "<NewPortMappingDescription>up&#13;down\nleft\tright</NewPortMappingDescription>")
        shown = mapping("up down left right", "TCP", "10.0.0.5", 80, 8080, 1)
        identity = dict(IDENTITY, friendlyName="Fake\nGateway", modelName="a\rb")
        self.transcript(["-list", "-stats"], LIST_HEAD + entry_lines(1, shown) + BAR +
                        information(dict(identity, friendlyName="Fake Gateway", modelName="a b"),
                                    LOCAL, EXTERNAL, (1, 0, 1, 0)),
                        entries=[], raw_entries={"0": raw}, identity=identity)

    def test_markup_bytes_from_past_a_buffer_keep_the_walk_going(self):
        # A daemon that keeps 64 bytes of a description hands back what follows them in
        # its memory, sent raw: here a '<' that opens no tag, then one that looks like a
        # tag's start. The entries after them are still read.
        def raw(tail, external):
            return ("<NewRemoteHost></NewRemoteHost><NewExternalPort>%d</NewExternalPort>"
                    "<NewProtocol>TCP</NewProtocol><NewInternalPort>7000</NewInternalPort>"
                    "<NewInternalClient>10.0.0.5</NewInternalClient><NewEnabled>1</NewEnabled>"
                    "<NewPortMappingDescription>%s%s</NewPortMappingDescription>"
                    % (external, "D" * 64, tail))

        shown = [mapping("D" * 70, "TCP", "10.0.0.5", 7000, port) for port in (17000, 17001)]
        self.transcript(["-list", "-stats"],
                        LIST_HEAD + entry_lines(1, shown[0]) + entry_lines(2, shown[1]) +
                        entry_lines(3, GAME) + BAR +
                        information(IDENTITY, LOCAL, EXTERNAL, (2, 1, 2, 0)),
                        entries=[WEB, WEB, GAME],
                        raw_entries={"0": raw("\udcf0<\udc8b U", 17000),
                                     "1": raw("\udcf0\udc9d<PU", 17001)})

    def test_texts_from_outside_keep_their_frames(self):
        # UTF-8 from the router, a Latin-1 byte as another client stored it (sent raw),
        # controls that would move the cursor or reorder the line, East Asian wide text,
        # and descriptions typed in Latin-1 or with a control character.
        cafe = mapping("caf\u00e9 au lait", "TCP", "192.168.1.20", 80, 8080)
        wide = mapping("\u65e5\u672c\u8a9e" * 10, "UDP", "192.168.1.21", 53, 5353)
        stray = mapping("caf\udce9 peer\x01 \u202eevil\u0085", "TCP", "10.0.0.9", 25, 2525)
        identity = dict(IDENTITY, friendlyName="Routeur \u00c9lectrique \u00f1",
                        manufacturer="\u534e\u4e3a\u6280\u672f", modelName="\u00e9" * 30,
                        modelDescription="m" * 37 + "\u65e5\u672c\u65e5\u672c")
        shown = dict(identity, modelName="\u00e9" * 24,  # cut to its 49-byte field
                     modelDescription="m" * 37 + "\u65e5...")  # 45 columns: 39 and "..."

        def row(shown_id, description, protocol, client, internal, external):
            return ("|   [%.3d]: %s %3s\n" % (shown_id, wpad(description, 55), "|") +
                    "|   %s %s %10d - %-9d %15s %2s\n" % (protocol, wpad(client, 20, True),
                                                        internal, external, "Enabled", "|") + RULE)

        listing = (LIST_HEAD + row(1, "caf\u00e9 au lait", "TCP", "192.168.1.20", 80, 8080) +
                   row(2, "\u65e5\u672c\u8a9e" * 7 + "\u65e5\u672c...", "UDP", "192.168.1.21",
                       53, 5353) +
                   row(3, "caf\u00e9 peer   evil ", "TCP", "10.0.0.9", 25, 2525))
        info = information(shown, LOCAL, EXTERNAL, (2, 1, 2, 1))
        for name, wanted in (("manufacturer", 4), ("modelName", 24), ("modelDescription", 37)):
            info = info.replace("%-44s |" % shown[name], wpad(shown[name], 44) + " |")
            self.assertIn(wpad(shown[name], 44), info, name)
        result = self.run_utf8(["-list", "-stats"], entries=[cafe, wide, stray], identity=identity)
        self.assertEqual(result, BANNER + listing + BAR + info + CLOSING)
        self.assert_frames(result)

        block = entry_block("caf\u00e9 ctl char", "UDP", LOCAL, 80, 7004)
        for typed in (b"caf\xe9 ctl\x01char", "caf\u00e9 ctl\nchar".encode()):
            with Namespace() as ns, FakeGateway(ns, entries=[]) as gw:
                result = run(["-add", "UDP", "80", "7004", typed], ns.name)
                add = [r for r in gw.requests("http") if r["action"] == "AddPortMapping"]
            text = result.out.encode("latin-1").decode("utf-8")
            self.assertEqual(text, BANNER + outcome(ADDED, False) + block + CLOSING)
            self.assertIn("<NewPortMappingDescription>caf\u00e9 ctl char"
                          "</NewPortMappingDescription>", add[0]["body"])

        # The clashing entry's description is shortened like every other.
        flood = mapping("\u00e9" * 30000, "TCP", "10.0.0.2", 80, 8080)
        result = self.run_utf8(["-add", "TCP", "81", "8080"], entries=[flood])
        self.assertIn(entry_block("\u00e9" * 47 + "...", "TCP", "10.0.0.2", 80, 8080) + CLOSING,
                      result)
        self.assert_frames(result)

    def run_utf8(self, args, **config):
        with Namespace() as ns, FakeGateway(ns, **config):
            result = run(args, ns.name)
        self.assertEqual(result.code, 1)
        return result.out.encode("latin-1").decode("utf-8")

    def assert_frames(self, text):
        for line in text.splitlines():
            if not line.startswith("\t"):  # the highlight bar is tabs and blanks
                self.assertEqual(columns(line), 70, line)

    def test_empty_table(self):
        for args in (["-list"], ["-stats"], ["-list", "-stats"], ["-list", "-p", "TCP"]):
            with self.subTest(args=args):
                self.transcript(args, ENUMERATE_FAILED, entries=[])
        self.transcript(["-list", "-id", "1"], MISS_HEAD + NO_RESULT +
                        search_box([("ID #", "001")], 0), entries=[])

    def test_add(self):
        lower = mapping("old one", "tcp", "192.168.1.30", 81, 8080, 1)
        cases = [
            # (name, args, table, faults, body, actions sent)
            ("accepted on an empty table", ["-add", "TCP", "80", "8080", "web"], [], {},
             outcome(ADDED, False) + entry_block("web", "TCP", LOCAL, 80, 8080),
             ["GetExternalIPAddress", "GetGenericPortMappingEntry", "AddPortMapping"]),
            ("no description", ["-add", "udp", "-ip", "10.0.0.7", "53", "5353"], THREE, {},
             outcome(ADDED, False) + entry_block("", "udp", "10.0.0.7", 53, 5353),
             ["GetExternalIPAddress"] + ["GetGenericPortMappingEntry"] * 4 + ["AddPortMapping"]),
            ("same internal port, no -ip: no clash", ["-add", "TCP", "80", "9090"], THREE, {},
             outcome(ADDED, False) + entry_block("", "TCP", LOCAL, 80, 9090),
             ["GetExternalIPAddress"] + ["GetGenericPortMappingEntry"] * 4 + ["AddPortMapping"]),
            ("clash by external port and protocol", ["-add", "TCP", "80", "8080", "L" * 60],
             [GAME, lower], {},
             DUPLICATE + outcome(NOT_ADDED, True) + entry_block("L" * 47 + "...", "TCP", LOCAL, 80,
                                                                8080) +
             outcome(DUPLICATE_ID % 2, True) + entry_block("old one", "tcp", "192.168.1.30", 81, 8080),
             ["GetExternalIPAddress"] + ["GetGenericPortMappingEntry"] * 2),
            ("clash by client, protocol and internal port",
             ["-add", "TCP", "-ip", "192.168.1.20", "80", "9090", "again"], THREE, {},
             DUPLICATE + outcome(NOT_ADDED, True) +
             entry_block("again", "TCP", "192.168.1.20", 80, 9090) +
             outcome(DUPLICATE_ID % 1, True) + entry_block("web", "TCP", "192.168.1.20", 80, 8080),
             ["GetExternalIPAddress", "GetGenericPortMappingEntry"]),
            ("a client left over from the entry before does not clash",
             ["-add", "TCP", "-ip", "10.0.0.5", "22", "3000"],
             [mapping("a", "TCP", "10.0.0.5", 80, 1000), mapping("b", "TCP", None, 22, 2000)], {},
             outcome(ADDED, False) + entry_block("", "TCP", "10.0.0.5", 22, 3000),
             ["GetExternalIPAddress"] + ["GetGenericPortMappingEntry"] * 3 + ["AddPortMapping"]),
            ("refused by the gateway", ["-add", "TCP", "80", "8081"], [], {"AddPortMapping": 501},
             ADD_REFUSED + outcome(NOT_ADDED, True) + entry_block("", "TCP", LOCAL, 80, 8081),
             ["GetExternalIPAddress", "GetGenericPortMappingEntry", "AddPortMapping"]),
            ("quick: no walk, the gateway refuses the clash", ["-add", "-q", "TCP", "80", "8080"],
             THREE, {}, ADD_REFUSED + outcome(NOT_ADDED, True) + entry_block("", "TCP", LOCAL, 80, 8080),
             ["GetExternalIPAddress", "AddPortMapping"]),
            ("quick: accepted", ["-add", "-Q", "UDP", "1", "65535", "x"], THREE, {},
             outcome(ADDED, False) + entry_block("x", "UDP", LOCAL, 1, 65535),
             ["GetExternalIPAddress", "AddPortMapping"]),
        ]
        for name, args, table, faults, body, actions in cases:
            with self.subTest(name):
                requests = self.transcript(args, body, entries=table, faults=faults)
                self.assertEqual([r["action"] for r in requests if r["action"]], actions)

    def test_add_sends_the_description_whole_and_escaped(self):
        text = "AT&T <router> \"quoted\" " + "d" * 60
        requests = self.transcript(["-add", "TCP", "80", "8080", text],
                                   outcome(ADDED, False) +
                                   entry_block(text[:47] + "...", "TCP", LOCAL, 80, 8080),
                                   entries=[])
        add = [r["body"] for r in requests if r["action"] == "AddPortMapping"][0]
        self.assertIn("<NewPortMappingDescription>AT&amp;T &lt;router&gt; &quot;quoted&quot; " +
                      "d" * 60 + "</NewPortMappingDescription>", add)
        self.assertIn("<NewInternalClient>127.0.0.1</NewInternalClient>", add)

    def test_remove(self):
        cases = [
            ("found", ["-remove", "udp", "5000"], {},
             outcome(REMOVED_ID % 2, False) + entry_block("N/A", "UDP", "192.168.1.21", 5000, 5000)),
            ("found, no client, long description", ["-remove", "TCP", "2222"], {},
             outcome(REMOVED_ID % 3, False) + entry_block("L" * 47 + "...", "tcp", "0.0.0.0", 22,
                                                          2222)),
            ("not found", ["-remove", "TCP", "1234"], {},
             status_box(53, REMOVE_INVALID) + outcome(NOT_REMOVED, True) + port_box(1234)),
            ("refused after found", ["-remove", "TCP", "8080"], {"DeletePortMapping": 606},
             status_box(53, REMOVE_DENIED) + outcome(NOT_REMOVED_ID % 1, True) +
             entry_block("web", "TCP", "192.168.1.20", 80, 8080)),
            ("quick, refused", ["-remove", "-q", "TCP", "8080"], {"DeletePortMapping": 606},
             status_box(52, REMOVE_INVALID) + outcome(NOT_REMOVED, True) + port_box(8080)),
            ("quick, removed", ["-remove", "-q", "TCP", "8080"], {},
             outcome(REMOVED, False) + port_box(8080)),
        ]
        for name, args, faults, body in cases:
            with self.subTest(name):
                requests = self.transcript(args, body, entries=THREE, faults=faults)
                self.assertEqual([r["action"] for r in requests if r["action"]][-1],
                                 "DeletePortMapping")


if __name__ == "__main__":
    unittest.main()
