// Times agent steps through `tovo-control mcp`: click + settle + screenshot in one call.
// Usage: node agent_step.mjs BINARY SOCKET STEPS; prints {"p50_ms", "p95_ms", "steps"}.
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

// The client library lives with the MCP tests (one lock file for both).
const require = createRequire(join(dirname(fileURLToPath(import.meta.url)), "../tests/mcp/package.json"));
const { Client } = await import(require.resolve("@modelcontextprotocol/sdk/client/index.js"));
const { StdioClientTransport } = await import(require.resolve("@modelcontextprotocol/sdk/client/stdio.js"));

const [binary, socket, stepsText] = process.argv.slice(2);
const client = new Client({ name: "tovo-bench", version: "1.0.0" });
await client.connect(new StdioClientTransport({ command: binary, args: ["mcp", "--socket", socket], stderr: "ignore" }));
const shot = await client.callTool({ name: "screenshot", arguments: {} });
const { width, height } = shot.structuredContent;
const times = [];
for (let i = 0; i < Number(stepsText); i++) {
  const started = performance.now();
  const result = await client.callTool({
    name: "click",
    arguments: { x: Math.round(width * 0.78), y: Math.round(height * 0.83) + (i % 5), screenshot_after: true },
  });
  times.push(performance.now() - started);
  if (result.isError || !result.content.some((c) => c.type === "image")) throw new Error(JSON.stringify(result));
}
await client.close();
times.sort((a, b) => a - b);
const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))];
console.log(JSON.stringify({ p50_ms: at(0.5), p95_ms: at(0.95), steps: times.length }));
