#!/usr/bin/python3
"""route_vxi11.py [RUNNER]: discovers and selects probes over VXI-11 with pyvisa-py against
the runner it starts (default build/korvex-sim) with --topology route_topology.txt: the
topology scan, channel selection, per-channel probe data, the Hall sensor, a plug through
the board's control socket, peripheral memory, files and settings, and a broken NMR path.
Prints each check; exit status 0 when all pass, 1 at the first failure. Runs itself in a
network namespace of its own (tests/net/in-netns.sh) for the portmapper port; exit status
77 when no namespace can be made.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

TOPOLOGY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "route_topology.txt")
ALL_FIVE = "(@1!2,1!3!1,1!3!2,1!3,1!4)"
ALL_SIX = "(@1!1,1!2,1!3!1,1!3!2,1!3,1!4)"


Failure = runner_session.Failure
check = runner_session.check


def query(inst, text):
    return inst.query(text).strip()


def error_code(inst):
    return int(query(inst, "SYST:ERR?").split(",", 1)[0])


def expect_error(inst, code, after):
    got = error_code(inst)
    check(got == code, "%s then SYST:ERR? gives %d (%d)" % (after, code, got))


def control(state, line):
    try:
        return runner_session.control(state, line)
    except RuntimeError as error:
        raise Failure(str(error))


def scan_twice(inst, expected):
    for _ in range(2):
        got = query(inst, "ROUT:PROB:SCAN?")
        check(got == expected, "ROUT:PROB:SCAN? gives %s (%s)" % (expected, got))


def steps(inst, state, runner):
    # 1. The topology, twice the same.
    scan_twice(inst, ALL_FIVE)

    # 2. Selection.
    inst.write("ROUT:CLOS (@1!4)")
    expect_error(inst, 0, "ROUT:CLOS (@1!4)")
    for q in ("ROUT:CLOS:ACT?", "ROUT:CLOS:STAT?"):
        got = query(inst, q)
        check(got == "(@1!4)", "%s gives (@1!4) (%s)" % (q, got))

    # 3. Per-channel probe data.
    got = query(inst, "ROUT:PROB:MOD? (@1!2,1!1)")
    check(got == "513,-1", "ROUT:PROB:MOD? (@1!2,1!1) gives 513,-1 (%s)" % got)
    expect_error(inst, 203, "ROUT:PROB:MOD?")
    got = query(inst, "ROUT:PROB:SER? (@1!4)")
    check(got == "1004", "ROUT:PROB:SER? (@1!4) gives 1004 (%s)" % got)
    got = query(inst, "ROUT:PROB:DES? (@1!4,1!2)")
    check(got == "P-4,-", "ROUT:PROB:DES? (@1!4,1!2) gives P-4,- (%s)" % got)

    # 4. The Hall sensor in tesla.
    inst.write("UNIT T")
    got = query(inst, "ROUT:PROB:HALL?")
    values = [float(v) for v in got.split(",")]
    expected = [0.001, -0.002, 0.0005]
    check(len(values) == 3 and all(abs(v - e) <= 2e-5 for v, e in zip(values, expected)),
          "ROUT:PROB:HALL? gives 0.001,-0.002,0.0005 (%s)" % got)

    # 5. A probe plugged on port 1.
    answer = control(state, "plug 1/1 probe word=515 number=1001")
    check(answer.startswith("OK"), "control: plug 1/1 (%s)" % answer)
    scan_twice(inst, ALL_SIX)

    # 6. Peripheral memory read and written back.
    block = runner_session.raw_query(inst, "ROUT:MMEM:DATA? (@1!4)")
    digits = int(block[1:2])
    length = int(block[2:2 + digits])
    check(block[:1] == b"#" and len(block) == 2 + digits + length + 1,
          "ROUT:MMEM:DATA? (@1!4) gives a block of %d bytes" % length)
    inst.write_raw(b"ROUT:MMEM:DATA (@1!4)," + block[:-1] + b"\n")
    expect_error(inst, 0, "ROUT:MMEM:DATA (@1!4),<block>")

    # 7. Files.
    inst.write('MMEM:DATA "/yaffs/user/note.txt",#15hello')
    expect_error(inst, 0, "MMEM:DATA")
    got = query(inst, 'MMEM:DATA? "/yaffs/user/note.txt"')
    check(got == "hello", "MMEM:DATA? gives hello (%s)" % got)
    got = query(inst, "MMEM:CAT?")
    check("/yaffs/user/note.txt,,5" in got, "MMEM:CAT? lists /yaffs/user/note.txt,,5")
    inst.write('MMEM:DATA "/yaffs/user/../x",#11x')
    expect_error(inst, -257, 'MMEM:DATA "/yaffs/user/../x"')

    # 8. A settings store empties the peripheral nodes; the next scan rebuilds them.
    inst.write('MMEM:STOR 0,"e2e",MEAS')
    expect_error(inst, 0, "MMEM:STOR")
    got = query(inst, "ROUT:PROB:SCAN?")
    check(got == ALL_SIX, "ROUT:PROB:SCAN? after the store gives %s (%s)" % (ALL_SIX, got))

    # 9. A broken NMR path refuses the next measurement; a scan rebuilds and clears it.
    broken = "CKorvexHostAcquisition::NMRPathIsBroken()"
    before = runner.log_text().count(broken)
    answer = control(state, "nmr 2")
    check(answer.startswith("OK"), "control: nmr 2 (%s)" % answer)
    deadline = time.monotonic() + 30
    while runner.log_text().count(broken) == before and time.monotonic() < deadline:
        time.sleep(0.05)
    check(runner.log_text().count(broken) > before, "the firmware sees the broken path")
    inst.write("INIT")
    expect_error(inst, 205, "INIT on a broken path")
    query(inst, "ROUT:PROB:SCAN?")
    # The rebuild leaves no channel active: select one again, else the measurement the INIT
    # starts fails on its own a moment later (202, "No selected channel").
    inst.write("ROUT:CLOS (@1!4)")
    expect_error(inst, 0, "ROUT:CLOS (@1!4) after the scan")
    inst.write("INIT")
    expect_error(inst, 0, "INIT after the scan")
    inst.write("ABOR")


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    runner = runner_session.Runner(program, ["--topology", TOPOLOGY])
    state = os.path.join(runner.state, "state")
    try:
        inst = runner_session.open_session(runner_session.manager())
        try:
            steps(inst, state, runner)
        finally:
            inst.close()
    except Failure as failure:
        print("FAIL: " + str(failure))
        print(runner.tail())
        return 1
    except Exception as error:  # the session broke
        print("FAIL: %s: %s" % (type(error).__name__, error))
        print(runner.tail())
        return 1
    finally:
        runner.stop()
    print("route_vxi11: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
