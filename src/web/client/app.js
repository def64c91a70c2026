// The browser client, one ES module: a browser loads it over the one connection it already
// has (the listener allows few connections before a device's token binds one).
// Sections: pairing, the stream's multipart sections, H.264 for WebCodecs, the player, the latency
// probe, audio, control, pointer input, keyboard, the app.

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

// Reads a multipart response to its end, handing each complete section to `onPart`.
async function readParts(response, onPart) {
  const reader = response.body.getReader();
  const parts = new PartReader();
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    for (const part of parts.push(value)) onPart(part);
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
// The live picture: /stream read with fetch section by section, decoded with WebCodecs and
// drawn on a canvas, every picture acknowledged so that the service's flow control works for
// the browser as for the phone app, with a playout report once a second. The pointer is drawn
// by the page on a second canvas over the picture, from the stream's cursor sections.

// The decoder configurations this page may ask the service for, most wanted first.
const codecChoices = [
  { name: "h264", probe: "avc1.42e01f" },
  { name: "hevc", probe: "hvc1.1.6.L123.B0" },
];

// The codec names this browser decodes, in the order the stream asks for them.
async function decodableCodecs() {
  const names = [];
  for (const choice of codecChoices) {
    try {
      const { supported } = await VideoDecoder.isConfigSupported({ codec: choice.probe, optimizeForLatency: true });
      if (supported) names.push(choice.name);
    } catch {}
  }
  return names;
}

class Player {
  // `api(path, options)` fetches with the device's token; `onStatus(json)` gets status sections.
  constructor(canvas, cursorCanvas, api, onStatus = () => {}) {
    this.canvas = canvas;
    this.context = canvas.getContext("2d");
    this.cursorCanvas = cursorCanvas;
    this.cursorContext = cursorCanvas.getContext("2d");
    this.api = api;
    this.onStatus = onStatus;
    this.streamId = "web-" + Math.random().toString(36).slice(2, 10);
    this.size = null;  // {width, height} of the pictures
    this.display = undefined;  // the display shown; none: the main one
    this.gaps = [];
    this.decodeTimes = [];
    this.lastShownAt = null;
    this.cursor = null;  // {x, y, visible, shapeId} in fractions of the display
    this.shapes = new Map();  // shape id → {image, hotX, hotY, width, height}
    this.onShown = null;  // called with each picture shown, for measurements
  }

  // Plays until the stream ends or stop(); `maxWidth` is the widest picture worth sending.
  async start(display, codecs, maxWidth) {
    this.display = display;
    this.abort = new AbortController();
    const query = new URLSearchParams({ fps: "30", codecs: codecs.join(","), stream: this.streamId, ack: "1",
      status: "1", cursor: "client" });
    if (display !== undefined) query.set("display", String(display));
    if (maxWidth) query.set("maxWidth", String(maxWidth));
    const response = await this.api(`/stream?${query}`, {
      headers: { Accept: "application/vnd.tovo-control.stream" },
      signal: this.abort.signal,
    });
    if (!response.ok) {
      const answer = await response.json().catch(() => ({}));
      throw new Error(answer.error ?? `the stream was refused (${response.status})`);
    }
    this.codec = response.headers.get("X-Stream-Codec") ?? "h264";
    this.reportTimer = setInterval(() => this.report(), 1000);
    try {
      await readParts(response, (part) => this.take(part));
    } finally {
      clearInterval(this.reportTimer);
      this.closeDecoder();
    }
  }

  stop() {
    this.abort?.abort();
    this.closeDecoder();
  }

  closeDecoder() {
    if (this.decoder && this.decoder.state !== "closed") this.decoder.close();
    this.decoder = null;
  }

  take(part) {
    const kind = part.headers["x-frame-kind"];
    if (kind === "status") {
      try {
        this.onStatus(JSON.parse(decoder.decode(part.body)));
      } catch {}
      return;
    }
    if (kind === "cursor") {
      try {
        this.takeCursor(JSON.parse(decoder.decode(part.body)));
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
      this.canvas.width = this.cursorCanvas.width = width;
      this.canvas.height = this.cursorCanvas.height = height;
      this.drawCursor();
    }
    this.pending.set(seq, performance.now());
    try {
      this.decoder.decode(new EncodedVideoChunk({ type: kind === "key" ? "key" : "delta", timestamp: seq * 1000,
        data: part.body }));
    } catch {
      this.pending.delete(seq);
      this.closeDecoder();
      this.ack(seq, true);
    }
  }

  configure(keyFrame) {
    this.pending = new Map();
    this.decoder = new VideoDecoder({
      output: (frame) => this.show(frame),
      error: () => {
        this.decoder = null;  // the next section asks for a key frame
      },
    });
    const codec = this.codec === "hevc" ? codecChoices[1].probe : codecString(keyFrame) ?? codecChoices[0].probe;
    this.decoder.configure({ codec, optimizeForLatency: true, hardwareAcceleration: "no-preference" });
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
    this.lastSeq = seq;
    this.ack(seq, false);
    this.onShown?.(now);
  }

  // A cursor section: where the pointer is and, the first time a shape is used, its PNG.
  async takeCursor(cursor) {
    if (cursor.shape) {
      const { id, png, hotX, hotY, width, height } = cursor.shape;
      const bytes = Uint8Array.from(atob(png), (c) => c.charCodeAt(0));
      const image = await createImageBitmap(new Blob([bytes], { type: "image/png" }));
      this.shapes.set(id, { image, hotX, hotY, width, height });
    }
    this.cursor = cursor;
    this.drawCursor();
  }

  drawCursor() {
    const c = this.cursorContext, w = this.cursorCanvas.width, h = this.cursorCanvas.height;
    c.clearRect(0, 0, w, h);
    const shape = this.cursor && this.shapes.get(this.cursor.shapeId);
    if (!this.cursor?.visible || !shape) return;
    c.drawImage(shape.image, (this.cursor.x - shape.hotX) * w, (this.cursor.y - shape.hotY) * h, shape.width * w,
      shape.height * h);
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
    const shown = this.shownBox();
    if (!shown) return null;
    const x = (clientX - shown.left) / shown.width;
    const y = (clientY - shown.top) / shown.height;
    if (x < 0 || y < 0 || x > 1 || y > 1) return null;
    return { x, y };
  }

  // Where the picture is drawn inside the canvas element, in client pixels.
  shownBox() {
    const box = this.canvas.getBoundingClientRect();
    if (!this.size || box.width === 0 || box.height === 0) return null;
    const scale = Math.min(box.width / this.size.width, box.height / this.size.height);
    const width = this.size.width * scale, height = this.size.height * scale;
    return { left: box.left + (box.width - width) / 2, top: box.top + (box.height - height) / 2, width, height };
  }
}

// ---- latency probe ----
// Glass to glass, measured in the page: the colour of one display point in every picture
// shown, with the wall-clock moment it changed. A window that changes colour at a known
// moment then gives the time until a decoded picture shows it.

class LatencyProbe {
  // `x`, `y`: the point in fractions of the display.
  constructor(player, x, y) {
    this.player = player;
    this.x = x;
    this.y = y;
    this.changes = [];  // [{at (ms since 1970), rgb}]
    this.last = null;
    player.onShown = () => this.look();
  }

  look() {
    const canvas = this.player.canvas;
    const at = this.player.context.getImageData(Math.floor(this.x * canvas.width), Math.floor(this.y * canvas.height), 1, 1);
    const rgb = Array.from(at.data.slice(0, 3));
    const key = rgb.map((v) => v >> 5).join(",");  // coarse: the encoder's noise is no change
    if (key === this.last) return;
    this.last = key;
    this.changes.push({ at: performance.timeOrigin + performance.now(), rgb });
  }

  stop() {
    this.player.onShown = null;
  }
}

// ---- audio ----
// /audio decoded with WebCodecs (Opus) and played through Web Audio, held back by the A/V
// offset the service measures so that sound and picture meet. Browsers play sound only after
// a tap or click, so it starts from a button.

class AudioPlayer {
  constructor(api) {
    this.api = api;
    this.muted = false;
    this.recent = new Float32Array(9600);  // the latest 200 ms of the left channel
    this.recentEnd = 0;
    this.recentCount = 0;
  }

  // Plays until the stream ends or stop(). Call from a tap or click.
  async start() {
    this.context = new AudioContext({ sampleRate: 48000, latencyHint: "interactive" });
    await this.context.resume();
    this.gain = this.context.createGain();
    this.gain.gain.value = this.muted ? 0 : 1;
    this.gain.connect(this.context.destination);
    this.abort = new AbortController();
    const response = await this.api("/audio", { headers: { Accept: "application/vnd.tovo-control.audio" },
      signal: this.abort.signal });
    if (!response.ok) {
      const answer = await response.json().catch(() => ({}));
      throw new Error(answer.error ?? `no sound (${response.status})`);
    }
    // How far the sound runs ahead of the picture: it waits that long, and at least long
    // enough to ride over the network's jitter.
    this.delay = Math.max(Number(response.headers.get("X-Audio-Video-Offset") ?? 0) / 1000, 0.06);
    this.decoder = new AudioDecoder({ output: (data) => this.play(data), error: () => {} });
    this.decoder.configure({ codec: "opus", sampleRate: Number(response.headers.get("X-Audio-Rate") ?? 48000),
      numberOfChannels: Number(response.headers.get("X-Audio-Channels") ?? 2) });
    try {
      await readParts(response, (part) => {
        const time = Number(part.headers["x-audio-time"] ?? 0);
        this.decoder.decode(new EncodedAudioChunk({ type: "key", timestamp: time * 1000, data: part.body }));
      });
    } finally {
      this.stop();
    }
  }

  stop() {
    this.abort?.abort();
    if (this.decoder && this.decoder.state !== "closed") this.decoder.close();
    this.decoder = null;
    this.context?.close().catch(() => {});
    this.context = null;
    this.next = undefined;
  }

  setMuted(muted) {
    this.muted = muted;
    if (this.gain) this.gain.gain.value = muted ? 0 : 1;
  }

  play(data) {
    if (!this.context) return data.close();
    const frames = data.numberOfFrames;
    const buffer = this.context.createBuffer(data.numberOfChannels, frames, data.sampleRate);
    for (let channel = 0; channel < data.numberOfChannels; channel++) {
      const plane = new Float32Array(frames);
      data.copyTo(plane, { planeIndex: channel, format: "f32-planar" });
      buffer.copyToChannel(plane, channel);
      if (channel === 0) this.keep(plane);
    }
    data.close();
    // Packets follow one another; after a gap (or a late start) playing starts again one delay
    // from now.
    const now = this.context.currentTime;
    if (this.next === undefined || this.next < now || this.next > now + this.delay + 0.25) this.next = now + this.delay;
    const source = this.context.createBufferSource();
    source.buffer = buffer;
    source.connect(this.gain);
    source.start(this.next);
    this.next += buffer.duration;
  }

  keep(samples) {
    const ring = this.recent;
    for (const sample of samples) {
      ring[this.recentEnd] = sample;
      this.recentEnd = (this.recentEnd + 1) % ring.length;
    }
    this.recentCount = Math.min(this.recentCount + samples.length, ring.length);
  }

  // The kept samples, oldest first.
  latest() {
    const ring = this.recent;
    if (this.recentCount < ring.length) return Array.from(ring.subarray(0, this.recentCount));
    return [...ring.subarray(this.recentEnd), ...ring.subarray(0, this.recentEnd)];
  }
}

// ---- control ----
// Who controls the screen (one device at a time; taking over needs nobody's consent), as
// /status and /control answer it.

class Control {
  constructor(api, onChange = () => {}) {
    this.api = api;
    this.onChange = onChange;
    this.deviceId = null;  // this browser's id as the computer knows it
    this.state = { controller: "none" };
  }

  update(state) {
    this.state = state ?? { controller: "none" };
    this.onChange(this);
  }

  get mine() {
    return this.state.controller === "remote" && this.state.device?.id === this.deviceId;
  }

  // The other device that controls the screen, or null.
  get other() {
    return this.state.controller === "remote" && !this.mine ? this.state.device : null;
  }

  async take() {
    return this.post("user");
  }

  async release() {
    return this.post("none");
  }

  async post(controller) {
    const response = await this.api("/control", { method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ controller }) });
    const answer = await response.json().catch(() => ({}));
    if (response.ok) this.update(answer.control);
    return response.ok ? null : answer;
  }
}

// ---- input ----
// Pointer, touch and wheel input on the picture, sent to /input in fractions of the display.
// A press while nobody controls the screen takes control first; while another device controls
// it, nothing is sent and the page offers to take over.

const buttons = ["left", "middle", "right"];
const longPressMs = 550;
const tapSlopPx = 10;
const wheelQuietMs = 150;

class PointerInput {
  constructor(canvas, player, control, api, onRefused = () => {}) {
    this.player = player;
    this.control = control;
    this.api = api;
    this.onRefused = onRefused;
    this.enabled = true;
    this.moveSeq = 0;
    this.touches = new Map();  // pointer id → {x, y} client pixels
    this.touch = null;  // the touch gesture under way
    canvas.addEventListener("pointerdown", (e) => this.down(e));
    canvas.addEventListener("pointerup", (e) => this.up(e));
    canvas.addEventListener("pointercancel", (e) => this.up(e, true));
    canvas.addEventListener("pointermove", (e) => this.move(e));
    canvas.addEventListener("wheel", (e) => this.wheel(e), { passive: false });
    canvas.addEventListener("contextmenu", (e) => e.preventDefault());
  }

  // Events go one after another, in order: the service posts concurrent requests side by
  // side, and typed text or a press must not overtake what came before it.
  send(event) {
    if (this.player.display !== undefined) event.display = this.player.display;
    const sent = (this.queue ?? Promise.resolve()).then(async () => {
      const response = await this.api("/input", { method: "POST", headers: { "Content-Type": "application/json" },
        body: JSON.stringify(event) });
      if (!response.ok) this.refused(await response.json().catch(() => ({})));
      return response.ok;
    });
    this.queue = sent.catch(() => false);
    return sent;
  }

  refused(answer) {
    if (answer.code === "controlled-elsewhere") this.control.update({ controller: "remote", device: answer.controllerDevice });
    else if (/take control/.test(answer.error ?? "")) this.control.update({ controller: "none" });
    this.onRefused(answer);
  }

  // True when this browser may send input now, taking control when nobody holds it.
  async ensureControl() {
    if (!this.enabled) return false;
    if (this.control.mine) return true;
    if (this.control.other) {
      this.onRefused({ error: `${this.control.other.name} controls the screen` });
      return false;
    }
    const refusal = await this.control.take();
    if (refusal) this.onRefused(refusal);
    return this.control.mine;
  }

  async down(e) {
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at || !this.enabled) return;
    e.preventDefault();
    try {
      e.target.setPointerCapture(e.pointerId);  // a drag may leave the picture
    } catch {}
    if (e.pointerType === "touch") return this.touchDown(e, at);
    if (!(await this.ensureControl())) return;
    await this.send({ type: "down", x: at.x, y: at.y, button: buttons[e.button] ?? "left" });
  }

  async up(e, cancelled = false) {
    if (e.pointerType === "touch") return this.touchUp(e, cancelled);
    const at = this.player.toDisplay(e.clientX, e.clientY) ?? this.clamped(e.clientX, e.clientY);
    if (!at || !this.control.mine) return;
    await this.send({ type: "up", x: at.x, y: at.y, button: buttons[e.button] ?? "left" });
  }

  move(e) {
    if (e.pointerType === "touch") return this.touchMove(e);
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at || !this.control.mine) return;
    const event = { type: "move", x: at.x, y: at.y, seq: ++this.moveSeq };
    if (e.buttons & 1) event.button = "left";
    this.send(event);
  }

  // A point outside the picture as the nearest edge of it (a drag may leave the picture).
  clamped(clientX, clientY) {
    const box = this.player.shownBox();
    if (!box) return null;
    const x = Math.min(Math.max((clientX - box.left) / box.width, 0), 1);
    const y = Math.min(Math.max((clientY - box.top) / box.height, 0), 1);
    return { x, y };
  }

  // Display pixels per client pixel: a finger's or a trackpad's travel becomes the same travel
  // on the computer's screen.
  pixelScale() {
    const box = this.player.shownBox();
    return box && this.player.displayWidth ? this.player.displayWidth / box.width : 1;
  }

  // Touch: a tap clicks, a long press right-clicks, a moving finger drags, two fingers scroll
  // (gliding on when they leave the glass fast).
  touchDown(e, at) {
    this.touches.set(e.pointerId, { x: e.clientX, y: e.clientY });
    if (this.touches.size === 1) {
      this.touch = { mode: "pending", start: at, startClient: { x: e.clientX, y: e.clientY } };
      this.touch.timer = setTimeout(() => this.longPress(), longPressMs);
    } else if (this.touches.size === 2 && this.touch) {
      clearTimeout(this.touch.timer);
      if (this.touch.mode === "drag") this.send({ type: "up", ...this.touch.last });
      this.touch = { mode: "scroll", center: this.center(), samples: [], began: false, at: this.touch.start };
    }
  }

  async longPress() {
    const touch = this.touch;
    if (!touch || touch.mode !== "pending") return;
    touch.mode = "done";
    if (await this.ensureControl()) this.send({ type: "rightClick", x: touch.start.x, y: touch.start.y });
  }

  async touchMove(e) {
    if (!this.touches.has(e.pointerId) || !this.touch) return;
    this.touches.set(e.pointerId, { x: e.clientX, y: e.clientY });
    const touch = this.touch;
    if (touch.mode === "pending") {
      const travel = Math.hypot(e.clientX - touch.startClient.x, e.clientY - touch.startClient.y);
      if (travel < tapSlopPx) return;
      clearTimeout(touch.timer);
      touch.mode = "drag";
      touch.last = touch.start;
      if (!(await this.ensureControl())) {
        touch.mode = "done";
        return;
      }
      this.send({ type: "down", x: touch.start.x, y: touch.start.y });
    }
    if (touch.mode === "drag") {
      const at = this.player.toDisplay(e.clientX, e.clientY) ?? this.clamped(e.clientX, e.clientY);
      if (!at) return;
      touch.last = at;
      this.send({ type: "move", x: at.x, y: at.y, button: "left", seq: ++this.moveSeq });
    } else if (touch.mode === "scroll" && this.touches.size >= 2 && this.control.mine) {
      const center = this.center();
      const scale = this.pixelScale();
      // Fingers moving up bring what is below into view: the content scrolls down.
      const dx = (touch.center.x - center.x) * scale, dy = (touch.center.y - center.y) * scale;
      touch.center = center;
      if (dx === 0 && dy === 0) return;
      touch.samples.push({ t: performance.now(), dx, dy });
      this.send({ type: "scroll", x: touch.at.x, y: touch.at.y, dx, dy, phase: touch.began ? "changed" : "began" });
      touch.began = true;
    }
  }

  async touchUp(e, cancelled) {
    this.touches.delete(e.pointerId);
    const touch = this.touch;
    if (!touch) return;
    if (touch.mode === "scroll") {
      if (this.touches.size > 0) return;
      if (touch.began) this.send({ type: "scroll", x: touch.at.x, y: touch.at.y, dx: 0, dy: 0, phase: "ended",
        ...velocity(touch.samples) });
    } else if (touch.mode === "pending") {
      clearTimeout(touch.timer);
      if (!cancelled && (await this.ensureControl())) this.send({ type: "click", x: touch.start.x, y: touch.start.y });
    } else if (touch.mode === "drag") {
      this.send({ type: "up", x: touch.last.x, y: touch.last.y });
    }
    if (this.touches.size === 0) this.touch = null;
  }

  center() {
    const points = [...this.touches.values()];
    return { x: points.reduce((s, p) => s + p.x, 0) / points.length, y: points.reduce((s, p) => s + p.y, 0) / points.length };
  }

  // A mouse wheel's notches scroll as they are; a trackpad's stream of small steps is a
  // gesture with phases, and a fast ending glides on (the service's momentum).
  wheel(e) {
    const at = this.player.toDisplay(e.clientX, e.clientY);
    if (!at) return;
    e.preventDefault();
    if (!this.control.mine) return;
    const lines = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 400 : 1;  // to pixels
    const now = performance.now();
    let gesture = this.wheelGesture;
    if (!gesture || now - gesture.last > wheelQuietMs) {
      const notched = e.deltaMode !== 0 || (e.wheelDeltaY !== 0 && e.wheelDeltaY % 120 === 0 && e.deltaX === 0);
      gesture = this.wheelGesture = { notched, began: false, samples: [], at };
    }
    gesture.last = now;
    if (gesture.notched) {
      this.send({ type: "scroll", x: at.x, y: at.y, dx: e.deltaX * lines, dy: e.deltaY * lines });
      return;
    }
    const scale = this.pixelScale();
    const dx = e.deltaX * scale, dy = e.deltaY * scale;
    gesture.samples.push({ t: now, dx, dy });
    this.send({ type: "scroll", x: gesture.at.x, y: gesture.at.y, dx, dy, phase: gesture.began ? "changed" : "began" });
    gesture.began = true;
    clearTimeout(gesture.timer);
    gesture.timer = setTimeout(() => {
      if (this.wheelGesture !== gesture) return;
      this.wheelGesture = null;
      this.send({ type: "scroll", x: gesture.at.x, y: gesture.at.y, dx: 0, dy: 0, phase: "ended",
        ...velocity(gesture.samples) });
    }, wheelQuietMs);
  }
}

// Pixels per second over the last 100 ms of a gesture's steps: {vx, vy}.
function velocity(samples) {
  const end = samples.at(-1)?.t ?? 0;
  const recent = samples.filter((s) => end - s.t <= 100);
  if (recent.length < 2) return { vx: 0, vy: 0 };
  const span = Math.max((end - recent[0].t) / 1000, 0.016);
  const sum = recent.slice(1).reduce((s, r) => ({ dx: s.dx + r.dx, dy: s.dy + r.dy }), { dx: 0, dy: 0 });
  return { vx: sum.dx / span, vy: sum.dy / span };
}

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
    if (e.isComposing || this.composing || !this.pointer.control.mine) return;
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
    if (data && this.pointer.control.mine) this.pointer.send({ type: "type", text: data });
  }
}

// ---- app ----
// The browser client's start: pair when the address carries an offer, else show the desktop
// this browser is paired with.

const $ = (id) => document.getElementById(id);
const show = (id) => {
  for (const section of document.querySelectorAll("main")) section.hidden = section.id !== id;
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

let desktop = null;

// Requests that may safely go twice: a connection the computer closed (new permissions, a
// busy listener) fails them once without an answer, and they are sent again.
const repeatable = (path, options) => (options.method ?? "GET") === "GET" || path === "/stream/ack";

async function api(path, options = {}) {
  const request = () => fetch(path, {
    ...options,
    headers: { ...(options.headers ?? {}), Authorization: `Bearer ${storedToken()}` },
  });
  let response;
  try {
    response = await request();
  } catch (error) {
    if (error.name === "AbortError" || !repeatable(path, options)) throw error;
    await sleep(200);
    response = await request();
  }
  if (response.status === 401) {
    // Removed on the computer, or never paired here: back to pairing.
    forgetToken();
    desktop?.close();
    desktop = null;
    show("unpaired");
    throw new Error("not paired");
  }
  return response;
}

// What the screen shows for a status section of the stream or a /status answer.
function screenStateText(state, console) {
  if (console?.locked) return "The computer's screen is locked.";
  if (!state || state.phase === "ready") return "";
  if (state.reason === "no-session") return "Nobody is logged in on the computer.";
  if (state.reason === "starting") return "The computer's screen is starting…";
  return state.detail ?? "The computer's screen is not available.";
}

// The desktop view: the picture, input, sound, clipboard and who controls the screen. One per
// paired session of the page; close() ends everything it started.
class Desktop {
  constructor() {
    this.open = true;
    this.permissions = { control: true, clipboard: true, audio: true };
    this.display = undefined;
    this.control = new Control(api, () => this.showControl());
    this.player = new Player($("screen"), $("cursor"), api, (state) => this.showScreenState(state));
    this.pointer = new PointerInput($("screen"), this.player, this.control, api, (refusal) => this.notice(refusal.error));
    new KeyboardInput($("keys"), this.pointer);
    this.audio = null;
    this.listen($("screen"), "pointerup", () => {
      // After a press on the picture, typing goes to the computer (and a phone shows its keyboard).
      if (this.pointer.enabled) $("keys").focus({ preventScroll: true });
    });
    this.listen($("take-control"), "click", async () => this.notice((await this.control.take())?.error ?? ""));
    this.listen($("release-control"), "click", async () => this.notice((await this.control.release())?.error ?? ""));
    this.listen($("sound"), "click", () => this.toggleSound());
    this.listen($("clipboard-toggle"), "click", () => { $("clipboard").hidden = !$("clipboard").hidden; });
    this.listen($("clip-send"), "click", () => this.sendClipboard());
    this.listen($("clip-fetch"), "click", () => this.fetchClipboard());
    this.listen($("fullscreen"), "click", () => {
      const stage = $("stage");
      if (document.fullscreenElement) return document.exitFullscreen();
      // Safari names it with a prefix; an iPhone offers full screen for video only.
      const enter = stage.requestFullscreen ?? stage.webkitRequestFullscreen;
      if (!enter) return this.notice("This browser shows only videos full screen; add the page to the home screen.");
      Promise.resolve(enter.call(stage)).catch((error) => this.notice(error.message));
    });
    this.listen($("display"), "change", () => {
      this.display = Number($("display").value);
      this.player.stop();  // the stream loop starts the chosen display's
    });
    this.listen(window, "resize", () => {
      clearTimeout(this.resizeTimer);
      this.resizeTimer = setTimeout(() => this.resized(), 400);
    });
    this.statusTimer = setInterval(() => this.refresh().catch(() => {}), 3000);
  }

  listen(target, type, handler) {
    target.addEventListener(type, handler);
    (this.unlisten ??= []).push(() => target.removeEventListener(type, handler));
  }

  close() {
    this.open = false;
    clearInterval(this.statusTimer);
    for (const undo of this.unlisten ?? []) undo();
    this.player.stop();
    this.audio?.stop();
  }

  notice(text) {
    $("notice").textContent = text ?? "";
  }

  // The stream, again after it ends (a network change, a new display, new permissions).
  async run() {
    if (typeof VideoDecoder === "undefined") {
      this.notice("This browser cannot decode video (no WebCodecs).");
      return;
    }
    const codecs = await decodableCodecs();
    if (codecs.length === 0) {
      this.notice("This browser decodes neither H.264 nor HEVC video.");
      return;
    }
    while (this.open) {
      const began = performance.now();
      try {
        await this.refresh();
        this.streamWidth = this.wantedWidth();
        await this.player.start(this.display, codecs, this.streamWidth);
      } catch (error) {
        if (!this.open || error.name === "AbortError") continue;
        this.notice(error.message);
      }
      // A stream stopped on purpose restarts at once; one that failed waits a second.
      if (this.open && !this.player.abort?.signal.aborted) await sleep(Math.max(0, 1000 - (performance.now() - began)));
    }
  }

  async refresh() {
    const status = await (await api("/status")).json();
    $("server-name").textContent = status.server?.name ?? status.app ?? "Tovo Control";
    const displays = status.displays ?? [];
    if (this.display === undefined || !displays.some((d) => d.id === this.display)) {
      this.display = (displays.find((d) => d.main) ?? displays[0])?.id;
    }
    const shown = displays.find((d) => d.id === this.display);
    this.player.displayWidth = shown?.width;
    $("display").replaceChildren(...displays.map((d) => {
      const option = new Option(`Display ${d.id}: ${d.width}×${d.height}${d.main ? " (main)" : ""}`, String(d.id));
      option.selected = d.id === this.display;
      return option;
    }));
    $("display").hidden = displays.length < 2;
    $("display-name").textContent = shown ? `${shown.width}×${shown.height}` : "";
    if (status.device) {
      this.control.deviceId = status.device.id;
      this.applyPermissions(status.device.permissions ?? this.permissions);
    }
    this.control.update(status.control);
    const automation = status.automation?.active
      ? `An agent is using this computer${status.automation.label ? ` (${status.automation.label})` : ""}.` : "";
    $("automation").textContent = automation;
    $("automation").hidden = !automation;
    this.consoleState = status.console;
    if (!status.ok) this.showScreenState(null, status.error);
    return status;
  }

  applyPermissions(permissions) {
    this.permissions = permissions;
    this.pointer.enabled = permissions.control;
    $("keys").hidden = !permissions.control;
    $("clipboard-toggle").hidden = !permissions.clipboard;
    if (!permissions.clipboard) $("clipboard").hidden = true;
    $("sound").hidden = !permissions.audio;
    if (!permissions.audio && this.audio) {
      this.audio.stop();
      this.audio = null;
    }
    this.showControl();
  }

  showControl() {
    const viewOnly = !this.permissions.control;
    const other = this.control.other;
    $("control-state").textContent = viewOnly ? "View only: this device may not control the computer."
      : this.control.mine ? "You control the screen."
      : other ? `${other.name} controls the screen.`
      : "Tap or click the picture to take control.";
    $("take-control").hidden = viewOnly || !other;
    $("release-control").hidden = viewOnly || !this.control.mine;
  }

  showScreenState(state, error) {
    const text = error ?? screenStateText(state, state?.console ?? this.consoleState);
    $("screen-state").textContent = text;
    $("screen-state").hidden = !text;
  }

  // The widest picture worth streaming to this window: its width in device pixels.
  wantedWidth() {
    const width = $("stage").clientWidth * (window.devicePixelRatio || 1);
    return Math.min(3840, Math.max(320, Math.round(width / 16) * 16));
  }

  resized() {
    const wanted = this.wantedWidth();
    // A stream well off the window's size starts again at the right one.
    if (this.streamWidth && Math.abs(wanted - this.streamWidth) / this.streamWidth > 0.25) this.player.stop();
  }

  async toggleSound() {
    if (typeof AudioDecoder === "undefined") return this.notice("This browser cannot decode sound (no WebCodecs audio).");
    if (!this.audio) {
      this.audio = new AudioPlayer(api);
      $("sound").textContent = "Mute";
      const audio = this.audio;
      audio.start().catch((error) => this.notice(error.message)).finally(() => {
        if (this.audio === audio) {
          this.audio = null;
          $("sound").textContent = "Sound";
        }
      });
      return;
    }
    this.audio.setMuted(!this.audio.muted);
    $("sound").textContent = this.audio.muted ? "Unmute" : "Mute";
  }

  async sendClipboard() {
    let text = $("clip-text").value;
    if (!text && navigator.clipboard?.readText) text = await navigator.clipboard.readText().catch(() => "");
    if (!text) return this.notice("Nothing to send: type or paste text into the box.");
    const response = await api("/clipboard", { method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ text, source: "phone" }) });
    const answer = await response.json().catch(() => ({}));
    this.notice(response.ok ? "Sent to the computer's clipboard." : answer.error);
  }

  async fetchClipboard() {
    const response = await api("/clipboard");
    const item = await response.json().catch(() => ({}));
    if (!response.ok) return this.notice(item.error);
    $("clip-image").hidden = true;
    if (item.kind === "text") {
      $("clip-text").value = item.text ?? "";
      await navigator.clipboard?.writeText(item.text ?? "").catch(() => {});
      this.notice("The computer's clipboard is in the box.");
    } else if (item.kind === "image") {
      const image = await api("/clipboard/image");
      if (image.ok) {
        URL.revokeObjectURL($("clip-image").src);
        $("clip-image").src = URL.createObjectURL(await image.blob());
        $("clip-image").hidden = false;
      }
      this.notice("The computer's clipboard holds an image.");
    } else if (item.kind === "files") {
      this.notice(`The computer's clipboard holds files: ${(item.files ?? []).map((f) => f.name).join(", ")}`);
    } else {
      this.notice(item.kind === "concealed" ? "The computer's clipboard holds something secret."
        : "The computer's clipboard is empty.");
    }
  }
}

async function showDesktop() {
  show("desktop");
  if (desktop) return;
  desktop = new Desktop();
  // For the browser's console and for measurements: the live objects.
  window.tovo = { desktop, probe: (x, y) => new LatencyProbe(desktop.player, x, y) };
  desktop.run().catch((error) => desktop?.notice(error.message));
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
      desktop?.close();
      desktop = null;
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
