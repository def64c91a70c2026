// The browser client, one ES module: a browser loads it over the one connection it already
// has (the listener allows few connections before a device's token binds one).
// Sections: pairing, the stream's multipart sections, H.264 for WebCodecs, the player, pointer input, start.

// ---- pairing ----
// Pairing from the browser link: the code and the key's fingerprint come in the address's
// fragment (never sent to the server), the token stays in this origin's storage.

const tokenKey = "tovo.token";
const deviceKey = "tovo.device";

// The fingerprint as the pairing window shows it: the first 16 hex digits in groups of four.
function shortFingerprint(fingerprint) {
  const hex = fingerprint.replace(/[^0-9a-fA-F]/g, "").toUpperCase().slice(0, 16);
  return hex.match(/.{1,4}/g)?.join(" ") ?? "";
}

// {code, fingerprint} from "#pair=…&fp=…", or null.
function pairingOffer(hash) {
  const fields = new URLSearchParams(hash.replace(/^#/, ""));
  const code = fields.get("pair");
  return code ? { code, fingerprint: fields.get("fp") ?? "" } : null;
}

function storedToken() {
  return localStorage.getItem(tokenKey);
}

function forgetToken() {
  localStorage.removeItem(tokenKey);
}

// This browser's device id: made once, kept.
function deviceId() {
  let id = localStorage.getItem(deviceKey);
  if (!id) {
    const bytes = crypto.getRandomValues(new Uint8Array(16));
    id = "web-" + Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
    localStorage.setItem(deviceKey, id);
  }
  return id;
}

// A name for the device list: the browser and the system it runs on.
function defaultDeviceName(userAgent) {
  const browser = /Edg\//.test(userAgent) ? "Edge" : /Firefox\//.test(userAgent) ? "Firefox"
    : /Chrome\//.test(userAgent) ? "Chrome" : /Safari\//.test(userAgent) ? "Safari" : "Browser";
  const system = /iPhone|iPad/.test(userAgent) ? "iOS" : /Android/.test(userAgent) ? "Android"
    : /Windows/.test(userAgent) ? "Windows"
    : /Linux/.test(userAgent) ? "Linux" : "";
  return system ? `${browser} on ${system}` : browser;
}

// Pairs with the code; keeps the token. Throws an Error with the server's reason.
async function pair(code, name) {
  const response = await fetch("/pair", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ code, device: { id: deviceId(), name } }),
  });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error ?? `pairing failed (${response.status})`);
  localStorage.setItem(tokenKey, answer.token);
  return answer;
}

// ---- multipart ----
// Reads the stream's multipart body: "--frame" boundary lines, part headers, a
// Content-Length body and a line end, one part after another, from chunks as fetch gives them.

const decoder = new TextDecoder();

class PartReader {
  constructor() {
    this.buffer = new Uint8Array(0);
  }

  // Adds a chunk; returns the sections now complete, each {headers (lower-case names), body}.
  push(chunk) {
    const joined = new Uint8Array(this.buffer.length + chunk.length);
    joined.set(this.buffer);
    joined.set(chunk, this.buffer.length);
    this.buffer = joined;
    const parts = [];
    for (;;) {
      const part = this.next();
      if (!part) break;
      parts.push(part);
    }
    return parts;
  }

  next() {
    const b = this.buffer;
    const headEnd = indexOf(b, [13, 10, 13, 10]);
    if (headEnd < 0) return null;
    const lines = decoder.decode(b.subarray(0, headEnd)).split("\r\n").filter((l) => l.length > 0);
    const headers = {};
    for (const line of lines) {
      if (line.startsWith("--")) continue;  // the boundary
      const colon = line.indexOf(":");
      if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
    }
    const length = Number(headers["content-length"]);
    if (!Number.isInteger(length) || length < 0) throw new Error("a stream part without Content-Length");
    const start = headEnd + 4;
    if (b.length < start + length) return null;
    const body = b.slice(start, start + length);
    let rest = start + length;
    if (b[rest] === 13 && b[rest + 1] === 10) rest += 2;
    this.buffer = b.slice(rest);
    return { headers, body };
  }
}

function indexOf(bytes, pattern) {
  outer: for (let i = 0; i + pattern.length <= bytes.length; i++) {
    for (let j = 0; j < pattern.length; j++) if (bytes[i + j] !== pattern[j]) continue outer;
    return i;
  }
  return -1;
}

// ---- h264 ----
// What WebCodecs needs to know of an H.264 stream in Annex B form.

// The NAL units of an access unit: [{type, start, end}] (start after the start code).
function nalUnits(bytes) {
  const units = [];
  let i = 0;
  let start = -1;
  while (i + 2 < bytes.length) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && (bytes[i + 2] === 1 || (bytes[i + 2] === 0 && bytes[i + 3] === 1))) {
      const codeLength = bytes[i + 2] === 1 ? 3 : 4;
      if (start >= 0) units.push({ type: bytes[start] & 0x1f, start, end: i });
      i += codeLength;
      start = i;
    } else {
      i++;
    }
  }
  if (start >= 0 && start < bytes.length) units.push({ type: bytes[start] & 0x1f, start, end: bytes.length });
  return units;
}

// "avc1.PPCCLL" from the access unit's sequence parameter set, or null without one.
function codecString(bytes) {
  const sps = nalUnits(bytes).find((u) => u.type === 7);
  if (!sps || sps.end - sps.start < 4) return null;
  const hex = (v) => v.toString(16).padStart(2, "0");
  return `avc1.${hex(bytes[sps.start + 1])}${hex(bytes[sps.start + 2])}${hex(bytes[sps.start + 3])}`;
}

// ---- player ----
// The live picture: /stream read with fetch section by section, H.264 decoded with
// WebCodecs and drawn on a canvas, every picture acknowledged so that the service's flow
// control works for the browser as for the phone app, with a playout report once a second.

class Player {
  // `api(path, options)` fetches with the device's token; `onStatus(json)` gets status sections.
  constructor(canvas, api, onStatus = () => {}) {
    this.canvas = canvas;
    this.context = canvas.getContext("2d");
    this.api = api;
    this.onStatus = onStatus;
    this.streamId = "web-" + Math.random().toString(36).slice(2, 10);
    this.size = null;  // {width, height} of the pictures
    this.gaps = [];
    this.decodeTimes = [];
    this.lastShownAt = null;
    this.dropped = 0;
  }

  async start(display) {
    this.abort = new AbortController();
    const query = new URLSearchParams({ fps: "30", codecs: "h264", stream: this.streamId, ack: "1", status: "1" });
    if (display !== undefined) query.set("display", String(display));
    const response = await this.api(`/stream?${query}`, {
      headers: { Accept: "application/vnd.tovo-control.stream" },
      signal: this.abort.signal,
    });
    if (!response.ok) throw new Error(`the stream was refused (${response.status})`);
    this.reportTimer = setInterval(() => this.report(), 1000);
    const reader = response.body.getReader();
    const parts = new PartReader();
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        for (const part of parts.push(value)) this.take(part);
      }
    } finally {
      clearInterval(this.reportTimer);
    }
  }

  stop() {
    this.abort?.abort();
    this.decoder?.close();
    this.decoder = null;
  }

  take(part) {
    const kind = part.headers["x-frame-kind"];
    const type = part.headers["content-type"] ?? "";
    if (kind === "status" || type.includes("status")) {
      try {
        this.onStatus(JSON.parse(new TextDecoder().decode(part.body)));
      } catch {}
      return;
    }
    const seq = Number(part.headers["x-frame-seq"]);
    if (kind === "keepalive" || part.body.length === 0) {
      this.ack(seq, false);
      return;
    }
    if (!this.decoder || this.decoder.state === "closed") {
      if (kind !== "key") {
        this.ack(seq, true);  // nothing to decode against: ask for a key frame
        return;
      }
      this.configure(part.body);
    }
    const width = Number(part.headers["x-frame-width"]), height = Number(part.headers["x-frame-height"]);
    if (width && height && (this.size?.width !== width || this.size?.height !== height)) {
      this.size = { width, height };
      this.canvas.width = width;
      this.canvas.height = height;
    }
    this.pending.set(seq, performance.now());
    try {
      this.decoder.decode(new EncodedVideoChunk({ type: kind === "key" ? "key" : "delta", timestamp: seq * 1000,
        data: part.body }));
    } catch {
      this.pending.delete(seq);
      this.decoder = null;
      this.ack(seq, true);
    }
  }

  configure(keyFrame) {
    this.pending = new Map();
    this.decoder = new VideoDecoder({
      output: (frame) => this.show(frame),
      error: () => {
        this.decoder = null;  // the next part asks for a key frame
      },
    });
    this.decoder.configure({ codec: codecString(keyFrame) ?? "avc1.42e01f", optimizeForLatency: true,
      hardwareAcceleration: "no-preference" });
  }

  show(frame) {
    const seq = frame.timestamp / 1000;
    this.context.drawImage(frame, 0, 0, this.canvas.width, this.canvas.height);
    frame.close();
    const now = performance.now();
    const started = this.pending.get(seq);
    this.pending.delete(seq);
    if (started !== undefined) this.decodeTimes.push(now - started);
    if (this.lastShownAt !== null) this.gaps.push(now - this.lastShownAt);
    this.lastShownAt = now;
    this.shown = (this.shown ?? 0) + 1;
    this.lastSeq = seq;
    this.ack(seq, false);
  }

  ack(seq, keyframe, report) {
    const body = { stream: this.streamId, seq, keyframe };
    if (report) body.report = report;
    this.api("/stream/ack", { method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body) }).catch(() => {});
  }

  // The playout report the service grades and logs, on the latest picture's ack.
  report() {
    const median = (values) => values.length ? [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)] : 0;
    const p90 = (values) => values.length ? [...values].sort((a, b) => a - b)[Math.floor(values.length * 0.9)] : 0;
    const report = { mode: "latency", fps: this.gaps.length, gapP50Ms: median(this.gaps), gapP90Ms: p90(this.gaps),
      decodeMs: median(this.decodeTimes) };
    this.gaps = [];
    this.decodeTimes = [];
    if (this.lastSeq !== undefined) this.ack(this.lastSeq, false, report);
  }

  // A point of the canvas element (client pixels) as fractions of the display, through the
  // letterboxing of object-fit: contain; null outside the picture.
  toDisplay(clientX, clientY) {
    const box = this.canvas.getBoundingClientRect();
    if (!this.size || box.width === 0 || box.height === 0) return null;
    const scale = Math.min(box.width / this.size.width, box.height / this.size.height);
    const shownWidth = this.size.width * scale, shownHeight = this.size.height * scale;
    const x = (clientX - box.left - (box.width - shownWidth) / 2) / shownWidth;
    const y = (clientY - box.top - (box.height - shownHeight) / 2) / shownHeight;
    if (x < 0 || y < 0 || x > 1 || y > 1) return null;
    return { x, y };
  }
}

// ---- input ----
// Pointer and wheel input on the picture, sent to /input in fractions of the display. The
// first press takes control of the screen when nobody holds it.

const buttons = ["left", "middle", "right"];

class PointerInput {
  constructor(canvas, player, api, onRefused = () => {}) {
    this.player = player;
    this.api = api;
    this.onRefused = onRefused;
    this.moveSeq = 0;
    this.hasControl = false;
    canvas.addEventListener("pointerdown", (e) => this.press(e, true));
    canvas.addEventListener("pointerup", (e) => this.press(e, false));
    canvas.addEventListener("pointermove", (e) => this.move(e));
    canvas.addEventListener("wheel", (e) => this.wheel(e), { passive: false });
    canvas.addEventListener("contextmenu", (e) => e.preventDefault());
  }

  // Events go one after another, in order: the service posts concurrent requests side by
  // side, and typed text or a press must not overtake what came before it.
  send(event) {
    const sent = (this.queue ?? Promise.resolve()).then(async () => {
      const response = await this.api("/input", { method: "POST", headers: { "Content-Type": "application/json" },
        body: JSON.stringify(event) });
      if (!response.ok) this.onRefused(await response.json().catch(() => ({})));
      return response.ok;
    });
    this.queue = sent.catch(() => false);
    return sent;
  }

  async takeControl() {
    if (this.hasControl) return true;
    const response = await this.api("/control", { method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ controller: "user" }) });
    this.hasControl = response.ok;
    if (!response.ok) this.onRefused(await response.json().catch(() => ({})));
    return this.hasControl;
  }

  async press(e, down) {
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at) return;
    e.preventDefault();
    if (down) e.target.setPointerCapture?.(e.pointerId);
    if (down && !(await this.takeControl())) return;
    await this.send({ type: down ? "down" : "up", x: at.x, y: at.y, button: buttons[e.button] ?? "left" });
  }

  move(e) {
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at || !this.hasControl) return;
    const event = { type: "move", x: at.x, y: at.y, seq: ++this.moveSeq };
    if (e.buttons & 1) event.button = "left";
    this.send(event);
  }

  wheel(e) {
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at || !this.hasControl) return;
    e.preventDefault();
    const lines = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 400 : 1;  // to pixels
    this.send({ type: "scroll", x: at.x, y: at.y, dx: e.deltaX * lines, dy: e.deltaY * lines });
  }
}

// ---- app ----
// The browser client's start: pair when the address carries an offer, else show the desktop
// this browser is paired with.

// ---- keyboard ----
// Keys that are no text go to /input as keys with their modifiers; text (typed, pasted or
// composed by an IME or a phone's keyboard) goes through an input element as "type", so that
// any Unicode arrives.

const namedKeys = {
  Enter: "return", Backspace: "backspace", Tab: "tab", Escape: "escape", Delete: "forwardDelete",
  ArrowLeft: "left", ArrowRight: "right", ArrowUp: "up", ArrowDown: "down", Home: "home", End: "end",
  PageUp: "pageUp", PageDown: "pageDown", Insert: "insert", " ": "space",
};
for (let n = 1; n <= 24; n++) namedKeys[`F${n}`] = `f${n}`;

class KeyboardInput {
  constructor(field, pointer) {
    this.pointer = pointer;
    this.composing = false;
    field.addEventListener("keydown", (e) => this.key(e));
    field.addEventListener("compositionstart", () => { this.composing = true; });
    field.addEventListener("compositionend", (e) => {
      this.composing = false;
      this.text(e.data, field);
    });
    field.addEventListener("input", (e) => {
      if (!this.composing && !e.isComposing && e.data) this.text(e.data, field);
      if (!this.composing) field.value = "";
    });
  }

  modifiers(e) {
    const names = [];
    if (e.ctrlKey) names.push("ctrl");
    if (e.shiftKey) names.push("shift");
    if (e.altKey) names.push("alt");
    if (e.metaKey) names.push("cmd");
    return names;
  }

  key(e) {
    if (e.isComposing || this.composing || !this.pointer.hasControl) return;
    const named = namedKeys[e.key];
    const chord = (e.ctrlKey || e.altKey || e.metaKey) && e.key.length === 1;
    // A plain character is left to the input event, which carries what the keyboard made.
    if (!named && !chord) return;
    if (named === "space" && !chord && !(e.ctrlKey || e.altKey || e.metaKey)) return;
    e.preventDefault();
    this.pointer.send({ type: "key", key: named ?? e.key.toLowerCase(), modifiers: this.modifiers(e) });
  }

  text(data, field) {
    field.value = "";
    if (data && this.pointer.hasControl) this.pointer.send({ type: "type", text: data });
  }
}

let player = null;

const $ = (id) => document.getElementById(id);
const show = (id) => {
  for (const section of document.querySelectorAll("main")) section.hidden = section.id !== id;
};

async function api(path, options = {}) {
  const response = await fetch(path, {
    ...options,
    headers: { ...(options.headers ?? {}), Authorization: `Bearer ${storedToken()}` },
  });
  if (response.status === 401) {
    // Removed on the computer, or never paired here: back to pairing.
    forgetToken();
    show("unpaired");
    throw new Error("not paired");
  }
  return response;
}

async function showDesktop() {
  show("desktop");
  const status = await (await api("/status")).json();
  $("server-name").textContent = status.server?.name ?? status.app ?? "Tovo Control";
  $("state").textContent = status.ok ? "connected" : status.error ?? "no desktop";
  $("displays").replaceChildren(...(status.displays ?? []).map((d) => {
    const item = document.createElement("li");
    item.textContent = `Display ${d.id}: ${d.width}×${d.height}${d.main ? " (main)" : ""}`;
    return item;
  }));
  if (!player && typeof VideoDecoder !== "undefined") {
    const canvas = $("screen");
    player = new Player(canvas, api, (state) => { $("state").textContent = state.state ?? state.type ?? ""; });
    const pointer = new PointerInput(canvas, player, api, (refusal) => { $("notice").textContent = refusal.error ?? ""; });
    const field = $("keys");
    new KeyboardInput(field, pointer);
    // After a press on the picture, typing goes to the computer (and a phone shows its keyboard).
    canvas.addEventListener("pointerup", () => field.focus({ preventScroll: true }));
    player.start().catch((error) => { $("notice").textContent = error.message; });
  } else if (typeof VideoDecoder === "undefined") {
    $("notice").textContent = "This browser cannot decode video (no WebCodecs).";
  }
}

function offerPairing(offer) {
  show("pairing");
  $("fingerprint").textContent = shortFingerprint(offer.fingerprint);
  $("device-name").value = defaultDeviceName(navigator.userAgent);
  $("pair").onclick = async () => {
    $("pair-error").textContent = "";
    try {
      await pair(offer.code, $("device-name").value.trim() || defaultDeviceName(navigator.userAgent));
      // The code is spent: it leaves the address bar and the history entry.
      history.replaceState(null, "", location.pathname);
      await showDesktop();
    } catch (error) {
      $("pair-error").textContent = error.message;
    }
  };
}

function start() {
  const offer = pairingOffer(location.hash);
  if (offer) {
    offerPairing(offer);
  } else if (storedToken()) {
    showDesktop().catch(() => {});
  } else {
    show("unpaired");
  }
}

// A browser link opened while the page is open only changes the fragment.
window.addEventListener("hashchange", start);
start();
