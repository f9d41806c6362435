#!/usr/bin/python3
"""The conference page in a real browser: headless Chromium through Selenium,
served by confweb in front of confrelay, all on 127.0.0.1, with a UDP
participant of our own that checks what the room hears byte for byte.
PageContractTest serves the same page from a scripted stand-in for the
gateway instead, for what needs the gateway to say something on cue: a
line's time, a resumed participant, a replaced connection, no gateway.

What the gateway says to a tab is proven by confweb_test.py; these tests are
about what a person sees and does on the page. Two browsers serve every test
(each start costs about a second); each test has its own relay and gateway.
"""
import argparse
import asyncio
import base64
import datetime
import http
import json
import os
import secrets
import select
import socket
import sys
import threading
import time
import unittest

import websockets

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import confweb_test as process  # noqa: E402
from chromium import Browser  # noqa: E402
from confweb_test import Peer, Process, Relay, cp932, entry, exit_notice  # noqa: E402

ARGS = None

# Generous: the machine may be busy with other builds and tests.
WAIT = 20.0

LOGIN_ACCEPTED = "ログインしました"
CAPACITY_REFUSAL = "定員オーバーでログインできません"
LOGIN_LATER = "後でもう一度ログインしてください"


class Gateway(Process):
    def __init__(self, relay_port, port=0):
        super().__init__([ARGS.confweb, "--relay", f"127.0.0.1:{relay_port}", "--listen", f"127.0.0.1:{port}"])
        self.port = int(self.wait_for_line(self.out, r"^  http://127\.0\.0\.1:(\d+)/$").group(1))
        self.url = f"http://127.0.0.1:{self.port}/"


class Page:
    """The conference page in one browser tab."""

    def __init__(self, browser):
        self.browser = browser
        self.driver = browser.driver

    def wait(self, condition, what, timeout=WAIT):
        return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(lambda _: condition(), what)

    def el(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def script(self, body, *args):
        return self.driver.execute_script(body, *args)

    def open(self, url):
        self.driver.get(url)
        self.wait(lambda: self.el("join").is_enabled(), "the page connects to the gateway")

    def controls(self):
        """What can be done now: (join enabled, send enabled, name read-only)."""
        return self.script("const el = (id) => document.getElementById(id);"
                           "return [el('join').disabled, el('send').disabled, el('name').readOnly]")

    def focused(self):
        return self.script("return document.activeElement && document.activeElement.id")

    def lines(self):
        """The text of each entry of the log, without its time."""
        return self.script("return Array.from(document.getElementById('log').children,"
                           " e => e.querySelector('.text').textContent)")

    def notice(self):
        return self.script("return document.getElementById('notice').textContent")

    def input(self):
        return self.el("line").get_attribute("value")

    def wait_for_line(self, text):
        self.wait(lambda: text in self.lines(), f"the log shows {text!r}")

    def join(self, name):
        field = self.el("name")
        field.clear()
        field.send_keys(name)
        self.el("join").click()
        self.wait(lambda: self.el("send").is_enabled(), f"joined as {name}")

    def type(self, text):
        self.el("line").send_keys(text)

    def enter(self):
        self.el("line").send_keys(Keys.ENTER)

    def say(self, text):
        """Types a line and sends it with Enter; returns once the page has
        emptied its input, that is once the gateway sent it."""
        self.type(text)
        self.enter()
        self.wait(lambda: self.input() == "", f"{text!r} went out")

    def scroll_log(self, top=None):
        """Scrolls the log as a reader would (to the end without `top`),
        and returns once the page has had its scroll event."""
        self.driver.execute_async_script(
            "const [top, done] = arguments; const log = document.getElementById('log');"
            "log.scrollTop = top === null ? log.scrollHeight : top;"
            "requestAnimationFrame(() => requestAnimationFrame(done));", top)

    def at_newest_line(self):
        return self.script("const log = document.getElementById('log');"
                           "return log.scrollTop + log.clientHeight >= log.scrollHeight - 2")


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A browser that cannot start fails every test here with the reason
        # (chromium.BrowserUnavailable).
        cls.browsers = []
        try:
            cls.browsers.append(Browser(width=1024, height=768))
            cls.browsers.append(Browser(width=1024, height=768))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for browser in cls.browsers:
            browser.quit()

    def setUp(self):
        self.relay = Relay()
        self.gateway = Gateway(self.relay.port)
        self.peer = Peer(self.relay.port)
        self.peer_checked = 0
        self.first, self.second = (Page(browser) for browser in self.browsers)

    def tearDown(self):
        self.peer.close()
        status = self.gateway.stop()
        self.relay.stop()
        self.assertEqual(status, 0, self.gateway.err)

    def peer_logs_in(self, name="山田"):
        self.peer.send(cp932(f"!{name}+よろしく"))
        self.room_carries(cp932(LOGIN_ACCEPTED), entry(name), cp932(f"{name} :よろしく"))

    def room_carries(self, *datagrams, exactly=True):
        """Waits until the room has carried the last of `datagrams`; with
        `exactly`, it carried these and nothing else since the last call."""
        since = self.peer_checked
        while datagrams[-1] not in self.peer.heard[since:]:
            if not select.select([self.peer.sock], [], [], WAIT)[0]:
                self.fail(f"the room never carried {datagrams[-1]!r}; heard {self.peer.heard[since:]!r}")
            self.peer.heard.append(self.peer.sock.recv(65536))
        self.peer_checked = self.peer.heard.index(datagrams[-1], since) + 1
        if exactly:
            self.assertEqual(self.peer.heard[since:self.peer_checked], list(datagrams))

    def logged_in(self, page, name, first_line):
        page.open(self.gateway.url)
        page.join(name)
        page.say(first_line)
        self.room_carries(entry(name), cp932(f"{name} :{first_line}"))
        page.wait_for_line(f"{name} :{first_line}")

    def test_two_browsers_and_a_udp_participant_converse_in_japanese(self):
        self.peer_logs_in("山田")
        self.logged_in(self.first, "太郎", "皆さん、こんにちは～")
        self.assertTrue(self.peer.heard[-1].endswith(b"\x81\x60"), "～ in code page 932")
        self.logged_in(self.second, "花子", "花子です。よろしく")
        self.first.wait_for_line("花子 :花子です。よろしく")
        self.first.say("ようこそ、花子さん")
        self.second.wait_for_line("太郎: ようこそ、花子さん")
        self.peer.send(cp932("山田: お二人とも、ＣＰ９３２で話せますね"))
        self.first.wait_for_line("山田: お二人とも、ＣＰ９３２で話せますね")
        self.second.wait_for_line("山田: お二人とも、ＣＰ９３２で話せますね")

        self.room_carries(cp932("太郎: ようこそ、花子さん"), cp932("山田: お二人とも、ＣＰ９３２で話せますね"))
        # One element per line heard, in order.
        self.assertEqual(self.first.lines(), [
            LOGIN_ACCEPTED, "太郎さんが入室しました", "太郎 :皆さん、こんにちは～",
            "花子さんが入室しました", "花子 :花子です。よろしく", "太郎: ようこそ、花子さん",
            "山田: お二人とも、ＣＰ９３２で話せますね",
        ])
        self.assertEqual(self.second.lines(), [
            LOGIN_ACCEPTED, "花子さんが入室しました", "花子 :花子です。よろしく", "太郎: ようこそ、花子さん",
            "山田: お二人とも、ＣＰ９３２で話せますね",
        ])
        # The second tab of one gateway cannot take a name that is in use.
        self.second.el("leave").click()
        self.second.wait(lambda: self.second.el("join").is_enabled(), "left")
        self.second.el("name").clear()
        self.second.el("name").send_keys("太郎", Keys.ENTER)
        self.second.wait(lambda: "使われています" in self.second.notice(), "the name is in use")
        self.assertEqual(self.second.controls(), [False, True, False])

    def test_markup_from_the_room_stays_text(self):
        self.peer_logs_in("山田")
        self.logged_in(self.first, "太郎", "どうぞ")
        lines = ["山田: <img src=x onerror=\"document.title='pwned'\">",
                 "<b>太字</b><script>document.title='pwned'</script>",
                 "<svg onload=\"document.title='pwned'\"></svg>&lt;&amp;"]
        for text in lines:
            self.peer.send(cp932(text))
        self.first.wait_for_line(lines[-1])
        self.assertEqual(self.first.lines()[-3:], lines)
        # Each entry is its time and its text, and nothing else became an
        # element (the tab's own line is an entry marked as its own).
        self.assertEqual(self.first.script(
            "return Array.from(document.querySelectorAll('#log *'),"
            " e => e.localName + '.' + e.className.replace(/ own$/, ''))"),
            ["div.entry", "time.", "span.text"] * len(self.first.lines()))
        self.assertEqual(self.first.script("return document.querySelectorAll('#log img, #log b, #log svg').length"), 0)
        self.assertEqual(self.first.driver.title, "Tavilo会議システム")

    def test_shift_enter_breaks_the_line_and_enter_sends_it(self):
        self.peer_logs_in("山田")
        self.logged_in(self.first, "太郎", "始めます")
        page = self.first
        page.type("一行目")
        ActionChains(page.driver).key_down(Keys.SHIFT).send_keys(Keys.ENTER).key_up(Keys.SHIFT).perform()
        page.type("二行目")
        self.assertEqual(page.input(), "一行目\n二行目")
        # The Enter that ends an IME composition only ends it (browsers
        # mark it one way or the other).
        for marks in ("{isComposing: true}", "{keyCode: 229}"):
            page.script("document.getElementById('line').dispatchEvent(new KeyboardEvent('keydown',"
                        f"Object.assign({{key: 'Enter', bubbles: true, cancelable: true}}, {marks})))")
        page.type("です")
        page.enter()
        self.room_carries(cp932("太郎: 一行目\r\n二行目です"))
        page.wait_for_line("太郎: 一行目\n二行目です")
        self.assertEqual(page.input(), "")
        self.assertEqual(page.focused(), "line")
        # The entry shows the break: two rows of text.
        rows = page.script("const e = document.getElementById('log').lastElementChild;"
                           "return e.offsetHeight / parseFloat(getComputedStyle(e).lineHeight)")
        self.assertAlmostEqual(rows, 2, delta=0.2)

        page.type("ボタンでも")
        page.el("send").click()
        self.room_carries(cp932("太郎: ボタンでも"))
        page.wait(lambda: page.input() == "" and page.focused() == "line", "input emptied and focused")

    def test_what_code_page_932_lacks_is_named_and_nothing_is_sent(self):
        self.peer_logs_in("山田")
        page = self.first
        page.open(self.gateway.url)
        page.el("name").send_keys("𠮷田", Keys.ENTER)
        page.wait(lambda: "「𠮷」" in page.notice(), "the name's character is named")
        self.assertEqual(page.controls(), [False, True, False], "still not joined")

        self.logged_in(page, "吉田", "こんばんは")
        page.enter()
        page.wait(lambda: page.notice() == "何か記入してください", "an empty line is refused")
        page.type("𠮷野家で😀")
        page.enter()
        page.wait(lambda: "「𠮷」" in page.notice() and "「😀」" in page.notice(), "both characters named")
        self.assertEqual(page.input(), "𠮷野家で😀", "the line stays to be corrected")

        page.el("line").clear()
        page.say("吉野家で")
        self.room_carries(cp932("吉田: 吉野家で"))
        page.wait(lambda: page.notice() == "", "the notice goes once a line went out")

    def test_states_join_leave_refusal_and_closing_the_tab(self):
        self.peer_logs_in("山田")
        page = self.first
        page.open(self.gateway.url)
        # (join disabled, send disabled, name read-only)
        not_joined, joined = [False, True, False], [True, False, True]
        self.assertEqual(page.controls(), not_joined)
        self.assertEqual(page.focused(), "name")
        # What a screen reader says of each control, as Chromium computes it.
        spoken = {"name": "お名前", "join": "参加", "line": "発言", "send": "送信", "leave": "終了"}
        self.assertEqual({element: page.el(element).accessible_name for element in spoken}, spoken)
        self.assertEqual([page.el(element).aria_role for element in ("log", "notice")], ["log", "status"])

        page.join("太郎")
        self.assertEqual(page.controls(), joined)
        self.assertEqual(page.focused(), "line")
        page.say("こんにちは")
        self.room_carries(entry("太郎"), cp932("太郎 :こんにちは"))
        page.el("leave").click()
        self.room_carries(exit_notice("太郎"))
        page.wait(lambda: page.controls() == not_joined, "not joined after 終了")
        self.assertEqual(page.focused(), "join")

        # The room full of UDP participants: the browser is refused.
        crowd = []
        try:
            counted = len(self.relay.out)
            for number in range(99):
                member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                member.bind(("127.0.0.1", 0))
                member.sendto(cp932(f"!p{number}+x"), ("127.0.0.1", self.relay.port))
                crowd.append(member)
            self.relay.wait_for_line(self.relay.out, r"^participants: 100$", WAIT, counted)
            self.room_carries(cp932("p98 :x"), exactly=False)
            page.join("太郎")
            page.say("入れますか")
            page.wait(lambda: page.controls() == not_joined, "not joined after the refusal")
            page.wait_for_line(CAPACITY_REFUSAL)
            self.assertEqual(page.lines()[-1], CAPACITY_REFUSAL)
            self.assertEqual(page.notice(), LOGIN_LATER)
            page.wait(lambda: page.focused() == "join", "the join button has the focus")
            page.el("name").send_keys("さん")
            self.assertEqual(page.el("name").get_attribute("value"), "太郎さん", "the name is editable")

            counted = len(self.relay.out)
            for number, member in enumerate(crowd):
                member.sendto(cp932(f"#p{number}"), ("127.0.0.1", self.relay.port))
            self.relay.wait_for_line(self.relay.out, r"^participants: 1$", WAIT, counted)
            self.room_carries(exit_notice("p98"), exactly=False)
        finally:
            for member in crowd:
                member.close()

        # Closing a logged-in tab leaves the conference.
        first_tab = page.driver.current_window_handle
        page.driver.switch_to.new_window("tab")
        try:
            self.logged_in(page, "次郎", "すぐ帰ります")
        finally:
            page.driver.close()
            page.driver.switch_to.window(first_tab)
        self.room_carries(exit_notice("次郎"))

    def test_the_page_says_when_the_gateway_is_gone_and_reconnects(self):
        self.peer_logs_in("山田")
        page = self.first
        self.logged_in(page, "太郎", "います")
        port = self.gateway.port
        self.assertEqual(self.gateway.stop(), 0)
        self.room_carries(exit_notice("太郎"))
        page.wait(lambda: page.el("connection").is_displayed(), "the lost connection is shown")
        text = page.el("connection").text
        self.assertIn("会議ゲートウェイとの接続が切れました", text)
        self.assertIn("会議ゲートウェイが終了しました", text, "the gateway's reason")
        self.assertEqual(page.controls(), [True, True, False])
        self.assertEqual(page.focused(), "line", "someone typing keeps typing")

        # Back by itself once the gateway is: a gateway that ended took the
        # participant with it, so the page is not joined, its name kept.
        self.gateway = Gateway(self.relay.port, port)
        page.wait(lambda: page.el("join").is_enabled(), "connected again")
        self.assertFalse(page.el("connection").is_displayed())
        page.el("join").click()
        page.wait(lambda: page.el("send").is_enabled(), "joined again under the same name")
        page.say("戻りました")
        self.room_carries(entry("太郎"), cp932("太郎 :戻りました"))

    def test_the_log_keeps_the_last_2000_lines_and_follows_the_newest_unless_scrolled_up(self):
        self.peer_logs_in("山田")
        page = self.first
        self.logged_in(page, "太郎", "読みます")  # three lines so far
        # In rounds the sockets take without loss on a busy machine.
        for start in range(0, 2010, 201):
            for number in range(start, min(start + 201, 2010)):
                self.peer.send(cp932(f"山田: {number}行目"))
            page.wait_for_line(f"山田: {min(start + 201, 2010) - 1}行目")
        lines = page.lines()
        self.assertEqual(len(lines), 2000)
        self.assertEqual((lines[0], lines[-1]), ("山田: 10行目", "山田: 2009行目"))
        page.wait(page.at_newest_line, "the log follows the newest line")

        page.scroll_log(0)
        self.peer.send(cp932("山田: 上を読んでいる間に"))
        page.wait_for_line("山田: 上を読んでいる間に")
        self.assertFalse(page.at_newest_line(), "the reader stays where they are")
        self.assertLess(page.script("return document.getElementById('log').scrollTop"), 100)

        page.scroll_log()
        self.peer.send(cp932("山田: 最新に戻ると"))
        page.wait_for_line("山田: 最新に戻ると")
        page.wait(page.at_newest_line, "following again")

    def test_the_page_on_a_phone_and_on_a_desktop(self):
        self.peer_logs_in("山田")
        page = self.second
        self.logged_in(page, "花子", "スマホから参加しています")
        for text in ("山田: ようこそ。画面は読みやすいですか？",
                     "山田: 長い行は折り返されます。" * 6,
                     "山田: https://example.com/" + "a" * 120,
                     "山田: 一行目\r\n二行目"):
            self.peer.send(cp932(text))
        page.wait_for_line("山田: 一行目\n二行目")
        page.type("絵文字😀も")
        page.enter()
        page.wait(lambda: "「😀」" in page.notice(), "a notice is shown")
        os.makedirs(ARGS.artefacts, exist_ok=True)
        try:
            page.browser.emulate_phone()
            self.check_layout(page, "phone", 360)
            page.driver.save_screenshot(os.path.join(ARGS.artefacts, "page-360.png"))
        finally:
            page.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
            page.driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": False})
        self.check_layout(page, "desktop", None)
        page.driver.save_screenshot(os.path.join(ARGS.artefacts, "page-desktop.png"))

    def check_layout(self, page, what, width):
        page.wait(lambda: width is None or page.script("return innerWidth") == width, f"{what}: the viewport")
        view = page.script("return [document.documentElement.scrollWidth, innerWidth, innerHeight]")
        self.assertLessEqual(view[0], view[1], f"{what}: no horizontal scrolling")
        for element_id in ("relay", "name", "join", "log", "line", "send", "leave", "notice"):
            box = page.script("const r = document.getElementById(arguments[0]).getBoundingClientRect();"
                              "return [r.left, r.top, r.right, r.bottom]", element_id)
            self.assertTrue(page.el(element_id).is_displayed(), f"{what}: {element_id} shown")
            self.assertTrue(0 <= box[0] and box[2] <= view[1] and 0 <= box[1] and box[3] <= view[2],
                            f"{what}: {element_id} at {box} within {view[1:]}")
        for element_id in ("name", "join", "line", "send", "leave"):
            self.assertGreaterEqual(page.el(element_id).rect["height"], 44, f"{what}: {element_id} for a finger")
        page.wait(page.at_newest_line, f"{what}: the newest line in view")


PAGE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "web", "page")
PAGE_TYPES = {".html": "text/html; charset=utf-8", ".css": "text/css; charset=utf-8",
              ".js": "text/javascript; charset=utf-8", ".svg": "image/svg+xml",
              ".webmanifest": "application/manifest+json"}
# What the page needs of the gateway's policy beside its own scripts and
# styles: its WebSocket, its unread badge drawn as a data: icon, its
# manifest and its service worker.
PAGE_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
               "img-src 'self' data:; manifest-src 'self'; worker-src 'self'; base-uri 'none'; "
               "form-action 'none'; frame-ancestors 'none'")
TITLE = "Tavilo会議システム"
GREETING = "よろしくお願いします"
# 2024-12-08 09:26:40.123 UTC, 18:26 in Tokyo.
A_TIME = 1733650000123


def line(text, **fields):
    return dict({"type": "line", "text": text}, **fields)


class FakeGateway:
    """Serves the page's files from the source tree and plays the gateway's
    side of the page's messages, from its own thread: joins, sends (each
    echoed as the tab's own line), resumes and leaves, plus whatever a test
    pushes. A resume hands over `held` and reports `missed`."""

    def __init__(self):
        self.received = []
        self.connections = 0
        self.tokens = {}
        self.held = []
        self.missed = 0
        self._socket = None
        self._changed = threading.Condition()
        self._loop = asyncio.new_event_loop()
        threading.Thread(target=self._loop.run_forever, daemon=True).start()
        self._server = self._call(self._serve())
        self.url = f"http://127.0.0.1:{self._server.sockets[0].getsockname()[1]}/"

    async def _serve(self):
        # Made inside the gateway's own loop, which the server binds itself to.
        return await websockets.serve(self._session, "127.0.0.1", 0, process_request=self._file)

    def _call(self, awaitable):
        async def run():
            return await awaitable
        return asyncio.run_coroutine_threadsafe(run(), self._loop).result(WAIT)

    async def _file(self, path, _headers):
        path = path.split("?")[0]
        if path == "/ws":
            return None
        name = "index.html" if path == "/" else path[1:]
        file = os.path.join(PAGE_DIR, name)
        if "/" in name or not os.path.isfile(file):
            return http.HTTPStatus.NOT_FOUND, [("Content-Security-Policy", PAGE_POLICY)], b""
        with open(file, "rb") as source:
            body = source.read()
        return http.HTTPStatus.OK, [("Content-Type", PAGE_TYPES[os.path.splitext(name)[1]]),
                                    ("Content-Security-Policy", PAGE_POLICY), ("Cache-Control", "no-cache")], body

    async def _session(self, ws, _path=None):
        with self._changed:
            self.connections += 1
            self._socket = ws
            self._changed.notify_all()
        me = {}
        try:
            await ws.send(json.dumps({"type": "hello", "relay": "127.0.0.1:5000", "resume_seconds": 120}))
            async for frame in ws:
                message = json.loads(frame)
                with self._changed:
                    self.received.append(message)
                    self._changed.notify_all()
                for answer in self._answers(message, me):
                    await ws.send(json.dumps(answer, ensure_ascii=False))
        except websockets.ConnectionClosed:
            pass

    def _answers(self, message, me):
        now = int(time.time() * 1000)
        kind = message["type"]
        if kind == "join":
            me.update(name=message["name"], entered=False, token=secrets.token_urlsafe(32))
            self.tokens[me["token"]] = me
            return [{"type": "state", "state": "joined", "name": me["name"], "token": me["token"]}]
        if kind == "send":
            first = not me["entered"]
            me["entered"] = True
            said = f"{me['name']} :{message['text']}" if first else f"{me['name']}: {message['text']}"
            return [{"type": "sent"}, line(said, time=now, own=True)] + ([{"type": "entered"}] if first else [])
        if kind == "resume":
            held = self.tokens.pop(message["token"], None)
            if held is None:
                return [{"type": "notice", "code": "left", "text": "接続が切れている間に退室しました"},
                        {"type": "state", "state": "not_joined"}]
            me.update(held, token=secrets.token_urlsafe(32))
            self.tokens[me["token"]] = me
            answers = [{"type": "resumed", "name": me["name"], "token": me["token"], "entered": me["entered"],
                        "missed": self.missed}] + self.held
            self.held, self.missed = [], 0
            return answers
        if kind == "leave":
            self.tokens.pop(me.get("token"), None)
            me.clear()
            return [{"type": "state", "state": "not_joined"}]
        return []

    def push(self, *messages):
        for message in messages:
            self._call(self._socket.send(json.dumps(message, ensure_ascii=False)))

    def drop(self):
        """Cuts the connection as a network would: no closing handshake."""
        self._loop.call_soon_threadsafe(self._socket.transport.abort)

    def close(self, code, reason):
        self._call(self._socket.close(code, reason))

    def wait_for(self, condition, what):
        with self._changed:
            if not self._changed.wait_for(condition, WAIT):
                raise AssertionError(f"the gateway never saw {what}; it received {self.received!r}")

    def sent_by_page(self, kind):
        return [message for message in self.received if message["type"] == kind]

    def stop(self):
        if self._server.is_serving():
            self._server.close()
            self._call(self._server.wait_closed())


class PageContractTest(unittest.TestCase):
    """The page against the stand-in gateway. Every page here must run
    without a script error or a breach of the gateway's policy."""

    @classmethod
    def setUpClass(cls):
        cls.browser = Browser(width=1024, height=768)
        cls.browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
            "window.pageFaults = [];"
            "addEventListener('error', (e) => pageFaults.push('error: ' + e.message));"
            "document.addEventListener('securitypolicyviolation',"
            " (e) => pageFaults.push('policy: ' + e.effectiveDirective + ' ' + e.blockedURI));")})

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()

    def setUp(self):
        os.makedirs(ARGS.artefacts, exist_ok=True)
        self.gateway = FakeGateway()
        self.page = Page(self.browser)

    def tearDown(self):
        driver = self.page.driver
        faults = driver.execute_script("return window.pageFaults || []")
        for command, parameters in (("Emulation.clearDeviceMetricsOverride", {}),
                                    ("Emulation.setTouchEmulationEnabled", {"enabled": False}),
                                    ("Emulation.setEmulatedMedia", {"features": []}),
                                    ("Emulation.setTimezoneOverride", {"timezoneId": ""})):
            driver.execute_cdp_cmd(command, parameters)
        driver.get("about:blank")
        self.gateway.stop()
        self.assertEqual(faults, [])

    def artefact(self, name):
        return os.path.join(ARGS.artefacts, name)

    def enter_room(self, name="太郎", first_line="こんにちは"):
        page = self.page
        page.open(self.gateway.url)
        page.join(name)
        page.type(first_line)
        page.el("send").click()
        page.wait_for_line(f"{name} :{first_line}")
        page.wait(lambda: page.input() == "", "the input emptied")

    def log_entries(self):
        return self.page.script(
            "return Array.from(document.getElementById('log').children, (e) => {"
            " const t = e.querySelector('time');"
            " return [t.dateTime, t.textContent, e.classList.contains('own')]; })")

    def test_each_line_shows_its_time_its_links_and_whose_it_is(self):
        page = self.page
        page.driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": "Asia/Tokyo"})
        self.enter_room()
        texts = ["山田: 見て https://example.com/a_(b)?c=1&d=2. と（http://127.0.0.1:8080/x）。",
                 "山田: javascript:alert(1) data:text/html,<b>x</b> Xhttp://evil.test/ http:// "
                 "<img src=x onerror=alert(1)> https://ok.test/<b>",
                 "山田: iiiiiiiiii MMMMMMMMMM " + "折り返す長い行です。" * 12]
        self.gateway.push(line(texts[0], time=A_TIME), line(texts[1]), line(texts[2]),
                          line("太郎: 自分の発言", own=True, time=A_TIME + 60000))
        page.wait_for_line("太郎: 自分の発言")
        self.assertEqual(page.lines()[-4:], texts + ["太郎: 自分の発言"], "the text itself, unchanged")
        entries = self.log_entries()
        self.assertEqual(entries[-4], ["2024-12-08T09:26:40.123Z", "18:26", False])
        self.assertEqual(entries[-1], ["2024-12-08T09:27:40.123Z", "18:27", True])
        self.assertEqual([entry[2] for entry in entries], [True, False, False, False, True], "own lines only")

        links = page.script("return Array.from(document.querySelectorAll('#log a'),"
                            " (a) => [a.textContent, a.getAttribute('href'), a.target, a.rel])")
        self.assertEqual(links, [
            ["https://example.com/a_(b)?c=1&d=2", "https://example.com/a_(b)?c=1&d=2", "_blank", "noopener noreferrer"],
            ["http://127.0.0.1:8080/x", "http://127.0.0.1:8080/x", "_blank", "noopener noreferrer"],
            ["https://ok.test/", "https://ok.test/", "_blank", "noopener noreferrer"]])
        self.assertEqual(page.script("return document.querySelectorAll('#log img, #log b').length"), 0)

        own, other = page.script("const e = document.getElementById('log').children;"
                                 "return [e[e.length - 1], e[e.length - 2]].map((x) => getComputedStyle(x).backgroundColor)")
        self.assertNotEqual(own, other, "own lines look different")
        # Latin letters at their own widths, and the rows of a wrapped line
        # under its first one, right of the time.
        widths, text_left, time_right, rows = page.script(
            "const entry = document.getElementById('log').children[3];"
            "const text = entry.querySelector('.text').firstChild, range = document.createRange();"
            "const width = (from) => { range.setStart(text, from); range.setEnd(text, from + 10);"
            "  return range.getBoundingClientRect().width; };"
            "const widths = [width(4), width(15)];"
            "range.selectNodeContents(entry.querySelector('.text'));"
            "const rects = Array.from(range.getClientRects());"
            "return [widths, Math.min(...rects.map((r) => r.left)),"
            " entry.querySelector('time').getBoundingClientRect().right, new Set(rects.map((r) => r.top)).size];")
        self.assertGreater(widths[1], 2 * widths[0], "M is wider than i: a proportional face")
        self.assertGreater(rows, 1, "the long line wraps")
        self.assertGreater(text_left, time_right, "wrapped rows stay right of the time")

    def test_the_greeting_enters_the_room_and_lines_show_before_it(self):
        page = self.page
        page.open(self.gateway.url)
        self.assertEqual(page.script("return document.body.dataset.state"), "not-joined")
        self.assertFalse(page.el("greeting").is_displayed())
        page.join("花子")
        page.wait(lambda: page.el("greeting").is_displayed(), "the greeting is offered")
        self.assertEqual(page.el("greeting-text").get_property("value"), GREETING)
        self.assertEqual(page.script("return document.body.dataset.state"), "joined")
        self.gateway.push(line("山田: 先に来ています"))
        page.wait_for_line("山田: 先に来ています")
        page.el("greeting-text").clear()
        page.el("greeting-text").send_keys("はじめまして")
        page.el("greet").click()
        self.gateway.wait_for(lambda: self.gateway.sent_by_page("send"), "the greeting")
        self.assertEqual(self.gateway.sent_by_page("send"), [{"type": "send", "text": "はじめまして"}])
        page.wait(lambda: not page.el("greeting").is_displayed(), "the greeting goes once entered")
        self.assertEqual(page.script("return document.body.dataset.state"), "entered")
        self.assertEqual(page.focused(), "line")

    def test_unread_lines_while_scrolled_up_count_in_the_title_and_icon(self):
        page = self.page
        self.enter_room()
        self.gateway.push(*(line(f"山田: {number}行目") for number in range(60)))
        page.wait_for_line("山田: 59行目")
        page.scroll_log(0)
        self.assertFalse(page.el("newer").is_displayed())
        self.gateway.push(line("山田: 新1"), line("太郎: 自分のは数えない", own=True), line("山田: 新2"),
                          line("山田: 新3"))
        page.wait(lambda: page.driver.title == "(3) " + TITLE, "three unread in the title")
        page.wait(lambda: page.el("newer").is_displayed(), "the button to the newest line")
        self.assertEqual(page.el("newer").text, "新しい発言 ↓")
        icon = lambda: page.script("return document.querySelector('link[rel=icon]').href")
        page.wait(lambda: icon().startswith("data:image/png;base64,"), "a badge on the icon")
        badge = icon()
        with open(self.artefact("favicon-unread.png"), "wb") as png:
            png.write(base64.b64decode(badge.split(",", 1)[1]))
        page.driver.save_screenshot(self.artefact("page-unread.png"))

        page.el("newer").click()
        page.wait(lambda: page.driver.title == TITLE, "read: the title is plain again")
        page.wait(page.at_newest_line, "at the newest line")
        self.assertFalse(page.el("newer").is_displayed())
        page.wait(lambda: icon().endswith("/favicon.svg"), "the plain icon again")
        self.gateway.push(line("山田: 読んでいる間は"))
        page.wait_for_line("山田: 読んでいる間は")
        self.assertEqual(page.driver.title, TITLE, "lines read as they come are not unread")

    def test_lines_heard_while_the_tab_is_hidden_count_and_sound_is_off_until_chosen(self):
        page, driver = self.page, self.page.driver
        self.enter_room()
        self.assertFalse(page.el("sound").is_selected(), "no sound unless chosen")
        page.el("sound").click()
        page.driver.refresh()
        page.wait(lambda: page.el("join").is_enabled(), "connected after the reload")
        self.assertTrue(page.el("sound").is_selected(), "the choice is remembered")
        page.join("太郎")

        titles = lambda: [target["title"] for target in driver.execute_cdp_cmd("Target.getTargets", {})["targetInfos"]
                          if target["type"] == "page"]
        first_tab = driver.current_window_handle
        driver.switch_to.new_window("tab")  # the page's tab is hidden behind this one
        try:
            self.gateway.push(line("山田: 見ていない間に"), line("山田: もう一つ"))
            page.wait(lambda: "(2) " + TITLE in titles(), "two unread in the hidden tab's title")
        finally:
            driver.close()
            driver.switch_to.window(first_tab)
        page.wait(lambda: page.driver.title == TITLE, "seen once the tab shows again")
        self.assertEqual(page.lines()[-2:], ["山田: 見ていない間に", "山田: もう一つ"])

    def test_desktop_notifications_only_once_the_person_allowed_them(self):
        page, driver = self.page, self.page.driver
        driver.execute_cdp_cmd("Browser.grantPermissions", {"origin": self.gateway.url.rstrip("/"),
                                                            "permissions": ["notifications"]})
        # Stands in for the system's notifications, which headless has none of.
        spy = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
            "const Real = window.Notification; window.notified = []; window.asked = 0;"
            "function Spy(title, options) { notified.push(title + ' / ' + options.body); }"
            "Object.defineProperty(Spy, 'permission', {get: () => Real.permission});"
            "Spy.requestPermission = () => { asked += 1; return Real.requestPermission(); };"
            "window.Notification = Spy;")})
        try:
            self.enter_room()
            first_tab = driver.current_window_handle

            def hidden_while(text):
                driver.switch_to.new_window("tab")
                try:
                    self.gateway.push(line(text))
                    page.wait(lambda: any(target["title"].startswith("(") for target in
                                          driver.execute_cdp_cmd("Target.getTargets", {})["targetInfos"]),
                              f"{text!r} heard in the hidden tab")
                finally:
                    driver.close()
                    driver.switch_to.window(first_tab)

            hidden_while("山田: まだ選ばれていない")
            self.assertEqual(page.script("return [asked, notified]"), [0, []], "never asked unprompted")
            page.el("notify").click()
            page.wait(lambda: page.el("notify").is_selected(), "allowed")
            self.assertEqual(page.script("return asked"), 1)
            self.gateway.push(line("山田: 見ている間は"))
            page.wait_for_line("山田: 見ている間は")
            hidden_while("山田: 通知してね")
            self.assertEqual(page.script("return notified"), [TITLE + " / 山田: 通知してね"])
        finally:
            driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", spy)
            driver.execute_cdp_cmd("Browser.resetPermissions", {})

    def test_a_dropped_connection_resumes_with_the_lines_meanwhile_after_a_gap_marker(self):
        page, gateway = self.page, self.gateway
        self.enter_room()
        gateway.push(line("山田: 切れる前"))
        page.wait_for_line("山田: 切れる前")
        token = page.script("return sessionStorage.getItem('conf.token')")
        self.assertIn(token, gateway.tokens)

        said = int(time.time() * 1000) - 30000
        gateway.held = [line("山田: 切れている間に", time=said)]
        gateway.drop()
        gateway.wait_for(lambda: gateway.sent_by_page("resume"), "a resume")
        self.assertEqual(gateway.sent_by_page("resume"), [{"type": "resume", "token": token}])
        self.assertEqual(gateway.sent_by_page("join"), [{"type": "join", "name": "太郎"}], "no second join")
        page.wait_for_line("山田: 切れている間に")
        self.assertEqual(page.lines()[-3:], ["山田: 切れる前", "（再接続しました）", "山田: 切れている間に"])
        self.assertEqual(self.log_entries()[-1][0], iso_time(said), "at the time it was said")
        self.assertEqual(page.controls(), [True, False, True], "joined")
        self.assertFalse(page.el("greeting").is_displayed(), "already in the room")
        page.wait(lambda: not page.el("connection").is_displayed(), "the connection notice goes")
        new_token = page.script("return sessionStorage.getItem('conf.token')")
        self.assertNotEqual(new_token, token)
        self.assertIn(new_token, gateway.tokens)
        page.driver.save_screenshot(self.artefact("page-resumed.png"))

        gateway.missed = 5
        gateway.drop()
        page.wait_for_line("（5行を受信できませんでした）")
        self.assertEqual(page.lines()[-2:], ["（再接続しました）", "（5行を受信できませんでした）"])
        page.say("戻りました")
        page.wait_for_line("太郎: 戻りました")

    def test_retries_wait_longer_each_time_but_not_once_the_network_is_back(self):
        page, driver, gateway = self.page, self.page.driver, self.gateway
        spy = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
            "const Real = WebSocket; window.attempts = [];"
            "window.WebSocket = class extends Real {"
            " constructor(url) { attempts.push(performance.now() / 1000); super(url); } };")})
        try:
            self.enter_room()
        finally:
            driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", spy)
        driver.execute_cdp_cmd("Network.enable", {})
        offline = {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1}
        driver.execute_cdp_cmd("Network.emulateNetworkConditions", offline)
        try:
            gateway.drop()
            # Tries after 1, 2 and 4 s fail; the next one would wait 8 s.
            time.sleep(7.5)
            self.assertEqual(gateway.connections, 1)
            attempts = page.script("return attempts")
            self.assertEqual(len(attempts), 4, "the first connection and three tries")
            for waited, expected in zip((b - a for a, b in zip(attempts[1:], attempts[2:])), (2, 4)):
                self.assertAlmostEqual(waited, expected, delta=0.5)
        finally:
            driver.execute_cdp_cmd("Network.emulateNetworkConditions", dict(offline, offline=False))
        back = time.monotonic()
        gateway.wait_for(lambda: gateway.sent_by_page("resume"), "a resume")
        self.assertLess(time.monotonic() - back, 2.0, "at once when the network is back")
        self.assertEqual(gateway.connections, 2)

    def test_a_resume_refused_returns_to_not_joined_with_the_name_kept(self):
        page, gateway = self.page, self.gateway
        self.enter_room("次郎")
        gateway.tokens.clear()  # the grace period is over
        gateway.drop()
        page.wait(lambda: page.notice() == "接続が切れている間に退室しました", "told that it left")
        page.wait(lambda: page.controls() == [False, True, False], "not joined")
        self.assertEqual(page.el("name").get_property("value"), "次郎")
        self.assertIsNone(page.script("return sessionStorage.getItem('conf.token')"))
        page.driver.refresh()
        page.wait(lambda: page.el("join").is_enabled(), "connected after the reload")
        self.assertEqual(page.el("name").get_property("value"), "次郎")
        self.assertEqual(len(gateway.sent_by_page("resume")), 1, "nothing left to resume")

    def test_a_replaced_connection_does_not_come_back_by_itself(self):
        page, gateway = self.page, self.gateway
        self.enter_room()
        gateway.close(4000, "replaced")
        page.wait(lambda: "別のタブ・接続で再開されました" in page.el("connection").text, "told why")
        time.sleep(2.5)  # past the first two waits before a retry
        self.assertEqual(gateway.connections, 1)
        page.el("reconnect").click()
        page.wait(lambda: page.el("join").is_enabled(), "connected at the click")
        self.assertEqual(gateway.connections, 2)
        self.assertEqual(gateway.sent_by_page("resume"), [], "the other connection holds the participant")

    def test_closing_the_page_leaves_at_once(self):
        driver = self.page.driver
        first_tab = driver.current_window_handle
        driver.switch_to.new_window("tab")
        try:
            self.enter_room()
        finally:
            driver.close()
            driver.switch_to.window(first_tab)
        self.gateway.wait_for(lambda: self.gateway.sent_by_page("leave"), "a leave")

    def test_on_a_touch_screen_enter_is_a_new_line_and_the_button_sends(self):
        page = self.page
        page.browser.emulate_phone()
        self.enter_room("花子", "スマホです")
        page.type("一行目")
        page.enter()
        page.type("二行目")
        self.assertEqual(page.input(), "一行目\n二行目")
        self.assertEqual(len(self.gateway.sent_by_page("send")), 1, "Enter sent nothing")
        self.assertEqual(page.el("line").get_attribute("enterkeyhint"), "enter")
        page.el("send").click()
        page.wait_for_line("花子: 一行目\n二行目")

    def test_light_and_dark_on_a_phone_and_a_desktop_and_nothing_moves_at_load(self):
        page = self.page
        for scheme in ("light", "dark"):
            self.page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
                "features": [{"name": "prefers-color-scheme", "value": scheme}]})
            for device in ("phone", "desktop"):
                if device == "phone":
                    page.browser.emulate_phone()
                else:
                    page.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
                page.open(self.gateway.url)
                shift = page.driver.execute_async_script(
                    "const done = arguments[0]; let total = 0;"
                    "new PerformanceObserver((list) => { for (const e of list.getEntries()) total += e.value; })"
                    "  .observe({type: 'layout-shift', buffered: true});"
                    "requestAnimationFrame(() => setTimeout(() => done(total), 100));")
                self.assertEqual(shift, 0, f"{device}, {scheme}: layout shift at load")
                page.join("花子")
                self.gateway.push(line("山田: 画面はどうですか https://example.com/", time=A_TIME),
                                  line("花子: 見やすいです", own=True))
                page.wait_for_line("花子: 見やすいです")
                page.driver.save_screenshot(self.artefact(f"page-{device}-{scheme}.png"))
                log_colour, text_colour = page.script(
                    "const s = getComputedStyle(document.getElementById('log'));"
                    "return [s.backgroundColor, s.color]")
                luminance = [relative_luminance(colour) for colour in (log_colour, text_colour)]
                if scheme == "dark":
                    self.assertTrue(luminance[0] < 0.05 < 0.5 < luminance[1], f"{device}: {luminance}")
                else:
                    self.assertTrue(luminance[1] < 0.05 < 0.9 < luminance[0], f"{device}: {luminance}")
                self.assertEqual(page.script("return getComputedStyle(document.documentElement).colorScheme"),
                                 "light dark")

    def test_the_kept_page_opens_without_the_gateway_and_says_so(self):
        page = self.page
        page.open(self.gateway.url)
        page.driver.set_script_timeout(WAIT)
        page.driver.execute_async_script("navigator.serviceWorker.ready.then(() => arguments[0]())")
        errors = page.driver.execute_cdp_cmd("Page.getInstallabilityErrors", {})
        self.assertEqual(errors.get("installabilityErrors"), [], "installable")
        self.gateway.stop()
        page.driver.refresh()
        page.wait(lambda: "会議ゲートウェイに接続できません" in page.el("connection").text, "says it cannot connect")
        self.assertEqual(page.script("return document.querySelector('h1').textContent"), TITLE)


def iso_time(milliseconds):
    return datetime.datetime.fromtimestamp(milliseconds / 1000, datetime.timezone.utc).isoformat(
        timespec="milliseconds").replace("+00:00", "Z")


def relative_luminance(css_colour):
    """Of an `rgb(r, g, b)` colour, as contrast ratios are figured."""
    channels = [int(part) / 255 for part in css_colour[css_colour.index("(") + 1:].rstrip(")").split(",")[:3]]
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in channels]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--confweb", required=True)
    parser.add_argument("--confrelay", required=True)
    parser.add_argument("--artefacts", required=True, help="folder for the page's screenshots")
    ARGS, rest = parser.parse_known_args()
    process.ARGS = ARGS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
