"""confclient end to end: the real client window under Wine, operated through
the GUI driver. A UDP socket on 127.0.0.1 stands in for the server, so each
test sees exactly the datagrams the window sends and answers whatever the
case needs.

Each test starts its own confclient and ends it. Usage: see conf_gui.py's
parse_options (ctest passes everything).
"""

import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conf_gui  # noqa: E402
from conf_gui import DRIVER_ENCODING, wait_until  # noqa: E402
from conf_windows import ClientWindow, ProgramTexts  # noqa: E402

WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
EM_GETLINECOUNT = 0x00BA
EM_LINEINDEX = 0x00BB
EM_POSFROMCHAR = 0x00D6
WS_POPUP = 0x80000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_FRAME_STYLES = 0x00CF0000  # caption, border, dialog frame, system menu, sizing frame
WS_CHILD_VISIBLE = 0x50000000
WS_HSCROLL = 0x00100000
WS_VSCROLL = 0x00200000
ES_MULTILINE = 0x0004
ES_AUTOVSCROLL = 0x0040

WINDOW_SIZE = (592, 446)
# How long a test watches for something that must not happen (a datagram
# that must not be sent). Long against loopback, short against the suite.
QUIET = 0.5
LOG_HEIGHT = 200


def is_blue(pixel):
    red, green, blue = pixel
    return blue > green + 40 and green >= red


def port_is_free(port):
    """Whether no socket holds this UDP port (the client's socket is bound
    to every interface at its first send)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("0.0.0.0", port))
        except OSError:
            return False
        return True


class FakeServer:
    """A UDP socket on 127.0.0.1 in the server's place."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]

    def receive(self, timeout=conf_gui.DEFAULT_TIMEOUT):
        """(text, sender) of the next datagram, or (None, None) after timeout."""
        self.socket.settimeout(timeout)
        try:
            data, sender = self.socket.recvfrom(65536)
        except socket.timeout:
            return None, None
        return data.decode(DRIVER_ENCODING), sender

    def expect(self, text, timeout=conf_gui.DEFAULT_TIMEOUT):
        """Receives one datagram, checks it is `text`, returns its sender."""
        received, sender = self.receive(timeout)
        if received != text:
            raise AssertionError(f"the server received {received!r}, expected {text!r}")
        return sender

    def silence(self, quiet=QUIET):
        """Everything that arrives within `quiet` seconds (expected: nothing)."""
        received = []
        while (datagram := self.receive(quiet)[0]) is not None:
            received.append(datagram)
        return received

    def send(self, to, payload):
        self.socket.sendto(payload.encode(DRIVER_ENCODING) if isinstance(payload, str) else payload, to)

    def close(self):
        self.socket.close()


class ConfclientWindowTest(conf_gui.SessionTestCase):

    @classmethod
    def setUpClass(cls):
        cls.texts = ProgramTexts(cls.options.source_root)
        cls.ui = cls.texts.ui
        super().setUpClass()

    # Helpers ----------------------------------------------------------------

    def open_window(self):
        window = ClientWindow.launch(self.session, self.options.program, self.texts)
        self.addCleanup(window.program.kill)
        return window

    def fake_server(self):
        server = FakeServer()
        self.addCleanup(server.close)
        return server

    def joined_window(self, name="山田"):
        """A window joined to a fake server, its login request sent and
        received: (window, server, the client's address)."""
        server = self.fake_server()
        window = self.open_window()
        window.join(name, "127.0.0.1", server.port)
        window.say("はじめまして")
        client = server.expect(f"!{name}+はじめまして")
        return window, server, client

    def logged_in_window(self, name="山田"):
        window, server, client = self.joined_window(name)
        server.send(client, self.texts.login_accepted)
        window.wait_log([self.texts.login_accepted])
        return window, server, client

    def assert_report(self, window, text, buttons=("ok",), icon="none"):
        """The one box the window shows: this text, caption "Error"."""
        box = self.session.wait_box(owner=window.hwnd)
        self.assertEqual((box.text, box.caption, box.buttons, box.icon),
                         (text, self.ui["kCaptionError"], buttons, icon))
        return box

    def close_box(self, window, box, button="ok"):
        self.driver.answer_box(box.hwnd, button)
        self.session.wait_no_box(window.hwnd)

    def report_and_close(self, window, text):
        self.close_box(window, self.assert_report(window, text))

    def click_into(self, hwnd, dx=0):
        left, top, right, bottom = self.driver.rect(hwnd)
        self.driver.mouse((left + right) // 2 + dx, (top + bottom) // 2)

    # The window ---------------------------------------------------------------

    def test_window_is_centred_with_its_controls_and_painted_labels(self):
        _, _, screen_width, screen_height = self.driver.system()
        self.assertEqual((screen_width, screen_height), (1024, 768))
        window = self.open_window()
        self.assertEqual(window.rect(), (216, 161, 216 + WINDOW_SIZE[0], 161 + WINDOW_SIZE[1]))
        self.assertEqual(self.driver.get_text(window.hwnd), "", "no title")
        style = self.driver.state(window.hwnd).style
        self.assertEqual(style & (WS_POPUP | WS_VISIBLE), WS_POPUP | WS_VISIBLE)
        self.assertEqual(style & WS_FRAME_STYLES, 0, "no caption bar, border or frame")

        ids = self.texts.client_ids
        expected = [  # in creation order
            (ids["IDC_SEND"], "Button", self.ui["kSend"], (40, 400, 80, 30), WS_DISABLED),
            (ids["IDC_EXIT"], "Button", self.ui["kExit"], (470, 400, 80, 30), 0),
            (ids["IDC_JOIN"], "Button", self.ui["kJoin"], (470, 48, 80, 30), 0),
            (ids["IDC_INPUT"], "Edit", "", (40, 310, 510, 80), ES_MULTILINE | WS_HSCROLL),
            (ids["IDC_LOG"], "Edit", "", (40, 80, 510, 200), ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL),
            (ids["IDC_NAME"], "Edit", "", (116, 25, 140, 20), 0),
            (ids["IDC_SERVER"], "Edit", "", (116, 52, 140, 20), 0),
            (ids["IDC_PORT"], "Edit", "", (346, 52, 48, 20), 0),
        ]
        children = self.driver.children(window.hwnd)
        self.assertEqual([control_id for _, control_id, _, _ in children], [e[0] for e in expected])
        origin_x, origin_y, _, _ = self.driver.client(window.hwnd)
        for (hwnd, control_id, _, _), (_, class_name, text, geometry, extra_style) in zip(children, expected):
            with self.subTest(control_id=control_id):
                state = self.driver.state(hwnd)
                self.assertEqual(state.class_name, class_name)
                self.assertEqual(state.style, WS_CHILD_VISIBLE | extra_style, "no border, only these styles")
                self.assertFalse(state.read_only)
                self.assertEqual(self.driver.get_text(hwnd), text)
                left, top, right, bottom = self.driver.rect(hwnd)
                self.assertEqual((left - origin_x, top - origin_y, right - left, bottom - top), geometry)
        self.assertTrue(window.is_not_joined())
        self.assertNotIn(window.focus(), [hwnd for hwnd, _, _, _ in children], "no control has the focus")

        # The three labels are painted in cyan on the blue picture.
        def painted():
            screen = self.session.screenshot("confclient-created", area=window.rect())
            labels = [(40, 25, 100, 45), (40, 52, 112, 72), (260, 52, 344, 72)]
            cyan = [sum(1 for red, green, blue in screen.area(origin_x + left, origin_y + top,
                                                                origin_x + right, origin_y + bottom)
                        if red < 100 and green > 180 and blue > 180)
                    for left, top, right, bottom in labels]
            middle = screen.pixel(origin_x + 300, origin_y + 295)
            edge = screen.pixel(origin_x + 3, origin_y + 295)
            return all(count >= 20 for count in cyan) and is_blue(middle) and is_blue(edge) and edge[2] < middle[2]

        wait_until(painted, what="the cyan labels on the blue picture that darkens towards its edges")

    def test_window_is_dragged_by_its_background(self):
        window = self.open_window()
        window.drag_to(116, 61)
        self.assertTrue(window.is_not_joined())

    # Joining ------------------------------------------------------------------

    def test_join_failures_are_reported_in_order_and_change_nothing(self):
        window = self.open_window()
        server = self.fake_server()
        cases = [
            # Port first, then server, then name, then the look-up.
            ({}, "kPortInvalid"),
            ({"port": "0"}, "kPortInvalid"),
            ({"port": "65536"}, "kPortInvalid"),
            ({"port": "-1"}, "kPortInvalid"),
            ({"port": "12ab"}, "kPortInvalid"),
            ({"port": "４０"}, "kPortInvalid"),
            ({"port": "4294967297"}, "kPortInvalid"),
            ({"port": server.port, "name": "山田"}, "kServerNameInvalid"),
            ({"name": "", "server": "127.0.0.1"}, "kNameInvalid"),
            # Blanks are no host name: the resolver turns this down without
            # asking the network.
            ({"name": "山田", "server": "no such host"}, "kServerUnknown"),
        ]
        for fields, message in cases:
            with self.subTest(fields=fields):
                window.fill_in(**fields)
                window.press_join()
                self.report_and_close(window, self.ui[message])
                self.assertTrue(window.is_not_joined())
                # The closed box hands the focus back to where it was.
                wait_until(lambda: window.focus() == window.hwnd, what="the focus back on the main window")
        self.assertEqual(server.silence(), [], "a failed join sends nothing")

    def test_host_name_and_numeric_address_both_join(self):
        for server_text, port_format in (("localhost", "  {}"), ("127.0.0.1", "{}")):
            with self.subTest(server=server_text):
                server = self.fake_server()
                window = self.open_window()
                window.join("山田", server_text, port_format.format(server.port))
                self.assertEqual(server.silence(), [], "joining sends nothing")
                window.say("どうも")
                _, sender = server.receive()
                self.assertEqual(sender[0], "127.0.0.1")
                window.program.kill()

    def test_joined_state_then_login_request_then_chat_lines(self):
        server = self.fake_server()
        window = self.open_window()
        # Before joining the input field takes text, but nothing can be sent.
        self.driver.type_text(window.input_field, "abc")
        wait_until(lambda: self.driver.get_text(window.input_field) == "abc", what="typed text in the input field")
        self.assertFalse(self.driver.state(window.send_button).enabled)

        # "ソ" and "表" end in the byte 0x5C.
        window.join("ソ表山田", "127.0.0.1", server.port)
        for field in window.identity_fields():
            state = self.driver.state(field)
            self.assertTrue(state.read_only and state.enabled, "read-only, not disabled")
        wait_until(lambda: window.focus() == window.input_field, what="the focus in the input field")

        window.say("こんにちは")
        client = server.expect("!ソ表山田+こんにちは")
        self.assertEqual(window.focus(), window.input_field)
        # Line breaks typed into the input field travel as they are.
        window.say("二行目\r\nです")
        server.expect("ソ表山田: 二行目\r\nです")

        # A line longer than a datagram ends at a whole character.
        long_text = "長い行" * 300
        window.say(long_text)
        received, _ = server.receive()
        encoded = received.encode(DRIVER_ENCODING)
        self.assertEqual(len(encoded), 1023 - 1, "cut before the character that does not fit")
        self.assertTrue(("ソ表山田: " + long_text).startswith(received))

        # An empty input is refused and nothing changes.
        window.press_send("")
        self.report_and_close(window, self.ui["kInputEmpty"])
        self.assertTrue(window.is_joined())
        self.assertEqual(server.silence(), [])

        # What arrives from someone else is logged but never redirects the
        # lines: they still go to the server.
        stranger = self.fake_server()
        stranger.send(client, "割り込み")
        window.wait_log(["割り込み"])
        window.say("続きです")
        server.expect("ソ表山田: 続きです")
        self.assertEqual(stranger.silence(), [])

    # Receiving ----------------------------------------------------------------

    def test_received_datagrams_are_logged_whole_and_the_newest_is_in_view(self):
        window, server, client = self.joined_window()
        server.send(client, self.texts.login_accepted)
        server.send(client, b"")
        server.send(client, b"cut here\0never shown")
        longest = ("全角" * 255 + "abc").encode(DRIVER_ENCODING)
        self.assertEqual(len(longest), 1023)
        server.send(client, longest)
        expected = self.texts.login_accepted.encode(DRIVER_ENCODING) + b"\r\n\r\ncut here\r\n" + longest + b"\r\n"
        wait_until(lambda: window.log().encode(DRIVER_ENCODING) == expected,
                   what="every datagram logged with CR LF")

        # One byte too many is a receive failure, reported; the next one is
        # logged again.
        server.send(client, b"x" * 1024)
        self.report_and_close(window, self.ui["kReceiveFailed"])
        self.assertTrue(window.is_joined())
        for number in range(30):
            server.send(client, f"行{number}")
        wait_until(lambda: window.log_lines()[-1] == "行29", what="the last line logged")
        # Long lines wrap, so the field has more lines than the log.
        line_count = self.driver.send(window.log_field, EM_GETLINECOUNT)
        self.assertGreaterEqual(line_count, 4 + 30 + 1, "the lines and the empty one after the last CR LF")

        def top_of_line(line):
            index = self.driver.send(window.log_field, EM_LINEINDEX, line)
            position = self.driver.send(window.log_field, EM_POSFROMCHAR, index)
            top = (position >> 16) & 0xFFFF
            return top - 0x10000 if top >= 0x8000 else top

        self.assertTrue(0 <= top_of_line(line_count - 2) < LOG_HEIGHT - 10, "the newest line is in view")
        self.assertLess(top_of_line(0), 0, "the first line has scrolled away")

    def test_log_is_emptied_before_the_clearing_box_past_64512_bytes(self):
        window, server, client = self.joined_window()
        block = "ブ" * 510 + "x"  # 1021 bytes, 1023 in the log with CR LF
        for count in range(1, 64):
            server.send(client, block)
            if count % 8 == 0 or count == 63:
                wait_until(lambda: len(window.log_lines()) == count, what=f"{count} blocks logged")
        self.assertEqual(len(window.log().encode(DRIVER_ENCODING)), 63 * 1023)
        self.assertEqual(self.session.boxes(window.hwnd), [], "64449 bytes are not too many")

        server.send(client, block)
        box = self.assert_report(window, self.ui["kLogCleared"])
        self.assertEqual(window.log(), "", "emptied before the box")
        # The box's own loop goes on logging, into the new log, and a failure
        # meanwhile puts no second box on top.
        server.send(client, "箱の間に届いた行")
        server.send(client, b"y" * 1500)
        window.wait_log(["箱の間に届いた行"])
        self.assertEqual(self.session.boxes(window.hwnd), [box.hwnd])
        self.close_box(window, box)
        server.send(client, "その後の行")
        window.wait_log(["箱の間に届いた行", "その後の行"])

    # Capacity refusal ---------------------------------------------------------

    def test_capacity_refusal_returns_to_not_joined_and_a_new_join_logs_in_again(self):
        window, server, client = self.joined_window()
        server.send(client, self.texts.capacity_refusal)
        box = self.assert_report(window, self.ui["kLoginLater"])
        self.assertEqual(window.log_lines(), [self.texts.capacity_refusal], "logged before the box")
        self.close_box(window, box)
        wait_until(window.is_not_joined, what="the not-joined state")
        wait_until(lambda: window.focus() == window.join_button, what="the focus on the join button")
        self.assertFalse(port_is_free(client[1]), "the refusal leaves the socket open")

        # Name, server and port can be changed; the next line is a login
        # request again, to the new server.
        other = self.fake_server()
        window.join("再挑戦", "localhost", other.port)
        window.say("もう一度")
        other.expect("!再挑戦+もう一度")
        window.say("入れました")
        other.expect("再挑戦: 入れました")
        self.assertEqual(server.silence(), [])
        self.assertTrue(port_is_free(client[1]), "the new join closed the old socket")

    # Exit ----------------------------------------------------------------------

    def test_exit_asks_first_and_says_goodbye_once_logged_in(self):
        window, server, _ = self.logged_in_window("佐藤")
        # The exit button, and command 2 (IDCANCEL) as well, ask first.
        for press_exit in (lambda: self.driver.click(window.exit_button),
                           lambda: self.driver.post(window.hwnd, WM_COMMAND, 2)):
            press_exit()
            box = self.assert_report(window, self.ui["kExitQuestion"], ("ok", "cancel"), "question")
            self.close_box(window, box, "cancel")
            self.assertTrue(window.program.running())
            self.assertTrue(window.is_joined())
        self.assertEqual(server.silence(), [], "no leave notice on cancel")

        self.assertEqual(window.exit(), 0)
        server.expect("#佐藤")
        self.assertEqual(server.silence(), [], "one leave notice")

    def test_exit_before_the_login_reply_sends_no_leave_notice(self):
        for reply in (None, self.texts.login_accepted + "!"):
            with self.subTest(reply=reply):
                window, server, client = self.joined_window("鈴木")
                if reply is not None:
                    # Only the exact reply logs the client in.
                    server.send(client, reply)
                    window.wait_log([reply])
                self.assertEqual(window.exit(), 0)
                self.assertEqual(server.silence(), [])

    def test_close_request_ends_without_question_or_leave_notice(self):
        window, server, _ = self.logged_in_window("高橋")
        self.driver.post(window.hwnd, WM_CLOSE)
        self.assertEqual(window.program.wait_exit(timeout=30), 0)
        self.assertEqual(self.session.boxes(), [])
        self.assertEqual(server.silence(), [])

    # Focus and keyboard -------------------------------------------------------

    def test_the_log_never_keeps_the_focus_and_lines_arriving_leave_it_in_the_input(self):
        window, server, client = self.logged_in_window()
        self.click_into(window.input_field)
        wait_until(lambda: window.focus() == window.input_field, what="the focus in the input field")
        self.driver.press_keys("ab")
        # Enough lines to make the log scroll, which the field reports to
        # the window like a click would.
        for number in range(20):
            server.send(client, f"届いた行{number}")
        window.wait_log([self.texts.login_accepted] + [f"届いた行{n}" for n in range(20)])
        self.session.screenshot("confclient-lines-arrive-while-typing", area=window.rect())
        self.assertEqual(window.focus(), window.input_field)
        self.driver.press_keys("c")
        wait_until(lambda: self.driver.get_text(window.input_field) == "abc",
                   what=f"typing to go on in the input field ({self.driver.get_text(window.input_field)!r})")

        # A click into the log hands the focus to the main window, so that
        # typing cannot change the log.
        log_before = window.log()
        typed = "abc"
        for dx in (-40, 40):  # two points: two clicks at one would be a double click
            self.click_into(window.log_field, dx)
            wait_until(lambda: window.focus() == window.hwnd, what="the focus on the main window")
            self.driver.press_keys("zz")
            # Keys are handled in order: once one typed into the input field
            # shows there, the ones before it have been handled too.
            self.click_into(window.input_field, dx)
            wait_until(lambda: window.focus() == window.input_field, what="the focus in the input field")
            self.driver.press_keys("q")
            typed += "q"
            wait_until(lambda: self.driver.get_text(window.input_field) == typed, what="the key typed afterwards")
            self.assertEqual(window.log(), log_before, "typing went nowhere")

    def test_enter_in_the_input_field_starts_a_new_line(self):
        window, server, _ = self.joined_window()
        self.click_into(window.input_field)
        wait_until(lambda: window.focus() == window.input_field, what="the focus in the input field")
        self.driver.press_keys("ab\rcd")
        wait_until(lambda: self.driver.get_text(window.input_field) == "ab\r\ncd",
                   what=f"two lines in the input field ({self.driver.get_text(window.input_field)!r})")
        self.assertEqual(server.silence(), [], "Enter sends nothing")
        self.assertEqual(self.session.boxes(window.hwnd), [])
        self.driver.click(window.send_button)
        server.expect("山田: ab\r\ncd")


if __name__ == "__main__":
    conf_gui.run_suite(ConfclientWindowTest)
