#!/usr/bin/env python3
"""confchat as a process: two of them and confrelay hold a conversation on
127.0.0.1, watched byte for byte by a test participant."""
import argparse
import os
import signal
import socket
import subprocess
import sys
import time
import unittest

LOGIN_ACCEPTED = "ログインしました".encode("cp932")

ARGS = None


def cp932(text: str) -> bytes:
    return text.encode("cp932")


def entry(name: str) -> bytes:
    return cp932(name + "さんが入室しました")


def exit_notice(name: str) -> bytes:
    return cp932(name + "さんが退室しました")


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def command(program, *args):
    return list(ARGS.runner) + [program] + [str(a) for a in args]


class Peer:
    """A participant of our own that shows the datagrams as they travel."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def send(self, data: bytes, to):
        self.sock.sendto(data, to)

    def receive_all(self, quiet=0.3, first_wait=10.0):
        got = []
        self.sock.settimeout(first_wait)
        try:
            while True:
                data, sender = self.sock.recvfrom(65536)
                got.append(data)
                self.last_sender = sender
                self.sock.settimeout(quiet)
        except socket.timeout:
            return got

    def close(self):
        self.sock.close()


class Process:
    """A running program whose output streams are collected as they come."""

    def __init__(self, argv, stdin):
        self.proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for stream in (self.proc.stdout, self.proc.stderr):
            os.set_blocking(stream.fileno(), False)
        self.out = b""
        self.err = b""
        self.finished = False

    def read_available(self):
        # A test may have closed stdout to play a reader that went away.
        if not self.proc.stdout.closed:
            self.out += self.proc.stdout.read() or b""
        self.err += self.proc.stderr.read() or b""

    def wait_for(self, needle: str, stream="out", timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.read_available()
            if needle.encode("utf-8") in getattr(self, stream):
                return
            if self.proc.poll() is not None:
                self.read_available()
                break
            time.sleep(0.05)
        raise AssertionError(f"no {needle!r} on std{stream}; got out={self.out!r} err={self.err!r}")

    def finish(self, timeout=20):
        if self.finished:
            return self.proc.returncode
        self.finished = True
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.read_available()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        return self.proc.returncode


class Chat(Process):
    def __init__(self, port, name):
        super().__init__(command(ARGS.confchat, "127.0.0.1", port, name), subprocess.PIPE)

    def type(self, line: str):
        self.proc.stdin.write(line.encode("utf-8") + b"\n")
        self.proc.stdin.flush()

    def end_input(self):
        self.proc.stdin.close()
        return self.finish()

    def interrupt(self):
        if ARGS.runner:
            # A signal to the Wine loader does not reach the Windows program.
            return self.end_input()
        self.proc.send_signal(signal.SIGINT)
        return self.finish()


class Confchat(unittest.TestCase):
    def setUp(self):
        self.cleanup = []

    def tearDown(self):
        for undo in reversed(self.cleanup):
            undo()

    def peer(self):
        peer = Peer()
        self.cleanup.append(peer.close)
        return peer

    def chat(self, port, name):
        chat = Chat(port, name)
        self.cleanup.append(lambda: chat.proc.poll() is None and chat.proc.kill())
        self.cleanup.append(chat.finish)
        return chat

    def start_relay(self, *options):
        port = free_udp_port()
        relay = Process(command(ARGS.confrelay, *options, port), subprocess.DEVNULL)
        self.cleanup.append(relay.finish)
        self.cleanup.append(lambda: relay.proc.poll() is None and relay.proc.terminate())
        relay.wait_for("listening", timeout=60)
        return port

    def test_two_clients_and_the_relay_hold_a_conversation_in_code_page_932(self):
        port = self.start_relay()
        relay = ("127.0.0.1", port)
        watcher = self.peer()
        watcher.send(b"!watch+here", relay)
        self.assertEqual(watcher.receive_all(), [LOGIN_ACCEPTED, entry("watch"), b"watch :here"])

        alice = self.chat(port, "alice")
        alice.type("はじめまして～")  # ～ is 81 60 in code page 932
        self.assertEqual(watcher.receive_all(), [entry("alice"), b"alice :" + b"\x82\xCD\x82\xB6\x82\xDF\x82\xDC\x82\xB5\x82\xC4\x81\x60"])
        alice.wait_for("ログインしました\naliceさんが入室しました\nalice :はじめまして～\n")

        hanako = self.chat(port, "花子")
        hanako.type("こんにちは")
        self.assertEqual(watcher.receive_all(), [entry("花子"), cp932("花子 :こんにちは")])
        alice.wait_for("花子さんが入室しました\n花子 :こんにちは\n")

        alice.type("表示ソフト、よろしく")  # 表 and ソ end in the byte 5C
        self.assertEqual(watcher.receive_all(), [b"alice: " + cp932("表示ソフト、よろしく")])
        hanako.wait_for("alice: 表示ソフト、よろしく\n")

        alice.type("smile \U0001F642")
        alice.wait_for("not sent", stream="err")
        self.assertEqual(watcher.receive_all(first_wait=1.0), [], "nothing goes out for a line with no CP932 form")
        alice.type("")
        alice.wait_for("Error: 何か記入してください", stream="err")

        self.assertEqual(hanako.interrupt(), 0)
        self.assertEqual(watcher.receive_all(), [exit_notice("花子")])
        alice.wait_for("花子さんが退室しました\n")
        self.assertEqual(alice.end_input(), 0)
        self.assertEqual(watcher.receive_all(), [exit_notice("alice")])

    def test_a_late_joiner_is_shown_the_whole_history_the_relay_sends_at_once(self):
        port = self.start_relay("--history", "500")
        relay = ("127.0.0.1", port)
        talker = self.peer()
        talker.send(b"!talk+go", relay)
        for number in range(500):
            talker.send(cp932("talk :議事 %03d " % number) + b"x" * 40, relay)
            if number % 100 == 99:
                talker.receive_all(quiet=0.05)  # the relay keeps pace; our queue is not the one under test
        talker.receive_all(quiet=0.1)

        late = self.chat(port, "late")
        late.type("hi")
        late.wait_for("（ここまでが入室前の発言です）\n")
        heard = [line for line in late.out.decode("utf-8").splitlines() if "talk :議事" in line]
        self.assertEqual(len(heard), 500, "every line of the burst reaches the screen")
        self.assertTrue(heard[0].endswith("talk :議事 000 " + "x" * 40) and heard[-1].startswith("["), heard[:1])

    def test_the_leave_notice_goes_out_only_once_logged_in(self):
        server = self.peer()
        bob = self.chat(server.port, "bob")
        bob.type("hi")
        self.assertEqual(server.receive_all(), [b"!bob+hi"])
        self.assertEqual(bob.end_input(), 0)
        self.assertEqual(server.receive_all(first_wait=1.0), [], "not logged in: no leave notice")

        carol = self.chat(server.port, "carol")
        carol.type("hi")
        self.assertEqual(server.receive_all(), [b"!carol+hi"])
        server.send(LOGIN_ACCEPTED, server.last_sender)
        carol.wait_for("ログインしました\n")
        self.assertEqual(carol.end_input(), 0)
        self.assertEqual(server.receive_all(), [b"#carol"])

    def test_control_characters_from_the_room_are_shown_never_sent_to_the_terminal(self):
        server = self.peer()
        bob = self.chat(server.port, "bob")
        bob.type("hi")
        self.assertEqual(server.receive_all(), [b"!bob+hi"])
        server.send(LOGIN_ACCEPTED, server.last_sender)
        # A window title, a bell, a screen clear, a return that would write
        # over the line, a delete and a C1 introducer; a line break inside
        # a line stays one.
        server.send(b"\x1b]0;owned\x07\x1b[2J\rX\x7f\tY\r\nnext", server.last_sender)
        server.send(b"end", server.last_sender)
        bob.wait_for("end\n")
        self.assertIn(b"^[]0;owned^G^[[2J^MX^?\tY\nnext\n", bob.out)
        self.assertNotIn(b"\x1b", bob.out)
        self.assertNotIn(b"\x07", bob.out)
        self.assertNotIn(b"\r", bob.out)
        self.assertEqual(bob.end_input(), 0)

    def test_a_reader_of_the_output_that_went_away_makes_it_leave(self):
        if ARGS.runner:
            self.skipTest("SIGPIPE")
        server = self.peer()
        dave = self.chat(server.port, "dave")
        dave.type("hi")
        self.assertEqual(server.receive_all(), [b"!dave+hi"])
        dave.proc.stdout.close()
        # The reply is the first thing written to the closed output.
        server.send(LOGIN_ACCEPTED, server.last_sender)
        self.assertEqual(server.receive_all(), [b"#dave"])
        self.assertEqual(dave.proc.wait(20), 0)

    def test_a_bad_port_is_reported_and_nothing_joins(self):
        done = subprocess.run(command(ARGS.confchat, "127.0.0.1", "0", "alice"), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("Error: ポート番号は1～65535までの数値を入力して下さい", done.stderr.decode("utf-8"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--confchat", required=True)
    parser.add_argument("--confrelay", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="command (and its arguments) that runs the programs, e.g. the Wine runner")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
