"""Every framed line is 70 columns whatever the router sends: fields it fills are padded
or cut to their column, and IDs and counts past 999 take their extra digits from the
blanks beside them."""

import unittest

from harness import (BANNER, BAR, CLOSING, IDENTITY, LIST_HEAD, LOCAL, display_columns,
                     entry_lines, information, mapping, run_isolated)


def utf8(text):
    """`text` as the program's bytes read back as Latin-1, as the harness reads them."""
    return text.encode("utf-8").decode("latin-1")


HOSTILE = [
    mapping("protocol of four", "ABCD", "10.0.0.1", 1, 1),
    mapping("protocol of one", "T", "10.0.0.2", 2, 2),
    mapping("client of 31", "UDP", "1" * 31, 3, 3, 0),
]
WIDE = mapping("wide protocol", "\u4e2d", "10.0.0.4", 4, 4)
TABLE = HOSTILE + [WIDE] + [mapping("e%d" % i, "TCP" if i % 3 else "UDP", "10.1.%d.%d" % (
    i // 250, i % 250), 1000 + i, 10000 + i, i % 2) for i in range(997)]
EXTERNAL = "203.0.113.255.203.0.113.255.123"  # 31 characters


class Frames(unittest.TestCase):
    def test_hostile_fields_and_a_thousand_entries(self):
        result, _ = run_isolated(["-list", "-stats"],
                                 {"entries": TABLE, "external_ip": EXTERNAL, "lifetime": 120})
        wide = entry_lines(4, dict(WIDE, NewProtocol="PRO")).replace("PRO", "\u4e2d ")
        listing = "".join(entry_lines(i + 1, e) for i, e in enumerate(HOSTILE)) + wide + \
            "".join(entry_lines(i + 5, e) for i, e in enumerate(TABLE[4:]))
        tcp = [e for e in TABLE if e["NewProtocol"] == "TCP"]
        udp = [e for e in TABLE if e["NewProtocol"] != "TCP"]
        counts = (len(tcp), len(udp), sum(int(e["NewEnabled"]) for e in tcp),
                  sum(int(e["NewEnabled"]) for e in udp))
        self.assertGreater(min(counts), 0)
        self.assertEqual(result.out, BANNER + utf8(LIST_HEAD + listing + BAR +
                                                   information(IDENTITY, LOCAL, EXTERNAL, counts))
                         + CLOSING)
        # The transcript was built by the same rules: check the columns themselves too.
        self.assertIn("\n|   [1001]: e996 ", result.out)
        self.assertIn("\n| External IP: 203.0.113.25... ", result.out)
        for line in result.out.encode("latin-1").decode("utf-8").splitlines():
            if line.startswith(("|", "=")):
                self.assertEqual(display_columns(line), 70, line)


if __name__ == "__main__":
    unittest.main()
