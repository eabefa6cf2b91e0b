// The top bar's badge and last-update time, and the banner shown while the server is away.
import {byId, setAttr, setElText} from "./dom.js";
import {clockText, formatDuration} from "./format.js";
import {pageState} from "./health.js";

const STATE_TEXT = {
    loading : "Connecting…",
    ok : "Live",
    noinput : "No input",
    error : "Server not reachable",
};

export function renderPageState(link, inputState) {
    const state = pageState(link, inputState);
    setAttr(document.body, "data-state", state);
    setAttr(document.body, "data-status-api", link.statusApi);
    setElText(byId("status-text"), STATE_TEXT[state]);
    byId("error-banner").hidden = state !== "error";
    if (link.lastFailed) {
        const every = link.statusApi === "present" ? "1 s" : "3 s";
        setElText(byId("error-detail"),
                  (link.everOk ? "Showing the last known values; retrying" : "Retrying") +
                      " every " + every + " (" + link.failureReason + ").");
    }
    renderLastUpdate(link);
}

function renderLastUpdate(link) {
    const label = byId("last-update");
    if (!link.lastOkAt) {
        label.textContent = "no data yet";
        return;
    }
    const clock = clockText(link.lastOkAt.getTime());
    if (!link.lastFailed)
        label.textContent = "updated " + clock;
    else
        label.textContent = "last data " + clock + " (" +
                            formatDuration((Date.now() - link.lastOkAt) / 1000) + " ago)";
}
