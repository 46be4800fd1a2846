"""Every relative link in README.md and docs/**/*.md names a file of the checkout, and its
#fragment a heading of that file by GitHub's anchor rules."""

import glob
import os
import re
import tempfile
import unittest

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
LINK = re.compile(r"\]\(([^)\s]+)\)")
HEADING = re.compile(r"#{1,6}\s+(.*?)\s*#*\s*$")


def prose(path):
    """The lines of a Markdown file outside its fenced code."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.lstrip().startswith("```"):
                fenced = not fenced
            elif not fenced:
                yield line


def anchors(path):
    """GitHub's anchors: lower case, punctuation but - and _ dropped, blanks as -, and
    -1, -2 ... after a heading's second and later twins."""
    seen, found = {}, set()
    for line in prose(path):
        heading = HEADING.match(line)
        if heading:
            text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading.group(1))
            slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
            twins = seen.get(slug, 0)
            seen[slug] = twins + 1
            found.add(slug if twins == 0 else "%s-%d" % (slug, twins))
    return found


def links(path):
    """The relative targets a page links to (code spans are no links)."""
    for line in prose(path):
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if not re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", target):  # http:, mailto: ...
                yield target


def broken(paths, root):
    bad = []
    for path in paths:
        for target in links(path):
            name, _, fragment = target.partition("#")
            dest = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
            if not os.path.isfile(dest) or (fragment and fragment not in anchors(dest)):
                bad.append("%s: %s" % (os.path.relpath(path, root), target))
    return bad


class Links(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        pages = [os.path.join(ROOT, "README.md")]
        pages += glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True)
        self.assertGreater(len(pages), 10)
        self.assertGreater(sum(1 for page in pages for _ in links(page)), 50)
        self.assertEqual(broken(pages, ROOT), [])

    def test_a_planted_broken_link_is_reported(self):
        # Beside each broken link its working twin, so that neither rule passes all.
        with tempfile.TemporaryDirectory() as folder:
            page = os.path.join(folder, "page.md")
            with open(page, "w", encoding="utf-8") as f:
                f.write("# Holding a set: `--hold`\n\n## Twice\n\n## Twice\n\n"
                        "[a](#holding-a-set---hold) [b](page.md#twice-1) [c](./page.md)\n"
                        "[d](missing.md) [e](#twice-2) [f](page.md#nowhere)\n"
                        "`[g](in-a-code-span.md)` [h](https://example.org/x.md)\n"
                        "```\n[i](in-fenced-code.md)\n```\n")
            self.assertEqual(broken([page], folder),
                             ["page.md: missing.md", "page.md: #twice-2", "page.md: page.md#nowhere"])


if __name__ == "__main__":
    unittest.main()
