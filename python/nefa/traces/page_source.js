// The flame chart's data source in a page of its own (viewer.py): it
// answers from the data written into the page, as the server would.
//
// #nefa-data holds the trace's summary, every call of each thread and
// depth in start order, [id, start, duration, name id, path id, line,
// flags] as a window answer's calls are, its plugin records [id, at, name
// id], and the names and paths by id; #nefa-values holds each call's
// answer, as the server gives it, and is parsed on the first click.
// A window is laid out here as the server lays it out: calls narrower
// than a pixel merged into blocks, a row visiting about one call per
// pixel column.
const nefaSource = (function () {
  "use strict";

  const { lowerBound } = nefaFormat;
  const DATA = JSON.parse(document.getElementById("nefa-data").textContent);
  let details = null;

  const end = (call) => call[1] + call[2];

  // Calls wider than a pixel, and blocks [start, end, calls seen] of the
  // narrower ones; after a narrow call, the walk goes on from the first
  // call that ends past the pixel column it ends in.
  function layoutRow(calls, t0, t1, px) {
    const wide = [];
    const blocks = [];
    let block = null;
    let k = lowerBound(calls.length, (j) => end(calls[j]), t0);
    while (k < calls.length && calls[k][1] < t1) {
      const call = calls[k];
      if (call[2] >= px) {
        wide.push(call);
        block = null;
        k++;
        continue;
      }
      if (block !== null && call[1] - block[1] < px) {
        block[1] = Math.max(block[1], end(call));
        block[2]++;
      } else {
        block = [call[1], end(call), 1];
        blocks.push(block);
      }
      const boundary = t0 + (Math.floor((Math.max(end(call), t0) - t0) / px) + 1) * px;
      k = Math.max(k + 1, lowerBound(calls.length, (j) => end(calls[j]), boundary));
    }
    return { calls: wide, blocks };
  }

  // At most one mark per pixel column.
  function layoutEvents(events, t0, t1, px) {
    const shown = [];
    let k = lowerBound(events.length, (j) => events[j][1], t0);
    while (k < events.length && events[k][1] < t1) {
      const at = events[k][1];
      shown.push(events[k]);
      const next = t0 + (Math.floor((at - t0) / px) + 1) * px;
      k = Math.max(k + 1, lowerBound(events.length, (j) => events[j][1], next));
    }
    return shown;
  }

  function windowAnswer(t0, t1, width, rows) {
    const px = (t1 - t0) / width;
    const threads = DATA.threads.map((thread) => {
      const asked = rows.get(thread.id);
      if (!asked) return { id: thread.id, rows: [], events: [] };
      const shown = [];
      for (const row of thread.rows) {
        if (row.depth < asked[0] || row.depth >= asked[1]) continue;
        const found = layoutRow(row.calls, t0, t1, px);
        if (found.calls.length || found.blocks.length) shown.push({ depth: row.depth, ...found });
      }
      return { id: thread.id, rows: shown, events: layoutEvents(thread.events, t0, t1, px) };
    });
    return { t0, t1, width, threads, names: DATA.names, paths: DATA.paths };
  }

  let frames = null; // every call that is a frame, in id order
  let summaries = null; // a frame's summary by id, as an answer gives it
  function everyFrame() {
    if (frames === null) {
      frames = [];
      for (const thread of DATA.threads) {
        for (const row of thread.rows) {
          for (const call of row.calls) frames.push([call, thread.id, row.depth]);
        }
      }
      frames.sort((a, b) => a[0][0] - b[0][0]);
    }
    return frames;
  }

  const summary = ([call, thread, depth]) =>
    ({ id: call[0], name: DATA.names[call[3]], thread, depth, start: call[1], duration: call[2] });

  function search(text) {
    const needle = text.trim().toLowerCase();
    if (!needle) return { total: 0, matches: [] };
    const hit = new Map(Object.entries(DATA.names).map(([id, name]) => [Number(id), name.toLowerCase().includes(needle)]));
    const matches = [];
    let total = 0;
    for (const frame of everyFrame()) {
      if (hit.get(frame[0][3]) && total++ < DATA.searchLimit) matches.push(summary(frame));
    }
    return { total, matches };
  }

  // A frame's answer lacks the summary its row gives, and names its caller
  // by id; a plugin record's has its summary.
  function call(id) {
    if (details === null) {
      details = JSON.parse(document.getElementById("nefa-values").textContent);
      summaries = new Map(everyFrame().map((frame) => [frame[0][0], summary(frame)]));
    }
    const found = details[id];
    if (found === undefined) throw new Error(`no call ${id}`);
    return {
      ...summaries.get(id), ...found, parent: found.parent === null ? null : summaries.get(found.parent),
    };
  }

  const sum = (items, count) => items.reduce((total, item) => total + count(item), 0);
  return {
    unanswered: "The page's data could not be read: ",
    facts: {
      frameCount: sum(DATA.threads, (thread) => sum(thread.rows, (row) => row.calls.length)),
      eventCount: sum(DATA.threads, (thread) => thread.events.length),
    },
    trace: async () => DATA.trace,
    window: async (t0, t1, width, rows) => windowAnswer(t0, t1, width, rows),
    call: async (id) => call(id),
    search: async (text) => search(text),
  };
})();
