#!/usr/bin/python3
"""Loads every page of the web interface in headless Chromium.

Usage: browse_pages.py PORT SHOT_DIR PAGE...

Each PAGE is a path on 127.0.0.1:PORT. For each one the served text must
hold no marker left over by the template engine (a '{' outside script and
style, "ML(" or "Ml("), the browser must load all that the page names
(no answer of 400 or above in its performance log) and report no script
error on its console. Pages whose path is in SHOT_PAGES are kept as PNG
screenshots in SHOT_DIR. Prints one line per fault; exits 1 when there
was one.
"""
import json
import os
import re
import sys
import tempfile
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service

SHOT_PAGES = {
    "/index_en.html": "login_en.png",
    "/index_de.html": "login_de.png",
    "/start_en.html": "start_en.png",
    "/start_de.html": "start_de.png",
}

SCRIPT_OR_STYLE = re.compile(r"<(script|style)\b.*?</\1\s*>", re.S | re.I)


def leftover_markers(html):
    text = SCRIPT_OR_STYLE.sub("", html)
    faults = []
    for marker in ("{", "ML(", "Ml("):
        at = text.find(marker)
        if at >= 0:
            faults.append("leftover %r near %r" % (marker, text[max(0, at - 40):at + 40]))
    return faults


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode("utf-8", "replace")


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--window-size=1280,900", "--user-data-dir=" + profile,
                "--disable-extensions", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-proxy-server"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    service = Service(executable_path="/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(20)
    return driver


def load(driver, url):
    # A loaded machine may keep the renderer from answering in time: try again.
    for attempt in range(3):
        try:
            driver.get(url)
            return
        except TimeoutException:
            if attempt == 2:
                raise


def failed_loads(driver):
    faults = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") != "Network.responseReceived":
            continue
        response = message["params"]["response"]
        if response.get("status", 0) >= 400:
            faults.append("%d for %s" % (response["status"], response.get("url")))
    return faults


def console_errors(driver):
    return ["console: " + entry["message"] for entry in driver.get_log("browser")
            if entry.get("level") == "SEVERE"]


def main():
    port, shot_dir, pages = sys.argv[1], sys.argv[2], sys.argv[3:]
    base = "http://127.0.0.1:%s" % port
    os.makedirs(shot_dir, exist_ok=True)
    faults = []
    with tempfile.TemporaryDirectory() as profile:
        driver = browser(profile)
        try:
            for page in pages:
                found = leftover_markers(fetch(base + page))
                driver.get(base + page)
                # Images and the stylesheet have loaded when the load event came.
                driver.execute_script("return document.readyState")
                found += failed_loads(driver) + console_errors(driver)
                if not driver.title:
                    found.append("no title")
                wanted = "de" if page.endswith("_de.html") else "en"
                shown = driver.execute_script("return document.documentElement.lang")
                if shown != wanted:
                    found.append("page language %r, not %r" % (shown, wanted))
                broken = driver.execute_script(
                    "return Array.from(document.images).filter(i => !i.complete || i.naturalWidth == 0)"
                    ".map(i => i.src)")
                found += ["image not shown: " + src for src in broken]
                styled = driver.execute_script("return document.styleSheets.length")
                if styled < 1:
                    found.append("no stylesheet")
                faults += ["%s: %s" % (page, f) for f in found]
                if page in SHOT_PAGES:
                    driver.save_screenshot(os.path.join(shot_dir, SHOT_PAGES[page]))
        finally:
            driver.quit()
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
