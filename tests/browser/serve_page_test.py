#!/usr/bin/python3
"""The live view in a real browser: kqmon serve and kqdemo run as a user runs them, headless Chromium
opens the printed URL, and the test works the page as a person would (attach, filter, send a value)
while checking what the grid shows.

    serve_page_test.py BUILD_DIR            the functional test (exit 0 when every check held)
    serve_page_test.py BUILD_DIR --flood N  N seconds of kqdemo at 500,000 statements/s; prints the
                                            page's own counters (a measurement, not a test)
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

WAIT = 20  # seconds for anything the page should show; generous, the machine may be busy


class Scenario:
    def __init__(self, build):
        self.tools = os.path.join(build, "tools")
        self.tmp = tempfile.mkdtemp(prefix="kq-browser-")
        self.env = dict(os.environ, KQ_NAMESPACE="browser-%d" % os.getpid())
        self.processes = []
        self.driver = None

    def start(self, name, args, **kwargs):
        out = open(os.path.join(self.tmp, "%s.out" % name), "wb")
        err = open(os.path.join(self.tmp, "%s.err" % name), "wb")
        process = subprocess.Popen([os.path.join(self.tools, args[0])] + args[1:], env=self.env, stdout=out,
                                   stderr=err, **kwargs)
        process.name = name
        self.processes.append(process)
        return process

    def output(self, name, stream="out"):
        with open(os.path.join(self.tmp, "%s.%s" % (name, stream)), encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_output(self, name, pattern, timeout=WAIT):
        deadline = time.time() + timeout
        while time.time() < deadline:
            match = re.search(pattern, self.output(name))
            if match:
                return match
            time.sleep(0.1)
        raise AssertionError("%s never printed %r; it printed:\n%s\n%s" % (name, pattern, self.output(name),
                                                                           self.output(name, "err")))

    def serve(self, *options):
        self.start("kqmon", ["kqmon", "serve", "--port", "0", "--duration", "300"] + list(options))
        return self.wait_for_output("kqmon", r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+").group(0)

    def browser(self, url):
        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1400,900", "--user-data-dir=" + os.path.join(self.tmp, "profile")):
            options.add_argument(flag)
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        self.driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                       options=options)
        self.driver.get(url)
        return self.driver

    def close(self):
        if self.driver:
            self.driver.quit()
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)


def until(driver, condition, what, timeout=WAIT):
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: condition())
    except TimeoutException:
        raise AssertionError("the page never showed " + what) from None


def snapshot(driver):
    return driver.execute_script("return window.kqView.snapshot()")


def visible_rows(driver):
    """The grid rows the browser actually draws, as (kind, ref, text, client ID)."""
    return driver.execute_script("""
        return [...document.querySelectorAll('#grid-rows .row')].filter((r) => r.style.display !== 'none')
            .map((r) => [r.dataset.kind, r.querySelector('.ref').textContent, r.querySelector('.text').textContent,
                         r.dataset.client]);""")


def client_row(driver, client_id):
    rows = driver.find_elements(By.CSS_SELECTOR, '#clients tr[data-client="%d"]' % client_id)
    return rows[0] if rows else None


def after_last_log_start(rows, name, client_id=None):
    """The rows after the client's last log start; only that client's when its ID is given (the page
    shows every client's statements, each row saying whose it is)."""
    starts = [i for i, row in enumerate(rows) if row["kind"] == "l" and name in row["text"]]
    after = rows[starts[-1] + 1:] if starts else []
    return [row for row in after if client_id is None or row["client"] == client_id]


def functional(build):
    s = Scenario(build)
    try:
        # A ring that holds the ordered statements below whole, yet a burst laps it.
        url = s.serve("--buffer-size", "16")
        s.start("first", ["kqdemo", "--id", "101", "--name", "first", "--no-outcomes", "--count", "100000", "--rate", "2",
                          "--wait", "0"])
        driver = s.browser(url)
        until(driver, lambda: "watching client 101" in driver.find_element(By.ID, "watch-state").text,
              "the first client watched")
        assert "token=" not in driver.current_url, "the token stays out of the address bar"

        orders = s.start("orders", ["kqdemo", "--id", "4711", "--name", "Orders DB", "--file", "-", "--wait", "0"],
                         stdin=subprocess.PIPE)
        until(driver, lambda: client_row(driver, 4711) is not None and "live" in client_row(driver, 4711).text,
              "the new client in the list, live")
        assert "Orders DB" in client_row(driver, 4711).text
        client_row(driver, 4711).find_element(By.CSS_SELECTOR, "button.attach").click()
        until(driver, lambda: "watching client 4711 (Orders DB)" in driver.find_element(By.ID, "watch-state").text,
              "the attach to Orders DB")
        until(driver, lambda: any(row["kind"] == "l" and "Orders DB" in row["text"] for row in snapshot(driver)),
              "Orders DB's log start")

        statements = ["SELECT c.id, c.name FROM customers c WHERE c.id = %d" % n if n % 3 == 0 else
                      "INSERT INTO orders (customer_id, status) VALUES (%d, 'open')" % n if n % 3 == 1 else
                      "UPDATE products SET stock = stock - %d WHERE sku = 'SKU-1042'" % n for n in range(60)]
        # Two of them with the outcome their driver reported (kqdemo reads it from the line before).
        outcomes = {5: "-- kq-outcome: duration_us=1500 status=error sqlstate=23505 code=1062 message=duplicate key",
                    6: "-- kq-outcome: duration_us=250000 rows=7"}
        orders.stdin.write("".join((outcomes[n] + "\n" if n in outcomes else "") + t + "\n"
                                   for n, t in enumerate(statements)).encode())
        orders.stdin.flush()
        until(driver, lambda: len(after_last_log_start(snapshot(driver), "Orders DB", 4711)) >= len(statements),
              "all %d statements of Orders DB" % len(statements))
        shown = after_last_log_start(snapshot(driver), "Orders DB", 4711)
        assert [row["text"] for row in shown] == statements, "the grid shows the statements in order: %r" % shown
        assert [row["ref"] for row in shown] == list(range(2, 2 + len(statements))), [row["ref"] for row in shown]
        assert all(re.fullmatch(r"\d\d:\d\d:\d\d\.\d{3}", row["time"]) for row in shown), shown[0]
        drawn = [row for row in visible_rows(driver) if row[3] == "4711"]
        assert drawn and drawn[-1][2] == statements[-1], "the browser draws the newest row last: %r" % drawn[-3:]
        assert (shown[5]["status"], shown[5]["dur"]) == ("error", 1.5), shown[5]
        assert (shown[6]["status"], shown[6]["dur"], shown[6]["rows"]) == ("ok", 250, 7), shown[6]
        assert shown[7]["dur"] is None and shown[7]["status"] == "", shown[7]
        # The time column shows hh:mm:ss.mmm whole, not cut.
        cut_times = driver.execute_script("""
            return [...document.querySelectorAll('#grid-rows .row .time')].filter((t) => t.offsetParent !== null
                && t.scrollWidth > t.clientWidth).length""")
        assert cut_times == 0, "%d time cell(s) cut" % cut_times
        # The client left behind is still live (it answers the ping that the switch sends), no longer watched.
        until(driver, lambda: "live" in client_row(driver, 101).text, "the first client live after the switch")
        until(driver, lambda: "watched" in client_row(driver, 4711).text and "watched" not in client_row(driver, 101).text,
              "the list saying which client is watched")
        # Counted per client, as received; the client filter keeps one client's rows in view.
        per_client = driver.execute_script("return window.kqView.perClient()")
        assert per_client["4711"]["statements"] == len(statements), per_client
        assert per_client["101"]["statements"] >= 1, per_client
        until(driver, lambda: client_row(driver, 4711).find_element(By.CSS_SELECTOR, ".received").text == str(len(statements)),
              "the list's count of Orders DB's statements")
        Select(driver.find_element(By.ID, "client-filter")).select_by_value("101")
        until(driver, lambda: {r["client"] for r in snapshot(driver)} == {101}, "only the first client's rows in view")
        Select(driver.find_element(By.ID, "client-filter")).select_by_value("")
        until(driver, lambda: {r["client"] for r in snapshot(driver)} >= {101, 4711}, "every client's rows again")

        # A minimum duration keeps only the slower statement; a row opens with its whole text.
        driver.find_element(By.ID, "min-duration").send_keys("100")
        until(driver, lambda: [r["text"] for r in snapshot(driver) if r["kind"] == "s"] == [statements[6]],
              "only the 250 ms statement at 100 ms and more")
        row = [r for r in driver.find_elements(By.CSS_SELECTOR, "#grid-rows .row") if r.get_attribute("data-kind") == "s"
               and r.is_displayed()][0]
        row.click()
        until(driver, lambda: driver.find_element(By.ID, "detail").is_displayed(), "the opened row")
        assert driver.find_element(By.ID, "detail-text").text == statements[6]
        assert "250.000 ms" in driver.find_element(By.ID, "detail-title").text
        exported = driver.execute_script("return window.kqView.exportJson()").splitlines()
        assert [json.loads(line)["db.query.text"] for line in exported if '"statement"' in line] == [statements[6]], \
            exported
        csv_lines = driver.execute_script("return window.kqView.exportCsv()").split("\r\n")
        assert csv_lines[0].startswith("kind,ref,start,end,duration_ms,rows,status"), csv_lines[0]
        assert any(line.startswith("statement,") and ",250," in line and ",7,ok," in line for line in csv_lines), \
            csv_lines
        # Emptied as a user does, with the input event that clear() does not send.
        driver.execute_script("const box = document.getElementById('min-duration'); box.value = '';"
                              " box.dispatchEvent(new Event('input'))")
        until(driver, lambda: len(after_last_log_start(snapshot(driver), "Orders DB", 4711)) == len(statements),
              "every statement again without a minimum duration")
        driver.find_element(By.ID, "detail-close").click()
        # The error row is marked.
        until(driver, lambda: driver.execute_script(
            "return [...document.querySelectorAll('#grid-rows .row.err')].some((r) => r.offsetParent !== null"
            " && r.textContent.includes('ERROR 23505'))") or driver.execute_script(
            "return window.kqView.snapshot().some((r) => r.status === 'error')"), "the error row")
        series = driver.execute_script("return window.kqView.chartSeries()")
        assert sum(p["count"] for p in series) >= len(statements), "the chart counts the statements"
        assert sum(p["errors"] for p in series) >= 1, "the chart marks the error"
        assert any(p["p95"] is not None and p["p95"] >= 250 for p in series), "the band holds the 250 ms statement"

        box = driver.find_element(By.ID, "filter")
        box.send_keys("insert INTO orders")
        inserts = [t for t in statements if "INSERT INTO orders" in t]
        until(driver, lambda: [r["text"] for r in after_last_log_start(snapshot(driver), "Orders DB", 4711)] == inserts,
              "only the statements that match the filter")
        assert all("insert into orders" in r["text"].lower() for r in snapshot(driver) if r["kind"] == "s")
        drawn = [row for row in visible_rows(driver) if row[0] == "s"]
        assert drawn and all("INSERT INTO orders" in row[2] for row in drawn), drawn
        # Statements that come while the filter is set are kept too, and show once it is cleared.
        later = ["SELECT %d AS later" % n for n in range(30)]
        orders.stdin.write(("\n".join(later) + "\n").encode())
        orders.stdin.flush()
        until(driver, lambda: driver.execute_script("return window.kqView.counters.filteredOut")
              >= len(statements) - len(inserts) + len(later), "the later statements kept but not in view")
        box.clear()
        box.send_keys(" ")  # an input event with an empty filter
        until(driver, lambda: len(after_last_log_start(snapshot(driver), "Orders DB", 4711)) == len(statements) + len(later),
              "every statement again once the filter is empty, also those that came while it was set")

        value = driver.find_element(By.ID, "signal-value")
        value.clear()
        value.send_keys("4242")
        driver.find_element(By.ID, "signal-send").click()
        s.wait_for_output("orders", r"kqdemo: Orders DB: the monitor sent 4242")
        until(driver, lambda: "sent 4242 to client 4711" in driver.find_element(By.ID, "request-result").text,
              "the answer to the sent value")
        assert "the monitor sent" not in s.output("first"), "only the watched client got the value"

        # Bursts far larger than the 16 KB ring: the monitor cannot read them all in time.
        burst = "".join("SELECT %d FROM burst WHERE padding = '%s'\n" % (n, "x" * 40) for n in range(50000))
        for _ in range(5):
            orders.stdin.write(burst.encode())
            orders.stdin.flush()
            try:
                until(driver, lambda: driver.execute_script("return window.kqView.counters.gaps") > 0, "a gap", 5)
                break
            except AssertionError:
                pass
        orders.stdin.close()
        orders.wait(WAIT)
        until(driver, lambda: "watching" not in driver.find_element(By.ID, "watch-state").text, "the client's leaving")
        until(driver, lambda: any(r["kind"] == "g" for r in snapshot(driver)), "a gap row after the ring lapped")
        # The grid draws the rows in sight only: scroll the gap into sight, paused so that it stays there.
        index = next(i for i, r in enumerate(snapshot(driver)) if r["kind"] == "g")
        driver.find_element(By.ID, "pause").click()
        driver.execute_script("document.getElementById('grid').scrollTop = arguments[0] * 20", index)
        until(driver, lambda: driver.find_elements(By.CSS_SELECTOR, "#grid-rows .row.gap"), "a drawn gap row")
        gap = driver.find_elements(By.CSS_SELECTOR, "#grid-rows .row.gap")[0].text
        assert re.search(r"gap: \d+ statement\(s\) from ref \d+ evicted before they were read", gap), gap
        counters = driver.execute_script("return window.kqView.counters")
        assert counters["gaps"] > 0 and counters["lost"] > 0, counters
    except AssertionError:
        # What the tools said and what the grid held, to tell a page fault from a monitor fault.
        for name in ("kqmon", "first", "orders"):
            if os.path.exists(os.path.join(s.tmp, name + ".err")):
                print("--- %s:\n%s%s" % (name, s.output(name)[-2000:], s.output(name, "err")[-2000:]))
        if s.driver:
            print("--- grid tail: %r" % snapshot(s.driver)[-8:])
            print("--- counters: %r" % s.driver.execute_script("return window.kqView.counters"))
        raise
    else:
        print("browser: the page listed the client, attached to it, showed its %d statements in order with their "
              "outcomes, filtered them keeping what came meanwhile, kept a minimum duration, opened and exported "
              "rows, charted them, sent a value that reached its callback and showed a gap row (%d gap(s), %d lost)"
              % (len(statements), counters["gaps"], counters["lost"]))
    finally:
        s.close()


def flood(build, seconds):
    s = Scenario(build)
    try:
        url = s.serve()
        driver = s.browser(url)
        until(driver, lambda: "waiting" in driver.find_element(By.ID, "watch-state").text, "the page")
        rate = 500000
        s.start("flood", ["kqdemo", "--id", "5000", "--name", "flood", "--count", str(rate * seconds), "--rate",
                          str(rate), "--wait", "1"])
        until(driver, lambda: "watching client 5000" in driver.find_element(By.ID, "watch-state").text, "the attach")
        time.sleep(1.5)
        driver.execute_script("window.kqView.resetFrameStats()")
        first = driver.execute_script("return window.kqView.counters")
        start = time.time()
        probes = []
        while time.time() - start < seconds - 2:
            t = time.time()
            driver.execute_script("return window.kqView.rowsInView()")
            probes.append(time.time() - t)
            time.sleep(0.25)
        last = driver.execute_script("return window.kqView.counters")
        elapsed = time.time() - start
        rows = driver.execute_script("return window.kqView.rowsInView()")
        s.processes[-1].wait(WAIT)
        time.sleep(2)
        tally = driver.find_element(By.ID, "tally").text
        received = last["statements"] - first["statements"]
        print("flood: kqdemo at %d statements/s for %d s; over %.1f s the page received %d statement object(s) "
              "(%.0f/s), %.1f MB; server left out %d for the page, page skipped %d unparsed, evicted %d; "
              "rows in view %d; gaps seen %d (%d lost); longest frame %.0f ms, longest stream task %.0f ms, "
              "script round trip max %.0f ms (median %.0f ms); %s; kqdemo: %s"
              % (rate, seconds, elapsed, received, received / elapsed, (last["bytes"] - first["bytes"]) / 1e6,
                 last["serverDropped"] - first["serverDropped"], last["notShown"] - first["notShown"],
                 last["evicted"] - first["evicted"], rows, last["gaps"], last["lost"], last["longestFrameMs"],
                 last["longestTaskMs"], max(probes) * 1000, sorted(probes)[len(probes) // 2] * 1000, tally,
                 s.output("flood", "err").strip().splitlines()[-1]))
    finally:
        s.close()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/linux")
    if "--flood" in sys.argv:
        flood(build, int(sys.argv[sys.argv.index("--flood") + 1]))
    else:
        functional(build)


if __name__ == "__main__":
    main()
