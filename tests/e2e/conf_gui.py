"""End-to-end harness for the conference's Windows programs under Wine.

A test suite gets one `GuiSession`: a private Xvfb display (1024x768x24, on a
free display number), the Japanese Wine prefix of the end-to-end tests with a
wineserver of its own, and one long-lived `Driver` (conf_gui_driver.exe) that
operates windows across processes. Programs are started with
`session.launch(exe)`. `session.close()` always takes everything down again:
the programs, the driver, the prefix's wineserver and the display.

    session = GuiSession.start(options)        # from parse_options()
    try:
        program = session.launch(options.program)
        panel = session.wait_window("SomeClass", owner_of=program)
        session.driver.set_text(session.driver.child(panel, 101), "40000")
        session.driver.click(session.driver.child(panel, 201))
        box = session.wait_box(owner=panel)    # MessageBox: caption, text...
        session.driver.answer_box(box.hwnd, "ok")
    finally:
        session.close()

Texts cross the driver's pipe as code page 932 and are `str` here. Waiting is
always polling with a deadline (`wait_until`); nothing sleeps for long.
UDP participants (`Participant`) talk to the programs on 127.0.0.1 directly.

Run a suite with `run_suite(TestCaseClass)`; it parses the common command
line (--driver, --prefix, --artefacts, --source-root, --program), bounds the
whole run in time and cleans up even when a test fails or the run is
interrupted.
"""

import argparse
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
from dataclasses import dataclass

DRIVER_ENCODING = "cp932"
DEFAULT_TIMEOUT = 10.0
# The screen the programs are made for; a suite that needs room for
# several windows side by side may ask for a larger one.
SCREEN = "1024x768x24"


class HarnessError(Exception):
    """The harness itself could not do what a test asked."""


class DriverError(HarnessError):
    """The driver answered a command with an error."""


class _LaunchFailed(Exception):
    """A program ended before its window showed."""


def wait_until(condition, timeout=DEFAULT_TIMEOUT, interval=0.02, what="condition"):
    """Polls `condition()` until it returns a true value, which is returned.

    Raises AssertionError naming `what` when `timeout` seconds pass first.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def drag_window(driver, hwnd, grab, drop, steps=5, settle=2.0):
    """Drags a window with the mouse, as a person does: press at `grab`,
    move to `drop` in a few steps, release. The moves start only once the
    window's move loop holds the mouse; moves made before that are lost on a
    busy machine.

    On a loaded machine Wine's move loop now and then lets a whole drag pass
    without moving the window, although it held the mouse. When the loop
    has let the mouse go and the window still has not moved `settle`
    seconds later, it is dragged once more from the same points (still
    right, as nothing moved; once the loop is over nothing else moves the
    window). Where the window must end up is for the caller to check."""
    before = driver.rect(hwnd)

    def moved():
        return driver.rect(hwnd) != before

    for attempt in (1, 2):
        _drag_once(driver, hwnd, grab, drop, steps)
        wait_until(lambda: moved() or not driver.focus(hwnd).capture,
                   what="the window's move loop to let the mouse go")
        try:
            wait_until(moved, timeout=settle, what="the window to move")
            return
        except AssertionError:
            if attempt == 2:
                raise AssertionError(f"two drags from {grab} to {drop} left the window at {before}") from None
            print(f"conf_gui: a drag from {grab} to {drop} left the window at {before}; dragging once more",
                  file=sys.stderr)


def click_until(driver, point, reacted, settle=3.0):
    """Clicks the left button at a screen point, as a person does, and
    returns once `reacted()` is true. On a loaded machine Wine now and then
    loses a whole click; when `reacted()` is still false `settle` seconds
    later, the click is made once more (long after the first, so it is no
    double click). Whatever the click must lead to is for the caller to
    check: `reacted` only says that the program took the click at all."""
    for attempt in (1, 2):
        driver.mouse(*point)
        try:
            wait_until(reacted, timeout=settle, what=f"the program to take a click at {point}")
            return
        except AssertionError:
            if attempt == 2:
                raise
            print(f"conf_gui: a click at {point} went unnoticed; clicking once more", file=sys.stderr)


def _drag_once(driver, hwnd, grab, drop, steps):
    driver.button(grab[0], grab[1], "down")
    try:
        wait_until(lambda: driver.focus(hwnd).capture, what="the window to take the mouse for the move")
        for step in range(1, steps + 1):
            driver.pointer(grab[0] + (drop[0] - grab[0]) * step // steps,
                           grab[1] + (drop[1] - grab[1]) * step // steps)
    finally:
        driver.button(drop[0], drop[1], "up")


def read_control_ids(header_path):
    """The `#define IDC_NAME number` constants of a resource header."""
    ids = {}
    with open(header_path, encoding="utf-8") as header:
        for line in header:
            match = re.match(r"\s*#define\s+(IDC_\w+)\s+(\d+)\b", line)
            if match:
                ids[match.group(1)] = int(match.group(2))
    return ids


_C_ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)", re.S)


def _c_literal_bytes(body):
    def replace(match):
        code = match.group(1)
        if code[:1] == b"x":
            return bytes([int(code[1:], 16) & 0xFF])
        if code[:1].isdigit():
            return bytes([int(code, 8) & 0xFF])
        return {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"0": b"\0"}.get(code, code)

    return _C_ESCAPE.sub(replace, body)


def read_text_constants(header_path):
    """The byte-string constants `kName` of a C++ header (ui_texts.h,
    protocol.h), decoded from code page 932, so that tests compare with the
    program's own texts instead of typing them again."""
    with open(header_path, "rb") as header:
        source = header.read()
    source = re.sub(rb"//[^\n]*", b"", source)
    texts = {}
    declaration = re.compile(rb"constexpr\s+(?:char\s+(k\w+)\s*\[\]\s*=|std::string_view\s+(k\w+)\s*\{)"
                             rb"((?:\s*\"(?:[^\"\\]|\\.)*\")+)")
    for match in declaration.finditer(source):
        name = (match.group(1) or match.group(2)).decode()
        literal = b"".join(_c_literal_bytes(part) for part in re.findall(rb'"((?:[^"\\]|\\.)*)"', match.group(3)))
        texts[name] = literal.decode(DRIVER_ENCODING)
    return texts


# Driver line protocol ---------------------------------------------------------

_ESCAPES = {ord("\\"): b"\\\\", ord("\t"): b"\\t", ord("\r"): b"\\r", ord("\n"): b"\\n"}


def escape_field(text):
    raw = text.encode(DRIVER_ENCODING) if isinstance(text, str) else bytes(text)
    out = bytearray()
    for byte in raw:
        if byte in _ESCAPES:
            out += _ESCAPES[byte]
        elif byte < 0x20 or byte == 0x7F:
            out += b"\\x%02X" % byte
        else:
            out.append(byte)
    return bytes(out)


def unescape_field(raw):
    out = bytearray()
    i = 0
    while i < len(raw):
        byte = raw[i]
        if byte != 0x5C or i + 1 == len(raw):
            out.append(byte)
            i += 1
            continue
        kind = raw[i + 1]
        if kind == ord("t"):
            out.append(0x09)
        elif kind == ord("r"):
            out.append(0x0D)
        elif kind == ord("n"):
            out.append(0x0A)
        elif kind == ord("x") and i + 3 < len(raw) and re.fullmatch(rb"[0-9A-Fa-f]{2}", raw[i + 2:i + 4]):
            out.append(int(raw[i + 2:i + 4], 16))
            i += 2
        else:
            out.append(kind)
        i += 2
    return out.decode(DRIVER_ENCODING, errors="replace")


@dataclass
class WindowInfo:
    hwnd: int
    owner: int
    process: int
    visible: bool


@dataclass
class ControlState:
    exists: bool
    enabled: bool
    visible: bool
    read_only: bool
    style: int
    class_name: str
    control_id: int


@dataclass
class MessageBoxInfo:
    hwnd: int
    caption: str
    text: str
    buttons: tuple  # e.g. ("ok", "cancel")
    icon: str  # question, exclamation, error, information, none, unknown


@dataclass
class FocusInfo:
    focus: int
    active: int
    capture: int


class Driver:
    """One conf_gui_driver.exe process and its line protocol.

    Every method sends one command and returns the parsed answer. Handles are
    ints. Texts are str (code page 932 on the pipe).
    """

    def __init__(self, process, timeout=DEFAULT_TIMEOUT):
        self._process = process
        self._timeout = timeout
        self._buffer = b""

    def call(self, name, *args, timeout=None):
        """Sends `name` with `args` and returns the answer's fields as str."""
        fields = [escape_field(str(name))] + [escape_field(a if isinstance(a, (str, bytes)) else str(a))
                                               for a in args]
        try:
            self._process.stdin.write(b"\t".join(fields) + b"\n")
            self._process.stdin.flush()
        except (BrokenPipeError, OSError) as error:
            raise HarnessError(f"driver is gone: {error}") from error
        line = self._read_line(self._timeout if timeout is None else timeout)
        parts = line.split(b"\t")
        status, answer = parts[0], [unescape_field(p) for p in parts[1:]]
        if status == b"ok":
            return answer
        if status == b"error":
            raise DriverError(f"{name}: {answer[0] if answer else '?'}")
        raise HarnessError(f"driver answered {line!r} to {name}")

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        stream = self._process.stdout
        while b"\n" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HarnessError(f"driver gave no answer within {timeout:.1f} s")
            ready, _, _ = select.select([stream], [], [], remaining)
            if ready:
                chunk = os.read(stream.fileno(), 65536)
                if not chunk:
                    raise HarnessError("driver closed its output")
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.rstrip(b"\r")

    def quit(self):
        try:
            self.call("quit", timeout=5)
        except HarnessError:
            pass

    # Session -----------------------------------------------------------------

    def system(self):
        """(ANSI code page, computer name, screen width, screen height)."""
        acp, name, width, height = self.call("system")
        return int(acp), name, int(width), int(height)

    # Windows ----------------------------------------------------------------

    def find_window(self, class_name, title=None):
        args = [class_name] if title is None else [class_name, title]
        return int(self.call("find-window", *args)[0], 0)

    def windows(self, class_name=""):
        """Top-level windows (of a class) as WindowInfo."""
        infos = []
        for row in self.call("windows", class_name):
            hwnd, owner, process, visible = row.split(",")
            infos.append(WindowInfo(int(hwnd, 0), int(owner, 0), int(process), visible == "1"))
        return infos

    def children(self, hwnd):
        """(hwnd, id, class, visible) of every descendant."""
        rows = []
        for row in self.call("children", hwnd):
            child, control_id, class_name, visible = row.split(",", 3)
            rows.append((int(child, 0), int(control_id), class_name, visible == "1"))
        return rows

    def child(self, hwnd, control_id):
        """The child control with that identifier, 0 when there is none."""
        return int(self.call("child", hwnd, control_id)[0], 0)

    def process_of(self, hwnd):
        """(Windows process id, thread id) that own the window."""
        process, thread = self.call("process", hwnd)
        return int(process), int(thread)

    # Text and input ---------------------------------------------------------

    def get_text(self, hwnd):
        """The window's text by WM_GETTEXT (an edit field's contents)."""
        return self.call("get-text", hwnd)[0]

    def set_text(self, hwnd, text):
        """Replaces the text by WM_SETTEXT, as pasting over it would."""
        self.call("set-text", hwnd, text)

    def type_text(self, hwnd, text):
        """Types single-byte text into a field (WM_CHAR per byte; the field
        need not have the focus). Japanese: use set_text, see the driver."""
        self.call("type", hwnd, text)

    def click(self, hwnd):
        """Presses a button (BM_CLICK posted: never waits for a modal box)."""
        self.call("click", hwnd)

    def post(self, hwnd, message, wparam=0, lparam=0):
        self.call("post", hwnd, message, wparam, lparam)

    def send(self, hwnd, message, wparam=0, lparam=0):
        """SendMessage with a timeout; returns the result."""
        return int(self.call("send", hwnd, message, wparam, lparam)[0])

    def mouse(self, x, y, button="left"):
        """Moves the pointer to screen point (x, y) and clicks there."""
        self.call("mouse", x, y, button)

    def drag(self, from_x, from_y, to_x, to_y):
        """Presses the left button at one screen point, moves to the other
        and releases."""
        self.call("drag", from_x, from_y, to_x, to_y)

    def pointer(self, x, y):
        """Moves the pointer to screen point (x, y)."""
        self.call("pointer", x, y)

    def button(self, x, y, action, button="left"):
        """Moves the pointer to (x, y) and presses ("down") or releases
        ("up") a mouse button there."""
        self.call("button", x, y, button, action)

    # Letters come out lower case (no shift is pressed).
    _KEYS = {**{c: ord(c.upper()) for c in "abcdefghijklmnopqrstuvwxyz"}, **{c: ord(c) for c in "0123456789 "},
             "\r": 0x0D, "\n": 0x0D, "\t": 0x09, "\b": 0x08}

    def press_keys(self, text):
        """Presses keys on the keyboard, one per character of `text` (lower
        case letters, digits, blank, Enter as \\r or \\n, Tab, Backspace), into
        whatever window has the keyboard focus, as a person would."""
        try:
            keys = [self._KEYS[c] for c in text]
        except KeyError as error:
            raise HarnessError(f"no key for {error.args[0]!r}") from None
        self.call("keys", *keys)

    # State ------------------------------------------------------------------

    def state(self, hwnd):
        exists, enabled, visible, read_only, style, class_name, control_id = self.call("state", hwnd)
        return ControlState(exists == "1", enabled == "1", visible == "1", read_only == "1", int(style, 0),
                            class_name, int(control_id))

    def rect(self, hwnd):
        """(left, top, right, bottom) of the window on the screen."""
        return tuple(int(v) for v in self.call("rect", hwnd))

    def client(self, hwnd):
        """(screen x, screen y, width, height) of the client area."""
        return tuple(int(v) for v in self.call("client", hwnd))

    def focus(self, hwnd):
        """Focus, active and capture window of the thread that owns hwnd."""
        focus, active, capture = self.call("focus", hwnd)
        return FocusInfo(int(focus, 0), int(active, 0), int(capture, 0))

    def region(self, hwnd):
        """(kind, (left, top, right, bottom)) of the window region; kind is
        none, empty, simple or complex."""
        kind, *box = self.call("region", hwnd)
        return kind, tuple(int(v) for v in box)

    def region_is_ellipse(self, hwnd, left, top, right, bottom):
        return self.call("region-is-ellipse", hwnd, left, top, right, bottom)[0] == "1"

    def pixels(self, x, y, width, height):
        """Screen pixels as rows of (r, g, b)."""
        rows = []
        for row in self.call("pixels", x, y, width, height):
            rows.append([tuple(int(row[i + k:i + k + 2], 16) for k in (0, 2, 4)) for i in range(0, len(row), 6)])
        return rows

    # Message boxes -----------------------------------------------------------

    def box(self, hwnd):
        caption, text, buttons, icon = self.call("box", hwnd)
        return MessageBoxInfo(hwnd, caption, text, tuple(b for b in buttons.split(",") if b), icon)

    def answer_box(self, hwnd, button):
        """Presses a box's button by name: ok, cancel, yes, no..."""
        self.call("answer-box", hwnd, button)


# Processes ------------------------------------------------------------------------


class Program:
    """A program started in the session (a Windows one under Wine, or a
    native one); `process` is its Popen, its output goes to `log_path`."""

    def __init__(self, path, process, log_path):
        self.path = path
        self.process = process
        self.log_path = log_path

    def running(self):
        return self.process.poll() is None

    def output(self):
        """What the program has written so far (a Windows program writes
        code page 932 and ends its lines in CR LF)."""
        with open(self.log_path, "rb") as log:
            return log.read().decode(DRIVER_ENCODING, errors="replace").replace("\r\n", "\n")

    def wait_output(self, pattern, timeout=DEFAULT_TIMEOUT):
        """The first match of the regular expression in the program's output
        (multi-line: ^ and $ match at each line)."""
        def matched():
            found = re.search(pattern, self.output(), re.M)
            if not found and not self.running():
                raise AssertionError(f"{os.path.basename(self.path)} ended ({self.process.returncode}) without "
                                     f"writing {pattern!r}; it wrote {self.output()!r}")
            return found

        return wait_until(matched, timeout=timeout, what=f"{os.path.basename(self.path)} to write {pattern!r}")

    def interrupt(self):
        """Ctrl+C: SIGINT, which Wine hands to a Windows console program as
        its Ctrl+C event."""
        if self.running():
            self.process.send_signal(signal.SIGINT)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end and returns its exit code."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{os.path.basename(self.path)} did not end within {timeout:.1f} s") from None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass


class GuiSession:
    """Xvfb + the e2e Wine prefix + one driver; see the module's docstring."""

    def __init__(self, options, name="session", screen=SCREEN):
        self.options = options
        self.screen = screen
        self.source_root = os.path.abspath(options.source_root)
        self.wine_tools = os.path.join(self.source_root, "tools", "wine")
        self.prefix = os.path.abspath(options.prefix)
        self.artefacts = os.path.abspath(options.artefacts)
        self.display = None
        self._xvfb = None
        self._programs = []
        self._driver_process = None
        self.driver = None
        # The programs' and helpers' output, one folder per suite, kept
        # from the last run only.
        self._log_dir = os.path.join(self.artefacts, "logs", name)

    @classmethod
    def start(cls, options, name="session", screen=SCREEN):
        """`screen` is Xvfb's WIDTHxHEIGHTxDEPTH."""
        session = cls(options, name, screen)
        try:
            session._start()
        except BaseException:
            session.close()
            raise
        return session

    def _start(self):
        shutil.rmtree(self._log_dir, ignore_errors=True)
        os.makedirs(self._log_dir)
        if self.options.fresh_prefix:
            self._stop_wineserver()
            shutil.rmtree(self.prefix, ignore_errors=True)
        # First use creates the prefix (about 10 s); later runs reuse it.
        subprocess.run([os.path.join(self.wine_tools, "prefix.sh"), self.prefix], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        # A wineserver left from an earlier run would still talk to that
        # run's display.
        self._stop_wineserver()
        self._start_xvfb()
        self._driver_process = self._spawn(self.options.driver, "driver", pipes=True)
        self.driver = Driver(self._driver_process)
        # The first start of Wine's helpers can take a while.
        wait_until(lambda: self._driver_alive_and_answering(), timeout=60, what="the driver to answer")

    def _driver_alive_and_answering(self):
        if self._driver_process.poll() is not None:
            raise HarnessError(f"driver ended with {self._driver_process.returncode}")
        return self.driver.call("ping", timeout=60) == ["pong"]

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        try:
            with open(os.path.join(self._log_dir, "xvfb.log"), "wb") as log:
                self._xvfb = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen, "-nolisten", "tcp"],
                    pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + 30
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise HarnessError("Xvfb did not report its display")
                chunk = os.read(read_end, 64)
                if not chunk:
                    raise HarnessError("Xvfb ended before reporting its display")
                number += chunk
            self.display = ":" + number.decode().strip()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def _environment(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        return env

    def _spawn(self, path, log_name, pipes=False, args=(), native=False):
        log = open(os.path.join(self._log_dir, log_name + ".log"), "wb")
        command = [os.path.abspath(path), *args]
        if not native:
            command[:0] = [os.path.join(self.wine_tools, "run.sh"), self.prefix]
        process = subprocess.Popen(command, env=self._environment(),
                                   stdin=subprocess.PIPE if pipes else subprocess.DEVNULL,
                                   stdout=subprocess.PIPE if pipes else log, stderr=log, start_new_session=True)
        log.close()
        return process

    def launch(self, path, *args):
        """Starts a Windows program (with command-line arguments) on the
        session's display."""
        return self._start_program(path, args, native=False)

    def launch_native(self, path, *args):
        """Starts a native Linux program beside the Windows ones; like them
        it ends with the session at the latest."""
        return self._start_program(path, args, native=True)

    def _start_program(self, path, args, native):
        name = os.path.splitext(os.path.basename(path))[0]
        log_name = f"{name}-{len(self._programs) + 1}"
        process = self._spawn(path, log_name, args=[str(a) for a in args], native=native)
        program = Program(path, process, os.path.join(self._log_dir, log_name + ".log"))
        self._programs.append(program)
        return program

    def launch_window(self, path, find_window, what, timeout, prepare=None):
        """Starts a Windows program and waits for its window, which
        `find_window()` returns once it is ready (a false value until then);
        returns (program, hwnd). `prepare()`, when given, runs before each
        start (e.g. to wait until an earlier instance is gone).

        Under load a start of Wine now and then never shows its window: the
        program is still there, or has ended, with nothing on the screen. It
        is then taken down (and its end awaited) and started once more; what
        the first start left in its log is reported on stderr. A second such
        start is a failure."""
        for attempt in (1, 2):
            if prepare is not None:
                prepare()
            program = self.launch(path)

            def ready():
                hwnd = find_window()
                if not hwnd and not program.running():
                    raise _LaunchFailed(f"it ended ({program.process.returncode}) without a window")
                return hwnd

            try:
                return program, wait_until(ready, timeout=timeout, what=what)
            except (AssertionError, _LaunchFailed) as failure:
                program.kill()
                report = (f"start {attempt} of {os.path.basename(path)} failed waiting for {what}: {failure}; "
                          f"its output: {program.output()!r}")
                if attempt == 2:
                    raise AssertionError(report) from None
                print(f"conf_gui: {report}; starting it once more", file=sys.stderr)
        raise AssertionError("unreachable")

    def wait_ended(self, path, timeout=DEFAULT_TIMEOUT):
        """Waits until every program started from `path` has ended."""
        wait_until(lambda: not any(p.running() for p in self._programs if p.path == path), timeout=timeout,
                   what=f"every earlier {os.path.basename(path)} to end")

    # Windows and boxes -------------------------------------------------------

    def wait_window(self, class_name, title=None, last_child_id=None, timeout=DEFAULT_TIMEOUT):
        """A visible top-level window of the class, once its creation is over
        (when `last_child_id` is given: once that child exists)."""
        return wait_until(lambda: self.ready_window(class_name, title, last_child_id), timeout=timeout,
                          what=f"window of class {class_name!r}")

    def ready_window(self, class_name, title=None, last_child_id=None):
        """The window wait_window waits for, or 0 while there is none."""
        if title is None:
            # Any visible one: FindWindow may keep answering with a hidden
            # window of the class, such as one of a program being torn down.
            return self.ready_new_window(class_name, (), last_child_id)
        hwnd = self.driver.find_window(class_name, title)
        if not hwnd or not self.driver.state(hwnd).visible:
            return 0
        if last_child_id is not None and not self.driver.child(hwnd, last_child_id):
            return 0
        return hwnd

    def wait_new_window(self, class_name, known, last_child_id=None, timeout=DEFAULT_TIMEOUT):
        """A visible top-level window of the class that is not among the
        handles in `known`, once its creation is over: for programs whose
        windows share one class (take the handles before the launch)."""
        return wait_until(lambda: self.ready_new_window(class_name, known, last_child_id), timeout=timeout,
                          what=f"a new window of class {class_name!r}")

    def ready_new_window(self, class_name, known, last_child_id=None):
        """The window wait_new_window waits for, or 0 while there is none."""
        for window in self.driver.windows(class_name):
            if window.hwnd in known or not window.visible:
                continue
            if last_child_id is not None and not self.driver.child(window.hwnd, last_child_id):
                continue
            return window.hwnd
        return 0

    def window_handles(self, class_name):
        """The handles of every top-level window of the class, shown or not."""
        return {window.hwnd for window in self.driver.windows(class_name)}

    def wait_window_gone(self, class_name, title=None, timeout=DEFAULT_TIMEOUT):
        """Waits until no top-level window of the class is left (of a program
        that ended or was killed)."""
        wait_until(lambda: not self.driver.find_window(class_name, title), timeout=timeout,
                   what=f"no window of class {class_name!r}")

    def boxes(self, owner=None):
        """Visible message boxes (#32770), of one owner when given (0: boxes
        with no owner)."""
        return [w.hwnd for w in self.driver.windows("#32770")
                if w.visible and (owner is None or w.owner == owner)]

    def wait_box(self, owner=None, timeout=DEFAULT_TIMEOUT):
        """The one visible message box of `owner`, read as MessageBoxInfo once
        it shows its text, buttons and icon."""
        last = []

        def shown():
            found = self.boxes(owner)
            if len(found) != 1:
                return None
            info = self.driver.box(found[0])
            last[:] = [info]
            return info if info.buttons and info.icon not in ("pending", "unknown") else None

        try:
            return wait_until(shown, timeout=timeout, what=f"a message box owned by {owner:#x}"
                              if owner is not None else "a message box")
        except AssertionError:
            # An icon that never matched a known one is a finding, not a
            # harness failure: hand the box over as it is.
            if last and last[0].buttons and last[0].icon == "unknown":
                return last[0]
            raise

    def wait_no_box(self, owner=None, timeout=DEFAULT_TIMEOUT):
        wait_until(lambda: not self.boxes(owner), timeout=timeout, what="the message box to close")

    # Screen -----------------------------------------------------------------

    def screenshot(self, name, area=None):
        """Saves the screen as ARTEFACTS/NAME.png and returns a Screen of its
        pixels. With `area` (left, top, right, bottom on the screen, e.g. a
        window's rect) the file holds only that part; the Screen is always
        the whole screen, in screen coordinates."""
        path = os.path.join(self.artefacts, name + ".png")
        dump = subprocess.run(["xwd", "-root", "-silent", "-display", self.display], check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30).stdout
        crop = []
        if area is not None:
            left, top, right, bottom = area
            crop = ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
        subprocess.run(["convert", "xwd:-", *crop, path], input=dump, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        ppm = subprocess.run(["convert", "xwd:-", "ppm:-"], input=dump, check=True, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=30).stdout
        return Screen.from_ppm(ppm, path)

    # Shutdown ---------------------------------------------------------------

    def _stop_wineserver(self):
        subprocess.run([os.path.join(self.wine_tools, "stop.sh"), self.prefix], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def close(self):
        """Takes everything down; safe to call more than once."""
        if self.driver is not None:
            self.driver.quit()
            self.driver = None
        for program in self._programs:
            program.kill()
        self._programs = []
        if self._driver_process is not None:
            if self._driver_process.poll() is None:
                self._driver_process.kill()
            self._driver_process.wait(timeout=10)
            for stream in (self._driver_process.stdin, self._driver_process.stdout):
                if stream is not None:
                    stream.close()
            self._driver_process = None
        try:
            self._stop_wineserver()
        except (OSError, subprocess.SubprocessError) as error:
            print(f"conf_gui: stopping the wineserver failed: {error}", file=sys.stderr)
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait(timeout=10)
            self._xvfb = None


class Screen:
    """The pixels of a screenshot."""

    def __init__(self, width, height, data, path):
        self.width = width
        self.height = height
        self._data = data
        self.path = path

    @classmethod
    def from_ppm(cls, ppm, path):
        # Header: magic, width, height, maximum value, each after blanks and
        # '#' comment lines; one blank byte before the pixels.
        fields = []
        at = 0
        while len(fields) < 4:
            while ppm[at:at + 1].isspace():
                at += 1
            if ppm[at:at + 1] == b"#":
                at = ppm.index(b"\n", at) + 1
                continue
            end = at
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[at:end])
            at = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise HarnessError(f"unexpected screenshot format {fields!r}")
        width, height = int(fields[1]), int(fields[2])
        return cls(width, height, ppm[at + 1:], path)

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self._data[offset:offset + 3])

    def area(self, left, top, right, bottom):
        """Pixels of [left, right) x [top, bottom)."""
        return [self.pixel(x, y) for y in range(top, bottom) for x in range(left, right)]


def dominant(pixel):
    """'red', 'green', 'blue' when that channel clearly leads, else None."""
    r, g, b = pixel
    for name, lead, others in (("red", r, (g, b)), ("green", g, (r, b)), ("blue", b, (r, g))):
        if lead - max(others) > 100:
            return name
    return None


# UDP participants -------------------------------------------------------------------


class Participant:
    """A test participant: a UDP socket on 127.0.0.1 talking to a program."""

    def __init__(self, server_port):
        self.server = ("127.0.0.1", server_port)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))

    @property
    def address(self):
        return self.socket.getsockname()

    def send(self, text):
        self.socket.sendto(text.encode(DRIVER_ENCODING) if isinstance(text, str) else text, self.server)

    def receive(self, timeout=DEFAULT_TIMEOUT):
        """The next datagram as str (code page 932), or None after timeout."""
        self.socket.settimeout(timeout)
        try:
            data, _ = self.socket.recvfrom(65536)
        except socket.timeout:
            return None
        return data.decode(DRIVER_ENCODING, errors="replace")

    def receive_all(self, count, timeout=DEFAULT_TIMEOUT):
        """Exactly `count` datagrams, waiting at most `timeout` in all."""
        deadline = time.monotonic() + timeout
        received = []
        while len(received) < count:
            remaining = deadline - time.monotonic()
            datagram = self.receive(max(remaining, 0.001)) if remaining > 0 else None
            if datagram is None:
                raise AssertionError(f"received {received!r}, expected {count} datagrams")
            received.append(datagram)
        return received

    def drain(self, quiet=0.2):
        """Everything that arrives until the line has been quiet for `quiet` s."""
        received = []
        while (datagram := self.receive(quiet)) is not None:
            received.append(datagram)
        return received

    def close(self):
        self.socket.close()


def free_udp_port():
    """A UDP port on 127.0.0.1 that nothing is bound to right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# Running a suite -------------------------------------------------------------------


def parse_options(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="conf_gui_driver.exe")
    parser.add_argument("--prefix", required=True, help="the Wine prefix of the end-to-end tests")
    parser.add_argument("--artefacts", required=True, help="folder for screenshots and logs")
    parser.add_argument("--source-root", required=True, help="the project's source tree")
    parser.add_argument("--program", required=True, help="the Windows program under test")
    parser.add_argument("--companion", action="append", default=[], metavar="PROGRAM",
                        help="a further Windows program the suite runs beside it (repeatable); "
                             "see companion_program")
    parser.add_argument("--native", action="append", default=[], metavar="PROGRAM",
                        help="a native Linux program the suite runs beside the Windows ones (repeatable); "
                             "see native_program")
    parser.add_argument("--fresh-prefix", action="store_true", help="make the Wine prefix anew before the suite")
    parser.add_argument("--time-limit", type=float, default=300, help="seconds for the whole suite")
    parser.add_argument("unittest_args", nargs="*", help="test names for unittest")
    return parser.parse_args(argv)


def companion_program(options, name):
    """The --companion program whose file is NAME.exe (or NAME)."""
    for path in options.companion:
        if os.path.splitext(os.path.basename(path))[0] == name:
            return path
    raise HarnessError(f"no --companion program {name!r}")


def native_program(options, name):
    """The --native program whose file is NAME; a missing file fails the
    test with the reason."""
    for path in options.native:
        if os.path.basename(path) == name:
            if not os.access(path, os.X_OK):
                raise HarnessError(f"the native program {path} is missing: build it first")
            return path
    raise HarnessError(f"no --native program {name!r}")


class SessionTestCase(unittest.TestCase):
    """Base of a suite: `self.session`, `self.driver` and `self.options` are
    shared by all tests of the suite (one display, one prefix, one driver).
    A suite may set `screen` to another Xvfb screen size."""

    options = None
    session = None
    screen = SCREEN

    @classmethod
    def setUpClass(cls):
        cls.session = GuiSession.start(cls.options, cls.__name__, cls.screen)
        cls.driver = cls.session.driver

    @classmethod
    def tearDownClass(cls):
        if cls.session is not None:
            cls.session.close()


def run_suite(test_case_class, argv=None):
    """Runs a SessionTestCase subclass with the common options; exits with
    the result. The whole run is bounded by --time-limit: past it the
    session is closed and the process ends with failure."""
    options = parse_options(argv)
    test_case_class.options = options
    os.makedirs(options.artefacts, exist_ok=True)

    def give_up(*_):
        print(f"conf_gui: the suite exceeded its time limit of {options.time_limit:.0f} s", file=sys.stderr)
        if test_case_class.session is not None:
            test_case_class.session.close()
        os._exit(3)

    signal.signal(signal.SIGTERM, give_up)
    watchdog = threading.Timer(options.time_limit, give_up)
    watchdog.daemon = True
    watchdog.start()
    started = time.monotonic()
    loader = unittest.TestLoader()
    if options.unittest_args:
        module = sys.modules[test_case_class.__module__]
        suite = loader.loadTestsFromNames([f"{test_case_class.__name__}.{name}" for name in options.unittest_args],
                                          module)
    else:
        suite = loader.loadTestsFromTestCase(test_case_class)
    try:
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        watchdog.cancel()
        if test_case_class.session is not None:
            test_case_class.session.close()
    print(f"conf_gui: suite took {time.monotonic() - started:.1f} s")
    sys.exit(0 if result.wasSuccessful() else 1)
