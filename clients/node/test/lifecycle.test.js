import assert from 'node:assert/strict';
import { supervise } from '../index.js';
import { assertOrder, collect, decoded, eventually, groupGone, scoped, waitForOutput } from './helpers.js';

const quick = { startupMs: 10000, graceMs: 300, confirmMs: 10000 };

// Each case: a root, what the test does during the run, and what the report must say.
const cases = [
  { name: 'a root that exits by itself', script: 'echo out; echo err >&2; exit 3', reason: 'root_exit', exitCode: 3, stdout: 'out\n', stderr: 'err\n' },
  { name: 'a root that exits at once, maybe before ready is answered', script: 'exit 0', reason: 'root_exit', exitCode: 0 },
  {
    name: 'terminate, and the root reads its shutdown line',
    script: 'echo up; read word; echo "got $word"',
    during: async (run) => {
      await waitForOutput(run, 'up');
      await run.terminate();
    },
    reason: 'terminate',
    exitCode: 0,
    stdout: 'up\ngot shutdown\n',
  },
  {
    name: 'terminate, and a root that does not listen is killed after the grace',
    script: 'echo up; exec sleep 60',
    during: async (run) => {
      await waitForOutput(run, 'up');
      run.terminate();
    },
    reason: 'terminate',
    exitCode: 137,
  },
  {
    name: 'no ready in time when the app does not confirm',
    script: 'read word; echo "got $word"',
    options: { autoReady: false, budgets: { ...quick, startupMs: 300 } },
    reason: 'startup_deadline',
    exitCode: 0,
    ready: false,
    stdout: 'got shutdown\n',
  },
];

for (const c of cases) {
  scoped(`lifecycle: ${c.name}`, async (scope) => {
    const run = supervise('sh', ['-c', c.script], scope.options({ budgets: quick, ...c.options }));
    const collected = collect(run);
    const confirmed = c.options?.autoReady === false ? null : run.ready();
    await c.during?.(run);
    const { events, report, error } = await collected;
    assert.equal(error, null);
    assertOrder(events);
    assert.equal(report.reason, c.reason);
    assert.equal(report.exitCode, c.exitCode);
    assert.equal(report.failed, null, 'the client never breaks the control protocol');
    assert.equal(report.supervisorExitCode, 0);
    assert.equal(report.pid, run.pid);
    assert.ok(groupGone(report.pid));
    if (confirmed) assert.equal(await confirmed, report.ready, 'ready() says whether the run was confirmed');
    if (c.ready !== undefined) assert.equal(report.ready, c.ready);
    if (c.stdout !== undefined) assert.equal(decoded(events).toString(), c.stdout);
    if (c.stderr !== undefined) assert.equal(decoded(events, 'stderr').toString(), c.stderr);
    assert.deepEqual(await run.terminate(), report, 'terminate() after the end returns the same report');
  });
}

scoped('lifecycle: typed events come in the same order as the iterator sees them', async (scope) => {
  const run = supervise('sh', ['-c', 'echo a; echo b >&2'], scope.options({ budgets: quick }));
  const emitted = [];
  for (const type of ['started', 'ready', 'output', 'stopping', 'rootExit', 'failed', 'logDropped', 'reaped'])
    run.on(type, (event) => emitted.push(event));
  let closed = false;
  run.on('close', () => {
    closed = true;
  });
  const { events } = await collect(run);
  assert.deepEqual(emitted, events);
  assert.ok(closed);
  assert.equal(run.pid, events[0].pid);
});

scoped('lifecycle: terminate reaches a tree with background grandchildren, and the group is proven gone', async (scope) => {
  const run = supervise('sh', ['-c', 'sleep 60 & (sleep 60 & sleep 60) & echo up; wait'], scope.options({ budgets: quick }));
  await waitForOutput(run, 'up');
  const first = run.terminate();
  assert.equal(run.terminate(), first, 'terminate() is idempotent');
  const report = await first;
  assert.equal(report.reason, 'terminate');
  assert.equal(report.exitCode, 137);
  assert.ok(groupGone(report.pid), 'the root process group is gone when the report arrives');
});

scoped('lifecycle: disposing of a run tears it down', async (scope) => {
  const run = supervise('sh', ['-c', 'echo up; exec sleep 60'], scope.options({ budgets: quick }));
  await waitForOutput(run, 'up');
  await run[Symbol.asyncDispose]();
  const report = await run.report;
  assert.equal(report.reason, 'terminate');
  assert.ok(groupGone(report.pid));
});

scoped('lifecycle: ready() confirms a run started without autoReady, and never hangs', async (scope) => {
  const run = supervise('sh', ['-c', 'echo up; read word'], scope.options({ budgets: quick, autoReady: false }));
  await waitForOutput(run, 'up');
  assert.equal(await run.ready(), true);
  assert.equal(await run.ready(), true, 'a second ready() sends nothing more');
  const report = await run.terminate();
  assert.equal(report.failed, null);
  assert.equal(report.ready, true);
  const late = supervise('sh', ['-c', 'exit 0'], scope.options({ budgets: quick, autoReady: false }));
  await late.report;
  assert.equal(await late.ready(), false, 'ready() after the end resolves false');
});

scoped('lifecycle: extra descriptors reach the root', async (scope) => {
  const run = supervise('sh', ['-c', 'echo through >&3; read word <&3; echo "root read $word"'], scope.options({
    budgets: quick,
    stdio: [undefined, undefined, undefined, 'pipe'],
  }));
  const channel = run.stdio[3];
  channel.once('data', (data) => {
    assert.equal(data.toString(), 'through\n');
    channel.end('back\n');
  });
  const { events, report } = await collect(run);
  assert.equal(report.reason, 'root_exit');
  assert.equal(decoded(events).toString(), 'root read back\n');
  channel.destroy();
  assert.ok(await eventually(() => groupGone(report.pid)));
});
