#!/usr/bin/env python3
"""Stand-in for the server's web side: serves the WEB folder, a changing /stats and an
/api/v1/status describing the same callers, so the dashboard can be checked in a browser in
situations the real server cannot be put in on demand.

Binds to 127.0.0.1 only, prints its base URL as the first stdout line and exits by itself
after --lifetime seconds.

Caller i has the address 198.51.100.X:(50123 + i). The --failing callers sit in the middle of
the list and the --lossy ones at its end, so a worst-first order has to move them up. Their
counters grow per status request, not per second: every poll must see them rise.
"""

import argparse
import functools
import http.server
import json
import os
import threading
import time

HISTORY_LEN = 20
SAMPLE_PERIOD_S = 3
STALL_AGE_S = 45  # a stalled input stopped this long before the fake server started
CONNECT_SPACING_MS = 9_000
SRT_LATENCY_MS = 500
DEPARTED_REASONS = ["closed", "lost", "fell_behind", "error"]
DEFAULT_WEB = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "WEB"))


def sample_rate(t, base_kbps):
    return base_kbps + (t * 37) % 200


def history(now_s, base_kbps, length, silent_from_s):
    """Newest-first samples on the 3 s grid, like the server keeps them; zero from silent_from_s on."""
    newest = int(now_s) - int(now_s) % SAMPLE_PERIOD_S
    times = [newest - i * SAMPLE_PERIOD_S for i in range(max(0, min(length, HISTORY_LEN)))]
    return [
        {
            "x": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)),
            "y": 0 if silent_from_s is not None and t >= silent_from_s else sample_rate(t, base_kbps),
        }
        for t in times
    ]


class Scenario:
    def __init__(self, args):
        self.args = args
        self.started_ms = int(time.time() * 1000)
        self.status_requests = 0
        self.first_left_ms = None
        self.lock = threading.Lock()  # guards status_requests and first_left_ms: handlers run in threads

    def silent_from_s(self):
        return self.started_ms / 1000 - STALL_AGE_S if self.args.input == "stalled" else None

    def created_ms(self, index):
        return self.started_ms - (self.args.callers - index) * CONNECT_SPACING_MS

    def url(self, index):
        return "198.51.100.%d:%d" % (7 + index % 200, 50123 + index)

    def user(self, index):
        return "viewer%d" % index if self.args.users else ""

    def kind(self, index):
        middle = self.args.callers // 2
        if index >= self.args.callers - self.args.lossy:
            return "lossy"
        return "failing" if middle <= index < middle + self.args.failing else "healthy"

    def caller_history(self, index, now_s):
        length = 1 + int((now_s - self.created_ms(index) / 1000) // SAMPLE_PERIOD_S)
        return history(now_s, 7800 - 60 * (index % 20), length, self.silent_from_s())

    def indices(self):
        return range(0 if self.first_left_ms is None else 1, self.args.callers)

    def input_status(self, now_ms):
        doc = {
            "format": self.args.format,
            "stalled": False,
            "stalled_since_ms": None,
            "last_datagram_ms": now_ms - 2,
            "stalls_total": 0,
            "datagrams_dropped_oversize": 0,
            "ts_sync_errors": 0,
            "ts_continuity_errors": 0,
            "bitrate_kbps": sample_rate(now_ms // 1000, 7812),
            "rtp": {"lost_packets": 0, "duplicate_packets": 0, "reordered_packets": 0},
        }
        if self.args.input == "stalled":
            since = self.started_ms - STALL_AGE_S * 1000
            doc.update(stalled=True, stalled_since_ms=since, last_datagram_ms=since, stalls_total=1)
            doc.update(bitrate_kbps=0)
        return doc

    def caller_status(self, index, now_ms, polls):
        created = self.created_ms(index)
        latest = self.caller_history(index, now_ms / 1000)[0]["y"]
        sent = int(latest * 128 * (now_ms - created) / 1000)
        doc = {
            "remote": self.url(index),
            "user": self.user(index),
            "created": created,
            "rtt_ms": round(0.2 + (index % 7) * 0.35, 2),
            "sent_bytes": sent,
            "retransmitted_packets": 0,
            "lost_packets": 0,
            "dropped_packets": 0,
            "send_buffer_ms": 12 + index % 9,
            "backlog_bytes": 1316 * (index % 3),
            "bitrate_kbps": latest,
        }
        kind = self.kind(index)
        if kind == "lossy":
            doc.update(rtt_ms=48.5, lost_packets=4 * polls, retransmitted_packets=5 * polls)
        elif kind == "failing":
            doc.update(rtt_ms=180.0, lost_packets=30 * polls, dropped_packets=12 * polls)
            doc.update(backlog_bytes=150_000 * polls)
        return doc

    def departed(self, now_ms):
        out = []
        if self.first_left_ms is not None:
            out.append({"remote": self.url(0), "user": self.user(0), "created": self.created_ms(0),
                        "ended_ms": self.first_left_ms, "reason": "closed", "sent_bytes": 7800 * 128 * 60})
        for k in range(self.args.departed):
            ended = now_ms - 20_000 * (k + 1)
            index = self.args.callers + k
            out.append({"remote": self.url(index), "user": self.user(index), "created": ended - 300_000,
                        "ended_ms": ended, "reason": DEPARTED_REASONS[k % len(DEPARTED_REASONS)],
                        "sent_bytes": 7800 * 128 * 300})
        return out

    def stats(self):
        now_s = time.time()
        return {
            "settings": {"source": "udp://@239.1.1.1:1234 (192.0.2.10)", "port": "9000",
                         "webport": str(self.args.bound_port), "ver": "0.5"},
            "stats": {
                "left": {"data": history(now_s, 7812, HISTORY_LEN, self.silent_from_s())},
                "right": [
                    {"url": self.url(i), "created": str(self.created_ms(i)), "data": self.caller_history(i, now_s)}
                    for i in self.indices()
                ],
            },
        }

    def status(self):
        now_ms = int(time.time() * 1000)
        with self.lock:
            self.status_requests += 1
            polls = self.status_requests
            if self.args.leave_after and polls > self.args.leave_after and self.first_left_ms is None:
                self.first_left_ms = now_ms
        return {
            "version": "0.5",
            "now_ms": now_ms,
            "srt_latency_ms": SRT_LATENCY_MS,
            "input": self.input_status(now_ms),
            "callers": [self.caller_status(i, now_ms, polls) for i in self.indices()],
            "departed": self.departed(now_ms),
            "access": {"max_callers": None, "callers": len(self.indices()), "networks": [], "users": self.args.users,
                       "user_count": self.args.callers if self.args.users else 0, "webauth": False,
                       "refused_total": {}, "refused_recent": {}, "recent_window_s": 600},
        }


class Handler(http.server.SimpleHTTPRequestHandler):
    scenario = None

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path not in ("/stats", "/api/v1/status"):
            return super().do_GET()
        if path == "/api/v1/status" and self.scenario.args.no_status_api:
            return self.send_error(404, "Not Found")
        body = json.dumps(self.scenario.stats() if path == "/stats" else self.scenario.status()).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        pass


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=0, help="0 picks a free port")
    p.add_argument("--callers", type=int, default=2)
    p.add_argument("--input", choices=["live", "stalled"], default="live")
    p.add_argument("--format", choices=["ts", "rtp"], default="ts", help="input format once data arrives")
    p.add_argument("--lossy", type=int, default=0, help="last K callers lose and retransmit packets")
    p.add_argument("--failing", type=int, default=0, help="K callers mid-list drop packets, backlog grows")
    p.add_argument("--departed", type=int, default=0, help="K callers that left recently")
    p.add_argument("--leave-after", type=int, default=0, help="the first caller leaves after K status requests")
    p.add_argument("--users", action="store_true", help="callers carry user names")
    p.add_argument("--no-status-api", action="store_true", help="answer 404 on /api/v1/status (an older server)")
    p.add_argument("--lifetime", type=float, default=300.0, help="exit after this many seconds")
    return p.parse_args()


def main():
    args = parse_args()
    handler = functools.partial(Handler, directory=DEFAULT_WEB)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    server.daemon_threads = True
    args.bound_port = server.server_address[1]
    Handler.scenario = Scenario(args)
    print("http://127.0.0.1:%d/" % args.bound_port, flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        time.sleep(args.lifetime)
    except KeyboardInterrupt:
        pass
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()
