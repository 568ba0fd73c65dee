#!/usr/bin/python3
"""Fills and sends settings forms of a running device in headless
Chromium, or only shows pages, and prints what the browser then shows.

Usage: host_form.py BASE_URL STEP [then STEP]...

  form PATH SHOT [--bypass] NAME=VALUE...
      opens PATH, sets each field NAME (text, number, password, checkbox
      "on"/"off", select and radio by value; --bypass first removes the
      browser's own field checks: maxlength, pattern, min, max, required,
      number type), clicks the save button and waits for the answer.
  upload SHOT [FILE]
      the file field of the parameter backup page, FILE or none, sent.
  show PATH SHOT NAME...
      opens PATH.

The steps run in one browser, one after the other. Each prints
"step: N", then "url: ...", "headinfo: ...", "errmsg: ...", "title: ...",
"text: ..." (the page text on one line), "elements i: N" (elements the
page's values could have made), "value NAME: ..." for each field named,
and "console: ..." for each script error; a screenshot goes to SHOT.
Exits 1 when the browser failed.
"""
import os
import sys
import tempfile
import time

from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browse_pages  # noqa: E402

BYPASS = """
for (const c of document.querySelectorAll('form input, form textarea')) {
  for (const a of ['maxlength', 'pattern', 'min', 'max', 'required', 'step']) c.removeAttribute(a);
  if (c.type === 'number') c.type = 'text';
}
for (const f of document.forms) f.noValidate = true;
"""


def one_line(text):
    return " | ".join(line.strip() for line in text.splitlines() if line.strip())


def text_of(driver, element_id):
    found = driver.find_elements(By.ID, element_id)
    return one_line(found[0].text) if found else ""


def set_field(driver, name, value):
    fields = [f for f in driver.find_elements(By.NAME, name) if f.get_attribute("type") != "hidden"]
    if not fields:
        raise LookupError("no field " + name)
    field = fields[0]
    kind = field.get_attribute("type")
    if field.tag_name == "select":
        Select(field).select_by_value(value)
    elif kind == "checkbox":
        if field.is_selected() != (value == "on"):
            field.click()
    elif kind == "radio":
        [f for f in fields if f.get_attribute("value") == value][0].click()
    elif kind == "file":
        field.send_keys(value)
    else:
        field.clear()
        field.send_keys(value)


def submit(driver):
    before = driver.find_element(By.TAG_NAME, "html")
    driver.find_element(By.ID, "save").click()
    end = time.monotonic() + 60
    while time.monotonic() < end:
        try:
            before.tag_name  # raises once the answer replaced the page
        except WebDriverException:
            if driver.execute_script("return document.readyState") == "complete":
                return True
        time.sleep(0.05)
    return False


def field_value(driver, name):
    fields = [f for f in driver.find_elements(By.NAME, name) if f.get_attribute("type") != "hidden"]
    if not fields:
        return "(none)"
    field = fields[0]
    if field.get_attribute("type") in ("checkbox", "radio"):
        checked = [f.get_attribute("value") for f in fields if f.is_selected()]
        return checked[0] if checked else "off"
    return field.get_attribute("value")


def report(driver, shot, names):
    print("url: " + driver.current_url)
    print("headinfo: " + text_of(driver, "HeadInfo"))
    print("errmsg: " + text_of(driver, "ErrMsg"))
    print("title: " + driver.title)
    print("text: " + one_line(driver.find_element(By.TAG_NAME, "body").text))
    print("elements i: %d" % len(driver.find_elements(By.TAG_NAME, "i")))
    for name in names:
        print("value %s: %s" % (name, field_value(driver, name)))
    for entry in browse_pages.console_errors(driver):
        print(entry)
    driver.save_screenshot(shot)


def run_step(driver, base, step):
    command, args = step[0], step[1:]
    if command == "form":
        path, shot, rest = args[0], args[1], args[2:]
        browse_pages.load(driver, base + path)
        if rest and rest[0] == "--bypass":
            rest = rest[1:]
            driver.execute_script(BYPASS)
        pairs = [item.split("=", 1) for item in rest]
        for name, value in pairs:
            set_field(driver, name, value)
        if not submit(driver):
            print("no answer to the form")
            return False
        report(driver, shot, [name for name, _ in pairs])
    elif command == "upload":
        # Right after a change the web server may answer late: retry (bounded).
        for _ in range(60):
            browse_pages.load(driver, base + "/maintenance/backup_en.html")
            if driver.find_elements(By.NAME, "paramfile"):
                break
            time.sleep(0.5)
        if len(args) > 1:
            set_field(driver, "paramfile", os.path.abspath(args[1]))
        if not submit(driver):
            print("no answer to the upload")
            return False
        report(driver, args[0], [])
    elif command == "show":
        browse_pages.load(driver, base + args[0])
        report(driver, args[1], args[2:])
    else:
        print("unknown step " + command)
        return False
    return True


def main():
    base, steps = sys.argv[1], [[]]
    for arg in sys.argv[2:]:
        if arg == "then":
            steps.append([])
        else:
            steps[-1].append(arg)
    with tempfile.TemporaryDirectory() as profile:
        driver = browse_pages.browser(profile)
        try:
            for number, step in enumerate(steps, 1):
                print("step: %d" % number)
                if not step or not run_step(driver, base, step):
                    return 1
        finally:
            driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
