"""Browsers in the conference of the Windows programs: a browser on this
machine (headless Chromium) joins through confweb, the web gateway, while
confserver's panel runs the room under Wine. Once through the native confweb
beside a confclient window, once through confweb.exe under Wine, as in an
office whose server is a Windows PC.

Usage: see conf_gui.py's parse_options; --program is confweb.exe,
--companion names confserver and confclient, --native the native confweb
(ctest passes everything). Needs Debian's Python, for selenium.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conf_gui  # noqa: E402
from conf_browser import GATEWAY_START_TIMEOUT, BrowserUser, gateway_url  # noqa: E402
from conf_gui import Participant  # noqa: E402
from conf_windows import REPLY_TIMEOUT, ClientWindow, ProgramTexts, ServerPanel  # noqa: E402

# Why the gateway closes the pages' connections when it is stopped.
GATEWAY_CLOSING = "会議ゲートウェイが終了しました"


class WebConferenceTest(conf_gui.SessionTestCase):
    @classmethod
    def setUpClass(cls):
        cls.texts = ProgramTexts(cls.options.source_root)
        cls.server_program = conf_gui.companion_program(cls.options, "confserver")
        cls.client_program = conf_gui.companion_program(cls.options, "confclient")
        cls.native_confweb = conf_gui.native_program(cls.options, "confweb")
        super().setUpClass()

    # Helpers ----------------------------------------------------------------

    def start_server(self):
        panel = ServerPanel.launch(self.session, self.server_program, self.texts)
        self.addCleanup(panel.program.kill)
        return panel, panel.start()

    def start_gateway(self, port, native):
        """confweb in front of the room on `port`; returns it and its page."""
        arguments = ("--relay", f"127.0.0.1:{port}", "--listen", "127.0.0.1:0")
        if native:
            gateway = self.session.launch_native(self.native_confweb, *arguments)
        else:
            gateway = self.session.launch(self.options.program, *arguments)
        self.addCleanup(gateway.kill)
        return gateway, gateway_url(gateway)

    def stop_gateway(self, gateway):
        """Ctrl+C, as at the console; the gateway ends by itself."""
        gateway.interrupt()
        self.assertEqual(gateway.wait_exit(timeout=GATEWAY_START_TIMEOUT), 0, gateway.output())

    def open_browser(self, url):
        user = BrowserUser.open(url)
        self.addCleanup(user.quit)
        return user

    def browser_shot(self, user, name):
        user.screenshot(os.path.join(self.session.artefacts, name + ".png"))

    def joined(self, name, first_line):
        return [self.texts.login_accepted] + self.arrival(name, first_line)

    def arrival(self, name, first_line):
        return [self.texts.entry(name), f"{name} :{first_line}"]

    # Tests -------------------------------------------------------------------

    def test_a_window_user_and_a_browser_user_converse_through_the_native_gateway(self):
        panel, port = self.start_server()
        gateway, url = self.start_gateway(port, native=True)
        sato = ClientWindow.launch(self.session, self.client_program, self.texts)
        self.addCleanup(sato.program.kill)
        suzuki = self.open_browser(url)
        logs = {sato: [], suzuki: []}

        def expect(users, lines):
            for user in users:
                logs[user] += lines
            for user in users:
                user.wait_log(logs[user])

        sato.join("佐藤", "127.0.0.1", port)
        sato.say("皆さん、おはようございます")
        expect([sato], self.joined("佐藤", "皆さん、おはようございます"))
        suzuki.join("鈴木")
        suzuki.say("ブラウザから参加しました")
        expect([suzuki], self.joined("鈴木", "ブラウザから参加しました"))
        expect([sato], self.arrival("鈴木", "ブラウザから参加しました"))
        panel.wait_count(2)

        # ～ is 81 60 in code page 932 (U+FF5E), where plain Shift-JIS has
        # another character; a line break typed in the page (Shift+Enter)
        # reaches the window as CR LF, one more line in its log.
        sato.say("～も全角のＡＢＣも半角のｶﾅも見えますか")
        expect([sato, suzuki], ["佐藤: ～も全角のＡＢＣも半角のｶﾅも見えますか"])
        suzuki.say("はい、見えています～\n二行目も届きますか")
        expect([sato, suzuki], ["鈴木: はい、見えています～", "二行目も届きますか"])
        sato.say("届いています。では、また")
        expect([sato, suzuki], ["佐藤: 届いています。では、また"])
        self.browser_shot(suzuki, "web-conference-browser")

        # 終了 in the page: the window hears the leave, the room has one
        # participant again, and the page may join again.
        suzuki.leave()
        expect([sato], [self.texts.exit_notice("鈴木")])
        panel.wait_count(1)
        self.assertEqual(suzuki.log_lines(), logs[suzuki], "nothing heard after leaving")
        self.assertEqual(self.session.boxes(sato.hwnd), [], "no report in the window")
        self.session.screenshot("web-conference")
        self.session.screenshot("web-conference-window", area=sato.rect())
        self.stop_gateway(gateway)

    def test_confweb_exe_lets_a_browser_into_the_windows_server_and_says_when_it_is_gone(self):
        panel, port = self.start_server()
        gateway, url = self.start_gateway(port, native=False)
        yamada = Participant(port)
        self.addCleanup(yamada.close)
        yamada.send("!山田+よろしくお願いします")
        self.assertEqual(yamada.receive_all(3, REPLY_TIMEOUT), self.joined("山田", "よろしくお願いします"))

        tanaka = self.open_browser(url)
        self.assertIn(f"127.0.0.1:{port}", tanaka.text(), "the page names the room's server")
        tanaka.join("田中")
        tanaka.say("Windows の入口から参加しました")
        self.assertEqual(yamada.receive_all(2, REPLY_TIMEOUT), self.arrival("田中", "Windows の入口から参加しました"))
        # 表 and 能 end in the byte 0x5C, a backslash when read as ASCII.
        yamada.send("山田: ようこそ～。表も能も届きますか")
        self.assertEqual(yamada.receive(REPLY_TIMEOUT), "山田: ようこそ～。表も能も届きますか")
        tanaka.wait_log(self.joined("田中", "Windows の入口から参加しました") + ["山田: ようこそ～。表も能も届きますか"])
        tanaka.say("届きました\n表も能も")
        self.assertEqual(yamada.receive(REPLY_TIMEOUT), "田中: 届きました\r\n表も能も")
        tanaka.wait_log(self.joined("田中", "Windows の入口から参加しました")
                        + ["山田: ようこそ～。表も能も届きますか", "田中: 届きました", "表も能も"])
        panel.wait_count(2)
        self.browser_shot(tanaka, "web-confweb-exe-browser")

        # Ctrl+C at confweb.exe's console: its browser user leaves the room,
        # and the page says why its connection ended.
        self.stop_gateway(gateway)
        self.assertEqual(yamada.receive(REPLY_TIMEOUT), self.texts.exit_notice("田中"))
        panel.wait_count(1)
        conf_gui.wait_until(tanaka.is_disconnected, what="the page to lose its connection")
        tanaka.wait_text(GATEWAY_CLOSING)

        # The server is stopped while a gateway still stands in front of its
        # port: the ICMP answer to the page's first line comes back to the
        # gateway's socket (Wine reports it as a refused connection, Windows
        # as a reset), and the page says so and stays joined.
        self.assertEqual(panel.stop(), 0)
        gateway, url = self.start_gateway(port, native=False)
        tanaka.load(url)
        tanaka.join("田中")
        tanaka.say("誰かいますか")
        tanaka.wait_text(f"会議サーバー（127.0.0.1:{port}）に届きません", timeout=REPLY_TIMEOUT)
        self.assertTrue(tanaka.is_joined())
        self.assertEqual(tanaka.log_lines(), [], "nobody answered")
        self.browser_shot(tanaka, "web-confweb-exe-unreachable")
        self.stop_gateway(gateway)


if __name__ == "__main__":
    conf_gui.run_suite(WebConferenceTest)
