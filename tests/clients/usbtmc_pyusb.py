"""usbtmc_pyusb.py EEPROM_BIN: the instrument's descriptors and strings as plain pyusb reads
them through the usbsim backend (KORVEX_USB_SOCKET names the socket). Exits non-zero at the
first failure.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import usbsim  # noqa: E402

usbsim.install()
import usb.core  # noqa: E402
import usb.util  # noqa: E402


def check(name, ok, detail=""):
    if not ok:
        print("FAIL: %s %s" % (name, detail))
        sys.exit(1)
    print("ok: %s" % name)


eeprom = open(sys.argv[1], "rb").read()
text = lambda at, n: eeprom[at:at + n].split(b"\0")[0].decode()  # noqa: E731
vid, pid = struct.unpack_from("<HH", eeprom, 124)
bcd = struct.unpack_from("<H", eeprom, 136)[0]
serial = "%07d" % struct.unpack_from("<I", eeprom, 76)[0]

devices = list(usb.core.find(find_all=True))
check("one device", len(devices) == 1, devices)
dev = devices[0]
check("ids from the EEPROM", (dev.idVendor, dev.idProduct, dev.bcdDevice) == (vid, pid, bcd),
      (hex(dev.idVendor), hex(dev.idProduct), hex(dev.bcdDevice)))
check("bcdUSB 0x0200, bMaxPacketSize0 8", (dev.bcdUSB, dev.bMaxPacketSize0) == (0x0200, 8),
      (hex(dev.bcdUSB), dev.bMaxPacketSize0))
cfg = dev.get_active_configuration()
interfaces = list(cfg)
check("one interface", len(interfaces) == 1, interfaces)
intf = interfaces[0]
check("interface 0xFE/3/1",
      (intf.bInterfaceClass, intf.bInterfaceSubClass, intf.bInterfaceProtocol) == (0xFE, 3, 1))
endpoints = sorted((e.bEndpointAddress, usb.util.endpoint_type(e.bmAttributes), e.wMaxPacketSize, e.bInterval)
                   for e in intf)
bulk, intr = usb.util.ENDPOINT_TYPE_BULK, usb.util.ENDPOINT_TYPE_INTR
check("endpoints 0x81 and 0x02 bulk 64, 0x83 interrupt 2 interval 1",
      [e[:3] for e in endpoints if e[1] == bulk] == [(0x02, bulk, 64), (0x81, bulk, 64)]
      and [e for e in endpoints if e[1] == intr] == [(0x83, intr, 2, 1)], endpoints)
check("manufacturer string", dev.manufacturer == text(36, 32), dev.manufacturer)
check("product string", dev.product == text(68, 8), dev.product)
check("serial string", dev.serial_number == serial, dev.serial_number)
print("all passed")
