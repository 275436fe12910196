// Drives both roads through the extension's own client module and Chrome's native messaging,
// reporting on the console, where the test reads it (Chromium's stderr with
// --enable-logging=stderr). The test copies peers/extension/varquin-bridge.js beside this file.
import P from './params.js';
import {BridgeError, downloadFilename, VarquinBridge} from './varquin-bridge.js';

function report(tag, value) { console.log('VARQUIN_E2E ' + tag + ' ' + JSON.stringify(value)); }

const retries = [];
const bridge = new VarquinBridge({
  baseDelay: 100,
  onRetry: (error, attempt) => {
    retries.push({code: error.code, attempt});
    report('retry', {code: error.code, attempt});
  },
});
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const outcome = (answer) => ({ok: true, status: answer.status, reused: answer.reused});

function decodeBase64(text) { return Uint8Array.from(atob(text), (c) => c.charCodeAt(0)); }

// Clean-up is refused until the test has removed the download; the module leaves waiting for
// that to its caller.
async function cleanup() {
  for (let attempt = 1;; attempt++) {
    try {
      return {
        attempts: attempt,
        ...outcome(await bridge.cleanupDownloadContainer(P.downloadDirectory))
      };
    } catch (error) {
      if (!(error instanceof BridgeError) || error.code !== 'cleanup_failed' || attempt >= 150) {
        throw error;
      }
      await sleep(100);
    }
  }
}

// The download road as the module's README has it: chrome.downloads saves into the managed
// inbox without asking, the bridge stages the file once Chrome has finished writing it, and the
// worker removes the file and its directory.
function downloadFinished(id) {
  return new Promise((resolve, reject) => {
    const settle = async () => {
      const [item] = await chrome.downloads.search({id});
      if (!item || item.state === 'in_progress') return;
      chrome.downloads.onChanged.removeListener(changed);
      if (item.state === 'complete')
        resolve(item);
      else
        reject(new Error(item.error));
    };
    const changed = (delta) => {
      if (delta.id === id && delta.state) settle();
    };
    chrome.downloads.onChanged.addListener(changed);
    settle();
  });
}

async function downloadAttachment(url, name, requestId) {
  const id = await chrome.downloads.download({
    url,
    filename: downloadFilename(requestId, name),
    saveAs: false,
    conflictAction: 'overwrite'
  });
  const item = await downloadFinished(id);
  const staged = await bridge.stageDownload(item.filename, name, requestId);
  await chrome.downloads.removeFile(id);
  await chrome.downloads.erase({id});
  const directory = item.filename.slice(0, item.filename.lastIndexOf('/'));
  const cleaned = await bridge.cleanupDownloadContainer(directory, requestId);
  return {staged: outcome(staged), cleaned: outcome(cleaned), file: item.filename};
}

// An upload of a Blob aborted once its first chunk is accepted: it must leave nothing staged and
// no bridge running. Its request ID is known before the upload starts.
async function abortedUpload(bytes) {
  const controller = new AbortController();
  const blob = new Blob([bytes, bytes, bytes, bytes]);
  const upload = bridge.upload(
      blob, P.uploadName, {signal: controller.signal, onProgress: () => controller.abort()});
  try {
    await upload;
    return {requestId: upload.requestId, code: 'not aborted'};
  } catch (error) {
    return {
      requestId: upload.requestId,
      code: error.code,
      sameId: error.requestId === upload.requestId
    };
  }
}

async function run() {
  const results = {ping: outcome(await bridge.ping(P.pingId))};
  const progress = [];
  const bytes = decodeBase64(P.uploadBase64);
  results.upload = outcome(await bridge.upload(bytes, P.uploadName, {
    requestId: P.uploadId,
    onProgress: (sent, total) => progress.push([sent, total]),
  }));
  results.progress = progress;
  results.retries = retries;
  results.arrayBuffer = outcome(
      await bridge.upload(bytes.slice().buffer, P.uploadName, {requestId: P.arrayBufferId}));
  results.blob =
      outcome(await bridge.upload(new Blob([bytes]), P.uploadName, {requestId: P.blobId}));
  results.stageDownload = outcome(await bridge.stageDownload(P.downloadFile, P.downloadName));
  report('staged', results.stageDownload);
  results.cleanup = await cleanup();
  results.browserDownload = await downloadAttachment(
      'data:text/csv;base64,' + btoa(P.browserDownloadText), 'saved.csv', P.browserDownloadId);
  results.aborted = await abortedUpload(bytes);
  report('done', results);
}

run().catch((error) => report('error', {code: error.code, message: String(error.stack || error)}));
