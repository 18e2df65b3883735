// The report page: reads the scan embedded in the page, draws it as a nested
// treemap on a canvas and handles hover, zoom and the side lists. Names only
// ever reach the page through textContent and canvas text, never as markup.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("scan-data").textContent);
  const CATEGORIES = data.categories;
  const DIRECTORY = CATEGORIES.indexOf("directory");
  const COLOURS = {
    directory: "#c9ced8", archive: "#e07b39", audio: "#b45fc2", video: "#d4475c", image: "#e6b33d",
    document: "#4f8fd6", code: "#4fb37e", executable: "#8a6d4e", system: "#7d8796", other: "#a9b5c9",
  };
  const FOLD_COLOUR = "#e4e6eb";
  const FLAGS = { 16: "could not be read", 32: "skipped", 64: "symbolic link", 128: "several hard links" };
  const HEADER = 15;        // a folder's name strip, in CSS pixels
  const MIN_AREA = 12;      // smaller rectangles are folded into their folder's "smaller items" box
  const MIN_SIDE = 3;       // a folder smaller than this is drawn as one block
  const LARGEST = 15;

  // Nodes as objects with their parent, made once.
  function adopt(item, parent) {
    const node = { name: item[0], disk: item[1], size: item[2], kind: item[3], parent: parent,
                   kids: null, fold: null, sorted: {} };
    if (item.length > 4) {
      node.kids = item[4].map(function (child) { return null; });
      node.fold = item[5] ? { count: item[5][0], disk: item[5][1], size: item[5][2] } : null;
    }
    return node;
  }
  function load(rootItem) {  // iterative: folders may nest hundreds deep
    const root = adopt(rootItem, null);
    const stack = [[rootItem, root]];
    while (stack.length) {
      const [item, node] = stack.pop();
      if (!node.kids) continue;
      const children = item[4];
      for (let i = 0; i < children.length; i++) {
        const child = adopt(children[i], node);
        node.kids[i] = child;
        stack.push([children[i], child]);
      }
    }
    return root;
  }
  const root = load(data.tree);

  let measure = "disk";
  let view = root;
  let highlighted = null;
  let drawn = [];  // every rectangle of the last drawing, parents before children

  const isDir = (node) => node.kids !== null;
  const category = (node) => CATEGORIES[node.kind & 15];
  const value = (node) => node[measure];
  function kidsOf(node) {  // largest first for the shown measure, ties by name
    let list = node.sorted[measure];
    if (!list) {
      list = node.kids.slice().sort(function (a, b) {
        return value(b) - value(a) || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
      });
      node.sorted[measure] = list;
    }
    return list;
  }
  function pathOf(node) {
    const names = [];
    for (let n = node; n.parent; n = n.parent) names.push(n.name);
    names.reverse();
    if (!names.length) return root.name;
    return (root.name.endsWith("/") ? root.name : root.name + "/") + names.join("/");
  }
  // Control characters, line and paragraph separators and bidi controls are
  // shown as escapes, as the terminal faces show them: an override in a name
  // would otherwise turn the rest of a line around ("\u202egnp.exe").
  const UNSAFE = /[\u0000-\u001f\u007f-\u009f\u2028\u2029\u202a-\u202e\u2066-\u2069]/g;
  function shown(name) {
    return name.replace(UNSAFE, function (c) {
      const code = c.charCodeAt(0);
      return code < 0x100 ? "\\x" + code.toString(16).padStart(2, "0") : "\\u" + code.toString(16).padStart(4, "0");
    });
  }
  function folderOf(node) {  // a file's folder, from the one in view ("./" for the view itself)
    const names = [];
    for (let n = node.parent; n && n !== view; n = n.parent) names.push(n.name);
    return names.length ? names.reverse().join("/") + "/" : "./";
  }
  function chainOf(node) {
    const chain = [];
    for (let n = node; n; n = n.parent) chain.push(n);
    return chain.reverse();
  }

  // Sizes as the command line prints them: one decimal, ties to even, in
  // steps of 1024 or, for a page written with --si, of 1000.
  const SI = data.units === "si";
  const UNITS = SI ? ["B", "kB", "MB", "GB", "TB", "PB"] : ["B", "KB", "MB", "GB", "TB", "PB"];
  function formatBytes(n) {
    if (SI) return formatSi(n);
    if (n < 1024) return n + " B";
    let v = n / 1024, unit = 1;
    while (unit < 5 && v >= 1024) { v /= 1024; unit++; }
    // toFixed rounds exact halves up; the only exact halves in tenths are x.25 and x.75.
    const quarters = v * 4;
    if (Number.isInteger(quarters) && quarters % 2 === 1 && quarters % 4 === 1) {
      return (Math.floor(v) + 0.2).toFixed(1) + " " + UNITS[unit];
    }
    return v.toFixed(1) + " " + UNITS[unit];
  }
  function formatSi(n) {
    if (n < 1000) return n + " B";
    let unit = 1, scale = 1000;
    while (unit < 5 && n >= scale * 1000) { scale *= 1000; unit++; }
    // Tenths of the unit from the exact count (sizes up to 2^53 are exact
    // here), the quotient corrected where the division rounded it.
    const step = scale / 10;
    let tenths = Math.floor(n / step), rest = n - tenths * step;
    if (rest < 0) { tenths--; rest += step; } else if (rest >= step) { tenths++; rest -= step; }
    if (rest * 2 > step || (rest * 2 === step && tenths % 2 === 1)) tenths++;
    return Math.floor(tenths / 10) + "." + (tenths % 10) + " " + UNITS[unit];
  }
  function percent(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(1) + "%" : "0.0%";
  }

  // --- drawing ---------------------------------------------------------
  const canvas = document.getElementById("map");
  const ctx = canvas.getContext("2d");
  let width = 0, height = 0;

  function resize() {
    const box = canvas.getBoundingClientRect();
    const ratio = window.devicePixelRatio || 1;
    width = Math.max(1, Math.floor(box.width));
    height = Math.max(1, Math.floor(box.height));
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  }

  function label(name, x, y, w, colour) {
    if (w < 24) return;
    const text = shown(name);
    ctx.fillStyle = colour;
    if (ctx.measureText(text).width <= w) { ctx.fillText(text, x, y); return; }
    let lo = 0, hi = text.length;  // longest prefix that fits with an ellipsis
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (ctx.measureText(text.slice(0, mid) + "…").width <= w) lo = mid; else hi = mid - 1;
    }
    if (lo > 0) ctx.fillText(text.slice(0, lo) + "…", x, y);
  }

  function drawFolder(node, x, y, w, h, depth, parentIndex) {
    const index = drawn.length;
    drawn.push({ node: node, fold: null, x: x, y: y, w: w, h: h, depth: depth, parent: parentIndex });
    const shade = Math.max(170, 222 - depth * 9);
    ctx.fillStyle = "rgb(" + shade + "," + (shade + 4) + "," + (shade + 12) + ")";
    ctx.fillRect(x, y, w, h);
    if (depth > 0) { ctx.strokeStyle = "#fff"; ctx.lineWidth = 1; ctx.strokeRect(x + 0.5, y + 0.5, w - 1, h - 1); }
    if (w < MIN_SIDE * 2 || h < MIN_SIDE * 2) return;
    let top = y + 1, left = x + 1, innerW = w - 2, innerH = h - 2;
    if (depth > 0 && h >= HEADER * 2 && w >= 30) {
      label(node.name + "/", x + 4, y + 11, w - 8, "#1d2330");
      top = y + HEADER; innerH = h - HEADER - 1;
    }
    if (innerW <= 0 || innerH <= 0 || !(value(node) > 0)) return;
    const kids = kidsOf(node);
    const scale = innerW * innerH / value(node);
    let shown = 0;
    while (shown < kids.length && value(kids[shown]) * scale >= MIN_AREA) shown++;
    let foldCount = kids.length - shown, foldValue = 0;
    for (let i = shown; i < kids.length; i++) foldValue += value(kids[i]);
    if (node.fold) { foldCount += node.fold.count; foldValue += node.fold[measure]; }
    let used = foldValue;
    for (let i = 0; i < shown; i++) used += value(kids[i]);
    // The folder's own space (and any rounding) stays as an empty slot, so every
    // area stays its share of the folder; squarify wants largest first: the fold box and the empty slot go where they rank.
    const slots = [];
    for (let i = 0; i < shown; i++) slots.push(i);
    slots.push(shown, shown + 1);
    const slotValue = (i) => (i < shown ? value(kids[i]) : i === shown ? foldValue : Math.max(0, value(node) - used));
    slots.sort(function (p, q) { return slotValue(q) - slotValue(p) || p - q; });
    const sortedValues = slots.map(slotValue);
    const rects = squarify(sortedValues, left, top, innerW, innerH);
    for (let k = 0; k < slots.length; k++) {
      const i = slots[k];
      const rx = rects[4 * k], ry = rects[4 * k + 1], rw = rects[4 * k + 2], rh = rects[4 * k + 3];
      if (i === shown + 1 || rw * rh < 1) continue;
      if (i === shown) {
        if (foldCount > 0) drawFold(node, foldCount, foldValue, rx, ry, rw, rh, depth + 1, index);
        continue;
      }
      const kid = kids[i];
      if (isDir(kid)) drawFolder(kid, rx, ry, rw, rh, depth + 1, index);
      else drawFile(kid, rx, ry, rw, rh, depth + 1, index);
    }
  }

  function drawFile(node, x, y, w, h, depth, parentIndex) {
    drawn.push({ node: node, fold: null, x: x, y: y, w: w, h: h, depth: depth, parent: parentIndex });
    ctx.fillStyle = COLOURS[category(node)] || COLOURS.other;
    ctx.fillRect(x, y, w, h);
    ctx.strokeStyle = "rgba(255,255,255,.75)"; ctx.lineWidth = 1;
    ctx.strokeRect(x + 0.5, y + 0.5, Math.max(0, w - 1), Math.max(0, h - 1));
    if (h >= 14) label(node.name, x + 4, y + 11, w - 8, "#10131a");
  }

  function drawFold(node, count, total, x, y, w, h, depth, parentIndex) {
    const fold = { count: count, value: total };
    drawn.push({ node: node, fold: fold, x: x, y: y, w: w, h: h, depth: depth, parent: parentIndex });
    ctx.fillStyle = FOLD_COLOUR;
    ctx.fillRect(x, y, w, h);
    ctx.strokeStyle = "#fff"; ctx.strokeRect(x + 0.5, y + 0.5, Math.max(0, w - 1), Math.max(0, h - 1));
    if (h >= 14) label(foldText(count), x + 4, y + 11, w - 8, "#5d6678");
  }
  const foldText = (count) => "… " + count + " smaller item" + (count === 1 ? "" : "s");

  function draw() {
    drawn = [];
    ctx.clearRect(0, 0, width, height);
    ctx.font = "11px system-ui, -apple-system, 'Segoe UI', Roboto, sans-serif";
    ctx.textBaseline = "alphabetic";
    drawFolder(view, 0, 0, width, height, 0, -1);
    if (highlighted) {
      const rect = drawn.find(function (r) { return r.node === highlighted && !r.fold; });
      if (rect) {
        ctx.strokeStyle = "#111"; ctx.lineWidth = 3;
        ctx.strokeRect(rect.x + 1.5, rect.y + 1.5, Math.max(0, rect.w - 3), Math.max(0, rect.h - 3));
        ctx.strokeStyle = "#ffd400"; ctx.lineWidth = 1.5;
        ctx.strokeRect(rect.x + 1.5, rect.y + 1.5, Math.max(0, rect.w - 3), Math.max(0, rect.h - 3));
      }
    }
  }

  // --- the page around the map ------------------------------------------
  function text(tag, content, className) {
    const element = document.createElement(tag);
    element.textContent = content;
    if (className) element.className = className;
    return element;
  }

  function showHeader() {
    document.getElementById("root").textContent = shown(root.name);
    const facts = document.getElementById("facts");
    const t = data.totals;
    const bound = t.issues ? "at least " : "";
    const items = [
      // Something unread or skipped leaves the totals short of the truth.
      ["disk usage", bound + formatBytes(t.disk)], ["apparent size", bound + formatBytes(t.size)],
      ["files", String(t.files)], ["folders", String(t.folders)], ["issues", String(t.issues)],
    ];
    if (t.excluded) items.push(["excluded", String(t.excluded)]);
    items.push(["scanned", data.date], ["orvalnest", data.version]);
    facts.replaceChildren();
    for (const [name, content] of items) {
      const span = document.createElement("span");
      span.append(name + " ", text("b", content));
      facts.append(span);
    }
    const note = document.getElementById("note");
    note.textContent = data.kept < data.entries
      ? "This page keeps the " + data.kept + " largest of " + data.entries +
        " entries; the rest of each folder is shown as one box of smaller items."
      : "";
  }

  function showCrumbs() {
    const crumbs = document.getElementById("crumbs");
    crumbs.replaceChildren();
    const chain = chainOf(view);
    chain.forEach(function (node, i) {
      if (i > 0) crumbs.append(text("span", "/", "sep"));
      const button = text("button", shown(node.name));
      button.type = "button";
      button.addEventListener("click", function () { zoom(node); });
      crumbs.append(button);
    });
  }

  function showLargest() {
    const list = document.getElementById("largest");
    list.replaceChildren();
    const best = [];  // the LARGEST biggest files below the view, kept sorted
    const stack = [view];
    while (stack.length) {
      const node = stack.pop();
      if (isDir(node)) { for (const kid of node.kids) stack.push(kid); continue; }
      const v = value(node);
      if (best.length === LARGEST && v <= value(best[best.length - 1])) continue;
      let at = best.length;
      while (at > 0 && value(best[at - 1]) < v) at--;
      best.splice(at, 0, node);
      if (best.length > LARGEST) best.pop();
    }
    for (const node of best) {
      const button = document.createElement("button");
      button.type = "button";
      button.title = shown(pathOf(node));
      button.append(text("span", shown(node.name), "name"), text("span", formatBytes(value(node)), "num"),
                    text("span", shown(folderOf(node)), "where"));
      if (node === highlighted) button.className = "on";
      button.addEventListener("click", function () { highlight(node); });
      const item = document.createElement("li");
      item.append(button);
      list.append(item);
    }
  }

  function showLegend() {
    const list = document.getElementById("legend");
    list.replaceChildren();
    const total = data.totals[measure];
    const rows = data.legend.slice().sort(function (a, b) { return b[measure] - a[measure]; });
    for (const row of rows) {
      if (!row.count) continue;
      const item = document.createElement("li");
      item.dataset.category = row.name;
      const swatch = text("span", "", "swatch");
      swatch.style.background = COLOURS[row.name];
      const name = row.name === "directory" ? "folders themselves" : row.name;
      item.append(swatch, text("span", name), text("span", formatBytes(row[measure]), "num"),
                  text("span", percent(row[measure], total), "num"));
      item.title = row.count + (row.name === "directory" ? " folders" : " files");
      list.append(item);
    }
  }

  function render() {
    draw();
    showCrumbs();
    showLargest();
  }

  function zoom(node) {
    if (!node || !isDir(node)) return;
    view = node;
    if (highlighted && !chainOf(highlighted).includes(view)) highlighted = null;
    hideTip();
    render();
  }

  function highlight(node) {
    highlighted = node;
    draw();
    if (!drawn.some(function (r) { return r.node === node && !r.fold; })) {
      zoom(node.parent);  // too small to see from here: show its folder
      return;
    }
    showLargest();
  }

  // --- pointer and keys --------------------------------------------------
  const tip = document.getElementById("tip");
  function hideTip() { tip.style.display = "none"; }

  function hit(x, y) {  // the deepest drawn rectangle under the point
    for (let i = drawn.length - 1; i >= 0; i--) {
      const r = drawn[i];
      if (x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h) return r;
    }
    return null;
  }

  function describe(rect) {
    const node = rect.node;
    const folder = rect.fold ? node : node.parent;
    if (rect.fold) {
      const lines = [foldText(rect.fold.count) + " in " + shown(pathOf(node)), formatBytes(rect.fold.value) +
        (measure === "disk" ? " on disk" : " apparent")];
      lines.push(percent(rect.fold.value, value(root)) + " of the root, " + percent(rect.fold.value, value(node)) +
        " of its folder");
      return lines.join("\n");
    }
    const lines = [shown(pathOf(node)) + (isDir(node) ? "/" : "")];
    lines.push("disk usage " + formatBytes(node.disk) + " · apparent size " + formatBytes(node.size));
    let shares = percent(value(node), value(root)) + " of the root";
    if (folder) shares += ", " + percent(value(node), value(folder)) + " of its folder";
    lines.push(shares);
    const kind = isDir(node) ? "folder" : category(node);
    const marks = Object.keys(FLAGS).filter(function (bit) { return node.kind & bit; })
      .map(function (bit) { return FLAGS[bit]; });
    lines.push([kind].concat(marks).join(" · "));
    return lines.join("\n");
  }

  function pointer(event) {
    const box = canvas.getBoundingClientRect();
    return hit(event.clientX - box.left, event.clientY - box.top);
  }

  canvas.addEventListener("mousemove", function (event) {
    const rect = pointer(event);
    if (!rect) { hideTip(); return; }
    tip.textContent = describe(rect);
    tip.style.display = "block";
    const tw = tip.offsetWidth, th = tip.offsetHeight;
    let left = event.clientX + 14, top = event.clientY + 14;
    if (left + tw > window.innerWidth) left = Math.max(0, event.clientX - tw - 10);
    if (top + th > window.innerHeight) top = Math.max(0, event.clientY - th - 10);
    tip.style.left = left + "px"; tip.style.top = top + "px";
  });
  canvas.addEventListener("mouseleave", hideTip);
  canvas.addEventListener("click", function (event) {
    const rect = pointer(event);
    if (!rect) return;
    // A folder (or its box of smaller items) zooms into it; a file into its folder.
    zoom(rect.fold || isDir(rect.node) ? rect.node : rect.node.parent);
  });
  document.addEventListener("keydown", function (event) {
    if ((event.key === "Escape" || event.key === "Backspace") && view.parent) {
      event.preventDefault();
      zoom(view.parent);
    }
  });
  function setMeasure(name) {
    measure = name;
    document.getElementById("by-disk").setAttribute("aria-pressed", String(name === "disk"));
    document.getElementById("by-size").setAttribute("aria-pressed", String(name === "size"));
    render();
    showLegend();
  }
  document.getElementById("by-disk").addEventListener("click", function () { setMeasure("disk"); });
  document.getElementById("by-size").addEventListener("click", function () { setMeasure("size"); });
  let pending = 0;
  window.addEventListener("resize", function () {
    cancelAnimationFrame(pending);
    pending = requestAnimationFrame(function () { resize(); draw(); });
  });

  // What a test or a curious user can read of the drawing.
  window.orvalnestTreemap = {
    formatBytes: formatBytes,
    measure: function () { return measure; },
    view: function () { return pathOf(view); },
    rects: function () {
      return drawn.map(function (r) {
        return { path: pathOf(r.node), kind: r.fold ? "fold" : isDir(r.node) ? "folder" : "file",
                 depth: r.depth, x: r.x, y: r.y, w: r.w, h: r.h, count: r.fold ? r.fold.count : 0 };
      });
    },
    zoomTo: function (path) {
      const rect = drawn.find(function (r) { return !r.fold && pathOf(r.node) === path; });
      if (rect) zoom(rect.node);
      return pathOf(view);
    },
  };

  showHeader();
  showLegend();
  resize();
  render();
  window.orvalnestTreemap.drawnAt = performance.now();
})();
