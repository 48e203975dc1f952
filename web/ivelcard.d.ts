// Type declarations of ivelcard.js, the browser client of the Ivelcard bridge.

export declare const DEFAULT_PORT: 24010;
export declare const MEMBERS: readonly ["connect", "disconnect", "getStatus", "getSAMID", "readCert"];
export type Member = (typeof MEMBERS)[number];

/** Every document has these two members; "resultFlag" 0 is success. */
export interface ResultDocument {
  resultFlag: number;
  errorMsg: string;
}
export interface StatusDocument extends ResultDocument {
  /** 0 when the reader's security module is ready. */
  status: number;
}
export interface SamIdDocument extends ResultDocument {
  samid: string;
}
export interface CardContent {
  /**
   * The holder's name; on a foreign permanent resident card the Chinese
   * name, or the English name when the Chinese name is blank.
   */
  partyName: string;
  /** 1 male, 0 female; -1 on a card whose type is not known ("cardType" a letter other than "I" and "J"). */
  gender: number;
  nation: string;
  bornDay: string;
  certAddress: string;
  certNumber: string;
  certOrg: string;
  effDate: string;
  expDate: string;
  /** Base64 JPEG, 102 x 126. */
  identityPic: string;
  /** Base64 JPEG, 340 x 214. */
  base64ID_PicFront: string;
  /** Base64 JPEG, 340 x 214. */
  base64ID_PicBack: string;
  /**
   * Absent on a resident identity card. "I": a foreign permanent resident
   * card; "J": a residence permit for Hong Kong, Macao and Taiwan residents
   * ("nation" empty on both, and "certAddress" on "I"). Any other letter: a
   * card whose layout is not known — every text empty, "gender" -1, only the
   * portrait, no faces.
   */
  cardType?: string;
  /** "I" only: the English name (surname and given names). */
  englishName?: string;
  /** "I" only: the Chinese name, may be empty. */
  chineseName?: string;
  /** "I" only: the nationality, three letters (e.g. "GBR"). */
  nationality?: string;
  /** "I" only: the card version, two characters. */
  cardVersion?: string;
  /** "J" only: the number of the holder's travel permit. */
  passNumber?: string;
  /** "J" only: how many times the permit was issued, two digits. */
  issueCount?: string;
}
export interface CardDocument extends ResultDocument {
  /** Present only when the card was read. */
  resultContent?: CardContent;
}
export interface BridgeInfo {
  service: string;
  version: string;
  module: string;
  progId: string;
  virtualReader: boolean;
  allowOrigins: string[];
}

export declare class BridgeError extends Error {}
/** The service is not running (or not on that port). */
export declare class BridgeUnavailable extends BridgeError {}
/** The service runs but does not allow this page's origin. */
export declare class OriginNotAllowed extends BridgeError {}
/** The browser has not allowed this page to reach the local computer. */
export declare class LoopbackPermissionNeeded extends BridgeError {
  readonly state: "prompt" | "denied";
}
/** No answer in time. */
export declare class Timeout extends BridgeError {}
/** Any other refusal of the service (queue full, stopping, ...). */
export declare class BridgeRefused extends BridgeError {
  readonly status: number;
  readonly error: string;
  readonly reason: string;
}

export type WatchState = "connecting" | "watching" | "disconnected";
export interface WatchOptions {
  /** How often the service tries to read (at least 200 ms). */
  intervalMs?: number;
  onState?: (state: WatchState, error: BridgeError | null) => void;
}
export interface Watch {
  stop(): void;
}

export declare class IvelcardBridge {
  constructor(options?: { port?: number; host?: string; timeoutMs?: number });
  readonly port: number;
  readonly host: string;
  readonly baseUrl: string;
  /** Whether this page is served by the bridge itself. */
  readonly sameOrigin: boolean;
  timeoutMs: number;

  /** The control's exact text for the member. */
  call(member: Member): Promise<string>;
  connect(): Promise<ResultDocument>;
  disconnect(): Promise<ResultDocument>;
  getStatus(): Promise<StatusDocument>;
  getSAMID(): Promise<SamIdDocument>;
  readCert(): Promise<CardDocument>;
  /** connect when needed, then readCert. */
  readCard(): Promise<CardDocument>;
  info(): Promise<BridgeInfo>;
  loopbackPermission(): Promise<PermissionState | "unsupported">;
  watch(onCard: (document: CardDocument, text: string) => void, onRemoved: () => void, options?: WatchOptions): Watch;
}

export default IvelcardBridge;
