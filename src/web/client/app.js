// The browser client's start: pair when the address carries an offer, else show the desktop
// this browser is paired with.
import { defaultDeviceName, forgetToken, pair, pairingOffer, shortFingerprint, storedToken } from "./pairing.js";

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
