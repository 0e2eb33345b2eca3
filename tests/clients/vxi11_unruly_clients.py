#!/usr/bin/python3
"""vxi11_unruly_clients.py SERVER [SLACK]: clients that die, stall or leave things unfinished
never hold the instrument. Starts SERVER (vxi11_test_server: inst0 answers "*IDN?", any other query with
the byte length of its message) and, for each case, lets client A leave a call waiting or a
message unfinished, then ends A's connection (FIN or RST) or destroys its link; client B must
then be served at once and get only its own replies. Idle connections to the portmapper
delay no GETPORT. SLACK multiplies the time bounds (slow
sanitizer builds). Needs a network namespace of its own (port 111): run it through
tests/net/in-netns.sh. Exit status 0 when every case passes, 1 at the first failure.
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vxi11_raw  # noqa: E402
from runner_session import Failure, check  # noqa: E402

IDN = b"KORVEX-TEST,VXI11,0,0\n"
RELEASE_S = 1.0  # a gone peer frees the instrument within this


def served_within(port, bound):
    """B's create_link, device_write and device_read all succeed; the time they took."""
    start = time.monotonic()
    b = vxi11_raw.Connection(port, timeout=bound + 5)
    try:
        error, lid, _, _ = b.create_link(lock=True, lock_timeout=int(bound * 1000))
        check(error == 0, "B's create_link with lockDevice succeeds (error %d)" % error)
        error, _ = b.write(lid, b"*IDN?\n", io_timeout=int(bound * 1000))
        check(error == 0, "B's device_write succeeds (error %d)" % error)
        error, _, data = b.read(lid, io_timeout=int(bound * 1000))
        check(error == 0 and data == IDN, "B reads its own reply (%d, %r)" % (error, data))
        b.destroy_link(lid)
    finally:
        b.close()
    return time.monotonic() - start


# ---- A's waiting call, then the end of A's connection -------------------------------------

def read_forever(port, a):
    _, lid, _, _ = a.create_link()
    a.read_call(lid, io_timeout=vxi11_raw.FOREVER)


def locked_read_forever(port, a):
    _, lid, _, _ = a.create_link(lock=True)
    a.read_call(lid, io_timeout=vxi11_raw.FOREVER)


def lock_waiter(port, a):
    """A waits for the lock that H holds; H lets it go once A is gone."""
    holder = vxi11_raw.Connection(port)
    _, held, _, _ = holder.create_link(lock=True)
    _, lid, _, _ = a.create_link()
    a.lock_call(lid, lock_timeout=vxi11_raw.FOREVER)
    time.sleep(0.2)  # A's call is in its wait
    return lambda: (holder.unlock(held), holder.close())


DEAD_PEER_CASES = [
    # (what A leaves waiting, how A's connection ends)
    (read_forever, "reset"),
    (read_forever, "close"),
    (locked_read_forever, "close"),
    (lock_waiter, "reset"),
]


def dead_peer(port, setup, ending, slack):
    a = vxi11_raw.Connection(port)
    after = setup(port, a)
    time.sleep(0.2)  # the call waits in the server
    getattr(a, ending)()
    if after:
        after()
    took = served_within(port, RELEASE_S * slack + 5)
    check(took < RELEASE_S * slack,
          "%s then %s: B served %.3f s after A's end" % (setup.__name__, ending, took))


# ---- A's unfinished message, then destroy_link or the end of A's connection ---------------

def half_message(port, ending):
    a = vxi11_raw.Connection(port)
    _, lid, _, _ = a.create_link()
    error, _ = a.write(lid, b"ABCDEF;", end=False)
    check(error == 0, "A writes a half message")
    if ending == "destroy_link":
        a.destroy_link(lid)
    else:
        getattr(a, ending)()
    b = vxi11_raw.Connection(port)
    _, blid, _, _ = b.create_link()
    # The device answers a query with the length of the whole message: 4 for B's own.
    reply = b.query(blid, b"XYZ?")
    check(reply == "4\n", "after A's %s, B's query is answered alone (%r)" % (ending, reply))
    b.close()
    if ending == "destroy_link":
        a.close()


def owed_response(port, ending):
    a = vxi11_raw.Connection(port)
    _, lid, _, _ = a.create_link()
    a.write(lid, b"*IDN?")
    time.sleep(0.3)  # answered meanwhile
    if ending == "destroy_link":
        a.destroy_link(lid)
    else:
        getattr(a, ending)()
        time.sleep(0.3)  # the server notices the end of A's connection meanwhile
    b = vxi11_raw.Connection(port)
    _, blid, _, _ = b.create_link()
    error, _, data = b.read(blid, io_timeout=300)
    check(error == 15 and data == b"",
          "after A's %s, B does not read A's response (error %d, %r)" % (ending, error, data))
    check(b.query(blid, b"*IDN?") == IDN.decode(), "B's own query is answered")
    b.close()
    if ending == "destroy_link":
        a.close()


def idle_portmapper_connections(slack, count=64):
    idle = [vxi11_raw.socket.create_connection(("127.0.0.1", 111)) for _ in range(count)]
    try:
        for udp in (False, True):
            # The best of three: one slow answer on a loaded machine says nothing.
            took = 1e9
            for _ in range(3):
                start = time.monotonic()
                port = vxi11_raw.getport(udp=udp)
                took = min(took, time.monotonic() - start)
            check(port != 0 and took < 0.1 * slack,
                  "%d idle TCP connections: GETPORT over %s in %.1f ms" % (count, "UDP" if udp else "TCP",
                                                                          took * 1000))
    finally:
        for sock in idle:
            sock.close()


def announced_only_when_linkable(server_path, runs):
    """From its first GETPORT answer on, create_link to inst0 succeeds (each of runs starts)."""
    for _ in range(runs):
        server = subprocess.Popen([server_path], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        try:
            port = 0
            deadline = time.monotonic() + 20
            while port == 0 and time.monotonic() < deadline:
                try:
                    port = vxi11_raw.getport(udp=True, timeout=1.0)
                except OSError:
                    time.sleep(0.002)
            if port == 0:
                raise Failure("no GETPORT answer within 20 s")
            connection = vxi11_raw.Connection(port)
            error, _, _, _ = connection.create_link()
            connection.close()
            if error != 0:
                raise Failure("GETPORT answered %d but create_link gave error %d" % (port, error))
        finally:
            server.terminate()
            server.wait(timeout=20)
    print("ok: %d starts: create_link succeeds from the first GETPORT answer on" % runs)


def server_output(log):
    log.seek(0)
    return log.read()


def main():
    server_path = sys.argv[1]
    slack = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    try:
        announced_only_when_linkable(server_path, 20)
    except (Failure, OSError, RuntimeError) as error:
        print("FAIL: %s" % error)
        return 1
    log = tempfile.TemporaryFile()
    server = subprocess.Popen([server_path], stdout=log, stderr=subprocess.STDOUT)
    try:
        if not vxi11_raw.eventually(lambda: server_output(log).startswith(b"ready") or server.poll() is not None, 60):
            raise Failure("server did not start")
        port = vxi11_raw.getport()
        idle_portmapper_connections(slack)
        for setup, ending in DEAD_PEER_CASES:
            dead_peer(port, setup, ending, slack)
        for ending in ("destroy_link", "close", "reset"):
            half_message(port, ending)
            owed_response(port, ending)
        check(server.poll() is None, "the server still runs")
        server.terminate()
        # A sanitizer that found something makes the exit status non-zero.
        check(server.wait(timeout=60) == 0, "SIGTERM ends the server with status 0")
    except (Failure, OSError, RuntimeError, subprocess.TimeoutExpired) as error:
        print("FAIL: %s" % error)
        print("--- the server's output:")
        print(server_output(log)[-8000:].decode("utf-8", "replace"))
        return 1
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
