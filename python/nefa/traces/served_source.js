// The flame chart's data source when served: each question is a request
// to server.py, under the page's own address (its token).
const nefaSource = (function () {
  "use strict";

  const BASE = location.pathname.endsWith("/") ? location.pathname : location.pathname + "/";

  async function ask(route, params) {
    const query = new URLSearchParams(params || {}).toString();
    const response = await fetch(BASE + route + (query ? "?" + query : ""), { cache: "no-store" });
    const body = await response.json();
    if (!response.ok) throw new Error(body.error || response.statusText);
    return body;
  }

  return {
    unanswered: "The server did not answer: ",
    trace: () => ask("api/trace"),
    // rows: thread id -> [first depth, end depth), sent as thread:first:count.
    window(t0, t1, width, rows) {
      const asked = [...rows].map(([id, [first, end]]) => `${id}:${first}:${end - first}`).join(",");
      return ask("api/window", { t0, t1, width, rows: asked });
    },
    call: (id) => ask("api/call", { id }),
    search: (text) => ask("api/search", { q: text }),
  };
})();
