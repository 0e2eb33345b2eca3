#!/usr/bin/python3
"""departed_link_vxi11.py [RUNNER [ROUNDS]]: a VXI-11 link that goes (destroy_link, or its
connection reset as when its client is killed) costs another link X nothing, over raw ONC RPC
against the runner (measurements of 2.5 s):
- Z's message without a query still runs (ROUT:CLOS six times) while X's *IDN? write waits
  for the instrument, with or without X's device_lock: X gets its own reply;
- Z's MEAS:FLUX? is being measured with Z's read in progress and X's *IDN? behind it: X gets
  its own reply, never Z's value.
Runs itself in a network namespace of its own (tests/net/in-netns.sh); exit status 0 when
all pass, 1 at the first failure, 77 when no namespace can be made.
"""
import concurrent.futures
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import runner_session  # noqa: E402
import vxi11_raw  # noqa: E402

check = runner_session.check
IO_TIMEOUT = 10000
SLOW = b";:".join([b"ROUT:CLOS (@1)"] * 6) + b"\n"
BACKGROUND = concurrent.futures.ThreadPoolExecutor(2)


def link(port):
    connection = vxi11_raw.Connection(port, timeout=60)
    error, lid, _, _ = connection.create_link()
    check(error == 0, "create_link (error %d)" % error)
    return connection, lid


def query_idn(connection, lid, locked):
    """X's *IDN? (io_timeout 10 s), inside its device_lock when locked: its reply or failure."""
    if locked and connection.lock(lid, 30000):
        return "lock failed"
    try:
        error, _ = connection.write(lid, b"*IDN?\n", io_timeout=IO_TIMEOUT)
        if error:
            return "write error %d" % error
        error, _, data = connection.read(lid, io_timeout=IO_TIMEOUT)
        return data.decode() if not error else "read error %d" % error
    finally:
        if locked:
            connection.unlock(lid)


def blocked(port):
    """A serial poll of a third link times out (15), or finds X's lock (11): an operation
    holds the instrument."""
    probe, lid = link(port)
    try:
        return vxi11_raw.eventually(lambda: probe.readstb(lid, io_timeout=300)[0] in (11, 15), 30, 0)
    finally:
        probe.close()


def case(port, what, z_message, z_reads, destroy, locked):
    z, z_lid = link(port)
    x, x_lid = link(port)
    error, _ = z.write(z_lid, z_message)
    check(error == 0, "%s: Z's write is taken" % what)
    if z_reads:
        z.read_call(z_lid)
    reply = BACKGROUND.submit(query_idn, x, x_lid, locked)
    check(blocked(port), "%s: X's *IDN? waits behind Z's message" % what)
    if destroy:
        check(z.destroy_link(z_lid) == 0, "%s: Z's destroy_link returns" % what)
        z.close()
    else:
        z.reset()
    text = reply.result(60)
    check(text.startswith("Korvex Instruments,"), "%s: X gets its own reply (%r)" % (what, text))
    # The cleared MEAS:FLUX? measures on to its end; settings wait until then.
    check(x.query(x_lid, b"*OPC?\n").strip() == "1", "%s: then *OPC? answers" % what)
    x.close()


def main():
    runner_session.in_namespace_or_reexec()
    runner = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    rows = (("no query, destroy_link", SLOW, False, True, False),
            ("no query, reset", SLOW, False, False, False),
            ("no query, X locked, destroy_link", SLOW, False, True, True),
            ("MEAS:FLUX? being read, reset", b"MEAS:FLUX?\n", True, False, False))

    def body(_):
        port = vxi11_raw.getport()
        for n in range(rounds):
            for what, message, z_reads, destroy, locked in rows:
                case(port, "round %d, %s" % (n + 1, what), message, z_reads, destroy, locked)

    return runner_session.run_checks(body, runner, ["--field", "1.5", "--measurement-time", "2500"])


if __name__ == "__main__":
    sys.exit(main())
