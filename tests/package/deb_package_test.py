#!/usr/bin/env python3
"""The Debian package as an administrator gets it: made by CPack from this
build tree, checked by lintian and systemd-analyze, unpacked into a scratch
root with dpkg-deb -x and run from there."""
import argparse
import glob
import gzip
import json
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
WEB_UNIT = "usr/lib/systemd/system/confweb@.service"
# What systemd-analyze security may find exposed, at most, of each unit.
EXPOSURE_LIMIT = 1.2

# Every file of the package, with its mode.
CONTENTS = {
    "etc/default/confweb": "-rw-r--r--",
    "etc/logrotate.d/confrelay": "-rw-r--r--",
    "usr/bin/confbench": "-rwxr-xr-x",
    "usr/bin/confchat": "-rwxr-xr-x",
    "usr/bin/confrelay": "-rwxr-xr-x",
    "usr/bin/confweb": "-rwxr-xr-x",
    f"usr/libexec/{PACKAGE}/reference_relay": "-rwxr-xr-x",
    UNIT: "-rw-r--r--",
    WEB_UNIT: "-rw-r--r--",
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


def readme_jq_program():
    """The jq program of the README's recipe for reading a transcript."""
    with open(ARGS.readme, encoding="utf-8") as readme:
        found = re.search(r"(?ms)^sudo jq -r '(.*?)' /var/lib/confrelay/\d+\.jsonl$", readme.read())
    if found is None:
        raise AssertionError("the README has no jq recipe for the transcript")
    return found.group(1)


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
        self.assertEqual(sorted(conffiles.split()), ["/etc/default/confweb", "/etc/logrotate.d/confrelay"])

    def test_man_pages_are_made_from_each_program(self):
        for page, head in [("man8/confrelay.8.gz", '.TH CONFRELAY "8"'), ("man1/confchat.1.gz", '.TH CONFCHAT "1"'),
                           ("man1/confbench.1.gz", '.TH CONFBENCH "1"'), ("man1/confweb.1.gz", '.TH CONFWEB "1"')]:
            with gzip.open(os.path.join(self.root, "usr/share/man", page), "rt", encoding="utf-8") as text:
                roff = text.read()
            # The project's name survives help2man in UTF-8.
            self.assertIn(f'{head} "', roff, page)
            self.assertIn(f'"Tavilo会議システム {ARGS.version}"', roff, page)
            if page.startswith("man8/confrelay"):
                # An administrator's sections, from the page's include file.
                self.assertEqual(sorted(re.findall(r'(?m)^\.SH "?(FILES|EXIT STATUS|SIGNALS|SEE ALSO)"?$', roff)),
                                 ["EXIT STATUS", "FILES", "SEE ALSO", "SIGNALS"])

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

    def test_systemd_accepts_the_units_and_finds_them_well_confined(self):
        # systemd-analyze checks a unit against the units it depends on and
        # that its program and man page exist: a root of the package and the
        # host's own units.
        verify_root = os.path.join(ARGS.scratch, "verify-root")
        shutil.copytree(self.root, verify_root, symlinks=True)
        shutil.copytree("/usr/lib/systemd/system", os.path.join(verify_root, "usr/lib/systemd/system"),
                        symlinks=True, dirs_exist_ok=True,
                        ignore=lambda folder, names: [n for n in names if n.startswith(("confrelay", "confweb"))])
        # ExecReload's program, from the host.
        os.makedirs(os.path.join(verify_root, "bin"), exist_ok=True)
        shutil.copy(os.path.realpath("/bin/kill"), os.path.join(verify_root, "bin/kill"))
        environment = dict(os.environ, MANPATH=os.path.join(verify_root, "usr/share/man"))
        for unit in (UNIT, WEB_UNIT):
            instance = os.path.basename(unit).replace("@", "@40000")
            with self.subTest(unit=instance):
                verified = run("systemd-analyze", "verify", f"--root={verify_root}", instance, env=environment)
                self.assertEqual((verified.returncode, verified.stdout + verified.stderr), (0, ""))
                analysed = run("systemd-analyze", "security", "--offline=yes", f"--root={verify_root}",
                               "--no-pager", instance)
                level = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", analysed.stdout)
                self.assertIsNotNone(level, analysed.stdout + analysed.stderr)
                self.assertLessEqual(float(level.group(1)), EXPOSURE_LIMIT, analysed.stdout)

    def test_the_unit_command_serves_a_room_and_its_transcript_rotates(self):
        port = free_udp_port()
        state = os.path.join(ARGS.scratch, "var-lib-confrelay")
        os.makedirs(state)
        command = self.relay_unit_command(str(port), state)
        relay = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The first line carries what would retitle a terminal and ring its bell.
        lines = ["alice: 会議を始めます\x1b]0;pwned\x07", "alice: 議事録は新しいファイルへ"]
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
                # Nothing was said before: no catch-up, but the list of who
                # is present when the unit asks for it.
                expected = [LOGIN_ACCEPTED, *(["参加者 1人: alice".encode("cp932")] if "--roster" in command else []),
                            "aliceさんが入室しました".encode("cp932"), "alice :おはよう".encode("cp932")]
                got = [alice.recvfrom(2048)[0] for _ in expected]
                self.assertEqual(got, expected)
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

        # Read as the README says: control characters shown, never sent to
        # the terminal.
        transcript = os.path.join(state, f"{port}.jsonl")
        readable = run("jq", "-r", readme_jq_program(), transcript + ".1", transcript)
        self.assertEqual(readable.returncode, 0, readable.stderr)
        self.assertIsNone(re.search(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", readable.stdout), readable.stdout)
        shown = [text.replace("\x1b", "^[").replace("\x07", "^G") for text in lines]
        said = [line for line in readable.stdout.splitlines() if line.endswith(tuple(shown))]
        self.assertEqual(len(said), 2, readable.stdout)
        for line, text in zip(said, shown):
            self.assertRegex(line, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\S*([+-]\d\d:\d\d|Z) " +
                             re.escape(f"{alice_address} {text}") + "$")
        with open(transcript + ".1", encoding="utf-8") as before, open(transcript, encoding="utf-8") as after:
            before_rotation, after_rotation = before.read(), after.read()
        as_json = [json.dumps(text, ensure_ascii=False)[1:-1] for text in lines]
        self.assertEqual([text in before_rotation for text in as_json], [True, False])
        self.assertEqual([text in after_rotation for text in as_json], [False, True])

    def relay_unit_command(self, instance, state):
        """The relay unit's ExecStart for an instance, as argv, with the
        package's root and `state` in place of /var/lib/confrelay. An option
        this relay does not list in its --help yet is left out (with its
        value), and said so."""
        with open(os.path.join(self.root, UNIT), encoding="utf-8") as unit:
            command = re.search(r"(?m)^ExecStart=(.*)$", unit.read()).group(1)
        command = command.replace("/usr/bin/", os.path.join(self.root, "usr/bin/"))
        argv = command.replace("/var/lib/confrelay", state).replace("%i", instance).split()
        known = set(re.findall(r"--[a-z-]+", run(argv[0], "--help").stdout))
        runnable = [argv[0]]
        skipping_value = False
        for argument in argv[1:]:
            if skipping_value:
                skipping_value = False
            elif argument.startswith("--") and argument not in known:
                print(f"note: this confrelay has no {argument} yet; the unit's command runs without it",
                      file=sys.stderr)
                # The unit's options with a value take one that is no option.
                skipping_value = argument in ("--forget-after", "--history")
            else:
                runnable.append(argument)
        return runnable

    def test_the_unit_does_not_restart_after_a_wrong_instance_name(self):
        with open(os.path.join(self.root, UNIT), encoding="utf-8") as unit:
            kept = re.search(r"(?m)^RestartPreventExitStatus=(\d+)$", unit.read())
        self.assertIsNotNone(kept)
        state = os.path.join(ARGS.scratch, "wrong-instance")
        os.makedirs(state)
        for instance in ("relay", "70000"):
            with self.subTest(instance=instance):
                done = subprocess.run(self.relay_unit_command(instance, state), capture_output=True, timeout=30)
                self.assertEqual(done.returncode, int(kept.group(1)), done.stderr)

    def test_the_gateway_unit_command_with_its_settings_file_serves_the_page(self):
        with open(os.path.join(self.root, WEB_UNIT), encoding="utf-8") as unit:
            text = unit.read()
        settings = {}
        for line in re.findall(r"(?m)^Environment=(.*)$", text):
            settings.update(assignment.split("=", 1) for assignment in line.split())
        with open(os.path.join(self.root, "etc/default/confweb"), encoding="utf-8") as default:
            for key, value in re.findall(r"(?m)^(\w+)=(.*)$", default.read()):
                settings[key] = value.strip('"')
        # As an administrator would edit the file: a port free here.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            settings["CONFWEB_LISTEN"] = f"127.0.0.1:{probe.getsockname()[1]}"
        command = re.search(r"(?m)^ExecStart=(.*)$", text).group(1).replace("%i", str(free_udp_port()))
        argv = []
        for word in command.split():
            # systemd: ${NAME} is one argument, $NAME splits at blanks.
            whole = re.fullmatch(r"\$\{(\w+)\}", word)
            split = re.fullmatch(r"\$(\w+)", word)
            if whole:
                argv.append(settings[whole.group(1)])
            elif split:
                argv.extend(settings[split.group(1)].split())
            else:
                argv.append(word.replace("/usr/bin/", os.path.join(self.root, "usr/bin/")))
        gateway = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            os.set_blocking(gateway.stdout.fileno(), False)
            heard = b""
            deadline = time.monotonic() + 30
            while b"http://" not in heard and gateway.poll() is None and time.monotonic() < deadline:
                heard += gateway.stdout.read() or b""
                time.sleep(0.05)
            self.assertIn(b"http://", heard, gateway.stderr.read() if gateway.poll() is not None else b"")
            host, port = settings["CONFWEB_LISTEN"].split(":")
            with socket.create_connection((host, int(port)), timeout=10) as browser:
                browser.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
                self.assertTrue(browser.recv(64).startswith(b"HTTP/1.1 200 "))
        finally:
            gateway.send_signal(signal.SIGTERM)
            gateway.communicate(timeout=30)
        self.assertEqual(gateway.returncode, 0)

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
    parser.add_argument("--readme", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
