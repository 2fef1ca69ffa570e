#!/usr/bin/python3
"""A lenient SMTP server for the end-to-end suite's smuggling scenarios.

It frames lines the way the servers of the SMTP smuggling research do
(loopback only, a port the OS picks, "PORT <n>" on stdout once it accepts
connections):

  --line-ends lf     a line ends at LF; one CR before it is dropped, so CRLF
                     and a bare LF both end a line (a bare CR stays in it)
  --line-ends lf-cr  a line also ends at a bare CR

Commands and message lines are framed alike, and a message ends at the first
line that is a lone ".", whatever ended the lines around it. So "<LF>.<LF>",
"<LF>.<CR><LF>" and "<CR><LF>.<LF>" end a message for both kinds, and
"<CR>.<CR>" for lf-cr; the bytes that follow are read as commands, in the
same session. Every line of a message that begins with "." loses that dot.

Records what it takes in --dir, in the recording server's layout
(smtp_server.py), so the suite reads both alike: msg-<seq>.eml (the message
as the server took it: its lines with the line ends they had, dot-stuffing
undone) and msg-<seq>.json (seq, conn, mail_from, rcpt_tos, peer, size,
sha256), each renamed into place once whole; conn-<n>.in, every byte each
connection sent, appended as it arrives; events.jsonl (connect, command with
the line as latin-1 text, MESSAGE, timeout, disconnect).

STARTTLS, with --tls-cert and --tls-key (PEM files):
  --starttls honest  offers STARTTLS, answers it with 220 and does the
                     handshake
  --starttls inject  offers STARTTLS and answers it with "220 go" and
                     "250 injected" in one send (a server, or a man in the
                     middle, injecting a reply that a client must not take
                     for an answer inside TLS), then does the handshake
Without them STARTTLS is not offered (a plaintext-only server). Either way
the plaintext that came after the STARTTLS line is discarded, as RFC 3207
wants, and recorded (event starttls, "discarded"); after the handshake
(event tls, or tls-failed) the session starts afresh. Each command event
says whether it came inside TLS ("tls").

Replies: 220 greeting; EHLO with PIPELINING and 8BITMIME; 250 to HELO, MAIL,
RCPT, NOOP, RSET; 252 to VRFY; 354 to DATA after an accepted RCPT (503
before); "250 2.0.0 Ok: queued as E2E<seq>" after a message; 221 to QUIT;
502 to anything else. --timeout SECS closes an idle connection with a 421.
--hang-up connect closes each connection at once, --hang-up greeting right
after the greeting (a server that is going down). --greeting TEXT greets
with TEXT instead of the 220 ("250 x": someone on the path who would have a
client skip STARTTLS). --xclient-refuse N
advertises XCLIENT, answers the first N XCLIENT commands 451 (a passing
fault) and the rest with a new 220 greeting.
Stops on SIGTERM or SIGINT.
"""

import argparse
import asyncio
import hashlib
import itertools
import json
import os
import signal
import ssl
import sys
import time

# A CR at the end of what has arrived: how long to wait for the LF that may
# follow it before the lf-cr framing takes it for a line end of its own.
CR_GRACE = 1.0


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.seq = 0
        self.conns = itertools.count(1)
        self.events = open(os.path.join(directory, "events.jsonl"), "a", buffering=1)

    def event(self, kind, conn, peer, **extra):
        record = {"t": round(time.time(), 3), "event": kind, "conn": conn,
                  "peer": list(peer) if peer else None}
        record.update(extra)
        self.events.write(json.dumps(record) + "\n")

    def store(self, content, conn, peer, mail_from, rcpt_tos):
        self.seq += 1
        base = os.path.join(self.directory, "msg-%05d" % self.seq)
        meta = {"seq": self.seq, "conn": conn, "mail_from": mail_from, "rcpt_tos": list(rcpt_tos),
                "peer": list(peer) if peer else None, "size": len(content),
                "sha256": hashlib.sha256(content).hexdigest()}
        # The .eml first: a reader that finds the .json finds a whole .eml.
        for suffix, data in ((".eml", content), (".json", json.dumps(meta).encode())):
            with open(base + suffix + ".tmp", "wb") as f:
                f.write(data)
            os.rename(base + suffix + ".tmp", base + suffix)
        return self.seq


class LineReader:
    """Lines as the lenient framing cuts them: (line, line end)."""

    def __init__(self, reader, transcript, also_cr, timeout):
        self.reader = reader
        self.transcript = transcript
        self.also_cr = also_cr
        self.timeout = timeout
        self.buffer = b""
        self.eof = False

    async def _more(self, timeout):
        chunk = await asyncio.wait_for(self.reader.read(65536), timeout)
        if not chunk:
            self.eof = True
            return False
        self.transcript.write(chunk)
        self.transcript.flush()
        self.buffer += chunk
        return True

    async def line(self):
        """The next line and its end; None at the end of the stream. Raises
        asyncio.TimeoutError when the client stays silent too long."""
        while True:
            lf = self.buffer.find(b"\n")
            cr = self.buffer.find(b"\r") if self.also_cr else -1
            if cr >= 0 and (lf < 0 or cr < lf - 1):
                # A CR that is not right before an LF: a line end of its own,
                # unless it is the last byte so far and an LF may follow.
                if cr + 1 < len(self.buffer) or self.eof:
                    return self._cut(cr, 1)
                try:
                    if not await self._more(CR_GRACE):
                        return self._cut(cr, 1)
                except asyncio.TimeoutError:
                    return self._cut(cr, 1)
                continue
            if lf >= 0:
                if lf > 0 and self.buffer[lf - 1:lf] == b"\r":
                    return self._cut(lf - 1, 2)
                return self._cut(lf, 1)
            if self.eof:
                return None
            if not await self._more(self.timeout):
                if not self.buffer:
                    return None

    def _cut(self, at, end_length):
        line = self.buffer[:at]
        end = self.buffer[at:at + end_length]
        self.buffer = self.buffer[at + end_length:]
        return line, end


class Session:
    def __init__(self, server, reader, writer):
        self.server = server
        self.writer = writer
        self.conn = next(server.recorder.conns)
        self.peer = writer.get_extra_info("peername")
        self.transcript = open(os.path.join(server.recorder.directory, "conn-%05d.in" % self.conn), "ab")
        self.lines = LineReader(reader, self.transcript, server.also_cr, server.timeout)
        self.mail_from = None
        self.rcpt_tos = []
        self.tls = False

    async def reply(self, text):
        self.writer.write(text.encode("latin-1") + b"\r\n")
        await self.writer.drain()

    def event(self, kind, **extra):
        self.server.recorder.event(kind, self.conn, self.peer, **extra)

    async def run(self):
        self.event("connect")
        try:
            if self.server.hang_up == "connect":
                return
            await self.reply(self.server.greeting)
            if self.server.hang_up == "greeting":
                return
            while await self.command():
                pass
        except asyncio.TimeoutError:
            self.event("timeout")
            try:
                await self.reply("421 4.4.2 lenient.e2e.test Error: timeout exceeded")
            except OSError:
                pass
        except OSError:
            pass
        finally:
            self.event("disconnect")
            self.transcript.close()
            self.writer.close()

    async def command(self):
        got = await self.lines.line()
        if got is None:
            return False
        line = got[0].decode("latin-1")
        self.event("command", line=line, tls=self.tls)
        verb, _, arg = line.partition(" ")
        verb = verb.upper()
        offers_tls = self.server.tls_context is not None and not self.tls
        if verb in ("EHLO", "HELO"):
            self.mail_from, self.rcpt_tos = None, []
            if verb == "EHLO":
                xclient = "250-XCLIENT ADDR NAME\r\n" if self.server.xclient_refuse is not None else ""
                await self.reply("250-lenient.e2e.test\r\n" + xclient + "250-PIPELINING\r\n%s250 8BITMIME" % (
                    "250-STARTTLS\r\n" if offers_tls else ""))
            else:
                await self.reply("250 lenient.e2e.test")
        elif verb == "MAIL" and arg.upper().startswith("FROM:"):
            self.mail_from, self.rcpt_tos = address(arg[5:]), []
            self.event("MAIL", address=self.mail_from)
            await self.reply("250 2.1.0 Ok")
        elif verb == "RCPT" and arg.upper().startswith("TO:"):
            if self.mail_from is None:
                await self.reply("503 5.5.1 Error: need MAIL command")
            else:
                self.rcpt_tos.append(address(arg[3:]))
                await self.reply("250 2.1.5 Ok")
        elif verb == "DATA":
            if not self.rcpt_tos:
                await self.reply("503 5.5.1 Error: need RCPT command")
            else:
                await self.reply("354 End data with <CR><LF>.<CR><LF>")
                return await self.data()
        elif verb in ("NOOP", "RSET"):
            if verb == "RSET":
                self.mail_from, self.rcpt_tos = None, []
            await self.reply("250 2.0.0 Ok")
        elif verb == "XCLIENT" and self.server.xclient_refuse is not None:
            self.mail_from, self.rcpt_tos = None, []
            if self.server.xclient_refuse > 0:
                self.server.xclient_refuse -= 1
                await self.reply("451 4.3.0 lenient.e2e.test Temporary lookup failure")
            else:
                await self.reply("220 lenient.e2e.test ESMTP introduced")
        elif verb == "VRFY":
            await self.reply("252 2.0.0 Cannot VRFY user")
        elif verb == "STARTTLS" and offers_tls:
            return await self.starttls()
        elif verb == "QUIT":
            await self.reply("221 2.0.0 Bye")
            return False
        else:
            await self.reply("502 5.5.2 Error: command not recognized")
        return True

    async def starttls(self):
        if self.server.starttls == "inject":
            self.writer.write(b"220 go\r\n250 injected\r\n")
        else:
            self.writer.write(b"220 2.0.0 Ready to start TLS\r\n")
        await self.writer.drain()
        discarded, self.lines.buffer = self.lines.buffer, b""
        self.event("starttls", discarded=discarded.decode("latin-1"))
        try:
            await self.writer.start_tls(self.server.tls_context)
        except (ssl.SSLError, OSError) as e:
            self.event("tls-failed", error=str(e))
            return False
        self.tls = True
        self.mail_from, self.rcpt_tos = None, []
        self.event("tls", version=self.writer.get_extra_info("ssl_object").version())
        return True

    async def data(self):
        content = []
        while True:
            got = await self.lines.line()
            if got is None:
                return False  # cut in the middle: nothing is stored
            line, end = got
            if line == b".":
                break
            if line.startswith(b"."):
                line = line[1:]
            content.append(line + end)
        seq = self.server.recorder.store(b"".join(content), self.conn, self.peer, self.mail_from,
                                         self.rcpt_tos)
        self.event("MESSAGE", seq=seq)
        self.mail_from, self.rcpt_tos = None, []
        await self.reply("250 2.0.0 Ok: queued as E2E%05d" % seq)
        return True


def address(text):
    text = text.strip()
    if text.startswith("<"):
        end = text.find(">")
        return text[1:end] if end > 0 else text[1:]
    return text.split(" ")[0]


class Server:
    def __init__(self, directory, also_cr, timeout, hang_up=None, xclient_refuse=None, starttls=None,
                 cert=None, key=None, greeting=None):
        self.greeting = greeting or "220 lenient.e2e.test ESMTP lenient test server"
        self.xclient_refuse = xclient_refuse
        self.starttls = starttls
        self.tls_context = None
        if starttls:
            self.tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls_context.load_cert_chain(cert, key)
        self.recorder = Recorder(directory)
        self.also_cr = also_cr
        self.timeout = timeout
        self.hang_up = hang_up

    async def serve(self, stop):
        server = await asyncio.start_server(
            lambda r, w: Session(self, r, w).run(), host="127.0.0.1", port=0)
        print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
        async with server:
            await stop.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--line-ends", choices=["lf", "lf-cr"], required=True)
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--starttls", choices=["honest", "inject"])
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--hang-up", choices=["connect", "greeting"])
    parser.add_argument("--xclient-refuse", type=int)
    parser.add_argument("--greeting")
    args = parser.parse_args()
    if bool(args.starttls) != bool(args.tls_cert and args.tls_key):
        parser.error("--starttls needs --tls-cert and --tls-key, and they need it")
    os.makedirs(args.dir, exist_ok=True)
    server = Server(args.dir, args.line_ends == "lf-cr", args.timeout, args.hang_up,
                    args.xclient_refuse, args.starttls, args.tls_cert, args.tls_key, args.greeting)

    async def run():
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        # Bounded: the driver stops us, but never outlive it by more than an hour.
        loop.call_later(3600, stop.set)
        await server.serve(stop)

    asyncio.run(run())
    return 0


if __name__ == "__main__":
    sys.exit(main())
