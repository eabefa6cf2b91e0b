#!/usr/bin/env python3
"""Stand-in for the server's web side: serves the WEB folder and a changing /stats.

Lets the dashboard be developed and checked in a browser without the real server.
Binds to 127.0.0.1 only, prints its base URL as the first stdout line and exits by
itself after --lifetime seconds.

  fake_stats_server.py [--port 0] [--web DIR] [--callers N | --churn]
                       [--empty-input] [--fail-every K | --fail-after K]
                       [--fail-mode 503|drop|hang] [--lifetime S]
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
DEFAULT_WEB = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "WEB"))


def local_text(epoch_s):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(epoch_s))


def history(now_s, base_kbps, seed, length=HISTORY_LEN):
    """Newest-first samples on the 3 s grid, like the server keeps them."""
    newest = int(now_s) - int(now_s) % SAMPLE_PERIOD_S
    rng = random.Random(seed * 7919 + newest)
    samples = []
    for i in range(length):
        t = newest - i * SAMPLE_PERIOD_S
        wave = 0.06 * base_kbps * math.sin(t / 11.0 + seed)
        samples.append({"x": local_text(t), "y": int(base_kbps + wave + rng.uniform(-40, 40))})
    return samples


class Scenario:
    def __init__(self, args, started_s):
        self.args = args
        self.started_ms = int(started_s * 1000)
        self.requests = 0
        self.lock = threading.Lock()  # guards requests: handler threads count concurrently

    def next_request(self):
        with self.lock:
            self.requests += 1
            return self.requests

    def should_fail(self, n):
        every, after = self.args.fail_every, self.args.fail_after
        return bool((every and n % every == 0) or (after and n > after))

    def caller(self, index, now_s):
        return {
            "url": "198.51.100.%d:%d" % (7 + index, 50123 + index),
            "created": str(self.started_ms - (index + 1) * 97_000),
            "data": history(now_s, 7800 - 60 * index, index + 1, HISTORY_LEN - index),
        }

    def caller_indices(self, n):
        if not self.args.churn:
            return list(range(self.args.callers))
        # Every request shows a different set, and every fifth one none at all.
        if n % 5 == 0:
            return []
        return [i for i in range(5) if (n + i) % 3 != 0]

    def stats(self, n):
        now_s = time.time()
        left = [] if self.args.empty_input or (self.args.churn and n % 7 == 0) else history(now_s, 7812, 0)
        return {
            "settings": {
                "source": "udp://@239.1.1.1:1234 (192.0.2.10)",
                "port": "9000",
                "webport": str(self.args.bound_port),
                "ver": "0.5",
            },
            "stats": {
                "left": {"data": left},
                "right": [self.caller(i, now_s) for i in self.caller_indices(n)],
            },
        }


class Handler(http.server.SimpleHTTPRequestHandler):
    scenario = None
    verbose = False

    def do_GET(self):
        if self.path.split("?", 1)[0] != "/stats":
            return super().do_GET()
        n = self.scenario.next_request()
        if self.scenario.should_fail(n):
            self.fail()
            return
        body = json.dumps(self.scenario.stats(n), separators=(",", ":")).encode()
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
    p.add_argument("--empty-input", action="store_true", help="always answer left.data = []")
    p.add_argument("--fail-every", type=int, default=0, help="answer 503 on every K-th /stats")
    p.add_argument("--fail-after", type=int, default=0, help="fail every /stats after the K-th")
    p.add_argument(
        "--fail-mode", choices=["503", "drop", "hang"], default="503", help="how a failing /stats answers"
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
