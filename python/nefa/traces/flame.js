// nefa trace viewer: a flame chart per thread on one canvas, drawn from
// what its data source answers for the window on screen.
//
// The source (`nefaSource`, defined before this script) is the server
// (served_source.js: it asks server.py) or the page itself (page_source.js:
// it answers from the data written into the page by viewer.py), with the
// same answers either way:
//   trace() -> the trace and its threads
//   window(t0, t1, width, rows) -> per thread and depth, the calls of the
//     window at that pixel width, narrower ones merged into blocks
//   call(id) -> one call's details and values
//   search(text) -> {total, matches}: the first calls whose name holds text
// each a promise.
//
// The page holds one answer at a time: the calls of a time window a little
// wider than the view, at the view's pixel scale, for the rows on screen
// and a few more.  Panning within it needs no request; zooming, or
// scrolling to rows it lacks, asks again, one request at a time, while the
// old answer is drawn at the new scale.  Times are microseconds from the
// start of the trace.
(function () {
  "use strict";

  const { formatDuration, formatValue, shortName, hashHue, lowerBound } = nefaFormat;
  const source = nefaSource;
  const ROW_HEIGHT = 18;
  const LANE_HEADER = 22;
  const LANE_GAP = 10;
  const AXIS_HEIGHT = 24;
  const MIN_SPAN = 0.01; // µs: how far one can zoom in
  const TEXT_MIN_WIDTH = 36; // px: narrower calls get no label
  const MARGIN = 0.25; // of the view's span, asked for on each side
  const ROW_MARGIN = 8; // rows asked for above and below those on screen
  const FLAG_NO_CALL = 1, FLAG_NO_RETURN = 2, FLAG_RESUMED = 4;
  const MATCH_COLOR = "hsl(28, 95%, 55%)";

  // ------------------------------------------------------------------ model

  const names = new Map();
  const paths = new Map();
  let lanes = [];
  let totalDuration = MIN_SPAN;
  let shown = null; // {t0, t1, width} of the answer drawn

  class Lane {
    constructor(raw) {
      Object.assign(this, raw); // id, name, main, calls, depths, start, end
      this.rows = new Map(); // depth -> {calls, blocks}
      this.events = [];
      this.top = 0;
    }

    get height() { return LANE_HEADER + Math.max(1, this.depths) * ROW_HEIGHT + LANE_GAP; }

    label() { return `${this.name} (${this.id})${this.main ? " · main" : ""}`; }
  }

  function apply(answer, rows) {
    for (const [id, text] of Object.entries(answer.names)) names.set(Number(id), text);
    for (const [id, text] of Object.entries(answer.paths)) paths.set(Number(id), text);
    const byId = new Map(answer.threads.map((thread) => [thread.id, thread]));
    for (const lane of lanes) {
      const thread = byId.get(lane.id);
      lane.rows = new Map((thread ? thread.rows : []).map((row) => [row.depth, row]));
      lane.events = thread ? thread.events : [];
    }
    shown = { t0: answer.t0, t1: answer.t1, width: answer.width, rows };
  }

  // ------------------------------------------------------------------ the view

  const timeline = document.getElementById("timeline");
  const canvas = document.getElementById("canvas");
  const ctx = canvas.getContext("2d");
  const tooltip = document.getElementById("tooltip");
  const details = document.getElementById("details");

  const view = { t0: 0, t1: MIN_SPAN, y: 0, width: 1, height: 1, contentHeight: 0 };
  const state = { selected: null, needle: "", matches: [], total: 0 };
  const stats = { draws: 0, rects: 0, labels: 0, markers: 0, requests: 0, answers: 0, lastMs: 0, firstMs: 0 };

  function layout() {
    let top = 0;
    for (const lane of lanes) {
      lane.top = top;
      top += lane.height;
    }
    view.contentHeight = top;
    const dpr = window.devicePixelRatio || 1;
    view.width = Math.max(1, timeline.clientWidth);
    view.height = Math.max(1, timeline.clientHeight);
    canvas.width = Math.round(view.width * dpr);
    canvas.height = Math.round(view.height * dpr);
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    clampView();
  }

  function clampView() {
    let span = Math.max(view.t1 - view.t0, MIN_SPAN);
    span = Math.min(span, totalDuration);
    view.t0 = Math.min(Math.max(view.t0, 0), totalDuration - span);
    view.t1 = view.t0 + span;
    const maxY = Math.max(0, view.contentHeight - (view.height - AXIS_HEIGHT) + 20);
    view.y = Math.min(Math.max(view.y, 0), maxY);
  }

  const timeToX = (t) => ((t - view.t0) / (view.t1 - view.t0)) * view.width;
  const xToTime = (x) => view.t0 + (x / view.width) * (view.t1 - view.t0);
  const laneY = (lane) => AXIS_HEIGHT + lane.top - view.y;
  const rowY = (lane, depth) => laneY(lane) + LANE_HEADER + depth * ROW_HEIGHT;

  // ------------------------------------------------------------- requests

  let inFlight = false;
  let wanted = null;
  let askTimer = 0;

  // Per lane on screen, the depths [first, end) of its rows on screen,
  // `margin` more rows on each side.
  function rowsOnScreen(margin) {
    const rows = new Map();
    for (const lane of lanes) {
      const y = laneY(lane);
      if (y > view.height || y + lane.height < AXIS_HEIGHT) continue;
      const top = y + LANE_HEADER;
      const first = Math.max(0, Math.floor((AXIS_HEIGHT - top) / ROW_HEIGHT) - margin);
      const end = Math.min(lane.depths, Math.ceil((view.height - top) / ROW_HEIGHT) + margin);
      rows.set(lane.id, [first, Math.max(first, end)]);
    }
    return rows;
  }

  // Whether the answer drawn serves the view: it covers it, at its scale,
  // and holds the rows on screen.
  function answerServes() {
    if (shown === null) return false;
    const scale = (shown.t1 - shown.t0) / shown.width / ((view.t1 - view.t0) / view.width);
    if (!(view.t0 >= shown.t0 && view.t1 <= shown.t1 && Math.abs(scale - 1) < 0.02)) return false;
    for (const [id, [first, end]] of rowsOnScreen(0)) {
      const asked = shown.rows.get(id);
      if (!asked || (end > first && !(asked[0] <= first && asked[1] >= end))) return false;
    }
    return true;
  }

  function viewChanged() {
    scheduleDraw();
    if (answerServes()) return;
    clearTimeout(askTimer);
    askTimer = setTimeout(() => {
      askTimer = 0;
      askForView();
    }, 40);
  }

  function askForView() {
    const span = view.t1 - view.t0;
    const t0 = Math.max(0, view.t0 - span * MARGIN);
    const t1 = Math.min(totalDuration, view.t1 + span * MARGIN);
    const width = Math.max(1, Math.round(view.width * (t1 - t0) / span));
    wanted = { t0, t1, width, rows: rowsOnScreen(ROW_MARGIN) };
    if (!inFlight) askWanted();
  }

  async function askWanted() {
    const target = wanted;
    wanted = null;
    inFlight = true;
    stats.requests++;
    const started = performance.now();
    try {
      apply(await source.window(target.t0, target.t1, target.width, target.rows), target.rows);
      stats.lastMs = performance.now() - started;
      if (stats.answers++ === 0) stats.firstMs = stats.lastMs;
    } catch (error) {
      document.getElementById("trace-info").textContent = source.unanswered + error.message;
    }
    inFlight = false;
    if (wanted) askWanted();
    scheduleDraw();
  }

  // Idle once the last answer is drawn too: a draw waits for the next frame.
  const idle = () => !inFlight && wanted === null && askTimer === 0 && shown !== null && !drawPending;

  // -------------------------------------------------------------- drawing

  let drawPending = false;
  function scheduleDraw() {
    if (!drawPending) {
      drawPending = true;
      requestAnimationFrame(() => {
        drawPending = false;
        draw();
      });
    }
  }

  function matches(nameId) {
    return state.needle !== "" && (names.get(nameId) || "").toLowerCase().includes(state.needle);
  }

  function callColor(call) {
    if (state.needle !== "") return matches(call[3]) ? MATCH_COLOR : "hsl(220, 10%, 86%)";
    const hue = hashHue((paths.get(call[4]) || "?").split(":")[0]);
    const light = 68 + (call[3] % 5) * 3;
    return `hsl(${hue}, 55%, ${light}%)`;
  }

  function drawAxis() {
    ctx.fillStyle = "#fff";
    ctx.fillRect(0, 0, view.width, AXIS_HEIGHT);
    ctx.strokeStyle = "#d9dce1";
    ctx.beginPath();
    ctx.moveTo(0, AXIS_HEIGHT - 0.5);
    ctx.lineTo(view.width, AXIS_HEIGHT - 0.5);
    ctx.stroke();
    const span = view.t1 - view.t0;
    const rough = span / Math.max(1, view.width / 110);
    const power = Math.pow(10, Math.floor(Math.log10(rough)));
    const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough) || 10 * power;
    ctx.fillStyle = "#6b7280";
    ctx.font = "11px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    for (let t = Math.ceil(view.t0 / step) * step; t <= view.t1; t += step) {
      const x = Math.round(timeToX(t)) + 0.5;
      ctx.fillRect(x, AXIS_HEIGHT - 6, 1, 6);
      ctx.fillText(formatDuration(t), x + 3, AXIS_HEIGHT / 2);
    }
  }

  function drawLane(lane) {
    const top = laneY(lane);
    ctx.fillStyle = "#eef0f3";
    ctx.fillRect(0, top, view.width, LANE_HEADER);
    ctx.font = "11px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    for (const [depth, row] of lane.rows) {
      const y = rowY(lane, depth);
      if (y > view.height || y + ROW_HEIGHT < AXIS_HEIGHT) continue;
      drawRow(row, y);
    }
    drawEvents(lane, top);
    const label = lane.label();
    ctx.font = "600 12px system-ui, sans-serif";
    ctx.fillStyle = "rgba(238, 240, 243, 0.9)";
    ctx.fillRect(0, top, ctx.measureText(label).width + 12, LANE_HEADER);
    ctx.fillStyle = "#1d1f21";
    ctx.fillText(label, 6, top + LANE_HEADER / 2);
  }

  function drawRow(row, y) {
    ctx.fillStyle = "hsl(220, 8%, 70%)";
    for (const [start, end] of row.blocks) {
      const x0 = timeToX(start), x1 = timeToX(end);
      if (x1 < 0 || x0 > view.width) continue;
      ctx.fillRect(x0, y, Math.max(1, x1 - x0), ROW_HEIGHT - 1);
      stats.rects++;
    }
    for (const call of row.calls) {
      const x0 = timeToX(call[1]), x1 = timeToX(call[1] + call[2]);
      if (x1 < 0 || x0 > view.width) continue;
      drawCall(call, x0, x1, y);
    }
  }

  function drawCall(call, x0, x1, y) {
    const left = Math.max(x0, -2);
    const right = Math.min(x1, view.width + 2);
    const width = right - left;
    ctx.fillStyle = callColor(call);
    ctx.fillRect(left, y, Math.max(width - 0.5, 1), ROW_HEIGHT - 1);
    stats.rects++;
    if (state.selected && state.selected.id === call[0]) {
      ctx.strokeStyle = "#111827";
      ctx.lineWidth = 2;
      ctx.strokeRect(left + 1, y + 1, Math.max(width - 2, 1), ROW_HEIGHT - 3);
      ctx.lineWidth = 1;
    }
    if (width >= TEXT_MIN_WIDTH) {
      const name = shortName(names.get(call[3]) || "?");
      const room = Math.floor((width - 8) / 6.4);
      const text = name.length > room ? name.slice(0, Math.max(0, room - 1)) + "…" : name;
      if (text.length > 1) {
        ctx.fillStyle = "#111827";
        ctx.fillText(text, left + 4, y + ROW_HEIGHT / 2);
        stats.labels++;
      }
    }
  }

  function drawEvents(lane, top) {
    const bottom = top + lane.height - LANE_GAP;
    let lastX = -Infinity;
    ctx.fillStyle = "#c026d3";
    ctx.strokeStyle = "rgba(192, 38, 211, 0.45)";
    for (const [, at] of lane.events) {
      const x = Math.round(timeToX(at)) + 0.5;
      if (x < 0 || x > view.width || x - lastX < 3) continue;
      ctx.beginPath();
      ctx.moveTo(x, top + LANE_HEADER);
      ctx.lineTo(x, bottom);
      ctx.stroke();
      const cy = top + LANE_HEADER / 2;
      ctx.beginPath();
      ctx.moveTo(x, cy - 6);
      ctx.lineTo(x + 5, cy);
      ctx.lineTo(x, cy + 6);
      ctx.lineTo(x - 5, cy);
      ctx.closePath();
      ctx.fill();
      stats.markers++;
      lastX = x;
    }
  }

  function draw() {
    stats.draws++;
    stats.rects = stats.labels = stats.markers = 0;
    ctx.clearRect(0, 0, view.width, view.height);
    for (const lane of lanes) {
      const top = laneY(lane);
      if (top > view.height || top + lane.height < AXIS_HEIGHT) continue;
      drawLane(lane);
    }
    drawAxis();
    if (lanes.length === 0) {
      ctx.fillStyle = "#6b7280";
      ctx.fillText("This trace has no records.", 12, AXIS_HEIGHT + 20);
    }
  }

  // ------------------------------------------------------------- hit tests

  // What is under canvas point (x, y): {call}, {block}, {event} or null.
  function hitTest(x, y) {
    if (y < AXIS_HEIGHT) return null;
    const contentY = y - AXIS_HEIGHT + view.y;
    const lane = lanes.find((l) => contentY >= l.top && contentY < l.top + l.height);
    if (!lane) return null;
    const t = xToTime(x);
    const slack = 3 * (view.t1 - view.t0) / view.width;
    const inLane = contentY - lane.top;
    if (inLane < LANE_HEADER) {
      const events = lane.events;
      const k = lowerBound(events.length, (j) => events[j][1], t - 2 * slack);
      return k < events.length && events[k][1] <= t + 2 * slack ? { lane, event: events[k] } : null;
    }
    const depth = Math.floor((inLane - LANE_HEADER) / ROW_HEIGHT);
    const row = lane.rows.get(depth);
    if (!row) return null;
    const calls = row.calls;
    const k = lowerBound(calls.length, (j) => calls[j][1] + calls[j][2], t - slack);
    if (k < calls.length && calls[k][1] - slack <= t) return { lane, depth, call: calls[k] };
    const blocks = row.blocks;
    const b = lowerBound(blocks.length, (j) => blocks[j][1], t - slack);
    if (b < blocks.length && blocks[b][0] - slack <= t) return { lane, depth, block: blocks[b] };
    return null;
  }

  // --------------------------------------------------------------- details

  function element(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (key === "onclick") node.addEventListener("click", value);
      else node.setAttribute(key, value);
    }
    for (const child of children) {
      if (child !== null && child !== undefined) {
        node.append(typeof child === "string" ? document.createTextNode(child) : child);
      }
    }
    return node;
  }

  function valueBlock(title, value) {
    if (value === undefined) return [];
    return [element("h3", null, title), element("pre", null, formatValue(value))];
  }

  function callLink(summary) {
    return element("a", { class: "link", onclick: () => select(summary.id, true) }, summary.name);
  }

  function showCall(found) {
    const list = element("dl", null);
    const rows = found.event ? [
      ["at", "+" + formatDuration(found.start)],
      ["thread", found.threadLabel],
      ["inside", found.parent ? callLink(found.parent) : element("span", { class: "muted" }, "no frame")],
    ] : [
      ["where", found.path],
      ["duration", formatDuration(found.duration)],
      ["started", "+" + formatDuration(found.start)],
      ["thread", found.threadLabel],
      ["caller", found.parent ? callLink(found.parent) : element("span", { class: "muted" }, "none recorded")],
      ["calls", String(found.calls)],
    ];
    for (const [term, value] of rows) list.append(element("dt", null, term), element("dd", null, value));
    const heading = found.event
      ? element("h2", { id: "detail-name" }, element("span", { class: "event-mark" }, "◆ "), found.name)
      : element("h2", { id: "detail-name" }, found.name);
    const notes = [];
    const flags = found.flags || 0;
    if (flags & FLAG_RESUMED) notes.push("resumed generator or coroutine");
    if (flags & FLAG_NO_CALL) notes.push("call not recorded (running when recording began)");
    if (flags & FLAG_NO_RETURN) notes.push("no return recorded");
    details.replaceChildren(heading, list, ...notes.map((note) => element("p", { class: "note" }, note)));
    if (found.event) {
      details.append(...valueBlock("Data", found.data));
    } else if (found.values) {
      const values = found.values;
      details.append(...valueBlock("Arguments", values.arguments), ...valueBlock("Locals", values.locals),
        ...valueBlock("Return value", values.returned));
    } else {
      details.append(element("p", { class: "muted" }, "Values were not recorded."));
    }
  }

  let selecting = 0;
  async function select(id, reveal) {
    const ticket = ++selecting;
    const found = await source.call(id);
    if (ticket !== selecting) return; // a later click won
    state.selected = { id, name: found.name, thread: found.thread, event: !!found.event };
    if (reveal) revealCall(found);
    showCall(found);
    scheduleDraw();
  }

  // Zooms so that the call fills most of the width, and scrolls to its row.
  function revealCall(call) {
    const span = Math.max(call.duration, MIN_SPAN * 10);
    view.t0 = call.start - span * 0.1;
    view.t1 = call.start + span * 1.1;
    const lane = lanes.find((l) => l.id === call.thread);
    if (lane) {
      const y = lane.top + LANE_HEADER + call.depth * ROW_HEIGHT;
      const visible = view.height - AXIS_HEIGHT;
      if (y < view.y || y + ROW_HEIGHT > view.y + visible) view.y = y - visible / 3;
    }
    clampView();
    viewChanged();
  }

  // ----------------------------------------------------------------- search

  const searchBox = document.getElementById("search");
  const searchCount = document.getElementById("search-count");
  const results = document.getElementById("results");

  let searching = 0;
  async function search(text) {
    const ticket = ++searching;
    const needle = text.trim().toLowerCase();
    if (!needle) {
      Object.assign(state, { needle: "", matches: [], total: 0 });
      searchCount.textContent = "";
      results.hidden = true;
      scheduleDraw();
      return 0;
    }
    const answer = await source.search(needle);
    if (ticket !== searching) return answer.total;
    Object.assign(state, { needle, matches: answer.matches, total: answer.total });
    searchCount.textContent = `${answer.total} match${answer.total === 1 ? "" : "es"}`;
    const list = element("ol", { id: "result-list" });
    for (const match of answer.matches) {
      const lane = lanes.find((l) => l.id === match.thread);
      list.append(element("li", null,
        element("a", { class: "link result", onclick: () => select(match.id, true) }, match.name),
        element("span", { class: "muted" },
          ` ${formatDuration(match.duration)} · ${lane ? lane.name : match.thread}`)));
    }
    const heading = answer.total > answer.matches.length
      ? `First ${answer.matches.length} of ${answer.total} matches` : `${answer.total} matches`;
    results.replaceChildren(element("h3", null, heading), list);
    results.hidden = false;
    scheduleDraw();
    return answer.total;
  }

  let searchTimer = 0;
  searchBox.addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => search(searchBox.value), 150);
  });
  searchBox.addEventListener("keydown", (event) => {
    if (event.key === "Enter" && state.matches.length) select(state.matches[0].id, true);
  });

  // ------------------------------------------------------------ interaction

  const drag = { active: false, moved: false, x: 0, y: 0, t0: 0, t1: 0, scroll: 0 };

  timeline.addEventListener("wheel", (event) => {
    event.preventDefault();
    const rect = canvas.getBoundingClientRect();
    const x = event.clientX - rect.left;
    if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      const delta = (event.shiftKey ? event.deltaY : event.deltaX) * (view.t1 - view.t0) / view.width;
      view.t0 += delta;
      view.t1 += delta;
    } else {
      const anchor = xToTime(x);
      const factor = Math.exp(event.deltaY * 0.002);
      view.t0 = anchor - (anchor - view.t0) * factor;
      view.t1 = anchor + (view.t1 - anchor) * factor;
    }
    clampView();
    viewChanged();
  }, { passive: false });

  canvas.addEventListener("mousedown", (event) => {
    Object.assign(drag, {
      active: true, moved: false, x: event.clientX, y: event.clientY, t0: view.t0, t1: view.t1, scroll: view.y,
    });
    timeline.classList.add("dragging");
  });

  window.addEventListener("mousemove", (event) => {
    if (drag.active) {
      const dx = event.clientX - drag.x;
      const dy = event.clientY - drag.y;
      if (Math.abs(dx) + Math.abs(dy) > 3) drag.moved = true;
      if (drag.moved) {
        const shift = (dx / view.width) * (drag.t1 - drag.t0);
        view.t0 = drag.t0 - shift;
        view.t1 = drag.t1 - shift;
        view.y = drag.scroll - dy;
        clampView();
        viewChanged();
      }
      return;
    }
    if (event.target === canvas) showTooltip(event);
    else tooltip.hidden = true;
  });

  window.addEventListener("mouseup", (event) => {
    if (!drag.active) return;
    drag.active = false;
    timeline.classList.remove("dragging");
    if (drag.moved || event.target !== canvas) return;
    const rect = canvas.getBoundingClientRect();
    const hit = hitTest(event.clientX - rect.left, event.clientY - rect.top);
    if (!hit) return;
    if (hit.call) select(hit.call[0], false);
    else if (hit.event) select(hit.event[0], false);
    else if (hit.block) zoomInto(hit.block[0], hit.block[1]);
  });

  function zoomInto(start, end) {
    const span = Math.max(end - start, MIN_SPAN * 10);
    view.t0 = start - span * 0.05;
    view.t1 = end + span * 0.05;
    clampView();
    viewChanged();
  }

  canvas.addEventListener("mouseleave", () => { tooltip.hidden = true; });

  function showTooltip(event) {
    const rect = canvas.getBoundingClientRect();
    const x = event.clientX - rect.left, y = event.clientY - rect.top;
    const hit = hitTest(x, y);
    if (!hit) {
      tooltip.hidden = true;
      return;
    }
    if (hit.event) {
      tooltip.textContent = `◆ ${names.get(hit.event[2]) || "?"}`;
    } else if (hit.block) {
      tooltip.textContent = `calls too short to draw · ${formatDuration(hit.block[1] - hit.block[0])}`
        + " · click to zoom in";
    } else {
      tooltip.textContent = `${names.get(hit.call[3]) || "?"} · ${formatDuration(hit.call[2])}`;
    }
    tooltip.hidden = false;
    tooltip.style.left = Math.min(x + 14, view.width - 200) + "px";
    tooltip.style.top = (y + 16) + "px";
  }

  function resetZoom() {
    view.t0 = 0;
    view.t1 = totalDuration;
    view.y = 0;
    clampView();
    viewChanged();
  }

  document.getElementById("reset").addEventListener("click", resetZoom);
  window.addEventListener("keydown", (event) => {
    if (event.target === searchBox) return;
    if (event.key === "0") resetZoom();
    if (event.key === "/") {
      event.preventDefault();
      searchBox.focus();
    }
  });

  window.addEventListener("resize", () => {
    layout();
    viewChanged();
  });

  // -------------------------------------------------------------------- API

  // The page coordinates of the middle of the first call drawn named
  // `name`, or null.
  function locate(name) {
    for (const lane of lanes) {
      for (const [depth, row] of lane.rows) {
        for (const call of row.calls) {
          if (names.get(call[3]) !== name) continue;
          const x0 = Math.max(0, timeToX(call[1]));
          const x1 = Math.min(view.width, timeToX(call[1] + call[2]));
          const y = rowY(lane, depth);
          if (x1 - x0 < 2 || y < AXIS_HEIGHT || y + ROW_HEIGHT > view.height) continue;
          const rect = canvas.getBoundingClientRect();
          return { x: rect.left + (x0 + x1) / 2, y: rect.top + y + ROW_HEIGHT / 2 };
        }
      }
    }
    return null;
  }

  // Brings the first call named `name` into view (found by the server);
  // resolves to whether there is one.
  async function reveal(name) {
    const answer = await source.search(name);
    const match = answer.matches.find((found) => found.name === name);
    if (match) revealCall(match);
    return !!match;
  }

  // Per thread, the most items (calls and blocks) of any row.
  function densest() {
    let most = 0;
    for (const lane of lanes) {
      for (const row of lane.rows.values()) most = Math.max(most, row.calls.length + row.blocks.length);
    }
    return most;
  }

  window.nefaViewer = {
    stats,
    idle,
    locate,
    reveal,
    search,
    densest,
    shown: () => shown,
    // Per lane, the depths of the rows the answer drawn holds.
    held: () => lanes.map((lane) => [lane.id, [...lane.rows.keys()]]),
    selected: () => state.selected,
    view: () => ({ t0: view.t0, t1: view.t1, y: view.y, width: view.width }),
    zoom(t0, t1) {
      view.t0 = t0;
      view.t1 = t1;
      clampView();
      viewChanged();
    },
    draw,
  };
  // What the source knows of the whole trace besides (the page's: how many
  // calls and marks it holds).
  Object.assign(window.nefaViewer, source.facts || {});

  // ------------------------------------------------------------------ start

  source.trace().then((summary) => {
    const info = summary.trace;
    lanes = summary.threads.map((raw) => new Lane(raw));
    totalDuration = Math.max(info.duration, MIN_SPAN);
    view.t1 = totalDuration;
    document.getElementById("trace-info").textContent =
      `${info.id} · ${info.command || "?"} · ${formatDuration(info.duration)} · ` +
      `${info.records} records · ${lanes.length} thread${lanes.length === 1 ? "" : "s"}`;
    layout();
    askForView();
    window.nefaViewer.ready = true;
  }).catch((error) => {
    document.getElementById("trace-info").textContent = source.unanswered + error.message;
  });
})();
