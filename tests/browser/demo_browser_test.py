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

import http.client
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
from urllib.parse import urlencode, urlparse

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

    def cart_lines(self, driver):
        """The cart's lines as (tea, size, tins, price)."""
        lines = []
        for row in driver.find_elements(By.CSS_SELECTOR, "tr.cart-line"):
            cells = row.find_elements(By.TAG_NAME, "td")
            tins = cells[2].find_element(By.NAME, "quantity").get_attribute("value")
            lines.append((cells[0].text, cells[1].text, tins, cells[3].text))
        return lines

    def add_to_cart(self, driver, page, form_index, size=None):
        """Orders a tin of the tea of order form `form_index` on shop page `page`."""
        self.open(driver, "/shop?page=%d" % page)
        form = driver.find_elements(By.CSS_SELECTOR, "form.order")[form_index]
        if size:
            Select(form.find_element(By.NAME, "grams")).select_by_value(size)
        self.click_and_wait(driver, form.find_element(By.TAG_NAME, "button"))

    def post(self, driver, path, fields):
        """POSTs `fields` outside the browser but with its cookies; returns
        the answer's status and body."""
        cookies = "; ".join("%s=%s" % (c["name"], c["value"]) for c in driver.get_cookies())
        url = urlparse(self.server.url)
        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=WAIT)
        connection.request("POST", path, urlencode(fields), {
            "Cookie": cookies, "Content-Type": "application/x-www-form-urlencoded"})
        answer = connection.getresponse()
        result = (answer.status, answer.read().decode())
        connection.close()
        return result

    def upload(self, driver, path):
        """Shares the file `path` through the upload form; returns the link
        to the stored file."""
        self.open(driver, "/upload")
        driver.find_element(By.ID, "file").send_keys(path)
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, "form.upload button"))
        return driver.find_element(By.ID, "shared-file")

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
                self.assertEqual([o.split(" – €")[0] for o in options],
                                 ["50 g tin", "100 g tin", "250 g bag"])
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

    def test_tin_prices_shown(self):
        """Each tin size shows its price before it goes into the cart."""
        driver = self.browser()
        self.open(driver, "/shop")
        form = driver.find_elements(By.CSS_SELECTOR, "form.order")[0]
        self.assertEqual([o.text for o in Select(form.find_element(By.NAME, "grams")).options],
                         ["50 g tin – €3.40", "100 g tin – €6.80", "250 g bag – €17.00"])

    def test_category_filter(self):
        """The kinds on the main page and the chips of the shop show the teas
        of one kind, across pages; "All" shows every tea again."""
        driver = self.browser()
        self.open(driver, "/")
        self.click_and_wait(driver, driver.find_element(By.LINK_TEXT, "Green"))
        self.assertEqual(self.text(driver, "#shop-heading"), "Green teas")
        self.assertEqual(self.tea_names(driver),
                         ["Genmaicha", "Gyokuro", "Jasmine Pearls", "Sencha Kagoshima"])
        self.assertEqual(self.text(driver, "#page-number"), "Page 1 of 1")
        chips = driver.find_element(By.ID, "kind-chips")
        self.click_and_wait(driver, chips.find_element(By.LINK_TEXT, "Oolong"))
        self.assertEqual(self.tea_names(driver), ["Dong Ding", "Tie Guan Yin"])
        chips = driver.find_element(By.ID, "kind-chips")
        self.click_and_wait(driver, chips.find_element(By.LINK_TEXT, "All"))
        self.assertEqual(self.text(driver, "#page-number"), "Page 1 of 3")

    def test_cart_kept_per_browser(self):
        """The cart follows one browser from page to page through its session
        cookie; a fresh browser starts with an empty one."""
        driver = self.browser()
        self.open(driver, "/shop")
        self.add_to_cart(driver, 1, 0, "250")
        self.assertTrue(driver.current_url.endswith("/cart"))
        self.add_to_cart(driver, 2, 1)

        self.assertEqual(self.cart_lines(driver), [("Assam Harmutty", "250 g bag", "1", "€17.00"),
                                                   ("Gyokuro", "50 g tin", "1", "€9.00")])
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

    def test_cart_quantity_change_and_removal(self):
        """A line of the cart takes another number of tins; Remove takes it out."""
        driver = self.browser()
        self.add_to_cart(driver, 1, 0)
        self.add_to_cart(driver, 2, 1)
        quantity = driver.find_elements(By.CSS_SELECTOR, "form.quantity")[0]
        field = quantity.find_element(By.NAME, "quantity")
        field.clear()
        field.send_keys("3")
        self.click_and_wait(driver, quantity.find_element(By.TAG_NAME, "button"))
        self.assertEqual(self.cart_lines(driver), [("Assam Harmutty", "50 g tin", "3", "€10.20"),
                                                   ("Gyokuro", "50 g tin", "1", "€9.00")])
        self.assertEqual(self.text(driver, "#cart-count"), "4")

        remove = driver.find_elements(By.CSS_SELECTOR, "form.remove")[1]
        self.click_and_wait(driver, remove.find_element(By.TAG_NAME, "button"))
        self.assertEqual(self.cart_lines(driver), [("Assam Harmutty", "50 g tin", "3", "€10.20")])
        self.assertEqual(self.text(driver, "#cart-total"), "€10.20")

    def test_post_without_token_changes_no_cart(self):
        """The session cookie is HttpOnly and SameSite=Lax; a POST that carries
        it but not the session's form token gets 403 and changes no cart."""
        driver = self.browser()
        self.add_to_cart(driver, 1, 0)
        cookie, = driver.get_cookies()
        self.assertTrue(cookie["httpOnly"])
        self.assertEqual(cookie["sameSite"], "Lax")
        token = driver.find_element(By.NAME, "token").get_attribute("value")
        for fields in ({"tea": "2", "grams": "50"}, {"tea": "2", "grams": "50", "token": "0" * 32}):
            status, body = self.post(driver, "/cart/add", fields)
            self.assertEqual(status, 403, body)
        self.assertEqual(self.post(driver, "/cart/clear", {})[0], 403)
        self.assertEqual(self.post(driver, "/cart/add", {"tea": "2", "grams": "50",
                                                         "token": token})[0], 302)
        self.open(driver, "/cart")
        self.assertEqual([line[0] for line in self.cart_lines(driver)],
                         ["Assam Harmutty", "Darjeeling First Flush"])

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
        self.assertEqual(driver.find_element(By.NAME, "body").get_attribute("value"),
                         "Like a spring <morning>.")
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, ".review-form button"))
        self.assertTrue(driver.current_url.endswith("/tea?id=2#reviews"), driver.current_url)
        reviews = driver.find_elements(By.CSS_SELECTOR, ".review")
        self.assertEqual(len(reviews), 1)
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".author").text, "Ann <b>")
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".body").text,
                         "Like a spring <morning>.")
        self.assertEqual(reviews[0].find_element(By.CSS_SELECTOR, ".stars").text, "★★★★")
        self.assertEqual(self.text(driver, "#form-message"), "")

    def test_empty_rating_refused(self):
        """A review without a rating comes back with status 400 and is not
        stored; a rating out of range and a review too long neither."""
        driver = self.browser()
        self.open(driver, "/tea?id=3")
        driver.find_element(By.NAME, "author").send_keys("Kai")
        driver.find_element(By.NAME, "body").send_keys("Nutty.")
        self.click_and_wait(driver, driver.find_element(By.CSS_SELECTOR, ".review-form button"))
        self.assertEqual(self.text(driver, "#form-message"), "Please choose a rating.")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, ".review"), [])

        token = driver.find_element(By.NAME, "token").get_attribute("value")
        review = {"id": "3", "author": "Kai", "body": "Nutty.", "token": token}
        for rating, body in (("", "Nutty."), ("9", "Nutty."), ("5", "x" * 2001)):
            status, page = self.post(driver, "/review", dict(review, rating=rating, body=body))
            self.assertEqual(status, 400, rating)
            self.assertIn('id="form-message">Please', page)
        self.open(driver, "/tea?id=3")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, ".review"), [])

    def test_missing_tea_gets_404(self):
        """A tea that does not exist gets the 404 page, and so does a review
        for it."""
        driver = self.browser()
        self.open(driver, "/tea?id=999")
        self.assertEqual(self.text(driver, "#problem"), "Not Found")
        self.assertEqual(driver.find_elements(By.CSS_SELECTOR, ".review-form"), [])
        self.open(driver, "/tea?id=1")
        token = driver.find_element(By.NAME, "token").get_attribute("value")
        status, _ = self.post(driver, "/review", {"id": "999", "author": "Kai", "rating": "5",
                                                  "body": "Nice.", "token": token})
        self.assertEqual(status, 404)

    def test_same_name_upload_keeps_both(self):
        """Two uploads with one name are both kept and listed, and each comes
        back byte for byte under its original name."""
        upload = os.path.join(self.work, "Tea Notes.bin")
        contents = [bytes(range(256)) * 40 + os.urandom(5000), os.urandom(3000)]
        driver = self.browser()
        links = []
        for content in contents:
            with open(upload, "wb") as file:
                file.write(content)
            links.append(self.upload(driver, upload).text)
            self.assertEqual(self.text(driver, "#shared-name"), "Tea_Notes.bin")
        self.assertEqual(links, ["1-Tea_Notes.bin.upload", "2-Tea_Notes.bin.upload"])

        for link, content in zip(links, contents):
            # Chromium asks before a site's second download: one browser each.
            reader = self.browser()
            self.open(reader, "/files/")
            self.assertIn("Content of Server Directory : /files/",
                          reader.find_element(By.TAG_NAME, "body").text)
            # The listing may show names in lower case; the server finds them all the same.
            entry, = [a for a in reader.find_elements(By.TAG_NAME, "a")
                      if a.text.lower() == link.lower()]
            entry.click()
            # Chromium writes into a ".crdownload" file and gives it its name when done.
            downloaded = os.path.join(reader.downloads, "Tea_Notes.bin")
            wait_until(lambda: os.path.exists(downloaded), "the download of " + link)
            with open(downloaded, "rb") as file:
                self.assertEqual(file.read(), content)

    def test_uploaded_html_downloads_as_attachment(self):
        """An uploaded page is served as a download that may not be sniffed:
        the browser saves it and runs none of its script."""
        evil = os.path.join(self.work, "evil.html")
        with open(evil, "w") as file:
            file.write("<script>document.title = 'pwned'; localStorage.pwned = 1;</script>")
        driver = self.browser()
        link = self.upload(driver, evil)
        href = link.get_attribute("href")
        url = urlparse(href)
        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=WAIT)
        connection.request("GET", url.path)
        headers = connection.getresponse().getheaders()
        connection.close()
        for header in (("Content-type", "application/octet-stream"),
                       ("Content-Disposition", 'attachment; filename="evil.html"'),
                       ("X-Content-Type-Options", "nosniff")):
            self.assertIn(header, headers)

        link.click()
        downloaded = os.path.join(driver.downloads, "evil.html")
        wait_until(lambda: os.path.exists(downloaded), "the download of evil.html")
        self.assertEqual(driver.title, "Share a file - Korvi Tea House")
        self.assertIsNone(driver.execute_script("return localStorage.pwned"))

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

    def test_reloads_share_connections(self):
        """A page with its stylesheet and logo, reloaded ten times, travels
        over the few connections the browser keeps open (it opens at most six
        to one server)."""
        driver = self.browser()
        self.open(driver, "/")
        for _ in range(10):
            driver.refresh()
            self.assertEqual(driver.title, "Korvi Tea House")
            self.assertTrue(driver.execute_script(
                "return document.querySelector('header.bar img').naturalWidth") > 0)
        driver.quit()
        self.browsers.remove(driver)
        self.assertEqual(self.server.stop(), 0)
        counts = re.search(r"connections accepted (\d+), refused (\d+)", self.server.output())
        self.assertIsNotNone(counts, self.server.output())
        self.assertGreaterEqual(int(counts.group(1)), 1)
        self.assertLessEqual(int(counts.group(1)), 6)
        self.assertEqual(int(counts.group(2)), 0)


if __name__ == "__main__":
    unittest.main()
