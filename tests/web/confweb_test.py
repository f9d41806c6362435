#!/usr/bin/python3
"""confweb as a process between WebSocket clients and confrelay, all on
127.0.0.1, watched on the UDP side byte for byte by a participant of our own."""
import argparse
import asyncio
import gzip
import http.client
import json
import re
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import websockets

ARGS = None

LOGIN_ACCEPTED = "ログインしました".encode("cp932")
CAPACITY_REFUSAL = "定員オーバーでログインできません".encode("cp932")


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


class Process:
    """A program whose output lines are collected as they come."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = []
        self.err = []
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._collect, args=(stream, lines), daemon=True)
                         for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream, lines):
        for raw in stream:
            with self._changed:
                lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._changed.notify_all()

    def wait_for_line(self, lines, pattern, timeout=10.0, after=0):
        """The first line from index `after` on that matches."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in lines[after:]:
                    match = re.search(pattern, line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise AssertionError(f"no line like {pattern!r}; got {lines!r}, stderr {self.err!r}")
                self._changed.wait(left)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        for reader in self._readers:
            reader.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return status


class Relay(Process):
    def __init__(self):
        self.port = free_udp_port()
        super().__init__([ARGS.confrelay, str(self.port)])
        self.wait_for_line(self.out, r"listening on UDP port")


class Gateway(Process):
    def __init__(self, relay_port, *options, scheme="http"):
        super().__init__([ARGS.confweb, "--relay", f"127.0.0.1:{relay_port}", "--listen", "127.0.0.1:0", *options])
        self.port = int(self.wait_for_line(self.out, rf"^  {scheme}://127\.0\.0\.1:(\d+)/$").group(1))
        self.origin = f"{scheme}://127.0.0.1:{self.port}"
        self.url = f"{'wss' if scheme == 'https' else 'ws'}://127.0.0.1:{self.port}/ws"

    def request(self, method, path, headers=None, tls=None, source="127.0.0.1"):
        """Over TLS with `tls`, an ssl.SSLContext; from the address `source`."""
        if tls:
            connection = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10, context=tls,
                                                     source_address=(source, 0))
        else:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10, source_address=(source, 0))
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        body = response.read()
        connection.close()
        return response, body


class Peer:
    """A UDP participant of our own."""

    def __init__(self, relay_port):
        self.relay = ("127.0.0.1", relay_port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.heard = []

    def send(self, data: bytes):
        self.sock.sendto(data, self.relay)

    def wait_for(self, datagram: bytes, timeout=10.0):
        """Waits until `datagram` has arrived; returns everything heard."""
        deadline = time.monotonic() + timeout
        while datagram not in self.heard:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise AssertionError(f"never heard {datagram!r}; heard {self.heard!r}")
            self.heard.append(self.sock.recv(65536))
        return self.heard

    def close(self):
        self.sock.close()


async def receive(tab, timeout=10.0):
    return json.loads(await asyncio.wait_for(tab.recv(), timeout))


async def receive_until(tab, wanted, timeout=10.0):
    """Messages up to and including the first one that has every field of
    `wanted`."""
    seen = []
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        try:
            message = await receive(tab, max(left, 0.01))
        except asyncio.TimeoutError:
            raise AssertionError(f"no message like {wanted}; got {seen}") from None
        seen.append(message)
        if all(message.get(key) == value for key, value in wanted.items()):
            return seen


async def open_tab(gateway, **options):
    options.setdefault("origin", gateway.origin)
    tab = await websockets.connect(gateway.url, **options)
    hello = await receive(tab)
    assert hello["type"] == "hello", hello
    return tab


async def join(tab, name):
    await tab.send(json.dumps({"type": "join", "name": name}))
    return await receive_until(tab, {"type": "state"})


async def send(tab, text):
    """Sends a line; returns the answer (sent or unsent)."""
    await tab.send(json.dumps({"type": "send", "text": text}))
    seen = []
    while True:
        message = await receive(tab)
        if message["type"] in ("sent", "unsent"):
            return message
        seen.append(message)


async def closed_code(tab, timeout=10.0):
    try:
        while True:
            await asyncio.wait_for(tab.recv(), timeout)
    except websockets.ConnectionClosed as closed:
        return closed.code


class RoomCase(unittest.IsolatedAsyncioTestCase):
    """A relay, the gateway in front of it and a UDP participant of our own;
    the gateway must end cleanly, a sanitizer build with nothing to say."""

    def setUp(self):
        self.relay = Relay()
        self.gateway = Gateway(self.relay.port)
        self.peer = Peer(self.relay.port)

    def tearDown(self):
        self.peer.close()
        status = self.gateway.stop()
        self.relay.stop()
        self.assertEqual(status, 0, self.gateway.err[-20:])
        self.assertEqual([line for line in self.gateway.err if "Sanitizer" in line or "runtime error" in line], [])


class GatewayTest(RoomCase):

    def peer_logs_in(self, name="山田"):
        self.peer.send(cp932(f"!{name}+よろしく"))
        self.peer.wait_for(cp932(f"{name} :よろしく"))

    async def peer_waits_for(self, datagram):
        return await asyncio.to_thread(self.peer.wait_for, datagram)

    def test_page_headers_and_answers_to_other_requests(self):
        response, body = self.gateway.request("GET", "/")
        self.assertEqual(response.status, 200)
        self.assertEqual(response.getheader("Content-Type"), "text/html; charset=utf-8")
        policy = response.getheader("Content-Security-Policy")
        self.assertIn("default-src 'none'", policy)
        self.assertIn("script-src 'self'", policy)
        self.assertNotIn("unsafe-inline", policy)
        self.assertEqual(response.getheader("X-Content-Type-Options"), "nosniff")
        page = body.decode("utf-8")
        for element in ("name", "join", "log", "line", "send", "leave"):
            self.assertIn(f'id="{element}"', page)
        self.assertIsNone(re.search(r"<script(?![^>]*\bsrc=)", page), "no inline script")
        self.assertIsNone(re.search(r"\s(on\w+|style)=", page), "no inline handlers or styles")
        for path, kind in (("/app.js", "text/javascript"), ("/style.css", "text/css")):
            response, body = self.gateway.request("GET", path)
            self.assertEqual((response.status, response.getheader("Content-Type")), (200, kind + "; charset=utf-8"))
            self.assertEqual(response.getheader("X-Content-Type-Options"), "nosniff")
            self.assertGreater(len(body), 100)
        response, body = self.gateway.request("HEAD", "/app.js")
        self.assertEqual((response.status, body), (200, b""))

        self.assertEqual(self.gateway.request("GET", "/index.htm")[0].status, 404)
        self.assertEqual(self.gateway.request("GET", "/../web/page/app.js")[0].status, 404)
        response, _ = self.gateway.request("POST", "/")
        self.assertEqual((response.status, response.getheader("Allow")), (405, "GET, HEAD"))
        self.assertEqual(self.gateway.request("GET", "/ws")[0].status, 426)
        self.assertEqual(self.gateway.request("GET", "/", {"X-Big": "x" * 9000})[0].status, 431)

    def test_page_files_are_sent_compressed_when_accepted_and_not_again_when_unchanged(self):
        response, plain = self.gateway.request("GET", "/app.js")
        self.assertIsNone(response.getheader("Content-Encoding"))
        etag = response.getheader("ETag")
        self.assertRegex(etag, r'^"[0-9a-f]{20}"$')
        self.assertEqual(response.getheader("Vary"), "Accept-Encoding")
        response, packed = self.gateway.request("GET", "/app.js", {"Accept-Encoding": "gzip, deflate, br"})
        self.assertEqual(response.getheader("Content-Encoding"), "gzip")
        self.assertEqual(gzip.decompress(packed), plain)
        self.assertLess(len(packed), len(plain) * 0.6)
        packed_etag = response.getheader("ETag")
        self.assertNotEqual(packed_etag, etag)
        response, body = self.gateway.request("GET", "/app.js", {"Accept-Encoding": "gzip", "If-None-Match": packed_etag})
        self.assertEqual((response.status, body, response.getheader("ETag")), (304, b"", packed_etag))
        response, body = self.gateway.request("GET", "/app.js", {"If-None-Match": packed_etag})
        self.assertEqual((response.status, body), (200, plain), "the tag of the other form")
        response, _ = self.gateway.request("GET", "/", {"If-None-Match": etag})
        self.assertEqual(response.status, 200, "another file's tag")
        policy = response.getheader("Content-Security-Policy")
        for allowed in ("img-src 'self' data:", "manifest-src 'self'", "worker-src 'self'"):
            self.assertIn(allowed, policy)

    async def test_a_japanese_conversation_with_a_udp_participant_and_leave(self):
        self.peer_logs_in("山田")
        tab = await open_tab(self.gateway)
        joined = (await join(tab, "太郎"))[-1]
        self.assertRegex(joined.pop("token"), r"^[A-Za-z0-9_-]{43}$")
        self.assertEqual(joined, {"type": "state", "state": "joined", "name": "太郎"})
        self.assertEqual(await send(tab, "こんにちは\n～元気？"), {"type": "sent"})
        heard = await self.peer_waits_for(cp932("太郎 :こんにちは\r\n～元気？"))
        self.assertEqual(heard[-2:], [entry("太郎"), cp932("太郎 :こんにちは\r\n～元気？")])
        seen = await receive_until(tab, {"type": "line", "text": "太郎 :こんにちは\r\n～元気？"})
        self.assertEqual([m["text"] for m in seen if m["type"] == "line"][:2], ["ログインしました", "太郎さんが入室しました"])

        self.peer.send(cp932("山田: はい、元気です"))
        await receive_until(tab, {"type": "line", "text": "山田: はい、元気です"})
        self.peer.send(b"\x82\xa0\x85\x40<b>\x80")
        await receive_until(tab, {"type": "line", "text": "あ\ufffd@<b>\ufffd"})
        self.assertEqual(await send(tab, "二行目です"), {"type": "sent"})
        await self.peer_waits_for(cp932("太郎: 二行目です"))

        await tab.send(json.dumps({"type": "leave"}))
        await self.peer_waits_for(exit_notice("太郎"))
        await tab.close()

    async def test_a_dropped_connection_resumes_with_the_lines_said_meanwhile_and_the_room_notices_nothing(self):
        self.peer_logs_in("山田")
        tab = await open_tab(self.gateway)
        token = (await join(tab, "太郎"))[-1]["token"]
        await send(tab, "こんにちは")
        await receive_until(tab, {"type": "line", "text": "太郎 :こんにちは", "own": True})
        tab.transport.abort()  # the phone's screen locks: no close, no leave
        # Lines that reach the gateway before it has noticed the drop go to
        # the dead connection (nothing acknowledges them): held are those
        # heard after.
        await asyncio.sleep(0.5)
        self.peer.send(cp932("山田: 聞こえますか"))
        self.peer.send(cp932("山田: おーい"))
        await self.peer_waits_for(cp932("山田: おーい"))

        back = await open_tab(self.gateway)
        await back.send(json.dumps({"type": "resume", "token": token}))
        resumed = await receive(back)
        new_token = resumed.pop("token")
        self.assertEqual(resumed, {"type": "resumed", "name": "太郎", "entered": True, "missed": 0})
        self.assertNotEqual(new_token, token)
        held = [await receive(back), await receive(back)]
        self.assertEqual([(m["type"], m["text"]) for m in held], [("line", "山田: 聞こえますか"), ("line", "山田: おーい")])
        self.assertLessEqual(held[0]["time"], held[1]["time"])
        self.assertEqual(await send(back, "戻りました"), {"type": "sent"})
        heard = await self.peer_waits_for(cp932("太郎: 戻りました"))
        self.assertNotIn(exit_notice("太郎"), heard, "the room noticed nothing")
        self.assertEqual(heard.count(entry("太郎")), 1)

        stale = await open_tab(self.gateway)
        await stale.send(json.dumps({"type": "resume", "token": token}))
        self.assertEqual([await receive(stale), await receive(stale)], [
            {"type": "notice", "code": "left", "text": "接続が切れている間に退室しました"},
            {"type": "state", "state": "not_joined"}], "a token is good once")

        # A newer connection resuming takes the participant over.
        newer = await open_tab(self.gateway)
        await newer.send(json.dumps({"type": "resume", "token": new_token}))
        self.assertEqual((await receive(newer))["type"], "resumed")
        self.assertEqual(await closed_code(back), 4000)
        self.assertEqual(await send(newer, "こちらで"), {"type": "sent"})
        await self.peer_waits_for(cp932("太郎: こちらで"))
        for each in (stale, newer):
            await each.close()

    async def test_a_page_that_goes_away_leaves_at_once(self):
        self.peer_logs_in("山田")
        tab = await open_tab(self.gateway)
        await join(tab, "太郎")
        await send(tab, "さようなら")
        await self.peer_waits_for(cp932("太郎 :さようなら"))
        await tab.close(code=1001)  # what a browser sends when its page goes away
        await self.peer_waits_for(exit_notice("太郎"))

    async def test_the_leave_goes_out_when_the_grace_period_ends(self):
        gateway = await asyncio.to_thread(Gateway, self.relay.port, "--resume-seconds", "1")
        try:
            self.peer_logs_in("山田")
            tab = await open_tab(gateway)
            token = (await join(tab, "太郎"))[-1]["token"]
            await send(tab, "すぐ戻ります")
            await self.peer_waits_for(cp932("太郎 :すぐ戻ります"))
            tab.transport.abort()
            started = time.monotonic()
            await self.peer_waits_for(exit_notice("太郎"))
            self.assertGreater(time.monotonic() - started, 0.5)
            late = await open_tab(gateway)
            await late.send(json.dumps({"type": "resume", "token": token}))
            self.assertEqual((await receive_until(late, {"type": "state"}))[-1]["state"], "not_joined")
            await late.close()
        finally:
            self.assertEqual(await asyncio.to_thread(gateway.stop), 0)

    async def test_the_relays_capacity_refusal_returns_the_tab_to_not_joined(self):
        crowd = []
        for number in range(100):
            member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            member.bind(("127.0.0.1", 0))
            member.sendto(cp932(f"!p{number}+x"), ("127.0.0.1", self.relay.port))
            crowd.append(member)
        try:
            await asyncio.to_thread(self.relay.wait_for_line, self.relay.out, r"^participants: 100$")
            tab = await open_tab(self.gateway)
            await join(tab, "太郎")
            await tab.send(json.dumps({"type": "send", "text": "入れますか"}))
            seen = await receive_until(tab, {"type": "state", "state": "not_joined"})
            seen[-3].pop("time")
            self.assertEqual(seen[-3:], [
                {"type": "line", "text": "定員オーバーでログインできません"},
                {"type": "notice", "code": "refused", "text": "後でもう一度ログインしてください"},
                {"type": "state", "state": "not_joined"},
            ])
            self.assertEqual((await join(tab, "太郎"))[-1]["state"], "joined", "the name was freed")
            await tab.close()
        finally:
            for member in crowd:
                member.close()

    async def test_a_foreign_origin_is_refused(self):
        for origin in ("http://evil.example", "null", f"http://127.0.0.1:{self.gateway.port + 1}"):
            with self.assertRaises(websockets.InvalidStatusCode) as refused:
                await websockets.connect(self.gateway.url, origin=origin)
            self.assertEqual(refused.exception.status_code, 403, origin)
        self.gateway.wait_for_line(self.gateway.err, r"refused \(403\): origin http://evil\.example")
        tab = await open_tab(self.gateway, origin=None)
        self.assertEqual((await join(tab, "道具"))[-1]["state"], "joined", "a client that is no browser")
        await tab.close()

    async def test_names_that_are_not_this_machines_are_refused(self):
        # DNS rebinding: another site's name made to lead here, whose page's
        # Origin then agrees with the Host it asked for.
        evil = f"evil.example:{self.gateway.port}"
        response, body = self.gateway.request("GET", "/", {"Host": evil})
        self.assertEqual(response.status, 403)
        self.assertIn(f"  http://127.0.0.1:{self.gateway.port}/\n", body.decode("utf-8"), "where to go instead")
        with self.assertRaises(websockets.InvalidStatusCode) as refused:
            await websockets.connect(f"ws://{evil}/ws", host="127.0.0.1", port=self.gateway.port,
                                     origin=f"http://{evil}")
        self.assertEqual(refused.exception.status_code, 403)
        self.gateway.wait_for_line(self.gateway.err, r"refused \(403\): host evil\.example")

        allowing = await asyncio.to_thread(Gateway, self.relay.port, "--allow-host", "Conf.Test")
        try:
            for name in ("localhost", socket.gethostname(), "conf.test"):
                host = f"{name}:{allowing.port}"
                self.assertEqual(allowing.request("GET", "/", {"Host": host})[0].status, 200, name)
                tab = await websockets.connect(f"ws://{host}/ws", host="127.0.0.1", port=allowing.port,
                                               origin=f"http://{host}")
                await tab.close()
        finally:
            self.assertEqual(await asyncio.to_thread(allowing.stop), 0)

    async def test_bad_messages_close_only_their_own_connection(self):
        self.peer_logs_in("山田")
        good = await open_tab(self.gateway)
        await join(good, "太郎")
        self.assertEqual(await send(good, "最初"), {"type": "sent"})

        # A logged-in tab that misbehaves leaves the conference first.
        rude = await open_tab(self.gateway)
        await join(rude, "次郎")
        await send(rude, "やあ")
        await receive_until(rude, {"type": "line", "text": "ログインしました"})
        await rude.send("{not json")
        self.assertEqual(await closed_code(rude), 1008)
        await self.peer_waits_for(exit_notice("次郎"))

        for payload, code in ((json.dumps({"type": "shout", "text": "x"}), 1008),
                              (json.dumps({"type": "join"}), 1008),
                              (json.dumps({"type": "send", "text": "あ" * 6000}), 1009),
                              (b"\x00\x01", 1003)):
            bad = await open_tab(self.gateway)
            await bad.send(payload)
            self.assertEqual(await closed_code(bad), code, payload[:40])

        self.assertEqual(await send(good, "まだ大丈夫"), {"type": "sent"})
        await receive_until(good, {"type": "line", "text": "太郎: まだ大丈夫"})
        await self.peer_waits_for(cp932("太郎: まだ大丈夫"))
        for reason in (r"closed \(1008\): malformed JSON", r"closed \(1008\): unknown message type",
                       r"closed \(1009\)", r"closed \(1003\)"):
            self.gateway.wait_for_line(self.gateway.err, reason)
        await good.close()

    async def test_a_closed_relay_port_is_reported_and_the_tab_goes_on(self):
        nobody = await asyncio.to_thread(Gateway, free_udp_port())
        try:
            tab = await open_tab(nobody)
            await join(tab, "太郎")
            await tab.send(json.dumps({"type": "send", "text": "誰かいますか"}))
            seen = await receive_until(tab, {"code": "unreachable"})
            self.assertIn(f"127.0.0.1:", seen[-1]["text"])
            await tab.send(json.dumps({"type": "join", "name": "花子"}))
            await receive_until(tab, {"code": "already_joined"})  # still joined
            await tab.send(json.dumps({"type": "leave"}))
            await receive_until(tab, {"type": "state", "state": "not_joined"})
            await tab.close()
        finally:
            self.assertEqual(await asyncio.to_thread(nobody.stop), 0)

    async def test_a_tab_that_does_not_read_is_dropped_and_leaves(self):
        self.peer_logs_in("山田")
        raw = socket.create_connection(("127.0.0.1", self.gateway.port))
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        lazy = await websockets.connect(self.gateway.url, origin=self.gateway.origin, sock=raw, max_queue=1,
                                        read_limit=4096, write_limit=4096)
        await join(lazy, "怠け者")
        await send(lazy, "寝ます")
        await receive_until(lazy, {"type": "line", "text": "ログインしました"})
        counted = len(self.relay.out)
        await asyncio.to_thread(self.relay.wait_for_line, self.relay.out, r"^participants: 2$", 10, counted - 1)
        counted = len(self.relay.out)

        # Lines until the gateway gives up on the tab, at a pace the relay's
        # and the gateway's sockets take without loss; bounded in count.
        line = cp932("山田: ") + b"x" * 990
        for _ in range(300):
            for _ in range(50):
                self.peer.send(line)
            self.peer.sock.setblocking(False)
            try:
                while True:
                    self.peer.sock.recv(65536)
            except BlockingIOError:
                pass
            self.peer.sock.setblocking(True)
            if any("dropped" in entry for entry in self.gateway.err):
                break
            await asyncio.sleep(0.005)
        self.gateway.wait_for_line(self.gateway.err, r"dropped: \d+ messages .* wait to be sent")
        await asyncio.to_thread(self.relay.wait_for_line, self.relay.out, r"^participants: 1$", 10, counted)
        lazy.transport.abort()
        await lazy.wait_closed()

    async def test_sigterm_makes_everyone_leave_and_closes_with_going_away(self):
        self.peer_logs_in("山田")
        joined = await open_tab(self.gateway)
        await join(joined, "太郎")
        await send(joined, "では")
        await receive_until(joined, {"type": "line", "text": "ログインしました"})
        idle = await open_tab(self.gateway)

        self.gateway.proc.send_signal(signal.SIGTERM)
        await self.peer_waits_for(exit_notice("太郎"))
        self.assertEqual(await closed_code(joined), 1001)
        self.assertEqual(await closed_code(idle), 1001)
        self.assertEqual(await asyncio.to_thread(self.gateway.proc.wait, 10), 0)


def make_certificate(folder, name):
    """A self-signed certificate for 127.0.0.1 and its key, as files."""
    certificate, key = f"{folder}/{name}.crt", f"{folder}/{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True, timeout=60)
    return certificate, key


class TlsTest(unittest.IsolatedAsyncioTestCase):
    """The page and its WebSocket over TLS, with a certificate made here."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.certificate, cls.key = make_certificate(cls.folder.name, "gateway")
        cls.other_certificate, cls.other_key = make_certificate(cls.folder.name, "other")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def setUp(self):
        self.relay = Relay()
        self.gateway = Gateway(self.relay.port, "--tls-cert", self.certificate, "--tls-key", self.key, scheme="https")
        self.trusting = ssl.create_default_context(cafile=self.certificate)
        self.peer = Peer(self.relay.port)

    def tearDown(self):
        self.peer.close()
        status = self.gateway.stop()
        self.relay.stop()
        self.assertEqual(status, 0, self.gateway.err)
        self.assertEqual([line for line in self.gateway.err if "Sanitizer" in line or "runtime error" in line], [])

    async def test_the_page_and_a_conversation_over_tls(self):
        response, body = await asyncio.to_thread(self.gateway.request, "GET", "/", tls=self.trusting)
        self.assertEqual(response.status, 200)
        self.assertIn('id="log"', body.decode("utf-8"))

        self.peer.send(cp932("!山田+よろしく"))
        await self.peer_waits_for(cp932("山田 :よろしく"))
        tab = await open_tab(self.gateway, ssl=self.trusting)
        await join(tab, "太郎")
        self.assertEqual(await send(tab, "暗号で"), {"type": "sent"})
        await self.peer_waits_for(cp932("太郎 :暗号で"))
        self.peer.send(cp932("山田: 届きました"))
        await receive_until(tab, {"type": "line", "text": "山田: 届きました"})
        await tab.close()

        # The page's origin is the https one: the same host over http is
        # another origin.
        with self.assertRaises(websockets.InvalidStatusCode) as refused:
            await websockets.connect(self.gateway.url, ssl=self.trusting,
                                     origin=f"http://127.0.0.1:{self.gateway.port}")
        self.assertEqual(refused.exception.status_code, 403)

        # A client that does not trust the certificate is turned away by
        # itself; the gateway says why and goes on serving.
        with self.assertRaises(ssl.SSLError):
            await asyncio.to_thread(self.gateway.request, "GET", "/", tls=ssl.create_default_context())
        await asyncio.to_thread(self.gateway.wait_for_line, self.gateway.err,
                                r"127\.0\.0\.1:\d+: TLS handshake failed: ")
        response, _ = await asyncio.to_thread(self.gateway.request, "GET", "/app.js", tls=self.trusting)
        self.assertEqual(response.status, 200)

    async def peer_waits_for(self, datagram):
        return await asyncio.to_thread(self.peer.wait_for, datagram)

    def test_plain_http_is_sent_to_https_and_served_nothing(self):
        response, body = self.gateway.request("GET", "/app.js?v=2")
        self.assertEqual(response.status, 301)
        location = f"https://127.0.0.1:{self.gateway.port}/app.js?v=2"
        self.assertEqual(response.getheader("Location"), location)
        self.assertIn(location, body.decode("utf-8"))
        self.assertEqual(response.getheader("Connection"), "close")
        # An upgrade in the clear is not let through either.
        response, _ = self.gateway.request("GET", "/ws", {"Upgrade": "websocket", "Connection": "Upgrade",
                                                          "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
                                                          "Sec-WebSocket-Version": "13"})
        self.assertEqual(response.status, 301)
        # Without a Host there is nowhere to send it.
        with socket.create_connection(("127.0.0.1", self.gateway.port), timeout=10) as raw:
            raw.sendall(b"GET / HTTP/1.0\r\n\r\n")
            answer = b""
            while chunk := raw.recv(4096):
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.0 400 "), answer[:40])
        self.assertIn(b"https:// only", answer)
        # A name that is not this machine's gets the same 403 as without TLS.
        self.assertEqual(self.gateway.request("GET", "/", {"Host": "evil.example"})[0].status, 403)

    def test_a_connection_that_never_says_anything_gives_its_place_back(self):
        # One LAN host's connection places, all held by silent peers (the
        # gateway's own 127.0.0.1 has no limit).
        host = "127.0.0.2"
        silent = [socket.create_connection(("127.0.0.1", self.gateway.port), timeout=20, source_address=(host, 0))
                  for _ in range(32)]
        try:
            with self.assertRaises((ConnectionError, ssl.SSLError)):
                self.gateway.request("GET", "/", tls=self.trusting, source=host)
            started = time.monotonic()
            for each in silent:
                self.assertEqual(each.recv(1), b"", "closed by the gateway")
            self.assertLess(time.monotonic() - started, 15)
        finally:
            for each in silent:
                each.close()
        self.assertEqual(self.gateway.request("GET", "/", tls=self.trusting, source=host)[0].status, 200)

    def test_a_key_that_is_not_the_certificates_is_a_usage_error(self):
        for certificate, key, reason in (
                (self.certificate, self.other_key, r"the key does not belong to the certificate"),
                (self.certificate, self.certificate, r"no unencrypted PEM private key"),
                (self.key, self.key, r"no PEM certificate")):
            done = subprocess.run([ARGS.confweb, "--relay", f"127.0.0.1:{self.relay.port}", "--listen", "127.0.0.1:0",
                                   "--tls-cert", certificate, "--tls-key", key],
                                  capture_output=True, timeout=30)
            self.assertEqual(done.returncode, 2, reason)
            self.assertEqual(done.stdout, b"", "nothing served")
            self.assertRegex(done.stderr.decode("utf-8"), f"^confweb: [^\n]*{reason}[^\n]* \\(try 'confweb --help'\\)\n$")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--confweb", required=True)
    parser.add_argument("--confrelay", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
