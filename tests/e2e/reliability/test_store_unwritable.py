"""A settings store that can no longer be written (a read-only folder, a full disk): the
next save ends the program, with the lines released first (also in the middle of a keying),
then the error box, then exit status 1; what was on disk stays whole."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rel  # noqa: E402
from rel import h  # noqa: E402


def fails_on_hide(s, pty, rule, keyed):
    label = rule.split()[1]
    s.start_program()
    s.wait_started(pty)
    with open(s.settings_path, "rb") as f:
        before = f.read()
    s.check(rel.settings_problems(before, {1: pty.path}) == [], "%s: settings whole at start"
            % label)
    since = time.monotonic_ns()
    if keyed:
        s.click_tx(pty, 1)

    s.set_control(rule)
    s.menu("s", "h")
    faults = h.wait_until(lambda: [f for f in s.faults(since) if f.pid == s.proc.pid], 5,
                          "the program to hit the fault")
    s.check(faults[0].extra.get("call") == label, "%s: the fault was hit" % label,
            repr(faults))
    time.sleep(0.5)
    with open(s.settings_path, "rb") as f:
        now = f.read()
    s.check(now == before, "%s: settings file on disk unchanged by the failed save" % label,
            "now %r" % now[:200])
    box = s.wait_dialog()
    text = s.message_text(box)
    s.check(text.startswith(rel.FATAL_TEXT), "%s: error box %r..." % (label, rel.FATAL_TEXT),
            repr(text))
    print("  box says: %r" % text)
    evs = s.events(pty, since_ns=since)
    s.check(h.line_state(evs) == (False, 0, 0) and evs[-1].event == "close",
            "%s: port closed with DTR=0 RTS=0 while the box is up" % label, repr(evs[-3:]))
    s.check(all(e.t_ns > faults[0].t_ns for e in evs if e.dtr == 0 and e.t_ns > since),
            "%s: lines released after the failed write, not before" % label)
    s.check(s.proc.poll() is None, "%s: program waits for the box" % label)
    s.activate(box)
    s.key("Return")
    s.check(s.wait_exit() == 1, "%s: exit status 1 after Return" % label)

    with open(s.settings_path, "rb") as f:
        after = f.read()
    s.check(after == before, "%s: settings file unchanged on disk" % label)
    s.check(rel.settings_problems(after, {1: pty.path}) == [], "%s: and it parses" % label)
    s.check(rel.stray_files(s) == [], "%s: no temporary or lock file left" % label,
            repr(rel.stray_files(s)))
    s.set_control()


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    s.step("read-only folder, idle")
    fails_on_hide(s, pty, "fail rename EROFS %s" % s.config_dir, keyed=False)
    s.step("full disk while taking the store's lock, keyed")
    fails_on_hide(s, pty, "fail write ENOSPC %s" % s.config_dir, keyed=True)


def test_full_disk(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    # The new contents go to an unnamed temporary file ("#<inode> (deleted)") first.
    s.step("full disk while writing the new file, keyed")
    fails_on_hide(s, pty, "fail write ENOSPC %s/#" % s.config_dir, keyed=True)


if __name__ == "__main__":
    full_disk = "--full-disk" in sys.argv
    if full_disk:
        sys.argv.remove("--full-disk")
    rel.run(test_full_disk if full_disk else test, limit=70)
