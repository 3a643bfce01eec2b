# SPDX-License-Identifier: GPL-3.0-or-later
"""Starts on random settings files: garbage never crashes the program, never keys the line, and
the program writes back nothing but [Settings]' six keys, with [Ports] kept byte for byte.
ZPTT_RANDOM_SEED repeats a run (CI always runs one known seed), ZPTT_RANDOM_STARTS sets its size."""
import os, random, re, signal
from harness import *  # noqa: F403

SEED = os.environ.get("ZPTT_RANDOM_SEED") or (
    "782839248" if os.environ.get("CI") else str(random.SystemRandom().randrange(10**9)))
VALUES = [b"0", b"1", b"2", b"9", b"10", b"15", b"255", b"-1", b"32768", b"2.5", b"1e39", b"nan",
          b"1,5", b"1.234", b" 7 ", b'"3"', b"3 min", b"\xff\xfe", b"\x00", b"\xef\xbb\xbf1",
          "\u0661\u0662".encode(), b"", b"9" * 5000, b"1635", b"3090", b"-30000"]
HEADERS = [b"[Settings]", b"[settings]", b"[ Settings ]", b"[Settings", b"[Other]", b"[Ports]", b""]

def garbage(rng):
    lines = []
    for _ in range(rng.randrange(1, 14)):
        r = rng.random()
        if r < 0.15:
            lines.append(rng.choice(HEADERS))
        elif r < 0.85:
            lines.append(rng.choice(KEYS).encode() + rng.choice([b"=", b" = ", b"=="]) +
                         b"".join(rng.choices(VALUES, k=rng.choice([1, 1, 1, 2]))))
        else:
            lines.append(rng.randbytes(rng.randrange(1, 40)))
    return rng.choice([b"\n", b"\n", b"\r\n", b"\r"]).join(lines)

def started_on(text):
    def step(i):
        i.ports_text = ("\n[Ports]\n" + "".join("COM%d=%s\n" % (n, i.ports[1])
                                                for n in range(1, 256))).encode()
        open(i.conf, "wb").write(text + i.ports_text)
        i.start()
        i.text_before = open(i.conf, "rb").read()
    return step

def kept_safe(i):
    raised = [e for e in i.s.events(since=i.born) if e.pid == i.proc.pid and (
        e.kind == "refused" or e.kind != "open" and e.dtr)]
    expect(not raised, "raised or refused: %s" % raised)
    after = open(i.conf, "rb").read()
    expect(i.ports_text.strip() in after, "[Ports] not kept")
    new = set(after.splitlines()) - set(i.text_before.splitlines())
    wrong = [line for line in new if line != b"[Settings]" and not re.fullmatch(
        rb"(%s)=-?\d+(\.\d+)?" % b"|".join(k.encode() for k in KEYS), line)]
    expect(not wrong, "written: %r" % wrong[:3])

def row(n):
    text = garbage(random.Random("%s-%d" % (SEED, n)))
    return ("seed %s start %d" % (SEED, n), {"start": False},
            [started_on(text), send(signal.SIGTERM), exits(0), kept_safe])

if __name__ == "__main__":
    run([row(n) for n in range(int(os.environ.get("ZPTT_RANDOM_STARTS", "40")))])
