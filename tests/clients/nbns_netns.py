"""nbns_netns.py KORVEX_SIM: the firmware's NetBIOS name service on a Linux interface (--netif,
--tick-us 2500, leased 192.0.2.50 by dnsmasq with the domain WORKGRP), checked from a peer
namespace with nmblookup, nbtscan, pyvisa-py and tests/net/nbns_peer.py, which plays the
workgroup's master browser and records what arrives on its ports 137 and 138.
"""
import os
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "net"))
from netlab import NetLab, wait_for  # noqa: E402

ADDRESS = "192.0.2.50"
PEER = "192.0.2.1"
MOVED = "192.0.2.60"
ADDRESS_NOW = [ADDRESS]  # where the instrument is reached
BOARD_SECOND = 0.25  # real seconds per board second at --tick-us 2500

SCPI = r"""
import sys, pyvisa
rm = pyvisa.ResourceManager('@py')
i = rm.open_resource('TCPIP::%s::inst0::INSTR' % sys.argv[1], open_timeout=10000)
i.timeout = 10000
for command in sys.argv[2:]:
    i.write(command)
    print(i.query('*OPC?').strip())
i.close()
"""

# Sends one datagram to ADDRESS:137 from an ephemeral port and prints the answer's hex.
SEND = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(bytes.fromhex(sys.argv[2]), (sys.argv[1], 137))
try:
    print(s.recvfrom(2048)[0].hex())
except socket.timeout:
    print("none")
"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def encode(name, suffix):
    raw = name.upper().ljust(15)[:15].encode() + bytes([suffix])
    return bytes([32]) + b"".join(bytes([0x41 + (c >> 4), 0x41 + (c & 15)]) for c in raw) + b"\0"


def name_request(trn, byte2, name, ttl, address):
    return (struct.pack(">HBBHHHH", trn, byte2, 0x00, 1, 0, 0, 1) + encode(name, 0x20) + b"\x00\x20\x00\x01" +
            b"\xc0\x0c\x00\x20\x00\x01" + struct.pack(">IHH", ttl, 6, 0) + socket.inet_aton(address))


class Peer:
    """What nbns_peer.py received: (time, port, source, bytes)."""

    def __init__(self, lab):
        self.lab = lab

    def received(self):
        out = []
        for line in self.lab.log("peer/received.log").splitlines():
            t, port, source, data = line.split()
            out.append((float(t), int(port), source, bytes.fromhex(data)))
        return out

    def requests(self, opcode, name):
        return [r for r in self.received() if r[1] == 137 and len(r[3]) == 68 and (r[3][2] >> 3) & 15 == opcode
                and r[3][12:46] == encode(name, 0x20)]


def main():
    runner = sys.argv[1]
    with NetLab() as lab:
        fw = lab.namespace("fw")
        peer_ns = lab.namespace("peer")
        lab.veth(fw, "fw0", peer_ns, "peer0")
        lab.address(peer_ns, "peer0", PEER + "/24")
        options = ["option:domain-name,WORKGRP", "option:T1,20", "option:T2,40"]
        server = lab.dnsmasq(peer_ns, "peer0", ADDRESS, ADDRESS, options=options)
        os.makedirs(lab.path("peer"))
        lab.start(peer_ns, ["/usr/bin/python3", os.path.join(HERE, "..", "net", "nbns_peer.py"), lab.path("peer")],
                  log_name="peer.log")
        peer = Peer(lab)
        instrument = lab.start(fw, [runner, "--state", lab.path("fw-state"), "--netif", "fw0", "--tick-us", "2500"],
                               log_name="fw.log")

        def run(*args):
            return lab.run(peer_ns, list(args), timeout=60)

        def scpi(*commands):
            return run("/usr/bin/python3", "-c", SCPI, ADDRESS_NOW[0], *commands)

        def lookup(*args):
            result = run("nmblookup", *args)
            return result.returncode, result.stdout

        started = wait_for(lambda: "Starting NBNS" in lab.log("fw.log"), 60)
        if not check(started, "the name service starts on the leased address"):
            print(lab.log("fw.log"))
            return 1

        # Three registrations about 10.25 board seconds apart, ids 374-376.
        wait_for(lambda: len(peer.requests(5, "KORVEX_12345")) >= 3, 30)
        registrations = peer.requests(5, "KORVEX_12345")
        check(len(registrations) == 3, "3 registrations")
        check([struct.unpack(">H", r[3][:2])[0] for r in registrations] == [374, 375, 376], "ids 374-376")
        check(all(r[2].startswith(ADDRESS + ":") and r[3][-4:] == socket.inet_aton(ADDRESS) and
                  struct.unpack(">I", r[3][56:60])[0] == 300000 for r in registrations),
              "68 bytes from %s, ttl 300000, address %s" % (ADDRESS, ADDRESS))
        gaps = [(b[0] - a[0]) / BOARD_SECOND for a, b in zip(registrations, registrations[1:])]
        # A busy machine wakes the service late; the spacing must still be the 10-s wait's.
        check(all(9.5 < g < 20 for g in gaps), "about 10.25 board seconds apart (%s)" % gaps)

        # The master-browser search, then an announcement every second pass.
        wait_for(lambda: len([r for r in peer.received() if r[1] == 138]) >= 3, 40)
        queries = [r for r in peer.received() if r[1] == 137 and len(r[3]) == 50 and r[3][12:46] == encode("WORKGRP", 0x1D)]
        check(len(queries) >= 1 and queries[0][3][3] == 0x10, "broadcast query for WORKGRP<1D>")
        announcements = [r for r in peer.received() if r[1] == 138]
        check(len(announcements) >= 3 and all(len(a[3]) == 216 and a[2] == ADDRESS + ":138" for a in announcements),
              "216-byte announcements from %s:138" % ADDRESS)
        if len(announcements) >= 3:  # the first two: the pass that found the master and the next
            gap = (announcements[2][0] - announcements[1][0]) / BOARD_SECOND
            check(15 < gap < 40, "then every second pass (%.1f board s)" % gap)

        # Queries by name, unicast and broadcast.
        for args, printed in [(["-U", ADDRESS, "KORVEX_12345#20"], "%s KORVEX_12345<20>" % ADDRESS),
                              (["-U", ADDRESS, "KORVEX_12345"], "%s KORVEX_12345<00>" % ADDRESS),
                              (["-B", "192.0.2.255", "KORVEX_12345"], "%s KORVEX_12345<00>" % ADDRESS),
                              (["-U", ADDRESS, "OTHER#20"], "%s OTHER<20>" % ADDRESS)]:
            code, out = lookup(*args)
            check(code == 0 and printed in out, "nmblookup %s prints %s" % (" ".join(args), printed))
        code, out = lookup("-B", "192.0.2.255", "OTHER#20")
        check(code == 1, "nmblookup -B 192.0.2.255 OTHER#20 gets no answer")

        code, out = lookup("-A", ADDRESS)
        lines = [" ".join(line.split()) for line in out.splitlines()]
        expected = ["KORVEX_12345 <20> - B <ACTIVE> <PERMANENT>", "KORVEX_12345 <00> - B <ACTIVE> <PERMANENT>",
                    "KORVEX_12345 <03> - B <ACTIVE> <PERMANENT>", "WORKGRP <f0> - <GROUP> B <ACTIVE>",
                    "__SAMBA__ <20> - B <ACTIVE>", "__SAMBA__ <00> - B <ACTIVE>", "MAC Address = C0-00-02-32-00-00"]
        check(code == 0 and all(e in lines for e in expected), "nmblookup -A lists the table:\n" + out)
        result = run("nbtscan", ADDRESS)
        check(any("KORVEX_12345" in line and "<server>" in line for line in result.stdout.splitlines()),
              "nbtscan: KORVEX_12345 <server>:\n" + result.stdout)

        # Defence of the own name; a refreshed name of another station kept.
        answer = run("/usr/bin/python3", "-c", SEND, ADDRESS, name_request(0x1234, 0x29, "KORVEX_12345", 300000, PEER).hex()).stdout.strip()
        reply = bytes.fromhex(answer) if answer != "none" else b""
        check(len(reply) == 62 and reply[2] == 0xAD and reply[3] & 15 == 6 and reply[-4:] == socket.inet_aton(ADDRESS),
              "registration of KORVEX_12345 by %s refused, rcode 6, address %s" % (PEER, ADDRESS))
        answer = run("/usr/bin/python3", "-c", SEND, ADDRESS, name_request(0x1235, 0x48, "PEER", 0, PEER).hex()).stdout.strip()
        reply = bytes.fromhex(answer) if answer != "none" else b""
        check(len(reply) == 62 and reply[2] == 0xAD and struct.unpack(">I", reply[50:54])[0] == 900, "refresh of PEER gets ttl 900")
        code, out = lookup("-U", ADDRESS, "PEER#20")
        check(code == 0 and "%s PEER<20>" % PEER in out, "nmblookup -U %s PEER#20 prints %s PEER<20>" % (ADDRESS, PEER))

        # The lease moved to 192.0.2.60 (the renewal refused): the service answers there.
        lab.stop(server)
        lab.dnsmasq(peer_ns, "peer0", MOVED, MOVED, options=options, extra=["--dhcp-authoritative"],
                    log_name="dnsmasq60.log")
        moved = wait_for(lambda: lookup("-U", MOVED, "KORVEX_12345#20")[0] == 0, 60, step=1)
        code, out = lookup("-U", MOVED, "KORVEX_12345#20")
        check(moved and "%s KORVEX_12345<20>" % MOVED in out, "after the lease moved, nmblookup -U %s prints %s KORVEX_12345<20>"
              % (MOVED, MOVED))
        ADDRESS_NOW[0] = MOVED

        # A refused name: the next change stops that service (its release) before the new name.
        open(lab.path("peer/refuse"), "w").close()
        scpi("SYST:COMM:ETH:NBNS OFF", "SYST:COMM:ETH:NBNS ON")
        check(not os.path.exists(lab.path("peer/refuse")), "the first registration after ON refused")
        count = len(peer.received())
        scpi('SYST:COMM:ETH:IDEN "LAB2"')
        wait_for(lambda: len(peer.requests(5, "LAB2")) >= 1, 20)
        later = [r for r in peer.received()[count:] if r[1] == 137 and len(r[3]) == 68]
        kinds = [((r[3][2] >> 3) & 15, r[3][12:46]) for r in later]
        # The refused service may still register before the change (ON does not wait for it).
        release = (6, encode("KORVEX_12345", 0x20))
        at = kinds.index(release) if release in kinds else len(kinds)
        check(at + 1 < len(kinds) and kinds[at + 1] == (5, encode("LAB2", 0x20))
              and (5, encode("LAB2", 0x20)) not in kinds[:at],
              "a release of KORVEX_12345 before LAB2's first registration")
        check(at < len(later) and struct.unpack(">I", later[at][3][56:60])[0] == 0, "the release has ttl 0")
        count = len(peer.received())
        scpi("SYST:COMM:ETH:NBNS OFF")
        check(wait_for(lambda: len(peer.requests(6, "LAB2")) >= 1, 10), "NBNS OFF releases LAB2")
        code, out = lookup("-U", MOVED, "LAB2#20")
        check(code == 1, "nmblookup -U %s LAB2#20 gets no answer" % MOVED)

        lab.stop(instrument)
        if failures:
            print(lab.log("fw.log")[-4000:])
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
