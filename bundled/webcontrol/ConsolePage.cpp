#include "ConsolePage.h"

namespace webcontrol {

const char* const kConsolePage = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>OstraService console</title>
<link rel="stylesheet" href="/console.css">
</head>
<body>
<header>
  <h1>OstraService</h1>
  <span id="state" class="state">...</span>
  <button id="start" type="button">Start</button>
  <button id="stop" type="button">Stop</button>
</header>
<p id="error" role="alert"></p>
<pre id="log" aria-live="polite"></pre>
<script src="/console.js"></script>
</body>
</html>
)page";

const char* const kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const char* const kConsoleStyle =
    R"style(  body { font-family: system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2330; }
  header { display: flex; gap: 1rem; align-items: center; padding: .8rem 1.2rem; background: #1d2330; color: #fff; }
  h1 { font-size: 1.1rem; margin: 0 auto 0 0; }
  .state { font-weight: 600; padding: .25rem .7rem; border-radius: 1rem; background: #777; }
  .state.started { background: #1f8a4c; }
  .state.stopped { background: #b3261e; }
  button { font: inherit; padding: .3rem 1rem; border-radius: .3rem; border: 0; cursor: pointer; }
  button:disabled { opacity: .5; cursor: default; }
  #error { color: #b3261e; margin: .5rem 1.2rem; min-height: 1.2rem; }
  #log { margin: 0 1.2rem 1.2rem; padding: .8rem; background: #fff; border: 1px solid #d5d8de; height: 70vh;
         overflow: auto; font: .8rem/1.35 ui-monospace, monospace; white-space: pre-wrap; }
)style";

const char* const kConsoleScript = R"script("use strict";
const token = new URLSearchParams(location.search).get("token") || "";
const headers = token ? { "X-Ostra-Token": token } : {};
const stateView = document.getElementById("state");
const errorView = document.getElementById("error");
const logView = document.getElementById("log");
const buttons = [document.getElementById("start"), document.getElementById("stop")];
const keptLines = 2000;

async function call(method, path) {
  const response = await fetch(path, { method, headers, cache: "no-store" });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || response.status + " " + response.statusText);
  return body;
}

function show(status) {
  stateView.textContent = status.state;
  stateView.className = "state " + status.state.toLowerCase();
}

async function refresh() {
  try {
    show(await call("GET", "/api/status"));
    errorView.textContent = "";
  } catch (failure) {
    errorView.textContent = failure.message;
  }
}

async function command(verb) {
  buttons.forEach((button) => (button.disabled = true));
  try {
    show(await call("POST", "/api/" + verb));
    errorView.textContent = "";
  } catch (failure) {
    errorView.textContent = failure.message;
  } finally {
    buttons.forEach((button) => (button.disabled = false));
  }
}

buttons[0].addEventListener("click", () => command("start"));
buttons[1].addEventListener("click", () => command("stop"));
refresh();
setInterval(refresh, 2000);

const log = new EventSource("/api/log" + (token ? "?token=" + encodeURIComponent(token) : ""));
log.onmessage = (event) => {
  const atBottom = logView.scrollTop + logView.clientHeight >= logView.scrollHeight - 4;
  logView.appendChild(document.createTextNode(event.data + "\n"));
  while (logView.childNodes.length > keptLines) logView.removeChild(logView.firstChild);
  if (atBottom) logView.scrollTop = logView.scrollHeight;
};
)script";

}  // namespace webcontrol
