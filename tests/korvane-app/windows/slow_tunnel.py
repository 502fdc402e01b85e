#!/usr/bin/env python3
"""A Subversion tunnel over a slow line: svn runs it as
`slow_tunnel.py HOST svnserve -t`; it runs `svnserve -t` and hands its
answers back at a fixed, low rate, so an update lasts long enough to be
cancelled while it runs."""
import os
import subprocess
import sys
import threading
import time

RATE = 40_000  # bytes a second towards svn
CHUNK = 1_000


def forward_requests(server):
    while True:
        data = os.read(0, 65536)
        if not data:
            server.stdin.close()
            return
        server.stdin.write(data)
        server.stdin.flush()


def main():
    server = subprocess.Popen(["svnserve", "-t"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    threading.Thread(target=forward_requests, args=(server,), daemon=True).start()
    while True:
        data = server.stdout.read(CHUNK)
        if not data:
            break
        try:
            os.write(1, data)
        except BrokenPipeError:
            break
        time.sleep(len(data) / RATE)  # the line's speed, not a wait for anything
    server.kill()
    server.wait()


if __name__ == "__main__":
    sys.exit(main())
