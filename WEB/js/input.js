// The input: its health banner and its bitrate chart.
import {createChart, plot} from "./charts.js";
import {byId, setAttr, setElText} from "./dom.js";
import {
    clockText,
    formatAge,
    formatCount,
    formatRate,
    isObject,
    latestRate,
    num,
    siKbps,
} from "./format.js";
import {
    classifyInput,
    countersOverWindow,
    inputStateFromHistory,
    recordInputCounters,
} from "./health.js";

const INPUT_CHART_HEIGHT = 240;

const FORMAT_TEXT = {
    ts : "TS",
    rtp : "RTP",
    none : "none yet"
};

let inputChart = null;
let counterWindow = []; // one entry per status answer over the last minute, oldest first

// The counters start over when the page falls back to /stats: a later status answer is no
// continuation of the earlier ones.
export function forgetInputCounters() { counterWindow = []; }

export function renderInputChart(samples, everOk) {
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

// With two inputs (source2 set): each one's state and which one feeds the callers.
function renderInputPaths(inputs) {
    const box = byId("input-paths-box");
    box.hidden = !Array.isArray(inputs) || inputs.length === 0;
    if (box.hidden)
        return;
    const texts = inputs.map(path => {
        const state = path.stalled ? "stalled" : path.active ? "active" : "standby";
        return String(num(path.input)) + ": " + state;
    });
    const el = byId("input-paths");
    setElText(el, texts.join(" · "));
    el.classList.toggle("alert", inputs.some(path => path.stalled));
}

// Returns the input state shown; `inputs` is the per-input list, when the server has two.
export function renderInputHealth(input, nowMs, inputs) {
    renderInputPaths(inputs);
    const inputState = classifyInput(input);
    const banner = byId("input-health");
    setAttr(banner, "data-input-state", inputState);
    setAttr(banner, "data-detail", "full");
    if (!isObject(input))
        return inputState;
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
    setElText(byId("input-rate"), formatRate(siKbps(input.bitrate_kbps)));
    const last = num(input.last_datagram_ms);
    setElText(byId("input-last"), Number.isFinite(last) ? clockText(last) : "—");
    setElText(byId("input-stalls"), formatCount(num(input.stalls_total)));
    const oversize = num(input.datagrams_dropped_oversize);
    byId("input-oversize-box").hidden = !(oversize > 0);
    setElText(byId("input-oversize"), formatCount(oversize));

    counterWindow = recordInputCounters(counterWindow, nowMs, input);
    const recent = countersOverWindow(counterWindow);
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
    return inputState;
}

// From the bitrate history alone (no status document); returns the input state shown.
export function renderInputHealthFromHistory(samples, statusApi) {
    const inputState = inputStateFromHistory(samples);
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
    setElText(byId("input-rate"), formatRate(latestRate(samples)));
    for (const id of ["input-format", "input-last", "input-cc", "input-sync", "input-stalls"])
        setElText(byId(id), "—");
    byId("input-rtp-box").hidden = true;
    byId("input-oversize-box").hidden = true;
    byId("input-paths-box").hidden = true;
    return inputState;
}
