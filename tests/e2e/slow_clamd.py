#!/usr/bin/python3
"""A deliberately slow stand-in for a ClamAV daemon, for the keep-alive test.

Speaks the daemon's INSTREAM command ("zINSTREAM\\0" or "nINSTREAM\\n", then
chunks each led by a 4-byte big-endian length, then a zero length), PING and
VERSION. After the whole stream has arrived it waits --delay seconds and then
answers "stream: OK" (or "stream: <--found> FOUND" when the stream contains
the bytes of --found-pattern), or --reply TEXT when given (an error reply
such as "INSTREAM size limit exceeded. ERROR"). Listens on --unix PATH or on 127.0.0.1 with a
port the OS picks; prints "PORT <n>" or "UNIX <path>" once it listens. Every
scan appends a line to --log (start time, end time, bytes). Stops on SIGTERM.
"""

import argparse
import os
import signal
import socket
import struct
import sys
import threading
import time


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError("stream ended")
        data += chunk
    return data


def read_command(conn):
    first = read_exact(conn, 1)
    end = b"\0" if first == b"z" else b"\n"
    data = b"" if first in (b"z", b"n") else first
    while not data.endswith(end):
        data += read_exact(conn, 1)
        if len(data) > 64:
            raise ValueError("command too long")
    return data[:-1].decode("ascii", "replace"), end


def serve(conn, args, log_lock):
    conn.settimeout(120)
    with conn:
        try:
            command, end = read_command(conn)
            if command == "PING":
                conn.sendall(b"PONG" + end)
                return
            if command == "VERSION":
                conn.sendall(b"ClamAV 0.0.0/slow-stand-in" + end)
                return
            if command != "INSTREAM":
                conn.sendall(b"UNKNOWN COMMAND" + end)
                return
            started = time.time()
            total = 0
            data = bytearray()
            while True:
                (length,) = struct.unpack(">I", read_exact(conn, 4))
                if length == 0:
                    break
                data += read_exact(conn, length)
                total += length
            time.sleep(args.delay)
            found = args.found_pattern and bytes.fromhex(args.found_pattern) in data
            reply = "stream: %s FOUND" % args.found if found else "stream: OK"
            if args.reply:
                reply = args.reply
            # Logged before the reply goes out: whoever has the reply finds
            # the line.
            if args.log:
                with log_lock, open(args.log, "a") as f:
                    f.write("%.3f %.3f %d %s\n" % (started, time.time(), total, reply))
            conn.sendall(reply.encode() + end)
        except (EOFError, OSError, ValueError):
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--unix")
    parser.add_argument("--delay", type=float, default=5.0)
    parser.add_argument("--found", default="Divivez.Test.Slow")
    parser.add_argument("--found-pattern")
    parser.add_argument("--log")
    parser.add_argument("--reply")
    args = parser.parse_args()

    if args.unix:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(args.unix)
        announce = "UNIX %s" % args.unix
    else:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        announce = "PORT %d" % listener.getsockname()[1]
    listener.listen(64)
    listener.settimeout(0.5)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print(announce, flush=True)
    log_lock = threading.Lock()
    deadline = time.time() + 3600  # never outlive the driver by long
    while not stop.is_set() and time.time() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            break
        threading.Thread(target=serve, args=(conn, args, log_lock), daemon=True).start()
    listener.close()
    if args.unix:
        try:
            os.unlink(args.unix)
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
