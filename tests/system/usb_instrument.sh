#!/bin/bash
# usb_instrument.sh KORVEX_SIM: the simulated instrument on its simulated USB bus against real
# clients (pyvisa-py and pyusb through tests/clients/usbsim), next to its VXI-11 session. Run
# it inside tests/net/in-netns.sh: the VXI-11 side uses port 111.
set -u
SIM=${1:?usage: usb_instrument.sh KORVEX_SIM}
PY=/usr/bin/python3
CLIENTS=$(cd "$(dirname "$0")/../clients" && pwd)
TMP=$(mktemp -d /tmp/korvex-usb-system-XXXXXX)
PID=
failures=0

cleanup() {
  [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# wait_for TEXT SECONDS: until TEXT appears on the simulator's standard error.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -q "$1" "$TMP/stderr" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

if ! "$PY" -c "import usb.core, pyvisa_py" 2>/dev/null; then
  echo "usb_instrument.sh: python3-usb or python3-pyvisa-py missing" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi

"$SIM" --state "$TMP/state" 2>"$TMP/stderr" &
PID=$!
wait_for "Starting the USB SCPI module" 20 || { fail "start"; cat "$TMP/stderr"; exit 1; }
wait_for "Starting the TCP/IP SCPI module" 20 || { fail "VXI-11 start"; cat "$TMP/stderr"; exit 1; }
for ((i = 0; i < 100; i++)); do
  [ -S "$TMP/state/usb.sock" ] && rpcinfo -p 127.0.0.1 2>/dev/null | grep -Eq '395183 +1 +tcp' && break
  sleep 0.1
done
export KORVEX_USB_SOCKET=$TMP/state/usb.sock
grep -q "USB host on $KORVEX_USB_SOCKET" "$TMP/stderr" && pass "USB host on its socket" || fail "no USB host line"

# Each client with its arguments; usb_cut_write_clear.py: 3 rounds of each kind of cut write.
for run in "usbtmc_pyvisa.py $TMP/state/eeprom.bin" "usbtmc_pyusb.py $TMP/state/eeprom.bin" \
           "usb_requests_pyvisa.py $TMP/state/eeprom.bin" "usb_cut_write_clear.py 3"; do
  set -- $run
  script=$1
  shift
  if timeout 200 "$PY" "$CLIENTS/$script" "$@" > "$TMP/$script.out" 2>&1; then
    pass "$script ($(grep -c '^ok:' "$TMP/$script.out") checks)"
  else
    fail "$script"
    cat "$TMP/$script.out"
    echo "---- the simulator's last lines"
    tail -n 30 "$TMP/stderr"
  fi
done

grep -qF "usbsim: simulated USB host at $KORVEX_USB_SOCKET (from \$KORVEX_USB_SOCKET)" "$TMP/usbtmc_pyusb.py.out" &&
  pass "usbsim names its socket" || fail "usbsim does not name its socket"

# SIGINT: switched off, exit 0.
kill -INT "$PID"
for ((i = 0; i < 150; i++)); do
  kill -0 "$PID" 2>/dev/null || break
  sleep 0.1
done
wait "$PID"
rc=$?
PID=
[ "$rc" -eq 0 ] && pass "SIGINT exit code 0" || fail "SIGINT exit code $rc"

echo "$failures failed"
[ "$failures" -eq 0 ]
