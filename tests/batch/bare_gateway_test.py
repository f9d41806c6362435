#!/usr/bin/python3
"""bare_gateway, the web benchmark's yardstick, as a process on 127.0.0.1: it
logs in at a relay (a UDP socket of ours) until answered, passes the relay's
lines, and only the relay's, to every tab, and closes tabs that send what it
does not take while the others go on."""
import argparse
import asyncio
import http.client
import json
import signal
import socket
import subprocess
import sys
import unittest

import websockets

ARGS = None
LOGIN_REQUEST = b"!bare+confwebbench"
LOGIN_ACCEPTED = "ログインしました".encode("cp932")


def free_port(kind) -> int:
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class BareGateway(unittest.TestCase):
    def setUp(self):
        self.relay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.relay.bind(("127.0.0.1", 0))
        self.relay.settimeout(3)
        self.port = free_port(socket.SOCK_STREAM)
        self.process = subprocess.Popen([ARGS.bare_gateway, str(self.relay.getsockname()[1]), str(self.port)])

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.relay.close()

    def log_in(self):
        """Answers the second login request only: the first must be repeated."""
        first, gateway = self.relay.recvfrom(2048)
        self.assertEqual(first, LOGIN_REQUEST)
        again, gateway_again = self.relay.recvfrom(2048)
        self.assertEqual((again, gateway_again), (LOGIN_REQUEST, gateway))
        self.relay.sendto(LOGIN_ACCEPTED, gateway)
        return gateway

    async def join(self, name):
        tab = await websockets.connect(f"ws://127.0.0.1:{self.port}/ws", open_timeout=3)
        await tab.send(json.dumps({"type": "join", "name": name}))
        self.assertEqual(json.loads(await asyncio.wait_for(tab.recv(), 3)),
                         {"type": "state", "state": "joined", "name": name})
        await tab.send(json.dumps({"type": "send", "text": "hello"}))
        await self.expect_line(tab, "ログインしました")
        return tab

    async def expect_line(self, tab, text):
        message = json.loads(await asyncio.wait_for(tab.recv(), 3))
        self.assertEqual((message["type"], message["text"]), ("line", text))
        self.assertIsInstance(message["time"], int)

    async def conversation(self, gateway):
        first = await self.join("a")
        second = await self.join("b")
        self.relay.sendto("会議です".encode("cp932"), gateway)
        for tab in (first, second):
            await self.expect_line(tab, "会議です")
        # Only the relay speaks for the room.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.sendto(b"forged", gateway)
        self.relay.sendto(b"after", gateway)
        for tab in (first, second):
            await self.expect_line(tab, "after")
        # What a tab may not send closes it; the other is still served.
        await second.send(b"\x01binary")
        await asyncio.wait_for(second.wait_closed(), 3)
        self.assertEqual(second.close_code, 1008)
        odd = await websockets.connect(f"ws://127.0.0.1:{self.port}/ws", open_timeout=3)
        await odd.send("{not json")
        await asyncio.wait_for(odd.wait_closed(), 3)
        self.assertEqual(odd.close_code, 1008)
        self.relay.sendto(b"still here", gateway)
        await self.expect_line(first, "still here")
        await first.close()

    def test_serves_the_relays_lines_and_refuses_the_rest(self):
        gateway = self.log_in()
        asyncio.run(self.conversation(gateway))
        plain = http.client.HTTPConnection("127.0.0.1", self.port, timeout=3)
        plain.request("GET", "/")
        self.assertEqual(plain.getresponse().status, 400)
        plain.close()
        self.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.process.wait(timeout=5), 0)

    def test_refuses_bad_arguments(self):
        self.process.kill()
        self.process.wait()
        for arguments in ([], ["1"], ["0", "1"], ["1", "65536"], ["1", "2x"]):
            result = subprocess.run([ARGS.bare_gateway, *arguments], capture_output=True, timeout=5)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertIn(b"Usage:", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bare-gateway", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
