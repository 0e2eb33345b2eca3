"""A pyusb backend that reaches the simulated board's USB host over its Unix socket.

The runner serves the host side of the simulated bus on a Unix stream socket (by default
<state>/usb.sock). Every request is one frame, little-endian:

    u32 n, u8 op, u8 endpoint, u16 0, u32 timeout_ms (0 = none), u32 in_len, 8 setup bytes,
    then the OUT payload (n - 20 bytes)

and every reply is u32 n (= 4 + len(data)), i32 status, data. Statuses: 0, -110 time-out,
-32 stall, -19 no device, -75 overflow, -16 busy, -22 bad request.

The interface goes to one process at a time, as the operating system gives it: this process
claims it before its first transfer (pyusb claims it so) and holds it until it has released it
on all its device handles, or ends. Another process's claim meanwhile raises
usb.core.USBError errno 16 ("Resource busy"); its descriptors can still be read.

    import usbsim; usbsim.install('state/usb.sock')
    import pyvisa; rm = pyvisa.ResourceManager('@py')

`install` replaces pyusb's libusb-1.0 backend, so it must run before pyvisa-py's USB module
is imported (before the ResourceManager is made). It asks the host once: a socket it cannot
reach raises UnreachableHost naming the path; otherwise it names the socket used on standard
error.
"""

import array
import errno
import os
import socket
import struct
import sys
import threading

import usb.backend
import usb.core

(OP_INFO, OP_RESET, OP_CONTROL, OP_BULK_OUT, OP_BULK_IN, OP_INTR_IN, OP_CLEAR_HALT, OP_CLAIM,
 OP_RELEASE) = range(1, 10)

OK, TIMEOUT, STALL, NO_DEVICE, OVERFLOW, BUSY, BAD_REQUEST = 0, -110, -32, -19, -75, -16, -22


class UnreachableHost(ConnectionError):
    """The simulated USB host's socket cannot be reached."""


class WireError(Exception):
    def __init__(self, status):
        super().__init__("simulated USB host answered %d" % status)
        self.status = status


class Connection(object):
    """One socket to the host per Python thread (the host serves each on a thread of its own,
    so a bulk read waiting on one thread does not hold up an interrupt read on another)."""

    def __init__(self, path):
        self.path = path
        self.local = threading.local()

    @property
    def sock(self):
        return getattr(self.local, "sock", None)

    @sock.setter
    def sock(self, value):
        self.local.sock = value

    def _connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.path)
        self.sock = s

    def close(self):
        """Closes the calling thread's socket."""
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def _recv_exact(self, n):
        chunks = []
        while n > 0:
            chunk = self.sock.recv(n)
            if not chunk:
                raise ConnectionError("simulated USB host closed the socket")
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def request(self, op, endpoint=0, timeout_ms=0, in_len=0, setup=b"\0" * 8, payload=b""):
        body = struct.pack("<BBHII", op, endpoint, 0, timeout_ms & 0xFFFFFFFF, in_len) + setup + bytes(payload)
        frame = struct.pack("<I", len(body)) + body
        if self.sock is None:
            self._connect()
        try:
            self.sock.sendall(frame)
            (n,) = struct.unpack("<I", self._recv_exact(4))
            reply = self._recv_exact(n)
        except (OSError, ConnectionError):
            self.sock.close()
            self.sock = None
            raise
        (status,) = struct.unpack("<i", reply[:4])
        return status, reply[4:]


def _raise_for(status, what):
    if status == TIMEOUT:
        raise usb.core.USBTimeoutError("%s: time-out" % what, -7, errno.ETIMEDOUT)
    if status == STALL:
        raise usb.core.USBError("%s: endpoint stalled" % what, -9, errno.EPIPE)
    if status == NO_DEVICE:
        raise usb.core.USBError("%s: no device" % what, -4, errno.ENODEV)
    if status == OVERFLOW:
        raise usb.core.USBError("%s: overflow" % what, -8, errno.EOVERFLOW)
    if status == BUSY:  # as pyusb's libusb backend says LIBUSB_ERROR_BUSY
        raise usb.core.USBError("Resource busy", -6, errno.EBUSY)
    raise usb.core.USBError("%s: request refused (%d)" % (what, status), -2, errno.EINVAL)


def _fill(buff, data):
    """Copies data to the front of buff (pyusb passes array('B') buffers); the count."""
    if isinstance(buff, array.array):
        buff[:len(data)] = array.array(buff.typecode, data)
    else:
        buff[:len(data)] = data
    return len(data)


class _Desc(object):
    """A plain record of descriptor fields, as pyusb reads them by attribute."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def _parse_configuration(data):
    """The configuration, its interfaces (by number and alternate setting) and endpoints."""
    if len(data) < 9 or data[1] != 2:
        raise usb.core.USBError("bad configuration descriptor", -1, errno.EIO)
    f = struct.unpack_from("<BBHBBBBB", data, 0)
    config = _Desc(bLength=f[0], bDescriptorType=f[1], wTotalLength=f[2], bNumInterfaces=f[3],
                   bConfigurationValue=f[4], iConfiguration=f[5], bmAttributes=f[6], bMaxPower=f[7],
                   extra_descriptors=[], interfaces=[])
    current = None
    offset = data[0]
    extra = config.extra_descriptors
    while offset + 2 <= len(data):
        length, kind = data[offset], data[offset + 1]
        if length < 2 or offset + length > len(data):
            break
        chunk = data[offset:offset + length]
        if kind == 4 and length >= 9:
            g = struct.unpack_from("<BBBBBBBBB", chunk, 0)
            current = _Desc(bLength=g[0], bDescriptorType=g[1], bInterfaceNumber=g[2], bAlternateSetting=g[3],
                            bNumEndpoints=g[4], bInterfaceClass=g[5], bInterfaceSubClass=g[6],
                            bInterfaceProtocol=g[7], iInterface=g[8], extra_descriptors=[], endpoints=[])
            config.interfaces.append(current)
            extra = current.extra_descriptors
        elif kind == 5 and length >= 7 and current is not None:
            g = struct.unpack_from("<BBBBHB", chunk, 0)
            endpoint = _Desc(bLength=g[0], bDescriptorType=g[1], bEndpointAddress=g[2], bmAttributes=g[3],
                             wMaxPacketSize=g[4], bInterval=g[5], bRefresh=0, bSynchAddress=0,
                             extra_descriptors=[])
            current.endpoints.append(endpoint)
            extra = endpoint.extra_descriptors
        else:
            extra.extend(chunk)
        offset += length
    return config


class _Handle(object):
    def __init__(self, number):
        self.number = number
        self.claimed = set()


class SimBackend(usb.backend.IBackend):
    """pyusb's backend interface over the simulated host's socket."""

    def __init__(self, path):
        super().__init__()
        self.path = path
        self.connection = Connection(path)
        self.cache = {}
        self.handles = 0
        self.claims = set()  # (handle number, interface) claimed in this process

    # ---- wire ----

    def _request(self, what, op, **kwargs):
        if not os.path.exists(self.path):
            raise usb.core.USBError("%s: no device" % what, -4, errno.ENODEV)
        status, data = self.connection.request(op, **kwargs)
        if status != OK:
            _raise_for(status, what)
        return data

    def _info(self):
        data = self._request("info", OP_INFO)
        attached, address, configuration, speed, bus, port, _, count = struct.unpack("<BBBBBBHI", data[:12])
        return _Desc(attached=attached, address=address, configuration=configuration, speed=speed,
                     bus=bus, port=port, attach_count=count)

    def _control_in(self, request_type, request, value, index, length, timeout=1000):
        setup = struct.pack("<BBHHH", request_type, request, value, index, length)
        return self._request("control", OP_CONTROL, timeout_ms=timeout, in_len=length, setup=setup)

    def _descriptors(self, dev):
        """Device, configuration and string descriptors of the attachment `dev`."""
        if dev in self.cache:
            return self.cache[dev]
        raw = self._control_in(0x80, 6, 0x0100, 0, 18)
        if len(raw) < 18:
            raise usb.core.USBError("short device descriptor", -1, errno.EIO)
        f = struct.unpack("<BBHBBBBHHHBBBB", raw[:18])
        info = self._info()
        device = _Desc(bLength=f[0], bDescriptorType=f[1], bcdUSB=f[2], bDeviceClass=f[3], bDeviceSubClass=f[4],
                       bDeviceProtocol=f[5], bMaxPacketSize0=f[6], idVendor=f[7], idProduct=f[8], bcdDevice=f[9],
                       iManufacturer=f[10], iProduct=f[11], iSerialNumber=f[12], bNumConfigurations=f[13],
                       bus=info.bus, address=info.address, port_number=info.port, port_numbers=(info.port,),
                       speed=info.speed)
        configurations = []
        for index in range(device.bNumConfigurations):
            head = self._control_in(0x80, 6, 0x0200 | index, 0, 9)
            total = struct.unpack_from("<H", head, 2)[0] if len(head) >= 4 else 9
            configurations.append(_parse_configuration(self._control_in(0x80, 6, 0x0200 | index, 0, total)))
        self.cache = {dev: (device, configurations)}
        return self.cache[dev]

    def _configuration(self, dev, config):
        configurations = self._descriptors(dev)[1]
        if config >= len(configurations):
            raise IndexError("no configuration %d" % config)
        return configurations[config]

    def _interface(self, dev, intf, alt, config):
        found = [i for i in self._configuration(dev, config).interfaces]
        if intf >= len(found):
            raise IndexError("no interface %d" % intf)
        # pyusb counts interfaces by position; alternate settings by position within one number.
        number = found[intf].bInterfaceNumber
        alternates = [i for i in found if i.bInterfaceNumber == number]
        if alt >= len(alternates):
            raise IndexError("no alternate setting %d" % alt)
        return alternates[alt]

    # ---- the backend interface ----

    def enumerate_devices(self):
        if not os.path.exists(self.path):
            return
        try:
            info = self._info()
        except (OSError, ConnectionError, usb.core.USBError):
            return
        if info.attached:
            yield info.attach_count

    def get_parent(self, dev):
        return None

    def get_device_descriptor(self, dev):
        return self._descriptors(dev)[0]

    def get_configuration_descriptor(self, dev, config):
        return self._configuration(dev, config)

    def get_interface_descriptor(self, dev, intf, alt, config):
        return self._interface(dev, intf, alt, config)

    def get_endpoint_descriptor(self, dev, ep, intf, alt, config):
        endpoints = self._interface(dev, intf, alt, config).endpoints
        if ep >= len(endpoints):
            raise IndexError("no endpoint %d" % ep)
        return endpoints[ep]

    def open_device(self, dev):
        self.handles += 1
        return _Handle(self.handles)

    def close_device(self, dev_handle):
        for intf in list(dev_handle.claimed):
            self.release_interface(dev_handle, intf)

    def set_configuration(self, dev_handle, config_value):
        self.ctrl_transfer(dev_handle, 0x00, 9, config_value, 0, bytearray(), 1000)

    def get_configuration(self, dev_handle):
        data = bytearray(1)
        self.ctrl_transfer(dev_handle, 0x80, 8, 0, 0, data, 1000)
        return data[0]

    def set_interface_altsetting(self, dev_handle, intf, altsetting):
        self.ctrl_transfer(dev_handle, 0x01, 11, altsetting, intf, bytearray(), 1000)

    def claim_interface(self, dev_handle, intf):
        self._request("claim", OP_CLAIM)
        dev_handle.claimed.add(intf)
        self.claims.add((dev_handle.number, intf))

    def release_interface(self, dev_handle, intf):
        dev_handle.claimed.discard(intf)
        self.claims.discard((dev_handle.number, intf))
        if self.claims:
            return  # another handle of this process still uses the interface
        try:
            self._request("release", OP_RELEASE)
        except (OSError, ConnectionError, usb.core.USBError):
            pass  # the host or the attachment has gone, and the claim with it

    def bulk_write(self, dev_handle, ep, intf, data, timeout):
        self._request("bulk write", OP_BULK_OUT, endpoint=ep, timeout_ms=timeout, payload=bytes(data))
        return len(data)

    def _read_into(self, what, op, ep, buff, timeout):
        data = self._request(what, op, endpoint=ep, timeout_ms=timeout, in_len=len(buff))
        return _fill(buff, data)

    def bulk_read(self, dev_handle, ep, intf, buff, timeout):
        return self._read_into("bulk read", OP_BULK_IN, ep, buff, timeout)

    def intr_read(self, dev_handle, ep, intf, buff, timeout):
        return self._read_into("interrupt read", OP_INTR_IN, ep, buff, timeout)

    def ctrl_transfer(self, dev_handle, bmRequestType, bRequest, wValue, wIndex, data, timeout):
        if bmRequestType & 0x80:
            reply = self._control_in(bmRequestType, bRequest, wValue, wIndex, len(data), timeout)
            return _fill(data, reply)
        setup = struct.pack("<BBHHH", bmRequestType, bRequest, wValue, wIndex, len(data))
        self._request("control", OP_CONTROL, timeout_ms=timeout, setup=setup, payload=bytes(data))
        return len(data)

    def clear_halt(self, dev_handle, ep):
        self._request("clear halt", OP_CLEAR_HALT, endpoint=ep, timeout_ms=1000)

    def reset_device(self, dev_handle):
        self._request("reset", OP_RESET, timeout_ms=5000)
        self.cache = {}

    def is_kernel_driver_active(self, dev_handle, intf):
        return False

    def detach_kernel_driver(self, dev_handle, intf):
        pass

    def attach_kernel_driver(self, dev_handle, intf):
        pass


_backend = None


def install(path=None):
    """Makes pyusb (and pyvisa-py through it) use the simulated host at `path` (default:
    $KORVEX_USB_SOCKET, else state/usb.sock)."""
    global _backend
    if path:
        origin = "given to usbsim.install"
    elif os.environ.get("KORVEX_USB_SOCKET"):
        path, origin = os.environ["KORVEX_USB_SOCKET"], "from $KORVEX_USB_SOCKET"
    else:
        path, origin = "state/usb.sock", "the default: no path given, $KORVEX_USB_SOCKET unset"
    probe = Connection(path)
    try:
        probe.request(OP_INFO)
    except OSError as e:
        raise UnreachableHost("usbsim: cannot reach the simulated USB host at %s (%s): %s; start "
                              "korvex-sim or pass the socket it serves (<state>/usb.sock or its "
                              "--usb-socket path)" % (os.path.abspath(path), origin,
                                                      e.strerror or e)) from e
    finally:
        probe.close()
    sys.stderr.write("usbsim: simulated USB host at %s (%s)\n" % (os.path.abspath(path), origin))
    _backend = SimBackend(path)
    import usb.backend.libusb1 as libusb1

    libusb1.get_backend = lambda *args, **kwargs: _backend
    return _backend
