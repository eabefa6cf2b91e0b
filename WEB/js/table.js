// The caller table: one row per caller, updated in place, kept in the chosen sort order.
import {drawSparkline} from "./charts.js";
import {byId, setAttr, setElText, setText, timed} from "./dom.js";
import {
    callerLabel,
    formatAge,
    formatBytes,
    formatCount,
    formatLocalDateTime,
    formatMs,
    formatPerSecond,
    formatRate,
    latestRate,
    num,
    siKbps,
} from "./format.js";
import {
    backlogAlert,
    dropAlert,
    HEALTH_RANK,
    judgeCaller,
    newCallerTrack,
    trackCaller,
} from "./health.js";

const HEALTH_TEXT = {
    failing : "Failing",
    degraded : "Degraded",
    healthy : "OK",
    unknown : "—"
};

// The same ip:port can come back as a new connection; created tells them apart. /stats and
// api/v1/status write created as the same digits (a string in one, a number in the other).
export const callerKey = (remote, created) => String(remote) + "|" + String(created);

export const rows = new Map(); // caller key -> row
let rowOrder = [];             // rows in the order shown
let sortKey = "health";
let sortDir = -1;
let ordinal = 0; // tells apart rows with equal sort values: the one seen first goes first

let rowPrototype = null;

// Cloned from a row already adopted into the page: cloning straight out of the template would
// adopt every copy anew. Cells are reached by position, which the template fixes.
export function createRow(key, remote, created) {
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
        track : newCallerTrack(),
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

export function removeRow(key) {
    rows.get(key).el.remove();
    rows.delete(key);
}

// After a gap in the status answers, rates and holds would span the gap: start them over.
export function forgetJudgements() {
    for (const row of rows.values())
        row.track = newCallerTrack();
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

export function updateRowFromStatus(row, caller, nowMs, latencyMs) {
    row.status = caller;
    row.track = trackCaller(row.track, caller, nowMs);
    row.health = judgeCaller(row.track, caller, nowMs, latencyMs);
    const v = row.values;
    v.loss = row.track.loss;
    v.retrans = row.track.retrans;
    v.bitrate = siKbps(caller.bitrate_kbps);
    v.rtt = num(caller.rtt_ms);
    v.drops = num(caller.dropped_packets);
    v.backlog = num(caller.backlog_bytes);
    v.sendbuf = num(caller.send_buffer_ms);
    row.user = callerLabel(caller);

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
    setAttr(row.dropsCell, "data-alert", dropAlert(row.track, nowMs) ? "1" : "0");
    setAttr(row.backlogCell, "data-alert", backlogAlert(row.track) ? "1" : "0");
}

// Without api/v1/status a row has the address, its age and the bitrate history only.
export function updateRowFromStats(row, caller) {
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

// Redraws the sparkline only when the history got a new sample.
export function setRowHistory(row, samples) {
    row.history = samples;
    const newest = samples.length ? samples[0] : null;
    const signature = samples.length + "|" + (newest ? newest.x + "|" + newest.y : "");
    if (signature === row.sparkSignature)
        return;
    row.sparkSignature = signature;
    drawSparkline(row.spark, row.line, samples);
}

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

// Moves only the rows that are out of place, stepping over the selected caller's detail row.
export function placeRows() {
    const ordered = [...rows.values() ].sort(compareRows);
    const unchanged =
        ordered.length === rowOrder.length && ordered.every((row, i) => row === rowOrder[i]);
    if (unchanged)
        return;
    const body = byId("caller-rows");
    let cursor = body.firstChild;
    for (const row of ordered) {
        if (cursor && cursor.classList.contains("detail-row"))
            cursor = cursor.nextSibling;
        if (cursor === row.el)
            cursor = cursor.nextSibling;
        else
            body.insertBefore(row.el, cursor);
    }
    rowOrder = ordered;
}

// onReordered runs after each re-sort, to put back what follows the rows.
export function setupSorting(onReordered) {
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
            timed(() => {
                placeRows();
                onReordered();
            });
        });
    }
}

export function renderCallerSummary(statusApi) {
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
