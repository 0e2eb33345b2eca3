#!/usr/bin/python3
"""readme_blocks.py RUNNER [README]: the README's examples, taken from README.md itself, run
against the runner: the first queries (the block after "<!-- first-queries -->": lxi,
pyvisa-py over VXI-11 and over USB) and the control-socket one-liner (the block after
"<!-- control-socket -->"), each run in a folder laid out as the repository root (the state
folder "state", "tests" beside it); the Python session (the block after
"<!-- python-session -->", run as a doctest: every reply as shown); its locked_query (the
block after "<!-- locked-query -->") from six links at once, each getting its own replies; the
rpcinfo forms of the port 111 paragraph (those it says work exit 0, each of the others says
what it quotes); the DHCP example (the block after "<!-- dhcp-example -->", as root, with
namespace names and files of its own: the instrument answers at its lease, `lxi discover`
finds it, and nothing it made is left). The control socket's help and the README name the same commands, and the ports "Not there yet"
names take no connection, Modbus enabled. Beside the locked query: an unlocked one under another
link's lock fails at once with VI_ERROR_IO, as the README says. The USB488 TRIGGER lines (the
block after "<!-- usb-trigger -->") complete a FETC? sent over VXI-11 (pyvisa-py's
assert_trigger() over USB raises NotImplementedError); while their client holds the USB
instrument, the USB one-liner fails with "Resource busy". Runs itself in a network namespace
(tests/net/in-netns.sh); exit status 77 when none can be made.
"""
import doctest
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pyvisa

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner_session  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
check = runner_session.check


def block(readme, marker):
    """The first fenced block after the marker line."""
    found = re.search(r"^%s\n```\n(.*?)^```$" % re.escape(marker), readme, re.M | re.S)
    if found is None:
        raise runner_session.Failure("README.md has no block after " + marker)
    return found.group(1)


def python_session(readme):
    test = doctest.DocTestParser().get_doctest(block(readme, "<!-- python-session -->"), {}, "README session",
                                               "README.md", 0)
    check(len(test.examples) >= 5, "the session has its examples (%d)" % len(test.examples))
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    result = runner.run(test)
    check(result.failed == 0, "the README's Python session gives every reply it shows")


# Queries with distinct replies, one link each: a reply another link's query gets is seen.
LOCKED_QUERIES = [("*IDN?", "Korvex Instruments,KX2026,12345,el1.0-arm1.18-dsp2.5-cpld1.8-pa3.5"),
                  ("UNIT?", "T"), ("TRIG:SOUR?", "IMMediate"), ("*OPC?", "1"), ("SYST:ERR?", '0,"No error"'),
                  ("*ESE?", "0")]


def locked_queries(readme):
    """The README's locked_query from six links at once, 20 queries each: every reply is the
    one its own query asks for."""
    names = {"pyvisa": pyvisa}
    exec(block(readme, "<!-- locked-query -->"), names)  # noqa: S102 - the README's own code
    wrong = []

    def client(text, reply):
        inst = runner_session.manager().open_resource(runner_session.RESOURCE)
        inst.timeout = 10000
        try:
            for _ in range(20):
                try:
                    got = names["locked_query"](inst, text).strip()
                except pyvisa.VisaIOError as error:
                    got = str(error)
                if got != reply:
                    wrong.append((text, got))
        finally:
            inst.close()
    clients = [threading.Thread(target=client, args=query) for query in LOCKED_QUERIES]
    for thread in clients:
        thread.start()
    for thread in clients:
        thread.join()
    check(not wrong, "six links at once, each query in locked_query: every reply its own (wrong: %s)" % wrong[:6])
    # Beside it: without the lock, a query while another link holds it fails at once.
    holder, other = (runner_session.manager().open_resource(runner_session.RESOURCE) for _ in range(2))
    holder.lock_excl()
    other.timeout = 10000
    started = time.monotonic()
    try:
        other.query("*IDN?")
        code = None
    except pyvisa.VisaIOError as error:
        code = error.error_code
    took = time.monotonic() - started
    holder.unlock()
    holder.close()
    other.close()
    text = readme[readme.index("<!-- locked-query -->"):readme.index("What the commands need")]
    check("`VI_ERROR_IO`" in text and code == pyvisa.constants.StatusCode.error_io and took < 9,
          "the README's VI_ERROR_IO: an unlocked query under another link's lock fails at once (%s, %.1f s)"
          % (code, took))


# Opens the USB instrument, tells whether assert_trigger() raises NotImplementedError, then at a
# line on standard input sends the README's USB488 TRIGGER (argv[2] defines usb_trigger).
USB_TRIGGER = r"""
import sys
sys.path.insert(0, %r)
import usbsim
usbsim.install(sys.argv[1])
import pyvisa
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource(rm.list_resources("USB?*INSTR")[0])
try:
    inst.assert_trigger()
    print("assert_trigger() works", flush=True)
except NotImplementedError:
    print("NotImplementedError", flush=True)
sys.stdin.readline()
names = {}
exec(sys.argv[2], names)
names["usb_trigger"](inst)
inst.close()
""" % os.path.join(ROOT, "tests", "clients")


def usb_trigger(readme, state):
    """pyvisa-py's assert_trigger() over USB raises NotImplementedError; the README's USB488
    TRIGGER lines complete a FETC? sent over VXI-11. While that client holds the USB instrument,
    the USB one-liner of the first queries fails with "Resource busy", as the README says."""
    client = subprocess.Popen([sys.executable, "-c", USB_TRIGGER, os.path.join(state, "usb.sock"),
                               block(readme, "<!-- usb-trigger -->")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    inst = runner_session.open_session(runner_session.manager())
    try:
        said = client.stdout.readline().strip()
        check(said == "NotImplementedError", "pyvisa-py over USB: assert_trigger() raises NotImplementedError (%s)"
              % said)
        line = [q for q in block(readme, "<!-- first-queries -->").splitlines() if "usbsim" in q][0]
        run = subprocess.run(["bash", "-c", line], cwd=os.path.dirname(state), capture_output=True, timeout=60)
        check("Resource busy" in readme[readme.index("## Over USB"):] and run.returncode != 0
              and b"Resource busy" in run.stderr,
              "one USB client process at a time: meanwhile the README's USB one-liner fails, Resource busy (%r)"
              % run.stderr[-300:])
        inst.timeout = 30000
        inst.write("ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 1;:INIT")
        check(inst.query("*OPC?").strip() == "1", "armed for one bus trigger over VXI-11")
        inst.write("FETC?")
        client.stdin.write("\n")
        client.stdin.flush()
        value = inst.read().strip()
        check(value.endswith(" T") and client.wait(60) == 0,
              "the README's USB488 TRIGGER completes the VXI-11 FETC? (%s)" % value)
        inst.write("TRIG:SOUR IMM")
    finally:
        inst.close()
        client.kill()
        client.wait()


def control_socket(readme, folder):
    line = block(readme, "<!-- control-socket -->").strip()
    run = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, timeout=30)
    answer = run.stdout.decode()
    check(run.returncode == 0 and answer.startswith("OK power=on ") and answer.endswith(" faults=none\n")
          and answer.count("\n") == 1, "the control-socket one-liner prints the whole state line (%r)" % answer)
    commands = [c.split()[0] for c in runner_session.control(os.path.join(folder, "state"), "help")
                [len("OK commands: "):].split(" | ")]
    text = readme[readme.index("The control socket takes"):readme.index("<!-- control-socket -->")]
    for command in commands:
        check("`%s" % command in text, "the README describes the control command %s" % command)
    named = set(re.findall(r"`([a-z]+)[ `]", text))
    check(named <= set(commands), "the README names no command help lacks (%s)" % sorted(named - set(commands)))


def first_queries(readme, folder):
    os.symlink(os.path.join(ROOT, "tests"), os.path.join(folder, "tests"))
    for line in block(readme, "<!-- first-queries -->").strip().splitlines():
        run = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, timeout=60)
        check(run.returncode == 0 and b"Korvex Instruments,KX2026," in run.stdout,
              "run from the repository root, %s... answers *IDN? (%r)" % (line[:40], run.stderr[-300:]))


def rpcinfo_forms(readme):
    """The paragraph's `rpcinfo ...` forms with a host: before "These do not work" each exits 0;
    after it, each followed by a quote in parentheses fails with that text."""
    text = re.sub(r"\s+", " ", readme[readme.index("VXI-11 clients find"):readme.index("Then, from a second")])
    works, fails = text.split("These do not work")
    forms = [f for f in re.findall(r"`(rpcinfo [^`]*)`", works) if "127.0.0.1" in f]
    check(len(forms) >= 4, "the README names rpcinfo forms that work (%s)" % forms)
    for form in forms:
        run = subprocess.run(form.split(), capture_output=True, timeout=30)
        check(run.returncode == 0 and b"100000" in run.stdout, "%s works" % form)
    refused = re.findall(r'`(rpcinfo [^`]*127\.0\.0\.1[^`]*)`[^`(]*\("([^"]+)"\)', fails)
    check(len(refused) >= 3, "the README names rpcinfo forms that fail, with their texts (%s)" % refused)
    for form, said in refused:
        run = subprocess.run(form.split(), capture_output=True, timeout=30)
        out = re.sub(r"\s+", " ", (run.stdout + run.stderr).decode())
        check(run.returncode != 0 and said in out, "%s fails with \"%s\" (%r)" % (form, said, out))


def dhcp_example(readme, program):
    names = {"kfw": "kfw%d" % os.getpid(), "kpeer": "kpeer%d" % os.getpid()}
    if subprocess.run(["ip", "netns", "add", names["kfw"]], capture_output=True).returncode != 0:
        print("skip: the DHCP example needs root (ip netns add)")
        return
    subprocess.run(["ip", "netns", "del", names["kfw"]])
    folder = tempfile.mkdtemp(prefix="korvex-dhcp-")
    text = block(readme, "<!-- dhcp-example -->").replace("/tmp/kfw-state", folder + "/state")
    text = text.replace("/tmp/kpeer.leases", folder + "/leases").replace("build/korvex-sim", program)
    for name, own in names.items():
        text = re.sub(r"\b%s\b" % name, own, text)
    run = subprocess.Popen(["bash", "-c", text], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           start_new_session=True)
    try:
        out = run.communicate(timeout=150)[0].decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        out = run.communicate()[0].decode("utf-8", "replace")
    finally:
        left = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout.split()
        for own in names.values():
            if own in left:
                subprocess.run(["ip", "netns", "del", own])
    leased = re.search(r"^(192\.0\.2\.\d+)$", out, re.M)
    check(leased is not None and 'on address %s\n' % leased.group(1) in out,
          "the DHCP example: the instrument answers at its lease and lxi discover finds it there (%s)"
          % out[-600:])
    check(run.returncode == 0 and not set(names.values()) & set(left) and os.listdir(folder) == [],
          "the DHCP example removes its namespaces and files (left: %s, %s)"
          % (sorted(set(names.values()) & set(left)), os.listdir(folder)))
    shutil.rmtree(folder, ignore_errors=True)


def not_served(inst):
    """Modbus enabled, still no server; no raw socket port, no HiSLIP."""
    inst.write("SYST:COMM:MODB ON")
    check(inst.query("SYST:COMM:MODB?").strip() == "1", "SYST:COMM:MODB ON is taken")
    for port in (502, 5025, 4880):
        with socket.socket() as s:
            s.settimeout(5)
            check(s.connect_ex(("127.0.0.1", port)) != 0, "nothing accepts on port %d" % port)


def main():
    runner_session.in_namespace_or_reexec()
    program = sys.argv[1] if len(sys.argv) > 1 else runner_session.default_runner()
    path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "README.md")
    with open(path) as f:
        readme = f.read()
    runner = runner_session.Runner(program)
    try:
        inst = runner_session.open_session(runner_session.manager())
        not_served(inst)
        inst.close()
        first_queries(readme, runner.state)
        python_session(readme)
        locked_queries(readme)
        rpcinfo_forms(readme)
        control_socket(readme, runner.state)
        usb_trigger(readme, os.path.join(runner.state, "state"))
        dhcp_example(readme, program)
    except runner_session.Failure as failure:
        print("FAIL: " + str(failure))
        print(runner.tail())
        return 1
    finally:
        runner.stop()
    print("readme_blocks: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
