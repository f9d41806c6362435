"""A whole conference end to end: the real confserver and several confclient
windows on one display under Wine, driven as their users would drive them.
Test participants on 127.0.0.1 fill the server where a case needs a crowd.

Usage: see conf_gui.py's parse_options; --program is confclient and
--companion names confserver (ctest passes everything).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conf_gui  # noqa: E402
from conf_gui import Participant, wait_until  # noqa: E402
from conf_windows import REPLY_TIMEOUT, ClientWindow, ProgramTexts, ServerPanel  # noqa: E402

# Room for the panel and three client windows side by side.
SCREEN = "1800x1000x24"
# Where the users drag their windows: clear of the panel at (0, 0) and of
# one another.
PLACES = [(200, 0), (800, 0), (200, 460), (800, 460)]


class ConferenceTest(conf_gui.SessionTestCase):
    screen = SCREEN

    @classmethod
    def setUpClass(cls):
        cls.texts = ProgramTexts(cls.options.source_root)
        cls.ui = cls.texts.ui
        cls.server_program = conf_gui.companion_program(cls.options, "confserver")
        super().setUpClass()

    # Helpers ----------------------------------------------------------------

    def start_server(self):
        panel = ServerPanel.launch(self.session, self.server_program, self.texts)
        self.addCleanup(panel.program.kill)
        return panel, panel.start()

    def open_client(self, place):
        window = ClientWindow.launch(self.session, self.options.program, self.texts)
        self.addCleanup(window.program.kill)
        window.drag_to(*place)
        return window

    def participant(self, port):
        participant = Participant(port)
        self.addCleanup(participant.close)
        return participant

    def shot(self, name, *windows):
        """The whole screen, and each window on its own."""
        self.session.screenshot(name)
        for number, window in enumerate(windows, 1):
            self.session.screenshot(f"{name}-{number}", area=window.rect())

    def joined(self, name, first_line):
        """Log lines of a user's own join: the reply, the entry notice and
        the first line as the server rebuilds it (blank before the colon)."""
        return [self.texts.login_accepted] + self.arrival(name, first_line)

    def arrival(self, name, first_line):
        """What everyone already there sees when a user joins."""
        return [self.texts.entry(name), f"{name} :{first_line}"]

    # Tests -------------------------------------------------------------------

    def test_three_users_hold_a_conference_one_leaves_one_vanishes(self):
        panel, port = self.start_server()
        sato, suzuki, noto = (self.open_client(place) for place in PLACES[:3])
        logs = {sato: [], suzuki: [], noto: []}

        def expect(users, lines):
            for user in users:
                logs[user] += lines
            for user in users:
                user.wait_log(logs[user])

        # The name 能登 has the byte 0x5C as its second byte; 127.0.0.1 and
        # localhost both name the server.
        for user, name, server, first_line in ((sato, "佐藤", "127.0.0.1", "皆さん、こんにちは"),
                                               (suzuki, "鈴木花子", "localhost", "よろしくお願いします"),
                                               (noto, "能登", "127.0.0.1", "遅くなりました")):
            already_there = [other for other in logs if logs[other]]
            user.join(name, server, port)
            wait_until(lambda: user.focus() == user.input_field, what="the focus in the input field")
            user.say(first_line)
            expect([user], self.joined(name, first_line))
            expect(already_there, self.arrival(name, first_line))
            panel.wait_count(len(already_there) + 1)

        everyone = [sato, suzuki, noto]
        sato.say("本日の議題は来期の予算です")
        expect(everyone, ["佐藤: 本日の議題は来期の予算です"])
        suzuki.say("了解です。\r\n資料を送ります")
        expect(everyone, ["鈴木花子: 了解です。", "資料を送ります"])
        noto.say("ｶﾀｶﾅもＯＫ～")
        expect(everyone, ["能登: ｶﾀｶﾅもＯＫ～"])
        self.shot("conference-three-users", sato, suzuki, noto)

        # 能登 leaves properly: the question, OK, and the others are told.
        self.assertEqual(noto.exit(), 0)
        expect([sato, suzuki], [self.texts.exit_notice("能登")])
        panel.wait_count(2)

        # 鈴木花子's program is killed: no leave notice. The server goes on
        # sending to the dead address and must not go deaf from it.
        suzuki.program.kill()
        wait_until(lambda: not self.driver.state(suzuki.hwnd).exists, what="the killed window to go")
        for number in range(1, 4):
            sato.say(f"鈴木さん？{number}")
            expect([sato], [f"佐藤: 鈴木さん？{number}"])
        self.assertEqual(self.session.boxes(panel.hwnd), [], "no report at the server")
        panel.wait_count(2)

        # A newcomer is heard, and hears the ones still there.
        tanaka = self.open_client(PLACES[3])
        logs[tanaka] = []
        tanaka.join("田中", "localhost", port)
        tanaka.say("途中から失礼します")
        expect([tanaka], self.joined("田中", "途中から失礼します"))
        expect([sato], self.arrival("田中", "途中から失礼します"))
        panel.wait_count(3)
        sato.say("ようこそ")
        expect([sato, tanaka], ["佐藤: ようこそ"])
        self.shot("conference-after-the-kill", sato, tanaka)
        for window in (sato, tanaka):
            self.assertEqual(self.session.boxes(window.hwnd), [])

    def test_a_full_conference_refuses_until_someone_leaves(self):
        panel, port = self.start_server()
        crowd = []
        for number in range(100):
            participant = self.participant(port)
            participant.send(f"!p{number:03}+hello")
            self.assertEqual(participant.receive(REPLY_TIMEOUT), self.texts.login_accepted)
            crowd.append(participant)
        panel.wait_count(100)

        watanabe = self.open_client(PLACES[0])
        watanabe.join("渡辺", "127.0.0.1", port)
        watanabe.say("入れますか")
        box = self.session.wait_box(owner=watanabe.hwnd)
        self.assertEqual((box.text, box.caption, box.buttons, box.icon),
                         (self.ui["kLoginLater"], self.ui["kCaptionError"], ("ok",), "none"))
        self.assertEqual(watanabe.log_lines(), [self.texts.capacity_refusal])
        self.shot("conference-full", watanabe)
        self.driver.answer_box(box.hwnd, "ok")
        wait_until(watanabe.is_not_joined, what="the not-joined state")
        wait_until(lambda: watanabe.focus() == watanabe.join_button, what="the focus on the join button")
        panel.wait_count(100)

        first, last = crowd[0], crowd[-1]
        for participant in (first, last):
            participant.drain(0.1)
        leaving = crowd.pop(50)
        leaving.send("#p050")
        for participant in (first, last):
            self.assertEqual(participant.receive(REPLY_TIMEOUT), self.texts.exit_notice("p050"))
        panel.wait_count(99)

        # Name, server and port are still there: join again, and this time
        # the first line gets in.
        watanabe.press_join()
        watanabe.wait_joined()
        watanabe.say("入れました")
        watanabe.wait_log([self.texts.capacity_refusal] + self.joined("渡辺", "入れました"))
        panel.wait_count(100)
        for participant in (first, last):
            self.assertEqual(participant.receive_all(2, timeout=REPLY_TIMEOUT), self.arrival("渡辺", "入れました"))


if __name__ == "__main__":
    conf_gui.run_suite(ConferenceTest)
