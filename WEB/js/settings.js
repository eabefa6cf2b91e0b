// The settings panel and its "watch the stream" hint.
import {byId, setElText} from "./dom.js";
import {text} from "./format.js";

// Brackets keep an IPv6 page host usable in the URL.
function pageHostForUrl() {
    const host = window.location.hostname || "127.0.0.1";
    return host.includes(":") && !host.startsWith("[") ? "[" + host + "]" : host;
}

// The port comes with /stats, whether viewers need names with api/v1/status.
const player = {
    port : "",
    usersOn : false
};

// With users, each viewer names itself in the stream id and brings its own passphrase; the
// placeholders are filled in by whoever hands the line on. Never a real name or secret.
export function playerHint(host, port, usersOn) {
    if (!port)
        return "—";
    const url = "srt://" + host + ":" + port;
    return usersOn ? "ffplay '" + url + "?streamid=#!::u=USER&passphrase=PASSPHRASE'"
                   : "ffplay " + url;
}

function renderPlayerHint() {
    setElText(byId("player-hint"), playerHint(pageHostForUrl(), player.port, player.usersOn));
    byId("player-note").hidden = !player.usersOn;
}

export function renderSettings(settings) {
    setElText(byId("set-source"), text(settings.source));
    setElText(byId("set-port"), text(settings.port));
    setElText(byId("set-webport"), text(settings.webport));
    setElText(byId("set-ver"), text(settings.ver));
    player.port =
        settings.port === undefined || settings.port === null ? "" : String(settings.port);
    renderPlayerHint();
}

export function setViewersNeedNames(usersOn) {
    if (player.usersOn === usersOn)
        return;
    player.usersOn = usersOn;
    renderPlayerHint();
}

export function renderLatency(latencyMs) {
    let value = "—";
    if (Number.isFinite(latencyMs))
        value = latencyMs === 0 ? "0 (file mode)" : latencyMs + " ms";
    setElText(byId("set-latency"), value);
}

export function setupCopyButton() {
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
