// The health judgement: input state, caller health and the page's overall state, from the
// server's documents alone. Pure functions over plain values, no DOM: a judgement's memory
// (a caller's track, the input's counter window) goes in and the next one comes out.
import {isObject, latestRate, num} from "./format.js";

// Caller health, judged on every status poll from the counters' change since the previous one
// (all times on the server's clock, so a slow poll does not inflate a rate):
//   failing:  dropped_packets rose within the last HOLD_MS (the receiver is missing stream data),
//             or backlog_bytes grew on FAILING_BACKLOG_RISES polls in a row and holds more than
//             1 s of the caller's bitrate (at least BACKLOG_FLOOR_BYTES): it cannot keep up.
//   degraded: lost_packets or retransmitted_packets rose within the last HOLD_MS (loss that SRT
//             still repairs), or RTT above a quarter of the SRT latency (retransmissions need
//             about 4 RTT to fit in the latency; FILE_MODE_RTT_MS when latency is 0), or the
//             backlog grew on DEGRADED_BACKLOG_RISES polls in a row.
//   healthy:  none of these. Without api/v1/status the state is unknown.
// The hold keeps a row from flickering between states (and jumping in a worst-first order)
// when loss comes in bursts a few seconds apart.
export const HOLD_MS = 10000;
export const FAILING_BACKLOG_RISES = 3;
export const DEGRADED_BACKLOG_RISES = 2;
export const BACKLOG_FLOOR_BYTES = 64 * 1024;
export const FILE_MODE_RTT_MS = 150;
export const ERROR_WINDOW_MS = 60000;

export const HEALTH_RANK = {
    failing : 3,
    degraded : 2,
    healthy : 1,
    unknown : 0
};

// What a caller's judgement remembers between status answers.
export function newCallerTrack() {
    return {
        prev : null,
        lastLossAt : -Infinity,
        lastDropAt : -Infinity,
        backlogRises : 0,
        loss : NaN,
        retrans : NaN
    };
}

// The track after one more status answer: per-second loss and retransmission rates over the
// step, when loss or a drop was last seen, how many polls in a row the backlog grew. An answer
// not newer than the previous one changes nothing; a counter that went down gives no rate.
export function trackCaller(track, caller, nowMs) {
    const current = {
        t : nowMs,
        lost : num(caller.lost_packets),
        retrans : num(caller.retransmitted_packets),
        dropped : num(caller.dropped_packets),
        backlog : num(caller.backlog_bytes),
    };
    const prev = track.prev;
    if (prev && !(current.t > prev.t))
        return track;
    const next = {...track, prev : current};
    if (prev) {
        const dt = (current.t - prev.t) / 1000;
        const rate = (a, b) => (a >= b ? (a - b) / dt : NaN);
        next.loss = rate(current.lost, prev.lost);
        next.retrans = rate(current.retrans, prev.retrans);
        if (next.loss > 0 || next.retrans > 0)
            next.lastLossAt = nowMs;
        if (current.dropped > prev.dropped)
            next.lastDropAt = nowMs;
        next.backlogRises = current.backlog > prev.backlog ? track.backlogRises + 1 : 0;
    }
    return next;
}

export const dropAlert = (track, nowMs) => nowMs - track.lastDropAt < HOLD_MS;
export const backlogAlert = (track) => track.backlogRises >= DEGRADED_BACKLOG_RISES;

// "failing", "degraded" or "healthy" for a caller whose track already holds this answer.
export function judgeCaller(track, caller, nowMs, latencyMs) {
    const bitrateBytes = num(caller.bitrate_kbps) * 128;
    const backlogLimit =
        Math.max(BACKLOG_FLOOR_BYTES, Number.isFinite(bitrateBytes) ? bitrateBytes : 0);
    const rttLimit = latencyMs > 0 ? latencyMs / 4 : FILE_MODE_RTT_MS;
    if (dropAlert(track, nowMs) ||
        (track.backlogRises >= FAILING_BACKLOG_RISES && num(caller.backlog_bytes) > backlogLimit))
        return "failing";
    if (nowMs - track.lastLossAt < HOLD_MS || num(caller.rtt_ms) > rttLimit || backlogAlert(track))
        return "degraded";
    return "healthy";
}

// "none" until the first datagram, then "receiving" or "stalled"; "unknown" without a document.
export function classifyInput(input) {
    if (!isObject(input))
        return "unknown";
    if (input.format === "none" || input.last_datagram_ms === null)
        return "none";
    return input.stalled === true ? "stalled" : "receiving";
}

// An older server only tells the bitrate history: a zero sample is the best sign of a stall.
export function inputStateFromHistory(samples) {
    const latest = latestRate(samples);
    return !Number.isFinite(latest) ? "unknown" : latest > 0 ? "receiving" : "stalled";
}

const INPUT_COUNTERS = [ "cc", "sync", "lost", "dup", "reordered" ];

// The input's error counters, one entry per status answer, trimmed to the last minute (plus
// the newest entry at or before its start, so a difference spans the whole minute). A counter
// that went down means the server restarted: the window starts over from there.
export function recordInputCounters(window, nowMs, input) {
    const rtp = isObject(input.rtp) ? input.rtp : {};
    const current = {
        t : nowMs,
        cc : num(input.ts_continuity_errors),
        sync : num(input.ts_sync_errors),
        lost : num(rtp.lost_packets),
        dup : num(rtp.duplicate_packets),
        reordered : num(rtp.reordered_packets),
    };
    const previous = window[window.length - 1];
    if (previous && current.t <= previous.t)
        return window;
    const restarted = previous && INPUT_COUNTERS.some((k) => current[k] < previous[k]);
    const next = restarted ? [ current ] : [...window, current ];
    let start = 0;
    while (next.length - start > 2 && next[start + 1].t <= nowMs - ERROR_WINDOW_MS)
        start += 1;
    return next.slice(start);
}

// How much each counter grew over the window, with its span; null until there are two entries.
export function countersOverWindow(window) {
    const first = window[0];
    const last = window[window.length - 1];
    if (!first || first === last)
        return null;
    const out = {spanS : (last.t - first.t) / 1000};
    for (const key of INPUT_COUNTERS)
        out[key] = last[key] - first[key];
    return out;
}

// "Live" needs both: a server that answers and an input that delivers.
export function pageState({everOk, lastFailed}, inputState) {
    if (lastFailed)
        return "error";
    if (everOk && inputState === "receiving")
        return "ok";
    if (everOk && (inputState === "stalled" || inputState === "none"))
        return "noinput";
    return "loading";
}
