// A client for the solkari-owner supervisor: supervised runs and guardian sessions.
export { supervise, Run, defaultBudgets } from './lib/run.js';
export { spawnPtyGuardian, spawnCommandGuardian, PtyGuardian, CommandGuardian, maxWriteBytes } from './lib/guardian.js';
export { superviseTerminal, bridgePath } from './lib/terminal.js';
export { StartError, CleanupError, ProtocolError, AbortError } from './lib/errors.js';
