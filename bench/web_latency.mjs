// Glass to glass in the browser client: a window changes colour at a known moment (the X
// server has it), and the page's latency probe notes when a decoded picture shows it.
// Usage: node web_latency.mjs WEB_URL COLOR_WINDOW CHANGES SERVICE_PID SECONDS
// Prints {"p50_ms", "p95_ms", "changes", "seen", "cpu_s", "width"}.
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

// The browser driver lives with the browser tests (one lock file for both).
const require = createRequire(join(dirname(fileURLToPath(import.meta.url)), "../tests/web/package.json"));
const { chromium } = require("playwright-core");

const [webUrl, colorWindow, changesText, pidText, secondsText] = process.argv.slice(2);
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const cpuSeconds = () => {
  const fields = readFileSync(`/proc/${pidText}/stat`, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) / 100;  // utime + stime, in clock ticks of 10 ms
};

// The witness: 400×300 at (760, 390), the middle of the screen.
const witness = spawn(colorWindow, ["760", "390", "400", "300", "000000"], { stdio: ["pipe", "pipe", "inherit"] });
const lines = createInterface({ input: witness.stdout });
const colored = [];
let mapped;
const isMapped = new Promise((resolve) => { mapped = resolve; });
lines.on("line", (line) => {
  if (line === "mapped") mapped();
  const [word, rgb, ms] = line.split(" ");
  if (word === "colored") colored.push({ rgb, at: Number(ms) });
});
await isMapped;

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
// Wide enough that the picture is drawn 1920 pixels wide.
const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 1952, height: 1400 } });
const page = await context.newPage();
await page.goto(webUrl);
await page.click("#pair");
await page.waitForFunction(() => window.tovo?.desktop.player.size, null, { timeout: 20000 });
await sleep(2000);
await page.evaluate(() => { window.probe = window.tovo.probe(0.5, 0.5); });

const cpuBefore = cpuSeconds();
const started = performance.now();
const colours = ["ffffff", "000000"];
for (let i = 0; i < Number(changesText); i++) {
  witness.stdin.write(`color ${colours[i % 2]}\n`);
  await sleep(500);
}
const seconds = Number(secondsText);
while (performance.now() - started < seconds * 1000) await sleep(100);
const cpu = cpuSeconds() - cpuBefore;
const elapsed = (performance.now() - started) / 1000;
const changes = await page.evaluate(() => window.probe.changes);
const width = await page.evaluate(() => window.tovo.desktop.player.size.width);
await browser.close();
witness.stdin.end();

// Each colour change against the first picture after it that shows that colour.
const latencies = [];
for (const change of colored) {
  const want = change.rgb === "ffffff" ? 255 : 0;
  const shown = changes.find((c) => c.at >= change.at && c.rgb.every((v) => Math.abs(v - want) < 40));
  if (shown) latencies.push(shown.at - change.at);
}
latencies.sort((a, b) => a - b);
const at = (q) => latencies[Math.min(latencies.length - 1, Math.floor(latencies.length * q))];
console.log(JSON.stringify({ p50_ms: at(0.5), p95_ms: at(0.95), changes: colored.length, seen: latencies.length,
  cpu_per_s: cpu / elapsed, width }));
