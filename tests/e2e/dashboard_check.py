#!/usr/bin/env python3
"""Loads the status dashboard in headless Chromium, checks what it rendered, takes a screenshot.

  dashboard_check.py --url http://127.0.0.1:PORT/ --screenshot OUT.png
                     [--expect-callers N] [--expect-input receiving|stalled|none]
                     [--expect-status-api present|absent] [--expect-failing N]
                     [--expect-degraded N] [--expect-departed N] [--expect-input-errors]
                     [--select ADDR] [--expect-detail present|absent] [--timeout S] [--budget-ms MS]
                     [--render-budget-ms MS [--render-seconds S]]

Passes (exit 0) only when, after the page has polled a few times (virtual time):
  - <body data-state> is "ok" ("noinput" with --expect-input stalled|none),
  - #input-chart holds a uPlot canvas and data-samples > 0, #input-kbps shows a rate,
  - the caller table has exactly N rows (--expect-callers), each with an address, a rate and
    a sparkline with samples; with api/v1/status every row has a health state, rows are in
    worst-first order and the failing/degraded counts match when asked,
  - the live uPlot charts are the input chart plus the selected caller's (--select ADDR opens
    the page at #caller=ADDR), none left behind; with --expect-detail present that caller's
    chart has samples, with absent (it left) its detail and chart are gone,
  - the page recorded its render times (data-render-count > 0),
  - the screenshot was written as a PNG.
With --render-budget-ms a second Chromium runs the page for --render-seconds of real time over
the DevTools pipe and the slowest render must stay within the budget: under
--virtual-time-budget performance.now() stands still while a script runs, so render times
from that run read as 0.
Exit 1 when a check fails, 2 when Chromium could not be run.
"""

import argparse
import fcntl
import html.parser
import json
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--hide-scrollbars",
]
VOID_TAGS = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}
RATE_RE = re.compile(r"^\d+(\.\d+)?\s*(kbit/s|Mbit/s)$")
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
HEALTH_RANK = {"failing": 3, "degraded": 2, "healthy": 1, "unknown": 0}
DEPARTED_SHOWN = 10
WINDOW = "--window-size=1280,900"


class ChromiumFailed(Exception):
    pass


def run_chromium(extra_args, url, timeout_s):
    """Runs one headless Chromium in its own process group; kills that group when done or late."""
    profile = tempfile.mkdtemp(prefix="dashboard-check-profile-")
    cmd = [CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, *extra_args, url]
    proc = subprocess.Popen(
        cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True
    )
    try:
        out, err = proc.communicate(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        kill_group(proc.pid)
        proc.communicate()
        raise ChromiumFailed("chromium pid %d did not finish within %.0f s; killed" % (proc.pid, timeout_s))
    finally:
        # Renderer and zygote children share the group and may outlive the browser process.
        kill_group(proc.pid)
        shutil.rmtree(profile, ignore_errors=True)
    if proc.returncode != 0:
        tail = err.decode(errors="replace").strip().splitlines()[-5:]
        raise ChromiumFailed("chromium exited with %d: %s" % (proc.returncode, " | ".join(tail)))
    return out.decode(errors="replace")


def kill_group(pid):
    if pid <= 0:
        return
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class DevToolsPage:
    """One headless Chromium on a page, driven over --remote-debugging-pipe in real time.

    Chromium reads commands from its fd 3 and writes answers to fd 4, each a JSON text ended by NUL.
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

        cmd = [CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + self.profile, WINDOW, "--remote-debugging-pipe", url]
        self.proc = subprocess.Popen(
            cmd,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            preexec_fn=wire_pipe,
            close_fds=False,  # fds 3 and 4 must survive; our other fds are close-on-exec anyway
            start_new_session=True,
        )
        os.close(child_r)
        os.close(child_w)
        self.buffer = b""
        self.next_id = 0
        self.session = None
        try:
            targets = self.call("Target.getTargets")["targetInfos"]
            pages = [t for t in targets if t.get("type") == "page"]
            if not pages:
                raise ChromiumFailed("no page target among %d" % len(targets))
            attached = self.call("Target.attachToTarget", {"targetId": pages[0]["targetId"], "flatten": True})
            self.session = attached["sessionId"]
        except Exception:
            self.close()
            raise

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
                if answer.get("id") != self.next_id:
                    continue  # an event, or a late answer to something else
                if "error" in answer:
                    raise ChromiumFailed("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            left = deadline - time.monotonic()
            if left <= 0:
                raise ChromiumFailed("%s: no answer within %.0f s" % (method, self.timeout_s))
            ready, _, _ = select.select([self.from_chrome], [], [], min(left, 0.5))
            if ready:
                chunk = os.read(self.from_chrome, 1 << 16)
                if not chunk:
                    raise ChromiumFailed("chromium closed its DevTools pipe")
                self.buffer += chunk

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, self.session)
        return result.get("result", {}).get("value")

    def close(self):
        try:
            if self.proc.poll() is None:
                os.write(self.to_chrome, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
                self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            pass
        kill_group(self.proc.pid)
        self.proc.wait()
        for fd in (self.to_chrome, self.from_chrome):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)


RENDER_PROBE = (
    "JSON.stringify({count: document.body.dataset.renderCount || '0', ms: document.body.dataset.renderMs || '',"
    " max: document.body.dataset.renderMaxMs || '', rows: document.querySelectorAll('tr.caller-row').length})"
)


class RenderTimes:
    def __init__(self):
        self.seen = []  # script time of each render caught by a probe, oldest first
        self.count = 0  # renders the page did
        self.max_ms = float("nan")  # the page's own maximum, over every render
        self.rows = 0


def measure_render(url, seconds, timeout_s):
    """Runs the page in real time, probing its render attributes every 100 ms."""
    page = DevToolsPage(url, timeout_s)
    try:
        times = RenderTimes()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            probe = json.loads(page.evaluate(RENDER_PROBE) or "{}")
            count = int(probe.get("count") or 0)
            if count > times.count and probe.get("ms"):
                times.seen.append(float(probe["ms"]))
            times.count = max(times.count, count)
            times.max_ms = float(probe.get("max") or "nan")
            times.rows = int(probe.get("rows") or 0)
            time.sleep(0.1)
        return times
    finally:
        page.close()


class DashboardDom(html.parser.HTMLParser):
    """Collects the parts of the rendered page that the checks look at."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack = []  # one dict per open element: tag, plus what it marks
        self.body = {}
        self.banner = {}
        self.texts = {"status-text": "", "input-headline": "", "input-format": ""}
        self.rtp_box_hidden = None
        self.input_chart = None
        self.input_kbps = None
        self.rows = []
        self.detail = None
        self.departed = []
        self.uplot_count = 0

    def handle_starttag(self, tag, attrs):
        if self._enclosing("template") or tag == "template":
            # Rows inside a <template> are not rows of the page.
            if tag not in VOID_TAGS:
                self.stack.append({"tag": tag, "template": True})
            return
        a = dict(attrs)
        classes = (a.get("class") or "").split()
        entry = {"tag": tag}
        if tag == "body":
            self.body = a
        if a.get("id") == "input-health":
            self.banner = a
        if a.get("id") == "input-rtp-box":
            self.rtp_box_hidden = "hidden" in a
        if a.get("id") in self.texts:
            entry["text_into"] = (self.texts, a.get("id"))
        if tag == "div" and "uplot" in classes:
            self.uplot_count += 1
        if a.get("id") == "input-chart":
            self.input_chart = {"samples": a.get("data-samples"), "canvases": 0}
            entry["input_chart"] = self.input_chart
        if a.get("id") == "input-kbps":
            self.input_kbps = {"text": "", "kbps": a.get("data-kbps")}
            entry["text_into"] = (self.input_kbps, "text")
        if tag == "tr" and "caller-row" in classes:
            row = {"url": a.get("data-url"), "health": a.get("data-health"), "kbps_text": "", "spark": None}
            self.rows.append(row)
            entry["row"] = row
        if "caller-kbps" in classes and self._enclosing("row"):
            entry["text_into"] = (self._enclosing("row"), "kbps_text")
        if tag == "svg" and "spark" in classes and self._enclosing("row"):
            self._enclosing("row")["spark"] = {"samples": a.get("data-samples"), "points": ""}
        if tag == "polyline" and self._enclosing("row") and self._enclosing("row")["spark"] is not None:
            self._enclosing("row")["spark"]["points"] = a.get("points") or ""
        if tag == "tr" and "detail-row" in classes:
            self.detail = {"title": "", "samples": None, "canvases": 0}
            entry["detail"] = self.detail
        if "detail-title" in classes and self.detail is not None:
            entry["text_into"] = (self.detail, "title")
        if "detail-chart" in classes and self.detail is not None:
            self.detail["samples"] = a.get("data-samples")
        if tag == "li" and "departed-item" in classes:
            self.departed.append(a.get("data-reason"))
        if tag == "canvas":
            for key in ("input_chart", "detail"):
                holder = self._enclosing(key)
                if holder is not None:
                    holder["canvases"] += 1
        if tag not in VOID_TAGS:
            self.stack.append(entry)

    def handle_endtag(self, tag):
        for i in range(len(self.stack) - 1, -1, -1):
            if self.stack[i]["tag"] == tag:
                del self.stack[i:]
                return

    def handle_data(self, data):
        target = self._enclosing("text_into")
        if target is not None:
            holder, key = target
            holder[key] += data

    def _enclosing(self, key):
        for entry in reversed(self.stack):
            if key in entry:
                return entry[key]
        return None


def as_int(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return None


def as_float(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def normalise(text):
    return " ".join((text or "").replace("\u00a0", " ").split())


def check_dom(dom, args):
    """Returns a list of (ok, message) findings."""
    findings = []

    def expect(ok, message):
        findings.append((bool(ok), message))

    input_state = dom.banner.get("data-input-state")
    want_state = "ok" if args.expect_input == "receiving" else "noinput"
    state = dom.body.get("data-state")
    expect(
        state == want_state,
        "body data-state=%r (want %r), badge %r" % (state, want_state, normalise(dom.texts["status-text"])),
    )
    expect(
        input_state == args.expect_input,
        "input banner state=%r (want %r): %r"
        % (input_state, args.expect_input, normalise(dom.texts["input-headline"])),
    )
    if args.expect_input == "stalled" and dom.body.get("data-status-api") == "present":
        headline = normalise(dom.texts["input-headline"])
        expect(re.match(r"^Input stalled since \d\d:\d\d:\d\d$", headline), "stall headline %r" % headline)
    if args.expect_status_api:
        api = dom.body.get("data-status-api")
        expect(api == args.expect_status_api, "status api=%r (want %r)" % (api, args.expect_status_api))
    if args.expect_format:
        shown = normalise(dom.texts["input-format"])
        rtp_shown = dom.rtp_box_hidden is False
        expect(
            shown == args.expect_format.upper() and rtp_shown == (args.expect_format == "rtp"),
            "input format %r, RTP counters shown=%s (want %s)" % (shown, rtp_shown, args.expect_format.upper()),
        )
    if args.expect_input_errors:
        cc = as_int(dom.banner.get("data-cc-errors"))
        expect(cc is not None and cc > 0, "continuity errors in the last minute=%r (want > 0)" % cc)

    chart = dom.input_chart
    if chart is None:
        expect(False, "#input-chart missing")
    else:
        samples = as_int(chart["samples"])
        expect(samples is not None and samples > 0, "#input-chart data-samples=%r (want > 0)" % chart["samples"])
        expect(chart["canvases"] > 0, "#input-chart canvases=%d (want >= 1)" % chart["canvases"])
    kbps = dom.input_kbps
    kbps_text = normalise(kbps["text"]) if kbps else None
    expect(
        kbps_text is not None and RATE_RE.match(kbps_text),
        "#input-kbps text=%r data-kbps=%r" % (kbps_text, kbps and kbps["kbps"]),
    )

    check_rows(dom, args, expect)

    live = as_int(dom.body.get("data-live-charts"))
    want = 1 + (1 if dom.detail is not None else 0)
    expect(live == want, "live charts=%r (want input + selected caller = %d)" % (live, want))
    expect(dom.uplot_count == want, "uPlot chart elements in DOM=%d (want %d)" % (dom.uplot_count, want))
    detail = dom.detail
    if args.expect_detail == "present":
        expect(
            detail is not None
            and normalise(detail["title"]).startswith(args.select or "")
            and (as_int(detail["samples"]) or 0) > 0
            and detail["canvases"] > 0,
            "selected caller %s: detail %r" % (args.select, detail),
        )
    elif args.expect_detail == "absent":
        expect(detail is None, "no caller detail (want none): %r" % detail)

    shown = min(args.expect_departed, DEPARTED_SHOWN)
    expect(len(dom.departed) == shown, "departed entries=%d (want %d)" % (len(dom.departed), shown))

    count = as_int(dom.body.get("data-render-count"))
    worst = as_float(dom.body.get("data-render-max-ms"))
    expect(
        count is not None and count > 0 and worst is not None,
        "render count=%r max=%r ms (virtual time: not a timing)" % (count, worst),
    )
    return findings


def check_rows(dom, args, expect):
    rows = dom.rows
    expect(len(rows) == args.expect_callers, "caller rows=%d (want %d)" % (len(rows), args.expect_callers))
    bad = []
    for row in rows:
        text = normalise(row["kbps_text"])
        spark = row["spark"] or {}
        if not (row["url"] and RATE_RE.match(text) and (as_int(spark.get("samples")) or 0) > 0 and spark.get("points")):
            bad.append("%s: kbit/s=%r sparkline=%r" % (row["url"], text, spark))
    expect(not bad, "rows with address, rate and sparkline (%d bad) %s" % (len(bad), "; ".join(bad[:3])))

    healths = [row["health"] for row in rows]
    if dom.body.get("data-status-api") == "present":
        unknown = [h for h in healths if h not in ("healthy", "degraded", "failing")]
        expect(not unknown, "rows without a health state: %d" % len(unknown))
    ranks = [HEALTH_RANK.get(h, -1) for h in healths]
    expect(
        all(a >= b for a, b in zip(ranks, ranks[1:])),
        "rows worst first: %s" % ",".join(h[0] if h else "?" for h in healths[:40]),
    )
    for health, want in (("failing", args.expect_failing), ("degraded", args.expect_degraded)):
        if want is not None:
            got = healths.count(health)
            expect(got == want, "%s rows=%d (want %d)" % (health, got, want))


def take_screenshot(url, out_path, budget_ms, timeout_s):
    out_path = os.path.abspath(out_path)
    if os.path.exists(out_path):
        os.remove(out_path)
    run_chromium(["--virtual-time-budget=%d" % budget_ms, WINDOW, "--screenshot=" + out_path], url, timeout_s)
    with open(out_path, "rb") as f:
        head = f.read(len(PNG_MAGIC))
    return out_path, head == PNG_MAGIC, os.path.getsize(out_path)


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
    p.add_argument("--expect-input-errors", action="store_true", help="continuity errors in the last minute")
    p.add_argument("--select", help="open the page with this caller address selected")
    p.add_argument("--expect-detail", choices=["present", "absent"], help="the selected caller's detail row")
    p.add_argument("--timeout", type=float, default=60.0, help="limit for each Chromium run, seconds")
    p.add_argument(
        "--budget-ms", type=int, default=10000, help="virtual time the page runs before the DOM is read"
    )
    p.add_argument("--render-budget-ms", type=float, help="check the slowest render in real time against this")
    p.add_argument("--render-seconds", type=float, default=12.0, help="real time for the render measurement")
    return p.parse_args()


def main():
    args = parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        print("FAIL: %s not found" % CHROMIUM)
        return 2
    url = args.url + ("#caller=" + args.select if args.select else "")

    started = time.monotonic()
    try:
        html = run_chromium(["--virtual-time-budget=%d" % args.budget_ms, WINDOW, "--dump-dom"], url, args.timeout)
    except ChromiumFailed as e:
        print("FAIL: dump-dom: %s" % e)
        return 2
    dom = DashboardDom()
    dom.feed(html)
    dom.close()
    findings = check_dom(dom, args)

    try:
        path, is_png, size = take_screenshot(url, args.screenshot, args.budget_ms, args.timeout)
        findings.append((is_png and size > 0, "screenshot %s (%d bytes, png=%s)" % (path, size, is_png)))
    except (ChromiumFailed, OSError) as e:
        findings.append((False, "screenshot: %s" % e))

    if args.render_budget_ms is not None:
        try:
            times = measure_render(url, args.render_seconds, args.timeout)
            median = statistics.median(times.seen) if times.seen else float("nan")
            findings.append(
                (
                    bool(times.seen) and times.max_ms <= args.render_budget_ms,
                    "render script time in real time, %d rows: %d renders (%d seen), median %.2f ms, max %.2f ms"
                    " (budget %.0f ms)"
                    % (times.rows, times.count, len(times.seen), median, times.max_ms, args.render_budget_ms),
                )
            )
        except (ChromiumFailed, OSError, ValueError) as e:
            findings.append((False, "render measurement: %s" % e))

    for ok, message in findings:
        print("%s  %s" % ("ok  " if ok else "FAIL", message))
    failed = sum(1 for ok, _ in findings if not ok)
    print("%d passed, %d failed (%.1f s)" % (len(findings) - failed, failed, time.monotonic() - started))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
