"""Shared pieces of the whole-run tests: the built program, the screens every run prints,
network namespaces of the test's own, and the fake gateway inside one."""

import itertools
import json
import os
import subprocess
import tempfile
import time

PROGRAM = os.environ.get("PORTWRANGLER", os.path.join(os.path.dirname(__file__), "..", "..",
                                                      "build", "portwrangler"))
FAKEGW = os.path.join(os.path.dirname(__file__), "..", "fakegw", "fakegw.py")
PYTHON = "/usr/bin/python3"

RULE = "=" * 70 + "\n"
BLANK = "|" + " " * 68 + "|\n"
BANNER = (RULE + "| " + "$" * 21 + " " * 23 + "$" * 22 + " |\n" + RULE +
          RULE + BLANK * 4 + RULE)
CLOSING = RULE + BLANK * 2 + RULE
BAR = ("\t" * 8 + " " * 6 + "\n") * 2


def status_box(status, message):
    title = "| Status: [%.3d] - (UPnP Router Error)                                |\n" % status
    return RULE + title + RULE + "| %-66s |\n" % message + RULE


class Run:
    def __init__(self, completed, seconds):
        self.out = completed.stdout.decode("latin-1")
        self.err = completed.stderr.decode("latin-1")
        self.code = completed.returncode
        self.seconds = seconds


def run(args, namespace=None, timeout=30, prefix=()):
    """Runs the program with its output piped, as a script would."""
    command = list(prefix) + [PROGRAM] + list(args)
    if namespace is not None:
        command = ["ip", "netns", "exec", namespace] + command
    start = time.monotonic()
    completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, timeout=timeout)
    return Run(completed, time.monotonic() - start)


_names = itertools.count()


class Namespace:
    """A network namespace with only its loopback, up and multicast-capable, so that
    SSDP searches stay inside it."""

    def __init__(self):
        self.name = "pw-e2e-%d-%d" % (os.getpid(), next(_names))

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        for command in (["ip", "link", "set", "lo", "up"],
                        ["ip", "link", "set", "lo", "multicast", "on"],
                        ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
            subprocess.run(["ip", "netns", "exec", self.name] + command, check=True)
        return self

    def __exit__(self, *_):
        pids = subprocess.run(["ip", "netns", "pids", self.name], stdout=subprocess.PIPE,
                              text=True).stdout.split()
        for pid in pids:
            subprocess.run(["kill", "-9", pid], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", self.name])


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
