"""Every flow and every way a run ends, under valgrind memcheck: no memory error, no
block left allocated at exit, of any kind (the runs that end inside a flow included),
and no descriptor left open but the standard three. Each run's transcript must equal
that of the same run without valgrind."""

import concurrent.futures
import os
import re
import tempfile
import unittest

from harness import run_isolated
MEMCHECK_FAILED = 97

# (command, gateway config or None for no gateway)
CASES = [
    (["-help"], {}),
    (["-list", "-bogus"], {}),
    (["-list"], None),                                              # 48
    (["-list"], {"description": "<root><device>"}),                 # 48 after the fetch
    (["-list"], {"raw": {"GET": {"chunked": True}}}),               # 48
    (["-list"], {"description": "<root><device><serviceList><service><serviceType>"
                                "urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
                                "<controlURL>http://127.0.0.1:5001/c</controlURL></service>"
                                "</serviceList></device></root>"}),  # 55
    (["-list"], {"status": {"GetExternalIPAddress": 500}}),         # 49
    (["-list"], {}),
    (["-list"], {"entries": []}),                                    # 54
    (["-list", "-p", "TCP", "-s", "enabled", "-iport", "80"], {}),
    (["-list", "-id", "2"], {}),
    (["-list", "-id", "9"], {}),
    (["-stats"], {}),
    (["-list", "-stats"], {"die_after": {"GetGenericPortMappingEntry": 2}}),
    (["-add", "TCP", "80", "9090", "a & b " * 20], {}),
    (["-add", "UDP", "-ip", "10.0.0.9", "53", "5353", "dns"], {}),
    (["-add", "TCP", "80", "8080"], {}),                             # 50
    (["-add", "TCP", "81", "8081"], {"faults": {"AddPortMapping": 501}}),  # 51
    (["-add", "-q", "TCP", "80", "8080"], {}),                       # 51, the router's 718
    (["-remove", "TCP", "2222"], {}),
    (["-remove", "TCP", "1234"], {}),                                # 53
    (["-remove", "-q", "TCP", "8080"], {"faults": {"DeletePortMapping": 606}}),  # 52
    (["-remove", "-q", "UDP", "5000"], {}),
    (["--json", "-list", "-stats"], {"die_after": {"GetGenericPortMappingEntry": 2}}),
    (["--json", "--lease", "60", "-add", "TCP", "80", "9090"], {"only_permanent": True}),
    (["--json", "-add", "TCP", "81", "8080"], {}),                   # 50
    (["--json", "-remove", "TCP", "2222"], {"external_ip": ""}),
    (["--json", "--bogus"], None),
    (["-diagnose", "TCP", "8080"], None),  # the answer times would differ from a plain run
    (["--json", "-diagnose"], None),
]


def memcheck(log):
    return ["valgrind", "--quiet", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all", "--error-exitcode=%d" % MEMCHECK_FAILED,
            "--track-fds=yes", "--log-file=" + log]


def findings(report):
    """What valgrind reported beyond the descriptor summary of a clean run: the three
    standard descriptors and valgrind's own log (descriptor 3)."""
    lines = [re.sub(r"^==\d+== ?", "", line) for line in report.splitlines()]
    expected = {"FILE DESCRIPTORS: 4 open (3 std) at exit.", "   <inherited from parent>", ""}
    return [line for line in lines
            if line not in expected and not line.startswith("Open file descriptor 3: ")]


def run_case(case):
    """The plain run and the memcheck run of one case, each against a fresh gateway;
    returns both and what valgrind wrote."""
    args, config = case
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "memcheck.log")
        plain, _ = run_isolated(args, config)
        checked, _ = run_isolated(args, config, prefix=memcheck(log))
        with open(log) as f:
            report = f.read()
    return plain, checked, report


class Memcheck(unittest.TestCase):
    def test_every_flow_is_clean(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            outcomes = list(pool.map(run_case, CASES))
        for (args, _), (plain, checked, report) in zip(CASES, outcomes):
            with self.subTest(args=args):
                self.assertIn("FILE DESCRIPTORS: 4 open (3 std) at exit.", report)
                self.assertEqual(findings(report), [])
                # valgrind's own status would differ from the plain run's.
                self.assertEqual(checked.code, plain.code, "valgrind found something")
                self.assertEqual(checked.out, plain.out)
                if "--json" not in args:
                    # The report alone ends with 0 whenever it was made.
                    self.assertEqual(plain.code, 0 if "-diagnose" in args else 1)


if __name__ == "__main__":
    unittest.main()
