"""Headless Chromium for the page tests: they are skipped where it is not
installed, and fail where the test command requires it."""
import os
import shutil

import pytest

webdriver = pytest.importorskip("selenium.webdriver")

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if not (CHROMIUM and DRIVER):
    if os.environ.get("BRIVANE_REQUIRE_BROWSER"):
        raise RuntimeError("chromium and chromedriver are required for the browser tests")
    pytest.skip("chromium / chromedriver not installed", allow_module_level=True)


def start(width, *arguments, logs=("browser",)):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", f"--window-size={width},900",
                     *arguments):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {log: "ALL" for log in logs})
    # Not the sanitizer runtime the module's sanitized test run preloads.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    return webdriver.Chrome(options=options, service=webdriver.ChromeService(DRIVER, env=env))
