// The front-desk check-in page: reads the guest's identity card through the
// bridge and fills the form. Served by the bridge itself at /demo/, it talks
// to the bridge on its own port; elsewhere it takes ?port=N (else 24010).
import {
  IvelcardBridge, BridgeUnavailable, OriginNotAllowed, LoopbackPermissionNeeded, Timeout, DEFAULT_PORT,
} from "../ivelcard.js";

const $ = (id) => document.getElementById(id);

// Served by the bridge, the page talks to it by the name it was loaded
// from; elsewhere to 127.0.0.1 on ?port=N, else on the default port.
function bridgeAddress() {
  const asked = new URLSearchParams(location.search).get("port");
  if (asked) return { port: Number(asked) };
  const servedByBridge = location.pathname.startsWith("/demo/") && location.port !== "";
  return servedByBridge ? { host: location.hostname, port: Number(location.port) } : { port: DEFAULT_PORT };
}

const bridge = new IvelcardBridge(bridgeAddress());
let watcher = null;

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
  setStatus("service", "运行中", "ok");
  if (doc.resultFlag === 0 && doc.resultContent) {
    fill(doc.resultContent);
    setStatus("reader", "就绪", "ok");
    setError("");
    note(`已读取：${doc.resultContent.partyName}`, "ok");
    return;
  }
  const message = doc.errorMsg || "读卡失败";
  if (message === "设备未连接") setStatus("reader", "未连接", "bad");
  setError(message);
  note(`${message}：请确认读卡器已连接，并把身份证平放在读卡区`, "bad");
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
  watcher = bridge.watch(
    (doc) => showDocument(doc),
    () => {
      note("证件已取走，可放下一张");
      setStatus("reader", "就绪", "ok");
    },
    {
      intervalMs: 500,
      onState: (state, error) => {
        if (state === "watching") {
          setStatus("service", "运行中", "ok");
          setError("");
        } else if (state === "disconnected" && error) {
          showBridgeError(error);
        }
      },
    },
  );
}

// On load, only when the browser needs no permission prompt for it: a
// prompt must follow a click of the clerk.
async function checkService() {
  const permission = bridge.sameOrigin ? "granted" : await bridge.loopbackPermission();
  if (permission === "prompt" || permission === "denied") {
    setStatus("service", "点击“读卡”连接", "warn");
    return;
  }
  try {
    const info = await bridge.info();
    setStatus("service", `运行中（${info.version}${info.virtualReader ? "，虚拟读卡器" : ""}）`, "ok");
    const status = await bridge.getStatus();
    if (status.status === 0) setStatus("reader", "就绪", "ok");
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
  checkService();
}

init();
