#!/usr/bin/env python3
"""Loads the status dashboard in headless Chromium and checks what only a browser shows; the
health judgement itself is tested under node (tests/web). Run with --help for the options.

The page runs in real time over the DevTools pipe until every check holds or --timeout passes:
its modules ran without a script error, badge and input banner show the expected state, the
input chart is drawn, the table has N rows with rate and sparkline, judged worst first, only the
input's and the selected caller's charts are alive, departures are listed; the player line and the access
panel say what the options ask. A screenshot is written at the end.
Exit 1 when a check fails, 2 when Chromium could not be run.
"""

import argparse
import base64
import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
                  "--disable-background-networking", "--disable-component-update", "--disable-dev-shm-usage",
                  "--hide-scrollbars", "--window-size=1280,900", "--remote-debugging-pipe"]
RATE_RE = re.compile(r"^\d+(\.\d+)?\s*(kbit/s|Mbit/s)$")
HEALTH_RANK = {"failing": 3, "degraded": 2, "healthy": 1, "unknown": 0}
DEPARTED_SHOWN = 10

# What the checks read, gathered in the page in one go.
PROBE = r"""(() => {
  const q = (s, root = document) => root.querySelector(s);
  const txt = (el) => (el ? el.textContent : "").replace(/\s+/g, " ").trim();
  const body = document.body.dataset, banner = q("#input-health").dataset, detail = q("tr.detail-row");
  return JSON.stringify({
    state: body.state, statusApi: body.statusApi, badge: txt(q("#status-text")),
    errorBanner: !q("#error-banner").hidden,
    input: banner.inputState, headline: txt(q("#input-headline")), format: txt(q("#input-format")),
    rtpShown: !q("#input-rtp-box").hidden,
    chartSamples: Number(q("#input-chart").dataset.samples), rate: txt(q("#input-kbps")),
    chartCanvases: q("#input-chart").querySelectorAll("canvas").length,
    rows: [...document.querySelectorAll("#caller-rows tr.caller-row")].map((r) => ({
      url: r.dataset.url, health: r.dataset.health, rate: txt(q(".caller-kbps", r)),
      spark: Number(q("svg.spark", r).dataset.samples), points: q("polyline", r).getAttribute("points") })),
    liveCharts: Number(body.liveCharts), uplots: document.querySelectorAll("div.uplot").length,
    detail: detail && { title: txt(q(".detail-title", detail)), canvases: detail.querySelectorAll("canvas").length,
                        samples: Number(q(".detail-chart", detail).dataset.samples) },
    departed: document.querySelectorAll("#departed-list li.departed-item").length,
    playerHint: txt(q("#player-hint")), playerNote: !q("#player-note").hidden,
    access: !q("#access").hidden && { webauth: txt(q("#acc-webauth")),
      refused: Object.fromEntries([...document.querySelectorAll("#acc-refusals li")].map((li) =>
        [li.dataset.reason, Number(li.dataset.count)])) },
    renders: Number(body.renderCount || 0), renderMs: Number(body.renderMs || NaN),
    renderMaxMs: Number(body.renderMaxMs || NaN),
  });
})()"""


class ChromiumFailed(Exception):
    pass


class DevToolsPage:
    """One headless Chromium on a page, driven over --remote-debugging-pipe in real time.

    Chromium reads commands from its fd 3 and writes answers and events to fd 4, each a JSON text
    ended by NUL. Script errors are collected from the start of the page load.
    """

    def __init__(self, url, timeout_s):
        self.timeout_s = timeout_s
        self.profile = tempfile.mkdtemp(prefix="dashboard-check-profile-")
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()
        # Above 4, so moving them onto fds 3 and 4 in the child cannot clobber one another.
        child_r = fcntl.fcntl(to_chrome_r, fcntl.F_DUPFD_CLOEXEC, 10)
        child_w = fcntl.fcntl(from_chrome_w, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(to_chrome_r)
        os.close(from_chrome_w)

        def wire_pipe():
            os.dup2(child_r, 3)
            os.dup2(child_w, 4)

        self.proc = subprocess.Popen(
            [CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=wire_pipe, close_fds=False, start_new_session=True,  # fds 3 and 4 must survive
        )
        os.close(child_r)
        os.close(child_w)
        self.buffer = b""
        self.next_id = 0
        self.session = None
        self.errors = []
        try:
            pages = [t for t in self.call("Target.getTargets")["targetInfos"] if t.get("type") == "page"]
            if not pages:
                raise ChromiumFailed("no page target")
            target = {"targetId": pages[0]["targetId"], "flatten": True}
            self.session = self.call("Target.attachToTarget", target)["sessionId"]
            for domain in ("Runtime.enable", "Log.enable", "Page.enable"):
                self.call(domain, session=self.session)
            # The window size includes the browser's frame in headless mode too: the page gets it all.
            size = {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False}
            self.call("Emulation.setDeviceMetricsOverride", size, self.session)
            self.call("Page.navigate", {"url": url}, self.session)
        except Exception:
            self.close()
            raise

    def note_event(self, event):
        params = event.get("params", {})
        if event.get("method") == "Runtime.exceptionThrown":
            self.errors.append(params["exceptionDetails"].get("exception", {}).get("description", "exception"))
        elif event.get("method") == "Runtime.consoleAPICalled" and params.get("type") == "error":
            self.errors.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params["args"]))
        elif event.get("method") == "Log.entryAdded" and params["entry"]["level"] == "error":
            # A failed fetch is the outage under test, not a fault of the page.
            if params["entry"].get("source") != "network":
                self.errors.append(params["entry"]["text"])

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        try:
            os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        except BrokenPipeError:
            raise ChromiumFailed("chromium closed its DevTools pipe")
        deadline = time.monotonic() + self.timeout_s
        while True:
            while b"\0" in self.buffer:
                text, self.buffer = self.buffer.split(b"\0", 1)
                answer = json.loads(text)
                if "method" in answer:
                    self.note_event(answer)
                elif answer.get("id") == self.next_id:
                    if "error" in answer:
                        raise ChromiumFailed("%s: %s" % (method, answer["error"]))
                    return answer.get("result", {})
            left = deadline - time.monotonic()
            if left <= 0:
                raise ChromiumFailed("%s: no answer within %.0f s" % (method, self.timeout_s))
            if select.select([self.from_chrome], [], [], min(left, 0.5))[0]:
                chunk = os.read(self.from_chrome, 1 << 16)
                if not chunk:
                    raise ChromiumFailed("chromium closed its DevTools pipe")
                self.buffer += chunk

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, self.session)
        return result.get("result", {}).get("value")

    def probe(self):
        return json.loads(self.evaluate(PROBE) or "{}")

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"}, self.session)["data"])

    def close(self):
        with contextlib.suppress(OSError, subprocess.TimeoutExpired):
            if self.proc.poll() is None:
                os.write(self.to_chrome, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
                self.proc.wait(timeout=5)
        # Renderer and zygote children share the group and may outlive the browser process.
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        for fd in (self.to_chrome, self.from_chrome):
            with contextlib.suppress(OSError):
                os.close(fd)
        shutil.rmtree(self.profile, ignore_errors=True)


def check(p, errors, args):
    """(ok, message) for each check on one probe of the page."""
    if not p:
        return [(False, "page not loaded: %s" % errors[:3])]
    findings = []

    def expect(ok, message):
        findings.append((bool(ok), message))

    expect(not errors and p["renders"] > 0, "modules ran, no script errors: %d renders %s" % (p["renders"], errors[:3]))
    want = "ok" if args.expect_input == "receiving" else "noinput"
    expect(p["state"] == want and not p["errorBanner"], "state %r (want %r) %r" % (p["state"], want, p["badge"]))
    expect(p["input"] == args.expect_input, "input %r (want %r): %r" % (p["input"], args.expect_input, p["headline"]))
    if args.expect_input == "stalled" and p["statusApi"] == "present":
        expect(re.match(r"^Input stalled since \d\d:\d\d:\d\d$", p["headline"]), "stall headline %r" % p["headline"])
    if args.expect_status_api:
        want = args.expect_status_api
        expect(p["statusApi"] == want, "status api %r (want %r)" % (p["statusApi"], want))
    if args.expect_format:
        expect(p["format"] == args.expect_format.upper() and p["rtpShown"] == (args.expect_format == "rtp"),
               "input format %r, RTP counters shown %s" % (p["format"], p["rtpShown"]))
    expect(p["chartSamples"] > 0 and p["chartCanvases"] > 0 and RATE_RE.match(p["rate"]),
           "input chart: %d samples, %d canvases, latest %r" % (p["chartSamples"], p["chartCanvases"], p["rate"]))

    rows = p["rows"]
    expect(len(rows) == args.expect_callers, "caller rows %d (want %d)" % (len(rows), args.expect_callers))
    bad = [r for r in rows if not (r["url"] and RATE_RE.match(r["rate"]) and r["spark"] > 0 and r["points"])]
    expect(not bad, "rows with address, rate and sparkline (%d bad) %s" % (len(bad), bad[:2]))
    healths = [r["health"] for r in rows]
    if p["statusApi"] == "present":
        expect(set(healths) <= {"healthy", "degraded", "failing"}, "every row judged: %s" % sorted(set(healths)))
    ranks = [HEALTH_RANK.get(h, -1) for h in healths]
    expect(ranks == sorted(ranks, reverse=True), "rows worst first: %s" % "".join(h[0] for h in healths[:40]))
    for health, want in (("failing", args.expect_failing), ("degraded", args.expect_degraded)):
        if want is not None:
            expect(healths.count(health) == want, "%s rows %d (want %d)" % (health, healths.count(health), want))

    detail = p["detail"]
    want = 1 + (detail is not None)
    expect(p["liveCharts"] == want and p["uplots"] == want,
           "live charts %d, uPlot elements %d (want input + selected = %d)" % (p["liveCharts"], p["uplots"], want))
    if args.expect_detail == "present":
        shows = detail and detail["title"].startswith(args.select or "") and detail["samples"] > 0
        expect(shows and detail["canvases"] > 0, "selected caller %s: detail %r" % (args.select, detail))
    elif args.expect_detail == "absent":
        expect(detail is None, "no caller detail (want none): %r" % detail)
    shown = min(args.expect_departed, DEPARTED_SHOWN)
    expect(p["departed"] == shown, "departed entries %d (want %d)" % (p["departed"], shown))
    if args.expect_player_hint:
        expect(args.expect_player_hint in p["playerHint"] and p["playerNote"],
               "player line %r with the per-viewer note %s" % (p["playerHint"], p["playerNote"]))
    if args.expect_refused:
        access = p["access"] or {}
        refused = access.get("refused", {})
        want = dict(item.split("=", 1) for item in args.expect_refused)
        expect(all(refused.get(reason, 0) >= int(count) for reason, count in want.items()),
               "access panel refusals %r (want at least %r), web page %r" % (refused, want, access.get("webauth")))
    return findings


def run(args):
    """Probes the page every 200 ms until every check holds or the time is up; the last findings."""
    page = DevToolsPage(args.url + ("#caller=" + args.select if args.select else ""), args.timeout)
    try:
        deadline = time.monotonic() + args.timeout
        while True:
            findings = check(page.probe(), page.errors, args)
            if all(ok for ok, _ in findings) or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        png = page.screenshot()
        with open(args.screenshot, "wb") as f:
            f.write(png)
        is_png = png.startswith(b"\x89PNG\r\n\x1a\n")
        findings.append((is_png, "screenshot %s (%d bytes)" % (args.screenshot, len(png))))
        return findings
    finally:
        page.close()


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--url", required=True)
    p.add_argument("--screenshot", required=True, help="PNG file to write")
    p.add_argument("--expect-callers", type=int, default=0, help="exact number of caller rows")
    p.add_argument("--expect-input", choices=["receiving", "stalled", "none"], default="receiving")
    p.add_argument("--expect-status-api", choices=["present", "absent"])
    p.add_argument("--expect-failing", type=int, help="exact number of failing rows")
    p.add_argument("--expect-degraded", type=int, help="exact number of degraded rows")
    p.add_argument("--expect-departed", type=int, default=0, help="callers that left (10 are listed)")
    p.add_argument("--expect-format", choices=["ts", "rtp"], help="input format shown in the banner")
    p.add_argument("--select", help="open the page with this caller address selected")
    p.add_argument("--expect-detail", choices=["present", "absent"], help="the selected caller's detail row")
    p.add_argument("--expect-player-hint", help="text in the player line, shown with the per-viewer note")
    p.add_argument("--expect-refused", action="append", metavar="REASON=N",
                   help="at least N refusals for REASON in the access panel")
    p.add_argument("--timeout", type=float, default=60.0, help="limit for the checks to hold, seconds")
    return p.parse_args()


def main():
    args = parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        print("FAIL: %s not found" % CHROMIUM)
        return 2
    started = time.monotonic()
    try:
        findings = run(args)
    except (ChromiumFailed, OSError) as e:
        print("FAIL: chromium: %s" % e)
        return 2
    for ok, message in findings:
        print("%s  %s" % ("ok  " if ok else "FAIL", message))
    failed = sum(1 for ok, _ in findings if not ok)
    print("%d passed, %d failed (%.1f s)" % (len(findings) - failed, failed, time.monotonic() - started))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
