#!/usr/bin/python3
"""The conference page in a real browser: headless Chromium through Selenium,
served by confweb in front of confrelay, all on 127.0.0.1, with a UDP
participant of our own that checks what the room hears byte for byte.

What the gateway says to a tab is proven by confweb_test.py; these tests are
about what a person sees and does on the page. Two browsers serve every test
(each start costs about a second); each test has its own relay and gateway.
"""
import argparse
import os
import select
import socket
import sys
import unittest

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
        # Each entry is its time and its text, and nothing else became an element.
        self.assertEqual(self.first.script(
            "return Array.from(document.querySelectorAll('#log *'), e => e.localName + '.' + e.className)"),
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
