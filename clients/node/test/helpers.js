// Shared by every test file: the built supervisor, a private scope per test (its own TMPDIR,
// a marker in the environment of everything it starts), and the protocol's order rules.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import test from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

export const binary = process.env.SOLKARI_OWNER_BINARY;
if (!binary || !fs.existsSync(binary)) throw new Error('SOLKARI_OWNER_BINARY must name the built solkari-owner');

export const fixtures = fileURLToPath(new URL('./fixtures/', import.meta.url));
const markerName = 'SOLKARI_NODE_TEST_MARKER';
// Only a broken run waits this long.
export const patience = 20000;

export { sleep };

// Processes whose environment carries the marker.
export function marked(marker) {
  const needle = Buffer.from(`${markerName}=${marker}\0`);
  const found = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name) || Number(name) === process.pid) continue;
    try {
      if (fs.readFileSync(`/proc/${name}/environ`).includes(needle)) found.push(Number(name));
    } catch {}
  }
  return found;
}

function describe(pid) {
  try {
    return `${pid} ${fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').replaceAll('\0', ' ').trim()}`;
  } catch {
    return `${pid} (gone)`;
  }
}

export function groupGone(pgid) {
  try {
    process.kill(-pgid, 0);
    return false;
  } catch (error) {
    return error.code === 'ESRCH';
  }
}

// Gone or a zombie nobody has reaped yet (an orphan's parent may be slow to reap it).
export function processGone(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) === 'Z';
  } catch {
    return true;
  }
}

export async function eventually(check, ms = patience, step = 20) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (await check()) return true;
    if (Date.now() >= deadline) return false;
    await sleep(step);
  }
}

export class Scope {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'solkari-node-test-'));
    this.tmp = path.join(this.dir, 'tmp');
    this.work = path.join(this.dir, 'work');
    fs.mkdirSync(this.tmp);
    fs.mkdirSync(this.work);
    this.marker = crypto.randomBytes(12).toString('hex');
    this.env = {};
    for (const [name, value] of Object.entries(process.env))
      if (!name.startsWith('SOLKARI_NATIVE_OWNER_') && name !== 'NODE_TEST_CONTEXT') this.env[name] = value;
    this.env.TMPDIR = this.tmp;
    this.env[markerName] = this.marker;
  }

  // Options for supervise() with this scope's environment and the built binary.
  options(extra = {}) {
    return { binary, env: this.env, ...extra };
  }

  file(name, content) {
    const file = path.join(this.work, name);
    fs.writeFileSync(file, content);
    return file;
  }

  // What the test left: processes still alive (killed here) and entries in its TMPDIR.
  async leftovers() {
    const problems = [];
    let alive = [];
    await eventually(() => (alive = marked(this.marker)).length === 0, 3000);
    if (alive.length > 0) {
      problems.push(`processes survived the test:\n  ${alive.map(describe).join('\n  ')}`);
      await eventually(() => {
        const still = marked(this.marker);
        for (const pid of still) {
          try {
            process.kill(pid, 'SIGKILL');
          } catch {}
        }
        return still.length === 0;
      }, 5000);
    }
    const left = fs.readdirSync(this.tmp);
    if (left.length > 0) problems.push(`left in TMPDIR: ${left.join(', ')}`);
    fs.rmSync(this.dir, { recursive: true, force: true });
    return problems;
  }
}

// A test with a scope of its own, failing when anything it started survives it or anything is
// left in its TMPDIR.
// A body that hangs is given up after a minute, so that the scope still kills what it started
// and the file's process can end.
export function scoped(name, body, options = {}) {
  test(name, { timeout: 120000, ...options }, async (t) => {
    const scope = new Scope();
    let failure;
    let timer;
    const limit = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error('the test did not finish within a minute')), 60000);
    });
    try {
      await Promise.race([body(scope, t), limit]);
    } catch (error) {
      failure = error;
    } finally {
      clearTimeout(timer);
    }
    const problems = await scope.leftovers();
    if (failure) throw failure;
    if (problems.length > 0) assert.fail(problems.join('\n'));
  });
}

// Every event of a run, in order, and its report or error.
export async function collect(run) {
  const events = [];
  let error = null;
  try {
    for await (const event of run) events.push(event);
  } catch (e) {
    error = e;
  }
  const report = error ? null : await run.report;
  return { events, report, error };
}

export function decoded(events, stream = 'stdout') {
  return Buffer.concat(events.filter((e) => e.type === 'output' && e.stream === stream).map((e) => e.data));
}

export async function text(readable) {
  const chunks = [];
  for await (const chunk of readable) chunks.push(Buffer.from(chunk));
  return Buffer.concat(chunks).toString('utf8');
}

export async function waitForOutput(run, needle, stream = 'stdout') {
  let seen = '';
  return new Promise((resolve, reject) => {
    const onOutput = (event) => {
      if (event.stream !== stream) return;
      seen += event.data.toString('utf8');
      if (seen.includes(needle)) done(resolve);
    };
    const onClose = () => done(() => reject(new Error(`no "${needle}" on ${stream} before the run ended; got ${JSON.stringify(seen)}`)));
    const done = (then) => {
      run.off('output', onOutput);
      run.off('close', onClose);
      then();
    };
    run.on('output', onOutput);
    run.on('close', onClose);
  });
}

// The documented order rules of an owner run's events; never a fixed sequence.
export function assertOrder(events) {
  const types = events.map((e) => e.type);
  const where = (type) => types.indexOf(type);
  const count = (type) => types.filter((t) => t === type).length;
  const shown = types.join(' ');
  assert.equal(types[0], 'started', `started comes first: ${shown}`);
  assert.equal(count('started'), 1, shown);
  assert.ok(count('ready') <= 1, `ready at most once: ${shown}`);
  assert.equal(count('stopping'), 1, `stopping once: ${shown}`);
  assert.equal(count('rootExit'), 1, `rootExit once: ${shown}`);
  assert.equal(count('reaped'), 1, shown);
  assert.equal(types.at(-1), 'reaped', `reaped comes last: ${shown}`);
  if (count('ready') === 1) assert.ok(where('ready') < where('stopping'), `ready only before stopping: ${shown}`);
  const stopping = events[where('stopping')];
  if (stopping.reason === 'root_exit') assert.ok(where('rootExit') < where('stopping'), shown);
  // After both stopping and rootExit only output, then failed, logDropped and reaped, in that order.
  const tail = types.slice(Math.max(where('stopping'), where('rootExit')) + 1).filter((t) => t !== 'output');
  const expected = ['failed', 'logDropped', 'reaped'].filter((t) => tail.includes(t));
  assert.deepEqual(tail, expected, `after the stop: ${shown}`);
  assert.equal(stopping.reason, events.at(-1).reason, 'reaped repeats the first stop reason');
}
