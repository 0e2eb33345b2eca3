#!/bin/bash
# vxi11_instrument.sh KORVEX_SIM: the simulated instrument against real VXI-11 clients
# (pyvisa-py, lxi, rpcinfo). Run it inside tests/net/in-netns.sh: it uses port 111.
set -u
SIM=${1:?usage: vxi11_instrument.sh KORVEX_SIM}
PY=/usr/bin/python3
TMP=$(mktemp -d /tmp/korvex-system-XXXXXX)
PID=
failures=0

cleanup() {
  [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}

# start [STATE]: starts the simulator and waits until its VXI-11 module runs.
start() {
  local state=${1:-$TMP/state}
  : > "$TMP/stderr"
  "$SIM" --state "$state" 2>>"$TMP/stderr" &
  PID=$!
  within 30 started 1 || { fail "start"; cat "$TMP/stderr"; exit 1; }
  ready
}
listed() { rpcinfo -p 127.0.0.1 2>/dev/null | grep -Eq '395183 +1 +tcp'; }
unlisted() { ! listed; }
# within SECONDS CMD...: until CMD succeeds; false when it has not within SECONDS. The
# bounds are generous: a loaded machine is slow, and only a fault takes that long.
within() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.1
  done
}
# ready: until the core channel is registered.
ready() { within 30 listed || { fail "395183 never listed"; cat "$TMP/stderr"; exit 1; }; }
logged() { grep -q "$1" "$TMP/stderr" 2>/dev/null; }
# wait_for TEXT SECONDS: until TEXT appears on the simulator's standard error.
wait_for() { within "$2" logged "$1"; }
# started N: the VXI-11 module has started N times in this run of the simulator.
started() { [ "$(grep -c "Starting the TCP/IP SCPI module" "$TMP/stderr")" -ge "$1" ]; }
# wait_exit: waits (15 s at most) for the simulator to end; its exit code.
wait_exit() {
  local i
  for ((i = 0; i < 150; i++)); do
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  wait "$PID"
  local rc=$?
  PID=
  return $rc
}

visa() {  # visa PYTHON-STATEMENTS: runs with i = an open pyvisa-py session
  "$PY" - "$@" <<PYEOF
import pyvisa, sys
rm = pyvisa.ResourceManager('@py')
i = rm.open_resource('TCPIP::127.0.0.1::inst0::INSTR')
i.timeout = 5000
$VISA
PYEOF
}

start
# 1. The identity from the EEPROM, through both clients.
expected=$("$PY" - "$TMP/state/eeprom.bin" <<'PYEOF'
import struct, sys
r = open(sys.argv[1], 'rb').read()
text = lambda a, n: r[a:a + n].split(b'\0')[0].decode()
print('%s,%s,%d' % (text(36, 32), text(68, 8), struct.unpack_from('<I', r, 76)[0]))
PYEOF
)
idn_py=$("$PY" -c "import pyvisa; rm=pyvisa.ResourceManager('@py'); i=rm.open_resource('TCPIP::127.0.0.1::inst0::INSTR'); print(i.query('*IDN?'))" | head -1)
idn_lxi=$(lxi scpi -a 127.0.0.1 '*IDN?' | head -1)
case "$idn_py" in "$expected",el*-arm1.18-dsp*-pa3.5) pass "pyvisa *IDN? $idn_py" ;; *) fail "pyvisa *IDN?: [$idn_py], EEPROM [$expected]" ;; esac
case "$idn_lxi" in "$expected",el*-arm1.18-dsp*-pa3.5) pass "lxi *IDN? $idn_lxi" ;; *) fail "lxi *IDN?: [$idn_lxi], EEPROM [$expected]" ;; esac

# 2. The portmapper lists the core channel.
if rpcinfo -p 127.0.0.1 | grep -Eq '395183 +1 +tcp'; then pass "rpcinfo lists 395183"; else fail "rpcinfo: $(rpcinfo -p 127.0.0.1 2>&1)"; fi

# 3. Sessions.
VISA='
r = i.query("*IDN?;*ESE?").strip()
print("idn-only", "," in r and ";" not in r)
print("err", i.query("SYST:ERR?").strip().split(",")[0])
print("lock", i.query("SYST:LOCK:REQ?").strip(), i.query("SYST:LOCK:REQ?").strip())
i.write("SYST:LOCK:REL")
i.write("SYST:COMM:ETH OFF")
print("ethoff", i.query("SYST:ERR?").strip().split(",")[0])
i.clear()
print("clear", i.query("*SRE 8;*SRE?").strip())
msg = "*ESE 16" + ";*CLS" * 999 + ";*ESE?"
print("long", len(msg) > 4096, i.query(msg).strip(), i.query("SYST:ERR?").strip().split(",")[0])
'
out=$(visa)
check "*IDN?;*ESE? answers the identity only" "idn-only True" "$(echo "$out" | grep '^idn-only')"
check "then -440" "err -440" "$(echo "$out" | grep '^err')"
check "SYST:LOCK:REQ? twice" "lock 1 1" "$(echo "$out" | grep '^lock')"
check "SYST:COMM:ETH OFF refused" "ethoff -221" "$(echo "$out" | grep '^ethoff')"
check "clear then a query" "clear 8" "$(echo "$out" | grep '^clear')"
check "5000-byte message whole, once" "long True 16 0" "$(echo "$out" | grep '^long')"

# Restart of the network: answered; a new session soon after (the name service's start
# holds the restart 5 s); the old lock is gone.
VISA='
print("lock", i.query("SYST:LOCK:REQ?").strip())
i.write("SYST:COMM:ETH:REST")
print("written")
'
out=$(visa)
check "SYST:COMM:ETH:REST answered" "written" "$(echo "$out" | grep '^written')"
within 30 started 2 || fail "no restart of the VXI-11 module"
VISA='
import time
end = time.time() + 30
while True:
    try:
        j = rm.open_resource("TCPIP::127.0.0.1::inst0::INSTR", open_timeout=10000)
        j.timeout = 10000
        print("again", j.query("SYST:LOCK:REQ?").strip())
        j.write("SYST:LOCK:REL")
        break
    except Exception as e:
        if time.time() > end:
            print("again failed", e)
            break
        time.sleep(0.1)
'
out=$("$PY" - <<PYEOF
import pyvisa
rm = pyvisa.ResourceManager('@py')
$VISA
PYEOF
)
check "a new session after the restart, lock gone" "again 1" "$(echo "$out" | grep '^again')"

# 4. *RST resets the board: warm boot, and the instrument answers again.
"$PY" -c "import pyvisa; rm=pyvisa.ResourceManager('@py'); i=rm.open_resource('TCPIP::127.0.0.1::inst0::INSTR'); i.write('*RST')"
if wait_for "board: reset" 30; then pass "*RST: board: reset"; else fail "*RST: no board reset"; fi
if wait_for "Boot conditions: Warm boot" 30 && grep -q "Boot conditions: Warm boot" "$TMP/state/korvex.log"; then
  pass "warm boot logged"; else fail "no warm boot in the log"; fi
within 30 started 3 || fail "no start of the VXI-11 module after the reset"
ready
idn=$(lxi scpi -a 127.0.0.1 '*IDN?' | head -1)
case "$idn" in "$expected",*) pass "*IDN? after the reset" ;; *) fail "*IDN? after the reset: [$idn]" ;; esac

# 5. SYST:POFF: exit 0, a well-formed settings file, read again without complaint.
"$PY" -c "import pyvisa; rm=pyvisa.ResourceManager('@py'); i=rm.open_resource('TCPIP::127.0.0.1::inst0::INSTR'); i.write('SYST:POFF')"
wait_exit; check "SYST:POFF exit code" 0 "$?"
if xmllint --noout "$TMP/state/yaffs/settings/LastPowerOff.xml"; then pass "LastPowerOff.xml well formed"; else fail "LastPowerOff.xml"; fi
start
if grep -q "Error in file" "$TMP/stderr"; then fail "the settings file was refused"; else pass "settings file read back"; fi

# 6. SIGINT: the same.
kill -INT "$PID"
wait_exit; check "SIGINT exit code" 0 "$?"
if xmllint --noout "$TMP/state/yaffs/settings/LastPowerOff.xml"; then pass "LastPowerOff.xml after SIGINT"; else fail "LastPowerOff.xml after SIGINT"; fi
start
if grep -q "Error in file" "$TMP/stderr"; then fail "the settings file was refused after SIGINT"; else pass "settings file read back after SIGINT"; fi
kill -INT "$PID"; wait_exit

# 7. Fresh state: VXI-11 switched off by its own session still answers; the portmapper
# entry goes.
start "$TMP/fresh"
VISA='print("opc", i.query("SYST:COMM:VXI11 OFF;*OPC?").strip())'
out=$(visa)
check "SYST:COMM:VXI11 OFF;*OPC? answered" "opc 1" "$(echo "$out" | grep '^opc')"
if within 30 unlisted; then pass "395183 no longer listed"; else fail "395183 still listed"; fi
kill -INT "$PID"; wait_exit

echo "$failures failed"
[ "$failures" -eq 0 ]
