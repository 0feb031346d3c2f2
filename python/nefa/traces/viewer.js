// nefa trace viewer: a flame chart per thread on one canvas.
//
// Data comes from two inline JSON blocks (see viewer.py): #nefa-data holds
// one array per field per thread, texts as indexes into a string table;
// #nefa-values holds the full recorded values and is parsed on first use.
// Times are microseconds from the start of the trace.
(function () {
  "use strict";

  const ROW_HEIGHT = 18;
  const LANE_HEADER = 22;
  const LANE_GAP = 10;
  const AXIS_HEIGHT = 24;
  const MIN_SPAN = 0.01; // µs: how far one can zoom in
  const TEXT_MIN_WIDTH = 36; // px: narrower frames get no label
  const FLAG_NO_CALL = 1, FLAG_NO_RETURN = 2, FLAG_RESUMED = 4;

  const DATA = JSON.parse(document.getElementById("nefa-data").textContent);
  const STRINGS = DATA.strings;
  let fullValues = null;

  function recordedValues() {
    if (fullValues === null) {
      fullValues = JSON.parse(document.getElementById("nefa-values").textContent);
    }
    return fullValues;
  }

  const { formatDuration, formatValue, shortName, hashHue, lowerBound } = nefaFormat;

  // --------------------------------------------------------------------- model

  class ThreadLane {
    constructor(raw, index) {
      this.index = index;
      this.id = raw.id;
      this.name = raw.name;
      this.main = raw.main;
      const f = raw.frames;
      this.start = Float64Array.from(f.start);
      this.dur = Float64Array.from(f.dur);
      this.depth = Int32Array.from(f.depth);
      this.nameId = Int32Array.from(f.name);
      this.pathId = Int32Array.from(f.path);
      this.parent = Int32Array.from(f.parent);
      this.args = Int32Array.from(f.args);
      this.ret = Int32Array.from(f.ret);
      this.flags = Int32Array.from(f.flags);
      this.count = this.start.length;
      this.depthCount = raw.maxDepth + 1;
      this.events = raw.events;
      this.eventCount = raw.events.at.length;
      this.matches = null; // Uint8Array while a search is active
      // Frames of one depth never overlap: sorted by start, their ends are
      // sorted too, which makes each row binary-searchable.
      this.rows = [];
      const sizes = new Int32Array(this.depthCount);
      for (let i = 0; i < this.count; i++) sizes[this.depth[i]]++;
      for (let d = 0; d < this.depthCount; d++) this.rows.push(new Int32Array(sizes[d]));
      const fill = new Int32Array(this.depthCount);
      for (let i = 0; i < this.count; i++) {
        const d = this.depth[i];
        this.rows[d][fill[d]++] = i;
      }
      this.top = 0; // set by layout()
    }

    get height() {
      return LANE_HEADER + Math.max(1, this.depthCount) * ROW_HEIGHT + LANE_GAP;
    }

    end(i) { return this.start[i] + this.dur[i]; }

    label() { return `${this.name} (${this.id})${this.main ? " · main" : ""}`; }

    // Index in `row` of the first frame ending at or after time t.
    firstEndingAfter(row, t) {
      return lowerBound(row.length, (k) => this.end(row[k]), t);
    }

    // Index in `row` of the first frame starting at or after time t.
    firstStartingAfter(row, t) {
      return lowerBound(row.length, (k) => this.start[row[k]], t);
    }

    // The frame of this depth under time t, or the nearest one within slack µs.
    frameAt(depth, t, slack) {
      const row = this.rows[depth];
      if (!row || row.length === 0) return -1;
      const k = this.firstEndingAfter(row, t - slack);
      if (k >= row.length) return -1;
      const i = row[k];
      return this.start[i] - slack <= t ? i : -1;
    }

    eventNear(t, slack) {
      const at = this.events.at;
      const k = lowerBound(at.length, (j) => at[j], t - slack);
      return k < at.length && at[k] <= t + slack ? k : -1;
    }
  }

  const lanes = DATA.threads.map((raw, index) => new ThreadLane(raw, index));
  const totalDuration = Math.max(DATA.trace.duration, MIN_SPAN);

  // ------------------------------------------------------------------ the view

  const timeline = document.getElementById("timeline");
  const canvas = document.getElementById("canvas");
  const ctx = canvas.getContext("2d");
  const tooltip = document.getElementById("tooltip");

  const view = {
    t0: 0, // µs at the left edge
    t1: totalDuration, // µs at the right edge
    y: 0, // content pixels scrolled off the top
    width: 1,
    height: 1,
    contentHeight: 0,
  };
  const state = {
    selected: null, // {lane, index} of a frame, or {lane, event}
    needle: "",
    matchList: [],
  };
  const stats = { draws: 0, rects: 0, labels: 0, markers: 0 };

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

  // ----------------------------------------------------------------- drawing

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

  function frameColor(lane, i) {
    if (lane.matches !== null) {
      return lane.matches[i] ? "hsl(28, 95%, 55%)" : "hsl(220, 10%, 86%)";
    }
    const hue = hashHue(STRINGS[lane.pathId[i]].split(":")[0]);
    const light = 68 + (lane.nameId[i] % 5) * 3;
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

  function drawLaneBand(lane) {
    ctx.fillStyle = "#eef0f3";
    ctx.fillRect(0, laneY(lane), view.width, LANE_HEADER);
  }

  // Drawn last, over the event marks, so the name stays readable.
  function drawLaneLabel(lane) {
    const y = laneY(lane);
    const label = lane.label();
    ctx.font = "600 12px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    ctx.fillStyle = "rgba(238, 240, 243, 0.9)";
    ctx.fillRect(0, y, ctx.measureText(label).width + 12, LANE_HEADER);
    ctx.fillStyle = "#1d1f21";
    ctx.fillText(label, 6, y + LANE_HEADER / 2);
  }

  // Draws the frames of one row that lie in view. Frames narrower than a
  // pixel are merged into grey runs, and within one pixel column only the
  // last frame starting there is visited: work stays proportional to the
  // canvas width, not to the number of frames.
  function drawRow(lane, depth) {
    const row = lane.rows[depth];
    const y = rowY(lane, depth);
    const pxTime = (view.t1 - view.t0) / view.width;
    const matches = lane.matches;
    let k = lane.firstEndingAfter(row, view.t0);
    let runStart = -1, runEnd = -1, runMatches = false;
    const flushRun = () => {
      if (runStart >= 0) {
        ctx.fillStyle = runMatches ? "hsl(28, 95%, 55%)" : "hsl(220, 8%, 70%)";
        ctx.fillRect(runStart, y, Math.max(1, runEnd - runStart), ROW_HEIGHT - 1);
        stats.rects++;
        runStart = -1;
        runMatches = false;
      }
    };
    while (k < row.length) {
      const i = row[k];
      const start = lane.start[i];
      if (start > view.t1) break;
      const x0 = timeToX(start);
      const x1 = timeToX(start + lane.dur[i]);
      if (x1 - x0 < 1) {
        if (runStart >= 0 && x0 > runEnd + 1) flushRun();
        if (runStart < 0) runStart = x0;
        runEnd = Math.max(runEnd, x1);
        // Frames starting within this pixel are all inside the run, except
        // perhaps the last of them: go straight to it.
        const next = lane.firstStartingAfter(row, start + pxTime);
        if (matches !== null && !runMatches) {
          for (let j = k; j < next && !runMatches; j++) runMatches = matches[row[j]] === 1;
        }
        k = next - 1 > k ? next - 1 : k + 1;
        continue;
      }
      flushRun();
      drawFrame(lane, i, x0, x1, y);
      k++;
    }
    flushRun();
  }

  function drawFrame(lane, i, x0, x1, y) {
    const left = Math.max(x0, -2);
    const right = Math.min(x1, view.width + 2);
    const width = right - left;
    ctx.fillStyle = frameColor(lane, i);
    ctx.fillRect(left, y, Math.max(width - 0.5, 1), ROW_HEIGHT - 1);
    stats.rects++;
    const selected = state.selected;
    if (selected && selected.lane === lane && selected.index === i) {
      ctx.strokeStyle = "#111827";
      ctx.lineWidth = 2;
      ctx.strokeRect(left + 1, y + 1, Math.max(width - 2, 1), ROW_HEIGHT - 3);
      ctx.lineWidth = 1;
    }
    if (width >= TEXT_MIN_WIDTH) {
      const name = shortName(STRINGS[lane.nameId[i]]);
      const room = Math.floor((width - 8) / 6.4);
      const text = name.length > room ? name.slice(0, Math.max(0, room - 1)) + "…" : name;
      if (text.length > 1) {
        ctx.fillStyle = "#111827";
        ctx.fillText(text, left + 4, y + ROW_HEIGHT / 2);
        stats.labels++;
      }
    }
  }

  function drawEvents(lane) {
    const at = lane.events.at;
    if (at.length === 0) return;
    const top = laneY(lane);
    const bottom = top + lane.height - LANE_GAP;
    let k = lowerBound(at.length, (j) => at[j], view.t0);
    let lastX = -Infinity;
    ctx.fillStyle = "#c026d3";
    ctx.strokeStyle = "rgba(192, 38, 211, 0.45)";
    while (k < at.length && at[k] <= view.t1) {
      const x = Math.round(timeToX(at[k])) + 0.5;
      if (x - lastX >= 3) {
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
      k++;
    }
  }

  function draw() {
    stats.draws++;
    stats.rects = stats.labels = stats.markers = 0;
    ctx.clearRect(0, 0, view.width, view.height);
    ctx.font = "11px system-ui, sans-serif";
    for (const lane of lanes) {
      const top = laneY(lane);
      if (top > view.height || top + lane.height < AXIS_HEIGHT) continue;
      drawLaneBand(lane);
      ctx.font = "11px system-ui, sans-serif";
      ctx.textBaseline = "middle";
      for (let depth = 0; depth < lane.depthCount; depth++) {
        const y = rowY(lane, depth);
        if (y > view.height) break;
        if (y + ROW_HEIGHT < AXIS_HEIGHT) continue;
        drawRow(lane, depth);
      }
      drawEvents(lane);
      drawLaneLabel(lane);
    }
    drawAxis();
    if (lanes.length === 0) {
      ctx.fillStyle = "#6b7280";
      ctx.fillText("This trace has no records.", 12, AXIS_HEIGHT + 20);
    }
  }

  // ---------------------------------------------------------------- hit tests

  // What is under canvas point (x, y): {lane, index} for a frame,
  // {lane, event} for a plugin record, or null.
  function hitTest(x, y) {
    if (y < AXIS_HEIGHT) return null;
    const contentY = y - AXIS_HEIGHT + view.y;
    const lane = lanes.find((l) => contentY >= l.top && contentY < l.top + l.height);
    if (!lane) return null;
    const t = xToTime(x);
    const slack = 3 * (view.t1 - view.t0) / view.width;
    const inLane = contentY - lane.top;
    if (inLane < LANE_HEADER) {
      const event = lane.eventNear(t, 2 * slack);
      return event >= 0 ? { lane, event } : null;
    }
    const depth = Math.floor((inLane - LANE_HEADER) / ROW_HEIGHT);
    if (depth >= lane.depthCount) return null;
    const index = lane.frameAt(depth, t, slack);
    return index >= 0 ? { lane, index } : null;
  }

  // ----------------------------------------------------------------- details

  const details = document.getElementById("details");

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

  function frameLink(lane, index) {
    return element("a", { class: "link", onclick: () => select(lane, index, true) },
      STRINGS[lane.nameId[index]]);
  }

  function valueBlock(title, value) {
    if (value === undefined) return null;
    return [element("h3", null, title), element("pre", null, formatValue(value))];
  }

  function showFrame(lane, i) {
    const full = recordedValues().threads[lane.index].frames[i];
    const parent = lane.parent[i];
    const flags = lane.flags[i];
    const notes = [];
    if (flags & FLAG_RESUMED) notes.push("resumed generator or coroutine");
    if (flags & FLAG_NO_CALL) notes.push("call not recorded (running when recording began)");
    if (flags & FLAG_NO_RETURN) notes.push("no return recorded");
    let children = 0;
    for (let j = i + 1; j < lane.count && lane.depth[j] > lane.depth[i]; j++) {
      if (lane.parent[j] === i) children++;
    }
    const rows = [
      ["where", STRINGS[lane.pathId[i]]],
      ["duration", formatDuration(lane.dur[i])],
      ["started", "+" + formatDuration(lane.start[i])],
      ["thread", lane.label()],
      ["caller", parent >= 0 ? frameLink(lane, parent) : element("span", { class: "muted" }, "none recorded")],
      ["calls", String(children)],
    ];
    const list = element("dl", null);
    for (const [term, value] of rows) list.append(element("dt", null, term), element("dd", null, value));
    details.replaceChildren(
      element("h2", { id: "detail-name" }, STRINGS[lane.nameId[i]]),
      list,
      ...notes.map((note) => element("p", { class: "note" }, note)),
    );
    if (full) {
      const [args, locals, returned] = full;
      const blocks = [
        valueBlock("Arguments", args),
        valueBlock("Locals", locals),
        valueBlock("Return value", (flags & FLAG_NO_RETURN) ? undefined : returned),
      ];
      for (const block of blocks) if (block) details.append(...block);
    } else {
      details.append(element("p", { class: "muted" }, "Values were not recorded."));
    }
  }

  function showEvent(lane, k) {
    const events = lane.events;
    const data = recordedValues().threads[lane.index].events[k];
    const parent = events.parent[k];
    const list = element("dl", null);
    const rows = [
      ["at", "+" + formatDuration(events.at[k])],
      ["thread", lane.label()],
      ["inside", parent >= 0 ? frameLink(lane, parent) : element("span", { class: "muted" }, "no frame")],
    ];
    for (const [term, value] of rows) list.append(element("dt", null, term), element("dd", null, value));
    details.replaceChildren(
      element("h2", { id: "detail-name" }, element("span", { class: "event-mark" }, "◆ "),
        STRINGS[events.label[k]]),
      list,
      ...(valueBlock("Data", data) || []),
    );
  }

  // --------------------------------------------------------------- selection

  function select(lane, index, reveal) {
    state.selected = { lane, index };
    if (reveal) revealFrame(lane, index);
    showFrame(lane, index);
    scheduleDraw();
  }

  function selectEvent(lane, event) {
    state.selected = { lane, event };
    showEvent(lane, event);
    scheduleDraw();
  }

  // Zooms so that the frame fills most of the width, and scrolls to its row.
  function revealFrame(lane, i) {
    const start = lane.start[i];
    const span = Math.max(lane.dur[i], MIN_SPAN * 10);
    view.t0 = start - span * 0.1;
    view.t1 = start + span * 1.1;
    const y = lane.top + LANE_HEADER + lane.depth[i] * ROW_HEIGHT;
    const visible = view.height - AXIS_HEIGHT;
    if (y < view.y || y + ROW_HEIGHT > view.y + visible) view.y = y - visible / 3;
    clampView();
  }

  // ------------------------------------------------------------------ search

  const searchBox = document.getElementById("search");
  const searchCount = document.getElementById("search-count");
  const results = document.getElementById("results");
  const MAX_LISTED = 200;

  function search(text) {
    const needle = text.trim().toLowerCase();
    state.needle = needle;
    state.matchList = [];
    if (!needle) {
      for (const lane of lanes) lane.matches = null;
      searchCount.textContent = "";
      results.hidden = true;
      scheduleDraw();
      return 0;
    }
    // Test each distinct name once, then mark frames by name index.
    const hit = new Uint8Array(STRINGS.length);
    STRINGS.forEach((s, index) => { if (s.toLowerCase().includes(needle)) hit[index] = 1; });
    for (const lane of lanes) {
      lane.matches = new Uint8Array(lane.count);
      for (let i = 0; i < lane.count; i++) {
        if (hit[lane.nameId[i]]) {
          lane.matches[i] = 1;
          state.matchList.push({ lane, index: i });
        }
      }
    }
    const total = state.matchList.length;
    searchCount.textContent = `${total} match${total === 1 ? "" : "es"}`;
    renderResults();
    scheduleDraw();
    return total;
  }

  function renderResults() {
    const list = element("ol", { id: "result-list" });
    for (const { lane, index } of state.matchList.slice(0, MAX_LISTED)) {
      list.append(element("li", null,
        element("a", { class: "link result", onclick: () => select(lane, index, true) },
          STRINGS[lane.nameId[index]]),
        element("span", { class: "muted" }, ` ${formatDuration(lane.dur[index])} · ${lane.name}`)));
    }
    const total = state.matchList.length;
    const heading = total > MAX_LISTED ? `First ${MAX_LISTED} of ${total} matches` : `${total} matches`;
    results.replaceChildren(element("h3", null, heading), list);
    results.hidden = false;
  }

  let searchTimer = 0;
  searchBox.addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => search(searchBox.value), 120);
  });
  searchBox.addEventListener("keydown", (event) => {
    if (event.key === "Enter" && state.matchList.length) {
      const { lane, index } = state.matchList[0];
      select(lane, index, true);
    }
  });

  // ------------------------------------------------------------- interaction

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
    scheduleDraw();
  }, { passive: false });

  canvas.addEventListener("mousedown", (event) => {
    Object.assign(drag, {
      active: true, moved: false, x: event.clientX, y: event.clientY,
      t0: view.t0, t1: view.t1, scroll: view.y,
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
        scheduleDraw();
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
    if (!drag.moved && event.target === canvas) {
      const rect = canvas.getBoundingClientRect();
      const hit = hitTest(event.clientX - rect.left, event.clientY - rect.top);
      if (hit && hit.event !== undefined) selectEvent(hit.lane, hit.event);
      else if (hit) select(hit.lane, hit.index, false);
    }
  });

  canvas.addEventListener("mouseleave", () => { tooltip.hidden = true; });

  function showTooltip(event) {
    const rect = canvas.getBoundingClientRect();
    const x = event.clientX - rect.left, y = event.clientY - rect.top;
    const hit = hitTest(x, y);
    if (!hit) {
      tooltip.hidden = true;
      return;
    }
    if (hit.event !== undefined) {
      const events = hit.lane.events;
      tooltip.textContent = `◆ ${STRINGS[events.label[hit.event]]} ${STRINGS[events.text[hit.event]] || ""}`;
    } else {
      const { lane, index } = hit;
      const args = lane.args[index] >= 0 ? STRINGS[lane.args[index]] : "";
      const ret = lane.ret[index] >= 0 ? ` → ${STRINGS[lane.ret[index]]}` : "";
      tooltip.textContent =
        `${STRINGS[lane.nameId[index]]}(${args})${ret} · ${formatDuration(lane.dur[index])}`;
    }
    tooltip.hidden = false;
    tooltip.style.left = Math.min(x + 14, view.width - 200) + "px";
    tooltip.style.top = (y + 16) + "px";
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

  function resetZoom() {
    view.t0 = 0;
    view.t1 = totalDuration;
    view.y = 0;
    clampView();
    scheduleDraw();
  }

  window.addEventListener("resize", () => {
    layout();
    scheduleDraw();
  });

  // ------------------------------------------------------------------ API

  // A small API for scripts and tests driving the page.
  function findFrames(name) {
    const found = [];
    for (const lane of lanes) {
      for (let i = 0; i < lane.count; i++) {
        if (STRINGS[lane.nameId[i]] === name) found.push({ lane, index: i });
      }
    }
    return found;
  }

  // The page coordinates of the middle of the first frame named `name`
  // (brought into view first, unless `reveal` is false), or null.
  function locate(name, reveal = true) {
    const found = findFrames(name)[0];
    if (!found) return null;
    const { lane, index } = found;
    if (reveal) revealFrame(lane, index);
    draw();
    const rect = canvas.getBoundingClientRect();
    const x0 = Math.max(0, timeToX(lane.start[index]));
    const x1 = Math.min(view.width, timeToX(lane.end(index)));
    return {
      x: rect.left + (x0 + x1) / 2,
      y: rect.top + rowY(lane, lane.depth[index]) + ROW_HEIGHT / 2,
    };
  }

  function selectedInfo() {
    const selected = state.selected;
    if (!selected) return null;
    if (selected.event !== undefined) {
      return { kind: "event", thread: selected.lane.id, label: STRINGS[selected.lane.events.label[selected.event]] };
    }
    return { kind: "frame", thread: selected.lane.id, name: STRINGS[selected.lane.nameId[selected.index]] };
  }

  window.nefaViewer = {
    stats,
    frameCount: lanes.reduce((sum, lane) => sum + lane.count, 0),
    eventCount: lanes.reduce((sum, lane) => sum + lane.eventCount, 0),
    locate,
    search,
    selected: selectedInfo,
    count: (name) => findFrames(name).length,
    view: () => ({ t0: view.t0, t1: view.t1, y: view.y }),
    zoom(t0, t1) {
      view.t0 = t0;
      view.t1 = t1;
      clampView();
      draw();
    },
    draw,
  };

  // ------------------------------------------------------------------ start

  const info = DATA.trace;
  document.getElementById("trace-info").textContent =
    `${info.id} · ${info.command || "?"} · ${formatDuration(info.duration)} · ` +
    `${info.records} records · ${lanes.length} thread${lanes.length === 1 ? "" : "s"}`;
  layout();
  draw();
  window.nefaViewer.ready = true;
})();
