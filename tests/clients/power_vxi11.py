#!/usr/bin/python3
"""power_vxi11.py [RUNNER]: the power paths of the runner (default build/korvex-sim, run
with --tick-us 2500, a fresh state folder per start) driven through its control socket and
over VXI-11 with pyvisa-py: the power button (a short push, released once the monitor has seen
it pressed, and a hold of 5 s), the board temperature
and over-temperature, the keep-alive feeding the watchdog and a hung keep-alive thread, a
settings file that needs a restart, firmware-update mode, and the fatal stop; the last lines
logged before each power off, restart and stop must have reached korvex.log. Prints each
check; exit status 0 when all pass, 1 at the first failure. Runs itself in a network
namespace of its own (tests/net/in-netns.sh); exit status 77 when none can be made.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

TICK_US = "2500"        # 4 board seconds a second
LAST_POWER_OFF = os.path.join("yaffs", "settings", "LastPowerOff.xml")


Failure = runner_session.Failure
check = runner_session.check


class Board:
    """One start of the runner on a fresh state folder, with a session when asked."""

    def __init__(self, program, prepare=None):
        self.runner = runner_session.Runner(program, ["--tick-us", TICK_US], prepare=prepare)
        self.state = os.path.join(self.runner.state, "state")
        self.manager = runner_session.manager()
        self.inst = None

    def session(self):
        self.drop_session()
        self.inst = runner_session.open_session(self.manager)
        return self.inst

    def ready(self):
        """Until a session answers *IDN?; the session is closed again."""
        self.session()
        self.drop_session()

    def drop_session(self):
        """Closes the session before the runner ends or restarts."""
        if self.inst is not None:
            try:
                self.inst.close()
            except Exception:  # the runner is gone already
                pass
            self.inst = None

    def control(self, line):
        answer = runner_session.control(self.state, line)
        check(answer.startswith("OK"), "%s: %s" % (line, answer))
        return answer

    def path(self, relative):
        return os.path.join(self.state, relative)

    def log(self):
        """The runner's standard output and error so far."""
        with open(self.runner.log_path, "rb") as out:
            return out.read().decode("utf-8", "replace")

    def korvex_log(self):
        """korvex.log of the state folder, all starts."""
        with open(self.path("korvex.log"), "rb") as text:
            return text.read().decode("utf-8", "replace")

    def wait_for(self, text, seconds, after=0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if text in self.log()[after:]:
                return True
            time.sleep(0.1)
        return text in self.log()[after:]

    def restarted(self, line, seconds, mark):
        """The line within seconds after the log position mark, then a warm boot that
        answers *IDN? again."""
        check(self.wait_for(line, seconds, mark), line)
        check(self.wait_for("Boot conditions: Warm boot", 20, mark), "then a warm boot")
        idn = self.session().query("*IDN?").strip()
        check(idn.count(",") == 3, "*IDN? answers again (%s)" % idn)

    def wait_exit(self, seconds):
        """The exit code and the seconds it took; None when it still runs."""
        start = time.monotonic()
        try:
            code = self.runner.process.wait(timeout=seconds)
        except Exception:  # still running
            return None, seconds
        return code, time.monotonic() - start

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None:
            print(self.runner.tail())
        self.close()

    def close(self):
        self.drop_session()
        self.runner.stop()


def expect_exit(board, code, seconds, what):
    got, took = board.wait_exit(seconds)
    check(got == code, "%s: exit %s within %.0f s (%s after %.1f s)" % (what, code, seconds, got, took))


def logged_in_order(board, *lines):
    """The lines are in korvex.log in this order. The last of them is logged just before the
    process ends or replaces itself, so it is there only when the log was written out first."""
    text = board.korvex_log()
    at = 0
    for line in lines:
        found = text.find(line, at)
        check(found >= 0, "korvex.log holds %r%s" % (line, " after the line before" if at else ""))
        at = found + len(line)


def button_push(program):
    with Board(program) as board:
        board.ready()
        saved = board.path(LAST_POWER_OFF)
        before = os.stat(saved).st_mtime_ns if os.path.exists(saved) else -1
        # Pressed until the monitor has seen it (a tap it does not see counts for nothing).
        board.control("button down")
        check(board.wait_for("PowerDownMonitorThreadMain: Power-down", 10), "the monitor saw the push")
        board.control("button up")
        expect_exit(board, 0, 3, "a short push")
        check(os.path.exists(saved) and os.stat(saved).st_mtime_ns > before,
              "LastPowerOff.xml rewritten")
        check("Standard shut-down" in board.log(), "the log tells a standard shut-down")
        logged_in_order(board, "Standard shut-down", "Switching Power Off...")
        with open(saved, "rb") as text:
            return text.read()


def button_hold(program, last_power_off):
    def with_settings(state):
        os.makedirs(os.path.join(state, "yaffs", "settings"))
        with open(os.path.join(state, LAST_POWER_OFF), "wb") as out:
            out.write(last_power_off)

    with Board(program, prepare=with_settings) as board:
        board.ready()
        check(os.path.exists(board.path(LAST_POWER_OFF)), "started from LastPowerOff.xml")
        board.control("button down")
        check(board.wait_for("Long Push shut-down", 20), "the monitor saw a hold of 5 s")
        expect_exit(board, 0, 10, "a hold of 5 s")
        check(not os.path.exists(board.path(LAST_POWER_OFF)), "LastPowerOff.xml gone")


def temperature(program):
    with Board(program) as board:
        inst = board.session()
        # Read when the monitor starts, not only after its first interval (2.5 s here).
        celsius = float(board.control("state").split("temperature=")[1].split()[0])
        first = inst.query("SYST:TEMP?").strip()
        check(first.split()[:1] == [str(int(celsius))], "SYST:TEMP? at once gives the board's %.1f (%s)"
              % (celsius, first))
        board.control("temp 41.5")
        start = time.monotonic()
        reply = ""
        while time.monotonic() - start < 10:  # read every 10 s of board time: 2.5 s
            reply = inst.query("SYST:TEMP?").strip()
            if reply.split()[:1] == ["41"]:
                break
            time.sleep(0.2)
        check(reply.split()[:1] == ["41"], "SYST:TEMP? gives 41 after temp 41.5 (%s after %.1f s)"
              % (reply, time.monotonic() - start))
        # The session stays open: the board goes off under it, maybe before the control
        # socket has answered.
        answer = runner_session.control(board.state, "temp 85")
        check(answer in ("", "OK temperature 85.0"), "temp 85: %r" % answer)
        expect_exit(board, 0, 5, "temp 85 (over the 75 degree limit)")
        check(not os.path.exists(board.path(LAST_POWER_OFF)), "no LastPowerOff.xml written")
        check("Over-temperature shut-down!!!" in board.log(), "the log tells the over-temperature")
        logged_in_order(board, "Over-temperature shut-down!!!", "Switching Power Off...")


def state_field(answer, name):
    for field in answer.split():
        key, _, value = field.partition("=")
        if key == name:
            return int(value)
    raise Failure("no %s in %s" % (name, answer))


def watchdog(program):
    with Board(program) as board:
        board.ready()
        first = state_field(board.control("state"), "keep-alives")
        lowest = None
        end = time.monotonic() + 20
        while time.monotonic() < end:
            answer = runner_session.control(board.state, "state")
            ticks = state_field(answer, "watchdog-ticks")
            lowest = ticks if lowest is None else min(lowest, ticks)
            time.sleep(0.25)
        last = state_field(runner_session.control(board.state, "state"), "keep-alives")
        check(last > first, "keep-alives rise over 20 s (%d to %d)" % (first, last))
        check(lowest >= 500, "the watchdog never came below 500 ticks (lowest %d)" % lowest)
        mark = len(board.log())
        board.control("hang KeepAlive Thread")
        board.restarted("board: watchdog reset", 25, mark)
        logged_in_order(board, "board: watchdog reset", "==== korvex-sim start")


def settings_restart(program):
    with Board(program) as board:
        inst = board.session()
        inst.write('MMEM:STOR 0,"c.xml",COMM')
        check(inst.query("SYST:ERR?").strip().startswith("0,"), "MMEM:STOR of the COMMunication class")
        mark = len(board.log())
        inst.write('MMEM:LOAD 0,"/yaffs/settings/comm_parms/c.xml"')
        board.drop_session()
        board.restarted("board: reset", 10, mark)
        logged_in_order(board, "board: reset", "==== korvex-sim start")


def update_mode(program):
    with Board(program) as board:
        inst = board.session()
        inst.write("DIAG:UPGR")
        board.drop_session()
        expect_exit(board, 5, 10, "DIAG:UPGR")
        check("board: firmware-update mode" in board.log(), "board: firmware-update mode")
        logged_in_order(board, "Entering DFU mode...", "board: firmware-update mode")
        with open(board.path("eeprom.bin"), "rb") as image:
            return image.read()


def fatal_stop(program, eeprom):
    def bad_version(state):
        image = bytearray(eeprom)
        image[8:16] = b"9.9".ljust(8, b"\0")
        with open(os.path.join(state, "eeprom.bin"), "wb") as out:
            out.write(bytes(image))

    with Board(program, prepare=bad_version) as board:
        expect_exit(board, 5, 30, "identity record of version 9.9")
        check("board: firmware-update mode" in board.log(), "board: firmware-update mode")
        logged_in_order(board, "CKorvexPower::Panic !!!", "Entering DFU mode...",
                        "board: firmware-update mode")
        debug_log = board.path(os.path.join("yaffs", "user", "DebugLog.txt"))
        check(os.path.exists(debug_log), "yaffs/user/DebugLog.txt written")
        with open(debug_log, "rb") as text:
            saved = text.read()
        check(b"CKorvexPower::Panic !!!" in saved and b"Reading EEPROM" in saved,
              "DebugLog.txt holds the EEPROM read and the fatal stop")


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    try:
        print("-- power button")
        last_power_off = button_push(program)
        button_hold(program, last_power_off)
        print("-- temperature")
        temperature(program)
        print("-- watchdog")
        watchdog(program)
        print("-- settings that need a restart")
        settings_restart(program)
        print("-- firmware-update mode")
        eeprom = update_mode(program)
        print("-- fatal stop")
        fatal_stop(program, eeprom)
    except Failure as failure:
        print("FAIL: " + str(failure))
        return 1
    except Exception as error:  # a session or the runner broke
        print("FAIL: %s: %s" % (type(error).__name__, error))
        return 1
    print("power_vxi11: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
