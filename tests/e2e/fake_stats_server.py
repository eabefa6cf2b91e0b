#!/usr/bin/env python3
"""Stand-in for the server's web side: serves the WEB folder, a changing /stats and
/api/v1/status describing the same callers.

Lets the dashboard be developed and checked in a browser without the real server.
Binds to 127.0.0.1 only, prints its base URL as the first stdout line and exits by
itself after --lifetime seconds.

  fake_stats_server.py [--port 0] [--web DIR] [--callers N | --churn]
                       [--input live|stalled|never] [--format ts|rtp] [--input-errors]
                       [--lossy K] [--failing K] [--departed K] [--leave-after K] [--users]
                       [--no-status-api] [--empty-input]
                       [--fail-every K | --fail-after K] [--fail-mode 503|drop|hang]
                       [--lifetime S]

Caller i (0 = first accepted) has the address 198.51.100.X:(50123 + i). The --failing callers
sit in the middle of the list and the --lossy ones at its end, so a worst-first order has to
move them up. With --leave-after K the first caller hangs up after the K-th status request.
"""

import argparse
import functools
import http.server
import json
import math
import os
import random
import socket
import sys
import threading
import time

HISTORY_LEN = 20
SAMPLE_PERIOD_S = 3
# Longer than the page's fetch timeout, so "hang" exercises it.
HANG_S = 4
# A stalled input stopped this long before the fake server started.
STALL_AGE_S = 45
CONNECT_SPACING_MS = 9_000
SRT_LATENCY_MS = 500
DEPARTED_REASONS = ["closed", "lost", "fell_behind", "error"]
DEFAULT_WEB = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "WEB"))


def local_text(epoch_s):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(epoch_s))


def sample_rate(t, base_kbps, seed):
    rng = random.Random(seed * 7919 + t)
    return int(base_kbps + 0.06 * base_kbps * math.sin(t / 11.0 + seed) + rng.uniform(-40, 40))


def history(now_s, base_kbps, seed, length, silent_from_s=None):
    """Newest-first samples on the 3 s grid, like the server keeps them; zero from silent_from_s on."""
    newest = int(now_s) - int(now_s) % SAMPLE_PERIOD_S
    samples = []
    for i in range(max(0, min(length, HISTORY_LEN))):
        t = newest - i * SAMPLE_PERIOD_S
        silent = silent_from_s is not None and t >= silent_from_s
        samples.append({"x": local_text(t), "y": 0 if silent else sample_rate(t, base_kbps, seed)})
    return samples


class Scenario:
    def __init__(self, args, started_s):
        self.args = args
        self.started_s = started_s
        self.started_ms = int(started_s * 1000)
        self.requests = 0
        self.status_requests = 0
        self.first_left_ms = None
        self.churn_indices = []
        # Guards the request counts and churn_indices: handler threads run concurrently.
        self.lock = threading.Lock()

    def next_request(self):
        with self.lock:
            self.requests += 1
            return self.requests

    def should_fail(self, n):
        every, after = self.args.fail_every, self.args.fail_after
        return bool((every and n % every == 0) or (after and n > after))

    # ---- the input ------------------------------------------------------------------------

    def input_silent_from_s(self):
        if self.args.input == "stalled":
            return self.started_s - STALL_AGE_S
        if self.args.input == "never":
            return 0
        return None

    def input_history(self, now_s, n):
        if self.args.empty_input or (self.args.churn and n % 7 == 0):
            return []
        return history(now_s, 7812, 0, HISTORY_LEN, self.input_silent_from_s())

    def input_status(self, now_ms):
        args = self.args
        elapsed_s = (now_ms - self.started_ms) / 1000.0
        errors = args.input_errors
        doc = {
            "format": args.format,
            "bytes_total": int(7812 * 128 * (elapsed_s + 600)),
            "datagrams_total": int(7812 * 128 * (elapsed_s + 600) / 1316),
            "datagrams_dropped_oversize": 0,
            "stalled": False,
            "stalled_since_ms": None,
            "last_datagram_ms": now_ms - 2,
            "stalls_total": 0,
            "ts_sync_errors": int(elapsed_s / 4) if errors else 0,
            "ts_continuity_errors": int(elapsed_s * 3) if errors else 0,
            "bitrate_kbps": sample_rate(int(now_ms / 1000) // SAMPLE_PERIOD_S * SAMPLE_PERIOD_S, 7812, 0),
            "rtp": {
                "lost_packets": int(elapsed_s * 2) if errors and args.format == "rtp" else 0,
                "duplicate_packets": int(elapsed_s / 3) if errors and args.format == "rtp" else 0,
                "reordered_packets": int(elapsed_s) if errors and args.format == "rtp" else 0,
            },
        }
        if args.input == "stalled":
            since = self.started_ms - STALL_AGE_S * 1000
            doc.update(stalled=True, stalled_since_ms=since, last_datagram_ms=since, stalls_total=1, bitrate_kbps=0)
            doc["bytes_total"] = doc["datagrams_total"] = 1316 * 4000
        elif args.input == "never":
            doc.update(
                format="none",
                stalled=True,
                bytes_total=0,
                datagrams_total=0,
                last_datagram_ms=None,
                bitrate_kbps=0,
            )
        return doc

    # ---- the callers ----------------------------------------------------------------------

    def caller_count(self):
        return 5 if self.args.churn else self.args.callers

    def created_ms(self, index):
        return self.started_ms - (self.caller_count() - index) * CONNECT_SPACING_MS

    def url(self, index):
        return "198.51.100.%d:%d" % (7 + index % 200, 50123 + index)

    def kind(self, index):
        count, lossy, failing = self.caller_count(), self.args.lossy, self.args.failing
        if index >= count - lossy:
            return "lossy"
        middle = count // 2
        if middle <= index < middle + failing:
            return "failing"
        return "healthy"

    def caller_history(self, index, now_s):
        age_s = now_s - self.created_ms(index) / 1000.0
        length = 1 + int(age_s // SAMPLE_PERIOD_S)
        return history(now_s, 7800 - 60 * (index % 20), index + 1, length, self.input_silent_from_s())

    def caller(self, index, now_s):
        return {
            "url": self.url(index),
            "created": str(self.created_ms(index)),
            "data": self.caller_history(index, now_s),
        }

    def caller_status(self, index, now_ms, polls):
        created = self.created_ms(index)
        age_s = (now_ms - created) / 1000.0
        kind = self.kind(index)
        latest = self.caller_history(index, now_ms / 1000.0)[0]["y"]
        sent = int(latest * 128 * age_s)
        doc = {
            "id": 0x2A000000 + index * 7919,
            "remote": self.url(index),
            "user": ("viewer%d" % index) if self.args.users else "",
            "created": created,
            "rtt_ms": round(0.2 + (index % 7) * 0.35, 2),
            "sent_bytes": sent,
            "sent_packets": sent // 1316,
            "retransmitted_packets": 0,
            "lost_packets": 0,
            "dropped_packets": 0,
            "send_buffer_ms": 12 + index % 9,
            "send_rate_mbps": round(latest / 1024.0, 3),
            "bandwidth_mbps": 940.0,
            "backlog_bytes": 1316 * (index % 3),
            "bitrate_kbps": latest,
            "faststart_chunks": 1200 if index % 4 == 1 else 0,
        }
        # Trouble grows per status request, not per second: a browser under virtual time polls
        # faster than the wall clock moves, and each poll must still see the counters rise.
        if kind == "lossy":
            doc.update(rtt_ms=48.5, lost_packets=4 * polls, retransmitted_packets=5 * polls)
        elif kind == "failing":
            doc.update(
                rtt_ms=180.0,
                lost_packets=30 * polls,
                retransmitted_packets=40 * polls,
                dropped_packets=12 * polls,
                backlog_bytes=150_000 * polls,
                send_buffer_ms=SRT_LATENCY_MS,
            )
        return doc

    def caller_indices(self, n):
        if not self.args.churn:
            first = 0 if self.first_left_ms is None else 1
            return list(range(first, self.args.callers))
        # Every request shows a different set, and every fifth one none at all.
        if n % 5 == 0:
            return []
        return [i for i in range(5) if (n + i) % 3 != 0]

    def departed(self, now_ms):
        out = []
        if self.first_left_ms is not None:
            out.append({
                "id": 0x2A000000,
                "remote": self.url(0),
                "user": "viewer0" if self.args.users else "",
                "created": self.created_ms(0),
                "ended_ms": self.first_left_ms,
                "reason": "closed",
                "sent_bytes": 7800 * 128 * 60,
            })
        for k in range(min(self.args.departed, 50 - len(out))):
            ended = now_ms - 20_000 * (k + 1)
            index = self.caller_count() + k
            out.append({
                "id": 0x2B000000 + k,
                "remote": self.url(index),
                "user": ("viewer%d" % index) if self.args.users else "",
                "created": ended - 300_000,
                "ended_ms": ended,
                "reason": DEPARTED_REASONS[k % len(DEPARTED_REASONS)],
                "sent_bytes": 7800 * 128 * 300,
            })
        return out

    # ---- the documents --------------------------------------------------------------------

    def stats(self, n):
        now_s = time.time()
        with self.lock:
            indices = self.caller_indices(n)
            self.churn_indices = indices
        return {
            "settings": {
                "source": "udp://@239.1.1.1:1234 (192.0.2.10)",
                "port": "9000",
                "webport": str(self.args.bound_port),
                "ver": "0.5",
            },
            "stats": {
                "left": {"data": self.input_history(now_s, n)},
                "right": [self.caller(i, now_s) for i in indices],
            },
        }

    def status(self):
        now_ms = int(time.time() * 1000)
        with self.lock:
            self.status_requests += 1
            polls = self.status_requests
            if self.args.leave_after and polls > self.args.leave_after and self.first_left_ms is None:
                self.first_left_ms = now_ms
            indices = list(self.churn_indices) if self.args.churn else self.caller_indices(0)
        return {
            "version": "0.5",
            "now_ms": now_ms,
            "srt_latency_ms": SRT_LATENCY_MS,
            "input": self.input_status(now_ms),
            "callers": [self.caller_status(i, now_ms, polls) for i in indices],
            "departed": self.departed(now_ms),
        }


class Handler(http.server.SimpleHTTPRequestHandler):
    scenario = None
    verbose = False

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path not in ("/stats", "/api/v1/status"):
            return super().do_GET()
        if path == "/api/v1/status" and self.scenario.args.no_status_api:
            self.send_error(404, "Not Found")
            return
        n = self.scenario.next_request()
        if self.scenario.should_fail(n):
            self.fail()
            return
        doc = self.scenario.stats(n) if path == "/stats" else self.scenario.status()
        body = json.dumps(doc, separators=(",", ":")).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def fail(self):
        mode = self.scenario.args.fail_mode
        if mode == "drop":
            # Closing without a reply is what the browser sees when the server dies mid-request.
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if mode == "hang":
            time.sleep(HANG_S)
        self.send_error(503, "fake outage")

    def log_message(self, fmt, *args):
        if self.verbose:
            sys.stderr.write("fake_stats: " + (fmt % args) + "\n")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=0, help="0 picks a free port")
    p.add_argument("--web", default=DEFAULT_WEB, help="folder served at /")
    p.add_argument("--callers", type=int, default=2, help="fixed number of callers")
    p.add_argument("--churn", action="store_true", help="callers and input history change per request")
    p.add_argument("--input", choices=["live", "stalled", "never"], default="live", help="state of the input")
    p.add_argument("--format", choices=["ts", "rtp"], default="ts", help="input format once data arrives")
    p.add_argument("--input-errors", action="store_true", help="continuity, sync (and RTP) counters keep rising")
    p.add_argument("--lossy", type=int, default=0, help="last K callers lose and retransmit packets")
    p.add_argument("--failing", type=int, default=0, help="K callers mid-list drop packets, backlog grows")
    p.add_argument("--departed", type=int, default=0, help="K callers that left recently (at most 50)")
    p.add_argument("--leave-after", type=int, default=0, help="the first caller leaves after K status requests")
    p.add_argument("--users", action="store_true", help="callers carry user names")
    p.add_argument("--no-status-api", action="store_true", help="answer 404 on /api/v1/status (an older server)")
    p.add_argument("--empty-input", action="store_true", help="always answer left.data = []")
    p.add_argument("--fail-every", type=int, default=0, help="fail every K-th /stats or /api/v1/status request")
    p.add_argument("--fail-after", type=int, default=0, help="fail every request after the K-th")
    p.add_argument(
        "--fail-mode", choices=["503", "drop", "hang"], default="503", help="how a failing request answers"
    )
    p.add_argument("--lifetime", type=float, default=300.0, help="exit after this many seconds")
    p.add_argument("--verbose", action="store_true")
    return p.parse_args()


def main():
    args = parse_args()
    Handler.verbose = args.verbose
    handler = functools.partial(Handler, directory=args.web)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    server.daemon_threads = True
    args.bound_port = server.server_address[1]
    Handler.scenario = Scenario(args, time.time())
    print("http://127.0.0.1:%d/" % args.bound_port, flush=True)

    worker = threading.Thread(target=server.serve_forever, daemon=True)
    worker.start()
    try:
        time.sleep(args.lifetime)
    except KeyboardInterrupt:
        pass
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()
