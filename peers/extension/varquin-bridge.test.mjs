// The extension's client against a scripted stand-in for chrome.runtime: what it sends, in what
// order, and what it does with each kind of answer. The real bridge behind a real browser is the
// Chromium end-to-end test's.
import assert from 'node:assert/strict';
import {randomBytes, webcrypto} from 'node:crypto';
import {test} from 'node:test';

import {BridgeError, chunkCapacity, downloadFilename, encodeBase64, encodeBase64Portable, ERROR_CODES, FRAME_LIMIT, VarquinBridge} from './varquin-bridge.js';

// Browsers and Node 20 have Web Crypto as a global; Node 18 only as node:crypto's webcrypto.
if (!globalThis.crypto) globalThis.crypto = webcrypto;

const ID = '0f8fad5b-d9cb-469f-a165-70867728950e';

// A runtime whose ports answer through `answer(request, portIndex)`, asynchronously as Chrome
// does: an answer object, `null` to close the port (with `lastError` set for that moment), or
// `undefined` to stay silent. It records the requests, the ports disconnected by the client and
// the most requests ever waiting for an answer.
function fakeRuntime(answer, lastError) {
  const runtime = {sent: [], hosts: [], ports: 0, disconnected: 0, waiting: 0, mostWaiting: 0};
  runtime.connectNative = (host) => {
    runtime.hosts.push(host);
    const index = runtime.ports++;
    const listeners = {message: [], disconnect: []};
    let open = true;
    return {
      onMessage: {addListener: (f) => listeners.message.push(f)},
      onDisconnect: {addListener: (f) => listeners.disconnect.push(f)},
      postMessage(request) {
        runtime.sent.push({port: index, request, frame: JSON.stringify(request).length});
        runtime.mostWaiting = Math.max(runtime.mostWaiting, ++runtime.waiting);
        const reply = answer(request, index);
        if (reply === undefined) return;
        setImmediate(() => {
          if (!open) return;
          runtime.waiting--;
          if (reply === null) {
            runtime.lastError = lastError;
            for (const f of listeners.disconnect) f();
            runtime.lastError = undefined;
          } else {
            for (const f of listeners.message) f(reply);
          }
        });
      },
      disconnect() {
        if (open) runtime.disconnected++;
        open = false;
        runtime.waiting = 0;
      },
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
const refusal = (code, retryable) => ({ok: false, code, retryable, requestId: ID});

function client(runtime, options = {}) {
  const delays = [];
  const bridge = new VarquinBridge({
    runtime,
    random: () => 1,
    baseDelay: 100,
    maxDelay: 250,
    sleep: async (ms) => void delays.push(ms),
    ...options,
  });
  return Object.assign(bridge, {delays});
}

const uploaded = (runtime) =>
    Buffer.concat(runtime.sent.filter((s) => s.request.action === 'upload_chunk')
                      .map((s) => Buffer.from(s.request.data, 'base64')));

test('every kind of bytes arrives whole, in chunks that fit a frame, in order', async (t) => {
  const bytes = new Uint8Array(randomBytes(2 * 1024 * 1024 + 5));
  const cases = [
    // [name, input, chunkSize, expected chunk count]
    ['Uint8Array', bytes, undefined, 9],
    [
      'Uint8Array at an offset', new Uint8Array([7, ...bytes.subarray(0, 1000)]).subarray(1), 300, 4
    ],
    ['ArrayBuffer', bytes.slice().buffer, 1 << 20, 3],
    ['Blob', new Blob([bytes.subarray(0, 1 << 20), bytes.subarray(1 << 20)]), undefined, 9],
    ['chunkSize above what a frame holds', bytes, 4 << 20, 3],
    ['empty', new Uint8Array(0), undefined, 0],
  ];
  for (const [name, input, chunkSize, chunks] of cases) {
    await t.test(name, async () => {
      const runtime = fakeRuntime(ok);
      const progress = [];
      const upload = client(runtime).upload(input, 'big.csv', {
        chunkSize,
        onProgress: (sent, total, id) => progress.push([sent, total, id]),
      });
      const result = await upload;
      assert.equal(result.status, 'staged_and_launched');
      const expected = new Uint8Array(input instanceof Blob ? await input.arrayBuffer() : input);
      assert.deepEqual(new Uint8Array(uploaded(runtime)), expected);
      const sent = runtime.sent.map((s) => s.request);
      assert.ok(sent.every((r) => r.requestId === upload.requestId));
      assert.equal(sent[0].expectedSize, expected.length);
      const chunkFrames = runtime.sent.filter((s) => s.request.action === 'upload_chunk');
      assert.deepEqual(chunkFrames.map((s) => s.request.sequence), [...Array(chunks).keys()]);
      assert.ok(chunkFrames.every((s) => s.frame <= FRAME_LIMIT));
      assert.deepEqual(sent.slice(-2).map((r) => r.action), ['commit_upload', 'launch_request']);
      assert.equal(progress.length, chunks);
      if (chunks)
        assert.deepEqual(progress.at(-1), [expected.length, expected.length, upload.requestId]);
      assert.equal(runtime.ports, 1);
    });
  }
});

test('anything but bytes is refused before a port opens', async (t) => {
  for (const input
           of ['text', [1, 2], null, new Uint16Array(4), new DataView(new ArrayBuffer(4))]) {
    await t.test(Object.prototype.toString.call(input), async () => {
      const runtime = fakeRuntime(ok);
      await assert.rejects(client(runtime).upload(input, 'a.csv'), TypeError);
      assert.equal(runtime.ports, 0);
    });
  }
});

test('the portable Base64 encoder writes what the platform\'s does, byte for byte', () => {
  const sizes = [0, 1, 2, 3, 4, 5, 6, 7, 255, 256, 257, 65536, 1000001];
  for (const size of sizes) {
    const bytes = new Uint8Array(randomBytes(size));
    const platform = Buffer.from(bytes).toString('base64');
    assert.equal(encodeBase64Portable(bytes), platform, `${size} bytes`);
    assert.equal(encodeBase64(bytes), platform, `${size} bytes`);
  }
});

test('a frame of any sequence number stays within the limit', () => {
  for (const sequence of [0, 9, 10, 99999, 2 ** 31]) {
    const capacity = chunkCapacity(ID, sequence);
    const data = 'A'.repeat((capacity / 3) * 4);
    const frame = JSON.stringify({
      schema: 'varquin.browser-import.v1',
      requestId: ID,
      action: 'upload_chunk',
      sequence,
      data
    });
    assert.ok(frame.length <= FRAME_LIMIT && frame.length > FRAME_LIMIT - 4, `${sequence}`);
  }
});

test(
    'no more than `window` requests wait for answers, which must name their request', async (t) => {
      const bytes = new Uint8Array(64 * 1024);
      for (const window of [1, 3, 8]) {
        await t.test(`window ${window}`, async () => {
          const runtime = fakeRuntime(ok);
          await client(runtime, {window, chunkSize: 1024}).upload(bytes, 'a.csv');
          assert.equal(runtime.mostWaiting, window);
        });
      }
      await t.test('an answer for another request', async () => {
        const runtime = fakeRuntime(
            (r) => r.action === 'upload_chunk' && r.sequence === 2 ? {...ok(r), requestId: 'x'} :
                                                                     ok(r));
        await assert.rejects(
            client(runtime).upload(bytes, 'a.csv', {chunkSize: 1024, requestId: ID}),
            (e) => e.code === 'unexpected_answer' && e.requestId === ID);
        assert.ok(!runtime.sent.some((s) => s.request.action === 'commit_upload'));
        assert.equal(runtime.disconnected, 1);
      });
    });

test('failures are retried by code, on a fresh port, with capped jittered backoff', async (t) => {
  const cases = [
    // [name, refusal on the first attempts, attempts it fails, expected outcome, ports used]
    ['lock_timeout clears', refusal('lock_timeout', true), 2, 'staged_and_launched', 3],
    ['lock_timeout persists', refusal('lock_timeout', true), 99, 'lock_timeout', 5],
    ['capacity_exceeded at once', refusal('capacity_exceeded', true), 99, 'capacity_exceeded', 1],
    ['not retryable', refusal('staging_failed', false), 99, 'staging_failed', 1],
    ['unknown retryable code', refusal('something_new', true), 99, 'something_new', 1],
    ['the host exits, once', null, 1, 'staged_and_launched', 2],
    ['the host exits, again', null, 99, 'host_exited', 2],
  ];
  for (const [name, failure, failing, outcome, ports] of cases) {
    await t.test(name, async () => {
      const runtime = fakeRuntime(
          (request, port) =>
              request.action === 'commit_upload' && port < failing ? failure : ok(request),
          {message: 'Native host has exited.'});
      const bridge = client(runtime);
      const upload = bridge.upload(new Uint8Array(10), 'a.csv', {requestId: ID});
      if (outcome === 'staged_and_launched') {
        assert.equal((await upload).status, outcome);
      } else {
        await assert.rejects(
            upload, (e) => e instanceof BridgeError && e.code === outcome && e.requestId === ID);
      }
      assert.equal(runtime.ports, ports);
      assert.deepEqual(bridge.delays, [100, 200, 250, 250].slice(0, ports - 1));
    });
  }
});

test('a closed port says why, from Chrome\'s message', async (t) => {
  const cases = [
    ['Specified native messaging host not found.', 'host_not_installed', 1],
    ['Access to the specified native messaging host is forbidden.', 'host_forbidden', 1],
    ['Error when communicating with the native messaging host.', 'host_exited', 2],
  ];
  for (const [reason, code, ports] of cases) {
    await t.test(code, async () => {
      const runtime = fakeRuntime(() => null, {message: reason});
      await assert.rejects(
          client(runtime).ping(ID),
          (e) => e.code === code && e.message.includes(reason) && e.requestId === ID);
      assert.equal(runtime.ports, ports);
      assert.ok(ERROR_CODES.includes(code) && Object.isFrozen(ERROR_CODES));
    });
  }
});

test(
    'a silent host, an abort and an aborted signal close the port with their own codes',
    async (t) => {
      const bytes = new Uint8Array(8192);
      const cases = [
        // [name, the host answers request, options, code]
        [
          'silent host', (r) => r.action === 'commit_upload' ? undefined : ok(r), {timeout: 50},
          'timeout'
        ],
        ['abort mid-upload', ok, {abortAt: 3}, 'aborted'],
        ['aborted before', ok, {abortAt: 0}, 'aborted'],
      ];
      for (const [name, answer, {timeout, abortAt}, code] of cases) {
        await t.test(name, async () => {
          const controller = new AbortController();
          if (abortAt === 0) controller.abort();
          const runtime = fakeRuntime((r) => {
            if (abortAt !== undefined && r.sequence === abortAt)
              queueMicrotask(() => controller.abort());
            return answer(r);
          });
          const upload = client(runtime).upload(
              bytes, 'a.csv', {timeout, signal: controller.signal, chunkSize: 1024, window: 1});
          await assert.rejects(upload, (e) => e.code === code && e.requestId === upload.requestId);
          assert.equal(runtime.disconnected, runtime.ports);
          assert.equal(runtime.ports, abortAt === 0 ? 0 : 1);
          if (code === 'aborted') {
            assert.ok(!runtime.sent.some((s) => s.request.action === 'commit_upload'));
          }
        });
      }
    });

test('answers that are not the expected one are refused, not taken for success', async () => {
  const runtime = fakeRuntime((request) => ({ok: true, status: 'pong', requestId: ID}));
  await assert.rejects(
      client(runtime).stageDownload(`/d/Varquin Inbox/${ID}/a.csv`, 'a.csv'),
      (error) => error.code === 'unexpected_answer' && !error.retryable);
});

test('the download road and launch name their request', async () => {
  assert.equal(downloadFilename(ID, 'r.dta'), `Varquin Inbox/${ID}/r.dta`);
  const runtime = fakeRuntime(ok);
  const bridge = client(runtime, {hostName: 'com.example.other'});
  await bridge.stageDownload(`/Users/a/Downloads/Varquin Inbox/${ID}/r.dta`, 'r.dta');
  await bridge.cleanupDownloadContainer(`/Users/a/Downloads/Varquin Inbox/${ID}/`);
  await bridge.launch(ID);
  assert.deepEqual(
      runtime.sent.map((s) => [s.request.action, s.request.requestId]),
      [['stage_download', ID], ['cleanup_download_container', ID], ['launch_request', ID]]);
  assert.deepEqual(new Set(runtime.hosts), new Set(['com.example.other']));
});
