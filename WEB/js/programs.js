// The input's programs while callers may pick one ("programs" of api/v1/status): each with its
// service name, its PIDs, the rate of its feed and who watches it. Service names come from the
// input and reach the page as text only.
import {byId, setElText} from "./dom.js";
import {formatCount, formatRate, isObject, num, siKbps, text} from "./format.js";

// The PMT stream_types a feed usually carries; others show as their number.
const STREAM_TYPE_TEXT = {
    0x01 : "MPEG-1 video",
    0x02 : "MPEG-2 video",
    0x03 : "MPEG-1 audio",
    0x04 : "MPEG-2 audio",
    0x06 : "private data",
    0x0f : "AAC",
    0x11 : "AAC LATM",
    0x1b : "H.264",
    0x24 : "HEVC",
    0x81 : "AC-3",
    0x87 : "E-AC-3",
};

const WATCHERS_SHOWN = 5;

let serviceNames = new Map(); // program number -> service name, for the caller detail
let programsSignature = "";

function streamText(stream) {
    const type = num(stream.type);
    const typeText = STREAM_TYPE_TEXT[type] ||
                     (Number.isFinite(type) ? "type 0x" + type.toString(16) : "type unknown");
    return text(stream.pid) + " " + typeText;
}

function pidsText(program) {
    if (program.in_pat === false)
        return "left the input";
    const streams = Array.isArray(program.streams) ? program.streams.filter(isObject) : [];
    const parts = Number.isFinite(num(program.pmt_pid)) ? [ "PMT " + num(program.pmt_pid) ] : [];
    const pcr = num(program.pcr_pid);
    if (Number.isFinite(pcr) && !streams.some((stream) => num(stream.pid) === pcr))
        parts.push("PCR " + pcr);
    return parts.concat(streams.map(streamText)).join(" · ");
}

// "alice, 127.0.0.1:40001 and 3 more": the callers that picked `number`, by user, else by
// address (their stream id would only repeat the program).
function watchersText(number, callers) {
    const labels = callers.filter((caller) => num(caller.program) === number)
                       .map((caller) => (typeof caller.user === "string" && caller.user) ||
                                        text(caller.remote));
    const shown = labels.slice(0, WATCHERS_SHOWN).join(", ");
    return labels.length > WATCHERS_SHOWN
               ? shown + " and " + (labels.length - WATCHERS_SHOWN) + " more"
               : shown;
}

// One entry of texts per program, in the document's order.
function describePrograms(programs, callers) {
    const callerList = Array.isArray(callers) ? callers.filter(isObject) : [];
    return (Array.isArray(programs) ? programs.filter(isObject) : []).map((program) => {
        const number = num(program.number);
        const viewers = num(program.viewers);
        return {
            number : text(program.number),
            name : text(program.name),
            pids : pidsText(program),
            // An unwatched program has no feed, so no rate to show.
            rate : viewers > 0 ? formatRate(siKbps(program.kbps)) : "—",
            viewers : formatCount(viewers),
            watchers : watchersText(number, callerList),
            gone : program.in_pat === false,
        };
    });
}

// "2 · News" for the caller detail; the number alone while its name is unknown.
export function programLabel(number) {
    const name = serviceNames.get(num(number));
    return text(number) + (name ? " · " + name : "");
}

function cell(content, className) {
    const td = document.createElement("td");
    if (className)
        td.className = className;
    td.textContent = content;
    return td;
}

// Hidden without programs: a server without the setting (or an older one) sends none.
export function renderPrograms(programs, callers) {
    const list = describePrograms(programs, callers);
    serviceNames = new Map(list.filter((p) => p.name !== "—").map((p) => [num(p.number), p.name]));
    byId("programs").hidden = list.length === 0;
    setElText(byId("program-count"), String(list.length));
    const signature = JSON.stringify(list);
    if (signature === programsSignature)
        return;
    programsSignature = signature;
    const fragment = document.createDocumentFragment();
    for (const program of list) {
        const tr = document.createElement("tr");
        tr.dataset.program = program.number;
        tr.dataset.gone = program.gone ? "1" : "0";
        tr.append(cell(program.number, "num"), cell(program.name), cell(program.pids, "pids"),
                  cell(program.rate, "num"), cell(program.viewers, "num"),
                  cell(program.watchers, "watchers"));
        fragment.append(tr);
    }
    byId("program-rows").replaceChildren(fragment);
}
