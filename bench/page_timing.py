#!/usr/bin/python3
"""Loads the service's web page in Debian's Chromium, headless through
ChromeDriver, and prints what the browser timed as one JSON object:

  {"loads": [{"dom_content_loaded": ms, "load": ms, "state": ms}, ...]}

Each load is timed from the navigation's start: "state" is the page's own
mark, set once it shows its first state from the event stream. With
--building N each load also has "building": when the page's Building table
first lists N rows, marked in the frame after the rows were added. The first
load is not counted: it meets a browser that has just started. kavo-bench
runs this and reads its standard output; a failure is one line on stderr.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    sys.exit("page_timing: python3-selenium is missing (apt install python3-selenium)")

LOAD_WAIT_S = 20
POLL_S = 0.02

# Read after the marks are set; they are relative to the navigation's start.
TIMING_SCRIPT = """
const navigation = performance.getEntriesByType('navigation')[0];
const mark = (name) => {
  const found = performance.getEntriesByName(name)[0];
  return found ? found.startTime - navigation.startTime : null;
};
return {dom_content_loaded: navigation.domContentLoadedEventEnd - navigation.startTime,
        load: navigation.loadEventEnd - navigation.startTime,
        state: mark('kavo-state'), building: mark('kavo-building')};
"""

# Run in every document before its own scripts: marks the frame in which the
# Building table first holds the rows wanted.
BUILDING_WATCH = """
(() => {
  const wanted = %d;
  const watch = new MutationObserver(() => {
    const rows = document.getElementById('building-rows');
    if (!rows || rows.rows.length < wanted) return;
    watch.disconnect();
    requestAnimationFrame(() => performance.mark('kavo-building'));
  });
  watch.observe(document, {childList: true, subtree: true});
})();
"""


def start_browser(chromium, chromedriver, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ["--headless=new", "--disable-dev-shm-usage", "--disable-gpu",
                     "--no-first-run", "--disable-extensions", f"--user-data-dir={profile}"]:
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    driver = webdriver.Chrome(service=DriverService(chromedriver), options=options)
    driver.set_page_load_timeout(LOAD_WAIT_S)
    driver.set_script_timeout(LOAD_WAIT_S)
    return driver


def load_once(driver, url, marks):
    driver.get("about:blank")
    driver.get(url)
    # The load event has ended and the marks are set.
    WebDriverWait(driver, LOAD_WAIT_S, POLL_S).until(lambda d: d.execute_script(
        "const n = performance.getEntriesByType('navigation')[0];"
        "return n && n.loadEventEnd > 0 && "
        "arguments[0].every((name) => performance.getEntriesByName(name).length > 0)", marks))
    return driver.execute_script(TIMING_SCRIPT)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", required=True)
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--building", type=int, default=0,
                        help="also time until the Building table lists this many rows")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    arguments = parser.parse_args()
    profile = tempfile.mkdtemp(prefix="kavo-bench-chromium-")
    driver = None
    try:
        driver = start_browser(arguments.chromium, arguments.chromedriver, profile)
        marks = ["kavo-state"]
        if arguments.building > 0:
            driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                   {"source": BUILDING_WATCH % arguments.building})
            marks.append("kavo-building")
        loads = [load_once(driver, arguments.url, marks) for _ in range(arguments.runs + 1)][1:]
    except (TimeoutException, WebDriverException) as error:
        sys.exit(f"page_timing: {type(error).__name__}: {str(error).strip() or 'no message'}")
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    print(json.dumps({"loads": loads}))


if __name__ == "__main__":
    main()
