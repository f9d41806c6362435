#!/usr/bin/env python3
"""confrelay as an office service: its transcript, its state file across a
kill and a restart, and members-only mode, as processes talked to over UDP on
127.0.0.1. Runs natively and under Wine (--runner); what needs POSIX signals
or /dev/full runs natively only."""
import argparse
import datetime
import functools
import glob
import json
import os
import resource
import shutil
import signal
import re
import stat
import subprocess
import sys
import tempfile
import time
import unittest

import confrelay_test
from confrelay_test import LOGIN_ACCEPTED, Peer, Relay, entry, exit_notice, free_udp_port

ARGS = None

SATO, SUZUKI, TANAKA = ("佐藤".encode("cp932"), "鈴木".encode("cp932"), "田中".encode("cp932"))
NOT_A_MEMBER = "会議に参加していません。いったん終了してから、もう一度参加してください".encode("cp932")


def login(name: bytes, text: bytes = b"hi") -> bytes:
    return b"!" + name + b"+" + text


def endpoint(peer: Peer) -> str:
    return "%s:%d" % peer.sock.getsockname()


def native_only(reason):
    """For what a program under Wine cannot meet: POSIX signals, /dev/full."""
    def decorate(test):
        @functools.wraps(test)
        def run(self):
            if ARGS.runner or os.name != "posix":
                self.skipTest(reason)
            return test(self)
        return run
    return decorate


class Service(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="confrelay-service-")
        self.relays = []
        self.peers = []

    def tearDown(self):
        for relay in self.relays:
            relay.stop()
        for peer in self.peers:
            peer.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self, port, *options, **popen_options):
        relay = Relay(port, *options, **popen_options)
        self.relays.append(relay)
        return relay

    def peer(self):
        peer = Peer()
        self.peers.append(peer)
        return peer

    def records(self, path, count):
        """The transcript once it holds `count` records: a record is written
        just after its line was sent, so it may trail what a peer received."""
        deadline = time.monotonic() + 10
        while True:
            with open(path, "rb") as transcript:
                lines = transcript.read().split(b"\n")
            if len(lines) - 1 >= count or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(lines[-1], b"", "every record ends its line")
        return [json.loads(line) for line in lines[:-1]]

    def test_after_kill_9_a_restart_with_the_same_state_file_carries_on_the_room(self):
        port, state, transcript = free_udp_port(), self.path("40000.state"), self.path("40000.jsonl")
        options = ("--members-only", "--state", state, "--transcript", transcript)  # as the packaged unit runs it
        relay = self.start(port, *options)
        self.assertTrue(relay.out.startswith(b"participants: 0\n"), relay.out)
        sato, suzuki, tanaka = self.peer(), self.peer(), self.peer()
        for peer, name in [(sato, SATO), (suzuki, SUZUKI), (tanaka, TANAKA)]:
            peer.send(login(name), port)
            self.assertEqual(peer.receive_all()[0], LOGIN_ACCEPTED)
        tanaka.send(b"#" + TANAKA, port)
        self.assertEqual(sato.receive_all()[-1], exit_notice(TANAKA))
        # Handled after the leave's batch was written: the file is up to date.
        sato.send(SATO + b": " + "始めます".encode("cp932"), port)
        self.assertEqual(suzuki.receive_all()[-1], SATO + b": " + "始めます".encode("cp932"))
        sato.receive_all()

        relay.proc.kill()
        relay.proc.wait()
        relay = self.start(port, *options)
        self.assertTrue(relay.out.startswith(b"participants: 2\n"), relay.out)

        line = SATO + b": " + "再起動しましたか".encode("cp932")
        sato.send(line, port)
        self.assertEqual(suzuki.receive_all(), [line])
        self.assertEqual(sato.receive_all(), [line])
        suzuki.send(b"#" + SUZUKI, port)
        self.assertEqual(sato.receive_all(), [exit_notice(SUZUKI)])
        relay.wait_for_output(b"participants: 1\n")
        sato.send(b"after", port)
        self.assertEqual(sato.receive_all(), [b"after"])
        self.assertEqual(suzuki.receive_all(quiet=0.2, first_wait=0.5), [], "a restored place was freed")
        self.assertEqual(tanaka.receive_all(quiet=0.2, first_wait=0.5), [], "a place freed before the kill stays free")

        kinds = [record["kind"] for record in self.records(transcript, 11)]
        self.assertEqual(kinds, ["entry", "first"] * 3 + ["exit", "line", "line", "exit", "line"],
                         "both runs append to one transcript")

    @native_only("the kernel's bounce reports (IP_RECVERR) are Linux's")
    def test_as_the_unit_runs_it_a_closed_participant_is_freed_and_a_late_joiner_catches_up(self):
        port, state, transcript = free_udp_port(), self.path("40000.state"), self.path("40000.jsonl")
        options = ("--members-only", "--free-unreachable", "--forget-after", "12h", "--history", "50", "--roster",
                   "--state", state, "--transcript", transcript)
        relay = self.start(port, *options)
        sato, suzuki, gone = self.peer(), self.peer(), self.peer()
        gone_name = "消える".encode("cp932")
        for peer, name in [(sato, SATO), (suzuki, SUZUKI), (gone, gone_name)]:
            peer.send(login(name), port)
            self.assertEqual(peer.receive_all()[0], LOGIN_ACCEPTED)
        gone.sock.close()
        self.peers.remove(gone)
        # Each line bounces off the closed port; the third bounce at least
        # ten seconds after the first frees the place.
        heard = []
        deadline = time.monotonic() + 20
        while exit_notice(gone_name) not in heard and time.monotonic() < deadline:
            sato.send(SATO + b": " + b"tick", port)
            heard += suzuki.receive_all(quiet=0.1, first_wait=1.0)
            time.sleep(0.9)
        self.assertIn(exit_notice(gone_name), heard)
        self.assertGreaterEqual(heard.count(SATO + b": tick"), 3)
        exits = [r for r in self.records(transcript, 7) if r["kind"] == "exit"]
        self.assertEqual([(r["member"], r.get("reason")) for r in exits], [("消える", "unreachable")])
        relay.wait_for_output(b"participants: 2\n")
        sato.receive_all()
        relay.stop()

        # After a restart the history comes from the transcript's end.
        relay = self.start(port, *options)
        tanaka = self.peer()
        tanaka.send(login(TANAKA, b"hello"), port)
        got = tanaka.receive_all()
        self.assertEqual(got[0], LOGIN_ACCEPTED)
        end = got.index("（ここまでが入室前の発言です）".encode("cp932"))
        history = got[1:end]
        for line in history:
            self.assertRegex(line, rb"^\[\d\d:\d\d\] ")
        before = [r["text"].encode("cp932") for r in self.records(transcript, len(history) + 2)[:-2]]
        self.assertEqual([line[8:] for line in history], before, "every line of the first run, in order")
        self.assertIn(exit_notice(gone_name), before)
        self.assertEqual(got[end + 1:], ["参加者 3人: ".encode("cp932") + SATO + "、".encode("cp932") + SUZUKI +
                                         "、".encode("cp932") + TANAKA, entry(TANAKA), TANAKA + b" :hello"])
        self.assertEqual(sato.receive_all(), [entry(TANAKA), TANAKA + b" :hello"], "the history is the newcomer's")

    def test_a_state_file_that_is_not_a_valid_table_is_set_aside_and_the_relay_starts_empty(self):
        valid = (b'{"format":"confrelay participant table","version":1,"participants":'
                 b'[{"slot":0,"address":"127.0.0.1","port":5,"name":"a","name_cp932":"61"}]}\n')
        cases = {"garbage": b"\x00\xff\x82 not a table",
                 "truncated": valid[:len(valid) // 2],
                 "wrong version": valid.replace(b'"version":1', b'"version":2')}
        for kind, content in cases.items():
            with self.subTest(kind=kind):
                state = self.path(kind.replace(" ", "-") + ".state")
                with open(state, "wb") as bad:
                    bad.write(content)
                port = free_udp_port()
                relay = self.start(port, "--state", state)
                self.assertTrue(relay.out.startswith(b"participants: 0\n"), relay.out)
                relay.wait_for_output(b"not a valid participant table", stream="err")
                set_aside = glob.glob(glob.escape(state) + ".bad-*")
                self.assertEqual(len(set_aside), 1)
                with open(set_aside[0], "rb") as kept:
                    self.assertEqual(kept.read(), content)

                alice = self.peer()
                alice.send(login(b"alice"), port)
                self.assertEqual(alice.receive_all()[0], LOGIN_ACCEPTED)
                # Handled after the login's batch was written.
                alice.send(b"written by now", port)
                self.assertEqual(alice.receive_all()[-1], b"written by now")
                with open(state, "rb") as written:
                    table = json.loads(written.read())
                self.assertEqual([(p["slot"], p["port"], p["name_cp932"]) for p in table["participants"]],
                                 [(0, alice.sock.getsockname()[1], b"alice".hex())])
                self.assertIsNone(relay.proc.poll())

    def test_a_folder_given_as_the_state_file_is_left_where_it_is(self):
        port, folder = free_udp_port(), self.path("state-folder")
        os.mkdir(folder)
        relay = self.start(port, "--state", folder)
        relay.wait_for_output(b"not a file", stream="err")
        alice = self.peer()
        alice.send(login(b"alice"), port)
        self.assertEqual(alice.receive_all()[0], LOGIN_ACCEPTED)
        self.assertTrue(os.path.isdir(folder))
        self.assertEqual(glob.glob(glob.escape(folder) + "*"), [folder])

    @native_only("FIFOs")
    def test_fifos_given_as_state_and_transcript_do_not_hold_up_the_relay(self):
        port, state, transcript = free_udp_port(), self.path("state.fifo"), self.path("transcript.fifo")
        os.mkfifo(state)
        os.mkfifo(transcript)
        relay = self.start(port, "--state", state, "--transcript", transcript)
        relay.wait_for_output(b"transcript %s: cannot open: No such device or address" % transcript.encode(),
                              stream="err")
        self.assertIn(b"state %s: not a file; starting with an empty table" % state.encode(), relay.err)
        alice = self.peer()
        alice.send(login(b"alice"), port)
        self.assertEqual(alice.receive_all()[0], LOGIN_ACCEPTED)
        self.assertTrue(stat.S_ISFIFO(os.stat(state).st_mode), "left where it is")
        self.assertEqual(glob.glob(glob.escape(state) + ".*"), [])

    @native_only("symbolic links")
    def test_links_planted_at_the_state_and_transcript_files_are_not_followed(self):
        port, state, transcript = free_udp_port(), self.path("40000.state"), self.path("40000.jsonl")
        victims = {name: self.path(name) for name in ("passwd", "shadow")}
        for victim in victims.values():
            with open(victim, "wb") as out:
                out.write(b"precious\n")
        os.symlink(victims["passwd"], state + ".tmp")
        os.symlink(victims["shadow"], transcript)
        relay = self.start(port, "--state", state, "--transcript", transcript)
        relay.wait_for_output(b"transcript %s: cannot open: Too many levels of symbolic links" % transcript.encode(),
                              stream="err")
        alice = self.peer()
        alice.send(login(b"alice"), port)
        self.assertEqual(alice.receive_all()[0], LOGIN_ACCEPTED)
        # The place is saved all the same, into a file of the relay's own.
        deadline = time.monotonic() + 10
        while not os.path.exists(state) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(stat.S_ISREG(os.lstat(state).st_mode))
        for victim in victims.values():
            with open(victim, "rb") as kept:
                self.assertEqual(kept.read(), b"precious\n", victim)

    @native_only("SIGPIPE")
    def test_a_reader_of_stdout_that_went_away_costs_the_room_nothing(self):
        port = free_udp_port()
        relay = self.start(port)
        relay.proc.stdout.close()
        # Each login changes the count, which goes to the closed stdout.
        alice, bob = self.peer(), self.peer()
        alice.send(login(b"alice"), port)
        self.assertEqual(alice.receive_all()[0], LOGIN_ACCEPTED)
        bob.send(login(b"bob"), port)
        self.assertEqual(bob.receive_all()[0], LOGIN_ACCEPTED)
        relay.proc.send_signal(signal.SIGTERM)
        self.assertEqual(relay.proc.wait(10), 0)

    @native_only("socket buffer limits of Linux")
    def test_socket_buffers_capped_by_the_system_are_reported_once(self):
        port = free_udp_port()
        # Without CAP_NET_ADMIN, as under the packaged unit.
        drop = ["setpriv", "--bounding-set=-net_admin"] if os.geteuid() == 0 else []
        proc = subprocess.Popen(drop + [ARGS.confrelay, str(port)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            alice = self.peer()
            for _ in range(3):
                alice.send(login(b"alice"), port)
                alice.receive_all()
                alice.send(b"#alice", port)
        finally:
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=10)
        reports = re.findall(rb"socket buffers of (\d+) bytes \(receive\) and (\d+) bytes \(send\)", err)
        self.assertEqual(len(reports), 1, err)
        self.assertTrue(all(int(size) > 0 for size in reports[0]), err)

    def test_the_transcript_of_a_japanese_conversation(self):
        port, transcript = free_udp_port(), self.path("room.jsonl")
        self.start(port, "--transcript", transcript)
        sato, suzuki, stranger = self.peer(), self.peer(), self.peer()
        sato.send(login(SATO, "こんにちは".encode("cp932")), port)
        sato.receive_all()
        suzuki.send(login(SUZUKI, "よろしく".encode("cp932")), port)
        suzuki.receive_all()
        said = [(sato, SATO + b": " + "表示ソフト～".encode("cp932")),   # 0x5C as a trail byte, and 81 60
                (sato, SUZUKI + b": " + "賛成です".encode("cp932")),      # 佐藤 speaking as 鈴木
                (stranger, TANAKA + b": \x82\x20ok\xff")]                 # bytes that are not code page 932
        for peer, line in said:
            peer.send(line, port)
            self.assertEqual(suzuki.receive_all()[-1], line)
        suzuki.send(b"#" + SUZUKI, port)
        self.assertEqual(sato.receive_all()[-1], exit_notice(SUZUKI))

        records = self.records(transcript, 8)
        fields = [(r["kind"], r["from"], r["member"], r["text"]) for r in records]
        s, z, x = endpoint(sato), endpoint(suzuki), endpoint(stranger)
        self.assertEqual(fields, [
            ("entry", s, "佐藤", "佐藤さんが入室しました"),
            ("first", s, "佐藤", "佐藤 :こんにちは"),
            ("entry", z, "鈴木", "鈴木さんが入室しました"),
            ("first", z, "鈴木", "鈴木 :よろしく"),
            ("line", s, "佐藤", "佐藤: 表示ソフト～"),
            ("line", s, "佐藤", "鈴木: 賛成です"),
            ("line", x, None, "田中: \ufffd ok\ufffd"),
            ("exit", z, "鈴木", "鈴木さんが退室しました"),
        ])
        now = datetime.datetime.now(datetime.timezone.utc)
        for record in records:
            written = datetime.datetime.fromisoformat(record["time"])
            self.assertIsNotNone(written.utcoffset(), record["time"])
            self.assertLess(abs((now - written).total_seconds()), 120)
        if not ARGS.runner:
            self.assertEqual(os.stat(transcript).st_mode & 0o777, 0o640)

    @native_only("SIGHUP")
    def test_sighup_reopens_the_transcript_for_log_rotation(self):
        port, transcript = free_udp_port(), self.path("room.jsonl")
        relay = self.start(port, "--transcript", transcript)
        alice = self.peer()
        alice.send(login(b"alice"), port)
        alice.send(b"before", port)
        self.assertEqual(alice.receive_all()[-1], b"before")
        os.rename(transcript, transcript + ".1")
        relay.proc.send_signal(signal.SIGHUP)
        alice.send(b"after", port)
        self.assertEqual(alice.receive_all(), [b"after"])
        self.assertEqual([r["text"] for r in self.records(transcript + ".1", 3)], ["aliceさんが入室しました", "alice :hi", "before"])
        self.assertEqual([r["text"] for r in self.records(transcript, 1)], ["after"])
        self.assertIsNone(relay.proc.poll())
        relay.read_available()
        self.assertEqual(relay.err, b"")

    @native_only("/dev/full")
    def test_a_transcript_that_cannot_be_written_is_reported_once_and_the_room_goes_on(self):
        port = free_udp_port()
        relay = self.start(port, "--transcript", "/dev/full")
        alice, bob = self.peer(), self.peer()
        alice.send(login(b"alice"), port)
        bob.send(login(b"bob"), port)
        for i in range(3):
            bob.send(b"line %d" % i, port)
        self.assertEqual(alice.receive_all()[-3:], [b"line 0", b"line 1", b"line 2"])
        self.assertEqual(relay.stop(), 0)
        err = relay.err.decode()
        self.assertEqual(err.count("No space left on device"), 1, err)
        self.assertTrue(err.endswith("confrelay: transcript /dev/full: 7 records lost\n"), err)

    @native_only("a file size limit (ulimit -f)")
    def test_files_that_reach_the_file_size_limit_are_reported_and_the_room_goes_on(self):
        port, state, transcript = free_udp_port(), self.path("room.state"), self.path("room.jsonl")
        # The table of 16 participants takes about 1.7 KB, the transcript of
        # their logins about 4 KB.
        limit = 1500
        relay = self.start(port, "--state", state, "--transcript", transcript,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        peers = [self.peer() for _ in range(16)]
        for i, peer in enumerate(peers):
            peer.send(login(b"member %02d" % i), port)
            self.assertEqual(peer.receive_all(quiet=0.05)[0], LOGIN_ACCEPTED, "member %d" % i)
        peers[0].send(b"still relayed", port)
        self.assertEqual(peers[-1].receive_all(quiet=0.05)[-1], b"still relayed")
        self.assertEqual(relay.stop(), 0)
        err = relay.err.decode()
        self.assertIn("state %s: cannot write %s.tmp: File too large;" % (state, state), err)
        self.assertIn("transcript %s: only part of a record could be written" % transcript, err)
        self.assertRegex(err, r"transcript .*: \d+ records lost\n$")
        self.assertLessEqual(os.path.getsize(transcript), limit)

    def test_members_only_hears_no_stranger_and_lets_no_stranger_free_a_place(self):
        port = free_udp_port()
        relay = self.start(port, "--members-only")
        sato, suzuki, stranger = self.peer(), self.peer(), self.peer()
        sato.send(login(SATO), port)
        suzuki.send(login(SUZUKI), port)
        stranger.send(TANAKA + b": " + "聞こえますか".encode("cp932"), port)
        stranger.send(b"#" + SATO, port)
        stranger.send(b"#" + SUZUKI, port)
        relay.wait_for_output(b"members only: dropped", stream="err")
        self.assertIn(b"the last from " + endpoint(stranger).encode(), relay.err)

        member_line = SUZUKI + b": " + "聞こえます".encode("cp932")
        suzuki.send(member_line, port)
        self.assertEqual(sato.receive_all(), [LOGIN_ACCEPTED, entry(SATO), SATO + b" :hi", entry(SUZUKI),
                                              SUZUKI + b" :hi", member_line], "nothing of the stranger's was heard")
        self.assertEqual(stranger.receive_all(quiet=0.2, first_wait=0.5), [NOT_A_MEMBER],
                         "told once, however many it sent")
        suzuki.send(b"#" + SUZUKI, port)
        self.assertEqual(sato.receive_all(), [exit_notice(SUZUKI)])
        time.sleep(1.2)  # the count is printed at most once a second, the last always
        self.assertIn(relay.counts(), ([1], [1, 2, 1]), "only the member's own leave notice freed a place")
        # A stranger gets a place by logging in, like anyone.
        stranger.send(login(TANAKA), port)
        self.assertEqual(stranger.receive_all(), [LOGIN_ACCEPTED, entry(TANAKA), TANAKA + b" :hi"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--confrelay", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="command (and its arguments) that runs the program, e.g. the Wine runner")
    ARGS, rest = parser.parse_known_args()
    confrelay_test.ARGS = ARGS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
