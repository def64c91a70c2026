// The browser client in Debian's chromium: served before any token under strict headers,
// paired from the browser link, the token kept and the code gone from the address bar.
// Usage: node web_test.mjs WEB_URL (its host already 127.0.0.1)
import assert from "node:assert/strict";
import { chromium } from "playwright-core";

const [webUrl] = process.argv.slice(2);
const origin = new URL(webUrl).origin;
const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
let failures = 0;
async function check(name, body) {
  try {
    await body();
    console.log(`ok   ${name}`);
  } catch (error) {
    failures++;
    console.log(`FAIL ${name}\n${error.stack}`);
  }
}

// The certificate is self-signed: the test's browser context accepts it, the page does not need to.
const context = await browser.newContext({ ignoreHTTPSErrors: true });
const page = await context.newPage();
const cspViolations = [];
page.on("console", (message) => {
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

await check("no Content-Security-Policy violation on the way", async () => {
  assert.deepEqual(cspViolations, []);
});

await browser.close();
console.log(failures ? `${failures} failed` : "all passed");
process.exit(failures ? 1 : 0);
