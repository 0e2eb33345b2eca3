#!/usr/bin/python3
"""pyvisa_check.py HOST: pyvisa-py ('@py') against the test device inst0 of a VXI-11 server.

Prints "ok: ..." for each check that holds; stops with "FAIL: ..." and exit status 1 at the
first one that does not.

pyvisa-py 0.5.1 splits a write into device_write blocks of the link's maxRecvSize (4096)
but sets END only when the bytes still to send are at most 1024 when a block starts: a
message of 1025 to 4096 bytes, or one whose last 4096-byte block is longer than 1024 bytes,
reaches the device without END and never completes. The long query here is therefore 5000
bytes (blocks of 4096 and 904, END on the second); vxi11_peer covers 1025 to 4096 bytes.
"""
import sys
import time

import pyvisa
from pyvisa import constants
from pyvisa.errors import VisaIOError

IDENTITY = "KORVEX-TEST,VXI11,0,0"


def fail(text):
    print("FAIL: " + text, flush=True)
    sys.exit(1)


def check(holds, text):
    if not holds:
        fail(text)
    print("ok: " + text, flush=True)


def open_instrument(rm, resource):
    inst = rm.open_resource(resource)
    inst.timeout = 5000
    # Messages go out exactly as given; replies end at END.
    inst.write_termination = ""
    inst.read_termination = ""
    return inst


def answer(inst, message):
    return inst.query(message).rstrip("\n")


def poll_stb_until_request(inst, seconds):
    """The device takes "SRQ" after device_write returns: read the status byte until the
    request shows (bit 6), for at most the given time."""
    deadline = time.monotonic() + seconds
    while True:
        stb = inst.read_stb()
        if stb & 0x40 or time.monotonic() > deadline:
            return stb
        time.sleep(0.01)


def main():
    if len(sys.argv) != 2:
        print("usage: pyvisa_check.py HOST", file=sys.stderr)
        return 2
    resource = "TCPIP::%s::inst0::INSTR" % sys.argv[1]
    rm = pyvisa.ResourceManager("@py")
    a = open_instrument(rm, resource)

    reply = answer(a, "*IDN?")
    check(reply == IDENTITY, "query('*IDN?') answers %r" % reply)

    long_query = "x" * 4999 + "?"
    reply = answer(a, long_query)
    check(reply == "5000", "a 5000-byte query answers %r" % reply)

    a.write("SRQ")
    first = poll_stb_until_request(a, 2.0)
    second = a.read_stb()
    check(first == 0x41 and second == 0x01,
          "after SRQ read_stb() gives %#04x, then %#04x" % (first, second))

    a.clear()
    a.assert_trigger()
    clears = answer(a, "CLR?")
    triggers = answer(a, "TRG?")
    check(clears == "1" and triggers == "1",
          "after clear() and assert_trigger(), CLR? answers %r and TRG? %r" % (clears, triggers))

    b = open_instrument(rm, resource)
    a.lock_excl()
    try:
        b.lock_excl(timeout=0)
        fail("B's lock_excl(timeout=0) succeeded while A holds the lock")
    except VisaIOError as error:
        check(error.error_code == constants.StatusCode.error_resource_locked,
              "while A holds lock_excl(), B's lock_excl(timeout=0) raises %s" % error.abbreviation)
    a.unlock()
    b.lock_excl(timeout=0)
    check(True, "after A's unlock(), B's lock_excl(timeout=0) succeeds")
    b.unlock()

    b.close()
    a.close()
    rm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
