import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { supervise } from '../index.js';
import { collect, decoded, scoped, text } from './helpers.js';

const quick = { startupMs: 10000, graceMs: 300, confirmMs: 10000 };
const digest = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// Blocks this thread, and so the whole event loop, without pausing any stream.
function blockEventLoop(until, limitMs) {
  const cell = new Int32Array(new SharedArrayBuffer(4));
  const deadline = Date.now() + limitMs;
  while (!until() && Date.now() < deadline) Atomics.wait(cell, 0, 0, 20);
}

scoped('output: 4 MiB of random bytes on each stream arrive intact or counted, in streams and events alike', async (scope) => {
  const bytes = crypto.randomBytes(4 * 1024 * 1024);
  const file = scope.file('random', bytes);
  const run = supervise('sh', ['-c', 'cat "$0" & cat "$0" >&2; wait', file], scope.options({ budgets: quick }));
  const [out, err, { events, report }] = await Promise.all([collectBytes(run.stdout), collectBytes(run.stderr), collect(run)]);
  assert.deepEqual(report.clientDropped, { chunks: 0, bytes: 0 });
  assert.equal(digest(out), digest(decoded(events)), 'stdout stream and events');
  assert.equal(digest(err), digest(decoded(events, 'stderr')), 'stderr stream and events');
  // The supervisor never slows its root down: what it could not queue for this client is
  // counted, and everything else arrives as sent.
  assert.equal(out.length + err.length + report.droppedBytes, 2 * bytes.length, 'every byte was delivered or counted');
  if (report.dropped === 0) {
    const want = digest(bytes);
    assert.equal(digest(out), want, 'stdout stream');
    assert.equal(digest(err), want, 'stderr stream');
  }
});

async function collectBytes(readable) {
  const chunks = [];
  for await (const chunk of readable) chunks.push(chunk);
  return Buffer.concat(chunks);
}

scoped('output: a UTF-8 character split across two reads survives setEncoding', async (scope) => {
  // The euro sign is E2 82 AC; the root writes its first two bytes, waits, then the last.
  const run = supervise('sh', ['-c', "printf '\\342\\202'; sleep 0.3; printf '\\254\\n'"], scope.options({ budgets: quick }));
  run.stdout.setEncoding('utf8');
  const [got, { events }] = await Promise.all([text(run.stdout), collect(run)]);
  assert.ok(events.filter((e) => e.type === 'output').length >= 2, 'the character really came in two reads');
  assert.equal(got, '\u20ac\n');
});

scoped('output: output lost while the app blocked its event loop is reported', async (scope) => {
  const total = 4 * 1024 * 1024;
  const done = path.join(scope.work, 'done');
  const run = supervise('sh', ['-c', `head -c ${total} /dev/zero; touch "$0"`, done], scope.options({ budgets: quick }));
  let logDropped = null;
  run.on('logDropped', (event) => {
    logDropped = event;
  });
  const got = collectBytes(run.stdout);
  await run.ready();
  // The root can only finish once the supervisor, finding its parent stalled, drops output.
  blockEventLoop(() => fs.existsSync(done), 20000);
  const report = await run.report;
  assert.ok(report.logDropped && report.logDropped.frames > 0, 'the supervisor dropped output');
  assert.deepEqual(logDropped && { frames: logDropped.frames, bytes: logDropped.bytes }, report.logDropped);
  assert.equal(report.dropped, report.logDropped.frames);
  assert.equal(report.droppedBytes, report.logDropped.bytes);
  assert.equal((await got).length + report.logDropped.bytes, total, 'every byte was delivered or counted');
  assert.equal(report.failed, null, 'dropping output does not fail the run');
});

scoped('output: a consumer that never reads loses only what exceeds its buffer, counted', async (scope) => {
  const total = 1024 * 1024;
  const run = supervise('sh', ['-c', `head -c ${total} /dev/zero`], scope.options({ budgets: quick, maxBuffer: 64 * 1024 }));
  let delivered = 0;
  run.on('output', (event) => {
    delivered += event.data.length;
  });
  const report = await run.report;
  assert.equal(delivered + report.droppedBytes, total, 'events carry everything the supervisor did not drop');
  assert.ok(report.clientDropped.bytes > 0);
  assert.ok(run.stdout.readableLength <= 64 * 1024);
  assert.equal(run.stdout.readableLength + report.clientDropped.bytes, delivered);
});
