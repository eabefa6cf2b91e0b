// Status dashboard: polls /stats and renders settings, input bitrate and one card per SRT caller.
(function() {
"use strict";

const POLL_MS = 3000;
// Shorter than the poll period so a hung request never delays the next poll.
const FETCH_TIMEOUT_MS = 2500;
// The server counts 1 kbit as 1024 bit, so the next unit up uses the same base.
const KBIT_PER_MBIT = 1024;
// 20 samples, 3 s apart: a fixed window keeps the chart from rescaling while history fills up.
const HISTORY_SPAN_S = 57;

const INPUT_CHART_HEIGHT = 240;
const CALLER_CHART_HEIGHT = 90;

const byId = (id) => document.getElementById(id);

const charts = new Map();  // chart host element -> uPlot instance
const callers = new Map(); // caller key -> { el, parts, chart host }
let inputChart = null;
let lastOkAt = null;
let everOk = false;

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

const pad2 = (n) => String(n).padStart(2, "0");

function formatLocalDateTime(date) {
    return (date.getFullYear() + "-" + pad2(date.getMonth() + 1) + "-" + pad2(date.getDate()) +
            " " + pad2(date.getHours()) + ":" + pad2(date.getMinutes()) + ":" +
            pad2(date.getSeconds()));
}

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

// ---- data shaping -------------------------------------------------------

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
        const y = Number(sample && sample.y);
        if (Number.isFinite(x) && Number.isFinite(y))
            points.push([ x, y ]);
    }
    points.sort((a, b) => a[0] - b[0]);
    return [ points.map((p) => p[0]), points.map((p) => p[1]) ];
}

function latestRate(samples) {
    if (!Array.isArray(samples) || samples.length === 0)
        return NaN;
    const y = Number(samples[0] && samples[0].y);
    return Number.isFinite(y) ? y : NaN;
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

function clockText(epochS) { return formatLocalDateTime(new Date(epochS * 1000)).slice(11); }

function createChart(host, {height, compact, stroke, fill}) {
    const width = Math.max(Math.floor(host.clientWidth), 120);
    const axisFont = compact ? "11px system-ui, sans-serif" : "12px system-ui, sans-serif";
    const grid = {stroke : "#e6e9ef", width : 1};
    const ticks = {stroke : "#d3d8e0", width : 1, size : 4};
    const opts = {
        width,
        height,
        legend : {show : !compact},
        cursor : {show : !compact, drag : {x : false, y : false}, points : {size : 8}},
        scales : {x : {time : true, range : timeRange}, y : {range : rateRange}},
        axes : [
            {
                show : !compact,
                font : axisFont,
                stroke : "#5b6472",
                grid,
                ticks,
                size : 36,
                space : 64,
                incrs : TIME_INCRS,
                values : (u, splits) => splits.map((v) => (v == null ? "" : clockText(v))),
            },
            {
                font : axisFont,
                stroke : "#5b6472",
                grid,
                ticks,
                size : compact ? 40 : 84,
                space : compact ? 22 : 36,
                incrs : RATE_INCRS,
                values : (u, splits) => splits.map((v) => formatAxisRate(v, compact)),
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
                width : compact ? 1.5 : 2,
                points : {size : compact ? 4 : 6},
                value : (u, v) => (v == null ? "—" : formatRate(v)),
            },
        ],
        hooks : compact ? {} : {draw : [ showLatestInLegend ], setCursor : [ showLatestInLegend ]},
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

// ---- settings -----------------------------------------------------------

function text(value) {
    return value === undefined || value === null || value === "" ? "—" : String(value);
}

// Brackets keep an IPv6 page host usable in the URL.
function pageHostForUrl() {
    const host = window.location.hostname || "127.0.0.1";
    return host.includes(":") && !host.startsWith("[") ? "[" + host + "]" : host;
}

function renderSettings(settings) {
    byId("set-source").textContent = text(settings.source);
    byId("set-port").textContent = text(settings.port);
    byId("set-webport").textContent = text(settings.webport);
    byId("set-ver").textContent = text(settings.ver);
    const port = settings.port === undefined || settings.port === null ? "" : String(settings.port);
    byId("player-hint").textContent = port ? "ffplay srt://" + pageHostForUrl() + ":" + port : "—";
}

// ---- input --------------------------------------------------------------

function renderInput(samples) {
    const host = byId("input-chart");
    if (!inputChart) {
        inputChart = createChart(host, {
            height : INPUT_CHART_HEIGHT,
            compact : false,
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
    el.textContent = formatRate(kbps);
    el.dataset.kbps = Number.isFinite(kbps) ? String(kbps) : "";
    el.classList.toggle("no-value", !Number.isFinite(kbps));
}

// ---- callers ------------------------------------------------------------

// The same ip:port can come back as a new connection; created tells them apart.
function callerKey(caller) { return String(caller.url) + "|" + String(caller.created); }

function element(tag, className, content) {
    const el = document.createElement(tag);
    if (className)
        el.className = className;
    if (content !== undefined)
        el.textContent = content;
    return el;
}

function buildCallerCard(caller) {
    const el = element("article", "caller");
    el.dataset.url = String(caller.url);
    el.dataset.created = String(caller.created);

    const head = element("div", "caller-head");
    const url = element("span", "caller-url", text(caller.url));
    const kbps = element("span", "caller-kbps", "—");
    head.append(url, kbps);

    const since = element("div", "caller-since");
    const chartHost = element("div", "caller-chart chart");
    chartHost.dataset.samples = "0";

    el.append(head, since, chartHost);
    return {el, kbps, since, chartHost, chart : null};
}

function renderCallerSince(card, created) {
    const ms = Number(created);
    if (!Number.isFinite(ms) || ms <= 0) {
        card.since.textContent = "connected since: unknown";
        return;
    }
    const since = new Date(ms);
    const age = formatDuration((Date.now() - ms) / 1000);
    card.since.textContent =
        "connected since " + formatLocalDateTime(since) + (age ? " · " + age : "");
    card.since.title = since.toString();
}

function updateCallerCard(card, caller) {
    if (!card.chart) {
        card.chart = createChart(card.chartHost, {
            height : CALLER_CHART_HEIGHT,
            compact : true,
            stroke : "#0f8a5f",
            fill : "rgba(15, 138, 95, 0.12)",
        });
    }
    plot(card.chart, card.chartHost, caller.data);
    showRate(card.kbps, latestRate(caller.data));
    renderCallerSince(card, caller.created);
}

function removeCaller(key) {
    const card = callers.get(key);
    destroyChart(card.chartHost);
    card.el.remove();
    callers.delete(key);
}

function renderCallers(list) {
    const wanted = [];
    const seen = new Set();
    for (const caller of list) {
        if (!caller || typeof caller !== "object")
            continue;
        const key = callerKey(caller);
        if (seen.has(key))
            continue;
        seen.add(key);
        wanted.push([ key, caller ]);
    }

    for (const key of [...callers.keys()]) {
        if (!seen.has(key))
            removeCaller(key);
    }

    // Keep the server's accept order; only move nodes that are out of place.
    const container = byId("callers");
    wanted.forEach(([ key, caller ], index) => {
        let card = callers.get(key);
        if (!card) {
            card = buildCallerCard(caller);
            callers.set(key, card);
        }
        const atIndex = container.children[index] || null;
        if (atIndex !== card.el)
            container.insertBefore(card.el, atIndex);
        updateCallerCard(card, caller);
    });

    container.dataset.count = String(wanted.length);
    byId("caller-count").textContent = String(wanted.length);
    byId("callers-empty").hidden = wanted.length > 0;
}

// ---- state --------------------------------------------------------------

function setState(state) {
    document.body.dataset.state = state;
    const statusText = byId("status-text");
    const banner = byId("error-banner");
    if (state === "ok") {
        statusText.textContent = "Live";
        banner.hidden = true;
    } else if (state === "error") {
        statusText.textContent = "Server not reachable";
        banner.hidden = false;
    } else {
        statusText.textContent = "Connecting…";
        banner.hidden = true;
    }
}

function renderLastUpdate() {
    const label = byId("last-update");
    if (!lastOkAt) {
        label.textContent = "no data yet";
        return;
    }
    const clock = formatLocalDateTime(lastOkAt).slice(11);
    if (document.body.dataset.state === "ok") {
        label.textContent = "updated " + clock;
    } else {
        label.textContent =
            "last data " + clock + " (" + formatDuration((Date.now() - lastOkAt) / 1000) + " ago)";
    }
}

function render(payload) {
    const root = payload && typeof payload === "object" ? payload : {};
    const settings = root.settings && typeof root.settings === "object" ? root.settings : {};
    const stats = root.stats && typeof root.stats === "object" ? root.stats : {};
    renderSettings(settings);
    renderInput(stats.left && Array.isArray(stats.left.data) ? stats.left.data : []);
    renderCallers(Array.isArray(stats.right) ? stats.right : []);
}

// ---- polling ------------------------------------------------------------

async function fetchStats() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    try {
        const response = await fetch("stats", {cache : "no-store", signal : abort.signal});
        if (!response.ok)
            throw new Error("HTTP " + response.status);
        return await response.json();
    } finally {
        clearTimeout(timer);
    }
}

async function poll() {
    let payload = null;
    try {
        payload = await fetchStats();
    } catch (err) {
        const reason = err && err.name === "AbortError" ? "no answer within 2.5 s"
                                                        : String(err && err.message || err);
        byId("error-detail").textContent =
            (everOk ? "Showing the last known values; retrying" : "Retrying") + " every 3 s (" +
            reason + ").";
        setState("error");
    }
    if (payload !== null) {
        // A rendering fault is ours, not the server's: log it instead of claiming it is
        // unreachable.
        everOk = true;
        try {
            render(payload);
        } catch (err) {
            console.error("dashboard render failed", err);
        }
        lastOkAt = new Date();
        setState("ok");
    }
    renderLastUpdate();
    setTimeout(poll, POLL_MS);
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
setState("loading");
// An empty chart frame from the start, so a server that never answers still shows the layout.
renderInput([]);
poll();
})();
