import { AbortError, StartError } from './errors.js';
import { checkArgs, checkBudgets, positiveInteger, resolveExecutable } from './resolve.js';
import { Session, asyncDispose, defaultMaxBuffer } from './session.js';

// Set by a caller that found, before starting, that nothing may start.
export const startFailure = Symbol('startFailure');

export const defaultBudgets = Object.freeze({ startupMs: 10000, graceMs: 3000, confirmMs: 5000 });

const noop = () => {};

function checkStdio(stdio) {
  if (stdio === undefined) return [];
  if (!Array.isArray(stdio)) {
    const error = new TypeError('The "stdio" option must be an array');
    error.code = 'ERR_INVALID_ARG_TYPE';
    throw error;
  }
  for (let fd = 0; fd < Math.min(3, stdio.length); ++fd) {
    if (stdio[fd] !== undefined && stdio[fd] !== null && stdio[fd] !== 'pipe') {
      const error = new TypeError(`stdio[${fd}] belongs to the client (leave it undefined)`);
      error.code = 'ERR_INVALID_ARG_VALUE';
      throw error;
    }
  }
  return stdio.slice(3);
}

function abortReason(signal) {
  return signal.reason === undefined ? new DOMException('This operation was aborted', 'AbortError') : signal.reason;
}

// A supervised run, seen from the app. The client alone writes the supervisor's control
// words: `ready` and `terminate` each at most once, exactly framed.
export class Run extends Session {
  constructor(command, args, options) {
    super(options.maxBuffer ?? defaultMaxBuffer);
    this.stdout = this._stream('stdout');
    this.stderr = this._stream('stderr');
    this.stdio = [null, this.stdout, this.stderr];
    this._autoReady = options.autoReady ?? true;
    this._wantReady = this._autoReady;
    this._sentReady = false;
    this._sentTerminate = false;
    this._signal = options.signal;
    let readyResolve;
    this._readyPromise = new Promise((resolve) => {
      readyResolve = resolve;
    });
    this._readyResolve = readyResolve;

    const budgets = checkBudgets(options.budgets, defaultBudgets);
    const extra = checkStdio(options.stdio);
    if (options.maxBuffer !== undefined) positiveInteger('maxBuffer', options.maxBuffer, Number.MAX_SAFE_INTEGER);
    if (this._signal !== undefined && !(this._signal instanceof AbortSignal)) {
      const error = new TypeError('The "signal" option must be an AbortSignal');
      error.code = 'ERR_INVALID_ARG_TYPE';
      throw error;
    }

    if (this._signal?.aborted) {
      this._aborted = true;
      this._abortReason = abortReason(this._signal);
      process.nextTick(() => this._settle({ error: new AbortError(this._abortReason) }));
      return;
    }
    let binary, root;
    try {
      if (options[startFailure]) throw options[startFailure];
      const env = options.env ?? process.env;
      const binaryName = options.binary ?? env.SOLKARI_OWNER_BINARY ?? process.env.SOLKARI_OWNER_BINARY ?? 'solkari-owner';
      binary = resolveExecutable(binaryName, { cwd: options.cwd, env, what: 'supervisor binary' });
      root = resolveExecutable(command, { cwd: options.cwd, env, what: 'command' });
    } catch (error) {
      if (!(error instanceof StartError)) throw error;
      process.nextTick(() => this._settle({ error }));
      return;
    }

    const argv = ['--startup-ms', String(budgets.startupMs), '--grace-ms', String(budgets.graceMs), '--confirm-ms', String(budgets.confirmMs), '--', root, ...args];
    const child = this._spawn(binary, argv, { cwd: options.cwd, env: options.env, stdio: ['pipe', 'pipe', 'pipe', ...extra] });
    for (let fd = 3; fd < child.stdio.length; ++fd) this.stdio[fd] = child.stdio[fd];
    if (this._signal) {
      this._onAbort = () => {
        this._aborted = true;
        this._abortReason = abortReason(this._signal);
        this.terminate();
      };
      this._signal.addEventListener('abort', this._onAbort, { once: true });
    }
  }

  _word(word) {
    this._send(`${word}\n`);
  }

  _sendReady() {
    if (this._sentReady || this._sentTerminate || !this._seen.started || this._seen.stopping) return;
    this._sentReady = true;
    this._word('ready');
  }

  _control(event) {
    if (event.type === 'started' && this._wantReady) this._sendReady();
    else if (event.type === 'ready') this._readyResolve(true);
    else if (event.type === 'stopping' && !this._seen.ready) this._readyResolve(false);
  }

  _outputTarget(event) {
    return event.type === 'output' ? this._streams.get(event.stream) : null;
  }

  // Confirms start-up (once `started` has come, unless already confirmed) and resolves true
  // when the supervisor answered, false when the run stopped first.
  ready() {
    this._wantReady = true;
    this._sendReady();
    return this._readyPromise;
  }

  // Asks for an orderly stop; idempotent. Resolves or rejects as `report` does.
  terminate() {
    if (!this._sentTerminate && this._child) {
      this._sentTerminate = true;
      this._word('terminate');
    }
    return this.report;
  }

  async [asyncDispose]() {
    await this.terminate().catch(noop);
  }

  _cleanup() {
    this._readyResolve(false);
    if (this._signal && this._onAbort) this._signal.removeEventListener('abort', this._onAbort);
  }
}

export function supervise(command, args, options) {
  if (!Array.isArray(args)) {
    options = args;
    args = [];
  }
  options = options ?? {};
  if (typeof options !== 'object') {
    const error = new TypeError('The "options" argument must be an object');
    error.code = 'ERR_INVALID_ARG_TYPE';
    throw error;
  }
  checkArgs(command, args);
  return new Run(command, args, options);
}
