#!/usr/bin/python3
"""fetch_wait_clear.py [RUNNER [CASE...]]: a FETC? that waits for bus triggers ends with a device clear,
or with the end of the waiting client, over VXI-11 and over USB (pyvisa-py; USB through the
runner's simulated host, tests/clients/usbsim). With TRIG:SOUR BUS, TRIG:COUN 3, INIT and one
*TRG, a FETC? waits for the two missing triggers. After a clear (VXI-11 device_clear, USBTMC
INITIATE_CLEAR) or after the waiting client is killed, *IDN? answers on that link and on a new
one, the measurement is still armed (two more *TRG and FETC:ARR? 3 give three values), and
ABORt still aborts an armed measurement. A MEAS? cut by a clear leaves its measurement
running: *OPC? answers once it has ended, and the settings that follow are taken; an armed
measurement after that is not waited for. Across the interfaces (case cross): the trigger
message of the other interface (USB488 TRIGGER, VXI-11 GET) completes a waiting FETC?, a *TRG
from the other interface waits until the FETC? has ended and then counts, and a device_clear
from another VXI-11 link ends a VXI-11 FETC? whose read has timed out. The trigger message
counts at once also when its interface has a message queued behind the FETC? (*IDN?, *WAI,
ABOR or *RST), which then runs and is answered (case cross-queued). A device_clear from
another VXI-11 link while the waiting read is in progress returns once that read has timed
out, and ends the wait then (case vxi11-other-clear). Over VXI-11 the waiting client is also
killed while another link has a query, a read, a GET or a query under its own device_lock
pending: that operation ends too, a query with its own reply. The cases: vxi11-clear,
vxi11-killed, vxi11-other-clear, usb-clear, usb-killed, vxi11-meas, usb-meas, cross,
cross-queued (default: all; over USB a killed client's
session ends with the bus reset of the next client's open). Runs itself in a network namespace
of its own (tests/net/in-netns.sh); exit status 0 when all pass, 1 at the first failure, 77
when no namespace can be made.
"""
import concurrent.futures
import os
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import runner_session  # noqa: E402

check = runner_session.check
FIELD = 1.5
SUCCESS, PENDING = 1, 2
FETCH_LINE = "_DispatchCommand: FETCh[:SCALar][:FLUX]?\n"
INITIATE_CLEAR, CHECK_CLEAR_STATUS = 5, 6

# The waiting client of the "killed" cases: opens its own session, sends FETC? and reads
# until it is killed.
WAITER = r"""
import sys
sys.path.insert(0, %r)
if sys.argv[1].startswith("USB"):
    import usbsim
    usbsim.install(sys.argv[2])
import pyvisa
inst = pyvisa.ResourceManager("@py").open_resource(sys.argv[1])
inst.timeout = 60000
inst.write("FETC?")
print("waiting", flush=True)
inst.read()
""" % HERE


def errors(inst):
    found = []
    for _ in range(20):
        reply = inst.query("SYST:ERR?").strip()
        if reply.startswith("0,"):
            return found
        found.append(reply)
    return found


def arm(inst):
    """One probe, bus triggers, three measurements initiated and one triggered."""
    errors(inst)
    inst.write("ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 3;:INIT;*TRG")
    check(inst.query("*OPC?").strip() == "1" and errors(inst) == [], "armed, one *TRG sent, no error")


def fetch_times_out(inst):
    inst.timeout = 1000
    inst.write("FETC?")
    try:
        inst.read()
        answered = True
    except Exception:  # pyvisa-py: time-out
        answered = False
    inst.timeout = 60000
    check(not answered, "FETC? waits for the missing triggers (no answer within 1 s)")


def answers_idn(inst, what, timeout=60000):
    inst.timeout = timeout
    check(len(inst.query("*IDN?").split(",")) == 4, "*IDN? answers %s" % what)


def finish(inst, what, left=()):
    """Two more triggers complete the armed measurement: FETC:ARR? 3 gives three values; the
    error queue holds what was left there (left)."""
    inst.write("*TRG")
    inst.write("*TRG")
    values = inst.query("FETC:ARR? 3").strip().split(",")
    check(len(values) == 3 and all(abs(float(v.split()[0]) - FIELD) < 1e-3 for v in values),
          "%s: two more *TRG, FETC:ARR? 3 gives three values (%s)" % (what, values))
    found = errors(inst)
    check(found == list(left), "%s: errors queued: %s" % (what, found))


def abort_still_aborts(inst, clear, what):
    arm(inst)
    fetch_times_out(inst)
    clear(inst)
    inst.write("ABOR")
    inst.write("INIT")  # refused while the earlier measurement were still armed
    inst.write("ABOR")
    done, found = inst.query("*OPC?").strip(), errors(inst)
    check(done == "1" and found == [], "%s: ABOR aborts after the clear (%s, %s)" % (what, done, found))


def case_clear(open_link, clear, what):
    inst = open_link()
    arm(inst)
    fetch_times_out(inst)
    started = time.monotonic()
    clear(inst)
    answers_idn(inst, "on the cleared link (%.2f s after the clear)" % (time.monotonic() - started))
    other = open_link()
    answers_idn(other, "on a new link")
    finish(inst, what)
    abort_still_aborts(inst, clear, what)
    other.close()
    inst.close()


def case_measure_cleared(open_link, clear, what):
    """A MEAS? cut by a clear at several points of its run: once *OPC? has answered, the
    settings are taken (no -221) and read back, and ROUT:PROB:SCAN? names the probe. Then an
    armed measurement: after a clear *OPC? answers at once, and the triggers complete it."""
    inst = open_link()
    errors(inst)
    for points, delay in ((16, 0.05), (24, 0.3), (32, 0.8)):
        inst.write("MEAS:FLUX?")
        time.sleep(delay)  # where the clear cuts the MEAS?, not a wait for an event
        started = time.monotonic()
        clear(inst)
        check(inst.query("*OPC?").strip() == "1",
              "%s %.2f s into MEAS?: *OPC? answers (%.2f s)" % (what, delay, time.monotonic() - started))
        for setting in ("ROUT:CLOS (@1)", "CONF:POIN %d" % points, "TRIG:SOUR IMM"):
            inst.write(setting)
        found = errors(inst)
        check(found == [], "%s %.2f s into MEAS?: the settings are taken (%s)" % (what, delay, found))
        stored = [inst.query(q).strip() for q in ("ROUT:CLOS:STAT?", "CONF:POIN?", "TRIG:SOUR?")]
        check(stored == ["(@1)", str(points), "IMMediate"], "%s: read back %s" % (what, stored))
        scan = inst.query("ROUT:PROB:SCAN?").strip()
        check(scan != "", "%s: ROUT:PROB:SCAN? names the probe (%s)" % (what, scan))
    arm(inst)
    fetch_times_out(inst)
    clear(inst)
    check(inst.query("*OPC?").strip() == "1", "%s: *OPC? answers while INIT waits for triggers" % what)
    finish(inst, what)
    inst.close()


def poll_until_blocked(other, done=lambda: False):
    """Serial polls on other until one times out behind another link's read in progress."""
    other.timeout = 1000
    deadline = time.monotonic() + 30
    try:
        while not done() and time.monotonic() < deadline:
            other.read_stb()
        return False
    except Exception:  # pyvisa-py: time-out
        return True
    finally:
        other.timeout = 60000


# What another VXI-11 link has pending when the waiting client is killed (vxi11-killed), and
# the errors that leaves: the dead link's end still ends its FETC? without failing that
# operation: a query gets its own reply; a read with nothing of its own to read times out by
# its own 10 s. A GET interrupts the FETC? query and may return before the kill (the last
# field: whether the operation waits until then).
OTHER_PENDING = (("nothing", None, [], False),
                 ("a query", lambda other: own_idn(other.query("*IDN?")), [], True),
                 ("a read", lambda other: (setattr(other, "timeout", 10000), other.read()), [], True),
                 # The killed client's query is owed to nobody: its interruption is no error.
                 ("a GET", lambda other: other.assert_trigger(), [], False),
                 ("a query under its own device_lock",
                  lambda other: (other.lock_excl(), own_idn(other.query("*IDN?"))), [], True))


def own_idn(reply):
    check(reply.startswith("Korvex Instruments,"), "another link's query gets its own reply (%r)" % reply)


BACKGROUND = concurrent.futures.ThreadPoolExecutor(2)


def case_killed(open_link, resource, socket_path, what, pending=OTHER_PENDING[:1]):
    for name, call, left, waits in pending:
        inst = open_link()
        arm(inst)
        if socket_path:  # one USB client process at a time: this one lets the waiter have it
            inst.close()
        waiter = subprocess.Popen([sys.executable, "-c", WAITER, resource, socket_path or ""],
                                  stdout=subprocess.PIPE, text=True)
        other = open_link() if call else None
        try:
            check(waiter.stdout.readline().strip() == "waiting", "%s: the waiting client sent FETC?" % what)
            # Its read first: a lock taken before it would fail that read at once.
            check(not other or poll_until_blocked(other), "%s: its read is in progress" % what)
            pending_call = BACKGROUND.submit(call, other) if other else None
            time.sleep(1.0)
            check(waiter.poll() is None, "%s: its FETC? is still waiting after 1 s" % what)
            if waits:
                check(not pending_call.done(), "%s: another link's %s is pending" % (what, name))
        finally:
            waiter.send_signal(signal.SIGKILL)
            waiter.wait()
        if other:
            check(concurrent.futures.wait([pending_call], 20).done, "%s: then it has ended" % name)
            if name != "a read":
                pending_call.result()
            other.close()
        if not socket_path:
            inst.close()
        again = open_link()
        answers_idn(again, "on a new link after the waiting client was killed (%s pending)" % name, 10000)
        finish(again, "%s, %s pending" % (what, name), left)
        again.close()


def case_other_clear(open_link):
    """A device_clear from another link while the waiting client's read is in progress waits
    behind that read until its io timeout, then ends the wait."""
    inst, other = open_link(), open_link()
    arm(inst)
    inst.write("FETC?")
    inst.timeout = 5000
    started = time.monotonic()
    reader = BACKGROUND.submit(inst.read)
    check(poll_until_blocked(other, reader.done) and not reader.done(),
          "a serial poll of another link waits behind the read in progress")
    other.clear()
    cleared = time.monotonic() - started
    check(reader.exception(60) is not None and cleared >= 4.9,
          "the other link's device_clear returns only after the read timed out (%.2f s)" % cleared)
    inst.timeout = 60000
    answers_idn(other, "on the other link: its clear ended the wait")
    finish(inst, "device_clear from another link")
    other.close()
    inst.close()


def case_cross(open_vxi11, open_usb):
    def arm_two(inst):
        errors(inst)
        inst.write("ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 2;:INIT;*TRG")
        check(inst.query("*OPC?").strip() == "1" and errors(inst) == [], "armed for two triggers, one sent")
        fetch_times_out(inst)

    vxi, usb, other = open_vxi11(), open_usb(), open_vxi11()
    for waiter, trigger, what in ((vxi, lambda: usb_trigger(usb), "a USB488 TRIGGER"),
                                  (usb, other.assert_trigger, "a VXI-11 GET")):
        arm_two(waiter)
        trigger()
        value = waiter.read().strip()
        check(abs(float(value.split()[0]) - FIELD) < 1e-3, "%s completes the other interface's FETC? (%s)" % (what, value))
    arm_two(vxi)
    usb.write("*TRG")
    vxi.timeout = 1000
    try:
        answer = vxi.read()
    except Exception:  # pyvisa-py: time-out
        answer = None
    vxi.timeout = 60000
    check(answer is None, "a USB *TRG does not reach the VXI-11 FETC? (no answer within 1 s)")
    vxi11_clear(vxi)
    values = vxi.query("FETC:ARR? 2").strip().split(",")
    check(len(values) == 2, "a USB *TRG waits until the VXI-11 FETC? has ended, then counts (%s)" % values)
    arm_two(vxi)
    other.clear()
    answers_idn(other, "on another VXI-11 link after its device_clear (it ended the FETC?)")
    vxi.write("ABOR")
    check(vxi.query("*OPC?").strip() == "1", "ABOR ends the armed measurement")
    errors(vxi)
    for inst in (other, usb, vxi):
        inst.close()


def case_cross_queued(open_vxi11, open_usb, session):
    """The FETC? of one interface waits (read in progress), the other queues a message and
    sends its trigger message: the FETC? answers, the message runs (no error; *IDN? answered),
    both interfaces answer *IDN? (after *RST on new sessions). Both directions."""
    vxi, usb, other = open_vxi11(), open_usb(), open_vxi11()
    for queued in ("*IDN?", "*WAI", "ABOR", "*RST"):
        for fetch_over_usb in (True, False):  # sessions anew after a *RST
            waiter, sender = (usb, vxi) if fetch_over_usb else (vxi, usb)
            trigger = other.assert_trigger if fetch_over_usb else lambda: usb_trigger(usb)
            what = "FETC? over %s, %s queued" % ("USB" if waiter is usb else "VXI-11", queued)
            waiter.write("ABOR;*CLS;:ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 2;:INIT;*TRG")
            check(waiter.query("*OPC?").strip() == "1", "%s: armed, one trigger sent" % what)
            fetches = session.log_text().count(FETCH_LINE)
            waiter.write("FETC?")
            reading = BACKGROUND.submit(waiter.read)
            # The FETC? runs before the message is sent, so that it runs after the FETC?.
            retried(lambda: check(session.log_text().count(FETCH_LINE) > fetches, "FETC? runs"), 30)
            sender.write(queued)
            trigger()
            concurrent.futures.wait([reading], 30)
            value = reading.result().strip() if reading.done() and not reading.exception() else "none"
            check(value.endswith(" T") and abs(float(value.split()[0]) - FIELD) < 1e-3,
                  "%s: the trigger completes the FETC? (%s)" % (what, value))
            if queued == "*RST":
                for inst in (other, usb, vxi):
                    BACKGROUND.submit(inst.close).exception(30)  # the restart ended them
                vxi, other = runner_session.open_session(runner_session.manager()), open_vxi11()
                vxi.timeout = 60000
                usb = retried(open_usb, 30)
            elif queued == "*IDN?":
                check(len(sender.read().split(",")) == 4, "%s: then it is answered" % what)
            found = [errors(inst) for inst in (waiter, sender)] if queued != "*RST" else [[], []]
            check(found == [[], []], "%s: no errors (%s)" % (what, found))
            fresh = open_vxi11()
            answers_idn(fresh, "on a new VXI-11 link (%s)" % what, 10000)
            fresh.close()
            answers_idn(usb, "on USB (%s)" % what, 10000)
    for inst in (other, usb, vxi):
        inst.close()


def retried(call, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            return call()
        except Exception:  # noqa: BLE001 - not there yet
            if time.monotonic() > deadline:
                raise
            time.sleep(0.25)


def usb_trigger(inst):
    """A USB488 TRIGGER message (bTag 0x5A) on the session's Bulk-OUT endpoint."""
    raw = inst.visalib.sessions[inst.session].interface
    raw.usb_send_ep.write(struct.pack("<BBBB8x", 128, 0x5A, 0x5A ^ 0xFF, 0), timeout=30000)


def vxi11_clear(inst):
    inst.clear()


def usb_clear(inst):
    """INITIATE_CLEAR, CHECK_CLEAR_STATUS until SUCCESS (reading Bulk-IN while it answers PENDING
    with bmClear 1), CLEAR_FEATURE of the bulk-OUT endpoint."""
    raw = inst.visalib.sessions[inst.session].interface
    dev = raw.usb_dev

    def request(code, length):
        return list(dev.ctrl_transfer(0xA1, code, 0, 0, length, timeout=30000))

    check(request(INITIATE_CLEAR, 1) == [SUCCESS], "INITIATE_CLEAR: SUCCESS")
    deadline = time.monotonic() + 30
    status = request(CHECK_CLEAR_STATUS, 2)
    while status[0] == PENDING and time.monotonic() < deadline:
        if status[1] & 1:
            raw.usb_recv_ep.read(4096, 2000)
        else:
            time.sleep(0.01)
        status = request(CHECK_CLEAR_STATUS, 2)
    check(status[0] == SUCCESS, "CHECK_CLEAR_STATUS ends with SUCCESS (%s)" % status)
    dev.clear_halt(raw.usb_send_ep.bEndpointAddress)


def main():
    runner_session.in_namespace_or_reexec()

    def checks(session):
        runner_session.open_session(runner_session.manager()).close()
        manager, usb = runner_session.usb_resource(session)
        socket_path = runner_session.usb_socket(session)

        def open_vxi11():
            inst = manager.open_resource(runner_session.RESOURCE)
            inst.timeout = 60000
            inst.read_termination = inst.write_termination = "\n"
            return inst

        def open_usb():
            inst = manager.open_resource(usb)
            inst.timeout = 60000
            # pyusb's own 1-s time-out for writes: a first ROUT:CLOS outlasts it
            manager.visalib.sessions[inst.session].interface.usb_dev.default_timeout = 60000
            inst.read_termination = inst.write_termination = "\n"
            return inst

        cases = {
            "vxi11-clear": lambda: case_clear(open_vxi11, vxi11_clear, "VXI-11 device_clear"),
            "vxi11-killed": lambda: case_killed(open_vxi11, runner_session.RESOURCE, None,
                                                "VXI-11 client killed", OTHER_PENDING),
            "vxi11-other-clear": lambda: case_other_clear(open_vxi11),
            "usb-clear": lambda: case_clear(open_usb, usb_clear, "USBTMC INITIATE_CLEAR"),
            "usb-killed": lambda: case_killed(open_usb, usb, socket_path, "USB client killed"),
            "vxi11-meas": lambda: case_measure_cleared(open_vxi11, vxi11_clear, "VXI-11 device_clear"),
            "usb-meas": lambda: case_measure_cleared(open_usb, usb_clear, "USBTMC INITIATE_CLEAR"),
            "cross": lambda: case_cross(open_vxi11, open_usb),
            "cross-queued": lambda: case_cross_queued(open_vxi11, open_usb, session),
        }
        for name in sys.argv[2:] or list(cases):
            cases[name]()

    return runner_session.run_with_runner(checks, sys.argv[1] if len(sys.argv) > 1 else None,
                                          ["--field", str(FIELD)])


if __name__ == "__main__":
    sys.exit(main())
