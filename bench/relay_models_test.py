#!/usr/bin/python3
"""Smoke test of bench/relay_models: every relay carries a greeting and many
concurrent exchanges and messages byte for byte, in order, and keeps
serving after clients that leave mid-way. A relay that mixes up connections
would flatter or spoil the benchmark's figures without failing it.

usage: relay_models_test.py PATH_TO_RELAY_MODELS
"""
import hashlib
import socket
import subprocess
import sys
import threading
import time


def digest(body):
    return hashlib.md5(body).hexdigest().encode()


def upstream():
    """Greets, then echoes each line back with its length, until the peer
    closes; DATA gets a 354, and the message up to its end marker a 250 with
    its length and digest."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve(conn):
        with conn:
            conn.sendall(b"220 up\r\n")
            data = b""
            in_data = False
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
                while True:
                    if in_data:
                        if b"\r\n.\r\n" not in data:
                            break
                        body, data = data.split(b"\r\n.\r\n", 1)
                        conn.sendall(b"250 %d %s\n" % (len(body), digest(body)))
                        in_data = False
                    elif b"\n" not in data:
                        break
                    elif data.startswith(b"DATA\r\n"):
                        data = data[6:]
                        conn.sendall(b"354 go\r\n")
                        in_data = True
                    else:
                        line, data = data.split(b"\n", 1)
                        conn.sendall(b"%d %s\n" % (len(line), line))

    def accept():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def read_line(f):
    line = f.readline()
    if not line.endswith(b"\n"):
        raise AssertionError("connection ended early: %r" % line)
    return line


def client(port, n, errors):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            f = s.makefile("rb")
            if read_line(f) != b"220 up\r\n":
                raise AssertionError("no greeting")
            if n % 5 == 0:
                return  # leaves without a word
            for k in range(20):
                line = (b"%d.%d " % (n, k)) + bytes([65 + (n + k) % 26]) * (1 + (n * 977 + k * 131) % 70000)
                s.sendall(line + b"\n")
                if read_line(f) != b"%d %s\n" % (len(line), line):
                    raise AssertionError("client %d exchange %d came back altered" % (n, k))
                if k % 7 == 3:
                    # A message, its end marker split between two sends (the
                    # spooling relay answers DATA itself, the others pass on
                    # the upstream's 354).
                    body = b"Subject: %d\r\n\r\n" % n + b"..x\r\n" * (n * 3001 % 40000) + b"end"
                    s.sendall(b"DATA\r\n")
                    if not read_line(f).startswith(b"354"):
                        raise AssertionError("client %d: no 354" % n)
                    s.sendall(body + b"\r\n.")
                    s.sendall(b"\r\n")
                    if read_line(f) != b"250 %d %s\n" % (len(body), digest(body)):
                        raise AssertionError("client %d message %d came back altered" % (n, k))
    except Exception as e:  # noqa: BLE001 - reported below
        errors.append("%s: %s" % (n, e))


def main():
    relay, up_port = sys.argv[1], upstream()
    failed = False
    for mode in ("threads", "loop", "spool"):
        probe = socket.create_server(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        proc = subprocess.Popen([relay, mode, str(port), str(up_port)])
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            errors = []
            threads = [threading.Thread(target=client, args=(port, n, errors)) for n in range(40)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            if errors or any(t.is_alive() for t in threads):
                failed = True
                print("relay_models %s: %s" % (mode, errors or "clients hung"))
            else:
                print("relay_models %s: 40 clients carried" % mode)
        finally:
            proc.terminate()
            proc.wait(10)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
