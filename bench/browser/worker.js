// The benchmark's side in the browser: times uploads and downloads through the extension's client
// module against the real bridge and against a host that only answers (Chromium's own floor), and
// asks the bench's control host to time the same frames written straight to the bridge, run after
// run. Reports on the console, where varquin-browser-bench reads it. The bench copies
// peers/extension/varquin-bridge.js and its parameters beside this file.
import P from './params.js';
import {chunkCapacity, DEFAULT_CHUNK_SIZE, DEFAULT_WINDOW, encodeBase64, encodeBase64Portable, NativePort, SCHEMA, VarquinBridge} from './varquin-bridge.js';

function report(tag, value) { console.log('VARQUIN_BENCH ' + tag + ' ' + JSON.stringify(value)); }

// One port to the control host for the whole run; its answers come in order.
class Control {
  constructor() {
    this.waiting = [];
    this.port = chrome.runtime.connectNative('com.varquin.bench_control');
    this.port.onMessage.addListener((answer) => this.waiting.shift().resolve(answer));
    this.port.onDisconnect.addListener(() => {
      const reason = chrome.runtime.lastError ? chrome.runtime.lastError.message : 'closed';
      for (const w of this.waiting.splice(0)) w.reject(new Error('control host: ' + reason));
    });
  }

  async ask(request) {
    const answer = await new Promise((resolve, reject) => {
      this.waiting.push({resolve, reject});
      this.port.postMessage(request);
    });
    if (!answer.ok) throw new Error('control host: ' + answer.error);
    return answer;
  }
}

const bridge = new VarquinBridge();
const floor = new VarquinBridge({hostName: 'com.varquin.bench_floor'});

async function seconds(work) {
  const start = performance.now();
  await work();
  return (performance.now() - start) / 1000;
}

// Base64 of the same bytes by each encoder, 256 KiB at a time as the module encodes them, in MB/s;
// the module's former encoder for comparison.
function encoders(bytes) {
  const oldEncoder = (b) => {
    let text = '';
    for (let at = 0; at < b.length; at += 0x8000) {
      text += String.fromCharCode.apply(null, b.subarray(at, at + 0x8000));
    }
    return btoa(text);
  };
  const chunks = [];
  for (let at = 0; at < bytes.length; at += DEFAULT_CHUNK_SIZE) {
    chunks.push(bytes.subarray(at, at + DEFAULT_CHUNK_SIZE));
  }
  const expected = chunks.map(encodeBase64Portable);
  const rates = {};
  for (const [name, encode] of [
           ['toBase64', encodeBase64], ['portable', encodeBase64Portable],
           ['String.fromCharCode + btoa', oldEncoder]]) {
    let best = Infinity;
    for (let i = 0; i < 5; i++) {
      const start = performance.now();
      const texts = chunks.map(encode);
      best = Math.min(best, performance.now() - start);
      if (texts.some((text, c) => text !== expected[c])) {
        throw new Error(name + ' differs from the portable encoder');
      }
    }
    rates[name] = bytes.length / 1e3 / best;
  }
  return rates;
}

// Wall time of `work`, and the CPU time Chromium and the hosts it started spent on it, read once
// the host has ended and Chromium has reaped it.
async function measured(control, work) {
  const before = (await control.ask({op: 'cpu'})).cpu;
  const wall = await seconds(work);
  await new Promise((resolve) => setTimeout(resolve, 300));
  return {wall, cpu: (await control.ask({op: 'cpu'})).cpu - before};
}

// The module's upload messages for the payload, encoded beforehand.
async function uploadMessages(payload) {
  const bytes = new Uint8Array(await payload.arrayBuffer());
  const requestId = crypto.randomUUID();
  const message = (action, fields) => ({schema: SCHEMA, requestId, action, ...fields});
  const messages = [message(
      'begin_upload', {source: 'gmail', originalName: 'report.csv', expectedSize: bytes.length})];
  for (let sequence = 0, at = 0; at < bytes.length; sequence++) {
    const end = Math.min(
        bytes.length, at + Math.min(DEFAULT_CHUNK_SIZE, chunkCapacity(requestId, sequence)));
    messages.push(message('upload_chunk', {sequence, data: encodeBase64(bytes.subarray(at, end))}));
    at = end;
  }
  messages.push(message('commit_upload'), message('launch_request'));
  return messages;
}

// The messages alone posted to the host that only answers, as the module posts them: what
// Chromium by itself costs for them.
async function postAll(messages) {
  const port = new NativePort(chrome.runtime, 'com.varquin.bench_floor');
  const inFlight = [];
  for (const message of messages) {
    if (inFlight.length >= DEFAULT_WINDOW) await inFlight.shift();
    inFlight.push(port.send(message));
  }
  await Promise.all(inFlight);
  port.close();
}

async function roads(control, payload) {
  const road = () => ({module: [], direct: [], floor: [], chromium: []});
  const up = road(), down = road();
  const messages = await uploadMessages(payload);
  const direct = async (request) => {
    const answer = await control.ask(request);
    return {wall: answer.seconds, cpu: answer.cpu};
  };
  const download = async () => (await control.ask({op: 'prepare-download'})).path;
  for (let run = 0; run < P.runs; run++) {
    await control.ask({op: 'clear'});
    up.module.push(await measured(control, () => bridge.upload(payload, 'report.csv')));
    await control.ask({op: 'clear'});
    up.direct.push(await direct({op: 'direct-upload', chunkSize: DEFAULT_CHUNK_SIZE}));
    up.floor.push(await measured(control, () => floor.upload(payload, 'report.csv')));
    up.chromium.push(await measured(control, () => postAll(messages)));

    await control.ask({op: 'clear'});
    let path = await download();
    down.module.push(await measured(control, () => bridge.stageDownload(path, 'report.csv')));
    await control.ask({op: 'clear'});
    path = await download();
    down.direct.push(await direct({op: 'direct-download', path}));
    path = await download();
    down.floor.push(await measured(control, () => floor.stageDownload(path, 'report.csv')));
    report(
        'progress', {run: run + 1, of: P.runs, upload: up.module.at(-1), direct: up.direct.at(-1)});
  }
  return {upload: up, download: down};
}

// The renderer's peak RSS above idle while the Blob goes up (the control host reads and resets
// the extension process's high-water mark).
async function memory(control, payload) {
  await control.ask({op: 'clear'});
  globalThis.gc();  // idle is what the worker holds, not garbage of earlier work
  const idle = await control.ask({op: 'mark'});
  if (!idle.supported) return {supported: false};
  await bridge.upload(payload, 'report.csv');
  const peak = await control.ask({op: 'peak'});
  return {supported: true, idle: idle.rss, peak: peak.hwm, processes: idle.processes};
}

// Chromium's own cost per message: the same upload_chunk text posted to the host that only
// answers, `window` at a time, in ms per message and MB/s of Base64 text.
async function messageCost(length, window) {
  const data = 'A'.repeat(length);
  const count = Math.max(8, Math.round((32 << 20) / length));
  const port = new NativePort(chrome.runtime, 'com.varquin.bench_floor');
  const requestId = crypto.randomUUID();
  const start = performance.now();
  const inFlight = [];
  for (let sequence = 0; sequence < count; sequence++) {
    if (inFlight.length >= window) await inFlight.shift();
    inFlight.push(port.send({schema: SCHEMA, requestId, action: 'upload_chunk', sequence, data}));
  }
  await Promise.all(inFlight);
  const elapsed = performance.now() - start;
  port.close();
  return {length, window, perMessage: elapsed / count, rate: (count * length) / 1e3 / elapsed};
}

// Reading the whole Blob once in each way the module could, and encoding it chunk by chunk.
// `bytes` is the payload read whole, for the encoding that reads nothing.
async function blobReads(payload, bytes) {
  const slices = (size, ahead) => async () => {
    let next = payload.slice(0, size).arrayBuffer();
    for (let at = 0; at < payload.size; at += size) {
      if (!ahead) next = payload.slice(at, at + size).arrayBuffer();
      await next;
      if (ahead) next = payload.slice(at + size, at + 2 * size).arrayBuffer();
    }
  };
  const ways = [
    [
      'stream',
      async () => {
        const reader = payload.stream().getReader();
        while (!(await reader.read()).done) continue;
      }
    ],
    ['256 KiB slices', slices(DEFAULT_CHUNK_SIZE, false)],
    ['256 KiB slices, one read ahead', slices(DEFAULT_CHUNK_SIZE, true)],
    ['4 MiB slices, one read ahead', slices(4 << 20, true)],
  ];
  // The text's length is used, so that the compiler cannot drop the encoding.
  let characters = 0;
  ways.push([
    '(no reading: Base64 of every 256 KiB chunk)',
    async () => {
      for (let at = 0; at < bytes.length; at += DEFAULT_CHUNK_SIZE) {
        characters += encodeBase64(bytes.subarray(at, at + DEFAULT_CHUNK_SIZE)).length;
      }
    }
  ]);
  const rows = [];
  for (const [name, read] of ways) {
    const times = [];
    for (let run = 0; run < P.sweepRuns; run++) times.push(await seconds(read));
    rows.push({name, times});
    report('progress', {name, times});
  }
  if (characters % 4) throw new Error('Base64 text of a length that is not a multiple of 4');
  return rows;
}

async function chunkSizes(control, payload) {
  const bytes = new Uint8Array(await payload.arrayBuffer());
  const reads = await blobReads(payload, bytes);
  const rows = [];
  const configurations = [];
  for (const chunkSize of P.chunkSizes) configurations.push([chunkSize, DEFAULT_WINDOW]);
  for (const window of P.windows) configurations.push([DEFAULT_CHUNK_SIZE, window]);
  configurations.push([1 << 20, 1]);  // the largest chunks, one at a time: the module as it was
  for (const [chunkSize, window] of configurations) {
    const times = [];
    for (let run = 0; run < P.sweepRuns; run++) {
      await control.ask({op: 'clear'});
      times.push(await seconds(() => bridge.upload(payload, 'report.csv', {chunkSize, window})));
    }
    rows.push({chunkSize, window, times});
    report('progress', {chunkSize, window, times});
  }
  // The floor for each input kind: what reading the Blob slice by slice costs.
  const inputs = [];
  for (const [name, input] of [['Blob', payload], ['Uint8Array', bytes]]) {
    const times = [];
    for (let run = 0; run < P.sweepRuns; run++) {
      times.push(await seconds(() => floor.upload(input, 'report.csv')));
    }
    inputs.push({name, times});
  }
  const messages = [];
  for (const length of [87380, 174764, 349528, 524288, 699052, 873816, 1048000]) {
    for (const window of [1, 4]) messages.push(await messageCost(length, window));
  }
  return {rows, reads, inputs, messages, encoders: encoders(bytes.subarray(0, 8 << 20))};
}

async function run() {
  const control = new Control();
  const payload = await (await fetch(chrome.runtime.getURL('payload.bin'))).blob();
  if (payload.size !== P.size) throw new Error(`payload of ${payload.size} bytes`);
  const results = {chunkSize: DEFAULT_CHUNK_SIZE, window: DEFAULT_WINDOW};
  if (P.parts.includes('browser')) {
    // Memory first: the roads leave garbage behind that would count as idle.
    results.memory = await memory(control, payload);
    Object.assign(results, await roads(control, payload));
  }
  if (P.parts.includes('chunk-sizes')) results.sweep = await chunkSizes(control, payload);
  await control.ask({op: 'clear'});
  report('done', results);
}

run().catch((error) => report('error', {message: String(error.stack || error)}));
