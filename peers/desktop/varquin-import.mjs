// The Varquin desktop app's side of the bridge, for Node (and Electron's main process): find the
// manifest the bridge started the app with, in the app's own store and nowhere else; read it as
// strictly as the bridge does; check that the staged file is the one it describes and hand over
// the very descriptor that was checked; once the app has taken the import over, leave the terminal
// record that makes the bridge answer "already_finalized" and free the stage. Node's standard
// library only.
//
//   import {openImport, finalizeImport} from './varquin-import.mjs';
//   const opened = await openImport(process.argv, {userDataPath: app.getPath('userData')});
//   if (opened) {
//     await pipeline(opened.stream(), createWriteStream(copyInProject));
//     await finalizeImport(opened);
//   }

import {createHash, randomUUID} from 'node:crypto';
import {constants} from 'node:fs';
import {lstat, mkdir, open, readdir, rename, rm, unlink} from 'node:fs/promises';
import path from 'node:path';
import {Readable} from 'node:stream';

export const IMPORT_FLAG = '--varquin-browser-import=';
export const SCHEMA = 'varquin.browser-import.v1';
export const SOURCE = 'gmail';
const IMPORTS_ROOT_NAME = 'browser-imports';
export const TERMINALS_ROOT_NAME = 'browser-import-terminals';
const MANIFEST_NAME = 'request.json';
// A freed stage is renamed to the name the bridge gives what it retires, ".retired-<request
// ID>-<32 hex digits>", before it is removed: the bridge's census ignores it at once, and its next
// purge removes whatever a crash left of it.
const RETIRED_PREFIX = '.retired-';
const RETIRED_NAME =
    /^\.retired-[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}-[0-9a-f]{32}$/;
const RECORD_LIMIT = 1048576;
const READ_SIZE = 1 << 20;

/**
 * Every code an ImportError carries.
 * @type {readonly string[]}
 */
export const ERROR_CODES = Object.freeze([
  'import_missing',       // the manifest is gone (expired, or freed by an earlier finalize)
  'not_in_user_data',     // not <userData>/browser-imports/<request ID>/request.json
  'symbolic_link',        // a symbolic link in the manifest's or the staged file's path
  'manifest_unreadable',  // cannot be opened or read, not a regular file, too large, not UTF-8
  'manifest_invalid',     // not a manifest of this stage, by the bridge's rules
  'file_unreadable',      // the staged file cannot be opened, or is not a regular file
  'file_mismatch',        // the staged file has not the manifest's size or SHA-256
  'finalize_failed',      // the terminal record could not be published
  'stage_not_freed',      // the record is published, the stage not yet removed (swept later)
]);

/** A refusal or failure: the import is not one the app may take, or finalizing it failed. */
export class ImportError extends Error {
  /**
   * @param {string} message
   * @param {string} code  one of ERROR_CODES
   * @param {{cause?: unknown, recordPath?: string}} [details]
   */
  constructor(message, code, details = {}) {
    super(message);
    this.name = 'ImportError';
    this.code = code;
    if (details.cause !== undefined) this.cause = details.cause;
    /** The published terminal record, for "stage_not_freed". */
    this.recordPath = details.recordPath;
  }
}

/**
 * @typedef {{schema: string, requestId: string, source: string, originalSourcePath: string,
 *   filePath: string, originalName: string, sizeBytes: bigint, sha256: string,
 *   createdAt: string, temporary: boolean}} ImportManifest
 * @typedef {import('node:fs/promises').FileHandle} FileHandle
 * @typedef {{userDataPath: string}} StoreOptions
 */

const REQUEST_ID = /^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$/;

/**
 * The manifest path the app was started with, or null.
 * @param {readonly unknown[]} [argv]
 * @returns {string | null}
 */
export function manifestPathFromArgv(argv = process.argv) {
  const argument = argv.find((a) => typeof a === 'string' && a.startsWith(IMPORT_FLAG));
  return typeof argument === 'string' ? argument.slice(IMPORT_FLAG.length) : null;
}

/**
 * The store's two roots below the app's user-data directory.
 * @param {StoreOptions} options
 */
function storeOf(options) {
  const userData = options && options.userDataPath;
  if (typeof userData !== 'string' || !path.isAbsolute(userData)) {
    throw new TypeError('userDataPath must be the app\'s absolute user-data directory');
  }
  const root = path.resolve(userData);
  return {
    userData: root,
    imports: path.join(root, IMPORTS_ROOT_NAME),
    terminals: path.join(root, TERMINALS_ROOT_NAME),
  };
}

/**
 * Refuses a path any of whose components, up to "/", is a symbolic link.
 * @param {string} file
 */
export async function refuseLinks(file) {
  for (let current = path.normalize(file);; current = path.dirname(current)) {
    const info = await lstat(current).catch((error) => {
      const missing = error.code === 'ENOENT';
      throw new ImportError(
          `${missing ? 'No such import' : 'Cannot inspect'}: ${current}`,
          missing ? 'import_missing' : 'manifest_unreadable', {cause: error});
    });
    if (info.isSymbolicLink()) {
      throw new ImportError(`A symbolic link is in the path: ${current}`, 'symbolic_link');
    }
    if (current === path.dirname(current)) return;
  }
}

// ---- Strict JSON: what the bridge's reader accepts, and no more ----------------------------

/** @type {Record<keyof ImportManifest, 'string' | 'uint64' | 'boolean'>} */
const MANIFEST_FIELDS = {
  schema: 'string',
  requestId: 'string',
  source: 'string',
  originalSourcePath: 'string',
  filePath: 'string',
  originalName: 'string',
  sizeBytes: 'uint64',
  sha256: 'string',
  createdAt: 'string',
  temporary: 'boolean',
};

/** @param {string} what @returns {never} */
function invalid(what) {
  throw new ImportError(`The manifest is invalid: ${what}`, 'manifest_invalid');
}

/**
 * Parses one JSON object whose values are strings, non-negative integers or booleans, refusing
 * repeated keys, other value kinds and anything but white space after it. Integers come back as
 * BigInt, so that a 64-bit size is never rounded.
 * @param {string} text
 * @returns {Map<string, string | bigint | boolean>}
 */
export function parseFlatObject(text) {
  let at = 0;
  /** @param {string} what @returns {never} */
  const fail = (what) => invalid(`${what} at offset ${at}`);
  const space = () => {
    while (at < text.length && ' \t\n\r'.includes(text[at])) at++;
  };
  /** @param {string} c */
  const expect = (c) => {
    space();
    if (text[at] !== c) fail(`expected "${c}"`);
    at++;
  };
  /** @type {Record<string, string>} */
  const simple = {'"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t'};
  const string = () => {
    expect('"');
    let out = '';
    for (;;) {
      if (at >= text.length) fail('unterminated string');
      const c = text[at++];
      if (c === '"') return out;
      if (c < ' ') fail('control character in a string');
      if (c !== '\\') {
        out += c;
        continue;
      }
      const e = text[at++];
      if (e in simple) {
        out += simple[e];
      } else if (e === 'u' && /^[0-9a-fA-F]{4}$/.test(text.slice(at, at + 4))) {
        out += String.fromCharCode(parseInt(text.slice(at, at + 4), 16));
        at += 4;
      } else {
        fail('invalid escape');
      }
    }
  };
  /** @returns {string | bigint | boolean} */
  const value = () => {
    space();
    if (text[at] === '"') return string();
    for (const [word, result] of /** @type {const} */ ([['true', true], ['false', false]])) {
      if (text.startsWith(word, at)) {
        at += word.length;
        return result;
      }
    }
    const number = /^(0|[1-9][0-9]*)(?![0-9.eE+-])/.exec(text.slice(at));
    if (number) {
      at += number[0].length;
      return BigInt(number[0]);
    }
    return fail('a value that is not a string, a non-negative integer or a boolean');
  };

  /** @type {Map<string, string | bigint | boolean>} */
  const object = new Map();
  expect('{');
  space();
  if (text[at] === '}') {
    at++;
  } else {
    for (;;) {
      const key = string();
      if (object.has(key)) fail(`the key "${key}" appears twice`);
      expect(':');
      object.set(key, value());
      space();
      if (text[at] === ',') {
        at++;
        continue;
      }
      expect('}');
      break;
    }
  }
  space();
  if (at !== text.length) fail('text after the document');
  return object;
}

/**
 * @param {Map<string, string | bigint | boolean>} object
 * @returns {ImportManifest}
 */
function typed(object) {
  /** @type {Record<string, unknown>} */
  const record = {};
  for (const [key, kind] of Object.entries(MANIFEST_FIELDS)) {
    if (!object.has(key)) invalid(`"${key}" is missing`);
    const value = object.get(key);
    const ok =
        kind === 'uint64' ? typeof value === 'bigint' && value < 2n ** 64n : typeof value === kind;
    if (!ok) invalid(`"${key}" is not a ${kind}`);
    record[key] = value;
  }
  for (const key of object.keys()) {
    if (!(key in MANIFEST_FIELDS)) invalid(`unknown key "${key}"`);
  }
  return /** @type {ImportManifest} */ (record);
}

/**
 * Opens a regular file without following a link in its last component and without waiting on a
 * FIFO planted in its place.
 * @param {string} file
 * @param {string} what
 * @param {string} code  the ImportError code of a failure
 * @param {string} [missingCode]  the code when the file is not there
 */
async function openRegular(file, what, code, missingCode = code) {
  const flags = constants.O_RDONLY | constants.O_NOFOLLOW | constants.O_NONBLOCK;
  const handle = await open(file, flags).catch((error) => {
    if (error.code === 'ELOOP') {
      throw new ImportError(`The ${what} is a symbolic link: ${file}`, 'symbolic_link');
    }
    throw new ImportError(
        `Cannot open the ${what} ${file}: ${error.message}`,
        error.code === 'ENOENT' ? missingCode : code, {cause: error});
  });
  const info = await handle.stat();
  if (!info.isFile()) {
    await handle.close();
    throw new ImportError(`The ${what} is not a regular file: ${file}`, code);
  }
  return handle;
}

/**
 * The file's bytes from the start, in fresh buffers, never more than `limit + 1` of them: a
 * caller that counts more than `limit` knows the file is larger.
 * @param {FileHandle} handle
 * @param {number} limit
 * @returns {AsyncGenerator<Buffer>}
 */
async function* chunksOf(handle, limit) {
  let position = 0;
  while (position <= limit) {
    const buffer = Buffer.allocUnsafe(Math.min(READ_SIZE, limit + 1 - position));
    const {bytesRead} = await handle.read(buffer, 0, buffer.length, position);
    if (bytesRead === 0) return;
    position += bytesRead;
    yield buffer.subarray(0, bytesRead);
  }
}

/** @param {string} file */
async function readManifestText(file) {
  const handle = await openRegular(file, 'manifest', 'manifest_unreadable', 'import_missing');
  try {
    /** @type {Buffer[]} */
    const parts = [];
    let size = 0;
    for await (const bytes of chunksOf(handle, RECORD_LIMIT)) {
      parts.push(bytes);
      size += bytes.length;
    }
    if (size > RECORD_LIMIT) {
      throw new ImportError(`Larger than a manifest can be: ${file}`, 'manifest_unreadable');
    }
    return new TextDecoder('utf-8', {fatal: true}).decode(Buffer.concat(parts));
  } catch (error) {
    if (error instanceof TypeError) {
      throw new ImportError(`The manifest is not UTF-8: ${file}`, 'manifest_unreadable');
    }
    throw error;
  } finally {
    await handle.close();
  }
}

/**
 * Reads the manifest at `manifestPath`, which must be <userData>/browser-imports/<request
 * ID>/request.json, by the bridge's own rules: every key present, none unknown or repeated,
 * strict types, the stage's own request ID and a staged file directly inside the stage directory.
 * @param {string} manifestPath
 * @param {StoreOptions} options
 * @returns {Promise<ImportManifest>}
 */
export async function readManifest(manifestPath, options) {
  const store = storeOf(options);
  const relative = path.isAbsolute(manifestPath) ?
      path.relative(store.imports, path.normalize(manifestPath)).split(path.sep) :
      [];
  if (relative.length !== 2 || !REQUEST_ID.test(relative[0]) || relative[1] !== MANIFEST_NAME) {
    throw new ImportError(
        `Not a manifest of this app's store (${store.imports}): ${manifestPath}`,
        'not_in_user_data');
  }
  const stage = path.join(store.imports, relative[0]);
  await refuseLinks(manifestPath);
  const manifest = typed(parseFlatObject(await readManifestText(manifestPath)));
  if (manifest.schema !== SCHEMA || manifest.source !== SOURCE) {
    invalid('not a Varquin browser import');
  }
  if (manifest.requestId !== path.basename(stage)) invalid('not its stage directory\'s');
  if (path.dirname(path.normalize(manifest.filePath)) !== stage) {
    invalid('the staged file is not in the stage directory');
  }
  if (manifest.temporary !== true) invalid('not a managed stage');
  return manifest;
}

/**
 * Opens the staged file and checks, through that one descriptor, that it is a regular file, not
 * a link, of the manifest's size and SHA-256. Returns the open handle: what was checked is what
 * the app reads.
 * @param {ImportManifest} manifest
 * @returns {Promise<FileHandle>}
 */
export async function openStagedFile(manifest) {
  const handle = await openRegular(manifest.filePath, 'staged file', 'file_unreadable');
  try {
    const hash = createHash('sha256');
    const limit = Number(manifest.sizeBytes);
    let size = 0;
    for await (const bytes of chunksOf(handle, limit)) {
      hash.update(bytes);
      size += bytes.length;
    }
    if (size !== limit) {
      throw new ImportError(
          `The staged file does not have the manifest's ${limit} bytes`, 'file_mismatch');
    }
    if (hash.digest('hex') !== manifest.sha256) {
      throw new ImportError(
          'The staged file is not the one the manifest describes (SHA-256)', 'file_mismatch');
    }
    return handle;
  } catch (error) {
    await handle.close();
    throw error;
  }
}

/**
 * The verified bytes, read again from the checked descriptor and hashed on the way: the stream
 * fails with "file_mismatch" before it ends if they changed since the check.
 * @param {FileHandle} handle
 * @param {ImportManifest} manifest
 */
async function* verifiedChunks(handle, manifest) {
  const size = Number(manifest.sizeBytes);
  const hash = createHash('sha256');
  const changed = () =>
      new ImportError('The staged file changed after it was verified', 'file_mismatch');
  let position = 0;
  for await (const bytes of chunksOf(handle, size)) {
    position += bytes.length;
    if (position > size) throw changed();
    hash.update(bytes);
    yield bytes;
  }
  if (position !== size || hash.digest('hex') !== manifest.sha256) throw changed();
}

/**
 * An import opened and verified, holding the descriptor it was verified through.
 * @typedef {{manifestPath: string, manifest: ImportManifest, userDataPath: string,
 *   size: number, file: FileHandle, stream(): Readable, bytes(): Promise<Buffer>,
 *   close(): Promise<void>}} OpenedImport
 */

/**
 * Everything the app does on start: the manifest of the process arguments, read and verified,
 * with the staged file open. Null when the app was not started for an import. Read through
 * `stream()` or `bytes()` (the checked bytes, checked again as they are read) or `file` (the
 * open FileHandle); call `finalizeImport` once the import is taken over, or `close()` to leave it.
 * @param {readonly unknown[]} argv
 * @param {StoreOptions} options
 * @returns {Promise<OpenedImport | null>}
 */
export async function openImport(argv, options) {
  const store = storeOf(options);
  const manifestPath = manifestPathFromArgv(argv);
  if (manifestPath === null) return null;
  const manifest = await readManifest(manifestPath, options);
  const file = await openStagedFile(manifest);
  let closed = false;
  return {
    manifestPath,
    manifest,
    userDataPath: store.userData,
    size: Number(manifest.sizeBytes),
    file,
    stream: () => Readable.from(verifiedChunks(file, manifest), {objectMode: false}),
    bytes: async () => {
      /** @type {Buffer[]} */
      const parts = [];
      for await (const part of verifiedChunks(file, manifest)) parts.push(part);
      return Buffer.concat(parts);
    },
    close: async () => {
      if (closed) return;
      closed = true;
      await file.close();
    },
  };
}

/**
 * The terminal record the bridge recognises: the manifest's fields and when the app took the
 * import over, in the bridge's own layout (pretty JSON, two spaces, one line break at the end).
 * @param {ImportManifest} manifest
 * @param {Date} [finalizedAt]
 */
export function terminalRecordText(manifest, finalizedAt = new Date()) {
  /**
   * @param {'schema' | 'requestId' | 'source' | 'originalSourcePath' | 'originalName' | 'sha256'}
   *     key
   */
  const string = (key) => [key, JSON.stringify(manifest[key])];
  const fields = [
    string('schema'),
    string('requestId'),
    string('source'),
    string('originalSourcePath'),
    string('originalName'),
    ['sizeBytes', String(manifest.sizeBytes)],  // a BigInt, which JSON.stringify refuses
    string('sha256'),
    ['finalizedAt', JSON.stringify(finalizedAt.toISOString())],
  ];
  return `{\n${fields.map(([key, value]) => `  "${key}": ${value}`).join(',\n')}\n}\n`;
}

/** @param {string} directory */
async function syncDirectory(directory) {
  const handle = await open(directory, constants.O_RDONLY);
  try {
    await handle.sync();
  } finally {
    await handle.close();
  }
}

/**
 * Publishes the record whole and durably: a temporary file beside it, synced, renamed into place,
 * the directory synced; the temporary file removed on any failure.
 * @param {string} terminals
 * @param {ImportManifest} manifest
 * @param {Date} finalizedAt
 */
async function publishRecord(terminals, manifest, finalizedAt) {
  const target = path.join(terminals, `${manifest.requestId}.json`);
  const temporary = path.join(terminals, `.${manifest.requestId}.json.${randomUUID()}.tmp`);
  try {
    await mkdir(terminals, {recursive: true});
    const handle = await open(temporary, 'wx');
    try {
      await handle.writeFile(terminalRecordText(manifest, finalizedAt));
      await handle.sync();
    } finally {
      await handle.close();
    }
    await rename(temporary, target);
    await syncDirectory(terminals);
  } catch (error) {
    await unlink(temporary).catch(() => {});
    throw new ImportError(
        `Cannot publish the terminal record ${target}: ${/** @type {Error} */ (error).message}`,
        'finalize_failed', {cause: error});
  }
  return target;
}

/**
 * Moves the stage `name` (a request ID) out of the census at once (one rename to a retired name)
 * and then removes it.
 * @param {string} imports
 * @param {string} name
 */
async function freeStage(imports, name) {
  const freed = path.join(imports, `${RETIRED_PREFIX}${name}-${randomUUID().replaceAll('-', '')}`);
  try {
    await rename(path.join(imports, name), freed);
  } catch (error) {
    if (/** @type {NodeJS.ErrnoException} */ (error).code === 'ENOENT') return;  // already gone
    throw error;
  }
  await rm(freed, {recursive: true, force: true});
}

/**
 * Removes what a finalize left behind when it was interrupted: freed stages not yet removed, and
 * stages whose terminal record is published (the bridge answers "already_finalized" for those
 * without looking at the stage). `finalizeImport` calls it; the app may call it at start-up.
 * @param {StoreOptions} options
 */
export async function sweepImports(options) {
  const store = storeOf(options);
  let entries;
  try {
    entries = await readdir(store.imports, {withFileTypes: true});
  } catch (error) {
    if (/** @type {NodeJS.ErrnoException} */ (error).code === 'ENOENT') return;
    throw error;
  }
  for (const entry of entries) {
    if (!entry.isDirectory()) continue;
    if (RETIRED_NAME.test(entry.name)) {
      await rm(path.join(store.imports, entry.name), {recursive: true, force: true});
    } else if (REQUEST_ID.test(entry.name)) {
      const record =
          await lstat(path.join(store.terminals, `${entry.name}.json`)).catch(() => null);
      if (record && record.isFile()) await freeStage(store.imports, entry.name);
    }
  }
}

/**
 * Once the app has taken the import over: publishes its terminal record in
 * <userData>/browser-import-terminals (from then on the bridge answers "already_finalized"),
 * then frees the stage so that it no longer counts against the store's capacity, and closes the
 * staged file. Returns the record's path. Calling it again is harmless.
 * @param {OpenedImport} opened
 * @param {Date} [finalizedAt]
 * @returns {Promise<string>}
 */
export async function finalizeImport(opened, finalizedAt = new Date()) {
  const store = storeOf(opened);
  const {manifest} = opened;
  await refuseLinks(store.userData);
  const target = await publishRecord(store.terminals, manifest, finalizedAt);
  await opened.close();
  try {
    await freeStage(store.imports, manifest.requestId);
    await sweepImports(opened);
  } catch (error) {
    throw new ImportError(
        `The import is finalized (${target}) but its stage was not removed; the next ` +
            `finalizeImport or sweepImports removes it: ${/** @type {Error} */ (error).message}`,
        'stage_not_freed', {cause: error, recordPath: target});
  }
  return target;
}
