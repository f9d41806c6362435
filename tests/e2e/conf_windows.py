"""The conference's two windows as their users see them, operated through a
GuiSession's driver: `ServerPanel` (confserver) and `ClientWindow`
(confclient). Used by the end-to-end suites and by the scripted demo.

    texts = ProgramTexts(source_root)
    panel = ServerPanel.launch(session, confserver_exe, texts)
    port = panel.start()
    alice = ClientWindow.launch(session, confclient_exe, texts)
    alice.join("佐藤", "127.0.0.1", port)
    alice.say("こんにちは")
    alice.wait_log([texts.login_accepted, texts.entry("佐藤"), "佐藤 :こんにちは"])

Texts are `str`; the programs' own texts come from the source tree
(common/ui_texts.h, common/protocol.h) and are never typed again here.
"""

import os

from conf_gui import DEFAULT_TIMEOUT, drag_window, free_udp_port, read_control_ids, read_text_constants, wait_until

CLIENT_CLASS = "MainWindow"
# The client's background between the log and the input field, in client
# coordinates: a press there drags the window.
CLIENT_DRAG_POINT = (300, 295)
# Starting Wine programs on a loaded machine can take a while.
LAUNCH_TIMEOUT = 60.0
# A datagram crosses loopback and a Wine message loop in milliseconds; this
# only bounds a failure.
REPLY_TIMEOUT = DEFAULT_TIMEOUT


class ProgramTexts:
    """Control identifiers and texts of both programs, from the sources."""

    def __init__(self, source_root):
        self.ui = read_text_constants(os.path.join(source_root, "common", "ui_texts.h"))
        self.wire = read_text_constants(os.path.join(source_root, "common", "protocol.h"))
        self.client_ids = read_control_ids(os.path.join(source_root, "client", "client_ids.h"))
        self.server_ids = read_control_ids(os.path.join(source_root, "server", "resource.h"))

    @property
    def login_accepted(self):
        return self.wire["kLoginAccepted"]

    @property
    def capacity_refusal(self):
        return self.wire["kCapacityRefusal"]

    def entry(self, name):
        return name + self.wire["kEntrySuffix"]

    def exit_notice(self, name):
        return name + self.wire["kExitSuffix"]


class ServerPanel:
    """A running confserver."""

    def __init__(self, session, program, hwnd, texts):
        driver = session.driver
        ids = texts.server_ids
        self.session = session
        self.driver = driver
        self.texts = texts
        self.program = program
        self.hwnd = hwnd
        self.port_field = driver.child(hwnd, ids["IDC_LISTEN_PORT"])
        self.count_field = driver.child(hwnd, ids["IDC_COUNT"])
        self.start_button = driver.child(hwnd, ids["IDC_START"])
        self.stop_button = driver.child(hwnd, ids["IDC_STOP"])

    @classmethod
    def launch(cls, session, path, texts):
        """Starts confserver and waits for its panel (one panel at a time:
        an earlier one must be gone, window and process)."""
        caption = texts.ui["kCaptionSystem"]
        last_child = texts.server_ids["IDC_STOP"]

        def earlier_gone():
            session.wait_window_gone(caption)
            session.wait_ended(path, timeout=LAUNCH_TIMEOUT)

        program, hwnd = session.launch_window(path, lambda: session.ready_window(caption, last_child_id=last_child),
                                              f"window of class {caption!r}", LAUNCH_TIMEOUT, prepare=earlier_gone)
        panel = cls(session, program, hwnd, texts)
        # Creation ends with the count set to "0".
        wait_until(lambda: session.driver.get_text(panel.count_field) == "0", what="the count field to show 0")
        return panel

    def start(self, port=None):
        """Types a port (a free one unless given) and presses start; returns
        the port once the panel runs."""
        port = port or free_udp_port()
        self.driver.set_text(self.port_field, "")
        self.driver.type_text(self.port_field, str(port))
        self.driver.click(self.start_button)
        wait_until(lambda: not self.driver.state(self.start_button).enabled, timeout=REPLY_TIMEOUT,
                   what="the server to run")
        return port

    def count(self):
        return self.driver.get_text(self.count_field)

    def wait_count(self, expected, timeout=REPLY_TIMEOUT):
        expected = str(expected)
        wait_until(lambda: self.count() == expected, timeout=timeout,
                   what=f"the participant count {expected} (it shows {self.count()!r})")

    def rect(self):
        return self.driver.rect(self.hwnd)

    def stop(self):
        """Presses stop, confirms, and returns the exit code."""
        self.driver.click(self.stop_button)
        box = self.session.wait_box(owner=self.hwnd)
        self.driver.answer_box(box.hwnd, "ok")
        return self.program.wait_exit(timeout=30)


class ClientWindow:
    """A running confclient."""

    def __init__(self, session, program, hwnd, texts):
        driver = session.driver
        ids = texts.client_ids
        self.session = session
        self.driver = driver
        self.texts = texts
        self.program = program
        self.hwnd = hwnd
        self.send_button = driver.child(hwnd, ids["IDC_SEND"])
        self.exit_button = driver.child(hwnd, ids["IDC_EXIT"])
        self.join_button = driver.child(hwnd, ids["IDC_JOIN"])
        self.input_field = driver.child(hwnd, ids["IDC_INPUT"])
        self.log_field = driver.child(hwnd, ids["IDC_LOG"])
        self.name_field = driver.child(hwnd, ids["IDC_NAME"])
        self.server_field = driver.child(hwnd, ids["IDC_SERVER"])
        self.port_field = driver.child(hwnd, ids["IDC_PORT"])

    @classmethod
    def launch(cls, session, path, texts):
        """Starts a confclient and waits for its window. Several may run:
        the new window is the one that was not there before."""
        known = session.window_handles(CLIENT_CLASS)
        last_child = texts.client_ids["IDC_PORT"]
        program, hwnd = session.launch_window(
            path, lambda: session.ready_new_window(CLIENT_CLASS, known, last_child_id=last_child),
            f"a new window of class {CLIENT_CLASS!r}", LAUNCH_TIMEOUT)
        return cls(session, program, hwnd, texts)

    # Acting as the user ---------------------------------------------------------

    def fill_in(self, name=None, server=None, port=None):
        """Puts text into the name, server and port fields (those given)."""
        for field, text in ((self.name_field, name), (self.server_field, server), (self.port_field, port)):
            if text is not None:
                self.driver.set_text(field, str(text))

    def press_join(self):
        self.driver.click(self.join_button)

    def join(self, name, server, port):
        """Fills in the fields, presses join and waits for the joined state."""
        self.fill_in(name, server, port)
        self.press_join()
        self.wait_joined()

    def wait_joined(self):
        wait_until(self.is_joined, timeout=REPLY_TIMEOUT, what="the joined state")

    def press_send(self, text):
        """Puts `text` into the input field (as pasted) and presses send."""
        self.driver.set_text(self.input_field, text)
        self.driver.click(self.send_button)

    def say(self, text):
        """Sends a line and waits until the window has sent it (the input
        field is emptied only after a successful send)."""
        self.press_send(text)
        wait_until(lambda: self.driver.get_text(self.input_field) == "", timeout=REPLY_TIMEOUT,
                   what="the input field to be emptied by the send")

    def exit(self):
        """Presses exit, confirms the question, and returns the exit code."""
        self.driver.click(self.exit_button)
        box = self.session.wait_box(owner=self.hwnd)
        self.driver.answer_box(box.hwnd, "ok")
        return self.program.wait_exit(timeout=30)

    def drag_to(self, x, y):
        """Drags the window by its background until its top left is at
        (x, y) on the screen."""
        left, top, right, bottom = self.rect()
        wanted = (x, y, x + right - left, y + bottom - top)
        grab_x, grab_y = left + CLIENT_DRAG_POINT[0], top + CLIENT_DRAG_POINT[1]
        drop_x, drop_y = grab_x + x - left, grab_y + y - top
        drag_window(self.driver, self.hwnd, (grab_x, grab_y), (drop_x, drop_y))
        wait_until(lambda: self.rect() == wanted, what=f"the window to move to {wanted} (it is at {self.rect()})")

    # Reading what the user sees ------------------------------------------------

    def log(self):
        return self.driver.get_text(self.log_field)

    def log_lines(self):
        """The log field's lines; every logged datagram ends in CR LF."""
        text = self.log()
        lines = text.split("\r\n")
        if lines[-1] == "":
            lines.pop()
        return lines

    def wait_log(self, expected, timeout=REPLY_TIMEOUT):
        """Waits until the log shows exactly these lines."""
        expected = list(expected)
        wait_until(lambda: self.log_lines() == expected, timeout=timeout,
                   what=f"the log {expected!r} (it shows {self.log_lines()!r})")

    def is_joined(self):
        d = self.driver
        return (not d.state(self.join_button).enabled and d.state(self.send_button).enabled
                and all(d.state(field).read_only for field in self.identity_fields()))

    def is_not_joined(self):
        d = self.driver
        return (d.state(self.join_button).enabled and not d.state(self.send_button).enabled
                and not any(d.state(field).read_only for field in self.identity_fields()))

    def identity_fields(self):
        return (self.name_field, self.server_field, self.port_field)

    def focus(self):
        return self.driver.focus(self.hwnd).focus

    def rect(self):
        return self.driver.rect(self.hwnd)
