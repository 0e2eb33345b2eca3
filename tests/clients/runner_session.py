"""Starts the simulated instrument (build/korvex-sim) for a client program and opens
pyvisa-py sessions to it over VXI-11.

The runner's VXI-11 server needs the portmapper port 111: run the client programs through
tests/net/in-netns.sh (a network namespace of their own), as ctest does.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pyvisa

RESOURCE = "TCPIP::127.0.0.1::inst0::INSTR"


class Failure(Exception):
    """A check of a client program failed."""


def check(condition, what):
    """Prints the check when it holds, else raises Failure."""
    if not condition:
        raise Failure(what)
    print("ok: " + what)


class Runner:
    """korvex-sim on a fresh state folder; stop() ends it and removes the folder. prepare,
    when given, is called with the state folder (made, still empty) before the start;
    wrapper, a command that runs the runner (setpriv ...)."""

    def __init__(self, runner, extra_args=(), log_name="runner.out", prepare=None, wrapper=()):
        self.state = tempfile.mkdtemp(prefix="korvex-client-")
        self.log_path = os.path.join(self.state, log_name)
        self.log = open(self.log_path, "wb")
        if prepare is not None:
            os.makedirs(os.path.join(self.state, "state"))
            prepare(os.path.join(self.state, "state"))
        args = list(wrapper) + [runner, "--state", os.path.join(self.state, "state")] + list(extra_args)
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)

    def alive(self):
        return self.process.poll() is None

    def log_text(self):
        try:
            with open(self.log_path, "rb") as log:
                return log.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def tail(self, lines=40):
        return "\n".join(self.log_text().splitlines()[-lines:])

    def stop(self):
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.state, ignore_errors=True)


def open_session(manager, timeout_s=30.0):
    """A session that answers *IDN?, retried until timeout_s has passed."""
    deadline = time.monotonic() + timeout_s
    last = None
    while time.monotonic() < deadline:
        try:
            inst = manager.open_resource(RESOURCE)
            inst.timeout = 10000
            inst.read_termination = "\n"
            inst.write_termination = "\n"
            inst.query("*IDN?")
            return inst
        except Exception as error:  # the server is not up yet
            last = error
            time.sleep(0.25)
    raise RuntimeError("no VXI-11 session within %.0f s: %s" % (timeout_s, last))


def control(state, line, timeout_s=10.0):
    """One command on the board's control socket of the state folder; its answer line."""
    path = os.path.join(state, "board.sock")
    deadline = time.monotonic() + timeout_s
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise RuntimeError("no control socket " + path)
        time.sleep(0.1)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout_s)
        s.connect(path)
        s.sendall((line + "\n").encode())
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    return answer.decode().strip()


def raw_query(inst, text):
    """The whole response up to END: blocks and the log hold line feeds of their own."""
    termination = inst.read_termination
    inst.read_termination = None
    try:
        inst.write(text)
        return inst.read_raw()
    finally:
        inst.read_termination = termination


def run_with_runner(body, runner=None, extra_args=()):
    """Starts the runner and calls body(runner's Runner); prints PASS, or FAIL with the end of
    the runner's output (and FAIL once more after it). The exit status: 0 or 1."""
    session = Runner(runner or default_runner(), extra_args)
    try:
        body(session)
        print("PASS")
        return 0
    except Exception as error:
        print("FAIL: %s" % error)
        print("--- end of the runner's output:")
        print(session.tail())
        print("FAIL: %s" % error)  # again below the runner's lines, which a log may cut
        return 1
    finally:
        session.stop()


def run_checks(body, runner=None, extra_args=()):
    """Starts the runner, opens a session and calls body(session), as run_with_runner."""
    def with_session(_):
        inst = open_session(manager())
        try:
            body(inst)
        finally:
            try:
                inst.close()
            except Exception:
                pass
    return run_with_runner(with_session, runner, extra_args)


def manager():
    return pyvisa.ResourceManager("@py")


def usb_resource(session, timeout_s=30.0):
    """Installs tests/clients/usbsim on the runner's USB socket (before any USB use of
    pyvisa-py); a resource manager and the one USB instrument it lists, waited for."""
    import usbsim
    path = usb_socket(session)
    deadline = time.monotonic() + timeout_s
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.1)
    usbsim.install(path)
    rm = manager()
    usb = rm.list_resources("USB?*INSTR")
    while not usb and time.monotonic() < deadline:
        time.sleep(0.2)
        usb = rm.list_resources("USB?*INSTR")
    check(len(usb) == 1, "one USB instrument listed")
    return rm, usb[0]


def usb_socket(session):
    return os.path.join(session.state, "state", "usb.sock")


def default_runner():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return os.path.join(root, "build", "korvex-sim")


def in_namespace_or_reexec():
    """Re-runs this program through tests/net/in-netns.sh unless it already runs there."""
    if os.environ.get("KORVEX_IN_NETNS") == "1":
        return
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, KORVEX_IN_NETNS="1")
    script = os.path.join(root, "tests", "net", "in-netns.sh")
    os.execve(script, [script, sys.executable] + sys.argv, env)
