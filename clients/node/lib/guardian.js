import os from 'node:os';
import { StartError } from './errors.js';
import { checkArgs, checkBudgets, positiveInteger, resolveExecutable } from './resolve.js';
import { defaultBudgets } from './run.js';
import { Session, asyncDispose, defaultMaxBuffer } from './session.js';

export const maxWriteBytes = 8192;
const signals = new Set(['SIGINT', 'SIGTERM', 'SIGKILL']);
const placement =
  'A guardian must be started as a child of a process inside a supervised run (in the root\'s process group ' +
  'or on a pty guardian\'s terminal), never by a session or process group leader';

function errnoName(errno) {
  for (const [name, value] of Object.entries(os.constants.errno)) if (value === errno) return name;
  return 'ERR_SOLKARI_SPAWN';
}

function invalidValue(message) {
  const error = new RangeError(message);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

// The enclosing supervisor's budgets, exported to everything below it.
function inheritedBudgets(env) {
  const read = (name, fallback) => {
    const value = Number(env[name]);
    return Number.isInteger(value) && value >= 1 && value <= 2147483647 ? value : fallback;
  };
  return {
    startupMs: read('SOLKARI_NATIVE_OWNER_STARTUP_MS', defaultBudgets.startupMs),
    graceMs: read('SOLKARI_NATIVE_OWNER_GRACE_MS', defaultBudgets.graceMs),
    confirmMs: read('SOLKARI_NATIVE_OWNER_CONFIRM_MS', defaultBudgets.confirmMs),
  };
}

function checkFds(name, fds) {
  if (fds === undefined) return [];
  if (!Array.isArray(fds)) throw invalidValue(`The "${name}" option must be an array of descriptor numbers`);
  for (const fd of fds) positiveInteger(name, fd, 2147483647);
  if (fds.some((fd) => fd < 3)) throw invalidValue(`The "${name}" option takes descriptors from 3 on`);
  return fds;
}

// A nested supervisor: JSON control lines in, the event protocol out.
export class GuardianSession extends Session {
  constructor(kind, maxBuffer) {
    super(maxBuffer ?? defaultMaxBuffer);
    this.kind = kind;
    this.stdout = this._stream(1);
    this.stdio = [null, this.stdout];
    this._sentTerminate = false;
    this._ended = new Set();
  }

  _control() {}

  _outputTarget(event) {
    if (event.type === 'output') return this._streams.get(event.stream === 'stdout' ? 1 : 2);
    if (event.type === 'fdOutput') return this._streams.get(event.fd);
    return null;
  }

  _controlLine(body) {
    this._send(`{"version":1,${body}}\n`);
  }

  _write(fd, data) {
    const bytes = typeof data === 'string' ? Buffer.from(data, 'utf8') : Buffer.from(data.buffer, data.byteOffset, data.byteLength);
    for (let at = 0; at < bytes.length; at += maxWriteBytes) {
      const piece = bytes.subarray(at, at + maxWriteBytes).toString('base64');
      this._controlLine(`"event":"write","fd":${fd},"data":"${piece}"`);
    }
  }

  terminate() {
    if (!this._sentTerminate) {
      this._sentTerminate = true;
      this._controlLine('"event":"terminate"');
    }
    return this.report;
  }

  async [asyncDispose]() {
    await this.terminate().catch(() => {});
  }

  _startFailure() {
    const failed = this._seen.spawnFailed;
    if (!failed) return null;
    const code = errnoName(failed.errno);
    return new StartError(`the guardian could not execute its command (${code})`, { code });
  }

  _outcome() {
    const outcome = super._outcome();
    if (outcome.error instanceof StartError && !this._seen.spawnFailed) {
      const message = outcome.error.supervisorMessage;
      outcome.error = new StartError(`the guardian did not start (${message ?? 'no diagnostic'}). ${placement}.`, {
        supervisorMessage: message,
      });
    }
    return outcome;
  }
}

export class PtyGuardian extends GuardianSession {
  constructor(maxBuffer) {
    super('pty', maxBuffer);
    this.output = this.stdout;
  }

  // Bytes for the terminal, cut into write lines of at most 8192 bytes.
  write(data) {
    this._write(0, data);
  }

  resize(cols, rows) {
    positiveInteger('cols', cols, 65535);
    positiveInteger('rows', rows, 65535);
    this._controlLine(`"event":"resize","cols":${cols},"rows":${rows}`);
  }
}

export class CommandGuardian extends GuardianSession {
  constructor(inputFds, outputFds, maxBuffer) {
    super('command', maxBuffer);
    this.stderr = this._stream(2);
    this.stdio[2] = this.stderr;
    for (const fd of outputFds) this.stdio[fd] = this._stream(fd);
    this._inputs = new Set([0, ...inputFds]);
  }

  _checkInput(fd) {
    if (!this._inputs.has(fd)) throw invalidValue(`descriptor ${fd} is not an input of this guardian`);
    if (this._ended.has(fd)) {
      const error = new Error(`descriptor ${fd} was already ended`);
      error.code = 'ERR_STREAM_WRITE_AFTER_END';
      throw error;
    }
  }

  write(fd, data) {
    this._checkInput(fd);
    this._write(fd, data);
  }

  end(fd = 0) {
    this._checkInput(fd);
    this._ended.add(fd);
    this._controlLine(`"event":"end","fd":${fd}`);
  }

  signal(name) {
    if (!signals.has(name)) throw invalidValue(`signal must be one of ${[...signals].join(', ')}`);
    this._controlLine(`"event":"signal","signal":"${name}"`);
  }
}

function startGuardian(session, command, args, options, modeArgs) {
  const env = options.env ?? process.env;
  const budgets = checkBudgets(options.budgets, inheritedBudgets(env));
  let helper, root;
  try {
    const named = env.SOLKARI_NATIVE_OWNER_HELPER;
    if (!named)
      throw new StartError(`SOLKARI_NATIVE_OWNER_HELPER is not set, so this process is not inside a supervised run. ${placement}.`, {
        code: 'ERR_SOLKARI_NOT_SUPERVISED',
      });
    helper = resolveExecutable(named, { cwd: options.cwd, env, what: 'guardian helper' });
    root = resolveExecutable(command, { cwd: options.cwd, env, what: 'command' });
  } catch (error) {
    if (!(error instanceof StartError)) throw error;
    process.nextTick(() => session._settle({ error }));
    return session;
  }
  const argv = [...modeArgs, '--startup-ms', String(budgets.startupMs), '--grace-ms', String(budgets.graceMs), '--confirm-ms', String(budgets.confirmMs), '--', root, ...args];
  session._spawn(helper, argv, { cwd: options.cwd, env: options.env, stdio: ['pipe', 'pipe', 'pipe'] });
  return session;
}

function split(args, options) {
  return Array.isArray(args) ? [args, options ?? {}] : [[], args ?? {}];
}

export function spawnPtyGuardian(command, args, options) {
  [args, options] = split(args, options);
  checkArgs(command, args);
  const cols = positiveInteger('cols', options.cols ?? 80, 65535);
  const rows = positiveInteger('rows', options.rows ?? 24, 65535);
  const session = new PtyGuardian(options.maxBuffer);
  return startGuardian(session, command, args, options, ['--pty-guardian', '--cols', String(cols), '--rows', String(rows)]);
}

export function spawnCommandGuardian(command, args, options) {
  [args, options] = split(args, options);
  checkArgs(command, args);
  const inputFds = checkFds('inputFds', options.inputFds);
  const outputFds = checkFds('outputFds', options.outputFds);
  const all = [...inputFds, ...outputFds];
  if (new Set(all).size !== all.length) throw invalidValue('each extra descriptor may be given once');
  const session = new CommandGuardian(inputFds, outputFds, options.maxBuffer);
  const modeArgs = ['--command-guardian'];
  for (const fd of inputFds) modeArgs.push('--input-fd', String(fd));
  for (const fd of outputFds) modeArgs.push('--output-fd', String(fd));
  return startGuardian(session, command, args, options, modeArgs);
}
