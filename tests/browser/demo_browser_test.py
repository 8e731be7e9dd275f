#!/usr/bin/python3
"""Browser tests of korvi-demo: a real Chromium, driven by Selenium, uses the
Korvi Tea House the way a visitor does. Each test starts the demo on a port
the system picks, with a data directory of its own, and a browser with a
fresh profile; every wait is bounded.

Settings come from the environment (tests/CMakeLists.txt sets them):
  KORVI_DEMO          the korvi-demo program
  KORVI_CHROMIUM      the Chromium program
  KORVI_CHROMEDRIVER  Chromium's WebDriver
  KORVI_SCREENSHOT    where to save a screenshot of the main page (optional)

Run one test with: demo_browser_test.py DemoBrowserTest.test_<name>
"""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

# Longest any one wait may take, in seconds (sanitizer builds are slow).
WAIT = 30

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--window-size=1100,780",
]


def wait_until(condition, what, timeout=WAIT):
    """Polls `condition` until it returns something true; fails after `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class DemoServer:
    """korvi-demo listening on a port the system picks, on a fresh data directory."""

    def __init__(self, work):
        self.log_path = os.path.join(work, "demo.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [os.environ["KORVI_DEMO"], "--port", "0", "--data", os.path.join(work, "data")],
            stdout=self.log, stderr=subprocess.STDOUT)
        port = wait_until(self._port, "korvi-demo to listen")
        self.url = "http://127.0.0.1:%s" % port

    def _port(self):
        if self.process.poll() is not None:
            raise AssertionError("korvi-demo ended at start-up:\n" + self.output())
        found = re.search(r"listening on port (\d+)", self.output())
        return found and found.group(1)

    def output(self):
        with open(self.log_path) as log:
            return log.read()

    def stop(self):
        """Stops the demo with SIGTERM; returns its exit status."""
        self.process.terminate()
        try:
            return self.process.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=WAIT)
            return "killed after SIGTERM was not obeyed"
        finally:
            self.log.close()


class DemoBrowserTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvi-demo-browser-")
        self.browsers = []
        self.server = DemoServer(self.work)

    def tearDown(self):
        for browser in self.browsers:
            browser.quit()
        status = self.server.stop()
        output = self.server.output()
        shutil.rmtree(self.work, ignore_errors=True)
        # A clean stop: no sanitizer report, no crash on the way out.
        self.assertEqual(status, 0, "korvi-demo did not stop cleanly:\n" + output)

    # --- Helpers ---

    def browser(self):
        """A new Chromium with a profile of its own (no cookies yet)."""
        name = "browser%d" % len(self.browsers)
        downloads = os.path.join(self.work, name + "-downloads")
        os.makedirs(downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = os.environ["KORVI_CHROMIUM"]
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + os.path.join(self.work, name))
        driver = webdriver.Chrome(service=Service(os.environ["KORVI_CHROMEDRIVER"]),
                                  options=options)
        self.browsers.append(driver)
        driver.set_page_load_timeout(WAIT)
        driver.execute_cdp_cmd("Page.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": downloads})
        driver.downloads = downloads
        return driver

    def open(self, driver, path):
        driver.get(self.server.url + path)

    def click_and_wait(self, driver, element):
        """Clicks a link or button and waits until the browser shows the next page."""
        element.click()
        WebDriverWait(driver, WAIT).until(lambda d: self._is_stale(element))
        WebDriverWait(driver, WAIT).until(
            lambda d: d.execute_script("return document.readyState") == "complete")

    @staticmethod
    def _is_stale(element):
        try:
            element.is_enabled()
            return False
        except Exception:
            return True

    def text(self, driver, css):
        return driver.find_element(By.CSS_SELECTOR, css).text

    def tea_names(self, driver):
        return [a.text for a in driver.find_elements(By.CSS_SELECTOR, "#teas .tea-name")]

    # --- Tests ---

    def test_browse_and_page_through_teas(self):
        """The main page shows the kinds of tea; the list goes four teas to a
        page, each with its tin sizes, and the pager walks all of them."""
        driver = self.browser()
        self.open(driver, "/")
        self.assertEqual(driver.title, "Korvi Tea House")
        kinds = [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#kinds li")]
        self.assertEqual(kinds, ["Black 4", "Green 4", "Herbal 1", "Oolong 2", "White 1"])
        # The stylesheet and the logo came through the URL map.
        self.assertEqual(driver.execute_script(
            "return getComputedStyle(document.querySelector('header.bar')).backgroundColor"),
            "rgb(47, 107, 79)")
        self.assertTrue(driver.execute_script(
            "return document.querySelector('header.bar img').naturalWidth") > 0)
        if os.environ.get("KORVI_SCREENSHOT"):
            self.assertTrue(driver.save_screenshot(os.environ["KORVI_SCREENSHOT"]))

        self.click_and_wait(driver, driver.find_element(By.LINK_TEXT, "Teas"))
        seen = []
        for page in (1, 2, 3):
            self.assertEqual(self.text(driver, "#page-number"), "Page %d of 3" % page)
            names = self.tea_names(driver)
            self.assertEqual(len(names), 4)
            seen += names
            # The loop inside the loop: every tea's order form offers each tin size.
            for form in driver.find_elements(By.CSS_SELECTOR, "form.order"):
                options = [o.text for o in Select(form.find_element(By.NAME, "grams")).options]
                self.assertEqual(options, ["50 g tin", "100 g tin", "250 g bag"])
            if page < 3:
                self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, "a[rel=next]"))
                self.assertTrue(driver.current_url.endswith("/shop?page=%d" % (page + 1)))
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, "a[rel=next]"), [])
        self.assertEqual(seen, sorted(seen))
        self.assertEqual(len(set(seen)), 12)
        self.assertEqual(seen[0], "Assam Harmutty")
        self.assertEqual(seen[-1], "Tie Guan Yin")

        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, "a[rel=prev]"))
        self.assertEqual(self.tea_names(driver), seen[4:8])

    def test_cart_kept_per_browser(self):
        """The cart follows one browser from page to page through its session
        cookie; a fresh browser starts with an empty one."""
        driver = self.browser()
        self.open(driver, "/shop")
        first = driver.find_elements(By.CSS_SELECTOR, "form.order")[0]
        Select(first.find_element(By.NAME, "grams")).select_by_visible_text("250 g bag")
        self.click_and_wait(driver, first.find_element(By.TAG_NAME, "button"))
        self.assertTrue(driver.current_url.endswith("/cart"))
        self.open(driver, "/shop?page=2")
        second = driver.find_elements(By.CSS_SELECTOR, "form.order")[1]
        self.click_and_wait(driver, second.find_element(By.TAG_NAME, "button"))

        lines = [tr.text for tr in driver.find_elements(By.CSS_SELECTOR, "tr.cart-line")]
        self.assertEqual(lines, ["Assam Harmutty 250 g bag 1 €17.00",
                                 "Gyokuro 50 g tin 1 €9.00"])
        self.assertEqual(self.text(driver, "#cart-total"), "€26.00")
        for path in ("/", "/tea?id=3", "/upload"):
            self.open(driver, path)
            self.assertEqual(self.text(driver, "#cart-count"), "2", path)

        stranger = self.browser()
        self.open(stranger, "/")
        self.assertEqual(self.text(stranger, "#cart-count"), "0")
        self.open(stranger, "/cart")
        self.assertEqual(self.text(stranger, "#cart-empty"), "Your cart is empty.")
        self.assertEqual(stranger.find_elements(By.CSS_SELECTOR, "tr.cart-line"), [])

        self.open(driver, "/cart")
        self.assertEqual(len(driver.find_elements(By.CSS_SELECTOR, "tr.cart-line")), 2)

    def test_review_form_required_fields(self):
        """A review without a name comes back with the help text and what was
        typed; completed, it is stored and shown (as text, not markup)."""
        driver = self.browser()
        self.open(driver, "/tea?id=2")
        self.assertEqual(self.text(driver, "#tea-name"), "Darjeeling First Flush")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, ".review"), [])
        self.assertEqual(self.text(driver, "#form-message"), "")

        driver.find_element(By.NAME, "body").send_keys("Like a spring <morning>.")
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, ".review-form button"))
        self.assertEqual(self.text(driver, "#form-message"), "Please tell us your name.")
        self.assertEqual(driver.find_element(By.NAME, "body").get_attribute("value"),
                         "Like a spring <morning>.")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, ".review"), [])

        driver.find_element(By.NAME, "author").send_keys("Ann <b>")
        Select(driver.find_element(By.NAME, "rating")).select_by_value("4")
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, ".review-form button"))
        self.assertTrue(driver.current_url.endswith("/tea?id=2#reviews"), driver.current_url)
        reviews = driver.find_elements(By.CSS_SELECTOR, ".review")
        self.assertEqual(len(reviews), 1)
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".author").text, "Ann <b>")
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".body").text,
                         "Like a spring <morning>.")
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".stars").text, "★★★★")
        self.assertEqual(self.text(driver, "#form-message"), "")

    def test_upload_and_download_back(self):
        """A file uploaded through the form is listed by the server and comes
        back byte for byte through the listing's link."""
        content = bytes(range(256)) * 40 + os.urandom(5000)
        upload = os.path.join(self.work, "Tea Notes.bin")
        with open(upload, "wb") as file:
            file.write(content)

        driver = self.browser()
        self.open(driver, "/upload")
        driver.find_element(By.ID, "file").send_keys(upload)
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, "form.upload button"))
        self.assertEqual(self.text(driver, "#shared-file"), "tea_notes.bin")

        self.click_and_wait(driver, driver.find_element(By.LINK_TEXT, "Shared files"))
        self.assertIn("Content of Server Directory : /files/",
                      driver.find_element(By.TAG_NAME, "body").text)
        link = driver.find_element(By.LINK_TEXT, "tea_notes.bin")
        self.assertEqual(link.get_attribute("href"), self.server.url + "/files/tea_notes.bin")
        link.click()
        # Chromium writes into a ".crdownload" file and gives it its name when done.
        downloaded = os.path.join(driver.downloads, "tea_notes.bin")
        wait_until(lambda: os.path.exists(downloaded), "the download of tea_notes.bin")
        with open(downloaded, "rb") as file:
            self.assertEqual(file.read(), content)

    def test_missing_page_shows_error_page(self):
        """Paths no action takes and the URL map does not cover get the
        server's error page; mapped directories get their default file."""
        driver = self.browser()
        self.open(driver, "/")
        self.click_and_wait(driver, driver.find_element(By.LINK_TEXT, "like this one"))
        self.assertTrue(driver.current_url.endswith("/no-such-page"))
        self.assertIn("ERROR : 404 Not Found", driver.find_element(By.TAG_NAME, "body").text)
        self.open(driver, "/static/no-such-file.css")
        self.assertIn("ERROR : 404 Not Found", driver.find_element(By.TAG_NAME, "body").text)

        self.open(driver, "/about/")
        self.assertEqual(self.text(driver, "h1"), "About this demo")


if __name__ == "__main__":
    unittest.main()
