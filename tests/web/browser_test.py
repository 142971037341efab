#!/usr/bin/env python3
"""The web page in a real browser, against the real service and the simulated
projector: signing in, managed power, an input, a held button, the journal,
a viewer who may only watch and sees the open alerts, signing out; at a
phone's size and at a desktop's.

Every wait is bounded and the processes are ended whatever happens, so a
fault shows as a clear failure, never as a hang.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # A python3 earlier on PATH (a virtual environment, pyenv) may lack
    # Debian's python3-selenium: run again under the system's.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    sys.exit("browser_test: python3-selenium is missing (apt install python3-selenium)")

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
STEP_WAIT_S = 20  # the longest any one step may take
WHOLE_RUN_S = 220  # below ctest's TIMEOUT, so that the clean-up still runs
HOLD_S = 1.0  # a held button repeats every 100 ms: about ten presses
HOLD_PRESSES = range(7, 14)
SETTLED_POLLS = 3  # a count unchanged this many polls in a row has settled
POLL_S = 0.25

OPERATOR = ("olga", "operator", "correct horse 1")
VIEWER = ("victor", "viewer", "battery staple 2")

# The sizes the page is used at: a phone in portrait, a lecture hall's screen.
SIZES = [
    ("phone", 360, 740),
    ("desktop", 1920, 1080),
]


class Failure(Exception):
    pass


class Child:
    """A program whose output is collected line by line as it comes."""

    def __init__(self, name, argv, workdir, env=None):
        self.name = name
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(
            argv, cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, errors="replace", start_new_session=True,
            env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, pattern, what):
        deadline = time.monotonic() + STEP_WAIT_S
        expression = re.compile(pattern)
        with self.changed:
            while True:
                for line in self.lines:
                    found = expression.search(line)
                    if found:
                        return found
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    raise Failure(f"{self.name} never said {what}:\n" + self.tail())
                self.changed.wait(min(left, POLL_S))

    def count(self, pattern):
        expression = re.compile(pattern)
        with self.changed:
            return sum(1 for line in self.lines if expression.search(line))

    def tail(self, lines=25):
        with self.changed:
            return "\n".join(f"  {self.name}: {line}" for line in self.lines[-lines:])

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(5)


def add_account(service, users, account):
    name, role, password = account
    done = subprocess.run([service, "--users", users, "--add-user", name, "--role", role],
                          input=password + "\n", capture_output=True, text=True,
                          timeout=STEP_WAIT_S)
    if done.returncode != 0:
        raise Failure(f"adding {name} failed ({done.returncode}): {done.stderr.strip()}")


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--disable-dev-shm-usage", "--disable-gpu",
                     "--no-first-run", f"--user-data-dir={profile}"]:
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(STEP_WAIT_S)
    driver.set_script_timeout(STEP_WAIT_S)
    return driver


class Run:
    """One whole run: its private folder, the programs it started and its
    browser, all ended however the run ends."""

    def __init__(self, prefix):
        self.workdir = tempfile.mkdtemp(prefix=prefix)  # only its owner may write to it
        self.children = []
        self.driver = None

    def start(self, name, argv, env=None):
        child = Child(name, argv, self.workdir, env)
        self.children.append(child)
        return child


def bounded(prefix, whole_s, body):
    """Runs body(run) within whole_s seconds; 0 when it passed, else 1 with
    the failure and the last lines of every program."""
    def too_long(*_):
        raise Failure(f"the whole run took longer than {whole_s} s")

    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(whole_s)
    run = Run(prefix)
    try:
        body(run)
    except (Failure, OSError, WebDriverException, subprocess.TimeoutExpired) as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        for child in run.children:
            print(child.tail(), file=sys.stderr)
        return 1
    finally:
        signal.alarm(0)
        if run.driver is not None:
            try:
                run.driver.quit()
            except WebDriverException:
                pass
        for child in reversed(run.children):
            child.stop()
        shutil.rmtree(run.workdir, ignore_errors=True)
    return 0


class Page:
    """The page as a person sees it, at one window size."""

    def __init__(self, driver, url, size):
        self.driver = driver
        self.url = url
        self.size = size

    def until(self, what, condition):
        try:
            return WebDriverWait(self.driver, STEP_WAIT_S, POLL_S).until(
                lambda driver: condition())
        except TimeoutException:
            raise Failure(f"{self.size}: {what} within {STEP_WAIT_S} s; the page's message: "
                          f"{self.text('errors') or 'none'}; power shown: "
                          f"{self.text('power-words')!r}") from None

    def find(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def text(self, element_id):
        try:
            return self.find(element_id).text.strip()
        except WebDriverException:
            return ""

    def shown(self, element_id):
        found = self.driver.find_elements(By.ID, element_id)
        return bool(found) and found[0].is_displayed()

    def reach(self, element_id):
        element = self.until(f"{element_id} to appear", lambda: self.shown(element_id)
                             and self.find(element_id))
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
        return element

    def open(self):
        self.driver.delete_all_cookies()
        self.driver.get(self.url)
        self.until("the sign-in form", lambda: self.shown("sign-in-name"))

    def sign_in(self, account):
        name, role, password = account
        self.reach("sign-in-name").send_keys(name)
        self.find("sign-in-password").send_keys(password)
        self.find("sign-in-button").click()
        self.until(f"{name} signed in", lambda: self.text("account-name") == f"{name} ({role})")
        self.until("the lectern's controls", lambda: self.shown("action-power-on"))

    def power(self, button, words):
        self.reach(button).click()
        for expected in words:
            self.until(f"power shown as {expected!r}",
                       lambda expected=expected: self.text("power-words") == expected)

    def sign_out(self):
        self.reach("sign-out").click()
        self.until("the sign-in form after signing out", lambda: self.shown("sign-in-name"))

    def clients(self):
        """Who the service says is connected, as the page's session reads it."""
        return self.driver.execute_async_script(
            """
            const done = arguments[0];
            fetch('/api/v1/state').then((r) => r.json())
              .then((state) => done(state.clients.map((c) => c.who)), (e) => done([String(e)]));
            """)

    def post_status(self, path):
        """The status of a POST to the API made with this page's session."""
        return self.driver.execute_async_script(
            """
            const [path, done] = arguments;
            fetch('/api/v1/session').then((r) => r.json()).then((session) => fetch(path, {
              method: 'POST',
              headers: {'X-CSRF-Token': session.csrf_token, 'Content-Type': 'application/json'},
            })).then((r) => done(r.status), (e) => done(String(e)));
            """, path)


def settled_count(page, sim, pattern):
    """The simulator's count of lines, once it stopped growing."""
    seen = []

    def still():
        seen.append(sim.count(pattern))
        recent = seen[-SETTLED_POLLS:]
        return len(recent) == SETTLED_POLLS and len(set(recent)) == 1

    page.until("the held button's presses to end", still)
    return seen[-1]


def exchange_pattern(command):
    # The simulator prints a command's characters one by one: "in: C 0 9  [CR]".
    return r"in: " + r" ".join(re.escape(c) for c in command) + r"\s+\[CR\]"


def operator_case(page, sim, size):
    page.open()
    page.sign_in(OPERATOR)
    if size == "phone":
        overflow = page.driver.execute_script(
            "return document.documentElement.scrollWidth - window.innerWidth")
        if overflow > 0:
            raise Failure(f"{size}: the page is {overflow} px wider than the screen")
        for element_id in ["action-power-on", "action-volume-up", "button-1"]:
            box = page.reach(element_id).rect
            if box["width"] < 44 or box["height"] < 44:
                raise Failure(f"{size}: {element_id} is {box['width']}x{box['height']} px, "
                              "smaller than a thumb's 44x44")

    page.power("action-power-on", ["Warming up", "On"])

    # The panel and kavoctl use the same projector meanwhile, through the
    # service's socket: the page sees both.
    page.until("the panel among the clients",
               lambda: any(who.startswith("unix:") for who in page.clients()))
    done = subprocess.run([NEIGHBOURS["kavoctl"], "--device", "unix:" + NEIGHBOURS["socket"],
                           "mute", "picture", "off"], capture_output=True, text=True,
                          timeout=STEP_WAIT_S)
    if done.returncode != 0:
        raise Failure(f"{size}: kavoctl beside the page failed ({done.returncode}): "
                      f"{done.stderr.strip()}")
    page.until("kavoctl's exchange in the journal", lambda: re.search(
        r"unix:\S+\s*TxD: C 0 E", page.text("journal-list")) is not None)

    page.reach("action-input-2").click()
    page.until("the state's input to follow", lambda: page.find("action-input-2")
               .get_attribute("aria-pressed") == "true")

    volume = exchange_pattern("C09")
    before = sim.count(volume)
    held = page.reach("action-volume-up")
    ActionChains(page.driver).click_and_hold(held).pause(HOLD_S).release().perform()
    presses = settled_count(page, sim, volume) - before
    if presses not in HOLD_PRESSES:
        raise Failure(f"{size}: holding VOLUME up for {HOLD_S} s sent {presses} commands, "
                      f"not {HOLD_PRESSES.start}..{HOLD_PRESSES.stop - 1}")

    who = f"http:{OPERATOR[0]}@127.0.0.1"
    page.until(f"the journal to name {who}", lambda: who in page.text("journal-list"))

    # Back to standby, so that the next size starts where this one did.
    page.power("action-power-off", ["Cooling down", "Standby"])
    page.sign_out()


def viewer_case(page, sim, size):
    page.open()
    page.sign_in(VIEWER)
    page.until("the note that the account may only watch", lambda: page.shown("viewer-note"))
    # The simulator's lamp is past 1500 h from the start: an open alert.
    page.until("the open lamp hours alert",
               lambda: "Lamp hours at or past the alert level" in page.text("alerts-open"))
    for element_id in ["action-power-on", "action-volume-up", "button-1", "console-send"]:
        if page.find(element_id).is_enabled():
            raise Failure(f"{size}: the viewer may press {element_id}")
    status = page.post_status("/api/v1/button/1")
    if status != 403:
        raise Failure(f"{size}: the viewer's POST /api/v1/button/1 answered {status}, not 403")
    page.sign_out()


CASES = [operator_case, viewer_case]
# The panel and kavoctl beside the page: their paths and the service's socket.
NEIGHBOURS = {}


def program_paths(description, *names):
    """The programs a test is given as --NAME PATH, each an absolute path."""
    parser = argparse.ArgumentParser(description=description)
    for name in names:
        parser.add_argument("--" + name, required=True)
    return {name: os.path.abspath(path) for name, path in vars(parser.parse_args()).items()}


def main():
    programs = program_paths(__doc__, "service", "sim", "kavoctl", "panel")
    service_program = programs["service"]
    sim_program = programs["sim"]

    def body(run):
        workdir = run.workdir
        sim = run.start("sim", [sim_program, "--listen", "127.0.0.1:0", "--warmup-ms", "2000",
                                "--cooldown-ms", "2000"])
        device = sim.wait_for(r"listening on (socket://127\.0\.0\.1:\d+)", "its port").group(1)

        users = os.path.join(workdir, "users")
        for account in [OPERATOR, VIEWER]:
            add_account(service_program, users, account)
        service = run.start("service", [service_program, "--device", device, "--socket",
                                        os.path.join(workdir, "p.sock"), "--http", "127.0.0.1:0",
                                        "--users", users, "--description", "Room 2.14",
                                        "--lamp-alert-hours", "1500"])
        url = service.wait_for(r"web page on (http://127\.0\.0\.1:\d+/)", "its port").group(1)
        service.wait_for(r"serving on unix:", "its socket")

        # The panel on COM1, which is the service's socket, without a display.
        NEIGHBOURS.update(kavoctl=programs["kavoctl"],
                          socket=os.path.join(workdir, "p.sock"))
        config = os.path.join(workdir, "config")
        os.makedirs(os.path.join(config, "KAVO", "ports"))
        with open(os.path.join(config, "KAVO", "ports", "COM1"), "w") as entry:
            entry.write("unix:" + NEIGHBOURS["socket"] + "\n")
        with open(os.path.join(config, "KAVO.conf"), "w") as stored:
            stored.write("[StartUP]\nComPort=1\nBaudRate=192\n")
        run.start("panel", [programs["panel"]],
                  dict(os.environ, XDG_CONFIG_HOME=config, QT_QPA_PLATFORM="offscreen"))

        run.driver = driver = start_browser(os.path.join(workdir, "profile"))
        for size, width, height in SIZES:
            driver.set_window_size(width, height)
            page = Page(driver, url, size)
            for case in CASES:
                case(page, sim, size)
                print(f"ok: {size} {case.__name__}", flush=True)

    return bounded("kavo-browser-", WHOLE_RUN_S, body)


if __name__ == "__main__":
    sys.exit(main())
