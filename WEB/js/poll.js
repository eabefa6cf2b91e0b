// Polling the server: api/v1/status every second, /stats every 3 s, and what the answers say
// about the link to it. The documents themselves go to the handlers given to startPolling.
import {isObject} from "./format.js";

const STATUS_POLL_MS = 1000;
const STATS_POLL_MS = 3000;
// Shorter than the /stats period so a hung request never delays the next poll much.
const FETCH_TIMEOUT_MS = 2500;
// After a 404 the server may have been upgraded meanwhile; asking again now and then is cheap.
const STATUS_REPROBE_MS = 30000;

export const link = {
    // Which documents the server offers: "unknown" until the first status answer, then
    // "present" or "absent" (404).
    statusApi : "unknown",
    statusTried : false, // a status request has finished, answered or not
    everOk : false,
    lastOkAt : null,    // Date of the latest answer
    lastFailed : false, // the latest request of either kind failed
    failureReason : "",
};
let statusReprobeAt = 0;

// `path` beside the page, without the user:password@ the page may have been opened with: a
// request URL that carries credentials is refused by the browser, and a relative one inherits
// them. The browser sends the login it used for the page on its own.
export function documentUrl(path, location) {
    return new URL(path, location.origin + location.pathname).href;
}

async function fetchJson(path) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    try {
        const response = await fetch(documentUrl(path, window.location),
                                     {cache : "no-store", signal : abort.signal});
        if (response.status === 404)
            return {missing : true};
        if (!response.ok)
            throw new Error("HTTP " + response.status);
        return {body : await response.json()};
    } finally {
        clearTimeout(timer);
    }
}

function noteSuccess() {
    link.everOk = true;
    link.lastFailed = false;
    link.lastOkAt = new Date();
}

function noteFailure(err) {
    link.lastFailed = true;
    link.failureReason = err && err.name === "AbortError" ? "no answer within 2.5 s"
                                                          : String((err && err.message) || err);
}

// While the server has no status document, it is asked again only every STATUS_REPROBE_MS.
async function pollStatus(on) {
    if (link.statusApi !== "absent" || Date.now() >= statusReprobeAt) {
        try {
            const answer = await fetchJson("api/v1/status");
            noteSuccess();
            if (answer.missing) {
                const wasOffered = link.statusApi !== "absent";
                link.statusApi = "absent";
                statusReprobeAt = Date.now() + STATUS_REPROBE_MS;
                if (wasOffered)
                    on.statusMissing();
            } else if (isObject(answer.body)) {
                link.statusApi = "present";
                on.status(answer.body);
            }
        } catch (err) {
            noteFailure(err);
        }
        link.statusTried = true;
        on.settled();
    }
    setTimeout(() => pollStatus(on), STATUS_POLL_MS);
}

async function pollStats(on) {
    try {
        const answer = await fetchJson("stats");
        if (answer.missing)
            throw new Error("HTTP 404");
        noteSuccess();
        on.stats(answer.body);
    } catch (err) {
        noteFailure(err);
    }
    on.settled();
    setTimeout(() => pollStats(on), STATS_POLL_MS);
}

// on: status(doc), statusMissing() when the server first answers 404 for it, stats(doc), and
// settled() after every poll, answered or not.
export function startPolling(on) {
    pollStatus(on);
    pollStats(on);
}
