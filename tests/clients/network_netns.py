"""network_netns.py KORVEX_SIM SCENARIO: the firmware on a Linux interface (--netif) in a
network namespace of tests/net/netlab.py, checked from a peer namespace with dnsmasq,
pyvisa-py, rpcinfo, arping and tests/net/arp_peer.py.

Scenarios:
  lease      DHCP lease from dnsmasq, its renewal, then a lost lease (NAK) and a new address
  static     a fixed address set over VXI-11, back to DHCP, restarts while a link is busy
  linklocal  no DHCP server: a link-local address, its probes and announcements, its defence,
             and a new address after a conflict
  bridge     two instruments with the same first candidate on one bridge keep two addresses
  hostile    a scripted DHCP server offering or acknowledging unusable addresses (link-local
             ones among them) and masks, and
             an address another station holds (declined); a server with nothing usable ends in
             link-local; then dnsmasq refuses a renewal and falls silent: eth0 goes down with
             ethernet_active, and comes back link-local (one runner, 4x board ticks)
"""
import json
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "net"))
from netlab import NetLab, wait_for  # noqa: E402

DNSMASQ_OPTIONS = ["option:router,192.0.2.1", "option:dns-server,192.0.2.53", "option:domain-name,lab.test",
                   "option:T1,20", "option:T2,40"]

QUERY = r"""
import sys, pyvisa
rm = pyvisa.ResourceManager('@py')
i = rm.open_resource('TCPIP::%s::inst0::INSTR' % sys.argv[1])
i.timeout = 10000
i.read_termination = '\n'
i.write_termination = '\n'
for command in sys.argv[2:]:
    if command.endswith('?'):
        print(i.query(command))
    else:
        i.write(command)
        print(i.query('*OPC?'))
i.close()
"""

# *IDN? in a loop on its own link, opening a new one whenever the link breaks.
IDN_LOOP = r"""
import sys, time, pyvisa
rm = pyvisa.ResourceManager('@py')
while True:
    try:
        i = rm.open_resource('TCPIP::%s::inst0::INSTR' % sys.argv[1])
        i.timeout = 5000
        i.read_termination = '\n'
        i.write_termination = '\n'
        while True:
            i.query('*IDN?')
    except Exception:
        time.sleep(0.1)
"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


class Instrument:
    def __init__(self, lab, ns, ifname, runner, name="fw", extra=()):
        self.lab, self.ns, self.name = lab, ns, name
        self.log_name = name + ".log"
        self.process = lab.start(ns, [runner, "--state", lab.path(name + "-state"), "--netif", ifname] + list(extra),
                                 log_name=self.log_name)

    def log(self):
        return self.lab.log(self.log_name)

    def addresses(self):
        return re.findall(r"inet (\d+\.\d+\.\d+\.\d+)/(\d+)", self.lab.ip(self.ns, "-4", "addr", "show", "scope",
                                                                          "global"))


def query(lab, ns, address, *commands, timeout=40):
    """Replies of commands sent over VXI-11 from ns; None when no session answered in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        r = lab.run(ns, ["/usr/bin/python3", "-c", QUERY, address] + list(commands), timeout=60)
        if r.returncode == 0:
            return r.stdout.split()
        time.sleep(0.5)
    return None


def peer_lab(runner):
    lab = NetLab()
    fw = lab.namespace("fw")
    peer = lab.namespace("peer")
    lab.veth(fw, "fw0", peer, "peer0")
    return lab, fw, peer


def dnsmasq(lab, peer, first="192.0.2.50", extra=(), log_name="dnsmasq.log"):
    return lab.dnsmasq(peer, "peer0", first, first, lease="2m", options=DNSMASQ_OPTIONS, extra=extra,
                       log_name=log_name)


def lease(runner):
    lab, fw, peer = peer_lab(runner)
    with lab:
        lab.address(peer, "peer0", "192.0.2.1/24")
        server = dnsmasq(lab, peer)
        inst = Instrument(lab, fw, "fw0", runner)
        check(wait_for(lambda: ("192.0.2.50", "24") in inst.addresses(), 15), "leased 192.0.2.50/24 within 15 s")
        leased_at = time.monotonic()
        check("default via 192.0.2.1" in lab.ip(fw, "-4", "route"), "default route via 192.0.2.1")
        replies = query(lab, peer, "192.0.2.50", "SYST:COMM:ETH:ADDR?", "SYST:COMM:ETH:MASK?", "SYST:COMM:ETH:GAT?",
                        "SYST:COMM:ETH:DNSS?", "SYST:COMM:ETH:DOM?")
        check(replies == ["192.0.2.50", "255.255.255.0", "192.0.2.1", "192.0.2.53", "lab.test"],
              "ADDR? MASK? GAT? DNSS? DOM? over the lease: %s" % replies)
        rpc = lab.run(peer, ["rpcinfo", "-p", "192.0.2.50"])
        check(re.search(r"^\s*395183\s", rpc.stdout, re.M) is not None, "rpcinfo -p lists 395183")
        renewed = wait_for(lambda: lab.log("dnsmasq.log").count("DHCPACK(peer0)") >= 2, 35)
        after = time.monotonic() - leased_at
        check(renewed and 15 <= after <= 30, "dnsmasq acknowledges the renewal near 20 s (%.1f s)" % after)
        check(inst.log().count("Starting the TCP/IP SCPI module") == 1, "one start of the TCP/IP SCPI module")

        # dnsmasq again, authoritative, with only 192.0.2.60: it refuses the renewal.
        lab.stop(server)
        dnsmasq(lab, peer, "192.0.2.60", extra=["--dhcp-authoritative"], log_name="dnsmasq60.log")
        check(wait_for(lambda: ("192.0.2.60", "24") in inst.addresses(), 30), "leased 192.0.2.60 after the NAK")
        replies = query(lab, peer, "192.0.2.60", "SYST:COMM:ETH:ADDR?")
        check(replies == ["192.0.2.60"], "ADDR? over 192.0.2.60: %s" % replies)
        check("DHCPNAK" in lab.log("dnsmasq60.log"), "the renewal was refused")
        check("Sanitizer" not in inst.log(), "no sanitizer report")


def static(runner):
    lab, fw, peer = peer_lab(runner)
    with lab:
        lab.address(peer, "peer0", "192.0.2.1/24")
        dnsmasq(lab, peer)
        inst = Instrument(lab, fw, "fw0", runner)
        check(wait_for(lambda: ("192.0.2.50", "24") in inst.addresses(), 15), "leased 192.0.2.50")
        replies = query(lab, peer, "192.0.2.50", 'SYST:COMM:ETH:ADDR "192.0.2.77"', 'SYST:COMM:ETH:MASK "255.255.255.0"',
                        'SYST:COMM:ETH:BRO "192.0.2.255"', 'SYST:COMM:ETH:GAT "192.0.2.1"',
                        'SYST:COMM:ETH:DNSS "192.0.2.53"', "SYST:COMM:ETH:REST;*OPC?")
        check(replies is not None, "fixed address set over the lease")
        check(wait_for(lambda: ("192.0.2.77", "24") in inst.addresses(), 15), "ip shows 192.0.2.77/24")
        replies = query(lab, peer, "192.0.2.77", "SYST:COMM:ETH:ADDR?", "SYST:COMM:ETH:AUTO?")
        check(replies == ["192.0.2.77", "0"], "ADDR? AUTO? over 192.0.2.77: %s" % replies)
        query(lab, peer, "192.0.2.77", "SYST:COMM:ETH:ADDR AUTO", "SYST:COMM:ETH:REST;*OPC?")
        check(wait_for(lambda: ("192.0.2.50", "24") in inst.addresses(), 15), "leased again after ADDR AUTO")

        # Three restarts while another link loops *IDN?.
        before = lab.log("dnsmasq.log")
        idn_loop = lab.start(peer, ["/usr/bin/python3", "-c", IDN_LOOP, "192.0.2.50"], log_name="idn.log")
        def since(text):
            return lab.log("dnsmasq.log")[len(before):].count(text)

        for n in range(3):
            query(lab, peer, "192.0.2.50", "SYST:COMM:ETH:REST;*OPC?")
            # The next restart comes once this one's lease is back (a restart without a lease
            # has nothing to release).
            wait_for(lambda: since("DHCPACK(peer0)") >= n + 1, 15)
            wait_for(lambda: ("192.0.2.50", "24") in inst.addresses(), 15)
        lab.stop(idn_loop)
        check(wait_for(lambda: since("DHCPACK(peer0)") >= 3, 15), "a DHCPACK for each restart")
        check(wait_for(lambda: since("DHCPRELEASE(peer0)") >= 3, 15), "a DHCPRELEASE for each restart")
        check(query(lab, peer, "192.0.2.50", "SYST:COMM:ETH:ADDR?") == ["192.0.2.50"], "answers after the restarts")
        check("Sanitizer" not in inst.log(), "no sanitizer report")


def arp_frames(path):
    frames = []
    try:
        with open(path) as f:
            for line in f:
                t, op, sha, spa, tpa = line.split()
                frames.append((float(t), int(op), sha, spa, tpa))
    except OSError:
        pass
    return frames


def linklocal_address(inst):
    found = [a for a, prefix in inst.addresses() if a.startswith("169.254.") and prefix == "16"]
    return found[0] if found else None


def linklocal(runner):
    lab, fw, peer = peer_lab(runner)
    with lab:
        lab.address(peer, "peer0", "169.254.255.9/16")
        record = lab.path("arp.txt")
        lab.start(peer, ["/usr/bin/python3", os.path.join(HERE, "..", "net", "arp_peer.py"), "peer0",
                         "169.254.255.9", record], log_name="arp_peer.log")
        inst = Instrument(lab, fw, "fw0", runner)
        check(wait_for(lambda: linklocal_address(inst), 45), "a link-local address within 45 s")
        x = linklocal_address(inst)
        replies = query(lab, peer, x, "SYST:COMM:ETH:ADDR?", "SYST:COMM:ETH:MASK?", "SYST:COMM:ETH:BRO?")
        check(replies == [x, "255.255.0.0", "169.254.255.255"], "published %s: %s" % (x, replies))
        frames = [f for f in arp_frames(record) if f[4] == x]
        probes = [f for f in frames if f[3] == "0.0.0.0"]
        announcements = [f for f in frames if f[3] == x]
        check(len(probes) == 3 and len(announcements) == 3, "3 probes, then 3 announcements (%d, %d)" %
              (len(probes), len(announcements)))
        if len(announcements) == 3 and probes:
            gaps = [announcements[i + 1][0] - announcements[i][0] for i in range(2)]
            check(all(1.8 <= g <= 2.2 for g in gaps), "announcements 2.0 +- 0.2 s apart: %s" % gaps)
            check(probes[-1][0] < announcements[0][0], "probes before announcements")

        arping = lab.run(peer, ["arping", "-D", "-c", "2", "-w", "3", "-I", "peer0", x])
        check(arping.returncode == 1, "arping -D finds %s taken (exit %d)" % (x, arping.returncode))
        check(linklocal_address(inst) == x, "the address is kept after the probe")

        lab.address(peer, "peer0", x + "/16")
        lab.run(peer, ["arping", "-U", "-c", "2", "-I", "peer0", "-s", x, x])
        check(wait_for(lambda: linklocal_address(inst) not in (None, x), 45), "another address after the conflict")
        y = linklocal_address(inst)
        replies = query(lab, peer, y, "SYST:COMM:ETH:ADDR?") if y else None
        check(replies == [y], "published %s: %s" % (y, replies))
        check("Sanitizer" not in inst.log(), "no sanitizer report")


def bridge(runner):
    lab = NetLab()
    with lab:
        switch = lab.namespace("sw")
        a = lab.namespace("a")
        b = lab.namespace("b")
        lab.bridge(switch, "br0")
        lab.veth(a, "fw0", switch, "pa")
        lab.veth(b, "fw0", switch, "pb")
        lab.attach(switch, "pa", "br0")
        lab.attach(switch, "pb", "br0")
        first = Instrument(lab, a, "fw0", runner, name="a", extra=["--tick-us", "2500"])
        check(wait_for(lambda: linklocal_address(first), 30), "A takes a link-local address")
        x = linklocal_address(first)
        second = Instrument(lab, b, "fw0", runner, name="b", extra=["--tick-us", "2500", "--mac", "06:4c:56:00:30:39"])
        check(wait_for(lambda: linklocal_address(second), 30), "B takes a link-local address")
        y = linklocal_address(second)
        check(y is not None and y != x, "B holds another address (%s, %s)" % (x, y))
        time.sleep(3)
        check(linklocal_address(first) == x and linklocal_address(second) == y, "both keep theirs")
        check("Sanitizer" not in first.log() + second.log(), "no sanitizer report")


# Each case: the unusable answer first ("offer" or "ack": which message carries it, its
# address and mask), then the sound address the instrument must end with.
HOSTILE = [
    ("offer", "0.0.0.0", "255.255.255.0", "192.0.2.50"),
    ("offer", "224.0.0.1", "255.255.255.0", "192.0.2.51"),
    ("ack", "255.255.255.255", "255.255.255.0", "192.0.2.52"),
    ("ack", "127.0.0.1", "0.0.0.0", "192.0.2.53"),
    ("offer", "240.0.0.1", "255.255.255.0", "192.0.2.54"),
    ("ack", "192.0.2.0", "255.255.255.0", "192.0.2.55"),
    ("offer", "192.0.2.255", "255.255.255.0", "192.0.2.56"),
    ("ack", "192.0.2.57", "0.0.0.0", "192.0.2.57"),
    ("offer", "192.0.2.58", "255.0.255.0", "192.0.2.58"),
    ("offer", "169.254.1.2", "255.255.0.0", "192.0.2.61"),
    ("ack", "169.254.3.4", "255.255.0.0", "192.0.2.62"),
]
LOG_LINE = r"(?m)^\d+\.\d{3} "


def restart_network(lab, ns, address):
    """SYST:COMM:ETH:REST sent once over address; its reply may be lost with the interface."""
    lab.run(ns, ["/usr/bin/python3", "-c", QUERY, address, "SYST:COMM:ETH:REST;*OPC?"], timeout=30)


def idn(lab, ns, address):
    replies = query(lab, ns, address, "*IDN?", timeout=20)
    return replies is not None and " ".join(replies).count(",") == 3


def hostile(runner):
    lab, fw, peer = peer_lab(runner)
    with lab:
        lab.address(peer, "peer0", "192.0.2.1/24")
        lab.address(peer, "peer0", "169.254.255.9/16")
        plan = []
        for where, bad, mask, good in HOSTILE:
            good_answer = [good, "255.255.255.0"]
            if where == "offer":
                plan.append({"offer": [[bad, mask], good_answer], "ack": ["requested"]})
            else:
                plan.append({"offer": [good_answer], "ack": [[bad, mask], good_answer]})
        # The server's own address, in use on the link: declined, then a new DISCOVER.
        plan.append({"offer": [["192.0.2.1", "255.255.255.0"]], "ack": [["192.0.2.1", "255.255.255.0"]]})
        plan.append({"offer": [["192.0.2.59", "255.255.255.0"]], "ack": [["192.0.2.59", "255.255.255.0"]]})
        # A lease whose router is off its subnet, which eth0 cannot take: link-local.
        off = ["192.0.2.60", "255.255.255.0", "10.9.9.9"]
        plan.append({"offer": [off], "ack": [off]})
        # Nothing usable at all: link-local.
        plan.append({"offer": [["224.0.0.1", "255.255.255.0"]], "ack": [None]})
        with open(lab.path("plan.json"), "w") as f:
            json.dump(plan, f)
        server = lab.start(peer, ["/usr/bin/python3", os.path.join(HERE, "..", "net", "dhcp_peer.py"), "peer0",
                                  "192.0.2.1", lab.path("plan.json"), lab.path("dhcp.txt")], log_name="dhcp_peer.log")
        inst = Instrument(lab, fw, "fw0", runner, extra=["--tick-us", "2500"])
        seen = set()

        def holds(address):
            seen.update(inst.addresses())
            return (address, "24") in inst.addresses()

        cases = [(bad + "/" + mask + " in the " + where, good) for where, bad, mask, good in HOSTILE]
        cases.append(("192.0.2.1, in use", "192.0.2.59"))
        before = None
        for what, good in cases:
            seen.clear()
            took = wait_for(lambda: holds(good), 20)
            # Nothing but the sound address (and the last case's, until the restart removes it).
            sound = seen <= {(good, "24"), (before, "24")}
            check(took and sound and idn(lab, peer, good), "%s: ignored, *IDN? over %s %s" % (what, good, sorted(seen)))
            restart_network(lab, peer, good)
            before = good
        requests = lab.log("dhcp.txt")
        check("DECLINE 192.0.2.1" in requests, "192.0.2.1 declined")
        unusable = [bad for where, bad, _, _ in HOSTILE if where == "offer" and bad != "192.0.2.58"]
        check(not any("REQUEST %s\n" % bad in requests for bad in unusable), "no unusable offer requested")

        def korvex_log():
            with open(lab.path("fw-state/korvex.log"), errors="replace") as f:
                return f.read()

        check(wait_for(lambda: linklocal_address(inst), 30) and "eth0 cannot take the lease" in korvex_log(),
              "router off the subnet: a link-local address")
        x = linklocal_address(inst)
        check(x is not None and idn(lab, peer, x), "*IDN? over %s" % x)
        mark = len(korvex_log())
        if x is not None:
            restart_network(lab, peer, x)
        # The probing's end is logged before eth0 takes the address: wait for both.
        check(wait_for(lambda: "IPv4LL: link-local probing ends" in korvex_log()[mark:] and linklocal_address(inst), 30),
              "nothing usable: a link-local address")
        x = linklocal_address(inst)
        check(x is not None and idn(lab, peer, x), "*IDN? over %s" % x)
        log = korvex_log()[mark:]
        gave_up = re.search(LOG_LINE + r"DHCP: .*the DHCP client gives up", log)
        starts = re.search(LOG_LINE + r"IPv4LL: link-local probing starts", log)
        ends = re.search(LOG_LINE + r"IPv4LL: link-local probing ends: " + re.escape(str(x)), log)
        check(gave_up and starts and ends and gave_up.start() < starts.start() < ends.start(),
              "korvex.log: DHCP gives up, link-local probing starts, ends with %s" % x)

        # dnsmasq leases 192.0.2.70; then one with only 192.0.2.71, held by another host,
        # refuses the renewal and answers no DISCOVER.
        lab.stop(server)
        dnsmasq(lab, peer, "192.0.2.70", log_name="dnsmasq70.log")
        if x is not None:
            restart_network(lab, peer, x)
        check(wait_for(lambda: ("192.0.2.70", "24") in inst.addresses(), 30), "leased 192.0.2.70 from dnsmasq")
        lab.stop(lab.processes[-1])
        with open(lab.path("dnsmasq71.log.leases"), "w") as f:
            f.write("%d 02:00:00:00:00:99 192.0.2.71 other *\n" % (time.time() + 3600))
        before = len(inst.log())
        dnsmasq(lab, peer, "192.0.2.71", extra=["--dhcp-authoritative"], log_name="dnsmasq71.log")
        check(wait_for(lambda: "DHCPNAK" in lab.log("dnsmasq71.log"), 30), "dnsmasq refuses the renewal")
        check(wait_for(lambda: linklocal_address(inst), 30), "a link-local address after the lost lease")
        y = linklocal_address(inst)
        check(y is not None and idn(lab, peer, y), "*IDN? over %s" % y)
        after = inst.log()[before:]
        lost = after.find("lease lost")
        stopped = after.find("Stopping TCP/IP SCPI module.", max(lost, 0))
        probing = after.find("IPv4LL: link-local probing starts", max(lost, 0))
        if not check(0 <= lost < stopped < probing, "the TCP/IP module stops with eth0, before link-local probing"):
            print("\n".join(line for line in after.splitlines()
                            if "_DispatchCommand" not in line and "Acquisition::Clear" not in line)[-3000:])
        check("no address available" in lab.log("dnsmasq71.log"), "dnsmasq kept silent on the DISCOVER")
        check("Sanitizer" not in inst.log(), "no sanitizer report")


def main():
    runner, scenario = sys.argv[1], sys.argv[2]
    {"lease": lease, "static": static, "linklocal": linklocal, "bridge": bridge, "hostile": hostile}[scenario](runner)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
