"""usb_requests_pyvisa.py [EEPROM_BIN]: the instrument over USB through pyvisa-py and the usbsim
backend (KORVEX_USB_SOCKET names the socket): every standard request, valid and invalid, in the
Address and Configured states, each followed by *IDN? once configured; then what a new pyvisa-py
session finds after the previous one left a message or a reply unfinished (also a complete message
still queued behind a VXI-11 MEAS:FLUX?), the recovery of a killed client's unread reply by the
request sequences of several host libraries, a message without its alignment bytes, and a
write cut by its deadline. Exits non-zero at the first failure.
"""
import errno
import os
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import usbsim  # noqa: E402

usbsim.install()
import pyvisa  # noqa: E402
import usb.core  # noqa: E402
import usb.util  # noqa: E402

DEV_DEP_MSG_OUT = 1
# The simulated host owns addressing, as Linux usbfs does: SET_ADDRESS from a client is refused
# there (-22) and never reaches the device (the C++ table test covers the device's answers).
OK, STALL, REFUSED = "ok", "stall", "refused"

# (bmRequestType, bRequest, wValue, wIndex, wLength, in the Address state, in the Configured state)
REQUESTS = [
    (0x80, 0, 0, 0, 2, OK, OK), (0x81, 0, 0, 0, 2, OK, OK), (0x82, 0, 0, 0x81, 2, STALL, OK),
    (0x82, 0, 0, 0x05, 2, STALL, STALL), (0x80, 0, 1, 0, 2, STALL, STALL), (0x80, 0, 0, 0, 1, STALL, STALL),
    (0x02, 1, 0, 0x02, 0, STALL, OK), (0x02, 1, 0, 0x00, 0, STALL, STALL), (0x02, 1, 1, 0x81, 0, STALL, STALL),
    (0x00, 1, 1, 0, 0, STALL, STALL), (0x02, 3, 0, 0x81, 0, STALL, OK), (0x02, 3, 0, 0x80, 0, STALL, STALL),
    (0x00, 5, 1, 0, 0, REFUSED, REFUSED), (0x00, 5, 128, 0, 0, REFUSED, REFUSED),
    (0x00, 5, 1, 1, 0, REFUSED, REFUSED),
    (0x80, 6, 0x0100, 0, 18, OK, OK), (0x80, 6, 0x0100, 0, 1, OK, OK), (0x80, 6, 0x0200, 0, 0xFFFF, OK, OK),
    (0x80, 6, 0x0301, 0x0409, 255, OK, OK), (0x80, 6, 0x030E, 0x0409, 255, STALL, STALL),
    (0x80, 6, 0x0201, 0, 9, STALL, STALL), (0x80, 6, 0x0600, 0, 10, STALL, STALL),
    (0x81, 6, 0x0100, 0, 18, STALL, STALL),
    (0x80, 8, 0, 0, 1, OK, OK), (0x80, 8, 1, 0, 1, STALL, STALL), (0x80, 8, 0, 0, 2, STALL, STALL),
    (0x00, 9, 1, 0, 0, OK, OK), (0x00, 9, 2, 0, 0, STALL, STALL), (0x00, 9, 1, 1, 0, STALL, STALL),
    (0x00, 9, 1, 0, 1, STALL, STALL),
    (0x81, 10, 0, 0, 1, STALL, OK), (0x81, 10, 0, 1, 1, STALL, STALL), (0x81, 10, 0, 0, 2, STALL, STALL),
    (0x01, 11, 0, 0, 0, STALL, OK), (0x01, 11, 1, 0, 0, STALL, STALL), (0x01, 11, 0, 1, 0, STALL, STALL),
    (0x01, 11, 0, 0, 1, STALL, STALL),
    (0x00, 7, 0x0100, 0, 18, STALL, STALL), (0x82, 12, 0, 0x81, 2, STALL, STALL), (0x80, 255, 0, 0, 0, STALL, STALL),
]


def check(name, ok, detail=""):
    if not ok:
        print("FAIL: %s %s" % (name, detail))
        sys.exit(1)
    print("ok: %s" % name)


def drain(i):
    for _ in range(50):
        if i.query("SYST:ERR?").strip().startswith("0,"):
            return


rm = pyvisa.ResourceManager("@py")
name = rm.list_resources("USB?*INSTR")[0]


def open_session():
    s = rm.open_resource(name)
    s.timeout = 5000
    return s


def pyusb_of(session):
    raw = rm.visalib.sessions[session.session].interface
    return raw.usb_dev, raw.usb_send_ep


i = open_session()
idn = i.query("*IDN?")
dev, bulk_out = pyusb_of(i)


def request(rt, req, value, index, length):
    data = length if rt & 0x80 else (bytes(length) if length else None)
    try:
        dev.ctrl_transfer(rt, req, value, index, data, timeout=2000)
        return OK
    except usb.core.USBError as e:
        if e.errno == errno.EPIPE:
            return STALL
        return REFUSED if e.errno == errno.EINVAL else "error %s" % e


def set_configuration(value):
    dev.ctrl_transfer(0x00, 9, value, 0, None, timeout=2000)


for state, column in (("Address", 5), ("Configured", 6)):
    for case in REQUESTS:
        set_configuration(1 if state == "Configured" else 0)
        answer = request(*case[:5])
        what = "%s {0x%02X, %d, 0x%X, 0x%X, %d}" % ((state,) + case[:5])
        if answer != case[column]:
            check(what + ": " + case[column], False, answer)
        if not (state == "Configured" and answer == STALL):
            set_configuration(1)
        if i.query("*IDN?") != idn:
            check(what + ": then *IDN?", False)
check("%d standard requests in the Address and Configured states, each then *IDN?" % (2 * len(REQUESTS)), True)
drain(i)


def header(tag, size, eom):
    return struct.pack("<BBBBIBBBB", DEV_DEP_MSG_OUT, tag, tag ^ 0xFF, 0, size, 1 if eom else 0, 0, 0, 0)


# What one session leaves; a new session's first query or read must not meet it.
leftovers = (
    ("40 bytes of a 100-byte message", lambda: bulk_out.write(header(0x31, 100, True) + b"*" * 40, timeout=2000)),
    ("*STB? without EOM", lambda: bulk_out.write(header(0x32, 5, False) + b"*STB?\0\0\0", timeout=2000)),
    ("*STB? not read", lambda: i.write("*STB?")),
)
for what, leave in leftovers:
    leave()
    time.sleep(0.3)
    i.close()
    i = open_session()
    dev, bulk_out = pyusb_of(i)
    if what.endswith("not read"):
        i.timeout = 1000
        try:
            check("%s: a new session's first read gets nothing" % what, False, i.read())
        except pyvisa.errors.VisaIOError as e:
            check("%s: a new session's first read times out" % what,
                  e.error_code == pyvisa.constants.StatusCode.error_timeout, e)
        i.timeout = 5000
    check("%s: a new session's *IDN? answers its own query" % what, i.query("*IDN?") == idn)
    drain(i)

VXI11 = "TCPIP::127.0.0.1::inst0::INSTR"
INITIATE_CLEAR, CHECK_CLEAR_STATUS, SUCCESS, PENDING, SPLIT_NOT_IN_PROGRESS = 5, 6, 1, 2, 0x82


def clear_status():
    return list(dev.ctrl_transfer(0xA1, CHECK_CLEAR_STATUS, 0, 0, 2, timeout=2000))


def read_bulk_in(timeout_ms):
    raw = rm.visalib.sessions[i.session].interface
    return raw.usb_recv_ep.read(4096, timeout_ms)


def linux_clear():
    """The Linux driver's clear: INITIATE_CLEAR; CHECK_CLEAR_STATUS until not PENDING, reading
    Bulk-IN up to a short packet (5-s reads, a time-out fails it) while bmClear is 1."""
    check("INITIATE_CLEAR: SUCCESS", list(dev.ctrl_transfer(0xA1, INITIATE_CLEAR, 0, 0, 1, timeout=2000)) == [SUCCESS])
    status, deadline = clear_status(), time.monotonic() + 20
    while status[0] == PENDING and time.monotonic() < deadline:
        if status[1] & 1:
            while len(read_bulk_in(5000)) == 64:
                pass
        else:
            time.sleep(0.05)
        status = clear_status()
    return status


def python_usbtmc_open():
    """python-usbtmc's open(): INITIATE_CLEAR; CHECK_CLEAR_STATUS every 0.1 s while PENDING,
    never reading Bulk-IN (50 polls here, where it has no limit); the Bulk-OUT halt cleared;
    GET_CAPABILITIES."""
    check("INITIATE_CLEAR: SUCCESS", list(dev.ctrl_transfer(0xA1, INITIATE_CLEAR, 0, 0, 1, timeout=2000)) == [SUCCESS])
    status = clear_status()
    for _ in range(50):
        if status[0] != PENDING:
            break
        time.sleep(0.1)
        status = clear_status()
    return status


def clear_given_up_then_set_configuration():
    """A clear another client gave up on after one CHECK, then pyusb's set_configuration()."""
    dev.ctrl_transfer(0xA1, INITIATE_CLEAR, 0, 0, 1, timeout=2000)
    clear_status()
    dev.set_configuration()
    return [SUCCESS, 0]


def no_error(session, what):
    reply = session.query("SYST:ERR?").strip()
    check("%s: SYST:ERR? gives no error" % what, reply.startswith("0,"), reply)


# A complete *STB? still queued at the parser behind a VXI-11 MEAS:FLUX? when a new session opens
# (bus reset, SET_CONFIGURATION): the reset drops it as a device clear would, so the new session's
# query is answered and no error of the old one (-410) reaches it.
vxi = rm.open_resource(VXI11)
vxi.timeout = 20000
vxi.write("MEAS:FLUX?")
bulk_out.write(header(0x41, 6, True) + b"*STB?\n\0\0", timeout=2000)
i.close()
i = open_session()
dev, bulk_out = pyusb_of(i)
i.timeout = 20000
check("*STB? queued behind MEAS:FLUX?: a new session's *IDN? answers its own query", i.query("*IDN?") == idn)
no_error(i, "*STB? queued behind MEAS:FLUX?")
check("the VXI-11 MEAS:FLUX? is answered", vxi.read().strip().endswith("T"))

# A client killed while its read waits for MEAS:FLUX?: its reply is queued on Bulk-IN. Every kind of
# host recovers: the clear empties Bulk-IN itself, and so does a configuration change, so the next
# query's first read is its own reply. One process at a time has the interface: this one releases
# it for the waiting client, which says "waiting" once its reply is queued, and claims it again at
# its next class request.
WAITER = r"""
import sys, threading, time
sys.path.insert(0, %r)
import usbsim
usbsim.install()
import pyvisa
inst = pyvisa.ResourceManager("@py").open_resource(sys.argv[1])
inst.timeout = 60000
dev = inst.visalib.sessions[inst.session].interface.usb_dev
inst.write("MEAS:FLUX?")


def queued():  # CHECK_CLEAR_STATUS: no clear in progress, bmClear 1
    deadline = time.monotonic() + 20
    while list(dev.ctrl_transfer(0xA1, 6, 0, 0, 2, timeout=2000)) != [0x82, 1] and time.monotonic() < deadline:
        time.sleep(0.01)
    print("waiting", flush=True)


threading.Thread(target=queued, daemon=True).start()
inst.read()
""" % os.path.dirname(os.path.abspath(__file__))
for what, recover in (("the Linux driver's clear", linux_clear),
                      ("python-usbtmc's open()", python_usbtmc_open),
                      ("set_configuration() after a clear given up on", clear_given_up_then_set_configuration)):
    usb.util.release_interface(dev, 0)
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, name], stdout=subprocess.PIPE, text=True)
    check("the waiting client's MEAS:FLUX? reply is queued", waiter.stdout.readline().strip() == "waiting")
    waiter.send_signal(signal.SIGKILL)
    waiter.wait()
    check("the killed client's MEAS:FLUX? has run (a VXI-11 query waited behind it)", vxi.query("*IDN?") == idn)
    started = time.monotonic()
    status = recover()
    check("%s ends with SUCCESS, bmClear 0" % what, status == [SUCCESS, 0], status)
    if recover is not clear_given_up_then_set_configuration:
        dev.clear_halt(bulk_out.bEndpointAddress)
    if recover is python_usbtmc_open:
        check("GET_CAPABILITIES: SUCCESS", dev.ctrl_transfer(0xA1, 7, 0, 0, 24, timeout=2000)[0] == SUCCESS)
    check("after %s, *IDN? answers on the first read (%.2f s)" % (what, time.monotonic() - started),
          i.query("*IDN?") == idn)
    no_error(i, "after " + what)

# The Linux driver's abort of a reply queued and not read: one read of up to 300 ms after
# INITIATE_ABORT_BULK_IN, then CHECK_ABORT_BULK_IN_STATUS, reading again while bmAbortBulkIn is 1.
REQUEST_DEV_DEP_MSG_IN, INITIATE_ABORT_BULK_IN, CHECK_ABORT_BULK_IN_STATUS = 2, 3, 4
bulk_in = rm.visalib.sessions[i.session].interface.usb_recv_ep
bulk_out.write(header(0x44, 6, True) + b"*IDN?\n\0\0", timeout=2000)
bulk_out.write(struct.pack("<BBBBIBBBB", REQUEST_DEV_DEP_MSG_IN, 0x45, 0xBA, 0, 4096, 0, 0, 0, 0), timeout=2000)
time.sleep(0.3)
reply = list(dev.ctrl_transfer(0xA2, INITIATE_ABORT_BULK_IN, 0x45, bulk_in.bEndpointAddress, 2, timeout=2000))
check("INITIATE_ABORT_BULK_IN of the queued reply: SUCCESS", reply == [SUCCESS, 0x45], reply)
try:
    bulk_in.read(4096, 300)
except usb.core.USBTimeoutError:
    pass
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    reply = list(dev.ctrl_transfer(0xA2, CHECK_ABORT_BULK_IN_STATUS, 0, bulk_in.bEndpointAddress, 8, timeout=2000))
    if reply[0] != PENDING:
        break
    if reply[1] & 1:
        bulk_in.read(4096, 5000)
check("CHECK_ABORT_BULK_IN_STATUS ends with SUCCESS, bmAbortBulkIn 0", reply[:2] == [SUCCESS, 0], reply)
check("after the Linux driver's abort, *IDN? answers on the first read", i.query("*IDN?") == idn)
drain(i)  # the reply the host dropped unread was interrupted (-410)

# A host that leaves out the alignment bytes: the 25-byte transfer runs at once.
count = vxi.query("AVER:COUN?").strip()
bulk_out.write(header(0x46, 13, True) + b"AVER:COUN 13\n", timeout=2000)
# It runs with nothing more from the host: VXI-11 comes to read the new count (not only once a next
# USB transfer has come).
deadline, got = time.monotonic() + 20, count
while got != "13" and time.monotonic() < deadline:
    got = vxi.query("AVER:COUN?").strip()
check("a message without its alignment bytes runs with nothing after it", got == "13", got)
vxi.write("AVER:COUN " + count)

# A write the host gives up on (its deadline cuts it): the next query is still answered.
text = b"*CLS;" * 60000 + b"\n"
try:
    bulk_out.write(header(0x42, len(text), True) + text + b"\0" * (-len(text) % 4), timeout=200)
    cut = False
except usb.core.USBTimeoutError:
    cut = True
check("a write cut by its deadline (cut: %s): the next *IDN? answers" % cut, i.query("*IDN?") == idn)
no_error(i, "after a write cut by its deadline")
# Cut before its last packet: 3 bytes of the message (and 1 alignment byte) are never sent, so
# the next query's first packet is longer than what the message still owes.
bulk_out.write(header(0x43, 119, True) + b"p" * 116, timeout=2000)
check("a message cut before its last packet: the next *IDN? answers", i.query("*IDN?") == idn)
no_error(i, "after a message cut before its last packet")
vxi.close()
i.close()
print("all passed")
