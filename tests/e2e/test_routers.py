"""Real routers, replayed: each file in routers/ holds what one router sent (its SSDP reply,
its description), recorded by others and kept as recorded. The fake gateway plays it back
over its own table, answering only the searches the router answered; every router must be
found and listed, and its identity shown as its description has it, within the time a
router found at once takes. The runs go side by side, each in a namespace of its own."""

import concurrent.futures
import glob
import json
import os
import unittest
import xml.etree.ElementTree as ElementTree

import jsonschema

from harness import (ADD_REFUSED, ADDED, BANNER, CLOSING, EXTERNAL, GAME, IDENTITY, LIST_HEAD,
                     LOCAL, LONG, NO_ROUTER, NOT_ADDED, SEARCH_WAIT, THREE, WEB, FakeGateway,
                     Namespace, entry_block, entry_lines, information, outcome, run,
                     run_isolated)

ROUTERS = os.path.join(os.path.dirname(__file__), "routers")
with open(os.path.join(os.path.dirname(__file__), "schema.json")) as schema_file:
    SCHEMA = json.load(schema_file)
LISTED = LIST_HEAD + entry_lines(1, WEB) + entry_lines(2, GAME) + entry_lines(3, LONG)
COUNTS = (2, 1, 2, 0)  # THREE: TCP, UDP, TCP enabled, UDP enabled
# A router is taken at once: from the first search the fake gateway hears to the first
# action the program asks of it (a slow start under load does not count), well before the
# 2.5 s that a router offering only WAN PPP waits for a WAN IP answer from any other
# device; that one's whole run is at least those 2.5 s, and it is taken well before the
# search's end.
PPP_WAIT = 2.5
FOUND_WITHIN = (0.0, PPP_WAIT - 0.1)
PPP_ONLY_FOUND_WITHIN = (PPP_WAIT - 0.05, SEARCH_WAIT[0])
SERVICES = ["WANIPConnection:1", "WANIPConnection:2", "WANPPPConnection:1"]


def load_routers():
    routers = []
    for path in sorted(glob.glob(os.path.join(ROUTERS, "*.json"))):
        with open(path, encoding="utf-8") as f:
            routers.append(dict(json.load(f), file=os.path.basename(path)))
    return routers


def identity_of(description):
    """The ten identity texts as the program reads them: each the last element of its name
    in the document, whichever device it belongs to."""
    if description is None:
        return IDENTITY
    found = {}
    for element in ElementTree.fromstring(description.encode("utf-8")).iter():
        name = element.tag.rsplit("}", 1)[-1]
        if name in IDENTITY:
            found[name] = element.text or ""
    return found


def gateway_config(router):
    config = {"answer": router["answer"], "entries": THREE}
    for key in ("ssdp_reply", "description"):
        if router[key] is not None:
            config[key] = router[key]
    if router["description"] is not None:
        # The fake's SOAP answers name the service the description offers.
        offered = [s for s in SERVICES if "urn:schemas-upnp-org:service:" + s in router["description"]]
        if offered:
            config["service"] = offered[0]
    return config


def replay(case):
    router, args = case
    with Namespace() as ns:
        with FakeGateway(ns, **gateway_config(router)) as gw:
            result = run(args, ns.name)
            reads = len([r for r in gw.requests("http") if r["request"].startswith("GET ")])
            return result, reads, gw.taken_after_search()


class Routers(unittest.TestCase):
    def test_recordings(self):
        routers = load_routers()
        self.assertGreaterEqual(len(routers), 10)
        cases = [(router, args) for router in routers for args in (["-list"], ["-stats"])]
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            outcomes = list(pool.map(replay, cases))
        for (router, args), (result, reads, taken_after) in zip(cases, outcomes):
            with self.subTest(router["file"] + " " + args[0]):
                self.assertEqual((result.code, result.err), (1, ""))
                if router["outcome"] == "passed over":
                    self.assertEqual(result.out, BANNER + NO_ROUTER + CLOSING)
                    self.assertGreaterEqual(result.seconds, SEARCH_WAIT[0])
                    self.assertLess(result.seconds, SEARCH_WAIT[1])
                    continue
                body = (LISTED if args == ["-list"] else
                        information(identity_of(router["description"]), LOCAL, EXTERNAL, COUNTS))
                self.assertEqual(result.out, BANNER + body + CLOSING)
                ppp_only = gateway_config(router).get("service") == "WANPPPConnection:1"
                low, high = PPP_ONLY_FOUND_WITHIN if ppp_only else FOUND_WITHIN
                # The whole run is at least the wait (the fake may hear a search late
                # under load); the wait ended well before the search's.
                self.assertGreaterEqual(result.seconds, low)
                self.assertLess(taken_after, high)
                self.assertEqual(reads, 1)  # its one LOCATION, read once



# What real routers have been reported to do, each as one case against the fake gateway:
# the arguments, the fake's behaviour, what the screen's outcome and entry show, the
# line on standard error, and what JSON's error says of the router's refusal (None: added).
NOTE_501 = ("portwrangler: the router refused the add: UPnP error 501 (refused); some routers "
            "refuse a long description or characters they do not take: try a shorter one of "
            "letters and digits\n")
BEHAVIOURS = [
    # A description over 255 bytes refused with 501; the control: one within the rule.
    ("a long description refused with 501", ["-add", "TCP", "80", "9090", "d" * 300],
     {"description_rule": [0, 255, 501]}, ADD_REFUSED + outcome(NOT_ADDED, True),
     "d" * 47 + "...", NOTE_501, {"code": 501, "description": "refused"}),
    ("a short description under the same rule", ["-add", "TCP", "80", "9090", "game"],
     {"description_rule": [0, 255, 501]}, outcome(ADDED, False), "game", "", None),
    # No description refused with 402: made again once under the program's name.
    ("an empty description refused with 402", ["-add", "TCP", "80", "9090"],
     {"description_rule": [1, 255, 402]}, outcome(ADDED, False), "portwrangler",
     "portwrangler: the router refused the entry without a description: added as "
     "\"portwrangler\"\n", None),
]


class Behaviours(unittest.TestCase):
    def test_each_behaviour(self):
        def one(case):
            _, args, config, _, _, _, _ = case
            screen, _ = run_isolated(args, config)
            document, _ = run_isolated(["--json"] + args, config)
            return screen, document
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            outcomes = list(pool.map(one, BEHAVIOURS))
        for case, (screen, document) in zip(BEHAVIOURS, outcomes):
            name, args, _, head, shown, said, refusal = case
            with self.subTest(name):
                self.assertEqual(screen.out, BANNER + head +
                                 entry_block(shown, "TCP", LOCAL, 80, 9090) + CLOSING)
                self.assertEqual((screen.code, screen.err), (1, said))
                answer = json.loads(document.out)
                jsonschema.validate(answer, SCHEMA)
                self.assertEqual(answer["added"], refusal is None)
                self.assertEqual(answer.get("error", {}).get("router_error"), refusal)


if __name__ == "__main__":
    unittest.main()
