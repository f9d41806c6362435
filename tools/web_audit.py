#!/usr/bin/python3
"""Measures the conference page as Lighthouse and axe-core see it.

Lighthouse (mobile, its default): performance, accessibility and best
practices, each out of 100. axe-core: the violations in each of the page's
three states, not joined, joined (before the first line) and entered.
Both run in Debian's Chromium; tools/setup-web-audit.sh installs them into
the build tree.

By default the page is served by confweb from the native build, in front of
a confrelay of its own, both on loopback. With --stand-in it is served by
the browser tests' scripted gateway instead, straight from web/page, with
the policy, manifest type and messages the page expects of the gateway.
The exit status is 1 when a figure misses its mark (performance 95,
accessibility 100, best practices 100, no axe violation).
"""
import argparse
import json
import os
import subprocess
import sys
import time
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
import confweb_test as process  # noqa: E402
from chromium import CHROMIUM, Browser  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CATEGORIES = ("performance", "accessibility", "best-practices")
MARKS = {"performance": 95, "accessibility": 100, "best-practices": 100}
WAIT = 20.0


def serve(args):
    """Starts what serves the page; returns its URL and a function that stops it."""
    if args.stand_in:
        import confweb_browser_test
        gateway = confweb_browser_test.FakeGateway()
        return gateway.url, gateway.stop
    process.ARGS = SimpleNamespace(confweb=os.path.join(args.build, "web", "confweb"),
                                   confrelay=os.path.join(args.build, "server", "confrelay"))
    for program in (process.ARGS.confweb, process.ARGS.confrelay):
        if not os.access(program, os.X_OK):
            sys.exit(f"web-audit: {program} is missing: build the native configuration first")
    relay = process.Relay()
    gateway = process.Gateway(relay.port)

    def stop():
        gateway.stop()
        relay.stop()
    return gateway.origin + "/", stop


def lighthouse(url, tools, out):
    cli = os.path.join(tools, "node_modules", "lighthouse", "cli", "index.js")
    if not os.path.exists(cli):
        sys.exit(f"web-audit: {cli} is missing: run tools/setup-web-audit.sh")
    report = os.path.join(out, "lighthouse.json")
    subprocess.run(["node", cli, url, "--quiet", "--output=json", f"--output-path={report}",
                    f"--only-categories={','.join(CATEGORIES)}",
                    "--chrome-flags=--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage"],
                   check=True, env=dict(os.environ, CHROME_PATH=CHROMIUM), timeout=300)
    with open(report, encoding="utf-8") as file:
        result = json.load(file)
    scores = {name: round(result["categories"][name]["score"] * 100) for name in CATEGORIES}
    # What cost points, to know where to look.
    lost = sorted(f"{audit['id']} ({audit['score']})" for audit in result["audits"].values()
                  if audit.get("score") is not None and audit["score"] < 1
                  and audit.get("scoreDisplayMode") in ("binary", "numeric", "metricSavings"))
    metrics = {name: result["audits"][name]["displayValue"]
               for name in ("first-contentful-paint", "largest-contentful-paint", "total-blocking-time",
                            "cumulative-layout-shift", "speed-index")}
    return scores, lost, metrics


def axe(url, tools):
    with open(os.path.join(tools, "node_modules", "axe-core", "axe.min.js"), encoding="utf-8") as file:
        source = file.read()
    browser = Browser(width=412, height=823)
    driver = browser.driver
    driver.set_script_timeout(WAIT)
    wait = WebDriverWait(driver, WAIT, poll_frequency=0.05)

    def state_is(state):
        wait.until(lambda _: driver.execute_script("return document.body.dataset.state") == state, state)
        # One frame more, so that what the state shows is laid out.
        driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")

    def check():
        # DevTools' evaluation is not bound by the page's script policy.
        driver.execute_script(source)
        found = driver.execute_async_script(
            "axe.run(document, {resultTypes: ['violations']}).then((r) => arguments[0]("
            " r.violations.map((v) => v.id + ' (' + v.impact + ', ' + v.nodes.length + ')')))")
        return found

    try:
        results = {}
        driver.get(url)
        state_is("not-joined")
        results["not joined"] = check()
        driver.find_element(By.ID, "name").send_keys("監査")
        driver.find_element(By.ID, "join").click()
        state_is("joined")
        results["joined"] = check()
        driver.find_element(By.ID, "line").send_keys("監査のため入室します")
        driver.find_element(By.ID, "send").click()
        state_is("entered")
        results["entered"] = check()
        for scheme in ("dark",):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
                "features": [{"name": "prefers-color-scheme", "value": scheme}]})
            results[f"entered, {scheme}"] = check()
        return results
    finally:
        browser.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"), help="native build folder")
    parser.add_argument("--tools", default=os.path.join(ROOT, "build", "web-audit"), help="where the npm tools are")
    parser.add_argument("--out", default=None, help="folder for the reports (default: the tools folder)")
    parser.add_argument("--stand-in", action="store_true", help="serve the page from the tests' scripted gateway")
    args = parser.parse_args()
    out = args.out or args.tools
    os.makedirs(out, exist_ok=True)

    url, stop = serve(args)
    try:
        started = time.monotonic()
        scores, lost, metrics = lighthouse(url, args.tools, out)
        violations = axe(url, args.tools)
    finally:
        stop()
    served = "the tests' stand-in gateway" if args.stand_in else "confweb"
    print(f"page served by {served} at {url} ({time.monotonic() - started:.0f} s)")
    print("lighthouse (mobile): " + ", ".join(f"{name} {score}" for name, score in scores.items()))
    print("  " + ", ".join(f"{name} {value}" for name, value in metrics.items()))
    if lost:
        print("  below full marks: " + ", ".join(lost))
    for state, found in violations.items():
        print(f"axe-core, {state}: " + (", ".join(found) if found else "no violations"))
    missed = [name for name, score in scores.items() if score < MARKS[name]]
    missed += [state for state, found in violations.items() if found]
    if missed:
        print("below the mark: " + ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
