#!/usr/bin/python3
"""shutdown_vxi11.py [RUNNER [CASE]]: power-off and restart while the name service starts (its first
5 s after every boot), driven over VXI-11 with pyvisa-py against the runner (default
build/korvex-sim, real-time ticks, a fresh state folder per start): SYST:POFF and SIGINT end
the process within 1 s with the settings saved, a domain change followed at once by SYST:POFF
is saved and does not hold the power-off, *RST restarts within 1 s, and no query sent after
SYST:POFF answers unless what it set was saved. Exit status 0 when all pass, 1 at the first
failure; CASE runs one case only (poff, sigint, domain, restart, answered). It runs itself in a network namespace of its own (77 when none can be made).
"""
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

check = runner_session.check
LAST_POWER_OFF = os.path.join("state", "yaffs", "settings", "LastPowerOff.xml")
NBNS_START = "Starting NBNS: host"
LIMIT_S = 1.0


class Board:
    """One start of the runner with a session that answers, 0.5 s into the name service's start."""

    def __init__(self, program):
        self.runner = runner_session.Runner(program)
        try:
            self.inst = runner_session.open_session(runner_session.manager())
            self.inst.timeout = 2000
            deadline = time.monotonic() + 20
            while NBNS_START not in self.runner.log_text() and time.monotonic() < deadline:
                time.sleep(0.01)
            seen = time.monotonic()
            check(NBNS_START in self.runner.log_text(), "the name service starts")
            time.sleep(max(0.0, 0.5 - (time.monotonic() - seen)))
        except Exception:
            self.close()
            raise

    def saved(self):
        path = os.path.join(self.runner.state, LAST_POWER_OFF)
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as text:
            return text.read().decode("utf-8", "replace")

    def exits_within(self, seconds, since, what):
        try:
            code = self.runner.process.wait(timeout=seconds + 10)
        except Exception:
            code = None
        took = time.monotonic() - since
        check(code == 0 and took <= seconds, "%s: exit 0 within %.1f s (%s after %.2f s)" % (what, seconds, code, took))

    def close(self):
        try:
            self.inst.close()
        except Exception:
            pass
        self.runner.stop()


def power_off(program, how):
    board = Board(program)
    try:
        start = time.monotonic()
        if how == "SIGINT":
            board.runner.process.send_signal(signal.SIGINT)
        else:
            board.inst.write("SYST:POFF")
        board.exits_within(LIMIT_S, start, how + " 0.5 s after boot")
        check("<" in board.saved(), how + ": LastPowerOff.xml saved")
    finally:
        board.close()


def domain_then_power_off(program):
    board = Board(program)
    try:
        start = time.monotonic()
        board.inst.write("SYST:COMM:ETH:DOM 'LATEDOMAIN'")
        board.inst.write("SYST:POFF")
        board.exits_within(LIMIT_S, start, "SYST:COMM:ETH:DOM then SYST:POFF")
        check("LATEDOMAIN" in board.saved(), "the new domain is saved")
    finally:
        board.close()


def restart(program):
    board = Board(program)
    try:
        mark = len(board.runner.log_text())
        start = time.monotonic()
        board.inst.write("*RST")
        while "board: reset" not in board.runner.log_text()[mark:] and time.monotonic() - start < 10:
            time.sleep(0.01)
        took = time.monotonic() - start
        check("board: reset" in board.runner.log_text()[mark:] and took <= LIMIT_S,
              "*RST 0.5 s after boot resets within %.1f s (%.2f s)" % (LIMIT_S, took))
        board.inst.close()
        board.inst = runner_session.open_session(runner_session.manager())
        check(board.inst.query("*IDN?").count(",") == 3, "*IDN? answers after the restart")
    finally:
        board.close()


def averaging_saved(text):
    """The averaging count that LastPowerOff.xml holds; 0 when none."""
    match = re.search(r'<Branch name="averaging">\s*<Branch name="signal">.*?<Int32 name="count" value="(\d+)"',
                      text, re.S)
    return int(match.group(1)) if match else 0


def nothing_answered_is_lost(program):
    board = Board(program)
    try:
        board.inst.write("SYST:POFF")
        answered = 0
        for n in range(2, 200):
            try:
                if board.inst.query("AVER:COUN %d;*OPC?" % n).strip() != "1":
                    break
            except Exception:  # refused: the session ended with the power-off
                break
            answered = n
        board.exits_within(10, time.monotonic(), "SYST:POFF followed by queries")
        saved = averaging_saved(board.saved())
        check(saved >= answered, "every answered change is saved (answered up to %d, saved %d)"
              % (answered, saved))
    finally:
        board.close()


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    # A runner built with the thread sanitizer would otherwise sleep 1 s in its exit.
    options = os.environ.get("TSAN_OPTIONS", "")
    if "atexit_sleep_ms" not in options:
        os.environ["TSAN_OPTIONS"] = (options + " atexit_sleep_ms=0").strip()
    cases = {
        "poff": lambda: power_off(program, "SYST:POFF"),
        "sigint": lambda: power_off(program, "SIGINT"),
        "domain": lambda: domain_then_power_off(program),
        "restart": lambda: restart(program),
        "answered": lambda: nothing_answered_is_lost(program),
    }
    chosen = sys.argv[2:3] or list(cases)
    try:
        for name in chosen:
            print("-- " + name)
            cases[name]()
    except runner_session.Failure as failure:
        print("FAIL: " + str(failure))
        return 1
    except Exception as error:  # a session or the runner broke
        print("FAIL: %s: %s" % (type(error).__name__, error))
        return 1
    print("shutdown_vxi11: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
