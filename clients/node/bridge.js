#!/usr/bin/env node
// The root of a terminal run: starts a pty guardian as its child (a guardian must not be
// started by a session leader, and this root leads its session) and relays between it and the
// descriptor the app passed down. The guardian's lines are read eagerly and buffered here, so
// that an app that reads slowly never makes the guardian overflow.
//
//   node bridge.js --fd N --cols C --rows R -- /absolute/command [args...]
import { spawn } from 'node:child_process';
import net from 'node:net';

function fail(message) {
  process.stderr.write(`bridge: ${message}\n`);
  process.exit(2);
}

const argv = process.argv.slice(2);
const split = argv.indexOf('--');
if (split < 0 || split === argv.length - 1) fail('usage: bridge.js --fd N --cols C --rows R -- COMMAND [ARGS...]');
const settings = {};
for (let i = 0; i < split; i += 2) settings[argv[i]] = argv[i + 1];
const fd = Number(settings['--fd']);
if (!Number.isInteger(fd) || fd < 3) fail('--fd must name a descriptor from 3 on');
const env = process.env;
const helper = env.SOLKARI_NATIVE_OWNER_HELPER;
if (!helper) fail('SOLKARI_NATIVE_OWNER_HELPER is not set: run the bridge as the root of a supervised run');

// The guardian's grace is half the run's, so that it finishes (and its last lines get through)
// before the run's own grace ends and the run kills this bridge.
const grace = Math.max(1, Math.floor(Number(env.SOLKARI_NATIVE_OWNER_GRACE_MS) / 2) || 1);
const guardian = spawn(
  helper,
  [
    '--pty-guardian', '--cols', settings['--cols'] ?? '80', '--rows', settings['--rows'] ?? '24',
    '--startup-ms', env.SOLKARI_NATIVE_OWNER_STARTUP_MS, '--grace-ms', String(grace),
    '--confirm-ms', env.SOLKARI_NATIVE_OWNER_CONFIRM_MS, '--', ...argv.slice(split + 1),
  ],
  { stdio: ['pipe', 'pipe', 'inherit'] },
);
const channel = new net.Socket({ fd, readable: true, writable: true });
channel.on('error', () => {});
guardian.stdin.on('error', () => {});
channel.pipe(guardian.stdin);
guardian.stdout.on('data', (chunk) => channel.write(chunk));
guardian.on('error', (error) => fail(`guardian: ${error.message}`));
// Once the guardian is gone and its last lines are handed over, the bridge ends with its
// status, and so does the run.
guardian.on('close', (code, signal) => {
  if (signal) process.stderr.write(`bridge: guardian ended by ${signal}\n`);
  const status = code ?? 1;
  channel.end(() => process.exit(status));
  // An app that already closed its end may never see the channel finish.
  setTimeout(() => process.exit(status), 2000).unref();
});
// The run's stop arrives as "shutdown" on standard input; the guardian hears of it from its
// registry, and this bridge ends once the guardian has.
process.stdin.resume();
process.stdin.on('error', () => {});
