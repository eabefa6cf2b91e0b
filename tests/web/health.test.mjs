// The dashboard's health judgement against its thresholds, without a browser.
import assert from "node:assert/strict";
import {describe, test} from "node:test";

import {
    classifyInput,
    countersOverWindow,
    HOLD_MS,
    inputStateFromHistory,
    judgeCaller,
    newCallerTrack,
    pageState,
    recordInputCounters,
    trackCaller,
} from "../../WEB/js/health.js";

const LATENCY_MS = 500;

// One status answer per entry ({t, ...caller fields}); the health after each.
function judgeAll(answers, latencyMs = LATENCY_MS) {
    let track = newCallerTrack();
    return answers.map(({t, ...caller}) => {
        track = trackCaller(track, caller, t);
        return judgeCaller(track, caller, t, latencyMs);
    });
}

const quiet = {
    lost_packets : 0,
    retransmitted_packets : 0,
    dropped_packets : 0,
    backlog_bytes : 0,
    rtt_ms : 1,
    bitrate_kbps : 400
};

describe("caller health from counter changes", () => {
    test("a drop fails the caller for exactly the hold, then it recovers", () => {
        assert.deepEqual(judgeAll([
                             {t : 0, ...quiet},
                             {t : 1000, ...quiet, dropped_packets : 1},
                             {t : 1000 + HOLD_MS - 1, ...quiet, dropped_packets : 1},
                             {t : 1000 + HOLD_MS, ...quiet, dropped_packets : 1},
                         ]),
                         [ "healthy", "failing", "failing", "healthy" ]);
    });

    test("loss or retransmission alone degrades for the hold but never fails", () => {
        for (const field of ["lost_packets", "retransmitted_packets"]) {
            assert.deepEqual(judgeAll([
                                 {t : 0, ...quiet},
                                 {t : 1000, ...quiet, [field] : 500},
                                 {t : 1000 + HOLD_MS, ...quiet, [field] : 500},
                             ]),
                             [ "healthy", "degraded", "healthy" ], field);
        }
    });

    test("rates are per second of server time, and a counter that went down gives none", () => {
        let track = newCallerTrack();
        track = trackCaller(track, {...quiet, lost_packets : 100}, 0);
        track = trackCaller(track, {...quiet, lost_packets : 110}, 2000);
        assert.equal(track.loss, 5);
        track = trackCaller(track, {...quiet, lost_packets : 3}, 3000);
        assert.ok(Number.isNaN(track.loss));
    });

    test("an answer no newer than the previous one is not counted again", () => {
        assert.deepEqual(judgeAll([
                             {t : 0, ...quiet},
                             {t : 1000, ...quiet, backlog_bytes : 70000},
                             {t : 1000, ...quiet, backlog_bytes : 80000},
                             {t : 900, ...quiet, backlog_bytes : 90000},
                         ]),
                         [ "healthy", "healthy", "healthy", "healthy" ]);
    });

    test("RTT degrades above a quarter of the latency, or above 150 ms without one", () => {
        const at = (rtt, latency) => judgeAll([ {t : 0, ...quiet, rtt_ms : rtt} ], latency)[0];
        assert.equal(at(125, 500), "healthy");
        assert.equal(at(125.5, 500), "degraded");
        for (const latency of [0, NaN]) {
            assert.equal(at(150, latency), "healthy", String(latency));
            assert.equal(at(151, latency), "degraded", String(latency));
        }
    });
});

describe("caller health from a growing backlog", () => {
    const growing = (sizes, bitrate) => judgeAll(
        sizes.map((b, i) => ({t : i * 1000, ...quiet, backlog_bytes : b, bitrate_kbps : bitrate})));

    test("two rises in a row degrade, a third fails once above the 64 KiB floor", () => {
        assert.deepEqual(growing([ 0, 30000, 70000, 80000 ], 400),
                         [ "healthy", "healthy", "degraded", "failing" ]);
    });

    test("three rises below the limit only degrade; the limit grows with the bitrate", () => {
        // Above 1 s of 400 kbit/s (51200 bytes) but below the floor.
        assert.deepEqual(growing([ 0, 30000, 55000, 60000 ], 400).at(-1), "degraded");
        // 1 s of 1024 kbit/s is 131072 bytes, above the floor.
        assert.deepEqual(growing([ 0, 30000, 60000, 131072 ], 1024).at(-1), "degraded");
        assert.deepEqual(growing([ 0, 30000, 60000, 131073 ], 1024).at(-1), "failing");
    });

    test("a backlog that shrinks once starts the count over", () => {
        assert.deepEqual(growing([ 0, 30000, 60000, 50000, 70000 ], 400).slice(2),
                         [ "degraded", "healthy", "healthy" ]);
    });
});

describe("input state", () => {
    const live = {format : "ts", stalled : false, last_datagram_ms : 5000};

    test("from the status document: receiving, stalled, none before the first datagram", () => {
        assert.equal(classifyInput(live), "receiving");
        assert.equal(classifyInput({...live, stalled : true}), "stalled");
        // "No input yet" wins over the stall flag, which the server also sets then.
        assert.equal(classifyInput({format : "none", stalled : true, last_datagram_ms : null}),
                     "none");
        assert.equal(classifyInput({...live, last_datagram_ms : null}), "none");
        for (const missing of [undefined, null, [], "ts"])
            assert.equal(classifyInput(missing), "unknown");
    });

    test("from the bitrate history alone the newest sample decides", () => {
        assert.equal(inputStateFromHistory([ {y : 0}, {y : 7800} ]), "stalled");
        assert.equal(inputStateFromHistory([ {y : 12}, {y : 0} ]), "receiving");
        assert.equal(inputStateFromHistory([]), "unknown");
        assert.equal(inputStateFromHistory([ {y : null} ]), "unknown");
    });

    test("error counters count over the last minute and start over after a restart", () => {
        const counts = (cc) => ({ts_continuity_errors : cc, ts_sync_errors : 0});
        let window = recordInputCounters([], 0, counts(10));
        assert.equal(countersOverWindow(window), null);
        for (let t = 1000; t <= 90000; t += 1000)
            window = recordInputCounters(window, t, counts(10 + t / 1000));
        const minute = countersOverWindow(window);
        assert.equal(minute.spanS, 60);
        assert.equal(minute.cc, 60);
        assert.equal(countersOverWindow(recordInputCounters(window, 90000, counts(500))).cc, 60,
                     "a repeated answer is ignored");
        window = recordInputCounters(window, 91000, counts(2));
        assert.equal(countersOverWindow(window), null);
    });
});

describe("page state", () => {
    test("live needs an answering server and a receiving input", () => {
        const up = {everOk : true, lastFailed : false};
        assert.equal(pageState(up, "receiving"), "ok");
        assert.equal(pageState(up, "stalled"), "noinput");
        assert.equal(pageState(up, "none"), "noinput");
        assert.equal(pageState(up, "unknown"), "loading");
        assert.equal(pageState({everOk : false, lastFailed : false}, "receiving"), "loading");
        assert.equal(pageState({everOk : true, lastFailed : true}, "receiving"), "error");
    });
});
