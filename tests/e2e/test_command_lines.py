"""The grammar's neighbourhood, through the real program: every valid command with one
argument changed, dropped, doubled or swapped. No vector may crash the program; one that
the grammar refuses must print the syntax screen and open no socket at all. The runs
happen in a namespace with a fake gateway, so that the vectors that stay valid finish
at once instead of searching for a router."""

import concurrent.futures
import ctypes
import os
import unittest

from harness import BANNER, CLOSING, FakeGateway, Namespace, golden, mapping, run

VALID = [
    ["-add", "TCP", "80", "8080", "web"],
    ["-add", "-q", "TCP", "80", "8080"],
    ["-add", "TCP", "-ip", "10.0.0.5", "22", "2222", "ssh"],
    ["-add", "UDP", "-ip", "10.0.0.5", "22", "2222"],
    ["-remove", "TCP", "8080"],
    ["-remove", "-q", "udp", "5353"],
    ["-list"],
    ["-stats"],
    ["-help"],
    ["-list", "-stats"],
    ["-list", "-id", "12"],
    ["-list", "-p", "tcp", "-ip", "10.0.0.5", "-eport", "2222", "-s", "enabled"],
]

REPLACEMENTS = [
    "", "0", "65536", "-1", "08080", "9" * 25, "0x50", " TCP", "TCPX", "\u00e9",
    "\udcff\udcfe", "a b", "-", "/?", "-add", "-list", "-stats", "-q", "-id", "-ip", "-p",
    "-iport", "enabled", "1000", "256.1.1.1", "10.0.0.5 trailing", "1" * 32, "d" * 8193,
]


def neighbours(vector):
    """The vector with one argument replaced, dropped, doubled or swapped with the next."""
    found = []
    for i, word in enumerate(vector):
        found += [vector[:i] + [r] + vector[i + 1:] for r in REPLACEMENTS + [word.upper(),
                                                                           word.lower()]]
        found.append(vector[:i] + vector[i + 1:])
        found.append(vector[:i + 1] + [word] + vector[i + 1:])
        if i + 1 < len(vector):
            found.append(vector[:i] + [vector[i + 1], word] + vector[i + 2:])
    found.append(vector + [vector[-1]])
    return found


def vectors():
    seen, unique = set(), []
    for vector in VALID:
        for candidate in neighbours(vector):
            key = tuple(candidate)
            if key not in seen:
                seen.add(key)
                unique.append(candidate)
    return unique


STRACE = ["strace", "-f", "--seccomp-bpf", "-e", "trace=socket,connect,sendto,sendmsg"]
CLONE_NEWNET = 0x40000000


def enter(namespace):
    """Moves the calling thread (and so what it starts) into the network namespace: one
    entry for each worker rather than an `ip netns exec` for each of 1400 runs."""
    fd = os.open("/run/netns/" + namespace, os.O_RDONLY)
    try:
        if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + namespace)
    finally:
        os.close(fd)


class CommandLines(unittest.TestCase):
    def test_neighbourhood_of_every_valid_command(self):
        syntax = BANNER + golden("syntax.txt") + CLOSING
        help_screen = BANNER + golden("help.txt") + CLOSING
        table = [mapping("web", "TCP", "10.0.0.5", 80, 8080, 1)]
        candidates = vectors()
        self.assertGreater(len(candidates), 1000)
        with Namespace() as ns, FakeGateway(ns, entries=table, lifetime=600):
            with concurrent.futures.ThreadPoolExecutor(max_workers=4, initializer=enter,
                                                       initargs=(ns.name,)) as pool:
                results = list(pool.map(lambda args: run(args, prefix=STRACE), candidates))
                # The control: the workers' runs are in the namespace (its fake gateway
                # answered), the test's own thread is not.
                inside = pool.submit(lambda: os.readlink("/proc/thread-self/ns/net")).result()
            self.assertNotEqual(inside, os.readlink("/proc/thread-self/ns/net"))
            self.assertEqual(inside, "net:[%d]" % os.stat("/run/netns/" + ns.name).st_ino)
        refused = 0
        for args, result in zip(candidates, results):
            shown = [a if len(a) < 40 else a[:10] + "...(%d)" % len(a) for a in args]
            with self.subTest(args=shown):
                self.assertEqual(result.code, 1)
                self.assertTrue(result.err.endswith("+++ exited with 1 +++\n"), result.err[-300:])
                self.assertTrue(result.out.startswith(BANNER) and result.out.endswith(CLOSING))
                if result.out == syntax:
                    refused += 1
                    self.assertNotIn("socket(", result.err)
                elif result.out == help_screen:
                    self.assertNotIn("socket(", result.err)
                else:
                    self.assertIn("socket(", result.err)
        # Most neighbours are refused; some (case changes, leading zeros) stay valid.
        self.assertGreater(refused, len(candidates) * 3 // 4)
        self.assertLess(refused, len(candidates))


if __name__ == "__main__":
    unittest.main()
