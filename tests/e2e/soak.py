#!/usr/bin/python3
"""Soak test of divivez-proxy under faults (Linux build).

Runs many SMTP sessions through one divivez-proxy (its defaults: on a scan
error the client hears 451) in front of Postfix's smtp-sink with its fault
options, and a real clamd that is stopped and started during the run:

- a router in this script hands each connection of the proxy to one of
  several smtp-sinks, chosen at random: one that takes everything, and ones
  that answer "." or DATA with 4xx (-r) or 5xx (-f), hang up after "."
  without a word (-q .), answer 421 and hang up (-Q .), or answer "." late
  (-W);
- clients send clean messages (some of them in pairs in one session), EICAR
  messages, and some vanish in the middle of DATA (some with a reset);
- clamd is stopped and started again every --clamd-cycle seconds.

At the end it checks that every message a client saw answered 250 reached a
sink exactly once and byte-exact (smtp-sink stores LF line ends and adds its
own headers in front; both are accounted for), that every copy a sink holds
is byte-exact, that no EICAR message reached a sink, and that the proxy's
open descriptors, threads, resident memory and spool files are back to their
baseline (measured after a warm-up); the before/after figures are printed.

  tests/e2e/soak.py [--sessions N] [--concurrency N] [--clamd-cycle SECS]
                    [--socket-service host|plugin] [--native-dir build/native]
                    [--seed N] [--keep]

CI runs a short version (scripts/test.sh soak: 400 sessions); run 10,000 by
hand (nice python3 tests/e2e/soak.py --sessions 10000). Exit status 0 when
every check passed.
"""

import argparse
import os
import random
import re
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402 (the harness sits beside this script)
    ROOT, EICAR, INSERT, Failure, stop_all, wait_for, SmtpSink, Clamd, Build, Proxy, message,
    sent_content, with_insert)

# (name, smtp-sink options, weight)
SINKS = [
    ("plain", [], 50),
    ("soft-dot", ["-r", "."], 8),
    ("hard-dot", ["-f", "."], 8),
    ("soft-data", ["-r", "DATA"], 5),
    ("hard-data", ["-f", "DATA"], 5),
    ("quit-dot", ["-q", "."], 6),
    ("421-dot", ["-Q", "."], 6),
    ("slow-dot", ["-W", ".:1:30"], 12),
]


class Ctx:
    """What harness.Proxy needs of a scenario's context."""

    def __init__(self, build, workdir, mode):
        self.build = build
        self.workdir = workdir
        self.mode = mode
        self.tmpdir = os.path.join(workdir, "tmp")
        os.makedirs(self.tmpdir, exist_ok=True)
        self.proxies = []


class Router:
    """Forwards each accepted connection to a sink chosen by weight."""

    def __init__(self, sinks, seed):
        self.sinks = sinks
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(256)
        self.port = self.listener.getsockname()[1]
        self.stop = False
        self.counts = {}
        threading.Thread(target=self._accept, daemon=True).start()

    def _pick(self):
        with self.lock:
            total = sum(w for _, _, w in self.sinks)
            x = self.rng.uniform(0, total)
            for name, sink, weight in self.sinks:
                x -= weight
                if x <= 0:
                    break
            self.counts[name] = self.counts.get(name, 0) + 1
            return sink

    def _accept(self):
        while not self.stop:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        sink = self._pick()
        try:
            upstream = socket.create_connection(("127.0.0.1", sink.port), 10)
        except OSError:
            conn.close()
            return

        def pump(a, b):
            try:
                while True:
                    data = a.recv(65536)
                    if not data:
                        break
                    b.sendall(data)
            except OSError:
                pass
            for s in (b,):
                try:
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

        t = threading.Thread(target=pump, args=(upstream, conn), daemon=True)
        t.start()
        pump(conn, upstream)
        t.join(120)
        conn.close()
        upstream.close()


def proxy_figures(pid, tmpdir):
    fds = len(os.listdir("/proc/%d/fd" % pid))
    threads = rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    spools = len([n for n in os.listdir(tmpdir) if n.startswith("divivez") and n.endswith(".tmp")])
    return {"fds": fds, "threads": threads, "rss_kib": rss, "spool_files": spools}


def read_reply(sock, buffer):
    """(code or None, rest of buffer) for one complete reply."""
    while True:
        while b"\r\n" in buffer:
            line, buffer = buffer.split(b"\r\n", 1)
            if len(line) < 4 or line[3:4] != b"-":
                return (int(line[:3]) if line[:3].isdigit() else -1), line, buffer
        chunk = sock.recv(65536)
        if not chunk:
            return None, b"", buffer
        buffer += chunk


def stuff(content):
    lines = content.split(b"\r\n")
    return b"\r\n".join((b"." + l) if l.startswith(b".") else l for l in lines)


class Session:
    def __init__(self, number, rng):
        self.number = number
        self.kind = rng.choices(["clean", "two", "eicar", "vanish", "reset"], [78, 7, 5, 7, 3])[0]
        self.messages = []  # [(tag, content, eicar)]
        count = 2 if self.kind == "two" else 1
        for i in range(count):
            name = b"w%05d" % -number if number < 0 else b"%06d" % number
            tag = b"soak-%s-%d-%08x" % (name, i, rng.getrandbits(32))
            body = [b"Soak message %s." % tag]
            for _ in range(rng.randint(1, 40)):
                line = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz .,") for _ in range(rng.randint(0, 120)))
                body.append((b"." + line) if rng.random() < 0.05 else line)
            eicar = self.kind == "eicar"
            if eicar:
                body.append(EICAR)
            self.messages.append((tag, sent_content(message(tag, body)), eicar))
        self.results = {}  # tag -> (code, text) of its end of data, or None
        self.error = None


def run_session(port, s, rng):
    sock = socket.create_connection(("127.0.0.1", port), 30)
    sock.settimeout(60)
    buf = b""
    try:
        code, _, buf = read_reply(sock, buf)
        if code != 220:
            return
        sock.sendall(b"EHLO soak.client\r\n")
        code, _, buf = read_reply(sock, buf)
        if code != 250:
            return
        for tag, content, _ in s.messages:
            sock.sendall(b"MAIL FROM:<soak@example.test>\r\nRCPT TO:<sink@example.test>\r\nDATA\r\n")
            replies = []
            for _ in range(3):
                code, text, buf = read_reply(sock, buf)
                replies.append(code)
                if code is None:
                    return
            if replies[2] != 354:
                s.results[tag] = (replies[2], b"DATA refused")
                continue
            wire = stuff(content)
            if s.kind in ("vanish", "reset"):
                cut = rng.randint(1, max(1, len(wire) - 1))
                sock.sendall(wire[:cut])
                if s.kind == "reset":
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.results[tag] = ("vanished", b"")
                return
            sock.sendall(wire + b".\r\n")
            code, text, buf = read_reply(sock, buf)
            s.results[tag] = (code, text)
            if code is None:
                return
        sock.sendall(b"QUIT\r\n")
        read_reply(sock, buf)
    except OSError as e:
        s.error = str(e)
    finally:
        sock.close()


def dumped_messages(sinks):
    """[(path, body)] of every dump file: smtp-sink's own header lines
    (X-... and its Received with continuations) removed."""
    found = []
    for sink in sinks:
        for name in sink.dumped():
            path = os.path.join(sink.dump, name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            lines = data.split(b"\n")
            i = 0
            while i < len(lines) and lines[i].startswith(b"X-"):
                i += 1
            if i < len(lines) and lines[i].startswith(b"Received:"):
                i += 1
                while i < len(lines) and lines[i][:1] in (b"\t", b" "):
                    i += 1
            found.append((path, b"\n".join(lines[i:])))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, default=400)
    parser.add_argument("--concurrency", type=int, default=16)
    parser.add_argument("--clamd-cycle", type=float, default=None,
                        help="seconds between clamd restarts (default: 2 to 8, scaled to the run)")
    parser.add_argument("--native-dir", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--socket-service", choices=["host", "plugin"], default="host")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    build = Build("native", os.path.abspath(args.native_dir))
    problems = build.problems()
    if problems:
        print("soak: cannot run: " + "; ".join(problems))
        return 1
    workroot = tempfile.mkdtemp(prefix="divivez-soak-")
    os.chmod(workroot, 0o755)  # smtp-sink, running as nobody, writes below it
    failures = []
    started = time.monotonic()
    try:
        failures = soak(args, rng, build, workroot)
    except Failure as e:
        failures = [str(e)]
    finally:
        stop_all()
    took = time.monotonic() - started
    print("soak: seed %d, %.0f s, work files in %s" % (
        seed, took, workroot if (failures or args.keep) else "(removed)"))
    if not failures and not args.keep:
        shutil.rmtree(workroot, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    print("soak: %s" % ("PASS" if not failures else "FAIL (%d)" % len(failures)))
    return 1 if failures else 0


def soak(args, rng, build, workroot):
    failures = []
    sinks = [(name, SmtpSink(workroot, "sink-" + name, options), weight)
             for name, options, weight in SINKS]
    router = Router(sinks, rng.random())
    clamd = Clamd(workroot, tcp=False)
    ctx = Ctx(build, workroot, args.socket_service)
    proxy = Proxy(ctx, "proxy", upstream=router.port, scanner="clamd:unix:" + clamd.socket_path,
                  extra=["--max-per-address", "1000"])
    pid = proxy.proc.popen.pid

    # Warm-up: the proxy's lazily made state (thread stacks, allocator
    # arenas, the plug-in's) exists before the baseline is taken.
    warm = [Session(-i - 1, rng) for i in range(args.concurrency)]
    for s in warm:
        s.kind = "clean"
    run_parallel(proxy.port, warm, args.concurrency, rng)
    time.sleep(1.5)
    before = proxy_figures(pid, ctx.tmpdir)
    print("soak: baseline after %d warm-up sessions: %s" % (len(warm), before), flush=True)

    sessions = [Session(i, rng) for i in range(args.sessions)]
    stop_cycling = threading.Event()
    cycle = args.clamd_cycle or max(2.0, min(8.0, args.sessions / 1000.0))
    restarts = [0]
    holder = {"clamd": clamd}

    def cycler():
        while not stop_cycling.wait(cycle):
            holder["clamd"].stop()
            if stop_cycling.wait(rng.uniform(0.5, 2.0)):
                break
            holder["clamd"] = Clamd(workroot, tcp=False)
            restarts[0] += 1

    t = threading.Thread(target=cycler, daemon=True)
    t.start()
    run_started = time.monotonic()
    run_parallel(proxy.port, sessions, args.concurrency, rng, progress=True)
    run_took = time.monotonic() - run_started
    stop_cycling.set()
    t.join(120)
    if not holder["clamd"].proc.alive():
        holder["clamd"] = Clamd(workroot, tcp=False)

    # Back to idle: every connection ended (threads at the baseline).
    wait_for(lambda: proxy_figures(pid, ctx.tmpdir)["threads"] <= before["threads"], 60, 0.5)
    time.sleep(1.0)
    after = proxy_figures(pid, ctx.tmpdir)
    print("soak: after %d sessions (%.0f s, %d clamd restarts): %s" % (
        len(sessions), run_took, restarts[0], after), flush=True)
    print("soak: router: %s" % ", ".join("%s %d" % kv for kv in sorted(router.counts.items())))

    # The outcomes.
    outcomes = {}
    expected = {}
    for s in warm + sessions:
        for tag, content, eicar in s.messages:
            expected[tag] = (with_insert(content) if not eicar else content, eicar)
            code = s.results.get(tag, (None, b""))[0]
            key = ("eicar " if eicar else "") + (
                "not sent (session ended before it)" if tag not in s.results
                else str(code) if code is not None else "closed without an answer")
            if isinstance(code, int):
                key = ("eicar " if eicar else "") + "%dxx" % (code // 100)
            outcomes[key] = outcomes.get(key, 0) + 1
    print("soak: client outcomes: %s" % ", ".join("%s %d" % kv for kv in sorted(outcomes.items())))

    dumps = dumped_messages([sink for _, sink, _ in sinks])
    by_tag = {}
    for path, body in dumps:
        if EICAR in body:
            failures.append("an EICAR message reached a sink: %s" % path)
        m = re.search(rb"soak-w?\d{5,6}-\d-[0-9a-f]{8}", body)
        if not m:
            failures.append("a sink holds a message of no session: %s" % path)
            continue
        by_tag.setdefault(m.group(0), []).append((path, body))
    missing = 0
    for s in warm + sessions:
        for tag, content, eicar in s.messages:
            code = s.results.get(tag, (None, b""))[0]
            copies = by_tag.get(tag, [])
            want = expected[tag][0].replace(b"\r\n", b"\n")
            for path, body in copies:
                if body.rstrip(b"\n") != want.rstrip(b"\n"):
                    failures.append("%s: the copy in %s is not byte-exact" % (tag.decode(), path))
            if code == 250 and not eicar:
                if not copies:
                    missing += 1
                    if missing <= 10:
                        failures.append("%s: answered 250 but missing from every sink" % tag.decode())
                elif len(copies) > 1:
                    failures.append("%s: stored %d times" % (tag.decode(), len(copies)))
            if eicar and code == 250 and copies:
                failures.append("%s: EICAR message delivered" % tag.decode())
    if missing > 10:
        failures.append("... %d messages answered 250 and missing in all" % missing)

    # Resources back to the baseline.
    for key in ("fds", "threads", "spool_files"):
        if after[key] > before[key]:
            failures.append("%s: %d before, %d after" % (key, before[key], after[key]))
    if after["rss_kib"] > before["rss_kib"] * 1.5 + 16384:
        failures.append("resident memory: %d KiB before, %d KiB after" % (before["rss_kib"], after["rss_kib"]))
    log = proxy.log_text()
    if "UNSCANNED" in log:
        failures.append("a message went through unscanned")
    if not proxy.proc.alive():
        failures.append("the proxy died; log tail:\n" + proxy.proc.log_tail())
    counters = re.findall(r"^.*counters: .*$", log, re.M)
    proxy.stop()
    for line in re.findall(r"^.*counters: .*$", proxy.log_text(), re.M)[-1:] or counters[-1:]:
        print("soak: proxy " + line.split("divivez-proxy: ", 1)[-1])
    router.stop = True
    return failures


def run_parallel(port, sessions, concurrency, rng, progress=False):
    queue = list(sessions)
    lock = threading.Lock()
    done = [0]
    seeds = [rng.random() for _ in range(concurrency)]

    def worker(seed):
        local = random.Random(seed)
        while True:
            with lock:
                if not queue:
                    return
                s = queue.pop(0)
            try:
                run_session(port, s, local)
            except OSError as e:
                s.error = str(e)
            with lock:
                done[0] += 1
                if progress and done[0] % 1000 == 0:
                    print("soak: %d sessions done" % done[0], flush=True)

    threads = [threading.Thread(target=worker, args=(seed,), daemon=True) for seed in seeds]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


if __name__ == "__main__":
    sys.exit(main())
