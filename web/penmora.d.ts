// Types of penmora.js, the client of the Penmora service, which drives a USB
// signature pad and a fingerprint reader for a web page over WebSocket.
//
// The client runs in a web browser: these types use the DOM library's
// WebSocket, Blob and AbortSignal, so a project that checks them needs "DOM"
// in its tsconfig "lib" (the default when "lib" is not set).

/** The service's address on this machine: "ws://127.0.0.1:10001". */
export const DEFAULT_URL: string;

/** The bytes of the service's Base64 text (which comes without "=" padding). */
export function base64ToBytes(text: string): Uint8Array;

/** The service's Base64 text as a PNG Blob. */
export function base64ToPngBlob(text: string): Blob;

/**
 * One pen sample: `t` the milliseconds since the signing session started,
 * `x`, `y` and `pressure` the pad's raw values (x 10206 is the full width,
 * y 7422 the full height of the pad's 600 x 400 plane; pressure 0 lifts the pen).
 */
export interface PenSample {
  t: number;
  x: number;
  y: number;
  pressure: number;
}

/** The record of a signature ("TavoSignData"): its samples since the start or the last Clear. */
export interface PenRecord {
  /** The version of the record's form: 1. */
  version: number;
  /** When the signing session started. */
  start: Date;
  /** The raw x of the plane's full width: 10206. */
  xMax: number;
  /** The raw y of the plane's full height: 7422. */
  yMax: number;
  /** The plane the raw values span: 600 x 400. */
  plane: { width: number; height: number };
  /** The signature's picture, the plane's top rows: 600 x 355. */
  canvas: { width: number; height: number };
  /** True when the record reached its bound (ten minutes of samples) and dropped the rest. */
  cut: boolean;
  samples: PenSample[];
}

/** The samples of a "TavoPenData" message's text; throws when it is malformed. */
export function parsePenSamples(text: string): PenSample[];

/** The record of a "TavoSignData" message's text; throws when it is malformed. */
export function parsePenRecord(text: string): PenRecord;

/** Why a call ended without its image. */
export type PenmoraErrorCode =
  /** The signer pressed Cancel ("TavoCancel"). */
  | 'cancelled'
  /** The pad could not start ("TavoError"); `serviceText` holds the service's words. */
  | 'start-failed'
  /**
   * The service does not trust this page ("TavoDenied"): a site that neither
   * IT nor the person at the desk allowed, one the person blocked, a page of
   * another user of the computer or of another host. The message and
   * `serviceText` hold the service's words, which name the site and say how
   * to allow it.
   */
  | 'denied'
  /** The connection ended, or there was none, or the page was left during the call. */
  | 'closed'
  /** Another call started, closeSign() was called, or the call's AbortSignal fired. */
  | 'superseded'
  /** No image within `timeoutMs` of the call's start; the client sent "TavoCloseSign". */
  | 'timeout'
  /**
   * connect(): the service did not answer at the address. The message says
   * what the page can tell: not running (where nothing stood in the way), or
   * not running or not allowed by the browser, and that a public page must
   * be https.
   */
  | 'unreachable'
  /**
   * connect(): the browser did not let this page reach this computer (Local
   * Network Access denied); the message says how to allow it. Also when the
   * person blocked the browser's prompt, or gave it no answer within
   * `promptTimeoutMs`.
   */
  | 'blocked'
  /** No WebSocket in this environment (Node before 22): the client needs a browser. */
  | 'unsupported'
  /**
   * The service refused the evidence request ("TavoEvidenceError"): a member
   * was bad; `serviceText` names it and says why. Nothing was started.
   */
  | 'evidence-refused';

export class PenmoraError extends Error {
  constructor(code: PenmoraErrorCode, message: string,
              options?: { cause?: unknown; serviceText?: string | undefined });
  readonly name: 'PenmoraError';
  readonly code: PenmoraErrorCode;
  /** For 'start-failed' and 'denied': the text of the service's message. */
  readonly serviceText?: string;
}

/** What a call resolves with: the image as a PNG Blob and as the service's Base64 text. */
export interface PenmoraImage {
  png: Blob;
  base64: string;
}

/** Options every call takes; a member that is undefined counts as absent. */
export interface CallOptions {
  /**
   * The call's deadline, in milliseconds from its start: when no image has
   * arrived by then (whatever else the pad sent), it rejects with 'timeout'
   * and sends "TavoCloseSign". No deadline when absent.
   */
  timeoutMs?: number | undefined;
  /** Aborting ends the call as closeSign() does: 'superseded', and "TavoCloseSign" is sent. */
  signal?: AbortSignal | undefined;
}

export interface PenDataOptions {
  /** Ask for the pen's samples: live to `onPen`, and the record in the result's `penData`. */
  penData?: boolean | undefined;
  /** Gets each live batch of samples while the signer writes; implies `penData`. */
  onPen?: ((samples: PenSample[]) => void) | undefined;
}

/** What sealed evidence is asked for with. */
export interface EvidenceRequest {
  /**
   * The recipient's public key: a WebCrypto CryptoKey (RSA of 2048 bits or
   * more, or EC P-256), or its SubjectPublicKeyInfo as PEM or Base64 DER.
   */
  sealTo: CryptoKey | string;
  /** The document: its bytes (hashed with WebCrypto) or its SHA-256 in hex. */
  document?: ArrayBuffer | ArrayBufferView | Blob | string | undefined;
  /** The signer's name, at most 1,024 characters. */
  who?: string | undefined;
  /** The reason for signing, at most 1,024 characters. */
  why?: string | undefined;
}

/** The members evidenceMembers() makes, for startSign() and startSignFinger(). */
export interface EvidenceMembers {
  sealto: string;
  document?: string;
  who?: string;
  why?: string;
}

export function evidenceMembers(request: EvidenceRequest): Promise<EvidenceMembers>;

export interface SignOptions extends CallOptions, PenDataOptions {
  /** Scales the pen's pressure into pixels; 3 when absent. */
  penWidth?: number | undefined;
  /**
   * Ask for sealed evidence: the pen record bound to the document, readable
   * only with `sealTo`'s private key; in the result's `evidence`.
   */
  evidence?: EvidenceRequest | undefined;
}

/** What sign() and signWithFingerprint() resolve with. */
export interface PenmoraSignature extends PenmoraImage {
  /**
   * With `penData`: the signature's record (null when the service sent none);
   * absent otherwise.
   */
  penData?: PenRecord | null;
  /**
   * With `evidence`: the sealed evidence, a compact JWE (null when the service
   * sent none); absent otherwise.
   */
  evidence?: string | null;
}

export interface FingerprintOptions extends CallOptions {
  /** The score a fingerprint image must exceed, 0 to 300; 50 when absent. */
  quality?: number | undefined;
}

export interface SignWithFingerprintOptions extends SignOptions, FingerprintOptions {}

export interface ConnectOptions {
  /** Connect again whenever an open connection ends, until close() is called. */
  reconnect?: boolean | undefined;
  /** The wait before the first reconnection attempt, doubled after each failure; 500 ms. */
  reconnectDelayMs?: number | undefined;
  /** The longest wait between attempts; 10 000 ms. */
  maxReconnectDelayMs?: number | undefined;
  /**
   * Where the browser holds the connection while it asks the person (Firefox's
   * Local Network Access prompt): how long to wait for their answer before
   * connect() rejects with 'blocked'; 60 000 ms.
   */
  promptTimeoutMs?: number | undefined;
  /**
   * Called once the browser holds the connection for its prompt, with a
   * sentence the page can show ("choose Allow in the browser's prompt");
   * the same as the 'prompt' event, for connect(url, options).
   */
  onPrompt?: ((text: string) => void) | null | undefined;
}

export interface IsRunningOptions {
  /** How long to wait for the service's answer; 2000 ms. */
  timeoutMs?: number | undefined;
}

/**
 * Whether the browser lets this page reach the service on this computer
 * (Local Network Access): its permission's state, 'granted' on a page served
 * from the loopback address, 'unknown' where the browser gives no answer.
 */
export type LocalAccess = 'granted' | 'prompt' | 'denied' | 'unknown';

/** What Penmora.check() found, for a page's banner. */
export interface ServiceCheck {
  /**
   * true: the service answered. false: it did not, although nothing stood in
   * the way (install or start it). null: the page cannot tell (the browser's
   * permission is not given, or it gives no answer).
   */
  running: boolean | null;
  access: LocalAccess;
}

export interface CloseInfo {
  code: number;
  reason: string;
  wasClean: boolean;
}

/** The events and the arguments of their handlers. */
export interface PenmoraEvents {
  /** Connected (also after each reconnection). */
  open: () => void;
  /** The connection ended. */
  close: (info: CloseInfo) => void;
  /**
   * The browser holds the connection until the person answers its prompt;
   * the text says so, for the page to show. connect() then resolves or
   * rejects with 'blocked'.
   */
  prompt: (text: string) => void;
  /** Connected again after `attempts` attempts (with `reconnect: true`). */
  reconnect: (attempts: number) => void;
  /** A command went out. */
  sent: (text: string) => void;
  /** A message came in, with its parsed JSON or null. */
  message: (text: string, object: unknown) => void;
  /** "TavoClear": the signer pressed Clear. */
  clear: () => void;
  /** "TavoOK": the signer confirmed. */
  ok: () => void;
  /** "TavoCancel": the signer pressed Cancel. */
  cancel: () => void;
  /**
   * "TavoUnSign": OK with nothing drawn; the signer may still sign. The text is
   * the service's "请确认是否签字" ("please confirm whether you have signed").
   */
  unsign: (text: string) => void;
  /** "TavoError": the pad could not start; the text is "开始签字失败" ("starting the signature failed"). */
  error: (text: string) => void;
  /**
   * "TavoDenied": the service does not trust this page and did nothing; the
   * text names the site and says how to allow it (Chinese and English).
   */
  denied: (text: string) => void;
  /** "TavoSignBase64". */
  signature: (png: Blob, base64: string) => void;
  /** "TavoFingerBase64". */
  fingerprint: (png: Blob, base64: string) => void;
  /** "TavoSignFBase64": the signature and the fingerprint in one image. */
  signatureWithFingerprint: (png: Blob, base64: string) => void;
  /** Any other message, with its parsed JSON or null. */
  unknown: (text: string, object: unknown) => void;
  /** "TavoPenData": samples as the signer writes (when pen data was asked for). */
  pen: (samples: PenSample[], text: string) => void;
  /** "TavoSignData": the signature's record, before its image. */
  signData: (record: PenRecord, text: string) => void;
  /** "TavoSignEvidence": the sealed evidence (a compact JWE), before the image. */
  signEvidence: (jwe: string) => void;
  /** "TavoEvidenceError": the evidence request was refused; nothing started. */
  evidenceError: (text: string) => void;
}

export type PenmoraEvent = keyof PenmoraEvents;

export class Penmora {
  #private;
  constructor(url?: string, options?: ConnectOptions);

  /**
   * True when the service answers at `url` within `timeoutMs`, false when it
   * does not. A client of this page connected to the same service (127.0.0.1,
   * localhost or [::1], same port) answers without a probe. Rejects only with
   * 'unsupported', where there is no WebSocket.
   */
  static isRunning(url?: string, options?: IsRunningOptions): Promise<boolean>;

  /**
   * For a page's banner, "install the service" or "allow access in your
   * browser". A secure page whose permission is still to be asked gets
   * `running: null` without a probe, which would raise the browser's prompt;
   * a probe that the browser holds for its prompt gives `running: null` and
   * `access: 'prompt'` too.
   * Rejects only with 'unsupported', where there is no WebSocket.
   */
  static check(url?: string, options?: IsRunningOptions): Promise<ServiceCheck>;

  /** The service's address. */
  readonly url: string;
  readonly connected: boolean;

  on<E extends PenmoraEvent>(event: E, handler: PenmoraEvents[E]): this;
  off<E extends PenmoraEvent>(event: E, handler: PenmoraEvents[E]): this;

  /**
   * Resolves once connected; rejects with a PenmoraError: 'blocked' when the
   * browser does not let the page reach this computer (or its prompt was
   * blocked, or not answered within `promptTimeoutMs`: see the 'prompt' event), 'unreachable' when the
   * service does not answer, 'unsupported' without WebSocket.
   */
  connect(): Promise<this>;
  /** Closes the connection and ends any reconnection. */
  close(): void;
  /** Sends one command; throws when not connected. */
  send(typeName: string, message?: Record<string, string>): void;

  /** A signature, resolving when the signer confirms it. */
  sign(options?: SignOptions): Promise<PenmoraSignature>;
  /**
   * A signature and then a fingerprint, resolving with the combined image. A
   * capture that fails sends nothing to the page: give it a `timeoutMs`.
   */
  signWithFingerprint(options?: SignWithFingerprintOptions): Promise<PenmoraSignature>;
  /** A fingerprint alone; like signWithFingerprint, best with a `timeoutMs`. */
  fingerprint(options?: FingerprintOptions): Promise<PenmoraImage>;

  /** "TavoStartSign"; with `penData` the 'pen' and 'signData' events come too. */
  startSign(penWidth?: number, options?: { penData?: boolean | undefined;
                                           evidence?: EvidenceMembers | undefined }): void;
  /** "TavoStartSignFinger"; with `penData` the 'pen' and 'signData' events come too. */
  startSignFinger(penWidth?: number, quality?: number,
                  options?: { penData?: boolean | undefined;
                              evidence?: EvidenceMembers | undefined }): void;
  /** "TavoStartFinger". */
  startFinger(quality?: number): void;
  /** "TavoCloseSign": ends the pad session; a call in flight rejects with 'superseded'. */
  closeSign(): void;
  /** "TavoCloseSocket": the service closes its newest connection (with `reconnect`, it comes back). */
  closeSocket(): void;
}

/** A connected client. */
export function connect(url?: string, options?: ConnectOptions): Promise<Penmora>;
