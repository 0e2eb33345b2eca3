#!/usr/bin/python3
"""runner_checks.py RUNNER [field]: the runner as a newcomer meets it, driven from outside.

Without "field": --help and -h, an unknown option, a second start on a state folder in use
(also after a restart, which keeps the process name), the control socket's help, state and
fault listing, the NMR path (nmr 0, 2 and 3 leave the probe without signal: MEAS:FLUX?
fails, error 204, or 205 when the topology monitor saw the change first), and boots with a
LastPowerOff.xml of 200 000 extra elements and one of 20 MiB (both refused unread, the
factory settings start about as fast as a normal boot; SIGTERM right after
the start stops the firmware).
With "field": --field outside the probe's range gives the failed measurement (empty reply,
204 "Data not all available").
Runs itself in a network namespace (tests/net/in-netns.sh) for the portmapper port; exit
status 77 when no namespace can be made.
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPTIONS = ["--state", "--bind", "--boot-condition", "--tick-us", "--no-bootmon", "--topology",
           "--field", "--measurement-time", "--dsp-refuse-boot", "--help"]
STATE_FIELDS = ["power", "update-mode", "watchdog-ticks", "boot-condition", "keep-alives",
                "temperature", "button", "nmr", "ain0", "plugged", "faults"]
COMMANDS = ["adc", "button", "fault", "help", "nmr", "plug", "state", "temp", "unplug"]
FAULTS = ["badcheck", "nack", "refuse", "neverready", "zerodata", "route6", "shortentry", "pending"]
NO_SIGNAL = ("", '204,"Data not all available"')


Failure = runner_session.Failure
check = runner_session.check


def errors(inst):
    """Every queued error, oldest first, up to 0."""
    found = []
    while True:
        reply = inst.query("SYST:ERR?").strip()
        if reply.startswith("0,"):
            return found
        found.append(reply)


def measure(inst):
    reply = inst.query("MEAS:FLUX?").strip()
    return reply, errors(inst)


def help_and_options(program):
    long = subprocess.run([program, "--help"], capture_output=True, timeout=30)
    short = subprocess.run([program, "-h"], capture_output=True, timeout=30)
    text = long.stdout.decode()
    check(long.returncode == 0 and short.returncode == 0, "--help and -h exit 0")
    check(short.stdout == long.stdout and text, "-h prints what --help prints")
    for option in OPTIONS:
        check(re.search(r"^  %s\b.*\S" % re.escape(option), text, re.M) is not None,
              "--help has a line for %s" % option)
    for part in ["Boot conditions", "SIGINT", "SIGTERM", "Exit codes"]:
        check(part in text, "--help names %s" % part)
    bad = subprocess.run([program, "--no-such-option"], capture_output=True, timeout=30)
    check(bad.returncode == 2, "an unknown option exits 2 (%d)" % bad.returncode)
    check(text in bad.stderr.decode() and not bad.stdout, "an unknown option prints the help on stderr")


def control_socket(state):
    answer = runner_session.control(state, "help")
    check(answer.startswith("OK"), "help answers OK")
    for command in COMMANDS:
        check(re.search(r"(: | \| )%s\b" % command, answer) is not None, "help lists %s" % command)
    check("nmr 0|1|2|3" in answer and "plug <path>" in answer, "help gives the arguments")
    answer = runner_session.control(state, "state")
    fields = dict(f.split("=", 1) for f in answer.split()[1:])
    for name in STATE_FIELDS:
        check(name in fields, "state has %s= (%s)" % (name, answer))
    check(fields["nmr"] == "1" and fields["ain0"] == "790" and fields["plugged"] == "1:probe",
          "state: an intact path with the default probe on the socket")
    for line in ["fault", "fault nosuch 1"]:
        answer = runner_session.control(state, line)
        check(answer.startswith("ERR") and all(f in answer for f in FAULTS),
              "'%s' lists the fault names" % line)
    check(runner_session.control(state, "fault nack 3") == "OK", "fault nack 3")
    check("faults=nack:3" in runner_session.control(state, "state"), "state shows the armed fault")
    check(runner_session.control(state, "fault nack 0") == "OK", "fault nack 0 disarms it")


def nmr_path(inst, state):
    check(measure(inst) == ("1.500000 T", []), "MEAS:FLUX? on an intact path: 1.500000 T")
    # Whether the topology monitor has seen the path change (the measurement is refused or
    # aborted: 205) or not (the search finds nothing: 204), the measurement fails.
    failures = {'204,"Data not all available"', '205,"Topology Changed"'}
    for level in ["0", "2", "3"]:
        check(runner_session.control(state, "nmr " + level) == "OK", "nmr " + level)
        reply, queued = measure(inst)
        check(reply == NO_SIGNAL[0] and queued and set(queued) <= failures,
              "nmr %s: MEAS:FLUX? fails, no 1.5 T (%r, %s)" % (level, reply, queued))
    check(runner_session.control(state, "nmr 1") == "OK", "nmr 1")
    # The topology monitor sees the path come back on its own schedule: a measurement that
    # it interrupts (205) is taken again.
    for _ in range(5):
        reply, _ = measure(inst)
        if reply == "1.500000 T":
            break
        time.sleep(0.5)
    check(reply == "1.500000 T", "nmr 1: MEAS:FLUX? measures again (%r)" % reply)


def restart_keeps_the_name(inst, runner):
    """After *RST the process runs on under its own name (pgrep -x korvex-sim finds it)."""
    try:
        inst.write("*RST")  # the instrument may go before it acknowledges
        inst.close()
    except Exception:  # noqa: BLE001 - the link died with the old image
        pass
    inst = runner_session.open_session(runner_session.manager())
    with open("/proc/%d/comm" % runner.process.pid) as f:
        name = f.read().strip()
    check(runner.alive() and name == "korvex-sim", "after *RST the process is named korvex-sim (%s)" % name)
    return inst


def second_start(program, runner, state):
    other = subprocess.run([program, "--state", state], capture_output=True, timeout=60)
    expected = "state folder %s is in use by process %d" % (state, runner.process.pid)
    check(other.returncode == 1, "a second start on the folder exits 1 (%d)" % other.returncode)
    check(expected in other.stderr.decode(), "it says: " + expected)
    check(runner.alive() and os.path.exists(os.path.join(state, "board.sock")),
          "the first runs on, its control socket in place")


def boot_time(program, prepare=None):
    """Seconds from start to the first *IDN? answer, on a fresh state folder."""
    runner = None
    try:
        started = time.monotonic()
        if prepare is None:
            runner = runner_session.Runner(program)
        else:
            runner = runner_session.Runner(program, prepare=prepare)
        inst = runner_session.open_session(runner_session.manager())
        took = time.monotonic() - started
        inst.close()
        return took, runner.log_text()
    finally:
        if runner is not None:
            runner.stop()


def settings_with(extra):
    with open(os.path.join(ROOT, "romfs", "factory.xml")) as f:
        factory = f.read()
    head, tail = factory.rsplit("</Branch>", 1)
    return head + extra + "</Branch>" + tail


def write_settings(text):
    def prepare(state):
        folder = os.path.join(state, "yaffs", "settings")
        os.makedirs(folder)
        with open(os.path.join(folder, "LastPowerOff.xml"), "w") as f:
            f.write(text)
    return prepare


def stop_during_load(program, text):
    """SIGTERM while the settings load: the firmware stops (exit 0); the load holds nothing up
    (the stop waits only for the rest of the start, some seconds on a busy machine)."""
    runner = runner_session.Runner(program, prepare=write_settings(text))
    try:
        time.sleep(0.1)
        started = time.monotonic()
        runner.process.terminate()
        code = runner.process.wait(timeout=30)
        took = time.monotonic() - started
        print("SIGTERM 0.1 s after the start: stopped after %.2f s" % took)
        check(code == 0 and took < 10.0, "SIGTERM during the load stops the firmware (exit %d)" % code)
    finally:
        runner.stop()


def big_files(program):
    normal, _ = boot_time(program)
    many = settings_with("".join('<Int32 name="u%d" value="1"/>\n' % i for i in range(200000)))
    stop_during_load(program, many)
    huge = settings_with(" " * (20 << 20))
    for name, text in [("200 000 extra elements", many), ("20 MiB", huge)]:
        took, log = boot_time(program, write_settings(text))
        print("boot with a LastPowerOff.xml of %s: %.2f s (normal boot %.2f s)" % (name, took, normal))
        # Unbounded, the load alone took minutes; the margin is for a busy machine.
        check(took < 2 * normal + 2.0, "a LastPowerOff.xml of %s boots about as fast as a normal boot" % name)
        check("Error in file; deleting" in log, "it is refused, the factory settings start")


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    field = len(sys.argv) > 2 and sys.argv[2] == "field"
    runner = None
    try:
        if field:
            runner = runner_session.Runner(program, ["--field", "10"])
            inst = runner_session.open_session(runner_session.manager())
            reply, queued = measure(inst)
            check(reply == NO_SIGNAL[0] and queued == [NO_SIGNAL[1]],
                  "--field 10 (outside the probe's range): MEAS:FLUX? gives %r and %s (%r, %s)"
                  % (NO_SIGNAL[0], NO_SIGNAL[1], reply, queued))
            inst.close()
        else:
            help_and_options(program)
            runner = runner_session.Runner(program)
            state = os.path.join(runner.state, "state")
            inst = runner_session.open_session(runner_session.manager())
            second_start(program, runner, state)
            control_socket(state)
            nmr_path(inst, state)
            inst = restart_keeps_the_name(inst, runner)
            second_start(program, runner, state)  # the lock outlives the restart
            inst.close()
            runner.stop()
            runner = None
            big_files(program)
    except Failure as failure:
        print("FAIL: " + str(failure))
        if runner is not None:
            print(runner.tail())
        return 1
    finally:
        if runner is not None:
            runner.stop()
    print("runner_checks: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
