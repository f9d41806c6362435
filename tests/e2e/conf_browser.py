"""The conference's web page as its user sees it: headless Chromium (through
tests/web/chromium.py) on a page that confweb serves, operated as a person
would, by typing and pressing the page's buttons and keys. Used by the
browser suites beside the Windows programs and by the scripted demo.

    gateway = session.launch_native(confweb, "--relay", f"127.0.0.1:{port}", "--listen", "127.0.0.1:0")
    user = BrowserUser.open(gateway_url(gateway))
    user.join("鈴木")
    user.say("一行目\\n二行目")           # Shift+Enter between the lines, Enter sends
    user.wait_log([texts.login_accepted, texts.entry("鈴木"), "鈴木 :一行目", "二行目"])
    user.leave()
    user.quit()

Like ClientWindow's, `log_lines()` are the lines the user reads, without
the time the page shows beside each: a heard line that holds line breaks
counts as several. Only Debian's Python imports
selenium; a browser that cannot start fails the caller with the reason.
"""

import os
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "web"))
from chromium import Browser  # noqa: E402
from conf_gui import DEFAULT_TIMEOUT, wait_until  # noqa: E402

# How confweb names its page: one line per local address, two blanks first.
GATEWAY_URL = r"^  (http://127\.0\.0\.1:\d+/)$"
# Starting confweb.exe under Wine on a loaded machine can take a while.
GATEWAY_START_TIMEOUT = 60.0


def gateway_url(program, timeout=GATEWAY_START_TIMEOUT):
    """The loopback URL a started confweb (native or under Wine) prints."""
    return program.wait_output(GATEWAY_URL, timeout).group(1)


class BrowserUser:
    """One browser with the conference page open."""

    def __init__(self, browser):
        self.browser = browser
        self.driver = browser.driver

    @classmethod
    def open(cls, url, width=800, height=700, phone=False):
        """A new browser with the page at `url`; `phone`: a phone's
        viewport, 360 CSS pixels wide, with touch."""
        user = cls(Browser(width, height))
        try:
            if phone:
                user.browser.emulate_phone()
            user.load(url)
        except BaseException:
            user.quit()
            raise
        return user

    def load(self, url):
        """Opens the page and waits until it is connected, not joined."""
        self.driver.get(url)
        wait_until(self.is_not_joined, what=f"the page at {url} to connect (not joined)")

    def quit(self):
        self.browser.quit()

    def _element(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    # Acting as the user -------------------------------------------------------

    def join(self, name):
        """Types the name, presses 参加 and waits for the joined state."""
        field = self._element("name")
        field.clear()
        field.send_keys(name)
        self._element("join").click()
        wait_until(self.is_joined, what=f"the page to join as {name}")

    def press_send(self, text):
        """Types `text` into the input (Shift+Enter for each line break) and
        presses Enter."""
        field = self._element("line")
        field.clear()
        keys = []
        for number, line in enumerate(text.replace("\r\n", "\n").split("\n")):
            if number:
                keys.append(Keys.SHIFT + Keys.ENTER + Keys.SHIFT)
            keys.append(line)
        field.send_keys(*keys, Keys.ENTER)

    def say(self, text):
        """Sends a line and waits until it went out (the page empties its
        input only then)."""
        self.press_send(text)
        wait_until(lambda: self.input_text() == "", what=f"the page to send {text!r} (its input emptied)")

    def leave(self):
        """Presses 終了 and waits for the not-joined state."""
        self._element("leave").click()
        wait_until(self.is_not_joined, what="the page to leave (not joined)")

    # Reading what the user sees ----------------------------------------------------

    def log_lines(self):
        entries = self.driver.execute_script(
            "return Array.from(document.getElementById('log').children,"
            " (entry) => entry.querySelector('.text').textContent);")
        return [line for entry in entries for line in entry.split("\n")]

    def wait_log(self, expected, timeout=DEFAULT_TIMEOUT):
        """Waits until the log shows exactly these lines."""
        expected = list(expected)
        wait_until(lambda: self.log_lines() == expected, timeout=timeout,
                   what=f"the page's log {expected!r} (it shows {self.log_lines()!r})")

    def input_text(self):
        return self._element("line").get_property("value")

    def text(self):
        """Everything the page shows, as text."""
        return self.driver.execute_script("return document.body.innerText;")

    def wait_text(self, fragment, timeout=DEFAULT_TIMEOUT):
        wait_until(lambda: fragment in self.text(), timeout=timeout,
                   what=f"the page to show {fragment!r} (it shows {self.text()!r})")

    def _enabled(self, element_id):
        return self._element(element_id).is_enabled()

    def is_joined(self):
        return not self._enabled("join") and self._enabled("send")

    def is_not_joined(self):
        return self._enabled("join") and not self._enabled("send")

    def is_disconnected(self):
        return not self._enabled("join") and not self._enabled("send")

    def screenshot(self, path):
        if not self.driver.save_screenshot(path):
            raise AssertionError(f"the browser's screenshot {path} was not written")
