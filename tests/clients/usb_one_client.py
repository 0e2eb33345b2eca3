#!/usr/bin/python3
"""usb_one_client.py [RUNNER]: the simulated USB bus gives the instrument's interface to one
host process at a time, as an operating system does (tests/clients/usbsim). With pyusb: while
another process holds the interface, a claim fails with errno 16 ("Resource busy") and the
descriptors can still be read; the claim passes once the holder has released the interface,
disposed of its device, or been killed. With pyvisa-py: while one process loops *IDN? on two
sessions of its own, another's opens fail with "Resource busy", and the first gets only its
own replies, without a time-out; once it has ended, the other's open answers. Runs itself in
a network namespace of its own (tests/net/in-netns.sh); exit status 0 when all pass, 1 at the
first failure, 77 when no namespace can be made.
"""
import errno
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import runner_session  # noqa: E402

check = runner_session.check

# Claims the interface with pyusb, says "claimed", then for each line "release" or "dispose"
# does that and says "done".
HOLDER = r"""
import sys
sys.path.insert(0, %r)
import usbsim
usbsim.install(sys.argv[1])
import usb.core, usb.util
dev = usb.core.find()
usb.util.claim_interface(dev, 0)
print("claimed", flush=True)
for line in sys.stdin:
    if line.strip() == "release":
        usb.util.release_interface(dev, 0)
    else:
        usb.util.dispose_resources(dev)
    print("done", flush=True)
""" % HERE

# Loops *IDN? on two sessions of its own until its standard input ends; says "open" after the
# first replies, then the count of its own replies, of the others and of the time-outs.
QUERIER = r"""
import sys, threading
sys.path.insert(0, %r)
import usbsim
usbsim.install(sys.argv[1])
import pyvisa
rm = pyvisa.ResourceManager("@py")
sessions = [rm.open_resource(sys.argv[2]) for _ in range(2)]
idn = sessions[0].query("*IDN?")
print("open", flush=True)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
own = other = timeouts = 0
while not stop.is_set():
    for inst in sessions:
        inst.timeout = 30000
        try:
            reply = inst.query("*IDN?")
        except pyvisa.errors.VisaIOError:
            timeouts += 1
            continue
        own, other = own + (reply == idn), other + (reply != idn)
print(own, other, timeouts, flush=True)
""" % HERE


def claim_fails_busy(dev):
    import usb.core
    import usb.util
    try:
        usb.util.claim_interface(dev, 0)
    except usb.core.USBError as error:
        return error.errno == errno.EBUSY and "Resource busy" in str(error)
    usb.util.release_interface(dev, 0)
    return False


def claim_passes(dev):
    """The claim passes, at once or within a generous deadline."""
    import usb.util
    deadline = time.monotonic() + 20
    while claim_fails_busy(dev) and time.monotonic() < deadline:
        time.sleep(0.05)
    usb.util.claim_interface(dev, 0)
    usb.util.dispose_resources(dev)
    return True


# How the holding process lets go: a line to it, or None: killed.
ENDS = (("releases the interface", "release"), ("disposes of its device", "dispose"), ("is killed", None))


def host_library(socket_path):
    import usb.core
    dev = usb.core.find()
    check(dev is not None, "pyusb finds the instrument")
    for what, command in ENDS:
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, socket_path], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            check(holder.stdout.readline().strip() == "claimed", "another process claims the interface")
            check(claim_fails_busy(dev), "meanwhile a claim here fails with errno 16, Resource busy")
            found = usb.core.find()
            check(found is not None and found.manufacturer.startswith("Korvex"),
                  "meanwhile the descriptors and strings are read here")
            if command:
                holder.stdin.write(command + "\n")
                holder.stdin.flush()
                check(holder.stdout.readline().strip() == "done", "the other process %s" % what)
            else:
                holder.kill()
                holder.wait()
            check(claim_passes(dev), "once the other process %s, the claim here passes" % what)
        finally:
            holder.kill()
            holder.wait()


def two_pyvisa_processes(socket_path, manager, resource):
    import pyvisa
    querier = subprocess.Popen([sys.executable, "-c", QUERIER, socket_path, resource], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        check(querier.stdout.readline().strip() == "open", "one process loops *IDN? on two sessions")
        for attempt in range(3):
            try:
                manager.open_resource(resource).close()
                refusal = "opened"
            except Exception as error:  # noqa: BLE001 - pyvisa-py passes pyusb's error on
                refusal = str(error)
            check("Resource busy" in refusal, "meanwhile an open here fails: Resource busy (%s)" % refusal[-200:])
        querier.stdin.close()
        own, other, timeouts = (int(n) for n in querier.stdout.readline().split())
        check(own > 0 and other == 0 and timeouts == 0,
              "the looping process got only its own replies, no time-out (%d, %d, %d)" % (own, other, timeouts))
    finally:
        querier.kill()
        querier.wait()
    inst = manager.open_resource(resource)
    inst.timeout = 30000
    check(inst.query("*IDN?").startswith("Korvex Instruments,"), "once it has ended, an open here answers")
    inst.close()


def checks(session):
    manager, usb = runner_session.usb_resource(session)
    host_library(runner_session.usb_socket(session))
    two_pyvisa_processes(runner_session.usb_socket(session), manager, usb)


def main():
    runner_session.in_namespace_or_reexec()
    return runner_session.run_with_runner(checks, sys.argv[1] if len(sys.argv) > 1 else None)


if __name__ == "__main__":
    sys.exit(main())
