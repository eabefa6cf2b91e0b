// Status dashboard: polls api/v1/status (input health, per-caller SRT counters) every second and
// /stats (settings, bitrate histories) every 3 s. A server without api/v1/status (404) is shown
// from /stats alone. This module keeps the latest documents and hands them to the page's parts.
import {renderAccess} from "./js/access.js";
import {renderDeparted} from "./js/departed.js";
import {
    forgetCaller,
    keepDetailUnderSelection,
    renderDetail,
    renderDetailChart,
    selectWantedCaller,
    setupSelection
} from "./js/detail.js";
import {byId, setAttr, timed} from "./js/dom.js";
import {isObject, num} from "./js/format.js";
import {
    forgetInputCounters,
    renderInputChart,
    renderInputHealth,
    renderInputHealthFromHistory,
} from "./js/input.js";
import {link, startPolling} from "./js/poll.js";
import {renderPrograms} from "./js/programs.js";
import {
    renderLatency,
    renderSettings,
    setupCopyButton,
    setViewersNeedNames
} from "./js/settings.js";
import {renderPageState} from "./js/statusbar.js";
import {
    callerKey,
    createRow,
    forgetJudgements,
    placeRows,
    removeRow,
    renderCallerSummary,
    rows,
    setRowHistory,
    setupSorting,
    updateRowFromStats,
    updateRowFromStatus,
} from "./js/table.js";

// New rows built per render; the rest follow in the next task. Keeps the first render of a
// long caller list (and a burst of new callers) as short as an update.
const ROWS_PER_RENDER = 25;

let lastStatus = null;
let lastStats = null;
let inputState = "unknown";
let pendingInputSamples = [];
let chartPlotQueued = false;
let renderAgainQueued = false;

const remoteInStatus = (caller) => caller.remote;
const remoteInStats = (caller) => caller.url;

// The callers of a document by key; of a key listed twice, the first.
function byCallerKey(list, remoteOf) {
    const map = new Map();
    for (const caller of Array.isArray(list) ? list : []) {
        if (!isObject(caller))
            continue;
        const key = callerKey(remoteOf(caller), caller.created);
        if (!map.has(key))
            map.set(key, caller);
    }
    return map;
}

function historyOf(histories, key) {
    const known = histories.get(key);
    return known && Array.isArray(known.data) ? known.data : [];
}

// One row per caller, updated by `update`; rows of callers that left go, with their detail.
function syncRows(callers, remoteOf, histories, update) {
    let built = 0;
    for (const [key, caller] of callers) {
        let row = rows.get(key);
        if (!row) {
            if (built++ >= ROWS_PER_RENDER) {
                renderAgainSoon();
                continue;
            }
            row = createRow(key, remoteOf(caller), caller.created);
            setRowHistory(row, historyOf(histories, key));
        }
        update(row, caller);
    }
    for (const key of [...rows.keys()]) {
        if (!callers.has(key)) {
            forgetCaller(key);
            removeRow(key);
        }
    }
    selectWantedCaller();
    placeRows();
    keepDetailUnderSelection();
    renderCallerSummary(link.statusApi);
    renderDetail();
}

function renderStatus(doc) {
    const nowMs = Number.isFinite(num(doc.now_ms)) ? num(doc.now_ms) : Date.now();
    const latencyMs = num(doc.srt_latency_ms);
    renderLatency(latencyMs);
    inputState = renderInputHealth(doc.input, nowMs, doc.inputs);
    setAttr(byId("callers"), "data-mode", "status");
    // Before the rows: a selected caller's detail names its program from this list.
    renderPrograms(doc.programs, doc.callers);
    const histories = lastStats ? byCallerKey(lastStats.stats.right, remoteInStats) : new Map();
    syncRows(byCallerKey(doc.callers, remoteInStatus), remoteInStatus, histories,
             (row, caller) => updateRowFromStatus(row, caller, nowMs, latencyMs));
    renderDeparted(doc.departed, nowMs);
    renderAccess(doc.access);
    setViewersNeedNames(isObject(doc.access) && doc.access.users === true);
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

    const histories = byCallerKey(stats.right, remoteInStats);
    // Until the first status answer tells whether the server has api/v1/status, rows wait for
    // it: building 200 rows twice, once from each document, would only cost time.
    if (link.statusApi === "absent" || (link.statusApi === "unknown" && link.statusTried)) {
        inputState = renderInputHealthFromHistory(inputSamples, link.statusApi);
        setAttr(byId("callers"), "data-mode", link.statusApi === "absent" ? "history" : "status");
        syncRows(histories, remoteInStats, histories, updateRowFromStats);
        renderDeparted([], Date.now());
    }
    for (const row of rows.values())
        setRowHistory(row, historyOf(histories, row.key));
}

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
            renderInputChart(pendingInputSamples, link.everOk);
            renderDetailChart();
        });
    }, 0);
}

// Renders the latest documents again in a task of its own, which builds the next rows; the
// browser may paint in between. Doing it twice is harmless: rates only move with now_ms.
function renderAgainSoon() {
    if (renderAgainQueued)
        return;
    renderAgainQueued = true;
    setTimeout(() => {
        renderAgainQueued = false;
        if (link.statusApi === "present" && lastStatus)
            timed(() => renderStatus(lastStatus));
        else if (lastStats)
            timed(() => renderStatsDoc(lastStats.payload));
    }, 0);
}

// Rates and holds from before the 404 would span the gap to a later status answer.
function enterFallback() {
    forgetJudgements();
    forgetInputCounters();
    if (lastStats)
        timed(() => renderStatsDoc(lastStats.payload));
}

setupCopyButton();
setupSorting(keepDetailUnderSelection);
setupSelection();
renderPageState(link, inputState);
// An empty chart frame from the start, so a server that never answers still shows the layout.
renderInputChart([], link.everOk);
startPolling({
    status : (doc) => {
        lastStatus = doc;
        timed(() => renderStatus(doc));
    },
    statusMissing : enterFallback,
    stats : (doc) => timed(() => renderStatsDoc(doc)),
    settled : () => renderPageState(link, inputState),
});
