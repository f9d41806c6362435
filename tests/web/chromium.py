"""Headless Chromium driven through Selenium, for the tests that need a real
browser. Debian's selenium and chromedriver only, so this imports in
/usr/bin/python3 alone.

A test that cannot start the browser fails with the reason: a browser test
never passes without a browser.
"""
import os
import shutil
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Headless, as root, without a display, and without the background
# connections to the internet that a closed network refuses one by one.
FLAGS = (
    "--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-default-apps", "--disable-quic",
)


class BrowserUnavailable(AssertionError):
    """Chromium or its driver is missing or would not start."""


class Browser:
    """One browser with a profile of its own, removed again at quit()."""

    def __init__(self, width=800, height=700):
        for path in (CHROMIUM, CHROMEDRIVER):
            if not os.access(path, os.X_OK):
                raise BrowserUnavailable(f"{path} is missing: run tools/setup.sh")
        self._profile = tempfile.mkdtemp(prefix="conf-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in FLAGS:
            options.add_argument(flag)
        options.add_argument(f"--window-size={width},{height}")
        options.add_argument(f"--user-data-dir={self._profile}")
        try:
            self.driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
        except Exception as error:
            shutil.rmtree(self._profile, ignore_errors=True)
            raise BrowserUnavailable(f"headless Chromium did not start: {error}") from error

    def emulate_phone(self, width=360, height=740):
        """A phone's viewport, exactly `width` CSS pixels wide, with touch."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 2, "mobile": True})
        self.driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": True})

    def quit(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.quit()
