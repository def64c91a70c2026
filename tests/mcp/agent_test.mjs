// An agent's session with `tovo-control mcp`, through the official MCP client library, on a
// GTK form under the test desktop. Usage: node agent_test.mjs BINARY SOCKET
import assert from "node:assert/strict";
import { check, eventually, finish, sleep } from "../support/checks.mjs";
import { execFileSync, spawn } from "node:child_process";
import { request } from "node:http";
import { existsSync } from "node:fs";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const [binary, socket] = process.argv.slice(2);
const transport = new StdioClientTransport({
  command: binary,
  args: ["mcp", "--socket", socket],
  env: process.env,
  stderr: "inherit",
});
const client = new Client({ name: "tovo-agent-test", version: "1.0.0" });
await client.connect(transport);

const call = (name, args = {}) => client.callTool({ name, arguments: args });
const text = (result) => result.content.filter((c) => c.type === "text").map((c) => c.text).join("\n");
async function answer() {
  const found = await call("elements", { name: "" });
  return found.structuredContent.elements.map((e) => e.label).filter(Boolean);
}

await check("the server speaks the newest protocol and lists the tools", async () => {
  assert.equal(client.getServerVersion().name, "tovo-control");
  const { tools } = await client.listTools();
  const names = tools.map((t) => t.name);
  for (const expected of ["screenshot", "zoom", "click", "move", "mouse_down", "mouse_up", "drag", "scroll", "type",
    "key", "hold_key", "cursor_position", "wait_for_settle", "windows", "elements", "press_element",
    "focus_element", "set_value", "clipboard_read", "clipboard_write", "automation"]) {
    assert.ok(names.includes(expected), expected);
  }
  for (const tool of tools) assert.equal(tool.inputSchema.additionalProperties, false, tool.name);
});

let shot;
await check("a screenshot is a JPEG with its geometry", async () => {
  const result = await call("screenshot", { max_long_edge: 1280 });
  assert.equal(result.isError, false);
  const image = result.content.find((c) => c.type === "image");
  assert.equal(image.mimeType, "image/jpeg");
  assert.equal(Buffer.from(image.data, "base64").subarray(0, 2).toString("hex"), "ffd8");
  shot = result.structuredContent;
  assert.equal(shot.width, 1280);
  assert.equal(shot.display_width, 1920);
  assert.equal(shot.scale, 1.5);
});

let entry;
await check("the entry is found through elements and typed into after a click at its centre", async () => {
  const found = await eventually("the form's entry", async () => {
    const r = await call("elements", { role: "text" });
    return r.structuredContent?.elements.find((e) => e.role === "TextField");
  });
  entry = found;
  assert.equal(entry.label, "Name");
  const [cx, cy] = entry.center;
  assert.ok(cx > entry.rect[0] && cx < entry.rect[2] && cy > entry.rect[1] && cy < entry.rect[3]);
  assert.equal((await call("click", { x: cx, y: cy })).isError, false);
  assert.equal((await call("type", { text: "Grüße 東京" })).isError, false);
  const after = await call("key", { keys: "Return", screenshot_after: true });
  assert.equal(after.isError, false);
  assert.ok(after.content.some((c) => c.type === "image"));
  assert.equal(after.structuredContent.screenshot.width, 1280);
  await eventually("the greeting", async () => (await answer()).includes("Hello, Grüße 東京!"));
  const typed = (await call("elements", { role: "text" })).structuredContent.elements.find((e) => e.role === "TextField");
  assert.equal(typed.value, "Grüße 東京");
});

await check("set_value and press_element act on the listed elements", async () => {
  const fields = (await call("elements", { role: "text" })).structuredContent.elements;
  const field = fields.find((e) => e.role === "TextField");
  const set = await call("set_value", { ref: field.ref, value: "Zoë" });
  assert.equal(set.isError, false, text(set));
  const button = (await call("elements", { role: "button", name: "greet" })).structuredContent.elements[0];
  assert.equal(button.label, "Greet");
  assert.equal((await call("press_element", { ref: button.ref })).isError, false);
  await eventually("the second greeting", async () => (await answer()).includes("Hello, Zoë!"));
  const stale = await call("press_element", { ref: "999999.1" });
  assert.equal(stale.isError, true);
  assert.match(text(stale), /unknown ref/);
});

await check("hold_key holds the key for its duration", async () => {
  await call("click", { x: entry.center[0], y: entry.center[1] });
  const started = Date.now();
  assert.equal((await call("hold_key", { keys: "shift", duration_ms: 600 })).isError, false);
  assert.ok(Date.now() - started >= 600);
  const held = await eventually("the hold", async () => (await answer()).find((l) => l.startsWith("held Shift")));
  const ms = Number(held.split(" ")[2]);
  assert.ok(ms >= 550 && ms < 2000, held);
});

await check("a middle click reaches the app as button 2", async () => {
  const area = (await call("elements", { name: "middle area" })).structuredContent.elements[0];
  assert.ok(area, "the middle area's label");
  assert.equal((await call("click", { x: area.center[0], y: area.center[1], button: "middle" })).isError, false);
  await eventually("the middle click", async () => (await answer()).includes("middle clicks: 1"));
});

await check("the screen settles and the pointer is where the click left it", async () => {
  const settled = await call("wait_for_settle", { quiet_ms: 150, timeout_ms: 3000 });
  assert.equal(settled.structuredContent.settled, true);
  assert.ok(settled.structuredContent.waited_ms >= 150);
  const at = await call("cursor_position");
  assert.equal(at.structuredContent.inside, true);
  assert.ok(Number.isInteger(at.structuredContent.x));
});

await check("what would be clamped or ignored is refused with what to send", async () => {
  const outside = await call("click", { x: shot.width, y: 10 });
  assert.equal(outside.isError, true);
  assert.match(text(outside), /outside the screenshot.*send x from 0 to 1279/);
  const unknownKey = await call("key", { keys: "ctrl+Hyperspace" });
  assert.equal(unknownKey.isError, true);
  assert.match(text(unknownKey), /unknown key "Hyperspace"/);
  const shortPath = await call("drag", { path: [[1, 1]] });
  assert.equal(shortPath.isError, true);
  assert.match(text(shortPath), /at least 2 items/);
  const extra = await call("type", { text: "a", speed: 3 });
  assert.equal(extra.isError, true);
  assert.match(text(extra), /unknown field "speed"/);
});

await check("after the person presses Esc every action is stopped until automation starts again", async () => {
  assert.equal((await call("automation", { active: true, label: "Agent test" })).isError, false);
  assert.equal((await call("move", { x: 10, y: 10 })).isError, false);
  execFileSync("xdotool", ["key", "Escape"]);
  const stopped = await eventually("the stop", async () => {
    const r = await call("move", { x: 12, y: 12 });
    return r.isError ? r : null;
  });
  assert.match(text(stopped), /^stopped by the person at the computer \(Esc\)/);
  assert.equal((await call("screenshot")).isError, false);
  assert.equal((await call("automation", { active: true })).isError, false);
  assert.equal((await call("move", { x: 14, y: 14 })).isError, false);
  await call("automation", { active: false });
});

await check("the clipboard both ways", async () => {
  assert.equal((await call("clipboard_write", { text: "from the agent ✓" })).isError, false);
  const read = await eventually("the copy", async () => {
    const r = await call("clipboard_read");
    return r.structuredContent.text === "from the agent ✓" ? r : null;
  });
  assert.equal(read.structuredContent.kind, "text");
});

await client.close();

await check("with no service on its socket it starts one, and stops it on exit", async () => {
  const own = `${socket}.own`;
  const alone = new Client({ name: "tovo-agent-test", version: "1.0.0" });
  await alone.connect(new StdioClientTransport({ command: binary, args: ["mcp", "--socket", own], env: process.env,
    stderr: "ignore" }));
  const result = await alone.callTool({ name: "screenshot", arguments: { max_long_edge: 640 } });
  assert.equal(result.structuredContent.width, 640);
  assert.ok(existsSync(own));
  await alone.close();
  await eventually("the service's end", async () => !existsSync(own));
});

await check("over Streamable HTTP on loopback, refusing foreign Host and Origin headers", async () => {
  const server = spawn(binary, ["mcp", "--socket", socket, "--http", "127.0.0.1:0"], { stdio: ["ignore", "ignore", "pipe"] });
  try {
    let log = "";
    const port = await eventually("the HTTP listener", async () => {
      const chunk = server.stderr.read();
      if (chunk) log += chunk;
      return log.match(/serving http:\/\/127\.0\.0\.1:(\d+)\/mcp/)?.[1];
    });
    const overHttp = new Client({ name: "tovo-agent-test", version: "1.0.0" });
    await overHttp.connect(new StreamableHTTPClientTransport(new URL(`http://127.0.0.1:${port}/mcp`)));
    const result = await overHttp.callTool({ name: "cursor_position", arguments: {} });
    assert.equal(result.isError, false);
    await overHttp.close();
    const status = (headers) => new Promise((done, fail) => {
      const body = JSON.stringify({ jsonrpc: "2.0", id: 1, method: "initialize", params: { protocolVersion: "2025-11-25",
        capabilities: {}, clientInfo: { name: "x", version: "1" } } });
      const r = request({ host: "127.0.0.1", port, path: "/mcp", method: "POST",
        headers: { "content-type": "application/json", accept: "application/json, text/event-stream", ...headers } },
      (response) => { response.resume(); done(response.statusCode); });
      r.on("error", fail);
      r.end(body);
    });
    assert.equal(await status({ host: `127.0.0.1:${port}` }), 200);
    assert.equal(await status({ host: `tovo.example:${port}` }), 403);
    assert.equal(await status({ host: `localhost:${port}`, origin: "http://tovo.example" }), 403);
  } finally {
    server.kill("SIGTERM");
  }
});

finish();
