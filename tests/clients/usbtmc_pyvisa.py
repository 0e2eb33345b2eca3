"""usbtmc_pyvisa.py EEPROM_BIN: the instrument over USB through pyvisa-py and the usbsim backend
(KORVEX_USB_SOCKET names the socket), next to its VXI-11 session. Exits non-zero at the first
failure. The class requests pyvisa-py does not offer go through the pyusb objects of its own
session.
"""
import os
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import usbsim  # noqa: E402

usbsim.install()
import pyvisa  # noqa: E402
import usb.core  # noqa: E402
import usb.util  # noqa: E402

VXI11 = "TCPIP::127.0.0.1::inst0::INSTR"
SUCCESS, PENDING, FAILED = 1, 2, 0x80
INITIATE_ABORT_BULK_OUT, CHECK_ABORT_BULK_OUT_STATUS = 1, 2
INITIATE_ABORT_BULK_IN, CHECK_ABORT_BULK_IN_STATUS = 3, 4
INITIATE_CLEAR, CHECK_CLEAR_STATUS, GET_CAPABILITIES, INDICATOR_PULSE = 5, 6, 7, 64
READ_STATUS_BYTE, REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT = 128, 160, 161, 162
DEV_DEP_MSG_OUT, REQUEST_DEV_DEP_MSG_IN = 1, 2
# Generous deadlines (ms, s) for what is expected to happen: the machine may be busy.
T_MS, WAIT_S = 30000, 30


def check(name, ok, detail=""):
    if not ok:
        print("FAIL: %s %s" % (name, detail))
        sys.exit(1)
    print("ok: %s" % name)


def drain(i):
    """Empties the error queue; the last error read before it was empty."""
    for _ in range(50):
        if i.query("SYST:ERR?").strip().startswith("0,"):
            return


def first_error(i):
    return i.query("SYST:ERR?").strip().split(",")[0]


eeprom = open(sys.argv[1], "rb").read()
vid, pid = struct.unpack_from("<HH", eeprom, 124)
serial = "%07d" % struct.unpack_from("<I", eeprom, 76)[0]
rm = pyvisa.ResourceManager("@py")


def usb_entries(rm):
    return [r for r in rm.list_resources("USB?*INSTR")]


# ---- the listing and the two names ----
entries = usb_entries(rm)
check("one USB entry", len(entries) == 1, entries)
parts = entries[0].split("::")
check("listed vid, pid and serial match the EEPROM",
      (int(parts[1], 0), int(parts[2], 0), parts[3]) == (vid, pid, serial), (entries, vid, pid, serial))
short_name = "USB0::0x%04X::0x%04X::%s::INSTR" % (vid, pid, serial)
vxi = rm.open_resource(VXI11)
vxi.timeout = T_MS
idn = vxi.query("*IDN?")
for name in (entries[0], short_name):
    s = rm.open_resource(name)
    s.timeout = T_MS
    check("*IDN? over %s as over VXI-11" % name, s.query("*IDN?") == idn, idn)
    s.close()

i = rm.open_resource(short_name)
i.timeout = T_MS
i.chunk_size = 16
check("*IDN? with chunk_size 16", i.query("*IDN?") == idn)
i.chunk_size = 20 * 1024
long_message = "*ESE 0;" * 714 + "*ESE?"
check("5000 bytes of *ESE 0; then *ESE?", len(long_message) >= 5000 and i.query(long_message).strip() == "0")

# ---- a read with nothing to read (after a command without a reply: the exchange is idle) ----
drain(i)
i.write("*ESE 0")
i.timeout = 1000
start = time.time()
try:
    i.read()
    check("read() without a query times out", False, "it answered")
except pyvisa.errors.VisaIOError as e:
    elapsed = time.time() - start
    check("read() without a query: VI_ERROR_TMO, not a wait much past the time-out",
          e.error_code == pyvisa.constants.StatusCode.error_timeout and elapsed < 15.0, (e, elapsed))
i.timeout = T_MS
check("then -420", first_error(i) == "-420")
check("queries still work", i.query("*IDN?") == idn)

# ---- switching USB off and on ----
drain(i)
i.write("SYST:COMM:USBT OFF")
check("SYST:COMM:USBT OFF over USB: -221", first_error(i) == "-221")
i.close()
# Answered once the module has stopped (a name-service start just after boot holds the
# communication settings up to 5 s).
vxi.query("SYST:COMM:USBT OFF;*OPC?")
end = time.time() + WAIT_S
while usb_entries(rm) and time.time() < end:
    time.sleep(0.05)
check("switched off over VXI-11: the entry is gone", not usb_entries(rm), usb_entries(rm))
vxi.query("SYST:COMM:USBT ON;*OPC?")
end = time.time() + WAIT_S
while not usb_entries(rm) and time.time() < end:
    time.sleep(0.05)
check("ON brings it back", len(usb_entries(rm)) == 1)
i = rm.open_resource(short_name)
i.timeout = T_MS
check("a new session answers", i.query("*IDN?") == idn)

# ---- both interfaces at once ----
answers = {"usb": 0, "vxi": 0}


def loop(key, session):
    for _ in range(200):
        if session.query("*IDN?") == idn:
            answers[key] += 1


threads = [threading.Thread(target=loop, args=("usb", i)), threading.Thread(target=loop, args=("vxi", vxi))]
for t in threads:
    t.start()
for t in threads:
    t.join()
check("200 *IDN? over USB and 200 over VXI-11 at once", answers == {"usb": 200, "vxi": 200}, answers)

# ---- class requests through the session's pyusb objects ----
raw = rm.visalib.sessions[i.session].interface
dev, intr_in = raw.usb_dev, raw.usb_intr_in
bulk_in, bulk_out = raw.usb_recv_ep, raw.usb_send_ep
ep_in, ep_out = bulk_in.bEndpointAddress, bulk_out.bEndpointAddress


def interface_request(request, value, length):
    return list(dev.ctrl_transfer(0xA1, request, value, 0, length, timeout=T_MS))


def endpoint_request(request, value, endpoint, length):
    return list(dev.ctrl_transfer(0xA2, request, value, endpoint, length, timeout=T_MS))


def interrupt():
    return list(intr_in.read(2, timeout=T_MS))


capabilities = interface_request(GET_CAPABILITIES, 0, 0x18)
check("GET_CAPABILITIES gives 24 bytes", len(capabilities) == 24 and capabilities[0] == SUCCESS, capabilities)

stb = int(i.query("*STB?"))
check("READ_STATUS_BYTE(2) gives {1, 2, 0}", interface_request(READ_STATUS_BYTE, 2, 3) == [SUCCESS, 2, 0])
check("then interrupt-IN {0x82, STB}", interrupt() == [0x82, stb])

i.write("*SRE 32;*ESE 1;*OPC")
notification = interrupt()
check("*SRE 32;*ESE 1;*OPC: interrupt-IN {0x81, STB with 0x60}",
      notification[0] == 0x81 and notification[1] & 0x60 == 0x60, notification)
check("READ_STATUS_BYTE while RQS is set", interface_request(READ_STATUS_BYTE, 5, 3)[:2] == [SUCCESS, 5])
late = interrupt()
check("gives {0x80|tag, ...}", late[0] == 0x85, late)
i.write("*CLS;*SRE 0;*ESE 0")

def device_clear(what):
    """INITIATE_CLEAR, CHECK_CLEAR_STATUS until SUCCESS, CLEAR_FEATURE of the bulk-OUT endpoint."""
    check("%s: INITIATE_CLEAR" % what, interface_request(INITIATE_CLEAR, 0, 1) == [SUCCESS])
    end = time.time() + WAIT_S
    status = interface_request(CHECK_CLEAR_STATUS, 0, 2)
    while status[0] == PENDING and time.time() < end:
        time.sleep(0.01)
        status = interface_request(CHECK_CLEAR_STATUS, 0, 2)
    check("%s: CHECK_CLEAR_STATUS until SUCCESS" % what, status[0] == SUCCESS, status)
    dev.clear_halt(ep_out)


device_clear("clear")
check("after the clear a query works", i.query("*IDN?") == idn)

check("INITIATE_ABORT_BULK_OUT idle gives 0x80",
      endpoint_request(INITIATE_ABORT_BULK_OUT, 0x21, ep_out, 2)[0] == FAILED)
tag = 0x22
header = struct.pack("<BBBBIBBBB", DEV_DEP_MSG_OUT, tag, tag ^ 0xFF, 0, 100, 1, 0, 0, 0)
bulk_out.write(header + b"*" * 40, timeout=T_MS)
# The packet is in the device's FIFO once the write returns; the device takes the header a
# little later. Until then there is no transfer to abort (FAILED); once it has, another tag gives
# TRANSFER_NOT_IN_PROGRESS with the tag of the transfer in progress.
TRANSFER_NOT_IN_PROGRESS = 0x81
end = time.time() + WAIT_S
while (endpoint_request(INITIATE_ABORT_BULK_OUT, tag + 1, ep_out, 2) != [TRANSFER_NOT_IN_PROGRESS, tag]
       and time.time() < end):
    time.sleep(0.01)
abort = endpoint_request(INITIATE_ABORT_BULK_OUT, tag, ep_out, 2)
check("INITIATE_ABORT_BULK_OUT mid-message gives {1, tag}", abort == [SUCCESS, tag], abort)
end = time.time() + WAIT_S
status = endpoint_request(CHECK_ABORT_BULK_OUT_STATUS, 0, ep_out, 8)
while status[0] == PENDING and time.time() < end:
    time.sleep(0.01)
    status = endpoint_request(CHECK_ABORT_BULK_OUT_STATUS, 0, ep_out, 8)
check("CHECK_ABORT_BULK_OUT_STATUS: NBYTES_RXD 40",
      status[0] == SUCCESS and struct.unpack_from("<I", bytes(status), 4)[0] == 40, status)
dev.clear_halt(ep_out)
device_clear("after the aborted message")  # its 40 bytes reached the instrument without END
drain(i)

tag = 0x23
message = b"SYST:HELP:HEAD?\n"
bulk_out.write(struct.pack("<BBBBIBBBB", DEV_DEP_MSG_OUT, tag, tag ^ 0xFF, 0, len(message), 1, 0, 0, 0)
               + message, timeout=T_MS)
tag = 0x24
bulk_out.write(struct.pack("<BBBBIBBBB", REQUEST_DEV_DEP_MSG_IN, tag, tag ^ 0xFF, 0, 1 << 20, 0, 0, 0, 0),
               timeout=T_MS)
first = bytes(bulk_in.read(bulk_in.wMaxPacketSize, timeout=T_MS))
abort = endpoint_request(INITIATE_ABORT_BULK_IN, tag, ep_in, 2)
check("INITIATE_ABORT_BULK_IN after one packet gives {1, tag}", abort == [SUCCESS, tag], abort)
rest = b""
while True:
    packet = bytes(bulk_in.read(bulk_in.wMaxPacketSize, timeout=T_MS))
    rest += packet
    if len(packet) < bulk_in.wMaxPacketSize:
        break
end = time.time() + WAIT_S
status = endpoint_request(CHECK_ABORT_BULK_IN_STATUS, 0, ep_in, 8)
while status[0] == PENDING and time.time() < end:
    time.sleep(0.01)
    status = endpoint_request(CHECK_ABORT_BULK_IN_STATUS, 0, ep_in, 8)
sent = struct.unpack_from("<I", bytes(status), 4)[0]
full = struct.unpack_from("<I", first, 4)[0]
check("the rest ends short and CHECK_ABORT_BULK_IN_STATUS gives the exact count",
      status[0] == SUCCESS and sent == len(first) + len(rest) - 12 and sent < full, (status, len(first), len(rest), full))
drain(i)
check("a query after the abort", i.query("*IDN?") == idn)

for name, request, value, length in (("REN_CONTROL", REN_CONTROL, 1, 1), ("LOCAL_LOCKOUT", LOCAL_LOCKOUT, 0, 1),
                                     ("GO_TO_LOCAL", GO_TO_LOCAL, 0, 1), ("INDICATOR_PULSE", INDICATOR_PULSE, 0, 1)):
    check("%s gives SUCCESS" % name, interface_request(request, value, length)[0] == SUCCESS)

dev.ctrl_transfer(0x02, 3, 0, ep_in, None, timeout=T_MS)  # SET_FEATURE(ENDPOINT_HALT)
halted = list(dev.ctrl_transfer(0x82, 0, 0, ep_in, 2, timeout=T_MS))
check("halt 0x81: GET_STATUS 1", halted == [1, 0], halted)
dev.clear_halt(ep_in)
check("after clearing the halt a query works", i.query("*IDN?") == idn)
i.close()
vxi.close()
print("all passed")
