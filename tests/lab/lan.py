"""A real LAN in the lab, as a home network is: miniupnpd holding a table of this host's
entries, packets lost on the client's link, a chatty device on the third host, a VPN
holding the default route. What a run of the program or of upnpc came to is read here
too, for the whole-run tests (test_lan.py) and the longer sweep (bench/lossy.py)."""

import contextlib
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from harness import (ADD_REFUSED, BANNER, BAR, CLOSING, ENUMERATE_FAILED, LIST_HEAD,  # noqa: E402
                     NO_EXTERNAL, NO_LOCAL, NO_ROUTER, NOT_ADDED, PYTHON, entry_block,
                     entry_lines, outcome, refused_as_duplicate)
from test_lab import CLIENT, LAB, LabClient, upnpc_rows  # noqa: E402

CHATTY = os.path.join(HERE, "chatty.py")
CHATTY_MODES = ("own-st", "echo-st", "bad-request", "garbage")
ENTRIES = 10

# The failures a run may end in when packets are lost: the status box of each.
LISTING_FAILURES = {48: NO_ROUTER, 49: NO_EXTERNAL, 54: ENUMERATE_FAILED, 55: NO_LOCAL}


class Lan(LabClient):
    """One lab; `name` is set by the user (a test class, or the sweep)."""

    def lab(self, *args, **kwargs):
        return subprocess.run([LAB] + list(args), check=True, **kwargs)

    def up(self, entries=ENTRIES):
        """The lab, its daemon holding `entries` TCP entries for this host (newest first,
        as the daemon lists them)."""
        self.lab("up", self.name, str(self.port))
        for i in range(1, entries + 1):
            self.upnpc("-e", "lan entry %d" % i, "-a", CLIENT, str(10000 + i), str(20000 + i),
                       "TCP")
        table = self.upnpc_table()
        if len(table) != entries:
            raise RuntimeError("the lab's daemon holds %d entries, not %d" % (len(table),
                                                                                entries))

    def down(self):
        subprocess.run([LAB, "down", self.name])

    def loss(self, inbound, outbound):
        """Loses that many percent of the client's packets each way; zeroes the counters."""
        self.lab("loss", self.name, str(inbound), str(outbound))

    def counters(self):
        """{"in": (seen, dropped), "out": (seen, dropped), "syn": n, "overflows": n}."""
        lines = subprocess.run([LAB, "counters", self.name], stdout=subprocess.PIPE, text=True,
                               check=True).stdout.split("\n")
        seen = {}
        for line in lines:
            if line:
                key, *values = line.split()
                numbers = tuple(int(v) for v in values)
                seen[key] = numbers if len(numbers) > 1 else numbers[0]
        return seen

    def vpn(self, on):
        self.lab("vpn", self.name, "on" if on else "off")

    @contextlib.contextmanager
    def device(self, mode):
        """The chatty device on the third host, answering in `mode`; yields a function
        that returns what it has logged (the searches it answered, the requests it
        served)."""
        with tempfile.TemporaryDirectory(prefix="pwlan-") as scratch:
            log = os.path.join(scratch, "device.jsonl")
            process = subprocess.Popen([LAB, "device", self.name, PYTHON, CHATTY, mode, log],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                line = process.stdout.readline()
                if not line.startswith("ready"):
                    raise RuntimeError("the chatty device did not start: " + line +
                                       process.stderr.read())

                def logged():
                    if not os.path.exists(log):
                        return []
                    with open(log) as f:
                        return [json.loads(row) for row in f if row.strip()]
                yield logged
            finally:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
                process.stdout.close()
                process.stderr.close()


def listing_lines(table):
    return [entry_lines(i + 1, entry) for i, entry in enumerate(table)]


def whole_listing(table):
    return BANNER + LIST_HEAD + "".join(listing_lines(table)) + CLOSING


def listing_outcome(out, table):
    """What a `-list` transcript shows of `table`: "whole" (byte for byte), "cut" (fewer
    entries presented as the whole table: the fault), the status ("054") of a run that
    ended in a failure (054 may follow the entries read, in order, with or without the
    highlight bar between), or "other"."""
    if out == whole_listing(table):
        return "whole"
    if not (out.startswith(BANNER) and out.endswith(CLOSING)):
        return "other"
    shown = out[len(BANNER):len(out) - len(CLOSING)]
    lines = listing_lines(table)
    # The entries a run may have read when its walk failed: none up to all of them (the
    # read after the last is the one that failed).
    read = [LIST_HEAD + "".join(lines[:k]) for k in range(len(lines) + 1)]
    for status, box in LISTING_FAILURES.items():
        if shown.endswith(box):
            before = shown[:len(shown) - len(box)]
            if status == 54 and before.endswith(BAR):
                before = before[:len(before) - len(BAR)]
            return "%03d" % status if before == "" or (status == 54 and before in read) else "other"
    return "cut" if shown in read[:-1] else "other"


def clash_add(table, position):
    """The arguments of an add that clashes with the entry at 0-based `position` of
    `table` (a TCP entry of this host): the same external port, another internal port,
    and its expected refusal."""
    entry = table[position]
    internal = entry["NewInternalPort"] + 20000
    args = ["-add", "TCP", str(internal), str(entry["NewExternalPort"])]
    refused = refused_as_duplicate(
        ("TCP", CLIENT, internal, entry["NewExternalPort"]), position + 1,
        (entry["NewPortMappingDescription"], entry["NewProtocol"], entry["NewInternalClient"],
         entry["NewInternalPort"], entry["NewExternalPort"]))
    return args, BANNER + refused + CLOSING


def add_outcome(out, args, refused):
    """What a clashing add's transcript shows: "050" (the whole `refused` transcript),
    the status of a failure it ended in ("051": not added; "048", "049", "055": before
    the check), "added" (the fault: the daemon was asked and said yes), or "other"."""
    _, protocol, internal, external = args
    if out == refused:
        return "050"
    not_added = (ADD_REFUSED + outcome(NOT_ADDED, True) +
                 entry_block("", protocol, CLIENT, int(internal), int(external)))
    if out == BANNER + not_added + CLOSING:
        return "051"
    for status, box in LISTING_FAILURES.items():
        if status != 54 and out == BANNER + box + CLOSING:
            return "%03d" % status
    if "| [Entry Added] " in out:
        return "added"
    return "other"


def upnpc_outcome(out, table):
    """What `upnpc -l` came to: "whole" (every entry, then the end of the table), "cut"
    (fewer entries, then the end of the table), "no IGD" (it found no router), "error N"
    (its reads ended with error N), or "other"."""
    if re.search(r"No (IGD UPnP Device|valid UPNP Internet Gateway Device) found", out):
        return "no IGD"
    end = re.search(r"GetGenericPortMappingEntry\(\) returned (-?\d+)", out)
    if not end:
        return "other"
    if end.group(1) != "713":
        return "error %s" % end.group(1)
    rows = upnpc_rows(out)
    if rows == table:
        return "whole"
    if rows == table[:len(rows)]:
        return "cut"
    return "other"
