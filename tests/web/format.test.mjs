// What the page writes from the server's documents: SI bitrates, request URLs without the
// page's credentials, the player line, the access panel's texts. Under node, no browser.
import assert from "node:assert/strict";
import {describe, test} from "node:test";

import {refusalsByReason} from "../../WEB/js/access.js";
import {callerLabel, formatAxisRate, formatRate, latestRate, siKbps} from "../../WEB/js/format.js";
import {documentUrl} from "../../WEB/js/poll.js";
import {playerHint} from "../../WEB/js/settings.js";

const NBSP = "\u00a0";

describe("bitrates in SI units", () => {
    test("1 kbit is 1000 bits and 1 Mbit is 1000 kbit", () => {
        assert.deepEqual([ 0, 850, 999.4, 999.6, 1200, 99990, 120000 ].map(formatRate), [
            "0 kbit/s", "850 kbit/s", "999 kbit/s", "1.00 Mbit/s", "1.20 Mbit/s", "99.99 Mbit/s",
            "120.0 Mbit/s"
        ].map((t) => t.replace(" ", NBSP)));
        assert.equal(formatRate(NaN), "—");
        assert.deepEqual([ 500, 1000, 1500, 20000 ].map((v) => formatAxisRate(v, true)),
                         [ "500k", "1M", "1.5M", "20M" ]);
    });

    test("the server's kbit of 1024 bits is converted before it is shown", () => {
        // 1,200,000 bit/s as the server counts it: 1171.875 of its kbit/s.
        assert.equal(siKbps(1171.875), 1200);
        assert.equal(formatRate(siKbps(1171.875)), "1.20" + NBSP + "Mbit/s");
        // /stats lists the newest sample first.
        assert.equal(latestRate([ {x : "t2", y : 1000}, {x : "t1", y : 5} ]), 1024);
        assert.ok(Number.isNaN(latestRate([])));
    });
});

describe("requests and the player line", () => {
    test("request URLs keep the page's folder but never its credentials", () => {
        const page = new URL("http://ops:pw@127.0.0.1:8180/dash/index.html?x=1#caller=a");
        assert.equal(documentUrl("api/v1/status", page),
                     "http://127.0.0.1:8180/dash/api/v1/status");
        assert.equal(documentUrl("stats", new URL("http://[::1]:80/")), "http://[::1]/stats");
    });

    test("with users the line asks for a name and a passphrase, never a real one", () => {
        assert.equal(playerHint("10.0.0.5", "9100", false), "ffplay srt://10.0.0.5:9100");
        assert.equal(playerHint("10.0.0.5", "9100", true),
                     "ffplay 'srt://10.0.0.5:9100?streamid=#!::u=USER&passphrase=PASSPHRASE'");
        assert.equal(playerHint("10.0.0.5", "", true), "—");
    });
});

describe("callers and refusals", () => {
    test("a caller is told apart by its user, else by its stream id", () => {
        assert.equal(callerLabel({user : "alice", stream_id : "#!::u=alice"}), "alice");
        assert.equal(callerLabel({user : "", stream_id : "studio-b"}), "studio-b");
        assert.equal(callerLabel({stream_id : 7}), "");
    });

    test("the access panel lists reasons with refusals, most first", () => {
        assert.deepEqual(
            refusalsByReason({limit : 0, user : 2, passphrase : 5, address : 2, handshake : "x"})
                .map((r) => r.reason + "=" + r.count),
            [ "passphrase=5", "address=2", "user=2" ]);
        assert.deepEqual(refusalsByReason(null), []);
    });
});
