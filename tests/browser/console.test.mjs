// The web console in a real browser: Debian's Chromium, driven by
// playwright-core, against the real executable on the shipped configuration.
//
//   node --test console.test.mjs   (OSTRA_BIN: the build's bin folder)
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const bin = process.env.OSTRA_BIN;
const browserPath = process.env.OSTRA_CHROMIUM || "/usr/bin/chromium";
const tcpPort = 7765;
const webPort = 8765;
const consoleUrl = `http://127.0.0.1:${webPort}/`;
const token = "a-long-test-token-7f3c";

let browser;

before(async () => {
  assert.ok(bin, "OSTRA_BIN names the folder with the executable and its plug-ins");
  browser = await chromium.launch({ executablePath: browserPath, args: ["--no-sandbox"] });
});

after(async () => {
  await browser?.close();
});

// The executable, its libraries and the shipped configuration (changed by
// `edit`) in a fresh folder, started in console mode.
async function startHost(edit = (config) => config) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "ostra-browser-"));
  for (const name of fs.readdirSync(bin)) {
    if (fs.lstatSync(path.join(bin, name)).isSymbolicLink()) continue;
    if (name === "OstraService" || name.endsWith(".so") || name.includes(".so.")) fs.copyFileSync(path.join(bin, name), path.join(folder, name));
  }
  fs.chmodSync(path.join(folder, "OstraService"), 0o755);
  const config = fs.readFileSync(path.join(bin, "OstraService.cfg"), "utf8");
  fs.writeFileSync(path.join(folder, "OstraService.cfg"), edit(config));
  const child = spawn(path.join(folder, "OstraService"), ["console"], { cwd: folder, stdio: ["pipe", "pipe", "pipe"] });
  let output = "";
  child.stdout.on("data", (data) => (output += data));
  child.stderr.on("data", (data) => (output += data));
  const exited = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  await waitFor(async () => (await accepts(webPort)) && (await accepts(tcpPort)), () => output);
  return {
    output: () => output,
    log: () => fs.readFileSync(path.join(folder, "OstraService.log"), "utf8"),
    async stop() {
      child.stdin.end("S");
      let timer;
      const timeout = new Promise((resolve) => (timer = setTimeout(() => resolve("timeout"), 30000)));
      const code = await Promise.race([exited, timeout]);
      clearTimeout(timer);
      fs.rmSync(folder, { recursive: true, force: true });
      return code;
    },
  };
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(condition, describe = () => "", limitMs = 20000) {
  const deadline = Date.now() + limitMs;
  while (!(await condition())) {
    if (Date.now() > deadline) throw new Error("timed out waiting; " + describe());
    await sleep(50);
  }
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => {
      socket.destroy();
      resolve(true);
    });
    socket.once("error", () => resolve(false));
  });
}

function sendLine(port, line) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(line + "\n"));
    let received = "";
    socket.on("data", (data) => {
      received += data;
      if (received.includes("\n")) {
        socket.destroy();
        resolve(received.trim());
      }
    });
    socket.on("error", reject);
  });
}

test("the page shows the state, Stop and Start steer the protocols, the log runs live", async () => {
  // At DEBUG the relay's trace lines reach the live log too.
  const host = await startHost((config) => config.replace('level = "INFO"', 'level = "DEBUG"'));
  try {
    const page = await browser.newPage();
    await page.goto(consoleUrl);
    const state = page.locator("#state");
    const log = page.locator("#log");
    await page.waitForFunction(() => document.getElementById("state").textContent === "STARTED");
    await page.waitForFunction(() => document.getElementById("log").textContent.includes("tcpline: listening on"));

    await page.click("#stop");
    await page.waitForFunction(() => document.getElementById("state").textContent === "STOPPED");
    assert.equal(await state.getAttribute("class"), "state stopped");
    assert.equal(await accepts(tcpPort), false, "the TCP port closes with the protocol");

    await page.click("#start");
    await page.waitForFunction(() => document.getElementById("state").textContent === "STARTED");
    assert.equal(await accepts(tcpPort), true, "the TCP port accepts again");

    // Lines written after the page was loaded appear without a reload.
    await page.waitForFunction(
      () => document.getElementById("log").textContent.split("tcpline: listening on").length - 1 >= 2,
    );
    assert.equal(await sendLine(tcpPort, "CALLER=201;SECONDS=42"), "0;ROW_ID=1");
    await page.waitForFunction(() => document.getElementById("log").textContent.includes("protocolEventProc"));
    assert.ok((await log.textContent()).length > 0);
    await page.close();
  } finally {
    assert.equal(await host.stop(), 0, host.output());
  }
});

test("with a token set, requests without it are refused", async () => {
  const host = await startHost((config) =>
    config.replace(/# token = "[^"]*";/, `token = "${token}";`),
  );
  try {
    const page = await browser.newPage();
    const refused = await page.goto(consoleUrl);
    assert.equal(refused.status(), 401);
    assert.equal((await fetch(consoleUrl + "api/status")).status, 401);
    assert.equal((await fetch(consoleUrl + "api/stop", { method: "POST" })).status, 401);
    assert.equal(await accepts(tcpPort), true, "a refused request stops nothing");

    await page.goto(consoleUrl + "?token=" + token);
    await page.waitForFunction(() => document.getElementById("state").textContent === "STARTED");
    await page.waitForFunction(() => document.getElementById("log").textContent.includes("listening on"));
    await page.click("#stop");
    await page.waitForFunction(() => document.getElementById("state").textContent === "STOPPED");
    assert.equal(await accepts(tcpPort), false);

    // Another site's page cannot make the browser start the protocols.
    const other = await browser.newPage();
    await other.goto("data:text/html,<p>another site</p>");
    const crossSite = await other.evaluate(async (url) => {
      try {
        const response = await fetch(url, { method: "POST", mode: "no-cors" });
        return response.type;
      } catch (failure) {
        return "failed";
      }
    }, consoleUrl + "api/start?token=" + token);
    assert.ok(crossSite === "opaque" || crossSite === "failed");
    await sleep(300);
    assert.equal(await accepts(tcpPort), false, "the cross-site request started nothing");
    await page.close();
    await other.close();
  } finally {
    assert.equal(await host.stop(), 0, host.output());
  }
});

test("the table counts every record sent, live, and a protocol's Stop button stops it", async () => {
  const host = await startHost();
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    const violations = [];
    page.on("console", (message) => {
      if (message.text().includes("Content Security Policy")) violations.push(message.text());
    });
    await page.goto(consoleUrl);
    const records = page.locator('#protocols tr[data-protocol="PBX"] td.records');
    await page.waitForFunction(() => document.querySelector('#protocols tr[data-protocol="PBX"]') !== null);
    const sent = 25;
    for (let i = 1; i <= sent; i++) assert.equal(await sendLine(tcpPort, `CALLER=${i}`), `0;ROW_ID=${i}`);
    await page.waitForFunction(
      (count) => document.querySelector('#protocols tr[data-protocol="PBX"] td.records')?.textContent === String(count),
      sent,
    );
    assert.equal(await records.textContent(), String(sent));
    // Each database with what it says of itself, as the host last asked it.
    const databases = '#protocols tr[data-protocol="PBX"] td.databases';
    await page.waitForFunction(
      (cell) => document.querySelector(cell + " .database")?.className === "database ok",
      databases,
    );
    assert.match(await page.locator(databases).textContent(), /^sqlite\.so: OK \(storing in .*records\.db\)$/);
    // The chart draws the records' second at its right end, below its label.
    const inked = () =>
      page.evaluate(() => {
        const canvas = document.getElementById("chart");
        const area = canvas.getContext("2d").getImageData(canvas.width - 40, 16, 40, canvas.height - 16).data;
        let count = 0;
        for (let i = 3; i < area.length; i += 4) if (area[i] > 0) count++;
        return count;
      });
    await waitFor(async () => (await inked()) > 0, () => "the chart drew no line");
    const artifact = path.join(bin, "..", "Testing", "console-metrics.png");
    fs.mkdirSync(path.dirname(artifact), { recursive: true });
    await page.screenshot({ path: artifact, fullPage: true });

    await page.click('#protocols tr[data-protocol="PBX"] button:text("Stop")');
    await page.waitForFunction(
      () => document.querySelector('#protocols tr[data-protocol="PBX"] td:nth-child(2)')?.textContent === "STOPPED",
    );
    assert.equal(await accepts(tcpPort), false, "the protocol's Stop closed its port");
    assert.deepEqual(violations, [], "the page keeps to its Content-Security-Policy");
    await waitFor(async () => /Control: STOP of protocol PBX, asked by web console client 127\.0\.0\.1:\d+/.test(host.log()), host.log);
    await page.close();
  } finally {
    assert.equal(await host.stop(), 0, host.output());
  }
});
