"""usbsim_install.py: usbsim.install() on a socket it cannot reach raises UnreachableHost
naming the path and where it came from (the argument, $KORVEX_USB_SOCKET, the default).
Exits non-zero at the first failure; 77 without python3-usb.
"""
import atexit
import os
import shutil
import socket
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import usbsim  # noqa: E402
except ImportError:
    print("usbsim_install.py: python3-usb missing")
    sys.exit(77)


def check(name, ok, detail=""):
    if not ok:
        print("FAIL: %s %s" % (name, detail))
        sys.exit(1)
    print("ok: %s" % name)


folder = tempfile.mkdtemp(prefix="korvex-usbsim-")
atexit.register(shutil.rmtree, folder, True)
os.chdir(folder)
stale = os.path.join(folder, "stale.sock")
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(stale)
listener.close()  # the file stays, nobody listens

# {what, argument, $KORVEX_USB_SOCKET, the path named, the words naming its origin}
cases = [
    ("missing path", os.path.join(folder, "none", "usb.sock"), None, os.path.join(folder, "none", "usb.sock"),
     "given to usbsim.install"),
    ("socket nobody serves", stale, None, stale, "given to usbsim.install"),
    ("from the environment", None, os.path.join(folder, "env.sock"), os.path.join(folder, "env.sock"),
     "$KORVEX_USB_SOCKET"),
    ("the default", None, None, os.path.join(folder, "state", "usb.sock"), "the default"),
]
for what, argument, environment, named, origin in cases:
    os.environ.pop("KORVEX_USB_SOCKET", None)
    if environment:
        os.environ["KORVEX_USB_SOCKET"] = environment
    try:
        usbsim.install(argument)
        check(what, False, "no error")
    except usbsim.UnreachableHost as e:
        text = str(e)
        check(what, named in text and origin in text and "korvex-sim" in text and "\n" not in text, text)
print("all passed")
