#!/usr/bin/python3
"""Throughput of the proxy against a direct connection, side by side.

A client sends the same batch of messages to Postfix's smtp-sink twice per
round: once directly and once through divivez-proxy (built-in scanner). The
rounds alternate direct and proxied runs so that drift of the machine's speed
hits both alike; the figure to quote is the median ratio proxied/direct of the
wall times, next to the absolute medians. Nothing is asserted: this measures.

usage: bench/relay_bench.py [--proxy PATH] [--rounds N] [--messages N]
                            [--size BYTES] [--connections N]
"""
import argparse
import os
import smtplib
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, deadline=15.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def make_message(size, n):
    line = b"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n"
    body = (line * (size // len(line) + 1))[:size]
    head = b"From: a@example.org\r\nTo: b@example.org\r\nSubject: bench %d\r\n\r\n" % n
    return head + body


def send_batch(port, messages, connections):
    errors = []

    def one(index):
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=120) as smtp:
                for i in range(index, len(messages), connections):
                    smtp.sendmail("a@example.org", ["b@example.org"], messages[i])
        except Exception as e:  # reported below, never hidden
            errors.append(e)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(connections)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if errors:
        raise RuntimeError("send failed: %r" % errors[0])
    return elapsed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--proxy", default=os.path.join(ROOT, "build/native/host/divivez-proxy"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--messages", type=int, default=40)
    ap.add_argument("--size", type=int, default=1 << 20)
    ap.add_argument("--connections", type=int, default=4)
    args = ap.parse_args()

    sink_port, proxy_port = free_port(), free_port()
    work = tempfile.mkdtemp(prefix="divivez-bench-")
    sink = subprocess.Popen(["/usr/sbin/smtp-sink", "-u", "nobody", "-m", "1000",
                             "127.0.0.1:%d" % sink_port, "256"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    proxy = subprocess.Popen([args.proxy, "--listen", "127.0.0.1:%d" % proxy_port,
                              "--upstream", "127.0.0.1:%d" % sink_port],
                             stdout=subprocess.DEVNULL,
                             stderr=open(os.path.join(work, "proxy.log"), "w"))
    try:
        wait_port(sink_port)
        wait_port(proxy_port)
        messages = [make_message(args.size, n) for n in range(args.messages)]
        total = sum(len(m) for m in messages)
        send_batch(proxy_port, messages[:2], 1)  # warm-up
        direct, proxied, ratios = [], [], []
        for _ in range(args.rounds):
            d = send_batch(sink_port, messages, args.connections)
            p = send_batch(proxy_port, messages, args.connections)
            direct.append(d)
            proxied.append(p)
            ratios.append(p / d)
        mib = total / (1 << 20)
        print("messages %d x %d bytes over %d connections, %d rounds" %
              (args.messages, args.size, args.connections, args.rounds))
        print("direct   median %.3f s  (%.1f MiB/s)" %
              (statistics.median(direct), mib / statistics.median(direct)))
        print("proxied  median %.3f s  (%.1f MiB/s)" %
              (statistics.median(proxied), mib / statistics.median(proxied)))
        print("ratio proxied/direct: median %.2f, min %.2f, max %.2f" %
              (statistics.median(ratios), min(ratios), max(ratios)))
    finally:
        proxy.terminate()
        sink.terminate()
        proxy.wait(timeout=20)
        sink.wait(timeout=20)


if __name__ == "__main__":
    sys.exit(main())
