// Reading values out of the server's documents and writing them as text: no DOM here, so the
// health judgement that builds on it also runs under node.

// The server's bitrates (/stats samples, "bitrate_kbps") count 1 kbit as 1024 bits; the page
// shows SI units, as broadcast people read them: 1 kbit = 1000 bits, 1 Mbit = 1000 kbit.
const SERVER_BITS_PER_KBIT = 1024;
export const KBIT_PER_MBIT = 1000;

// A bitrate of the server's documents in SI kbit/s.
export function siKbps(serverKbps) { return num(serverKbps) * (SERVER_BITS_PER_KBIT / 1000); }

export function num(value) {
    const n = typeof value === "number" ? value : Number(value);
    return value === null || value === undefined || value === "" || !Number.isFinite(n) ? NaN : n;
}

export function isObject(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value);
}

// The server lists bitrate samples newest first; in SI kbit/s.
export function latestRate(samples) {
    if (!Array.isArray(samples) || samples.length === 0)
        return NaN;
    return siKbps(samples[0] && samples[0].y);
}

// What tells a caller apart besides its address: the user it was admitted as, else the stream
// id it gave (servers before stream ids were listed send none).
export function callerLabel(caller) {
    for (const value of [caller.user, caller.stream_id]) {
        if (typeof value === "string" && value !== "")
            return value;
    }
    return "";
}

export function text(value) {
    return value === undefined || value === null || value === "" ? "—" : String(value);
}

// SI kbit/s as text: "850 kbit/s", "1.20 Mbit/s", "120.0 Mbit/s".
export function formatRate(kbps) {
    if (!Number.isFinite(kbps))
        return "—";
    // Rounded first, so that 999.6 kbit/s reads "1.00 Mbit/s", never "1000 kbit/s".
    if (Math.round(kbps) >= KBIT_PER_MBIT) {
        const mbps = kbps / KBIT_PER_MBIT;
        return mbps.toFixed(mbps >= 100 ? 1 : 2) + "\u00a0Mbit/s";
    }
    return Math.round(kbps) + "\u00a0kbit/s";
}

export function formatAxisRate(kbps, compact) {
    if (kbps === 0)
        return "0";
    if (kbps >= KBIT_PER_MBIT) {
        const mbps = kbps / KBIT_PER_MBIT;
        const text = mbps.toFixed(mbps >= 10 || Number.isInteger(mbps) ? 0 : 1);
        return compact ? text + "M" : text + " Mbit/s";
    }
    return compact ? Math.round(kbps) + "k" : Math.round(kbps) + " kbit/s";
}

export function formatBytes(bytes) {
    if (!Number.isFinite(bytes))
        return "—";
    const units = [ "B", "KiB", "MiB", "GiB", "TiB" ];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
        value /= 1024;
        unit += 1;
    }
    const digits = unit === 0 || value >= 100 ? 0 : 1;
    return value.toFixed(digits) + "\u00a0" + units[unit];
}

// Thousands grouped by hand: toLocaleString costs more than the rest of a row's update.
export function formatCount(n) {
    if (!Number.isFinite(n))
        return "—";
    const digits = String(Math.round(Math.abs(n)));
    let out = digits.slice(0, ((digits.length - 1) % 3) + 1);
    for (let i = out.length; i < digits.length; i += 3)
        out += "," + digits.slice(i, i + 3);
    return (n < 0 ? "-" : "") + out;
}

export function formatPerSecond(rate) {
    if (!Number.isFinite(rate))
        return "—";
    if (rate === 0)
        return "0";
    return rate >= 10 ? String(Math.round(rate)) : rate.toFixed(1);
}

export function formatMs(ms) {
    if (!Number.isFinite(ms))
        return "—";
    return (ms < 10 ? ms.toFixed(1) : String(Math.round(ms))) + "\u00a0ms";
}

const pad2 = (n) => String(n).padStart(2, "0");

export function formatLocalDateTime(date) {
    return (date.getFullYear() + "-" + pad2(date.getMonth() + 1) + "-" + pad2(date.getDate()) +
            " " + pad2(date.getHours()) + ":" + pad2(date.getMinutes()) + ":" +
            pad2(date.getSeconds()));
}

export function clockText(epochMs) { return formatLocalDateTime(new Date(epochMs)).slice(11); }

export function formatDuration(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0)
        return "";
    const s = Math.floor(seconds);
    const d = Math.floor(s / 86400);
    const h = Math.floor((s % 86400) / 3600);
    const m = Math.floor((s % 3600) / 60);
    if (d > 0)
        return d + " d " + h + " h";
    if (h > 0)
        return h + " h " + m + " min";
    if (m > 0)
        return m + " min " + (s % 60) + " s";
    return s + " s";
}

// For cells refreshed every second: whole minutes once past one, so the text rarely changes.
export function formatAge(seconds) {
    if (!Number.isFinite(seconds))
        return "—";
    const s = Math.max(0, Math.floor(seconds));
    if (s < 60)
        return s + " s";
    if (s < 3600)
        return Math.floor(s / 60) + " min";
    return formatDuration(s).replace(/ \d+ s$/, "");
}
