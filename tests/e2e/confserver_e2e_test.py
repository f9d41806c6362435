"""confserver end to end: the real panel under Wine, operated through the GUI
driver, with test participants on 127.0.0.1.

Each test starts its own confserver and ends it. Usage: see conf_gui.py's
parse_options (ctest passes everything).
"""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conf_gui  # noqa: E402
from conf_gui import Participant, click_until, dominant, drag_window, free_udp_port, wait_until  # noqa: E402
from conf_windows import ProgramTexts, ServerPanel  # noqa: E402

WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
WM_CONF_SOCKET = 0x0401
FD_READ, FD_WRITE = 1, 2
WS_CHILD_VISIBLE = 0x50000000
PANEL_SIZE = (183, 164)
STATUS_BOX = (65, 25, 120, 39)  # client coordinates, right and bottom exclusive
# A participant's datagrams are answered in milliseconds; this only bounds a
# failure.
REPLY_TIMEOUT = 5.0


class ConfserverWindowTest(conf_gui.SessionTestCase):

    @classmethod
    def setUpClass(cls):
        cls.texts = ProgramTexts(cls.options.source_root)
        cls.ids = cls.texts.server_ids
        cls.ui = cls.texts.ui
        cls.wire = cls.texts.wire
        super().setUpClass()

    # Helpers ----------------------------------------------------------------

    def launch_panel(self):
        panel = ServerPanel.launch(self.session, self.options.program, self.texts)
        self.addCleanup(panel.program.kill)
        return panel

    def participant(self, port):
        participant = Participant(port)
        self.addCleanup(participant.close)
        return participant

    def press_start(self, panel, port_text):
        self.driver.set_text(panel.port_field, port_text)
        self.driver.click(panel.start_button)

    def start_running(self, panel, port=None):
        port = port or free_udp_port()
        # Typed, as the operator would, into the empty field.
        self.driver.set_text(panel.port_field, "")
        self.driver.type_text(panel.port_field, str(port))
        self.driver.click(panel.start_button)
        wait_until(lambda: not self.driver.state(panel.start_button).enabled, what="the start button to be disabled")
        return port

    def assert_box(self, box, text, caption, buttons=("ok",), icon="none"):
        self.assertEqual((box.text, box.caption, box.buttons, box.icon), (text, caption, buttons, icon))

    def answer(self, panel, box, button="ok"):
        self.driver.answer_box(box.hwnd, button)
        self.session.wait_no_box(panel.hwnd)

    def assert_waiting(self, panel):
        self.assertTrue(self.driver.state(panel.start_button).enabled)
        self.assertFalse(self.driver.state(panel.port_field).read_only)
        self.assertEqual(self.driver.get_text(panel.hwnd), "")

    def assert_count(self, panel, expected):
        wait_until(lambda: self.driver.get_text(panel.count_field) == expected, timeout=REPLY_TIMEOUT,
                   what=f"the count field to show {expected} "
                        f"(it shows {self.driver.get_text(panel.count_field)!r})")

    def status_colours(self, screen, panel):
        """The colours that lead clearly inside the status box, as a set."""
        x, y, _, _ = self.driver.client(panel.hwnd)
        left, top, right, bottom = STATUS_BOX
        # Inside the frame: the box's white ground and its text.
        inner = screen.area(x + left + 1, y + top + 1, x + right - 1, y + bottom - 1)
        colours = [dominant(pixel) for pixel in inner]
        return {c for c in colours if c is not None and colours.count(c) >= 3}

    def login(self, participant, name, text):
        """Logs in and returns what the participant receives for it."""
        participant.send(f"!{name}+{text}")
        return participant.receive_all(3, timeout=REPLY_TIMEOUT)

    def entry(self, name):
        return name + self.wire["kEntrySuffix"]

    def exit_notice(self, name):
        return name + self.wire["kExitSuffix"]

    # Tests -------------------------------------------------------------------

    def test_panel_is_the_elliptical_window_with_its_four_controls(self):
        panel = self.launch_panel()
        self.assertEqual(self.driver.rect(panel.hwnd), (0, 0) + PANEL_SIZE, "183 x 164 at (0, 0), not centred")
        self.assertEqual(self.driver.get_text(panel.hwnd), "", "no title while waiting")
        origin_x, origin_y, _, _ = self.driver.client(panel.hwnd)
        expected = [
            (panel.port_field, "Edit", "", (54, 55, 50, 20)),
            (panel.count_field, "Edit", "0", (54, 93, 50, 20)),
            (panel.start_button, "Button", self.ui["kStart"], (118, 55, 40, 20)),
            (panel.stop_button, "Button", self.ui["kStop"], (118, 93, 40, 20)),
        ]
        for hwnd, class_name, text, (x, y, width, height) in expected:
            with self.subTest(text=text, class_name=class_name):
                state = self.driver.state(hwnd)
                self.assertEqual(state.class_name, class_name)
                self.assertEqual(state.style & 0xFFFF0000, WS_CHILD_VISIBLE, "no border or other window styles")
                self.assertTrue(state.enabled)
                self.assertEqual(self.driver.get_text(hwnd), text)
                left, top, right, bottom = self.driver.rect(hwnd)
                self.assertEqual((left - origin_x, top - origin_y, right - left, bottom - top), (x, y, width, height))
        self.assert_waiting(panel)

    def test_window_region_is_the_ellipse_and_only_it_is_painted(self):
        panel = self.launch_panel()
        kind, box = self.driver.region(panel.hwnd)
        self.assertEqual(kind, "complex")
        self.assertTrue(self.driver.region_is_ellipse(panel.hwnd, 0, 0, *PANEL_SIZE))
        screen = self.session.screenshot("confserver-waiting")
        # The screen's black shows through the corners; the panel's centre
        # is painted.
        for corner in ((1, 1), (PANEL_SIZE[0] - 2, 1), (1, PANEL_SIZE[1] - 2), (PANEL_SIZE[0] - 2, PANEL_SIZE[1] - 2)):
            self.assertEqual(screen.pixel(*corner), (0, 0, 0), f"corner {corner} lies outside the ellipse")
        self.assertNotEqual(screen.pixel(91, 150), (0, 0, 0), "inside the ellipse the panel is painted")

    def test_status_box_is_red_while_waiting_and_blue_once_running(self):
        panel = self.launch_panel()
        # Painting ends after the window shows: wait for the red text.
        wait_until(lambda: self.status_colours(self.session.screenshot("confserver-waiting"), panel) == {"red"},
                   what="the red waiting status")
        self.start_running(panel)
        wait_until(lambda: self.status_colours(self.session.screenshot("confserver-running"), panel) == {"blue"},
                   what="the blue running status")

    def test_port_field_refuses_what_is_no_port(self):
        panel = self.launch_panel()
        for attempt, text in enumerate(("0", "65536", "-1", "abc", "", "4294967297", "８０８０", "ソ表")):
            with self.subTest(port_text=text):
                # Let the focus start elsewhere, so the test sees it move.
                # (Clicks alternate between two points of the field: two at
                # one point would make a double click.)
                click_until(self.driver, self.point_in(panel, panel.count_field, dx=12 if attempt % 2 else -12),
                            lambda: self.driver.focus(panel.hwnd).focus == panel.hwnd)
                self.press_start(panel, text)
                box = self.session.wait_box(owner=panel.hwnd)
                self.assert_box(box, self.ui["kPortInvalid"], self.ui["kCaptionSystem"])
                self.answer(panel, box)
                wait_until(lambda: self.driver.focus(panel.hwnd).focus == panel.port_field,
                           what="the focus on the port field")
                self.assertEqual(self.driver.get_text(panel.port_field), text, "the text stays for correcting")
                self.assert_waiting(panel)

    def test_port_field_accepts_1_and_65535(self):
        for text in ("1", "65535"):
            with self.subTest(port_text=text):
                panel = self.launch_panel()
                self.press_start(panel, text)
                # Accepted means: no port message. Whether the system lets
                # the server bind that port is another matter: a bind
                # report is accepted too, and then the panel keeps waiting.
                outcome = wait_until(
                    lambda: "running" if not self.driver.state(panel.start_button).enabled
                    else self.session.boxes(panel.hwnd) and self.session.wait_box(owner=panel.hwnd),
                    what="the start to be handled")
                if outcome != "running":
                    self.assert_box(outcome, self.ui["kBindFailed"], self.ui["kCaptionSystem"])
                    self.answer(panel, outcome)
                panel.program.kill()

    def test_start_switches_every_control_to_the_running_state(self):
        panel = self.launch_panel()
        port = self.start_running(panel)
        self.assertEqual(self.driver.get_text(panel.hwnd), self.ui["kServerTitleRunning"])
        port_state = self.driver.state(panel.port_field)
        self.assertTrue(port_state.read_only)
        self.assertTrue(port_state.enabled, "read-only, not disabled")
        self.assertEqual(self.driver.get_text(panel.port_field), str(port))
        self.assertFalse(self.driver.state(panel.start_button).enabled)
        self.assertTrue(self.driver.state(panel.stop_button).enabled)
        self.assertEqual(self.driver.get_text(panel.count_field), "0")
        self.assertEqual(self.session.boxes(panel.hwnd), [])

        # A start command that still arrives (the button is disabled, but
        # command 201 can be posted) changes nothing and reports nothing.
        # The datagram sent after it is handled after it, so its answer
        # proves the command has been handled.
        self.driver.post(panel.hwnd, WM_COMMAND, self.ids["IDC_START"], 0)
        alice = self.participant(port)
        self.assertEqual(self.login(alice, "alice", "hi")[0], self.wire["kLoginAccepted"])
        self.assertEqual(self.session.boxes(panel.hwnd), [])
        self.assertEqual(self.driver.get_text(panel.hwnd), self.ui["kServerTitleRunning"])
        self.assert_count(panel, "1")

    def test_a_conference_runs_through_the_panel(self):
        panel = self.launch_panel()
        port = self.start_running(panel)
        alice, bob = self.participant(port), self.participant(port)

        self.assertEqual(self.login(alice, "alice", "こんにちは"),
                         [self.wire["kLoginAccepted"], self.entry("alice"), "alice :こんにちは"])
        self.assert_count(panel, "1")
        # "ソ" and "表" end in the byte 0x5C, the backslash.
        self.assertEqual(self.login(bob, "ソ表ボブ", "よろしく"),
                         [self.wire["kLoginAccepted"], self.entry("ソ表ボブ"), "ソ表ボブ :よろしく"])
        self.assertEqual(alice.receive_all(2, timeout=REPLY_TIMEOUT), [self.entry("ソ表ボブ"), "ソ表ボブ :よろしく"])
        self.assert_count(panel, "2")

        alice.send("alice: 会議を始めます")
        for participant in (alice, bob):
            self.assertEqual(participant.receive(REPLY_TIMEOUT), "alice: 会議を始めます")

        bob.send("#ソ表ボブ")
        self.assertEqual(alice.receive(REPLY_TIMEOUT), self.exit_notice("ソ表ボブ"))
        self.assert_count(panel, "1")
        alice.send("#alice")
        self.assert_count(panel, "0")
        # A leave notice of nobody in the conference never takes the count
        # below zero.
        stranger = self.participant(port)
        stranger.send("#nobody")
        stranger.send("still here?")
        bob.send("!bob+back")
        self.assertEqual(bob.receive(REPLY_TIMEOUT), self.wire["kLoginAccepted"])
        self.assert_count(panel, "1")

        # A datagram longer than the server reads costs that datagram only:
        # no report, and the conference goes on.
        stranger.send(b"x" * 1500)
        stranger.send("after the long one")
        self.assertEqual(bob.drain(0.3), [self.entry("bob"), "bob :back", "after the long one"])
        self.assertEqual(self.session.boxes(panel.hwnd), [])

    def test_socket_events_other_than_a_read_are_reported_and_change_nothing(self):
        panel = self.launch_panel()
        port = self.start_running(panel)
        # A read event with nothing waiting (a nested receive took it) is
        # no failure.
        self.driver.post(panel.hwnd, WM_CONF_SOCKET, 0, FD_READ)
        self.driver.post(panel.hwnd, WM_CONF_SOCKET, 0, FD_WRITE)
        box = self.session.wait_box(owner=panel.hwnd)
        self.assert_box(box, self.ui["kOtherEvent"], self.ui["kCaptionSystem"])
        self.answer(panel, box)
        self.assertEqual(self.login(self.participant(port), "dave", "hi")[0], self.wire["kLoginAccepted"])
        self.assertEqual(self.session.boxes(panel.hwnd), [])

    def test_port_in_use_is_reported_and_another_port_can_be_started(self):
        panel = self.launch_panel()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("127.0.0.1", 0))
            taken = holder.getsockname()[1]
            self.press_start(panel, str(taken))
            box = self.session.wait_box(owner=panel.hwnd)
            self.assert_box(box, self.ui["kBindFailed"], self.ui["kCaptionSystem"])
            self.answer(panel, box)
        self.assert_waiting(panel)
        port = self.start_running(panel)
        self.assertEqual(self.login(self.participant(port), "carol", "x")[0], self.wire["kLoginAccepted"])

    def test_stop_question_cancel_keeps_running_and_ok_ends_the_program(self):
        panel = self.launch_panel()
        port = self.start_running(panel)
        alice = self.participant(port)
        self.login(alice, "alice", "hi")

        self.driver.click(panel.stop_button)
        box = self.session.wait_box(owner=panel.hwnd)
        self.assert_box(box, self.ui["kStopQuestion"], self.ui["kCaptionError"], ("ok", "cancel"), "question")
        # The question's own message loop keeps the conference going.
        bob = self.participant(port)
        self.assertEqual(self.login(bob, "bob", "hello"),
                         [self.wire["kLoginAccepted"], self.entry("bob"), "bob :hello"])
        self.assert_count(panel, "2")
        self.assertEqual(self.session.boxes(panel.hwnd), [box.hwnd], "the question is still the only box")
        self.answer(panel, box, "cancel")

        self.assertTrue(panel.program.running())
        self.assertEqual(self.driver.get_text(panel.hwnd), self.ui["kServerTitleRunning"])
        alice.drain(0.1)
        bob.send("bob: still on")
        self.assertEqual(alice.receive(REPLY_TIMEOUT), "bob: still on")

        self.driver.click(panel.stop_button)
        box = self.session.wait_box(owner=panel.hwnd)
        self.driver.answer_box(box.hwnd, "ok")
        self.assertEqual(panel.program.wait_exit(timeout=15), 0)
        # The socket is closed: the port is free again.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as again:
            again.bind(("0.0.0.0", port))

    def test_close_request_from_the_system_ends_the_program_without_asking(self):
        panel = self.launch_panel()
        self.start_running(panel)
        self.driver.post(panel.hwnd, WM_CLOSE)
        self.assertEqual(panel.program.wait_exit(timeout=15), 0)
        self.assertEqual(self.session.boxes(), [])

    def test_count_field_never_keeps_the_focus(self):
        panel = self.launch_panel()
        focus = lambda: self.driver.focus(panel.hwnd).focus  # noqa: E731
        click_until(self.driver, self.point_in(panel, panel.port_field), lambda: focus() == panel.port_field)
        # Taken when the focus leaves the port field, wherever it goes.
        click_until(self.driver, self.point_in(panel, panel.count_field), lambda: focus() != panel.port_field)
        wait_until(lambda: focus() == panel.hwnd, what=f"the focus back on the panel (it is on {focus():#x})")

    def test_right_click_shows_nothing(self):
        panel = self.launch_panel()
        before = {w.hwnd for w in self.driver.windows() if w.visible}
        x, y, _, _ = self.driver.client(panel.hwnd)
        self.driver.mouse(x + 90, y + 140, "right")
        # Nothing is supposed to happen, so there is nothing to wait for:
        # watch for a bounded moment that no popup menu or box appears.
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            appeared = {w.hwnd for w in self.driver.windows() if w.visible} - before
            self.assertEqual(appeared, set(), "a right click opens no window")
            time.sleep(0.05)
        self.assertTrue(panel.program.running())

    def test_panel_is_dragged_by_its_background(self):
        panel = self.launch_panel()
        x, y, _, _ = self.driver.client(panel.hwnd)
        drag_window(self.driver, panel.hwnd, (x + 90, y + 145), (x + 290, y + 245))
        wait_until(lambda: self.driver.rect(panel.hwnd) == (200, 100, 200 + PANEL_SIZE[0], 100 + PANEL_SIZE[1]),
                   what=f"the panel to move (it is at {self.driver.rect(panel.hwnd)})")

    def point_in(self, panel, control, dx=0):
        """The screen centre of a control, moved right by dx."""
        left, top, right, bottom = self.driver.rect(control)
        return (left + right) // 2 + dx, (top + bottom) // 2


if __name__ == "__main__":
    conf_gui.run_suite(ConfserverWindowTest)
