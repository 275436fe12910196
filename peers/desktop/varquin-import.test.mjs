// The desktop app's reader against stages the real bridge made (VARQUIN_BRIDGE_EXE), and the
// bridge's verdict on what the module leaves behind when it finalizes.
import assert from 'node:assert/strict';
import {execFileSync, spawnSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import {closeSync, mkdirSync, mkdtempSync, openSync, readdirSync, readFileSync, realpathSync, renameSync, rmSync, symlinkSync, writeFileSync, writeSync} from 'node:fs';
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

let serial = 0;
// A user-data directory and a bridge configured for it.
function store() {
  const root = path.join(home, `store-${++serial}`);
  const userDataPath = path.join(root, 'userdata');
  const config = path.join(root, 'config.json');
  mkdirSync(root);
  writeFileSync(config, JSON.stringify({
    schema: 'varquin.browser-bridge.config.v2',
    extensionId: EXTENSION_ID,
    appBundlePath: '/Applications/Varquin.app',
    electronUserDataPath: userDataPath,
    allowedExtensionOrigins: [ORIGIN],
  }));
  // Runs one bridge on the requests, framed as Chrome frames them; returns its answers.
  const bridge = (...requests) => {
    const frames = requests.map((request) => {
      const body = Buffer.from(JSON.stringify({schema: SCHEMA, ...request}));
      const length = Buffer.alloc(4);
      length.writeUInt32LE(body.length);
      return Buffer.concat([length, body]);
    });
    const run = spawnSync(BRIDGE, [ORIGIN], {
      input: Buffer.concat(frames),
      env: {HOME: root, VARQUIN_BROWSER_BRIDGE_CONFIG: config, PATH: '/usr/bin:/bin'},
    });
    assert.equal(run.status, 0, String(run.stderr));
    const answers = [];
    for (let at = 0; at < run.stdout.length;) {
      const length = run.stdout.readUInt32LE(at);
      answers.push(JSON.parse(run.stdout.subarray(at + 4, at + 4 + length).toString()));
      at += 4 + length;
    }
    return answers;
  };
  // A fresh stage made by the bridge: its manifest path, bytes and the app's arguments.
  const stage = () => {
    const requestId = `0f8fad5b-d9cb-469f-a165-${String(++serial).padStart(12, '0')}`;
    const bytes = Buffer.from(`id,answer\n${serial},yes\n`);
    const answer = bridge(...upload(requestId, bytes)).at(-1);
    assert.equal(answer.status, 'staged', JSON.stringify(answer));
    const manifestPath = path.join(userDataPath, 'browser-imports', requestId, 'request.json');
    return {
      requestId,
      bytes,
      manifestPath,
      argv: ['/Applications/Varquin', IMPORT_FLAG + manifestPath]
    };
  };
  return {userDataPath, options: {userDataPath}, bridge, stage};
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

const refusedWith = (code) => (error) => error instanceof ImportError && error.code === code;
const skip = !BRIDGE;

test(
    'the app reads the verified bytes through the descriptor that was verified', {skip},
    async () => {
      const s = store();
      const {requestId, bytes, manifestPath, argv} = s.stage();
      const opened = await openImport(['--inspect', ...argv], s.options);
      assert.equal(opened.manifestPath, manifestPath);
      assert.equal(opened.manifest.requestId, requestId);
      assert.equal(opened.manifest.sha256, createHash('sha256').update(bytes).digest('hex'));
      // Another file put in its place by path is not what the app reads.
      const file = opened.manifest.filePath;
      writeFileSync(`${file}.other`, 'id\n');
      renameSync(`${file}.other`, file);
      assert.deepEqual(await opened.bytes(), bytes);
      const streamed = [];
      for await (const part of opened.stream()) streamed.push(part);
      assert.deepEqual(Buffer.concat(streamed), bytes);
      await opened.close();
      assert.equal(await openImport(['/Applications/Varquin'], s.options), null);
    });

test('bytes changed after the check fail the stream before it ends', {skip}, async () => {
  const s = store();
  const opened = await openImport(s.stage().argv, s.options);
  const same = openSync(opened.manifest.filePath, 'r+');  // the very file, not a new one
  writeSync(same, 'X', 0);
  closeSync(same);
  await assert.rejects(async () => {
    for await (const part of opened.stream()) void part;
  }, refusedWith('file_mismatch'));
  await opened.close();
});

// Ways a stage can be spoiled after the bridge published it.
const editManifest = (edit) => ({manifestPath}) =>
    writeFileSync(manifestPath, edit(readFileSync(manifestPath, 'utf8')));
function moveBehindLink(file) {
  renameSync(file, `${file}.real`);
  symlinkSync(`${file}.real`, file);
}
const fileOf = ({manifestPath}) => JSON.parse(readFileSync(manifestPath, 'utf8')).filePath;

test('imports that are not what the bridge staged are refused', {skip}, async (t) => {
  const s = store();
  const other = store();
  const cases = [
    [
      'a tampered staged file', 'file_mismatch',
      (x) => writeFileSync(fileOf(x), readFileSync(fileOf(x)).map((b, i) => i ? b : b ^ 1))
    ],
    ['a staged file of another size', 'file_mismatch', (x) => writeFileSync(fileOf(x), 'id\n')],
    ['a link in place of the staged file', 'symbolic_link', (x) => moveBehindLink(fileOf(x))],
    [
      'a FIFO in place of the staged file', 'file_unreadable',
      (x) => rmSync(fileOf(x)) || execFileSync('mkfifo', [fileOf(x)])
    ],
    ['an unknown key', 'manifest_invalid', editManifest((m) => m.replace('{', '{"note": "",'))],
    [
      'a repeated key', 'manifest_invalid',
      editManifest((m) => m.replace('{', '{"temporary": true,'))
    ],
    ['a missing key', 'manifest_invalid', editManifest((m) => m.replace(/"createdAt".*,/, ''))],
    ['a linked stage', 'symbolic_link', (x) => moveBehindLink(path.dirname(x.manifestPath))],
    [
      'a removed stage', 'import_missing',
      (x) => rmSync(path.dirname(x.manifestPath), {recursive: true})
    ],
    ['a stage of another app', 'not_in_user_data', (x) => Object.assign(x, other.stage())],
    [
      'a copy outside the store', 'not_in_user_data',
      (x) => {
        const copy = path.join(s.userDataPath, 'elsewhere', x.requestId);
        mkdirSync(path.dirname(copy));
        renameSync(path.dirname(x.manifestPath), copy);
        x.argv = [IMPORT_FLAG + path.join(copy, 'request.json')];
      }
    ],
    [
      'a relative path', 'not_in_user_data',
      (x) => x.argv = [IMPORT_FLAG + path.relative(process.cwd(), x.manifestPath)]
    ],
  ];
  for (const [name, code, spoil] of cases) {
    await t.test(name, async () => {
      const staged = s.stage();
      spoil(staged);
      await assert.rejects(openImport(staged.argv, s.options), refusedWith(code));
    });
  }
  await assert.rejects(openImport([], {}), TypeError);
});

test(
    'a finalized import frees its stage; the bridge answers "already_finalized"', {skip},
    async () => {
      const s = store();
      const {requestId, bytes, argv} = s.stage();
      const target = await finalizeImport(await openImport(argv, s.options));
      const terminals = path.join(s.userDataPath, 'browser-import-terminals');
      assert.equal(target, path.join(terminals, `${requestId}.json`));
      assert.match(
          JSON.parse(readFileSync(target, 'utf8')).finalizedAt,
          /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
      assert.deepEqual(readdirSync(terminals), [`${requestId}.json`]);
      const imports = path.join(s.userDataPath, 'browser-imports');
      assert.deepEqual(readdirSync(imports), ['.bridge.lock']);

      const [launch] = s.bridge({action: 'launch_request', requestId});
      assert.equal(launch.status, 'already_finalized', JSON.stringify(launch));
      assert.equal(s.bridge(...upload(requestId, bytes)).at(-1).status, 'already_finalized');
      const conflict = s.bridge(...upload(requestId, Buffer.from('other bytes\n'))).at(-1);
      assert.equal(conflict.code, 'request_conflict', JSON.stringify(conflict));
      await assert.rejects(openImport(argv, s.options), refusedWith('import_missing'));
    });

test('what an interrupted finalize left is swept by the next one', {skip}, async () => {
  const s = store();
  const imports = path.join(s.userDataPath, 'browser-imports');
  // A crash after the record was published, before the stage was moved away...
  const first = s.stage();
  const opened = await openImport(first.argv, s.options);
  writeFileSync(
      path.join(s.userDataPath, 'browser-import-terminals', `${first.requestId}.json`),
      terminalRecordText(opened.manifest));
  await opened.close();
  // ...and one after it was moved away, before it was removed.
  const second = s.stage();
  renameSync(
      path.dirname(second.manifestPath),
      path.join(imports, `.retired-${second.requestId}-${'0'.repeat(32)}`));
  await finalizeImport(await openImport(s.stage().argv, s.options));
  assert.deepEqual(readdirSync(imports), ['.bridge.lock']);
});

test('25 imports in a row, each finalized, are all staged', {skip}, async () => {
  const s = store();
  for (let i = 0; i < 25; i++) await finalizeImport(await openImport(s.stage().argv, s.options));
  assert.equal(readdirSync(path.join(s.userDataPath, 'browser-import-terminals')).length, 25);
});

test(
    'the stand-in desktop app leaves the very same record', {skip: skip || !FAKE_OPEN},
    async () => {
      const s = store();
      const {requestId, manifestPath} = s.stage();
      const run = spawnSync(
          FAKE_OPEN, ['-n', '/Applications/Varquin.app', '--args', IMPORT_FLAG + manifestPath],
          {env: {VARQUIN_FAKE_OPEN_FINALIZE: '1', PATH: '/usr/bin:/bin'}});
      assert.equal(run.status, 0, String(run.stderr));
      const written = readFileSync(
          path.join(s.userDataPath, 'browser-import-terminals', `${requestId}.json`), 'utf8');
      const finalizedAt = new Date(JSON.parse(written).finalizedAt);
      assert.equal(
          written, terminalRecordText(await readManifest(manifestPath, s.options), finalizedAt));
    });
