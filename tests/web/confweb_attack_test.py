#!/usr/bin/python3
"""confweb attacked from loopback as a hostile LAN user would: each test
repeats one way of taking more than a fair share, or of reaching others
through the gateway, and checks that it no longer works."""
import argparse
import asyncio
import base64
import http.client
import json
import os
import re
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import confweb_test
from confweb_test import Gateway, Peer, Relay, cp932, exit_notice, join, open_tab, receive_until, send

ARGS = None


def connected_from(source, port):
    """A TCP connection to the gateway from a loopback address of our
    choice: 127.0.0.1 is the gateway's own machine, with no limits, others
    play hosts of the LAN."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(10)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def http_get(port, source, host):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.sock = connected_from(source, port)
    connection.request("GET", "/", headers={"Host": host})
    status = connection.getresponse().status
    connection.close()
    return status


class RawTab:
    """A WebSocket client that sends whatever frames it is told to,
    well-formed or not, and reads the server's frames one by one."""

    def __init__(self, gateway, origin=True, source="127.0.0.1", tls=None):
        self.sock = connected_from(source, gateway.port)
        if tls:
            self.sock = tls.wrap_socket(self.sock, server_hostname="127.0.0.1")
        key = base64.b64encode(os.urandom(16)).decode()
        request = (f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{gateway.port}\r\nUpgrade: websocket\r\n"
                   f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n")
        if origin:
            request += f"Origin: {gateway.origin}\r\n"
        self.sock.sendall((request + "\r\n").encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise AssertionError(f"closed during the handshake: {self.buffer!r}")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        self.head = head.decode("latin-1")
        self.status = int(self.head.split()[1])

    def send_frame(self, opcode, payload, fin=True):
        mask = os.urandom(4)
        first = (0x80 if fin else 0) | opcode
        if len(payload) < 126:
            header = struct.pack("!BB", first, 0x80 | len(payload))
        else:
            header = struct.pack("!BBH", first, 0x80 | 126, len(payload))
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _take(self, count):
        while len(self.buffer) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk
        taken, self.buffer = self.buffer[:count], self.buffer[count:]
        return taken

    def read_frame(self):
        """(opcode, payload) of the next frame; EOFError at the end."""
        first, second = self._take(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", self._take(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", self._take(8))[0]
        return first & 0x0F, self._take(length)

    def close_code(self):
        """The code of the server's close frame, skipping what comes before."""
        while True:
            opcode, payload = self.read_frame()
            if opcode == 0x8:
                return struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None

    def abort(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()


class AttackTest(confweb_test.RoomCase):
    def test_no_session_outlives_its_connection_whatever_frames_precede_the_close(self):
        # A refused message, then a frame Beast itself rejects, then gone:
        # more of them than there are tab places, so that a leaked session
        # would leave the next tab without one.
        rejected_by_beast = ((0x1, b"\xff\xfe"), (0x0, b"stray continuation"))
        refused = ((0x2, b"\x00\x01"), (0x1, b"{not json"))
        attempts = 0
        deadline = time.monotonic() + 60
        while attempts < 310 and time.monotonic() < deadline:
            tab = RawTab(self.gateway)
            self.assertEqual(tab.status, 101)
            tab.send_frame(*refused[attempts % 2])
            tab.send_frame(*rejected_by_beast[(attempts // 2) % 2])
            if attempts % 3 == 0:
                tab.abort()
            else:
                tab.close()
            attempts += 1
        self.assertEqual(attempts, 310, "bounded in time")
        # The places come back as soon as the sessions have noticed.
        deadline = time.monotonic() + 10
        while True:
            tab = RawTab(self.gateway)
            if tab.status == 101 or time.monotonic() > deadline:
                break
            tab.close()
            time.sleep(0.2)
        self.assertEqual(tab.status, 101, tab.head)
        opcode, payload = tab.read_frame()
        self.assertEqual((opcode, json.loads(payload)["type"]), (0x1, "hello"))
        tab.close()


    async def test_the_rate_limits_hold_for_an_address_across_reconnects(self):
        answers = []
        for round in range(3):
            tab = await open_tab(self.gateway, sock=connected_from("127.0.0.2", self.gateway.port))
            self.assertEqual((await join(tab, f"連投{round}"))[-1]["state"], "joined")
            # All at once, so that little time passes to refill.
            for _ in range(20):
                await tab.send(json.dumps({"type": "send", "text": "x"}))
            while len(answers) < 20 * (round + 1):
                answer = json.loads(await asyncio.wait_for(tab.recv(), 10))
                if answer["type"] in ("sent", "unsent"):
                    answers.append(answer.get("code", answer["type"]))
            await tab.close()
        # 40 at once, and what 20 a second add while the test runs.
        self.assertGreaterEqual(answers.count("sent"), 40)
        self.assertLess(answers.count("sent"), 52, answers)
        self.assertEqual(answers.count("sent") + answers.count("rate_limited"), 60, answers)
        other = await open_tab(self.gateway, sock=connected_from("127.0.0.3", self.gateway.port))
        await join(other, "別人")
        self.assertEqual(await send(other, "x"), {"type": "sent"}, "another host has its own allowance")
        await other.close()

        # Joins, each an entry (and an exit) the whole room would see.
        joins = []
        for round in range(12):
            tab = await open_tab(self.gateway, sock=connected_from("127.0.0.4", self.gateway.port))
            await tab.send(json.dumps({"type": "join", "name": f"出入{round}"}))
            answer = (await receive_until(tab, {}))[-1]
            joins.append(answer.get("state") or answer.get("code"))
            await tab.close()
        self.assertEqual(joins, ["joined"] * 10 + ["join_rate_limited"] * 2)

    def test_repeated_log_reasons_from_one_peer_are_counted_not_repeated(self):
        for _ in range(300):
            self.assertEqual(http_get(self.gateway.port, "127.0.0.5", "evil.example"), 403)
        self.assertEqual(http_get(self.gateway.port, "127.0.0.6", "evil.example"), 403)
        self.assertEqual(self.gateway.stop(), 0)
        refused = [re.match(r"confweb: ([\d.]+):\d+: refused \(403\): host", line) for line in self.gateway.err]
        self.assertEqual([match.group(1) for match in refused if match], ["127.0.0.5", "127.0.0.6"], self.gateway.err)
        self.assertIn('confweb: 127.0.0.5: 299 more like the last "refused (403): host"', self.gateway.err)

    def test_a_log_nobody_reads_never_holds_up_serving(self):
        # stderr is a pipe nobody reads until the end: a few dozen KiB fill it.
        proc = subprocess.Popen([ARGS.confweb, "--relay", f"127.0.0.1:{self.relay.port}", "--listen", "127.0.0.1:0"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            port = None
            while port is None:
                match = re.match(rb"^  http://127\.0\.0\.1:(\d+)/", proc.stdout.readline())
                port = int(match.group(1)) if match else None
            # One line each from 1 000 hosts: more than the pipe holds.
            for number in range(1000):
                self.assertEqual(http_get(port, f"127.1.{number // 250}.{number % 250 + 1}", "x" * 80), 403)
            started = time.monotonic()
            self.assertEqual(http_get(port, "127.0.0.1", f"127.0.0.1:{port}"), 200)
            self.assertLess(time.monotonic() - started, 2)
        finally:
            drained = []
            reader = threading.Thread(target=lambda: drained.append(proc.stderr.read()), daemon=True)
            reader.start()
            proc.terminate()
            self.assertEqual(proc.wait(20), 0)
            reader.join(10)
            proc.stdout.close()
            proc.stderr.close()
        log = drained[0].decode("utf-8", "replace")
        self.assertIn("127.1.0.1:", log)
        self.assertRegex(log, r"confweb: \d+ log lines dropped: the log could not keep up|127\.1\.3\.250:")

    def test_the_upgrade_names_no_library_and_a_close_code_no_endpoint_may_send_is_not_echoed(self):
        tab = RawTab(self.gateway)
        self.assertEqual(tab.status, 101)
        self.assertRegex(tab.head, r"(?im)^server: confweb\r?$")
        self.assertNotIn("beast", tab.head.lower())
        tab.read_frame()  # hello
        tab.send_frame(0x8, struct.pack("!H", 5000) + b"bye")
        self.assertEqual(tab.close_code(), 1002)
        tab.close()
        polite = RawTab(self.gateway)
        polite.read_frame()
        polite.send_frame(0x8, struct.pack("!H", 4321))
        self.assertEqual(polite.close_code(), 4321, "a private code is answered as usual")
        polite.close()

    async def test_a_tab_that_never_enters_gives_up_its_name_and_place(self):
        gateway = await asyncio.to_thread(Gateway, self.relay.port, "--enter-seconds", "2")
        try:
            squatter = await open_tab(gateway)
            await join(squatter, "太郎")
            newcomer = await open_tab(gateway)
            self.assertEqual((await join(newcomer, "太郎"))[-1]["state"], "joined", "not blocked by a squatter")
            seen = await receive_until(squatter, {"type": "state"})
            self.assertEqual([m.get("code") for m in seen[-2:]], ["name_taken", None])

            idle = await open_tab(gateway)
            await join(idle, "花子")
            await send(newcomer, "こんにちは")
            started = time.monotonic()
            seen = await receive_until(idle, {"type": "state"}, timeout=6)
            self.assertGreater(time.monotonic() - started, 0.5)
            self.assertEqual(seen[-2:], [
                {"type": "notice", "code": "enter_timeout", "text": "発言がないまま時間が過ぎたため退室しました"},
                {"type": "state", "state": "not_joined"}])
            await asyncio.sleep(1)
            self.assertEqual(await send(newcomer, "まだいます"), {"type": "sent"}, "entered: no deadline")
            for tab in (squatter, newcomer, idle):
                await tab.close()
        finally:
            self.assertEqual(await asyncio.to_thread(gateway.stop), 0)

    async def test_a_tabs_leave_notice_cannot_free_a_console_participant_of_the_same_name(self):
        # The console participant is on the gateway's machine, as the relay.
        self.peer.send(cp932("!Alice+コンソールです"))
        self.peer.wait_for(cp932("Alice :コンソールです"))
        tab = await open_tab(self.gateway)
        await join(tab, "Alice")
        await send(tab, "ブラウザです")
        await self.peer_waits_for(cp932("Alice :ブラウザです"))
        await tab.send(json.dumps({"type": "leave"}))
        await receive_until(tab, {"type": "state", "state": "not_joined"})
        await self.peer_waits_for(exit_notice("Alice"))
        other = Peer(self.relay.port)
        try:
            other.send(cp932("!Bob+まだいますか"))
            await self.peer_waits_for(cp932("Bob :まだいますか"))  # the console participant still hears the room
        finally:
            other.close()
        await tab.close()

    async def peer_waits_for(self, datagram):
        return await asyncio.to_thread(self.peer.wait_for, datagram)

class TlsAttackTest(unittest.TestCase):
    """The same misbehaviour over TLS, where the gateway cannot write past
    the encrypted stream."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        certificate, key = confweb_test.make_certificate(self.folder.name, "gateway")
        self.tls = ssl.create_default_context(cafile=certificate)
        self.relay = Relay()
        self.gateway = Gateway(self.relay.port, "--tls-cert", certificate, "--tls-key", key, scheme="https")

    def tearDown(self):
        status = self.gateway.stop()
        self.relay.stop()
        self.folder.cleanup()
        self.assertEqual(status, 0, self.gateway.err[-20:])
        self.assertEqual([line for line in self.gateway.err if "Sanitizer" in line or "runtime error" in line], [])

    def test_no_session_outlives_its_connection_and_a_forbidden_close_code_ends_it(self):
        # More than one LAN host's 16 tab places, each connection ending
        # after a refused message and a frame Beast rejects.
        host = "127.0.0.3"
        for attempt in range(40):
            tab = RawTab(self.gateway, source=host, tls=self.tls)
            self.assertEqual(tab.status, 101, tab.head)
            tab.send_frame(0x2, b"\x00\x01")
            tab.send_frame(0x1, b"\xff\xfe")
            if attempt % 2:
                tab.abort()
            else:
                tab.close()
        rude = RawTab(self.gateway, source=host, tls=self.tls)
        self.assertEqual(rude.status, 101, "the places came back")
        self.assertEqual(json.loads(rude.read_frame()[1])["type"], "hello")
        rude.send_frame(0x8, struct.pack("!H", 5000) + b"bye")
        echoed = []
        # It just ends, and Beast's echo of the code never comes.
        with self.assertRaises((EOFError, ConnectionError)):
            while True:
                echoed.append(rude.read_frame())
        self.assertNotIn((0x8, struct.pack("!H", 5000) + b"bye"), echoed, "the code is not echoed")
        rude.close()
        self.gateway.wait_for_line(self.gateway.err, r"closed \(1002\): close code 5000")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--confweb", required=True)
    parser.add_argument("--confrelay", required=True)
    ARGS, rest = parser.parse_known_args()
    confweb_test.ARGS = ARGS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
