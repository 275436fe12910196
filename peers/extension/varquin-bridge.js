// The Varquin extension's side of the bridge, for its MV3 service worker: one native-messaging
// port per hand-over, answers taken strictly in request order, uploads cut into the largest chunks
// a bridge frame holds, and retries by the bridge's code table. No dependencies.
//
//   import {VarquinBridge} from './varquin-bridge.js';
//   const bridge = new VarquinBridge();
//   const result = await bridge.upload(bytes, 'report.csv', {onProgress: (sent, total) => {}});

export const HOST_NAME = 'com.varquin.browser_bridge';
export const SCHEMA = 'varquin.browser-import.v1';
export const SOURCE = 'gmail';
/** The largest request frame the bridge reads, in bytes of JSON. */
export const FRAME_LIMIT = 1048576;
/** The largest attachment the bridge stages. */
export const ATTACHMENT_LIMIT = 67108864;

/**
 * How often each retryable code is tried again, with capped exponential backoff and jitter.
 * Codes not listed (and every code the bridge marks not retryable) are never retried:
 * "capacity_exceeded" waits for the desktop app to take imports over, "cleanup_failed" for the
 * download directory to be emptied, which the caller knows about and this module does not.
 * @type {Readonly<Record<string, number>>}
 */
export const RETRIES = Object.freeze({
  lock_timeout: 4,
  staging_failed: 2,
  request_missing: 2,
  internal_error: 1,
  app_launch_failed: 1,
});

/** A failure of the bridge or of the connection to it. */
export class BridgeError extends Error {
  /**
   * @param {string} message
   * @param {string} code  the bridge's code, or "host_unavailable" when the port closed
   * @param {boolean} retryable  the bridge's verdict
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

/** The file name to give chrome.downloads so that the bridge accepts the file. */
export function downloadFilename(requestId, name) { return `Varquin Inbox/${requestId}/${name}`; }

/** A fresh request ID (a UUID in canonical form). */
export function newRequestId() { return crypto.randomUUID(); }

/**
 * The most raw bytes one upload_chunk frame can carry: the frame is the JSON of the message, and
 * Base64 turns 3 bytes into 4 characters that need no escaping.
 */
export function chunkCapacity(requestId, sequence) {
  const envelope = JSON.stringify(message('upload_chunk', requestId, {sequence, data: ''}));
  return Math.floor((FRAME_LIMIT - envelope.length) / 4) * 3;
}

function message(action, requestId, fields) {
  return {schema: SCHEMA, requestId, action, ...fields};
}

function base64(bytes) {
  let text = '';
  for (let at = 0; at < bytes.length; at += 0x8000) {
    text += String.fromCharCode.apply(null, bytes.subarray(at, at + 0x8000));
  }
  return btoa(text);
}

const defaultSleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** One connectNative port: requests answered strictly in the order they were sent. */
export class NativePort {
  constructor(runtime = globalThis.chrome.runtime, hostName = HOST_NAME) {
    this.runtime = runtime;
    this.pending = [];
    this.closed = null;
    this.port = runtime.connectNative(hostName);
    this.port.onMessage.addListener((answer) => {
      const waiter = this.pending.shift();
      if (waiter) waiter.resolve(answer);
    });
    this.port.onDisconnect.addListener(() => {
      const reason = runtime.lastError ? runtime.lastError.message : 'the bridge went away';
      // Not the bridge's verdict: usually it is not installed for this browser, or it crashed.
      this.closed = new BridgeError(
          `Varquin bridge unavailable: ${reason}`, 'host_unavailable', false, undefined);
      for (const waiter of this.pending.splice(0)) waiter.reject(this.closed);
    });
  }

  /** Sends one request; resolves with its answer, rejects when the port closes first. */
  send(request) {
    if (this.closed) return Promise.reject(this.closed);
    return new Promise((resolve, reject) => {
      this.pending.push({resolve, reject});
      this.port.postMessage(request);
    });
  }

  close() {
    if (!this.closed) this.port.disconnect();
  }
}

/** The extension's client of the bridge. */
export class VarquinBridge {
  /**
   * @param {{runtime?: object, sleep?: (ms: number) => Promise<void>, random?: () => number,
   *          baseDelay?: number, maxDelay?: number,
   *          onRetry?: (error: BridgeError, attempt: number, delay: number) => void}} [options]
   *   `runtime` defaults to chrome.runtime; delays are in milliseconds; `onRetry` hears of each
   *   failure about to be retried.
   */
  constructor(options = {}) {
    this.runtime = options.runtime || globalThis.chrome.runtime;
    this.sleep = options.sleep || defaultSleep;
    this.random = options.random || Math.random;
    this.baseDelay = options.baseDelay ?? 200;
    this.maxDelay = options.maxDelay ?? 3000;
    this.onRetry = options.onRetry || (() => {});
  }

  /** Pings the bridge. */
  ping(requestId = newRequestId()) {
    return this.#once((port) => this.#expect(port, message('ping', requestId), 'pong'));
  }

  /**
   * Uploads `bytes` (a Uint8Array) as `name`, then launches the desktop app on it. Resolves with
   * {status: "staged_and_launched" | "already_finalized", reused}.
   * @param {Uint8Array} bytes
   * @param {string} name
   * @param {{requestId?: string, onProgress?: (sent: number, total: number) => void}} [options]
   */
  upload(bytes, name, options = {}) {
    const requestId = options.requestId || newRequestId();
    return this.#once(async (port) => {
      const fields = {source: SOURCE, originalName: name, expectedSize: bytes.length};
      await this.#expect(port, message('begin_upload', requestId, fields), 'upload_ready');
      let sent = 0;
      for (let sequence = 0; sent < bytes.length; sequence++) {
        const end = Math.min(bytes.length, sent + chunkCapacity(requestId, sequence));
        const data = base64(bytes.subarray(sent, end));
        await this.#expect(
            port, message('upload_chunk', requestId, {sequence, data}), 'chunk_accepted');
        sent = end;
        if (options.onProgress) options.onProgress(sent, bytes.length);
      }
      const committed = await this.#expect(
          port, message('commit_upload', requestId), 'staged', 'already_finalized');
      if (committed.status === 'already_finalized') return committed;
      return this.#expect(
          port, message('launch_request', requestId), 'staged_and_launched', 'already_finalized');
    });
  }

  /** Stages the file the browser downloaded to `path` and launches the desktop app on it. */
  stageDownload(path, name, requestId) {
    const id = requestId || requestIdOf(path);
    return this.#once(
        (port) => this.#expect(
            port,
            message('stage_download', id, {source: SOURCE, filePath: path, originalName: name}),
            'staged_and_launched', 'already_finalized'));
  }

  /**
   * Removes the emptied "Varquin Inbox/<request ID>" directory. Fails with "cleanup_failed" while
   * it still holds a file: call again once the download is gone.
   */
  cleanupDownloadContainer(directory, requestId) {
    const id = requestId || directory.split('/').filter(Boolean).pop();
    return this.#once(
        (port) => this.#expect(
            port, message('cleanup_download_container', id, {requestDirectoryPath: directory}),
            'download_container_cleaned'));
  }

  // Runs `work` on a port of its own, again after a retryable failure as RETRIES allows.
  async #once(work) {
    for (let attempt = 0;; attempt++) {
      const port = new NativePort(this.runtime);
      try {
        return await work(port);
      } catch (error) {
        if (!(error instanceof BridgeError) || !error.retryable ||
            attempt >= (RETRIES[error.code] ?? 0)) {
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

  // Full jitter: a random wait up to the capped exponential bound.
  #delay(attempt) {
    return Math.floor(this.random() * Math.min(this.maxDelay, this.baseDelay * 2 ** attempt));
  }

  async #expect(port, request, ...statuses) {
    const answer = await port.send(request);
    if (answer && answer.ok && statuses.includes(answer.status)) return answer;
    if (answer && answer.ok === false) {
      throw new BridgeError(
          `Varquin bridge refused ${request.action}: ${answer.code}`, answer.code,
          answer.retryable === true, answer.requestId);
    }
    throw new BridgeError(
        `Varquin bridge answered ${request.action} with ${JSON.stringify(answer)}`,
        'unexpected_answer', false, request.requestId);
  }
}

// The request ID a managed download's path names: ".../Varquin Inbox/<id>/<name>".
function requestIdOf(path) {
  const parts = path.split('/').filter(Boolean);
  return parts[parts.length - 2];
}
