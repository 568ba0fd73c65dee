#!/usr/bin/python3
"""Walks the settings pages of a running device through its menu in
headless Chromium, as an administrator clicking from page to page.

Usage: host_walk.py BASE_URL SHOT_DIR LANGS PREFIX...

BASE_URL is the device (http://address). LANGS is "en", "de" or "en,de":
the walk starts on the start page and, for German, switches the language
with the link the page header offers. Every menu entry whose path starts
with one of the PREFIXes (e.g. /network/) is then opened by clicking it.
On each page: no answer of 400 or above for anything the page loads, no
script error on the console, no marker left over by the template engine,
no broken image, a stylesheet, the document language; a full-page
screenshot goes to SHOT_DIR/<lang>_<path>.png. Prints "visited: PATH" per
page and one line per fault; exits 1 when there was a fault.
"""
import os
import sys
import tempfile
import time
from urllib.parse import urlparse

from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browse_pages  # noqa: E402

# The first group heading of the menu, as each language shows it.
MENU_GROUP = {"en": "Network", "de": "Netzwerk"}


def path_of(url):
    return urlparse(url).path


def wait_for_page(driver, path, seconds=30):
    # A click returns before the next page has loaded: wait (bounded).
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if path_of(driver.current_url) == path and \
                    driver.execute_script("return document.readyState") == "complete":
                return True
        except WebDriverException:
            pass
        time.sleep(0.05)
    return False


def click_link(driver, css, path):
    links = driver.find_elements(By.CSS_SELECTOR, css)
    if not links:
        return False
    links[0].click()
    return wait_for_page(driver, path)


def screenshot(driver, name):
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(1280, max(900, min(int(height) + 200, 4000)))
    driver.save_screenshot(name)
    driver.set_window_size(1280, 900)


def check_page(driver, lang):
    found = browse_pages.failed_loads(driver) + browse_pages.console_errors(driver)
    found += browse_pages.leftover_markers(browse_pages.fetch(driver.current_url))
    shown = driver.execute_script("return document.documentElement.lang")
    if shown != lang:
        found.append("page language %r, not %r" % (shown, lang))
    if not driver.title:
        found.append("no title")
    broken = driver.execute_script(
        "return Array.from(document.images).filter(i => !i.complete || i.naturalWidth == 0).map(i => i.src)")
    found += ["image not shown: " + src for src in broken]
    if driver.execute_script("return document.styleSheets.length") < 1:
        found.append("no stylesheet")
    group = driver.execute_script(
        "const g = document.querySelector('nav.menu li.group'); return g ? g.textContent.trim() : ''")
    if group != MENU_GROUP[lang]:
        found.append("menu group heading %r, not %r" % (group, MENU_GROUP[lang]))
    return found


def walk(driver, base, shots, lang, prefixes):
    faults = []
    start = "/start_%s.html" % lang
    browse_pages.load(driver, base + "/start_en.html")
    if lang != "en" and not click_link(driver, "nav.langs a[hreflang='%s']" % lang, start):
        return ["%s: the language switch does not lead to %s" % (lang, start)]
    browse_pages.failed_loads(driver)  # the log so far belongs to the start page
    browse_pages.console_errors(driver)
    entries = []
    for link in driver.find_elements(By.CSS_SELECTOR, "nav.menu a"):
        href = link.get_attribute("href") or ""
        path = path_of(href)
        if any(path.startswith(p) for p in prefixes) and path not in entries:
            entries.append(path)
    for prefix in prefixes:
        if not any(p.startswith(prefix) for p in entries):
            faults.append("%s: no menu entry under %s" % (lang, prefix))
    for path in entries:
        if not click_link(driver, "nav.menu a[href='%s']" % path, path):
            faults.append("%s: the menu entry did not open (at %s)" % (path, driver.current_url))
            browse_pages.load(driver, base + start)
            continue
        print("visited: " + path)
        faults += ["%s: %s" % (path, f) for f in check_page(driver, lang)]
        screenshot(driver, os.path.join(shots, lang + path.replace("/", "_").replace(".html", ".png")))
    return faults


def main():
    base, shots, langs, prefixes = sys.argv[1], sys.argv[2], sys.argv[3].split(","), sys.argv[4:]
    os.makedirs(shots, exist_ok=True)
    faults = []
    with tempfile.TemporaryDirectory() as profile:
        driver = browse_pages.browser(profile)
        try:
            for lang in langs:
                faults += walk(driver, base, shots, lang, prefixes)
        finally:
            driver.quit()
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
