#!/usr/bin/env python3
# A hostile peer of a supervisor's registry, started by soak.py somewhere below a root. It
# connects to the endpoint this process inherited and misbehaves in one of a few ways; the
# supervisor hosting that registry must either shrug it off or fail fatally and take its whole
# scope down with it. It announces on its standard output when it has done its part, so the
# driver knows the bytes are on their way without having to guess a delay.
#
# usage: registry_peer.py MODE DELAY_SECONDS
import os
import socket
import sys
import time

mode = sys.argv[1]
time.sleep(float(sys.argv[2]))

s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
try:
    s.connect(os.environ["SOLKARI_NATIVE_OWNER_ENDPOINT"])
    if mode == "garbage-text":
        s.sendall(b"hello there\n")
    elif mode == "garbage-version":
        s.sendall(b'{"version":2,"event":"register","kind":"command","token":"x"}\n')
    elif mode == "garbage-token":
        s.sendall(b'{"version":1,"event":"register","kind":"command","token":"not-the-token"}\n')
    elif mode in ("half-close", "half-open"):
        s.sendall(b'{"version":1,"event":"regis')
    elif mode in ("big-open", "big-close"):
        s.sendall(b"A" * 70 * 1024)
    else:
        raise SystemExit("unknown mode " + mode)
except OSError as error:
    # A registry that is already terminating closes new connections at once; that is not the
    # peer's business to judge, the driver decides what outcome it accepts.
    print("peer-error:%s" % error.__class__.__name__, flush=True)
    sys.exit(0)

print("peer-done:" + mode, flush=True)
if mode.endswith("close"):
    s.close()
    sys.exit(0)
# Staying connected keeps the entry unfinished; only the teardown's kill may end it.
time.sleep(1000)
