import assert from 'node:assert/strict';
import path from 'node:path';
import { StartError, spawnPtyGuardian, superviseTerminal, supervise } from '../index.js';
import { collect, decoded, eventually, fixtures, groupGone, scoped } from './helpers.js';

const quick = { startupMs: 10000, graceMs: 600, confirmMs: 10000 };

// Runs a scenario of the guardian app as the root of a run and returns what it printed.
async function scenario(scope, name) {
  const run = supervise(process.execPath, [path.join(fixtures, 'guardian-app.js'), name], scope.options({ budgets: quick }));
  const { events, report, error } = await collect(run);
  assert.equal(error, null);
  const stdout = decoded(events).toString();
  const line = stdout.split('\n').find((l) => l.startsWith('RESULT '));
  assert.ok(line, `no result; stdout ${JSON.stringify(stdout)} stderr ${JSON.stringify(decoded(events, 'stderr').toString())}`);
  assert.equal(report.exitCode, 0);
  return JSON.parse(line.slice('RESULT '.length));
}

const cases = [
  { name: 'command', want: { bigIntact: true, fd3: 'four\n', stderr: 'err\n', reason: 'root_exit', exitCode: 0 } },
  { name: 'signal', want: { seen: 'up\ninterrupted\n', reason: 'signal' } },
  {
    name: 'pty',
    check: (r) => {
      // The terminal echoes the typed line whenever it arrives, before or after the size.
      assert.equal(r.reason, 'root_exit');
      assert.equal(r.output.replace('typed\r\n', ''), '20 90\r\ngot typed\r\n');
    },
  },
  { name: 'missingCommand', check: (r) => assert.equal(r.error.code, 'ENOENT') },
  { name: 'notSupervised', check: (r) => assert.match(r.error.message, /SOLKARI_NATIVE_OWNER_HELPER is not set.*session or process group leader/) },
  { name: 'outsideTheRun', check: (r) => assert.match(r.error.message, /did not start \(guardian registry connect.*session or process group leader/) },
];

for (const c of cases) {
  scoped(`guardian: ${c.name}`, async (scope) => {
    const result = await scenario(scope, c.name);
    if (c.want) assert.deepEqual(result, c.want);
    c.check?.(result);
  });
}

scoped('guardian: started outside any run, it says where it must run', async (scope) => {
  const error = await spawnPtyGuardian('sh', [], { env: scope.env }).report.then(() => null, (e) => e);
  assert.ok(error instanceof StartError);
  assert.equal(error.code, 'ERR_SOLKARI_NOT_SUPERVISED');
});

scoped('terminal: app, run, bridge, pty guardian, shell: size, resize, echo, and one terminate ends all', async (scope) => {
  const run = superviseTerminal('/bin/sh', [], scope.options({ cols: 80, rows: 24, budgets: quick }));
  const terminal = run.terminal;
  let screen = '';
  terminal.output.setEncoding('utf8');
  terminal.output.on('data', (d) => {
    screen += d;
  });
  const shows = async (needle) => assert.ok(await eventually(() => screen.includes(needle)), `no ${JSON.stringify(needle)} in ${JSON.stringify(screen)}`);
  terminal.write('stty size\n');
  await shows('24 80');
  terminal.resize(100, 30);
  terminal.write('stty size\n');
  await shows('30 100');
  terminal.write('echo typed""text\n');
  await shows('echo typed""text');
  await shows('typedtext\r\n');
  const report = await run.terminate();
  assert.equal(report.reason, 'terminate');
  assert.equal(report.failed, null);
  const inner = await terminal.report;
  assert.equal(inner.reason, 'terminate');
  assert.ok(groupGone(report.pid));
  assert.ok(groupGone(inner.pid), 'the shell on the terminal is gone too');
});

scoped('terminal: a shell that exits ends the run by itself', async (scope) => {
  const run = superviseTerminal('/bin/sh', ['-c', 'echo bye; exit 5'], scope.options({ budgets: quick }));
  const output = new Promise((resolve) => {
    let screen = '';
    run.terminal.output.on('data', (d) => {
      screen += d;
    });
    run.terminal.output.on('end', () => resolve(screen));
  });
  const [outer, inner] = await Promise.all([run.report, run.terminal.report]);
  assert.equal(inner.reason, 'root_exit');
  assert.equal(inner.exitCode, 5);
  assert.equal(outer.reason, 'root_exit', 'the bridge ended with its guardian');
  assert.equal(outer.exitCode, 0);
  assert.equal(await output, 'bye\r\n');
});

scoped('terminal: a command that cannot run starts nothing', async (scope) => {
  const run = superviseTerminal('/nonexistent/shell', [], scope.options({ budgets: quick }));
  const [outer, inner] = await Promise.all([run.report.then(() => null, (e) => e), run.terminal.report.then(() => null, (e) => e)]);
  assert.ok(outer instanceof StartError);
  assert.equal(outer.code, 'ENOENT');
  assert.equal(inner, outer);
});
