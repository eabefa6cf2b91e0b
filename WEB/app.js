// Status dashboard: polls api/v1/status (input health, per-caller SRT counters) every second and
// /stats (settings, bitrate histories) every 3 s. A server without api/v1/status (404) is shown
// from /stats alone.
(function() {
"use strict";

const STATUS_POLL_MS = 1000;
const STATS_POLL_MS = 3000;
// Shorter than the /stats period so a hung request never delays the next poll much.
const FETCH_TIMEOUT_MS = 2500;
// After a 404 the server may have been upgraded meanwhile; asking again now and then is cheap.
const STATUS_REPROBE_MS = 30000;
// The server counts 1 kbit as 1024 bit, so the next unit up uses the same base.
const KBIT_PER_MBIT = 1024;
// 20 samples, 3 s apart: a fixed window keeps charts from rescaling while history fills up.
const HISTORY_SAMPLES = 20;
const HISTORY_SPAN_S = 57;
const ERROR_WINDOW_MS = 60000;
const DEPARTED_SHOWN = 10;
// New rows built per render; the rest follow in the next task. Keeps the first render of a
// long caller list (and a burst of new callers) as short as an update.
const ROWS_PER_RENDER = 25;

const INPUT_CHART_HEIGHT = 240;
const DETAIL_CHART_HEIGHT = 170;

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
const HOLD_MS = 10000;
const FAILING_BACKLOG_RISES = 3;
const DEGRADED_BACKLOG_RISES = 2;
const BACKLOG_FLOOR_BYTES = 64 * 1024;
const FILE_MODE_RTT_MS = 150;
const HEALTH_RANK = {
    failing : 3,
    degraded : 2,
    healthy : 1,
    unknown : 0
};
const HEALTH_TEXT = {
    failing : "Failing",
    degraded : "Degraded",
    healthy : "OK",
    unknown : "—"
};

const REASON_TEXT = {
    closed : "hung up",
    lost : "connection lost",
    fell_behind : "fell behind",
    error : "error",
};

const byId = (id) => document.getElementById(id);

const charts = new Map(); // chart host element -> uPlot instance
let inputChart = null;

// Which documents the server offers: "unknown" until the first status answer, then "present"
// or "absent" (404).
let statusApi = "unknown";
let statusReprobeAt = 0;
let statusTried = false;
let lastStatus = null;
let lastStats = null;
let everOk = false;
let lastOkAt = null;
let lastFailed = false;
let inputState = "unknown";
const inputCounters = []; // {t, cc, sync, lost, dup, reordered}, oldest first, one per status

const renderStats = {
    last : 0,
    max : 0,
    count : 0
};

const resizer = new ResizeObserver((entries) => {
    for (const entry of entries) {
        const chart = charts.get(entry.target);
        const width = Math.floor(entry.contentRect.width);
        if (chart && width > 0 && width !== chart.width) {
            chart.setSize({width, height : chart.height});
        }
    }
});

// ---- formatting ---------------------------------------------------------

function formatRate(kbps) {
    if (!Number.isFinite(kbps))
        return "—";
    if (kbps >= KBIT_PER_MBIT) {
        const mbps = kbps / KBIT_PER_MBIT;
        return mbps.toFixed(mbps >= 100 ? 1 : 2) + "\u00a0Mbit/s";
    }
    return Math.round(kbps) + "\u00a0kbit/s";
}

function formatAxisRate(kbps, compact) {
    if (kbps === 0)
        return "0";
    if (kbps >= KBIT_PER_MBIT) {
        const mbps = kbps / KBIT_PER_MBIT;
        const text = mbps.toFixed(mbps >= 10 || Number.isInteger(mbps) ? 0 : 1);
        return compact ? text + "M" : text + " Mbit/s";
    }
    return compact ? Math.round(kbps) + "k" : Math.round(kbps) + " kbit/s";
}

function formatBytes(bytes) {
    if (!Number.isFinite(bytes))
        return "—";
    const units = [ "B", "KiB", "MiB", "GiB", "TiB" ];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
        value /= 1024;
        unit += 1;
    }
    const digits = unit === 0 || value >= 100 ? 0 : 1;
    return value.toFixed(digits) + "\u00a0" + units[unit];
}

// Thousands grouped by hand: toLocaleString costs more than the rest of a row's update.
function formatCount(n) {
    if (!Number.isFinite(n))
        return "—";
    const digits = String(Math.round(Math.abs(n)));
    let out = digits.slice(0, ((digits.length - 1) % 3) + 1);
    for (let i = out.length; i < digits.length; i += 3)
        out += "," + digits.slice(i, i + 3);
    return (n < 0 ? "-" : "") + out;
}

function formatPerSecond(rate) {
    if (!Number.isFinite(rate))
        return "—";
    if (rate === 0)
        return "0";
    return rate >= 10 ? String(Math.round(rate)) : rate.toFixed(1);
}

function formatMs(ms) {
    if (!Number.isFinite(ms))
        return "—";
    return (ms < 10 ? ms.toFixed(1) : String(Math.round(ms))) + "\u00a0ms";
}

const pad2 = (n) => String(n).padStart(2, "0");

function formatLocalDateTime(date) {
    return (date.getFullYear() + "-" + pad2(date.getMonth() + 1) + "-" + pad2(date.getDate()) +
            " " + pad2(date.getHours()) + ":" + pad2(date.getMinutes()) + ":" +
            pad2(date.getSeconds()));
}

function clockText(epochMs) { return formatLocalDateTime(new Date(epochMs)).slice(11); }

function formatDuration(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0)
        return "";
    const s = Math.floor(seconds);
    const d = Math.floor(s / 86400);
    const h = Math.floor((s % 86400) / 3600);
    const m = Math.floor((s % 3600) / 60);
    if (d > 0)
        return d + " d " + h + " h";
    if (h > 0)
        return h + " h " + m + " min";
    if (m > 0)
        return m + " min " + (s % 60) + " s";
    return s + " s";
}

// For cells refreshed every second: whole minutes once past one, so the text rarely changes.
function formatAge(seconds) {
    if (!Number.isFinite(seconds))
        return "—";
    const s = Math.max(0, Math.floor(seconds));
    if (s < 60)
        return s + " s";
    if (s < 3600)
        return Math.floor(s / 60) + " min";
    return formatDuration(s).replace(/ \d+ s$/, "");
}

// ---- small DOM helpers --------------------------------------------------

function text(value) {
    return value === undefined || value === null || value === "" ? "—" : String(value);
}

// Writes only on change: most cells keep their value from one poll to the next.
function setText(node, value) {
    if (node.data !== value)
        node.data = value;
}

function setAttr(el, name, value) {
    if (el.getAttribute(name) !== value)
        el.setAttribute(name, value);
}

function setElText(el, value) {
    if (el.textContent !== value)
        el.textContent = value;
}

function num(value) {
    const n = typeof value === "number" ? value : Number(value);
    return value === null || value === undefined || value === "" || !Number.isFinite(n) ? NaN : n;
}

function isObject(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value);
}

// ---- bitrate series -----------------------------------------------------

// Sample times are the server's local wall-clock text; read them as local time too.
function parseLocalTime(text) {
    const m = /^(\d{4})-(\d{2})-(\d{2})[ T](\d{2}):(\d{2}):(\d{2})$/.exec(String(text));
    if (!m)
        return NaN;
    return new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]).getTime() / 1000;
}

// The server lists newest first; uPlot needs ascending x.
function toSeries(samples) {
    const points = [];
    for (const sample of Array.isArray(samples) ? samples : []) {
        const x = parseLocalTime(sample && sample.x);
        const y = num(sample && sample.y);
        if (Number.isFinite(x) && Number.isFinite(y))
            points.push([ x, y ]);
    }
    points.sort((a, b) => a[0] - b[0]);
    return [ points.map((p) => p[0]), points.map((p) => p[1]) ];
}

function latestRate(samples) {
    if (!Array.isArray(samples) || samples.length === 0)
        return NaN;
    return num(samples[0] && samples[0].y);
}

// ---- charts -------------------------------------------------------------

function timeRange(u, min, max) {
    if (min == null || max == null) {
        const now = Date.now() / 1000;
        return [ now - HISTORY_SPAN_S, now ];
    }
    return [ Math.min(min, max - HISTORY_SPAN_S), max ];
}

// Start at zero so a steady stream reads as steady, not as noise blown up to full height.
function rateRange(u, min, max) {
    if (max == null || !(max > 0))
        return [ 0, 1 ];
    return [ 0, max * 1.15 ];
}

// Tick steps that land on round numbers in both units (kbit/s below 1024, Mbit/s above).
const RATE_INCRS = [ 1, 2, 5, 10, 20, 50, 100, 200, 256, 512 ].concat(
    [ 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000 ].map((m) => m * KBIT_PER_MBIT),
);
const TIME_INCRS = [ 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600 ];

// Outside a hover the legend shows the newest sample instead of empty dashes.
function showLatestInLegend(u) {
    const count = u.data[0].length;
    const hovering = u.cursor.left != null && u.cursor.left >= 0;
    if (count > 0 && !hovering)
        u.setLegend({idx : count - 1}, false);
}

function createChart(host, {height, stroke, fill}) {
    const width = Math.max(Math.floor(host.clientWidth), 120);
    const axisFont = "12px system-ui, sans-serif";
    const grid = {stroke : "#e6e9ef", width : 1};
    const ticks = {stroke : "#d3d8e0", width : 1, size : 4};
    const opts = {
        width,
        height,
        cursor : {drag : {x : false, y : false}, points : {size : 8}},
        scales : {x : {time : true, range : timeRange}, y : {range : rateRange}},
        axes : [
            {
                font : axisFont,
                stroke : "#5b6472",
                grid,
                ticks,
                size : 36,
                space : 64,
                incrs : TIME_INCRS,
                values : (u, splits) => splits.map((v) => (v == null ? "" : clockText(v * 1000))),
            },
            {
                font : axisFont,
                stroke : "#5b6472",
                grid,
                ticks,
                size : 84,
                space : 36,
                incrs : RATE_INCRS,
                values : (u, splits) => splits.map((v) => formatAxisRate(v, false)),
            },
        ],
        series : [
            {
                label : "Sample",
                value : (u, v) => (v == null ? "—" : formatLocalDateTime(new Date(v * 1000)))
            },
            {
                label : "Bitrate",
                stroke,
                fill,
                width : 2,
                points : {size : 6},
                value : (u, v) => (v == null ? "—" : formatRate(v)),
            },
        ],
        hooks : {draw : [ showLatestInLegend ], setCursor : [ showLatestInLegend ]},
    };
    const chart = new uPlot(opts, [ [], [] ], host);
    charts.set(host, chart);
    resizer.observe(host);
    updateLiveChartCount();
    return chart;
}

function destroyChart(host) {
    const chart = charts.get(host);
    if (!chart)
        return;
    resizer.unobserve(host);
    chart.destroy();
    charts.delete(host);
    updateLiveChartCount();
}

function plot(chart, host, samples) {
    const series = toSeries(samples);
    chart.setData(series);
    host.dataset.samples = String(series[0].length);
    return series[0].length;
}

function updateLiveChartCount() { document.body.dataset.liveCharts = String(charts.size); }

// ---- settings and input chart -------------------------------------------

// Brackets keep an IPv6 page host usable in the URL.
function pageHostForUrl() {
    const host = window.location.hostname || "127.0.0.1";
    return host.includes(":") && !host.startsWith("[") ? "[" + host + "]" : host;
}

function renderSettings(settings) {
    setElText(byId("set-source"), text(settings.source));
    setElText(byId("set-port"), text(settings.port));
    setElText(byId("set-webport"), text(settings.webport));
    setElText(byId("set-ver"), text(settings.ver));
    const port = settings.port === undefined || settings.port === null ? "" : String(settings.port);
    setElText(byId("player-hint"), port ? "ffplay srt://" + pageHostForUrl() + ":" + port : "—");
}

function renderLatency(latencyMs) {
    let value = "—";
    if (Number.isFinite(latencyMs))
        value = latencyMs === 0 ? "0 (file mode)" : latencyMs + " ms";
    setElText(byId("set-latency"), value);
}

function renderInputChart(samples) {
    const host = byId("input-chart");
    if (!inputChart) {
        inputChart = createChart(host, {
            height : INPUT_CHART_HEIGHT,
            stroke : "#2563eb",
            fill : "rgba(37, 99, 235, 0.10)",
        });
    }
    const count = plot(inputChart, host, samples);
    const empty = byId("input-empty");
    empty.hidden = count > 0;
    if (everOk)
        empty.textContent = "No samples yet. The first one arrives about 3 s after start.";
    showRate(byId("input-kbps"), latestRate(samples));
}

function showRate(el, kbps) {
    setElText(el, formatRate(kbps));
    el.dataset.kbps = Number.isFinite(kbps) ? String(kbps) : "";
    el.classList.toggle("no-value", !Number.isFinite(kbps));
}

// ---- input health -------------------------------------------------------

const FORMAT_TEXT = {
    ts : "TS",
    rtp : "RTP",
    none : "none yet"
};

// Keeps one entry per status answer for the last minute and returns how much each counter
// grew over it. A counter that went down means the server restarted: start over from there.
function countersLastMinute(nowMs, input) {
    const rtp = isObject(input.rtp) ? input.rtp : {};
    const current = {
        t : nowMs,
        cc : num(input.ts_continuity_errors),
        sync : num(input.ts_sync_errors),
        lost : num(rtp.lost_packets),
        dup : num(rtp.duplicate_packets),
        reordered : num(rtp.reordered_packets),
    };
    const previous = inputCounters[inputCounters.length - 1];
    if (previous && current.t <= previous.t)
        return diffCounters();
    const restarted = previous && [ "cc", "sync", "lost", "dup", "reordered" ].some(
                                      (k) => current[k] < previous[k]);
    if (restarted)
        inputCounters.length = 0;
    inputCounters.push(current);
    // Keep the newest entry at or before the window's start so the difference spans a minute.
    while (inputCounters.length > 2 && inputCounters[1].t <= nowMs - ERROR_WINDOW_MS)
        inputCounters.shift();
    return diffCounters();
}

function diffCounters() {
    const first = inputCounters[0];
    const last = inputCounters[inputCounters.length - 1];
    if (!first || first === last)
        return null;
    const out = {spanS : (last.t - first.t) / 1000};
    for (const key of ["cc", "sync", "lost", "dup", "reordered"])
        out[key] = last[key] - first[key];
    return out;
}

function classifyInput(input) {
    if (!isObject(input))
        return "unknown";
    if (input.format === "none" || input.last_datagram_ms === null)
        return "none";
    return input.stalled === true ? "stalled" : "receiving";
}

function renderInputHealth(input, nowMs) {
    inputState = classifyInput(input);
    const banner = byId("input-health");
    setAttr(banner, "data-input-state", inputState);
    setAttr(banner, "data-detail", "full");
    if (!isObject(input))
        return;
    const format = String(input.format);
    const formatText = FORMAT_TEXT[format] || format;

    let headline = "Input: receiving " + formatText;
    let detail = "";
    if (inputState === "none") {
        headline = "No input yet";
        detail = "No datagram has arrived since the server started.";
    } else if (inputState === "stalled") {
        const since = Number.isFinite(num(input.stalled_since_ms)) ? num(input.stalled_since_ms)
                                                                   : num(input.last_datagram_ms);
        // The ticking duration stays out of the headline, which screen readers announce.
        headline =
            Number.isFinite(since) ? "Input stalled since " + clockText(since) : "Input stalled";
        detail =
            (Number.isFinite(since) ? "For " + formatAge((nowMs - since) / 1000) + ": no" : "No") +
            " datagram within the input timeout; callers get nothing new.";
    }
    setElText(byId("input-headline"), headline);
    setElText(byId("input-detail"), detail);

    setElText(byId("input-format"), formatText);
    setElText(byId("input-rate"), formatRate(num(input.bitrate_kbps)));
    const last = num(input.last_datagram_ms);
    setElText(byId("input-last"), Number.isFinite(last) ? clockText(last) : "—");
    setElText(byId("input-stalls"), formatCount(num(input.stalls_total)));
    const oversize = num(input.datagrams_dropped_oversize);
    byId("input-oversize-box").hidden = !(oversize > 0);
    setElText(byId("input-oversize"), formatCount(oversize));

    const recent = countersLastMinute(nowMs, input);
    const show = (id, value, attr) => {
        const el = byId(id);
        setElText(el, recent ? formatCount(value) : "—");
        el.classList.toggle("alert", recent !== null && value > 0);
        if (attr)
            setAttr(banner, attr, recent ? String(value) : "");
    };
    show("input-cc", recent && recent.cc, "data-cc-errors");
    show("input-sync", recent && recent.sync, "data-sync-errors");
    const rtpBox = byId("input-rtp-box");
    rtpBox.hidden = format !== "rtp";
    if (format === "rtp") {
        const rtpText = recent ? formatCount(recent.lost) + " / " + formatCount(recent.dup) +
                                     " / " + formatCount(recent.reordered)
                               : "—";
        setElText(byId("input-rtp"), rtpText);
        byId("input-rtp").classList.toggle("alert", recent !== null && recent.lost > 0);
    }
}

// An older server only tells the bitrate history: a zero sample is the best sign of a stall.
function renderInputHealthFromHistory(samples) {
    const latest = latestRate(samples);
    inputState = !Number.isFinite(latest) ? "unknown" : latest > 0 ? "receiving" : "stalled";
    const banner = byId("input-health");
    setAttr(banner, "data-input-state", inputState);
    setAttr(banner, "data-detail", statusApi === "absent" ? "bitrate-only" : "full");
    const headline = {
        unknown : "Input: no bitrate sample yet",
        receiving : "Input: receiving",
        stalled : "No input in the latest 3-second sample",
    }[inputState];
    setElText(byId("input-headline"), headline);
    setElText(byId("input-detail"),
              "This server reports bitrates only; format, errors and stalls are not available.");
    setElText(byId("input-rate"), formatRate(latest));
    for (const id of ["input-format", "input-last", "input-cc", "input-sync", "input-stalls"])
        setElText(byId(id), "—");
    byId("input-rtp-box").hidden = true;
    byId("input-oversize-box").hidden = true;
}

// ---- callers: rows ------------------------------------------------------

// The same ip:port can come back as a new connection; created tells them apart. /stats and
// api/v1/status write created as the same digits (a string in one, a number in the other).
const callerKey = (remote, created) => String(remote) + "|" + String(created);

const rows = new Map(); // caller key -> row
let rowOrder = [];      // rows in the order shown
let selectedKey = null;
let wantedRemote = null; // from the page address (#caller=...), selected once it shows up
let detail = null;       // the expansion row under the selected caller
let sortKey = "health";
let sortDir = -1;
let ordinal = 0; // tells apart rows with equal sort values: the one seen first goes first

let rowPrototype = null;

// Cloned from a row already adopted into the page: cloning straight out of the template would
// adopt every copy anew. Cells are reached by position, which the template fixes.
function createRow(key, remote, created) {
    if (!rowPrototype)
        rowPrototype =
            document.importNode(byId("caller-row-template").content.firstElementChild, true);
    const el = rowPrototype.cloneNode(true);
    const cells = el.cells;
    const row = {
        key,
        el,
        remote : String(remote),
        // Numbers padded so that plain string order is address order (…100.9 before …100.10).
        remoteOrder : String(remote).replace(/\d+/g, (digits) => digits.padStart(5, "0")),
        created : num(created),
        seenOrder : ordinal++,
        user : "",
        shownUser : "",
        health : "unknown",
        values : {},
        prev : null,
        lastLossAt : -Infinity,
        lastDropAt : -Infinity,
        backlogRises : 0,
        history : [],
        sparkSignature : "",
        // The template's "—" placeholders are the text nodes each update rewrites.
        t : {
            health : cells[0].lastChild.firstChild,
            url : cells[1].firstChild.firstChild.firstChild,
            connected : cells[2].firstChild,
            bitrate : cells[3].firstChild,
            rtt : cells[5].firstChild,
            loss : cells[6].firstChild,
            retrans : cells[7].firstChild,
            drops : cells[8].firstChild,
            backlog : cells[9].firstChild,
            sendbuf : cells[10].firstChild,
        },
        userEl : cells[1].lastChild,
        connectedCell : cells[2],
        dropsCell : cells[8],
        backlogCell : cells[9],
        pick : cells[1].firstChild,
        spark : cells[4].firstChild,
        line : cells[4].firstChild.firstChild,
    };
    el.setAttribute("data-key", key);
    el.setAttribute("data-url", row.remote);
    el.setAttribute("data-created", String(created));
    row.t.url.data = row.remote;
    if (Number.isFinite(row.created) && row.created > 0)
        row.connectedCell.title = "connected since " + formatLocalDateTime(new Date(row.created));
    rows.set(key, row);
    return row;
}

// Per-second rates and the health state from the change since the previous status answer.
function judgeCaller(row, caller, nowMs, latencyMs) {
    const current = {
        t : nowMs,
        lost : num(caller.lost_packets),
        retrans : num(caller.retransmitted_packets),
        dropped : num(caller.dropped_packets),
        backlog : num(caller.backlog_bytes),
    };
    const prev = row.prev;
    if (prev && current.t > prev.t) {
        const dt = (current.t - prev.t) / 1000;
        const rate = (a, b) => (a >= b ? (a - b) / dt : NaN);
        row.values.loss = rate(current.lost, prev.lost);
        row.values.retrans = rate(current.retrans, prev.retrans);
        if (row.values.loss > 0 || row.values.retrans > 0)
            row.lastLossAt = nowMs;
        if (current.dropped > prev.dropped)
            row.lastDropAt = nowMs;
        row.backlogRises = current.backlog > prev.backlog ? row.backlogRises + 1 : 0;
    }
    if (!prev || current.t > prev.t)
        row.prev = current;

    const bitrateBytes = num(caller.bitrate_kbps) * 128;
    const backlogLimit =
        Math.max(BACKLOG_FLOOR_BYTES, Number.isFinite(bitrateBytes) ? bitrateBytes : 0);
    const rttLimit = latencyMs > 0 ? latencyMs / 4 : FILE_MODE_RTT_MS;
    if (nowMs - row.lastDropAt < HOLD_MS ||
        (row.backlogRises >= FAILING_BACKLOG_RISES && current.backlog > backlogLimit))
        return "failing";
    if (nowMs - row.lastLossAt < HOLD_MS || num(caller.rtt_ms) > rttLimit ||
        row.backlogRises >= DEGRADED_BACKLOG_RISES)
        return "degraded";
    return "healthy";
}

// The label is cached on the row: reading textContent back for 200 rows costs more than the
// rest of their update.
function showUser(row, user) {
    if (row.shownUser !== user) {
        row.shownUser = user;
        row.userEl.textContent = user;
        row.userEl.title = user;
    }
}

function updateRowFromStatus(row, caller, nowMs, latencyMs) {
    row.status = caller;
    row.health = judgeCaller(row, caller, nowMs, latencyMs);
    const v = row.values;
    v.bitrate = num(caller.bitrate_kbps);
    v.rtt = num(caller.rtt_ms);
    v.drops = num(caller.dropped_packets);
    v.backlog = num(caller.backlog_bytes);
    v.sendbuf = num(caller.send_buffer_ms);
    row.user = typeof caller.user === "string" ? caller.user : "";

    setAttr(row.el, "data-health", row.health);
    setText(row.t.health, HEALTH_TEXT[row.health]);
    showUser(row, row.user);
    setText(row.t.connected, formatAge((nowMs - row.created) / 1000));
    setText(row.t.bitrate, formatRate(v.bitrate));
    setText(row.t.rtt, formatMs(v.rtt));
    setText(row.t.loss, formatPerSecond(v.loss));
    setText(row.t.retrans, formatPerSecond(v.retrans));
    setText(row.t.drops, formatCount(v.drops));
    setText(row.t.backlog, formatBytes(v.backlog));
    setText(row.t.sendbuf, formatMs(v.sendbuf));
    setAttr(row.dropsCell, "data-alert", nowMs - row.lastDropAt < HOLD_MS ? "1" : "0");
    setAttr(row.backlogCell, "data-alert", row.backlogRises >= DEGRADED_BACKLOG_RISES ? "1" : "0");
}

// Without api/v1/status a row has the address, its age and the bitrate history only.
function updateRowFromStats(row, caller) {
    row.status = null;
    row.health = "unknown";
    row.values = {bitrate : latestRate(caller.data)};
    setAttr(row.el, "data-health", "unknown");
    setText(row.t.health, HEALTH_TEXT.unknown);
    showUser(row, "");
    setText(row.t.connected, formatAge((Date.now() - row.created) / 1000));
    setText(row.t.bitrate, formatRate(row.values.bitrate));
    for (const name of ["rtt", "loss", "retrans", "drops", "backlog", "sendbuf"])
        setText(row.t[name], "—");
}

// The last minute of bitrate as a line from zero up to the caller's own peak; samples sit on
// the 3 s grid, so their index is their place in time. Whole numbers in a 190 x 100 box
// (stretched to the cell) keep building the points cheap.
function renderSparkline(row) {
    const samples = row.history;
    const newest = samples.length ? samples[0] : null;
    const signature = samples.length + "|" + (newest ? newest.x + "|" + newest.y : "");
    if (signature === row.sparkSignature)
        return;
    row.sparkSignature = signature;
    const count = Math.min(samples.length, HISTORY_SAMPLES);
    let peak = 0;
    for (let i = 0; i < count; i++)
        peak = Math.max(peak, num(samples[i] && samples[i].y) || 0);
    const scale = peak > 0 ? 90 / (peak * 1.1) : 0;
    let points = "";
    for (let i = count - 1; i >= 0; i--) {
        const y = 98 - Math.round((num(samples[i] && samples[i].y) || 0) * scale);
        const x = 190 - i * 10;
        // A lone sample still shows as a short level stroke.
        points += (count === 1 ? "180," + y + " " : "") + x + "," + y + (i > 0 ? " " : "");
    }
    row.line.setAttribute("points", points);
    row.spark.setAttribute("data-samples", String(count));
}

function removeRow(key) {
    const row = rows.get(key);
    if (selectedKey === key)
        clearSelection();
    row.el.remove();
    rows.delete(key);
}

// ---- callers: order -----------------------------------------------------

const SORT_VALUE = {
    health : (row) => HEALTH_RANK[row.health],
    remote : (row) => row.remoteOrder,
    created : (row) => row.created,
    bitrate : (row) => row.values.bitrate,
    rtt : (row) => row.values.rtt,
    loss : (row) => row.values.loss,
    retrans : (row) => row.values.retrans,
    drops : (row) => row.values.drops,
    backlog : (row) => row.values.backlog,
    sendbuf : (row) => row.values.sendbuf,
};
// Where a first click on a header starts: worst or biggest first, names and ages ascending.
const FIRST_DIRECTION = {
    remote : 1,
    created : 1
};

function compareRows(a, b) {
    const value = SORT_VALUE[sortKey];
    const va = value(a);
    const vb = value(b);
    const missingA = va === undefined || (typeof va === "number" && !Number.isFinite(va));
    const missingB = vb === undefined || (typeof vb === "number" && !Number.isFinite(vb));
    if (missingA !== missingB)
        return missingA ? 1 : -1; // unknown values last, whichever the direction
    if (!missingA && va !== vb) {
        const order = typeof va === "string" ? (va < vb ? -1 : 1) : va - vb;
        if (order !== 0)
            return order * sortDir;
    }
    return a.seenOrder - b.seenOrder;
}

// Moves only the rows that are out of place; the detail row follows the selected caller.
function placeRows() {
    const ordered = [...rows.values() ].sort(compareRows);
    const unchanged =
        ordered.length === rowOrder.length && ordered.every((row, i) => row === rowOrder[i]);
    const body = byId("caller-rows");
    if (!unchanged) {
        let cursor = body.firstChild;
        for (const row of ordered) {
            if (detail && cursor === detail.el)
                cursor = cursor.nextSibling;
            if (cursor === row.el)
                cursor = cursor.nextSibling;
            else
                body.insertBefore(row.el, cursor);
        }
        rowOrder = ordered;
    }
    const selected = selectedKey && rows.get(selectedKey);
    if (selected && selected.el.nextSibling !== detail.el)
        body.insertBefore(detail.el, selected.el.nextSibling);
}

function setupSorting() {
    for (const th of document.querySelectorAll("#callers th[data-sort]")) {
        th.querySelector("button").addEventListener("click", () => {
            const key = th.dataset.sort;
            if (key === sortKey)
                sortDir = -sortDir;
            else {
                sortKey = key;
                sortDir = FIRST_DIRECTION[key] || -1;
            }
            for (const other of document.querySelectorAll("#callers th[data-sort]"))
                other.removeAttribute("aria-sort");
            th.setAttribute("aria-sort", sortDir > 0 ? "ascending" : "descending");
            timed(placeRows);
        });
    }
}

function renderCallerSummary() {
    const counts = {failing : 0, degraded : 0, healthy : 0, unknown : 0};
    for (const row of rows.values())
        counts[row.health] += 1;
    const summary = byId("caller-summary");
    summary.hidden = statusApi !== "present" || rows.size === 0;
    for (const health of ["failing", "degraded", "healthy"]) {
        setElText(byId("sum-" + health), String(counts[health]));
        summary.querySelector('[data-health="' + health + '"]')
            .classList.toggle("zero", counts[health] === 0);
    }
    const table = byId("callers");
    setAttr(table, "data-count", String(rows.size));
    setElText(byId("caller-count"), String(rows.size));
    byId("callers-empty").hidden = rows.size > 0;
    byId("callers-scroll").hidden = rows.size === 0;
    byId("callers-hint").hidden = rows.size === 0;
}

// ---- callers: the selected one ------------------------------------------

function buildDetail() {
    const el = byId("caller-detail-template").content.firstElementChild.cloneNode(true);
    el.querySelector(".detail-close").addEventListener("click", () => {
        const row = rows.get(selectedKey);
        clearSelection();
        if (row)
            row.pick.focus();
    });
    return {
        el,
        title : el.querySelector(".detail-title"),
        facts : el.querySelector(".detail-facts"),
        chartHost : el.querySelector(".detail-chart"),
        empty : el.querySelector(".detail-empty"),
        chart : null,
        factsSignature : "",
    };
}

function select(key) {
    if (selectedKey === key)
        return;
    clearSelection();
    const row = rows.get(key);
    if (!row)
        return;
    if (!detail)
        detail = buildDetail();
    selectedKey = key;
    row.el.classList.add("selected");
    setAttr(row.pick, "aria-expanded", "true");
    row.el.after(detail.el);
    detail.chart = createChart(detail.chartHost, {
        height : DETAIL_CHART_HEIGHT,
        stroke : "#0f8a5f",
        fill : "rgba(15, 138, 95, 0.12)",
    });
    renderDetail();
    renderDetailChart();
    history.replaceState(null, "", "#caller=" + encodeURIComponent(row.remote));
}

function clearSelection() {
    if (selectedKey === null)
        return;
    const row = rows.get(selectedKey);
    if (row) {
        row.el.classList.remove("selected");
        setAttr(row.pick, "aria-expanded", "false");
    }
    destroyChart(detail.chartHost);
    detail.chart = null;
    detail.factsSignature = "";
    detail.el.remove();
    selectedKey = null;
    wantedRemote = null;
    history.replaceState(null, "", window.location.pathname + window.location.search);
}

function selectWantedCaller() {
    if (wantedRemote === null || selectedKey !== null)
        return;
    for (const row of rows.values()) {
        if (row.remote === wantedRemote) {
            select(row.key);
            return;
        }
    }
}

function renderDetail() {
    const row = selectedKey && rows.get(selectedKey);
    if (!row || !detail)
        return;
    setElText(detail.title, row.remote + (row.user ? " · " + row.user : ""));
    const s = row.status;
    const since = Number.isFinite(row.created) ? formatLocalDateTime(new Date(row.created)) : "—";
    const facts = [ [ "Connected since", since ] ];
    if (s) {
        facts.push([ "SRT socket id", text(s.id) ], [ "Sent", formatBytes(num(s.sent_bytes)) ],
                   [ "Packets sent", formatCount(num(s.sent_packets)) ],
                   [ "Retransmitted", formatCount(num(s.retransmitted_packets)) ],
                   [ "Lost (receiver)", formatCount(num(s.lost_packets)) ],
                   [ "Dropped (too late)", formatCount(num(s.dropped_packets)) ],
                   [
                       "Send rate", Number.isFinite(num(s.send_rate_mbps))
                                        ? num(s.send_rate_mbps).toFixed(2) + " Mbit/s"
                                        : "—"
                   ],
                   [
                       "Bandwidth estimate", Number.isFinite(num(s.bandwidth_mbps))
                                                 ? num(s.bandwidth_mbps).toFixed(1) + " Mbit/s"
                                                 : "—"
                   ],
                   [
                       "From start cache", num(s.faststart_chunks) > 0
                                               ? formatCount(num(s.faststart_chunks)) + " chunks"
                                               : "none (started live)"
                   ]);
    }
    const signature = facts.map((f) => f.join("=")).join("\n");
    if (signature !== detail.factsSignature) {
        detail.factsSignature = signature;
        const fragment = document.createDocumentFragment();
        for (const [label, value] of facts) {
            const wrap = document.createElement("div");
            const dt = document.createElement("dt");
            const dd = document.createElement("dd");
            dt.textContent = label;
            dd.textContent = value;
            wrap.append(dt, dd);
            fragment.append(wrap);
        }
        detail.facts.replaceChildren(fragment);
    }
}

function renderDetailChart() {
    const row = selectedKey && rows.get(selectedKey);
    if (!row || !detail || !detail.chart)
        return;
    detail.empty.hidden = plot(detail.chart, detail.chartHost, row.history) > 0;
}

function setupSelection() {
    byId("caller-rows").addEventListener("click", (event) => {
        const tr = event.target.closest("tr.caller-row");
        if (!tr)
            return;
        const key = tr.dataset.key;
        if (selectedKey === key)
            clearSelection();
        else
            select(key);
    });
    const match = /^#caller=(.+)$/.exec(window.location.hash);
    if (match) {
        try {
            wantedRemote = decodeURIComponent(match[1]);
        } catch (err) {
            wantedRemote = null;
        }
    }
}

// ---- departed -----------------------------------------------------------

let departedSignature = "";

function renderDeparted(list, nowMs) {
    const valid = Array.isArray(list) ? list.filter(isObject) : [];
    const shown = valid.slice(0, DEPARTED_SHOWN);
    const items = shown.map((d) => {
        const ended = num(d.ended_ms);
        const created = num(d.created);
        const reason = String(d.reason);
        const when = Number.isFinite(ended) ? "left " + clockText(ended) + " (" +
                                                  formatAge((nowMs - ended) / 1000) + " ago)"
                                            : "left";
        const stayed = Number.isFinite(ended) && Number.isFinite(created)
                           ? "connected " + formatDuration((ended - created) / 1000)
                           : "";
        return {
            remote : text(d.remote),
            user : typeof d.user === "string" ? d.user : "",
            reason,
            reasonText : REASON_TEXT[reason] || reason,
            facts : [ when, stayed, formatBytes(num(d.sent_bytes)) + " sent" ].filter(Boolean).join(
                " · "),
        };
    });
    const signature = valid.length + "\n" + JSON.stringify(items);
    if (signature === departedSignature)
        return;
    departedSignature = signature;

    const box = byId("departed");
    box.hidden = valid.length === 0;
    setElText(byId("departed-count"), String(valid.length));
    const fragment = document.createDocumentFragment();
    for (const item of items) {
        const li = document.createElement("li");
        li.className = "departed-item";
        li.dataset.reason = item.reason;
        const url = document.createElement("span");
        url.className = "departed-url";
        url.textContent = item.remote + (item.user ? " · " + item.user : "");
        const reason = document.createElement("span");
        reason.className = "reason";
        reason.textContent = item.reasonText;
        const facts = document.createElement("span");
        facts.className = "departed-facts";
        facts.textContent = item.facts;
        li.append(url, reason, facts);
        fragment.append(li);
    }
    if (valid.length > shown.length) {
        const more = document.createElement("li");
        more.className = "departed-more";
        more.textContent = "and " + (valid.length - shown.length) + " more";
        fragment.append(more);
    }
    byId("departed-list").replaceChildren(fragment);
}

// ---- whole documents ----------------------------------------------------

function historiesByKey(stats) {
    const map = new Map();
    for (const caller of Array.isArray(stats.right) ? stats.right : []) {
        if (isObject(caller))
            map.set(callerKey(caller.url, caller.created), caller);
    }
    return map;
}

function renderStatus(doc) {
    const nowMs = Number.isFinite(num(doc.now_ms)) ? num(doc.now_ms) : Date.now();
    const latencyMs = num(doc.srt_latency_ms);
    renderLatency(latencyMs);
    renderInputHealth(doc.input, nowMs);
    setAttr(byId("callers"), "data-mode", "status");

    const histories = lastStats ? historiesByKey(lastStats.stats) : new Map();
    const seen = new Set();
    let built = 0;
    for (const caller of Array.isArray(doc.callers) ? doc.callers : []) {
        if (!isObject(caller))
            continue;
        const key = callerKey(caller.remote, caller.created);
        if (seen.has(key))
            continue;
        seen.add(key);
        let row = rows.get(key);
        if (!row) {
            if (built++ >= ROWS_PER_RENDER) {
                renderAgainSoon();
                continue;
            }
            row = createRow(key, caller.remote, caller.created);
            const known = histories.get(key);
            row.history = known && Array.isArray(known.data) ? known.data : [];
            renderSparkline(row);
        }
        updateRowFromStatus(row, caller, nowMs, latencyMs);
    }
    for (const key of [...rows.keys()]) {
        if (!seen.has(key))
            removeRow(key);
    }
    selectWantedCaller();
    placeRows();
    renderCallerSummary();
    renderDetail();
    renderDeparted(doc.departed, nowMs);
}

function renderStatsDoc(payload) {
    const root = isObject(payload) ? payload : {};
    const settings = isObject(root.settings) ? root.settings : {};
    const stats = isObject(root.stats) ? root.stats : {};
    lastStats = {settings, stats, payload};
    renderSettings(settings);
    const inputSamples =
        isObject(stats.left) && Array.isArray(stats.left.data) ? stats.left.data : [];
    plotChartsSoon(inputSamples);

    const histories = historiesByKey(stats);
    // Until the first status answer tells whether the server has api/v1/status, rows wait for
    // it: building 200 rows twice, once from each document, would only cost time.
    if (statusApi === "absent" || (statusApi === "unknown" && statusTried)) {
        renderInputHealthFromHistory(inputSamples);
        setAttr(byId("callers"), "data-mode", statusApi === "absent" ? "history" : "status");
        let built = 0;
        for (const [key, caller] of histories) {
            let row = rows.get(key);
            if (!row) {
                if (built++ >= ROWS_PER_RENDER) {
                    renderAgainSoon();
                    continue;
                }
                row = createRow(key, caller.url, caller.created);
            }
            updateRowFromStats(row, caller);
        }
        for (const key of [...rows.keys()]) {
            if (!histories.has(key))
                removeRow(key);
        }
        selectWantedCaller();
        placeRows();
        renderCallerSummary();
        renderDetail();
        renderDeparted([], Date.now());
    }
    for (const row of rows.values()) {
        const known = histories.get(row.key);
        row.history = known && Array.isArray(known.data) ? known.data : [];
        renderSparkline(row);
    }
}

let chartPlotQueued = false;

// The charts redraw in a task of their own, after the table: uPlot's first draw with data
// alone can take as long as a whole table update.
function plotChartsSoon(inputSamples) {
    pendingInputSamples = inputSamples;
    if (chartPlotQueued)
        return;
    chartPlotQueued = true;
    setTimeout(() => {
        chartPlotQueued = false;
        timed(() => {
            renderInputChart(pendingInputSamples);
            renderDetailChart();
        });
    }, 0);
}

let renderAgainQueued = false;
let pendingInputSamples = [];

// Renders the latest documents again in a task of its own, which builds the next rows; the
// browser may paint in between. Doing it twice is harmless: rates only move with now_ms.
function renderAgainSoon() {
    if (renderAgainQueued)
        return;
    renderAgainQueued = true;
    setTimeout(() => {
        renderAgainQueued = false;
        if (statusApi === "present" && lastStatus)
            timed(() => renderStatus(lastStatus));
        else if (lastStats)
            timed(() => renderStatsDoc(lastStats.payload));
    }, 0);
}

// ---- state --------------------------------------------------------------

// Script time of each render, exposed for checks and benchmarks that read the DOM.
function timed(work) {
    const started = performance.now();
    try {
        work();
    } catch (err) {
        // A rendering fault is ours, not the server's: log it instead of claiming it is down.
        console.error("dashboard render failed", err);
    }
    const ms = performance.now() - started;
    renderStats.last = ms;
    renderStats.max = Math.max(renderStats.max, ms);
    renderStats.count += 1;
    const body = document.body.dataset;
    body.renderMs = ms.toFixed(2);
    body.renderMaxMs = renderStats.max.toFixed(2);
    body.renderCount = String(renderStats.count);
}

// "Live" needs both: a server that answers and an input that delivers.
function updateState() {
    let state = "loading";
    if (lastFailed)
        state = "error";
    else if (everOk && inputState === "receiving")
        state = "ok";
    else if (everOk && (inputState === "stalled" || inputState === "none"))
        state = "noinput";
    document.body.dataset.state = state;
    const statusText = {
        loading : "Connecting…",
        ok : "Live",
        noinput : "No input",
        error : "Server not reachable",
    }[state];
    setElText(byId("status-text"), statusText);
    byId("error-banner").hidden = state !== "error";
    renderLastUpdate();
}

function renderLastUpdate() {
    const label = byId("last-update");
    if (!lastOkAt) {
        label.textContent = "no data yet";
        return;
    }
    const clock = clockText(lastOkAt.getTime());
    if (!lastFailed)
        label.textContent = "updated " + clock;
    else
        label.textContent =
            "last data " + clock + " (" + formatDuration((Date.now() - lastOkAt) / 1000) + " ago)";
}

function noteSuccess() {
    everOk = true;
    lastFailed = false;
    lastOkAt = new Date();
}

function noteFailure(err) {
    lastFailed = true;
    const reason = err && err.name === "AbortError" ? "no answer within 2.5 s"
                                                    : String((err && err.message) || err);
    const every = statusApi === "present" ? "1 s" : "3 s";
    byId("error-detail").textContent =
        (everOk ? "Showing the last known values; retrying" : "Retrying") + " every " + every +
        " (" + reason + ").";
}

// ---- polling ------------------------------------------------------------

async function fetchJson(path) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    try {
        const response = await fetch(path, {cache : "no-store", signal : abort.signal});
        if (response.status === 404)
            return {missing : true};
        if (!response.ok)
            throw new Error("HTTP " + response.status);
        return {body : await response.json()};
    } finally {
        clearTimeout(timer);
    }
}

function enterFallback() {
    statusApi = "absent";
    statusReprobeAt = Date.now() + STATUS_REPROBE_MS;
    document.body.dataset.statusApi = "absent";
    for (const row of rows.values()) {
        row.prev = null;
        row.lastLossAt = row.lastDropAt = -Infinity;
        row.backlogRises = 0;
    }
    inputCounters.length = 0;
    if (lastStats)
        timed(() => renderStatsDoc(lastStats.payload));
}

async function pollStatus() {
    if (statusApi !== "absent" || Date.now() >= statusReprobeAt) {
        try {
            const answer = await fetchJson("api/v1/status");
            noteSuccess();
            if (answer.missing) {
                if (statusApi !== "absent")
                    enterFallback();
                else
                    statusReprobeAt = Date.now() + STATUS_REPROBE_MS;
            } else if (isObject(answer.body)) {
                statusApi = "present";
                document.body.dataset.statusApi = "present";
                lastStatus = answer.body;
                timed(() => renderStatus(lastStatus));
            }
        } catch (err) {
            noteFailure(err);
        }
        statusTried = true;
        updateState();
    }
    setTimeout(pollStatus, STATUS_POLL_MS);
}

async function pollStats() {
    try {
        const answer = await fetchJson("stats");
        if (answer.missing)
            throw new Error("HTTP 404");
        noteSuccess();
        timed(() => renderStatsDoc(answer.body));
    } catch (err) {
        noteFailure(err);
    }
    updateState();
    setTimeout(pollStats, STATS_POLL_MS);
}

function setupCopyButton() {
    const button = byId("copy-hint");
    const hint = byId("player-hint");
    const feedback = byId("copy-feedback");
    const selectHint = () => {
        const range = document.createRange();
        range.selectNodeContents(hint);
        const selection = window.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
        feedback.textContent = "Selected: press Ctrl+C to copy.";
    };
    button.addEventListener("click", () => {
        if (hint.textContent === "—")
            return;
        // The clipboard API exists only in secure contexts; plain http on a LAN host falls back.
        if (navigator.clipboard && window.isSecureContext) {
            navigator.clipboard.writeText(hint.textContent)
                .then(
                    () => (feedback.textContent = "Copied."),
                    selectHint,
                );
        } else {
            selectHint();
        }
    });
}

setupCopyButton();
setupSorting();
setupSelection();
updateState();
// An empty chart frame from the start, so a server that never answers still shows the layout.
renderInputChart([]);
pollStatus();
pollStats();
})();
