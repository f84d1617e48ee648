// The few ways a run can end without a report the app can trust. Each class says what the app
// must do next; every one carries a `code` string as Node's own errors do.

// Nothing was started: fix the command, the binary or the environment. Nothing to clean up.
export class StartError extends Error {
  constructor(message, { code = 'ERR_SOLKARI_START', path, supervisorMessage, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'StartError';
    this.code = code;
    if (path !== undefined) this.path = path;
    this.supervisorMessage = supervisorMessage ?? null;
  }
}

// The supervisor could not prove the tree gone: it reported a fatal failure (`failed` holds
// that line, with its residual lists) or it ended without any report (`failed` is null).
// Processes of the root's group (`pid`) may still be alive.
export class CleanupError extends Error {
  constructor(message, { failed = null, supervisorMessage = null, exitCode = null, signal = null, pid = null } = {}) {
    super(message);
    this.name = 'CleanupError';
    this.code = 'ERR_SOLKARI_CLEANUP';
    this.failed = failed;
    this.supervisorMessage = supervisorMessage;
    this.exitCode = exitCode;
    this.signal = signal;
    this.pid = pid;
  }
}

// A line from the supervisor could not be read. The client closed the supervisor's input so
// that its orderly stop ran, and waited for it to exit; `report` holds its last report when
// one could still be read.
export class ProtocolError extends Error {
  constructor(message, { line } = {}) {
    super(message);
    this.name = 'ProtocolError';
    this.code = 'ERR_SOLKARI_PROTOCOL';
    this.line = line === undefined ? null : line.length > 200 ? `${line.slice(0, 200)}...` : line;
    this.report = null;
    this.exitCode = null;
    this.signal = null;
  }
}

// The app's AbortSignal fired: the run was torn down in order first.
export class AbortError extends Error {
  constructor(reason, report = null) {
    super('The operation was aborted', { cause: reason });
    this.name = 'AbortError';
    this.code = 'ABORT_ERR';
    this.report = report;
  }
}
