#!/usr/bin/python3
"""clear_status_vxi11.py [RUNNER [ROUNDS]]: the status byte of a serial poll and the device
clear during a measurement, with pyvisa-py against the runner it starts (default
build/korvex-sim). A serial poll shows MAV only while a reply waits; a device clear in the
middle of a MEAS? drops that query and its reply, and the next query (*OPC?) is answered
every time, with no -420 "Query UNTERMINATED" queued (ROUNDS times, default 200). Runs
itself in a network namespace of its own (tests/net/in-netns.sh); exit status 0 when all
pass, 1 at the first failure, 77 when no namespace can be made.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

MAV = 0x10
check = runner_session.check


def serial_poll_mav(inst):
    inst.write("*CLS")
    inst.write("*OPC?")
    deadline = time.monotonic() + 10
    while not inst.read_stb() & MAV and time.monotonic() < deadline:
        time.sleep(0.01)
    check(inst.read_stb() == MAV, "read_stb with the *OPC? reply waiting: 16")
    check(inst.read().strip() == "1", "*OPC? reads 1")
    check(inst.read_stb() == 0, "read_stb after the reply was read: 0")
    check(inst.query("*STB?").strip() == "0", "*STB? agrees: 0")


def errors(inst):
    found = []
    for _ in range(12):
        reply = inst.query("SYST:ERR?").strip()
        if reply.startswith("0,"):
            break
        found.append(reply)
    return found


def clear_during_measurement(inst, rounds):
    inst.write("ROUT:CLOS (@1)")
    errors(inst)
    unanswered = 0
    unterminated = 0
    for _ in range(rounds):
        inst.write("MEAS?")
        time.sleep(0.1)
        inst.clear()
        try:
            reply = inst.query("*OPC?").strip()
        except Exception:  # pyvisa-py: time-out
            reply = ""
        unanswered += reply != "1"
        unterminated += any(error.startswith("-420") for error in errors(inst))
    check(unanswered == 0, "%d x (MEAS?, clear, *OPC?): every *OPC? answered (%d not)" % (rounds, unanswered))
    check(unterminated == 0, "no -420 after any clear (%d rounds had one)" % unterminated)


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else None
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 200

    def body(inst):
        serial_poll_mav(inst)
        clear_during_measurement(inst, rounds)

    return runner_session.run_checks(body, runner)


if __name__ == "__main__":
    sys.exit(main())
