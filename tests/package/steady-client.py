#!/usr/bin/env python3
"""A steady sender for the upgrade test: one record every 20 ms over a TCP
line connection until SIGTERM, as a site's exchange sends them. A record
that gets no reply (the host went away) is sent again on a new connection.
With "new-connection", every record goes on a connection of its own, one
every 5 ms, as short-lived senders do. Prints, as JSON: every record
answered 0 with its row id, how many records ended without an answer, how
many connections were refused, and the longest time without a reply.
    steady-client.py HOST PORT [new-connection]
"""
import json
import signal
import socket
import sys
import time

host, port = sys.argv[1], int(sys.argv[2])
connection_per_record = len(sys.argv) > 3 and sys.argv[3] == "new-connection"
pause = 0.005 if connection_per_record else 0.02
running = True


def end(*_):
    global running
    running = False


signal.signal(signal.SIGTERM, end)

stored = []  # [caller, row id] for each record answered 0
refused = 0
connections_refused = 0
longest_gap = 0.0
last_reply = time.monotonic()
number = 0
connection = None
reader = None
pending = None  # the record that still needs an answer

while running or pending is not None:
    if pending is None:
        number += 1
        pending = f"upg-{number}"
    try:
        if connection is None:
            connection = socket.create_connection((host, port), timeout=1)
            connection.settimeout(3)
            reader = connection.makefile("rb")
        connection.sendall(f"CALLER={pending};SECONDS=1\n".encode())
        line = reader.readline()
        if not line:
            raise ConnectionError("closed")
    except OSError as error:
        if isinstance(error, ConnectionRefusedError):
            connections_refused += 1
        if connection is not None:
            connection.close()
        connection = None
        if not running and time.monotonic() - last_reply > 10:
            break  # the host is gone for good: the record stays unanswered
        time.sleep(pause)
        continue
    now = time.monotonic()
    longest_gap = max(longest_gap, now - last_reply)
    last_reply = now
    code, _, rest = line.decode().strip().partition(";")
    if code == "0":
        stored.append([pending, int(rest.split("=", 1)[1])])
    else:
        refused += 1
    pending = None
    if connection_per_record:
        connection.close()
        connection = None
    time.sleep(pause)

print(json.dumps({"stored": stored, "refused": refused,
                  "connections_refused": connections_refused,
                  "unanswered": 0 if pending is None else 1,
                  "longest_gap_s": round(longest_gap, 3)}))
