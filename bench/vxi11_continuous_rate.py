#!/usr/bin/python3
"""vxi11_continuous_rate.py [RUNNER]: continuous measurement over VXI-11 with pyvisa-py.

For each simulated measurement time t (20 ms, the simulation's default, and 0 ms) it
starts the runner (default build/korvex-sim), selects the probe with one MEAS?, sends
TRIG:SOUR IMM;:TRIG:COUN 1;:INIT:CONT ON and then FETC:TIM?;:FETC? for 10 s, and prints
  continuous over VXI-11: <m> measurements/s (distinct time stamps), <q> FETC/s, sim measurement time <t> ms
No threshold: the figures are for the record. The runner option that sets the simulated
measurement time is KORVEX_SIM_TIME_OPTION (default --measurement-time), followed by the
time in ms. Runs itself in a network namespace of its own (tests/net/in-netns.sh).
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "clients"))
import runner_session  # noqa: E402

DURATION_S = 10.0


def measure(runner, sim_ms):
    option = os.environ.get("KORVEX_SIM_TIME_OPTION", "--measurement-time")
    session = runner_session.Runner(runner, ["--field", "1.5", option, str(sim_ms)])
    inst = None
    try:
        inst = runner_session.open_session(runner_session.manager())
        # A fresh instrument has no channel selected: one MEASure? selects the probe's.
        inst.query("MEAS?")
        inst.write("TRIG:SOUR IMM;:TRIG:COUN 1;:INIT:CONT ON")
        stamps = set()
        queries = 0
        start = time.monotonic()
        while time.monotonic() - start < DURATION_S:
            stamp, _, _ = inst.query("FETC:TIM?;:FETC?").strip().partition(";")
            stamps.add(stamp)
            queries += 1
        elapsed = time.monotonic() - start
        inst.write("INIT:CONT OFF;:ABOR")
        print("continuous over VXI-11: %.1f measurements/s (distinct time stamps), %.1f FETC/s, "
              "sim measurement time %d ms" % (len(stamps) / elapsed, queries / elapsed, sim_ms))
        sys.stdout.flush()
    finally:
        if inst is not None:
            inst.close()
        session.stop()


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    for sim_ms in (20, 0):
        measure(runner, sim_ms)
    return 0


if __name__ == "__main__":
    sys.exit(main())
