"""Shared pieces of the whole-run tests: the built program, the screens every run prints,
network namespaces of the test's own, and the fake gateway inside one."""

import ctypes
import itertools
import json
import os
import signal
import subprocess
import tempfile
import textwrap
import time

PROGRAM = os.environ.get("PORTWRANGLER", os.path.join(os.path.dirname(__file__), "..", "..",
                                                      "build", "portwrangler"))
GOLDEN = os.path.join(os.path.dirname(__file__), "golden")
FAKEGW = os.path.join(os.path.dirname(__file__), "..", "fakegw", "fakegw.py")
PYTHON = "/usr/bin/python3"

RULE = "=" * 70 + "\n"
BLANK = "|" + " " * 68 + "|\n"
BANNER = (RULE + "| " + "$" * 21 + " " * 23 + "$" * 22 + " |\n" + RULE +
          RULE + BLANK * 4 + RULE)
CLOSING = RULE + BLANK * 2 + RULE
BAR = ("\t" * 8 + " " * 6 + "\n") * 2


def status_box(status, message):
    """A status box; a message wider than its row goes on in the rows below, between words."""
    title = "| Status: [%.3d] - (UPnP Router Error)                                |\n" % status
    rows = textwrap.wrap(message, 66, break_on_hyphens=False) or [""]
    return RULE + title + RULE + "".join("| %-66s |\n" % row for row in rows) + RULE


def display_columns(line):
    """The columns a terminal draws `line` (text) in: glibc's wcswidth under C.UTF-8."""
    libc = ctypes.CDLL("libc.so.6")
    libc.setlocale(6, b"C.UTF-8")  # LC_ALL
    libc.wcswidth.restype = ctypes.c_int
    return libc.wcswidth(ctypes.c_wchar_p(line), len(line))


def golden(name):
    """A screen body kept in golden/, as the program prints it."""
    with open(os.path.join(GOLDEN, name), encoding="latin-1") as f:
        return f.read()


class Run:
    def __init__(self, stdout, stderr, code, seconds):
        self.out = (stdout or b"").decode("latin-1")
        self.err = (stderr or b"").decode("latin-1")
        self.code = code
        self.seconds = seconds


def run(args, namespace=None, timeout=45, prefix=(), program=None, env=None):
    """Runs the program (or `program`) with its output piped, as a script would. A run that
    outlives `timeout` is stopped and comes back as a run with exit status "timed out",
    so the test that made it fails naming its own case rather than with a traceback."""
    command = list(prefix) + [program or PROGRAM] + list(args)
    if namespace is not None:
        command = ["ip", "netns", "exec", namespace] + command
    env = dict(os.environ, **(env or {}))
    if prefix and "ASAN_OPTIONS" in os.environ:  # LeakSanitizer cannot work under ptrace
        env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"
    start = time.monotonic()
    try:
        completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as expired:
        return Run(expired.stdout, (expired.stderr or b"") + b"\n[timed out]",
                   "timed out after %d s" % timeout, time.monotonic() - start)
    return Run(completed.stdout, completed.stderr, completed.returncode, time.monotonic() - start)


_names = itertools.count()


class Namespace:
    """A network namespace with only its loopback, up and multicast-capable, so that
    SSDP searches stay inside it."""

    def __init__(self):
        self.name = "pw-e2e-%d-%d" % (os.getpid(), next(_names))

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        # One ip for both (each process started costs a few milliseconds, and the suite
        # makes hundreds of namespaces).
        subprocess.run(["ip", "-n", self.name, "-batch", "-"], check=True, text=True,
                       input="link set lo up multicast on\nroute add 224.0.0.0/4 dev lo\n")
        return self

    def __exit__(self, *_):
        pids = subprocess.run(["ip", "netns", "pids", self.name], stdout=subprocess.PIPE,
                              text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["ip", "netns", "del", self.name])


def run_isolated(args, config, prefix=(), env=None, actions=False):
    """Runs `args` in a fresh namespace, against a fake gateway on port 5000 with `config`
    (over the table THREE), or with no gateway at all when `config` is None. Returns the
    run and how many searches the gateway saw (None without one), and with `actions` the
    SOAP actions it was sent, in order."""
    with Namespace() as ns:
        if config is None:
            return (run(args, ns.name, prefix=prefix, env=env), None) + (([],) if actions else ())
        with FakeGateway(ns, **dict({"http_port": 5000, "entries": THREE}, **config)) as gw:
            result = run(args, ns.name, prefix=prefix, env=env)
            return (result, len(gw.requests("ssdp"))) + ((gw.actions(),) if actions else ())


class FakeGateway:
    """The fake gateway in a namespace, configured with `config` (see fakegw.py)."""

    def __init__(self, namespace, **config):
        self.namespace = namespace
        self.dir = tempfile.TemporaryDirectory()
        self.log_path = os.path.join(self.dir.name, "requests.jsonl")
        config.setdefault("log", self.log_path)
        path = os.path.join(self.dir.name, "config.json")
        with open(path, "w") as f:
            json.dump(config, f)
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", namespace.name, PYTHON, FAKEGW, path],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("ready"):
            raise RuntimeError("fake gateway did not start: " + line + self.process.stderr.read())
        self.base = line.split()[1]

    def requests(self, kind=None):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            seen = [json.loads(line) for line in f if line.strip()]
        return [r for r in seen if kind is None or r["kind"] == kind]

    def taken_after_search(self):
        """Seconds from the first search it heard to the first action asked of it, on the
        clock the test shares: how long the program searched, its start-up left out."""
        heard = self.requests()
        searched = [r["at"] for r in heard if r["kind"] == "ssdp"]
        asked = [r["at"] for r in heard if r["kind"] == "http" and r["action"]]
        return asked[0] - searched[0] if searched and asked else None

    def actions(self):
        return [r["action"] for r in self.requests("http") if r["action"]]

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.process.stdout.close()
        self.process.stderr.close()
        self.dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


# Report pieces, transcribed from the formats the program prints.

# The outcome titles and status boxes, each written out once here.
ADDED = "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n"
NOT_ADDED = "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n"
REMOVED = "| [Entry Removed]   -   UPnP Router - Port Forwarding                |\n"
NOT_REMOVED = "| [Entry Not Removed]   -   UPnP Router - Port Forwarding            |\n"
REMOVED_ID = "| [Entry (%.3d) Removed]   -   UPnP Router - Port Forwarding          |\n"
NOT_REMOVED_ID = "| [Entry (%.3d) Not Removed]   -   UPnP Router - Port Forwarding      |\n"
DUPLICATE_ID = "| [Duplicate Entry]  -> [ID]: %.3d                                    |\n"
REMOVE_INVALID = "Remove Entry Failure -> Invalid Response From UPnP Router."
REMOVE_DENIED = "Remove Entry Failure -> Access Denied Response From UPnP Router."
NO_ROUTER = status_box(48, "SSDP Discovery Service Failure -> Unable To Locate UPnP Router.")
NO_EXTERNAL = status_box(49, "External IP Address Failure -> Invalid Response From UPnP Router.")
DUPLICATE = status_box(50, "Add Entry Failure -> Duplicate Entry Found On UPnP Router.")
ADD_REFUSED = status_box(51, "Add Entry Failure -> Invalid Response From UPnP Router.")
ENUMERATE_FAILED = status_box(54, "Enumerate Failure -> Invalid Response From UPnP Router.")
NO_LOCAL = status_box(55, "Internal IP Address Failure -> Invalid Response From UPnP Router.")
ADD_UNKNOWN = status_box(66, "Add Entry Unknown -> Answer Lost And Entry Unreadable On Router.")
REMOVE_UNKNOWN = status_box(67,
                            "Remove Entry Unknown -> Answer Lost And Entry Unreadable On Router.")
UNCONFIRMED = "| [Change Not Confirmed]   -   UPnP Router - Port Forwarding         |\n"

LIST_HEAD = (RULE + "| --------------  UPnP Router - Port Forwarding List  -------------- |\n" +
             RULE + "| Protocol |   Private IP   | [Internal - External] Port |   Status  |\n" + RULE)
MISS_HEAD = (RULE + "| --------------- UPnP Router - Port Forwarding List --------------- |\n" +
             RULE + "| Protocol |   Private IP   | [Internal - External] Port |   Status  |\n" + RULE)
NO_RESULT = "|   ---             ---                 ---                   ---    |\n" + RULE


def mapping(description, protocol, client, internal, external, enabled=1):
    """A table entry as the fake gateway serves it; client None leaves the element out."""
    entry = {"NewRemoteHost": "", "NewExternalPort": external, "NewProtocol": protocol,
             "NewInternalPort": internal, "NewEnabled": enabled,
             "NewPortMappingDescription": description, "NewLeaseDuration": 0}
    if client is not None:
        entry["NewInternalClient"] = client
    return entry


def shorten(text, limit, keep):
    return text if len(text) <= limit else text[:keep] + "..."


def fixed(text, columns, right=False):
    """A field a router fills, as the program shows it in `columns` columns (ASCII text):
    padded, or cut with "..." where the field has room for it."""
    if len(text) > columns:
        text = text[:columns - 3] + "..." if columns > 3 else text[:columns]
    return text.rjust(columns) if right else text.ljust(columns)


def number_cell(value, left, width):
    """`value` after `left` blanks in a cell of `width` columns; a longer value takes its room
    from the blanks after it, then from those before it."""
    left = min(left, max(width - len(value), 0))
    return (" " * left + value).ljust(width)


def entry_lines(shown_id, entry):
    description = shorten(entry["NewPortMappingDescription"], 50, 47) or "N/A"
    client = entry.get("NewInternalClient") or "0.0.0.0"
    status = "Enabled" if int(entry["NewEnabled"]) else "Disabled"
    ident = "%.3d" % shown_id  # past 999 its digits come out of the description's cell
    return ("|   [%s]: %-*s %3s\n" % (ident, 58 - len(ident), description, "|") +
            "|   %s %s %10d - %-9d %15s %2s\n" % (fixed(entry["NewProtocol"], 3),
                                                    fixed(client, 20, True),
                                                    entry["NewInternalPort"],
                                                    entry["NewExternalPort"], status, "|") + RULE)


def search_box(rows, found):
    text = (BAR + RULE + "| ------------------  UPnP Router - Search Query  ------------------ |\n" +
            RULE + "| List By ->       | Input ->                                        |\n" + RULE)
    for label, value in rows:
        text += "| %-16s | %-47s |\n" % (label, value) + RULE
    return text + RULE + ("| Found (%.3d) Matching Results." % found).ljust(69) + "|\n" + RULE


# A run whose every reply is passed over waits the search's 5 s out, and no longer: twice
# that as the bound, room for a busy machine (a second search would take it past).
SEARCH_WAIT = (4.5, 10.0)
LOCAL = "127.0.0.1"      # this host's address toward the gateway inside a namespace
EXTERNAL = "203.0.113.9"  # the fake gateway's external address

# The table most cases start from: a plain entry, a disabled one without description,
# and one with a long description and no client.
WEB = mapping("web", "TCP", "192.168.1.20", 80, 8080, 1)
GAME = mapping("", "UDP", "192.168.1.21", 5000, 5000, 0)
LONG = mapping("L" * 51, "tcp", None, 22, 2222, 1)
THREE = [WEB, GAME, LONG]

IDENTITY = {"friendlyName": "Fake Gateway", "manufacturer": "Portwrangler Tests",
            "manufacturerURL": "http://example.invalid/", "modelDescription": "Scriptable IGD",
            "modelName": "FakeGW", "modelNumber": "1",
            "modelURL": "http://example.invalid/fakegw", "serialNumber": "0001",
            "UPC": "000000000001", "presentationURL": "http://example.invalid/admin"}


def information(identity, internal, external, counts=None):
    """The information and network boxes, and the statistics when `counts` is
    (tcp, udp, tcp_enabled, udp_enabled)."""
    def cell(name):
        return shorten(identity.get(name) or "", 43, 40) or "N/A"
    rows = [("Manufacturer:", "manufacturer"), ("Model Name:", "modelName"),
            ("Model Description:", "modelDescription"), ("Model Number:", "modelNumber"),
            ("Manufacturer URL:", "manufacturerURL"), ("Model URL:", "modelURL"),
            ("Presentation URL:", "presentationURL"), ("Friendly Name:", "friendlyName"),
            ("Serial Number:", "serialNumber"), ("UPC:", "UPC")]
    text = RULE + "| -------------------  UPnP Router - Information ------------------- |\n" + RULE
    for label, name in rows:
        text += "| %-21s %-44s |\n" % (label, cell(name))
    text += (RULE + "| ---------------  UPnP Router - Network Information --------------- |\n" + RULE +
             "| Internal IP: %15s %39s\n" % (internal, "|") +
             "| External IP: %s %39s\n" % (fixed(external, 15, True), "|") + RULE)
    if counts is None:
        return text
    tcp, udp, tcp_on, udp_on = counts
    total, on = tcp + udp, tcp_on + udp_on
    def row(*cells):
        return "|" + "|".join(number_cell(*c) for c in cells) + "|\n"
    return text + (
        "| ------------ UPnP Router - Port Forwarding Statistics ------------ |\n" + RULE +
        "|  TCP  |  UDP  | TCP [Enabled/Disabled]  |  UDP [Enabled/Disabled]  |\n" + RULE +
        row(("%.3d" % tcp, 2, 7), ("%.3d" % udp, 2, 7),
            ("%.3d/%.3d" % (tcp_on, tcp - tcp_on), 10, 25),
            ("%.3d/%.3d" % (udp_on, udp - udp_on), 11, 26)) + RULE +
        "|  Entry Count  |         Enabled         |         Disabled         |\n" + RULE +
        row(("%.3d" % total, 5, 15), ("%.3d" % on, 11, 25), ("%.3d" % (total - on), 12, 26)) +
        RULE)


def entry_block(description, protocol, client, internal, external):
    return ("| Description |  %-50s  %1s\n" % (description or "N/A", "|") + RULE +
            "| Protocol |   Private IP %5s Internal  Port |  External  Port     |\n" % "|" + RULE +
            "|   %s %s %12d   %16d  %8s\n" % (fixed(protocol, 3), fixed(client, 20, True),
                                              internal, external, "|") + RULE)


def outcome(title, failed):
    return (BAR if failed else "") + RULE + title + RULE


def refused_as_duplicate(added, clash_id, existing):
    """The report of an add its clash check refused: the entry not added (protocol,
    client, internal and external port, no description) and the entry of ID `clash_id`
    it clashes with (description, protocol, client, internal and external port)."""
    return (DUPLICATE + outcome(NOT_ADDED, True) + entry_block("", *added) +
            outcome(DUPLICATE_ID % clash_id, True) + entry_block(*existing))


def port_box(port):
    """The removal outcome's line for the external port, when no entry is shown."""
    return "| External Port |  %5d                                             |\n" % port + RULE


# The IPv6 firewall's screens.
FIREWALL_TITLE = "| -----------------  UPnP Router - IPv6 Firewall  ------------------ |\n"
NO_FIREWALL = status_box(56, "Pinhole Failure -> No IPv6 Firewall Control On UPnP Router.")
PINHOLE_NOT_AUTHORIZED = status_box(
    57, "Pinhole Refused (606) -> Not Authorized For This Host Or Port.")
NO_SUCH_PINHOLE = status_box(61, "Pinhole Failure -> No Such Pinhole On UPnP Router.")
UNKNOWN = "Unknown: the router cannot tell"


def firewall_rows(*rows):
    return "".join("| %-18s%-48s |\n" % row for row in rows) + RULE


def firewall_status(enabled, allowed):
    return RULE + FIREWALL_TITLE + RULE + firewall_rows(
        ("Firewall:", "Enabled" if enabled else "Disabled"),
        ("Inbound Pinholes:", "Allowed" if allowed else "Not Allowed"))


def pinhole_box(title, failed, *rows, device="UPnP Router"):
    """A pinhole's outcome: its title (under the highlight bar when it failed), its rows."""
    line = ("| [%s]   -   %s - IPv6 Firewall" % (title, device)).ljust(69) + "|\n"
    return outcome(line, failed) + firewall_rows(*rows)


def pinhole_rows(protocol, client, port, lease):
    return [("Protocol:", protocol), ("Internal Client:", client), ("Port:", str(port)),
            ("Lease:", "%d s" % lease)]
