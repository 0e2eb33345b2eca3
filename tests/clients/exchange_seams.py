#!/usr/bin/python3
"""exchange_seams.py [RUNNER [ROUNDS [CASE...]]]: where the messages of VXI-11 links (raw ONC
RPC, vxi11_raw) and of the USB host (raw USBTMC-USB488 transfers, pyusb through usbsim) meet at
the parser while a link departs, a clear or a bus reset comes, or a trigger message crosses
over. A runner of its own per case (--field 1.5, measurements of 2.5 s, 0.3 s in r2); ROUNDS
rounds of each case (default 3). The cases (default: all):
- r1-read: the USB host's MEAS:FLUX? runs; link Z's *IDN? is taken, waits at the parser behind
  it, and Z's connection is reset 0.5 s later. Once the USB host has read its value, a
  device_read of link Y gets nothing of Z's, no -410 is queued over Y or USB, Y's *IDN? answers.
- r1-write: the same, but Y writes *IDN? and reads: its own reply, exactly once; then SYST:ERR?
  over Y says 0,"No error".
- r1-trigger: link Z's MEAS:FLUX? is read (read in progress), link X's device_trigger waits
  behind that read, Z's connection is reset: no -410 over X, and X's *IDN? answers.
- r2: link W's FETC? waits for its second bus trigger (no read yet), the USB host's *IDN? queued
  behind it; the USB488 TRIGGER and W's device_clear start at one instant: the USB *IDN? is
  answered, USB's SYST:ERR? says 0,"No error", USB and W answer *IDN? again, and the trigger
  counted once (FETC:ARR? 2 over W answers at once with two values, no -211).
- r3: a VXI-11 FETC? waits for its second bus trigger (read in progress), the USB host's
  MEAS:FLUX? behind it with REQUEST_DEV_DEP_MSG_IN sent and a Bulk-IN read pending; 0.2 s later
  the USB host resets the bus (as pyvisa-py's open): the reset completes within 1 s, a USB488
  TRIGGER of the new session completes the FETC?, the USB *IDN? answers.
- r4-usb: the VXI-11 FETC? waits (read in progress); the USB host sends *IDN? and its
  REQUEST_DEV_DEP_MSG_IN, then a USB488 TRIGGER: the FETC? gets a value, the *IDN? its reply.
- r4-vxi: the mirror: the USB host's FETC? waits (Bulk-IN read pending); link A's *IDN? has its
  read in progress; the device_trigger comes from link B (on A's connection it would wait
  behind A's read; A's lid is refused on another connection): both are answered.
- departed-waiting: link Z departs (connection reset) owing a query while link X's *IDN? write
  waits for the device; Z's FETC? waits for a bus trigger, or its MEAS:FLUX? waits at the
  parser behind the USB host's: X gets its own reply, never Z's value, and no -410.
Runs itself in a network namespace of its own (tests/net/in-netns.sh); exit status 0 when all
pass, 1 when a case fails (at its first failed check; the others still run), 77 when no
namespace can be made, 2 for an unknown case.
"""
import concurrent.futures
import os
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import departed_link_vxi11  # noqa: E402
import fetch_wait_clear  # noqa: E402
import runner_session  # noqa: E402
import vxi11_raw  # noqa: E402

check = runner_session.check
errors = fetch_wait_clear.errors  # SYST:ERR? until 0,"No error": what was queued
blocked = departed_link_vxi11.blocked
BACKGROUND = concurrent.futures.ThreadPoolExecutor(4)
MEAS, FETCH, IDN = "MEASure[:SCALar][:FLUX]?", "FETCh[:SCALar][:FLUX]?", "Korvex Instruments,"
ARM = "ABOR;*CLS;:ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 2;:INIT;*TRG"
DEV_DEP_MSG_OUT, REQUEST_DEV_DEP_MSG_IN, TRIGGER = 1, 2, 128
BULK_OUT, BULK_IN = 0x02, 0x81


class Link:
    """A VXI-11 link on a connection of its own; query(text) as pyvisa's, for shared helpers."""

    def __init__(self, port):
        self.connection, self.lid = departed_link_vxi11.link(port)

    def write(self, text, io_timeout=10000):
        return self.connection.write(self.lid, text.encode() + b"\n", io_timeout=io_timeout)[0]

    def read(self, io_timeout=10000):
        error, _, data = self.connection.read(self.lid, io_timeout)
        return data.decode() if not error else "read error %d" % error

    def query(self, text, io_timeout=30000):
        error = self.write(text, io_timeout)
        return self.read(io_timeout) if error == 0 else "write error %d" % error

    def trigger(self, io_timeout=30000):
        return self.connection.trigger(self.lid, io_timeout)


class UsbHost:
    """The USB host's side of the instrument's USBTMC interface: raw transfers, one bTag count."""

    def __init__(self, session):
        runner_session.usb_resource(session)  # usbsim installed, the instrument listed
        import usb.core
        self.dev = usb.core.find()
        self.tag = 0

    def out(self, msg_id, payload=b"", size=0, attributes=0):
        self.tag = self.tag % 255 + 1
        head = struct.pack("<BBBBIBBBB", msg_id, self.tag, self.tag ^ 0xFF, 0, size, attributes, 0, 0, 0)
        self.dev.write(BULK_OUT, head + payload + b"\0" * (-len(payload) % 4), timeout=10000)

    def send(self, text):
        data = text.encode() + b"\n"
        self.out(DEV_DEP_MSG_OUT, data, len(data), 1)  # EOM

    def request(self):
        self.out(REQUEST_DEV_DEP_MSG_IN, size=4096)

    def receive(self, timeout=10000):
        data = bytes(self.dev.read(BULK_IN, 4096 + 12, timeout=timeout))
        return data[12:12 + struct.unpack_from("<I", data, 4)[0]].decode()

    def trigger(self):
        self.out(TRIGGER)  # USB488 TRIGGER: a header, no payload

    def query(self, text):
        self.send(text)
        self.request()
        return self.receive()


def attempt(call, *args):
    """call's result, or what it raised as text; and the seconds it took."""
    started = time.monotonic()
    try:
        result = call(*args)
    except Exception as error:  # noqa: BLE001 - recorded, then checked
        result = "%s: %s" % (type(error).__name__, error)
    return result, time.monotonic() - started


def later(call, *args):
    return BACKGROUND.submit(attempt, call, *args)


def at_once(barrier, call):
    barrier.wait(10)
    return call()


def dispatched(session, command):
    """Waits (call it with what) until the parser has dispatched command once more than now."""
    line = "_DispatchCommand: %s\n" % command
    before = session.log_text().count(line)
    ran = lambda: session.log_text().count(line) > before  # noqa: E731
    return lambda what: check(vxi11_raw.eventually(ran, 30, 0.05), what)


def flux(text):
    try:
        return isinstance(text, str) and abs(float(text.split()[0]) - 1.5) < 1e-3
    except (ValueError, IndexError):
        return False


def own(text):
    return isinstance(text, str) and text.startswith(IDN)


def no_410(found):
    return not any(entry.startswith("-410") for entry in found)


def usb_measures(session, usb, what):
    meas = dispatched(session, MEAS)
    usb.send("MEAS:FLUX?")
    meas("%s: the USB host's MEAS:FLUX? runs" % what)


def r1(session, port, usb, what, y_writes):
    y = Link(port)
    usb_measures(session, usb, what)
    z = Link(port)
    error, seconds = attempt(z.write, "*IDN?")
    check(error == 0, "%s: Z's *IDN? is taken (%.2f s)" % (what, seconds))
    time.sleep(0.5)  # the case's own delay
    z.connection.reset()
    usb.request()
    value, seconds = attempt(usb.receive)
    check(flux(value), "%s: the USB host reads its value (%r, %.2f s)" % (what, value, seconds))
    if y_writes:
        check(y.write("*IDN?") == 0, "%s: Y's *IDN? is taken" % what)
        first, again = y.read(), y.read(io_timeout=1000)
        check(own(first) and not own(again), "%s: Y gets its own reply once (%r, then %r)" % (what, first, again))
        found = errors(y)
        check(found == [], "%s: then SYST:ERR? over Y says 0,\"No error\" (%s)" % (what, found))
    else:
        got, seconds = attempt(y.read, 2000)
        check(not own(got), "%s: Y's read gets nothing of Z's (%r, %.2f s)" % (what, got, seconds))
        found = errors(y)
        check(no_410(found), "%s: no -410 over Y (%s)" % (what, found))
        check(own(y.query("*IDN?")), "%s: Y's *IDN? gets its reply" % what)
    found = errors(usb)
    check(no_410(found), "%s: no -410 over USB (%s)" % (what, found))
    y.connection.close()


def r1_trigger(session, port, usb, what):
    z, x = Link(port), Link(port)
    check(z.write("MEAS:FLUX?") == 0, "%s: Z's MEAS:FLUX? is taken" % what)
    z.connection.read_call(z.lid)
    check(blocked(port), "%s: Z's read is in progress" % what)
    trigger = later(x.trigger)
    check(not concurrent.futures.wait([trigger], 0.5).done, "%s: X's device_trigger waits behind it" % what)
    z.connection.reset()
    error, seconds = trigger.result(60)
    check(isinstance(error, int), "%s: X's device_trigger returns %s (%.2f s after it was sent)"
          % (what, error, seconds))
    found = errors(x)
    check(no_410(found), "%s: no -410 over X (%s)" % (what, found))
    check(own(x.query("*IDN?")), "%s: X's *IDN? gets its reply" % what)
    x.connection.close()


def arm(link, what):
    check(link.write(ARM) == 0 and link.query("*OPC?").strip() == "1", "%s: armed, one *TRG sent" % what)


def vxi11_fetch_waits(session, port, what):
    """A link armed, its FETC? runs at the parser and its read is in progress: the link and
    its pending read."""
    link = Link(port)
    arm(link, what)
    fetch = dispatched(session, FETCH)
    check(link.write("FETC?") == 0, "%s: FETC? is taken" % what)
    reading = later(link.read, 30000)
    fetch("%s: FETC? runs" % what)
    check(blocked(port), "%s: its read is in progress" % what)
    return link, reading


def r2(session, port, usb, what):
    w = Link(port)
    arm(w, what)
    fetch = dispatched(session, FETCH)
    check(w.write("FETC?") == 0, "%s: W's FETC? is taken" % what)
    fetch("%s: W's FETC? runs" % what)
    usb.send("*IDN?")  # queued behind the FETC?
    barrier = threading.Barrier(2)
    triggered = later(at_once, barrier, usb.trigger)
    cleared = later(at_once, barrier, lambda: w.connection.clear(w.lid))
    (sent, t_seconds), (error, c_seconds) = triggered.result(60), cleared.result(60)
    check(sent is None and error == 0, "%s: the USB488 TRIGGER is sent (%s, %.2f s), W's device_clear returns %s "
          "(%.2f s)" % (what, sent, t_seconds, error, c_seconds))
    usb.request()
    reply, seconds = attempt(usb.receive)
    check(own(reply), "%s: the USB *IDN? is answered (%r, %.2f s)" % (what, reply, seconds))
    reply = usb.query("SYST:ERR?").strip()
    check(reply == '0,"No error"', "%s: SYST:ERR? over USB: %s" % (what, reply))
    check(own(usb.query("*IDN?")), "%s: the USB host's next *IDN? is answered, no clear needed" % what)
    check(own(w.query("*IDN?")), "%s: W's *IDN? is answered" % what)
    # After the clear the measurement stays armed: with the USB trigger counted once, both
    # triggers are in and FETC:ARR? 2 answers at once; a lost one leaves it waiting, one
    # counted twice leaves a -211 (trigger ignored).
    check(w.write("FETC:ARR? 2") == 0, "%s: FETC:ARR? 2 is taken" % what)
    values = w.read(io_timeout=3000)
    if not all(flux(v) for v in values.split(",")):
        w.connection.clear(w.lid)
        w.write("*TRG")
        print("note: %s: with one more *TRG, FETC:ARR? 2 gives %r" % (what, w.query("FETC:ARR? 2")))
    found = errors(w)
    check(len(values.split(",")) == 2 and all(flux(v) for v in values.split(",")) and found == [],
          "%s: the trigger counted once: FETC:ARR? 2 gives %r, errors %s" % (what, values, found))
    w.connection.close()


def usb_reads_behind_fetch(session, port, usb, what, text, timeout):
    """A VXI-11 FETC? waits (read in progress); the USB host's text and its read behind it:
    the link, its pending read, and the USB host's pending read."""
    v, reading = vxi11_fetch_waits(session, port, what)
    usb.send(text)
    usb.request()
    return v, reading, later(usb.receive, timeout)


def r3(session, port, usb, what):
    v, reading, pending = usb_reads_behind_fetch(session, port, usb, what, "MEAS:FLUX?", 10000)
    time.sleep(0.2)  # the case's own delay
    result, seconds = attempt(usb.dev.reset)
    check(result is None and seconds < 1.0,
          "%s: the bus reset completes within 1 s (%.2f s, %s)" % (what, seconds, result))
    usb.dev.set_configuration()  # as pyvisa-py's open, after its reset
    usb.trigger()
    value, seconds = reading.result(60)
    check(flux(value), "%s: the new session's USB488 TRIGGER completes the FETC? (%r)" % (what, value))
    print("note: %s: the Bulk-IN read pending over the reset got %r after %.2f s" % ((what,) + pending.result(60)))
    check(own(usb.query("*IDN?")), "%s: the USB *IDN? is answered" % what)
    v.connection.close()


def r4_usb(session, port, usb, what):
    v, reading, answer = usb_reads_behind_fetch(session, port, usb, what, "*IDN?", 30000)
    usb.trigger()
    value, seconds = reading.result(60)
    check(flux(value), "%s: the USB488 TRIGGER completes the VXI-11 FETC? (%r, %.2f s)" % (what, value, seconds))
    reply, seconds = answer.result(60)
    check(own(reply), "%s: the USB *IDN? is answered (%r, %.2f s)" % (what, reply, seconds))
    v.connection.close()


def r4_vxi(session, port, usb, what):
    usb.send(ARM)
    check(usb.query("*OPC?").strip() == "1", "%s: the USB host armed, one *TRG sent" % what)
    fetch = dispatched(session, FETCH)
    usb.send("FETC?")
    usb.request()
    answer = later(usb.receive, 30000)
    fetch("%s: the USB FETC? runs" % what)
    a, b = Link(port), Link(port)
    check(a.write("*IDN?") == 0, "%s: A's *IDN? is taken" % what)
    reading = later(a.read, 15000)
    check(blocked(port), "%s: A's read is in progress" % what)
    triggered = later(b.trigger)
    value, seconds = answer.result(60)
    check(flux(value), "%s: B's device_trigger completes the USB FETC? (%r, %.2f s)" % (what, value, seconds))
    reply, seconds = reading.result(60)
    check(own(reply), "%s: A's *IDN? is answered (%r, %.2f s)" % (what, reply, seconds))
    error, seconds = triggered.result(60)
    check(error == 0, "%s: B's device_trigger returns %s (%.2f s)" % (what, error, seconds))
    a.connection.close()
    b.connection.close()


def departed_waiting(session, port, usb, what):
    """Z's query and never a read; X's *IDN? write then waits for the input buffer that Z's
    message holds. Z's connection goes while no procedure of Z's is in progress, and X's write
    holds the turn: X's device_write, the procedure that waits for the device, ends Z's FETC?
    waiting for a bus trigger (else only X's time-out would); Z's MEAS:FLUX? behind the USB
    host's has not begun and runs on, its reply owed to nobody."""
    for behind_usb in (False, True):
        label = "%s, Z's %s" % (what, "MEAS:FLUX? behind the USB host's" if behind_usb else "FETC? waiting")
        if behind_usb:
            usb_measures(session, usb, label)
        z, x = Link(port), Link(port)
        if behind_usb:
            check(z.write("MEAS:FLUX?") == 0, "%s: Z's MEAS:FLUX? is taken" % label)
        else:
            arm(z, label)
            fetch = dispatched(session, FETCH)
            check(z.write("FETC?") == 0, "%s: Z's FETC? is taken" % label)
            fetch("%s: it runs" % label)
        reply = later(x.query, "*IDN?")
        check(blocked(port), "%s: X's *IDN? write waits for the device" % label)
        z.connection.reset()
        text, seconds = reply.result(60)
        check(own(text), "%s: X gets its own reply, not Z's value (%r, %.2f s)" % (label, text, seconds))
        if behind_usb:
            usb.request()
            check(flux(usb.receive()), "%s: the USB host reads its own value" % label)
        check(x.query("*OPC?").strip() == "1", "%s: then *OPC? answers" % label)
        found = errors(x)
        check(no_410(found), "%s: no -410 over X (%s)" % (label, found))
        x.connection.close()


CASES = {"r1-read": (lambda s, p, u, w: r1(s, p, u, w, False), 2500),
         "r1-write": (lambda s, p, u, w: r1(s, p, u, w, True), 2500),
         "r1-trigger": (r1_trigger, 2500), "r2": (r2, 300), "r3": (r3, 2500),
         "r4-usb": (r4_usb, 2500), "r4-vxi": (r4_vxi, 2500), "departed-waiting": (departed_waiting, 2500)}


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    names = sys.argv[3:] or list(CASES)
    if not set(names) <= set(CASES):
        print("unknown case: %s; the cases: %s" % (" ".join(sorted(set(names) - set(CASES))), " ".join(CASES)))
        return 2
    status = 0
    for name in names:
        case, measurement_ms = CASES[name]

        def body(session):
            runner_session.open_session(runner_session.manager()).close()
            port, usb = vxi11_raw.getport(), UsbHost(session)
            for n in range(rounds):
                case(session, port, usb, "%s, round %d" % (name, n + 1))

        print("=== %s" % name, flush=True)
        status |= runner_session.run_with_runner(body, runner, ["--field", "1.5", "--measurement-time",
                                                                str(measurement_ms)])
    return status


if __name__ == "__main__":
    sys.exit(main())
