// The kvrd console: reads the daemon's API every few seconds and draws the
// cameras, their timelines and the volumes; a click on a timeline plays the
// footage from there. No framework, no build step.
"use strict";

const REFRESH_MS = 5000;
const $ = (id) => document.getElementById(id);

function iso(ms) {
  return new Date(ms).toISOString().replace(".000Z", "Z");
}

function bytes(n) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  for (; n >= 1024 && i < units.length - 1; i++) n /= 1024;
  return n.toFixed(i ? 1 : 0) + " " + units[i];
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "never (nothing written)";
  if (seconds < 120) return Math.round(seconds) + " s";
  if (seconds < 7200) return Math.round(seconds / 60) + " min";
  if (seconds < 172800) return (seconds / 3600).toFixed(1) + " h";
  return (seconds / 86400).toFixed(1) + " days";
}

async function getJson(path) {
  const reply = await fetch(path, { cache: "no-store" });
  const body = await reply.json();
  if (!reply.ok) throw new Error(body.error || reply.statusText);
  return body;
}

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

// One bar per run of recordings that follow each other on, so a week of
// short segments stays a handful of elements.
function runs(recordings) {
  const merged = [];
  for (const r of recordings) {
    const last = merged[merged.length - 1];
    if (last && r.start_ms <= last.end_ms + 1000) {
      last.end_ms = Math.max(last.end_ms, r.end_ms);
    } else {
      merged.push({ start_ms: r.start_ms, end_ms: r.end_ms });
    }
  }
  return merged;
}

// A camera's row, kept from one refresh to the next so what a person points
// at stays put; its timeline bar knows the time window it was last drawn for.
function cameraRow(name) {
  const body = $("cameras").tBodies[0];
  for (const row of body.rows) {
    if (row.dataset.name === name) return row;
  }
  const row = body.insertRow();
  row.className = "camera";
  row.dataset.name = name;
  cell(row, name, "name");
  for (const cls of ["state", "segment", "error"]) cell(row, "", cls);
  const bar = document.createElement("div");
  bar.className = "timeline";
  bar.addEventListener("click", (event) => {
    const box = bar.getBoundingClientRect();
    const from = Number(bar.dataset.from), to = Number(bar.dataset.to);
    play(name, from + ((event.clientX - box.left) / box.width) * (to - from));
  });
  const axis = document.createElement("div");
  axis.className = "axis";
  axis.innerHTML = "<span></span><span>now</span>";
  row.insertCell().append(bar, axis);
  return row;
}

function drawTimeline(row, listing, from, to) {
  const bar = row.querySelector(".timeline");
  bar.dataset.from = from;
  bar.dataset.to = to;
  const spans = [];
  const place = (cls, start, end, title) => {
    const s = Math.max(start, from), e = Math.min(end, to);
    if (e <= s) return;
    const span = document.createElement("span");
    span.className = cls;
    span.style.left = ((s - from) / (to - from)) * 100 + "%";
    span.style.width = ((e - s) / (to - from)) * 100 + "%";
    span.title = title + " " + iso(start) + " – " + iso(end);
    spans.push(span);
  };
  for (const r of runs(listing.recordings)) place("rec", r.start_ms, r.end_ms, "recorded");
  for (const g of listing.gaps) place("gap", g.start_ms, g.end_ms, "gap (" + g.cause + ")");
  for (const p of listing.protections) {
    place("prot", Date.parse(p.start), Date.parse(p.end), "protected");
  }
  bar.replaceChildren(...spans);
  row.querySelector(".axis span").textContent = iso(from);
}

function play(name, atMs) {
  const player = $("player");
  const from = Math.floor(atMs / 1000);
  player.onerror = () => {
    $("playing").textContent = name + ": no footage from " + iso(from * 1000);
  };
  player.src = "/cameras/" + encodeURIComponent(name) + "/play?from=" + from;
  $("playing").textContent = name + " from " + iso(from * 1000);
  player.play().catch(() => {});  // a muted video may start by itself; else the controls
}

async function refreshCameras() {
  const span = Number($("window").value) * 1000;
  const to = Date.now(), from = to - span;
  const cameras = await getJson("/cameras");
  const listings = await Promise.all(cameras.map((c) => getJson(
      "/cameras/" + encodeURIComponent(c.name) + "/recordings?from=" + Math.floor(from / 1000))));
  const select = $("protect-camera");
  const chosen = select.value;
  select.replaceChildren();
  const names = new Set();
  cameras.forEach((c, i) => {
    names.add(c.name);
    const row = cameraRow(c.name);
    const state = row.querySelector(".state");
    state.textContent = c.state + (c.since ? " since " + c.since.substring(11, 19) : "");
    state.className = "state " + c.state.replace(" ", "-");
    row.querySelector(".segment").textContent = c.current_segment || "—";
    row.querySelector(".error").textContent = c.last_cause || "";
    drawTimeline(row, listings[i], from, to);
    const option = document.createElement("option");
    option.value = option.textContent = c.name;
    select.appendChild(option);
  });
  for (const row of [...$("cameras").tBodies[0].rows]) {
    if (!names.has(row.dataset.name)) row.remove();
  }
  if (chosen) select.value = chosen;
}

async function refreshVolumes() {
  const volumes = await getJson("/volumes");
  const rows = volumes.map((v) => {
    const row = document.createElement("tr");
    row.dataset.name = v.name;
    cell(row, v.name);
    cell(row, v.path);
    cell(row, bytes(v.free_bytes));
    cell(row, bytes(v.total_bytes - v.free_bytes));
    cell(row, bytes(v.write_bytes_per_s) + "/s");
    cell(row, duration(v.seconds_until_full), "full");
    return row;
  });
  $("volumes").tBodies[0].replaceChildren(...rows);
}

async function refresh() {
  try {
    await Promise.all([refreshCameras(), refreshVolumes()]);
    $("camera-error").textContent = "";
    $("updated").textContent = "updated " + new Date().toISOString().substring(11, 19) + " UTC";
  } catch (error) {
    $("camera-error").textContent = "the daemon did not answer: " + error.message;
  }
}

// datetime-local values are read as UTC, like every time on the page.
function utc(value) {
  return Math.floor(Date.parse(value + (value.length === 16 ? ":00Z" : "Z")) / 1000);
}

$("protect").addEventListener("submit", async (event) => {
  event.preventDefault();
  const name = $("protect-camera").value;
  const query = "?from=" + utc($("protect-from").value) + "&to=" + utc($("protect-to").value);
  const reply = await fetch("/cameras/" + encodeURIComponent(name) + "/protect" + query,
                            { method: "POST" });
  const body = await reply.json();
  $("protect-result").textContent = reply.ok ? "protected" : body.error;
  $("protect-result").className = reply.ok ? "" : "error";
  refresh();
});

$("window").addEventListener("change", refresh);
refresh();
setInterval(refresh, REFRESH_MS);
