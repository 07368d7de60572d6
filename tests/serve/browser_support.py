"""Headless Chromium for the browser tests: one started per module, and waiting on a page."""
import contextlib
import shutil
import tempfile
import time

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT_SECONDS = 30
COMMON_ARGUMENTS = ("--headless", "--no-sandbox", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--force-device-scale-factor=1")


@contextlib.contextmanager
def chromium(*arguments):
    """A WebDriver of a fresh profile, with the browser's console kept; quit at the end."""
    profile = tempfile.mkdtemp(prefix="tarn-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in COMMON_ARGUMENTS + arguments + ("--user-data-dir=" + profile,):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        driver.set_page_load_timeout(WAIT_SECONDS)
        driver.set_script_timeout(WAIT_SECONDS)
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def wait_until(driver, script, what, explain=lambda driver: ""):
    """Waits until `script` returns true in the page; fails naming `what` and `explain`'s text."""
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        if driver.execute_script(script):
            return
        time.sleep(0.1)
    pytest.fail(f"timed out waiting until {what} {explain(driver)}".rstrip())
