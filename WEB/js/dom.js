// Small DOM helpers shared by the page's parts, and the render timing they report through.

export const byId = (id) => document.getElementById(id);

// Writes only on change: most cells keep their value from one poll to the next.
export function setText(node, value) {
    if (node.data !== value)
        node.data = value;
}

export function setAttr(el, name, value) {
    if (el.getAttribute(name) !== value)
        el.setAttribute(name, value);
}

export function setElText(el, value) {
    if (el.textContent !== value)
        el.textContent = value;
}

const renderStats = {
    last : 0,
    max : 0,
    count : 0
};

// Script time of each render, exposed for checks and benchmarks that read the DOM.
export function timed(work) {
    const started = performance.now();
    try {
        work();
    } catch (err) {
        // A rendering fault is ours, not the server's: log it instead of claiming it is down.
        console.error("dashboard render failed", err);
    }
    const ms = performance.now() - started;
    renderStats.last = ms;
    renderStats.max = Math.max(renderStats.max, ms);
    renderStats.count += 1;
    const body = document.body.dataset;
    body.renderMs = ms.toFixed(2);
    body.renderMaxMs = renderStats.max.toFixed(2);
    body.renderCount = String(renderStats.count);
}
