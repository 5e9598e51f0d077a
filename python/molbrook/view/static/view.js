// The page of `molbrook view`. Everything a file holds is put into the page
// as text (textContent), never as markup; the drawings are SVG that molbrook
// made, parsed as XML and kept only in the elements and attributes a drawing
// uses, so that nothing in them can run.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const SVG_NS = "http://www.w3.org/2000/svg";
const DRAWING_ELEMENTS = new Set(["svg", "g", "line", "path", "polyline", "polygon", "rect", "circle", "ellipse",
                                  "text", "tspan", "title", "desc"]);
const CARD_RECORDS = 3;  // records shown on cards until the user chooses

const state = {
  files: [], file: null, start: 0, count: 24, sortName: "", sortKind: "text", descending: false,
  where: "", q: "", view: "grid", blocks: [], total: 0, serial: 0,
  shown: new Map(),   // file name -> the record names shown on its cards
  picked: new Map(),  // file name -> the ordinals ticked
};

const $ = (id) => document.getElementById(id);

function element(tag, text, className) {
  const made = document.createElement(tag);
  if (text !== undefined) made.textContent = text;
  if (className) made.className = className;
  return made;
}

function currentFile() {
  return state.files.find((file) => file.name === state.file);
}

function picked() {
  if (!state.picked.has(state.file)) state.picked.set(state.file, new Set());
  return state.picked.get(state.file);
}

function setStatus(text, isError) {
  $("status").textContent = text;
  $("status").classList.toggle("error", Boolean(isError));
}

async function api(path, params) {
  const url = new URL(path, location.origin);
  for (const [name, value] of params) url.searchParams.append(name, value);
  const response = await fetch(url, { headers: { "X-Molbrook-Token": TOKEN }, cache: "no-store" });
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try { message = (await response.json()).error; } catch (ignored) { /* not JSON: the status says it */ }
    throw new Error(message);
  }
  return response;
}

// The sort as `molbrook sort -k` takes it: NAME[:FLAGS].
function sortKey() {
  if (!state.sortName) return "";
  const name = state.sortName === "@title" ? "@title"
    : state.sortName.startsWith("@") ? `@${state.sortName}` : state.sortName;
  const flags = { number: "n", natural: "V", text: "" }[state.sortKind] + (state.descending ? "r" : "");
  return flags ? `${name}:${flags}` : name;
}

// "auto" sorts as numbers when every value of the page is one.
function chooseKind(name) {
  const chosen = $("kind").value;
  if (chosen) return chosen;
  const values = state.blocks.map((block) => valueOf(block, name)).filter((value) => value !== undefined && value.trim());
  return values.length && values.every((value) => Number.isFinite(Number(value.trim()))) ? "number" : "text";
}

function valueOf(block, name) {
  if (name === "@title") return block.title;
  const found = block.records.find(([recordName]) => recordName === name);
  return found ? found[1] : undefined;
}

async function load() {
  const serial = ++state.serial;
  document.body.dataset.busy = "1";
  const params = [["file", state.file], ["start", state.start], ["count", state.count]];
  if (sortKey()) params.push(["sort", sortKey()]);
  if (state.where) params.push(["where", state.where]);
  if (state.q) params.push(["q", state.q]);
  setStatus(state.sortName || state.where ? "reading the file (the first time for this sort or filter)..." : "");
  try {
    const page = await (await api("/api/blocks", params)).json();
    if (serial !== state.serial) return;
    state.blocks = page.blocks;
    state.total = page.total;
    render();
    setStatus(state.q || state.where ? `${page.total} block${page.total === 1 ? "" : "s"} found` : "");
  } catch (error) {
    if (serial === state.serial) setStatus(error.message, true);
  } finally {
    if (serial === state.serial) delete document.body.dataset.busy;
  }
}

function render() {
  const last = Math.min(state.start + state.count, state.total);
  $("page").textContent = state.total ? `${state.start + 1}\u2013${last} of ${state.total}` : "no blocks";
  $("prev").disabled = state.start === 0;
  $("next").disabled = last >= state.total;
  $("grid").hidden = state.view !== "grid";
  $("table-view").hidden = state.view !== "table";
  $("show-grid").setAttribute("aria-pressed", String(state.view === "grid"));
  $("show-table").setAttribute("aria-pressed", String(state.view === "table"));
  if (state.view === "grid") renderGrid(); else renderTable();
  renderPicked();
}

function renderGrid() {
  const shown = state.shown.get(state.file) || [];
  $("grid").replaceChildren(...state.blocks.map((block) => card(block, shown)));
}

function card(block, shown) {
  const made = element("article", undefined, "card");
  made.dataset.ordinal = String(block.ordinal);
  made.classList.toggle("picked", picked().has(block.ordinal));
  const head = element("div", undefined, "head");
  const label = element("label");
  const tick = element("input", undefined, "pick");
  tick.type = "checkbox";
  tick.checked = picked().has(block.ordinal);
  tick.addEventListener("change", () => pick(block.ordinal, tick.checked, made));
  label.append(tick, ` #${block.ordinal}`);
  head.append(label);
  const drawing = element("div", undefined, "drawing");
  drawing.append(safeDrawing(block.svg));
  drawing.addEventListener("click", () => showDetail(block));
  const title = element("h3", block.title || "(no title)", "title");
  title.addEventListener("click", () => showDetail(block));
  const records = element("dl");
  for (const name of shown) {
    const value = valueOf(block, name);
    if (value !== undefined) records.append(element("dt", name), element("dd", value));
  }
  if (block.error) records.append(element("dt", "error"), element("dd", block.error));
  made.append(head, drawing, title, records);
  return made;
}

// The SVG parsed as XML, kept to the drawing elements, without scripts,
// event handlers, links or styles.
function safeDrawing(markup) {
  const root = new DOMParser().parseFromString(markup, "image/svg+xml").documentElement;
  if (root.namespaceURI !== SVG_NS || root.localName !== "svg") return element("span", "(no drawing)");
  prune(root);
  return document.importNode(root, true);
}

function prune(node) {
  for (const child of [...node.children]) {
    if (child.namespaceURI === SVG_NS && DRAWING_ELEMENTS.has(child.localName)) prune(child); else child.remove();
  }
  for (const attribute of [...node.attributes]) {
    const name = attribute.name.toLowerCase();
    if (name.startsWith("on") || name.includes("href") || name === "style") node.removeAttribute(attribute.name);
  }
}

function renderTable() {
  const names = currentFile().names;
  const columns = ["#", "@title", ...names];
  const head = $("table").tHead.rows[0];
  head.replaceChildren(...columns.map((name) => {
    const cell = element("th", name === "@title" ? "title" : name);
    cell.dataset.name = name;
    const sorted = name === "#" ? !state.sortName : state.sortName === name;
    cell.classList.toggle("sorted", sorted);
    if (sorted && state.sortName) cell.textContent += state.descending ? " \u25bc" : " \u25b2";
    cell.addEventListener("click", () => sortBy(name === "#" ? "" : name, true));
    return cell;
  }));
  $("table").tBodies[0].replaceChildren(...state.blocks.map((block) => {
    const row = element("tr");
    row.dataset.ordinal = String(block.ordinal);
    row.append(element("td", String(block.ordinal)), element("td", block.title));
    for (const name of names) {
      const value = valueOf(block, name);
      row.append(element("td", value === undefined ? "" : value));
    }
    row.addEventListener("click", () => showDetail(block));
    return row;
  }));
}

function sortBy(name, fromHeader) {
  if (fromHeader && name && name === state.sortName) {
    state.descending = !state.descending;
  } else {
    state.sortName = name;
    state.sortKind = name ? chooseKind(name) : "text";
    if (fromHeader) state.descending = false;
  }
  $("sort").value = state.sortName;
  $("descending").checked = state.descending;
  state.start = 0;
  load();
}

function pick(ordinal, on, cardElement) {
  if (on) picked().add(ordinal); else picked().delete(ordinal);
  cardElement.classList.toggle("picked", on);
  renderPicked();
}

function renderPicked() {
  $("picked").textContent = String(picked().size);
  $("download").disabled = picked().size === 0;
}

function download() {
  const url = new URL("/api/download", location.origin);
  url.searchParams.set("file", state.file);
  url.searchParams.set("ordinals", [...picked()].sort((a, b) => a - b).join(","));
  url.searchParams.set("token", TOKEN);
  const link = element("a");
  link.href = url.href;
  link.download = "";
  document.body.append(link);
  link.click();
  link.remove();
}

async function showDetail(block) {
  $("detail-title").textContent = `#${block.ordinal} ${block.title}`;
  $("detail-text").textContent = "";
  $("detail").hidden = false;
  try {
    const response = await api("/api/block", [["file", state.file], ["ordinal", block.ordinal]]);
    $("detail-text").textContent = await response.text();
  } catch (error) {
    $("detail-text").textContent = error.message;
  }
}

function chooseFile(name) {
  state.file = name;
  state.start = 0;
  state.sortName = "";
  state.descending = false;
  state.where = state.q = "";
  $("filter").value = $("search").value = "";
  $("descending").checked = false;
  const file = currentFile();
  if (!state.shown.has(name)) state.shown.set(name, file.names.slice(0, CARD_RECORDS));
  $("sort").replaceChildren(new Option("file order", ""), new Option("title", "@title"),
                            ...file.names.map((recordName) => new Option(recordName, recordName)));
  $("shown-names").replaceChildren(...file.names.map((recordName) => {
    const label = element("label");
    const box = element("input");
    box.type = "checkbox";
    box.checked = state.shown.get(name).includes(recordName);
    box.addEventListener("change", () => {
      const shown = file.names.filter((candidate) => candidate === recordName ? box.checked
                                                       : state.shown.get(name).includes(candidate));
      state.shown.set(name, shown);
      render();
    });
    label.append(box, ` ${recordName}`);
    return label;
  }));
  load();
}

function wire() {
  $("file").addEventListener("change", () => chooseFile($("file").value));
  $("search").addEventListener("change", () => { state.q = $("search").value.trim(); state.start = 0; load(); });
  $("filter").addEventListener("change", () => { state.where = $("filter").value.trim(); state.start = 0; load(); });
  $("sort").addEventListener("change", () => sortBy($("sort").value, false));
  $("kind").addEventListener("change", () => { if (state.sortName) sortBy(state.sortName, false); });
  $("descending").addEventListener("change", () => {
    state.descending = $("descending").checked;
    if (state.sortName) { state.start = 0; load(); }
  });
  $("show-grid").addEventListener("click", () => { state.view = "grid"; render(); });
  $("show-table").addEventListener("click", () => { state.view = "table"; render(); });
  $("prev").addEventListener("click", () => { state.start = Math.max(0, state.start - state.count); load(); });
  $("next").addEventListener("click", () => { state.start += state.count; load(); });
  $("per-page").addEventListener("change", () => { state.count = Number($("per-page").value); state.start = 0; load(); });
  $("download").addEventListener("click", download);
  $("unpick").addEventListener("click", () => { picked().clear(); render(); });
  $("detail-close").addEventListener("click", () => { $("detail").hidden = true; });
  document.addEventListener("keydown", (event) => { if (event.key === "Escape") $("detail").hidden = true; });
}

async function start() {
  wire();
  try {
    state.files = (await (await api("/api/info", [])).json()).files;
  } catch (error) {
    setStatus(error.message, true);
    return;
  }
  $("file").replaceChildren(...state.files.map((file) => new Option(`${file.name} (${file.blocks} blocks)`, file.name)));
  $("file").hidden = state.files.length < 2;
  chooseFile(state.files[0].name);
}

start();
