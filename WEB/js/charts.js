// Bitrate charts (uPlot, loaded as a classic script before the modules) and the table's
// sparklines.
import {
    clockText,
    formatAxisRate,
    formatLocalDateTime,
    formatRate,
    KBIT_PER_MBIT,
    num,
    siKbps,
} from "./format.js";

// 20 samples, 3 s apart: a fixed window keeps charts from rescaling while history fills up.
const HISTORY_SAMPLES = 20;
const HISTORY_SPAN_S = 57;

const charts = new Map(); // chart host element -> uPlot instance

const resizer = new ResizeObserver((entries) => {
    for (const entry of entries) {
        const chart = charts.get(entry.target);
        const width = Math.floor(entry.contentRect.width);
        if (chart && width > 0 && width !== chart.width) {
            chart.setSize({width, height : chart.height});
        }
    }
});

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
        const y = siKbps(sample && sample.y);
        if (Number.isFinite(x) && Number.isFinite(y))
            points.push([ x, y ]);
    }
    points.sort((a, b) => a[0] - b[0]);
    return [ points.map((p) => p[0]), points.map((p) => p[1]) ];
}

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

// Tick steps that land on round numbers in both units (kbit/s below 1000, Mbit/s above).
const RATE_INCRS = [ 1, 2, 5, 10, 20, 50, 100, 200, 500 ].concat(
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

export function createChart(host, {height, stroke, fill}) {
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

export function destroyChart(host) {
    const chart = charts.get(host);
    if (!chart)
        return;
    resizer.unobserve(host);
    chart.destroy();
    charts.delete(host);
    updateLiveChartCount();
}

// Returns how many samples the chart shows.
export function plot(chart, host, samples) {
    const series = toSeries(samples);
    chart.setData(series);
    host.dataset.samples = String(series[0].length);
    return series[0].length;
}

function updateLiveChartCount() { document.body.dataset.liveCharts = String(charts.size); }

// The last minute of bitrate as a line from zero up to the caller's own peak; samples sit on
// the 3 s grid, so their index is their place in time. Whole numbers in a 190 x 100 box
// (stretched to the cell) keep building the points cheap.
export function drawSparkline(spark, line, samples) {
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
    line.setAttribute("points", points);
    spark.setAttribute("data-samples", String(count));
}
