#!/usr/bin/env python3
"""What /metrics and /api/v1/status cost the server, measured on the real executable.

  flock /tmp/vandra-heavy.lock bench/scrape.py [--answer-callers 200] [--requests 60]
      [--load-callers 50] [--window 10] [--rounds 3] [--burst 300] [--skip-answer] [--skip-cost]

1. Answer time: a server with N callers (default 200) of a 1 Mbit/s input is asked for each
   document R times over one kept-alive connection, 100 ms apart, as a scraper would; the time
   from sending the request to the last byte of the answer, median / 90th percentile / max.
2. Scraping cost at 50 callers x 8 Mbit/s: windows of W seconds without scraping and with both
   documents fetched once a second (the way Prometheus and the dashboard ask), alternated
   (none, scrape, none, scrape, ...) so that drift falls on both; the server's CPU in % of one
   core per window (utime + stime from /proc/PID/stat), medians per kind and their difference.
   The difference is as noisy as the machine, so the cost of one request is also measured
   directly: a burst of B requests of each document back to back, the server's CPU during the
   burst less its CPU at the no-scrape rate for as long, divided by the requests.
The machine's busy % (all cores, from /proc/stat) is shown beside every figure. The server,
publisher and load client are built ones (ninja -C build); every process is stopped by its PID.
"""

import argparse
import http.client
import json
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BUILD = os.path.join(ROOT, "build")
SERVER = os.path.join(BUILD, "vandra-server")
PUBLISHER = os.path.join(BUILD, "tools", "vandra-publisher")
LOADCLIENT = os.path.join(BUILD, "tools", "vandra-loadclient")
TICKS = os.sysconf("SC_CLK_TCK")
DOCUMENTS = ("/metrics", "/api/v1/status")


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def machine_ticks():
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + values[4]  # idle + iowait
    return sum(values), idle


def busy_percent(before, after):
    total = after[0] - before[0]
    return 100.0 * (total - (after[1] - before[1])) / total if total > 0 else 0.0


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


class Relay:
    """The server with a publisher and a load client, on loopback; stopped by PID."""

    def __init__(self, work, callers, bitrate):
        self.work = work
        self.web_port = free_port(socket.SOCK_STREAM)
        srt_port = free_port(socket.SOCK_DGRAM)
        udp_port = free_port(socket.SOCK_DGRAM)
        group = f"239.255.201.{random.randint(1, 250)}"
        self.procs = []
        self.server = self._start(
            "server",
            [SERVER, f"source=udp://{group}:{udp_port}(127.0.0.1)", f"port={srt_port}",
             f"webport={self.web_port}", "latency=120"],
        )
        self._wait_for_log("server", "-- used iface for MULTICAST GROUP", 10)
        time.sleep(0.3)
        self._start(
            "publisher",
            [PUBLISHER, "--group", group, "--port", str(udp_port), "--iface", "127.0.0.1",
             "--bitrate", str(bitrate), "--size", "1316"],
        )
        self._start(
            "loadclient",
            [LOADCLIENT, "--host", "127.0.0.1", "--port", str(srt_port), "--callers", str(callers),
             "--seconds", "3600", "--latency", "120", "--stagger-ms", "20", "--min-packets", "0"],
        )
        self._wait_for_callers(callers, 20 + callers * 0.05)

    def _start(self, name, argv):
        log = open(os.path.join(self.work, name + ".log"), "wb")
        proc = subprocess.Popen(argv, cwd=self.work, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        self.procs.append(proc)
        return proc

    def _wait_for_log(self, name, text, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(os.path.join(self.work, name + ".log"), "rb") as f:
                if text.encode() in f.read():
                    return
            time.sleep(0.1)
        raise RuntimeError(f"{name} never logged {text!r}")

    def _wait_for_callers(self, callers, seconds):
        deadline = time.monotonic() + seconds
        seen = -1
        while time.monotonic() < deadline:
            try:
                seen = len(json.loads(self.fetch_once("/api/v1/status"))["callers"])
            except (OSError, ValueError, KeyError):
                seen = -1
            if seen == callers:
                time.sleep(3.5)  # one sampler pass, so every caller has its figures
                return
            time.sleep(0.5)
        raise RuntimeError(f"{seen} of {callers} callers connected")

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=5)

    def fetch_once(self, path):
        conn = self.connection()
        try:
            conn.request("GET", path)
            return conn.getresponse().read()
        finally:
            conn.close()

    def cpu(self):
        return process_cpu_seconds(self.server.pid)

    def stop(self):
        for proc in reversed(self.procs):
            if proc.pid > 0 and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                if proc.pid > 0:
                    proc.kill()
                proc.wait()


class KeptAliveClient:
    """One connection, opened again when the server closes it (it keeps one for 5 requests)."""

    def __init__(self, relay):
        self.relay = relay
        self.conn = relay.connection()

    def get(self, path):
        for attempt in range(2):
            try:
                self.conn.request("GET", path)
                response = self.conn.getresponse()
                body = response.read()
                if response.status != 200:
                    raise RuntimeError(f"{path}: status {response.status}")
                if response.getheader("Connection", "").lower() == "close":
                    self.conn.close()
                    self.conn = self.relay.connection()
                return body
            except (http.client.HTTPException, ConnectionError):
                self.conn.close()
                self.conn = self.relay.connection()
                if attempt == 1:
                    raise
        return b""

    def close(self):
        self.conn.close()


def answer_times(relay, requests):
    client = KeptAliveClient(relay)
    times = {path: [] for path in DOCUMENTS}
    sizes = {}
    machine_before = machine_ticks()
    for _ in range(requests):
        for path in DOCUMENTS:
            start = time.perf_counter()
            sizes[path] = len(client.get(path))
            times[path].append((time.perf_counter() - start) * 1000)
        time.sleep(0.1)
    busy = busy_percent(machine_before, machine_ticks())
    client.close()
    return times, sizes, busy


def window(relay, seconds, scrape):
    """The server's CPU in % of one core over one window, and the machine's busy %."""
    client = KeptAliveClient(relay) if scrape else None
    machine_before = machine_ticks()
    cpu_before = relay.cpu()
    start = time.monotonic()
    tick = start
    while time.monotonic() - start < seconds:
        if client:
            for path in DOCUMENTS:
                client.get(path)
        tick += 1.0
        time.sleep(max(0.0, tick - time.monotonic()))
    elapsed = time.monotonic() - start
    cpu = (relay.cpu() - cpu_before) / elapsed * 100
    if client:
        client.close()
    return cpu, busy_percent(machine_before, machine_ticks())


def burst(relay, requests, baseline_percent):
    """CPU ms per request of each document, less what the server spends anyway."""
    client = KeptAliveClient(relay)
    results = {}
    for path in DOCUMENTS:
        machine_before = machine_ticks()
        cpu_before = relay.cpu()
        start = time.monotonic()
        for _ in range(requests):
            client.get(path)
        elapsed = time.monotonic() - start
        spent = relay.cpu() - cpu_before - baseline_percent / 100 * elapsed
        results[path] = (spent * 1000 / requests, busy_percent(machine_before, machine_ticks()))
    client.close()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--answer-callers", type=int, default=200)
    parser.add_argument("--answer-rate", type=int, default=1_000_000)
    parser.add_argument("--requests", type=int, default=60)
    parser.add_argument("--load-callers", type=int, default=50)
    parser.add_argument("--load-rate", type=int, default=8_000_000)
    parser.add_argument("--window", type=float, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--burst", type=int, default=300)
    parser.add_argument("--skip-answer", action="store_true")
    parser.add_argument("--skip-cost", action="store_true")
    args = parser.parse_args()
    for binary in (SERVER, PUBLISHER, LOADCLIENT):
        if not os.access(binary, os.X_OK):
            sys.exit(f"{binary} missing: ninja -C build")

    print(f"# bench/scrape.py, {time.strftime('%Y-%m-%d %H:%M:%S %Z')}, {os.cpu_count()} cores")
    work = tempfile.mkdtemp(prefix="vandra-scrape.")
    try:
        if not args.skip_answer:
            relay = Relay(work, args.answer_callers, args.answer_rate)
            try:
                times, sizes, busy = answer_times(relay, args.requests)
            finally:
                relay.stop()
            print(f"\nAnswer time with {args.answer_callers} callers "
                  f"({args.answer_rate / 1e6:g} Mbit/s input), {args.requests} requests each, "
                  f"machine {busy:.0f} % busy:\n")
            print("| document | bytes | median ms | p90 ms | max ms |")
            print("|---|---|---|---|---|")
            for path in DOCUMENTS:
                t = times[path]
                print(f"| `{path}` | {sizes[path]} | {statistics.median(t):.2f} | "
                      f"{percentile(t, 0.9):.2f} | {max(t):.2f} |")

        if not args.skip_cost:
            relay = Relay(work, args.load_callers, args.load_rate)
            try:
                runs = {False: [], True: []}
                for _ in range(args.rounds):
                    for scrape in (False, True):
                        runs[scrape].append(window(relay, args.window, scrape))
                baseline = statistics.median(cpu for cpu, _ in runs[False])
                per_request = burst(relay, args.burst, baseline)
            finally:
                relay.stop()
            print(f"\nScraping cost at {args.load_callers} callers x {args.load_rate / 1e6:g} "
                  f"Mbit/s, {args.rounds} windows of {args.window:g} s each, alternated:\n")
            print("| windows | server CPU % of a core, median | each window | machine busy % |")
            print("|---|---|---|---|")
            for scrape in (False, True):
                cpus = [cpu for cpu, _ in runs[scrape]]
                busies = [busy for _, busy in runs[scrape]]
                name = "both documents every second" if scrape else "no scraping"
                print(f"| {name} | {statistics.median(cpus):.1f} | "
                      f"{', '.join(f'{c:.1f}' for c in cpus)} | "
                      f"{', '.join(f'{b:.0f}' for b in busies)} |")
            difference = (statistics.median(cpu for cpu, _ in runs[True]) - baseline)
            print(f"\nDifference of the medians: {difference:+.2f} % of a core.")
            print(f"\nDirect: {args.burst} requests of each document back to back, the server's "
                  f"CPU less its no-scrape rate:\n")
            print("| document | CPU ms per request | machine busy % |")
            print("|---|---|---|")
            total = 0.0
            for path in DOCUMENTS:
                ms, busy = per_request[path]
                total += ms
                print(f"| `{path}` | {ms:.3f} | {busy:.0f} |")
            print(f"\nBoth once a second: {total / 10:.3f} % of a core "
                  f"({total:.3f} ms of CPU per second).")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
