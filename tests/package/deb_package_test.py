#!/usr/bin/env python3
"""The Debian package as an administrator gets it: made by CPack from this
build tree, checked by lintian and systemd-analyze, unpacked into a scratch
root with dpkg-deb -x and run from there."""
import argparse
import glob
import gzip
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

ARGS = None
PACKAGE = "tavilo-conference"
UNIT = "usr/lib/systemd/system/confrelay@.service"

# Every file of the package, with its mode.
CONTENTS = {
    "etc/logrotate.d/confrelay": "-rw-r--r--",
    "usr/bin/confbench": "-rwxr-xr-x",
    "usr/bin/confchat": "-rwxr-xr-x",
    "usr/bin/confrelay": "-rwxr-xr-x",
    "usr/bin/confweb": "-rwxr-xr-x",
    f"usr/libexec/{PACKAGE}/reference_relay": "-rwxr-xr-x",
    UNIT: "-rw-r--r--",
    f"usr/share/doc/{PACKAGE}/changelog.gz": "-rw-r--r--",
    f"usr/share/doc/{PACKAGE}/copyright": "-rw-r--r--",
    "usr/share/man/man1/confbench.1.gz": "-rw-r--r--",
    "usr/share/man/man1/confchat.1.gz": "-rw-r--r--",
    "usr/share/man/man1/confweb.1.gz": "-rw-r--r--",
    "usr/share/man/man8/confrelay.8.gz": "-rw-r--r--",
}

# lintian warnings that are accepted, with the reason; errors never are.
ACCEPTED_WARNINGS = {}

LOGIN_ACCEPTED = "ログインしました".encode("cp932")


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class DebPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(ARGS.scratch, ignore_errors=True)
        os.makedirs(ARGS.scratch)
        made = run(ARGS.cpack, "-G", "DEB", "--config", ARGS.cpack_config, "-B", os.path.join(ARGS.scratch, "out"))
        if made.returncode != 0:
            raise AssertionError(f"cpack failed:\n{made.stdout}\n{made.stderr}")
        debs = glob.glob(os.path.join(ARGS.scratch, "out", "*.deb"))
        if len(debs) != 1:
            raise AssertionError(f"cpack made {debs}")
        cls.deb = debs[0]
        cls.root = os.path.join(ARGS.scratch, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    def test_name_contents_modes_and_control(self):
        architecture = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(os.path.basename(self.deb), f"{PACKAGE}_{ARGS.version}_{architecture}.deb")
        listing = run("dpkg-deb", "--contents", self.deb).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", path)
            if not mode.startswith("d"):
                files[path.removeprefix("./")] = mode
        self.assertEqual(files, CONTENTS)

        # The libraries' packages, as dpkg-shlibdeps found them.
        depends = run("dpkg-deb", "--field", self.deb, "Depends").stdout
        self.assertRegex(depends, r"^libc6 \(>= [0-9.]+\), .*libstdc\+\+6 \(>= [0-9.]+\)")
        conffiles = run("dpkg-deb", "--info", self.deb, "conffiles").stdout
        self.assertEqual(conffiles.split(), ["/etc/logrotate.d/confrelay"])

    def test_man_pages_are_made_from_each_program(self):
        for page, head in [("man8/confrelay.8.gz", '.TH CONFRELAY "8"'), ("man1/confchat.1.gz", '.TH CONFCHAT "1"'),
                           ("man1/confbench.1.gz", '.TH CONFBENCH "1"'), ("man1/confweb.1.gz", '.TH CONFWEB "1"')]:
            with gzip.open(os.path.join(self.root, "usr/share/man", page), "rt", encoding="utf-8") as text:
                roff = text.read()
            # The project's name survives help2man in UTF-8.
            self.assertIn(f'{head} "', roff, page)
            self.assertIn(f'"Tavilo会議システム {ARGS.version}"', roff, page)

    def test_lintian_finds_no_errors_and_the_programs_hardened(self):
        # With the informational tags, where some of the hardening ones are.
        checked = run("lintian", "--display-info", "--no-tag-display-limit", self.deb)
        for line in checked.stdout.splitlines():
            if line[:2] not in ("E:", "W:", "I:"):
                continue
            tag = line.split()[2]
            with self.subTest(tag=tag):
                self.assertFalse(line.startswith("E:"), line)
                self.assertFalse(tag.startswith("hardening-"), line)
                if line.startswith("W:"):
                    self.assertIn(tag, ACCEPTED_WARNINGS, line)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_systemd_accepts_the_unit(self):
        # systemd-analyze checks the unit against the units it depends on and
        # that its program and man page exist: a root of the package and the
        # host's own units.
        verify_root = os.path.join(ARGS.scratch, "verify-root")
        shutil.copytree(self.root, verify_root, symlinks=True)
        shutil.copytree("/usr/lib/systemd/system", os.path.join(verify_root, "usr/lib/systemd/system"),
                        symlinks=True, dirs_exist_ok=True,
                        ignore=lambda folder, names: [n for n in names if n.startswith("confrelay")])
        environment = dict(os.environ, MANPATH=os.path.join(verify_root, "usr/share/man"))
        verified = run("systemd-analyze", "verify", f"--root={verify_root}", "confrelay@40000.service",
                       env=environment)
        self.assertEqual((verified.returncode, verified.stdout + verified.stderr), (0, ""))

    def test_the_unit_command_serves_a_room_and_its_transcript_rotates(self):
        port = free_udp_port()
        state = os.path.join(ARGS.scratch, "var-lib-confrelay")
        os.makedirs(state)
        with open(os.path.join(self.root, UNIT), encoding="utf-8") as unit:
            command = re.search(r"(?m)^ExecStart=(.*)$", unit.read()).group(1)
        command = command.replace("/usr/bin/", os.path.join(self.root, "usr/bin/"))
        command = command.replace("/var/lib/confrelay", state).replace("%i", str(port))
        relay = subprocess.Popen(command.split(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        lines = ["alice: 会議を始めます", "alice: 議事録は新しいファイルへ"]
        try:
            deadline = time.monotonic() + 30
            os.set_blocking(relay.stdout.fileno(), False)
            heard = b""
            while b"listening" not in heard and relay.poll() is None and time.monotonic() < deadline:
                heard += relay.stdout.read() or b""
                time.sleep(0.05)
            self.assertIn(b"listening", heard, relay.stderr.read() if relay.poll() is not None else b"")

            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as alice:
                alice.bind(("127.0.0.1", 0))
                alice.settimeout(10)
                alice.sendto("!alice+おはよう".encode("cp932"), ("127.0.0.1", port))
                got = [alice.recvfrom(2048)[0] for _ in range(3)]
                self.assertEqual(got, [LOGIN_ACCEPTED, "aliceさんが入室しました".encode("cp932"),
                                       "alice :おはよう".encode("cp932")])
                alice.sendto(lines[0].encode("cp932"), ("127.0.0.1", port))
                self.assertEqual(alice.recvfrom(2048)[0], lines[0].encode("cp932"))

                # The packaged rotation, with the relay of this test in place of
                # the unit's instances.
                with open(os.path.join(self.root, "etc/logrotate.d/confrelay"), encoding="utf-8") as snippet:
                    rotation = snippet.read().replace("/var/lib/confrelay", state)
                rotation, hangup = re.subn(r"(?m)^\s*systemctl kill --signal=HUP .*$", f"kill -HUP {relay.pid}",
                                           rotation)
                self.assertEqual(hangup, 1)
                config = os.path.join(ARGS.scratch, "logrotate.conf")
                with open(config, "w", encoding="utf-8") as out:
                    out.write(rotation)
                rotated = run("logrotate", "--force", "--state", os.path.join(ARGS.scratch, "logrotate.state"),
                              config)
                self.assertEqual(rotated.returncode, 0, rotated.stderr)

                alice.sendto(lines[1].encode("cp932"), ("127.0.0.1", port))
                self.assertEqual(alice.recvfrom(2048)[0], lines[1].encode("cp932"))
                alice_address = "127.0.0.1:%d" % alice.getsockname()[1]
        finally:
            relay.send_signal(signal.SIGTERM)
            _, err = relay.communicate(timeout=30)
        self.assertEqual(relay.returncode, 0, err)
        self.assertTrue(os.path.exists(os.path.join(state, f"{port}.state")))

        # Read as the README says.
        transcript = os.path.join(state, f"{port}.jsonl")
        readable = run("jq", "-r", '"\\(.time) \\(.from) \\(.text)"', transcript + ".1", transcript)
        self.assertEqual(readable.returncode, 0, readable.stderr)
        said = [line for line in readable.stdout.splitlines() if line.endswith(tuple(lines))]
        self.assertEqual(len(said), 2, readable.stdout)
        for line, text in zip(said, lines):
            self.assertRegex(line, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\S*([+-]\d\d:\d\d|Z) " +
                             re.escape(f"{alice_address} {text}") + "$")
        with open(transcript + ".1", encoding="utf-8") as before, open(transcript, encoding="utf-8") as after:
            before_rotation, after_rotation = before.read(), after.read()
        self.assertEqual([text in before_rotation for text in lines], [True, False])
        self.assertEqual([text in after_rotation for text in lines], [False, True])

    def test_confbench_finds_the_relays_installed_with_it(self):
        done = run(os.path.join(self.root, "usr/bin/confbench"), "--runs", "1", "--receivers", "3", "--lines", "20",
                   "--latency-runs", "1", "--latency-seconds", "0.1", "--no-pin", "--check")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for relay in ("reference relay", "confrelay", "confrelay --per-datagram"):
            self.assertRegex(done.stdout, f"\n{relay} +[0-9]")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--cpack-config", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--version", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
