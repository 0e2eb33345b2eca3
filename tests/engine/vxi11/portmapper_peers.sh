#!/bin/sh
# portmapper_peers.sh RPC_TEST_SERVER RPC_PMAP_CLIENT
# Our portmapper and RPC transport against real clients (rpcinfo of libtirpc, pyvisa-py), and
# our portmapper client against a real rpcbind. Needs port 111: run it through
# tests/net/in-netns.sh. Prints each failed check; exits 1 when any failed.
set -u
server=$1
client=$2
tmp=$(mktemp -d)
failures=0
pids=""

cleanup() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect NAME WANTED ACTUAL
expect() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    fail "$1"
    echo "  wanted: $2" >&2
    echo "  got:    $3" >&2
  fi
}

# Waits until something answers rpcinfo -p on 127.0.0.1 (up to 5 s).
wait_for_portmapper() {
  i=0
  while [ $i -lt 50 ]; do
    rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# The rows of rpcinfo -p as "program vers proto port".
mappings() {
  rpcinfo -p 127.0.0.1 2>&1 | awk 'NR > 1 { print $1, $2, $3, $4 }'
}

core=395183

# ---- nothing on port 111 ----
expect "GetPort with nothing on 111" "0x54393" "$("$client" getport $core 1 6)"

# ---- our mini portmapper and core channel ----
"$server" >"$tmp/server.out" 2>&1 &
pids="$pids $!"
if ! wait_for_portmapper; then
  fail "rpc_test_server did not come up: $(cat "$tmp/server.out")"
  exit 1
fi
port=$(awk '$1 == "core" { print $2 }' "$tmp/server.out")

expect "rpcinfo -p" "100000 2 tcp 111
100000 2 udp 111
$core 1 tcp $port" "$(mappings)"

expect "rpcinfo -u portmapper" "program 100000 version 2 ready and waiting" \
  "$(rpcinfo -u 127.0.0.1 100000 2 2>&1)"
expect "rpcinfo -t portmapper" "program 100000 version 2 ready and waiting" \
  "$(rpcinfo -t 127.0.0.1 100000 2 2>&1)"

out=$(rpcinfo -T tcp 127.0.0.1 $core 1 2>&1)
rc=$?
expect "rpcinfo -T tcp core program exit status" "1" "$rc"
case "$out" in
  *"rpcinfo: RPC: Procedure unavailable"*) echo "ok: rpcinfo -T tcp core program" ;;
  *) fail "rpcinfo -T tcp core program: $out" ;;
esac
out=$(rpcinfo -T tcp 127.0.0.1 $((core + 1)) 1 2>&1)
case "$out" in
  *"rpcinfo: RPC: Program not registered"*) echo "ok: rpcinfo -T tcp unknown program" ;;
  *) fail "rpcinfo -T tcp unknown program: $out" ;;
esac

expect "pyvisa-py TCP and UDP portmapper clients" "$port $port" \
  "$(/usr/bin/python3 -c "from pyvisa_py.protocols import rpc; print(rpc.TCPPortMapperClient('127.0.0.1').get_port((0x0607AF,1,6,0)), rpc.UDPPortMapperClient('127.0.0.1').get_port((0x0607AF,1,6,0)))" 2>&1)"

expect "GetPort of our core program" "0x54311" "$("$client" getport $core 1 6)"
expect "GetPort of an unknown program" "0" "$("$client" getport $((core + 1)) 1 6)"

for pid in $pids; do
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
done
pids=""

# ---- a real rpcbind, with a /run of its own ----
unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run && exec rpcbind -f' \
  >"$tmp/rpcbind.out" 2>&1 &
pids="$pids $!"
if ! wait_for_portmapper; then
  fail "rpcbind did not come up: $(cat "$tmp/rpcbind.out")"
  exit 1
fi
expect "rpcbind: GetPort before Set" "0" "$("$client" getport $core 1 6)"
expect "rpcbind: Set" "0" "$("$client" set $core 1 6 4321)"
case "$(mappings)" in
  *"$core 1 tcp 4321"*) echo "ok: rpcbind lists the program after Set" ;;
  *) fail "rpcbind does not list the program after Set: $(mappings)" ;;
esac
expect "rpcbind: GetPort after Set" "0x54311" "$("$client" getport $core 1 6)"
expect "rpcbind: Unset" "0" "$("$client" unset $core 1 4321)"
case "$(mappings)" in
  *"$core "*) fail "rpcbind still lists the program after Unset: $(mappings)" ;;
  *) echo "ok: rpcbind no longer lists the program after Unset" ;;
esac
expect "rpcbind: GetPort after Unset" "0" "$("$client" getport $core 1 6)"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all portmapper peer checks passed"
