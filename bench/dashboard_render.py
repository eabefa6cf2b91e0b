#!/usr/bin/env python3
"""Script time the dashboard spends per render, in headless Chromium in real time.

  bench/dashboard_render.py [--seconds S] [--runs R] [--callers 1,50,200]

For each caller count, fake_stats_server.py serves /stats and api/v1/status (2 lossy callers,
1 failing, 12 departed; or /stats alone for the "stats only" rows) and the page runs for S
seconds per run. The page times each render with performance.now() (body data-render-ms);
the first render builds every row, the later ones update them in place (status every 1 s,
/stats every 3 s). Prints one table: first render, median, 90th percentile and max of the
later ones, over all runs. The times are wall-clock, so on a busy machine a preempted render
shows up in the max whatever its size: compare the max with the 1-caller row of the same run.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import dashboard_check  # noqa: E402

FAKE = os.path.join(HERE, "..", "tests", "e2e", "fake_stats_server.py")


class RenderTimes:
    def __init__(self):
        self.seen = []  # script time of each render caught by a probe, oldest first
        self.count = 0  # renders the page did
        self.max_ms = float("nan")  # the page's own maximum, over every render
        self.rows = 0


def measure_render(url, seconds, timeout_s):
    """Runs the page in real time, probing its render times every 100 ms."""
    page = dashboard_check.DevToolsPage(url, timeout_s)
    try:
        times = RenderTimes()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            p = page.probe()
            if p.get("renders", 0) > times.count and p.get("renderMs") is not None:
                times.seen.append(p["renderMs"])
            times.count = max(times.count, p.get("renders", 0))
            times.max_ms = p.get("renderMaxMs") if p.get("renderMaxMs") is not None else float("nan")
            times.rows = len(p.get("rows", []))
            time.sleep(0.1)
        return times
    finally:
        page.close()


def start_fake(extra):
    proc = subprocess.Popen(
        [sys.executable, FAKE, "--lifetime", "600", *extra], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL
    )
    url = proc.stdout.readline().decode().strip()
    if not url.startswith("http://127.0.0.1:"):
        proc.kill()
        proc.wait()
        raise RuntimeError("fake server did not start")
    return proc, url


def stop(proc):
    if proc.pid > 0 and proc.poll() is None:
        proc.terminate()
    proc.wait(timeout=10)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def measure(callers, status_api, seconds, runs):
    extra = ["--callers", str(callers)]
    extra += ["--lossy", "2", "--failing", "1", "--departed", "12"] if callers >= 10 else []
    extra += [] if status_api else ["--no-status-api"]
    firsts, later, worst, renders = [], [], 0.0, 0
    for _ in range(runs):
        proc, url = start_fake(extra)
        try:
            times = measure_render(url, seconds, 30)
        finally:
            stop(proc)
        if times.rows != callers:
            raise RuntimeError("page showed %d rows, want %d" % (times.rows, callers))
        if times.seen:
            firsts.append(times.seen[0])
            later.extend(times.seen[1:])
        worst = max(worst, times.max_ms)
        renders += times.count
    return firsts, later, worst, renders


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def chromium_version():
    out = subprocess.run([dashboard_check.CHROMIUM, "--version"], capture_output=True, text=True, timeout=30)
    return out.stdout.strip() or "unknown"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=15.0, help="real time per run")
    p.add_argument("--runs", type=int, default=3, help="runs per row (a fresh browser each)")
    p.add_argument("--callers", default="1,50,200", help="comma-separated caller counts")
    args = p.parse_args()

    print(
        "%s; %d s per run, %d runs per row; load average %s at the start (1, 5, 15 min)"
        % (chromium_version(), args.seconds, args.runs, load_average())
    )
    print()
    print("| callers | documents | renders | first render ms (median of runs) | later: median ms | p90 ms | max ms |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for callers in [int(c) for c in args.callers.split(",")]:
        for status_api in (True, False):
            started = time.monotonic()
            firsts, later, worst, renders = measure(callers, status_api, args.seconds, args.runs)
            print(
                "| %d | %s | %d | %.1f | %.1f | %.1f | %.1f |"
                % (
                    callers,
                    "status + stats" if status_api else "stats only",
                    renders,
                    statistics.median(firsts) if firsts else float("nan"),
                    statistics.median(later) if later else float("nan"),
                    percentile(later, 0.9) if later else float("nan"),
                    worst,
                ),
                flush=True,
            )
            sys.stderr.write("  (%.0f s)\n" % (time.monotonic() - started))
    print()
    print("load average %s at the end" % load_average())
    return 0


if __name__ == "__main__":
    sys.exit(main())
