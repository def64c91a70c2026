// Pairing from the browser link: the code and the key's fingerprint come in the address's
// fragment (never sent to the server), the token stays in this origin's storage.

const tokenKey = "tovo.token";
const deviceKey = "tovo.device";

// The fingerprint as the pairing window shows it: the first 16 hex digits in groups of four.
export function shortFingerprint(fingerprint) {
  const hex = fingerprint.replace(/[^0-9a-fA-F]/g, "").toUpperCase().slice(0, 16);
  return hex.match(/.{1,4}/g)?.join(" ") ?? "";
}

// {code, fingerprint} from "#pair=…&fp=…", or null.
export function pairingOffer(hash) {
  const fields = new URLSearchParams(hash.replace(/^#/, ""));
  const code = fields.get("pair");
  return code ? { code, fingerprint: fields.get("fp") ?? "" } : null;
}

export function storedToken() {
  return localStorage.getItem(tokenKey);
}

export function forgetToken() {
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
export function defaultDeviceName(userAgent) {
  const browser = /Edg\//.test(userAgent) ? "Edge" : /Firefox\//.test(userAgent) ? "Firefox"
    : /Chrome\//.test(userAgent) ? "Chrome" : /Safari\//.test(userAgent) ? "Safari" : "Browser";
  const system = /iPhone|iPad/.test(userAgent) ? "iOS" : /Android/.test(userAgent) ? "Android"
    : /Mac OS X/.test(userAgent) ? "macOS" : /Windows/.test(userAgent) ? "Windows"
    : /Linux/.test(userAgent) ? "Linux" : "";
  return system ? `${browser} on ${system}` : browser;
}

// Pairs with the code; keeps the token. Throws an Error with the server's reason.
export async function pair(code, name) {
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
