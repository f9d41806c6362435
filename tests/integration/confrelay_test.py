#!/usr/bin/env python3
"""confrelay as a process: started on a port, talked to over UDP on 127.0.0.1."""
import argparse
import os
import resource
import signal
import socket
import subprocess
import sys
import time
import unittest

LOGIN_ACCEPTED = "ログインしました".encode("cp932")
CAPACITY_REFUSAL = "定員オーバーでログインできません".encode("cp932")
PORT_MESSAGE = "ポート番号は1～65535までの数値を入力して下さい"

ARGS = None


def entry(name: bytes) -> bytes:
    return name + "さんが入室しました".encode("cp932")


def exit_notice(name: bytes) -> bytes:
    return name + "さんが退室しました".encode("cp932")


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Peer:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def send(self, data: bytes, port: int):
        self.sock.sendto(data, ("127.0.0.1", port))

    def receive_all(self, quiet=0.3, first_wait=5.0):
        got = []
        self.sock.settimeout(first_wait)
        try:
            while True:
                data, _ = self.sock.recvfrom(65536)
                got.append(data)
                self.sock.settimeout(quiet)
        except socket.timeout:
            return got

    def close(self):
        self.sock.close()


def command(*args):
    return list(ARGS.runner) + [ARGS.confrelay] + [str(a) for a in args]


class Relay:
    """A running confrelay whose stdout and stderr are collected."""

    def __init__(self, port, *options, **popen_options):
        self.port = port
        self.proc = subprocess.Popen(command(*options, port), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **popen_options)
        os.set_blocking(self.proc.stdout.fileno(), False)
        os.set_blocking(self.proc.stderr.fileno(), False)
        self.out = b""
        self.err = b""
        self.wait_for_output(b"listening", 60)

    def read_available(self):
        # A Windows console program ends its lines with CR LF.
        chunk = self.proc.stdout.read()
        if chunk:
            self.out = (self.out + chunk).replace(b"\r\n", b"\n")
        chunk = self.proc.stderr.read()
        if chunk:
            self.err = (self.err + chunk).replace(b"\r\n", b"\n")

    def wait_for_output(self, needle: bytes, timeout=10, stream="out"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.read_available()
            if needle in getattr(self, stream):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"no {needle!r} from confrelay; got {getattr(self, stream)!r}")

    def counts(self):
        self.read_available()
        return [int(line.split(b":")[1]) for line in self.out.splitlines() if line.startswith(b"participants:")]

    def stop(self):
        if self.proc.stdout.closed:
            return self.proc.returncode
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.read_available()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode


class ConfrelayProcess(unittest.TestCase):
    def setUp(self):
        self.relay = Relay(free_udp_port())
        self.peers = []

    def tearDown(self):
        self.relay.stop()
        for peer in self.peers:
            peer.close()

    def peer(self):
        peer = Peer()
        self.peers.append(peer)
        return peer

    def test_two_participants_converse_and_leave(self):
        port = self.relay.port
        alice, bob = self.peer(), self.peer()
        name_a, name_b = "太郎".encode("cp932"), "花子".encode("cp932")
        alice.send(b"!" + name_a + b"+" + "こんにちは".encode("cp932"), port)
        self.assertEqual(alice.receive_all(), [LOGIN_ACCEPTED, entry(name_a), name_a + b" :" + "こんにちは".encode("cp932")])
        bob.send(b"!" + name_b + b"+hi", port)
        self.assertEqual(bob.receive_all(), [LOGIN_ACCEPTED, entry(name_b), name_b + b" :hi"])
        self.assertEqual(alice.receive_all(), [entry(name_b), name_b + b" :hi"])

        line = name_a + b": " + "表示ソフト～".encode("cp932")  # trail bytes 0x5C and 81 60
        alice.send(line, port)
        self.assertEqual(bob.receive_all(), [line])
        self.assertEqual(alice.receive_all(), [line])

        bob.send(b"#" + name_b, port)
        self.assertEqual(alice.receive_all(), [exit_notice(name_b)])
        self.assertEqual(bob.receive_all(quiet=0.2, first_wait=0.5), [])
        # At most one count a second, the last always: 2 may be left out.
        deadline = time.monotonic() + 5
        while self.relay.counts() not in ([1], [1, 2, 1]) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.2)
        self.assertIn(self.relay.counts(), ([1], [1, 2, 1]))

    def test_over_long_datagram_is_dropped_and_the_relay_keeps_serving(self):
        port = self.relay.port
        alice, stranger = self.peer(), self.peer()
        alice.send(b"!alice+x", port)
        alice.receive_all()
        stranger.send(b"z" * 1024, port)
        stranger.send(b"y" * 1023, port)
        self.assertEqual(alice.receive_all(), [b"y" * 1023])
        self.assertIsNone(self.relay.proc.poll())

    @unittest.skipIf(os.name != "posix", "signals")
    def test_sigterm_stops_cleanly(self):
        if ARGS.runner:
            self.skipTest("a signal to the Wine loader does not reach the Windows program")
        self.assertEqual(self.relay.stop(), 0)


    def test_a_wait_that_fails_ends_the_relay_with_status_1(self):
        if ARGS.runner or not hasattr(resource, "prlimit"):
            self.skipTest("another process's limits are set on Linux only")
        if ARGS.sanitized:
            self.skipTest("the sanitizers' own checks need file descriptors, and report their lack instead")
        for flags in [(), ("--per-datagram",)]:
            with self.subTest(flags=flags):
                relay = Relay(free_udp_port(), *flags)
                try:
                    # Not even the socket may be polled now: the wait fails.
                    resource.prlimit(relay.proc.pid, resource.RLIMIT_NOFILE, (0, 0))
                    relay.proc.wait(10)
                finally:
                    status = relay.stop()
                self.assertEqual(status, 1)
                self.assertEqual(relay.err, b"confrelay: waiting for datagrams failed; the relay stops\n")


class ConfrelayArguments(unittest.TestCase):
    def run_relay(self, *args):
        return subprocess.run(command(*args), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    def output(self, stream: bytes) -> str:
        # A Windows console program writes code page 932 and ends lines with CR LF.
        return stream.decode("cp932" if ARGS.runner else "utf-8").replace("\r\n", "\n")

    def assert_usage_error(self, args, message):
        done = self.run_relay(*args)
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stdout, b"")
        self.assertEqual(self.output(done.stderr), f"confrelay: {message} (try 'confrelay --help')\n")

    def test_anything_but_a_port_is_refused_with_the_port_message(self):
        for port in ["0", "65536", "-1", "abc", ""]:
            with self.subTest(port=port):
                self.assert_usage_error((port,), f"'{port}': {PORT_MESSAGE}")

    def test_usage_errors_are_one_line_with_status_2(self):
        cases = [((), "missing PORT"),
                 (("--per-datagram",), "missing PORT"),
                 (("--fast", "40000"), "unrecognized option '--fast'"),
                 (("40000", "40001"), "extra operand '40001'"),
                 (("40000", "--transcript"), "option '--transcript' requires a FILE"),
                 (("--state=", "40000"), "option '--state' requires a FILE"),
                 (("--forget-after", "12", "40000"),
                  "invalid duration '12' (a number with s, m, h or d, at most 366d)"),
                 (("--forget-after=0s", "40000"),
                  "invalid duration '0s' (a number with s, m, h or d, at most 366d)"),
                 (("--history=501", "40000"), "invalid number of history lines '501' (0 to 500)"),
                 (("--history", "+5", "40000"), "invalid number of history lines '+5' (0 to 500)")]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_usage_error(args, message)

    def test_help_and_version_go_to_stdout_with_status_0(self):
        done = self.run_relay("--help")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr, b"")
        help_text = self.output(done.stdout)
        self.assertTrue(help_text.startswith(
            "Usage: confrelay [--per-datagram] [--members-only] [--free-unreachable]\n"))
        for option in ["--per-datagram", "--members-only", "--transcript FILE", "--state FILE", "--help",
                       "--free-unreachable", "--forget-after DURATION", "--history N", "--roster",
                       "--version"]:
            self.assertRegex(help_text, r"\n  " + option + "[ \n]")
        # Help wins over anything else on the line, as in GNU programs.
        self.assertEqual(self.run_relay("--fast", "--help").returncode, 2)
        self.assertEqual(self.run_relay("0", "--help").stdout, done.stdout)

        done = self.run_relay("--version", "40000")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr, b"")
        # UTF-8 on every platform, as the other native programs print it.
        first_line, *rest = done.stdout.decode("utf-8").splitlines()
        self.assertRegex(first_line, r"^confrelay \(Tavilo会議システム\) \d+\.\d+\.\d+$")
        self.assertTrue(rest and rest[0].startswith("Copyright"))

    def test_a_port_in_use_is_reported_with_the_port_and_the_reason(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            port = holder.getsockname()[1]
            done = self.run_relay(port)
        self.assertEqual(done.returncode, 1)
        encoding = "cp932" if ARGS.runner else "utf-8"
        # The window's report, and for an administrator which port and why.
        self.assertEqual(done.stderr.decode(encoding).replace("\r\n", "\n"),
                         f"Tavilo会議システム: bindエラーです\n"
                         f"confrelay: port {port}: address already in use\n")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--confrelay", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="command (and its arguments) that runs the program, e.g. the Wine runner")
    parser.add_argument("--sanitized", action="store_true",
                        help="the relay was built with the sanitizers")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
