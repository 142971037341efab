#!/usr/bin/env python3
"""A building of three projectors on one broker, seen from one service's web
page in a real browser: Debian's mosquitto on a free loopback port, three
simulated projectors, three services in two groups. The view lists all three
with their groups; a group power off from the page reaches exactly the group;
a service killed shows as offline; the broker restarted, the view and the
services recover by themselves.

Every wait is bounded and the processes are ended whatever happens.
"""

import os
import re
import socket
import subprocess
import sys
import time

from browser_test import (Failure, Page, add_account, bounded, exchange_pattern,
                          program_paths, start_browser)
from selenium.webdriver.support.ui import Select

WHOLE_RUN_S = 200  # below ctest's TIMEOUT, so that the clean-up still runs
OPERATOR = ("olga", "operator", "correct horse 1")
# name, groups; the page is hall-a's.
PROJECTORS = [
    ("hall-a", ["floor-2", "lecture-halls"]),
    ("hall-b", ["floor-2"]),
    ("hall-c", ["floor-3"]),
]
GROUP = "floor-2"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    """mosquitto on loopback, without persistence: a restart forgets every
    retained message, which the services must then publish again."""

    def __init__(self, run):
        self.port = free_port()
        self.run = run
        self.config = os.path.join(run.workdir, "mosquitto.conf")
        with open(self.config, "w") as config:
            config.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                         "persistence false\n")
        self.child = None
        self.start()

    def start(self):
        self.child = self.run.start("broker", ["mosquitto", "-c", self.config])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise Failure("the broker did not listen within 10 s:\n" + self.child.tail())

    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"


def building_rows(page):
    """The view's rows as {name: {column heading: text}}."""
    return page.driver.execute_script(
        """
        const headings = [...document.querySelectorAll('#building thead th')]
          .map((th) => th.textContent.trim());
        const rows = {};
        for (const tr of document.querySelectorAll('#building-rows tr')) {
          const cells = [...tr.children].map((cell) => cell.textContent.trim());
          const row = {};
          headings.forEach((heading, n) => { row[heading] = cells[n] || ''; });
          rows[row.Name.split(' ')[0]] = row;
        }
        return rows;
        """)


def until_rows(page, what, condition):
    page.until(what, lambda: condition(building_rows(page)))


def main():
    programs = program_paths(__doc__, "service", "sim", "kavoctl")
    kavoctl, service_program, sim_program = (programs["kavoctl"], programs["service"],
                                             programs["sim"])

    def body(run):
        workdir = run.workdir
        broker = Broker(run)
        users = os.path.join(workdir, "users")
        add_account(service_program, users, OPERATOR)
        sims, services = {}, {}
        url = None
        for name, groups in PROJECTORS:
            sims[name] = sim = run.start(f"sim-{name}", [sim_program, "--listen", "127.0.0.1:0",
                                                         "--warmup-ms", "1500",
                                                         "--cooldown-ms", "1500"])
            device = sim.wait_for(r"listening on (socket://127\.0\.0\.1:\d+)",
                                  "its port").group(1)
            argv = [service_program, "--device", device, "--name", name,
                    "--socket", os.path.join(workdir, f"{name}.sock"),
                    "--mqtt", broker.url(), "--description", f"Room of {name}"]
            for group in groups:
                argv += ["--group", group]
            if name == "hall-a":
                argv += ["--http", "127.0.0.1:0", "--users", users]
            services[name] = service = run.start(name, argv)
            if name == "hall-a":
                url = service.wait_for(r"web page on (http://127\.0\.0\.1:\d+/)",
                                       "its port").group(1)

        run.driver = driver = start_browser(os.path.join(workdir, "profile"))
        driver.set_window_size(1280, 900)
        page = Page(driver, url, "desktop")
        page.open()
        page.sign_in(OPERATOR)
        page.reach("building-link")

        until_rows(page, "all three projectors listed online with their groups", lambda rows: all(
            name in rows and rows[name]["Availability"] == "online"
            and all(group in rows[name]["Groups"] for group in groups)
            for name, groups in PROJECTORS))
        print("ok: three projectors listed", flush=True)

        group_actions(page, sims, services)
        kavoctl_across(kavoctl, broker, services, KAVOCTL_ALIVE)

        # A service that dies leaves its will on the broker: offline.
        services["hall-c"].process.kill()
        until_rows(page, "hall-c shown offline after it was killed",
                   lambda rows: rows.get("hall-c", {}).get("Availability") == "offline")
        print("ok: a killed service shown offline", flush=True)

        # The broker restarted: it has forgotten everything retained; the
        # services connect again and announce themselves, the view follows.
        lost = services["hall-a"].count(r"connection to the MQTT broker .* was lost")
        broker.child.stop()
        page.until("hall-a to notice the broker gone", lambda: services["hall-a"].count(
            r"connection to the MQTT broker .* was lost") > lost)
        connected = services["hall-a"].count(r"connected to the MQTT broker")
        broker.start()
        page.until("hall-a to connect again", lambda: services["hall-a"].count(
            r"connected to the MQTT broker") > connected)
        until_rows(page, "hall-a and hall-b online again after the broker's restart",
                   lambda rows: all(rows.get(name, {}).get("Availability") == "online"
                                    for name in ("hall-a", "hall-b"))
                   and rows.get("hall-c", {}).get("Availability") != "online")
        # What the broker forgot is there again: each living service's
        # announcement, retained.
        retained = subprocess.run(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", "kavo/+/info",
             "-F", "%t", "-W", "3"], capture_output=True, text=True, timeout=10).stdout.split()
        if sorted(retained) != ["kavo/hall-a/info", "kavo/hall-b/info"]:
            raise Failure(f"after the broker's restart it holds {retained}, not the "
                          "announcements of hall-a and hall-b")
        print("ok: the broker restarted, the view recovered", flush=True)

    return bounded("kavo-building-", WHOLE_RUN_S, body)


# kavoctl's verbs across the building through real services (its refusals and
# tallies are kavoctl's own test's): its arguments after --broker URL, the exit
# status, a line its output must hold, the service whose journal then names
# kavoctl (or None).
KAVOCTL_ALIVE = [
    (["input", "2", "hall-b", "hall-c", "--wait=20"], 0, r"hall-c\s+reached\s+input_2", "hall-b"),
]


def kavoctl_across(kavoctl, broker, services, rows):
    for arguments, status, shown, journal in rows:
        done = subprocess.run([kavoctl, "--broker", broker.url(), *arguments],
                              capture_output=True, text=True, timeout=60)
        output = done.stdout + done.stderr
        if done.returncode != status or not re.search(shown, output):
            raise Failure(f"kavoctl {' '.join(arguments)} exited {done.returncode}, not "
                          f"{status}, or did not say {shown!r}:\n{output}")
        if journal:
            services[journal].wait_for(r"mqtt:kavoctl:\S+\s+TxD: C 0 6", "kavoctl as who asked")
        print(f"ok: kavoctl {' '.join(arguments)}", flush=True)


def results(page):
    """The page's results of the last group action: {name: "outcome (detail)"}."""
    return dict(line.split(": ", 1) for line in page.driver.execute_script(
        "return [...document.querySelectorAll('#building-results-list li')]"
        ".map((li) => li.textContent.trim());") if ": " in line)


def ask_building(page, button, names, outcome):
    page.reach(button).click()
    if button == "building-power-off" and len(names) > 1:
        page.reach("building-confirm-yes").click()
    page.until(f"{', '.join(names)} to be {outcome} and no other asked", lambda: sorted(
        name for name, result in results(page).items() if result.startswith(outcome))
        == sorted(names) and len(results(page)) == len(names))


def group_actions(page, sims, services):
    """Every projector on, chosen by hand; then the group off: exactly its
    projectors get the command, and their journals name who asked."""
    everyone = [name for name, _ in PROJECTORS]
    page.reach("building-select-shown").click()
    ask_building(page, "building-power-on", everyone, "reached")
    until_rows(page, "all three on", lambda rows: all(
        rows.get(name, {}).get("Power") == "On" for name in everyone))
    page.reach("building-select-none").click()
    Select(page.reach("building-group")).select_by_visible_text(GROUP)
    grouped = [name for name, groups in PROJECTORS if GROUP in groups]
    ask_building(page, "building-power-off", grouped, "reached")
    Select(page.reach("building-group")).select_by_index(0)
    until_rows(page, f"{GROUP} in standby, the others on", lambda rows: all(
        rows.get(name, {}).get("Power") == ("Standby" if name in grouped else "On")
        for name in everyone))
    power_off = exchange_pattern("C01")
    for name in everyone:
        if (sims[name].count(power_off) > 0) != (name in grouped):
            raise Failure(f"the group power off of {GROUP} reached {name}'s projector "
                          f"{sims[name].count(power_off)} times")
    for name in grouped:
        services[name].wait_for(r"mqtt:olga@hall-a\s+TxD: C 0 1", "who asked for power off")
    print("ok: a group power off reached exactly its group", flush=True)


if __name__ == "__main__":
    sys.exit(main())
