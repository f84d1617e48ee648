// Declarations of the solkari-owner client, written by hand so that no compile step sits
// between the sources and their tests.
/// <reference types="node" />
import { EventEmitter } from 'node:events';
import { Readable, Duplex } from 'node:stream';

export interface Budgets {
  /** How long the client has to confirm start-up with `ready` (ms, 1 to 2147483647). */
  startupMs?: number;
  /** How long the root's process group gets to end after a stop before SIGKILL (ms). */
  graceMs?: number;
  /** How long the supervisor may take to prove the group empty, and to drain output (ms). */
  confirmMs?: number;
}

export declare const defaultBudgets: Readonly<Required<Budgets>>;

export type StdioEntry = 'pipe' | 'ignore' | 'inherit' | number | Duplex | Readable | null | undefined;

export interface SuperviseOptions {
  /** The supervisor: default `SOLKARI_OWNER_BINARY`, then `solkari-owner` on PATH. */
  binary?: string;
  budgets?: Budgets;
  cwd?: string;
  env?: NodeJS.ProcessEnv;
  /** Answer `started` with `ready` (default true). Otherwise call `ready()`. */
  autoReady?: boolean;
  /** Aborting stops the run in order; the report then rejects with an AbortError. */
  signal?: AbortSignal;
  /** Node-style stdio: entries 0 to 2 belong to the client; entries from 3 on reach the root. */
  stdio?: StdioEntry[];
  /** Unread output each stream (and each event iterator) may hold before it drops (bytes). */
  maxBuffer?: number;
}

export type StopReason =
  | 'terminate' | 'root_exit' | 'startup_deadline' | 'owner_eof' | 'signal' | 'control_protocol' | 'io_failure'
  | 'spawn_failed' | 'parent_eof' | 'parent_disconnected' | 'output_overflow' | 'input_write' | 'input_io'
  | (string & {});

/** Members this client does not know are kept, under camelCase names. */
interface Extra {
  [member: string]: unknown;
}

export interface StartedEvent extends Extra { type: 'started'; pid: number }
export interface SpawnFailedEvent extends Extra { type: 'spawnFailed'; pid: number; errno: number }
export interface ReadyEvent extends Extra { type: 'ready' }
export interface OutputEvent extends Extra { type: 'output'; stream: 'stdout' | 'stderr'; data: Buffer }
export interface FdOutputEvent extends Extra { type: 'fdOutput'; fd: number; data: Buffer }
export interface StreamEndEvent extends Extra { type: 'streamEnd'; fd: number }
export interface StoppingEvent extends Extra { type: 'stopping'; reason: StopReason }
export interface RootExitEvent extends Extra { type: 'rootExit'; code: number }
export interface FailedEvent extends Extra {
  type: 'failed';
  stage: string;
  scope: string;
  kind?: string;
  residualGuardians?: number;
  residualGuardianStates?: string[];
  residualMembers?: number;
  residualMemberStates?: string[];
  graceMs?: number;
  confirmMs?: number;
}
export interface LogDroppedEvent extends Extra { type: 'logDropped'; frames: number; bytes: number }
export interface ReapedEvent extends Extra {
  type: 'reaped';
  reason: StopReason;
  active?: number;
  queued?: number;
  dropped?: number;
  droppedBytes?: number;
}
/** An event this client does not know: reported, never fatal. */
export interface UnknownEvent extends Extra { type: 'unknown'; event: string }

export type RunEvent =
  | StartedEvent | ReadyEvent | OutputEvent | StoppingEvent | RootExitEvent | FailedEvent | LogDroppedEvent
  | ReapedEvent | UnknownEvent;
export type GuardianEvent =
  | StartedEvent | SpawnFailedEvent | OutputEvent | FdOutputEvent | StreamEndEvent | StoppingEvent | RootExitEvent
  | FailedEvent | ReapedEvent | UnknownEvent;

export interface Report {
  /** The root's process id, also its process group. */
  pid: number | null;
  reason: StopReason;
  /** The root's exit code (128 + signal number when killed); data, never an error. */
  exitCode: number | null;
  /** Whether the supervisor answered `ready` (owner runs). */
  ready: boolean;
  /** The `failed` line before `reaped`, when the run failed but was still torn down. */
  failed: FailedEvent | null;
  /** Output the supervisor dropped because the client did not read in time. */
  logDropped: { frames: number; bytes: number } | null;
  queued: number;
  dropped: number;
  droppedBytes: number;
  /** Output this client dropped because a stream or iterator held `maxBuffer` unread bytes. */
  clientDropped: { chunks: number; bytes: number };
  supervisorExitCode: number | null;
  supervisorSignal: NodeJS.Signals | null;
  reaped: ReapedEvent;
}

interface SessionEvents<E> {
  on(event: 'close', listener: () => void): this;
  on(event: 'unknown', listener: (event: UnknownEvent) => void): this;
  on(event: string, listener: (event: E) => void): this;
  once(event: 'close', listener: () => void): this;
  once(event: string, listener: (event: E) => void): this;
}

export declare class Run extends EventEmitter implements AsyncIterable<RunEvent> {
  /** The root's process id (and process group), once `started` has come. */
  readonly pid: number | undefined;
  readonly supervisorPid: number | undefined;
  readonly stdout: Readable;
  readonly stderr: Readable;
  /** [null, stdout, stderr, then the app's side of each extra 'pipe' entry]. */
  readonly stdio: Array<Readable | Duplex | null | undefined>;
  /** Resolves when `reaped` was read; rejects with StartError, CleanupError, ProtocolError or AbortError. */
  readonly report: Promise<Report>;
  /** Present on runs made by superviseTerminal. */
  terminal?: PtyGuardian;

  on(event: 'started', listener: (event: StartedEvent) => void): this;
  on(event: 'ready', listener: (event: ReadyEvent) => void): this;
  on(event: 'output', listener: (event: OutputEvent) => void): this;
  on(event: 'stopping', listener: (event: StoppingEvent) => void): this;
  on(event: 'rootExit', listener: (event: RootExitEvent) => void): this;
  on(event: 'failed', listener: (event: FailedEvent) => void): this;
  on(event: 'logDropped', listener: (event: LogDroppedEvent) => void): this;
  on(event: 'reaped', listener: (event: ReapedEvent) => void): this;
  on(event: 'unknown', listener: (event: UnknownEvent) => void): this;
  on(event: 'close', listener: () => void): this;
  once(event: 'started', listener: (event: StartedEvent) => void): this;
  once(event: 'output', listener: (event: OutputEvent) => void): this;
  once(event: 'reaped', listener: (event: ReapedEvent) => void): this;
  once(event: 'close', listener: () => void): this;
  once(event: string, listener: (event: RunEvent) => void): this;

  /** Confirms start-up if not done yet; true once confirmed, false if the run stopped first. */
  ready(): Promise<boolean>;
  /** Asks for an orderly stop; idempotent; settles as `report` does. */
  terminate(): Promise<Report>;
  /** Events from the moment the iterator is made; throws what `report` rejects with. */
  [Symbol.asyncIterator](): AsyncIterableIterator<RunEvent>;
  /** Terminates and waits for the end; never rejects. */
  [Symbol.asyncDispose](): Promise<void>;
}

export declare function supervise(command: string, args?: readonly string[], options?: SuperviseOptions): Run;
export declare function supervise(command: string, options?: SuperviseOptions): Run;

export interface GuardianOptions {
  /** Default: the enclosing supervisor's budgets, exported to everything below it. */
  budgets?: Budgets;
  cwd?: string;
  /** Must keep the SOLKARI_NATIVE_OWNER_* variables of the enclosing run. */
  env?: NodeJS.ProcessEnv;
  maxBuffer?: number;
}

declare class GuardianSession extends EventEmitter implements AsyncIterable<GuardianEvent> {
  readonly kind: 'pty' | 'command';
  readonly pid: number | undefined;
  readonly supervisorPid: number | undefined;
  readonly stdout: Readable;
  readonly report: Promise<Report>;
  on(event: 'started', listener: (event: StartedEvent) => void): this;
  on(event: 'spawnFailed', listener: (event: SpawnFailedEvent) => void): this;
  on(event: 'output', listener: (event: OutputEvent) => void): this;
  on(event: 'fdOutput', listener: (event: FdOutputEvent) => void): this;
  on(event: 'streamEnd', listener: (event: StreamEndEvent) => void): this;
  on(event: 'stopping', listener: (event: StoppingEvent) => void): this;
  on(event: 'rootExit', listener: (event: RootExitEvent) => void): this;
  on(event: 'failed', listener: (event: FailedEvent) => void): this;
  on(event: 'reaped', listener: (event: ReapedEvent) => void): this;
  on(event: 'unknown', listener: (event: UnknownEvent) => void): this;
  on(event: 'close', listener: () => void): this;
  terminate(): Promise<Report>;
  [Symbol.asyncIterator](): AsyncIterableIterator<GuardianEvent>;
  [Symbol.asyncDispose](): Promise<void>;
}

export declare class PtyGuardian extends GuardianSession {
  readonly kind: 'pty';
  /** The terminal's output (the same stream as `stdout`). */
  readonly output: Readable;
  /** Bytes for the terminal, sent as write lines of at most 8192 bytes each. */
  write(data: string | Uint8Array): void;
  resize(cols: number, rows: number): void;
}

export declare class CommandGuardian extends GuardianSession {
  readonly kind: 'command';
  readonly stderr: Readable;
  /** [null, stdout, stderr, then a Readable at each output descriptor]. */
  readonly stdio: Array<Readable | null | undefined>;
  /** Bytes for descriptor 0 or an input descriptor, in write lines of at most 8192 bytes. */
  write(fd: number, data: string | Uint8Array): void;
  end(fd?: number): void;
  signal(name: 'SIGINT' | 'SIGTERM' | 'SIGKILL'): void;
}

export declare const maxWriteBytes: 8192;

export declare function spawnPtyGuardian(
  command: string,
  args?: readonly string[],
  options?: GuardianOptions & { cols?: number; rows?: number },
): PtyGuardian;
export declare function spawnCommandGuardian(
  command: string,
  args?: readonly string[],
  options?: GuardianOptions & { inputFds?: number[]; outputFds?: number[] },
): CommandGuardian;

export interface TerminalOptions extends Omit<SuperviseOptions, 'stdio'> {
  cols?: number;
  rows?: number;
}
/** A run whose root is the bridge, with the pty guardian's session as `terminal`. */
export declare function superviseTerminal(
  command: string,
  args?: readonly string[],
  options?: TerminalOptions,
): Run & { terminal: PtyGuardian };
/** The bridge root script shipped with the client. */
export declare const bridgePath: string;

/** Nothing was started: fix the command, binary or environment. */
export declare class StartError extends Error {
  name: 'StartError';
  /** ENOENT, EACCES, ... or ERR_SOLKARI_START / ERR_SOLKARI_NOT_SUPERVISED. */
  code: string;
  path?: string;
  /** The supervisor's `owner error:` message, when it refused. */
  supervisorMessage: string | null;
}

/** The tree may not be gone: look for the root's process group (`pid`). */
export declare class CleanupError extends Error {
  name: 'CleanupError';
  code: 'ERR_SOLKARI_CLEANUP';
  /** The fatal `failed` line with its residual lists, or null when no report came at all. */
  failed: FailedEvent | null;
  supervisorMessage: string | null;
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  pid: number | null;
}

/** A line could not be read; the supervisor's input was closed and its exit awaited. */
export declare class ProtocolError extends Error {
  name: 'ProtocolError';
  code: 'ERR_SOLKARI_PROTOCOL';
  line: string | null;
  report: Report | null;
  exitCode: number | null;
  signal: NodeJS.Signals | null;
}

/** The app's signal aborted the run, after its teardown (`report`, null if nothing started). */
export declare class AbortError extends Error {
  name: 'AbortError';
  code: 'ABORT_ERR';
  cause: unknown;
  report: Report | null;
}
