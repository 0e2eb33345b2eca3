#!/usr/bin/python3
"""runner_checks.py RUNNER [field]: the runner as a newcomer meets it, driven from outside.

Without "field": --help and -h, an unknown option, a second start on a state folder in use (also
after a restart, which keeps the process name), --usb-socket on a socket another runner serves
(refused, the holder named) and on an old socket file (replaced), the control socket's help,
state and fault listing, the NMR path (nmr 0, 2 and 3 leave the probe without signal: MEAS:FLUX?
fails, error 204, or 205 when the topology monitor saw the change first), and boots with a
LastPowerOff.xml of 200 000 extra elements and one of 20 MiB (both refused unread, the factory
settings start about as fast as a normal boot; SIGTERM right after the start stops the
firmware), and SIGTERM or SIGINT from right after the exec on: exit 0 with the settings saved.
With "field": --field outside the probe's range is refused at the start with the range (exit 2);
one inside it, and each bound the refusal prints, is measured.
With "messages": what the runner says, by its text, on standard error and in korvex.log with the
time prefix: a bad option in one line, a topology file's bad line, --usb-socket in a missing
folder, a state folder of another user (root's, started as nobody), port 111 out of reach (and
no portmapper banner) or held by something that is no portmapper, a --bind address this host
lacks, a second instrument in the namespace; and the NetBIOS service's bind failures (why,
what to do); --tick-us 1000 measures, --dsp-refuse-boot's retries do not flood the log, one
SIGINT ends a firmware stopped by *RST without boot monitor and says so, --quiet keeps the
terminal to problems (a settings value out of range, a VXI-11 link to a device not served).
Runs itself in a network namespace (tests/net/in-netns.sh) for the portmapper port; exit status
77 when no namespace can be made.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPTIONS = ["--state", "--bind", "--boot-condition", "--tick-us", "--no-bootmon", "--topology",
           "--field", "--measurement-time", "--dsp-refuse-boot", "--quiet", "--help"]
STATE_FIELDS = ["power", "update-mode", "watchdog-ticks", "boot-condition", "keep-alives",
                "temperature", "button", "nmr", "ain0", "plugged", "faults"]
COMMANDS = ["adc", "button", "fault", "hang", "help", "nmr", "plug", "state", "temp", "unplug"]
FAULTS = ["badcheck", "nack", "refuse", "neverready", "zerodata", "route6", "shortentry", "pending"]
NO_SIGNAL = ("", '204,"Data not all available"')


Failure = runner_session.Failure
check = runner_session.check


def errors(inst):
    """Every queued error, oldest first, up to 0."""
    found = []
    while True:
        reply = inst.query("SYST:ERR?").strip()
        if reply.startswith("0,"):
            return found
        found.append(reply)


def measure(inst):
    reply = inst.query("MEAS:FLUX?").strip()
    return reply, errors(inst)


def help_and_options(program):
    long = subprocess.run([program, "--help"], capture_output=True, timeout=30)
    short = subprocess.run([program, "-h"], capture_output=True, timeout=30)
    text = long.stdout.decode()
    check(long.returncode == 0 and short.returncode == 0, "--help and -h exit 0")
    check(short.stdout == long.stdout and text, "-h prints what --help prints")
    for option in OPTIONS:
        check(re.search(r"^  %s\b.*\S" % re.escape(option), text, re.M) is not None,
              "--help has a line for %s" % option)
    for part in ["Boot conditions", "SIGINT", "SIGTERM", "Exit codes"]:
        check(part in text, "--help names %s" % part)
    refusing = re.search(r"^  --dsp-refuse-boot\b(.*\n {20,}.*)*", text, re.M).group(0)
    check("keeps retrying the DSP boot" in refusing and "VXI-11 and the USB device do not come up" in refusing,
          "--help: what the firmware does with --dsp-refuse-boot (%r)" % refusing)
    for args, line in [(["--no-such-option"], "korvex-sim: unknown option --no-such-option; see --help"),
                       (["--tick-us", "fast"], "korvex-sim: bad value 'fast' for --tick-us N; see --help"),
                       (["--state"], "korvex-sim: --state needs a value (--state DIR); see --help"),
                       (["--netif", "nosuch0"],
                        "korvex-sim: --netif nosuch0: no such interface in this network namespace; create it "
                        "here (ip link add nosuch0 ...) or move it into this namespace (ip link set nosuch0 "
                        "netns NAMESPACE)")]:
        bad = subprocess.run([program] + args, capture_output=True, timeout=30)
        check(bad.returncode == 2 and bad.stderr.decode() == line + "\n" and not bad.stdout,
              "%s: exit 2 and one line: %s (%d, %r)" % (" ".join(args), line, bad.returncode, bad.stderr))


def control_socket(state):
    answer = runner_session.control(state, "help")
    check(answer.startswith("OK"), "help answers OK")
    for command in COMMANDS:
        check(re.search(r"(: | \| )%s\b" % command, answer) is not None, "help lists %s" % command)
    check("nmr 0|1|2|3" in answer and "plug <path>" in answer, "help gives the arguments")
    answer = runner_session.control(state, "state")
    fields = dict(f.split("=", 1) for f in answer.split()[1:])
    for name in STATE_FIELDS:
        check(name in fields, "state has %s= (%s)" % (name, answer))
    check(fields["nmr"] == "1" and fields["ain0"] == "790" and fields["plugged"] == "1:probe",
          "state: an intact path with the default probe on the socket")
    for line, start in [("fault", "OK"), ("fault nosuch 1", "ERR")]:
        answer = runner_session.control(state, line)
        check(answer.startswith(start) and all(f in answer for f in FAULTS),
              "'%s' answers %s with the fault names (%s)" % (line, start, answer))
    answer = runner_session.control(state, "hang")
    check(answer.startswith("OK threads: ") and "KeepAlive Thread" in answer.split(": ", 1)[1].split(" | "),
          "'hang' lists the threads (%s)" % answer)
    check(runner_session.control(state, "fault nack 3") == "OK", "fault nack 3")
    check("faults=nack:3" in runner_session.control(state, "state"), "state shows the armed fault")
    check(runner_session.control(state, "fault nack 0") == "OK", "fault nack 0 disarms it")


def nmr_path(inst, state):
    check(measure(inst) == ("1.500000 T", []), "MEAS:FLUX? on an intact path: 1.500000 T")
    # Whether the topology monitor has seen the path change (the measurement is refused or
    # aborted: 205) or not (the search finds nothing: 204), the measurement fails.
    failures = {'204,"Data not all available"', '205,"Topology Changed"'}
    for level in ["0", "2", "3"]:
        check(runner_session.control(state, "nmr " + level) == "OK", "nmr " + level)
        reply, queued = measure(inst)
        check(reply == NO_SIGNAL[0] and queued and set(queued) <= failures,
              "nmr %s: MEAS:FLUX? fails, no 1.5 T (%r, %s)" % (level, reply, queued))
    check(runner_session.control(state, "nmr 1") == "OK", "nmr 1")
    # The topology monitor sees the path come back on its own schedule: a measurement that
    # it interrupts (205) is taken again.
    for _ in range(5):
        reply, _ = measure(inst)
        if reply == "1.500000 T":
            break
        time.sleep(0.5)
    check(reply == "1.500000 T", "nmr 1: MEAS:FLUX? measures again (%r)" % reply)


def restart_keeps_the_name(inst, runner):
    """After *RST the process runs on under its own name (pgrep -x korvex-sim finds it)."""
    try:
        inst.write("*RST")  # the instrument may go before it acknowledges
        inst.close()
    except Exception:  # noqa: BLE001 - the link died with the old image
        pass
    inst = runner_session.open_session(runner_session.manager())
    with open("/proc/%d/comm" % runner.process.pid) as f:
        name = f.read().strip()
    check(runner.alive() and name == "korvex-sim", "after *RST the process is named korvex-sim (%s)" % name)
    return inst


def second_start(program, runner, state):
    other = subprocess.run([program, "--state", state], capture_output=True, timeout=60)
    expected = "korvex-sim: state folder %s is in use by process %d; stop process %d or give another --state\n" % (
        state, runner.process.pid, runner.process.pid)
    check(other.returncode == 1, "a second start on the folder exits 1 (%d)" % other.returncode)
    check(other.stderr.decode() == expected, "it says in one line: %s(%r)" % (expected, other.stderr))
    check(runner.alive() and os.path.exists(os.path.join(state, "board.sock")),
          "the first runs on, its control socket in place")


def usb_socket_in_use(program, runner):
    """--usb-socket on the socket a live runner serves: refused at the start, exit 1, the holder
    named; the holder keeps serving it. An old socket file that nobody serves is replaced."""
    served = os.path.join(runner.state, "state", "usb.sock")
    folder = tempfile.mkdtemp(prefix="korvex-usb-socket-")
    try:
        other = subprocess.run([program, "--state", os.path.join(folder, "state"), "--usb-socket", served],
                               capture_output=True, timeout=60)
        pid = runner.process.pid
        line = re.escape("korvex-sim: USB socket %s is served by process %d (korvex-sim); stop process %d or give "
                         "another --usb-socket" % (served, pid, pid))
        check(other.returncode == 1, "--usb-socket on a served socket: exit 1 (%d)" % other.returncode)
        told(other.stderr.decode(), line, "--usb-socket on a served socket names the holder")
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(served)
        check(runner.alive(), "the holder runs on, its USB socket served")
        stale = os.path.join(folder, "old.sock")
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(stale)  # closed, the file left: nobody serves it
        replaced = runner_session.Runner(program, ["--usb-socket", stale], log_name="stale.out")
        try:
            check(wait_for(lambda: "USB host on " + stale in replaced.log_text(), 30) and replaced.alive(),
                  "--usb-socket on an old socket file: replaced, served")
        finally:
            replaced.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def boot_time(program, prepare=None):
    """Seconds from start to the first *IDN? answer, on a fresh state folder."""
    runner = None
    try:
        started = time.monotonic()
        if prepare is None:
            runner = runner_session.Runner(program)
        else:
            runner = runner_session.Runner(program, prepare=prepare)
        inst = runner_session.open_session(runner_session.manager())
        took = time.monotonic() - started
        inst.close()
        return took, runner.log_text()
    finally:
        if runner is not None:
            runner.stop()


def settings_with(extra):
    with open(os.path.join(ROOT, "romfs", "factory.xml")) as f:
        factory = f.read()
    head, tail = factory.rsplit("</Branch>", 1)
    return head + extra + "</Branch>" + tail


def write_settings(text):
    def prepare(state):
        folder = os.path.join(state, "yaffs", "settings")
        os.makedirs(folder)
        with open(os.path.join(folder, "LastPowerOff.xml"), "w") as f:
            f.write(text)
    return prepare


def stop_during_load(program, text):
    """SIGTERM while the settings load: the firmware stops (exit 0); the load holds nothing up
    (the stop waits only for the rest of the start, some seconds on a busy machine). The file
    is refused unread within milliseconds, too short a load to aim at from outside: the signal
    goes as soon as the runner blocks it (its first code does), and the power-off it asks for
    is pending while the settings load."""
    runner = runner_session.Runner(program, prepare=write_settings(text))
    try:
        owns_stop_signals(runner, "SIGTERM during the load")
        started = time.monotonic()
        runner.process.terminate()
        code = runner.process.wait(timeout=30)
        took = time.monotonic() - started
        print("SIGTERM once the runner blocks it: stopped after %.2f s" % took)
        check(code == 0 and took < 10.0, "SIGTERM during the load stops the firmware (exit %d)" % code)
    finally:
        runner.stop()


# Stops at instants from the program's first code on into the start (before that the
# dynamic loader runs, which no program can guard), each signal at each instant.
EARLY_STOPS = [(signal.SIGTERM, 0.0), (signal.SIGINT, 0.0), (signal.SIGTERM, 0.002),
               (signal.SIGINT, 0.01), (signal.SIGTERM, 0.03), (signal.SIGTERM, 0.1)]
STOP_SIGNALS = (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGTERM - 1))


def stop_signals_blocked(pid):
    """Whether the process's main thread blocks SIGINT and SIGTERM (/proc's SigBlk)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigBlk:"):
                    return int(line.split()[1], 16) & STOP_SIGNALS == STOP_SIGNALS
    except OSError:
        pass
    return False


def owns_stop_signals(runner, name):
    """Waits until the runner blocks SIGINT and SIGTERM, as its first code does: before that
    the dynamic loader runs (and a sanitizer's run-time starts, a few hundred milliseconds on
    a busy machine), and either signal would end the process by its default action."""
    deadline = time.monotonic() + 30
    while not stop_signals_blocked(runner.process.pid) and runner.alive() and time.monotonic() < deadline:
        pass
    check(stop_signals_blocked(runner.process.pid), name + ": the runner blocks SIGINT and SIGTERM")


def early_stops(program):
    """The runner blocks SIGINT and SIGTERM from its first code on, and either one at any
    instant of the start switches the firmware off with the settings saved (exit 0), never
    by the signal's default action."""
    for signum, delay in EARLY_STOPS:
        name = "%s %.3f s after the start" % (signal.Signals(signum).name, delay)
        runner = runner_session.Runner(program)
        try:
            owns_stop_signals(runner, name)
            time.sleep(delay)
            runner.process.send_signal(signum)
            code = runner.process.wait(timeout=60)
            saved = os.path.exists(os.path.join(runner.state, "state", "yaffs", "settings", "LastPowerOff.xml"))
            check(code == 0 and saved, "%s: exit 0, settings saved (exit %d, saved %s)" % (name, code, saved))
        finally:
            runner.stop()


def big_files(program):
    normal, _ = boot_time(program)
    many = settings_with("".join('<Int32 name="u%d" value="1"/>\n' % i for i in range(200000)))
    stop_during_load(program, many)
    huge = settings_with(" " * (20 << 20))
    for name, text in [("200 000 extra elements", many), ("20 MiB", huge)]:
        took, log = boot_time(program, write_settings(text))
        print("boot with a LastPowerOff.xml of %s: %.2f s (normal boot %.2f s)" % (name, took, normal))
        # Unbounded, the load alone took minutes; the margin is for a busy machine.
        check(took < 2 * normal + 2.0, "a LastPowerOff.xml of %s boots about as fast as a normal boot" % name)
        check("Error in file; deleting" in log, "it is refused, the factory settings start")


PREFIXED = r"^\d+\.\d{3} "


def told(text, line, where):
    """line (a regular expression) is a line of text with the time prefix."""
    if re.search(PREFIXED + line + "$", text, re.M) is None:
        raise Failure("%s: no line matches %s in:\n%s" % (where, line, text[-3000:]))
    print("ok: " + where)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def start_failures(program, folder):
    """Start-up failures: their line on standard error and in korvex.log, and the exit code."""
    topology = os.path.join(folder, "topology.txt")
    with open(topology, "w") as f:
        f.write("1 mux ports=4\n1/2 probe\n1/3 sensor\n")
    missing = os.path.join(folder, "no-such-folder", "usb.sock")
    for args, code, line in [
            (["--topology", topology], 2,
             re.escape("korvex-sim: topology file %s:3: unknown device kind sensor; fix that line" % topology)
             + r" \(.*\)"),
            (["--topology", topology + ".none"], 2,
             re.escape("korvex-sim: cannot read the topology file %s.none: No such file or directory; "
                       "check the path given to --topology" % topology)),
            (["--usb-socket", missing], 1,
             re.escape("korvex-sim: cannot serve the USB host on %s: the folder %s does not exist; make it "
                       "or give --usb-socket a path in an existing folder" % (missing, os.path.dirname(missing))))]:
        state = tempfile.mkdtemp(dir=folder)
        run = subprocess.run([program, "--state", state] + args, capture_output=True, timeout=60)
        check(run.returncode == code, "%s: exit %d (%d)" % (args[0], code, run.returncode))
        told(run.stderr.decode(), line, args[0] + " on standard error")
        told(read(os.path.join(state, "korvex.log")), line, args[0] + " in korvex.log")
        check(run.stderr.decode().count(topology) <= 1, "the file is named once")


def state_not_yours(program, folder):
    """A state folder root made, started by another user (nobody, through setpriv): exit 1, the
    cause and its remedy in one line. Skipped without root or when nobody cannot run the program."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        print("skip: a start as another user needs root and setpriv")
        return
    state = os.path.join(folder, "state")
    os.makedirs(state)
    os.chmod(folder, 0o755)
    run = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "--state", state],
                         capture_output=True, timeout=60)
    if run.stderr.startswith(b"setpriv:"):
        print("skip: nobody cannot run %s (%r)" % (program, run.stderr))
        return
    line = ("korvex-sim: cannot open %s/lock: Permission denied; start as the user that owns %s, or give --state a "
            "folder of your own\n" % (state, state))
    check(run.returncode == 1 and run.stderr.decode() == line, "root's state folder, started as nobody: exit 1 "
          "and one line: %s(%d, %r)" % (line, run.returncode, run.stderr))


def netbios_bind_failure(runner, reason, what):
    """The NetBIOS service's line on standard output (its own, without time prefix)."""
    line = "bind failed on port 137: " + reason + "\n"
    check(wait_for(lambda: line in runner.log_text(), 30), "%s, NetBIOS says why and what to do: %s(%s)"
          % (what, line, runner.log_text()[-2000:]))


def vxi11_failures(program, folder):
    """Port 111 out of reach (no CAP_NET_BIND_SERVICE) or held by something that is no
    portmapper, and a second instrument in the namespace: why VXI-11 is off, what to do (and
    who holds the port), and that USB still works."""
    remedies = re.escape("VXI-11 server start failed: port 111 unavailable (not root, no rpcbind): run as "
                         "root, start rpcbind, or sysctl net.ipv4.ip_unprivileged_port_start=111; USB still "
                         "works (") + r".*/usb\.sock\)"
    drop = ["setpriv", "--bounding-set=-net_bind_service", "--inh-caps=-net_bind_service"]
    first = runner_session.Runner(program, log_name="unprivileged.out", wrapper=drop)
    try:
        log = os.path.join(first.state, "state", "korvex.log")
        wait_for(lambda: "VXI-11 server start failed" in read(log), 30)
        told(read(log), remedies, "without port 111, in korvex.log")
        told(first.log_text(), remedies, "without port 111, on standard error")
        netbios_bind_failure(first, "Permission denied; run as root (or with CAP_NET_BIND_SERVICE), or sysctl "
                                    "net.ipv4.ip_unprivileged_port_start=137", "without port 137")
        check("Portmapper:" not in read(log), "without port 111, no portmapper banner:\n" + read(log)[-3000:])
    finally:
        first.stop()
    # Something that is no portmapper on port 111 (here this program: it takes each
    # connection and closes it).
    holder = socket.socket()
    holder.bind(("127.0.0.1", 111))
    holder.listen()

    def close_each():
        try:
            while True:
                holder.accept()[0].close()
        except OSError:  # shut down
            pass
    threading.Thread(target=close_each, daemon=True).start()
    other = runner_session.Runner(program, log_name="holder.out")
    try:
        log = os.path.join(other.state, "state", "korvex.log")
        wait_for(lambda: "VXI-11 server start failed" in read(log), 30)
        with open("/proc/self/comm") as f:
            me = "process %d (%s)" % (os.getpid(), f.read().strip())
        line = re.escape("VXI-11 server start failed: portmapper gave no usable answer (port 111 held by %s): stop "
                         "it or start this one in a network namespace of its own (unshare -n); USB still works ("
                         % me) + r".*/usb\.sock\)"
        told(read(log), line, "no portmapper on port 111, in korvex.log")
        told(other.log_text(), line, "no portmapper on port 111, on standard error")
    finally:
        other.stop()
        holder.shutdown(socket.SHUT_RDWR)
        holder.close()
    # The test network's 192.0.2.1 is on no interface of this namespace.
    bound = runner_session.Runner(program, ["--bind", "192.0.2.1"], log_name="bind.out")
    try:
        log = os.path.join(bound.state, "state", "korvex.log")
        wait_for(lambda: "VXI-11 server start failed" in read(log), 30)
        line = re.escape("VXI-11 server start failed: cannot listen for the core channel: Cannot assign requested "
                         "address: no interface of this host has 192.0.2.1; give --bind an address this host has "
                         "(ip -4 addr) or leave --bind out; USB still works (") + r".*/usb\.sock\)"
        told(read(log), line, "--bind an address this host lacks, in korvex.log")
        told(bound.log_text(), line, "--bind an address this host lacks, on standard error")
        netbios_bind_failure(bound, "Cannot assign requested address; no interface of this host has 192.0.2.1; "
                                    "give --bind an address this host has (ip -4 addr) or leave --bind out",
                             "--bind an address this host lacks")
    finally:
        bound.stop()
    first = runner_session.Runner(program)
    second = None
    try:
        runner_session.open_session(runner_session.manager()).close()
        second = runner_session.Runner(program, log_name="second.out")
        log = os.path.join(second.state, "state", "korvex.log")
        wait_for(lambda: "VXI-11 server start failed" in read(log), 30)
        pid = first.process.pid
        told(read(log), re.escape("Portmapper: another korvex-sim's on 127.0.0.1:111, process %d" % pid),
             "the banner names the other instrument's portmapper")
        line = (re.escape("VXI-11 server start failed: the core channel's program 395183 is held by process "
                          "%d (korvex-sim) on port " % pid) + r"\d+" +
                re.escape(": another instrument serves VXI-11 in this network namespace; stop it or start "
                          "this one in a network namespace of its own (unshare -n); USB still works (") +
                r".*/usb\.sock\)")
        told(read(log), line, "a second instrument, in korvex.log")
        told(second.log_text(), line, "a second instrument, on standard error")
    finally:
        if second is not None:
            second.stop()
        first.stop()


def board_time(program):
    """--tick-us 1000: the DSP measures in board time, the measurement succeeds."""
    runner = runner_session.Runner(program, ["--tick-us", "1000"])
    try:
        inst = runner_session.open_session(runner_session.manager())
        check(measure(inst) == ("1.500000 T", []), "--tick-us 1000: MEAS:FLUX? gives 1.500000 T, no error")
        inst.close()
    finally:
        runner.stop()


def refused_boot(program):
    """--dsp-refuse-boot: the firmware retries every second; its loop of lines is written twice,
    then each line three times more, the last marked."""
    runner = runner_session.Runner(program, ["--dsp-refuse-boot"])
    try:
        log = os.path.join(runner.state, "state", "korvex.log")
        marked = "DSP code loaded! [repeats: further copies within 10 s only counted]"
        wait_for(lambda: marked in read(log), 30)
        time.sleep(3)  # three more retries, within the 10-s window
        text = read(log)
        check(text.count("DSP code loaded!") == 5 and marked in text,
              "--dsp-refuse-boot: 'DSP code loaded!' five times in korvex.log (%d)" % text.count("DSP code loaded!"))
    finally:
        runner.stop()


def stopped_firmware(program):
    """--no-bootmon: *RST stops the firmware; one SIGINT then switches the board off."""
    runner = runner_session.Runner(program, ["--no-bootmon"])
    try:
        inst = runner_session.open_session(runner_session.manager())
        inst.write("*RST")
        inst.close()
        log = os.path.join(runner.state, "state", "korvex.log")
        check(wait_for(lambda: "Resetting..." in read(log), 20), "*RST without boot monitor: Resetting...")
        runner.process.send_signal(signal.SIGINT)
        try:
            code = runner.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "one SIGINT after *RST without boot monitor: exit 0 (%s)" % code)
        told(read(log).rstrip("\n").rsplit("\n", 1)[-1], "board: switched off",
             "the last line after that SIGINT says the board has stopped")
    finally:
        runner.stop()


def quiet(program):
    """--quiet: no SCPI command lines and none of a sound MEAS:FLUX?'s routine lines (the
    abort steps) on standard error; korvex.log has them. The problems stay: a settings file's
    value out of range (MMEM:LOAD), a VXI-11 link asked for a device not served."""
    runner = runner_session.Runner(program, ["--quiet"])
    try:
        inst = runner_session.open_session(runner_session.manager())
        inst.query("SYST:ERR?")
        check(measure(inst) == ("1.500000 T", []), "--quiet: MEAS:FLUX? gives 1.500000 T, no error")
        inst.write('MMEM:STOR 0,"bad",MEAS')
        inst.query("*OPC?")
        path = os.path.join(runner.state, "state", "yaffs", "settings", "measure_parms", "bad")
        with open(path) as f:
            text = re.sub(r'(<Int32 name="count" value=")\d+', r"\g<1>0", f.read(), count=1)
        with open(path, "w") as f:
            f.write(text)
        inst.write('MMEM:LOAD 0,"/yaffs/settings/measure_parms/bad"')
        inst.query("*OPC?")
        for device in ("inst1", "gpib0,5"):
            try:
                runner_session.manager().open_resource("TCPIP::127.0.0.1::%s::INSTR" % device).close()
            except Exception:  # noqa: BLE001 - pyvisa-py: "error creating link: 21"
                pass
            line = 'CVxi11Registry::CreateLink, no device "%s" here (error 21); this instrument serves inst0' % device
            wait_for(lambda: line in runner.log_text(), 10)
            told(runner.log_text(), re.escape(line), "--quiet: a link to %s names the device served" % device)
        inst.close()
        runner.process.terminate()
        runner.process.wait(timeout=20)
        log = read(os.path.join(runner.state, "state", "korvex.log"))
        check("_DispatchCommand: SYSTem:ERRor" in log and "_DispatchCommand" not in runner.log_text(),
              "--quiet: the command lines in korvex.log, not on standard error (%s)" % runner.log_text())
        routine = ["AbortTrigger()", "asked to abort", "AbortDSP: Aborting", "Message ABORT", "ABORT_ACK"]
        check(all(line in log for line in routine) and not any(line in runner.log_text() for line in routine),
              "--quiet: a MEAS:FLUX?'s abort steps in korvex.log, not on standard error (%s)" % runner.log_text())
        told(runner.log_text(), re.escape("measure_parms/averaging/signal/count out of range; value kept"),
             "--quiet: a loaded settings file's value out of range")
        told(runner.log_text(), re.escape("USB host on ") + ".*", "--quiet: the runner's own lines stay")
        told(runner.log_text(), re.escape("Portmapper: the firmware's own on 127.0.0.1:111"),
             "--quiet: the portmapper banner, once VXI-11 serves")
    finally:
        runner.stop()


def messages(program):
    folder = tempfile.mkdtemp(prefix="korvex-messages-")
    try:
        start_failures(program, folder)
        state_not_yours(program, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    vxi11_failures(program, folder)
    board_time(program)
    refused_boot(program)
    stopped_firmware(program)
    quiet(program)


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    field = len(sys.argv) > 2 and sys.argv[2] == "field"
    runner = None
    try:
        if len(sys.argv) > 2 and sys.argv[2] == "messages":
            messages(program)
        elif field:
            # 21.29-127.73 MHz is 0.50003-2.99994 T: 0.5 T and 3 T lie just outside.
            for value in ["10", "0.5", "3"]:
                runner = runner_session.Runner(program, ["--field", value])
                code = runner.process.wait(timeout=60)
                line = ("korvex-sim: --field %s is outside the range of the probes plugged in: 0.50003-2.99994 T "
                        "(21.29-127.73 MHz); give --field a value in it" % value)
                check(code == 2, "--field %s (outside the probe's range): exit 2 (%d)" % (value, code))
                told(runner.log_text(), re.escape(line), "--field %s is refused with the probe's range" % value)
                runner.stop()
            # Inside the range, its printed bounds too.
            for value in ["2.5", "0.50003", "2.99994"]:
                runner = runner_session.Runner(program, ["--field", value])
                inst = runner_session.open_session(runner_session.manager())
                expected = "%.6f T" % float(value)
                check(measure(inst) == (expected, []), "--field %s: MEAS:FLUX? gives %s" % (value, expected))
                inst.close()
                runner.stop()
            runner = None
        else:
            help_and_options(program)
            runner = runner_session.Runner(program)
            state = os.path.join(runner.state, "state")
            inst = runner_session.open_session(runner_session.manager())
            second_start(program, runner, state)
            usb_socket_in_use(program, runner)
            control_socket(state)
            nmr_path(inst, state)
            inst = restart_keeps_the_name(inst, runner)
            second_start(program, runner, state)  # the lock outlives the restart
            inst.close()
            runner.stop()
            runner = None
            big_files(program)
            early_stops(program)
    except Failure as failure:
        print("FAIL: " + str(failure))
        if runner is not None:
            print(runner.tail())
        return 1
    finally:
        if runner is not None:
            runner.stop()
    print("runner_checks: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
