// The programs list of the dashboard rendered from a status document into a minimal stand-in
// of the page's DOM (node has none): markup in a service name must stay text.
import assert from "node:assert/strict";
import {test} from "node:test";

// Elements that hold text and children only; writing markup into one is an error.
class FakeElement {
    constructor(tag) {
        this.tag = tag;
        this.children = [];
        this.dataset = {};
        this.hidden = false;
        this.ownText = "";
    }
    get textContent() { return this.ownText + this.children.map((c) => c.textContent).join(""); }
    set textContent(value) {
        this.children = [];
        this.ownText = String(value);
    }
    set innerHTML(value) { throw new Error("markup written into the page: " + value); }
    append(...nodes) {
        for (const node of nodes)
            this.children.push(...(node.tag === "#fragment" ? node.children : [ node ]));
    }
    replaceChildren(...nodes) {
        this.children = [];
        this.ownText = "";
        this.append(...nodes);
    }
}

const page = new Map(
    [ "programs", "program-count", "program-rows" ].map((id) => [id, new FakeElement("section")]));
globalThis.document = {
    getElementById : (id) => page.get(id),
    createElement : (tag) => new FakeElement(tag),
    createDocumentFragment : () => new FakeElement("#fragment"),
};
const {renderPrograms, programLabel} = await import("../../WEB/js/programs.js");

const NBSP = "\u00a0";
const evil = "<script>alert(1)</script>";

const cellsOf = (row) => row.children.map((td) => td.textContent);

test("each program with its name as text, its PIDs, rate and viewers; none hides the list", () => {
    const watcher = (user, i) => ({remote : "127.0.0.1:" + (4000 + i), user, program : 2});
    const callers = [ "alice", "bob", "", "dave", "eve", "frank" ].map(watcher);
    callers.push({remote : "127.0.0.1:5000", user : "whole"});
    renderPrograms(
        [
            {number : 1, name : null, in_pat : true, pmt_pid : 4096, streams : [], viewers : 0},
            {
                number : 2,
                name : evil,
                in_pat : true,
                pmt_pid : 4097,
                pcr_pid : 300,
                streams : [
                    {pid : 256, type : 0x1b}, {pid : 257, type : 0x0f}, {pid : 258, type : 0xc0}
                ],
                viewers : 6,
                kbps : 1171.875,
            },
            {number : 3, name : "Gone", in_pat : false, streams : [], viewers : 1, kbps : 0},
        ],
        callers);
    assert.equal(page.get("programs").hidden, false);
    assert.equal(page.get("program-count").textContent, "3");
    const rows = page.get("program-rows").children;
    assert.deepEqual(rows.map((row) => row.dataset.program), [ "1", "2", "3" ]);
    assert.deepEqual(cellsOf(rows[0]), [ "1", "—", "PMT 4096", "—", "0", "" ]);
    assert.deepEqual(cellsOf(rows[1]), [
        "2", evil, "PMT 4097 · PCR 300 · 256 H.264 · 257 AAC · 258 type 0xc0",
        "1.20" + NBSP + "Mbit/s", "6", "alice, bob, 127.0.0.1:4002, dave, eve and 1 more"
    ]);
    assert.ok(rows[1].children.every((td) => td.tag === "td" && td.children.length === 0),
              "no element made from the name");
    assert.equal(rows[2].dataset.gone, "1");
    assert.equal(cellsOf(rows[2])[2], "left the input");
    assert.equal(programLabel(2), "2 · " + evil);
    assert.equal(programLabel(1), "1");

    for (const none of [[], undefined]) {
        renderPrograms(none, callers);
        assert.equal(page.get("programs").hidden, true);
    }
});
