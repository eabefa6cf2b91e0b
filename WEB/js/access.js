// The access panel: who may connect and who was turned away lately, from the "access" member
// of api/v1/status. Names and secrets never reach the page; the server sends counts only.
import {byId, setAttr, setElText} from "./dom.js";
import {formatCount, isObject, num} from "./format.js";

const REFUSAL_TEXT = {
    user : "unknown user or wrong passphrase",
    passphrase : "wrong or missing passphrase",
    address : "address not allowed",
    limit : "caller limit reached",
    handshake : "handshake failed or given up",
};

let refusalSignature = "";

// "12 callers of at most 20", "3 callers, no limit".
function callersText(callers, maxCallers) {
    const count = formatCount(num(callers)) + (num(callers) === 1 ? " caller" : " callers");
    return Number.isFinite(num(maxCallers)) ? count + " of at most " + formatCount(num(maxCallers))
                                            : count + ", no limit";
}

function usersText(userCount) {
    const count = num(userCount);
    return formatCount(count) + (count === 1 ? " user" : " users") +
           ", each with a passphrase of its own";
}

// The reasons with a refusal, most first, each with its text: [{reason, count, text}].
export function refusalsByReason(counts) {
    const list = [];
    for (const [reason, value] of Object.entries(isObject(counts) ? counts : {})) {
        const count = num(value);
        if (Number.isFinite(count) && count > 0)
            list.push({reason, count, text : REFUSAL_TEXT[reason] || reason});
    }
    return list.sort((a, b) => b.count - a.count || a.reason.localeCompare(b.reason));
}

function renderRefusals(recent, windowS) {
    const list = refusalsByReason(recent);
    const total = list.reduce((sum, item) => sum + item.count, 0);
    const minutes = Math.round((Number.isFinite(num(windowS)) ? num(windowS) : 600) / 60);
    setElText(byId("acc-refused-title"), "Refused in the last " + minutes + " minutes");
    setElText(byId("acc-refused-count"), formatCount(total));
    byId("acc-refused-none").hidden = total > 0;
    const signature = JSON.stringify(list);
    if (signature === refusalSignature)
        return;
    refusalSignature = signature;
    const fragment = document.createDocumentFragment();
    for (const item of list) {
        const li = document.createElement("li");
        li.dataset.reason = item.reason;
        li.dataset.count = String(item.count);
        li.textContent = formatCount(item.count) + " × " + item.text;
        fragment.append(li);
    }
    byId("acc-refusals").replaceChildren(fragment);
}

// A server without the member (older) keeps the panel hidden.
export function renderAccess(access) {
    const panel = byId("access");
    panel.hidden = !isObject(access);
    if (panel.hidden)
        return;
    setElText(byId("acc-callers"), callersText(access.callers, access.max_callers));
    const networks = Array.isArray(access.networks) ? access.networks.map(String) : [];
    setElText(byId("acc-networks"), networks.length ? networks.join(", ") : "all addresses");
    setElText(byId("acc-users"),
              access.users === true ? usersText(access.user_count) : "anyone (no users file)");
    setElText(byId("acc-webauth"), access.webauth === true ? "password required" : "open");
    setAttr(panel, "data-users", access.users === true ? "1" : "0");
    renderRefusals(access.refused_recent, access.recent_window_s);
}
