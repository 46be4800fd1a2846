"""./demo.sh as a newcomer runs it, against the program of this build: it ends with status
0, shows every step with its one line, and what each step shows did happen: the exit
statuses a script reads, a lease read back, the keeper's forwarding lost in the router's
restart and added again, a connect from the WAN dropped, answered through the pinhole and
dropped again, and the reachability note. Its labs are gone afterwards."""

import os
import re
import subprocess
import unittest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
PROGRAM = os.environ.get("PORTWRANGLER", os.path.join(ROOT, "build", "portwrangler"))
STEP = re.compile(r"^step_(\w+)\(\)", re.M)


class Demo(unittest.TestCase):
    def test_every_step_shows_what_it_says(self):
        with open(os.path.join(ROOT, "demo.sh")) as f:
            script = f.read()
        declared = re.search(r"^steps=\(([^)]*)\)", script, re.M).group(1).split()
        self.assertEqual(declared, STEP.findall(script), "each step listed once, in order")
        done = subprocess.run([os.path.join(ROOT, "demo.sh")], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=180,
                              env=dict(os.environ, DEMO_BUILD=os.path.dirname(PROGRAM)))
        out = done.stdout
        self.assertEqual(done.returncode, 0, out[-3000:])
        self.assertEqual(len(re.findall(r"^== ", out, re.M)), len(declared), out)
        for proof in ["[Entry Added]", "Found (001) Matching Results.",
                      '"description":"Game server"}',
                      "status 0\n", "not added, status 4:", "status 3\n", "removed\n",
                      "Inbound Pinholes: Allowed",
                      "entries on this router cannot be reached from the internet",
                      '"reachable_from_internet":false']:
            self.assertIn(proof, out)
        # What is left of the lease, read back: a second or two may have gone by.
        self.assertRegex(out, r"\| Lease       \|  (59\d|600) s granted of 600 s asked ")
        self.assertRegex(out, r'\{"external_port":8443,"lease_seconds":(59\d|600)\}')
        events = re.findall(r"^\S+Z (\w+): TCP 2222 ", out, re.M)
        self.assertEqual((events[0], events[-1]), ("added", "removed"), out)
        # The restart: the router away for a moment, or the entry found gone; added again.
        restart = min(events.index(e) for e in ("lost", "unreachable") if e in events)
        self.assertIn("added", events[restart:], out)
        self.assertEqual(re.findall(r"a connect from the internet: (\w+)", out),
                         ["dropped", "answered", "dropped"], out)
        labs = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True).stdout
        self.assertNotRegex(labs, r"pwdemo\d+-")


if __name__ == "__main__":
    unittest.main()
