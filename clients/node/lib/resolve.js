import fs from 'node:fs';
import path from 'node:path';
import { StartError } from './errors.js';

const budgetNames = ['startupMs', 'graceMs', 'confirmMs'];
const largest = 2147483647;

function invalid(name, value, what, RangeOrType = RangeError) {
  const error = new RangeOrType(`The "${name}" option must be ${what}. Received ${String(value)}`);
  error.code = RangeOrType === RangeError ? 'ERR_OUT_OF_RANGE' : 'ERR_INVALID_ARG_TYPE';
  return error;
}

export function positiveInteger(name, value, max = largest) {
  if (typeof value !== 'number') throw invalid(name, value, 'of type number', TypeError);
  if (!Number.isInteger(value) || value < 1 || value > max) throw invalid(name, value, `an integer from 1 to ${max}`);
  return value;
}

// The three budgets, each defaulted from `defaults` and checked the way the supervisor's
// command line would check it, so that a bad value fails here and starts nothing.
export function checkBudgets(budgets, defaults) {
  if (budgets !== undefined && (budgets === null || typeof budgets !== 'object'))
    throw invalid('budgets', budgets, 'an object', TypeError);
  const result = {};
  for (const name of budgetNames) {
    const value = budgets?.[name] ?? defaults[name];
    result[name] = positiveInteger(`budgets.${name}`, value);
  }
  return result;
}

export function checkArgs(command, args) {
  if (typeof command !== 'string' || command === '') throw invalid('command', command, 'a non-empty string', TypeError);
  if (!Array.isArray(args) || args.some((a) => typeof a !== 'string'))
    throw invalid('args', args, 'an array of strings', TypeError);
  for (const word of [command, ...args])
    if (word.includes('\0')) throw invalid('args', word, 'free of null bytes', TypeError);
}

function probe(file) {
  let stat;
  try {
    stat = fs.statSync(file);
  } catch (error) {
    return error.code === 'ENOTDIR' ? 'ENOENT' : error.code;
  }
  if (!stat.isFile()) return 'EACCES';
  try {
    fs.accessSync(file, fs.constants.X_OK);
  } catch {
    return 'EACCES';
  }
  return null;
}

// The absolute path of an executable regular file: a name with a slash relative to `cwd`, any
// other name searched on PATH the way execvp searches it. In owner mode a command that cannot
// be executed would only show as a root exiting with 127, so it is refused here instead.
export function resolveExecutable(name, { cwd, env, what }) {
  const base = cwd === undefined ? process.cwd() : path.resolve(cwd);
  let candidates;
  if (name.includes('/')) {
    candidates = [path.resolve(base, name)];
  } else {
    const search = (env ?? process.env).PATH ?? '/usr/local/bin:/usr/bin:/bin';
    candidates = search.split(':').map((dir) => path.resolve(base, dir === '' ? '.' : dir, name));
  }
  let denied = null;
  for (const candidate of candidates) {
    const problem = probe(candidate);
    if (problem === null) return candidate;
    if (problem !== 'ENOENT' && denied === null) denied = candidate;
  }
  const code = denied ? 'EACCES' : 'ENOENT';
  const where = denied ?? (name.includes('/') ? candidates[0] : name);
  const reason = denied ? 'is not an executable regular file' : name.includes('/') ? 'does not exist' : 'was not found on PATH';
  throw new StartError(`${what} ${where} ${reason}`, { code, path: where });
}
