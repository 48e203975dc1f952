// The bridge in real Chromium: the demo page reads the virtual card, pages
// of allowed origins read through CORS, other pages are kept out, auto-read
// reports each card once, the client survives a restart of the service, and
// a public page needs the browser's loopback permission.
//
// Needs the built `ivelcard` (IVELCARD_BIN_DIR, default ../build/bin) and
// Debian's chromium (CHROMIUM, default /usr/bin/chromium). IVELCARD_BRIDGE_COMMAND
// replaces `ivelcard --module ... serve` by another service command line
// (words separated by spaces; the options follow), IVELCARD_BRIDGE_STOP is
// then the command that stops it (for instance the Windows bridge under Wine).
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, renameSync, readFileSync, existsSync, chmodSync, rmSync } from "node:fs";
import { readFile } from "node:fs/promises";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

const here = path.dirname(fileURLToPath(import.meta.url));
const webRoot = path.resolve(here, "..");
const binDir = path.resolve(process.env.IVELCARD_BIN_DIR ?? path.join(webRoot, "../build/bin"));
const chromium = process.env.CHROMIUM ?? "/usr/bin/chromium";
const testData = path.resolve(webRoot, "../tests/data");

const scratch = mkdtempSync(path.join(os.tmpdir(), "ivelcard-browser-"));
const runtimeDir = path.join(scratch, "runtime");
const configDir = path.join(scratch, "config");
const readerFile = path.join(scratch, "reader.json");
const callLog = path.join(scratch, "calls.log");
for (const dir of [runtimeDir, configDir]) {
  execFileSync("mkdir", ["-p", dir]);
  chmodSync(dir, 0o700);
}
const environment = {
  ...process.env,
  XDG_RUNTIME_DIR: runtimeDir,
  XDG_CONFIG_HOME: configDir,
  IVELCARD_REGISTRY_DIR: configDir,
  IVELCARD_VIRTUAL_READER: readerFile,
  IVELCARD_VIRTUAL_READER_LOG: callLog,
};
delete environment.IVELCARD_MODULE;

const SAMPLE = "{}";
const SECOND = readFileSync(path.join(testData, "carddata/second-reader.json"), "utf8");
const NO_CARD = '{"card": null}';

// Rewrites the reader description in one step (the service never reads
// half a file).
function describeReader(json) {
  writeFileSync(readerFile + ".new", json);
  renameSync(readerFile + ".new", readerFile);
}

const logLines = () => (existsSync(callLog) ? readFileSync(callLog, "utf8").split("\n").filter(Boolean).length : 0);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// `ivelcard serve` on `port` (0: a free one); resolves when it listens.
function startBridge(port, allowOrigins) {
  const command = process.env.IVELCARD_BRIDGE_COMMAND?.split(" ").filter(Boolean) ??
    [path.join(binDir, "ivelcard"), "--module", path.join(binDir, "libivelcard.so"), "serve"];
  const args = [...command.slice(1), "--port", String(port)];
  for (const origin of allowOrigins) args.push("--allow-origin", origin);
  const child = spawn(command[0], args, { env: environment, stdio: ["ignore", "ignore", "pipe"] });
  let log = "";
  return new Promise((resolve, reject) => {
    child.stderr.on("data", (chunk) => {
      log += chunk;
      const match = /serving on http:\/\/127\.0\.0\.1:(\d+)\//.exec(log);
      if (match) resolve({ port: Number(match[1]), child, log: () => log });
    });
    child.on("exit", (code) => reject(new Error(`ivelcard serve ended (${code}): ${log}`)));
  });
}

function stopBridge(bridge) {
  return new Promise((resolve) => {
    bridge.child.on("exit", (code) => resolve(code));
    if (process.env.IVELCARD_BRIDGE_STOP) execFileSync("sh", ["-c", process.env.IVELCARD_BRIDGE_STOP]);
    else bridge.child.kill("SIGTERM");
  });
}

const TYPES = { ".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8" };

// A static server for the client and the test page: another local origin.
async function startPageServer() {
  const server = http.createServer(async (request, response) => {
    const name = request.url === "/ivelcard.js" ? "ivelcard.js" : request.url === "/page.html" ? "tests/page.html" : null;
    if (!name) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": TYPES[path.extname(name)] });
    response.end(await readFile(path.join(webRoot, name)));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { server, origin: `http://127.0.0.1:${server.address().port}`, port: server.address().port };
}

let browser;
let bridge;
let allowed;   // a local origin on the allow-list
let foreign;   // a local origin not on it
let publicSite; // on the allow-list, but public to the browser

before(async () => {
  describeReader(SAMPLE);
  [allowed, foreign, publicSite] = await Promise.all([startPageServer(), startPageServer(), startPageServer()]);
  bridge = await startBridge(0, [allowed.origin, publicSite.origin]);
  browser = await puppeteer.launch({
    executablePath: chromium,
    ignoreDefaultArgs: true,
    pipe: true,
    args: [
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--user-data-dir=${path.join(scratch, "chromium")}`,
      `--ip-address-space-overrides=127.0.0.1:${publicSite.port}=public`,
    ],
  });
});

after(async () => {
  await browser?.close();
  if (bridge) await stopBridge(bridge);
  for (const site of [allowed, foreign, publicSite]) site?.server.close();
  rmSync(scratch, { recursive: true, force: true });
});

// A page of `site` with the client loaded; its bridge as window.bridge.
async function clientPage(site) {
  const page = await browser.newPage();
  await page.goto(`${site.origin}/page.html`);
  await page.waitForFunction(() => window.clientReady === true);
  await page.evaluate((port) => {
    window.bridge = new window.ivelcard.IvelcardBridge({ port, timeoutMs: 10000 });
  }, bridge.port);
  return page;
}

// The name of what a call throws in the page, or "resolved".
const outcome = (page, expression) =>
  page.evaluate(`(async () => { try { await ${expression}; return "resolved"; } catch (e) { return e.name; } })()`);

test("the demo page served by the bridge reads the virtual card", async () => {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${bridge.port}/demo/`);
  await page.waitForFunction(() => document.getElementById("status-service").textContent.startsWith("运行中"));
  await page.click("#read");
  await page.waitForFunction(() => document.getElementById("name").value !== "", { timeout: 15000 });
  const form = await page.evaluate(() => ({
    name: document.getElementById("name").value,
    gender: document.getElementById("gender").value,
    number: document.getElementById("number").value,
    validity: document.getElementById("validity").value,
  }));
  assert.deepEqual(form, { name: "赵明远", gender: "男", number: "110108198806151237", validity: "2018.06.15 - 2038.06.15" });
  const images = await page.evaluate(async () =>
    Promise.all(["portrait", "front", "back"].map(async (id) => {
      const img = document.getElementById(id);
      await img.decode();
      return `${id} ${img.naturalWidth}x${img.naturalHeight}`;
    })));
  assert.deepEqual(images, ["portrait 102x126", "front 340x214", "back 340x214"]);
  await page.close();
});

test("a page of an allowed local origin reads through CORS, the exact text of the control", async () => {
  const expected = execFileSync(path.join(binDir, "ivelcard"),
    ["--module", path.join(binDir, "libivelcard.so"), "call", "connect", "readCert"],
    { env: { ...environment, IVELCARD_VIRTUAL_READER_LOG: path.join(scratch, "host.log") } }).toString("utf8");
  const page = await clientPage(allowed);
  const texts = await page.evaluate(async () => [await window.bridge.call("connect"), await window.bridge.call("readCert")]);
  assert.equal(texts.join(""), expected);
  assert.equal(JSON.parse(texts[1]).resultContent.partyName, "赵明远");
  await page.close();
});

test("a page of an origin not on the list gets OriginNotAllowed and makes no call", async () => {
  const page = await clientPage(foreign);
  const before = logLines();
  assert.equal(await outcome(page, 'window.bridge.call("readCert")'), "OriginNotAllowed");
  assert.equal(await outcome(page, "window.bridge.readCard()"), "OriginNotAllowed");
  await sleep(200);
  assert.equal(logLines(), before);
  await page.close();
});

test("auto-read reports a card put on, a card swapped and the card taken off", async () => {
  describeReader(NO_CARD);
  const page = await clientPage(allowed);
  await page.evaluate(() => {
    window.events = [];
    window.states = [];
    window.watch = window.bridge.watch(
      (doc) => window.events.push(`card ${doc.resultContent.partyName}`),
      () => window.events.push("removed"),
      { intervalMs: 200, onState: (state, error) => window.states.push(error ? `${state} ${error.name}` : state) },
    );
  });
  await page.waitForFunction(() => window.states.includes("watching"));
  await sleep(500);
  const waitForEvents = (n) => page.waitForFunction((n) => window.events.length >= n, { timeout: 10000 }, n);
  describeReader(SAMPLE);
  await waitForEvents(1);
  await sleep(600);  // the same card staying gives no second event
  describeReader(SECOND);
  await waitForEvents(2);
  describeReader(NO_CARD);
  await waitForEvents(3);
  await sleep(600);
  assert.deepEqual(await page.evaluate(() => window.events), ["card 赵明远", "card 孙晓岚", "removed"]);

  // The service stops: calls report BridgeUnavailable; it starts again on
  // the same port: the watch resumes by itself.
  const port = bridge.port;
  assert.equal(await stopBridge(bridge), 0);
  assert.equal(await outcome(page, 'window.bridge.call("getStatus")'), "BridgeUnavailable");
  await page.waitForFunction(() => window.states.some((s) => s.startsWith("disconnected BridgeUnavailable")));
  describeReader(SAMPLE);
  bridge = await startBridge(port, [allowed.origin, publicSite.origin]);
  await waitForEvents(4);
  const events = await page.evaluate(() => window.events);
  assert.equal(events[3], "card 赵明远");
  assert.equal(await page.evaluate(() => window.states.at(-1)), "watching");
  await page.evaluate(() => window.watch.stop());
  await page.close();
});

test("a public page needs the loopback permission, then reads", async () => {
  describeReader(SAMPLE);
  const page = await clientPage(publicSite);
  assert.equal(await page.evaluate(() => window.bridge.loopbackPermission()), "prompt");
  assert.equal(await outcome(page, "window.bridge.readCard()"), "LoopbackPermissionNeeded");
  const session = await browser.target().createCDPSession();
  await session.send("Browser.grantPermissions", { origin: publicSite.origin, permissions: ["loopbackNetwork"] });
  assert.equal(await page.evaluate(() => window.bridge.loopbackPermission()), "granted");
  const document = await page.evaluate(() => window.bridge.readCard());
  assert.equal(document.resultFlag, 0);
  assert.equal(document.resultContent.partyName, "赵明远");
  await session.detach();
  await page.close();
});
