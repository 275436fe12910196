// The Varquin desktop app's side of the bridge, for Node (and Electron's main process): find the
// manifest the bridge started the app with, read it as strictly as the bridge does, check that the
// staged file is the one it describes, and, once the app has taken the import over, leave the
// terminal record that makes the bridge answer "already_finalized". Node's standard library only.
//
//   import {openImport, finalizeImport} from './varquin-import.mjs';
//   const staged = await openImport(process.argv);   // null when not started for an import
//   ... read staged.filePath ...
//   await finalizeImport(staged);

import {createHash, randomUUID} from 'node:crypto';
import {constants} from 'node:fs';
import {lstat, mkdir, open, rename, unlink} from 'node:fs/promises';
import path from 'node:path';

export const IMPORT_FLAG = '--varquin-browser-import=';
export const SCHEMA = 'varquin.browser-import.v1';
export const SOURCE = 'gmail';
export const TERMINALS_ROOT_NAME = 'browser-import-terminals';
const RECORD_LIMIT = 1048576;

/** A refusal: the import is not one the app may take. */
export class ImportError extends Error {
  constructor(message) {
    super(message);
    this.name = 'ImportError';
  }
}

/** The manifest path the app was started with, or null. */
export function manifestPathFromArgv(argv = process.argv) {
  const argument = argv.find((a) => typeof a === 'string' && a.startsWith(IMPORT_FLAG));
  return argument === undefined ? null : argument.slice(IMPORT_FLAG.length);
}

/** Refuses a path any of whose components, up to "/", is a symbolic link. */
export async function refuseLinks(file) {
  if (!path.isAbsolute(file)) throw new ImportError(`The import path is not absolute: ${file}`);
  for (let current = path.normalize(file);; current = path.dirname(current)) {
    const info = await lstat(current).catch((error) => {
      throw new ImportError(`Cannot inspect ${current}: ${error.message}`);
    });
    if (info.isSymbolicLink()) throw new ImportError(`A symbolic link is in the path: ${current}`);
    if (current === path.dirname(current)) return;
  }
}

// ---- Strict JSON: what the bridge's reader accepts, and no more ----------------------------

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

/**
 * Parses one JSON object whose values are strings, non-negative integers or booleans, refusing
 * repeated keys, other value kinds and anything but white space after it. Integers come back as
 * BigInt, so that a 64-bit size is never rounded.
 */
export function parseFlatObject(text) {
  let at = 0;
  const fail = (what) => {
    throw new ImportError(`The manifest is invalid: ${what} at offset ${at}`);
  };
  const space = () => {
    while (' \t\n\r'.includes(text[at]) && at < text.length) at++;
  };
  const expect = (c) => {
    space();
    if (text[at] !== c) fail(`expected "${c}"`);
    at++;
  };
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
      const simple = {'"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t'};
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
  const value = () => {
    space();
    if (text[at] === '"') return string();
    for (const [word, result] of [['true', true], ['false', false]]) {
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

function typed(object, fields) {
  const record = {};
  for (const [key, kind] of Object.entries(fields)) {
    if (!object.has(key)) throw new ImportError(`The manifest is invalid: "${key}" is missing`);
    const value = object.get(key);
    const ok =
        kind === 'uint64' ? typeof value === 'bigint' && value < 2n ** 64n : typeof value === kind;
    if (!ok) throw new ImportError(`The manifest is invalid: "${key}" is not a ${kind}`);
    record[key] = value;
  }
  for (const key of object.keys()) {
    if (!(key in fields)) throw new ImportError(`The manifest is invalid: unknown key "${key}"`);
  }
  return record;
}

// Opens a regular file without following a link in its last component and without waiting on a
// FIFO planted in its place.
async function openRegular(file, what) {
  const flags = constants.O_RDONLY | constants.O_NOFOLLOW | constants.O_NONBLOCK;
  const handle = await open(file, flags).catch((error) => {
    throw new ImportError(`Cannot open the ${what} ${file}: ${error.message}`);
  });
  const info = await handle.stat();
  if (!info.isFile()) {
    await handle.close();
    throw new ImportError(`The ${what} is not a regular file: ${file}`);
  }
  return handle;
}

// Feeds `consume` the file's bytes from the start, never more than `limit` of them; returns the
// count, `limit + 1` when there were more.
async function readAtMost(handle, limit, consume) {
  const buffer = Buffer.alloc(Math.min(limit + 1, 1 << 20));
  let total = 0;
  for (;;) {
    const want = Math.min(buffer.length, limit + 1 - total);
    const {bytesRead} = await handle.read(buffer, 0, want, total);
    if (bytesRead === 0) return total;
    consume(buffer.subarray(0, bytesRead));
    total += bytesRead;
    if (total > limit) return total;
  }
}

async function readManifestText(file) {
  const handle = await openRegular(file, 'manifest');
  try {
    const parts = [];
    const size = await readAtMost(handle, RECORD_LIMIT, (bytes) => parts.push(Buffer.from(bytes)));
    if (size > RECORD_LIMIT) throw new ImportError(`Larger than a manifest can be: ${file}`);
    return new TextDecoder('utf-8', {fatal: true}).decode(Buffer.concat(parts));
  } catch (error) {
    if (error instanceof TypeError) throw new ImportError(`The manifest is not UTF-8: ${file}`);
    throw error;
  } finally {
    await handle.close();
  }
}

/**
 * Reads the manifest at `manifestPath` by the bridge's own rules: every key present, none
 * unknown or repeated, strict types, the stage's own request ID and a staged file directly inside
 * the stage directory.
 * @returns {Promise<{schema: string, requestId: string, source: string,
 *   originalSourcePath: string, filePath: string, originalName: string, sizeBytes: bigint,
 *   sha256: string, createdAt: string, temporary: boolean}>}
 */
export async function readManifest(manifestPath) {
  await refuseLinks(manifestPath);
  const manifest = typed(parseFlatObject(await readManifestText(manifestPath)), MANIFEST_FIELDS);
  const stage = path.dirname(manifestPath);
  if (manifest.schema !== SCHEMA || manifest.source !== SOURCE) {
    throw new ImportError('The manifest is not a Varquin browser import');
  }
  if (manifest.requestId !== path.basename(stage)) {
    throw new ImportError('The manifest is not its stage directory\'s');
  }
  if (path.dirname(path.normalize(manifest.filePath)) !== path.normalize(stage)) {
    throw new ImportError('The staged file is not in the stage directory');
  }
  if (manifest.temporary !== true) throw new ImportError('The manifest is not a managed stage');
  return manifest;
}

/** Checks that the staged file is a regular file, not a link, of the manifest's size and digest. */
export async function verifyStagedFile(manifest) {
  await refuseLinks(path.dirname(manifest.filePath));
  const handle = await openRegular(manifest.filePath, 'staged file');
  try {
    // One descriptor for the size and the digest: a file swapped in meanwhile is not the one read.
    const hash = createHash('sha256');
    const limit = Number(manifest.sizeBytes);
    const size = await readAtMost(handle, limit, (bytes) => hash.update(bytes));
    if (size !== limit) {
      throw new ImportError(`The staged file does not have the manifest's ${limit} bytes`);
    }
    if (hash.digest('hex') !== manifest.sha256) {
      throw new ImportError('The staged file is not the one the manifest describes (SHA-256)');
    }
  } finally {
    await handle.close();
  }
}

/**
 * Everything the app does on start: the manifest of the process arguments, read and verified.
 * Null when the app was not started for an import.
 */
export async function openImport(argv = process.argv) {
  const manifestPath = manifestPathFromArgv(argv);
  if (manifestPath === null) return null;
  const manifest = await readManifest(manifestPath);
  await verifyStagedFile(manifest);
  return {manifestPath, manifest, filePath: manifest.filePath};
}

/**
 * The terminal record the bridge recognises: the manifest's fields and when the app took the
 * import over, in the bridge's own layout (pretty JSON, two spaces, one line break at the end).
 */
export function terminalRecordText(manifest, finalizedAt = new Date()) {
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

/**
 * Leaves the terminal record of an opened import in <user data>/browser-import-terminals,
 * published whole: written to a temporary file beside it, synced, then renamed into place.
 */
export async function finalizeImport(opened, finalizedAt = new Date()) {
  const {manifest, manifestPath} = opened;
  // <user data>/browser-imports/<request ID>/request.json
  const userData = path.dirname(path.dirname(path.dirname(manifestPath)));
  const terminals = path.join(userData, TERMINALS_ROOT_NAME);
  await refuseLinks(userData);
  await mkdir(terminals, {recursive: true});
  const target = path.join(terminals, `${manifest.requestId}.json`);
  const temporary = path.join(terminals, `.${manifest.requestId}.json.${randomUUID()}.tmp`);
  const handle = await open(temporary, 'wx');
  try {
    await handle.writeFile(terminalRecordText(manifest, finalizedAt));
    await handle.sync();
  } catch (error) {
    await handle.close();
    await unlink(temporary).catch(() => {});
    throw error;
  }
  await handle.close();
  await rename(temporary, target);
  return target;
}
