#!/usr/bin/env python3
"""Soak and fault runs for solkari-owner. Not part of the regular test run: it takes minutes.

How to run (from the checkout, after building the supervisor):

    cmake -S . -B build-soak && cmake --build build-soak -j2 --target solkari-owner
    python3 tests/soak/soak.py --owner build-soak/solkari-owner            # 500 runs + faults
    python3 tests/soak/soak.py --owner build-soak/solkari-owner --runs 40 --faults 3 -v

Options: --runs N (plain runs over the mix of roots, default 500), --faults K (repetitions of
every fault kind, default 10), --seed S (the schedule and every random moment derive from it, so
a failing run can be replayed), --only NAME (run only scenarios whose name contains NAME),
-v (one line per run). The exit status is 0 when no run produced a finding, 1 otherwise.

What every run checks, whatever its scenario:
- every line on the supervisor's standard output is a JSON event line of version 1, `started`
  comes first, `stopping` and `root_exit` at most once, nothing follows `reaped`;
- the exit status agrees with the last line (reaped without a failed line: 0; a failed line,
  or a fatal error: 1) and with the outcome the scenario documents;
- after the supervisor has exited nothing carrying the run's marker (SOAK_MARKER in
  /proc/*/environ) is alive, escapees included: processes that left the root's process group
  or session (setsid, setpgid, double-forked daemons) are the run's like any other, and one
  still alive counts as a leak;
- no solkari-owner-* directory is left in the run's private TMPDIR;
- the number of descriptors the supervisor holds at the run's steady point (sampled just before
  the stop is provoked) does not grow over the session, per scenario.

Every process a run starts inherits the marker, so whatever path the driver leaves by (a
finding, an exception, Ctrl-C), the final sweep finds and kills it by pidfd.
"""

import argparse
import base64
import collections
import json
import os
import random
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "registry_peer.py")
PREFIX = b'{"version":1,'
OUTPUT_PREFIX = b'{"version":1,"event":"output","stream":"'
GRACE_MS = 200
CONFIRM_MS = 3000
STARTUP_MS = 3000
# Only a broken supervisor takes this long: the slowest documented ending is a drain deadline,
# which needs the grace budget plus one confirm budget.
PATIENCE = 20.0
DECODE_CAP = 1 << 20


def now():
    return time.monotonic()


# ---------------------------------------------------------------------------------------------
# Processes carrying a marker.

def environ_of(pid):
    try:
        with open("/proc/%s/environ" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return None


def stat_of(pid):
    """(state, ppid, pgrp, session) or None once the process is gone."""
    try:
        with open("/proc/%s/stat" % pid, "rb") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rfind(b")") + 2:].split()
    return fields[0].decode(), int(fields[1]), int(fields[2]), int(fields[3])


def cmdline_of(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "?"


def marked(needle, exact=True):
    """Live (non-zombie) processes whose environment holds the marker; a dict pid -> environ.
    A zombie's environment reads empty, which is right: a zombie holds nothing but its pid."""
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        env = environ_of(name)
        if not env:
            continue
        hit = needle in env if exact else any(e.startswith(needle) for e in env)
        if hit:
            found[int(name)] = env
    return found


def kill_exactly(pid, needle, exact=True):
    """SIGKILL one process we started, pinned by a pidfd so that a recycled pid is never hit."""
    try:
        fd = os.pidfd_open(pid)
    except OSError:
        return
    try:
        env = environ_of(pid) or []
        if (needle in env) if exact else any(e.startswith(needle) for e in env):
            signal.pidfd_send_signal(fd, signal.SIGKILL)
    except OSError:
        pass
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------------------------
# One supervised run.

class Owner:
    def __init__(self, soak, run_id, command, startup_ms=STARTUP_MS, grace_ms=GRACE_MS,
                 confirm_ms=CONFIRM_MS):
        self.soak = soak
        self.run_id = run_id
        self.marker = ("SOAK_MARKER=%s-%s" % (soak.session, run_id)).encode()
        self.tmp = os.path.join(soak.base, run_id)
        os.mkdir(self.tmp)
        env = {k: v for k, v in os.environ.items() if not k.startswith("SOLKARI_NATIVE_OWNER_")}
        env["SOAK_MARKER"] = self.marker.split(b"=", 1)[1].decode()
        env["TMPDIR"] = self.tmp
        argv = [soak.owner, "--startup-ms", str(startup_ms), "--grace-ms", str(grace_ms),
                "--confirm-ms", str(confirm_ms), "--"] + command
        self.started_at = now()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, close_fds=True)
        self.pid = self.proc.pid
        os.set_blocking(self.proc.stdout.fileno(), False)
        os.set_blocking(self.proc.stderr.fileno(), False)
        self.buffer = b""
        self.lines = []          # parsed events, in order (output lines kept without data)
        self.bad_lines = []
        self.root_out = bytearray()
        self.out_bytes = 0
        self.stderr = b""
        self.eof = False
        self.stdin_closed = False
        self.stdout_closed = False
        self.status = None
        self.hung = False
        self.inner = InnerStream()
        self.end_fds = None
        self.root_name = None

    # -- reading ------------------------------------------------------------------------------
    def pump(self, timeout):
        """Read whatever the supervisor wrote, waiting at most `timeout` seconds for the first
        bytes. Answers False once standard output is at its end."""
        if self.eof or self.stdout_closed:
            if timeout > 0:
                time.sleep(min(timeout, 0.01))
            return False
        fd = self.proc.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], max(0.0, timeout))
        if not ready:
            return True
        for _ in range(64):
            try:
                chunk = os.read(fd, 1 << 20)
            except BlockingIOError:
                break
            if not chunk:
                self.eof = True
                break
            self.take(chunk)
        return not self.eof

    def take(self, chunk):
        self.buffer += chunk
        if b"\n" not in chunk:
            return
        *complete, self.buffer = self.buffer.split(b"\n")
        for raw in complete:
            self.line(raw)

    def line(self, raw):
        if raw.startswith(OUTPUT_PREFIX):
            # The hot path of a flood: check the shape without a JSON parse of 11 KB.
            at = raw.find(b'","data":"')
            if at < 0 or not raw.endswith(b'"}'):
                self.bad_lines.append(raw[:200])
                return
            stream = raw[len(OUTPUT_PREFIX):at].decode()
            data = raw[at + 10:-2]
            self.out_bytes += len(data) * 3 // 4
            if len(self.root_out) < DECODE_CAP:
                try:
                    decoded = base64.b64decode(data, validate=True)
                except ValueError:
                    self.bad_lines.append(raw[:200])
                    return
                self.root_out += decoded
                if stream == "stdout":
                    self.inner.take(decoded)
            self.lines.append({"event": "output", "stream": stream})
            return
        try:
            event = json.loads(raw)
        except ValueError:
            self.bad_lines.append(raw[:200])
            return
        if not raw.startswith(PREFIX) or event.get("version") != 1 or "event" not in event:
            self.bad_lines.append(raw[:200])
            return
        self.lines.append(event)

    def wait_for(self, predicate, timeout):
        deadline = now() + timeout
        while True:
            if predicate():
                return True
            left = deadline - now()
            if left <= 0 or (not self.pump(min(left, 0.05)) and self.proc.poll() is not None
                             and not predicate()):
                return predicate()

    def has_output(self, text):
        return text.encode() in self.root_out

    def events(self, name):
        return [e for e in self.lines if e.get("event") == name]

    # -- acting -------------------------------------------------------------------------------
    def send(self, word):
        if self.stdin_closed:
            return
        try:
            self.proc.stdin.write(word.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def close_stdin(self):
        if not self.stdin_closed:
            self.stdin_closed = True
            try:
                self.proc.stdin.close()
            except OSError:
                pass

    def close_stdout(self):
        if not self.stdout_closed:
            self.stdout_closed = True
            self.proc.stdout.close()

    def fd_count(self, pid=None):
        try:
            return len(os.listdir("/proc/%d/fd" % (pid or self.pid)))
        except OSError:
            return None

    def sample_end(self):
        # Between the reaped line and the exit the supervisor holds what it holds at its very
        # end; a zombie lists no descriptor at all, so an empty listing is no sample.
        if self.end_fds is None and self.events("reaped"):
            count = self.fd_count()
            if count:
                self.end_fds = count

    def signal(self, number):
        # The supervisor is our child and unreaped until wait(), so its pid cannot be recycled.
        if self.proc.poll() is None:
            os.kill(self.pid, number)

    # -- ending -------------------------------------------------------------------------------
    def finish(self):
        deadline = now() + PATIENCE
        while now() < deadline:
            if self.proc.poll() is not None and (self.eof or self.stdout_closed):
                break
            self.pump(0.01)
            self.sample_end()
        if self.proc.poll() is None:
            self.hung = True
            self.proc.kill()
        self.status = self.proc.wait()
        # Whatever the supervisor wrote is in the pipe now, unless a descendant still holds
        # its write end, which would be a descriptor leaked to the root.
        end = now() + 2.0
        while not self.eof and not self.stdout_closed and now() < end:
            self.pump(0.05)
        self.stdout_held = not self.eof and not self.stdout_closed
        try:
            self.stderr = self.proc.stderr.read() or b""
        except OSError:
            self.stderr = b""
        self.close_stdin()
        self.proc.stderr.close()
        if not self.stdout_closed:
            self.proc.stdout.close()
        self.duration = now() - self.started_at


class InnerStream:
    """The event lines a nested guardian writes, which reach us as the outer root's output."""

    def __init__(self):
        self.buffer = b""
        self.lines = []
        self.out = bytearray()

    def take(self, data):
        self.buffer += data
        if b"\n" not in data:
            return
        *complete, self.buffer = self.buffer.split(b"\n")
        for raw in complete:
            if not raw.startswith(PREFIX):
                continue
            try:
                event = json.loads(raw)
            except ValueError:
                continue
            if event.get("event") == "output" and len(self.out) < DECODE_CAP:
                self.out += base64.b64decode(event.get("data", ""))
            self.lines.append(event)

    def first(self, name):
        for e in self.lines:
            if e.get("event") == name:
                return e
        return None


# ---------------------------------------------------------------------------------------------
# Roots.

def sh(script):
    return ["/bin/sh", "-c", script]


TREE50 = ("for i in 1 2 3 4 5; do ( for j in 1 2 3 4 5 6 7 8 9; do sleep 1000 & done; "
          "echo sub-up; wait ) & done; wait")


def guardian_root(kind, inner, extra_env=""):
    """An outer root that starts a nested guardian below itself (never as itself: a guardian
    must become a session leader, which the root, leading its session already, cannot)."""
    mode = "--pty-guardian --cols 80 --rows 24" if kind == "pty" else "--command-guardian"
    return sh('sleep 1000 | SOAK_INNER=1 %s "$SOLKARI_NATIVE_OWNER_HELPER" %s --startup-ms 3000 '
              '--grace-ms %d --confirm-ms %d -- /bin/sh -c %s'
              % (extra_env, mode, GRACE_MS, CONFIRM_MS, shlex.quote(inner)))


def inner_tree(ignore_term=False, escapee=False):
    trap = "trap '' TERM INT HUP; " if ignore_term else ""
    daemon = ("(SOAK_ESCAPEE=1 setsid sleep 1000 </dev/null >/dev/null 2>&1 &); "
              if escapee else "")
    return trap + daemon + "for i in 1 2 3 4 5 6 7 8; do sleep 1000 & done; echo inner-up; wait"


# ---------------------------------------------------------------------------------------------
# Expectations.

class Expect:
    """What a run must end with. `end` is "reaped" (a normal report), "fatal" (the top-level
    handler's failed native_api line and "owner error: ..." on stderr), or "blind" (we closed
    the supervisor's standard output, so only the status can be judged)."""

    def __init__(self, end="reaped", reasons=None, codes=None, status=0, failed_stage=None,
                 error=None, dropped=None, dirs=0, inner_orphans_ok=False,
                 alternatives=None):
        self.end = end
        self.reasons = reasons
        self.codes = codes
        self.status = status
        self.failed_stage = failed_stage
        self.error = error
        self.dropped = dropped
        self.dirs = dirs
        self.inner_orphans_ok = inner_orphans_ok
        self.alternatives = alternatives or []


def judge_lines(o, x):
    """Findings about the event lines and the status, against one expectation."""
    out = []
    lines = o.lines
    names = [e.get("event") for e in lines]
    stderr = o.stderr.decode(errors="replace")
    if o.bad_lines:
        out.append("malformed line(s): %r" % o.bad_lines[:2])
    if not o.stdout_closed:
        if not names or names[0] != "started":
            out.append("first line is not started: %s" % names[:3])
        for once in ("stopping", "root_exit", "reaped", "ready"):
            if names.count(once) > 1:
                out.append("%s sent %d times" % (once, names.count(once)))
        if "reaped" in names and names.index("reaped") != len(names) - 1:
            out.append("lines after reaped: %s" % names[names.index("reaped"):])
        # The status must agree with the last line whatever the scenario says.
        if names:
            told = 1 if "failed" in names else (0 if names[-1] == "reaped" else None)
            if told is not None and told != o.status:
                out.append("status %s but the lines say %s (last %s)" % (o.status, told, names[-1]))
            if told is None:
                out.append("the run ended without reaped or failed (last line %s)" % names[-1])
    if o.status != x.status:
        out.append("status %s, expected %s" % (o.status, x.status))
    stopping = o.events("stopping")
    reaped = o.events("reaped")
    failed = o.events("failed")
    if x.end == "reaped":
        if not reaped:
            out.append("no reaped line")
        if stderr:
            out.append("unexpected stderr %r" % stderr)
        if x.reasons is not None:
            for e in stopping + reaped:
                if e.get("reason") not in x.reasons:
                    out.append("%s reason %s, expected %s" % (e["event"], e.get("reason"), x.reasons))
            if not stopping:
                out.append("no stopping line")
        if x.failed_stage is None and failed:
            out.append("unexpected failed line %s" % failed)
        if x.failed_stage is not None and [f.get("stage") for f in failed] != [x.failed_stage]:
            out.append("failed lines %s, expected stage %s" % (failed, x.failed_stage))
        for e in reaped:
            if e.get("active") != 0:
                out.append("reaped active %s" % e.get("active"))
            dropped_line = o.events("log_dropped")
            if (e.get("dropped", 0) > 0) != bool(dropped_line):
                out.append("reaped dropped=%s but log_dropped lines %s" % (e.get("dropped"), dropped_line))
            if x.dropped is True and not e.get("dropped"):
                out.append("expected dropped output, reaped says %s" % e)
    elif x.end == "fatal":
        if reaped:
            out.append("reaped line in a fatal run")
        native = [f for f in failed if f.get("stage") == "native_api"]
        if len(native) != 1 or failed[-1] is not native[-1] or names[-1] != "failed":
            out.append("expected one final failed native_api line, got %s" % failed)
        elif native[0].get("scope") != "unknown":
            out.append("fatal scope %s" % native[0].get("scope"))
        want = "owner error: %s\n" % x.error if x.error else None
        if not stderr.startswith("owner error: ") or not stderr.endswith("\n") or stderr.count("\n") != 1:
            out.append("stderr %r is not one owner error line" % stderr)
        elif x.error and not stderr.startswith("owner error: " + x.error):
            out.append("stderr %r, expected %r" % (stderr, want))
    elif x.end == "blind":
        if stderr:
            out.append("unexpected stderr %r" % stderr)
    if x.codes is not None:
        for e in o.events("root_exit"):
            if e.get("code") not in x.codes:
                out.append("root_exit code %s, expected %s" % (e.get("code"), x.codes))
    return out


# ---------------------------------------------------------------------------------------------
# Scenarios. Each takes the soak driver and a random source, runs one supervised run and returns
# (owner, expectation, steady fd count, guardian fd count or None).

def wait_up(o, text, count=1, timeout=5.0):
    ok = o.wait_for(lambda: o.root_out.count(text.encode()) >= count, timeout)
    if not ok:
        o.soak.note(o, "root never printed %r x%d (output %r)" % (text, count, bytes(o.root_out[:200])))
    return ok


def steady_fds(o):
    # Let the loop run a few iterations on the events already pending, so that the sample is
    # taken from a settled supervisor rather than one still subscribing to new members.
    o.pump(0.02)
    return o.fd_count()


def stop_with(o, how, rng):
    """Provoke the stop of a running supervisor; answers the reasons that may follow."""
    if how == "terminate":
        o.send("terminate")
        return {"terminate"}
    if how == "owner_eof":
        o.close_stdin()
        return {"owner_eof"}
    if how in ("SIGTERM", "SIGINT", "SIGHUP"):
        o.signal(getattr(signal, how))
        return {"signal"}
    raise ValueError(how)


def started(o):
    if not o.wait_for(lambda: bool(o.events("started")), 5.0):
        o.soak.note(o, "no started line")
        return False
    return True


def ready(o):
    o.send("ready")
    return o.wait_for(lambda: bool(o.events("ready")), 5.0)


def run_exit_now(s, rng, rid):
    variant = rng.choice(["true", "exit3", "selfkill", "bgchild"])
    cmd, code = {
        "true": (["/bin/true"], 0),
        "exit3": (sh("exit 3"), 3),
        "selfkill": (sh("kill -9 $$"), 137),
        "bgchild": (sh("sleep 0.05 & exit 0"), 0),
    }[variant]
    o = Owner(s, rid, cmd)
    if rng.random() < 0.5:
        o.send("ready")   # may well arrive after the end; either is fine
    o.finish()
    return o, Expect(reasons={"root_exit"}, codes={code}), None, None


def run_quiet(s, rng, rid, how=None):
    o = Owner(s, rid, sh("echo up; exec sleep 1000"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up"):
        fds = steady_fds(o)
    how = how or rng.choice(["terminate", "owner_eof", "SIGTERM", "SIGINT", "SIGHUP"])
    reasons = stop_with(o, how, rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def run_tree50(s, rng, rid):
    o = Owner(s, rid, sh(TREE50))
    fds = None
    if started(o) and ready(o) and wait_up(o, "sub-up", 5):
        # A process caught in the middle of its exec reads as having no environment, so
        # count again before calling the tree short.
        alive, deadline = len(marked(o.marker)), now() + 1.0
        while alive < 51 and now() < deadline:
            o.pump(0.02)
            alive = len(marked(o.marker))
        if alive < 51:
            s.note(o, "tree has only %d marked processes" % alive)
        fds = steady_fds(o)
    reasons = stop_with(o, rng.choice(["terminate", "terminate", "owner_eof", "SIGINT"]), rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def escapee_up(o, timeout=3.0, left="session"):
    """Wait until the escapee has left the root's session (or only its process group); a stop
    before that would kill it with the group and prove nothing."""
    field = 3 if left == "session" else 2
    def out():
        for pid, env in marked(o.marker).items():
            st = stat_of(pid)
            if b"SOAK_ESCAPEE=1" in env and st and st[field] == pid and "sleep" in cmdline_of(pid):
                return True
        return False
    deadline = now() + timeout
    while now() < deadline:
        if out():
            return True
        o.pump(0.02)
    o.soak.note(o, "escapee never left the session")
    return False


def run_setsid(s, rng, rid):
    o = Owner(s, rid, sh("SOAK_ESCAPEE=1 setsid sleep 1000 </dev/null >/dev/null 2>&1 & "
                         "sleep 1000 & echo up; wait"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up") and escapee_up(o):
        fds = steady_fds(o)
    reasons = stop_with(o, rng.choice(["terminate", "owner_eof", "SIGHUP"]), rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def run_setsid_holding(s, rng, rid):
    # The escapee keeps the root's output pipes: they end when it is killed with the rest of
    # the scope, and the run ends normally.
    o = Owner(s, rid, sh("SOAK_ESCAPEE=1 setsid sleep 1000 & echo up; exec sleep 1000"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up") and escapee_up(o):
        fds = steady_fds(o)
    reasons = stop_with(o, "terminate", rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def run_setpgid(s, rng, rid):
    # Leaves only the root's process group, staying in its session.
    o = Owner(s, rid, sh("SOAK_ESCAPEE=1 perl -e 'setpgrp(0, 0); exec @ARGV' sleep 1000 & "
                         "echo up; wait"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up") and escapee_up(o, left="group"):
        fds = steady_fds(o)
    reasons = stop_with(o, rng.choice(["terminate", "owner_eof", "SIGINT"]), rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def run_daemon(s, rng, rid):
    # A daemon by double fork, orphaned to the supervisor at once, with children of its own
    # that are orphaned to it in turn when the daemon is killed; the root exits by itself.
    o = Owner(s, rid, sh("(SOAK_ESCAPEE=1 setsid sh -c 'sleep 1000 & sleep 1000 & exec sleep 1000' "
                         "</dev/null >/dev/null 2>&1 &); echo up; read line"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up") and escapee_up(o):
        fds = steady_fds(o)
    reasons = stop_with(o, rng.choice(["terminate", "owner_eof"]), rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={0}), fds, None


def run_ignore_term(s, rng, rid):
    o = Owner(s, rid, sh("trap '' TERM INT HUP; for i in 1 2 3; do sleep 1000 & done; "
                         "echo up; wait"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up"):
        fds = steady_fds(o)
    reasons = stop_with(o, rng.choice(["terminate", "SIGTERM"]), rng)
    o.finish()
    return o, Expect(reasons=reasons, codes={137}), fds, None


def run_flood(s, rng, rid, pause=False):
    o = Owner(s, rid, sh("echo up; exec cat /dev/zero"))
    fds = None
    if started(o) and ready(o) and wait_up(o, "up"):
        fds = o.fd_count()
        until = now() + rng.uniform(0.1, 0.4)
        while now() < until:
            o.pump(0.02)
        if pause:
            # The parent stops reading: the lossy writer must drop and count rather than hold
            # the root back for ever (the supervisor pauses the root's streams for up to half a
            # second first, so the pause is longer than that).
            time.sleep(rng.uniform(0.8, 1.5))
            if rng.random() < 0.5:
                # Stop while still not reading: the teardown completes, and the supervisor
                # waits at its very end on the full pipe (well inside the drain budget), which
                # is the one moment its final descriptor set can be sampled at leisure.
                o.send("terminate")
                time.sleep(GRACE_MS / 1000.0 + 0.5)
                o.stuck_fds = o.fd_count()
    o.send("terminate")
    o.finish()
    return o, Expect(reasons={"terminate"}, codes={137}, dropped=True if pause else None), fds, None


def run_shutdown_reader(s, rng, rid):
    o = Owner(s, rid, sh('echo up; read line; echo "got:$line"; exit 0'))
    if started(o) and ready(o):
        wait_up(o, "up")
    o.send("terminate")
    o.finish()
    if not o.has_output("got:shutdown"):
        s.note(o, "the root did not read the shutdown line: %r" % bytes(o.root_out[-100:]))
    if o.events("root_exit") and o.events("root_exit")[0].get("code") != 0:
        s.note(o, "root_exit %s after shutdown" % o.events("root_exit"))
    return o, Expect(reasons={"terminate"}, codes={0}), None, None


def run_fdcheck(s, rng, rid):
    # The root sees its three standard descriptors and nothing the supervisor opened.
    # A child lists the root's descriptors: a glob or a pipe in the root itself would add its
    # own descriptor to what it lists.
    o = Owner(s, rid, sh("echo fds:; ls /proc/$$/fd; echo :end"))
    o.send("ready")
    o.finish()
    text = o.root_out.decode(errors="replace")
    listed = text.split("fds:", 1)[-1].split(":end", 1)[0].split()
    if listed != ["0", "1", "2"]:
        s.note(o, "the root inherited descriptors: %r" % text)
    return o, Expect(reasons={"root_exit"}, codes={0}), None, None


def run_startup_deadline(s, rng, rid):
    o = Owner(s, rid, sh("exec sleep 1000"), startup_ms=rng.randint(150, 400))
    o.finish()
    return o, Expect(reasons={"startup_deadline"}, codes={137}), None, None


def run_control_protocol(s, rng, rid):
    o = Owner(s, rid, sh("echo up; exec sleep 1000"))
    if started(o) and ready(o):
        wait_up(o, "up")
    o.send(rng.choice(["bogus", "ready", "terminate\r", "READY"]))
    o.finish()
    return o, Expect(reasons={"control_protocol"}, codes={137}, status=1,
                     failed_stage="control_protocol"), None, None


def guardian_pid(o):
    """The nested guardian's pid: the parent of the inner root its started line names."""
    e = o.inner.first("started")
    if not e:
        return None
    st = stat_of(e["pid"])
    if not st:
        return None
    if "-guardian" not in cmdline_of(st[1]):
        o.soak.note(o, "parent of the inner root is not a guardian: %s" % cmdline_of(st[1]))
        return None
    return st[1]


def inner_up(o):
    return o.wait_for(lambda: b"inner-up" in o.inner.out, 5.0)


def run_guardian(s, rng, rid, kind=None):
    kind = kind or rng.choice(["command", "pty"])
    o = Owner(s, rid, guardian_root(kind, inner_tree(ignore_term=rng.random() < 0.3,
                                                     escapee=rng.random() < 0.5)))
    fds = gfds = None
    if started(o) and ready(o):
        if inner_up(o):
            fds = steady_fds(o)
            g = guardian_pid(o)
            gfds = o.fd_count(g) if g else None
        else:
            s.note(o, "nested guardian never came up: inner lines %s" % o.inner.lines[:4])
    reasons = stop_with(o, rng.choice(["terminate", "terminate", "owner_eof", "SIGTERM"]), rng)
    o.finish()
    inner_reaped = o.inner.first("reaped")
    if not inner_reaped or inner_reaped.get("reason") != "terminate":
        s.note(o, "nested guardian ended with %s, expected reaped terminate"
               % [e.get("event") for e in o.inner.lines])
    return o, Expect(reasons=reasons), fds, gfds


# -- faults -----------------------------------------------------------------------------------

PERSISTENT = {
    "quiet": (sh("echo up; exec sleep 1000"), "up"),
    "tree50": (sh(TREE50), "sub-up"),
    "ignore_term": (sh("trap '' TERM INT HUP; sleep 1000 & echo up; wait"), "up"),
    "flood": (sh("echo up; exec cat /dev/zero"), "up"),
    "guardian_command": (guardian_root("command", inner_tree()), None),
    "guardian_pty": (guardian_root("pty", inner_tree()), None),
}


def random_moment(o, rng, up_text):
    """Let the run get somewhere (or not) before the fault: right after started, while the
    tree is being built, or once it is up."""
    if rng.random() < 0.3:
        return
    if up_text and rng.random() < 0.5:
        o.wait_for(lambda: up_text.encode() in o.root_out, 3.0)
    until = now() + rng.uniform(0.0, 0.4)
    while now() < until:
        o.pump(0.02)


def fault_root(s, rng, rid, root):
    cmd, up = PERSISTENT[root]
    o = Owner(s, rid, cmd)
    o.root_name = root
    if started(o):
        ready(o)
    return o, up


def fault_close_stdin(s, rng, rid):
    root = rng.choice(sorted(PERSISTENT))
    o, up = fault_root(s, rng, rid, root)
    random_moment(o, rng, up)
    o.close_stdin()
    o.finish()
    return o, Expect(reasons={"owner_eof"}), None, None


def fault_close_stdout(s, rng, rid):
    root = rng.choice(sorted(PERSISTENT))
    o, up = fault_root(s, rng, rid, root)
    random_moment(o, rng, up)
    o.close_stdout()
    # A silent root gives the supervisor nothing to write, so it would notice the broken
    # parent only at its next line; ask it to stop, which writes one.
    time.sleep(rng.uniform(0.0, 0.2))
    o.send("terminate")
    o.finish()
    return o, Expect(end="blind", status=1), None, None


def fault_stop_reading(s, rng, rid):
    return run_flood(s, rng, rid, pause=True)


def fault_signal(s, rng, rid, name):
    root = rng.choice(sorted(PERSISTENT))
    o, up = fault_root(s, rng, rid, root)
    random_moment(o, rng, up)
    o.signal(getattr(signal, name))
    if rng.random() < 0.3:
        o.signal(getattr(signal, rng.choice(["SIGTERM", "SIGINT", "SIGHUP"])))  # changes nothing
    o.finish()
    return o, Expect(reasons={"signal"}), None, None


def fault_kill_guardian(s, rng, rid, kind):
    o = Owner(s, rid, guardian_root(kind, inner_tree(ignore_term=rng.random() < 0.3,
                                                     escapee=rng.random() < 0.5)))
    g = None
    if started(o) and ready(o):
        # The guardian is released once its root runs; kill it any time after that.
        if o.wait_for(lambda: o.inner.first("started") is not None, 5.0):
            g = guardian_pid(o)
            if rng.random() < 0.5:
                inner_up(o)
            time.sleep(rng.uniform(0.0, 0.3))
    if g:
        kill_exactly(g, o.marker)
    else:
        s.note(o, "no guardian to kill")
    o.finish()
    # A SIGKILLed guardian cannot remove its own registry directory; its sentinel does, unless
    # the owner's kill of the guardian's orphans gets to the sentinel first: one may be left.
    return o, Expect(end="fatal", status=1, error="guardian exited without quiescent proof",
                     dirs=1), None, None


PEER_FATAL = {
    "garbage-text": "JSON object",
    "garbage-version": "protocol version",
    "garbage-token": "registry registration refused",
    "big-open": "registry frame too large",
    "big-close": "registry frame too large",
}


def peer_root(mode, delay):
    return sh("sleep 1000 & python3 %s %s %.3f & echo up; wait" % (shlex.quote(PEER), mode, delay))


def fault_peer(s, rng, rid, mode):
    o = Owner(s, rid, peer_root(mode, rng.uniform(0.0, 0.3)))
    if started(o):
        ready(o)
    if mode in PEER_FATAL:
        o.finish()
        return o, Expect(end="fatal", status=1, error=PEER_FATAL[mode]), None, None
    # Half a line is no line: nothing happens until the stop, whose kill ends the peer too.
    o.wait_for(lambda: o.has_output("peer-done") or o.has_output("peer-error"), 5.0)
    if not o.has_output("peer-done"):
        s.note(o, "peer did not get its bytes out: %r" % bytes(o.root_out[-200:]))
    time.sleep(rng.uniform(0.0, 0.2))
    o.send("terminate")
    o.finish()
    return o, Expect(reasons={"terminate"}, codes={137}), None, None


def fault_peer_race(s, rng, rid):
    # The bytes land just before or just after the stop begins: before, a bad line is fatal;
    # after, the terminating registry refuses the connection or answers it with terminate.
    mode = rng.choice(sorted(PEER_FATAL))
    o = Owner(s, rid, peer_root(mode, rng.uniform(0.05, 0.4)))
    if started(o):
        ready(o)
    time.sleep(rng.uniform(0.1, 0.4))
    o.send("terminate")
    o.finish()
    fatal = Expect(end="fatal", status=1, error=PEER_FATAL[mode])
    clean = Expect(reasons={"terminate"}, codes={137})
    fatal.alternatives = [clean]
    return o, fatal, None, None


def fault_peer_inner(s, rng, rid, kind):
    # A bad peer of the nested guardian's registry kills the guardian; the outer supervisor
    # then sees a released guardian gone without its proof.
    mode = rng.choice(["garbage-text", "big-open"])
    inner = ("sleep 1000 & python3 %s %s %.3f & echo inner-up; wait"
             % (shlex.quote(PEER), mode, rng.uniform(0.0, 0.3)))
    o = Owner(s, rid, guardian_root(kind, inner))
    if started(o):
        ready(o)
    o.finish()
    inner_failed = o.inner.first("failed")
    if not inner_failed or inner_failed.get("stage") != "native_api":
        s.note(o, "nested guardian did not fail fatally: %s" % [e.get("event") for e in o.inner.lines])
    return o, Expect(end="fatal", status=1, error="guardian exited without quiescent proof"), None, None


PLAIN = [
    ("exit_now", run_exit_now, 6),
    ("quiet", run_quiet, 6),
    ("tree50", run_tree50, 6),
    ("setsid", run_setsid, 4),
    ("setsid_holding", run_setsid_holding, 2),
    ("setpgid", run_setpgid, 3),
    ("daemon", run_daemon, 3),
    ("ignore_term", run_ignore_term, 4),
    ("flood", run_flood, 4),
    ("shutdown_reader", run_shutdown_reader, 3),
    ("fdcheck", run_fdcheck, 2),
    ("startup_deadline", run_startup_deadline, 2),
    ("control_protocol", run_control_protocol, 2),
    ("guardian_command", lambda s, r, i: run_guardian(s, r, i, "command"), 5),
    ("guardian_pty", lambda s, r, i: run_guardian(s, r, i, "pty"), 5),
]

FAULTS = [
    ("fault_close_stdin", fault_close_stdin),
    ("fault_close_stdout", fault_close_stdout),
    ("fault_stop_reading", fault_stop_reading),
    ("fault_SIGTERM", lambda s, r, i: fault_signal(s, r, i, "SIGTERM")),
    ("fault_SIGINT", lambda s, r, i: fault_signal(s, r, i, "SIGINT")),
    ("fault_SIGHUP", lambda s, r, i: fault_signal(s, r, i, "SIGHUP")),
    ("fault_kill_guardian_command", lambda s, r, i: fault_kill_guardian(s, r, i, "command")),
    ("fault_kill_guardian_pty", lambda s, r, i: fault_kill_guardian(s, r, i, "pty")),
    ("fault_peer_garbage_text", lambda s, r, i: fault_peer(s, r, i, "garbage-text")),
    ("fault_peer_garbage_version", lambda s, r, i: fault_peer(s, r, i, "garbage-version")),
    ("fault_peer_garbage_token", lambda s, r, i: fault_peer(s, r, i, "garbage-token")),
    ("fault_peer_half_close", lambda s, r, i: fault_peer(s, r, i, "half-close")),
    ("fault_peer_half_open", lambda s, r, i: fault_peer(s, r, i, "half-open")),
    ("fault_peer_70k_open", lambda s, r, i: fault_peer(s, r, i, "big-open")),
    ("fault_peer_70k_close", lambda s, r, i: fault_peer(s, r, i, "big-close")),
    ("fault_peer_race", fault_peer_race),
    ("fault_peer_inner_command", lambda s, r, i: fault_peer_inner(s, r, i, "command")),
    ("fault_peer_inner_pty", lambda s, r, i: fault_peer_inner(s, r, i, "pty")),
]


# ---------------------------------------------------------------------------------------------
# The driver.

class Soak:
    def __init__(self, args):
        self.owner = os.path.abspath(args.owner)
        self.verbose = args.verbose
        self.session = "soak%d" % os.getpid()
        self.base = tempfile.mkdtemp(prefix="soak-")
        self.findings = []
        self.counts = collections.Counter()
        self.escapees = 0
        self.orphans = 0
        self.leaks = 0
        self.leftover_dirs = 0
        self.expected_dirs = 0
        self.lingering = 0
        self.fds = collections.defaultdict(list)
        self.gfds = collections.defaultdict(list)
        self.endfds = collections.defaultdict(list)
        self.durations = collections.defaultdict(list)
        self.outcomes = collections.Counter()
        self.current = None

    def note(self, o, text):
        what = self.current + ("/" + o.root_name if o.root_name else "")
        self.findings.append("%s [%s]: %s" % (o.run_id, what, text))

    def one(self, name, fn, rng, index):
        rid = "r%04d" % index
        self.current = name
        o, x, fds, gfds = fn(self, rng, rid)
        if o.hung:
            self.note(o, "HANG: still running after %.0f s; killed (lines %s)"
                      % (PATIENCE, [e.get("event") for e in o.lines][-6:]))
        if o.stdout_held:
            self.note(o, "standard output still open after the supervisor exited")
        # The lines and the status, against the expectation or one of its documented
        # alternatives.
        verdicts = [(judge_lines(o, c), c) for c in [x] + x.alternatives]
        problems, chosen = min(verdicts, key=lambda v: len(v[0]))
        for p in problems:
            self.note(o, p)
        self.outcomes["%s -> %s/%s" % (name, chosen.end, o.status)] += 1
        self.check_leftovers(o, chosen)
        if fds is not None:
            self.fds[name].append(fds)
        for label, count in (("end", o.end_fds), ("stuck at end", getattr(o, "stuck_fds", None))):
            if count:
                self.endfds["%s (%s)" % (name, label)].append(count)
                if fds is not None and count > fds:
                    self.note(o, "the supervisor held %d descriptors at its end, %d while running"
                              % (count, fds))
        if gfds is not None:
            self.gfds[name].append(gfds)
        self.durations[name].append(o.duration)
        self.counts[name] += 1
        if self.verbose:
            if o.root_name:
                name = "%s/%s" % (name, o.root_name)
            print("%s %-40s status=%s %.2fs lines=%s fds=%s%s" % (
                rid, name, o.status, o.duration,
                ",".join(e.get("event") for e in o.lines if e.get("event") != "output")[-90:],
                fds, "" if not problems else "  <-- " + "; ".join(problems)), flush=True)

    def check_leftovers(self, o, x):
        # Processes. On a clean report the scope was proven empty before the supervisor exited;
        # after a fatal error the handler's SIGKILL may still be in flight, so look twice.
        first = marked(o.marker)
        time.sleep(0.3 if first else 0)
        second = marked(o.marker) if first else {}
        escapees = {p for p, env in second.items() if b"SOAK_ESCAPEE=1" in env}
        inner = {p for p, env in second.items() if b"SOAK_INNER=1" in env} - escapees
        rest = set(second) - escapees - inner
        if escapees:
            self.escapees += len(escapees)
            self.leaks += len(escapees)
            self.note(o, "LEAK: escapee alive after the supervisor exited: %s" % describe(escapees))
        if inner:
            self.orphans += len(inner)
            self.note(o, "nested scope outlived the run: %s" % describe(inner))
        if rest:
            self.leaks += len(rest)
            self.note(o, "LEAK: alive after the supervisor exited: %s" % describe(rest))
        if x.end == "reaped" and first:
            transient = set(first) - set(second)
            if transient:
                self.lingering += len(transient)
                self.note(o, "alive right after reaped, gone 0.3 s later: %s" % sorted(transient))
        for pid in set(first) | set(second):
            kill_exactly(pid, o.marker)
        # Directories.
        try:
            left = [n for n in os.listdir(o.tmp) if n.startswith("solkari-owner-")]
        except OSError:
            left = []
        if len(left) > x.dirs:
            self.leftover_dirs += len(left) - x.dirs
            self.note(o, "solkari-owner directories left: %s" % left)
        self.expected_dirs += min(len(left), x.dirs)
        shutil.rmtree(o.tmp, ignore_errors=True)

    def sweep_all(self):
        needle = ("SOAK_MARKER=%s-" % self.session).encode()
        found = marked(needle, exact=False)
        for pid in found:
            kill_exactly(pid, needle, exact=False)
        shutil.rmtree(self.base, ignore_errors=True)
        return found

    def fd_growth(self):
        report = []
        for table, who in ((self.fds, "supervisor"), (self.gfds, "guardian"),
                           (self.endfds, "at end")):
            for name, xs in sorted(table.items()):
                # A leak that grows run after run lifts every late sample above every early
                # one; a sample taken in a moving teardown only wobbles.
                k = max(1, len(xs) // 3)
                head, tail = xs[:k], xs[-k:]
                grew = len(xs) >= 15 and min(tail) > max(head)
                report.append("  %-10s %-22s n=%-3d first=%s last=%s min=%s max=%s%s" % (
                    who, name, len(xs), xs[0], xs[-1], min(xs), max(xs),
                    "  GREW" if grew else ""))
                if grew:
                    self.findings.append("descriptor count of the %s grew in %s: %s"
                                         % (who, name, xs))
        return report


def kind_of(finding):
    """A finding without its run id, pids and numbers, to count findings of one kind."""
    import re
    text = finding.split("]: ", 1)[-1]
    where = finding.split("[", 1)[-1].split("]", 1)[0].split("/")[0]
    return where + ": " + re.sub(r"\d+", "N", text.split(":", 1)[0])[:80]


def describe(pids):
    return ", ".join("%d %s" % (p, cmdline_of(p)[:60]) for p in sorted(pids))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--owner", default=os.path.join(HERE, "..", "..", "build-soak",
                                                        "solkari-owner"))
    parser.add_argument("--runs", type=int, default=500)
    parser.add_argument("--faults", type=int, default=10)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--only", default=None)
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    if not os.access(args.owner, os.X_OK):
        sys.exit("no supervisor at %s (build it first, see the top of this file)" % args.owner)
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)

    plain = [p for p in PLAIN if not args.only or args.only in p[0]]
    faults = [f for f in FAULTS if not args.only or args.only in f[0]]
    schedule = []
    if plain:
        weights = [w for _, _, w in plain]
        schedule += [(n, f) for n, f, _ in rng.choices(plain, weights=weights, k=args.runs)]
    schedule += [f for f in faults for _ in range(args.faults)]
    rng.shuffle(schedule)

    soak = Soak(args)
    print("soak: seed %d, %d runs (%d plain, %d faulted), supervisor %s"
          % (seed, len(schedule), sum(1 for n, _ in schedule if not n.startswith("fault")),
             sum(1 for n, _ in schedule if n.startswith("fault")), soak.owner), flush=True)
    own_fds_before = len(os.listdir("/proc/self/fd"))
    began = now()
    try:
        for i, (name, fn) in enumerate(schedule):
            soak.one(name, fn, rng, i)
            if not args.verbose and (i + 1) % 50 == 0:
                print("  %d/%d runs, %d finding(s), %.0f s" % (i + 1, len(schedule),
                      len(soak.findings), now() - began), flush=True)
    finally:
        stray = soak.sweep_all()
    own_fds_after = len(os.listdir("/proc/self/fd"))

    runs = sum(soak.counts.values())
    faulted = sum(c for n, c in soak.counts.items() if n.startswith("fault"))
    growth = soak.fd_growth()
    if stray:
        soak.findings.append("final sweep killed %d marked process(es)" % len(stray))
    if own_fds_after > own_fds_before:
        soak.findings.append("the driver itself leaked descriptors: %d -> %d"
                             % (own_fds_before, own_fds_after))
    print("\nsoak finished in %.0f s, seed %d" % (now() - began, seed))
    print("runs: %d (plain %d, faults injected %d)" % (runs, runs - faulted, faulted))
    print("leaks (marked processes alive after the supervisor exited, escapees included): %d"
          % soak.leaks)
    print("of which escapees (left the root's group or session): %d" % soak.escapees)
    print("nested-scope processes outliving the run: %d" % soak.orphans)
    print("processes alive right after a clean reaped (gone shortly after): %d" % soak.lingering)
    print("solkari-owner-* directories left unexpectedly: %d (expected, from SIGKILLed "
          "guardians: %d)" % (soak.leftover_dirs, soak.expected_dirs))
    print("per scenario (count, mean duration):")
    for name in sorted(soak.counts):
        d = soak.durations[name]
        print("  %-30s %4d  %.2fs" % (name, soak.counts[name], sum(d) / len(d)))
    print("outcomes:")
    for k in sorted(soak.outcomes):
        print("  %-50s %d" % (k, soak.outcomes[k]))
    print("descriptors at the steady point:")
    print("\n".join(growth))
    print("findings: %d" % len(soak.findings))
    kinds = collections.Counter(kind_of(f) for f in soak.findings)
    for kind, count in kinds.most_common():
        print("  %4d x %s" % (count, kind))
    for f in soak.findings:
        print("  " + f)
    return 0 if not soak.findings else 1


if __name__ == "__main__":
    sys.exit(main())
