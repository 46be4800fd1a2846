"""The program's folders and the doors between them: each folder includes only the folders
below it (render/ besides the holding service's sink, which it implements), no folder's files include each other in a loop, flows/ (and everything under it)
never sees the JSON library, and no folder holds more than 30 % of the program."""

import collections
import os
import re
import tempfile
import unittest

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
# What each folder may include besides itself: the folders below it.
BELOW = {
    "base": set(),
    "net": {"base"},
    "gateway": {"base", "net"},
    "portmap": {"base", "net"},
    "cli": {"base", "net"},
    "flows": {"base", "net", "gateway", "portmap", "cli"},
    "render": {"base", "net", "gateway", "portmap", "cli", "flows"},
    "hold": {"base", "net", "gateway", "portmap", "cli", "flows"},
    "app": {"base", "net", "gateway", "portmap", "cli", "flows", "render", "hold"},
}
JSON_ALLOWED = {"render", "hold"}
# The holding service's event sink, which render/ implements: its one door upward.
SINK = "hold/events.h"
LARGEST_SHARE = 0.30
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def sources(root):
    """{folder/file: text} of every program source under root."""
    found = {}
    for folder in BELOW:
        path = os.path.join(root, folder)
        for name in sorted(os.listdir(path)) if os.path.isdir(path) else []:
            if name.endswith((".cc", ".h")):
                with open(os.path.join(path, name), encoding="utf-8") as f:
                    found[folder + "/" + name] = f.read()
    return found


def module(path):
    """One module per stem: x.h, x.cc and the platforms' x_posix.cc, x_win32.cc."""
    return re.sub(r"_(posix|win32|platform)$", "", os.path.splitext(path)[0])


def cycle(edges):
    """A loop in {module: {module}}, as a list, or None."""
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for after in sorted(edges.get(node, ())):
            if state.get(after) == "open":
                return trail[trail.index(after):] + [after]
            if after not in state:
                found = visit(after, trail + [after])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def violations(root):
    """What stands against the doors, one line each."""
    found, edges, lines = [], collections.defaultdict(set), collections.Counter()
    for path, text in sources(root).items():
        folder = path.split("/")[0]
        lines[folder] += text.count("\n")
        for kind, name in INCLUDE.findall(text):
            if kind == "<":
                if name.startswith("nlohmann/") and folder not in JSON_ALLOWED:
                    found.append(f"{path}: includes the JSON library")
                continue
            target = name.split("/")[0]
            if target not in BELOW:
                continue
            sink = folder == "render" and name == SINK
            if target != folder and target not in BELOW[folder] and not sink:
                found.append(f"{path}: includes {name}, against the doors")
            if module(name) != module(path):
                edges[module(path)].add(module(name))
    loop = cycle(edges)
    if loop:
        found.append("files include each other in a loop: " + " -> ".join(loop))
    total = sum(lines.values())
    for folder, count in lines.items():
        if count > LARGEST_SHARE * total:
            found.append(f"{folder}/ holds {100 * count // total} % of the program")
    return found


class Doors(unittest.TestCase):
    def test_the_program_keeps_its_doors(self):
        self.assertEqual([], violations(ROOT))

    def test_a_planted_fault_is_found(self):
        plants = {
            "flows/a.cc": ('#include "render/b.h"\n', "against the doors"),
            "flows/c.cc": ("#include <nlohmann/json.hpp>\n", "JSON library"),
            "cli/d.h": ('#include "cli/e.h"\n', "in a loop"),
            "cli/e.h": ('#include "cli/d.h"\n', "in a loop"),
        }
        with tempfile.TemporaryDirectory() as root:
            for path, (text, _) in plants.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text + "\n" * 10)
            os.makedirs(os.path.join(root, "base"))
            with open(os.path.join(root, "base", "f.h"), "w") as f:  # the largest
                f.write("\n" * 40)
            found = "\n".join(violations(root))
        for path, (_, words) in plants.items():
            self.assertIn(words, found, path)
        self.assertIn("base/ holds", found)  # 40 lines of 80


if __name__ == "__main__":
    unittest.main()
