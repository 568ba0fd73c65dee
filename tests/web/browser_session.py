#!/usr/bin/python3
"""A browser session on the device's web interface: headless Chromium
through chromedriver, run inside the namespace that reaches the device.

    browser_session.py BASE_URL DATA_ROOT SCREENSHOT_DIR

Logs in, reads the start page, opens the site map, logs out, logs in again,
lets the session time out on the program clock (the simulated board's
control socket), then does it once more in German; a user session never
changes the device's language. Prints "ok: ..." lines; exits 1 on the first
failure.
"""
import os
import socket
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

base, root, shots = sys.argv[1], sys.argv[2], sys.argv[3]
os.makedirs(shots, exist_ok=True)


def fail(what):
    print("FAILED: " + what)
    sys.exit(1)


def check(what, condition):
    if not condition:
        try:
            driver.save_screenshot(os.path.join(shots, "failure.png"))
            print(driver.current_url)
            print(driver.page_source[:2000])
        except WebDriverException:
            pass
        fail(what)
    print("ok: " + what)


def board(command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(os.path.join(root, "var/simboard.ctl"))
        s.sendall((command + "\n").encode())
        answer = b""
        while not answer.endswith(b"ok\n") and not answer.startswith(b"error"):
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    return answer.decode()


def param(key):
    try:
        with open(os.path.join(root, "etc/params.dat")) as f:
            for line in f:
                name, _, value = line.partition("=")
                if name.strip() == key:
                    return value.strip()
    except OSError:
        pass
    return ""


def product_name():
    with open(os.path.join(root, "conf.d/product_params"), "rb") as f:
        for line in f.read().split(b"\n"):
            if line.startswith(b"product_name="):
                return line.split(b"=", 1)[1].split(b"\0")[0].decode()
    return ""


def log_in(name, pwd):
    driver.find_element(By.ID, "name").clear()
    driver.find_element(By.ID, "name").send_keys(name)
    driver.find_element(By.ID, "pwd").send_keys(pwd)
    driver.find_element(By.ID, "save").click()


def at_page(page):
    path = driver.current_url.split("://", 1)[1].split("/", 1)[1]
    return path.split("?")[0].startswith(page)


def on_page(page):
    # A click returns before the next page has loaded: wait (bounded).
    for _ in range(100):
        if at_page(page) and driver.execute_script("return document.readyState") == "complete":
            return True
        time.sleep(0.05)
    return False


def has_link(fragment):
    return any(fragment in (a.get_attribute("href") or "") for a in driver.find_elements(By.TAG_NAME, "a"))


options = webdriver.ChromeOptions()
for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
            "--window-size=1100,800", "--user-data-dir=" + os.path.join(root, "tmp", "chromium")):
    options.add_argument(arg)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
driver.set_page_load_timeout(20)
try:
    driver.get(base + "/start.html")
    check("without a session the start page leads to the login", on_page("index"))
    driver.save_screenshot(os.path.join(shots, "login.png"))

    log_in("Admin", "adminpass")
    check("the login leads to the start page", on_page("start"))
    product = product_name()
    check("the start page shows the product name " + product,
          driver.find_element(By.TAG_NAME, "h1").text == product)
    cookie = driver.get_cookie("SessKey")
    check("the session cookie is HttpOnly", cookie is not None and cookie.get("httpOnly"))
    driver.save_screenshot(os.path.join(shots, "start.png"))

    driver.find_element(By.CSS_SELECTOR, "nav.menu a[href*='/sitemap']").click()
    check("the site map opens for the administrator", on_page("sitemap"))

    driver.find_element(By.CSS_SELECTOR, "nav.menu a[href*='/exit']").click()
    check("logging out shows the login page", on_page("exit") and driver.find_elements(By.ID, "pwd"))
    driver.get(base + "/start.html")
    check("after the logout the start page leads to the login", on_page("index"))

    log_in("Admin", "adminpass")
    check("logged in again", on_page("start"))
    board("ticks +12100")  # 121 s idle on the program clock
    driver.find_element(By.CSS_SELECTOR, "nav.menu a[href*='/start']").click()
    check("after the idle time the next click lands on the login page", on_page("index"))

    driver.get(base + "/index_de.html")
    check("the login page in German", "Anmelden" in driver.page_source)
    driver.save_screenshot(os.path.join(shots, "login_de.png"))
    log_in("Admin", "adminpass")
    check("the German login leads to the German start page", on_page("start_de"))
    check("German page text", driver.find_element(By.TAG_NAME, "html").get_attribute("lang") == "de")
    for _ in range(50):
        if param("language") == "de":
            break
        time.sleep(0.1)
    check("the administrator's choice of German is saved", param("language") == "de")
    driver.find_element(By.CSS_SELECTOR, "nav.menu a[href*='/exit']").click()

    driver.get(base + "/index_en.html")
    log_in("User", "userpass1")
    check("the user reaches the start page", on_page("start_en"))
    check("the user has no site map", not has_link("/sitemap"))
    driver.get(base + "/start_en.html")
    time.sleep(0.5)  # a save would follow the page at once
    check("a user session never changes the device's language", param("language") == "de")
finally:
    driver.quit()
print("passed")
