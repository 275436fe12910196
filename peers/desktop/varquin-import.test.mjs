// The desktop app's reader against stages the real bridge made (VARQUIN_BRIDGE_EXE), and the
// bridge's verdict on the terminal records the module writes.
import assert from 'node:assert/strict';
import {execFileSync, spawnSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import {mkdtempSync, readdirSync, readFileSync, realpathSync, renameSync, rmSync, symlinkSync, writeFileSync} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, test} from 'node:test';

import {finalizeImport, IMPORT_FLAG, ImportError, openImport, readManifest, terminalRecordText} from './varquin-import.mjs';

const BRIDGE = process.env.VARQUIN_BRIDGE_EXE;
const FAKE_OPEN = process.env.VARQUIN_FAKE_OPEN_EXE;
const EXTENSION_ID = 'abcdefghijklmnopabcdefghijklmnop';
const ORIGIN = `chrome-extension://${EXTENSION_ID}/`;
const SCHEMA = 'varquin.browser-import.v1';

// macOS keeps TMPDIR below a symbolic link, which the reader rightly refuses.
const home = mkdtempSync(path.join(realpathSync(os.tmpdir()), 'varquin-peers-'));
after(() => rmSync(home, {recursive: true, force: true}));
const userData = path.join(home, 'userdata');
const config = path.join(home, 'config.json');
writeFileSync(config, JSON.stringify({
  schema: 'varquin.browser-bridge.config.v2',
  extensionId: EXTENSION_ID,
  appBundlePath: '/Applications/Varquin.app',
  electronUserDataPath: userData,
  allowedExtensionOrigins: [ORIGIN],
}));

// Runs one bridge on the requests, framed as Chrome frames them; returns its answers.
function bridge(...requests) {
  const frames = requests.map((request) => {
    const body = Buffer.from(JSON.stringify({schema: SCHEMA, ...request}));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(body.length);
    return Buffer.concat([length, body]);
  });
  const run = spawnSync(BRIDGE, [ORIGIN], {
    input: Buffer.concat(frames),
    env: {
      HOME: home,
      VARQUIN_BROWSER_BRIDGE_CONFIG: config,
      VARQUIN_FAKE_OPEN_LOG: path.join(home, 'launcher.log'),
      PATH: '/usr/bin:/bin'
    },
  });
  assert.equal(run.status, 0, String(run.stderr));
  const answers = [];
  for (let at = 0; at < run.stdout.length;) {
    const length = run.stdout.readUInt32LE(at);
    answers.push(JSON.parse(run.stdout.subarray(at + 4, at + 4 + length).toString()));
    at += 4 + length;
  }
  return answers;
}

const upload = (requestId, bytes) =>
    [{
      action: 'begin_upload',
      requestId,
      source: 'gmail',
      originalName: 'survey.csv',
      expectedSize: bytes.length
    },
     {action: 'upload_chunk', requestId, sequence: 0, data: bytes.toString('base64')},
     {action: 'commit_upload', requestId},
];

let serial = 0;
// A fresh stage made by the bridge; its manifest path and bytes.
function stage() {
  const requestId = `0f8fad5b-d9cb-469f-a165-${String(++serial).padStart(12, '0')}`;
  const bytes = Buffer.from(`id,answer\n${serial},yes\n`);
  const answers = bridge(...upload(requestId, bytes));
  assert.equal(answers.at(-1).status, 'staged', JSON.stringify(answers));
  const manifestPath = path.join(userData, 'browser-imports', requestId, 'request.json');
  return {
    requestId,
    bytes,
    manifestPath,
    argv: ['/Applications/Varquin', IMPORT_FLAG + manifestPath]
  };
}

test('a stage the bridge made is opened and verified', {skip: !BRIDGE}, async () => {
  const {requestId, bytes, manifestPath, argv} = stage();
  const opened = await openImport(['--inspect', ...argv]);
  assert.equal(opened.manifestPath, manifestPath);
  assert.equal(opened.manifest.requestId, requestId);
  assert.equal(opened.manifest.sizeBytes, BigInt(bytes.length));
  assert.equal(opened.manifest.sha256, createHash('sha256').update(bytes).digest('hex'));
  assert.deepEqual(readFileSync(opened.filePath), bytes);
  assert.equal(await openImport(['/Applications/Varquin']), null);
});

// Ways a stage can be spoiled after the bridge published it.
const editManifest = (edit) => ({manifestPath}) =>
    writeFileSync(manifestPath, edit(readFileSync(manifestPath, 'utf8')));
function flipFirstByte(file) {
  const bytes = readFileSync(file);
  bytes[0] ^= 1;
  writeFileSync(file, bytes);
}
function moveBehindLink(file) {
  renameSync(file, `${file}.real`);
  symlinkSync(`${file}.real`, file);
}
function replaceWithFifo(file) {
  rmSync(file);
  execFileSync('mkfifo', [file]);
}

test('imports that are not what the bridge staged are refused', {skip: !BRIDGE}, async (t) => {
  const cases = [
    ['a tampered staged file', /SHA-256/, ({file}) => flipFirstByte(file)],
    ['a staged file of another size', /bytes/, ({file}) => writeFileSync(file, 'id\n')],
    ['a link in place of the staged file', /Cannot open/, ({file}) => moveBehindLink(file)],
    ['a FIFO in place of the staged file', /not a regular/, ({file}) => replaceWithFifo(file)],
    ['an unknown key', /unknown key "note"/, editManifest((t) => t.replace('{', '{"note": "",'))],
    ['a repeated key', /twice/, editManifest((t) => t.replace('{', '{"temporary": true,'))],
    ['a missing key', /is missing/, editManifest((t) => t.replace(/"createdAt".*,/, ''))],
    ['a linked stage', /symbolic link/, (s) => moveBehindLink(path.dirname(s.manifestPath))],
  ];
  for (const [name, refusal, spoil] of cases) {
    await t.test(name, async () => {
      const staged = stage();
      const manifest = JSON.parse(readFileSync(staged.manifestPath, 'utf8'));
      spoil({...staged, file: manifest.filePath});
      await assert.rejects(
          openImport(staged.argv),
          (error) => error instanceof ImportError && refusal.test(error.message));
    });
  }
});

test(
    'a finalized import is answered "already_finalized" by the bridge', {skip: !BRIDGE},
    async () => {
      const {requestId, bytes, argv} = stage();
      const target = await finalizeImport(await openImport(argv));
      const terminals = path.join(userData, 'browser-import-terminals');
      assert.equal(target, path.join(terminals, `${requestId}.json`));
      assert.match(
          JSON.parse(readFileSync(target, 'utf8')).finalizedAt,
          /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
      assert.ok(readdirSync(terminals).every((name) => !name.endsWith('.tmp')));

      const [launch] = bridge({action: 'launch_request', requestId});
      assert.equal(launch.status, 'already_finalized', JSON.stringify(launch));
      assert.equal(bridge(...upload(requestId, bytes)).at(-1).status, 'already_finalized');
      const other = bridge(...upload(requestId, Buffer.from('other bytes\n'))).at(-1);
      assert.equal(other.code, 'request_conflict', JSON.stringify(other));
    });

test(
    'the stand-in desktop app leaves the very same record', {skip: !BRIDGE || !FAKE_OPEN},
    async () => {
      const {requestId, manifestPath} = stage();
      const run = spawnSync(
          FAKE_OPEN, ['-n', '/Applications/Varquin.app', '--args', IMPORT_FLAG + manifestPath],
          {env: {VARQUIN_FAKE_OPEN_FINALIZE: '1', PATH: '/usr/bin:/bin'}});
      assert.equal(run.status, 0, String(run.stderr));
      const written = readFileSync(
          path.join(userData, 'browser-import-terminals', `${requestId}.json`), 'utf8');
      const finalizedAt = new Date(JSON.parse(written).finalizedAt);
      assert.equal(written, terminalRecordText(await readManifest(manifestPath), finalizedAt));
    });
