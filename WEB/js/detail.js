// The selected caller: its expansion row under the table row, with counters and a chart. The
// selection lives in the page address (#caller=ADDR), so a reload or a shared link keeps it.
import {createChart, destroyChart, plot} from "./charts.js";
import {byId, setAttr, setElText} from "./dom.js";
import {formatBytes, formatCount, formatLocalDateTime, num, text} from "./format.js";
import {programLabel} from "./programs.js";
import {rows} from "./table.js";

const DETAIL_CHART_HEIGHT = 170;

let selectedKey = null;
let wantedRemote = null; // from the page address (#caller=...), selected once it shows up
let detail = null;       // the expansion row under the selected caller

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

// Called before the caller's row goes: its detail and chart go with it.
export function forgetCaller(key) {
    if (selectedKey === key)
        clearSelection();
}

export function selectWantedCaller() {
    if (wantedRemote === null || selectedKey !== null)
        return;
    for (const row of rows.values()) {
        if (row.remote === wantedRemote) {
            select(row.key);
            return;
        }
    }
}

// After the rows moved, the detail row follows the selected caller.
export function keepDetailUnderSelection() {
    const selected = selectedKey && rows.get(selectedKey);
    if (selected && selected.el.nextSibling !== detail.el)
        byId("caller-rows").insertBefore(detail.el, selected.el.nextSibling);
}

function megabits(value, digits) {
    return Number.isFinite(num(value)) ? num(value).toFixed(digits) + " Mbit/s" : "—";
}

export function renderDetail() {
    const row = selectedKey && rows.get(selectedKey);
    if (!row || !detail)
        return;
    setElText(detail.title, row.remote + (row.user ? " · " + row.user : ""));
    const s = row.status;
    const since = Number.isFinite(row.created) ? formatLocalDateTime(new Date(row.created)) : "—";
    const facts = [ [ "Connected since", since ] ];
    if (s) {
        if (typeof s.stream_id === "string" && s.stream_id !== "")
            facts.push([ "Stream id", s.stream_id ]);
        if (Number.isFinite(num(s.program)))
            facts.push([ "Program", programLabel(s.program) ]);
        facts.push([ "SRT socket id", text(s.id) ], [ "Sent", formatBytes(num(s.sent_bytes)) ],
                   [ "Packets sent", formatCount(num(s.sent_packets)) ],
                   [ "Retransmitted", formatCount(num(s.retransmitted_packets)) ],
                   [ "Lost (receiver)", formatCount(num(s.lost_packets)) ],
                   [ "Dropped (too late)", formatCount(num(s.dropped_packets)) ],
                   [ "Send rate", megabits(s.send_rate_mbps, 2) ],
                   [ "Bandwidth estimate", megabits(s.bandwidth_mbps, 1) ], [
                       "From start cache", num(s.faststart_chunks) > 0
                                               ? formatCount(num(s.faststart_chunks)) + " chunks"
                                               : "none (started live)"
                   ]);
    }
    const signature = facts.map((f) => f.join("=")).join("\n");
    if (signature === detail.factsSignature)
        return;
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

export function renderDetailChart() {
    const row = selectedKey && rows.get(selectedKey);
    if (!row || !detail || !detail.chart)
        return;
    detail.empty.hidden = plot(detail.chart, detail.chartHost, row.history) > 0;
}

export function setupSelection() {
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
