"""How `portwrangler -list` and `upnpc -l` fare on a LAN as homes have one, against
miniupnpd holding ten entries: a clean link, 5 % and 20 % of the client's packets lost
each way, clashing adds at 20 %, a device that answers every search at once, a host that
answers with garbage, a VPN holding the default route. Prints a table of what each run
came to (whole, cut short with no error, each error status) and the lab's own counts.
Run it as `bench/run.sh lossy [OPTION...]`, as root."""

import argparse
import concurrent.futures
import contextlib
import os
import statistics
import subprocess
import sys
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lab"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "windows"))
import lan  # noqa: E402
from lan import (CLIENT, add_outcome, clash_add, listing_outcome,  # noqa: E402
                 upnpc_outcome)

RUN_LIMIT = 300  # seconds: a run that takes longer is counted as "timed out"
UPNPC = ["upnpc", "-l"]


class Site(lan.Lan):
    """One lab of the sweep, with the program's command on its client host."""

    def __init__(self, name, exe, base_prefix):
        self.name = name
        self.prefix = None
        if exe:
            import test_windows
            test_windows.BASE = base_prefix
            self.prefix = test_windows.Prefix()
            self.program = [test_windows.WINE_RUN, self.prefix.__enter__(), exe]
            self.crlf = True

    def close(self):
        self.down()
        if self.prefix is not None:
            self.prefix.__exit__(None, None, None)

    def timed(self, command):
        """(output, seconds) of one run of `command` (the program's arguments, or upnpc's
        whole command line), or ("", None) when it ran past its time. A run of the
        program that does not end as every run does (status 1, nothing on stderr) gives
        no output, which no outcome but "other" matches."""
        start = time.monotonic()
        try:
            if command[0] == "upnpc":
                out = subprocess.run([lan.LAB, "client", self.name] + command,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     encoding="latin-1", timeout=RUN_LIMIT).stdout
            else:
                code, out, err, _ = self.run_program(*command, timeout=RUN_LIMIT)
                out = out if (code, err) == (1, b"") else ""
        except subprocess.TimeoutExpired:
            return "", None
        return out, time.monotonic() - start


class Cell:
    """What the runs of one tool in one condition came to."""

    def __init__(self):
        self.outcomes = Counter()
        self.seconds = []
        self.packets = Counter()  # in/out seen and dropped, SYNs, listen overflows

    def add(self, outcome, seconds):
        self.outcomes[outcome if seconds is not None else "timed out"] += 1
        if seconds is not None:
            self.seconds.append(seconds)

    def count(self, counted, overflows_before):
        for way in ("in", "out"):
            self.packets[way + " seen"] += counted[way][0]
            self.packets[way + " dropped"] += counted[way][1]
        self.packets["syn"] += counted["syn"]
        self.packets["overflows"] += counted["overflows"] - overflows_before

    def merge(self, other):
        self.outcomes.update(other.outcomes)
        self.seconds += other.seconds
        self.packets.update(other.packets)

    def runs(self):
        return sum(self.outcomes.values())

    def summary(self, good="whole"):
        runs = self.runs()
        text = ["%d/%d %s" % (self.outcomes[good], runs, good)]
        for outcome, n in sorted(self.outcomes.items()):
            if outcome != good:
                text.append("%d× %s" % (n, outcome))
        return "; ".join(text)

    def figures(self):
        runs = self.runs() or 1
        lost = []
        for way in ("in", "out"):
            seen = self.packets[way + " seen"]
            if seen:
                lost.append("%s %.1f %%" % (way, 100.0 * self.packets[way + " dropped"] / seen))
        median = "%.2f s" % statistics.median(self.seconds) if self.seconds else "–"
        seen = self.packets["in seen"] + self.packets["out seen"]
        return "%s | %s | %.1f | %d | %d" % (median, ", ".join(lost) or "–",
                                             self.packets["syn"] / runs, seen,
                                             self.packets["overflows"])


def shares(total, workers):
    return [total // workers + (1 if i < total % workers else 0) for i in range(workers)]


def across(sites, total, work):
    """`work(site, share)` on every site at once, `total` runs shared among them; the
    cells it returns, merged."""
    merged = Cell()
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(sites)) as pool:
        for cell in pool.map(work, sites, shares(total, len(sites))):
            merged.merge(cell)
    return merged


def listing_runs(command, loss, vpn=False, device=None):
    """A work function: `command` run `share` times on a site with `loss` percent lost
    each way (the VPN up, or the chatty device answering, when asked)."""
    def work(site, share):
        cell = Cell()
        if share == 0:
            return cell
        table = site.upnpc_table()
        with contextlib.ExitStack() as stack:
            if device:
                stack.enter_context(site.device(device))
            if vpn:
                site.vpn(True)
                stack.callback(site.vpn, False)
            overflows = site.counters()["overflows"]
            site.loss(loss, loss)
            for _ in range(share):
                out, seconds = site.timed(command)
                judge = upnpc_outcome if command[0] == "upnpc" else listing_outcome
                cell.add(judge(out, table), seconds)
            cell.count(site.counters(), overflows)
            site.loss(0, 0)
        return cell
    return work


def clash_runs(loss):
    """A work function: adds that clash with the last entry of the walk, each on the
    lossy link; the table is read on the clean link before and after each. An add that
    changed the table is put back the way upnpc made it."""
    def work(site, share):
        cell = Cell()
        for _ in range(share):
            table = site.upnpc_table()
            args, refused = clash_add(table, len(table) - 1)
            overflows = site.counters()["overflows"]
            site.loss(loss, loss)
            out, seconds = site.timed(args)
            cell.count(site.counters(), overflows)
            site.loss(0, 0)
            outcome = add_outcome(out, args, refused)
            if site.upnpc_table() != table:
                outcome = "went through (%s)" % outcome
                entry = table[-1]
                site.upnpc("-e", entry["NewPortMappingDescription"], "-a", CLIENT,
                           str(entry["NewInternalPort"]), str(entry["NewExternalPort"]), "TCP")
            cell.add(outcome, seconds)
        return cell
    return work


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=40, help="runs per lossy case (40)")
    parser.add_argument("--few", type=int, default=5,
                        help="runs per clean, device and VPN case (5)")
    parser.add_argument("--jobs", type=int, default=3,
                        help="labs at work at once, one client each (3)")
    parser.add_argument("--exe", help="the Windows build, run under Wine, instead of "
                                      "the Linux one")
    parser.add_argument("--wine-prefix", default=os.path.join(HERE, "..", "build-windows",
                                                              "wine-bench"),
                        help="the base Wine prefix (made when missing)")
    parser.add_argument("--cases", default="clean,loss,clash,devices,vpn",
                        help="which rows, of clean,loss,clash,devices,vpn")
    parser.add_argument("--no-upnpc", action="store_true",
                        help="leave out upnpc's runs (the same for either build)")
    options = parser.parse_args(argv)
    cases = options.cases.split(",")
    exe = os.path.abspath(options.exe) if options.exe else None
    base = os.path.abspath(options.wine_prefix)
    if exe:
        subprocess.run([os.path.join(HERE, "..", "tests", "windows", "wine-run"), base],
                       check=True, timeout=300)
    program = "portwrangler.exe -list (Wine)" if exe else "portwrangler -list"
    rows = []  # (the LAN, the program's cell, upnpc's cell, the outcome that is good)
    started = time.monotonic()
    sites = []
    try:
        def make(k):
            site = Site("pwlan%dw%d" % (os.getpid(), k), exe, base)
            sites.append(site)
            site.up()
            return site
        with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
            list(pool.map(make, range(options.jobs)))
        one = sites[:1]

        def row(label, work_pw, work_upnpc, total, on=None, good="whole"):
            if options.no_upnpc:
                work_upnpc = None
            pw, other = (across(on or sites, total, work) if work else None
                         for work in (work_pw, work_upnpc))
            rows.append((label, pw, other, good))
            print(" | ".join([label] + [cell.summary(good) if cell else "–"
                                        for cell in (pw, other)]), file=sys.stderr, flush=True)

        if "clean" in cases:
            # One lab, one client at a time: these times are the ones to compare.
            row("clean", listing_runs(["-list"], 0), listing_runs(UPNPC, 0), options.few, one)
        if "loss" in cases:
            for loss in (5, 20):
                row("%d %% lost each way" % loss, listing_runs(["-list"], loss),
                    listing_runs(UPNPC, loss), options.runs)
        if "clash" in cases:
            row("20 % lost, -add clashing with the last entry", clash_runs(20), None,
                options.runs, good="050")
        if "devices" in cases:
            for mode in lan.CHATTY_MODES:
                row("a device answers at once: %s" % mode,
                    listing_runs(["-list"], 0, device=mode),
                    listing_runs(UPNPC, 0, device=mode), options.few)
        if "vpn" in cases:
            row("a VPN holds the default route and 239.0.0.0/8",
                listing_runs(["-list"], 0, vpn=True), listing_runs(UPNPC, 0, vpn=True),
                options.few)
            if not options.no_upnpc:
                row("the same, `upnpc -m lan0 -l`", None,
                    listing_runs(["upnpc", "-m", "lan0", "-l"], 0, vpn=True), options.few)
    finally:
        for site in sites:
            site.close()

    print("\n| the LAN | %s | `upnpc -l` |" % program)
    print("|---|---|---|")
    for label, pw, other, good in rows:
        print("| %s |" % " | ".join([label] + [cell.summary(good) if cell else "–"
                                               for cell in (pw, other)]))
    print("\nMedian wall time of a run; packets lost as the lab counted them (client's "
          "link, in and out); TCP connections opened per run (SYNs the client sent, "
          "retries included); packets seen; the daemon's listen-queue overflows.\n")
    print("| the LAN | tool | median | lost | SYNs per run | packets | overflows |")
    print("|---|---|---|---|---|---|---|")
    for label, pw, other, _ in rows:
        for tool, cell in ((program.split(" ")[0], pw), ("upnpc", other)):
            if cell:
                print("| %s | %s | %s |" % (label, tool, cell.figures()))
    print("\n%d labs at once; %.0f s in all." % (options.jobs, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
