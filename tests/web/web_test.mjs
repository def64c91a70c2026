// The browser client in Debian's chromium: served before any token under strict headers,
// paired from the browser link, the token kept and the code gone from the address bar.
// Usage: node web_test.mjs WEB_URL (its host already 127.0.0.1)
import assert from "node:assert/strict";
import { check, eventually, finish } from "../support/checks.mjs";
import { readFileSync } from "node:fs";
import { chromium } from "playwright-core";


const [webUrl, witnessLog, typingLog] = process.argv.slice(2);
const origin = new URL(webUrl).origin;
const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });

// The certificate is self-signed: the test's browser context accepts it, the page does not need to.
const context = await browser.newContext({ ignoreHTTPSErrors: true });
const page = await context.newPage();
const cspViolations = [];
page.on("pageerror", (error) => console.log(`page error: ${error.message}`));
page.on("console", (message) => {
  if (message.type() === "error") console.log(`console: ${message.text()}`);
  if (/Content Security Policy/.test(message.text())) cspViolations.push(message.text());
});

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

await check("the browser link pairs, shows the key's fingerprint and forgets the code", async () => {
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
  await page.waitForFunction(() => document.querySelectorAll("#displays li").length > 0);
  assert.match(await page.textContent("#displays"), /1920×1080/);
  assert.equal(new URL(page.url()).hash, "");
  assert.ok(await page.evaluate(() => localStorage.getItem("tovo.token")));
});

await check("a reload stays paired; the spent code is refused", async () => {
  await page.goto(`${origin}/`);
  await page.waitForSelector("#desktop:not([hidden])");
  const second = await browser.newContext({ ignoreHTTPSErrors: true });
  const other = await second.newPage();
  await other.goto(webUrl);
  await other.click("#pair");
  await other.waitForFunction(() => document.querySelector("#pair-error").textContent.length > 0);
  assert.match(await other.textContent("#pair-error"), /wrong or has expired/);
  await second.close();
});

await check("the stream plays: the canvas shows the desktop's colours", async () => {
  await page.goto(`${origin}/`);
  await page.waitForSelector("#desktop:not([hidden])");
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
});

await check("a click on the picture takes control and reaches the witness at the matching pixel", async () => {
  const box = await page.locator("#screen").boundingBox();
  // Display pixel (600, 500) is window pixel (200, 200) of the witness.
  await page.mouse.click(box.x + (600.5 / 1920) * box.width, box.y + (500.5 / 1080) * box.height);
  const press = await eventually("the witness's press", async () =>
    readFileSync(witnessLog, "utf8").split("\n").find((l) => l.startsWith("press 1 ")), 15000);
  const [, , x, y] = press.split(" ").map(Number);
  // One canvas pixel covers more than one display pixel: the click lands within that much.
  const slack = Math.ceil(1920 / box.width) + 1;
  assert.ok(Math.abs(x - 200) <= slack && Math.abs(y - 200) <= slack, press);
});

await check("typing reaches the focused app as Unicode text, and named keys as keys", async () => {
  const box = await page.locator("#screen").boundingBox();
  // The typing witness's entry: display pixel (1550, 120).
  await page.mouse.click(box.x + (1550.5 / 1920) * box.width, box.y + (120.5 / 1080) * box.height);
  const texts = () => readFileSync(typingLog, "utf8").split("\n").filter((l) => l.includes('"text"'))
    .map((l) => JSON.parse(l).text);
  await page.keyboard.type("Grüße 東京");
  await eventually("the typed text", async () => texts().at(-1) === "Grüße 東京", 15000).catch((e) => {
    throw new Error(`${e.message}; the entry read ${JSON.stringify(texts())}`);
  });
  await page.keyboard.press("Backspace");
  await eventually("the backspace", async () => texts().at(-1) === "Grüße 東", 15000);
});

await check("no Content-Security-Policy violation on the way", async () => {
  assert.deepEqual(cspViolations, []);
});

await browser.close();
finish();
