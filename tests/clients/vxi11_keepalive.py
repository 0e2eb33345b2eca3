#!/usr/bin/python3
"""vxi11_keepalive.py SERVER [BOUND_S]: a controller that vanishes without a word (its link
cut, as by a power cut) is reaped by TCP keep-alive. Runs in a network namespace of its own
(tests/net/in-netns.sh): makes a veth pair to a second namespace for the controller, starts
SERVER (vxi11_test_server) on the near end, lets the controller lock inst0 and wait in a
device_read with an infinite io_timeout, then sets the controller's end of the pair down.
Another client on the server's side must get the lock within BOUND_S seconds (default 25;
keep-alive gives up after about 16). Exit status 0 on success, 1 on failure.
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vxi11_raw  # noqa: E402

SERVER_ADDRESS = "10.77.0.1"
CONTROLLER_ADDRESS = "10.77.0.2"


def ip(*args, netns_pid=None):
    command = ["ip"] + list(args)
    if netns_pid is not None:
        command = ["nsenter", "-t", str(netns_pid), "-n"] + command
    subprocess.run(command, check=True)


def controller():
    """In the controller's namespace: says it is there, waits for its end of the pair, links
    with the lock and leaves a device_read waiting for ever."""
    # unshare has made this namespace before this code runs: only now can the pair's end be
    # moved into it (moved earlier, it would land in the server's namespace and stay there).
    print("in namespace", flush=True)
    deadline = time.monotonic() + 60
    while subprocess.run(["ip", "link", "show", "vk-c"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL).returncode != 0:
        if time.monotonic() > deadline:
            print("no link", flush=True)
            return 1
        time.sleep(0.05)
    ip("link", "set", "lo", "up")
    ip("addr", "add", CONTROLLER_ADDRESS + "/24", "dev", "vk-c")
    ip("link", "set", "vk-c", "up")
    port = 0
    while port == 0:  # the server may still be starting
        try:
            port = vxi11_raw.getport(host=SERVER_ADDRESS, timeout=1.0)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)
    connection = vxi11_raw.Connection(port, host=SERVER_ADDRESS)
    error, lid, _, _ = connection.create_link(lock=True)
    if error != 0:
        print("create_link error %d" % error, flush=True)
        return 1
    connection.read_call(lid, io_timeout=vxi11_raw.FOREVER)
    print("linked", flush=True)
    time.sleep(600)
    return 0


def main():
    if sys.argv[1] == "--controller":
        return controller()
    server_path = sys.argv[1]
    bound = float(sys.argv[2]) if len(sys.argv) > 2 else 25.0
    processes = []
    try:
        child = subprocess.Popen(["unshare", "-n", sys.executable, os.path.abspath(__file__), "--controller"],
                                 stdout=subprocess.PIPE, text=True)
        processes.append(child)
        if child.stdout.readline().strip() != "in namespace":
            print("FAIL: the controller did not start")
            return 1
        ip("link", "add", "vk-s", "type", "veth", "peer", "name", "vk-c")
        ip("link", "set", "vk-c", "netns", str(child.pid))
        ip("addr", "add", SERVER_ADDRESS + "/24", "dev", "vk-s")
        ip("link", "set", "vk-s", "up")
        server = subprocess.Popen([server_path, "--bind", SERVER_ADDRESS], stdout=subprocess.PIPE)
        processes.append(server)
        if not server.stdout.readline().startswith(b"ready"):
            print("FAIL: the server did not start")
            return 1
        line = child.stdout.readline().strip()
        if line != "linked":
            print("FAIL: the controller did not link (%r)" % line)
            return 1
        print("ok: the controller holds the lock and waits in device_read")
        time.sleep(0.3)
        ip("link", "set", "vk-c", "down", netns_pid=child.pid)
        silenced = time.monotonic()
        port = vxi11_raw.getport(host=SERVER_ADDRESS)
        while time.monotonic() - silenced < bound:
            other = vxi11_raw.Connection(port, host=SERVER_ADDRESS)
            error, lid, _, _ = other.create_link(lock=True, lock_timeout=0)
            other.close()
            if error == 0:
                print("ok: inst0 free %.1f s after the controller went silent" % (time.monotonic() - silenced))
                return 0
            time.sleep(0.5)
        print("FAIL: inst0 still locked %.0f s after the controller went silent" % bound)
        return 1
    finally:
        for process in reversed(processes):
            process.kill()
            process.wait()


if __name__ == "__main__":
    sys.exit(main())
