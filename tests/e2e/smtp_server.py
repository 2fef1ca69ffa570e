#!/usr/bin/python3
"""Recording SMTP server for the end-to-end suite (aiosmtpd).

Listens on 127.0.0.1 on a port the OS picks (or on --host and --port, inside
a network namespace the suite made) and prints "PORT <n>" on stdout once it
accepts connections. Every message it takes is stored in --dir as
msg-<seq>.eml (the DATA content exactly as received, dot-stuffing undone,
compared as bytes) and msg-<seq>.json (envelope, peer, size, sha256), each
written under a temporary name and renamed, so a reader never sees half a
file. Protocol events (connect, NOOP, RSET, DATA, time-out, disconnect, cut)
are appended to events.jsonl in the same directory.

Options:
  --host ADDR, --port N
                      where to listen (default 127.0.0.1, 0: a port the OS
                      picks)
  --timeout SECS      idle time-out; the connection is closed when no command
                      arrives for this long (aiosmtpd's own timer)
  --cut-sender TEXT   for a transaction whose MAIL FROM contains TEXT, answer
                      DATA with 354, read a little of the message, then drop
                      the connection without a reply (a server that dies in
                      the middle of a delivery)
  --noop-delay SECS   answer each NOOP only after this long (replies stay in
                      order: aiosmtpd handles one command at a time)
  --reject-rcpt TEXT  refuse (550) every recipient that contains TEXT
  --auth USER:PASS    offer AUTH PLAIN and LOGIN without TLS and accept
                      these credentials (authentication stays optional)
  --advertise EXT     extra EHLO keyword to advertise (repeatable); the suite
                      advertises PIPELINING and also STARTTLS, CHUNKING and
                      BINARYMIME, which the proxy must hide from its clients

Stops on SIGTERM or SIGINT.
"""

import argparse
import asyncio
import hashlib
import json
import os
import signal
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.seq = 0
        self.events = open(os.path.join(directory, "events.jsonl"), "a", buffering=1)

    def event(self, kind, peer, **extra):
        record = {"t": round(time.time(), 3), "event": kind, "peer": list(peer) if peer else None}
        record.update(extra)
        with self.lock:
            self.events.write(json.dumps(record) + "\n")

    def store(self, content, envelope, peer):
        with self.lock:
            self.seq += 1
            seq = self.seq
        base = os.path.join(self.directory, "msg-%05d" % seq)
        meta = {
            "seq": seq,
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "peer": list(peer) if peer else None,
            "size": len(content),
            "sha256": hashlib.sha256(content).hexdigest(),
        }
        # The .eml first: a reader that finds the .json finds a whole .eml.
        for suffix, data in ((".eml", content), (".json", json.dumps(meta).encode())):
            tmp = base + suffix + ".tmp"
            with open(tmp, "wb") as f:
                f.write(data)
            os.rename(tmp, base + suffix)
        return seq


class Handler:
    def __init__(self, recorder, advertise, reject_rcpt, noop_delay):
        self.noop_delay = noop_delay
        self.recorder = recorder
        self.advertise = advertise
        self.reject_rcpt = reject_rcpt

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject_rcpt and self.reject_rcpt in address:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        # Insert the extra keywords before the last line ("250 HELP").
        extra = ["250-" + keyword for keyword in self.advertise]
        return responses[:-1] + extra + responses[-1:]

    async def handle_NOOP(self, server, session, envelope, arg):
        self.recorder.event("NOOP", session.peer)
        if self.noop_delay:
            await asyncio.sleep(self.noop_delay)
        return "250 OK"

    async def handle_RSET(self, server, session, envelope):
        self.recorder.event("RSET", session.peer)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        seq = self.recorder.store(envelope.content, envelope, session.peer)
        self.recorder.event("MESSAGE", session.peer, seq=seq)
        # A reply the client can tell from any other 250 of the dialogue.
        return "250 2.0.0 Ok: queued as E2E%05d" % seq


class RecordingSMTP(SMTP):
    cut_sender = None
    recorder = None

    def connection_made(self, transport):
        super().connection_made(transport)
        self.recorder.event("connect", self.session.peer)

    def connection_lost(self, error):
        self.recorder.event("disconnect", self.session.peer)
        super().connection_lost(error)

    def _timeout_cb(self):
        self.recorder.event("timeout", self.session.peer)
        super()._timeout_cb()

    async def smtp_DATA(self, arg):
        self.recorder.event("DATA", self.session.peer)
        sender = self.envelope.mail_from or ""
        if self.cut_sender and self.cut_sender in sender and self.envelope.rcpt_tos:
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            try:
                await asyncio.wait_for(self._reader.read(64), 10)
            except asyncio.TimeoutError:
                pass
            self.recorder.event("cut", self.session.peer)
            self.transport.abort()
            return
        await super().smtp_DATA(arg)


def make_authenticator(recorder, credentials):
    user, _, password = credentials.partition(":")

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        recorder.event("AUTH", session.peer, mechanism=mechanism, success=ok)
        # handled=False: aiosmtpd sends the 535 itself on failure.
        return AuthResult(success=ok, handled=False)

    return authenticator


class RecordingController(Controller):
    def __init__(self, handler, recorder, cut_sender, timeout, auth, host, port):
        extra = {}
        if auth:
            extra = {"auth_require_tls": False, "authenticator": make_authenticator(recorder, auth)}
        super().__init__(handler, hostname=host, port=port, decode_data=False,
                         enable_SMTPUTF8=False, timeout=timeout,
                         data_size_limit=64 * 1024 * 1024, **extra)
        self.recorder = recorder
        self.cut_sender = cut_sender

    def factory(self):
        server = RecordingSMTP(self.handler, **self.SMTP_kwargs)
        server.recorder = self.recorder
        server.cut_sender = self.cut_sender
        return server

    def _trigger_server(self):
        # Port 0: learn the port the OS gave before the start-up probe.
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--cut-sender")
    parser.add_argument("--advertise", action="append", default=[])
    parser.add_argument("--reject-rcpt")
    parser.add_argument("--auth")
    parser.add_argument("--noop-delay", type=float, default=0)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    recorder = Recorder(args.dir)
    controller = RecordingController(Handler(recorder, args.advertise, args.reject_rcpt, args.noop_delay), recorder,
                                     args.cut_sender, args.timeout, args.auth, args.host, args.port)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    controller.start()
    print("PORT %d" % controller.port, flush=True)
    # Bounded: the driver stops us, but never outlive it by more than an hour.
    stop.wait(3600)
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
