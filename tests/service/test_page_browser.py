"""The service's page in a real browser, as a person uses it: Debian's headless Chromium driven
through Selenium, with JavaScript off, since the page's core needs none. A search run from the
form, found READY in the list by reloading it, its HTML report opened; a client's requests found
in the page's journal. A failing test saves the browser's screen and the page's source to the
folder its message names."""
import contextlib
import os
import re
import shutil
import tempfile

import pytest

from blast_client import request, status, submit
from conftest import database_folder
from service_calls import journal
from service_process import service_process

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
INSTALL = ("the browser tests need Debian's chromium, chromium-driver and python3-selenium: install them with "
           "scripts/install-deps")
# Flags that keep Chromium from reaching for the network of its own accord: this machine's
# network refuses it, and nothing of the page may come from elsewhere.
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--window-size=1280,1000")
WAIT = 120    # seconds a condition may take on a slow, busy machine
SCREENSHOTS = os.environ.get("QBLAST_SCREENSHOTS") or os.path.join(tempfile.gettempdir(), "qblast-page-screenshots")

try:
    from selenium import webdriver
    from selenium.common.exceptions import (NoSuchElementException, StaleElementReferenceException,
                                            WebDriverException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None


@pytest.fixture(scope="module")
def service():
    # A status request is answered once the search ends, so that a client asks once.
    with service_process("--rtoe", "0", "--status-wait", "60", "--db", database_folder()) as (_, url):
        yield url


@pytest.fixture(scope="module")
def browser():
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.access(path, os.X_OK)]
    if webdriver is None or missing:
        pytest.fail("%s (missing: %s)" % (INSTALL, ", ".join(missing + ([] if webdriver else ["selenium"]))))
    profile = tempfile.mkdtemp(prefix="qblast-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + ("--user-data-dir=" + profile,):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    try:
        # The driver's path is given: Selenium would otherwise try to download one.
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except WebDriverException as error:
        shutil.rmtree(profile, ignore_errors=True)
        pytest.fail("Chromium did not start under chromedriver: %s; %s" % (error.msg, INSTALL))
    driver.set_page_load_timeout(WAIT)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@contextlib.contextmanager
def screenshot_on_failure(driver, name):
    """Saves the browser's screen (NAME.png) and the page's source (NAME.html) when the block fails."""
    try:
        yield
    except Exception as failure:
        os.makedirs(SCREENSHOTS, exist_ok=True)
        shot = os.path.join(SCREENSHOTS, name + ".png")
        try:
            driver.save_screenshot(shot)
            with open(os.path.join(SCREENSHOTS, name + ".html"), "w") as stream:
                stream.write(driver.page_source)
            where = "the browser's screen at %s is %s (its source beside it)" % (driver.current_url, shot)
        except WebDriverException as error:
            where = "no screenshot could be taken (%s)" % error.msg
        raise AssertionError("%s: %s; %s" % (type(failure).__name__, str(failure).strip(), where)) from failure


def reloaded_until(driver, condition, awaited):
    """What `condition(driver)` gives once it is true, reloading the page before each look as
    a person would; fails after WAIT seconds, saying what was `awaited`."""
    def look(driver):
        driver.refresh()
        return condition(driver)
    return WebDriverWait(driver, WAIT, poll_frequency=0.5).until(look, "%s: not seen in %d s" % (awaited, WAIT))


def followed(driver, element, condition, awaited):
    """What `condition(driver)` gives once it is true after clicking `element`: a click does not
    wait for the page it leads to, which may not have replaced the one clicked yet. Fails after
    WAIT seconds, saying what was `awaited`."""
    element.click()
    waiting = WebDriverWait(driver, WAIT, poll_frequency=0.2,
                            ignored_exceptions=(NoSuchElementException, StaleElementReferenceException))
    return waiting.until(condition, "%s: not seen in %d s" % (awaited, WAIT))


def heading(rid):
    """Whether the driver shows the page of the search `rid`."""
    return lambda driver: driver.find_element(By.TAG_NAME, "h1").text == "Search %s" % rid


def journal_of(service, rid):
    return journal(service, rid=rid)[1]["entries"]


def first_protein(folder):
    """(definition line, sequence) of the bundled database's first protein, which it holds."""
    with open(os.path.join(folder, "proteins.fasta")) as stream:
        definition, _, rest = stream.read().lstrip(">").partition("\n")
    return definition, rest.split(">")[0].replace("\n", "")


def row_status(driver, rid):
    rows = driver.find_elements(By.CSS_SELECTOR, 'tr[data-rid="%s"]' % rid)
    return rows[0].find_elements(By.TAG_NAME, "td")[5].text if rows else ""


def test_a_person_runs_a_search_from_the_form_and_opens_its_html_report(service, browser):
    _, sequence = first_protein(database_folder())
    with screenshot_on_failure(browser, "search-from-the-form"):
        browser.get(service)    # the URL the service prints
        Select(browser.find_element(By.ID, "PROGRAM")).select_by_visible_text("blastp")
        Select(browser.find_element(By.ID, "DATABASE")).select_by_value("nr")
        browser.find_element(By.ID, "QUERY").send_keys(">from the page <i>test</i>\n" + sequence)
        for field, text in (("EXPECT", "0.001"), ("HITLIST_SIZE", "5"), ("email", "person@example.org")):
            browser.find_element(By.ID, field).clear()
            browser.find_element(By.ID, field).send_keys(text)
        # The API's answer: its RID, and a link to the search's page.
        found = followed(browser, browser.find_element(By.XPATH, "//button[normalize-space()='BLAST']"),
                         lambda driver: re.search(r"request id (\w+)", driver.find_element(By.TAG_NAME, "body").text),
                         "the API's answer with an RID")
        rid = found.group(1)
        followed(browser, browser.find_element(By.LINK_TEXT, "Follow the search on its page"), heading(rid),
                 "the search's page")
        assert "from the page <i>test</i>" in browser.find_element(By.TAG_NAME, "main").text

        browser.find_element(By.LINK_TEXT, "Searches").click()
        reloaded_until(browser, lambda driver: row_status(driver, rid).startswith("READY"),
                       "the search %s READY in the list" % rid)
        row = browser.find_element(By.CSS_SELECTOR, 'tr[data-rid="%s"]' % rid)
        assert [cell.text for cell in row.find_elements(By.TAG_NAME, "td")[1:4]] == [
            "blastp", "nr", "from the page <i>test</i>"]
        report = followed(browser, row.find_element(By.LINK_TEXT, "HTML"), lambda driver: "Query=" in driver.page_source
                          and driver.find_element(By.TAG_NAME, "body").text, "the HTML report")
        assert "BLASTP" in report and "Query= from the page <i>test</i>" in report, report[:2000]

    # The form sent the API's own fields, with what the person typed.
    put = journal_of(service, rid)[0]["fields"]
    assert {name: put.get(name) for name in ("CMD", "PROGRAM", "DATABASE", "EXPECT", "HITLIST_SIZE", "EMAIL")} == {
        "CMD": "Put", "PROGRAM": "blastp", "DATABASE": "nr", "EXPECT": "0.001", "HITLIST_SIZE": "5",
        "EMAIL": "person@example.org"}
    # A browser sends a text area's lines ended by CR LF.
    assert put["QUERY"].startswith(">from the page <i>test</i>\r\n" + sequence[:20])


def test_a_person_finds_a_clients_requests_in_the_journal(service, browser):
    contact = dict(tool="journal-reader", email="reader@example.org")
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY="9506405", **contact)
    assert status(service, rid)["Status"] == "READY"
    assert request(service, dict(CMD="Get", RID=rid, FORMAT_TYPE="XML", **contact))[0] == 200
    with screenshot_on_failure(browser, "journal"):
        browser.get(service)
        browser.find_element(By.LINK_TEXT, "Journal").click()
        rows = browser.find_elements(By.XPATH, "//table[@id='journal-table']//tr[td[normalize-space()='%s']]"
                                     % contact["tool"])
        cells = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")] for row in rows]
        # Newest first: the report, then the submission (the status request sent no tool).
        assert [(row[1], row[5], row[7], row[8]) for row in (cells[0], cells[-1])] == [
            ("GET", "reader@example.org", rid, "200"), ("POST", "reader@example.org", rid, "200")]
        assert "FORMAT_TYPE=XML" in cells[0][3] and "CMD=Put" in cells[-1][3] and "QUERY=9506405" in cells[-1][3]

        followed(browser, rows[-1].find_element(By.LINK_TEXT, rid), heading(rid), "the search's page")
        assert "READY" in browser.find_element(By.ID, "status").text
        here = browser.find_elements(By.XPATH, "//table[@id='journal-table']//tr[td]")
        assert len(here) == len(journal_of(service, rid)) == 3
