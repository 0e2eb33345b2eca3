#!/usr/bin/python3
"""vxi11_rate.py [--runner R] [--before R0]... [--client C] [--null-server S] [--count N]
[--server-cpus L] [--client-cpus L]: *IDN? round trips over VXI-11 against korvex-sim and against a
do-nothing rpcgen/libtirpc server, in one run.

Servers run pinned to CPUs 0-3 and the libtirpc client (bench_vxi11_idn) to CPUs 4-7, unless
--server-cpus and --client-cpus give other taskset lists ("0" for both: server and client share
one CPU, as on the board). For each server it prints the round-trip rate of 1 link (and of 8 links with
device_lock against korvex-sim), the server's context switches per query (voluntary and
involuntary, summed over its threads by the client before it closes its links, while the
connection threads still live) and its system calls per query (perf stat, and strace -f, when
present); then the ratio of each korvex-sim's 1-link rate to the null server's. Each --before
measures another korvex-sim build (an older one) the same way in the same run, and its ratio to
the --runner build is printed. Figures only, no threshold.
Runs itself in a network namespace of its own (tests/net/in-netns.sh): port 111 is needed.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "clients"))
import runner_session  # noqa: E402

SERVER_CPUS = "0-3"
CLIENT_CPUS = "4-7"
NULL_PORT = 5025


def run_client(client, host, device, count, links, server_pid=None):
    """The rate and failures of count round trips; with server_pid, also that server's
    (voluntary, involuntary) context switches over them."""
    pid = ["--pid", str(server_pid)] if server_pid is not None else []
    out = subprocess.run(["taskset", "-c", CLIENT_CPUS, client] + pid + [host, device, "*IDN?", str(count),
                          str(links)], capture_output=True, text=True, timeout=600)
    match = re.search(r"rate=(\d+)/s", out.stdout)
    failed = re.search(r"failed=(\d+)", out.stdout)
    switched = re.search(r"server_voluntary=(\d+) server_involuntary=(\d+)", out.stdout)
    if out.returncode != 0 or match is None or (server_pid is not None and switched is None):
        raise RuntimeError("client failed: %s %s" % (out.stdout, out.stderr))
    if server_pid is None:
        return float(match.group(1)), int(failed.group(1))
    return float(match.group(1)), int(failed.group(1)), (int(switched.group(1)), int(switched.group(2)))


def syscalls_perf(pid, client, host, device, count):
    """System calls of the server per query, counted by perf on the syscall tracepoint (it does
    not stop the server at each call as strace does); None when perf cannot count here."""
    if shutil.which("perf") is None:
        return None
    counter = subprocess.Popen(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-p", str(pid)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    try:
        run_client(client, host, device, count, 1)
    finally:
        counter.send_signal(signal.SIGINT)
        err = counter.communicate()[1]
    match = re.search(r"^(\d+),[^,]*,raw_syscalls:sys_enter", err, re.M)
    return int(match.group(1)) / count if match else None


def syscalls_strace(pid, client, host, device, count):
    """System calls of the server per query (strace -c -f on the running server; it slows every
    call down, so the threads' waits overlap differently and the figure comes out higher)."""
    if shutil.which("strace") is None:
        return None
    log = tempfile.NamedTemporaryFile(prefix="vxi11-strace-", delete=False)
    log.close()
    tracer = subprocess.Popen(["strace", "-qq", "-c", "-f", "-o", log.name, "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # attached to every thread
    try:
        run_client(client, host, device, count, 1)
    finally:
        tracer.terminate()
        tracer.wait()
    with open(log.name) as f:
        text = f.read()
    os.unlink(log.name)
    total = re.search(r"^[-\s]*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total", text, re.M)
    # The idle threads' calls in the window are counted too (a few hundred a second).
    return int(total.group(1)) / count if total else None


def measure(name, pid, client, host, device, count, links_list):
    run_client(client, host, device, 200, 1)  # warm up
    rates = {}
    for links in links_list:
        rate, failed, switched = run_client(client, host, device, count, links, pid)
        rates[links] = rate
        per = [n / count for n in switched]
        print("%-12s links=%d  %8.0f queries/s  failed=%d  ctx switches/query: %.2f voluntary, "
              "%.2f involuntary" % (name, links, rate, failed, per[0], per[1]))
    calls = syscalls_perf(pid, client, host, device, count)
    if calls is not None:
        print("%-12s links=1  %.1f syscalls/query (perf stat, all threads)" % (name, calls))
    calls = syscalls_strace(pid, client, host, device, max(count // 10, 500))
    if calls is not None:
        print("%-12s links=1  %.1f syscalls/query (strace -f, all threads)" % (name, calls))
    sys.stdout.flush()
    return rates[1]


def wait_ready(client, host, device, process, timeout_s=60.0):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("server ended")
        out = subprocess.run([client, host, device, "*IDN?", "1", "1"], capture_output=True, text=True)
        if out.returncode == 0 and "failed=0" in out.stdout:
            return
        time.sleep(0.2)
    raise RuntimeError("no VXI-11 server within %.0f s" % timeout_s)


def measure_runner(name, runner, client, count):
    state = tempfile.mkdtemp(prefix="korvex-rate-")
    log = open(os.path.join(state, "runner.out"), "wb")
    sim = subprocess.Popen(["taskset", "-c", SERVER_CPUS, runner, "--state", os.path.join(state, "state")],
                           stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_ready(client, "127.0.0.1", "inst0", sim)
        return measure(name, sim.pid, client, "127.0.0.1", "inst0", count, (1, 8))
    finally:
        sim.terminate()
        sim.wait()
        log.close()
        shutil.rmtree(state, ignore_errors=True)


def main():
    global SERVER_CPUS, CLIENT_CPUS
    runner_session.in_namespace_or_reexec()
    build = os.path.join(ROOT, "build")
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", default=os.path.join(build, "korvex-sim"))
    parser.add_argument("--before", action="append", default=[],
                        help="another korvex-sim (an older build) measured in the same run; may repeat")
    parser.add_argument("--client", default=os.path.join(build, "tests", "engine", "vxi11", "bench_vxi11_idn"))
    parser.add_argument("--null-server", default=os.path.join(build, "tests", "engine", "vxi11",
                                                              "vxi11_null_server"))
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--server-cpus", default=SERVER_CPUS, help="taskset CPU list of the servers")
    parser.add_argument("--client-cpus", default=CLIENT_CPUS, help="taskset CPU list of the client")
    args = parser.parse_args()
    SERVER_CPUS, CLIENT_CPUS = args.server_cpus, args.client_cpus
    print("servers on CPUs %s, client on CPUs %s" % (SERVER_CPUS, CLIENT_CPUS))

    names = ["before" if len(args.before) == 1 else "before%d" % (i + 1) for i in range(len(args.before))]
    for name, runner in zip(names, args.before):
        print("%-12s %s" % (name, runner))
    befores = [measure_runner(name, runner, args.client, args.count) for name, runner in zip(names, args.before)]
    korvex = measure_runner("korvex-sim", args.runner, args.client, args.count)

    null = subprocess.Popen(["taskset", "-c", SERVER_CPUS, args.null_server, str(NULL_PORT)],
                            stdout=subprocess.PIPE, text=True)
    try:
        null.stdout.readline()
        host = "127.0.0.1:%d" % NULL_PORT
        wait_ready(args.client, host, "inst0", null)
        reference = measure("rpcgen-null", null.pid, args.client, host, "inst0", args.count, (1,))
    finally:
        null.terminate()
        null.wait()
    for name, before in zip(names, befores):
        print("ratio %s / rpcgen-null (1 link): %.2f" % (name, before / reference))
    print("ratio korvex-sim / rpcgen-null (1 link): %.2f" % (korvex / reference))
    for name, before in zip(names, befores):
        print("ratio korvex-sim / %s (1 link): %.2f" % (name, korvex / before))
    return 0


if __name__ == "__main__":
    sys.exit(main())
