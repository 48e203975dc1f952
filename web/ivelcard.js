// ivelcard.js: the browser side of the Ivelcard bridge (`ivelcard serve`).
//
// A page written for the in-process control changes only how it calls:
//     const text = obj.readCert();                 // in-process control
//     const text = await bridge.call("readCert");  // through the bridge
// The text is the control's own document, unchanged, so the page keeps its
// parsing. connect(), readCert() ... resolve to the parsed document, with
// `reason` added: a stable word for its "errorMsg" (REASONS).
//
// Reader outcomes (no card, no reader) stay documents with their
// "resultFlag" and "errorMsg". What keeps the page from reaching the control
// is an exception a page can act on:
//   BridgeUnavailable         the service is not running
//   OriginNotAllowed          the service runs but this page's origin is not
//                             on its allow-list
//   LoopbackPermissionNeeded  the browser has not (yet) allowed this page to
//                             reach the local computer
//   Timeout                   no answer in time
//   BridgeRefused             any other refusal (queue full, stopping ...)
//
// ES module, no dependencies.

export const DEFAULT_PORT = 24010;
export const MEMBERS = Object.freeze(["connect", "disconnect", "getStatus", "getSAMID", "readCert"]);

// The package's version: the module's version record W.X.Y.Z as the
// three-part W.X.(Y*1000+Z) that npm needs (2.0.2.2 is 2.0.2002).
export const VERSION = "2.0.2002";

/** A version as the package numbers it: "2.0.2.2" and "2.0.2002" both give "2.0.2002". */
export function packageVersion(version) {
  const parts = String(version).split(".");
  if (parts.length !== 4 || !parts.every((part) => /^\d+$/.test(part))) return String(version);
  const [major, minor, build, revision] = parts.map(Number);
  return `${major}.${minor}.${build * 1000 + revision}`;
}

// Every "errorMsg" the control writes, and the word a page compares instead.
// The control cannot tell a card that is missing from one it cannot read:
// both are "读卡错误", "no-card". The same table is in docs/document.md.
export const REASONS = Object.freeze({
  "": "ok",
  "读卡错误": "no-card",
  "设备未连接": "no-reader",
  "无法找到驱动": "no-driver",
  "动态库加载失败": "library",
  "动态库连接错误": "library",
  "SAM_A 没经过授权， 无法使用": "sam-unauthorised",
  "获取模块号失败": "samid-failed",
  "发生错误": "close-failed",
  "连接错误": "internal",
  "关闭错误": "internal",
  "获取模块号错误": "internal",
  "未知错误": "unknown",
});

/** The reason for a document's "errorMsg"; "unknown" for a message not in REASONS. */
export function reasonOf(errorMsg) {
  return Object.hasOwn(REASONS, errorMsg) ? REASONS[errorMsg] : "unknown";
}

/** Parses a control document and adds its `reason`. */
export function parseDocument(text) {
  const document = JSON.parse(text);
  document.reason = reasonOf(document.errorMsg);
  return document;
}

// The services whose differing version this page has already reported.
const reportedVersions = new Set();

export class BridgeError extends Error {
  constructor(message, options) {
    super(message, options);
    this.name = new.target.name;
  }
}
export class BridgeUnavailable extends BridgeError {}
export class OriginNotAllowed extends BridgeError {}
export class LoopbackPermissionNeeded extends BridgeError {
  constructor(message, state, options) {
    super(message, options);
    /** "prompt" (the browser will ask) or "denied" (the clerk refused). */
    this.state = state;
  }
}
export class Timeout extends BridgeError {}
export class BridgeRefused extends BridgeError {
  constructor(status, error, reason) {
    super(`${status} ${error}: ${reason}`);
    this.status = status;
    this.error = error;
    this.reason = reason;
  }
}

const MIN_BACKOFF_MS = 500;
const MAX_BACKOFF_MS = 10000;

// Loopback pages need no browser permission to reach the service.
function isLoopbackHost(hostname) {
  return hostname === "localhost" || hostname.endsWith(".localhost") || hostname === "[::1]" ||
    /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(hostname);
}

export class IvelcardBridge {
  /**
   * @param {{port?: number, host?: string, timeoutMs?: number}} [options]
   */
  constructor({ port = DEFAULT_PORT, host = "127.0.0.1", timeoutMs = 20000 } = {}) {
    this.port = port;
    this.host = host;
    this.timeoutMs = timeoutMs;
    this.baseUrl = `http://${host.includes(":") && !host.startsWith("[") ? `[${host}]` : host}:${port}`;
    this.#reached = this.sameOrigin;
  }

  // Whether this page has reached the service (a page served by the bridge
  // itself has): then a failure later means the service went away, not
  // that the browser keeps the page from the local computer.
  #reached = false;
  #versionChecked = false;

  /** Whether this page is served by the bridge itself (no permission needed). */
  get sameOrigin() {
    return typeof location !== "undefined" && location.origin === this.baseUrl;
  }

  /** Whether this page is on a loopback origin (no permission needed either). */
  get loopbackPage() {
    return typeof location !== "undefined" && isLoopbackHost(location.hostname);
  }

  /** The control's text for one member, exactly as the control returned it. */
  async call(member) {
    if (!MEMBERS.includes(member)) throw new TypeError(`the control has no member '${member}'`);
    return this.#post(`/v1/call/${member}`);
  }

  connect() { return this.#parsed("connect"); }
  disconnect() { return this.#parsed("disconnect"); }
  getStatus() { return this.#parsed("getStatus"); }
  getSAMID() { return this.#parsed("getSAMID"); }
  readCert() { return this.#parsed("readCert"); }

  /** connect when needed, then readCert: the parsed readCert document. */
  async readCard() {
    return parseDocument(await this.#post("/v1/read"));
  }

  /** The service's version, module, ProgID, reader kind and allowed origins. */
  async info() {
    const info = JSON.parse(await this.#request("/v1/info", { method: "GET" }));
    this.#compareVersion(info.version);
    return info;
  }

  /**
   * The browser's permission for this page to reach the local computer:
   * "granted", "prompt", "denied", or "unsupported" when the browser has no
   * such permission.
   */
  async loopbackPermission() {
    try {
      const status = await navigator.permissions.query({ name: "loopback-network" });
      return status.state;
    } catch {
      return "unsupported";
    }
  }

  /**
   * Reads the card automatically. Handlers:
   *   onCard(document, text)  once per card put on the reader
   *   onRemoved()             the card was taken off
   *   onReader(state)         the reader became "ready" or "absent"
   *   onState(state, error)   the connection: "connecting", "watching",
   *                           "disconnected" (with the error that explains it)
   * Also watch(onCard, onRemoved, {intervalMs, onState}) as before.
   * Survives restarts of the service: the WebSocket is opened again with
   * growing pauses.
   * @returns {{stop(): void}}
   */
  watch(handlers, onRemoved, options) {
    const ignore = () => {};
    const { onCard = ignore, onRemoved: removed = ignore, onReader = ignore, onState = ignore, intervalMs = 500 } =
      typeof handlers === "function" ? { ...options, onCard: handlers, onRemoved } : (handlers ?? {});
    let stopped = false;
    let socket = null;
    let backoff = MIN_BACKOFF_MS;
    let timer = null;
    const events = {
      card: (data) => onCard(parseDocument(data.document), data.document),
      removed: () => removed(),
      reader: (data) => onReader(data.state),
    };
    const open = () => {
      if (stopped) return;
      onState("connecting", null);
      socket = new WebSocket(`${this.baseUrl.replace(/^http/, "ws")}/v1/events`);
      let watching = false;
      socket.onopen = () => {
        socket.send(JSON.stringify({ id: 1, watch: true, intervalMs }));
      };
      socket.onmessage = (message) => {
        let data;
        try {
          data = JSON.parse(message.data);
        } catch {
          return;
        }
        if (data.id === 1 && data.watching) {
          watching = true;
          this.#reached = true;
          backoff = MIN_BACKOFF_MS;
          onState("watching", null);
          this.#checkVersionOnce();
        } else if (Object.hasOwn(events, data.event)) {
          events[data.event](data);
        }
      };
      socket.onclose = async () => {
        socket = null;
        if (stopped) return;
        const error = watching ? new BridgeUnavailable("the bridge closed the connection") : await this.#diagnose();
        if (stopped) return;
        onState("disconnected", error);
        timer = setTimeout(open, backoff);
        backoff = Math.min(backoff * 2, MAX_BACKOFF_MS);
      };
    };
    open();
    return {
      stop() {
        stopped = true;
        clearTimeout(timer);
        if (socket) socket.close();
      },
    };
  }

  async #parsed(member) {
    return parseDocument(await this.call(member));
  }

  // Says once on the console when the service is of another version than
  // this client.
  #compareVersion(serviceVersion) {
    this.#versionChecked = true;
    if (typeof serviceVersion !== "string" || packageVersion(serviceVersion) === VERSION) return;
    const key = `${this.baseUrl} ${serviceVersion}`;
    if (reportedVersions.has(key)) return;
    reportedVersions.add(key);
    console.warn(`ivelcard: this client is version ${VERSION}, the bridge at ${this.baseUrl} is ` +
      `${serviceVersion} (${packageVersion(serviceVersion)}); use the client of the bridge's version`);
  }

  // The first time the service answers, asks for its version.
  #checkVersionOnce() {
    if (this.#versionChecked) return;
    this.#versionChecked = true;
    this.info().catch(() => {});
  }

  #post(path) {
    return this.#request(path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: "{}",
    });
  }

  async #request(path, init) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), this.timeoutMs);
    let response;
    try {
      response = await fetch(this.baseUrl + path, { ...init, signal: controller.signal, cache: "no-store" });
    } catch (error) {
      if (controller.signal.aborted) throw new Timeout(`no answer from the bridge within ${this.timeoutMs} ms`);
      throw await this.#diagnose(error);
    } finally {
      clearTimeout(timer);
    }
    this.#reached = true;
    const text = await response.text();
    if (response.ok) {
      if (path !== "/v1/info") this.#checkVersionOnce();
      return text;
    }
    let refusal = {};
    try {
      refusal = JSON.parse(text);
    } catch {
      // not one of the service's refusals
    }
    if (refusal.error === "origin-not-allowed") throw new OriginNotAllowed(refusal.reason);
    throw new BridgeRefused(response.status, refusal.error ?? "unknown", refusal.reason ?? text);
  }

  // Why a request could not reach the service. A page cannot read a refusal
  // that lacks CORS headers, so: when an opaque request gets through, the
  // service is running and refused this origin. Otherwise, a page that has
  // reached the service before (or is served by it) sees a stopped service;
  // a page that never has asks the browser for its loopback permission:
  // "prompt" or "denied" means the browser keeps it from the service. A page
  // on a loopback origin needs no permission (Chromium answers "prompt" for
  // it all the same): it sees a stopped service.
  async #diagnose(cause) {
    try {
      await fetch(`${this.baseUrl}/v1/info`, { mode: "no-cors", cache: "no-store" });
      return new OriginNotAllowed(`the bridge does not allow ${location.origin}`, { cause });
    } catch {
      // not reachable
    }
    const state = this.#reached || this.loopbackPage ? "granted" : await this.loopbackPermission();
    if (state === "prompt" || state === "denied") {
      return new LoopbackPermissionNeeded(
        state === "prompt"
          ? "the browser must be allowed to let this page reach the local computer"
          : "the browser is set to keep this page from the local computer",
        state,
        { cause },
      );
    }
    return new BridgeUnavailable(`the bridge is not running at ${this.baseUrl}`, { cause });
  }
}

export default IvelcardBridge;
