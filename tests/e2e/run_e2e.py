#!/usr/bin/python3
"""End-to-end tests of divivez-proxy and its plug-in with real mail software.

Each scenario starts what it needs on 127.0.0.1 with ports the OS picks: a
recording aiosmtpd server (smtp_server.py), lenient servers that end lines at
LF or also at CR (lenient_server.py), Postfix's smtp-sink, a private Postfix
instance (its own configuration, queue and maildir; it refuses unsynchronised
clients), a private clamd with a signature database written here, a slow
stand-in for clamd (slow_clamd.py), and the proxy of the build under test
(Linux native, or the Windows build under 32-bit Wine), in the socket-service
modes that matter. The peers-* scenarios check the TLS peers alone (a
private Postfix with STARTTLS, implicit TLS and Cyrus SASL; the lenient
server's STARTTLS modes), once a run on the native build.
Clients are swaks, curl, openssl s_client, Python's smtplib and raw sockets.

Prints one line per scenario, PASS or FAIL with the reason, and at the end
"N passed, N failed". Exits 1 when anything failed. A scenario that cannot
run (a missing tool, a proxy that does not start) FAILS; nothing is skipped.

Usage: run_e2e.py [--build native|win32|all] [--only SUBSTRING]... [--keep]
Environment: E2E_DEBUG_LEVEL=N passes --debug-level N to every proxy (on
win32 this writes the plug-in's registry value in the shared Wine prefix).
"""

import argparse
import base64
import concurrent.futures
import glob
import hashlib
import json
import os
import random
import re
import select
import shutil
import signal
import smtplib
import socket
import subprocess
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402 (the harness sits beside this script)
    ROOT, INSERT, EICAR, CUSTOM, CUSTOM_NAME, REJECTED_RCPT, AUTH_USER, AUTH_PASSWORD, RUN_ID,
    Failure, Skipped, Netns, check, stop_all, free_port, wait_for, MailServer, LenientServer, SmtpSink, Postfix,
    Clamd, SlowClamd, HAProxy, Prometheus, Build,
    Proxy, message, sent_content, with_insert, mime_base64, tag_for, describe_diff,
    assert_delivered, assert_not_delivered, assert_stored, run, swaks, write_file, RawClient, smtp,
    expect_vrfy_in_step, certificates, postfix_tls_listeners, client_tls_context, smtp_starttls, smtp_ssl,
    auth_plain, s_client, starttls_injection, secret_forms, files_holding)


# --------------------------------------------------------------------------
# Scenarios on the standard set-up: the recording server and a proxy with the
# builtin scanner, given a signature file.


def sc_clean_swaks(ctx, env):
    tag = tag_for(ctx, "swaks")
    text = message(tag)
    code, out = swaks(ctx, env.proxy.port, write_file(ctx, "swaks-%s.eml" % ctx.mode, text))
    check(code == 0, "swaks failed (%d):\n%s" % (code, out[-2000:]))
    check("queued as E2E" in out, "swaks did not see the server's final reply:\n" + out[-1500:])
    assert_delivered(env.server, tag, with_insert(sent_content(text)),
                     rcpts=["receiver@example.test"], sender="sender@example.test")


def sc_clean_curl(ctx, env):
    tag = tag_for(ctx, "curl")
    text = message(tag)
    path = write_file(ctx, "curl-%s.eml" % ctx.mode, text)
    code, out = run(["curl", "-sS", "--max-time", str(int(60 * ctx.build.slow)),
                     "smtp://127.0.0.1:%d" % env.proxy.port, "--mail-from", "sender@example.test",
                     "--mail-rcpt", "receiver@example.test", "-T", path], 90 * ctx.build.slow)
    check(code == 0, "curl failed (%d): %s" % (code, out[-2000:]))
    assert_delivered(env.server, tag, with_insert(sent_content(text)),
                     rcpts=["receiver@example.test"], sender="sender@example.test")


def sc_clean_smtplib(ctx, env):
    tag = tag_for(ctx, "smtplib")
    text = message(tag)
    client = smtp(ctx, env.proxy.port)
    try:
        code, _ = client.ehlo()
        check(code == 250, "EHLO answered %d" % code)
        check(client.has_extn("pipelining"), "PIPELINING missing from the EHLO reply: %r" % client.esmtp_features)
        for hidden in ("starttls", "chunking", "binarymime"):
            check(not client.has_extn(hidden), "%s not removed from the EHLO reply: %r" % (
                hidden.upper(), client.esmtp_features))
        check(client.has_extn("size"), "SIZE missing from the EHLO reply: %r" % client.esmtp_features)
        code, _ = client.mail("sender@example.test")
        check(code == 250, "MAIL answered %d" % code)
        code, _ = client.rcpt("receiver@example.test")
        check(code == 250, "RCPT answered %d" % code)
        code, reply = client.data(text)
        check(code == 250 and b"queued as E2E" in reply,
              "end of data answered %d %r, not the server's final reply" % (code, reply))
        expect_vrfy_in_step(client)
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)))


def sc_eicar_swaks(ctx, env):
    tag = tag_for(ctx, "eicar-swaks")
    text = message(tag, [b"The test file follows.", EICAR, b"That was it."])
    code, out = swaks(ctx, env.proxy.port, write_file(ctx, "eicar-%s.eml" % ctx.mode, text))
    check(code == 0, "swaks failed (%d):\n%s" % (code, out[-2000:]))
    check(re.search(r"^<-\s+250 Mail accepted\s*$", out, re.M),
          "swaks did not hear '250 Mail accepted':\n" + out[-1500:])
    check("queued as E2E" not in out, "the server's own final reply reached swaks:\n" + out[-1500:])
    time.sleep(0.3)
    assert_not_delivered(env.server, tag)


def sc_eicar_then_clean(ctx, env):
    bad = tag_for(ctx, "eicar-session")
    good = tag_for(ctx, "after-eicar")
    bad_text = message(bad, [b"Here:", EICAR])
    good_text = message(good)
    client = smtp(ctx, env.proxy.port)
    try:
        client.ehlo()
        # First message: smtplib's own sendmail; it raises on any refusal.
        refused = client.sendmail("sender@example.test", ["receiver@example.test"], bad_text)
        check(refused == {}, "recipients refused: %r" % refused)
        expect_vrfy_in_step(client)
        code, _ = client.mail("sender@example.test")
        check(code == 250, "MAIL after the infected message answered %d (the server kept the old transaction?)" % code)
        code, _ = client.rcpt("receiver@example.test")
        check(code == 250, "RCPT answered %d" % code)
        code, reply = client.data(good_text)
        check(code == 250 and b"queued as E2E" in reply, "second message answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, good, with_insert(sent_content(good_text)))
    assert_not_delivered(env.server, bad)


def sc_eicar_reply_text(ctx, env):
    """The infected message's reply, read on a raw socket, is exactly the
    plug-in's line and nothing else arrives with it."""
    tag = tag_for(ctx, "eicar-raw")
    c = RawClient(env.proxy.port, 30 * ctx.build.slow)
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        code, lines = c.command("DATA")
        check(code == 354, "DATA answered %r" % lines)
        c.send(sent_content(message(tag, [EICAR])) + b".\r\n")
        code, lines = c.reply()
        check(lines == ["250 Mail accepted"], "end of data answered %r" % lines)
        code, lines = c.command("NOOP")
        check(code == 250 and len(lines) == 1, "NOOP answered %r" % lines)
        code, lines = c.command("QUIT")
        check(code == 221, "QUIT answered %r" % lines)
        check(c.buffer == b"", "stray bytes after the dialogue: %r" % c.buffer)
    finally:
        c.close()
    assert_not_delivered(env.server, tag)


def swaks_pipelined(ctx, env, name, rcpts):
    """swaks --pipeline through the proxy, to rcpts: (tag, text, output)."""
    tag = tag_for(ctx, name)
    text = message(tag)
    code, out = swaks(ctx, env.proxy.port, write_file(ctx, "%s-%s.eml" % (name, ctx.mode), text),
                      rcpts=[",".join(rcpts)], pipeline=True)
    check(code == 0, "swaks --pipeline failed (%d):\n%s" % (code, out[-2000:]))
    check("PIPELINING" in out, "the proxy did not offer PIPELINING:\n" + out[-1500:])
    return tag, text, out


def sc_pipeline_swaks(ctx, env):
    rcpts = ["r1@example.test", "r2@example.test", "r3@example.test"]
    tag, text, out = swaks_pipelined(ctx, env, "pipe-swaks", rcpts)
    check("queued as E2E" in out, "no final reply from the server:\n" + out[-1500:])
    assert_delivered(env.server, tag, with_insert(sent_content(text)), rcpts=rcpts)


def sc_pipeline_raw(ctx, env):
    """RFC 2920 at its limit: the whole envelope and DATA in one write, then
    the message, its end and QUIT in one write."""
    tag = tag_for(ctx, "pipe-raw")
    text = message(tag)
    infected = tag_for(ctx, "pipe-raw-eicar")
    infected_text = message(infected, [b"test file:", EICAR])
    rcpts = ["p1@example.test", "p2@example.test", "p3@example.test", "p4@example.test"]
    c = RawClient(env.proxy.port, 30 * ctx.build.slow)
    try:
        check(c.reply()[0] == 220, "no greeting")
        code, lines = c.command("EHLO client.e2e.test")
        check(code == 250 and any(line[4:].upper() == "PIPELINING" for line in lines),
              "PIPELINING not offered: %r" % lines)
        burst = "MAIL FROM:<sender@example.test>\r\n" + "".join(
            "RCPT TO:<%s>\r\n" % r for r in rcpts) + "DATA\r\n"
        c.send(burst.encode())
        replies = [c.reply() for _ in range(2 + len(rcpts))]
        codes = [r[0] for r in replies]
        check(codes == [250] * (1 + len(rcpts)) + [354], "pipelined envelope answered %r" % replies)
        # The end of an infected message, with the next envelope and DATA
        # in the same write: they must wait for the verdict, then go on.
        c.send(stuff(sent_content(infected_text)) + b".\r\n" + burst.encode())
        replies = [c.reply() for _ in range(3 + len(rcpts))]
        check(replies[0][1] == ["250 Mail accepted"], "infected message answered %r" % (replies[0],))
        codes = [r[0] for r in replies[1:]]
        check(codes == [250] * (1 + len(rcpts)) + [354], "envelope after the infected message answered %r" % replies)
        # Then a clean message, its end and QUIT in one write.
        c.send(stuff(sent_content(text)) + b".\r\nQUIT\r\n")
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0], "end of data answered %r" % lines)
        code, lines = c.reply()
        check(code == 221, "pipelined QUIT answered %r" % lines)
    finally:
        c.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)), rcpts=rcpts)
    assert_not_delivered(env.server, infected)


def sc_multi_rcpt(ctx, env):
    tag = tag_for(ctx, "rcpts")
    text = message(tag)
    rcpts = ["m%d@example.test" % i for i in range(1, 6)]
    client = smtp(ctx, env.proxy.port)
    try:
        refused = client.sendmail("sender@example.test", rcpts, text)
        check(refused == {}, "refused: %r" % refused)
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)), rcpts=rcpts)


def sc_empty_message(ctx, env):
    before = len(env.server.messages())
    c = RawClient(env.proxy.port, 30 * ctx.build.slow)
    sender = "empty-%s-%s@example.test" % (ctx.build.name, ctx.mode)
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        check(c.command("MAIL FROM:<%s>" % sender)[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        code, lines = c.command("DATA")
        check(code == 354, "DATA answered %r" % lines)
        c.send(b".\r\n")
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0],
              "the empty message's end of data answered %r" % lines)
        check(c.command("QUIT")[0] == 221, "QUIT failed")
    finally:
        c.close()
    found = [(m, body) for m, body in env.server.messages()[before:] if m["mail_from"] == sender]
    check(len(found) == 1, "the empty message reached the server %d times" % len(found))
    # No header section ends in an empty message: the text is all it holds.
    check(found[0][1] == INSERT, "the empty message arrived as %r" % found[0][1])


def sc_custom_signature(ctx, env):
    plain = tag_for(ctx, "custom-plain")
    mime = tag_for(ctx, "custom-mime")
    near = tag_for(ctx, "custom-near-miss")
    plain_text = message(plain, [b"text before " + CUSTOM + b" text after"])
    mime_text = mime_base64(mime, b"\x00\x01binary " + CUSTOM + b" more\xff" * 3)
    near_text = message(near, [b"text before " + CUSTOM[:-1] + b"X text after"])
    client = smtp(ctx, env.proxy.port)
    try:
        for label, text in (("plain", plain_text), ("base64", mime_text)):
            client.mail("sender@example.test")
            client.rcpt("receiver@example.test")
            code, reply = client.data(text)
            check((code, reply) == (250, b"Mail accepted"),
                  "custom pattern (%s) answered %d %r, not dropped" % (label, code, reply))
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        code, reply = client.data(near_text)
        check(code == 250 and b"queued as E2E" in reply,
              "a near miss of the pattern answered %d %r (expected delivery)" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, near, with_insert(sent_content(near_text)))
    assert_not_delivered(env.server, plain)
    assert_not_delivered(env.server, mime)
    check(wait_for(lambda: CUSTOM_NAME in env.proxy.log_text(), 5),
          "the proxy log does not name the signature %s" % CUSTOM_NAME)


def raw_session(ctx, env, sender="sender@example.test", rcpt="receiver@example.test"):
    """A raw client that has been greeted and has sent EHLO, MAIL and RCPT."""
    c = RawClient(env.proxy.port, 30 * ctx.build.slow)
    c.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    check(c.reply()[0] == 220, "no greeting")
    check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
    if sender:
        code, lines = c.command("MAIL FROM:<%s>" % sender)
        check(code == 250, "MAIL answered %r" % lines)
        code, lines = c.command("RCPT TO:<%s>" % rcpt)
        check(code == 250, "RCPT answered %r" % lines)
    return c


def stuff(content):
    return re.sub(rb"(?m)^\.", b"..", content)


def sc_split_writes(ctx, env):
    """Commands and the end-of-data marker cut into pieces that arrive
    separately; lower-case data."""
    tag = tag_for(ctx, "split")
    text = message(tag)
    c = raw_session(ctx, env, sender=None)
    try:
        for piece in (b"MAIL FR", b"OM:<split@example.test>\r", b"\n"):
            c.send(piece)
            time.sleep(0.05)
        code, lines = c.reply()
        check(code == 250, "split MAIL answered %r" % lines)
        code, lines = c.command("RCPT TO:<receiver@example.test>")
        check(code == 250, "RCPT answered %r" % lines)
        code, lines = c.command("data")
        check(code == 354, "lower-case data answered %r" % lines)
        body = stuff(sent_content(text))
        # The marker CR LF . CR LF split after its CR, and after its dot.
        pieces = [body[:-1], body[-1:] + b".", b"\r", b"\n"]
        for piece in pieces:
            c.send(piece)
            time.sleep(0.1)
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0], "end of data in pieces answered %r" % lines)
        check(c.command("QUIT")[0] == 221, "QUIT failed")
    finally:
        c.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)), sender="split@example.test")


def sc_long_headers(ctx, env):
    """Header sections longer than one read of the plug-in, with the empty
    line that ends them falling on either side of 8 KiB boundaries."""
    client = smtp(ctx, env.proxy.port)
    cases = []
    try:
        for target in (8190, 8191, 8192, 8193, 8194, 16384, 30000):
            tag = tag_for(ctx, "hdr%d" % target)
            head = message(tag, [b"x"]).split(b"\r\n\r\n")[0]
            # Fill so that the header section (with its CR LF) ends at target.
            fill = []
            size = len(head) + 2
            n = 0
            while size < target:
                room = target - size - len(b"X-Fill-0000: \r\n")
                if room < 0:
                    break
                value = b"f" * min(room, 900)
                line = b"X-Fill-%04d: " % n + value
                if size + len(line) + 2 > target:
                    break
                fill.append(line)
                size += len(line) + 2
                n += 1
            pad = target - size
            if pad > 0:
                fill[-1] += b"p" * pad
            text = head + b"\r\n" + b"\r\n".join(fill) + b"\r\n\r\nbody of " + tag + b"\r\n\r\nsecond paragraph"
            check(text.find(b"\r\n\r\n") + 2 == target or target < len(head),
                  "test error: header section is %d bytes, not %d" % (text.find(b"\r\n\r\n") + 2, target))
            client.mail("sender@example.test")
            client.rcpt("receiver@example.test")
            code, reply = client.data(text)
            check(code == 250 and b"queued as E2E" in reply, "%d-byte header section answered %d %r" % (target, code, reply))
            cases.append((tag, text))
        client.quit()
    finally:
        client.close()
    for tag, text in cases:
        assert_delivered(env.server, tag, with_insert(sent_content(text)))


def sc_eight_bit(ctx, env):
    """Every byte value but CR and LF in the body, a NUL included."""
    tag = tag_for(ctx, "8bit")
    octets = bytes(b for b in range(256) if b not in (10, 13))
    text = message(tag, [b"all octets:", octets, octets[::-1], b"end"])
    client = smtp(ctx, env.proxy.port)
    try:
        code, _ = client.mail("sender@example.test", ["BODY=8BITMIME"])
        check(code == 250, "MAIL BODY=8BITMIME answered %d" % code)
        client.rcpt("receiver@example.test")
        code, reply = client.data(text)
        check(code == 250 and b"queued as E2E" in reply, "8-bit message answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)))


def sc_hidden_extensions(ctx, env):
    """A client that uses the extensions the proxy hid: it gets a refusal and
    its session stays usable."""
    tag = tag_for(ctx, "after-bdat")
    text = message(tag)
    c = raw_session(ctx, env)
    try:
        code, lines = c.command("STARTTLS")
        check(code is not None and code != 220 and 400 <= code < 600,
              "STARTTLS answered %r (the proxy cannot speak TLS)" % lines)
        chunk = b"Subject: bdat\r\n\r\nhello\r\n"
        c.send(b"BDAT %d LAST\r\n" % len(chunk) + chunk)
        code, lines = c.reply()
        check(code is not None and 500 <= code < 600, "BDAT answered %r" % lines)
        code, lines = c.command("NOOP")
        check(code == 250, "session out of step after BDAT: NOOP answered %r" % lines)
        c.command("RSET")
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL after BDAT failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT after BDAT failed")
        check(c.command("DATA")[0] == 354, "DATA after BDAT failed")
        c.send(stuff(sent_content(text)) + b".\r\n")
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0], "message after BDAT answered %r" % lines)
        c.command("QUIT")
    finally:
        c.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)))
    check(not env.server.with_token(b"Subject: bdat"), "the BDAT chunk reached the server")


def sc_client_abort(ctx, env):
    """The client goes away in the middle of its message: nothing reaches
    the server, the spool file goes, and the proxy serves the next client."""
    tag = tag_for(ctx, "client-abort")
    c = raw_session(ctx, env)
    try:
        check(c.command("DATA")[0] == 354, "DATA failed")
        c.send(stuff(sent_content(message(tag)))[:200])
        time.sleep(0.3)
    finally:
        c.close()
    time.sleep(0.5)
    assert_not_delivered(env.server, tag)
    after = tag_for(ctx, "after-abort")
    text = message(after)
    client = smtp(ctx, env.proxy.port)
    try:
        check(client.sendmail("sender@example.test", ["receiver@example.test"], text) == {}, "refused")
        client.quit()
    finally:
        client.close()
    assert_delivered(env.server, after, with_insert(sent_content(text)))


def sc_many_messages(ctx, env):
    """Thirty messages in one session, every third one infected."""
    client = smtp(ctx, env.proxy.port)
    clean = []
    infected = []
    try:
        for i in range(30):
            tag = tag_for(ctx, "seq%02d" % i)
            if i % 3 == 2:
                text = message(tag, [b"number %d" % i, EICAR])
                infected.append(tag)
            else:
                text = message(tag, [b"number %d" % i])
                clean.append((tag, text))
            client.mail("sender@example.test")
            client.rcpt("receiver@example.test")
            code, reply = client.data(text)
            want = (250, b"Mail accepted") if i % 3 == 2 else None
            if want:
                check((code, reply) == want, "message %d (infected) answered %d %r" % (i, code, reply))
            else:
                check(code == 250 and b"queued as E2E" in reply, "message %d answered %d %r" % (i, code, reply))
        expect_vrfy_in_step(client)
        client.quit()
    finally:
        client.close()
    for tag, text in clean:
        assert_delivered(env.server, tag, with_insert(sent_content(text)))
    for tag in infected:
        assert_not_delivered(env.server, tag)


def sc_rcpt_rejections(ctx, env):
    """Pipelined envelopes in which the server refuses recipients: every
    reply reaches the client in order; a message goes to the accepted ones
    only, and one with no accepted recipient is refused, not delivered."""
    tag = tag_for(ctx, "some-rcpts")
    lost = tag_for(ctx, "no-rcpts")
    text = message(tag)
    c = raw_session(ctx, env, sender=None)
    try:
        c.send(("MAIL FROM:<sender@example.test>\r\nRCPT TO:<a-%s@example.test>\r\n"
                "RCPT TO:<ok@example.test>\r\nRCPT TO:<b-%s@example.test>\r\nDATA\r\n"
                % (REJECTED_RCPT, REJECTED_RCPT)).encode())
        codes = [c.reply()[0] for _ in range(5)]
        check(codes == [250, 550, 250, 550, 354], "pipelined envelope answered %r" % codes)
        c.send(stuff(sent_content(text)) + b".\r\n")
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0], "end of data answered %r" % lines)
        c.send(("MAIL FROM:<sender@example.test>\r\nRCPT TO:<c-%s@example.test>\r\nDATA\r\n"
                % REJECTED_RCPT).encode())
        replies = [c.reply() for _ in range(3)]
        check([r[0] for r in replies[:2]] == [250, 550], "second envelope answered %r" % replies)
        if replies[2][0] == 354:
            # The proxy took DATA although the server accepted no recipient;
            # then the end of data must carry the server's refusal.
            c.send(stuff(sent_content(message(lost))) + b".\r\n")
            code, lines = c.reply()
            check(code is not None and code >= 400, "a message without recipients answered %r" % lines)
            ctx.note("DATA without recipients: 354, then %d" % code)
        else:
            check(replies[2][0] >= 400, "DATA without recipients answered %r" % (replies[2],))
            ctx.note("DATA without recipients: %d" % replies[2][0])
        code, lines = c.command("NOOP")
        check(code == 250, "session out of step: NOOP answered %r" % lines)
        c.command("QUIT")
    finally:
        c.close()
    assert_delivered(env.server, tag, with_insert(sent_content(text)), rcpts=["ok@example.test"])
    assert_not_delivered(env.server, lost)


def sc_auth(ctx, env):
    """AUTH through the proxy: the LOGIN mechanism's challenge lines and the
    client's base64 answers are not commands and must pass unchanged."""
    for mechanism in ("LOGIN", "PLAIN"):
        client = smtp(ctx, env.proxy.port)
        try:
            check(client.has_extn("auth"), "AUTH not offered: %r" % client.esmtp_features)
            client.user, client.password = AUTH_USER, "wrong password"
            method = client.auth_login if mechanism == "LOGIN" else client.auth_plain
            try:
                client.auth(mechanism, method, initial_response_ok=(mechanism == "PLAIN"))
                raise Failure("%s with a wrong password was accepted" % mechanism)
            except smtplib.SMTPAuthenticationError as e:
                check(e.smtp_code == 535, "%s with a wrong password answered %d" % (mechanism, e.smtp_code))
            expect_vrfy_in_step(client)
            client.user, client.password = AUTH_USER, AUTH_PASSWORD
            code, reply = client.auth(mechanism, method, initial_response_ok=(mechanism == "PLAIN"))
            check(code == 235, "%s answered %d %r" % (mechanism, code, reply))
            tag = tag_for(ctx, "auth-" + mechanism.lower())
            text = message(tag)
            check(client.sendmail("sender@example.test", ["receiver@example.test"], text) == {}, "refused")
            client.quit()
        finally:
            client.close()
        assert_delivered(env.server, tag, with_insert(sent_content(text)))
    events = env.server.events("AUTH")
    check(len([e for e in events if e["success"]]) >= 2, "the server saw no successful AUTH: %r" % events)


def big_text(tag, size):
    rng = random.Random(tag)
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    lines = []
    total = 0
    while total < size:
        line = bytes(rng.choice(alphabet) for _ in range(8)) * 9
        if rng.random() < 0.02:
            line = b"." + line  # dot-stuffed on the wire
        lines.append(line)
        total += len(line) + 2
    return message(tag, [b"Large message follows."] + lines)


def sc_big_message(ctx, env):
    tag = tag_for(ctx, "big")
    text = big_text(tag, 20 * 1024 * 1024)
    expected = with_insert(sent_content(text))
    # Before it, a 100 KiB message: delivered in moments, it logs no progress.
    small_tag = tag_for(ctx, "small100k")
    small = big_text(small_tag, 100 * 1024)
    client = smtp(ctx, env.proxy.port, timeout=180)
    started = time.monotonic()
    try:
        check(client.sendmail("sender@example.test", ["receiver@example.test"], small) == {},
              "the 100 KiB message was refused")
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        code, reply = client.data(text)
        check(code == 250 and b"queued as E2E" in reply, "20 MiB message answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    elapsed = time.monotonic() - started
    found = env.server.wait_token(b"Message-ID: <" + tag, 30)
    check(len(found) == 1, "the 20 MiB message reached the server %d times" % len(found))
    meta, content = found[0]
    check(meta["sha256"] == hashlib.sha256(expected).hexdigest() and content == expected,
          "20 MiB message altered: %s" % describe_diff(expected, content))
    # The proxy logs delivery progress for large messages, a line per quarter
    # when its log is not a terminal: "... delivering, 25% (5120 of 20480 KiB)".
    def spool_kib_of(t):  # the spool file holds the stuffed message and ".\r\n"
        return len(re.sub(rb"(?m)^\.", b"..", sent_content(t)) + b".\r\n") // 1024

    spool_kib = spool_kib_of(text)
    progress = [(int(m.group(1)), int(m.group(2)), int(m.group(3))) for m in re.finditer(
        r"delivering, (\d+)% \((\d+) of (\d+) KiB\)", env.proxy.log_text())]
    ours = [p for p in progress if p[2] == spool_kib]
    check([p[0] for p in ours] == [25, 50, 75],
          "delivery progress lines for the %d KiB message: %r (all: %r)" % (spool_kib, ours, progress[-6:]))
    check(all(p[1] * 100 >= p[0] * p[2] for p in ours), "progress counts behind their percentages: %r" % ours)
    assert_delivered(env.server, small_tag, with_insert(sent_content(small)))
    small_kib = spool_kib_of(small)
    check(not [p for p in progress if p[2] == small_kib],
          "progress lines for the %d KiB message: %r" % (small_kib, progress[-6:]))
    ctx.note("%.1f s" % elapsed)


def sc_parallel(ctx, env, count=200):
    size = 3000 if ctx.build.wine else 12000
    tags = [tag_for(ctx, "par%03d" % i) for i in range(count)]
    texts = [message(t, [t + b" line %d " % j + bytes([65 + (i + j) % 26]) * 60
                         for j in range(size // 80)]) for i, t in enumerate(tags)]
    connected = threading.Barrier(count, timeout=120 * ctx.build.slow)
    errors = []

    def one(i):
        try:
            client = smtp(ctx, env.proxy.port, timeout=120)
        except Exception as e:
            connected.abort()
            return "connect %d: %r" % (i, e)
        try:
            connected.wait()  # all sessions open at once
            refused = client.sendmail("par%d@example.test" % i, ["receiver%d@example.test" % i], texts[i])
            client.quit()
            return "refused %r" % refused if refused else None
        except Exception as e:
            return "session %d: %r" % (i, e)
        finally:
            client.close()

    with concurrent.futures.ThreadPoolExecutor(max_workers=count) as pool:
        for result in pool.map(one, range(count)):
            if result:
                errors.append(result)
    check(not errors, "%d of %d sessions failed, e.g. %s" % (len(errors), count, errors[:3]))
    wanted = {t: with_insert(sent_content(x)) for t, x in zip(tags, texts)}

    def all_there():
        got = {}
        for meta, content in env.server.messages():
            m = re.search(rb"Message-ID: <([^@>]+)@divivez\.e2e>", content)
            if m and m.group(1) in wanted:
                got.setdefault(m.group(1), []).append((meta, content))
        return got if len(got) == count else None

    got = wait_for(all_there, 30) or {}
    missing = [t for t in tags if t not in got]
    check(not missing, "%d of %d messages never arrived, e.g. %s" % (
        len(missing), count, [m.decode() for m in missing[:3]]))
    for i, t in enumerate(tags):
        copies = got[t]
        check(len(copies) == 1, "message %s arrived %d times" % (t.decode(), len(copies)))
        meta, content = copies[0]
        check(content == wanted[t], "message %s altered: %s" % (t.decode(), describe_diff(wanted[t], content)))
        check(meta["rcpt_tos"] == ["receiver%d@example.test" % i],
              "message %s has the envelope of another: %r" % (t.decode(), meta["rcpt_tos"]))


# --------------------------------------------------------------------------
# Scenarios with set-ups of their own


def slow_scan_proxy(ctx, name, delay, upstream, keepalive):
    """A slow stand-in for clamd (delay seconds a scan; on a unix socket
    natively, TCP for Wine) and a proxy using it: (slow, proxy)."""
    slow = SlowClamd(ctx.workdir, name + "-clamd", delay, not ctx.build.wine)
    scanner = ("clamd:unix:" + slow.path) if not ctx.build.wine else "clamd:tcp:127.0.0.1:%d" % slow.port
    proxy = Proxy(ctx, name + "-proxy", upstream=upstream, scanner=scanner, keepalive=keepalive,
                  extra=["--scan-timeout", "30"])
    return slow, proxy


def message_in_step(ctx, port, name, final):
    """One message in a new smtplib session: its end of data must be answered
    with the server's final reply (final(reply) true), and the session must
    stay in step after it (VRFY and NOOP). Returns (tag, text)."""
    tag = tag_for(ctx, name)
    text = message(tag)
    client = smtp(ctx, port, timeout=40)
    try:
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        code, reply = client.data(text)
        check(code == 250 and final(reply),
              "end of data answered %d %r, not the server's final reply" % (code, reply))
        expect_vrfy_in_step(client)
        code, reply = client.noop()
        check(code == 250, "session out of step: NOOP answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    return tag, text


def sc_keepalive(ctx):
    """A scan slower than the server's idle time-out: the keep-alive NOOPs
    keep the server connection open; without them the server drops it."""
    idle = 2.0
    delay = 5.0
    results = {}
    for keepalive in (1, 0):
        name = "keepalive-%s-%d" % (ctx.mode, keepalive)
        server = MailServer(ctx.workdir, name + "-server", timeout=idle)
        slow, proxy = slow_scan_proxy(ctx, name, delay, server.port, keepalive)
        tag = tag_for(ctx, "keepalive%d" % keepalive)
        text = message(tag)
        client = smtp(ctx, proxy.port, timeout=60)
        outcome = None
        try:
            client.ehlo()
            client.mail("sender@example.test")
            client.rcpt("receiver@example.test")
            started = time.monotonic()
            try:
                outcome = client.data(text)
            except smtplib.SMTPException as e:
                outcome = ("exception", repr(e))
            took = time.monotonic() - started
            if keepalive and outcome[0] == 250:
                expect_vrfy_in_step(client)
        finally:
            client.close()
        scans = slow.scans()
        noops = server.events("NOOP")
        timeouts = server.events("timeout")
        results[keepalive] = (outcome, took, scans, noops, timeouts)
        if keepalive:
            check(scans, "the slow scanner was never asked (the proxy did not use it)")
            check(took >= delay - 0.5, "the scan did not take its %.0f s (%.1f s)" % (delay, took))
            check(outcome[0] == 250 and b"queued as E2E" in outcome[1],
                  "with --keepalive 1 the message answered %r after %.1f s (server time-outs: %d, NOOPs: %d)"
                  % (outcome, took, len(timeouts), len(noops)))
            check(len(noops) >= 2, "only %d keep-alive NOOPs reached the server during a %.0f s scan"
                  % (len(noops), delay))
            check(not timeouts, "the server timed out although NOOPs were sent")
            assert_delivered(server, tag, with_insert(sent_content(text)))
        else:
            # The negative control: it shows that the server does drop an
            # idle connection, so the positive case proved something.
            check(timeouts, "the server never timed out without keep-alive: the test proves nothing")
            check(not noops, "NOOPs reached the server with --keepalive 0")
            check(outcome[0] != 250 or b"queued as E2E" not in outcome[1],
                  "without keep-alive the client was still told success: %r" % (outcome,))
            assert_not_delivered(server, tag)
            check(proxy.proc.alive(), "the proxy died")
        proxy.stop()
        slow.stop()
        server.stop()
    ctx.note("with: %r; without: %r" % (results[1][0][0], results[0][0]))


def sc_keepalive_late_noop_replies(ctx):
    """Keep-alive NOOPs whose replies come late, the last of them after
    DATA has gone out: each reply must be matched to its own command, so the
    354 (not a NOOP's 250) starts the delivery and the client hears the
    server's final reply."""
    server = MailServer(ctx.workdir, "latenoop-server-" + ctx.mode, noop_delay=1.5)
    slow, proxy = slow_scan_proxy(ctx, "latenoop-" + ctx.mode, 4.0, server.port, 1)
    tag, text = message_in_step(ctx, proxy.port, "latenoop", lambda reply: b"queued as E2E" in reply)
    noops = server.events("NOOP")
    check(len(noops) >= 3, "only %d keep-alive NOOPs reached the server" % len(noops))
    assert_delivered(server, tag, with_insert(sent_content(text)))
    proxy.stop()
    slow.stop()
    server.stop()


def sc_keepalive_slow_client(ctx):
    """A client that sends its message slowly, for longer than the server's
    idle time-out: keep-alives go out while the message is spooled."""
    server = MailServer(ctx.workdir, "slowclient-server-" + ctx.mode, timeout=2)
    proxy = Proxy(ctx, "slowclient-proxy-" + ctx.mode, upstream=server.port, keepalive=1)
    tag = tag_for(ctx, "slowclient")
    text = message(tag)

    class Env:
        pass

    env = Env()
    env.proxy = proxy
    c = raw_session(ctx, env)
    try:
        code, lines = c.command("DATA")
        check(code == 354, "DATA answered %r" % lines)
        body = stuff(sent_content(text))
        step = len(body) // 6 + 1
        for i in range(0, len(body), step):
            c.send(body[i:i + step])
            time.sleep(0.9)
        c.send(b".\r\n")
        code, lines = c.reply()
        check(code == 250 and "queued as E2E" in lines[0], "end of data answered %r" % (lines,))
        c.command("QUIT")
    finally:
        c.close()
    check(not server.events("timeout"), "the server timed out while the client was sending")
    check(server.events("NOOP"), "no keep-alive reached the server")
    assert_delivered(server, tag, with_insert(sent_content(text)))
    proxy.stop()
    server.stop()


def sc_data_refused(ctx):
    sink = SmtpSink(ctx.workdir, "sink-refuse-" + ctx.mode, ["-f", "data"])
    proxy = Proxy(ctx, "refuse-proxy-" + ctx.mode, upstream=sink.port)
    tag = tag_for(ctx, "refused")
    text = message(tag)
    client = smtp(ctx, proxy.port)
    try:
        client.ehlo()
        check(client.mail("sender@example.test")[0] == 250, "MAIL failed")
        check(client.rcpt("receiver@example.test")[0] == 250, "RCPT failed")
        code, reply = client.data(text)
        check(code == 500 and b"Error: command failed" in reply,
              "the server's refusal of DATA did not reach the client: %d %r" % (code, reply))
        code, reply = client.noop()
        check(code == 250, "the session is out of step after the refusal: NOOP answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    time.sleep(0.3)
    check(sink.dumped() == [], "smtp-sink stored something: %r" % sink.dumped())
    log = sink.proc.log_text()
    check(re.search(r"^\S*smtp-sink: data$", log, re.M | re.I), "the server never heard DATA:\n" + log[-1500:])
    check(not re.search(r"^\S*smtp-sink: \.$", log, re.M) and tag.decode() not in log,
          "message content reached the server after its refusal:\n" + log[-1500:])
    proxy.stop()
    sink.stop()


def sc_server_cut(ctx):
    """The server drops the connection in the middle of the message: the
    client hears a failure, and the proxy serves the next connection."""
    server = MailServer(ctx.workdir, "cut-server-" + ctx.mode, cut_sender="cut")
    proxy = Proxy(ctx, "cut-proxy-" + ctx.mode, upstream=server.port)
    tag = tag_for(ctx, "cut")
    text = big_text(tag, 256 * 1024)  # larger than the socket buffers
    client = smtp(ctx, proxy.port)
    try:
        client.ehlo()
        client.mail("cut@example.test")
        client.rcpt("receiver@example.test")
        try:
            outcome = client.data(text)
        except smtplib.SMTPServerDisconnected as e:
            outcome = ("disconnected", repr(e))
    finally:
        client.close()
    check(server.events("cut"), "the server never cut a delivery (the test proves nothing)")
    check(outcome[0] != 250, "the client was told success for a message the server never took: %r" % (outcome,))
    assert_not_delivered(server, tag)
    check(proxy.proc.alive(), "the proxy died")
    # The next connection is served as usual.
    after = tag_for(ctx, "after-cut")
    after_text = message(after)
    client = smtp(ctx, proxy.port)
    try:
        refused = client.sendmail("sender@example.test", ["receiver@example.test"], after_text)
        check(refused == {}, "refused %r" % refused)
        client.quit()
    finally:
        client.close()
    assert_delivered(server, after, with_insert(sent_content(after_text)))
    ctx.note("client heard %r" % (outcome[0],))
    proxy.stop()
    server.stop()


def sc_server_silent_close(ctx):
    """smtp-sink closes without a reply after the message's end."""
    sink = SmtpSink(ctx.workdir, "sink-quit-" + ctx.mode, ["-q", "."])
    proxy = Proxy(ctx, "sinkquit-proxy-" + ctx.mode, upstream=sink.port)
    tag = tag_for(ctx, "silent")
    client = smtp(ctx, proxy.port)
    try:
        client.ehlo()
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        try:
            outcome = client.data(message(tag))
        except smtplib.SMTPServerDisconnected as e:
            outcome = ("disconnected", repr(e))
    finally:
        client.close()
    check(outcome[0] != 250, "the client was told success although the server never answered: %r" % (outcome,))
    log = sink.proc.log_text()
    check(re.search(r"^\S*smtp-sink: \.$", log, re.M),
          "smtp-sink never received the end of data (the test proves nothing):\n" + log[-1000:])
    check(proxy.proc.alive(), "the proxy died")
    c = RawClient(proxy.port, 20 * ctx.build.slow)
    try:
        code, lines = c.reply()
        check(code == 220, "the next connection was not greeted: %r" % lines)
        code, lines = c.command("EHLO client.e2e.test")
        check(code == 250, "the next connection's EHLO answered %r" % lines)
    finally:
        c.close()
    ctx.note("client heard %r" % (outcome[0],))
    proxy.stop()
    sink.stop()


def sc_server_greeting_421(ctx):
    """A server that turns the connection away at once: its 421 reaches the
    client."""
    sink = SmtpSink(ctx.workdir, "sink-421", ["-Q", "connect"])
    proxy = Proxy(ctx, "greet421-proxy", upstream=sink.port)
    for attempt in range(2):
        c = RawClient(proxy.port, 20 * ctx.build.slow)
        try:
            code, lines = c.reply()
            check(code == 421, "connection %d: the client heard %r, not the server's 421" % (attempt + 1, lines))
        finally:
            c.close()
    check(proxy.proc.alive(), "the proxy died")
    proxy.stop()
    sink.stop()


def sc_server_hang_up(ctx):
    """A server that closes at once, or right after its greeting, as one
    going down does: the client is not left in silence but hears the
    proxy's 421, and not after its QUIT."""
    for when in ("connect", "greeting"):
        server = LenientServer(ctx.workdir, "hangup-%s-%s" % (when, ctx.mode), "lf",
                               ["--hang-up", when])
        proxy = Proxy(ctx, "hangup-%s-proxy-%s" % (when, ctx.mode), upstream=server.port)
        c = RawClient(proxy.port, 20 * ctx.build.slow)
        try:
            code, lines = c.reply()
            if when == "greeting":
                check(code == 220, "the server's greeting did not come through: %r" % lines)
                code, lines = c.command("EHLO client.e2e.test")
            check(code == 421 and "4.4.2" in lines[0],
                  "server hung up at %s: the client heard %r, not a 421" % (when, lines))
        finally:
            c.close()
        check(proxy.proc.alive(), "the proxy died")
        proxy.stop()
        server.stop()


def sc_clamd(ctx):
    clamd = Clamd(ctx.workdir, tcp=ctx.build.wine)
    server = MailServer(ctx.workdir, "clamd-server")
    scanner = ("clamd:tcp:127.0.0.1:%d" % clamd.port) if ctx.build.wine else "clamd:unix:" + clamd.socket_path
    proxy = Proxy(ctx, "clamd-proxy", upstream=server.port, scanner=scanner)
    eicar = tag_for(ctx, "clamd-eicar")
    custom = tag_for(ctx, "clamd-custom")
    clean = tag_for(ctx, "clamd-clean")
    texts = [
        (eicar, message(eicar, [b"EICAR next:", EICAR]), "Divivez.Test.EICAR"),
        (custom, mime_base64(custom, b"head " + CUSTOM + b" tail"), CUSTOM_NAME),
    ]
    clean_text = message(clean)
    client = smtp(ctx, proxy.port)
    try:
        for tag, text, _ in texts:
            client.mail("sender@example.test")
            client.rcpt("receiver@example.test")
            code, reply = client.data(text)
            check((code, reply) == (250, b"Mail accepted"),
                  "clamd-infected message %s answered %d %r" % (tag.decode(), code, reply))
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        code, reply = client.data(clean_text)
        check(code == 250 and b"queued as E2E" in reply, "clean message answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_delivered(server, clean, with_insert(sent_content(clean_text)))
    for tag, _, name in texts:
        assert_not_delivered(server, tag)
        check(wait_for(lambda: name in proxy.log_text(), 5), "the proxy log does not name %s" % name)
    both = wait_for(lambda: "Divivez.Test.EICAR" in clamd.log_text() and CUSTOM_NAME in clamd.log_text(), 5)
    check(both, "clamd's log does not show both detections:\n" + clamd.log_text()[-1500:])
    proxy.stop()
    server.stop()
    clamd.stop()


def sc_clamd_pool(ctx):
    """Two clamd behind one proxy. Idle, they take turns. One is stopped in
    the middle of a run of messages sent four at a time: every message still
    gets its verdict, the clean ones delivered byte-exact with the inserted
    text and none unscanned, because the scans that met the stopped daemon
    were tried again on the other; the proxy logs it down. Started again on
    the same port, it is logged up after answering PING and takes scans."""
    wine = ctx.build.wine
    first = Clamd(ctx.workdir, tcp=wine, name="pool-clamd-a")
    second = Clamd(ctx.workdir, tcp=True, name="pool-clamd-b")
    first_scanner = ("clamd:tcp:127.0.0.1:%d" % first.port) if wine else "clamd:unix:" + first.socket_path
    second_name = "127.0.0.1:%d" % second.port
    server = MailServer(ctx.workdir, "pool-server")
    proxy = Proxy(ctx, "pool-proxy", upstream=server.port, scanner=first_scanner,
                  extra=["--scanner", "clamd:tcp:" + second_name])

    def detections(clamd):
        return clamd.log_text().count("Divivez.Test.EICAR")

    def send_infected(count, name):
        for i in range(count):
            tag = tag_for(ctx, "%s-%d" % (name, i))
            code, reply, _ = send_one(ctx, proxy.port, message(tag, [b"EICAR next:", EICAR]))
            check((code, reply) == (250, b"Mail accepted"),
                  "%s message %d answered %d %r" % (name, i, code, reply))

    send_infected(4, "pool-turns")
    check(wait_for(lambda: detections(first) >= 1 and detections(second) >= 1, 10),
          "idle scans did not take turns: %d and %d detections" % (detections(first), detections(second)))

    count = 40 if wine else 80
    tags = [tag_for(ctx, "pool%03d" % i) for i in range(count)]
    infected = set(range(4, count, 5))
    texts = [message(t, [b"EICAR next:", EICAR] if i in infected else None) for i, t in enumerate(tags)]
    done = [0]
    lock = threading.Lock()

    def one(i):
        try:
            code, reply, _ = send_one(ctx, proxy.port, texts[i])
        except Exception as e:
            code, reply = 0, repr(e).encode()
        with lock:
            done[0] += 1
        return code, reply

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        futures = [pool.submit(one, i) for i in range(count)]
        check(wait_for(lambda: done[0] >= count // 4, 120 * ctx.build.slow), "the run stalled")
        second.stop()
        results = [f.result() for f in futures]
    check(wait_for(lambda: ("scanner %s down: " % second_name) in proxy.log_text(), 10),
          "no log line for the stopped clamd:\n" + proxy.proc.log_tail())
    check("trying it once more on" in proxy.log_text(),
          "no scan was tried again on the other clamd:\n" + proxy.proc.log_tail())
    for i, (tag, text, (code, reply)) in enumerate(zip(tags, texts, results)):
        if i in infected:
            check((code, reply) == (250, b"Mail accepted"),
                  "infected message %d answered %d %r" % (i, code, reply))
            assert_not_delivered(server, tag)
        else:
            check(code == 250 and b"queued as E2E" in reply,
                  "message %d answered %d %r although one clamd still worked" % (i, code, reply))
            assert_delivered(server, tag, with_insert(sent_content(text)))

    second = Clamd(ctx.workdir, tcp=True, name="pool-clamd-b", port=second.port)
    check(wait_for(lambda: ("scanner %s up again" % second_name) in proxy.log_text(), 45),
          "the restarted clamd was not logged up again:\n" + proxy.proc.log_tail())
    before = detections(second)
    send_infected(2, "pool-back")
    check(wait_for(lambda: detections(second) > before, 10),
          "the restarted clamd took no scan:\n" + second.log_text()[-1500:])
    check(proxy.proc.alive(), "the proxy died")
    proxy.stop()
    server.stop()
    first.stop()
    second.stop()


def sc_routes_two_upstreams(ctx):
    """A settings file's route beside the default one: each listener relays
    to its own route's server, at once; with no top-level listener only the
    routes listen (no default 127.0.0.1:2525)."""
    home = MailServer(ctx.workdir, "routes-home-" + ctx.mode)
    work = MailServer(ctx.workdir, "routes-work-" + ctx.mode)
    config = os.path.join(ctx.workdir, "routes-%s.conf" % ctx.mode)
    with open(config, "w") as f:
        f.write("[route work]\nlisten = 127.0.0.1:0\nupstream = 127.0.0.1:%d\n" % work.port)
    proxy = Proxy(ctx, "routes-proxy-" + ctx.mode, upstream=home.port,
                  extra=["--config", ctx.build.path(config), "--metrics", "127.0.0.1:0"])
    check([(name, kind) for name, kind, _ in proxy.listeners] == [("-", "listen"), ("work", "listen")],
          "the port file does not list both listeners: %r" % proxy.listeners)
    work_port = proxy.listener_port("work")
    check(proxy.listener_port("-") == proxy.port, "the port file's first line is not the default listener")
    check("listening on 127.0.0.1:%d (route work)" % work_port in proxy.log_text(),
          "the route's listener is not in the log:\n" + proxy.log_text()[-2000:])
    # Both sessions open before either sends: the routes serve at once.
    clients = {}
    try:
        for route, port in (("home", proxy.port), ("work", work_port)):
            clients[route] = smtp(ctx, port, timeout=30)
        for route, client in clients.items():
            tag = tag_for(ctx, "routes-" + route)
            text = message(tag)
            refused = client.sendmail("sender@example.test", ["receiver@example.test"], text)
            check(not refused, "route %s refused %r" % (route, refused))
            client.quit()
            assert_delivered(home if route == "home" else work, tag, with_insert(sent_content(text)))
            assert_not_delivered(work if route == "home" else home, tag)
    finally:
        for client in clients.values():
            client.close()
    # The connection's last line comes once the proxy has seen the close.
    check(wait_for(lambda: re.search(r"conn \d+ \[route work\] from ", proxy.log_text()), 10),
          "the work route's connection is not named in the log:\n" + proxy.log_text()[-2000:])
    # One connection each by route; the total keeps its unlabelled series.
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics_port(proxy), timeout=10) as r:
        exposition = r.read().decode()
    for series in ('divivez_route_connections_total{route=""} 1', 'divivez_route_connections_total{route="work"} 1',
                   'divivez_route_connections_open{route="work"} 0', "divivez_connections_total 2"):
        check(series in exposition.splitlines(), "no %r in the metrics:\n%s" % (series, exposition))
    proxy.stop()

    only = os.path.join(ctx.workdir, "routes-only-%s.conf" % ctx.mode)
    with open(only, "w") as f:
        f.write("[route work]\nlisten = 127.0.0.1:0\nupstream = 127.0.0.1:%d\n" % work.port)
    alone = Proxy(ctx, "routes-alone-" + ctx.mode, upstream=None, listen=None,
                  extra=["--config", ctx.build.path(only)])
    listening = re.findall(r"listening on (\S+)", alone.log_text())
    check(listening == ["127.0.0.1:%d" % alone.port], "with only a route, the proxy listens on %r" % listening)
    tag = tag_for(ctx, "routes-alone")
    text = message(tag)
    check(send_one(ctx, alone.port, text)[0] == 250, "the route alone did not take the message")
    assert_delivered(work, tag, with_insert(sent_content(text)))
    alone.stop()
    home.stop()
    work.stop()


def sc_routes_certificates(ctx):
    """Each route's certificate is loaded at start-up (one that cannot be
    read, or whose key is another's, stops the proxy naming the route and
    the file) and again on SIGHUP (a bad file keeps the one in force)."""
    certs = certificates(ctx.workdir)
    server = MailServer(ctx.workdir, "routes-cert-server-" + ctx.mode)
    garbage = os.path.join(ctx.workdir, "routes-garbage-%s.pem" % ctx.mode)
    with open(garbage, "w") as f:
        f.write("not a certificate\n")
    for name, cert, key, said in (
            ("garbage", garbage, certs.localhost.key, "routes-garbage-%s.pem" % ctx.mode),
            ("missing", garbage + ".none", certs.localhost.key, "routes-garbage-%s.pem.none" % ctx.mode),
            ("mismatch", certs.localhost.crt, certs.wrong_name.key, "")):
        config = os.path.join(ctx.workdir, "routes-bad-%s-%s.conf" % (name, ctx.mode))
        with open(config, "w") as f:
            f.write("[route work]\nlisten = 127.0.0.1:0\nupstream = 127.0.0.1:%d\n"
                    "tls-cert = %s\ntls-key = %s\n" % (server.port, ctx.build.path(cert), ctx.build.path(key)))
        code, out = run(ctx.build.argv(["--config", ctx.build.path(config), "--plugin",
                                        ctx.build.path(ctx.build.plugin)]),
                        60 * ctx.build.slow, env=ctx.build.env(ctx.tmpdir))
        check(code == 2 and "route 'work': --tls-cert: " in out and said in out,
              "certificate %s at start-up gave status %d:\n%s" % (name, code, out[-1000:]))

    # The default route's certificate and a route's own, reloaded one by one.
    cert = os.path.join(ctx.workdir, "routes-cert-%s.pem" % ctx.mode)
    work_cert = os.path.join(ctx.workdir, "routes-work-cert-%s.pem" % ctx.mode)
    shutil.copy(certs.localhost.pem, cert)
    shutil.copy(certs.localhost.pem, work_cert)
    config = os.path.join(ctx.workdir, "routes-reload-%s.conf" % ctx.mode)
    with open(config, "w") as f:
        f.write("tls-cert = %s\n[route work]\nlisten-tls = 127.0.0.1:0\nupstream = 127.0.0.1:%d\n"
                "tls-cert = %s\n" % (ctx.build.path(cert), server.port, ctx.build.path(work_cert)))
    proxy = Proxy(ctx, "routes-reload-" + ctx.mode, upstream=server.port,
                  extra=["--config", ctx.build.path(config)])
    tls_port = proxy.listener_port("work", "listen-tls")
    for line in ("listening on 127.0.0.1:%d (route work, implicit TLS)" % tls_port,
                 "route work: upstream 127.0.0.1:%d; certificate %s" % (server.port, ctx.build.path(work_cert)),
                 "default route: certificate %s" % ctx.build.path(cert)):
        check(line in proxy.log_text(), "no start-up line %r:\n%s" % (line, proxy.log_text()[-2000:]))

    def served():
        """The certificate the work route's implicit-TLS listener sends now (DER)."""
        with socket.create_connection(("127.0.0.1", tls_port), 10) as raw:
            with client_tls_context().wrap_socket(raw, server_hostname="localhost") as tls:
                return tls.getpeercert(binary_form=True)

    def leaf(identity):
        with open(identity.leaf) as f:
            return ssl.PEM_cert_to_DER_cert(f.read())

    def reload(line, count):
        proxy.proc.popen.send_signal(signal.SIGHUP)
        check(wait_for(lambda: proxy.log_text().count(line) == count, 10),
              "no %r line after SIGHUP:\n%s" % (line, proxy.proc.log_tail()))

    check(served() == leaf(certs.localhost), "the route does not serve its certificate")
    client = smtp(ctx, proxy.port)
    try:
        with open(cert, "w") as f:
            f.write("half written\n")
        shutil.copy(certs.wrong_name.pem, work_cert)
        reload("certificate reload FAILED, the one in force stays: ", 1)
        check(wait_for(lambda: "certificate of route work reloaded from " in proxy.log_text(), 10),
              "the work route's certificate was not reloaded:\n" + proxy.proc.log_tail())
        check("nothing to reload" not in proxy.log_text(), "SIGHUP said nothing was reloaded")
        check(served() == leaf(certs.wrong_name), "the next client did not get the reloaded certificate")
        shutil.copy(certs.localhost.pem, cert)
        reload("certificate reloaded from %s" % ctx.build.path(cert), 1)
        # The session that was open all along goes on.
        tag = tag_for(ctx, "routes-reload")
        text = message(tag)
        code, reply = send_on(client, text)
        check(code == 250, "after the reloads the open session got %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_delivered(server, tag, with_insert(sent_content(text)))
    proxy.stop()
    server.stop()


def send_one(ctx, port, text):
    """One message over smtplib: (code, reply) of its end of data, and
    whether the proxy closed the connection after it."""
    client = smtp(ctx, port, timeout=30)
    closed = False
    try:
        check(client.mail("sender@example.test")[0] == 250, "MAIL failed")
        check(client.rcpt("receiver@example.test")[0] == 250, "RCPT failed")
        code, reply = client.data(text)
        try:
            client.quit()
        except (smtplib.SMTPServerDisconnected, OSError):
            closed = True
    finally:
        client.close()
    return code, reply, closed


def sc_scan_error_tempfail(ctx):
    """With the default policy a scan error (clamd down, an error reply such
    as its size limit, a time-out) gives the client 451 4.7.0, closes the
    connection, and delivers nothing; the server never hears DATA."""
    server = MailServer(ctx.workdir, "tempfail-server-" + ctx.mode)
    dead = free_port()  # nothing listens there
    erring = SlowClamd(ctx.workdir, "tempfail-erring-clamd-" + ctx.mode, 0, False,
                       reply="INSTREAM size limit exceeded. ERROR")
    slow = SlowClamd(ctx.workdir, "tempfail-slow-clamd-" + ctx.mode, 6, False)
    cases = [
        ("down", "clamd:tcp:127.0.0.1:%d" % dead, [], b"scanner unavailable"),
        ("error", "clamd:tcp:127.0.0.1:%d" % erring.port, [], b"scan failed"),
        ("timeout", "clamd:tcp:127.0.0.1:%d" % slow.port, ["--scan-timeout", "1"], b"timed out"),
    ]
    for name, scanner, extra, reason in cases:
        proxy = Proxy(ctx, "tempfail-proxy-%s-%s" % (name, ctx.mode), upstream=server.port,
                      scanner=scanner, extra=extra)
        tag = tag_for(ctx, "tempfail-" + name)
        code, reply, closed = send_one(ctx, proxy.port, message(tag))
        check(code == 451 and reply.startswith(b"4.7.0") and reason in reply,
              "clamd %s: the end of data was answered %d %r, not 451 4.7.0 (%s)" % (
                  name, code, reply, reason.decode()))
        check(closed, "clamd %s: the connection stayed open after the 451" % name)
        check(wait_for(lambda: "answered 451 4.7.0" in proxy.log_text(), 5),
              "clamd %s: no log line for the 451:\n%s" % (name, proxy.proc.log_tail()))
        time.sleep(0.3)
        assert_not_delivered(server, tag)
        check(proxy.proc.alive(), "the proxy died")
        proxy.stop()
    check(not server.messages(), "the server stored %d message(s)" % len(server.messages()))
    check(not server.events("DATA"), "the server heard DATA: %r" % server.events("DATA")[:3])
    for item in (slow, erring, server):
        item.stop()


def sc_scan_error(ctx):
    """--on-scan-error drop treats a failed scan as infected; pass delivers
    the message without the inserted text and logs a warning."""
    server = MailServer(ctx.workdir, "scanerr-server-" + ctx.mode)
    dead = free_port()  # nothing listens there
    # tempfail last: under Wine the plug-in's spool-failure setting lives in
    # the prefix's registry, and pass must not stay behind in it.
    for policy in ("drop", "pass", "tempfail"):
        # Only an infected message is rejected: a failed scan dropped stays
        # a silent drop.
        proxy = Proxy(ctx, "scanerr-proxy-%s-%s" % (policy, ctx.mode), upstream=server.port,
                      scanner="clamd:tcp:127.0.0.1:%d" % dead, on_scan_error=policy,
                      extra=["--on-infected", "reject"])
        tag = tag_for(ctx, "scanerr-" + policy)
        text = message(tag)
        code, reply, _ = send_one(ctx, proxy.port, text)
        if policy == "drop":
            check((code, reply) == (250, b"Mail accepted"), "drop policy answered %d %r" % (code, reply))
            time.sleep(0.3)
            assert_not_delivered(server, tag)
        elif policy == "pass":
            check(code == 250 and b"queued as E2E" in reply, "pass policy answered %d %r" % (code, reply))
            assert_delivered(server, tag, sent_content(text))
            check(wait_for(lambda: re.search(r"WARNING: conn \d+ msg 1 .*passing it UNSCANNED",
                                             proxy.log_text()), 5),
                  "no warning line for the unscanned message:\n" + proxy.proc.log_tail())
            # With the plug-in's own sockets the server's answer may get past
            # the host; the line then says so.
            outcome = "delivered in|its answer was read by the plug-in unseen" if ctx.mode == "plugin" \
                else "delivered in"
            check(wait_for(lambda: re.search(r"UNSCANNED \(scan failed.*(%s)" % outcome,
                                             proxy.log_text()), 5),
                  "the message's line does not say it went unscanned and was delivered:\n" +
                  proxy.proc.log_tail())
        else:
            check(code == 451, "tempfail policy answered %d %r" % (code, reply))
            assert_not_delivered(server, tag)
        proxy.stop()
    server.stop()


def sc_spool_failure(ctx):
    """The plug-in cannot create its spool file (no temporary directory):
    with the default policy the client's DATA is refused with 451 and the
    server hears nothing; with --on-scan-error pass the message is relayed
    unscanned."""
    server = MailServer(ctx.workdir, "policy-nospool-server-" + ctx.mode)
    missing = os.path.join(ctx.workdir, "no-such-tmp-" + ctx.mode)
    for policy in ("tempfail", "pass"):
        proxy = Proxy(ctx, "policy-nospool-proxy-%s-%s" % (policy, ctx.mode), upstream=server.port,
                      on_scan_error=policy, temp_dir=missing)
        tag = tag_for(ctx, "nospool-" + policy)
        text = message(tag)
        client = smtp(ctx, proxy.port)
        try:
            check(client.mail("sender@example.test")[0] == 250, "MAIL failed")
            check(client.rcpt("receiver@example.test")[0] == 250, "RCPT failed")
            if policy == "tempfail":
                code, reply = client.docmd("DATA")
                check(code == 451, "DATA without a spool file answered %d %r, not 451" % (code, reply))
                client.rset()
            else:
                code, reply = client.data(text)
                check(code == 250, "pass: the message answered %d %r" % (code, reply))
            client.quit()
        finally:
            client.close()
        if policy == "tempfail":
            time.sleep(0.3)
            assert_not_delivered(server, tag)
            check(not server.events("DATA"), "the server heard DATA")
        else:
            assert_delivered(server, tag, sent_content(text))
            check(wait_for(lambda: "went to the server UNSCANNED" in proxy.log_text(), 5),
                  "no warning for the message relayed unscanned:\n" + proxy.proc.log_tail())
        proxy.stop()
    server.stop()


def sc_per_address_limit(ctx):
    """60 connections from one address: 50 are served, 10 hear 421 4.7.0."""
    server = MailServer(ctx.workdir, "peraddr-server-" + ctx.mode)
    proxy = Proxy(ctx, "peraddr-proxy-" + ctx.mode, upstream=server.port)
    clients = []
    try:
        for _ in range(60):
            clients.append(RawClient(proxy.port, 30 * ctx.build.slow))
        codes = []
        for c in clients:
            code, lines = c.reply()
            codes.append((code, lines))
        served = [x for x in codes if x[0] == 220]
        refused = [x for x in codes if x[0] == 421]
        check(len(served) == 50 and len(refused) == 10,
              "%d greeted, %d refused; replies %r" % (len(served), len(refused),
                                                       sorted(set(str(x[1][:1]) for x in codes))))
        check(all("4.7.0 Too many connections from your address" in x[1][0] for x in refused),
              "the refusals read %r" % refused[0][1])
        refusals = proxy.log_text().count("(--max-per-address)")
        check(refusals == 10, "the log has %d refusal lines, not 10" % refusals)
    finally:
        for c in clients:
            c.close()
    # The slots come back once the connections have ended.
    def one_more():
        c = RawClient(proxy.port, 30 * ctx.build.slow)
        try:
            return c.reply()[0] == 220
        finally:
            c.close()
    check(wait_for(one_more, 10, 0.5), "no connection is served after the others closed")
    check(proxy.proc.alive(), "the proxy died")
    proxy.stop()
    server.stop()


def sc_command_time_limit(ctx):
    """A client that sends a byte every 1.5 s but never completes a command
    is cut when --command-timeout (4 s) has passed since its last complete
    one; under the old idle time-out every byte would have renewed it."""
    server = MailServer(ctx.workdir, "dribble-server-" + ctx.mode)
    proxy = Proxy(ctx, "dribble-proxy-" + ctx.mode, upstream=server.port,
                  extra=["--command-timeout", "4"])
    c = RawClient(proxy.port, 30 * ctx.build.slow)
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        started = time.monotonic()
        cut_after = None
        for byte in b"NOOP NOOP NOOP NOOP NOOP NOOP":
            try:
                c.send(bytes([byte]))
            except OSError:
                cut_after = time.monotonic() - started
                break
            c.sock.settimeout(1.5)
            try:
                chunk = c.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                chunk = b""
            cut_after = time.monotonic() - started
            c.buffer += chunk
            break
        check(cut_after is not None, "the client was never cut")
        check(3.5 <= cut_after <= 4 + 4 * ctx.build.slow,
              "the client was cut after %.1f s, not at the 4 s limit" % cut_after)
        check(b"421 4.4.2" in c.buffer, "the client heard %r, not 421 4.4.2" % c.buffer)
    finally:
        c.close()
    check(wait_for(lambda: "command time-out" in proxy.log_text(), 5),
          "no log line names the command time-out:\n" + proxy.proc.log_tail())
    proxy.stop()
    server.stop()


def sc_max_message_size(ctx):
    """A message over --max-message-size is answered 552 5.3.4 and never
    reaches the server; one under it is delivered."""
    server = MailServer(ctx.workdir, "maxsize-server-" + ctx.mode)
    proxy = Proxy(ctx, "maxsize-proxy-" + ctx.mode, upstream=server.port,
                  extra=["--max-message-size", "100000"])
    small = tag_for(ctx, "maxsize-small")
    small_text = big_text(small, 60000)
    code, reply, _ = send_one(ctx, proxy.port, small_text)
    check(code == 250, "a message under the cap answered %d %r" % (code, reply))
    assert_delivered(server, small, with_insert(sent_content(small_text)))
    # Caught at the scan: the whole message is spooled first.
    tag = tag_for(ctx, "maxsize-over")
    code, reply, closed = send_one(ctx, proxy.port, big_text(tag, 150000))
    check(code == 552 and reply.startswith(b"5.3.4"),
          "a 150000-byte message answered %d %r, not 552 5.3.4" % (code, reply))
    time.sleep(0.3)
    assert_not_delivered(server, tag)
    # Caught while it arrives: a client that would send 20 MB is stopped
    # long before the end.
    huge = tag_for(ctx, "maxsize-huge")
    c = RawClient(proxy.port, 30 * ctx.build.slow)
    heard = b""
    sent = 0
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        check(c.command("DATA")[0] == 354, "DATA failed")
        chunk = b"Subject: " + huge + b"\r\n\r\n" + (b"x" * 998 + b"\r\n") * 64
        while sent < 20 * 1024 * 1024 and b"\r\n" not in heard:
            try:
                c.sock.sendall(chunk)
                sent += len(chunk)
                ready, _, _ = select.select([c.sock], [], [], 0.01)
                if ready:
                    heard += c.sock.recv(4096)
            except OSError:
                c.sock.settimeout(2)
                try:
                    heard += c.sock.recv(4096)
                except OSError:
                    pass
                break
    finally:
        c.close()
    check(heard.startswith(b"552 5.3.4"), "the client sending %d bytes heard %r, not 552 5.3.4" % (sent, heard))
    check(sent < 10 * 1024 * 1024, "the proxy took %d bytes before it answered" % sent)
    time.sleep(0.3)
    assert_not_delivered(server, huge)
    check("max-message-size" in proxy.log_text(), "no log line names the limit")
    proxy.stop()
    server.stop()


def sc_server_answer_logged(ctx):
    """A message's log line states the server's final answer: delivered with
    its queue reply, or refused with its code (not counted as delivered);
    a command with an escape byte is refused and never reaches the log raw."""
    refusing = SmtpSink(ctx.workdir, "answer-sink-refuse-" + ctx.mode, ["-f", "."])
    taking = SmtpSink(ctx.workdir, "answer-sink-take-" + ctx.mode, [])
    for sink, refused in ((refusing, True), (taking, False)):
        proxy = Proxy(ctx, "answer-proxy-%s-%s" % ("refuse" if refused else "take", ctx.mode),
                      upstream=sink.port)
        tag = tag_for(ctx, "answer")
        c = RawClient(proxy.port, 30 * ctx.build.slow)
        try:
            check(c.reply()[0] == 220, "no greeting")
            check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
            # An escape sequence is a control byte: the line is refused,
            # and reaches neither the server nor the log raw.
            check(c.command("MAIL FROM:<esc\x1b[31mred@example.test>")[0] == 500,
                  "a MAIL with an escape byte was not refused")
            # The plug-in answers that at once: with its own sockets it may
            # read the next command in the same call, past the host's peek.
            # A command the server answers comes first.
            check(c.command("NOOP")[0] == 250, "NOOP failed")
            check(c.command("MAIL FROM:<red@example.test>")[0] == 250, "MAIL failed")
            check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
            check(c.command("DATA")[0] == 354, "DATA failed")
            c.send(stuff(sent_content(message(tag))) + b".\r\n")
            code, lines = c.reply()
            c.command("QUIT")
        finally:
            c.close()
        line = (r"msg 1 from <red@example\.test> to <receiver@example\.test>: "
                r".*clean; scan \d+ ms, ")
        # With the plug-in's own sockets a reply the plug-in reads in the
        # same call as the 354 gets past the host: the line then says so.
        unseen = "|sent to the server; its answer was read by the plug-in unseen" if ctx.mode == "plugin" else ""
        if refused:
            check(code is not None and code >= 500, "the refused message answered %r" % lines)
            pattern = line + r"(REFUSED by the server after \d+ ms: 5\d\d %s)" % unseen
        else:
            check(code == 250, "the message answered %r" % lines)
            pattern = line + r"(delivered in \d+ ms: 250 %s)" % unseen
        check(wait_for(lambda: re.search(pattern, proxy.log_text()), 5),
              "no log line states the server's answer as expected (%s):\n%s" % (
                  pattern, proxy.proc.log_tail(8)))
        check("\x1b" not in proxy.log_text(), "a raw escape byte reached the log")
        proxy.stop()
        counters = re.findall(r"delivered (\d+), refused by the server (\d+), delivery failed "
                              r"\d+, answer not seen (\d+)", proxy.log_text())
        expected = [("0", "1", "0") if refused else ("1", "0", "0")]
        if ctx.mode == "plugin":
            expected.append(("0", "0", "1"))
        check(counters and counters[-1] in expected,
              "counters at exit: delivered/refused/not seen %r" % counters)
        sink.stop()


def sc_upstream_refused(ctx):
    dead = free_port()
    proxy = Proxy(ctx, "refused-upstream-proxy", upstream=dead, extra=["--connect-timeout", "5"])
    for attempt in range(2):
        c = RawClient(proxy.port, 30 * ctx.build.slow)
        try:
            code, lines = c.reply()
            check(code == 421, "connection %d with the upstream down was answered %r, not 421" % (attempt + 1, lines))
        finally:
            c.close()
        check(proxy.proc.alive(), "the proxy died")
    proxy.stop()


def sc_capture_server(ctx):
    """Without --upstream the embedded capture server stores the message."""
    proxy = Proxy(ctx, "capture-proxy")
    tag = tag_for(ctx, "capture")
    text = message(tag)
    client = smtp(ctx, proxy.port)
    try:
        refused = client.sendmail("sender@example.test", ["receiver@example.test"], text)
        check(refused == {}, "refused %r" % refused)
        client.quit()
    finally:
        client.close()

    def stored():
        if not os.path.isdir(proxy.outbox):
            return None
        names = [n for n in os.listdir(proxy.outbox) if n.endswith(".eml")]
        return names or None

    names = wait_for(stored, 10)
    check(names and len(names) == 1, "the outbox holds %r" % names)
    with open(os.path.join(proxy.outbox, names[0]), "rb") as f:
        content = f.read()
    expected = with_insert(sent_content(text))
    check(content == expected, "stored message differs: %s" % describe_diff(expected, content))
    proxy.stop()


def send_on(client, text, sender="sender@example.test", rcpts=("receiver@example.test",)):
    """One message on an open smtplib session: (code, reply) of its end of data."""
    check(client.mail(sender)[0] == 250, "MAIL failed")
    for rcpt in rcpts:
        check(client.rcpt(rcpt)[0] == 250, "RCPT %s failed" % rcpt)
    return client.data(text)


def dropped_then_delivered(ctx, port, bad_text, good_text, **envelope):
    """In one session: bad_text (with envelope) is dropped, good_text delivered."""
    client = smtp(ctx, port)
    try:
        code, reply = send_on(client, bad_text, **envelope)
        check((code, reply) == (250, b"Mail accepted"), "the infected message: %d %r" % (code, reply))
        code, reply = send_on(client, good_text)
        check(code == 250 and b"queued as E2E" in reply, "the clean message: %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()


def sc_signature_reload(ctx):
    """SIGHUP re-reads --signatures while a client stays connected: the new
    set decides the next message of that session; a file that fails to load
    leaves the set in force."""
    server = MailServer(ctx.workdir, "reload-server-" + ctx.mode)
    signatures = os.path.join(ctx.workdir, "reload-signatures-%s.txt" % ctx.mode)
    first = b"DIVIVEZ-E2E-RELOAD-FIRST-51c0"
    second = b"DIVIVEZ-E2E-RELOAD-SECOND-9e27"

    def rewrite(text):
        with open(signatures, "w") as f:
            f.write(text)

    rewrite("Reload.First %s\n" % first.hex())
    proxy = Proxy(ctx, "reload-proxy-" + ctx.mode, upstream=server.port, signatures=signatures)

    def reload(expected_line, count):
        proxy.proc.popen.send_signal(signal.SIGHUP)
        check(wait_for(lambda: proxy.log_text().count(expected_line) == count, 10),
              "no %r line after SIGHUP:\n%s" % (expected_line, proxy.proc.log_tail()))

    tags = {name: tag_for(ctx, "reload-" + name) for name in ("before", "after", "first", "kept")}
    texts = {name: message(tag, [b"text " + (first if name == "first" else second) + b" text"])
             for name, tag in tags.items()}
    client = smtp(ctx, proxy.port)
    try:
        code, reply = send_on(client, texts["before"])
        check(code == 250 and b"queued as E2E" in reply, "before the reload: %d %r" % (code, reply))
        rewrite("# replaced\nReload.Second %s\n" % second.hex())
        reload("signatures reloaded", 1)
        code, reply = send_on(client, texts["after"])
        check((code, reply) == (250, b"Mail accepted"), "after the reload: %d %r, not dropped" % (code, reply))
        code, reply = send_on(client, texts["first"])
        check(code == 250 and b"queued as E2E" in reply,
              "the replaced signature still matched: %d %r" % (code, reply))
        rewrite("Reload.Third %s\nBroken 4\n" % first.hex())
        reload("signature reload FAILED", 1)
        # Caught half written: empty, or short of the count it announces.
        rewrite("")
        reload("signature reload FAILED", 2)
        rewrite("# signatures: 2\nReload.Third %s\n" % first.hex())
        reload("signature reload FAILED", 3)
        check("announces 2 signatures but holds 1" in proxy.log_text(),
              "the refused reload does not say why:\n" + proxy.proc.log_tail())
        code, reply = send_on(client, texts["kept"])
        check((code, reply) == (250, b"Mail accepted"),
              "after a failed reload: %d %r, the set in force was not kept" % (code, reply))
        client.quit()
    finally:
        client.close()
    for name in ("before", "first"):
        assert_delivered(server, tags[name], with_insert(sent_content(texts[name])))
    for name in ("after", "kept"):
        assert_not_delivered(server, tags[name])
    check("INFECTED (Reload.Second)" in proxy.log_text(), "the log does not name Reload.Second")
    check(proxy.log_text().count("conn 1 ") >= 4 and "conn 2 " not in proxy.log_text(),
          "the messages did not all go over one connection:\n" + proxy.proc.log_tail())
    proxy.stop()
    server.stop()


class WinePrefix:
    """A Wine prefix of a scenario's own, for a service registered for
    automatic start (which would start with every program of a shared
    prefix). A new prefix's Service Control Manager stays locked while the
    prefix is being made: it is made, then "rebooted". The new server
    outlives each program, and its first program's services (the event
    log's among them) write the +eventlog trace to trace_path."""

    def __init__(self, ctx, base, trace_path):
        self.path = os.path.join(base, "prefix")
        self.env = ctx.build.env()
        self.env["WINEPREFIX"] = self.path
        self.env["WINEDEBUG"] = "-all"
        self.drive_c = os.path.join(self.path, "drive_c")
        subprocess.run(["wine", "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180, check=True)
        subprocess.run(["wineserver", "-k"], env=self.env)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        subprocess.run(["wineserver", "-p", "300"], env=self.env, check=True)
        with open(trace_path, "wb") as trace:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=dict(self.env, WINEDEBUG="-all,+eventlog"),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace,
                           timeout=180, check=True)

    def wine(self, *argv, timeout=60):
        return run(["wine"] + list(argv), timeout, env=self.env)

    def service_state(self):
        return self.wine("sc", "query", "divivez")[1]

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env)
        shutil.rmtree(self.path, ignore_errors=True)


def file_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\divivez"


def sc_windows_service(ctx):
    """divivez-proxy.exe as the Windows service divivez in a Wine prefix of
    its own: registered by --windows-service install, started by net start,
    it delivers a clean message with the header and drops EICAR; PARAMCHANGE
    (sent through the Service Control Manager, as sc control does: Wine's sc
    has no "control") reopens the rotated log file and reloads the
    signatures; net stop gives an open session the grace, then 421;
    uninstall leaves no service. A fatal error at start-up is logged and
    ends the service with its exit status. Wine's event-log service keeps no log to
    read back: its +eventlog trace shows the ReportEvent calls."""
    build = ctx.build
    base = os.path.join(ctx.workdir, "service")
    os.makedirs(base, exist_ok=True)
    trace_path = os.path.join(base, "eventlog-trace.txt")
    port_file = os.path.join(base, "port")
    signatures = os.path.join(base, "signatures.txt")
    first = b"DIVIVEZ-E2E-SERVICE-FIRST-7d21"
    second = b"DIVIVEZ-E2E-SERVICE-SECOND-c4a8"
    server = MailServer(ctx.workdir, "service-server")
    prefix = None
    try:
        prefix = WinePrefix(ctx, base, trace_path)
        wine, state = prefix.wine, prefix.service_state
        log_path = os.path.join(prefix.drive_c, "ProgramData", "divivez", "divivez-proxy.log")

        def log_text(path=log_path):
            return file_text(path)

        code, out = wine(build.exe, "--windows-service", "install", "--listen", "127.0.0.1:0",
                         "--port-file", build.path(port_file), "--upstream", "127.0.0.1:%d" % server.port,
                         "--signatures", build.path(signatures), "--shutdown-grace", "3")
        check(code == 0 and "service divivez created" in out and "event-log source divivez: done" in out,
              "install failed (%d):\n%s" % (code, out))
        code, out = wine("reg", "query", EVENT_SOURCE_KEY)
        check(code == 0 and "EventMessageFile" in out and "divivez-proxy.exe" in out,
              "no event-log source registered (%d):\n%s" % (code, out))
        # A fatal error at start-up (the signature file is not there yet):
        # the log file and the event log say it, the service reports its exit.
        # (Wine's net start reports success once the service has started to
        # start: its state is what tells.)
        code, out = wine("net", "start", "divivez")
        check(wait_for(lambda: "STOPPED" in state(), 20),
              "the service started without its signature file (%d):\n%s\n%s" % (code, out, state()))
        check(re.search(r"SERVICE_EXIT_CODE +: 2\b", state()), "no exit status 2:\n" + state())
        check(re.search(r"divivez-proxy: FATAL: signature file: cannot open .*signatures\.txt", log_text()),
              "no FATAL line in the log:\n" + log_text())
        with open(signatures, "w") as f:
            f.write("Service.First %s\n" % first.hex())
        code, out = wine("net", "start", "divivez")
        check(code == 0 and "RUNNING" in state(), "net start failed (%d):\n%s\n%s" % (code, out, log_text()))
        check(wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 20),
              "no port file:\n" + log_text())
        port = int(open(port_file).read().split()[0])
        check("running as the service divivez; event log: start-up event reported" in log_text(),
              "the start-up line does not report the event:\n" + log_text())

        tags = {name: tag_for(ctx, "service-" + name) for name in ("clean", "eicar", "second")}
        texts = {"clean": message(tags["clean"]),
                 "eicar": message(tags["eicar"], [b"Here:", EICAR]),
                 "second": message(tags["second"], [b"text " + second + b" text"])}
        client = smtp(ctx, port)
        try:
            code, reply = send_on(client, texts["clean"])
            check(code == 250 and b"queued as E2E" in reply, "clean: %d %r" % (code, reply))
            code, reply = send_on(client, texts["eicar"])
            check((code, reply) == (250, b"Mail accepted"), "EICAR: %d %r, not dropped" % (code, reply))
            client.quit()
        finally:
            client.close()
        assert_delivered(server, tags["clean"], with_insert(sent_content(texts["clean"])))
        assert_not_delivered(server, tags["eicar"])

        # Rotation: the file moved aside while open, then the reload.
        os.rename(log_path, log_path + ".1")
        with open(signatures, "w") as f:
            f.write("# replaced\nService.First %s\nService.Second %s\n" % (first.hex(), second.hex()))
        code, out = wine(build.exe, "--windows-service", "reload")
        check(code == 0 and "PARAMCHANGE" in out, "reload failed (%d):\n%s" % (code, out))
        check(wait_for(lambda: "signatures reloaded from" in log_text(), 15),
              "no reload line in the reopened log file:\n%s\n(moved aside:)\n%s"
              % (log_text(), log_text(log_path + ".1")[-1500:]))
        check(re.search(r"log file .*divivez-proxy\.log reopened\n.*signatures reloaded from .*: 3 in "
                        r"force for the scans that start from now on \(2 before\)", log_text()),
              "the reopened log does not start with the reload's lines:\n" + log_text())
        client = smtp(ctx, port)
        try:
            code, reply = send_on(client, texts["second"])
            check((code, reply) == (250, b"Mail accepted"),
                  "after PARAMCHANGE: %d %r, the new signature did not match" % (code, reply))
            # An open session for the stop: it gets the grace, then 421.
            code, _ = client.mail("sender@example.test")
            check(code == 250, "MAIL answered %d" % code)
            stop_started = time.monotonic()
            code, out = wine("net", "stop", "divivez")
            check(code == 0, "net stop failed (%d):\n%s" % (code, out))
            code, reply = client.rcpt("receiver@example.test")
            waited = time.monotonic() - stop_started
            check(code == 250, "RCPT in the grace answered %d %r" % (code, reply))
            try:
                code, reply = client.getreply()
            except smtplib.SMTPServerDisconnected:
                code, reply = -1, b"(closed without a reply)"
            check(code == 421, "the session was not ended with 421: %d %r" % (code, reply))
        finally:
            client.close()
        assert_not_delivered(server, tags["second"])
        check(wait_for(lambda: log_text().rstrip().endswith("divivez-proxy: stopped"), 20),
              "no clean last log line:\n" + log_text())
        check("shutting down: 1 connection(s) open, waiting up to 3000 ms" in log_text(),
              "the stop gave no grace:\n" + log_text())
        check(wait_for(lambda: "STOPPED" in state(), 20), "the service did not report STOPPED")

        code, out = wine(build.exe, "--windows-service", "uninstall")
        check(code == 0 and "service divivez deleted" in out, "uninstall failed (%d):\n%s" % (code, out))
        check("divivez" not in state(), "the service is still registered:\n" + state())
        code, out = wine("reg", "query", EVENT_SOURCE_KEY)
        check(code != 0, "the event-log source is still registered:\n" + out)

        with open(trace_path, encoding="utf-8", errors="replace") as f:
            trace = f.read()
        for event in ("divivez-proxy could not start or stopped: signature file: cannot open ",
                      "divivez-proxy is starting", "divivez-proxy started: 1 listener(s)",
                      "divivez-proxy reloaded on PARAMCHANGE: 3 signature(s) in force",
                      "divivez-proxy stopped"):
            check('ReportEventW L"' + event in trace, "no ReportEvent %r in the trace:\n%s" % (event, trace[-2000:]))
    finally:
        if prefix is not None:
            prefix.close()
        server.stop()


def sc_windows_installer(ctx):
    """The NSIS installer, silent (/S) in a new Wine prefix: it keeps the
    settings file it finds, installs the program and the plug-in, registers
    the service and starts it; a clean message is delivered with the header,
    and again after an upgrade over the running service; the silent
    uninstaller stops and removes the service and the program
    files and keeps the settings file."""
    build = ctx.build
    installers = glob.glob(os.path.join(os.path.dirname(os.path.dirname(build.exe)), "divivez-setup-*.exe"))
    if len(installers) != 1:
        raise Skipped("no installer beside the build: cmake --build --preset win32 --target "
                      "windows-packages (needs makensis, scripts/setup.sh installs nsis)")
    base = os.path.join(ctx.workdir, "installer")
    os.makedirs(base, exist_ok=True)
    port_file = os.path.join(base, "port")
    server = MailServer(ctx.workdir, "installer-server")
    prefix = None
    try:
        prefix = WinePrefix(ctx, base, os.path.join(base, "eventlog-trace.txt"))
        wine, state = prefix.wine, prefix.service_state
        data = os.path.join(prefix.drive_c, "ProgramData", "divivez")
        program = os.path.join(prefix.drive_c, "Program Files", "divivez")
        settings = os.path.join(data, "divivez-proxy.conf")
        os.makedirs(data)
        own = ("# the administrator's own\nlisten = 127.0.0.1:0\nport-file = %s\nupstream = 127.0.0.1:%d\n"
               "shutdown-grace = 2\n" % (build.path(port_file), server.port))
        with open(settings, "w") as f:
            f.write(own)
        code, out = wine(installers[0], "/S", timeout=120)
        check(code == 0, "the silent install failed (%d):\n%s" % (code, out))
        for name in ("divivez-proxy.exe", "divivez.dll", "uninstall.exe"):
            check(os.path.exists(os.path.join(program, name)), "the install left no " + name)
        check(file_text(settings) == own, "the installer changed the settings file:\n" + file_text(settings))
        check(wait_for(lambda: "RUNNING" in state(), 20), "the service is not running:\n" + state())
        check(wait_for(lambda: file_text(port_file).strip(), 20),
              "no port file:\n" + file_text(os.path.join(data, "divivez-proxy.log")))

        def deliver(name):
            port = int(file_text(port_file).split()[0])
            tag = tag_for(ctx, name)
            text = message(tag)
            client = smtp(ctx, port)
            try:
                code, reply = send_on(client, text)
                check(code == 250 and b"queued as E2E" in reply, "%s: %d %r" % (name, code, reply))
                client.quit()
            finally:
                client.close()
            assert_delivered(server, tag, with_insert(sent_content(text)))

        deliver("installed")
        # An upgrade over the running service: stopped, replaced, started.
        os.unlink(port_file)
        code, out = wine(installers[0], "/S", timeout=120)
        check(code == 0, "the silent upgrade failed (%d):\n%s" % (code, out))
        check(wait_for(lambda: "RUNNING" in state() and file_text(port_file).strip(), 20),
              "the service is not running after the upgrade:\n" + state())
        check(file_text(settings) == own, "the upgrade changed the settings file")
        check(file_text(os.path.join(data, "divivez-proxy.log")).count("divivez-proxy: stopped") == 1,
              "the upgrade did not stop the running service cleanly")
        deliver("upgraded")

        code, out = wine(os.path.join("C:\\Program Files\\divivez", "uninstall.exe"), "/S", timeout=120)
        check(code == 0, "the silent uninstall failed (%d):\n%s" % (code, out))
        # The uninstaller runs on from a copy of itself.
        check(wait_for(lambda: not os.path.exists(program), 30),
              "the uninstall left program files: %r" % (os.listdir(program) if os.path.exists(program) else []))
        check("divivez" not in state(), "the service is still registered:\n" + state())
        check(file_text(settings) == own, "the uninstall did not keep the settings file")
        log = file_text(os.path.join(data, "divivez-proxy.log"))
        check(log.rstrip().endswith("divivez-proxy: stopped") and log.count("divivez-proxy: stopped") == 2,
              "no clean last log line:\n" + log[-2000:])
        code, out = wine("reg", "query", EVENT_SOURCE_KEY)
        check(code != 0, "the event-log source is still registered:\n" + out)
    finally:
        if prefix is not None:
            prefix.close()
        server.stop()


def sc_quarantine(ctx):
    """--quarantine keeps each infected message as it was sent, with a JSON
    record of verdict, size, time and envelope; a clean one is not kept."""
    server = MailServer(ctx.workdir, "quarantine-server-" + ctx.mode)
    directory = os.path.join(ctx.workdir, "quarantine-" + ctx.mode)
    proxy = Proxy(ctx, "quarantine-proxy-" + ctx.mode, upstream=server.port,
                  extra=["--quarantine", ctx.build.path(directory)])
    bad = tag_for(ctx, "quarantined")
    good = tag_for(ctx, "not-quarantined")
    bad_text = message(bad, [b"The test file follows.", b".a stuffed line", EICAR, b"."])
    good_text = message(good)
    # A quoted local part with an escaped backslash (smtplib sends it as is).
    sender = '"odd\\\\quote"@example.test'
    dropped_then_delivered(ctx, proxy.port, bad_text, good_text, sender=sender,
                           rcpts=("receiver@example.test", "second@example.test"))
    assert_not_delivered(server, bad)
    assert_delivered(server, good, with_insert(sent_content(good_text)))
    names = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    check(len(names) == 2 and names[0].endswith(".eml") and names[1] == names[0][:-4] + ".json",
          "the quarantine holds %r" % names)
    check(re.match(r"^\d{8}T\d{6}Z-\d+-conn1-msg1\.eml$", names[0]), "quarantine name %r" % names[0])
    with open(os.path.join(directory, names[0]), "rb") as f:
        kept = f.read()
    check(kept == sent_content(bad_text), "kept message differs: %s" % describe_diff(sent_content(bad_text), kept))
    with open(os.path.join(directory, names[1]), "rb") as f:
        record = json.loads(f.read().decode("utf-8"))
    expected = {"verdict": "infected", "signature": "EICAR-Test-File", "size": len(kept),
                "connection": 1, "message": 1, "sender": "<%s>" % sender,
                "first_recipient": "<receiver@example.test>", "recipients": 2, "file": names[0]}
    for key, value in expected.items():
        check(record.get(key) == value, "record %s is %r, expected %r" % (key, record.get(key), value))
    check(re.match(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$", record.get("time", "")), "record time %r" % record.get("time"))
    check(record.get("client", "").startswith("127.0.0.1:"), "record client %r" % record.get("client"))
    if not ctx.build.wine:
        for name in names:
            mode = os.stat(os.path.join(directory, name)).st_mode & 0o777
            check(mode == 0o600, "%s has mode %o" % (name, mode))
    check("kept in quarantine as" in proxy.log_text(), "no quarantine log line")
    proxy.stop()
    server.stop()


def sc_infected_reject(ctx):
    """--on-infected reject: the client hears 554 naming the signature at the
    end of its data, the session goes on to deliver a clean message, the
    quarantine still keeps the infected one, and the metrics count it apart
    from the dropped ones."""
    server = MailServer(ctx.workdir, "reject-server-" + ctx.mode)
    directory = os.path.join(ctx.workdir, "reject-quarantine-" + ctx.mode)
    proxy = Proxy(ctx, "reject-proxy-" + ctx.mode, upstream=server.port,
                  extra=["--on-infected", "reject", "--quarantine", ctx.build.path(directory),
                         "--metrics", "127.0.0.1:0"])
    bad = tag_for(ctx, "rejected")
    good = tag_for(ctx, "after-rejected")
    bad_text = message(bad, [b"The test file follows.", EICAR])
    good_text = message(good)
    client = smtp(ctx, proxy.port)
    try:
        try:
            answer = send_on(client, bad_text)
        except smtplib.SMTPDataError as e:
            answer = (e.smtp_code, e.smtp_error)
        check(answer == (554, b"5.7.1 Message rejected: infected (EICAR-Test-File)"),
              "the infected message: %r" % (answer,))
        code, reply = send_on(client, good_text)
        check(code == 250 and b"queued as E2E" in reply, "the clean message: %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_not_delivered(server, bad)
    assert_delivered(server, good, with_insert(sent_content(good_text)))
    names = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    check(len(names) == 2, "the quarantine holds %r" % names)
    check(re.search(r"INFECTED \(EICAR-Test-File\), rejected with 554", proxy.log_text()),
          "no log line for the rejected message:\n" + proxy.proc.log_tail())
    found = re.search(r"metrics on http://127\.0\.0\.1:(\d+)/metrics", proxy.log_text())
    check(found, "no metrics address in the log")
    with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % found.group(1), timeout=10) as r:
        metrics = r.read().decode("utf-8")
    for outcome, value in (("infected_rejected", 1), ("infected", 0), ("dropped_unscanned", 0)):
        check(re.search(r'^divivez_messages_total\{outcome="%s"\} %d$' % (outcome, value), metrics, re.M),
              "metrics: outcome %s is not %d:\n%s" % (outcome, value, metrics))
    proxy.stop()
    server.stop()


# The README's Postfix recipe for an after-queue content filter, as tested:
# main.cf's content_filter sends every message to the proxy through the
# "scan" transport, and the proxy delivers it to the reinjection listener.
def content_filter_recipe(proxy_port):
    main = {"content_filter": "scan:[127.0.0.1]:%d" % proxy_port,
            "receive_override_options": "no_address_mappings"}
    front = {"syslog_name": "postfix/front"}
    scan = ("scan unix - - n - 10 smtp -o smtp_send_xforward_command=yes "
            "-o disable_mime_output_conversion=yes -o smtp_generic_maps=")
    reinject = {
        "content_filter": "",
        "receive_override_options": "no_unknown_recipient_checks,no_header_body_checks,no_milters",
        "smtpd_helo_restrictions": "",
        "smtpd_client_restrictions": "",
        "smtpd_sender_restrictions": "",
        "smtpd_relay_restrictions": "",
        "smtpd_recipient_restrictions": "permit_mynetworks,reject",
        "mynetworks": "127.0.0.0/8",
        "smtpd_authorized_xforward_hosts": "127.0.0.0/8",
        "syslog_name": "postfix/reinject",
    }
    return main, front, scan, reinject


def sc_pf_content_filter(ctx):
    """The proxy as Postfix's after-queue content filter: mail by SMTP and by
    sendmail is delivered once with the inserted header; trusted to forward,
    the proxy relays Postfix's XFORWARD, so the reinjection smtpd logs the
    original queue id and client, and without --trust-forwarding it does not;
    a stopped clamd leaves the message deferred in Postfix's queue until a
    flush after clamd is back; with --on-infected reject Postfix bounces the
    EICAR message to its sender, unscanned (the README's warning)."""
    proxy_port = free_port()
    main, front, scan, reinject = content_filter_recipe(proxy_port)
    postfix = Postfix(ctx.workdir, "cf-postfix-" + ctx.mode, listeners=(
        ("front", front), ("reinject", reinject)), main_extra=main,
        services=[scan, "pickup unix n - n 60 1 pickup"])
    clamd = Clamd(ctx.workdir, False, name="cf-clamd-" + ctx.mode)
    started = [postfix, clamd]
    env = postfix.env

    def proxy(name, *extra):
        p = Proxy(ctx, "cf-proxy-%s-%s" % (name, ctx.mode), upstream=postfix.ports["reinject"],
                  scanner="clamd:unix:" + clamd.socket_path,
                  extra=["--listen", "127.0.0.1:%d" % proxy_port] + list(extra))
        started.append(p)
        return p

    def submit(tag, body=None):
        """By SMTP to Postfix's front smtpd."""
        client = smtplib.SMTP("127.0.0.1", postfix.ports["front"], "client.e2e.test", timeout=30)
        try:
            client.sendmail("sender@example.test", ["receiver@example.test"], message(tag, body))
            client.quit()
        finally:
            client.close()

    def front_id(tag):
        """The queue id Postfix gave the message with this tag at the front."""
        found = wait_for(lambda: re.search(r"\]: ([0-9A-F]{6,}): message-id=<%s@divivez\.e2e>"
                                           % re.escape(tag.decode()), postfix.log_text()), 15)
        check(found, "Postfix logged no message-id for %s:\n%s" % (tag.decode(), postfix.log_tail()))
        return found.group(1)

    def delivered_once(tag):
        found = postfix.wait_token(tag, 30)
        check(found, "message %s was not delivered; Postfix logged:\n%s" % (tag.decode(), postfix.log_tail()))
        time.sleep(0.5)  # a second copy would be on its way by now
        copies = postfix.with_token(tag)
        check(len(copies) == 1, "message %s delivered %d times" % (tag.decode(), len(copies)))
        check(b"\nX-Virus-Scanned: divivez-proxy\n" in copies[0],
              "message %s was delivered without the inserted header" % tag.decode())

    try:
        # Trusted: XFORWARD relayed.
        p = proxy("trusted", "--trust-forwarding", "127.0.0.1/32")
        smtp_tag = tag_for(ctx, "cf-smtp")
        submit(smtp_tag)
        delivered_once(smtp_tag)
        queue_id = front_id(smtp_tag)
        check(wait_for(lambda: re.search(r"postfix/reinject/smtpd\[\d+\]: [0-9A-F]+: client=[^\n]*"
                                         r"orig_queue_id=%s, orig_client=[^\n]*\[127\.0\.0\.1\]" % queue_id,
                                         postfix.log_text()), 10),
              "the reinjection smtpd did not log orig_queue_id=%s and orig_client=:\n%s"
              % (queue_id, "\n".join(l for l in postfix.log_text().splitlines() if "reinject" in l)[-2000:]))
        # The front smtpd logs under its own name, so the two are told apart.
        check(re.search(r"postfix/front/smtpd\[\d+\]: %s: client=" % queue_id, postfix.log_text()),
              "the front smtpd did not log %s as postfix/front:\n%s" % (queue_id, postfix.log_tail()))

        sendmail_tag = tag_for(ctx, "cf-sendmail")
        code, out = run(["/usr/sbin/sendmail", "-f", "sender@example.test", "-i", "receiver@example.test"],
                        30, input_bytes=message(sendmail_tag).replace(b"\r\n", b"\n") + b"\n", env=env)
        check(code == 0, "sendmail failed (%d): %s" % (code, out))
        # Postfix forwards no queue id or client of its own pickup's mail.
        delivered_once(sendmail_tag)

        # A stopped clamd: Postfix keeps the message queued, and delivers it
        # once after a flush with clamd back.
        clamd.stop()
        deferred_tag = tag_for(ctx, "cf-deferred")
        submit(deferred_tag)
        deferred_id = front_id(deferred_tag)
        check(wait_for(lambda: re.search(r"%s: to=<receiver@example\.test>, relay=127\.0\.0\.1[^\n]*"
                                         r"status=deferred \([^\n]*451 4\.7\.0" % deferred_id,
                                         postfix.log_text()), 30),
              "Postfix did not defer the message with the proxy's 451:\n" + postfix.log_tail())
        code, queue = run(["/usr/sbin/postqueue", "-c", postfix.conf, "-p"], 30, env=env)
        check(deferred_id in queue, "the deferred message is not in Postfix's queue:\n" + queue)
        check(not postfix.with_token(deferred_tag), "the message was delivered while clamd was down")
        clamd = Clamd(ctx.workdir, False, name="cf-clamd-" + ctx.mode)
        started.append(clamd)

        def flushed():
            run(["/usr/sbin/postqueue", "-c", postfix.conf, "-f"], 30, env=env)
            return postfix.wait_token(deferred_tag, 3)

        check(wait_for(flushed, 60, 0.5), "the deferred message was not delivered after postqueue -f:\n"
              + postfix.log_tail())
        delivered_once(deferred_tag)
        p.stop()

        # Not trusted: XFORWARD withheld, the reinjection smtpd knows nothing
        # of the original.
        mark = len(postfix.log_text())
        p = proxy("untrusted")
        plain_tag = tag_for(ctx, "cf-untrusted")
        submit(plain_tag)
        delivered_once(plain_tag)
        lines = [l for l in postfix.log_text()[mark:].splitlines()
                 if re.search(r"postfix/reinject/smtpd\[\d+\]: [0-9A-F]+: client=", l)]
        check(len(lines) == 1 and "orig_queue_id" not in lines[0] and "orig_client" not in lines[0],
              "without --trust-forwarding the reinjection smtpd logged: %r" % lines)
        p.stop()

        # --on-infected reject behind the filter: what Postfix does with it.
        mark = len(postfix.log_text())
        p = proxy("reject", "--trust-forwarding", "127.0.0.1/32", "--on-infected", "reject")
        virus_tag = tag_for(ctx, "cf-rejected")
        submit(virus_tag, [b"The test file follows.", EICAR])
        virus_id = front_id(virus_tag)
        bounced = wait_for(lambda: re.search(
            r"%s: to=<receiver@example\.test>, relay=127\.0\.0\.1[^\n]*status=bounced \([^\n]*554 5\.7\.1 "
            r"Message rejected: infected \(Divivez\.Test\.EICAR[.A-Z]*\)" % virus_id, postfix.log_text()), 30)
        check(bounced, "Postfix did not bounce the rejected message:\n" + postfix.log_tail())
        # The bounce, with the virus, reaches the sender without passing the
        # filter: no inserted header, the proxy never saw it.
        returned = postfix.wait_token(EICAR, 30)
        check(returned, "no bounce reached the sender's mailbox:\n" + postfix.log_tail())
        check(len(returned) == 1 and b"X-Virus-Scanned" not in returned[0].split(b"\n\n", 1)[0],
              "the bounce went through the filter: %r" % returned[0][:600] if returned else "")
        check(b"Delivered-To: sender@example.test" in returned[0], "the bounce went elsewhere")
        p.stop()
        ctx.notes.append("reject behind the filter: " + "; ".join(
            re.sub(r"^\S+ \S+ \S+ ", "", l) for l in postfix.log_text()[mark:].splitlines()
            if virus_id in l and ("status=" in l or "notification" in l)))
    finally:
        for item in reversed(started):
            item.stop()


def sc_config_file(ctx):
    """--config reads the command line's options from a file; options given
    on the command line win; a bad line stops the proxy with its line number."""
    server = MailServer(ctx.workdir, "config-server-" + ctx.mode)
    signatures = os.path.join(ctx.workdir, "config-signatures-%s.txt" % ctx.mode)
    with open(signatures, "w") as f:
        f.write("%s %s\n" % (CUSTOM_NAME, CUSTOM.hex()))
    config = os.path.join(ctx.workdir, "config-%s.conf" % ctx.mode)
    with open(config, "w") as f:
        f.write("# the end-to-end suite's settings\n"
                "signatures = %s\n"
                "insert-text = \"X-E2E-Config: from the file\\r\\n\"\n"
                "keepalive 30\n"
                "# the command line's --upstream wins over this dead one\n"
                "upstream = 127.0.0.1:%d\n" % (ctx.build.path(signatures), free_port()))
    proxy = Proxy(ctx, "config-proxy-" + ctx.mode, upstream=server.port,
                  extra=["--config", ctx.build.path(config)])
    bad = tag_for(ctx, "config-custom")
    good = tag_for(ctx, "config-clean")
    bad_text = message(bad, [b"before " + CUSTOM + b" after"])
    good_text = message(good)
    dropped_then_delivered(ctx, proxy.port, bad_text, good_text)
    assert_not_delivered(server, bad)
    assert_delivered(server, good, with_insert(sent_content(good_text), b"X-E2E-Config: from the file\r\n"))
    check("keep-alive 30 s" in proxy.log_text(), "the file's keepalive is not in force")
    proxy.stop()

    broken = os.path.join(ctx.workdir, "config-broken-%s.conf" % ctx.mode)
    with open(broken, "w") as f:
        f.write("listen = 127.0.0.1:0\nno-such-option = 1\n")
    code, out = run(ctx.build.argv(["--config", ctx.build.path(broken)]), 60 * ctx.build.slow,
                    env=ctx.build.env(ctx.tmpdir))
    check(code == 2 and ("config-broken-%s.conf:2: unknown option '--no-such-option'" % ctx.mode) in out,
          "a bad configuration file gave status %d:\n%s" % (code, out[-1000:]))
    # An option set twice, a quote left open: each named by its line.
    for name, text, said in (
            ("twice", "on-scan-error = tempfail\non-scan-error = pass\n",
             ":2: --on-scan-error given again (first on line 1)"),
            ("quote", "listen = 127.0.0.1:0\noutbox = \"\n", ":2: unterminated quote")):
        path = os.path.join(ctx.workdir, "config-%s-%s.conf" % (name, ctx.mode))
        with open(path, "w") as f:
            f.write(text)
        code, out = run(ctx.build.argv(["--config", ctx.build.path(path)]), 60 * ctx.build.slow,
                        env=ctx.build.env(ctx.tmpdir))
        check(code == 2 and ("config-%s-%s.conf%s" % (name, ctx.mode, said)) in out,
              "configuration file %s gave status %d:\n%s" % (name, code, out[-1000:]))
    if not ctx.build.wine:
        # A FIFO nobody writes to: refused at once instead of holding up the start.
        fifo = os.path.join(ctx.workdir, "config-fifo-%s.conf" % ctx.mode)
        os.mkfifo(fifo)
        code, out = run(ctx.build.argv(["--config", fifo]), 60, env=ctx.build.env(ctx.tmpdir))
        check(code == 2 and "is not a regular file" in out,
              "a FIFO as the configuration file gave status %d:\n%s" % (code, out[-1000:]))
    server.stop()


# --------------------------------------------------------------------------
# Lenient servers: what a message is must not depend on the server's framing


# The ends of data that lenient servers take (the SMTP smuggling research's
# four), each with the line end of the commands an attacker puts after it.
SMUGGLE_ENDS = [
    ("LF.LF", b"\n.\n", b"\n"),
    ("LF.CRLF", b"\n.\r\n", b"\r\n"),
    ("CRLF.LF", b"\r\n.\n", b"\r\n"),
    ("CR.CR", b"\r.\r", b"\r\n"),
]
# Those that end a message at each kind of lenient server.
LENIENT_TO = {"lf": ("LF.LF", "LF.CRLF", "CRLF.LF"), "lf-cr": ("LF.LF", "LF.CRLF", "CRLF.LF", "CR.CR")}
SMUGGLE_PAYLOADS = ("clean", "eicar", "eicar-base64")


def smuggling_text(tag, end, eol, payload):
    """A client's message that a lenient server reads as two: its own, ended
    by end, then commands with a second envelope and a second message, ended
    by the client's real end of data."""
    headers = [b"From: <smuggled@evil.test>", b"To: <victim@example.test>",
               b"Subject: smuggled " + tag, b"Message-ID: <" + tag + b"-smuggled@divivez.e2e>"]
    if payload == "eicar-base64":
        headers += [b"MIME-Version: 1.0", b"Content-Type: application/octet-stream",
                    b"Content-Transfer-Encoding: base64"]
        body = [base64.b64encode(EICAR)]
    elif payload == "eicar":
        body = [b"the test file follows", EICAR]
    else:
        body = [b"smuggled body of " + tag]
    smuggled = [b"MAIL FROM:<smuggled-%s@evil.test>" % tag, b"RCPT TO:<victim@example.test>", b"DATA"]
    return message(tag, [b"hello from " + tag]) + end + eol.join(smuggled + headers + [b""] + body)


def normalised(data):
    """data (a message as a client sent it, up to its final CR LF) as the
    server must receive it: a bare LF ends a line (CR LF), a bare CR is a
    space, a line begun after a bare LF with one "." gets a second, and so
    does a "." line ended by a bare LF."""
    out = bytearray()
    i = 0
    after_lf = False
    while i < len(data):
        if data[i:i + 1] == b".":
            if (after_lf and data[i + 1:i + 2] != b".") or data[i + 1:i + 2] == b"\n":
                out += b"."
        while i < len(data):
            byte = data[i:i + 1]
            i += 1
            if byte == b"\r" and data[i:i + 1] == b"\n":
                out += b"\r\n"
                i += 1
                after_lf = False
                break
            if byte == b"\n":
                out += b"\r\n"
                after_lf = True
                break
            out += b" " if byte == b"\r" else byte
    return bytes(out)


def unstuffed(wire):
    """CR LF lines with their leading dots undone, as a server stores them."""
    return b"".join(line[1:] if line.startswith(b".") else line
                    for line in wire.splitlines(keepends=True))


def wire_problems(stream):
    """What breaks the rule for a relay's bytes to the server: CR and LF only
    as CR LF, and every line of a message that begins with "." stuffed."""
    problems = []
    bare = re.search(rb"\r(?!\n)|(?<!\r)\n", stream)
    if bare:
        problems.append("bare %s at byte %d: %r" % (
            "CR" if bare.group() == b"\r" else "LF", bare.start(),
            stream[max(0, bare.start() - 30):bare.start() + 30]))
    in_data = False
    for line in stream.split(b"\r\n"):
        if in_data and line == b".":
            in_data = False
        elif in_data and line.startswith(b".") and not line.startswith(b".."):
            problems.append("a message line begins with an unstuffed dot: %r" % line[:60])
        elif not in_data and line.upper() == b"DATA":
            in_data = True
    return problems


class Dialogue:
    """A raw client's session whose replies are written down rather than
    asserted, so that a failing case reports what the server saw first."""

    def __init__(self, ctx, port):
        self.c = RawClient(port, 5 * ctx.build.slow)
        self.problems = []
        self.end = None  # the reply to the end of data
        self.broken = False  # a time-out or a socket error: the rest is not sent

    def expect(self, what, send, want):
        """Sends send (bytes, or nothing), reads one reply and notes a
        problem unless want(code, lines). Returns whether it was wanted."""
        if self.broken:
            return False
        try:
            if send:
                self.c.send(send)
            code, lines = self.c.reply()
        except OSError as e:
            code, lines = None, ["(%r)" % e]
            self.broken = True
        if what == "end of data":
            self.end = lines
        if not want(code, lines):
            self.problems.append("%s answered %r" % (what, lines))
            return False
        return True

    def close(self):
        if self.c.buffer:
            self.problems.append("replies nobody asked for: %r" % self.c.buffer[:200])
        self.c.close()


def smtp_envelope(d, sender="sender@example.test"):
    """The greeting, EHLO, MAIL and RCPT of a Dialogue."""
    d.expect("the greeting", None, lambda code, _: code == 220)
    d.expect("EHLO", b"EHLO client.e2e.test\r\n", lambda code, _: code == 250)
    d.expect("MAIL", b"MAIL FROM:<%s>\r\n" % sender.encode(), lambda code, _: code == 250)
    d.expect("RCPT", b"RCPT TO:<receiver@example.test>\r\n", lambda code, _: code == 250)


def smuggle_through(ctx, port, tag, text, sender="sender@example.test"):
    """One session that sends text as a message; returns the Dialogue."""
    d = Dialogue(ctx, port)
    try:
        smtp_envelope(d, sender)
        if not d.expect("DATA", b"DATA\r\n", lambda code, _: code == 354):
            return d
        d.expect("end of data", text + b"\r\n.\r\n", lambda code, _: code is not None)
        d.expect("VRFY after the message", b"VRFY someone@example.test\r\n",
                 lambda code, lines: code == 252 and len(lines) == 1)
        d.expect("QUIT", b"QUIT\r\n", lambda code, _: code == 221)
    finally:
        d.close()
    return d


def sc_smuggling(ctx, line_ends):
    """A lenient server behind the proxy gets one message per client
    message, whatever line ends the client sends: the smuggled envelope never
    runs, the bytes it gets hold CR and LF only as CR LF, and a smuggled
    EICAR is found by the scanner."""
    server = LenientServer(ctx.workdir, "lenient-%s-%s" % (line_ends, ctx.mode), line_ends)
    # The negative control: straight to the server, each of its ends splits
    # the message in two, so the checks through the proxy prove something.
    for label in LENIENT_TO[line_ends]:
        _, end, eol = next(e for e in SMUGGLE_ENDS if e[0] == label)
        tag = tag_for(ctx, "control-" + label)
        smuggle_through(ctx, server.port, tag, smuggling_text(tag, end, eol, "clean"), "control@example.test")
        found = wait_for(lambda: len(server.with_token(tag)) == 2, 5)
        check(found, "the %s server took %s through a direct session as %d message(s), not 2: the test "
              "proves nothing" % (line_ends, label, len(server.with_token(tag))))
    direct = set(server.transcripts())
    proxy = Proxy(ctx, "smuggle-proxy-%s-%s" % (line_ends, ctx.mode), upstream=server.port)
    sessions = []
    for label, end, eol in SMUGGLE_ENDS:
        for payload in SMUGGLE_PAYLOADS:
            tag = tag_for(ctx, "smuggle-%s-%s" % (label, payload))
            text = smuggling_text(tag, end, eol, payload)
            sessions.append(("%s %s" % (label, payload), payload, tag, text,
                             smuggle_through(ctx, proxy.port, tag, text)))
    # The server has taken all it will once every connection from the proxy
    # has ended (a client's replies can come before it did, when the proxy
    # relays replies of the server's that nobody asked for).
    ended = wait_for(lambda: len([e for e in server.events("disconnect") if e["conn"] not in direct])
                     == len(server.transcripts()) - len(direct), 5 * ctx.build.slow)
    problems = [] if ended else ["the proxy left connections to the server open after the clients' QUIT"]
    delivered = 0
    for case, payload, tag, text, d in sessions:
        infected = payload == "eicar"
        delivered += 0 if infected else 1
        found = server.with_token(tag)
        envelopes = ["%s -> %s" % (m["mail_from"], ",".join(m["rcpt_tos"])) for m, _ in found]
        if infected and found:
            problems.append("%s: the server took %d message(s) (%s); the client heard %r" % (
                case, len(found), "; ".join(envelopes), d.end))
        elif not infected and len(found) != 1:
            problems.append("%s: the server took %d messages for one (%s)" % (
                case, len(found), "; ".join(envelopes)))
        elif not infected:
            meta, content = found[0]
            expected = with_insert(unstuffed(normalised(text + b"\r\n")))
            if (meta["mail_from"], meta["rcpt_tos"]) != ("sender@example.test", ["receiver@example.test"]):
                problems.append("%s: delivered with the envelope %s" % (case, envelopes[0]))
            if content != expected:
                problems.append("%s: delivered %s" % (case, describe_diff(expected, content)))
        if infected and d.end != ["250 Mail accepted"]:
            problems.append("%s: end of data answered %r, not the drop answer" % (case, d.end))
        elif not infected and not (d.end or [""])[0].startswith("250 2.0.0 Ok: queued as"):
            problems.append("%s: end of data answered %r, not the server's reply" % (case, d.end))
        problems += ["%s: %s" % (case, p) for p in d.problems]
    transcripts = server.transcripts()
    relayed = [transcripts[n] for n in sorted(transcripts) if n not in direct]
    check(relayed, "the proxy never connected to the server")
    for stream in relayed:
        problems += ["bytes to the server: " + p for p in wire_problems(stream)]
    ran = [e["address"] for e in server.events("MAIL") if e["conn"] not in direct]
    smuggled = [a for a in ran if "smuggled" in a]
    if smuggled:
        problems.insert(0, "the server ran %d smuggled MAIL command(s), e.g. MAIL FROM:<%s>" % (
            len(smuggled), smuggled[0]))
    through = [m for m, _ in server.messages() if m["conn"] not in direct]
    if len(through) != delivered:
        problems.insert(0, "the server took %d messages through the proxy for the %d clean ones the "
                        "clients sent" % (len(through), delivered))
    check(not problems, "\n".join(problems))
    proxy.stop()
    server.stop()


def sc_bare_lf_commands(ctx):
    """Command lines holding a bare LF, which a server that ends lines at LF
    reads as two commands: the proxy refuses them (500 5.5.2), so that
    "NOOP<LF>DATA" opens no message at the server and the server's answers
    to "NOOP<LF>NOOP" are never taken for the answer to DATA; every message
    is scanned and arrives once."""
    server = LenientServer(ctx.workdir, "lenient-cmd-" + ctx.mode, "lf")
    proxy = Proxy(ctx, "lfcmd-proxy-" + ctx.mode, upstream=server.port)
    problems = []

    def refused(code, lines):
        return code == 500 and lines[-1].startswith("500 5.5.2")

    # An attacker's pipeline: DATA hidden behind NOOP, then an EICAR message.
    hidden = tag_for(ctx, "lf-hidden-data")
    d = Dialogue(ctx, proxy.port)
    try:
        smtp_envelope(d)
        d.expect("NOOP<LF>DATA", b"NOOP\nDATA\r\n" + stuff(sent_content(message(hidden, [EICAR])))
                 + b".\r\nQUIT\r\n", refused)
        heard = []
        while True:
            try:
                code, lines = d.c.reply()
            except OSError:
                break
            if code is None:
                break
            heard += lines
        if any(line.startswith("354") for line in heard):
            problems.append("NOOP<LF>DATA: the client heard a 354 (%r)" % heard[:4])
    finally:
        d.close()
    # Two messages after NOOP<LF>NOOP: the second, infected, must be scanned.
    tags = [tag_for(ctx, "lf-noops-clean"), tag_for(ctx, "lf-noops-eicar")]
    texts = [message(tags[0]), message(tags[1], [EICAR])]
    d2 = Dialogue(ctx, proxy.port)
    try:
        smtp_envelope(d2)
        d2.expect("NOOP<LF>NOOP", b"NOOP\nNOOP\r\n", refused)
        for i, (tag, text) in enumerate(zip(tags, texts)):
            if i:
                d2.expect("MAIL", b"MAIL FROM:<sender@example.test>\r\n", lambda code, _: code == 250)
                d2.expect("RCPT", b"RCPT TO:<receiver@example.test>\r\n", lambda code, _: code == 250)
            d2.expect("DATA", b"DATA\r\n", lambda code, _: code == 354)
            d2.expect("end of message %d" % (i + 1), stuff(sent_content(text)) + b".\r\n",
                      (lambda code, lines: lines == ["250 Mail accepted"]) if i else
                      (lambda code, lines: code == 250 and "queued as" in lines[0]))
        d2.expect("VRFY", b"VRFY someone@example.test\r\n", lambda code, lines: code == 252)
        d2.expect("QUIT", b"QUIT\r\n", lambda code, _: code == 221)
    finally:
        d2.close()
    problems += d.problems + d2.problems
    time.sleep(0.3)
    found = [len(server.with_token(tag)) for tag in [hidden] + tags]
    if found != [0, 1, 0]:
        problems.insert(0, "the server took the hidden-DATA EICAR %d time(s), the clean message %d time(s) "
                        "and the EICAR after NOOP<LF>NOOP %d time(s) (expected 0, 1, 0)" % tuple(found))
    elif server.with_token(tags[0])[0][1] != with_insert(sent_content(texts[0])):
        problems.append("the clean message was altered: " + describe_diff(
            with_insert(sent_content(texts[0])), server.with_token(tags[0])[0][1]))
    check(not problems, "\n".join(problems))
    proxy.stop()
    server.stop()


def sc_spool_unavailable(ctx):
    """A temporary directory that does not exist, default options: the
    plug-in cannot spool, so it refuses DATA for now (451) and nothing, an
    EICAR least of all, reaches the server unscanned."""
    missing = "/nonexistent"
    check(not os.path.exists(missing), "test error: %s exists" % missing)
    server = MailServer(ctx.workdir, "nospool-server-" + ctx.mode)
    proxy = Proxy(ctx, "nospool-proxy-" + ctx.mode, upstream=server.port, temp_dir=missing)
    tags = [tag_for(ctx, "nospool-eicar"), tag_for(ctx, "nospool-clean")]
    texts = [message(tags[0], [b"The test file follows.", EICAR]), message(tags[1])]
    heard = []
    c = RawClient(proxy.port, 10 * ctx.build.slow)
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        for tag, text in zip(tags, texts):
            check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
            check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
            code, lines = c.command("DATA")
            if code == 354:
                c.send(stuff(sent_content(text)) + b".\r\n")
                heard.append("DATA: 354, end of data: %r" % (c.reply()[1],))
                continue
            check(code == 451 and lines[-1].startswith("451 4.3.0"),
                  "DATA with no spool answered %r, not 451 4.3.0" % lines)
            heard.append(lines[-1])
            code, lines = c.command("RSET")
            check(code == 250, "RSET after the refused DATA answered %r" % lines)
        code, lines = c.command("NOOP")
        check(code == 250 and len(lines) == 1, "session out of step: NOOP answered %r" % lines)
        c.command("QUIT")
    finally:
        c.close()
    time.sleep(0.3)
    found = [(tag, len(server.with_token(tag))) for tag in tags]
    check(not any(n for _, n in found) and not server.events("DATA"),
          "with no spool the server heard DATA %d time(s) and took %s; the client heard %r" % (
              len(server.events("DATA")), ", ".join("%s %d time(s)" % (t.decode(), n) for t, n in found),
              heard))
    ctx.note(heard[0])
    proxy.stop()
    server.stop()


LB_MESSAGES = 500
LB_CLIENTS = 10


def lb_send(port, source, text):
    """One message through the balancer from source: ("delivered" |
    "infected" | "tempfailed" | "error", what the client heard)."""
    client = smtplib.SMTP(local_hostname="client.e2e.test", timeout=60, source_address=(source, 0))
    try:
        client.connect("127.0.0.1", port)
        client.ehlo()
        check(client.mail("sender@example.test")[0] == 250, "MAIL failed")
        check(client.rcpt("receiver@example.test")[0] == 250, "RCPT failed")
        code, reply = client.data(text)
    except (smtplib.SMTPException, OSError, Failure) as e:
        return "error", repr(e)
    finally:
        try:
            client.quit()
        except (smtplib.SMTPException, OSError):
            pass
        client.close()
    if code == 250:
        # The recording server says "queued as"; a dropped infected message
        # is accepted by the plug-in itself.
        return ("delivered" if b"queued as" in reply else "infected"), "%d %r" % (code, reply)
    return ("tempfailed" if 400 <= code < 500 else "error"), "%d %r" % (code, reply)


def metrics_port(proxy):
    """The port of a proxy started with --metrics 127.0.0.1:0, from its log."""
    found = wait_for(lambda: re.search(r"metrics on http://127\.0\.0\.1:(\d+)/metrics",
                                       proxy.log_text()), 5)
    check(found, "proxy %s logged no metrics address:\n%s" % (proxy.dir, proxy.proc.log_tail()))
    return int(found.group(1))


def sc_load_balanced(ctx):
    """HAProxy (TCP mode, PROXY protocol v2, health checks on /healthz) in
    front of two proxies with --proxy-protocol and --metrics, each given two
    clamd instances; one clamd is stopped in the middle of 500 messages sent
    by clients on ten loopback addresses. Every message is delivered
    byte-exact (scanned: it carries the insert) or tempfailed, none is lost;
    both proxies took traffic and log the clients' own addresses; Prometheus
    scrapes both and its counts, read back through its HTTP API, match what
    the clients were told."""
    started = []
    try:
        clamds = [Clamd(ctx.workdir, tcp=False, name="lb-clamd-" + n) for n in ("a", "b")]
        started += clamds
        server = MailServer(ctx.workdir, "lb-server")
        started.append(server)
        scanners = []
        for clamd in clamds:
            scanners += ["--scanner", "clamd:unix:" + clamd.socket_path]
        proxies, metrics_ports = [], []
        for name in ("a", "b"):
            proxy = Proxy(ctx, "lb-proxy-" + name, upstream=server.port,
                          extra=scanners + ["--proxy-protocol", "--proxy-protocol-from", "127.0.0.0/8",
                                                     "--metrics", "127.0.0.1:0"])
            started.append(proxy)
            proxies.append(proxy)
            metrics_ports.append(metrics_port(proxy))
        haproxy = HAProxy(ctx.workdir, "lb-haproxy",
                          [("filter-" + n, p.port, m) for n, p, m in zip("ab", proxies, metrics_ports)])
        started.append(haproxy)
        prometheus = Prometheus(ctx.workdir, "lb-prometheus",
                                ["127.0.0.1:%d" % m for m in metrics_ports])
        started.append(prometheus)
        check(wait_for(lambda: set(prometheus.targets_up().values()) == {"up"}, 20, 0.5),
              "Prometheus does not scrape both proxies: %r" % prometheus.targets_up())

        sources = ["127.0.0.%d" % (10 + i) for i in range(LB_CLIENTS)]
        tags = [tag_for(ctx, "lb%03d" % i) for i in range(LB_MESSAGES)]
        # Every fiftieth message carries the test virus.
        texts = [message(t, [b"EICAR follows:", EICAR]) if i % 50 == 49 else message(t)
                 for i, t in enumerate(tags)]
        results = [None] * LB_MESSAGES
        done = []
        lock = threading.Lock()

        def worker(w):
            for i in range(w, LB_MESSAGES, LB_CLIENTS):
                results[i] = lb_send(haproxy.port, sources[w], texts[i])
                with lock:
                    done.append(i)

        threads = [threading.Thread(target=worker, args=(w,)) for w in range(LB_CLIENTS)]
        for t in threads:
            t.start()
        check(wait_for(lambda: len(done) >= LB_MESSAGES * 2 // 5, 60), "the first messages take too long")
        clamds[0].stop()
        stopped_at = len(done)
        for t in threads:
            t.join(120)
        check(not any(t.is_alive() for t in threads), "clients still running after two minutes")

        outcomes = {}
        for i, (outcome, heard) in enumerate(results):
            outcomes.setdefault(outcome, []).append(i)
        counts = {k: len(v) for k, v in outcomes.items()}
        ctx.note("clamd a stopped after %d; %s" % (stopped_at, ", ".join(
            "%s %d" % kv for kv in sorted(counts.items()))))
        lost = outcomes.get("error", [])
        check(not lost, "%d message(s) neither delivered nor tempfailed, e.g. %s: %s" % (
            len(lost), tags[lost[0]].decode(), results[lost[0]][1]) if lost else "")
        eicars = [i for i in range(LB_MESSAGES) if i % 50 == 49]
        check(not [i for i in eicars if results[i][0] == "delivered"], "an EICAR message was delivered")

        wanted = {tags[i]: with_insert(sent_content(texts[i])) for i in outcomes.get("delivered", [])}

        def stored():
            got = {}
            for _, content in server.messages():
                m = re.search(rb"Message-ID: <([^@>]+)@divivez\.e2e>", content)
                if m:
                    got.setdefault(m.group(1), []).append(content)
            return got

        got = wait_for(lambda: (lambda g: g if all(t in g for t in wanted) else None)(stored()), 20) or stored()
        for tag, expected in wanted.items():
            copies = got.get(tag, [])
            check(len(copies) == 1, "delivered message %s is at the server %d time(s)" % (tag.decode(), len(copies)))
            check(copies[0] == expected, "message %s altered or unscanned: %s" % (
                tag.decode(), describe_diff(expected, copies[0])))
        extra = [t for t in got if t in set(tags) and t not in wanted]
        check(not extra, "%d message(s) the client was not told were delivered reached the server, e.g. %s" % (
            len(extra), extra[0].decode() if extra else ""))

        # Both instances took traffic, and log the clients' own addresses,
        # never the balancer's.
        for name, proxy in zip("ab", proxies):
            seen = set(re.findall(r"conn \d+ from ([0-9.]+):\d+", proxy.log_text()))
            check(seen, "proxy %s took no connection" % name)
            check(seen <= set(sources), "proxy %s logs addresses %r, not only the clients' %r" % (
                name, sorted(seen - set(sources)), sources))

        # What Prometheus scraped agrees with what the clients heard.
        def total(expression):
            return sum(v for _, v in prometheus.query(expression))

        expected = {
            'divivez_messages_total{outcome="delivered"}': counts.get("delivered", 0),
            'divivez_messages_total{outcome="infected"}': counts.get("infected", 0),
            'divivez_messages_total{outcome=~"tempfailed|delivery_failed"}': counts.get("tempfailed", 0),
            "divivez_connections_total": LB_MESSAGES,
            # Each proxy found the stopped clamd down and kept the other.
            "divivez_scanner_endpoints": 4,
            "divivez_scanner_endpoints_up": 2,
        }
        scraped = {}

        def agrees():
            scraped.update({e: total(e) for e in expected})
            return all(scraped[e] == v for e, v in expected.items())

        check(wait_for(agrees, 20, 0.5), "Prometheus has %r, the clients saw %r" % (scraped, expected))
        per_instance = prometheus.query("divivez_connections_total")
        check(len(per_instance) == 2 and all(v > 0 for _, v in per_instance),
              "connections by instance in Prometheus: %r" % per_instance)
    finally:
        for item in reversed(started):
            item.stop()


SLOW_METRICS_CLIENTS = 24  # more than the 16 unfinished requests the server holds


def sc_metrics_slow_clients(ctx):
    """/healthz answers 200 while more slow clients than the metrics server
    has places for each hold half a request head, renewing their
    connections as the server cuts them (as an attacker would, to keep
    every place taken and a balancer's checks failing). The slow ones get
    408, never the 503 that means unhealthy."""
    proxy = Proxy(ctx, "metrics-slow-proxy", upstream=free_port(),
                  extra=["--metrics", "127.0.0.1:0"])
    port = metrics_port(proxy)
    half = b"GET /healthz HTTP/1.1\r\nHost: slow\r\n"
    stop = threading.Event()
    cut = []  # the first line of each answer a slow client got

    def slow_client():
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(half)
        s.setblocking(False)
        return s

    def hold():
        slow = [slow_client() for _ in range(SLOW_METRICS_CLIENTS)]
        poller = select.poll()
        for s in slow:
            poller.register(s, select.POLLIN)
        try:
            while not stop.is_set():
                # Each new connection pushes out the oldest: without a pause
                # the renewals would chain into a storm of connections.
                time.sleep(0.05)
                for fd, _ in poller.poll(50):
                    i = next(i for i, s in enumerate(slow) if s.fileno() == fd)
                    try:
                        data = slow[i].recv(4096)
                    except OSError:
                        data = b""
                    cut.append(data.split(b"\r\n", 1)[0])
                    poller.unregister(slow[i])
                    slow[i].close()
                    slow[i] = slow_client()
                    poller.register(slow[i], select.POLLIN)
        finally:
            for s in slow:
                s.close()

    def probe():
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: probe\r\n\r\n")
            answer = b""
            while True:
                data = s.recv(4096)
                if not data:
                    return answer
                answer += data

    holder = threading.Thread(target=hold)
    holder.start()
    try:
        # The slow clients take every place before the first probe.
        check(wait_for(lambda: len(cut) >= SLOW_METRICS_CLIENTS - 16, 10),
              "the metrics server never cut a slow client: %r" % cut[:3])
        answers = []
        # Probes over several head deadlines, while the places stay taken.
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            answers.append(probe().split(b"\r\n", 1)[0])
            time.sleep(0.2)
    finally:
        stop.set()
        holder.join(10)
    failed = [a for a in answers if a != b"HTTP/1.1 200 OK"]
    check(not failed, "%d of %d probes of /healthz failed while slow clients were connected, e.g. %r"
          % (len(failed), len(answers), failed[:1]))
    check(set(cut) == {b"HTTP/1.1 408 Request Timeout"},
          "the slow clients were answered %r, not only 408" % sorted(set(cut)))
    ctx.note("%d probes, %d slow connections cut" % (len(answers), len(cut)))
    proxy.stop()


def xclient_session(port, header, tag):
    """One message over a raw session that opens with a PROXY header:
    (greeting, final reply) as the client heard them."""
    c = RawClient(port, 30)
    try:
        c.send(header)
        greeting = c.reply()
        check(greeting[0] == 220, "greeting %r" % (greeting,))
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        check(c.command("DATA")[0] == 354, "DATA failed")
        c.send(stuff(sent_content(message(tag))) + b".\r\n")
        final = c.reply()
        c.command("QUIT")
        return greeting, final
    finally:
        c.close()


def sc_proxy_header_wait(ctx):
    """Thirty idle connections without a PROXY header, more than
    --max-connections 20, take no thread of the proxy (counted in /proc)
    and no slot: a client with its header is served while they still wait,
    and they are closed once their time is up."""
    server = MailServer(ctx.workdir, "header-wait-server")
    proxy = Proxy(ctx, "header-wait-proxy", upstream=server.port,
                  extra=["--proxy-protocol", "--max-connections", "20"])
    task_dir = "/proc/%d/task" % proxy.proc.popen.pid
    idle = []
    try:
        time.sleep(0.2)  # the event loops' threads start with the listener
        before = len(os.listdir(task_dir))
        for _ in range(30):
            idle.append(socket.create_connection(("127.0.0.1", proxy.port), 10))
        time.sleep(0.5)  # long enough for a thread per connection to show
        during = len(os.listdir(task_dir))
        check(during <= before, "the proxy went from %d to %d threads with 30 connections "
              "waiting for their header" % (before, during))
        tag = tag_for(ctx, "header-wait")
        _, final = xclient_session(proxy.port, b"PROXY TCP4 198.51.100.7 127.0.0.1 40000 25\r\n", tag)
        check(final[0] == 250, "end of data answered %r" % (final,))
        assert_delivered(server, tag, with_insert(sent_content(message(tag))))
        # Served while they waited: every idle one is still open.
        for s in idle:
            s.setblocking(False)
            try:
                check(s.recv(1) != b"", "an idle connection was closed before the client was served")
            except BlockingIOError:
                pass
        # Their time is up within the header's 5 s: closed without a word.
        for s in idle:
            s.settimeout(15)
            check(s.recv(100) == b"", "an idle connection was answered")
        check("no PROXY protocol header within" in proxy.log_text(), "the time-outs were not logged")
    finally:
        for s in idle:
            s.close()
        proxy.stop()
        server.stop()


def sc_upstream_xclient(ctx):
    """--upstream-xclient with --proxy-protocol: a real Postfix that trusts
    the proxy learns the client named in the PROXY header (its log shows the
    client as that address), and the client's greeting is the one Postfix
    sent after XCLIENT."""
    postfix = Postfix(ctx.workdir, "xclient-postfix-" + ctx.mode,
                      listeners=(("main", {"smtpd_authorized_xclient_hosts": "127.0.0.0/8"}),))
    try:
        proxy = Proxy(ctx, "xclient-proxy-" + ctx.mode, upstream=postfix.port,
                      extra=["--proxy-protocol", "--upstream-xclient"])
        tag = tag_for(ctx, "xclient")
        greeting, final = xclient_session(
            proxy.port, b"PROXY TCP4 198.51.100.7 127.0.0.1 40000 25\r\n", tag)
        check(final[0] == 250, "end of data answered %r" % (final,))
        check("postfix.e2e.test" in greeting[1][0], "the greeting %r is not Postfix's" % greeting[1])
        assert_stored(postfix, tag, with_insert(sent_content(message(tag))))
        check(wait_for(lambda: "client=unknown[198.51.100.7]" in postfix.log_text(), 10),
              "Postfix did not learn the client's address:\n" + postfix.log_tail())
        check("(--upstream-xclient)" not in proxy.log_text(), "the introduction failed:\n" +
              proxy.proc.log_tail())
        # Any peer may send the header here: the start-up warns of it.
        check("WARNING: --proxy-protocol with --upstream-xclient and no --proxy-protocol-from"
              in proxy.log_text(), "no warning of an unchecked header:\n" + proxy.proc.log_tail())
        proxy.stop()

        # --trust-forwarding behind a balancer matches the client the header
        # names, not the balancer's address.
        trusting = Proxy(ctx, "xclient-trusting-proxy-" + ctx.mode, upstream=postfix.port,
                         extra=["--proxy-protocol", "--trust-forwarding", "198.51.100.0/24"])
        for source, offered in (("198.51.100.7", True), ("203.0.113.9", False)):
            c = RawClient(trusting.port, 30)
            try:
                c.send(b"PROXY TCP4 %s 127.0.0.1 40000 25\r\n" % source.encode())
                check(c.reply()[0] == 220, "no greeting")
                code, lines = c.command("EHLO client.e2e.test")
                check(code == 250 and any(l[4:].upper().startswith("XCLIENT") for l in lines) == offered,
                      "client %s: EHLO answered %r" % (source, lines))
                c.command("QUIT")
            finally:
                c.close()
        check("WARNING: --proxy-protocol with --trust-forwarding and no --proxy-protocol-from"
              in trusting.log_text(), "no warning that a header may claim forwarding trust:\n" +
              trusting.proc.log_tail())
        trusting.stop()
    finally:
        postfix.stop()


def sc_upstream_xclient_vt(ctx):
    """Behind --upstream-xclient a real Postfix trusts the proxy with
    XCLIENT, and Postfix ends a verb at any white space: a client outside
    --trust-forwarding that sends "XCLIENT<VT>ADDR=..." must hear 500 5.5.2
    and the line never reach Postfix, or the client picks the address
    Postfix judges and logs. Postfix checks its XCLIENT list against the
    client the proxy introduced, so the client here comes from a network
    the list holds too (an internal network, as with a list of
    $mynetworks). Its mail then goes through as that client."""
    postfix = Postfix(ctx.workdir, "xclient-vt-postfix-" + ctx.mode,
                      listeners=(("main", {"smtpd_authorized_xclient_hosts":
                                           "127.0.0.0/8,198.51.100.0/24"}),))
    try:
        proxy = Proxy(ctx, "xclient-vt-proxy-" + ctx.mode, upstream=postfix.port,
                      extra=["--proxy-protocol", "--upstream-xclient"])
        tag = tag_for(ctx, "xclient-vt")
        c = RawClient(proxy.port, 30)
        try:
            c.send(b"PROXY TCP4 198.51.100.7 127.0.0.1 40000 25\r\n")
            check(c.reply()[0] == 220, "no greeting")
            check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
            for line in (b"XCLIENT\x0bADDR=192.0.2.66 NAME=spoofed.example",
                         b"XCLIENT\x0cADDR=192.0.2.66 NAME=spoofed.example"):
                c.send(line + b"\r\n")
                code, lines = c.reply()
                check(code == 500 and lines[0].startswith("500 5.5.2 "),
                      "%r answered %r" % (line, lines))
            check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO after the refusals failed")
            check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
            check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
            check(c.command("DATA")[0] == 354, "DATA failed")
            c.send(stuff(sent_content(message(tag))) + b".\r\n")
            check(c.reply()[0] == 250, "the message was not taken")
            c.command("QUIT")
        finally:
            c.close()
        found = postfix.wait_token(tag, 15, 1) or []
        check(len(found) == 1, "the message reached Postfix's mailbox %d times" % len(found))
        stored = found[0]
        check(b"[198.51.100.7]" in stored and b"192.0.2.66" not in stored and b"spoofed" not in stored,
              "the stored message does not name the real client:\n%r" % stored[:1500])
        check(wait_for(lambda: "client=unknown[198.51.100.7]" in postfix.log_text(), 10),
              "Postfix did not log the real client:\n" + postfix.log_tail())
        check("192.0.2.66" not in postfix.log_text() and "spoofed" not in postfix.log_text(),
              "Postfix saw the spoofed client:\n" + postfix.log_tail())
        proxy.stop()
    finally:
        postfix.stop()


# The TLS peers, without the proxy: when these fail, a TLS scenario's failure
# says nothing about the proxy.


def send_authenticated(client, text, mechanism=None):
    """On an smtplib session inside TLS that offers AUTH: AUTH as AUTH_USER
    (smtplib's choice of mechanism, or "LOGIN"), one message, QUIT; closes
    the session whatever happens."""
    try:
        check(client.has_extn("auth"), "no AUTH inside TLS: %r" % client.esmtp_features)
        if mechanism == "LOGIN":
            client.user, client.password = AUTH_USER, AUTH_PASSWORD
            code, reply = client.auth("LOGIN", client.auth_login)
            check(code == 235, "AUTH LOGIN answered %d %r" % (code, reply))
        else:
            client.login(AUTH_USER, AUTH_PASSWORD)
        client.sendmail("sender@example.test", ["receiver@example.test"], text)
        client.quit()
    finally:
        client.close()


def sc_peers_postfix_tls(ctx):
    """The TLS Postfix (postfix_tls_listeners): swaks, smtplib and s_client
    authenticate inside TLS and deliver on its STARTTLS and implicit ports;
    plaintext, a missing AUTH and a wrong password are refused; AUTH is
    offered inside TLS only; the wrong-name and unknown-CA ports fail
    verification and deliver for a client that does not verify."""
    certs = certificates(ctx.workdir)
    started = time.monotonic()
    postfix = Postfix(ctx.workdir, "peers-tls-postfix", listeners=postfix_tls_listeners(certs),
                      tls=certs.localhost, sasl={AUTH_USER: AUTH_PASSWORD})
    ctx.note("Postfix with TLS and SASL up in %.1f s" % (time.monotonic() - started))
    ca = certs.ca.crt
    creds = (AUTH_USER, AUTH_PASSWORD)
    try:
        for kind in ("starttls", "implicit"):
            tag = tag_for(ctx, "peer-swaks-" + kind)
            text = message(tag)
            code, out = swaks(ctx, postfix.ports[kind], write_file(ctx, "peer-%s.eml" % kind, text),
                              tls=kind, ca=ca, auth=creds)
            check(code == 0, "swaks %s with AUTH failed (%d):\n%s" % (kind, code, out[-2000:]))
            assert_stored(postfix, tag, sent_content(text))
        logins = [postfix.sasl_logins(AUTH_USER, "postfix/" + kind) for kind in ("starttls", "implicit")]
        check(logins == [1, 1], "Postfix logged %r authenticated messages on its two ports:\n%s" % (
            logins, postfix.log_tail()))

        refused = message(tag_for(ctx, "peer-refused"))
        path = write_file(ctx, "peer-refused.eml", refused)
        code, out = swaks(ctx, postfix.ports["starttls"], path)
        check(code != 0 and re.search(r"^<\*\* +530 ", out, re.M),
              "plaintext MAIL was not refused with 530 on the STARTTLS-only port:\n" + out[-1500:])
        code, out = swaks(ctx, postfix.ports["starttls"], path, tls="starttls", ca=ca)
        check(code != 0 and re.search(r"^<~\* +554 .*Access denied", out, re.M),
              "RCPT without AUTH was not refused:\n" + out[-1500:])

        client = smtp(ctx, postfix.ports["starttls"])
        try:
            check(client.has_extn("starttls") and not client.has_extn("auth"),
                  "before TLS: %r (STARTTLS and no AUTH expected)" % client.esmtp_features)
        finally:
            client.close()
        for name, connect in (("starttls", smtp_starttls), ("implicit", smtp_ssl)):
            tag = tag_for(ctx, "peer-smtplib-" + name)
            text = message(tag)
            send_authenticated(connect(ctx, postfix.ports[name], ca=ca), text)
            assert_stored(postfix, tag, sent_content(text))
        client = smtp_starttls(ctx, postfix.ports["starttls"], ca=ca)
        try:
            try:
                client.login(AUTH_USER, AUTH_PASSWORD + "x")
                raise Failure("a wrong password was accepted")
            except smtplib.SMTPAuthenticationError as e:
                check(e.smtp_code == 535, "a wrong password answered %r" % (e,))
        finally:
            client.close()

        tag = tag_for(ctx, "peer-s-client")
        seen = s_client(ctx, postfix.ports["starttls"], [
            "EHLO client.e2e.test", "AUTH PLAIN " + auth_plain(AUTH_USER, AUTH_PASSWORD),
            "MAIL FROM:<sender@example.test>", "RCPT TO:<receiver@example.test>", "DATA",
            stuff(sent_content(message(tag))).decode() + ".", "QUIT"], ca=ca)
        check([code for code, _ in seen.replies] == [250, 235, 250, 250, 354, 250, 221],
              "s_client's dialogue: %r" % seen)
        check("Verification: OK" in seen.log, "s_client did not verify: %r" % seen)
        assert_stored(postfix, tag, sent_content(message(tag)))
        seen = s_client(ctx, postfix.ports["implicit"], ["EHLO client.e2e.test", "QUIT"], starttls=False, ca=ca)
        check([code for code, _ in seen.replies] == [220, 250, 221], "s_client, implicit TLS: %r" % seen)
        c = RawClient(postfix.ports["implicit"], 20, tls=client_tls_context(ca))
        try:
            check(c.reply()[0] == 220 and c.command("EHLO client.e2e.test")[0] == 250,
                  "the raw client's session in implicit TLS failed")
            code, lines = c.command("AUTH PLAIN " + auth_plain(AUTH_USER, AUTH_PASSWORD + "x"))
            check(code == 535, "AUTH PLAIN with a wrong password answered %r" % lines)
        finally:
            c.close()

        for name, problem in (("wrong-name", "hostname mismatch"),
                              ("unknown-ca", "self-signed certificate in certificate chain")):
            seen = s_client(ctx, postfix.ports[name], ["EHLO client.e2e.test", "QUIT"], ca=ca)
            check(seen.code not in (0, None) and problem in seen.log and not seen.replies,
                  "s_client did not refuse the %s certificate: %r" % (name, seen))
            try:
                smtp_starttls(ctx, postfix.ports[name], ca=ca).close()
                raise Failure("smtplib verified the %s certificate" % name)
            except ssl.SSLCertVerificationError:
                pass
            tag = tag_for(ctx, "peer-" + name)
            client = smtp_starttls(ctx, postfix.ports[name])
            try:
                client.sendmail("sender@example.test", ["receiver@example.test"], message(tag))
                client.quit()
            finally:
                client.close()
            assert_stored(postfix, tag, sent_content(message(tag)))
        # sasldb keeps passwords in clear: the search finds what is there,
        # and Postfix's own files hold no credential a proxy could be blamed for.
        found = files_holding([postfix.dir], secret_forms(AUTH_USER, AUTH_PASSWORD))
        check(found == [(postfix.sasldb, "the password")], "credentials found in %r" % found)
    finally:
        postfix.stop()


def sc_peers_lenient_starttls(ctx):
    """The hostile and the plaintext lenient servers, and the raw probes
    that the injection scenarios use: the plaintext one offers no STARTTLS;
    "inject" sends "250 injected" in plaintext right after its 220 and then
    completes the handshake; "honest" discards a command pipelined after
    STARTTLS and records it, and starttls_injection() sees the handshake
    succeed with nothing unprompted."""
    certs = certificates(ctx.workdir)
    servers = {mode: LenientServer(ctx.workdir, "peers-lenient-" + (mode or "plain"), starttls=mode,
                                   identity=certs.localhost) for mode in (None, "inject", "honest")}
    try:
        c = RawClient(servers[None].port, 20)
        try:
            check(c.reply()[0] == 220, "no greeting")
            code, lines = c.command("EHLO client.e2e.test")
            check(code == 250 and not any("STARTTLS" in line for line in lines),
                  "the plaintext server offered STARTTLS: %r" % lines)
            check(c.command("STARTTLS")[0] == 502, "the plaintext server took STARTTLS")
        finally:
            c.close()

        probe = starttls_injection(ctx, servers["inject"].port, injected=b"", ca=certs.ca.crt)
        check(probe.starttls == (220, ["220 go"]) and probe.plain == b"250 injected\r\n"
              and probe.handshake is None and probe.unprompted == b"" and probe.ehlo[0] == 250,
              "the injecting server: %r" % (probe,))

        server = servers["honest"]
        probe = starttls_injection(ctx, server.port, ca=certs.ca.crt)
        check(probe.starttls[0] == 220 and probe.plain == b"" and probe.handshake is None
              and probe.unprompted == b"" and probe.ehlo[0] == 250, "the honest server: %r" % (probe,))
        events = server.events()
        discarded = [e["discarded"] for e in events if e["event"] == "starttls"]
        check(discarded == ["MAIL FROM:<x>\r\n"], "the honest server discarded %r" % discarded)
        inside = [e["line"] for e in events if e["event"] == "command" and e["tls"]]
        check(inside == ["EHLO client.e2e.test"], "commands inside TLS: %r" % inside)
        # Verification by name: the server's certificate is not for wrong.example.
        probe = starttls_injection(ctx, server.port, injected=b"", ca=certs.ca.crt, server_name="wrong.example")
        check(probe.handshake and "match" in probe.handshake, "a wrong name was verified: %r" % (probe,))
    finally:
        for server in servers.values():
            server.stop()


# --------------------------------------------------------------------------
# TLS on both legs, through the proxy (native, the host's socket service:
# with the plug-in's own sockets every TLS option is refused).

TLS_VERSION = re.compile(r"TLSv1\.[23]")
# OpenSSL's names and the IANA ones (SChannel's).
TLS_CIPHER = re.compile(r"\bTLS_\w*(AES|CHACHA20)\w*|\bECDHE-[\w-]+")


def tls_proxy(ctx, name, upstream, certs, implicit=False, extra=(), cert=None):
    """A proxy that offers STARTTLS with the test certificate (or the PEM
    file cert) on its plain listener and, with implicit, speaks TLS from the
    first byte on a --listen-tls listener too (its port: proxy.tls_port)."""
    args = ["--tls-cert", cert or certs.localhost.pem]
    if implicit:
        args += ["--listen-tls", "127.0.0.1:0"]
    proxy = Proxy(ctx, name, upstream=upstream, extra=args + list(extra))
    proxy.tls_port = proxy.listener_port("-", "listen-tls") if implicit else None
    return proxy


def upstream_tls(certs, mode):
    """The options for TLS toward an upstream with the test certificate."""
    return ["--upstream-tls", mode, "--upstream-ca", certs.ca.crt, "--upstream-tls-name", "localhost"]


def assert_tls_logged(proxy, legs):
    """A connection's log lines name the TLS version and the cipher of
    legs of it (1: the client's; 2: the client's and the server's)."""
    def found():
        per_connection = {}
        for line in proxy.log_text().splitlines():
            m = re.search(r"\bconn (\d+)\b", line)
            if m:
                per_connection[m.group(1)] = per_connection.get(m.group(1), "") + "\n" + line
        return any(len(TLS_VERSION.findall(text)) >= legs and len(TLS_CIPHER.findall(text)) >= legs
                   for text in per_connection.values())
    check(wait_for(found, 5), "no connection's log line names the TLS version and cipher of %d leg(s):\n%s" % (
        legs, proxy.proc.log_tail(12)))


def message_dialogue(tag):
    """EHLO and one message, each answered, for s_client."""
    return ["EHLO client.e2e.test", "MAIL FROM:<sender@example.test>", "RCPT TO:<receiver@example.test>",
            "DATA", stuff(sent_content(message(tag))).decode() + ".", "QUIT"]


def sc_tls_clients(ctx):
    """Every client's way into TLS through the proxy, to the recording
    server in plain text: swaks --tls and --tlsc, s_client with -starttls
    smtp and from the first byte, smtplib's starttls() and SMTP_SSL; each
    message delivered with the inserted header. STARTTLS is offered on a
    plain connection only: neither after STARTTLS nor on an implicit-TLS
    connection, where it is refused. EICAR inside TLS is dropped as over
    plain text. The log names the client leg's TLS version and cipher."""
    certs = certificates(ctx.workdir)
    ca = certs.ca.crt
    server = MailServer(ctx.workdir, "tls-clients-server")
    proxy = tls_proxy(ctx, "tls-clients-proxy", server.port, certs, implicit=True)
    try:
        plain = smtp(ctx, proxy.port)
        try:
            check(plain.has_extn("starttls"), "no STARTTLS on the plain listener: %r" % plain.esmtp_features)
        finally:
            plain.close()
        for kind, port in (("starttls", proxy.port), ("implicit", proxy.tls_port)):
            tag = tag_for(ctx, "tls-swaks-" + kind)
            text = message(tag)
            code, out = swaks(ctx, port, write_file(ctx, "tls-swaks-%s.eml" % kind, text), tls=kind, ca=ca)
            check(code == 0, "swaks %s through the proxy failed (%d):\n%s" % (kind, code, out[-2000:]))
            assert_delivered(server, tag, with_insert(sent_content(text)))
        for starttls, port in ((True, proxy.port), (False, proxy.tls_port)):
            tag = tag_for(ctx, "tls-s-client-" + ("starttls" if starttls else "implicit"))
            seen = s_client(ctx, port, message_dialogue(tag), starttls=starttls, ca=ca)
            expected = ([] if starttls else [220]) + [250, 250, 250, 354, 250, 221]
            check([code for code, _ in seen.replies] == expected and "Verification: OK" in seen.log,
                  "s_client through the proxy: %r" % seen)
            assert_delivered(server, tag, with_insert(sent_content(message(tag))))
        for name, connect, port in (("starttls", smtp_starttls, proxy.port), ("ssl", smtp_ssl, proxy.tls_port)):
            tag = tag_for(ctx, "tls-smtplib-" + name)
            text = message(tag)
            client = connect(ctx, port, ca=ca)
            try:
                check(not client.has_extn("starttls"), "STARTTLS offered inside TLS (%s): %r" % (
                    name, client.esmtp_features))
                code, reply = client.docmd("STARTTLS")
                check(code == 503, "STARTTLS inside TLS (%s) answered %d %r" % (name, code, reply))
                client.sendmail("sender@example.test", ["receiver@example.test"], text)
                expect_vrfy_in_step(client)
                client.quit()
            finally:
                client.close()
            assert_delivered(server, tag, with_insert(sent_content(text)))

        tag = tag_for(ctx, "tls-eicar")
        text = message(tag, [b"The test file follows.", EICAR, b"That was it."])
        code, out = swaks(ctx, proxy.tls_port, write_file(ctx, "tls-eicar.eml", text), tls="implicit", ca=ca)
        check(code == 0 and re.search(r"^<~\s+250 Mail accepted\s*$", out, re.M),
              "EICAR inside TLS was not answered '250 Mail accepted' (%d):\n%s" % (code, out[-1500:]))
        time.sleep(0.3)
        assert_not_delivered(server, tag)
        assert_tls_logged(proxy, 1)
    finally:
        proxy.stop()
        server.stop()


def tls_postfix(ctx, name):
    """Postfix with TLS and SASL on the ports of postfix_tls_listeners()."""
    certs = certificates(ctx.workdir)
    return Postfix(ctx.workdir, name, listeners=postfix_tls_listeners(certs), tls=certs.localhost,
                   sasl={AUTH_USER: AUTH_PASSWORD})


def sc_tls_postfix_sasl(ctx):
    """A real Postfix that takes mail only inside TLS and only after AUTH
    (sasldb): through a proxy to its STARTTLS port and one to its
    implicit-TLS port, clients in TLS (STARTTLS and implicit) authenticate
    with PLAIN and LOGIN through the proxy, and every message is stored
    with the inserted header; EICAR is dropped. The log names both legs'
    TLS versions and ciphers. The proxies run at trace level 3 with the plug-in's trace in
    their logs: no file of theirs holds the password in any form."""
    certs = certificates(ctx.workdir)
    ca = certs.ca.crt
    creds = (AUTH_USER, AUTH_PASSWORD)
    postfix = tls_postfix(ctx, "tls-sasl-postfix")
    debug = [] if os.environ.get("E2E_DEBUG_LEVEL") else ["--debug-level", "3"]
    proxies = {kind: tls_proxy(ctx, "tls-sasl-proxy-" + kind, postfix.ports[kind], certs, implicit=True,
                               extra=upstream_tls(certs, kind) + debug)
               for kind in ("starttls", "implicit")}
    try:
        for kind, proxy in proxies.items():
            tag = tag_for(ctx, "tls-sasl-swaks-" + kind)
            text = message(tag)
            code, out = swaks(ctx, proxy.port, write_file(ctx, "tls-sasl-%s.eml" % kind, text),
                              tls="starttls", ca=ca, auth=creds)
            check(code == 0, "swaks with AUTH through the proxy to Postfix's %s port failed (%d):\n%s\n"
                  "Postfix:\n%s" % (kind, code, out[-2000:], postfix.log_tail()))
            assert_stored(postfix, tag, with_insert(sent_content(text)))

            tag = tag_for(ctx, "tls-sasl-smtplib-" + kind)
            text = message(tag)
            send_authenticated(smtp_ssl(ctx, proxy.tls_port, ca=ca), text, "LOGIN")
            assert_stored(postfix, tag, with_insert(sent_content(text)))
        logins = [postfix.sasl_logins(AUTH_USER, "postfix/" + kind) for kind in ("starttls", "implicit")]
        check(logins == [2, 2], "Postfix logged %r authenticated messages on its two ports:\n%s" % (
            logins, postfix.log_tail()))
        send_authenticated(smtp_ssl(ctx, proxies["starttls"].tls_port, ca=ca),
                           message(tag_for(ctx, "tls-sasl-eicar"), [b"Attached:", EICAR]))
        time.sleep(0.5)
        assert_no_eicar(postfix)
        for proxy in proxies.values():
            assert_tls_logged(proxy, 2)
    finally:
        for proxy in proxies.values():
            proxy.stop()
        postfix.stop()
    if debug:
        # The search means something only if the client's commands were traced.
        check(all("MAIL FROM:<sender@example.test>" in proxy.log_text() for proxy in proxies.values()),
              "the plug-in's level-3 trace is not in the proxies' logs")
    found = files_holding([proxy.dir for proxy in proxies.values()], secret_forms(*creds))
    check(not found, "credentials in the proxy's files: %r" % found)


def sc_tls_upstream_unverified(ctx):
    """An upstream whose certificate is for another name, or is signed by
    an unknown CA: the client hears 4xx and nothing is delivered (the ports
    would relay the message for a proxy that did not check)."""
    certs = certificates(ctx.workdir)
    postfix = tls_postfix(ctx, "tls-unverified-postfix")
    try:
        for name in ("wrong-name", "unknown-ca"):
            proxy = Proxy(ctx, "tls-unverified-proxy-" + name, upstream=postfix.ports[name],
                          extra=upstream_tls(certs, "starttls"))
            tag = tag_for(ctx, "tls-unverified-" + name)
            code, out = swaks(ctx, proxy.port, write_file(ctx, "tls-%s.eml" % name, message(tag)))
            check(code != 0 and re.search(r"^<\*\*\s+4\d\d[ -]", out, re.M),
                  "the %s upstream did not end in 4xx:\n%s" % (name, out[-1500:]))
            proxy.stop()
            time.sleep(0.5)
            check(not postfix.with_token(tag), "a message reached the %s upstream" % name)
    finally:
        postfix.stop()


def sc_tls_upstream_may(ctx):
    """--upstream-tls may: plain text to a server without STARTTLS, TLS to
    one with it; both deliver."""
    certs = certificates(ctx.workdir)
    servers = {mode: LenientServer(ctx.workdir, "tls-may-" + (mode or "plain"), starttls=mode,
                                   identity=certs.localhost) for mode in (None, "honest")}
    try:
        for mode, server in servers.items():
            proxy = Proxy(ctx, "tls-may-proxy-" + (mode or "plain"), upstream=server.port,
                          extra=["--upstream-tls", "may"])
            tag = tag_for(ctx, "tls-may-" + (mode or "plain"))
            text = message(tag)
            client = smtp(ctx, proxy.port)
            try:
                client.sendmail("sender@example.test", ["receiver@example.test"], text)
                client.quit()
            finally:
                client.close()
            assert_delivered(server, tag, with_insert(sent_content(text)))
            commands = [((e["line"].split() or [""])[0].upper(), e["tls"])
                        for e in server.events() if e["event"] == "command"]
            mail = [tls for verb, tls in commands if verb == "MAIL"]
            check(mail == [mode is not None], "%s server: MAIL inside TLS %r; commands %r" % (
                mode or "plain", mail, commands))
            if mode is None:
                check(not any(verb == "STARTTLS" for verb, _ in commands), "STARTTLS sent to a server without it")
            else:
                assert_tls_logged(proxy, 1)
            proxy.stop()
    finally:
        for server in servers.values():
            server.stop()


def sc_tls_injection_client(ctx):
    """"STARTTLS\\r\\nMAIL FROM:<x>\\r\\n" in one packet from the client: the
    handshake goes on, the injected command is never run (no reply to it
    inside TLS, never sent to the server)."""
    certs = certificates(ctx.workdir)
    server = LenientServer(ctx.workdir, "tls-inject-client-server")
    proxy = tls_proxy(ctx, "tls-inject-client-proxy", server.port, certs)
    try:
        probe = starttls_injection(ctx, proxy.port, ca=certs.ca.crt)
        check(probe.starttls[0] == 220 and probe.handshake is None and probe.ehlo and probe.ehlo[0] == 250,
              "STARTTLS through the proxy: %r" % (probe,))
        check(probe.unprompted == b"", "the injected command was answered inside TLS: %r" % (probe,))
        sent = b"".join(server.transcripts().values())
        check(b"MAIL FROM:<x>" not in sent, "the injected command reached the server: %r" % sent[-500:])
    finally:
        proxy.stop()
        server.stop()


def sc_tls_injection_server(ctx):
    """"220 go\r\n250 injected\r\n" in one packet from the server after the
    proxy's STARTTLS: bytes behind the 220 were written before the
    handshake, so the proxy takes nothing from that server: the client is
    turned away with 421, the log says why, and no command of the client's
    reaches the server."""
    certs = certificates(ctx.workdir)
    server = LenientServer(ctx.workdir, "tls-inject-server", starttls="inject", identity=certs.localhost)
    proxy = Proxy(ctx, "tls-inject-server-proxy", upstream=server.port, extra=upstream_tls(certs, "starttls"))
    try:
        c = RawClient(proxy.port, 20 * ctx.build.slow)
        try:
            code, lines = c.reply()
            check(code == 421, "a client of a server that injected after its 220 heard %r" % lines)
        finally:
            c.close()
        check(wait_for(lambda: "after its 220" in proxy.log_text(), 5),
              "the log does not say the server sent more after its 220:\n%s" % proxy.proc.log_tail())
        verbs = [(e["line"].split() or [""])[0].upper() for e in server.events() if e["event"] == "command"]
        check(verbs == ["EHLO", "STARTTLS"], "the server heard %r (the proxy's EHLO and STARTTLS only)" % verbs)
    finally:
        proxy.stop()
        server.stop()


def sc_tls_upstream_greeting_downgrade(ctx):
    """--upstream-tls starttls behind someone on the path who greets with
    "250 x" in place of the server's 220, hoping the proxy skips STARTTLS:
    the client hears 421 4.7.0 and nothing more, and the server hears
    nothing at all (no EHLO, no QUIT, no mail), however the client goes on."""
    certs = certificates(ctx.workdir)
    server = LenientServer(ctx.workdir, "tls-greeting-downgrade-server", options=["--greeting", "250 x"])
    proxy = Proxy(ctx, "tls-greeting-downgrade-proxy", upstream=server.port,
                  extra=upstream_tls(certs, "starttls"))
    tag = tag_for(ctx, "tls-greeting-downgrade")
    try:
        c = RawClient(proxy.port, 20 * ctx.build.slow)
        try:
            greeting = c.reply()
            # A client that does not listen: the whole transaction, sent anyway.
            for line in ("EHLO client.e2e.test", "MAIL FROM:<sender@example.test>",
                         "RCPT TO:<receiver@example.test>", "DATA"):
                c.command(line)
            c.send(message(tag) + b"\r\n.\r\nQUIT\r\n")
            c.pending(2)
        except OSError:
            pass
        finally:
            c.close()
        check(greeting[0] == 421 and greeting[1][0].startswith("421 4.7.0 "),
              "the client of a server that greeted 250 heard %r" % (greeting,))
        check(wait_for(lambda: "was not 220: 250 x" in proxy.log_text(), 5),
              "the log does not say the greeting was not 220:\n%s" % proxy.proc.log_tail())
        proxy.stop()
        sent = b"".join(server.transcripts().values())
        check(sent == b"", "the server heard %r after its greeting" % sent[-500:])
        check(not server.with_token(tag), "the message reached the server in plain text")
    finally:
        proxy.stop()
        server.stop()


def sc_tls_require(ctx):
    """--require-tls: a plain connection is offered STARTTLS and no AUTH,
    and every command but EHLO, HELO, NOOP, RSET, QUIT and STARTTLS is
    answered 530 (MAIL, AUTH, RCPT, DATA, VRFY tried); after STARTTLS AUTH is
    offered and the message goes through."""
    certs = certificates(ctx.workdir)
    server = MailServer(ctx.workdir, "tls-require-server", auth=AUTH_USER + ":" + AUTH_PASSWORD)
    proxy = tls_proxy(ctx, "tls-require-proxy", server.port, certs, extra=["--require-tls"])
    try:
        c = RawClient(proxy.port, 20 * ctx.build.slow)
        try:
            check(c.reply()[0] == 220, "no greeting")
            code, lines = c.command("EHLO client.e2e.test")
            check(code == 250 and any("STARTTLS" in line for line in lines)
                  and not any(line[4:].upper().startswith("AUTH") for line in lines),
                  "plain EHLO under --require-tls: %r (STARTTLS and no AUTH expected)" % lines)
            for command in ("MAIL FROM:<sender@example.test>", "AUTH PLAIN " + auth_plain(AUTH_USER, AUTH_PASSWORD),
                            "RCPT TO:<receiver@example.test>", "DATA", "VRFY receiver"):
                code, lines = c.command(command)
                check(code == 530, "%s in plain text answered %r" % (command.split()[0], lines))
        finally:
            c.close()
        tag = tag_for(ctx, "tls-require")
        text = message(tag)
        send_authenticated(smtp_starttls(ctx, proxy.port, ca=certs.ca.crt), text)
        assert_delivered(server, tag, with_insert(sent_content(text)))
    finally:
        proxy.stop()
        server.stop()
    found = files_holding([proxy.dir], secret_forms(AUTH_USER, AUTH_PASSWORD))
    check(not found, "credentials in the proxy's files: %r" % found)


def closed_within(sock, seconds):
    """Whether the peer closed sock (or reset it) within seconds, reading
    and dropping whatever it sends."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True
    return False


def sc_tls_handshake_timeout(ctx):
    """Handshakes that never finish are cut by --tls-handshake-timeout: a
    silent client on the implicit-TLS listener, one that sends half a
    ClientHello, one silent after STARTTLS; the proxy serves on."""
    certs = certificates(ctx.workdir)
    server = MailServer(ctx.workdir, "tls-timeout-server")
    proxy = tls_proxy(ctx, "tls-timeout-proxy", server.port, certs, implicit=True,
                      extra=["--tls-handshake-timeout", "1"])
    # Well beyond 1 s, below the default time-out (10 s) and every other
    # time limit of the proxy: the option's own value must cut them.
    bound = 7
    try:
        for what, start in (("silent", b""), ("half a ClientHello", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")):
            s = socket.create_connection(("127.0.0.1", proxy.tls_port), 10)
            try:
                if start:
                    s.sendall(start)
                check(closed_within(s, bound), "a %s client on the TLS listener was not cut" % what)
            finally:
                s.close()
        c = RawClient(proxy.port, 20)
        try:
            check(c.reply()[0] == 220 and c.command("EHLO client.e2e.test")[0] == 250, "plain session failed")
            check(c.command("STARTTLS")[0] == 220, "STARTTLS refused")
            check(closed_within(c.sock, bound), "a client silent after STARTTLS was not cut")
        finally:
            c.close()
        tag = tag_for(ctx, "tls-timeout-after")
        text = message(tag)
        code, out = swaks(ctx, proxy.tls_port, write_file(ctx, "tls-timeout.eml", text), tls="implicit",
                          ca=certs.ca.crt)
        check(code == 0, "swaks after the cut handshakes failed (%d):\n%s" % (code, out[-1500:]))
        assert_delivered(server, tag, with_insert(sent_content(text)))
    finally:
        proxy.stop()
        server.stop()


def sc_tls_renegotiation_refused(ctx):
    """A TLS 1.2 client that asks to renegotiate (s_client's R) hears the
    warning alert no_renegotiation at once, not silence until
    --command-timeout. OpenSSL's client library takes a refused
    renegotiation as fatal and ends the session itself: the proxy sees that
    end at once, and the next client is served. TLS 1.2 is offered with
    ECDHE and AEAD ciphers only."""
    certs = certificates(ctx.workdir)
    server = MailServer(ctx.workdir, "tls-reneg-server")
    proxy = tls_proxy(ctx, "tls-reneg-proxy", server.port, certs, implicit=True,
                      extra=["--command-timeout", "60"])
    # Far below the command time-out: only an answer at once meets it.
    bound = 5 * ctx.build.slow
    argv = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % proxy.tls_port, "-tls1_2", "-crlf",
            "-msg", "-CAfile", certs.ca.crt, "-servername", "localhost", "-verify_return_error"]
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    output = []

    def read():
        for line in iter(proc.stdout.readline, b""):
            output.append(line.decode("latin-1"))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()

    def heard(pattern):
        return wait_for(lambda: re.search(pattern, "".join(output), re.M), bound)

    try:
        check(heard(r"^220 "), "no greeting over TLS 1.2:\n%s" % "".join(output)[-1500:])
        proc.stdin.write(b"EHLO client.e2e.test\n")
        proc.stdin.flush()
        check(heard(r"^250 "), "no answer to EHLO:\n%s" % "".join(output)[-1500:])
        proc.stdin.write(b"R\n")
        proc.stdin.flush()
        check(heard(r"RENEGOTIATING"), "s_client did not renegotiate:\n%s" % "".join(output)[-1500:])
        check(heard(r"<<< TLS 1\.2, Alert \[length 0002\], warning no_renegotiation"),
              "no no_renegotiation alert within %d s:\n%s" % (bound, "".join(output)[-1500:]))
        check(wait_for(lambda: re.search(r"conn \d+ from [^:]+:\d+: client connection failed",
                                         proxy.log_text()), bound),
              "the client's end was not seen at once:\n%s" % proxy.proc.log_tail(8))
        seen = s_client(ctx, proxy.tls_port, ["EHLO client.e2e.test", "QUIT"], starttls=False,
                        ca=certs.ca.crt)
        check([code for code, _ in seen.replies] == [220, 250, 221],
              "the next client was not served: %r" % seen)
        # TLS 1.2 toward clients: forward secrecy and AEAD only.
        for ciphers, served in (("AES128-GCM-SHA256:AES256-SHA", False),
                                ("ECDHE-RSA-AES128-SHA", False),
                                ("ECDHE-RSA-CHACHA20-POLY1305", True)):
            done = subprocess.run(argv[:argv.index("-msg")] + ["-cipher", ciphers], input=b"",
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=30 * ctx.build.slow)
            text = done.stdout.decode("latin-1")
            check(("Cipher is " + ciphers in text) == served,
                  "TLS 1.2 with %s %s:\n%s" % (ciphers, "refused" if served else "served",
                                                text[-1500:]))
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proxy.stop()
        server.stop()


def sc_tls_cert_reload(ctx):
    """SIGHUP reloads --tls-cert: new connections get the new certificate
    on the STARTTLS and the implicit-TLS listener alike; a file that does
    not load leaves the one in force, and the log names it."""
    certs = certificates(ctx.workdir)
    pem = os.path.join(ctx.workdir, "tls-reload.pem")

    def install(data):
        # Whole, as an administrator replaces it: written beside, renamed over.
        with open(pem + ".new", "wb") as f:
            f.write(data)
        os.chmod(pem + ".new", 0o600)
        os.rename(pem + ".new", pem)

    def pem_of(identity):
        with open(identity.pem, "rb") as f:
            return f.read()

    install(pem_of(certs.localhost))
    server = MailServer(ctx.workdir, "tls-reload-server")
    proxy = tls_proxy(ctx, "tls-reload-proxy", server.port, certs, implicit=True, cert=pem)

    def served(name):
        """Whether both listeners present a certificate that verifies for name."""
        for connect, port in ((smtp_starttls, proxy.port), (smtp_ssl, proxy.tls_port)):
            try:
                connect(ctx, port, ca=certs.ca.crt, server_name=name).close()
            except ssl.SSLCertVerificationError:
                return False
        return True

    try:
        check(served("localhost") and not served("wrong.example"), "the first certificate is not served")
        install(pem_of(certs.wrong_name))
        proxy.proc.popen.send_signal(signal.SIGHUP)
        check(wait_for(lambda: served("wrong.example"), 10) and not served("localhost"),
              "the new certificate is not served after SIGHUP:\n%s" % proxy.proc.log_tail())
        mark = len(proxy.log_text())
        install(b"-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n")
        proxy.proc.popen.send_signal(signal.SIGHUP)
        check(wait_for(lambda: pem in proxy.log_text()[mark:], 10),
              "no log line names the certificate file that failed to load:\n%s" % proxy.proc.log_tail())
        check(served("wrong.example"), "a file that failed to load replaced the certificate in force")
        check(proxy.proc.alive(), "the proxy ended on a bad certificate file")
    finally:
        proxy.stop()
        server.stop()


def sc_tls_two_routes(ctx):
    """Two routes at once from one settings file: the default one to
    Postfix's STARTTLS port, [route second] to its implicit-TLS port; two
    clients authenticate and send in parallel, and each message reaches
    Postfix through its own route's port."""
    certs = certificates(ctx.workdir)
    postfix = tls_postfix(ctx, "tls-routes-postfix")
    settings = write_file(ctx, "tls-routes.conf", (
        "[route second]\nlisten = 127.0.0.1:0\nupstream = 127.0.0.1:%d\nupstream-tls = implicit\n"
        "upstream-tls-name = localhost\nupstream-ca = %s\n" % (postfix.ports["implicit"], certs.ca.crt)).encode())
    proxy = tls_proxy(ctx, "tls-routes-proxy", postfix.ports["starttls"], certs,
                      extra=upstream_tls(certs, "starttls") + ["--config", settings])
    second_port = proxy.listener_port("second")
    try:
        tags = {port: tag_for(ctx, "tls-route-%d" % port) for port in (proxy.port, second_port)}
        outcomes = {}

        def send(port):
            text = message(tags[port])
            try:
                outcomes[port] = swaks(ctx, port, write_file(ctx, "tls-route-%d.eml" % port, text),
                                       tls="starttls", ca=certs.ca.crt, auth=(AUTH_USER, AUTH_PASSWORD))
            except Failure as e:
                outcomes[port] = (None, str(e))

        threads = [threading.Thread(target=send, args=(port,)) for port in tags]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120 * ctx.build.slow)
        for port, tag in tags.items():
            code, out = outcomes.get(port, (None, "did not finish"))
            check(code == 0, "swaks to route port %d failed (%s):\n%s" % (port, code, out[-1500:]))
            assert_stored(postfix, tag, with_insert(sent_content(message(tag))))
        logins = [postfix.sasl_logins(AUTH_USER, "postfix/" + kind) for kind in ("starttls", "implicit")]
        check(logins == [1, 1], "Postfix logged %r authenticated messages on its STARTTLS and implicit "
              "ports, expected one each:\n%s" % (logins, postfix.log_tail()))
        check(wait_for(lambda: re.search(r"conn \d+ \[route second\] ", proxy.log_text()), 10),
              "no connection of route second in the log:\n%s" % proxy.proc.log_tail())
    finally:
        proxy.stop()
        postfix.stop()


def sc_tls_refused_plugin_mode(ctx):
    """With --socket-service plugin every TLS option is refused at start-up,
    with a clear error and exit status 2."""
    certs = certificates(ctx.workdir)
    build = ctx.build
    for option in (["--tls-cert", build.path(certs.localhost.pem)], ["--upstream-tls", "may"],
                   ["--listen-tls", "127.0.0.1:%d" % free_port(), "--tls-cert", build.path(certs.localhost.pem)]):
        argv = build.argv(["--listen", "127.0.0.1:0", "--plugin", build.path(build.plugin),
                           "--socket-service", "plugin", "--upstream", "127.0.0.1:%d" % free_port()] + option)
        code, out = run(argv, 60 * build.slow, env=build.env(ctx.tmpdir))
        check(code == 2 and option[0] in out and "plugin" in out and "listening on" not in out,
              "%s with --socket-service plugin: exit %s, output:\n%s" % (option[0], code, out[-1500:]))


def xclient_refused(port, header):
    """The reply a client hears after its PROXY header, when it is turned
    away before the server's session."""
    c = RawClient(port, 30)
    try:
        c.send(header)
        return c.reply()
    finally:
        c.close()


def sc_upstream_xclient_fail_closed(ctx):
    """--upstream-xclient never lets a client reach the server as the proxy.
    A server that answers XCLIENT 451 once: that client hears 421 with the
    server's text, and the next is introduced and delivers. A server that
    does not offer XCLIENT: every client hears 421, no MAIL reaches it, and
    the log names the fault once (not per client)."""
    header = b"PROXY TCP4 198.51.100.7 127.0.0.1 40000 25\r\n"
    lenient = LenientServer(ctx.workdir, "xclient-once-" + ctx.mode, "lf", ["--xclient-refuse", "1"])
    plain = MailServer(ctx.workdir, "xclient-plain-" + ctx.mode)
    try:
        proxy = Proxy(ctx, "xclient-once-proxy-" + ctx.mode, upstream=lenient.port,
                      extra=["--proxy-protocol", "--upstream-xclient"])
        code, lines = xclient_refused(proxy.port, header)
        check(code == 421 and "Temporary lookup failure" in lines[0],
              "a client whose XCLIENT was refused heard %r" % lines)
        tag = tag_for(ctx, "xclient-again")
        greeting, final = xclient_session(proxy.port, header, tag)
        check(final[0] == 250, "end of data answered %r" % (final,))
        check("introduced" in greeting[1][0], "the greeting %r is not the one after XCLIENT" % greeting[1])
        assert_delivered(lenient, tag, with_insert(sent_content(message(tag))))
        commands = [e for e in lenient.events("command")]
        introduced = {e["conn"] for e in commands if e["line"].startswith("XCLIENT ADDR=198.51.100.7 ")}
        mailed = {e["conn"] for e in commands if e["line"].upper().startswith("MAIL ")}
        check(mailed and mailed <= introduced,
              "MAIL on connections %r, XCLIENT taken on %r" % (sorted(mailed), sorted(introduced)))
        proxy.stop()

        proxy = Proxy(ctx, "xclient-plain-proxy-" + ctx.mode, upstream=plain.port,
                      extra=["--proxy-protocol", "--upstream-xclient"])
        for _ in range(3):
            code, lines = xclient_refused(proxy.port, b"PROXY TCP6 2001:db8::7 ::1 40000 25\r\n")
            check(code == 421, "a client heard %r from a proxy whose server lacks XCLIENT" % lines)
        check(not plain.events("MESSAGE"), "a message reached the server without XCLIENT")
        said = proxy.log_text().count("does not advertise XCLIENT")
        check(said == 1, "the proxy named the missing XCLIENT %d times, not once" % said)
        proxy.stop()
    finally:
        lenient.stop()
        plain.stop()


# Scenarios with a real Postfix smtpd as the server: a private instance
# (harness.Postfix) that refuses unsynchronised clients, each accepted message
# a file in its maildir, and a proxy with the builtin scanner.


def assert_no_eicar(postfix):
    stored = [c for c in postfix.messages() if EICAR in c]
    check(not stored, "EICAR reached Postfix's mailbox (%d files)" % len(stored))


def postfix_queued(reply):
    return re.search(rb"^2\.0\.0 Ok: queued as \w+$", reply) is not None


def sc_pf_plain(ctx, env):
    tag = tag_for(ctx, "pf-plain")
    text = message(tag)
    code, out = swaks(ctx, env.proxy.port, write_file(ctx, "pf-plain-%s.eml" % ctx.mode, text))
    check(code == 0, "swaks failed (%d):\n%s" % (code, out[-2000:]))
    check(re.search(r"^<-\s+250 2\.0\.0 Ok: queued as \w+\s*$", out, re.M),
          "swaks did not hear Postfix's final reply:\n" + out[-1500:])
    assert_stored(env.postfix, tag, with_insert(sent_content(text)))


def sc_pf_pipeline(ctx, env):
    rcpts = ["pf1@example.test", "pf2@example.test", "pf3@example.test"]
    tag, text, out = swaks_pipelined(ctx, env, "pf-pipe", rcpts)
    check(re.search(r"^<-\s+250 2\.0\.0 Ok: queued as", out, re.M),
          "no final reply from Postfix:\n" + out[-1500:])
    assert_stored(env.postfix, tag, with_insert(sent_content(text)), rcpts=rcpts)


def sc_pf_eicar_then_clean_ehlo(ctx, env):
    bad = tag_for(ctx, "pf-eicar-ehlo")
    good = tag_for(ctx, "pf-after-eicar-ehlo")
    good_text = message(good)
    client = smtp(ctx, env.proxy.port)
    try:
        for tag, text, infected in ((bad, message(bad, [b"Here:", EICAR]), True), (good, good_text, False)):
            code, reply = client.mail("sender@example.test")
            check(code == 250, "MAIL for %s answered %d %r" % (tag.decode(), code, reply))
            code, reply = client.rcpt("receiver@example.test")
            check(code == 250, "RCPT for %s answered %d %r" % (tag.decode(), code, reply))
            code, reply = client.data(text)
            if infected:
                check((code, reply) == (250, b"Mail accepted"), "infected message answered %d %r" % (code, reply))
            else:
                check(code == 250 and postfix_queued(reply), "clean message answered %d %r" % (code, reply))
        code, reply = client.noop()
        check(code == 250, "session out of step: NOOP answered %d %r" % (code, reply))
        client.quit()
    finally:
        client.close()
    assert_stored(env.postfix, good, with_insert(sent_content(good_text)))
    check(not env.postfix.with_token(bad), "the infected message reached Postfix")


def sc_pf_eicar_then_clean_helo(ctx, env):
    """HELO sessions: Postfix takes no command before it answered the last
    one, so the plug-in's own RSET after an infected message must have its
    reply before the client's next MAIL goes on. A client that waits for
    every reply, then one that writes an infected message's end and its next
    MAIL at once (held by the plug-in until the RSET's reply); each sends
    three infected and clean pairs, since whether Postfix finds the next
    command already waiting depends on timing."""
    pairs = 3
    for eager in (False, True):
        c = RawClient(env.proxy.port, 30 * ctx.build.slow)
        heard = []
        sent = []

        def expect(what, want):
            code, lines = c.reply()
            heard.append((what, lines))
            check(code == want, "%s answered %s, expected %d; %s client's dialogue: %r" % (
                what, lines or "nothing (the connection was closed)", want,
                "eager" if eager else "synchronous", heard[-8:]))
            return lines

        try:
            expect("greeting", 220)
            c.send(b"HELO client.e2e.test\r\n")
            expect("HELO", 250)
            mail_sent = False
            for i in range(2 * pairs):
                infected = i % 2 == 0
                tag = tag_for(ctx, "pf-helo%d-%d" % (eager, i))
                text = message(tag, [b"Here:", EICAR]) if infected else message(tag)
                sent.append((tag, text, infected))
                if not mail_sent:
                    c.send(b"MAIL FROM:<sender@example.test>\r\n")
                expect("MAIL", 250)
                c.send(b"RCPT TO:<receiver@example.test>\r\n")
                expect("RCPT", 250)
                c.send(b"DATA\r\n")
                expect("DATA", 354)
                mail_sent = eager and infected
                c.send(stuff(sent_content(text)) + b".\r\n" +
                       (b"MAIL FROM:<sender@example.test>\r\n" if mail_sent else b""))
                lines = expect("end of data %d" % i, 250)
                if infected:
                    check(lines == ["250 Mail accepted"], "infected message answered %r" % lines)
                else:
                    check(postfix_queued(lines[0][4:].encode()), "clean message answered %r" % lines)
            c.send(b"QUIT\r\n")
            expect("QUIT", 221)
        finally:
            c.close()
        for tag, text, infected in sent:
            if infected:
                check(not env.postfix.with_token(tag), "the infected message reached Postfix")
            else:
                assert_stored(env.postfix, tag, with_insert(sent_content(text)))


def sc_pf_keepalive(ctx, env):
    """A scan of three keep-alive intervals against a Postfix that drops a
    client idle for 2 s: the keep-alive NOOPs hold the session, and the
    last of them goes out as the scan ends, just before the plug-in's DATA
    (which Postfix must not see before its reply to the NOOP)."""
    short = env.postfix.ports["short"]
    slow, proxy = slow_scan_proxy(ctx, "pf-keepalive-%s-%d" % (ctx.mode, len(ctx.proxies)), 3.0, short, 1)
    try:
        mark = len(env.postfix.log_text())
        # The control: a client as idle as the scan is long is dropped.
        idle = {}

        def idle_client():
            c = RawClient(short, 20)
            try:
                c.reply()
                c.command("EHLO idle.e2e.test")
                idle["reply"] = c.reply()
            except OSError as e:
                idle["reply"] = (None, [repr(e)])
            finally:
                c.close()

        control = threading.Thread(target=idle_client, daemon=True)
        control.start()
        tag, text = message_in_step(ctx, proxy.port, "pf-keepalive", postfix_queued)
        control.join(20)
        check(slow.scans(), "the slow scanner was never asked")
        check(idle.get("reply", (None,))[0] == 421,
              "the idle control client was not dropped (%r): the test proves nothing" % (idle.get("reply"),))
        assert_stored(env.postfix, tag, with_insert(sent_content(text)))

        def counted():
            # Postfix's count of the session's commands: "disconnect from
            # unknown[127.0.0.1] ehlo=1 mail=1 rcpt=1 data=1 noop=3 quit=1 commands=8".
            return [int(m.group(1)) for m in re.finditer(
                r"postfix/short/smtpd\[\d+\]: disconnect from \S+ ehlo=\d+ mail=\d+ rcpt=\d+ .*?noop=(\d+)",
                env.postfix.log_text()[mark:])]

        noops = wait_for(counted, 10)
        check(noops and noops[0] >= 2, "Postfix counted keep-alive NOOPs %r in the proxy's session" % noops)
        ctx.note("%d keep-alive NOOPs" % noops[0])
    finally:
        proxy.stop()
        slow.stop()


def sc_pf_keepalive_refused(ctx, env):
    """Postfix ends a session of too many NOOPs with 421 (here at the third,
    as it does after about 120 by default): the keep-alives stop, and the
    client hears that its message failed, never 250 and never silence."""
    slow, proxy = slow_scan_proxy(ctx, "pf-junk-%s-%d" % (ctx.mode, len(ctx.proxies)), 3.5,
                                  env.postfix.ports["junk"], 1)
    tag = tag_for(ctx, "pf-junk")
    client = smtp(ctx, proxy.port, timeout=40)
    try:
        client.mail("sender@example.test")
        client.rcpt("receiver@example.test")
        try:
            code, reply = client.data(message(tag))
        except smtplib.SMTPServerDisconnected as e:
            code, reply = None, repr(e)
        check(code in (421, 451), "end of data answered %r %r after the server's 421" % (code, reply))
        ctx.note("client heard %d" % code)
    finally:
        client.close()
        proxy.stop()
        slow.stop()
    check(re.search(r"postfix/junk/smtpd\[\d+\]: .*too many errors", env.postfix.log_text()),
          "Postfix never refused a NOOP (the test proves nothing)")
    time.sleep(0.5)
    check(not env.postfix.with_token(tag), "the message reached Postfix")


def sc_pf_smuggled_commands(ctx, env):
    """Command lines with a bare LF: Postfix would read two commands, so the
    plug-in refuses them and the session stays in step; an EICAR message sent
    after `NOOP<LF>DATA` is only "commands" then, never a message."""
    c = RawClient(env.proxy.port, 30 * ctx.build.slow)
    good = tag_for(ctx, "pf-after-smuggled-cmd")
    good_text = message(good)
    try:
        check(c.reply()[0] == 220, "no greeting")
        check(c.command("EHLO client.e2e.test")[0] == 250, "EHLO failed")
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        for smuggled in (b"NOOP\nDATA\r\n", b"NOOP\nNOOP\r\n"):
            c.send(smuggled)
            code, lines = c.reply()
            check(code == 500, "%r answered %r, not refused" % (smuggled, lines))
            code, lines = c.command("NOOP")
            check(code == 250 and len(lines) == 1, "after %r the session is out of step: NOOP answered %r" % (
                smuggled, lines))
        # The transaction is still open: a real DATA delivers one message.
        code, lines = c.command("DATA")
        check(code == 354, "DATA answered %r" % lines)
        c.send(stuff(sent_content(good_text)) + b".\r\n")
        code, lines = c.reply()
        check(code == 250 and postfix_queued(lines[0][4:].encode()), "end of data answered %r" % lines)
        check(c.command("MAIL FROM:<sender@example.test>")[0] == 250, "MAIL failed")
        check(c.command("RCPT TO:<receiver@example.test>")[0] == 250, "RCPT failed")
        c.send(b"NOOP\nDATA\r\n")
        check(c.reply()[0] == 500, "NOOP<LF>DATA was not refused")
        # What would have been the message: each line a refused command.
        # (Postfix ends the session at a header line or a "." sent as a
        # command.)
        for line in [EICAR, b""]:
            c.send(line + b"\r\n")
            code, lines = c.reply()
            check(code is not None and code >= 500, "%r as a command answered %r" % (line, lines))
        check(c.command("QUIT")[0] == 221, "QUIT failed")
    finally:
        c.close()
    assert_stored(env.postfix, good, with_insert(sent_content(good_text)))
    assert_no_eicar(env.postfix)


# The lenient ends of data, each followed by a smuggled envelope and message;
# and how the plug-in writes the end: the "." line stuffed, or the bare CRs
# as spaces.
LENIENT_ENDS = [
    (b"\n.\n", b"\r\n..\r\n"),
    (b"\n.\r\n", b"\r\n..\r\n"),
    (b"\r\n.\n", b"\r\n..\r\n"),
    (b"\r.\r", b" . "),
]


def smuggling(tag, end, payload):
    """A message ending in "hello" + end, then an envelope and a second
    message (with payload in its body) that a lenient server would take."""
    inner = (b"MAIL FROM:<smuggler@example.test>\r\nRCPT TO:<receiver@example.test>\r\nDATA\r\n"
             b"Subject: smuggled " + tag + b"\r\n\r\n" + payload)
    return message(tag, [b"hello"]) + end + inner


def raw_message(c, data):
    """MAIL, RCPT and DATA on raw client c, then data exactly as given (the
    caller stuffs and ends it): the reply to the end of data."""
    for command, want in (("MAIL FROM:<sender@example.test>", 250), ("RCPT TO:<receiver@example.test>", 250),
                          ("DATA", 354)):
        code, lines = c.command(command)
        check(code == want, "%s answered %r" % (command, lines))
    c.send(data)
    return c.reply()


def sc_pf_smuggled_end_of_data(ctx, env):
    """SMTP smuggling, on a raw socket (smtplib would stuff the "." line):
    Postfix 3.7 ends data at <LF>.<LF> (shown first, directly). Through the
    proxy each form is one message with CRLF line ends only and the smuggled
    lines as its text; an EICAR in the smuggled part is found, since the
    scanner sees what Postfix gets."""
    control = tag_for(ctx, "pf-smuggle-direct")
    c = RawClient(env.postfix.port, 30)
    try:
        c.reply()
        c.command("EHLO client.e2e.test")
        direct = raw_message(c, smuggling(control, b"\n.\n", b"clean") + b"\r\n.\r\n")
    finally:
        c.close()
    check(direct[0] == 250 and env.postfix.wait_token(control) and
          not any(b"smuggled " + control in m for m in env.postfix.with_token(control)),
          "Postfix alone did not end the message at <LF>.<LF> (%r): the test proves nothing" % (direct,))
    c = raw_session(ctx, env, sender=None)
    cases = []
    try:
        for i, (end, written) in enumerate(LENIENT_ENDS):
            tag = tag_for(ctx, "pf-smuggle%d" % i)
            text = smuggling(tag, end, b"smuggled body " + tag)
            code, lines = raw_message(c, text + b"\r\n.\r\n")
            check(code == 250 and postfix_queued(lines[0][4:].encode()), "%r form answered %r" % (end, lines))
            # Postfix undoes the stuffing of the "." line.
            expected = text.replace(b"hello" + end, b"hello" + written.replace(b"..", b"."), 1)
            cases.append((tag, with_insert(sent_content(expected))))
        bad = tag_for(ctx, "pf-smuggle-eicar")
        code, lines = raw_message(c, smuggling(bad, b"\n.\n", EICAR) + b"\r\n.\r\n")
        check(lines == ["250 Mail accepted"], "EICAR in the smuggled part answered %r" % lines)
        code, lines = c.command("NOOP")
        check(code == 250 and len(lines) == 1, "session out of step: NOOP answered %r" % lines)
        c.command("QUIT")
    finally:
        c.close()
    for tag, expected in cases:
        assert_stored(env.postfix, tag, expected)
    check(not env.postfix.with_token(bad), "the message with EICAR in its smuggled part reached Postfix")
    assert_no_eicar(env.postfix)


# --------------------------------------------------------------------------
# Transparent interception (--upstream original-destination) on a gateway in
# network namespaces (Netns): the client sends to the server's own address,
# the gateway's nftables rule redirects it to the proxy.


def transparent_send(ctx, lab, servers, address, infected=False):
    """One message from the client to address port 25: delivered, with the
    proxy's header, to the server at that address and to no other; or,
    infected, to none."""
    tag = tag_for(ctx, "transparent-" + address)
    text = message(tag, [b"Here:", EICAR] if infected else None)
    client = lab.smtp(address)
    try:
        code, reply = client.mail("sender@example.test")
        check(code == 250, "MAIL to %s answered %d %r" % (address, code, reply))
        code, reply = client.rcpt("receiver@example.test")
        check(code == 250, "RCPT to %s answered %d %r" % (address, code, reply))
        code, reply = client.data(text)
        if infected:
            check((code, reply) == (250, b"Mail accepted"), "EICAR to %s answered %d %r" % (address, code, reply))
        else:
            check(code == 250 and b"queued as E2E" in reply,
                  "message to %s answered %d %r, not the server's reply" % (address, code, reply))
        client.quit()
    finally:
        client.close()
    if not infected:
        assert_delivered(servers[address], tag, with_insert(sent_content(text)))
    for other, server in servers.items():
        if other != address or infected:
            assert_not_delivered(server, tag)


def transparent_each(ctx, listen_host, addresses, eicar_to=None):
    with Netns(ctx) as lab:
        servers = lab.servers(addresses)
        proxy = lab.proxy(listen_host)
        for address in addresses:
            transparent_send(ctx, lab, servers, address)
        if eicar_to:
            transparent_send(ctx, lab, servers, eicar_to, infected=True)
        for address in addresses:
            destination = "[%s]:25" % address if ":" in address else "%s:25" % address
            pattern = r"conn \d+ from %s:\d+ to %s: " % (re.escape(lab.client_address(address)), re.escape(destination))
            check(wait_for(lambda: re.search(pattern, proxy.log_text()), 5),
                  "no connection line names %s (and the client) in the proxy's log:\n%s" % (
                      destination, proxy.proc.log_tail()))


def sc_transparent_ipv4(ctx):
    """Each message lands at the server address it was sent to; EICAR at none."""
    transparent_each(ctx, "0.0.0.0", ("198.51.100.25", "198.51.100.26"), eicar_to="198.51.100.25")


def sc_transparent_ipv6(ctx):
    transparent_each(ctx, "[::]", ("2001:db8:2::25", "2001:db8:2::26"), eicar_to="2001:db8:2::26")


def sc_transparent_dual_stack(ctx):
    """IPv4 clients through a dual-stack listener: the original destination
    is found through the IPv4 entry, and the client is logged as IPv4."""
    transparent_each(ctx, "[::]", ("198.51.100.25", "198.51.100.26"))


def sc_transparent_loop(ctx):
    """A connection whose original destination is the proxy, straight to its
    port or rewritten by a rule from another of the gateway's addresses, is
    refused as a loop; the server hears of neither. So is one whose original
    destination is another route's listener."""
    port = Netns.PROXY_PORT
    other = port + 1
    config = os.path.join(ctx.workdir, "loop-routes.conf")
    with open(config, "w") as f:
        f.write("[route other]\nlisten = 0.0.0.0:%d\nupstream = 127.0.0.1:%d\n" % (other, free_port()))
    with Netns(ctx, ['ip daddr 198.51.100.1 tcp dport %d redirect to :%d' % (port, port),
                     'ip daddr 198.51.100.1 tcp dport %d redirect to :%d' % (other, port)]) as lab:
        servers = lab.servers(("198.51.100.25",))
        proxy = lab.proxy("0.0.0.0", ["--config", ctx.build.path(config)])
        for gateway, port in (("192.0.2.1", port), ("198.51.100.1", port), ("198.51.100.1", other)):
            c = RawClient(None, 20, sock=lab.connect(gateway, port))
            try:
                code, lines = c.reply()
                check(lines == ["421 4.4.6 Mail loop detected"], "%s:%d answered %r" % (gateway, port, lines))
                check(c.reply()[0] is None, "%s:%d: the connection stayed open after the 421" % (gateway, port))
            finally:
                c.close()
            check(re.search(r"from 192\.0\.2\.10:\d+ to %s:%d: that is this proxy; answered 421 mail loop" % (
                re.escape(gateway), port), proxy.log_text()), "no loop line for %s:\n%s" % (
                    gateway, proxy.proc.log_tail()))
        check(proxy.proc.alive(), "the proxy died")
        # (The server's own start-up probe connects from its address.)
        check(not [e for e in servers["198.51.100.25"].events("connect") if e["peer"][0] == "198.51.100.1"],
              "the gateway connected to the server")
        transparent_send(ctx, lab, servers, "198.51.100.25")


def sc_transparent_max_per_destination(ctx):
    """--max-per-destination 2: the third parallel connection to one server
    is refused, counted and logged; another server is unaffected, and a slot
    freed is taken again."""
    with Netns(ctx) as lab:
        servers = lab.servers(("198.51.100.25", "198.51.100.26"))
        proxy = lab.proxy("0.0.0.0", ["--max-per-destination", "2", "--metrics", "127.0.0.1:9125"])
        held = []
        try:
            for _ in range(2):
                held.append(RawClient(None, 20, sock=lab.connect("198.51.100.25")))
                check(held[-1].reply()[0] == 220, "connection %d was not greeted" % len(held))
            third = RawClient(None, 20, sock=lab.connect("198.51.100.25"))
            try:
                code, lines = third.reply()
                check(lines == ["421 4.4.5 Too many connections to that server"], "the third answered %r" % lines)
                check(third.reply()[0] is None, "the third stayed open after the 421")
            finally:
                third.close()
            other = RawClient(None, 20, sock=lab.connect("198.51.100.26"))
            try:
                check(other.reply()[0] == 220, "the other server's connection was not greeted")
                metrics = lab.get("http://127.0.0.1:9125/metrics")
                for line in ('divivez_limits_hit_total{limit="max_per_destination"} 1',
                             'divivez_destination_connections_open{destination="198.51.100.25:25"} 2',
                             'divivez_destination_connections_open{destination="198.51.100.26:25"} 1'):
                    check(line in metrics.splitlines(), "metrics lack %r:\n%s" % (line, metrics))
            finally:
                other.close()
            check(re.search(r"refused 192\.0\.2\.10:\d+ to 198\.51\.100\.25:25: 2 connections open to that "
                            r"server \(--max-per-destination\)", proxy.log_text()),
                  "no log line for the refusal:\n" + proxy.proc.log_tail())
            held.pop().close()
            check(wait_for(lambda: 'destination="198.51.100.25:25"} 1' in lab.get("http://127.0.0.1:9125/metrics"), 10),
                  "the closed connection is still counted")
        finally:
            for c in held:
                c.close()
        transparent_send(ctx, lab, servers, "198.51.100.25")


def sc_transparent_refused_on_windows(ctx):
    """Windows cannot tell a redirected connection's destination: the proxy
    says so at start-up instead of relaying anywhere."""
    build = ctx.build
    code, out = run(build.argv(["--listen", "127.0.0.1:0", "--upstream", "original-destination",
                                "--plugin", build.path(build.plugin)]), 60 * build.slow, env=build.env(ctx.tmpdir))
    check(code == 2 and "transparent interception needs Linux" in out,
          "started with --upstream original-destination: status %d\n%s" % (code, out[-1500:]))


# --------------------------------------------------------------------------
# The runner


def check_clean_stops(ctx):
    """Every proxy that this build and mode ran, told to stop, ended within
    its grace with status 0 (a sanitizer's report at exit, or a shutdown
    that hangs, shows here)."""
    bad = []
    for proxy in ctx.proxies:
        proc = proxy.proc
        if proc.needed_kill:
            bad.append("%s did not stop within its grace and was killed" % proxy.dir)
        elif proc.stopped_by_us_alive and proc.popen.returncode != 0:
            bad.append("%s exited with status %s after the stop signal:\n%s" % (
                proxy.dir, proc.popen.returncode, proc.log_tail(15)))
    check(ctx.proxies, "no proxy ran")
    check(not bad, "\n".join(bad))
    ctx.note("%d proxies" % len(ctx.proxies))


class StandardEnv:
    """The recording server and a proxy with the builtin scanner, shared by
    the scenarios of one build and mode; restarted if a scenario kills it."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.server = None
        self.proxy = None

    def ensure(self):
        if self.server is None or not self.server.proc.alive():
            self.server = self.start_server()
        if self.proxy is None or not self.proxy.proc.alive():
            self.proxy = self.start_proxy()

    def start_server(self):
        return MailServer(self.ctx.workdir, "std-server-" + self.ctx.mode,
                          reject_rcpt=REJECTED_RCPT, auth=AUTH_USER + ":" + AUTH_PASSWORD)

    def start_proxy(self):
        ctx = self.ctx
        signatures = os.path.join(ctx.workdir, "signatures.txt")
        with open(signatures, "w") as f:
            f.write("# custom signatures for the end-to-end suite\n")
            f.write("%s %s\n" % (CUSTOM_NAME, CUSTOM.hex()))
        # parallel-200 opens 200 connections from one address.
        return Proxy(ctx, "std-proxy-%s-%d" % (ctx.mode, len(ctx.proxies)),
                     upstream=self.server.port, signatures=signatures,
                     extra=["--max-per-address", "500"])

    def call(self, fn, ctx):
        fn(ctx, self)

    def stop(self):
        for item in (self.proxy, self.server):
            if item is not None:
                item.stop()


class PostfixEnv(StandardEnv):
    """A private Postfix (env.postfix) and a proxy with the builtin scanner in
    front of it, shared by the Postfix scenarios of one build and mode.
    Postfix listens on three ports: "main"; "short", which drops a client
    idle for 2 s; and "junk", which ends a session at its third NOOP (each
    logging under its name)."""

    @property
    def postfix(self):
        return self.server

    def start_server(self):
        return Postfix(self.ctx.workdir, "postfix-" + self.ctx.mode, listeners=(
            ("main", {}), ("short", {"smtpd_timeout": "2s", "syslog_name": "postfix/short"}),
            ("junk", {"smtpd_junk_command_limit": "1", "smtpd_hard_error_limit": "1",
                      "syslog_name": "postfix/junk"})))

    def start_proxy(self):
        ctx = self.ctx
        return Proxy(ctx, "pf-proxy-%s-%d" % (ctx.mode, len(ctx.proxies)), upstream=self.server.port)

    def call(self, fn, ctx):
        mark = len(self.postfix.log_text())
        try:
            fn(ctx, self)
        except (Failure, smtplib.SMTPException, OSError) as e:
            # A client refused or cut off: Postfix's log says why.
            lines = [line for line in self.postfix.log_text()[mark:].splitlines() if re.search(
                r"synchroni|pipelining|timeout|lost connection|too many|warning|error|fatal|reject", line, re.I)]
            text = str(e) if isinstance(e, Failure) else "client failed: %r" % e
            raise Failure(text + ("\nPostfix logged:\n" + "\n".join(lines[-12:]) if lines else ""))


class Context:
    def __init__(self, build, mode, workdir):
        self.build = build
        self.mode = mode
        self.workdir = workdir
        self.proxies = []
        self.notes = []
        self.tmpdir = os.path.join(workdir, "tmp")
        os.makedirs(self.tmpdir, exist_ok=True)

    def leftover_spools(self):
        """Spool files of this run that nobody deleted."""
        directory = self.build.wine_temp if self.build.wine else self.tmpdir
        found = []
        try:
            names = os.listdir(directory)
        except OSError:
            return found
        for name in names:
            if not (name.startswith("divivez") and name.endswith(".tmp")):
                continue
            path = os.path.join(directory, name)
            if self.build.wine:
                # Shared with other programs' tests: only ours count.
                try:
                    with open(path, "rb") as f:
                        if RUN_ID not in f.read(65536):
                            continue
                except OSError:
                    continue
            found.append(path)
        return found

    def note(self, text):
        self.notes.append(text)


STANDARD = [
    ("clean-swaks", sc_clean_swaks),
    ("clean-curl", sc_clean_curl),
    ("clean-smtplib-ehlo", sc_clean_smtplib),
    ("eicar-swaks", sc_eicar_swaks),
    ("eicar-then-clean-same-session", sc_eicar_then_clean),
    ("eicar-reply-raw", sc_eicar_reply_text),
    ("pipeline-swaks", sc_pipeline_swaks),
    ("pipeline-raw-burst", sc_pipeline_raw),
    ("multi-rcpt-smtplib", sc_multi_rcpt),
    ("rcpt-rejections-pipelined", sc_rcpt_rejections),
    ("auth-login-plain", sc_auth),
    ("empty-message", sc_empty_message),
    ("split-writes-lowercase-data", sc_split_writes),
    ("long-headers-8k-boundaries", sc_long_headers),
    ("eight-bit-body", sc_eight_bit),
    ("hidden-extensions-refused", sc_hidden_extensions),
    ("client-abort-mid-message", sc_client_abort),
    ("thirty-messages-one-session", sc_many_messages),
    ("builtin-custom-signature", sc_custom_signature),
    ("big-20MiB-progress", sc_big_message),
    ("parallel-200", sc_parallel),
]
# Against a real Postfix (PostfixEnv), in both modes.
POSTFIX = [
    ("postfix-plain-swaks", sc_pf_plain),
    ("postfix-pipeline-swaks", sc_pf_pipeline),
    ("postfix-eicar-then-clean-ehlo", sc_pf_eicar_then_clean_ehlo),
    ("postfix-eicar-then-clean-helo", sc_pf_eicar_then_clean_helo),
    ("postfix-keepalive-slow-scan", sc_pf_keepalive),
    ("postfix-keepalive-refused-421", sc_pf_keepalive_refused),
    ("postfix-smuggled-commands", sc_pf_smuggled_commands),
    ("postfix-smuggled-end-of-data", sc_pf_smuggled_end_of_data),
]
# (name, function, modes it runs in[, the only build it runs on])
OWN = [
    ("keepalive-slow-scan", sc_keepalive, ("host", "plugin")),
    ("keepalive-late-noop-replies", sc_keepalive_late_noop_replies, ("host", "plugin")),
    ("keepalive-slow-client", sc_keepalive_slow_client, ("host",)),
    ("data-refused-by-server", sc_data_refused, ("host", "plugin")),
    ("server-cut-mid-delivery", sc_server_cut, ("host", "plugin")),
    ("server-silent-close-after-dot", sc_server_silent_close, ("host",)),
    ("clamd-real", sc_clamd, ("host",)),
    ("clamd-pool-failover", sc_clamd_pool, ("host",)),
    ("scan-error-policies", sc_scan_error, ("host", "plugin")),
    ("scan-error-tempfail", sc_scan_error_tempfail, ("host", "plugin")),
    ("spool-failure-policy", sc_spool_failure, ("host", "plugin"), "native"),
    ("per-address-limit-60", sc_per_address_limit, ("host",)),
    ("command-time-limit", sc_command_time_limit, ("host", "plugin")),
    ("max-message-size-552", sc_max_message_size, ("host", "plugin")),
    ("server-answer-logged", sc_server_answer_logged, ("host", "plugin")),
    ("upstream-refused-421", sc_upstream_refused, ("host",)),
    ("server-greeting-421", sc_server_greeting_421, ("plugin",)),
    ("server-hang-up-421", sc_server_hang_up, ("host", "plugin")),
    ("capture-server-outbox", sc_capture_server, ("plugin",)),
    ("smuggling-lenient-lf", lambda ctx: sc_smuggling(ctx, "lf"), ("host", "plugin")),
    ("smuggling-lenient-cr", lambda ctx: sc_smuggling(ctx, "lf-cr"), ("host", "plugin")),
    ("bare-lf-commands-lenient", sc_bare_lf_commands, ("host", "plugin")),
    ("spool-unavailable-451", sc_spool_unavailable, ("host", "plugin")),
    ("load-balanced-haproxy-prometheus", sc_load_balanced, ("host",), "native"),
    ("metrics-healthz-slow-clients", sc_metrics_slow_clients, ("host",), "native"),
    ("upstream-xclient-postfix", sc_upstream_xclient, ("host",)),
    ("upstream-xclient-vt-refused", sc_upstream_xclient_vt, ("host",)),
    ("upstream-xclient-fail-closed", sc_upstream_xclient_fail_closed, ("host",)),
    # Under Wine /proc of the Wine process counts the program's threads.
    ("proxy-header-wait-on-loop", sc_proxy_header_wait, ("host",)),
    # Windows has no SIGHUP.
    ("signature-reload-sighup", sc_signature_reload, ("host",), "native"),
    ("windows-service", sc_windows_service, ("host",), "win32"),
    ("windows-installer", sc_windows_installer, ("host",), "win32"),
    ("quarantine-eml-json", sc_quarantine, ("host",)),
    ("infected-reject-554", sc_infected_reject, ("host", "plugin")),
    ("postfix-content-filter", sc_pf_content_filter, ("host", "plugin"), "native"),
    ("config-file", sc_config_file, ("host",)),
    ("routes-two-upstreams", sc_routes_two_upstreams, ("host",)),
    ("routes-certificates-sighup", sc_routes_certificates, ("host",), "native"),
    # Network namespaces need root; the Windows build has no transparent mode.
    ("transparent-ipv4-two-servers-eicar", sc_transparent_ipv4, ("host",), "native"),
    ("transparent-ipv6", sc_transparent_ipv6, ("host",), "native"),
    ("transparent-dual-stack-ipv4", sc_transparent_dual_stack, ("host",), "native"),
    ("transparent-loop-421", sc_transparent_loop, ("host",), "native"),
    ("transparent-max-per-destination", sc_transparent_max_per_destination, ("host",), "native"),
    ("transparent-refused-on-windows", sc_transparent_refused_on_windows, ("host",), "win32"),
    # The TLS peers alone: once a run.
    ("peers-postfix-tls", sc_peers_postfix_tls, ("host",), "native"),
    ("peers-lenient-starttls", sc_peers_lenient_starttls, ("host",), "native"),
    # TLS needs the host's socket service; Wine's SChannel serves no server
# side, so the scenarios with TLS toward the client are native-only.
    ("tls-refused-socket-service-plugin", sc_tls_refused_plugin_mode, ("host",), "native"),
    ("tls-clients-all-ways-eicar", sc_tls_clients, ("host",), "native"),
    ("tls-injection-client", sc_tls_injection_client, ("host",), "native"),
    ("tls-require-tls-530", sc_tls_require, ("host",), "native"),
    ("tls-handshake-timeout", sc_tls_handshake_timeout, ("host",), "native"),
    ("tls-renegotiation-refused", sc_tls_renegotiation_refused, ("host",), "native"),
    ("tls-cert-reload-sighup", sc_tls_cert_reload, ("host",), "native"),
    ("tls-postfix-sasl-both-legs", sc_tls_postfix_sasl, ("host",), "native"),
    ("tls-two-routes-postfix", sc_tls_two_routes, ("host",), "native"),
    # Upstream TLS only: the client side of SChannel serves under Wine.
    ("tls-upstream-unverified-4xx", sc_tls_upstream_unverified, ("host",)),
    ("tls-upstream-may", sc_tls_upstream_may, ("host",)),
    ("tls-injection-server", sc_tls_injection_server, ("host",)),
    ("tls-upstream-greeting-downgrade-421", sc_tls_upstream_greeting_downgrade, ("host",)),
]


class Runner:
    def __init__(self, only, workroot, budget):
        self.deadline = time.monotonic() + budget
        self.only = only
        self.workroot = workroot
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.failures = []

    def wanted(self, label):
        return not self.only or any(o in label for o in self.only)

    def run_one(self, label, ctx, fn, *args):
        if not self.wanted(label):
            return
        started = time.monotonic()
        ctx.notes = []
        error = None
        try:
            if started > self.deadline:
                raise Failure("not run: the suite's time budget is spent (something before it hung?)")
            fn(ctx, *args)
        except Skipped as e:
            self.skipped += 1
            print("SKIPPED %-7s %-7s %-32s (%s)" % (ctx.build.name, ctx.mode, label, e), flush=True)
            return
        except Failure as e:
            error = str(e)
        except Exception:
            error = "error in the test itself or an unexpected client failure:\n" + traceback.format_exc()
        # Every message has been refused or delivered by now: its spool file
        # must be gone (allow the proxy a moment to end the connections).
        if not wait_for(lambda: not ctx.leftover_spools(), 5):
            leftovers = ctx.leftover_spools()
            details = []
            for path in leftovers:
                try:
                    details.append("%s (%d bytes)" % (path, os.path.getsize(path)))
                    # Reported once: later scenarios must not fail for it.
                    os.unlink(path)
                except OSError:
                    pass
            if details:
                error = (error + "\n" if error else "") + "spool files left behind: " + ", ".join(details[:5])
        if error is not None:
            for proxy in ctx.proxies:
                if not proxy.proc.stopped_by_us_alive and "shutting down" in proxy.log_text():
                    error += ("\nnote: proxy %s was told to shut down by something other than this "
                              "suite (another program's Ctrl-C or end-of-session in the Wine prefix?)"
                              % proxy.dir)
        for proxy in ctx.proxies:
            # A proxy that ended by itself (a crash) fails the scenario that
            # saw it, whatever the scenario asserted.
            status = proxy.proc.popen.poll() if proxy.proc.exited_before_stop is None else proxy.proc.exited_before_stop
            if status is not None and not proxy.proc.stopped_by_us_alive and not proxy.reported:
                proxy.reported = True
                error = (error + "\n" if error else "") + "the proxy ended by itself with status %s; log tail:\n%s" % (
                    status, proxy.proc.log_tail())
        took = time.monotonic() - started
        note = (" [" + "; ".join(ctx.notes) + "]") if ctx.notes else ""
        if error is None:
            self.passed += 1
            print("PASS %-7s %-7s %-32s %6.1f s%s" % (ctx.build.name, ctx.mode, label, took, note), flush=True)
        else:
            self.failed += 1
            self.failures.append(label)
            print("FAIL %-7s %-7s %-32s %6.1f s%s" % (ctx.build.name, ctx.mode, label, took, note), flush=True)
            for line in error.splitlines()[:40]:
                print("     | " + line, flush=True)
            print("     | work files: %s" % ctx.workdir, flush=True)

    def run_build(self, build):
        bdir = os.path.join(self.workroot, build.name)
        problems = build.problems()
        for mode in ("host", "plugin"):
            workdir = os.path.join(bdir, mode)
            os.makedirs(workdir, exist_ok=True)
            ctx = Context(build, mode, workdir)
            if problems:
                # Nothing can run: every scenario of this build fails loudly.
                def cannot_run(c):
                    raise Failure("cannot run: " + "; ".join(problems))

                for name, _ in STANDARD + POSTFIX:
                    self.run_one(name, ctx, cannot_run)
                for name, _, modes, *builds in OWN:
                    if mode in modes and (not builds or build.name in builds):
                        self.run_one(name, ctx, cannot_run)
                continue
            self.run_shared(ctx, StandardEnv(ctx), STANDARD)
            self.run_shared(ctx, PostfixEnv(ctx), POSTFIX)
            for name, fn, modes, *builds in OWN:
                if mode in modes and (not builds or build.name in builds):
                    self.run_one(name, ctx, fn)
            for proxy in ctx.proxies:
                proxy.stop()
            self.run_one("proxies-stop-cleanly", ctx, check_clean_stops)


    def run_shared(self, ctx, env, scenarios):
        """scenarios, each run as env.call(fn, ctx) with env started (or
        restarted) first; env is stopped at the end."""
        try:
            for name, fn in scenarios:
                if not self.wanted(name):
                    continue

                def scenario(c, fn=fn):
                    env.ensure()
                    env.call(fn, c)
                    check(env.proxy.proc.alive(), "the proxy died during the scenario")

                self.run_one(name, ctx, scenario)
        finally:
            env.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", choices=["native", "win32", "all"], default="all")
    parser.add_argument("--native-dir", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--win32-dir", default=os.path.join(ROOT, "build", "win32"))
    parser.add_argument("--only", action="append", default=[],
                        help="run only scenarios whose name contains this (repeatable)")
    parser.add_argument("--keep", action="store_true", help="keep the work files")
    parser.add_argument("--budget", type=float, default=660,
                        help="seconds; scenarios that would start later fail as not run")
    args = parser.parse_args()

    def on_signal(signum, frame):
        stop_all()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    missing = [tool for tool in ("swaks", "curl", "/usr/sbin/smtp-sink", "/usr/sbin/clamd", "/usr/sbin/postfix",
                                 "/usr/sbin/haproxy", "/usr/bin/prometheus", "openssl", "/usr/sbin/saslpasswd2")
               if shutil.which(tool) is None]
    workroot = tempfile.mkdtemp(prefix="divivez-e2e-")
    os.chmod(workroot, 0o755)  # smtp-sink, running as nobody, writes below it
    runner = Runner(args.only, workroot, args.budget)
    started = time.monotonic()
    builds = ["native", "win32"] if args.build == "all" else [args.build]
    try:
        if missing:
            print("FAIL tools: missing %s (run scripts/setup.sh)" % ", ".join(missing))
            runner.failed += 1
        for name in builds:
            build = Build(name, os.path.abspath(args.native_dir if name == "native" else args.win32_dir))
            runner.run_build(build)
    finally:
        stop_all()
    print("e2e: %.0f s, work files in %s" % (time.monotonic() - started,
                                              workroot if (runner.failed or args.keep) else "(removed)"))
    if not runner.failed and not args.keep:
        shutil.rmtree(workroot, ignore_errors=True)
    if runner.passed + runner.failed + runner.skipped == 0:
        print("no scenario matched")
        runner.failed += 1
    print("%d passed, %d failed%s" % (runner.passed, runner.failed,
                                      ", %d skipped" % runner.skipped if runner.skipped else ""))
    return 1 if runner.failed else 0


if __name__ == "__main__":
    sys.exit(main())
