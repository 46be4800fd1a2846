"""The screens that need no router: banner, syntax and help, byte for byte, piped."""

import os
import pty
import subprocess
import unittest

from harness import BANNER, CLOSING, PROGRAM, golden, run


class Screens(unittest.TestCase):
    def assert_screen(self, args, body_file):
        result = run(args)
        self.assertEqual(result.out, BANNER + golden(body_file) + CLOSING, args)
        self.assertEqual(result.code, 1)
        self.assertEqual(result.err, "")
        for line in result.out.splitlines():
            self.assertEqual(len(line), 70, line)

    def test_syntax_screen_for_malformed_commands(self):
        for args in ([], ["-frob"], ["-stats", "x"], ["-add", "TCP", "0", "80"],
                     ["-list", "-eport", "80", "-p", "TCP"], ["-list", "-q", "-stats"],
                     ["-list", "-ip", "255.255.255.255"], ["-remove", "TCP", "80", "x"]):
            with self.subTest(args=args):
                self.assert_screen(args, "syntax.txt")

    def test_help_screen(self):
        for args in (["-help"], ["/?"], ["-HELP"]):
            with self.subTest(args=args):
                self.assert_screen(args, "help.txt")

    def test_screen_structure(self):
        # Syntax block: blank row, rule, 13 rows, rule, 1 row, rule, 3 rows.
        lines = golden("syntax.txt").splitlines()
        block = lines[5:5 + 21]
        rules = [i for i, line in enumerate(block) if line.startswith("=")]
        self.assertEqual(block[0], "|" + " " * 68 + "|")
        self.assertEqual(rules, [1, 15, 17])
        # Extended description: 13 blocks (title, rule, rows, rule), the first on -add.
        lines = golden("help.txt").splitlines()
        start = lines.index("| Extended Description:" + " " * 46 + "|")
        self.assertTrue(lines[start + 1].startswith("="))
        counts, at = [], start + 2
        titles = []
        while at < len(lines):
            titles.append(lines[at])
            self.assertTrue(lines[at + 1].startswith("="))
            rows = 0
            while not lines[at + 2 + rows].startswith("="):
                rows += 1
            counts.append(rows)
            at += 3 + rows
        self.assertEqual(counts, [3, 3, 3, 1, 3, 2, 3, 3, 3, 3, 2, 2, 14])
        self.assertEqual(titles[0], "|  -add" + " " * 62 + "|")

    def test_colours_only_on_a_terminal(self):
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(PROGRAM, [PROGRAM, "-help"])
        out = b""
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.waitpid(pid, 0)
        text = out.decode("latin-1").replace("\r\n", "\n")
        plain = golden("help.txt")
        # Clear, then each colour right where the piped text changes colour.
        at = text.index("\x1b[2J\x1b[H")
        self.assertEqual(text[at + 7:],
                         "\x1b[0;92;44m" + BANNER[:213] + "\x1b[0;96;45m" + BANNER[213:] +
                         "\x1b[0;97;41m" + plain + "\x1b[0;92;44m" + CLOSING + "\x1b[0m")

    def test_reader_gone_before_the_first_write(self):
        # The pipe's reading end is closed before the run: every write fails with a
        # broken pipe, and the run must still end with its status 1, not by the signal.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            completed = subprocess.run([PROGRAM, "-help"], stdout=write_end,
                                       stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                       timeout=10)
        finally:
            os.close(write_end)
        self.assertEqual((completed.returncode, completed.stderr), (1, b""))

    def test_no_network_activity(self):
        for args in (["-help"], ["-add", "TCP", "80"]):
            result = run(args, prefix=["strace", "-f", "-e", "trace=socket,connect,sendto"])
            self.assertEqual(result.code, 1)
            self.assertIn("+++ exited with 1 +++", result.err)
            self.assertNotIn("socket(", result.err)
            self.assertNotIn("connect(", result.err)


if __name__ == "__main__":
    unittest.main()
