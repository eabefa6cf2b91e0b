// Callers that left in the last minutes, newest first, as the status document lists them.
import {byId, setElText} from "./dom.js";
import {
    callerLabel,
    clockText,
    formatAge,
    formatBytes,
    formatDuration,
    isObject,
    num,
    text
} from "./format.js";

const DEPARTED_SHOWN = 10;

const REASON_TEXT = {
    closed : "hung up",
    lost : "connection lost",
    fell_behind : "fell behind",
    error : "error",
};

let departedSignature = "";

function describe(d, nowMs) {
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
        user : callerLabel(d),
        reason,
        reasonText : REASON_TEXT[reason] || reason,
        facts :
            [ when, stayed, formatBytes(num(d.sent_bytes)) + " sent" ].filter(Boolean).join(" · "),
    };
}

function span(className, content) {
    const el = document.createElement("span");
    el.className = className;
    el.textContent = content;
    return el;
}

export function renderDeparted(list, nowMs) {
    const valid = Array.isArray(list) ? list.filter(isObject) : [];
    const items = valid.slice(0, DEPARTED_SHOWN).map((d) => describe(d, nowMs));
    const signature = valid.length + "\n" + JSON.stringify(items);
    if (signature === departedSignature)
        return;
    departedSignature = signature;

    byId("departed").hidden = valid.length === 0;
    setElText(byId("departed-count"), String(valid.length));
    const fragment = document.createDocumentFragment();
    for (const item of items) {
        const li = document.createElement("li");
        li.className = "departed-item";
        li.dataset.reason = item.reason;
        li.append(span("departed-url", item.remote + (item.user ? " · " + item.user : "")),
                  span("reason", item.reasonText), span("departed-facts", item.facts));
        fragment.append(li);
    }
    if (valid.length > items.length) {
        const more = document.createElement("li");
        more.className = "departed-more";
        more.textContent = "and " + (valid.length - items.length) + " more";
        fragment.append(more);
    }
    byId("departed-list").replaceChildren(fragment);
}
