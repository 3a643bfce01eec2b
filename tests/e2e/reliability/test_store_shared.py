"""One settings file, two instances (each on its own port) saving it over and over with
Setup > Hide and Show. Renames are slowed so that their saves overlap and one waits for the
other's lock; a reader polling the file all along, and at the end, never sees it partly
written or with a key missing or malformed."""

import os
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402

ROUNDS = 10  # Hide and Show each, per instance


class Reader(threading.Thread):
    """Reads and checks the file every few milliseconds until stopped."""

    def __init__(self, s, ports):
        super().__init__(daemon=True)
        self.s, self.ports = s, ports
        self.reads, self.bad, self.heights = 0, [], set()
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            try:
                with open(self.s.settings_path, "rb") as f:
                    raw = f.read()
            except FileNotFoundError:
                self.bad.append("file missing")
                continue
            self.reads += 1
            problems = rel.settings_problems(raw, self.ports)
            if problems:
                self.bad.append("%s in %r" % (problems, raw[:300]))
            else:
                self.heights.add(h.read_ini(self.s.settings_path)["Settings"]["Height"])
            time.sleep(0.005)


def test(s):
    one, two = s.add_pty(1), s.add_pty(2)
    ports = {1: one.path, 2: two.path}
    s.write_settings({1: one, 2: two})
    s.start_program()
    s.wait_started(one)
    s.remap(2, two, ComPort=2)
    b = s.peer()
    b.start_program()
    b.wait_started(two)
    s.check(h.line_state(s.events(one)) == (True, 0, 0), "first instance on COM1")
    s.check(not s.dialogs() and not b.dialogs(), "no message boxes")

    s.set_control("block rename 150 %s" % s.config_dir)
    reader = Reader(s, ports)
    reader.start()
    try:
        for i in range(ROUNDS):
            for item in ("h", "s"):
                s.menu("s", item)
                b.menu("s", item)  # while the first one's save is still held
                time.sleep(0.9)
                with open(s.settings_path, "rb") as f:
                    raw = f.read()
                problems = rel.settings_problems(raw, ports)
                if problems:
                    raise h.Failure("round %d, after %s: %s" % (i, item, problems))
            s.alive()
            b.alive()
    finally:
        reader.stop.set()
        reader.join(5)
    s.set_control()
    waits = [f for f in s.faults() if f.event == "fault"]
    pids = {f.pid for f in waits}
    print("  %d renames held, %d polled reads" % (len(waits), reader.reads))
    s.check(pids == {s.proc.pid, b.proc.pid}, "both instances saved", repr(pids))
    s.check(len(waits) >= 2 * ROUNDS * 2, "every Hide and Show saved (%d held renames)"
            % len(waits))
    s.check(reader.reads > 100 and not reader.bad,
            "%d reads while saving, none partial or malformed" % reader.reads,
            "; ".join(reader.bad[:3]))
    s.check(reader.heights == {str(h.HEIGHT_FULL), str(h.HEIGHT_HIDDEN)},
            "the reader saw both heights", repr(reader.heights))

    s.menu("f", "e")
    s.check(s.wait_exit() == 0, "first instance exits with status 0")
    b.menu("f", "e")
    s.check(b.wait_exit() == 0, "second instance exits with status 0")
    with open(s.settings_path, "rb") as f:
        raw = f.read()
    s.check(rel.settings_problems(raw, ports) == [], "final file whole, every key well-formed",
            repr(rel.settings_problems(raw, ports)))
    final = h.read_ini(s.settings_path)["Settings"]
    s.check(final["Height"] == str(h.HEIGHT_FULL) and final["ComPort"] == "2",
            "last save (the second instance's exit) is the one on disk", repr(final))
    s.check(rel.stray_files(s) == [], "no temporary or lock file left", repr(rel.stray_files(s)))


if __name__ == "__main__":
    rel.run(test, limit=100)
