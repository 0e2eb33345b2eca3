"""usb_cut_write_clear.py [ROUNDS]: raw pyusb through the usbsim backend (KORVEX_USB_SOCKET names
the socket), one session: a long Bulk-OUT write cut by its time-out (1000 ms and 3000 ms), with and
without a *IDN? right after it, then the USBTMC clear (INITIATE_CLEAR, CHECK_CLEAR_STATUS every
10 ms until not PENDING, no Bulk-IN read, CLEAR_FEATURE(ENDPOINT_HALT) on Bulk-OUT as a plain
control request), then *IDN?: answered every round (ROUNDS of each of the four kinds, default 3).
Exits non-zero at the first failure.
"""
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import usbsim  # noqa: E402

usbsim.install()
import usb.core  # noqa: E402

DEV_DEP_MSG_OUT, REQUEST_DEV_DEP_MSG_IN = 1, 2
INITIATE_CLEAR, CHECK_CLEAR_STATUS, SUCCESS, PENDING = 5, 6, 1, 2
BULK_OUT, BULK_IN = 0x02, 0x81

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
dev = usb.core.find()
tag = 0


def check(name, ok, detail=""):
    if not ok:
        print("FAIL: %s %s" % (name, detail))
        sys.exit(1)
    print("ok: %s" % name)


def next_tag():
    global tag
    tag = tag % 255 + 1
    return tag


def message(text, timeout):
    t = next_tag()
    head = struct.pack("<BBBBIBBBB", DEV_DEP_MSG_OUT, t, t ^ 0xFF, 0, len(text), 1, 0, 0, 0)
    dev.write(BULK_OUT, head + text + b"\0" * (-len(text) % 4), timeout=timeout)


def query(text):
    message(text, 5000)
    t = next_tag()
    dev.write(BULK_OUT, struct.pack("<BBBBIBBBB", REQUEST_DEV_DEP_MSG_IN, t, t ^ 0xFF, 0, 4096, 0, 0, 0, 0),
              timeout=5000)
    data = bytes(dev.read(BULK_IN, 4096 + 12, timeout=10000))
    size = struct.unpack_from("<I", data, 4)[0]
    return data[12:12 + size].decode()


def clear():
    status = list(dev.ctrl_transfer(0xA1, INITIATE_CLEAR, 0, 0, 1, timeout=2000))
    if status != [SUCCESS]:
        return status
    deadline = time.monotonic() + 20
    status = list(dev.ctrl_transfer(0xA1, CHECK_CLEAR_STATUS, 0, 0, 2, timeout=2000))
    while status[0] == PENDING and time.monotonic() < deadline:
        time.sleep(0.01)
        status = list(dev.ctrl_transfer(0xA1, CHECK_CLEAR_STATUS, 0, 0, 2, timeout=2000))
    dev.ctrl_transfer(0x02, 1, 0, BULK_OUT, None, timeout=2000)  # CLEAR_FEATURE(ENDPOINT_HALT)
    return status


idn = query(b"*IDN?\n")
check("*IDN? before the cut writes", idn.count(",") == 3, idn)
long_text = b"*CLS;" * 60000 + b"\n"
cuts = 0
for timeout in (1000, 3000):
    for between in (False, True):
        for n in range(rounds):
            what = "%d ms%s, round %d" % (timeout, ", *IDN? between" if between else "", n + 1)
            try:
                message(long_text, timeout)
                cut = False
            except usb.core.USBTimeoutError:
                cut = True
            cuts += cut
            if between:
                check("%s: the *IDN? after the write" % what, query(b"*IDN?\n") == idn)
            status = clear()
            check("%s: the clear ends with SUCCESS" % what, status[0] == SUCCESS, status)
            try:
                reply = query(b"*IDN?\n")
            except usb.core.USBError as e:
                reply = "no reply (%s)" % e
            check("%s (write cut: %s): the *IDN? after the clear is answered" % (what, cut), reply == idn, reply)
print("%d of %d writes cut by their time-out" % (cuts, 4 * rounds))
print("all passed")
