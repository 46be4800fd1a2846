"""--hold's hook beside the holding: the renewals go on while it runs, a background process
it leaves holding its output is no failure and keeps no stop waiting, none of the program's
descriptors reaches it, and what it is told is what the status file says, a router's text
mended and an address that is none left out."""

import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import PROGRAM, FakeGateway, Namespace

# Writes its environment and open descriptors as a JSON line, leaves a process holding its
# output, and runs 3 s after an add; a removal ends with the status its second argument
# names.
HOOK = r"""
import json, os, subprocess, sys, time
event = os.environ["PORTWRANGLER_EVENT"]
fds = []
for fd in range(256):
    try:
        os.fstat(fd)
        fds.append(fd)
    except OSError:
        pass
with open(sys.argv[1], "a") as out:
    out.write(json.dumps({"at": time.monotonic(), "fds": fds,
                          "env": {k: v for k, v in os.environ.items()
                                  if k.startswith("PORTWRANGLER_")}}) + "\n")
subprocess.Popen(["sleep", "20"])
print("ran", event, flush=True)
if event == "added":
    time.sleep(3)
sys.exit(int(sys.argv[2]) if event == "removed" else 0)
"""

PLAIN = "203.0.113.9"
# A LAN device's answer: a line break and shell words after an address (as XML text).
HOSTILE = "1.2.3.4\n&amp;calc|$(id)"


class Hooks(unittest.TestCase):
    def hold(self, external_ip, removed_status):
        """A --json --hold run of one forwarding renewed every second, its hook HOOK, against a
        fake gateway answering `external_ip`, stopped by SIGTERM 5 s after its add: its
        events (each with the time it came), its standard error, the status file as it was
        before the stop, the hook's calls, and how long the stop took."""
        folder = tempfile.mkdtemp(prefix="pwhooks")
        self.addCleanup(shutil.rmtree, folder)
        paths = {name: os.path.join(folder, name) for name in ("set", "hook.py", "calls", "status")}
        with open(paths["set"], "w") as f:
            f.write("--lease 2 -add TCP 22 2222 'ssh\x1b[31m'\n")
        with open(paths["hook.py"], "w") as f:
            f.write(HOOK)
        hook = "/usr/bin/python3 %s %s %d" % (paths["hook.py"], paths["calls"], removed_status)
        with Namespace() as ns, FakeGateway(ns, entries=[], external_ip=external_ip):
            holder = subprocess.Popen(["ip", "netns", "exec", ns.name, PROGRAM, "--json", "--hold",
                                       paths["set"], "--on-change", hook, "--status-file",
                                       paths["status"]],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            events = queue.Queue()
            threading.Thread(target=lambda: [events.put((time.monotonic(), json.loads(line)))
                                             for line in holder.stdout], daemon=True).start()
            seen, end = [], time.monotonic() + 15
            while time.monotonic() < end and not any(e["event"] == "added" for _, e in seen):
                try:
                    seen.append(events.get(timeout=max(0.1, end - time.monotonic())))
                except queue.Empty:
                    break
            time.sleep(5)
            with open(paths["status"]) as f:
                status = json.load(f)
            holder.send_signal(signal.SIGTERM)  # the run this test started, by its pid
            stopped = time.monotonic()
            try:
                err = holder.stderr.read() if holder.wait(timeout=30) is not None else ""
            finally:
                holder.kill()
                holder.stderr.close()
            waited = time.monotonic() - stopped
            time.sleep(0.2)  # the reader's last lines
            while not events.empty():
                seen.append(events.get())
            holder.stdout.close()
        with open(paths["calls"]) as f:
            calls = [json.loads(line) for line in f]
        return seen, err, status, calls, waited

    def test_the_hook_runs_beside_the_holding_and_is_told_what_the_status_file_says(self):
        # The control: a plain address, told as it is, and a hook's failure (its removal's
        # status 3) told as one.
        cases = [("a line break and shell words", HOSTILE, 0, "", None, []),
                 ("a plain address", PLAIN, 3, PLAIN, PLAIN, ["removed"])]
        for name, answer, status_code, told, in_file, failed in cases:
            with self.subTest(name):
                seen, err, status, calls, waited = self.hold(answer, status_code)
                events = [e["event"] for _, e in seen]
                self.assertEqual(events[0], "added", events)
                self.assertEqual([e for e in events if e != "hook-failed"][-1], "removed", events)
                # The add's hook ran 3 s, and left a process holding its output: renewals
                # every second meanwhile, and its end no failure.
                added = calls[0]["at"]
                beside = [at for at, e in seen
                          if e["event"] == "renewed" and added < at < added + 3]
                self.assertGreaterEqual(len(beside), 2, seen)
                hooks_failed = [e["text"] for _, e in seen if e["event"] == "hook-failed"]
                self.assertEqual(len(hooks_failed), len(failed), hooks_failed)
                for text, event in zip(hooks_failed, failed):
                    self.assertRegex(text, r"^TCP 2222 -> 127\.0\.0\.1:22, %s: /usr/bin/python3 "
                                           r"ended with exit status 3$" % event)
                self.assertLess(waited, 10)  # no hook and nothing it left keeps the stop
                self.assertIn("hook: ran added\n", err)
                self.assertEqual([c["env"]["PORTWRANGLER_EVENT"] for c in calls],
                                 ["added", "removed"])
                self.assertEqual([c["fds"] for c in calls], [[0, 1, 2]] * 2)
                # What the hook is told is what the status file says.
                entry = status["entries"][0]
                self.assertEqual((entry["external_address"], entry["description"]),
                                 (in_file, "ssh [31m"))
                for call in calls:
                    self.assertEqual(call["env"]["PORTWRANGLER_EXTERNAL_ADDRESS"], told)
                    self.assertEqual(call["env"]["PORTWRANGLER_DESCRIPTION"], "ssh [31m")
                    self.assertEqual(call["env"]["PORTWRANGLER_INTERNAL_CLIENT"],
                                     entry["internal_client"])


if __name__ == "__main__":
    unittest.main()
