#!/usr/bin/env python3
"""confrelay's two receive loops as a process: the batched one (the default on
Linux) and --per-datagram answer alike, and the flag does not loosen the
port check."""
import argparse
import signal
import socket
import subprocess
import sys
import time
import unittest

LOGIN_ACCEPTED = "ログインしました".encode("cp932")
PORT_MESSAGE_START = "ポート番号は1"
# Lifts the system's cap on a receive queue where we may (root); Python has no name for it.
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)

ARGS = None


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def receive_all(sock, quiet=0.3, first_wait=5.0):
    got = []
    sock.settimeout(first_wait)
    try:
        while True:
            got.append(sock.recvfrom(65536)[0])
            sock.settimeout(quiet)
    except socket.timeout:
        return got


class BothPaths(unittest.TestCase):
    def converse(self, *flags_and_port):
        port = next(a for a in flags_and_port if a.isdigit())
        relay = subprocess.Popen([ARGS.confrelay, *flags_and_port], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertEqual(relay.stdout.readline(), f"listening on UDP port {port}\n".encode())
            address = ("127.0.0.1", int(port))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as alice, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
                alice.sendto(b"!alice+hi", address)
                self.assertEqual(receive_all(alice), [LOGIN_ACCEPTED, "alice".encode() + "さんが入室しました".encode("cp932"),
                                                      b"alice :hi"])
                # A burst: the batched loop takes it in one go, over-long
                # datagrams and all, and must keep its order.
                burst = [b"line %d" % i for i in range(50)]
                for i, line in enumerate(burst):
                    stranger.sendto(line, address)
                    if i % 10 == 0:
                        stranger.sendto(b"z" * 1024, address)
                self.assertEqual(receive_all(alice), burst)
        finally:
            relay.send_signal(signal.SIGTERM)
            out, err = relay.communicate(timeout=10)
        self.assertEqual(relay.returncode, 0, err)
        self.assertEqual(out, b"participants: 1\n")
        self.assertEqual(err, b"")

    def test_batched_by_default(self):
        self.converse(str(free_udp_port()))

    def test_per_datagram_before_or_after_the_port(self):
        self.converse("--per-datagram", str(free_udp_port()))
        self.converse(str(free_udp_port()), "--per-datagram")

    def burst_arrives_whole(self, *flags):
        """Lines sent far faster than the relay can pass them on to twenty
        participants wait in its queue; none is dropped there."""
        port = free_udp_port()
        relay = subprocess.Popen([ARGS.confrelay, *flags, str(port)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        receivers = []
        try:
            relay.stdout.readline()
            address = ("127.0.0.1", port)
            for i in range(20):
                receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                receivers.append(receiver)
                receiver.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
                receiver.bind(("127.0.0.1", 0))
                receiver.sendto(b"!r%02d+x" % i, address)
                receive_all(receiver, quiet=0.05)
            for receiver in receivers:
                receive_all(receiver, quiet=0.05, first_wait=0.05)
            lines = [b"burst %05d " % i + b"." * 52 for i in range(3000)]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                for line in lines:
                    sender.sendto(line, address)
            for i, receiver in enumerate(receivers):
                # The relay passes each line to everyone before the next, so
                # once the first receiver's stream has gone quiet the others
                # hold all they will get.
                got = receive_all(receiver, quiet=1.0) if i == 0 else receive_all(receiver, 0.05, 0.05)
                self.assertEqual(len(got), len(lines), f"receiver {i}")
                self.assertEqual(got, lines, f"receiver {i}")
        finally:
            for receiver in receivers:
                receiver.close()
            relay.send_signal(signal.SIGTERM)
            relay.communicate(timeout=10)

    def test_a_burst_is_not_dropped_at_the_relay(self):
        self.burst_arrives_whole()
        self.burst_arrives_whole("--per-datagram")

    def test_the_flag_is_no_port_and_nothing_else_is_a_flag(self):
        port = str(free_udp_port())
        for args, message in [(("--per-datagram",), "missing PORT"), (("--fast", port), "unrecognized option"),
                              ((port, port), "extra operand"), (("--per-datagram", "0"), PORT_MESSAGE_START)]:
            with self.subTest(args=args):
                done = subprocess.run([ARGS.confrelay, *args], stdin=subprocess.DEVNULL, capture_output=True,
                                      timeout=30)
                self.assertEqual(done.returncode, 2)
                self.assertIn(message, done.stderr.decode("utf-8"))

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--confrelay", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
