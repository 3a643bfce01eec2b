# SPDX-License-Identifier: GPL-3.0-or-later
"""Remote keying: other programs key through Hamlib's network protocol like a click on TX; a client
that goes, a click, or a client's release while the window is held, releases the line at once."""
import os, select, struct
from harness import *  # noqa: F403

PROMPT = b"Rig command: "
R = {"remote": True}

class Rigctl:
    """Hamlib's own client, one process fed command by command on its standard input."""
    def __init__(self, i):
        self.p = spawn(["rigctl", "-m", "2", "-r", "127.0.0.1:%d" % i.port], bufsize=0,
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.ask(None)

    def ask(self, line):
        if line:
            self.p.stdin.write(line.encode() + b"\n")
        out = b""
        while not out.endswith(PROMPT):
            expect(select.select([self.p.stdout], [], [], 5)[0], "rigctl: no answer to %r" % line)
            out += os.read(self.p.stdout.fileno(), 4096) or PROMPT
        return out[:-len(PROMPT)].decode().strip()

def ask(line, want, via=Client):
    def step(i):
        if not hasattr(i, via.__name__):
            setattr(i, via.__name__, via(i))
        got = getattr(i, via.__name__).ask(line)
        expect(got == want, "%s: %r answered %r, expected %r" % (via.__name__, line, got, want))
    return step

def rig(line, want): return ask(line, want, Rigctl)

def oneshot(line):
    """rigctl with one command on its command line, as a script keys: it says q and closes."""
    return lambda i: expect(not subprocess.run(["rigctl", "-m", "2", "-r", "127.0.0.1:%d" % i.port]
                                               + line.split(), timeout=20).returncode, line)

def stays(want, seconds=1):
    return lambda i: time.sleep(seconds) or expect(i.lines() == want, "now %s" % (i.lines(),))

def hostile(i):
    """Twenty clients that each key and reset, then one that sends half a line: closed soon."""
    for _ in range(20):
        with socket.create_connection(("127.0.0.1", i.port), 5) as c:
            c.sendall(b"T 1\n")
            expect(c.recv(64) == b"RPRT 0\n", "keyed")
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    with socket.create_connection(("127.0.0.1", i.port), 10) as c:
        t = c.sendall(b"T") or time.monotonic()
        expect(c.recv(64) == b"" and 2 < time.monotonic() - t < 8, "closed in a few seconds")

def wide(i, times):
    """The box, and as many lines on standard error, saying that anyone can key."""
    text = ("Remote Keying listens on 0.0.0.0:%d, beyond this computer: anyone who can reach "
            "that address can key your transmitter." % i.port)
    box(text)(i)
    expect(i.stderr().count(text) == times, "lines: %r" % i.stderr())

def checked(name, on):
    """TX keyed, or Setup > Remote Keying ticked, as screen readers get it."""
    return lambda i: wait_until(lambda: i.find("check box" if name == "TX" else "menu item", name)[
        0].get_state_set().contains(atspi().StateType.CHECKED) == on, 5, "%s %s" % (name, on))

def released_by(leave):
    def step(i):
        t = time.monotonic_ns()
        leave(i)
        drop = wait_until(lambda: [e for e in i.events(1, t) if not e.dtr], 5, "the release")[0]
        expect(drop.t - t < 1e8, "released %.1f ms later" % ((drop.t - t) / 1e6))
    return step

def held(i):
    """The window's thread held for 3 s in a save (of Setup > Hide)."""
    t = i.rules("block rename 3000 %s once" % os.path.dirname(i.conf))
    i.menu("sh")
    wait_until(lambda: [e for e in i.s.events({i.conf}, t) if e.kind == "fault"], 5, "the hold")

def taken(i):
    with socket.create_server(("127.0.0.1", i.port)):
        i.start()
        box("Cannot listen on 127.0.0.1:%d: Address already in use" % i.port)(i)
        time.sleep(1)
        expect(not i.boxes(), "a second message %s" % i.boxes())
        checked("Remote Keying", False)(i)

class Other(Client):
    """A second program of the station."""

ROWS = [
    ("who may release: the client that keyed, another client, the operator; t tells each", R,
     [ask("T 1", "RPRT 0"), ask("t", "1", Other), ask("T 0", "RPRT 0", Other), lines((True, 0, 0)),
      ask("t", "0"), ask("T 1", "RPRT 0"), lines((True, 1, 0)), tx(0), look(False), ask("t", "0"),
      ask("t", "0", Other), ask("T 1", "RPRT 0"), ask("T 0", "RPRT 0"), lines((True, 0, 0))]),
    ("Hamlib's rigctl keys like TX, keeps a frequency; a click releases its keying", R,
     [checked("Remote Keying", True), rig("T 1", ""), lines((True, 1, 0)), look(True),
      checked("TX", True), rig("t", "PTT: 1"), tx(0), look(False), checked("TX", False),
      ask("t", "0"), rig("F 14074000", ""), rig("f", "Frequency: 14074000"), rig("T 1", ""),
      lines((True, 1, 0)), rig("T 0", ""), lines((True, 0, 0)), look(False), rig("q", "")]),
    ("two holders: a killed one leaves the keying (T 2) to the other, whose close releases it "
     "within 100 ms", R, [ask("T 2", "RPRT 0"), rig("T 1", ""), lines((True, 1, 0)),
                          lambda i: i.Rigctl.p.kill(), stays((True, 1, 0)),
                          released_by(lambda i: i.Client.sock.close()), look(False)]),
    ("a remote release while the window's thread is held: DTR falls at once, TX catches up", R,
     [ask("T 1", "RPRT 0"), look(True), held, released_by(ask("T 0", "RPRT 0")), look(False),
      lines((True, 0, 0))]),
    ("no port open: a remote key refused, a click gives the port message, TX stays idle",
     dict(R, ports=(), missing=(1,)), [box(NOT_AVAILABLE % 1), ask("T 1", "RPRT -9"),
                                       lambda i: i.click(TX), box(NOT_AVAILABLE % 1), look(False),
                                       ask("t", "0")]),
    ("a one-shot rigctl T 1 stays keyed until a later one-shot T 0", R,
     [oneshot("T 1"), lines((True, 1, 0)), stays((True, 1, 0)), look(True), oneshot("T 0"),
      lines((True, 0, 0)), look(False)]),
    ("clients that reset after each command, one that sends half a line: the next is served", R,
     [hostile, lines((True, 0, 0)), ask("t", "0")]),
    ("Address=0.0.0.0: said on standard error and in a box, at start and when ticked again",
     {"remote": "0.0.0.0"}, [lambda i: wide(i, 1), menu("sr"), checked("Remote Keying", False),
                             menu("sr"), lambda i: wide(i, 2), ask("t", "0")]),
    ("the stored port taken: one message naming it, Remote Keying unticked",
     dict(R, start=False), [taken]),
]
ROWS += on_gpio(ROWS, "Hamlib's rigctl keys like TX")

if __name__ == "__main__":
    run(ROWS)
