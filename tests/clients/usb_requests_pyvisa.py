"""usb_requests_pyvisa.py [EEPROM_BIN]: the instrument over USB through pyvisa-py and the usbsim
backend (KORVEX_USB_SOCKET names the socket): every standard request, valid and invalid, in the
Address and Configured states, each followed by *IDN? once configured; then what a new pyvisa-py
session finds after the previous one left a message or a reply unfinished (also a complete message
still queued behind a VXI-11 MEAS:FLUX?), the USBTMC clear of a killed client's unread reply, and a
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


def usbtmc_clear():
    """The host's USBTMC clear: INITIATE_CLEAR; CHECK_CLEAR_STATUS until SUCCESS, reading Bulk-IN
    while it says PENDING with bmClear 1; then the Bulk-OUT halt cleared."""
    raw = rm.visalib.sessions[i.session].interface
    check("INITIATE_CLEAR: SUCCESS", list(dev.ctrl_transfer(0xA1, INITIATE_CLEAR, 0, 0, 1, timeout=2000)) == [SUCCESS])
    reads, status, deadline = 0, clear_status(), time.monotonic() + 20
    while status[0] == PENDING and time.monotonic() < deadline:
        if status[1] & 1:
            raw.usb_recv_ep.read(4096, 2000)
            reads += 1
        else:
            time.sleep(0.01)
        status = clear_status()
    check("CHECK_CLEAR_STATUS ends with SUCCESS, bmClear 0 (%s, %d Bulk-IN reads)" % (status, reads), status == [SUCCESS, 0])
    dev.clear_halt(raw.usb_send_ep.bEndpointAddress)
    return reads


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

# A client killed while its read waits for MEAS:FLUX?: its reply is queued on Bulk-IN. The clear
# succeeds only once Bulk-IN holds nothing, so the next query's first read is its own reply.
WAITER = r"""
import sys
sys.path.insert(0, %r)
import usbsim
usbsim.install()
import pyvisa
inst = pyvisa.ResourceManager("@py").open_resource(sys.argv[1])
inst.timeout = 60000
inst.write("MEAS:FLUX?")
print("waiting", flush=True)
inst.read()
""" % os.path.dirname(os.path.abspath(__file__))
waiter = subprocess.Popen([sys.executable, "-c", WAITER, name], stdout=subprocess.PIPE, text=True)
check("the waiting client sent MEAS:FLUX?", waiter.stdout.readline().strip() == "waiting")
deadline = time.monotonic() + 20
while clear_status() != [SPLIT_NOT_IN_PROGRESS, 1] and time.monotonic() < deadline:
    time.sleep(0.01)
waiter.send_signal(signal.SIGKILL)
waiter.wait()
check("the killed client's MEAS:FLUX? has run (a VXI-11 query waited behind it)", vxi.query("*IDN?") == idn)
check("the clear had the host read what the cancelled reply left", usbtmc_clear() >= 1)
check("after the clear, *IDN? answers on the first read", i.query("*IDN?") == idn)
no_error(i, "after the clear")

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
