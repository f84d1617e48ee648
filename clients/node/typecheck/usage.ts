// Written against the declarations only: compiling it proves they describe a usable API.
import {
  AbortError, CleanupError, ProtocolError, StartError, type Report, type RunEvent,
  spawnCommandGuardian, spawnPtyGuardian, supervise, superviseTerminal,
} from '../index.js';

export async function runAndReport(): Promise<number | null> {
  await using run = supervise('make', ['all'], { budgets: { graceMs: 500 }, cwd: '/tmp' });
  run.on('started', (e) => console.log(e.pid.toFixed()));
  run.on('output', (e) => process.stdout.write(e.data));
  run.stderr.setEncoding('utf8');
  const confirmed: boolean = await run.ready();
  const report: Report = await run.report;
  return confirmed ? report.exitCode : report.logDropped?.frames ?? null;
}

export async function iterate(signal: AbortSignal): Promise<string[]> {
  const seen: string[] = [];
  try {
    for await (const event of supervise('ls', { signal, autoReady: true }) as AsyncIterable<RunEvent>) {
      if (event.type === 'output') seen.push(event.data.toString('utf8'));
      else if (event.type === 'reaped') seen.push(event.reason);
      else if (event.type === 'unknown') seen.push(event.event);
    }
  } catch (error) {
    if (error instanceof AbortError) seen.push(String(error.cause), String(error.report?.reason));
    else if (error instanceof CleanupError) seen.push(String(error.failed?.residualMemberStates?.join(',')), String(error.pid));
    else if (error instanceof ProtocolError) seen.push(String(error.line));
    else if (error instanceof StartError) seen.push(error.code);
    else throw error;
  }
  return seen;
}

export async function terminal(): Promise<void> {
  const run = superviseTerminal('/bin/sh', [], { cols: 80, rows: 24, signal: AbortSignal.timeout(1000) });
  run.terminal.output.on('data', (chunk: Buffer) => process.stdout.write(chunk));
  run.terminal.write('ls\n');
  run.terminal.resize(120, 40);
  await run.terminate();
}

export async function guardians(): Promise<void> {
  const pty = spawnPtyGuardian('sh', [], { cols: 100, rows: 30 });
  pty.write(new Uint8Array([104, 105, 10]));
  const command = spawnCommandGuardian('tool', ['--x'], { inputFds: [3], outputFds: [4] });
  command.write(3, 'in');
  command.end(3);
  command.signal('SIGINT');
  command.stdio[4]?.pipe(process.stdout);
  const [a, b] = await Promise.all([pty.terminate(), command.report]);
  console.log(a.reason, b.exitCode, command.kind, pty.kind);
}
