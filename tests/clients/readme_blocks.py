#!/usr/bin/python3
"""readme_blocks.py RUNNER [README]: the examples of README.md and of the pages in docs/ beside
it, taken from those files, run against the runner. Every fenced block of those pages follows
a marker line naming it ("<!-- name -->"), each name one of BLOCKS, and each block this test
runs is there exactly once, wherever it stands:
the first queries (the block after "<!-- first-queries -->": lxi, pyvisa-py over VXI-11 and
over USB) and the control-socket one-liner (the block after "<!-- control-socket -->"), each
run in a folder laid out as the repository root (the state folder "state", "tests" beside it);
the Python session (the block after "<!-- python-session -->", run as a doctest: every reply as
shown); its locked_query (the block after "<!-- locked-query -->") from six links at once, each
getting its own replies; the rpcinfo forms of the section "rpcinfo" (those it says work exit 0,
each one of the table of the others says what its row quotes); the DHCP example (the block
after "<!-- dhcp-example -->", as root, with namespace names and files of its own: the
instrument answers at its lease, `lxi discover` finds it, and nothing it made is left). The
control socket's help and its section name the same commands, and the ports "Not there yet"
names take no connection, Modbus enabled. Beside the locked query: an unlocked one under another
link's lock fails at once with VI_ERROR_IO, as "Links and locks" says. The USB488 TRIGGER lines
(the block after "<!-- usb-trigger -->") complete a FETC? sent over VXI-11 (pyvisa-py's
assert_trigger() over USB raises NotImplementedError); while their client holds the USB
instrument, the USB one-liner fails with "Resource busy"; an execution error caused over VXI-11
is in that client's error queue too, a command error is not. With TRIG:SOUR EXT a FETC? holds
the link until a device clear. Runs itself in a network namespace (tests/net/in-netns.sh); exit
status 77 when none can be made.
"""
import doctest
import glob
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


# The marked blocks: run-command and test-command (.ci/run runs the latter) are not run here.
BLOCKS = ["run-command", "test-command", "first-queries", "python-session", "locked-query", "usb-trigger",
          "control-socket", "dhcp-example"]


class Pages(dict):
    """README.md and docs/*.md beside it: the text of each by its path."""

    def __init__(self, readme):
        super().__init__()
        self.readme = readme
        for path in [readme] + sorted(glob.glob(os.path.join(os.path.dirname(readme), "docs", "*.md"))):
            with open(path) as f:
                self[path] = f.read()

    def __str__(self):
        return "\n".join(self.values())


def block(pages, marker):
    """The fenced block after the marker line: there once, in one of the pages."""
    found = [m for text in pages.values()
             for m in re.finditer(r"^%s\n```\n(.*?)^```$" % re.escape(marker), text, re.M | re.S)]
    if len(found) != 1:
        raise runner_session.Failure("README.md and docs/ have %d blocks after %s, not 1" % (len(found), marker))
    return found[0].group(1)


def section(pages, heading):
    """The text under the heading ("## <heading>"), up to the next heading of its level or above."""
    for text in pages.values():
        found = re.search(r"^(#+) %s\n" % re.escape(heading), text, re.M)
        if found is not None:
            rest = text[found.end():]
            end = re.search(r"^#{1,%d} " % len(found.group(1)), rest, re.M)
            return rest[:end.start()] if end else rest
    raise runner_session.Failure("README.md and docs/ have no heading " + heading)


def markers(pages):
    """Every fenced block follows a marker of BLOCKS."""
    for path, text in pages.items():
        lines = text.splitlines()
        opening = True
        for number, line in enumerate(lines):
            if not line.startswith("```"):
                continue
            if opening:
                marker = re.fullmatch(r"<!-- ([a-z-]+) -->", lines[number - 1]) if number else None
                check(marker is not None and marker.group(1) in BLOCKS,
                      "%s:%d: the block follows a marker this test knows (%r)"
                      % (os.path.basename(path), number + 1, lines[number - 1] if number else ""))
            opening = not opening


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
    text = section(readme, "Links and locks")
    check("`VI_ERROR_IO`" in text and code == pyvisa.constants.StatusCode.error_io and took < 9,
          "Links and locks' VI_ERROR_IO: an unlocked query under another link's lock fails at once (%s, %.1f s)"
          % (code, took))


# Opens the USB instrument, empties its error queue, tells whether assert_trigger() raises
# NotImplementedError, then at a line on standard input sends the README's USB488 TRIGGER
# (argv[2] defines usb_trigger) and prints the errors queued meanwhile.
USB_TRIGGER = r"""
import sys
sys.path.insert(0, %r)
import usbsim
usbsim.install(sys.argv[1])
import pyvisa
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource(rm.list_resources("USB?*INSTR")[0])
while not inst.query("SYST:ERR?").startswith("0,"):
    pass
try:
    inst.assert_trigger()
    print("assert_trigger() works", flush=True)
except NotImplementedError:
    print("NotImplementedError", flush=True)
sys.stdin.readline()
names = {}
exec(sys.argv[2], names)
names["usb_trigger"](inst)
errors = []
while not errors or not errors[-1].startswith("0,"):
    errors.append(inst.query("SYST:ERR?").strip())
print(" | ".join(errors[:-1]), flush=True)
inst.close()
""" % os.path.join(ROOT, "tests", "clients")


def usb_trigger(readme, state):
    """pyvisa-py's assert_trigger() over USB raises NotImplementedError; the README's USB488
    TRIGGER lines complete a FETC? sent over VXI-11. While that client holds the USB instrument,
    the USB one-liner of the first queries fails with "Resource busy", as the docs say. An
    execution error caused over VXI-11 reaches that client's error queue, a command error does
    not, as the README says."""
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
        check("Resource busy" in section(readme, "One client process at a time") and run.returncode != 0
              and b"Resource busy" in run.stderr,
              "one USB client process at a time: meanwhile the README's USB one-liner fails, Resource busy (%r)"
              % run.stderr[-300:])
        inst.write("TRIG:COUN 5000")
        inst.write("TRIG:COUN:FOO 1")
        errors = [inst.query("SYST:ERR?").strip() for _ in range(3)]
        check(errors[0] == '-222,"Data out of range"' and errors[1].startswith("-1") and errors[2].startswith("0,")
              and '`-222 "Data out of range"`' in readme[readme.readme],
              "over VXI-11 an execution error and a command error (%s)" % errors)
        inst.timeout = 30000
        inst.write("ROUT:CLOS (@1);:TRIG:SOUR BUS;:TRIG:COUN 1;:INIT")
        check(inst.query("*OPC?").strip() == "1", "armed for one bus trigger over VXI-11")
        inst.write("FETC?")
        client.stdin.write("\n")
        client.stdin.flush()
        value = inst.read().strip()
        usb_errors = client.stdout.readline().strip()
        check(value.endswith(" T") and client.wait(60) == 0,
              "the README's USB488 TRIGGER completes the VXI-11 FETC? (%s)" % value)
        check(usb_errors == errors[0], "the USB client's queue has the execution error, not the command error (%s)"
              % usb_errors)
        inst.write("TRIG:SOUR IMM")
    finally:
        inst.close()
        client.kill()
        client.wait()


def external_trigger(readme):
    """TRIG:SOUR EXT: nothing drives the input, a FETC? holds the link (its next query too) until
    a device clear; ABOR then ends the armed measurement."""
    inst = runner_session.open_session(runner_session.manager())
    try:
        inst.write("ROUT:CLOS (@1);:TRIG:SOUR EXT;:TRIG:COUN 1;:INIT")
        check(inst.query("*OPC?").strip() == "1", "armed for an external trigger")
        inst.timeout = 2000
        held = []
        for query in ("FETC?", "*IDN?"):
            try:
                inst.query(query)
            except pyvisa.VisaIOError as error:
                held.append(error.error_code == pyvisa.constants.StatusCode.error_timeout)
        inst.clear()
        inst.timeout = 10000
        check(held == [True, True] and inst.query("*IDN?").startswith("Korvex") and "`TRIG:SOUR EXT`" in str(readme),
              "TRIG:SOUR EXT: FETC? holds the link until a device clear (%s)" % held)
        check(inst.query("ABOR;:TRIG:SOUR IMM;*OPC?").strip() == "1", "ABOR ends the armed measurement")
    finally:
        inst.close()


def control_socket(readme, folder):
    line = block(readme, "<!-- control-socket -->").strip()
    run = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, timeout=30)
    answer = run.stdout.decode()
    check(run.returncode == 0 and answer.startswith("OK power=on ") and answer.endswith(" faults=none\n")
          and answer.count("\n") == 1, "the control-socket one-liner prints the whole state line (%r)" % answer)
    commands = [c.split()[0] for c in runner_session.control(os.path.join(folder, "state"), "help")
                [len("OK commands: "):].split(" | ")]
    text = section(readme, "The control socket")
    text = text[:text.index("<!-- control-socket -->")]
    for command in commands:
        check("`%s" % command in text, "the control socket's section describes the command %s" % command)
    named = set(re.findall(r"`([a-z]+)[ `]", text))
    check(named <= set(commands), "the section names no command help lacks (%s)" % sorted(named - set(commands)))


def first_queries(readme, folder):
    os.symlink(os.path.join(ROOT, "tests"), os.path.join(folder, "tests"))
    for line in block(readme, "<!-- first-queries -->").strip().splitlines():
        run = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, timeout=60)
        check(run.returncode == 0 and b"Korvex Instruments,KX2026," in run.stdout,
              "run from the repository root, %s... answers *IDN? (%r)" % (line[:40], run.stderr[-300:]))


def rpcinfo_forms(readme):
    """The section's `rpcinfo ...` forms with a host: before "These do not work" each exits 0;
    after it, each of a table row fails with the row's quoted text."""
    works, fails = section(readme, "rpcinfo").split("These do not work")
    forms = [f for f in re.findall(r"`(rpcinfo [^`]*)`", re.sub(r"\s+", " ", works)) if "127.0.0.1" in f]
    check(len(forms) >= 4, "the docs name rpcinfo forms that work (%s)" % forms)
    for form in forms:
        run = subprocess.run(form.split(), capture_output=True, timeout=30)
        check(run.returncode == 0 and b"100000" in run.stdout, "%s works" % form)
    refused = [(form, re.search(r'"([^"]+)"', row).group(1)) for row in fails.splitlines() if row.startswith("| `")
               for form in re.findall(r"`(rpcinfo [^`]*)`", row) if "127.0.0.1" in form]
    check(len(refused) >= 4, "the docs name rpcinfo forms that fail, with their texts (%s)" % refused)
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
    readme = Pages(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "README.md"))
    runner = runner_session.Runner(program)
    try:
        markers(readme)
        for name in BLOCKS:
            block(readme, "<!-- %s -->" % name)
        inst = runner_session.open_session(runner_session.manager())
        not_served(inst)
        inst.close()
        first_queries(readme, runner.state)
        python_session(readme)
        locked_queries(readme)
        rpcinfo_forms(readme)
        control_socket(readme, runner.state)
        usb_trigger(readme, os.path.join(runner.state, "state"))
        external_trigger(readme)
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
