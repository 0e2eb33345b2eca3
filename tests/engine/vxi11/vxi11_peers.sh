#!/bin/sh
# vxi11_peers.sh [SERVER [PEER [SOAK_SECONDS]]]
# Real VXI-11 controllers against vxi11_test_server: rpcinfo, lxi-tools, pyvisa-py and the
# libtirpc peer with the server's own portmapper, then the server's registration with a real
# rpcbind. Starts and stops the server itself; prints each step and stops at the first
# failure with exit status 1. Needs port 111: run it through tests/net/in-netns.sh.
#   SERVER        default build/tests/engine/vxi11/vxi11_test_server of this work tree
#   PEER          default vxi11_peer beside SERVER
#   SOAK_SECONDS  default $VXI11_SOAK_SECONDS, else 60 (10 suits a ThreadSanitizer build)
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
server=${1:-$root/build/tests/engine/vxi11/vxi11_test_server}
peer=${2:-$(dirname "$server")/vxi11_peer}
soak=${3:-${VXI11_SOAK_SECONDS:-60}}
host=127.0.0.1
core=395183
identity="KORVEX-TEST,VXI11,0,0"
tmp=$(mktemp -d)
server_pid=""
first_pid=""
rpcbind_pid=""

cleanup() {
  for pid in $server_pid $first_pid $rpcbind_pid; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

step() { echo "== $*"; }
ok() { echo "ok: $*"; }

fail() {
  echo "FAIL: $*"
  for log in "$tmp"/server*.out; do
    [ -s "$log" ] || continue
    echo "--- end of $(basename "$log"):"
    tail -n 200 "$log"
  done
  exit 1
}

# run NAME COMMAND [ARG...]: a step whose program prints its own checks.
run() {
  name=$1
  shift
  step "$name"
  "$@" || fail "$name (exit status $?)"
}

# The rows of rpcinfo -p as "program vers proto port".
mappings() {
  rpcinfo -p "$host" 2>&1 | awk 'NR > 1 { print $1, $2, $3, $4 }'
}

wait_for_portmapper() {
  i=0
  while [ $i -lt 50 ]; do
    rpcinfo -p "$host" >/dev/null 2>&1 && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# start_server LOG: starts the server and waits up to 60 s for "ready <port>"; sets
# server_pid and port. Returns 1 when the server ended without it.
start_server() {
  "$server" >"$1" 2>&1 &
  server_pid=$!
  port=""
  i=0
  while [ $i -lt 600 ]; do
    port=$(awk '$1 == "ready" { print $2; exit }' "$1")
    [ -n "$port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || return 1
    sleep 0.1
    i=$((i + 1))
  done
  fail "the server printed no ready line within 60 s"
}

# Stops the server with SIGTERM and checks that it exits with status 0 within 30 s.
stop_server() {
  step "SIGTERM stops the server"
  kill -TERM "$server_pid"
  i=0
  while kill -0 "$server_pid" 2>/dev/null && [ $i -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    fail "the server still runs 30 s after SIGTERM"
  fi
  wait "$server_pid"
  rc=$?
  server_pid=""
  [ $rc -eq 0 ] || fail "the server exited with status $rc after SIGTERM"
  ok "the server exited with status 0"
}

[ -x "$server" ] || fail "no server program $server"
[ -x "$peer" ] || fail "no peer program $peer"

# ---- the server with its own portmapper ----
step "start $(basename "$server")"
start_server "$tmp/server.out" || fail "the server ended before it was ready"
ok "ready on port $port (pid $server_pid)"

step "rpcinfo -p $host"
case "$(mappings)" in
  *"$core 1 tcp $port"*) ok "rpcinfo -p lists $core 1 tcp $port" ;;
  *) fail "rpcinfo -p does not list $core 1 tcp $port: $(mappings)" ;;
esac

step "rpcinfo -T tcp $host $core 1"
out=$(rpcinfo -T tcp "$host" $core 1 2>&1)
case "$out" in
  *"rpcinfo: RPC: Procedure unavailable"*) ok "rpcinfo -T tcp prints: $(echo "$out" | head -n 1)" ;;
  *) fail "rpcinfo -T tcp prints: $out" ;;
esac

step "lxi scpi -a $host '*IDN?'"
out=$(lxi scpi -a "$host" '*IDN?' 2>&1)
[ "$out" = "$identity" ] || fail "lxi scpi prints: $out"
ok "lxi scpi prints $out"

run "pyvisa_check.py $host" /usr/bin/python3 "$here/pyvisa_check.py" "$host"
run "vxi11_peer abort $host" "$peer" abort "$host"
run "vxi11_peer srq $host tcp" "$peer" srq "$host" tcp
run "vxi11_peer srq $host udp" "$peer" srq "$host" udp
run "vxi11_peer multi $host 3" "$peer" multi "$host" 3
run "vxi11_peer drop $host" "$peer" drop "$host"
for size in 1025 3000 4096 4097; do
  run "vxi11_peer write $host $size" "$peer" write "$host" $size
done
run "vxi11_peer soak $host 64 $soak" "$peer" soak "$host" 64 "$soak"

step "the server is still serving"
out=$(lxi scpi -a "$host" '*IDN?' 2>&1)
[ "$out" = "$identity" ] || fail "lxi scpi after the peers prints: $out"
ok "lxi scpi prints $out"
stop_server

# ---- a real rpcbind, with a /run of its own ----
step "start rpcbind"
unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run && exec rpcbind -f' \
  >"$tmp/rpcbind.out" 2>&1 &
rpcbind_pid=$!
wait_for_portmapper || fail "rpcbind did not come up: $(cat "$tmp/rpcbind.out")"
case "$(mappings)" in
  *"$core "*) fail "rpcbind lists $core before the server started: $(mappings)" ;;
esac
ok "rpcbind answers"

step "start $(basename "$server") with rpcbind"
start_server "$tmp/server-rpcbind.out" || fail "the server ended before it was ready"
ok "ready on port $port (pid $server_pid)"
case "$(mappings)" in
  *"$core 1 tcp $port"*) ok "rpcbind lists $core 1 tcp $port" ;;
  *) fail "rpcbind does not list $core 1 tcp $port: $(mappings)" ;;
esac
out=$(lxi scpi -a "$host" '*IDN?' 2>&1)
[ "$out" = "$identity" ] || fail "lxi scpi through rpcbind prints: $out"
ok "lxi scpi through rpcbind prints $out"

step "a second server while $core is registered"
first_pid=$server_pid
first_port=$port
if start_server "$tmp/server-second.out"; then
  second_pid=$server_pid
  server_pid=$first_pid
  kill -KILL "$second_pid" 2>/dev/null
  wait "$second_pid" 2>/dev/null
  fail "a second server started while $core was registered"
fi
wait "$server_pid"
rc=$?
server_pid=$first_pid
port=$first_port
[ $rc -ne 0 ] || fail "the second server exited with status 0"
ok "the second server fails to start (exit status $rc)"
if grep -q "$core" "$tmp/server-second.out" && grep -q "already registered" "$tmp/server-second.out"; then
  ok "its log says why: $(grep "already registered" "$tmp/server-second.out" | head -n 1)"
else
  fail "the second server's output does not say that $core is already registered"
fi
case "$(mappings)" in
  *"$core 1 tcp $port"*) ok "rpcbind still lists the first server's $core 1 tcp $port" ;;
  *) fail "the failed start removed the first server's registration: $(mappings)" ;;
esac

step "kill -9, then a new start removes the stale registration"
kill -KILL "$server_pid"
wait "$server_pid" 2>/dev/null
stale_port=$port
case "$(mappings)" in
  *"$core 1 tcp $stale_port"*) ok "rpcbind keeps the dead server's $core 1 tcp $stale_port" ;;
  *) fail "rpcbind lost the dead server's registration: $(mappings)" ;;
esac
start_server "$tmp/server-restart.out" || fail "the restart ended before it was ready: $(cat "$tmp/server-restart.out")"
grep -q "Removing stale registration of $core (port $stale_port)" "$tmp/server-restart.out" ||
  fail "the restart does not log the removal: $(cat "$tmp/server-restart.out")"
ok "the restart logs: Removing stale registration of $core (port $stale_port)"
case "$(mappings)" in
  *"$core 1 tcp $port"*) ok "rpcbind lists the new $core 1 tcp $port" ;;
  *) fail "rpcbind does not list the new server: $(mappings)" ;;
esac
out=$(lxi scpi -a "$host" '*IDN?' 2>&1)
[ "$out" = "$identity" ] || fail "lxi scpi after the restart prints: $out"
ok "lxi scpi after the restart prints $out"

stop_server
case "$(mappings)" in
  *"$core "*) fail "rpcbind still lists $core after SIGTERM: $(mappings)" ;;
  *) ok "rpcbind no longer lists $core" ;;
esac

echo "all VXI-11 real-client checks passed"
