#!/usr/bin/python3
"""The end-to-end suite's harness: the programs it runs and the clients.

Processes (Proc): every program started here is registered, runs in its own
session, dies with the driver (parent-death signal), and is stopped by
stop_all() at the end. Servers: MailServer (smtp_server.py, recording every
message exactly), LenientServer (lenient_server.py, framing lines at LF or
also at CR, as servers open to SMTP smuggling do), SmtpSink (Postfix's
smtp-sink), Postfix (a private Postfix instance on loopback delivering to a
maildir; assert_stored checks its files), Clamd (a real clamd with a private
configuration and a database written here), SlowClamd (slow_clamd.py).
HAProxy (a TCP load balancer sending the PROXY protocol) and Prometheus
(scraping the proxies' metrics, read back through its HTTP API). Build
and Proxy: the proxy of one build (the Windows one through Wine) on an
ephemeral loopback port. Messages: what the tests send and what the server
must receive (with_insert). Clients: swaks, smtplib and a raw socket client.
Assertions raise Failure.

TLS: certificates(workdir) makes a test PKI at run time (Certificates);
Postfix(tls=..., sasl=...) with postfix_tls_listeners() is an upstream that
requires STARTTLS or speaks TLS from the first byte and takes AUTH only
inside TLS, with ports whose certificate a verifying client must refuse;
LenientServer(starttls="inject") answers STARTTLS with an injected reply.
Clients: swaks(tls=, ca=, auth=), smtp_starttls, smtp_ssl, s_client,
RawClient(tls=) and RawClient.starttls, starttls_injection.
"""

import base64
import ctypes
import getpass
import itertools
import json
import os
import pwd
import random
import re
import signal
import smtplib
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PYTHON = "/usr/bin/python3"

INSERT = b"X-Virus-Scanned: divivez-proxy\r\n"
EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
CUSTOM = b"DIVIVEZ-E2E-CUSTOM-PATTERN-7f3a91"
CUSTOM_NAME = "Divivez.Test.Custom"
# The standard test server refuses recipients holding this and accepts these
# credentials (authentication is optional there).
REJECTED_RCPT = "refused-rcpt"
AUTH_USER = "e2e-user"
AUTH_PASSWORD = "pa55 w0rd"
# Extensions the test server advertises; the first must reach the client,
# the others must be removed by the plug-in.
ADVERTISE = ["PIPELINING", "STARTTLS", "CHUNKING", "BINARYMIME"]


# Marks this run's messages, so that a spool file left behind in a temporary
# directory shared with other programs can be told for ours.
RUN_ID = b"%08x" % random.getrandbits(32)


class Failure(Exception):
    """A scenario's assertion failed."""


class Skipped(Exception):
    """A scenario cannot run on this machine (said, never counted a pass)."""


def check(condition, message):
    if not condition:
        raise Failure(message)


# --------------------------------------------------------------------------
# Processes: every one started here is registered and stopped at the end.

_procs = []
_procs_lock = threading.Lock()
_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _die_with_driver():
    # Should the driver itself be killed (SIGKILL, a CI time-out), its
    # children get SIGKILL from the kernel instead of living on.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Proc:
    def __init__(self, name, argv, log_path, cwd=None, env=None, group_kill=True, stdout=None,
                 stop_signal=signal.SIGTERM):
        self.name = name
        self.stop_signal = stop_signal
        self.argv = argv
        self.log_path = log_path
        self.group_kill = group_kill
        self.log = open(log_path, "ab")
        self.exited_before_stop = None  # its status, when it had ended before stop()
        # Another process to signal in its place (the program a wrapper runs).
        self.signal_pid = None
        self.needed_kill = False
        self.stopped_by_us_alive = False
        self.popen = subprocess.Popen(
            argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
            stdout=stdout if stdout is not None else self.log, stderr=self.log,
            start_new_session=True, preexec_fn=_die_with_driver)
        with _procs_lock:
            _procs.append(self)

    def alive(self):
        return self.popen.poll() is None

    def stop(self, grace=5.0):
        if self.popen.poll() is not None:
            if not self.stopped_by_us_alive:
                self.exited_before_stop = self.popen.returncode
        else:
            self.stopped_by_us_alive = True
            self._signal(self.stop_signal)
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                self.needed_kill = True
                self._signal(signal.SIGKILL)
                try:
                    self.popen.wait(10)
                except subprocess.TimeoutExpired:
                    pass
        if self.popen.stdout is not None:
            self.popen.stdout.close()
        self.log.close()
        with _procs_lock:
            if self in _procs:
                _procs.remove(self)

    def _signal(self, sig):
        try:
            if self.signal_pid is not None:
                try:
                    os.kill(self.signal_pid, sig)
                    if sig != signal.SIGKILL:
                        return  # the wrapper ends when its program does
                except ProcessLookupError:
                    pass  # gone already: the wrapper gets the signal
            # Wine programs: signal the process only, never its group, since
            # a wineserver it started may serve other Wine programs too.
            if self.group_kill:
                os.killpg(self.popen.pid, sig)
            else:
                self.popen.send_signal(sig)
        except (ProcessLookupError, PermissionError):
            pass

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def log_tail(self, lines=25):
        return "\n".join(self.log_text().splitlines()[-lines:])


def stop_all():
    with _procs_lock:
        procs = list(reversed(_procs))
    for proc in procs:
        try:
            proc.stop(grace=3.0)
        except Exception:  # keep stopping the others
            pass


def read_announce(proc, prefix, timeout):
    """Reads the helper's "PORT n" / "UNIX path" line from its stdout pipe."""
    result = {}

    def reader():
        line = proc.popen.stdout.readline().decode("ascii", "replace").strip()
        result["line"] = line

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    t.join(timeout)
    line = result.get("line", "")
    if not line.startswith(prefix + " "):
        raise Failure("%s did not start (announced %r); log:\n%s" % (proc.name, line, proc.log_tail()))
    return line[len(prefix) + 1:]


def free_port():
    """A port that was free a moment ago, for programs that cannot bind port 0."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


# --------------------------------------------------------------------------
# Certificates for the TLS scenarios, made at run time (never committed)

# The openssl command makes them: the TLS probes need it anyway (s_client),
# so certificates add no package, and each file is what an administrator
# would make with the same tool.
_OPENSSL_CNF = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::E2E_SAN
"""


class Identity:
    """One certificate and its key as PEM files: crt (the certificate then
    its issuer's, the chain a server sends), leaf (the certificate alone),
    key (the private key alone) and pem (the key then the chain, one file)."""

    def __init__(self, directory, name):
        base = os.path.join(directory, name)
        self.name = name
        self.crt = base + ".crt"
        self.leaf = base + "-leaf.crt"
        self.key = base + ".key"
        self.pem = base + ".pem"


class Certificates:
    """A test PKI in directory: ca (the CA the tests trust; ca.crt is the
    file to verify against), other_ca (a CA nobody trusts), and server
    identities: localhost (DNS:localhost and IP:127.0.0.1, signed by ca, for
    the proxy and the upstreams), wrong_name (DNS:wrong.example, signed by
    ca) and unknown_ca (the names of localhost, signed by other_ca)."""

    def __init__(self, directory):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        self.cnf = os.path.join(directory, "openssl.cnf")
        with open(self.cnf, "w") as f:
            f.write(_OPENSSL_CNF)
        self.ca = self._authority("ca", "divivez e2e test CA")
        self.other_ca = self._authority("other-ca", "divivez e2e unknown CA")
        self.localhost = self._server("localhost", "localhost", "DNS:localhost,IP:127.0.0.1", self.ca)
        self.wrong_name = self._server("wrong-name", "wrong.example", "DNS:wrong.example", self.ca)
        self.unknown_ca = self._server("unknown-ca", "localhost", "DNS:localhost,IP:127.0.0.1",
                                       self.other_ca)

    def _openssl(self, args, san="DNS:unused"):
        code, out = run(["openssl"] + args, 60, env=dict(os.environ, E2E_SAN=san))
        if code != 0:
            raise Failure("openssl %s failed (%d): %s" % (args[0], code, out[-1500:]))

    def _authority(self, name, common_name):
        ca = Identity(self.dir, name)
        self._openssl(["req", "-x509", "-config", self.cnf, "-extensions", "ca", "-newkey", "rsa:2048",
                       "-nodes", "-keyout", ca.key, "-out", ca.leaf, "-days", "3",
                       "-subj", "/O=divivez e2e/CN=" + common_name])
        self._join(ca, [ca.leaf])
        return ca

    def _server(self, name, common_name, san, issuer):
        ident = Identity(self.dir, name)
        csr = os.path.join(self.dir, name + ".csr")
        self._openssl(["req", "-new", "-config", self.cnf, "-newkey", "rsa:2048", "-nodes",
                       "-keyout", ident.key, "-out", csr, "-subj", "/O=divivez e2e/CN=" + common_name])
        self._openssl(["x509", "-req", "-in", csr, "-CA", issuer.leaf, "-CAkey", issuer.key,
                       "-set_serial", str(random.getrandbits(63)), "-days", "2",
                       "-extfile", self.cnf, "-extensions", "leaf", "-out", ident.leaf], san)
        self._join(ident, [ident.leaf, issuer.leaf])
        return ident

    @staticmethod
    def _join(ident, chain):
        parts = []
        for path in chain:
            with open(path, "rb") as f:
                parts.append(f.read())
        with open(ident.key, "rb") as f:
            key = f.read()
        with open(ident.crt, "wb") as f:
            f.write(b"".join(parts))
        with open(ident.pem, "wb") as f:
            f.write(key + b"".join(parts))
        os.chmod(ident.key, 0o600)
        os.chmod(ident.pem, 0o600)


_certificates = {}


def certificates(workdir):
    """The test PKI of workdir (made on first use, in workdir/pki)."""
    directory = os.path.join(workdir, "pki")
    if directory not in _certificates:
        _certificates[directory] = Certificates(directory)
    return _certificates[directory]


# --------------------------------------------------------------------------
# Servers


class MailServer:
    """smtp_server.py: records every message it takes, exactly."""

    def __init__(self, workdir, name="server", timeout=None, cut_sender=None, advertise=ADVERTISE,
                 reject_rcpt=None, auth=None, noop_delay=None, netns=None, address=None):
        """netns, address: listen on address port 25 inside that network
        namespace (a Netns's) instead of on a loopback port."""
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        argv = [PYTHON, os.path.join(HERE, "smtp_server.py"), "--dir", self.dir]
        if netns is not None:
            argv = ["ip", "netns", "exec", netns] + argv + ["--host", address, "--port", "25"]
        if timeout is not None:
            argv += ["--timeout", str(timeout)]
        if cut_sender:
            argv += ["--cut-sender", cut_sender]
        if reject_rcpt:
            argv += ["--reject-rcpt", reject_rcpt]
        if auth:
            argv += ["--auth", auth]
        if noop_delay:
            argv += ["--noop-delay", str(noop_delay)]
        for keyword in advertise:
            argv += ["--advertise", keyword]
        self.proc = Proc(name, argv, os.path.join(workdir, name + ".log"), stdout=subprocess.PIPE)
        self.port = int(read_announce(self.proc, "PORT", 20))

    def messages(self):
        """[(meta, content)] in the order stored."""
        found = []
        for entry in sorted(os.listdir(self.dir)):
            if entry.endswith(".json"):
                base = os.path.join(self.dir, entry[:-5])
                with open(base + ".json") as f:
                    meta = json.load(f)
                with open(base + ".eml", "rb") as f:
                    found.append((meta, f.read()))
        return found

    def with_token(self, token):
        return [(m, c) for m, c in self.messages() if token in c]

    def wait_token(self, token, timeout=10):
        return wait_for(lambda: self.with_token(token), timeout)

    def events(self, kind=None):
        path = os.path.join(self.dir, "events.jsonl")
        out = []
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    if line.strip():
                        event = json.loads(line)
                        if kind is None or event["event"] == kind:
                            out.append(event)
        return out

    def stop(self):
        self.proc.stop()


class LenientServer(MailServer):
    """lenient_server.py: ends lines at LF ("lf") or also at a bare CR
    ("lf-cr"), takes a lone "." line as the end of a message whatever the
    line ends around it, and reads what follows as commands, like the
    servers of the SMTP smuggling research. Records like MailServer, and
    also every byte each connection sent (transcripts). starttls: None
    (STARTTLS not offered), "honest" or "inject" (answers STARTTLS with
    "220 go" and "250 injected" in one send, then does the handshake), with
    identity (an Identity of Certificates) as its certificate."""

    def __init__(self, workdir, name, line_ends="lf", options=(), starttls=None, identity=None):
        """options: further lenient_server.py arguments (--hang-up, --xclient-refuse)."""
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        argv = [PYTHON, os.path.join(HERE, "lenient_server.py"), "--dir", self.dir,
                "--line-ends", line_ends] + list(options)
        if starttls:
            argv += ["--starttls", starttls, "--tls-cert", identity.crt, "--tls-key", identity.key]
        self.proc = Proc(name, argv, os.path.join(workdir, name + ".log"), stdout=subprocess.PIPE)
        self.port = int(read_announce(self.proc, "PORT", 20))

    def transcripts(self):
        """{connection number: the bytes it sent so far}"""
        found = {}
        for entry in os.listdir(self.dir):
            m = re.match(r"conn-(\d+)\.in$", entry)
            if m:
                with open(os.path.join(self.dir, entry), "rb") as f:
                    found[int(m.group(1))] = f.read()
        return found


class SmtpSink:
    """Postfix's smtp-sink, dumping whatever it takes into a directory."""

    def __init__(self, workdir, name, options):
        self.dump = os.path.join(workdir, name + "-dump")
        os.makedirs(self.dump, exist_ok=True)
        os.chmod(self.dump, 0o777)  # smtp-sink runs as nobody
        for attempt in range(5):
            self.port = free_port()
            argv = ["/usr/sbin/smtp-sink", "-v", "-t", "30"] + options
            if os.getuid() == 0:
                argv += ["-u", "nobody"]
            argv += ["-d", self.dump + "/%M.", "127.0.0.1:%d" % self.port, "64"]
            self.proc = Proc(name, argv, os.path.join(workdir, "%s-%d.log" % (name, attempt)))
            if wait_for(lambda: self._answers() or not self.proc.alive(), 10) and self.proc.alive():
                return
            self.proc.stop()
        raise Failure("smtp-sink did not start; log:\n" + self.proc.log_tail())

    def _answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), 1) as s:
                s.settimeout(2)
                return re.match(rb"[245]\d\d[ -]", s.recv(100)) is not None
        except OSError:
            return False

    def dumped(self):
        return sorted(os.listdir(self.dump))

    def stop(self):
        self.proc.stop()


class Postfix:
    """A private Postfix instance on loopback: its own configuration, queue,
    data and log directories under workdir, smtpd listening only on
    127.0.0.1 (one port per entry of listeners: (name, {smtpd parameter:
    value}) for parameters that differ from the instance's), every accepted
    message delivered by virtual(8) to one maildir, one file per message and
    recipient. Never touches a system-wide instance: master runs from here
    with -c, as a child of the driver, and is stopped by its own PID file and
    process group. smtpd refuses unsynchronised clients
    (smtpd_forbid_unauth_pipelining: in Debian's 3.7 since 3.7.6, the default
    from 3.9) and, as 3.7 does by default, ends data at <LF>.<LF> too.

    tls: an Identity (see Certificates) that smtpd presents; every port then
    offers STARTTLS (a listener may require it, or speak TLS from the first
    byte with smtpd_tls_wrappermode=yes, or present another identity with
    smtpd_tls_chain_files=key,crt), and the log records each handshake.
    sasl: {user: password}, accounts in a private Cyrus sasldb2 (made with
    saslpasswd2, realm e2e.test) that smtpd offers AUTH PLAIN and LOGIN for,
    only inside TLS (smtpd_tls_auth_only). postfix_tls_listeners() gives
    the ports the TLS scenarios use."""

    MASTER = "/usr/lib/postfix/sbin/master"
    # The services master.cf needs for SMTP in and virtual delivery out; no
    # chroot, so nothing has to be copied into the queue directory.
    SERVICES = [
        "cleanup unix n - n - 0 cleanup",
        "qmgr unix n - n 300 1 qmgr",
        "rewrite unix - - n - - trivial-rewrite",
        "bounce unix - - n - 0 bounce",
        "defer unix - - n - 0 bounce",
        "trace unix - - n - 0 bounce",
        "verify unix - - n - 1 verify",
        "flush unix n - n 1000? 0 flush",
        "proxymap unix - - n - - proxymap",
        "proxywrite unix - - n - 1 proxymap",
        "showq unix n - n - - showq",
        "error unix - - n - - error",
        "retry unix - - n - - error",
        "discard unix - - n - - discard",
        "virtual unix - n n - - virtual",
        "anvil unix - - n - 1 anvil",
        "scache unix - - n - 1 scache",
        "postlog unix-dgram n - n - 1 postlogd",
    ]

    def __init__(self, workdir, name="postfix", listeners=(("main", {}),), tls=None, sasl=None,
                 main_extra=None, services=()):
        """main_extra: main.cf parameters added or changed; services: further
        master.cf lines (a content filter's transport, pickup)."""
        self.dir = os.path.join(workdir, name)
        self.conf = os.path.join(self.dir, "conf")
        self.maildir = os.path.join(self.dir, "mail", "mailbox")
        self.maillog = os.path.join(self.dir, "maillog")
        if os.getuid() != 0:
            raise Failure("a private Postfix needs root (its master runs as root and its "
                          "daemons as the postfix user)")
        owner = pwd.getpwnam("postfix")
        for sub in ("conf", "queue", "mail"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chown(os.path.join(self.dir, "mail"), owner.pw_uid, owner.pw_gid)
        with open(os.path.join(self.conf, "vmailbox"), "w") as f:
            f.write("@example.test mailbox/\n")  # every recipient: one maildir
        main = {
            "compatibility_level": "3.6",
            "queue_directory": os.path.join(self.dir, "queue"),
            "data_directory": os.path.join(self.dir, "data"),
            "command_directory": "/usr/sbin",
            "daemon_directory": "/usr/lib/postfix/sbin",
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "maillog_file": self.maillog,
            "maillog_file_prefixes": self.dir,
            "myhostname": "postfix.e2e.test",
            "mydomain": "e2e.test",
            "mydestination": "",
            "relay_domains": "",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "smtpd_relay_restrictions": "permit_mynetworks, reject_unauth_destination",
            "smtpd_forbid_unauth_pipelining": "yes",
            # 3.7's default, said here since the smuggling scenario needs a
            # server that also ends data at <LF>.<LF> (3.9 normalises).
            "smtpd_forbid_bare_newline": "no",
            "smtpd_peername_lookup": "no",
            "smtpd_timeout": "60s",
            # Headers stay as the proxy sent them: no rewriting, nothing added.
            "local_header_rewrite_clients": "",
            "alias_maps": "",
            "alias_database": "",
            "local_transport": "error:local delivery is disabled",
            "default_transport": "error:outbound delivery is disabled",
            "virtual_mailbox_domains": "example.test",
            "virtual_mailbox_base": os.path.join(self.dir, "mail"),
            "virtual_mailbox_maps": "texthash:" + os.path.join(self.conf, "vmailbox"),
            "virtual_uid_maps": "static:%d" % owner.pw_uid,
            "virtual_gid_maps": "static:%d" % owner.pw_gid,
            "biff": "no",
        }
        if tls is not None:
            main.update({
                "smtpd_tls_chain_files": "%s, %s" % (tls.key, tls.crt),
                "smtpd_tls_security_level": "may",
                "smtpd_tls_loglevel": "1",
            })
        if sasl:
            main.update(self._sasl_config(sasl, owner))
        main.update(main_extra or {})
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            for key, value in main.items():
                f.write("%s = %s\n" % (key, value))
        self.env = dict(os.environ, MAIL_CONFIG=self.conf)
        for attempt in range(5):
            self.ports = {label: free_port() for label, _ in listeners}
            with open(os.path.join(self.conf, "master.cf"), "w") as f:
                for label, overrides in listeners:
                    f.write("127.0.0.1:%d inet n - n - - smtpd\n" % self.ports[label])
                    for key, value in overrides.items():
                        f.write("  -o %s=%s\n" % (key, value))
                f.write("\n".join(self.SERVICES + list(services)) + "\n")
                if tls is not None:
                    # smtpd gets its randomness and session cache from it.
                    f.write("tlsmgr unix - - n 1000? 1 tlsmgr\n")
            if attempt == 0:
                # Creates the queue's directories with their owners and
                # modes, and checks the configuration.
                code, out = run(["/usr/sbin/postfix", "-c", self.conf, "check"], 60, env=self.env)
                if code != 0:
                    raise Failure("postfix check failed (%d): %s\n%s" % (code, out[-1500:], self.log_tail()))
            # master becomes the leader of the session Proc gives it, so its
            # daemons are stopped with it.
            self.proc = Proc(name, [self.MASTER, "-c", self.conf],
                             os.path.join(self.dir, "master-%d.out" % attempt), env=self.env)
            wrapped = {label: overrides.get("smtpd_tls_wrappermode") == "yes"
                       for label, overrides in listeners}
            if wait_for(lambda: all(self._answers(p, wrapped[label]) for label, p in self.ports.items())
                        or not self.proc.alive(), 30, 0.1) and self.proc.alive():
                self.port = self.ports[listeners[0][0]]
                return
            self._stop_master()
        raise Failure("Postfix did not start; master:\n%s\nmaillog:\n%s" % (
            self.proc.log_tail(), self.log_tail()))

    def _sasl_config(self, sasl, owner):
        """main.cf's settings for Cyrus SASL with a private sasldb2: smtpd
        (not chrooted here) reads smtpd.conf from conf/sasl, never the
        system's /etc/postfix/sasl (Debian's smtpd looks in
        $config_directory/sasl whatever cyrus_sasl_config_path says, so both
        name it). The sasldb2 lies outside conf, which postfix check wants
        owned by root."""
        sasl_dir = os.path.join(self.conf, "sasl")
        os.makedirs(sasl_dir, exist_ok=True)
        db_dir = os.path.join(self.dir, "sasldb")
        os.makedirs(db_dir, exist_ok=True)
        sasldb = self.sasldb = os.path.join(db_dir, "sasldb2")
        for user, password in sasl.items():
            code, out = run(["/usr/sbin/saslpasswd2", "-p", "-c", "-f", sasldb, "-u", "e2e.test", user],
                            30, input_bytes=password.encode())
            if code != 0:
                raise Failure("saslpasswd2 failed (%d): %s" % (code, out[-1500:]))
        # smtpd looks accounts up after it dropped root.
        os.chown(sasldb, owner.pw_uid, owner.pw_gid)
        os.chmod(sasldb, 0o600)
        with open(os.path.join(sasl_dir, "smtpd.conf"), "w") as f:
            f.write("pwcheck_method: auxprop\nauxprop_plugin: sasldb\n"
                    "mech_list: PLAIN LOGIN\nsasldb_path: %s\n" % sasldb)
        return {
            "smtpd_sasl_auth_enable": "yes",
            "smtpd_sasl_type": "cyrus",
            "smtpd_sasl_path": "smtpd",
            "cyrus_sasl_config_path": sasl_dir,
            "smtpd_sasl_local_domain": "e2e.test",
            "smtpd_sasl_security_options": "noanonymous",
            "smtpd_tls_auth_only": "yes",
        }

    @staticmethod
    def _answers(port, wrapped=False):
        try:
            with socket.create_connection(("127.0.0.1", port), 1) as s:
                s.settimeout(2)
                if wrapped:
                    with client_tls_context().wrap_socket(s) as t:
                        return t.recv(100).startswith(b"220")
                return s.recv(100).startswith(b"220")
        except OSError:
            return False

    def log_lines(self, pattern, syslog_name=None):
        """smtpd's log lines matching the regular expression pattern (on the
        port that logs as syslog_name, when given)."""
        return [line for line in self.log_text().splitlines() if re.search(pattern, line) and (
            syslog_name is None or " %s/smtpd[" % syslog_name in line)]

    def sasl_logins(self, user, syslog_name=None):
        """How many messages were taken from a client authenticated as user."""
        return len(self.log_lines(r"sasl_username=%s(@\S*)?$" % re.escape(user), syslog_name))

    def tls_sessions(self, syslog_name=None):
        """Log lines of TLS handshakes smtpd completed (the start-up check
        makes one on each wrapper-mode port)."""
        return self.log_lines("TLS connection established from", syslog_name)

    def log_text(self):
        try:
            with open(self.maillog, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def log_tail(self, lines=25):
        return "\n".join(self.log_text().splitlines()[-lines:])

    def messages(self):
        """[content] of every delivered file, in delivery order."""
        found = []
        for sub in ("new", "cur"):
            directory = os.path.join(self.maildir, sub)
            if os.path.isdir(directory):
                for entry in os.listdir(directory):
                    path = os.path.join(directory, entry)
                    found.append((os.stat(path).st_mtime_ns, entry, path))
        out = []
        for _, _, path in sorted(found):
            with open(path, "rb") as f:
                out.append(f.read())
        return out

    def with_token(self, token):
        return [c for c in self.messages() if token in c]

    def wait_token(self, token, timeout=15, count=1):
        return wait_for(lambda: len(self.with_token(token)) >= count and self.with_token(token), timeout)

    def _stop_master(self):
        # By this instance's own PID file (the master started above), then
        # by the process group, should it not end.
        if self.proc.alive():
            run(["/usr/sbin/postfix", "-c", self.conf, "stop"], 30, env=self.env)
        self.proc.stop()

    def stop(self):
        self._stop_master()


def postfix_tls_listeners(certs):
    """Ports for a Postfix(tls=certs.localhost, sasl={...}) upstream:
    "starttls" (STARTTLS required), "implicit" (TLS from the first byte):
    both relay for authenticated clients only, so a delivered message proves
    AUTH went through; "wrong-name" and "unknown-ca" offer STARTTLS with a
    certificate a verifying client must refuse, and relay for any loopback
    client, so that a client that did not refuse it delivers (and a test
    of the refusal can fail). Each logs as postfix/<its name>."""
    auth_only = "permit_sasl_authenticated,reject"
    return (
        ("starttls", {"smtpd_tls_security_level": "encrypt", "smtpd_relay_restrictions": auth_only,
                      "syslog_name": "postfix/starttls"}),
        ("implicit", {"smtpd_tls_wrappermode": "yes", "smtpd_tls_security_level": "encrypt",
                      "smtpd_relay_restrictions": auth_only, "syslog_name": "postfix/implicit"}),
        ("wrong-name", {"smtpd_tls_chain_files": "%s,%s" % (certs.wrong_name.key, certs.wrong_name.crt),
                        "syslog_name": "postfix/wrong-name"}),
        ("unknown-ca", {"smtpd_tls_chain_files": "%s,%s" % (certs.unknown_ca.key, certs.unknown_ca.crt),
                        "syslog_name": "postfix/unknown-ca"}),
    )


def postfix_stored(content):
    """content (CRLF lines, as the server receives it after the data's
    dot-stuffing is undone) as virtual(8) stores it: LF line ends."""
    return content.replace(b"\r\n", b"\n")


def assert_stored(postfix, tag, expected, rcpts=("receiver@example.test",), timeout=15):
    """One file per recipient holding tag, each: the headers Postfix adds
    (Return-Path, X-Original-To, Delivered-To, Received), then exactly
    expected (CRLF lines, see postfix_stored)."""
    found = postfix.wait_token(tag, timeout, len(rcpts))
    check(found, "message %s never reached Postfix's mailbox" % tag.decode())
    check(len(found) == len(rcpts), "message %s is in Postfix's mailbox %d times, expected %d" % (
        tag.decode(), len(found), len(rcpts)))
    want = postfix_stored(expected)
    delivered_to = []
    for content in found:
        check(content.endswith(want), "message %s altered: %s" % (
            tag.decode(), describe_diff(want, content[-len(want):] if len(content) >= len(want) else content)))
        added = content[:len(content) - len(want)]
        check(re.fullmatch(rb"((Return-Path|X-Original-To|Delivered-To|Received): [^\n]*\n([ \t][^\n]*\n)*)*", added),
              "message %s: Postfix's file has more than its own trace headers before it: %r" % (
                  tag.decode(), added[:400]))
        m = re.search(rb"^Delivered-To: (\S+)$", added, re.M)
        delivered_to.append(m.group(1).decode() if m else None)
    check(sorted(delivered_to) == sorted(rcpts), "message %s delivered to %r, expected %r" % (
        tag.decode(), delivered_to, list(rcpts)))


class Clamd:
    """A real clamd with a private configuration and a database written here."""

    def __init__(self, workdir, tcp, name="clamd", port=None):
        """name: its directory under workdir (a restart reuses it); port: the
        TCP port, when it must be the one an earlier instance had."""
        self.dir = os.path.join(workdir, name)
        db = os.path.join(self.dir, "db")
        os.makedirs(db, exist_ok=True)
        with open(os.path.join(db, "divivez-e2e.ndb"), "w") as f:
            f.write("Divivez.Test.EICAR:0:*:%s\n" % EICAR.hex())
            f.write("%s:0:*:%s\n" % (CUSTOM_NAME, CUSTOM.hex()))
        self.socket_path = os.path.join(self.dir, "clamd.sock")
        self.port = (port or free_port()) if tcp else None
        conf = os.path.join(self.dir, "clamd.conf")
        with open(conf, "w") as f:
            f.write("Foreground yes\n")
            f.write("LocalSocket %s\n" % self.socket_path)
            if tcp:
                f.write("TCPSocket %d\nTCPAddr 127.0.0.1\n" % self.port)
            f.write("DatabaseDirectory %s\n" % db)
            f.write("LogFile %s\n" % os.path.join(self.dir, "clamd.log"))
            f.write("PidFile %s\n" % os.path.join(self.dir, "clamd.pid"))
            f.write("TemporaryDirectory %s\n" % self.dir)
            f.write("SelfCheck 0\n")
            if os.getuid() == 0:
                f.write("User root\n")
        self.proc = Proc("clamd", ["/usr/sbin/clamd", "-c", conf], os.path.join(workdir, name + ".out"))
        if not wait_for(lambda: self.ping() or not self.proc.alive(), 60, 0.1) or not self.proc.alive():
            raise Failure("clamd did not start; log:\n%s\n%s" % (
                self.proc.log_tail(), self.log_text()[-2000:]))

    def ping(self):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(2)
                s.connect(self.socket_path)
                s.sendall(b"zPING\0")
                return s.recv(16).startswith(b"PONG")
        except OSError:
            return False

    def log_text(self):
        try:
            with open(os.path.join(self.dir, "clamd.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        self.proc.stop()


class SlowClamd:
    def __init__(self, workdir, name, delay, unix, reply=None):
        self.log = os.path.join(workdir, name + "-scans.log")
        argv = [PYTHON, os.path.join(HERE, "slow_clamd.py"), "--delay", str(delay), "--log", self.log]
        if reply:
            argv += ["--reply", reply]
        if unix:
            argv += ["--unix", os.path.join(workdir, name + ".sock")]
        self.proc = Proc(name, argv, os.path.join(workdir, name + ".out"), stdout=subprocess.PIPE)
        if unix:
            self.path = read_announce(self.proc, "UNIX", 20)
        else:
            self.port = int(read_announce(self.proc, "PORT", 20))

    def scans(self):
        try:
            with open(self.log) as f:
                return [line.split() for line in f if line.strip()]
        except OSError:
            return []

    def stop(self):
        self.proc.stop()


class HAProxy:
    """HAProxy in TCP mode with a private configuration: one frontend on a
    loopback port, spreading connections round-robin over backends
    [(name, smtp_port, health_port)]. Each connection opens with a PROXY
    protocol version 2 header; each backend is checked by GET /healthz on
    its health port every second. A second frontend answers GET /ready
    itself, so that waiting for HAProxy sends no client to a backend."""

    def __init__(self, workdir, name, backends):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.conf = os.path.join(self.dir, "haproxy.cfg")
        for attempt in range(5):
            self.port = free_port()
            self.monitor_port = free_port()
            lines = [
                "global",
                "  maxconn 4000",
                "  log stdout format raw local0",
                "defaults",
                "  mode tcp",
                "  log global",
                "  option tcplog",
                "  timeout connect 5s",
                "  timeout client 60s",
                "  timeout server 60s",
                "frontend ready",
                "  mode http",
                "  bind 127.0.0.1:%d" % self.monitor_port,
                "  monitor-uri /ready",
                "  timeout client 5s",
                "frontend smtp",
                "  bind 127.0.0.1:%d" % self.port,
                "  default_backend filters",
                "backend filters",
                "  balance roundrobin",
                "  option httpchk GET /healthz",
                "  http-check expect status 200",
                "  default-server inter 1s fall 2 rise 1",
            ]
            for backend, smtp_port, health_port in backends:
                lines.append("  server %s 127.0.0.1:%d send-proxy-v2 check port %d" % (
                    backend, smtp_port, health_port))
            with open(self.conf, "w") as f:
                f.write("\n".join(lines) + "\n")
            self.proc = Proc(name, ["/usr/sbin/haproxy", "-db", "-f", self.conf],
                             os.path.join(self.dir, "haproxy-%d.log" % attempt))
            if wait_for(lambda: self._listening() or not self.proc.alive(), 10) and self.proc.alive():
                return
            self.proc.stop()
        raise Failure("HAProxy did not start; log:\n" + self.proc.log_tail())

    def _listening(self):
        try:
            url = "http://127.0.0.1:%d/ready" % self.monitor_port
            with urllib.request.urlopen(url, timeout=2) as response:
                return response.status == 200
        except OSError:
            return False

    def log_text(self):
        return self.proc.log_text()

    def stop(self):
        self.proc.stop()


class Prometheus:
    """A Prometheus server with a private configuration and storage,
    scraping targets ["host:port"] every second; query() reads through its
    HTTP API."""

    def __init__(self, workdir, name, targets):
        self.dir = os.path.join(workdir, name)
        os.makedirs(os.path.join(self.dir, "data"), exist_ok=True)
        conf = os.path.join(self.dir, "prometheus.yml")
        with open(conf, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: divivez\n    static_configs:\n"
                    "      - targets: [%s]\n" % ", ".join("'%s'" % t for t in targets))
        for attempt in range(5):
            self.port = free_port()
            self.proc = Proc(name, ["/usr/bin/prometheus", "--config.file=" + conf,
                                    "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
                                    "--web.listen-address=127.0.0.1:%d" % self.port],
                             os.path.join(self.dir, "prometheus-%d.log" % attempt))
            if wait_for(lambda: self._ready() or not self.proc.alive(), 60, 0.2) and self.proc.alive():
                return
            self.proc.stop()
        raise Failure("Prometheus did not start; log:\n" + self.proc.log_tail())

    def _get(self, path):
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        with urllib.request.urlopen(url, timeout=5) as response:
            return response.read()

    def _ready(self):
        try:
            return self._get("/-/ready") is not None
        except OSError:
            return False

    def query(self, expression):
        """The instant vector of expression: [(labels, float value)]."""
        answer = json.loads(self._get("/api/v1/query?query=" + urllib.parse.quote(expression)))
        if answer.get("status") != "success":
            raise Failure("Prometheus query %r failed: %r" % (expression, answer))
        return [(r["metric"], float(r["value"][1])) for r in answer["data"]["result"]]

    def targets_up(self):
        """{instance: health} of the scrape targets."""
        answer = json.loads(self._get("/api/v1/targets"))
        return {t["labels"]["instance"]: t["health"] for t in answer["data"]["activeTargets"]}

    def stop(self):
        self.proc.stop()


# --------------------------------------------------------------------------
# The builds and the proxy


class Build:
    def __init__(self, name, build_dir):
        self.name = name
        self.wine = name == "win32"
        if self.wine:
            self.exe = os.path.join(build_dir, "host", "divivez-proxy.exe")
            self.plugin = os.path.join(build_dir, "divivez.dll")
        else:
            self.exe = os.path.join(build_dir, "host", "divivez-proxy")
            self.plugin = os.path.join(build_dir, "libdivivez.so")
        # Wine starts programs slowly and runs them somewhat slower.
        self.slow = 1.5 if self.wine else 1.0
        # Under Wine the temporary directory comes from the prefix's registry
        # (HKCU\Environment TEMP) for a program started from Linux (a proxy
        # with a temp_dir of its own is started through cmd.exe); natively
        # each proxy gets TMPDIR in its own work directory.
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine-divivez"))
        self.wine_temp = os.path.join(prefix, "drive_c", "users", getpass.getuser(), "Temp")

    def argv(self, args):
        if self.wine:
            return ["bash", os.path.join(ROOT, "cmake", "wine-run.sh"), self.exe] + args
        return [self.exe] + args

    def path(self, path):
        """A path as the proxy of this build takes it."""
        if self.wine:
            return "Z:" + path.replace("/", "\\")
        return path

    def env(self, tmpdir=None):
        env = dict(os.environ)
        if tmpdir:
            env["TMPDIR"] = tmpdir
        if self.wine:
            env.setdefault("WINEDEBUG", "-all")
            env.setdefault("WINEPREFIX", os.path.expanduser("~/.wine-divivez"))
            env["WINEARCH"] = "win32"
        return env

    def problems(self):
        missing = [p for p in (self.exe, self.plugin) if not os.path.exists(p)]
        return ["missing " + p for p in missing]


def wine_program_pid(group, windows_path):
    """The Unix process of the Windows program that Wine started from
    windows_path in process group group (a program that cmd.exe started is
    not our child)."""
    needle = windows_path.encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        # The fields after the command's closing parenthesis: state, ppid, pgrp.
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 2 and int(fields[2]) == group and cmdline.startswith(needle):
            return int(entry)
    return None


class Proxy:
    def __init__(self, ctx, name, upstream=None, mode=None, scanner=None, signatures=None,
                 keepalive=None, on_scan_error=None, extra=(), temp_dir=None,
                 listen="127.0.0.1:0", netns=None):
        """temp_dir: the proxy's temporary directory, where the plug-in puts
        its spool files, in place of the context's (it need not exist).
        upstream: a loopback port, or an option's text ("original-
        destination"). netns: run it inside that network namespace.
        listen: None names no --listen (the settings file's routes listen).
        self.listeners: [(route, kind, port)] from the port file when there
        are several listeners (route "-" for the default route, kind
        "listen" or "listen-tls"); self.port is the first one's."""
        build = ctx.build
        self.build = build
        self.dir = os.path.join(ctx.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.port_file = os.path.join(self.dir, "port")
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)  # a stale one would name a dead proxy
        self.outbox = os.path.join(self.dir, "outbox")
        self.listen_host = listen[:listen.rindex(":")] if listen else "127.0.0.1"
        self.listeners = []
        args = (["--listen", listen] if listen else []) + [
                "--port-file", build.path(self.port_file),
                "--plugin", build.path(build.plugin),
                "--socket-service", mode or ctx.mode,
                "--shutdown-grace", "1"]
        if isinstance(upstream, str):
            args += ["--upstream", upstream]
        elif upstream is not None:
            args += ["--upstream", "127.0.0.1:%d" % upstream]
        else:
            args += ["--outbox", build.path(self.outbox)]
        if scanner:
            args += ["--scanner", scanner]
        if signatures:
            args += ["--signatures", build.path(signatures)]
        if keepalive is not None:
            args += ["--keepalive", str(keepalive)]
        if on_scan_error:
            args += ["--on-scan-error", on_scan_error]
        level = os.environ.get("E2E_DEBUG_LEVEL")
        if level:
            args += ["--debug-level", level]
        args += list(extra)
        self.args = args
        self.reported = False
        # Under Wine SIGINT becomes the console's Ctrl-C, which the proxy
        # handles like SIGTERM natively; Wine's SIGTERM kills without a word.
        argv = build.argv(args)
        if netns is not None:
            argv = ["ip", "netns", "exec", netns] + argv
        wrapped = build.wine and temp_dir is not None
        if wrapped:
            # Wine gives a program started from Linux the prefix's TMP and
            # TEMP whatever its environment says; a program that cmd.exe
            # starts inherits cmd's. So cmd sets them and starts the proxy,
            # and the proxy itself is signalled to stop. NOT: Wine starts it
            # detached from cmd, so it would outlive a driver killed outright
            # (stop_all and the driver's signal handler do stop it).
            words = [build.path(build.exe)] + args
            for word in words + [temp_dir]:
                check(not re.search(r'[\s&|<>^%"()]', word),
                      "test error: %r cannot go through cmd.exe unquoted" % word)
            argv = ["bash", os.path.join(ROOT, "cmake", "wine-run.sh"), "cmd", "/c",
                    "set TMP=%s&& set TEMP=%s&& %s" % (build.path(temp_dir), build.path(temp_dir),
                                                       " ".join(words))]
        self.proc = Proc("proxy", argv, os.path.join(self.dir, "proxy.log"),
                         cwd=self.dir, env=build.env(ctx.tmpdir if wrapped else temp_dir or ctx.tmpdir),
                         group_kill=not build.wine,
                         stop_signal=signal.SIGINT if build.wine else signal.SIGTERM)
        ctx.proxies.append(self)
        self.port = wait_for(self._read_port, 60 if build.wine else 15, 0.05)
        if self.port is True:
            self.port = None  # the proxy ended before it reported a port
        if wrapped and self.port and self.proc.alive():
            self.proc.signal_pid = wait_for(
                lambda: wine_program_pid(self.proc.popen.pid, build.path(build.exe)), 5)
            if not self.proc.signal_pid:
                raise Failure("the proxy that cmd.exe started cannot be found among the processes")
        if not self.port:
            alive = self.proc.alive()
            raise Failure("proxy did not report its port (%s); args %s; log:\n%s" % (
                "still running" if alive else "exited %s" % self.proc.popen.returncode,
                " ".join(args), self.proc.log_tail()))

    def _read_port(self):
        if not self.proc.alive():
            return True  # stop waiting; the caller sees no port
        try:
            with open(self.port_file) as f:
                lines = f.read().splitlines()
            port = int(lines[0])
            listeners = [(words[0], words[1], int(words[2]))
                         for words in (line.split() for line in lines[1:])]
        except (OSError, ValueError, IndexError):
            return None
        # The log line must say the same.
        if ("listening on %s:%d" % (self.listen_host, port)) not in self.proc.log_text():
            return None
        self.listeners = listeners
        return port

    def listener_port(self, route, kind="listen"):
        """The port of route's first listener of that kind ("-": the default route)."""
        for name, found, port in self.listeners:
            if name == route and found == kind:
                return port
        raise Failure("the proxy has no %s listener for route %s: %r" % (kind, route, self.listeners))

    def log_text(self):
        return self.proc.log_text()

    def stop(self):
        self.proc.stop(grace=8.0 if self.build.wine else 5.0)


# --------------------------------------------------------------------------
# Network namespaces: a LAN client, a gateway that intercepts its SMTP, and
# the servers it was sending to.

_CLONE_NEWNET = 0x40000000
_netns_serial = itertools.count(1)


def in_netns(name, fn):
    """fn() on a thread that has entered network namespace name: the
    sockets it makes (and connects) stay in that namespace."""
    result = {}

    def body():
        try:
            fd = os.open("/var/run/netns/" + name, os.O_RDONLY)
            try:
                if _libc.setns(fd, _CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns into " + name)
            finally:
                os.close(fd)
            result["value"] = fn()
        except BaseException as e:  # handed to the caller's thread
            result["error"] = e

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


class NetnsSMTP(smtplib.SMTP):
    """smtplib, connecting from inside a network namespace."""

    def __init__(self, netns, host, port, **kwargs):
        self.netns = netns
        super().__init__(host, port, **kwargs)

    def _get_socket(self, host, port, timeout):
        return in_netns(self.netns, lambda: socket.create_connection((host, port), timeout))


class Netns:
    """Three network namespaces made for one scenario and removed on leaving
    it, failure or not: a client (192.0.2.10, 2001:db8:1::10); a gateway
    routing between it and the servers (192.0.2.1 and 198.51.100.1,
    2001:db8:1::1 and 2001:db8:2::1), where an nftables rule redirects what
    the client sends to port 25 to the proxy's PROXY_PORT; and a server
    with SERVERS. Use as a context manager. Raises Skipped where
    namespaces cannot be made (not root)."""

    PROXY_PORT = 10025
    CLIENT = "192.0.2.10"
    GATEWAY = ("192.0.2.1", "198.51.100.1", "2001:db8:1::1", "2001:db8:2::1")
    SERVERS = ("198.51.100.25", "198.51.100.26", "2001:db8:2::25", "2001:db8:2::26")

    def __init__(self, ctx, extra_rules=()):
        if os.geteuid() != 0:
            raise Skipped("network namespaces need root")
        self.ctx = ctx
        serial = "%d-%d" % (os.getpid(), next(_netns_serial))
        self.client, self.gateway, self.server = ("dvz%s-%s" % (serial, part) for part in "cgs")
        self.started = []
        self.made = []
        self.extra_rules = extra_rules

    def _ip(self, *args):
        code, out = run(["ip"] + list(args), 20)
        check(code == 0, "ip %s: %s" % (" ".join(args), out))

    def __enter__(self):
        try:
            self._build()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _build(self):
        c, g, s = self.client, self.gateway, self.server
        for name in (c, g, s):
            self._ip("netns", "add", name)
            self.made.append(name)
            self._ip("-n", name, "link", "set", "lo", "up")
        self._ip("-n", c, "link", "add", "c0", "type", "veth", "peer", "name", "g0", "netns", g)
        self._ip("-n", g, "link", "add", "g1", "type", "veth", "peer", "name", "s0", "netns", s)
        # nodad: the IPv6 addresses serve at once.
        for ns, dev, addresses in ((c, "c0", ("192.0.2.10/24", "2001:db8:1::10/64")),
                                   (g, "g0", ("192.0.2.1/24", "2001:db8:1::1/64")),
                                   (g, "g1", ("198.51.100.1/24", "2001:db8:2::1/64")),
                                   (s, "s0", ("198.51.100.25/24", "198.51.100.26/24",
                                              "2001:db8:2::25/64", "2001:db8:2::26/64"))):
            for address in addresses:
                self._ip("-n", ns, "addr", "add", address, "dev", dev, *(("nodad",) if ":" in address else ()))
            self._ip("-n", ns, "link", "set", dev, "up")
        for ns, via4, via6 in ((c, "192.0.2.1", "2001:db8:1::1"), (s, "198.51.100.1", "2001:db8:2::1")):
            self._ip("-n", ns, "route", "add", "default", "via", via4)
            self._ip("-n", ns, "-6", "route", "add", "default", "via", via6)
        code, out = run(["ip", "netns", "exec", g, "sysctl", "-qw", "net.ipv4.ip_forward=1",
                         "net.ipv6.conf.all.forwarding=1"], 20)
        check(code == 0, "sysctl in the gateway: " + out)
        rules = ['iifname "g0" tcp dport 25 redirect to :%d' % self.PROXY_PORT] + list(self.extra_rules)
        ruleset = ("table inet divivez_e2e {\n  chain prerouting {\n"
                   "    type nat hook prerouting priority dstnat;\n%s\n  }\n}\n" % "\n".join(
                       "    " + rule for rule in rules))
        code, out = run(["ip", "netns", "exec", g, "nft", "-f", "-"], 20, ruleset.encode())
        check(code == 0, "nft in the gateway: %s\n%s" % (out, ruleset))

    def __exit__(self, *exc):
        for item in reversed(self.started):
            item.stop()
        for name in self.made:
            run(["ip", "netns", "del", name], 20)
        self.made = []
        return False

    def servers(self, addresses):
        """{address: MailServer} listening on port 25 of each address."""
        found = {}
        for address in addresses:
            found[address] = MailServer(self.ctx.workdir, "%s-server-%s" % (self.server, address.replace(":", "_")),
                                        netns=self.server, address=address)
            self.started.append(found[address])
        return found

    def proxy(self, listen_host, extra=()):
        """The proxy in the gateway, on listen_host and PROXY_PORT, sending
        each connection to its original destination."""
        proxy = Proxy(self.ctx, "%s-proxy" % self.gateway, upstream="original-destination",
                      listen="%s:%d" % (listen_host, self.PROXY_PORT), netns=self.gateway, extra=extra)
        self.started.append(proxy)
        return proxy

    def client_address(self, destination):
        """How the proxy logs the client that sent to destination."""
        return "[2001:db8:1::10]" if ":" in destination else self.CLIENT

    def connect(self, address, port=25, timeout=20):
        """A socket from the client connected to address and port."""
        return in_netns(self.client, lambda: socket.create_connection((address, port), timeout))

    def smtp(self, address, port=25, timeout=20):
        """smtplib from the client to address and port, after EHLO."""
        client = NetnsSMTP(self.client, address, port, local_hostname="client.e2e.test", timeout=timeout)
        client.ehlo()
        return client

    def get(self, url):
        """An HTTP GET from inside the gateway (the proxy's metrics)."""
        return in_netns(self.gateway, lambda: urllib.request.urlopen(url, timeout=10).read().decode())


# --------------------------------------------------------------------------
# Messages


def message(tag, body=None, subject=None, extra_headers=()):
    """A message text without its final line end (every client adds CR LF)."""
    headers = [
        b"From: Sender <sender@example.test>",
        b"To: Receiver <receiver@example.test>",
        b"Subject: " + (subject or b"e2e " + tag),
        b"Message-ID: <" + tag + b"@divivez.e2e>",
        b"Date: Thu, 01 Jan 2026 00:00:00 +0000",
        b"X-E2E-Run: " + RUN_ID,
    ] + list(extra_headers)
    if body is None:
        body = [
            b"Hello, this is " + tag + b".",
            b".a line that begins with a dot (stuffed on the wire)",
            b"..and one with two",
            b".",
            b"(the line above was a lone dot: stuffed, it must not end the message)",
            b"",
            b"a line with trailing spaces   ",
            b"end of " + tag,
        ]
    return b"\r\n".join(headers) + b"\r\n\r\n" + b"\r\n".join(body)


def sent_content(text):
    """What a client's DATA conveys for text: the text and its final CR LF."""
    return text if text.endswith(b"\r\n") else text + b"\r\n"


def with_insert(content, insert=None):
    """content as the server must receive it: the insert text before the
    empty line that ends the headers; a message without one is all headers
    and gets the text at its end."""
    insert = INSERT if insert is None else insert
    if content.startswith(b"\r\n"):
        at = 0
    else:
        end = content.find(b"\r\n\r\n")
        at = end + 2 if end >= 0 else len(content)
    return content[:at] + insert + content[at:]


def mime_base64(tag, payload):
    encoded = base64.encodebytes(payload).replace(b"\n", b"\r\n").rstrip(b"\r\n")
    body = [
        b"This is a multi-part message in MIME format.",
        b"",
        b"--E2EBOUNDARY",
        b"Content-Type: text/plain; charset=us-ascii",
        b"",
        b"See the attachment.",
        b"",
        b"--E2EBOUNDARY",
        b"Content-Type: application/octet-stream; name=\"data.bin\"",
        b"Content-Transfer-Encoding: base64",
        b"Content-Disposition: attachment; filename=\"data.bin\"",
        b"",
        encoded,
        b"--E2EBOUNDARY--",
    ]
    return message(tag, body, extra_headers=[
        b"MIME-Version: 1.0",
        b"Content-Type: multipart/mixed; boundary=\"E2EBOUNDARY\""])


def tag_for(ctx, name):
    return ("%s-%s-%s-%06d" % (ctx.build.name, ctx.mode, name, random.randrange(10 ** 6))).encode()


def describe_diff(expected, got):
    if got == expected:
        return "identical"
    n = 0
    while n < min(len(expected), len(got)) and expected[n] == got[n]:
        n += 1
    return "%d bytes expected, %d received, first difference at byte %d: expected %r, got %r" % (
        len(expected), len(got), n, expected[max(0, n - 20):n + 40], got[max(0, n - 20):n + 40])


def assert_delivered(server, tag, expected, rcpts=None, sender=None, timeout=10):
    found = server.wait_token(tag, timeout)
    check(found, "message %s never reached the server" % tag.decode())
    check(len(found) == 1, "message %s reached the server %d times" % (tag.decode(), len(found)))
    meta, content = found[0]
    check(content == expected, "message %s altered: %s" % (tag.decode(), describe_diff(expected, content)))
    if rcpts is not None:
        check(meta["rcpt_tos"] == rcpts, "recipients %r, expected %r" % (meta["rcpt_tos"], rcpts))
    if sender is not None:
        check(meta["mail_from"] == sender, "sender %r, expected %r" % (meta["mail_from"], sender))
    return meta


def assert_not_delivered(server, tag):
    found = server.with_token(tag)
    check(not found, "message %s reached the server although it must not (%d copies)" % (
        tag.decode(), len(found)))


# --------------------------------------------------------------------------
# Clients


def run(argv, timeout, input_bytes=None, env=None):
    try:
        done = subprocess.run(argv, input=input_bytes, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode("utf-8", "replace")
        raise Failure("%s timed out after %d s; output:\n%s" % (argv[0], timeout, out[-3000:]))
    return done.returncode, done.stdout.decode("utf-8", "replace")


def swaks(ctx, port, data_file, sender="sender@example.test", rcpts=("receiver@example.test",),
          pipeline=False, tls=None, ca=None, auth=None, extra=()):
    """swaks to 127.0.0.1:port: (exit code, transcript). tls: "starttls"
    (--tls: STARTTLS or give up) or "implicit" (--tlsc); ca: a CA file the
    server's chain must verify against (swaks checks no name); auth: (user,
    password) for AUTH PLAIN."""
    argv = ["swaks", "--server", "127.0.0.1", "--port", str(port), "--from", sender,
            "--helo", "client.e2e.test", "--data", "@" + data_file, "--timeout", "60"]
    for rcpt in rcpts:
        argv += ["--to", rcpt]
    if pipeline:
        argv.append("--pipeline")
    if tls is not None:
        argv.append({"starttls": "--tls", "implicit": "--tlsc"}[tls])
    if ca is not None:
        argv += ["--tls-verify", "--tls-ca-path", ca]
    if auth is not None:
        argv += ["--auth", "PLAIN", "--auth-user", auth[0], "--auth-password", auth[1]]
    return run(argv + list(extra), 90 * ctx.build.slow)


def write_file(ctx, name, data):
    path = os.path.join(ctx.workdir, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def client_tls_context(ca=None):
    """A client's TLS context: verifying the chain against the CA file ca
    and the server's name, or, without ca, verifying nothing."""
    if ca is not None:
        return ssl.create_default_context(cafile=ca)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class RawClient:
    """An SMTP client on a plain socket, for dialogues no library writes.
    tls: a client_tls_context() to speak TLS from the first byte (the
    certificate must be for server_name); sock: a connected socket to use
    instead (Netns.connect)."""

    def __init__(self, port, timeout=30, tls=None, server_name="localhost", sock=None):
        self.sock = sock or socket.create_connection(("127.0.0.1", port), timeout)
        self.sock.settimeout(timeout)
        if tls is not None:
            self.sock = tls.wrap_socket(self.sock, server_hostname=server_name)
        self.buffer = b""

    def starttls(self, tls, server_name="localhost"):
        """The handshake on this connection (after the server's 220 to
        STARTTLS); returns what had arrived in plaintext beyond that reply,
        which a sound client discards. Raises ssl.SSLError or OSError when
        the handshake fails."""
        leftover, self.buffer = self.buffer, b""
        self.sock = tls.wrap_socket(self.sock, server_hostname=server_name)
        return leftover

    def pending(self, wait):
        """Whatever arrives within wait seconds without a command: bytes
        already read and not yet taken as a reply, then new ones until the
        server closes or stays silent."""
        deadline = time.monotonic() + wait
        got, self.buffer = self.buffer, b""
        previous = self.sock.gettimeout()
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.sock.settimeout(left)
                try:
                    chunk = self.sock.recv(65536)
                except (socket.timeout, ssl.SSLWantReadError):
                    break
                if not chunk:
                    break
                got += chunk
        finally:
            self.sock.settimeout(previous)
        return got

    def send(self, data):
        self.sock.sendall(data)

    def reply(self):
        """(code, [lines]) of one reply; code None when the server closed."""
        lines = []
        while True:
            while b"\r\n" not in self.buffer:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return None, lines + ([self.buffer.decode("latin-1")] if self.buffer else [])
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\r\n", 1)
            text = line.decode("latin-1")
            lines.append(text)
            if len(text) < 4 or text[3] != "-":
                return (int(text[:3]) if text[:3].isdigit() else -1), lines

    def command(self, line):
        self.send(line.encode() + b"\r\n")
        return self.reply()

    def close(self):
        self.sock.close()


def smtp(ctx, port, timeout=20):
    """An smtplib session that has been greeted and has said EHLO."""
    client = smtplib.SMTP("127.0.0.1", port, local_hostname="client.e2e.test",
                          timeout=timeout * ctx.build.slow)
    code, reply = client.ehlo()
    if code != 250:
        client.close()
        raise Failure("EHLO answered %d %r" % (code, reply))
    return client


def expect_vrfy_in_step(client):
    """A late or leaked reply (a keep-alive's, a RSET's) would answer this
    command in place of the server's own 252."""
    code, text = client.verify("someone@example.test")
    check(code == 252, "replies out of step: VRFY answered %d %r (expected the server's 252)" % (code, text))


def smtp_starttls(ctx, port, ca=None, server_name="localhost", timeout=20):
    """An smtplib session on 127.0.0.1:port that has said EHLO, STARTTLS
    (verifying the server as server_name against the CA file ca, or not at
    all without ca) and EHLO again. smtplib raises SMTPNotSupportedError
    when STARTTLS is not offered and ssl.SSLError when the handshake or the
    verification fails."""
    client = smtp(ctx, port, timeout)
    try:
        # starttls() verifies the name the session connected to, which is
        # the address here; the certificate's name is what must match.
        client._host = server_name
        code, reply = client.starttls(context=client_tls_context(ca))
        check(code == 220, "STARTTLS answered %d %r" % (code, reply))
        code, reply = client.ehlo()
        check(code == 250, "EHLO inside TLS answered %d %r" % (code, reply))
    except BaseException:
        client.close()
        raise
    return client


class _NamedSMTP_SSL(smtplib.SMTP_SSL):
    """SMTP_SSL to an address, verifying the certificate for another name."""

    def __init__(self, server_name, *args, **kwargs):
        self._server_name = server_name
        super().__init__(*args, **kwargs)

    def _get_socket(self, host, port, timeout):
        sock = socket.create_connection((host, port), timeout, self.source_address)
        return self.context.wrap_socket(sock, server_hostname=self._server_name)


def smtp_ssl(ctx, port, ca=None, server_name="localhost", timeout=20):
    """An smtplib session speaking TLS from the first byte (SMTP_SSL) to
    127.0.0.1:port that has said EHLO; verification as smtp_starttls."""
    client = _NamedSMTP_SSL(server_name, "127.0.0.1", port, local_hostname="client.e2e.test",
                            timeout=timeout * ctx.build.slow, context=client_tls_context(ca))
    code, reply = client.ehlo()
    if code != 250:
        client.close()
        raise Failure("EHLO answered %d %r" % (code, reply))
    return client


def auth_plain(user, password):
    """The argument of AUTH PLAIN for user and password."""
    return base64.b64encode(b"\0" + user.encode() + b"\0" + password.encode()).decode()


def secret_forms(user, password):
    """{name: bytes} of the ways a password crosses SMTP: itself, AUTH
    LOGIN's base64 of it, AUTH PLAIN's base64 of user and it."""
    return {"the password": password.encode(),
            "its base64 (AUTH LOGIN)": base64.b64encode(password.encode()),
            "AUTH PLAIN's base64": auth_plain(user, password).encode()}


def files_holding(roots, needles):
    """[(path, name)] of every file below the directories or files roots
    that holds one of needles ({name: bytes}): for the proof that logs and
    traces never hold a credential."""
    paths = []
    for root in roots:
        if os.path.isfile(root):
            paths.append(root)
        for directory, _, names in os.walk(root):
            paths.extend(os.path.join(directory, name) for name in names)
    found = []
    for path in paths:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            continue
        found.extend((path, name) for name, needle in needles.items() if needle in data)
    return found


class SClient:
    """What s_client() saw: code (its exit status, None when it was still
    running at the end and was stopped), received (every byte the server
    sent inside TLS, as text), log (its standard error: the one-line
    summaries of -brief, "Verification: OK" or the verification error), and
    replies ([(code, [lines])] in order)."""

    def __init__(self, code, received, log):
        self.code = code
        self.received = received
        self.log = log
        self.replies = []
        lines = []
        for line in received.split("\r\n"):
            if re.match(r"\d{3}([ -]|$)", line):
                lines.append(line)
                if line[3:4] != "-":
                    self.replies.append((int(line[:3]), lines))
                    lines = []

    def __repr__(self):
        return "s_client exit %s; received %r; stderr %r" % (self.code, self.received[-1500:],
                                                             self.log[-1500:])


def s_client(ctx, port, dialogue, starttls=True, ca=None, server_name="localhost", timeout=30):
    """openssl s_client to 127.0.0.1:port, STARTTLS (-starttls smtp: its own
    EHLO and STARTTLS in plaintext) or TLS from the first byte, verifying
    the chain against the CA file ca and the name server_name (and giving
    up on a failure) or, without ca, verifying nothing. Then dialogue, in
    step: each entry is sent with CR LF after it once the reply to the one
    before has arrived (the greeting first, for implicit TLS), so a server
    that refuses pipelining is not provoked; a message and its final "."
    make one entry. Ends when the server closes or after the last reply.
    Returns an SClient."""
    # -nocommands: a line starting with R or Q (RCPT, QUIT) is sent, not
    # taken for renegotiate or quit.
    argv = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-brief", "-nocommands",
            "-servername", server_name]
    if starttls:
        argv += ["-starttls", "smtp", "-name", "client.e2e.test"]
    if ca is not None:
        argv += ["-CAfile", ca, "-verify_hostname", server_name, "-verify_return_error"]
    timeout *= ctx.build.slow
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True, preexec_fn=_die_with_driver)
    received = []
    errors = []
    cond = threading.Condition()

    def pump(stream, into):
        while True:
            chunk = os.read(stream.fileno(), 65536)
            with cond:
                if chunk:
                    into.append(chunk)
                else:
                    into.append(None)
                cond.notify_all()
            if not chunk:
                return

    readers = [threading.Thread(target=pump, args=(proc.stdout, received), daemon=True),
               threading.Thread(target=pump, args=(proc.stderr, errors), daemon=True)]
    for t in readers:
        t.start()

    def replies_so_far():
        text = b"".join(c for c in received if c).decode("latin-1")
        return len(SClient(None, text, "").replies), None in received

    deadline = time.monotonic() + timeout
    try:
        expected = 0 if starttls else 1
        for entry in list(dialogue) + [None]:
            with cond:
                while True:
                    count, closed = replies_so_far()
                    if count >= expected or closed or time.monotonic() >= deadline:
                        break
                    cond.wait(max(0.01, deadline - time.monotonic()))
            if closed or count < expected or entry is None:
                break
            proc.stdin.write(entry.encode("latin-1") + b"\r\n")
            proc.stdin.flush()
            expected += 1
        try:
            proc.stdin.close()
        except OSError:
            pass
        try:
            # After QUIT the server closes and s_client ends.
            proc.wait(max(0.5, min(5, deadline - time.monotonic())))
        except subprocess.TimeoutExpired:
            pass
    except BrokenPipeError:
        pass
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(10)
            code = None
        else:
            code = proc.returncode
        for t in readers:
            t.join(5)
    return SClient(code, b"".join(c for c in received if c).decode("latin-1"),
                   b"".join(c for c in errors if c).decode("latin-1"))


class InjectionProbe:
    """What starttls_injection() saw: starttls (code, lines) of the reply
    to STARTTLS; plain (the plaintext that came after that reply, before the
    handshake: a server's injected replies); handshake (None when the
    handshake succeeded, else the error's text); unprompted (what the
    server said inside TLS before the client sent anything: the reply to an
    injected command, if the server ran it); ehlo (code, lines) of the EHLO
    sent inside TLS after that, or None."""

    def __init__(self):
        self.starttls = None
        self.plain = b""
        self.handshake = None
        self.unprompted = b""
        self.ehlo = None

    def __repr__(self):
        return "STARTTLS %r, plain after it %r, handshake %s, unprompted %r, EHLO inside TLS %r" % (
            self.starttls, self.plain, self.handshake or "ok", self.unprompted, self.ehlo)


def starttls_injection(ctx, port, injected=b"MAIL FROM:<x>\r\n", ca=None, server_name="localhost",
                       settle=1.0, timeout=20):
    """The client-side STARTTLS injection: after the greeting and EHLO,
    "STARTTLS\r\n" and injected in one packet; then the handshake on the
    same socket (verifying as client_tls_context(ca)); then settle seconds
    of listening inside TLS, and an EHLO. A sound server discards injected
    (RFC 3207: commands before the handshake are void), so unprompted stays
    empty. Returns an InjectionProbe; raises Failure only if the session
    does not get as far as STARTTLS."""
    probe = InjectionProbe()
    c = RawClient(port, timeout * ctx.build.slow)
    try:
        c.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        code, lines = c.reply()
        check(code == 220, "no greeting: %r" % lines)
        code, lines = c.command("EHLO client.e2e.test")
        check(code == 250, "EHLO answered %r" % lines)
        c.send(b"STARTTLS\r\n" + injected)
        probe.starttls = c.reply()
        if probe.starttls[0] != 220:
            return probe
        # A TLS server says nothing before the client's hello: whatever
        # comes now is plaintext (injected replies sent in a second write).
        c.buffer = c.pending(0.3)
        try:
            probe.plain = c.starttls(client_tls_context(ca), server_name)
        except (ssl.SSLError, OSError) as e:
            probe.handshake = "%s: %s" % (type(e).__name__, e)
            return probe
        probe.unprompted = c.pending(settle)
        try:
            probe.ehlo = c.command("EHLO client.e2e.test")
        except OSError as e:
            probe.ehlo = (None, ["%s: %s" % (type(e).__name__, e)])
        return probe
    finally:
        c.close()
