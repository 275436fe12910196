// Runs both roads through Chrome's native messaging and reports every answer on the console,
// where the test reads it (Chromium's stderr with --enable-logging=stderr).
importScripts('params.js');  // written by the test: self.VARQUIN_TEST

const HOST = 'com.varquin.browser_bridge';
const SCHEMA = 'varquin.browser-import.v1';
const P = self.VARQUIN_TEST;

function report(tag, value) {
  console.log('VARQUIN_E2E ' + tag + ' ' + JSON.stringify(value));
}

function request(action, requestId, fields) {
  return Object.assign({action, schema: SCHEMA, requestId}, fields || {});
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// One host process for a whole upload session: answers come back in request order.
class NativePort {
  constructor() {
    this.port = chrome.runtime.connectNative(HOST);
    this.pending = [];
    this.port.onMessage.addListener((message) => this.pending.shift().resolve(message));
    this.port.onDisconnect.addListener(() => {
      const reason = chrome.runtime.lastError ? chrome.runtime.lastError.message : 'disconnected';
      for (const waiter of this.pending.splice(0)) waiter.reject(new Error(reason));
    });
  }
  send(message) {
    return new Promise((resolve, reject) => {
      this.pending.push({resolve, reject});
      this.port.postMessage(message);
    });
  }
  close() { this.port.disconnect(); }
}

async function upload() {
  const port = new NativePort();
  const answers = [];
  answers.push(await port.send(request('begin_upload', P.uploadId,
      {source: 'gmail', originalName: P.uploadName, expectedSize: P.uploadSize})));
  for (let sequence = 0; sequence < P.chunks.length; sequence++) {
    answers.push(await port.send(request('upload_chunk', P.uploadId,
        {sequence, data: P.chunks[sequence]})));
  }
  answers.push(await port.send(request('commit_upload', P.uploadId)));
  answers.push(await port.send(request('launch_request', P.uploadId)));
  port.close();
  return answers;
}

// Clean-up is refused (retryable) until the test has emptied the download directory.
async function cleanup() {
  const answers = [];
  for (let attempt = 0; attempt < 150; attempt++) {
    const answer = await chrome.runtime.sendNativeMessage(HOST,
        request('cleanup_download_container', P.downloadId,
                {requestDirectoryPath: P.downloadDirectory}));
    answers.push(answer);
    if (answer.ok || !answer.retryable) break;
    await sleep(100);
  }
  return answers;
}

async function run() {
  const results = {};
  results.ping = await chrome.runtime.sendNativeMessage(HOST, request('ping', P.pingId));
  results.upload = await upload();
  results.stageDownload = await chrome.runtime.sendNativeMessage(HOST,
      request('stage_download', P.downloadId,
              {source: 'gmail', filePath: P.downloadFile, originalName: P.downloadName}));
  report('staged', results.stageDownload);
  results.cleanup = await cleanup();
  report('done', results);
}

run().catch((error) => report('error', String(error && error.stack || error)));
