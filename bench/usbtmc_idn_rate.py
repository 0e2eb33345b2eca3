#!/usr/bin/python3
"""usbtmc_idn_rate.py [RUNNER] [COUNT]: *IDN? round trips over USB and over VXI-11.

Starts one runner (default build/korvex-sim) and sends COUNT (default 2000) *IDN? queries
over USB with pyvisa-py, over USB with plain pyusb (one DEV_DEP_MSG_OUT, one
REQUEST_DEV_DEP_MSG_IN and one Bulk-IN read each), and over VXI-11 with pyvisa-py; prints
  <road>: <n> *IDN?/s
for each and the USB (pyvisa-py) / VXI-11 ratio. USB goes through tests/clients/usbsim to
the runner's USB host socket. No threshold: the figures are for the record. Runs itself in a
network namespace of its own (tests/net/in-netns.sh).
"""
import os
import struct
import sys
import time

CLIENTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "clients")
sys.path.insert(0, CLIENTS)
import runner_session  # noqa: E402
import usbsim  # noqa: E402


def rate(what, count, query):
    reply = query()
    start = time.monotonic()
    for _ in range(count):
        if query() != reply:
            raise runner_session.Failure("%s: another answer" % what)
    per_s = count / (time.monotonic() - start)
    print("%s: %.0f *IDN?/s" % (what, per_s))
    sys.stdout.flush()
    return per_s


def raw_pyusb(usb_core):
    """*IDN? as a plain pyusb program sends it."""
    dev = usb_core.find()
    tag = [0]

    def header(msg_id, size, attributes):
        tag[0] = tag[0] % 255 + 1
        return struct.pack("<BBBBIBBBB", msg_id, tag[0], tag[0] ^ 0xFF, 0, size, attributes, 0, 0, 0)

    def query():
        message = b"*IDN?\n"
        dev.write(0x02, header(1, len(message), 1) + message + b"\0" * (-len(message) % 4), 2000)
        dev.write(0x02, header(2, 4096, 0), 2000)
        data = bytes(dev.read(0x81, 4096 + 12, 2000))
        return data[12:12 + struct.unpack_from("<I", data, 4)[0]]

    return query


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    session = runner_session.Runner(runner)
    try:
        socket_path = os.path.join(session.state, "state", "usb.sock")
        end = time.monotonic() + 30
        while not os.path.exists(socket_path) and time.monotonic() < end:
            time.sleep(0.1)  # the runner is starting
        usbsim.install(socket_path)
        import usb.core
        manager = runner_session.manager()
        vxi11 = runner_session.open_session(manager)
        while not manager.list_resources("USB?*INSTR"):
            if time.monotonic() > end:
                raise runner_session.Failure("no USB instrument")
            time.sleep(0.1)
        instrument = manager.open_resource(manager.list_resources("USB?*INSTR")[0])
        instrument.timeout = vxi11.timeout = 5000
        over_usb = rate("USB (pyvisa-py)", count, lambda: instrument.query("*IDN?"))
        rate("USB (raw pyusb)", count, raw_pyusb(usb.core))
        over_vxi11 = rate("VXI-11 (pyvisa-py)", count, lambda: vxi11.query("*IDN?"))
        print("USB/VXI-11: %.2f" % (over_usb / over_vxi11))
        instrument.close()
        vxi11.close()
    finally:
        session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
