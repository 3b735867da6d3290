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
<p id="configuration"></p>
<section class="numbers">
  <table id="protocols">
    <thead><tr><th>Protocol</th><th>State</th><th>Databases</th><th>Since</th><th>Records</th><th>Stored (0)</th>
      <th>Refused (1)</th><th>Not taken (3)</th><th>Latency p50</th><th>p99</th>
      <th>Last failure</th><th></th></tr></thead>
    <tbody></tbody>
  </table>
  <figure>
    <canvas id="chart" width="900" height="180" aria-label="Records per second, last 10 minutes"></canvas>
    <figcaption>Records per second, last 10 minutes: <span id="legend"></span></figcaption>
  </figure>
</section>
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
  #configuration { margin: 0 1.2rem; color: #555; }
  #configuration.refused { color: #b3261e; font-weight: 600; }
  .numbers { margin: 0 1.2rem 1rem; }
  table { border-collapse: collapse; width: 100%; background: #fff; font-size: .85rem; }
  th, td { text-align: left; padding: .3rem .5rem; border-bottom: 1px solid #e2e4e8; }
  td.number { text-align: right; font-variant-numeric: tabular-nums; }
  td.failure { color: #b3261e; max-width: 28rem; overflow-wrap: anywhere; }
  .running { color: #1f8a4c; font-weight: 600; }
  .failing { color: #b3261e; font-weight: 600; }
  .stopped { color: #777; font-weight: 600; }
  .degraded { color: #a15c00; font-weight: 600; }
  .database { display: block; white-space: nowrap; }
  .database.failing, .database.not_loaded, .database.not_answering { color: #b3261e; font-weight: 600; }
  .database.degraded { color: #a15c00; font-weight: 600; }
  .database.ok { color: #1f8a4c; font-weight: normal; }
  figure { margin: .8rem 0 0; }
  canvas { width: 100%; height: 180px; background: #fff; border: 1px solid #d5d8de; }
  figcaption { font-size: .8rem; color: #555; }
  .swatch { display: inline-block; width: .8rem; height: .8rem; margin: 0 .3rem 0 .8rem; vertical-align: middle; }
  #log { margin: 0 1.2rem 1.2rem; padding: .8rem; background: #fff; border: 1px solid #d5d8de; height: 40vh;
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
  const buttons = Array.from(document.querySelectorAll("button"));
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

// The protocols' table and chart, from /api/metrics.
const table = document.querySelector("#protocols tbody");
const chart = document.getElementById("chart");
const legend = document.getElementById("legend");
const colours = ["#2b6cb0", "#d97706", "#1f8a4c", "#9333ea", "#b3261e", "#0e7490", "#6b7280"];

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function seconds(value) {
  if (value === null) return "";
  return value < 1 ? (value * 1000).toPrecision(3) + " ms" : value.toPrecision(3) + " s";
}

function when(unixSeconds) {
  return unixSeconds ? new Date(unixSeconds * 1000).toLocaleString() : "";
}

// The configuration in force, and a reload that did not take.
const configurationView = document.getElementById("configuration");
function showConfiguration(numbers) {
  if (!numbers.configuration) return;
  configurationView.textContent = "Configuration " + numbers.configuration + ", loaded " +
    when(numbers.configurationLoaded) +
    (numbers.reloadRefused ? " \u2014 reload refused: " + numbers.reloadRefused : "");
  configurationView.className = numbers.reloadRefused ? "refused" : "";
}

function showProtocols(protocols) {
  table.replaceChildren();
  for (const protocol of protocols) {
    const row = table.insertRow();
    row.dataset.protocol = protocol.name;
    cell(row, protocol.name);
    cell(row, protocol.state, protocol.state.toLowerCase());
    // Each database with what it says of itself; the reason on hover.
    const databases = row.insertCell();
    databases.className = "databases";
    for (const database of protocol.databases || []) {
      const line = document.createElement("span");
      const state = database.state || "-";
      line.className = "database " + state.toLowerCase();
      line.dataset.database = database.name;
      line.textContent = database.name + ": " + state + (database.reason ? " (" + database.reason + ")" : "");
      databases.appendChild(line);
    }
    cell(row, when(protocol.since));
    cell(row, protocol.records, "number records");
    protocol.answers.forEach((count) => cell(row, count, "number"));
    cell(row, seconds(protocol.p50), "number");
    cell(row, seconds(protocol.p99), "number");
    cell(row, protocol.lastFailure ? when(protocol.lastFailureTime) + ": " + protocol.lastFailure : "", "failure");
    const actions = row.insertCell();
    for (const verb of ["start", "stop"]) {
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = verb === "start" ? "Start" : "Stop";
      button.addEventListener("click", () => command(verb + "?protocol=" + encodeURIComponent(protocol.name)));
      actions.appendChild(button);
    }
  }
}

function drawChart(protocols) {
  const context = chart.getContext("2d");
  const width = chart.width, height = chart.height, samples = 599;
  context.clearRect(0, 0, width, height);
  const top = Math.max(1, ...protocols.flatMap((protocol) => protocol.rates));
  context.fillStyle = "#555";
  context.font = "11px sans-serif";
  context.fillText(top.toPrecision(3) + " /s", 4, 12);
  legend.replaceChildren();
  protocols.forEach((protocol, index) => {
    const colour = colours[index % colours.length];
    context.strokeStyle = colour;
    context.lineWidth = 2;
    context.beginPath();
    const rates = protocol.rates;
    rates.forEach((rate, at) => {
      const x = width - 4 - (rates.length - 1 - at) * ((width - 8) / samples);
      const y = height - 2 - (rate / top) * (height - 18);
      if (at === 0) context.moveTo(x, y);
      else context.lineTo(x, y);
    });
    context.stroke();
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = colour;
    legend.append(swatch, protocol.name);
  });
}

async function refreshNumbers() {
  try {
    const numbers = await call("GET", "/api/metrics");
    showProtocols(numbers.protocols);
    drawChart(numbers.protocols);
    showConfiguration(numbers);
  } catch (failure) {
    errorView.textContent = failure.message;
  }
}
refreshNumbers();
setInterval(refreshNumbers, 1000);

const log = new EventSource("/api/log" + (token ? "?token=" + encodeURIComponent(token) : ""));
log.onmessage = (event) => {
  const atBottom = logView.scrollTop + logView.clientHeight >= logView.scrollHeight - 4;
  logView.appendChild(document.createTextNode(event.data + "\n"));
  while (logView.childNodes.length > keptLines) logView.removeChild(logView.firstChild);
  if (atBottom) logView.scrollTop = logView.scrollHeight;
};
)script";

}  // namespace webcontrol
