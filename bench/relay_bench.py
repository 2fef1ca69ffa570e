#!/usr/bin/python3
"""The relay benchmark: divivez-proxy against the real peers, side by side.

Postfix's smtp-source sends messages to Postfix's smtp-sink along each of
these paths, in one invocation, the repetitions interleaved so that drift of
a noisy machine's speed hits every path alike:

  direct         smtp-source straight into smtp-sink (the reference)
  socat          a plain forking TCP relay, no scan
  clamsmtp       clamsmtpd, a scanning SMTP relay in C, with clamd
  divivez        divivez-proxy with its built-in scanner (its defaults)
  divivez-clamd  divivez-proxy with --scanner clamd:unix:... (the same clamd)
  divivez-compare  with --compare PROXY: another build of divivez-proxy with
                 the built-in scanner (before and after a change, side by side)
  model-threads  bench/relay_models threads: a bare relay with a thread per
                 connection waiting in poll(), as divivez-proxy serves them
  model-loop     bench/relay_models loop: a bare relay, one thread and one
                 epoll set for all connections
  model-spool    bench/relay_models spool: a bare store-and-forward SMTP
                 relay; it answers DATA itself, writes the message to an
                 unnamed file until its end marker, then sends DATA and the
                 file (sendfile), with no scan and nothing else
TLS on both legs, each path behind the same two wrappers (smtp-source and
smtp-sink speak no TLS): an stunnel client in front of smtp-source that
speaks TLS to the path, and an stunnel server in front of smtp-sink that
takes TLS from it, so that the paths differ only in the relay:
  tls-direct     the wrappers alone (the TLS paths' reference)
  tls-stunnel    stunnel relaying TLS to TLS, as administrators run it: one
                 process, a server service that takes TLS and hands the
                 plaintext over a Unix socket to a client service that speaks
                 TLS to the server (its certificate chain and name verified),
                 no scan
  tls-socat      socat with its openssl addresses: TLS in, TLS out (the
                 server's certificate verified), no scan
  tls-divivez    divivez-proxy with --listen-tls and --upstream-tls
                 implicit (verified against the test CA), built-in scanner
The TLS paths' ratios are to tls-direct (added when a TLS path is named), the
others' to direct (likewise).
The models and the TLS paths are not in the default set (--paths names them). The first two
copy bytes and nothing else, so they show the ceiling each way of serving
connections allows on the machine at hand; model-spool shows the ceiling of
any relay that lets a message reach the server only after all of it has
arrived.

Both clamd users share one private clamd whose database this script writes
(the EICAR test string, as the built-in scanner has it). smtp-source opens a
connection per message (its default; --reuse-connections sends each
session's messages over one connection, smtp-source -d); N sessions send in
parallel. Every relay runs with its defaults: no option a real deployment
would not use.

Each run is sized by time, not by a count: before the repetitions, the
reference path of each size and session count (direct, tls-direct) is timed
with growing probes, and every run of that row sends as many messages as the
reference sends in about two seconds (--scale multiplies it), so that a run
outlasts the moments a busy machine gives to something else; slower paths
run longer. For every size and session count it prints the throughput of
each path as a ratio to its reference in the same repetition (median, min,
max; the order of the paths rotates from one repetition to the next) and the
CPU each relay used per message (the relay's own process, socat's forked children included,
and for the clamd paths clamd's besides; the wrappers are not counted). The
messages per run and the wall time of each run close the output. Nothing is asserted: this measures.
A relay or clamd that exits during the run stops it; scans that failed (and
so passed unscanned, which would flatter the figures) are reported.

What bounds the figures. With one session a store-and-forward relay takes in
and spools the whole message before it sends any of it, so for 10 MiB its
ratio cannot pass direct / (direct + receive and spool + scan), however fast
each part; model-spool measures that bound without the scan. With 20
sessions the cores are shared by smtp-source, smtp-sink and the relay, so
the relay's CPU per message decides: divivez-proxy copies a message four
times (socket, spool, spool, socket) where socat copies it twice, and writing
the spool file costs what model-spool loses against socat. For small
messages every SMTP exchange wakes a thread of the proxy twice (with many
sessions an event loop's wake often serves several); the switches and the
loopback TCP work, not the proxy's own instructions (see callgrind), make up
most of its CPU. perf record -g -p PID on the proxy shows which.

  table       the table above (default)
  callgrind   instructions per message of divivez-proxy (built-in scanner)
              under callgrind for 1 KiB and 1 MiB messages: the difference of
              two runs with different message counts, so start-up and
              shutdown cancel out; stable on a noisy machine
  idle-memory resident memory of divivez-proxy per idle connection with
              --idle-connections (1000) client connections open after the
              answer to their EHLO: plain, TLS on the client leg, on the
              upstream leg (an stunnel server in front of smtp-sink), on
              both; and per connection stalled in the TLS handshake (silent,
              or after its ClientHello)
  counts      callgrind and idle-memory
  all         all of them

Run as root, it installs what it lacks with apt-get (postfix for smtp-source
and smtp-sink, socat, clamsmtp, clamav-daemon, valgrind, stunnel4 for the TLS
paths). It stops
everything it started by process id, also on SIGINT or SIGTERM. A full table
(five paths, three sizes, two session counts, three repetitions) takes about
ten minutes on two cores, most of it clamsmtp's (every run lasts as long as
its path needs for the reference's count); --scale, --sizes, --sessions,
--paths and --reps make it shorter.

usage: bench/relay_bench.py [table|callgrind|idle-memory|counts|all]
         [--proxy PATH] [--reps N] [--sizes 1k,100k,10m] [--sessions 1,20]
         [--paths direct,socat,clamsmtp,divivez,divivez-clamd,model-threads,
                  model-loop,model-spool,tls-direct,tls-stunnel,tls-socat,
                  tls-divivez]
         [--scale F]
         [--reuse-connections] [--compare PROXY] [--idle-connections N]
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SMTP_SOURCE = "/usr/sbin/smtp-source"
SMTP_SINK = "/usr/sbin/smtp-sink"
CLAMD = "/usr/sbin/clamd"
CLAMSMTPD = "/usr/sbin/clamsmtpd"
CLK_TCK = os.sysconf("SC_CLK_TCK")
ALL_PATHS = ["direct", "socat", "clamsmtp", "divivez", "divivez-clamd"]
MODEL_PATHS = ["model-threads", "model-loop", "model-spool"]
TLS_PATHS = ["tls-direct", "tls-stunnel", "tls-socat", "tls-divivez"]
STUNNEL = "/usr/bin/stunnel4"

# Each run lasts about this long on its reference path (direct, tls-direct),
# slower paths longer; --scale multiplies it. A run of a fraction of a second
# is at the mercy of whatever else the machine does in that moment.
RUN_SECONDS = 2.0
# A calibration run lasts at least this long before its rate is taken.
PROBE_SECONDS = 0.4


def parse_size(text):
    m = re.fullmatch(r"(\d+)([kKmM]?)", text.strip())
    if not m:
        raise argparse.ArgumentTypeError("bad size %r" % text)
    n = int(m.group(1))
    return n << {"": 0, "k": 10, "K": 10, "m": 20, "M": 20}[m.group(2)]


def size_text(n):
    if n >= 1 << 20 and n % (1 << 20) == 0:
        return "%d MiB" % (n >> 20)
    if n >= 1 << 10 and n % (1 << 10) == 0:
        return "%d KiB" % (n >> 10)
    return "%d B" % n


def ensure_packages(need_valgrind, need_stunnel):
    wanted = [(SMTP_SOURCE, "postfix"), ("/usr/bin/socat", "socat"), (CLAMSMTPD, "clamsmtp"),
              (CLAMD, "clamav-daemon")]
    if need_stunnel:
        wanted.append((STUNNEL, "stunnel4"))
    if need_valgrind:
        wanted.append(("/usr/bin/valgrind", "valgrind"))
    missing = sorted({pkg for path, pkg in wanted if not os.path.exists(path)})
    if not missing:
        return
    if os.getuid() != 0:
        sys.exit("relay_bench: missing %s; run as root to have them installed" % " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    print("relay_bench: installing %s" % " ".join(missing), flush=True)
    subprocess.run(["apt-get", "update", "-q"], env=env, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing,
                   env=env, check=True, stdout=subprocess.DEVNULL)


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 16384 if hard == resource.RLIM_INFINITY else min(16384, hard)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, deadline=60.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s exited with %s before listening" % (proc.args[0], proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def wait_unix(path, proc, deadline=120.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %s" % (proc.args[0], proc.returncode))
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(2)
                s.connect(path)
                s.sendall(b"zPING\0")
                if s.recv(16).startswith(b"PONG"):
                    return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError("clamd does not answer on %s" % path)


def cpu_seconds(pid):
    """utime + stime of the process and its reaped children."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return sum(int(x) for x in fields[11:15]) / CLK_TCK


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Processes:
    """Everything started here, stopped by process id in reverse order."""

    def __init__(self, work):
        self.work = work
        self.procs = []

    def start(self, name, argv, **kw):
        log = open(os.path.join(self.work, name + ".log"), "w")
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                **kw)
        proc.bench_name = name
        self.procs.append(proc)
        return proc

    def check_alive(self):
        for proc in self.procs:
            if proc.poll() is not None:
                raise RuntimeError("%s (pid %d) has exited with %s; see %s" % (
                    proc.bench_name, proc.pid, proc.returncode,
                    os.path.join(self.work, proc.bench_name + ".log")))

    def stop(self, proc, timeout=30):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self.procs:
            self.procs.remove(proc)

    def stop_all(self):
        for proc in reversed(list(self.procs)):
            self.stop(proc)


def eicar():
    reversed_text = "*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\\4[PA@%P!O5X"
    return reversed_text[::-1].encode()


def start_sink(procs, name="smtp-sink"):
    port = free_port()
    sink = procs.start(name, [SMTP_SINK, "-u", "nobody", "-m", "2000", "127.0.0.1:%d" % port,
                              "1024"])
    wait_port(port, sink)
    return port, sink


def start_clamd(procs, work):
    d = os.path.join(work, "clamd")
    db = os.path.join(d, "db")
    os.makedirs(db, exist_ok=True)
    with open(os.path.join(db, "divivez-bench.ndb"), "w") as f:
        f.write("Divivez.Bench.EICAR:0:*:%s\n" % eicar().hex())
    sock = os.path.join(d, "clamd.sock")
    conf = os.path.join(d, "clamd.conf")
    with open(conf, "w") as f:
        f.write("Foreground yes\nLocalSocket %s\nDatabaseDirectory %s\n" % (sock, db))
        f.write("LogFile %s\nTemporaryDirectory %s\nSelfCheck 0\n" % (os.path.join(d, "clamd.log"), d))
        f.write("MaxThreads 24\nMaxQueue 200\nStreamMaxLength 100M\nMaxFileSize 100M\n")
        f.write("MaxScanSize 400M\n")
        if os.getuid() == 0:
            f.write("User root\n")
    # Under a name of its own: scripts/setup.sh stops every process named
    # "clamd" (pkill -x clamd) when anyone runs it.
    exe = os.path.join(d, "bench-clamd")
    os.symlink(CLAMD, exe)
    clamd = procs.start("clamd", [exe, "-c", conf])
    wait_unix(sock, clamd)
    return sock, clamd


def tls_identity(work):
    """A self-signed certificate for localhost and its key, in one PEM
    file: the relays' and the sink wrapper's, and the CA they verify."""
    pem = os.path.join(work, "localhost.pem")
    crt = os.path.join(work, "localhost.crt")
    key = os.path.join(work, "localhost.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", crt, "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(pem, "wb") as out:
        for path in (key, crt):
            with open(path, "rb") as f:
                out.write(f.read())
    os.chmod(pem, 0o600)
    return pem, crt


def start_stunnel(procs, work, name, services, client, ca=None):
    """One stunnel process (in the foreground) with services [(name,
    accept, connect)], each a port or a Unix socket's path: client mode
    (plain in, TLS out, nothing verified), server mode (TLS in with the
    bench's certificate), or with client None the first service a server
    and the others clients that verify the server against ca."""
    def address(a):
        return a if isinstance(a, str) else "127.0.0.1:%d" % a

    conf = os.path.join(work, name + ".conf")
    with open(conf, "w") as f:
        f.write("foreground = yes\npid =\nsyslog = no\ndebug = 3\n")
        for n, (service, accept, connect) in enumerate(services):
            is_client = client if client is not None else n > 0
            f.write("[%s]\nclient = %s\naccept = %s\nconnect = %s\n" % (
                service, "yes" if is_client else "no", address(accept), address(connect)))
            if not is_client:
                f.write("cert = %s\n" % os.path.join(work, "localhost.pem"))
            elif ca:
                f.write("verifyChain = yes\nCAfile = %s\ncheckHost = localhost\n" % ca)
    proc = procs.start(name, [STUNNEL, conf])
    for _, accept, _ in services:
        if not isinstance(accept, str):
            wait_port(accept, proc)
    return proc


def start_tls_relays(args, procs, work, sink_port, paths):
    """The TLS paths: {path: (the client wrapper's port, [relay pids], [])}."""
    _, crt = tls_identity(work)
    terminator = free_port()
    start_stunnel(procs, work, "stunnel-sink", [("sink", terminator, sink_port)], client=False)
    wrappers = []
    relays = {}
    for path in paths:
        if path == "tls-direct":
            target, pids = terminator, []
        elif path == "tls-stunnel":
            # stunnel relays TLS to TLS as two services of one process: the
            # first takes TLS from the client and hands the plaintext over a
            # Unix socket to the second, which speaks TLS to the server and
            # verifies its certificate and name.
            target = free_port()
            joint = os.path.join(work, "tls-stunnel.sock")
            proc = start_stunnel(procs, work, path, [("in", target, joint), ("out", joint, terminator)],
                                 client=None, ca=crt)
            pids = [proc.pid]
        elif path == "tls-socat":
            target = free_port()
            proc = procs.start(path, [
                "socat", "OPENSSL-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,backlog=1024,nodelay,cert=%s,verify=0"
                % (target, os.path.join(work, "localhost.pem")),
                "OPENSSL:127.0.0.1:%d,nodelay,cafile=%s,commonname=localhost" % (terminator, crt)])
            wait_port(target, proc)
            pids = [proc.pid]
        else:
            target = free_port()
            proc = procs.start(path, [args.proxy, "--listen-tls", "127.0.0.1:%d" % target,
                                      "--tls-cert", os.path.join(work, "localhost.pem"),
                                      "--upstream", "127.0.0.1:%d" % terminator,
                                      "--upstream-tls", "implicit", "--upstream-ca", crt,
                                      "--upstream-tls-name", "localhost",
                                      # Every client comes from the one wrapper, whose
                                      # closed connections linger past the default 50.
                                      "--max-per-address", "2000"])
            wait_port(target, proc)
            pids = [proc.pid]
        port = free_port()
        wrappers.append((path, port, target))
        relays[path] = (port, pids, [])
    start_stunnel(procs, work, "stunnel-source", wrappers, client=True)
    return relays


def start_relays(args, procs, work, sink_port, paths):
    """Returns {path: (port, [relay pids], extra pids for CPU)}."""
    relays = {"direct": (sink_port, [], [])}
    tls = [p for p in paths if p in TLS_PATHS]
    if tls:
        relays.update(start_tls_relays(args, procs, work, sink_port, tls))
    clamd_sock = clamd = None
    if "clamsmtp" in paths or "divivez-clamd" in paths:
        clamd_sock, clamd = start_clamd(procs, work)
    for path in paths:
        if path == "direct" or path in TLS_PATHS:
            continue
        port = free_port()
        if path == "socat":
            proc = procs.start("socat", ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,backlog=1024"
                                         % port, "TCP:127.0.0.1:%d" % sink_port])
            extra = []
        elif path in MODEL_PATHS:
            proc = procs.start(path, [args.models, path[len("model-"):], str(port), str(sink_port)])
            extra = []
        elif path == "clamsmtp":
            tmp = os.path.join(work, "clamsmtp-tmp")
            os.makedirs(tmp, exist_ok=True)
            conf = os.path.join(work, "clamsmtpd.conf")
            with open(conf, "w") as f:
                f.write("OutAddress: 127.0.0.1:%d\nListen: 127.0.0.1:%d\n" % (sink_port, port))
                f.write("ClamAddress: %s\nTempDirectory: %s\n" % (clamd_sock, tmp))
                f.write("MaxConnections: 256\nTimeOut: 180\nAction: drop\n")
            proc = procs.start("clamsmtp", [CLAMSMTPD, "-d", "0", "-f", conf,
                                            "-p", os.path.join(work, "clamsmtpd.pid")])
            extra = [clamd.pid]
        else:
            binary = args.compare if path == "divivez-compare" else args.proxy
            argv = [binary, "--listen", "127.0.0.1:%d" % port,
                    "--upstream", "127.0.0.1:%d" % sink_port]
            extra = []
            if path == "divivez-clamd":
                argv += ["--scanner", "clamd:unix:" + clamd_sock]
                extra = [clamd.pid]
            proc = procs.start(path, argv)
        wait_port(port, proc)
        relays[path] = (port, [proc.pid], extra)
    return relays


def send(port, size, sessions, messages, reuse):
    argv = [SMTP_SOURCE] + (["-d"] if reuse else []) + ["-s", str(sessions), "-m", str(messages), "-l", str(size),
            "-f", "a@example.org", "-t", "b@example.org", "-M", "bench.example.org",
            "127.0.0.1:%d" % port]
    start = time.monotonic()
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    elapsed = time.monotonic() - start
    if done.returncode != 0:
        raise RuntimeError("smtp-source to port %d failed: %s" % (port, done.stdout.decode()[-500:]))
    return elapsed


def calibrate(port, row, args):
    """The number of messages of the row that the path at port sends in
    the run's time: probe runs, each four times the last, until one lasts
    PROBE_SECONDS, then scaled from the faster of it and one more of the
    same count (never fewer than a message per session)."""
    size, sessions = row
    n = sessions
    while True:
        elapsed = send(port, size, sessions, n, args.reuse)
        if elapsed >= PROBE_SECONDS:
            break
        n *= 4
    # The faster of two: a probe that met a busy moment would make every
    # run of the row short.
    elapsed = min(elapsed, send(port, size, sessions, n, args.reuse))
    return max(sessions, int(n * RUN_SECONDS * args.scale / elapsed))


def table(args, procs, work):
    paths = args.paths
    sink_port, _ = start_sink(procs)
    relays = start_relays(args, procs, work, sink_port, paths)
    rows = [(size, sessions) for size in args.sizes for sessions in args.sessions]
    # Warm-up: every path, a few small messages.
    for path in paths:
        port = relays[path][0]
        send(port, 1024, 1, 3, args.reuse)
    # The message count of each row, for each reference and the paths
    # compared with it: as many as the reference sends in the run's time.
    references = [r for r in ("direct", "tls-direct") if r in paths]
    counts = {}
    for row in rows:
        for reference in references:
            counts[(row, reference)] = calibrate(relays[reference][0], row, args)
    print("messages per run: " + ", ".join(
        "%s x %d, %d session(s): %s" % (size_text(row[0]), counts[(row, reference)], row[1], reference)
        for row in rows for reference in references), flush=True)

    def reference_of(path):
        if path in references:
            return path
        return "tls-direct" if path in TLS_PATHS else "direct"

    results = {(row, path): [] for row in rows for path in paths}
    cpu = {(row, path): [] for row in rows for path in paths}
    seconds = {(row, path): [] for row in rows for path in paths}
    for rep in range(args.reps):
        for row in rows:
            size, sessions = row
            # Rotate the order of the paths from one repetition to the next.
            order = paths[rep % len(paths):] + paths[:rep % len(paths)]
            times = {}
            for path in order:
                procs.check_alive()
                port, pids, extra = relays[path]
                m = counts[(row, reference_of(path))]
                c0 = [cpu_seconds(p) for p in pids + extra]
                times[path] = send(port, size, sessions, m, args.reuse)
                procs.check_alive()
                c1 = [cpu_seconds(p) for p in pids + extra]
                own = sum(b - a for a, b in zip(c0[:len(pids)], c1[:len(pids)]))
                more = sum(b - a for a, b in zip(c0[len(pids):], c1[len(pids):]))
                cpu[(row, path)].append((own / m, more / m))
            for path in paths:
                seconds[(row, path)].append(times[path])
                reference = reference_of(path)
                results[(row, path)].append(times[reference] / times[path])
            print("rep %d: %s, %d session(s): %s" % (
                rep + 1, size_text(size), sessions,
                ", ".join("%s %.2f s" % (p, times[p]) for p in paths)), flush=True)

    for path in ("divivez", "divivez-clamd", "tls-divivez"):
        log = os.path.join(work, path + ".log")
        if path in paths and os.path.exists(log):
            with open(log, errors="replace") as f:
                failed = sum("scan failed" in line for line in f)
            if failed:
                print("WARNING: %s: %d scan(s) failed (passed unscanned); see %s" % (
                    path, failed, log))
    shown = [p for p in paths if p not in ("direct", "tls-direct")]
    print()
    print("Throughput as a ratio to smtp-source -> smtp-sink direct (the tls-* paths: to "
          "tls-direct, the TLS wrappers alone), median (min-max) of %d repetitions; %s; "
          "each run sized to last about %.1f s on its reference" % (
              args.reps, "connections reused" if args.reuse else "one connection per message",
              RUN_SECONDS * args.scale))
    print()
    print("| message size, sessions | " + " | ".join(shown) + " |")
    print("|---|" + "---|" * len(shown))
    for row in rows:
        cells = []
        for path in shown:
            r = results[(row, path)]
            cells.append("%.2f (%.2f-%.2f)" % (statistics.median(r), min(r), max(r)))
        print("| %s, %d | %s |" % (size_text(row[0]), row[1], " | ".join(cells)))
    print()
    print("CPU per message, ms (median): the relay's own process [+ clamd's]")
    print()
    print("| message size, sessions | " + " | ".join(shown) + " |")
    print("|---|" + "---|" * len(shown))
    for row in rows:
        cells = []
        for path in shown:
            own = statistics.median(x[0] for x in cpu[(row, path)]) * 1000
            more = statistics.median(x[1] for x in cpu[(row, path)]) * 1000
            cells.append("%.2f" % own + (" + %.2f" % more if relays[path][2] else ""))
        print("| %s, %d | %s |" % (size_text(row[0]), row[1], " | ".join(cells)))
    print()
    print("Wall time per run, s (median) [messages per run]")
    print()
    print("| message size, sessions | " + " | ".join(paths) + " |")
    print("|---|" + "---|" * len(paths))
    for row in rows:
        print("| %s, %d | %s |" % (size_text(row[0]), row[1], " | ".join(
            "%.3f [%d]" % (statistics.median(seconds[(row, p)]), counts[(row, reference_of(p))])
            for p in paths)))
    sys.stdout.flush()


def callgrind_total(out_file):
    with open(out_file) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + out_file)


def callgrind(args, procs, work):
    sink_port, _ = start_sink(procs, "smtp-sink-callgrind")
    print("Instructions per message of divivez-proxy (built-in scanner) under callgrind")
    print()
    print("| message size | instructions per message | per byte |")
    print("|---|---|---|")
    for size, counts in ((1 << 10, (20, 120)), (1 << 20, (4, 24))):
        totals = []
        for n in counts:
            port = free_port()
            out = os.path.join(work, "callgrind.%d.%d.out" % (size, n))
            proc = procs.start("callgrind-%d-%d" % (size, n), [
                "valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, args.proxy,
                "--listen", "127.0.0.1:%d" % port, "--upstream", "127.0.0.1:%d" % sink_port])
            wait_port(port, proc, 120)
            send(port, size, 1, n, False)
            procs.stop(proc, 120)
            totals.append(callgrind_total(out))
        per = (totals[1] - totals[0]) / (counts[1] - counts[0])
        print("| %s | %d | %.2f |" % (size_text(size), per, per / size))
    sys.stdout.flush()


IDLE_ROWS = [
    # (row, TLS toward the clients, TLS toward the server, what each client does)
    ("plain", False, False, "ehlo"),
    ("tls client leg", True, False, "ehlo"),
    ("tls upstream leg", False, True, "ehlo"),
    ("tls both legs", True, True, "ehlo"),
    ("tls handshake, silent", True, False, "silent"),
    ("tls handshake, half a hello", True, False, "half"),
    ("tls handshake, hello sent", True, False, "hello"),
]


def idle_client(port, tls, action, context):
    """One client of the idle-memory mode, left open: after its EHLO has
    been answered (in TLS on a TLS port), or in a handshake it stalls:
    nothing sent, half its ClientHello, or all of it and nothing more."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    if action == "silent":
        return s
    if action in ("half", "hello"):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        engine = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
        try:
            engine.do_handshake()
        except ssl.SSLWantReadError:
            pass
        hello = outgoing.read()
        s.sendall(hello if action == "hello" else hello[:len(hello) // 2])
        return (s, engine)
    if tls:
        s = context.wrap_socket(s, server_hostname="localhost")
    reply = b""
    while b"\r\n" not in reply:
        reply += s.recv(512)
    if not reply.startswith(b"220"):
        raise RuntimeError("no greeting through the proxy: %r" % reply)
    s.sendall(b"EHLO bench.invalid\r\n")
    reply = b""
    while not re.search(rb"(^|\n)250 [^\n]*\n", reply):
        more = s.recv(4096)
        if not more:
            raise RuntimeError("no answer to EHLO through the proxy")
        reply += more
    return s


def idle_memory(args, procs, work):
    """Resident memory of divivez-proxy per idle connection, for each row
    of IDLE_ROWS: a proxy of its own, --idle-connections clients opened
    and left idle, the growth of its RSS divided by their number."""
    sink_port, _ = start_sink(procs, "smtp-sink-idle")
    _, crt = tls_identity(work)
    terminator = free_port()
    start_stunnel(procs, work, "stunnel-idle-sink", [("sink", terminator, sink_port)],
                  client=False)
    context = ssl.create_default_context(cafile=crt)
    results = []
    for row, client_tls, upstream_tls, action in IDLE_ROWS:
        port = free_port()
        # All the clients come from one address: the per-address limit
        # (default 50) is raised to let them in, and the start-up probe whose
        # connection may still be closing; it changes nothing a connection
        # holds. Stalled handshakes are given the time the measurement takes.
        argv = [args.proxy, "--listen-tls" if client_tls else "--listen",
                "127.0.0.1:%d" % port,
                "--max-per-address", str(args.idle_connections + 1),
                "--tls-handshake-timeout", "120"]
        if client_tls:
            argv += ["--tls-cert", os.path.join(work, "localhost.pem")]
        if upstream_tls:
            argv += ["--upstream", "127.0.0.1:%d" % terminator, "--upstream-tls", "implicit",
                     "--upstream-ca", crt, "--upstream-tls-name", "localhost"]
        else:
            argv += ["--upstream", "127.0.0.1:%d" % sink_port]
        proxy = procs.start("divivez-idle", argv)
        wait_port(port, proxy)
        time.sleep(0.5)
        before = rss_kib(proxy.pid)
        clients = []
        try:
            for _ in range(args.idle_connections):
                clients.append(idle_client(port, client_tls, action, context))
            time.sleep(1.0)
            procs.check_alive()
            after = rss_kib(proxy.pid)
        finally:
            for c in clients:
                (c[0] if isinstance(c, tuple) else c).close()
        n = len(clients)
        results.append((row, before, after, (after - before) / n))
        procs.stop(proxy)
    print("Resident memory of divivez-proxy per idle connection, %d connections each "
          "(clients after the answer to their EHLO, or stalled in the handshake):"
          % args.idle_connections)
    print()
    print("| connections | RSS idle (KiB) | RSS with them (KiB) | per connection (KiB) |")
    print("|---|---|---|---|")
    for row, before, after, per in results:
        print("| %s | %d | %d | %.1f |" % (row, before, after, per))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("what", nargs="?", default="table",
                    choices=["table", "callgrind", "idle-memory", "counts", "all"])
    ap.add_argument("--proxy", default=os.path.join(ROOT, "build/native/host/divivez-proxy"))
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--sizes", default="1k,100k,10m")
    ap.add_argument("--sessions", default="1,20")
    ap.add_argument("--paths", default=",".join(ALL_PATHS))
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies the time each run lasts (about %.0f s on the reference path)" % RUN_SECONDS)
    ap.add_argument("--reuse-connections", dest="reuse", action="store_true",
                    help="each session sends all its messages over one connection (smtp-source "
                    "-d); default: a connection per message, smtp-source's default")
    ap.add_argument("--compare", metavar="PROXY",
                    help="adds the path divivez-compare: this other divivez-proxy build with the "
                    "built-in scanner, side by side with --proxy (before and after a change)")
    ap.add_argument("--idle-connections", type=int, default=1000)
    args = ap.parse_args()
    args.sizes = [parse_size(s) for s in args.sizes.split(",")]
    args.sessions = [int(s) for s in args.sessions.split(",")]
    args.paths = [p for p in args.paths.split(",") if p]
    if args.compare:
        args.compare = os.path.abspath(args.compare)
        if "divivez-compare" not in args.paths:
            args.paths.append("divivez-compare")
    if any(p in TLS_PATHS for p in args.paths) and "tls-direct" not in args.paths:
        args.paths.insert(0, "tls-direct")
    if any(p not in TLS_PATHS for p in args.paths) and "direct" not in args.paths:
        args.paths.insert(0, "direct")
    for p in args.paths:
        if p not in ALL_PATHS + MODEL_PATHS + TLS_PATHS + ["divivez-compare"] or (
                p == "divivez-compare" and not args.compare):
            ap.error("unknown path %r" % p)
    args.models = os.path.join(os.path.dirname(os.path.abspath(args.proxy)), "..", "bench",
                               "relay_models")
    if any(p in MODEL_PATHS for p in args.paths) and not os.access(args.models, os.X_OK):
        ap.error("no relay_models at %s (build the native preset first)" % args.models)
    args.proxy = os.path.abspath(args.proxy)
    if not os.access(args.proxy, os.X_OK):
        ap.error("no proxy at %s (build the native preset first)" % args.proxy)

    def stop(signum, frame):
        raise SystemExit("relay_bench: stopped by signal %d" % signum)

    # Also when started in the background, where SIGINT is ignored.
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    ensure_packages(args.what in ("callgrind", "counts", "all"),
                    any(p in TLS_PATHS for p in args.paths) or
                    args.what in ("idle-memory", "counts", "all"))
    raise_fd_limit()
    work = tempfile.mkdtemp(prefix="divivez-bench-")
    procs = Processes(work)
    try:
        print("proxy %s; work directory %s" % (args.proxy, work), flush=True)
        if args.what in ("table", "all"):
            table(args, procs, work)
            procs.stop_all()
        if args.what in ("callgrind", "counts", "all"):
            print()
            callgrind(args, procs, work)
            procs.stop_all()
        if args.what in ("idle-memory", "counts", "all"):
            print()
            idle_memory(args, procs, work)
    finally:
        procs.stop_all()
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
