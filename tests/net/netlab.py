"""A small network lab for tests: network namespaces named kvx<pid><name>, veth pairs and
bridges between them (IPv6 off everywhere), and processes run inside them.

Everything the lab makes is removed when it closes (with-block, atexit, SIGTERM/SIGINT): its
processes are stopped by PID (terminate, then kill), its namespaces deleted. Namespaces left by
a lab whose process is gone are removed when a new lab starts.

Needs root (ip netns). require_root() exits 77 (skipped) otherwise, 1 under CI=true.
"""
import atexit
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

PREFIX = "kvx"


def require_root():
    if os.geteuid() == 0 and subprocess.call(["ip", "netns", "list"], stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL) == 0:
        return
    print("netlab: needs root and ip netns", file=sys.stderr)
    sys.exit(1 if os.environ.get("CI") == "true" else 77)


def _run(args, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), result.stderr.strip()))
    return result


def _remove_stale():
    listing = _run(["ip", "netns", "list"], check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        match = re.match(r"^%s(\d+)" % PREFIX, name)
        if not match:
            continue
        pid = int(match.group(1))
        if pid == os.getpid():
            continue
        try:
            os.kill(pid, 0)
            continue  # its lab still runs
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        _run(["ip", "netns", "delete", name], check=False)


class NetLab:
    def __init__(self):
        require_root()
        _remove_stale()
        self.prefix = "%s%d" % (PREFIX, os.getpid())
        self.namespaces = []
        self.processes = []
        self.tmp = tempfile.mkdtemp(prefix="netlab-")
        self.closed = False
        atexit.register(self.close)
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, self._on_signal)

    def _on_signal(self, signum, _frame):
        self.close()
        sys.exit(128 + signum)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    # ---- topology ----
    def namespace(self, name):
        """A new namespace kvx<pid><name>, loopback up, IPv6 off; returns its full name."""
        full = self.prefix + name
        _run(["ip", "netns", "add", full])
        self.namespaces.append(full)
        self.sysctl(full, "net.ipv6.conf.all.disable_ipv6", "1")
        self.sysctl(full, "net.ipv6.conf.default.disable_ipv6", "1")
        _run(["ip", "-n", full, "link", "set", "lo", "up"])
        return full

    def sysctl(self, ns, key, value):
        _run(["ip", "netns", "exec", ns, "sysctl", "-qw", "%s=%s" % (key, value)])

    def veth(self, ns_a, if_a, ns_b, if_b, up=True):
        """A veth pair: if_a in ns_a, if_b in ns_b."""
        _run(["ip", "link", "add", if_a, "netns", ns_a, "type", "veth", "peer", "name", if_b, "netns", ns_b])
        if up:
            self.up(ns_a, if_a)
            self.up(ns_b, if_b)

    def bridge(self, ns, name):
        _run(["ip", "-n", ns, "link", "add", name, "type", "bridge"])
        self.up(ns, name)

    def attach(self, ns, ifname, bridge):
        _run(["ip", "-n", ns, "link", "set", ifname, "master", bridge])

    def up(self, ns, ifname):
        _run(["ip", "-n", ns, "link", "set", ifname, "up"])

    def down(self, ns, ifname):
        _run(["ip", "-n", ns, "link", "set", ifname, "down"])

    def address(self, ns, ifname, cidr):
        _run(["ip", "-n", ns, "addr", "add", cidr, "dev", ifname])

    def ip(self, ns, *args):
        """Output of `ip -n ns args`."""
        return _run(["ip", "-n", ns] + list(args)).stdout

    # ---- processes ----
    def start(self, ns, args, log_name=None, **popen):
        """Starts args in ns; its output goes to a log file of the lab when log_name is given."""
        if log_name is not None:
            log = open(os.path.join(self.tmp, log_name), "wb")
            popen.setdefault("stdout", log)
            popen.setdefault("stderr", subprocess.STDOUT)
        process = subprocess.Popen(["ip", "netns", "exec", ns] + list(args), **popen)
        self.processes.append(process)
        return process

    def run(self, ns, args, timeout=60, check=False):
        return subprocess.run(["ip", "netns", "exec", ns] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout, check=check)

    def log(self, log_name):
        try:
            with open(os.path.join(self.tmp, log_name), "rb") as log:
                return log.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def path(self, name):
        return os.path.join(self.tmp, name)

    def stop(self, process, timeout=10):
        """Stops one process of the lab by its PID."""
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process in self.processes:
            self.processes.remove(process)

    def dnsmasq(self, ns, ifname, first, last, mask="255.255.255.0", lease="2m", options=(), extra=(),
                log_name="dnsmasq.log"):
        """dnsmasq as a DHCP server only, on ifname, logging the DHCP exchange."""
        lease_file = self.path(log_name + ".leases")
        args = ["dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=0", "--interface=" + ifname,
                "--bind-interfaces", "--dhcp-range=%s,%s,%s,%s" % (first, last, mask, lease),
                "--dhcp-leasefile=" + lease_file, "--log-dhcp"]
        args += ["--dhcp-option=" + option for option in options]
        args += list(extra)
        return self.start(ns, args, log_name=log_name)

    def close(self):
        if self.closed:
            return
        self.closed = True
        for process in list(self.processes):
            try:
                self.stop(process)
            except OSError:
                pass
        for ns in reversed(self.namespaces):
            _run(["ip", "netns", "delete", ns], check=False)
        self.namespaces = []
        subprocess.call(["rm", "-rf", self.tmp])


def wait_for(condition, timeout, step=0.2):
    """condition() until true or timeout seconds have passed; its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)
