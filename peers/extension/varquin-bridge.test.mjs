// The extension's client against a scripted stand-in for chrome.runtime: what it sends, in what
// order, and what it does with each kind of answer. The real bridge behind a real browser is the
// Chromium end-to-end test's.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {BridgeError, chunkCapacity, downloadFilename, FRAME_LIMIT, VarquinBridge} from './varquin-bridge.js';

const ID = '0f8fad5b-d9cb-469f-a165-70867728950e';
const SCHEMA = 'varquin.browser-import.v1';

// A runtime whose every port answers through `answer(request, portIndex)`, asynchronously as
// Chrome does; `null` closes the port instead, with `lastError` set for that moment.
function fakeRuntime(answer, lastError) {
  const runtime = {sent: [], ports: 0, lastError: undefined};
  runtime.connectNative = () => {
    const index = runtime.ports++;
    const listeners = {message: [], disconnect: []};
    return {
      onMessage: {addListener: (f) => listeners.message.push(f)},
      onDisconnect: {addListener: (f) => listeners.disconnect.push(f)},
      postMessage(request) {
        runtime.sent.push({port: index, request, frame: JSON.stringify(request).length});
        const reply = answer(request, index);
        queueMicrotask(() => {
          if (reply === null) {
            runtime.lastError = lastError;
            for (const f of listeners.disconnect) f();
            runtime.lastError = undefined;
          } else {
            for (const f of listeners.message) f(reply);
          }
        });
      },
      disconnect() {},
    };
  };
  return runtime;
}

const statusOf = {
  ping: 'pong',
  begin_upload: 'upload_ready',
  upload_chunk: 'chunk_accepted',
  commit_upload: 'staged',
  launch_request: 'staged_and_launched',
  stage_download: 'staged_and_launched',
  cleanup_download_container: 'download_container_cleaned',
};
const ok = (request) =>
    ({ok: true, status: statusOf[request.action], requestId: request.requestId});
const refusal = (code, retryable) => ({ok: false, code, retryable, requestId: ID, message: code});

function client(runtime, delays = []) {
  return new VarquinBridge({
    runtime,
    random: () => 1,
    baseDelay: 100,
    maxDelay: 250,
    sleep: async (ms) => void delays.push(ms),
  });
}

test('an upload is cut into the largest chunks whose frames fit, sent in order', async () => {
  const bytes = new Uint8Array(2 * 1024 * 1024 + 5).map((_, i) => (i * 7) & 0xff);
  const runtime = fakeRuntime(ok);
  const progress = [];
  const result = await client(runtime).upload(bytes, 'big.csv', {
    requestId: ID,
    onProgress: (sent, total) => progress.push([sent, total]),
  });

  assert.equal(result.status, 'staged_and_launched');
  const actions = runtime.sent.map((s) => s.request.action);
  assert.deepEqual(actions, [
    'begin_upload', 'upload_chunk', 'upload_chunk', 'upload_chunk', 'commit_upload',
    'launch_request'
  ]);
  const chunks = runtime.sent.filter((s) => s.request.action === 'upload_chunk');
  assert.deepEqual(chunks.map((s) => s.request.sequence), [0, 1, 2]);
  for (const s of chunks) assert.ok(s.frame <= FRAME_LIMIT, `frame of ${s.frame} bytes`);
  // Full chunks leave less than one Base64 quantum of the frame unused.
  assert.ok(chunks[0].frame > FRAME_LIMIT - 4);
  const joined = Buffer.concat(chunks.map((s) => Buffer.from(s.request.data, 'base64')));
  assert.deepEqual(new Uint8Array(joined), bytes);
  assert.deepEqual(progress.map(([, total]) => total), [bytes.length, bytes.length, bytes.length]);
  assert.deepEqual(progress.at(-1), [bytes.length, bytes.length]);
  assert.equal(runtime.ports, 1);
});

test('a frame of any sequence number stays within the limit', () => {
  for (const sequence of [0, 9, 10, 99999, 2 ** 31]) {
    const data = 'A'.repeat((chunkCapacity(ID, sequence) / 3) * 4);
    const chunk = {schema: SCHEMA, requestId: ID, action: 'upload_chunk', sequence, data};
    const frame = JSON.stringify(chunk).length;
    assert.ok(frame <= FRAME_LIMIT && frame > FRAME_LIMIT - 4, `sequence ${sequence}: ${frame}`);
  }
});

test('failures are retried by code, on a fresh port, with capped jittered backoff', async (t) => {
  const cases = [
    // [name, refusal on the first attempts, attempts it fails, expected outcome, ports used]
    ['lock_timeout clears', refusal('lock_timeout', true), 2, 'staged_and_launched', 3],
    ['lock_timeout persists', refusal('lock_timeout', true), 99, 'lock_timeout', 5],
    ['capacity_exceeded at once', refusal('capacity_exceeded', true), 99, 'capacity_exceeded', 1],
    ['not retryable', refusal('staging_failed', false), 99, 'staging_failed', 1],
    ['unknown retryable code', refusal('something_new', true), 99, 'something_new', 1],
  ];
  for (const [name, failure, failing, outcome, ports] of cases) {
    await t.test(name, async () => {
      const runtime = fakeRuntime(
          (request, port) =>
              request.action === 'commit_upload' && port < failing ? failure : ok(request));
      const delays = [];
      const upload = client(runtime, delays).upload(new Uint8Array(10), 'a.csv', {requestId: ID});
      if (outcome === 'staged_and_launched') {
        assert.equal((await upload).status, outcome);
      } else {
        await assert.rejects(
            upload,
            (error) => error instanceof BridgeError && error.code === outcome &&
                error.retryable === failure.retryable && error.requestId === ID);
      }
      assert.equal(runtime.ports, ports);
      assert.deepEqual(delays, [100, 200, 250, 250].slice(0, ports - 1));
    });
  }
});

test('a closed port is a clear error carrying Chrome\'s reason', async () => {
  const runtime = fakeRuntime(() => null, {message: 'Specified native messaging host not found.'});
  await assert.rejects(
      client(runtime).ping(ID),
      (error) => error.code === 'host_unavailable' && /host not found/.test(error.message));
});

test('answers that are not the expected one are refused, not taken for success', async () => {
  const runtime = fakeRuntime((request) => ({ok: true, status: 'pong', requestId: ID}));
  await assert.rejects(
      client(runtime).stageDownload(`/d/Varquin Inbox/${ID}/a.csv`, 'a.csv'),
      (error) => error.code === 'unexpected_answer' && !error.retryable);
  assert.equal(runtime.sent[0].request.requestId, ID);
});

test('the download road names its files and directories by the request ID', async () => {
  assert.equal(downloadFilename(ID, 'r.dta'), `Varquin Inbox/${ID}/r.dta`);
  const runtime = fakeRuntime(ok);
  const bridge = client(runtime);
  await bridge.stageDownload(`/Users/a/Downloads/Varquin Inbox/${ID}/r.dta`, 'r.dta');
  await bridge.cleanupDownloadContainer(`/Users/a/Downloads/Varquin Inbox/${ID}/`);
  assert.deepEqual(
      runtime.sent.map((s) => [s.request.action, s.request.requestId]),
      [['stage_download', ID], ['cleanup_download_container', ID]]);
});
