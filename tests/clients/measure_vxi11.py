#!/usr/bin/python3
"""measure_vxi11.py [RUNNER]: measures the simulated field over VXI-11 with independent
clients (pyvisa-py, then lxi-tools) against the runner it starts (default
build/korvex-sim, simulated field 1.5 T), and checks the replies of the measurement,
common and system commands. Prints each check; exit status 0 when all pass, 1 at the first
failure. Runs itself in a network namespace of its own (tests/net/in-netns.sh) for the
portmapper port; exit status 77 when no namespace can be made.
"""
import re
import struct
import subprocess
import sys
import time

sys.path.insert(0, __import__("os").path.dirname(__import__("os").path.abspath(__file__)))
import runner_session  # noqa: E402

FIELD = 1.5                     # tesla, the runner's --field
NOMINAL_P_GYRO_RATIO = 42577478.5
PROBE_MAHZ = 63.86621838        # the simulated probe's frequency at 1.5 T
TOLERANCE = 1e-6                # relative: 1 ppm (the simulation's noise is 0.05 ppm rms)


check = runner_session.check


def value_and_unit(reply):
    number, _, unit = reply.strip().partition(" ")
    return float(number), unit


def near(value, expected, tolerance=TOLERANCE):
    return abs(value - expected) <= abs(expected) * tolerance


def flux(inst, query, expected, unit):
    reply = inst.query(query)
    value, got = value_and_unit(reply)
    check(got == unit and near(value, expected),
          "%s gives %s %s (%s)" % (query, expected, unit, reply.strip()))


def identity_and_status(inst):
    idn = inst.query("*IDN?").strip().split(",")
    check(len(idn) == 4 and "-dsp2.5-cpld1.8" in idn[3], "*IDN? has four fields (%s)" % idn)
    check(inst.query("*ESR?").strip() == "128", "*ESR? after boot is 128")
    check(inst.query("*ESR?").strip() == "0", "*ESR? then 0")
    check(inst.query("SYST:ERR?").strip() == '0,"No error"', "SYST:ERR? empty")
    # The log is a ring of 5000 characters: read it before the measurements fill it.
    log = runner_session.raw_query(inst, "DIAG:LOG?")
    check(b"DSP code loaded!" in log, "DIAG:LOG? tells the DSP code was loaded")


def units(inst):
    flux(inst, ":MEAS:FLUX?", FIELD, "T")
    inst.write("UNIT MT")
    flux(inst, "MEAS?", FIELD * 1e3, "MT")
    inst.write("UNIT GAUSs")
    flux(inst, "MEAS?", FIELD * 1e4, "GAUSs")
    inst.write("UNIT MAHZP")
    flux(inst, "MEAS?", FIELD * NOMINAL_P_GYRO_RATIO / 1e6, "MAHZP")
    inst.write("UNIT MAHZ")
    flux(inst, "MEAS?", PROBE_MAHZ, "MAHZ")
    inst.write("UNIT:PPMR 1.5 T")
    inst.write("UNIT PPM")
    value, unit = value_and_unit(inst.query("MEAS?"))
    check(unit == "PPM" and abs(value) < 1.0, "MEAS? in PPM of 1.5 T is below 1 (%s)" % value)
    block = runner_session.raw_query(inst, "UNIT T;:FORM INT;:MEAS?")
    check(block[:8] == b"#6000008" and len(block) >= 16, "binary MEAS? is #6000008 + 8 bytes")
    check(near(struct.unpack("<d", block[8:16])[0], FIELD), "the block holds 1.5 (little-endian)")
    inst.write("FORM ASC")
    check(inst.query("SYST:ERR?").strip() == '0,"No error"', "no error after the units")


def fetch_and_trigger(inst):
    flux(inst, "MEAS?", FIELD, "T")
    flux(inst, "UNIT GAUSs;:FETC?", FIELD * 1e4, "GAUSs")
    inst.write("UNIT T")
    inst.write("INIT")
    flux(inst, "FETC?", FIELD, "T")
    flux(inst, "READ?", FIELD, "T")
    sigma = float(inst.query("FETC:SIGM?"))
    check(sigma >= 0.0, "FETC:SIGM? is a number (%s)" % sigma)
    stamp = inst.query("FETC:TIM?").strip()
    check(stamp.isdigit(), "FETC:TIM? is a count (%s)" % stamp)
    channel = inst.query("FETC:CHAN?").strip()
    check(re.fullmatch(r"\(@\d+(!\d+)*\)", channel) is not None, "FETC:CHAN? is %s" % channel)
    inst.write("TRIG:COUN 3;:INIT")
    values = inst.query("FETC:ARR? 3").strip().split(",")
    check(len(values) == 3 and all(near(value_and_unit(v)[0], FIELD) for v in values),
          "FETC:ARR? 3 gives three values")
    inst.write("TRIG:COUN 1")

    inst.write("TRIG:SOUR BUS;:INIT")
    inst.write("*TRG")
    flux(inst, "FETC?", FIELD, "T")
    inst.write("INIT")
    inst.assert_trigger()
    flux(inst, "FETC?", FIELD, "T")
    inst.write("*TRG")
    check(inst.query("SYST:ERR?").strip() == '-210,"Trigger error"', "*TRG while idle: -210")
    inst.write("TRIG:SOUR IMM")

    inst.write("INIT:CONT ON")
    inst.write("ABOR")
    check(inst.query("*OPC?").strip() == "1", "ABOR returns")
    inst.write("INIT:CONT OFF")
    flux(inst, "MEAS?", FIELD, "T")
    check(inst.query("INIT:CONT?").strip() == "0", "MEAS? leaves INIT:CONT? 0")
    check(inst.query("TRIG:SOUR?").strip().upper().startswith("IMM"), "and TRIG:SOUR? IMM")

    conf = inst.query("CONF?").strip()
    check(conf.endswith(";") and ":CONF:SEAR:FSTEP " in conf and " Hz;" in conf,
          "CONF? ends with ; and gives the search step in Hz")


def common(inst):
    check(inst.query("*CLS;*OPC;*ESR?").strip() == "1", "*CLS;*OPC;*ESR? gives 1")
    check(inst.query("*OPC?").strip() == "1", "*OPC? gives 1")
    inst.write("*WAI")
    check(inst.query("*OPC?").strip() == "1", "*WAI answers nothing")
    # A header that matches no pattern is a syntax error of the header matcher (its status
    # 70, which the parse-status table gives as -102).
    inst.write("FOO")
    check(inst.query("SYST:ERR?").strip() == '-102,"Syntax error"', "FOO: -102")
    headers = runner_session.raw_query(inst, "SYST:HELP:HEAD?")
    match = re.match(rb"#4(\d{4})", headers)
    body = headers[:-1] if headers.endswith(b"\n") else headers  # the message terminator
    check(match is not None and len(body) == 6 + int(match.group(1)),
          "SYST:HELP:HEAD? is #4 + four digits + that many bytes")
    check(inst.query('SYST:HELP:SYNT? "*IDN?"').strip() == "*IDN?", "SYST:HELP:SYNT? *IDN?")


def reset(inst):
    inst.write("*RST")
    ended = False
    try:
        inst.timeout = 3000
        inst.query("*IDN?")
    except Exception:
        ended = True
    try:
        inst.close()
    except Exception:
        pass
    check(ended, "*RST ends the link")
    start = time.monotonic()
    again = runner_session.open_session(runner_session.manager(), timeout_s=10.0)
    check(len(again.query("*IDN?").split(",")) == 4,
          "a new link answers *IDN? after %.1f s" % (time.monotonic() - start))
    return again


def lxi_client():
    result = subprocess.run(["lxi", "scpi", "--address", "127.0.0.1", ":MEAS:FLUX?"],
                            capture_output=True, text=True, timeout=60)
    text = result.stdout.strip()
    match = re.search(r"([-+0-9.eE]+) T\b", text)
    check(result.returncode == 0 and match is not None and near(float(match.group(1)), FIELD),
          "lxi scpi :MEAS:FLUX? prints 1.5 T (%s)" % text)


def checks(inst):
    identity_and_status(inst)
    units(inst)
    fetch_and_trigger(inst)
    common(inst)
    reset(inst).close()
    lxi_client()


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else None
    return runner_session.run_checks(checks, runner, ["--field", str(FIELD)])


if __name__ == "__main__":
    sys.exit(main())
