#!/usr/bin/python3
"""meas_latency.py [RUNNER]: how long MEAS:FLUX? takes over VXI-11 with pyvisa-py.

For the default topology (one probe on the socket) and the example multiplexer topology
(tests/clients/route_topology.txt) it starts the runner (default build/korvex-sim) at the
default simulated times and prints, in seconds: the first MEAS:FLUX? after start, the median
and the maximum of the next 20, and one MEAS:FLUX? after MMEM:STORe. Figures only, no
threshold. Runs itself in a network namespace of its own (tests/net/in-netns.sh).
"""
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "clients"))
import runner_session  # noqa: E402

COUNT = 20


def timed(inst, text):
    start = time.monotonic()
    reply = inst.query(text).strip()
    return time.monotonic() - start, reply


def measure(runner, name, extra_args):
    session = runner_session.Runner(runner, extra_args)
    inst = None
    try:
        inst = runner_session.open_session(runner_session.manager())
        inst.timeout = 30000
        first, reply = timed(inst, "MEAS:FLUX?")
        times = []
        for _ in range(COUNT):
            elapsed, last = timed(inst, "MEAS:FLUX?")
            times.append(elapsed)
        inst.write('MMEM:STOR 0,"bench",ALL')
        inst.query("*OPC?")
        stored, after = timed(inst, "MEAS:FLUX?")
        error = inst.query("SYST:ERR?").strip()
        print("%-9s first %.3f s (%s)  median %.3f s  max %.3f s of %d (%s)  after MMEM:STOR %.3f s (%s)  %s"
              % (name, first, reply, statistics.median(times), max(times), COUNT, last, stored, after, error))
        sys.stdout.flush()
    finally:
        if inst is not None:
            inst.close()
        session.stop()


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    measure(runner, "probe", [])
    measure(runner, "mux", ["--topology", os.path.join(ROOT, "tests", "clients", "route_topology.txt")])
    return 0


if __name__ == "__main__":
    sys.exit(main())
