import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { AbortError, StartError, supervise } from '../index.js';
import { binary, collect, eventually, fixtures, groupGone, processGone, scoped, waitForOutput } from './helpers.js';

const quick = { startupMs: 10000, graceMs: 300, confirmMs: 5000 };

// Nothing may start: no process, nothing in TMPDIR (the scope checks both after each case).
const refused = [
  { name: 'a missing binary', command: 'sh', options: (s) => ({ binary: path.join(s.work, 'missing') }), code: 'ENOENT', message: /supervisor binary .*missing does not exist/ },
  { name: 'a binary that is not executable', command: 'sh', options: (s) => ({ binary: s.file('plain', '') }), code: 'EACCES' },
  { name: 'a command not on PATH', command: 'solkari-no-such-command', code: 'ENOENT', message: /not found on PATH/ },
  { name: 'a missing command path', command: '/nonexistent/tool', code: 'ENOENT' },
  { name: 'a command that is not executable', command: (s) => s.file('script', '#!/bin/sh\n'), code: 'EACCES', message: /not an executable regular file/ },
  { name: 'a directory as command', command: (s) => s.work, code: 'EACCES' },
  { name: 'a missing working directory', command: 'sh', options: (s) => ({ cwd: path.join(s.work, 'gone') }), code: 'ENOENT' },
];

for (const c of refused) {
  scoped(`start: ${c.name} starts nothing`, async (scope) => {
    const command = typeof c.command === 'function' ? c.command(scope) : c.command;
    const run = supervise(command, ['-c', 'touch "$TMPDIR/started"'], scope.options({ budgets: quick, ...c.options?.(scope) }));
    let closed = false;
    run.on('close', () => {
      closed = true;
    });
    const { events, error } = await collect(run);
    assert.ok(error instanceof StartError, String(error));
    assert.equal(error.code, c.code);
    if (c.message) assert.match(error.message, c.message);
    assert.deepEqual(events, []);
    assert.equal(run.pid, undefined);
    assert.ok(closed);
    assert.equal(await run.ready(), false);
  });
}

const badBudgets = [
  [{ startupMs: 0 }, RangeError],
  [{ graceMs: -5 }, RangeError],
  [{ confirmMs: 1.5 }, RangeError],
  [{ graceMs: 2 ** 31 }, RangeError],
  [{ startupMs: '100' }, TypeError],
  ['fast', TypeError],
];

scoped('start: bad budgets are refused before anything starts', async (scope) => {
  for (const [budgets, kind] of badBudgets)
    assert.throws(() => supervise('sh', ['-c', 'touch "$TMPDIR/started"'], scope.options({ budgets })), kind, JSON.stringify(budgets));
  assert.throws(() => supervise('sh', ['x'], scope.options({ stdio: ['ignore'] })), TypeError);
  assert.throws(() => supervise('', [], scope.options()), TypeError);
});

scoped('start: a supervisor that refuses to start says why', async (scope) => {
  const options = scope.options({ budgets: quick });
  options.env = { ...options.env, TMPDIR: path.join(scope.work, 'missing') };
  const { error } = await collect(supervise('sh', ['-c', 'exit 0'], options));
  assert.ok(error instanceof StartError, String(error));
  assert.match(error.supervisorMessage, /temp_directory_path/);
});

scoped('abort: a signal aborted before the start starts nothing', async (scope) => {
  const reason = new Error('changed my mind');
  const run = supervise('sh', ['-c', 'touch "$TMPDIR/started"'], scope.options({ signal: AbortSignal.abort(reason) }));
  const { events, error } = await collect(run);
  assert.ok(error instanceof AbortError);
  assert.equal(error.name, 'AbortError');
  assert.equal(error.cause, reason);
  assert.equal(error.report, null);
  assert.deepEqual(events, []);
});

scoped('abort: aborting mid-run tears the run down, then rejects with the report attached', async (scope) => {
  const controller = new AbortController();
  const run = supervise('sh', ['-c', 'sleep 60 & echo up; wait'], scope.options({ budgets: quick, signal: controller.signal }));
  await waitForOutput(run, 'up');
  const reason = new Error('user closed the window');
  controller.abort(reason);
  const error = await run.report.then(() => null, (e) => e);
  assert.ok(error instanceof AbortError, String(error));
  assert.equal(error.cause, reason);
  assert.equal(error.report.reason, 'terminate');
  assert.ok(groupGone(error.report.pid), 'rejected only after the teardown');
});

scoped('abort: AbortSignal.timeout stops a run that takes too long', async (scope) => {
  const run = supervise('sh', ['-c', 'exec sleep 60'], scope.options({ budgets: quick, signal: AbortSignal.timeout(300) }));
  const { events, error } = await collect(run);
  assert.ok(error instanceof AbortError, String(error));
  assert.equal(error.cause.name, 'TimeoutError');
  assert.equal(error.report.exitCode, 137);
  assert.equal(events.at(-1).type, 'reaped', 'the iterator saw the whole teardown before it threw');
});

scoped('parent crash: a SIGKILLed app leaves no run behind', async (scope) => {
  const app = spawn(process.execPath, [path.join(fixtures, 'crashing-app.js')], {
    env: { ...scope.env, SOLKARI_OWNER_BINARY: binary },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  try {
    const line = await new Promise((resolve, reject) => {
      let seen = '';
      app.stdout.on('data', (d) => {
        seen += d;
        if (seen.includes('\n')) resolve(seen.split('\n')[0]);
      });
      app.on('exit', () => reject(new Error(`the app ended early: ${seen}`)));
    });
    const { root, supervisor } = JSON.parse(line);
    assert.ok(!groupGone(root));
    app.kill('SIGKILL');
    // Within its budgets: the grace, then the confirmation, with room for a loaded machine.
    assert.ok(await eventually(() => groupGone(root), quick.graceMs + quick.confirmMs + 5000), 'the root group was torn down');
    assert.ok(await eventually(() => processGone(supervisor), quick.confirmMs + 5000), 'the supervisor ended');
  } finally {
    app.kill('SIGKILL');
  }
});
