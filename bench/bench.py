"""Whole-run timings of `portwrangler -list`: against miniupnpd beside two modes of upnpc,
and against the fast fake gateway with system calls counted. See bench/run.sh."""

import json
import os
import platform
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from harness import PROGRAM, FakeGateway, Namespace, mapping  # noqa: E402

LAB = os.path.join(HERE, "..", "tests", "lab", "lab.sh")
LAB_PORT = 2869
LOCATION = "http://192.168.77.1:%d/rootDesc.xml" % LAB_PORT
PW_ROW = re.compile(r"^\|   \[\d{3,}\]: ", re.M)
UPNPC_ROW = re.compile(r"^ *\d+ (TCP|UDP) ", re.M)


# --- run inside a namespace: the timed processes start from here, so `ip netns exec`
# --- costs none of them anything

def timed(command):
    """Wall seconds, CPU seconds (user + system) and output of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL)
    out = child.stdout.read()
    _, _, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.stdout.close()
    return wall, usage.ru_utime + usage.ru_stime, out.decode("latin-1")


def measure(runs, commands):
    """Each command `runs` times, taking turns, so that drift hits them all alike."""
    results = [[] for _ in commands]
    for _ in range(runs):
        for i, command in enumerate(commands):
            results[i].append(timed(command))
    return results


def probe(url, runs):
    """Seconds of bare HTTP GETs of `url`: connect, request, read to the close."""
    host, port = re.match(r"http://([^:/]+):(\d+)", url).groups()
    path = url.split(host + ":" + port, 1)[1]
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        with socket.create_connection((host, int(port)), timeout=10) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHOST: %s:%s\r\n\r\n" % (path, host, port)).encode())
            while s.recv(65536):
                pass
        times.append(time.perf_counter() - start)
    return times


def search_answer(runs):
    """Seconds from one M-SEARCH for WAN IP to the daemon's reply: its own wait before it
    answers, which a client that searches pays and one pointed at the description does not.
    None for a search left unanswered for 3 s."""
    text = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
            "MAN: \"ssdp:discover\"\r\nMX: 2\r\n"
            "ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n\r\n").encode()
    times = []
    for _ in range(runs):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(3)
            start = time.perf_counter()
            s.sendto(text, ("239.255.255.250", 1900))
            try:
                s.recvfrom(2048)
                times.append(time.perf_counter() - start)
            except socket.timeout:
                times.append(None)
        time.sleep(0.1)  # the daemon's answer to one search kept apart from the next
    return times


def inner(namespace, request):
    """Runs a request of this script's own inside `namespace`."""
    done = subprocess.run(["ip", "netns", "exec", namespace, sys.executable, __file__, "inner",
                           json.dumps(request)], stdout=subprocess.PIPE, check=True, text=True)
    return json.loads(done.stdout)


# --- the report

def ms(seconds):
    return "%.1f" % (seconds * 1000)


def summary(samples):
    """Median and spread (lowest–highest) in milliseconds."""
    return "%s (%s–%s)" % (ms(statistics.median(samples)), ms(min(samples)), ms(max(samples)))


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    daemon = subprocess.run(["miniupnpd", "--version"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True).stdout.split("\n")[0]
    client = subprocess.run(["upnpc"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True).stdout
    client = re.search(r"version [\d.]+", client)
    return ("%s, %d cores, Linux %s; %s; upnpc %s; %s" %
            (cpu, os.cpu_count(), platform.release(), daemon.strip(),
             client.group(0) if client else "?", time.strftime("%Y-%m-%d %H:%M UTC",
                                                               time.gmtime())))


def require_listed(tool, row, results, count):
    """A timing counts only for a run that listed the whole table."""
    listed = {len(row.findall(output)) for _, _, output in results}
    if listed != {count}:
        raise RuntimeError("%s listed %s entries, not %d" % (tool, listed, count))


def lab(*args, **kwargs):
    return subprocess.run([LAB] + list(args), check=True, **kwargs)


def real_daemon(sizes, runs_of, report, targets):
    name = "pwbench%d" % os.getpid()
    lab("up", name, str(LAB_PORT), "1", stdout=subprocess.DEVNULL)
    try:
        rows = []
        filled = 0
        for count in sizes:
            while filled < count:
                filled += 1
                lab("client", name, "upnpc", "-u", LOCATION, "-e", "bench %d" % filled, "-a",
                    "192.168.77.2", str(10000 + filled), str(20000 + filled), "TCP",
                    stdout=subprocess.DEVNULL)
            runs = runs_of(count)
            tools = [[PROGRAM, "-list"], ["upnpc", "-l"], ["upnpc", "-u", LOCATION, "-l"],
                     [PROGRAM, "--url", LOCATION, "-list"]]
            answer = inner(name + "-client", {"measure": tools, "runs": runs,
                                              "probe": LOCATION, "probes": 7,
                                              "searches": 7})
            pw, discovering, pointed, pw_pointed = ([r[0] for r in tool]
                                                    for tool in answer["measure"])
            require_listed("portwrangler", PW_ROW, answer["measure"][0], count)
            require_listed("upnpc", UPNPC_ROW, answer["measure"][1], count)
            require_listed("portwrangler --url", PW_ROW, answer["measure"][3], count)
            bare = statistics.median(answer["probe"])
            answered = [t for t in answer["search"] if t is not None]
            search = summary(answered) if answered else "none"
            rows.append((count, runs, summary(pw), summary(discovering), summary(pointed),
                         summary(pw_pointed),
                         statistics.median(discovering) / statistics.median(pw),
                         statistics.median(pointed) / statistics.median(pw),
                         statistics.median(pointed) / statistics.median(pw_pointed), ms(bare),
                         search))
            if count == 10:
                targets.append(("real daemon, 10 entries: portwrangler at least 5 times faster "
                                "than `upnpc -l`", rows[-1][6] >= 5, "%.1f×" % rows[-1][6]))
                targets.append(("real daemon, 10 entries: portwrangler no slower than "
                                "`upnpc -u … -l`", rows[-1][7] >= 1, "%.2f×" % rows[-1][7]))
                # 0.95: the like-for-like pair may differ by the noise of a few runs
                targets.append(("real daemon, 10 entries: portwrangler --url no slower than "
                                "`upnpc -u … -l`", rows[-1][8] >= 0.95, "%.2f×" % rows[-1][8]))
            print("real daemon: %d entries done" % count, file=sys.stderr)
    finally:
        lab("down", name)
    report.append("## Real daemon (miniupnpd in the lab)\n")
    report.append("Wall time in ms, median (lowest–highest) of the runs, the four clients "
                  "taking turns. `upnpc -l` searches (it waits about 2 s after the last "
                  "reply); `upnpc -u` is pointed at the description and does not, nor does "
                  "`portwrangler --url`, its like for like. The bare "
                  "exchange is one HTTP GET of the description at that table size: the "
                  "daemon's own latency, which every request of every client pays. The "
                  "search answer is the time from one M-SEARCH for WAN IP to the daemon's "
                  "reply (median, lowest–highest of 7): the daemon's own wait before it "
                  "answers, which portwrangler's search pays and the two pointed clients do "
                  "not.\n")
    report.append("| entries | runs | portwrangler -list | upnpc -l | upnpc -u … -l | "
                  "portwrangler --url … -list | upnpc -l ÷ portwrangler | "
                  "upnpc -u ÷ portwrangler | upnpc -u ÷ portwrangler --url | bare exchange | "
                  "search answer |")
    report.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        report.append("| %d | %d | %s | %s | %s | %s | %.1f× | %.2f× | %.2f× | %s | %s |" % row)
    report.append("")


def fake_gateway(sizes, runs, report, targets):
    rows = []
    for count in sizes:
        entries = [mapping("bench %d" % i, "TCP", "127.0.0.1", 10000 + i, 20000 + i, 1)
                   for i in range(count)]
        with Namespace() as ns, FakeGateway(ns, entries=entries, log=None) as gw, \
                tempfile.TemporaryDirectory() as scratch:
            summary_path = os.path.join(scratch, "calls")
            answer = inner(ns.name, {
                "measure": [[PROGRAM, "-list"]], "runs": runs,
                "probe": gw.base + "/rootDesc.xml", "probes": 20,
                "once": ["strace", "-f", "-c", "-o", summary_path, PROGRAM, "-list"]})
            with open(summary_path) as f:
                total = [line for line in f if line.rstrip().endswith(" total")][0]
            calls = int(total.split()[3])  # % time, seconds, usecs/call, calls
        plain = answer["measure"][0]
        require_listed("portwrangler", PW_ROW, plain, count)
        rows.append({"count": count, "wall": [r[0] for r in plain], "cpu": [r[1] for r in plain],
                     "calls": calls, "bare": statistics.median(answer["probe"])})
        print("fake gateway: %d entries done" % count, file=sys.stderr)
    base = rows[0]
    report.append("## Fast fake gateway (tests/fakegw, its request log off)\n")
    report.append("Medians (lowest–highest) of %d runs in ms. CPU is the program's own, user "
                  "plus system. System calls are counted once per size under `strace -c -f`; "
                  "per entry is the growth over the empty table (whose listing ends at its "
                  "first read, status 54), divided by the entries; below 100 entries the "
                  "CPU growth is lost in the noise of starting the process.\n" % runs)
    report.append("| entries | wall | CPU | system calls | per entry | CPU per entry | "
                  "bare exchange |")
    report.append("|---|---|---|---|---|---|---|")
    for row in rows:
        extra = row["count"] or 1
        per_call = "–" if not row["count"] else "%.1f" % ((row["calls"] - base["calls"]) / extra)
        per_cpu = "–" if row["count"] < 100 else "%.3f" % (
            (statistics.median(row["cpu"]) - statistics.median(base["cpu"])) * 1000 / extra)
        report.append("| %d | %s | %s | %d | %s | %s | %s |" % (
            row["count"], summary(row["wall"]), summary(row["cpu"]), row["calls"], per_call,
            per_cpu, ms(row["bare"])))
    report.append("")
    by_count = {row["count"]: row for row in rows}
    if 10 in by_count:
        wall = statistics.median(by_count[10]["wall"])
        targets.append(("fake gateway, 10 entries: listed within a few milliseconds (≤ 10 ms)",
                        wall <= 0.010, ms(wall) + " ms"))
    per_entry = [(row["calls"] - base["calls"]) / row["count"] for row in rows if row["count"]]
    if per_entry:
        targets.append(("fake gateway: the same system calls per entry at every size "
                        "(one exchange each)", max(per_entry) - min(per_entry) <= 1,
                        ", ".join("%.1f" % p for p in per_entry)))


def micro(report):
    """The Google Benchmark of the per-entry parts, when it was built."""
    binary = os.path.join(os.path.dirname(PROGRAM), "bench", "micro_bench")
    if not os.path.exists(binary):
        report.append("(build/bench/micro_bench was not built: no libbenchmark-dev.)\n")
        return
    done = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.5"],
                          stdout=subprocess.PIPE, check=True, text=True)
    report.append("## Per-entry parts (build/bench/micro_bench, Google Benchmark)\n")
    report.append("| part | CPU per call |")
    report.append("|---|---|")
    for result in json.loads(done.stdout)["benchmarks"]:
        report.append("| %s | %.0f ns |" % (result["name"], result["cpu_time"]))
    report.append("")


def main(argv):
    if argv[:1] == ["inner"]:
        request = json.loads(argv[1])
        answer = {"measure": measure(request["runs"], request["measure"]),
                  "probe": probe(request["probe"], request["probes"])}
        if "searches" in request:
            answer["search"] = search_answer(request["searches"])
        if "once" in request:
            subprocess.run(request["once"], stdout=subprocess.DEVNULL, check=False)
        print(json.dumps(answer))
        return 0
    quick = "--quick" in argv
    if not shutil.which("upnpc") or not shutil.which("miniupnpd"):
        print("bench: needs miniupnpd and upnpc (Debian: miniupnpd-nftables, miniupnpc)",
              file=sys.stderr)
        return 2
    report = ["# Benchmark results", "", "Made by `bench/run.sh%s` on %s." %
              (" --quick" if quick else "", machine()), ""]
    targets = []
    real_daemon((0, 10) if quick else (0, 10, 100), lambda n: 3 if quick or n >= 100 else 5,
                report, targets)
    fake_gateway((0, 10, 100) if quick else (0, 10, 100, 1000), 3 if quick else 7, report,
                 targets)
    micro(report)
    report.append("## Targets\n")
    report.append("| target | met | measured |")
    report.append("|---|---|---|")
    for text, met, value in targets:
        report.append("| %s | %s | %s |" % (text, "yes" if met else "**no**", value))
    text = "\n".join(report) + "\n"
    print(text)
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write(text)
    return 0 if all(met for _, met, _ in targets) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
