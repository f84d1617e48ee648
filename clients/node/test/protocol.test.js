import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { CleanupError, ProtocolError, supervise } from '../index.js';
import { collect, fixtures, scoped } from './helpers.js';

const fake = path.join(fixtures, 'fake-supervisor.js');

function fakeRun(scope, scenario) {
  const log = path.join(scope.work, 'input.log');
  fs.writeFileSync(log, '');
  const options = scope.options({ binary: fake });
  options.env = { ...options.env, FAKE_SCENARIO: scenario, FAKE_LOG: log };
  const run = supervise('/bin/true', [], options);
  return { run, input: () => fs.readFileSync(log, 'utf8') };
}

scoped('protocol: a well-behaved fake run resolves, keeping what the client does not know', async (scope) => {
  const { run, input } = fakeRun(scope, 'future');
  const unknown = [];
  run.on('unknown', (event) => {
    unknown.push(event);
    run.ready();
    run.terminate();
    run.terminate();
  });
  const { events, report, error } = await collect(run);
  assert.equal(error, null);
  assert.deepEqual(unknown, [{ type: 'unknown', event: 'future_thing', weight: 3 }]);
  assert.deepEqual(events.map((e) => e.type), ['started', 'ready', 'output', 'unknown', 'stopping', 'rootExit', 'reaped']);
  assert.equal(events[2].data.toString(), 'hello, world\n');
  assert.equal(report.reaped.extraMember, 'kept');
  assert.equal(input(), 'ready\nterminate\n', 'each control word once, exactly framed');
});

const broken = [
  { scenario: 'malformed', message: /not JSON/, report: true },
  { scenario: 'version', message: /unsupported protocol version 2/ },
  { scenario: 'oversized', message: /longer than/, report: true },
  { scenario: 'badData', message: /"data" is not a valid base64/ },
  { scenario: 'cutOff', message: /ended inside a line/ },
];

for (const c of broken) {
  scoped(`protocol: ${c.scenario} is a protocol error; the client closes the input and waits for the end`, async (scope) => {
    const { run, input } = fakeRun(scope, c.scenario);
    const { error } = await collect(run);
    assert.ok(error instanceof ProtocolError, String(error));
    assert.match(error.message, c.message);
    assert.equal(error.code, 'ERR_SOLKARI_PROTOCOL');
    assert.ok(input().endsWith('<eof>') || c.scenario === 'cutOff', `input was closed: ${JSON.stringify(input())}`);
    assert.equal(error.report !== null, Boolean(c.report), 'a report still read is attached');
    assert.equal(error.exitCode, 0, 'the supervisor was waited for');
    await assert.rejects(run.report, error);
  });
}

scoped('protocol: a supervisor that ends without a report leaves cleanup unproven', async (scope) => {
  const { run } = fakeRun(scope, 'noReport');
  const error = await run.report.then(() => null, (e) => e);
  assert.ok(error instanceof CleanupError, String(error));
  assert.equal(error.failed, null);
  assert.equal(error.pid, run.pid);
  assert.equal(error.exitCode, 0);
  assert.match(error.message, /without a report/);
});

scoped('protocol: a fatal failure carries the residual lists and the supervisor\'s message', async (scope) => {
  const { run } = fakeRun(scope, 'fatal');
  const { error } = await collect(run);
  assert.ok(error instanceof CleanupError, String(error));
  assert.equal(error.failed.stage, 'native_api');
  assert.deepEqual(error.failed.residualMemberStates, ['4240:zombie']);
  assert.equal(error.failed.confirmMs, 1000);
  assert.equal(error.supervisorMessage, 'scope confirmation deadline');
  assert.equal(error.exitCode, 1);
});
