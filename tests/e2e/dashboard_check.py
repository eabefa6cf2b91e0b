#!/usr/bin/env python3
"""Loads the status dashboard in headless Chromium, checks what it rendered, takes a screenshot.

  dashboard_check.py --url http://127.0.0.1:PORT/ --screenshot OUT.png
                     [--expect-callers N] [--timeout S] [--budget-ms MS]

Passes (exit 0) only when, after the page has polled /stats a few times:
  - <body data-state="ok">,
  - #input-chart holds a uPlot canvas and data-samples > 0, #input-kbps shows a rate,
  - at least N .caller cards exist, each with an address, a rate in .caller-kbps and a chart,
  - the number of live charts equals callers + 1 (no chart left behind by a departed caller),
  - the screenshot was written as a PNG.
Exit 1 when a check fails, 2 when Chromium could not be run.
"""

import argparse
import html.parser
import os
import re
import shutil
import signal
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
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class DashboardDom(html.parser.HTMLParser):
    """Collects the parts of the rendered page that the checks look at."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack = []  # one dict per open element: tag, plus what it marks
        self.body = {}
        self.input_chart = None
        self.input_kbps = None
        self.callers = []
        self.uplot_count = 0

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        classes = (a.get("class") or "").split()
        entry = {"tag": tag}
        if tag == "body":
            self.body = a
        if tag == "div" and "uplot" in classes:
            self.uplot_count += 1
        if a.get("id") == "input-chart":
            self.input_chart = {"samples": a.get("data-samples"), "canvases": 0}
            entry["input_chart"] = self.input_chart
        if a.get("id") == "input-kbps":
            self.input_kbps = {"text": "", "kbps": a.get("data-kbps")}
            entry["text_into"] = self.input_kbps
        if "caller" in classes:
            caller = {"url": a.get("data-url"), "kbps_text": None, "samples": None, "canvases": 0}
            self.callers.append(caller)
            entry["caller"] = caller
        if "caller-kbps" in classes and self._enclosing("caller"):
            holder = self._enclosing("caller")
            holder["kbps_text"] = ""
            entry["text_into"] = {"caller": holder}
        if "caller-chart" in classes and self._enclosing("caller"):
            self._enclosing("caller")["samples"] = a.get("data-samples")
        if tag == "canvas":
            for key in ("input_chart", "caller"):
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
        if target is None:
            return
        if "caller" in target:
            target["caller"]["kbps_text"] += data
        else:
            target["text"] += data

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


def normalise(text):
    return " ".join((text or "").replace("\u00a0", " ").split())


def check_dom(dom, expect_callers):
    """Returns a list of (ok, message) findings."""
    findings = []

    def expect(ok, message):
        findings.append((bool(ok), message))

    state = dom.body.get("data-state")
    expect(state == "ok", "body data-state=%r (want 'ok')" % state)

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

    expect(len(dom.callers) >= expect_callers, "callers=%d (want >= %d)" % (len(dom.callers), expect_callers))
    for caller in dom.callers:
        text = normalise(caller["kbps_text"])
        expect(
            bool(caller["url"]) and RATE_RE.match(text) and caller["canvases"] > 0,
            "caller %s: kbit/s=%r chart samples=%s canvases=%d"
            % (caller["url"], text, caller["samples"], caller["canvases"]),
        )

    live = as_int(dom.body.get("data-live-charts"))
    want = len(dom.callers) + 1
    expect(live == want, "live charts=%r (want callers + 1 = %d)" % (live, want))
    expect(dom.uplot_count == want, "uPlot chart elements in DOM=%d (want %d)" % (dom.uplot_count, want))
    return findings


def take_screenshot(url, out_path, budget_ms, timeout_s):
    out_path = os.path.abspath(out_path)
    if os.path.exists(out_path):
        os.remove(out_path)
    run_chromium(
        ["--virtual-time-budget=%d" % budget_ms, "--window-size=1280,900", "--screenshot=" + out_path],
        url,
        timeout_s,
    )
    with open(out_path, "rb") as f:
        head = f.read(len(PNG_MAGIC))
    return out_path, head == PNG_MAGIC, os.path.getsize(out_path)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--url", required=True)
    p.add_argument("--screenshot", required=True, help="PNG file to write")
    p.add_argument("--expect-callers", type=int, default=0)
    p.add_argument("--timeout", type=float, default=60.0, help="limit for each Chromium run, seconds")
    p.add_argument(
        "--budget-ms", type=int, default=10000, help="virtual time the page runs before the DOM is read (3 s polls)"
    )
    return p.parse_args()


def main():
    args = parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        print("FAIL: %s not found" % CHROMIUM)
        return 2

    started = time.monotonic()
    try:
        html = run_chromium(["--virtual-time-budget=%d" % args.budget_ms, "--dump-dom"], args.url, args.timeout)
    except ChromiumFailed as e:
        print("FAIL: dump-dom: %s" % e)
        return 2
    dom = DashboardDom()
    dom.feed(html)
    dom.close()
    findings = check_dom(dom, args.expect_callers)

    try:
        path, is_png, size = take_screenshot(args.url, args.screenshot, args.budget_ms, args.timeout)
        findings.append((is_png and size > 0, "screenshot %s (%d bytes, png=%s)" % (path, size, is_png)))
    except (ChromiumFailed, OSError) as e:
        findings.append((False, "screenshot: %s" % e))

    for ok, message in findings:
        print("%s  %s" % ("ok  " if ok else "FAIL", message))
    failed = sum(1 for ok, _ in findings if not ok)
    print("%d passed, %d failed (%.1f s)" % (len(findings) - failed, failed, time.monotonic() - started))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
