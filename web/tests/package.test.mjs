// The client as an npm package: `npm pack` carries exactly the client, its
// types, its README and licence; the tarball installs into a scratch project
// and imports under Node and TypeScript; its version is the module's; its
// reasons are the documentation's. Needs no browser and no network (the
// package has no dependencies; TypeScript comes from the lockfile).
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, readFileSync, existsSync, rmSync } from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { VERSION, REASONS, packageVersion, reasonOf } from "../ivelcard.js";

const here = path.dirname(fileURLToPath(import.meta.url));
const webRoot = path.resolve(here, "..");
const repoRoot = path.resolve(webRoot, "..");
const read = (file) => readFileSync(file, "utf8");

test("npm pack, installed in a scratch project, imports under Node and TypeScript", (t) => {
  const scratch = mkdtempSync(path.join(os.tmpdir(), "ivelcard-package-"));
  t.after(() => rmSync(scratch, { recursive: true, force: true }));
  const npm = (args, cwd) => execFileSync("npm", [...args, "--no-audit", "--no-fund", "--offline"],
    { cwd, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] });

  const [packed] = JSON.parse(npm(["pack", "--json", "--pack-destination", scratch], webRoot));
  assert.equal(packed.filename, `ivelcard-${VERSION}.tgz`);
  assert.deepEqual(packed.files.map((f) => f.path).sort(),
    ["LICENSE", "README.md", "ivelcard.d.ts", "ivelcard.js", "package.json"]);

  const project = path.join(scratch, "page");
  execFileSync("mkdir", ["-p", project]);
  writeFileSync(path.join(project, "package.json"), '{"name": "page", "private": true, "type": "module"}');
  npm(["install", path.join(scratch, packed.filename)], project);

  const imported = execFileSync(process.execPath, ["--input-type=module", "-e", `
    import * as client from "ivelcard";
    import { createRequire } from "node:module";
    const meta = createRequire(import.meta.url)("ivelcard/package.json");
    const bridge = new client.default({ port: 24011 });
    console.log(JSON.stringify([client.VERSION, meta.version, meta.license, bridge.baseUrl,
      client.parseDocument('{"errorMsg": "读卡错误", "resultFlag": -1}').reason]));
  `], { cwd: project, encoding: "utf8" });
  assert.deepEqual(JSON.parse(imported), [VERSION, VERSION, "Apache-2.0", "http://127.0.0.1:24011", "no-card"]);

  // The declarations accept what the README shows and refuse what is wrong
  // (each @ts-expect-error must meet an error, or tsc fails).
  writeFileSync(path.join(project, "page.mts"), `
    import { IvelcardBridge, BridgeUnavailable, REASONS, type CardDocument, type Reason } from "ivelcard";
    const bridge = new IvelcardBridge({ port: 24010 });
    export async function read(): Promise<string> {
      try {
        const card: CardDocument = await bridge.readCard();
        return card.resultFlag === 0 ? card.resultContent?.partyName ?? "" : card.reason;
      } catch (error) {
        return error instanceof BridgeUnavailable ? "service stopped" : "other";
      }
    }
    const watch = bridge.watch({
      onCard: (card) => card.resultContent?.certNumber,
      onRemoved: () => {},
      onReader: (state) => { const known: "ready" | "absent" = state; return known; },
      intervalMs: 500,
    });
    watch.stop();
    bridge.watch((card) => card.reason, () => {}, { onState: (state, error) => [state, error?.name] });
    export const noCard: Reason = REASONS["读卡错误"];
    // @ts-expect-error the control has no such member
    bridge.call("readCard");
    // @ts-expect-error a reader's state is a word
    bridge.watch({ onReader: (state: number) => state });
    // @ts-expect-error reasons are a closed set
    export const wrong: Reason = "no-paper";
  `);
  writeFileSync(path.join(project, "tsconfig.json"), JSON.stringify({
    compilerOptions: {
      module: "nodenext", moduleResolution: "nodenext", target: "es2022", lib: ["es2022", "dom"],
      strict: true, noEmit: true, types: [],
    },
    files: ["page.mts"],
  }));
  const tsc = path.join(webRoot, "node_modules/typescript/bin/tsc");
  try {
    execFileSync(process.execPath, [tsc, "-p", project], { encoding: "utf8" });
  } catch (error) {
    assert.fail(`tsc: ${error.stdout}${error.stderr}`);
  }
});

test("the package's version is the module's version record, mapped as documented", () => {
  const cmake = /project\(Ivelcard VERSION (\d+\.\d+\.\d+\.\d+)/.exec(read(path.join(repoRoot, "CMakeLists.txt")));
  assert.ok(cmake, "CMakeLists.txt names the project's version");
  assert.equal(packageVersion(cmake[1]), VERSION);
  assert.equal(JSON.parse(read(path.join(webRoot, "package.json"))).version, VERSION);
  assert.deepEqual(["2.0.2.2", "2.0.2002", "3.1.0.17", "1.0"].map(packageVersion),
    ["2.0.2002", "2.0.2002", "3.1.17", "1.0"]);
  if (existsSync(path.join(repoRoot, "LICENSE"))) {
    assert.equal(read(path.join(webRoot, "LICENSE")), read(path.join(repoRoot, "LICENSE")), "web/LICENSE is a copy of LICENSE");
  }
});

test("the reasons are the table of docs/document.md and the type of the declarations", () => {
  const docs = read(path.join(repoRoot, "docs/document.md"));
  const section = docs.split(/^## Messages and reasons$/m)[1].split(/^## /m)[0];
  const documented = {};
  for (const [, message, reason] of section.matchAll(/^\| "([^"]*)" \| "([a-z-]+)" \|/gm)) documented[message] = reason;
  assert.deepEqual(documented, { ...REASONS });
  const declared = /export type Reason =([^;]*);/.exec(read(path.join(webRoot, "ivelcard.d.ts")))[1];
  assert.deepEqual([...declared.matchAll(/"([a-z-]+)"/g)].map((m) => m[1]).sort(), [...new Set(Object.values(REASONS))].sort());
  assert.equal(reasonOf("a message of a later version"), "unknown");
  assert.equal(reasonOf("toString"), "unknown");
});
