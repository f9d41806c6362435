#!/usr/bin/env python3
"""The native programs' command lines keep to GNU habits: --help and
--version on stdout with status 0, a usage error as one line on stderr with
status 2 and nothing on stdout. help2man makes the man pages from the first
two, and scripts rely on the last."""
import argparse
import os
import subprocess
import sys
import unittest

ARGS = None

# Arguments that each program must refuse as a usage error.
USAGE_ERRORS = {
    "confchat": [
        [],
        ["127.0.0.1", "40000"],
        ["127.0.0.1", "40000", "alice", "extra"],
        ["--verbose", "127.0.0.1", "40000", "alice"],
        ["127.0.0.1", "40000", "smile \U0001F642"],  # no code page 932 form
    ],
    "confrelay": [
        [],
        ["--fast", "40000"],
        ["40000", "40001"],
        ["40000", "--transcript"],
        ["--state=", "40000"],
        ["0"],
        ["65536"],
    ],
    "confweb": [
        [],
        ["--relay"],
        ["--relay", "127.0.0.1:0"],
        ["--relay", "127.0.0.1:40000", "extra"],
        ["--relay", "127.0.0.1:40000", "--listen", "nowhere"],
        ["--relay", "127.0.0.1:40000", "--allow-host", "bad/name"],
        ["--relay", "127.0.0.1:40000", "--allow-host", "evil.example:80"],
        ["--relay", "127.0.0.1:40000", "--allow-host="],
        ["--relay", "127.0.0.1:40000", "--allow-host"],
        ["--relay", "127.0.0.1"],
        ["--relay", "127.0.0.1:40000", "--listen", "1.2.3.4:x"],
        ["--relay", "127.0.0.1:40000", "--listen", "localhost:0"],
        ["--relay", "127.0.0.1:40000", "--resume-seconds", "x"],
        ["--relay", "127.0.0.1:40000", "--resume-seconds", "99999999999"],
        ["--relay", "127.0.0.1:40000", "--enter-seconds", "0"],
        ["--bogus"],
        # TLS: both files or neither, each readable (or no TLS in the build)
        ["--relay", "127.0.0.1:40000", "--tls-cert", "gateway.crt"],
        ["--relay", "127.0.0.1:40000", "--tls-key", "gateway.key"],
        ["--relay", "127.0.0.1:40000", "--tls-cert=", "--tls-key", "gateway.key"],
        ["--relay", "127.0.0.1:40000", "--tls-cert", "no-such.crt", "--tls-key", "no-such.key"],
    ],
    "confbench": [
        ["--bogus"],
        ["stray"],
        ["--runs"],
        ["--payload", "13"],
        ["--payload", "many"],
        ["--port", "0"],
        ["--relay", " "],
    ],
}


def run(program, *args):
    return subprocess.run([program, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)


class CommandLine(unittest.TestCase):
    def programs(self):
        for path in ARGS.program:
            name = os.path.basename(path)
            with self.subTest(program=name):
                yield name, path

    def test_help_goes_to_stdout_with_status_0(self):
        for name, path in self.programs():
            done = run(path, "--help")
            self.assertEqual(done.returncode, 0)
            self.assertEqual(done.stderr, b"")
            self.assertTrue(done.stdout.startswith(f"Usage: {name} ".encode()), done.stdout[:80])
            for option in (b"--help", b"--version"):
                self.assertIn(option, done.stdout)

    def test_version_names_the_program_and_the_project_version(self):
        for name, path in self.programs():
            done = run(path, "--version")
            self.assertEqual(done.returncode, 0)
            self.assertEqual(done.stderr, b"")
            first = done.stdout.decode("utf-8").splitlines()[0]
            self.assertEqual(first, f"{name} (Tavilo会議システム) {ARGS.version}")

    def test_a_usage_error_is_one_line_on_stderr_with_status_2(self):
        for name, path in self.programs():
            for args in USAGE_ERRORS[name]:
                with self.subTest(args=args):
                    done = run(path, *args)
                    self.assertEqual(done.returncode, 2)
                    self.assertEqual(done.stdout, b"")
                    message = done.stderr.decode("utf-8")
                    self.assertRegex(message, f"^{name}: [^\n]+ \\(try '{name} --help'\\)\n$")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", action="append", required=True)
    parser.add_argument("--version", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
