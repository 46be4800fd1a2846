"""The trace (PORTWRANGLER_TRACE=1): a line per step on standard error, the failing step's
error by name, and standard output the same with it as without it."""

import concurrent.futures
import unittest

from harness import BANNER, CLOSING, GAME, LIST_HEAD, LONG, NO_ROUTER, WEB, entry_lines, \
    run_isolated

TRACE = {"PORTWRANGLER_TRACE": "1"}
URN = "urn:schemas-upnp-org:service:"
DESCRIPTION = "http://127.0.0.1:5000/rootDesc.xml"


def sent(target):
    return r"search %s sent on the default interface" % target


FIRST = [sent(URN + "WANIPConnection:1"), sent(URN + "WANPPPConnection:1")]
LATER = FIRST + [sent("urn:schemas-upnp-org:device:InternetGatewayDevice:1"),
                 sent("urn:schemas-upnp-org:device:InternetGatewayDevice:2"),
                 sent("upnp:rootdevice")]
REPLY = r"reply from 127\.0\.0\.1: ST %sWANIPConnection:1, LOCATION %s" % (URN, DESCRIPTION)
TAKEN = r"reply from 127\.0\.0\.1 taken: its ST is a service searched"
KNOWN = [REPLY, r"reply from 127\.0\.0\.1 passed over: its LOCATION is known already"]


def read(tail=""):
    return r"description %s: status 200, \d+ bytes, \d+ ms%s" % (DESCRIPTION, tail)


# (name, gateway config or None for none, what standard output holds between the banner
#  and the closing frame, the trace lines as patterns, each matching a whole line)
CASES = [
    ("a listing", {}, LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) +
     entry_lines(3, LONG),
     FIRST + [REPLY, TAKEN, read(), r"description %s offers WANIPConnection:1" % DESCRIPTION,
              r"control URL 127\.0\.0\.1:5000/ctl/IPConn \(WANIPConnection:1\)",
              r"action GetExternalIPAddress: status 200, fault 0, \d+ ms"] +
     [r"action GetGenericPortMappingEntry: status 200, fault 0, \d+ ms"] * 3 +
     [r"action GetGenericPortMappingEntry: status 500, fault 713, \d+ ms: HttpNotOk"]),
    ("048: no reply at all", None, NO_ROUTER,
     FIRST + LATER * 2 +
     [r"discovery failed: SsdpNoReply \(-799\): no usable reply to the search"]),
    # Each LOCATION is read once: the replies to the later searches name it again.
    ("048: the description is 404", {"description_status": 404}, NO_ROUTER,
     FIRST + [REPLY, TAKEN, r"description %s: status 404, 0 bytes, \d+ ms: HttpNotOk" % DESCRIPTION,
              r"description %s passed over: HttpNotOk \(-894\): the status was not 200"
              % DESCRIPTION] + (LATER + KNOWN) * 2 +
     [r"discovery failed: HttpNotOk \(-894\): the status was not 200"]),
    ("048: the description names no WAN connection service",
     {"service": "WANIPv6FirewallControl:1"}, NO_ROUTER,
     FIRST + [REPLY, TAKEN, read(),
              r"description %s passed over: GatewayNoControlUrl \(-698\): .*" % DESCRIPTION] +
     (LATER + KNOWN) * 2 +
     [r"discovery failed: GatewayNoControlUrl \(-698\): the description has no control URL "
      r"for the service"]),
    # A control URL on no host is refused, saying why, even from a description on loopback.
    ("048: the control URL names the unspecified address",
     {"control_url": "http://0.0.0.0:5000/ctl"}, NO_ROUTER,
     FIRST + [REPLY, TAKEN, read(),
              r"control URL http://0\.0\.0\.0:5000/ctl refused: it names an unspecified address",
              r"description %s passed over: HttpRefusedHost \(-892\): .*" % DESCRIPTION] +
     (LATER + KNOWN) * 2 +
     [r"discovery failed: HttpRefusedHost \(-892\): the URL names no router's address .*"]),
]


def both_runs(case):
    _, config, _, _ = case
    return run_isolated(["-list"], config)[0], run_isolated(["-list"], config, env=TRACE)[0]


class Trace(unittest.TestCase):
    def test_a_line_per_step_and_the_same_output(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            outcomes = list(pool.map(both_runs, CASES))
        for (name, _, body, patterns), (plain, traced) in zip(CASES, outcomes):
            with self.subTest(name):
                self.assertEqual(plain.out, BANNER + body + CLOSING)
                self.assertEqual(plain.err, "")  # without the trace, nothing on standard error
                self.assertEqual(traced.out, plain.out)
                self.assertEqual((plain.code, traced.code), (1, 1))
                lines = traced.err.splitlines()
                self.assertEqual(len(lines), len(patterns), traced.err)
                for line, pattern in zip(lines, patterns):
                    self.assertRegex(line, "^trace: " + pattern + "$")

    def test_an_add_whose_answer_was_lost_is_read_back(self):
        # Made, the add is reported as made; not made, as a refusal is; each trace says
        # why. (This replaces a test that locked in "Not Added" for an entry that was
        # there.)
        add = ["-add", "TCP", "81", "9191"]
        lost = {"raw": {"AddPortMapping": {"head": "", "body": ""}}}
        made, _ = run_isolated(add, lost, env=TRACE)
        answered, _ = run_isolated(add, {}, env=TRACE)
        unmade, _ = run_isolated(add, dict(lost, unmade=["AddPortMapping"]), env=TRACE)
        refused, _ = run_isolated(add, {"faults": {"AddPortMapping": 501}}, env=TRACE)
        self.assertEqual(made.out, answered.out)
        self.assertEqual(unmade.out, refused.out)
        self.assertIn("\ntrace: add: the answer was lost after the request went out; the entry "
                      "is there\n", made.err)
        self.assertIn("\ntrace: add: the answer was lost after the request went out; the entry "
                      "is not there\n", unmade.err)
        self.assertNotIn("lost", answered.err + refused.err)

if __name__ == "__main__":
    unittest.main()
