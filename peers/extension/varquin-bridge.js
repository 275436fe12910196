// The Varquin extension's side of the bridge, for its MV3 service worker: one native-messaging
// port per hand-over, a bounded window of requests in flight whose answers are taken in order and
// matched by request ID, uploads read slice by slice and cut into chunks of a measured size, a
// watchdog and an AbortSignal on every call, and retries by the bridge's code table. No
// dependencies.
//
//   import {VarquinBridge} from './varquin-bridge.js';
//   const bridge = new VarquinBridge();
//   const upload = bridge.upload(blob, 'report.csv', {onProgress: (sent, total) => {}});
//   remember(upload.requestId);  // known before the first byte is sent
//   const result = await upload;

export const HOST_NAME = 'com.varquin.browser_bridge';
export const SCHEMA = 'varquin.browser-import.v1';
export const SOURCE = 'gmail';
/** The largest request frame the bridge reads, in bytes of JSON. */
export const FRAME_LIMIT = 1048576;
/** The largest attachment the bridge stages. */
export const ATTACHMENT_LIMIT = 67108864;
/**
 * Raw bytes per upload_chunk. Chromium's cost per message grows much faster than the message
 * (bench/README.md has the measurement), so a quarter of what a frame holds is faster than all of
 * it.
 */
export const DEFAULT_CHUNK_SIZE = 262144;
/**
 * Requests sent ahead of their answers: enough to keep the bridge busy, few enough to bound
 * memory.
 */
export const DEFAULT_WINDOW = 4;
/** Milliseconds the bridge may stay silent while a request waits for its answer. */
export const DEFAULT_TIMEOUT = 30000;

/**
 * Every code a BridgeError carries: the bridge's own, then this module's.
 * @type {readonly string[]}
 */
export const ERROR_CODES = Object.freeze([
  // The bridge's answers.
  'invalid_request',
  'invalid_file',
  'file_too_large',
  'attachment_size_mismatch',
  'staging_failed',
  'request_conflict',
  'request_missing',
  'capacity_exceeded',
  'lock_timeout',
  'cleanup_failed',
  'config_missing',
  'config_invalid',
  'forbidden_origin',
  'app_launch_failed',
  'internal_error',
  // The connection and this module.
  'host_not_installed',
  'host_forbidden',
  'host_exited',
  'timeout',
  'aborted',
  'unexpected_answer',
]);

/**
 * How often each retryable code is tried again, with capped exponential backoff and jitter.
 * Codes not listed (and every code marked not retryable) are never retried: "capacity_exceeded"
 * waits for the desktop app to take imports over, "cleanup_failed" for the download directory to
 * be emptied, "timeout" for a host that answers again; the caller knows about those, this module
 * does not.
 * @type {Readonly<Record<string, number>>}
 */
export const RETRIES = Object.freeze({
  lock_timeout: 4,
  staging_failed: 2,
  request_missing: 2,
  internal_error: 1,
  app_launch_failed: 1,
  host_exited: 1,
});

/** A failure of the bridge, of the connection to it, or of the call. */
export class BridgeError extends Error {
  /**
   * @param {string} message
   * @param {string} code  one of ERROR_CODES
   * @param {boolean} retryable  whether the same call may succeed later
   * @param {string|undefined} requestId
   */
  constructor(message, code, retryable, requestId) {
    super(message);
    this.name = 'BridgeError';
    this.code = code;
    this.retryable = retryable;
    this.requestId = requestId;
  }
}

/**
 * The file name to give chrome.downloads so that the bridge accepts the file.
 * @param {string} requestId
 * @param {string} name
 */
export function downloadFilename(requestId, name) { return `Varquin Inbox/${requestId}/${name}`; }

/** A fresh request ID (a UUID in canonical form). */
export function newRequestId() { return crypto.randomUUID(); }

/**
 * @typedef {{schema: string, requestId: string, action: string, [field: string]: unknown}}
 * BridgeRequest
 * @typedef {{ok: boolean, requestId?: string, status?: string, reused?: boolean, code?: string,
 *            retryable?: boolean}} BridgeAnswer
 */

/**
 * @param {string} action
 * @param {string} requestId
 * @param {Record<string, unknown>} [fields]
 * @returns {BridgeRequest}
 */
function message(action, requestId, fields) {
  return {schema: SCHEMA, requestId, action, ...fields};
}

/**
 * The most raw bytes one upload_chunk frame can carry: the frame is the JSON of the message, and
 * Base64 turns 3 bytes into 4 characters that need no escaping.
 * @param {string} requestId
 * @param {number} sequence
 */
export function chunkCapacity(requestId, sequence) {
  const envelope = JSON.stringify(message('upload_chunk', requestId, {sequence, data: ''}));
  return Math.floor((FRAME_LIMIT - envelope.length) / 4) * 3;
}

const ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
// Two Base64 characters per 12 bits, as one 16-bit code unit pair in memory order.
const PAIRS = new Uint16Array(4096);
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;
for (let i = 0; i < 4096; i++) {
  const high = ALPHABET.charCodeAt(i >> 6), low = ALPHABET.charCodeAt(i & 63);
  PAIRS[i] = LITTLE_ENDIAN ? high | (low << 8) : (high << 8) | low;
}
const ascii = new TextDecoder('latin1');

/**
 * Base64 (RFC 4648, padded) without the platform's encoder: pairs of characters from a table
 * into one buffer, turned into a string once. The tests hold it to the platform's byte for byte.
 * @param {Uint8Array} bytes
 * @returns {string}
 */
export function encodeBase64Portable(bytes) {
  const out = new Uint8Array(Math.ceil(bytes.length / 3) * 4);
  const pairs = new Uint16Array(out.buffer);
  const whole = bytes.length - (bytes.length % 3);
  let at = 0;
  for (let i = 0; i < whole; i += 3) {
    const v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    pairs[at++] = PAIRS[v >>> 12];
    pairs[at++] = PAIRS[v & 4095];
  }
  if (whole < bytes.length) {
    const two = bytes.length - whole === 2;
    const v = (bytes[whole] << 16) | (two ? bytes[whole + 1] << 8 : 0);
    const o = at * 2;
    out[o] = ALPHABET.charCodeAt(v >>> 18);
    out[o + 1] = ALPHABET.charCodeAt((v >>> 12) & 63);
    out[o + 2] = two ? ALPHABET.charCodeAt((v >>> 6) & 63) : 61;
    out[o + 3] = 61;
  }
  return ascii.decode(out);
}

/** @type {((this: Uint8Array) => string) | undefined} */
const nativeToBase64 = /** @type {any} */ (Uint8Array.prototype).toBase64;

/**
 * Base64 of `bytes` by the fastest encoder here: the platform's Uint8Array.prototype.toBase64
 * (Chromium 140 and later), else the portable one.
 * @param {Uint8Array} bytes
 */
export function encodeBase64(bytes) {
  return nativeToBase64 ? nativeToBase64.call(bytes) : encodeBase64Portable(bytes);
}

// What closing a port without an answer means, from Chrome's message in runtime.lastError.
/** @param {string} reason */
function disconnectCode(reason) {
  if (/not found/i.test(reason)) return 'host_not_installed';
  if (/forbidden/i.test(reason)) return 'host_forbidden';
  return 'host_exited';
}

/**
 * The part of chrome.runtime this module uses.
 * @typedef {{connectNative(hostName: string): NativePortLike,
 *            lastError?: {message?: string} | undefined}} NativeRuntime
 * @typedef {{postMessage(message: unknown): void, disconnect(): void,
 *            onMessage: {addListener(listener: (message: any) => void): void},
 *            onDisconnect: {addListener(listener: () => void): void}}} NativePortLike
 * @typedef {{resolve: (answer: BridgeAnswer) => void, reject: (error: BridgeError) => void,
 *            request: BridgeRequest}} Waiter
 */

/**
 * One connectNative port: answers are taken in the order the requests were sent and must carry
 * their request's ID. A watchdog closes the port when the host stays silent for `timeout`
 * milliseconds while an answer is due; `signal` closes it when aborted.
 */
export class NativePort {
  /**
   * @param {NativeRuntime} runtime
   * @param {string} [hostName]
   * @param {{timeout?: number, signal?: AbortSignal}} [options]
   */
  constructor(runtime, hostName = HOST_NAME, options = {}) {
    this.runtime = runtime;
    this.timeout = options.timeout ?? DEFAULT_TIMEOUT;
    /** @type {Waiter[]} */
    this.pending = [];
    /** @type {BridgeError | null} */
    this.closed = null;
    /** @type {ReturnType<typeof setTimeout> | undefined} */
    this.timer = undefined;
    this.signal = options.signal;
    this.onAbort = () => this.fail('The call was aborted', 'aborted', false);
    this.port = runtime.connectNative(hostName);
    this.port.onMessage.addListener((answer) => this.#answer(answer));
    this.port.onDisconnect.addListener(() => {
      const reason = (runtime.lastError && runtime.lastError.message) || 'the bridge went away';
      const code = disconnectCode(reason);
      this.#close(new BridgeError(
          `Varquin bridge unavailable: ${reason}`, code, code === 'host_exited', undefined));
    });
    if (this.signal) this.signal.addEventListener('abort', this.onAbort);
  }

  /**
   * Sends one request; resolves with its answer, rejects when the port closes first.
   * @param {BridgeRequest} request
   * @returns {Promise<BridgeAnswer>}
   */
  send(request) {
    if (this.closed) return Promise.reject(this.closed);
    /** @type {Promise<BridgeAnswer>} */
    const answer = new Promise((resolve, reject) => {
      this.pending.push({resolve, reject, request});
      if (this.timer === undefined) this.#arm();
      this.port.postMessage(request);
    });
    // The caller awaits answers in order; a failure before then is no unhandled rejection.
    answer.catch(() => {});
    return answer;
  }

  /**
   * Closes the port, failing what is still pending with this error.
   * @param {string} text
   * @param {string} code
   * @param {boolean} retryable
   */
  fail(text, code, retryable) {
    if (this.closed) return;
    const requestId = this.pending.length ? this.pending[0].request.requestId : undefined;
    this.#close(new BridgeError(text, code, retryable, requestId));
    this.port.disconnect();
  }

  close() {
    if (this.closed) return;
    this.#close(new BridgeError('The port was closed', 'aborted', false, undefined));
    this.port.disconnect();
  }

  /** @param {any} answer */
  #answer(answer) {
    const waiter = this.pending.shift();
    if (!waiter) return;
    clearTimeout(this.timer);
    this.timer = undefined;
    if (this.pending.length) this.#arm();
    const id = answer && answer.requestId;
    // A refusal of an unreadable frame has no request ID; any other answer names its request.
    if (answer && typeof answer === 'object' &&
        (id === waiter.request.requestId || (id === undefined && answer.ok === false))) {
      waiter.resolve(answer);
    } else {
      this.fail(
          `Varquin bridge answered ${waiter.request.action} for another request: ` +
              JSON.stringify(answer),
          'unexpected_answer', false);
      waiter.reject(/** @type {BridgeError} */ (this.closed));
    }
  }

  #arm() {
    this.timer = setTimeout(
        () => this.fail(`Varquin bridge did not answer within ${this.timeout} ms`, 'timeout', true),
        this.timeout);
  }

  /** @param {BridgeError} error */
  #close(error) {
    this.closed = error;
    clearTimeout(this.timer);
    this.timer = undefined;
    if (this.signal) this.signal.removeEventListener('abort', this.onAbort);
    for (const waiter of this.pending.splice(0)) {
      if (error.requestId === undefined) error.requestId = waiter.request.requestId;
      waiter.reject(error);
    }
  }
}

/**
 * An upload's bytes, read front to back, one chunk at a time, by a reader opened per attempt.
 * @typedef {{read(start: number, end: number): Promise<Uint8Array> | Uint8Array,
 *            close(): void}} Reader
 * @typedef {{size: number, open(): Reader}} Source
 */

/**
 * A Blob read through its stream: one data pipe for the whole upload, where a slice per chunk
 * costs a round trip to the browser process each; never more than a chunk and a piece of the
 * stream in memory.
 * @param {Blob} blob
 * @returns {Reader}
 */
function blobReader(blob) {
  const stream = blob.stream().getReader();
  let piece = new Uint8Array(0);
  let at = 0;
  return {
    async read(start, end) {
      const chunk = new Uint8Array(end - start);
      for (let filled = 0; filled < chunk.length;) {
        if (at === piece.length) {
          const {value, done} = await stream.read();
          if (done) throw new Error('The Blob ended before its size');
          piece = value;
          at = 0;
        }
        const n = Math.min(chunk.length - filled, piece.length - at);
        chunk.set(piece.subarray(at, at + n), filled);
        filled += n;
        at += n;
      }
      return chunk;
    },
    close() { stream.cancel().catch(() => {}); },
  };
}

/**
 * @param {unknown} bytes
 * @returns {Source}
 */
function sourceOf(bytes) {
  /** @param {Uint8Array} view @returns {Source} */
  const ofView = (view) => ({
    size: view.length,
    open: () => ({read: (start, end) => view.subarray(start, end), close() {}}),
  });
  if (bytes instanceof Uint8Array) return ofView(bytes);
  if (bytes instanceof ArrayBuffer) return ofView(new Uint8Array(bytes));
  if (typeof Blob !== 'undefined' && bytes instanceof Blob) {
    return {size: bytes.size, open: () => blobReader(bytes)};
  }
  throw new TypeError('upload() takes a Uint8Array, an ArrayBuffer or a Blob');
}

/**
 * @typedef {{signal?: AbortSignal, timeout?: number}} CallOptions
 * @typedef {CallOptions & {requestId?: string}} RequestOptions
 * @typedef {RequestOptions & {chunkSize?: number, window?: number,
 *            onProgress?: (sent: number, total: number, requestId: string) => void}}
 * UploadOptions
 * @typedef {{ok: true, status: string, reused?: boolean, requestId: string}} BridgeResult
 * @typedef {Promise<BridgeResult> & {requestId: string}} UploadPromise
 */

/**
 * A call's request ID (given alone, or in the options; else `fallback()`) and its other options.
 * @param {string | RequestOptions} options
 * @param {() => string} fallback
 * @returns {{requestId: string, call: CallOptions}}
 */
function callOf(options, fallback) {
  const {requestId = fallback(), ...call} =
      typeof options === 'string' ? {requestId: options} : options;
  return {requestId, call};
}

const defaultSleep = (/** @type {number} */ ms) =>
    new Promise((resolve) => setTimeout(resolve, ms));

/** The extension's client of the bridge. */
export class VarquinBridge {
  /**
   * @param {{runtime?: NativeRuntime, hostName?: string, chunkSize?: number, window?: number,
   *          timeout?: number, sleep?: (ms: number) => Promise<void>, random?: () => number,
   *          baseDelay?: number, maxDelay?: number,
   *          onRetry?: (error: BridgeError, attempt: number, delay: number) => void}} [options]
   *   `runtime` defaults to chrome.runtime; times are in milliseconds; `onRetry` hears of each
   *   failure about to be retried.
   */
  constructor(options = {}) {
    /** @type {NativeRuntime} */
    this.runtime = options.runtime || /** @type {any} */ (globalThis).chrome.runtime;
    this.hostName = options.hostName || HOST_NAME;
    this.chunkSize = options.chunkSize ?? DEFAULT_CHUNK_SIZE;
    this.window = options.window ?? DEFAULT_WINDOW;
    this.timeout = options.timeout ?? DEFAULT_TIMEOUT;
    this.sleep = options.sleep || defaultSleep;
    this.random = options.random || Math.random;
    this.baseDelay = options.baseDelay ?? 200;
    this.maxDelay = options.maxDelay ?? 3000;
    this.onRetry = options.onRetry || (() => {});
  }

  /**
   * Pings the bridge: {status: "pong"}.
   * @param {string | RequestOptions} [options]  a request ID, or options
   * @returns {Promise<BridgeResult>}
   */
  ping(options = {}) {
    const {requestId, call} = callOf(options, newRequestId);
    return this.#once(call, requestId, (port) => ask(port, message('ping', requestId), 'pong'));
  }

  /**
   * Uploads `bytes` as `name`, then launches the desktop app on it. Resolves with
   * {status: "staged_and_launched" | "already_finalized", reused, requestId}. The returned
   * promise carries the request ID at once (`.requestId`), for `launch` or a resumed upload
   * after the worker was stopped.
   * @param {Uint8Array | ArrayBuffer | Blob} bytes
   * @param {string} name
   * @param {UploadOptions} [options]
   * @returns {UploadPromise}
   */
  upload(bytes, name, options = {}) {
    const requestId = options.requestId || newRequestId();
    const result = /** @type {UploadPromise} */ ((async () => {
      const source = sourceOf(bytes);
      if (typeof name !== 'string') throw new TypeError('upload() needs a file name');
      if (source.size > ATTACHMENT_LIMIT) {
        throw new BridgeError(
            'The attachment exceeds Varquin\'s 64 MiB limit', 'file_too_large', false, requestId);
      }
      return this.#once(
          options, requestId, (port) => this.#upload(port, source, name, requestId, options));
    })());
    result.requestId = requestId;
    return result;
  }

  /**
   * Launches the desktop app on an upload that was committed ("staged") but not launched, e.g.
   * when the worker was stopped in between.
   * @param {string} requestId
   * @param {CallOptions} [options]
   * @returns {Promise<BridgeResult>}
   */
  launch(requestId, options = {}) {
    return this.#once(
        options, requestId, (port) => launchOn(port, requestId),
        (code) => code !== 'request_missing');
  }

  /**
   * Stages the file the browser downloaded to `path` and launches the desktop app on it.
   * @param {string} path
   * @param {string} name
   * @param {string | RequestOptions} [options]  the request ID (by default the path's directory
   *   name), or options
   * @returns {Promise<BridgeResult>}
   */
  stageDownload(path, name, options = {}) {
    const {requestId, call} = callOf(options, () => requestIdOf(path));
    return this.#once(
        call, requestId,
        (port) => ask(
            port,
            message(
                'stage_download', requestId, {source: SOURCE, filePath: path, originalName: name}),
            'staged_and_launched', 'already_finalized'));
  }

  /**
   * Removes the emptied "Varquin Inbox/<request ID>" directory. Fails with "cleanup_failed" while
   * it still holds a file: call again once the download is gone.
   * @param {string} directory
   * @param {string | RequestOptions} [options]
   * @returns {Promise<BridgeResult>}
   */
  cleanupDownloadContainer(directory, options = {}) {
    const {requestId, call} =
        callOf(options, () => directory.split('/').filter(Boolean).pop() || '');
    return this.#once(
        call, requestId,
        (port) =>
            ask(port,
                message('cleanup_download_container', requestId, {requestDirectoryPath: directory}),
                'download_container_cleaned'));
  }

  /**
   * begin_upload, the chunks and commit_upload with up to `window` requests in flight, then
   * launch_request.
   * @param {NativePort} port
   * @param {Source} source
   * @param {string} name
   * @param {string} requestId
   * @param {UploadOptions} options
   */
  async #upload(port, source, name, requestId, options) {
    const total = source.size;
    const window = Math.max(1, Math.floor(options.window ?? this.window));
    const wanted = Math.max(1, Math.floor(options.chunkSize ?? this.chunkSize));
    /** @type {{answer: Promise<BridgeResult>, end: number}[]} */
    const inFlight = [];
    let accepted = 0;
    const settleOldest = async () => {
      const oldest = /** @type {{answer: Promise<BridgeResult>, end: number}} */ (inFlight.shift());
      const answer = await oldest.answer;
      if (oldest.end !== accepted && options.onProgress) {
        options.onProgress(oldest.end, total, requestId);
      }
      accepted = oldest.end;
      return answer;
    };
    /** @param {Promise<BridgeResult>} answer @param {number} end */
    const track = (answer, end) => {
      answer.catch(() => {});  // awaited in order below; until then a failure is no unhandled one
      inFlight.push({answer, end});
    };
    const fields = {source: SOURCE, originalName: name, expectedSize: total};
    track(ask(port, message('begin_upload', requestId, fields), 'upload_ready'), 0);
    /** @param {number} sequence @param {number} start */
    const endOf = (sequence, start) =>
        Math.min(total, start + Math.min(wanted, chunkCapacity(requestId, sequence)));
    // Reads run ahead of the sending by `window` chunks, one after another, so that a Blob's
    // stream keeps flowing while chunks are encoded and posted.
    const reader = source.open();
    /** @type {Promise<Uint8Array>[]} */
    const reads = [];
    let queued = Promise.resolve();
    let readSequence = 0, readEnd = 0;  // the next chunk to read
    const readAhead = () => {
      while (reads.length < window && readEnd < total) {
        const start = readEnd, end = endOf(readSequence++, start);
        const read = queued.then(() => reader.read(start, end));
        read.catch(() => {});  // awaited in its round, unless the upload failed before
        queued = read.then(() => {}, () => {});
        reads.push(read);
        readEnd = end;
      }
    };
    try {
      for (let sequence = 0, sent = 0; sent < total; sequence++) {
        readAhead();
        const bytes = await /** @type {Promise<Uint8Array>} */ (reads.shift());
        if (port.closed) throw port.closed;
        const end = sent + bytes.length;
        const data = encodeBase64(bytes);
        while (inFlight.length >= window) await settleOldest();
        track(
            ask(port, message('upload_chunk', requestId, {sequence, data}), 'chunk_accepted'), end);
        sent = end;
      }
    } finally {
      reader.close();
    }
    while (inFlight.length >= window) await settleOldest();
    track(ask(port, message('commit_upload', requestId), 'staged', 'already_finalized'), total);
    let committed = null;
    while (inFlight.length) committed = await settleOldest();
    if (!committed || committed.status === 'already_finalized') return committed;
    return launchOn(port, requestId);
  }

  /**
   * Runs `work` on a port of its own, again after a retryable failure as RETRIES allows.
   * @template T
   * @param {CallOptions} options
   * @param {string} requestId  named in every error of the call
   * @param {(port: NativePort) => Promise<T>} work
   * @param {(code: string) => boolean} [retries]  which codes this call may retry
   * @returns {Promise<T>}
   */
  async #once(options, requestId, work, retries = () => true) {
    const signal = options.signal;
    for (let attempt = 0;; attempt++) {
      if (signal && signal.aborted) {
        throw new BridgeError('The call was aborted', 'aborted', false, requestId);
      }
      const port = new NativePort(
          this.runtime, this.hostName, {timeout: options.timeout ?? this.timeout, signal});
      try {
        return await work(port);
      } catch (error) {
        if (error instanceof BridgeError) error.requestId = requestId;
        if (!(error instanceof BridgeError) || !error.retryable || !retries(error.code) ||
            attempt >= (RETRIES[error.code] ?? 0) || (signal && signal.aborted)) {
          throw error;
        }
        const delay = this.#delay(attempt);
        this.onRetry(error, attempt + 1, delay);
        await this.sleep(delay);
      } finally {
        port.close();
      }
    }
  }

  /**
   * Full jitter: a random wait up to the capped exponential bound.
   * @param {number} attempt
   */
  #delay(attempt) {
    return Math.floor(this.random() * Math.min(this.maxDelay, this.baseDelay * 2 ** attempt));
  }
}

/**
 * @param {NativePort} port
 * @param {string} requestId
 */
function launchOn(port, requestId) {
  return ask(
      port, message('launch_request', requestId), 'staged_and_launched', 'already_finalized');
}

/**
 * Sends `request`; its answer when it is a success with one of `statuses`, a BridgeError
 * otherwise.
 * @param {NativePort} port
 * @param {BridgeRequest} request
 * @param {...string} statuses
 * @returns {Promise<BridgeResult>}
 */
async function ask(port, request, ...statuses) {
  const answer = await port.send(request);
  const requestId = request.requestId;
  if (answer.ok === true && statuses.includes(/** @type {string} */ (answer.status))) {
    return {
      ok: true,
      status: /** @type {string} */ (answer.status),
      reused: answer.reused,
      requestId
    };
  }
  if (answer.ok === false && typeof answer.code === 'string') {
    throw new BridgeError(
        `Varquin bridge refused ${request.action}: ${answer.code}`, answer.code,
        answer.retryable === true, requestId);
  }
  throw new BridgeError(
      `Varquin bridge answered ${request.action} with ${JSON.stringify(answer)}`,
      'unexpected_answer', false, requestId);
}

/**
 * The request ID a managed download's path names: ".../Varquin Inbox/<id>/<name>".
 * @param {string} path
 */
function requestIdOf(path) {
  const parts = path.split('/').filter(Boolean);
  return parts[parts.length - 2] || '';
}
