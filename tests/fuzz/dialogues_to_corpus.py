#!/usr/bin/python3
"""Turns SMTP dialogue tables into seed inputs for the dialogue fuzzer.

Reads the dialogue tables of the unit tests (tests/session_dialogues.inc,
format in tests/support/dialogue.h) and the fuzzer's own hand-made seeds
(tests/fuzz/seeds.dlg, same format plus the fuzzer-only steps below), and
writes one input per dialogue into the output directory, in the event script
that tests/fuzz/dialogue_fuzzer.cpp decodes. Expectations (">S:", ">C:", ...,
with the plug-in's own replies as {354} {451S} {500LF} {421X} ...) are
dropped: the fuzzer's model checks every input itself. The settings
"keepalive: n", "nocallback" and "relay-unspooled" become the bits of the
RECONNECT that starts each dialogue's connection.

Fuzzer-only steps (values decimal or 0x hex):
  A: b         the server auto-answers (opcode AUTO)
  M: b         a whole transaction with a token (MESSAGE)
  R: b         reconnect with settings b (RECONNECT)
  F: b         socket fault (SOCKFAULT)
  SF: b        spool fault (SPOOLFAULT)
  P: b         poll (POLL)
  K: n         keep-alive calls in the next scan (KEEPALIVE)
  X: n bytes   the client sends bytes repeated to 2n bytes (REPEAT)
  Y: n bytes   the server likewise (SERVERREPEAT)
  TOKEN        the client sends a fresh token

Usage: dialogues_to_corpus.py OUTDIR TABLE...
"""
import hashlib
import os
import re
import sys

OP = dict(CLIENT=0, SERVER=1, AUTO=2, VERDICT=3, KEEPALIVE=4, THROW=5, SOCKFAULT=6,
          TICK=7, RECONNECT=8, SPOOLFAULT=9, REPEAT=10, POLL=11, TOKEN=12, MESSAGE=13,
          SERVERREPEAT=14)


# The plug-in's own replies as the tables name them (tests/support/dialogue.cpp);
# a chunk may hold one (a server echoing it, say) as well as an expectation.
MACROS = {
    '{354}': b'354 Enter mail, end with "." on a line by itself\r\n',
    '{250A}': b'250 Mail accepted\r\n',
    '{452}': b'452 4.3.1 Insufficient system storage\r\n',
    '{451}': b'451 4.3.0 Message could not be delivered; try again later\r\n',
    '{502}': b'502 5.5.1 Command not available\r\n',
    '{451S}': b'451 4.3.0 Message cannot be scanned now; try again later\r\n',
    '{500LF}': b'500 5.5.2 Bare CR or LF not allowed\r\n',
    '{500SP}': b'500 5.5.2 Syntax error: command starts with white space\r\n',
    '{421X}': b'421 4.3.0 Mail server out of step; closing the transaction\r\n',
    '{421L}': b'421 4.3.0 Connection to the mail server lost\r\n',
    '{552}': b'552 5.3.4 Message size exceeds fixed maximum message size\r\n',
}


def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == '{':
            macro = next((m for m in MACROS if text.startswith(m, i)), None)
            if macro is None:
                raise ValueError('unknown {macro} in %r' % text)
            out += MACROS[macro]
            i += len(macro)
            continue
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            simple = {'r': b'\r', 'n': b'\n', 't': b'\t', '0': b'\0', '\\': b'\\', '{': b'{'}
            if n in simple:
                out += simple[n]
                i += 2
                continue
            if n == 'x':
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
        out += c.encode('latin-1')
        i += 1
    return bytes(out)


def data(b):
    b = b[:65535]
    if len(b) < 255:
        return bytes([len(b)]) + b
    return bytes([255, len(b) & 255, len(b) >> 8]) + b


def number(text):
    return int(text.strip(), 0)


class Script:
    def __init__(self):
        self.out = bytearray()
        self.tick = None

    def op(self, name, *parts):
        self.out.append(OP[name])
        for part in parts:
            self.out += part

    def ticks(self, delta):
        while delta > 0:
            step = min(delta, 65535)
            self.op('TICK', bytes([step & 255, step >> 8]))
            delta -= step


def convert(lines):
    """Yields (name, bytes) for every dialogue in the table lines."""
    name, script, header = None, None, {}

    def start():
        # The settings of a dialogue apply to a connection of its own.
        b = header.get('keepalive', 0) & 7
        if header.get('nocallback'):
            b |= 8
        if header.get('relay-unspooled'):
            b |= 32
        script.op('RECONNECT', bytes([b]))
        script.tick = 0xFFFFF000  # the fuzzer's second connection starts here
        for fault in header.get('faults', []):
            script.op('SPOOLFAULT', bytes([fault]))
        header['started'] = True

    for raw in lines:
        line = raw.rstrip('\n')
        if not line.strip() or line.lstrip().startswith('#'):
            continue
        if line.startswith('=='):
            if script is not None:
                yield name, bytes(script.out)
            name, script, header = line[2:].strip(), Script(), {}
            continue
        if script is None:
            continue
        if line.startswith('>') or line.strip() in ('~', 'loose', 'nospool'):
            continue
        key, _, value = line.partition(':')
        key = key.strip()
        if line.strip() in ('nocallback', 'relay-unspooled'):
            header[line.strip()] = True
            continue
        if key == 'keepalive':
            header['keepalive'] = number(value)
            continue
        if key == 'fault':
            words = value.split()
            kind = words[0]
            skip = min(int(words[1]) - 1, 3) if len(words) > 1 else 0
            code = {'create': 0, 'write': 1, 'short': 2, 'openread': 4}[kind]
            header.setdefault('faults', []).append(code | (skip << 3))
            continue
        if 'started' not in header:
            start()
        value = value[1:] if value.startswith(' ') else value
        if key == 'C':
            script.op('CLIENT', data(unescape(value)))
        elif key == 'S':
            script.op('SERVER', data(unescape(value)))
        elif key == 'V':
            verdict, _, text = value.partition('|')
            words = verdict.split()
            text = unescape(text[1:] if text.startswith(' ') else text)
            if words and words[0] == 'throw':
                script.op('THROW')
                result = 0
            else:
                result = int(words[0]) if words else 0
            cls = {0: 0, 1: 1}.get(result, 3 if result > 0 else 2)
            script.op('VERDICT', bytes([cls]), data(text))
            for word in words[1:]:
                if word.startswith('noop='):
                    script.op('KEEPALIVE', bytes([int(word[5:]) & 7]))
        elif key == 'T':
            value = value.strip()
            if value.startswith('+'):
                delta = int(value[1:])
            else:
                delta = (int(value[1:]) - script.tick) % (1 << 32)
                if delta > 10 * 65535:
                    continue
            script.ticks(delta)
            script.tick = (script.tick + delta) % (1 << 32)
        elif key in ('A', 'M', 'R', 'F', 'SF', 'P', 'K'):
            name_of = dict(A='AUTO', M='MESSAGE', R='RECONNECT', F='SOCKFAULT', SF='SPOOLFAULT',
                           P='POLL', K='KEEPALIVE')
            script.op(name_of[key], bytes([number(value) & 255]))
        elif key in ('X', 'Y'):
            count, _, pattern = value.partition(' ')
            n = number(count)
            script.op('REPEAT' if key == 'X' else 'SERVERREPEAT', bytes([n & 255, n >> 8]),
                      data(unescape(pattern)))
        elif line.strip() == 'TOKEN':
            script.op('TOKEN')
        else:
            # A check or setting the fuzzer has no use for (the tables grow).
            sys.stderr.write('dialogues_to_corpus: step ignored: %r\n' % line)
    if script is not None:
        yield name, bytes(script.out)


def table_lines(path):
    text = open(path, encoding='latin-1').read()
    if path.endswith('.inc'):
        # The tables are C++ raw strings: R"DLG( ... )DLG".
        lines = []
        for block in re.findall(r'R"DLG\((.*?)\)DLG"', text, re.S):
            lines += block.split('\n')
        return lines
    return text.split('\n')


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    count = 0
    for path in sys.argv[2:]:
        prefix = os.path.splitext(os.path.basename(path))[0] + '-'
        for name, script in convert(table_lines(path)):
            digest = hashlib.sha1(script).hexdigest()[:8]
            with open(os.path.join(outdir, '%s%s-%s' % (prefix, name, digest)), 'wb') as f:
                f.write(script)
            count += 1
    print('%d inputs written to %s' % (count, outdir))


if __name__ == '__main__':
    main()
