"""The Windows program under Wine, beside the Linux one. For the same answers it must
print the same bytes (line ends aside: a Windows program writes CR LF to a redirected
output, and they are made LF before comparing) and send the same requests, against the
fake gateway and against miniupnpd in the lab. On a terminal it colours its screens
through the Windows console calls.

Wine makes the sockets of its programs in its server process, one server per prefix:
every run here therefore uses a prefix of its own namespace's, a copy of the base prefix,
so that its server and sockets live in the namespace the test made."""

import concurrent.futures
import ctypes
import glob
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from harness import (ADDED, BANNER, CLOSING, NO_ROUTER, PROGRAM, REMOVED_ID,  # noqa: E402
                     THREE, FakeGateway, Namespace, entry_block, mapping, outcome, run)
sys.path.insert(0, os.path.join(HERE, "..", "lab"))
from test_scripts import Keeper  # noqa: E402
from pinholes import CLIENT6, DEVICE6, GATEWAY6, PYTHON, Lab6  # noqa: E402
from harness import RULE, pinhole_box, pinhole_rows  # noqa: E402
import test_portmap as portmap_lab  # noqa: E402
import test_lab6 as lab6  # noqa: E402

EXE = os.environ.get("PORTWRANGLER_EXE", "")
RAW_RUN = os.environ.get("PORTWRANGLER_RAW_RUN", "")
BASE = os.environ.get("PORTWRANGLER_WINE_PREFIX", "")
WINE_RUN = os.path.join(HERE, "wine-run")
LAB = os.path.join(HERE, "..", "lab", "lab.sh")


def setUpModule():
    # Made once, outside every namespace; only its copies ever run a program.
    subprocess.run([WINE_RUN, BASE], check=True, timeout=180)


class Prefix:
    """A Wine prefix of one namespace's own: a copy of the base prefix, with a server of
    its own. Leave the namespace (which ends its server) before this."""

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="pw-wine-", dir=os.path.dirname(BASE))
        self.path = os.path.join(self.dir, "prefix")
        # The program files are hard-linked (nothing writes them), but a server rewrites
        # a registry file with more than one link in place, under the other prefixes'
        # servers reading it: those get files of their own.
        subprocess.run(["cp", "-al", BASE, self.path], check=True)
        for name in glob.glob(os.path.join(self.path, "*.reg")):
            os.unlink(name)
            shutil.copy2(os.path.join(BASE, os.path.basename(name)), name)
        status = os.stat(self.path)
        self.server = "server-%x-%x" % (status.st_dev, status.st_ino)
        return self.path

    def __exit__(self, *_):
        for leftover in glob.glob("/tmp/wine-*/" + self.server):
            shutil.rmtree(leftover, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)


# Wine's own client writes this, never the program, when its link to the Wine server
# fails: seen once in some hundreds of runs on a loaded machine, as a process ended.
# Such a run tells nothing of the program. It is made again, once (from a fresh start
# where the test makes one per run), and that run is judged as any other.
WINE_CLIENT_ERROR = "wine client error:"


def wine_failed(err):
    """Whether the standard error `err` (text or bytes) shows Wine's own failure."""
    if isinstance(err, bytes):
        err = err.decode("latin-1")
    if WINE_CLIENT_ERROR not in err:
        return False
    print("\n  Wine failed under the run (%r); made again" % err[:80], file=sys.stderr)
    return True


def windows_command(prefix):
    return [WINE_RUN, prefix, EXE]


def lf(result):
    """The run with its CR LF line ends made LF."""
    result.out = result.out.replace("\r\n", "\n")
    return result


def raw_settings(line, code_page=0, terminate=None):
    """What raw_run.exe reads: start the Windows program with the command line `line`
    exactly as it stands, as a Windows shell hands one over (CreateProcessW); on a
    console at `code_page` (0: as it is), ended from outside once the file `terminate`
    exists, when given."""
    return {"PW_RAW_PROGRAM": windows_path(EXE),
            "PW_RAW_COMMAND_LINE": "portwrangler.exe " + line,
            "PW_RAW_CODE_PAGE": str(code_page),
            "PW_RAW_TERMINATE": windows_path(terminate) if terminate else ""}


def windows_path(path):
    """The Linux path `path` as a Windows program under Wine names it."""
    return "Z:" + path.replace("/", "\\")


def raw_windows_run(prefix, namespace, line):
    """The Windows program started with the command line `line`, its output piped; its
    run with CR LF made LF."""
    return lf(run([prefix, RAW_RUN], namespace, timeout=40, program=WINE_RUN,
                  env=raw_settings(line)))


def isolated(args, config, on_windows, raw_line=None):
    """`args` by one of the two programs against a fresh fake gateway with `config` (over
    the table THREE) in a namespace of its own, or with no gateway when `config` is None;
    on Windows the command line `raw_line` instead, when given. Returns the run, and what
    the gateway received: the HTTP requests and the searches."""
    result = isolated_once(args, config, on_windows, raw_line)
    if on_windows and wine_failed(result[0].err):
        result = isolated_once(args, config, on_windows, raw_line)
    return result


def isolated_once(args, config, on_windows, raw_line):
    with Prefix() as prefix, Namespace() as ns:
        def go():
            if on_windows and raw_line is not None:
                return raw_windows_run(prefix, ns.name, raw_line)
            if on_windows:
                return lf(run([prefix, EXE] + list(args), ns.name, timeout=40, program=WINE_RUN))
            return run(args, ns.name, timeout=40)
        if config is None:
            return go(), [], []
        with FakeGateway(ns, **dict({"http_port": 5000, "entries": THREE}, **config)) as gw:
            result = go()
            ended = time.monotonic()
            http = [(r["request"], r["head"], r["body"]) for r in gw.requests("http")]
            searches = gw.requests("ssdp")
            # The run's own time from its first search: Wine's start, which a loaded
            # machine stretches, comes before it.
            result.after_search = ended - searches[0]["at"] if searches else None
            return result, http, [s["datagram"] for s in searches]


FAMILY = "\U0001F468\u200d\U0001F469\u200d\U0001F467\u200d\U0001F466"
NON_ASCII = [mapping("caf\u00e9 \u2615", "TCP", "192.168.1.20", 80, 8080),
             mapping("\u65e5\u672c\u8a9e" * 20, "UDP", None, 53, 5353),
             mapping("caf\udce9 peer\x01", "TCP", "10.0.0.9", 25, 2525),
             # Marks that take no column, emoji a terminal may join, characters it may not
             # know: the same table on both builds.
             mapping("a" + "\u09cd" * 40, "TCP", "10.0.0.8", 81, 8181),
             mapping(FAMILY * 8, "UDP", "10.0.0.8", 82, 8282),
             mapping("x\u0378\U0001F6DC\u4dc0\ufdd0y", "TCP", "10.0.0.8", 83, 8383)]

# (command, gateway configuration or None for no gateway at all)
CASES = [
    (["-help"], None),
    (["-list", "-eport", "80", "-p", "TCP"], None),  # syntax error
    (["-add", "TCP", "80", "9090", "web server"], {}),
    (["-add", "udp", "-ip", "10.0.0.7", "53", "5353"], {}),
    (["-add", "TCP", "81", "8080"], {}),  # clash: 050
    (["-add", "-q", "TCP", "80", "8081"], {"faults": {"AddPortMapping": 718}}),  # 051
    (["-list"], {}),
    (["-list", "-p", "tcp", "-s", "enabled"], {}),
    (["-list", "-id", "2"], {}),
    (["-list", "-id", "9"], {}),
    (["-stats"], {}),
    (["-list", "-stats"], {"entries": NON_ASCII, "identity": {"friendlyName": "R\u00e9seau \u7f51"}}),
    (["-remove", "TCP", "8080"], {}),
    (["-remove", "-q", "UDP", "9999"], {}),  # refused: 052
    (["-add", "UDP", "80", "7004", "caf\u00e9 \u2615 \u65e5\u672c"], {"entries": []}),
    (["-list"], {"entries": []}),  # 054
    (["-list"], {"status": {"GetExternalIPAddress": 500}}),  # 049
]


# Long options: the same document, exit status and requests as the Linux program's.
JSON_CASES = [
    (["--json", "-list", "-stats"], {"entries": NON_ASCII}),
    (["--json", "--lease", "600", "-add", "TCP", "80", "9090", "caf\u00e9"], {"max_lease": 300}),
    (["--json", "-add", "TCP", "81", "8080"], {}),  # 4
    (["--json", "-remove", "-q", "UDP", "9999"], {}),  # 1
    (["--json", "--bogus", "-list"], None),  # 2
    (["--json", "-list"], {"die_after": {"GetGenericPortMappingEntry": 1}}),  # 5
    (["--exit-status", "-list"], {"external_ip": "100.64.0.9"}),  # and a note on stderr
]


@unittest.skipUnless(EXE and BASE, "no Windows build given (PORTWRANGLER_EXE)")
class Windows(unittest.TestCase):
    def test_long_options_as_linux(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            linux = list(pool.map(lambda c: isolated(c[0], c[1], False), JSON_CASES))
            windows = list(pool.map(lambda c: isolated(c[0], c[1], True), JSON_CASES))
        for (args, _), mine, theirs in zip(JSON_CASES, windows, linux):
            with self.subTest(args=args):
                self.assertEqual((mine[0].code, mine[0].err.replace("\r\n", "\n")),
                                 (theirs[0].code, theirs[0].err))
                self.assertEqual(mine[0].out, theirs[0].out)
                self.assertEqual(mine[1], theirs[1], "the same requests, byte for byte")
        self.assertEqual([w[0].code for w in windows], [0, 0, 4, 1, 2, 5, 0])


    def test_same_transcripts_and_requests_as_linux(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            linux = list(pool.map(lambda c: isolated(c[0], c[1], False), CASES))
            windows = list(pool.map(lambda c: isolated(c[0], c[1], True), CASES))
        for (args, _), mine, theirs in zip(CASES, windows, linux):
            with self.subTest(args=args):
                self.assertEqual((mine[0].code, mine[0].err), (1, ""))
                self.assertEqual(mine[0].out, theirs[0].out)
                self.assertEqual(mine[1], theirs[1], "the same requests, byte for byte")
                # The same datagrams in the same order. A program sends its search again at
                # 300 ms and 1 s while no router is taken; on a busy machine either may not
                # have taken it by then, so one list may go on past the other's end.
                self.assertEqual(bool(mine[2]), bool(theirs[2]), "both searched, or neither")
                shorter = min(len(mine[2]), len(theirs[2]))
                self.assertEqual(mine[2][:shorter], theirs[2][:shorter], "the same searches")
        # Every framed line of every screen takes 70 columns as a terminal draws it.
        libc = ctypes.CDLL("libc.so.6")
        libc.setlocale(6, b"C.UTF-8")  # LC_ALL
        for (args, _), (run_, _, _) in zip(CASES, windows):
            for line in run_.out.encode("latin-1").decode("utf-8").splitlines():
                if line.startswith(("|", "=")):
                    with self.subTest(args=args, line=line):
                        self.assertEqual(libc.wcswidth(line, len(line)), 70)
        # The description typed in UTF-8 went out as that UTF-8.
        typed = [i for i, (args, _) in enumerate(CASES) if "7004" in args][0]
        add = [body for _, head, body in windows[typed][1] if "#AddPortMapping" in head]
        self.assertIn("<NewPortMappingDescription>caf\u00e9 \u2615 \u65e5\u672c<", add[0])


@unittest.skipUnless(EXE and BASE, "no Windows build given (PORTWRANGLER_EXE)")
class WindowsConsole(unittest.TestCase):
    """Command lines as a Windows shell hands them over, the search without an answer, and
    the console: a class of its own, so that it runs beside the comparisons above."""

    def test_command_lines_split_by_the_c_runtime(self):
        # Command lines as a Windows shell hands them over, each with the arguments the C
        # runtime's rules make of it (quotes doubled inside quotes, a backslash before a
        # quote, backslashes before a closing quote, a tab), every character kept whatever
        # the ANSI code page. The run must be the Linux one's with those arguments.
        add = ["-add", "TCP", "80", "8080"]
        cases = [
            ('-add TCP 80 8080 "a""b \u65e5\u672c \u20ac"', add + ['a"b \u65e5\u672c \u20ac']),
            ('-add TCP 80 8080 \u65e5\\"q\\" \u0436', add + ['\u65e5"q"', "\u0436"]),
            ('-add\tTCP 80 8080 \u65e5\\"q\\"\u0436', add + ['\u65e5"q"\u0436']),
            ('-add TCP 80 8080 "C:\\\u03a9 dir\\\\"', add + ["C:\\\u03a9 dir\\"]),
            ("-add TCP 80 8080 caf\u00e9\U0001F468\u200d\U0001F469",
             add + ["caf\u00e9\U0001F468\u200d\U0001F469"]),
        ]
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            windows = list(pool.map(lambda c: isolated(None, {"entries": []}, True, c[0]), cases))
            linux = list(pool.map(lambda c: isolated(c[1], {"entries": []}, False), cases))
        for (line, args), mine, theirs in zip(cases, windows, linux):
            with self.subTest(line=line):
                self.assertEqual((mine[0].code, mine[0].err), (1, ""))
                self.assertEqual(mine[0].out, theirs[0].out)
                self.assertEqual(mine[1], theirs[1], "the same requests, byte for byte")
                sent = [body for _, head, body in mine[1] if "#AddPortMapping" in head]
                if len(args) == 5:  # the description as typed, XML-escaped
                    self.assertIn("<NewPortMappingDescription>%s<" %
                                  args[4].replace('"', "&quot;"), sent[0])
                else:  # a syntax error: nothing sent
                    self.assertEqual(sent, [])

    def test_no_gateway_gives_48_after_one_search(self):
        # A device that hears every search and answers none: what it hears is one search
        # (its three sends: both services, then the gateway device and any root device
        # twice), and the run ends the search's 5 s after its first send (Wine's exit
        # given 4 s more on a busy machine; a second search would take 5 s more).
        result, _, searches = isolated(["-list"], {"answer": []}, True)
        self.assertEqual(result.out, BANNER + NO_ROUTER + CLOSING)
        self.assertEqual(len(searches), 12)
        self.assertGreater(result.after_search, 4.5)
        self.assertLess(result.after_search, 9)

    def test_a_hold_sets_hook_is_told_a_routers_text_mended(self):
        # A .cmd hook that writes what it is told and leaves a process holding its output:
        # a router's hostile external address reaches it as none (the control: a plain
        # one as it is), its end is no failure, and Ctrl-C ends the run at once.
        folder = tempfile.mkdtemp(prefix="pwhook")
        self.addCleanup(shutil.rmtree, folder)
        windows = {name: windows_path(os.path.join(folder, name))
                   for name in ("set", "hook.cmd", "calls")}
        with open(os.path.join(folder, "set"), "w") as f:
            f.write("-add TCP 22 2222 ssh\n")
        with open(os.path.join(folder, "hook.cmd"), "w") as f:
            f.write("@echo off\r\n"
                    "echo [%%PORTWRANGLER_EVENT%%] [%%PORTWRANGLER_EXTERNAL_ADDRESS%%]>>%s\r\n"
                    "start /b cmd /c \"ping -n 20 127.0.0.1\"\r\n"
                    "echo ran\r\n" % windows["calls"])
        for name, answer, told in (("hostile", "1.2.3.4\n&amp;calc|$(id)", ""),
                                   ("plain", "203.0.113.9", "203.0.113.9")):
            with self.subTest(name), Prefix() as prefix, Namespace() as ns, \
                    FakeGateway(ns, entries=[], external_ip=answer):
                if os.path.exists(os.path.join(folder, "calls")):
                    os.unlink(os.path.join(folder, "calls"))
                holder = subprocess.Popen(
                    ["ip", "netns", "exec", ns.name, WINE_RUN, prefix, EXE, "--json", "--hold",
                     windows["set"], "--on-change", "cmd /c '%s'" % windows["hook.cmd"]],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                said = []
                ran = threading.Event()  # the first hook done: the stop's hook runs alone

                def read_errors():
                    for line in holder.stderr:
                        said.append(line)
                        if "hook: ran" in line:
                            ran.set()
                reader = threading.Thread(target=read_errors)
                reader.start()
                try:
                    first = holder.stdout.readline()
                    ran.wait(30)
                    holder.send_signal(signal.SIGINT)  # the run this test started, by its pid
                    stopped = time.monotonic()
                    holder.wait(timeout=40)
                    waited = time.monotonic() - stopped
                    out = holder.stdout.read()
                finally:
                    holder.kill()
                    reader.join(10)
                err = "".join(said)
                events = [json.loads(line)["event"] for line in [first] + out.splitlines()
                          if line.strip()]
                self.assertEqual((events[0], events[-1]), ("added", "removed"), events)
                self.assertNotIn("hook-failed", events)
                self.assertIn("hook: ran", err)
                self.assertLess(waited, 15)
                with open(os.path.join(folder, "calls")) as f:
                    calls = f.read().replace("\r\n", "\n")
                self.assertEqual(calls, "[added] [%s]\n[removed] [%s]\n" % (told, told))

    def test_console_colours_on_a_terminal(self):
        # Under Wine in a pseudo-terminal the console attributes become colour sequences:
        # the banner's two boxes, the report colour and the closing frame.
        with Prefix() as prefix, Namespace() as ns:
            plain, coloured = on_terminal(ns, " ".join(windows_command(prefix)) + " -help")
        piped = lf(isolated(["-help"], None, True)[0]).out
        self.assertEqual(screen_lines(plain, piped), [line.rstrip() for line in piped.splitlines()])
        # Bright green on blue, bright cyan on magenta, bright white on red, and the
        # closing frame green on blue again after the report.
        for sequence in ("\x1b[92m\x1b[44m" + "=" * 70, "\x1b[96m\x1b[45m" + "=" * 70,
                         "\x1b[97m\x1b[41m" + "=" * 70):
            self.assertIn(sequence, coloured)
        report = coloured.index("\x1b[97m\x1b[41m")
        self.assertIn("\x1b[92m\x1b[44m" + "=" * 70, coloured[report:])

    def test_console_text_whatever_its_code_page(self):
        # On a console left at code page 437, as many users' are, the report reaches the
        # screen as UTF-16: every character of the description drawn, the frame whole. The
        # code page is never changed, so a run ended from outside (here TerminateProcess,
        # while it waits for a router) leaves it as it was.
        typed = "caf\u00e9 \u2615 \u65e5\u672c \u0416"
        add = ["-add", "UDP", "80", "7004", typed]

        def scenario(line, terminate):
            with Prefix() as prefix, Namespace() as ns:
                if not terminate:
                    with FakeGateway(ns, http_port=5000, entries=[]):
                        return on_terminal(ns, raw_command(prefix, line, 437))[0]
                # No router answers: the run is ended once its search is heard, past the
                # banner, while it waits for an answer.
                with tempfile.TemporaryDirectory() as scratch, \
                        FakeGateway(ns, answer=[]) as hears:
                    heard = os.path.join(scratch, "heard")
                    watcher = threading.Thread(target=touch_when_heard, args=(hears, heard))
                    watcher.start()
                    try:
                        return on_terminal(ns, raw_command(prefix, line, 437, heard))[0]
                    finally:
                        watcher.join()

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            shown, ended = pool.map(lambda c: scenario(*c),
                                    [('-add UDP 80 7004 "%s"' % typed, False), ("-list", True)])
        piped = isolated(add, {"entries": []}, False)[0].out.encode("latin-1").decode("utf-8")
        self.assertEqual(screen_lines(shown, piped),
                         [line.rstrip() for line in piped.splitlines()])
        # Ended in the report colour, which nothing can give back after TerminateProcess.
        self.assertIn("\nconsole: code page 437 -> 437, colour 0x07 -> 0x4F; exit 0x9\n", ended)


def touch_when_heard(gateway, path):
    """Makes the file `path` once `gateway` has heard a search (looked for 30 s at most)."""
    for _ in range(300):
        if gateway.requests("ssdp"):
            break
        time.sleep(0.1)
    open(path, "w").close()


def raw_command(prefix, line, code_page, terminate=None):
    """The shell command that runs raw_run.exe with raw_settings(line, ...)."""
    settings = raw_settings(line, code_page, terminate)
    return "env " + " ".join(shlex.quote("%s=%s" % item) for item in settings.items()) + \
        " " + " ".join(shlex.quote(word) for word in [WINE_RUN, prefix, RAW_RUN])


def on_terminal(ns, command):
    """Runs the shell command `command` in a tmux pseudo-terminal of 80 x 60 inside the
    namespace; returns the screen and its scroll-back, plain and with colour sequences."""
    with tempfile.TemporaryDirectory() as scratch:
        socket = os.path.join(scratch, "tmux")
        done = os.path.join(scratch, "done")
        tmux = ["ip", "netns", "exec", ns.name, "tmux", "-S", socket]
        subprocess.run(tmux + ["new-session", "-d", "-x", "80", "-y", "60",
                               command + "; touch " + done + "; sleep 60"], check=True)
        try:
            for _ in range(300):  # bounded: 30 s
                if os.path.exists(done):
                    break
                time.sleep(0.1)
            if not os.path.exists(done):
                raise AssertionError("the program did not finish")
            return [subprocess.run(tmux + ["capture-pane", "-p"] + extra + ["-S", "-600"],
                                   stdout=subprocess.PIPE, text=True, check=True).stdout
                    for extra in ([], ["-e"])]
        finally:
            subprocess.run(tmux + ["kill-server"], stderr=subprocess.DEVNULL)


def screen_lines(screen, piped):
    """The lines of `screen` from the first rule line on, as many as `piped` has, without
    trailing blanks (a terminal keeps none; the highlight bar is blanks only)."""
    shown = [line.rstrip() for line in screen.splitlines()]
    start = shown.index("=" * 70)
    return shown[start:start + len(piped.splitlines())]


@unittest.skipUnless(EXE and BASE, "no Windows build given (PORTWRANGLER_EXE)")
class WindowsLab(unittest.TestCase):
    """The Windows program against miniupnpd, checked against the Linux one on the same
    table."""

    def setUp(self):
        self.name = "pww%d" % os.getpid()
        subprocess.run([LAB, "up", self.name], check=True)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])
        # The lab's teardown ends the prefix's server with the namespace: it comes after.
        prefix = Prefix()
        self.prefix = prefix.__enter__()
        self.addCleanup(prefix.__exit__, None, None, None)

    def pw(self, args, on_windows):
        program = windows_command(self.prefix) if on_windows else [PROGRAM]
        for _ in range(2):
            done = subprocess.run([LAB, "client", self.name] + program + list(args),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=40)
            if not (on_windows and wine_failed(done.stderr)):
                break
        self.assertEqual((done.returncode, done.stderr), (1, b""))
        return done.stdout.decode("utf-8").replace("\r\n", "\n")

    def test_keep_renews_and_stops_at_a_taken_port(self):
        # Wine sends no Ctrl-Break or close event: the removal on those is not tested
        # here (Ctrl-C is, for a held set, below); the loop itself is.
        self.program = windows_command(self.prefix)
        keeper = Keeper(self, ["--lease", "4", "-add", "TCP", "22", "2222", "ssh"])
        self.addCleanup(keeper.close)
        self.assertIsNotNone(keeper.wait_for("added", 20), keeper.seen)
        self.assertIsNotNone(keeper.wait_for("renewed", 10), keeper.seen)
        upnpc = [LAB, "client", self.name, "upnpc", "-u", "http://192.168.77.1:2869/rootDesc.xml"]
        subprocess.run(upnpc + ["-d", "2222", "TCP"], stdout=subprocess.DEVNULL, check=True)
        subprocess.run(upnpc + ["-e", "theirs", "-a", "192.168.77.5", "22", "2222", "TCP"],
                       stdout=subprocess.DEVNULL, check=True)
        self.assertIsNotNone(keeper.wait_for("taken", 10), keeper.seen)
        self.assertEqual(keeper.end(), 4)
        self.assertIn("'theirs'", subprocess.run(upnpc + ["-l"], stdout=subprocess.PIPE,
                                                 text=True).stdout)

    def test_hold_a_set_through_a_restart_an_edit_and_a_stop(self):
        self.program = windows_command(self.prefix)
        folder = tempfile.mkdtemp(prefix="pwhold")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "hold.conf")
        with open(path, "w") as f:
            f.write("-add TCP 22 2222 ssh\n-add UDP 27015 27015 game\n")
        holder = Keeper(self, [], mode=("--hold", windows_path(path)))
        self.addCleanup(holder.close)
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015}, 30), holder.seen)
        # The daemon restarts with an empty table: its announcements bring the entries
        # back, well before a renewal of their hour-long leases.
        subprocess.run([LAB, "stop", self.name], check=True)
        subprocess.run([LAB, "start", self.name], check=True)
        self.assertIsNotNone(holder.wait_for_all("added", {2222, 27015}, 10), holder.seen)
        self.assertEqual(self.ports(), ["2222", "27015"])
        # The file edited (no SIGHUP on Windows): read again within seconds; the line
        # kept is left alone, the one gone removed, the new one added.
        holder.seen.clear()
        with open(path, "w") as f:
            f.write("-add UDP 27015 27015 game\n-add TCP 8080 8080 web\n")
        self.assertIsNotNone(holder.wait_for_all("added", {8080}, 15), holder.seen)
        self.assertEqual(holder.seen, ["reloaded", "removed", "added"])
        self.assertEqual(self.ports(), ["8080", "27015"])
        # Ctrl-C (Wine makes SIGINT a CTRL_C_EVENT): every entry removed, status 0.
        holder.process.send_signal(signal.SIGINT)
        self.assertIsNotNone(holder.wait_for_all("removed", {8080, 27015}, 15), holder.seen)
        self.assertEqual(holder.end(), 0)
        self.assertEqual(self.ports(), [])

    def ports(self):
        """The external ports of the daemon's table, as upnpc lists them."""
        listed = subprocess.run([LAB, "client", self.name, "upnpc", "-u",
                                 "http://192.168.77.1:2869/rootDesc.xml", "-l"],
                                stdout=subprocess.PIPE, text=True, timeout=30).stdout
        return sorted(re.findall(r"^ *\d+ (?:TCP|UDP) +(\d+)->", listed, re.M), key=int)

    def test_commands_against_the_daemon(self):
        client = "192.168.77.2"
        self.assertEqual(self.pw(["-add", "TCP", "80", "8080", "caf\u00e9 web"], True),
                         BANNER + outcome(ADDED, False) +
                         entry_block("caf\u00e9 web", "TCP", client, 80, 8080) + CLOSING)
        self.pw(["-add", "UDP", "-ip", "192.168.77.9", "53", "5353"], False)
        for args in (["-list"], ["-list", "-p", "tcp"], ["-list", "-ip", "192.168.77.9"],
                     ["-list", "-id", "2"], ["-stats"], ["-list", "-stats"],
                     ["-add", "tcp", "81", "8080"]):
            with self.subTest(args=args):
                self.assertEqual(self.pw(args, True), self.pw(args, False))
        listed = self.pw(["-list"], False)
        found = 1 if listed.index("caf\u00e9 web") < listed.index("5353") else 2
        self.assertEqual(self.pw(["-remove", "TCP", "8080"], True),
                         BANNER + outcome(REMOVED_ID % found, False) +
                         entry_block("caf\u00e9 web", "TCP", client, 80, 8080) + CLOSING)
        self.assertNotIn("8080", self.pw(["-list"], False))


@unittest.skipUnless(EXE and BASE, "no Windows build given (PORTWRANGLER_EXE)")
class WindowsPinholes(unittest.TestCase):
    """The Windows program's pinholes over IPv6 against miniupnpd, proven by packets: the
    host's own IPv6 address as Windows' own calls give it."""

    def test_pinhole_opens_and_closes_as_on_linux(self):
        lab = Lab6("pwwp%d" % os.getpid())
        lab.up()
        self.addCleanup(lab.down)
        prefix = Prefix()
        windows = windows_command(prefix.__enter__())
        self.addCleanup(prefix.__exit__, None, None, None)

        def pw(program, *args):
            for _ in range(2):
                done = subprocess.run([LAB, "client", lab.name] + program + list(args),
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      timeout=40)
                if not wine_failed(done.stderr):
                    break
            self.assertEqual((done.returncode, done.stderr), (1, b""))
            return done.stdout.decode("utf-8").replace("\r\n", "\n")

        self.assertEqual(pw(windows, "-pinhole", "-status"), pw([PROGRAM], "-pinhole", "-status"))
        port = 5070
        with lab.listener(port):
            self.assertEqual(lab.probe(port), "dropped")
            added = pw(windows, "-pinhole", "-add", "TCP", str(port), "600")
            hole = added.split("| Pinhole ID:")[1].split()[0]
            self.assertEqual(added, BANNER + pinhole_box(
                "Pinhole Added", False, ("Pinhole ID:", hole),
                *pinhole_rows("TCP", CLIENT6, port, 600)) + CLOSING)
            self.assertEqual(lab.probe(port), "answered")
            self.assertEqual(pw(windows, "-pinhole", "-remove", hole), BANNER + pinhole_box(
                "Pinhole Removed", False, ("Pinhole ID:", hole)) + CLOSING)
            self.assertEqual(lab.probe(port), "dropped")

    def test_keep_holds_a_pcp_pinhole_through_a_restart_until_ctrl_c(self):
        # The daemon with PCP alone and a least lifetime of 6 s: a held pinhole is renewed
        # every 3 to 3.75 s. The Linux program holds one beside the Windows one, on the
        # same host: its event lines are the ones to match, and its listener shares UDP
        # 5350 of ff02::1 with the Windows one's (SO_REUSEADDR: on Windows every socket
        # bound so to a multicast port hears the group), so both must hear an announcement.
        least = lab6.MIN_LIFETIME
        lab = Lab6("pwwk%d" % os.getpid(), portmap="only", min_lifetime=least)
        lab.up()
        self.addCleanup(lab.down)
        prefix = Prefix()
        windows = windows_command(prefix.__enter__())
        self.addCleanup(prefix.__exit__, None, None, None)
        state = tempfile.mkdtemp(prefix="pw-state-win6-")
        self.addCleanup(shutil.rmtree, state, True)
        port = 5071  # the Windows program's; the Linux one's is the next
        keepers, programs = {}, {}
        for via, program, folder in (
                ("windows", windows, windows_path(os.path.join(state, "w"))),
                ("linux", [PROGRAM], os.path.join(state, "l"))):
            programs[via] = ["env", "PORTWRANGLER_STATE_DIR=" + folder] + program
            held = types.SimpleNamespace(name=lab.name, program=programs[via][:2] + [
                "PORTWRANGLER_TRACE=1"] + program)
            # Wine 8 reads no IPv6 routes (its IPv6 forward table is not there): the
            # gateway is named, for both programs alike.
            keepers[via] = Keeper(held, ["--gateway", GATEWAY6, "--protocol", "pcp", "-pinhole",
                                         "-add", "TCP", str(port + len(keepers)), str(least)])
            self.addCleanup(keepers[via].close)
        mine, theirs = keepers["windows"], keepers["linux"]

        def shape(event):
            """The event without its time and port: the same on both programs."""
            return dict(event, time=None, pinhole=dict(event["pinhole"], port=None))

        def announce(host, address, sender_port):
            self.assertEqual(lab6.lab_run(lab, host, PYTHON, "-c", lab6.ANNOUNCE, address,
                                          str(sender_port),
                                          "br0" if host == "gateway" else "dev0"), 0)

        def renewals(keeper, seconds, since):
            """The texts of the renewals told from `since` on, within `seconds`, up to the
            first after an announcement."""
            texts, end = [], time.monotonic() + seconds
            while not (texts and "announcement" in texts[-1]):
                renewed = keeper.wait_for("renewed", end - time.monotonic())
                if renewed is None:
                    break
                if keeper.arrived >= since:
                    texts.append(renewed["text"])
            return texts

        with lab.listener(port):
            self.assertEqual(lab.probe(port, lab6.DROPPED_WAIT), "dropped")  # control
            added = [keeper.wait_for("added", 30) for keeper in (mine, theirs)]
            self.assertIsNotNone(added[0], mine.seen)
            self.assertEqual((added[0]["protocol_used"], added[0]["pinhole"]), (
                "pcp", {"id": None, "protocol": "TCP", "port": port, "internal_client": CLIENT6,
                        "lease_seconds": least}))
            self.assertEqual(shape(added[0]), shape(added[1]))
            self.assertEqual(lab.probe(port), "answered")
            # Announcements from another host, and from another port of the gateway: passed
            # over, as the renewals of the schedule tell (and the trace, below).
            announce("device", DEVICE6, 5351)
            announce("gateway", GATEWAY6, 5352)
            for keeper in (mine, theirs):
                renewed = keeper.wait_for("renewed", 2 * 3.75)
                self.assertEqual(renewed and renewed["text"], "%d s granted" % least, keeper.seen)
            # A restart: the daemon's own announcement never reaches the client (it goes out
            # through the bridge's other port): the renewals bring the pinhole back, designed
            # within 3.75 s of the restart, or one PCP retransmission (3.3 s) more.
            back = lab.restart_until_answered(port, 2 * 7)
            self.assertIsNotNone(back, mine.seen)
            restarted = time.monotonic() - back  # about when the daemon came back
            print("\n  back %.1f s after the restart" % back, file=sys.stderr)
            # The Linux one's too, so that the renewal after the announcement renews both.
            while (len(lab.pinholes()) < 2 and time.monotonic() - restarted < 2 * 7):
                time.sleep(0.2)
            self.assertEqual(sorted(hole["port"] for hole in lab.pinholes()), [port, port + 1])
            # The gateway's announcement: both holders hear it; the renewal after it (within
            # a random wait of up to 5 s, or the schedule's 3.75 s, whichever comes first)
            # says so. The one renewal already under way as it came may not; those told
            # before it was sent (the sender's start takes a while on a loaded machine)
            # are not counted.
            announce("gateway", GATEWAY6, 5351)
            sent = time.monotonic()
            texts = {via: renewals(keeper, 2 * 5, sent) for via, keeper in keepers.items()}
            for via in keepers:
                self.assertIn(len(texts[via]), (1, 2), texts)
                self.assertEqual(texts[via][-1], "after the gateway's announcement; %d s granted"
                                 % least, texts)
            # Ctrl-C (Wine makes SIGINT a CTRL_C_EVENT) as SIGTERM on Linux: the daemon refuses
            # deleting a renewed pinhole (NOT_AUTHORIZED), the holder cuts its lifetime to the
            # least instead and ends with status 1; the pinhole is gone within twice that.
            mine.process.send_signal(signal.SIGINT)
            theirs.process.send_signal(signal.SIGTERM)
            ended = [keeper.wait_for("not removed", 20) for keeper in (mine, theirs)]
            self.assertTrue(all(ended), (mine.seen, theirs.seen))
            self.assertEqual(ended[0]["text"], "the gateway answered NOT_AUTHORIZED (2); its "
                             "lifetime cut to %d s" % least)
            self.assertEqual(shape(ended[0]), shape(ended[1]))
            self.assertEqual((mine.end(), theirs.end()), (1, 1))
            # While that runs out, the one-shot commands, each program's add and remove in
            # turn (another nonce's MAP takes a pinhole over): the Linux program's screens,
            # and the daemon's rule there between the add and the remove.
            one_shot = port + 2
            udp = {"protocol": "UDP", "internal": CLIENT6, "port": one_shot, "remote": None}
            screens = {}
            for via in keepers:
                for verb, extra in (("-add", ["600"]), ("-remove", [])):
                    for _ in range(2):
                        done = subprocess.run(
                            [LAB, "client", lab.name] + programs[via] + [
                                "--exit-status", "--gateway", GATEWAY6, "--protocol", "pcp",
                                "-pinhole", verb, "UDP", str(one_shot)] + extra,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=40)
                        if not wine_failed(done.stderr):
                            break
                    screens[via, verb] = (done.returncode, done.stderr,
                                          done.stdout.decode("utf-8").replace("\r\n", "\n"))
                    self.assertEqual(udp in lab.pinholes(), verb == "-add", screens[via, verb])
            for verb, rows in (("-add", (("Lease:", "600 s granted of 600 s asked"),)),
                               ("-remove", ())):
                self.assertEqual(screens["windows", verb], screens["linux", verb])
                self.assertEqual(screens["windows", verb], (0, b"", BANNER + pinhole_box(
                    "Pinhole Added" if rows else "Pinhole Removed", False, ("Protocol:", "UDP"),
                    ("Internal Client:", CLIENT6), ("Port:", str(one_shot)), *rows,
                    device="PCP Gateway") + CLOSING))
            end = time.monotonic() + 2 * least
            while lab.pinholes() and time.monotonic() < end:
                time.sleep(0.2)
            self.assertEqual(lab.pinholes(), [])
            self.assertEqual(lab.probe(port, lab6.DROPPED_WAIT), "dropped")
        # What the Windows program passed over, and what it took: the trace.
        traced = mine.process.stderr.read().replace("\r\n", "\n")
        for sender in ("%s port 5351" % DEVICE6, "%s port 5352" % GATEWAY6):
            self.assertIn("an announcement from %s passed over: not the gateway's" % sender,
                          traced)
        self.assertEqual(traced.count("%s announced itself (PCP, epoch" % GATEWAY6), 1, traced)


@unittest.skipUnless(EXE and BASE, "no Windows build given (PORTWRANGLER_EXE)")
class WindowsPortmap(unittest.TestCase):
    maxDiff = None
    """The Windows program's PCP and NAT-PMP add and remove against the daemon with
    NAT-PMP on (UPnP beside it), each proven by a packet from the WAN host; its state in
    a folder of the test's own."""

    def setUp(self):
        self.name = "pwwm%d" % os.getpid()
        env = dict(os.environ, LAB_PORTMAP="yes")
        subprocess.run([LAB, "up", self.name], check=True, env=env)
        self.addCleanup(subprocess.run, [LAB, "down", self.name])
        prefix = Prefix()
        self.program = windows_command(prefix.__enter__())
        self.addCleanup(prefix.__exit__, None, None, None)
        self.state = tempfile.mkdtemp(prefix="pw-state-win-")
        self.addCleanup(shutil.rmtree, self.state, True)

    def pw(self, *args):
        where = windows_path(self.state)
        for _ in range(2):
            done = subprocess.run([LAB, "client", self.name, "env",
                                   "PORTWRANGLER_STATE_DIR=" + where] + self.program +
                                  ["--exit-status"] + list(args),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            if not wine_failed(done.stderr):
                break
        return (done.returncode, done.stderr.decode("utf-8"),
                done.stdout.decode("utf-8").replace("\r\n", "\n"))

    def probe(self, port):
        return subprocess.run([LAB, "wan", self.name, portmap_lab.PYTHON, "-c", portmap_lab.PROBE,
                               portmap_lab.EXTERNAL, str(port)], stdout=subprocess.PIPE,
                              timeout=30).stdout.decode().strip()

    def listen(self, port=22, greeting="client"):
        """A listener on the client's `port` for the test's time, greeting with `greeting`;
        ready when this returns."""
        listener = subprocess.Popen([LAB, "client", self.name, portmap_lab.PYTHON, "-c",
                                     portmap_lab.LISTENER, str(port), "120", greeting],
                                    stdout=subprocess.PIPE)
        self.addCleanup(listener.stdout.close)
        self.addCleanup(listener.wait)
        self.addCleanup(listener.kill)
        self.assertEqual(listener.stdout.readline(), b"ready\n")

    def test_pcp_and_natpmp_add_and_remove(self):
        client = "192.168.77.2"
        self.listen()
        for via, title, port, confirmed in (
                ("pcp", "PCP", 2222, ""),
                ("natpmp", "NAT-PMP", 2223, "| Confirmed   |  %-50s  |\n"
                 % "yes: gone from the UPnP table of 192.168.77.1" + RULE)):
            with self.subTest(via):
                def box(heading):
                    return ("| [%s]   -   %s Gateway - Port Mapping" % (heading, title)).ljust(
                        69) + "|\n"

                block = entry_block("N/A: %s carries no description" % title, "TCP", client, 22,
                                    port)
                self.assertEqual(self.pw("--protocol", via, "--lease", "600", "-add", "TCP", "22",
                                         str(port)),
                                 (0, "", BANNER + outcome(box("Entry Added"), False) + block +
                                  "| External IP |  %-50s  |\n" % portmap_lab.EXTERNAL + RULE +
                                  "| Lifetime    |  %-50s  |\n" % "600 s granted of 600 s asked"
                                  + RULE + "| Ends        |  %-50s  |\n"
                                  % "in 600 s unless renewed (-add again)" + RULE + CLOSING))
                self.assertEqual(self.probe(port), "client")
                self.assertEqual(self.pw("--protocol", via, "-remove", "TCP", str(port)),
                                 (0, "", BANNER + outcome(box("Entry Removed"), False) + block +
                                  confirmed + CLOSING))
                self.assertNotEqual(self.probe(port), "client")

    def test_keep_has_mappings_back_after_a_restart_and_ctrl_c_removes_them(self):
        # PCP and NAT-PMP held side by side, so that one restart of the daemon serves both
        # (their 5350 listeners share the port, as Windows lets them). The daemon's epoch
        # keeps counting across the restart: only its announcement on 224.0.0.1 brings a
        # mapping back, designed within 10 s (a random wait of up to 5 s); twice that here.
        # Internal ports of their own: the daemon finds a delete's mapping by its internal
        # port, so with one port for both a PCP delete can meet the NAT-PMP mapping and be
        # refused (NOT_AUTHORIZED), on Linux alike.
        cases = (("pcp", 22, 2224), ("natpmp", 8022, 2225))
        keepers = {}
        for via, internal, port in cases:
            self.listen(internal, via)
            state = tempfile.mkdtemp(prefix="pw-state-win-", dir=self.state)
            lab = types.SimpleNamespace(name=self.name, program=[
                "env", "PORTWRANGLER_STATE_DIR=" + windows_path(state)] + self.program)
            keepers[via] = Keeper(lab, ["--protocol", via, "--lease", "3600", "-add", "TCP",
                                        str(internal), str(port)])
            self.addCleanup(keepers[via].close)
        for via, _, port in cases:
            with self.subTest(via):
                added = keepers[via].wait_for("added", 30)
                self.assertIsNotNone(added, keepers[via].seen)
                self.assertEqual(added["external_port"], port)
                self.assertEqual(self.probe(port), via)
        subprocess.run([LAB, "stop", self.name], check=True)
        subprocess.run([LAB, "start", self.name], check=True)
        restarted = time.monotonic()
        for via, _, port in cases:
            with self.subTest(via):
                renewed = keepers[via].wait_for("renewed", max(1, restarted + 20 - time.monotonic()))
                self.assertIsNotNone(renewed, keepers[via].seen)
                self.assertLess(time.monotonic() - restarted, 20)
                self.assertTrue(renewed["text"].startswith("after the gateway's announcement"),
                                renewed)
                self.assertEqual(self.probe(port), via)
        # Ctrl-C (Wine makes SIGINT a CTRL_C_EVENT): each mapping deleted, status 0.
        for via, _, _ in cases:
            keepers[via].process.send_signal(signal.SIGINT)
        for via, _, port in cases:
            with self.subTest(via):
                self.assertIsNotNone(keepers[via].wait_for("removed", 15), keepers[via].seen)
                self.assertEqual(keepers[via].end(), 0)
                self.assertEqual(keepers[via].seen, ["added", "renewed", "removed"])
                self.assertNotEqual(self.probe(port), via)


if __name__ == "__main__":
    unittest.main()
