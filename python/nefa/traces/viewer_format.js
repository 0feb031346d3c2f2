// nefa trace viewer: how times and recorded values are shown, for
// the flame chart (flame.js), served or written into a page of its own.
const nefaFormat = (function () {
  "use strict";

  function formatDuration(us) {
    if (us === 0) return "0";
    if (us >= 1e6) return (us / 1e6).toPrecision(3) + " s";
    if (us >= 1e3) return (us / 1e3).toPrecision(3) + " ms";
    return (us < 1 ? us.toFixed(2) : us.toPrecision(3)) + " µs";
  }

  // Recorded values are shown as Python would print them. JSON's own forms
  // are None, bools, numbers, str, lists and str-keyed dicts; any other
  // value is an object tagged "$form" (see jsonable in values.py): "text"
  // is already as Python prints it, and tuples, sets, frozensets, dicts
  // with other keys and "more items" markers carry their parts.
  const FORM = "$form";

  function pyString(text) {
    // Python's own choice of quote, and its escapes.
    const quote = text.includes("'") && !text.includes('"') ? '"' : "'";
    let out = quote;
    for (const ch of text) {
      const code = ch.codePointAt(0);
      if (ch === "\\") out += "\\\\";
      else if (ch === quote) out += "\\" + quote;
      else if (ch === "\n") out += "\\n";
      else if (ch === "\r") out += "\\r";
      else if (ch === "\t") out += "\\t";
      else if (code < 0x20 || (code >= 0x7f && code < 0xa0)) out += "\\x" + code.toString(16).padStart(2, "0");
      else out += ch;
    }
    return out + quote;
  }

  function isForm(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value) && typeof value[FORM] === "string";
  }

  function moreText(count) {
    return "… (+" + count + " more)";
  }

  // Python's brackets for a container form: [open, close, items or pairs, mapping].
  function containerParts(value) {
    if (Array.isArray(value)) return ["[", "]", value, false];
    if (!isForm(value)) return ["{", "}", Object.entries(value), true];
    const kind = value[FORM];
    if (kind === "dict") {
      const pairs = value.pairs.slice();
      if (value.more) pairs.push([{ [FORM]: "more", count: value.more }, undefined]);
      return ["{", "}", pairs, true];
    }
    const items = value.items || [];
    const shown = items.filter((item) => !(isForm(item) && item[FORM] === "more")).length;
    if (kind === "tuple") return ["(", shown === 1 && items.length === 1 ? ",)" : ")", items, false];
    if (items.length === 0) return [kind + "(", ")", items, false];
    if (kind === "set") return ["{", "}", items, false];
    return ["frozenset({", "})", items, false];
  }

  function pyRepr(value, indent) {
    if (value === null || value === undefined) return "None";
    if (value === true) return "True";
    if (value === false) return "False";
    if (typeof value === "number") return String(value);
    if (typeof value === "string") return pyString(value);
    if (isForm(value)) {
      if (value[FORM] === "text") return value.text;
      if (value[FORM] === "more") return moreText(value.count);
    }
    const [open, close, entries, mapping] = containerParts(value);
    const items = entries.map((entry) => {
      if (!mapping) return pyRepr(entry, indent + "  ");
      const [key, item] = entry;
      if (item === undefined && isForm(key) && key[FORM] === "more") return moreText(key.count);
      return pyRepr(key, indent + "  ") + ": " + pyRepr(item, indent + "  ");
    });
    const flat = open + items.join(", ") + close;
    if (flat.length + indent.length <= 72 && !flat.includes("\n")) return flat;
    if (items.length === 0) return flat;
    return open + "\n" + items.map((item) => indent + "  " + item).join(",\n") + "\n" + indent + close;
  }

  function formatValue(value) {
    return pyRepr(value, "");
  }

  function shortName(qualname) {
    // "pkg.module.Class.method" -> "Class.method": what fits in a bar.
    const parts = qualname.split(".");
    return parts.length > 2 ? parts.slice(-2).join(".") : qualname;
  }

  function hashHue(text) {
    let hash = 0;
    for (let i = 0; i < text.length; i++) hash = (hash * 31 + text.charCodeAt(i)) | 0;
    return Math.abs(hash) % 360;
  }

  // Index of the first element of the sorted array `values` (seen through
  // `key`) that is >= target.
  function lowerBound(length, key, target) {
    let low = 0, high = length;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (key(mid) < target) low = mid + 1; else high = mid;
    }
    return low;
  }

  return { formatDuration, formatValue, shortName, hashHue, lowerBound };
})();
