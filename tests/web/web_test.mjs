// The browser client in Debian's chromium: served before any token under strict headers,
// paired from the browser link, then the picture, the pointer, typing, scrolling, touch,
// sound, control between two browsers, a view-only device and a removed one.
// Usage: node web_test.mjs WEB_URL SOCKET WITNESS_LOG TYPING_LOG NOTICES_LOG (the URL's host 127.0.0.1)
import assert from "node:assert/strict";
import { check, eventually, finish, sleep } from "../support/checks.mjs";
import { readFileSync } from "node:fs";
import { request } from "node:http";
import { chromium } from "playwright-core";

const [webUrl, socket, witnessLog, typingLog, noticesLog] = process.argv.slice(2);
const origin = new URL(webUrl).origin;
const browser = await chromium.launch({ executablePath: "/usr/bin/chromium",
  args: ["--no-sandbox", "--autoplay-policy=no-user-gesture-required"] });

// The service's local API (the computer's side).
function local(method, path, body) {
  return new Promise((resolve, reject) => {
    const req = request({ socketPath: socket, method, path, headers: { "Content-Type": "application/json" } }, (res) => {
      let text = "";
      res.on("data", (chunk) => { text += chunk; });
      res.on("end", () => resolve({ status: res.statusCode, json: JSON.parse(text || "{}") }));
    });
    req.on("error", reject);
    req.end(body ? JSON.stringify(body) : undefined);
  });
}

// A fresh browser link on loopback, from a new pairing code.
async function freshLink() {
  const link = new URL((await local("POST", "/remote/pairing")).json.pairing.webUrl);
  return `${origin}/${link.hash}`;
}

const cspViolations = [];
async function newPage() {
  // The certificate is self-signed: the test's browser context accepts it, the page does not need to.
  const context = await browser.newContext({ ignoreHTTPSErrors: true });
  const page = await context.newPage();
  page.on("pageerror", (error) => console.log(`page error: ${error.message}`));
  page.on("console", (message) => {
    if (message.type() === "error") console.log(`console: ${message.text()}`);
    if (/Content Security Policy/.test(message.text())) cspViolations.push(message.text());
  });
  return { context, page };
}

async function pairAs(page, link, name) {
  await page.goto(link);
  await page.waitForSelector("#pairing:not([hidden])");
  await page.fill("#device-name", name);
  await page.click("#pair");
  await page.waitForSelector("#desktop:not([hidden])");
}

// A display pixel as a client point of the page, through the picture's letterboxing.
async function clientPoint(page, x, y) {
  const box = await eventually("a picture on the page", () => page.evaluate(() => window.tovo?.desktop.player.shownBox()));
  return { x: box.left + ((x + 0.5) / 1920) * box.width, y: box.top + ((y + 0.5) / 1080) * box.height, box };
}

const witness = () => readFileSync(witnessLog, "utf8").split("\n");
const presses = (button) => witness().filter((l) => l.startsWith(`press ${button} `));

const { context, page } = await newPage();

await check("the page and its files come without a token, under strict headers", async () => {
  const response = await page.goto(`${origin}/`);
  assert.equal(response.status(), 200);
  const headers = response.headers();
  assert.match(headers["content-security-policy"], /script-src 'self'/);
  assert.match(headers["content-security-policy"], /frame-ancestors 'none'/);
  assert.doesNotMatch(headers["content-security-policy"], /unsafe-inline/);
  assert.equal(headers["referrer-policy"], "no-referrer");
  assert.equal(headers["x-content-type-options"], "nosniff");
  const script = await context.request.get(`${origin}/app.js`);
  assert.equal(script.status(), 200);
  assert.match(script.headers()["content-type"], /^text\/javascript/);
  // The API still wants a token.
  assert.equal((await context.request.get(`${origin}/status`)).status(), 401);
  await page.waitForSelector("#unpaired:not([hidden])");
});

await check("the browser link pairs, shows the key's fingerprint, forgets the code and raises a notice", async () => {
  const fingerprint = new URLSearchParams(new URL(webUrl).hash.slice(1)).get("fp");
  assert.match(fingerprint, /^[0-9a-f]{64}$/);
  await page.goto(webUrl);
  await page.waitForSelector("#pairing:not([hidden])");
  const shown = await page.textContent("#fingerprint");
  assert.equal(shown, fingerprint.toUpperCase().slice(0, 16).match(/.{4}/g).join(" "));
  assert.match(await page.inputValue("#device-name"), /^Chrome on Linux$/);
  await page.fill("#device-name", "Test browser");
  await page.click("#pair");
  await page.waitForSelector("#desktop:not([hidden])");
  await page.waitForFunction(() => document.querySelector("#display-name").textContent === "1920×1080");
  assert.equal(new URL(page.url()).hash, "");
  assert.ok(await page.evaluate(() => localStorage.getItem("tovo.token")));
  const notice = await eventually("the pairing notice", async () => readFileSync(noticesLog, "utf8").split("\n")
    .filter((l) => l.startsWith("{")).map((l) => JSON.parse(l)).find((n) => n.summary.includes("Test browser")));
  assert.equal(notice.summary, "\u201cTest browser\u201d paired with this computer");
  assert.deepEqual(notice.actions, ["remove", "Remove"]);
});

await check("a reload stays paired; the spent code is refused", async () => {
  await page.goto(`${origin}/`);
  await page.waitForSelector("#desktop:not([hidden])");
  const other = await newPage();
  await other.page.goto(webUrl);
  await other.page.click("#pair");
  await other.page.waitForFunction(() => document.querySelector("#pair-error").textContent.length > 0);
  assert.match(await other.page.textContent("#pair-error"), /wrong or has expired/);
  await other.context.close();
});

await check("the stream plays: the canvas shows the desktop's colours", async () => {
  // Display pixel (800, 500) is inside the red witness; (100, 100) is the desktop outside it.
  const pixel = (x, y) => page.evaluate(([dx, dy]) => {
    const canvas = document.getElementById("screen");
    if (!canvas.width) return null;
    const at = canvas.getContext("2d").getImageData(Math.floor(dx * canvas.width), Math.floor(dy * canvas.height), 1, 1);
    return Array.from(at.data.slice(0, 3));
  }, [x / 1920, y / 1080]);
  const red = await eventually("a red picture inside the witness", async () => {
    const rgb = await pixel(800, 500);
    return rgb && rgb[0] > 200 && rgb[1] < 60 && rgb[2] < 60 ? rgb : null;
  }, 15000);
  assert.ok(red);
  const outside = await pixel(100, 100);
  assert.ok(!(outside[0] > 200 && outside[1] < 60), `outside the witness: ${outside}`);
  assert.equal(await page.textContent("#control-state"), "Tap or click the picture to take control.");
});

await check("a click on the picture takes control, reaches the witness at the matching pixel, and the page draws the pointer", async () => {
  // Display pixel (600, 500) is window pixel (200, 200) of the witness.
  const at = await clientPoint(page, 600, 500);
  await page.mouse.click(at.x, at.y);
  const press = await eventually("the witness's press", async () => presses(1)[0], 15000);
  const [, , x, y] = press.split(" ").map(Number);
  // One canvas pixel covers more than one display pixel: the click lands within that much.
  const slack = Math.ceil(1920 / at.box.width) + 1;
  assert.ok(Math.abs(x - 200) <= slack && Math.abs(y - 200) <= slack, press);
  await page.waitForFunction(() => document.querySelector("#control-state").textContent === "You control the screen.");
  // The pointer is drawn by the page, on its own canvas, at the place clicked.
  const drawn = await eventually("the pointer on the cursor canvas", () => page.evaluate(() => {
    const canvas = document.getElementById("cursor");
    const x = Math.floor((600 / 1920) * canvas.width), y = Math.floor((500 / 1080) * canvas.height);
    const area = canvas.getContext("2d").getImageData(x, y, 24, 24).data;
    let opaque = 0;
    for (let i = 3; i < area.length; i += 4) opaque += area[i] > 0 ? 1 : 0;
    return opaque;
  }), 10000);
  assert.ok(drawn > 10, `${drawn} pointer pixels`);
});

await check("typing reaches the focused app as Unicode text, and named keys as keys", async () => {
  // The typing witness's entry: display pixel (1550, 120).
  const at = await clientPoint(page, 1550, 120);
  await page.mouse.click(at.x, at.y);
  const texts = () => readFileSync(typingLog, "utf8").split("\n").filter((l) => l.includes('"text"'))
    .map((l) => JSON.parse(l).text);
  await page.keyboard.type("Grüße 東京");
  await eventually("the typed text", async () => texts().at(-1) === "Grüße 東京", 15000).catch((e) => {
    throw new Error(`${e.message}; the entry read ${JSON.stringify(texts())}`);
  });
  await page.keyboard.press("Backspace");
  await eventually("the backspace", async () => texts().at(-1) === "Grüße 東", 15000);
});

await check("the wheel scrolls, touch long-presses for a right click and two fingers scroll", async () => {
  const at = await clientPoint(page, 700, 450);
  await page.mouse.move(at.x, at.y);
  const downBefore = presses(5).length;
  await page.mouse.wheel(0, 240);
  await eventually("wheel scrolling down (button 5)", async () => presses(5).length > downBefore, 10000);

  // Touch, as a phone's pointer events bring it.
  const touch = (type, id, x, y) => page.evaluate(([type, id, x, y]) => {
    document.getElementById("screen").dispatchEvent(new PointerEvent(type, { pointerId: id, pointerType: "touch",
      clientX: x, clientY: y, bubbles: true, cancelable: true, isPrimary: id === 11 }));
  }, [type, id, x, y]);
  await touch("pointerdown", 11, at.x, at.y);
  await sleep(800);
  await touch("pointerup", 11, at.x, at.y);
  await eventually("a right click from the long press", async () => presses(3).length > 0, 10000);

  const upBefore = presses(4).length;
  await touch("pointerdown", 11, at.x, at.y);
  await touch("pointerdown", 12, at.x + 40, at.y);
  for (let step = 1; step <= 10; step++) {
    await touch("pointermove", 11, at.x, at.y + step * 12);
    await touch("pointermove", 12, at.x + 40, at.y + step * 12);
    await sleep(16);
  }
  await touch("pointerup", 11, at.x, at.y + 120);
  await touch("pointerup", 12, at.x + 40, at.y + 120);
  // Fingers moving down bring what is above into view: scrolling up (button 4).
  await eventually("two fingers scrolling up (button 4)", async () => presses(4).length > upBefore, 10000);
});

await check("the sound plays after a tap: decoded samples at the tone's 1 kHz", async () => {
  await page.click("#sound");
  // The latest 200 ms of sound, once that much has been decoded: its loudness and pitch.
  const heard = () => page.evaluate(() => {
    const samples = window.tovo.desktop.audio?.latest() ?? [];
    if (samples.length < 9600) return null;
    const rms = Math.sqrt(samples.reduce((s, v) => s + v * v, 0) / samples.length);
    let crossings = 0;
    for (let i = 1; i < samples.length; i++) if (samples[i - 1] < 0 && samples[i] >= 0) crossings++;
    return { rms, hz: crossings / (samples.length / 48000), head: samples.slice(0, 12) };
  });
  const seen = [];
  await eventually("the tone at 1 kHz", async () => {
    const got = await heard();
    if (got) seen.push(got);
    return got && got.rms > 0.01 && Math.abs(got.hz - 1000) < 30;
  }, 15000).catch((error) => {
    throw new Error(`${error.message}; heard ${JSON.stringify(seen.slice(-3))}`);
  });
  await page.click("#sound");  // mutes
  assert.equal(await page.textContent("#sound"), "Unmute");
});

const second = await newPage();

await check("two browsers: the second sees who controls, may take over, and the first is then refused", async () => {
  await pairAs(second.page, await freshLink(), "Second browser");
  await second.page.waitForFunction(() =>
    document.querySelector("#control-state").textContent === "Test browser controls the screen.");
  assert.ok(await second.page.isVisible("#take-control"));
  // A click while another device controls the screen is not delivered.
  const before = presses(1).length;
  const at = await clientPoint(second.page, 600, 500);
  await second.page.mouse.click(at.x, at.y);
  await sleep(500);
  assert.equal(presses(1).length, before);
  assert.match(await second.page.textContent("#notice"), /Test browser controls the screen/);

  await second.page.click("#take-control");
  await second.page.waitForFunction(() => document.querySelector("#control-state").textContent === "You control the screen.");
  await page.waitForFunction(() =>
    document.querySelector("#control-state").textContent === "Second browser controls the screen.", null, { timeout: 10000 });
  await second.page.mouse.click(at.x, at.y);
  await eventually("the second browser's click", async () => presses(1).length > before, 10000);
});

await check("a view-only device gets no input controls and its input is refused", async () => {
  const id = await second.page.evaluate(() => localStorage.getItem("tovo.device"));
  const answer = await local("POST", "/remote/devices/permissions", { id, control: false });
  assert.equal(answer.status, 200);
  assert.equal(answer.json.devices.find((d) => d.id === id).permissions.control, false);
  await second.page.waitForFunction(() => /^View only/.test(document.querySelector("#control-state").textContent), null,
    { timeout: 15000 });
  assert.ok(!(await second.page.isVisible("#take-control")));
  // The device's connections were ended by the change: a request on one of them may fail
  // once without an answer.
  const refused = await eventually("an answer to /input", () => second.page.evaluate(async () => {
    try {
      const response = await fetch("/input", { method: "POST", body: JSON.stringify({ type: "move", x: 0.5, y: 0.5 }),
        headers: { Authorization: `Bearer ${localStorage.getItem("tovo.token")}`, "Content-Type": "application/json" } });
      return { status: response.status, body: await response.json() };
    } catch {
      return null;
    }
  }));
  assert.equal(refused.status, 403);
  assert.equal(refused.body.code, "not-permitted");
  assert.equal(refused.body.permission, "control");
});

await check("a device removed from its pairing notice is sent back to pairing", async () => {
  const third = await newPage();
  await pairAs(third.page, await freshLink(), "Remove me");
  // The notification server presses "Remove" on this one's notice.
  await third.page.waitForSelector("#unpaired:not([hidden])", { timeout: 15000 });
  assert.equal(await third.page.evaluate(() => localStorage.getItem("tovo.token")), null);
  const devices = (await local("GET", "/remote")).json.devices.map((d) => d.name);
  assert.ok(!devices.includes("Remove me"), devices.join(", "));
  await third.context.close();
});

await check("no Content-Security-Policy violation on the way", async () => {
  assert.deepEqual(cspViolations, []);
});

await browser.close();
finish();
