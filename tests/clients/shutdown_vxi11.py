#!/usr/bin/python3
"""shutdown_vxi11.py [RUNNER [CASE]]: power-off and restart during the name service's first
5 s after boot, over VXI-11 with pyvisa-py against the runner (default build/korvex-sim,
real-time ticks, a fresh state folder per case): SYST:POFF, SIGINT, a domain change followed
at once by SYST:POFF and *RST each end or restart the process within 1 s, the settings saved;
no query sent after SYST:POFF answers unless what it set was saved, and no write sent then
from a second link succeeds unless what it set was saved. CASE runs one case.
Exit status 0 when all pass, 1 at the first failure; runs in a network namespace of its own.
"""
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

check = runner_session.check
LIMIT_S = 1.0


def boot(program):
    """The runner with a session, 0.5 s after the name service began its start."""
    runner = runner_session.Runner(program)
    inst = runner_session.open_session(runner_session.manager())
    inst.timeout = 2000
    deadline = time.monotonic() + 20
    while "Starting NBNS: host" not in runner.log_text() and time.monotonic() < deadline:
        time.sleep(0.01)
    check("Starting NBNS: host" in runner.log_text(), "the name service starts")
    time.sleep(0.5)
    return runner, inst


def saved(runner):
    path = os.path.join(runner.state, "state", "yaffs", "settings", "LastPowerOff.xml")
    with open(path, "rb") as text:
        return text.read().decode("utf-8", "replace")


def signal_count(text):
    """The signal averaging count in a settings file."""
    found = re.search(r'<Branch name="averaging">\s*<Branch name="signal">.*?name="count" value="(\d+)"', text, re.S)
    return int(found.group(1)) if found else 0


def exits(runner, start, what, limit=LIMIT_S):
    try:
        code = runner.process.wait(timeout=10)
    except Exception:  # still running
        code = None
    took = time.monotonic() - start
    check(code == 0 and took <= limit, "%s: exit 0 within %.1f s (%s after %.2f s)" % (what, limit, code, took))


def answered_queries_are_saved(runner, inst):
    inst.write("SYST:POFF")
    answered = 0
    for n in range(2, 200):
        try:
            if inst.query("AVER:COUN %d;*OPC?" % n).strip() != "1":
                break
        except Exception:  # the session ended with the power-off
            break
        answered = n
    exits(runner, time.monotonic(), "SYST:POFF followed by queries", 10)
    count = signal_count(saved(runner))
    check(count >= answered, "every answered change is saved (answered up to %d, saved %d)" % (answered, count))


def acknowledged_writes_are_saved(runner, inst):
    second = runner_session.open_session(runner_session.manager())
    second.timeout = 2000
    inst.write("SYST:POFF")
    acknowledged = None
    for n in range(2, 200):
        try:
            second.write("AVER:COUN %d" % n)
        except Exception:  # refused, or the session ended with the power-off
            break
        acknowledged = n
    exits(runner, time.monotonic(), "SYST:POFF followed by writes", 10)
    count = signal_count(saved(runner))
    check(acknowledged is None or count == acknowledged,
          "the last acknowledged write is saved (acknowledged up to %s, saved %d)" % (acknowledged, count))


def restart(runner, inst):
    mark = len(runner.log_text())
    start = time.monotonic()
    inst.write("*RST")
    while "board: reset" not in runner.log_text()[mark:] and time.monotonic() - start < 10:
        time.sleep(0.01)
    took = time.monotonic() - start
    check("board: reset" in runner.log_text()[mark:] and took <= LIMIT_S, "*RST resets within 1 s (%.2f s)" % took)
    inst.close()
    check(runner_session.open_session(runner_session.manager()).query("*IDN?").count(",") == 3, "*IDN? answers again")


def power_off(send, saved_text=None):
    def case(runner, inst):
        start = time.monotonic()
        send(runner, inst)
        exits(runner, start, "power-off")
        check("<Branch" in saved(runner) and (saved_text is None or saved_text in saved(runner)),
              "LastPowerOff.xml saved" + (" with " + saved_text if saved_text else ""))
    return case


CASES = {
    "poff": power_off(lambda runner, inst: inst.write("SYST:POFF")),
    "sigint": power_off(lambda runner, inst: runner.process.send_signal(signal.SIGINT)),
    "domain": power_off(lambda runner, inst: (inst.write("SYST:COMM:ETH:DOM 'LATEDOMAIN'"), inst.write("SYST:POFF")),
                        "LATEDOMAIN"),
    "restart": restart,
    "answered": answered_queries_are_saved,
    "acknowledged": acknowledged_writes_are_saved,
}


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    # A runner built with the thread sanitizer would otherwise sleep 1 s in its exit.
    options = os.environ.get("TSAN_OPTIONS", "")
    if "atexit_sleep_ms" not in options:
        os.environ["TSAN_OPTIONS"] = (options + " atexit_sleep_ms=0").strip()
    for name in sys.argv[2:3] or list(CASES):
        print("-- " + name)
        runner = None
        try:
            runner, inst = boot(program)
            CASES[name](runner, inst)
        except Exception as error:  # a check, a session or the runner broke
            print("FAIL: %s: %s" % (type(error).__name__, error))
            if runner is not None:
                print(runner.tail())
            return 1
        finally:
            if runner is not None:
                runner.stop()
    print("shutdown_vxi11: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
