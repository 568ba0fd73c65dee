#!/usr/bin/python3
"""Headless Chromium over the settings pages of a running web server.

Usage: settings_browser.py <base url> <screenshot dir> <page> [<page> ...]

For each page in English and German: the document language, no script
error, no unexpanded template marker, no broken image, every control
labelled, nothing wider than the window. Then, on the WLAN page, the scan
entry of the SSID  a'b"<i>x  fills the form with exactly that SSID and is
shown as text; on the authentication page the CA "<b>x" is shown as text;
on the description page a changed device name is saved and announced.
Prints one line per problem; exit status 0 when there is none.
"""
import os
import sys
import tempfile

from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

base, shots, pages = sys.argv[1], sys.argv[2], sys.argv[3:]
problems = []

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools"))
import browse_pages  # noqa: E402

profile = tempfile.TemporaryDirectory()
driver = browse_pages.browser(profile.name)

CHECK = """
const out = [];
if (/\\{[A-Za-z_.?#\\[-]/.test(document.body.innerText)) out.push('unexpanded marker in the text');
for (const img of document.images) if (!img.complete || img.naturalWidth === 0) out.push('broken image ' + img.src);
for (const c of document.querySelectorAll('input:not([type=hidden]), select, textarea')) {
  const labelled = (c.id && document.querySelector('label[for="' + c.id + '"]')) || c.getAttribute('aria-label') || c.closest('label');
  if (!labelled) out.push('control without label: ' + (c.name || c.id));
}
if (document.documentElement.scrollWidth > window.innerWidth + 1) out.push('page wider than the window: ' + document.documentElement.scrollWidth);
return out;
"""


def visit(path):
    browse_pages.load(driver, base + path)
    driver.get_log("performance")  # not looked at here: drained so it does not pile up
    return driver.find_element(By.TAG_NAME, "html").get_attribute("lang")


try:
    for page in pages:
        stem = page[:-5]
        for lang in ("en", "de"):
            path = "%s_%s.html" % (stem, lang)
            got = visit(path)
            if got != lang:
                problems.append("%s: document language %r" % (path, got))
            for entry in driver.get_log("browser"):
                if entry.get("level") == "SEVERE":
                    problems.append("%s: %s" % (path, entry.get("message")))
            for p in driver.execute_script(CHECK):
                problems.append("%s: %s" % (path, p))
            name = path.strip("/").replace("/", "_").replace(".html", ".png")
            driver.save_screenshot(os.path.join(shots, name))

    # The scan entry fills the form with the exact SSID, shown as text.
    visit("/network/wlan_en.html")
    cells = [td.text for td in driver.find_elements(By.CSS_SELECTOR, "#scanlist td")]
    if "a'b\"<i>x" not in cells:
        problems.append("wlan: SSID not shown as text: %r" % cells)
    if driver.find_elements(By.CSS_SELECTOR, "#scanlist i"):
        problems.append("wlan: SSID markup became an element")
    driver.find_elements(By.CSS_SELECTOR, "button.wlanset")[0].click()
    ssid = driver.find_element(By.ID, "wifi_name").get_attribute("value")
    if ssid != "a'b\"<i>x":
        problems.append("wlan: form got SSID %r" % ssid)
    encrypt = driver.find_element(By.ID, "wifi_encrypt").get_attribute("value")
    if encrypt != "AES2":
        problems.append("wlan: form got encryption %r" % encrypt)
    channel = driver.find_element(By.ID, "wifi_channel").get_attribute("value")
    if channel != "6":
        problems.append("wlan: form got channel %r" % channel)

    # A CA's common name is text.
    visit("/security/authentication_en.html")
    if "<b>x" not in driver.find_element(By.TAG_NAME, "main").text:
        problems.append("authentication: CA name not shown as text")
    if driver.find_elements(By.CSS_SELECTOR, "main table b"):
        problems.append("authentication: CA name markup became an element")

    # Change, save, see the announcement.
    visit("/device/description_de.html")
    field = driver.find_element(By.ID, "sys_name")
    field.clear()
    field.send_keys("Browser test")
    before = driver.find_element(By.TAG_NAME, "html")
    driver.find_element(By.ID, "save").click()
    WebDriverWait(driver, 60).until(expected_conditions.staleness_of(before))
    info = driver.find_element(By.ID, "HeadInfo").text
    if info != "Die Parameter wurden geändert.":
        problems.append("description: HeadInfo %r" % info)
    if driver.find_element(By.ID, "sys_name").get_attribute("value") != "Browser test":
        problems.append("description: new name not shown")
    driver.save_screenshot(os.path.join(shots, "description_saved_de.png"))
finally:
    driver.quit()
    profile.cleanup()

for p in problems:
    print(p)
sys.exit(1 if problems else 0)
