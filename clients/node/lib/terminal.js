import { fileURLToPath } from 'node:url';
import { StartError } from './errors.js';
import { PtyGuardian } from './guardian.js';
import { checkArgs, positiveInteger, resolveExecutable } from './resolve.js';
import { startFailure, supervise } from './run.js';

export const bridgePath = fileURLToPath(new URL('../bridge.js', import.meta.url));
const channelFd = 3;

// An interactive terminal for the app: a supervised run whose root is the bridge, which runs
// the command in a pty guardian and relays its control and event lines over descriptor 3.
export function superviseTerminal(command, args, options) {
  if (!Array.isArray(args)) {
    options = args;
    args = [];
  }
  options = { ...(options ?? {}) };
  checkArgs(command, args);
  const cols = positiveInteger('cols', options.cols ?? 80, 65535);
  const rows = positiveInteger('rows', options.rows ?? 24, 65535);
  let root = null;
  let failure;
  try {
    root = resolveExecutable(command, { cwd: options.cwd, env: options.env, what: 'command' });
  } catch (error) {
    if (!(error instanceof StartError)) throw error;
    failure = error;
  }
  const { cols: _cols, rows: _rows, ...rest } = options;
  const run = supervise(
    process.execPath,
    [bridgePath, '--fd', String(channelFd), '--cols', String(cols), '--rows', String(rows), '--', root ?? command, ...args],
    { ...rest, stdio: [undefined, undefined, undefined, 'pipe'], [startFailure]: failure },
  );
  const terminal = new PtyGuardian(options.maxBuffer);
  run.terminal = terminal;
  const channel = run.stdio[channelFd];
  if (channel) terminal._attach(channel, channel);
  else run.report.then(() => terminal._settle(terminal._outcome()), (error) => terminal._settle({ error }));
  return run;
}
