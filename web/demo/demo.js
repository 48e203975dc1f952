// The front-desk check-in page: reads the guest's identity card through the
// bridge and fills the form. Served by the bridge itself at /demo/, it talks
// to the bridge on its own port; ?port=N names another port on 127.0.0.1
// (only a loopback port: the page takes no host), else 24010. The status
// line shows which service it talks to, the reader's state, and whether the
// service reads a virtual reader's sample card.
import {
  IvelcardBridge, BridgeUnavailable, OriginNotAllowed, LoopbackPermissionNeeded, Timeout, DEFAULT_PORT,
} from "../ivelcard.js";

const $ = (id) => document.getElementById(id);

// Served by the bridge, the page talks to it by the name it was loaded
// from; with ?port=N to 127.0.0.1 on that port; elsewhere to 127.0.0.1 on
// the default port. A ?port that is not a port is refused (the page then
// talks to no service at all).
function bridgeAddress() {
  const asked = new URLSearchParams(location.search).get("port");
  if (asked !== null) {
    const port = /^\d{1,5}$/.test(asked) ? Number(asked) : 0;
    return port >= 1 && port <= 65535 ? { port } : { port: DEFAULT_PORT, refused: asked };
  }
  const servedByBridge = location.pathname.startsWith("/demo/") && location.port !== "";
  return servedByBridge ? { host: location.hostname, port: Number(location.port) } : { port: DEFAULT_PORT };
}

const address = bridgeAddress();
const bridge = new IvelcardBridge(address);
let watcher = null;

// What the clerk is told for a read that did not give a card, by reason.
const READ_ADVICE = {
  "no-card": "未读到证件：请把身份证平放在读卡区后重试（无卡与无法读取的卡无法区分）",
  "no-reader": "读卡器未连接：请检查读卡器的连接",
  "library": "读卡组件无法加载：请联系系统管理员",
};

// What the clerk reads when something stands between the page and the card.
function explain(error) {
  if (error instanceof BridgeUnavailable) return "读卡服务未运行，请启动读卡服务（ivelcard serve）或联系系统管理员";
  if (error instanceof OriginNotAllowed) return "读卡服务不允许本页面访问，请联系系统管理员把本网站加入允许列表";
  if (error instanceof LoopbackPermissionNeeded) {
    return error.state === "denied"
      ? "浏览器已阻止本页面访问本机读卡服务，请在网站设置中允许“本地网络访问”"
      : "请在浏览器的提示中允许本页面访问本机读卡服务";
  }
  if (error instanceof Timeout) return "读卡服务长时间无响应，请检查读卡器后重试";
  return "读卡服务出错：" + (error?.message ?? String(error));
}

function setStatus(which, text, level) {
  $(`status-${which}`).textContent = text;
  if (which !== "error") $(`dot-${which}`).className = `dot ${level ?? ""}`;
}

const READER_STATES = { ready: ["就绪", "ok"], absent: ["未连接", "bad"] };
function setReader(state) {
  setStatus("reader", ...READER_STATES[state]);
}

// "running", with the service's version once it is known.
let serviceRunning = "运行中";

// A service that reads the virtual reader says so for as long as the page
// shows its cards.
let virtualReaderKnown = false;
function showVirtualReader(info) {
  virtualReaderKnown = true;
  $("status-virtual").hidden = !info.virtualReader;
}
async function learnVirtualReader() {
  if (virtualReaderKnown) return;
  try {
    showVirtualReader(await bridge.info());
  } catch {
    // the next read asks again
  }
}

function setError(text) {
  setStatus("error", text || "无");
}

function note(text, level = "") {
  $("read-note").textContent = text;
  $("read-note").className = `note ${level}`;
}

function showBridgeError(error) {
  const text = explain(error);
  setError(text);
  note(text, "bad");
  $("permission-help").hidden = !(error instanceof LoopbackPermissionNeeded);
  if (error instanceof BridgeUnavailable) setStatus("service", "未运行", "bad");
  else if (error instanceof OriginNotAllowed) setStatus("service", "拒绝本页面", "bad");
  else if (error instanceof LoopbackPermissionNeeded) setStatus("service", "待浏览器授权", "warn");
}

const dateText = (d) => (/^\d{8}$/.test(d) ? `${d.slice(0, 4)}-${d.slice(4, 6)}-${d.slice(6, 8)}` : d);
const validityText = (from, to) => {
  const dot = (d) => (/^\d{8}$/.test(d) ? `${d.slice(0, 4)}.${d.slice(4, 6)}.${d.slice(6, 8)}` : d);
  return `${dot(from)} - ${dot(to)}`;
};

function showImage(id, base64) {
  const img = $(id);
  if (base64) {
    img.src = `data:image/jpeg;base64,${base64}`;
    img.hidden = false;
  } else {
    img.removeAttribute("src");
    img.hidden = true;
  }
}

const FIELDS = [
  "cardType", "name", "englishName", "gender", "nation", "nationality", "birth", "number", "passNumber",
  "issueCount", "address", "authority", "validity",
];

// The card types by "cardType" (absent on a resident card): the name shown
// and the caption of the card number.
const CARD_TYPES = {
  resident: { name: "居民身份证", number: "公民身份号码" },
  I: { name: "外国人永久居留身份证", number: "证件号码" },
  J: { name: "港澳台居民居住证", number: "公民身份号码" },
};

// Shows the fields of the card's type (labels marked data-cards) and hides
// the others.
function showFieldsOf(type) {
  for (const label of document.querySelectorAll("[data-cards]")) {
    label.hidden = !label.dataset.cards.split(" ").includes(type);
  }
  $("number-caption").textContent = (CARD_TYPES[type] ?? CARD_TYPES.resident).number;
}

function fill(card) {
  const type = card.cardType ?? "resident";
  const known = CARD_TYPES[type];
  const values = {
    cardType: known ? known.name : `未知证件（类型 ${type}）`,
    name: card.partyName,
    englishName: card.englishName ?? "",
    gender: card.gender === 0 ? "女" : card.gender === 1 ? "男" : "",
    nation: card.nation,
    nationality: card.nationality ?? "",
    birth: dateText(card.bornDay),
    number: card.certNumber,
    passNumber: card.passNumber ?? "",
    issueCount: card.issueCount ?? "",
    address: card.certAddress,
    authority: card.certOrg,
    validity: card.effDate || card.expDate ? validityText(card.effDate, card.expDate) : "",
  };
  showFieldsOf(type);
  for (const field of FIELDS) {
    $(field).value = values[field];
    $(field).classList.add("filled");
  }
  showImage("portrait", card.identityPic);
  showImage("front", card.base64ID_PicFront);
  showImage("back", card.base64ID_PicBack);
  $("checkin").disabled = false;
}

function clear() {
  for (const field of FIELDS) {
    $(field).value = "";
    $(field).classList.remove("filled");
  }
  for (const id of ["portrait", "front", "back"]) showImage(id, "");
  showFieldsOf("resident");
  $("checkin").disabled = true;
  note("");
}

// A readCert document: the card's data, or the reader's own message.
function showDocument(doc) {
  setStatus("service", serviceRunning, "ok");
  learnVirtualReader();
  if (doc.reason === "ok" && doc.resultContent) {
    fill(doc.resultContent);
    setReader("ready");
    setError("");
    note(`已读取：${doc.resultContent.partyName}`, "ok");
    return;
  }
  if (doc.reason === "no-reader") setReader("absent");
  setError(doc.errorMsg || "读卡失败");
  note(READ_ADVICE[doc.reason] ?? `${doc.errorMsg}：请确认读卡器已连接，并把身份证平放在读卡区`, "bad");
}

async function readOnce() {
  const button = $("read");
  button.disabled = true;
  button.classList.add("busy");
  note("正在读卡…");
  try {
    showDocument(await bridge.readCard());
  } catch (error) {
    showBridgeError(error);
  } finally {
    button.disabled = false;
    button.classList.remove("busy");
  }
}

function setAuto(on) {
  if (watcher) watcher.stop();
  watcher = null;
  if (!on) {
    note("");
    return;
  }
  note("自动读卡已开启：放卡即读");
  watcher = bridge.watch({
    intervalMs: 500,
    onCard: (doc) => showDocument(doc),
    onRemoved: () => {
      note("证件已取走，可放下一张");
      setReader("ready");
    },
    onReader: (state) => {
      setReader(state);
      note(state === "absent" ? READ_ADVICE["no-reader"] : "读卡器已就绪：放卡即读", state === "absent" ? "bad" : "");
    },
    onState: (state, error) => {
      if (state === "watching") {
        setStatus("service", serviceRunning, "ok");
        setError("");
      } else if (state === "disconnected" && error) {
        showBridgeError(error);
      }
    },
  });
}

// On load, only when the browser needs no permission prompt for it: a
// prompt must follow a click of the clerk.
async function checkService() {
  const permission = bridge.sameOrigin || bridge.loopbackPage ? "granted" : await bridge.loopbackPermission();
  if (permission === "prompt" || permission === "denied") {
    setStatus("service", "点击“读卡”连接", "warn");
    return;
  }
  try {
    const info = await bridge.info();
    serviceRunning = `运行中（${info.version}）`;
    setStatus("service", serviceRunning, "ok");
    showVirtualReader(info);
    const status = await bridge.getStatus();
    if (status.status === 0) setReader("ready");
  } catch (error) {
    showBridgeError(error);
  }
}

function tick() {
  const now = new Date();
  $("clock").textContent = now.toLocaleString("zh-CN", { hour12: false, month: "2-digit", day: "2-digit", hour: "2-digit", minute: "2-digit" });
}

function init() {
  const today = new Date();
  const tomorrow = new Date(today.getTime() + 86400000);
  $("arrive").value = today.toISOString().slice(0, 10);
  $("depart").value = tomorrow.toISOString().slice(0, 10);
  $("read").addEventListener("click", readOnce);
  $("clear").addEventListener("click", clear);
  $("auto").addEventListener("change", (event) => setAuto(event.target.checked));
  $("help-close").addEventListener("click", () => ($("permission-help").hidden = true));
  $("checkin").addEventListener("click", () => note("已提交入住登记", "ok"));
  tick();
  setInterval(tick, 10000);
  if (address.refused !== undefined) {
    // Never guess another address: the page stays off until it is opened right.
    const text = `“port=${address.refused}”不是端口号：请以 ?port=端口号 打开本页`;
    setStatus("service", "端口无效", "bad");
    setError(text);
    for (const id of ["read", "auto"]) $(id).disabled = true;
    return;
  }
  $("status-address").textContent = bridge.baseUrl.replace(/^http:\/\//, "");
  checkService();
}

init();
