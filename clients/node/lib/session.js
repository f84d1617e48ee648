import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { Readable } from 'node:stream';
import { AbortError, CleanupError, ProtocolError, StartError } from './errors.js';
import { parseEvent } from './events.js';
import { LineSplitter } from './lines.js';

// Generous against the longest line the supervisor writes (an output line of 8192 bytes is
// 10983 bytes; a fatal line lists at most 64 residual members).
export const maxLineBytes = 1 << 20;
const maxDiagnosticBytes = 64 * 1024;
export const defaultMaxBuffer = 16 * 1024 * 1024;

const noop = () => {};

// Node releases before 18.18 have no Symbol.asyncDispose; a registered symbol stands in there,
// so that the method never ends up under the key "undefined".
export const asyncDispose = Symbol.asyncDispose ?? Symbol.for('nodejs.asyncDispose');

// What both kinds of session share: reading event lines from the supervisor eagerly, turning
// them into events, output streams and async iterators with bounded buffers, and settling one
// report promise when the supervisor is gone.
export class Session extends EventEmitter {
  constructor(maxBuffer) {
    super();
    this.pid = undefined;
    this._maxBuffer = maxBuffer;
    this._clientDropped = { chunks: 0, bytes: 0 };
    this._iterators = new Set();
    this._streams = new Map();
    this._seen = { started: null, spawnFailed: null, ready: false, stopping: null, rootExit: null, failed: null, logDropped: null, reaped: null };
    this._protocolError = null;
    this._abortReason = undefined;
    this._aborted = false;
    this._settled = false;
    this._diagnostic = '';
    this._child = null;
    this._input = null;
    this._exit = null;
    this._open = 0;
    this._spawnError = null;
    this._splitter = new LineSplitter(maxLineBytes, (line) => this._line(line), (bytes) =>
      this._misread(new ProtocolError(`event line longer than ${maxLineBytes} bytes (${bytes} so far)`)));
    let resolve, reject;
    this.report = new Promise((res, rej) => {
      resolve = res;
      reject = rej;
    });
    // Marked handled: an app that never awaits the report must not crash on its rejection;
    // awaiting it still throws.
    this.report.catch(noop);
    this._resolve = resolve;
    this._reject = reject;
  }

  _stream(key) {
    let stream = this._streams.get(key);
    if (!stream) {
      stream = new Readable({ read: noop });
      this._streams.set(key, stream);
    }
    return stream;
  }

  _push(stream, data) {
    if (stream.destroyed || stream.readableEnded) return;
    if (stream.readableLength + data.length > this._maxBuffer) {
      this._clientDropped.chunks += 1;
      this._clientDropped.bytes += data.length;
      return;
    }
    stream.push(data);
  }

  // The supervisor's process id.
  get supervisorPid() {
    return this._child ? this._child.pid : undefined;
  }

  // Starts the supervisor and reads its event lines eagerly, always, whatever the app does.
  // The session settles once it has exited and both its output pipes are closed.
  _spawn(binary, argv, options) {
    const child = spawn(binary, argv, options);
    this._child = child;
    this._input = child.stdin;
    child.stdin.on('error', noop);
    this._read(child.stdout);
    this._collectDiagnostic(child.stderr);
    this._open = 2;
    const closed = () => {
      this._open -= 1;
      this._maybeFinish();
    };
    child.stdout.on('close', closed);
    child.stderr.on('close', closed);
    child.on('error', (error) => {
      if (this._exit) return;
      this._spawnError = error;
      this._maybeFinish();
    });
    child.on('exit', (code, signal) => {
      this._exit = { code, signal };
      child.stdin.destroy();
      this._maybeFinish();
    });
    return child;
  }

  // A session whose supervisor is not this process's child (a guardian behind a bridge): it
  // settles when its event stream closes.
  _attach(input, output) {
    this._input = input;
    input.on('error', noop);
    this._read(output);
    this._open = 1;
    this._exit = { code: null, signal: null };
    output.on('close', () => {
      this._open -= 1;
      this._maybeFinish();
    });
  }

  _read(readable) {
    readable.on('data', (chunk) => this._splitter.push(chunk));
    readable.on('end', () => readable.destroy());
    readable.on('error', noop);
  }

  _send(text) {
    const input = this._input;
    if (input && !input.destroyed && !input.writableEnded) input.write(text);
  }

  // End of input is an orderly stop for the supervisor; after a protocol error its lines are
  // no longer trusted, but it is still waited for.
  _stopAfterMisread() {
    const input = this._input;
    if (input && !input.destroyed && !input.writableEnded) input.end();
  }

  _maybeFinish() {
    if (this._settled) return;
    if (this._spawnError && !this._exit) {
      if (this._open > 0) return;
      const error = this._spawnError;
      this._settle({
        error: new StartError(`the supervisor could not be started: ${error.message}`, { code: error.code, cause: error }),
      });
      return;
    }
    if (!this._exit || this._open > 0) return;
    if (this._splitter.partial > 0) this._misread(new ProtocolError('event stream ended inside a line'));
    this._settle(this._outcome());
  }

  _collectDiagnostic(readable) {
    readable.setEncoding('utf8');
    readable.on('data', (text) => {
      if (this._diagnostic.length < maxDiagnosticBytes) this._diagnostic += text.slice(0, maxDiagnosticBytes);
    });
    readable.on('error', noop);
  }

  // The supervisor's own message ("owner error: ...") without its prefix, or null.
  get _supervisorMessage() {
    const lines = this._diagnostic.split('\n').filter((l) => l.startsWith('owner error: '));
    return lines.length === 0 ? null : lines[lines.length - 1].slice('owner error: '.length);
  }

  _line(text) {
    if (this._protocolError) {
      // Past a protocol error nothing is acted on, but a report that still arrives is kept.
      try {
        const event = parseEvent(text);
        if (event.type === 'reaped') this._seen.reaped = event;
      } catch {}
      return;
    }
    let event;
    try {
      event = parseEvent(text);
    } catch (error) {
      this._misread(error);
      return;
    }
    this._record(event);
    this._control(event);
    this._deliver(event);
  }

  _record(event) {
    const seen = this._seen;
    switch (event.type) {
      case 'started':
        seen.started = event;
        this.pid = event.pid;
        break;
      case 'spawnFailed':
        seen.spawnFailed = event;
        this.pid = event.pid;
        break;
      case 'ready':
        seen.ready = true;
        break;
      case 'stopping':
        if (!seen.stopping) seen.stopping = event;
        break;
      case 'rootExit':
        seen.rootExit = event;
        break;
      case 'failed':
        seen.failed = event;
        break;
      case 'logDropped':
        seen.logDropped = event;
        break;
      case 'reaped':
        seen.reaped = event;
        break;
    }
  }

  _misread(error) {
    if (this._protocolError) return;
    this._protocolError = error;
    this._stopAfterMisread();
  }

  _deliver(event) {
    const target = this._outputTarget(event);
    if (target) this._push(target, event.data);
    if (event.type === 'streamEnd') {
      const stream = this._streams.get(event.fd);
      if (stream && !stream.readableEnded) stream.push(null);
    }
    for (const queue of this._iterators) queue.add(event, this);
    this.emit(event.type, event);
  }

  _report() {
    const seen = this._seen;
    const reaped = seen.reaped;
    return {
      pid: seen.started ? seen.started.pid : null,
      reason: reaped.reason,
      exitCode: seen.rootExit ? seen.rootExit.code : null,
      ready: seen.ready,
      failed: seen.failed,
      logDropped: seen.logDropped ? { frames: seen.logDropped.frames, bytes: seen.logDropped.bytes } : null,
      queued: reaped.queued ?? 0,
      dropped: reaped.dropped ?? 0,
      droppedBytes: reaped.droppedBytes ?? 0,
      clientDropped: { ...this._clientDropped },
      supervisorExitCode: this._exit ? this._exit.code : null,
      supervisorSignal: this._exit ? this._exit.signal : null,
      reaped,
    };
  }

  // The outcome once the supervisor is gone: a report, or the error that says what to do.
  _outcome() {
    const seen = this._seen;
    const exit = this._exit ?? { code: null, signal: null };
    const message = this._supervisorMessage;
    if (this._protocolError) {
      const error = this._protocolError;
      error.report = seen.reaped ? this._report() : null;
      error.exitCode = exit.code;
      error.signal = exit.signal;
      return { error };
    }
    if (seen.reaped) {
      const startFailure = this._startFailure();
      if (startFailure) return { error: startFailure };
      const report = this._report();
      return this._aborted ? { error: new AbortError(this._abortReason, report) } : { report };
    }
    const fatal = seen.failed;
    if (!seen.started && ((fatal && fatal.scope === 'none') || (!fatal && exit.code === 1 && message !== null))) {
      return {
        error: new StartError(`the supervisor did not start the command: ${message ?? 'no diagnostic'}`, { supervisorMessage: message }),
      };
    }
    const pid = seen.started ? seen.started.pid : null;
    const what = fatal
      ? `the supervisor failed (stage ${fatal.stage}) without proving the tree gone`
      : `the supervisor ended without a report (${exit.signal ? `signal ${exit.signal}` : `exit status ${exit.code}`})`;
    return {
      error: new CleanupError(`${what}${message ? `: ${message}` : ''}`, {
        failed: fatal,
        supervisorMessage: message,
        exitCode: exit.code,
        signal: exit.signal,
        pid,
      }),
    };
  }

  _startFailure() {
    return null;
  }

  _settle(outcome) {
    if (this._settled) return;
    this._settled = true;
    this._finalError = outcome.error;
    this._cleanup();
    for (const stream of this._streams.values()) if (!stream.readableEnded && !stream.destroyed) stream.push(null);
    for (const queue of this._iterators) queue.finish(outcome.error);
    if (outcome.error) this._reject(outcome.error);
    else this._resolve(outcome.report);
    this.emit('close');
  }

  _cleanup() {}

  // Every event in protocol order, from the moment the iterator is made: make it right after
  // starting to see all of them. It ends after the last event, and throws what the report
  // rejects with. Its queued output is bounded like the streams'.
  [Symbol.asyncIterator]() {
    const queue = new EventQueue();
    if (this._settled) {
      queue.finish(this._finalError);
    } else {
      this._iterators.add(queue);
    }
    const iterators = this._iterators;
    return {
      next: () => queue.next(),
      return: async (value) => {
        iterators.delete(queue);
        queue.finish(undefined, true);
        return { value, done: true };
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }

}

class EventQueue {
  constructor() {
    this.items = [];
    this.bytes = 0;
    this.waiting = null;
    this.done = false;
    this.error = undefined;
  }

  add(event, session) {
    if (this.done) return;
    const size = event.data ? event.data.length : 0;
    if (size > 0 && this.bytes + size > session._maxBuffer) {
      session._clientDropped.chunks += 1;
      session._clientDropped.bytes += size;
      return;
    }
    this.bytes += size;
    if (this.waiting) {
      const { resolve } = this.waiting;
      this.waiting = null;
      this.bytes -= size;
      resolve({ value: event, done: false });
    } else {
      this.items.push(event);
    }
  }

  finish(error, silently = false) {
    if (this.done) return;
    this.done = true;
    this.error = silently ? undefined : error;
    if (this.waiting) {
      const { resolve, reject } = this.waiting;
      this.waiting = null;
      if (this.error) reject(this.error);
      else resolve({ value: undefined, done: true });
      this.error = undefined;
    }
  }

  next() {
    if (this.items.length > 0) {
      const value = this.items.shift();
      this.bytes -= value.data ? value.data.length : 0;
      return Promise.resolve({ value, done: false });
    }
    if (this.done) {
      const error = this.error;
      this.error = undefined;
      return error ? Promise.reject(error) : Promise.resolve({ value: undefined, done: true });
    }
    return new Promise((resolve, reject) => {
      this.waiting = { resolve, reject };
    });
  }
}
